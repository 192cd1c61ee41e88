// The five menu commands end to end: the real utility driven through its
// standard input, its transcript and output files compared exactly, on store
// files made by varno-storegen.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"
#include "storeformat/store_header.h"
#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"
#include "tests/support/bytes.h"

namespace {

using namespace transcript;
using storefiles::message_block;
using storefiles::stamp;

const std::string kDiag2 =
    "Found non-zero revision number 2\nChecking store file header blocks, size=92\n"
    "Header read in ok.\nProcessing file header type 2\n";

struct HeaderValues {
  std::string name;
  int forwarded, count;
  long long oldest, newest, current, last, forward, last_size;
  int oldest_k, newest_k;
  unsigned revision = 2;
};

std::string header_screen(const HeaderValues& h) {
  char sig[80];
  std::snprintf(sig, sizeof sig, "Store file signature: 5A5AA5A5; revision=%u\n", h.revision);
  return "\nSTORE FILE:  " + h.name + "\n--------------Store File Header Info----------------\n" +
         sig + "Messages forwarded: " + std::to_string(h.forwarded) + " of " +
         std::to_string(h.count) + "\nOldest offset: " + std::to_string(h.oldest) +
         "\nNewest offset: " + std::to_string(h.newest) +
         "\nCurrent offset: " + std::to_string(h.current) +
         "\nLast offset: " + std::to_string(h.last) +
         "\nForward offset: " + std::to_string(h.forward) +
         "\nLast message size: " + std::to_string(h.last_size) +
         "\nStore file oldest time stamp: " + stamp(h.oldest_k) +
         "\n\nStore file newest time stamp: " + stamp(h.newest_k) + "\n\n";
}

std::string header_file(const HeaderValues& h) {
  return "STORE FILE:  " + h.name + "\n--------------Store File Header Info----------------\n" +
         "Store file signature: 1515890085; revision=" + std::to_string(h.revision) +
         "\nNumber of messages in store file: " + std::to_string(h.count) +
         "\nOldest offset: " + std::to_string(h.oldest) +
         "\nNewest offset: " + std::to_string(h.newest) +
         "\nCurrent offset: " + std::to_string(h.current) +
         "\nLast offset: " + std::to_string(h.last) +
         "\nForward offset: " + std::to_string(h.forward) +
         "\nLast message size: " + std::to_string(h.last_size) +
         "\nStore file oldest time stamp: " + stamp(h.oldest_k) +
         "\n\nStore file newest time stamp: " + stamp(h.newest_k) + "\n\n";
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(dir.path); }
  // Out of the directory, which is removed next.
  void TearDown() override {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
  }
  void make(const std::string& name, const std::vector<std::string>& options) {
    storefiles::generate(home(), dir.file(name), options);
  }
  std::string home() const { return dir.path + "/home/"; }
  // Runs the utility in the scratch directory: service 5000, the selection
  // lines, then x.
  testsupport::RunResult run(const std::string& input) {
    return run_utility(home(), "5000\n" + input + "x\n");
  }
  // The transcript of one command between the menu and the pause.
  static std::string session(const std::string& body) {
    return kServicePrompt + menu() + body + kPause + menu();
  }
  static std::string store_and_output(const std::string& choice_echo = "") {
    return kStorePrompt + kOutputPrompt + choice_echo;
  }
  testsupport::ScratchDir dir;
};

const HeaderValues kSound = {"sound.store", 2, 5, 192, 1840, 192, 1840, 1016, 400, 1, 5};

TEST_F(Commands, HeaderReportOnTheScreenInAFileAndBoth) {
  make("sound.store", {"--messages", "5", "--forwarded", "2"});
  auto r = run("1\nsound.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kDiag2 + header_screen(kSound)));
  EXPECT_EQ(r.exit_code, 0);

  r = run("1\nsound.store\nf\nreport.txt\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kOutputNamePrompt + kDiag2));
  EXPECT_EQ(testsupport::read_text_file(dir.file("report.txt")), header_file(kSound));

  testsupport::write_file(dir.file("both.txt"), "old content that must go\n");
  r = run("1\nsound.store\nBoth\nboth.txt\n\n");
  EXPECT_EQ(r.out,
            session(store_and_output() + kOutputNamePrompt + kDiag2 + header_screen(kSound)));
  EXPECT_EQ(testsupport::read_text_file(dir.file("both.txt")), header_file(kSound));
}

TEST_F(Commands, HeaderReportOnEachHeaderCase) {
  make("dam.store", {"--messages", "2", "--damage", "primary"});
  make("back.store", {"--messages", "2", "--damage", "backup"});
  make("both.store", {"--messages", "2", "--damage", "both"});
  make("t1.store", {"--type", "1", "--messages", "2"});
  make("t0.store", {"--type", "0", "--messages", "2"});
  testsupport::write_file(dir.file("zeros.store"), std::string(1000, '\0'));
  const HeaderValues two = {"", 0, 2, 192, 604, 192, 604, 192, 400, 1, 2};
  auto named = [&](const std::string& n, unsigned revision = 2) {
    HeaderValues h = two;
    h.name = n;
    h.revision = revision;
    return h;
  };
  // The checksums the diagnostics show are those of the blocks on disk.
  auto crc_line = [&](const std::string& file, int which) {
    const std::string bytes = testsupport::read_file(dir.file(file));
    const size_t at = which == 1 ? 0 : 96;
    uint32_t computed = 0;
    store_file_checksum(bytes.data() + at, 92, &computed);
    uint32_t stored = 0;
    for (int i = 3; i >= 0; --i)
      stored = (stored << 8) | static_cast<unsigned char>(bytes[at + 92 + i]);
    char line[100];
    std::snprintf(line, sizeof line, "BAD CRC: CRC #%d should be %08X, file CRC #%d is %08X\n",
                  which, computed, which, stored);
    return std::string(line);
  };
  const std::string check =
      "Found non-zero revision number 2\nChecking store file header blocks, size=92\n";

  auto r = run("1\ndam.store\n\n\n");
  EXPECT_EQ(r.out, session(store_and_output() +
                           "\nError reading display choice. Will display info on screen.\n" +
                           check + crc_line("dam.store", 1) + "Primary block bad.\n" +
                           "Processing file header type 2\n" + header_screen(named("dam.store"))));
  r = run("1\nback.store\ns\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + check + crc_line("back.store", 2) +
                           "Header backup block bad.\nProcessing file header type 2\n" +
                           header_screen(named("back.store"))));
  r = run("1\nboth.store\nF\nboth.txt\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kOutputNamePrompt + check +
                           crc_line("both.store", 1) + crc_line("both.store", 2) +
                           "Both header blocks bad.\nProcessing file header type 2\n"
                           "*!* The file header is corrupt.  ANALYZE cannot continue\n"
                           "\nError reading store file header from both.store\n"
                           "\nError codes\n-----------\n\n0) facility=13  error=13510"
                           "\n1) facility=13  error=13512"));
  EXPECT_EQ(testsupport::read_text_file(dir.file("both.txt")), "")
      << "a failed read leaves the file empty";
  r = run("1\nt1.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() +
                           "Found non-zero revision number 1\nChecking store file header blocks, "
                           "size=68\nHeader read in ok.\nProcessing file header type 1\n" +
                           header_screen(named("t1.store", 1))));
  r = run("1\nt0.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() +
                           "Checking store file header blocks, size=64\nHeader read in ok.\n"
                           "Processing file header type 0\n" +
                           header_screen(named("t0.store", 0))));
  r = run("1\nzeros.store\nS\n\n");
  EXPECT_EQ(r.out,
            session(store_and_output() +
                    "ERROR: Could not match header to any known type.\n"
                    "\n*!* The file header is of an unknown type.  ANALYZE cannot continue.\n"
                    "\nError reading store file header from zeros.store\n"
                    "\nError codes\n-----------\n\n0) facility=13  error=13512"));
}

TEST_F(Commands, StoreFilePromptFailuresEndTheCommandBeforeTheOutputPrompt) {
  auto r = run("1\nmissing.store\n\n");
  EXPECT_EQ(r.out, session(kStorePrompt + "\nError opening store file missing.store\n" +
                           "\nError codes\n-----------\n\n0) facility=13  error=13161"));
  r = run("2\n\n\n");
  EXPECT_EQ(r.out, session(kStorePrompt + "\nError reading store file name.\n"));
  r = run("3\n" + std::string(1023, 'n') + "\n\n");
  EXPECT_EQ(r.out, session(kStorePrompt + "\nError reading store file name.\n"));
  // A name is used exactly as typed: blanks included. (A leading one: Windows
  // itself drops trailing blanks from file names.)
  make("sp.store", {"--messages", "1"});
  r = run("1\n sp.store\n\n");
  EXPECT_EQ(r.out, session(kStorePrompt + "\nError opening store file  sp.store\n" +
                           "\nError codes\n-----------\n\n0) facility=13  error=13161"));
}

TEST_F(Commands, OutputPromptFallsBackToTheScreen) {
  make("sound.store", {"--messages", "5", "--forwarded", "2"});
  // No file name.
  auto r = run("1\nsound.store\nF\n\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kOutputNamePrompt +
                           "\nError reading output file name.  Will display on screen only\n" +
                           kDiag2 + header_screen(kSound)));
  // A file that cannot be opened.
  r = run("1\nsound.store\nb\nno/such/dir/out.txt\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kOutputNamePrompt +
                           "\nError opening output file no/such/dir/out.txt\n"
                           "\nWill display info on screen only\n" +
                           kDiag2 + header_screen(kSound)));
  // A reply that starts with a blank selects the screen, even " b".
  r = run("1\nsound.store\n b\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kDiag2 + header_screen(kSound)));
}

TEST_F(Commands, OutputFileNamingTheStoreFileIsRefused) {
  make("sound.store", {"--messages", "5", "--forwarded", "2"});
  const std::string before = testsupport::read_file(dir.file("sound.store"));
  std::filesystem::create_hard_link(dir.file("sound.store"), dir.file("alias"));
  for (const std::string& spelled : {std::string("sound.store"), std::string("./sound.store"),
                                     dir.file("sound.store"), std::string("alias")}) {
    auto r = run("2\nsound.store\nF\n" + spelled + "\n\n");
    const std::string expected_start = kServicePrompt + menu() + store_and_output() +
                                       kOutputNamePrompt + "\nError opening output file " +
                                       spelled + "\n\nWill display info on screen only\n" +
                                       header_screen(kSound);
    EXPECT_EQ(r.out.substr(0, expected_start.size()), expected_start) << spelled;
    EXPECT_EQ(testsupport::read_file(dir.file("sound.store")), before) << spelled;
  }
}

// Screen and report file are text as the platform writes it: on Windows
// every line feed goes out as CR LF, elsewhere unchanged.
TEST_F(Commands, ScreenAndReportFileEndLinesAsThePlatformDoes) {
  make("sound.store", {"--messages", "2"});
  auto r = run("1\nsound.store\nB\nboth.txt\n\n");
  ASSERT_EQ(r.exit_code, 0);
  auto platform_lines = [](const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c == '\n' && testsupport::kCrLfText) out += '\r';
      out += c;
    }
    return out;
  };
  ASSERT_NE(r.out.find("\nSTORE FILE:  sound.store\n"), std::string::npos);
  EXPECT_EQ(r.raw_out, platform_lines(r.out));
  const std::string file = testsupport::read_file(dir.file("both.txt"));
  const std::string first_line = platform_lines("STORE FILE:  sound.store\n");
  EXPECT_EQ(file.substr(0, first_line.size()), first_line);
  EXPECT_EQ(file, platform_lines(testsupport::plain_lines(file)));
}

TEST_F(Commands, ListingASoundRingInEachMode) {
  make("sound.store", {"--messages", "5", "--forwarded", "2"});
  std::string messages;
  for (int k = 1; k <= 5; ++k) messages += message_block(k, k);
  auto r = run("2\nsound.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(kSound) + messages));
  r = run("2\nsound.store\nF\nlist.txt\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + kOutputNamePrompt));
  EXPECT_EQ(testsupport::read_text_file(dir.file("list.txt")), header_file(kSound) + messages);
  r = run("3\nsound.store\nB\nfl.txt\n\n");
  const std::string first_last = message_block(1, 1) + message_block(5, 5);
  EXPECT_EQ(r.out,
            session(store_and_output() + kOutputNamePrompt + header_screen(kSound) + first_last));
  EXPECT_EQ(testsupport::read_text_file(dir.file("fl.txt")), header_file(kSound) + first_last);
}

TEST_F(Commands, ListingAWrappedRingContinuesAtTheDataArea) {
  make("wrap.store", {"--messages", "4", "--wrap"});
  const HeaderValues h = {"wrap.store", 0, 4, 1428, 604, 1016, 604, 1428, 400, 1, 4};
  std::string messages;
  for (int k = 1; k <= 4; ++k) messages += message_block(k, k);
  auto r = run("2\nwrap.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(h) + messages));
  r = run("3\nwrap.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(h) + message_block(1, 1) +
                           message_block(4, 4)));
}

TEST_F(Commands, ListingCountsOfZeroOneAndMoreThanTheRingHolds) {
  make("zero.store", {"--messages", "3", "--count", "0"});
  make("one.store", {"--messages", "1"});
  make("over.store", {"--messages", "3", "--count", "5"});
  const HeaderValues zero = {"zero.store", 0, 0, 192, 1016, 192, 1016, 192, 400, 1, 3};
  auto r = run("2\nzero.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(zero)));
  r = run("3\nzero.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(zero) + message_block(1, 1) +
                           message_block(0, 3)));

  const HeaderValues one = {"one.store", 0, 1, 192, 192, 192, 192, 192, 400, 1, 1};
  r = run("3\none.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(one) + message_block(1, 1) +
                           message_block(1, 1)));

  // After the newest record fewer than 304 bytes remain: the walk wraps to
  // 192 and lists what it finds again, up to the count and no further.
  const HeaderValues over = {"over.store", 0, 5, 192, 1016, 192, 1016, 192, 400, 1, 3};
  r = run("2\nover.store\nS\n\n");
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(over) + message_block(1, 1) +
                           message_block(2, 2) + message_block(3, 3) + message_block(4, 1) +
                           message_block(5, 2)));
}

TEST_F(Commands, ListingDamagedRecords) {
  // A header checksum mismatch is listed like any record.
  make("byte.store", {"--messages", "2", "--damage", "record-byte:2"});
  auto r = run("2\nbyte.store\nS\n\n");
  std::string second = message_block(2, 2);
  second.replace(second.find("REQNODE"), 7, "rEQNODE");
  const HeaderValues h = {"byte.store", 0, 2, 192, 604, 192, 604, 192, 400, 1, 2};
  EXPECT_EQ(r.out, session(store_and_output() + header_screen(h) + message_block(1, 1) + second));

  // A size that runs past the end of the file stops the walk with a note.
  make("size.store", {"--messages", "3", "--damage", "record-size:2"});
  r = run("2\nsize.store\nF\nsize.txt\n\n");
  const std::string listed = testsupport::read_text_file(dir.file("size.txt"));
  const std::string note = "Invalid message record at offset 604; listing stopped.\n\n";
  ASSERT_GE(listed.size(), note.size());
  EXPECT_EQ(listed.substr(listed.size() - note.size()), note);
  EXPECT_EQ(listed.find("Message # 3"), std::string::npos);
  EXPECT_NE(listed.find(message_block(1, 1)), std::string::npos);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Commands, ResetRefusedChangesNothing) {
  make("sound.store", {"--messages", "5", "--forwarded", "2"});
  const std::string before = testsupport::read_file(dir.file("sound.store"));
  const std::string intro =
      "\nThis option is used to reset the forward pointer to the \noldest message currently in "
      "the store file.\nThis could cause data that has already been forwarded to \nbe sent again "
      "to the VARNO client.\nEnter \"Y\" to continue...";
  for (const std::string& answer : {std::string("n"), std::string(""), std::string(" Y"),
                                    std::string("y") + std::string(20, 'e')}) {
    auto r = run("5\n" + answer + "\n\n");
    EXPECT_EQ(r.out, session(intro + "\nWill not continue this option.  Returning to main menu.\n"))
        << answer;
  }
  EXPECT_EQ(testsupport::read_file(dir.file("sound.store")), before);
}

// The header region the reset must leave: the record as read, with the
// forward offset at the oldest offset and nothing forwarded, in both blocks.
std::string expected_region(const std::string& file_bytes, int type) {
  const uint32_t s = kHeaderBlockSize[type];
  std::string region = file_bytes.substr(0, 2 * s + 8);
  // Take the block the reader would choose: the primary unless its checksum fails.
  uint32_t c1 = 0;
  store_file_checksum(region.data(), s, &c1);
  uint32_t stored1 = 0;
  for (int i = 3; i >= 0; --i) stored1 = (stored1 << 8) | static_cast<unsigned char>(region[s + i]);
  std::string block = c1 == stored1 ? region.substr(0, s) : region.substr(s + 4, s);
  // Fields of the block that the reset changes, by layout.
  auto put = [&](size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) block[at + i] = static_cast<char>(v >> (8 * i));
  };
  auto get = [&](size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(block[at + i]);
    return v;
  };
  if (type == 2) {
    put(64, get(16, 8), 8);  // forward offset := oldest offset
    put(44, 0, 4);           // messages forwarded := 0
  } else {
    put(48, get(16, 4), 4);
    put(36, 0, 4);
  }
  uint32_t c = 0;
  store_file_checksum(block.data(), s, &c);
  std::string cs(4, '\0');
  for (int i = 0; i < 4; ++i) cs[i] = static_cast<char>(c >> (8 * i));
  return block + cs + block + cs;
}

TEST_F(Commands, ResetRewritesTheHeaderExactly) {
  make("sound.store", {"--messages", "5", "--forwarded", "2"});
  make("dam.store", {"--messages", "2", "--forwarded", "1", "--damage", "primary"});
  make("t1.store", {"--type", "1", "--messages", "2", "--forwarded", "1"});
  make("t0.store", {"--type", "0", "--messages", "2", "--forwarded", "1"});
  struct Case {
    std::string name;
    int type;
    std::string diagnostics;
    HeaderValues after;
    long long old_forward;
  };
  const std::string bad_primary_prefix =
      "Found non-zero revision number 2\nChecking store file header blocks, size=92\n";
  std::vector<Case> cases = {
      {"sound.store", 2, kDiag2, {"sound.store", 0, 5, 192, 1840, 192, 1840, 192, 400, 1, 5}, 1016},
      {"t1.store",
       1,
       "Found non-zero revision number 1\nChecking store file header blocks, size=68\nHeader read "
       "in ok.\nProcessing file header type 1\n",
       {"t1.store", 0, 2, 192, 604, 192, 604, 192, 400, 1, 2, 1},
       604},
      {"t0.store",
       0,
       "Checking store file header blocks, size=64\nHeader read in ok.\nProcessing file header "
       "type 0\n",
       {"t0.store", 0, 2, 192, 604, 192, 604, 192, 400, 1, 2, 0},
       604},
  };
  for (const Case& c : cases) {
    const std::string before = testsupport::read_file(dir.file(c.name));
    auto r = run("5\nY\n" + c.name + "\nS\n\n");
    EXPECT_EQ(
        r.out,
        session("\nThis option is used to reset the forward pointer to the \noldest message "
                "currently in the store file.\nThis could cause data that has already been "
                "forwarded to \nbe sent again to the VARNO client.\nEnter \"Y\" to continue..." +
                store_and_output() + c.diagnostics + header_screen(c.after) +
                "\nThe Forward offset has been changed to the Oldest offset location.\n"
                "The Forward offset has been changed to 192 where orginally it was at " +
                std::to_string(c.old_forward) + ".\n"))
        << c.name;
    const std::string after = testsupport::read_file(dir.file(c.name));
    const std::string region = expected_region(before, c.type);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(0, region.size()), region) << c.name;
    EXPECT_EQ(after.substr(region.size()), before.substr(region.size())) << c.name;
  }

  // A damaged primary block is rewritten from the backup: both sound afterwards.
  const std::string before = testsupport::read_file(dir.file("dam.store"));
  auto r = run("5\nyes\ndam.store\nS\n\n1\ndam.store\nS\n\n");
  const std::string after = testsupport::read_file(dir.file("dam.store"));
  EXPECT_EQ(after.substr(0, 192), expected_region(before, 2));
  EXPECT_EQ(after.substr(192), before.substr(192));
  EXPECT_NE(r.out.find("Primary block bad.\n"), std::string::npos);
  const std::string second_read = r.out.substr(r.out.rfind(kStorePrompt));
  EXPECT_NE(second_read.find("Header read in ok.\n"), std::string::npos);
  EXPECT_NE(second_read.find("Messages forwarded: 0 of 2\n"), std::string::npos);
}

TEST_F(Commands, ResetWritesBackOnlyASignedBlock) {
  // A block of zeros has checksum 0. Beside a damaged primary it would be
  // the header; beside a sound backup it would make two differing copies.
  make("zero_backup.store", {"--messages", "2", "--forwarded", "1", "--damage", "primary"});
  make("zero_primary.store", {"--messages", "2", "--forwarded", "1"});
  std::string bytes = testsupport::read_file(dir.file("zero_backup.store"));
  testsupport::write_file(dir.file("zero_backup.store"), bytes.replace(96, 96, 96, '\0'));
  bytes = testsupport::read_file(dir.file("zero_primary.store"));
  testsupport::write_file(dir.file("zero_primary.store"), bytes.replace(0, 96, 96, '\0'));

  const std::string before = testsupport::read_file(dir.file("zero_backup.store"));
  auto r = run("5\nY\nzero_backup.store\nS\n\n");
  EXPECT_NE(r.out.find("NO SIGNATURE: block #2 does not begin with 5A5AA5A5\nBoth header blocks "
                       "bad.\nProcessing file header type 2\n*!* The file header is corrupt.  "
                       "ANALYZE cannot continue\n\nError reading store file header from "
                       "zero_backup.store\n\nError codes\n-----------\n\n0) facility=13  "
                       "error=13510\n1) facility=13  error=13512"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(testsupport::read_file(dir.file("zero_backup.store")), before);

  r = run("5\nY\nzero_primary.store\nS\n\n1\nzero_primary.store\nS\n\n");
  EXPECT_NE(r.out.find("NO SIGNATURE: block #1 does not begin with 5A5AA5A5\nPrimary block bad.\n"),
            std::string::npos)
      << r.out;
  const std::string second_read = r.out.substr(r.out.rfind(kStorePrompt));
  EXPECT_NE(second_read.find("Header read in ok.\n"), std::string::npos);
  EXPECT_NE(second_read.find("Messages forwarded: 0 of 2\n"), std::string::npos);
}

TEST_F(Commands, ResetOfAFileWithoutMessageData) {
  // A header region with no records behind it is still a store file.
  make("empty.store", {"--messages", "1", "--count", "0"});
  std::string bytes = testsupport::read_file(dir.file("empty.store"));
  testsupport::write_file(dir.file("empty.store"), bytes.substr(0, 192));
  auto r = run("5\ny\nempty.store\nS\n\n");
  EXPECT_NE(
      r.out.find("The Forward offset has been changed to 192 where orginally it was at 192.\n"),
      std::string::npos)
      << r.out;
  EXPECT_EQ(testsupport::read_file(dir.file("empty.store")).size(), 192u);
  testsupport::write_file(dir.file("short.store"), bytes.substr(0, 191));
  r = run("1\nshort.store\nS\n\n");
  EXPECT_NE(r.out.find("\nError reading store file header from short.store\n\nError codes\n"
                       "-----------\n\n0) facility=1  error=0\n1) facility=13  error=13182\n2) "
                       "facility=13  error=13512"),
            std::string::npos)
      << r.out;
}

}  // namespace

namespace {

using testsupport::put32;

// Message k as varno-storegen writes it, with one tag.
std::string storegen_message(int k) {
  std::string m(400, '\0');
  put32(m, 0, 0x5A5A | ((k % 2 ? 1u : 2u) << 16));
  put32(m, 4, 400);
  put32(m, 8, static_cast<uint32_t>(k));
  const char* names[8] = {"REQNODE", "REQDLGP", "REPNODE", "REPDLGP",
                          "SRCNODE", "SRCDLGP", "DSTNODE", "DSTDLGP"};
  const size_t at[8] = {24, 56, 88, 120, 156, 188, 220, 252};
  for (int i = 0; i < 8; ++i) m.replace(at[i], 7, names[i]);
  put32(m, 292, static_cast<uint32_t>(100 + k));
  put32(m, 296, static_cast<uint32_t>(25 * k));
  put32(m, 300, 1);
  for (int i = 0; i < 10; ++i) put32(m, 344 + 4 * i, i == 0 ? 0u : 0xFFFFFFFFu);
  put32(m, 388, static_cast<uint32_t>(1700000000 + 60 * (k - 1)));
  return m;
}

TEST_F(Commands, OffsetsBeyondFourGibAreListedAsSixtyFourBitValues) {
  const int64_t first = (int64_t{1} << 32) + 1000;  // its low 32 bits point into the header
  const std::string path = dir.file("far.store");
  testsupport::set_env("VARNO_HOME", home().c_str());
  VARNO_STATUS s;
  int fd = varno_s_file_open(path.c_str(), kOpenReadWrite | kOpenCreate, &s);
  ASSERT_GE(fd, 0);
  CommonHeader h{};
  h.signature = kStoreSignature;
  h.revision = 2;
  h.oldest_time = {0, 1700000000};
  h.newest_time = {0, 1700000060};
  h.oldest_offset = first;
  h.newest_offset = first + 412;
  h.message_count = 2;
  h.current_offset = first + 824;
  h.last_offset = first + 412;
  h.forward_offset = first;
  h.last_message_size = 400;
  write_fixed_header(fd, h, &s);
  ASSERT_FALSE(varno_failed(s));
  for (int k = 1; k <= 2; ++k) {
    const std::string m = storegen_message(k);
    write_message_record(fd, first + 412 * (k - 1), 412,
                         reinterpret_cast<const unsigned char*>(m.data()), &s);
    ASSERT_FALSE(varno_failed(s));
  }
  varno_s_file_close(fd, &s);
  testsupport::set_env("VARNO_HOME", nullptr);

  const HeaderValues far = {"far.store", 0,   2, first, first + 412, first + 824, first + 412,
                            first,       400, 1, 2};
  auto r = run("2\nfar.store\nS\n\n3\nfar.store\nS\n\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + store_and_output() + header_screen(far) +
                       message_block(1, 1) + message_block(2, 2) + kPause + menu() +
                       store_and_output() + header_screen(far) + message_block(1, 1) +
                       message_block(2, 2) + kPause + menu());
}

}  // namespace
