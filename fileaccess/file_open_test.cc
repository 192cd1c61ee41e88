#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
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

// Runs `body` in a child process that is killed if it has not finished within
// `seconds`; returns its exit code, or -1 when it had to be killed.
template <typename F>
int in_child(F body, unsigned seconds = 10) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
}

TEST(OpenClose, MissingFileRecordsOnePairAndGivesTheLockBack) {
  ScratchHome home;
  VARNO_STATUS s;
  EXPECT_EQ(varno_s_file_open(home.file("absent.DEV1").c_str(), kOpenReadWrite, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13161}}));
  // Another process gets the lock at once.
  testsupport::write_file(home.file("other.DEV1"), "x");
  EXPECT_EQ(in_child([&] {
              VARNO_STATUS c;
              int fd = varno_s_file_open(home.file("other.DEV1").c_str(), 0, &c);
              return fd >= 0 ? 0 : 1;
            }),
            0);
  // A failure other than a missing file keeps the system's error number.
  EXPECT_EQ(varno_s_file_open(home.path.c_str(), kOpenReadWrite, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EISDIR}, {13, 13153}}));
  EXPECT_EQ(varno_s_file_open("x.DEV1", 0, nullptr), -1);
}

TEST(OpenClose, OpenWaitsWhileAnotherProcessHoldsTheLock) {
  ScratchHome home;
  testsupport::write_file(home.file("a.DEV1"), "a");
  testsupport::write_file(home.file("b.DEV1"), "b");
  const std::string order = home.file("order");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    VARNO_STATUS c;
    int fd = varno_s_file_open(home.file("a.DEV1").c_str(), kOpenReadWrite, &c);
    if (write(ready[1], "L", 1) != 1) _exit(3);
    // Give the parent time to reach its open: without the lock it would
    // write first.
    usleep(300 * 1000);
    FILE* f = fopen(order.c_str(), "a");
    fputs("child closes\n", f);
    fclose(f);
    varno_s_file_close(fd, &c);
    _exit(fd >= 0 ? 0 : 1);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  VARNO_STATUS s;
  // Another file of the same extension shares the lock.
  int fd = varno_s_file_open(home.file("b.DEV1").c_str(), kOpenReadWrite, &s);
  ASSERT_GE(fd, 0);
  FILE* f = fopen(order.c_str(), "a");
  fputs("parent opened\n", f);
  fclose(f);
  varno_s_file_close(fd, &s);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testsupport::read_file(order), "child closes\nparent opened\n");
}

TEST(OpenClose, RepeatedOpensOnOneThreadDoNotBlockAndAllMustClose) {
  ScratchHome home;
  testsupport::write_file(home.file("s.CFG"), "1");
  VARNO_STATUS s;
  int a = varno_s_file_open(home.file("s.CFG").c_str(), 0, &s);
  int b = varno_s_file_open(home.file("s.CFG").c_str(), kOpenReadWrite, &s);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  auto child_can_open = [&] {
    return in_child(
               [&] {
                 VARNO_STATUS c;
                 return varno_s_file_open(home.file("s.CFG").c_str(), 0, &c) >= 0 ? 0 : 1;
               },
               1) == 0;
  };
  varno_s_file_close(a, &s);
  EXPECT_TRUE(pairs_of(s).empty());
  EXPECT_FALSE(child_can_open()) << "the lock was given back while a file was still open";
  varno_s_file_close(b, &s);
  EXPECT_TRUE(child_can_open());
}

TEST(OpenClose, PathWithoutDotLocksByTheWholePath) {
  ScratchHome home;
  // Put the scratch home where its own name has no dot.
  testsupport::write_file(home.file("noext"), "n");
  VARNO_STATUS s;
  const std::string path = home.file("noext");
  int fd = varno_s_file_open(path.c_str(), 0, &s);
  ASSERT_GE(fd, 0);
  varno_s_file_close(fd, &s);
  if (path.find('.') == std::string::npos) {
    std::string encoded;
    for (char c : path) encoded += (c == '/') ? std::string("%2F") : std::string(1, c);
    EXPECT_TRUE(testsupport::file_exists(home.home() + "locks/" + encoded + ".lock"));
  }
}

TEST(OpenClose, LockThatCannotBeTakenFailsTheOpen) {
  ScratchHome home;
  testsupport::write_file(home.file("store.DEV1"), "s");
  testsupport::write_file(home.file("plainfile"), "");
  setenv("VARNO_HOME", home.file("plainfile").c_str(), 1);
  VARNO_STATUS s;
  EXPECT_EQ(varno_s_file_open(home.file("store.DEV1").c_str(), 0, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, ENOTDIR}, {13, 13153}}));
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
