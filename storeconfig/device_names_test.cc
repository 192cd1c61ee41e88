// The device record and the names of the service's files.
#include <string>

#include <gtest/gtest.h>

#include "storeconfig/store_config.h"
#include "storeconfig/store_config_testing.h"

namespace {

using snftest::device;
using snftest::Pairs;
using snftest::pairs;

struct DeviceNamesTest : snftest::StoreConfigTest {};

TEST_F(DeviceNamesTest, TheRecordIsCheckedForBothNames) {
  // At start the record is all zero.
  EXPECT_EQ(pairs(([&] {
              CheckSnfDevice(&status);
              return status;
            })()),
            (Pairs{{13, 13117}}));
  use_device("plant", "");
  CheckSnfDevice(&status);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13117}}));
  use_device("", "DEV1");
  const SnfDevice returned = CheckSnfDevice(&status);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13117}}));
  EXPECT_STREQ(returned.dlgp, "DEV1");  // returned all the same
  use_device("plant", "DEV1");
  status.error[0] = 5;  // cleared on entry
  const SnfDevice current = CheckSnfDevice(&status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_STREQ(current.node, "plant");
}

TEST_F(DeviceNamesTest, StoreFileNameOfADottedNodeInTheEnvironmentDirectory) {
  const SnfDevice d = device("a.b.c", "D1");
  EXPECT_EQ(std::string(StoreFileName(&d)), home.home() + "VARNO_STORE_a_b_c.D1");
  // The record itself is not changed.
  EXPECT_STREQ(d.node, "a.b.c");
}

TEST_F(DeviceNamesTest, StoreDirectoryGetsOneBackslash) {
  const SnfDevice d = device("plant.site", "DEV1");
  ASSERT_TRUE(SetStoreDir("D:\\store"));
  EXPECT_STREQ(StoreFileName(&d), "D:\\store\\VARNO_STORE_plant_site.DEV1");
  ASSERT_TRUE(SetStoreDir("D:\\sf\\"));
  EXPECT_STREQ(StoreFileName(&d), "D:\\sf\\VARNO_STORE_plant_site.DEV1");
  // Only a trailing backslash counts: a POSIX separator still gets one.
  ASSERT_TRUE(SetStoreDir("/srv/store/"));
  EXPECT_STREQ(StoreFileName(&d), "/srv/store/\\VARNO_STORE_plant_site.DEV1");
  ASSERT_TRUE(SetStoreDir(""));
  EXPECT_EQ(std::string(StoreFileName(&d)), home.home() + "VARNO_STORE_plant_site.DEV1");
}

TEST_F(DeviceNamesTest, ConfigurationAndListFilesLiveInTheEnvironmentDirectory) {
  const SnfDevice d = device("plant", "D1");
  ASSERT_TRUE(SetStoreDir("/elsewhere/"));  // not used by these
  EXPECT_EQ(std::string(ScannerCfgFileName(&d)), home.home() + "VARNO_SCANNER_D1.CFG");
  EXPECT_EQ(std::string(ScanListFileName(&d)), home.home() + "VARNO_SCAN_LIST.D1");
  EXPECT_EQ(std::string(UnsolListFileName(&d)), home.home() + "VARNO_UNSOL_LIST.D1");
  EXPECT_EQ(std::string(StoreListFileName(&d)), home.home() + "VARNO_STORE_LIST.D1");
}

TEST_F(DeviceNamesTest, FullWidthNamesWithoutTerminatorAreTakenWhole) {
  const std::string node32 = "n.234567890123456789012345678901";
  const std::string dlgp32 = "D2345678901234567890123456789012";
  ASSERT_EQ(node32.size(), 32u);
  ASSERT_EQ(dlgp32.size(), 32u);
  SnfDevice d{};
  std::memcpy(d.node, node32.data(), 32);
  std::memcpy(d.dlgp, dlgp32.data(), 32);
  EXPECT_EQ(std::string(StoreFileName(&d)),
            home.home() + "VARNO_STORE_n_234567890123456789012345678901." + dlgp32);
  EXPECT_EQ(std::string(ScannerCfgFileName(&d)), home.home() + "VARNO_SCANNER_" + dlgp32 + ".CFG");
  SetSnfDevice(&d);
  CheckSnfDevice(&status);
  EXPECT_TRUE(pairs(status).empty());
}

TEST_F(DeviceNamesTest, OverLongStoreDirectoryIsRefusedAndLongNamesAreNotCut) {
  const std::string longest(kSnfStoreDirSize - 2, 'd');
  ASSERT_TRUE(SetStoreDir(longest.c_str()));
  EXPECT_FALSE(SetStoreDir((longest + "x").c_str()));
  char buffer[kSnfStoreDirSize];
  GetStoreDir(buffer);
  EXPECT_EQ(std::string(buffer), longest);  // unchanged by the refused call
  const SnfDevice d = device("plant", "DEV1");
  EXPECT_EQ(std::string(StoreFileName(&d)), longest + "\\VARNO_STORE_plant.DEV1");
}

TEST_F(DeviceNamesTest, CaseAndDotHelpers) {
  char text[] = "abc.XYZ-09_\xe9z";
  EXPECT_EQ(UpperCase(text), text);
  EXPECT_STREQ(text, "ABC.XYZ-09_\xe9Z");
  char dots[40];
  std::memset(dots, '.', sizeof dots);
  dots[39] = '\0';
  DotsToUnderscores(dots);
  EXPECT_EQ(std::string(dots), std::string(32, '_') + std::string(7, '.'));
  char short_text[] = "a.b\0.c";
  DotsToUnderscores(short_text);
  EXPECT_EQ(std::string(short_text, 6), std::string("a_b\0.c", 6));
}

}  // namespace
