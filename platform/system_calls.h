// This system's table of system calls, for tests: every call behind the
// platform's files (open, stat, close, the transfers), their locks, renames
// and removals goes through it, and so do the registry's calls, the system
// log's and the user's name; a test can fail or shorten any one of them, or
// watch it, below the code it tests, and the product never knows. Each
// system has one table, SystemCalls, with the same names for the calls that
// match (open, close, lock, seek, read, write, pread, pwrite, sync, rename,
// remove, registry) and the same shape for the transfers and the registry.
//
// The logs' appends, the directories, terminals and clocks call the system
// directly, as do the registry stand-in's files on POSIX: a fault meant for
// a store file must not silently take the debug-log line that the file
// layer writes beside it.
#ifndef VARNO_PLATFORM_SYSTEM_CALLS_H_
#define VARNO_PLATFORM_SYSTEM_CALLS_H_

#ifdef _WIN32
#include "platform/platform_win32.h"
#else
#include "platform/platform_posix.h"
#endif

#endif  // VARNO_PLATFORM_SYSTEM_CALLS_H_
