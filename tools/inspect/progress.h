// The progress line of long commands: one line on standard error, rewritten
// in place and erased at the end, only when standard error is a terminal, so
// pipes and files never see it.
#ifndef VARNO_TOOLS_INSPECT_PROGRESS_H_
#define VARNO_TOOLS_INSPECT_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace inspect {

class Progress {
 public:
  // `verb` names the command ("verify"); `file_size` is the 100 % mark.
  // Nothing is ever written when `stream` is null.
  Progress(const char* verb, int64_t file_size, FILE* stream);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Called once per record; redraws at most ten times a second.
  void update(uint64_t records, int64_t bytes);
  // Erases the line (once).
  void finish();

  // The text of the line, e.g.
  // "verify: 120000 records, 48.0 MiB, 240.0 MiB/s, 45 %".
  static std::string line(const char* verb, uint64_t records, int64_t bytes, double seconds,
                          int64_t file_size);

 private:
  const char* verb_;
  int64_t file_size_;
  FILE* stream_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
  uint32_t calls_ = 0;
  size_t shown_ = 0;  // characters of the line on the terminal now
};

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_PROGRESS_H_
