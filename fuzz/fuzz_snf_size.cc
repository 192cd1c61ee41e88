// ParseSnfSize on arbitrary NUL-terminated text (the input up to its first
// zero byte): the number strtoll reads, wrapped to 32 bits, whenever its digit
// run fits in 18 places; and the status block is never touched.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "storeconfig/store_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));

  VARNO_STATUS status;
  std::memset(&status, 0x6B, sizeof status);
  const VARNO_STATUS before = status;
  const int32_t result = ParseSnfSize(text.c_str(), &status);
  FUZZ_CHECK(std::memcmp(&status, &before, sizeof status) == 0);

  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  size_t digits = 0;
  while (p[digits] >= '0' && p[digits] <= '9') ++digits;
  if (digits <= 18) {
    const auto expected =
        static_cast<uint32_t>(static_cast<uint64_t>(std::strtoll(text.c_str(), nullptr, 10)));
    FUZZ_CHECK(result == static_cast<int32_t>(expected));
  }
  return 0;
}
