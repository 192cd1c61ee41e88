// Writing a new store file: where the records lie, then the records, the
// header region and any damage asked for.
#include <cstdint>
#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "storeformat/message_record.h"
#include "storeformat/ring.h"
#include "tools/storegen/storegen.h"

namespace storegen {

namespace {

// Spare room of the default capacity of a wrapped ring: one record for the
// free space between the newest and the oldest record, and this much left
// unused at the end of the file.
constexpr int64_t kDefaultWrapTail = 100;

// The capacity the options ask for; false (after saying why) when it cannot
// hold the layout or is too large for the header type.
bool plan_capacity(const Options& o, uint32_t length, int64_t* capacity) {
  const int64_t records_bytes = int64_t{o.messages} * length;
  const int64_t minimum = store_header_size + records_bytes + (o.wrap ? length : 0);
  *capacity = o.capacity >= 0 ? o.capacity : o.wrap ? minimum + kDefaultWrapTail : minimum;
  if (o.wrap && o.messages < 2) {
    usage_error("--wrap needs at least 2 messages (one on each side of the wrap)");
    return false;
  }
  if (*capacity < minimum) {
    usage_error("--capacity " + std::to_string(*capacity) + " cannot hold " +
                std::to_string(o.messages) + " records of " + std::to_string(length) + " bytes" +
                (o.wrap ? " and one spare record" : "") + " (need " + std::to_string(minimum) +
                ")");
    return false;
  }
  if (*capacity > kMaxCapacity) {
    usage_error("file would be larger than " + std::to_string(kMaxCapacity) + " bytes");
    return false;
  }
  if (o.type != 2 && *capacity > kMaxOldCapacity) {
    usage_error("header types 0 and 1 keep 32-bit offsets: capacity above 4294967295");
    return false;
  }
  return true;
}

// Works out the layout for the options; false (after printing why) when the
// capacity cannot hold it.
bool plan_layout(const Options& o, RingLayout* ring) {
  const uint32_t length = message_size_for(o.tags) + record_prefix_size;
  int64_t capacity = 0;
  if (!plan_capacity(o, length, &capacity)) return false;
  ring->capacity = capacity;
  ring->record_length = length;
  ring->records = o.messages;
  ring->top = 0;
  ring->top_start = 0;
  if (o.wrap) {
    const int64_t free_bytes = capacity - store_header_size - int64_t{o.messages} * length;
    int64_t tail = free_bytes - length;
    if (tail > int64_t{record_header_size} - 1) tail = record_header_size - 1;
    ring->top = (o.messages + 1) / 2;
    ring->top_start = capacity - tail - int64_t{ring->top} * length;
  }
  return true;
}

CommonHeader header_for(const Options& o, const RingLayout& ring) {
  const uint32_t n = ring.records;
  RingExtent extent;
  extent.file_size = ring.capacity;
  extent.oldest_offset = record_offset(ring, 0);
  extent.newest_offset = record_offset(ring, n - 1);
  extent.newest_size = ring.record_length - record_prefix_size;
  extent.count = o.count;
  extent.forwarded = o.forwarded;
  extent.forward_offset = o.forwarded < n ? record_offset(ring, o.forwarded) : -1;
  extent.oldest_time = {0, static_cast<int32_t>(o.start_time)};
  extent.newest_time = {0, static_cast<int32_t>(o.start_time + int64_t{60} * (n - 1))};
  return ring_header(extent, o.type);
}

// Everything but the open and the close; the step that failed in *what.
bool write_store(int32_t fd, const Options& o, const RingLayout& ring, const char** what,
                 VARNO_STATUS* status) {
  // The format layer's writer, as salvage writes a store file: the size
  // first (what is never written reads as zeros), the records, the header.
  RingWriter writer(fd, ring.capacity, o.type);
  *what = "sizing";
  if (!writer.size_file(status)) return false;

  *what = "writing a record of";
  std::vector<unsigned char> message;
  for (uint32_t i = 0; i < ring.records; ++i) {
    const int32_t seconds = static_cast<int32_t>(o.start_time + int64_t{60} * i);
    build_message(i + 1, o.tags, seconds, 0, &message);
    if (!writer.place(record_offset(ring, i), message.data(), status)) return false;
  }

  *what = "writing the header of";
  if (!writer.write_header(header_for(o, ring), status)) return false;

  *what = "damaging";
  for (const Damage& d : o.damage) {
    if (!apply_damage(fd, o, ring, d, status)) return false;
  }
  return true;
}

}  // namespace

int64_t record_offset(const RingLayout& ring, uint32_t i) {
  const int64_t length = ring.record_length;
  if (i < ring.top) return ring.top_start + int64_t{i} * length;
  return int64_t{store_header_size} + int64_t{i - ring.top} * length;
}

int generate_store(const Options& o) {
  RingLayout ring{};
  if (!plan_layout(o, &ring) || !damage_fits(o, ring)) return kExitUsage;

  VARNO_STATUS status;
  const int32_t fd =
      varno_s_file_open(o.file.c_str(), kOpenReadWrite | kOpenCreate | kOpenTruncate, &status);
  if (fd < 0) return io_failure("opening", o.file, status);
  const char* what = "";
  if (!write_store(fd, o, ring, &what, &status)) {
    const int code = io_failure(what, o.file, status);
    VARNO_STATUS close_status;
    varno_s_file_close(fd, &close_status);
    return code;
  }
  varno_s_file_close(fd, &status);
  if (recorded(status)) return io_failure("closing", o.file, status);
  return kExitOk;
}

}  // namespace storegen
