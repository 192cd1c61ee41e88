// varno-inspect: the command line. One table names every command with its
// help, its arguments and the function that runs it; CLI11 parses, and the
// outcome becomes the exit status: 0 clean, 1 problems found, 2 a command line
// it cannot use or a file it cannot read.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "tools/inspect/backlog.h"
#include "tools/inspect/follow.h"
#include "tools/inspect/list.h"
#include "tools/inspect/output_file.h"
#include "tools/inspect/problems.h"
#include "tools/inspect/progress.h"
#include "tools/inspect/render.h"
#include "tools/inspect/rewind.h"
#include "tools/inspect/rewind_record.h"
#include "tools/inspect/salvage.h"
#include "tools/inspect/store.h"
#include "tools/inspect/verify.h"

namespace {

using namespace inspect;

constexpr char kProgram[] = "varno-inspect";
constexpr int kExitClean = 0;
constexpr int kExitProblems = 1;
constexpr int kExitFailure = 2;
constexpr int kExitInterrupted = 130;  // as a shell reports a program Ctrl+C ended

// What each command does with the store file lock and what it writes, said
// in its help; the file layer's open waits for the lock as the service does.
constexpr char kReadsUnderLock[] =
    "Lock: FILE is opened read-only through the file layer, which waits for the store\n"
    "file lock like every program of the service; held only while it reads.\n"
    "Writes: nothing.\n";
constexpr char kProgramLockNote[] =
    "The store file lock: header, list, verify and salvage read FILE under it, opened\n"
    "read-only; rewind --execute and --undo open FILE for writing under it; backlog\n"
    "reads without it (only with --lock-timeout does it wait for it). Only rewind\n"
    "--execute and --undo write to a store file; salvage creates OUT, backlog --output\n"
    "replaces its file. Each command's help says what it takes and writes.\n";
constexpr char kExitNote[] =
    "Exit status: 0 clean; 1 problems found; 2 a command line it cannot use, or a file it\n"
    "cannot read (one line on standard error says which file and why).\n";

// Everything a command line can give; each command takes what it needs.
struct Options {
  bool json = false;
  bool prometheus = false;
  std::string file;
  std::vector<std::string> files;
  std::vector<std::string> dirs;
  std::string output;
  std::string out;
  std::string unplaced;
  int64_t from = 1;
  int64_t count = INT64_MAX;
  ListFilter filter;
  std::string since_text;
  std::string until_text;
  int64_t tail = -1;
  double lock_timeout = -1;  // seconds; -1: wait as long as it takes
  bool follow = false;
  double interval = 1;
  bool to_oldest = false;
  int64_t to_record = 0;
  int64_t last = 0;
  bool execute = false;
  bool undo = false;
};

// One line on standard error naming the file and the reason.
int fail(const std::string& file, const std::string& what) {
  std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), what.c_str());
  return kExitFailure;
}

// How long a command waits for a store file lock, for the messages.
double g_lock_timeout = -1;

int fail(const std::string& file, const Failure& failure) {
  if (status_holds(failure.status, VARNO_FACILITY_STORE, kErrLockTimeout)) {
    char waited[32];
    std::snprintf(waited, sizeof waited, "%g", g_lock_timeout);
    return fail(file, "the store file lock " + varno_s_file_lock_name(file.c_str()) +
                          " is held by another program; gave up after " + waited + " s");
  }
  return fail(file,
              std::string(step_words(failure.step)) + " failed: " + failure_reason(failure.status));
}

bool write_out(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

// Writes a complete document; a failed write is a failure of its own.
int emit(const std::string& text, int status) {
  if (!write_out(text) || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: writing to standard output failed\n", kProgram);
    return kExitFailure;
  }
  return status;
}

FILE* progress_stream() {
  return platform::stderr_is_terminal() ? stderr : nullptr;
}

// The line on the terminal while a command waits for a store file lock.
void lock_notice(void*, const char* name, bool waiting) {
  static size_t shown = 0;
  if (waiting) {
    const std::string text = std::string(kProgram) + ": waiting for the store file lock " + name +
                             ", which another program holds...";
    shown = text.size();
    std::fprintf(stderr, "\r%s", text.c_str());
  } else {
    std::fprintf(stderr, "\r%s\r", std::string(shown, ' ').c_str());
  }
  std::fflush(stderr);
}

// Every open from here on waits for its lock as the command line says.
void set_lock_wait(const Options& o) {
  platform::LockWait wait;
  g_lock_timeout = o.lock_timeout;
  if (o.lock_timeout >= 0) wait.timeout_ms = static_cast<int64_t>(o.lock_timeout * 1000);
  if (platform::stderr_is_terminal()) wait.notice = lock_notice;
  varno_s_file_set_lock_wait(wait);
}

// Each command that works on one store file gets it open as its table entry
// needs, and closes it as soon as it has read what it needs, so that the
// lock is never held while it writes its output.

int run_header(const Options& o, Store* store) {
  const Store& s = *store;
  close_store(store);
  const bool clean = s.check.stage == HeaderCheck::kChecked && s.check.block_status == kBlocksOk;
  return emit(o.json ? header_json(s) : header_text(s), clean ? kExitClean : kExitProblems);
}

int run_backlog(const Options& o, Store*) {
  // Ctrl+C or SIGTERM ends the run between two files, and never leaves a
  // half-written --output behind.
  platform::watch_interrupts();
  int status = kExitClean;
  // Without --lock-timeout no path waits for a lock.
  BacklogRun run(static_cast<int64_t>(std::time(nullptr)), o.lock_timeout >= 0);
  for (const std::string& path : o.files) run.add_file(path);
  for (const std::string& dir : o.dirs) {
    std::string error;
    if (!run.add_directory(dir, &error)) status = fail(dir, error);
  }
  if (!run.read_all()) return fail(o.output.empty() ? "backlog" : o.output, "interrupted");
  for (const BacklogEntry& e : run.entries()) {
    if (!e.ok) status = fail(e.path, e.error);
  }
  // The Prometheus text of many files goes out in pieces as it is made.
  const auto produce = [&](const TextSink& sink) {
    if (o.prometheus) return backlog_prometheus(run, sink);
    return sink(o.json ? backlog_json(run) : backlog_text(run));
  };
  if (!o.output.empty()) {
    std::string error;
    if (!write_replacing(o.output, produce, &error)) return fail(o.output, error);
    return status;
  }
  // The exposition format ends its lines in a line feed alone, on Windows too.
  if (o.prometheus) platform::binary_stream(stdout);
  if (!produce(write_out) || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: writing to standard output failed\n", kProgram);
    return kExitFailure;
  }
  return status;
}

int run_verify(const Options& o, Store* store) {
  const Store& s = *store;
  Failure f;
  VerifyReport report;
  bool ok;
  {
    Progress progress("verify", s.file_size, progress_stream());
    ok = verify_store(s, &progress, &report, &f);
  }
  close_store(store);
  if (!ok) return fail(o.file, f);
  return emit(o.json ? verify_json(s, report) : verify_text(s, report),
              report.problems.empty() ? kExitClean : kExitProblems);
}

// The unplaced records as JSON Lines, one object per record.
bool write_unplaced(const std::string& path, const SalvageReport& report) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const std::string text = unplaced_json_lines(report);
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return std::fclose(out) == 0 && written;
}

int run_salvage(const Options& o, Store* store) {
  const Store& s = *store;
  Failure f;
  SalvageReport report;
  SalvageRefusal refusal;
  bool ok;
  platform::watch_interrupts();
  {
    Progress progress("salvage", s.file_size, progress_stream());
    ok = salvage_store(s, o.out, &progress, &report, &refusal, &f);
  }
  close_store(store);
  switch (refusal) {
    case SalvageRefusal::kSameFile:
      return fail(o.out, "refused: it is the store file " + o.file + " itself");
    case SalvageRefusal::kOutExists:
      return fail(o.out, "refused: it exists");
    case SalvageRefusal::kNoRecords:
      return fail(o.file, "refused: " + std::to_string(s.file_size) +
                              " bytes hold no record (a record needs at least 496)");
    case SalvageRefusal::kInterrupted:
      fail(o.out, "interrupted: not written, and no partial file left");
      return kExitInterrupted;
    case SalvageRefusal::kNone:
      break;
  }
  if (!ok) return fail(step_on_output(f.step) ? o.out : o.file, f);
  if (!o.unplaced.empty() && !write_unplaced(o.unplaced, report)) {
    fail(o.unplaced, "writing the unplaced records failed");
    return kExitFailure;
  }
  const bool lost =
      !report.header_usable || report.lost_bytes > 0 || report.lost_records > 0 ||
      !report.unplaced.empty() || report.copies > 0 ||
      (report.forward_note != ForwardNote::kAgree && report.forward_note != ForwardNote::kNoRing &&
       report.forward_note != ForwardNote::kFullRing);
  return emit(o.json ? salvage_json(s, o.out, report) : salvage_text(s, o.out, report),
              lost ? kExitProblems : kExitClean);
}

ListOptions list_options(const Options& o) {
  ListOptions options;
  options.json = o.json;
  options.from = o.from;
  options.count = o.count;
  options.filter = o.filter;
  options.filter.has_since = parse_time_bound(o.since_text, &options.filter.since);
  options.filter.has_until = parse_time_bound(o.until_text, &options.filter.until);
  options.tail = o.tail;
  return options;
}

int run_follow(const Options& o, Store*) {
  platform::watch_interrupts();
  Failure f;
  bool write_failed = false;
  const ListSink sink = [&](std::string_view text) {
    // Each record whole and at once, so that a pipe reader sees it live.
    write_failed = write_failed || !write_out(text) || std::fflush(stdout) != 0;
    return !write_failed;
  };
  const FollowOptions options{list_options(o), static_cast<int32_t>(o.interval * 1000)};
  if (!follow_store(o.file, options, sink, stderr, &f)) return fail(o.file, f);
  if (write_failed) {
    std::fprintf(stderr, "%s: writing to standard output failed\n", kProgram);
    return kExitFailure;
  }
  return kExitClean;
}

// Keeps the header region a rewind replaces in a new file beside the debug
// log, and the entry that goes with it.
class SavingKeeper : public RegionKeeper {
 public:
  explicit SavingKeeper(const Store& store) : store_(store) {}

  bool keep(const std::vector<unsigned char>& region, const RewindPlan& plan) override {
    const std::string dir = record_directory();
    if (dir.empty()) {
      error =
          "the folder of the debug log " + platform::environment_directory() + " cannot be made";
      return false;
    }
    const CommonHeader& h = store_.header;
    RewindEntry& e = saved.entry;
    e = {absolute_path(store_.path),
         utc_now(),
         platform::current_user(),
         h.oldest_offset,
         h.newest_offset,
         h.message_count,
         plan.old_forward_offset,
         plan.new_forward_offset,
         plan.old_forwarded,
         plan.new_forwarded};
    saved.region = region;
    return save_region(dir, &saved, &error);
  }

  SavedRegion saved;
  std::string error;

 private:
  const Store& store_;
};

// The line of a rewind or an undo in the debug log and the system's log. A
// log that does not take it is said, and the work stands.
void log_record(const std::string& file, const RewindEntry& e, bool undo,
                const std::string& saved) {
  const std::string text = rewind_log_line(e, undo, saved);
  LogWntError(kProgram, text.c_str(), 0);
  if (!platform::system_log(kProgram, text).ok()) {
    std::fprintf(stderr, "%s: %s: the system's log did not take the record of this %s\n", kProgram,
                 file.c_str(), undo ? "undo" : "rewind");
  }
}

int run_undo(const Options& o, Store* store) {
  const Store& s = *store;
  Failure f;
  const std::string dir = record_directory();
  SavedRegion saved;
  bool found = false;
  std::string error;
  if (dir.empty() || !find_last_saved(dir, o.file, &saved, &found, &error)) {
    close_store(store);
    return fail(o.file, dir.empty() ? "the folder of the debug log cannot be made" : error);
  }
  if (!found) {
    close_store(store);
    return fail(o.file, "refused: no header region of this file saved by a rewind in " + dir);
  }
  UndoResult result;
  const bool ok = undo_rewind(s, saved, &result, &f);
  close_store(store);
  std::string moved;
  switch (result.refusal) {
    case UndoResult::kHeaderUnusable:
      fail(o.file, "refused: the header cannot be used: " + header_verdict(s));
      return kExitProblems;
    case UndoResult::kMoved:
      for (const std::string& m : result.moved) moved += (moved.empty() ? "" : ", ") + m;
      fail(o.file, "refused: the ring moved since the rewind of " + saved.entry.time + " (" +
                       moved + "); " + saved.path + " not put back, nothing written");
      return kExitProblems;
    case UndoResult::kRegionUnusable:
      fail(o.file, "refused: " + saved.path +
                       " holds no usable header of this file's layout, nothing written");
      return kExitProblems;
    case UndoResult::kNone:
      break;
  }
  if (!ok) return fail(o.file, f);
  RewindEntry undone = saved.entry;
  std::swap(undone.forward_from, undone.forward_to);
  std::swap(undone.forwarded_from, undone.forwarded_to);
  undone.time = utc_now();
  undone.user = platform::current_user();
  log_record(o.file, undone, true, saved.path);
  return emit(o.json ? undo_json(s, saved, result) : undo_text(s, saved, result), kExitClean);
}

// The exit status of a refused rewind, its reason said; -1 when it was not
// refused.
int rewind_refused(const Options& o, const Store& s, const RewindRequest& request,
                   const RewindPlan& plan, const RewindRefusal& refusal,
                   const std::string& keeper_error) {
  const std::string counted = "; the ring holds " + std::to_string(plan.messages_found) +
                              " (the header counts " + std::to_string(s.header.message_count) + ")";
  const auto contradiction = [&](const std::string& what) {
    fail(o.file, "refused: " + what + "; the header contradicts the records, nothing written");
    return kExitProblems;
  };
  switch (refusal.kind) {
    case RewindRefusal::kHeaderUnusable:
      fail(o.file, "refused: the header cannot be used: " + header_verdict(s));
      return kExitProblems;
    case RewindRefusal::kOutOfRange:
      return fail(o.file, "refused: " +
                              (request.target == RewindRequest::kLast
                                   ? "there are no last " + std::to_string(request.n) + " records"
                                   : "there is no record " + std::to_string(request.n)) +
                              counted);
    case RewindRefusal::kNotBack:
      return fail(o.file, "refused: record " + std::to_string(plan.record) +
                              " is not before the forward pointer (" +
                              std::to_string(s.header.forwarded_count) +
                              " forwarded): a rewind only moves it back, never past messages "
                              "not forwarded yet");
    case RewindRefusal::kUnreachable:
      fail(o.file, "refused: record " + std::to_string(plan.record) +
                       " is damaged, or lies behind damage that hides its number: the ring is "
                       "damaged from offset " +
                       std::to_string(refusal.at) +
                       (refusal.number != 0 ? " (record " + std::to_string(refusal.number) + ")"
                                            : std::string()));
      return kExitProblems;
    case RewindRefusal::kForwardNotRecord:
      return contradiction("the forward offset " + std::to_string(s.header.forward_offset) +
                           " is no record of the ring, nor the place behind its newest record");
    case RewindRefusal::kForwardCountDisagrees:
      return contradiction("the forward offset " + std::to_string(s.header.forward_offset) +
                           " lies behind " + std::to_string(refusal.before) +
                           " records of the ring, but the header counts " +
                           std::to_string(s.header.forwarded_count) + " forwarded");
    case RewindRefusal::kOldestNotFirst:
      return contradiction("the oldest offset " + std::to_string(s.header.oldest_offset) +
                           " is not the ring's first record, which the records show at " +
                           std::to_string(refusal.first));
    case RewindRefusal::kNotKept:
      return fail(o.file, "refused: the header region could not be saved first (" + keeper_error +
                              "), nothing written");
    case RewindRefusal::kNone:
      break;
  }
  return -1;
}

int run_rewind(const Options& o, Store* store) {
  if (o.undo) return run_undo(o, store);
  RewindRequest request;
  request.execute = o.execute;
  if (o.to_record > 0) {
    request.target = RewindRequest::kRecord;
    request.n = o.to_record;
  } else if (o.last > 0) {
    request.target = RewindRequest::kLast;
    request.n = o.last;
  }
  const Store& s = *store;
  Failure f;
  SavingKeeper keeper(s);
  request.keeper = &keeper;
  RewindPlan plan;
  RewindRefusal refusal;
  const bool ok = rewind_store(s, request, &plan, &refusal, &f);
  close_store(store);
  const int refused = rewind_refused(o, s, request, plan, refusal, keeper.error);
  if (refused >= 0) return refused;
  if (plan.executed) {
    // Written, even if the read-back below failed: it goes on record.
    plan.saved_region = keeper.saved.path;
    log_record(o.file, keeper.saved.entry, false, keeper.saved.path);
  }
  if (!ok) return fail(o.file, f);
  return emit(o.json ? rewind_json(s, plan) : rewind_text(s, plan), kExitClean);
}

int run_list(const Options& o, Store* store) {
  if (o.follow) return run_follow(o, store);
  const Store& s = *store;
  Failure f;
  if (!s.header_usable()) {
    close_store(store);
    return fail(o.file, "the header cannot be used: " + header_verdict(s));
  }
  ListResult result;
  bool ok;
  {
    Progress progress("list", s.file_size, progress_stream());
    ok = list_store(s, list_options(o), &progress, write_out, &result, &f);
  }
  close_store(store);
  if (result.end == ListResult::kWriteFailed || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: writing to standard output failed\n", kProgram);
    return kExitFailure;
  }
  if (!ok) return fail(o.file, f);
  if (result.end == ListResult::kStopped) {
    fail(o.file, "listing stopped at record " + std::to_string(result.walked + 1) + ", offset " +
                     std::to_string(result.stopped_at.offset) + ": " +
                     defect_name(result.stopped_at.defect));
    return kExitProblems;
  }
  if (result.end == ListResult::kEndedEarly) {
    fail(o.file, "the file ends after record " + std::to_string(result.walked) +
                     "; the header counts " + std::to_string(s.header.message_count));
    return kExitProblems;
  }
  if (result.past_newest > 0) {
    fail(o.file, "listed " + std::to_string(result.past_newest) +
                     " records past the newest record the header names (offset " +
                     std::to_string(s.header.newest_offset) +
                     "): the header counts more than its ring holds");
    return kExitProblems;
  }
  return kExitClean;
}

// Number checks that say in words what they take; CLI11's own range check
// would print its bounds with hundreds of digits, and call a word that is no
// number "not in range".
bool whole_number(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && at == end;
}

CLI::Validator at_least(int64_t low) {
  return CLI::Validator(
      [low](std::string& text) -> std::string {
        int64_t value = 0;
        if (!whole_number(text, &value) || value < low) {
          return "expects a whole number of at least " + std::to_string(low) + ", not '" + text +
                 "'";
        }
        return {};
      },
      "N>=" + std::to_string(low));
}

// Seconds, as a decimal number, from `low` to `high`; both named as given.
CLI::Validator seconds_between(double low, double high, const std::string& words) {
  return CLI::Validator(
      [low, high, words](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(value >= low && value <= high)) {
          return "expects a number of seconds from " + words + ", not '" + text + "'";
        }
        return {};
      },
      "");
}

const CLI::Validator kRecordNumber = at_least(1);
const CLI::Validator kTailCount = at_least(0);
const CLI::Validator kLockTimeout = seconds_between(0, 3600, "0 to 3600");
const CLI::Validator kInterval = seconds_between(0.001, 3600, "0.001 to 3600");

// A time bound of --since or --until.
const CLI::Validator kTimeBound(
    [](std::string& text) -> std::string {
      int64_t seconds = 0;
      if (!parse_time_bound(text, &seconds)) {
        return "expects a UTC time as YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS][Z] or seconds since 1970 "
               "(@N or N), not '" +
               text + "'";
      }
      return {};
    },
    "");

void add_lock_timeout(CLI::App* c, Options* o) {
  c->add_option("--lock-timeout", o->lock_timeout,
                "give up after SECONDS (0 to 3600) waiting for the store file lock (exit status 2)")
      ->check(kLockTimeout)
      ->type_name("SECONDS");
}

// What a command needs of FILE before it runs: main opens it so, and hands
// the command the open store.
enum class Needs : int8_t {
  kNoStore,    // it reads its files itself (without the lock, or look by look)
  kLockRead,   // FILE open read-only, under the store file lock
  kLockWrite,  // FILE open for reading and writing, under the store file lock
};

struct Command {
  const char* name;
  const char* summary;
  const char* footer;  // before the lock note
  const char* lock;    // the lock it takes and what it writes
  void (*define)(CLI::App* command, Options* o);
  Needs (*needs)(const Options& o);
  int (*run)(const Options& o, Store* store);  // store: null for kNoStore
};

Needs lock_read(const Options&) {
  return Needs::kLockRead;
}

const Command kCommands[] = {
    {"header", "The header region: type, both copies, every field.",
     "Exit status 1 when a header copy is bad or no layout matches.\n", kReadsUnderLock,
     [](CLI::App* c, Options* o) {
       c->add_option("FILE", o->file, "store file")->required();
       c->add_flag("--json", o->json, "one JSON document");
       add_lock_timeout(c, o);
     },
     lock_read, run_header},
    {"backlog", "Messages, forwarded and pending, per file, without the store file lock.",
     "The header region (and, while messages are pending, the record at the forward\n"
     "offset) is read without the store file lock, so monitoring never holds up the\n"
     "service and never waits behind an operator: each copy is judged by its checksum\n"
     "and signature, and a read caught half-way through a write is read again a few\n"
     "milliseconds later, five reads at most. A file whose header still cannot be used\n"
     "is reported down with its reason; only with --lock-timeout is it read once more\n"
     "under the store file lock, waiting at most that long.\n"
     "AGE is counted from the oldest time stamp, WAITING from that of the oldest message\n"
     "not yet forwarded, to now, in seconds; FREE is the room left in the ring.\n"
     "Exit status 2 when a file or its header cannot be read, a folder cannot be listed\n"
     "or --output cannot be written (FILE then keeps its last content).\n",
     "Lock: none; the files are read without the store file lock, unless --lock-timeout\n"
     "is given: then a header that cannot be used is read once more under it.\n"
     "Writes: only --output's file, replaced whole.\n",
     [](CLI::App* c, Options* o) {
       c->add_option("FILE", o->files, "store files");
       c->add_option("--dir", o->dirs,
                     "every store file of folder DIR named as the service names them, "
                     "VARNO_STORE_<node>.<DLGP> (may be given several times)")
           ->allow_extra_args(false)
           ->type_name("DIR");
       CLI::Option* json = c->add_flag("--json", o->json, "one JSON document");
       c->add_flag("--prometheus", o->prometheus,
                   "Prometheus text exposition (metrics varno_store_* labelled file, node and "
                   "dlgp; varno_inspect_*)")
           ->excludes(json);
       c->add_option("--output", o->output,
                     "write to FILE, replaced in one step once complete (a temporary file "
                     "beside it, synced, then renamed), instead of standard output")
           ->type_name("FILE");
       c->add_option("--lock-timeout", o->lock_timeout,
                     "read a header that cannot be used without the lock once more under it, "
                     "waiting at most SECONDS (0 to 3600)")
           ->check(kLockTimeout)
           ->type_name("SECONDS");
       c->callback([o] {
         if (o->files.empty() && o->dirs.empty()) {
           throw CLI::RequiredError("FILE or --dir");
         }
       });
     },
     [](const Options&) { return Needs::kNoStore; }, run_backlog},
    {"list", "The records in ring order, as menu 2 walks them.",
     "The walk starts at the oldest record and steps by message size + 12, going on\n"
     "at offset 192 when fewer than 304 bytes remain and the newest record lies\n"
     "behind; it ends at the header's count or the end of the file. A record it\n"
     "cannot step over, or the end of the file before the count, ends it early: exit\n"
     "status 1.\n"
     "With --follow it then keeps watching: every interval it opens the file under its\n"
     "lock, lists the records stored since the last one shown, and closes the file again,\n"
     "so it never holds the lock while it waits. What it cannot simply go on from (a\n"
     "record overwritten, the file replaced, the forward pointer moved back) is said on\n"
     "standard error. It ends on Ctrl+C or after --count records, with exit status 0.\n"
     "The filters (--since, --until, --node, --pending, --tail) choose among the records,\n"
     "which keep their numbers in the ring; --follow takes them too (--tail then applies\n"
     "to the first look). TIME is UTC: YYYY-MM-DD, YYYY-MM-DDTHH:MM or\n"
     "YYYY-MM-DDTHH:MM:SS (a space for the T, and a Z at the end, may be given), or\n"
     "seconds since 1970 as @N or N. --since is inclusive, --until exclusive. A record\n"
     "whose time cannot be read (damaged, or a message without time stamps) is left out\n"
     "by either.\n",
     "Lock: FILE is opened read-only through the file layer, which waits for the store\n"
     "file lock like every program of the service; held only while it reads (with\n"
     "--follow, only during each look).\n"
     "Writes: nothing.\n",
     [](CLI::App* c, Options* o) {
       c->add_option("FILE", o->file, "store file")->required();
       c->add_flag("--json", o->json, "JSON Lines: one object per record");
       c->add_option("--from", o->from, "first record number to look at (1-based)")
           ->check(kRecordNumber);
       c->add_option("--count", o->count,
                     "records to show at most (with --follow: in all, then it ends)")
           ->check(kRecordNumber);
       c->add_option("--since", o->since_text,
                     "only messages whose first time stamp is at TIME or later")
           ->check(kTimeBound)
           ->type_name("TIME");
       c->add_option("--until", o->until_text,
                     "only messages whose first time stamp is before TIME")
           ->check(kTimeBound)
           ->type_name("TIME");
       c->add_option("--node", o->filter.node,
                     "only records that name NAME in one of their eight names (request source, "
                     "reply dest, message source, message dest; node and DLGP each), exactly")
           ->type_name("NAME");
       c->add_flag("--pending", o->filter.pending,
                   "only records not forwarded yet: at and after the forward pointer");
       c->add_option("--tail", o->tail,
                     "only the last N records that pass the other filters (N from 0)")
           ->check(kTailCount);
       CLI::Option* follow =
           c->add_flag("--follow", o->follow, "keep listing the records the service stores");
       c->add_option("--interval", o->interval,
                     "seconds between two looks, 0.001 to 3600 (default 1)")
           ->check(kInterval)
           ->type_name("SECONDS")
           ->needs(follow);
       add_lock_timeout(c, o);
     },
     [](const Options& o) { return o.follow ? Needs::kNoStore : Needs::kLockRead; }, run_list},
    {"verify", "Read the whole file; report every problem.",
     "Checks both header copies, every record header's marker and checksum, message\n"
     "sizes, the walk from the oldest to the newest record against the header's count,\n"
     "the newest and forward offsets, the forwarded count and the time stamps.\n"
     "Message bodies carry no checksum in this format: a damaged body cannot be found.\n"
     "Exit status 1 when there is any problem.\n",
     kReadsUnderLock,
     [](CLI::App* c, Options* o) {
       c->add_option("FILE", o->file, "store file")->required();
       c->add_flag("--json", o->json, "one JSON document");
       add_lock_timeout(c, o);
     },
     lock_read, run_verify},
    {"salvage", "Copy every intact record into a new store file.",
     "Records are kept in ring order; after a damaged stretch the next intact record is\n"
     "found by the format's own scan. OUT gets FILE's header type and size, its records\n"
     "laid end to end from offset 192, and a header that matches them; forwarded counts\n"
     "the kept records that lay before FILE's forward offset. OUT is created new: an\n"
     "existing file, FILE itself or a directory is refused. Exit status 1 when records\n"
     "were lost.\n",
     "Lock: FILE is opened read-only through the file layer, which waits for the store\n"
     "file lock like every program of the service; held only while it reads. OUT is\n"
     "created new under its own lock.\n"
     "Writes: OUT (and --unplaced's file); never FILE.\n",
     [](CLI::App* c, Options* o) {
       c->add_option("FILE", o->file, "damaged store file (only read)")->required();
       c->add_option("OUT", o->out, "new store file (must not exist)")->required();
       c->add_option("--unplaced", o->unplaced,
                     "write the intact records whose place is not certain as JSON Lines")
           ->type_name("FILE");
       c->add_flag("--json", o->json, "one JSON document");
       add_lock_timeout(c, o);
     },
     lock_read, run_salvage},
    {"rewind", "Move the forward pointer back, so that messages are sent again.",
     "Without --execute it only reads and shows what would change. --to-oldest is the\n"
     "utility's reset; --to-record N makes record N (numbered as list numbers them) the\n"
     "next to forward; --last K the K-th record from the newest. It only moves the pointer\n"
     "back: a record at or after it is refused. The header is read and rewritten under the\n"
     "store file lock as the utility's reset does it: both copies from the sound one, the\n"
     "rewrite checked and undone if it fails.\n"
     "An executed rewind first saves the header region it replaces in a new file beside\n"
     "the debug log (rewind-<file name>-<UTC time>.region), then writes one line to the\n"
     "debug log and to the system's log (syslog; the Application event log on Windows):\n"
     "the file, forward offset and forwarded count before and after, the user, the time.\n"
     "A log that does not take the line is said on standard error; the rewind stands.\n"
     "--undo puts the last saved region of FILE back, only while the ring stands as the\n"
     "rewind left it (the same oldest and newest offsets and count, the forward pointer\n"
     "where the rewind put it); otherwise it names what moved and writes nothing. An undo\n"
     "is logged the same way. A dry run writes nothing anywhere.\n"
     "Exit status 0 done (or the dry run); 1 when the file's damage stands in the way or\n"
     "the ring moved since the rewind; 2 a refusal or a failure.\n",
     "Lock: FILE is opened through the file layer, which waits for the store file lock\n"
     "like every program of the service: read-only for a dry run, for writing with\n"
     "--execute or --undo, held until the header is written and read back.\n"
     "Writes: with --execute or --undo, FILE's header region, the saved region file and\n"
     "the log lines; a dry run writes nothing.\n",
     [](CLI::App* c, Options* o) {
       c->add_option("FILE", o->file, "store file")->required();
       CLI::Option* oldest = c->add_flag("--to-oldest", o->to_oldest, "the oldest record");
       CLI::Option* record =
           c->add_option("--to-record", o->to_record, "record N of the ring")->check(kRecordNumber);
       CLI::Option* last =
           c->add_option("--last", o->last, "the last K records")->check(kRecordNumber);
       oldest->excludes(record)->excludes(last);
       record->excludes(last);
       CLI::Option* execute =
           c->add_flag("--execute", o->execute, "write the change (otherwise a dry run)");
       c->add_flag("--undo", o->undo,
                   "put back the header region the last rewind of FILE saved, if the ring has "
                   "not moved since")
           ->excludes(oldest)
           ->excludes(record)
           ->excludes(last)
           ->excludes(execute);
       c->add_flag("--json", o->json, "one JSON document");
       add_lock_timeout(c, o);
       c->callback([o, c] {
         if (!o->undo && !o->to_oldest && c->count("--to-record") == 0 && c->count("--last") == 0) {
           throw CLI::RequiredError("one of --to-oldest, --to-record, --last or --undo");
         }
       });
     },
     [](const Options& o) { return o.execute || o.undo ? Needs::kLockWrite : Needs::kLockRead; },
     run_rewind},
};

// Opens FILE as the command needs, runs it, and sees FILE closed.
int run_command(const Command& c, const Options& o) {
  const Needs needs = c.needs(o);
  if (needs == Needs::kNoStore) return c.run(o, nullptr);
  Store store;
  Failure f;
  if (!open_store(o.file, &store, &f, needs == Needs::kLockWrite)) return fail(o.file, f);
  const int status = c.run(o, &store);
  close_store(&store);
  return status;
}

// The program's command line: every command of the table, its options
// writing into `options`; the commands' parsers in table order.
std::vector<CLI::App*> define_commands(CLI::App* app, Options* options) {
  app->set_version_flag("--version", std::string(kProgram) + " " + VARNO_INSPECT_VERSION);
  app->require_subcommand(1);
  // A path such as /srv/store/x.DEV1 is a file, on Windows too, where "/?"
  // alone asks for help (in main).
  app->allow_windows_style_options(false);
  app->footer(std::string("Run 'varno-inspect COMMAND --help' for a command's options.\n") +
              kProgramLockNote + kExitNote);
  std::vector<CLI::App*> parsers;
  for (const Command& c : kCommands) {
    CLI::App* parser = app->add_subcommand(c.name, c.summary);
    c.define(parser, options);
    parser->footer(std::string(c.footer) + c.lock);
    parsers.push_back(parser);
  }
  return parsers;
}

}  // namespace

int main(int argc, char** argv) {
  // "/?" is how a Windows program is asked for its help.
  if (argc == 2 && platform::is_help_switch(argv[1])) argv[1] = const_cast<char*>("--help");
  // CLI11 calls a word that names no command a missing one; say what it is.
  if (argc > 1 && argv[1][0] != '-' &&
      std::none_of(std::begin(kCommands), std::end(kCommands),
                   [&](const Command& c) { return std::strcmp(c.name, argv[1]) == 0; })) {
    std::fprintf(stderr, "%s: unknown command '%s' (see --help)\n", kProgram, argv[1]);
    return kExitFailure;
  }
  CLI::App app{"varno-inspect: a store file for scripts, monitoring and recovery.", kProgram};
  Options options;
  const std::vector<CLI::App*> parsers = define_commands(&app, &options);

  // A command's help, asked for anywhere on its line ("/?" too, on every
  // platform: no command takes a file of that name), before anything else
  // on the line is looked at.
  for (size_t i = 0; argc > 2 && i < parsers.size(); ++i) {
    if (std::strcmp(kCommands[i].name, argv[1]) != 0) continue;
    for (int k = 2; k < argc; ++k) {
      const std::string arg = argv[k];
      if (arg == "/?" || arg == "--help" || arg == "-h")
        return emit(parsers[i]->help(kProgram), kExitClean);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return emit(app.help(), kExitClean);
  } catch (const CLI::CallForAllHelp&) {
    return emit(app.help("", CLI::AppFormatMode::All), kExitClean);
  } catch (const CLI::CallForVersion& e) {
    return emit(std::string(e.what()) + "\n", kExitClean);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, e.what());
    return kExitFailure;
  }

  set_lock_wait(options);
  try {
    for (size_t i = 0; i < parsers.size(); ++i) {
      if (parsers[i]->parsed()) return run_command(kCommands[i], options);
    }
  } catch (const std::exception& e) {
    // Only an allocation can throw here; say so rather than abort.
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return kExitFailure;
  }
  return kExitFailure;
}
