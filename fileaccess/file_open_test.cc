#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScratchHome;

using testsupport::pairs_of;
using Pairs = testsupport::Pairs;

// Child: opens args[0] with the flags args[1] through the file layer and says
// "opened" (or "failed"), then holds the file until a line or the end of its
// input arrives; then waits args[3] milliseconds, appends "child closes" to
// the file args[2] (when given) and closes.
VARNO_TEST_CHILD(open_file) {
  VARNO_STATUS s;
  const int32_t fd = varno_s_file_open(args.at(0).c_str(), std::stoi(args.at(1)), &s);
  std::cout << (fd >= 0 ? "opened\n" : "failed\n") << std::flush;
  if (fd < 0) return 1;
  std::string line;
  std::getline(std::cin, line);
  if (args.size() > 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(args[3])));
    FILE* f = std::fopen(args[2].c_str(), "a");
    std::fputs("child closes\n", f);
    std::fclose(f);
  }
  varno_s_file_close(fd, &s);
  return 0;
}

// Child: opens args[0] for reading and ends without closing it.
VARNO_TEST_CHILD(open_and_end) {
  VARNO_STATUS s;
  return varno_s_file_open(args.at(0).c_str(), kOpenReadOnly, &s) >= 0 ? 0 : 1;
}

// True when another process opens `path` within `ms`, that is when nobody
// holds its store file lock.
bool child_opens_within(const std::string& path, int ms) {
  testsupport::Interactive child(testsupport::self_path(),
                                 testsupport::child_args("open_file", {path, "0"}), {});
  return child.read_until("opened\n", ms);
}

TEST(OpenFlags, TranslationTable) {
  EXPECT_EQ(varno_s_file_oflags(0), 0x8000);
  EXPECT_EQ(varno_s_file_oflags(0x0001), 0x8001);
  EXPECT_EQ(varno_s_file_oflags(0x0002), 0x8002);
  EXPECT_EQ(varno_s_file_oflags(0x4000), 0x4000);
  EXPECT_EQ(varno_s_file_oflags(0x4002), 0x4002);
  EXPECT_EQ(varno_s_file_oflags(0x0008), 0x8000);  // unknown bits are dropped
  EXPECT_EQ(varno_s_file_oflags(0x0302), 0x8302);
  EXPECT_EQ(varno_s_file_oflags(0x7FFF0000 | 0x0100), 0x8100);
  // Every bit set: only the listed ones pass, text mode among them (0x4303).
  EXPECT_EQ(varno_s_file_oflags(static_cast<int32_t>(0xFFFFFFFF)), 17155);
  EXPECT_EQ(varno_s_file_oflags(0x0400 | 0x0100 | 0x0002), 0x8102);
}

TEST(OpenClose, MissingFileRecordsOnePairAndGivesTheLockBack) {
  ScratchHome home;
  VARNO_STATUS s;
  EXPECT_EQ(varno_s_file_open(home.file("absent.DEV1").c_str(), kOpenReadWrite, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13161}}));
  // Another process gets the lock at once.
  testsupport::write_file(home.file("other.DEV1"), "x");
  EXPECT_TRUE(child_opens_within(home.file("other.DEV1"), 10000));
  // A failure other than a missing file keeps the system's error number.
  EXPECT_EQ(varno_s_file_open(home.path.c_str(), kOpenReadWrite, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, testsupport::kErrnoOpenDirectory}, {13, 13153}}));
  EXPECT_EQ(varno_s_file_open("x.DEV1", 0, nullptr), -1);
  // A device is no store file: refused at once, the lock given back.
  EXPECT_EQ(varno_s_file_open(testsupport::kNullDevice, kOpenReadWrite, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13162}}));
  EXPECT_EQ(varno_GetLastError(), platform::kErrorNotRegularFile);
}

TEST(OpenClose, OpenWaitsWhileAnotherProcessHoldsTheLock) {
  ScratchHome home;
  testsupport::write_file(home.file("a.DEV1"), "a");
  testsupport::write_file(home.file("b.DEV1"), "b");
  const std::string order = home.file("order");
  // The child waits 300 ms after its release signal before it writes and
  // closes: time for the parent to reach its open, which without the lock
  // would write first.
  testsupport::Interactive child(
      testsupport::self_path(),
      testsupport::child_args("open_file",
                              {home.file("a.DEV1"), std::to_string(kOpenReadWrite), order, "300"}),
      {});
  ASSERT_TRUE(child.read_until("opened\n"));
  child.send("\n");
  VARNO_STATUS s;
  // Another file of the same extension shares the lock.
  int fd = varno_s_file_open(home.file("b.DEV1").c_str(), kOpenReadWrite, &s);
  ASSERT_GE(fd, 0);
  FILE* f = std::fopen(order.c_str(), "a");
  std::fputs("parent opened\n", f);
  std::fclose(f);
  varno_s_file_close(fd, &s);
  EXPECT_EQ(child.finish(), 0);
  EXPECT_EQ(testsupport::read_text_file(order), "child closes\nparent opened\n");
}

// What a lock wait said, by the notice it gets.
std::vector<std::string> g_notices;
void note_wait(void*, const char* name, bool waiting) {
  g_notices.push_back(std::string(waiting ? "waiting for " : "done with ") + name);
}

TEST(OpenClose, AWaitWithALimitEndsItAndSaysWhatItWaitsFor) {
  ScratchHome home;
  testsupport::write_file(home.file("a.DEV1"), "a");
  testsupport::Interactive child(
      testsupport::self_path(),
      testsupport::child_args("open_file", {home.file("a.DEV1"), std::to_string(kOpenReadOnly)}),
      {});
  ASSERT_TRUE(child.read_until("opened\n"));
  g_notices.clear();
  varno_s_file_set_lock_wait({1200, note_wait, nullptr});
  VARNO_STATUS s;
  EXPECT_EQ(varno_s_file_open(home.file("a.DEV1").c_str(), kOpenReadOnly, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13163}}));
  EXPECT_EQ(g_notices, (std::vector<std::string>{"waiting for DEV1", "done with DEV1"}));
  // Once the holder is gone the same wait gets the lock.
  child.send("\n");
  EXPECT_EQ(child.finish(), 0);
  const int32_t fd = varno_s_file_open(home.file("a.DEV1").c_str(), kOpenReadOnly, &s);
  EXPECT_GE(fd, 0);
  varno_s_file_close(fd, &s);
  varno_s_file_set_lock_wait({});
}

TEST(OpenClose, RepeatedOpensOnOneThreadDoNotBlockAndAllMustClose) {
  ScratchHome home;
  testsupport::write_file(home.file("s.CFG"), "1");
  VARNO_STATUS s;
  int a = varno_s_file_open(home.file("s.CFG").c_str(), 0, &s);
  int b = varno_s_file_open(home.file("s.CFG").c_str(), kOpenReadWrite, &s);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  varno_s_file_close(a, &s);
  EXPECT_TRUE(pairs_of(s).empty());
  EXPECT_FALSE(child_opens_within(home.file("s.CFG"), 1000))
      << "the lock was given back while a file was still open";
  varno_s_file_close(b, &s);
  EXPECT_TRUE(child_opens_within(home.file("s.CFG"), 10000));
}

TEST(OpenClose, PathWithoutDotLocksByTheWholePath) {
  ScratchHome home;
  const std::string path = home.file("noext");
  const std::string other = home.file("noext2");
  if (path.find('.') != std::string::npos) GTEST_SKIP() << "the scratch directory has a dot";
  testsupport::write_file(path, "n");
  testsupport::write_file(other, "o");
  VARNO_STATUS s;
  int fd = varno_s_file_open(path.c_str(), 0, &s);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(child_opens_within(path, 1000)) << "the whole path is the lock name";
  EXPECT_TRUE(child_opens_within(other, 10000)) << "another path without a dot is another lock";
  varno_s_file_close(fd, &s);
}

TEST(OpenClose, ALockLeftBehindByAProcessThatEndedIsTakenAndLogged) {
  ScratchHome home;
  const std::string name = "LEFT" + std::to_string(platform::process_id());
  const std::string path = home.file("store." + name);
  testsupport::write_file(path, "s");
  VARNO_STATUS s;
  // This process keeps its lock for its life once it has used it, as the
  // service does: so the lock outlives the child.
  int fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &s);
  ASSERT_GE(fd, 0);
  varno_s_file_close(fd, &s);
  ASSERT_EQ(testsupport::run_child("open_and_end", {path}).exit_code, 0);
  fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &s);
  ASSERT_GE(fd, 0);
  varno_s_file_close(fd, &s);
  std::vector<std::string> expected;
  if (testsupport::kLocksReportAbandonment) {
    expected.push_back("[varno_s_file_open] [Store file lock [" + name +
                       "] was abandoned by its previous holder; taken over for [" + path + "]]");
  }
  EXPECT_EQ(testsupport::log_entries(home.home() + "varno_debug.log"), expected);
}

TEST(OpenClose, LockThatCannotBeTakenFailsTheOpen) {
  ScratchHome home;
  // A lock name of this test alone: on Windows lock names are machine-wide.
  const std::string name = "UNUSABLE" + std::to_string(platform::process_id());
  testsupport::write_file(home.file("store." + name), "s");
  testsupport::UnusableLock unusable(name);
  VARNO_STATUS s;
  EXPECT_EQ(varno_s_file_open(home.file("store." + name).c_str(), 0, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, unusable.error}, {13, 13153}}));
}

// A recorded pair is worded as the failure behind it: the system's text of
// the layer's last failed call with that error number (on Windows with what
// it was about), the run-time's text of any other number. The library's last
// error holds the failed call's code, a lock's as well as an open's.
TEST(OpenClose, ARecordedErrorIsWordedAsTheFailureBehindIt) {
  ScratchHome home;
  VARNO_STATUS s;
  varno_SetLastError(0);
  EXPECT_EQ(varno_s_file_open(home.file("absent.DEV1").c_str(), 0, &s), -1);
  EXPECT_EQ(varno_GetLastError(), platform::kErrorNotFound);
  EXPECT_EQ(varno_s_file_error_text(ENOENT), testsupport::system_words(platform::kErrorNotFound));
  EXPECT_EQ(varno_s_file_error_text(EDOM), std::strerror(EDOM));
  const std::string name = "WORDED" + std::to_string(platform::process_id());
  testsupport::write_file(home.file("store." + name), "s");
  testsupport::UnusableLock unusable(name);
  varno_SetLastError(0);
  EXPECT_EQ(varno_s_file_open(home.file("store." + name).c_str(), 0, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, unusable.error}, {13, 13153}}));
  const uint32_t code = varno_GetLastError();
  EXPECT_NE(code, 0u);
  const std::string words = varno_s_file_error_text(unusable.error);
  EXPECT_EQ(words.rfind(testsupport::system_words(code), 0), 0u) << words;
}

TEST(OpenClose, FirstOpenForWritingIsLoggedOnce) {
  ScratchHome home;
  testsupport::write_file(home.file("w.DEV1"), "w");
  testsupport::write_file(home.file("r.DEV1"), "r");
  VARNO_STATUS s;
  const std::string w = home.file("w.DEV1");
  int fd = varno_s_file_open(w.c_str(), kOpenReadWrite, &s);
  ASSERT_GE(fd, 0);
  varno_s_file_close(fd, &s);
  int again = varno_s_file_open(w.c_str(), kOpenWriteOnly, &s);
  ASSERT_EQ(again, fd) << "the test relies on the handle number being reused";
  varno_s_file_close(again, &s);
  int r = varno_s_file_open(home.file("r.DEV1").c_str(), 0, &s);
  varno_s_file_close(r, &s);
  // Create on an existing file is not new; create of a new file is.
  int c1 = varno_s_file_open(w.c_str(), kOpenCreate | kOpenWriteOnly, &s);
  varno_s_file_close(c1, &s);
  const std::string n = home.file("new.DEV1");
  int c2 = varno_s_file_open(n.c_str(), kOpenCreate | kOpenReadWrite, &s);
  ASSERT_GE(c2, 0);
  varno_s_file_close(c2, &s);
  const std::vector<std::string> expected = {
      "[varno_s_file_open] [In varno_s_file_open. Opened file fh=[" + std::to_string(fd) + "],[" +
          w + "]]",
      "[varno_s_file_open] [In varno_s_file_open. Opened file fh=[" + std::to_string(c2) + "],[" +
          n + "]]"};
  EXPECT_EQ(testsupport::log_entries(home.home() + "varno_debug.log"), expected);
}

TEST(OpenClose, CreateTellsAnExistingFileFromANewOneAndKeepsItsContent) {
  ScratchHome home;
  const std::string path = home.file("out.DEV1");
  testsupport::write_file(path, "kept");
  VARNO_STATUS s;
  int fd = varno_s_file_open(path.c_str(), kOpenCreate | kOpenReadWrite, &s);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(varno_GetLastError(), platform::kErrorAlreadyExists);
  varno_s_file_close(fd, &s);
  EXPECT_EQ(testsupport::read_file(path), "kept");
  const std::string fresh = home.file("fresh.DEV1");
  fd = varno_s_file_open(fresh.c_str(), kOpenCreate | kOpenReadWrite, &s);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(varno_GetLastError(), 0u);
  varno_s_file_close(fd, &s);
  // A new file's own open never opens what is there; it creates under the
  // lock and says so in the debug log, as the open does.
  EXPECT_EQ(varno_s_file_create_new(path.c_str(), &s), -1);
  EXPECT_EQ(varno_GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EEXIST}, {13, 13153}}));
  EXPECT_EQ(testsupport::read_file(path), "kept");
  EXPECT_TRUE(child_opens_within(path, 10000)) << "the failed create kept the lock";
  const std::string made = home.file("made.DEV1");
  fd = varno_s_file_create_new(made.c_str(), &s);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(child_opens_within(made, 1000)) << "created without the lock";
  EXPECT_EQ(varno_s_file_write(fd, "new", 3, &s), 3);
  varno_s_file_close(fd, &s);
  EXPECT_EQ(testsupport::read_file(made), "new");
  const std::vector<std::string> logged = testsupport::log_entries(home.home() + "varno_debug.log");
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), "[varno_s_file_open] [In varno_s_file_open. Opened file fh=[" +
                               std::to_string(fd) + "],[" + made + "]]");
}

// The service opens a store file by its own name: a symbolic link to it
// takes the lock of the file it leads to, never one of the link's own.
TEST(OpenClose, ASymbolicLinkTakesTheLockOfTheFileItLeadsTo) {
  ScratchHome home;
  const std::string target = home.file("VARNO_STORE_N1.DLGP1");
  const std::string link = home.file("store.lnk");
  testsupport::write_file(target, "s");
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  EXPECT_EQ(varno_s_file_lock_name(link.c_str()), "DLGP1");
  VARNO_STATUS s;
  const int32_t fd = varno_s_file_open(link.c_str(), kOpenReadOnly, &s);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(child_opens_within(target, 1000)) << "the file opened while its link was held";
  varno_s_file_close(fd, &s);
  EXPECT_TRUE(child_opens_within(target, 10000));
}

TEST(OpenClose, CloseOfMinusOneAndOfABadHandle) {
  ScratchHome home;
  VARNO_STATUS s;
  VARNO_SERVER_LDBLK(13, 1, &s);
  varno_s_file_close(-1, &s);
  EXPECT_TRUE(pairs_of(s).empty());
  varno_s_file_close(987, &s);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EBADF}, {13, 13210}}));
  varno_s_file_close(-1, nullptr);  // nothing to check but that it returns
}

}  // namespace
