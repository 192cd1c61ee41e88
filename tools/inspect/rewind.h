// rewind: the forward pointer moved back to any record of the ring, so that
// the service forwards from there again; a dry run unless asked to write.
#ifndef VARNO_TOOLS_INSPECT_REWIND_H_
#define VARNO_TOOLS_INSPECT_REWIND_H_

#include <cstdint>
#include <string>
#include <vector>

#include "storeformat/message_record.h"
#include "tools/inspect/rewind_record.h"
#include "tools/inspect/store.h"

namespace inspect {

struct RewindPlan;

// Keeps the header region an executed rewind is about to replace; false
// when it could not, and nothing is written then.
class RegionKeeper {
 public:
  virtual ~RegionKeeper() = default;
  virtual bool keep(const std::vector<unsigned char>& region, const RewindPlan& plan) = 0;
};

struct RewindRequest {
  enum Target : int32_t {
    kOldest,  // the oldest record, as the utility's reset
    kRecord,  // record n, 1-based in the walk's order
    kLast,    // the last n records
  };
  Target target = kOldest;
  int64_t n = 0;
  bool execute = false;
  RegionKeeper* keeper = nullptr;  // asked before anything is written
};

struct RewindPlan {
  uint32_t messages = 0;        // the header's count
  uint32_t messages_found = 0;  // the ring's records
  uint32_t record = 0;          // the record forwarded next after the rewind
  int64_t old_forward_offset = 0;
  uint32_t old_forwarded = 0;
  int64_t new_forward_offset = 0;
  uint32_t new_forwarded = 0;
  bool executed = false;
  CommonHeader header_after{};  // read back after the rewrite, when executed
  std::string saved_region;     // where the replaced region was kept, when executed
};

struct RewindRefusal {
  enum Kind : int32_t {
    kNone,
    kHeaderUnusable,  // no sound header copy
    kOutOfRange,      // no such record
    kNotBack,         // at or after the forward pointer: it would skip messages
    kUnreachable,     // a damaged stretch of the ring before the target
    // The header contradicts the records where the rewind matters:
    kForwardNotRecord,       // the forward offset is no record of the ring
    kForwardCountDisagrees,  // it lies behind `before` records; the header counts otherwise
    kOldestNotFirst,         // the oldest offset is not the ring's first record (`first`)
    kNotKept,                // the keeper could not keep the region
  };
  Kind kind = kNone;
  int64_t at = -1;      // kUnreachable: where the damaged stretch begins
  uint32_t number = 0;  // kUnreachable: the number of the record there
  uint32_t before = 0;  // kForwardCountDisagrees
  int64_t first = -1;   // kOldestNotFirst
};

// Works out the rewind of the open `store` (opened for writing when
// `request.execute`) on the ring as RingScan finds it, which numbers the
// records, and, when asked, writes it as the utility's reset does:
// the header read with only signed blocks counting, both copies rewritten
// from the chosen one in the file's own layout, the rewrite checked and
// undone on failure. All under the store file lock the open holds. It never
// moves the forward pointer forward in ring order, and refuses when the
// header contradicts the records about where forwarding stands or where the
// ring begins. Before it writes, it hands the header region as it is (the
// detected layout's bytes from offset 0) to request.keeper. False with
// *refusal (nothing written) or *failure.
bool rewind_store(const Store& store, const RewindRequest& request, RewindPlan* plan,
                  RewindRefusal* refusal, Failure* failure);

struct UndoResult {
  enum Refusal : int32_t {
    kNone,
    kHeaderUnusable,  // the file's header cannot be used
    kMoved,           // the ring moved since the rewind (`moved` says what)
    kRegionUnusable,  // the saved region holds no usable header of the file's layout
  };
  Refusal refusal = kNone;
  std::vector<std::string> moved;  // "newest offset 4588 -> 5000", ...
  bool executed = false;
  CommonHeader header_after{};
};

// Puts the header of `saved` back into `store` (open for writing, under its
// lock) when the ring stands as the rewind left it: the same oldest and
// newest offsets and count as before it, the forward offset and forwarded
// count where it put them. Written as rewind writes: both copies from the
// saved header's sound one, in the file's own layout, checked and undone on
// failure. False with result->refusal (nothing written) or *failure.
bool undo_rewind(const Store& store, const SavedRegion& saved, UndoResult* result,
                 Failure* failure);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_REWIND_H_
