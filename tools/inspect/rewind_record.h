// The record an executed rewind leaves: one line in the debug log and in the
// system's log, and the header region it replaced, saved in a file of its own
// beside the debug log, from which `rewind --undo` puts it back.
#ifndef VARNO_TOOLS_INSPECT_REWIND_RECORD_H_
#define VARNO_TOOLS_INSPECT_REWIND_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

namespace inspect {

// One rewind (or its undo): the store file, where the ring stood, and where
// forwarding stood before and after.
struct RewindEntry {
  std::string file;  // the store file as an absolute path
  std::string time;  // UTC, "2026-12-09T17:01:02Z"
  std::string user;
  int64_t oldest_offset = 0;
  int64_t newest_offset = 0;
  uint32_t messages = 0;
  int64_t forward_from = 0;
  int64_t forward_to = 0;
  uint32_t forwarded_from = 0;
  uint32_t forwarded_to = 0;
};

// A saved header region with the rewind it was saved for.
struct SavedRegion {
  std::string path;  // the saved file
  RewindEntry entry;
  std::vector<unsigned char> region;  // the bytes from offset 0 the rewind replaced
};

// The log line of a rewind, or of an undo (which names the saved file it
// put back), without a line end:
// "rewind of /srv/x.DEV1 by op at 2026-12-09T17:01:02Z: forward offset
// 5000 -> 192, forwarded 20 -> 0 (oldest offset 192, newest offset 4588,
// 20 messages); header region saved in /home/op/rewind-...".
std::string rewind_log_line(const RewindEntry& e, bool undo, const std::string& saved);

// The folder of the debug log, with its trailing separator; empty when the
// environment directory cannot be made.
std::string record_directory();

// The store file `path` as an absolute path, and the time now as the record
// writes it.
std::string absolute_path(const std::string& path);
std::string utc_now();

// Writes `saved` (its entry and region) as a new file in `dir`, named
// "rewind-<store file's name>-<YYYYMMDDTHHMMSSZ>[-N].region", N counting up
// from 2 until the name is free: a file of that name is never replaced.
// Synced to the disk before it counts. The file is a few text lines naming
// the entry, an empty line, then the region's bytes. False with *error.
bool save_region(const std::string& dir, SavedRegion* saved, std::string* error);

// The region saved last (by the time and N of its name) in `dir` for the
// store file `path` (any spelling of it). False with *error when the folder
// or a saved file cannot be read; true with *found false when there is none.
bool find_last_saved(const std::string& dir, const std::string& path, SavedRegion* saved,
                     bool* found, std::string* error);

// Reads one saved file; false when it is not one.
bool read_saved_region(const std::string& file, SavedRegion* saved);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_REWIND_RECORD_H_
