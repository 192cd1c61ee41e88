// The ring of message records in the data area: walking it by the format's
// step rule, and the header that describes a ring laid out in a file.
#ifndef VARNO_STOREFORMAT_RING_H_
#define VARNO_STOREFORMAT_RING_H_

#include <cstdint>
#include <vector>

#include "messaging/varno.h"
#include "storeformat/message_record.h"
#include "storeformat/store_header.h"

// The walk of the ring by the format's step rule (next_record_offset): from a
// starting offset, one record header at a time, each read and judged by
// check_record. Where it stops and why is for its caller to read; the walk
// never prints and never decides what a defect means.
class RingWalk {
 public:
  enum class Stop : int32_t {
    kNone,       // next() may be called
    kCount,      // the count given was reached
    kEndOfFile,  // the next position lies at or past the end of the file
    kDefect,     // the last record read cannot be stepped over (or was unreadable)
    kNewest,     // stop_at_newest: the record at the newest offset was read
  };

  // A walk of `fd` (`file_size` bytes) from `start`, for at most `count`
  // records, wrapping to 192 when fewer than 304 bytes remain and the place
  // lies past `newest_offset`.
  RingWalk(int32_t fd, int64_t file_size, int64_t start, int64_t newest_offset, uint32_t count);
  // From now on the walk also stops after the record at the newest offset.
  void stop_at_newest() { stop_at_newest_ = true; }

  // Reads the next record header. True when a record was read: check() says
  // what it saw, a defect included (the walk then stops at the next call; a
  // kUnreadable record leaves its pairs in `status`). False when the walk has
  // stopped; stop() says why.
  bool next(VARNO_STATUS* status);
  // After a stop at a record it cannot step over, or at any time: goes on at
  // the first intact record that find_message_record finds from `from` on and
  // before `limit`, numbering on. False when there is none (the walk then
  // stays as it was) or the scan failed (`status` holds why).
  bool resync(int64_t from, int64_t limit, VARNO_STATUS* status);
  // Goes on at `offset`, numbering on.
  void resume_at(int64_t offset);
  // Reads the whole message of the current record (it has no defect) into
  // `message` (message size bytes: the header as read, then the body) and
  // says whether the body checksum word holds. False when the body could not
  // be read (`status` holds why).
  bool read_message(std::vector<unsigned char>* message, bool* body_checksum_ok,
                    VARNO_STATUS* status);

  const RecordCheck& check() const { return check_; }
  const unsigned char* record_header() const { return record_; }
  const unsigned char* message_header() const { return record_ + record_prefix_size; }
  uint32_t number() const { return number_; }  // the current record's, 1-based
  int64_t offset() const { return check_.offset; }
  int64_t next_offset() const { return next_; }    // where the walk goes next
  bool wraps_next() const { return wraps_next_; }  // the next step goes back to 192
  Stop stop() const { return stop_; }

 private:
  int32_t fd_;
  int64_t file_size_;
  int64_t newest_;
  uint32_t count_;
  bool stop_at_newest_ = false;
  int64_t next_;
  bool wraps_next_ = false;
  uint32_t number_ = 0;
  Stop stop_ = Stop::kNone;
  RecordCheck check_;
  unsigned char record_[record_header_size] = {};
};

// Where a ring lies in its file and what its header counts.
struct RingExtent {
  int64_t file_size = 0;
  int64_t oldest_offset = store_header_size;
  int64_t newest_offset = store_header_size;
  uint32_t newest_size = 0;     // the newest record's message size; 0: no record
  uint32_t count = 0;           // messages the header counts
  uint32_t forwarded = 0;       // messages forwarded
  int64_t forward_offset = -1;  // the next record to forward; -1: behind the newest
  HeaderTimeStamp oldest_time{};
  HeaderTimeStamp newest_time{};
};

// The header record of `ring` in header type `type` (its revision): the
// current offset is where the step rule goes behind the newest record (the
// oldest offset when there is none), the last offset is the newest, the flag
// and the opaque words are 0.
CommonHeader ring_header(const RingExtent& ring, int32_t type);

#endif  // VARNO_STOREFORMAT_RING_H_
