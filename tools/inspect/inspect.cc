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
constexpr int64_t kMax32 = 0xFFFFFFFF;

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
  check_store_header(fd, &store->header, &store->check, &status);
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
  const bool primary_ok = c.computed[0] == c.stored[0];
  const bool backup_ok = c.computed[1] == c.stored[1];
  if (primary_ok && backup_ok && c.block_status == kBothBad) {
    problems->add(ProblemKind::kHeaderBlocksDiffer, 0);
  }
  if (!primary_ok) problems->add(ProblemKind::kHeaderPrimaryBad, 0, 0, c.computed[0], c.stored[0]);
  if (!backup_ok) {
    problems->add(ProblemKind::kHeaderBackupBad, c.block_size + 4, 0, c.computed[1], c.stored[1]);
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

// --- salvage ----------------------------------------------------------------

namespace {

// A stretch of FILE in which the ring's records are looked for.
struct Segment {
  int64_t start;
  int64_t scan_limit;   // find_message_record's limit
  int64_t end_of_data;  // where a damaged stretch that reaches no record ends
  bool ends_at_newest;  // the ring's last part: stop at the newest record
};

// The OUT side of a salvage: records laid end to end from 192.
struct OutFile {
  int32_t fd = -1;
  int64_t at = kDataStart;
  int64_t first = -1;  // FILE offsets of the first and last record kept
  int64_t last = -1;
  uint32_t last_size = 0;
  HeaderTimeStamp first_time{};
  HeaderTimeStamp last_time{};
  bool first_time_known = false;
  bool last_time_known = false;
  int64_t forward_at = -1;  // OUT offset of the first kept record not yet forwarded
};

// Position of `offset` in ring order: from the oldest record to the end of
// the file, then from the start of the data area.
int64_t ring_position(int64_t offset, int64_t oldest, int64_t file_size) {
  return offset >= oldest ? offset - oldest : offset + (file_size - oldest);
}

}  // namespace

bool salvage_store(const Store& store, const std::string& out_path, Progress* progress,
                   SalvageReport* report, SalvageRefusal* refusal, Failure* failure) {
  *report = SalvageReport{};
  *refusal = SalvageRefusal::kNone;
  SalvageReport& r = *report;
  if (platform::same_file(store.path.c_str(), out_path.c_str())) {
    *refusal = SalvageRefusal::kSameFile;
    return false;
  }
  const CommonHeader& h = store.header;
  r.header_usable = store.header_usable();
  r.type = store.check.type >= 0 ? store.check.type : 2;
  r.header_count = r.header_usable ? h.message_count : 0;
  r.out_size = std::max<int64_t>(store.file_size, kDataStart);
  if (r.type != 2) r.out_size = std::min(r.out_size, kMax32);

  VARNO_STATUS status;
  OutFile out;
  // Created exclusively: an existing OUT is opened (never truncated) only to
  // learn that it was there, and closed untouched.
  out.fd = varno_s_file_open(out_path.c_str(), kOpenReadWrite | kOpenCreate, &status);
  if (out.fd < 0) {
    *failure = {"creating", status};
    return false;
  }
  if (varno_GetLastError() == platform::kErrorAlreadyExists) {
    varno_s_file_close(out.fd, &status);
    *refusal = SalvageRefusal::kOutExists;
    return false;
  }
  // A failure once OUT exists: OUT goes again, half written as it is.
  const auto abandon = [&] {
    VARNO_STATUS ignored;
    varno_s_file_close(out.fd, &ignored);
    platform::remove_file(out_path.c_str());
    return false;
  };
  const auto fail = [&](const char* step, const VARNO_STATUS& pairs) {
    *failure = {step, pairs};
    return abandon();
  };
  // The last byte first: OUT has its full size, and what is not written
  // reads as zeros.
  const unsigned char zero = 0;
  varno_s_file_seek(out.fd, r.out_size - 1, kSeekSet, &status);
  if (!varno_failed(status)) varno_s_file_write(out.fd, &zero, 1, &status);
  if (varno_failed(status)) return fail("writing", status);

  // The parts of FILE the ring occupies, in ring order.
  const bool ring = r.header_usable;
  const int64_t newest = ring ? h.newest_offset : std::numeric_limits<int64_t>::max();
  const int64_t size = store.file_size;
  std::vector<Segment> segments;
  RecordReader reader(store);
  WalkRecord rec;
  if (ring && h.message_count > 0) {
    // Where the newest record ends, for a damaged stretch that runs into it.
    int64_t newest_end = std::min(newest + kRecordHeader, size);
    if (newest >= 0 && newest < size) {
      if (!reader.read(newest, 0, RecordReader::Body::kSkip, &rec, failure)) return abandon();
      if (rec.defect == Defect::kNone) newest_end = newest + kPrefix + rec.message_size;
    }
    const int64_t last_limit = std::min(newest + kRecordHeader, size);
    if (newest >= h.oldest_offset) {
      segments.push_back({h.oldest_offset, last_limit, newest_end, true});
    } else {
      segments.push_back({h.oldest_offset, size, size, false});
      segments.push_back({kDataStart, last_limit, newest_end, true});
    }
  } else if (!ring) {
    // No header to say where the ring lies: every intact record, in file order.
    segments.push_back({kDataStart, size, -1, false});
  }
  const int64_t forward_position = ring && h.forwarded_count < h.message_count
                                       ? ring_position(h.forward_offset, h.oldest_offset, size)
                                       : std::numeric_limits<int64_t>::max();

  const auto keep = [&](const WalkRecord& k) {
    const uint32_t length = k.message_size + kPrefix;
    write_message_record(out.fd, out.at, length, k.message, &status);
    if (varno_failed(status)) return false;
    if (k.body_checksum != 0) ++r.words_cleared;
    const MessageSummary summary = summarize_message_body(k.message);
    const HeaderTimeStamp stamp = {summary.first_time.word, summary.first_time.seconds};
    if (out.first < 0) {
      out.first = k.offset;
      out.first_time = stamp;
      out.first_time_known = summary.has_first_time;
    }
    out.last = k.offset;
    out.last_size = k.message_size;
    out.last_time = stamp;
    out.last_time_known = summary.has_first_time;
    // Without a usable header nothing is known to have been forwarded.
    if (out.forward_at < 0 &&
        (!ring || ring_position(k.offset, h.oldest_offset, size) >= forward_position)) {
      out.forward_at = out.at;
    }
    if (out.forward_at < 0) ++r.forwarded;
    out.at += length;
    ++r.kept;
    r.kept_bytes += length;
    if (progress != nullptr) progress->update(r.kept, r.kept_bytes + r.lost_bytes);
    return true;
  };
  const auto lose = [&](int64_t start, int64_t end) {
    if (end <= start) return;
    r.lost.push_back({start, end});
    r.lost_bytes += end - start;
  };

  bool done = false;
  for (size_t s = 0; s < segments.size() && !done; ++s) {
    const Segment& seg = segments[s];
    int64_t p = seg.start;
    for (;;) {
      if (p < 0 || p + kRecordHeader > seg.scan_limit || (seg.ends_at_newest && p > newest)) break;
      if (!reader.read(p, r.kept + 1, RecordReader::Body::kWhole, &rec, failure)) return abandon();
      if (rec.defect == Defect::kNone && rec.marker_ok && rec.header_checksum_ok) {
        if (!keep(rec)) return fail("writing", status);
        if (seg.ends_at_newest && p == newest) {
          done = true;
          break;
        }
        const int64_t next = next_record_offset(p, rec.message_size, size, newest);
        if (next == kDataStart || (seg.ends_at_newest && next > newest)) break;
        p = next;
        continue;
      }
      // A damaged stretch: go on at the next intact record the format's own
      // scan finds, as the service does.
      int64_t found = 0;
      find_message_record(store.fd, p + 1, seg.scan_limit, &found, &status);
      if (varno_failed(status)) return fail("scanning", status);
      if (found == 0) {
        lose(p, seg.end_of_data);
        break;
      }
      lose(p, found);
      p = found;
    }
  }
  if (ring && h.message_count > r.kept) r.lost_records = h.message_count - r.kept;

  // The header of OUT: an unwrapped ring of the kept records, filled as
  // varno-storegen fills one; flag and opaque words carried from FILE.
  CommonHeader& o = r.out_header;
  o = CommonHeader{};
  o.signature = kStoreSignature;
  o.revision = static_cast<uint32_t>(r.type);
  if (ring) {
    o.forward_past_last = h.forward_past_last;
    o.opaque1 = h.opaque1;
    o.opaque2 = h.opaque2;
  }
  o.message_count = r.kept;
  o.forwarded_count = r.forwarded;
  o.oldest_offset = kDataStart;
  o.newest_offset = r.kept > 0 ? out.at - kPrefix - out.last_size : kDataStart;
  o.last_offset = o.newest_offset;
  o.last_message_size = out.last_size;
  o.current_offset =
      r.kept > 0 ? next_record_offset(o.newest_offset, out.last_size, r.out_size, o.newest_offset)
                 : kDataStart;
  o.forward_offset = out.forward_at >= 0 ? out.forward_at : o.current_offset;
  if (r.kept > 0) {
    // The header's own stamps where the kept end records are FILE's end
    // records; else the messages' first time stamps.
    o.oldest_time = ring && out.first == h.oldest_offset ? h.oldest_time
                    : out.first_time_known               ? out.first_time
                                                         : h.oldest_time;
    o.newest_time = ring && out.last == h.newest_offset ? h.newest_time
                    : out.last_time_known               ? out.last_time
                                                        : h.newest_time;
  }
  if (r.type != 2 && std::max({o.current_offset, o.forward_offset, o.newest_offset}) > kMax32) {
    VARNO_STATUS none;
    VARNO_SERVER_INITBLK(&none);
    return fail("fitting the 32-bit offsets of the header type of", none);
  }
  unsigned char region[kFixedRegionSize] = {};
  const uint32_t region_size = build_header_region(o, r.type, region);
  varno_s_file_seek(out.fd, 0, kSeekSet, &status);
  if (!varno_failed(status)) varno_s_file_write(out.fd, region, region_size, &status);
  if (!varno_failed(status)) varno_s_file_sync(out.fd, &status);
  if (varno_failed(status)) return fail("writing", status);
  varno_s_file_close(out.fd, &status);
  if (varno_failed(status)) {
    platform::remove_file(out_path.c_str());
    *failure = {"closing", status};
    return false;
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
    // Facility 1 holds a run-time errno; the platform words it as the user's
    // system does (on Windows the system error behind it).
    if (status.facility[i] == VARNO_FACILITY_ERRNO) {
      reason =
          status.error[i] == 0 ? "the file ends early" : platform::describe_errno(status.error[i]);
    } else if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotFound) {
      reason = platform::describe_errno(ENOENT);
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
