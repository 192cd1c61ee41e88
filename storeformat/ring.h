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
  // says whether the body checksum word is what the body checksum function
  // gives, which is 0 for every body. False when the body could not
  // be read (`status` holds why).
  bool read_message(std::vector<unsigned char>* message, bool* body_word_zero,
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

// Writes the ring of a new store file of `file_size` bytes through the file
// layer: the file's size, its records, and last the header region that
// describes them in header type `type`. salvage and varno-storegen write
// every store file they make with it. Each call clears `status` and records
// the pairs of the write that failed.
class RingWriter {
 public:
  RingWriter(int32_t fd, int64_t file_size, int32_t type);
  // Gives the file its size: its last byte is written, so that what is never
  // written reads as zeros.
  bool size_file(VARNO_STATUS* status);
  // Writes the record of `message` (message size bytes, the size in its
  // header) at `offset`.
  bool place(int64_t offset, const unsigned char* message, VARNO_STATUS* status);
  // Writes it behind the last record appended (at 192 first). *fits is false,
  // and nothing is written, when it would not end before the end of the file.
  // Appended records go out in large writes: a failure may show at a later
  // call, which then fails.
  bool append(const unsigned char* message, bool* fits, VARNO_STATUS* status);
  // Writes what appends still hold.
  bool flush(VARNO_STATUS* status);
  // The ring of the records appended so far: its size, count, oldest and
  // newest offset and the newest record's size; times and forwarding are the
  // caller's.
  const RingExtent& appended() const { return appended_; }
  // Writes the header region of `header` and forces it, and every record
  // before it, to the disk.
  bool write_header(const CommonHeader& header, VARNO_STATUS* status);

 private:
  int32_t fd_;
  int32_t type_;
  int64_t next_;
  RingExtent appended_;
  std::vector<unsigned char> pending_;  // appended records not written yet
  int64_t pending_at_ = 0;
};

#endif  // VARNO_STOREFORMAT_RING_H_
