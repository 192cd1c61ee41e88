// Removal of files with rotated backup copies.
//
// Copies are named after the whole path: "<path>_BCK01" is the newest,
// "<path>_BCKnn" the oldest kept. A rotation drops the oldest, moves every
// other copy one number up, and renames the file itself to copy 01. Renames
// never replace an existing file, so a copy that appeared meanwhile stops the
// rotation instead of being overwritten. Failures inside the rotation go to
// the message log under the tag "XXX" and never to the caller's status block.
#include <cstdio>
#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "fileaccess/file_io_internal.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kMaxCopies = 10;
constexpr const char* kBackupKey = "SOFTWARE\\Quellmark\\VAR-NO";
constexpr const char* kBackupValue = "VARNOStoreBckCopies";

// The name of copy `number` of `path`: the path and "_BCK" with the number in
// two digits (the "%s_BCK%0.2d" form). Built in a string sized to fit, so a
// path of any length gets its whole name.
std::string copy_name(const char* path, uint32_t number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "_BCK%02u", number);
  return std::string(path) + suffix;
}

// A copy exists when it can be opened for reading.
bool copy_exists(const std::string& name) {
  const int mode = platform::kModeReadOnly | platform::kModeBinary;
  int fd = -1;
  if (!noted(platform::open_file(name.c_str(), mode, &fd)).ok()) return false;
  platform::close_file(fd);
  return true;
}

// Logs a failed step with the library's last error, which must still be the
// failed call's. The text is sized to fit rather than cut at 512 characters,
// so the whole file name reaches the log.
void log_failure(const char* format, const std::string& name) {
  const int code = static_cast<int>(varno_GetLastError());
  const int n = std::snprintf(nullptr, 0, format, name.c_str(), code);
  std::string text(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, name.c_str(), code);
  text.resize(text.size() - 1);
  VARNO_STATUS local;
  VARNO_SERVER_INITBLK(&local);
  VARNO_SERVER_LOGMSG("XXX", text.c_str(), &local);
}

// How a rotation ended.
enum class Rotation {
  kDone,         // every step succeeded; the file is now copy 01
  kFailed,       // a step failed; the file, if there is one, is still at its path
  kFileMissing,  // every copy moved, but there was no file to make copy 01
};

Rotation rotate(const char* path, uint32_t count) {
  if (count > kMaxCopies) count = kMaxCopies;
  if (count == 0) return Rotation::kDone;
  // Every name is built and every copy tested before anything changes.
  std::vector<std::string> names(count + 1);
  std::vector<bool> exists(count + 1, false);
  for (uint32_t n = 1; n <= count; ++n) {
    names[n] = copy_name(path, n);
    exists[n] = copy_exists(names[n]);
  }
  if (exists[count] && !noted(platform::remove_file(names[count].c_str())).ok()) {
    log_failure("Error removing file %s\nStatus=%d", names[count]);
    return Rotation::kFailed;
  }
  for (uint32_t n = count - 1; n >= 1; --n) {
    if (exists[n] &&
        !noted(platform::rename_no_replace(names[n].c_str(), names[n + 1].c_str())).ok()) {
      log_failure("Error renaming file %s\nStatus=%d", names[n]);
      return Rotation::kFailed;
    }
  }
  if (const platform::Status moved = noted(platform::rename_no_replace(path, names[1].c_str()));
      !moved.ok()) {
    const bool missing = moved.code == platform::kErrorNotFound;
    log_failure("Error renaming file %s\nStatus=%d", names[1]);
    return missing ? Rotation::kFileMissing : Rotation::kFailed;
  }
  return Rotation::kDone;
}

}  // namespace

void varno_s_file_remove(const char* path, int32_t backup, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (status == nullptr) return;
  if (path == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRemove, status);
    return;
  }
  if (backup == 1) {
    const uint32_t count = varno_s_file_backup_count();
    // A failed rotation keeps the file where it is: removing it would lose
    // the one copy that the rotation could not save.
    if (count > 0 && rotate(path, count) == Rotation::kFailed) {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRemove, status);
      return;
    }
  }
  // After a rotation the file is gone and this fails as "no such file",
  // which needs no report; so does the removal of a file that was not there.
  if (!noted(platform::remove_file(path)).ok()) {
    int32_t kind = 0;
    varno_GetLastErrorEx(0, 0, &kind);
    if (kind != 1) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRemove, status);
  }
}

uint32_t varno_s_file_backup_count() {
  platform::RegKey key = nullptr;
  if (platform::reg_open_key_ex(platform::kRegLocalMachine, kBackupKey, 0,
                                platform::kRegKeyQueryValue | GetVarnoRegSamViewFlag(),
                                &key) != 0) {
    return 0;
  }
  // Data longer than the 4-byte cell fail the query and mean no copies;
  // shorter data fill only its low bytes.
  unsigned char cell[4] = {0, 0, 0, 0};
  uint32_t size = sizeof cell;
  uint32_t count = 0;
  if (platform::reg_query_value_ex(key, kBackupValue, nullptr, cell, &size) == 0) {
    count = uint32_t{cell[0]} | (uint32_t{cell[1]} << 8) | (uint32_t{cell[2]} << 16) |
            (uint32_t{cell[3]} << 24);
  }
  platform::reg_close_key(key);
  return count > kMaxCopies ? kMaxCopies : count;
}

int32_t varno_s_file_backup(const char* path, uint32_t count) {
  if (path == nullptr) return 0;
  return rotate(path, count) == Rotation::kDone ? 1 : 0;
}
