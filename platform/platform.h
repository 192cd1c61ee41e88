// The operating-system layer. Everything that differs between POSIX and Win32
// is behind this header; one implementation file per OS is chosen in CMake.
// Callers never include OS headers for these services.
#ifndef VARNO_PLATFORM_PLATFORM_H_
#define VARNO_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
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

// Last-error codes with a meaning of their own (errno values on POSIX,
// GetLastError values on Win32).
extern const uint32_t kErrorNotFound;       // no such file
extern const uint32_t kErrorAlreadyExists;  // a create found the file there
// An open found something that is no regular file (a FIFO, a device, a
// socket): refused at once, since opening one may wait without end.
extern const uint32_t kErrorNotRegularFile;

// Every system call the file layer makes goes through this table, so tests
// can fail the k-th call or shorten a transfer without touching the product.
// Each entry behaves as its POSIX namesake (result, errno).
struct IoCalls {
  int64_t (*seek)(int fd, int64_t offset, int origin);
  int64_t (*read)(int fd, void* buffer, uint32_t count);
  int64_t (*write)(int fd, const void* buffer, uint32_t count);
  int64_t (*pread)(int fd, void* buffer, uint32_t count, int64_t offset);
  int64_t (*pwrite)(int fd, const void* buffer, uint32_t count, int64_t offset);
  int (*sync)(int fd);
};
IoCalls& io();                // the table in use
const IoCalls& default_io();  // the real calls

// Opens the regular file `path` with a mode built from the kMode* bits; new
// files get read-write permission for the owner. Returns the descriptor, or
// -1 with errno set. Sets the last error: kErrorAlreadyExists when
// kModeCreate was given and the file existed (with kModeExclusive the open
// then fails with that code), 0 on any other success, the failure's code on
// failure: kErrorNotRegularFile for anything but a regular file or a
// directory, without waiting on it. Other openers may read and write the
// file at the same time.
int open_file(const char* path, int mode);
// Returns 0, or -1 with errno set.
int close_file(int fd);
// True when `fd` is open on a regular file (not a pipe, device or directory).
bool is_regular_file(int fd);
// True when both paths name one existing file, however they are spelled
// (links, relative parts, letter case where the file system ignores it).
bool same_file(const char* path_a, const char* path_b);
// Removes a file by name; 0, or -1 with errno and the last error set.
int remove_file(const char* path);
// Renames without ever replacing an existing destination; 0, or -1 with errno
// and the last error set (kErrorAlreadyExists when the destination exists).
int rename_no_replace(const char* from, const char* to);

uint32_t last_error();
void set_last_error(uint32_t code);
// The platform's English description of `code`. False when there is none;
// *failure then holds the reason's code.
bool describe_error(uint32_t code, std::string* text, uint32_t* failure);
// The description of the run-time error number `error` (an errno value, as
// facility 1 of a status block records it) in the words of the user's
// system. On Windows, when the last failed call of this layer on this thread
// turned a system error into `error`, that is the system's own text of the
// system error, followed in brackets by what it was about where that says
// more (the store file lock's name; a path's length and the policy that long
// paths need): "Access is denied. (store file lock Global\DEV1)".
// Otherwise, and always on POSIX, the run-time's text ("No such file or
// directory"). One line, without a line break.
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
// into one the platform takes. acquire returns 0, or an errno-style code when
// the lock cannot be taken (nothing is held then). *abandoned, when given, is
// set true when the previous holder ended without giving the lock back (only
// Windows mutexes know this); the lock is then held all the same. Not
// thread-safe: the file layer is used from one thread.
//
// On POSIX a lock is a lock file in <environment directory>/locks/, locked
// with flock. On Windows it is two named mutexes, the plain name and then
// "Global\" + the name, released in the reverse order: a service in session 0
// and a peer in the operator's own session are both excluded. A mutex made
// here lets SYSTEM and administrators do anything with it and interactive
// and service logons and every authenticated user synchronise on it, so
// whichever account comes first, the others can share it. A mutex that another account made with
// rights that refuse creating it again (ERROR_ACCESS_DENIED) is opened asking only for what waiting
// and releasing need; when that is refused too, acquire returns EACCES and describe_errno(EACCES)
// names the mutex.
//
// With `wait`, the wait for a lock another process holds ends after
// wait->timeout_ms milliseconds (-1: never) with ETIMEDOUT, nothing held;
// wait->notice(context, name, true) is called once the wait has lasted a
// second, and notice(context, name, false) when it ends after that, however
// it ends.
struct LockWait {
  int64_t timeout_ms = -1;
  void (*notice)(void* context, const char* name, bool waiting) = nullptr;
  void* context = nullptr;
};
int lock_acquire(const char* name, bool* abandoned = nullptr, const LockWait* wait = nullptr);
void lock_release(const char* name);
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
// Creates `path` and its parents. True when it exists as a directory afterwards.
bool make_directories(const std::string& path);
// True when files can be created in the directory.
bool directory_writable(const std::string& path);
// Appends `text` to the file at `path` (created when missing) with a single
// write, so that entries of several processes never interleave. The file is
// a text file of the platform: on Windows every line feed is written CR LF.
bool append_entry(const std::string& path, const std::string& text);

int process_id();
// Local time of the machine for seconds since 1970; false when the platform
// cannot convert the value.
bool local_time(int64_t seconds, std::tm* out);
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
// log from the event source `source`. False when the entry could not be
// handed to the system's log (no syslog socket, the event log refused it):
// the caller says so, the work goes on.
bool system_log(const char* source, const std::string& text);

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
// moment. Each returns 0 (or a descriptor), or -1 with errno and the last
// error set.

// Opens `path` read-only for a look that must not wait on anything, and sets
// *size from the same open. Anything but a regular file is refused at once
// (kErrorNotRegularFile; a directory gives EISDIR). Close it with
// close_file. On POSIX two system calls (an open that cannot block, then
// fstat), where open_file spends five: a FIFO or device is opened before it
// is refused, but never waited on.
int open_to_peek(const char* path, int64_t* size);

// One entry of a folder: its name, and its path (the folder joined to the
// name with the platform's separator, '/' or '\', unless the folder's name
// already ends in one).
struct DirectoryEntry {
  std::string name;
  std::string path;
};
// The entries of folder `dir` other than "." and "..", in no particular
// order, appended to *entries.
int list_directory(const char* dir, std::vector<DirectoryEntry>* entries);

// Creates the new file `path` for writing, readable by every account (an
// exporter that runs under its own reads it); on POSIX mode 0644 less the
// umask. An existing file is never opened: kErrorAlreadyExists.
int create_readable_file(const char* path);

// Puts the file `from` in the place of `to` in one step: whoever opens `to`
// finds the old file or the new one, never neither nor a mix. `from` must be
// in the same folder and its data already on the disk; the rename itself
// reaches the disk before this returns (POSIX: the folder is synced;
// Windows: MOVEFILE_WRITE_THROUGH). On failure `to` is as it was, except
// when only the sync of the folder failed: `to` is then the new file,
// perhaps not yet on the disk.
int replace_file(const char* from, const char* to);

}  // namespace platform

#endif  // VARNO_PLATFORM_PLATFORM_H_
