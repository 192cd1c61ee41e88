// The POSIX table's open and flock under the faults of fault_injection.h.
#include <sys/file.h>

#include <cerrno>

#include "platform/system_calls.h"
#include "tests/hardening/fault_injection.h"

namespace faults {
namespace {

int injected_open(const char* path, int flags, mode_t permission) {
  if (const Fault* f = next_call(kOpen)) {
    errno = f->error;
    return -1;
  }
  return platform::default_system_calls().open(path, flags, permission);
}

int injected_lock(int fd, int operation) {
  // Giving a lock back takes none.
  if ((operation & LOCK_UN) == 0) {
    if (const Fault* f = next_call(kLock)) {
      errno = f->error;
      return -1;
    }
  }
  return platform::default_system_calls().lock(fd, operation);
}

}  // namespace

void install_open_and_lock() {
  platform::system_calls().open = injected_open;
  platform::system_calls().lock = injected_lock;
}

}  // namespace faults
