// This system's table of system calls, for tests: every call behind the
// platform's files (open, stat, close, the transfers), their locks, renames
// and removals goes through it, so a test can fail or shorten any one of
// them, or watch it, below the code it tests; the product never knows.
// Each system has one table, SystemCalls, with the same names for the calls
// that match (open, close, lock, seek, read, write, pread, pwrite, sync,
// rename, remove) and the same shape for the transfers.
//
// The logs' appends, the directories, terminals and clocks call the system
// directly: a fault meant for a store file must not silently take the
// debug-log line that the file layer writes beside it.
#ifndef VARNO_PLATFORM_SYSTEM_CALLS_H_
#define VARNO_PLATFORM_SYSTEM_CALLS_H_

#ifdef _WIN32
#include "platform/platform_win32.h"
#else
#include "platform/platform_posix.h"
#endif

#endif  // VARNO_PLATFORM_SYSTEM_CALLS_H_
