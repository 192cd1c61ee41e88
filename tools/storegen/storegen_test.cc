// varno-storegen is run as a program; what it writes is read back through the
// project's own readers (header reads, record reads, the library's body
// interpretation), so a file that only looks right to the generator fails.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "messaging/varno.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"
#include "storeformat/store_header.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::RunResult;

constexpr int64_t kRegion = 192;

// Record length for a tag count: prefix + 384-byte fixed message + 16 per tag.
int64_t record_length(uint32_t tags) {
  return 12 + 384 + 16 * int64_t{tags};
}

uint32_t u32_at(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool has_pair(const VARNO_STATUS& s, int32_t facility, int32_t error) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && s.error[i] != -1; ++i) {
    if (s.facility[i] == facility && s.error[i] == error) return true;
  }
  return false;
}

bool clean(const VARNO_STATUS& s) {
  return s.error[0] == -1;
}

struct Walked {
  int64_t offset = 0;
  uint32_t size = 0;
  VARNO_STATUS header_status{};
  VARNO_STATUS body_status{};
  std::vector<unsigned char> message;  // empty when the size was unusable
};

// The reader's walk over the ring: from the oldest offset, count records,
// wrap to 192 when fewer than 304 bytes remain and the newest record lies
// behind. Stops at a record whose size cannot be right for this file.
std::vector<Walked> walk_ring(int32_t fd, const CommonHeader& h, int64_t file_size, int* wraps) {
  std::vector<Walked> out;
  *wraps = 0;
  int64_t p = h.oldest_offset;
  for (uint32_t n = 0; p < file_size && n < h.message_count; ++n) {
    Walked w;
    w.offset = p;
    unsigned char header[292] = {};
    const uint32_t body_checksum = read_message_header(fd, p, header, &w.header_status);
    w.size = u32_at(header + 4);
    if (w.size < 292 || p + 12 + int64_t{w.size} > file_size) {
      out.push_back(w);
      break;
    }
    w.message.assign(w.size, 0);
    std::memcpy(w.message.data(), header, 292);
    read_message_body(fd, p, w.size, body_checksum, w.message.data(), &w.body_status);
    out.push_back(w);
    p += w.size + 12;
    if (file_size - p < 304 && p > h.newest_offset) {
      p = kRegion;
      ++*wraps;
    }
  }
  return out;
}

class StoregenTest : public ::testing::Test {
 protected:
  RunResult gen(std::vector<std::string> args) {
    return testsupport::run(testsupport::binary("varno-storegen"), args, "");
  }

  // Generates `name` with `args`, expecting success.
  std::string make(const std::string& name, std::vector<std::string> args) {
    const std::string path = home_.file(name);
    args.insert(args.begin(), path);
    const RunResult r = gen(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return path;
  }

  int32_t open_store(const std::string& path) {
    VARNO_STATUS s;
    const int32_t fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &s);
    EXPECT_GE(fd, 0) << path;
    return fd;
  }

  void close_store(int32_t fd) {
    VARNO_STATUS s;
    varno_s_file_close(fd, &s);
  }

  CommonHeader fixed_header(const std::string& path, VARNO_STATUS* status) {
    CommonHeader h{};
    const int32_t fd = open_store(path);
    read_fixed_header(fd, &h, status);
    close_store(fd);
    return h;
  }

  // The multi-type read's record, with what it saw in *check.
  CommonHeader store_header(const std::string& path, VARNO_STATUS* status, HeaderCheck* check) {
    CommonHeader h{};
    const int32_t fd = open_store(path);
    check_store_header(fd, &h, check, status);
    close_store(fd);
    return h;
  }

  std::vector<Walked> walk(const std::string& path, CommonHeader* h, int* wraps) {
    VARNO_STATUS s;
    const int32_t fd = open_store(path);
    read_fixed_header(fd, h, &s);
    EXPECT_TRUE(clean(s));
    const int64_t size = varno_s_file_seek_end(fd, &s);
    auto records = walk_ring(fd, *h, size, wraps);
    close_store(fd);
    return records;
  }

  testsupport::ScratchHome home_;
};

// Message k as the library interprets it, checked against the content rule.
// `size`: a message stretched beyond its content; 0 for its own size.
void expect_message(const Walked& w, uint32_t k, uint32_t tags, int32_t seconds,
                    uint32_t size = 0) {
  SCOPED_TRACE("message " + std::to_string(k));
  ASSERT_EQ(w.size, size != 0 ? size : 384 + 16 * tags);
  ASSERT_EQ(w.message.size(), w.size);
  EXPECT_TRUE(clean(w.header_status));
  EXPECT_TRUE(clean(w.body_status));
  const unsigned char* m = w.message.data();
  EXPECT_EQ(m[0] | (m[1] << 8), 0x5A5A);
  EXPECT_EQ(u32_at(m + 8), k);
  EXPECT_EQ(VARNO_SERVER_TRANSTYPE(m), k % 2 == 1 ? 1 : 2);
  const char* names[8] = {"REQNODE", "REQDLGP", "REPNODE", "REPDLGP",
                          "SRCNODE", "SRCDLGP", "DSTNODE", "DSTDLGP"};
  const int at[8] = {24, 56, 88, 120, 156, 188, 220, 252};
  for (int i = 0; i < 8; ++i) {
    EXPECT_STREQ(reinterpret_cast<const char*>(m + at[i]), names[i]);
  }
  VARNO_STATUS s;
  VARNO_SERVER_INITBLK(&s);
  const VARNO_STATUS* tag_status = nullptr;
  const VARNO_TIMESTAMP* stamps = nullptr;
  int32_t transaction = 0, list_id = 0, count = 0, frequency = 0, unused[9] = {};
  VARNO_SERVER_PARSE_UNSREP(m, &tag_status, &transaction, &unused[0], &list_id, &unused[1],
                            &unused[2], &count, &frequency, &unused[3], &unused[4], &unused[5],
                            &unused[6], &unused[7], &stamps, &s);
  ASSERT_TRUE(clean(s));
  ASSERT_NE(tag_status, nullptr);
  EXPECT_EQ(list_id, static_cast<int32_t>(100 + k));
  EXPECT_EQ(frequency, static_cast<int32_t>(25 * k));
  EXPECT_EQ(count, static_cast<int32_t>(tags));
  EXPECT_EQ(tag_status->error[0], 0);
  EXPECT_EQ(tag_status->error[1], -1);
  EXPECT_EQ(tag_status->facility[0], 0);
  if (tags == 0) return;
  ASSERT_NE(stamps, nullptr);
  for (uint32_t i = 0; i < tags; ++i) EXPECT_EQ(stamps[i].seconds, seconds);
  double last = 0;
  std::memcpy(&last, m + 292 + 92 + 8 * tags + 8 * (tags - 1), 8);
  EXPECT_DOUBLE_EQ(last, k + 0.5 * (tags - 1));
}

TEST_F(StoregenTest, DefaultFileIsAFullSoundRingOfFiveMessages) {
  const std::string path = make("a.store", {});
  const int64_t len = record_length(1);
  EXPECT_EQ(static_cast<int64_t>(testsupport::read_file(path).size()), kRegion + 5 * len);

  CommonHeader h{};
  int wraps = 0;
  const auto records = walk(path, &h, &wraps);
  EXPECT_EQ(h.signature, kStoreSignature);
  EXPECT_EQ(h.revision, 2u);
  EXPECT_EQ(h.message_count, 5u);
  EXPECT_EQ(h.forwarded_count, 0u);
  EXPECT_EQ(h.oldest_offset, kRegion);
  EXPECT_EQ(h.newest_offset, kRegion + 4 * len);
  EXPECT_EQ(h.last_offset, h.newest_offset);
  EXPECT_EQ(h.last_message_size, len - 12);
  EXPECT_EQ(h.forward_offset, kRegion);
  EXPECT_EQ(h.oldest_time.seconds, 1700000000);
  EXPECT_EQ(h.newest_time.seconds, 1700000000 + 4 * 60);
  // No free space: the next record would go where a reader wraps to.
  EXPECT_EQ(h.current_offset, kRegion);
  EXPECT_EQ(h.forward_past_last, 0u);
  EXPECT_EQ(h.opaque1 | h.opaque2 | h.oldest_time.word | h.newest_time.word, 0u);

  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(wraps, 1);  // behind the newest record the file ends
  int64_t expected_offset = kRegion;
  for (uint32_t k = 1; k <= 5; ++k) {
    EXPECT_EQ(records[k - 1].offset, expected_offset);
    expect_message(records[k - 1], k, 1, 1700000000 + 60 * static_cast<int32_t>(k - 1));
    expected_offset += records[k - 1].size + 12;
  }
  EXPECT_EQ(expected_offset, kRegion + 5 * len);  // the sizes add up to the file

  VARNO_STATUS s;
  HeaderCheck check;
  const CommonHeader multi = store_header(path, &s, &check);
  EXPECT_TRUE(clean(s));
  EXPECT_EQ(std::memcmp(&multi, &h, sizeof h), 0);
  EXPECT_EQ(check.block_status, kBlocksOk);
}

TEST_F(StoregenTest, HeaderFieldsFollowTheOptions) {
  const int64_t len = record_length(3);
  const std::string path =
      make("o.store", {"--messages", "7", "--tags", "3", "--count", "9", "--forwarded", "2",
                       "--start-time", "1000", "--capacity", std::to_string(kRegion + 10 * len)});
  CommonHeader h{};
  int wraps = 0;
  const auto records = walk(path, &h, &wraps);
  EXPECT_EQ(h.message_count, 9u);
  EXPECT_EQ(h.forwarded_count, 2u);
  EXPECT_EQ(h.oldest_time.seconds, 1000);
  EXPECT_EQ(h.newest_time.seconds, 1000 + 6 * 60);
  EXPECT_EQ(h.newest_offset, kRegion + 6 * len);
  EXPECT_EQ(h.forward_offset, kRegion + 2 * len);  // record 3, the first not forwarded
  EXPECT_EQ(h.current_offset, kRegion + 7 * len);  // free space behind the newest
  EXPECT_EQ(h.last_message_size, 384 + 48);
  EXPECT_EQ(static_cast<int64_t>(testsupport::read_file(path).size()), kRegion + 10 * len);
  // The header counts 9 but 7 were written: the walk goes on into zeros.
  ASSERT_GE(records.size(), 7u);
  for (uint32_t k = 1; k <= 7; ++k) {
    expect_message(records[k - 1], k, 3, 1000 + 60 * static_cast<int32_t>(k - 1));
  }
  EXPECT_EQ(records[7].size, 0u);

  // Everything forwarded: the forward offset is where the next record goes.
  const std::string all = make("f.store", {"--messages", "3", "--forwarded", "3", "--capacity",
                                           std::to_string(kRegion + 5 * record_length(1))});
  VARNO_STATUS s;
  const CommonHeader fh = fixed_header(all, &s);
  EXPECT_EQ(fh.forward_offset, fh.current_offset);
  EXPECT_EQ(fh.current_offset, kRegion + 3 * record_length(1));

  // No tags: the smallest message.
  const std::string bare = make("t.store", {"--messages", "2", "--tags", "0"});
  const auto bare_records = walk(bare, &h, &wraps);
  ASSERT_EQ(bare_records.size(), 2u);
  expect_message(bare_records[1], 2, 0, 1700000060);
}

TEST_F(StoregenTest, OlderHeaderTypesReadBackWithTheSameFields) {
  const std::vector<std::string> common = {"--messages", "4",          "--forwarded",
                                           "1",          "--capacity", "3000"};
  auto args = [&](const char* type) {
    std::vector<std::string> a = common;
    a.insert(a.end(), {"--type", type});
    return a;
  };
  VARNO_STATUS s;
  HeaderCheck check;
  const CommonHeader t2 = store_header(make("t2.store", args("2")), &s, &check);
  ASSERT_TRUE(clean(s));
  for (const char* type : {"1", "0"}) {
    SCOPED_TRACE(std::string("type ") + type);
    const std::string path = make(std::string("t") + type + ".store", args(type));
    const CommonHeader h = store_header(path, &s, &check);
    ASSERT_TRUE(clean(s));
    EXPECT_EQ(current_header_type(), std::atoi(type));
    EXPECT_EQ(check.type, std::atoi(type));
    EXPECT_EQ(check.block_status, kBlocksOk);
    EXPECT_EQ(h.revision, static_cast<uint32_t>(std::atoi(type)));
    EXPECT_EQ(h.signature, t2.signature);
    EXPECT_EQ(h.oldest_offset, t2.oldest_offset);
    EXPECT_EQ(h.newest_offset, t2.newest_offset);
    EXPECT_EQ(h.current_offset, t2.current_offset);
    EXPECT_EQ(h.forward_offset, t2.forward_offset);
    EXPECT_EQ(h.last_offset, t2.last_offset);
    EXPECT_EQ(h.last_message_size, t2.last_message_size);
    EXPECT_EQ(h.message_count, t2.message_count);
    EXPECT_EQ(h.forwarded_count, t2.forwarded_count);
    EXPECT_EQ(h.oldest_time.seconds, t2.oldest_time.seconds);
    EXPECT_EQ(h.newest_time.seconds, t2.newest_time.seconds);
    // The records still start at 192; the unused part of the region is zero.
    const std::string bytes = testsupport::read_file(path);
    const size_t region_end = std::string(type) == "1" ? 144 : 136;
    EXPECT_EQ(bytes.substr(region_end, kRegion - region_end),
              std::string(kRegion - region_end, '\0'));
    EXPECT_EQ(bytes.substr(kRegion, 4), "[]\\^");
  }
}

TEST_F(StoregenTest, WrappedRingContinuesAtTheDataAreaStart) {
  const int64_t len = record_length(1);
  struct Case {
    std::vector<std::string> args;
    int64_t size;
  };
  const Case cases[] = {
      {{"--messages", "8", "--wrap"}, kRegion + 9 * len + 100},  // the default capacity
      {{"--messages", "7", "--wrap", "--capacity", "20000"}, 20000},
      {{"--messages", "2", "--wrap", "--type", "1"}, kRegion + 3 * len + 100},
  };
  int file_number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const std::string path = make("w" + std::to_string(file_number++) + ".store", c.args);
    EXPECT_EQ(static_cast<int64_t>(testsupport::read_file(path).size()), c.size);
    VARNO_STATUS s;
    HeaderCheck check;
    const CommonHeader h = store_header(path, &s, &check);
    ASSERT_TRUE(clean(s));
    EXPECT_LT(h.newest_offset, h.oldest_offset);
    const uint32_t messages = static_cast<uint32_t>(std::stoul(c.args[1]));

    // The same walk on the type-2 reader's terms (type 1 records lie alike).
    const int32_t fd = open_store(path);
    int wraps = 0;
    const auto records = walk_ring(fd, h, c.size, &wraps);
    close_store(fd);
    EXPECT_EQ(wraps, 1);
    ASSERT_EQ(records.size(), messages);
    bool seen_start = false;
    for (uint32_t k = 1; k <= messages; ++k) {
      expect_message(records[k - 1], k, 1, 1700000000 + 60 * static_cast<int32_t>(k - 1));
      if (records[k - 1].offset == kRegion) {
        seen_start = true;
        // The record before the wrap ends fewer than 304 bytes before the end.
        const Walked& before = records[k - 2];
        EXPECT_LT(c.size - (before.offset + before.size + 12), 304);
      }
    }
    EXPECT_TRUE(seen_start);
    EXPECT_EQ(records.back().offset, h.newest_offset);
    EXPECT_EQ(records.front().offset, h.oldest_offset);
    // At least one record's worth is free between the newest and the oldest.
    EXPECT_GE(h.oldest_offset - (h.newest_offset + len), len);
    EXPECT_EQ(h.current_offset, h.newest_offset + len);
  }
}

TEST_F(StoregenTest, EachDamageKindMakesExactlyItsDefect) {
  struct HeaderCase {
    const char* kind;
    int32_t status;
  };
  for (const HeaderCase& c : {HeaderCase{"primary", kPrimaryBad}, HeaderCase{"backup", kBackupBad},
                              HeaderCase{"both", kBothBad}}) {
    SCOPED_TRACE(c.kind);
    const std::string path = make(std::string(c.kind) + ".store", {"--damage", c.kind});
    const std::string bytes = testsupport::read_file(path);
    EXPECT_EQ(check_header_blocks(reinterpret_cast<const unsigned char*>(bytes.data()),
                                  kFixedBlockSize, nullptr),
              c.status);
    VARNO_STATUS s;
    const CommonHeader h = fixed_header(path, &s);
    if (c.status == kBothBad) {
      EXPECT_TRUE(has_pair(s, 13, 13510));
    } else {
      // The sound copy still says what was meant.
      EXPECT_TRUE(clean(s));
      EXPECT_EQ(h.message_count, 5u);
      EXPECT_EQ(h.signature, kStoreSignature);
    }
    // The records are untouched.
    CommonHeader ignored{};
    int wraps = 0;
    if (c.status != kBothBad) {
      for (const Walked& w : walk(path, &ignored, &wraps)) EXPECT_TRUE(clean(w.header_status));
    }
  }

  // An older layout is damaged in its own block: the type is still found.
  {
    VARNO_STATUS s;
    HeaderCheck check;
    store_header(make("old.store", {"--type", "1", "--damage", "primary"}), &s, &check);
    EXPECT_TRUE(clean(s));
    EXPECT_EQ(check.type, 1);
    EXPECT_EQ(check.block_status, kPrimaryBad);
  }

  const std::string byte_path = make("byte.store", {"--damage", "record-byte:3"});
  CommonHeader h{};
  int wraps = 0;
  auto records = walk(byte_path, &h, &wraps);
  ASSERT_EQ(records.size(), 5u);
  for (uint32_t k = 1; k <= 5; ++k) {
    EXPECT_EQ(has_pair(records[k - 1].header_status, 13, 13531), k == 3) << k;
    EXPECT_EQ(u32_at(records[k - 1].message.data() + 4), 400u);  // the size is untouched
  }

  // Record 2 of a wrapped ring: its size runs past the end, its checksum holds.
  const std::string size_path = make("size.store", {"--messages", "6", "--wrap", "--damage",
                                                    "record-size:2", "--damage", "record-byte:5"});
  records = walk(size_path, &h, &wraps);
  ASSERT_EQ(records.size(), 2u);  // the walk stops at the impossible size
  EXPECT_TRUE(clean(records[0].header_status));
  EXPECT_TRUE(clean(records[1].header_status));
  const int64_t file_size = static_cast<int64_t>(testsupport::read_file(size_path).size());
  EXPECT_GT(records[1].offset + 12 + int64_t{records[1].size}, file_size);
  EXPECT_EQ(records[1].offset, h.oldest_offset + record_length(1));
  // Record 5 (ring order) lies below the wrap and carries the byte damage.
  const int32_t fd = open_store(size_path);
  unsigned char header[292];
  VARNO_STATUS s;
  read_message_header(fd, kRegion + record_length(1), header, &s);
  close_store(fd);
  EXPECT_TRUE(has_pair(s, 13, 13531));
  EXPECT_EQ(u32_at(header + 8), 5u);
  EXPECT_EQ(header[24], 'r');
}

class ServeTest : public StoregenTest {
 protected:
  RunResult serve(const std::string& path, const std::string& steps) {
    return gen({path, "--serve", "--steps", steps, "--interval", "0"});
  }
};

TEST_F(ServeTest, EachStepAppendsAMessageAndForwardsOne) {
  const int64_t len = record_length(1);
  const std::string path =
      make("s.store", {"--forwarded", "1", "--capacity", std::to_string(kRegion + 10 * len)});
  const RunResult r = serve(path, "3");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "step 1: messages=6 forwarded=2\n"
            "step 2: messages=7 forwarded=3\n"
            "step 3: messages=8 forwarded=4\n");
  CommonHeader h{};
  int wraps = 0;
  const auto records = walk(path, &h, &wraps);
  EXPECT_EQ(h.message_count, 8u);
  EXPECT_EQ(h.forwarded_count, 4u);
  EXPECT_EQ(h.newest_offset, kRegion + 7 * len);
  EXPECT_EQ(h.last_offset, h.newest_offset);
  EXPECT_EQ(h.current_offset, kRegion + 8 * len);
  EXPECT_EQ(h.forward_offset, kRegion + 4 * len);
  EXPECT_EQ(h.newest_time.seconds, 1700000000 + 7 * 60);
  EXPECT_EQ(h.oldest_offset, kRegion);
  ASSERT_EQ(records.size(), 8u);
  for (uint32_t k = 1; k <= 8; ++k) {
    expect_message(records[k - 1], k, 1, 1700000000 + 60 * static_cast<int32_t>(k - 1));
  }
}

// The transaction numbers of the ring's records, oldest first, as a reader's
// walk meets them; each record's message read back in full.
std::vector<uint32_t> transactions(const std::vector<Walked>& records) {
  std::vector<uint32_t> out;
  for (const Walked& w : records) {
    EXPECT_TRUE(clean(w.header_status)) << "record at " << w.offset;
    out.push_back(w.message.size() >= 12 ? u32_at(w.message.data() + 8) : 0);
  }
  return out;
}

std::vector<uint32_t> from_to(uint32_t first, uint32_t last) {
  std::vector<uint32_t> out;
  for (uint32_t k = first; k <= last; ++k) out.push_back(k);
  return out;
}

// Each mode on a ring with free space, a full one and one whose oldest record
// waits: what each step prints and which messages the ring then holds.
TEST_F(ServeTest, ModesAppendForwardDropTheForwardedOldestAndRefuseWhenItWaits) {
  const int64_t len = record_length(1);
  const std::string ten = std::to_string(kRegion + 10 * len);
  struct Case {
    const char* what;
    std::vector<std::string> file;
    std::vector<std::string> mode;
    std::string out;
    uint32_t first, last;  // the transactions the ring holds afterwards
    uint32_t forwarded;
  };
  const Case cases[] = {
      {"free space: one in, one out",
       {"--forwarded", "1", "--capacity", ten},
       {},
       "step 1: messages=6 forwarded=2\nstep 2: messages=7 forwarded=3\n"
       "step 3: messages=8 forwarded=4\n",
       1,
       8,
       4},
      {"full: the forwarded oldest makes room",
       {"--forwarded", "3"},
       {},
       "step 1: messages=5 forwarded=3\nstep 2: messages=5 forwarded=3\n"
       "step 3: messages=5 forwarded=3\n",
       4,
       8,
       3},
      {"client down: the backlog grows",
       {"--capacity", ten},
       {"--client-down"},
       "step 1: messages=6 forwarded=0\nstep 2: messages=7 forwarded=0\n"
       "step 3: messages=8 forwarded=0\n",
       1,
       8,
       0},
      {"client down, full: refused once the oldest waits",
       {"--forwarded", "1"},
       {"--client-down"},
       "step 1: messages=5 forwarded=0\nstep 2: messages=5 forwarded=0 refused=1\n"
       "step 3: messages=5 forwarded=0 refused=2\n",
       2,
       6,
       0},
      {"catch up 4: fills, wraps, drops and catches up",
       {"--messages", "8", "--capacity", ten},
       {"--catch-up", "4"},
       "step 1: messages=9 forwarded=4\nstep 2: messages=10 forwarded=8\n"
       "step 3: messages=10 forwarded=10\n",
       2,
       11,
       10},
      {"no room at the end where a reader would look",
       {"--capacity", std::to_string(kRegion + 5 * len + 350)},
       {},
       "step 1: messages=5 forwarded=1 refused=1\nstep 2: messages=5 forwarded=2 refused=2\n"
       "step 3: messages=5 forwarded=3 refused=3\n",
       1,
       5,
       3},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = make("m" + std::to_string(n++) + ".store", c.file);
    std::vector<std::string> args = {path, "--serve", "--steps", "3", "--interval", "0"};
    args.insert(args.end(), c.mode.begin(), c.mode.end());
    const RunResult r = gen(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    CommonHeader h{};
    int wraps = 0;
    const auto records = walk(path, &h, &wraps);
    EXPECT_EQ(transactions(records), from_to(c.first, c.last));
    EXPECT_EQ(h.message_count, c.last - c.first + 1);
    EXPECT_EQ(h.forwarded_count, c.forwarded);
    // The forward offset names the first record not forwarded, or the place
    // behind the newest when all are.
    const int64_t forward_at =
        c.forwarded < records.size() ? records[c.forwarded].offset : h.current_offset;
    EXPECT_EQ(h.forward_offset, forward_at);
    EXPECT_EQ(h.oldest_time.seconds, 1700000000 + 60 * static_cast<int32_t>(c.first - 1));
    EXPECT_EQ(h.newest_time.seconds, 1700000000 + 60 * static_cast<int32_t>(c.last - 1));
    for (size_t i = 0; i < records.size(); ++i) {
      expect_message(records[i], c.first + static_cast<uint32_t>(i), 1,
                     1700000000 + 60 * static_cast<int32_t>(c.first - 1 + i));
    }
  }
}

TEST_F(ServeTest, AWrappedRingOverwritesOnlyForwardedRecords) {
  const std::string path = make("w.store", {"--messages", "4", "--wrap"});
  const RunResult r = serve(path, "3");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  CommonHeader h{};
  int wraps = 0;
  const auto records = walk(path, &h, &wraps);
  // Message 5 took the spare record's room; 6 and 7 the rooms of 1 and 2,
  // each forwarded in the step before.
  EXPECT_EQ(transactions(records), from_to(3, 7));
  EXPECT_EQ(h.forwarded_count, 1u);
  EXPECT_EQ(h.oldest_offset, kRegion);
  EXPECT_EQ(h.current_offset, kRegion);  // 7 ended the file: the ring goes on at 192
}

// Behind a record a reader looks for the next one unless fewer than 304
// bytes remain; when that space cannot hold a record, the record before it
// reaches to the end of the file.
TEST_F(ServeTest, ARecordThatWouldLeaveAnUnusableGapReachesTheEndOfTheFile) {
  const int64_t len = record_length(1);
  for (const int64_t gap : {int64_t{303}, int64_t{304}, len - 1, len}) {
    SCOPED_TRACE("gap " + std::to_string(gap));
    const std::string path = make("g" + std::to_string(gap) + ".store",
                                  {"--capacity", std::to_string(kRegion + 6 * len + gap)});
    ASSERT_EQ(serve(path, "1").exit_code, 0);
    CommonHeader h{};
    int wraps = 0;
    const auto records = walk(path, &h, &wraps);
    ASSERT_EQ(records.size(), 6u);
    const bool stretched = gap >= 304 && gap < len;
    const uint32_t size = static_cast<uint32_t>(stretched ? len - 12 + gap : len - 12);
    expect_message(records[5], 6, 1, 1700000000 + 5 * 60, size);
    EXPECT_EQ(h.last_message_size, records[5].size);
    EXPECT_EQ(h.current_offset, gap < 304 || stretched ? kRegion : kRegion + 6 * len);
  }
}

// Every state the simulator leaves behind, step by step through phases of
// every mode on rings of several shapes, is one that varno-inspect verify
// finds clean and that a reader walks from the oldest to the newest message
// without a gap, across several wraps of the ring.
TEST_F(ServeTest, EveryStateItLeavesVerifiesCleanAcrossWraps) {
  const int64_t len = record_length(1);
  const std::vector<std::vector<std::string>> shapes = {
      {"--capacity", std::to_string(kRegion + 8 * len + 100)},
      {"--messages", "6", "--wrap", "--forwarded", "2"},
      // Records of 444 bytes and 350 left at the end: stretched records.
      {"--messages", "3", "--tags", "3", "--capacity", std::to_string(kRegion + 7 * 444 + 350)},
  };
  const std::vector<std::pair<std::vector<std::string>, int>> phases = {
      {{"--client-down"}, 6},   {{"--catch-up", "3"}, 4}, {{}, 10},
      {{"--catch-up", "2"}, 6}, {{"--client-down"}, 5},   {{}, 15},
  };
  int n = 0;
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape[1]);
    const std::string path = make("v" + std::to_string(n++) + ".store", shape);
    int wraps_seen = 0;
    int64_t last_current = 0;
    int step = 0;
    for (const auto& [mode, steps] : phases) {
      for (int i = 0; i < steps; ++i, ++step) {
        SCOPED_TRACE("step " + std::to_string(step + 1));
        std::vector<std::string> args = {path, "--serve", "--steps", "1", "--interval", "0"};
        args.insert(args.end(), mode.begin(), mode.end());
        ASSERT_EQ(gen(args).exit_code, 0);
        const RunResult verify =
            testsupport::run(testsupport::binary("varno-inspect"), {"verify", path}, "",
                             {"VARNO_HOME=" + home_.home()});
        ASSERT_EQ(verify.exit_code, 0) << verify.out << verify.err;
        CommonHeader h{};
        int wraps = 0;
        const auto records = walk(path, &h, &wraps);
        const std::vector<uint32_t> found = transactions(records);
        ASSERT_EQ(found.size(), h.message_count);
        ASSERT_EQ(found, from_to(found.front(), found.front() + h.message_count - 1));
        if (h.current_offset < last_current) ++wraps_seen;
        last_current = h.current_offset;
      }
    }
    EXPECT_GE(wraps_seen, 2);
  }
}

TEST_F(ServeTest, WaitsForTheStoreFileLock) {
  const std::string path =
      make("l.store", {"--capacity", std::to_string(kRegion + 8 * record_length(1))});
  VARNO_STATUS s;
  const int32_t fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &s);
  ASSERT_GE(fd, 0);
  RunResult r;
  std::thread server([&] { r = serve(path, "1"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  CommonHeader h{};
  read_fixed_header(fd, &h, &s);
  EXPECT_EQ(h.message_count, 5u);  // nothing changed while the lock is held here
  varno_s_file_close(fd, &s);
  server.join();
  EXPECT_EQ(r.out, "step 1: messages=6 forwarded=1\n");
  EXPECT_EQ(fixed_header(path, &s).message_count, 6u);
}

TEST_F(ServeTest, RefusesFilesItCannotServe) {
  RunResult r = serve(home_.file("missing.store"), "1");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("(13, 13161)"), std::string::npos) << r.err;
  EXPECT_FALSE(testsupport::file_exists(home_.file("missing.store")));

  const std::string old = make("old.store", {"--type", "1"});
  const std::string before = testsupport::read_file(old);
  r = serve(old, "1");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("type-2 store file"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::read_file(old), before);
}

TEST_F(StoregenTest, BadArgumentsExitTwoWithOneLine) {
  const std::string f = home_.file("bad.store");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--messages", "3"},
      {f, "--frobnicate"},
      {f, "--type", "3"},
      {f, "--type", "-1"},
      {f, "--messages", "0"},
      {f, "--messages", "12x"},
      {f, "--tags", "-2"},
      {f, "--capacity"},
      {f, "--capacity", "2251"},  // one byte short of five records
      {f, "--wrap", "--messages", "1"},
      {f, "--wrap", "--capacity", "2663"},  // no spare record
      {f, "--damage", "record-byte:6"},
      {f, "--damage", "record-size:0"},
      {f, "--damage", "middle"},
      {f, "--serve", "--messages", "4"},
      {f, "--steps", "2"},
      {f, f + "2"},
      {f, "--type", "1", "--capacity", "5000000000"},
      {f, "--start-time", "2147483600"},  // message 5 would overflow
      {f, "--count", "4294967296"},
      {f, "-x"},
      {f, "--client-down"},
      {f, "--serve", "--catch-up", "0"},
      {f, "--serve", "--client-down", "--catch-up", "2"},
      {f, "--serve", "--catch-up", "2", "--client-down"},
  };
  for (const auto& args : bad) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    const RunResult r = gen(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_FALSE(testsupport::file_exists(f));
  }
  // A bad number is told what the option takes, in words.
  const struct {
    std::vector<std::string> args;
    std::string err;
  } worded[] = {
      {{f, "--interval", "abc"},
       "--interval takes a number of milliseconds from 0 to 3600000 (one hour), not 'abc'"},
      {{f, "--type", "3"}, "--type takes a header type: 0, 1 or 2, not '3'"},
      {{f, "--capacity", "-1"}, "--capacity takes a number of bytes up to 1 TiB (1099511627776)"},
      {{f, "--catch-up", "0"}, "--catch-up takes a number of messages from 1 to 50000000"},
  };
  for (const auto& c : worded) {
    const RunResult r = gen(c.args);
    EXPECT_EQ(r.err.rfind("varno-storegen: " + c.err, 0), 0u) << r.err;
  }
  // The limits themselves are accepted.
  EXPECT_EQ(gen({f, "--capacity", "2252"}).exit_code, 0);
  EXPECT_EQ(gen({f, "--wrap", "--capacity", "2664"}).exit_code, 0);
}

TEST_F(StoregenTest, FileErrorsExitOneWithTheRecordedPairs) {
  const RunResult r = gen({home_.file("no/such/dir/x.store")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("(13, 13161)"), std::string::npos) << r.err;
}

}  // namespace
