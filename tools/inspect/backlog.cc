// backlog's run: which files, each read without the lock, what each shows.
#include "tools/inspect/backlog.h"

#include <algorithm>
#include <cerrno>

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "storeformat/message_record.h"

namespace inspect {

Backlog backlog_of(const Store& store, const PendingStamp& pending, int64_t now) {
  const CommonHeader& h = store.header;
  Backlog b;
  b.messages = h.message_count;
  b.forwarded = h.forwarded_count;
  b.pending = int64_t{h.message_count} - int64_t{h.forwarded_count};
  b.has_messages = h.message_count > 0;
  b.oldest = h.oldest_time;
  b.newest = h.newest_time;
  b.oldest_age = b.has_messages ? now - h.oldest_time.seconds : 0;
  b.oldest_pending = pending;
  b.oldest_pending_age = pending.state == PendingStamp::kKnown ? now - pending.seconds : 0;
  b.file_size = store.file_size;
  b.block_status = store.check.block_status;
  // The service writes the next record at the current offset, up to the end
  // of the file and then from 192 on, never over the oldest record. Bytes
  // behind the last record at the end, too few for a record, count as used.
  const int64_t area = std::max<int64_t>(store.file_size - store_header_size, 0);
  int64_t free = area;
  if (b.has_messages) {
    free = h.current_offset > h.oldest_offset
               ? (store.file_size - h.current_offset) + (h.oldest_offset - store_header_size)
               : h.oldest_offset - h.current_offset;
  }
  b.ring_free = std::clamp<int64_t>(free, 0, area);
  b.ring_used = area - b.ring_free;
  return b;
}

const char* down_reason_name(DownReason reason) {
  switch (reason) {
    case DownReason::kNone:
      return "";
    case DownReason::kMissing:
      return "missing";
    case DownReason::kNotRegular:
      return "not_regular";
    case DownReason::kUnreadable:
      return "unreadable";
    case DownReason::kHeaderShort:
      return "header_short";
    case DownReason::kUnknownLayout:
      return "unknown_layout";
    case DownReason::kHeaderBad:
      return "header_bad";
    case DownReason::kLockHeld:
      return "lock_held";
  }
  return "unreadable";
}

bool parse_store_file_name(std::string_view path, std::string* node, std::string* dlgp) {
  constexpr std::string_view kPrefix = "VARNO_STORE_";
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view rest = name.substr(kPrefix.size());
  const size_t dot = rest.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == rest.size()) return false;
  const std::string_view n = rest.substr(0, dot), d = rest.substr(dot + 1);
  if (d.find('.') != std::string_view::npos || n == "LIST") return false;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (d.size() > 6 && d.substr(d.size() - 6, 4) == "_BCK" && digit(d[d.size() - 2]) &&
      digit(d.back())) {
    return false;
  }
  *node = n;
  *dlgp = d;
  return true;
}

void BacklogRun::add_file(const std::string& path) {
  std::string node, dlgp;
  parse_store_file_name(path, &node, &dlgp);
  add(path, std::move(node), std::move(dlgp));
}

void BacklogRun::add(std::string path, std::string node, std::string dlgp) {
  BacklogEntry& e = entries_.emplace_back();
  e.path = std::move(path);
  if (!seen_.insert(entries_.size() - 1).second) {
    entries_.pop_back();
    return;
  }
  e.node = std::move(node);
  e.dlgp = std::move(dlgp);
}

bool BacklogRun::add_directory(const std::string& dir, std::string* error) {
  std::vector<platform::DirectoryEntry> found;
  errno = 0;
  if (platform::list_directory(dir.c_str(), &found) != 0) {
    *error = "listing failed: " + platform::describe_errno(errno);
    return false;
  }
  struct StoreFile {
    platform::DirectoryEntry* entry;
    std::string node, dlgp;
  };
  std::vector<StoreFile> files;
  files.reserve(found.size());
  for (platform::DirectoryEntry& f : found) {
    StoreFile file{&f, {}, {}};
    if (parse_store_file_name(f.name, &file.node, &file.dlgp)) files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(),
            [](const StoreFile& a, const StoreFile& b) { return a.entry->name < b.entry->name; });
  entries_.reserve(entries_.size() + files.size());
  seen_.reserve(entries_.size() + files.size());
  for (StoreFile& f : files) add(std::move(f.entry->path), std::move(f.node), std::move(f.dlgp));
  return true;
}

bool BacklogRun::read_all() {
  for (BacklogEntry& e : entries_) {
    if (platform::interrupted()) return false;
    read_one(&e);
  }
  return true;
}

size_t BacklogRun::down() const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const BacklogEntry& e) { return !e.ok; }));
}

namespace {

DownReason reason_of(const Failure& f) {
  if (status_holds(f.status, VARNO_FACILITY_STORE, kErrNotFound)) return DownReason::kMissing;
  if (status_holds(f.status, VARNO_FACILITY_STORE, kErrNotRegular)) return DownReason::kNotRegular;
  if (status_holds(f.status, VARNO_FACILITY_STORE, kErrLockTimeout)) return DownReason::kLockHeld;
  return DownReason::kUnreadable;
}

DownReason reason_of(const HeaderCheck& check) {
  if (check.type < 0) return DownReason::kUnknownLayout;
  if (check.stage != HeaderCheck::kChecked) return DownReason::kHeaderShort;
  return DownReason::kHeaderBad;
}

}  // namespace

void BacklogRun::read_one(BacklogEntry* e) const {
  Store s;
  PendingStamp pending;
  Failure f;
  bool usable = peek_store(e->path, &s, &pending, &f);
  // Asked for: one more read under the lock, waiting as long as was set.
  if (!usable && f.step == Step::kNone && lock_fallback_ && open_store(e->path, &s, &f)) {
    if (s.header_usable()) pending = read_pending_stamp(s.fd, s);
    close_store(&s);
    usable = s.header_usable();
  }
  e->ok = usable;
  if (usable) {
    e->backlog = backlog_of(s, pending, now_);
  } else if (f.step != Step::kNone) {
    e->reason = reason_of(f);
    e->error = std::string(step_words(f.step)) + " failed: " + failure_reason(f.status);
  } else {
    e->reason = reason_of(s.check);
    e->error = "the header cannot be used: " + header_verdict(s);
  }
}

}  // namespace inspect
