// Menu 1: the store file header report.
#include <cinttypes>
#include <string>

#include "commands/command_common.h"
#include "commands/commands.h"
#include "commands/header_read.h"
#include "report/prompts.h"
#include "report/report.h"

void print_header_report(CommonHeader header, const char* name, FILE* output, OutputMode mode) {
  // Both texts are made before the block is printed; each is copied because
  // the conversion reuses its storage.
  const std::string oldest = time_stamp_text(header.oldest_time.seconds);
  const std::string newest = time_stamp_text(header.newest_time.seconds);
  std::string offsets;
  append_format(offsets,
                "Oldest offset: %" PRId64 "\nNewest offset: %" PRId64 "\nCurrent offset: %" PRId64
                "\n",
                header.oldest_offset, header.newest_offset, header.current_offset);
  append_format(offsets,
                "Last offset: %" PRId64 "\nForward offset: %" PRId64 "\nLast message size: %" PRId64
                "\n",
                header.last_offset, header.forward_offset, header.last_message_size);
  append_format(offsets, "Store file oldest time stamp: %s\nStore file newest time stamp: %s\n",
                oldest.c_str(), newest.c_str());
  const char* rule = "--------------Store File Header Info----------------\n";

  std::string screen;
  std::string file;
  if (mode != kOutputFile) {
    append_format(screen, "\nSTORE FILE:  %s\n", name);
    screen += rule;
    append_format(screen, "Store file signature: %08X; revision=%d\nMessages forwarded: %d of %d\n",
                  header.signature, static_cast<int>(header.revision),
                  static_cast<int>(header.forwarded_count), static_cast<int>(header.message_count));
    screen += offsets;
  }
  if (mode != kOutputScreen) {
    append_format(file, "STORE FILE:  %s\n", name);
    file += rule;
    append_format(file,
                  "Store file signature: %d; revision=%d\nNumber of messages in store file: %d\n",
                  static_cast<int>(header.signature), static_cast<int>(header.revision),
                  static_cast<int>(header.message_count));
    file += offsets;
  }
  print_report_block(mode, output, screen, file);
}

void header_report_command() {
  CommandState state;
  CommonHeader header{};
  begin_command(&state);
  if (prompt_store_file(&state.handle, state.name, kStoreNameCapacity) == 0) {
    prompt_output(&state.mode, &state.output, state.name);
    read_store_header(state.handle, &header, &state.status);
    if (varno_failed(state.status)) {
      screen_print("\nError reading store file header from %s\n", state.name);
      print_error_list(state.status);
    } else {
      print_header_report(header, state.name, state.output, state.mode);
    }
  }
  end_command(&state);
}
