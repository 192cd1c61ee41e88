// A header region torn by a crash on a device that does not write a sector
// atomically: its first k bytes are the new region, the rest the old one, for
// every k from 0 to the region size. With D1 the changed bytes of the primary
// copy (block and checksum, bytes 0 .. S+3) and D2 those of the backup copy
// (S+4 .. 2S+7), the header read gives, as k grows:
//
//   k <= first of D1              old region: the old header, "Header read in ok."
//   first of D1 < k <= last of D1 primary torn, fails its checksum: the old
//                                 header from the backup, "Primary block bad."
//   last of D1 < k <= first of D2 new primary and old backup each check out
//                                 but differ: "Both header blocks bad.",
//                                 (13, 13510), (13, 13512)
//   first of D2 < k <= last of D2 backup torn: the new header from the
//                                 primary, "Header backup block bad."
//   k > last of D2                new region: the new header, "Header read in ok."
//
// A torn copy is never accepted; the only failure is the window in which the
// new primary copy is complete and the backup copy not yet touched.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "fileaccess/file_access.h"
#include "tests/hardening/hardening_support.h"
#include "tests/support/test_support.h"

namespace {

using hardening::Verdict;

struct Bounds {
  uint32_t first1, last1, first2, last2;
};

// The first and last changed byte of each copy. False when a copy does not
// change (the two regions then hold the same record).
bool changed_bytes(const std::string& old_region, const std::string& new_region, uint32_t block,
                   Bounds* b) {
  bool any1 = false, any2 = false;
  for (uint32_t i = 0; i < old_region.size(); ++i) {
    if (old_region[i] == new_region[i]) continue;
    if (i < block + 4) {
      if (!any1) b->first1 = i;
      b->last1 = i;
      any1 = true;
    } else {
      if (!any2) b->first2 = i;
      b->last2 = i;
      any2 = true;
    }
  }
  return any1 && any2;
}

struct Outcome {
  Verdict verdict;
  int32_t block_status;
};

Outcome outcome_for(uint32_t k, const Bounds& b) {
  if (k <= b.first1) return {Verdict::kOld, kBlocksOk};
  if (k <= b.last1) return {Verdict::kOld, kPrimaryBad};
  if (k <= b.first2) return {Verdict::kBothBad, kBothBad};
  if (k <= b.last2) return {Verdict::kNew, kBackupBad};
  return {Verdict::kNew, kBlocksOk};
}

class TornHeaderWrite : public ::testing::Test {
 protected:
  // Checks every k for the file `before` and the region `new_region` that a
  // rewrite of it wrote.
  void check_every_prefix(const std::string& label, int32_t type, const std::string& before,
                          const std::string& new_region) {
    const uint32_t size = hardening::region_size(type);
    const uint32_t block = kHeaderBlockSize[type];
    const std::string old_region = before.substr(0, size);
    ASSERT_EQ(new_region.size(), size);
    // The type is found from the revision and the backup's signature; a
    // rewrite keeps both, so every mixture is read as the same type.
    ASSERT_EQ(old_region.substr(4, 4), new_region.substr(4, 4));
    ASSERT_EQ(old_region.substr(block + 4, 4), new_region.substr(block + 4, 4));
    Bounds b{};
    ASSERT_TRUE(changed_bytes(old_region, new_region, block, &b));

    const std::string path = home.file("torn.t" + std::to_string(type));
    testsupport::write_file(path, new_region + before.substr(size));
    const hardening::HeaderReadBack new_header = hardening::read_back(path);
    testsupport::write_file(path, before);
    const hardening::HeaderReadBack old_header = hardening::read_back(path);
    ASSERT_TRUE(new_header.ok && old_header.ok);
    ASSERT_NE(new_header.block, old_header.block);

    int count[3] = {};
    for (uint32_t k = 0; k <= size; ++k) {
      SCOPED_TRACE(label + ", k " + std::to_string(k));
      testsupport::write_file(path,
                              new_region.substr(0, k) + old_region.substr(k) + before.substr(size));
      const hardening::HeaderReadBack back = hardening::read_back(path);
      const Outcome expected = outcome_for(k, b);
      ++count[static_cast<int>(expected.verdict)];
      EXPECT_EQ(back.type, type);
      EXPECT_EQ(back.check.block_status, expected.block_status);
      switch (expected.verdict) {
        case Verdict::kOld:
          EXPECT_TRUE(back.ok);
          EXPECT_EQ(back.block, old_header.block);
          break;
        case Verdict::kNew:
          EXPECT_TRUE(back.ok);
          EXPECT_EQ(back.block, new_header.block);
          break;
        case Verdict::kBothBad:
          EXPECT_EQ(back.pairs, (hardening::Pairs{{13, 13510}, {13, 13512}}));
          break;
      }
      // The shared model of the reset tests agrees.
      const hardening::Expected model = hardening::expected_read(
          hardening::copy_state(new_region.substr(0, k) + old_region.substr(k), old_region,
                                new_region, block, 0),
          hardening::copy_state(new_region.substr(0, k) + old_region.substr(k), old_region,
                                new_region, block, 1));
      EXPECT_EQ(model.verdict, expected.verdict);
      EXPECT_EQ(model.block_status, expected.block_status);
    }
    // The window of refusal is exactly the bytes from the end of the changes
    // to the primary copy to the first change to the backup copy.
    EXPECT_EQ(count[static_cast<int>(Verdict::kBothBad)], static_cast<int>(b.first2 - b.last1));
    std::printf(
        "%s: k 0..%u old, ..%u old (primary bad), ..%u both bad, ..%u new (backup bad), "
        "..%u new\n",
        label.c_str(), b.first1, b.last1, b.first2, b.last2, size);
  }

  testsupport::ScratchHome home;
};

// The tear of the reset's own rewrite: the forward offset and the forwarded
// count change.
TEST_F(TornHeaderWrite, ResetRegionTornAtEveryByte) {
  for (int32_t type : {2, 1, 0}) {
    const std::string path = home.file("reset.t" + std::to_string(type));
    const std::string before = hardening::storegen(
        home.home(), path, {"--type", std::to_string(type), "--messages", "4", "--forwarded", "3"});
    ASSERT_FALSE(before.empty());
    const hardening::CommandRun run = hardening::run_command(
        reset_forward_pointer, home.file("answers"), "y\n" + path + "\nS\n", {});
    ASSERT_NE(run.screen.find("The Forward offset has been changed to the Oldest"),
              std::string::npos)
        << run.screen;
    const std::string after = testsupport::read_file(path);
    check_every_prefix("reset, type " + std::to_string(type), type, before,
                       after.substr(0, hardening::region_size(type)));
  }
}

// A rewrite that changes almost every field, so the changed bytes start near
// the front of each block.
TEST_F(TornHeaderWrite, WideRewriteTornAtEveryByte) {
  for (int32_t type : {2, 1, 0}) {
    const std::string path = home.file("wide.t" + std::to_string(type));
    const std::string before =
        hardening::storegen(home.home(), path, {"--type", std::to_string(type), "--messages", "4"});
    ASSERT_FALSE(before.empty());
    VARNO_STATUS status;
    const int32_t fd = varno_s_file_open(path.c_str(), kOpenReadWrite, &status);
    ASSERT_GE(fd, 0);
    CommonHeader header{};
    HeaderCheck check;
    check_store_header(fd, &header, &check, &status);
    ASSERT_FALSE(varno_failed(status));
    header.oldest_time.word ^= 0x01010101;
    header.oldest_time.seconds += 3600;
    header.oldest_offset += 412;
    header.newest_time.seconds += 7200;
    header.newest_offset += 412;
    header.message_count += 5;
    header.forwarded_count += 1;
    header.current_offset += 412;
    header.last_offset += 412;
    header.forward_offset += 824;
    header.last_message_size += 16;
    header.opaque1 ^= 0xFFFFFFFF;
    header.opaque2 ^= 0xFFFFFFFF;
    rewrite_store_header(fd, header, &status);
    ASSERT_FALSE(varno_failed(status));
    varno_s_file_close(fd, &status);
    const std::string after = testsupport::read_file(path);
    testsupport::write_file(path, before);
    check_every_prefix("wide rewrite, type " + std::to_string(type), type, before,
                       after.substr(0, hardening::region_size(type)));
  }
}

}  // namespace
