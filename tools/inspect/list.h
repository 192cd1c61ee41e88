// list: the records in ring order, walked exactly as the utility's menu 2
// walks them (the same ring walk of the format layer), written record by
// record as they are read.
#ifndef VARNO_TOOLS_INSPECT_LIST_H_
#define VARNO_TOOLS_INSPECT_LIST_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "storeformat/message_record.h"
#include "tools/inspect/store.h"

namespace inspect {

class Progress;
struct ListedRecord;

// Which records a listing shows. A record is shown when it passes every
// filter given. The time filters look at the message's first time stamp:
// --since is inclusive, --until exclusive, so that two listings, one until
// T and one since T, show each record once. A record whose time cannot be
// read (damaged, or a message without time stamps) fails every time filter.
struct ListFilter {
  bool has_since = false;
  int64_t since = 0;  // seconds since 1970, UTC
  bool has_until = false;
  int64_t until = 0;
  std::string node;      // one of the record's eight names, exactly; empty: any
  bool pending = false;  // only records not forwarded yet

  bool any() const { return has_since || has_until || !node.empty() || pending; }
  // `pending_record`: the record is at or after the forward pointer.
  bool accepts(const ListedRecord& record, bool pending_record) const;
};

// Reads a time bound as the command line gives it, in UTC: "YYYY-MM-DD",
// "YYYY-MM-DDTHH:MM", "YYYY-MM-DDTHH:MM:SS" (a space for the 'T' too,
// an optional 'Z' at the end), or seconds since 1970 as "@N" or "N". False
// when it is none of these, or names no date.
bool parse_time_bound(const std::string& text, int64_t* seconds);

// Takes each piece of the listing's text; false when it could not be written.
using ListSink = std::function<bool(std::string_view text)>;

struct ListOptions {
  bool json = false;          // JSON Lines rather than text blocks
  int64_t from = 1;           // first record number looked at
  int64_t count = INT64_MAX;  // records shown at most
  ListFilter filter;
  int64_t tail = -1;  // only the last `tail` records that pass (-1: all), `count` of them at most
};

struct ListResult {
  enum End : int32_t {
    kDone,         // the header's count, or the last record asked for
    kStopped,      // at a record the walk cannot step over (`stopped_at`)
    kEndedEarly,   // the end of the file before the header's count
    kWriteFailed,  // the sink refused a piece
  };
  End end = kDone;
  uint32_t walked = 0;  // records walked past
  int64_t shown = 0;    // records shown
  RecordCheck stopped_at;
  // Records walked after the one at the header's newest offset: the header
  // counts more than its ring holds, and what follows is no part of it.
  uint32_t past_newest = 0;
};

// Lists the records of the open `store`, whose header must be usable, each
// under its number in the ring, those that pass options.filter from
// options.from on. With options.tail the last records that pass are kept
// back until the walk ends (their text, in memory). False with *failure
// when the file cannot be read.
bool list_store(const Store& store, const ListOptions& options, Progress* progress,
                const ListSink& sink, ListResult* result, Failure* failure);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_LIST_H_
