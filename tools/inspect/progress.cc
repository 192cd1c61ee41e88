#include "tools/inspect/progress.h"

#include <string>

namespace inspect {

namespace {
constexpr double kMiB = 1024.0 * 1024.0;
constexpr auto kRedraw = std::chrono::milliseconds(100);
}  // namespace

Progress::Progress(const char* verb, int64_t file_size, FILE* stream)
    : verb_(verb),
      file_size_(file_size),
      stream_(stream),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

std::string Progress::line(const char* verb, uint64_t records, int64_t bytes, double seconds,
                           int64_t file_size) {
  char text[160];
  const double mib = static_cast<double>(bytes) / kMiB;
  const double rate = seconds > 0 ? mib / seconds : 0.0;
  const int64_t percent = file_size > 0 ? bytes * 100 / file_size : 100;
  std::snprintf(text, sizeof text, "%s: %llu records, %.1f MiB, %.1f MiB/s, %lld %%", verb,
                static_cast<unsigned long long>(records), mib, rate,
                static_cast<long long>(percent > 100 ? 100 : percent));
  return text;
}

void Progress::update(uint64_t records, int64_t bytes) {
  if (stream_ == nullptr) return;
  // The clock is read only every 256 records: a walk calls this per record.
  if (++calls_ % 256 != 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kRedraw) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::string text = line(verb_, records, bytes, seconds, file_size_);
  // Blank out what is left of a longer line before.
  const size_t length = text.size();
  if (length < shown_) text.append(shown_ - length, ' ');
  std::fprintf(stream_, "\r%s", text.c_str());
  std::fflush(stream_);
  shown_ = length > shown_ ? length : shown_;
}

void Progress::finish() {
  if (stream_ == nullptr || shown_ == 0) return;
  std::fprintf(stream_, "\r%s\r", std::string(shown_, ' ').c_str());
  std::fflush(stream_);
  shown_ = 0;
}

}  // namespace inspect
