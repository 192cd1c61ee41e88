// The text renderings: aligned labels and values, units spelled out.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "tools/inspect/problems.h"
#include "tools/inspect/render.h"
#include "tools/inspect/render_common.h"

namespace inspect {

namespace {

std::string time_text(const HeaderTimeStamp& t) {
  return iso8601_utc(t.seconds) + " (" + num(t.seconds) + " s, word " + num(t.word) + ")";
}

void fields_text(std::string& out, const CommonHeader& h) {
  line(out, "signature", hex32(h.signature));
  line(out, "revision", num(h.revision));
  line(out, "messages", num(h.message_count));
  line(out, "forwarded", num(h.forwarded_count));
  line(out, "oldest time", time_text(h.oldest_time));
  line(out, "newest time", time_text(h.newest_time));
  line(out, "oldest offset", num(h.oldest_offset));
  line(out, "newest offset", num(h.newest_offset));
  line(out, "current offset", num(h.current_offset));
  line(out, "last offset", num(h.last_offset));
  line(out, "forward offset", num(h.forward_offset));
  line(out, "last message size", num(h.last_message_size) + " bytes");
  line(out, "forward past last", num(h.forward_past_last));
  line(out, "opaque words", hex32(h.opaque1) + " " + hex32(h.opaque2));
}

// A frequency in tenths of a second as seconds with one decimal.
std::string tenths(int32_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value / 10.0);
  return text;
}

std::string name_pair(const unsigned char* h, uint32_t first, uint32_t second) {
  std::string text(message_name(h, first));
  text += ' ';
  text += message_name(h, second);
  return text;
}

}  // namespace

std::string header_text(const Store& s) {
  const HeaderCheck& c = s.check;
  std::string out;
  line(out, "file", s.path);
  line(out, "file size", num(s.file_size) + " bytes");
  if (c.type < 0) {
    line(out, "layout", "unknown: no header type matches (" + num(c.length) + " bytes read)");
    return out;
  }
  line(out, "layout",
       "type " + num(c.type) + ", blocks of " + num(c.block_size) + " bytes" +
           (c.revision_names_type() ? ", named by the revision word"
                                    : ", found by the backup signature"));
  if (c.stage != HeaderCheck::kChecked) {
    line(out, "region", "incomplete: the file ends after " + num(c.length) + " bytes");
    return out;
  }
  for (int copy = 0; copy < 2; ++copy) {
    const std::string verdict = c.stored[copy] != c.computed[copy] ? "BAD"
                                : c.signature_ok(copy)
                                    ? "ok"
                                    : "BAD: no signature (" + hex32(c.signature[copy]) + ")";
    line(out, copy == 0 ? "primary block" : "backup block",
         "checksum " + hex32(c.stored[copy]) + " stored, " + hex32(c.computed[copy]) +
             " computed: " + verdict);
  }
  std::string verdict = block_status_name(c.block_status);
  verdict += s.header_usable() ? (c.chosen == 1 ? "; backup block used" : "; primary block used")
                               : "; the header cannot be used";
  line(out, "verdict", verdict);
  fields_text(out, s.header);
  return out;
}

std::string backlog_text(const BacklogRun& run) {
  std::vector<std::vector<std::string>> rows = {{"FILE", "MESSAGES", "FORWARDED", "PENDING",
                                                 "OLDEST", "NEWEST", "AGE", "WAITING", "FREE",
                                                 "SIZE"}};
  for (const BacklogEntry& e : run.entries()) {
    if (!e.ok) {
      rows.push_back({e.path, "-", "-", "-", "-", "-", "-", "-", "-",
                      "(" + std::string(down_reason_name(e.reason)) + ": " + e.error + ")"});
      continue;
    }
    const Backlog& b = e.backlog;
    // The oldest pending message's wait; "?" when its record cannot be read.
    const std::string waiting =
        b.oldest_pending.state == PendingStamp::kUnknown ? "?" : num(b.oldest_pending_age) + " s";
    std::string size = num(b.file_size) + " B";
    if (b.block_status == kPrimaryBad || b.block_status == kBackupBad) {
      size += std::string(" (header ") + block_status_name(b.block_status) + ")";
    }
    rows.push_back({e.path, num(b.messages), num(b.forwarded), num(b.pending),
                    b.has_messages ? iso8601_utc(b.oldest.seconds) : "-",
                    b.has_messages ? iso8601_utc(b.newest.seconds) : "-",
                    b.has_messages ? num(b.oldest_age) + " s" : "-", waiting,
                    num(b.ring_free) + " B", size});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i + 1 < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      const std::string& cell = row[i];
      const bool last = i + 1 == row.size();
      // Names and times to the left, figures to the right.
      const bool left = i == 0 || i == 4 || i == 5 || last;
      const size_t pad = last ? 0 : width[i] - std::min(width[i], cell.size());
      if (!left) out.append(pad, ' ');
      out += cell;
      if (left) out.append(pad, ' ');
      if (!last) out += "  ";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  }
  return out;
}

std::string verify_summary(const Store& s, const VerifyReport& r) {
  std::string counts;
  for (int k = 0; k < kProblemKinds; ++k) {
    if (r.counts[k] == 0) continue;
    counts += (counts.empty() ? "" : ", ") + num(r.counts[k]) + " " +
              problem_name(static_cast<ProblemKind>(k));
  }
  std::string text = "verify: " + s.path + ": ";
  text += r.problems.empty()
              ? std::string("clean")
              : plural(static_cast<int64_t>(r.problems.size()), "problem", "problems") + " (" +
                    counts + ")";
  if (r.walked) {
    text += "; " + plural(r.records, "record", "records") + " in the ring";
    text += r.intact == r.records ? ", " + num(r.bytes) + " bytes"
                                  : " (" + num(r.intact) + " intact, " + num(r.bytes) + " bytes)";
  } else if (s.header_usable()) {
    text += "; the header counts no message, no record read";
  } else {
    text += "; the header cannot be used, no record read";
  }
  return text + "\n";
}

std::string verify_text(const Store& s, const VerifyReport& r) {
  std::string out;
  for (const std::vector<Problem>* list : {&r.problems, &r.notes}) {
    for (const Problem& p : *list) {
      std::string where;
      if (p.offset >= 0) where += "offset " + num(p.offset);
      if (p.record != 0)
        where += (where.empty() ? "" : "  ") + std::string("record ") + num(p.record);
      std::string kind = problem_name(p.kind);
      kind.resize(std::max<size_t>(kind.size(), 28), ' ');
      where.resize(std::max<size_t>(where.size(), 30), ' ');
      out += kind + where + problem_text(p) + "\n";
    }
  }
  return out + verify_summary(s, r);
}

std::string salvage_text(const Store& s, const std::string& out_path, const SalvageReport& r) {
  std::string out;
  line(out, "salvage",
       s.path + " -> " + out_path + " (header type " + num(r.type) + ", " + num(r.out_size) +
           " bytes)");
  if (!r.header_usable && r.ring_start < 0) {
    line(out, "header", "unusable: records taken in file order from 192");
  } else if (!r.header_usable) {
    line(out, "header",
         "unusable: records taken in ring order from " + num(r.ring_start) +
             ", where the file's layout shows the ring begins");
  } else if (!r.header_used) {
    line(out, "header",
         "names no end of the ring the records form: records taken in the order the layout "
         "gives");
  }
  line(out, "kept",
       plural(r.kept, "record", "records") + ", " + num(r.kept_bytes) + " bytes; " +
           num(r.forwarded) + " forwarded");
  if (r.forward_note != ForwardNote::kAgree) line(out, "forwarded", forward_note_text(r));
  if (r.words_cleared > 0) {
    line(out, "body checksums",
         plural(r.words_cleared, "non-zero word", "non-zero words") + " written as 0");
  }
  if (r.copies > 0) {
    line(out, "copies",
         plural(r.copies, "byte-identical copy", "byte-identical copies") +
             " of the record before it, kept once");
  }
  if (r.stale > 0) {
    line(out, "stale", plural(r.stale, "record", "records") + " outside the ring, not kept");
  }
  std::string lost =
      plural(static_cast<int64_t>(r.lost.size()), "damaged stretch", "damaged stretches") + ", " +
      num(r.lost_bytes) + " bytes";
  if (r.header_usable) {
    lost += "; the header counted " + num(r.header_count) + ", " + num(r.lost_records) +
            " not recovered";
  }
  line(out, "lost", lost);
  for (const LostRange& l : r.lost) {
    line(out, "",
         "bytes " + num(l.start) + " to " + num(l.end) + " (" + num(l.end - l.start) + " bytes)");
  }
  if (!r.unplaced.empty()) {
    line(out, "unplaced",
         plural(static_cast<int64_t>(r.unplaced.size()), "intact record", "intact records") +
             " whose place in the ring is not certain, not kept (--unplaced FILE lists them)");
    for (const UnplacedRecord& u : r.unplaced) {
      line(out, "",
           "offset " + num(u.offset) + ", transaction " + num(u.transaction) + ", " +
               (u.timed ? iso8601_utc(u.time) : std::string("no time stamp")));
    }
  }
  return out;
}

std::string forward_note_text(const SalvageReport& r) {
  switch (r.forward_note) {
    case ForwardNote::kAgree:
      return "the forward offset and the forwarded count agree";
    case ForwardNote::kNoHeader:
      return "nothing: without a usable header no message is known to be forwarded";
    case ForwardNote::kNoRing:
      return "nothing: the header counts no message";
    case ForwardNote::kNotRecord:
      return "only the records before the forward offset, which is no record of the ring, and "
             "within the header's forwarded count";
    case ForwardNote::kFullRing:
      return "nothing: the ring is full, and its forward offset names both its oldest record and "
             "the place behind its newest; only the count tells them apart, and sending again is "
             "the lesser harm";
    case ForwardNote::kDamageBefore:
      return "only the records before the first damaged stretch that lies before the forward "
             "offset";
    case ForwardNote::kCountDisagrees:
      return "only what both show: the forward offset lies behind " + num(r.forward_before) +
             " records, the header counts " + num(r.header_forwarded) + " forwarded";
  }
  return "";
}

std::string rewind_text(const Store& s, const RewindPlan& p) {
  std::string out;
  line(out, "rewind",
       s.path + (p.executed ? ": done" : ": a dry run, nothing written (--execute writes)"));
  line(out, "next to forward",
       "record " + num(p.record) + " of " + num(p.messages) + ", offset " +
           num(p.new_forward_offset));
  line(out, "forward offset", num(p.old_forward_offset) + " -> " + num(p.new_forward_offset));
  line(out, "forwarded", num(p.old_forwarded) + " -> " + num(p.new_forwarded));
  line(out, "sent again",
       plural(int64_t{p.old_forwarded} - p.new_forwarded, "message", "messages"));
  if (p.executed) {
    line(out, "region saved in", p.saved_region);
    out += "header as rewritten\n";
    fields_text(out, p.header_after);
  }
  return out;
}

std::string undo_text(const Store& s, const SavedRegion& saved, const UndoResult& r) {
  std::string out;
  const RewindEntry& e = saved.entry;
  line(out, "undo", s.path + ": the header as it was before the rewind of " + e.time);
  line(out, "put back from", saved.path);
  line(out, "forward offset", num(e.forward_to) + " -> " + num(e.forward_from));
  line(out, "forwarded", num(e.forwarded_to) + " -> " + num(e.forwarded_from));
  out += "header as rewritten\n";
  fields_text(out, r.header_after);
  return out;
}

void append_record_text(std::string& out, const ListedRecord& r) {
  const RecordCheck& c = *r.check;
  const MessageSummary& m = r.summary;
  const unsigned char* h = r.message_header;
  out += "record " + num(r.number) + "  offset " + num(c.offset) + "  message size " +
         num(c.message_size) + " bytes  header checksum " +
         (c.header_checksum_ok() ? "ok" : "BAD") + "  marker " + (c.marker_ok ? "ok" : "BAD") +
         "\n";
  line(out, "  signature",
       num(message_signature(h)) + "  transaction " + num(message_transaction(h)) +
           "  body checksum word " + num(c.body_checksum));
  line(out, "  request source", name_pair(h, kMsgRequestSourceAt, kMsgRequestSource2At));
  line(out, "  reply dest", name_pair(h, kMsgReplyDestAt, kMsgReplyDest2At));
  line(out, "  message source", name_pair(h, kMsgMessageSourceAt, kMsgMessageSource2At));
  line(out, "  message dest", name_pair(h, kMsgMessageDestAt, kMsgMessageDest2At));
  if (!c.steppable()) {
    line(out, "  STOPPED", std::string(defect_name(c.defect)) + ": the walk cannot go past it");
  } else if (r.body_read && !m.interpreted) {
    line(out, "  body", "type " + num(m.transaction_type) + ", could not be interpreted");
  } else if (r.body_read) {
    line(out, "  body",
         "type " + num(m.transaction_type) + ", list id " + num(m.list_id) + ", frequency " +
             tenths(m.frequency) + " s, " + plural(m.tag_count, "tag", "tags") + ", error code " +
             num(m.error_code) + ", first time stamp " +
             (m.has_first_time ? iso8601_utc(m.first_time.seconds) : std::string("(none)")));
  }
  out += '\n';
}

}  // namespace inspect
