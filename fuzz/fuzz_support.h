// What every fuzz target shares: a private environment directory for the
// process, input files written into it under fixed names (so a long run
// reuses a handful of files instead of filling the disk), and the check that stops a run on a
// broken contract.
#ifndef VARNO_FUZZ_FUZZ_SUPPORT_H_
#define VARNO_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "messaging/varno.h"

namespace fuzzsupport {

// A broken contract is a finding like a sanitizer report: abort, so that
// libFuzzer saves the input. The text says which check failed.
[[noreturn]] void fail(const char* file, int line, const char* what);
// What a failed check shows besides its own text: the output the product
// made of the input so far (null: nothing).
void show_on_failure(const std::string* text);
#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzzsupport::fail(__FILE__, __LINE__, #condition))

// The environment directory of this process, with a trailing '/': made on
// the first call (under /dev/shm when it can be, so that the many small
// writes and flushes of a run cost no disk) and set as VARNO_HOME; removed
// when the process exits normally.
const std::string& home();

// Writes `size` bytes as the file `name` of the environment directory,
// replacing what it held; `gap` zero bytes (a hole) come first. Returns the
// path.
std::string write_input(const char* name, const uint8_t* data, size_t size, int64_t gap = 0);

// Opens the file through the file layer for reading and writing, as the
// utility opens a store file; -1 when that fails.
int32_t open_store(const std::string& path);
void close_store(int32_t handle);

// True when `status` holds (facility, error) in any used slot.
bool has_pair(const VARNO_STATUS& status, int32_t facility, int32_t error);
// The last used slot's error number, -1 for an empty block.
int32_t last_error(const VARNO_STATUS& status);

uint32_t le32(const uint8_t* p);
int64_t le64(const uint8_t* p);

}  // namespace fuzzsupport

#endif  // VARNO_FUZZ_FUZZ_SUPPORT_H_
