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

// Writes the text in pieces of about kPiece bytes, each file's labels made
// once and used by every family.
class PrometheusText {
 public:
  PrometheusText(const BacklogRun& run, const TextSink& sink)
      : run_(run), entries_(run.entries()), sink_(sink) {
    out_.reserve(kPiece + 4096);
    make_labels();
  }

  bool write() {
    if (!up() || !down_reasons() || !figures()) return false;
    job_health();
    return sink_(out_);
  }

 private:
  static constexpr size_t kPiece = 65536;

  // Each file's labels, `{file="...",node="...",dlgp="..."` (unclosed), one
  // after the other in one string.
  void make_labels() {
    ends_.reserve(entries_.size() + 1);
    ends_.push_back(0);
    for (const BacklogEntry& e : entries_) {
      labels_ += "{file=\"";
      append_label_value(labels_, e.path);
      if (!e.node.empty()) {
        labels_ += "\",node=\"";
        append_label_value(labels_, e.node);
        labels_ += "\",dlgp=\"";
        append_label_value(labels_, e.dlgp);
      }
      labels_ += '"';
      ends_.push_back(labels_.size());
    }
  }

  std::string_view label(size_t i) const {
    return std::string_view(labels_).substr(ends_[i], ends_[i + 1] - ends_[i]);
  }

  // Hands on what has gathered once a piece is full.
  bool spill() {
    if (out_.size() < kPiece) return true;
    const bool taken = sink_(out_);
    out_.clear();
    return taken;
  }

  bool up() {
    if (!entries_.empty()) {
      family_head(out_, "varno_store_up",
                  "1 when the store file and its header could be read, else 0 "
                  "(varno_store_down_reason says why).");
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
      out_ += "varno_store_up";
      out_ += label(i);
      out_ += entries_[i].ok ? "} 1\n" : "} 0\n";
      if (!spill()) return false;
    }
    return true;
  }

  bool down_reasons() {
    if (run_.down() > 0) {
      family_head(out_, "varno_store_down_reason",
                  "1 for the reason a store file is down: missing, not_regular, unreadable, "
                  "header_short, unknown_layout, header_bad or lock_held.");
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].ok) continue;
      out_ += "varno_store_down_reason";
      out_ += label(i);
      out_ += ",reason=\"";
      out_ += down_reason_name(entries_[i].reason);
      out_ += "\"} 1\n";
      if (!spill()) return false;
    }
    return true;
  }

  bool figures() {
    for (const Family& f : kFamilies) {
      bool head = false;
      for (size_t i = 0; i < entries_.size(); ++i) {
        const Value v = entries_[i].ok ? f.value(entries_[i].backlog) : std::nullopt;
        if (!v) continue;
        if (!head) family_head(out_, f.name, f.help);
        head = true;
        out_ += f.name;
        out_ += label(i);
        out_ += "} ";
        out_ += num(*v);
        out_ += '\n';
        if (!spill()) return false;
      }
    }
    return true;
  }

  void job_health() {
    family_head(
        out_, "varno_inspect_last_run_timestamp_seconds",
        "Time of the varno-inspect backlog run that wrote these metrics, seconds since 1970.");
    out_ += "varno_inspect_last_run_timestamp_seconds " + num(run_.time()) + "\n";
    family_head(out_, "varno_inspect_files",
                "Store files of the run: named (on the command line or found in a folder), "
                "read, down.");
    out_ +=
        "varno_inspect_files{state=\"named\"} " + num(static_cast<int64_t>(run_.named())) + "\n";
    out_ += "varno_inspect_files{state=\"read\"} " +
            num(static_cast<int64_t>(run_.named() - run_.down())) + "\n";
    out_ += "varno_inspect_files{state=\"down\"} " + num(static_cast<int64_t>(run_.down())) + "\n";
  }

  const BacklogRun& run_;
  const std::vector<BacklogEntry>& entries_;
  const TextSink& sink_;
  std::string labels_;
  std::vector<size_t> ends_;
  std::string out_;
};

}  // namespace

bool backlog_prometheus(const BacklogRun& run, const TextSink& sink) {
  return PrometheusText(run, sink).write();
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
