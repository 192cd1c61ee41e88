// rewind: the forward pointer moved back, on the ring as the scan finds it.
#include "tools/inspect/rewind.h"

#include "fileaccess/file_access.h"
#include "storeformat/ring_scan.h"
#include "storeformat/store_header.h"

namespace inspect {

namespace {

// The header region of `store` as it is, in its detected layout.
bool read_region(const Store& store, std::vector<unsigned char>* region, Failure* failure) {
  region->assign(2 * kHeaderBlockSize[store.check.type] + 8, 0);
  VARNO_STATUS status;
  varno_s_file_seek(store.fd, 0, kSeekSet, &status);
  if (!varno_failed(status)) {
    varno_s_file_read(store.fd, region->data(), static_cast<uint32_t>(region->size()), &status);
  }
  if (varno_failed(status)) {
    *failure = {Step::kReadingHeaderRegion, status};
    return false;
  }
  return true;
}

// Notes where the first dropped stretch of the ring begins.
class FirstLoss : public ScanReporter {
 public:
  void report(const ScanFinding& f) override {
    if (f.kind == ScanFinding::kLost && at < 0) {
      at = f.offset;
      number = f.record;
    }
  }
  int64_t at = -1;
  uint32_t number = 0;
};

class Rewinder {
 public:
  Rewinder(const Store& store, RewindPlan* plan, RewindRefusal* refusal, Failure* failure)
      : store_(store),
        h_(store.header),
        plan_(*plan),
        refusal_(*refusal),
        failure_(failure),
        scan_(store.fd, store.file_size, &store.header) {}

  bool run(const RewindRequest& request) {
    if (!store_.header_usable()) return refuse(RewindRefusal::kHeaderUnusable);
    plan_.messages = h_.message_count;
    plan_.old_forward_offset = h_.forward_offset;
    plan_.old_forwarded = h_.forwarded_count;
    VARNO_STATUS status;
    if (!scan_.run(&loss_, {}, &status)) {
      *failure_ = {Step::kReadingRecord, status};
      return false;
    }
    plan_.messages_found = scan_.numbered_records();
    if (!forwarding_known(request) || !choose_record(request) || !find_record()) return false;
    if (!request.execute) return true;
    if (request.keeper != nullptr) {
      std::vector<unsigned char> region;
      if (!read_region(store_, &region, failure_)) return false;
      if (!request.keeper->keep(region, plan_)) return refuse(RewindRefusal::kNotKept);
    }
    return write();
  }

 private:
  // Where forwarding stands must follow from the records, and the header
  // must agree with them, before anything is moved. Behind a dropped
  // stretch the forward offset's place in the ring is only a lower bound:
  // the count cannot be checked there, and only records before the stretch
  // can be chosen.
  bool forwarding_known(const RewindRequest& request) {
    const ScanForward& fw = scan_.forward();
    if (fw.place == ScanForward::kNoRing) return refuse(RewindRefusal::kNotBack);
    if (!scan_.header_used() || fw.place == ScanForward::kElsewhere) {
      return refuse(RewindRefusal::kForwardNotRecord);
    }
    if (fw.exact && !fw.count_agrees) {
      refusal_.before = fw.before;
      return refuse(RewindRefusal::kForwardCountDisagrees);
    }
    if (request.target == RewindRequest::kOldest && !scan_.oldest_agrees()) {
      refusal_.first = scan_.ring().empty() ? -1 : scan_.ring().front().first;
      return refuse(RewindRefusal::kOldestNotFirst);
    }
    return true;
  }

  bool choose_record(const RewindRequest& request) {
    const int64_t records = scan_.numbered_records();
    int64_t n = 1;
    if (request.target == RewindRequest::kRecord) n = request.n;
    if (request.target == RewindRequest::kLast) n = records - request.n + 1;
    if (request.target != RewindRequest::kOldest && (n < 1 || n > records)) {
      return refuse(RewindRefusal::kOutOfRange);
    }
    plan_.record = static_cast<uint32_t>(n);
    plan_.new_forwarded = plan_.record - 1;
    // Only back: a target at or after the forward pointer would skip
    // messages that were never forwarded.
    if (plan_.new_forwarded >= scan_.forward().before) return refuse(RewindRefusal::kNotBack);
    return true;
  }

  // The offset of the target record, which must be intact and have a known
  // number: behind a stretch whose count of records is not known, the
  // numbers are not.
  bool find_record() {
    RingReader reader(store_.fd, store_.file_size, scan_.ring());
    VARNO_STATUS status;
    while (reader.next(&status)) {
      if (!reader.numbered() || reader.index() + 1 > plan_.record) break;
      if (reader.index() + 1 == plan_.record) {
        plan_.new_forward_offset = reader.offset();
        return true;
      }
    }
    if (varno_failed(status)) {
      *failure_ = {Step::kReadingRecord, status};
      return false;
    }
    refusal_.at = loss_.at;
    refusal_.number = loss_.number;
    return refuse(RewindRefusal::kUnreachable);
  }

  bool write() {
    CommonHeader header = h_;
    header.forward_offset = plan_.new_forward_offset;
    header.forwarded_count = plan_.new_forwarded;
    VARNO_STATUS status;
    rewrite_store_header(store_.fd, header, &status);
    if (varno_failed(status)) {
      *failure_ = {Step::kRewritingHeader, status};
      return false;
    }
    plan_.executed = true;
    HeaderCheck check;
    check_store_header(store_.fd, &plan_.header_after, &check, &status, BlockRule::kSigned);
    if (varno_failed(status)) {
      *failure_ = {Step::kReadingBackHeader, status};
      return false;
    }
    return true;
  }

  bool refuse(RewindRefusal::Kind kind) {
    refusal_.kind = kind;
    return false;
  }

  const Store& store_;
  const CommonHeader& h_;
  RewindPlan& plan_;
  RewindRefusal& refusal_;
  Failure* failure_;
  RingScan scan_;
  FirstLoss loss_;
};

}  // namespace

bool rewind_store(const Store& store, const RewindRequest& request, RewindPlan* plan,
                  RewindRefusal* refusal, Failure* failure) {
  *plan = RewindPlan{};
  *refusal = RewindRefusal{};
  return Rewinder(store, plan, refusal, failure).run(request);
}

bool undo_rewind(const Store& store, const SavedRegion& saved, UndoResult* result,
                 Failure* failure) {
  *result = UndoResult{};
  if (!store.header_usable()) {
    result->refusal = UndoResult::kHeaderUnusable;
    return false;
  }
  const CommonHeader& h = store.header;
  const RewindEntry& e = saved.entry;
  const auto compare = [result](const char* what, int64_t then, int64_t now) {
    if (then != now)
      result->moved.push_back(std::string(what) + " " + std::to_string(then) + " -> " +
                              std::to_string(now));
  };
  compare("oldest offset", e.oldest_offset, h.oldest_offset);
  compare("newest offset", e.newest_offset, h.newest_offset);
  compare("messages", e.messages, h.message_count);
  compare("forward offset", e.forward_to, h.forward_offset);
  compare("forwarded", e.forwarded_to, h.forwarded_count);
  if (!result->moved.empty()) {
    result->refusal = UndoResult::kMoved;
    return false;
  }
  // The saved bytes must be a header of this file's layout, which the
  // rewrite keeps; what they hold beyond its sound copy is not written.
  CommonHeader record{};
  HeaderCheck check;
  judge_header_region(saved.region.data(), saved.region.size(), &record, &check,
                      BlockRule::kSigned);
  if (!check.usable() || check.type != store.check.type) {
    result->refusal = UndoResult::kRegionUnusable;
    return false;
  }
  VARNO_STATUS status;
  rewrite_store_header(store.fd, record, &status);
  if (varno_failed(status)) {
    *failure = {Step::kRewritingHeader, status};
    return false;
  }
  result->executed = true;
  check_store_header(store.fd, &result->header_after, &check, &status, BlockRule::kSigned);
  if (varno_failed(status)) {
    *failure = {Step::kReadingBackHeader, status};
    return false;
  }
  return true;
}

}  // namespace inspect
