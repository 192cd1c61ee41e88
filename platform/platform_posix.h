// The POSIX side of the platform layer that tests reach into: the table of
// every system call behind the files, their locks and renames, the system
// log, the user's name and the registry. Include platform/system_calls.h, which picks this
// header on POSIX; only platform_posix.cc and the tests use it.
#ifndef VARNO_PLATFORM_PLATFORM_POSIX_H_
#define VARNO_PLATFORM_PLATFORM_POSIX_H_

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/registry.h"

namespace platform {

// Each entry behaves as the call it is named after: its result, and errno
// on failure. The transfers (seek to sync) have the same shape in every
// system's table, so that a test written against them runs everywhere.
struct SystemCalls {
  // open_file: what is there before the open (stat), the open, and what was
  // opened (fstat); the lock file's open too. close: close_file.
  int (*open)(const char* path, int flags, mode_t permission);
  int (*stat)(const char* path, struct stat* st);
  int (*fstat)(int fd, struct stat* st);
  int (*close)(int fd);
  // flock: lock_acquire takes the lock file's lock with it (LOCK_EX, with
  // LOCK_NB while a wait is timed), lock_release gives it back (LOCK_UN).
  int (*lock)(int fd, int operation);
  // lseek, read, write, pread, pwrite, fsync.
  int64_t (*seek)(int fd, int64_t offset, int origin);
  int64_t (*read)(int fd, void* buffer, uint32_t count);
  int64_t (*write)(int fd, const void* buffer, uint32_t count);
  int64_t (*pread)(int fd, void* buffer, uint32_t count, int64_t offset);
  int64_t (*pwrite)(int fd, const void* buffer, uint32_t count, int64_t offset);
  int (*sync)(int fd);
  // renameat2, or rename(2) without flags: rename_no_replace asks for
  // RENAME_NOREPLACE (ENOSYS where the system has no renameat2) and falls back
  // on link and then unlink; replace_file renames over the old file.
  // remove_file: unlink.
  int (*rename)(const char* from, const char* to, unsigned flags);
  int (*link)(const char* from, const char* to);
  int (*remove)(const char* path);
  // connect and send: the system log's socket (kSystemLogSocket).
  int (*connect)(int fd, const sockaddr* address, socklen_t length);
  ssize_t (*send)(int fd, const void* data, size_t size, int flags);
  // getpwuid_r: current_user.
  int (*getpwuid_r)(uid_t uid, passwd* entry, char* buffer, size_t size, passwd** result);
  // The registry's calls (platform/registry.h): the stand-in tree's here.
  RegistryCalls registry;
};

// The table in use: a test replaces one entry by assigning it, calls the
// real one through default_system_calls(), and puts every entry back with
// restore_system_calls().
SystemCalls& system_calls();
const SystemCalls& default_system_calls();
void restore_system_calls();

// The socket syslog listens on, where system_log sends its datagram.
extern const char kSystemLogSocket[];

}  // namespace platform

#endif  // VARNO_PLATFORM_PLATFORM_POSIX_H_
