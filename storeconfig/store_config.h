// The store configuration of the store-and-forward service: the current
// device record and the names of the service's files, the per-node size and
// period limits kept in the registry, and the older scanner configuration
// files those limits are converted from.
//
// Process-wide state (the device record, the store directory, the current
// limits and their one-node cache) is unguarded: the layer is used from one
// thread at a time. Operations that take a status block clear it on entry and
// record facility-13 pairs; diagnostics go to the library's debug log, never
// to the console.
#ifndef VARNO_STORECONFIG_STORE_CONFIG_H_
#define VARNO_STORECONFIG_STORE_CONFIG_H_

#include <cstddef>
#include <cstdint>

#include "messaging/varno.h"

// Facility-13 error numbers of the store configuration.
enum : int32_t {
  kErrSnfUpdateLoad = 13100,  // UpdateSnfCfg: the load left a pair
  kErrSnfUpdateSave = 13103,  // UpdateSnfCfg: the save left a pair
  kErrSnfSaveDevice = 13105,  // SaveSnfCfg: device record incomplete
  kErrSnfSaveClose = 13110,   // SaveSnfCfg: closing the configuration file failed
  kErrSnfLoadClose = 13111,   // LoadSnfCfg: closing the configuration file failed
  kErrSnfLoadOpen = 13112,    // LoadSnfCfg: the configuration file cannot be opened
  kErrSnfBadDevice = 13113,   // LoadSnfCfg, ReadRegSnfCfg, WriteRegSnfCfg: device record incomplete
  kErrSnfUnknownKey = 13114,  // LoadSnfCfg: an entry that is not "max_size" or "max_period"
  kErrSnfNoHours = 13115,     // ParseSnfPeriod: no hours field
  kErrSnfNoMinutes = 13116,   // ParseSnfPeriod: no minutes field
  kErrSnfDevice = 13117,      // CheckSnfDevice: node or DLGP name empty
  kErrSnfRegOpen = 13611,     // ReadRegSnfCfg: configuration key cannot be opened or counted
  kErrSnfRegSize = 13612,     // ReadRegSnfCfg: "MaxSize" cannot be read
  kErrSnfRegPeriod = 13613,   // ReadRegSnfCfg: "MaxPeriod" cannot be read
  kErrSnfRegCreate = 13614,   // WriteRegSnfCfg: a key cannot be created or opened
  kErrSnfRegSetSize = 13615,  // WriteRegSnfCfg: "MaxSize" cannot be written
  kErrSnfRegSetPeriod = 13616,  // WriteRegSnfCfg: "MaxPeriod" cannot be written
};

// ---------------------------------------------------------------------------
// Device record and file names

constexpr size_t kSnfNameSize = 32;
constexpr size_t kSnfStoreDirSize = 1024;

// 64 bytes: two names, each NUL-terminated unless all 32 characters are used.
struct SnfDevice {
  char node[kSnfNameSize];  // client node; may contain dots
  char dlgp[kSnfNameSize];  // DLGP name; the extension of the DLGP's files
};
static_assert(sizeof(SnfDevice) == 64, "the device record is 64 bytes");

// Copies the record into the current device record (a null record clears it).
void SetSnfDevice(const SnfDevice* device);

// The current device record. Clears `status`, then records (13, 13117) when
// its node name or DLGP name is empty.
SnfDevice CheckSnfDevice(VARNO_STATUS* status);

// Sets the store directory. A text longer than kSnfStoreDirSize - 2
// characters (room must stay for the backslash that store file names add) is
// refused: the function returns false and the store directory is unchanged,
// rather than keeping a cut path that would name another directory.
bool SetStoreDir(const char* directory);

// Copies the store directory into `buffer`, which holds kSnfStoreDirSize
// characters.
void GetStoreDir(char* buffer);

// File names of the service. Each result lives in a buffer of its builder
// until that builder's next call. The buffers are sized to fit, so a name is
// never cut. The environment directory is what VARNO_CLIENT_ENVIRONMENT
// reports; the store directory, when set, gets a backslash added unless it
// ends in one. On POSIX that backslash is part of the file name, so there the
// choice of the store directory text is the operator's business.
//
// StoreFileName:      "<dir>VARNO_STORE_<node with dots as underscores>.<DLGP>"
// ScannerCfgFileName: "<env>VARNO_SCANNER_<DLGP>.CFG"
// ScanListFileName:   "<env>VARNO_SCAN_LIST.<DLGP>"
// UnsolListFileName:  "<env>VARNO_UNSOL_LIST.<DLGP>"
// StoreListFileName:  "<env>VARNO_STORE_LIST.<DLGP>"
const char* StoreFileName(const SnfDevice* device);
const char* ScannerCfgFileName(const SnfDevice* device);
const char* ScanListFileName(const SnfDevice* device);
const char* UnsolListFileName(const SnfDevice* device);
const char* StoreListFileName(const SnfDevice* device);

// Turns a-z into A-Z in place (no other byte changes); returns `text`.
char* UpperCase(char* text);
// Replaces every '.' by '_' in place among the first 32 characters, stopping
// at the terminator.
void DotsToUnderscores(char* text);

// ---------------------------------------------------------------------------
// Registry limits of a client node, under
// HKEY_LOCAL_MACHINE\Software\Quellmark\VAR-NO\VARNO_SCANNER_<DLGP>_CFG\<node>
// as the DWORD values "MaxSize" and "MaxPeriod". -1 stands for a value the
// registry does not hold.

// Reads both limits of `node` (its subkey found without regard to case). Each
// output is -1 unless its value was read; "MaxPeriod" is not read when
// "MaxSize" could not be. Returns 1 when no registry call failed (a missing
// key, subkey or value is no failure), else 0. Records (13, 13117) and
// (13, 13113) for an incomplete device record; (13, 13611), (13, 13612) or
// (13, 13613) for a failed call (a failed subkey enumeration or subkey open
// records nothing and shows only in the result).
int32_t ReadRegSnfCfg(const char* node, int32_t* max_size, int32_t* max_period,
                      VARNO_STATUS* status);

// Stores the limits of `node`, creating its keys as needed and writing only
// the values that differ from the stored ones (-1 is "absent", so it is never
// written over an absent value). Returns 1 on success; 0 with the reader's
// pairs, or (13, 13113), (13, 13614), (13, 13615) or (13, 13616).
int32_t WriteRegSnfCfg(const char* node, int32_t max_size, int32_t max_period,
                       VARNO_STATUS* status);

// ---------------------------------------------------------------------------
// Current limits and scanner configuration files

// Input of SetSnfCfg and UpdateSnfCfg.
struct SnfCfgValues {
  int32_t reserved;     // not read
  int32_t config_word;  // kept, read by nothing else
  int32_t max_size;
  int32_t max_period;  // seconds
};

// Sets the current limits of `node` from the registry and, the first time it
// is found, from the DLGP's scanner configuration file, whose values then move
// into the registry. The file is removed only once its values are in the
// registry (or the registry already held both limits); otherwise it stays and
// the writer's pairs are left in `status`. A missing file is never looked for
// again in this process. Pairs: (13, 13113), (13, 13112), (13, 13114),
// (13, 13111), those of ParseSnfPeriod, WriteRegSnfCfg and varno_s_file_remove.
void LoadSnfCfg(const char* node, VARNO_STATUS* status);

// Takes the configuration word and the two limits of `values` as current, and
// makes them the cached limits of `node`. Records nothing.
void SetSnfCfg(const SnfCfgValues* values, const char* node, VARNO_STATUS* status);

// Stores the current limits of `node` in the registry, removing a scanner
// configuration file still present first. Pairs: (13, 13105), (13, 13110),
// those of varno_s_file_remove and WriteRegSnfCfg.
void SaveSnfCfg(const char* node, VARNO_STATUS* status);

// LoadSnfCfg, SetSnfCfg, SaveSnfCfg in this order; (13, 13100) after a failed
// load (nothing is set or saved then), (13, 13103) after a failed save.
void UpdateSnfCfg(const SnfCfgValues* values, const char* node, VARNO_STATUS* status);

// The current limit, read from the registry unless the cache holds `node`
// (compared without regard to case). A limit the registry does not hold is
// -1, and reading one node's limits replaces both current limits.
int32_t GetSnfMaxSize(const char* node);
int32_t GetSnfMaxPeriod(const char* node);

// Reads one line of the file `fd` into `buffer` (`size` bytes with the
// terminator), without its line feed; a longer line is continued by the next
// call. Returns 1 when the file has ended (or a read failed, or a byte 0xFF
// was met, which is not kept), else 0. A buffer with room for fewer than one
// character and its terminator reads nothing and returns 1.
int32_t ReadCfgLine(int32_t fd, char* buffer, uint32_t size, VARNO_STATUS* status);

// "hours:minutes:seconds" in seconds; each field a signed decimal number
// (leading blanks skipped, no digits read as 0), the sum wrapping as 32-bit
// two's complement. Missing seconds count as 0. Records (13, 13115) without
// an hours field, (13, 13116) without a minutes field, and returns 0.
int32_t ParseSnfPeriod(const char* text, VARNO_STATUS* status);

// The text as a signed decimal number, wrapping as 32-bit two's complement.
// The status block is not touched.
int32_t ParseSnfSize(const char* text, VARNO_STATUS* status);

// Tests only: puts every piece of the layer's process-wide state back to its
// start value (empty device record and store directory, limits 0 and 86400,
// configuration word 1, cache invalid, no file found missing).
void snf_reset_state_for_tests();

#endif  // VARNO_STORECONFIG_STORE_CONFIG_H_
