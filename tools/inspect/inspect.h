// varno-inspect's reading side: a store file opened under its lock, the ring
// walk, the whole-file check and the salvage, each over the project's format
// and file layers. These functions return records of what they saw and print
// nothing; render.h turns the records into text or JSON.
//
// Every walk here visits records by the format's step rule
// (next_record_offset), from the header's oldest offset, exactly as the
// utility's menu 2 does.
#ifndef VARNO_TOOLS_INSPECT_INSPECT_H_
#define VARNO_TOOLS_INSPECT_INSPECT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "messaging/varno.h"
#include "storeformat/message_record.h"
#include "storeformat/store_header.h"

namespace inspect {

class Progress;

// A step that could not be done: what was being done, and the pairs the
// layers recorded.
struct Failure {
  std::string step;  // "opening", "reading the header of", ...
  VARNO_STATUS status;
};

// A store file open for reading under its store file lock, its header as read.
struct Store {
  std::string path;
  int32_t fd = -1;
  int64_t file_size = -1;
  CommonHeader header{};
  HeaderCheck check;
  // The header is good enough to walk the ring: a known layout, the whole
  // region there, and at least one block whose checksum holds and that begins
  // with the signature (and, when both do, two equal blocks).
  bool header_usable() const { return check.usable(); }
};

// Opens `path` read-only (which waits for its store file lock), reads and
// checks the header, and takes the file size. False with *failure when the
// file cannot be opened or sized, or its first bytes cannot be read; a header
// that is merely damaged or of no known layout is no failure (see
// Store::check). On failure nothing stays open.
bool open_store(const std::string& path, Store* store, Failure* failure);
// Closes the file, which gives its lock back.
void close_store(Store* store);

// Why a walk stops at a record; kNone for a record the walk can pass.
enum class Defect : int32_t {
  kNone,
  kHeaderPastEnd,  // fewer than 304 bytes remain before the end of the file
  kSizeSmall,      // message size below 292
  kSizePastEnd,    // message size runs past the end of the file
};

// One record as a walk read it.
struct WalkRecord {
  uint32_t number = 0;  // 1-based, in walking order
  int64_t offset = 0;
  unsigned char record_header[304] = {};  // prefix and message header, zeros where not read
  bool marker_ok = false;
  bool header_checksum_ok = false;
  uint32_t body_checksum = 0;  // the stored word (0 in every valid record)
  uint32_t message_size = 0;
  Defect defect = Defect::kNone;
  bool body_read = false;
  bool body_checksum_ok = false;           // the stored word is what the body checksum gives
  const unsigned char* message = nullptr;  // message_size bytes when body_read
  const unsigned char* message_header() const { return record_header + 12; }
};

// Reads records of one open store file, keeping one message buffer that grows
// to the largest message read.
class RecordReader {
 public:
  explicit RecordReader(const Store& store) : store_(store) {}
  // What of the body to read: nothing; the body bytes for their checksum
  // word; the whole message (header and body) for the messaging library.
  enum class Body { kSkip, kCheck, kWhole };
  // Reads the record at `offset` as record `number`, and its body as `want`
  // says when the record has no defect. False with *failure only when the
  // file cannot be read there (not when it ends: that is a defect).
  bool read(int64_t offset, uint32_t number, Body want, WalkRecord* out, Failure* failure);

 private:
  const Store& store_;
  std::vector<unsigned char> message_;
};

// --- verify -----------------------------------------------------------------

// Problem kinds, with the stable names render.h gives them.
enum class ProblemKind : int32_t {
  kHeaderPrimaryBad,
  kHeaderBackupBad,
  kHeaderBlocksDiffer,
  kHeaderShort,
  kUnknownLayout,
  kRecordHeaderPastEnd,
  kRecordMarker,
  kRecordHeaderChecksum,
  kBodyChecksumWord,
  kMessageSizeSmall,
  kMessageSizePastEnd,
  kWalkShort,
  kWalkLong,
  kNewestOffsetMismatch,
  kForwardOffsetNotRecord,
  kForwardedExceedsMessages,
  kOldestAfterNewest,
};
constexpr int kProblemKinds = 17;

// One problem. `offset` is -1 and `record` 0 where they do not apply;
// `expected` and `found` are the two values compared, when `has_values`.
struct Problem {
  ProblemKind kind;
  int64_t offset = -1;
  uint32_t record = 0;
  bool has_values = false;
  int64_t expected = 0;
  int64_t found = 0;
  // A header block whose checksum holds but that lacks the signature: the
  // values are the signature and the word found in its place.
  bool unsigned_block = false;
};

struct VerifyReport {
  bool walked = false;   // false when the header was unusable or counts no message
  uint32_t records = 0;  // records read by the walk
  int64_t bytes = 0;     // bytes of those records
  std::vector<Problem> problems;
  uint32_t counts[kProblemKinds] = {};  // problems per kind
};

// Checks the header and walks the ring from the oldest record to the newest
// (further than the header's count when the newest record lies further),
// reading every record whole. Past a record the walk cannot step over it goes
// on at the next intact record the format's scan finds, so damage further on
// is reported too. False with *failure when the file cannot be read.
bool verify_store(const Store& store, Progress* progress, VerifyReport* report, Failure* failure);

// --- salvage ----------------------------------------------------------------

struct LostRange {
  int64_t start;  // file offsets of FILE, end exclusive
  int64_t end;
};

struct SalvageReport {
  int32_t type = 2;            // header type OUT was written in
  bool header_usable = false;  // false: records were taken in file order by a scan from 192
  uint32_t header_count = 0;   // FILE's number of messages (when usable)
  uint32_t kept = 0;
  int64_t kept_bytes = 0;
  uint32_t forwarded = 0;      // kept records that lay before FILE's forward offset
  uint32_t words_cleared = 0;  // kept records whose non-zero body checksum word became 0
  std::vector<LostRange> lost;
  int64_t lost_bytes = 0;
  uint32_t lost_records = 0;  // FILE's count minus the records kept, when more were counted
  int64_t ring_start =
      -1;  // without a usable header: where the file's layout showed the ring begins
  CommonHeader out_header{};
  int64_t out_size = 0;
};

// Refusals and failures of salvage_store, for the exit status and the message.
enum class SalvageRefusal : int32_t { kNone, kSameFile, kOutExists, kNoRecords };

// Writes every intact record of the open `store`, in ring order, to the new
// store file `out_path`, laid end to end from 192 under a header of the
// store's type (type 2 when it has no known layout). The file `out_path` is
// created exclusively, never replaced; it gets the size of the store. False
// with *refusal set (kSameFile, kOutExists) or *failure; OUT is removed again
// when a failure comes after it was created. The store is only read.
// A FILE too short to hold one record is refused (kNoRecords). When
// `kept_offsets` is given, it receives FILE's offset of every record kept,
// in OUT's order.
bool salvage_store(const Store& store, const std::string& out_path, Progress* progress,
                   SalvageReport* report, SalvageRefusal* refusal, Failure* failure,
                   std::vector<int64_t>* kept_offsets = nullptr);

// --- backlog ----------------------------------------------------------------

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

// --- helpers shared by the renderers -------------------------------------------

// "1970-01-01T00:00:00Z" for seconds since 1970 (any 32-bit value).
std::string iso8601_utc(int64_t seconds);
void append_iso8601_utc(std::string& out, int64_t seconds);

// The reason of a failure as one line: the platform's text for the recorded
// system error (or for "not found"), then the pairs, e.g.
// "No such file or directory (recorded: (13, 13161))".
std::string failure_reason(const VARNO_STATUS& status);

// A NUL-terminated name of the 292-byte message header at `at`.
std::string header_name(const unsigned char* message_header, uint32_t at);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_INSPECT_H_
