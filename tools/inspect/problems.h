// The problem kinds of verify: each with its stable machine name, which
// scripts match, and its line of explanation.
#ifndef VARNO_TOOLS_INSPECT_PROBLEMS_H_
#define VARNO_TOOLS_INSPECT_PROBLEMS_H_

#include <string>

#include "storeformat/message_record.h"
#include "tools/inspect/verify.h"

namespace inspect {

// "record_header_checksum".
const char* problem_name(ProblemKind kind);
// One line of explanation, e.g. "message size 5000 runs past the end of the
// file (at most 404 fit)".
std::string problem_text(const Problem& problem);
// The name of the defect that stops a walk ("message_size_past_end").
const char* defect_name(RecordCheck::Defect defect);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_PROBLEMS_H_
