#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScratchHome;

using testsupport::pairs_of;
using Pairs = testsupport::Pairs;

// A block holding an old pair, to show that every primitive clears it.
VARNO_STATUS dirty_block() {
  VARNO_STATUS s;
  VARNO_SERVER_INITBLK(&s);
  VARNO_SERVER_LDBLK(13, 99999, &s);
  return s;
}

struct IoRestore {
  ~IoRestore() { platform::restore_system_calls(); }
};

class FileIo : public ::testing::Test {
 protected:
  int32_t open_store(const std::string& content, int32_t flags = kOpenReadWrite) {
    testsupport::write_file(home.file("store.DAT"), content);
    VARNO_STATUS s;
    int32_t fd = varno_s_file_open(home.file("store.DAT").c_str(), flags, &s);
    EXPECT_GE(fd, 0);
    return fd;
  }
  void TearDown() override {
    VARNO_STATUS s;
    for (int32_t fd : opened) varno_s_file_close(fd, &s);
  }
  ScratchHome home;
  std::vector<int32_t> opened;
  IoRestore restore;
};

TEST_F(FileIo, FailureRowsRecordTheirPairs) {
  VARNO_STATUS s = dirty_block();
  char buf[8];
  EXPECT_EQ(varno_s_file_seek_end(-1, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EBADF}, {13, 13154}}));
  EXPECT_EQ(varno_s_file_seek(-1, 0, kSeekSet, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EBADF}, {13, 13159}}));
  EXPECT_EQ(varno_s_file_read(-1, buf, 8, &s), 0);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13180}}));
  EXPECT_EQ(varno_s_file_write(-1, buf, 8, &s), 0);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13200}}));

  int32_t fd = open_store("0123456789");
  opened.push_back(fd);
  EXPECT_EQ(varno_s_file_read(fd, nullptr, 8, &s), 0);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13181}}));
  EXPECT_EQ(varno_s_file_write(fd, nullptr, 8, &s), 0);
  EXPECT_EQ(pairs_of(s), (Pairs{{13, 13201}}));
  // A negative resulting position fails, from the start and from the current position.
  EXPECT_EQ(varno_s_file_seek(fd, -5, kSeekSet, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EINVAL}, {13, 13159}}));
  ASSERT_EQ(varno_s_file_seek(fd, 3, kSeekSet, &s), 3);
  EXPECT_EQ(varno_s_file_seek(fd, -4, kSeekCur, &s), -1);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EINVAL}, {13, 13159}}));
  EXPECT_EQ(varno_s_file_seek(fd, 2, kSeekCur, &s), 5);
  EXPECT_EQ(varno_s_file_read(fd, buf, 2, &s), 2);
  EXPECT_EQ(std::string(buf, 2), "56");
}

TEST_F(FileIo, EndOfFileRecordsErrnoZeroAndReturnsWhatWasRead) {
  int32_t fd = open_store(std::string(100, 'r'));
  opened.push_back(fd);
  VARNO_STATUS s = dirty_block();
  std::vector<char> buf(304);
  ASSERT_EQ(varno_s_file_seek(fd, 0, kSeekSet, &s), 0);
  errno = EINTR;  // a stale value must not show up in the block
  EXPECT_EQ(varno_s_file_read(fd, buf.data(), 304, &s), 100);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, 0}, {13, 13182}}));
}

TEST_F(FileIo, WriteOnReadOnlyHandleFails) {
  int32_t fd = open_store("abc", kOpenReadOnly);
  opened.push_back(fd);
  VARNO_STATUS s;
  EXPECT_EQ(varno_s_file_write(fd, "xyz", 3, &s), 0);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EBADF}, {13, 13202}}));
}

TEST_F(FileIo, CountZeroAndNullBlockDoNothing) {
  int32_t fd = open_store("abc");
  opened.push_back(fd);
  VARNO_STATUS s = dirty_block();
  char buf[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(varno_s_file_read(fd, buf, 0, &s), 0);
  EXPECT_TRUE(pairs_of(s).empty());
  s = dirty_block();
  EXPECT_EQ(varno_s_file_write(fd, buf, 0, &s), 0);
  EXPECT_TRUE(pairs_of(s).empty());
  EXPECT_EQ(varno_s_file_read(fd, buf, 3, nullptr), 0);
  EXPECT_EQ(varno_s_file_write(fd, "zzz", 3, nullptr), 0);
  EXPECT_EQ(varno_s_file_seek(fd, 2, kSeekSet, nullptr), 0);
  EXPECT_EQ(varno_s_file_seek_end(fd, nullptr), 0);
  EXPECT_EQ(std::string(buf, 4), "----");
  EXPECT_EQ(testsupport::read_file(home.file("store.DAT")), "abc");
}

TEST_F(FileIo, ShortReadsAndWritesAreContinued) {
  // A pipe delivers the data in pieces.
  int p[2];
  ASSERT_TRUE(testsupport::make_pipe(p));
  std::thread writer([&] {
    for (const char* piece : {"abc", "defg", "hij"}) {
      const auto n = static_cast<uint32_t>(std::strlen(piece));
      uint32_t done = 0;
      ASSERT_TRUE(platform::write(p[1], piece, n, &done).ok());
      ASSERT_EQ(done, n);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    platform::close_file(p[1]);
  });
  VARNO_STATUS s;
  char buf[10];
  EXPECT_EQ(varno_s_file_read(p[0], buf, 10, &s), 10);
  EXPECT_TRUE(pairs_of(s).empty());
  EXPECT_EQ(std::string(buf, 10), "abcdefghij");
  writer.join();
  platform::close_file(p[0]);

  // A store file whose positioned reads and writes move a few bytes at a time.
  int32_t fd = open_store(std::string(5000, 'a') + "tail");
  opened.push_back(fd);
  platform::system_calls().pread = [](int f, void* b, uint32_t n, int64_t off) {
    return platform::default_system_calls().pread(f, b, n < 7 ? n : 7, off);
  };
  platform::system_calls().pwrite = [](int f, const void* b, uint32_t n, int64_t off) {
    return platform::default_system_calls().pwrite(f, b, n < 3 ? n : 3, off);
  };
  ASSERT_EQ(varno_s_file_seek(fd, 4990, kSeekSet, &s), 4990);
  char tail[14];
  EXPECT_EQ(varno_s_file_read(fd, tail, 14, &s), 14);
  EXPECT_EQ(std::string(tail, 14), "aaaaaaaaaatail");
  ASSERT_EQ(varno_s_file_seek(fd, 1, kSeekSet, &s), 1);
  EXPECT_EQ(varno_s_file_write(fd, "WRITTEN", 7, &s), 7);
  EXPECT_TRUE(pairs_of(s).empty());
  EXPECT_EQ(testsupport::read_file(home.file("store.DAT")).substr(0, 9), "aWRITTENa");
}

TEST_F(FileIo, ReadsSeeEarlierWritesThroughTheSameHandle) {
  int32_t fd = open_store(std::string(200, '.'));
  opened.push_back(fd);
  VARNO_STATUS s;
  char buf[10];
  ASSERT_EQ(varno_s_file_seek(fd, 0, kSeekSet, &s), 0);
  ASSERT_EQ(varno_s_file_read(fd, buf, 10, &s), 10);
  ASSERT_EQ(varno_s_file_seek(fd, 5, kSeekSet, &s), 5);
  ASSERT_EQ(varno_s_file_write(fd, "NEW", 3, &s), 3);
  ASSERT_EQ(varno_s_file_seek(fd, 0, kSeekSet, &s), 0);
  ASSERT_EQ(varno_s_file_read(fd, buf, 10, &s), 10);
  EXPECT_EQ(std::string(buf, 10), ".....NEW..");
}

TEST_F(FileIo, OffsetsBeyondFourGibOnASparseFile) {
  int32_t fd = open_store("");
  opened.push_back(fd);
  VARNO_STATUS s;
  const int64_t far = (int64_t{5} << 30) + 12345;
  EXPECT_EQ(varno_s_file_seek_end(fd, &s), 0);  // an empty file has size 0
  EXPECT_TRUE(pairs_of(s).empty());
  ASSERT_EQ(varno_s_file_seek(fd, far, kSeekSet, &s), far);
  ASSERT_EQ(varno_s_file_write(fd, "far away", 8, &s), 8);
  EXPECT_EQ(varno_s_file_seek_end(fd, &s), far + 8);
  ASSERT_EQ(varno_s_file_seek(fd, far + 4, kSeekSet, &s), far + 4);
  char buf[4];
  ASSERT_EQ(varno_s_file_read(fd, buf, 4, &s), 4);
  EXPECT_EQ(std::string(buf, 4), "away");
  // The low 32 bits alone would point near the start of the file.
  ASSERT_EQ(varno_s_file_seek(fd, far & 0xFFFFFFFF, kSeekSet, &s), far & 0xFFFFFFFF);
  ASSERT_EQ(varno_s_file_read(fd, buf, 4, &s), 4);
  EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
}

TEST_F(FileIo, SyncFailureCountsAsAFailedWrite) {
  int32_t fd = open_store("abc");
  opened.push_back(fd);
  VARNO_STATUS s = dirty_block();
  varno_s_file_sync(fd, &s);
  EXPECT_TRUE(pairs_of(s).empty());
  platform::system_calls().sync = [](int) {
    errno = EIO;
    return -1;
  };
  varno_s_file_sync(fd, &s);
  EXPECT_EQ(pairs_of(s), (Pairs{{1, EIO}, {13, 13202}}));
}

}  // namespace
