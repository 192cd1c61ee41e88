// The damage kinds, made in a file just written: a flipped byte in a header
// block or a record header, or a record whose size runs past the end.
#include <cstdint>
#include <limits>

#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"
#include "tools/storegen/storegen.h"

namespace storegen {

namespace {

// Byte of a header block that the damage flips: the message count, inside
// the checksummed block but clear of the signature and revision words that
// type detection relies on.
constexpr uint32_t kDamagedHeaderByte = 40;
// Byte of the message header that record-byte flips: the first letter of the
// request source; flipping its case keeps the listing readable.
constexpr uint32_t kDamagedRecordByte = 24;
// How far past the end of the file record-size's default size runs: far
// enough that no rounding makes it fit.
constexpr int64_t kPastTheEnd = 4096;

// Flips bits of the byte at `offset` with `mask`.
bool flip_byte(int32_t fd, int64_t offset, unsigned char mask, VARNO_STATUS* status) {
  unsigned char byte = 0;
  if (!read_at(fd, offset, &byte, 1, status)) return false;
  byte ^= mask;
  return write_at(fd, offset, &byte, 1, status);
}

// Gives the record at `offset` the message size `size` and a header checksum
// that matches it.
bool resize_record(int32_t fd, int64_t offset, uint32_t size, VARNO_STATUS* status) {
  unsigned char record[record_header_size];
  if (!read_at(fd, offset, record, sizeof record, status)) return false;
  unsigned char* header = record + record_prefix_size;
  put_u32(header + kMsgSizeAt, size);
  uint32_t checksum = 0;
  store_file_checksum(header, kMessageHeaderSize, &checksum);
  put_u32(record + kHeaderChecksumAt, checksum);
  return write_at(fd, offset, record, sizeof record, status);
}

}  // namespace

bool damage_fits(const Options& o, const RingLayout& ring) {
  for (const Damage& d : o.damage) {
    if (d.kind == DamageKind::kRecordSize && d.size < 0 &&
        ring.capacity - record_offset(ring, d.record - 1) + kPastTheEnd >
            int64_t{std::numeric_limits<uint32_t>::max()}) {
      usage_error("record-size damage cannot run past the end of a file this large");
      return false;
    }
  }
  return true;
}

bool apply_damage(int32_t fd, const Options& o, const RingLayout& ring, const Damage& d,
                  VARNO_STATUS* status) {
  const uint32_t block = kHeaderBlockSize[o.type];
  switch (d.kind) {
    case DamageKind::kPrimary:
      return flip_byte(fd, kDamagedHeaderByte, 0xFF, status);
    case DamageKind::kBackup:
      return flip_byte(fd, block + 4 + kDamagedHeaderByte, 0xFF, status);
    case DamageKind::kRecordByte:
      return flip_byte(fd,
                       record_offset(ring, d.record - 1) + record_prefix_size + kDamagedRecordByte,
                       0x20, status);
    case DamageKind::kRecordSize: {
      const int64_t offset = record_offset(ring, d.record - 1);
      // damage_fits has kept the default within 32 bits.
      const int64_t size = d.size >= 0 ? d.size : ring.capacity - offset + kPastTheEnd;
      return resize_record(fd, offset, static_cast<uint32_t>(size), status);
    }
  }
  return false;
}

}  // namespace storegen
