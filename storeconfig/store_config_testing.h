// Helpers shared by the store configuration tests.
#ifndef VARNO_STORECONFIG_STORE_CONFIG_TESTING_H_
#define VARNO_STORECONFIG_STORE_CONFIG_TESTING_H_

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/system_calls.h"
#include "storeconfig/store_config.h"
#include "tests/support/test_support.h"

namespace snftest {

inline SnfDevice device(const char* node, const char* dlgp) {
  SnfDevice d{};
  std::strncpy(d.node, node, sizeof d.node);
  std::strncpy(d.dlgp, dlgp, sizeof d.dlgp);
  return d;
}

using Pairs = std::vector<std::pair<int, int>>;

inline Pairs pairs(const VARNO_STATUS& status) {
  Pairs out;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    out.emplace_back(status.facility[i], status.error[i]);
  }
  return out;
}

// Every test starts from the layer's start state in a fresh environment
// directory, with the real registry calls.
struct StoreConfigTest : ::testing::Test {
  testsupport::ScratchHome home;
  VARNO_STATUS status;

  void SetUp() override {
    snf_reset_state_for_tests();
    platform::restore_system_calls();
    VARNO_SERVER_INITBLK(&status);
  }
  void TearDown() override {
    platform::restore_system_calls();
    snf_reset_state_for_tests();
  }

  void use_device(const char* node, const char* dlgp) {
    const SnfDevice d = device(node, dlgp);
    SetSnfDevice(&d);
  }
  std::vector<std::string> debug_log() const {
    return testsupport::log_entries(home.home() + "varno_debug.log");
  }
  // Forgets the lines logged so far.
  void clear_debug_log() const { testsupport::write_file(home.home() + "varno_debug.log", ""); }

  static std::string key_path(const std::string& dlgp) {
    return "Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_" + dlgp + "_CFG";
  }
  // Stores a value of a node's subkey directly, as an operator would.
  static void put(const std::string& dlgp, const std::string& node, const char* name,
                  const std::string& bytes, uint32_t type = platform::kRegDword) {
    platform::RegKey key = nullptr;
    ASSERT_EQ(platform::reg_create_key_ex(platform::kRegLocalMachine,
                                          (key_path(dlgp) + "\\" + node).c_str(), 0,
                                          platform::kRegKeyAllAccess, &key, nullptr),
              0u);
    ASSERT_EQ(platform::reg_set_value_ex(key, name, type, bytes.data(),
                                         static_cast<uint32_t>(bytes.size())),
              0u);
    platform::reg_close_key(key);
  }
  static void put_dword(const std::string& dlgp, const std::string& node, const char* name,
                        int32_t value) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4);
    put(dlgp, node, name, bytes);
  }
  // The stored DWORD, or nothing when the value (or its key) is missing.
  static bool get_dword(const std::string& dlgp, const std::string& node, const char* name,
                        int32_t* value) {
    platform::RegKey key = nullptr;
    if (platform::reg_open_key_ex(platform::kRegLocalMachine,
                                  (key_path(dlgp) + "\\" + node).c_str(), 0, platform::kRegKeyRead,
                                  &key) != 0) {
      return false;
    }
    uint32_t size = 4;
    const uint32_t code = platform::reg_query_value_ex(key, name, nullptr, value, &size);
    platform::reg_close_key(key);
    return code == 0;
  }
  // The debug-log text of LogWntError for `message` and a failed call's code.
  static std::string with_description(const std::string& message, uint32_t code) {
    std::string description;
    EXPECT_TRUE(platform::describe_code(code, &description).ok());
    return message + ",\nerror=" + std::to_string(code) + ": " +
           VARNO_FILTER_CRLF(description.c_str());
  }
};

}  // namespace snftest

#endif  // VARNO_STORECONFIG_STORE_CONFIG_TESTING_H_
