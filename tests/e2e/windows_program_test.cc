// The programs as Windows sees them: each carries the application manifest
// (UTF-8 code page, long paths, Windows 10 and 11, no elevation) and version
// information, read from the programs' resources as Explorer and the loader
// read them.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

const char* const kPrograms[] = {"varno-analyze", "varno-inspect", "varno-storegen", "varno-reg"};

// The manifest resource (RT_MANIFEST 1) of the program at `path`.
std::string manifest_of(const std::string& path) {
  HMODULE image = LoadLibraryExA(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return "";
  std::string text;
  if (HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
    if (HGLOBAL loaded = LoadResource(image, found)) {
      text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, found));
    }
  }
  FreeLibrary(image);
  return text;
}

// One string of the program's version information (US English, Unicode).
std::string version_string(const std::vector<char>& info, const std::string& name) {
  char* value = nullptr;
  UINT size = 0;
  const std::string key = "\\StringFileInfo\\040904B0\\" + name;
  if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &size) ||
      size == 0) {
    return "";
  }
  return std::string(value, size - 1);
}

TEST(WindowsProgram, EachCarriesTheManifestAndVersionInformation) {
  for (const std::string program : kPrograms) {
    const std::string path = testsupport::binary(program);
    const std::string manifest = manifest_of(path);
    for (const char* setting :
         {">UTF-8</activeCodePage>", ">true</longPathAware>",
          "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>", "level=\"asInvoker\""}) {
      EXPECT_NE(manifest.find(setting), std::string::npos) << program << " lacks " << setting;
    }
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    ASSERT_GT(size, 0u) << program;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data())) << program;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_size));
    EXPECT_EQ(fixed->dwFileVersionMS, (DWORD{VARNO_VERSION_MAJOR} << 16) | VARNO_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD{VARNO_VERSION_PATCH} << 16);
    EXPECT_EQ(version_string(info, "ProductName"), "Var-No store file tools");
    EXPECT_EQ(version_string(info, "FileVersion"), VARNO_VERSION);
    EXPECT_EQ(version_string(info, "OriginalFilename"), program + ".exe");
    EXPECT_NE(version_string(info, "FileDescription"), "") << program;
  }
}

// The test programs carry the same manifest: what the system makes of it
// shows here (wine 8 honours the code page).
TEST(WindowsProgram, TheManifestMakesUtf8TheCodePageOfTheCalls) {
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
}

}  // namespace
