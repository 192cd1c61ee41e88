#include "tests/support/test_main.h"

#include <cstdio>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

namespace testsupport {

namespace {

std::map<std::string, ChildBody>& children() {
  static std::map<std::string, ChildBody> bodies;
  return bodies;
}

}  // namespace

bool register_child(const char* name, ChildBody body) {
  children()[name] = body;
  return true;
}

}  // namespace testsupport

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--varno-child") == 0) {
    const auto& bodies = testsupport::children();
    const auto it = bodies.find(argv[2]);
    if (it == bodies.end()) {
      std::fprintf(stderr, "no child body %s\n", argv[2]);
      return 126;
    }
    return it->second(std::vector<std::string>(argv + 3, argv + argc));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
