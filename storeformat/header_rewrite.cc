// Writing the common header record back as a whole header region: both
// blocks and both checksums are rebuilt from the one record, which also
// repairs a damaged copy.
#include <cstring>

#include "fileaccess/file_access.h"
#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "storeformat/store_header.h"

namespace {

// Builds the block of `type` for `header` in block[0 .. S). False for a type
// without a layout.
bool build_block(int32_t type, const CommonHeader& header, unsigned char* block) {
  switch (type) {
    case 2:
      encode_common_header(header, block);
      return true;
    case 1:
      narrow_header(header, block);
      return true;
    case 0: {
      // The type-0 block is the type-1 block without the flag: bytes 0..55,
      // then the two opaque words.
      unsigned char type1[68] = {};
      narrow_header(header, type1);
      std::memcpy(block, type1, 56);
      std::memcpy(block + 56, type1 + 60, 8);
      return true;
    }
    default:
      return false;
  }
}

// Lays out the region for block size S: block, checksum, block, checksum.
uint32_t lay_out_region(const unsigned char* block, uint32_t block_size, unsigned char* region) {
  uint32_t crc = 0;
  store_file_checksum(block, block_size, &crc);
  std::memcpy(region, block, block_size);
  put_u32(region + block_size, crc);
  std::memcpy(region + block_size + 4, block, block_size);
  put_u32(region + 2 * block_size + 4, crc);
  return 2 * block_size + 8;
}

}  // namespace

uint32_t build_header_region(const CommonHeader& header, int32_t type, unsigned char* region) {
  unsigned char block[kFixedBlockSize] = {};
  if (!build_block(type, header, block)) return 0;
  return lay_out_region(block, kHeaderBlockSize[type], region);
}

namespace {

enum class Failure { kNone, kSeek, kWrite };

// Reads the `size` bytes of the region as they are now. False when they
// cannot all be read; a file that is being given its first header has none.
// Its own status block: a region that cannot be read back only costs the
// rewrite its way back (below), never the write itself.
bool read_region_as_is(int32_t fd, unsigned char* region, uint32_t size) {
  VARNO_STATUS status;
  varno_s_file_read(fd, region, size, &status);
  return !varno_failed(status);
}

// Best effort, and silent: the failure that made it necessary is what the
// caller reports.
void put_region_back(int32_t fd, const unsigned char* region, uint32_t size) {
  VARNO_STATUS status;
  varno_s_file_seek(fd, 0, kSeekSet, &status);
  if (varno_failed(status)) return;
  varno_s_file_write(fd, region, size, &status);
  if (varno_failed(status)) return;
  varno_s_file_sync(fd, &status);
}

// Writes the region at offset 0 and forces it to the disk. The primitives'
// pairs stay in `status`; the caller adds its own.
Failure write_region(int32_t fd, const unsigned char* region, uint32_t size, VARNO_STATUS* status) {
  varno_s_file_seek(fd, 0, kSeekSet, status);
  if (varno_failed(*status)) return Failure::kSeek;
  // The region as it is before this rewrite: when the caller has just read the
  // header this comes from the file layer's read-ahead, without a system call.
  unsigned char before[kFixedRegionSize] = {};
  const bool have_before = read_region_as_is(fd, before, size);
  varno_s_file_seek(fd, 0, kSeekSet, status);
  if (varno_failed(*status)) return Failure::kSeek;

  // One write of the whole region at offset 0. The region (at most 192 bytes)
  // lies inside the first disk sector, so on disks that write a sector
  // atomically a crash leaves either the old or the new region, never a torn
  // mixture, and both copies come from one record. A device without that
  // guarantee can be left with the first k bytes new and the rest old; the
  // header read then gives, as k grows: the old header (no changed byte
  // reached yet, or a torn primary block that fails its checksum, so the old
  // backup is used), the failure "Both header blocks bad." with (13, 13510)
  // (primary block and checksum wholly new, backup still old: each copy checks
  // out but they differ, and the read refuses to choose), the new header (the
  // backup torn, the new primary used), then the new region. A torn copy fails
  // its checksum, so no mixture of the two is ever accepted as sound.
  const int32_t written = varno_s_file_write(fd, region, size, status);
  bool failed = varno_failed(*status);
  if (!failed) {
    // A header that may not have reached the disk counts as not written, so
    // the operator is never told a reset succeeded that a crash could undo.
    varno_s_file_sync(fd, status);
    failed = varno_failed(*status);
  }
  if (!failed) return Failure::kNone;
  // A short write leaves a torn region behind, and a failed flush a new region
  // the caller is about to report as not written. Writing the old region back
  // leaves the file as the failure report says: unchanged, and readable as it
  // was. A write that wrote nothing left nothing to undo.
  if (have_before && written > 0) put_region_back(fd, before, size);
  return Failure::kWrite;
}

}  // namespace

void rewrite_store_header(int32_t fd, const CommonHeader& header, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  const int32_t type = current_header_type();
  unsigned char block[kFixedBlockSize] = {};
  if (!build_block(type, header, block)) {
    // No read found a type, so there is no layout to write in: writing one
    // would overwrite a header this system cannot even recognise.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWrite, status);
    return;
  }
  unsigned char region[kFixedRegionSize] = {};
  const uint32_t size = lay_out_region(block, kHeaderBlockSize[type], region);
  if (detect_header_type(region, size) != type) {
    // The header is typed by its revision and the backup signatures, all
    // inside the region. A record taken from a copy that does not carry them
    // for this type (a backup block of zeros passes its checksum) would be
    // written as a header the next read types otherwise or not at all: the
    // file could no longer be read. Refused, so the file stays as it was.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWrite, status);
    return;
  }
  switch (write_region(fd, region, size, status)) {
    case Failure::kSeek:
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWriteSeek, status);
      break;
    case Failure::kWrite:
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWrite, status);
      break;
    case Failure::kNone:
      break;
  }
}

void write_fixed_header(int32_t fd, const CommonHeader& header, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  unsigned char block[kFixedBlockSize] = {};
  encode_common_header(header, block);
  unsigned char region[kFixedRegionSize] = {};
  const uint32_t size = lay_out_region(block, kFixedBlockSize, region);
  switch (write_region(fd, region, size, status)) {
    case Failure::kSeek:
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWriteSeek, status);
      break;
    case Failure::kWrite:
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWrite, status);
      break;
    case Failure::kNone:
      break;
  }
}

void write_header_region(int32_t fd, const CommonHeader& header, int32_t type,
                         VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  unsigned char region[kFixedRegionSize] = {};
  const uint32_t size = build_header_region(header, type, region);
  if (size == 0) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWrite, status);
    return;
  }
  // A new file has no header to put back when the write fails: its writer
  // removes it.
  varno_s_file_seek(fd, 0, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWriteSeek, status);
    return;
  }
  varno_s_file_write(fd, region, size, status);
  if (!varno_failed(*status)) varno_s_file_sync(fd, status);
  if (varno_failed(*status)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderWrite, status);
}
