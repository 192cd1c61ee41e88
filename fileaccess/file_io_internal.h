// Shared between the open/close, the positioned I/O, the backups and the
// error texts of the file layer.
#ifndef VARNO_FILEACCESS_FILE_IO_INTERNAL_H_
#define VARNO_FILEACCESS_FILE_IO_INTERNAL_H_

#include <cstdint>

#include "platform/platform.h"

// A regular file opened through the layer: from now on its positioned reads
// are served through a read-ahead buffer and its position is kept here.
void file_io_attach(int32_t fd);
// The handle is being closed: forget its position and buffer.
void file_io_detach(int32_t fd);

// Keeps `failure`, a failed platform call of this layer, as the one that
// varno_s_file_error_text describes; returns its run-time error number, for
// the (1, errno) pair.
int32_t note_failure(const platform::Status& failure);

// After a platform call whose code the library's last error gives (a lock,
// an open, a removal, a rename), sets that error as the system would: the
// call's code, or `found` when it succeeded (the "already exists" of a create
// that found its file). A failure is kept as note_failure keeps it. Returns
// `call`.
platform::Status noted(platform::Status call, uint32_t found = 0);

#endif  // VARNO_FILEACCESS_FILE_IO_INTERNAL_H_
