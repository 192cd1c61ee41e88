#include "console/menu.h"

#include <cstring>

#include "commands/commands.h"
#include "messaging/varno.h"
#include "report/prompts.h"
#include "report/report.h"

namespace {

constexpr size_t kServiceLineSize = 79;
constexpr size_t kServiceNameSize = 32;
constexpr size_t kMenuLineSize = 255;

void draw_menu(const char* version) {
  clear_screen();
  screen_print("\nQuellmark Var-No Store & Forward %s Analyze Utility", version);
  std::string underline = "\n-------------------------------------------------";
  // One dash per character of the version, so the underline matches the banner.
  underline.append(std::strlen(version), '-');
  screen_write(underline);
  screen_write("\n\n");
  screen_write("\n1-Print the Store File header");
  screen_write("\n2-Print the Store File contents");
  screen_write("\n3-Print the Store File's first and last message info");
  screen_write("\n4-Track the number of messages fowarded");
  screen_write("\n5-Reset the Store File's forward pointer");
  screen_write("\nx-Exit");
  screen_write("\n\nPress a key to make your selection: ");
}

// Reads lines until one selects a command or the exit. Returns the upper-cased
// selection character; 'X' also at the end of input, so the menu cannot spin.
char read_selection(VARNO_STATUS* status) {
  char line[kMenuLineSize];
  for (;;) {
    const ConsoleLine got = read_console_line(line, sizeof line);
    if (got == kLineEnd) return 'X';
    if (got == kLineTooLong || std::strlen(line) >= 2) {
      screen_write("\nInvalid entry, please re-enter: ");
      continue;
    }
    VARNO_SERVER_INITBLK(status);
    char c = line[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if ((c >= '1' && c <= '5') || c == 'X') return c;
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
    switch (read_selection(&status)) {
      case '1':
        header_report_command();
        break;
      case '2':
        print_store_contents();
        break;
      case '3':
        print_first_last_messages();
        break;
      case '4':
        forward_tracking_command();
        break;
      case '5':
        reset_forward_pointer();
        break;
      default:  // 'X'
        screen_flush();
        return 0;
    }
    wait_for_return();
  }
}
