// ParseSnfPeriod on arbitrary NUL-terminated text (the input up to its first
// zero byte), against the C library: the fields are the tokens strtok_r
// finds between ':' characters, the seconds are the text after the second
// field's delimiter, and each field is read as a decimal number. Fields whose
// digits fit in 18 places are compared with strtoll's reading, wrapped to 32
// bits; longer ones only have to be parsed safely.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "storeconfig/store_config.h"

namespace {

// The field's value by strtoll, wrapped to 32 bits; false when its digit run
// is too long for strtoll to read without saturating.
bool reference_value(const char* text, uint32_t* value) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  size_t digits = 0;
  while (p[digits] >= '0' && p[digits] <= '9') ++digits;
  if (digits > 18) return false;
  *value = static_cast<uint32_t>(static_cast<uint64_t>(std::strtoll(text, nullptr, 10)));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));

  VARNO_STATUS status;
  const int32_t result = ParseSnfPeriod(text.c_str(), &status);

  std::string copy = text;
  char* save = nullptr;
  const char* hours = strtok_r(copy.data(), ":", &save);
  const char* minutes = hours != nullptr ? strtok_r(nullptr, ":", &save) : nullptr;
  if (hours == nullptr) {
    FUZZ_CHECK(result == 0 && fuzzsupport::last_error(status) == kErrSnfNoHours);
    return 0;
  }
  if (minutes == nullptr) {
    FUZZ_CHECK(result == 0 && fuzzsupport::last_error(status) == kErrSnfNoMinutes);
    return 0;
  }
  FUZZ_CHECK(!varno_failed(status));
  // strtok_r leaves `save` just past the delimiter that ended the minutes, or
  // at the end of the text.
  const char* seconds = save != nullptr ? save : "";
  uint32_t h = 0, m = 0, s = 0;
  if (reference_value(hours, &h) && reference_value(minutes, &m) && reference_value(seconds, &s)) {
    FUZZ_CHECK(result == static_cast<int32_t>(h * 3600u + m * 60u + s));
  }
  return 0;
}
