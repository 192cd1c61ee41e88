#include "storeformat/store_header.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fileaccess/file_access.h"
#include "storeformat/checksum.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::checksum_of;
using testsupport::get32;
using testsupport::Pairs;
using testsupport::pairs_of;
using testsupport::put32;
using testsupport::put64;

void increment_byte(std::string& b, size_t at) {
  b[at] = static_cast<char>(b[at] + 1);
}
// Stores the right checksum behind the block that starts at `at`.
void fix_checksum(std::string& b, size_t at, uint32_t block_size) {
  put32(b, at + block_size, checksum_of(b, at, block_size));
}
const unsigned char* bytes(const std::string& b) {
  return reinterpret_cast<const unsigned char*>(b.data());
}

// Distinct values for every field, so that a field read from the wrong place
// shows. The 64-bit ones need more than 32 bits where the layout allows it.
constexpr uint32_t kWord1 = 0x11223344, kWord2 = 0x55667788;
constexpr int32_t kSeconds1 = 1700000000, kSeconds2 = -5;
constexpr uint32_t kCount = 7, kForwarded = 3, kOpaque1 = 0xAABBCCDD, kOpaque2 = 0x01020304;

std::string type2_block(uint32_t revision) {
  std::string b(92, '\0');
  put32(b, 0, kStoreSignature);
  put32(b, 4, revision);
  put32(b, 8, kWord1);
  put32(b, 12, static_cast<uint32_t>(kSeconds1));
  put64(b, 16, 0x100000200ull);
  put32(b, 24, kWord2);
  put32(b, 28, static_cast<uint32_t>(kSeconds2));
  put64(b, 32, 0x300);
  put32(b, 40, kCount);
  put32(b, 44, kForwarded);
  put64(b, 48, 0x400);
  put64(b, 56, 0x500);
  put64(b, 64, 0x200000600ull);
  put64(b, 72, 384);
  put32(b, 80, 1);
  put32(b, 84, kOpaque1);
  put32(b, 88, kOpaque2);
  return b;
}

// Type-1 block: the offsets and the size in 32 bits.
std::string type1_block(uint32_t revision, uint32_t last, uint32_t forward) {
  std::string b(68, '\0');
  put32(b, 0, kStoreSignature);
  put32(b, 4, revision);
  put32(b, 8, kWord1);
  put32(b, 12, static_cast<uint32_t>(kSeconds1));
  put32(b, 16, 0x200);
  put32(b, 20, kWord2);
  put32(b, 24, static_cast<uint32_t>(kSeconds2));
  put32(b, 28, 0x300);
  put32(b, 32, kCount);
  put32(b, 36, kForwarded);
  put32(b, 40, 0x400);
  put32(b, 44, last);
  put32(b, 48, forward);
  put32(b, 52, 384);
  put32(b, 56, 1);
  put32(b, 60, kOpaque1);
  put32(b, 64, kOpaque2);
  return b;
}

// Type-0 block: the type-1 block without the flag.
std::string type0_block(uint32_t revision, uint32_t last, uint32_t forward) {
  std::string t1 = type1_block(revision, last, forward);
  return t1.substr(0, 56) + t1.substr(60, 8);
}

// block, checksum, block, checksum.
std::string region_of(const std::string& block) {
  std::string r = block + std::string(4, '\0') + block + std::string(4, '\0');
  const auto s = static_cast<uint32_t>(block.size());
  fix_checksum(r, 0, s);
  fix_checksum(r, s + 4, s);
  return r;
}

// Bytes that follow the region in a file, free of signature words.
std::string data_area(size_t n) {
  return std::string(n, '\x5C');
}

// What a check saw, in one comparable value: stage, bytes read, revision,
// type, block size, block status, block chosen.
struct Seen {
  int stage;
  uint32_t length;
  uint32_t revision;
  int32_t type;
  uint32_t block_size;
  int32_t block_status;
  int32_t chosen;
  bool operator==(const Seen&) const = default;
};
void PrintTo(const Seen& s, std::ostream* os) {
  *os << "{stage " << s.stage << ", length " << s.length << ", revision " << s.revision << ", type "
      << s.type << ", block " << s.block_size << ", status " << s.block_status << ", chosen "
      << s.chosen << "}";
}
Seen seen(const HeaderCheck& c) {
  return {c.stage, c.length, c.revision, c.type, c.block_size, c.block_status, c.chosen};
}
constexpr int kNotRead = HeaderCheck::kNotRead;
constexpr int kTyped = HeaderCheck::kTyped;
constexpr int kChecked = HeaderCheck::kChecked;

class StoreHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { set_current_header_type(0); }
  void TearDown() override {
    if (fd_ >= 0) {
      VARNO_STATUS st;
      varno_s_file_close(fd_, &st);
    }
  }

  // Writes `content` as the store file and opens it with `flags`.
  int32_t open_store(const std::string& content, int32_t flags = kOpenReadWrite) {
    path_ = home_.file("store.snf");
    testsupport::write_file(path_, content);
    VARNO_STATUS st;
    fd_ = varno_s_file_open(path_.c_str(), flags, &st);
    EXPECT_GE(fd_, 0) << "open failed";
    return fd_;
  }

  // check_store_header with a status block that held a pair before, and a
  // check record that held another check's findings.
  Pairs read_header(CommonHeader* header) {
    VARNO_STATUS st;
    VARNO_SERVER_INITBLK(&st);
    VARNO_SERVER_LDBLK(99, 99, &st);
    check_.stage = HeaderCheck::kChecked;
    check_.block_status = kBothBad;
    check_store_header(fd_, header, &check_, &st);
    return pairs_of(st);
  }

  Pairs read_fixed(CommonHeader* header) {
    VARNO_STATUS st;
    VARNO_SERVER_INITBLK(&st);
    VARNO_SERVER_LDBLK(99, 99, &st);
    read_fixed_header(fd_, header, &st);
    return pairs_of(st);
  }

  testsupport::ScratchHome home_;
  std::string path_;
  int32_t fd_ = -1;
  HeaderCheck check_;
};

// The record in its encoded form: compares every field and no padding.
std::string encoded(const CommonHeader& r) {
  std::string out(92, '\0');
  encode_common_header(r, reinterpret_cast<unsigned char*>(out.data()));
  return out;
}

CommonHeader garbage_record() {
  CommonHeader r;
  std::memset(&r, 0xAB, sizeof r);
  return r;
}

void expect_common_fields(const CommonHeader& r) {
  EXPECT_EQ(r.signature, kStoreSignature);
  EXPECT_EQ(r.oldest_time.word, kWord1);
  EXPECT_EQ(r.oldest_time.seconds, kSeconds1);
  EXPECT_EQ(r.newest_time.word, kWord2);
  EXPECT_EQ(r.newest_time.seconds, kSeconds2);
  EXPECT_EQ(r.newest_offset, 0x300);
  EXPECT_EQ(r.message_count, kCount);
  EXPECT_EQ(r.forwarded_count, kForwarded);
  EXPECT_EQ(r.current_offset, 0x400);
  EXPECT_EQ(r.last_message_size, 384);
  EXPECT_EQ(r.opaque1, kOpaque1);
  EXPECT_EQ(r.opaque2, kOpaque2);
}

// ---------------------------------------------------------------------------
// Layouts

TEST_F(StoreHeaderTest, Type2WithRevision2ReadsEveryField) {
  open_store(region_of(type2_block(2)) + data_area(500));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 392, 2, 2, 92, kBlocksOk, 0}));
  EXPECT_TRUE(check_.revision_names_type());
  EXPECT_EQ(current_header_type(), 2);
  expect_common_fields(r);
  EXPECT_EQ(r.revision, 2u);
  EXPECT_EQ(r.oldest_offset, 0x100000200);
  EXPECT_EQ(r.last_offset, 0x500);
  EXPECT_EQ(r.forward_offset, 0x200000600);
  EXPECT_EQ(r.forward_past_last, 1u);
}

TEST_F(StoreHeaderTest, Type1WithRevision1IsWidened) {
  open_store(region_of(type1_block(1, 0x500, 0x600)) + data_area(500));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 392, 1, 1, 68, kBlocksOk, 0}));
  EXPECT_EQ(current_header_type(), 1);
  expect_common_fields(r);
  EXPECT_EQ(r.revision, 1u);
  EXPECT_EQ(r.oldest_offset, 0x200);
  EXPECT_EQ(r.last_offset, 0x500);
  EXPECT_EQ(r.forward_offset, 0x600);
  EXPECT_EQ(r.forward_past_last, 1u);
}

TEST_F(StoreHeaderTest, Type0IsFoundByItsBackupSignatureAndGetsTheFlag) {
  open_store(region_of(type0_block(0, 0x500, 0x600)) + data_area(500));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 392, 0, 0, 64, kBlocksOk, 0}));
  EXPECT_FALSE(check_.revision_names_type());
  EXPECT_EQ(current_header_type(), 0);
  expect_common_fields(r);  // the opaque words moved from 56/60
  EXPECT_EQ(r.revision, 0u);
  EXPECT_EQ(r.oldest_offset, 0x200);
  EXPECT_EQ(r.last_offset, 0x500);
  EXPECT_EQ(r.forward_offset, 0x600);
  EXPECT_EQ(r.forward_past_last, 1u);
}

TEST_F(StoreHeaderTest, Type0FlagComparesForwardAndLastAsUnsigned) {
  struct Case {
    uint32_t last, forward, flag;
  };
  for (Case c : {Case{50, 100, 1}, Case{100, 100, 0}, Case{100, 50, 0}, Case{1, 0x80000000u, 1},
                 Case{0x80000000u, 1, 0}}) {
    const std::string region = region_of(type0_block(0, c.last, c.forward));
    set_current_header_type(0);
    CommonHeader r = garbage_record();
    VARNO_STATUS st;
    VARNO_SERVER_INITBLK(&st);
    select_header_block(bytes(region), &r, nullptr, &st);
    EXPECT_EQ(pairs_of(st), Pairs{});
    EXPECT_EQ(r.forward_past_last, c.flag) << "last " << c.last << " forward " << c.forward;
    EXPECT_EQ(r.last_offset, int64_t{c.last});
    EXPECT_EQ(r.forward_offset, int64_t{c.forward});
  }
}

TEST(HeaderConversion, WideningZeroExtendsEveryOffsetAndTheSize) {
  std::string b = type1_block(1, 0, 0);
  for (size_t at : {16, 28, 40, 44, 48, 52}) put32(b, at, 0xFFFFFFFFu);
  CommonHeader r = garbage_record();
  widen_header(bytes(b), &r);
  for (int64_t v : {r.oldest_offset, r.newest_offset, r.current_offset, r.last_offset,
                    r.forward_offset, r.last_message_size}) {
    EXPECT_EQ(v, 4294967295);
  }
  EXPECT_EQ(r.message_count, kCount);
  EXPECT_EQ(r.forward_past_last, 1u);
}

TEST(HeaderConversion, NarrowingIsTheReverseOfWidening) {
  const std::string b = type1_block(1, 0xFFFFFFF0u, 0x80000001u);
  CommonHeader r = garbage_record();
  widen_header(bytes(b), &r);
  std::string back(68, '\x77');
  narrow_header(r, reinterpret_cast<unsigned char*>(back.data()));
  EXPECT_EQ(back, b);
}

TEST(HeaderConversion, EncodingIsTheType2BlockByteForByte) {
  const std::string block = type2_block(2);
  CommonHeader r = garbage_record();
  decode_common_header(bytes(block), &r);
  std::string out(92, '\x77');
  encode_common_header(r, reinterpret_cast<unsigned char*>(out.data()));
  EXPECT_EQ(out, block);
  EXPECT_EQ(r.oldest_offset, 0x100000200);
  EXPECT_EQ(r.newest_time.seconds, -5);
  EXPECT_EQ(r.opaque2, kOpaque2);
}

// ---------------------------------------------------------------------------
// Type detection

TEST_F(StoreHeaderTest, DetectionByRevisionOverridesTheSignatures) {
  // A sound type-2 region whose primary claims revision 1 is typed 1.
  const std::string region = region_of(type2_block(1));
  EXPECT_EQ(detect_header_type(bytes(region), region.size()), 1);
  const std::string region2 = region_of(type1_block(2, 5, 6));
  EXPECT_EQ(detect_header_type(bytes(region2), region2.size()), 2);
}

TEST_F(StoreHeaderTest, RevisionZeroOrAboveTwoIsTypedByBackupSignature) {
  for (uint32_t revision : {0u, 3u, 0xFFFFFFFFu}) {
    open_store(region_of(type2_block(revision)) + data_area(300));
    CommonHeader r = garbage_record();
    EXPECT_EQ(read_header(&r), Pairs{}) << revision;
    EXPECT_EQ(seen(check_), (Seen{kChecked, 392, revision, 2, 92, kBlocksOk, 0}));
    EXPECT_FALSE(check_.revision_names_type());
    EXPECT_EQ(r.revision, revision);
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }
}

TEST_F(StoreHeaderTest, Type2SignatureMatchWinsOverTheOthers) {
  // Words at 68 and 72 also hold the signature (the high half of the forward
  // offset and the low half of the last message size of a type-2 block).
  std::string block = type2_block(0);
  put32(block, 68, kStoreSignature);
  put32(block, 72, kStoreSignature);
  const std::string region = region_of(block);
  ASSERT_EQ(get32(region, 68), kStoreSignature);
  ASSERT_EQ(get32(region, 72), kStoreSignature);
  EXPECT_EQ(detect_header_type(bytes(region), region.size()), 2);
  // Without the type-2 word the later of the two others wins.
  std::string no2 = region;
  put32(no2, 96, 0);
  EXPECT_EQ(detect_header_type(bytes(no2), no2.size()), 1);
}

TEST_F(StoreHeaderTest, DetectionSeesOnlyTheBytesGiven) {
  const std::string region = region_of(type2_block(0));
  EXPECT_EQ(detect_header_type(bytes(region), 100), 2);
  EXPECT_EQ(detect_header_type(bytes(region), 99), -1);
  // A revision word cut off is not read either.
  const std::string rev = region_of(type1_block(1, 0, 0));
  EXPECT_EQ(detect_header_type(bytes(rev), 7), -1);
  EXPECT_EQ(detect_header_type(bytes(rev), 8), 1);
}

// ---------------------------------------------------------------------------
// Block status

struct Damaged {
  std::string region;
  int32_t status;
  bool crc1_ok, crc2_ok;  // each copy's stored checksum is the computed one
};

// The four block states of a type-2 region.
std::vector<Damaged> damaged_regions() {
  std::vector<Damaged> out;
  const std::string sound = region_of(type2_block(2));
  out.push_back({sound, kBlocksOk, true, true});
  std::string primary = sound;
  increment_byte(primary, 40);  // message count 7 -> 8 in the primary only
  out.push_back({primary, kPrimaryBad, false, true});
  std::string backup = sound;
  increment_byte(backup, 96 + 40);
  out.push_back({backup, kBackupBad, true, false});
  std::string both = sound;
  increment_byte(both, 40);
  increment_byte(both, 96 + 44);
  out.push_back({both, kBothBad, false, false});
  // Both checksums right, blocks different.
  std::string differ = sound;
  increment_byte(differ, 96 + 40);
  fix_checksum(differ, 96, 92);
  out.push_back({differ, kBothBad, true, true});
  return out;
}

TEST(HeaderBlocks, EachStatusWithTheChecksumsComputedAndStored) {
  for (const Damaged& d : damaged_regions()) {
    HeaderCheck c;
    EXPECT_EQ(check_header_blocks(bytes(d.region), 92, &c), d.status);
    EXPECT_EQ(c.block_status, d.status);
    EXPECT_EQ(c.block_size, 92u);
    EXPECT_EQ(c.stored[0], get32(d.region, 92));
    EXPECT_EQ(c.stored[1], get32(d.region, 188));
    EXPECT_EQ(c.computed[0] == c.stored[0], d.crc1_ok);
    EXPECT_EQ(c.computed[1] == c.stored[1], d.crc2_ok);
    EXPECT_EQ(check_header_blocks(bytes(d.region), 92, nullptr), d.status);
  }
}

TEST_F(StoreHeaderTest, PrimaryBadUsesTheBackupAndSucceeds) {
  const Damaged d = damaged_regions()[1];
  open_store(d.region + data_area(400));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 392, 2, 2, 92, kPrimaryBad, 1}));
  EXPECT_EQ(r.message_count, kCount);  // the damaged primary says 8
}

TEST_F(StoreHeaderTest, BackupBadUsesThePrimaryAndSucceeds) {
  std::string region = region_of(type2_block(2));
  put32(region, 96 + 40, 99);  // backup count differs, backup checksum now wrong
  open_store(region + data_area(400));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 392, 2, 2, 92, kBackupBad, 0}));
  EXPECT_EQ(r.message_count, kCount);
}

TEST_F(StoreHeaderTest, BothBadFillsFromThePrimaryAndFails) {
  for (size_t which : {3u, 4u}) {
    const Damaged d = damaged_regions()[which];
    open_store(d.region + data_area(400));
    CommonHeader r = garbage_record();
    EXPECT_EQ(read_header(&r), (Pairs{{13, 13510}, {13, 13512}}));
    EXPECT_EQ(seen(check_), (Seen{kChecked, 392, 2, 2, 92, kBothBad, 0}));
    EXPECT_EQ(r.message_count, get32(d.region, 40));
    EXPECT_EQ(current_header_type(), 2);
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }
}

TEST_F(StoreHeaderTest, ReadFixedHeaderChoosesSilently) {
  const auto regions = damaged_regions();
  const uint32_t expected_count[] = {kCount, kCount, kCount};
  for (size_t i = 0; i < 3; ++i) {
    open_store(regions[i].region + data_area(10));
    CommonHeader r = garbage_record();
    EXPECT_EQ(read_fixed(&r), Pairs{}) << i;
    EXPECT_EQ(r.message_count, expected_count[i]) << i;
    EXPECT_EQ(r.forward_offset, 0x200000600);
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }
  for (size_t i : {3u, 4u}) {
    open_store(regions[i].region);
    CommonHeader r = garbage_record();
    const CommonHeader before = r;
    EXPECT_EQ(read_fixed(&r), (Pairs{{13, 13510}})) << i;
    EXPECT_EQ(encoded(r), encoded(before)) << "record changed";
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }
}

TEST_F(StoreHeaderTest, SelectAddsToTheStatusWithoutClearingIt) {
  const std::string region = region_of(type2_block(2));
  set_current_header_type(2);
  VARNO_STATUS st;
  VARNO_SERVER_INITBLK(&st);
  VARNO_SERVER_LDBLK(7, 77, &st);
  CommonHeader r = garbage_record();
  select_header_block(bytes(region), &r, nullptr, &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{7, 77}}));
  EXPECT_EQ(r.message_count, kCount);
}

// ---------------------------------------------------------------------------
// Zero regions and short files

TEST_F(StoreHeaderTest, AllZeroRegion) {
  open_store(std::string(1000, '\0'));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), (Pairs{{13, 13512}}));
  EXPECT_EQ(seen(check_), (Seen{kTyped, 392, 0, -1, 0, -1, -1}));
  EXPECT_EQ(current_header_type(), -1);

  r = garbage_record();
  EXPECT_EQ(read_fixed(&r), Pairs{});
  EXPECT_EQ(encoded(r), std::string(92, '\0'));
  EXPECT_EQ(current_header_type(), -1) << "the fixed read must not set the type";
}

TEST_F(StoreHeaderTest, FileOfExactlyTheRegionIsRead) {
  // A store file without message data: 192 bytes for type 2, 136 for type 0.
  open_store(region_of(type2_block(2)));
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 192, 2, 2, 92, kBlocksOk, 0}));
  EXPECT_EQ(r.message_count, kCount);
  VARNO_STATUS st;
  varno_s_file_close(fd_, &st);

  open_store(region_of(type0_block(0, 1, 2)));
  r = garbage_record();
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(seen(check_), (Seen{kChecked, 136, 0, 0, 64, kBlocksOk, 0}));
  EXPECT_EQ(r.forward_past_last, 1u);
}

TEST_F(StoreHeaderTest, FileShorterThanTheRegionFails) {
  const std::string region = region_of(type2_block(2));
  open_store(region.substr(0, 191));
  CommonHeader r = garbage_record();
  const CommonHeader before = r;
  EXPECT_EQ(read_header(&r), (Pairs{{1, 0}, {13, 13182}, {13, 13512}}));
  EXPECT_EQ(seen(check_), (Seen{kTyped, 191, 2, 2, 92, -1, -1}));
  EXPECT_EQ(current_header_type(), 2);
  EXPECT_EQ(encoded(r), encoded(before));

  EXPECT_EQ(read_fixed(&r), (Pairs{{1, 0}, {13, 13182}, {13, 13512}}));
  EXPECT_EQ(encoded(r), encoded(before));
}

TEST_F(StoreHeaderTest, FileTooShortForDetectionKeepsTheEndOfFilePairs) {
  for (size_t size : {0u, 50u, 99u}) {
    open_store(std::string(size, '\0'));
    CommonHeader r = garbage_record();
    EXPECT_EQ(read_header(&r), (Pairs{{1, 0}, {13, 13182}, {13, 13512}})) << size;
    EXPECT_EQ(seen(check_), (Seen{kTyped, static_cast<uint32_t>(size), 0, -1, 0, -1, -1}));
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }
}

TEST_F(StoreHeaderTest, FixedReadChecksAnOlderTypeAsType2) {
  open_store(region_of(type1_block(1, 5, 6)) + data_area(300));
  set_current_header_type(0);
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_fixed(&r), (Pairs{{13, 13510}}));
  EXPECT_EQ(current_header_type(), 0);
  // The multi-type read knows it.
  EXPECT_EQ(read_header(&r), Pairs{});
  EXPECT_EQ(current_header_type(), 1);
}

// ---------------------------------------------------------------------------
// Failures of the primitives

TEST_F(StoreHeaderTest, SeekFailureOnANegativeHandle) {
  set_current_header_type(2);
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), (Pairs{{1, EBADF}, {13, 13159}, {13, 13511}}));
  EXPECT_EQ(seen(check_), (Seen{kNotRead, 0, 0, -1, 0, -1, -1}));
  EXPECT_EQ(read_fixed(&r), (Pairs{{1, EBADF}, {13, 13159}, {13, 13511}}));
  EXPECT_EQ(current_header_type(), 2) << "no detection ran";
}

TEST_F(StoreHeaderTest, ReadErrorIsNotTakenForAShortFile) {
  // A write-only handle fails the read itself, not at the end of the file.
  open_store(region_of(type2_block(2)) + data_area(400), kOpenWriteOnly);
  set_current_header_type(1);
  CommonHeader r = garbage_record();
  EXPECT_EQ(read_header(&r), (Pairs{{1, EBADF}, {13, 13182}, {13, 13512}}));
  EXPECT_EQ(seen(check_), (Seen{kNotRead, 0, 0, -1, 0, -1, -1}));
  EXPECT_EQ(current_header_type(), 1);
  EXPECT_EQ(read_fixed(&r), (Pairs{{1, EBADF}, {13, 13182}, {13, 13512}}));
}

}  // namespace
