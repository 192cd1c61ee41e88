// The test support on POSIX: fork and exec, pipes and poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/support/process.h"

extern char** environ;

namespace testsupport {

const bool kCrLfText = false;
const int kErrnoOpenDirectory = EISDIR;
const uint32_t kErrorOpenDirectory = EISDIR;
const char kExecutableSuffix[] = "";
const char kNullDevice[] = "/dev/null";
const bool kRegistryStandIn = true;
const bool kLocksReportAbandonment = false;

bool running_under_wine() {
  return false;
}

int open_descriptors() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

bool make_pipe(int fds[2]) {
  return pipe(fds) == 0;
}

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/varno-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path = buf.data();
}

// The stand-in registry lives in the environment directory: a private
// environment directory is a private registry, and child processes given the
// same VARNO_HOME share it.
struct ScratchHome::RegistryScope {};

ScratchHome::ScratchHome(Registry) {
  const char* old = std::getenv("VARNO_HOME");
  if (old != nullptr) {
    had_home = true;
    old_home = old;
  }
  setenv("VARNO_HOME", path.c_str(), 1);
}

ScratchHome::~ScratchHome() {
  if (had_home) {
    setenv("VARNO_HOME", old_home.c_str(), 1);
  } else {
    unsetenv("VARNO_HOME");
  }
}

UnusableLock::UnusableLock(const std::string&) : error(ENOTDIR) {
  const char* home = std::getenv("VARNO_HOME");
  saved = home != nullptr ? home : "";
  const std::string file = saved + "/unusable-lock-home";
  close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  setenv("VARNO_HOME", file.c_str(), 1);
}

UnusableLock::~UnusableLock() {
  setenv("VARNO_HOME", saved.c_str(), 1);
}

void set_env(const std::string& name, const char* value) {
  if (value != nullptr) {
    setenv(name.c_str(), value, 1);
  } else {
    unsetenv(name.c_str());
  }
}

void set_time_zone(const char* tz) {
  static const std::optional<std::string> original = [] {
    const char* t = std::getenv("TZ");
    return t != nullptr ? std::optional<std::string>(t) : std::nullopt;
  }();
  if (tz != nullptr) {
    setenv("TZ", tz, 1);
  } else if (original) {
    setenv("TZ", original->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

std::string self_path() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string build_directory() {
  const char* dir = std::getenv("VARNO_TEST_BIN");
  return dir ? dir : ".";
}

namespace {

// In the child: the given descriptors become standard input, output and error
// (-1: keep the parent's), the pipes are closed, `env` is added, and
// `program` runs.
[[noreturn]] void exec_child(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, int in, int out, int err,
                             std::initializer_list<int> close_fds) {
  dup2(in, 0);
  dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  for (int fd : close_fds) close(fd);
  for (const auto& e : env) putenv(strdup(e.c_str()));
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int exit_code_of(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, const std::vector<std::string>& env) {
  RunResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  // Close-on-exec: a child another thread starts meanwhile must not keep
  // these pipes open (dup2 gives the child its own ends without the flag).
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    exec_child(program, args, env, in_pipe[0], out_pipe[1], err_pipe[1],
               {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]});
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) close(in_pipe[1]);
  bool in_open = !input.empty();
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    int out_i = -1, err_i = -1, in_i = -1;
    if (out_open) {
      fds[n] = {out_pipe[0], POLLIN, 0};
      out_i = n++;
    }
    if (err_open) {
      fds[n] = {err_pipe[0], POLLIN, 0};
      err_i = n++;
    }
    if (in_open) {
      fds[n] = {in_pipe[1], POLLOUT, 0};
      in_i = n++;
    }
    if (poll(fds, n, -1) < 0) continue;
    if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(in_pipe[1], input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w < 0 || written == input.size()) {
        close(in_pipe[1]);
        in_open = false;
      }
    }
    for (auto [idx, fd, sink, open] : {std::tuple{out_i, out_pipe[0], &result.raw_out, &out_open},
                                       std::tuple{err_i, err_pipe[0], &result.err, &err_open}}) {
      if (idx >= 0 && (fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r > 0) {
          sink->append(buf, static_cast<size_t>(r));
        } else {
          close(fd);
          *open = false;
        }
      }
    }
  }
  if (in_open) close(in_pipe[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = exit_code_of(status);
  result.out = result.raw_out;
  return result;
}

struct Interactive::Process {
  pid_t pid = -1;
  int in_fd = -1;
  int out_fd = -1;
};

Interactive::Process* start_process(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::vector<std::string>& env,
                                    const std::string& err_path) {
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return nullptr;
  const int err = err_path.empty()
                      ? -1
                      : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    exec_child(program, args, env, in_pipe[0], out_pipe[1], err,
               {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]});
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (err >= 0) close(err);
  signal(SIGPIPE, SIG_IGN);
  return new Interactive::Process{pid, in_pipe[1], out_pipe[0]};
}

bool process_write(Interactive::Process* p, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = write(p->in_fd, text.data() + done, text.size() - done);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

int process_read(Interactive::Process* p, std::string* out, int timeout_ms) {
  pollfd fd{p->out_fd, POLLIN, 0};
  const int ready = poll(&fd, 1, timeout_ms);
  if (ready == 0) return 0;
  if (ready < 0) return errno == EINTR ? 0 : -1;
  char buf[4096];
  const ssize_t r = read(p->out_fd, buf, sizeof buf);
  if (r <= 0) return -1;
  out->append(buf, static_cast<size_t>(r));
  return static_cast<int>(r);
}

void process_close_input(Interactive::Process* p) {
  if (p->in_fd >= 0) close(p->in_fd);
  p->in_fd = -1;
}

int process_wait(Interactive::Process* p) {
  process_close_input(p);
  int status = 0;
  if (p->pid > 0 && waitpid(p->pid, &status, 0) == p->pid) {
    p->pid = -1;
    return exit_code_of(status);
  }
  return -1;
}

void process_kill(Interactive::Process* p) {
  if (p->pid > 0) kill(p->pid, SIGKILL);
}

bool process_interrupt(Interactive::Process* p) {
  return p->pid > 0 && kill(p->pid, SIGINT) == 0;
}

void process_free(Interactive::Process* p) {
  if (p->pid > 0) {
    kill(p->pid, SIGKILL);
    waitpid(p->pid, nullptr, 0);
  }
  if (p->in_fd >= 0) close(p->in_fd);
  if (p->out_fd >= 0) close(p->out_fd);
  delete p;
}

namespace {

pid_t spawn_with_files(const FileRun& run, const std::vector<std::string>& env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, run.in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> all;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    const size_t len = eq != nullptr ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
    bool replaced = false;
    for (const std::string& mine : env) replaced |= mine.compare(0, len, *e, len) == 0;
    if (!replaced) all.emplace_back(*e);
  }
  all.insert(all.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& s : all) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = {run.program};
  words.insert(words.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, run.program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

void run_with_files(std::vector<FileRun>& runs, const std::vector<std::string>& env,
                    size_t parallel) {
  std::vector<pid_t> pids(runs.size(), -1);
  size_t next = 0, running = 0;
  while (next < runs.size() || running > 0) {
    while (next < runs.size() && running < parallel) {
      pids[next] = spawn_with_files(runs[next], env);
      if (pids[next] > 0) ++running;
      ++next;
    }
    if (running == 0) break;
    int status = 0;
    const pid_t done = waitpid(-1, &status, 0);
    if (done < 0) break;
    for (size_t i = 0; i < runs.size(); ++i) {
      if (pids[i] != done) continue;
      runs[i].exit_code = exit_code_of(status);
      pids[i] = -1;
      --running;
    }
  }
}

}  // namespace testsupport
