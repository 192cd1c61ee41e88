// The platform's side of the test support: one implementation per OS
// (test_support_posix.cc, test_support_win32.cc).
#ifndef VARNO_TESTS_SUPPORT_PROCESS_H_
#define VARNO_TESTS_SUPPORT_PROCESS_H_

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace testsupport {

// Starts `program` with pipes to its standard input and output; its standard
// error is this process's, or the file `err_path` (created or emptied) when
// that is not empty. Null when it cannot be started.
Interactive::Process* start_process(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::vector<std::string>& env,
                                    const std::string& err_path);
// Writes all of `text` to the program's standard input.
bool process_write(Interactive::Process* p, const std::string& text);
// Appends to *out what the program's standard output offers within
// `timeout_ms` (negative: without limit): >0 bytes read, 0 nothing in time,
// -1 the output has ended.
int process_read(Interactive::Process* p, std::string* out, int timeout_ms);
// Closes the program's standard input.
void process_close_input(Interactive::Process* p);
// Waits for the end of the program; its exit code, -1 unless it exited.
int process_wait(Interactive::Process* p);
// Ends the program at once.
void process_kill(Interactive::Process* p);
// Sends the program the terminal's interrupt; false when it cannot be sent.
bool process_interrupt(Interactive::Process* p);
// Ends the program if it still runs and frees what start_process made.
void process_free(Interactive::Process* p);

// The build's directory of executables and their file name suffix.
std::string build_directory();
extern const char kExecutableSuffix[];

}  // namespace testsupport

#endif  // VARNO_TESTS_SUPPORT_PROCESS_H_
