// Win32 implementation of the platform layer: the run-time's descriptor files,
// named kernel mutexes for the store file lock, the system's message table,
// the console and its code pages, winsock's services database.
//
// The programs' manifest (cmake/windows/) makes UTF-8 the code page of every
// "A" call, so paths, lock names and the command line are UTF-8 here.
#include <winsock2.h>
// winsock2.h must come before windows.h.
#include <windows.h>

#include <sddl.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/timeb.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_win32.h"

// platform_win32.h spells the Windows types of its table plainly.
static_assert(std::is_same_v<HANDLE, void*>);
static_assert(std::is_same_v<DWORD, unsigned long>);
static_assert(std::is_same_v<BOOL, int>);
static_assert(std::is_same_v<UINT, unsigned int>);
static_assert(std::is_same_v<WORD, unsigned short>);
static_assert(std::is_same_v<PSID, void*>);

namespace platform {

const uint32_t kErrorNotFound = ERROR_FILE_NOT_FOUND;
const uint32_t kErrorAlreadyExists = ERROR_ALREADY_EXISTS;
// A code of the application's own (bit 29); described by describe_code.
const uint32_t kErrorNotRegularFile = 0x20000001;
const bool kShellTakesBackslashes = false;

namespace {

// The run-time's errno for a Win32 error of a call made here directly.
int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

// The failure of a Win32 call, from its code (GetLastError).
Status from_system(DWORD code, std::string about = {}) {
  return Status::failure(errno_of(code), code, std::move(about));
}

// The failure of a run-time call: its errno, and the system error behind it,
// which the run-time keeps in _doserrno (0 when no system call failed; the
// caller clears it before the call).
Status from_runtime() {
  return Status::failure(errno, static_cast<uint32_t>(_doserrno));
}

HANDLE os_handle(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int64_t sys_seek(int fd, int64_t offset, int origin) {
  return _lseeki64(fd, offset, origin);
}
int64_t sys_read(int fd, void* buffer, uint32_t count) {
  return _read(fd, buffer, count);
}
int64_t sys_write(int fd, const void* buffer, uint32_t count) {
  return _write(fd, buffer, count);
}

// Positioned transfers through the descriptor's handle: an OVERLAPPED offset
// on a synchronous handle reads or writes there without a separate seek.
// Only binary descriptors come here, so no line-end translation is skipped.
// Returns the handle with *at set to `offset`, or INVALID_HANDLE_VALUE with
// errno set.
HANDLE positioned(int fd, int64_t offset, OVERLAPPED* at) {
  HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE) errno = EBADF;
  *at = OVERLAPPED{};
  at->Offset = static_cast<DWORD>(offset);
  at->OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return h;
}
// A failed transfer: -1 with errno and _doserrno set, as the run-time's own
// calls leave them. A handle opened without that access refuses as they do,
// with EBADF.
int64_t transfer_failed(DWORD code) {
  errno = code == ERROR_ACCESS_DENIED ? EBADF : errno_of(code);
  _doserrno = code;
  return -1;
}

int64_t sys_pread(int fd, void* buffer, uint32_t count, int64_t offset) {
  OVERLAPPED at;
  HANDLE h = positioned(fd, offset, &at);
  if (h == INVALID_HANDLE_VALUE) return -1;
  DWORD done = 0;
  if (ReadFile(h, buffer, count, &done, &at)) return done;
  const DWORD code = GetLastError();
  return code == ERROR_HANDLE_EOF ? 0 : transfer_failed(code);
}
int64_t sys_pwrite(int fd, const void* buffer, uint32_t count, int64_t offset) {
  OVERLAPPED at;
  HANDLE h = positioned(fd, offset, &at);
  if (h == INVALID_HANDLE_VALUE) return -1;
  DWORD done = 0;
  if (WriteFile(h, buffer, count, &done, &at)) return done;
  return transfer_failed(GetLastError());
}
int sys_sync(int fd) {
  return _commit(fd);
}

int sys_open(int* fd, const char* path, int mode, int share, int permission) {
  return _sopen_s(fd, path, mode, share, permission);
}
DWORD sys_file_type(HANDLE file) {
  return GetFileType(file);
}
BOOL sys_file_size(HANDLE file, int64_t* size) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) return FALSE;
  *size = length.QuadPart;
  return TRUE;
}
int sys_close(int fd) {
  return _close(fd);
}
HANDLE sys_create_mutex(SECURITY_ATTRIBUTES* attributes, BOOL owned, const char* name) {
  return CreateMutexA(attributes, owned, name);
}
HANDLE sys_open_mutex(DWORD access, BOOL inherit, const char* name) {
  return OpenMutexA(access, inherit, name);
}
DWORD sys_lock(HANDLE mutex, DWORD milliseconds) {
  return WaitForSingleObject(mutex, milliseconds);
}
BOOL sys_unlock(HANDLE mutex) {
  return ReleaseMutex(mutex);
}
BOOL sys_rename(const char* from, const char* to, DWORD flags) {
  return MoveFileExA(from, to, flags);
}
int sys_remove(const char* path) {
  return _unlink(path);
}
UINT sys_get_console_cp() {
  return GetConsoleCP();
}
UINT sys_get_console_output_cp() {
  return GetConsoleOutputCP();
}
BOOL sys_set_console_cp(UINT page) {
  return SetConsoleCP(page);
}
BOOL sys_set_console_output_cp(UINT page) {
  return SetConsoleOutputCP(page);
}
HANDLE sys_find_first_file(const char* path, WIN32_FIND_DATAA* found) {
  return FindFirstFileA(path, found);
}
DWORD sys_get_final_path(HANDLE file, char* buffer, DWORD size, DWORD flags) {
  return GetFinalPathNameByHandleA(file, buffer, size, flags);
}
HANDLE sys_register_event_source(const char* server, const char* source) {
  return RegisterEventSourceA(server, source);
}
BOOL sys_report_event(HANDLE log, WORD type, WORD category, DWORD event, PSID user, WORD count,
                      DWORD data_size, const char** strings, void* data) {
  return ReportEventA(log, type, category, event, user, count, data_size, strings, data);
}
BOOL sys_deregister_event_source(HANDLE log) {
  return DeregisterEventSource(log);
}
BOOL sys_get_user_name(char* buffer, DWORD* size) {
  return GetUserNameA(buffer, size);
}

// This file's own entries; the registry's part is filled in below.
constexpr SystemCalls kOwnCalls = {sys_open,
                                   sys_file_type,
                                   sys_file_size,
                                   sys_close,
                                   sys_create_mutex,
                                   sys_open_mutex,
                                   sys_lock,
                                   sys_unlock,
                                   sys_seek,
                                   sys_read,
                                   sys_write,
                                   sys_pread,
                                   sys_pwrite,
                                   sys_sync,
                                   sys_rename,
                                   sys_remove,
                                   sys_get_console_cp,
                                   sys_get_console_output_cp,
                                   sys_set_console_cp,
                                   sys_set_console_output_cp,
                                   sys_find_first_file,
                                   sys_get_final_path,
                                   sys_register_event_source,
                                   sys_report_event,
                                   sys_deregister_event_source,
                                   sys_get_user_name,
                                   {}};

// The defaults with the registry's part (registry_win32.cc). Both tables are
// made on first use: a static object of another file may call this layer
// before the statics of this one exist.
const SystemCalls& defaults() {
  static const SystemCalls table = [] {
    SystemCalls own = kOwnCalls;
    own.registry = default_registry_calls();
    return own;
  }();
  return table;
}
SystemCalls& calls() {
  static SystemCalls table = defaults();
  return table;
}

// Characters of a path, as Windows counts them against its limit (UTF-16
// units).
size_t path_length(const char* path) {
  const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  return n > 0 ? static_cast<size_t>(n - 1) : std::strlen(path);
}

// A failed _sopen_s of `path`: its errno and the system's code it left.
Status open_failure(const char* path, int error, DWORD code) {
  // An exclusive create that found the file says so as a plain create does.
  if (error == EEXIST) code = ERROR_ALREADY_EXISTS;
  if (code == ERROR_FILENAME_EXCED_RANGE) {
    // The run-time calls a path too long "no such file"; it is there, maybe,
    // but Windows takes a path this long only where its policy allows.
    return Status::failure(ENAMETOOLONG, code,
                           "a path of " + std::to_string(path_length(path)) +
                               " characters; Windows takes one longer than 259 only where the "
                               "LongPathsEnabled policy is on");
  }
  // The run-time can refuse without a system call failing (no descriptor
  // left, a bad mode); that must not read as success.
  return Status::failure(error, code != 0 ? code : ERROR_ACCESS_DENIED);
}

// The result of a transfer call: the count, or the failure.
Status transferred(int64_t result, uint32_t* done) {
  if (result < 0) {
    *done = 0;
    return from_runtime();
  }
  *done = static_cast<uint32_t>(result);
  return {};
}

}  // namespace

SystemCalls& system_calls() {
  return calls();
}
const SystemCalls& default_system_calls() {
  return defaults();
}
void restore_system_calls() {
  calls() = defaults();
}

Status open_file(const char* path, int mode, int* fd, bool* existed) {
  *fd = -1;
  if (existed != nullptr) *existed = false;
  int opened = -1;
  // The modes are the run-time's own _O_ values. Children never inherit the
  // descriptor; other openers may read and write the file meanwhile.
  SetLastError(0);
  const int failure =
      calls().open(&opened, path, mode | _O_NOINHERIT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  // A create that found the file leaves ERROR_ALREADY_EXISTS; read it before
  // any other call can change it.
  const DWORD code = GetLastError();
  if (failure != 0 || opened < 0) return open_failure(path, failure != 0 ? failure : errno, code);
  // A device (CON, NUL, a COM port) or a pipe is no store file, and reading
  // one may wait without end while the caller holds a store file lock.
  if (calls().file_type(os_handle(opened)) != FILE_TYPE_DISK) {
    calls().close(opened);
    return Status::failure(EINVAL, kErrorNotRegularFile);
  }
  *fd = opened;
  if (existed != nullptr) *existed = (mode & kModeCreate) != 0 && code == ERROR_ALREADY_EXISTS;
  return {};
}

Status close_file(int fd) {
  _doserrno = 0;
  return calls().close(fd) == 0 ? Status{} : from_runtime();
}

Status seek(int fd, int64_t offset, int origin, int64_t* position) {
  _doserrno = 0;
  *position = calls().seek(fd, offset, origin);
  return *position >= 0 ? Status{} : from_runtime();
}
Status read(int fd, void* buffer, uint32_t count, uint32_t* done) {
  _doserrno = 0;
  return transferred(calls().read(fd, buffer, count), done);
}
Status write(int fd, const void* buffer, uint32_t count, uint32_t* done) {
  _doserrno = 0;
  return transferred(calls().write(fd, buffer, count), done);
}
Status read_at(int fd, void* buffer, uint32_t count, int64_t offset, uint32_t* done) {
  _doserrno = 0;
  return transferred(calls().pread(fd, buffer, count, offset), done);
}
Status write_at(int fd, const void* buffer, uint32_t count, int64_t offset, uint32_t* done) {
  _doserrno = 0;
  return transferred(calls().pwrite(fd, buffer, count, offset), done);
}
Status sync(int fd) {
  _doserrno = 0;
  return calls().sync(fd) == 0 ? Status{} : from_runtime();
}

bool is_regular_file(int fd) {
  HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE || calls().file_type(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

// The volume serial number and file index of `path`: one file however it is
// spelled (case, short names, relative parts, links).
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

bool same_file(const char* path_a, const char* path_b) {
  BY_HANDLE_FILE_INFORMATION a, b;
  if (!file_identity(path_a, &a) || !file_identity(path_b, &b)) return false;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

Status remove_file(const char* path) {
  SetLastError(0);
  if (calls().remove(path) == 0) return {};
  return Status::failure(errno, GetLastError());
}

Status rename_no_replace(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing destination is an error;
  // COPY_ALLOWED lets the copy move to another volume.
  if (calls().rename(from, to, MOVEFILE_COPY_ALLOWED)) return {};
  const DWORD code = GetLastError();
  return from_system(code == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : code);
}

Status describe_code(uint32_t code, std::string* text) {
  if (code == kErrorNotRegularFile) {
    *text = "Not a disk file (a device or a pipe).\r\n";
    return {};
  }
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPSTR>(&buffer),
      0, nullptr);
  if (n == 0 || buffer == nullptr) return from_system(GetLastError());
  text->assign(buffer, n);
  LocalFree(buffer);
  return {};
}

std::string describe_error(const Status& failure) {
  std::string text;
  if (failure.code == 0 || !describe_code(failure.code, &text).ok()) {
    return describe_errno(failure.error);
  }
  // One line: the table breaks long texts with CR LF.
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    line += c == '\n' ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return failure.about.empty() ? line : line + " (" + failure.about + ")";
}

std::string describe_errno(int error) {
  return std::strerror(error);
}

namespace {

// The path of the file `path` leads to, every link on the way followed, as
// the file system stores it, without the "\\?\" GetFinalPathNameByHandleA
// puts before it ("\\?\UNC\server\share" becomes "\\server\share").
// Empty when the file cannot be opened or its path not had.
std::string final_path(const char* path) {
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  std::string buffer(MAX_PATH, '\0');
  DWORD n = calls().get_final_path(file, buffer.data(), static_cast<DWORD>(buffer.size()), kFlags);
  if (n >= buffer.size()) {
    // Too small: n is the size needed, the terminator included.
    buffer.resize(n);
    n = calls().get_final_path(file, buffer.data(), n, kFlags);
  }
  CloseHandle(file);
  if (n == 0 || n >= buffer.size()) return {};
  buffer.resize(n);
  if (buffer.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + buffer.substr(8);
  if (buffer.rfind("\\\\?\\", 0) == 0) return buffer.substr(4);
  return buffer;
}

}  // namespace

std::string stored_spelling(const char* path) {
  const std::string given = path;
  const size_t cut = given.find_last_of("\\/:");
  const size_t start = cut == std::string::npos ? 0 : cut + 1;
  const std::string leaf = given.substr(start);
  // FindFirstFile takes these as wildcards: such a name could match another
  // file's, and names none of its own.
  if (leaf.empty() || leaf == "." || leaf == ".." ||
      leaf.find_first_of("*?<>\"") != std::string::npos) {
    return given;
  }
  WIN32_FIND_DATAA found;
  HANDLE h = calls().find_first_file(path, &found);
  if (h == INVALID_HANDLE_VALUE) return given;
  FindClose(h);
  // A symbolic link is found as itself; the service names the file it leads
  // to, which is what the lock must be named after.
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      found.dwReserved0 == IO_REPARSE_TAG_SYMLINK) {
    const std::string target = final_path(path);
    if (!target.empty()) return target;
  }
  return given.substr(0, start) + found.cFileName;
}

// Store file locks.
//
// A lock is a pair of named kernel mutexes: the plain name, local to the
// caller's session, and "Global\" + the name. A service runs in session 0,
// where a plain name is already global, while an operator's console runs in a
// later session, where it is not: the utility and the service would each lock
// a mutex of their own. Holding both excludes the service and every peer in
// the operator's session, and since everyone takes the plain name first, a
// peer that takes only one of the two cannot deadlock with us.
//
// Mutexes belong to the thread that waited for them and count recursively, so
// every acquire waits and every release gives one hold back; handles stay
// open for the life of the process, and its end releases what it still holds
// (the next waiter then sees the mutex abandoned).
namespace {

constexpr char kGlobalPrefix[] = "Global\\";
// The object manager refuses names longer than MAX_PATH, prefix included.
constexpr size_t kMaxLockName = MAX_PATH - (sizeof kGlobalPrefix - 1);

struct LockHold {
  HANDLE local = nullptr;
  HANDLE global = nullptr;
  int count = 0;
};
std::map<std::string, LockHold> g_locks;  // by the name as given

uint64_t name_hash(const std::string& name) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

std::string lock_object_name(const char* name) {
  const std::string given = name;
  if (!given.empty() && given.size() <= kMaxLockName && given.find('\\') == std::string::npos) {
    return given;  // what the store-and-forward service itself uses
  }
  // A backslash would name another namespace, an empty name an unnamed
  // mutex that nobody else can find, a long one is refused: each is replaced
  // the same way every time, so every process arrives at one name.
  std::string out;
  for (char c : given) out += c == '\\' ? std::string("%5C") : std::string(1, c);
  if (out.empty()) out = "%";
  if (out.size() > kMaxLockName) {
    char tail[20];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(name_hash(given)));
    out = out.substr(0, kMaxLockName - 17) + tail;
  }
  return out;
}

// SYSTEM and administrators anything (MUTEX_ALL_ACCESS); interactive and
// service logons, and every authenticated user (a scheduled task of an
// ordinary account, an operator over a remote shell), what waiting and
// releasing need (SYNCHRONIZE | MUTEX_MODIFY_STATE): the lock only orders
// the openers, the file's own access rights still decide who may read it.
// Default security would give the creating account alone full access: a
// service that made the lock first would shut the operator out, or the
// other way round.
const char kLockSecurity[] =
    "D:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x100001;;;IU)(A;;0x100001;;;SU)"
    "(A;;0x100001;;;AU)";

namespace {

// The attributes the lock's mutexes are made with; null (default security)
// when the descriptor cannot be built. Made once, kept for the process.
SECURITY_ATTRIBUTES* lock_attributes() {
  static SECURITY_ATTRIBUTES attributes{};
  static const bool made = [] {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kLockSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      return false;
    }
    attributes = {sizeof attributes, descriptor, FALSE};
    return true;
  }();
  return made ? &attributes : nullptr;
}

// The mutex `name`, made with lock_attributes when it is new. Creating one
// that exists asks for all access: when another account's mutex refuses it,
// the mutex is opened asking only for what waiting and releasing need. Null
// with *failure set, naming the mutex, when neither works.
HANDLE lock_mutex(const std::string& name, Status* failure) {
  HANDLE mutex = calls().create_mutex(lock_attributes(), FALSE, name.c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = calls().open_mutex(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  }
  if (mutex == nullptr) *failure = from_system(GetLastError(), "store file lock " + name);
  return mutex;
}

// How long a wait for the lock has lasted, and what it has said so far.
struct Waiting {
  const LockWait* wait;
  const char* name;
  ULONGLONG start = GetTickCount64();
  bool noticed = false;
  ~Waiting() {
    if (noticed) wait->notice(wait->context, name, false);
  }
};

// Waits for `mutex` as the lock's wait says (without limit when it says
// nothing). An abandoned mutex counts as held and sets *abandoned; a wait
// that runs out fails with ETIMEDOUT.
Status wait_for(HANDLE mutex, bool* abandoned, Waiting* waiting) {
  const LockWait* wait = waiting->wait;
  const bool limited = wait != nullptr && (wait->timeout_ms >= 0 || wait->notice != nullptr);
  for (;;) {
    DWORD slice = INFINITE;
    if (limited) {
      const ULONGLONG waited = GetTickCount64() - waiting->start;
      if (wait->timeout_ms >= 0 && waited >= static_cast<ULONGLONG>(wait->timeout_ms)) {
        return Status::failure(ETIMEDOUT, WAIT_TIMEOUT);
      }
      if (!waiting->noticed && waited >= 1000 && wait->notice != nullptr) {
        waiting->noticed = true;
        wait->notice(wait->context, waiting->name, true);
      }
      // Wake at the next moment that matters: the notice or the time limit.
      ULONGLONG until = wait->timeout_ms >= 0 ? static_cast<ULONGLONG>(wait->timeout_ms) : ~0ull;
      if (!waiting->noticed && wait->notice != nullptr && until > 1000) until = 1000;
      slice = until == ~0ull ? INFINITE : static_cast<DWORD>(until - waited);
    }
    const DWORD result = calls().lock(mutex, slice);
    if (result == WAIT_OBJECT_0) return {};
    if (result == WAIT_ABANDONED) {
      *abandoned = true;
      return {};
    }
    if (result == WAIT_TIMEOUT && limited) continue;
    return from_system(GetLastError());
  }
}

// The two mutexes of lock `name`, made or opened on its first acquire.
Status open_lock(const char* name, LockHold* hold) {
  if (hold->local != nullptr) return {};
  const std::string plain = lock_object_name(name);
  Status failure;
  hold->local = lock_mutex(plain, &failure);
  if (hold->local == nullptr) return failure;
  hold->global = lock_mutex(kGlobalPrefix + plain, &failure);
  if (hold->global == nullptr) {
    CloseHandle(hold->local);
    hold->local = nullptr;
  }
  return failure;
}

}  // namespace

Status lock_acquire(const char* name, bool* abandoned, const LockWait* wait) {
  bool was_abandoned = false;
  Waiting waiting{wait, name};
  LockHold& hold = g_locks[name];
  if (Status opened = open_lock(name, &hold); !opened.ok()) return opened;
  if (Status held = wait_for(hold.local, &was_abandoned, &waiting); !held.ok()) return held;
  if (Status held = wait_for(hold.global, &was_abandoned, &waiting); !held.ok()) {
    calls().unlock(hold.local);
    return held;
  }
  ++hold.count;
  if (abandoned != nullptr) *abandoned = was_abandoned;
  return {};
}

Status lock_release(const char* name) {
  auto it = g_locks.find(name);
  if (it == g_locks.end() || it->second.count == 0) return {};
  --it->second.count;
  // Both are given back whatever becomes of the first.
  Status released;
  if (!calls().unlock(it->second.global)) released = from_system(GetLastError());
  if (!calls().unlock(it->second.local) && released.ok()) released = from_system(GetLastError());
  return released;
}

std::string environment_directory() {
  const char* home = std::getenv("VARNO_HOME");
  std::string dir;
  bool slash = false;
  if (home != nullptr && *home != '\0') {
    dir = home;
    slash = dir.back() == '/';
  } else {
    const char* data = std::getenv("ProgramData");
    dir = std::string(data != nullptr && *data != '\0' ? data : "C:\\ProgramData") + "\\varno";
  }
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir + (slash ? '/' : '\\');
}

namespace {

bool is_directory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

Status make_directories(const std::string& path) {
  if (is_directory(path)) return {};
  // Past a drive ("C:") or a share ("\\server\share") every separator ends a
  // directory to create.
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':') start = 2;
  if (path.rfind("\\\\", 0) == 0 || path.rfind("//", 0) == 0) {
    start = path.find_first_of("\\/", 2);
    if (start != std::string::npos) start = path.find_first_of("\\/", start + 1);
    if (start == std::string::npos) return Status::failure(EINVAL, ERROR_BAD_PATHNAME);
  }
  for (size_t pos = start + 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/' || path[pos] == '\\') {
      const std::string part = path.substr(0, pos);
      if (part.empty() || is_directory(part)) continue;
      if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return from_system(GetLastError());
      }
    }
  }
  return is_directory(path) ? Status{} : Status::failure(ENOTDIR, ERROR_DIRECTORY);
}

bool directory_writable(const std::string& path) {
  // Attributes say nothing about a directory's access rights: try it.
  std::string probe = path;
  if (!probe.empty() && probe.back() != '/' && probe.back() != '\\') probe += '\\';
  probe += ".varno-probe-" + std::to_string(GetCurrentProcessId());
  HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

Status append_entry(const std::string& path, const std::string& text) {
  // A Windows text file: every line feed becomes CR LF. FILE_APPEND_DATA
  // puts each single write at the end, so entries of several processes
  // never interleave.
  std::string lines;
  lines.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return from_system(GetLastError());
  DWORD done = 0;
  Status written;
  if (!WriteFile(h, lines.data(), static_cast<DWORD>(lines.size()), &done, nullptr)) {
    written = from_system(GetLastError());
  } else if (done != lines.size()) {
    written = Status::failure(EIO, ERROR_WRITE_FAULT);
  }
  CloseHandle(h);
  return written;
}

int process_id() {
  return static_cast<int>(GetCurrentProcessId());
}

Status local_time(int64_t seconds, std::tm* out) {
  const __time64_t t = seconds;
  // A run-time refusal: an error number, no system code.
  const errno_t error = _localtime64_s(out, &t);
  return error == 0 ? Status{} : Status::failure(error, 0);
}

std::string log_time_stamp() {
  __timeb64 now;
  _ftime64_s(&now);
  std::tm tm{};
  _localtime64_s(&tm, &now.time);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(now.millitm));
  return buf;
}

namespace {
volatile LONG g_interrupted = 0;
BOOL WINAPI note_interrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&g_interrupted, 1);
  return TRUE;
}
// SIGTERM reaches a Windows program only from raise(); the run-time resets
// the handler before it calls it.
void note_terminate(int) {
  InterlockedExchange(&g_interrupted, 1);
  std::signal(SIGTERM, note_terminate);
}
}  // namespace

void watch_interrupts() {
  SetConsoleCtrlHandler(note_interrupt, TRUE);
  std::signal(SIGTERM, note_terminate);
}

bool interrupted() {
  return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0;
}

void sleep_ms(int32_t milliseconds) {
  if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

bool tcp_service_known(const char* name) {
  // Winsock must be started before its database can be asked; it stays
  // started for the life of the process.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started && getservbyname(name, "tcp") != nullptr;
}

Status system_log(const char* source, const std::string& text) {
  HANDLE log = calls().register_event_source(nullptr, source);
  if (log == nullptr) return from_system(GetLastError());
  const char* strings[1] = {text.c_str()};
  Status reported;
  if (!calls().report_event(log, EVENTLOG_INFORMATION_TYPE, 0, kSystemLogEvent, nullptr, 1, 0,
                            strings, nullptr)) {
    reported = from_system(GetLastError());
  }
  calls().deregister_event_source(log);
  return reported;
}

std::string current_user() {
  char name[257];  // UNLEN + 1
  DWORD size = sizeof name;
  if (calls().get_user_name(name, &size) && name[0] != '\0') return name;
  const char* user = std::getenv("USERNAME");
  if (user != nullptr && *user != '\0') return user;
  return "unknown";
}

namespace {

// Only a console has a console mode: wine's GetFileType and _isatty also call
// NUL a character device.
bool is_console(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool stdout_is_terminal() {
  return is_console(STD_OUTPUT_HANDLE);
}

bool stderr_is_terminal() {
  return is_console(STD_ERROR_HANDLE);
}

void clear_screen() {
  if (!stdout_is_terminal()) return;
  std::fflush(stdout);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(out, &info)) return;
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  const COORD origin = {0, 0};
  DWORD written = 0;
  FillConsoleOutputCharacterA(out, ' ', cells, origin, &written);
  FillConsoleOutputAttribute(out, info.wAttributes, cells, origin, &written);
  SetConsoleCursorPosition(out, origin);
}

void binary_stream(std::FILE* stream) {
  std::fflush(stream);
  _setmode(_fileno(stream), _O_BINARY);
}

bool is_help_switch(const char* arg) {
  return std::strcmp(arg, "/?") == 0;
}

// The console's code pages for the program's run.
namespace {

// What the console had before console_pages_utf8 changed it; 0 for a page
// left alone. Atomic: a console signal restores from a thread of its own.
std::atomic<UINT> g_console_input{0};
std::atomic<UINT> g_console_output{0};

// Ctrl+C, Ctrl+Break and closing the console end the process without the
// run-time's exit: give the pages back first, then let the default handler
// end it.
BOOL WINAPI restore_on_signal(DWORD) {
  console_pages_restore();
  return FALSE;
}

// Every program's run, from before main to after its end.
struct ConsoleRun {
  ConsoleRun() { console_pages_utf8(); }
  ~ConsoleRun() { console_pages_restore(); }
};
const ConsoleRun g_console_run;

}  // namespace

void console_pages_utf8() {
  const UINT input = calls().get_console_cp();
  const UINT output = calls().get_console_output_cp();
  if (input == 0 && output == 0) return;  // no console
  static const bool handler = SetConsoleCtrlHandler(restore_on_signal, TRUE) != 0;
  (void)handler;
  if (input != CP_UTF8 && calls().set_console_cp(CP_UTF8)) g_console_input = input;
  if (output != CP_UTF8 && calls().set_console_output_cp(CP_UTF8)) g_console_output = output;
}

void console_pages_restore() {
  if (const UINT input = g_console_input.exchange(0)) calls().set_console_cp(input);
  if (const UINT output = g_console_output.exchange(0)) calls().set_console_output_cp(output);
}

// ---------------------------------------------------------------------------
// Monitoring's files.

Status open_to_peek(const char* path, int* fd, int64_t* size) {
  if (Status opened = open_file(path, kModeReadOnly | kModeBinary, fd); !opened.ok()) {
    return opened;
  }
  if (calls().file_size(os_handle(*fd), size)) return {};
  const Status failed = from_system(GetLastError());
  calls().close(*fd);
  *fd = -1;
  return failed;
}

Status list_directory(const char* dir, std::vector<DirectoryEntry>* entries) {
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileExA((prefix + "*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // A folder without entries at all (a drive's root) finds nothing.
    return code == ERROR_FILE_NOT_FOUND ? Status{} : from_system(code);
  }
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") entries->push_back({name, prefix + name});
  } while (FindNextFileA(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  return code == ERROR_NO_MORE_FILES ? Status{} : from_system(code);
}

Status create_readable_file(const char* path, int* fd) {
  // The new file takes the folder's inherited access rights, which is what
  // lets the exporter's account read it.
  return open_file(path, kModeWriteOnly | kModeCreate | kModeExclusive | kModeBinary, fd);
}

Status replace_file(const char* from, const char* to) {
  if (calls().rename(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
  return from_system(GetLastError());
}

}  // namespace platform
