// varno-inspect: the command line. Parses with CLI11, runs one command over
// the reading side (inspect.h), writes what render.h makes of it, and maps
// the outcome to the exit status: 0 clean, 1 problems found, 2 a command line
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

#include "platform/platform.h"
#include "tools/inspect/inspect.h"
#include "tools/inspect/progress.h"
#include "tools/inspect/render.h"

namespace {

using namespace inspect;

constexpr char kProgram[] = "varno-inspect";
constexpr int kExitClean = 0;
constexpr int kExitProblems = 1;
constexpr int kExitFailure = 2;

constexpr char kLockNote[] =
    "The store file is opened read-only through the file layer, so this waits for the store\n"
    "file lock like every program of the service, and holds it only while it reads.\n";
constexpr char kExitNote[] =
    "Exit status: 0 clean; 1 problems found; 2 a command line it cannot use, or a file it\n"
    "cannot read (one line on standard error says which file and why).\n";

// One line on standard error naming the file and the reason.
int fail(const std::string& file, const std::string& what) {
  std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), what.c_str());
  return kExitFailure;
}

int fail(const std::string& file, const Failure& failure) {
  return fail(file, failure.step + " failed: " + failure_reason(failure.status));
}

// Writes a complete document; a failed write is a failure of its own.
int emit(const std::string& text, int status) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: writing to standard output failed\n", kProgram);
    return kExitFailure;
  }
  return status;
}

FILE* progress_stream() {
  return platform::stderr_is_terminal() ? stderr : nullptr;
}

std::string header_verdict(const Store& s) {
  if (s.check.type < 0) return "no header type matches";
  if (s.check.stage != HeaderCheck::kChecked) return "the file ends inside the header region";
  return "both header blocks are bad";
}

int run_header(const std::string& path, bool json) {
  Store s;
  Failure f;
  if (!open_store(path, &s, &f)) return fail(path, f);
  close_store(&s);
  const bool clean = s.check.stage == HeaderCheck::kChecked && s.check.block_status == kBlocksOk;
  return emit(json ? header_json(s) : header_text(s), clean ? kExitClean : kExitProblems);
}

int run_backlog(const std::vector<std::string>& paths, bool json, bool prometheus) {
  std::vector<BacklogEntry> entries;
  int status = kExitClean;
  for (const std::string& path : paths) {
    BacklogEntry e;
    e.path = path;
    Store s;
    Failure f;
    if (!open_store(path, &s, &f)) {
      e.error = f.step + " failed: " + failure_reason(f.status);
    } else {
      close_store(&s);
      if (s.header_usable()) {
        e.ok = true;
        e.backlog = backlog_of(s, static_cast<int64_t>(std::time(nullptr)));
      } else {
        e.error = "the header cannot be used: " + header_verdict(s);
      }
    }
    if (!e.ok) status = fail(path, e.error);
    entries.push_back(e);
  }
  const std::string text = prometheus ? backlog_prometheus(entries)
                           : json     ? backlog_json(entries)
                                      : backlog_text(entries);
  return emit(text, status);
}

int run_verify(const std::string& path, bool json) {
  Store s;
  Failure f;
  if (!open_store(path, &s, &f)) return fail(path, f);
  VerifyReport report;
  bool ok;
  {
    Progress progress("verify", s.file_size, progress_stream());
    ok = verify_store(s, &progress, &report, &f);
  }
  close_store(&s);
  if (!ok) return fail(path, f);
  return emit(json ? verify_json(s, report) : verify_text(s, report),
              report.problems.empty() ? kExitClean : kExitProblems);
}

int run_salvage(const std::string& path, const std::string& out, bool json) {
  Store s;
  Failure f;
  if (!open_store(path, &s, &f)) return fail(path, f);
  SalvageReport report;
  SalvageRefusal refusal;
  bool ok;
  {
    Progress progress("salvage", s.file_size, progress_stream());
    ok = salvage_store(s, out, &progress, &report, &refusal, &f);
  }
  close_store(&s);
  if (refusal == SalvageRefusal::kSameFile) {
    return fail(out, "refused: it is the store file " + path + " itself");
  }
  if (refusal == SalvageRefusal::kOutExists) return fail(out, "refused: the file exists");
  if (!ok) return fail(f.step == "creating" || f.step == "writing" ? out : path, f);
  const bool lost = !report.header_usable || report.lost_bytes > 0 || report.lost_records > 0;
  return emit(json ? salvage_json(s, out, report) : salvage_text(s, out, report),
              lost ? kExitProblems : kExitClean);
}

// The listing streams: each record is written whole as soon as it is read, so
// a listing of millions of records needs no more memory than one. The lock is
// held while it runs.
int run_list(const std::string& path, bool json, int64_t from, int64_t count) {
  Store s;
  Failure f;
  if (!open_store(path, &s, &f)) return fail(path, f);
  if (!s.header_usable()) {
    close_store(&s);
    return fail(path, "the header cannot be used: " + header_verdict(s));
  }
  const CommonHeader& h = s.header;
  const int64_t end =
      count > INT64_MAX - from ? INT64_MAX : from + count;  // first number not listed
  RecordReader reader(s);
  WalkRecord rec;
  std::string out;
  out.reserve(1 << 17);
  bool stopped = false;
  bool failed = false;
  bool write_failed = false;
  const auto flush = [&] {
    if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) {
      write_failed = true;
    }
    out.clear();
  };
  {
    Progress progress("list", s.file_size, progress_stream());
    int64_t p = h.oldest_offset;
    uint32_t walked = 0;
    int64_t bytes = 0;
    // Menu 2's walk: from the oldest record while below the end of the file
    // and the header's count, stopping at a record it cannot step over.
    while (p < s.file_size && walked < h.message_count && walked + 1 < end && !write_failed) {
      const uint32_t number = walked + 1;
      const bool shown = number >= from;
      if (!reader.read(p, number, shown ? RecordReader::Body::kWhole : RecordReader::Body::kSkip,
                       &rec, &f)) {
        failed = true;
        break;
      }
      if (shown) {
        const MessageSummary summary =
            rec.body_read ? summarize_message_body(rec.message) : MessageSummary{};
        if (json) {
          append_record_json(out, rec, summary);
        } else {
          append_record_text(out, rec, summary);
        }
        if (out.size() >= (1 << 16)) flush();
      }
      if (rec.defect != Defect::kNone) {
        stopped = true;
        break;
      }
      ++walked;
      bytes += int64_t{rec.message_size} + 12;
      progress.update(walked, bytes);
      p = next_record_offset(p, rec.message_size, s.file_size, h.newest_offset);
    }
    flush();
  }
  close_store(&s);
  if (write_failed || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: writing to standard output failed\n", kProgram);
    return kExitFailure;
  }
  if (failed) return fail(path, f);
  if (stopped) {
    fail(path, "listing stopped at record " + std::to_string(rec.number) + ", offset " +
                   std::to_string(rec.offset) + ": " + defect_name(rec.defect));
    return kExitProblems;
  }
  return kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  // "/?" is how a Windows program is asked for its help.
  if (argc == 2 && platform::is_help_switch(argv[1])) argv[1] = const_cast<char*>("--help");
  // CLI11 calls a word that names no command a missing one; say what it is.
  if (argc > 1 && argv[1][0] != '-') {
    static const char* const kCommands[] = {"header", "backlog", "list", "verify", "salvage"};
    if (std::none_of(std::begin(kCommands), std::end(kCommands),
                     [&](const char* c) { return std::strcmp(c, argv[1]) == 0; })) {
      std::fprintf(stderr, "%s: unknown command '%s' (see --help)\n", kProgram, argv[1]);
      return kExitFailure;
    }
  }
  // A record number or count; CLI11's range check would call a word that is
  // no number "not in range".
  const CLI::Validator kRecordNumber(
      [](std::string& text) -> std::string {
        int64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [at, error] = std::from_chars(text.data(), end, value);
        if (error != std::errc() || at != end || value < 1) {
          return "expects a whole number of at least 1, not '" + text + "'";
        }
        return {};
      },
      "N>=1");
  CLI::App app{"varno-inspect: a store file for scripts, monitoring and recovery.", kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + VARNO_INSPECT_VERSION);
  app.require_subcommand(1);
  app.footer(std::string("Run 'varno-inspect COMMAND --help' for a command's options.\n") +
             kLockNote + kExitNote);

  bool json = false;
  std::string file;
  std::vector<std::string> files;
  std::string out;
  bool prometheus = false;
  int64_t from = 1;
  int64_t count = INT64_MAX;

  CLI::App* header =
      app.add_subcommand("header", "The header region: type, both copies, every field.");
  header->add_option("FILE", file, "store file")->required();
  header->add_flag("--json", json, "one JSON document");
  header->footer(std::string("Exit status 1 when a header copy is bad or no layout matches.\n") +
                 kLockNote);

  CLI::App* backlog = app.add_subcommand("backlog", "Messages, forwarded and pending, per file.");
  backlog->add_option("FILE", files, "store files")->required();
  backlog->add_flag("--json", json, "one JSON document");
  backlog->add_flag("--prometheus", prometheus,
                    "Prometheus text exposition (metrics varno_store_*, label file)");
  backlog->footer(std::string("Age is counted from the oldest time stamp to now, in seconds.\n"
                              "Exit status 2 when a file or its header cannot be read.\n") +
                  kLockNote);

  CLI::App* list = app.add_subcommand("list", "The records in ring order, as menu 2 walks them.");
  list->add_option("FILE", file, "store file")->required();
  list->add_flag("--json", json, "JSON Lines: one object per record");
  list->add_option("--from", from, "first record number to show (1-based)")->check(kRecordNumber);
  list->add_option("--count", count, "records to show at most")->check(kRecordNumber);
  list->footer(
      std::string("The walk starts at the oldest record and steps by message size + 12, going on\n"
                  "at offset 192 when fewer than 304 bytes remain and the newest record lies\n"
                  "behind; it ends at the header's count or the end of the file. A record it\n"
                  "cannot step over ends it early: exit status 1.\n") +
      kLockNote);

  CLI::App* verify = app.add_subcommand("verify", "Read the whole file; report every problem.");
  verify->add_option("FILE", file, "store file")->required();
  verify->add_flag("--json", json, "one JSON document");
  verify->footer(
      std::string(
          "Checks both header copies, every record header's marker and checksum, message\n"
          "sizes, the walk from the oldest to the newest record against the header's count,\n"
          "the newest and forward offsets, the forwarded count and the time stamps.\n"
          "Message bodies carry no checksum in this format: a damaged body cannot be found.\n"
          "Exit status 1 when there is any problem.\n") +
      kLockNote);

  CLI::App* salvage =
      app.add_subcommand("salvage", "Copy every intact record into a new store file.");
  salvage->add_option("FILE", file, "damaged store file (only read)")->required();
  salvage->add_option("OUT", out, "new store file (must not exist)")->required();
  salvage->add_flag("--json", json, "one JSON document");
  salvage->footer(
      std::string(
          "Records are kept in ring order; after a damaged stretch the next intact record is\n"
          "found by the format's own scan. OUT gets FILE's header type and size, its records\n"
          "laid end to end from offset 192, and a header that matches them; forwarded counts\n"
          "the kept records that lay before FILE's forward offset. OUT is created new: an\n"
          "existing file, FILE itself or a directory is refused. Exit status 1 when records\n"
          "were lost.\n") +
      kLockNote);

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
  if (prometheus && json) {
    std::fprintf(stderr, "%s: --json and --prometheus exclude each other (see --help)\n", kProgram);
    return kExitFailure;
  }

  try {
    if (header->parsed()) return run_header(file, json);
    if (backlog->parsed()) {
      // The exposition format ends its lines in a line feed alone, on Windows too.
      if (prometheus) platform::binary_stream(stdout);
      return run_backlog(files, json, prometheus);
    }
    if (list->parsed()) return run_list(file, json, from, count);
    if (verify->parsed()) return run_verify(file, json);
    if (salvage->parsed()) return run_salvage(file, out, json);
  } catch (const std::exception& e) {
    // Only an allocation can throw here; say so rather than abort.
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return kExitFailure;
  }
  return kExitFailure;
}
