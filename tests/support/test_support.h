// Helpers shared by the tests: scratch directories under a private
// environment directory, whole-file reads and writes, and running the real
// executables with a given standard input.
#ifndef VARNO_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VARNO_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A fresh directory removed with its contents at destruction.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;  // no trailing '/'
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// A scratch directory that is also the environment directory (VARNO_HOME) of
// this process while it lives; the previous value is restored afterwards.
struct ScratchHome : ScratchDir {
  ScratchHome();
  ~ScratchHome();
  std::string home() const { return path + "/"; }
  std::string old_home;
  bool had_home = false;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// Path of an executable of the build (VARNO_TEST_BIN, set by CTest).
std::string binary(const std::string& name);
// Path of a file of the source tree (VARNO_TEST_SRC, set by CTest).
std::string source_path(const std::string& relative);

struct RunResult {
  std::string out;     // standard output
  std::string err;     // standard error
  int exit_code = -1;  // -1 unless the process exited normally
};

// Runs `program` with `args`, feeding `input` on standard input and then
// closing it. `env` entries ("NAME=value") are set on top of this process's
// environment.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, const std::vector<std::string>& env = {});

// The lines of the debug log of the environment directory `home`.
std::string debug_log_text(const std::string& home);
// The log text of each entry of a log file, with the time stamp and process id
// prefix removed.
std::vector<std::string> log_entries(const std::string& log_path);

}  // namespace testsupport

namespace testsupport {

// A running program whose standard input is fed piece by piece while its
// output is read, for dialogues that must interleave with other processes.
struct Interactive {
  Interactive(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env);
  ~Interactive();
  Interactive(const Interactive&) = delete;
  Interactive& operator=(const Interactive&) = delete;

  void send(const std::string& text);
  // Reads output until it ends with `tail` (true) or `timeout_ms` passes or
  // the program closes its output (false).
  bool read_until(const std::string& tail, int timeout_ms = 10000);
  // Reads whatever arrives within `ms`.
  void read_for(int ms);
  // Closes standard input, reads the rest and waits; returns the exit code.
  int finish();

  std::string out;  // everything read so far
  int pid = -1;
  int in_fd = -1;
  int out_fd = -1;
};

}  // namespace testsupport

#endif  // VARNO_TESTS_SUPPORT_TEST_SUPPORT_H_
