// The JSON documents, built with nlohmann's JSON and dumped once complete.
#include <nlohmann/json.hpp>

#include "tools/inspect/problems.h"
#include "tools/inspect/render.h"
#include "tools/inspect/render_common.h"

namespace inspect {

namespace {

using Json = nlohmann::ordered_json;

// Whole documents are indented for people reading them; the replace handler
// keeps a file name that is not UTF-8 from aborting the dump.
std::string dump(const Json& document) {
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json time_json(const HeaderTimeStamp& t) {
  return Json{{"word", t.word}, {"seconds", t.seconds}, {"iso", iso8601_utc(t.seconds)}};
}

Json fields_json(const CommonHeader& h) {
  return Json{{"signature", h.signature},
              {"revision", h.revision},
              {"oldest_time", time_json(h.oldest_time)},
              {"oldest_offset", h.oldest_offset},
              {"newest_time", time_json(h.newest_time)},
              {"newest_offset", h.newest_offset},
              {"message_count", h.message_count},
              {"forwarded_count", h.forwarded_count},
              {"current_offset", h.current_offset},
              {"last_offset", h.last_offset},
              {"forward_offset", h.forward_offset},
              {"last_message_size", h.last_message_size},
              {"forward_past_last", h.forward_past_last},
              {"opaque1", h.opaque1},
              {"opaque2", h.opaque2}};
}

}  // namespace

std::string header_json(const Store& s) {
  const HeaderCheck& c = s.check;
  Json doc;
  doc["file"] = s.path;
  doc["file_size"] = s.file_size;
  doc["type"] = c.type >= 0 ? Json(c.type) : Json(nullptr);
  doc["block_size"] = c.type >= 0 ? Json(c.block_size) : Json(nullptr);
  doc["bytes_read"] = c.length;
  doc["revision_names_type"] = c.revision_names_type();
  doc["complete"] = c.stage == HeaderCheck::kChecked;
  if (c.stage == HeaderCheck::kChecked) {
    Json copies = Json::array();
    for (int copy = 0; copy < 2; ++copy) {
      copies.push_back({{"copy", copy == 0 ? "primary" : "backup"},
                        {"offset", copy == 0 ? 0 : c.block_size + 4},
                        {"stored_checksum", c.stored[copy]},
                        {"computed_checksum", c.computed[copy]},
                        {"ok", c.stored[copy] == c.computed[copy]},
                        {"signature_ok", c.signature_ok(copy)}});
    }
    doc["copies"] = copies;
    doc["block_status"] = block_status_name(c.block_status);
    doc["usable"] = s.header_usable();
    doc["chosen"] = s.header_usable() ? Json(c.chosen == 1 ? "backup" : "primary") : Json(nullptr);
    doc["header"] = s.header_usable() ? fields_json(s.header) : Json(nullptr);
  } else {
    doc["copies"] = nullptr;
    doc["block_status"] = nullptr;
    doc["usable"] = false;
    doc["chosen"] = nullptr;
    doc["header"] = nullptr;
  }
  return dump(doc);
}

std::string backlog_json(const BacklogRun& run) {
  Json files = Json::array();
  for (const BacklogEntry& e : run.entries()) {
    Json f;
    f["file"] = e.path;
    f["node"] = e.node.empty() ? Json(nullptr) : Json(e.node);
    f["dlgp"] = e.dlgp.empty() ? Json(nullptr) : Json(e.dlgp);
    f["ok"] = e.ok;
    if (!e.ok) {
      f["reason"] = down_reason_name(e.reason);
      f["error"] = e.error;
      files.push_back(f);
      continue;
    }
    const Backlog& b = e.backlog;
    const bool known = b.oldest_pending.state == PendingStamp::kKnown;
    f["messages"] = b.messages;
    f["forwarded"] = b.forwarded;
    f["pending"] = b.pending;
    f["oldest_time"] = b.has_messages ? time_json(b.oldest) : Json(nullptr);
    f["newest_time"] = b.has_messages ? time_json(b.newest) : Json(nullptr);
    f["oldest_age_seconds"] = b.has_messages ? Json(b.oldest_age) : Json(nullptr);
    f["oldest_pending_time"] = known ? time_json({0, b.oldest_pending.seconds}) : Json(nullptr);
    f["oldest_pending_age_seconds"] = b.oldest_pending.state == PendingStamp::kUnknown
                                          ? Json(nullptr)
                                          : Json(b.oldest_pending_age);
    f["ring_used_bytes"] = b.ring_used;
    f["ring_free_bytes"] = b.ring_free;
    f["header_blocks"] = block_status_name(b.block_status);
    f["file_size"] = b.file_size;
    files.push_back(f);
  }
  const int64_t named = static_cast<int64_t>(run.named()), down = static_cast<int64_t>(run.down());
  return dump(Json{{"files", files},
                   {"run",
                    {{"time", time_json({0, static_cast<int32_t>(run.time())})},
                     {"named", named},
                     {"read", named - down},
                     {"down", down}}}});
}

namespace {

Json problems_json(const std::vector<Problem>& list) {
  Json problems = Json::array();
  for (const Problem& p : list) {
    Json j;
    j["kind"] = problem_name(p.kind);
    j["offset"] = p.offset >= 0 ? Json(p.offset) : Json(nullptr);
    j["record"] = p.record != 0 ? Json(p.record) : Json(nullptr);
    j["expected"] = p.has_values ? Json(p.expected) : Json(nullptr);
    j["found"] = p.has_values ? Json(p.found) : Json(nullptr);
    j["text"] = problem_text(p);
    problems.push_back(j);
  }
  return problems;
}

}  // namespace

std::string verify_json(const Store& s, const VerifyReport& r) {
  const Json problems = problems_json(r.problems);
  Json counts = Json::object();
  for (int k = 0; k < kProblemKinds; ++k) {
    if (r.counts[k] != 0) counts[problem_name(static_cast<ProblemKind>(k))] = r.counts[k];
  }
  Json doc;
  doc["file"] = s.path;
  doc["file_size"] = s.file_size;
  doc["clean"] = r.problems.empty();
  doc["walked"] = r.walked;
  doc["records"] = r.records;
  doc["intact"] = r.intact;
  doc["bytes"] = r.bytes;
  doc["problems"] = problems;
  doc["notes"] = problems_json(r.notes);
  doc["counts"] = counts;
  std::string summary = verify_summary(s, r);
  summary.pop_back();  // its line feed
  doc["summary"] = summary;
  return dump(doc);
}

std::string salvage_json(const Store& s, const std::string& out_path, const SalvageReport& r) {
  Json ranges = Json::array();
  for (const LostRange& l : r.lost) {
    ranges.push_back({{"start", l.start}, {"end", l.end}, {"bytes", l.end - l.start}});
  }
  Json doc;
  doc["file"] = s.path;
  doc["out"] = out_path;
  doc["type"] = r.type;
  doc["header_usable"] = r.header_usable;
  doc["header_count"] = r.header_usable ? Json(r.header_count) : Json(nullptr);
  doc["ring_start"] = r.ring_start >= 0 ? Json(r.ring_start) : Json(nullptr);
  doc["header_used"] = r.header_used;
  doc["kept"] = {{"records", r.kept}, {"bytes", r.kept_bytes}, {"forwarded", r.forwarded}};
  doc["forwarded_note"] = forward_note_text(r);
  doc["body_checksum_words_cleared"] = r.words_cleared;
  doc["copies"] = r.copies;
  doc["stale"] = r.stale;
  Json unplaced = Json::array();
  for (const UnplacedRecord& u : r.unplaced) {
    unplaced.push_back({{"offset", u.offset},
                        {"length", u.length},
                        {"transaction", u.transaction},
                        {"time", u.timed ? Json(u.time) : Json(nullptr)}});
  }
  doc["unplaced"] = unplaced;
  doc["lost"] = {{"records", r.lost_records}, {"bytes", r.lost_bytes}, {"ranges", ranges}};
  doc["out_size"] = r.out_size;
  doc["out_header"] = fields_json(r.out_header);
  return dump(doc);
}

std::string unplaced_json_lines(const SalvageReport& r) {
  std::string out;
  for (const UnplacedRecord& u : r.unplaced) {
    out += Json{{"offset", u.offset},
                {"length", u.length},
                {"transaction", u.transaction},
                {"time", u.timed ? Json(u.time) : Json(nullptr)}}
               .dump() +
           "\n";
  }
  return out;
}

std::string rewind_json(const Store& s, const RewindPlan& p) {
  Json doc;
  doc["file"] = s.path;
  doc["executed"] = p.executed;
  doc["messages"] = p.messages;
  doc["record"] = p.record;
  doc["forward_offset"] = {{"from", p.old_forward_offset}, {"to", p.new_forward_offset}};
  doc["forwarded"] = {{"from", p.old_forwarded}, {"to", p.new_forwarded}};
  doc["sent_again"] = int64_t{p.old_forwarded} - p.new_forwarded;
  doc["header"] = p.executed ? fields_json(p.header_after) : Json(nullptr);
  doc["saved_region"] = p.executed ? Json(p.saved_region) : Json(nullptr);
  return dump(doc);
}

std::string undo_json(const Store& s, const SavedRegion& saved, const UndoResult& r) {
  const RewindEntry& e = saved.entry;
  Json doc;
  doc["file"] = s.path;
  doc["undone"] = r.executed;
  doc["rewind_time"] = e.time;
  doc["saved_region"] = saved.path;
  doc["forward_offset"] = {{"from", e.forward_to}, {"to", e.forward_from}};
  doc["forwarded"] = {{"from", e.forwarded_to}, {"to", e.forwarded_from}};
  doc["header"] = fields_json(r.header_after);
  return dump(doc);
}

}  // namespace inspect
