#include "report/prompts.h"

#include <cstring>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "report/report.h"

ConsoleLine read_console_line(char* field, size_t capacity) {
  screen_flush();
  size_t n = 0;
  bool too_long = false;
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (n + 1 < capacity) {
      field[n++] = static_cast<char>(c);
    } else {
      too_long = true;  // keep reading to the end of the line, storing nothing
    }
  }
  if (capacity > 0) field[n] = '\0';
  if (too_long) return kLineTooLong;
  if (c == EOF && n == 0) return kLineEnd;
  return kLineRead;
}

int read_console_char() {
  screen_flush();
  return std::getchar();
}

int32_t prompt_store_file(int32_t* handle, char* name, int32_t capacity) {
  VARNO_STATUS status;
  *handle = -1;
  VARNO_SERVER_INITBLK(&status);
  screen_write("\nEnter the store file name:  ");
  if (read_console_line(name, static_cast<size_t>(capacity)) != kLineRead || name[0] == '\0') {
    name[0] = '\0';
    screen_write("\nError reading store file name.\n");
    return 1;
  }
  *handle = varno_s_file_open(name, kOpenReadWrite, &status);
  if (varno_failed(status)) {
    screen_print("\nError opening store file %s\n", name);
    print_error_list(status);
    return 1;
  }
  if (*handle < 0) {
    screen_print("\nError opening store file.  File not found: %s\n", name);
    return 1;
  }
  return 0;
}

void prompt_output(OutputMode* mode, FILE** output, const char* store_name) {
  char choice[79];
  char file_name[1024];
  screen_write("\nWrite the info to an output file or display on screen or both (F,S,B):  ");
  if (read_console_line(choice, sizeof choice) != kLineRead || choice[0] == '\0') {
    choice[0] = '\0';
    screen_write("\nError reading display choice. Will display info on screen.\n");
  }
  switch (choice[0]) {
    case 'B':
    case 'b':
      *mode = kOutputBoth;
      break;
    case 'F':
    case 'f':
      *mode = kOutputFile;
      break;
    default:
      *mode = kOutputScreen;
      break;
  }
  if (*mode == kOutputScreen) return;
  screen_write("\nEnter the output file name:  ");
  if (read_console_line(file_name, 1023) != kLineRead || file_name[0] == '\0') {
    screen_write("\nError reading output file name.  Will display on screen only\n");
    *mode = kOutputScreen;
    return;
  }
  // Opening with "w" empties the file: never do that to the store file.
  FILE* stream = nullptr;
  if (store_name == nullptr || !platform::same_file(file_name, store_name)) {
    stream = std::fopen(file_name, "w");
  }
  if (stream == nullptr) {
    screen_print("\nError opening output file %s\n", file_name);
    screen_write("\nWill display info on screen only\n");
    *mode = kOutputScreen;
    return;
  }
  *output = stream;
}
