// salvage: every intact record of a damaged store file, in ring order, into a
// new store file whose header matches it.
#ifndef VARNO_TOOLS_INSPECT_SALVAGE_H_
#define VARNO_TOOLS_INSPECT_SALVAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "storeformat/store_header.h"
#include "tools/inspect/store.h"

namespace inspect {

class Progress;

struct LostRange {
  int64_t start;  // file offsets of FILE, end exclusive
  int64_t end;
};

// An intact record of FILE whose place in the ring is not certain; never
// written to OUT, always listed.
struct UnplacedRecord {
  int64_t offset;
  int64_t length;  // bytes of the record, prefix included
  uint32_t transaction;
  bool timed;
  int32_t time;  // its first time stamp, seconds
};

// Why OUT counts as forwarded what it does.
enum class ForwardNote : int32_t {
  kAgree,           // the forward offset and the forwarded count agree
  kNoHeader,        // no usable header: nothing is known to be forwarded
  kCountDisagrees,  // they disagree: only what both show is counted
  kNotRecord,       // the forward offset is no record of the ring: nothing counted
  kDamageBefore,    // a damaged stretch lies before the forward offset: counted up to it
  kNoRing,          // the header counts no message
  kFullRing,        // a full ring: the forward offset names the oldest and behind the newest
};

struct SalvageReport {
  int32_t type = 2;            // header type OUT was written in
  bool header_usable = false;  // false: records were found in FILE without its header
  bool header_used = false;    // the header named the ring's ends (else the layout decided)
  uint32_t header_count = 0;   // FILE's number of messages (when usable)
  uint32_t header_forwarded = 0;
  uint32_t kept = 0;
  int64_t kept_bytes = 0;
  uint32_t forwarded = 0;  // kept records both the forward offset and the count show forwarded
  ForwardNote forward_note = ForwardNote::kNoHeader;
  uint32_t forward_before = 0;  // ring records before FILE's forward offset, when it is one
  uint32_t words_cleared = 0;   // kept records whose non-zero body checksum word became 0
  uint32_t copies = 0;          // byte-identical copies of a record, not kept
  uint32_t stale = 0;           // records outside the ring, not kept
  std::vector<UnplacedRecord> unplaced;
  std::vector<LostRange> lost;
  int64_t lost_bytes = 0;
  uint32_t lost_records = 0;  // FILE's count minus the records kept, when more were counted
  int64_t ring_start = -1;    // without a usable header: where the layout showed the ring begins
  CommonHeader out_header{};
  int64_t out_size = 0;
};

// Refusals of salvage_store, for the exit status and the message.
enum class SalvageRefusal : int32_t { kNone, kSameFile, kOutExists, kNoRecords, kInterrupted };

// Writes every record of the ring of the open `store` (RingScan: the header
// reconciled with the records found), in ring order, to the new store file
// `out_path`, laid end to end from 192 under a header of the store's type
// (type 2 when it has no known layout) that describes them. OUT is written
// under a temporary name in its folder, forced to the disk, and only then
// renamed to `out_path`, which it never replaces: a salvage that fails or is
// interrupted (platform::interrupted) leaves no OUT and no temporary file.
// OUT gets the size of the store (at most what 32-bit offsets reach, for
// types 0 and 1). False with *refusal set (kSameFile, kOutExists,
// kNoRecords for a store too short to hold one record, kInterrupted) or
// *failure (step "creating" or "writing" for OUT). The store is only read.
// When `kept_offsets` is given, it receives FILE's offset of every record
// kept, in OUT's order.
bool salvage_store(const Store& store, const std::string& out_path, Progress* progress,
                   SalvageReport* report, SalvageRefusal* refusal, Failure* failure,
                   std::vector<int64_t>* kept_offsets = nullptr);

// The name OUT is written under until it is complete: in OUT's folder, with
// OUT's extension (so its store file lock is OUT's), marked with `pid`.
std::string partial_name(const std::string& out_path, int pid);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_SALVAGE_H_
