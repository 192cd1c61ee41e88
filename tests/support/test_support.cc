#include "tests/support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace testsupport {

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/varno-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path = buf.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

ScratchHome::ScratchHome() {
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

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  return std::filesystem::exists(path);
}

std::string binary(const std::string& name) {
  const char* dir = std::getenv("VARNO_TEST_BIN");
  return std::string(dir ? dir : ".") + "/" + name;
}

std::string source_path(const std::string& relative) {
  const char* dir = std::getenv("VARNO_TEST_SRC");
  return std::string(dir ? dir : ".") + "/" + relative;
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

}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, const std::vector<std::string>& env) {
  RunResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
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
    for (auto [idx, fd, sink, open] : {std::tuple{out_i, out_pipe[0], &result.out, &out_open},
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
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

std::vector<std::string> log_entries(const std::string& log_path) {
  static const std::regex head(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] )");
  std::vector<std::string> entries;
  std::string text = read_file(log_path);
  size_t pos = 0;
  while (pos < text.size()) {
    std::smatch m;
    std::string rest = text.substr(pos);
    if (!std::regex_search(rest, m, head) || m.position(0) != 0) {
      ADD_FAILURE() << "log entry without its prefix at " << pos;
      break;
    }
    size_t start = pos + static_cast<size_t>(m.length(0));
    // The entry runs to the line feed before the next entry's prefix.
    size_t end = start;
    for (;;) {
      size_t nl = text.find('\n', end);
      if (nl == std::string::npos) {
        end = text.size();
        break;
      }
      std::string after = text.substr(nl + 1);
      std::smatch m2;
      if (nl + 1 >= text.size() || (std::regex_search(after, m2, head) && m2.position(0) == 0)) {
        end = nl;
        break;
      }
      end = nl + 1;
    }
    entries.push_back(text.substr(start, end - start));
    pos = end + 1;
  }
  return entries;
}

std::string debug_log_text(const std::string& home) {
  std::string all;
  for (const auto& e : log_entries(home + "varno_debug.log")) all += e + "\n";
  return all;
}

}  // namespace testsupport

namespace testsupport {

Interactive::Interactive(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  pid = fork();
  if (pid == 0) {
    exec_child(program, args, env, in_pipe[0], out_pipe[1], -1,
               {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]});
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  in_fd = in_pipe[1];
  out_fd = out_pipe[0];
  signal(SIGPIPE, SIG_IGN);
}

Interactive::~Interactive() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);
}

void Interactive::send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = write(in_fd, text.data() + done, text.size() - done);
    if (w <= 0) {
      ADD_FAILURE() << "write to the program failed";
      return;
    }
    done += static_cast<size_t>(w);
  }
}

bool Interactive::read_until(const std::string& tail, int timeout_ms) {
  auto ends_with = [&] {
    return out.size() >= tail.size() &&
           out.compare(out.size() - tail.size(), tail.size(), tail) == 0;
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  while (!ends_with()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{out_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t r = read(out_fd, buf, sizeof buf);
    if (r <= 0) return false;
    out.append(buf, static_cast<size_t>(r));
  }
  return true;
}

void Interactive::read_for(int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return;
    pollfd p{out_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t r = read(out_fd, buf, sizeof buf);
    if (r <= 0) return;
    out.append(buf, static_cast<size_t>(r));
  }
}

int Interactive::finish() {
  close(in_fd);
  in_fd = -1;
  char buf[4096];
  ssize_t r;
  while ((r = read(out_fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
