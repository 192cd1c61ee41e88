// Bad input end to end: a corpus of damaged store files, made here, each taken
// through menus 1 to 5 of the real utility (menu 4 for one cycle, menu 5
// answered y). Every run must end with exit code 0 and nothing on standard
// error (under the sanitizers a report lands there); every command must end
// with its result or a clear failure (an "Error ..." line with the error list,
// or the listing's "Invalid message record" note); and the store file must be
// unchanged unless the reset says it rewrote the header, and then only in the
// header region.
//
// Several files share one run of the utility, and several runs go on at once:
// each failed tracking cycle pauses 100 ms, which would otherwise dominate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "storeformat/checksum.h"
#include "tests/hardening/hardening_support.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

// What is known of a file in advance; kUnknown leaves only the general checks.
enum class Header { kUnknown, kOk, kFails };
enum class Listing {
  kAny,      // any well-formed listing
  kNone,     // the header report and no record
  kStops,    // ends with the note (menu 2)
  kHasNote,  // shows the note somewhere
};

struct Entry {
  std::string name;
  std::string bytes;
  Header store_header = Header::kUnknown;  // menus 1 and 5: any header type
  Header fixed_header = Header::kUnknown;  // menus 2, 3 and 4: type 2 only
  Listing contents = Listing::kAny;        // menu 2
  Listing first_last = Listing::kAny;      // menu 3
  bool contents_runs_forever = false;      // menu 2 left out (see below)
};

const char kRecordStart[] = "--------------Message # ";
const char kNote[] = "Invalid message record at offset ";
const char kChangedLine[] =
    "\nThe Forward offset has been changed to the Oldest offset location.\n";
const std::string kSelection = "\nPress a key to make your selection: ";

// ---------------------------------------------------------------------------
// Editing store files

using testsupport::checksum_of;
using testsupport::get32;
using testsupport::get64;
using testsupport::put32;
using testsupport::put64;

// A field of both header blocks of `type` changed, both checksums made right
// again, so the header stays sound.
struct HeaderEdit {
  int32_t type;
  std::string* bytes;
  void set(size_t at, uint64_t v, int width) {
    const uint32_t s = kHeaderBlockSize[type];
    for (size_t copy : {size_t{0}, size_t{s + 4}}) {
      if (width == 8) {
        put64(*bytes, copy + at, v);
      } else {
        put32(*bytes, copy + at, static_cast<uint32_t>(v));
      }
      put32(*bytes, copy + s, checksum_of(*bytes, copy, s));
    }
  }
};

// Field offsets of the type-2 block, and of the type-0/1 blocks (32-bit).
constexpr size_t kOldest2 = 16, kNewest2 = 32, kCount2 = 40, kForwarded2 = 44, kForward2 = 64;
constexpr size_t kOldest1 = 16, kNewest1 = 28, kCount1 = 32, kForwarded1 = 36, kCurrent1 = 40,
                 kForward1 = 48, kLastSize1 = 52;

// Record k (0-based) of a storegen file without --wrap: its offset.
constexpr int64_t kRecord = 412;  // one tag: 400-byte message + 12
int64_t record_at(int k) {
  return 192 + kRecord * k;
}

// Gives the record at `offset` the message size `size`, with its header
// checksum made right again, so only the size is wrong.
void set_record_size(std::string& b, int64_t offset, uint32_t size) {
  const auto at = static_cast<size_t>(offset);
  put32(b, at + 12 + 4, size);
  put32(b, at + 4, checksum_of(b, at + 12, 292));
}

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

// ---------------------------------------------------------------------------
// The corpus

std::vector<Entry> build_corpus(const std::string& home, const std::string& dir) {
  std::vector<Entry> corpus;
  auto base = [&](const std::string& name, const std::vector<std::string>& options) {
    return hardening::storegen(home, dir + "/" + name, options);
  };
  const std::string t2 = base("base.t2", {"--messages", "6", "--forwarded", "3"});
  const std::string t1 = base("base.t1", {"--type", "1", "--messages", "6", "--forwarded", "3"});
  const std::string t0 = base("base.t0", {"--type", "0", "--messages", "6", "--forwarded", "3"});
  if (t2.empty() || t1.empty() || t0.empty()) return corpus;

  // The type-2 file cut at every length up to the 392 bytes the header read
  // asks for. Both header reads need the 192-byte region; the first record
  // (at 192) is never whole.
  for (uint32_t t = 0; t <= kMaxHeaderRead; ++t) {
    Entry e{"cut2_" + std::to_string(t), t2.substr(0, t)};
    const bool region = t >= 192;
    e.store_header = e.fixed_header = region ? Header::kOk : Header::kFails;
    e.contents = t > 192 ? Listing::kStops : Listing::kNone;
    e.first_last = Listing::kNone;  // the newest record lies beyond the cut
    corpus.push_back(e);
  }
  // Types 1 and 0 cut around their regions (144 and 136 bytes) and the
  // places where their type is recognised: the revision (bytes 4..7) for type
  // 1, the backup signature (68..71) for type 0. Only menus 1 and 5 read
  // these types; the others expect type 2 and must refuse them.
  for (int32_t type : {1, 0}) {
    const std::string& whole = type == 1 ? t1 : t0;
    const uint32_t region = hardening::region_size(type);
    for (uint32_t t : {0u, 4u, 7u, 8u, 67u, 71u, 72u, 100u, region - 8, region - 1, region,
                       region + 1, 191u, 192u, 300u, 391u, 392u}) {
      Entry e{"cut" + std::to_string(type) + "_" + std::to_string(t), whole.substr(0, t)};
      e.store_header = t >= region ? Header::kOk : Header::kFails;
      e.fixed_header = Header::kFails;
      corpus.push_back(e);
    }
  }

  // Random bytes of several sizes, and random bytes that carry the marks by
  // which a type-2 header is recognised but not its checksums.
  std::mt19937 rng(20240611);
  for (size_t n : {1, 99, 100, 191, 192, 193, 391, 392, 393, 1000, 4096, 70000}) {
    Entry e{"random_" + std::to_string(n), random_bytes(rng, n)};
    e.store_header = e.fixed_header = Header::kFails;
    corpus.push_back(e);
  }
  for (size_t n : {192, 400, 5000}) {
    std::string b = random_bytes(rng, n);
    put32(b, 0, kStoreSignature);
    put32(b, 4, 2);
    put32(b, 96, kStoreSignature);
    put32(b, 100, 2);
    Entry e{"marked_" + std::to_string(n), b};
    e.store_header = e.fixed_header = Header::kFails;
    corpus.push_back(e);
  }
  // A sound header in front of random record data, counting every message
  // there could be.
  {
    std::string b = t2.substr(0, 192) + random_bytes(rng, 5000);
    HeaderEdit{2, &b}.set(kCount2, 0xFFFFFFFF, 4);
    Entry e{"random_records", b};
    e.store_header = e.fixed_header = Header::kOk;
    corpus.push_back(e);
  }

  // Message sizes of no use: below the message header, a header without a
  // body, huge, and sizes whose 32-bit sum with the prefix wraps.
  for (uint32_t size :
       {0u, 1u, 291u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF3u, 0xFFFFFFF4u, 0xFFFFFFFFu}) {
    std::string b = t2;
    set_record_size(b, record_at(1), size);
    Entry e{"size2nd_" + std::to_string(size), b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = Listing::kStops;
    corpus.push_back(e);
    b = t2;
    set_record_size(b, record_at(0), size);
    e = Entry{"size1st_" + std::to_string(size), b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = Listing::kStops;
    e.first_last = Listing::kHasNote;
    corpus.push_back(e);
  }
  // Sizes that fit but are shorter than a real body: the library gets a
  // message that ends early. The first record is the first buffer allocated,
  // so a read past its end is caught by the sanitizers.
  for (uint32_t size : {292u, 293u, 296u, 300u, 304u, 383u, 399u}) {
    std::string b = t2;
    set_record_size(b, record_at(0), size);
    Entry e{"shortbody_" + std::to_string(size), b};
    e.store_header = e.fixed_header = Header::kOk;
    corpus.push_back(e);
  }

  const auto size2 = static_cast<int64_t>(t2.size());
  // Offsets past the end of the file.
  for (int64_t off : {size2, size2 + 1, int64_t{1} << 31, (int64_t{1} << 32) + 192,
                      std::numeric_limits<int64_t>::max()}) {
    std::string b = t2;
    HeaderEdit{2, &b}.set(kOldest2, static_cast<uint64_t>(off), 8);
    Entry e{"oldest_past_" + std::to_string(off), b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = e.first_last = Listing::kNone;
    corpus.push_back(e);
    b = t2;
    HeaderEdit{2, &b}.set(kNewest2, static_cast<uint64_t>(off), 8);
    e = Entry{"newest_past_" + std::to_string(off), b};
    e.store_header = e.fixed_header = Header::kOk;
    e.first_last = Listing::kNone;
    corpus.push_back(e);
  }
  // Negative 64-bit offsets, one whose low 32 bits look like a good offset.
  for (int64_t off : {int64_t{-1}, int64_t{-192}, -(int64_t{1} << 32) + 192,
                      std::numeric_limits<int64_t>::min()}) {
    std::string b = t2;
    HeaderEdit{2, &b}.set(kOldest2, static_cast<uint64_t>(off), 8);
    Entry e{"oldest_neg_" + std::to_string(off), b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = Listing::kStops;
    e.first_last = Listing::kHasNote;
    corpus.push_back(e);
    b = t2;
    HeaderEdit{2, &b}.set(kNewest2, static_cast<uint64_t>(off), 8);
    HeaderEdit{2, &b}.set(kForward2, static_cast<uint64_t>(off), 8);
    e = Entry{"newest_neg_" + std::to_string(off), b};
    e.store_header = e.fixed_header = Header::kOk;
    e.first_last = Listing::kHasNote;
    corpus.push_back(e);
  }
  // Offsets into the header region itself.
  for (int64_t off : {0, 4, 100, 191}) {
    std::string b = t2;
    HeaderEdit{2, &b}.set(kOldest2, static_cast<uint64_t>(off), 8);
    HeaderEdit{2, &b}.set(kNewest2, static_cast<uint64_t>(off), 8);
    Entry e{"into_header_" + std::to_string(off), b};
    e.store_header = e.fixed_header = Header::kOk;
    corpus.push_back(e);
  }

  // Counts of 2^32 - 1. The walk ends at the first record it cannot use, so
  // each of these rings has one.
  {
    std::string b = t2;
    HeaderEdit{2, &b}.set(kCount2, 0xFFFFFFFF, 4);
    HeaderEdit{2, &b}.set(kOldest2, t2.size() + 5, 8);
    Entry e{"count_max_oldest_past", b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = e.first_last = Listing::kNone;
    corpus.push_back(e);

    // Free space behind the newest record: the walk meets zeros there.
    std::string spare = base("spare.t2", {"--messages", "6", "--capacity", "4000"});
    HeaderEdit{2, &spare}.set(kCount2, 0xFFFFFFFF, 4);
    e = Entry{"count_max_free_space", spare};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = Listing::kStops;
    corpus.push_back(e);

    b = t2;
    set_record_size(b, record_at(3), 0xFFFFFFFF);
    HeaderEdit{2, &b}.set(kCount2, 0xFFFFFFFF, 4);
    e = Entry{"count_max_bad_size", b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = Listing::kStops;
    corpus.push_back(e);

    // A sound ring with no free space and that count: the walk wraps to 192
    // and lists the six records over and over until the count is reached,
    // some 4 billion records later. Menu 2 is left out for it.
    b = t2;
    HeaderEdit{2, &b}.set(kCount2, 0xFFFFFFFF, 4);
    e = Entry{"count_max_sound_ring", b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents_runs_forever = true;
    corpus.push_back(e);
  }

  // Type 1 and type 0 headers with wild values, checksums right: menus 1 and
  // 5 read them, the others refuse them as type-2 headers.
  for (int32_t type : {1, 0}) {
    const std::vector<std::pair<std::string, std::vector<std::pair<size_t, uint32_t>>>> sets = {
        {"high",
         {{kOldest1, 0xFFFFFFFF},
          {kNewest1, 0xFFFFFFF0},
          {kCurrent1, 0x80000000},
          {kForward1, 0xFFFFFFFF},
          {kLastSize1, 0xFFFFFFFF},
          {kCount1, 0xFFFFFFFF},
          {kForwarded1, 0xFFFFFFFF}}},
        {"header", {{kOldest1, 0}, {kNewest1, 100}, {kForward1, 191}}},
        {"sign", {{kOldest1, 0x80000000}, {kNewest1, 0x80000001}, {kCount1, 0x80000000}}},
    };
    for (const auto& [label, fields] : sets) {
      std::string b = type == 1 ? t1 : t0;
      for (const auto& [at, v] : fields) HeaderEdit{type, &b}.set(at, v, 4);
      Entry e{"wild" + std::to_string(type) + "_" + label, b};
      e.store_header = Header::kOk;
      e.fixed_header = Header::kFails;
      corpus.push_back(e);
    }
  }
  // Type-2 header with every offset wild.
  {
    std::string b = t2;
    HeaderEdit edit{2, &b};
    edit.set(kOldest2, 0x8000000000000000u, 8);
    edit.set(kNewest2, 0x7FFFFFFFFFFFFFFFu, 8);
    edit.set(48, 0xFFFFFFFFFFFFFFFFu, 8);
    edit.set(56, 0x8000000000000001u, 8);
    edit.set(kForward2, 0x1234567890ABCDEFu, 8);
    edit.set(72, 0xFFFFFFFFFFFFFFFFu, 8);
    edit.set(kForwarded2, 0xFFFFFFFF, 4);
    Entry e{"wild2", b};
    e.store_header = e.fixed_header = Header::kOk;
    e.contents = Listing::kStops;
    corpus.push_back(e);
  }

  // Damaged header copies: one bad copy is survived, two are refused, and
  // so are two sound copies that differ (a rewrite torn between them).
  for (const std::string damage : {"primary", "backup", "both"}) {
    std::string b = base("damaged_" + damage + ".t2",
                         {"--messages", "3", "--forwarded", "1", "--damage", damage});
    Entry e{"damaged_" + damage, b};
    e.store_header = e.fixed_header = damage == "both" ? Header::kFails : Header::kOk;
    corpus.push_back(e);
  }
  {
    std::string b = t2;
    put64(b, 96 + kForward2, get64(b, kOldest2));
    put32(b, 188, checksum_of(b, 96, 92));
    Entry e{"copies_differ", b};
    e.store_header = e.fixed_header = Header::kFails;
    corpus.push_back(e);
  }
  return corpus;
}

// ---------------------------------------------------------------------------
// Running the utility

struct Job {
  std::vector<size_t> entries;  // indices into the corpus
  std::string input_path, out_path, err_path;
  int exit_code = -1;
};

std::string path_of(const std::string& dir, const Entry& e) {
  // Each file its own extension: the store file lock is named after it, so
  // runs that go on at once never wait for each other.
  return dir + "/corpus." + e.name;
}

std::string answers_for(const std::string& path, bool with_contents) {
  std::string in;
  in += "1\n" + path + "\nS\n\n";
  if (with_contents) in += "2\n" + path + "\nS\n\n";
  in += "3\n" + path + "\nS\n\n";
  // One cycle, then X; the pause after the command takes the rest of the line.
  in += "4\n" + path + "\nS\n\nX\n";
  in += "5\ny\n" + path + "\nS\n\n";
  return in;
}

// Runs every job, at most `parallel` at a time.
void run_all(std::vector<Job>& jobs, const std::vector<std::string>& env, size_t parallel) {
  std::vector<testsupport::FileRun> runs;
  for (const Job& job : jobs) {
    runs.push_back(
        {testsupport::binary("varno-analyze"), {}, job.input_path, job.out_path, job.err_path});
  }
  testsupport::run_with_files(runs, env, parallel);
  for (size_t i = 0; i < jobs.size(); ++i) jobs[i].exit_code = runs[i].exit_code;
}

// ---------------------------------------------------------------------------
// Checking one command's screen text

bool contains(const std::string& s, const std::string& what) {
  return s.find(what) != std::string::npos;
}

// The header read's outcome in a command's text: true for the report, false
// for the error list; exactly one of the two must be there.
bool header_outcome(const std::string& s, const std::string& path, const char* success) {
  const bool error = contains(
      s, "\nError reading store file header from " + path + "\n\nError codes\n-----------\n");
  const bool ok = contains(s, success);
  EXPECT_NE(error, ok) << "neither or both of the report and the error list:\n" << s;
  return ok;
}

// The records of a listing: each block is followed by the body's summary, or
// by the note, which ends menu 2. Returns the number of notes.
int check_records(const std::string& s, bool contents, int* records) {
  *records = 0;
  int notes = 0;
  size_t at = s.find(kRecordStart);
  while (at != std::string::npos) {
    ++*records;
    const size_t next = s.find(kRecordStart, at + 1);
    const std::string block =
        s.substr(at, next == std::string::npos ? std::string::npos : next - at);
    const bool summary = contains(block, "\nlistid: ") ||
                         contains(block, "\nMessage body could not be interpreted.\n");
    const bool note = contains(block, kNote);
    EXPECT_NE(summary, note) << "a record needs its summary or the note:\n" << block;
    if (note) {
      ++notes;
      if (contents) {
        EXPECT_EQ(next, std::string::npos) << "menu 2 goes on after the note";
      }
    }
    at = next;
  }
  return notes;
}

void check_listing(const std::string& s, const std::string& path, const Entry& e, bool contents) {
  SCOPED_TRACE(contents ? "menu 2" : "menu 3");
  const bool ok = header_outcome(s, path, ("\nSTORE FILE:  " + path + "\n").c_str());
  if (e.fixed_header != Header::kUnknown) {
    EXPECT_EQ(ok, e.fixed_header == Header::kOk) << s;
  }
  if (!ok) {
    EXPECT_FALSE(contains(s, kRecordStart));
    return;
  }
  int records = 0;
  const int notes = check_records(s, contents, &records);
  if (!contents) {
    EXPECT_LE(records, 2);
  }
  switch (contents ? e.contents : e.first_last) {
    case Listing::kAny:
      break;
    case Listing::kNone:
      EXPECT_EQ(records, 0) << s;
      break;
    case Listing::kStops:
      EXPECT_EQ(notes, 1) << s;
      break;
    case Listing::kHasNote:
      EXPECT_GE(notes, 1) << s;
      break;
  }
}

// Checks the transcript of one job; `before` holds each file's bytes.
void check_job(const Job& job, const std::vector<Entry>& corpus, const std::string& dir) {
  const std::string out = testsupport::read_text_file(job.out_path);
  const std::string err = testsupport::read_text_file(job.err_path);
  std::string names;
  for (size_t i : job.entries) names += corpus[i].name + " ";
  SCOPED_TRACE("files " + names);
  EXPECT_EQ(job.exit_code, 0);
  EXPECT_EQ(err, "") << "standard error";
  EXPECT_FALSE(contains(out, "Invalid entry")) << "the answers went out of step";

  std::vector<std::string> sections;
  size_t from = 0;
  for (size_t at = out.find(kSelection); at != std::string::npos; at = out.find(kSelection, from)) {
    sections.push_back(out.substr(from, at - from));
    from = at + kSelection.size();
  }
  sections.push_back(out.substr(from));
  size_t commands = 0;
  for (size_t i : job.entries) commands += corpus[i].contents_runs_forever ? 4 : 5;
  ASSERT_EQ(sections.size(), commands + 2) << out.substr(0, 4000);
  EXPECT_EQ(sections.back(), "");

  size_t next = 1;
  for (size_t i : job.entries) {
    const Entry& e = corpus[i];
    SCOPED_TRACE(e.name);
    const std::string path = path_of(dir, e);

    const std::string& m1 = sections[next++];
    const bool ok1 = header_outcome(m1, path, ("\nSTORE FILE:  " + path + "\n").c_str());
    if (e.store_header != Header::kUnknown) {
      EXPECT_EQ(ok1, e.store_header == Header::kOk) << m1;
    }

    if (!e.contents_runs_forever) check_listing(sections[next++], path, e, true);
    check_listing(sections[next++], path, e, false);

    const std::string& m4 = sections[next++];
    const bool ok4 = header_outcome(m4, path, "Total Number of Messages: ");
    if (e.fixed_header != Header::kUnknown) {
      EXPECT_EQ(ok4, e.fixed_header == Header::kOk) << m4;
    }

    const std::string& m5 = sections[next++];
    const bool changed = contains(m5, kChangedLine);
    const bool read_error = contains(m5, "\nError reading store file header from " + path + "\n");
    const bool write_error = contains(m5, "\nError writing store file header to " + path + "\n");
    EXPECT_EQ(int{changed} + int{read_error} + int{write_error}, 1) << m5;
    if (e.store_header != Header::kUnknown) {
      EXPECT_EQ(changed, e.store_header == Header::kOk) << m5;
    }
    if (changed || read_error || write_error) {
      EXPECT_EQ(contains(m5, "\n\nError codes\n-----------\n"), !changed) << m5;
    }

    // The file: unchanged, or changed by the reset in its header region only.
    const std::string after = testsupport::read_file(path);
    if (!changed) {
      EXPECT_TRUE(after == e.bytes) << "the file changed without an accepted reset";
      continue;
    }
    int type = -1;
    for (int t = 0; t < 3; ++t) {
      if (contains(m5, "Processing file header type " + std::to_string(t) + "\n")) type = t;
    }
    ASSERT_GE(type, 0) << m5;
    const uint32_t region = hardening::region_size(type);
    ASSERT_EQ(after.size(), e.bytes.size());
    EXPECT_TRUE(after.substr(region) == e.bytes.substr(region)) << "written past the header region";
    const hardening::HeaderReadBack back = hardening::read_back(path);
    EXPECT_TRUE(back.ok);
    EXPECT_EQ(back.type, type);
    // The record as encoded: forward offset := oldest offset, nothing forwarded.
    EXPECT_EQ(get64(back.block, kForward2), get64(back.block, kOldest2));
    EXPECT_EQ(get32(back.block, kForwarded2), 0u);
  }
}

TEST(BadInputEndToEnd, EveryCorpusFileThroughMenusOneToFive) {
  testsupport::ScratchHome home;
  const std::string dir = home.file("corpus");
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  const std::vector<Entry> corpus = build_corpus(home.home(), dir);
  ASSERT_GT(corpus.size(), 500u);
  for (const Entry& e : corpus) testsupport::write_file(path_of(dir, e), e.bytes);

  // Eight files to a run of the utility.
  std::vector<Job> jobs;
  for (size_t i = 0; i < corpus.size(); i += 8) {
    Job job;
    std::string input = "5000\n";
    for (size_t j = i; j < std::min(corpus.size(), i + 8); ++j) {
      job.entries.push_back(j);
      input += answers_for(path_of(dir, corpus[j]), !corpus[j].contents_runs_forever);
    }
    input += "x\n";
    const std::string stem = home.file("run" + std::to_string(jobs.size()));
    job.input_path = stem + ".in";
    job.out_path = stem + ".out";
    job.err_path = stem + ".err";
    testsupport::write_file(job.input_path, input);
    jobs.push_back(job);
  }
  run_all(jobs, {"VARNO_HOME=" + home.home(), "TZ=UTC"}, 12);
  for (const Job& job : jobs) check_job(job, corpus, dir);
}

}  // namespace
