// The machine's registry, reduced to the calls the file layer, the store
// configuration and varno-reg make. Each function mirrors its Win32 namesake
// (RegOpenKeyExA, RegQueryValueExA, ...): same arguments in the same order,
// a result code that is 0 on success and a platform error code otherwise.
// On Windows the calls go to the real registry; on POSIX to the stand-in
// tree under <environment directory>/registry/ (see registry_posix.cc).
//
// Names of keys and values are 8-bit texts matched without regard to the case
// of the letters A-Z, and created with the case given. Key paths are written
// the Windows way, components separated by a backslash.
#ifndef VARNO_PLATFORM_REGISTRY_H_
#define VARNO_PLATFORM_REGISTRY_H_

#include <cstdint>

namespace platform {

// An open key. Obtained from reg_open_key_ex or reg_create_key_ex and given
// back with reg_close_key; the predefined roots are never closed.
struct RegKeyObject;
using RegKey = RegKeyObject*;

extern RegKey const kRegLocalMachine;  // HKEY_LOCAL_MACHINE
extern RegKey const kRegCurrentUser;   // HKEY_CURRENT_USER

// Access rights (the Win32 values). The view bits are accepted everywhere and
// mean nothing to the stand-in, which has one view only.
constexpr uint32_t kRegKeyQueryValue = 0x0001;
constexpr uint32_t kRegKeySetValue = 0x0002;
constexpr uint32_t kRegKeyCreateSubKey = 0x0004;
constexpr uint32_t kRegKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kRegKeyWow64_64Key = 0x0100;
constexpr uint32_t kRegKeyWow64_32Key = 0x0200;
constexpr uint32_t kRegKeyRead = 0x20019;
constexpr uint32_t kRegKeyWrite = 0x20006;
constexpr uint32_t kRegKeyAllAccess = 0xF003F;

// The view bits every program of the system ORs into its access masks, so
// that 32-bit and 64-bit builds see one registry: KEY_WOW64_64KEY on Windows,
// nothing for the stand-in.
extern const uint32_t kRegSystemView;

// Value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// Creation options and dispositions.
constexpr uint32_t kRegOptionNonVolatile = 0;
constexpr uint32_t kRegCreatedNewKey = 1;
constexpr uint32_t kRegOpenedExistingKey = 2;

// Result codes. "Not found" is 2 on every platform (ERROR_FILE_NOT_FOUND,
// ENOENT); the others are the platform's own numbers, so that the platform's
// description of a code fits it.
constexpr uint32_t kRegSuccess = 0;
constexpr uint32_t kRegErrorNotFound = 2;
extern const uint32_t kRegErrorMoreData;          // the buffer is too small for the data
extern const uint32_t kRegErrorNoMoreItems;       // an enumeration index past the end
extern const uint32_t kRegErrorAccessDenied;      // the key was opened without that right
extern const uint32_t kRegErrorInvalidParameter;  // a null argument, an empty path component
extern const uint32_t kRegErrorInvalidHandle;     // a null key

// Longest key name (one path component) and value name, in characters.
constexpr uint32_t kRegMaxKeyName = 255;
constexpr uint32_t kRegMaxValueName = 16383;

// Opens the key `subkey` below `key` (an empty or null `subkey` opens `key`
// itself anew) with the access rights `sam`. `options` must be 0.
uint32_t reg_open_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                         RegKey* result);

// Reads the value `name` (null or empty: the key's default value). `type`
// receives its type when not null. With `data` null, `*size` receives the
// length of the data. Otherwise `*size` gives the room in `data`: when the
// data do not fit, nothing is copied, kRegErrorMoreData is returned and
// `*size` receives the length needed; when they fit, they are copied and
// `*size` receives their length. Needs kRegKeyQueryValue.
uint32_t reg_query_value_ex(RegKey key, const char* name, uint32_t* type, void* data,
                            uint32_t* size);

// Counts of the key: subkeys, the longest subkey name, values, the longest
// value name (names without their terminator), the longest value data. Any
// pointer may be null. Needs kRegKeyQueryValue.
uint32_t reg_query_info_key(RegKey key, uint32_t* subkeys, uint32_t* max_subkey_name,
                            uint32_t* values, uint32_t* max_value_name, uint32_t* max_value_data);

// The name of subkey number `index` (0 up, in an order that is stable while the
// key is unchanged). `*name_size` gives the room in `name` including the
// terminator and receives the name's length without it. kRegErrorNoMoreItems
// past the last subkey; kRegErrorMoreData when the name does not fit. Needs
// kRegKeyEnumerateSubKeys.
uint32_t reg_enum_key_ex(RegKey key, uint32_t index, char* name, uint32_t* name_size);

// The name, type and data of value number `index`, in the manner of
// reg_enum_key_ex for the name and of reg_query_value_ex for the data (`type`,
// `data` and `data_size` may be null). Needs kRegKeyQueryValue.
uint32_t reg_enum_value(RegKey key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                        void* data, uint32_t* data_size);

// Opens the key `subkey` below `key`, creating it and any missing key on its
// path (non-volatile, no class text, default security). `*disposition`
// receives kRegCreatedNewKey or kRegOpenedExistingKey when not null; on
// failure it is left alone. Several processes creating the same key at once,
// in whatever letter case, end with one key. `options` must be
// kRegOptionNonVolatile. Needs kRegKeyCreateSubKey on `key`.
uint32_t reg_create_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                           RegKey* result, uint32_t* disposition);

// Sets the value `name` (null or empty: the default value) to `size` bytes of
// `data` with `type`. The value is replaced whole: a reader sees the old value
// or the new one, never a mixture, and of several writers one wins. An
// existing value keeps the letter case of its name. Needs kRegKeySetValue.
uint32_t reg_set_value_ex(RegKey key, const char* name, uint32_t type, const void* data,
                          uint32_t size);

// Deletes the value `name`; kRegErrorNotFound when there is none. Needs
// kRegKeySetValue.
uint32_t reg_delete_value(RegKey key, const char* name);

// Gives back a key; closing a predefined root does nothing.
uint32_t reg_close_key(RegKey key);

// The registry's part of this system's table of system calls
// (platform/system_calls.h: system_calls().registry), through which every
// call above goes, so tests can fail one kind of call without touching the
// product code. Each entry behaves as its namesake: on Windows the advapi32
// call, elsewhere the stand-in tree's.
struct RegistryCalls {
  uint32_t (*open_key_ex)(RegKey, const char*, uint32_t, uint32_t, RegKey*);
  uint32_t (*query_value_ex)(RegKey, const char*, uint32_t*, void*, uint32_t*);
  uint32_t (*query_info_key)(RegKey, uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*);
  uint32_t (*enum_key_ex)(RegKey, uint32_t, char*, uint32_t*);
  uint32_t (*enum_value)(RegKey, uint32_t, char*, uint32_t*, uint32_t*, void*, uint32_t*);
  uint32_t (*create_key_ex)(RegKey, const char*, uint32_t, uint32_t, RegKey*, uint32_t*);
  uint32_t (*set_value_ex)(RegKey, const char*, uint32_t, const void*, uint32_t);
  uint32_t (*delete_value)(RegKey, const char*);
  uint32_t (*close_key)(RegKey);
};
// This system's own registry calls, the part's default entries.
const RegistryCalls& default_registry_calls();

}  // namespace platform

#endif  // VARNO_PLATFORM_REGISTRY_H_
