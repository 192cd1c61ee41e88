// varno-storegen: writes store files with known, deterministic content for
// trying out and testing the store file utility, and plays the part of the
// store-and-forward service on such a file (--serve) so that the forward
// counts change while the utility watches them.
//
// Map of the tool, one file per job:
//   options.cc   the command line: one table of options, the help text
//   records.cc   the content of one message, and the tool's two writes (a
//                record, the header region) with the reads they need
//   generate.cc  the placement of the records in a new ring, writing the file
//   damage.cc    the damage kinds, applied to a file just written
//   serve.cc     the service simulation on an existing file
//   main.cc      which job the command line asks for
//
// Everything goes through the project's own file layer and format code, so a
// file made here is written exactly as the format code writes one, under the
// store file lock.
#ifndef VARNO_TOOLS_STOREGEN_STOREGEN_H_
#define VARNO_TOOLS_STOREGEN_STOREGEN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "messaging/varno.h"
#include "storeformat/store_header.h"

namespace storegen {

constexpr char kProgram[] = "varno-storegen";

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitIo = 1;
constexpr int kExitUsage = 2;

// Message sizes: the 292-byte message header, a 92-byte fixed body, then a
// time stamp and a value per tag.
constexpr uint32_t kFixedMessageSize = 384;
constexpr uint32_t kTagBytes = 16;
constexpr uint32_t kBodyFixedSize = 92;

// Limits that keep every computed size, offset and field in range: a message
// stays well below 4 GiB, frequency 25 * k fits a signed 32-bit word, and a
// file stays below 1 TiB.
constexpr uint32_t kMaxTags = 65535;
constexpr uint32_t kMaxMessages = 50000000;
constexpr int64_t kMaxCapacity = int64_t{1} << 40;
constexpr int64_t kMaxOldCapacity = 0xFFFFFFFF;  // types 0 and 1 keep 32-bit offsets

// --------------------------------------------------------------------------
// The command line (options.cc).

enum class DamageKind { kPrimary, kBackup, kRecordByte, kRecordSize };

struct Damage {
  DamageKind kind;
  uint32_t record;    // 1-based, ring order; record kinds only
  int64_t size = -1;  // record-size: the message size to give; -1 past the end of the file
};

enum class Job { kGenerate, kServe, kHelp, kVersion };

struct Options {
  Job job = Job::kGenerate;
  std::string file;
  // Generation.
  int32_t type = 2;
  uint32_t messages = 5;
  uint32_t tags = 1;
  int64_t capacity = -1;  // -1: the default for the layout
  bool wrap = false;
  bool count_given = false;
  uint32_t count = 0;
  uint32_t forwarded = 0;
  int64_t start_time = 1700000000;
  std::vector<Damage> damage;
  // Serving.
  uint32_t interval_ms = 500;
  uint32_t steps = 0;
  uint32_t forward_per_step = 1;  // --client-down: 0; --catch-up N: N
};

// Fills `options` from the command line: the job, and for generating and
// serving every option. --help, --version (and /? on Windows) anywhere win
// over everything else. Returns 0, or kExitUsage after printing the reason.
int parse_options(int argc, char** argv, Options* options);
// The text --help prints.
std::string usage_text();
// Prints the one-line complaint for a bad argument; returns kExitUsage.
int usage_error(const std::string& message);

// --------------------------------------------------------------------------
// Messages and the tool's writes (records.cc).

// Message k (1-based, oldest first) is fully determined by k, its tag count
// and its time stamp seconds, so listings are stable.
uint32_t message_size_for(uint32_t tags);
// Message k with `tags` tags in `out`. A `size` above the message's own
// (message_size_for) makes its size field say so and leaves the rest zero:
// the serving job stretches a record that way to reach the end of the file.
void build_message(uint32_t k, uint32_t tags, int32_t seconds, uint32_t size,
                   std::vector<unsigned char>* out);

// A step succeeded when nothing was recorded: a read that meets the end of
// the file records (1, 0) first, which a test of error[0] alone would miss.
bool recorded(const VARNO_STATUS& status);
// The recorded pairs as text, "(nothing recorded)" when there are none.
std::string pairs_text(const VARNO_STATUS& status);
// Says on standard error that `what` `file` failed, with the reason and the
// recorded pairs; returns kExitIo.
int io_failure(const char* what, const std::string& file, const VARNO_STATUS& status);

// Positioned reads and writes; false with the pairs in `status`.
bool read_at(int32_t fd, int64_t offset, void* data, uint32_t length, VARNO_STATUS* status);
bool write_at(int32_t fd, int64_t offset, const void* data, uint32_t length, VARNO_STATUS* status);

// The only two ways the tool puts store data into a file, both through the
// format code's writers. write_record writes `message` (its size field says
// how long) as one record at `offset`; store_header_region writes `header` as
// the whole header region of header type `type`, forced to the disk. False
// with the pairs in `status`.
bool write_record(int32_t fd, int64_t offset, const std::vector<unsigned char>& message,
                  VARNO_STATUS* status);
bool store_header_region(int32_t fd, const CommonHeader& header, int32_t type,
                         VARNO_STATUS* status);

// --------------------------------------------------------------------------
// A new file (generate.cc, damage.cc).

// Where the records of a new file lie. All records have one size, so record
// i (0-based, ring order) lies at a fixed offset:
//   - unwrapped: 192 + i * L;
//   - wrapped: the oldest `top` records from top_start upward, ending fewer
//     than 304 bytes before the end of the file, so a reader's walk wraps to
//     192 after them; the others from 192 upward.
struct RingLayout {
  int64_t capacity;
  uint32_t record_length;  // message size + 12
  uint32_t records;
  uint32_t top;       // records in the upper part (0: not wrapped)
  int64_t top_start;  // offset of record 0 when wrapped
};

int64_t record_offset(const RingLayout& ring, uint32_t i);

int generate_store(const Options& options);

// True when every damage of `options` can be made in `ring`; otherwise says
// why and returns false.
bool damage_fits(const Options& options, const RingLayout& ring);
// Makes damage `d` in the file just written.
bool apply_damage(int32_t fd, const Options& options, const RingLayout& ring, const Damage& d,
                  VARNO_STATUS* status);

// --------------------------------------------------------------------------
// The service simulation (serve.cc).

int serve_store(const Options& options);

}  // namespace storegen

#endif  // VARNO_TOOLS_STOREGEN_STOREGEN_H_
