#include "console/menu.h"

#include <cstring>
#include <iterator>
#include <string>

#include "commands/commands.h"
#include "messaging/varno.h"
#include "report/prompts.h"
#include "report/report.h"

namespace {

constexpr size_t kServiceLineSize = 79;
constexpr size_t kServiceNameSize = 32;
constexpr size_t kMenuLineSize = 255;

// The main menu's commands, in the order drawn: the key that selects one
// (in either letter case), its line in the menu, and what it runs; the exit
// runs nothing.
struct MenuCommand {
  char key;
  const char* title;
  void (*run)();
};
constexpr MenuCommand kMenu[] = {
    {'1', "Print the Store File header", header_report_command},
    {'2', "Print the Store File contents", print_store_contents},
    {'3', "Print the Store File's first and last message info", print_first_last_messages},
    {'4', "Track the number of messages fowarded", forward_tracking_command},
    {'5', "Reset the Store File's forward pointer", reset_forward_pointer},
    {'x', "Exit", nullptr},
};
constexpr const MenuCommand& kExit = kMenu[std::size(kMenu) - 1];
static_assert(kExit.run == nullptr, "the exit comes last");

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void draw_menu(const char* version) {
  clear_screen();
  screen_print("\nQuellmark Var-No Store & Forward %s Analyze Utility", version);
  std::string underline = "\n-------------------------------------------------";
  // One dash per character of the version, so the underline matches the banner.
  underline.append(std::strlen(version), '-');
  screen_write(underline);
  screen_write("\n\n");
  for (const MenuCommand& command : kMenu) {
    screen_write(std::string("\n") + command.key + "-" + command.title);
  }
  screen_write("\n\nPress a key to make your selection: ");
}

// Reads lines until one selects a command or the exit, which is also what
// the end of input selects, so the menu cannot spin.
const MenuCommand& read_selection(VARNO_STATUS* status) {
  char line[kMenuLineSize];
  for (;;) {
    const ConsoleLine got = read_console_line(line, sizeof line);
    if (got == kLineEnd) return kExit;
    if (got != kLineTooLong && std::strlen(line) < 2) {
      VARNO_SERVER_INITBLK(status);
      for (const MenuCommand& command : kMenu) {
        if (upper(line[0]) == upper(command.key)) return command;
      }
    }
    screen_write("\nInvalid entry, please re-enter: ");
  }
}

}  // namespace

void wait_for_return() {
  screen_write("\n\nPlease press RETURN to continue...");
  read_console_char();
}

int run_utility() {
  char service_line[kServiceLineSize];
  char service[kServiceNameSize];
  char reply[kServiceNameSize];
  VARNO_STATUS status;

  screen_write("\nEnter a TCP/IP service to use for this application:  ");
  if (read_console_line(service_line, sizeof service_line) == kLineEnd) service_line[0] = '\0';
  VARNO_SERVER_INITBLK(&status);
  if (std::strlen(service_line) < sizeof service) {
    std::memcpy(service, service_line, std::strlen(service_line) + 1);
    VARNO_SERVER_INIT(1, service, reply, &status);
  } else {
    // No service name is that long; refuse it rather than hand on a cut name
    // that might name some other service.
    std::memcpy(service, service_line, sizeof service - 1);
    service[sizeof service - 1] = '\0';
    VARNO_SERVER_LDBLK(VARNO_FACILITY_LIBRARY, VARNO_ERR_SERVICE, &status);
  }
  if (varno_failed(status)) {
    screen_print("\nVARNO_SERVER_INIT failed with service %s\n", service_line);
    print_error_list(status);
    wait_for_return();
    screen_flush();
    return 0;
  }
  VARNO_SERVER_INITBLK(&status);
  const char* version = VARNO_SERVER_VERSION();

  for (;;) {
    draw_menu(version);
    const MenuCommand& chosen = read_selection(&status);
    if (chosen.run == nullptr) {
      screen_flush();
      return 0;
    }
    chosen.run();
    wait_for_return();
  }
}
