// varno-inspect's output: what the reading side saw, as text for people
// (aligned, with units), as JSON for programs, or as Prometheus text. Every
// document is built whole; the caller writes it only once it is complete.
// A listing is the exception: it is written record by record.
#ifndef VARNO_TOOLS_INSPECT_RENDER_H_
#define VARNO_TOOLS_INSPECT_RENDER_H_

#include <string>
#include <string_view>
#include <vector>

#include "messaging/message_summary.h"
#include "storeformat/message_record.h"
#include "tools/inspect/backlog.h"
#include "tools/inspect/output_file.h"
#include "tools/inspect/rewind.h"
#include "tools/inspect/salvage.h"
#include "tools/inspect/store.h"
#include "tools/inspect/verify.h"

namespace inspect {

std::string header_text(const Store& store);
std::string header_json(const Store& store);

// A backlog run: per file its figures or why it is down, then (JSON and
// Prometheus) the run itself: its time and how many files were named, read
// and down.
std::string backlog_text(const BacklogRun& run);
std::string backlog_json(const BacklogRun& run);
// Prometheus text exposition: gauges varno_store_* labelled file (and node
// and dlgp where the name follows the service's pattern), then the run's
// varno_inspect_*. A family without samples is left out. Handed to `sink`
// in pieces of about 64 KiB, so that the text of many files never sits
// whole in memory; false when the sink refused one.
bool backlog_prometheus(const BacklogRun& run, const TextSink& sink);
std::string backlog_prometheus(const BacklogRun& run);

std::string verify_text(const Store& store, const VerifyReport& report);
// verify's last line: the file, clean or the problems per kind, what was read.
std::string verify_summary(const Store& store, const VerifyReport& report);
std::string verify_json(const Store& store, const VerifyReport& report);

std::string salvage_text(const Store& store, const std::string& out_path,
                         const SalvageReport& report);
std::string salvage_json(const Store& store, const std::string& out_path,
                         const SalvageReport& report);
// The records salvage could not place, one JSON object per line: offset,
// length, transaction, time.
std::string unplaced_json_lines(const SalvageReport& report);
// Why OUT counts what it does as forwarded, in words.
std::string forward_note_text(const SalvageReport& report);

std::string rewind_text(const Store& store, const RewindPlan& plan);
std::string rewind_json(const Store& store, const RewindPlan& plan);
std::string undo_text(const Store& store, const SavedRegion& saved, const UndoResult& result);
std::string undo_json(const Store& store, const SavedRegion& saved, const UndoResult& result);

// One record of a listing as the walk read it.
struct ListedRecord {
  uint32_t number = 0;  // 1-based, in walking order
  const RecordCheck* check = nullptr;
  const unsigned char* message_header = nullptr;  // its 292 bytes as read
  bool body_read = false;
  MessageSummary summary;  // the library's reading of the body, when read
};
// Appends one record: a block of aligned lines, or one JSON object and a
// line feed.
void append_record_text(std::string& out, const ListedRecord& record);
void append_record_json(std::string& out, const ListedRecord& record);

// `bytes` as a JSON string, quotes included: valid UTF-8 passes unchanged,
// each maximal invalid subpart becomes U+FFFD, control characters, '"' and
// '\' are escaped. The same text nlohmann's dump gives with its "replace"
// error handler; the listing writes its lines by hand (see
// render_records.cc).
void append_json_string(std::string& out, std::string_view bytes);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_RENDER_H_
