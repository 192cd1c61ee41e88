#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "fileaccess/file_access.h"

namespace fuzzsupport {

namespace {
const std::string* g_failure_text = nullptr;
}  // namespace

void show_on_failure(const std::string* text) {
  g_failure_text = text;
}

void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  if (g_failure_text != nullptr && !g_failure_text->empty()) {
    std::fprintf(stderr, "output so far (%zu bytes):\n%.4096s\n", g_failure_text->size(),
                 g_failure_text->c_str());
  }
  std::abort();
}

namespace {

// Never freed, so that it outlives every other object of the process; the
// exit handler still needs it.
const std::string* g_home = nullptr;

void remove_home() {
  std::error_code ignored;
  std::filesystem::remove_all(*g_home, ignored);
}

}  // namespace

const std::string& home() {
  if (g_home == nullptr) {
    std::string pattern = "/dev/shm/varno-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      const char* tmp = std::getenv("TMPDIR");
      pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/varno-fuzz-XXXXXX";
      if (::mkdtemp(pattern.data()) == nullptr) fail(__FILE__, __LINE__, "mkdtemp");
    }
    ::setenv("VARNO_HOME", pattern.c_str(), 1);
    g_home = new std::string(pattern + "/");
    // Gone when the run ends normally; a run stopped by a finding keeps it.
    std::atexit(remove_home);
  }
  return *g_home;
}

std::string write_input(const char* name, const uint8_t* data, size_t size, int64_t gap) {
  const std::string path = home() + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  // Seeking past the end leaves a hole that reads back as zeros; the resize
  // makes the hole part of the file when no byte follows it.
  if (gap > 0) FUZZ_CHECK(std::fseek(f, static_cast<long>(gap), SEEK_SET) == 0);
  if (size > 0) FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
  if (gap > 0 && size == 0) {
    std::error_code error;
    std::filesystem::resize_file(path, static_cast<uintmax_t>(gap), error);
    FUZZ_CHECK(!error);
  }
  return path;
}

int32_t open_store(const std::string& path) {
  VARNO_STATUS status;
  return varno_s_file_open(path.c_str(), kOpenReadWrite, &status);
}

void close_store(int32_t handle) {
  VARNO_STATUS status;
  varno_s_file_close(handle, &status);
  FUZZ_CHECK(!varno_failed(status));
}

bool has_pair(const VARNO_STATUS& status, int32_t facility, int32_t error) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == facility && status.error[i] == error) return true;
  }
  return false;
}

int32_t last_error(const VARNO_STATUS& status) {
  int32_t last = -1;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) last = status.error[i];
  return last;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

int64_t le64(const uint8_t* p) {
  return static_cast<int64_t>(uint64_t{le32(p)} | (uint64_t{le32(p + 4)} << 32));
}

}  // namespace fuzzsupport
