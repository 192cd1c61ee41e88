// varno-reg, run as the operator runs it, against the registry that the file
// layer and the store configuration read.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "storeconfig/store_config.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::RunResult;

const char kBackupKey[] = "HKLM\\SOFTWARE\\Quellmark\\VAR-NO";
const char kNodeKey[] = "HKLM\\Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG\\plant.site";

struct VarnoRegTest : ::testing::Test {
  // The tool inherits VARNO_HOME, and on Windows sees the machine's registry.
  testsupport::ScratchHome home{testsupport::Registry::kMachine};
  RunResult reg(const std::vector<std::string>& args) {
    return testsupport::run(testsupport::binary("varno-reg"), args, "");
  }
  void SetUp() override { snf_reset_state_for_tests(); }
  void TearDown() override { snf_reset_state_for_tests(); }
};

TEST_F(VarnoRegTest, TheBackupCountSetByTheToolIsWhatTheFileLayerReads) {
  RunResult r = reg({"set", kBackupKey, "VARNOStoreBckCopies", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(varno_s_file_backup_count(), 3u);
  r = reg({"get", "hklm\\software\\quellmark\\var-no", "varnostorebckcopies"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "3\n");
  r = reg({"delete", kBackupKey, "VARNOStoreBckCopies"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(varno_s_file_backup_count(), 0u);
}

TEST_F(VarnoRegTest, NodeLimitsSetByTheToolAreWhatTheServiceReads) {
  ASSERT_EQ(reg({"set", kNodeKey, "MaxSize", "1000"}).exit_code, 0);
  ASSERT_EQ(reg({"set", kNodeKey, "MaxPeriod", "0x15180"}).exit_code, 0);
  SnfDevice device{};
  std::snprintf(device.node, sizeof device.node, "plant.site");
  std::snprintf(device.dlgp, sizeof device.dlgp, "DEV1");
  SetSnfDevice(&device);
  int32_t size = 0, period = 0;
  VARNO_STATUS status;
  EXPECT_EQ(ReadRegSnfCfg("PLANT.SITE", &size, &period, &status), 1);
  EXPECT_EQ(size, 1000);
  EXPECT_EQ(period, 86400);

  // What the service writes, the tool lists.
  ASSERT_EQ(WriteRegSnfCfg("other", 5, 60, &status), 1);
  const RunResult r = reg({"list",
                           "HKEY_LOCAL_MACHINE\\Software\\Quellmark\\VAR-NO\\"
                           "VARNO_SCANNER_DEV1_CFG\\"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "HKEY_LOCAL_MACHINE\\Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG\n"
            "  other\\\n"
            "  plant.site\\\n");
  const RunResult values =
      reg({"list", "HKLM\\Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG\\other"});
  EXPECT_EQ(values.out,
            "HKEY_LOCAL_MACHINE\\Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG\\other\n"
            "  MaxPeriod = REG_DWORD 60 (0x0000003c)\n"
            "  MaxSize = REG_DWORD 5 (0x00000005)\n");
}

TEST_F(VarnoRegTest, NumbersAreDwordsInDecimalNegativeOrHex) {
  ASSERT_EQ(reg({"set", kNodeKey, "A", "-1"}).exit_code, 0);
  EXPECT_EQ(reg({"get", kNodeKey, "A"}).out, "4294967295\n");
  ASSERT_EQ(reg({"set", kNodeKey, "A", "-2147483648"}).exit_code, 0);
  EXPECT_EQ(reg({"get", kNodeKey, "A"}).out, "2147483648\n");
  ASSERT_EQ(reg({"set", kNodeKey, "A", "0xFFFFFFFF"}).exit_code, 0);
  EXPECT_EQ(reg({"get", kNodeKey, "A"}).out, "4294967295\n");
  ASSERT_EQ(reg({"set", kNodeKey, "A", "4294967295"}).exit_code, 0);
  for (const char* bad : {"", "12x", "x12", "4294967296", "-2147483649", "0x", "0x123456789", "1.5",
                          "+-1", "99999999999"}) {
    const RunResult r = reg({"set", kNodeKey, "A", bad});
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_NE(r.err.find("not a DWORD number: \"" + std::string(bad) +
                         "\" (NUMBER is 0 to 4294967295, -2147483648 to -1, or 0x and 1 to 8 hex "
                         "digits)"),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(reg({"get", kNodeKey, "A"}).out, "4294967295\n");  // nothing bad was written
}

TEST_F(VarnoRegTest, BadCommandLinesExitWithTwoAndTheUsage) {
  const struct {
    std::vector<std::string> args;
    std::string why;  // the first line on standard error
  } bad[] = {
      {{}, "no command given"},
      {{"list"}, "no key given"},
      {{"frob"}, "unknown command \"frob\""},
      {{"frob", kBackupKey}, "unknown command \"frob\""},
      {{"/h"}, "unknown command \"/h\""},
      {{"--bogus"}, "unknown option \"--bogus\""},
      {{"-?"}, "unknown option \"-?\""},
      {{"get", kBackupKey}, "wrong number of arguments for \"get\""},
      {{"set", kBackupKey, "V"}, "wrong number of arguments for \"set\""},
      {{"list", kBackupKey, "extra"}, "wrong number of arguments for \"list\""},
      {{"list", "HKXX\\SOFTWARE"}, "unknown root key \"HKXX\""},
      {{"list", "SOFTWARE\\Quellmark"}, "unknown root key \"SOFTWARE\""},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const RunResult r = reg(c.args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("varno-reg: " + c.why, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(VarnoRegTest, WhatIsMissingOrRefusedExitsWithOne) {
  RunResult r = reg({"get", kBackupKey, "VARNOStoreBckCopies"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "varno-reg: key HKEY_LOCAL_MACHINE\\SOFTWARE\\Quellmark\\VAR-NO: not found\n");
  ASSERT_EQ(reg({"set", kBackupKey, "Other", "1"}).exit_code, 0);
  r = reg({"get", kBackupKey, "VARNOStoreBckCopies"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "varno-reg: value \"VARNOStoreBckCopies\" of "
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quellmark\\VAR-NO: not found\n");
  EXPECT_EQ(reg({"delete", kBackupKey, "VARNOStoreBckCopies"}).exit_code, 1);
  // A key name longer than any registry takes.
  r = reg({"set", "HKLM\\SOFTWARE\\" + std::string(300, 'k'), "V", "1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("(code "), std::string::npos) << r.err;
}

}  // namespace
