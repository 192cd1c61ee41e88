// The header read of the commands that show the operator what the read saw,
// and the rewrite's warning line.
#ifndef VARNO_COMMANDS_HEADER_READ_H_
#define VARNO_COMMANDS_HEADER_READ_H_

#include <cstdint>

#include "messaging/varno.h"
#include "storeformat/store_header.h"

// The screen lines of a header check, in the order the read met them: the
// revision line, the unknown-type lines, the checking line and any BAD CRC
// lines, the block verdict, the type line, the corrupt-header line.
void print_header_check(const HeaderCheck& check);

// check_store_header, then its lines on the screen. Same record, status and
// current header type as the check.
void read_store_header(int32_t fd, CommonHeader* header, VARNO_STATUS* status,
                       BlockRule rule = BlockRule::kChecksum);

// The warning line of a failed rewrite_store_header, chosen by the pair the
// rewrite recorded last: SEEK for (13, 13520), WRITE for (13, 13521).
// Nothing for any other block.
void print_rewrite_warning(const VARNO_STATUS& status);

#endif  // VARNO_COMMANDS_HEADER_READ_H_
