// Store file open and close under the store file lock.
//
// The lock is named after the text behind the path's last '.', so all store
// files of one extension (one DLGP) share it, and every configuration file
// shares "CFG". The file's name is taken as the file system stores it: on
// Windows "BIG.STORE" and "big.store" are one file, and must be one lock
// (mutex names are case-sensitive), the one the service takes for the name it
// gave the file. The holder is this process: the platform counts repeated
// holds, so one thread may open files of one lock name several times without
// blocking itself, and the lock passes to another process only when every
// open has been closed. A process's end gives back what it still holds.
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "fileaccess/file_io_internal.h"
#include "platform/platform.h"

namespace {

// Path last opened under each handle number, and the lock it took; grow with
// the handles. A slot is never cleared, as the debug-log rule below relies
// on. The close releases the lock the open took, whatever became of the
// file's name meanwhile.
std::vector<std::string> g_open_paths;
std::vector<std::string> g_open_locks;

// The text behind the last '.' of the path as the file system spells it (the
// typed spelling for a file not there yet, the target's path for a symbolic
// link); the whole path without a '.'.
std::string lock_name(const char* path) {
  const std::string spelled = platform::stored_spelling(path);
  const size_t dot = spelled.rfind('.');
  return dot != std::string::npos ? spelled.substr(dot + 1) : spelled;
}

// How opens wait for a lock another process holds.
platform::LockWait g_lock_wait;

// Records the pairs of a failed platform open.
void record_open_failure(const platform::Status& failure, VARNO_STATUS* status) {
  if (failure.error == ENOENT) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrNotFound, status);
  } else if (failure.code == platform::kErrorNotRegularFile) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrNotRegular, status);
  } else {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, failure.error, status);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrOpenFailed, status);
  }
}

// The bits callers of the layer may set; every other bit is dropped, so no
// caller reaches a platform mode the layer does not offer.
constexpr int32_t kKnownFlags =
    kOpenWriteOnly | kOpenReadWrite | kOpenCreate | kOpenTruncate | kOpenText;

// Takes the store file lock `name` for the open of `path`, waiting as set;
// false with the pairs in `status` when it is not had.
bool take_lock(const std::string& name, const char* path, VARNO_STATUS* status) {
  bool abandoned = false;
  const platform::Status locked =
      noted(platform::lock_acquire(name.c_str(), &abandoned, &g_lock_wait));
  if (!locked.ok()) {
    if (locked.error == ETIMEDOUT) {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrLockTimeout, status);
    } else {
      // Never go on unlocked: another process may be writing the file.
      VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, locked.error, status);
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrOpenFailed, status);
    }
    return false;
  }
  if (abandoned) {
    // The previous holder ended in the middle of its work: the lock counts as
    // taken, but whatever it was writing may be incomplete.
    char text[2048];
    std::snprintf(text, sizeof text,
                  "Store file lock [%s] was abandoned by its previous holder; taken over for [%s]",
                  name.c_str(), path);
    LogWntError("varno_s_file_open", text, 0);
  }
  return true;
}

// The open of varno_s_file_open and varno_s_file_create_new: `flags` as the
// caller of the layer would give them (they decide the debug-log line and
// the read-ahead), `mode` the platform mode the file is opened with.
int32_t open_under_lock(const char* path, int32_t flags, int mode, VARNO_STATUS* status) {
  const std::string name = lock_name(path);
  if (!take_lock(name, path, status)) return -1;
  int fd = -1;
  bool existed = false;
  const platform::Status opened = platform::open_file(path, mode, &fd, &existed);
  // The library's last error says what the open found, as the system's
  // does after the run-time's open.
  noted(opened, existed ? platform::kErrorAlreadyExists : 0);
  if (!opened.ok()) {
    platform::lock_release(name.c_str());
    record_open_failure(opened, status);
    return -1;
  }
  if (static_cast<size_t>(fd) >= g_open_paths.size()) {
    g_open_paths.resize(static_cast<size_t>(fd) + 1);
    g_open_locks.resize(static_cast<size_t>(fd) + 1);
  }
  std::string& slot = g_open_paths[static_cast<size_t>(fd)];
  if ((flags & (kOpenWriteOnly | kOpenReadWrite | kOpenCreate)) != 0 && !existed && slot != path) {
    // snprintf cuts an over-long path at the buffer's end.
    char text[2048];
    std::snprintf(text, sizeof text, "In varno_s_file_open. Opened file fh=[%d],[%s]", fd, path);
    LogWntError("varno_s_file_open", text, varno_GetLastError());
  }
  slot = path;
  g_open_locks[static_cast<size_t>(fd)] = name;
  // Text mode translates line ends, so bytes read and file offsets part:
  // only binary files get the layer's positioned read-ahead.
  if ((flags & kOpenText) == 0 && platform::is_regular_file(fd)) file_io_attach(fd);
  return fd;
}

}  // namespace

int32_t varno_s_file_oflags(int32_t flags) {
  int32_t mode = flags & kKnownFlags;
  if ((flags & kOpenText) == 0) mode |= platform::kModeBinary;
  return mode;
}

int32_t varno_s_file_open(const char* path, int32_t flags, VARNO_STATUS* status) {
  if (status == nullptr) return -1;
  VARNO_CLIENT_INITBLK(status);
  return open_under_lock(path != nullptr ? path : "", flags, varno_s_file_oflags(flags), status);
}

int32_t varno_s_file_create_new(const char* path, VARNO_STATUS* status) {
  if (status == nullptr) return -1;
  VARNO_CLIENT_INITBLK(status);
  // Exclusive creation is a platform mode of its own, never a flag bit: the
  // test for an existing file is part of the open, so nothing that is there
  // is ever opened.
  constexpr int kMode = platform::kModeReadWrite | platform::kModeCreate |
                        platform::kModeExclusive | platform::kModeBinary;
  return open_under_lock(path != nullptr ? path : "", kOpenReadWrite | kOpenCreate, kMode, status);
}

void varno_s_file_close(int32_t handle, VARNO_STATUS* status) {
  if (status == nullptr) return;
  VARNO_CLIENT_INITBLK(status);
  if (handle != -1) {
    file_io_detach(handle);
    if (const platform::Status closed = platform::close_file(handle); !closed.ok()) {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, note_failure(closed), status);
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrClose, status);
      return;
    }
  }
  if (handle >= 0 && static_cast<size_t>(handle) < g_open_locks.size()) {
    platform::lock_release(g_open_locks[static_cast<size_t>(handle)].c_str());
  }
}

void varno_s_file_set_lock_wait(const platform::LockWait& wait) {
  g_lock_wait = wait;
}

std::string varno_s_file_lock_name(const char* path) {
  return lock_name(path != nullptr ? path : "");
}

int32_t varno_s_file_peek_open(const char* path, int64_t* file_size, VARNO_STATUS* status) {
  VARNO_CLIENT_INITBLK(status);
  int fd = -1;
  const platform::Status opened = noted(platform::open_to_peek(path, &fd, file_size));
  if (!opened.ok()) record_open_failure(opened, status);
  return fd;
}

int32_t varno_s_file_peek(int32_t fd, void* buffer, uint32_t length, int64_t offset,
                          VARNO_STATUS* status) {
  VARNO_CLIENT_INITBLK(status);
  // One positioned read: a writer's single write is either in it or not,
  // unless the read meets it half-way, which the caller's checks see.
  uint32_t got = 0;
  if (const platform::Status read = platform::read_at(fd, buffer, length, offset, &got);
      !read.ok()) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, note_failure(read), status);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRead, status);
    return -1;
  }
  return static_cast<int32_t>(got);
}

void varno_s_file_peek_close(int32_t fd) {
  if (fd >= 0) platform::close_file(fd);
}
