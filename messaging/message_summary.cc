// The library's reading of a message body, and status pairs as text.
#include "messaging/message_summary.h"

MessageSummary summarize_message_body(const unsigned char* message) {
  VARNO_STATUS status;
  const VARNO_STATUS* tag_status = nullptr;
  const VARNO_TIMESTAMP* stamps = nullptr;
  int32_t transaction = 0, list_id = 0, tags = 0, frequency = 0;
  int32_t unused[9] = {};
  VARNO_SERVER_INITBLK(&status);
  MessageSummary summary;
  summary.transaction_type = VARNO_SERVER_TRANSTYPE(message);
  if (summary.transaction_type == 1) {
    VARNO_SERVER_PARSE_GETREP(message, &tag_status, &transaction, &unused[0], &list_id, &unused[1],
                              &unused[2], &tags, &frequency, &unused[3], &unused[4], &unused[5],
                              &unused[6], &unused[7], &stamps, &status);
  } else {
    VARNO_SERVER_PARSE_UNSREP(message, &tag_status, &transaction, &unused[0], &list_id, &unused[1],
                              &unused[2], &tags, &frequency, &unused[3], &unused[4], &unused[5],
                              &unused[6], &unused[7], &stamps, &status);
  }
  // Nothing the library did not set is kept.
  if (varno_failed(status) || tag_status == nullptr) return summary;
  summary.interpreted = true;
  summary.list_id = list_id;
  summary.frequency = frequency;
  summary.tag_count = tags;
  summary.error_code = tag_status->error[0];
  if (tags > 0 && stamps != nullptr) {
    summary.has_first_time = true;
    summary.first_time = stamps[0];
  }
  return summary;
}

std::string status_pairs_text(const VARNO_STATUS& status) {
  std::string text;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (!text.empty()) text += ' ';
    text += "(" + std::to_string(status.facility[i]) + ", " + std::to_string(status.error[i]) + ")";
  }
  return text;
}

bool status_holds(const VARNO_STATUS& status, int32_t facility, int32_t error) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == facility && status.error[i] == error) return true;
  }
  return false;
}
