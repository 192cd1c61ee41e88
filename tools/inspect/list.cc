// list: menu 2's walk, each record rendered as soon as it is read, so a
// listing of millions of records needs no more memory than one.
#include "tools/inspect/list.h"

#include <string>
#include <vector>

#include "messaging/message_summary.h"
#include "storeformat/ring.h"
#include "tools/inspect/progress.h"
#include "tools/inspect/render.h"

namespace inspect {

bool list_store(const Store& store, const ListOptions& options, Progress* progress,
                const ListSink& sink, ListResult* result, Failure* failure) {
  *result = ListResult{};
  const CommonHeader& h = store.header;
  const int64_t end = options.count > INT64_MAX - options.from
                          ? INT64_MAX
                          : options.from + options.count;  // first number not listed
  RingWalk walk(store.fd, store.file_size, h.oldest_offset, h.newest_offset, h.message_count);
  std::vector<unsigned char> message;
  std::string out;
  out.reserve(1 << 17);
  int64_t bytes = 0;
  bool seen_newest = false;
  VARNO_STATUS status;
  while (walk.number() + 1 < end && walk.next(&status)) {
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
      if (options.json) {
        append_record_json(out, record);
      } else {
        append_record_text(out, record);
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
  if (!out.empty() && !sink(out)) result->end = ListResult::kWriteFailed;
  return true;
}

}  // namespace inspect
