// The operating-system layer. Everything that differs between POSIX and Win32
// is behind this header; one implementation file per OS is chosen in CMake.
// Callers never include OS headers for these services.
#ifndef VARNO_PLATFORM_PLATFORM_H_
#define VARNO_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Open modes, in the values of the Windows runtime's _O_ flags; the POSIX
// implementation translates them.
constexpr int kModeReadOnly = 0x0000;
constexpr int kModeWriteOnly = 0x0001;
constexpr int kModeReadWrite = 0x0002;
constexpr int kModeCreate = 0x0100;
constexpr int kModeTruncate = 0x0200;
constexpr int kModeExclusive = 0x0400;  // with kModeCreate: fail when the file exists
constexpr int kModeText = 0x4000;
constexpr int kModeBinary = 0x8000;

// How a call of this layer that can fail ended. Every such call returns one
// (its results, if any, through pointers); nothing about a failure is kept
// anywhere else. A Status made by default is a success.
struct Status {
  bool failed = false;
  // The run-time's error number (an errno value): what facility 1 of a
  // status block records.
  int error = 0;
  // The system's own code of the failure: the errno value on POSIX, the
  // GetLastError value on Windows (what the library's last error gives);
  // one of the kError* codes below where this layer refused by itself.
  uint32_t code = 0;
  // Where the system's words alone say too little, what the call was about
  // ("store file lock Global\DEV1"); empty otherwise, and always on POSIX.
  std::string about;

  bool ok() const { return !failed; }
  static Status failure(int error, uint32_t code, std::string about = {}) {
    return {true, error, code, std::move(about)};
  }
};

// System codes with a meaning of their own (errno values on POSIX,
// GetLastError values on Win32).
extern const uint32_t kErrorNotFound;       // no such file
extern const uint32_t kErrorAlreadyExists;  // a create found the file there
// An open found something that is no regular file (a FIFO, a device, a
// socket): refused at once, since opening one may wait without end.
extern const uint32_t kErrorNotRegularFile;

// Every system call behind the files, their locks and renames goes through
// this system's table of calls (platform/system_calls.h), where tests fail or
// shorten a call without the product knowing.

// Opens the regular file `path` with a mode built from the kMode* bits; new
// files get read-write permission for the owner. Sets *fd; *existed, when
// given, tells whether kModeCreate found the file there (with kModeExclusive
// the open then fails with kErrorAlreadyExists). Anything but a regular file
// or a directory fails with kErrorNotRegularFile, without waiting on it.
// Other openers may read and write the file at the same time.
Status open_file(const char* path, int mode, int* fd, bool* existed = nullptr);
Status close_file(int fd);
// Transfers on a descriptor, each one system call. seek (origin 0, 1, 2:
// from the start, the position, the end) sets *position to the new offset
// from the start (-1 when it fails); read and write move at most `count`
// bytes at the descriptor's position, read_at and write_at at `offset`
// without moving it; *done gets the bytes moved (0 from a read: the end of
// the file; 0 when the call fails). sync forces what was written to stable
// storage.
Status seek(int fd, int64_t offset, int origin, int64_t* position);
Status read(int fd, void* buffer, uint32_t count, uint32_t* done);
Status write(int fd, const void* buffer, uint32_t count, uint32_t* done);
Status read_at(int fd, void* buffer, uint32_t count, int64_t offset, uint32_t* done);
Status write_at(int fd, const void* buffer, uint32_t count, int64_t offset, uint32_t* done);
Status sync(int fd);
// True when `fd` is open on a regular file (not a pipe, device or directory).
bool is_regular_file(int fd);
// True when both paths name one existing file, however they are spelled
// (links, relative parts, letter case where the file system ignores it). A
// path that cannot be looked at names no existing file: false.
bool same_file(const char* path_a, const char* path_b);
// Removes a file by name.
Status remove_file(const char* path);
// Renames without ever replacing an existing destination (that fails with
// kErrorAlreadyExists).
Status rename_no_replace(const char* from, const char* to);

// The platform's English description of the system code `code`, as its
// message table words it (on Windows ending in CR LF). The description can
// fail itself: the failure's code says why (FormatMessage's on Windows).
Status describe_code(uint32_t code, std::string* text);
// `failure` in the words of the user's system, one line without a line
// break. On Windows the system's own text of its code, followed in brackets
// by what it was about where that says more (the store file lock's name; a
// path's length and the policy that long paths need): "Access is denied.
// (store file lock Global\DEV1)". Where the code has no text, and always on
// POSIX, the run-time's text of its error number ("No such file or
// directory").
std::string describe_error(const Status& failure);
// The run-time's description of the error number `error` (an errno value,
// as facility 1 of a status block records it). One line.
std::string describe_errno(int error);

// The path as the file system spells it: `path` with its final component
// replaced by the name the file is stored under. On Windows, whose file names
// ignore letter case, "C:\data\BIG.STORE" gives "C:\data\big.store" when
// the file on disk is "big.store" (and a short 8.3 alias gives the long
// name); a final component holding a wildcard ('*', '?', '<', '>', '"')
// names no one file and is never looked up. On POSIX names are
// case-sensitive and the typed spelling is the stored one. When the final
// component is a symbolic link, the whole path of the file it leads to
// (every link on the way followed; realpath on POSIX, the system's final
// path of the opened file on Windows, "C:\data\big.store"), so that a link
// and its target are one name. The path as given when no file is there.
std::string stored_spelling(const char* path);

// Named locks shared between processes. A process counts its own holds of a
// name: the first acquire takes the lock (waiting while another process holds
// it, as `wait` below says), further acquires only count, and the lock is given back
// by the release that brings the count to 0. The end of the process gives back
// whatever it still holds. Any name is accepted; lock_object_name turns it
// into one the platform takes. acquire fails when the lock cannot be taken
// (nothing is held then). *abandoned, when given, is set true when the
// previous holder ended without giving the lock back (only Windows mutexes
// know this); the lock is then held all the same. Not thread-safe: the file
// layer is used from one thread.
//
// On POSIX a lock is a lock file in <environment directory>/locks/, locked
// with flock. On Windows it is two named mutexes, the plain name and then
// "Global\" + the name, released in the reverse order: a service in session 0
// and a peer in the operator's own session are both excluded. A mutex made
// here lets SYSTEM and administrators do anything with it and interactive
// and service logons and every authenticated user synchronise on it, so
// whichever account comes first, the others can share it. A mutex that
// another account made with rights that refuse creating it again
// (ERROR_ACCESS_DENIED) is opened asking only for what waiting and releasing
// need; when that is refused too, acquire fails with EACCES, and the
// failure's about names the mutex.
//
// With `wait`, the wait for a lock another process holds ends after
// wait->timeout_ms milliseconds (-1: never), failing with the error number
// ETIMEDOUT, nothing held; wait->notice(context, name, true) is called once
// the wait has lasted a second, and notice(context, name, false) when it ends
// after that, however it ends.
struct LockWait {
  int64_t timeout_ms = -1;
  void (*notice)(void* context, const char* name, bool waiting) = nullptr;
  void* context = nullptr;
};
Status lock_acquire(const char* name, bool* abandoned = nullptr, const LockWait* wait = nullptr);
// A release of a name this process does not hold is ignored.
Status lock_release(const char* name);
// The name the platform keeps lock `name` under: the lock file's name on
// POSIX, the mutex name (without "Global\") on Windows. The same every time
// for one name; names the platform takes as they are stay unchanged on
// Windows.
std::string lock_object_name(const char* name);

// The environment directory. POSIX: VARNO_HOME, else $XDG_STATE_HOME/varno,
// else $HOME/.local/state/varno, with exactly one trailing '/'. Windows:
// VARNO_HOME, else %ProgramData%\varno, with exactly one trailing '\' (or the
// '/' that VARNO_HOME ended in). Not created here.
std::string environment_directory();
// Creates `path` and its parents; succeeds when it exists as a directory
// afterwards (ENOTDIR when something else is there).
Status make_directories(const std::string& path);
// True when files can be created in the directory.
bool directory_writable(const std::string& path);
// Appends `text` to the file at `path` (created when missing) with a single
// write, so that entries of several processes never interleave. The file is
// a text file of the platform: on Windows every line feed is written CR LF.
// A write that moves less than the whole entry fails with EIO.
Status append_entry(const std::string& path, const std::string& text);

int process_id();
// Local time of the machine for seconds since 1970; fails when the platform
// cannot convert the value.
Status local_time(int64_t seconds, std::tm* out);
// Local wall-clock time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string log_time_stamp();
void sleep_ms(int32_t milliseconds);

// From the first call on, an interrupt from the terminal (Ctrl+C, Ctrl+Break,
// SIGINT, SIGTERM) no longer ends the process: interrupted() turns true, and
// the program ends its work itself.
void watch_interrupts();
bool interrupted();

// True when `name` is a TCP service of the system's services database.
bool tcp_service_known(const char* name);

// Writes `text` as one entry of the system's log under the name `source`:
// on POSIX a syslog message of facility user, priority notice, tagged
// "source[pid]"; on Windows an information event of the Application event
// log from the event source `source`. Fails when the entry could not be
// handed to the system's log (no syslog socket, the event log refused it):
// the caller says so, the work goes on.
Status system_log(const char* source, const std::string& text);

// The login name of the user the process runs as; never empty. POSIX: the
// password database's name of the effective user, else $USER, else the user
// id as a number. Windows: GetUserNameA, else %USERNAME%, else "unknown".
std::string current_user();

// Makes `stream` (standard output, say) pass every byte as it is: on
// Windows a line feed is then written as a line feed, not CR LF, for text
// whose format fixes its line ends (Prometheus). Nothing to do on POSIX.
// Call it before anything is written to the stream.
void binary_stream(std::FILE* stream);

// True when `arg` is how the platform's own programs are asked for their
// help: "/?" on Windows; nothing on POSIX, where "/?" is a file name.
bool is_help_switch(const char* arg);
// True where the usual command shell takes backslashes (and quotes) away
// from an unquoted argument, so that a Windows path or registry key must be
// quoted: POSIX shells. False on Windows: cmd.exe and PowerShell pass them
// on, and a quote typed there is part of the argument.
extern const bool kShellTakesBackslashes;

// On Windows every program linked with this layer that runs in a console
// sets the console's input and output code pages to UTF-8 (65001) at its
// start, as its manifest makes UTF-8 the code page of every call that takes
// or gives text; it puts the console's own code pages back when it ends
// (normally, by Ctrl+C or Ctrl+Break, or when the console closes). Names
// typed and printed then keep their letters; store files and report texts
// stay bytes as they are. Nothing of this on POSIX.

// True when standard output is a terminal (not a file or a pipe).
bool stdout_is_terminal();
// True when standard error is a terminal; progress lines go there only then.
bool stderr_is_terminal();

// Clears the console when standard output is a terminal (on Windows: a
// console, whose mode can be read); does nothing
// otherwise, so that redirected output holds no control sequences.
void clear_screen();

// ---------------------------------------------------------------------------
// Monitoring's files: a look at a store file that never waits, the entries of
// a folder, and a file replaced whole for a collector that may read it at any
// moment.

// Opens `path` read-only for a look that must not wait on anything: sets *fd,
// and *size from the same open. Anything but a regular file is refused at once
// (kErrorNotRegularFile; a directory gives EISDIR). Close it with
// close_file. On POSIX two system calls (an open that cannot block, then
// fstat), where open_file spends five: a FIFO or device is opened before it
// is refused, but never waited on.
Status open_to_peek(const char* path, int* fd, int64_t* size);

// One entry of a folder: its name, and its path (the folder joined to the
// name with the platform's separator, '/' or '\', unless the folder's name
// already ends in one).
struct DirectoryEntry {
  std::string name;
  std::string path;
};
// The entries of folder `dir` other than "." and "..", in no particular
// order, appended to *entries.
Status list_directory(const char* dir, std::vector<DirectoryEntry>* entries);

// Creates the new file `path` for writing, readable by every account (an
// exporter that runs under its own reads it), and sets *fd; on POSIX mode
// 0644 less the umask. An existing file is never opened: kErrorAlreadyExists.
Status create_readable_file(const char* path, int* fd);

// Puts the file `from` in the place of `to` in one step: whoever opens `to`
// finds the old file or the new one, never neither nor a mix. `from` must be
// in the same folder and its data already on the disk; the rename itself
// reaches the disk before this returns (POSIX: the folder is synced;
// Windows: MOVEFILE_WRITE_THROUGH). On failure `to` is as it was, except
// when only the sync of the folder failed: `to` is then the new file,
// perhaps not yet on the disk.
Status replace_file(const char* from, const char* to);

}  // namespace platform

#endif  // VARNO_PLATFORM_PLATFORM_H_
