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
void decode_common_header(const unsigned char* block, CommonHeader* header);
void encode_common_header(const CommonHeader& header, unsigned char* block);

// Which header blocks a read may use. kChecksum: a block counts when its
// checksum matches, as the utility's reports have always read a header.
// kSigned: it must also begin with the signature, which every valid block of
// every layout carries; a block of zeros has checksum 0 and would otherwise
// pass. Whatever is about to be written back or trusted for recovery is
// read kSigned. A kSigned read whose backup signatures name no type also
// takes the type whose primary block is signed and checks out, so that an
// old layout whose backup copy lost its signature is still read.
enum class BlockRule : int32_t { kChecksum, kSigned };

// What a header read saw, for its caller to report: nothing in this layer
// prints. Fields beyond the stage reached keep their initial values.
struct HeaderCheck {
  enum Stage : int32_t {
    kNotRead = 0,  // the seek failed, or the read failed before the end of the file
    kTyped = 1,    // the bytes there were typed; too few of them for the type's region
    kChecked = 2,  // the blocks of the detected type were checked and one chosen
  };
  Stage stage = kNotRead;
  uint32_t length = 0;         // bytes of the region read (the read asks for 392)
  uint32_t revision = 0;       // the primary block's revision word, when length >= 8
  int32_t type = -1;           // the detected header type; -1 when none matched
  uint32_t block_size = 0;     // block size S of the type
  uint32_t computed[2] = {};   // checksums computed over the primary and the backup block
  uint32_t stored[2] = {};     // checksums stored behind them
  uint32_t signature[2] = {};  // the word the primary and the backup block begin with
  BlockRule rule = BlockRule::kChecksum;  // how block_status was judged
  int32_t block_status = -1;              // kBlocksOk .. kBothBad, by `rule`
  int32_t chosen = -1;  // the block converted into the record: 0 primary, 1 backup
  // kSigned only: no backup signature named a type, and the type is the one
  // whose primary block is signed and checks out.
  bool typed_by_checksum = false;

  // The revision names the type ("Found non-zero revision number").
  bool revision_names_type() const { return length >= 8 && (revision == 1 || revision == 2); }
  bool signature_ok(int copy) const { return signature[copy] == kStoreSignature; }
  // The copy counts by `rule`: its checksum matches and, for kSigned, it is signed.
  bool copy_counts(int copy) const {
    return computed[copy] == stored[copy] && (rule == BlockRule::kChecksum || signature_ok(copy));
  }
  // A block was chosen that the rule lets a reader use.
  bool usable() const { return stage == kChecked && block_status != kBothBad; }
};

// The header type found by the last check_store_header that got as far as
// type detection (-1: none matched); 0 at start. The rewrite writes this type.
int32_t current_header_type();
void set_current_header_type(int32_t type);

// Header type of the `length` region bytes read from offset 0: the primary
// revision when it is 1 or 2, else the last of types 0, 1, 2 whose backup
// block carries the signature; -1 when none does. Looks at nothing past byte
// 100 or past `length`.
int32_t detect_header_type(const unsigned char* region, size_t length);

// Block status of the two blocks of size S in `region` (2S + 8 bytes), a
// block counting as `rule` says. When `check` is not null, its block size,
// checksums, signatures, rule and block status are filled.
int32_t check_header_blocks(const unsigned char* region, uint32_t block_size, HeaderCheck* check,
                            BlockRule rule = BlockRule::kChecksum);

// Checks the blocks for the current header type, chooses one (the backup when
// only the primary is bad, else the primary) and converts it into *record;
// fills the block fields of `check` when not null. Adds (13, 13510) to
// `status` (without clearing it) when both blocks are bad; the record is then
// filled from the primary block all the same. With no current type, adds
// (13, 13512) and leaves the record alone.
void select_header_block(const unsigned char* region, CommonHeader* header, HeaderCheck* check,
                         VARNO_STATUS* status, BlockRule rule = BlockRule::kChecksum);

// Type-1 block (68 bytes) to the record: 32-bit offsets and size zero-extended.
void widen_header(const unsigned char* type1_block, CommonHeader* header);
// The record to a type-1 block: each 64-bit offset and the size keep their low
// 32 bits.
void narrow_header(const CommonHeader& header, unsigned char* type1_block);

// Reads, types, checks and converts the header of any type, filling *check
// with what it saw; sets the current header type once detection has run.
// Prints nothing. Clears `status`; success is nothing recorded. Failure:
// (13, 13511) behind the seek's pairs; (13, 13512) behind the read's pairs
// (the file ends before the detected type's region, or before byte 100 with
// no type found: (1, 0), (13, 13182) first), alone for an unknown type, or
// behind (13, 13510) when both blocks are bad (the record is then filled from
// the primary block). Blocks count as `rule` says.
void check_store_header(int32_t fd, CommonHeader* header, HeaderCheck* check, VARNO_STATUS* status,
                        BlockRule rule = BlockRule::kChecksum);

// Judges a header region already read (`length` bytes from offset 0) as
// check_store_header does, without reading and without touching the current
// header type: fills *check, and *record once a block was chosen.
void judge_header_region(const unsigned char* region, size_t length, CommonHeader* header,
                         HeaderCheck* check, BlockRule rule = BlockRule::kChecksum);

// Reads a type-2 header silently. Status 3 records (13, 13510) and leaves the
// record unchanged. Does not touch the current header type.
void read_fixed_header(int32_t fd, CommonHeader* header, VARNO_STATUS* status);

// Lays out the whole region of header type `type` (0, 1 or 2) for `header`
// in `region` (room for 192 bytes): the block in that type's layout, its
// checksum, the block again, the checksum again. Returns the region size, or
// 0 for a type without a layout.
uint32_t build_header_region(const CommonHeader& header, int32_t type, unsigned char* region);

// Writes `header` back as the whole region of the current header type: the
// layout found by the last header read of the process (check_store_header,
// which the commands' read_store_header calls), not a property of `fd`. One write at offset 0, then
// a flush to stable storage. Prints nothing. Clears `status`; failure: (13, 13520) behind the
// seek's pairs, (13, 13521) behind the write's or the flush's, or alone when nothing was written
// because there is no current type or the region built from `header` would not be typed as the
// current type by the next read. A write or flush that fails after part of the region may have gone
// out puts the region back as it was (best effort).
void rewrite_store_header(int32_t fd, const CommonHeader& header, VARNO_STATUS* status);

// Writes `header` as the whole region of header type `type` (0, 1 or 2),
// silently, and forces it to the disk: the writer of new store files, which
// have no header to read a type from, nor one to put back when the write
// fails. (13, 13520) / (13, 13521), the latter alone for a type without a
// layout.
void write_header_region(int32_t fd, const CommonHeader& header, int32_t type,
                         VARNO_STATUS* status);

// Writes `header` as a type-2 region, silently; (13, 13520) / (13, 13521).
void write_fixed_header(int32_t fd, const CommonHeader& header, VARNO_STATUS* status);

#endif  // VARNO_STOREFORMAT_STORE_HEADER_H_
