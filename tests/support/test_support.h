// Helpers shared by the tests: scratch directories under a private
// environment directory, whole-file reads and writes, the environment, and
// running the real executables (or this test binary's own child bodies) with
// a given standard input. What differs between POSIX and Windows lives in
// test_support_posix.cc and test_support_win32.cc, chosen in CMake.
#ifndef VARNO_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VARNO_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_main.h"

namespace testsupport {

// A fresh directory removed with its contents at destruction.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;  // no trailing separator
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Which registry a ScratchHome gives the process.
enum class Registry {
  // One of its own: on POSIX the stand-in inside the environment directory;
  // on Windows HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER of this process are
  // redirected to a fresh private key (child processes do not see it).
  kPrivate,
  // The machine's: what child processes also see. On Windows the product's
  // keys (SOFTWARE\Quellmark) are removed before and after; tests using it
  // take CTest's machine_registry lock (varno_add_tests MACHINE_REGISTRY).
  kMachine,
  // The machine's, untouched: for tests that use none of the product's keys
  // but call Windows services that read their own settings from
  // HKEY_LOCAL_MACHINE (winsock finds its services database there), which a
  // private registry would hide.
  kUntouched,
};

// A scratch directory that is also the environment directory (VARNO_HOME) of
// this process while it lives, with a registry of its own; the previous
// value is restored afterwards.
struct ScratchHome : ScratchDir {
  explicit ScratchHome(Registry registry = Registry::kPrivate);
  ~ScratchHome();
  std::string home() const { return path + "/"; }
  std::string old_home;
  bool had_home = false;
  struct RegistryScope;
  std::unique_ptr<RegistryScope> registry;
};

// While it lives, the store file lock `name` cannot be taken: on POSIX the
// environment directory becomes a plain file, so no lock directory can be
// made; on Windows another kind of kernel object takes the mutex's name.
struct UnusableLock {
  explicit UnusableLock(const std::string& name);
  ~UnusableLock();
  UnusableLock(const UnusableLock&) = delete;
  UnusableLock& operator=(const UnusableLock&) = delete;
  int error;  // the errno an acquire of the lock gives
  std::string saved;
  void* object = nullptr;
};

// Sets (or, with a null value, removes) a variable of this process's
// environment, which child processes inherit.
void set_env(const std::string& name, const char* value);
// Sets the time zone (TZ) of this process and makes the run-time read it
// again; null restores the zone from before the first call.
void set_time_zone(const char* tz);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// True where the platform's text files and console output end lines in
// CR LF (Windows).
extern const bool kCrLfText;
// `text` with the platform's text line ends turned into line feeds: CR LF
// becomes LF where kCrLfText, nothing changes elsewhere.
std::string plain_lines(const std::string& text);
// read_file of a text file the programs wrote, with plain_lines applied.
std::string read_text_file(const std::string& path);

// True where the registry is the POSIX stand-in, a directory tree in the
// environment directory; false where it is the real Windows registry.
extern const bool kRegistryStandIn;
// True where a lock whose holder ended without giving it back is reported
// as abandoned (Windows mutexes); POSIX lock files just become free.
extern const bool kLocksReportAbandonment;
// True when the tests run under wine rather than on Windows or POSIX itself.
bool running_under_wine();
// The null device: /dev/null, or NUL on Windows.
extern const char kNullDevice[];
// Number of descriptors this process has open.
int open_descriptors();
// Makes a pipe of two run-time descriptors, read end first.
bool make_pipe(int fds[2]);

// errno of an open of a directory as a file: EISDIR on POSIX, EACCES from
// the Windows run-time.
extern const int kErrnoOpenDirectory;
// The system error of the same open: EISDIR; ERROR_ACCESS_DENIED on Windows.
extern const uint32_t kErrorOpenDirectory;
// The system's description of its error `code` on one line, as the programs
// give it (varno_s_file_error_text): "No such file or directory" on POSIX,
// "The system cannot find the file specified." on Windows.
std::string system_words(uint32_t code);

// Path of an executable of the build, with the platform's suffix.
std::string binary(const std::string& name);
// Path of a file of the source tree (VARNO_TEST_SRC, set by CTest).
std::string source_path(const std::string& relative);
// Path of the running test binary.
std::string self_path();

struct RunResult {
  std::string out;      // standard output, line ends as plain_lines gives them
  std::string err;      // standard error, the same
  std::string raw_out;  // standard output byte for byte
  int exit_code = -1;   // -1 unless the process exited normally
};

// Runs `program` with `args`, feeding `input` on standard input and then
// closing it. `env` entries ("NAME=value") are set on top of this process's
// environment.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, const std::vector<std::string>& env = {});

// One program run with its standard input read from a file and its output
// and error written to files.
struct FileRun {
  std::string program;
  std::vector<std::string> args;
  std::string in_path, out_path, err_path;
  int exit_code = -1;  // filled by run_with_files
};
// Runs every entry of `runs`, at most `parallel` at a time, with `env` as in
// run.
void run_with_files(std::vector<FileRun>& runs, const std::vector<std::string>& env,
                    size_t parallel);

// Runs this test binary's child body `name` (VARNO_TEST_CHILD) with `args`.
RunResult run_child(const std::string& name, const std::vector<std::string>& args,
                    const std::string& input = "", const std::vector<std::string>& env = {});
// The command-line arguments that start child body `name` of this binary.
std::vector<std::string> child_args(const std::string& name, const std::vector<std::string>& args);

// The lines of the debug log of the environment directory `home`.
std::string debug_log_text(const std::string& home);
// The log text of each entry of a log file, with the time stamp and process id
// prefix removed and line ends as plain_lines gives them.
std::vector<std::string> log_entries(const std::string& log_path);

// A running program whose standard input is fed piece by piece while its
// output is read, for dialogues that must interleave with other processes.
// Its standard error is this process's, or the file `err_path` when one is
// given. `out` holds the output with line ends as plain_lines gives them.
struct Interactive {
  Interactive(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& err_path = "");
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
  // Interrupts the program as Ctrl+C (SIGINT) does on POSIX, as Ctrl+Break
  // on Windows. False when the system cannot deliver it to the program.
  bool interrupt();

  std::string out;  // everything read so far

  struct Process;  // the platform's side of it

 private:
  // Moves what has arrived into `out`; false when the output has ended.
  bool take(int timeout_ms);
  Process* process_ = nullptr;
  std::string pending_;  // a CR that may begin a CR LF
};

}  // namespace testsupport

#endif  // VARNO_TESTS_SUPPORT_TEST_SUPPORT_H_
