#include "tests/hardening/hardening_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "fileaccess/file_access.h"
#include "report/report.h"
#include "tests/support/test_support.h"

namespace hardening {

uint32_t region_size(int32_t type) {
  return 2 * kHeaderBlockSize[type] + 8;
}

std::string storegen(const std::string& home, const std::string& path,
                     const std::vector<std::string>& options) {
  std::vector<std::string> args = {path};
  args.insert(args.end(), options.begin(), options.end());
  auto r =
      testsupport::run(testsupport::binary("varno-storegen"), args, "", {"VARNO_HOME=" + home});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  if (r.exit_code != 0) return "";
  return testsupport::read_file(path);
}

int open_descriptors() {
  return testsupport::open_descriptors();
}

CommandRun run_command(void (*command)(), const std::string& answers_path,
                       const std::string& answers, const std::vector<faults::Fault>& plan) {
  CommandRun run;
  testsupport::write_file(answers_path, answers);
  run.descriptors_before = open_descriptors();
  if (std::freopen(answers_path.c_str(), "r", stdin) == nullptr) {
    ADD_FAILURE() << "cannot read answers from " << answers_path;
    return run;
  }
  set_screen_capture(&run.screen);
  faults::install(plan);
  command();
  run.hits = faults::hits();
  run.calls = faults::all_calls();
  faults::remove();
  set_screen_capture(nullptr);
  if (std::freopen(testsupport::kNullDevice, "r", stdin) == nullptr) {
    ADD_FAILURE() << "cannot read standard input from " << testsupport::kNullDevice;
  }
  run.descriptors_after = open_descriptors();
  return run;
}

std::string encoded(const CommonHeader& header) {
  unsigned char block[kFixedBlockSize] = {};
  encode_common_header(header, block);
  return std::string(reinterpret_cast<const char*>(block), sizeof block);
}

HeaderReadBack read_back(const std::string& path) {
  HeaderReadBack back;
  VARNO_STATUS status;
  const int32_t fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &status);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return back;
  }
  CommonHeader header{};
  check_store_header(fd, &header, &back.check, &status);
  back.pairs = pairs_of(status);
  back.ok = back.pairs.empty();
  back.block = encoded(header);
  back.type = current_header_type();
  varno_s_file_close(fd, &status);
  return back;
}

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOld:
      return "old";
    case Verdict::kNew:
      return "new";
    case Verdict::kBothBad:
      return "both bad";
  }
  return "?";
}

Copy copy_state(const std::string& actual, const std::string& old_region,
                const std::string& new_region, uint32_t block_size, int which) {
  const size_t at = which == 0 ? 0 : block_size + 4;
  const size_t n = block_size + 4;
  const std::string copy = actual.substr(at, n);
  if (copy == old_region.substr(at, n)) return Copy::kOld;
  if (copy == new_region.substr(at, n)) return Copy::kNew;
  return Copy::kTorn;
}

Expected expected_read(Copy primary, Copy backup) {
  if (primary == Copy::kTorn && backup == Copy::kTorn) {
    return {Verdict::kBothBad, kBothBad};
  }
  if (primary == Copy::kTorn) {
    return {backup == Copy::kOld ? Verdict::kOld : Verdict::kNew, kPrimaryBad};
  }
  if (backup == Copy::kTorn) {
    return {primary == Copy::kOld ? Verdict::kOld : Verdict::kNew, kBackupBad};
  }
  if (primary != backup) return {Verdict::kBothBad, kBothBad};
  return {primary == Copy::kOld ? Verdict::kOld : Verdict::kNew, kBlocksOk};
}

}  // namespace hardening
