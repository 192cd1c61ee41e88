// rewind: the forward pointer moved back.
#include "tools/inspect/rewind.h"

#include "storeformat/ring.h"
#include "storeformat/store_header.h"

namespace inspect {

namespace {

class Rewinder {
 public:
  Rewinder(const Store& store, RewindPlan* plan, RewindRefusal* refusal, Failure* failure)
      : store_(store), h_(store.header), plan_(*plan), refusal_(*refusal), failure_(failure) {}

  bool run(const RewindRequest& request) {
    if (!store_.header_usable()) return refuse(RewindRefusal::kHeaderUnusable);
    plan_.messages = h_.message_count;
    plan_.old_forward_offset = h_.forward_offset;
    plan_.old_forwarded = h_.forwarded_count;
    if (!choose_record(request)) return false;
    if (!find_record(request)) return false;
    return !request.execute || write();
  }

 private:
  bool choose_record(const RewindRequest& request) {
    int64_t n = 1;
    if (request.target == RewindRequest::kRecord) n = request.n;
    if (request.target == RewindRequest::kLast) n = int64_t{h_.message_count} - request.n + 1;
    if (request.target != RewindRequest::kOldest && (n < 1 || n > h_.message_count)) {
      return refuse(RewindRefusal::kOutOfRange);
    }
    plan_.record = static_cast<uint32_t>(n);
    plan_.new_forwarded = plan_.record - 1;
    // Only back: a target at or after the forward pointer would skip
    // messages that were never forwarded.
    if (plan_.new_forwarded >= h_.forwarded_count) return refuse(RewindRefusal::kNotBack);
    return true;
  }

  // The offset of the target record: the oldest offset, as the utility's
  // reset takes it, or the walk's way there, which must pass only sound
  // records and end at a sound one.
  bool find_record(const RewindRequest& request) {
    if (request.target == RewindRequest::kOldest) {
      plan_.new_forward_offset = h_.oldest_offset;
      return true;
    }
    RingWalk walk(store_.fd, store_.file_size, h_.oldest_offset, h_.newest_offset, plan_.record);
    VARNO_STATUS status;
    while (walk.next(&status)) {
      const RecordCheck& c = walk.check();
      if (c.defect == RecordCheck::kUnreadable) {
        *failure_ = {"reading a record of", status};
        return false;
      }
      if (!c.intact()) {
        refusal_.at = c;
        refusal_.number = walk.number();
        return refuse(RewindRefusal::kUnreachable);
      }
      if (walk.number() == plan_.record) {
        plan_.new_forward_offset = c.offset;
        return true;
      }
    }
    // The end of the file before the record.
    refusal_.at.offset = walk.next_offset();
    refusal_.at.defect = RecordCheck::kHeaderPastEnd;
    refusal_.number = walk.number() + 1;
    return refuse(RewindRefusal::kUnreachable);
  }

  bool write() {
    CommonHeader record = h_;
    record.forward_offset = plan_.new_forward_offset;
    record.forwarded_count = plan_.new_forwarded;
    VARNO_STATUS status;
    rewrite_store_header(store_.fd, record, &status);
    if (varno_failed(status)) {
      *failure_ = {"rewriting the header of", status};
      return false;
    }
    plan_.executed = true;
    HeaderCheck check;
    check_store_header(store_.fd, &plan_.header_after, &check, &status, BlockRule::kSigned);
    if (varno_failed(status)) {
      *failure_ = {"reading back the header of", status};
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
};

}  // namespace

bool rewind_store(const Store& store, const RewindRequest& request, RewindPlan* plan,
                  RewindRefusal* refusal, Failure* failure) {
  *plan = RewindPlan{};
  *refusal = RewindRefusal{};
  return Rewinder(store, plan, refusal, failure).run(request);
}

}  // namespace inspect
