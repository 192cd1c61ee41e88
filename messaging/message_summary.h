// What the messaging library makes of a message body, and the pairs of a
// status block as text: helpers over the library's calls, apart from its
// stand-in so that a build against the real library keeps them.
#ifndef VARNO_MESSAGING_MESSAGE_SUMMARY_H_
#define VARNO_MESSAGING_MESSAGE_SUMMARY_H_

#include <cstdint>
#include <string>

#include "messaging/varno.h"

// What the messaging library made of a whole message (header and body). The
// fields after `interpreted` are set only when it is true; the first time
// stamp only when the message has tags.
struct MessageSummary {
  int32_t transaction_type = 0;  // VARNO_SERVER_TRANSTYPE: 1 reply, else unsolicited
  bool interpreted = false;
  int32_t list_id = 0;
  int32_t frequency = 0;  // tenths of a second
  int32_t tag_count = 0;
  int32_t error_code = 0;  // the tag status's first error number
  bool has_first_time = false;
  VARNO_TIMESTAMP first_time = {0, 0};
};
MessageSummary summarize_message_body(const unsigned char* message);

// The pairs recorded in `status`, "(1, 2) (13, 13161)"; empty when none.
std::string status_pairs_text(const VARNO_STATUS& status);
// True when `status` holds the pair (facility, error) in a used slot.
bool status_holds(const VARNO_STATUS& status, int32_t facility, int32_t error);

#endif  // VARNO_MESSAGING_MESSAGE_SUMMARY_H_
