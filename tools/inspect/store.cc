// Opening a store file for varno-inspect, and what a failure was.
#include "tools/inspect/store.h"

#include <cerrno>

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"

namespace inspect {

bool open_store(const std::string& path, Store* store, Failure* failure, bool writable) {
  *store = Store{};
  store->path = path;
  VARNO_STATUS status;
  const int32_t fd =
      varno_s_file_open(path.c_str(), writable ? kOpenReadWrite : kOpenReadOnly, &status);
  if (fd < 0) {
    *failure = {"opening", status};
    return false;
  }
  store->fd = fd;
  store->file_size = varno_s_file_seek_end(fd, &status);
  if (varno_failed(status)) {
    *failure = {"sizing", status};
    close_store(store);
    return false;
  }
  // Recovery and monitoring must not take a block of zeros, whose checksum
  // is 0, for a header.
  check_store_header(fd, &store->header, &store->check, &status, BlockRule::kSigned);
  if (store->check.stage == HeaderCheck::kNotRead) {
    *failure = {"reading the header of", status};
    close_store(store);
    return false;
  }
  return true;
}

bool peek_store(const std::string& path, Store* store, Failure* failure) {
  constexpr int kReads = 5;
  constexpr int32_t kPauseMs = 3;
  for (int read = 0; read < kReads; ++read) {
    if (read > 0) platform::sleep_ms(kPauseMs);
    *store = Store{};
    store->path = path;
    unsigned char region[kMaxHeaderRead];
    VARNO_STATUS status;
    const int32_t got =
        varno_s_file_peek(path.c_str(), region, sizeof region, &store->file_size, &status);
    if (got < 0) {
      *failure = {"opening", status};
      return false;
    }
    judge_header_region(region, static_cast<size_t>(got), &store->header, &store->check,
                        BlockRule::kSigned);
    if (store->header_usable()) return true;
  }
  VARNO_STATUS none;
  VARNO_SERVER_INITBLK(&none);
  *failure = {"", none};
  return false;
}

void close_store(Store* store) {
  if (store->fd < 0) return;
  // A read-only descriptor has nothing to lose at its close; a failure there
  // changes nothing of what was read.
  VARNO_STATUS status;
  varno_s_file_close(store->fd, &status);
  store->fd = -1;
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

Backlog backlog_of(const Store& store, int64_t now) {
  const CommonHeader& h = store.header;
  Backlog b;
  b.messages = h.message_count;
  b.forwarded = h.forwarded_count;
  b.pending = int64_t{h.message_count} - int64_t{h.forwarded_count};
  b.oldest = h.oldest_time;
  b.newest = h.newest_time;
  b.has_age = h.message_count > 0;
  b.oldest_age = b.has_age ? now - h.oldest_time.seconds : 0;
  b.file_size = store.file_size;
  return b;
}

}  // namespace inspect
