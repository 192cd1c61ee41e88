// Message records. Behind the header region the data area is a ring of
// records laid end to end from offset 192:
//
//   record offset  width             field
//   0              4                 marker 5B 5D 5C 5E ("[]\^")
//   4              u32               store file checksum of the 292-byte message header
//   8              u32               body checksum (always 0 in a valid record)
//   12             292               message header
//   304            message size-292  message body
//
#ifndef VARNO_STOREFORMAT_MESSAGE_RECORD_H_
#define VARNO_STOREFORMAT_MESSAGE_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "messaging/varno.h"
#include "storeformat/byte_order.h"
#include "storeformat/store_header.h"

// Size constants of the format.
constexpr uint32_t kMessageHeaderSize = 292;
constexpr uint32_t record_prefix_size = 12;
constexpr uint32_t record_header_size = record_prefix_size + kMessageHeaderSize;  // 304
constexpr uint32_t store_header_size = kFixedRegionSize;  // 192: the data area starts here
constexpr unsigned char kRecordMarker[4] = {0x5B, 0x5D, 0x5C, 0x5E};
constexpr uint32_t kScanWindow = 65536;

// The record prefix, offsets from the start of the record (the marker at 0).
constexpr uint32_t kHeaderChecksumAt = 4;
constexpr uint32_t kBodyChecksumAt = 8;

// The message header, offsets from its start (add 12 for the record). Each
// address is a pair of NUL-terminated names: the first of each pair has 32
// bytes, the second runs to the next address (32, 36, 32 and 40 bytes).
enum : uint32_t {
  kMsgSignatureAt = 0,    // u16 message signature
  kMsgTransTypeAt = 2,    // u16 transaction type (1: reply to a data request)
  kMsgSizeAt = 4,         // u32 message size: header + body
  kMsgTransactionAt = 8,  // u32 transaction number
  kMsgRequestSourceAt = 24,
  kMsgRequestSource2At = 56,
  kMsgReplyDestAt = 88,
  kMsgReplyDest2At = 120,
  kMsgMessageSourceAt = 156,
  kMsgMessageSource2At = 188,
  kMsgMessageDestAt = 220,
  kMsgMessageDest2At = 252,
};

// Fields of a 292-byte message header.
inline uint32_t message_signature(const unsigned char* header) {
  return uint32_t{header[kMsgSignatureAt]} | (uint32_t{header[kMsgSignatureAt + 1]} << 8);
}
inline uint32_t message_size_of(const unsigned char* header) {
  return get_u32(header + kMsgSizeAt);
}
inline uint32_t message_transaction(const unsigned char* header) {
  return get_u32(header + kMsgTransactionAt);
}
// The NUL-terminated name at `at` (one of the kMsg...At addresses), never
// read past the header's end.
inline std::string_view message_name(const unsigned char* header, uint32_t at) {
  const char* p = reinterpret_cast<const char*>(header + at);
  return std::string_view(p, strnlen(p, kMessageHeaderSize - at));
}

// Facility-13 error numbers of the record operations.
enum : int32_t {
  kErrRecordWriteSeek = 13340,
  kErrRecordAlloc = 13341,
  kErrRecordWrite = 13342,
  kErrRecordSeek = 13402,
  kErrBodyChecksum = 13530,
  kErrHeaderChecksum = 13531,
  kErrRecordRead = 13532,
  kErrBodyRead = 13512,
};

// Where the walk of the ring goes after the record at `offset` whose message
// size is `message_size`: behind it (the size plus the 12-byte prefix, summed
// in 32 bits as the format has always done), or back to the start of the data
// area (192) when fewer than 304 bytes remain there before `file_size` and the
// place lies past `newest_offset`, the ring's last record.
int64_t next_record_offset(int64_t offset, uint32_t message_size, int64_t file_size,
                           int64_t newest_offset);

// True when `record` starts with the record marker "[]\^". Reads at a known
// offset never look at it; a scan for records does.
bool record_marker_ok(const unsigned char* record);

// Reads the 304-byte record header at `offset` into `record` (prefix and
// message header) and returns the stored body checksum (0 after a failed seek
// or read). Failures as read_message_header's; `record` holds what was read,
// zeros for the rest, and is untouched after a failed seek.
uint32_t read_record_header(int32_t fd, int64_t offset, unsigned char* record,
                            VARNO_STATUS* status);

// Reads the record header at `offset`, copies the 292-byte message header to
// `header` and returns the stored body checksum (0 after a failed seek or
// read). (13, 13402) seek (`header` untouched), (13, 13532) read (`header`
// holds what was read, zeros for the rest), (13, 13531) header checksum
// mismatch (the header has been copied out all the same).
uint32_t read_message_header(int32_t fd, int64_t offset, unsigned char* header,
                             VARNO_STATUS* status);

// Reads the body of the record at `offset` into message[292 .. message_size)
// and checks `body_checksum`. (13, 13402) seek, (13, 13512) read,
// (13, 13530) checksum. A message_size below 292 is a damaged record: it
// records (13, 13512) without seeking or reading.
void read_message_body(int32_t fd, int64_t offset, uint32_t message_size, uint32_t body_checksum,
                       unsigned char* message, VARNO_STATUS* status);

// read_message_body without the check of the body checksum word: true when
// the body was read.
bool read_message_body_bytes(int32_t fd, int64_t offset, uint32_t message_size,
                             unsigned char* message, VARNO_STATUS* status);

// Lays out the whole record of a message of record_length - 12 bytes in
// `record` (`record_length` bytes, at least 304): marker, header checksum,
// body checksum, message.
void lay_out_record(const unsigned char* message, uint32_t record_length, unsigned char* record);

// Writes a whole record (`record_length` bytes, prefix included) at `offset`
// from a message of record_length - 12 bytes, in one write.
// (13, 13340) seek, (13, 13341) allocation, (13, 13342) write; a
// record_length below 304 (no room for the message header) writes nothing and
// records (13, 13342).
void write_message_record(int32_t fd, int64_t offset, uint32_t record_length,
                          const unsigned char* message, VARNO_STATUS* status);

// Scans from `start` for the first intact record whose 304-byte record header
// lies wholly before `limit` (a header ending exactly at `limit` counts); never
// reads at or past `limit`. Stores its offset in *found and returns its body
// checksum; 0 and 0 when there is none, also when `limit` is below
// start + 304. (13, 13402) seek, (13, 13532) window read (`limit` beyond the
// end of the file included), (13, 13341) when its 64 KiB window cannot be
// allocated. Each call has a window of its own, so calls may overlap.
uint32_t find_message_record(int32_t fd, int64_t start, int64_t limit, int64_t* found,
                             VARNO_STATUS* status);

// The body checksum function: 0 for every input.
void message_body_checksum(const void* data, uint32_t length, uint32_t* result);

// What reading the record header at a known offset saw, for its caller to
// judge and report; nothing in this layer prints.
struct RecordCheck {
  enum Defect : int32_t {
    kNone = 0,
    kHeaderPastEnd,  // fewer than 304 bytes remain before the end of the file
    kSizeSmall,      // message size below 292
    kSizePastEnd,    // the message runs past the end of the file
    kUnreadable,     // the record header could not be read
  };
  int64_t offset = 0;
  uint32_t length = 0;             // bytes of the 304-byte record header read
  bool marker_ok = false;          // the prefix begins with "[]\^"
  uint32_t stored_checksum = 0;    // the header checksum word at 4
  uint32_t computed_checksum = 0;  // the checksum of the 292-byte message header
  uint32_t body_checksum = 0;      // the word at 8 (0 in every valid record)
  uint32_t message_size = 0;
  Defect defect = kNone;

  // The checksum holds over a message header read whole.
  bool header_checksum_ok() const {
    return length == record_header_size && stored_checksum == computed_checksum;
  }
  // The walk can step over it: its header was read whole and its size leads
  // to a place inside the file. Says nothing of its marker or checksum.
  bool steppable() const { return defect == kNone; }
  // Steppable, and its marker and header checksum right: a record a recovery
  // may keep.
  bool intact() const { return steppable() && marker_ok && header_checksum_ok(); }
  // Bytes of the whole record: prefix, message header and body.
  int64_t record_length() const { return int64_t{message_size} + record_prefix_size; }
};

// Reads the record header at `offset` of the open file `fd`, whose size is
// `file_size`, into `record` (304 bytes: prefix and message header; zeros
// where nothing was read) and judges it into *check. A record header that the
// end of the file cuts (or a negative offset) is kHeaderPastEnd; a size that
// cannot be stepped over is kSizeSmall or kSizePastEnd (a size whose 32-bit
// sum with the prefix would overflow counts as past the end). kUnreadable when
// a seek or read failed otherwise: `status` then holds the pairs of
// read_record_header. Returns check->steppable().
bool check_record(int32_t fd, int64_t offset, int64_t file_size, unsigned char* record,
                  RecordCheck* check, VARNO_STATUS* status);

// True when an intact record header (marker and checksum) begins at `at`,
// whose 304 bytes the caller has.
bool intact_record_header(const unsigned char* at);

// The first position of `data` (`length` bytes), from `from` on, where an
// intact record header lies wholly inside; -1 when there is none. For a
// record in memory, whose size field may be wrong: records it swallowed show
// as intact record headers inside it.
int64_t find_record_in(const unsigned char* data, size_t length, size_t from);

#endif  // VARNO_STOREFORMAT_MESSAGE_RECORD_H_
