// The table of verify's problem kinds.
#include "tools/inspect/problems.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "storeformat/store_header.h"
#include "tools/inspect/render_common.h"

namespace inspect {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

std::string header_copy_text(const Problem& p, const char* copy) {
  if (p.unsigned_block) {
    return format(
        "%s block: its checksum holds, but it begins with 0x%08llX, not the signature "
        "0x%08llX",
        copy, static_cast<long long>(p.found), static_cast<long long>(p.expected));
  }
  return format("%s block: checksum 0x%08llX stored, 0x%08llX computed", copy,
                static_cast<long long>(p.found), static_cast<long long>(p.expected));
}

// A kind, its stable name, and its text from the problem and its expected
// (`e`) and found (`f`) value.
struct Kind {
  ProblemKind kind;
  const char* name;
  std::string (*text)(const Problem& p, long long e, long long f);
};

constexpr Kind kKinds[] = {
    {ProblemKind::kHeaderPrimaryBad, "header_primary_bad",
     [](const Problem& p, long long, long long) { return header_copy_text(p, "primary"); }},
    {ProblemKind::kHeaderBackupBad, "header_backup_bad",
     [](const Problem& p, long long, long long) { return header_copy_text(p, "backup"); }},
    {ProblemKind::kHeaderBlocksDiffer, "header_blocks_differ",
     [](const Problem&, long long, long long) -> std::string {
       return "both blocks check out but differ: neither can be trusted";
     }},
    {ProblemKind::kHeaderShort, "header_short",
     [](const Problem&, long long e, long long f) {
       return format("the file ends after %lld bytes, inside the %lld-byte header region", f, e);
     }},
    {ProblemKind::kUnknownLayout, "unknown_layout",
     [](const Problem&, long long, long long) -> std::string {
       return "no header type matches the header region";
     }},
    {ProblemKind::kRecordHeaderPastEnd, "record_header_past_end",
     [](const Problem&, long long e, long long f) {
       return format("%lld bytes left before the end of the file; a record header needs %lld", f,
                     e);
     }},
    {ProblemKind::kRecordMarker, "record_marker",
     [](const Problem&, long long, long long f) {
       return format("record marker %02llX %02llX %02llX %02llX, not 5B 5D 5C 5E (\"[]\\^\")",
                     f & 0xFF, (f >> 8) & 0xFF, (f >> 16) & 0xFF, (f >> 24) & 0xFF);
     }},
    {ProblemKind::kRecordHeaderChecksum, "record_header_checksum",
     [](const Problem&, long long e, long long f) {
       return format("header checksum 0x%08llX stored, 0x%08llX computed", f, e);
     }},
    {ProblemKind::kBodyChecksumWord, "body_checksum_word",
     [](const Problem&, long long, long long f) {
       return format("body checksum word 0x%08llX, not 0", f);
     }},
    {ProblemKind::kMessageSizeSmall, "message_size_small",
     [](const Problem&, long long e, long long f) {
       return format("message size %lld, below %lld", f, e);
     }},
    {ProblemKind::kMessageSizePastEnd, "message_size_past_end",
     [](const Problem&, long long e, long long f) {
       return format("message size %lld runs past the end of the file (at most %lld fit)", f, e);
     }},
    {ProblemKind::kWalkShort, "walk_short",
     [](const Problem&, long long e, long long f) {
       return format("the ring holds %lld records; the header counts %lld", e, f);
     }},
    {ProblemKind::kWalkLong, "walk_long",
     [](const Problem&, long long e, long long f) {
       return format("%lld records from the oldest to the newest; the header counts %lld", e, f);
     }},
    {ProblemKind::kNewestOffsetMismatch, "newest_offset_mismatch",
     [](const Problem&, long long e, long long f) {
       return format("newest offset %lld, but the ring's newest record starts at %lld", f, e);
     }},
    {ProblemKind::kForwardOffsetNotRecord, "forward_offset_not_record",
     [](const Problem& p, long long, long long) {
       return format("forward offset %lld is not the start of a record of the ring",
                     static_cast<long long>(p.offset));
     }},
    {ProblemKind::kForwardedExceedsMessages, "forwarded_exceeds_messages",
     [](const Problem&, long long e, long long f) {
       return format("%lld forwarded of %lld messages", f, e);
     }},
    {ProblemKind::kOldestAfterNewest, "oldest_after_newest",
     [](const Problem&, long long e, long long f) {
       return "oldest time stamp " + iso8601_utc(f) + " is after the newest, " + iso8601_utc(e);
     }},
    {ProblemKind::kMessageSizeSwallows, "message_size_swallows",
     [](const Problem&, long long e, long long f) {
       return format("message size %lld runs over the record at %lld", f, e);
     }},
    {ProblemKind::kMessageSizeShort, "message_size_short",
     [](const Problem&, long long e, long long f) {
       return format(
           "message size %lld ends short of the record at %lld, and the message cannot be read "
           "with it",
           f, e);
     }},
    {ProblemKind::kRecordShifted, "record_shifted",
     [](const Problem&, long long e, long long) {
       return format(
           "not where the step rule puts the next record (%lld): bytes inserted or "
           "deleted",
           e);
     }},
    {ProblemKind::kRecordDuplicate, "record_duplicate",
     [](const Problem&, long long e, long long) {
       return format("a byte-identical copy of the record at %lld; it counts once", e);
     }},
    {ProblemKind::kRecordUnplaced, "record_unplaced",
     [](const Problem& p, long long e, long long f) {
       return format("intact record, transaction %lld, ", f) +
              (p.timed ? "time " + iso8601_utc(e) : std::string("no time stamp")) +
              ": the ring may lack it, but its place is not certain";
     }},
    {ProblemKind::kOldestOffsetMismatch, "oldest_offset_mismatch",
     [](const Problem&, long long e, long long f) {
       return format("oldest offset %lld, but the ring's oldest record starts at %lld", f, e);
     }},
    {ProblemKind::kCurrentOffsetMismatch, "current_offset_mismatch",
     [](const Problem&, long long e, long long f) {
       return format("current offset %lld, but the next record goes to %lld", f, e);
     }},
    {ProblemKind::kLastOffsetMismatch, "last_offset_mismatch",
     [](const Problem&, long long e, long long f) {
       return format("last offset %lld, but the ring's newest record starts at %lld", f, e);
     }},
    {ProblemKind::kLastSizeMismatch, "last_size_mismatch",
     [](const Problem&, long long e, long long f) {
       return format("last message size %lld, but the newest record's is %lld", f, e);
     }},
    {ProblemKind::kOldestTimeMismatch, "oldest_time_mismatch",
     [](const Problem&, long long e, long long f) {
       return "oldest time stamp " + iso8601_utc(f) + ", but the oldest message's is " +
              iso8601_utc(e);
     }},
    {ProblemKind::kNewestTimeMismatch, "newest_time_mismatch",
     [](const Problem&, long long e, long long f) {
       return "newest time stamp " + iso8601_utc(f) + ", but the newest message's is " +
              iso8601_utc(e);
     }},
    {ProblemKind::kForwardCountMismatch, "forward_count_mismatch",
     [](const Problem&, long long e, long long f) {
       return format("%lld forwarded, but the forward offset lies behind %lld records of the ring",
                     f, e);
     }},
    {ProblemKind::kHeaderUnreconciled, "header_unreconciled",
     [](const Problem&, long long, long long) -> std::string {
       return "the header names no end of the ring the records form: the records were taken "
              "in the order the layout gives";
     }},
    {ProblemKind::kStaleRecords, "stale_records",
     [](const Problem&, long long e, long long f) {
       return format(
           "%lld intact records up to %lld that are no part of the ring (a free gap "
           "keeps older records); not a fault",
           f, e);
     }},
};

constexpr bool table_matches_kinds() {
  for (int k = 0; k < kProblemKinds; ++k) {
    if (static_cast<int>(kKinds[k].kind) != k) return false;
  }
  return true;
}
static_assert(std::size(kKinds) == kProblemKinds, "one entry per problem kind");
static_assert(table_matches_kinds(), "the entries in the order of the kinds");

}  // namespace

const char* problem_name(ProblemKind kind) {
  return kKinds[static_cast<int>(kind)].name;
}

std::string problem_text(const Problem& problem) {
  return kKinds[static_cast<int>(problem.kind)].text(problem, problem.expected, problem.found);
}

const char* defect_name(RecordCheck::Defect defect) {
  switch (defect) {
    case RecordCheck::kHeaderPastEnd:
      return "record_header_past_end";
    case RecordCheck::kSizeSmall:
      return "message_size_small";
    case RecordCheck::kSizePastEnd:
      return "message_size_past_end";
    case RecordCheck::kUnreadable:
      return "unreadable";
    default:
      return "none";
  }
}

}  // namespace inspect
