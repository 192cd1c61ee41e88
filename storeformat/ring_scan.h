// The damage-tolerant reading of the ring. RingWalk follows the step rule
// from the oldest record as menu 2 does and stops at the first record it
// cannot step over; RingScan finds every record the data area holds and
// decides which of them form the ring:
//
//   1. find: every intact record header (marker "[]\^" and header checksum)
//      is found by searching the marker in large blocks read in file order;
//   2. link: records that follow each other by the step rule form runs; a
//      record whose size runs over a record found inside it is set apart, and
//      a byte-identical copy right behind a record is marked as a copy;
//   3. reconcile: the runs that, in ring order from the oldest record,
//      account for the header's count and end at the newest record the
//      header describes (offset, last message size, newest time) are the
//      ring. Records shifted by inserted or deleted bytes are found by their
//      marker and belong to the ring where it needs them; what the ring does
//      not need is stale. Where the header and the records cannot be
//      reconciled, the layout and the records' own order decide.
//
// Every finding goes to one ScanReporter call, with its offsets: the stretches
// of the ring dropped, the records found but not placed, every field of the
// header the records contradict. RingScan never prints and never decides what
// a finding means to its user; verify sorts findings into problems, salvage
// writes the ring and lists what it could not place.
#ifndef VARNO_STOREFORMAT_RING_SCAN_H_
#define VARNO_STOREFORMAT_RING_SCAN_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "messaging/varno.h"
#include "storeformat/message_record.h"
#include "storeformat/store_header.h"

struct ScanFinding {
  enum Kind : int32_t {
    // A stretch of the ring, [offset, end), that holds no record the ring
    // keeps: damaged records, bytes inserted, the cut-off part of a record.
    kLost,
    // Where the ring expects a record (at `offset`), its record header is
    // damaged; `expected` and `found` as RecordCheck compares them.
    kRecordMarker,    // found: the four bytes read as a little-endian word
    kRecordChecksum,  // expected: computed, found: stored
    kSizeSmall,       // found: the message size
    kSizePastEnd,     // expected: the most that fits, found: the message size
    kHeaderPastEnd,   // expected: 304, found: bytes left before the end of the file
    // A record with an intact header whose message size is wrong: it runs over
    // the record found at `end` (kSwallowing), or it ends short of the record
    // at `end` and its message cannot be read with it (kSizeWrong).
    kSwallowing,
    kSizeWrong,
    // The record at `offset` is not where the step rule from the record
    // before it puts it (`expected`): bytes were inserted or deleted.
    kShifted,
    // The record at `offset` is a byte-identical copy of the record right
    // before it (at `expected`); it counts once.
    kDuplicate,
    kBodyWord,  // a ring record whose body checksum word (`found`) is not 0
    // Records that are no part of the ring: [offset, end) holds `count`
    // intact records the ring does not need (a wrapped ring's free gap keeps
    // older records; records before the oldest or behind the newest).
    kStale,
    // One intact record whose place is not certain: it may belong to the
    // ring where the header and the records disagree. `transaction`, `time`.
    kUnplaced,
    // The header against the records: `found` is the header's value,
    // `expected` what the records show.
    kOldestOffset,
    kNewestOffset,
    kCurrentOffset,
    kLastOffset,
    kLastSize,
    kOldestTime,
    kNewestTime,
    kCount,          // expected: the ring's records (a lower bound after a loss)
    kForwardOffset,  // found: the forward offset, which is no record of the ring
    kForwardCount,   // expected: the ring's records before the forward offset
    // The header names neither the oldest nor the newest record of any ring
    // the records form: the layout and the records' own order decided.
    kUnreconciled,
    kKinds  // not a kind: how many there are
  };
  Kind kind = kLost;
  int64_t offset = -1;
  int64_t end = -1;
  int64_t expected = 0;
  int64_t found = 0;
  uint32_t record = 0;       // in the ring: the 1-based number of the record there, 0 unknown
  uint32_t count = 0;        // kStale: records in the stretch
  uint32_t transaction = 0;  // kUnplaced
  bool timed = false;        // kUnplaced: the message has a time stamp
  int32_t time = 0;          // kUnplaced: its first time stamp, seconds
};

// Receives each finding once, the ring's in ring order, then the records
// outside it, then the header's contradictions.
class ScanReporter {
 public:
  virtual ~ScanReporter() = default;
  virtual void report(const ScanFinding& finding) = 0;
};

// Where the forward pointer stands among the ring's records.
struct ScanForward {
  enum Place : int32_t {
    kNoRing,        // no header, or it counts no message
    kRecord,        // the forward offset is a record of the ring
    kBehindNewest,  // the place the step rule goes to behind the newest record
    kElsewhere,     // neither: the header contradicts the records
  };
  Place place = kNoRing;
  uint32_t before = 0;        // ring records before it (kRecord, kBehindNewest)
  bool exact = false;         // `before` is known: the ring's numbering holds up to it
  bool count_agrees = false;  // exact, and the header's forwarded count is `before`
  // Records that both witnesses show forwarded: before the forward offset,
  // numbered, and within the header's forwarded count.
  uint32_t certain = 0;
  // The ring is full and the forward offset is its oldest record, which is
  // also the place behind its newest: none and all forwarded look the same,
  // and only the count tells them apart. `certain` is 0 then.
  bool full_ring = false;
};

class RingScan {
 public:
  // A stretch of ring records that follow each other by the step rule, in
  // file order: `records` records from `first`, ending at `end`, the copies
  // at `copies` skipped. `after_loss`: a dropped stretch lies before it.
  // `numbered`: the ring number of its first record is known, `base` (0 for
  // the oldest): every dropped stretch before it held a number of damaged
  // records their own sizes tell.
  struct Segment {
    int64_t first = 0;
    int64_t end = 0;
    uint32_t records = 0;
    std::vector<int64_t> copies;
    bool after_loss = false;
    bool numbered = true;
    uint32_t base = 0;
  };

  // A scan of the open file `fd` of `file_size` bytes whose header, when it
  // can be trusted at all, is `header` (null: none; the layout decides).
  RingScan(int32_t fd, int64_t file_size, const CommonHeader* header);

  // Reads the data area once in large blocks, then reconciles. `reporter`
  // and `progress` (bytes of the data area read so far) may be empty. False
  // when the file cannot be read: `status` holds the pairs of the read.
  bool run(ScanReporter* reporter,
           const std::function<void(uint64_t records, int64_t bytes)>& progress,
           VARNO_STATUS* status);

  // The ring, in ring order. Empty when there is none.
  const std::vector<Segment>& ring() const { return ring_; }
  uint32_t records() const { return records_; }  // ring records read, copies not counted
  // The ring's records, the damaged ones its dropped stretches held
  // included; exact when `numbering_exact`, else a lower bound.
  uint32_t numbered_records() const { return numbered_records_; }
  bool numbering_exact() const { return numbering_exact_; }
  int64_t bytes() const { return bytes_; }  // their bytes, prefixes included
  bool header_used() const { return header_used_; }
  bool lost_any() const { return lost_any_; }
  // Without the header, where the file's layout showed that a wrapped ring
  // begins (-1: it was taken in file order).
  int64_t layout_start() const { return layout_start_; }
  const ScanForward& forward() const { return forward_; }
  // The header's oldest offset is the ring's first record.
  bool oldest_agrees() const { return oldest_agrees_; }

  RingScan(const RingScan&) = delete;
  RingScan& operator=(const RingScan&) = delete;
  ~RingScan();

 private:
  int32_t fd_;
  int64_t size_;
  bool has_header_;
  CommonHeader header_{};
  std::vector<Segment> ring_;
  uint32_t records_ = 0;
  uint32_t numbered_records_ = 0;
  bool numbering_exact_ = true;
  int64_t bytes_ = 0;
  bool header_used_ = false;
  bool lost_any_ = false;
  bool oldest_agrees_ = false;
  int64_t layout_start_ = -1;
  ScanForward forward_;
};

// Reads the ring's records one after the other, in ring order: each record's
// header and its whole message.
class RingReader {
 public:
  RingReader(int32_t fd, int64_t file_size, const std::vector<RingScan::Segment>& ring);
  // Reads the next ring record. False at the end of the ring, or when a read
  // failed (`status` then holds its pairs).
  bool next(VARNO_STATUS* status);
  int64_t offset() const { return check_.offset; }
  const RecordCheck& check() const { return check_; }
  const unsigned char* message() const { return message_.data(); }  // message size bytes
  // Its 0-based ring number, when `numbered`.
  uint32_t index() const { return index_; }
  bool numbered() const { return numbered_; }
  bool after_loss() const { return after_loss_; }  // a dropped stretch lies right before it

 private:
  int32_t fd_;
  int64_t size_;
  const std::vector<RingScan::Segment>& ring_;
  size_t segment_ = 0;
  int64_t at_ = -1;  // next record's offset in the current segment
  uint32_t left_ = 0;
  uint32_t index_ = 0;
  uint32_t next_index_ = 0;
  bool numbered_ = true;
  bool started_ = false;
  bool after_loss_ = false;
  RecordCheck check_;
  unsigned char record_[record_header_size] = {};
  std::vector<unsigned char> message_;
};

#endif  // VARNO_STOREFORMAT_RING_SCAN_H_
