// The reading side of varno-inspect: open, walk, verify, salvage, backlog.
#include "tools/inspect/inspect.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "tools/inspect/progress.h"

namespace inspect {

namespace {

constexpr int64_t kRecordHeader = 304;
constexpr int64_t kPrefix = 12;
constexpr int64_t kDataStart = 192;

bool has_error(const VARNO_STATUS& status, int32_t error) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == error) return true;
  }
  return false;
}

// A read that met the end of the file records (1, 0) first: no system error.
bool ended_at_end_of_file(const VARNO_STATUS& status) {
  return status.facility[0] == VARNO_FACILITY_ERRNO && status.error[0] == 0;
}

}  // namespace

bool open_store(const std::string& path, Store* store, Failure* failure) {
  *store = Store{};
  store->path = path;
  VARNO_STATUS status;
  const int32_t fd = varno_s_file_open(path.c_str(), kOpenReadOnly, &status);
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
  // A block counts only with its signature as well: recovery and monitoring
  // must not take a block of zeros, whose checksum is 0, for a header.
  check_store_header(fd, &store->header, &store->check, &status, BlockRule::kSigned);
  if (store->check.stage == HeaderCheck::kNotRead) {
    *failure = {"reading the header of", status};
    close_store(store);
    return false;
  }
  return true;
}

void close_store(Store* store) {
  if (store->fd < 0) return;
  // A read-only descriptor has nothing to lose at its close; a failure there
  // changes nothing of what was read.
  VARNO_STATUS status;
  varno_s_file_close(store->fd, &status);
  store->fd = -1;
}

bool RecordReader::read(int64_t offset, uint32_t number, Body want, WalkRecord* out,
                        Failure* failure) {
  WalkRecord& r = *out;
  r.number = number;
  r.offset = offset;
  r.marker_ok = r.header_checksum_ok = r.body_read = r.body_checksum_ok = false;
  r.message = nullptr;
  r.defect = Defect::kNone;
  VARNO_STATUS status;
  if (offset < 0) {
    // A damaged header's offset; no read can start there.
    std::memset(r.record_header, 0, sizeof r.record_header);
    r.body_checksum = 0;
    r.message_size = 0;
    r.defect = Defect::kHeaderPastEnd;
    return true;
  }
  r.body_checksum = read_record_header(store_.fd, offset, r.record_header, &status);
  r.message_size = get_u32(r.message_header() + kMsgSizeAt);
  if (has_error(status, kErrRecordSeek) || has_error(status, kErrRecordRead)) {
    if (store_.file_size - offset < kRecordHeader && ended_at_end_of_file(status)) {
      r.defect = Defect::kHeaderPastEnd;
      return true;
    }
    *failure = {"reading a record of", status};
    return false;
  }
  r.marker_ok = record_marker_ok(r.record_header);
  r.header_checksum_ok = !has_error(status, kErrHeaderChecksum);
  if (r.message_size < kMessageHeaderSize) {
    r.defect = Defect::kSizeSmall;
  } else if (offset + kPrefix + int64_t{r.message_size} > store_.file_size ||
             r.message_size > std::numeric_limits<uint32_t>::max() - kPrefix) {
    // The second case fits only a file above 4 GiB: the format's 32-bit sum
    // of size and prefix would step (almost) nowhere.
    r.defect = Defect::kSizePastEnd;
  }
  if (r.defect != Defect::kNone || want == Body::kSkip) return true;
  if (message_.size() < r.message_size) message_.resize(r.message_size);
  // The body checksum function does not look at the bytes, so a check alone
  // needs no copy of the header in front of the body.
  if (want == Body::kWhole) {
    std::memcpy(message_.data(), r.message_header(), kMessageHeaderSize);
  }
  read_message_body(store_.fd, offset, r.message_size, r.body_checksum, message_.data(), &status);
  if (has_error(status, kErrBodyRead) || has_error(status, kErrRecordSeek)) {
    *failure = {"reading a record of", status};
    return false;
  }
  r.body_read = true;
  r.body_checksum_ok = !has_error(status, kErrBodyChecksum);
  r.message = want == Body::kWhole ? message_.data() : nullptr;
  return true;
}

// --- verify -----------------------------------------------------------------

namespace {

struct ProblemList {
  VerifyReport* report;
  void add(ProblemKind kind, int64_t offset = -1, uint32_t record = 0) {
    report->problems.push_back({kind, offset, record, false, 0, 0});
    ++report->counts[static_cast<int>(kind)];
  }
  void add(ProblemKind kind, int64_t offset, uint32_t record, int64_t expected, int64_t found) {
    report->problems.push_back({kind, offset, record, true, expected, found});
    ++report->counts[static_cast<int>(kind)];
  }
};

// The problems of the header region; true when the header can be walked.
bool check_header(const Store& store, ProblemList* problems) {
  const HeaderCheck& c = store.check;
  if (c.type < 0) {
    problems->add(ProblemKind::kUnknownLayout, 0);
    return false;
  }
  if (c.stage != HeaderCheck::kChecked) {
    problems->add(ProblemKind::kHeaderShort, 0, 0, 2 * int64_t{c.block_size} + 8, c.length);
    return false;
  }
  if (c.copy_counts(0) && c.copy_counts(1) && c.block_status == kBothBad) {
    problems->add(ProblemKind::kHeaderBlocksDiffer, 0);
  }
  const ProblemKind kinds[2] = {ProblemKind::kHeaderPrimaryBad, ProblemKind::kHeaderBackupBad};
  for (int copy = 0; copy < 2; ++copy) {
    const int64_t at = copy == 0 ? 0 : c.block_size + 4;
    if (c.computed[copy] != c.stored[copy]) {
      problems->add(kinds[copy], at, 0, c.computed[copy], c.stored[copy]);
    } else if (!c.signature_ok(copy)) {
      problems->add(kinds[copy], at, 0, kStoreSignature, c.signature[copy]);
      problems->report->problems.back().unsigned_block = true;
    }
  }
  return store.header_usable();
}

}  // namespace

bool verify_store(const Store& store, Progress* progress, VerifyReport* report, Failure* failure) {
  *report = VerifyReport{};
  ProblemList problems{report};
  if (!check_header(store, &problems)) return true;
  const CommonHeader& h = store.header;
  if (h.forwarded_count > h.message_count) {
    problems.add(ProblemKind::kForwardedExceedsMessages, -1, 0, h.message_count, h.forwarded_count);
  }
  if (h.message_count == 0) return true;  // offsets and times of an empty ring mean nothing
  if (h.oldest_time.seconds > h.newest_time.seconds) {
    problems.add(ProblemKind::kOldestAfterNewest, -1, 0, h.newest_time.seconds,
                 h.oldest_time.seconds);
  }

  report->walked = true;
  RecordReader reader(store);
  WalkRecord rec;
  int64_t p = h.oldest_offset;
  // The newest record lies in the part of the ring the walk is in once the
  // walk has wrapped, or from the start when the ring has not wrapped.
  bool in_newest_part = h.newest_offset >= h.oldest_offset;
  int wraps = 0;
  uint32_t n = 0;             // records read
  uint32_t landed = 0;        // number of the record at the newest offset
  int64_t count_offset = -1;  // where record number `count` starts
  int64_t after_newest = -1;  // where the walk would go after the newest record
  bool forward_found = false;
  bool passed_newest = false;
  bool looped = false;
  // After a record the walk cannot step over, the rest of the ring is still
  // checked from the next intact record the format's scan finds; the walk's
  // record numbers are unknown from there on (0 in the problems).
  bool resynced = false;
  while (p < store.file_size) {
    if (!reader.read(p, n + 1, RecordReader::Body::kCheck, &rec, failure)) return false;
    ++n;
    report->records = n;
    const uint32_t number = resynced ? 0 : n;
    if (rec.defect == Defect::kHeaderPastEnd) {
      problems.add(ProblemKind::kRecordHeaderPastEnd, p, number, kRecordHeader,
                   p < 0 ? p : store.file_size - p);
    } else {
      if (!rec.marker_ok) {
        problems.add(ProblemKind::kRecordMarker, p, number, get_u32(kRecordMarker),
                     get_u32(rec.record_header));
      }
      if (!rec.header_checksum_ok) {
        uint32_t computed = 0;
        store_file_checksum(rec.message_header(), kMessageHeaderSize, &computed);
        problems.add(ProblemKind::kRecordHeaderChecksum, p, number, computed,
                     get_u32(rec.record_header + kHeaderChecksumAt));
      }
      if (rec.defect == Defect::kSizeSmall) {
        problems.add(ProblemKind::kMessageSizeSmall, p, number, kMessageHeaderSize,
                     rec.message_size);
      } else if (rec.defect == Defect::kSizePastEnd) {
        problems.add(ProblemKind::kMessageSizePastEnd, p, number, store.file_size - p - kPrefix,
                     rec.message_size);
      }
    }
    if (rec.defect != Defect::kNone) {
      // Where menu 2's walk ends.
      if (!resynced) problems.add(ProblemKind::kWalkShort, p, n, h.message_count, n - 1);
      resynced = true;
      const int64_t limit = in_newest_part
                                ? std::min(h.newest_offset + kRecordHeader, store.file_size)
                                : store.file_size;
      int64_t found = 0;
      if (p >= 0) {
        VARNO_STATUS status;
        find_message_record(store.fd, p + 1, limit, &found, &status);
        if (varno_failed(status)) {
          *failure = {"scanning", status};
          return false;
        }
      }
      if (found > 0) {
        p = found;
      } else if (!in_newest_part) {
        p = kDataStart;
        in_newest_part = true;
      } else {
        break;
      }
      continue;
    }
    report->bytes += kPrefix + rec.message_size;
    if (progress != nullptr) progress->update(n, report->bytes);
    if (!rec.body_checksum_ok) {
      problems.add(ProblemKind::kBodyChecksumWord, p + kBodyChecksumAt, number, 0,
                   rec.body_checksum);
    }
    if (p == h.forward_offset) forward_found = true;
    if (n == h.message_count) count_offset = p;
    const int64_t next = next_record_offset(p, rec.message_size, store.file_size, h.newest_offset);
    if (p == h.newest_offset) {
      landed = n;
      after_newest = next;
      break;
    }
    if (next == kDataStart) {
      // Two wraps without meeting the newest record: it is not on the ring.
      if (++wraps > 1) {
        looped = true;
        break;
      }
      in_newest_part = true;
    }
    // Past the newest offset without meeting a record there: the walk goes on
    // only as far as the header's count, as menu 2's would, and not at all
    // once it has lost count.
    if (in_newest_part && next > h.newest_offset) passed_newest = true;
    if (passed_newest && (resynced || n >= h.message_count)) break;
    p = next;
  }
  // Counts and offsets are judged only by a walk that went through.
  if (resynced) return true;

  if (landed != 0) {
    if (landed < h.message_count) {
      problems.add(ProblemKind::kWalkShort, h.newest_offset, landed, h.message_count, landed);
    } else if (landed > h.message_count) {
      problems.add(ProblemKind::kWalkLong, h.newest_offset, landed, h.message_count, landed);
    }
    if (!forward_found && h.forward_offset != after_newest) {
      problems.add(ProblemKind::kForwardOffsetNotRecord, h.forward_offset);
    }
    return true;
  }
  // The walk never met the newest record.
  if (count_offset >= 0) {
    problems.add(ProblemKind::kNewestOffsetMismatch, h.newest_offset, h.message_count, count_offset,
                 h.newest_offset);
  } else if (looped) {
    problems.add(ProblemKind::kNewestOffsetMismatch, h.newest_offset);
  } else {
    // The end of the file before the count.
    problems.add(ProblemKind::kWalkShort, p, n, h.message_count, n);
  }
  return true;
}

// --- backlog ----------------------------------------------------------------

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

// --- helpers ----------------------------------------------------------------------

void append_iso8601_utc(std::string& out, int64_t seconds) {
  // Days to a civil date (proleptic Gregorian), without the C library, whose
  // gmtime refuses negative values on some systems.
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  // Written digit by digit: a listing formats one per record.
  char text[32];
  char* t = text;
  int64_t y = year;
  if (y < 0) {
    *t++ = '-';
    y = -y;
  }
  const auto put = [&t](int64_t v, int width) {
    for (int k = width - 1; k >= 0; --k) {
      t[k] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    t += width;
  };
  put(y, y > 9999 ? 5 : 4);
  *t++ = '-';
  put(month, 2);
  *t++ = '-';
  put(day, 2);
  *t++ = 'T';
  put(rest / 3600, 2);
  *t++ = ':';
  put(rest % 3600 / 60, 2);
  *t++ = ':';
  put(rest % 60, 2);
  *t++ = 'Z';
  out.append(text, t);
}

std::string iso8601_utc(int64_t seconds) {
  std::string text;
  append_iso8601_utc(text, seconds);
  return text;
}

std::string failure_reason(const VARNO_STATUS& status) {
  std::string reason;
  std::string pairs;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    pairs += (pairs.empty() ? "(" : " (") + std::to_string(status.facility[i]) + ", " +
             std::to_string(status.error[i]) + ")";
    if (!reason.empty()) continue;
    // Facility 1 holds a run-time errno, which the run-time describes: the
    // platform's descriptions are of its last-error codes, on Windows other
    // numbers.
    if (status.facility[i] == VARNO_FACILITY_ERRNO) {
      reason = status.error[i] == 0 ? "the file ends early" : std::strerror(status.error[i]);
    } else if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotFound) {
      reason = std::strerror(ENOENT);
    } else if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotRegular) {
      reason = "not a regular file (a FIFO, device or socket); never opened";
    }
  }
  if (reason.empty()) reason = "failed";
  return reason + " (recorded: " + (pairs.empty() ? "nothing" : pairs) + ")";
}

std::string header_name(const unsigned char* message_header, uint32_t at) {
  const char* p = reinterpret_cast<const char*>(message_header + at);
  return std::string(p, strnlen(p, kMessageHeaderSize - at));
}

}  // namespace inspect
