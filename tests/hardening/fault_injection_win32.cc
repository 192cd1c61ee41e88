// The Win32 table's _sopen_s and WaitForSingleObject under the faults of
// fault_injection.h.
#include <windows.h>

#include "platform/system_calls.h"
#include "tests/hardening/fault_injection.h"

namespace faults {
namespace {

// A system code for the fault's errno that the platform turns back into it.
DWORD code_for(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_IO_DEVICE;  // EIO
  }
}

int injected_open(int* fd, const char* path, int mode, int share, int permission) {
  if (const Fault* f = next_call(kOpen)) {
    *fd = -1;
    SetLastError(code_for(f->error));
    return f->error;
  }
  return platform::default_system_calls().open(fd, path, mode, share, permission);
}

DWORD injected_lock(HANDLE mutex, DWORD milliseconds) {
  if (const Fault* f = next_call(kLock)) {
    SetLastError(code_for(f->error));
    return WAIT_FAILED;
  }
  return platform::default_system_calls().lock(mutex, milliseconds);
}

}  // namespace

void install_open_and_lock() {
  platform::system_calls().open = injected_open;
  platform::system_calls().lock = injected_lock;
}

}  // namespace faults
