// Backlog as Prometheus text exposition, for a node exporter's textfile
// collector: one gauge family per figure, each file a sample labelled `file`
// (and `node`, `dlgp`), then the run's own health, so that a run that stops,
// writes nothing or loses files can be alerted on.
#include <optional>

#include "tools/inspect/render.h"
#include "tools/inspect/render_common.h"

namespace inspect {

namespace {

// Appends a label value: UTF-8 (bytes that are not become U+FFFD, as in
// JSON), with backslash, double quote and line feed escaped.
void append_label_value(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const char ch = text[i];
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '"') {
      out += "\\\"";
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      i += append_utf8_char(out, text, i);
      continue;
    }
    ++i;
  }
}

using Value = std::optional<int64_t>;

// The figures of the files that were read: a sample each, or none.
struct Family {
  const char* name;
  const char* help;
  Value (*value)(const Backlog& b);
};

const Family kFamilies[] = {
    {"varno_store_messages", "Messages in the store file (header count).",
     [](const Backlog& b) -> Value { return b.messages; }},
    {"varno_store_forwarded", "Messages of the store file already forwarded.",
     [](const Backlog& b) -> Value { return b.forwarded; }},
    {"varno_store_pending", "Messages not yet forwarded (messages minus forwarded).",
     [](const Backlog& b) -> Value { return b.pending; }},
    {"varno_store_oldest_pending_timestamp_seconds",
     "Time stamp of the oldest message not yet forwarded (the record at the forward offset), "
     "seconds since 1970; absent when nothing is pending or that record cannot be read.",
     [](const Backlog& b) -> Value {
       if (b.oldest_pending.state != PendingStamp::kKnown) return std::nullopt;
       return b.oldest_pending.seconds;
     }},
    {"varno_store_oldest_pending_age_seconds",
     "Seconds the oldest message not yet forwarded has waited, from its own time stamp; 0 when "
     "nothing is pending, absent when that record cannot be read.",
     [](const Backlog& b) -> Value {
       if (b.oldest_pending.state == PendingStamp::kUnknown) return std::nullopt;
       return b.oldest_pending_age;
     }},
    {"varno_store_oldest_timestamp_seconds",
     "Time stamp of the oldest stored message, forwarded or not, seconds since 1970 (header); "
     "absent for an empty store.",
     [](const Backlog& b) -> Value {
       return b.has_messages ? Value(b.oldest.seconds) : std::nullopt;
     }},
    {"varno_store_newest_timestamp_seconds",
     "Time stamp of the newest stored message, seconds since 1970 (header); absent for an empty "
     "store.",
     [](const Backlog& b) -> Value {
       return b.has_messages ? Value(b.newest.seconds) : std::nullopt;
     }},
    {"varno_store_oldest_age_seconds",
     "Seconds since the time stamp of the oldest stored message, forwarded or not; 0 for an "
     "empty store.",
     [](const Backlog& b) -> Value { return b.oldest_age; }},
    {"varno_store_ring_used_bytes",
     "Bytes of the ring from the oldest record to the place of the next one.",
     [](const Backlog& b) -> Value { return b.ring_used; }},
    {"varno_store_ring_free_bytes",
     "Bytes of the ring the service can still write before it reaches the oldest record.",
     [](const Backlog& b) -> Value { return b.ring_free; }},
    {"varno_store_header_degraded",
     "1 when one of the two header copies is bad and the other was used, else 0.",
     [](const Backlog& b) -> Value {
       return b.block_status == kPrimaryBad || b.block_status == kBackupBad ? 1 : 0;
     }},
    {"varno_store_file_size_bytes", "Size of the store file in bytes.",
     [](const Backlog& b) -> Value { return b.file_size; }},
};

void family_head(std::string& out, const char* name, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " gauge\n";
}

}  // namespace

bool backlog_prometheus(const BacklogRun& run, const TextSink& sink) {
  constexpr size_t kPiece = 65536;
  const std::vector<BacklogEntry>& entries = run.entries();
  // Each file's labels once, `{file="...",node="...",dlgp="..."` (unclosed),
  // one after the other in one string.
  std::string labels;
  std::vector<size_t> ends;
  ends.reserve(entries.size() + 1);
  ends.push_back(0);
  for (const BacklogEntry& e : entries) {
    labels += "{file=\"";
    append_label_value(labels, e.path);
    if (!e.node.empty()) {
      labels += "\",node=\"";
      append_label_value(labels, e.node);
      labels += "\",dlgp=\"";
      append_label_value(labels, e.dlgp);
    }
    labels += '"';
    ends.push_back(labels.size());
  }
  const auto label = [&](size_t i) {
    return std::string_view(labels).substr(ends[i], ends[i + 1] - ends[i]);
  };
  std::string out;
  out.reserve(kPiece + 4096);
  // Hands on what has gathered once a piece is full.
  const auto spill = [&] {
    if (out.size() < kPiece) return true;
    const bool taken = sink(out);
    out.clear();
    return taken;
  };
  if (!entries.empty()) {
    family_head(out, "varno_store_up",
                "1 when the store file and its header could be read, else 0 "
                "(varno_store_down_reason says why).");
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    out += "varno_store_up";
    out += label(i);
    out += entries[i].ok ? "} 1\n" : "} 0\n";
    if (!spill()) return false;
  }
  if (run.down() > 0) {
    family_head(out, "varno_store_down_reason",
                "1 for the reason a store file is down: missing, not_regular, unreadable, "
                "header_short, unknown_layout, header_bad or lock_held.");
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].ok) continue;
    out += "varno_store_down_reason";
    out += label(i);
    out += ",reason=\"";
    out += down_reason_name(entries[i].reason);
    out += "\"} 1\n";
    if (!spill()) return false;
  }
  for (const Family& f : kFamilies) {
    bool head = false;
    for (size_t i = 0; i < entries.size(); ++i) {
      const Value v = entries[i].ok ? f.value(entries[i].backlog) : std::nullopt;
      if (!v) continue;
      if (!head) family_head(out, f.name, f.help);
      head = true;
      out += f.name;
      out += label(i);
      out += "} ";
      out += num(*v);
      out += '\n';
      if (!spill()) return false;
    }
  }
  family_head(
      out, "varno_inspect_last_run_timestamp_seconds",
      "Time of the varno-inspect backlog run that wrote these metrics, seconds since 1970.");
  out += "varno_inspect_last_run_timestamp_seconds " + num(run.time()) + "\n";
  family_head(out, "varno_inspect_files",
              "Store files of the run: named (on the command line or found in a folder), read, "
              "down.");
  out += "varno_inspect_files{state=\"named\"} " + num(static_cast<int64_t>(run.named())) + "\n";
  out += "varno_inspect_files{state=\"read\"} " +
         num(static_cast<int64_t>(run.named() - run.down())) + "\n";
  out += "varno_inspect_files{state=\"down\"} " + num(static_cast<int64_t>(run.down())) + "\n";
  return sink(out);
}

std::string backlog_prometheus(const BacklogRun& run) {
  std::string text;
  backlog_prometheus(run, [&](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace inspect
