// The backup count on Windows: read from the 64-bit view of the machine's
// registry, whichever view a 32-bit build of the service wrote too.
#include <windows.h>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "tests/support/test_support.h"

namespace {

void set_copies(REGSAM view, DWORD copies) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quellmark\\VAR-NO", 0, nullptr, 0,
                            KEY_SET_VALUE | view, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "VARNOStoreBckCopies", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&copies), sizeof copies),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(BackupCountOnWindows, ComesFromTheSixtyFourBitView) {
  testsupport::ScratchHome home(testsupport::Registry::kMachine);
  set_copies(KEY_WOW64_32KEY, 7);
  EXPECT_EQ(varno_s_file_backup_count(), 0u) << "the 32-bit view's value was read";
  set_copies(KEY_WOW64_64KEY, 3);
  EXPECT_EQ(varno_s_file_backup_count(), 3u);
}

}  // namespace
