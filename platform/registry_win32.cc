// The registry calls on Windows: the real registry through the advapi32 calls
// of the same names. A RegKey wraps the HKEY; the two roots wrap the
// predefined handles, which are never closed. Result codes are the Win32
// ones.
#include <windows.h>

#include "platform/registry.h"

namespace platform {

struct RegKeyObject {
  HKEY hkey;
  bool root;
};

namespace {

RegKeyObject g_local_machine{HKEY_LOCAL_MACHINE, true};
RegKeyObject g_current_user{HKEY_CURRENT_USER, true};

// Sizes and types cross as DWORDs; the interface's cells are 32-bit too.
DWORD* dword_cell(uint32_t* cell, DWORD* local) {
  if (cell == nullptr) return nullptr;
  *local = *cell;
  return local;
}
void give_back(uint32_t* cell, const DWORD* local) {
  if (cell != nullptr) *cell = *local;
}

uint32_t win32_open_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                           RegKey* result) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  HKEY opened = nullptr;
  const LONG code = RegOpenKeyExA(key->hkey, subkey, options, sam, &opened);
  if (code != ERROR_SUCCESS) return static_cast<uint32_t>(code);
  *result = new RegKeyObject{opened, false};
  return 0;
}

uint32_t win32_query_value_ex(RegKey key, const char* name, uint32_t* type, void* data,
                              uint32_t* size) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  DWORD t = 0, s = 0;
  const LONG code = RegQueryValueExA(key->hkey, name, nullptr, type != nullptr ? &t : nullptr,
                                     static_cast<BYTE*>(data), dword_cell(size, &s));
  if (code == ERROR_SUCCESS || code == ERROR_MORE_DATA) {
    if (type != nullptr) *type = t;
    give_back(size, &s);
  }
  return static_cast<uint32_t>(code);
}

uint32_t win32_query_info_key(RegKey key, uint32_t* subkeys, uint32_t* max_subkey_name,
                              uint32_t* values, uint32_t* max_value_name,
                              uint32_t* max_value_data) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  DWORD n_keys = 0, longest_key = 0, n_values = 0, longest_name = 0, longest_data = 0;
  const LONG code =
      RegQueryInfoKeyA(key->hkey, nullptr, nullptr, nullptr, &n_keys, &longest_key, nullptr,
                       &n_values, &longest_name, &longest_data, nullptr, nullptr);
  if (code != ERROR_SUCCESS) return static_cast<uint32_t>(code);
  give_back(subkeys, &n_keys);
  give_back(max_subkey_name, &longest_key);
  give_back(values, &n_values);
  give_back(max_value_name, &longest_name);
  give_back(max_value_data, &longest_data);
  return 0;
}

uint32_t win32_enum_key_ex(RegKey key, uint32_t index, char* name, uint32_t* name_size) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD s = *name_size;
  const LONG code = RegEnumKeyExA(key->hkey, index, name, &s, nullptr, nullptr, nullptr, nullptr);
  if (code == ERROR_SUCCESS) *name_size = s;
  return static_cast<uint32_t>(code);
}

uint32_t win32_enum_value(RegKey key, uint32_t index, char* name, uint32_t* name_size,
                          uint32_t* type, void* data, uint32_t* data_size) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD s = *name_size, t = 0, d = 0;
  const LONG code =
      RegEnumValueA(key->hkey, index, name, &s, nullptr, type != nullptr ? &t : nullptr,
                    static_cast<BYTE*>(data), dword_cell(data_size, &d));
  if (code == ERROR_SUCCESS || code == ERROR_MORE_DATA) {
    *name_size = s;
    if (type != nullptr) *type = t;
    give_back(data_size, &d);
  }
  return static_cast<uint32_t>(code);
}

uint32_t win32_create_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                             RegKey* result, uint32_t* disposition) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  HKEY created = nullptr;
  DWORD how = 0;
  // An empty class text and default security, as the callers expect.
  const LONG code =
      RegCreateKeyExA(key->hkey, subkey, 0, nullptr, options, sam, nullptr, &created, &how);
  if (code != ERROR_SUCCESS) return static_cast<uint32_t>(code);
  *result = new RegKeyObject{created, false};
  if (disposition != nullptr) *disposition = how;
  return 0;
}

uint32_t win32_set_value_ex(RegKey key, const char* name, uint32_t type, const void* data,
                            uint32_t size) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  return static_cast<uint32_t>(
      RegSetValueExA(key->hkey, name, 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t win32_delete_value(RegKey key, const char* name) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  return static_cast<uint32_t>(RegDeleteValueA(key->hkey, name));
}

uint32_t win32_close_key(RegKey key) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (key->root) return 0;
  const LONG code = RegCloseKey(key->hkey);
  delete key;
  return static_cast<uint32_t>(code);
}

constexpr RegistryCalls kWin32Calls = {
    win32_open_key_ex,  win32_query_value_ex, win32_query_info_key,
    win32_enum_key_ex,  win32_enum_value,     win32_create_key_ex,
    win32_set_value_ex, win32_delete_value,   win32_close_key,
};

}  // namespace

RegKey const kRegLocalMachine = &g_local_machine;
RegKey const kRegCurrentUser = &g_current_user;

const uint32_t kRegSystemView = KEY_WOW64_64KEY;

const uint32_t kRegErrorMoreData = ERROR_MORE_DATA;
const uint32_t kRegErrorNoMoreItems = ERROR_NO_MORE_ITEMS;
const uint32_t kRegErrorAccessDenied = ERROR_ACCESS_DENIED;
const uint32_t kRegErrorInvalidParameter = ERROR_INVALID_PARAMETER;
const uint32_t kRegErrorInvalidHandle = ERROR_INVALID_HANDLE;

const RegistryCalls& default_registry_calls() {
  return kWin32Calls;
}

}  // namespace platform
