// Helpers shared by the registry tests of every platform.
#ifndef VARNO_PLATFORM_REGISTRY_TESTING_H_
#define VARNO_PLATFORM_REGISTRY_TESTING_H_

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/registry.h"

namespace registrytesting {

// Creates (or opens) `path` under HKEY_LOCAL_MACHINE, failing the test when
// that fails; *disposition receives how.
inline platform::RegKey create(const char* path, uint32_t* disposition = nullptr,
                               uint32_t sam = platform::kRegKeyAllAccess) {
  platform::RegKey key = nullptr;
  uint32_t d = 0;
  EXPECT_EQ(platform::reg_create_key_ex(platform::kRegLocalMachine, path,
                                        platform::kRegOptionNonVolatile, sam, &key, &d),
            0u)
      << path;
  if (disposition != nullptr) *disposition = d;
  return key;
}

// The DWORD under `name`, or -1 cast when the query fails.
inline uint32_t get_dword(platform::RegKey key, const char* name, uint32_t* code = nullptr) {
  uint32_t cell = 0, size = 4, type = 99;
  const uint32_t r = platform::reg_query_value_ex(key, name, &type, &cell, &size);
  if (code != nullptr) *code = r;
  return r == 0 ? cell : 0xFFFFFFFFu;
}

}  // namespace registrytesting

#endif  // VARNO_PLATFORM_REGISTRY_TESTING_H_
