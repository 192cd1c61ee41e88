// Reading the store file header region: type detection, the check of the two
// copies, the choice of one and its conversion to the common header record.
#include "storeformat/store_header.h"
#include "storeformat/byte_order.h"

#include <cstring>

#include "fileaccess/file_access.h"
#include "storeformat/checksum.h"

namespace {

// The type-1 block layout (68 bytes).
enum : uint32_t {
  kT1Signature = 0,
  kT1Revision = 4,
  kT1OldestTime = 8,
  kT1OldestOffset = 16,
  kT1NewestTime = 20,
  kT1NewestOffset = 28,
  kT1MessageCount = 32,
  kT1ForwardedCount = 36,
  kT1CurrentOffset = 40,
  kT1LastOffset = 44,
  kT1ForwardOffset = 48,
  kT1LastMessageSize = 52,
  kT1Flag = 56,
  kT1Opaque1 = 60,
  kT1Opaque2 = 64,
};

// The type-0 block is the type-1 block up to the flag, then the opaque words.
constexpr uint32_t kT0SharedBytes = 56;
constexpr uint32_t kT0Opaque1 = 56;
constexpr uint32_t kT0Opaque2 = 60;

constexpr size_t kRevisionOffset = 4;
// Detection looks no further than the type-2 backup signature, which ends at
// byte 100.
constexpr size_t kDetectionSpan = kHeaderBlockSize[2] + 8;

// The header type found by the last check_store_header; 0 until one ran.
// Process-wide, as the rewrite's contract with the read requires.
int32_t g_current_header_type = 0;

int32_t region_size(int32_t type) {
  return static_cast<int32_t>(2 * kHeaderBlockSize[type] + 8);
}

// True when the pairs in `status` are exactly those of a read that met the end
// of the file: (1, 0), (13, 13182).
bool read_met_end_of_file(const VARNO_STATUS& status) {
  return status.facility[0] == VARNO_FACILITY_ERRNO && status.error[0] == 0 &&
         status.facility[1] == VARNO_FACILITY_STORE && status.error[1] == kErrRead &&
         status.error[2] == -1;
}

}  // namespace

void decode_common_header(const unsigned char* block, CommonHeader* header) {
  header->signature = get_u32(block + 0);
  header->revision = get_u32(block + 4);
  header->oldest_time.word = get_u32(block + 8);
  header->oldest_time.seconds = static_cast<int32_t>(get_u32(block + 12));
  header->oldest_offset = get_i64(block + 16);
  header->newest_time.word = get_u32(block + 24);
  header->newest_time.seconds = static_cast<int32_t>(get_u32(block + 28));
  header->newest_offset = get_i64(block + 32);
  header->message_count = get_u32(block + 40);
  header->forwarded_count = get_u32(block + 44);
  header->current_offset = get_i64(block + 48);
  header->last_offset = get_i64(block + 56);
  header->forward_offset = get_i64(block + 64);
  header->last_message_size = get_i64(block + 72);
  header->forward_past_last = get_u32(block + 80);
  header->opaque1 = get_u32(block + 84);
  header->opaque2 = get_u32(block + 88);
}

void encode_common_header(const CommonHeader& header, unsigned char* block) {
  put_u32(block + 0, header.signature);
  put_u32(block + 4, header.revision);
  put_u32(block + 8, header.oldest_time.word);
  put_u32(block + 12, static_cast<uint32_t>(header.oldest_time.seconds));
  put_i64(block + 16, header.oldest_offset);
  put_u32(block + 24, header.newest_time.word);
  put_u32(block + 28, static_cast<uint32_t>(header.newest_time.seconds));
  put_i64(block + 32, header.newest_offset);
  put_u32(block + 40, header.message_count);
  put_u32(block + 44, header.forwarded_count);
  put_i64(block + 48, header.current_offset);
  put_i64(block + 56, header.last_offset);
  put_i64(block + 64, header.forward_offset);
  put_i64(block + 72, header.last_message_size);
  put_u32(block + 80, header.forward_past_last);
  put_u32(block + 84, header.opaque1);
  put_u32(block + 88, header.opaque2);
}

int32_t current_header_type() {
  return g_current_header_type;
}

void set_current_header_type(int32_t type) {
  g_current_header_type = type;
}

int32_t detect_header_type(const unsigned char* region, size_t length) {
  if (length >= kRevisionOffset + 4) {
    const uint32_t revision = get_u32(region + kRevisionOffset);
    if (revision == 1 || revision == 2) return static_cast<int32_t>(revision);
  }
  // The backup block of each type starts with the signature; the last match
  // wins, so the current layout is preferred. A word that lies beyond the
  // bytes read cannot match. The primary block's signature is never tested.
  int32_t type = -1;
  for (int32_t t = 0; t < 3; ++t) {
    const size_t at = kHeaderBlockSize[t] + 4;
    if (at + 4 <= length && get_u32(region + at) == kStoreSignature) type = t;
  }
  return type;
}

int32_t check_header_blocks(const unsigned char* region, uint32_t block_size, HeaderCheck* check,
                            BlockRule rule) {
  HeaderCheck seen;
  seen.rule = rule;
  seen.block_size = block_size;
  for (int copy = 0; copy < 2; ++copy) {
    const unsigned char* block = region + copy * (block_size + 4);
    store_file_checksum(block, block_size, &seen.computed[copy]);
    seen.stored[copy] = get_u32(block + block_size);
    seen.signature[copy] = get_u32(block);
  }
  const bool primary = seen.copy_counts(0);
  const bool backup = seen.copy_counts(1);
  int32_t result = kBothBad;
  if (primary && backup) {
    // Two copies that each check out but differ: the read cannot tell which
    // one is the header, so neither is trusted.
    result = std::memcmp(region, region + block_size + 4, block_size) == 0 ? kBlocksOk : kBothBad;
  } else if (primary) {
    result = kBackupBad;
  } else if (backup) {
    result = kPrimaryBad;
  }
  if (check != nullptr) {
    check->rule = rule;
    check->block_size = block_size;
    for (int copy = 0; copy < 2; ++copy) {
      check->computed[copy] = seen.computed[copy];
      check->stored[copy] = seen.stored[copy];
      check->signature[copy] = seen.signature[copy];
    }
    check->block_status = result;
  }
  return result;
}

namespace {

// Checks the blocks of header type `type` (0 to 2), chooses one and converts
// it into *record; fills `check` when not null. Returns the block status.
int32_t select_block(const unsigned char* region, int32_t type, CommonHeader* header,
                     HeaderCheck* check, BlockRule rule) {
  const uint32_t size = kHeaderBlockSize[type];
  const int32_t block_status = check_header_blocks(region, size, check, rule);
  // Both bad: the primary fills the record all the same.
  const bool use_backup = block_status == kPrimaryBad;
  if (check != nullptr) {
    check->type = type;
    check->chosen = use_backup ? 1 : 0;
    check->stage = HeaderCheck::kChecked;
  }
  const unsigned char* chosen = use_backup ? region + size + 4 : region;

  if (type == 2) {
    decode_common_header(chosen, header);
  } else if (type == 1) {
    widen_header(chosen, header);
  } else {
    // Type 0 has no flag; it is derived from the offsets so that the record
    // means the same as a type-1 header would.
    unsigned char type1[68] = {};
    std::memcpy(type1, chosen, kT0SharedBytes);
    const uint32_t forward = get_u32(chosen + kT1ForwardOffset);
    const uint32_t last = get_u32(chosen + kT1LastOffset);
    put_u32(type1 + kT1Flag, forward > last ? 1u : 0u);
    std::memcpy(type1 + kT1Opaque1, chosen + kT0Opaque1, 4);
    std::memcpy(type1 + kT1Opaque2, chosen + kT0Opaque2, 4);
    widen_header(type1, header);
  }
  return block_status;
}

// The type whose primary block is signed and checks out, for a region whose
// backup signatures name no type (the backup block of an old layout damaged
// where its signature lies); -1 when none. The last match wins, as in the
// signature scan.
int32_t type_by_primary_checksum(const unsigned char* region, size_t length) {
  int32_t type = -1;
  for (int32_t t = 0; t < 3; ++t) {
    const uint32_t size = kHeaderBlockSize[t];
    if (length < size + 4 || get_u32(region) != kStoreSignature) continue;
    uint32_t crc = 0;
    store_file_checksum(region, size, &crc);
    if (crc == get_u32(region + size)) type = t;
  }
  return type;
}

}  // namespace

void select_header_block(const unsigned char* region, CommonHeader* header, HeaderCheck* check,
                         VARNO_STATUS* status, BlockRule rule) {
  const int32_t type = current_header_type();
  if (type < 0 || type > 2) {
    // Only reached when no type was detected; there is no layout to convert.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderRead, status);
    return;
  }
  if (select_block(region, type, header, check, rule) == kBothBad) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderBlocksBad, status);
  }
}

void judge_header_region(const unsigned char* region, size_t length, CommonHeader* header,
                         HeaderCheck* check, BlockRule rule) {
  *check = HeaderCheck{};
  int32_t type = detect_header_type(region, length);
  if (type < 0 && rule == BlockRule::kSigned) {
    type = type_by_primary_checksum(region, length);
    check->typed_by_checksum = type >= 0;
  }
  check->stage = HeaderCheck::kTyped;
  check->length = static_cast<uint32_t>(length);
  if (length >= kRevisionOffset + 4) check->revision = get_u32(region + kRevisionOffset);
  check->type = type;
  if (type < 0) return;
  check->block_size = kHeaderBlockSize[type];
  if (length < static_cast<size_t>(region_size(type))) return;
  select_block(region, type, header, check, rule);
}

void widen_header(const unsigned char* type1_block, CommonHeader* header) {
  const unsigned char* b = type1_block;
  header->signature = get_u32(b + kT1Signature);
  header->revision = get_u32(b + kT1Revision);
  header->oldest_time.word = get_u32(b + kT1OldestTime);
  header->oldest_time.seconds = static_cast<int32_t>(get_u32(b + kT1OldestTime + 4));
  header->oldest_offset = get_u32(b + kT1OldestOffset);
  header->newest_time.word = get_u32(b + kT1NewestTime);
  header->newest_time.seconds = static_cast<int32_t>(get_u32(b + kT1NewestTime + 4));
  header->newest_offset = get_u32(b + kT1NewestOffset);
  header->message_count = get_u32(b + kT1MessageCount);
  header->forwarded_count = get_u32(b + kT1ForwardedCount);
  // Offsets were unsigned 32-bit: zero-extend, never sign-extend.
  header->current_offset = get_u32(b + kT1CurrentOffset);
  header->last_offset = get_u32(b + kT1LastOffset);
  header->forward_offset = get_u32(b + kT1ForwardOffset);
  header->last_message_size = get_u32(b + kT1LastMessageSize);
  header->forward_past_last = get_u32(b + kT1Flag);
  header->opaque1 = get_u32(b + kT1Opaque1);
  header->opaque2 = get_u32(b + kT1Opaque2);
}

void narrow_header(const CommonHeader& header, unsigned char* type1_block) {
  unsigned char* b = type1_block;
  const auto low = [](int64_t v) { return static_cast<uint32_t>(static_cast<uint64_t>(v)); };
  put_u32(b + kT1Signature, header.signature);
  put_u32(b + kT1Revision, header.revision);
  put_u32(b + kT1OldestTime, header.oldest_time.word);
  put_u32(b + kT1OldestTime + 4, static_cast<uint32_t>(header.oldest_time.seconds));
  put_u32(b + kT1OldestOffset, low(header.oldest_offset));
  put_u32(b + kT1NewestTime, header.newest_time.word);
  put_u32(b + kT1NewestTime + 4, static_cast<uint32_t>(header.newest_time.seconds));
  put_u32(b + kT1NewestOffset, low(header.newest_offset));
  put_u32(b + kT1MessageCount, header.message_count);
  put_u32(b + kT1ForwardedCount, header.forwarded_count);
  put_u32(b + kT1CurrentOffset, low(header.current_offset));
  put_u32(b + kT1LastOffset, low(header.last_offset));
  put_u32(b + kT1ForwardOffset, low(header.forward_offset));
  put_u32(b + kT1LastMessageSize, low(header.last_message_size));
  put_u32(b + kT1Flag, header.forward_past_last);
  put_u32(b + kT1Opaque1, header.opaque1);
  put_u32(b + kT1Opaque2, header.opaque2);
}

void check_store_header(int32_t fd, CommonHeader* header, HeaderCheck* check, VARNO_STATUS* status,
                        BlockRule rule) {
  *check = HeaderCheck{};
  VARNO_SERVER_INITBLK(status);
  varno_s_file_seek(fd, 0, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderSeek, status);
    return;
  }

  // Ask for the largest amount any reader ever wanted, but accept a file that
  // ends earlier: a store file without message data is only its header
  // region. The end of the file is judged once the type says how much is
  // needed; any other read failure ends the read here.
  unsigned char region[kMaxHeaderRead] = {};
  const int32_t got = varno_s_file_read(fd, region, kMaxHeaderRead, status);
  const size_t length = got > 0 ? static_cast<size_t>(got) : 0;
  VARNO_STATUS short_read = *status;
  const bool ended_early = varno_failed(*status);
  if (ended_early && !read_met_end_of_file(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderRead, status);
    return;
  }
  VARNO_SERVER_INITBLK(status);

  judge_header_region(region, length, header, check, rule);
  set_current_header_type(check->type);
  if (check->type < 0) {
    // When the file ended before the last signature word, detection did not
    // see everything it looks at: keep the read's account of the end of file.
    if (ended_early && length < kDetectionSpan) *status = short_read;
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderRead, status);
    return;
  }
  if (check->stage != HeaderCheck::kChecked) {
    *status = short_read;
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderRead, status);
    return;
  }
  if (check->block_status == kBothBad) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderBlocksBad, status);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderRead, status);
  }
}

void read_fixed_header(int32_t fd, CommonHeader* header, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  varno_s_file_seek(fd, 0, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderSeek, status);
    return;
  }
  unsigned char region[kFixedRegionSize] = {};
  varno_s_file_read(fd, region, kFixedRegionSize, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderRead, status);
    return;
  }
  switch (check_header_blocks(region, kFixedBlockSize, nullptr)) {
    case kBlocksOk:
    case kBackupBad:
      decode_common_header(region, header);
      break;
    case kPrimaryBad:
      decode_common_header(region + kFixedBlockSize + 4, header);
      break;
    default:
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderBlocksBad, status);
      break;
  }
}
