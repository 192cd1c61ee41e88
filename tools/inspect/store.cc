// Opening a store file for varno-inspect, and what a failure was.
#include "tools/inspect/store.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "storeformat/message_record.h"

namespace inspect {

bool open_store(const std::string& path, Store* store, Failure* failure, bool writable) {
  *store = Store{};
  store->path = path;
  VARNO_STATUS status;
  const int32_t fd =
      varno_s_file_open(path.c_str(), writable ? kOpenReadWrite : kOpenReadOnly, &status);
  if (fd < 0) {
    *failure = {Step::kOpening, status};
    return false;
  }
  store->fd = fd;
  store->file_size = varno_s_file_seek_end(fd, &status);
  if (varno_failed(status)) {
    *failure = {Step::kSizing, status};
    close_store(store);
    return false;
  }
  // Recovery and monitoring must not take a block of zeros, whose checksum
  // is 0, for a header.
  check_store_header(fd, &store->header, &store->check, &status, BlockRule::kSigned);
  if (store->check.stage == HeaderCheck::kNotRead) {
    *failure = {Step::kReadingHeader, status};
    close_store(store);
    return false;
  }
  return true;
}

PendingStamp read_pending_stamp(int32_t fd, const Store& store) {
  const CommonHeader& h = store.header;
  PendingStamp stamp;
  if (h.forwarded_count >= h.message_count) return stamp;
  stamp.state = PendingStamp::kUnknown;
  // Most messages fit the first read; one over 1 MiB is left unread rather
  // than take that much memory for one time stamp.
  constexpr int64_t kFirstRead = 1024;
  constexpr int64_t kLargest = int64_t{1} << 20;
  const int64_t at = h.forward_offset;
  if (at < store_header_size || at > store.file_size - record_header_size) return stamp;
  // One buffer for every file of a run: no allocation per file.
  static std::vector<unsigned char> buffer(kFirstRead);
  std::vector<unsigned char>& record = buffer;
  const uint32_t first = static_cast<uint32_t>(std::min(kFirstRead, store.file_size - at));
  VARNO_STATUS status;
  int32_t got = varno_s_file_peek(fd, record.data(), first, at, &status);
  if (got < static_cast<int32_t>(record_header_size) || !intact_record_header(record.data())) {
    return stamp;
  }
  const int64_t length =
      int64_t{message_size_of(record.data() + record_prefix_size)} + record_prefix_size;
  if (length < record_header_size || length > store.file_size - at || length > kLargest) {
    return stamp;
  }
  if (length > got) {
    if (record.size() < static_cast<size_t>(length)) record.resize(static_cast<size_t>(length));
    got = varno_s_file_peek(fd, record.data(), static_cast<uint32_t>(length), at, &status);
    if (got != length || !intact_record_header(record.data())) return stamp;
  }
  const MessageSummary summary = summarize_message_body(record.data() + record_prefix_size);
  if (summary.interpreted && summary.has_first_time) {
    stamp.state = PendingStamp::kKnown;
    stamp.seconds = summary.first_time.seconds;
  }
  return stamp;
}

bool peek_store(const std::string& path, Store* store, PendingStamp* pending, Failure* failure) {
  constexpr int kLooks = 5;
  constexpr int32_t kPauseMs = 3;
  *store = Store{};
  store->path = path;
  *pending = PendingStamp{};
  VARNO_STATUS status;
  const int32_t fd = varno_s_file_peek_open(path.c_str(), &store->file_size, &status);
  if (fd < 0) {
    *failure = {Step::kOpening, status};
    return false;
  }
  VARNO_SERVER_INITBLK(&failure->status);
  failure->step = Step::kNone;
  // Each look judges into *store until one gives a usable header, which is
  // kept even when a later look (after a record that did not hold) finds none.
  bool usable = false;
  Store look;
  look.file_size = store->file_size;
  for (int n = 0; n < kLooks; ++n) {
    if (n > 0) platform::sleep_ms(kPauseMs);
    unsigned char region[kMaxHeaderRead];
    const int32_t got = varno_s_file_peek(fd, region, sizeof region, 0, &status);
    if (got < 0) {
      *failure = {Step::kReadingHeader, status};
      break;
    }
    Store* into = usable ? &look : store;
    judge_header_region(region, static_cast<size_t>(got), &into->header, &into->check,
                        BlockRule::kSigned);
    if (!into->header_usable()) continue;
    if (into == &look) {
      store->header = look.header;
      store->check = look.check;
    }
    usable = true;
    *pending = read_pending_stamp(fd, *store);
    if (pending->state != PendingStamp::kUnknown) break;
  }
  varno_s_file_peek_close(fd);
  return usable && failure->step == Step::kNone;
}

std::string header_verdict(const Store& s) {
  if (s.check.type < 0) return "no header type matches";
  if (s.check.stage != HeaderCheck::kChecked) return "the file ends inside the header region";
  return "both header blocks are bad";
}

void close_store(Store* store) {
  if (store->fd < 0) return;
  // A read-only descriptor has nothing to lose at its close; a failure there
  // changes nothing of what was read.
  VARNO_STATUS status;
  varno_s_file_close(store->fd, &status);
  store->fd = -1;
}

const char* step_words(Step step) {
  switch (step) {
    case Step::kNone:
      return "nothing";
    case Step::kOpening:
      return "opening";
    case Step::kSizing:
      return "sizing";
    case Step::kReadingHeader:
      return "reading the header of";
    case Step::kReadingHeaderRegion:
      return "reading the header region of";
    case Step::kReadingRecord:
      return "reading a record of";
    case Step::kScanning:
      return "scanning";
    case Step::kRewritingHeader:
      return "rewriting the header of";
    case Step::kReadingBackHeader:
      return "reading back the header of";
    case Step::kCreatingOut:
      return "creating";
    case Step::kWritingOut:
      return "writing";
  }
  return "?";
}

bool step_on_output(Step step) {
  return step == Step::kCreatingOut || step == Step::kWritingOut;
}

std::string failure_reason(const VARNO_STATUS& status) {
  std::string reason;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1 && reason.empty(); ++i) {
    // Facility 1 holds a run-time errno; the platform words it as the user's
    // system does (on Windows the system error behind it).
    if (status.facility[i] == VARNO_FACILITY_ERRNO) {
      reason =
          status.error[i] == 0 ? "the file ends early" : varno_s_file_error_text(status.error[i]);
    } else if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotFound) {
      reason = varno_s_file_error_text(ENOENT);
    } else if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotRegular) {
      reason = "not a regular file (a FIFO, device or socket); never opened";
    } else if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrLockTimeout) {
      reason = "its store file lock is held by another program";
    }
  }
  if (reason.empty()) reason = "failed";
  const std::string pairs = status_pairs_text(status);
  return reason + " (recorded: " + (pairs.empty() ? "nothing" : pairs) + ")";
}

}  // namespace inspect
