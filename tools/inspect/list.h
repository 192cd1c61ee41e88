// list: the records in ring order, walked exactly as the utility's menu 2
// walks them (the same ring walk of the format layer), written record by
// record as they are read.
#ifndef VARNO_TOOLS_INSPECT_LIST_H_
#define VARNO_TOOLS_INSPECT_LIST_H_

#include <cstdint>
#include <functional>
#include <string_view>

#include "storeformat/message_record.h"
#include "tools/inspect/store.h"

namespace inspect {

class Progress;

// Takes each piece of the listing's text; false when it could not be written.
using ListSink = std::function<bool(std::string_view text)>;

struct ListOptions {
  bool json = false;          // JSON Lines rather than text blocks
  int64_t from = 1;           // first record number shown
  int64_t count = INT64_MAX;  // records shown at most
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
  RecordCheck stopped_at;
  // Records walked after the one at the header's newest offset: the header
  // counts more than its ring holds, and what follows is no part of it.
  uint32_t past_newest = 0;
};

// Lists the records of the open `store`, whose header must be usable. False
// with *failure when the file cannot be read.
bool list_store(const Store& store, const ListOptions& options, Progress* progress,
                const ListSink& sink, ListResult* result, Failure* failure);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_LIST_H_
