// The Win32 side of the platform layer that its tests reach into: the system
// calls whose failures wine cannot show (it enforces neither access rights
// nor the path limit, and gives the tests no console, no symbolic links and
// no event log to read back), in a table that tests may fill with their own,
// as IoCalls does for the file layer's transfers.
// Only platform_win32.cc and the Win32 tests include this header.
#ifndef VARNO_PLATFORM_PLATFORM_WIN32_H_
#define VARNO_PLATFORM_PLATFORM_WIN32_H_

#include <windows.h>

namespace platform {

// Each entry behaves as the call it is named after.
struct Win32Calls {
  // CreateMutexA and OpenMutexA: the store file lock's mutexes.
  HANDLE (*create_mutex)(SECURITY_ATTRIBUTES* attributes, BOOL owned, const char* name);
  HANDLE (*open_mutex)(DWORD access, BOOL inherit, const char* name);
  // The run-time's _sopen_s: open_file.
  int (*sopen)(int* fd, const char* path, int mode, int share, int permission);
  // GetConsoleCP, GetConsoleOutputCP, SetConsoleCP, SetConsoleOutputCP.
  UINT (*get_console_cp)();
  UINT (*get_console_output_cp)();
  BOOL (*set_console_cp)(UINT page);
  BOOL (*set_console_output_cp)(UINT page);
  // FindFirstFileA and GetFinalPathNameByHandleA: stored_spelling, which
  // follows a symbolic link to the file it leads to.
  HANDLE (*find_first_file)(const char* path, WIN32_FIND_DATAA* found);
  DWORD (*get_final_path)(HANDLE file, char* buffer, DWORD size, DWORD flags);
  // RegisterEventSourceA, ReportEventA, DeregisterEventSource: system_log.
  HANDLE (*register_event_source)(const char* server, const char* source);
  BOOL(*report_event)
  (HANDLE log, WORD type, WORD category, DWORD event, PSID user, WORD count, DWORD data_size,
   const char** strings, void* data);
  BOOL (*deregister_event_source)(HANDLE log);
  // GetUserNameA: current_user.
  BOOL (*get_user_name)(char* buffer, DWORD* size);
};
Win32Calls& win32();                // the table in use
const Win32Calls& default_win32();  // the real calls

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
constexpr DWORD kSystemLogEvent = 1;

}  // namespace platform

#endif  // VARNO_PLATFORM_PLATFORM_WIN32_H_
