// The test support on Windows: CreateProcess with pipes, a reader thread per
// pipe (there is no poll for pipes), _putenv_s, and a private registry
// through RegOverridePredefKey.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/process.h"

namespace testsupport {

const bool kCrLfText = true;
const int kErrnoOpenDirectory = EACCES;
const uint32_t kErrorOpenDirectory = ERROR_ACCESS_DENIED;
const char kExecutableSuffix[] = ".exe";
const char kNullDevice[] = "NUL";
const bool kRegistryStandIn = false;
const bool kLocksReportAbandonment = true;

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int open_descriptors() {
  // The run-time's descriptors are small numbers below its table's size.
  int n = 0;
  for (int fd = 0; fd < 2048; ++fd) {
    if (_get_osfhandle(fd) != -1) ++n;
  }
  return n;
}

bool make_pipe(int fds[2]) {
  return _pipe(fds, 4096, _O_BINARY) == 0;
}

namespace {

std::string with_slashes(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

unsigned g_counter = 0;

std::string unique_suffix() {
  return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++g_counter) + "-" +
         std::to_string(GetTickCount());
}

}  // namespace

ScratchDir::ScratchDir() {
  char temp[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  std::string base = n > 0 && n < sizeof temp ? std::string(temp, n) : std::string("C:\\");
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = base + "varno-test-" + unique_suffix();
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path = with_slashes(candidate);
      return;
    }
  }
  ADD_FAILURE() << "cannot create a scratch directory in " << base;
}

// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER of this process point at keys of
// its own below HKCU\Software\VarnoTests, or the product's keys of the
// machine are cleared around the test.
struct ScratchHome::RegistryScope {
  explicit RegistryScope(Registry kind) : kind(kind) {
    if (kind == Registry::kUntouched) return;
    if (kind == Registry::kMachine) {
      clear_product_keys();
      return;
    }
    name = "Software\\VarnoTests\\" + unique_suffix();
    if (RegCreateKeyExA(HKEY_CURRENT_USER, (name + "\\HKLM").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &machine, nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExA(HKEY_CURRENT_USER, (name + "\\HKCU").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &user, nullptr) != ERROR_SUCCESS) {
      ADD_FAILURE() << "cannot create the private registry " << name;
      return;
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine);
    RegOverridePredefKey(HKEY_CURRENT_USER, user);
  }
  ~RegistryScope() {
    if (kind == Registry::kUntouched) return;
    if (kind == Registry::kMachine) {
      clear_product_keys();
      return;
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (machine != nullptr) RegCloseKey(machine);
    if (user != nullptr) RegCloseKey(user);
    RegDeleteTreeA(HKEY_CURRENT_USER, name.c_str());
  }
  // In both views: a test may have written the 32-bit one on purpose.
  static void clear_product_keys() {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      HKEY software = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) ==
          ERROR_SUCCESS) {
        RegDeleteTreeA(software, "Quellmark");
        RegCloseKey(software);
      }
    }
  }
  Registry kind;
  std::string name;
  HKEY machine = nullptr;
  HKEY user = nullptr;
};

ScratchHome::ScratchHome(Registry kind) {
  const char* old = std::getenv("VARNO_HOME");
  if (old != nullptr) {
    had_home = true;
    old_home = old;
  }
  // With its trailing '/', the environment directory is home() exactly.
  set_env("VARNO_HOME", home().c_str());
  registry = std::make_unique<RegistryScope>(kind);
}

ScratchHome::~ScratchHome() {
  registry.reset();
  set_env("VARNO_HOME", had_home ? old_home.c_str() : nullptr);
}

UnusableLock::UnusableLock(const std::string& name) : error(EBADF) {
  // CreateMutexA fails with ERROR_INVALID_HANDLE on an event's name.
  object = CreateEventA(nullptr, FALSE, FALSE, platform::lock_object_name(name.c_str()).c_str());
  if (object == nullptr) ADD_FAILURE() << "cannot create an event named " << name;
}

UnusableLock::~UnusableLock() {
  if (object != nullptr) CloseHandle(object);
}

void set_env(const std::string& name, const char* value) {
  // An empty value removes the variable; the run-time passes the change on
  // to the process environment that CreateProcess hands to children.
  _putenv_s(name.c_str(), value != nullptr ? value : "");
}

void set_time_zone(const char* tz) {
  static const std::optional<std::string> original = [] {
    const char* t = std::getenv("TZ");
    return t != nullptr ? std::optional<std::string>(t) : std::nullopt;
  }();
  if (tz != nullptr) {
    set_env("TZ", tz);
  } else {
    set_env("TZ", original ? original->c_str() : nullptr);
  }
  _tzset();
}

std::string self_path() {
  char buf[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  return with_slashes(std::string(buf, n));
}

std::string build_directory() {
  // Test binaries live in <build>/tests/.
  std::string dir = self_path();
  for (int up = 0; up < 2; ++up) {
    const size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  }
  return dir;
}

namespace {

// One argument as the run-time's command-line parser reads it back:
// backslashes are literal unless they precede a quote.
void append_quoted(std::string* line, const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      line->append(2 * backslashes + 1, '\\');
    } else {
      line->append(backslashes, '\\');
    }
    backslashes = 0;
    *line += c;
  }
  line->append(2 * backslashes, '\\');
  *line += '"';
}

std::string command_line(const std::string& program, const std::vector<std::string>& args) {
  std::string line;
  append_quoted(&line, program);
  for (const std::string& a : args) {
    line += ' ';
    append_quoted(&line, a);
  }
  return line;
}

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The name of an environment entry, upper-cased: Windows matches names
// without regard to case.
std::string env_name(const std::string& entry) {
  const size_t eq = entry.find('=', 1);  // "=C:=C:\..." entries start with '='
  std::string name = entry.substr(0, eq);
  for (char& c : name) c = upper(c);
  return name;
}

// This process's environment with `env` set on top, as CreateProcess takes
// it: sorted, each entry NUL-terminated, one more NUL at the end.
std::string environment_block(const std::vector<std::string>& env) {
  std::vector<std::string> entries;
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) {
      const std::string entry = p;
      bool replaced = false;
      for (const std::string& mine : env) replaced |= env_name(mine) == env_name(entry);
      if (!replaced) entries.push_back(entry);
    }
    FreeEnvironmentStringsA(block);
  }
  entries.insert(entries.end(), env.begin(), env.end());
  std::sort(entries.begin(), entries.end(),
            [](const std::string& a, const std::string& b) { return env_name(a) < env_name(b); });
  std::string out;
  for (const std::string& e : entries) out += e + '\0';
  out += '\0';
  return out;
}

// Held from making a child's pipes until their child ends are closed again:
// a process that another thread starts meanwhile would inherit them, and a
// reader would then wait for an end of file that comes only with that
// process's end.
std::mutex g_spawning;

// A pipe whose `child_end` is inherited and whose other end is not.
struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
};
bool make_pipe(Pipe* p, bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&p->read, &p->write, &inherit, 0)) return false;
  SetHandleInformation(child_reads ? p->write : p->read, HANDLE_FLAG_INHERIT, 0);
  return true;
}
void close_handle(HANDLE* h) {
  if (*h != nullptr && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

// Starts the program with the given standard handles (all inheritable).
// `flags`: CreateProcess's creation flags.
HANDLE create(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env, HANDLE in, HANDLE out, HANDLE err,
              DWORD flags = 0) {
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = in;
  start.hStdOutput = out;
  start.hStdError = err;
  PROCESS_INFORMATION info{};
  std::string line = command_line(program, args);
  std::string block = environment_block(env);
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, block.data(),
                      nullptr, &start, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

int exit_code_of(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return -1;
  return static_cast<int>(code);
}

void drain(HANDLE from, std::string* into) {
  char buf[65536];
  DWORD n = 0;
  while (ReadFile(from, buf, sizeof buf, &n, nullptr) && n > 0) into->append(buf, n);
}

bool write_all(HANDLE to, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!WriteFile(to, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr)) {
      return false;
    }
    done += n;
  }
  return true;
}

// Our standard error as an inheritable handle, or NUL when there is none.
HANDLE inheritable_stderr() {
  HANDLE mine = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE copy = nullptr;
  if (mine != nullptr && mine != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), mine, GetCurrentProcess(), &copy, 0, TRUE,
                      DUPLICATE_SAME_ACCESS)) {
    return copy;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     OPEN_EXISTING, 0, nullptr);
}

}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, const std::vector<std::string>& env) {
  RunResult result;
  Pipe in, out, err;
  std::unique_lock<std::mutex> spawning(g_spawning);
  if (!make_pipe(&in, true) || !make_pipe(&out, false) || !make_pipe(&err, false)) {
    ADD_FAILURE() << "CreatePipe failed";
    return result;
  }
  HANDLE process = create(program, args, env, in.read, out.write, err.write);
  close_handle(&in.read);
  close_handle(&out.write);
  close_handle(&err.write);
  spawning.unlock();
  if (process == nullptr) {
    ADD_FAILURE() << "cannot start " << program << " (" << GetLastError() << ")";
    close_handle(&in.write);
    close_handle(&out.read);
    close_handle(&err.read);
    return result;
  }
  std::thread err_reader(drain, err.read, &result.err);
  std::thread in_writer([&] {
    write_all(in.write, input);
    close_handle(&in.write);
  });
  drain(out.read, &result.raw_out);
  in_writer.join();
  err_reader.join();
  close_handle(&out.read);
  close_handle(&err.read);
  result.exit_code = exit_code_of(process);
  CloseHandle(process);
  result.out = plain_lines(result.raw_out);
  result.err = plain_lines(result.err);
  return result;
}

struct Interactive::Process {
  HANDLE process = nullptr;
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  std::thread reader;
  std::mutex lock;
  std::condition_variable arrived;
  std::string buffer;  // read but not yet taken
  bool ended = false;
};

Interactive::Process* start_process(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::vector<std::string>& env,
                                    const std::string& err_path) {
  Pipe in, out;
  std::unique_lock<std::mutex> spawning(g_spawning);
  if (!make_pipe(&in, true) || !make_pipe(&out, false)) return nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE err = err_path.empty() ? inheritable_stderr()
                                : CreateFileA(err_path.c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // A group of its own, so that a Ctrl+Break can be sent to it alone.
  HANDLE process = create(program, args, env, in.read, out.write, err, CREATE_NEW_PROCESS_GROUP);
  close_handle(&in.read);
  close_handle(&out.write);
  close_handle(&err);
  spawning.unlock();
  if (process == nullptr) {
    close_handle(&in.write);
    close_handle(&out.read);
    return nullptr;
  }
  auto* p = new Interactive::Process;
  p->process = process;
  p->in = in.write;
  p->out = out.read;
  p->reader = std::thread([p] {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(p->out, buf, sizeof buf, &n, nullptr) && n > 0) {
      std::lock_guard<std::mutex> hold(p->lock);
      p->buffer.append(buf, n);
      p->arrived.notify_all();
    }
    std::lock_guard<std::mutex> hold(p->lock);
    p->ended = true;
    p->arrived.notify_all();
  });
  return p;
}

bool process_write(Interactive::Process* p, const std::string& text) {
  return p->in != nullptr && write_all(p->in, text);
}

int process_read(Interactive::Process* p, std::string* out, int timeout_ms) {
  std::unique_lock<std::mutex> hold(p->lock);
  auto ready = [p] { return !p->buffer.empty() || p->ended; };
  if (timeout_ms < 0) {
    p->arrived.wait(hold, ready);
  } else if (!p->arrived.wait_for(hold, std::chrono::milliseconds(timeout_ms), ready)) {
    return 0;
  }
  if (p->buffer.empty()) return -1;
  const int n = static_cast<int>(p->buffer.size());
  out->append(p->buffer);
  p->buffer.clear();
  return n;
}

void process_close_input(Interactive::Process* p) {
  close_handle(&p->in);
}

int process_wait(Interactive::Process* p) {
  process_close_input(p);
  return exit_code_of(p->process);
}

void process_kill(Interactive::Process* p) {
  TerminateProcess(p->process, 1);
}

bool process_interrupt(Interactive::Process* p) {
  // Ctrl+C cannot be sent to a group of its own; Ctrl+Break can, and the
  // programs take both as an interrupt.
  return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(p->process)) != 0;
}

void process_free(Interactive::Process* p) {
  if (WaitForSingleObject(p->process, 0) == WAIT_TIMEOUT) {
    TerminateProcess(p->process, 1);
    WaitForSingleObject(p->process, INFINITE);
  }
  close_handle(&p->in);
  // The program's end closed the other end of the pipe: the reader stops.
  if (p->reader.joinable()) p->reader.join();
  close_handle(&p->out);
  CloseHandle(p->process);
  delete p;
}

void run_with_files(std::vector<FileRun>& runs, const std::vector<std::string>& env,
                    size_t parallel) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  std::vector<HANDLE> running;
  std::vector<size_t> which;
  size_t next = 0;
  while (next < runs.size() || !running.empty()) {
    while (next < runs.size() && running.size() < parallel) {
      FileRun& r = runs[next];
      HANDLE in = CreateFileA(r.in_path.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                              OPEN_EXISTING, 0, nullptr);
      HANDLE out = CreateFileA(r.out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, 0, nullptr);
      HANDLE err = CreateFileA(r.err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, 0, nullptr);
      HANDLE process = create(r.program, r.args, env, in, out, err);
      close_handle(&in);
      close_handle(&out);
      close_handle(&err);
      if (process != nullptr) {
        running.push_back(process);
        which.push_back(next);
      }
      ++next;
    }
    if (running.empty()) break;
    const DWORD done =
        WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE, INFINITE);
    if (done >= WAIT_OBJECT_0 + running.size()) break;
    const size_t i = done - WAIT_OBJECT_0;
    runs[which[i]].exit_code = exit_code_of(running[i]);
    CloseHandle(running[i]);
    running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
    which.erase(which.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

}  // namespace testsupport
