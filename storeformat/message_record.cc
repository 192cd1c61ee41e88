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

constexpr uint32_t kRecordPrefixSize = 12;
constexpr uint32_t kRecordHeaderSize = kRecordPrefixSize + kMessageHeaderSize;  // 304

// True when a record header that checks out starts at `p` (304 bytes there).
bool intact_record_header(const unsigned char* p) {
  if (!record_marker_ok(p)) return false;
  uint32_t crc = 0;
  store_file_checksum(p + kRecordPrefixSize, kMessageHeaderSize, &crc);
  return crc == get_u32(p + kHeaderChecksumAt);
}

// read_record_header, telling its callers whether the seek failed (nothing
// was read into `record` then).
uint32_t read_record_header_at(int32_t fd, int64_t offset, unsigned char* record,
                               VARNO_STATUS* status, bool* seek_failed) {
  VARNO_SERVER_INITBLK(status);
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordSeek, status);
    *seek_failed = true;
    return 0;
  }
  const int32_t got = varno_s_file_read(fd, record, kRecordHeaderSize, status);
  if (varno_failed(*status)) {
    // Even a short read hands out what it got (zeros for the rest), so that a
    // listing can show the damaged record as it is on disk.
    const uint32_t kept = got > 0 ? static_cast<uint32_t>(got) : 0;
    std::memset(record + kept, 0, kRecordHeaderSize - kept);
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordRead, status);
    return 0;
  }
  uint32_t crc = 0;
  store_file_checksum(record + kRecordPrefixSize, kMessageHeaderSize, &crc);
  if (crc != get_u32(record + kHeaderChecksumAt)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrHeaderChecksum, status);
  }
  return get_u32(record + kBodyChecksumAt);
}

}  // namespace

uint32_t store_header_size() {
  return kFixedRegionSize;
}
uint32_t record_header_size() {
  return kRecordHeaderSize;
}
uint32_t record_prefix_size() {
  return kRecordPrefixSize;
}

int64_t next_record_offset(int64_t offset, uint32_t message_size, int64_t file_size,
                           int64_t newest_offset) {
  const int64_t next = offset + static_cast<uint32_t>(message_size + kRecordPrefixSize);
  if (file_size - next < int64_t{kRecordHeaderSize} && next > newest_offset) {
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
  unsigned char record[kRecordHeaderSize];
  bool seek_failed = false;
  const uint32_t body_checksum = read_record_header_at(fd, offset, record, status, &seek_failed);
  if (!seek_failed) std::memcpy(header, record + kRecordPrefixSize, kMessageHeaderSize);
  return body_checksum;
}

void read_message_body(int32_t fd, int64_t offset, uint32_t message_size, uint32_t body_checksum,
                       unsigned char* message, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (message_size < kMessageHeaderSize) {
    // The size field is damaged: the body length would be negative, and the
    // caller's buffer is smaller than the header it is meant to hold.
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrBodyRead, status);
    return;
  }
  // An offset so large that the body would lie beyond every file position is
  // handed to the seek as -1, which fails there with its own pairs.
  const int64_t body = offset > std::numeric_limits<int64_t>::max() - kRecordHeaderSize
                           ? -1
                           : offset + kRecordHeaderSize;
  varno_s_file_seek(fd, body, kSeekSet, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordSeek, status);
    return;
  }
  varno_s_file_read(fd, message + kMessageHeaderSize, message_size - kMessageHeaderSize, status);
  if (varno_failed(*status)) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrBodyRead, status);
    return;
  }
  uint32_t expected = 0;
  message_body_checksum(message, message_size, &expected);
  if (body_checksum != expected) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrBodyChecksum, status);
  }
}

void write_message_record(int32_t fd, int64_t offset, uint32_t record_length,
                          const unsigned char* message, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (record_length < kRecordHeaderSize) {
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
  const uint32_t message_size = record_length - kRecordPrefixSize;
  std::memcpy(buffer + kRecordPrefixSize, message, message_size);
  uint32_t body_crc = 0;
  message_body_checksum(message, message_size, &body_crc);
  uint32_t header_crc = 0;
  store_file_checksum(message, kMessageHeaderSize, &header_crc);
  std::memcpy(buffer, kRecordMarker, sizeof kRecordMarker);
  put_u32(buffer + kHeaderChecksumAt, header_crc);
  put_u32(buffer + kBodyChecksumAt, body_crc);
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
  if (limit <= start || limit - start < kRecordHeaderSize) return 0;

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
  constexpr uint32_t kStep = kScanWindow - kRecordHeaderSize;
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
    const uint32_t positions = last ? length - kRecordHeaderSize + 1 : kStep;
    for (uint32_t i = 0; i < positions; ++i) {
      if (intact_record_header(w + i)) {
        *found = base + i;
        return get_u32(w + i + kBodyChecksumAt);
      }
    }
    if (last) return 0;
    std::memmove(w, w + kStep, kRecordHeaderSize);
    base += kStep;
    const int64_t rest = limit - base - kRecordHeaderSize;
    const uint32_t more = static_cast<uint32_t>(rest < kStep ? rest : kStep);
    length = kRecordHeaderSize + more;
    varno_s_file_read(fd, w + kRecordHeaderSize, more, status);
  }
}

void message_body_checksum(const void* /*data*/, uint32_t /*length*/, uint32_t* result) {
  *result = 0;
}
