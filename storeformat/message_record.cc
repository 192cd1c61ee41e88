// Message records: reading a record header and body at a known offset,
// writing a whole record, and scanning for the next intact record.
#include "storeformat/message_record.h"
#include "storeformat/byte_order.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "fileaccess/file_access.h"
#include "storeformat/checksum.h"

namespace {

// Seeks to `offset` and reads the 304-byte record header into `record`:
// (13, 13402) behind the seek's pairs, (13, 13532) behind the read's (the
// bytes read kept, zeros for the rest). *seek_failed tells the first case,
// which leaves `record` untouched.
bool read_record_bytes(int32_t fd, int64_t offset, unsigned char* record, VARNO_STATUS* status,
                       bool* seek_failed) {
  VARNO_SERVER_INITBLK(status);
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordSeek, status);
    *seek_failed = true;
    return false;
  }
  const int32_t got = varno_s_file_read(fd, record, record_header_size, status);
  if (varno_failed(*status)) {
    // Even a short read hands out what it got (zeros for the rest), so that a
    // listing can show the damaged record as it is on disk.
    const uint32_t kept = got > 0 ? static_cast<uint32_t>(got) : 0;
    std::memset(record + kept, 0, record_header_size - kept);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordRead, status);
    return false;
  }
  return true;
}

// read_record_header, telling its callers whether the seek failed (nothing
// was read into `record` then).
uint32_t read_record_header_at(int32_t fd, int64_t offset, unsigned char* record,
                               VARNO_STATUS* status, bool* seek_failed) {
  if (!read_record_bytes(fd, offset, record, status, seek_failed)) return 0;
  uint32_t crc = 0;
  store_file_checksum(record + record_prefix_size, kMessageHeaderSize, &crc);
  if (crc != get_u32(record + kHeaderChecksumAt)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderChecksum, status);
  }
  return get_u32(record + kBodyChecksumAt);
}

}  // namespace

bool intact_record_header(const unsigned char* at) {
  if (!record_marker_ok(at)) return false;
  uint32_t crc = 0;
  store_file_checksum(at + record_prefix_size, kMessageHeaderSize, &crc);
  return crc == get_u32(at + kHeaderChecksumAt);
}

int64_t next_record_offset(int64_t offset, uint32_t message_size, int64_t file_size,
                           int64_t newest_offset) {
  const int64_t next = offset + static_cast<uint32_t>(message_size + record_prefix_size);
  if (file_size - next < int64_t{record_header_size} && next > newest_offset) {
    return kFixedRegionSize;
  }
  return next;
}

bool record_marker_ok(const unsigned char* record) {
  return std::memcmp(record, kRecordMarker, sizeof kRecordMarker) == 0;
}

uint32_t read_record_header(int32_t fd, int64_t offset, unsigned char* record,
                            VARNO_STATUS* status) {
  bool seek_failed = false;
  return read_record_header_at(fd, offset, record, status, &seek_failed);
}

uint32_t read_message_header(int32_t fd, int64_t offset, unsigned char* header,
                             VARNO_STATUS* status) {
  unsigned char record[record_header_size];
  bool seek_failed = false;
  const uint32_t body_checksum = read_record_header_at(fd, offset, record, status, &seek_failed);
  if (!seek_failed) std::memcpy(header, record + record_prefix_size, kMessageHeaderSize);
  return body_checksum;
}

bool read_message_body_bytes(int32_t fd, int64_t offset, uint32_t message_size,
                             unsigned char* message, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (message_size < kMessageHeaderSize) {
    // The size field is damaged: the body length would be negative, and the
    // caller's buffer is smaller than the header it is meant to hold.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrBodyRead, status);
    return false;
  }
  // An offset so large that the body would lie beyond every file position is
  // handed to the seek as -1, which fails there with its own pairs.
  const int64_t body = offset > std::numeric_limits<int64_t>::max() - record_header_size
                           ? -1
                           : offset + record_header_size;
  varno_s_file_seek(fd, body, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordSeek, status);
    return false;
  }
  varno_s_file_read(fd, message + kMessageHeaderSize, message_size - kMessageHeaderSize, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrBodyRead, status);
    return false;
  }
  return true;
}

void read_message_body(int32_t fd, int64_t offset, uint32_t message_size, uint32_t body_checksum,
                       unsigned char* message, VARNO_STATUS* status) {
  if (!read_message_body_bytes(fd, offset, message_size, message, status)) return;
  uint32_t expected = 0;
  message_body_checksum(message, message_size, &expected);
  if (body_checksum != expected) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrBodyChecksum, status);
  }
}

void lay_out_record(const unsigned char* message, uint32_t record_length, unsigned char* record) {
  const uint32_t message_size = record_length - record_prefix_size;
  std::memcpy(record + record_prefix_size, message, message_size);
  uint32_t body_crc = 0;
  message_body_checksum(message, message_size, &body_crc);
  uint32_t header_crc = 0;
  store_file_checksum(message, kMessageHeaderSize, &header_crc);
  std::memcpy(record, kRecordMarker, sizeof kRecordMarker);
  put_u32(record + kHeaderChecksumAt, header_crc);
  put_u32(record + kBodyChecksumAt, body_crc);
}

void write_message_record(int32_t fd, int64_t offset, uint32_t record_length,
                          const unsigned char* message, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (record_length < record_header_size) {
    // Shorter than prefix and message header: the header checksum would read
    // past the caller's message, and such a record could never be read back.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordWrite, status);
    return;
  }
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordWriteSeek, status);
    return;
  }
  auto* buffer = static_cast<unsigned char*>(std::malloc(record_length));
  if (buffer == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordAlloc, status);
    return;
  }
  lay_out_record(message, record_length, buffer);
  // One write, so the record never reaches the file in pieces from this side.
  varno_s_file_write(fd, buffer, record_length, status);
  if (varno_failed(*status)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordWrite, status);
  std::free(buffer);
}

uint32_t find_message_record(int32_t fd, int64_t start, int64_t limit, int64_t* found,
                             VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  *found = 0;
  varno_s_file_seek(fd, start, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordSeek, status);
    return 0;
  }
  // After a good seek start >= 0, so limit - start cannot overflow.
  if (limit <= start || limit - start < record_header_size) return 0;

  // Window k holds the file bytes [base, base + length) with base = start +
  // k * 65232; each later window begins with the last 304 bytes of the one
  // before, so a record header that straddles two windows is whole in the
  // second. Only the last window may be shorter than 65536: it ends exactly
  // at `limit`, and nothing at or past `limit` is ever read.
  // One window for the whole call, on the heap: 64 KiB is too much for the
  // stack of a service thread, and a window of the call's own keeps two scans
  // (of two files, or from two threads) apart.
  std::unique_ptr<unsigned char[]> window(new (std::nothrow) unsigned char[kScanWindow]);
  if (window == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordAlloc, status);
    return 0;
  }
  unsigned char* const w = window.get();
  constexpr uint32_t kStep = kScanWindow - record_header_size;
  int64_t base = start;
  uint32_t length =
      static_cast<uint32_t>(limit - start < kScanWindow ? limit - start : kScanWindow);
  varno_s_file_read(fd, w, length, status);
  for (;;) {
    if (varno_failed(*status)) {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordRead, status);
      return 0;
    }
    const bool last = base + length == limit;
    // A full window examines the 65232 positions it owns; the next window
    // starts at the first position it did not examine. The last window also
    // examines the position whose header ends exactly at `limit`: that header
    // lies wholly before `limit` and was read.
    const uint32_t positions = last ? length - record_header_size + 1 : kStep;
    for (uint32_t i = 0; i < positions; ++i) {
      if (intact_record_header(w + i)) {
        *found = base + i;
        return get_u32(w + i + kBodyChecksumAt);
      }
    }
    if (last) return 0;
    std::memmove(w, w + kStep, record_header_size);
    base += kStep;
    const int64_t rest = limit - base - record_header_size;
    const uint32_t more = static_cast<uint32_t>(rest < kStep ? rest : kStep);
    length = record_header_size + more;
    varno_s_file_read(fd, w + record_header_size, more, status);
  }
}

void message_body_checksum(const void* /*data*/, uint32_t /*length*/, uint32_t* result) {
  *result = 0;
}

bool check_record(int32_t fd, int64_t offset, int64_t file_size, unsigned char* record,
                  RecordCheck* check, VARNO_STATUS* status) {
  RecordCheck& c = *check;
  c = RecordCheck{};
  c.offset = offset;
  VARNO_SERVER_INITBLK(status);
  if (offset < 0 || file_size - offset < record_header_size) {
    // Nothing to read as a record header: the end of the file cuts it, or a
    // damaged offset names no place in the file.
    std::memset(record, 0, record_header_size);
    if (offset >= 0 && offset < file_size) {
      VARNO_STATUS ignored;
      varno_s_file_seek(fd, offset, kSeekSet, &ignored);
      const int32_t got = varno_s_file_read(fd, record, record_header_size, &ignored);
      c.length = got > 0 ? static_cast<uint32_t>(got) : 0;
      std::memset(record + c.length, 0, record_header_size - c.length);
    }
    c.message_size = get_u32(record + record_prefix_size + kMsgSizeAt);
    c.defect = RecordCheck::kHeaderPastEnd;
    return false;
  }
  bool seek_failed = false;
  if (!read_record_bytes(fd, offset, record, status, &seek_failed)) {
    // A failed seek or read; the end of the file was ruled out above.
    if (seek_failed) std::memset(record, 0, record_header_size);
    c.defect = RecordCheck::kUnreadable;
    return false;
  }
  c.length = record_header_size;
  c.body_checksum = get_u32(record + kBodyChecksumAt);
  c.marker_ok = record_marker_ok(record);
  c.stored_checksum = get_u32(record + kHeaderChecksumAt);
  store_file_checksum(record + record_prefix_size, kMessageHeaderSize, &c.computed_checksum);
  c.message_size = get_u32(record + record_prefix_size + kMsgSizeAt);
  if (c.message_size < kMessageHeaderSize) {
    c.defect = RecordCheck::kSizeSmall;
  } else if (c.message_size > std::numeric_limits<uint32_t>::max() - record_prefix_size ||
             offset + c.record_length() > file_size) {
    // The first case fits only a file above 4 GiB: the format's 32-bit sum
    // of size and prefix would step (almost) nowhere.
    c.defect = RecordCheck::kSizePastEnd;
  }
  return c.steppable();
}

int64_t find_record_in(const unsigned char* data, size_t length, size_t from) {
  if (length < record_header_size) return -1;
  const size_t last = length - record_header_size;
  for (size_t i = from; i <= last; ++i) {
    // The marker's first byte rules out nearly every position cheaply.
    const void* hit = std::memchr(data + i, kRecordMarker[0], last - i + 1);
    if (hit == nullptr) return -1;
    i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - data);
    if (intact_record_header(data + i)) return static_cast<int64_t>(i);
  }
  return -1;
}
