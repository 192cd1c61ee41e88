// The record of a rewind: the log line and the saved header region.
#include "tools/inspect/rewind_record.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "messaging/varno.h"
#include "platform/platform.h"
#include "tools/inspect/render_common.h"

namespace inspect {

namespace {

constexpr char kMagic[] = "varno-inspect saved header region";
constexpr char kPrefix[] = "rewind-";
constexpr char kSuffix[] = ".region";

// The final component of `path`, on either separator.
std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "2026-12-09T17:01:02Z" as "20261209T170102Z".
std::string compact_time(const std::string& time) {
  std::string out;
  for (char c : time) {
    if (c != '-' && c != ':') out += c;
  }
  return out;
}

std::string entry_text(const RewindEntry& e, size_t region_size) {
  return std::string(kMagic) + "\nfile " + e.file + "\ntime " + e.time + "\nuser " + e.user +
         "\noldest_offset " + num(e.oldest_offset) + "\nnewest_offset " + num(e.newest_offset) +
         "\nmessages " + num(e.messages) + "\nforward_offset " + num(e.forward_from) + " " +
         num(e.forward_to) + "\nforwarded " + num(e.forwarded_from) + " " + num(e.forwarded_to) +
         "\nregion " + num(static_cast<int64_t>(region_size)) + "\n\n";
}

bool parse_number(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool fits_count(int64_t v, uint32_t* value) {
  if (v < 0 || v > int64_t{UINT32_MAX}) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// Splits "a b" into its two numbers.
bool parse_pair(const std::string& text, int64_t* a, int64_t* b) {
  const size_t space = text.find(' ');
  return space != std::string::npos && parse_number(text.substr(0, space), a) &&
         parse_number(text.substr(space + 1), b);
}

// The order of the saved files of one store file: by time, then by N (a
// name without N is the first of its second).
struct NameKey {
  std::string time;
  int64_t n = 1;
  bool operator<(const NameKey& o) const { return time != o.time ? time < o.time : n < o.n; }
};

bool name_key(const std::string& name, const std::string& store_name, NameKey* key) {
  const std::string head = kPrefix + store_name + "-";
  const size_t tail = sizeof kSuffix - 1;
  if (name.size() < head.size() + 16 + tail || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail, tail, kSuffix) != 0) {
    return false;
  }
  const std::string rest = name.substr(head.size(), name.size() - head.size() - tail);
  key->time = rest.substr(0, 16);
  key->n = 1;
  if (rest.size() == 16) return true;
  return rest[16] == '-' && parse_number(rest.substr(17), &key->n) && key->n >= 2;
}

platform::Status write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    uint32_t n = 0;
    const platform::Status st =
        platform::write(fd, bytes.data() + done, static_cast<uint32_t>(bytes.size() - done), &n);
    if (!st.ok()) return st;
    if (n == 0) return platform::Status::failure(EIO, 0);
    done += n;
  }
  return {};
}

}  // namespace

std::string rewind_log_line(const RewindEntry& e, bool undo, const std::string& saved) {
  std::string line = std::string(undo ? "undo of a rewind of " : "rewind of ") + e.file + " by " +
                     e.user + " at " + e.time + ": forward offset " + num(e.forward_from) + " -> " +
                     num(e.forward_to) + ", forwarded " + num(e.forwarded_from) + " -> " +
                     num(e.forwarded_to) + " (oldest offset " + num(e.oldest_offset) +
                     ", newest offset " + num(e.newest_offset) + ", " +
                     plural(e.messages, "message", "messages") + "); ";
  line += undo ? "header region put back from " + saved : "header region saved in " + saved;
  return line;
}

std::string record_directory() {
  VARNO_ENVIRONMENT environment{};
  VARNO_CLIENT_ENVIRONMENT(&environment);
  const std::string dir = environment.directory;
  if (dir.empty() || !platform::make_directories(dir).ok()) return std::string();
  return dir;
}

std::string absolute_path(const std::string& path) {
  std::error_code error;
  const std::filesystem::path p = std::filesystem::absolute(path, error);
  return error ? path : p.lexically_normal().string();
}

std::string utc_now() {
  return iso8601_utc(static_cast<int64_t>(std::time(nullptr)));
}

bool save_region(const std::string& dir, SavedRegion* saved, std::string* error) {
  const std::string stem =
      dir + kPrefix + base_name(saved->entry.file) + "-" + compact_time(saved->entry.time);
  const std::string bytes = entry_text(saved->entry, saved->region.size()) +
                            std::string(saved->region.begin(), saved->region.end());
  for (int n = 1;; ++n) {
    const std::string path = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + kSuffix;
    int fd = -1;
    const platform::Status opened =
        platform::open_file(path.c_str(),
                            platform::kModeWriteOnly | platform::kModeCreate |
                                platform::kModeExclusive | platform::kModeBinary,
                            &fd);
    if (!opened.ok()) {
      if (opened.code == platform::kErrorAlreadyExists && n < 1000) continue;
      *error = "creating " + path + " failed: " + platform::describe_error(opened);
      return false;
    }
    platform::Status written = write_all(fd, bytes);
    if (written.ok()) written = platform::sync(fd);
    const platform::Status closed = platform::close_file(fd);
    if (!written.ok() || !closed.ok()) {
      *error = "writing " + path +
               " failed: " + platform::describe_error(written.ok() ? closed : written);
      platform::remove_file(path.c_str());
      return false;
    }
    saved->path = path;
    return true;
  }
}

bool read_saved_region(const std::string& file, SavedRegion* saved) {
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return false;
  std::string bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
  std::fclose(in);
  const size_t blank = bytes.find("\n\n");
  if (blank == std::string::npos || bytes.compare(0, sizeof kMagic - 1, kMagic) != 0) return false;
  SavedRegion s;
  s.path = file;
  int64_t region_size = -1;
  int64_t forwarded_from = -1;
  int64_t forwarded_to = -1;
  int64_t messages = -1;
  size_t at = sizeof kMagic;
  while (at < blank + 1) {
    const size_t end = bytes.find('\n', at);
    const std::string text = bytes.substr(at, end - at);
    at = end + 1;
    const size_t space = text.find(' ');
    const std::string key = text.substr(0, space);
    const std::string value = space == std::string::npos ? "" : text.substr(space + 1);
    bool ok = true;
    if (key == "file") {
      s.entry.file = value;
    } else if (key == "time") {
      s.entry.time = value;
    } else if (key == "user") {
      s.entry.user = value;
    } else if (key == "oldest_offset") {
      ok = parse_number(value, &s.entry.oldest_offset);
    } else if (key == "newest_offset") {
      ok = parse_number(value, &s.entry.newest_offset);
    } else if (key == "messages") {
      ok = parse_number(value, &messages);
    } else if (key == "forward_offset") {
      ok = parse_pair(value, &s.entry.forward_from, &s.entry.forward_to);
    } else if (key == "forwarded") {
      ok = parse_pair(value, &forwarded_from, &forwarded_to);
    } else if (key == "region") {
      ok = parse_number(value, &region_size);
    }
    if (!ok) return false;
  }
  const size_t start = blank + 2;
  if (s.entry.file.empty() || region_size <= 0 ||
      static_cast<size_t>(region_size) != bytes.size() - start ||
      !fits_count(messages, &s.entry.messages) ||
      !fits_count(forwarded_from, &s.entry.forwarded_from) ||
      !fits_count(forwarded_to, &s.entry.forwarded_to)) {
    return false;
  }
  s.region.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
  *saved = std::move(s);
  return true;
}

bool find_last_saved(const std::string& dir, const std::string& path, SavedRegion* saved,
                     bool* found, std::string* error) {
  *found = false;
  std::vector<platform::DirectoryEntry> entries;
  const platform::Status listed = platform::list_directory(dir.c_str(), &entries);
  if (!listed.ok()) {
    *error = "listing " + dir + " failed: " + platform::describe_error(listed);
    return false;
  }
  const std::string store_name = base_name(absolute_path(path));
  NameKey last;
  for (const platform::DirectoryEntry& e : entries) {
    NameKey key;
    if (!name_key(e.name, store_name, &key) || (*found && key < last)) continue;
    SavedRegion candidate;
    if (!read_saved_region(e.path, &candidate)) continue;
    // Two store files of one name in different folders: only this one's.
    if (!platform::same_file(candidate.entry.file.c_str(), path.c_str())) continue;
    *saved = std::move(candidate);
    last = key;
    *found = true;
  }
  return true;
}

}  // namespace inspect
