// Forward tracking and the store file lock between the utility and other
// processes, end to end.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"

namespace {

using namespace transcript;

// Child: opens args[0] with the flags args[1] and says "opened" (or
// "failed"); holds the file until a line or the end of its input arrives.
VARNO_TEST_CHILD(hold_store) {
  VARNO_STATUS s;
  const int32_t fd = varno_s_file_open(args.at(0).c_str(), std::stoi(args.at(1)), &s);
  std::cout << (fd >= 0 ? "opened\n" : "failed\n") << std::flush;
  if (fd < 0) return 1;
  std::string line;
  std::getline(std::cin, line);
  varno_s_file_close(fd, &s);
  return 0;
}

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
    std::filesystem::current_path(dir.path);
    storefiles::generate(home(), dir.file(store),
                         {"--messages", "5", "--forwarded", "2", "--capacity", "16384"});
  }
  // Out of the directory, which is removed next.
  void TearDown() override {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
  }
  std::string home() const { return dir.path + "/home/"; }
  std::vector<std::string> env() const { return {"VARNO_HOME=" + home(), "TZ=UTC"}; }

  // True when another process can open the store file at once, that is when
  // nobody holds its store file lock.
  bool lock_is_free() {
    testsupport::Interactive child(testsupport::self_path(),
                                   testsupport::child_args("hold_store", {dir.file(store), "0"}),
                                   {"VARNO_HOME=" + home()});
    return child.read_until("opened\n", 2000);
  }
  testsupport::ScratchDir dir;
  // The store file lock is named after the extension, and on Windows lock
  // names are machine-wide: an extension of this test alone.
  const std::string store = "sound.t" + std::to_string(platform::process_id());
};

TEST_F(Tracking, EachCharacterRunsOneCycleUntilX) {
  // The empty line, "a", "b", "c" and the line feed run five cycles; the x
  // ends the command, and the line feed behind it ends the pause at once.
  auto r = run_utility(home(), "5000\n4\n" + store + "\nS\n\nabc\nx\nx\n");
  std::string cycles;
  for (int i = 0; i < 5; ++i) cycles += totals_screen(5, 2) + kTrackPrompt;
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kTrackPrompt + cycles +
                       kPause + menu());
  EXPECT_EQ(r.exit_code, 0);
  // X at once: no cycle.
  r = run_utility(home(), "5000\n4\n" + store + "\nS\nX\nx\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kTrackPrompt + kPause +
                       menu());
}

TEST_F(Tracking, BothModesWriteEveryCycleToTheFile) {
  auto r = run_utility(home(), "5000\n4\n" + store + "\nB\ntotals.txt\n\n\nx\nx\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kOutputNamePrompt +
                       kTrackPrompt + totals_screen(5, 2) + kTrackPrompt + totals_screen(5, 2) +
                       kTrackPrompt + kPause + menu());
  EXPECT_EQ(testsupport::read_text_file(dir.file("totals.txt")),
            totals_file(5, 2) + totals_file(5, 2));
}

TEST_F(Tracking, EndOfInputEndsTheCommandAndTheUtility) {
  auto r = run_utility(home(), "5000\n4\n" + store + "\nS\n\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kTrackPrompt +
                       totals_screen(5, 2) + kTrackPrompt + kPause + menu());
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Tracking, FailedCyclesAreReportedAndLaterCyclesRecover) {
  testsupport::Interactive u(testsupport::binary("varno-analyze"), {}, env());
  u.send("5000\n4\n" + store + "\nF\ntotals.txt\n");
  ASSERT_TRUE(u.read_until(kTrackPrompt)) << u.out;
  const std::string saved = testsupport::read_file(dir.file(store));
  ASSERT_EQ(rename(dir.file(store).c_str(), dir.file("away").c_str()), 0);
  u.send("\n");
  ASSERT_TRUE(u.read_until("error=13161" + kTrackPrompt)) << u.out;
  // A header that cannot be read.
  testsupport::write_file(dir.file(store), std::string(100, '\0'));
  u.send("\n");
  ASSERT_TRUE(u.read_until("error=13512" + kTrackPrompt)) << u.out;
  // Over the damaged file (a plain rename does not replace on Windows).
  std::filesystem::rename(dir.file("away"), dir.file(store));
  u.send("\nx\nx\n");
  EXPECT_EQ(u.finish(), 0);
  EXPECT_EQ(u.out, kServicePrompt + menu() + kStorePrompt + kOutputPrompt + kOutputNamePrompt +
                       kTrackPrompt + "\nError opening store file " + store + "\n" +
                       "\nError codes\n-----------\n\n0) facility=13  error=13161" + kTrackPrompt +
                       "\nError reading store file header from " + store + "\n" +
                       "\nError codes\n-----------\n\n0) facility=1  error=0\n1) facility=13  "
                       "error=13182\n2) facility=13  error=13512" +
                       kTrackPrompt + kTrackPrompt + kPause + menu());
  EXPECT_EQ(testsupport::read_text_file(dir.file("totals.txt")), totals_file(5, 2))
      << "failed cycles leave nothing in the file";
  EXPECT_EQ(testsupport::read_file(dir.file(store)), saved);
}

TEST_F(Tracking, CountsChangedByTheServiceShowInTheNextCycle) {
  testsupport::Interactive u(testsupport::binary("varno-analyze"), {}, env());
  u.send("5000\n4\n" + store + "\nS\n");
  ASSERT_TRUE(u.read_until(kTrackPrompt)) << u.out;
  // Waiting for the operator, the command holds no lock.
  EXPECT_TRUE(lock_is_free());
  u.send("\n");
  ASSERT_TRUE(u.read_until(totals_screen(5, 2) + kTrackPrompt)) << u.out;
  EXPECT_TRUE(lock_is_free());
  auto served = testsupport::run(testsupport::binary("varno-storegen"),
                                 {dir.file(store), "--serve", "--steps", "2", "--interval", "0"},
                                 "", {"VARNO_HOME=" + home()});
  ASSERT_EQ(served.exit_code, 0) << served.err;
  u.send("\n");
  ASSERT_TRUE(u.read_until(totals_screen(7, 4) + kTrackPrompt)) << u.out;
  u.send("x\nx\n");
  EXPECT_EQ(u.finish(), 0);
}

TEST_F(Tracking, HeaderReportWaitsWhileAnotherProcessHoldsTheFile) {
  testsupport::Interactive holder(
      testsupport::self_path(),
      testsupport::child_args("hold_store", {dir.file(store), std::to_string(kOpenReadWrite)}),
      {"VARNO_HOME=" + home()});
  ASSERT_TRUE(holder.read_until("opened\n")) << holder.out;
  testsupport::Interactive u(testsupport::binary("varno-analyze"), {}, env());
  u.send("5000\n1\n" + store + "\n");
  ASSERT_TRUE(u.read_until(kStorePrompt)) << u.out;
  u.read_for(500);
  EXPECT_EQ(u.out.find(kOutputPrompt), std::string::npos)
      << "the store file was opened while another process held it";
  holder.send("\n");
  EXPECT_TRUE(u.read_until(kOutputPrompt)) << u.out;
  EXPECT_EQ(holder.finish(), 0);
  u.send("S\n\nx\n");
  EXPECT_EQ(u.finish(), 0);
  EXPECT_NE(u.out.find("Messages forwarded: 2 of 5\n"), std::string::npos);
}

}  // namespace
