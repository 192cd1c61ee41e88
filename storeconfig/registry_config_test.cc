// Per-node limits in the registry: what is read, what is written, and the
// exact debug-log line of every event and failure.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storeconfig/store_config.h"
#include "storeconfig/store_config_testing.h"
#include "tests/support/test_support.h"

namespace {

using platform::RegKey;
using snftest::Pairs;
using snftest::pairs;

const std::string kKey = "Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG";

struct RegistryConfigTest : snftest::StoreConfigTest {
  void SetUp() override {
    StoreConfigTest::SetUp();
    use_device("plant", "DEV1");
  }
  int32_t size = 0, period = 0;
  int32_t read(const char* node) { return ReadRegSnfCfg(node, &size, &period, &status); }
};

// The names of the subkeys of `path` below HKEY_LOCAL_MACHINE.
std::vector<std::string> subkey_names(const std::string& path) {
  std::vector<std::string> names;
  RegKey key = nullptr;
  if (platform::reg_open_key_ex(platform::kRegLocalMachine, path.c_str(), 0, platform::kRegKeyRead,
                                &key) != 0) {
    return names;
  }
  char name[300];
  uint32_t size = sizeof name;
  for (uint32_t i = 0; platform::reg_enum_key_ex(key, i, name, &size) == 0; ++i) {
    names.push_back(name);
    size = sizeof name;
  }
  platform::reg_close_key(key);
  return names;
}

// Injected failures: the call named fails with this code; the others run.
uint32_t g_code = 0;

TEST_F(RegistryConfigTest, NoConfigurationKeyReadsAsAbsentWithoutAWord) {
  status.error[0] = 99;
  EXPECT_EQ(read("plant"), 1);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(period, -1);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_TRUE(debug_log().empty());
}

TEST_F(RegistryConfigTest, AnIncompleteDeviceRecordTouchesNoKey) {
  use_device("plant", "");
  EXPECT_EQ(read("plant"), 0);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13117}, {13, 13113}}));
  EXPECT_EQ(WriteRegSnfCfg("plant", 5, 6, &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13117}, {13, 13113}}));
  EXPECT_EQ(debug_log(),
            (std::vector<std::string>{
                "[ReadRegSnfCfg] [Bad DLGP name, could not retrieve store file config in registry, "
                "assumed Max Size=[-1], Max Period=[-1] for client node=[plant]]",
                "[WriteRegSnFCfg] [Bad DLGP name, could not update store file config in registry, "
                "Max Size=[5], Max Period=[6], client node=[plant]]"}));
  RegKey key = nullptr;
  EXPECT_EQ(platform::reg_open_key_ex(platform::kRegLocalMachine, "Software\\Quellmark", 0,
                                      platform::kRegKeyRead, &key),
            platform::kRegErrorNotFound);
}

TEST_F(RegistryConfigTest, TheNodeSubkeyIsFoundInAnyLetterCase) {
  put_dword("DEV1", "other", "MaxSize", 1);
  put_dword("DEV1", "PLANT.Site", "MaxSize", 1000);
  put_dword("DEV1", "PLANT.Site", "MaxPeriod", 3600);
  EXPECT_EQ(read("plant.site"), 1);
  EXPECT_EQ(size, 1000);
  EXPECT_EQ(period, 3600);
  // Negative limits come back signed.
  put_dword("DEV1", "PLANT.Site", "MaxSize", -5);
  EXPECT_EQ(read("Plant.SITE"), 1);
  EXPECT_EQ(size, -5);
  EXPECT_TRUE(debug_log().empty());
}

TEST_F(RegistryConfigTest, APeriodWithoutASizeIsNotRead) {
  put_dword("DEV1", "plant", "MaxPeriod", 3600);
  EXPECT_EQ(read("plant"), 1);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(period, -1);
  EXPECT_TRUE(pairs(status).empty());
}

TEST_F(RegistryConfigTest, ValuesLongerThanTheirCellFailTheRead) {
  put("DEV1", "plant", "MaxSize", std::string(8, '\1'), platform::kRegBinary);
  put_dword("DEV1", "plant", "MaxPeriod", 3600);
  EXPECT_EQ(read("plant"), 0);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(period, -1);  // not read after the failed size
  EXPECT_EQ(pairs(status), (Pairs{{13, 13612}}));

  put_dword("DEV1", "plant", "MaxSize", 10);
  put("DEV1", "plant", "MaxPeriod", std::string(6, '\1'), platform::kRegBinary);
  EXPECT_EQ(read("plant"), 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(period, -1);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13613}}));
  EXPECT_EQ(debug_log(),
            (std::vector<std::string>{
                "[ReadRegSnfCfg] [" +
                    with_description("Querying value=[" + kKey + "\\MaxSize], assuming = [-1]",
                                     platform::kRegErrorMoreData) +
                    "]",
                "[ReadRegSnfCfg] [" +
                    with_description("Querying value=[" + kKey + "\\MaxPeriod], assuming = [-1]",
                                     platform::kRegErrorMoreData) +
                    "]"}));

  // The writer stops at the reader's failure and writes nothing.
  clear_debug_log();
  EXPECT_EQ(WriteRegSnfCfg("plant", 20, 30, &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13613}}));
  int32_t stored = 0;
  ASSERT_TRUE(get_dword("DEV1", "plant", "MaxSize", &stored));
  EXPECT_EQ(stored, 10);
  EXPECT_EQ(debug_log().size(), 1u);  // the reader's line only
}

TEST_F(RegistryConfigTest, FailedOpenAndCountAreLoggedWithTheirCode) {
  put_dword("DEV1", "plant", "MaxSize", 1);
  platform::system_calls().registry.open_key_ex = [](RegKey, const char*, uint32_t, uint32_t,
                                                     RegKey*) { return g_code; };
  g_code = EACCES;
  EXPECT_EQ(read("plant"), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13611}}));
  g_code = platform::kRegErrorNotFound;  // not found is no failure
  EXPECT_EQ(read("plant"), 1);
  EXPECT_TRUE(pairs(status).empty());
  platform::restore_system_calls();

  platform::system_calls().registry.query_info_key = [](RegKey, uint32_t*, uint32_t*, uint32_t*,
                                                        uint32_t*, uint32_t*) { return g_code; };
  g_code = EIO;
  EXPECT_EQ(read("plant"), 0);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13611}}));
  EXPECT_EQ(
      debug_log(),
      (std::vector<std::string>{
          "[ReadRegSnfCfg] [" + with_description("Error Opening key=[" + kKey + "]", EACCES) + "]",
          "[ReadRegSnfCfg] [" + with_description("Error Enumerating key=[" + kKey + "]", EIO) +
              "]"}));
}

TEST_F(RegistryConfigTest, FailedEnumerationOrSubkeyOpenShowOnlyInTheResult) {
  put_dword("DEV1", "plant", "MaxSize", 1);
  put_dword("DEV1", "plant", "MaxPeriod", 2);
  platform::system_calls().registry.enum_key_ex = [](RegKey, uint32_t, char*, uint32_t*) {
    return g_code;
  };
  g_code = EIO;
  EXPECT_EQ(read("plant"), 0);
  EXPECT_TRUE(pairs(status).empty());
  g_code = platform::kRegErrorNotFound;
  EXPECT_EQ(read("plant"), 1);
  platform::restore_system_calls();

  // Only the open relative to the configuration key fails.
  platform::system_calls().registry.open_key_ex = [](RegKey key, const char* sub, uint32_t options,
                                                     uint32_t sam, RegKey* result) {
    if (key != platform::kRegLocalMachine) return g_code;
    return platform::default_system_calls().registry.open_key_ex(key, sub, options, sam, result);
  };
  g_code = EIO;
  EXPECT_EQ(read("plant"), 0);
  EXPECT_EQ(size, -1);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_TRUE(debug_log().empty());
}

TEST_F(RegistryConfigTest, WritingCreatesKeysAndLogsEachNewValue) {
  EXPECT_EQ(WriteRegSnfCfg("plant", 100, 3600, &status), 1);
  EXPECT_TRUE(pairs(status).empty());
  const std::string node_key = kKey + "\\plant";
  EXPECT_EQ(debug_log(), (std::vector<std::string>{
                             "[WriteRegSnfCfg] [Creating key value=[" + node_key +
                                 "\\MaxSize] = [100] Old=[-1] for client node=[plant]]",
                             "[WriteRegSnfCfg] [Creating key value=[" + node_key +
                                 "\\MaxPeriod] = [3600] Old=[-1] for client node=[plant]]"}));
  EXPECT_EQ(read("PLANT"), 1);
  EXPECT_EQ(size, 100);
  EXPECT_EQ(period, 3600);

  // The same values again: nothing written, nothing logged.
  clear_debug_log();
  EXPECT_EQ(WriteRegSnfCfg("Plant", 100, 3600, &status), 1);
  EXPECT_TRUE(debug_log().empty());
  // One subkey, named as first written.
  EXPECT_EQ(subkey_names(kKey), std::vector<std::string>{"plant"});
}

TEST_F(RegistryConfigTest, OnlyTheChangedValueIsWritten) {
  put_dword("DEV1", "plant", "MaxSize", 50);
  EXPECT_EQ(WriteRegSnfCfg("plant", 50, 7, &status), 1);
  EXPECT_EQ(debug_log(),
            (std::vector<std::string>{"[WriteRegSnfCfg] [Modifying key value=[" + kKey +
                                      "\\plant\\MaxPeriod] = [7] Old=[-1] for client "
                                      "node=[plant]]"}));
  int32_t stored = 0;
  ASSERT_TRUE(get_dword("DEV1", "plant", "MaxPeriod", &stored));
  EXPECT_EQ(stored, 7);
}

TEST_F(RegistryConfigTest, AbsentLimitsCreateTheKeysButNoValue) {
  EXPECT_EQ(WriteRegSnfCfg("plant", -1, -1, &status), 1);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_TRUE(debug_log().empty());
  RegKey key = nullptr;
  ASSERT_EQ(platform::reg_open_key_ex(platform::kRegLocalMachine, (kKey + "\\plant").c_str(), 0,
                                      platform::kRegKeyRead, &key),
            0u);
  uint32_t values = 99;
  ASSERT_EQ(platform::reg_query_info_key(key, nullptr, nullptr, &values, nullptr, nullptr), 0u);
  EXPECT_EQ(values, 0u);
  platform::reg_close_key(key);
}

TEST_F(RegistryConfigTest, FailedCreationsNameTheKeyAndTheVerbOfTheLastSuccess) {
  platform::system_calls().registry.create_key_ex = [](RegKey, const char*, uint32_t, uint32_t,
                                                       RegKey*, uint32_t*) { return g_code; };
  g_code = EACCES;
  EXPECT_EQ(WriteRegSnfCfg("plant", 1, 2, &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13614}}));
  platform::restore_system_calls();

  // The configuration key exists; only the node subkey cannot be made.
  put_dword("DEV1", "other", "MaxSize", 1);
  clear_debug_log();
  platform::system_calls().registry.create_key_ex =
      [](RegKey key, const char* sub, uint32_t options, uint32_t sam, RegKey* result, uint32_t* d) {
        if (std::string(sub).find("\\plant") != std::string::npos) return g_code;
        return platform::default_system_calls().registry.create_key_ex(key, sub, options, sam,
                                                                       result, d);
      };
  EXPECT_EQ(WriteRegSnfCfg("plant", 1, 2, &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13614}}));
  EXPECT_EQ(debug_log(), (std::vector<std::string>{"[WriteRegSnfCfg] [" +
                                                   with_description("Modifying key=[" + kKey +
                                                                        "\\plant] for "
                                                                        "client node=[plant]",
                                                                    EACCES) +
                                                   "]"}));
}

TEST_F(RegistryConfigTest, TheFirstFailedCreationSaysCreating) {
  platform::system_calls().registry.create_key_ex = [](RegKey, const char*, uint32_t, uint32_t,
                                                       RegKey*, uint32_t*) { return g_code; };
  g_code = EACCES;
  EXPECT_EQ(WriteRegSnfCfg("plant", 1, 2, &status), 0);
  EXPECT_EQ(
      debug_log(),
      (std::vector<std::string>{
          "[WriteRegSnfCfg] [" +
          with_description("Creating key=[" + kKey + "] for client node=[plant]", EACCES) + "]"}));
}

TEST_F(RegistryConfigTest, FailedValueWritesAreRecordedPerValue) {
  platform::system_calls().registry.set_value_ex = [](RegKey, const char*, uint32_t, const void*,
                                                      uint32_t) { return g_code; };
  g_code = ENOSPC;
  EXPECT_EQ(WriteRegSnfCfg("plant", 1, 2, &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13615}}));
  const std::string node_key = kKey + "\\plant";
  EXPECT_EQ(debug_log(),
            (std::vector<std::string>{
                "[WriteRegSnfCfg] [" +
                with_description("Creating value=[" + node_key +
                                     "\\MaxSize] = [1] Old=[-1] for client node=[plant]",
                                 ENOSPC) +
                "]"}));
  platform::restore_system_calls();

  put_dword("DEV1", "plant", "MaxSize", 1);
  platform::system_calls().registry.set_value_ex = [](RegKey, const char*, uint32_t, const void*,
                                                      uint32_t) { return g_code; };
  clear_debug_log();
  EXPECT_EQ(WriteRegSnfCfg("plant", 1, 2, &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13616}}));
  EXPECT_EQ(debug_log(),
            (std::vector<std::string>{"[WriteRegSnfCfg] [" +
                                      with_description("Modifying value=[" + node_key +
                                                           "\\MaxPeriod] = [2] Old=[-1] for client "
                                                           "node=[plant]",
                                                       ENOSPC) +
                                      "]"}));
}

constexpr int kWriters = 4;
constexpr int kRounds = 40;

// Child: writer args[0] of SeveralProcessesWritingLimitsAtOnce.
VARNO_TEST_CHILD(limits_writer) {
  const char* shared[kWriters] = {"plant", "PLANT", "Plant", "pLANT"};
  const int w = std::stoi(args.at(0));
  SnfDevice device{};
  std::snprintf(device.node, sizeof device.node, "plant");
  std::snprintf(device.dlgp, sizeof device.dlgp, "DEV1");
  SetSnfDevice(&device);
  int failures = 0;
  const std::string own = "node" + std::to_string(w);
  for (int round = 0; round < kRounds; ++round) {
    VARNO_STATUS s;
    if (WriteRegSnfCfg(shared[w], 1000 + w, 2000 + w, &s) != 1) ++failures;
    if (WriteRegSnfCfg(own.c_str(), round, w, &s) != 1) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

// Several service processes store limits at once: the same node under
// different letter case, and each its own node.
TEST_F(RegistryConfigTest, SeveralProcessesWritingLimitsAtOnce) {
  if (!testsupport::kRegistryStandIn) {
    GTEST_SKIP() << "tests the stand-in's own locking between writers; the real registry "
                    "serialises its writers itself";
  }
  std::vector<std::unique_ptr<testsupport::Interactive>> children;
  for (int w = 0; w < kWriters; ++w) {
    children.push_back(std::make_unique<testsupport::Interactive>(
        testsupport::self_path(), testsupport::child_args("limits_writer", {std::to_string(w)}),
        std::vector<std::string>{}));
  }
  for (auto& child : children) EXPECT_EQ(child->finish(), 0);
  // One "plant" in whatever case came first.
  EXPECT_EQ(subkey_names(kKey).size(), 1u + kWriters);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(read(("NODE" + std::to_string(w)).c_str()), 1);
    EXPECT_EQ(size, kRounds - 1);
    EXPECT_EQ(period, w);
  }
  EXPECT_EQ(read("plant"), 1);
  EXPECT_TRUE(size >= 1000 && size < 1000 + kWriters) << size;
  EXPECT_TRUE(period >= 2000 && period < 2000 + kWriters) << period;
}

}  // namespace
