// Reconciling the runs the scan found with what the header says: which runs
// form the ring, what lies outside it, and where the header and the records
// disagree.
//
// The header is read as a set of witnesses, each checked against the
// records: the oldest offset and time name the first record, the newest
// offset, last message size and newest time the last one, the count how many
// lie between, the current offset the place behind the newest. A witness the
// records contradict is reported and outvoted by the others; the ring never
// drops an intact record the witnesses agree on.
#include <algorithm>
#include <cstring>
#include <limits>

#include "fileaccess/file_access.h"
#include "storeformat/byte_order.h"
#include "storeformat/ring_scan_internal.h"

namespace ringscan {

namespace {

constexpr uint32_t kNoLimit = std::numeric_limits<uint32_t>::max();
// A gap behind a record longer than this is not read to test whether the
// record's size was cut short.
constexpr int64_t kMaxCutShort = int64_t{16} << 20;
// Steps a count of damaged records follows at most.
constexpr int kMaxChain = 1 << 20;

// Records `from` to `to` of one run, as one stretch of the ring.
struct Part {
  int32_t run = -1;
  uint32_t from = 0;
  uint32_t to = 0;
  Rec first;
  Rec last;
  int64_t gap_from = -1;    // a stretch from here up to `first` lies between it and the part before
  bool crossing = false;    // that stretch goes over the end of the file to 192
  bool lost = false;        // the stretch holds bytes
  int64_t gap_records = 0;  // damaged records in it, by their own sizes; -1 not known
  bool numbered = true;     // `base` is exact
  uint32_t base = 0;        // ring records before it, the damaged ones included
  // Its first record is a byte-identical copy of the last record of the part
  // before: what lay between was dropped, and the two would follow each other.
  bool first_copy = false;
};

// Where the ring ends when the header's newest record is no intact record:
// from `from` (over the end of the file when `crossing`) to `to`, holding
// `records` damaged records (-1 not known).
struct Tail {
  int64_t from = -1;
  int64_t to = -1;
  bool crossing = false;
  int64_t records = 0;
};

// The ends of one reading of the ring: from `oldest` to `newest`, to the
// destroyed record at the header's newest offset, or over as many records
// as the header counts.
enum class End { kRecord, kDestroyed, kCounted };
struct Ends {
  Place oldest;
  Place newest;
  End end;
  bool drop_newest = false;  // the newest record's size was changed: it is dropped
};

class Reconciler {
 public:
  Reconciler(int32_t fd, int64_t size, const CommonHeader* header, const Found& found,
             ScanReporter* reporter, Outcome* out, VARNO_STATUS* status)
      : fd_(fd),
        size_(size),
        h_(header),
        f_(found),
        runs_(found.runs),
        reporter_(reporter),
        out_(*out),
        status_(status) {}

  bool run() {
    if (h_ != nullptr && h_->message_count == 0) return outside();
    if (h_ != nullptr && !runs_.empty()) {
      out_.header_used = anchor();
      if (!ok_) return false;
      if (!out_.header_used && ring_destroyed_) return destroyed_ring();
    }
    if (!out_.header_used) {
      if (h_ != nullptr && !runs_.empty()) report({ScanFinding::kUnreconciled});
      layout();
      settle();
    }
    if (!ok_ || !emit_ring() || !outside()) return false;
    if (out_.header_used) {
      forward();
      contradictions();
    } else if (h_ != nullptr && runs_.empty()) {
      ScanFinding f{ScanFinding::kCount};
      f.expected = 0;
      f.found = h_->message_count;
      report(f);
    }
    segments();
    return ok_;
  }

 private:
  // ---- Anchoring the ring's ends on the header's witnesses.

  // The ring's ends, each named by the header's witnesses; where they name
  // different records, or the newest record is gone, the ring whose count
  // of records the header's count confirms is taken, else the one the most
  // witnesses name.
  bool anchor() {
    const uint32_t count = h_->message_count;
    Place oldest = anchor_oldest();
    if (!ok_) return false;
    if (!oldest.found()) {
      // Only the newest end is named: the ring reaches back as many records
      // as the header counts, and where it reaches fewer, the number of the
      // records lost before its first one is not known.
      const std::vector<Ends> ends = newest_ends({});
      if (!ok_) return false;
      for (const Ends& e : ends) {
        if (e.end == End::kRecord) {
          oldest = back_from(e.newest, count);
          break;
        }
      }
      if (!ok_ || !oldest.found()) return false;
      oldest_counted_ = true;
    }
    std::vector<Ends> tries;
    for (const Place& o : {oldest, oldest_alt_}) {
      if (!o.found()) continue;
      const std::vector<Ends> ends = newest_ends(o);
      if (!ok_) return false;
      tries.insert(tries.end(), ends.begin(), ends.end());
    }
    // Of the readings the count confirms, the one that keeps the most
    // records: no reading may drop an intact record another one keeps.
    const Ends* first = nullptr;
    const Ends* chosen = nullptr;
    uint32_t kept = 0;
    for (const Ends& e : tries) {
      if (!walk_to(e)) {
        if (!ok_) return false;
        continue;
      }
      if (e.end == End::kCounted && !counted_end_fits()) continue;
      if (first == nullptr) first = &e;
      const uint32_t records = records_of_parts();
      if (count_fits(count) && (chosen == nullptr || records > kept)) {
        chosen = &e;
        kept = records;
      }
    }
    if (chosen == nullptr) chosen = first;
    if (chosen == nullptr || !walk_to(*chosen)) return false;
    if (parts_.empty()) {
      // The ring's only record had its size changed: nothing intact is left.
      ring_destroyed_ = true;
      return false;
    }
    if (total_known_ && total_ < count) extend(*chosen, count);
    return ok_ && !parts_.empty();
  }

  // The header names a ring of which no intact record is left: everything
  // from its oldest record to the end of its newest is dropped, and every
  // record found is stale.
  bool destroyed_ring() {
    const CommonHeader& h = *h_;
    const int64_t size = h.last_message_size;
    const bool sized = size >= kMessageHeaderSize && size < (int64_t{1} << 32);
    const int64_t end =
        std::min(size_, h.newest_offset + (sized ? size + record_prefix_size : record_header_size));
    out_.header_used = true;
    lost(h.oldest_offset, end, h.oldest_offset > h.newest_offset, false, 1);
    if (!ok_ || !outside()) return false;
    ScanFinding f{ScanFinding::kCount};
    f.offset = h.oldest_offset;
    f.record = 1;
    f.expected = 0;
    f.found = h.message_count;
    report(f);
    out_.forward.place = ScanForward::kElsewhere;
    segments();
    return ok_;
  }

  // A walk that counted past the place the header gives its newest record
  // ends at a record the header describes: bytes inserted before it moved it
  // there. Any other record behind that place is no part of the ring.
  bool counted_end_fits() const {
    const int64_t n = h_->newest_offset;
    if (parts_.empty() || n < store_header_size || n >= size_) return true;
    const int64_t start = parts_.front().first.offset;
    const auto place = [&](int64_t x) { return x >= start ? x - start : x + (size_ - start); };
    const Rec& last = parts_.back().last;
    if (place(last.offset) <= place(n)) return true;
    return last.size == h_->last_message_size &&
           (!last.timed || last.time >= h_->oldest_time.seconds);
  }

  // The ring as walked can hold `count` records: exactly, or, where a
  // dropped stretch holds an unknown number of records, within what its
  // bytes could hold.
  bool count_fits(uint32_t count) const {
    if (total_known_) return total_ == count;
    int64_t most = total_;
    for (const Part& p : parts_) {
      if (!p.lost || p.gap_records >= 0) continue;
      const int64_t bytes = p.crossing ? (size_ - p.gap_from) + (p.first.offset - store_header_size)
                                       : p.first.offset - p.gap_from;
      most += bytes / record_header_size;
    }
    if (tail_.from >= 0 && tail_.records < 0) {
      const int64_t bytes = tail_.crossing ? (size_ - tail_.from) + (tail_.to - store_header_size)
                                           : tail_.to - tail_.from;
      most += std::max<int64_t>(bytes / record_header_size, 1);
    }
    return total_ <= count && count <= most;
  }

  // A ring that counts fewer records than the header, with nothing lost in
  // it, whose end records no time stamp confirms: the records that lead into
  // its first one, or follow its last one in the same run, complete it.
  void extend(const Ends& ends, uint32_t count) {
    const Place end = end_place();
    const Part& head = parts_.front();
    const Place first{head.run, head.from, head.first};
    const int32_t oldest_time = h_->oldest_time.seconds;
    const auto older = [&](const Rec& rec) { return rec.timed && rec.time < oldest_time; };
    if (!first_destroyed_ && !time_confirms(first.rec, oldest_time)) {
      const Place earlier = back_from(end, count);
      if (ok_ && earlier.found() && !older(earlier.rec) &&
          (earlier.run != first.run || earlier.index != first.index)) {
        const int64_t loss = start_loss_;
        start_loss_ = -1;
        if (walk_to({earlier, end, End::kRecord}) && total_known_ && total_ == count) return;
        start_loss_ = loss;
        if (!ok_ || !walk_to(ends)) return;
      }
    }
    const Run& run = runs_[static_cast<size_t>(end.run)];
    if (total_ >= count || time_confirms(end.rec, h_->newest_time.seconds) ||
        end.index + 1 >= run.records) {
      return;
    }
    // The records behind the newest in its run, up to the count, unless they
    // are older than the oldest message (a free gap's).
    const uint32_t most = std::min(count - total_, run.records - 1 - end.index);
    Place later;
    if (!walk_run(
            fd_, size_, run, end.index + 1, end.index + most,
            [&](uint32_t index, const Rec& rec) {
              if (older(rec)) return false;
              later = Place{end.run, index, rec};
              return true;
            },
            status_)) {
      ok_ = false;
      return;
    }
    if (later.found()) walk_to({first, later, End::kRecord});
  }

  static bool time_confirms(const Rec& rec, int32_t seconds) {
    return rec.timed && rec.time == seconds;
  }

  // Walks the ring between `ends` and settles the stretches between its
  // parts.
  bool walk_to(const Ends& ends) {
    tail_ = Tail{};
    altered_newest_ = {-1, -1};
    if (ends.drop_newest) {
      const int64_t n = ends.newest.rec.offset;
      altered_newest_ = {n,
                         std::min(size_, n + h_->last_message_size + int64_t{record_prefix_size})};
    }
    bool walked = false;
    switch (ends.end) {
      case End::kRecord:
        walked = walk(ends.oldest, ends.newest, kNoLimit, -1);
        break;
      case End::kDestroyed:
        walked = walk(ends.oldest, Place{}, kNoLimit, h_->newest_offset);
        if (walked) end_at_destroyed_newest();
        break;
      case End::kCounted:
        walked = walk(ends.oldest, Place{}, h_->message_count, -1);
        break;
    }
    if (walked && ok_) settle();
    return walked && ok_;
  }

  // The record at a marked offset, unless it is a byte-identical copy of the
  // record before it: a copy shifts the records behind it, and what lies at
  // a header's offset then is the copy.
  Place marked(Mark mark) const {
    const Place& at = f_.at[mark];
    if (at.found()) {
      const Run& run = runs_[static_cast<size_t>(at.run)];
      for (const Copy& c : run.copies) {
        if (c.index == at.index) return {};
      }
    }
    return at;
  }

  // The run record that starts exactly at `offset`, if any.
  Place record_at(int64_t offset) {
    for (size_t r = 0; r < runs_.size(); ++r) {
      const Run& run = runs_[r];
      if (offset < run.first() || offset >= run.end()) continue;
      Place found;
      if (!walk_run(
              fd_, size_, run, 0, run.records - 1,
              [&](uint32_t index, const Rec& rec) {
                if (rec.offset == offset) found = Place{static_cast<int32_t>(r), index, rec};
                return rec.offset < offset;
              },
              status_)) {
        ok_ = false;
      }
      return found;
    }
    return {};
  }

  // The oldest offset names record `at`; it may be a later record than the
  // oldest time names: the record of that time that leads to it in its run,
  // else the first record of a run that has it (`timed`).
  Place oldest_from_record(const Place& at, const Place* timed) {
    if (!at.rec.timed || at.rec.time == h_->oldest_time.seconds) return at;
    const Place earlier = oldest_time_before(at);
    if (!ok_) return {};
    if (earlier.found() || timed != nullptr) {
      oldest_alt_ = at;
      return earlier.found() ? earlier : *timed;
    }
    // A record copied or bytes inserted before the oldest record move it one
    // record on from where the oldest offset still points.
    const Place next = oldest_time_next(at);
    if (!ok_) return {};
    if (next.found()) {
      oldest_alt_ = at;
      return next;
    }
    return at;
  }

  Place anchor_oldest() {
    const Place at = marked(kMarkOldest);
    const int64_t o = h_->oldest_offset;
    const Place* timed = nearest(f_.oldest_like, o);
    if (at.found()) return oldest_from_record(at, timed);
    if (timed != nullptr) return *timed;
    // Bytes inserted or deleted before the oldest record move it, maybe into
    // the run of older records that lead to it.
    const Place moved = oldest_time_in_run_at(o);
    if (!ok_) return {};
    if (moved.found()) return moved;
    if (o < store_header_size || o >= size_) return {};
    // The oldest record itself is gone: the ring begins at the first record
    // behind the place it had, unless that place lies inside a record, or
    // that record is older than the oldest message, or lies behind the
    // newest offset (the ring then holds no intact record).
    if (covered(o)) return {};
    const auto place = [&](int64_t x) { return x >= o ? x - o : x + (size_ - o); };
    const int64_t n = h_->newest_offset;
    const bool newest_valid = n >= store_header_size && n < size_;
    const size_t count = runs_.size();
    size_t r = 0;
    while (r < count && runs_[r].first() < o) ++r;
    for (size_t k = 0; k < count; ++k, ++r) {
      const Run& run = runs_[r % count];
      if (stale_looking(run)) continue;
      const Place first{static_cast<int32_t>(r % count), 0, run.head};
      if (newest_valid && place(run.first()) > place(n)) {
        // Bytes inserted before the oldest record move the newest as far:
        // a record of the newest's size there means the ring moved.
        const Place moved = record_at(n + (run.first() - o));
        if (!moved.found() || moved.rec.size != h_->last_message_size) break;
        shifted_newest_ = moved;
        return first;
      }
      first_destroyed_ = true;
      start_loss_ = o;
      return first;
    }
    ring_destroyed_ = newest_valid;
    return {};
  }

  // Of the records of the newest's size near `n`, the nearest whose time is
  // the header's newest time; their messages are read in that order.
  Place newest_described(int64_t n) {
    if (newest_described_done_) return newest_described_;
    newest_described_done_ = true;
    newest_described_ = find_newest_described(n);
    return newest_described_;
  }

  Place find_newest_described(int64_t n) {
    if (f_.too_many_like) return {};
    std::vector<const Place*> order;
    for (const Place& p : f_.newest_like) order.push_back(&p);
    std::sort(order.begin(), order.end(), [&](const Place* a, const Place* b) {
      return distance(a->rec.offset, n) < distance(b->rec.offset, n);
    });
    std::vector<unsigned char> message;
    for (const Place* p : order) {
      Rec rec = p->rec;
      if (!rec.described) {
        VARNO_STATUS st;
        if (!read_rec(fd_, rec.offset, size_, &rec, &message, &st)) {
          if (varno_failed(st)) {
            ok_ = false;
            *status_ = st;
          }
          return {};
        }
      }
      if (rec.timed && rec.time == h_->newest_time.seconds) return Place{p->run, p->index, rec};
    }
    return {};
  }

  // The record with the header's oldest time nearest to `offset` in the run
  // that covers it, if any.
  Place oldest_time_in_run_at(int64_t offset) {
    Place found;
    for (size_t r = 0; r < runs_.size(); ++r) {
      const Run& run = runs_[r];
      if (offset < run.first() || offset >= run.end()) continue;
      if (!walk_run(
              fd_, size_, run, 0, run.records - 1,
              [&](uint32_t index, const Rec& rec) {
                if (rec.timed && rec.time == h_->oldest_time.seconds &&
                    (!found.found() ||
                     distance(rec.offset, offset) < distance(found.rec.offset, offset))) {
                  found = Place{static_cast<int32_t>(r), index, rec};
                }
                return true;
              },
              status_)) {
        ok_ = false;
      }
      break;
    }
    return found;
  }

  // The last record before `at` in its run that has the header's oldest time.
  // The record right behind `at` in its run, when it has the oldest time.
  Place oldest_time_next(const Place& at) {
    const Run& run = runs_[static_cast<size_t>(at.run)];
    if (at.index + 1 >= run.records) return {};
    return last_of_oldest_time(at.run, at.index + 1, at.index + 1);
  }

  // The last record before `at` in its run that has the oldest time.
  Place oldest_time_before(const Place& at) {
    if (at.index == 0) return {};
    return last_of_oldest_time(at.run, 0, at.index - 1);
  }

  // Of records `from` to `to` of run `r`, the last with the oldest time.
  Place last_of_oldest_time(int32_t r, uint32_t from, uint32_t to) {
    Place found;
    if (!walk_run(
            fd_, size_, runs_[static_cast<size_t>(r)], from, to,
            [&](uint32_t index, const Rec& rec) {
              if (rec.timed && rec.time == h_->oldest_time.seconds) found = Place{r, index, rec};
              return true;
            },
            status_)) {
      ok_ = false;
    }
    return found;
  }

  // The readings of the ring's newest end from `oldest`, the likeliest
  // first: the record at the newest offset when its size and time are the
  // header's; else the records the header describes (its time and size),
  // the record as far from the newest offset as the oldest record is from
  // the oldest offset (bytes inserted or deleted before both), the record at
  // the newest offset all the same (or without it, when its own size was
  // changed), the record at the last offset; and where none is, the
  // destroyed record at the newest offset or as many records as counted.
  std::vector<Ends> newest_ends(const Place& oldest) {
    std::vector<Ends> ends;
    const Place at = marked(kMarkNewest);
    const int64_t n = h_->newest_offset;
    const int64_t size = h_->last_message_size;
    const auto add = [&](const Place& p, bool drop) {
      if (!p.found()) return;
      for (const Ends& e : ends) {
        if (e.end == End::kRecord && e.newest.run == p.run && e.newest.index == p.index &&
            e.drop_newest == drop) {
          return;
        }
      }
      ends.push_back({oldest, p, End::kRecord, drop});
    };
    if (at.found() && at.rec.size == size && time_confirms(at.rec, h_->newest_time.seconds)) {
      add(at, false);
      return ends;
    }
    const Place timed = newest_described(n);
    if (!ok_) return ends;
    add(timed, false);
    if (oldest.found() && oldest.rec.offset != h_->oldest_offset) {
      const Place moved = record_at(n + (oldest.rec.offset - h_->oldest_offset));
      if (moved.found() && moved.rec.size == size) add(moved, false);
    }
    if (at.found()) {
      // Its size was changed: the ring ends before it (settle drops it).
      add(at, at.rec.size != size && newest_size_altered(at));
    }
    add(shifted_newest_, false);
    const Place last = marked(kMarkLast);
    if (last.found() && last.rec.size == size) add(last, false);
    if (!oldest.found()) return ends;
    // No intact record lies at the newest offset: where it names a place no
    // record covers, the newest record may have been there and be destroyed.
    if (!at.found() && n >= store_header_size && n < size_ && !covered(n)) {
      ends.push_back({oldest, {}, End::kDestroyed, false});
    }
    if (!at.found()) ends.push_back({oldest, {}, End::kCounted, false});
    return ends;
  }

  bool covered(int64_t offset) const {
    return std::any_of(runs_.begin(), runs_.end(),
                       [&](const Run& run) { return run.first() <= offset && offset < run.end(); });
  }

  // The ring ends with the destroyed record at the newest offset: what lies
  // from the last part up to the end the header gives it is dropped.
  void end_at_destroyed_newest() {
    const int64_t n = h_->newest_offset;
    const int64_t size = h_->last_message_size;
    tail_.from = parts_.back().last.end();
    tail_.crossing = tail_.from > n;
    const bool sized = size >= kMessageHeaderSize && size < (int64_t{1} << 32);
    tail_.to = std::min(size_, n + (sized ? size + record_prefix_size : record_header_size));
    last_destroyed_ = true;
  }

  // The record at the newest offset has another size than the header says.
  // Its size was changed (not the header's) when the current offset agrees
  // with the header's size and not with the record's, or when the library
  // cannot read the message with the record's own size.
  bool newest_size_altered(const Place& at) {
    const int64_t n = at.rec.offset;
    const int64_t header_size = h_->last_message_size;
    if (header_size < kMessageHeaderSize || header_size >= (int64_t{1} << 32)) return false;
    const auto step = [&](int64_t size) {
      return next_record_offset(n, static_cast<uint32_t>(size), size_, n);
    };
    // Each witness votes where it tells the two apart: the current offset
    // (where the step rule goes behind the newest record) and whether the
    // library reads the message with the one size or the other.
    int header_votes = 0;
    int record_votes = 0;
    if (step(header_size) != step(at.rec.size)) {
      header_votes += h_->current_offset == step(header_size) ? 1 : 0;
      record_votes += h_->current_offset == step(at.rec.size) ? 1 : 0;
    }
    const bool reads_as_header = readable_with(at.rec, header_size);
    if (reads_as_header != at.rec.readable) {
      header_votes += reads_as_header ? 1 : 0;
      record_votes += at.rec.readable ? 1 : 0;
    }
    return header_votes > record_votes;
  }

  // Whether the library reads the message of `rec` when its size is `size`.
  bool readable_with(const Rec& rec, int64_t size) {
    if (rec.offset + record_prefix_size + size > size_ || size > kMaxCutShort) return false;
    std::vector<unsigned char> message(static_cast<size_t>(size));
    VARNO_STATUS st;
    varno_s_file_seek(fd_, rec.offset + record_prefix_size, kSeekSet, &st);
    if (!varno_failed(st)) varno_s_file_read(fd_, message.data(), static_cast<uint32_t>(size), &st);
    if (varno_failed(st)) return false;
    put_u32(message.data() + kMsgSizeAt, static_cast<uint32_t>(size));
    Rec as;
    describe_message(message.data(), &as);
    return as.readable;
  }

  static const Place* nearest(const std::vector<Place>& list, int64_t offset) {
    const Place* best = nullptr;
    for (const Place& p : list) {
      if (best == nullptr || distance(p.rec.offset, offset) < distance(best->rec.offset, offset)) {
        best = &p;
      }
    }
    return best;
  }
  static int64_t distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

  // Whole runs older than the oldest record the header names: a free gap's
  // records, which a walk that counts never takes.
  bool stale_looking(const Run& run) const {
    if (h_ == nullptr) return false;
    const int32_t oldest = h_->oldest_time.seconds;
    // Every time stamp its ends carry is older; one end alone older than the
    // other's stamp allows is a body damaged where no checksum sees it.
    const bool head_older = run.head.timed && run.head.time < oldest;
    const bool tail_older = run.tail.timed && run.tail.time < oldest;
    if (run.head.timed && run.tail.timed) return head_older && tail_older;
    return head_older || tail_older;
  }

  // The place `count` records before and including `newest`, going back
  // through the runs in ring order.
  Place back_from(const Place& newest, uint32_t count) {
    const uint32_t need = std::max<uint32_t>(count, 1);
    const Run& own = runs_[static_cast<size_t>(newest.run)];
    const uint32_t here = newest.index + 1 - copies_in(own, 0, newest.index);
    if (here >= need) return place_at(newest.run, back_index(own, newest.index, need));
    uint32_t left = need - here;
    Place first = place_at(newest.run, 0);
    const int32_t n = static_cast<int32_t>(runs_.size());
    for (int32_t r = (newest.run + n - 1) % n; r != newest.run; r = (r + n - 1) % n) {
      const Run& run = runs_[static_cast<size_t>(r)];
      if (stale_looking(run)) break;
      // Behind the newest record of a wrapped ring, in file order, lies its
      // free gap up to the oldest offset (moved back as far as the newest
      // record was): older records only.
      if (run.first() > newest.rec.offset && header_ring_wraps() && h_ != nullptr &&
          run.first() <
              h_->oldest_offset + std::min<int64_t>(0, newest.rec.offset - h_->newest_offset)) {
        break;
      }
      const uint32_t records = run.records - copies_in(run, 0, run.records - 1);
      if (records >= left) return place_at(r, back_index(run, run.records - 1, left));
      left -= records;
      first = Place{r, 0, run.head};
    }
    return first;
  }

  // The index in `run` at which `count` records (copies not counted) end
  // at `last`.
  static uint32_t back_index(const Run& run, uint32_t last, uint32_t count) {
    uint32_t index = last;
    for (uint32_t taken = 1; taken < count && index > 0; --index) {
      const bool copy = std::any_of(run.copies.begin(), run.copies.end(),
                                    [&](const Copy& c) { return c.index == index; });
      if (!copy) ++taken;
    }
    return index;
  }

  // ---- Walking the runs in ring order.

  // Collects the parts from `from` to `to` (or, without `to`, `limit`
  // records, or the runs before the place `stop` in ring order) in ring
  // order. False when `to` was given and never met.
  // Records `i` to `last` of run `r` as a part, with the stretch before it:
  // from the end of the part before (`previous_end`), else from where the
  // ring's start was lost. `first` is the first record when already read.
  Part part_of(int32_t r, uint32_t i, uint32_t last, const Rec* first, const Place& to,
               int64_t previous_end, bool crossed) {
    const Run& run = runs_[static_cast<size_t>(r)];
    Part p;
    p.run = r;
    p.from = i;
    p.to = last;
    p.first = first != nullptr ? *first : rec_at(run, r, i, to);
    p.last = rec_at(run, r, last, to);
    if (previous_end >= 0) {
      p.gap_from = previous_end;
      p.crossing = crossed;
    } else if (start_loss_ >= 0) {
      p.gap_from = start_loss_;
      p.crossing = start_loss_ > p.first.offset;
    }
    return p;
  }

  bool walk(const Place& from, const Place& to, uint32_t limit, int64_t stop) {
    parts_.clear();
    const int32_t n = static_cast<int32_t>(runs_.size());
    const auto ring_place = [&](int64_t offset) {
      return offset >= from.rec.offset ? offset - from.rec.offset
                                       : offset + (size_ - from.rec.offset);
    };
    int32_t r = from.run;
    uint32_t i = from.index;
    bool crossed = false;
    int laps = 0;
    uint32_t taken = 0;
    int64_t previous_end = -1;
    for (int32_t step = 0; step <= n + 1; ++step) {
      const Run& run = runs_[static_cast<size_t>(r)];
      uint32_t last = run.records - 1;
      if (laps > 0 && r == from.run) {
        // Back at the run the ring began in.
        if (i >= from.index) break;
        last = from.index - 1;
      }
      if (stop >= 0 && !parts_.empty() && ring_place(run.first()) > ring_place(stop)) break;
      bool finish = false;
      if (to.found() && to.run == r && to.index >= i && to.index <= last) {
        last = to.index;
        finish = true;
      }
      if (!to.found() && stop < 0 && !parts_.empty() && stale_looking(run)) break;
      uint32_t records = last - i + 1 - copies_in(run, i, last);
      if (!to.found() && stop < 0 && taken + records >= limit) {
        last = index_for(run, i, limit - taken);
        records = limit - taken;
        finish = true;
      }
      const bool at_start = i == from.index && r == from.run && laps == 0;
      const Part p = part_of(r, i, last, at_start ? &from.rec : nullptr, to, previous_end, crossed);
      if (!ok_) return false;
      parts_.push_back(p);
      taken += records;
      if (finish) return true;
      previous_end = p.last.end();
      crossed = false;
      if (++r == n) {
        r = 0;
        crossed = true;
        if (++laps > 1) break;
      }
      i = 0;
      // A walk that counts may wrap only where the header says the ring
      // does: behind the newest record of a ring that never wrapped lie
      // only older records.
      if (crossed && !to.found() && !header_ring_wraps()) break;
    }
    return !to.found() && !parts_.empty();
  }

  bool header_ring_wraps() const { return h_ == nullptr || h_->newest_offset < h_->oldest_offset; }

  uint32_t part_records(const Part& p) const {
    return p.to - p.from + 1 - copies_in(runs_[static_cast<size_t>(p.run)], p.from, p.to) -
           (p.first_copy ? 1 : 0);
  }

  uint32_t copies_in(const Run& run, uint32_t from, uint32_t to) const {
    uint32_t n = 0;
    for (const Copy& c : run.copies) n += c.index > from && c.index <= to ? 1 : 0;
    return n;
  }

  // The index in `run` from `from` at which `count` records (copies not
  // counted) have been taken.
  uint32_t index_for(const Run& run, uint32_t from, uint32_t count) const {
    uint32_t index = from + count - 1;
    for (const Copy& c : run.copies) {
      if (c.index > from && c.index <= index) ++index;
    }
    return std::min(index, run.records - 1);
  }

  Rec rec_at(const Run& run, int32_t r, uint32_t index, const Place& known) {
    if (index == 0) return run.head;
    if (index + 1 == run.records) return run.tail;
    if (index + 2 == run.records && run.before_tail.offset >= 0) return run.before_tail;
    if (known.found() && known.run == r && known.index == index) return known.rec;
    return place_at(r, index).rec;
  }

  Place place_at(int32_t r, uint32_t index) {
    const Run& run = runs_[static_cast<size_t>(r)];
    Place place{r, index, {}};
    if (index == 0) {
      place.rec = run.head;
    } else if (index + 1 == run.records) {
      place.rec = run.tail;
    } else if (!walk_run(
                   fd_, size_, run, index, index,
                   [&](uint32_t, const Rec& rec) {
                     place.rec = rec;
                     return false;
                   },
                   status_)) {
      ok_ = false;
    }
    return place;
  }

  Place end_place() const {
    const Part& p = parts_.back();
    return Place{p.run, p.to, p.last};
  }

  uint32_t records_of_parts() const {
    uint32_t n = 0;
    for (const Part& p : parts_) n += part_records(p);
    return n;
  }

  // Records of the parts and of the stretches whose count is known.
  int64_t kept_with_known_gaps() const {
    int64_t n = records_of_parts();
    for (const Part& p : parts_) n += std::max<int64_t>(p.gap_records, 0);
    return n;
  }

  // ---- The stretches between the parts.

  void settle() {
    trim_cut_short();
    drop_altered_newest();
    if (ok_) mark_copies_across();
    if (ok_) measure_gaps();
    if (ok_) number_parts();
  }

  // The newest record whose size was changed is no record the ring keeps.
  void drop_altered_newest() {
    altered_dropped_ = false;
    if (altered_newest_.first < 0) altered_newest_ = cut_short_newest();
    if (altered_newest_.first < 0 || parts_.empty()) return;
    Part& p = parts_.back();
    if (p.last.offset != altered_newest_.first) return;
    altered_dropped_ = true;
    if (p.to == p.from) {
      parts_.pop_back();
    } else {
      --p.to;
      p.last = rec_at(runs_[static_cast<size_t>(p.run)], p.run, p.to, Place{});
    }
  }

  void measure_gaps() {
    for (Part& p : parts_) {
      p.lost = p.gap_from >= 0 && (p.crossing ? size_ - p.gap_from >= int64_t{record_header_size} ||
                                                    p.first.offset > store_header_size
                                              : p.first.offset > p.gap_from);
      p.gap_records = p.lost ? chain(p.gap_from, p.first.offset, p.crossing) : 0;
      if (!ok_) return;
    }
    if (altered_dropped_) {
      tail_.from = altered_newest_.first;
      tail_.to = altered_newest_.second;
      tail_.crossing = false;
      tail_.records = 1;
      last_destroyed_ = true;
    } else if (tail_.from >= 0) {
      const int64_t to_newest = chain(tail_.from, h_->newest_offset, tail_.crossing);
      tail_.records = to_newest < 0 ? -1 : to_newest + 1;
    }
  }

  // How many records lie from `from` to exactly `to` (over the end of the
  // file to 192 when `crossing`) by the message sizes written in them, their
  // headers damaged or not; -1 when the sizes do not lead there.
  int64_t chain(int64_t from, int64_t to, bool crossing) {
    int64_t n = 0;
    int64_t at = from;
    for (int step = 0; step < kMaxChain; ++step) {
      if (!crossing && at == to) return n;
      if (at > size_) return -1;  // a size that runs past the end of the file steps nowhere
      if (crossing && size_ - at < int64_t{record_header_size}) {
        at = store_header_size;
        crossing = false;
        continue;
      }
      if ((!crossing && at > to) || size_ - at < int64_t{record_header_size}) return -1;
      unsigned char word[4];
      VARNO_STATUS st;
      varno_s_file_seek(fd_, at + record_prefix_size + kMsgSizeAt, kSeekSet, &st);
      if (!varno_failed(st)) varno_s_file_read(fd_, word, sizeof word, &st);
      if (varno_failed(st)) {
        ok_ = false;
        *status_ = st;
        return -1;
      }
      const uint32_t size = get_u32(word);
      if (size < kMessageHeaderSize || size > std::numeric_limits<uint32_t>::max() - 12) return -1;
      at += size + record_prefix_size;
      ++n;
    }
    return -1;
  }

  void number_parts() {
    int64_t base = 0;
    bool numbered = true;
    numbered_prefix_ = -1;
    if (oldest_counted_ && h_ != nullptr && kept_with_known_gaps() < h_->message_count) {
      numbered = false;
      numbered_prefix_ = 0;
    }
    for (Part& p : parts_) {
      if (p.lost) {
        if (p.gap_records < 0 && numbered) {
          numbered = false;
          numbered_prefix_ = base;
        }
        base += std::max<int64_t>(p.gap_records, 0);
      }
      p.numbered = numbered;
      p.base = static_cast<uint32_t>(base);
      base += part_records(p);
    }
    if (tail_.from >= 0) {
      if (tail_.records < 0 && numbered) {
        numbered = false;
        numbered_prefix_ = base;
      }
      base += std::max<int64_t>(tail_.records, 0);
    }
    total_ = static_cast<uint32_t>(std::min<int64_t>(base, std::numeric_limits<uint32_t>::max()));
    total_known_ = numbered;
    if (numbered_prefix_ < 0) numbered_prefix_ = base;
  }

  // Without a header that can be trusted: the runs in file order, or, where
  // the layout shows a wrapped ring (the last run reaches the end of the
  // file), from the run whose first message is the earliest.
  void layout() {
    parts_.clear();
    start_loss_ = -1;
    tail_ = Tail{};
    altered_newest_ = {-1, -1};
    first_destroyed_ = false;
    last_destroyed_ = false;
    if (runs_.empty()) return;
    const size_t n = runs_.size();
    size_t start = 0;
    const bool wrapped = n >= 2 && size_ - runs_.back().end() < int64_t{record_header_size};
    if (wrapped) {
      start = 1;
      const bool timed =
          std::all_of(runs_.begin(), runs_.end(), [](const Run& run) { return run.head.timed; });
      if (timed) {
        for (size_t r = 0; r < n; ++r) {
          if (runs_[r].head.time < runs_[start].head.time) start = r;
        }
      }
      out_.layout_start = start == 0 ? -1 : runs_[start].first();
    }
    bool crossed = false;
    for (size_t k = 0; k < n; ++k) {
      const size_t r = (start + k) % n;
      const Run& run = runs_[r];
      crossed = crossed || (k > 0 && r == 0);
      Part p;
      p.run = static_cast<int32_t>(r);
      p.from = h_ != nullptr ? first_not_older(run) : 0;
      if (p.from >= run.records) continue;  // older than the oldest message: stale
      p.to = run.records - 1;
      p.first = p.from == 0 ? run.head : place_at(static_cast<int32_t>(r), p.from).rec;
      p.last = run.tail;
      if (parts_.empty()) {
        if (r == 0 && p.from == 0 && run.first() > store_header_size) {
          p.gap_from = store_header_size;
        }
      } else {
        p.gap_from = parts_.back().last.end();
        p.crossing = crossed;
      }
      crossed = false;
      parts_.push_back(p);
    }
  }

  // With a header that names no ring but whose oldest time can be trusted:
  // the first record of `run` that is not older than the oldest message.
  uint32_t first_not_older(const Run& run) {
    const int32_t oldest = h_->oldest_time.seconds;
    if (!run.tail.timed || run.tail.time < oldest) return stale_looking(run) ? run.records : 0;
    if (!run.head.timed || run.head.time >= oldest) return 0;
    uint32_t first = 0;
    if (!walk_run(
            fd_, size_, run, 0, run.records - 1,
            [&](uint32_t index, const Rec& rec) {
              first = index;
              return rec.timed && rec.time < oldest;
            },
            status_)) {
      ok_ = false;
    }
    return first;
  }

  // A part whose last record ends short of the record behind a gap, whose
  // message the library cannot read with its size but can with the size
  // that reaches that record, and behind which no record begins: its size
  // was cut, and the record is dropped with the gap.
  void trim_cut_short() {
    for (size_t k = 0; k + 1 < parts_.size() && ok_; ++k) {
      Part& p = parts_[k];
      Part& q = parts_[k + 1];
      const Run& run = runs_[static_cast<size_t>(p.run)];
      // Before the end of the file the cut-off bytes are the few the step
      // rule leaves there.
      const int64_t next = q.crossing ? size_ : q.first.offset;
      if (q.gap_from != p.last.end() || p.to + 1 != run.records || p.last.readable ||
          !cut_short(p.last, next)) {
        continue;
      }
      q.gap_from = p.last.offset;
      if (drop_last_of(k)) --k;
    }
    // The same before the destroyed newest record the ring ends with.
    if (ok_ && !parts_.empty() && tail_.from >= 0 && !tail_.crossing) {
      const Part& p = parts_.back();
      const Run& run = runs_[static_cast<size_t>(p.run)];
      if (tail_.from == p.last.end() && p.to + 1 == run.records && !p.last.readable &&
          cut_short(p.last, h_->newest_offset)) {
        tail_.from = p.last.offset;
        drop_last_of(parts_.size() - 1);
      }
    }
  }

  void mark_copies_across() {
    for (size_t k = 1; k < parts_.size() && ok_; ++k) {
      Part& p = parts_[k];
      p.first_copy = same_bytes(parts_[k - 1].last, p.first);
    }
  }

  // Two records of one size whose bytes are all alike.
  bool same_bytes(const Rec& a, const Rec& b) {
    if (a.size != b.size || a.offset == b.offset) return false;
    const int64_t length = a.end() - a.offset;
    std::vector<unsigned char> x(static_cast<size_t>(std::min<int64_t>(length, kMaxCutShort)));
    std::vector<unsigned char> y(x.size());
    for (int64_t done = 0; done < length;) {
      const uint32_t n =
          static_cast<uint32_t>(std::min<int64_t>(length - done, static_cast<int64_t>(x.size())));
      VARNO_STATUS st;
      varno_s_file_seek(fd_, a.offset + done, kSeekSet, &st);
      if (!varno_failed(st)) varno_s_file_read(fd_, x.data(), n, &st);
      if (!varno_failed(st)) varno_s_file_seek(fd_, b.offset + done, kSeekSet, &st);
      if (!varno_failed(st)) varno_s_file_read(fd_, y.data(), n, &st);
      if (varno_failed(st)) {
        ok_ = false;
        *status_ = st;
        return false;
      }
      if (std::memcmp(x.data(), y.data(), n) != 0) return false;
      done += n;
    }
    return true;
  }

  // Drops the last record of part `k`; true when the part went with it.
  bool drop_last_of(size_t k) {
    Part& p = parts_[k];
    if (p.to == p.from) {
      parts_.erase(parts_.begin() + static_cast<std::ptrdiff_t>(k));
      return true;
    }
    --p.to;
    p.last = rec_at(runs_[static_cast<size_t>(p.run)], p.run, p.to, Place{});
    return false;
  }

  // The newest record the header names, cut short with its checksum made
  // right, when the header's size for it is no witness: its message, read
  // up to where the header puts the next record, is whole there.
  std::pair<int64_t, int64_t> cut_short_newest() {
    if (h_ == nullptr || parts_.empty() || tail_.from >= 0) return {-1, -1};
    const Rec& last = parts_.back().last;
    const int64_t c = h_->current_offset;
    if (!last.described || last.readable || last.offset != h_->newest_offset ||
        h_->last_message_size == last.size || c <= last.end() || c > size_ || !cut_short(last, c)) {
      return {-1, -1};
    }
    return {last.offset, c};
  }

  bool cut_short(const Rec& rec, int64_t next) {
    const int64_t whole = next - rec.offset - record_prefix_size;
    if (next <= rec.end() || whole - rec.size > kMaxCutShort ||
        whole > std::numeric_limits<uint32_t>::max()) {
      return false;
    }
    std::vector<unsigned char> message(static_cast<size_t>(whole));
    VARNO_STATUS st;
    varno_s_file_seek(fd_, rec.offset + record_prefix_size, kSeekSet, &st);
    if (!varno_failed(st))
      varno_s_file_read(fd_, message.data(), static_cast<uint32_t>(whole), &st);
    if (varno_failed(st)) {
      ok_ = false;
      *status_ = st;
      return false;
    }
    const int64_t behind = rec.end() - rec.offset - record_prefix_size;
    if (behind + 4 <= whole && std::memcmp(message.data() + behind, kRecordMarker, 4) == 0) {
      return false;
    }
    put_u32(message.data() + kMsgSizeAt, static_cast<uint32_t>(whole));
    Rec as_whole;
    describe_message(message.data(), &as_whole);
    return as_whole.readable;
  }

  // ---- Reporting the ring, in ring order.

  bool emit_ring() {
    bool numbered = true;  // the numbering holds up to here
    for (Part& p : parts_) {
      if (p.lost) {
        const uint32_t before = p.base - static_cast<uint32_t>(std::max<int64_t>(p.gap_records, 0));
        lost(p.gap_from, p.first.offset, p.crossing, true, numbered ? before + 1 : 0);
        if (!ok_) return false;
      }
      numbered = p.numbered;
      const Run& run = runs_[static_cast<size_t>(p.run)];
      if (p.first_copy) {
        ScanFinding f{ScanFinding::kDuplicate};
        f.offset = p.first.offset;
        f.expected = (&p - 1)->last.offset;
        report(f);
      }
      for (const Copy& c : run.copies) {
        if (c.index <= p.from || c.index > p.to) continue;
        ScanFinding f{ScanFinding::kDuplicate};
        f.offset = c.offset;
        f.expected = c.original;
        report(f);
      }
      for (const BodyWord& w : f_.body_words) {
        if (w.run != p.run || w.index < p.from || w.index > p.to) continue;
        ScanFinding f{ScanFinding::kBodyWord};
        f.offset = w.offset + kBodyChecksumAt;
        f.found = w.word;
        f.record =
            p.numbered ? p.base + (w.index - p.from) - copies_in(run, p.from, w.index) + 1 : 0;
        report(f);
      }
    }
    if (tail_.from >= 0 && (tail_.crossing || tail_.to > tail_.from)) {
      const uint32_t before = total_ - static_cast<uint32_t>(std::max<int64_t>(tail_.records, 0));
      lost(tail_.from, tail_.to, tail_.crossing, false, numbered ? before + 1 : 0);
    }
    return ok_;
  }

  // The stretch from `from` to `to` (over the end of the file when
  // `crossing`), whose first place would hold ring record `record` (0: its
  // number is not known).
  void lost(int64_t from, int64_t to, bool crossing, bool record_follows, uint32_t record) {
    if (!crossing) {
      if (to > from) stretch(from, to, record_follows, record);
      return;
    }
    bool any = false;
    if (size_ - from >= int64_t{record_header_size}) {
      stretch(from, size_, false, record);
      any = true;
    }
    if (ok_ && to > store_header_size)
      stretch(store_header_size, to, record_follows, any ? 0 : record);
  }

  void stretch(int64_t from, int64_t to, bool record_follows, uint32_t record) {
    at_gap(from, to, record_follows, record);
    if (!ok_) return;
    if (first_loss_ < 0) {
      first_loss_ = from;
      first_loss_record_ = record;
    }
    ScanFinding f{ScanFinding::kLost};
    f.offset = from;
    f.end = to;
    f.record = record;
    report(f);
    out_.lost_any = true;
  }

  // What lies where the ring expected a record, at the start of a dropped
  // stretch that ends at `to`.
  void at_gap(int64_t at, int64_t to, bool record_follows, uint32_t record) {
    unsigned char bytes[record_header_size];
    RecordCheck c;
    VARNO_STATUS st;
    check_record(fd_, at, size_, bytes, &c, &st);
    if (c.defect == RecordCheck::kUnreadable) {
      ok_ = false;
      *status_ = st;
      return;
    }
    ScanFinding f;
    f.offset = at;
    f.record = record;
    if (c.defect == RecordCheck::kHeaderPastEnd) {
      f.kind = ScanFinding::kHeaderPastEnd;
      f.expected = record_header_size;
      f.found = size_ - at;
      report(f);
      return;
    }
    if (!c.marker_ok) {
      f.kind = ScanFinding::kRecordMarker;
      f.expected = get_u32(kRecordMarker);
      f.found = get_u32(bytes);
      report(f);
    }
    if (!c.header_checksum_ok()) {
      f.kind = ScanFinding::kRecordChecksum;
      f.expected = c.computed_checksum;
      f.found = c.stored_checksum;
      report(f);
    }
    f.found = c.message_size;
    if (c.defect == RecordCheck::kSizeSmall) {
      f.kind = ScanFinding::kSizeSmall;
      report(f);
    } else if (c.defect == RecordCheck::kSizePastEnd) {
      f.kind = ScanFinding::kSizePastEnd;
      f.expected = size_ - at - record_prefix_size;
      report(f);
    } else if (c.intact()) {
      f.kind = at + c.record_length() > to ? ScanFinding::kSwallowing : ScanFinding::kSizeWrong;
      f.end = to;
      report(f);
      return;
    }
    // Damaged records whose sizes still lead to the next record were only
    // damaged; sizes that lead elsewhere mean bytes were inserted or deleted.
    // A size that cannot be stepped over says nothing either way.
    // A stretch too short for any record held none: bytes were inserted.
    if (!record_follows || chain(at, to, false) >= 0 ||
        (!c.steppable() && to - at >= int64_t{record_header_size})) {
      return;
    }
    ScanFinding shifted{ScanFinding::kShifted};
    shifted.offset = to;
    shifted.expected = c.steppable() ? at + c.record_length() : at;
    report(shifted);
  }

  // Records of the runs that the ring does not take: stale, or, where the
  // ring counts fewer records than the header and they lead into its first
  // record or follow its last, unplaced.
  bool outside() {
    const bool short_ring = out_.header_used && total_ < h_->message_count && !parts_.empty();
    for (size_t r = 0; r < runs_.size() && ok_; ++r) {
      const Run& run = runs_[r];
      std::vector<const Part*> taken;
      for (const Part& p : parts_) {
        if (p.run == static_cast<int32_t>(r)) taken.push_back(&p);
      }
      std::sort(taken.begin(), taken.end(),
                [](const Part* a, const Part* b) { return a->from < b->from; });
      uint32_t next = 0;
      int64_t at = run.first();
      for (const Part* p : taken) {
        if (p->from > next)
          untaken(static_cast<int32_t>(r), next, p->from - 1, at, p->first.offset,
                  short_ring && p == &parts_.front());
        next = p->to + 1;
        at = p->last.end();
      }
      if (next < run.records) {
        untaken(static_cast<int32_t>(r), next, run.records - 1, at, run.end(),
                short_ring && !taken.empty() && taken.back() == &parts_.back());
      }
    }
    return ok_;
  }

  void untaken(int32_t r, uint32_t from, uint32_t to, int64_t first, int64_t end, bool unplaced) {
    const Run& run = runs_[static_cast<size_t>(r)];
    if (!unplaced) {
      ScanFinding f{ScanFinding::kStale};
      f.offset = first;
      f.end = end;
      f.count = to - from + 1 - copies_in(run, from, to);
      report(f);
      return;
    }
    if (!walk_run(
            fd_, size_, run, from, to,
            [&](uint32_t, const Rec& rec) {
              ScanFinding f{ScanFinding::kUnplaced};
              f.offset = rec.offset;
              f.end = rec.end();
              f.transaction = rec.transaction;
              f.timed = rec.timed;
              f.time = rec.time;
              report(f);
              return true;
            },
            status_)) {
      ok_ = false;
    }
  }

  // ---- The header against the ring.

  void forward() {
    ScanForward& fw = out_.forward;
    if (parts_.empty()) return;
    const Part& end = parts_.back();
    const int64_t behind = last_destroyed_ ? -1
                                           : next_record_offset(end.last.offset, end.last.size,
                                                                size_, end.last.offset);
    const int64_t f = h_->forward_offset;
    const uint32_t k = h_->forwarded_count;
    const Place& at = f_.at[kMarkForward];
    size_t in = parts_.size();
    for (size_t i = 0; i < parts_.size() && at.found(); ++i) {
      const Part& p = parts_[i];
      if (p.run == at.run && at.index >= p.from && at.index <= p.to) in = i;
    }
    // In a full ring the place behind the newest record is the oldest's:
    // the count tells which is meant, but only the count; what it says
    // cannot be checked, so nothing counts as forwarded for certain.
    const bool behind_newest = f == behind && !(in < parts_.size() && k < total_);
    fw.full_ring = f == behind && in < parts_.size() && parts_[in].from == at.index && in == 0;
    if (in < parts_.size() && !behind_newest) {
      const Part& p = parts_[in];
      fw.place = ScanForward::kRecord;
      fw.before = p.base + (at.index - p.from) - copies_in(runs_[p.run], p.from, at.index) -
                  (p.first_copy && at.index > p.from ? 1 : 0);
      fw.exact = p.numbered;
    } else if (behind_newest) {
      fw.place = ScanForward::kBehindNewest;
      fw.before = total_;
      fw.exact = total_known_;
    } else if (!damaged_record_at(f, &fw.before, &fw.exact)) {
      // No record's place: only the records that lie before it in the ring,
      // where their numbers are known, are shown forwarded by it.
      fw.place = ScanForward::kElsewhere;
      fw.before = records_before_place(f);
      fw.certain = static_cast<uint32_t>(
          std::min<int64_t>({fw.before, numbered_prefix_, static_cast<int64_t>(k)}));
      return;
    } else {
      fw.place = ScanForward::kRecord;
    }
    fw.count_agrees = fw.exact && fw.before == k;
    fw.certain = fw.full_ring ? 0
                              : static_cast<uint32_t>(std::min<int64_t>(
                                    {fw.before, numbered_prefix_, static_cast<int64_t>(k)}));
  }

  // Numbered ring records that end at or before `offset` in ring order (a
  // record `offset` falls inside is not counted); 0 for an offset outside
  // the data area.
  uint32_t records_before_place(int64_t offset) {
    if (offset < store_header_size || offset >= size_ || parts_.empty()) return 0;
    const int64_t start = parts_.front().first.offset;
    const auto place = [&](int64_t x) { return x >= start ? x - start : x + (size_ - start); };
    const int64_t at = place(offset);
    uint32_t n = 0;
    for (const Part& p : parts_) {
      if (!p.numbered || place(p.first.offset) >= at) break;
      const Run& run = runs_[static_cast<size_t>(p.run)];
      if (place(p.last.end()) <= at) {
        n = p.base + part_records(p);
        continue;
      }
      uint32_t k = 0;
      if (!walk_run(
              fd_, size_, run, p.from, p.to,
              [&](uint32_t index, const Rec& rec) {
                if (place(rec.end()) > at) return false;
                k = index - p.from + 1 - copies_in(run, p.from, index);
                return true;
              },
              status_)) {
        ok_ = false;
      }
      n = p.base + k;
      break;
    }
    return n;
  }

  // True when `offset` is where a damaged record of the ring lies, in a
  // stretch whose records the sizes tell; *before: ring records before it.
  bool damaged_record_at(int64_t offset, uint32_t* before, bool* exact) {
    bool numbered = true;
    for (const Part& p : parts_) {
      if (p.lost && p.gap_records > 0) {
        const int64_t index = chain_index(p.gap_from, p.first.offset, p.crossing, offset);
        if (index >= 0) {
          *before = p.base - static_cast<uint32_t>(p.gap_records) + static_cast<uint32_t>(index);
          *exact = numbered;
          return true;
        }
      }
      numbered = p.numbered;
    }
    return false;
  }

  // The step of chain(from, to, crossing) that is at `offset`; -1 none.
  int64_t chain_index(int64_t from, int64_t to, bool crossing, int64_t offset) {
    int64_t at = from;
    for (int64_t step = 0; step < kMaxChain; ++step) {
      if (at > size_) return -1;
      if (crossing && size_ - at < int64_t{record_header_size}) {
        at = store_header_size;
        crossing = false;
      }
      if ((!crossing && at >= to) || size_ - at < int64_t{record_header_size}) return -1;
      if (at == offset) return step;
      unsigned char word[4];
      VARNO_STATUS st;
      varno_s_file_seek(fd_, at + record_prefix_size + kMsgSizeAt, kSeekSet, &st);
      if (!varno_failed(st)) varno_s_file_read(fd_, word, sizeof word, &st);
      if (varno_failed(st)) return -1;
      at += get_u32(word) + int64_t{record_prefix_size};
    }
    return -1;
  }

  // Where the header's end record is destroyed, the header cannot be
  // checked against it.
  void contradictions() {
    out_.oldest_agrees = h_->oldest_offset == parts_.front().first.offset;
    if (!first_destroyed_) oldest_contradictions();
    if (!last_destroyed_) newest_contradictions();
    count_contradiction();
    forward_contradictions();
  }

  void say(ScanFinding::Kind kind, int64_t offset, int64_t expected, int64_t found) {
    ScanFinding f{kind};
    f.offset = offset;
    f.expected = expected;
    f.found = found;
    const Part& front = parts_.front();
    const Part& end = parts_.back();
    if (kind == ScanFinding::kOldestOffset || kind == ScanFinding::kOldestTime) {
      f.record = front.numbered ? front.base + 1 : 0;
    } else if (kind != ScanFinding::kForwardOffset && kind != ScanFinding::kForwardCount) {
      f.record = end.numbered ? end.base + part_records(end) : 0;
    }
    report(f);
  }

  void oldest_contradictions() {
    const CommonHeader& h = *h_;
    const Rec& first = parts_.front().first;
    if (h.oldest_offset != first.offset) {
      say(ScanFinding::kOldestOffset, h.oldest_offset, first.offset, h.oldest_offset);
    }
    if (first.timed && h.oldest_time.seconds != first.time) {
      say(ScanFinding::kOldestTime, -1, first.time, h.oldest_time.seconds);
    }
  }

  void newest_contradictions() {
    const CommonHeader& h = *h_;
    const Rec& last = parts_.back().last;
    if (h.newest_offset != last.offset) {
      say(ScanFinding::kNewestOffset, h.newest_offset, last.offset, h.newest_offset);
    }
    if (last.timed && h.newest_time.seconds != last.time) {
      say(ScanFinding::kNewestTime, -1, last.time, h.newest_time.seconds);
    }
    if (h.last_message_size != last.size) {
      say(ScanFinding::kLastSize, -1, last.size, h.last_message_size);
    }
    if (h.last_offset != last.offset) {
      say(ScanFinding::kLastOffset, h.last_offset, last.offset, h.last_offset);
    }
    const int64_t current = next_record_offset(last.offset, last.size, size_, last.offset);
    if (h.current_offset != current) {
      say(ScanFinding::kCurrentOffset, h.current_offset, current, h.current_offset);
    }
  }

  void count_contradiction() {
    if (total_ == h_->message_count) return;
    ScanFinding f{ScanFinding::kCount};
    f.offset = first_loss_ >= 0 ? first_loss_ : parts_.back().last.offset;
    f.record = first_loss_ >= 0 ? first_loss_record_ : (total_known_ ? total_ : 0);
    f.expected = total_;
    f.found = h_->message_count;
    report(f);
  }

  void forward_contradictions() {
    const CommonHeader& h = *h_;
    const ScanForward& fw = out_.forward;
    if (fw.place == ScanForward::kElsewhere) {
      say(ScanFinding::kForwardOffset, h.forward_offset, -1, h.forward_offset);
    } else if (fw.exact && fw.before != h.forwarded_count && h.forwarded_count <= h.message_count) {
      // More forwarded than counted is a fault of the header alone.
      say(ScanFinding::kForwardCount, h.forward_offset, fw.before, h.forwarded_count);
    }
  }

  void segments() {
    out_.ring.clear();
    out_.records = 0;
    out_.bytes = 0;
    for (const Part& p : parts_) {
      const Run& run = runs_[static_cast<size_t>(p.run)];
      RingScan::Segment s;
      s.first = p.first.offset;
      s.end = p.last.end();
      s.after_loss = p.lost;
      s.numbered = p.numbered;
      s.base = p.base;
      int64_t copied = 0;
      if (p.first_copy) {
        s.copies.push_back(p.first.offset);
        copied += p.first.end() - p.first.offset;
      }
      for (const Copy& c : run.copies) {
        if (c.index > p.from && c.index <= p.to) {
          s.copies.push_back(c.offset);
          copied += c.length;
        }
      }
      s.records = p.to - p.from + 1 - static_cast<uint32_t>(s.copies.size());
      out_.records += s.records;
      out_.bytes += s.end - s.first - copied;
      out_.ring.push_back(std::move(s));
    }
    out_.numbered_records = total_;
    out_.numbering_exact = total_known_;
  }

  void report(const ScanFinding& f) {
    if (reporter_ != nullptr) reporter_->report(f);
  }

  int32_t fd_;
  int64_t size_;
  const CommonHeader* h_;
  const Found& f_;
  const std::vector<Run>& runs_;
  ScanReporter* reporter_;
  Outcome& out_;
  VARNO_STATUS* status_;
  bool ok_ = true;
  std::vector<Part> parts_;
  Place oldest_alt_;        // the record at the oldest offset, when the oldest time named another
  Place shifted_newest_;    // the newest record, moved as far as the oldest
  Place newest_described_;  // the record the newest time and size describe, once looked for
  bool newest_described_done_ = false;
  int64_t start_loss_ = -1;  // the oldest record's place, when it is gone
  bool first_destroyed_ = false;
  bool oldest_counted_ = false;  // the oldest end was counted back from the newest
  bool ring_destroyed_ = false;  // the header's ring holds no intact record
  bool last_destroyed_ = false;  // the ring ends with a record that is gone or changed
  std::pair<int64_t, int64_t> altered_newest_ = {-1, -1};  // a newest record whose size was changed
  bool altered_dropped_ = false;
  Tail tail_;
  uint32_t total_ = 0;  // ring records, the damaged ones the stretches held included
  bool total_known_ = true;
  int64_t numbered_prefix_ = 0;  // ring records numbered before the first stretch of unknown count
  int64_t first_loss_ = -1;
  uint32_t first_loss_record_ = 0;
};

}  // namespace

bool reconcile(int32_t fd, int64_t file_size, const CommonHeader* header, const Found& found,
               ScanReporter* reporter, Outcome* outcome, VARNO_STATUS* status) {
  VARNO_SERVER_INITBLK(status);
  return Reconciler(fd, file_size, header, found, reporter, outcome, status).run();
}

}  // namespace ringscan
