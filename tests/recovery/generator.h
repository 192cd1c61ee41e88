// Store files whose every record is known, and damage whose every byte's
// origin is known: the ground truth the recovery properties are checked
// against.
//
// A generated file has a ring of records (every header type; plain, plain
// with free space before the oldest record, or wrapped; none, all or part of
// it forwarded) and, where the layout has free space, older records of an
// earlier lap left in it (stale: no part of the ring). Damage then inserts,
// deletes, overwrites, truncates and appends bytes while a map keeps, for
// every byte of the damaged file, the offset it had in the original (-1 for
// new bytes) and whether it was changed in place.
#ifndef VARNO_TESTS_RECOVERY_GENERATOR_H_
#define VARNO_TESTS_RECOVERY_GENERATOR_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "storeformat/store_header.h"

namespace recovery {

using Rng = std::mt19937_64;

struct Record {
  int64_t offset = 0;  // in the original file
  std::string bytes;   // the whole record, prefix included
  uint32_t transaction = 0;
  uint32_t index = 0;      // ring order, 0 the oldest (stale records: their own order)
  bool forwarded = false;  // ring records before the forward pointer
};

struct Original {
  int32_t type = 2;
  std::string layout;  // "plain", "free before oldest", "wrapped"
  std::string file;
  CommonHeader header{};
  std::vector<Record> ring;
  std::vector<Record> stale;
  uint32_t forwarded = 0;
  uint32_t region = 192;  // bytes of the header region
};

Original make_original(Rng& rng);

struct Damaged {
  std::string file;
  std::vector<int64_t> origin;  // per byte: its offset in the original, -1 when new
  std::vector<bool> changed;    // per byte: changed in place
  std::vector<std::string> edits;
  bool header_edited = false;  // a header field was rewritten with its checksums
  // ...a time stamp of a message without time stamps, which nothing can check
  bool invisible_header_edit = false;
  // Ring records whose size was changed where no witness can tell: their
  // changed header may be kept, and verify may stay clean.
  std::vector<uint32_t> invisible_records;
  std::vector<uint32_t> enlarged;  // ring records whose size was made larger
};

// One or two kinds of damage, chosen by `rng`.
Damaged damage(const Original& original, Rng& rng);

// Where record `r` lies whole and unchanged in the damaged file; -1 when it
// does not (moved bytes count: a record is found where its bytes are).
int64_t intact_at(const Damaged& d, const Record& r);
// Where its 304-byte record header lies whole and unchanged; -1 when not.
// The body checksum word (bytes 8 to 11), which no checksum covers and a
// salvage writes as 0, counts only when `body_word_counts`.
int64_t header_intact_at(const Damaged& d, const Record& r, bool body_word_counts);
// True when the 304 bytes at `at` of the damaged file are the record header
// of `r` (the body checksum word, which no checksum covers, counted only when
// `body_word_counts`), whatever their origin.
bool header_same_at(const Damaged& d, const Record& r, int64_t at, bool body_word_counts);
// True when the header region differs from the original in any byte.
bool header_region_changed(const Original& o, const Damaged& d);

}  // namespace recovery

#endif  // VARNO_TESTS_RECOVERY_GENERATOR_H_
