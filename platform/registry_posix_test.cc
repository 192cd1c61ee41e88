// The registry stand-in from inside: damaged value files, and several
// processes writing at once under the tree lock.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/registry_testing.h"
#include "tests/support/test_support.h"

namespace {

using namespace platform;
namespace fs = std::filesystem;
using registrytesting::create;
using registrytesting::get_dword;

struct StandInTest : ::testing::Test {
  testsupport::ScratchHome home;
  std::string root() const { return home.home() + "registry/HKEY_LOCAL_MACHINE/"; }
};

TEST_F(StandInTest, AValueFileTooShortForItsTypeIsAFailureNotAbsence) {
  RegKey key = create("K");
  testsupport::write_file(root() + "K/@Broken", std::string("\x04\x00", 2));
  uint32_t code = 0;
  get_dword(key, "Broken", &code);
  EXPECT_NE(code, 0u);
  EXPECT_NE(code, kRegErrorNotFound);
  reg_close_key(key);
}

// Several processes create the same keys under different letter case and
// write values into them at the same time, while another process reads.
TEST_F(StandInTest, ConcurrentWritersNeverTearOrLoseAValue) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 100;
  const char* cases[kWriters] = {"Node", "NODE", "node", "nOdE"};
  // Every round races for a key of its own, so every round tests creation.
  auto key_path = [](const char* node, int round) {
    return std::string("SOFTWARE\\Race\\") + node + std::to_string(round);
  };
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int round = 0; round < kRounds; ++round) {
        RegKey key = nullptr;
        if (reg_create_key_ex(kRegLocalMachine, key_path(cases[w], round).c_str(), 0,
                              kRegKeyAllAccess, &key, nullptr) != 0) {
          ++failures;
          continue;
        }
        // Both halves carry the writer, so a torn value shows.
        const uint32_t pair[2] = {static_cast<uint32_t>(w), static_cast<uint32_t>(w)};
        for (int again = 0; again < 3; ++again) {
          if (reg_set_value_ex(key, (w % 2) ? "SHARED" : "shared", kRegBinary, pair, 8) != 0) {
            ++failures;
          }
        }
        const std::string own = "Own" + std::to_string(w);
        const uint32_t word = static_cast<uint32_t>(round);
        if (reg_set_value_ex(key, own.c_str(), kRegDword, &word, 4) != 0) ++failures;
        reg_close_key(key);
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  const pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    int bad = 0;
    for (int i = 0; i < 3000; ++i) {
      RegKey key = nullptr;
      if (reg_open_key_ex(kRegLocalMachine, key_path("NODE", i % kRounds).c_str(), 0, kRegKeyRead,
                          &key) != 0) {
        continue;
      }
      uint32_t pair[2] = {0, 0}, size = 8;
      const uint32_t r = reg_query_value_ex(key, "Shared", nullptr, pair, &size);
      if (r == 0 && (size != 8 || pair[0] != pair[1] || pair[0] >= kWriters)) ++bad;
      if (r != 0 && r != kRegErrorNotFound) ++bad;
      reg_close_key(key);
    }
    _exit(bad == 0 ? 0 : 1);
  }
  children.push_back(reader);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
  }

  // One key per round; in each, one shared value and every writer's own.
  int keys = 0;
  for (const auto& dir : fs::directory_iterator(root() + "SOFTWARE/Race")) {
    ++keys;
    std::set<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      files.insert(e.path().filename().string());
    }
    const std::string shared = files.count("@shared") ? "@shared" : "@SHARED";
    EXPECT_EQ(files, (std::set<std::string>{"@Own0", "@Own1", "@Own2", "@Own3", shared}))
        << dir.path();
  }
  EXPECT_EQ(keys, kRounds);
  RegKey key = nullptr;
  ASSERT_EQ(reg_open_key_ex(kRegLocalMachine, key_path("node", kRounds - 1).c_str(), 0, kRegKeyRead,
                            &key),
            0u);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(get_dword(key, ("own" + std::to_string(w)).c_str()),
              static_cast<uint32_t>(kRounds - 1));
  }
  reg_close_key(key);
}

}  // namespace
