// The five menu commands and the report blocks they share. Each command
// clears the screen, asks for its own store file and output destination,
// does its work and closes what it opened before it returns.
#ifndef VARNO_COMMANDS_COMMANDS_H_
#define VARNO_COMMANDS_COMMANDS_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "messaging/message_summary.h"
#include "messaging/varno.h"
#include "report/report.h"
#include "storeformat/store_header.h"

// Menu 1: print the store file header.
void header_report_command();
// Menu 2: every message record from the oldest to the newest.
void print_store_contents();
// Menu 3: the first and the last message.
void print_first_last_messages();
// Menu 4: the message counts, each time the operator presses RETURN.
void forward_tracking_command();
// Menu 5: move the forward pointer back to the oldest message.
void reset_forward_pointer();

// The header report block for `header` of the store file `name`.
void print_header_report(CommonHeader header, const char* name, FILE* output, OutputMode mode);

// The two count lines of forward tracking.
void print_forward_totals(CommonHeader header, FILE* output, OutputMode mode);

// The walks of menus 2 and 3 over the open store file `handle`, once its
// header `header` has been read and reported and its size taken: every record
// from the oldest (at most the header's count), or the oldest and the newest.
// A record that cannot be read or whose size does not fit the file stops the
// walk with a note; nothing outside a buffer is ever read.
void list_store_contents(int32_t handle, const CommonHeader& header, int64_t file_size,
                         OutputMode mode, FILE* output);
void list_first_last(int32_t handle, const CommonHeader& header, int64_t file_size, OutputMode mode,
                     FILE* output);

// Where a listing's blocks go, and the text of the block being built: one per
// listing, so that a long listing allocates nothing per record.
struct ListingOutput {
  FILE* output = nullptr;
  OutputMode mode = kOutputScreen;
  std::string block;
};

// The header block of one message record (`header`: its 292 bytes).
void print_message_header(ListingOutput* out, const unsigned char* header, int32_t number);

// The library's one-line summary of a whole message (header and body).
void print_message_body(ListingOutput* out, const unsigned char* message);

#endif  // VARNO_COMMANDS_COMMANDS_H_
