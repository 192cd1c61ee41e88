// Walking the ring, and the header of a ring.
#include "storeformat/ring.h"

#include <algorithm>
#include <cstring>

#include "fileaccess/file_access.h"

RingWalk::RingWalk(int32_t fd, int64_t file_size, int64_t start, int64_t newest_offset,
                   uint32_t count)
    : fd_(fd), file_size_(file_size), newest_(newest_offset), count_(count), next_(start) {}

bool RingWalk::next(VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (stop_ != Stop::kNone) return false;
  if (number_ >= count_) {
    stop_ = Stop::kCount;
    return false;
  }
  if (next_ >= file_size_) {
    stop_ = Stop::kEndOfFile;
    return false;
  }
  ++number_;
  wraps_next_ = false;
  if (!check_record(fd_, next_, file_size_, record_, &check_, status)) {
    stop_ = Stop::kDefect;
    return true;
  }
  const int64_t here = check_.offset;
  next_ = next_record_offset(here, check_.message_size, file_size_, newest_);
  wraps_next_ = next_ != here + check_.record_length();
  if (stop_at_newest_ && here == newest_) stop_ = Stop::kNewest;
  return true;
}

bool RingWalk::resync(int64_t from, int64_t limit, VARNO_STATUS* status) {
  int64_t found = 0;
  find_message_record(fd_, from, limit, &found, status);
  if (varno_failed(*status) || found <= 0) return false;
  resume_at(found);
  return true;
}

void RingWalk::resume_at(int64_t offset) {
  next_ = offset;
  wraps_next_ = false;
  stop_ = Stop::kNone;
}

bool RingWalk::read_message(std::vector<unsigned char>* message, bool* body_word_zero,
                            VARNO_STATUS* status) {
  const uint32_t size = check_.message_size;
  if (message->size() < size) message->resize(size);
  std::memcpy(message->data(), message_header(), kMessageHeaderSize);
  if (!read_message_body_bytes(fd_, check_.offset, size, message->data(), status)) return false;
  uint32_t expected = 0;
  message_body_checksum(message->data(), size, &expected);
  *body_word_zero = check_.body_checksum == expected;
  return true;
}

CommonHeader ring_header(const RingExtent& ring, int32_t type) {
  CommonHeader h{};
  h.signature = kStoreSignature;
  h.revision = static_cast<uint32_t>(type);
  h.oldest_time = ring.oldest_time;
  h.oldest_offset = ring.oldest_offset;
  h.newest_time = ring.newest_time;
  h.newest_offset = ring.newest_offset;
  h.message_count = ring.count;
  h.forwarded_count = ring.forwarded;
  h.current_offset = ring.newest_size == 0
                         ? ring.oldest_offset
                         : next_record_offset(ring.newest_offset, ring.newest_size, ring.file_size,
                                              ring.newest_offset);
  h.last_offset = ring.newest_offset;
  h.forward_offset = ring.forward_offset >= 0 ? ring.forward_offset : h.current_offset;
  h.last_message_size = ring.newest_size;
  return h;
}

namespace {
// Appended records go out in writes of this size.
constexpr size_t kWriteBlock = size_t{1} << 20;
}  // namespace

RingWriter::RingWriter(int32_t fd, int64_t file_size, int32_t type)
    : fd_(fd), type_(type), next_(store_header_size) {
  appended_.file_size = file_size;
}

bool RingWriter::size_file(VARNO_STATUS* status) {
  const unsigned char zero = 0;
  varno_s_file_seek(fd_, appended_.file_size - 1, kSeekSet, status);
  if (!varno_failed(*status)) varno_s_file_write(fd_, &zero, 1, status);
  return !varno_failed(*status);
}

bool RingWriter::place(int64_t offset, const unsigned char* message, VARNO_STATUS* status) {
  if (!flush(status)) return false;
  const uint32_t size = message_size_of(message);
  write_message_record(fd_, offset, size + record_prefix_size, message, status);
  return !varno_failed(*status);
}

bool RingWriter::append(const unsigned char* message, bool* fits, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  const uint32_t size = message_size_of(message);
  const int64_t length = int64_t{size} + record_prefix_size;
  *fits = next_ + length <= appended_.file_size;
  if (!*fits) return true;
  if (pending_.empty()) pending_at_ = next_;
  const size_t at = pending_.size();
  pending_.resize(at + static_cast<size_t>(length));
  lay_out_record(message, static_cast<uint32_t>(length), pending_.data() + at);
  appended_.newest_offset = next_;
  appended_.newest_size = size;
  ++appended_.count;
  next_ += length;
  return pending_.size() < kWriteBlock || flush(status);
}

bool RingWriter::flush(VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  if (pending_.empty()) return true;
  varno_s_file_seek(fd_, pending_at_, kSeekSet, status);
  for (size_t done = 0; done < pending_.size() && !varno_failed(*status);) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(pending_.size() - done, kWriteBlock));
    varno_s_file_write(fd_, pending_.data() + done, n, status);
    done += n;
  }
  if (varno_failed(*status)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordWrite, status);
  pending_.clear();
  return !varno_failed(*status);
}

bool RingWriter::write_header(const CommonHeader& header, VARNO_STATUS* status) {
  if (!flush(status)) return false;
  write_header_region(fd_, header, type_, status);
  return !varno_failed(*status);
}