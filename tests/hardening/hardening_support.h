// What the hardening tests share: store files from varno-storegen, menu
// commands driven in-process under injected faults, the header read back from
// a file, and the model of what the header read makes of a region whose two
// copies are each old, new or torn.
#ifndef VARNO_TESTS_HARDENING_HARDENING_SUPPORT_H_
#define VARNO_TESTS_HARDENING_HARDENING_SUPPORT_H_

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "storeformat/store_header.h"
#include "tests/hardening/fault_injection.h"
#include "tests/support/bytes.h"

namespace hardening {

using testsupport::Pairs;
using testsupport::pairs_of;

// Size of the header region of `type` (0, 1, 2): 136, 144, 192.
uint32_t region_size(int32_t type);

// Runs varno-storegen to write `path` (environment directory `home`) and
// returns the file's bytes; an empty string when it failed (the test has been
// failed then).
std::string storegen(const std::string& home, const std::string& path,
                     const std::vector<std::string>& options);

// Number of descriptors this process has open.
int open_descriptors();

// One menu command run in this process: standard input from a file holding
// `answers`, screen text captured, the file layer's calls under `plan`.
struct CommandRun {
  std::string screen;
  std::vector<faults::Hit> hits;
  std::array<int64_t, faults::kKinds> calls{};
  int descriptors_before = 0;
  int descriptors_after = 0;
};
CommandRun run_command(void (*command)(), const std::string& answers_path,
                       const std::string& answers, const std::vector<faults::Fault>& plan);

// check_store_header on the file at `path`, with the real calls.
struct HeaderReadBack {
  bool ok = false;    // nothing recorded
  Pairs pairs;        // what was recorded
  HeaderCheck check;  // what the read saw
  std::string block;  // the record, encoded as a 92-byte block
  int32_t type = -1;  // the header type the read found
};
HeaderReadBack read_back(const std::string& path);

// The header the read gives for a file made of `region` followed by nothing
// that matters: the record as a 92-byte block, for comparing with a read back.
std::string encoded(const CommonHeader& header);

// How one copy (block and its checksum) of a region compares with the same
// copy of an old and a new region.
enum class Copy { kOld, kNew, kTorn };
// What the header read gives: the old record, the new record, or the
// failure of both blocks bad with (13, 13510).
enum class Verdict { kOld, kNew, kBothBad };
struct Expected {
  Verdict verdict;
  int32_t block_status;  // what the read's block check finds
};
const char* verdict_name(Verdict verdict);

// Copy `which` (0: primary, 1: backup) of `actual` compared with `old_region`
// and `new_region`, for block size `block_size`. Equal to both counts as old.
Copy copy_state(const std::string& actual, const std::string& old_region,
                const std::string& new_region, uint32_t block_size, int which);

// The reader's rule for two copies: a copy that is neither old nor new fails
// its checksum; two copies that each check out but differ are refused.
Expected expected_read(Copy primary, Copy backup);

}  // namespace hardening

#endif  // VARNO_TESTS_HARDENING_HARDENING_SUPPORT_H_
