// What the two halves of RingScan share: the records and runs the finding
// half leaves for the reconciling half. Not for users of the format layer.
#ifndef VARNO_STOREFORMAT_RING_SCAN_INTERNAL_H_
#define VARNO_STOREFORMAT_RING_SCAN_INTERNAL_H_

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "messaging/message_summary.h"
#include "storeformat/message_record.h"
#include "storeformat/ring_scan.h"

namespace ringscan {

// One intact record as the scan saw it. What the library makes of its
// message (its time, whether it reads it) is known once `described`: for the
// first and last two records of every run, and for the records the header
// names or describes.
struct Rec {
  int64_t offset = -1;
  uint32_t size = 0;  // message size
  uint32_t transaction = 0;
  uint32_t body_word = 0;
  bool described = false;  // the three below are known
  bool readable = false;   // the library reads the message with this size
  bool timed = false;      // the message has a first time stamp
  int32_t time = 0;
  int64_t end() const { return offset + int64_t{size} + record_prefix_size; }
};

// A byte-identical copy of the record right before it in a run.
struct Copy {
  uint32_t index;
  int64_t offset;
  int64_t original;
  int64_t length;  // of the record, prefix included
};

// Records that follow each other by the step rule, in file order, without a
// byte between them. Only the first and last are kept; the others are read
// again when needed, so a sound file of any size is one run.
struct Run {
  Rec head;
  Rec tail;
  Rec before_tail;  // the record before the tail, when known (offset -1: not)
  uint32_t records = 0;
  std::vector<Copy> copies;
  int64_t first() const { return head.offset; }
  int64_t end() const { return tail.end(); }
};

// A record of a run: which run, its index there, the record.
struct Place {
  int32_t run = -1;
  uint32_t index = 0;
  Rec rec;
  bool found() const { return run >= 0; }
};

// The header's descriptions of its end records, looked for while finding.
struct Wanted {
  bool active = false;
  int32_t oldest_time = 0;
  int32_t newest_time = 0;
  uint32_t newest_size = 0;
  int64_t newest_offset = 0;
};

// More records fitting a description than this say nothing about which one
// the header means.
constexpr size_t kMaxLike = 65536;
// How far from the header's newest offset a record of the newest's size is
// looked at: bytes inserted or deleted move the newest record this far at
// most before the scan gives up on finding it by its description.
constexpr int64_t kLikeWindow = int64_t{4} << 20;

// A run record whose body checksum word is not 0.
struct BodyWord {
  int32_t run;
  uint32_t index;
  int64_t offset;
  uint32_t word;
};

struct Found {
  std::vector<Run> runs;  // in file order, disjoint
  std::vector<BodyWord> body_words;
  std::vector<Place> at;           // the record at each marked offset, if any
  std::vector<Place> oldest_like;  // first records of runs with the header's oldest time
  std::vector<Place> newest_like;  // records of the last message size near the newest offset
  bool too_many_like = false;
};

// The time and readability of a whole message in memory.
void describe_message(const unsigned char* message, Rec* rec);
// Reads the intact record at `offset` into *rec (its message into
// *message). False when there is no intact record there, or a read failed
// (`status` says which).
bool read_rec(int32_t fd, int64_t offset, int64_t file_size, Rec* rec,
              std::vector<unsigned char>* message, VARNO_STATUS* status);
// Calls visit(index, record) for the run's records `from` to `to`, reading
// them again, until it returns false. False when a read failed.
bool walk_run(int32_t fd, int64_t file_size, const Run& run, uint32_t from, uint32_t to,
              const std::function<bool(uint32_t index, const Rec& rec)>& visit,
              VARNO_STATUS* status);
// What the reconciliation leaves for RingScan.
struct Outcome {
  std::vector<RingScan::Segment> ring;
  uint32_t records = 0;
  uint32_t numbered_records = 0;
  bool numbering_exact = true;
  int64_t bytes = 0;
  bool header_used = false;
  bool lost_any = false;
  bool oldest_agrees = false;
  int64_t layout_start = -1;  // without the header: where the layout showed the ring begins
  ScanForward forward;
};

// The offsets of the header the finding notes records at, by index.
enum Mark : size_t { kMarkOldest, kMarkNewest, kMarkForward, kMarkLast, kMarks };

// Decides which runs form the ring (see ring_scan.h), reports every finding,
// fills *outcome. False when a read failed.
bool reconcile(int32_t fd, int64_t file_size, const CommonHeader* header, const Found& found,
               ScanReporter* reporter, Outcome* outcome, VARNO_STATUS* status);

// Finds every intact record from 192 on and links them into runs; notes the
// records at `marks` and those fitting `wanted`.
bool find_runs(int32_t fd, int64_t file_size, const std::vector<int64_t>& marks,
               const Wanted& wanted, const std::function<void(uint64_t, int64_t)>& progress,
               Found* found, VARNO_STATUS* status);

}  // namespace ringscan

#endif  // VARNO_STOREFORMAT_RING_SCAN_INTERNAL_H_
