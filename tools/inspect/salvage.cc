// salvage: every intact record of a damaged store file, in ring order, into a
// new store file with a header that matches it.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tools/inspect/salvage.h"

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "storeformat/ring.h"
#include "tools/inspect/progress.h"

namespace inspect {

namespace {

constexpr int64_t kMax32 = 0xFFFFFFFF;
constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();

// A new store file that is removed again unless committed, so that a salvage
// that fails half-way leaves no OUT behind.
class NewStoreFile {
 public:
  NewStoreFile() = default;
  NewStoreFile(const NewStoreFile&) = delete;
  NewStoreFile& operator=(const NewStoreFile&) = delete;
  ~NewStoreFile() {
    if (fd_ < 0) return;
    VARNO_STATUS ignored;
    varno_s_file_close(fd_, &ignored);
    platform::remove_file(path_.c_str());
  }

  // Creates `path`, which must not exist (*exists then), with `size` bytes
  // that read as zeros.
  bool create(const std::string& path, int64_t size, bool* exists, VARNO_STATUS* status) {
    *exists = false;
    const int32_t fd = varno_s_file_create_new(path.c_str(), status);
    if (fd < 0) {
      *exists = varno_GetLastError() == platform::kErrorAlreadyExists;
      return false;
    }
    fd_ = fd;
    path_ = path;
    // The last byte first: what is never written reads as zeros.
    const unsigned char zero = 0;
    varno_s_file_seek(fd_, size - 1, kSeekSet, status);
    if (!varno_failed(*status)) varno_s_file_write(fd_, &zero, 1, status);
    return !varno_failed(*status);
  }
  int32_t fd() const { return fd_; }
  // Flushes and closes the file, which then stays.
  bool commit(VARNO_STATUS* status) {
    varno_s_file_sync(fd_, status);
    if (varno_failed(*status)) return false;
    varno_s_file_close(fd_, status);
    if (varno_failed(*status)) return false;
    fd_ = -1;
    return true;
  }

 private:
  int32_t fd_ = -1;
  std::string path_;
};

// A stretch of FILE in which the ring's records are taken.
struct Segment {
  int64_t start;
  int64_t scan_limit;   // records lie wholly before it
  int64_t end_of_data;  // where a damaged stretch that reaches no record ends (-1: free space)
  bool ends_at_newest;  // the ring's last part: stop after the newest record
};

// A run of records that follow each other by the step rule, in file order.
struct Chain {
  int64_t start;
  int64_t end;  // behind its last record
  bool has_time;
  int32_t first_time;  // its first record's first time stamp
};

class Salvager {
 public:
  Salvager(const Store& store, Progress* progress, SalvageReport* report, Failure* failure,
           std::vector<int64_t>* kept_offsets)
      : store_(store),
        h_(store.header),
        size_(store.file_size),
        progress_(progress),
        r_(*report),
        failure_(failure),
        kept_offsets_(kept_offsets) {}

  bool run(const std::string& out_path, SalvageRefusal* refusal) {
    if (!acceptable(out_path, refusal)) return false;
    plan_output();
    bool exists = false;
    if (!out_.create(out_path, r_.out_size, &exists, &status_)) {
      if (exists) *refusal = SalvageRefusal::kOutExists;
      return fail("creating");
    }
    if (ring_) {
      plan_ring_from_header();
    } else if (!plan_ring_from_layout()) {
      return false;
    }
    for (const Segment& segment : segments_) {
      if (!copy(segment)) return false;
      if (reached_newest_) break;
    }
    if (ring_ && h_.message_count > r_.kept) r_.lost_records = h_.message_count - r_.kept;
    build_header();
    return write_header();
  }

 private:
  bool acceptable(const std::string& out_path, SalvageRefusal* refusal) {
    if (platform::same_file(store_.path.c_str(), out_path.c_str())) {
      *refusal = SalvageRefusal::kSameFile;
      return false;
    }
    if (size_ < int64_t{store_header_size} + record_header_size) {
      *refusal = SalvageRefusal::kNoRecords;
      return false;
    }
    return true;
  }

  void plan_output() {
    r_.header_usable = store_.header_usable();
    r_.type = store_.check.type >= 0 ? store_.check.type : 2;
    r_.header_count = r_.header_usable ? h_.message_count : 0;
    r_.out_size = r_.type == 2 ? size_ : std::min(size_, kMax32);
    // The header's offsets are taken only when they name places in the data
    // area; the oldest may lie past the end of a file that lost its end.
    ring_ = r_.header_usable && h_.oldest_offset >= store_header_size &&
            h_.newest_offset >= store_header_size;
    newest_ = ring_ ? h_.newest_offset : kNoLimit;
    // Forwarded records are counted only while the walk from the oldest record
    // has met no damage: behind damage a record's place before the forward
    // offset is no longer known, and sending a message twice is the lesser harm.
    counting_forwarded_ = ring_ && h_.forwarded_count > 0 &&
                          h_.forward_offset >= store_header_size && h_.forward_offset <= size_;
  }

  void plan_ring_from_header() {
    if (h_.message_count == 0) return;
    const int64_t last_limit = std::min(h_.newest_offset + record_header_size, size_);
    // Where the newest record ends, for a damaged stretch that runs into it.
    int64_t newest_end = last_limit;
    RecordCheck newest;
    unsigned char record[record_header_size];
    VARNO_STATUS ignored;
    if (check_record(store_.fd, h_.newest_offset, size_, record, &newest, &ignored)) {
      newest_end = h_.newest_offset + newest.record_length();
    }
    if (h_.newest_offset >= h_.oldest_offset) {
      segments_.push_back({h_.oldest_offset, last_limit, newest_end, true});
    } else {
      segments_.push_back({h_.oldest_offset, size_, size_, false});
      segments_.push_back({store_header_size, last_limit, newest_end, true});
    }
  }

  // Without a usable header the records are found in file order. A ring that
  // has wrapped shows in its layout: the records that run to the end of the
  // file are its older part and those from 192 its newer part, with free
  // space between. Where damage splits the runs, the run whose first message
  // is the earliest starts the ring.
  bool plan_ring_from_layout() {
    std::vector<Chain> chains;
    if (!find_chains(&chains)) return false;
    const bool wrapped = chains.size() >= 2 && size_ - chains.back().end < record_header_size;
    if (!wrapped) {
      segments_.push_back({store_header_size, size_, -1, false});
      return true;
    }
    size_t first = 1;
    const bool timed =
        std::all_of(chains.begin(), chains.end(), [](const Chain& c) { return c.has_time; });
    if (timed) {
      for (size_t i = 0; i < chains.size(); ++i) {
        if (chains[i].first_time < chains[first].first_time) first = i;
      }
    }
    if (first == 0) {
      segments_.push_back({store_header_size, size_, -1, false});
      return true;
    }
    r_.ring_start = chains[first].start;
    segments_.push_back({chains[first].start, size_, size_, false});
    segments_.push_back({store_header_size, chains[first].start, chains[first - 1].end, false});
    return true;
  }

  bool find_chains(std::vector<Chain>* chains) {
    RingWalk walk(store_.fd, size_, store_header_size, kNoLimit,
                  std::numeric_limits<uint32_t>::max());
    bool in_chain = false;
    while (walk.next(&status_)) {
      const RecordCheck& c = walk.check();
      if (c.defect == RecordCheck::kUnreadable) return fail("reading a record of");
      if (c.intact()) {
        if (!in_chain) {
          Chain chain{c.offset, 0, false, 0};
          if (!walk.read_message(&message_, &body_ok_, &status_))
            return fail("reading a record of");
          const MessageSummary summary = summarize_message_body(message_.data());
          chain.has_time = summary.has_first_time;
          chain.first_time = summary.first_time.seconds;
          chains->push_back(chain);
          in_chain = true;
        }
        chains->back().end = c.offset + c.record_length();
        if (walk.stop() == RingWalk::Stop::kNone) continue;
      }
      in_chain = false;
      if (!walk.resync(c.offset + 1, size_, &status_)) break;
    }
    if (varno_failed(status_)) return fail("scanning");
    return true;
  }

  // Takes the intact records of one segment. A record is written once the
  // place behind it has been looked at: a wrong size that still checks out
  // swallows the records behind it, which then show inside it, or across its
  // end when the walk lands in the middle of one.
  bool copy(const Segment& s) {
    RingWalk walk(store_.fd, size_, s.start, newest_, std::numeric_limits<uint32_t>::max());
    if (s.ends_at_newest) walk.stop_at_newest();
    for (;;) {
      const int64_t p = walk.next_offset();
      if (p < 0 || p > s.scan_limit - record_header_size || !walk.next(&status_)) break;
      const RecordCheck& c = walk.check();
      if (c.defect == RecordCheck::kUnreadable) return fail("reading a record of");
      if (p != h_.oldest_offset && r_.kept == 0 && pending_.size == 0) damaged_ = true;
      if (c.intact()) {
        if (!walk.read_message(&message_, &body_ok_, &status_)) return fail("reading a record of");
        const int64_t inside = find_record_in(message_.data(), c.message_size,
                                              record_header_size - record_prefix_size);
        if (inside >= 0) {
          const int64_t found = p + record_prefix_size + inside;
          if (!settle()) return false;
          lose(p, found);
          walk.resume_at(found);
          continue;
        }
        if (!settle()) return false;
        pending_.offset = p;
        pending_.size = c.message_size;
        pending_.body_word = c.body_checksum;
        pending_.message.assign(message_.begin(), message_.begin() + c.message_size);
        if (walk.stop() == RingWalk::Stop::kNewest) {
          reached_newest_ = true;
          break;
        }
        if (walk.wraps_next() || (s.ends_at_newest && walk.next_offset() > newest_)) break;
        continue;
      }
      // A damaged place. It may lie inside the record before it, whose size
      // was wrong: then the scan finds a record that starts inside that one.
      const int64_t from = pending_.size > 0 ? pending_.offset + record_header_size : p + 1;
      int64_t found = 0;
      find_message_record(store_.fd, from, s.scan_limit, &found, &status_);
      if (varno_failed(status_)) return fail("scanning");
      if (pending_.size > 0 && found > 0 && found < p) {
        lose(pending_.offset, found);
        pending_.size = 0;
      } else {
        if (!settle()) return false;
        lose(p, found > 0 ? found : s.end_of_data);
      }
      if (found <= 0) break;
      walk.resume_at(found);
    }
    return settle();
  }

  // Writes the record waiting for the look behind it.
  bool settle() {
    if (pending_.size == 0) return true;
    const uint32_t length = pending_.size + record_prefix_size;
    const int64_t offset = pending_.offset;
    pending_.size = 0;
    if (at_ + length > r_.out_size) {
      // Past what OUT can hold (the 32-bit offsets of the old layouts).
      lose(offset, offset + length);
      return true;
    }
    write_message_record(out_.fd(), at_, length, pending_.message.data(), &status_);
    if (varno_failed(status_)) return fail("writing");
    if (pending_.body_word != 0) ++r_.words_cleared;
    const MessageSummary summary = summarize_message_body(pending_.message.data());
    const HeaderTimeStamp stamp = {summary.first_time.word, summary.first_time.seconds};
    if (r_.kept == 0) {
      first_ = offset;
      first_time_ = stamp;
      first_time_known_ = summary.has_first_time;
    }
    last_ = offset;
    last_at_ = at_;
    last_size_ = length - record_prefix_size;
    last_time_ = stamp;
    last_time_known_ = summary.has_first_time;
    if (counting_forwarded_ && !damaged_ && before_forward_offset(offset) &&
        r_.forwarded < h_.forwarded_count) {
      ++r_.forwarded;
    } else if (forward_at_ < 0) {
      forward_at_ = at_;
      counting_forwarded_ = false;
    }
    at_ += length;
    ++r_.kept;
    r_.kept_bytes += length;
    if (kept_offsets_ != nullptr) kept_offsets_->push_back(offset);
    if (progress_ != nullptr) progress_->update(r_.kept, r_.kept_bytes + r_.lost_bytes);
    return true;
  }

  void lose(int64_t start, int64_t end) {
    damaged_ = true;
    if (end <= start) return;
    r_.lost.push_back({start, end});
    r_.lost_bytes += end - start;
  }

  // When every message was forwarded, the forward offset is the current one,
  // which in a full ring is the oldest record's own offset.
  bool before_forward_offset(int64_t offset) const {
    return h_.forwarded_count >= h_.message_count ||
           ring_position(offset) < ring_position(h_.forward_offset);
  }

  // Place in ring order: from the oldest record to the end of the file, then
  // from the start of the data area.
  int64_t ring_position(int64_t offset) const {
    return offset >= h_.oldest_offset ? offset - h_.oldest_offset
                                      : offset + (size_ - h_.oldest_offset);
  }

  // An unwrapped ring of the kept records; flag and opaque words carried over
  // from FILE, time stamps those of FILE's header where its end records were
  // kept, else their messages', within FILE's.
  void build_header() {
    RingExtent ring;
    ring.file_size = r_.out_size;
    ring.count = r_.kept;
    ring.forwarded = r_.forwarded;
    ring.forward_offset = forward_at_;
    if (r_.kept > 0) {
      ring.newest_offset = last_at_;
      ring.newest_size = last_size_;
      ring.oldest_time =
          stamp_of(first_ == h_.oldest_offset, first_time_known_, first_time_, h_.oldest_time);
      ring.newest_time =
          stamp_of(last_ == h_.newest_offset, last_time_known_, last_time_, h_.newest_time);
      if (ring.newest_time.seconds < ring.oldest_time.seconds) ring.newest_time = ring.oldest_time;
    }
    CommonHeader& o = r_.out_header;
    o = ring_header(ring, r_.type);
    if (r_.header_usable) {
      o.forward_past_last = h_.forward_past_last;
      o.opaque1 = h_.opaque1;
      o.opaque2 = h_.opaque2;
    }
  }

  HeaderTimeStamp stamp_of(bool header_record, bool known, HeaderTimeStamp message,
                           HeaderTimeStamp header) const {
    if (ring_ && header_record) return header;
    if (!known) return ring_ ? header : HeaderTimeStamp{};
    if (ring_) {
      // A damaged body may hold any time: keep within what FILE's header says.
      message.seconds = std::clamp(message.seconds, h_.oldest_time.seconds,
                                   std::max(h_.oldest_time.seconds, h_.newest_time.seconds));
    }
    return message;
  }

  bool write_header() {
    unsigned char region[kFixedRegionSize] = {};
    const uint32_t region_size = build_header_region(r_.out_header, r_.type, region);
    varno_s_file_seek(out_.fd(), 0, kSeekSet, &status_);
    if (!varno_failed(status_)) varno_s_file_write(out_.fd(), region, region_size, &status_);
    if (varno_failed(status_)) return fail("writing");
    if (!out_.commit(&status_)) return fail("writing");
    return true;
  }

  bool fail(const char* step) {
    *failure_ = {step, status_};
    return false;
  }

  struct Pending {
    int64_t offset = 0;
    uint32_t size = 0;  // 0: nothing waits
    uint32_t body_word = 0;
    std::vector<unsigned char> message;
  };

  const Store& store_;
  const CommonHeader& h_;
  const int64_t size_;
  Progress* progress_;
  SalvageReport& r_;
  Failure* failure_;
  std::vector<int64_t>* kept_offsets_;
  VARNO_STATUS status_{};
  NewStoreFile out_;
  bool ring_ = false;
  int64_t newest_ = kNoLimit;
  std::vector<Segment> segments_;
  std::vector<unsigned char> message_;
  bool body_ok_ = true;
  Pending pending_;
  bool reached_newest_ = false;
  bool damaged_ = false;
  bool counting_forwarded_ = false;
  int64_t at_ = store_header_size;  // where OUT's next record goes
  int64_t forward_at_ = -1;         // OUT offset of the first record not forwarded
  int64_t first_ = -1;              // FILE offsets of the first and last record kept
  int64_t last_ = -1;
  int64_t last_at_ = store_header_size;
  uint32_t last_size_ = 0;
  HeaderTimeStamp first_time_{};
  HeaderTimeStamp last_time_{};
  bool first_time_known_ = false;
  bool last_time_known_ = false;
};

}  // namespace

bool salvage_store(const Store& store, const std::string& out_path, Progress* progress,
                   SalvageReport* report, SalvageRefusal* refusal, Failure* failure,
                   std::vector<int64_t>* kept_offsets) {
  *report = SalvageReport{};
  *refusal = SalvageRefusal::kNone;
  return Salvager(store, progress, report, failure, kept_offsets).run(out_path, refusal);
}

}  // namespace inspect
