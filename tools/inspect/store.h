// One store file as varno-inspect reads it: opened read-only through the file
// layer (which waits for its store file lock), its header region checked with
// a block counting only when its checksum holds and it begins with the
// signature, and its size. Nothing here prints.
#ifndef VARNO_TOOLS_INSPECT_STORE_H_
#define VARNO_TOOLS_INSPECT_STORE_H_

#include <cstdint>
#include <string>

#include "messaging/varno.h"
#include "storeformat/store_header.h"

namespace inspect {

// A step that could not be done: what was being done, and the pairs the
// layers recorded.
struct Failure {
  std::string step;  // "opening", "reading the header of", ...
  VARNO_STATUS status;
};

// The reason of a failure as one line: the run-time's text for the recorded
// system error (or the file layer's own reason), then the pairs, e.g.
// "No such file or directory (recorded: (13, 13161))".
std::string failure_reason(const VARNO_STATUS& status);

// A store file open for reading under its store file lock, its header as read.
struct Store {
  std::string path;
  int32_t fd = -1;
  int64_t file_size = -1;
  CommonHeader header{};
  HeaderCheck check;
  // The header is good enough to walk the ring: a known layout, the whole
  // region there, and at least one signed block whose checksum holds (and,
  // when both do, two equal blocks).
  bool header_usable() const { return check.usable(); }
};

// Opens `path` read-only, or for reading and writing (which waits for its
// store file lock), reads and
// checks the header, and takes the file size. False with *failure when the
// file cannot be opened or sized, or its first bytes cannot be read; a header
// that is merely damaged or of no known layout is no failure (see
// Store::check). On failure nothing stays open.
bool open_store(const std::string& path, Store* store, Failure* failure, bool writable = false);

// The header of `path` for monitoring, read without the store file lock so
// that neither the service nor an operator holding the lock ever delays it:
// one read of the region, judged as open_store judges it; again, a few
// milliseconds later, while no read shows a usable header (a writer may have
// been half-way through its one write of the region). True with *store
// filled (no descriptor held); false when no read gave a usable header, with
// *failure set when the file could not be read at all. The caller then reads
// under the lock.
bool peek_store(const std::string& path, Store* store, Failure* failure);
// Closes the file, which gives its lock back.
void close_store(Store* store);

// What monitoring wants of a store file.
struct Backlog {
  uint32_t messages = 0;
  uint32_t forwarded = 0;
  int64_t pending = 0;  // messages - forwarded; negative when the header says more were forwarded
  HeaderTimeStamp oldest{};
  HeaderTimeStamp newest{};
  bool has_age = false;    // the file holds a message
  int64_t oldest_age = 0;  // seconds from the oldest time stamp to `now`
  int64_t file_size = 0;
};
Backlog backlog_of(const Store& store, int64_t now);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_STORE_H_
