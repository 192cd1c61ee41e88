// Stand-in for the messaging library: status blocks, server start-up, the
// logs, the environment directory and message-body interpretation, written
// from what the utility and its file layer expect of the real one.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "messaging/varno.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kMessageHeaderSize = 292;
constexpr uint32_t kFixedBodySize = 92;  // list id, frequency, count, tag status

uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void clear_block(VARNO_STATUS* block) {
  if (block == nullptr) return;
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    block->facility[i] = 0;
    block->error[i] = -1;
  }
}

// The environment directory, created on first use; *made says whether that
// worked (the directory is empty when it did not).
std::string prepared_environment(platform::Status* made = nullptr) {
  std::string dir = platform::environment_directory();
  const platform::Status created = platform::make_directories(dir);
  if (made != nullptr) *made = created;
  return created.ok() ? dir : std::string();
}

// One log entry: time stamp, process id, text, line feed, in one append.
// *error gets the run-time's error number of a failure, else 0.
void append_log(const char* file, const std::string& text, int* error) {
  platform::Status made;
  const std::string dir = prepared_environment(&made);
  *error = made.error;
  if (!made.ok()) return;
  std::string entry = platform::log_time_stamp() + " [" + std::to_string(platform::process_id()) +
                      "] " + text + "\n";
  *error = platform::append_entry(dir + file, entry).error;
}

bool is_port_number(const char* s) {
  if (*s == '\0') return false;
  long value = 0;
  for (const char* p = s; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 65535) return false;
  }
  return value >= 1;
}

// The last error code (varno_GetLastError); per thread, like the system's.
thread_local uint32_t g_last_error = 0;

// What the last parse handed out; lives until the next parse.
VARNO_STATUS g_tag_status;
std::vector<VARNO_TIMESTAMP> g_time_stamps;

int32_t parse_message(const void* message, const VARNO_STATUS** tag_status, int32_t* transaction,
                      int32_t* out4, int32_t* list_id, int32_t* out6, int32_t* out7,
                      int32_t* tag_count, int32_t* frequency, int32_t* out10, int32_t* out11,
                      int32_t* out12, int32_t* out13, int32_t* out14,
                      const VARNO_TIMESTAMP** time_stamps, VARNO_STATUS* block) {
  VARNO_SERVER_INITBLK(block);
  for (int32_t* p : {transaction, out4, list_id, out6, out7, tag_count, frequency, out10, out11,
                     out12, out13, out14}) {
    if (p != nullptr) *p = 0;
  }
  if (tag_status != nullptr) *tag_status = nullptr;
  if (time_stamps != nullptr) *time_stamps = nullptr;
  if (message == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_LIBRARY, VARNO_ERR_PARSE, block);
    return -1;
  }
  const auto* m = static_cast<const unsigned char*>(message);
  // The message header's size field says how long the message is.
  const uint32_t size = le32(m + 4);
  if (size < kMessageHeaderSize + kFixedBodySize) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_LIBRARY, VARNO_ERR_PARSE, block);
    return -1;
  }
  const unsigned char* body = m + kMessageHeaderSize;
  const uint32_t body_size = size - kMessageHeaderSize;
  const int32_t count = static_cast<int32_t>(le32(body + 8));
  if (count < 0 || uint64_t{kFixedBodySize} + 16ull * static_cast<uint64_t>(count) > body_size) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_LIBRARY, VARNO_ERR_PARSE, block);
    return -1;
  }
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    g_tag_status.facility[i] = static_cast<int32_t>(le32(body + 12 + 4 * i));
    g_tag_status.error[i] = static_cast<int32_t>(le32(body + 52 + 4 * i));
  }
  g_time_stamps.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const unsigned char* t = body + kFixedBodySize + 8 * i;
    g_time_stamps[static_cast<size_t>(i)] = {le32(t), static_cast<int32_t>(le32(t + 4))};
  }
  if (tag_status != nullptr) *tag_status = &g_tag_status;
  if (transaction != nullptr) *transaction = static_cast<int32_t>(le32(m + 8));
  if (list_id != nullptr) *list_id = static_cast<int32_t>(le32(body));
  if (frequency != nullptr) *frequency = static_cast<int32_t>(le32(body + 4));
  if (tag_count != nullptr) *tag_count = count;
  if (time_stamps != nullptr) *time_stamps = count > 0 ? g_time_stamps.data() : nullptr;
  return 0;
}

}  // namespace

extern "C" {

void VARNO_SERVER_INITBLK(VARNO_STATUS* block) {
  clear_block(block);
}
void VARNO_CLIENT_INITBLK(VARNO_STATUS* block) {
  clear_block(block);
}

void VARNO_SERVER_LDBLK(int32_t facility, int32_t error, VARNO_STATUS* block) {
  if (block == nullptr) return;
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    if (block->error[i] == -1) {
      block->facility[i] = facility;
      block->error[i] = error;
      return;
    }
  }
}

int32_t VARNO_SERVER_INIT(int32_t /*mode*/, const char* service, char* /*reply*/,
                          VARNO_STATUS* block) {
  VARNO_SERVER_INITBLK(block);
  // No socket is opened: the utility never talks to a client, and the service
  // itself may be listening on that port.
  if (service == nullptr || (!is_port_number(service) && !platform::tcp_service_known(service))) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_LIBRARY, VARNO_ERR_SERVICE, block);
    return -1;
  }
  std::string dir = prepared_environment();
  if (dir.empty() || !platform::directory_writable(dir)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_LIBRARY, VARNO_ERR_ENVIRONMENT, block);
    return -1;
  }
  return 0;
}

const char* VARNO_SERVER_VERSION(void) {
  return VARNO_VERSION_TEXT;
}

void VARNO_SERVER_MSLEEP(int32_t milliseconds) {
  platform::sleep_ms(milliseconds);
}

int32_t VARNO_SERVER_TRANSTYPE(const void* message) {
  if (message == nullptr) return 0;
  const auto* m = static_cast<const unsigned char*>(message);
  return static_cast<int32_t>(uint32_t{m[2]} | (uint32_t{m[3]} << 8));
}

int32_t VARNO_SERVER_PARSE_GETREP(const void* message, const VARNO_STATUS** tag_status,
                                  int32_t* transaction, int32_t* out4, int32_t* list_id,
                                  int32_t* out6, int32_t* out7, int32_t* tag_count,
                                  int32_t* frequency, int32_t* out10, int32_t* out11,
                                  int32_t* out12, int32_t* out13, int32_t* out14,
                                  const VARNO_TIMESTAMP** time_stamps, VARNO_STATUS* block) {
  return parse_message(message, tag_status, transaction, out4, list_id, out6, out7, tag_count,
                       frequency, out10, out11, out12, out13, out14, time_stamps, block);
}

int32_t VARNO_SERVER_PARSE_UNSREP(const void* message, const VARNO_STATUS** tag_status,
                                  int32_t* transaction, int32_t* out4, int32_t* list_id,
                                  int32_t* out6, int32_t* out7, int32_t* tag_count,
                                  int32_t* frequency, int32_t* out10, int32_t* out11,
                                  int32_t* out12, int32_t* out13, int32_t* out14,
                                  const VARNO_TIMESTAMP** time_stamps, VARNO_STATUS* block) {
  return parse_message(message, tag_status, transaction, out4, list_id, out6, out7, tag_count,
                       frequency, out10, out11, out12, out13, out14, time_stamps, block);
}

void VARNO_CLIENT_ENVIRONMENT(VARNO_ENVIRONMENT* environment) {
  if (environment == nullptr) return;
  std::string dir = prepared_environment();
  if (dir.empty()) dir = platform::environment_directory();
  // A directory that does not fit is reported empty rather than cut: a cut
  // path would name some other directory.
  if (dir.size() >= sizeof environment->directory) dir.clear();
  std::memcpy(environment->directory, dir.c_str(), dir.size() + 1);
}

const char* VARNO_FILTER_CRLF(const char* text) {
  thread_local std::string filtered;
  filtered = text != nullptr ? text : "";
  while (!filtered.empty() && (filtered.back() == '\n' || filtered.back() == '\r')) {
    filtered.pop_back();
  }
  return filtered.c_str();
}

void KernelDebugLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
  }
  va_end(args);
  int error = 0;
  append_log("varno_debug.log", text, &error);
}

void VARNO_SERVER_LOGMSG(const char* tag, const char* text, VARNO_STATUS* block) {
  VARNO_SERVER_INITBLK(block);
  std::string entry = std::string("[") + (tag ? tag : "") + "] " + (text ? text : "");
  int error = 0;
  append_log("varno_message.log", entry, &error);
  if (error != 0) VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, error, block);
}

uint32_t varno_GetLastError(void) {
  return g_last_error;
}

void varno_SetLastError(uint32_t code) {
  g_last_error = code;
}

void varno_GetLastErrorEx(int32_t /*reserved1*/, int32_t /*reserved2*/, int32_t* kind) {
  if (kind != nullptr) *kind = g_last_error == platform::kErrorNotFound ? 1 : 0;
}

uint32_t GetVarnoRegSamViewFlag(void) {
  return platform::kRegSystemView;
}

}  // extern "C"
