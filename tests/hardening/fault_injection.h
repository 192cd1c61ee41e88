// Faults injected into the system calls of the file layer, through the
// platform's table of system calls: the k-th call of one kind fails with a
// given errno, or transfers fewer bytes than asked (0: the end of the file
// for a read, nothing written for a write). Every call is counted, faulty or
// not, so a clean run tells how many call indices there are to try.
//
// The kinds: the transfers (seek to sync), the same calls on every system;
// kOpen, every open of a file (the store file's, a backup copy's, a lock
// file's on POSIX); kLock, every taking of a store file lock (flock on
// POSIX; on Windows each wait for one of the lock's two mutexes). A fault on
// an open or a lock always fails it; on Windows with the system's code that
// the platform turns back into the fault's errno.
//
// Only the table is touched; install() and remove() bracket one run, and
// Scope does both. Not thread-safe, like the file layer.
#ifndef VARNO_TESTS_HARDENING_FAULT_INJECTION_H_
#define VARNO_TESTS_HARDENING_FAULT_INJECTION_H_

#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace faults {

enum Kind { kSeek, kRead, kWrite, kPread, kPwrite, kSync, kOpen, kLock, kKinds };
const char* kind_name(Kind kind);

constexpr int64_t kForever = std::numeric_limits<int64_t>::max();

// Calls `at`, at + 1, ... (`times` of them, kForever: every later one) of
// `kind` are hit. A hit call fails with `error`, or, when `transfer` is not
// negative, really transfers at most that many bytes and returns the count
// (a seek, a flush, an open or a lock always fails).
struct Fault {
  Kind kind;
  int64_t at;
  int64_t times = 1;
  int error = EIO;
  int64_t transfer = -1;
};

// A call that a fault hit.
struct Hit {
  Kind kind;
  int64_t index;  // 1-based among the calls of its kind
  int origin;     // seek origin (0, 1, 2); -1 for the other kinds
};

// Replaces every entry of the table with a counting wrapper that applies
// `plan` (the first fault that covers a call wins); counts and hits start at 0.
void install(const std::vector<Fault>& plan = {});
// Puts the real calls back.
void remove();

// For the system's own part (fault_injection_posix.cc, _win32.cc): counts a
// call of `kind`; the fault that hits it (recorded as a hit) or null.
const Fault* next_call(Kind kind, int origin = -1);
// Puts this system's counting open and lock into the table.
void install_open_and_lock();

int64_t calls(Kind kind);
std::array<int64_t, kKinds> all_calls();
const std::vector<Hit>& hits();

// A plan in words, for failure messages.
std::string describe(const std::vector<Fault>& plan);

struct Scope {
  explicit Scope(const std::vector<Fault>& plan = {}) { install(plan); }
  ~Scope() { remove(); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

}  // namespace faults

#endif  // VARNO_TESTS_HARDENING_FAULT_INJECTION_H_
