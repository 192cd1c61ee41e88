// What the header read saw, as the operator has always been shown it.
#include "commands/header_read.h"

#include "report/report.h"

void print_header_check(const HeaderCheck& check) {
  if (check.stage == HeaderCheck::kNotRead) return;
  if (check.revision_names_type()) {
    screen_print("Found non-zero revision number %d\n", static_cast<int>(check.revision));
  }
  if (check.type < 0) {
    screen_print("ERROR: Could not match header to any known type.\n");
    screen_print("\n*!* The file header is of an unknown type.  ANALYZE cannot continue.\n");
    return;
  }
  if (check.stage != HeaderCheck::kChecked) return;
  screen_print("Checking store file header blocks, size=%d\n", static_cast<int>(check.block_size));
  for (int copy = 0; copy < 2; ++copy) {
    if (check.computed[copy] != check.stored[copy]) {
      screen_print("BAD CRC: CRC #%d should be %08X, file CRC #%d is %08X\n", copy + 1,
                   check.computed[copy], copy + 1, check.stored[copy]);
    } else if (check.rule == BlockRule::kSigned && !check.signature_ok(copy)) {
      screen_print("NO SIGNATURE: block #%d does not begin with %08X\n", copy + 1, kStoreSignature);
    }
  }
  switch (check.block_status) {
    case kBlocksOk:
      screen_print("Header read in ok.\n");
      break;
    case kPrimaryBad:
      screen_print("Primary block bad.\n");
      break;
    case kBackupBad:
      screen_print("Header backup block bad.\n");
      break;
    default:
      screen_print("Both header blocks bad.\n");
      break;
  }
  screen_print("Processing file header type %d\n", static_cast<int>(check.type));
  if (check.block_status == kBothBad) {
    screen_print("*!* The file header is corrupt.  ANALYZE cannot continue\n");
  }
}

void read_store_header(int32_t fd, CommonHeader* header, VARNO_STATUS* status, BlockRule rule) {
  HeaderCheck check;
  check_store_header(fd, header, &check, status, rule);
  print_header_check(check);
}

void print_rewrite_warning(const VARNO_STATUS& status) {
  int32_t last = -1;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == VARNO_FACILITY_STORE) last = status.error[i];
  }
  if (last == kErrHeaderWriteSeek) {
    screen_print("Warning: ERROR trying to write file header: error in SEEK.\n");
  } else if (last == kErrHeaderWrite) {
    screen_print("Warning: ERROR trying to write file header: error in WRITE.\n");
  }
}
