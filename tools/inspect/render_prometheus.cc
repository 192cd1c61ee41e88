// Backlog as Prometheus text exposition, for a node exporter's textfile
// collector: one gauge family per figure, each file a sample labelled `file`.
#include "tools/inspect/render.h"
#include "tools/inspect/render_common.h"

namespace inspect {

std::string backlog_prometheus(const std::vector<BacklogEntry>& entries) {
  struct Metric {
    const char* name;
    const char* help;
    int64_t (*value)(const Backlog&);
  };
  static const Metric kMetrics[] = {
      {"messages", "Messages in the store file (header count).",
       [](const Backlog& b) -> int64_t { return b.messages; }},
      {"forwarded", "Messages of the store file already forwarded.",
       [](const Backlog& b) -> int64_t { return b.forwarded; }},
      {"pending", "Messages not yet forwarded (messages minus forwarded).",
       [](const Backlog& b) { return b.pending; }},
      {"oldest_timestamp_seconds", "Time stamp of the oldest message, seconds since 1970.",
       [](const Backlog& b) -> int64_t { return b.oldest.seconds; }},
      {"newest_timestamp_seconds", "Time stamp of the newest message, seconds since 1970.",
       [](const Backlog& b) -> int64_t { return b.newest.seconds; }},
      {"oldest_age_seconds", "Age of the oldest message in seconds; 0 when there is none.",
       [](const Backlog& b) { return b.oldest_age; }},
      {"file_size_bytes", "Size of the store file in bytes.",
       [](const Backlog& b) { return b.file_size; }},
  };
  // Label values are UTF-8 (bytes that are not become U+FFFD, as in JSON) and
  // escape backslash, double quote and line feed.
  const auto label = [](const std::string& path) {
    std::string v;
    for (char ch : valid_utf8(path)) {
      if (ch == '\\') {
        v += "\\\\";
      } else if (ch == '"') {
        v += "\\\"";
      } else if (ch == '\n') {
        v += "\\n";
      } else {
        v += ch;
      }
    }
    return "{file=\"" + v + "\"} ";
  };
  std::string out;
  out += "# HELP varno_store_up 1 when the store file and its header could be read, else 0.\n";
  out += "# TYPE varno_store_up gauge\n";
  for (const BacklogEntry& e : entries)
    out += "varno_store_up" + label(e.path) + (e.ok ? "1\n" : "0\n");
  for (const Metric& m : kMetrics) {
    out += std::string("# HELP varno_store_") + m.name + " " + m.help + "\n";
    out += std::string("# TYPE varno_store_") + m.name + " gauge\n";
    for (const BacklogEntry& e : entries) {
      if (e.ok)
        out +=
            "varno_store_" + std::string(m.name) + label(e.path) + num(m.value(e.backlog)) + "\n";
    }
  }
  return out;
}

}  // namespace inspect
