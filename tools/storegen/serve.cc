// The service simulation: each step appends the next message to the ring of
// an existing type-2 file and forwards what the mode says, under the store
// file lock, keeping the header and the ring consistent for every reader.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "storeformat/byte_order.h"
#include "storeformat/message_record.h"
#include "tools/storegen/storegen.h"

namespace storegen {

namespace {

// What the tool reads back of a message it wrote.
struct MessageFacts {
  uint32_t transaction = 0;
  uint32_t size = 0;  // the message size field
  uint32_t tags = 0;
  bool has_time = false;  // a message without tags carries no time stamp
  int32_t seconds = 0;    // of its first tag
};

// The body bytes read back: the fixed part and the first time stamp.
constexpr uint32_t kBodyFactsSize = kBodyFixedSize + 8;

class ServeStep {
 public:
  ServeStep(int32_t fd, const std::string& file, const Options& o, VARNO_STATUS* status)
      : fd_(fd), file_(file), o_(o), status_(*status) {}

  // One step; kExitOk or the exit code after reporting. *refused is true
  // when the ring could not take the new message.
  int run(bool* refused) {
    if (const int failed = read_state()) return failed;
    uint32_t k = 0, tags = 0;
    next_message(&k, &tags);
    const uint32_t count = h_.message_count;
    *refused = !make_room(message_size_for(tags) + record_prefix_size);
    // Records dropped leave the ring on the disk before their room is written
    // over: a step cut short there leaves free space, never a record the
    // header counts but no longer holds.
    if (h_.message_count != count && !store_header_region(fd_, h_, 2, &status_)) {
      return io_failure("writing the header of", file_, status_);
    }
    if (!*refused && !append(k, tags)) return io_failure("appending to", file_, status_);
    forward();
    if (!store_header_region(fd_, h_, 2, &status_)) {
      return io_failure("writing the header of", file_, status_);
    }
    return kExitOk;
  }

  const CommonHeader& header() const { return h_; }

 private:
  // The header and the file size; kExitOk or the exit code after reporting.
  int read_state() {
    read_fixed_header(fd_, &h_, &status_);
    if (recorded(status_)) {
      std::fprintf(stderr,
                   "%s: reading the header of %s failed: %s (not a sound type-2 store file)\n",
                   kProgram, file_.c_str(), pairs_text(status_).c_str());
      return kExitIo;
    }
    if (h_.signature != kStoreSignature || h_.revision != 2) {
      std::fprintf(stderr, "%s: %s is not a type-2 store file (signature %08X, revision %u)\n",
                   kProgram, file_.c_str(), h_.signature, h_.revision);
      return kExitIo;
    }
    size_ = varno_s_file_seek_end(fd_, &status_);
    if (recorded(status_)) return io_failure("sizing", file_, status_);
    return kExitOk;
  }

  // The next message continues the newest one: its transaction number plus
  // 1, its tag count. A newest record that cannot be read (or an empty ring)
  // gives the count plus 1 and one tag.
  void next_message(uint32_t* k, uint32_t* tags) const {
    *k = h_.message_count + 1;
    *tags = 1;
    MessageFacts newest;
    if (h_.message_count > 0 && read_facts(h_.newest_offset, &newest)) {
      *k = newest.transaction + 1;
      *tags = newest.tags;
    }
  }

  // Reads what `facts` holds of the message at `offset`; false when it is
  // not one this tool could have written.
  bool read_facts(int64_t offset, MessageFacts* facts) const {
    VARNO_STATUS status;
    unsigned char header[kMessageHeaderSize] = {};
    read_message_header(fd_, offset, header, &status);
    if (recorded(status)) return false;
    facts->size = get_u32(header + kMsgSizeAt);
    facts->transaction = get_u32(header + kMsgTransactionAt);
    if (facts->size < kFixedMessageSize) return false;
    unsigned char body[kBodyFactsSize] = {};
    const uint32_t wanted = std::min(kBodyFactsSize, facts->size - kMessageHeaderSize);
    const int64_t body_at = offset + record_prefix_size + kMessageHeaderSize;
    if (!read_at(fd_, body_at, body, wanted, &status)) return false;
    facts->tags = get_u32(body + 8);
    if (facts->tags > kMaxTags || message_size_for(facts->tags) > facts->size) return false;
    facts->has_time = facts->tags > 0;
    facts->seconds = static_cast<int32_t>(get_u32(body + kBodyFixedSize + 4));
    return true;
  }

  // True when the record at the current offset would lie below the oldest
  // record (the ring has wrapped), so that only the oldest limits it.
  bool below_oldest() const {
    return h_.message_count > 0 && h_.current_offset <= h_.oldest_offset;
  }

  int64_t room() const { return (below_oldest() ? h_.oldest_offset : size_) - h_.current_offset; }

  // Room for a record of `length` bytes at the current offset, dropping the
  // oldest records while they have been forwarded. False when the ring
  // cannot take it: the oldest record still waits, or the room left at the
  // end of the file is too small and a reader would still look there.
  bool make_room(uint32_t length) {
    const int64_t at = h_.current_offset;
    if (at < int64_t{store_header_size} || at > size_) return false;  // a damaged header
    while (room() < int64_t{length}) {
      if (!below_oldest() || h_.forwarded_count == 0 || !drop_oldest()) return false;
    }
    return true;
  }

  // Takes the oldest record, which has been forwarded, off the ring.
  bool drop_oldest() {
    MessageFacts oldest;
    if (!read_facts(h_.oldest_offset, &oldest)) return false;
    h_.message_count -= 1;
    h_.forwarded_count -= 1;
    if (h_.message_count == 0) return true;  // the next record starts the ring again
    h_.oldest_offset = next_record_offset(h_.oldest_offset, oldest.size, size_, h_.newest_offset);
    MessageFacts next;
    if (read_facts(h_.oldest_offset, &next) && next.has_time) {
      h_.oldest_time = {0, next.seconds};
    } else {
      // Without a time stamp of its own: a minute after the one dropped.
      const int64_t later = int64_t{h_.oldest_time.seconds} + 60;
      h_.oldest_time.seconds =
          static_cast<int32_t>(std::min<int64_t>(later, h_.newest_time.seconds));
    }
    return true;
  }

  // Writes message k at the current offset, which make_room has made room
  // for, and makes it the newest record.
  bool append(uint32_t k, uint32_t tags) {
    const int64_t at = h_.current_offset;
    uint32_t length = message_size_for(tags) + record_prefix_size;
    // Behind the record a reader looks for the next one unless fewer than
    // 304 bytes remain: space it could not use is given to this record.
    const int64_t behind = size_ - at - length;
    if (!below_oldest() && behind >= int64_t{record_header_size} && behind < int64_t{length}) {
      length = static_cast<uint32_t>(size_ - at);
    }
    int64_t seconds = int64_t{h_.newest_time.seconds} + 60;
    if (seconds > std::numeric_limits<int32_t>::max()) seconds = h_.newest_time.seconds;
    const HeaderTimeStamp time{0, static_cast<int32_t>(seconds)};
    std::vector<unsigned char> message;
    build_message(k, tags, time.seconds, length - record_prefix_size, &message);
    if (!write_record(fd_, at, message, &status_)) return false;
    if (h_.message_count == 0) {
      h_.oldest_offset = at;
      h_.oldest_time = time;
    }
    h_.message_count += 1;
    h_.newest_offset = at;
    h_.newest_time = time;
    h_.last_offset = at;
    h_.last_message_size = length - record_prefix_size;
    h_.current_offset = next_record_offset(at, h_.last_message_size, size_, at);
    return true;
  }

  // Forwards up to the mode's number of messages, oldest first.
  void forward() {
    for (uint32_t i = 0; i < o_.forward_per_step && h_.forwarded_count < h_.message_count; ++i) {
      h_.forwarded_count += 1;
      if (h_.forwarded_count == h_.message_count) {
        h_.forward_offset = h_.current_offset;
        continue;
      }
      // Step over the record just forwarded; a record that cannot be read
      // leaves the pointer where it is.
      MessageFacts forwarded;
      if (!read_facts(h_.forward_offset, &forwarded)) continue;
      h_.forward_offset =
          next_record_offset(h_.forward_offset, forwarded.size, size_, h_.newest_offset);
    }
  }

  const int32_t fd_;
  const std::string& file_;
  const Options& o_;
  VARNO_STATUS& status_;
  CommonHeader h_{};
  int64_t size_ = 0;
};

}  // namespace

int serve_store(const Options& o) {
  uint32_t refusals = 0;
  for (uint32_t step = 1; o.steps == 0 || step <= o.steps; ++step) {
    VARNO_STATUS status;
    // Opening takes the store file lock (waiting for it), so the header and
    // the records are never changed under a reader of the same lock.
    const int32_t fd = varno_s_file_open(o.file.c_str(), kOpenReadWrite, &status);
    if (fd < 0) return io_failure("opening", o.file, status);
    ServeStep serve(fd, o.file, o, &status);
    bool refused = false;
    const int code = serve.run(&refused);
    VARNO_STATUS close_status;
    varno_s_file_close(fd, &close_status);
    if (code != kExitOk) return code;
    if (recorded(close_status)) return io_failure("closing", o.file, close_status);
    if (refused) ++refusals;
    const CommonHeader& h = serve.header();
    std::printf("step %u: messages=%u forwarded=%u", step, h.message_count, h.forwarded_count);
    if (refusals > 0) std::printf(" refused=%u", refusals);
    std::printf("\n");
    std::fflush(stdout);
    if (o.steps != 0 && step == o.steps) break;
    VARNO_SERVER_MSLEEP(static_cast<int32_t>(o.interval_ms));
  }
  return kExitOk;
}

}  // namespace storegen
