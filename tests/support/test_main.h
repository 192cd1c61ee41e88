// The tests' own main: GoogleTest, or one of the binary's child bodies.
// Tests that need a second process re-run their own binary with
// "--varno-child NAME ARGS..." (testsupport::run_child) instead of forking,
// which Windows cannot do; the child body runs and its result is the exit code.
#ifndef VARNO_TESTS_SUPPORT_TEST_MAIN_H_
#define VARNO_TESTS_SUPPORT_TEST_MAIN_H_

#include <string>
#include <vector>

namespace testsupport {

using ChildBody = int (*)(const std::vector<std::string>& args);
// Makes `body` the child body `name` of this binary; for static initialisers.
bool register_child(const char* name, ChildBody body);

}  // namespace testsupport

// Defines child body NAME: `int (const std::vector<std::string>& args)`.
#define VARNO_TEST_CHILD(NAME)                                 \
  int NAME##_child_body(const std::vector<std::string>& args); \
  [[maybe_unused]] const bool NAME##_child_registered =        \
      testsupport::register_child(#NAME, NAME##_child_body);   \
  int NAME##_child_body([[maybe_unused]] const std::vector<std::string>& args)

#endif  // VARNO_TESTS_SUPPORT_TEST_MAIN_H_
