// find_message_record over an arbitrary file, with the scan's start and limit
// taken from the input. Input layout:
//
//   byte 0      mode: bit 0 limit counts from the end of the file,
//               bit 1 start lies far below 0, bit 2 limit lies near 2^63
//   bytes 1-4   start, signed 32-bit
//   bytes 5-8   limit, signed 32-bit
//   bytes 9-10  hole: the file begins with 2 * this many zero bytes, so that
//               records can straddle the scan's 64 KiB windows
//   bytes 11-   the file's bytes after the hole
//
// The result is compared with a plain search of the file image, judged by the
// bit-by-bit checksum: the first position from `start` whose 304-byte record
// header is intact and lies wholly before `limit`.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"

namespace {

using fuzzsupport::le32;

constexpr size_t kPrefix = 11;

bool intact_at(const std::vector<uint8_t>& image, int64_t at) {
  const uint8_t* p = image.data() + at;
  if (std::memcmp(p, kRecordMarker, sizeof kRecordMarker) != 0) return false;
  return store_file_checksum_reference(p + record_prefix_size, kMessageHeaderSize) == le32(p + 4);
}

// The first intact record header in [start, min(limit, size) - 304], or -1.
int64_t first_intact(const std::vector<uint8_t>& image, int64_t start, int64_t limit) {
  const auto size = static_cast<int64_t>(image.size());
  const int64_t end = (limit < size ? limit : size) - record_header_size;
  for (int64_t at = start; at <= end; ++at) {
    if (intact_at(image, at)) return at;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kPrefix) return 0;
  const uint8_t mode = data[0];
  const int64_t gap = 2 * int64_t{static_cast<uint16_t>(data[9] | (data[10] << 8))};
  const uint8_t* payload = data + kPrefix;
  const size_t payload_size = size - kPrefix;
  std::vector<uint8_t> image(static_cast<size_t>(gap), 0);
  image.insert(image.end(), payload, payload + payload_size);
  const auto file_size = static_cast<int64_t>(image.size());

  int64_t start = static_cast<int32_t>(le32(data + 1));
  int64_t limit = static_cast<int32_t>(le32(data + 5));
  if (mode & 1) limit += file_size;
  if (mode & 2) start -= int64_t{1} << 40;
  if (mode & 4) limit = std::numeric_limits<int64_t>::max() - (limit < 0 ? -limit : limit);

  const std::string path = fuzzsupport::write_input("scan.STORE", payload, payload_size, gap);
  const int32_t fd = fuzzsupport::open_store(path);
  FUZZ_CHECK(fd >= 0);
  int64_t found = -7;
  VARNO_STATUS status;
  const uint32_t checksum = find_message_record(fd, start, limit, &found, &status);
  fuzzsupport::close_store(fd);

  if (start < 0) {
    // The seek fails; nothing is scanned.
    FUZZ_CHECK(fuzzsupport::last_error(status) == kErrRecordSeek);
    FUZZ_CHECK(found == 0 && checksum == 0);
    return 0;
  }
  if (varno_failed(status)) {
    // Only reading past the end of the file can fail here, and a failed scan
    // reports nothing found.
    FUZZ_CHECK(limit > file_size);
    FUZZ_CHECK(fuzzsupport::last_error(status) == kErrRecordRead);
    FUZZ_CHECK(found == 0 && checksum == 0);
    return 0;
  }
  const int64_t expected = first_intact(image, start, limit);
  if (expected < 0) {
    FUZZ_CHECK(found == 0 && checksum == 0);
  } else {
    FUZZ_CHECK(found == expected);
    FUZZ_CHECK(checksum == le32(image.data() + expected + 8));
  }
  return 0;
}
