// varno-inspect's reading side and renderers on files made by varno-storegen
// and then damaged byte by byte where the generator has no damage of that
// kind; the hand-written JSON against nlohmann's.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "storeformat/ring.h"
#include "storeformat/store_header.h"
#include "tests/hardening/fault_injection.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"
#include "tools/inspect/backlog.h"
#include "tools/inspect/output_file.h"
#include "tools/inspect/problems.h"
#include "tools/inspect/progress.h"
#include "tools/inspect/render.h"
#include "tools/inspect/render_common.h"
#include "tools/inspect/rewind.h"
#include "tools/inspect/rewind_record.h"
#include "tools/inspect/salvage.h"
#include "tools/inspect/store.h"
#include "tools/inspect/verify.h"

namespace {

using inspect::ProblemKind;
using testsupport::put32;
using testsupport::put64;

// (kind, offset, record) of each problem, in order.
using Seen = std::vector<std::tuple<std::string, int64_t, uint32_t>>;

class InspectTest : public ::testing::Test {
 protected:
  std::string make(const std::string& name, const std::vector<std::string>& options) {
    std::vector<std::string> args = {home.file(name)};
    args.insert(args.end(), options.begin(), options.end());
    auto r = testsupport::run(testsupport::binary("varno-storegen"), args, "",
                              {"VARNO_HOME=" + home.home()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return home.file(name);
  }
  // Rewrites the header of a type-2 file with `edit` applied to its fields.
  template <typename Edit>
  void edit_header(const std::string& path, Edit edit) {
    std::string bytes = testsupport::read_file(path);
    CommonHeader h{};
    decode_common_header(reinterpret_cast<const unsigned char*>(bytes.data()), &h);
    edit(h);
    unsigned char region[192];
    ASSERT_EQ(build_header_region(h, 2, region), 192u);
    bytes.replace(0, 192, reinterpret_cast<const char*>(region), 192);
    testsupport::write_file(path, bytes);
  }
  Seen verify(const std::string& path, inspect::VerifyReport* report = nullptr) {
    inspect::Store store;
    inspect::Failure failure;
    EXPECT_TRUE(inspect::open_store(path, &store, &failure)) << step_words(failure.step);
    inspect::VerifyReport r;
    EXPECT_TRUE(inspect::verify_store(store, nullptr, &r, &failure)) << step_words(failure.step);
    inspect::close_store(&store);
    Seen seen;
    for (const inspect::Problem& p : r.problems) {
      seen.emplace_back(inspect::problem_name(p.kind), p.offset, p.record);
    }
    if (report != nullptr) *report = r;
    return seen;
  }
  testsupport::ScratchHome home;
};

// Each damage with what verify must say: varno-storegen's own kinds, and
// those made here byte by byte. Records of storegen files are 412 bytes from
// 192: 192, 604, 1016, 1428, 1840.
TEST_F(InspectTest, VerifyFindsEachProblem) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    void (*edit)(std::string& bytes);
    void (*edit_fields)(CommonHeader& h);
    Seen expected;
  };
  const std::vector<Case> cases = {
      {"sound", {"--messages", "5"}, nullptr, nullptr, {}},
      {"primary",
       {"--messages", "5", "--damage", "primary"},
       nullptr,
       nullptr,
       {{"header_primary_bad", 0, 0}}},
      {"backup, type 1",
       {"--type", "1", "--messages", "5", "--damage", "backup"},
       nullptr,
       nullptr,
       {{"header_backup_bad", 72, 0}}},
      {"both",
       {"--messages", "5", "--damage", "both"},
       nullptr,
       nullptr,
       {{"header_primary_bad", 0, 0}, {"header_backup_bad", 96, 0}}},
      {"a zeroed backup lacks the signature",
       {"--messages", "2"},
       [](std::string& b) { b.replace(96, 96, 96, '\0'); },
       nullptr,
       {{"header_backup_bad", 96, 0}}},
      {"record bytes",
       {"--messages", "5", "--damage", "record-byte:1", "--damage", "record-byte:5"},
       nullptr,
       nullptr,
       {{"record_header_checksum", 192, 1}, {"record_header_checksum", 1840, 5}}},
      {"record size",
       {"--messages", "5", "--damage", "record-size:2"},
       nullptr,
       nullptr,
       {{"message_size_past_end", 604, 2}, {"walk_short", 604, 2}}},
      {"marker",
       {"--messages", "3"},
       [](std::string& b) { b[604 + 3] = 'X'; },
       nullptr,
       {{"record_marker", 604, 2}}},
      {"body checksum word",
       {"--messages", "3"},
       [](std::string& b) { put32(b, 1016 + 8, 5); },
       nullptr,
       {{"body_checksum_word", 1024, 3}}},
      {"size below 292",
       {"--messages", "3"},
       [](std::string& b) {
         put32(b, 604 + 12 + 4, 100);
         put32(b, 604 + 4, testsupport::checksum_of(b, 604 + 12, 292));
       },
       nullptr,
       {{"message_size_small", 604, 2}, {"walk_short", 604, 2}}},
      {"zeros",
       {"--messages", "1"},
       [](std::string& b) { b.assign(b.size(), '\0'); },
       nullptr,
       {{"unknown_layout", 0, 0}}},
      {"short region",
       {"--messages", "1"},
       [](std::string& b) { b.resize(150); },
       nullptr,
       {{"header_short", 0, 0}}},
      {"blocks differ",
       {"--messages", "2"},
       [](std::string& b) {
         put32(b, 96 + 44, 1);  // the backup's forwarded count
         put32(b, 188, testsupport::checksum_of(b, 96, 92));
       },
       nullptr,
       {{"header_blocks_differ", 0, 0}}},
      {"newest inside a record",
       {"--messages", "3"},
       nullptr,
       [](CommonHeader& h) { h.newest_offset = 700; },
       {{"newest_offset_mismatch", 700, 3}}},
      {"forward inside a record",
       {"--messages", "3", "--forwarded", "1"},
       nullptr,
       [](CommonHeader& h) { h.forward_offset = 605; },
       {{"forward_offset_not_record", 605, 0}}},
      {"forwarded above messages",
       {"--messages", "2", "--forwarded", "3"},
       nullptr,
       nullptr,
       {{"forwarded_exceeds_messages", -1, 0}}},
      {"oldest after newest",
       {"--messages", "2"},
       nullptr,
       [](CommonHeader& h) { h.oldest_time.seconds = h.newest_time.seconds + 1; },
       {{"oldest_time_mismatch", -1, 1}, {"oldest_after_newest", -1, 0}}},
      // Record 4's size cannot be stepped over: the records behind it are
      // found all the same, record 7's damage too, whose number is no longer
      // known; the ring then counts fewer records than the header.
      {"after a damaged record",
       {"--messages", "9", "--wrap", "--damage", "record-size:4", "--damage", "record-byte:7"},
       nullptr,
       nullptr,
       {{"message_size_past_end", 3488, 4},
        {"record_header_checksum", 604, 0},
        {"walk_short", 3488, 4}}},
      // The header names a place where no record fits; its oldest time names
      // the oldest record.
      {"oldest near the end",
       {"--messages", "2", "--capacity", "1200"},
       nullptr,
       [](CommonHeader& h) { h.oldest_offset = 1000; },
       {{"oldest_offset_mismatch", 1000, 1}}},
      // Record 2 copied right behind itself: everything behind moves by 412.
      {"a record twice",
       {"--messages", "5"},
       [](std::string& b) { b.insert(1016, b.substr(604, 412)); },
       nullptr,
       {{"record_duplicate", 1016, 0},
        {"newest_offset_mismatch", 1840, 5},
        {"last_offset_mismatch", 1840, 5}}},
      {"bytes inserted",
       {"--messages", "5"},
       [](std::string& b) { b.insert(1016, 10, '\x7F'); },
       nullptr,
       {{"record_marker", 1016, 3},
        {"record_header_checksum", 1016, 3},
        {"message_size_past_end", 1016, 3},
        {"record_shifted", 1026, 0},
        {"newest_offset_mismatch", 1840, 0},
        {"last_offset_mismatch", 1840, 0}}},
      // Record 3's size runs over record 4, or ends short of it.
      {"size runs over",
       {"--messages", "5"},
       [](std::string& b) {
         put32(b, 1016 + 16, 500);
         put32(b, 1016 + 4, testsupport::checksum_of(b, 1016 + 12, 292));
       },
       nullptr,
       {{"message_size_swallows", 1016, 3}, {"walk_short", 1016, 3}}},
      {"size cut short",
       {"--messages", "5"},
       [](std::string& b) {
         put32(b, 1016 + 16, 390);
         put32(b, 1016 + 4, testsupport::checksum_of(b, 1016 + 12, 292));
       },
       nullptr,
       {{"message_size_short", 1016, 3}, {"walk_short", 1016, 3}}},
      // The oldest offset names record 2, the oldest time record 1.
      {"oldest offset moved",
       {"--messages", "5"},
       nullptr,
       [](CommonHeader& h) { h.oldest_offset = 604; },
       {{"oldest_offset_mismatch", 604, 1}}},
      // ...and the oldest time too: record 1 may belong to the ring.
      {"record unplaced",
       {"--messages", "5"},
       nullptr,
       [](CommonHeader& h) {
         h.oldest_offset = 604;
         h.oldest_time.seconds += 60;
       },
       {{"record_unplaced", 192, 0}, {"walk_short", 1840, 4}, {"forward_count_mismatch", 192, 0}}},
      {"header fields",
       {"--messages", "5", "--forwarded", "2"},
       nullptr,
       [](CommonHeader& h) {
         h.current_offset = 100;
         h.last_offset = 1900;
         h.last_message_size = 416;
         h.newest_time.seconds += 60;
         h.forwarded_count = 3;
       },
       {{"newest_time_mismatch", -1, 5},
        {"last_size_mismatch", -1, 5},
        {"last_offset_mismatch", 1900, 5},
        {"current_offset_mismatch", 100, 5},
        {"forward_count_mismatch", 1016, 0}}},
      {"no end of any ring",
       {"--messages", "5"},
       nullptr,
       [](CommonHeader& h) {
         h.oldest_offset = h.newest_offset = h.last_offset = 90000;
         h.oldest_time.seconds = h.newest_time.seconds = 1;
       },
       {{"header_unreconciled", -1, 0}}},
      // Damage in the older part and behind it in the newer part.
      {"both parts of a wrapped ring",
       {"--messages", "9", "--wrap", "--damage", "record-size:5", "--damage", "record-byte:7"},
       nullptr,
       nullptr,
       {{"message_size_past_end", 3900, 5},
        {"record_header_checksum", 604, 0},
        {"walk_short", 3900, 5}}},
  };
  for (const Case& c : cases) {
    const std::string path = make("c.store", c.options);
    if (c.edit != nullptr) {
      std::string bytes = testsupport::read_file(path);
      c.edit(bytes);
      testsupport::write_file(path, bytes);
    }
    if (c.edit_fields != nullptr) edit_header(path, c.edit_fields);
    EXPECT_EQ(verify(path), c.expected) << c.what;
  }
}

TEST_F(InspectTest, VerifyWalksPastTheCountToTheNewestRecordAndNoFurther) {
  // The header counts fewer records than lie between oldest and newest.
  inspect::VerifyReport r;
  EXPECT_EQ(verify(make("u.store", {"--messages", "5", "--count", "3"}), &r),
            (Seen{{"walk_long", 1840, 5}}));
  EXPECT_EQ(r.records, 5u);
  // More than the ring holds: menu 2 would wrap and list records again.
  EXPECT_EQ(verify(make("o.store", {"--messages", "3", "--count", "5"}), &r),
            (Seen{{"walk_short", 1016, 3}}));
  EXPECT_EQ(r.records, 3u);
  // No message: nothing to walk, nothing wrong.
  EXPECT_EQ(verify(make("z.store", {"--messages", "3", "--count", "0"}), &r), Seen{});
  EXPECT_FALSE(r.walked);
  // A wrapped ring with everything forwarded: the forward offset is where the
  // next record goes.
  EXPECT_EQ(verify(make("w.store", {"--messages", "6", "--wrap", "--forwarded", "6"}), &r), Seen{});
  EXPECT_EQ(r.records, 6u);
  EXPECT_EQ(r.bytes, 6 * 412);
  // Records behind the newest one (a ring that gave up its newest two): the
  // ring ends at the header's newest record and count, and they are only a
  // note.
  const std::string behind = make("b.store", {"--messages", "5"});
  edit_header(behind, [](CommonHeader& h) {
    h.newest_offset = h.last_offset = 1016;
    h.newest_time.seconds -= 120;
    h.message_count = 3;
    h.current_offset = 1428;
  });
  EXPECT_EQ(verify(behind, &r), Seen{});
  EXPECT_EQ(r.records, 3u);
  EXPECT_EQ(r.bytes, 3 * 412);
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.notes[0].offset, 1428);
  EXPECT_EQ(r.notes[0].found, 2);  // records
}

TEST_F(InspectTest, SalvageWithoutAUsableHeaderTakesRecordsInFileOrder) {
  const std::string path = make("b.store", {"--messages", "4", "--damage", "both", "--damage",
                                            "record-byte:3", "--forwarded", "2"});
  inspect::Store store;
  inspect::Failure failure;
  ASSERT_TRUE(inspect::open_store(path, &store, &failure));
  inspect::SalvageReport r;
  inspect::SalvageRefusal refusal;
  const bool ok =
      inspect::salvage_store(store, home.file("out.store"), nullptr, &r, &refusal, &failure);
  inspect::close_store(&store);
  ASSERT_TRUE(ok) << step_words(failure.step);
  EXPECT_FALSE(r.header_usable);
  EXPECT_EQ(r.kept, 3u);
  EXPECT_EQ(r.forwarded, 0u) << "nothing is known to be forwarded without the header";
  ASSERT_EQ(r.lost.size(), 1u);
  EXPECT_EQ(r.lost[0].start, 1016);
  EXPECT_EQ(r.lost[0].end, 1428);
  EXPECT_EQ(r.out_header.message_count, 3u);
  EXPECT_EQ(r.out_header.newest_offset, 192 + 2 * 412);
  EXPECT_EQ(r.out_header.forward_offset, 192);
  EXPECT_EQ(r.out_header.oldest_time.seconds, 1700000000);
  EXPECT_EQ(r.out_header.newest_time.seconds, 1700000180);
  EXPECT_EQ(verify(home.file("out.store")), Seen{});
}

// A read of FILE or a write of OUT that fails at any point: salvage reports
// the step, OUT is gone again, FILE is as it was; verify reports the read.
TEST_F(InspectTest, FailuresAtEveryCallLeaveNoOutFile) {
  // Larger than the file layer's 64 KiB read-ahead, so that the walk reads
  // the file again after the header read.
  const std::string path =
      make("f.store", {"--messages", "200", "--wrap", "--damage", "record-byte:2"});
  const std::string before = testsupport::read_file(path);
  const std::string out = home.file("out.store");
  // One clean run counts the calls of each kind.
  const auto salvage = [&](const std::vector<faults::Fault>& plan, int64_t* preads,
                           int64_t* pwrites) {
    inspect::Store store;
    inspect::Failure failure;
    EXPECT_TRUE(inspect::open_store(path, &store, &failure));
    inspect::SalvageReport r;
    inspect::SalvageRefusal refusal;
    bool ok;
    {
      faults::Scope scope(plan);
      ok = inspect::salvage_store(store, out, nullptr, &r, &refusal, &failure);
      *preads = faults::calls(faults::kPread);
      *pwrites = faults::calls(faults::kPwrite);
    }
    inspect::close_store(&store);
    return ok ? std::string() : std::string(inspect::step_words(failure.step));
  };
  int64_t preads = 0, pwrites = 0, ignored = 0;
  ASSERT_EQ(salvage({}, &preads, &pwrites), "");
  ASSERT_TRUE(testsupport::file_exists(out));
  std::remove(out.c_str());
  ASSERT_GT(preads, 0);
  // The size, the records in one large write, the header.
  ASSERT_GE(pwrites, 3);
  for (const faults::Kind kind : {faults::kPread, faults::kPwrite}) {
    for (int64_t k = 1; k <= (kind == faults::kPread ? preads : pwrites); ++k) {
      const std::string step = salvage({{kind, k}}, &ignored, &ignored);
      EXPECT_NE(step, "") << faults::kind_name(kind) << " " << k;
      EXPECT_FALSE(testsupport::file_exists(out)) << faults::kind_name(kind) << " " << k;
    }
  }
  EXPECT_EQ(testsupport::read_file(path), before);

  inspect::Store store;
  inspect::Failure failure;
  ASSERT_TRUE(inspect::open_store(path, &store, &failure));
  inspect::VerifyReport report;
  {
    faults::Scope scope({{faults::kPread, 1}});
    EXPECT_FALSE(inspect::verify_store(store, nullptr, &report, &failure));
  }
  inspect::close_store(&store);
  EXPECT_EQ(failure.step, inspect::Step::kReadingRecord);
  EXPECT_EQ(inspect::failure_reason(failure.status),
            "Input/output error (recorded: (1, 5) (13, 13182) (13, 13532))");
}

// Child: for args[1] milliseconds rewrites the header region of args[0]
// without its lock, between two headers (10 messages, 3 forwarded; 20, 7),
// in pieces that part the two counts: with args[2] "sequential" one copy
// after the other, so that one copy is always whole; with "interleaved"
// half of each copy, then the other halves, so that both are torn at once.
VARNO_TEST_CHILD(rewrite_header) {
  std::string bytes = testsupport::read_file(args.at(0));
  std::string regions[2];
  for (int v = 0; v < 2; ++v) {
    CommonHeader h{};
    decode_common_header(reinterpret_cast<const unsigned char*>(bytes.data()), &h);
    h.message_count = v == 0 ? 10 : 20;
    h.forwarded_count = v == 0 ? 3 : 7;
    unsigned char region[192];
    build_header_region(h, 2, region);
    regions[v].assign(reinterpret_cast<const char*>(region), 192);
  }
  using Pieces = std::vector<std::pair<int, int>>;
  const Pieces pieces = args.at(2) == "interleaved"
                            ? Pieces{{0, 44}, {96, 44}, {44, 52}, {140, 52}}
                            : Pieces{{0, 44}, {44, 52}, {96, 44}, {140, 52}};
  FILE* f = std::fopen(args.at(0).c_str(), "r+b");
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(args[1]));
  for (int v = 0; std::chrono::steady_clock::now() < end; v ^= 1) {
    for (const auto& [at, length] : pieces) {
      std::fseek(f, at, SEEK_SET);
      std::fwrite(regions[v].data() + at, 1, length, f);
      std::fflush(f);
    }
  }
  std::fclose(f);
  return 0;
}

TEST_F(InspectTest, AHeaderReadWithoutTheLockIsNeverTorn) {
  for (const char* order : {"sequential", "interleaved"}) {
    const std::string path = make("p.store", {"--messages", "3"});
    testsupport::Interactive child(testsupport::self_path(),
                                   testsupport::child_args("rewrite_header", {path, "1500", order}),
                                   {});
    int sound = 0;
    for (int i = 0; i < 2000; ++i) {
      inspect::Store store;
      inspect::PendingStamp pending;
      inspect::Failure failure;
      if (!inspect::peek_store(path, &store, &pending, &failure)) continue;
      ++sound;
      ASSERT_TRUE(store.header_usable()) << order;
      const std::pair<uint32_t, uint32_t> seen = {store.header.message_count,
                                                  store.header.forwarded_count};
      ASSERT_TRUE(seen == std::make_pair(3u, 0u) || seen == std::make_pair(10u, 3u) ||
                  seen == std::make_pair(20u, 7u))
          << order << ": " << seen.first << " " << seen.second;
    }
    EXPECT_GT(sound, 0) << order;
    EXPECT_EQ(child.finish(), 0);
  }
}

// Read number g_tear_at meets a writer half-way: the region with both
// copies torn, or the record at the forward offset with its header torn. A
// look a few milliseconds later finds them whole.
int64_t g_preads = 0;
int64_t g_tear_at = 0;
int64_t tearing_pread(int fd, void* buffer, uint32_t count, int64_t offset) {
  const int64_t got = platform::default_io().pread(fd, buffer, count, offset);
  if (++g_preads == g_tear_at && got >= 192) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::fill(bytes + 44, bytes + 96, 0xAB);
    std::fill(bytes + 140, bytes + 192, 0xAB);
  }
  return got;
}

TEST_F(InspectTest, ATornReadIsReadAgain) {
  const std::string path = make("t.store", {"--messages", "5", "--forwarded", "2"});
  // The torn read, then: the region, the record at the forward offset.
  for (const auto& [tear, reads] : {std::pair{1, 3}, {2, 4}}) {
    inspect::Store store;
    inspect::PendingStamp pending;
    inspect::Failure failure;
    g_preads = 0;
    g_tear_at = tear;
    platform::io().pread = tearing_pread;
    const bool ok = inspect::peek_store(path, &store, &pending, &failure);
    platform::io() = platform::default_io();
    ASSERT_TRUE(ok) << tear << ": " << step_words(failure.step);
    EXPECT_EQ(store.check.block_status, kBlocksOk) << tear;
    EXPECT_EQ(store.header.forwarded_count, 2u) << tear;
    EXPECT_EQ(pending.state, inspect::PendingStamp::kKnown) << tear;
    EXPECT_EQ(pending.seconds, 1700000120) << tear;  // message 3's
    EXPECT_EQ(g_preads, reads) << tear;
  }
}

// What backlog shows of each kind of store: the gauges a collector gets, and
// those it must not get. Records of storegen files are 412 bytes from 192.
TEST_F(InspectTest, BacklogFiguresOfEachKindOfStore) {
  using State = inspect::PendingStamp::State;
  struct Case {
    const char* what;
    std::vector<std::string> options;
    int64_t pending;
    State state;
    int64_t pending_time;  // when kKnown
    int64_t used, free;
    int32_t blocks;
  };
  const std::vector<Case> cases = {
      {"pending",
       {"--messages", "5", "--forwarded", "2"},
       3,
       State::kKnown,
       1700000120,
       5 * 412,
       0,
       kBlocksOk},
      {"nothing pending",
       {"--messages", "5", "--forwarded", "5"},
       0,
       State::kNothingPending,
       0,
       5 * 412,
       0,
       kBlocksOk},
      {"empty",
       {"--messages", "3", "--count", "0", "--capacity", "3000"},
       0,
       State::kNothingPending,
       0,
       0,
       3000 - 192,
       kBlocksOk},
      {"room at the end",
       {"--messages", "3", "--capacity", "3000"},
       3,
       State::kKnown,
       1700000000,
       3 * 412,
       3000 - 192 - 3 * 412,
       kBlocksOk},
      // The oldest 4 records from 1840 to 3488, the newest 3 from 192 to
      // 1428: one record's room before the oldest; the 12 bytes behind 3488
      // hold no record and count as used.
      {"wrapped",
       {"--messages", "7", "--wrap", "--forwarded", "7", "--capacity", "3500"},
       0,
       State::kNothingPending,
       0,
       7 * 412 + 12,
       412,
       kBlocksOk},
      {"degraded",
       {"--messages", "2", "--damage", "backup", "--forwarded", "1"},
       1,
       State::kKnown,
       1700000060,
       2 * 412,
       0,
       kBackupBad},
      {"pending record damaged",
       {"--messages", "4", "--forwarded", "1", "--damage", "record-byte:2"},
       3,
       State::kUnknown,
       0,
       4 * 412,
       0,
       kBlocksOk},
      {"pending message without a time stamp",
       {"--messages", "2", "--tags", "0"},
       2,
       State::kUnknown,
       0,
       2 * (384 + 12),
       0,
       kBlocksOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = make(std::string(c.what) + ".store", c.options);
    inspect::BacklogRun run(1800000000, false);
    run.add_file(path);
    ASSERT_TRUE(run.read_all());
    ASSERT_TRUE(run.entries()[0].ok) << run.entries()[0].error;
    const inspect::Backlog& b = run.entries()[0].backlog;
    EXPECT_EQ(b.pending, c.pending);
    EXPECT_EQ(b.oldest_pending.state, c.state);
    if (c.state == State::kKnown) {
      EXPECT_EQ(b.oldest_pending.seconds, c.pending_time);
      EXPECT_EQ(b.oldest_pending_age, 1800000000 - c.pending_time);
    }
    EXPECT_EQ(b.ring_used, c.used);
    EXPECT_EQ(b.ring_free, c.free);
    EXPECT_EQ(b.ring_used + b.ring_free, b.file_size - 192);
    EXPECT_EQ(b.block_status, c.blocks);
    // The series: a time stamp only of what exists, an age 0 for nothing
    // pending and none for what cannot be read.
    const std::string text = inspect::backlog_prometheus(run);
    const auto sample = [&](const std::string& family) {
      const std::string key = "varno_store_" + family + "{file=\"";
      const size_t at = text.find(key);
      return at == std::string::npos ? std::string("absent")
                                     : text.substr(text.find("} ", at) + 2,
                                                   text.find('\n', at) - text.find("} ", at) - 2);
    };
    const bool empty = b.messages == 0;
    EXPECT_EQ(sample("oldest_timestamp_seconds"), empty ? "absent" : "1700000000");
    EXPECT_EQ(sample("oldest_pending_timestamp_seconds"),
              c.state == State::kKnown ? std::to_string(c.pending_time) : "absent");
    EXPECT_EQ(sample("oldest_pending_age_seconds"),
              c.state == State::kKnown     ? std::to_string(1800000000 - c.pending_time)
              : c.state == State::kUnknown ? "absent"
                                           : "0");
    EXPECT_EQ(sample("header_degraded"), c.blocks == kBlocksOk ? "0" : "1");
    EXPECT_EQ(sample("ring_free_bytes"), std::to_string(c.free));
  }
}

TEST(InspectBacklog, StoreFileNamesOfTheService) {
  const struct {
    const char* path;
    const char* node;  // null: no store file name
    const char* dlgp;
  } cases[] = {
      {"VARNO_STORE_plant_site.DEV1", "plant_site", "DEV1"},
      {"D:\\varno\\VARNO_STORE_line2.DEV1", "line2", "DEV1"},
      // A store directory joined with a backslash on POSIX: part of the name.
      {"/srv/store\\VARNO_STORE_n.DEV1", "n", "DEV1"},
      {"VARNO_STORE_n.DEV1_BCK", "n", "DEV1_BCK"},
      {"VARNO_STORE_n.DEV1_BCKx1", "n", "DEV1_BCKx1"},
      {"VARNO_STORE_LISTS.DEV1", "LISTS", "DEV1"},
      {"VARNO_STORE_n.DEV1_BCK01", nullptr, nullptr},  // a backup copy
      {"VARNO_STORE_LIST.DEV1", nullptr, nullptr},     // the service's store list
      {"VARNO_STORE_n.DEV1.tmp", nullptr, nullptr},
      {"VARNO_STORE_.DEV1", nullptr, nullptr},
      {"VARNO_STORE_n.", nullptr, nullptr},
      {"VARNO_STORE_n", nullptr, nullptr},
      {"varno_store_n.DEV1", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::string node = "?", dlgp = "?";
    EXPECT_EQ(inspect::parse_store_file_name(c.path, &node, &dlgp), c.node != nullptr) << c.path;
    if (c.node != nullptr) {
      EXPECT_EQ(node, c.node) << c.path;
      EXPECT_EQ(dlgp, c.dlgp) << c.path;
    }
  }
}

// What write_replacing writes: `text` in one piece.
std::function<bool(const inspect::TextSink&)> piece(const std::string& text) {
  return [text](const inspect::TextSink& sink) { return sink(text); };
}

// Child: with an interrupt already come, writes args[1] in place of args[0].
VARNO_TEST_CHILD(replace_interrupted) {
  platform::watch_interrupts();
  std::raise(SIGTERM);
  std::string error;
  if (inspect::write_replacing(args.at(0), piece(args.at(1)), &error)) return 1;
  std::printf("%s\n", error.c_str());
  return 0;
}

// A write in place of a file that fails at any step, or is interrupted,
// leaves the file as it was and no temporary file beside it.
TEST_F(InspectTest, AFailedReplacementKeepsTheLastContent) {
  const std::string path = home.file("varno.prom");
  const auto folder = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home.path)) {
      if (e.path().filename().string().rfind("varno.prom", 0) == 0) {
        names.push_back(e.path().filename().string());
      }
    }
    return names;
  };
  testsupport::write_file(path, "old\n");
  std::string error;
  std::array<int64_t, faults::kKinds> calls{};
  {
    faults::Scope scope;
    ASSERT_TRUE(inspect::write_replacing(path, piece("new\n"), &error)) << error;
    calls = faults::all_calls();
  }
  EXPECT_EQ(testsupport::read_file(path), "new\n");
  ASSERT_GE(calls[faults::kWrite], 1);
  // The new file's sync before the rename, and on POSIX the folder's after.
  ASSERT_EQ(calls[faults::kSync], testsupport::kCrLfText ? 1 : 2);
  testsupport::write_file(path, "old\n");
  for (const faults::Kind kind : {faults::kWrite, faults::kSync}) {
    for (int64_t k = 1; k <= calls[kind]; ++k) {
      faults::Scope scope({{kind, k}});
      EXPECT_FALSE(inspect::write_replacing(path, piece("new\n"), &error));
      // The last sync is the folder's, after the rename.
      const bool renamed = kind == faults::kSync && k == calls[kind] && k > 1;
      EXPECT_EQ(testsupport::read_file(path), renamed ? "new\n" : "old\n")
          << faults::kind_name(kind) << k << ": " << error;
      EXPECT_EQ(folder(), std::vector<std::string>{"varno.prom"}) << faults::kind_name(kind) << k;
      testsupport::write_file(path, "old\n");
    }
  }
  const auto r = testsupport::run(
      testsupport::self_path(), testsupport::child_args("replace_interrupted", {path, "new"}), "");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "interrupted; " + path + " keeps its last content\n");
  EXPECT_EQ(testsupport::read_file(path), "old\n");
  EXPECT_EQ(folder(), std::vector<std::string>{"varno.prom"});
}

// A rewind whose rewrite fails at any write leaves the file as it was, as
// the utility's reset does: the rewrite puts back what it changed.
TEST_F(InspectTest, ARewindThatCannotWriteLeavesTheFileAsItWas) {
  for (const char* type : {"0", "1", "2"}) {
    const std::string path =
        make("w.store", {"--type", type, "--messages", "4", "--forwarded", "3"});
    const std::string before = testsupport::read_file(path);
    const auto rewind = [&](const std::vector<faults::Fault>& plan,
                            std::array<int64_t, faults::kKinds>* calls) {
      inspect::Store store;
      inspect::Failure failure;
      EXPECT_TRUE(inspect::open_store(path, &store, &failure, true));
      inspect::RewindPlan result;
      inspect::RewindRefusal refusal;
      bool ok;
      {
        faults::Scope scope(plan);
        ok = inspect::rewind_store(store, {inspect::RewindRequest::kRecord, 2, true}, &result,
                                   &refusal, &failure);
        *calls = faults::all_calls();
      }
      inspect::close_store(&store);
      return ok;
    };
    std::array<int64_t, faults::kKinds> calls{}, ignored{};
    ASSERT_TRUE(rewind({}, &calls));
    ASSERT_NE(testsupport::read_file(path), before);
    for (const faults::Kind kind : {faults::kWrite, faults::kPwrite, faults::kSync}) {
      for (int64_t k = 1; k <= calls[kind]; ++k) {
        testsupport::write_file(path, before);
        EXPECT_FALSE(rewind({{kind, k}}, &ignored)) << type << " " << faults::kind_name(kind) << k;
        EXPECT_EQ(testsupport::read_file(path), before)
            << type << " " << faults::kind_name(kind) << k;
      }
    }
  }
}

// The listing's hand-written lines are what nlohmann makes of the same
// object: on sound records, a record whose names are no UTF-8 and hold a
// quote, and a record the walk stops at.
TEST_F(InspectTest, ListingLinesAreNlohmannsDumpOfTheRecord) {
  const std::string path =
      make("l.store", {"--messages", "3", "--tags", "0", "--damage", "record-size:3"});
  std::string bytes = testsupport::read_file(path);
  const char odd[] = "N\xFF\"D\xC3";
  bytes.replace(588 + 12 + 24, sizeof odd - 1, odd);
  put32(bytes, 588 + 4, testsupport::checksum_of(bytes, 588 + 12, 292));
  testsupport::write_file(path, bytes);

  inspect::Store store;
  inspect::Failure failure;
  ASSERT_TRUE(inspect::open_store(path, &store, &failure));
  RingWalk walk(store.fd, store.file_size, 192, store.header.newest_offset, 3);
  std::vector<unsigned char> message;
  VARNO_STATUS status;
  for (uint32_t k = 1; k <= 3; ++k) {
    ASSERT_TRUE(walk.next(&status));
    inspect::ListedRecord rec{k, &walk.check(), walk.message_header(), false, {}};
    bool body_ok = true;
    if (k < 3) {
      ASSERT_TRUE(walk.read_message(&message, &body_ok, &status));
      rec.body_read = true;
      rec.summary = summarize_message_body(message.data());
    }
    const unsigned char* h = rec.message_header;
    using Json = nlohmann::ordered_json;
    const auto names = [&](uint32_t a, uint32_t b) {
      return Json::array({std::string(message_name(h, a)), std::string(message_name(h, b))});
    };
    Json j = {{"record", k},
              {"offset", walk.offset()},
              {"defect", k == 3 ? Json("message_size_past_end") : Json(nullptr)},
              {"marker_ok", true},
              {"header_checksum_ok", true},
              {"message_size", walk.check().message_size},
              {"signature", 0x5A5A},
              {"transaction", k},
              {"body_checksum", 0},
              {"request_source", names(24, 56)},
              {"reply_dest", names(88, 120)},
              {"message_source", names(156, 188)},
              {"message_dest", names(220, 252)}};
    if (k == 3) {
      j["body"] = nullptr;
    } else {
      j["body"] = {{"transaction_type", k % 2 == 1 ? 1 : 2},
                   {"interpreted", true},
                   {"list_id", 100 + k},
                   {"frequency_tenths", 25 * k},
                   {"tag_count", 0},
                   {"error_code", 0},
                   {"first_time", nullptr}};
    }
    std::string line;
    inspect::append_record_json(line, rec);
    EXPECT_EQ(line, j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n") << k;
  }
  inspect::close_store(&store);
}

TEST(InspectPrometheus, LabelValuesAreValidUtf8) {
  inspect::BacklogRun run(0, false);
  run.add_file("a\xFF\"b\\\n");
  ASSERT_TRUE(run.read_all());
  EXPECT_NE(inspect::backlog_prometheus(run).find(
                "varno_store_up{file=\"a\xEF\xBF\xBD\\\"b\\\\\\n\"} 0\n"),
            std::string::npos);
}

TEST(InspectJson, StringsAreEscapedAsNlohmannDumpsThem) {
  const auto reference = [](const std::string& s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  std::vector<std::string> inputs = {
      "",
      "REQNODE",
      "a\"b\\c/d",
      std::string("\0\x01\x1f\x7f", 4),
      "\b\f\n\r\t",
      "\xC3\xA9t\xC3\xA9",  // valid two-byte
      "\xE2\x82\xAC",
      "\xF0\x9F\x98\x80",  // three and four bytes
      "\xC0\x80",
      "\xE0\x80\x80",
      "\xED\xA0\x80",  // overlong, surrogate
      "\xF4\x90\x80\x80",
      "\xF5",
      "\xFF\xFE",  // past U+10FFFF, never lead bytes
      "\xE2\x82",
      "ab\xF0\x9F\x98",
      "\xC3",  // cut short, at the end
      "\xE2\x82x",
      "\xF0\x9F\x98\xC3\xA9",  // cut short by another character
      "\x80\x80\xBF",          // lone continuation bytes
  };
  for (int b = 0; b < 256; ++b) inputs.emplace_back(1, static_cast<char>(b));
  std::mt19937 random(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string s(random() % 12, '\0');
    // Mostly bytes of multi-byte sequences, so that broken ones are common.
    for (char& ch : s)
      ch = static_cast<char>(random() % 4 == 0 ? random() % 128 : 0x80 + random() % 128);
    inputs.push_back(s);
  }
  for (const std::string& s : inputs) {
    std::string mine;
    inspect::append_json_string(mine, s);
    ASSERT_EQ(mine, reference(s)) << testing::PrintToString(s);
    ASSERT_TRUE(nlohmann::json::accept(mine)) << testing::PrintToString(s);
  }
}

TEST(InspectText, TimesAndProgress) {
  const std::pair<int64_t, const char*> times[] = {
      {0, "1970-01-01T00:00:00Z"},
      {1700000000, "2023-11-14T22:13:20Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {-2147483648LL, "1901-12-13T20:45:52Z"},
      {2147483647, "2038-01-19T03:14:07Z"},
  };
  for (const auto& [seconds, text] : times) EXPECT_EQ(inspect::iso8601_utc(seconds), text);

  EXPECT_EQ(inspect::Progress::line("verify", 120000, 50331648, 0.5, 100663296),
            "verify: 120000 records, 48.0 MiB, 96.0 MiB/s, 50 %");
  EXPECT_EQ(inspect::Progress::line("list", 0, 0, 0, 0),
            "list: 0 records, 0.0 MiB, 0.0 MiB/s, 100 %");

  // Drawn at most every 100 ms, erased at the end; nothing without a stream.
  FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  {
    inspect::Progress progress("salvage", 1 << 20, stream);
    inspect::Progress silent("salvage", 1 << 20, nullptr);
    for (int i = 1; i <= 256; ++i) progress.update(i, 1024 * i);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (int i = 257; i <= 512; ++i) {
      progress.update(i, 1024 * i);
      silent.update(i, 1024 * i);
    }
  }
  std::rewind(stream);
  char text[512] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, stream);
  std::fclose(stream);
  const std::string drawn(text, n);
  const std::string line = "\rsalvage: 512 records, 0.5 MiB, ";
  ASSERT_EQ(drawn.substr(0, line.size()), line);
  const size_t width = drawn.find('\r', 1) - 1;
  EXPECT_EQ(drawn.substr(width + 1), "\r" + std::string(width, ' ') + "\r");
}

// A saved header region never takes the name of another: one of the same
// second gets the next number, and the last is found by time, then by that
// number as a number (11 after 9), among the files of this store file only.
TEST(RewindRecord, SavedNamesNeverCollideAndTheLastIsFoundByTimeThenNumber) {
  testsupport::ScratchDir dir;
  std::filesystem::create_directory(dir.file("other"));
  testsupport::write_file(dir.file("a.DEV1"), "store");
  testsupport::write_file(dir.file("other/a.DEV1"), "another store of the same name");
  const std::string home = dir.file("home") + "/";
  std::filesystem::create_directory(home);
  const auto save = [&](const std::string& file, const std::string& time, unsigned char mark) {
    inspect::SavedRegion saved;
    saved.entry.file = inspect::absolute_path(file);
    saved.entry.time = time;
    saved.entry.forwarded_from = 7;
    saved.region = {mark, 0, mark};
    std::string error;
    EXPECT_TRUE(inspect::save_region(home, &saved, &error)) << error;
    return saved.path.substr(home.size());
  };
  EXPECT_EQ(save(dir.file("a.DEV1"), "2026-12-09T17:01:01Z", 1),
            "rewind-a.DEV1-20261209T170101Z.region");
  for (int n = 1; n <= 11; ++n) {
    const std::string name = save(dir.file("a.DEV1"), "2026-12-09T17:01:02Z", 10 + n);
    EXPECT_EQ(name, "rewind-a.DEV1-20261209T170102Z" +
                        (n == 1 ? std::string() : "-" + std::to_string(n)) + ".region");
  }
  save(dir.file("other/a.DEV1"), "2026-12-09T17:01:03Z", 99);
  testsupport::write_file(home + "rewind-a.DEV1-20261209T170104Z.region", "not a saved region");

  inspect::SavedRegion last;
  bool found = false;
  std::string error;
  ASSERT_TRUE(inspect::find_last_saved(home, dir.file("a.DEV1"), &last, &found, &error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ(last.path, home + "rewind-a.DEV1-20261209T170102Z-11.region");
  EXPECT_EQ(last.region, (std::vector<unsigned char>{21, 0, 21}));
  EXPECT_EQ(last.entry.forwarded_from, 7u);
  ASSERT_TRUE(inspect::find_last_saved(home, dir.file("other/a.DEV1"), &last, &found, &error));
  ASSERT_TRUE(found);
  EXPECT_EQ(last.region, (std::vector<unsigned char>{99, 0, 99}));
  testsupport::write_file(dir.file("b.DEV1"), "store");
  ASSERT_TRUE(inspect::find_last_saved(home, dir.file("b.DEV1"), &last, &found, &error));
  EXPECT_FALSE(found);
}

}  // namespace
