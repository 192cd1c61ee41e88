// The per-node limits in the registry: ReadRegSnfCfg and WriteRegSnfCfg.
//
// Key paths and log texts are built in strings sized to fit, so no client
// node name can overrun them; a node name the registry itself refuses (longer
// than a key name may be) makes the key creation fail, which is logged and
// recorded like any other failed creation.
#include <cstdint>
#include <string>

#include "fileaccess/file_access.h"
#include "platform/registry.h"
#include "storeconfig/store_config.h"
#include "storeconfig/store_config_internal.h"

namespace {

using platform::RegKey;

const char* const kReader = "ReadRegSnfCfg";
const char* const kWriter = "WriteRegSnfCfg";
// The writer's record check logs under this spelling; operators' log filters
// know it.
const char* const kWriterCheck = "WriteRegSnFCfg";

std::string config_key_path(const SnfDevice& device) {
  return "Software\\Quellmark\\VAR-NO\\VARNO_SCANNER_" + snf_name(device.dlgp) + "_CFG";
}

// ASCII letters compared without regard to case, as the registry compares
// key names.
bool same_node(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char ca = *a, cb = *b;
    if (ca >= 'a' && ca <= 'z') ca = static_cast<char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<char>(cb - 'a' + 'A');
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

// A DWORD value into a 4-byte cell preset to 0 (shorter data fill only its
// low bytes); the type is not examined. 0 or the query's code.
uint32_t query_limit(RegKey key, const char* name, int32_t* out) {
  unsigned char cell[4] = {0, 0, 0, 0};
  uint32_t size = sizeof cell;
  const uint32_t code = platform::reg_query_value_ex(key, name, nullptr, cell, &size);
  if (code == 0) {
    const uint32_t word = uint32_t{cell[0]} | (uint32_t{cell[1]} << 8) | (uint32_t{cell[2]} << 16) |
                          (uint32_t{cell[3]} << 24);
    *out = static_cast<int32_t>(word);
  }
  return code;
}

uint32_t set_limit(RegKey key, const char* name, int32_t value) {
  const auto word = static_cast<uint32_t>(value);
  const unsigned char cell[4] = {
      static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
      static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 24)};
  return platform::reg_set_value_ex(key, name, platform::kRegDword, cell, sizeof cell);
}

const char* verb(uint32_t disposition) {
  return disposition == platform::kRegOpenedExistingKey ? "Modifying" : "Creating";
}

}  // namespace

int32_t ReadRegSnfCfg(const char* node, int32_t* max_size, int32_t* max_period,
                      VARNO_STATUS* status) {
  int32_t result = 1;
  const uint32_t view = GetVarnoRegSamViewFlag();
  VARNO_STATUS local;
  if (status == nullptr) status = &local;
  VARNO_CLIENT_INITBLK(status);
  int32_t size_cell = -1, period_cell = -1;
  if (max_size == nullptr) max_size = &size_cell;
  if (max_period == nullptr) max_period = &period_cell;
  if (node == nullptr) node = "";
  *max_size = -1;
  *max_period = -1;

  const SnfDevice device = CheckSnfDevice(status);
  if (varno_failed(*status)) {
    const std::string text = snf_format(
        "Bad DLGP name, could not retrieve store file config in registry, assumed Max Size=[%d], "
        "Max Period=[%d] for client node=[%s]",
        *max_size, *max_period, node);
    LogWntError(kReader, text.c_str(), 0);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfBadDevice, status);
    return 0;
  }

  const std::string path = config_key_path(device);
  RegKey config = nullptr;
  RegKey node_key = nullptr;
  uint32_t code = platform::reg_open_key_ex(platform::kRegLocalMachine, path.c_str(), 0,
                                            platform::kRegKeyRead | view, &config);
  if (code != 0) {
    config = nullptr;
    if (code != platform::kRegErrorNotFound) {
      LogWntError(kReader, snf_format("Error %s key=[%s]", "Opening", path.c_str()).c_str(), code);
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegOpen, status);
      result = 0;
    }
  } else {
    uint32_t subkeys = 0;
    code = platform::reg_query_info_key(config, &subkeys, nullptr, nullptr, nullptr, nullptr);
    if (code != 0) {
      if (code != platform::kRegErrorNotFound) {
        LogWntError(kReader, snf_format("Error %s key=[%s]", "Enumerating", path.c_str()).c_str(),
                    code);
        VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegOpen, status);
        result = 0;
      }
      subkeys = 0;
    }
    // A subkey name has at most 259 characters here; a longer one fails its
    // enumeration call rather than overrun the buffer.
    char name[260];
    bool found = false;
    for (uint32_t index = 0; index < subkeys && !found; ++index) {
      uint32_t name_size = sizeof name;
      code = platform::reg_enum_key_ex(config, index, name, &name_size);
      if (code != 0) {
        if (code != platform::kRegErrorNotFound) result = 0;
        break;
      }
      found = same_node(name, node);
    }
    if (found) {
      code = platform::reg_open_key_ex(config, name, 0, platform::kRegKeyRead | view, &node_key);
      if (code != 0) {
        node_key = nullptr;
        if (code != platform::kRegErrorNotFound) result = 0;
      }
    }
    if (node_key != nullptr) {
      code = query_limit(node_key, "MaxSize", max_size);
      if (code != 0) {
        if (code != platform::kRegErrorNotFound) {
          const std::string text = snf_format("%s value=[%s\\%s], assuming = [%d]", "Querying",
                                              path.c_str(), "MaxSize", *max_size);
          LogWntError(kReader, text.c_str(), code);
          VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegSize, status);
          result = 0;
        }
      } else {
        code = query_limit(node_key, "MaxPeriod", max_period);
        if (code != 0 && code != platform::kRegErrorNotFound) {
          const std::string text = snf_format("%s value=[%s\\%s], assuming = [%d]", "Querying",
                                              path.c_str(), "MaxPeriod", *max_period);
          LogWntError(kReader, text.c_str(), code);
          VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegPeriod, status);
          result = 0;
        }
      }
    }
  }
  if (node_key != nullptr) platform::reg_close_key(node_key);
  if (config != nullptr) platform::reg_close_key(config);
  return result;
}

int32_t WriteRegSnfCfg(const char* node, int32_t max_size, int32_t max_period,
                       VARNO_STATUS* status) {
  int32_t old_size = -1, old_period = -1;
  const uint32_t view = GetVarnoRegSamViewFlag();
  VARNO_STATUS local;
  if (status == nullptr) status = &local;
  VARNO_CLIENT_INITBLK(status);
  if (node == nullptr) node = "";

  const SnfDevice device = CheckSnfDevice(status);
  if (varno_failed(*status)) {
    const std::string text = snf_format(
        "Bad DLGP name, could not update store file config in registry, Max Size=[%d], Max "
        "Period=[%d], client node=[%s]",
        max_size, max_period, node);
    LogWntError(kWriterCheck, text.c_str(), 0);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfBadDevice, status);
    return 0;
  }

  ReadRegSnfCfg(node, &old_size, &old_period, status);
  if (varno_failed(*status)) return 0;

  // The verb of a log line follows the most recent successful creation. When
  // the very first one fails there is none: the line then says "Creating",
  // which is what was being attempted.
  uint32_t disposition = platform::kRegCreatedNewKey;
  std::string path = config_key_path(device);
  RegKey config = nullptr;
  uint32_t created = 0;
  uint32_t code = platform::reg_create_key_ex(platform::kRegLocalMachine, path.c_str(),
                                              platform::kRegOptionNonVolatile,
                                              platform::kRegKeyAllAccess | view, &config, &created);
  if (code != 0) {
    const std::string text =
        snf_format("%s key=[%s] for client node=[%s]", verb(disposition), path.c_str(), node);
    LogWntError(kWriter, text.c_str(), code);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegCreate, status);
    return 0;
  }
  disposition = created;

  path += "\\";
  path += node;
  RegKey node_key = nullptr;
  code = platform::reg_create_key_ex(platform::kRegLocalMachine, path.c_str(),
                                     platform::kRegOptionNonVolatile,
                                     platform::kRegKeyAllAccess | view, &node_key, &created);
  if (code != 0) {
    const std::string text =
        snf_format("%s key=[%s] for client node=[%s]", verb(disposition), path.c_str(), node);
    LogWntError(kWriter, text.c_str(), code);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegCreate, status);
    platform::reg_close_key(config);
    return 0;
  }
  disposition = created;

  struct Limit {
    const char* name;
    int32_t value;
    int32_t old;
    int32_t error;
  };
  const Limit limits[2] = {{"MaxSize", max_size, old_size, kErrSnfRegSetSize},
                           {"MaxPeriod", max_period, old_period, kErrSnfRegSetPeriod}};
  for (const Limit& limit : limits) {
    if (limit.value == limit.old) continue;
    code = set_limit(node_key, limit.name, limit.value);
    if (code != 0) {
      const std::string text =
          snf_format("%s value=[%s\\%s] = [%d] Old=[%d] for client node=[%s]", verb(disposition),
                     path.c_str(), limit.name, limit.value, limit.old, node);
      LogWntError(kWriter, text.c_str(), code);
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, limit.error, status);
      platform::reg_close_key(node_key);
      platform::reg_close_key(config);
      return 0;
    }
    const std::string text =
        snf_format("%s key value=[%s\\%s] = [%d] Old=[%d] for client node=[%s]", verb(disposition),
                   path.c_str(), limit.name, limit.value, limit.old, node);
    LogWntError(kWriter, text.c_str(), 0);
  }
  platform::reg_close_key(node_key);
  platform::reg_close_key(config);
  return 1;
}
