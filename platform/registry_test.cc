// The registry calls as the file layer, the store configuration and varno-reg
// use them: codes, case rules, and, where the registry is the stand-in, its
// on-disk form.
#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry_testing.h"
#include "tests/support/test_support.h"

namespace {

using namespace platform;
namespace fs = std::filesystem;
using registrytesting::create;
using registrytesting::get_dword;

void set_dword(RegKey key, const char* name, uint32_t value) {
  ASSERT_EQ(reg_set_value_ex(key, name, kRegDword, &value, 4), 0u) << name;
}

std::vector<std::string> subkeys(RegKey key) {
  std::vector<std::string> names;
  for (uint32_t i = 0;; ++i) {
    char name[300];
    uint32_t size = sizeof name;
    const uint32_t r = reg_enum_key_ex(key, i, name, &size);
    if (r == kRegErrorNoMoreItems) break;
    EXPECT_EQ(r, 0u);
    if (r != 0) break;
    EXPECT_EQ(size, std::strlen(name));
    names.push_back(name);
  }
  return names;
}

struct RegistryTest : ::testing::Test {
  testsupport::ScratchHome home;
  std::string root() const { return home.home() + "registry/HKEY_LOCAL_MACHINE/"; }
};

TEST_F(RegistryTest, AnythingMissingIsCodeTwo) {
  RegKey key = nullptr;
  // Nothing written yet: not even the registry directory exists.
  EXPECT_EQ(reg_open_key_ex(kRegLocalMachine, "SOFTWARE\\Quellmark", 0, kRegKeyRead, &key),
            kRegErrorNotFound);
  RegKey sw = create("SOFTWARE");
  EXPECT_EQ(reg_open_key_ex(sw, "Quellmark", 0, kRegKeyRead, &key), kRegErrorNotFound);
  uint32_t cell = 0, size = 4;
  EXPECT_EQ(reg_query_value_ex(sw, "VARNOStoreBckCopies", nullptr, &cell, &size),
            kRegErrorNotFound);
  EXPECT_EQ(reg_delete_value(sw, "VARNOStoreBckCopies"), kRegErrorNotFound);
  EXPECT_EQ(reg_close_key(sw), 0u);
}

TEST_F(RegistryTest, CreateReportsNewOrExistingAndKeepsTheFirstCase) {
  uint32_t d = 0;
  RegKey a = create("SOFTWARE\\Quellmark\\VAR-NO", &d);
  EXPECT_EQ(d, kRegCreatedNewKey);
  if (testsupport::kRegistryStandIn) {
    EXPECT_TRUE(fs::is_directory(root() + "SOFTWARE/Quellmark/VAR-NO"));
  }
  RegKey b = create("software\\QUELLMARK\\var-no\\", &d);
  EXPECT_EQ(d, kRegOpenedExistingKey);
  // A new key below an existing path counts as new.
  RegKey c = create("Software\\quellmark\\VAR-NO\\Node", &d);
  EXPECT_EQ(d, kRegCreatedNewKey);
  RegKey sw = nullptr;
  ASSERT_EQ(reg_open_key_ex(kRegLocalMachine, "sOfTwArE", 0, kRegKeyRead, &sw), 0u);
  EXPECT_EQ(subkeys(sw), std::vector<std::string>{"Quellmark"});
  // Only one directory per name, whatever case it was asked for in.
  if (testsupport::kRegistryStandIn) {
    int dirs = 0;
    for (const auto& e : fs::directory_iterator(root() + "SOFTWARE/Quellmark")) {
      (void)e;
      ++dirs;
    }
    EXPECT_EQ(dirs, 1);
  }
  for (RegKey k : {a, b, c, sw}) EXPECT_EQ(reg_close_key(k), 0u);
}

TEST_F(RegistryTest, DwordRoundTripsAndIsStoredAsTypeThenData) {
  RegKey key = create("SOFTWARE\\Quellmark\\VAR-NO");
  set_dword(key, "VARNOStoreBckCopies", 0x01020304u);
  if (testsupport::kRegistryStandIn) {
    EXPECT_EQ(testsupport::read_file(root() + "SOFTWARE/Quellmark/VAR-NO/@VARNOStoreBckCopies"),
              std::string("\x04\x00\x00\x00\x04\x03\x02\x01", 8));
  }
  // Read back under another case, through a key opened afresh.
  RegKey again = nullptr;
  ASSERT_EQ(reg_open_key_ex(kRegLocalMachine, "software\\quellmark\\var-no", 0,
                            kRegKeyQueryValue | kRegKeyWow64_64Key, &again),
            0u);
  uint32_t cell = 0, size = 4, type = 0;
  ASSERT_EQ(reg_query_value_ex(again, "varnostorebckcopies", &type, &cell, &size), 0u);
  EXPECT_EQ(cell, 0x01020304u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, kRegDword);
  // Without a buffer the query only gives the length.
  size = 0;
  ASSERT_EQ(reg_query_value_ex(again, "VARNOStoreBckCopies", nullptr, nullptr, &size), 0u);
  EXPECT_EQ(size, 4u);
  reg_close_key(again);
  reg_close_key(key);
}

TEST_F(RegistryTest, DataLongerThanTheCellFailTheQueryAndShorterDataFillLowBytes) {
  RegKey key = create("SOFTWARE\\Quellmark\\VAR-NO");
  const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(reg_set_value_ex(key, "Long", kRegBinary, eight, 8), 0u);
  uint32_t cell = 0xAAAAAAAAu, size = 4, type = 0;
  EXPECT_EQ(reg_query_value_ex(key, "Long", &type, &cell, &size), kRegErrorMoreData);
  EXPECT_NE(kRegErrorMoreData, kRegErrorNotFound);
  EXPECT_EQ(size, 8u);
  if (testsupport::kRegistryStandIn) {
    EXPECT_EQ(cell, 0xAAAAAAAAu);  // nothing copied
  }
  EXPECT_EQ(type, kRegBinary);

  const unsigned char two[2] = {0x34, 0x12};
  ASSERT_EQ(reg_set_value_ex(key, "Short", kRegBinary, two, 2), 0u);
  cell = 0;
  size = 4;
  ASSERT_EQ(reg_query_value_ex(key, "Short", nullptr, &cell, &size), 0u);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(cell, 0x1234u);
  reg_close_key(key);
}

TEST_F(RegistryTest, ReplacingAValueKeepsItsNameAndLeavesNoTemporaryFiles) {
  RegKey key = create("SOFTWARE\\Quellmark\\VAR-NO");
  set_dword(key, "MaxSize", 5);
  set_dword(key, "MAXSIZE", 6);
  char name[32];
  uint32_t name_size = sizeof name;
  ASSERT_EQ(reg_enum_value(key, 0, name, &name_size, nullptr, nullptr, nullptr), 0u);
  EXPECT_STREQ(name, "MaxSize");
  name_size = sizeof name;
  EXPECT_EQ(reg_enum_value(key, 1, name, &name_size, nullptr, nullptr, nullptr),
            kRegErrorNoMoreItems);
  if (testsupport::kRegistryStandIn) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(root() + "SOFTWARE/Quellmark/VAR-NO")) {
      files.push_back(e.path().filename().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{"@MaxSize"});
  }
  EXPECT_EQ(get_dword(key, "maxsize"), 6u);
  reg_close_key(key);
}

TEST_F(RegistryTest, DeleteRemovesOnlyThatValue) {
  RegKey key = create("K");
  set_dword(key, "A", 1);
  set_dword(key, "B", 2);
  EXPECT_EQ(reg_delete_value(key, "a"), 0u);
  uint32_t code = 0;
  get_dword(key, "A", &code);
  EXPECT_EQ(code, kRegErrorNotFound);
  EXPECT_EQ(get_dword(key, "B"), 2u);
  reg_close_key(key);
}

TEST_F(RegistryTest, EnumerationIsOrderedWithoutRegardToCaseAndReportsShortBuffers) {
  RegKey key = create("Cfg");
  for (const char* n : {"beta", "Alpha", "GAMMA"})
    reg_close_key(create((std::string("Cfg\\") + n).c_str()));
  set_dword(key, "Zed", 26);
  set_dword(key, "ab", 1);
  EXPECT_EQ(subkeys(key), (std::vector<std::string>{"Alpha", "beta", "GAMMA"}));

  char small[5];
  uint32_t size = sizeof small;  // "Alpha" needs 6 with its terminator
  EXPECT_EQ(reg_enum_key_ex(key, 0, small, &size), kRegErrorMoreData);
  size = sizeof small;
  EXPECT_EQ(reg_enum_key_ex(key, 1, small, &size), 0u);
  EXPECT_STREQ(small, "beta");
  EXPECT_EQ(size, 4u);

  // Values come in an order of the platform's choosing.
  std::set<std::pair<std::string, uint32_t>> values;
  char name[32];
  uint32_t name_size = sizeof name, type = 0, cell = 0, data_size = 4;
  for (uint32_t i = 0; i < 2; ++i) {
    name_size = sizeof name;
    data_size = 4;
    ASSERT_EQ(reg_enum_value(key, i, name, &name_size, &type, &cell, &data_size), 0u);
    EXPECT_EQ(type, kRegDword);
    values.insert({name, cell});
  }
  EXPECT_EQ(values, (std::set<std::pair<std::string, uint32_t>>{{"ab", 1}, {"Zed", 26}}));
  name_size = sizeof name;
  EXPECT_EQ(reg_enum_value(key, 2, name, &name_size, nullptr, nullptr, nullptr),
            kRegErrorNoMoreItems);

  uint32_t n_keys = 0, longest_key = 0, n_values = 0, longest_name = 0, longest_data = 0;
  ASSERT_EQ(reg_query_info_key(key, &n_keys, &longest_key, &n_values, &longest_name, &longest_data),
            0u);
  EXPECT_EQ(n_keys, 3u);
  EXPECT_EQ(longest_key, 5u);
  EXPECT_EQ(n_values, 2u);
  EXPECT_EQ(longest_name, 3u);
  EXPECT_EQ(longest_data, 4u);
  reg_close_key(key);
}

TEST_F(RegistryTest, AKeyOpenedForReadingCannotBeWritten) {
  reg_close_key(create("K"));
  RegKey reader = nullptr;
  ASSERT_EQ(reg_open_key_ex(kRegLocalMachine, "K", 0, kRegKeyRead, &reader), 0u);
  uint32_t one = 1;
  EXPECT_EQ(reg_set_value_ex(reader, "V", kRegDword, &one, 4), kRegErrorAccessDenied);
  RegKey sub = nullptr;
  // wine creates subkeys without checking the parent's rights; Windows and
  // the stand-in refuse.
  if (!testsupport::running_under_wine()) {
    EXPECT_EQ(reg_create_key_ex(reader, "Sub", 0, kRegKeyRead, &sub, nullptr),
              kRegErrorAccessDenied);
  }
  reg_close_key(reader);

  RegKey query_only = nullptr;
  ASSERT_EQ(reg_open_key_ex(kRegLocalMachine, "K", 0, kRegKeyQueryValue, &query_only), 0u);
  char name[16];
  uint32_t size = sizeof name;
  EXPECT_EQ(reg_enum_key_ex(query_only, 0, name, &size), kRegErrorAccessDenied);
  reg_close_key(query_only);
  EXPECT_EQ(reg_close_key(nullptr), kRegErrorInvalidHandle);
}

TEST_F(RegistryTest, OddNamesStayInsideTheTreeAndRoundTrip) {
  // "\xC3\xA9t\xC3\xA9": names are UTF-8, the code page of the programs on
  // Windows too (their manifest says so).
  const std::vector<std::string> names = {"..",     ".hidden",          "a/b", "100%", "@at",
                                          "sp ace", "\xC3\xA9t\xC3\xA9"};
  RegKey parent = create("Odd");
  for (const std::string& n : names) {
    RegKey k = nullptr;
    ASSERT_EQ(reg_create_key_ex(parent, n.c_str(), 0, kRegKeyAllAccess, &k, nullptr), 0u) << n;
    set_dword(k, n.c_str(), 7);
    EXPECT_EQ(get_dword(k, n.c_str()), 7u);
    reg_close_key(k);
  }
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> got = subkeys(parent);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
  // Nothing escaped the key's directory.
  for (const auto& e : fs::recursive_directory_iterator(home.path)) {
    if (!testsupport::kRegistryStandIn) break;
    const std::string p = e.path().string();
    EXPECT_TRUE(p.rfind(root() + "Odd", 0) == 0 || p == home.path + "/registry" ||
                p == home.path + "/registry/.lock" ||
                p == home.path + "/registry/HKEY_LOCAL_MACHINE")
        << p;
  }
  // A key and a value of one name live side by side; the default value is "@".
  set_dword(parent, "..", 1);
  set_dword(parent, nullptr, 2);
  EXPECT_EQ(get_dword(parent, ".."), 1u);
  EXPECT_EQ(get_dword(parent, ""), 2u);
  if (testsupport::kRegistryStandIn) {
    EXPECT_TRUE(fs::is_regular_file(root() + "Odd/@"));
  }
  reg_close_key(parent);
}

TEST_F(RegistryTest, BadPathsAreRefusedWithoutCreatingAnything) {
  RegKey k = nullptr;
  // Empty path components are the stand-in's to refuse; the real registry
  // has rules of its own for them.
  if (testsupport::kRegistryStandIn) {
    for (const char* bad : {"A\\\\B", "\\A"}) {
      EXPECT_EQ(reg_create_key_ex(kRegLocalMachine, bad, 0, kRegKeyAllAccess, &k, nullptr),
                kRegErrorInvalidParameter)
          << bad;
    }
    EXPECT_EQ(reg_open_key_ex(kRegLocalMachine, "A", 0, kRegKeyRead, &k), kRegErrorNotFound);
  }
  // A name one longer than the limit (wine takes a few more).
  const std::string too_long(kRegMaxKeyName + 1, 'x');
  const uint32_t r =
      reg_create_key_ex(kRegLocalMachine, too_long.c_str(), 0, kRegKeyAllAccess, &k, nullptr);
  if (!testsupport::running_under_wine()) {
    EXPECT_NE(r, 0u);
    EXPECT_NE(r, kRegErrorNotFound);
  }
  // In the stand-in a name of 255 characters, every one encoded to three,
  // cannot be a file name; it is refused rather than cut.
  const std::string wide(kRegMaxKeyName, '#');
  if (testsupport::kRegistryStandIn) {
    EXPECT_NE(reg_create_key_ex(kRegLocalMachine, wide.c_str(), 0, kRegKeyAllAccess, &k, nullptr),
              0u);
  }
  const std::string fits(kRegMaxKeyName, 'y');
  ASSERT_EQ(reg_create_key_ex(kRegLocalMachine, fits.c_str(), 0, kRegKeyAllAccess, &k, nullptr),
            0u);
  reg_close_key(k);
}

}  // namespace
