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

bool list_store(const Store& store, const ListOptions& options, Progress* progress,
                const ListSink& sink, ListResult* result, Failure* failure) {
  *result = ListResult{};
  const CommonHeader& h = store.header;
  RingWalk walk(store.fd, store.file_size, h.oldest_offset, h.newest_offset, h.message_count);
  std::vector<unsigned char> message;
  std::string out;
  out.reserve(1 << 17);
  std::deque<std::string> kept;  // --tail: the last records that passed
  int64_t bytes = 0;
  bool seen_newest = false;
  VARNO_STATUS status;
  const auto done = [&] { return options.tail < 0 && result->shown >= options.count; };
  while (!done() && walk.next(&status)) {
    const RecordCheck& c = walk.check();
    if (c.defect == RecordCheck::kUnreadable) {
      *failure = {Step::kReadingRecord, status};
      return false;
    }
    if (walk.number() >= options.from) {
      ListedRecord record{walk.number(), &c, walk.message_header(), false, {}};
      bool body_word_zero = true;
      if (c.steppable()) {
        if (!walk.read_message(&message, &body_word_zero, &status)) {
          *failure = {Step::kReadingRecord, status};
          return false;
        }
        record.body_read = true;
        record.summary = summarize_message_body(message.data());
      }
      if (options.filter.accepts(record, walk.number() > h.forwarded_count)) {
        std::string* text = &out;
        if (options.tail >= 0) text = &kept.emplace_back();
        if (options.json) {
          append_record_json(*text, record);
        } else {
          append_record_text(*text, record);
        }
        ++result->shown;
        if (options.tail >= 0 && static_cast<int64_t>(kept.size()) > options.tail) {
          kept.pop_front();
        }
      }
      if (out.size() >= (1 << 16)) {
        if (!sink(out)) {
          result->end = ListResult::kWriteFailed;
          return true;
        }
        out.clear();
      }
    }
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
  if (options.tail >= 0) {
    // --count still caps what is shown: the first of the last records.
    result->shown = std::min(static_cast<int64_t>(kept.size()), options.count);
    for (int64_t i = 0; i < result->shown; ++i) out += kept[static_cast<size_t>(i)];
  }
  if (!out.empty() && !sink(out)) result->end = ListResult::kWriteFailed;
  return true;
}

}  // namespace inspect
