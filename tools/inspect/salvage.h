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

struct SalvageReport {
  int32_t type = 2;            // header type OUT was written in
  bool header_usable = false;  // false: records were found in FILE without its header
  uint32_t header_count = 0;   // FILE's number of messages (when usable)
  uint32_t kept = 0;
  int64_t kept_bytes = 0;
  uint32_t forwarded = 0;      // kept records known to lie before FILE's forward offset
  uint32_t words_cleared = 0;  // kept records whose non-zero body checksum word became 0
  std::vector<LostRange> lost;
  int64_t lost_bytes = 0;
  uint32_t lost_records = 0;  // FILE's count minus the records kept, when more were counted
  int64_t ring_start = -1;    // without a usable header: where the layout showed the ring begins
  CommonHeader out_header{};
  int64_t out_size = 0;
};

// Refusals of salvage_store, for the exit status and the message.
enum class SalvageRefusal : int32_t { kNone, kSameFile, kOutExists, kNoRecords };

// Writes every intact record of the open `store`, in ring order, to the new
// store file `out_path`, laid end to end from 192 under a header of the
// store's type (type 2 when it has no known layout). `out_path` is created
// exclusively, never replaced; it gets the size of the store (at most what
// 32-bit offsets reach, for types 0 and 1). False with *refusal set
// (kSameFile, kOutExists, kNoRecords for a store too short to hold one
// record) or *failure; OUT is removed again when a failure comes after it was
// created. The store is only read. When `kept_offsets` is given, it receives
// FILE's offset of every record kept, in OUT's order.
bool salvage_store(const Store& store, const std::string& out_path, Progress* progress,
                   SalvageReport* report, SalvageRefusal* refusal, Failure* failure,
                   std::vector<int64_t>* kept_offsets = nullptr);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_SALVAGE_H_
