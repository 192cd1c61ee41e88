// The POSIX side of the platform layer that its tests reach into: the calls
// behind the system log and the user's name, whose failures a test machine
// cannot bring about on its own, in a table that tests may fill with their
// own, as IoCalls does for the file layer's transfers. Only
// platform_posix.cc and the POSIX tests include this header.
#ifndef VARNO_PLATFORM_PLATFORM_POSIX_H_
#define VARNO_PLATFORM_PLATFORM_POSIX_H_

#include <pwd.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace platform {

// Each entry behaves as the call it is named after.
struct PosixCalls {
  // connect and send: the system log's socket (kSystemLogSocket).
  int (*connect)(int fd, const sockaddr* address, socklen_t length);
  ssize_t (*send)(int fd, const void* data, size_t size, int flags);
  // getpwuid_r: current_user.
  int (*getpwuid_r)(uid_t uid, passwd* entry, char* buffer, size_t size, passwd** result);
};
PosixCalls& posix();                // the table in use
const PosixCalls& default_posix();  // the real calls

// The socket syslog listens on, where system_log sends its datagram.
extern const char kSystemLogSocket[];

}  // namespace platform

#endif  // VARNO_PLATFORM_PLATFORM_POSIX_H_
