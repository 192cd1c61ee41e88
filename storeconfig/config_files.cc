// Current limits, their one-node cache, and the scanner configuration files
// they are converted from.
//
// A scanner configuration file ("<env>VARNO_SCANNER_<DLGP>.CFG") is a text
// file with one section per DLGP:
//
//   [DEV1]
//   max_size=1000
//   max_period=  24:00:00
//
// Only the section of the current DLGP is read; keys and section names are
// compared case-sensitively, no blank may stand before the "=", blanks after
// it are skipped. The first LoadSnfCfg that finds the file moves its values
// into the registry and removes it.
#include <cstdint>
#include <cstring>
#include <string>

#include "fileaccess/file_access.h"
#include "storeconfig/store_config.h"
#include "storeconfig/store_config_internal.h"

namespace {

constexpr int32_t kStartMaxSize = 0;
constexpr int32_t kStartMaxPeriod = 86400;  // 24 hours
constexpr uint32_t kLineSize = 256;

struct LimitState {
  int32_t config_word = 1;
  int32_t max_size = kStartMaxSize;
  int32_t max_period = kStartMaxPeriod;
  // The node whose limits the cache holds; a string, so a node name of any
  // length is kept whole and never compared cut.
  std::string cached_node;
  int32_t cache_invalid = 1;
  int32_t file_absent = 0;  // once set, no scanner configuration file is looked for again
};

LimitState g_state;

// One debug-log line under the DLGP name of the current device record.
void log_line(const std::string& text) {
  VARNO_STATUS ignored;
  const SnfDevice device = CheckSnfDevice(&ignored);
  LogWntError(snf_name(device.dlgp).c_str(), text.c_str(), 0);
}

bool same_node(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char ca = a[i], cb = b[i];
    if (ca >= 'a' && ca <= 'z') ca = static_cast<char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<char>(cb - 'a' + 'A');
    if (ca != cb) return false;
  }
  return true;
}

// A signed decimal number as the C library reads one (leading white space,
// an optional sign, digits up to the first other character; no digits give 0),
// computed modulo 2^32 so that overflow wraps instead of being undefined.
uint32_t decimal(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  return negative ? 0u - value : value;
}

// The next run of characters other than ':' at or after *cursor (leading ':'
// skipped), as strtok finds fields; false when there is none. *cursor moves
// past the ':' that ends the run.
bool next_field(const char** cursor, std::string* field) {
  const char* p = *cursor;
  while (*p == ':') ++p;
  if (*p == '\0') return false;
  const char* end = std::strchr(p, ':');
  if (end == nullptr) end = p + std::strlen(p);
  field->assign(p, end);
  *cursor = *end == ':' ? end + 1 : end;
  return true;
}

// What reading the scanner configuration file ends with.
enum class Stop { kEnd, kStop };

// Applies one line of the file to the current limits. `in_section` follows
// the DLGP's section. kStop ends the reading.
Stop apply_line(const char* line, const std::string& dlgp, bool* in_section, VARNO_STATUS* status) {
  if (line[0] == '\0') return Stop::kEnd;
  if (line[0] == '[') {
    if (*in_section) return Stop::kStop;
    const char* name = line + 1;
    if (name[std::strspn(name, "]")] == '\0') return Stop::kStop;  // no name at all
    const size_t length = std::strcspn(name, "]");
    // The section name is compared over at most 32 characters, as the DLGP
    // name has no more.
    const std::string section(name, length);
    if (std::strncmp(section.c_str(), dlgp.c_str(), kSnfNameSize) == 0) *in_section = true;
    return Stop::kEnd;
  }
  if (!*in_section) return Stop::kEnd;
  if (line[std::strspn(line, "=")] == '\0') return Stop::kStop;  // nothing but "="
  const char* equals = std::strchr(line, '=');
  // A line without "=" names no value; it is as unknown as a wrong key, and
  // reading stops there rather than guess a value for it.
  if (equals == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfUnknownKey, status);
    return Stop::kStop;
  }
  const std::string key(line, static_cast<size_t>(equals - line));
  const char* value = equals + 1;
  while (*value == ' ') ++value;
  if (key == "max_period") {
    g_state.max_period = ParseSnfPeriod(value, status);
  } else if (key == "max_size") {
    g_state.max_size = ParseSnfSize(value, status);
  } else {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfUnknownKey, status);
    return Stop::kStop;
  }
  return Stop::kEnd;
}

// Reads the DLGP's section of the open file into the current limits.
void read_config_file(int32_t fd, const std::string& dlgp, VARNO_STATUS* status) {
  VARNO_STATUS local;
  VARNO_SERVER_INITBLK(&local);
  char line[kLineSize];
  bool in_section = false;
  for (;;) {
    const int32_t ended = ReadCfgLine(fd, line, sizeof line, &local);
    // The line on which the end is reported still counts.
    if (apply_line(line, dlgp, &in_section, status) == Stop::kStop) return;
    if (ended == 1) return;
  }
}

// A node's limits as ReadRegSnfCfg found them: -1 where the registry holds
// none.
struct RegistryLimits {
  int32_t size = -1;
  int32_t period = -1;
  int32_t result = 0;  // the reader's
  bool complete() const { return result == 1 && size != -1 && period != -1; }
};

// Reads the scanner configuration file of the current DLGP into the current
// limits, unless one was found missing before (which is remembered). True
// when the file was read; its open and close failures are recorded.
bool load_scanner_file(const std::string& file_name, const SnfDevice& device,
                       VARNO_STATUS* status) {
  if (g_state.file_absent != 0) return false;
  const int32_t fd = varno_s_file_open(file_name.c_str(), kOpenText, status);
  if (fd < 0) {
    if (status->error[0] == kErrNotFound) {
      g_state.file_absent = 1;
      VARNO_SERVER_INITBLK(status);
    } else {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfLoadOpen, status);
    }
    return false;
  }
  read_config_file(fd, snf_name(device.dlgp), status);
  VARNO_STATUS local;
  varno_s_file_close(fd, &local);
  if (varno_failed(local)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfLoadClose, status);
  return true;
}

// With the registry incomplete, each limit the file gave gives way to the
// registry's value where there is one and is converted where there is not.
void merge_with_registry(const char* file, const char* node, const RegistryLimits& registry) {
  if (registry.size != -1) {
    log_line(
        snf_format("Warning: Overriding Store file configuration value in file [%s], "
                   "MaxSize=[%d] with registry value=[%d] for requesting node=[%s]",
                   file, g_state.max_size, registry.size, node));
    g_state.max_size = registry.size;
  } else {
    log_line(
        snf_format("Warning: Converting Store file configuration value in file [%s], "
                   "MaxSize=[%d] to a registry value for requesting node=[%s]",
                   file, g_state.max_size, node));
  }
  if (registry.period != -1) {
    log_line(
        snf_format("Warning: Overriding Store file configuration value in file [%s], "
                   "MaxPeriod=[%d] with registry value=[%d] for requesting node=[%s]",
                   file, g_state.max_period, registry.period, node));
    g_state.max_period = registry.period;
  } else {
    log_line(
        snf_format("Warning: Converting Store file configuration value in file [%s], "
                   "MaxPeriod=[%d] to a registry value for requesting node=[%s]",
                   file, g_state.max_period, node));
  }
}

// A file was read: a complete registry wins; otherwise the merged limits go
// into the registry. Then the file is removed.
void convert_scanner_file(const char* file, const char* node, const RegistryLimits& registry,
                          VARNO_STATUS* status) {
  bool in_registry = true;
  if (registry.complete()) {
    g_state.max_size = registry.size;
    g_state.max_period = registry.period;
    log_line(
        snf_format("Warning: store file configuration %s deprecated, assumed registry values "
                   "for requesting node=[%s]. MaxSize=[%d], MaxPeriod=[%d]",
                   file, node, g_state.max_size, g_state.max_period));
  } else {
    merge_with_registry(file, node, registry);
    in_registry = WriteRegSnfCfg(node, g_state.max_size, g_state.max_period, status) == 1;
  }
  // The file is the only other home of its values: it goes only once they
  // are safely in the registry. Otherwise it stays for the next load, and
  // the writer's pairs stay in the status block.
  if (!in_registry) return;
  varno_s_file_remove(file, 0, status);
  log_line(
      snf_format("Store file configuration %s has been removed, assumed registry values. "
                 "MaxSize=[%d], MaxPeriod=[%d] for requesting node=[%s]",
                 file, g_state.max_size, g_state.max_period, node));
}

// No file: the registry's values where it has them, the current ones (the
// program's defaults) where it has not, each said in the log and then
// written to the registry. A complete registry is taken silently.
void take_registry_limits(const char* file, const char* node, const RegistryLimits& registry,
                          VARNO_STATUS* status) {
  if (registry.complete()) {
    g_state.max_size = registry.size;
    g_state.max_period = registry.period;
    return;
  }
  if (registry.size == -1) {
    log_line(
        snf_format("Warning: No store file configuration file=[%s] or registry value for "
                   "MaxSize, assumming program default=[%d] for requesting node = [%s]",
                   file, g_state.max_size, node));
  } else {
    g_state.max_size = registry.size;
    log_line(
        snf_format("Warning: No store file configuration file=[%s] assumed registry value for "
                   "MaxSize=[%d] for requesting node=[%s]",
                   file, g_state.max_size, node));
  }
  if (registry.period == -1) {
    log_line(
        snf_format("Warning: No store file configuration file=[%s] or registry value for "
                   "MaxPeriod, assumming program default=[%d] for requesting node=[%s]",
                   file, g_state.max_period, node));
  } else {
    g_state.max_period = registry.period;
    log_line(
        snf_format("Warning: No store file configuration file=[%s] assumed registry value for "
                   "MaxPeriod = [%d] for requesting node=[%s]",
                   file, g_state.max_period, node));
  }
  WriteRegSnfCfg(node, g_state.max_size, g_state.max_period, status);
}

}  // namespace

void snf_reset_state_for_tests() {
  g_state = LimitState{};
  snf_reset_device_state();
}

void LoadSnfCfg(const char* node, VARNO_STATUS* status) {
  if (status == nullptr) return;
  VARNO_SERVER_INITBLK(status);
  if (node == nullptr) node = "";

  const SnfDevice device = CheckSnfDevice(status);
  const std::string file_name = ScannerCfgFileName(&device);
  RegistryLimits registry;
  bool file_read = false;
  if (varno_failed(*status)) {
    // Without a device record the registry is not read: both values count
    // as absent.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfBadDevice, status);
  } else {
    registry.result = ReadRegSnfCfg(node, &registry.size, &registry.period, status);
    VARNO_SERVER_INITBLK(status);
    file_read = load_scanner_file(file_name, device, status);
  }
  if (file_read) {
    convert_scanner_file(file_name.c_str(), node, registry, status);
  } else {
    take_registry_limits(file_name.c_str(), node, registry, status);
  }
}

void SetSnfCfg(const SnfCfgValues* values, const char* node, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (values == nullptr) return;
  g_state.config_word = values->config_word;
  g_state.max_size = values->max_size;
  g_state.max_period = values->max_period;
  g_state.cache_invalid = 0;
  g_state.cached_node = node != nullptr ? node : "";
}

void SaveSnfCfg(const char* node, VARNO_STATUS* status) {
  VARNO_STATUS local;
  VARNO_SERVER_INITBLK(&local);
  if (status == nullptr) return;
  VARNO_SERVER_INITBLK(status);
  if (node == nullptr) node = "";

  const SnfDevice device = CheckSnfDevice(status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfSaveDevice, status);
  } else {
    const std::string file_name = ScannerCfgFileName(&device);
    const int32_t fd = varno_s_file_open(file_name.c_str(), kOpenText, &local);
    if (fd >= 0) {
      varno_s_file_close(fd, &local);
      if (varno_failed(local)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfSaveClose, status);
      varno_s_file_remove(file_name.c_str(), 0, status);
      log_line(
          snf_format("Store file configuration %s file has been removed during a save, new "
                     "values will be saved to registry. MaxSize=[%d], MaxPeriod=[%d]",
                     file_name.c_str(), g_state.max_size, g_state.max_period));
    }
  }
  WriteRegSnfCfg(node, g_state.max_size, g_state.max_period, status);
}

void UpdateSnfCfg(const SnfCfgValues* values, const char* node, VARNO_STATUS* status) {
  if (status == nullptr) return;
  VARNO_SERVER_INITBLK(status);
  LoadSnfCfg(node, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfUpdateLoad, status);
    return;
  }
  SetSnfCfg(values, node, status);
  SaveSnfCfg(node, status);
  if (varno_failed(*status)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfUpdateSave, status);
}

namespace {

// Fills the cache for `node` unless it already holds it.
void refresh_cache(const char* node) {
  if (node == nullptr) node = "";
  if (g_state.cache_invalid == 0 && same_node(g_state.cached_node, node)) return;
  VARNO_STATUS local;
  ReadRegSnfCfg(node, &g_state.max_size, &g_state.max_period, &local);
  g_state.cached_node = node;
  g_state.cache_invalid = 0;
}

}  // namespace

int32_t GetSnfMaxSize(const char* node) {
  refresh_cache(node);
  return g_state.max_size;
}

int32_t GetSnfMaxPeriod(const char* node) {
  refresh_cache(node);
  return g_state.max_period;
}

int32_t ReadCfgLine(int32_t fd, char* buffer, uint32_t size, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (buffer == nullptr || size < 2) {
    // No room for a character: reading on would never get past this line.
    if (buffer != nullptr && size == 1) buffer[0] = '\0';
    return 1;
  }
  VARNO_STATUS local;
  if (status == nullptr) status = &local;
  int32_t ended = 0;
  uint32_t kept = 0;
  while (kept < size - 1) {
    unsigned char byte = 0;
    // Judged by the count: the end of the file records (1, 0), whose error
    // number 0 would not count as a failure.
    if (varno_s_file_read(fd, &byte, 1, status) != 1) {
      ended = 1;
      break;
    }
    if (byte == '\n') break;
    if (byte == 0xFF) {
      ended = 1;
      break;
    }
    buffer[kept++] = static_cast<char>(byte);
  }
  buffer[kept] = '\0';
  return ended;
}

int32_t ParseSnfPeriod(const char* text, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  const char* cursor = text != nullptr ? text : "";
  std::string hours, minutes;
  if (!next_field(&cursor, &hours)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfNoHours, status);
    return 0;
  }
  if (!next_field(&cursor, &minutes)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfNoMinutes, status);
    return 0;
  }
  // The seconds are the rest of the text; without it they count as 0.
  const uint32_t total =
      decimal(hours.c_str()) * 3600u + decimal(minutes.c_str()) * 60u + decimal(cursor);
  return static_cast<int32_t>(total);
}

int32_t ParseSnfSize(const char* text, VARNO_STATUS* /*status*/) {
  return static_cast<int32_t>(decimal(text));
}
