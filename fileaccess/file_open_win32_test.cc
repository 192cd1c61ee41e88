// The store file lock on Windows, whose file names ignore letter case while
// mutex names do not: every spelling of one file takes the one lock named as
// the file is stored, the lock the service takes for the names it gives.
#include <windows.h>

#include <cctype>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

// An extension of this test process alone: lock names are machine-wide.
std::string own_extension(const std::string& stem) {
  return stem + std::to_string(platform::process_id());
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// True when another process opens `path` through the file layer within `ms`
// (the child body "open_file" of file_open_test.cc).
bool child_opens_within(const std::string& path, int ms) {
  testsupport::Interactive child(testsupport::self_path(),
                                 testsupport::child_args("open_file", {path, "0"}), {});
  return child.read_until("opened\n", ms);
}

// The fault this mends: a reset typed "BIG.STORE" ran beside a service that
// wrote "big.store", each holding a lock of its own.
TEST(LockBySpelling, EverySpellingOfOneFileWaitsForTheOther) {
  testsupport::ScratchHome home;
  const std::string ext = own_extension("store");
  testsupport::write_file(home.file("big." + ext), "s");
  const std::string small = home.file("big." + ext);
  const std::string big = home.file("BIG." + upper(ext));
  for (const auto& [mine, theirs] : {std::pair{big, small}, std::pair{small, big}}) {
    VARNO_STATUS s;
    const int32_t fd = varno_s_file_open(mine.c_str(), kOpenReadWrite, &s);
    ASSERT_GE(fd, 0) << mine;
    EXPECT_FALSE(child_opens_within(theirs, 1000)) << theirs << " opened while " << mine << " held";
    varno_s_file_close(fd, &s);
    EXPECT_TRUE(child_opens_within(theirs, 10000)) << theirs;
  }
}

}  // namespace
