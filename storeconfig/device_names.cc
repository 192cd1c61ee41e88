// The current device record, the store directory and the service's file names.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "storeconfig/store_config.h"
#include "storeconfig/store_config_internal.h"

namespace {

SnfDevice g_device = {};
// At most kSnfStoreDirSize - 2 characters: a store file name may add a
// backslash, and the directory must still fit the caller's buffer of
// GetStoreDir with its terminator.
char g_store_dir[kSnfStoreDirSize] = {};

std::string environment_directory() {
  VARNO_ENVIRONMENT environment;
  environment.directory[0] = '\0';
  VARNO_CLIENT_ENVIRONMENT(&environment);
  return std::string(environment.directory,
                     strnlen(environment.directory, sizeof environment.directory));
}

std::string dlgp_of(const SnfDevice* device) {
  return device != nullptr ? snf_name(device->dlgp) : std::string();
}

// One builder's result: "<environment directory><prefix><DLGP><suffix>".
const char* list_name(std::string* slot, const char* prefix, const SnfDevice* device,
                      const char* suffix) {
  *slot = environment_directory() + prefix + dlgp_of(device) + suffix;
  return slot->c_str();
}

}  // namespace

std::string snf_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return text;
}

std::string snf_name(const char (&field)[kSnfNameSize]) {
  return std::string(field, strnlen(field, kSnfNameSize));
}

void snf_reset_device_state() {
  g_device = SnfDevice{};
  g_store_dir[0] = '\0';
}

void SetSnfDevice(const SnfDevice* device) {
  if (device == nullptr) {
    g_device = SnfDevice{};
    return;
  }
  std::memcpy(&g_device, device, sizeof g_device);
}

SnfDevice CheckSnfDevice(VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (g_device.node[0] == '\0' || g_device.dlgp[0] == '\0') {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrSnfDevice, status);
  }
  return g_device;
}

bool SetStoreDir(const char* directory) {
  if (directory == nullptr) directory = "";
  const size_t length = std::strlen(directory);
  if (length > kSnfStoreDirSize - 2) return false;
  std::memcpy(g_store_dir, directory, length + 1);
  return true;
}

void GetStoreDir(char* buffer) {
  if (buffer == nullptr) return;
  std::memcpy(buffer, g_store_dir, std::strlen(g_store_dir) + 1);
}

const char* StoreFileName(const SnfDevice* device) {
  static std::string name;
  char node[kSnfNameSize + 1] = {};
  if (device != nullptr) std::memcpy(node, device->node, kSnfNameSize);
  DotsToUnderscores(node);
  std::string directory;
  if (g_store_dir[0] != '\0') {
    directory = g_store_dir;
    if (directory.back() != '\\') directory += '\\';
  } else {
    directory = environment_directory();
  }
  name = directory + "VARNO_STORE_" + node + "." + dlgp_of(device);
  return name.c_str();
}

const char* ScannerCfgFileName(const SnfDevice* device) {
  static std::string name;
  return list_name(&name, "VARNO_SCANNER_", device, ".CFG");
}

const char* ScanListFileName(const SnfDevice* device) {
  static std::string name;
  return list_name(&name, "VARNO_SCAN_LIST.", device, "");
}

const char* UnsolListFileName(const SnfDevice* device) {
  static std::string name;
  return list_name(&name, "VARNO_UNSOL_LIST.", device, "");
}

const char* StoreListFileName(const SnfDevice* device) {
  static std::string name;
  return list_name(&name, "VARNO_STORE_LIST.", device, "");
}

char* UpperCase(char* text) {
  if (text == nullptr) return text;
  for (char* p = text; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
  return text;
}

void DotsToUnderscores(char* text) {
  if (text == nullptr) return;
  for (size_t i = 0; i < kSnfNameSize && text[i] != '\0'; ++i) {
    if (text[i] == '.') text[i] = '_';
  }
}
