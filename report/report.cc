#include "report/report.h"

#include <cstdarg>
#include <cstring>

#include "platform/platform.h"

namespace {

std::string* g_capture = nullptr;

void vappend(std::string& out, const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  const size_t old = out.size();
  out.resize(old + static_cast<size_t>(n) + 1);
  std::vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, format, args);
  out.resize(old + static_cast<size_t>(n));
}

}  // namespace

void append_format(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vappend(out, format, args);
  va_end(args);
}

// Screen text waits here and goes to standard output in large pieces: a
// listing prints a block per message, and each trip through stdio costs more
// than the copy. Prompts are flushed before every read of standard input.
namespace {
constexpr size_t kScreenChunk = 1 << 16;
std::string g_pending;

void drain_screen() {
  if (g_pending.empty()) return;
  std::fwrite(g_pending.data(), 1, g_pending.size(), stdout);
  g_pending.clear();
}
}  // namespace

void screen_write(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->append(text);
    return;
  }
  g_pending.append(text);
  if (g_pending.size() >= kScreenChunk) drain_screen();
}

void screen_print(const char* format, ...) {
  std::string text;
  va_list args;
  va_start(args, format);
  vappend(text, format, args);
  va_end(args);
  screen_write(text);
}

void file_print(FILE* stream, const char* format, ...) {
  if (stream == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
}

void screen_flush() {
  if (g_capture != nullptr) return;
  drain_screen();
  std::fflush(stdout);
}

void print_report_block(OutputMode mode, FILE* output, std::string_view screen_text,
                        std::string_view file_text) {
  if (mode != kOutputFile) screen_write(screen_text);
  if (mode != kOutputScreen && output != nullptr) {
    std::fwrite(file_text.data(), 1, file_text.size(), output);
    std::fflush(output);
  }
}

void print_error_list(const VARNO_STATUS& block) {
  std::string text = "\nError codes\n-----------\n";
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    if (block.error[i] == -1) break;
    append_format(text, "\n%d) facility=%ld  error=%ld", i, static_cast<long>(block.facility[i]),
                  static_cast<long>(block.error[i]));
  }
  screen_write(text);
}

const char* time_stamp_text(int32_t seconds) {
  static const char kDays[] = "SunMonTueWedThuFriSat";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  static const char kInvalid[] = "(invalid time stamp)\n";
  // Listings convert the same few seconds values over and over; the local
  // time conversion is the expensive part, so the last text is kept.
  static bool have_last = false;
  static int32_t last_seconds = 0;
  static char text[64];
  if (have_last && seconds == last_seconds) return text;
  std::tm tm{};
  if (seconds < 0 || !platform::local_time(seconds, &tm).ok() || tm.tm_wday < 0 || tm.tm_wday > 6 ||
      tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 1000) {
    have_last = false;
    return kInvalid;
  }
  // "Www Mmm dd hh:mm:ss yyyy\n", written out by hand: this runs once per
  // listed message.
  auto two = [](char* at, int v) {
    at[0] = static_cast<char>('0' + v / 10);
    at[1] = static_cast<char>('0' + v % 10);
  };
  std::memcpy(text, kDays + 3 * tm.tm_wday, 3);
  text[3] = ' ';
  std::memcpy(text + 4, kMonths + 3 * tm.tm_mon, 3);
  text[7] = ' ';
  two(text + 8, tm.tm_mday);
  if (text[8] == '0') text[8] = ' ';
  text[10] = ' ';
  two(text + 11, tm.tm_hour);
  text[13] = ':';
  two(text + 14, tm.tm_min);
  text[16] = ':';
  two(text + 17, tm.tm_sec);
  text[19] = ' ';
  const int year = 1900 + tm.tm_year;
  two(text + 20, year / 100);
  two(text + 22, year % 100);
  text[24] = '\n';
  text[25] = '\0';
  have_last = true;
  last_seconds = seconds;
  return text;
}

void clear_screen() {
  if (g_capture != nullptr) return;
  screen_flush();
  platform::clear_screen();
}

void set_screen_capture(std::string* sink) {
  g_capture = sink;
}
