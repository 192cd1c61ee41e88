// What the commands share: their per-run state and its clean-up.
#ifndef VARNO_COMMANDS_COMMAND_COMMON_H_
#define VARNO_COMMANDS_COMMAND_COMMON_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "messaging/varno.h"
#include "report/report.h"

constexpr int32_t kStoreNameSize = 1024;
constexpr int32_t kStoreNameCapacity = 1023;

// The state a command owns for its duration.
struct CommandState {
  int32_t handle = -1;
  OutputMode mode = kOutputScreen;
  FILE* output = nullptr;
  VARNO_STATUS status;
  char name[kStoreNameSize] = {};
};

// Clears the screen and the status block; the handle, mode and output file
// start empty.
void begin_command(CommandState* state);

// Closes the store file (releasing its lock), then the output file.
void end_command(CommandState* state);

// Appends `value` in decimal.
void append_decimal(std::string& out, int64_t value);

#endif  // VARNO_COMMANDS_COMMAND_COMMON_H_
