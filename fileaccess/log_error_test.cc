#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

std::vector<std::string> logged(const testsupport::ScratchHome& home) {
  return testsupport::log_entries(home.home() + "varno_debug.log");
}

TEST(LogWntError, CompositionsOfMessageAndCode) {
  testsupport::ScratchHome home;
  LogWntError("fn0", nullptr, 0);  // nothing at all
  LogWntError("fn1", "just text", 0);
  LogWntError("fn2", "with code", 2);
  LogWntError("fn3", nullptr, 2);
  LogWntError("fn4", nullptr, 99999);
  LogWntError("fn5", "unknown", 99999);
  LogWntError("fn6", "negative", 0x80000005u);
  // The platform's own words: strerror on POSIX, the message table on
  // Windows, each without its line break.
  std::string found;
  ASSERT_TRUE(platform::describe_code(2, &found).ok());
  const std::string description = VARNO_FILTER_CRLF(found.c_str());
  const platform::Status unknown = platform::describe_code(99999, &found);
  ASSERT_FALSE(unknown.ok());
  const std::string why = std::to_string(unknown.code);
  ASSERT_FALSE(description.empty());
  const std::vector<std::string> expected = {
      "[fn1] [just text]",
      "[fn2] [with code,\nerror=2: " + description + "]",
      "[fn3] [error=2: " + description + "]",
      "[fn4] [\nWNT Unknown Error=99999, FormatMessage error=" + why + "]",
      "[fn5] [unknown\nWNT Unknown Error=99999, FormatMessage error=" + why + "]",
      "[fn6] [negative\nWNT Unknown Error=-2147483643, FormatMessage error=" + why + "]",
  };
  EXPECT_EQ(logged(home), expected);
}

TEST(LogWntError, OverlongTextIsCutNotOverrun) {
  testsupport::ScratchHome home;
  const std::string text(5000, 'm');
  LogWntError("fn", text.c_str(), 0);
  LogWntError("fn", text.c_str(), 2);
  auto entries = logged(home);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], "[fn] [" + std::string(2047, 'm') + "]");
  EXPECT_EQ(entries[1], "[fn] [" + std::string(2047, 'm') + "]");
}

}  // namespace
