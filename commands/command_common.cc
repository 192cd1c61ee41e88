#include "commands/command_common.h"

#include "fileaccess/file_access.h"
#include "report/report.h"

void begin_command(CommandState* state) {
  state->handle = -1;
  state->mode = kOutputScreen;
  state->output = nullptr;
  state->name[0] = '\0';
  clear_screen();
  VARNO_SERVER_INITBLK(&state->status);
}

void end_command(CommandState* state) {
  if (state->handle != -1) {
    varno_s_file_close(state->handle, &state->status);
    state->handle = -1;
  }
  if (state->output != nullptr) {
    std::fclose(state->output);
    state->output = nullptr;
  }
}

void append_decimal(std::string& out, int64_t value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  // Work on the magnitude as unsigned so the most negative value is safe.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  out.append(p, static_cast<size_t>(end - p));
}
