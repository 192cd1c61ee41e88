// verify: the whole store file checked, every problem named with its place.
#ifndef VARNO_TOOLS_INSPECT_VERIFY_H_
#define VARNO_TOOLS_INSPECT_VERIFY_H_

#include <cstdint>
#include <vector>

#include "tools/inspect/store.h"

namespace inspect {

class Progress;

// Problem kinds; problems.h gives each its stable name and its text.
enum class ProblemKind : int32_t {
  kHeaderPrimaryBad,
  kHeaderBackupBad,
  kHeaderBlocksDiffer,
  kHeaderShort,
  kUnknownLayout,
  kRecordHeaderPastEnd,
  kRecordMarker,
  kRecordHeaderChecksum,
  kBodyChecksumWord,
  kMessageSizeSmall,
  kMessageSizePastEnd,
  kWalkShort,
  kWalkLong,
  kNewestOffsetMismatch,
  kForwardOffsetNotRecord,
  kForwardedExceedsMessages,
  kOldestAfterNewest,
  kMessageSizeSwallows,
  kMessageSizeShort,
  kRecordShifted,
  kRecordDuplicate,
  kRecordUnplaced,
  kOldestOffsetMismatch,
  kCurrentOffsetMismatch,
  kLastOffsetMismatch,
  kLastSizeMismatch,
  kOldestTimeMismatch,
  kNewestTimeMismatch,
  kForwardCountMismatch,
  kHeaderUnreconciled,
  kStaleRecords,  // a note, not a problem: the free gap of a wrapped ring keeps older records
  kCount,         // not a kind: how many there are
};
constexpr int kProblemKinds = static_cast<int>(ProblemKind::kCount);
// One problem. `offset` is -1 and `record` 0 where they do not apply;
// `expected` and `found` are the two values compared, when `has_values`.
struct Problem {
  ProblemKind kind;
  int64_t offset = -1;
  uint32_t record = 0;
  bool has_values = false;
  int64_t expected = 0;
  int64_t found = 0;
  // A header block whose checksum holds but that lacks the signature: the
  // values are the signature and the word found in its place.
  bool unsigned_block = false;
  // kRecordUnplaced: found is its transaction number, expected its first
  // time stamp when it has one.
  bool timed = false;
};

struct VerifyReport {
  bool walked = false;   // false when no record was looked for (an empty ring, no layout)
  uint32_t records = 0;  // records of the ring, each counted once, the damaged ones included
  uint32_t intact = 0;   // those read intact
  int64_t bytes = 0;     // their bytes
  std::vector<Problem> problems;
  std::vector<Problem> notes;           // what is no fault (stale records)
  uint32_t counts[kProblemKinds] = {};  // problems per kind
};

// Checks the header region, then reads the whole data area once and
// reconciles the records with the header (RingScan): every damaged record
// of the ring, every record shifted, copied or left outside, and every
// field of the header the records contradict. Without a usable header the
// records are still checked in the order the layout gives. False with
// *failure when the file cannot be read.
bool verify_store(const Store& store, Progress* progress, VerifyReport* report, Failure* failure);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_VERIFY_H_
