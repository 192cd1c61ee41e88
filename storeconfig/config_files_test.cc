// Current limits, scanner configuration files and their conversion into
// registry values, with the debug-log lines read back exactly.
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "storeconfig/store_config.h"
#include "storeconfig/store_config_testing.h"

namespace {

using snftest::Pairs;
using snftest::pairs;
using testsupport::file_exists;
using testsupport::write_file;
using Lines = std::vector<std::string>;

const std::string kKey = "Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG";

struct ConfigFilesTest : snftest::StoreConfigTest {
  std::string cfg;
  void SetUp() override {
    StoreConfigTest::SetUp();
    use_device("plant", "DEV1");
    cfg = home.home() + "VARNO_SCANNER_DEV1.CFG";
  }
  int32_t stored(const char* name) {
    int32_t value = 0;
    return get_dword("DEV1", "plant", name, &value) ? value : -99;
  }
  std::string created(const char* name, int32_t value) const {
    return "[WriteRegSnfCfg] [Creating key value=[" + kKey + "\\plant\\" + name + "] = [" +
           std::to_string(value) + "] Old=[-1] for client node=[plant]]";
  }
  std::string converting(const char* name, int32_t value) const {
    return "[DEV1] [Warning: Converting Store file configuration value in file [" + cfg + "], " +
           name + "=[" + std::to_string(value) +
           "] to a registry value for requesting node=[plant]]";
  }
  std::string removed(int32_t size, int32_t period) const {
    return "[DEV1] [Store file configuration " + cfg +
           " has been removed, assumed registry values. MaxSize=[" + std::to_string(size) +
           "], MaxPeriod=[" + std::to_string(period) + "] for requesting node=[plant]]";
  }
};

uint32_t g_code = 0;

TEST_F(ConfigFilesTest, AnotherDlgpsSectionOnlyConvertsTheCurrentValues) {
  write_file(cfg, "[DEV2]\nmax_size=5\nmax_period=01:00:00\n");
  LoadSnfCfg("plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_EQ(stored("MaxSize"), 0);
  EXPECT_EQ(stored("MaxPeriod"), 86400);
  EXPECT_EQ(debug_log(),
            (Lines{converting("MaxSize", 0), converting("MaxPeriod", 86400), created("MaxSize", 0),
                   created("MaxPeriod", 86400), removed(0, 86400)}));
}

TEST_F(ConfigFilesTest, TheSectionEndsAtTheNextSectionLine) {
  write_file(cfg, "\n[DEV1]\n\nmax_size=100\n[DEV1]\nmax_size=200\nmax_period=00:00:01\n");
  LoadSnfCfg("plant", &status);
  EXPECT_EQ(stored("MaxSize"), 100);
  EXPECT_EQ(stored("MaxPeriod"), 86400);
}

TEST_F(ConfigFilesTest, ASectionLineWithoutANameEndsTheReading) {
  write_file(cfg, "[DEV2]\nmax_size=5\n[]\n[DEV1]\nmax_size=7\n");
  LoadSnfCfg("plant", &status);
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_EQ(stored("MaxSize"), 0);
}

TEST_F(ConfigFilesTest, ABlankBeforeTheEqualsSignIsAnUnknownKeyAndStopsReading) {
  write_file(cfg, "[DEV1]\nmax_period=01:00:00\nmax_size =100\nmax_size=5\n");
  LoadSnfCfg("plant", &status);
  // What was read before the bad line is converted; the file goes.
  EXPECT_EQ(stored("MaxSize"), 0);
  EXPECT_EQ(stored("MaxPeriod"), 3600);
  EXPECT_FALSE(file_exists(cfg));
}

TEST_F(ConfigFilesTest, BlanksAfterTheEqualsSignAreSkipped) {
  // The last line has no line feed; the end of the file still applies it.
  write_file(cfg, "[OTHER]\nmax_size=1\n[DEV1]\nmax_period=  02:00:30\nmax_size=   42");
  LoadSnfCfg("plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_EQ(debug_log(),
            (Lines{converting("MaxSize", 42), converting("MaxPeriod", 7230), created("MaxSize", 42),
                   created("MaxPeriod", 7230), removed(42, 7230)}));
}

TEST_F(ConfigFilesTest, ACompleteRegistryWinsOverAFileThatIsThenRemoved) {
  put_dword("DEV1", "PLANT", "MaxSize", 11);
  put_dword("DEV1", "PLANT", "MaxPeriod", 22);
  write_file(cfg, "[DEV1]\nmax_size=5\nmax_period=00:00:05\n");
  LoadSnfCfg("plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_EQ(debug_log(),
            (Lines{"[DEV1] [Warning: store file configuration " + cfg +
                       " deprecated, assumed registry values for requesting node=[plant]. "
                       "MaxSize=[11], MaxPeriod=[22]]",
                   removed(11, 22)}));
  int32_t value = 0;
  ASSERT_TRUE(get_dword("DEV1", "plant", "MaxSize", &value));
  EXPECT_EQ(value, 11);
}

TEST_F(ConfigFilesTest, RegistryValuesOverrideTheFileOneByOne) {
  put_dword("DEV1", "plant", "MaxSize", 77);
  write_file(cfg, "[DEV1]\nmax_size=5\nmax_period=00:10:00\n");
  LoadSnfCfg("plant", &status);
  EXPECT_EQ(debug_log(),
            (Lines{"[DEV1] [Warning: Overriding Store file configuration value in file [" + cfg +
                       "], MaxSize=[5] with registry value=[77] for requesting node=[plant]]",
                   converting("MaxPeriod", 600),
                   "[WriteRegSnfCfg] [Modifying key value=[" + kKey +
                       "\\plant\\MaxPeriod] = [600] Old=[-1] for client node=[plant]]",
                   removed(77, 600)}));
  EXPECT_EQ(stored("MaxSize"), 77);
  EXPECT_EQ(stored("MaxPeriod"), 600);
}

TEST_F(ConfigFilesTest, WithoutAFileTheRegistryOrTheDefaultsApply) {
  put_dword("DEV1", "plant", "MaxSize", 10);
  LoadSnfCfg("plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_EQ(debug_log(),
            (Lines{"[DEV1] [Warning: No store file configuration file=[" + cfg +
                       "] assumed registry value for MaxSize=[10] for requesting node=[plant]]",
                   "[DEV1] [Warning: No store file configuration file=[" + cfg +
                       "] or registry value for MaxPeriod, assumming program default=[86400] for "
                       "requesting node=[plant]]",
                   "[WriteRegSnfCfg] [Modifying key value=[" + kKey +
                       "\\plant\\MaxPeriod] = [86400] Old=[-1] for client node=[plant]]"}));

  // A complete registry: taken silently.
  clear_debug_log();
  put_dword("DEV1", "node2", "MaxSize", 1);
  put_dword("DEV1", "node2", "MaxPeriod", 2);
  LoadSnfCfg("node2", &status);
  EXPECT_TRUE(debug_log().empty());
  SnfCfgValues values{0, 9, 0, 0};
  SetSnfCfg(&values, "x", &status);  // the current limits are what was loaded
  EXPECT_EQ(GetSnfMaxSize("x"), 0);
}

TEST_F(ConfigFilesTest, AMissingFileIsLookedForOnceButASaveStillRemovesIt) {
  LoadSnfCfg("plant", &status);
  EXPECT_EQ(debug_log(),
            (Lines{"[DEV1] [Warning: No store file configuration file=[" + cfg +
                       "] or registry value for MaxSize, assumming program default=[0] for "
                       "requesting node = [plant]]",
                   "[DEV1] [Warning: No store file configuration file=[" + cfg +
                       "] or registry value for MaxPeriod, assumming program default=[86400] for "
                       "requesting node=[plant]]",
                   created("MaxSize", 0), created("MaxPeriod", 86400)}));
  write_file(cfg, "[DEV1]\nmax_size=5\n");
  clear_debug_log();
  LoadSnfCfg("plant", &status);
  EXPECT_TRUE(file_exists(cfg));  // not looked for again
  EXPECT_EQ(stored("MaxSize"), 0);
  EXPECT_TRUE(debug_log().empty());

  SnfCfgValues values{0, 1, 300, 400};
  SetSnfCfg(&values, "plant", &status);
  SaveSnfCfg("plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_EQ(stored("MaxSize"), 300);
  EXPECT_EQ(stored("MaxPeriod"), 400);
  const Lines log = debug_log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "[DEV1] [Store file configuration " + cfg +
                        " file has been removed during a save, new values will be saved to "
                        "registry. MaxSize=[300], MaxPeriod=[400]]");
}

TEST_F(ConfigFilesTest, GettersReadTheRegistryOnceAndGiveMinusOneForAbsentValues) {
  put_dword("DEV1", "plant", "MaxSize", 123);
  put_dword("DEV1", "plant", "MaxPeriod", 456);
  EXPECT_EQ(GetSnfMaxSize("nobody"), -1);
  EXPECT_EQ(GetSnfMaxPeriod("NOBODY"), -1);  // the cache holds "nobody"
  EXPECT_EQ(GetSnfMaxPeriod("Plant"), 456);
  put_dword("DEV1", "plant", "MaxSize", 999);
  EXPECT_EQ(GetSnfMaxSize("PLANT"), 123);  // cached, the registry is not read again

  SnfCfgValues values{0, 1, 5, 6};
  SetSnfCfg(&values, "other", &status);
  EXPECT_EQ(GetSnfMaxSize("OTHER"), 5);
  EXPECT_EQ(GetSnfMaxPeriod("other"), 6);
  EXPECT_EQ(GetSnfMaxSize("plant"), 999);
}

TEST_F(ConfigFilesTest, AFailedRegistryWriteKeepsTheFile) {
  write_file(cfg, "[DEV1]\nmax_size=5\nmax_period=00:01:00\n");
  platform::system_calls().registry.set_value_ex = [](platform::RegKey, const char*, uint32_t,
                                                      const void*, uint32_t) { return g_code; };
  g_code = ENOSPC;
  LoadSnfCfg("plant", &status);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13615}}));
  EXPECT_TRUE(file_exists(cfg));
  for (const std::string& line : debug_log()) {
    EXPECT_EQ(line.find("has been removed"), std::string::npos) << line;
  }

  // An update stops at the failed load and saves nothing.
  SnfCfgValues values{0, 1, 8, 9};
  UpdateSnfCfg(&values, "plant", &status);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13615}, {13, 13100}}));
  EXPECT_TRUE(file_exists(cfg));

  // Once the registry takes values again, the file's values get there.
  platform::restore_system_calls();
  LoadSnfCfg("plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_EQ(stored("MaxSize"), 5);
  EXPECT_EQ(stored("MaxPeriod"), 60);
}

TEST_F(ConfigFilesTest, UpdateLoadsSetsAndSaves) {
  write_file(cfg, "[DEV1]\nmax_size=5\n");
  SnfCfgValues values{0, 1, 8, 9};
  UpdateSnfCfg(&values, "plant", &status);
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_EQ(stored("MaxSize"), 8);
  EXPECT_EQ(stored("MaxPeriod"), 9);
  EXPECT_EQ(GetSnfMaxSize("plant"), 8);

  // A save with an incomplete device record ends with the writer's pairs.
  use_device("plant", "");
  UpdateSnfCfg(&values, "plant", &status);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13117}, {13, 13113}, {13, 13100}}));
  SaveSnfCfg("plant", &status);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13117}, {13, 13113}}));
}

TEST_F(ConfigFilesTest, AFileThatCannotBeOpenedIsRecorded) {
  // A directory under the file's name exists but is no file to read.
  ASSERT_TRUE(std::filesystem::create_directory(cfg));
  put_dword("DEV1", "plant", "MaxSize", 1);
  put_dword("DEV1", "plant", "MaxPeriod", 2);
  LoadSnfCfg("plant", &status);
  EXPECT_EQ(pairs(status),
            (Pairs{{1, testsupport::kErrnoOpenDirectory}, {13, 13153}, {13, 13112}}));
  EXPECT_EQ(GetSnfMaxSize("elsewhere"), -1);
}

TEST_F(ConfigFilesTest, ReadCfgLineSplitsLongLinesAndStopsAtTheEnd) {
  write_file(cfg, std::string(300, 'a') + "\nshort\n\xff" + "after");
  VARNO_STATUS open_status;
  const int32_t fd = varno_s_file_open(cfg.c_str(), kOpenText, &open_status);
  ASSERT_GE(fd, 0);
  char line[256];
  EXPECT_EQ(ReadCfgLine(fd, line, sizeof line, &status), 0);
  EXPECT_EQ(std::string(line), std::string(255, 'a'));
  EXPECT_EQ(ReadCfgLine(fd, line, sizeof line, &status), 0);
  EXPECT_EQ(std::string(line), std::string(45, 'a'));
  EXPECT_EQ(ReadCfgLine(fd, line, sizeof line, &status), 0);
  EXPECT_STREQ(line, "short");
  EXPECT_EQ(ReadCfgLine(fd, line, sizeof line, &status), 1);  // 0xFF ends the file
  EXPECT_STREQ(line, "");
  EXPECT_EQ(ReadCfgLine(fd, line, 1, &status), 1);  // no room: no endless loop
  varno_s_file_close(fd, &open_status);

  write_file(cfg, "last");
  const int32_t fd2 = varno_s_file_open(cfg.c_str(), kOpenText, &open_status);
  ASSERT_GE(fd2, 0);
  EXPECT_EQ(ReadCfgLine(fd2, line, sizeof line, &status), 1);
  EXPECT_STREQ(line, "last");
  varno_s_file_close(fd2, &open_status);
}

TEST_F(ConfigFilesTest, PeriodsAndSizes) {
  EXPECT_EQ(ParseSnfPeriod("01:30:00", &status), 5400);
  EXPECT_EQ(ParseSnfPeriod("02:00:30", &status), 7230);
  EXPECT_EQ(ParseSnfPeriod(" -1:+30:5x", &status), -3600 + 1800 + 5);
  EXPECT_EQ(ParseSnfPeriod("01:30", &status), 5400);  // no seconds field
  EXPECT_TRUE(pairs(status).empty());
  EXPECT_EQ(ParseSnfPeriod("", &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13115}}));
  EXPECT_EQ(ParseSnfPeriod(":::", &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13115}}));
  EXPECT_EQ(ParseSnfPeriod("5400", &status), 0);
  EXPECT_EQ(pairs(status), (Pairs{{13, 13116}}));

  // Overflow wraps as 32-bit two's complement.
  EXPECT_EQ(ParseSnfPeriod("596524:00:00", &status), -2147480896);
  EXPECT_EQ(ParseSnfPeriod("99999999999:99999999999:99999999999", &status), 1282652595);
  status.error[0] = 77;  // the size parser leaves the block alone
  EXPECT_EQ(ParseSnfSize("  -42abc", &status), -42);
  EXPECT_EQ(status.error[0], 77);
  EXPECT_EQ(ParseSnfSize("+7", &status), 7);
  EXPECT_EQ(ParseSnfSize("x", &status), 0);
  EXPECT_EQ(ParseSnfSize("2147483648", &status), -2147483647 - 1);
  EXPECT_EQ(ParseSnfSize("4294967296", &status), 0);
  EXPECT_EQ(ParseSnfSize("99999999999", &status), 1215752191);
  EXPECT_EQ(ParseSnfSize("-2147483649", &status), 2147483647);
}

TEST_F(ConfigFilesTest, AMalformedPeriodSetsZero) {
  write_file(cfg, "[DEV1]\nmax_period=3600\nmax_size=9\n");
  LoadSnfCfg("plant", &status);
  EXPECT_EQ(stored("MaxPeriod"), 0);
  EXPECT_EQ(stored("MaxSize"), 9);
}

}  // namespace
