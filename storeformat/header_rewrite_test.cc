#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "storeformat/checksum.h"
#include "storeformat/store_header.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::checksum_of;
using testsupport::get32;
using testsupport::get64;
using testsupport::Pairs;
using testsupport::pairs_of;
using testsupport::put32;
using testsupport::put64;

void fix_checksum(std::string& b, size_t at, uint32_t block_size) {
  put32(b, at + block_size, checksum_of(b, at, block_size));
}

constexpr uint32_t kOpaque1 = 0xAABBCCDD, kOpaque2 = 0x01020304;

// Blocks of each layout with the forward offset 0x600 and the last offset
// 0x500; type 2 and type 1 carry the flag 1.
std::string block_of(int32_t type, uint32_t revision) {
  if (type == 2) {
    std::string b(92, '\0');
    put32(b, 0, kStoreSignature);
    put32(b, 4, revision);
    put32(b, 12, 1700000000);
    put64(b, 16, 0x200);
    put64(b, 32, 0x300);
    put32(b, 40, 7);
    put32(b, 44, 3);
    put64(b, 48, 0x400);
    put64(b, 56, 0x500);
    put64(b, 64, 0x600);
    put64(b, 72, 384);
    put32(b, 80, 1);
    put32(b, 84, kOpaque1);
    put32(b, 88, kOpaque2);
    return b;
  }
  std::string b(68, '\0');
  put32(b, 0, kStoreSignature);
  put32(b, 4, revision);
  put32(b, 12, 1700000000);
  put32(b, 16, 0x200);
  put32(b, 28, 0x300);
  put32(b, 32, 7);
  put32(b, 36, 3);
  put32(b, 40, 0x400);
  put32(b, 44, 0x500);
  put32(b, 48, 0x600);
  put32(b, 52, 384);
  put32(b, 56, 1);
  put32(b, 60, kOpaque1);
  put32(b, 64, kOpaque2);
  if (type == 1) return b;
  return b.substr(0, 56) + b.substr(60, 8);
}

std::string region_of(const std::string& block) {
  std::string r = block + std::string(4, '\0') + block + std::string(4, '\0');
  const auto s = static_cast<uint32_t>(block.size());
  fix_checksum(r, 0, s);
  fix_checksum(r, s + 4, s);
  return r;
}

// What follows the region in the file; a pattern that a stray write shows up in.
std::string trailer() {
  std::string t;
  for (int i = 0; i < 300; ++i) t.push_back(static_cast<char>(0x30 + i % 40));
  return t;
}

// Calls seen through the platform's I/O table.
std::vector<std::string> g_calls;
int g_sync_errno = 0;

int64_t logging_pwrite(int fd, const void* buffer, uint32_t count, int64_t offset) {
  g_calls.push_back("pwrite " + std::to_string(count) + "@" + std::to_string(offset));
  return platform::default_io().pwrite(fd, buffer, count, offset);
}
int64_t logging_write(int fd, const void* buffer, uint32_t count) {
  g_calls.push_back("write " + std::to_string(count));
  return platform::default_io().write(fd, buffer, count);
}
int logging_sync(int fd) {
  g_calls.push_back("sync");
  if (g_sync_errno != 0) {
    errno = g_sync_errno;
    return -1;
  }
  return platform::default_io().sync(fd);
}

class HeaderRewriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_io_ = platform::io();
    platform::io().pwrite = logging_pwrite;
    platform::io().write = logging_write;
    platform::io().sync = logging_sync;
    g_calls.clear();
    g_sync_errno = 0;
    path_ = home_.file("store.snf");
  }
  void TearDown() override {
    close();
    platform::io() = saved_io_;
  }

  void open_store(const std::string& content, int32_t flags = kOpenReadWrite) {
    close();
    testsupport::write_file(path_, content);
    VARNO_STATUS st;
    fd_ = varno_s_file_open(path_.c_str(), flags, &st);
    ASSERT_GE(fd_, 0);
  }
  void close() {
    if (fd_ < 0) return;
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }

  // check_store_header, expecting success; what it saw is kept in check_.
  CommonHeader read_ok() {
    CommonHeader r{};
    VARNO_STATUS st;
    check_store_header(fd_, &r, &check_, &st);
    EXPECT_EQ(pairs_of(st), Pairs{});
    return r;
  }

  Pairs rewrite(const CommonHeader& r) {
    VARNO_STATUS st;
    VARNO_SERVER_INITBLK(&st);
    VARNO_SERVER_LDBLK(99, 99, &st);
    g_calls.clear();
    rewrite_store_header(fd_, r, &st);
    return pairs_of(st);
  }

  std::string on_disk() const { return testsupport::read_file(path_); }

  testsupport::ScratchHome home_;
  platform::IoCalls saved_io_{};
  std::string path_;
  int32_t fd_ = -1;
  HeaderCheck check_;
};

// Both blocks equal, both checksums right, for block size S.
void expect_sound_region(const std::string& file, uint32_t s) {
  EXPECT_EQ(file.substr(0, s), file.substr(s + 4, s)) << "blocks differ";
  EXPECT_EQ(get32(file, s), checksum_of(file, 0, s));
  EXPECT_EQ(get32(file, 2 * s + 4), checksum_of(file, s + 4, s));
}

// ---------------------------------------------------------------------------
// Each layout

TEST_F(HeaderRewriteTest, EachTypeIsWrittenBackInItsOwnLayout) {
  struct Case {
    int32_t type;
    uint32_t block;
    size_t forward_at;  // where the block keeps the forward offset
  };
  for (Case c : {Case{2, 92, 64}, Case{1, 68, 48}, Case{0, 64, 48}}) {
    SCOPED_TRACE("type " + std::to_string(c.type));
    const std::string before = region_of(block_of(c.type, c.type == 0 ? 0 : c.type)) + trailer();
    open_store(before);
    CommonHeader r = read_ok();
    ASSERT_EQ(current_header_type(), c.type);
    r.forward_offset = 0x200;  // what the reset does
    EXPECT_EQ(rewrite(r), Pairs{});
    const uint32_t region = 2 * c.block + 8;
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"pwrite " + std::to_string(region) + "@0", "sync"}));

    const std::string after = on_disk();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(region), before.substr(region)) << "bytes after the region changed";
    expect_sound_region(after, c.block);
    EXPECT_EQ(get32(after, c.forward_at), 0x200u);
    // Everything else is as it was.
    std::string expected = before.substr(0, c.block);
    put32(expected, c.forward_at, 0x200);
    if (c.type == 2) put32(expected, c.forward_at + 4, 0);
    EXPECT_EQ(after.substr(0, c.block), expected);

    const CommonHeader again = read_ok();
    EXPECT_EQ(check_.block_status, kBlocksOk);
    EXPECT_EQ(again.forward_offset, 0x200);
    EXPECT_EQ(again.message_count, 7u);
  }
}

TEST_F(HeaderRewriteTest, Type0BlockHoldsTheOpaqueWordsAndNoFlag) {
  open_store(region_of(block_of(0, 0)) + trailer());
  CommonHeader r = read_ok();
  ASSERT_EQ(r.forward_past_last, 1u);  // derived: forward 0x600 > last 0x500
  r.forward_offset = 0x100;            // now below last: the flag would be 0
  ASSERT_EQ(rewrite(r), Pairs{});
  const std::string after = on_disk();
  EXPECT_EQ(get32(after, 56), kOpaque1);
  EXPECT_EQ(get32(after, 60), kOpaque2);
  EXPECT_EQ(get32(after, 64), checksum_of(after, 0, 64));
  EXPECT_EQ(get32(after, 68 + 56), kOpaque1);
  EXPECT_EQ(read_ok().forward_past_last, 0u);
}

TEST_F(HeaderRewriteTest, ValuesAbove32BitsKeepTheirLowBitsInOlderTypes) {
  for (int32_t type : {1, 0}) {
    open_store(region_of(block_of(type, type)) + trailer());
    CommonHeader r = read_ok();
    r.forward_offset = 0x100000123;
    r.last_message_size = 0xFFFFFFFF00000010;
    ASSERT_EQ(rewrite(r), Pairs{});
    const std::string after = on_disk();
    EXPECT_EQ(get32(after, 48), 0x123u) << type;
    EXPECT_EQ(get32(after, 52), 0x10u) << type;
    const CommonHeader again = read_ok();
    EXPECT_EQ(again.forward_offset, 0x123);
    EXPECT_EQ(again.last_message_size, 0x10);
  }
}

TEST_F(HeaderRewriteTest, Type2KeepsFull64BitValues) {
  open_store(region_of(block_of(2, 2)) + trailer());
  CommonHeader r = read_ok();
  r.forward_offset = 0x100000123;
  ASSERT_EQ(rewrite(r), Pairs{});
  EXPECT_EQ(get64(on_disk(), 64), 0x100000123u);
}

TEST_F(HeaderRewriteTest, RewriteRepairsABadPrimaryCopy) {
  std::string file = region_of(block_of(2, 2)) + trailer();
  file[40] = 9;  // primary count 7 -> 9, checksum 1 now wrong
  const std::string backup = file.substr(96, 92);
  open_store(file);
  CommonHeader r = read_ok();
  ASSERT_EQ(check_.block_status, kPrimaryBad);
  ASSERT_EQ(rewrite(r), Pairs{});
  const std::string after = on_disk();
  EXPECT_EQ(after.substr(0, 92), backup);
  expect_sound_region(after, 92);
  EXPECT_EQ(read_ok().message_count, 7u);
  EXPECT_EQ(check_.block_status, kBlocksOk);
  EXPECT_EQ(check_.type, 2);
}

TEST_F(HeaderRewriteTest, RevisionZeroIsKept) {
  open_store(region_of(block_of(2, 0)) + trailer());
  CommonHeader r = read_ok();
  ASSERT_EQ(current_header_type(), 2);
  ASSERT_EQ(rewrite(r), Pairs{});
  const std::string after = on_disk();
  EXPECT_EQ(get32(after, 4), 0u);
  EXPECT_EQ(get32(after, 96 + 4), 0u);
  read_ok();
  EXPECT_FALSE(check_.revision_names_type()) << "typed by its signature again";
  EXPECT_EQ(check_.type, 2);
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(HeaderRewriteTest, ReadOnlyHandleFailsTheWrite) {
  const std::string before = region_of(block_of(2, 2)) + trailer();
  open_store(before, kOpenReadOnly);
  CommonHeader r = read_ok();
  r.forward_offset = 0x200;
  EXPECT_EQ(rewrite(r), (Pairs{{1, EBADF}, {13, 13202}, {13, 13521}}));
  EXPECT_EQ(on_disk(), before);
}

TEST_F(HeaderRewriteTest, NegativeHandleFailsTheSeek) {
  set_current_header_type(2);
  CommonHeader r{};
  r.revision = 2;  // a record that would read back as type 2
  EXPECT_EQ(rewrite(r), (Pairs{{1, EBADF}, {13, 13159}, {13, 13520}}));
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(HeaderRewriteTest, FailedSyncCountsAsAFailedWrite) {
  open_store(region_of(block_of(2, 2)) + trailer());
  CommonHeader r = read_ok();
  g_sync_errno = EIO;
  EXPECT_EQ(rewrite(r), (Pairs{{1, EIO}, {13, 13202}, {13, 13521}}));
  // The region that may not have reached the disk is replaced by the old one.
  EXPECT_EQ(g_calls, (std::vector<std::string>{"pwrite 192@0", "sync", "pwrite 192@0", "sync"}));
}

TEST_F(HeaderRewriteTest, NoDetectedTypeWritesNothing) {
  const std::string before = std::string(400, '\0');
  open_store(before);
  CommonHeader r{};
  VARNO_STATUS st;
  check_store_header(fd_, &r, &check_, &st);
  ASSERT_EQ(current_header_type(), -1);
  EXPECT_EQ(rewrite(r), (Pairs{{13, 13521}}));
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(on_disk(), before);
}

// ---------------------------------------------------------------------------
// The silent type-2 writer

TEST_F(HeaderRewriteTest, WriteFixedHeaderWritesType2WhateverTheCurrentType) {
  const std::string before = region_of(block_of(2, 2)) + trailer();
  open_store(before);
  CommonHeader r = read_ok();
  r.forward_offset = 0x100000200;
  r.opaque1 = 0x12345678;
  set_current_header_type(0);
  VARNO_STATUS st;
  VARNO_SERVER_LDBLK(99, 99, &st);
  g_calls.clear();
  write_fixed_header(fd_, r, &st);
  EXPECT_EQ(pairs_of(st), Pairs{});
  EXPECT_EQ(g_calls, (std::vector<std::string>{"pwrite 192@0", "sync"}));
  EXPECT_EQ(current_header_type(), 0);
  const std::string after = on_disk();
  EXPECT_EQ(after.substr(192), before.substr(192));
  expect_sound_region(after, 92);
  EXPECT_EQ(get64(after, 64), 0x100000200u);
  EXPECT_EQ(get32(after, 84), 0x12345678u);

  CommonHeader back{};
  read_fixed_header(fd_, &back, &st);
  EXPECT_EQ(pairs_of(st), Pairs{});
  EXPECT_EQ(back.forward_offset, 0x100000200);
  EXPECT_EQ(back.opaque1, 0x12345678u);
}

TEST_F(HeaderRewriteTest, WriteFixedHeaderFailsSilently) {
  CommonHeader r{};
  VARNO_STATUS st;
  write_fixed_header(-1, r, &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13159}, {13, 13520}}));

  open_store(region_of(block_of(2, 2)));
  g_sync_errno = EIO;
  write_fixed_header(fd_, r, &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EIO}, {13, 13202}, {13, 13521}}));

  g_sync_errno = 0;
  open_store(region_of(block_of(2, 2)), kOpenReadOnly);
  write_fixed_header(fd_, r, &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13202}, {13, 13521}}));
}

}  // namespace

// ---------------------------------------------------------------------------
// Records the next read would type otherwise (found by fuzz_store_header)

namespace {

// A header is accepted from a sound copy that does not carry its type: the
// rewrite must not turn a readable file into one that no longer reads.
TEST_F(HeaderRewriteTest, RecordThatWouldNotReadBackIsRefused) {
  struct Case {
    const char* what;
    std::string file;
  };
  // Typed 1 by the primary revision; the primary fails its checksum and the
  // backup is all zeros, whose checksum is 0: the record is all zeros.
  std::string zero_backup = region_of(block_of(1, 1));
  zero_backup[40] ^= 1;
  zero_backup.replace(72, 72, std::string(72, '\0'));
  // Typed 0 by its backup signature; the primary fails its checksum and the
  // backup, sound, holds revision 2, which would type the rewritten file 2.
  std::string revision_two = region_of(block_of(0, 0));
  const std::string backup = block_of(0, 2);
  revision_two.replace(68, 64, backup);
  put32(revision_two, 132, checksum_of(revision_two, 68, 64));
  revision_two[40] ^= 1;
  for (const Case& c : {Case{"zero backup", zero_backup + trailer()},
                        Case{"revision 2 in a type-0 backup", revision_two + trailer()}}) {
    SCOPED_TRACE(c.what);
    open_store(c.file);
    const int32_t type = c.file[4] == 1 ? 1 : 0;
    const CommonHeader r = read_ok();
    ASSERT_EQ(current_header_type(), type);
    ASSERT_EQ(check_.block_status, kPrimaryBad);

    EXPECT_EQ(rewrite(r), (Pairs{{13, 13521}}));
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(on_disk(), c.file);
    // Still read as before.
    read_ok();
    EXPECT_EQ(current_header_type(), type);
    EXPECT_EQ(check_.block_status, kPrimaryBad);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// A region write that fails part way is undone

namespace {

// pwrite calls from g_fail_first to g_fail_last (1-based; 0: none) fail with
// EIO; the first call transfers at most g_first_limit bytes (-1: all).
int64_t g_pwrites = 0;
int64_t g_first_limit = -1;
int64_t g_fail_first = 0;
int64_t g_fail_last = 0;

int64_t faulty_pwrite(int fd, const void* buffer, uint32_t count, int64_t offset) {
  g_calls.push_back("pwrite " + std::to_string(count) + "@" + std::to_string(offset));
  ++g_pwrites;
  if (g_fail_first != 0 && g_pwrites >= g_fail_first && g_pwrites <= g_fail_last) {
    errno = EIO;
    return -1;
  }
  if (g_pwrites == 1 && g_first_limit >= 0 && count > g_first_limit) {
    count = static_cast<uint32_t>(g_first_limit);
    if (count == 0) return 0;
  }
  return platform::default_io().pwrite(fd, buffer, count, offset);
}

class HeaderRewriteUndo : public HeaderRewriteTest {
 protected:
  void SetUp() override {
    HeaderRewriteTest::SetUp();
    platform::io().pwrite = faulty_pwrite;
    plan(-1, 0, 0);
  }
  static void plan(int64_t first_limit, int64_t fail_first, int64_t fail_last) {
    g_pwrites = 0;
    g_first_limit = first_limit;
    g_fail_first = fail_first;
    g_fail_last = fail_last;
  }
  // The region a clean rewrite of `before` with the reset's two changes
  // writes, and that record.
  std::string new_region(const std::string& before, uint32_t size, CommonHeader* header) {
    open_store(before);
    *header = read_ok();
    header->forward_offset = header->oldest_offset;
    header->forwarded_count = 0;
    EXPECT_EQ(rewrite(*header), Pairs{});
    const std::string region = on_disk().substr(0, size);
    EXPECT_NE(region, before.substr(0, size));
    open_store(before);
    read_ok();
    return region;
  }
};

TEST_F(HeaderRewriteUndo, ShortWriteIsReplacedByTheOldRegion) {
  for (int32_t type : {2, 1, 0}) {
    const uint32_t size = 2 * kHeaderBlockSize[type] + 8;
    const std::string before = region_of(block_of(type, type == 0 ? 0 : type)) + trailer();
    CommonHeader r{};
    new_region(before, size, &r);
    for (uint32_t n = 0; n < size; ++n) {
      SCOPED_TRACE("type " + std::to_string(type) + ", " + std::to_string(n) + " bytes written");
      // n bytes, then the rest of the write fails; the undo goes through.
      plan(n, 2, 2);
      const Pairs pairs = rewrite(r);
      EXPECT_EQ(pairs, (Pairs{{1, n > 0 ? EIO : 0}, {13, 13202}, {13, 13521}}));
      const std::string whole = "pwrite " + std::to_string(size) + "@0";
      if (n > 0) {
        EXPECT_EQ(g_calls,
                  (std::vector<std::string>{
                      whole, "pwrite " + std::to_string(size - n) + "@" + std::to_string(n), whole,
                      "sync"}));
      } else {
        EXPECT_EQ(g_calls, std::vector<std::string>{whole}) << "nothing written, nothing undone";
      }
      EXPECT_EQ(on_disk(), before);
      // The handle reads the region as it is on disk, not as the write left
      // its read-ahead.
      const CommonHeader again = read_ok();
      EXPECT_EQ(again.forward_offset, 0x600);
      EXPECT_EQ(check_.block_status, kBlocksOk);
    }
  }
}

TEST_F(HeaderRewriteUndo, FailedUndoLeavesWhatTheWritesLeft) {
  for (int32_t type : {2, 1, 0}) {
    const uint32_t size = 2 * kHeaderBlockSize[type] + 8;
    const std::string before = region_of(block_of(type, type == 0 ? 0 : type)) + trailer();
    CommonHeader r{};
    const std::string fresh = new_region(before, size, &r);
    for (uint32_t n = 1; n < size; ++n) {
      SCOPED_TRACE("type " + std::to_string(type) + ", " + std::to_string(n) + " bytes written");
      // Every write after the first n bytes fails, the undo's included: the
      // report is the same, the region keeps its first n new bytes.
      open_store(before);
      read_ok();
      plan(n, 2, 1000);
      EXPECT_EQ(rewrite(r), (Pairs{{1, EIO}, {13, 13202}, {13, 13521}}));
      EXPECT_EQ(g_calls.size(), 3u);
      EXPECT_EQ(on_disk(), fresh.substr(0, n) + before.substr(n));
    }
    // The undo is written but cannot be flushed: the file holds the old
    // region, which is all that can be done.
    open_store(before);
    read_ok();
    plan(size / 2, 2, 2);
    g_sync_errno = EIO;
    EXPECT_EQ(rewrite(r), (Pairs{{1, EIO}, {13, 13202}, {13, 13521}}));
    g_sync_errno = 0;
    EXPECT_EQ(on_disk(), before);
  }
}

// With no old region to read back (a file that is only being given its
// header), the write goes ahead without the undo.
TEST_F(HeaderRewriteUndo, NoUndoWithoutAnOldRegion) {
  const std::string before(100, 'x');
  open_store(before);
  CommonHeader r{};
  r.signature = kStoreSignature;
  r.revision = 2;
  plan(50, 2, 1000);
  VARNO_STATUS st;
  write_fixed_header(fd_, r, &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EIO}, {13, 13202}, {13, 13521}}));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"pwrite 192@0", "pwrite 142@50"}));
  const std::string after = on_disk();
  ASSERT_EQ(after.size(), 100u);
  EXPECT_EQ(get32(after, 0), kStoreSignature);
  EXPECT_EQ(after.substr(50), before.substr(50));

  // Without faults the same write gives the file its header.
  plan(-1, 0, 0);
  write_fixed_header(fd_, r, &st);
  EXPECT_EQ(pairs_of(st), Pairs{});
  expect_sound_region(on_disk(), 92);
}

}  // namespace
