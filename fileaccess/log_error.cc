#include <cstdio>
#include <string>

#include "fileaccess/file_access.h"
#include "fileaccess/file_io_internal.h"
#include "platform/platform.h"

void LogWntError(const char* function, const char* message, uint32_t code) {
  // The composed text is cut at 2047 characters rather than overrun.
  char text[2048];
  if (code != 0) {
    std::string description;
    const int shown = static_cast<int>(code);  // printed as signed, as the log always has
    if (const platform::Status described = platform::describe_code(code, &description);
        !described.ok()) {
      const uint32_t failure = described.code;
      if (message != nullptr) {
        std::snprintf(text, sizeof text, "%s\nWNT Unknown Error=%d, FormatMessage error=%d",
                      message, shown, static_cast<int>(failure));
      } else {
        std::snprintf(text, sizeof text, "\nWNT Unknown Error=%d, FormatMessage error=%d", shown,
                      static_cast<int>(failure));
      }
    } else {
      const char* filtered = VARNO_FILTER_CRLF(description.c_str());
      if (message != nullptr) {
        std::snprintf(text, sizeof text, "%s,\nerror=%d: %s", message, shown, filtered);
      } else {
        std::snprintf(text, sizeof text, "error=%d: %s", shown, filtered);
      }
    }
  } else {
    if (message == nullptr) return;
    std::snprintf(text, sizeof text, "%s", message);
  }
  KernelDebugLog("[%s] [%s]", function != nullptr ? function : "", text);
}

namespace {

// The last failed platform call of the layer, which varno_s_file_error_text
// words; the layer is used from one thread.
platform::Status g_last_failure;

}  // namespace

int32_t note_failure(const platform::Status& failure) {
  g_last_failure = failure;
  return failure.error;
}

platform::Status noted(platform::Status call, uint32_t found) {
  varno_SetLastError(call.ok() ? found : call.code);
  if (!call.ok()) note_failure(call);
  return call;
}

std::string varno_s_file_error_text(int32_t error) {
  if (!g_last_failure.ok() && g_last_failure.error == error) {
    return platform::describe_error(g_last_failure);
  }
  return platform::describe_errno(error);
}
