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

// What was being done when a failure happened.
enum class Step : int8_t {
  kNone,
  kOpening,
  kSizing,
  kReadingHeader,
  kReadingHeaderRegion,  // to keep it before a rewind
  kReadingRecord,
  kScanning,
  kRewritingHeader,
  kReadingBackHeader,
  kCreatingOut,  // salvage's OUT
  kWritingOut,
};

// The step in words, to go before the file's name: "reading the header of".
const char* step_words(Step step);
// The step was done on an output file, not on the store file.
bool step_on_output(Step step);

// A step that could not be done, and the pairs the layers recorded.
struct Failure {
  Step step = Step::kNone;
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

// The time stamp of the oldest message not yet forwarded: the first time
// stamp of the message in the record at the forward offset, as the messaging
// library reads it.
struct PendingStamp {
  enum State : int32_t {
    kNothingPending = 0,  // the header counts every message forwarded
    kKnown,               // `seconds` is the message's
    kUnknown,             // pending, but that record is damaged, or its message has no time stamp
  };
  State state = kNothingPending;
  int32_t seconds = 0;
};

// Reads the record at the forward offset of `store`, whose header is usable,
// through `fd` (open on the same file, with or without its lock) in one
// positioned read (two for a record over 1 KiB). Trusted only when the
// record is whole inside the file, its marker and header checksum hold and
// the library reads its body.
PendingStamp read_pending_stamp(int32_t fd, const Store& store);

// The header of `path` for monitoring, read without the store file lock so
// that neither the service nor an operator holding the lock ever delays it:
// one open, one read of the region judged as open_store judges it, and, when
// messages are pending, one read of the record at the forward offset. While
// the header is not usable, or the record does not hold, it looks again a
// few milliseconds later (a writer may have been half-way through its write)
// at most five times in all. True with *store filled (no descriptor held)
// and *pending; false when no look gave a usable header (*store then holds
// the last look's check), with *failure set when the file could not be read
// at all.
bool peek_store(const std::string& path, Store* store, PendingStamp* pending, Failure* failure);
// Why a header cannot be used, in words: "both header blocks are bad".
std::string header_verdict(const Store& store);
// Closes the file, which gives its lock back.
void close_store(Store* store);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_STORE_H_
