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

#include <cstdint>

#include "messaging/varno.h"
#include "storeformat/store_header.h"

constexpr uint32_t kMessageHeaderSize = 292;
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

// Size constants of the format.
uint32_t store_header_size();   // 192: header region; the data area starts here
uint32_t record_header_size();  // 304: prefix + message header
uint32_t record_prefix_size();  // 12

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

#endif  // VARNO_STOREFORMAT_MESSAGE_RECORD_H_
