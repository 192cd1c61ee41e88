// The Win32 side of the platform layer that tests reach into: the table of
// every system call behind the files, their locks and renames, and of those
// whose failures wine cannot show (it enforces neither access rights nor the
// path limit, and gives the tests no console, no symbolic links and no event
// log to read back). Include platform/system_calls.h, which picks this header
// on Windows; only platform_win32.cc and the tests use it.
//
// The Windows types appear under their plain C++ names, so that a test that
// replaces a transfer need not include <windows.h>: HANDLE is void*, DWORD
// unsigned long, BOOL int, UINT unsigned int, WORD unsigned short
// (platform_win32.cc checks that they are the same types).
#ifndef VARNO_PLATFORM_PLATFORM_WIN32_H_
#define VARNO_PLATFORM_PLATFORM_WIN32_H_

#include <cstdint>

#include "platform/registry.h"

struct _SECURITY_ATTRIBUTES;  // SECURITY_ATTRIBUTES
struct _WIN32_FIND_DATAA;     // WIN32_FIND_DATAA

namespace platform {

// Each entry behaves as the call it is named after. The transfers (seek to
// sync) have the same shape as in every system's table: POSIX's, a result
// and errno on failure, with the system's code of the failure in _doserrno.
struct SystemCalls {
  // The run-time's _sopen_s: open_file, which then asks GetFileType whether
  // it opened a disk file (is_regular_file asks it too); GetFileSizeEx:
  // open_to_peek's size. The run-time's _close: close_file.
  int (*open)(int* fd, const char* path, int mode, int share, int permission);
  unsigned long (*file_type)(void* file);
  int (*file_size)(void* file, int64_t* size);
  int (*close)(int fd);
  // CreateMutexA and OpenMutexA: the store file lock's mutexes;
  // WaitForSingleObject takes one (lock), ReleaseMutex gives it back (unlock).
  void* (*create_mutex)(_SECURITY_ATTRIBUTES* attributes, int owned, const char* name);
  void* (*open_mutex)(unsigned long access, int inherit, const char* name);
  unsigned long (*lock)(void* mutex, unsigned long milliseconds);
  int (*unlock)(void* mutex);
  // The run-time's _lseeki64, _read, _write and _commit; ReadFile and
  // WriteFile at an offset (OVERLAPPED) on the descriptor's handle.
  int64_t (*seek)(int fd, int64_t offset, int origin);
  int64_t (*read)(int fd, void* buffer, uint32_t count);
  int64_t (*write)(int fd, const void* buffer, uint32_t count);
  int64_t (*pread)(int fd, void* buffer, uint32_t count, int64_t offset);
  int64_t (*pwrite)(int fd, const void* buffer, uint32_t count, int64_t offset);
  int (*sync)(int fd);
  // MoveFileExA: rename_no_replace, replace_file. The run-time's _unlink:
  // remove_file.
  int (*rename)(const char* from, const char* to, unsigned long flags);
  int (*remove)(const char* path);
  // GetConsoleCP, GetConsoleOutputCP, SetConsoleCP, SetConsoleOutputCP.
  unsigned int (*get_console_cp)();
  unsigned int (*get_console_output_cp)();
  int (*set_console_cp)(unsigned int page);
  int (*set_console_output_cp)(unsigned int page);
  // FindFirstFileA and GetFinalPathNameByHandleA: stored_spelling, which
  // follows a symbolic link to the file it leads to.
  void* (*find_first_file)(const char* path, _WIN32_FIND_DATAA* found);
  unsigned long (*get_final_path)(void* file, char* buffer, unsigned long size,
                                  unsigned long flags);
  // RegisterEventSourceA, ReportEventA, DeregisterEventSource: system_log.
  void* (*register_event_source)(const char* server, const char* source);
  int (*report_event)(void* log, unsigned short type, unsigned short category, unsigned long event,
                      void* user, unsigned short count, unsigned long data_size,
                      const char** strings, void* data);
  int (*deregister_event_source)(void* log);
  // GetUserNameA: current_user.
  int (*get_user_name)(char* buffer, unsigned long* size);
  // RegOpenKeyExA and the other registry calls (platform/registry.h).
  RegistryCalls registry;
};

// The table in use: a test replaces one entry by assigning it, calls the
// real one through default_system_calls(), and puts every entry back with
// restore_system_calls().
SystemCalls& system_calls();
const SystemCalls& default_system_calls();
void restore_system_calls();

// The console's code pages for the program's run (platform.h says when):
// console_pages_utf8 sets both to UTF-8 when the program has a console and
// remembers what they were; console_pages_restore puts back what it changed,
// once. The program's start and end call them; tests call them through a
// console of their own in the table.
void console_pages_utf8();
void console_pages_restore();

// The security descriptor the store file lock's mutexes are made with, in
// the system's descriptor language (SDDL).
extern const char kLockSecurity[];

// The event identifier of system_log's entries in the Application log.
constexpr unsigned long kSystemLogEvent = 1;

}  // namespace platform

#endif  // VARNO_PLATFORM_PLATFORM_WIN32_H_
