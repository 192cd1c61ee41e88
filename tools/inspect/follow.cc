// list --follow.
#include "tools/inspect/follow.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "storeformat/ring.h"
#include "tools/inspect/render.h"

namespace inspect {

namespace {

class Follower {
 public:
  Follower(const std::string& path, const FollowOptions& options, const ListSink& sink, FILE* notes)
      : path_(path), options_(options), sink_(sink), notes_(notes) {}

  bool run(Failure* failure) {
    Store store;
    if (!open_store(path_, &store, failure)) return false;
    look(store);
    close_store(&store);
    // --tail: the last records of the first look, then everything new.
    first_look_ = false;
    for (size_t i = 0; i < kept_.size() && !done(); ++i) emit(kept_[i]);
    kept_.clear();
    while (!done() && pause()) {
      if (!open_store(path_, &store, failure)) {
        note_once("cannot be read now (" + std::string(step_words(failure->step)) +
                  " failed: " + failure_reason(failure->status) + "); trying again");
        continue;
      }
      look(store);
      close_store(&store);
    }
    return true;
  }

 private:
  // One look at the open file: the records stored since the last one shown.
  void look(const Store& store) {
    const CommonHeader& h = store.header;
    if (!store.header_usable()) {
      // A header caught while it is rewritten reads as damaged: look again.
      if (++unusable_looks_ > 3) note_once("its header cannot be used; trying again");
      return;
    }
    unusable_looks_ = 0;
    if (seen_header_ && h.forwarded_count < forwarded_) {
      note("the forward pointer moved back: " + std::to_string(h.forwarded_count) + " forwarded, " +
           std::to_string(forwarded_) + " before");
    }
    seen_header_ = true;
    forwarded_ = h.forwarded_count;
    if (h.message_count == 0) return;
    int64_t start = h.oldest_offset;
    if (shown_ > 0) {
      if (!still_there(store)) {
        note("record " + std::to_string(number_) +
             " is no longer where it was (the ring moved on, or the file was replaced); going "
             "on from the oldest record");
      } else if (last_offset_ == h.newest_offset) {
        quiet_.clear();  // all is well: nothing new
        return;
      } else {
        start = next_record_offset(last_offset_, last_size_, store.file_size, h.newest_offset);
      }
    }
    walk(store, start);
  }

  // Lists from `start` up to the newest record.
  void walk(const Store& store, int64_t start) {
    const CommonHeader& h = store.header;
    RingWalk walk(store.fd, store.file_size, start, h.newest_offset, h.message_count);
    walk.stop_at_newest();
    VARNO_STATUS status;
    while (!done() && walk.next(&status)) {
      const RecordCheck& c = walk.check();
      if (!c.steppable()) {
        note_once("the record at offset " + std::to_string(c.offset) +
                  " cannot be passed; waiting for it to change");
        return;
      }
      bool body_ok = true;
      if (!walk.read_message(&message_, &body_ok, &status)) return;
      show(walk);
    }
  }

  void show(const RingWalk& walk) {
    const RecordCheck& c = walk.check();
    ++number_;
    std::memcpy(last_record_, walk.record_header(), sizeof last_record_);
    last_offset_ = c.offset;
    last_size_ = c.message_size;
    if (number_ < options_.list.from) return;
    ListedRecord record{static_cast<uint32_t>(number_), &c, walk.message_header(), true,
                        summarize_message_body(message_.data())};
    if (!options_.list.filter.accepts(record, number_ > forwarded_)) return;
    std::string text;
    if (options_.list.json) {
      append_record_json(text, record);
    } else {
      append_record_text(text, record);
    }
    if (first_look_ && options_.list.tail >= 0) {
      kept_.push_back(std::move(text));
      if (static_cast<int64_t>(kept_.size()) > options_.list.tail) kept_.pop_front();
      return;
    }
    emit(text);
  }

  void emit(const std::string& text) {
    ++shown_;
    quiet_.clear();
    if (!sink_(text)) write_failed_ = true;
  }

  // The last record shown is still at its place, byte for byte.
  bool still_there(const Store& store) const {
    unsigned char record[record_header_size];
    RecordCheck check;
    VARNO_STATUS status;
    check_record(store.fd, last_offset_, store.file_size, record, &check, &status);
    return std::memcmp(record, last_record_, sizeof record) == 0;
  }

  // Waits the interval, in slices, so that an interrupt ends it soon.
  bool pause() {
    for (int32_t waited = 0; waited < options_.interval_ms; waited += 50) {
      if (platform::interrupted()) return false;
      platform::sleep_ms(std::min<int32_t>(50, options_.interval_ms - waited));
    }
    return !platform::interrupted();
  }

  bool done() const {
    return write_failed_ || platform::interrupted() ||
           (!first_look_ || options_.list.tail < 0 ? shown_ >= options_.list.count : false);
  }

  void note(const std::string& text) {
    if (notes_ != nullptr)
      std::fprintf(notes_, "varno-inspect: %s: %s\n", path_.c_str(), text.c_str());
  }
  // Says a lasting state once, not at every look, until the follow moves on.
  void note_once(const std::string& text) {
    if (text == quiet_) return;
    quiet_ = text;
    note(text);
  }

  const std::string path_;
  const FollowOptions options_;
  const ListSink& sink_;
  FILE* notes_;
  std::vector<unsigned char> message_;
  int64_t number_ = 0;  // the last record's number
  int64_t shown_ = 0;
  int64_t last_offset_ = -1;
  uint32_t last_size_ = 0;
  unsigned char last_record_[record_header_size] = {};
  bool seen_header_ = false;
  uint32_t forwarded_ = 0;
  int unusable_looks_ = 0;
  std::string quiet_;  // the lasting state said last
  bool write_failed_ = false;
  bool first_look_ = true;
  std::deque<std::string> kept_;  // --tail, during the first look
};

}  // namespace

bool follow_store(const std::string& path, const FollowOptions& options, const ListSink& sink,
                  FILE* notes, Failure* failure) {
  Follower follower(path, options, sink, notes);
  return follower.run(failure);
}

}  // namespace inspect
