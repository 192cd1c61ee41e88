// The damage-tolerant reading of the ring: finding every record, linking
// records into runs, and reading the ring's records back in ring order. The
// reconciliation with the header is in ring_reconcile.cc.
#include "storeformat/ring_scan.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "fileaccess/file_access.h"
#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "storeformat/ring_scan_internal.h"

namespace ringscan {

namespace {

// Blocks of the data area read at a time: large enough that a read costs
// little per record, small enough to stay in the cache.
constexpr uint32_t kBlock = 1 << 20;

bool size_steps(int64_t offset, uint32_t size, int64_t file_size) {
  return size >= kMessageHeaderSize && size <= std::numeric_limits<uint32_t>::max() - 12 &&
         offset + int64_t{size} + record_prefix_size <= file_size;
}

}  // namespace

void describe_message(const unsigned char* message, Rec* rec) {
  rec->described = true;
  const MessageSummary summary = summarize_message_body(message);
  rec->readable = summary.interpreted;
  rec->timed = summary.has_first_time;
  rec->time = summary.first_time.seconds;
}

bool read_rec(int32_t fd, int64_t offset, int64_t file_size, Rec* rec,
              std::vector<unsigned char>* message, VARNO_STATUS* status) {
  unsigned char record[record_header_size];
  RecordCheck check;
  *rec = Rec{};
  rec->offset = offset;
  if (!check_record(fd, offset, file_size, record, &check, status) || !check.intact()) {
    return false;
  }
  rec->size = check.message_size;
  rec->transaction = message_transaction(record + record_prefix_size);
  rec->body_word = check.body_checksum;
  message->resize(check.message_size);
  std::memcpy(message->data(), record + record_prefix_size, kMessageHeaderSize);
  if (!read_message_body_bytes(fd, offset, check.message_size, message->data(), status)) {
    return false;
  }
  describe_message(message->data(), rec);
  return true;
}

bool walk_run(int32_t fd, int64_t file_size, const Run& run, uint32_t from, uint32_t to,
              const std::function<bool(uint32_t index, const Rec& rec)>& visit,
              VARNO_STATUS* status) {
  std::vector<unsigned char> message;
  int64_t at = run.head.offset;
  for (uint32_t i = 0; i <= to && i < run.records; ++i) {
    Rec rec;
    if (i == 0) {
      rec = run.head;
    } else if (i + 1 == run.records) {
      rec = run.tail;
    } else if (i < from) {
      // Only the size is needed to step on.
      unsigned char record[record_header_size];
      RecordCheck check;
      if (!check_record(fd, at, file_size, record, &check, status)) return false;
      rec.offset = at;
      rec.size = check.message_size;
    } else if (!read_rec(fd, at, file_size, &rec, &message, status)) {
      return false;
    }
    if (i >= from && !visit(i, rec)) return true;
    at = rec.end();
  }
  return true;
}

// Finds the records of the data area and links them into runs.
class Finder {
 public:
  Finder(int32_t fd, int64_t file_size, const std::vector<int64_t>& marks, const Wanted& wanted,
         Found* found)
      : fd_(fd), size_(file_size), marks_(marks), wanted_(wanted), f_(*found) {
    f_.at.assign(marks.size(), Place{});
  }

  bool run(const std::function<void(uint64_t, int64_t)>& progress, VARNO_STATUS* status) {
    buffer_.resize(kBlock);
    int64_t base = store_header_size;
    uint32_t carried = 0;
    while (size_ - base >= int64_t{record_header_size}) {
      const uint32_t length = static_cast<uint32_t>(std::min<int64_t>(kBlock, size_ - base));
      if (!read_block(base, carried, length, status)) return false;
      const bool last = base + length == size_;
      const uint32_t limit =
          last ? length - record_header_size + 1 : length - (record_header_size - 1);
      examine(base, length, limit, status);
      if (varno_failed(*status)) return false;
      if (progress) progress(candidates_, base + limit - store_header_size);
      if (last) break;
      carried = length - limit;
      std::memmove(buffer_.data(), buffer_.data() + limit, carried);
      base += limit;
    }
    close_run(status);
    return !varno_failed(*status);
  }

 private:
  bool read_block(int64_t base, uint32_t carried, uint32_t length, VARNO_STATUS* status) {
    varno_s_file_seek(fd_, base + carried, kSeekSet, status);
    if (varno_failed(*status)) {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordSeek, status);
      return false;
    }
    varno_s_file_read(fd_, buffer_.data() + carried, length - carried, status);
    if (varno_failed(*status)) {
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordRead, status);
      return false;
    }
    return true;
  }

  // Every position below `limit` of the block holding [base, base + length).
  void examine(int64_t base, uint32_t length, uint32_t limit, VARNO_STATUS* status) {
    const unsigned char* b = buffer_.data();
    for (uint32_t i = 0; i < limit;) {
      const void* hit = std::memchr(b + i, kRecordMarker[0], limit - i);
      if (hit == nullptr) return;
      i = static_cast<uint32_t>(static_cast<const unsigned char*>(hit) - b);
      if (intact_record_header(b + i)) {
        ++candidates_;
        candidate(base + i, b + i, length - i, status);
        if (varno_failed(*status)) return;
      }
      ++i;
    }
  }

  // An intact record header at `offset`; `bytes` of it (and what follows) are
  // at `at`. What the library makes of its message is learnt only where it
  // matters (a run's ends, the records the header names or describes): on a
  // sound file of a million records that is a handful of them.
  void candidate(int64_t offset, const unsigned char* at, uint32_t bytes, VARNO_STATUS* status) {
    Rec rec;
    rec.offset = offset;
    rec.size = message_size_of(at + record_prefix_size);
    rec.transaction = message_transaction(at + record_prefix_size);
    rec.body_word = get_u32(at + kBodyChecksumAt);
    const bool steps = size_steps(offset, rec.size, size_);
    const bool whole = steps && int64_t{rec.size} + record_prefix_size <= bytes;
    link(rec, steps, at, whole ? at + record_prefix_size : nullptr, status);
  }

  // Fills what the library makes of the message of `rec`, from `message`
  // when it is at hand, else read from the file.
  bool describe(Rec* rec, const unsigned char* message, VARNO_STATUS* status) {
    if (rec->described || rec->offset < 0) return true;
    if (message == nullptr) {
      std::vector<unsigned char>& m = message_;
      m.resize(rec->size);
      varno_s_file_seek(fd_, rec->offset + record_prefix_size, kSeekSet, status);
      if (!varno_failed(*status)) varno_s_file_read(fd_, m.data(), rec->size, status);
      if (varno_failed(*status)) return false;
      message = m.data();
    }
    describe_message(message, rec);
    return true;
  }

  // Puts the record into the open run, or starts a run with it. A record
  // found inside the open run's last record means that last record's size is
  // wrong: it runs over this one. A record whose size cannot be stepped over
  // belongs to no run.
  void link(Rec& rec, bool steps, const unsigned char* header, const unsigned char* message,
            VARNO_STATUS* status) {
    if (open_) {
      Run& run = f_.runs.back();
      const int64_t expected = run.tail.end();
      if (rec.offset < expected) {
        drop_tail(status);
      } else if (rec.offset == expected && steps) {
        const bool copy = is_copy(run.tail, rec, header, status);
        if (varno_failed(*status)) return;
        append(rec, header, message, copy, status);
        return;
      } else {
        close_run(status);
      }
    }
    if (steps && !varno_failed(*status)) start(rec, header, message, status);
  }

  void start(Rec& rec, const unsigned char* header, const unsigned char* message,
             VARNO_STATUS* status) {
    if (!describe(&rec, message, status)) return;
    Run run;
    run.head = rec;
    run.tail = rec;
    run.records = 1;
    f_.runs.push_back(run);
    open_ = true;
    if (!noted(rec, 0, message, status)) return;
    tail_checksum_ = get_u32(header + kHeaderChecksumAt);
  }

  void append(Rec& rec, const unsigned char* header, const unsigned char* message, bool copy,
              VARNO_STATUS* status) {
    Run& run = f_.runs.back();
    run.before_tail = run.tail;
    run.tail = rec;
    if (copy) {
      run.copies.push_back(
          {run.records, rec.offset, run.before_tail.offset, rec.end() - rec.offset});
    }
    const uint32_t index = run.records++;
    if (!noted(run.tail, index, message, status)) return;
    tail_checksum_ = get_u32(header + kHeaderChecksumAt);
  }

  // The open run's last record runs over a record found inside it: it is set
  // apart, and the run ends before it.
  void drop_tail(VARNO_STATUS* status) {
    Run& run = f_.runs.back();
    const uint32_t index = run.records - 1;
    forget(static_cast<int32_t>(f_.runs.size() - 1), index);
    if (!run.copies.empty() && run.copies.back().index == index) run.copies.pop_back();
    if (run.records == 1) {
      f_.runs.pop_back();
      open_ = false;
      return;
    }
    run.tail = run.before_tail;
    run.before_tail = Rec{};
    --run.records;
    close_run(status);
  }

  // The run ends: its last two records, which the reconciling reads, learn
  // what their messages are.
  void close_run(VARNO_STATUS* status) {
    if (open_) {
      Run& run = f_.runs.back();
      if (describe(&run.tail, nullptr, status)) describe(&run.before_tail, nullptr, status);
    }
    open_ = false;
  }

  // A byte-identical copy of the record right before it: same record header
  // and same body. The header checksums rule out nearly every pair at once.
  bool is_copy(const Rec& before, const Rec& rec, const unsigned char* header,
               VARNO_STATUS* status) {
    if (before.size != rec.size || tail_checksum_ != get_u32(header + kHeaderChecksumAt)) {
      return false;
    }
    unsigned char previous[record_header_size];
    varno_s_file_seek(fd_, before.offset, kSeekSet, status);
    if (!varno_failed(*status)) varno_s_file_read(fd_, previous, record_header_size, status);
    if (varno_failed(*status) || std::memcmp(previous, header, record_header_size) != 0) {
      return false;
    }
    const uint32_t body = rec.size - kMessageHeaderSize;
    std::vector<unsigned char> a(std::min<uint32_t>(body, kBlock));
    std::vector<unsigned char> b(a.size());
    for (uint32_t done = 0; done < body;) {
      const uint32_t n = std::min<uint32_t>(body - done, static_cast<uint32_t>(a.size()));
      const int64_t from = done + record_header_size;
      varno_s_file_seek(fd_, before.offset + from, kSeekSet, status);
      if (!varno_failed(*status)) varno_s_file_read(fd_, a.data(), n, status);
      if (!varno_failed(*status)) varno_s_file_seek(fd_, rec.offset + from, kSeekSet, status);
      if (!varno_failed(*status)) varno_s_file_read(fd_, b.data(), n, status);
      if (varno_failed(*status) || std::memcmp(a.data(), b.data(), n) != 0) return false;
      done += n;
    }
    return true;
  }

  // Notes a run record (`rec`, which it may describe) that lies at one of
  // the marked offsets or fits one of the header's descriptions: the newest
  // record's size and time, or, for the first record of a run, the oldest
  // record's time. False when its message could not be read.
  bool noted(Rec& rec, uint32_t index, const unsigned char* message, VARNO_STATUS* status) {
    const int32_t run = static_cast<int32_t>(f_.runs.size() - 1);
    if (rec.body_word != 0) f_.body_words.push_back({run, index, rec.offset, rec.body_word});
    bool marked = false;
    for (const int64_t mark : marks_) marked = marked || mark == rec.offset;
    // Records of the newest record's size near its offset are kept without
    // their time, which the reconciling learns only of the few it looks at.
    const int64_t distance = rec.offset > wanted_.newest_offset
                                 ? rec.offset - wanted_.newest_offset
                                 : wanted_.newest_offset - rec.offset;
    if (wanted_.active && rec.size == wanted_.newest_size && distance <= kLikeWindow) {
      keep(&f_.newest_like, Place{run, index, rec});
    }
    if (!marked && index != 0) return true;
    if (!describe(&rec, message, status)) return false;
    const Place place{run, index, rec};
    for (size_t m = 0; m < marks_.size(); ++m) {
      if (marks_[m] == rec.offset) f_.at[m] = place;
    }
    if (wanted_.active && index == 0 && rec.timed && rec.time == wanted_.oldest_time) {
      keep(&f_.oldest_like, place);
    }
    return true;
  }

  void keep(std::vector<Place>* list, const Place& place) {
    if (list->size() < kMaxLike) {
      list->push_back(place);
    } else {
      f_.too_many_like = true;
    }
  }

  void forget(int32_t run, uint32_t index) {
    const auto same = [&](const Place& p) { return p.run == run && p.index == index; };
    for (Place& p : f_.at) {
      if (same(p)) p = Place{};
    }
    for (std::vector<Place>* list : {&f_.oldest_like, &f_.newest_like}) {
      list->erase(std::remove_if(list->begin(), list->end(), same), list->end());
    }
    const auto word = [&](const BodyWord& w) { return w.run == run && w.index == index; };
    f_.body_words.erase(std::remove_if(f_.body_words.begin(), f_.body_words.end(), word),
                        f_.body_words.end());
  }

  int32_t fd_;
  int64_t size_;
  const std::vector<int64_t>& marks_;
  const Wanted& wanted_;
  Found& f_;
  std::vector<unsigned char> buffer_;
  std::vector<unsigned char> message_;
  bool open_ = false;
  uint64_t candidates_ = 0;
  uint32_t tail_checksum_ = 0;  // the open run's last record's header checksum
};

bool find_runs(int32_t fd, int64_t file_size, const std::vector<int64_t>& marks,
               const Wanted& wanted, const std::function<void(uint64_t, int64_t)>& progress,
               Found* found, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  return Finder(fd, file_size, marks, wanted, found).run(progress, status);
}

}  // namespace ringscan

RingScan::RingScan(int32_t fd, int64_t file_size, const CommonHeader* header)
    : fd_(fd), size_(file_size), has_header_(header != nullptr) {
  if (header != nullptr) header_ = *header;
}

RingScan::~RingScan() = default;

bool RingScan::run(ScanReporter* reporter, const std::function<void(uint64_t, int64_t)>& progress,
                   VARNO_STATUS* status) {
  using namespace ringscan;
  const CommonHeader* h = has_header_ ? &header_ : nullptr;
  std::vector<int64_t> marks(kMarks, -1);
  Wanted wanted;
  if (h != nullptr) {
    marks[kMarkOldest] = h->oldest_offset;
    marks[kMarkNewest] = h->newest_offset;
    marks[kMarkForward] = h->forward_offset;
    marks[kMarkLast] = h->last_offset;
    wanted.active = h->message_count > 0;
    wanted.oldest_time = h->oldest_time.seconds;
    wanted.newest_offset = h->newest_offset;
    wanted.newest_time = h->newest_time.seconds;
    // A size no record can have matches none.
    wanted.newest_size = h->last_message_size >= kMessageHeaderSize &&
                                 h->last_message_size <= std::numeric_limits<uint32_t>::max()
                             ? static_cast<uint32_t>(h->last_message_size)
                             : 0;
  }
  Found found;
  if (!find_runs(fd_, size_, marks, wanted, progress, &found, status)) return false;
  Outcome outcome;
  if (!reconcile(fd_, size_, h, found, reporter, &outcome, status)) return false;
  ring_ = std::move(outcome.ring);
  records_ = outcome.records;
  numbered_records_ = outcome.numbered_records;
  numbering_exact_ = outcome.numbering_exact;
  bytes_ = outcome.bytes;
  header_used_ = outcome.header_used;
  lost_any_ = outcome.lost_any;
  oldest_agrees_ = outcome.oldest_agrees;
  layout_start_ = outcome.layout_start;
  forward_ = outcome.forward;
  return true;
}

RingReader::RingReader(int32_t fd, int64_t file_size, const std::vector<RingScan::Segment>& ring)
    : fd_(fd), size_(file_size), ring_(ring) {}

bool RingReader::next(VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  for (;;) {
    if (left_ == 0) {
      if (started_) ++segment_;
      started_ = true;
      if (segment_ >= ring_.size()) return false;
      const RingScan::Segment& s = ring_[segment_];
      at_ = s.first;
      left_ = s.records + static_cast<uint32_t>(s.copies.size());
      next_index_ = s.base;
      numbered_ = s.numbered;
      continue;
    }
    const RingScan::Segment& s = ring_[segment_];
    if (!check_record(fd_, at_, size_, record_, &check_, status) || !check_.intact()) {
      // The scan found an intact record here: the file changed since.
      if (!varno_failed(*status)) VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrRecordRead, status);
      return false;
    }
    const int64_t here = at_;
    at_ = here + check_.record_length();
    --left_;
    if (std::find(s.copies.begin(), s.copies.end(), here) != s.copies.end()) continue;
    message_.resize(check_.message_size);
    std::memcpy(message_.data(), record_ + record_prefix_size, kMessageHeaderSize);
    if (!read_message_body_bytes(fd_, here, check_.message_size, message_.data(), status)) {
      return false;
    }
    after_loss_ = here == s.first && s.after_loss;
    index_ = next_index_++;
    return true;
  }
}
