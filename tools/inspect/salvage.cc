// salvage: the ring as the scan finds it, record by record, into a new store
// file with a header that describes it.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/inspect/salvage.h"

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "storeformat/ring.h"
#include "storeformat/ring_scan.h"
#include "tools/inspect/progress.h"

namespace inspect {

namespace {

constexpr int64_t kMax32 = 0xFFFFFFFF;

// OUT while it is being written: a file under a temporary name that is
// removed again unless committed, and committed only by a rename that never
// replaces a file. So no program ever sees a half-written OUT.
class PartialFile {
 public:
  PartialFile() = default;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() { discard(); }

  // Creates the temporary file for `out_path`, which must not exist yet.
  bool create(const std::string& out_path, VARNO_STATUS* status) {
    out_path_ = out_path;
    const std::string path = partial_name(out_path, platform::process_id());
    const int32_t fd = varno_s_file_create_new(path.c_str(), status);
    if (fd < 0) return false;
    fd_ = fd;
    path_ = path;
    return true;
  }
  int32_t fd() const { return fd_; }

  // Forces the file to the disk, closes it and renames it to OUT. *exists:
  // OUT appeared meanwhile (the temporary file is removed then).
  bool commit(bool* exists, VARNO_STATUS* status) {
    *exists = false;
    varno_s_file_sync(fd_, status);
    if (varno_failed(*status)) return false;
    varno_s_file_close(fd_, status);
    fd_ = -1;
    if (varno_failed(*status)) return false;
    if (platform::rename_no_replace(path_.c_str(), out_path_.c_str()) != 0) {
      *exists = platform::last_error() == platform::kErrorAlreadyExists;
      VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, static_cast<int32_t>(platform::last_error()),
                         status);
      VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrWrite, status);
      return false;
    }
    path_.clear();
    return true;
  }

  void discard() {
    if (fd_ >= 0) {
      VARNO_STATUS ignored;
      varno_s_file_close(fd_, &ignored);
      fd_ = -1;
    }
    if (!path_.empty()) platform::remove_file(path_.c_str());
    path_.clear();
  }

 private:
  int32_t fd_ = -1;
  std::string path_;
  std::string out_path_;
};

// True when a file (or anything else) is there under `path`.
bool something_at(const std::string& path) {
  VARNO_STATUS status;
  const int32_t fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &status);
  if (fd >= 0) {
    varno_s_file_close(fd, &status);
    return true;
  }
  return !status_holds(status, VARNO_FACILITY_STORE, kErrNotFound);
}

class Salvager : public ScanReporter {
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
    RingScan scan(store_.fd, size_, r_.header_usable ? &h_ : nullptr);
    const auto progress = [this](uint64_t records, int64_t bytes) {
      if (progress_ != nullptr) progress_->update(records, bytes);
    };
    if (!scan.run(this, progress, &status_)) return fail(Step::kScanning);
    note_forwarding(scan);
    if (!out_.create(out_path, &status_)) return fail(Step::kCreatingOut);
    RingWriter writer(out_.fd(), r_.out_size, r_.type);
    if (!writer.size_file(&status_)) return fail(Step::kWritingOut);
    if (!copy(scan, &writer, refusal)) return false;
    if (r_.header_usable && h_.message_count > r_.kept)
      r_.lost_records = h_.message_count - r_.kept;
    build_header(writer.appended());
    if (!writer.write_header(r_.out_header, &status_)) return fail(Step::kWritingOut);
    if (interrupted(refusal)) return false;
    bool exists = false;
    if (!out_.commit(&exists, &status_)) {
      if (exists) *refusal = SalvageRefusal::kOutExists;
      return fail(Step::kWritingOut);
    }
    return true;
  }

  void report(const ScanFinding& f) override {
    switch (f.kind) {
      case ScanFinding::kLost:
        lose(f.offset, f.end);
        break;
      case ScanFinding::kDuplicate:
        ++r_.copies;
        break;
      case ScanFinding::kStale:
        r_.stale += f.count;
        break;
      case ScanFinding::kUnplaced:
        r_.unplaced.push_back({f.offset, f.end - f.offset, f.transaction, f.timed, f.time});
        break;
      default:
        break;
    }
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
    if (something_at(out_path)) {
      *refusal = SalvageRefusal::kOutExists;
      return false;
    }
    return true;
  }

  void plan_output() {
    r_.header_usable = store_.header_usable();
    r_.type = store_.check.type >= 0 ? store_.check.type : 2;
    r_.header_count = r_.header_usable ? h_.message_count : 0;
    r_.header_forwarded = r_.header_usable ? h_.forwarded_count : 0;
    r_.out_size = r_.type == 2 ? size_ : std::min(size_, kMax32);
  }

  // A record counts as forwarded only where both witnesses agree: it lies
  // before the forward offset in the ring as the records show it, before any
  // damage, and within the header's forwarded count. Sending a message twice
  // is the lesser harm.
  void note_forwarding(const RingScan& scan) {
    r_.header_used = scan.header_used();
    r_.ring_start = scan.layout_start();
    const ScanForward& fw = scan.forward();
    forwarded_limit_ = fw.certain;
    r_.forward_before = fw.before;
    if (!r_.header_usable) {
      r_.forward_note = ForwardNote::kNoHeader;
    } else if (fw.place == ScanForward::kNoRing) {
      r_.forward_note = ForwardNote::kNoRing;
    } else if (fw.place == ScanForward::kElsewhere) {
      r_.forward_note = ForwardNote::kNotRecord;
    } else if (fw.full_ring && h_.forwarded_count > 0) {
      r_.forward_note = ForwardNote::kFullRing;
    } else if (!fw.exact) {
      r_.forward_note = ForwardNote::kDamageBefore;
    } else if (!fw.count_agrees) {
      r_.forward_note = ForwardNote::kCountDisagrees;
    } else {
      r_.forward_note = ForwardNote::kAgree;
    }
  }

  bool copy(const RingScan& scan, RingWriter* writer, SalvageRefusal* refusal) {
    RingReader reader(store_.fd, size_, scan.ring());
    bool counting = true;
    while (reader.next(&status_)) {
      if (interrupted(refusal)) return false;
      const RecordCheck& c = reader.check();
      bool fits = true;
      if (!writer->append(reader.message(), &fits, &status_)) return fail(Step::kWritingOut);
      if (!fits) {
        // Past what OUT can hold (the 32-bit offsets of the old layouts).
        lose(c.offset, c.offset + c.record_length());
        counting = false;
        continue;
      }
      if (c.body_checksum != 0) ++r_.words_cleared;
      if (counting && reader.index() < forwarded_limit_ && r_.forwarded == r_.kept) {
        ++r_.forwarded;
      } else if (forward_at_ < 0) {
        forward_at_ = writer->appended().newest_offset;
      }
      note_kept(reader);
    }
    if (varno_failed(status_)) return fail(Step::kReadingRecord);
    return true;
  }

  // Only the first and the last record kept are read by the library: their
  // times go into OUT's header.
  void note_kept(const RingReader& reader) {
    if (r_.kept == 0) {
      const MessageSummary summary = summarize_message_body(reader.message());
      first_ = reader.offset();
      first_time_ = {summary.first_time.word, summary.first_time.seconds};
      first_timed_ = summary.has_first_time;
    }
    last_ = reader.offset();
    last_message_.assign(reader.message(), reader.message() + reader.check().message_size);
    ++r_.kept;
    r_.kept_bytes += reader.check().record_length();
    if (kept_offsets_ != nullptr) kept_offsets_->push_back(reader.offset());
    if (progress_ != nullptr) progress_->update(r_.kept, r_.kept_bytes + r_.lost_bytes);
  }

  void lose(int64_t start, int64_t end) {
    if (end <= start) return;
    // A stretch that continues the one before is one stretch.
    if (!r_.lost.empty() && r_.lost.back().end == start) {
      r_.lost.back().end = end;
    } else {
      r_.lost.push_back({start, end});
    }
    r_.lost_bytes += end - start;
  }

  // An unwrapped ring of the kept records; flag and opaque words carried
  // over from FILE.
  void build_header(const RingExtent& appended) {
    RingExtent ring = appended;
    ring.forwarded = r_.forwarded;
    ring.forward_offset = forward_at_;
    if (r_.kept > 0) {
      const MessageSummary last = summarize_message_body(last_message_.data());
      last_time_ = {last.first_time.word, last.first_time.seconds};
      last_timed_ = last.has_first_time;
      ring.oldest_time =
          stamp_of(first_ == h_.oldest_offset, first_timed_, first_time_, h_.oldest_time);
      ring.newest_time =
          stamp_of(last_ == h_.newest_offset, last_timed_, last_time_, h_.newest_time);
    }
    CommonHeader& o = r_.out_header;
    o = ring_header(ring, r_.type);
    if (r_.kept > 0 && r_.forwarded == r_.kept && o.forward_offset == o.oldest_offset) {
      // OUT is full, and all of it forwarded: its forward offset would name
      // its oldest record too, which a reader takes as nothing forwarded.
      // Saying so here keeps OUT what its own salvage makes of it.
      r_.forwarded = 0;
      o.forwarded_count = 0;
      r_.forward_note = ForwardNote::kFullRing;
    }
    if (r_.header_usable) {
      o.forward_past_last = h_.forward_past_last;
      o.opaque1 = h_.opaque1;
      o.opaque2 = h_.opaque2;
    }
  }

  // OUT's header names its end records' own time stamps, so that it agrees
  // with them; FILE's stamp (its first word kept) where it is the same time.
  HeaderTimeStamp stamp_of(bool header_record, bool known, HeaderTimeStamp message,
                           HeaderTimeStamp header) const {
    if (known) return header_record && message.seconds == header.seconds ? header : message;
    return r_.header_usable ? header : HeaderTimeStamp{};
  }

  bool interrupted(SalvageRefusal* refusal) {
    if (!platform::interrupted()) return false;
    *refusal = SalvageRefusal::kInterrupted;
    return true;
  }

  bool fail(Step step) {
    *failure_ = {step, status_};
    return false;
  }

  const Store& store_;
  const CommonHeader& h_;
  const int64_t size_;
  Progress* progress_;
  SalvageReport& r_;
  Failure* failure_;
  std::vector<int64_t>* kept_offsets_;
  VARNO_STATUS status_{};
  PartialFile out_;
  uint32_t forwarded_limit_ = 0;
  int64_t forward_at_ = -1;  // OUT offset of the first record not forwarded
  int64_t first_ = -1;       // FILE offsets of the first and last record kept
  int64_t last_ = -1;
  HeaderTimeStamp first_time_{};
  HeaderTimeStamp last_time_{};
  bool first_timed_ = false;
  bool last_timed_ = false;
  std::vector<unsigned char> last_message_;
};

}  // namespace

std::string partial_name(const std::string& out_path, int pid) {
  const std::string mark = ".partial-" + std::to_string(pid);
  const size_t name = out_path.find_last_of("/\\");
  const size_t dot = out_path.rfind('.');
  if (dot == std::string::npos || (name != std::string::npos && dot < name)) {
    return out_path + mark;
  }
  return out_path.substr(0, dot) + mark + out_path.substr(dot);
}

bool salvage_store(const Store& store, const std::string& out_path, Progress* progress,
                   SalvageReport* report, SalvageRefusal* refusal, Failure* failure,
                   std::vector<int64_t>* kept_offsets) {
  *report = SalvageReport{};
  *refusal = SalvageRefusal::kNone;
  return Salvager(store, progress, report, failure, kept_offsets).run(out_path, refusal);
}

}  // namespace inspect
