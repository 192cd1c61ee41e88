// The reset's handling of a header rewrite that fails, driven in-process so
// that the failure can be injected into the file layer's system calls.
#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "commands/commands.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "report/report.h"
#include "tests/support/test_support.h"

namespace {

class ResetFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    auto r = testsupport::run(testsupport::binary("varno-storegen"),
                              {store, "--messages", "3", "--forwarded", "2"}, "",
                              {"VARNO_HOME=" + home.home()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    before = testsupport::read_file(store);
    testsupport::write_file(home.file("answers"), "y\n" + store + "\nS\n");
    ASSERT_NE(std::freopen(home.file("answers").c_str(), "r", stdin), nullptr);
    set_screen_capture(&screen);
  }
  void TearDown() override {
    set_screen_capture(nullptr);
    platform::restore_system_calls();
    EXPECT_NE(std::freopen(testsupport::kNullDevice, "r", stdin), nullptr);
  }
  testsupport::ScratchHome home;
  std::string store = home.file("reset.store");
  std::string before;
  std::string screen;
};

const char kWriteWarning[] = "Warning: ERROR trying to write file header: error in WRITE.\n";

TEST_F(ResetFailure, FailedWriteIsReportedAndNothingIsClaimed) {
  platform::system_calls().pwrite = [](int, const void*, uint32_t, int64_t) -> int64_t {
    errno = ENOSPC;
    return -1;
  };
  reset_forward_pointer();
  const std::string tail =
      std::string(kWriteWarning) + "\nError writing store file header to " + store +
      "\n\nError codes\n-----------\n\n0) facility=1  error=" + std::to_string(ENOSPC) +
      "\n1) facility=13  error=13202\n2) facility=13  error=13521";
  ASSERT_GE(screen.size(), tail.size());
  EXPECT_EQ(screen.substr(screen.size() - tail.size()), tail);
  EXPECT_EQ(screen.find("The Forward offset has been changed"), std::string::npos);
  EXPECT_EQ(screen.find("STORE FILE:"), std::string::npos);
  EXPECT_EQ(testsupport::read_file(store), before);
}

TEST_F(ResetFailure, FailedFlushToDiskCountsAsAFailedWrite) {
  platform::system_calls().sync = [](int) {
    errno = EIO;
    return -1;
  };
  reset_forward_pointer();
  const std::string tail =
      std::string(kWriteWarning) + "\nError writing store file header to " + store +
      "\n\nError codes\n-----------\n\n0) facility=1  error=" + std::to_string(EIO) +
      "\n1) facility=13  error=13202\n2) facility=13  error=13521";
  ASSERT_GE(screen.size(), tail.size());
  EXPECT_EQ(screen.substr(screen.size() - tail.size()), tail);
  EXPECT_EQ(screen.find("The Forward offset has been changed"), std::string::npos);
}

TEST_F(ResetFailure, SuccessfulResetFlushesBeforeItReports) {
  static int syncs;
  syncs = 0;
  platform::system_calls().sync = [](int fd) {
    ++syncs;
    return platform::default_system_calls().sync(fd);
  };
  reset_forward_pointer();
  EXPECT_EQ(syncs, 1);
  EXPECT_NE(
      screen.find("The Forward offset has been changed to 192 where orginally it was at 1016.\n"),
      std::string::npos)
      << screen;
}

}  // namespace
