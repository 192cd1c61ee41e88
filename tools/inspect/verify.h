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
  kCount,  // not a kind: how many there are
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
};

struct VerifyReport {
  bool walked = false;   // false when the header was unusable or counts no message
  uint32_t records = 0;  // records read by the walk
  int64_t bytes = 0;     // bytes of those records
  std::vector<Problem> problems;
  uint32_t counts[kProblemKinds] = {};  // problems per kind
};

// Checks the header and walks the ring from the oldest record to the newest
// (further than the header's count when the newest record lies further),
// reading every record whole. Past a record the walk cannot step over it goes
// on at the next intact record the format's scan finds, so damage further on
// is reported too. False with *failure when the file cannot be read.
bool verify_store(const Store& store, Progress* progress, VerifyReport* report, Failure* failure);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_VERIFY_H_
