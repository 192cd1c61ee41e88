#include <cstdio>
#include <string>

#include "fileaccess/file_access.h"
#include "platform/platform.h"

void LogWntError(const char* function, const char* message, uint32_t code) {
  // The composed text is cut at 2047 characters rather than overrun.
  char text[2048];
  if (code != 0) {
    std::string description;
    uint32_t failure = 0;
    const int shown = static_cast<int>(code);  // printed as signed, as the log always has
    if (!platform::describe_error(code, &description, &failure)) {
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
