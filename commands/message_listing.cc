// Menus 2 and 3: the message records of a store file, each as its header
// lines and the library's one-line summary of its body.
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "commands/command_common.h"
#include "commands/commands.h"
#include "fileaccess/file_access.h"
#include "report/prompts.h"
#include "report/report.h"
#include "storeformat/message_record.h"
#include "storeformat/ring.h"

namespace {

void append_name_pair(std::string& out, const char* label, const unsigned char* header,
                      uint32_t first, uint32_t second) {
  out += label;
  out += message_name(header, first);
  out += ' ';
  out += message_name(header, second);
  out += '\n';
}

// The listing's texts are the same on the screen and in the file, so one
// block serves both sides.
struct Listing {
  CommandState* state;
  int64_t file_size;
  std::vector<unsigned char> message;  // grows to the largest message listed
  ListingOutput out;
};

// Lists the record the walk has just read as message `number`. False when the
// record is unusable (its header could not be read, or its size is impossible
// for this file); a line saying so has been printed.
bool list_record(Listing* listing, RingWalk* walk, int32_t number) {
  CommandState* s = listing->state;
  print_message_header(&listing->out, walk->message_header(), number);
  // A checksum mismatch is listed like any record; a body that cannot be read
  // is not, so nothing of an earlier record is shown in its place.
  bool body_word_zero = true;
  const bool usable = walk->check().steppable() &&
                      walk->read_message(&listing->message, &body_word_zero, &s->status);
  if (usable) {
    print_message_body(&listing->out, listing->message.data());
    return true;
  }
  std::string& b = listing->out.block;
  b.clear();
  append_format(b, "Invalid message record at offset %" PRId64 "; listing stopped.\n\n",
                walk->offset());
  print_report_block(s->mode, s->output, b, b);
  return false;
}

// Lists the one record at `offset` as message `number` (menu 3).
void list_record_at(Listing* listing, int64_t offset, int64_t newest_offset, int32_t number) {
  RingWalk one(listing->state->handle, listing->file_size, offset, newest_offset, 1);
  if (one.next(&listing->state->status)) list_record(listing, &one, number);
}

// The common start of both commands: prompts, header read and report, file
// size. False when the command has nothing more to do.
bool start_listing(Listing* listing, CommonHeader* header) {
  CommandState* s = listing->state;
  begin_command(s);
  if (prompt_store_file(&s->handle, s->name, kStoreNameCapacity) != 0) return false;
  prompt_output(&s->mode, &s->output, s->name);
  read_fixed_header(s->handle, header, &s->status);
  if (varno_failed(s->status)) {
    screen_print("\nError reading store file header from %s\n", s->name);
    print_error_list(s->status);
    return false;
  }
  print_header_report(*header, s->name, s->output, s->mode);
  listing->file_size = varno_s_file_seek_end(s->handle, &s->status);
  return true;
}

}  // namespace

void print_message_header(ListingOutput* out, const unsigned char* header, int32_t number) {
  std::string& b = out->block;
  b.clear();
  b += "--------------Message # ";
  append_decimal(b, number);
  b += "----------------\nMessage size: ";
  append_decimal(b, static_cast<int32_t>(message_size_of(header)));
  b += ", Message signature ";
  append_decimal(b, message_signature(header));
  b += ", transaction number ";
  append_decimal(b, static_cast<int32_t>(message_transaction(header)));
  b += '\n';
  append_name_pair(b, "Request source: ", header, kMsgRequestSourceAt, kMsgRequestSource2At);
  append_name_pair(b, "Reply dest: ", header, kMsgReplyDestAt, kMsgReplyDest2At);
  append_name_pair(b, "message source: ", header, kMsgMessageSourceAt, kMsgMessageSource2At);
  append_name_pair(b, "message dest: ", header, kMsgMessageDestAt, kMsgMessageDest2At);
  print_report_block(out->mode, out->output, b, b);
}

void print_message_body(ListingOutput* out, const unsigned char* message) {
  const MessageSummary m = summarize_message_body(message);
  std::string& b = out->block;
  b.clear();
  if (!m.interpreted) {
    b += "Message body could not be interpreted.\n\n";
  } else {
    b += "listid: ";
    append_decimal(b, m.list_id);
    b += ", freq: ";
    append_decimal(b, m.frequency / 10);
    b += " secs, number of tags: ";
    append_decimal(b, m.tag_count);
    b += "\nerror code: ";
    append_decimal(b, m.error_code);
    b += ", first timestamp: ";
    b += m.has_first_time ? time_stamp_text(m.first_time.seconds) : "(none)\n";
    b += '\n';
  }
  print_report_block(out->mode, out->output, b, b);
}

void list_store_contents(int32_t handle, const CommonHeader& header, int64_t file_size,
                         OutputMode mode, FILE* output) {
  CommandState state;
  state.handle = handle;
  state.mode = mode;
  state.output = output;
  Listing listing{&state, file_size, {}, {output, mode, {}}};
  RingWalk walk(handle, file_size, header.oldest_offset, header.newest_offset,
                header.message_count);
  while (walk.next(&state.status)) {
    if (!list_record(&listing, &walk, static_cast<int32_t>(walk.number()))) break;
  }
}

void list_first_last(int32_t handle, const CommonHeader& header, int64_t file_size, OutputMode mode,
                     FILE* output) {
  if (header.oldest_offset >= file_size || header.newest_offset >= file_size) return;
  CommandState state;
  state.handle = handle;
  state.mode = mode;
  state.output = output;
  Listing listing{&state, file_size, {}, {output, mode, {}}};
  list_record_at(&listing, header.oldest_offset, header.newest_offset, 1);
  list_record_at(&listing, header.newest_offset, header.newest_offset,
                 static_cast<int32_t>(header.message_count));
}

void print_store_contents() {
  CommandState state;
  CommonHeader header{};
  Listing listing{&state, -1, {}, {}};
  if (start_listing(&listing, &header)) {
    list_store_contents(state.handle, header, listing.file_size, state.mode, state.output);
  }
  end_command(&state);
}

void print_first_last_messages() {
  CommandState state;
  CommonHeader header{};
  Listing listing{&state, -1, {}, {}};
  if (start_listing(&listing, &header)) {
    list_first_last(state.handle, header, listing.file_size, state.mode, state.output);
  }
  end_command(&state);
}
