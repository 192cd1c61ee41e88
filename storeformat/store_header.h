// The store file header region: two copies of one header block, each followed
// by its store file checksum, in one of three layouts (header types):
//
//   type  block S  region 2S+8   primary  cksum1  backup   cksum2
//    0      64        136        0..63    64..67   68..131  132..135
//    1      68        144        0..67    68..71   72..139  140..143
//    2      92        192        0..91    92..95   96..187  188..191
//
// Type 2 is current; types 0 and 1 keep offsets in 32 bits and are read and
// written back in their own layout. All integers are little-endian.
#ifndef VARNO_STOREFORMAT_STORE_HEADER_H_
#define VARNO_STOREFORMAT_STORE_HEADER_H_

#include <cstddef>
#include <cstdint>

#include "messaging/varno.h"

constexpr uint32_t kStoreSignature = 0x5A5AA5A5u;  // bytes A5 A5 5A 5A in file order
constexpr uint32_t kHeaderBlockSize[3] = {64, 68, 92};
constexpr uint32_t kFixedBlockSize = 92;
constexpr uint32_t kFixedRegionSize = 192;
constexpr uint32_t kMaxHeaderRead = 392;  // what the multi-type read asks for

// Facility-13 error numbers of the header read and rewrite.
enum : int32_t {
  kErrHeaderBlocksBad = 13510,  // neither block usable
  kErrHeaderSeek = 13511,       // seek to offset 0 failed
  kErrHeaderRead = 13512,       // region not read, unknown type, or corrupt
  kErrHeaderWriteSeek = 13520,  // rewrite: seek failed
  kErrHeaderWrite = 13521,      // rewrite: write or flush to disk failed
};

// Block status of a header check.
enum : int32_t {
  kBlocksOk = 0,    // both checksums match, blocks equal
  kPrimaryBad = 1,  // checksum 1 wrong, checksum 2 right
  kBackupBad = 2,   // checksum 1 right, checksum 2 wrong
  kBothBad = 3,     // neither matches, or both match but blocks differ
};

struct HeaderTimeStamp {
  uint32_t word;    // carried, never interpreted
  int32_t seconds;  // since 1970-01-01 00:00:00 UTC
};

// The common header record: the in-memory form of every header type, byte for
// byte the type-2 block when encoded.
struct CommonHeader {
  uint32_t signature;           //  0
  uint32_t revision;            //  4
  HeaderTimeStamp oldest_time;  //  8
  int64_t oldest_offset;        // 16
  HeaderTimeStamp newest_time;  // 24
  int64_t newest_offset;        // 32
  uint32_t message_count;       // 40
  uint32_t forwarded_count;     // 44
  int64_t current_offset;       // 48
  int64_t last_offset;          // 56
  int64_t forward_offset;       // 64
  int64_t last_message_size;    // 72
  uint32_t forward_past_last;   // 80
  uint32_t opaque1;             // 84
  uint32_t opaque2;             // 88
};

// Conversions between the record and its 92-byte type-2 encoding.
void decode_common_header(const unsigned char* block, CommonHeader* record);
void encode_common_header(const CommonHeader& record, unsigned char* block);

// The header type found by the last read_store_header that got as far as type
// detection (-1: none matched); 0 at start. The rewrite writes this type.
int32_t current_header_type();
void set_current_header_type(int32_t type);

// Header type of the region bytes read from offset 0 (`length` of them): the
// primary revision when it is 1 or 2 (printing "Found non-zero revision number
// %d\n"), else the last of types 0, 1, 2 whose backup block carries the
// signature; -1 (printing the no-match line) when none does.
int32_t detect_header_type(const unsigned char* region, size_t length);
// The same type, printing nothing. Every word it looks at lies in the first
// 100 bytes, inside the region of every type.
int32_t header_type_of(const unsigned char* region, size_t length);

// Block status for block size S, printing the checking line and any BAD CRC
// lines to the screen.
int32_t check_header_blocks(const unsigned char* region, uint32_t block_size);
// The silent check of a type-2 region.
int32_t check_fixed_header_blocks(const unsigned char* region);

// Checks the blocks for the current header type, prints the verdict and the
// type line, and converts the chosen block into *record. Adds (13, 13510) to
// `status` (without clearing it) when both blocks are bad; the record is then
// filled from the primary block all the same.
void select_header_block(const unsigned char* region, CommonHeader* record, VARNO_STATUS* status);

// Type-1 block (68 bytes) to the record: 32-bit offsets and size zero-extended.
void widen_header(const unsigned char* type1_block, CommonHeader* record);
// The record to a type-1 block: each 64-bit offset and the size keep their low
// 32 bits.
void narrow_header(const CommonHeader& record, unsigned char* type1_block);

// Reads, types, checks and converts the header of any type, printing its
// diagnostics to the screen; sets the current header type. Clears `status`;
// failure: (13, 13511) seek, (13, 13512) region short / unknown type /
// corrupt (behind (13, 13510)). Only the detected type's region needs to be
// present: a store file without message data is still read. When the file
// ends before that region, or before byte 100 with no type found, the read's
// own (1, 0), (13, 13182) stay in front of (13, 13512). Success is nothing
// recorded: callers must not judge by the first error number alone, which is
// 0 after an end of file.
void read_store_header(int32_t fd, CommonHeader* record, VARNO_STATUS* status);

// Reads a type-2 header silently. Status 3 records (13, 13510) and leaves the
// record unchanged. Does not touch the current header type.
void read_fixed_header(int32_t fd, CommonHeader* record, VARNO_STATUS* status);

// Lays out the whole region of header type `type` (0, 1 or 2) for `record`
// in `region` (room for 192 bytes): the block in that type's layout, its
// checksum, the block again, the checksum again. Returns the region size, or
// 0 for a type without a layout.
uint32_t build_header_region(const CommonHeader& record, int32_t type, unsigned char* region);

// Writes `record` back as the whole region of the current header type, both
// blocks and both checksums, with one write at offset 0, then forces it to
// stable storage. On failure prints its warning line and records (13, 13520)
// for the seek or (13, 13521) for the write or the flush. With no header type
// detected (-1) nothing is written: the WRITE warning and (13, 13521). The
// same when the region built from `record` would not be typed as the current
// type by the next read (its revision and backup signatures do not say so):
// such a header could not be read back. When the write or the flush fails
// after part of the region may have gone out, the region as it was before is
// written back (best effort, silently), so a failed rewrite leaves the file
// as it found it.
void rewrite_store_header(int32_t fd, const CommonHeader& record, VARNO_STATUS* status);

// Writes `record` as a type-2 region, silently; (13, 13520) / (13, 13521).
void write_fixed_header(int32_t fd, const CommonHeader& record, VARNO_STATUS* status);

#endif  // VARNO_STOREFORMAT_STORE_HEADER_H_
