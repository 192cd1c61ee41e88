// list: menu 2's walk, each record rendered as soon as it is read, so a
// listing of millions of records needs no more memory than one.
#include "tools/inspect/list.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "messaging/message_summary.h"
#include "storeformat/ring.h"
#include "tools/inspect/progress.h"
#include "tools/inspect/render.h"

namespace inspect {

bool ListFilter::accepts(const ListedRecord& r, bool pending_record) const {
  if (pending && !pending_record) return false;
  if (has_since || has_until) {
    if (!r.body_read || !r.summary.has_first_time) return false;
    const int64_t t = r.summary.first_time.seconds;
    if ((has_since && t < since) || (has_until && t >= until)) return false;
  }
  if (!node.empty()) {
    static constexpr uint32_t kNames[] = {
        kMsgRequestSourceAt, kMsgRequestSource2At, kMsgReplyDestAt,   kMsgReplyDest2At,
        kMsgMessageSourceAt, kMsgMessageSource2At, kMsgMessageDestAt, kMsgMessageDest2At};
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [&](uint32_t at) { return message_name(r.message_header, at) == node; });
  }
  return true;
}

namespace {

// Reads `width` digits at `at`; false when they are not all digits.
bool digits(const std::string& text, size_t at, size_t width, int* value) {
  if (at + width > text.size()) return false;
  *value = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

bool parse_time_bound(const std::string& text, int64_t* seconds) {
  // Seconds since 1970, with or without the '@'.
  const std::string number = !text.empty() && text[0] == '@' ? text.substr(1) : text;
  if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
    if (number.size() > 12) return false;
    *seconds = std::stoll(number);
    return true;
  }
  if (text.size() != number.size()) return false;
  std::string t = text;
  if (!t.empty() && t.back() == 'Z') t.pop_back();
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (!digits(t, 0, 4, &y) || t.size() < 10 || t[4] != '-' || !digits(t, 5, 2, &mo) ||
      t[7] != '-' || !digits(t, 8, 2, &d)) {
    return false;
  }
  if (t.size() > 10) {
    if ((t[10] != 'T' && t[10] != ' ') || t.size() < 16 || !digits(t, 11, 2, &h) || t[13] != ':' ||
        !digits(t, 14, 2, &mi)) {
      return false;
    }
    if (t.size() > 16 && (t.size() != 19 || t[16] != ':' || !digits(t, 17, 2, &sec))) {
      return false;
    }
  } else if (t.size() != text.size()) {
    return false;  // a date alone takes no 'Z'
  }
  using namespace std::chrono;
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok() || h > 23 || mi > 59 || sec > 59) return false;
  *seconds = sys_days{date}.time_since_epoch().count() * int64_t{86400} + h * 3600 + mi * 60 + sec;
  return true;
}

namespace {

// One listing: the records the walk gives, those the options take rendered
// and handed on in pieces of about 64 KiB; with --tail the last ones held
// back until the walk ends.
class Lister {
 public:
  Lister(const Store& store, const ListOptions& options, const ListSink& sink, ListResult* result)
      : h_(store.header), options_(options), sink_(sink), result_(*result) {
    out_.reserve(1 << 17);
  }

  bool done() const { return options_.tail < 0 && result_.shown >= options_.count; }

  // Lists the walk's current record when its number is reached; false with
  // *failure when its message could not be read.
  bool take(RingWalk& walk, Failure* failure) {
    if (walk.number() < options_.from) return true;
    const RecordCheck& c = walk.check();
    ListedRecord record{walk.number(), &c, walk.message_header(), false, {}};
    bool body_word_zero = true;
    VARNO_STATUS status;
    if (c.steppable()) {
      if (!walk.read_message(&message_, &body_word_zero, &status)) {
        *failure = {Step::kReadingRecord, status};
        return false;
      }
      record.body_read = true;
      record.summary = summarize_message_body(message_.data());
    }
    if (options_.filter.accepts(record, walk.number() > h_.forwarded_count)) show(record);
    return true;
  }

  // Hands on what has gathered once a piece is full; false when the sink
  // refused it.
  bool spill() {
    if (out_.size() < (1 << 16)) return true;
    if (!sink_(out_)) {
      result_.end = ListResult::kWriteFailed;
      return false;
    }
    out_.clear();
    return true;
  }

  void finish() {
    if (options_.tail >= 0) {
      // --count still caps what is shown: the first of the last records.
      result_.shown = std::min(static_cast<int64_t>(kept_.size()), options_.count);
      for (int64_t i = 0; i < result_.shown; ++i) out_ += kept_[static_cast<size_t>(i)];
    }
    if (!out_.empty() && !sink_(out_)) result_.end = ListResult::kWriteFailed;
  }

 private:
  void show(const ListedRecord& record) {
    std::string* text = &out_;
    if (options_.tail >= 0) text = &kept_.emplace_back();
    if (options_.json) {
      append_record_json(*text, record);
    } else {
      append_record_text(*text, record);
    }
    ++result_.shown;
    if (options_.tail >= 0 && static_cast<int64_t>(kept_.size()) > options_.tail) {
      kept_.pop_front();
    }
  }

  const CommonHeader& h_;
  const ListOptions& options_;
  const ListSink& sink_;
  ListResult& result_;
  std::vector<unsigned char> message_;
  std::string out_;
  std::deque<std::string> kept_;  // --tail: the last records that passed
};

}  // namespace

bool list_store(const Store& store, const ListOptions& options, Progress* progress,
                const ListSink& sink, ListResult* result, Failure* failure) {
  *result = ListResult{};
  const CommonHeader& h = store.header;
  RingWalk walk(store.fd, store.file_size, h.oldest_offset, h.newest_offset, h.message_count);
  Lister lister(store, options, sink, result);
  int64_t bytes = 0;
  bool seen_newest = false;
  VARNO_STATUS status;
  while (!lister.done() && walk.next(&status)) {
    const RecordCheck& c = walk.check();
    if (c.defect == RecordCheck::kUnreadable) {
      *failure = {Step::kReadingRecord, status};
      return false;
    }
    if (!lister.take(walk, failure)) return false;
    if (!lister.spill()) return true;
    if (!c.steppable()) {
      result->end = ListResult::kStopped;
      result->stopped_at = c;
      break;
    }
    result->walked = walk.number();
    if (seen_newest) ++result->past_newest;
    seen_newest = seen_newest || c.offset == h.newest_offset;
    bytes += c.record_length();
    if (progress != nullptr) progress->update(walk.number(), bytes);
  }
  if (walk.stop() == RingWalk::Stop::kEndOfFile) result->end = ListResult::kEndedEarly;
  lister.finish();
  return true;
}

}  // namespace inspect
