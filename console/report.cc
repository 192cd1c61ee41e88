#include "console/report.h"

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

void screen_write(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->append(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
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
  if (g_capture == nullptr) std::fflush(stdout);
}

void print_report_block(int32_t mode, FILE* output, std::string_view screen_text,
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
  if (seconds < 0 || !platform::local_time(seconds, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 ||
      tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_year + 1900 > 9999) {
    have_last = false;
    return kInvalid;
  }
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays + 3 * tm.tm_wday,
                kMonths + 3 * tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                1900 + tm.tm_year);
  have_last = true;
  last_seconds = seconds;
  return text;
}

void clear_screen() {
  if (g_capture == nullptr) platform::clear_screen();
}

void set_screen_capture(std::string* sink) {
  g_capture = sink;
}
