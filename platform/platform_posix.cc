// POSIX implementation of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace platform {

const uint32_t kErrorNotFound = ENOENT;
const uint32_t kErrorAlreadyExists = EEXIST;
// Beyond every errno value; described by describe_code.
const uint32_t kErrorNotRegularFile = 0x20000001;
const bool kShellTakesBackslashes = true;

namespace {

// The failure of a system call that left its reason in errno.
Status from_errno() {
  return Status::failure(errno, static_cast<uint32_t>(errno));
}
Status failure_of(int error) {
  return Status::failure(error, static_cast<uint32_t>(error));
}
Status not_regular() {
  return Status::failure(EINVAL, kErrorNotRegularFile);
}

// The table's own entries: the system's calls, where the system's signature
// differs from the table's in a detail (a variadic open, size_t counts).
int sys_open(const char* path, int flags, mode_t permission) {
  return ::open(path, flags, permission);
}
int sys_stat(const char* path, struct stat* st) {
  return ::stat(path, st);
}
int sys_fstat(int fd, struct stat* st) {
  return ::fstat(fd, st);
}
int sys_close(int fd) {
  return ::close(fd);
}
int sys_lock(int fd, int operation) {
  return ::flock(fd, operation);
}
int64_t sys_seek(int fd, int64_t offset, int origin) {
  return static_cast<int64_t>(::lseek(fd, static_cast<off_t>(offset), origin));
}
int64_t sys_read(int fd, void* buffer, uint32_t count) {
  return ::read(fd, buffer, count);
}
int64_t sys_write(int fd, const void* buffer, uint32_t count) {
  return ::write(fd, buffer, count);
}
int64_t sys_pread(int fd, void* buffer, uint32_t count, int64_t offset) {
  return ::pread(fd, buffer, count, static_cast<off_t>(offset));
}
int64_t sys_pwrite(int fd, const void* buffer, uint32_t count, int64_t offset) {
  return ::pwrite(fd, buffer, count, static_cast<off_t>(offset));
}
int sys_sync(int fd) {
  return ::fsync(fd);
}
int sys_rename(const char* from, const char* to, unsigned flags) {
  if (flags == 0) return ::rename(from, to);
#ifdef SYS_renameat2
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags));
#else
  (void)from;
  (void)to;
  errno = ENOSYS;
  return -1;
#endif
}
int sys_link(const char* from, const char* to) {
  return ::link(from, to);
}
int sys_remove(const char* path) {
  return ::unlink(path);
}
int sys_connect(int fd, const sockaddr* address, socklen_t length) {
  return ::connect(fd, address, length);
}
ssize_t sys_send(int fd, const void* data, size_t size, int flags) {
  return ::send(fd, data, size, flags);
}
int sys_getpwuid_r(uid_t uid, passwd* entry, char* buffer, size_t size, passwd** result) {
  return ::getpwuid_r(uid, entry, buffer, size, result);
}

// This file's own entries; the registry's part is filled in below.
constexpr SystemCalls kOwnCalls = {sys_open, sys_stat,       sys_fstat, sys_close,  sys_lock,
                                   sys_seek, sys_read,       sys_write, sys_pread,  sys_pwrite,
                                   sys_sync, sys_rename,     sys_link,  sys_remove, sys_connect,
                                   sys_send, sys_getpwuid_r, {}};

// The defaults with the registry's part (registry_posix.cc). Both tables are
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

// The flags of open(2) for a mode built from the kMode* bits; text and binary
// mode are the same thing here, line ends pass unchanged.
int open_flags(int mode) {
  int flags = O_CLOEXEC;
  if (mode & kModeReadWrite) {
    flags |= O_RDWR;
  } else if (mode & kModeWriteOnly) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  if (mode & kModeTruncate) flags |= O_TRUNC;
  return flags;
}

// The open itself. A plain create tells a created file from one that was
// there, as the Windows run-time's last error does.
int open_descriptor(const char* path, int flags, int mode, bool* existed) {
  *existed = false;
  if ((mode & kModeCreate) == 0) return calls().open(path, flags, 0);
  const int fd = calls().open(path, flags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0 || errno != EEXIST || (mode & kModeExclusive) != 0) return fd;
  *existed = true;
  return calls().open(path, flags, 0600);
}

// What was opened must be a regular file: a directory opens read-only on
// POSIX but is no file to read or write. Anything else is closed again.
Status check_opened(int fd, struct stat* st) {
  Status refused;
  if (calls().fstat(fd, st) != 0) {
    refused = from_errno();
  } else if (S_ISDIR(st->st_mode)) {
    refused = failure_of(EISDIR);
  } else if (!S_ISREG(st->st_mode)) {
    refused = not_regular();
  } else {
    return {};
  }
  calls().close(fd);
  return refused;
}

// The result of a transfer call: the count, or the failure in errno.
Status transferred(int64_t result, uint32_t* done) {
  if (result < 0) {
    *done = 0;
    return from_errno();
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
  bool found = false;
  if (existed != nullptr) *existed = false;
  // A FIFO's open waits for its other end, and its caller may hold a store
  // file lock that every program of the service waits for: look before
  // opening, and open without waiting in case the name changed meanwhile.
  struct stat st;
  if (calls().stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return not_regular();
  }
  const int opened = open_descriptor(path, open_flags(mode) | O_NONBLOCK, mode, &found);
  if (opened < 0) return from_errno();
  if (Status refused = check_opened(opened, &st); !refused.ok()) return refused;
  ::fcntl(opened, F_SETFL, ::fcntl(opened, F_GETFL) & ~O_NONBLOCK);
  *fd = opened;
  if (existed != nullptr) *existed = found;
  return {};
}

Status close_file(int fd) {
  return calls().close(fd) == 0 ? Status{} : from_errno();
}

Status seek(int fd, int64_t offset, int origin, int64_t* position) {
  *position = calls().seek(fd, offset, origin);
  return *position >= 0 ? Status{} : from_errno();
}
Status read(int fd, void* buffer, uint32_t count, uint32_t* done) {
  return transferred(calls().read(fd, buffer, count), done);
}
Status write(int fd, const void* buffer, uint32_t count, uint32_t* done) {
  return transferred(calls().write(fd, buffer, count), done);
}
Status read_at(int fd, void* buffer, uint32_t count, int64_t offset, uint32_t* done) {
  return transferred(calls().pread(fd, buffer, count, offset), done);
}
Status write_at(int fd, const void* buffer, uint32_t count, int64_t offset, uint32_t* done) {
  return transferred(calls().pwrite(fd, buffer, count, offset), done);
}
Status sync(int fd) {
  return calls().sync(fd) == 0 ? Status{} : from_errno();
}

bool is_regular_file(int fd) {
  struct stat st;
  return calls().fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool same_file(const char* path_a, const char* path_b) {
  struct stat a, b;
  if (calls().stat(path_a, &a) != 0 || calls().stat(path_b, &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Status remove_file(const char* path) {
  return calls().remove(path) == 0 ? Status{} : from_errno();
}

Status rename_no_replace(const char* from, const char* to) {
  if (calls().rename(from, to, 1 /* RENAME_NOREPLACE */) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return from_errno();
  // The file system cannot rename without replacing: a hard link fails on an
  // existing name, and the old name is removed only once the new one exists.
  if (calls().link(from, to) != 0) return from_errno();
  if (calls().remove(from) != 0) {
    const Status failed = from_errno();
    calls().remove(to);
    return failed;
  }
  return {};
}

Status describe_code(uint32_t code, std::string* text) {
  if (code == kErrorNotRegularFile) {
    *text = "Not a regular file (a FIFO, device or socket)";
    return {};
  }
  const char* desc = code <= 0x7FFFFFFFu ? strerrordesc_np(static_cast<int>(code)) : nullptr;
  if (desc == nullptr) return failure_of(EINVAL);
  *text = desc;
  return {};
}

std::string describe_error(const Status& failure) {
  return describe_errno(failure.error);
}

std::string describe_errno(int error) {
  return std::strerror(error);
}

std::string stored_spelling(const char* path) {
  // The typed spelling is the stored one; only a link is followed, to the
  // name the service uses for the file it leads to.
  struct stat st;
  if (::lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* target = ::realpath(path, nullptr);
  if (target == nullptr) return path;
  std::string resolved = target;
  std::free(target);
  return resolved;
}

namespace {

// A process's holds of one lock name.
struct LockHold {
  int fd = -1;
  int count = 0;
  pid_t pid = 0;  // the process that opened fd
};
std::map<std::string, LockHold> g_locks;  // by lock file path

}  // namespace

// Lock file name for a lock name: bytes outside A-Z a-z 0-9 . _ - become %XX,
// so no name can reach outside the lock directory. Names that would exceed the
// file system's name limit keep a prefix and a hash of the whole name ('~'
// never appears in an encoded name, so the two forms cannot collide).
std::string lock_object_name(const char* name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    unsigned char c = *p;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  // "." and ".." are names of directories, not files.
  if (out == "." || out == ".." || out.empty()) out = "%" + out;
  if (out.size() > 200) {
    uint64_t h = 1469598103934665603ull;
    for (const char* p = name; *p; ++p) {
      h ^= static_cast<unsigned char>(*p);
      h *= 1099511628211ull;
    }
    char tail[20];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
    out = out.substr(0, 180) + tail;
  }
  return out + ".lock";
}

namespace {

// The hold of `path` by this process. A child made by fork inherits the
// parent's descriptors, and with them the parent's flock (it belongs to the
// open file description): the child must open a description of its own and
// start without holds.
LockHold* own_hold(const std::string& path) {
  auto it = g_locks.find(path);
  if (it == g_locks.end()) return nullptr;
  if (it->second.pid != ::getpid()) {
    calls().close(it->second.fd);
    g_locks.erase(it);
    return nullptr;
  }
  return &it->second;
}

std::string lock_path(const char* name) {
  return environment_directory() + "locks/" + lock_object_name(name);
}

}  // namespace

namespace {

// Takes the lock file's lock, waiting as `wait` says.
Status lock_file(int fd, const char* name, const LockWait* wait) {
  if (wait == nullptr || (wait->timeout_ms < 0 && wait->notice == nullptr)) {
    while (calls().lock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return from_errno();
    }
    return {};
  }
  // flock has no time limit of its own: try, and try again a little later.
  const auto start = std::chrono::steady_clock::now();
  bool noticed = false;
  Status result;
  for (;;) {
    if (calls().lock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      result = from_errno();
      break;
    }
    const int64_t waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    if (wait->timeout_ms >= 0 && waited >= wait->timeout_ms) {
      result = failure_of(ETIMEDOUT);
      break;
    }
    if (!noticed && waited >= 1000 && wait->notice != nullptr) {
      noticed = true;
      wait->notice(wait->context, name, true);
    }
    ::usleep(waited < 100 ? 2000 : 20000);
  }
  if (noticed) wait->notice(wait->context, name, false);
  return result;
}

}  // namespace

Status lock_acquire(const char* name, bool* abandoned, const LockWait* wait) {
  // A lock file's lock ends with its holder's process: nothing is left over
  // to call abandoned.
  if (abandoned != nullptr) *abandoned = false;
  const std::string path = lock_path(name);
  LockHold* hold = own_hold(path);
  if (hold != nullptr && hold->count > 0) {
    ++hold->count;
    return {};
  }
  if (hold == nullptr) {
    if (Status made = make_directories(environment_directory() + "locks"); !made.ok()) {
      return made;
    }
    const int fd = calls().open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return from_errno();
    hold = &g_locks.insert_or_assign(path, LockHold{fd, 0, ::getpid()}).first->second;
  }
  if (Status locked = lock_file(hold->fd, name, wait); !locked.ok()) return locked;
  hold->count = 1;
  return {};
}

Status lock_release(const char* name) {
  LockHold* hold = own_hold(lock_path(name));
  if (hold == nullptr || hold->count == 0) return {};
  if (--hold->count > 0) return {};
  return calls().lock(hold->fd, LOCK_UN) == 0 ? Status{} : from_errno();
}

std::string environment_directory() {
  auto trimmed = [](std::string d) {
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
  };
  std::string dir;
  const char* home = std::getenv("VARNO_HOME");
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* user = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    dir = trimmed(home);
  } else if (state != nullptr && *state != '\0') {
    dir = trimmed(state) + "/varno";
  } else {
    dir = trimmed(user != nullptr ? user : "") + "/.local/state/varno";
  }
  if (dir != "/") dir += '/';
  return dir;
}

Status make_directories(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? Status{} : failure_of(ENOTDIR);
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return from_errno();
    }
  }
  if (::stat(path.c_str(), &st) != 0) return from_errno();
  return S_ISDIR(st.st_mode) ? Status{} : failure_of(ENOTDIR);
}

bool directory_writable(const std::string& path) {
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

Status append_entry(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return from_errno();
  const ssize_t w = ::write(fd, text.data(), text.size());
  const Status written = w < 0                                    ? from_errno()
                         : w == static_cast<ssize_t>(text.size()) ? Status{}
                                                                  : failure_of(EIO);
  ::close(fd);
  return written;
}

int process_id() {
  return static_cast<int>(::getpid());
}

Status local_time(int64_t seconds, std::tm* out) {
  const time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, out) != nullptr ? Status{} : from_errno();
}

std::string log_time_stamp() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  time_t t = tv.tv_sec;
  localtime_r(&t, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

namespace {
volatile sig_atomic_t g_interrupted = 0;
void note_interrupt(int) {
  g_interrupted = 1;
}
}  // namespace

void watch_interrupts() {
  struct sigaction action = {};
  action.sa_handler = note_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
  return g_interrupted != 0;
}

void sleep_ms(int32_t milliseconds) {
  if (milliseconds <= 0) return;
  timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool tcp_service_known(const char* name) {
  return getservbyname(name, "tcp") != nullptr;
}

namespace {

// A syslog message's time stamp: local time as "Mmm dd hh:mm:ss", the day
// padded with a blank, the month's name in English whatever the locale.
std::string syslog_time() {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const time_t now = ::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%.3s %2d %02d:%02d:%02d", kMonths + 3 * tm.tm_mon, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace

const char kSystemLogSocket[] = "/dev/log";

Status system_log(const char* source, const std::string& text) {
  // syslog(3) never says whether its message arrived: send the datagram it
  // would send to the socket it would send it to, and see.
  const std::string message = "<" + std::to_string(LOG_USER | LOG_NOTICE) + ">" + syslog_time() +
                              " " + source + "[" + std::to_string(::getpid()) + "]: " + text;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kSystemLogSocket, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return from_errno();
  // A datagram arrives whole or not at all.
  Status sent;
  if (calls().connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    sent = from_errno();
  } else if (const ssize_t n = calls().send(fd, message.data(), message.size(), MSG_NOSIGNAL);
             n != static_cast<ssize_t>(message.size())) {
    sent = n < 0 ? from_errno() : failure_of(EIO);
  }
  ::close(fd);
  return sent;
}

std::string current_user() {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[16384];  // what any entry of a password database needs
  if (calls().getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 &&
      found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
    return found->pw_name;
  }
  const char* user = std::getenv("USER");
  if (user != nullptr && *user != '\0') return user;
  return std::to_string(::geteuid());
}

void binary_stream(std::FILE*) {}

bool is_help_switch(const char*) {
  return false;
}

bool stdout_is_terminal() {
  return ::isatty(1) != 0;
}

bool stderr_is_terminal() {
  return ::isatty(2) != 0;
}

void clear_screen() {
  if (stdout_is_terminal()) {
    std::fputs("\x1b[H\x1b[2J", stdout);
    std::fflush(stdout);
  }
}

// ---------------------------------------------------------------------------
// Monitoring's files.

Status open_to_peek(const char* path, int* fd, int64_t* size) {
  *fd = -1;
  // O_NONBLOCK: a FIFO's open would wait for a writer; on a regular file it
  // changes nothing. O_NOCTTY: a terminal never becomes ours.
  const int opened = calls().open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (opened < 0) return from_errno();
  struct stat st;
  if (Status refused = check_opened(opened, &st); !refused.ok()) return refused;
  *size = static_cast<int64_t>(st.st_size);
  *fd = opened;
  return {};
}

Status list_directory(const char* dir, std::vector<DirectoryEntry>* entries) {
  DIR* d = ::opendir(dir);
  if (d == nullptr) return from_errno();
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  errno = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") entries->push_back({name, prefix + name});
    errno = 0;
  }
  // readdir says its failures only through errno.
  const int failed = errno;
  ::closedir(d);
  return failed == 0 ? Status{} : failure_of(failed);
}

Status create_readable_file(const char* path, int* fd) {
  *fd = calls().open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  return *fd >= 0 ? Status{} : from_errno();
}

Status replace_file(const char* from, const char* to) {
  if (calls().rename(from, to, 0) != 0) return from_errno();
  // The rename is an entry of the folder: it reaches the disk with the
  // folder's own sync.
  const char* slash = std::strrchr(to, '/');
  const std::string folder = slash == nullptr ? "." : slash == to ? "/" : std::string(to, slash);
  const int fd = calls().open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return from_errno();
  const Status synced = calls().sync(fd) == 0 ? Status{} : from_errno();
  calls().close(fd);
  return synced;
}

}  // namespace platform
