// verify: the header's two copies, every record of the ring, and the
// header's counts and offsets against what the walk met.
#include "tools/inspect/verify.h"

#include <algorithm>
#include <limits>

#include "storeformat/checksum.h"
#include "storeformat/ring.h"
#include "tools/inspect/progress.h"

namespace inspect {

namespace {

class Verifier {
 public:
  Verifier(const Store& store, Progress* progress, VerifyReport* report, Failure* failure)
      : store_(store),
        h_(store.header),
        size_(store.file_size),
        progress_(progress),
        r_(*report),
        failure_(failure),
        walk_(store.fd, store.file_size, store.header.oldest_offset, store.header.newest_offset,
              std::numeric_limits<uint32_t>::max()) {}

  bool run() {
    if (!check_header() || !check_counts()) return true;
    if (!walk()) return false;
    judge_walk();
    return true;
  }

 private:
  // The problems of the header region; true when the ring can be walked.
  bool check_header() {
    const HeaderCheck& c = store_.check;
    if (c.type < 0) {
      add(ProblemKind::kUnknownLayout, 0);
      return false;
    }
    if (c.stage != HeaderCheck::kChecked) {
      add(ProblemKind::kHeaderShort, 0, 0, 2 * int64_t{c.block_size} + 8, c.length);
      return false;
    }
    if (c.copy_counts(0) && c.copy_counts(1) && c.block_status == kBothBad) {
      add(ProblemKind::kHeaderBlocksDiffer, 0);
    }
    const ProblemKind kinds[2] = {ProblemKind::kHeaderPrimaryBad, ProblemKind::kHeaderBackupBad};
    for (int copy = 0; copy < 2; ++copy) {
      const int64_t at = copy == 0 ? 0 : c.block_size + 4;
      if (c.computed[copy] != c.stored[copy]) {
        add(kinds[copy], at, 0, c.computed[copy], c.stored[copy]);
      } else if (!c.signature_ok(copy)) {
        add(kinds[copy], at, 0, kStoreSignature, c.signature[copy]);
        r_.problems.back().unsigned_block = true;
      }
    }
    return store_.header_usable();
  }

  // The header's counts and times; true when it counts messages to walk.
  bool check_counts() {
    if (h_.forwarded_count > h_.message_count) {
      add(ProblemKind::kForwardedExceedsMessages, -1, 0, h_.message_count, h_.forwarded_count);
    }
    if (h_.message_count == 0) return false;  // offsets and times of an empty ring mean nothing
    if (h_.oldest_time.seconds > h_.newest_time.seconds) {
      add(ProblemKind::kOldestAfterNewest, -1, 0, h_.newest_time.seconds, h_.oldest_time.seconds);
    }
    r_.walked = true;
    // The newest record lies in the part of the ring the walk is in once it
    // has wrapped, or from the start when the ring has not wrapped.
    in_newest_part_ = h_.newest_offset >= h_.oldest_offset;
    return true;
  }

  // Walks from the oldest record until the newest, a second wrap, the end of
  // the file, or (once past the newest offset) the header's count.
  bool walk() {
    VARNO_STATUS status;
    while (walk_.next(&status)) {
      const RecordCheck& c = walk_.check();
      if (c.defect == RecordCheck::kUnreadable) return fail("reading a record of", status);
      r_.records = walk_.number();
      record_problems(c);
      if (c.defect != RecordCheck::kNone) {
        if (!resync()) return false;
        continue;
      }
      bool body_ok = true;
      if (!walk_.read_message(&message_, &body_ok, &status)) {
        return fail("reading a record of", status);
      }
      r_.bytes += c.record_length();
      if (progress_ != nullptr) progress_->update(walk_.number(), r_.bytes);
      if (!body_ok) {
        add(ProblemKind::kBodyChecksumWord, c.offset + kBodyChecksumAt, number(), 0,
            c.body_checksum);
      }
      if (!step_on(c)) break;
    }
    return true;
  }

  // The problems of one record header.
  void record_problems(const RecordCheck& c) {
    const int64_t p = c.offset;
    if (c.defect == RecordCheck::kHeaderPastEnd) {
      add(ProblemKind::kRecordHeaderPastEnd, p, number(), record_header_size,
          p < 0 ? p : size_ - p);
      return;
    }
    if (!c.marker_ok) {
      add(ProblemKind::kRecordMarker, p, number(), get_u32(kRecordMarker),
          get_u32(walk_.record_header()));
    }
    if (!c.header_checksum_ok()) {
      add(ProblemKind::kRecordHeaderChecksum, p, number(), c.computed_checksum, c.stored_checksum);
    }
    if (c.defect == RecordCheck::kSizeSmall) {
      add(ProblemKind::kMessageSizeSmall, p, number(), kMessageHeaderSize, c.message_size);
    } else if (c.defect == RecordCheck::kSizePastEnd) {
      add(ProblemKind::kMessageSizePastEnd, p, number(), size_ - p - record_prefix_size,
          c.message_size);
    }
  }

  // Past a record the walk cannot step over: on at the next intact record
  // the format's scan finds (where menu 2's walk would have ended, the rest
  // of the ring is still checked). From here on the record numbers of the
  // walk are unknown (0 in the problems). False on a failed scan.
  bool resync() {
    const int64_t p = walk_.offset();
    if (!resynced_)
      add(ProblemKind::kWalkShort, p, walk_.number(), h_.message_count, walk_.number() - 1);
    resynced_ = true;
    const int64_t limit =
        in_newest_part_ ? std::min(h_.newest_offset + record_header_size, size_) : size_;
    VARNO_STATUS status;
    VARNO_SERVER_INITBLK(&status);
    if (p >= 0 && walk_.resync(p + 1, limit, &status)) return true;
    if (varno_failed(status)) return fail("scanning", status);
    if (!in_newest_part_) {
      in_newest_part_ = true;
      walk_.resume_at(store_header_size);
    }
    return true;
  }

  // Notes what the record at the walk's place means for the header's
  // offsets and counts; false when the walk ends here.
  bool step_on(const RecordCheck& c) {
    const int64_t p = c.offset;
    const uint32_t n = walk_.number();
    if (p == h_.forward_offset) forward_found_ = true;
    if (n == h_.message_count) count_offset_ = p;
    const int64_t next = walk_.next_offset();
    if (p == h_.newest_offset) {
      landed_ = n;
      after_newest_ = next;
      return false;
    }
    if (walk_.wraps_next()) {
      // Two wraps without meeting the newest record: it is not on the ring.
      if (++wraps_ > 1) {
        looped_ = true;
        return false;
      }
      in_newest_part_ = true;
    }
    // Past the newest offset without meeting a record there: the walk goes on
    // only as far as the header's count, as menu 2's would, and not at all
    // once it has lost count.
    if (in_newest_part_ && next > h_.newest_offset) passed_newest_ = true;
    return !(passed_newest_ && (resynced_ || n >= h_.message_count));
  }

  // Counts and offsets, judged only by a walk that went through.
  void judge_walk() {
    if (resynced_) return;
    if (landed_ != 0) {
      if (landed_ < h_.message_count) {
        add(ProblemKind::kWalkShort, h_.newest_offset, landed_, h_.message_count, landed_);
      } else if (landed_ > h_.message_count) {
        add(ProblemKind::kWalkLong, h_.newest_offset, landed_, h_.message_count, landed_);
      }
      if (!forward_found_ && h_.forward_offset != after_newest_) {
        add(ProblemKind::kForwardOffsetNotRecord, h_.forward_offset);
      }
      return;
    }
    // The walk never met the newest record.
    if (count_offset_ >= 0) {
      add(ProblemKind::kNewestOffsetMismatch, h_.newest_offset, h_.message_count, count_offset_,
          h_.newest_offset);
    } else if (looped_) {
      add(ProblemKind::kNewestOffsetMismatch, h_.newest_offset);
    } else {
      // The end of the file before the count.
      add(ProblemKind::kWalkShort, walk_.next_offset(), walk_.number(), h_.message_count,
          walk_.number());
    }
  }

  uint32_t number() const { return resynced_ ? 0 : walk_.number(); }

  void add(ProblemKind kind, int64_t offset, uint32_t record = 0) {
    r_.problems.push_back({kind, offset, record, false, 0, 0});
    ++r_.counts[static_cast<int>(kind)];
  }
  void add(ProblemKind kind, int64_t offset, uint32_t record, int64_t expected, int64_t found) {
    r_.problems.push_back({kind, offset, record, true, expected, found});
    ++r_.counts[static_cast<int>(kind)];
  }

  bool fail(const char* step, const VARNO_STATUS& status) {
    *failure_ = {step, status};
    return false;
  }

  const Store& store_;
  const CommonHeader& h_;
  const int64_t size_;
  Progress* progress_;
  VerifyReport& r_;
  Failure* failure_;
  RingWalk walk_;
  std::vector<unsigned char> message_;
  bool in_newest_part_ = false;
  bool resynced_ = false;
  bool forward_found_ = false;
  bool passed_newest_ = false;
  bool looped_ = false;
  int wraps_ = 0;
  uint32_t landed_ = 0;        // number of the record at the newest offset
  int64_t count_offset_ = -1;  // where record number `count` starts
  int64_t after_newest_ = -1;  // where the walk would go after the newest record
};

}  // namespace

bool verify_store(const Store& store, Progress* progress, VerifyReport* report, Failure* failure) {
  *report = VerifyReport{};
  return Verifier(store, progress, report, failure).run();
}

}  // namespace inspect
