// The fixed texts of the utility's dialogue, for building expected transcripts.
#ifndef VARNO_TESTS_E2E_TRANSCRIPT_H_
#define VARNO_TESTS_E2E_TRANSCRIPT_H_

#include <string>
#include <vector>

#include "messaging/varno.h"
#include "tests/support/test_support.h"

namespace transcript {

inline const std::string kServicePrompt = "\nEnter a TCP/IP service to use for this application:  ";
inline const std::string kInvalid = "\nInvalid entry, please re-enter: ";
inline const std::string kPause = "\n\nPlease press RETURN to continue...";
inline const std::string kStorePrompt = "\nEnter the store file name:  ";
inline const std::string kOutputPrompt =
    "\nWrite the info to an output file or display on screen or both (F,S,B):  ";
inline const std::string kOutputNamePrompt = "\nEnter the output file name:  ";

inline std::string menu() {
  const std::string version = VARNO_SERVER_VERSION();
  return "\nQuellmark Var-No Store & Forward " + version + " Analyze Utility" + "\n" +
         std::string(49 + version.size(), '-') + "\n\n" + "\n1-Print the Store File header" +
         "\n2-Print the Store File contents" +
         "\n3-Print the Store File's first and last message info" +
         "\n4-Track the number of messages fowarded" +
         "\n5-Reset the Store File's forward pointer" + "\nx-Exit" +
         "\n\nPress a key to make your selection: ";
}

// Runs the utility with `input` in the environment directory `home` and the
// working directory of the test; the time zone is fixed so time stamps are
// stable.
inline testsupport::RunResult run_utility(const std::string& home, const std::string& input,
                                          std::vector<std::string> env = {}) {
  env.push_back("VARNO_HOME=" + home);
  env.push_back("TZ=UTC");
  return testsupport::run(testsupport::binary("varno-analyze"), {}, input, env);
}

}  // namespace transcript

#endif  // VARNO_TESTS_E2E_TRANSCRIPT_H_
