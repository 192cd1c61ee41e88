// The store file access layer: locked open and close, positioned 64-bit I/O,
// backup copies and the logging of platform errors. Every operation that can
// fail takes a status block last, clears it on entry and records
// (facility, error) pairs on failure; nothing here prints.
#ifndef VARNO_FILEACCESS_FILE_ACCESS_H_
#define VARNO_FILEACCESS_FILE_ACCESS_H_

#include <cstdint>
#include <string>

#include "messaging/varno.h"
#include "platform/platform.h"

// Open flags of the file layer (the runtime's open-mode values).
constexpr int32_t kOpenReadOnly = 0x0000;
constexpr int32_t kOpenWriteOnly = 0x0001;
constexpr int32_t kOpenReadWrite = 0x0002;
constexpr int32_t kOpenCreate = 0x0100;
constexpr int32_t kOpenTruncate = 0x0200;
constexpr int32_t kOpenText = 0x4000;

// Facility-13 error numbers of this layer.
enum : int32_t {
  kErrOpenFailed = 13153,   // open failed (behind (1, errno)); also: lock not taken
  kErrSeekEnd = 13154,      // seek to the end failed
  kErrRemove = 13157,       // removing a file failed
  kErrSeek = 13159,         // seek failed
  kErrNotFound = 13161,     // open: no such file
  kErrNotRegular = 13162,   // open: a FIFO, device or socket, refused without waiting on it
  kErrLockTimeout = 13163,  // open: the store file lock was not had within the time set
  kErrReadHandle = 13180,   // read on a negative descriptor
  kErrReadBuffer = 13181,   // read into a null buffer
  kErrRead = 13182,         // read failed or ended early
  kErrWriteHandle = 13200,  // write on a negative descriptor
  kErrWriteBuffer = 13201,  // write from a null buffer
  kErrWrite = 13202,        // write failed, wrote nothing, or did not reach the disk
  kErrClose = 13210,        // close failed
};

// Origins of a seek.
constexpr int32_t kSeekSet = 0;
constexpr int32_t kSeekCur = 1;
constexpr int32_t kSeekEnd = 2;

// Platform open mode for the layer's flags: each known bit passed on, binary
// (0x8000) unless text (0x4000) was asked for, every other bit dropped.
int32_t varno_s_file_oflags(int32_t flags);

// Opens `path` under its store file lock, named after the text behind the
// path's last '.' (the whole path without one), its final component spelled
// as the file system stores it (platform::stored_spelling: on Windows every
// spelling of one file takes one lock; a symbolic link takes the lock of the
// file it leads to). Waits for the lock as
// varno_s_file_set_lock_wait last set (without limit unless set there; a wait
// that runs out records (13, 13163) alone), and the lock stays held until
// the matching varno_s_file_close. Returns the
// handle, or -1 with the pairs in `status`: (13, 13161) for a missing file,
// (13, 13162) for a name that is no regular file (refused at once, never
// waited on), (1, errno) then (13, 13153) otherwise, including a lock that
// cannot be taken (the open never goes on unlocked). After a failed open,
// varno_GetLastError() gives the platform's code of the failure. A null
// `status` returns -1 and does nothing. A file newly opened for writing under a handle is logged to
// the debug log. After a successful open with kOpenCreate, varno_GetLastError() tells whether the
// file was there already (the platform's "already exists" code) or was created by this open; the
// test is part of the open itself, so a caller that must never touch an existing file can open
// without kOpenTruncate and close it again untouched.
int32_t varno_s_file_open(const char* path, int32_t flags, VARNO_STATUS* status);

// Creates `path`, which must not exist yet, and opens it for reading and
// writing in binary mode, under its store file lock as varno_s_file_open
// does (with kOpenReadWrite | kOpenCreate, the same debug-log line). An
// existing file is never opened: the open fails with (1, errno) then
// (13, 13153), and varno_GetLastError() gives the platform's "already
// exists" code (platform::kErrorAlreadyExists). No flag bit of the open
// asks for this, so that callers of varno_s_file_open cannot.
int32_t varno_s_file_create_new(const char* path, VARNO_STATUS* status);

// How varno_s_file_open waits from now on for a store file lock another
// process holds (see platform::LockWait): without limit unless set here. An
// open whose wait runs out records (13, 13163) alone and holds nothing.
void varno_s_file_set_lock_wait(const platform::LockWait& wait);
// The name of the store file lock an open of `path` takes.
std::string varno_s_file_lock_name(const char* path);

// Monitoring's look at a store file, without the store file lock and without
// waiting for anything, so that it never holds up the service nor waits
// behind an operator. What it reads may be in the middle of a write; the
// caller judges it.
//
// peek_open opens `path` read-only and sets *file_size; -1 with the pairs of
// varno_s_file_open's failures ((13, 13161), (13, 13162), or (1, errno)
// (13, 13153)). peek reads up to `length` bytes at `offset` in one call and
// returns the bytes read (fewer at the end of the file); -1 with (1, errno)
// (13, 13182). peek_close closes what peek_open opened; there is no lock to
// give back, and nothing read can be lost.
int32_t varno_s_file_peek_open(const char* path, int64_t* file_size, VARNO_STATUS* status);
int32_t varno_s_file_peek(int32_t fd, void* buffer, uint32_t length, int64_t offset,
                          VARNO_STATUS* status);
void varno_s_file_peek_close(int32_t fd);

// Closes `handle` (-1: nothing) and releases its store file lock. A failed
// close records (1, errno), (13, 13210) and keeps the lock. A null `status`
// does nothing.
void varno_s_file_close(int32_t handle, VARNO_STATUS* status);

// Positioned I/O. Each clears `status` on entry and records on failure:
// seek_end (1, errno), (13, 13154), result -1 (else the file size);
// seek      (1, errno), (13, 13159), result -1 (else the new position);
// read      (13, 13180) negative descriptor, (13, 13181) null buffer,
//           (1, errno), (13, 13182) when a read call fails or meets the end of
//           file (errno 0 then); short reads are continued;
// write     the same with 13200, 13201, 13202.
// read and write return the bytes transferred. A null `status` returns 0 and
// does nothing.
int64_t varno_s_file_seek_end(int32_t fd, VARNO_STATUS* status);
int64_t varno_s_file_seek(int32_t fd, int64_t offset, int32_t origin, VARNO_STATUS* status);
int32_t varno_s_file_read(int32_t fd, void* buffer, uint32_t count, VARNO_STATUS* status);
int32_t varno_s_file_write(int32_t fd, const void* buffer, uint32_t count, VARNO_STATUS* status);
// Forces what was written on `fd` to stable storage. A failure records
// (1, errno), (13, 13202): data that may not have reached the disk count as
// not written.
void varno_s_file_sync(int32_t fd, VARNO_STATUS* status);

// The words of the user's system for the run-time error number `error` of a
// (1, error) pair this layer recorded: when the layer's last failed platform
// call gave that number, that failure as the system words it
// (platform::describe_error: on Windows the system's own text, "Access is
// denied. (store file lock Global\DEV1)"); otherwise the run-time's text of
// the number ("No such file or directory"). One line.
std::string varno_s_file_error_text(int32_t error);

// One debug-log line "[function] [text]" with the platform's description of
// `code` (0: no error, and nothing is logged without a message). Never fails
// towards its caller.
void LogWntError(const char* function, const char* message, uint32_t code);

// Removes `path`; with `backup` 1 first rotates up to ten backup copies
// ("%s_BCK%0.2d"), their number from the registry. A failed removal records
// (13, 13157) unless the platform says the file was simply not there. When the
// rotation fails the file is kept in place and (13, 13157) is recorded.
void varno_s_file_remove(const char* path, int32_t backup, VARNO_STATUS* status);
// Number of backup copies to keep, 0 to 10, from the registry.
uint32_t varno_s_file_backup_count();
// Rotates the copies of `path` for `count` copies; 1 when every step succeeded.
int32_t varno_s_file_backup(const char* path, uint32_t count);

#endif  // VARNO_FILEACCESS_FILE_ACCESS_H_
