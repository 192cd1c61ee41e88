// The registry stand-in's value reader on an arbitrary value file: the input
// is the whole file (a little-endian type word, then the data), read back with
// reg_query_value_ex into nothing (length only), a 4-byte cell and a larger
// buffer, and with reg_enum_value and reg_query_info_key, each against the
// contract: a file shorter than its type word is an error for every reader;
// data that fit are copied whole with their length and type; data that do not
// fit copy nothing and report the length needed.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/registry.h"

namespace {

constexpr char kKeyPath[] = "Software\\Quellmark\\VAR-NO\\FUZZ";
constexpr uint32_t kLargeBuffer = 4096;

platform::RegKey fuzz_key() {
  static platform::RegKey key = [] {
    fuzzsupport::home();
    platform::RegKey k = nullptr;
    FUZZ_CHECK(platform::reg_create_key_ex(platform::kRegLocalMachine, kKeyPath, 0,
                                           platform::kRegKeyAllAccess, &k, nullptr) == 0);
    // Made once through the registry itself, so that the value file sits where
    // the stand-in keeps a value of that name.
    const uint32_t seed = 0;
    FUZZ_CHECK(platform::reg_set_value_ex(k, "Value", platform::kRegDword, &seed, 4) == 0);
    return k;
  }();
  return key;
}

// Reads "Value" into `room` bytes of a buffer filled with a marker byte.
void check_read(platform::RegKey key, const uint8_t* data, size_t size, uint32_t room) {
  uint8_t buffer[kLargeBuffer];
  std::memset(buffer, 0xE7, sizeof buffer);
  uint32_t length = room;
  uint32_t type = 0xDEADBEEF;
  const uint32_t code = platform::reg_query_value_ex(key, "Value", &type, buffer, &length);
  if (size < 4) {
    FUZZ_CHECK(code != 0 && code != platform::kRegErrorMoreData);
    return;
  }
  const auto stored = static_cast<uint32_t>(size - 4);
  FUZZ_CHECK(type == fuzzsupport::le32(data));
  if (stored > room) {
    FUZZ_CHECK(code == platform::kRegErrorMoreData && length == stored);
    for (uint8_t b : buffer) FUZZ_CHECK(b == 0xE7);
    return;
  }
  FUZZ_CHECK(code == 0 && length == stored);
  FUZZ_CHECK(std::memcmp(buffer, data + 4, stored) == 0);
  for (size_t i = stored; i < sizeof buffer; ++i) FUZZ_CHECK(buffer[i] == 0xE7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::RegKey key = fuzz_key();
  fuzzsupport::write_input("registry/HKEY_LOCAL_MACHINE/Software/Quellmark/VAR-NO/FUZZ/@Value",
                           data, size);

  uint32_t length = 0xFFFFFFFF;
  uint32_t code = platform::reg_query_value_ex(key, "Value", nullptr, nullptr, &length);
  if (size < 4) {
    FUZZ_CHECK(code != 0);
  } else {
    FUZZ_CHECK(code == 0 && length == size - 4);
  }
  check_read(key, data, size, 4);
  check_read(key, data, size, kLargeBuffer);

  char name[64];
  uint32_t name_size = sizeof name;
  uint8_t buffer[kLargeBuffer];
  uint32_t data_size = sizeof buffer;
  uint32_t type = 0;
  code = platform::reg_enum_value(key, 0, name, &name_size, &type, buffer, &data_size);
  if (size < 4) {
    FUZZ_CHECK(code != 0);
  } else if (size - 4 <= sizeof buffer) {
    FUZZ_CHECK(code == 0 && std::strcmp(name, "Value") == 0 && type == fuzzsupport::le32(data));
    FUZZ_CHECK(data_size == size - 4 && std::memcmp(buffer, data + 4, data_size) == 0);
  } else {
    FUZZ_CHECK(code == platform::kRegErrorMoreData && data_size == size - 4);
  }

  uint32_t values = 0, longest_data = 0;
  code = platform::reg_query_info_key(key, nullptr, nullptr, &values, nullptr, &longest_data);
  FUZZ_CHECK(code == 0 && values == 1);
  FUZZ_CHECK(longest_data == (size > 4 ? size - 4 : 0));
  return 0;
}
