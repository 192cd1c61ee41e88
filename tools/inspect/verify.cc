// verify: the header's two copies, then the ring as the scan finds it, each
// finding sorted into a problem (or a note) with its place.
#include "tools/inspect/verify.h"

#include "storeformat/ring_scan.h"
#include "tools/inspect/progress.h"

namespace inspect {

namespace {

// The problem kind of each scan finding; kCount where a finding is no
// problem of its own (a dropped stretch: its cause at its start is).
constexpr ProblemKind kFindingKinds[] = {
    ProblemKind::kCount,                   // kLost
    ProblemKind::kRecordMarker,            // kRecordMarker
    ProblemKind::kRecordHeaderChecksum,    // kRecordChecksum
    ProblemKind::kMessageSizeSmall,        // kSizeSmall
    ProblemKind::kMessageSizePastEnd,      // kSizePastEnd
    ProblemKind::kRecordHeaderPastEnd,     // kHeaderPastEnd
    ProblemKind::kMessageSizeSwallows,     // kSwallowing
    ProblemKind::kMessageSizeShort,        // kSizeWrong
    ProblemKind::kRecordShifted,           // kShifted
    ProblemKind::kRecordDuplicate,         // kDuplicate
    ProblemKind::kBodyChecksumWord,        // kBodyWord
    ProblemKind::kStaleRecords,            // kStale
    ProblemKind::kRecordUnplaced,          // kUnplaced
    ProblemKind::kOldestOffsetMismatch,    // kOldestOffset
    ProblemKind::kNewestOffsetMismatch,    // kNewestOffset
    ProblemKind::kCurrentOffsetMismatch,   // kCurrentOffset
    ProblemKind::kLastOffsetMismatch,      // kLastOffset
    ProblemKind::kLastSizeMismatch,        // kLastSize
    ProblemKind::kOldestTimeMismatch,      // kOldestTime
    ProblemKind::kNewestTimeMismatch,      // kNewestTime
    ProblemKind::kWalkShort,               // kCount (or kWalkLong)
    ProblemKind::kForwardOffsetNotRecord,  // kForwardOffset
    ProblemKind::kForwardCountMismatch,    // kForwardCount
    ProblemKind::kHeaderUnreconciled,      // kUnreconciled
};
static_assert(sizeof kFindingKinds / sizeof kFindingKinds[0] == ScanFinding::kKinds,
              "one problem kind per finding kind");

class Verifier : public ScanReporter {
 public:
  Verifier(const Store& store, Progress* progress, VerifyReport* report, Failure* failure)
      : store_(store), h_(store.header), progress_(progress), r_(*report), failure_(failure) {}

  bool run() {
    const bool usable = check_header();
    if (usable && !check_counts()) return true;
    if (!usable && store_.check.stage != HeaderCheck::kChecked) return true;
    return scan(usable);
  }

  void report(const ScanFinding& f) override {
    ProblemKind kind = kFindingKinds[f.kind];
    if (kind == ProblemKind::kCount) return;
    if (f.kind == ScanFinding::kCount && f.found < f.expected) kind = ProblemKind::kWalkLong;
    Problem p{kind, f.offset, f.record, false, 0, 0};
    switch (f.kind) {
      case ScanFinding::kSwallowing:
      case ScanFinding::kSizeWrong:
        p.has_values = true;
        p.expected = f.end;
        p.found = f.found;
        break;
      case ScanFinding::kStale:
        p.has_values = true;
        p.expected = f.end;
        p.found = f.count;
        r_.notes.push_back(p);
        return;
      case ScanFinding::kUnplaced:
        p.has_values = true;
        p.expected = f.timed ? f.time : -1;
        p.found = f.transaction;
        p.timed = f.timed;
        break;
      case ScanFinding::kForwardOffset:
      case ScanFinding::kUnreconciled:
        break;
      case ScanFinding::kShifted:
      case ScanFinding::kDuplicate:
        p.has_values = true;
        p.expected = f.expected;
        p.found = f.offset;
        break;
      default:
        p.has_values = true;
        p.expected = f.expected;
        p.found = f.found;
        break;
    }
    add(p);
  }

 private:
  // The problems of the header region; true when the header can be used.
  bool check_header() {
    const HeaderCheck& c = store_.check;
    if (c.type < 0) {
      add({ProblemKind::kUnknownLayout, 0});
      return false;
    }
    if (c.stage != HeaderCheck::kChecked) {
      add({ProblemKind::kHeaderShort, 0, 0, true, 2 * int64_t{c.block_size} + 8, c.length});
      return false;
    }
    if (c.copy_counts(0) && c.copy_counts(1) && c.block_status == kBothBad) {
      add({ProblemKind::kHeaderBlocksDiffer, 0});
    }
    const ProblemKind kinds[2] = {ProblemKind::kHeaderPrimaryBad, ProblemKind::kHeaderBackupBad};
    for (int copy = 0; copy < 2; ++copy) {
      const int64_t at = copy == 0 ? 0 : c.block_size + 4;
      if (c.computed[copy] != c.stored[copy]) {
        add({kinds[copy], at, 0, true, c.computed[copy], c.stored[copy]});
      } else if (!c.signature_ok(copy)) {
        Problem p{kinds[copy], at, 0, true, kStoreSignature, c.signature[copy]};
        p.unsigned_block = true;
        add(p);
      }
    }
    return store_.header_usable();
  }

  // The header's counts and times; false when it counts no message, so
  // that its offsets and times mean nothing.
  bool check_counts() {
    if (h_.forwarded_count > h_.message_count) {
      add({ProblemKind::kForwardedExceedsMessages, -1, 0, true, h_.message_count,
           h_.forwarded_count});
    }
    return h_.message_count > 0;
  }

  // A header whose oldest time is after its newest is at fault unless it
  // names the times its end messages carry (a clock that went back, or a
  // body damaged where no checksum sees it).
  void check_times(bool times_contradicted) {
    if (h_.oldest_time.seconds > h_.newest_time.seconds && times_contradicted) {
      add({ProblemKind::kOldestAfterNewest, -1, 0, true, h_.newest_time.seconds,
           h_.oldest_time.seconds});
    }
  }

  bool scan(bool usable) {
    r_.walked = true;
    RingScan ring(store_.fd, store_.file_size, usable ? &h_ : nullptr);
    VARNO_STATUS status;
    const auto progress = [this](uint64_t records, int64_t bytes) {
      if (progress_ != nullptr) progress_->update(records, bytes);
    };
    if (!ring.run(this, progress, &status)) {
      *failure_ = {Step::kReadingRecord, status};
      return false;
    }
    if (usable) {
      check_times(!ring.header_used() ||
                  r_.counts[static_cast<int>(ProblemKind::kOldestTimeMismatch)] > 0 ||
                  r_.counts[static_cast<int>(ProblemKind::kNewestTimeMismatch)] > 0);
    }
    r_.records = ring.numbered_records();
    r_.intact = ring.records();
    r_.bytes = ring.bytes();
    return true;
  }

  void add(const Problem& p) {
    r_.problems.push_back(p);
    ++r_.counts[static_cast<int>(p.kind)];
  }

  const Store& store_;
  const CommonHeader& h_;
  Progress* progress_;
  VerifyReport& r_;
  Failure* failure_;
};

}  // namespace

bool verify_store(const Store& store, Progress* progress, VerifyReport* report, Failure* failure) {
  *report = VerifyReport{};
  return Verifier(store, progress, report, failure).run();
}

}  // namespace inspect
