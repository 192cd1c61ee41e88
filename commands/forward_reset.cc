// Menu 5: move the forward pointer back to the oldest message, so that the
// service forwards every stored message again. The utility's only write.
#include <cinttypes>

#include "commands/command_common.h"
#include "commands/commands.h"
#include "commands/header_read.h"
#include "report/prompts.h"
#include "report/report.h"

void reset_forward_pointer() {
  CommandState state;
  CommonHeader header{};
  char answer[15];
  begin_command(&state);
  screen_write(
      "\nThis option is used to reset the forward pointer to the \noldest message currently in "
      "the store file.\n");
  screen_write(
      "This could cause data that has already been forwarded to \nbe sent again to the "
      "VARNO client.\n");
  screen_write("Enter \"Y\" to continue...");
  // Only a line that fits and begins with Y or y is consent.
  if (read_console_line(answer, sizeof answer) != kLineRead ||
      (answer[0] != 'Y' && answer[0] != 'y')) {
    screen_write("\nWill not continue this option.  Returning to main menu.\n");
    return;
  }
  if (prompt_store_file(&state.handle, state.name, kStoreNameCapacity) == 0) {
    prompt_output(&state.mode, &state.output, state.name);
    // Only a signed block is written back: a block of zeros checks out too.
    read_store_header(state.handle, &header, &state.status, BlockRule::kSigned);
    if (varno_failed(state.status)) {
      screen_print("\nError reading store file header from %s\n", state.name);
      print_error_list(state.status);
    } else {
      const int64_t old_forward = header.forward_offset;
      header.forward_offset = header.oldest_offset;
      header.forwarded_count = 0;
      rewrite_store_header(state.handle, header, &state.status);
      if (varno_failed(state.status)) {
        print_rewrite_warning(state.status);
        screen_print("\nError writing store file header to %s\n", state.name);
        print_error_list(state.status);
      } else {
        print_header_report(header, state.name, state.output, state.mode);
        screen_write("\nThe Forward offset has been changed to the Oldest offset location.\n");
        screen_print("The Forward offset has been changed to %" PRId64
                     " where orginally it was at %" PRId64 ".\n",
                     header.forward_offset, old_forward);
      }
    }
  }
  end_command(&state);
}
