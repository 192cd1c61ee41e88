// The utility's entry and main menu, driven through its standard input.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/transcript.h"

namespace {

using namespace transcript;

class Menu : public ::testing::Test {
 protected:
  testsupport::RunResult run(const std::string& input) {
    return run_utility(home.path + "/", input);
  }
  testsupport::ScratchDir home;
};

TEST_F(Menu, InitFailureShowsTheErrorListPausesOnceAndEnds) {
  auto r = run("no-such-service\n\n5000\n1\n");
  EXPECT_EQ(r.out, kServicePrompt +
                       "\nVARNO_SERVER_INIT failed with service no-such-service\n"
                       "\nError codes\n-----------\n\n0) facility=2  error=201" +
                       kPause);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Menu, EmptyServiceAndOverlongServiceAreRefused) {
  auto r = run("");
  EXPECT_EQ(r.out, kServicePrompt + "\nVARNO_SERVER_INIT failed with service \n" +
                       "\nError codes\n-----------\n\n0) facility=2  error=201" + kPause);
  EXPECT_EQ(r.exit_code, 0);
  // 32 characters do not fit the 31 of a service name: refused, not cut.
  const std::string name = "5000" + std::string(28, 'z');
  r = run(name + "\n");
  EXPECT_EQ(r.out, kServicePrompt + "\nVARNO_SERVER_INIT failed with service " + name + "\n" +
                       "\nError codes\n-----------\n\n0) facility=2  error=201" + kPause);
  // A line longer than the service field is not overrun either.
  r = run(std::string(500, 'y') + "\n");
  EXPECT_EQ(r.out, kServicePrompt + "\nVARNO_SERVER_INIT failed with service " +
                       std::string(78, 'y') + "\n" +
                       "\nError codes\n-----------\n\n0) facility=2  error=201" + kPause);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Menu, BannerMenuAndExit) {
  for (const char* exit_line : {"x\n", "X\n"}) {
    auto r = run(std::string("5000\n") + exit_line);
    EXPECT_EQ(r.out, kServicePrompt + menu()) << exit_line;
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(Menu, InvalidSelectionsAreRefusedWithoutRedraw) {
  auto r = run("5000\n12\n 1\n1 \n6\n0\n\n" + std::string(300, '1') + "\nx\n");
  std::string expected = kServicePrompt + menu();
  for (int i = 0; i < 7; ++i) expected += kInvalid;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Menu, EndOfInputEndsTheMenu) {
  auto r = run("5000\n7\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + kInvalid);
  EXPECT_EQ(r.exit_code, 0);
  r = run("5000\nx");  // a last line without its line feed still counts
  EXPECT_EQ(r.out, kServicePrompt + menu());
}

TEST_F(Menu, CharactersTypedAtThePauseBecomeTheNextSelection) {
  // Menu 5 refused, then "ax" at the pause: 'a' is consumed by the pause,
  // "x" is the next selection line.
  auto r = run("5000\n5\nn\naX\n");
  const std::string refusal =
      "\nThis option is used to reset the forward pointer to the \noldest message currently in "
      "the store file.\nThis could cause data that has already been forwarded to \nbe sent again "
      "to the VARNO client.\nEnter \"Y\" to continue..."
      "\nWill not continue this option.  Returning to main menu.\n";
  EXPECT_EQ(r.out, kServicePrompt + menu() + refusal + kPause + menu());
  EXPECT_EQ(r.exit_code, 0);
  // "abX" leaves "bX", two characters: refused; then end of input.
  r = run("5000\n5\nn\nabX\n");
  EXPECT_EQ(r.out, kServicePrompt + menu() + refusal + kPause + menu() + kInvalid);
}

}  // namespace
