// The two header readers on arbitrary bytes as a store file, and the rewrite
// of every header the multi-type read accepts.
//
// Checked beyond the sanitizers, against the bit-by-bit checksum:
// - read_fixed_header takes the block the checksums choose, and on a failure
//   leaves the record alone;
// - check_store_header detects the type from the revision and the backup
//   signatures, reports the checksums and the verdict they give, and fails
//   with (13, 13512) last;
// - a header it accepts, with the forward pointer reset as menu 5 does it,
//   is written back by rewrite_store_header as the region the record makes,
//   touching nothing past it, and reads back with both blocks sound in the
//   same type as the same record; unless that region would be typed otherwise,
//   when the rewrite must refuse and leave the file alone.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "storeformat/checksum.h"
#include "storeformat/store_header.h"

namespace {

using fuzzsupport::has_pair;
using fuzzsupport::le32;

bool same_record(const CommonHeader& a, const CommonHeader& b) {
  unsigned char ea[kFixedBlockSize];
  unsigned char eb[kFixedBlockSize];
  encode_common_header(a, ea);
  encode_common_header(b, eb);
  return std::memcmp(ea, eb, sizeof ea) == 0;
}

// Block status of a region for block size S, by the reference checksum.
int32_t expected_status(const uint8_t* region, uint32_t s) {
  const bool ok1 = store_file_checksum_reference(region, s) == le32(region + s);
  const bool ok2 = store_file_checksum_reference(region + s + 4, s) == le32(region + 2 * s + 4);
  if (ok1 && ok2) return std::memcmp(region, region + s + 4, s) == 0 ? kBlocksOk : kBothBad;
  if (ok1) return kBackupBad;
  if (ok2) return kPrimaryBad;
  return kBothBad;
}

// The type the multi-type read must detect in the first `length` bytes.
int32_t expected_type(const uint8_t* data, size_t length) {
  if (length >= 8 && (le32(data + 4) == 1 || le32(data + 4) == 2)) {
    return static_cast<int32_t>(le32(data + 4));
  }
  int32_t type = -1;
  for (int32_t t = 0; t < 3; ++t) {
    const size_t at = kHeaderBlockSize[t] + 4;
    if (at + 4 <= length && le32(data + at) == kStoreSignature) type = t;
  }
  return type;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  FUZZ_CHECK(f != nullptr);
  uint8_t chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return bytes;
}

void check_fixed_read(int32_t fd, const uint8_t* data, size_t size) {
  CommonHeader sentinel;
  std::memset(&sentinel, 0x5C, sizeof sentinel);
  CommonHeader header = sentinel;
  const int32_t type_before = current_header_type();
  VARNO_STATUS status;
  read_fixed_header(fd, &header, &status);
  FUZZ_CHECK(current_header_type() == type_before);
  if (size < kFixedRegionSize) {
    FUZZ_CHECK(varno_failed(status) && fuzzsupport::last_error(status) == kErrHeaderRead);
    FUZZ_CHECK(same_record(header, sentinel));
    return;
  }
  CommonHeader expected;
  switch (expected_status(data, kFixedBlockSize)) {
    case kBlocksOk:
    case kBackupBad:
      FUZZ_CHECK(!varno_failed(status));
      decode_common_header(data, &expected);
      FUZZ_CHECK(same_record(header, expected));
      break;
    case kPrimaryBad:
      FUZZ_CHECK(!varno_failed(status));
      decode_common_header(data + kFixedBlockSize + 4, &expected);
      FUZZ_CHECK(same_record(header, expected));
      break;
    default:
      FUZZ_CHECK(has_pair(status, VARNO_FACILITY_STORE, kErrHeaderBlocksBad));
      FUZZ_CHECK(same_record(header, sentinel));
      break;
  }
}

// The region the rewrite must write for `header` in the layout of `type`:
// the block twice, each copy followed by its reference checksum.
std::vector<uint8_t> expected_region(const CommonHeader& header, int32_t type) {
  const uint32_t s = kHeaderBlockSize[type];
  std::vector<uint8_t> block(kFixedBlockSize);
  if (type == 2) {
    encode_common_header(header, block.data());
  } else {
    narrow_header(header, block.data());
    // The type-0 block has no flag: the opaque words move up by 4 bytes.
    if (type == 0) std::memmove(block.data() + 56, block.data() + 60, 8);
  }
  block.resize(s);
  const uint32_t crc = store_file_checksum_reference(block.data(), s);
  std::vector<uint8_t> region;
  for (int copy = 0; copy < 2; ++copy) {
    region.insert(region.end(), block.begin(), block.end());
    for (int i = 0; i < 4; ++i) region.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  }
  return region;
}

// Writes an accepted header back. A header whose revision and backup
// signatures would make the next read type it otherwise must be refused with
// the file unchanged; any other is written whole, touches nothing past its
// region, and reads back sound as the same record.
void check_rewrite(int32_t fd, const std::string& path, const CommonHeader& header, int32_t type,
                   const uint8_t* data, size_t size) {
  const std::vector<uint8_t> region = expected_region(header, type);
  const bool reads_back = expected_type(region.data(), region.size()) == type;
  VARNO_STATUS status;
  rewrite_store_header(fd, header, &status);
  const std::vector<uint8_t> after = file_bytes(path);
  FUZZ_CHECK(after.size() == size);
  if (!reads_back) {
    FUZZ_CHECK(fuzzsupport::last_error(status) == kErrHeaderWrite);
    FUZZ_CHECK(std::memcmp(after.data(), data, size) == 0);
    return;
  }
  FUZZ_CHECK(!varno_failed(status));
  FUZZ_CHECK(std::memcmp(after.data(), region.data(), region.size()) == 0);
  FUZZ_CHECK(
      std::memcmp(after.data() + region.size(), data + region.size(), size - region.size()) == 0);

  CommonHeader back{};
  HeaderCheck check;
  check_store_header(fd, &back, &check, &status);
  FUZZ_CHECK(!varno_failed(status));
  FUZZ_CHECK(check.stage == HeaderCheck::kChecked && check.block_status == kBlocksOk);
  FUZZ_CHECK(current_header_type() == type);
  // A type-0 block has no flag: the read derives it from the offsets.
  CommonHeader expected = header;
  if (type == 0) {
    expected.forward_past_last =
        static_cast<uint32_t>(header.forward_offset) > static_cast<uint32_t>(header.last_offset)
            ? 1u
            : 0u;
  }
  FUZZ_CHECK(same_record(back, expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzsupport::write_input("header.STORE", data, size);
  const int32_t fd = fuzzsupport::open_store(path);
  FUZZ_CHECK(fd >= 0);

  set_current_header_type(0);
  CommonHeader header{};
  VARNO_STATUS status;
  HeaderCheck check;
  check_store_header(fd, &header, &check, &status);
  const int32_t type = current_header_type();
  const size_t got = size < kMaxHeaderRead ? size : kMaxHeaderRead;
  FUZZ_CHECK(type == expected_type(data, got));
  FUZZ_CHECK(check.stage != HeaderCheck::kNotRead && check.type == type && check.length == got);

  bool accepted = false;
  if (type < 0 || got < 2 * kHeaderBlockSize[type] + 8) {
    FUZZ_CHECK(varno_failed(status) && fuzzsupport::last_error(status) == kErrHeaderRead);
    FUZZ_CHECK(check.stage == HeaderCheck::kTyped);
  } else {
    const uint32_t s = kHeaderBlockSize[type];
    const int32_t block_status = expected_status(data, s);
    FUZZ_CHECK(check.stage == HeaderCheck::kChecked && check.block_status == block_status);
    FUZZ_CHECK(check.block_size == s && check.stored[0] == le32(data + s) &&
               check.stored[1] == le32(data + 2 * s + 4));
    FUZZ_CHECK(check.computed[0] == store_file_checksum_reference(data, s) &&
               check.computed[1] == store_file_checksum_reference(data + s + 4, s));
    FUZZ_CHECK(check.chosen == (block_status == kPrimaryBad ? 1 : 0));
    if (block_status == kBothBad) {
      FUZZ_CHECK(has_pair(status, VARNO_FACILITY_STORE, kErrHeaderBlocksBad));
      FUZZ_CHECK(fuzzsupport::last_error(status) == kErrHeaderRead);
    } else {
      FUZZ_CHECK(!varno_failed(status));
      accepted = true;
    }
  }

  check_fixed_read(fd, data, size);
  if (accepted) {
    // What the forward pointer reset writes.
    header.forward_offset = header.oldest_offset;
    header.forwarded_count = 0;
    check_rewrite(fd, path, header, type, data, size);
  }
  fuzzsupport::close_store(fd);
  return 0;
}
