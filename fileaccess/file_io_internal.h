// Shared between the open/close and the positioned I/O of the file layer.
#ifndef VARNO_FILEACCESS_FILE_IO_INTERNAL_H_
#define VARNO_FILEACCESS_FILE_IO_INTERNAL_H_

#include <cstdint>

// A regular file opened through the layer: from now on its positioned reads
// are served through a read-ahead buffer and its position is kept here.
void file_io_attach(int32_t fd);
// The handle is being closed: forget its position and buffer.
void file_io_detach(int32_t fd);

#endif  // VARNO_FILEACCESS_FILE_IO_INTERNAL_H_
