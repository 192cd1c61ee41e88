// The per-node limits in the registry: ReadRegSnfCfg and WriteRegSnfCfg.
//
// Key paths and log texts are built in strings sized to fit, so no client
// node name can overrun them; a node name the registry itself refuses (longer
// than a key name may be) makes the key creation fail, which is logged and
// recorded like any other failed creation.
#include <cstdint>
#include <string>
#include <utility>

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

// ReadRegSnfCfg's walk from the configuration key to the node's two values.
// Each step returns false when the reading ends there; a failed call other
// than "not found" makes the result 0, and the steps that log say what
// failed and record their pair. The keys opened are closed when the reader
// goes.
class LimitReader {
 public:
  LimitReader(const char* node, std::string path, uint32_t view, VARNO_STATUS* status)
      : node_(node), path_(std::move(path)), view_(view), status_(status) {}
  ~LimitReader() {
    if (node_key_ != nullptr) platform::reg_close_key(node_key_);
    if (config_ != nullptr) platform::reg_close_key(config_);
  }
  LimitReader(const LimitReader&) = delete;
  LimitReader& operator=(const LimitReader&) = delete;

  // 1 when no call failed (a missing key or value is no failure), else 0.
  // Each output keeps -1 unless its value was read; the period is read only
  // after the size.
  int32_t read(int32_t* max_size, int32_t* max_period) {
    std::string name;
    if (open_config() && find_node(&name) && open_node(name) &&
        query("MaxSize", kErrSnfRegSize, max_size)) {
      query("MaxPeriod", kErrSnfRegPeriod, max_period);
    }
    return result_;
  }

 private:
  void failed(uint32_t code) {
    if (code != platform::kRegErrorNotFound) result_ = 0;
  }
  void failed_logged(uint32_t code, const std::string& text, int32_t error) {
    if (code == platform::kRegErrorNotFound) return;
    LogWntError(kReader, text.c_str(), code);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, error, status_);
    result_ = 0;
  }

  bool open_config() {
    const uint32_t code = platform::reg_open_key_ex(platform::kRegLocalMachine, path_.c_str(), 0,
                                                    platform::kRegKeyRead | view_, &config_);
    if (code == 0) return true;
    config_ = nullptr;
    failed_logged(code, snf_format("Error %s key=[%s]", "Opening", path_.c_str()), kErrSnfRegOpen);
    return false;
  }

  // The name of the subkey that names the node, in any letter case.
  bool find_node(std::string* found) {
    uint32_t subkeys = 0;
    uint32_t code =
        platform::reg_query_info_key(config_, &subkeys, nullptr, nullptr, nullptr, nullptr);
    if (code != 0) {
      failed_logged(code, snf_format("Error %s key=[%s]", "Enumerating", path_.c_str()),
                    kErrSnfRegOpen);
      return false;
    }
    // A subkey name has at most 259 characters here; a longer one fails its
    // enumeration call rather than overrun the buffer.
    char name[260];
    for (uint32_t index = 0; index < subkeys; ++index) {
      uint32_t name_size = sizeof name;
      code = platform::reg_enum_key_ex(config_, index, name, &name_size);
      if (code != 0) {
        failed(code);
        return false;
      }
      if (same_node(name, node_)) {
        *found = name;
        return true;
      }
    }
    return false;
  }

  bool open_node(const std::string& name) {
    const uint32_t code = platform::reg_open_key_ex(config_, name.c_str(), 0,
                                                    platform::kRegKeyRead | view_, &node_key_);
    if (code == 0) return true;
    node_key_ = nullptr;
    failed(code);
    return false;
  }

  bool query(const char* value, int32_t error, int32_t* out) {
    const uint32_t code = query_limit(node_key_, value, out);
    if (code == 0) return true;
    failed_logged(
        code,
        snf_format("%s value=[%s\\%s], assuming = [%d]", "Querying", path_.c_str(), value, *out),
        error);
    return false;
  }

  const char* node_;
  const std::string path_;
  const uint32_t view_;
  VARNO_STATUS* status_;
  int32_t result_ = 1;
  RegKey config_ = nullptr;
  RegKey node_key_ = nullptr;
};

// Creates or opens `path` under HKEY_LOCAL_MACHINE for the writer. On
// failure logs under the verb of the last creation (*disposition), records
// (13, 13614) and returns null; otherwise *disposition becomes this
// creation's.
RegKey create_key(const std::string& path, const char* node, uint32_t view, uint32_t* disposition,
                  VARNO_STATUS* status) {
  RegKey key = nullptr;
  uint32_t created = 0;
  const uint32_t code = platform::reg_create_key_ex(
      platform::kRegLocalMachine, path.c_str(), platform::kRegOptionNonVolatile,
      platform::kRegKeyAllAccess | view, &key, &created);
  if (code != 0) {
    const std::string text =
        snf_format("%s key=[%s] for client node=[%s]", verb(*disposition), path.c_str(), node);
    LogWntError(kWriter, text.c_str(), code);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfRegCreate, status);
    return nullptr;
  }
  *disposition = created;
  return key;
}

// One limit the writer stores, with what the registry held before.
struct Limit {
  const char* name;
  int32_t value;
  int32_t old;
  int32_t error;  // recorded when it cannot be written
};

// Writes `limit` into the node subkey at `path` unless it is unchanged, and
// logs it; false, logged and recorded, when the registry refuses it.
bool write_limit(RegKey node_key, const std::string& path, const char* node, const char* verb,
                 const Limit& limit, VARNO_STATUS* status) {
  if (limit.value == limit.old) return true;
  const uint32_t code = set_limit(node_key, limit.name, limit.value);
  if (code != 0) {
    const std::string text =
        snf_format("%s value=[%s\\%s] = [%d] Old=[%d] for client node=[%s]", verb, path.c_str(),
                   limit.name, limit.value, limit.old, node);
    LogWntError(kWriter, text.c_str(), code);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, limit.error, status);
    return false;
  }
  const std::string text = snf_format("%s key value=[%s\\%s] = [%d] Old=[%d] for client node=[%s]",
                                      verb, path.c_str(), limit.name, limit.value, limit.old, node);
  LogWntError(kWriter, text.c_str(), 0);
  return true;
}

}  // namespace

int32_t ReadRegSnfCfg(const char* node, int32_t* max_size, int32_t* max_period,
                      VARNO_STATUS* status) {
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
  return LimitReader(node, config_key_path(device), view, status).read(max_size, max_period);
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
  const RegKey config = create_key(path, node, view, &disposition, status);
  if (config == nullptr) return 0;
  path += "\\";
  path += node;
  const RegKey node_key = create_key(path, node, view, &disposition, status);
  if (node_key == nullptr) {
    platform::reg_close_key(config);
    return 0;
  }
  const char* said = verb(disposition);
  const bool written =
      write_limit(node_key, path, node, said, {"MaxSize", max_size, old_size, kErrSnfRegSetSize},
                  status) &&
      write_limit(node_key, path, node, said,
                  {"MaxPeriod", max_period, old_period, kErrSnfRegSetPeriod}, status);
  platform::reg_close_key(node_key);
  platform::reg_close_key(config);
  return written ? 1 : 0;
}
