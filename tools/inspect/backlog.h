// backlog: what monitoring wants of each store file, read without the store
// file lock, and the run over every file named or found in a folder. Nothing
// here prints; the renderers turn a run into text, JSON or Prometheus text.
#ifndef VARNO_TOOLS_INSPECT_BACKLOG_H_
#define VARNO_TOOLS_INSPECT_BACKLOG_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tools/inspect/store.h"

namespace inspect {

// The figures of a store file whose header could be used.
struct Backlog {
  uint32_t messages = 0;
  uint32_t forwarded = 0;
  int64_t pending = 0;  // messages - forwarded; negative when the header says more were forwarded
  // The header's time stamps of the oldest and newest stored message,
  // forwarded or not; meaningless when the store holds no message.
  bool has_messages = false;
  HeaderTimeStamp oldest{};
  HeaderTimeStamp newest{};
  int64_t oldest_age = 0;  // seconds from the oldest time stamp to now; 0 without messages
  // The oldest message not yet forwarded, and seconds from its time stamp to
  // now: 0 when nothing is pending.
  PendingStamp oldest_pending;
  int64_t oldest_pending_age = 0;
  // The ring behind the header region: bytes between the oldest record and
  // the place of the next one, and the room left before the next record
  // would reach the oldest. used + free = file size - 192.
  int64_t ring_used = 0;
  int64_t ring_free = 0;
  int32_t block_status = kBlocksOk;  // kPrimaryBad or kBackupBad: one copy bad (degraded)
  int64_t file_size = 0;
};
Backlog backlog_of(const Store& store, const PendingStamp& pending, int64_t now);

// Why a file is down, as a stable name: the label `reason`, JSON's "reason".
enum class DownReason : int32_t {
  kNone = 0,
  kMissing,        // no such file
  kNotRegular,     // a FIFO, device, socket or folder
  kUnreadable,     // it could not be opened or read (rights, I/O)
  kHeaderShort,    // it ends inside the header region
  kUnknownLayout,  // no header type matches
  kHeaderBad,      // neither header copy holds (or the two differ)
  kLockHeld,       // --lock-timeout: the lock was not had in time
};
const char* down_reason_name(DownReason reason);

// One file of a run: its figures, or why it is down.
struct BacklogEntry {
  std::string path;
  // From the file's name when it follows the service's pattern, else empty.
  std::string node;
  std::string dlgp;
  bool ok = false;
  Backlog backlog;
  DownReason reason = DownReason::kNone;
  std::string error;  // when !ok: the step and the reason in words
};

// True when the last component of `path` (after its last '/' or '\') is the
// name of a store file as the service makes them, "VARNO_STORE_<node>.<DLGP>"
// (the node's dots turned into underscores, so the first dot ends it), with
// *node and *dlgp set from it. The service's store list
// "VARNO_STORE_LIST.<DLGP>", backup copies ("..._BCK01") and names with a
// second dot are not store files.
bool parse_store_file_name(std::string_view path, std::string* node, std::string* dlgp);

// One run of backlog: the files named on the command line and those a folder
// holds, each once, then each read without the lock.
class BacklogRun {
 public:
  // `lock_fallback`: a header that no look without the lock could use is
  // read once more under the store file lock, waiting as the file layer was
  // told (varno_s_file_set_lock_wait); otherwise such a file is down at once.
  BacklogRun(int64_t now, bool lock_fallback) : now_(now), lock_fallback_(lock_fallback) {}
  BacklogRun(const BacklogRun&) = delete;
  BacklogRun& operator=(const BacklogRun&) = delete;

  // A file named twice counts once: a collector refuses two series of one name.
  void add_file(const std::string& path);
  // Every store file of folder `dir` (by parse_store_file_name), in the order
  // of their names. False with *error when the folder cannot be listed.
  bool add_directory(const std::string& dir, std::string* error);
  // Reads every file added; false when interrupted (Ctrl+C, SIGTERM) first.
  bool read_all();

  const std::vector<BacklogEntry>& entries() const { return entries_; }
  int64_t time() const { return now_; }
  size_t named() const { return entries_.size(); }
  size_t down() const;

 private:
  void add(std::string path, std::string node, std::string dlgp);
  void read_one(BacklogEntry* e) const;

  // The paths added, as indices into entries_: each path is kept once.
  struct PathHash {
    const std::vector<BacklogEntry>* entries;
    size_t operator()(size_t i) const { return std::hash<std::string>()((*entries)[i].path); }
  };
  struct PathEqual {
    const std::vector<BacklogEntry>* entries;
    bool operator()(size_t a, size_t b) const { return (*entries)[a].path == (*entries)[b].path; }
  };

  int64_t now_;
  bool lock_fallback_;
  std::vector<BacklogEntry> entries_;
  std::unordered_set<size_t, PathHash, PathEqual> seen_{0, PathHash{&entries_},
                                                        PathEqual{&entries_}};
};

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_BACKLOG_H_
