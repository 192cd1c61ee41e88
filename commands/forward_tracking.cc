// Menu 4: the message counts of a store file, read afresh each time the
// operator presses RETURN. The file, and with it the store file lock, is held
// only for the moment of one header read, never while the command waits.
#include <string>

#include "commands/command_common.h"
#include "commands/commands.h"
#include "fileaccess/file_access.h"
#include "report/prompts.h"
#include "report/report.h"

void print_forward_totals(CommonHeader header, FILE* output, OutputMode mode) {
  std::string counts;
  append_format(counts, "Total Number of Messages: %d \nNumber of Forwarded Messages: %d \n",
                static_cast<int>(header.message_count), static_cast<int>(header.forwarded_count));
  print_report_block(mode, output, "\n\n" + counts, "\n" + counts);
}

namespace {

// One reading of the counts; failures are reported and followed by a short
// pause so a file that is briefly unavailable does not flood the screen.
void track_once(CommandState* s, CommonHeader* header) {
  s->handle = varno_s_file_open(s->name, kOpenReadOnly, &s->status);
  if (varno_failed(s->status)) {
    screen_print("\nError opening store file %s\n", s->name);
    print_error_list(s->status);
    s->handle = -1;
    VARNO_SERVER_MSLEEP(100);
    return;
  }
  if (s->handle < 0) {
    screen_print("\nError opening store file.  File not found: %s\n", s->name);
    s->handle = -1;
    VARNO_SERVER_MSLEEP(100);
    return;
  }
  read_fixed_header(s->handle, header, &s->status);
  if (varno_failed(s->status)) {
    screen_print("\nError reading store file header from %s\n", s->name);
    print_error_list(s->status);
    varno_s_file_close(s->handle, &s->status);
    s->handle = -1;
    VARNO_SERVER_MSLEEP(100);
    return;
  }
  varno_s_file_close(s->handle, &s->status);
  s->handle = -1;
  print_forward_totals(*header, s->output, s->mode);
}

}  // namespace

void forward_tracking_command() {
  CommandState state;
  CommonHeader header{};
  bool first_cycle = true;
  begin_command(&state);
  if (prompt_store_file(&state.handle, state.name, kStoreNameCapacity) == 0) {
    // The prompt has shown the file can be opened; every cycle opens it again.
    varno_s_file_close(state.handle, &state.status);
    state.handle = -1;
    prompt_output(&state.mode, &state.output, state.name);
    for (;;) {
      screen_write("\nPress RETURN to continue or X to exit...");
      const int c = read_console_char();
      // The end of input ends the command as X would.
      if (c == 'x' || c == 'X' || c == EOF) break;
      if (first_cycle) {
        clear_screen();
        first_cycle = false;
      }
      track_once(&state, &header);
    }
  }
  end_command(&state);
}
