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
#include "storeformat/byte_order.h"
#include "storeformat/message_record.h"

namespace {

// A name of the message header: NUL-terminated text at `offset`, never read
// past the end of the 292-byte header.
void append_name(std::string& out, const unsigned char* header, uint32_t offset) {
  const char* p = reinterpret_cast<const char*>(header + offset);
  out.append(p, strnlen(p, kMessageHeaderSize - offset));
}

void append_name_pair(std::string& out, const char* label, const unsigned char* header,
                      uint32_t first, uint32_t second) {
  out += label;
  append_name(out, header, first);
  out += ' ';
  append_name(out, header, second);
  out += '\n';
}

bool has_error(const VARNO_STATUS& status, int32_t error) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == error) return true;
  }
  return false;
}

// The listing's texts are the same on the screen and in the file, so one
// block serves both sides.
struct Listing {
  CommandState* state;
  int64_t file_size;
  std::vector<unsigned char> message;  // grows to the largest message listed
  ListingOutput out;
};

// Lists the record at `offset` as message `number`. False when the record is
// unusable (its header could not be read, or its size is impossible for this
// file); a line saying so has been printed.
bool list_record(Listing* listing, int64_t offset, int32_t number) {
  CommandState* s = listing->state;
  unsigned char header[kMessageHeaderSize] = {};
  const uint32_t body_checksum = read_message_header(s->handle, offset, header, &s->status);
  const bool header_read =
      !has_error(s->status, kErrRecordRead) && !has_error(s->status, kErrRecordSeek);
  print_message_header(&listing->out, header, number);
  const uint32_t size = get_u32(header + kMsgSizeAt);
  bool usable = header_read && size >= kMessageHeaderSize &&
                offset + record_prefix_size() + int64_t{size} <= listing->file_size;
  if (usable) {
    if (listing->message.size() < size) listing->message.resize(size);
    unsigned char* message = listing->message.data();
    std::memcpy(message, header, kMessageHeaderSize);
    read_message_body(s->handle, offset, size, body_checksum, message, &s->status);
    // A checksum mismatch is listed like any record; a body that cannot be
    // read is not, so nothing of an earlier record is shown in its place.
    usable = !has_error(s->status, kErrBodyRead) && !has_error(s->status, kErrRecordSeek);
    if (usable) print_message_body(&listing->out, message);
  }
  if (!usable) {
    std::string& b = listing->out.block;
    b.clear();
    append_format(b, "Invalid message record at offset %" PRId64 "; listing stopped.\n\n", offset);
    print_report_block(s->mode, s->output, b, b);
  }
  return usable;
}

// The common start of both commands: prompts, header read and report, file
// size. False when the command has nothing more to do.
bool start_listing(Listing* listing, CommonHeader* record) {
  CommandState* s = listing->state;
  begin_command(s);
  if (prompt_store_file(&s->handle, s->name, kStoreNameCapacity) != 0) return false;
  prompt_output(&s->mode, &s->output, s->name);
  read_fixed_header(s->handle, record, &s->status);
  if (varno_failed(s->status)) {
    screen_print("\nError reading store file header from %s\n", s->name);
    print_error_list(s->status);
    return false;
  }
  print_header_report(*record, s->name, s->output, s->mode);
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
  append_decimal(b, static_cast<int32_t>(get_u32(header + kMsgSizeAt)));
  b += ", Message signature ";
  append_decimal(b,
                 uint32_t{header[kMsgSignatureAt]} | (uint32_t{header[kMsgSignatureAt + 1]} << 8));
  b += ", transaction number ";
  append_decimal(b, static_cast<int32_t>(get_u32(header + kMsgTransactionAt)));
  b += '\n';
  append_name_pair(b, "Request source: ", header, kMsgRequestSourceAt, kMsgRequestSource2At);
  append_name_pair(b, "Reply dest: ", header, kMsgReplyDestAt, kMsgReplyDest2At);
  append_name_pair(b, "message source: ", header, kMsgMessageSourceAt, kMsgMessageSource2At);
  append_name_pair(b, "message dest: ", header, kMsgMessageDestAt, kMsgMessageDest2At);
  print_report_block(out->mode, out->output, b, b);
}

MessageSummary summarize_message_body(const unsigned char* message) {
  VARNO_STATUS status;
  const VARNO_STATUS* tag_status = nullptr;
  const VARNO_TIMESTAMP* stamps = nullptr;
  int32_t transaction = 0, list_id = 0, tags = 0, frequency = 0;
  int32_t unused[9] = {};
  VARNO_SERVER_INITBLK(&status);
  MessageSummary summary;
  summary.transaction_type = VARNO_SERVER_TRANSTYPE(message);
  if (summary.transaction_type == 1) {
    VARNO_SERVER_PARSE_GETREP(message, &tag_status, &transaction, &unused[0], &list_id, &unused[1],
                              &unused[2], &tags, &frequency, &unused[3], &unused[4], &unused[5],
                              &unused[6], &unused[7], &stamps, &status);
  } else {
    VARNO_SERVER_PARSE_UNSREP(message, &tag_status, &transaction, &unused[0], &list_id, &unused[1],
                              &unused[2], &tags, &frequency, &unused[3], &unused[4], &unused[5],
                              &unused[6], &unused[7], &stamps, &status);
  }
  // Nothing the library did not set is kept.
  if (varno_failed(status) || tag_status == nullptr) return summary;
  summary.interpreted = true;
  summary.list_id = list_id;
  summary.frequency = frequency;
  summary.tag_count = tags;
  summary.error_code = tag_status->error[0];
  if (tags > 0 && stamps != nullptr) {
    summary.has_first_time = true;
    summary.first_time = stamps[0];
  }
  return summary;
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

void list_store_contents(int32_t handle, const CommonHeader& record, int64_t file_size,
                         OutputMode mode, FILE* output) {
  CommandState state;
  state.handle = handle;
  state.mode = mode;
  state.output = output;
  Listing listing{&state, file_size, {}, {output, mode, {}}};
  int64_t offset = record.oldest_offset;
  uint32_t count = 0;
  while (offset < file_size && count < record.message_count) {
    if (!list_record(&listing, offset, static_cast<int32_t>(count + 1))) break;
    ++count;
    // Read the size back from the record just listed.
    const uint32_t size = get_u32(listing.message.data() + kMsgSizeAt);
    offset = next_record_offset(offset, size, file_size, record.newest_offset);
  }
}

void list_first_last(int32_t handle, const CommonHeader& record, int64_t file_size, OutputMode mode,
                     FILE* output) {
  if (record.oldest_offset >= file_size || record.newest_offset >= file_size) return;
  CommandState state;
  state.handle = handle;
  state.mode = mode;
  state.output = output;
  Listing listing{&state, file_size, {}, {output, mode, {}}};
  list_record(&listing, record.oldest_offset, 1);
  list_record(&listing, record.newest_offset, static_cast<int32_t>(record.message_count));
}

void print_store_contents() {
  CommandState state;
  CommonHeader record{};
  Listing listing{&state, -1, {}, {}};
  if (start_listing(&listing, &record)) {
    list_store_contents(state.handle, record, listing.file_size, state.mode, state.output);
  }
  end_command(&state);
}

void print_first_last_messages() {
  CommandState state;
  CommonHeader record{};
  Listing listing{&state, -1, {}, {}};
  if (start_listing(&listing, &record)) {
    list_first_last(state.handle, record, listing.file_size, state.mode, state.output);
  }
  end_command(&state);
}
