// LoadSnfCfg on an arbitrary scanner configuration file. Each input starts
// from the layer's start state with the device record NODE1 / DEV1, no limits
// of NODE1 in the registry and a fresh debug log, so every run reads the file
// (a load that finds no file never looks again in this process) and every run
// takes the same path for the same bytes.
//
// Checked beyond the sanitizers: the file goes only once its values are in
// the registry, so a load that records nothing has removed it, and a file
// still present afterwards comes with a recorded pair; every pair is the
// store layer's own (facility 13).
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/registry.h"
#include "storeconfig/store_config.h"

namespace {

constexpr char kNode[] = "NODE1";
constexpr char kNodeKey[] = "Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_DEV1_CFG\\NODE1";

bool file_exists(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// Takes both limits of NODE1 out of the registry.
void forget_registry_limits() {
  platform::RegKey key = nullptr;
  if (platform::reg_open_key_ex(platform::kRegLocalMachine, kNodeKey, 0, platform::kRegKeyAllAccess,
                                &key) != 0) {
    return;
  }
  platform::reg_delete_value(key, "MaxSize");
  platform::reg_delete_value(key, "MaxPeriod");
  platform::reg_close_key(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& home = fuzzsupport::home();
  // The load logs a few lines per run; a long run must not fill the disk.
  fuzzsupport::write_input("varno_debug.log", nullptr, 0);
  snf_reset_state_for_tests();
  SnfDevice device{};
  std::snprintf(device.node, sizeof device.node, "%s", kNode);
  std::snprintf(device.dlgp, sizeof device.dlgp, "%s", "DEV1");
  SetSnfDevice(&device);
  forget_registry_limits();

  const std::string file = ScannerCfgFileName(&device);
  FUZZ_CHECK(file.compare(0, home.size(), home) == 0);
  fuzzsupport::write_input(file.c_str() + home.size(), data, size);

  VARNO_STATUS status;
  LoadSnfCfg(kNode, &status);
  const bool present = file_exists(file.c_str());
  if (!varno_failed(status)) FUZZ_CHECK(!present);
  if (present) FUZZ_CHECK(varno_failed(status));
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    FUZZ_CHECK(status.facility[i] == VARNO_FACILITY_STORE);
  }
  return 0;
}
