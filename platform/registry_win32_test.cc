// The registry calls against the real registry, checked through advapi32
// directly: what the layer writes is what Windows stores, and the other way
// round. Runs in the test's private registry (ScratchHome).
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace {

using namespace platform;

TEST(RealRegistry, ValuesCrossBetweenTheLayerAndAdvapiWithTheirTypes) {
  testsupport::ScratchHome home;
  RegKey key = nullptr;
  ASSERT_EQ(reg_create_key_ex(kRegLocalMachine, "SOFTWARE\\Quellmark\\VAR-NO", 0,
                              kRegKeyAllAccess | kRegSystemView, &key, nullptr),
            0u);
  const uint32_t copies = 0x01020304u;
  ASSERT_EQ(reg_set_value_ex(key, "VARNOStoreBckCopies", kRegDword, &copies, 4), 0u);
  DWORD stored = 0, type = 0, size = sizeof stored;
  ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quellmark\\VAR-NO", "VARNOStoreBckCopies",
                         RRF_RT_ANY, &type, &stored, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(stored, 0x01020304u);

  HKEY raw = nullptr;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quellmark\\VAR-NO", 0, KEY_SET_VALUE, &raw),
      ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(raw, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("7"), 2),
            ERROR_SUCCESS);
  RegCloseKey(raw);
  char text[8] = {};
  uint32_t text_type = 0, text_size = sizeof text;
  ASSERT_EQ(reg_query_value_ex(key, "text", &text_type, text, &text_size), 0u);
  EXPECT_EQ(text_type, kRegSz);
  EXPECT_EQ(text_size, 2u);
  EXPECT_STREQ(text, "7");
  EXPECT_EQ(reg_close_key(key), 0u);
  EXPECT_EQ(reg_close_key(kRegLocalMachine), 0u) << "a root is never closed";
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &raw), ERROR_SUCCESS);
  RegCloseKey(raw);
}

}  // namespace
