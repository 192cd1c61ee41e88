// list --follow: the listing, then every record the service stores after it,
// as it stores them. Each look opens the file under its lock, reads the
// header and the new records, and closes it again: the lock is never held
// while it waits.
#ifndef VARNO_TOOLS_INSPECT_FOLLOW_H_
#define VARNO_TOOLS_INSPECT_FOLLOW_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/inspect/list.h"

namespace inspect {

struct FollowOptions {
  ListOptions list;  // its count: records shown in all, then the follow ends
  int32_t interval_ms = 1000;
};

// Follows `path` until the count is reached or an interrupt (Ctrl+C) comes.
// Records go to `sink`, each whole; what happens to the ring that the follow
// cannot simply go on from (a record overwritten, the file replaced, the
// forward pointer moved back, a look that failed) is said in one line on
// `notes`. Returns false with *failure only when the first look fails.
bool follow_store(const std::string& path, const FollowOptions& options, const ListSink& sink,
                  FILE* notes, Failure* failure);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_FOLLOW_H_
