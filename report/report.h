// The report writer: every text of the utility reaches the operator through
// it. Report lines go to the screen, the output file or both by the output
// mode; prompts, diagnostics and error lists go to the screen only.
#ifndef VARNO_REPORT_REPORT_H_
#define VARNO_REPORT_REPORT_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "messaging/varno.h"

// Where report blocks go, as the operator chose at the output prompt.
enum OutputMode : int32_t {
  kOutputScreen = 0,
  kOutputFile = 1,
  kOutputBoth = 2,
};

// Formatted text to standard output. Results are ignored: a broken stream
// never stops a command.
void screen_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void screen_write(std::string_view text);
// Formatted text to an output file.
void file_print(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Flushes standard output; called before every read of standard input so that
// every prompt is visible when the utility is driven through a pipe.
void screen_flush();

// The report block rule: the screen text when the mode is not 1, then the file
// text when the mode is not 0, followed by a flush of the file, so the file on
// disk holds every finished block.
void print_report_block(OutputMode mode, FILE* output, std::string_view screen_text,
                        std::string_view file_text);

// "\nError codes", "\n-----------\n", then "\n%d) facility=%ld  error=%ld" per
// pair up to the first free slot (at most ten), to the screen.
void print_error_list(const VARNO_STATUS& block);

// The asctime-form text of a local time, line feed included (25 characters):
// "Thu Jan  1 00:00:00 1970\n". A value the conversion rejects (negative
// seconds included) gives "(invalid time stamp)\n". The text is valid until
// the next call.
const char* time_stamp_text(int32_t seconds);

// Clears the console (only when standard output is a terminal).
void clear_screen();

// Tests: while `sink` is set, screen text is appended to it instead of going
// to standard output. Pass nullptr to restore.
void set_screen_capture(std::string* sink);

// Appends printf-style text to `out`.
void append_format(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif  // VARNO_REPORT_REPORT_H_
