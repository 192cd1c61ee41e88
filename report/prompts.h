// Console input and the two prompts every command begins with.
#ifndef VARNO_REPORT_PROMPTS_H_
#define VARNO_REPORT_PROMPTS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "report/report.h"

// Outcome of reading one console line.
enum ConsoleLine : int32_t {
  kLineRead = 0,     // a line (possibly empty) is in the field
  kLineEnd = 1,      // end of input before any character
  kLineTooLong = 2,  // the line did not fit the field; the rest of it was consumed
};

// Reads one line of standard input into `field` (`capacity` characters with
// the terminator) without its line feed. Standard output is flushed first so
// the prompt is visible. A too-long line leaves the first capacity-1
// characters in the field.
ConsoleLine read_console_line(char* field, size_t capacity);

// Reads one character of standard input (EOF at the end), after flushing
// standard output. Further characters of the line stay unread.
int read_console_char();

// Asks for the store file name and opens it for reading and writing under its
// store file lock. Returns 0 with *handle set when the file is open, 1 when it
// is not (the reason has been printed). `name` has `capacity` characters with
// the terminator.
int32_t prompt_store_file(int32_t* handle, char* name, int32_t capacity);

// Asks where the report goes (F, S or B) and, for F and B, opens the output
// file. Every failure falls back to the screen (mode 0, no file). An output
// file that names the store file `store_name` is refused like one that cannot
// be opened, so the store file is never truncated.
void prompt_output(OutputMode* mode, FILE** output, const char* store_name);

#endif  // VARNO_REPORT_PROMPTS_H_
