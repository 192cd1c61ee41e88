// varno-inspect's output: what the reading side saw, as text for people
// (aligned, with units) or as JSON for programs. Every function builds the
// whole text of its document; the caller writes it only once it is complete.
#ifndef VARNO_TOOLS_INSPECT_RENDER_H_
#define VARNO_TOOLS_INSPECT_RENDER_H_

#include <string>
#include <string_view>
#include <vector>

#include "tools/inspect/inspect.h"

namespace inspect {

// The stable machine name of a problem kind ("record_header_checksum") and
// the defect that stops a walk ("message_size_past_end").
const char* problem_name(ProblemKind kind);
const char* defect_name(Defect defect);
// One line of explanation, e.g. "message size 5000 runs past the end of the
// file (at most 404 fit)".
std::string problem_text(const Problem& problem);

std::string header_text(const Store& store);
std::string header_json(const Store& store);

// One file of a backlog: its figures, or why it could not be read.
struct BacklogEntry {
  std::string path;
  bool ok = false;
  Backlog backlog;
  std::string error;  // when !ok
};
std::string backlog_text(const std::vector<BacklogEntry>& entries);
std::string backlog_json(const std::vector<BacklogEntry>& entries);
// Prometheus text exposition: gauges prefixed varno_store_, labelled by file.
std::string backlog_prometheus(const std::vector<BacklogEntry>& entries);

std::string verify_text(const Store& store, const VerifyReport& report);
std::string verify_json(const Store& store, const VerifyReport& report);

std::string salvage_text(const Store& store, const std::string& out_path,
                         const SalvageReport& report);
std::string salvage_json(const Store& store, const std::string& out_path,
                         const SalvageReport& report);

// One record of a listing, appended to `out`: a block of aligned lines, or one
// JSON object and a line feed. `summary` is the library's reading of the body
// (ignored when the body was not read).
void append_record_text(std::string& out, const WalkRecord& record, const MessageSummary& summary);
void append_record_json(std::string& out, const WalkRecord& record, const MessageSummary& summary);

// `bytes` as a JSON string, quotes included: valid UTF-8 passes unchanged,
// each maximal invalid subpart becomes U+FFFD, control characters, '"' and
// '\' are escaped. The same text nlohmann's dump gives with its "replace"
// error handler; the listing writes its lines by hand (see render.cc).
void append_json_string(std::string& out, std::string_view bytes);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_RENDER_H_
