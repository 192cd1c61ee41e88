#include "tests/support/test_support.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/process.h"

namespace testsupport {

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string system_words(uint32_t code) {
  std::string text;
  if (!platform::describe_code(code, &text).ok()) return "";
  std::string line;
  for (char c : text) {
    if (c != '\r') line += c == '\n' ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool file_exists(const std::string& path) {
  return std::filesystem::exists(path);
}

std::string plain_lines(const std::string& text) {
  if (!kCrLfText) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string read_text_file(const std::string& path) {
  return plain_lines(read_file(path));
}

std::string binary(const std::string& name) {
  return build_directory() + "/" + name + kExecutableSuffix;
}

std::string source_path(const std::string& relative) {
  const char* dir = std::getenv("VARNO_TEST_SRC");
  return std::string(dir ? dir : ".") + "/" + relative;
}

std::vector<std::string> child_args(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--varno-child", name};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

RunResult run_child(const std::string& name, const std::vector<std::string>& args,
                    const std::string& input, const std::vector<std::string>& env) {
  return run(self_path(), child_args(name, args), input, env);
}

std::vector<std::string> log_entries(const std::string& log_path) {
  static const std::regex head(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] )");
  std::vector<std::string> entries;
  std::string text = read_text_file(log_path);
  size_t pos = 0;
  while (pos < text.size()) {
    std::smatch m;
    std::string rest = text.substr(pos);
    if (!std::regex_search(rest, m, head) || m.position(0) != 0) {
      ADD_FAILURE() << "log entry without its prefix at " << pos;
      break;
    }
    size_t start = pos + static_cast<size_t>(m.length(0));
    // The entry runs to the line feed before the next entry's prefix.
    size_t end = start;
    for (;;) {
      size_t nl = text.find('\n', end);
      if (nl == std::string::npos) {
        end = text.size();
        break;
      }
      std::string after = text.substr(nl + 1);
      std::smatch m2;
      if (nl + 1 >= text.size() || (std::regex_search(after, m2, head) && m2.position(0) == 0)) {
        end = nl;
        break;
      }
      end = nl + 1;
    }
    entries.push_back(text.substr(start, end - start));
    pos = end + 1;
  }
  return entries;
}

std::string debug_log_text(const std::string& home) {
  std::string all;
  for (const auto& e : log_entries(home + "varno_debug.log")) all += e + "\n";
  return all;
}

Interactive::Interactive(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& err_path) {
  process_ = start_process(program, args, env, err_path);
  if (process_ == nullptr) ADD_FAILURE() << "cannot start " << program;
}

Interactive::~Interactive() {
  if (process_ != nullptr) process_free(process_);
}

void Interactive::send(const std::string& text) {
  if (process_ == nullptr || !process_write(process_, text)) {
    ADD_FAILURE() << "write to the program failed";
  }
}

bool Interactive::interrupt() {
  return process_ != nullptr && process_interrupt(process_);
}

bool Interactive::take(int timeout_ms) {
  if (process_ == nullptr) return false;
  std::string chunk;
  const int r = process_read(process_, &chunk, timeout_ms);
  if (r < 0) {
    out += pending_;
    pending_.clear();
    return false;
  }
  chunk = pending_ + chunk;
  pending_.clear();
  // A CR at the end of a piece may be the first half of a CR LF.
  if (kCrLfText && !chunk.empty() && chunk.back() == '\r') {
    pending_ = "\r";
    chunk.pop_back();
  }
  out += plain_lines(chunk);
  return true;
}

bool Interactive::read_until(const std::string& tail, int timeout_ms) {
  auto ends_with = [&] {
    return out.size() >= tail.size() &&
           out.compare(out.size() - tail.size(), tail.size(), tail) == 0;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ends_with()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    if (!take(static_cast<int>(left))) return false;
  }
  return true;
}

void Interactive::read_for(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return;
    if (!take(static_cast<int>(left))) return;
  }
}

int Interactive::finish() {
  if (process_ == nullptr) return -1;
  process_close_input(process_);
  while (take(-1)) {
  }
  const int code = process_wait(process_);
  process_free(process_);
  process_ = nullptr;
  return code;
}

}  // namespace testsupport
