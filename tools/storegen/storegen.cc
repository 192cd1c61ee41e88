// varno-storegen: writes store files with known, deterministic content for
// trying out and testing the store file utility, and plays the part of the
// store-and-forward service on such a file (--serve) so that the forward
// counts change while the utility watches them.
//
// Map of this file: the command line (Options, parse_options), the content of
// one message (build_message), the placement of the records in the ring
// (RingLayout), writing a new file (generate_store), the damage kinds
// (apply_damage) and the service simulation (serve_store).
//
// Everything goes through the project's own file layer and format code, so a
// file made here is written exactly as the format code writes one, under the
// store file lock.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "messaging/varno.h"
#include "platform/platform.h"
#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"
#include "storeformat/ring.h"
#include "storeformat/store_header.h"

namespace {

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

// Spare room of the default capacity of a wrapped ring: one record for the
// free space between the newest and the oldest record, and this much left
// unused at the end of the file.
constexpr int64_t kDefaultWrapTail = 100;

constexpr char kUsage[] =
    "usage: varno-storegen FILE [options]\n"
    "Writes a store file with deterministic content, or simulates the\n"
    "store-and-forward service on one (--serve).\n"
    "\n"
    "  --type N           header type 0, 1 or 2 (default 2)\n"
    "  --messages N       message records written (default 5)\n"
    "  --tags N           tags per message (default 1); message size = 384 + 16*N\n"
    "  --capacity BYTES   file size = ring capacity (default: 192 + the records,\n"
    "                     no free space; with --wrap one more record + 100 bytes)\n"
    "  --wrap             lay the ring out wrapped (below)\n"
    "  --count N          the header's number of messages (default: --messages)\n"
    "  --forwarded N      the header's messages forwarded (default 0)\n"
    "  --start-time S     seconds of message 1's time stamps (default 1700000000);\n"
    "                     message k has S + 60*(k-1)\n"
    "  --damage KIND      primary | backup | both | record-byte:K | record-size:K[:SIZE]\n"
    "                     (K = 1-based record in ring order, oldest first;\n"
    "                     may be given several times)\n"
    "  --serve            simulate the service on an existing type-2 FILE\n"
    "  --interval MS      serve: pause between steps (default 500)\n"
    "  --steps N          serve: number of steps, then exit (default 0 = until killed)\n"
    "  --help             this text\n"
    "\n"
    "Without --wrap the records lie end to end from offset 192, oldest first,\n"
    "and the file is zero from the last record up to the capacity.\n"
    "\n"
    "With --wrap (at least 2 messages) the oldest ceil(N/2) records lie at the\n"
    "top of the file and the newest from offset 192 upward. With F = capacity -\n"
    "192 - all records (at least one record), the top records end G = min(F -\n"
    "one record, 303) bytes before the end of the file, so fewer than 304 bytes\n"
    "follow them and a reader's walk continues at 192; the rest of F lies free\n"
    "between the newest and the oldest record.\n"
    "\n"
    "Damage: primary / backup flip byte 40 of that header block; record-byte:K\n"
    "flips the case of the first letter of record K's request source (its header\n"
    "checksum then fails); record-size:K gives record K a message size that runs\n"
    "past the end of the file (or SIZE) and a matching header checksum.\n"
    "\n"
    "--serve: each step opens FILE under the store file lock, appends the next\n"
    "message at the current offset when it fits (before the end of the file, or\n"
    "before the oldest record when the ring has wrapped), advances the forwarded\n"
    "count by one while it is below the message count, rewrites the header,\n"
    "closes the file and prints \"step N: messages=M forwarded=F\".\n"
    "\n"
    "Exit status: 0 done, 1 file error, 2 bad arguments.\n";

// --------------------------------------------------------------------------
// Little-endian field access.

void put_u16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// --------------------------------------------------------------------------
// The command line.

enum class DamageKind { kPrimary, kBackup, kRecordByte, kRecordSize };

struct Damage {
  DamageKind kind;
  uint32_t record;    // 1-based, ring order; record kinds only
  int64_t size = -1;  // record-size: the message size to give; -1 past the end of the file
};

struct Options {
  std::string file;
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
  bool serve = false;
  uint32_t interval_ms = 500;
  uint32_t steps = 0;
  bool help = false;
};

// Strict decimal: optional '-' only when `allow_negative`, digits only, no
// blanks, within [low, high].
bool parse_number(const char* text, int64_t low, int64_t high, int64_t* value) {
  const char* p = text;
  bool negative = false;
  if (*p == '-' && low < 0) {
    negative = true;
    ++p;
  }
  if (*p == '\0') return false;
  int64_t v = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (v > (std::numeric_limits<int64_t>::max() - 9) / 10) return false;
    v = v * 10 + (*p - '0');
  }
  if (negative) v = -v;
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

bool parse_damage(const char* text, Damage* damage) {
  if (std::strcmp(text, "primary") == 0) {
    *damage = {DamageKind::kPrimary, 0};
    return true;
  }
  if (std::strcmp(text, "backup") == 0) {
    *damage = {DamageKind::kBackup, 0};
    return true;
  }
  if (std::strcmp(text, "both") == 0) {
    // Stands for primary and backup; the caller adds both.
    *damage = {DamageKind::kPrimary, 0};
    return true;
  }
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return false;
  const std::string kind(text, static_cast<size_t>(colon - text));
  // record-size takes an optional size after a second colon.
  const char* second = kind == "record-size" ? std::strchr(colon + 1, ':') : nullptr;
  const std::string number = second != nullptr
                                 ? std::string(colon + 1, static_cast<size_t>(second - colon - 1))
                                 : std::string(colon + 1);
  int64_t k = 0;
  if (!parse_number(number.c_str(), 1, kMaxMessages, &k)) return false;
  int64_t size = -1;
  if (second != nullptr &&
      !parse_number(second + 1, 0, std::numeric_limits<uint32_t>::max(), &size)) {
    return false;
  }
  if (kind == "record-byte") {
    *damage = {DamageKind::kRecordByte, static_cast<uint32_t>(k)};
  } else if (kind == "record-size") {
    *damage = {DamageKind::kRecordSize, static_cast<uint32_t>(k), size};
  } else {
    return false;
  }
  return true;
}

// Prints the one-line complaint for a bad argument; returns the usage exit.
int usage_error(const std::string& message) {
  std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, message.c_str());
  return kExitUsage;
}

// Fills `options` from the command line. Returns 0, or kExitUsage after
// printing the reason.
int parse_options(int argc, char** argv, Options* options) {
  Options& o = *options;
  bool have_file = false;
  // Which options were given, for the checks between them.
  bool generation_option = false;
  bool serve_option = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || platform::is_help_switch(argv[i])) {
      o.help = true;
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      if (have_file) return usage_error("more than one FILE: " + arg);
      o.file = arg;
      have_file = true;
      continue;
    }
    if (arg == "--wrap") {
      o.wrap = true;
      generation_option = true;
      continue;
    }
    if (arg == "--serve") {
      o.serve = true;
      continue;
    }
    static const char* const kValueOptions[] = {
        "--type",      "--messages",   "--tags",   "--capacity", "--count",
        "--forwarded", "--start-time", "--damage", "--interval", "--steps"};
    if (std::none_of(std::begin(kValueOptions), std::end(kValueOptions),
                     [&](const char* o) { return arg == o; })) {
      return usage_error("unknown option " + arg);
    }
    if (i + 1 >= argc) return usage_error("option " + arg + " needs a value");
    const char* value = argv[++i];
    int64_t v = 0;
    const auto number = [&](int64_t low, int64_t high) {
      if (parse_number(value, low, high, &v)) return true;
      usage_error("bad value for " + arg + ": '" + value + "' (allowed " + std::to_string(low) +
                  " to " + std::to_string(high) + ")");
      return false;
    };
    if (arg == "--type") {
      if (!number(0, 2)) return kExitUsage;
      o.type = static_cast<int32_t>(v);
      generation_option = true;
    } else if (arg == "--messages") {
      if (!number(1, kMaxMessages)) return kExitUsage;
      o.messages = static_cast<uint32_t>(v);
      generation_option = true;
    } else if (arg == "--tags") {
      if (!number(0, kMaxTags)) return kExitUsage;
      o.tags = static_cast<uint32_t>(v);
      generation_option = true;
    } else if (arg == "--capacity") {
      if (!number(0, kMaxCapacity)) return kExitUsage;
      o.capacity = v;
      generation_option = true;
    } else if (arg == "--count") {
      if (!number(0, std::numeric_limits<uint32_t>::max())) return kExitUsage;
      o.count = static_cast<uint32_t>(v);
      o.count_given = true;
      generation_option = true;
    } else if (arg == "--forwarded") {
      if (!number(0, std::numeric_limits<uint32_t>::max())) return kExitUsage;
      o.forwarded = static_cast<uint32_t>(v);
      generation_option = true;
    } else if (arg == "--start-time") {
      if (!number(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max())) {
        return kExitUsage;
      }
      o.start_time = v;
      generation_option = true;
    } else if (arg == "--damage") {
      Damage d{};
      if (!parse_damage(value, &d)) {
        return usage_error(std::string("bad --damage kind '") + value +
                           "' (primary, backup, both, record-byte:K or record-size:K[:SIZE])");
      }
      if (std::strcmp(value, "both") == 0) {
        o.damage.push_back({DamageKind::kPrimary, 0});
        o.damage.push_back({DamageKind::kBackup, 0});
      } else {
        o.damage.push_back(d);
      }
      generation_option = true;
    } else if (arg == "--interval") {
      if (!number(0, 3600000)) return kExitUsage;
      o.interval_ms = static_cast<uint32_t>(v);
      serve_option = true;
    } else {  // --steps
      if (!number(0, std::numeric_limits<int32_t>::max())) return kExitUsage;
      o.steps = static_cast<uint32_t>(v);
      serve_option = true;
    }
  }
  if (!have_file) return usage_error("no FILE given");
  if (o.serve && generation_option) {
    return usage_error("--serve works on an existing file and takes only --interval and --steps");
  }
  if (!o.serve && serve_option) return usage_error("--interval and --steps need --serve");
  if (!o.count_given) o.count = o.messages;
  for (const Damage& d : o.damage) {
    if ((d.kind == DamageKind::kRecordByte || d.kind == DamageKind::kRecordSize) &&
        d.record > o.messages) {
      return usage_error("--damage names record " + std::to_string(d.record) + " of only " +
                         std::to_string(o.messages));
    }
  }
  // The last message's time stamp must still fit the signed 32-bit seconds.
  const int64_t last_time = o.start_time + int64_t{60} * (o.messages - 1);
  if (last_time > std::numeric_limits<int32_t>::max()) {
    return usage_error("--start-time too late for " + std::to_string(o.messages) +
                       " messages a minute apart");
  }
  return 0;
}

// --------------------------------------------------------------------------
// Message content. Message k (1-based, oldest first) is fully determined by k,
// the tag count and its time stamp seconds, so listings are stable.

uint32_t message_size_for(uint32_t tags) {
  return kFixedMessageSize + kTagBytes * tags;
}

void put_name(unsigned char* header, uint32_t offset, const char* name) {
  std::memcpy(header + offset, name, std::strlen(name));  // the rest stays NUL
}

void build_message(uint32_t k, uint32_t tags, int32_t seconds, std::vector<unsigned char>* out) {
  const uint32_t size = message_size_for(tags);
  out->assign(size, 0);
  unsigned char* m = out->data();
  put_u16(m + kMsgSignatureAt, 0x5A5A);
  put_u16(m + kMsgTransTypeAt, k % 2 == 1 ? 1 : 2);
  put_u32(m + kMsgSizeAt, size);
  put_u32(m + kMsgTransactionAt, k);
  put_name(m, kMsgRequestSourceAt, "REQNODE");
  put_name(m, kMsgRequestSource2At, "REQDLGP");
  put_name(m, kMsgReplyDestAt, "REPNODE");
  put_name(m, kMsgReplyDest2At, "REPDLGP");
  put_name(m, kMsgMessageSourceAt, "SRCNODE");
  put_name(m, kMsgMessageSource2At, "SRCDLGP");
  put_name(m, kMsgMessageDestAt, "DSTNODE");
  put_name(m, kMsgMessageDest2At, "DSTDLGP");

  unsigned char* body = m + kMessageHeaderSize;
  // Both values are kept to their low 32 bits; the message limit keeps them
  // exact for every file this tool writes.
  put_u32(body + 0, static_cast<uint32_t>(uint64_t{100} + k));  // list identifier
  put_u32(body + 4, static_cast<uint32_t>(uint64_t{25} * k));   // frequency, 1/10 s
  put_u32(body + 8, tags);
  // Tag status: a status block with facility 0 everywhere, error 0 in slot 0
  // and the rest free.
  unsigned char* tag_status = body + 12;
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    put_u32(tag_status + 40 + 4 * i, i == 0 ? 0u : 0xFFFFFFFFu);
  }
  unsigned char* stamps = body + kBodyFixedSize;
  unsigned char* values = stamps + 8 * tags;
  for (uint32_t i = 0; i < tags; ++i) {
    put_u32(stamps + 8 * i + 4, static_cast<uint32_t>(seconds));
    const double value = k + 0.5 * i;
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    put_u64(values + 8 * i, bits);
  }
}

// --------------------------------------------------------------------------
// The ring layout. All records have one size, so record i (0-based, ring order)
// lies at a fixed offset:
//   - unwrapped: 192 + i * L;
//   - wrapped: the oldest `top` records from top_start upward, ending `tail`
//     bytes (fewer than 304) before the end of the file, so a reader's walk
//     wraps to 192 after them; the others from 192 upward.

struct RingLayout {
  int64_t capacity;
  uint32_t record_length;  // message size + 12
  uint32_t records;
  uint32_t top;       // records in the upper part (0: not wrapped)
  int64_t top_start;  // offset of record 0 when wrapped
};

int64_t record_offset(const RingLayout& ring, uint32_t i) {
  const int64_t length = ring.record_length;
  if (i < ring.top) return ring.top_start + int64_t{i} * length;
  return int64_t{store_header_size} + int64_t{i - ring.top} * length;
}

// Where the record after the one at `offset` would start in a file of
// `capacity` bytes, by the reader's step rule. The header's current and
// forward offsets follow it, so that they always name a place where a reader
// looks for a record.
int64_t next_offset(int64_t offset, uint32_t record_length, int64_t capacity, int64_t newest) {
  return next_record_offset(offset, record_length - record_prefix_size, capacity, newest);
}

// Works out the layout for the options; false (after printing why) when the
// capacity cannot hold it.
bool plan_layout(const Options& o, RingLayout* ring) {
  const uint32_t length = message_size_for(o.tags) + record_prefix_size;
  const int64_t records_bytes = int64_t{o.messages} * length;
  const int64_t minimum = store_header_size + records_bytes + (o.wrap ? length : 0);
  int64_t capacity = o.capacity;
  if (capacity < 0) capacity = o.wrap ? minimum + kDefaultWrapTail : minimum;
  if (o.wrap && o.messages < 2) {
    usage_error("--wrap needs at least 2 messages (one on each side of the wrap)");
    return false;
  }
  if (capacity < minimum) {
    usage_error("--capacity " + std::to_string(capacity) + " cannot hold " +
                std::to_string(o.messages) + " records of " + std::to_string(length) + " bytes" +
                (o.wrap ? " and one spare record" : "") + " (need " + std::to_string(minimum) +
                ")");
    return false;
  }
  if (capacity > kMaxCapacity) {
    usage_error("file would be larger than " + std::to_string(kMaxCapacity) + " bytes");
    return false;
  }
  if (o.type != 2 && capacity > kMaxOldCapacity) {
    usage_error("header types 0 and 1 keep 32-bit offsets: capacity above 4294967295");
    return false;
  }
  ring->capacity = capacity;
  ring->record_length = length;
  ring->records = o.messages;
  ring->top = 0;
  ring->top_start = 0;
  if (o.wrap) {
    const int64_t free_bytes = capacity - store_header_size - records_bytes;
    int64_t tail = free_bytes - length;
    if (tail > int64_t{record_header_size} - 1) tail = record_header_size - 1;
    ring->top = (o.messages + 1) / 2;
    ring->top_start = capacity - tail - int64_t{ring->top} * length;
  }
  return true;
}

// --------------------------------------------------------------------------
// Writing.

std::string pairs_text(const VARNO_STATUS& status) {
  const std::string text = status_pairs_text(status);
  return text.empty() ? "(nothing recorded)" : text;
}

// A step succeeded when nothing was recorded: a read that meets the end of the
// file records (1, 0) first, which a test of error[0] alone would miss.
bool recorded(const VARNO_STATUS& status) {
  return status.error[0] != -1;
}

// The first recorded failure in the words of the user's system; empty when
// no pair has a description.
std::string reason_text(const VARNO_STATUS& status) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == VARNO_FACILITY_ERRNO) {
      return status.error[i] == 0 ? "the file ends early"
                                  : varno_s_file_error_text(status.error[i]);
    }
    if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotFound) {
      return varno_s_file_error_text(ENOENT);
    }
  }
  return "";
}

int io_failure(const char* what, const std::string& file, const VARNO_STATUS& status) {
  const std::string reason = reason_text(status);
  std::fprintf(stderr, "%s: %s %s failed: %s%s\n", kProgram, what, file.c_str(),
               reason.empty() ? "" : (reason + " ").c_str(), pairs_text(status).c_str());
  return kExitIo;
}

// Writes `length` bytes at `offset`; false with the pairs in `status`.
bool write_at(int32_t fd, int64_t offset, const void* data, uint32_t length, VARNO_STATUS* status) {
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (recorded(*status)) return false;
  varno_s_file_write(fd, data, length, status);
  return !recorded(*status);
}

bool read_at(int32_t fd, int64_t offset, void* data, uint32_t length, VARNO_STATUS* status) {
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (recorded(*status)) return false;
  varno_s_file_read(fd, data, length, status);
  return !recorded(*status);
}

CommonHeader header_for(const Options& o, const RingLayout& ring) {
  const uint32_t n = ring.records;
  RingExtent extent;
  extent.file_size = ring.capacity;
  extent.oldest_offset = record_offset(ring, 0);
  extent.newest_offset = record_offset(ring, n - 1);
  extent.newest_size = ring.record_length - record_prefix_size;
  extent.count = o.count;
  extent.forwarded = o.forwarded;
  extent.forward_offset = o.forwarded < n ? record_offset(ring, o.forwarded) : -1;
  extent.oldest_time = {0, static_cast<int32_t>(o.start_time)};
  extent.newest_time = {0, static_cast<int32_t>(o.start_time + int64_t{60} * (n - 1))};
  return ring_header(extent, o.type);
}

// Flips bits of the byte at `offset` with `mask`.
bool flip_byte(int32_t fd, int64_t offset, unsigned char mask, VARNO_STATUS* status) {
  unsigned char byte = 0;
  if (!read_at(fd, offset, &byte, 1, status)) return false;
  byte ^= mask;
  return write_at(fd, offset, &byte, 1, status);
}

// Byte of a header block that the damage flips: the message count, inside
// the checksummed block but clear of the signature and revision words that
// type detection relies on.
constexpr uint32_t kDamagedHeaderByte = 40;
// Byte of the message header that record-byte flips: the first letter of the
// request source; flipping its case keeps the listing readable.
constexpr uint32_t kDamagedRecordByte = 24;

bool apply_damage(int32_t fd, const Options& o, const RingLayout& ring, const Damage& d,
                  VARNO_STATUS* status) {
  const uint32_t block = kHeaderBlockSize[o.type];
  switch (d.kind) {
    case DamageKind::kPrimary:
      return flip_byte(fd, kDamagedHeaderByte, 0xFF, status);
    case DamageKind::kBackup:
      return flip_byte(fd, block + 4 + kDamagedHeaderByte, 0xFF, status);
    case DamageKind::kRecordByte:
      return flip_byte(fd,
                       record_offset(ring, d.record - 1) + record_prefix_size + kDamagedRecordByte,
                       0x20, status);
    case DamageKind::kRecordSize: {
      const int64_t offset = record_offset(ring, d.record - 1);
      unsigned char record[kMessageHeaderSize + 12];
      if (!read_at(fd, offset, record, sizeof record, status)) return false;
      // Far enough past the end that no rounding makes it fit.
      const int64_t wanted = d.size >= 0 ? d.size : ring.capacity - offset + 4096;
      const uint32_t size = wanted > int64_t{std::numeric_limits<uint32_t>::max()}
                                ? std::numeric_limits<uint32_t>::max()
                                : static_cast<uint32_t>(wanted);
      unsigned char* header = record + record_prefix_size;
      put_u32(header + kMsgSizeAt, size);
      uint32_t checksum = 0;
      store_file_checksum(header, kMessageHeaderSize, &checksum);
      put_u32(record + kHeaderChecksumAt, checksum);
      return write_at(fd, offset, record, sizeof record, status);
    }
  }
  return false;
}

int generate_store(const Options& o) {
  RingLayout ring{};
  if (!plan_layout(o, &ring)) return kExitUsage;
  for (const Damage& d : o.damage) {
    if (d.kind == DamageKind::kRecordSize && d.size < 0 &&
        ring.capacity - record_offset(ring, d.record - 1) + 4096 >
            int64_t{std::numeric_limits<uint32_t>::max()}) {
      return usage_error("record-size damage cannot run past the end of a file this large");
    }
  }

  VARNO_STATUS status;
  const int32_t fd =
      varno_s_file_open(o.file.c_str(), kOpenReadWrite | kOpenCreate | kOpenTruncate, &status);
  if (fd < 0) return io_failure("opening", o.file, status);
  const auto fail = [&](const char* what) {
    const int code = io_failure(what, o.file, status);
    VARNO_STATUS close_status;
    varno_s_file_close(fd, &close_status);
    return code;
  };

  // The last byte first: the file then has its full size, and what is never
  // written reads as zeros.
  const unsigned char zero = 0;
  if (!write_at(fd, ring.capacity - 1, &zero, 1, &status)) return fail("sizing");

  std::vector<unsigned char> message;
  for (uint32_t i = 0; i < ring.records; ++i) {
    const uint32_t k = i + 1;
    build_message(k, o.tags, static_cast<int32_t>(o.start_time + int64_t{60} * i), &message);
    write_message_record(fd, record_offset(ring, i), ring.record_length, message.data(), &status);
    if (recorded(status)) return fail("writing a record of");
  }

  const CommonHeader header = header_for(o, ring);
  if (o.type == 2) {
    write_fixed_header(fd, header, &status);
    if (recorded(status)) return fail("writing the header of");
  } else {
    unsigned char region[kFixedRegionSize] = {};
    const uint32_t size = build_header_region(header, o.type, region);
    if (!write_at(fd, 0, region, size, &status)) return fail("writing the header of");
  }

  for (const Damage& d : o.damage) {
    if (!apply_damage(fd, o, ring, d, &status)) return fail("damaging");
  }

  varno_s_file_close(fd, &status);
  if (recorded(status)) return io_failure("closing", o.file, status);
  return kExitOk;
}

// --------------------------------------------------------------------------
// The service simulation.

// One step on an open file. Returns kExitOk or the exit code after reporting.
int serve_step(int32_t fd, const std::string& file, uint32_t step, VARNO_STATUS* status) {
  CommonHeader h{};
  read_fixed_header(fd, &h, status);
  if (recorded(*status)) {
    std::fprintf(stderr,
                 "%s: reading the header of %s failed: %s (not a sound type-2 store file)\n",
                 kProgram, file.c_str(), pairs_text(*status).c_str());
    return kExitIo;
  }
  if (h.signature != kStoreSignature || h.revision != 2) {
    std::fprintf(stderr, "%s: %s is not a type-2 store file (signature %08X, revision %u)\n",
                 kProgram, file.c_str(), h.signature, h.revision);
    return kExitIo;
  }
  const int64_t size = varno_s_file_seek_end(fd, status);
  if (recorded(*status)) return io_failure("sizing", file, *status);

  // The next message continues the newest one: its transaction number plus 1,
  // its tag count, a minute later. A newest record that cannot be read (or an
  // empty ring) gives the count plus 1 and one tag.
  uint32_t k = h.message_count + 1;
  uint32_t tags = 1;
  if (h.message_count > 0) {
    unsigned char newest[kMessageHeaderSize] = {};
    read_message_header(fd, h.newest_offset, newest, status);
    const uint32_t newest_size = get_u32(newest + 4);
    if (!recorded(*status) && newest_size >= kFixedMessageSize &&
        (newest_size - kFixedMessageSize) % kTagBytes == 0 &&
        (newest_size - kFixedMessageSize) / kTagBytes <= kMaxTags) {
      k = get_u32(newest + 8) + 1;
      tags = (newest_size - kFixedMessageSize) / kTagBytes;
    }
  }
  const uint32_t length = message_size_for(tags) + record_prefix_size;

  // Room for the new record: up to the end of the file, or, once the current
  // offset has wrapped below the oldest record, up to that record, which must
  // never be overwritten.
  const int64_t at = h.current_offset;
  const bool wrapped = h.message_count > 0 && at <= h.oldest_offset;
  const int64_t limit = wrapped ? h.oldest_offset : size;
  // A current offset that is no record position (damaged) appends nothing.
  if (at >= int64_t{store_header_size} && at <= limit - int64_t{length}) {
    int64_t seconds = int64_t{h.newest_time.seconds} + 60;
    if (seconds > std::numeric_limits<int32_t>::max()) seconds = h.newest_time.seconds;
    std::vector<unsigned char> message;
    build_message(k, tags, static_cast<int32_t>(seconds), &message);
    write_message_record(fd, at, length, message.data(), status);
    if (recorded(*status)) return io_failure("appending to", file, *status);
    if (h.message_count == 0) {
      h.oldest_offset = at;
      h.oldest_time = {0, static_cast<int32_t>(seconds)};
    }
    h.message_count += 1;
    h.newest_offset = at;
    h.newest_time = {0, static_cast<int32_t>(seconds)};
    h.last_offset = at;
    h.last_message_size = length - record_prefix_size;
    h.current_offset = next_offset(at, length, size, at);
  }

  if (h.forwarded_count < h.message_count) {
    h.forwarded_count += 1;
    if (h.forwarded_count == h.message_count) {
      h.forward_offset = h.current_offset;
    } else {
      // Step over the record just forwarded; a record that cannot be read
      // leaves the pointer where it is.
      unsigned char header[kMessageHeaderSize] = {};
      read_message_header(fd, h.forward_offset, header, status);
      const uint32_t forwarded_size = get_u32(header + kMsgSizeAt);
      if (!recorded(*status) && forwarded_size >= kMessageHeaderSize) {
        h.forward_offset = next_offset(h.forward_offset, forwarded_size + record_prefix_size, size,
                                       h.newest_offset);
      }
    }
  }

  write_fixed_header(fd, h, status);
  if (recorded(*status)) return io_failure("writing the header of", file, *status);
  std::printf("step %u: messages=%u forwarded=%u\n", step, h.message_count, h.forwarded_count);
  std::fflush(stdout);
  return kExitOk;
}

int serve_store(const Options& o) {
  for (uint32_t step = 1; o.steps == 0 || step <= o.steps; ++step) {
    VARNO_STATUS status;
    // Opening takes the store file lock (waiting for it), so the header and
    // the records are never changed under a reader of the same lock.
    const int32_t fd = varno_s_file_open(o.file.c_str(), kOpenReadWrite, &status);
    if (fd < 0) return io_failure("opening", o.file, status);
    const int code = serve_step(fd, o.file, step, &status);
    VARNO_STATUS close_status;
    varno_s_file_close(fd, &close_status);
    if (code != kExitOk) return code;
    if (recorded(close_status)) return io_failure("closing", o.file, close_status);
    if (o.steps != 0 && step == o.steps) break;
    VARNO_SERVER_MSLEEP(static_cast<int32_t>(o.interval_ms));
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed != 0) return parsed;
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  return options.serve ? serve_store(options) : generate_store(options);
}
