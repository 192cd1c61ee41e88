// The command line of varno-storegen: one table names every option once, and
// the parse, the checks between options and the help text all come from it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "platform/platform.h"
#include "tools/storegen/storegen.h"

namespace storegen {

namespace {

enum class Kind {
  kHelp,     // the help text, then exit 0
  kVersion,  // the version, then exit 0
  kServe,    // the serving job instead of generating
  kFlag,     // no value
  kNumber,   // a decimal number within [low, high]
  kDamage,   // a damage kind
};

// Which job an option belongs to, for the checks between options.
enum class Group { kNone, kGenerate, kServe };

struct OptionEntry {
  const char* name;
  Kind kind;
  Group group;
  const char* value;  // the value's name in the help; null for none
  const char* help;   // lines after the first are indented under it
  int64_t low = 0;
  int64_t high = 0;
  const char* accepts = nullptr;  // what a number may be, in words
  void (*apply)(Options&, int64_t) = nullptr;
  const char* excludes = nullptr;  // an option that cannot come with this one
};

constexpr int64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

const OptionEntry kOptions[] = {
    {"--type", Kind::kNumber, Group::kGenerate, "N", "header type 0, 1 or 2 (default 2)", 0, 2,
     "a header type: 0, 1 or 2", [](Options& o, int64_t v) { o.type = static_cast<int32_t>(v); }},
    {"--messages", Kind::kNumber, Group::kGenerate, "N", "message records written (default 5)", 1,
     kMaxMessages, "a number of messages from 1 to 50000000",
     [](Options& o, int64_t v) { o.messages = static_cast<uint32_t>(v); }},
    {"--tags", Kind::kNumber, Group::kGenerate, "N",
     "tags per message (default 1); message size = 384 + 16*N", 0, kMaxTags,
     "a number of tags from 0 to 65535",
     [](Options& o, int64_t v) { o.tags = static_cast<uint32_t>(v); }},
    {"--capacity", Kind::kNumber, Group::kGenerate, "BYTES",
     "file size = ring capacity (default: 192 + the records,\n"
     "no free space; with --wrap one more record + 100 bytes)",
     0, kMaxCapacity, "a number of bytes up to 1 TiB (1099511627776)",
     [](Options& o, int64_t v) { o.capacity = v; }},
    {"--wrap", Kind::kFlag, Group::kGenerate, nullptr, "lay the ring out wrapped (below)", 0, 0,
     nullptr, [](Options& o, int64_t) { o.wrap = true; }},
    {"--count", Kind::kNumber, Group::kGenerate, "N",
     "the header's number of messages (default: --messages)", 0, kU32Max,
     "a number of messages from 0 to 4294967295",
     [](Options& o, int64_t v) {
       o.count = static_cast<uint32_t>(v);
       o.count_given = true;
     }},
    {"--forwarded", Kind::kNumber, Group::kGenerate, "N",
     "the header's messages forwarded (default 0)", 0, kU32Max,
     "a number of messages from 0 to 4294967295",
     [](Options& o, int64_t v) { o.forwarded = static_cast<uint32_t>(v); }},
    {"--start-time", Kind::kNumber, Group::kGenerate, "S",
     "seconds of message 1's time stamps (default 1700000000);\n"
     "message k has S + 60*(k-1)",
     kI32Min, kI32Max, "seconds since 1970 that fit a signed 32-bit number",
     [](Options& o, int64_t v) { o.start_time = v; }},
    {"--damage", Kind::kDamage, Group::kGenerate, "KIND",
     "primary | backup | both | record-byte:K | record-size:K[:SIZE]\n"
     "(K = 1-based record in ring order, oldest first;\n"
     "may be given several times)"},
    {"--serve", Kind::kServe, Group::kNone, nullptr,
     "simulate the service on an existing type-2 FILE (below)"},
    {"--interval", Kind::kNumber, Group::kServe, "MS", "serve: pause between steps (default 500)",
     0, 3600000, "a number of milliseconds from 0 to 3600000 (one hour)",
     [](Options& o, int64_t v) { o.interval_ms = static_cast<uint32_t>(v); }},
    {"--steps", Kind::kNumber, Group::kServe, "N",
     "serve: number of steps, then exit (default 0 = until killed)", 0, kI32Max,
     "a number of steps from 0 to 2147483647",
     [](Options& o, int64_t v) { o.steps = static_cast<uint32_t>(v); }},
    {"--client-down", Kind::kFlag, Group::kServe, nullptr,
     "serve: the client node is down: append, never forward", 0, 0, nullptr,
     [](Options& o, int64_t) { o.forward_per_step = 0; }, "--catch-up"},
    {"--catch-up", Kind::kNumber, Group::kServe, "N",
     "serve: the client is back: forward up to N messages a step", 1, kMaxMessages,
     "a number of messages from 1 to 50000000",
     [](Options& o, int64_t v) { o.forward_per_step = static_cast<uint32_t>(v); }, "--client-down"},
    {"--version", Kind::kVersion, Group::kNone, nullptr, "the program's name and version"},
    {"--help", Kind::kHelp, Group::kNone, nullptr, "this text (also -h; /? on Windows)"},
};

constexpr char kUsageHead[] =
    "usage: varno-storegen FILE [options]\n"
    "       varno-storegen FILE --serve [--interval MS] [--steps N]\n"
    "                      [--client-down | --catch-up N]\n"
    "Writes a store file with deterministic content, or simulates the\n"
    "store-and-forward service on one (--serve).\n"
    "\n";

constexpr char kUsageBody[] =
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
    "message (the newest one's transaction number + 1, its tag count, a minute\n"
    "later) at the current offset, forwards one message (none with --client-down,\n"
    "up to N with --catch-up N) while fewer are forwarded than stored, rewrites\n"
    "the header, closes the file and prints \"step N: messages=M forwarded=F\",\n"
    "with \" refused=R\" once messages have been refused.\n"
    "The ring wraps: when the end of the file is reached the next record goes at\n"
    "offset 192. A record that would leave 304 bytes or more behind it, where a\n"
    "reader looks for the next record, but too few to hold one, is stretched to\n"
    "the end of the file. When the ring is full this simulator drops the oldest\n"
    "record if it has been forwarded (and the next, as long as room is needed);\n"
    "otherwise it refuses the new message and counts the refusal. (This is the\n"
    "simulator's own rule; a service may handle a full ring differently.)\n"
    "\n"
    "Exit status: 0 done, 1 file error, 2 bad arguments.\n";

// Column of the help texts in the option list.
constexpr size_t kHelpColumn = 21;

const OptionEntry* find_option(const std::string& name) {
  for (const OptionEntry& entry : kOptions) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// Strict decimal: optional '-' only when `low` is negative, digits only, no
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

// record-byte:K or record-size:K[:SIZE].
bool parse_record_damage(const char* text, Damage* damage) {
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
  if (second != nullptr && !parse_number(second + 1, 0, kU32Max, &size)) return false;
  if (kind == "record-byte") {
    *damage = {DamageKind::kRecordByte, static_cast<uint32_t>(k)};
  } else if (kind == "record-size") {
    *damage = {DamageKind::kRecordSize, static_cast<uint32_t>(k), size};
  } else {
    return false;
  }
  return true;
}

// Adds the damage `text` names to `options`; false when it names none.
bool add_damage(const char* text, Options* options) {
  const std::string kind = text;
  if (kind == "primary" || kind == "both") options->damage.push_back({DamageKind::kPrimary, 0});
  if (kind == "backup" || kind == "both") options->damage.push_back({DamageKind::kBackup, 0});
  if (kind == "primary" || kind == "backup" || kind == "both") return true;
  Damage d{};
  if (!parse_record_damage(text, &d)) return false;
  options->damage.push_back(d);
  return true;
}

// The help or version request anywhere on the command line, which is
// answered before anything else is looked at; kGenerate when there is none.
Job info_request(int argc, char** argv) {
  Job job = Job::kGenerate;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || platform::is_help_switch(argv[i])) return Job::kHelp;
    const OptionEntry* entry = find_option(arg);
    if (entry != nullptr && entry->kind == Kind::kHelp) return Job::kHelp;
    if (entry != nullptr && entry->kind == Kind::kVersion) job = Job::kVersion;
  }
  return job;
}

// usage_error for the parse's steps, which say only whether they went on.
bool complain(const std::string& message) {
  usage_error(message);
  return false;
}

// One pass over the arguments, then the checks between them.
class CommandLine {
 public:
  explicit CommandLine(Options* options) : o_(*options) {}

  // Takes argv[*i] (and its value, advancing *i); false after complaining.
  bool take(int argc, char** argv, int* i) {
    const std::string arg = argv[*i];
    if (arg.size() < 2 || arg[0] != '-') return take_file(arg);
    const OptionEntry* entry = find_option(arg);
    if (entry == nullptr) return complain("unknown option " + arg);
    if (!note_given(*entry)) return false;
    if (entry->kind == Kind::kServe) {
      o_.job = Job::kServe;
      return true;
    }
    if (entry->kind == Kind::kFlag) {
      entry->apply(o_, 1);
      return true;
    }
    if (*i + 1 >= argc) return complain("option " + arg + " needs a value");
    return take_value(*entry, argv[++*i]);
  }

  // The checks that need the whole command line. Returns 0 or kExitUsage.
  int finish() {
    if (o_.file.empty()) return usage_error("no FILE given");
    if (o_.job == Job::kServe && generation_option_ != nullptr) {
      return usage_error(std::string("--serve works on an existing file; ") + generation_option_ +
                         " is for writing a new one");
    }
    if (o_.job != Job::kServe && serve_option_ != nullptr) {
      return usage_error(std::string(serve_option_) + " needs --serve");
    }
    if (!o_.count_given) o_.count = o_.messages;
    for (const Damage& d : o_.damage) {
      if ((d.kind == DamageKind::kRecordByte || d.kind == DamageKind::kRecordSize) &&
          d.record > o_.messages) {
        return usage_error("--damage names record " + std::to_string(d.record) + " of only " +
                           std::to_string(o_.messages));
      }
    }
    // The last message's time stamp must still fit the signed 32-bit seconds.
    const int64_t last_time = o_.start_time + int64_t{60} * (o_.messages - 1);
    if (last_time > kI32Max) {
      return usage_error("--start-time too late for " + std::to_string(o_.messages) +
                         " messages a minute apart");
    }
    return kExitOk;
  }

 private:
  bool take_file(const std::string& arg) {
    if (!o_.file.empty()) return complain("more than one FILE: " + arg);
    o_.file = arg;
    return true;
  }

  bool take_value(const OptionEntry& entry, const char* value) {
    if (entry.kind == Kind::kDamage) {
      if (add_damage(value, &o_)) return true;
      return complain(std::string("bad --damage kind '") + value +
                      "' (primary, backup, both, record-byte:K or record-size:K[:SIZE])");
    }
    int64_t v = 0;
    if (!parse_number(value, entry.low, entry.high, &v)) {
      return complain(std::string(entry.name) + " takes " + entry.accepts + ", not '" + value +
                      "'");
    }
    entry.apply(o_, v);
    return true;
  }

  // Notes which job `entry` belongs to; false after complaining when it
  // cannot come with an option given before.
  bool note_given(const OptionEntry& entry) {
    if (entry.group == Group::kGenerate) generation_option_ = entry.name;
    if (entry.group == Group::kServe) serve_option_ = entry.name;
    if (entry.excludes != nullptr && given(entry.excludes)) {
      return complain(std::string(entry.name) + " and " + entry.excludes + " exclude each other");
    }
    given_ += std::string(entry.name) + " ";
    return true;
  }
  bool given(const char* name) const {
    return given_.find(std::string(name) + " ") != std::string::npos;
  }

  Options& o_;
  const char* generation_option_ = nullptr;  // the last one given
  const char* serve_option_ = nullptr;
  std::string given_;  // the names given, each followed by a blank
};

}  // namespace

int usage_error(const std::string& message) {
  std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, message.c_str());
  return kExitUsage;
}

int parse_options(int argc, char** argv, Options* options) {
  options->job = info_request(argc, argv);
  if (options->job != Job::kGenerate) return kExitOk;
  CommandLine line(options);
  for (int i = 1; i < argc; ++i) {
    if (!line.take(argc, argv, &i)) return kExitUsage;
  }
  return line.finish();
}

std::string usage_text() {
  std::string text = kUsageHead;
  for (const OptionEntry& entry : kOptions) {
    std::string left = std::string("  ") + entry.name;
    if (entry.value != nullptr) left += std::string(" ") + entry.value;
    left.resize(std::max(left.size() + 1, kHelpColumn), ' ');
    text += left;
    for (const char* p = entry.help; *p != '\0'; ++p) {
      text += *p;
      if (*p == '\n') text += std::string(kHelpColumn, ' ');
    }
    text += '\n';
  }
  return text + kUsageBody;
}

}  // namespace storegen
