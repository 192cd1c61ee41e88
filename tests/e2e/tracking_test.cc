// Forward tracking and the store file lock between the utility and other
// processes, end to end.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"

namespace {

using namespace transcript;

const std::string kTrackPrompt = "\nPress RETURN to continue or X to exit...";

std::string totals_screen(int count, int forwarded) {
  return "\n\nTotal Number of Messages: " + std::to_string(count) +
         " \nNumber of Forwarded Messages: " + std::to_string(forwarded) + " \n";
}
std::string totals_file(int count, int forwarded) {
  return "\nTotal Number of Messages: " + std::to_string(count) +
         " \nNumber of Forwarded Messages: " + std::to_string(forwarded) + " \n";
}

class Tracking : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    storefiles::generate(home(), dir.file("sound.store"),
                         {"--messages", "5", "--forwarded", "2", "--capacity", "16384"});
  }
  void TearDown() override { chdir("/"); }
  std::string home() const { return dir.path + "/home/"; }
  std::vector<std::string> env() const { return {"VARNO_HOME=" + home(), "TZ=UTC"}; }

  // True when another process can open the store file at once, that is when
  // nobody holds its store file lock.
  bool lock_is_free() {
    pid_t pid = fork();
    if (pid == 0) {
      setenv("VARNO_HOME", home().c_str(), 1);
      alarm(2);
      VARNO_STATUS s;
      int fd = varno_s_file_open(dir.file("sound.store").c_str(), 0, &s);
      _exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  testsupport::ScratchDir dir;
};

TEST_F(Tracking, EachCharacterRunsOneCycleUntilX) {
  // The empty line, "a", "b", "c" and the line feed run five cycles; the x
  // ends the command, and the line feed behind it ends the pause at once.
  auto r = run_utility(home(), "5000\n4\nsound.store\nS\n\nabc\nx\nx\n");
  std::string cycles;
  for (int i = 0; i < 5; ++i) cycles += totals_screen(5, 2) + kTrackPrompt;
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kTrackPrompt + cycles +
                       kPause + menu());
  EXPECT_EQ(r.exit_code, 0);
  // X at once: no cycle.
  r = run_utility(home(), "5000\n4\nsound.store\nS\nX\nx\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kTrackPrompt + kPause +
                       menu());
}

TEST_F(Tracking, BothModesWriteEveryCycleToTheFile) {
  auto r = run_utility(home(), "5000\n4\nsound.store\nB\ntotals.txt\n\n\nx\nx\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kOutputNamePrompt +
                       kTrackPrompt + totals_screen(5, 2) + kTrackPrompt + totals_screen(5, 2) +
                       kTrackPrompt + kPause + menu());
  EXPECT_EQ(testsupport::read_file(dir.file("totals.txt")), totals_file(5, 2) + totals_file(5, 2));
}

TEST_F(Tracking, EndOfInputEndsTheCommandAndTheUtility) {
  auto r = run_utility(home(), "5000\n4\nsound.store\nS\n\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kTrackPrompt +
                       totals_screen(5, 2) + kTrackPrompt + kPause + menu());
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Tracking, FailedCyclesAreReportedAndLaterCyclesRecover) {
  testsupport::Interactive u(testsupport::binary("varno-analyze"), {}, env());
  u.send("5000\n4\nsound.store\nF\ntotals.txt\n");
  ASSERT_TRUE(u.read_until(kTrackPrompt)) << u.out;
  const std::string saved = testsupport::read_file(dir.file("sound.store"));
  ASSERT_EQ(rename(dir.file("sound.store").c_str(), dir.file("away").c_str()), 0);
  u.send("\n");
  ASSERT_TRUE(u.read_until("error=13161" + kTrackPrompt)) << u.out;
  // A header that cannot be read.
  testsupport::write_file(dir.file("sound.store"), std::string(100, '\0'));
  u.send("\n");
  ASSERT_TRUE(u.read_until("error=13512" + kTrackPrompt)) << u.out;
  ASSERT_EQ(rename(dir.file("away").c_str(), dir.file("sound.store").c_str()), 0);
  u.send("\nx\nx\n");
  EXPECT_EQ(u.finish(), 0);
  EXPECT_EQ(u.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kOutputNamePrompt +
                       kTrackPrompt + "\nError opening store file sound.store\n" +
                       "\nError codes\n-----------\n\n0) facility=13  error=13161" + kTrackPrompt +
                       "\nError reading store file header from sound.store\n" +
                       "\nError codes\n-----------\n\n0) facility=1  error=0\n1) facility=13  "
                       "error=13182\n2) facility=13  error=13512" +
                       kTrackPrompt + kTrackPrompt + kPause + menu());
  EXPECT_EQ(testsupport::read_file(dir.file("totals.txt")), totals_file(5, 2))
      << "failed cycles leave nothing in the file";
  EXPECT_EQ(testsupport::read_file(dir.file("sound.store")), saved);
}

TEST_F(Tracking, CountsChangedByTheServiceShowInTheNextCycle) {
  testsupport::Interactive u(testsupport::binary("varno-analyze"), {}, env());
  u.send("5000\n4\nsound.store\nS\n");
  ASSERT_TRUE(u.read_until(kTrackPrompt)) << u.out;
  // Waiting for the operator, the command holds no lock.
  EXPECT_TRUE(lock_is_free());
  u.send("\n");
  ASSERT_TRUE(u.read_until(totals_screen(5, 2) + kTrackPrompt)) << u.out;
  EXPECT_TRUE(lock_is_free());
  auto served =
      testsupport::run(testsupport::binary("varno-storegen"),
                       {dir.file("sound.store"), "--serve", "--steps", "2", "--interval", "0"}, "",
                       {"VARNO_HOME=" + home()});
  ASSERT_EQ(served.exit_code, 0) << served.err;
  u.send("\n");
  ASSERT_TRUE(u.read_until(totals_screen(7, 4) + kTrackPrompt)) << u.out;
  u.send("x\nx\n");
  EXPECT_EQ(u.finish(), 0);
}

TEST_F(Tracking, HeaderReportWaitsWhileAnotherProcessHoldsTheFile) {
  int release[2];
  ASSERT_EQ(pipe(release), 0);
  int held[2];
  ASSERT_EQ(pipe(held), 0);
  pid_t holder = fork();
  if (holder == 0) {
    setenv("VARNO_HOME", home().c_str(), 1);
    VARNO_STATUS s;
    int fd = varno_s_file_open(dir.file("sound.store").c_str(), kOpenReadWrite, &s);
    if (write(held[1], "h", 1) != 1) _exit(2);
    char byte;
    if (read(release[0], &byte, 1) != 1) _exit(3);
    varno_s_file_close(fd, &s);
    _exit(fd >= 0 ? 0 : 1);
  }
  char byte;
  ASSERT_EQ(read(held[0], &byte, 1), 1);
  testsupport::Interactive u(testsupport::binary("varno-analyze"), {}, env());
  u.send("5000\n1\nsound.store\n");
  ASSERT_TRUE(u.read_until(kStorePrompt)) << u.out;
  u.read_for(500);
  EXPECT_EQ(u.out.find(kOutputPrompt), std::string::npos)
      << "the store file was opened while another process held it";
  ASSERT_EQ(write(release[1], "r", 1), 1);
  EXPECT_TRUE(u.read_until(kOutputPrompt)) << u.out;
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  u.send("S\n\nx\n");
  EXPECT_EQ(u.finish(), 0);
  EXPECT_NE(u.out.find("Messages forwarded: 2 of 5\n"), std::string::npos);
}

}  // namespace
