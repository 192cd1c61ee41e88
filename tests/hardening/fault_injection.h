// Faults injected into the system calls of the file layer, through the
// platform's I/O table: the k-th call of one kind fails with a given errno,
// or transfers fewer bytes than asked (0: the end of the file for a read,
// nothing written for a write). Every call is counted, faulty or not, so a
// clean run tells how many call indices there are to try.
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

enum Kind { kSeek, kRead, kWrite, kPread, kPwrite, kSync, kKinds };
const char* kind_name(Kind kind);

constexpr int64_t kForever = std::numeric_limits<int64_t>::max();

// Calls `at`, at + 1, ... (`times` of them, kForever: every later one) of
// `kind` are hit. A hit call fails with `error`, or, when `transfer` is not
// negative, really transfers at most that many bytes and returns the count
// (a seek or a flush always fails).
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
