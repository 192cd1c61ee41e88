// Store files for the end-to-end tests, made by varno-storegen, and the texts
// the utility shows for its deterministic content.
#ifndef VARNO_TESTS_E2E_STORE_FILES_H_
#define VARNO_TESTS_E2E_STORE_FILES_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace storefiles {

// Runs varno-storegen to write `path`; fails the test when it fails.
inline void generate(const std::string& home, const std::string& path,
                     const std::vector<std::string>& options) {
  std::vector<std::string> args = {path};
  args.insert(args.end(), options.begin(), options.end());
  auto r =
      testsupport::run(testsupport::binary("varno-storegen"), args, "", {"VARNO_HOME=" + home});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

// The asctime text of message k's time stamp (UTC), without its line feed:
// message 1 is at 1700000000 (Tue Nov 14 22:13:20 2023), each next a minute on.
inline std::string stamp(int k) {
  const int minute = 13 + (k - 1);
  char buf[40];
  std::snprintf(buf, sizeof buf, "Tue Nov 14 %02d:%02d:20 2023", 22 + minute / 60, minute % 60);
  return buf;
}

// The listing's two blocks for message k of a storegen file shown as `number`.
inline std::string message_block(int number, int k, int tags = 1) {
  return "--------------Message # " + std::to_string(number) +
         "----------------\nMessage size: " + std::to_string(384 + 16 * tags) +
         ", Message signature 23130, transaction number " + std::to_string(k) +
         "\nRequest source: REQNODE REQDLGP\nReply dest: REPNODE REPDLGP\n"
         "message source: SRCNODE SRCDLGP\nmessage dest: DSTNODE DSTDLGP\n"
         "listid: " +
         std::to_string(100 + k) + ", freq: " + std::to_string(25 * k / 10) +
         " secs, number of tags: " + std::to_string(tags) +
         "\nerror code: 0, first timestamp: " + (tags > 0 ? stamp(k) : std::string("(none)")) +
         "\n\n";
}

}  // namespace storefiles

#endif  // VARNO_TESTS_E2E_STORE_FILES_H_
