// What the programs owe the user's system, the same tests on every system:
// names outside any one code page end to end, the line ends a format fixes,
// and help and usage texts in the platform's own terms.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::binary;
using testsupport::RunResult;

class PlatformConventions : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(dir.path); }
  void TearDown() override {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
  }
  std::string home() const { return dir.path + "/home/"; }
  RunResult run(const std::string& program, const std::vector<std::string>& args) {
    return testsupport::run(binary(program), args, "", {"VARNO_HOME=" + home()});
  }
  testsupport::ScratchDir dir;
};

// On Windows the manifest makes UTF-8 the code page of the command line and
// of every file call; without it the first name fails and the second loses
// its letter.
TEST_F(PlatformConventions, NamesOutsideTheCodePageReachTheFileAndComeBackWhole) {
  for (const std::string name : {"\xE5\x80\x89\xE5\xBA\xAB.store", "St\xC3\xB6rung.store"}) {
    storefiles::generate(home(), name, {"--messages", "2"});
    // Read through the run-time's own calls: the C++ library's file system
    // paths do not take UTF-8 from a narrow string on Windows.
    ASSERT_EQ(testsupport::read_file(name).size(), 192u + 2 * 412u) << name;
    // Typed at the utility's prompt.
    const RunResult menu = transcript::run_utility(home(), "5000\n1\n" + name + "\nS\n\nx\n");
    EXPECT_NE(menu.out.find("\nSTORE FILE:  " + name + "\n"), std::string::npos) << menu.out;
    EXPECT_EQ(menu.out.find("Error opening store file"), std::string::npos) << menu.out;
    const RunResult json = run("varno-inspect", {"header", name, "--json"});
    EXPECT_EQ(json.exit_code, 0) << json.err;
    EXPECT_NE(json.out.find("\"file\": \"" + name + "\""), std::string::npos) << json.out;
  }
}

// The text exposition format allows a line feed alone; JSON and the text
// reports keep the platform's text line ends.
TEST_F(PlatformConventions, PrometheusTextEndsItsLinesInALineFeedAlone) {
  storefiles::generate(home(), "a.store", {});
  const RunResult r = run("varno-inspect", {"backlog", "--prometheus", "a.store"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.raw_out.find("varno_store_messages{file=\"a.store\"} 5\n"), std::string::npos)
      << r.raw_out;
  EXPECT_EQ(r.raw_out.find('\r'), std::string::npos);
}

TEST_F(PlatformConventions, HelpAndUsageSpeakThePlatformsLanguage) {
  // The registry key's example is quoted only for a shell that needs it.
  RunResult r = run("varno-reg", {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  const bool quoted = r.out.find("'HKLM\\SOFTWARE\\Quellmark\\VAR-NO'") != std::string::npos;
  EXPECT_EQ(quoted, platform::kShellTakesBackslashes) << r.out;
  EXPECT_EQ(r.out.find("shell takes backslashes") != std::string::npos,
            platform::kShellTakesBackslashes)
      << r.out;
  // A quote cmd.exe passed on is named as what went wrong.
  r = run("varno-reg", {"list", "'HKLM\\SOFTWARE"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err,
            "varno-reg: unknown root key \"'HKLM\" in 'HKLM\\SOFTWARE (use HKLM or HKCU, without "
            "the quotes)\n");
  // An option that is none is called unknown, not short of a value.
  r = run("varno-storegen", {"x.store", "--bogus"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "varno-storegen: unknown option --bogus (see --help)\n");
  // "/?" asks for help where the platform says so; elsewhere it is a name.
  for (const std::string program : {"varno-reg", "varno-storegen", "varno-inspect"}) {
    // varno-storegen would make a file of that name.
    if (program == "varno-storegen" && !platform::is_help_switch("/?")) continue;
    r = run(program, {"/?"});
    const bool help = r.exit_code == 0 && r.out.find("sage") != std::string::npos;
    EXPECT_EQ(help, platform::is_help_switch("/?")) << program << ": " << r.out << r.err;
  }
}

// Every tool answers --help and --version (and /? on Windows) before it
// looks at anything else on its command line, with exit 0 and nothing on
// standard error; varno-analyze takes no arguments and ignores them. A
// varno-inspect command answers "/?" on every platform with its own help,
// which says what lock it takes and what it writes. A number it cannot take
// is refused with what it takes, in words; one at a bound is taken (the
// file named then is what fails).
TEST_F(PlatformConventions, EveryToolAnswersHelpAndVersionBeforeAnythingElse) {
  enum Answer { kHelp, kVersion, kMenu, kRefused, kTaken };
  struct Row {
    const char* program;
    std::vector<std::string> args;
    Answer answer;
    std::string text = {};  // kHelp: the usage line's start; kRefused: standard error
  };
  const std::string seconds =
      "varno-inspect: --lock-timeout: expects a number of seconds from 0 "
      "to 3600, not '";
  const std::string interval =
      "varno-inspect: --interval: expects a number of seconds from "
      "0.001 to 3600, not '";
  const Row rows[] = {
      {"varno-storegen", {"--help"}, kHelp},
      {"varno-storegen", {"-h"}, kHelp},
      {"varno-storegen", {"/?"}, kHelp},
      {"varno-storegen", {"--version"}, kVersion},
      {"varno-storegen", {"x.store", "--messages", "0", "--help"}, kHelp},
      {"varno-storegen", {"--bogus", "--version"}, kVersion},
      {"varno-storegen", {"x.store", "--serve", "--version"}, kVersion},
      {"varno-storegen", {"--version", "--help"}, kHelp},
      {"varno-reg", {"--help"}, kHelp},
      {"varno-reg", {"-h"}, kHelp},
      {"varno-reg", {"help"}, kHelp},
      {"varno-reg", {"/?"}, kHelp},
      {"varno-reg", {"--version"}, kVersion},
      {"varno-reg", {"frob", "--version"}, kVersion},
      {"varno-reg", {"set", "HKXX\\SOFTWARE", "V", "x", "--help"}, kHelp},
      {"varno-inspect", {"--help"}, kHelp},
      {"varno-inspect", {"/?"}, kHelp},
      {"varno-inspect", {"--version"}, kVersion},
      {"varno-inspect", {"header", "/?"}, kHelp, "Usage: varno-inspect header "},
      {"varno-inspect",
       {"list", "x.helptable", "--interval", "abc", "/?"},
       kHelp,
       "Usage: varno-inspect list "},
      {"varno-inspect", {"backlog", "--bogus", "/?"}, kHelp, "Usage: varno-inspect backlog "},
      {"varno-inspect", {"verify", "/?"}, kHelp, "Usage: varno-inspect verify "},
      {"varno-inspect", {"salvage", "a", "b", "/?"}, kHelp, "Usage: varno-inspect salvage "},
      {"varno-inspect",
       {"rewind", "x.helptable", "--execute", "/?"},
       kHelp,
       "Usage: varno-inspect rewind "},
      {"varno-inspect",
       {"rewind", "--lock-timeout", "-1", "--help"},
       kHelp,
       "Usage: varno-inspect rewind "},
      {"varno-inspect",
       {"list", "x.helptable", "--lock-timeout", "abc"},
       kRefused,
       seconds + "abc' (see --help)\n"},
      {"varno-inspect",
       {"header", "x.helptable", "--lock-timeout", "-0.001"},
       kRefused,
       seconds + "-0.001' (see --help)\n"},
      {"varno-inspect",
       {"verify", "x.helptable", "--lock-timeout", "3600.001"},
       kRefused,
       seconds + "3600.001' (see --help)\n"},
      {"varno-inspect", {"verify", "x.helptable", "--lock-timeout", "3600"}, kTaken},
      {"varno-inspect", {"header", "x.helptable", "--lock-timeout", "0"}, kTaken},
      {"varno-inspect",
       {"backlog", "x.helptable", "--lock-timeout", "1e9"},
       kRefused,
       "varno-inspect: --lock-timeout: expects a number of seconds from 0 to 3600, not '1e9' "
       "(see --help)\n"},
      {"varno-inspect",
       {"list", "x.helptable", "--follow", "--interval", "0"},
       kRefused,
       interval + "0' (see --help)\n"},
      {"varno-inspect",
       {"list", "x.helptable", "--follow", "--interval", "3601"},
       kRefused,
       interval + "3601' (see --help)\n"},
      {"varno-inspect", {"list", "x.helptable", "--follow", "--interval", "0.001"}, kTaken},
      {"varno-inspect",
       {"list", "x.helptable", "--tail", "-1"},
       kRefused,
       "varno-inspect: --tail: expects a whole number of at least 0, not '-1' (see --help)\n"},
      {"varno-inspect", {"list", "x.helptable", "--tail", "0"}, kTaken},
      {"varno-analyze", {"--help"}, kMenu},
      {"varno-analyze", {"--version", "/?"}, kMenu},
  };
  for (const Row& row : rows) {
    const std::string shown = std::string(row.program) + " " + testing::PrintToString(row.args);
    SCOPED_TRACE(shown);
    // "/?" is a file name where the platform's programs are not asked that way.
    if (row.args[0] == "/?" && !platform::is_help_switch("/?") && row.answer != kMenu) continue;
    const RunResult r =
        testsupport::run(binary(row.program), row.args, row.answer == kMenu ? "5000\nx\n" : "",
                         {"VARNO_HOME=" + home()});
    const bool fails = row.answer == kRefused || row.answer == kTaken;
    EXPECT_EQ(r.exit_code, fails ? 2 : 0) << r.err;
    if (!fails) {
      EXPECT_EQ(r.err, "");
    }
    switch (row.answer) {
      case kHelp:
        EXPECT_NE(r.out.find("sage: "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(row.program), std::string::npos) << r.out;
        if (!row.text.empty()) {
          EXPECT_NE(r.out.find("\n" + row.text), std::string::npos) << r.out;
          EXPECT_NE(r.out.find("\nLock: "), std::string::npos) << r.out;
          EXPECT_NE(r.out.find("\nWrites: "), std::string::npos) << r.out;
        }
        break;
      case kVersion:
        EXPECT_EQ(r.out, std::string(row.program) + " " + VARNO_VERSION + "\n");
        break;
      case kMenu:
        EXPECT_NE(r.out.find("Analyze Utility"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("sage: "), std::string::npos) << r.out;
        break;
      case kRefused:
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.text);
        break;
      case kTaken:
        // Past the command line, to the file, which fails (is missing, or on
        // Windows under wine a wait of 0 for its lock already runs out).
        EXPECT_EQ(r.err.rfind("varno-inspect: x.helptable: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("expects"), std::string::npos) << r.err;
        break;
    }
  }
  // Nothing was made of the arguments beside the request.
  EXPECT_FALSE(testsupport::file_exists(dir.file("x.store")));
  EXPECT_FALSE(testsupport::file_exists(dir.file("/?")));
}

}  // namespace
