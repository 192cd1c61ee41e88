// Removal with backup copies: the number kept comes from the registry, copies
// move up one number, the file becomes copy 01, and every failed step is one
// message-log line.
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::file_exists;
using testsupport::read_file;
using testsupport::write_file;

void set_registry_value(const void* data, uint32_t size, uint32_t type) {
  platform::RegKey key = nullptr;
  ASSERT_EQ(platform::reg_create_key_ex(platform::kRegLocalMachine, "SOFTWARE\\Quellmark\\VAR-NO",
                                        0, platform::kRegKeyAllAccess, &key, nullptr),
            0u);
  ASSERT_EQ(platform::reg_set_value_ex(key, "VARNOStoreBckCopies", type, data, size), 0u);
  platform::reg_close_key(key);
}

void set_copies(uint32_t copies) {
  set_registry_value(&copies, 4, platform::kRegDword);
}

struct BackupTest : ::testing::Test {
  testsupport::ScratchHome home;
  std::string path = home.file("VARNO_STORE_plant.DEV1");
  VARNO_STATUS status;

  std::string copy(int n) const {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "_BCK%02d", n);
    return path + suffix;
  }
  std::vector<std::string> message_log() const {
    return testsupport::log_entries(home.home() + "varno_message.log");
  }
  bool clean() const { return status.error[0] == -1; }
};

TEST_F(BackupTest, NoCopiesConfiguredOnlyRemovesTheFile) {
  write_file(path, "data");
  write_file(copy(1), "old");
  EXPECT_EQ(varno_s_file_backup_count(), 0u);  // no key at all
  varno_s_file_remove(path.c_str(), 1, &status);
  EXPECT_TRUE(clean());
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(read_file(copy(1)), "old");
  EXPECT_FALSE(file_exists(copy(2)));

  set_copies(0);
  write_file(path, "data");
  varno_s_file_remove(path.c_str(), 1, &status);
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(read_file(copy(1)), "old");
}

TEST_F(BackupTest, OnlyTheSwitchValueOneAsksForCopies) {
  set_copies(3);
  for (int32_t sw : {0, 2, -1}) {
    write_file(path, "data");
    varno_s_file_remove(path.c_str(), sw, &status);
    EXPECT_TRUE(clean()) << sw;
    EXPECT_FALSE(file_exists(path)) << sw;
    EXPECT_FALSE(file_exists(copy(1))) << sw;
  }
}

TEST_F(BackupTest, WithOneCopyTheFileReplacesTheOldCopy) {
  set_copies(1);
  write_file(path, "new");
  write_file(copy(1), "old");
  varno_s_file_remove(path.c_str(), 1, &status);
  EXPECT_TRUE(clean());
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(read_file(copy(1)), "new");
  EXPECT_FALSE(file_exists(copy(2)));
  EXPECT_TRUE(message_log().empty());
}

TEST_F(BackupTest, AGapInTheNumbersMovesUpByOne) {
  set_copies(3);
  write_file(path, "file");
  write_file(copy(1), "one");
  write_file(copy(3), "three");
  varno_s_file_remove(path.c_str(), 1, &status);
  EXPECT_TRUE(clean());
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(read_file(copy(1)), "file");
  EXPECT_EQ(read_file(copy(2)), "one");
  EXPECT_FALSE(file_exists(copy(3)));
  EXPECT_TRUE(message_log().empty());
}

TEST_F(BackupTest, CountsAboveTenKeepTenCopies) {
  for (uint32_t value : {25u, 4294967295u}) {
    set_copies(value);
    EXPECT_EQ(varno_s_file_backup_count(), 10u) << value;
  }
  for (int n = 1; n <= 10; ++n) write_file(copy(n), "copy" + std::to_string(n));
  write_file(path, "file");
  varno_s_file_remove(path.c_str(), 1, &status);
  EXPECT_TRUE(clean());
  EXPECT_EQ(read_file(copy(1)), "file");
  for (int n = 2; n <= 10; ++n) EXPECT_EQ(read_file(copy(n)), "copy" + std::to_string(n - 1));
  EXPECT_FALSE(file_exists(path + "_BCK11"));
}

TEST_F(BackupTest, RegistryDataOfOtherLengths) {
  const unsigned char eight[8] = {3, 0, 0, 0, 0, 0, 0, 0};
  set_registry_value(eight, 8, platform::kRegBinary);
  EXPECT_EQ(varno_s_file_backup_count(), 0u);  // does not fit the 4-byte cell
  const unsigned char one[1] = {4};
  set_registry_value(one, 1, platform::kRegBinary);
  EXPECT_EQ(varno_s_file_backup_count(), 4u);  // fills the low byte
}

TEST_F(BackupTest, ACopyThatCannotBeOpenedStopsTheRotationAndTheFileIsKept) {
  set_copies(3);
  write_file(path, "file");
  write_file(copy(1), "one");
  // A directory: the name is taken, but no file can be opened under it.
  ASSERT_TRUE(fs::create_directory(copy(2)));
  varno_s_file_remove(path.c_str(), 1, &status);

  const std::vector<std::string> log = message_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "[XXX] Error renaming file " + copy(1) +
                        "\nStatus=" + std::to_string(platform::kErrorAlreadyExists));
  // Nothing was lost: the file is still there and the caller is told.
  EXPECT_EQ(read_file(path), "file");
  EXPECT_EQ(read_file(copy(1)), "one");
  EXPECT_EQ(status.facility[0], 13);
  EXPECT_EQ(status.error[0], 13157);
  EXPECT_EQ(status.error[1], -1);
  EXPECT_EQ(varno_s_file_backup(path.c_str(), 3), 0);
}

TEST_F(BackupTest, AnOccupiedFirstCopyNameStopsTheLastRename) {
  set_copies(2);
  write_file(path, "file");
  ASSERT_TRUE(fs::create_directory(copy(1)));
  varno_s_file_remove(path.c_str(), 1, &status);
  const std::vector<std::string> log = message_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "[XXX] Error renaming file " + copy(1) +
                        "\nStatus=" + std::to_string(platform::kErrorAlreadyExists));
  EXPECT_EQ(read_file(path), "file");
  EXPECT_EQ(status.error[0], 13157);
}

TEST_F(BackupTest, TheSuffixFollowsTheCfgExtension) {
  set_copies(2);
  const std::string cfg = home.file("VARNO_SCANNER_D1.CFG");
  write_file(cfg, "[D1]\n");
  write_file(cfg + "_BCK01", "older");
  varno_s_file_remove(cfg.c_str(), 1, &status);
  EXPECT_TRUE(clean());
  EXPECT_EQ(read_file(cfg + "_BCK01"), "[D1]\n");
  EXPECT_EQ(read_file(cfg + "_BCK02"), "older");
  EXPECT_FALSE(file_exists(cfg));
}

TEST_F(BackupTest, AMissingFileIsNoFailureButItsCopiesStillMove) {
  varno_s_file_remove(path.c_str(), 0, &status);
  EXPECT_TRUE(clean());

  set_copies(2);
  write_file(copy(1), "one");
  varno_s_file_remove(path.c_str(), 1, &status);
  EXPECT_TRUE(clean());
  EXPECT_EQ(read_file(copy(2)), "one");
  EXPECT_FALSE(file_exists(copy(1)));
  const std::vector<std::string> log = message_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "[XXX] Error renaming file " + copy(1) +
                        "\nStatus=" + std::to_string(platform::kErrorNotFound));
}

TEST_F(BackupTest, OtherRemovalFailuresAreRecorded) {
  write_file(path, "file");
  const std::string below_a_file = path + "/x";  // the parent is no directory
  status.error[0] = 99;                          // cleared on entry
  varno_s_file_remove(below_a_file.c_str(), 0, &status);
  EXPECT_EQ(status.facility[0], 13);
  EXPECT_EQ(status.error[0], 13157);
  EXPECT_EQ(status.error[1], -1);

  varno_s_file_remove(path.c_str(), 0, nullptr);
  EXPECT_TRUE(file_exists(path));  // no block, nothing done
}

}  // namespace
