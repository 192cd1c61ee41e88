// The messaging library's C interface, as the store file utility and its file
// layer call it. Names and argument orders are the library's own; a build
// against the real library swaps only the implementation behind this header.
#ifndef VARNO_MESSAGING_VARNO_H_
#define VARNO_MESSAGING_VARNO_H_

#include <cstdint>

extern "C" {

// Status block: ten facility numbers, then ten error numbers. Slot i holds the
// pair (facility[i], error[i]); a slot whose error is -1 is free. A step failed
// when it recorded a pair (see varno_failed). Facility 1 carries a run-time errno, facility 13 the
// store file layer's own numbers, facility 2 this library's own failures.
enum { VARNO_STATUS_SLOTS = 10 };
struct VARNO_STATUS {
  int32_t facility[VARNO_STATUS_SLOTS];
  int32_t error[VARNO_STATUS_SLOTS];
};

// 8-byte time stamp: an uninterpreted word, then seconds since 1970 (UTC).
struct VARNO_TIMESTAMP {
  uint32_t word;
  int32_t seconds;
};

// What VARNO_CLIENT_ENVIRONMENT fills. The directory always ends in exactly
// one '/'; it is empty when the environment directory does not fit.
enum { VARNO_ENV_DIRECTORY_SIZE = 1024 };
struct VARNO_ENVIRONMENT {
  char directory[VARNO_ENV_DIRECTORY_SIZE];
};

// Facility numbers and the library's own error numbers.
enum {
  VARNO_FACILITY_ERRNO = 1,
  VARNO_FACILITY_LIBRARY = 2,
  VARNO_FACILITY_STORE = 13,
  VARNO_ERR_SERVICE = 201,      // service not resolvable
  VARNO_ERR_ENVIRONMENT = 202,  // environment directory unusable
  VARNO_ERR_PARSE = 210,        // message body cannot be interpreted
};

// Clear a status block (every error slot -1). A null block is accepted.
void VARNO_SERVER_INITBLK(VARNO_STATUS* block);
void VARNO_CLIENT_INITBLK(VARNO_STATUS* block);

// Record (facility, error) in the first free slot. A full block keeps its
// first ten pairs and drops the new one; a null block is accepted.
void VARNO_SERVER_LDBLK(int32_t facility, int32_t error, VARNO_STATUS* block);

// Starts the server side for the named TCP service. `mode` is always 1; the
// reply area is never read. Failure is a recorded pair: (2, 201) when the name
// is neither a TCP service nor a port 1..65535, (2, 202) when the environment
// directory cannot be prepared. Returns 0 on success, -1 on failure.
int32_t VARNO_SERVER_INIT(int32_t mode, const char* service, char* reply, VARNO_STATUS* block);

// The library's version text, valid for the whole run.
const char* VARNO_SERVER_VERSION(void);

void VARNO_SERVER_MSLEEP(int32_t milliseconds);

// Transaction type of a message (292-byte message header followed by its
// body): 1 for a reply to a data request, anything else unsolicited data.
int32_t VARNO_SERVER_TRANSTYPE(const void* message);

// Interpret a message body. Sets out 2 (tag status), 3 (transaction number),
// 5 (list identifier), 8 (number of tags), 9 (frequency, tenths of a second)
// and 15 (time stamps, null without tags); every other out-argument is set to
// 0 or null. Pointers stay valid until the next parse call. On failure (2, 210)
// is recorded and every out-argument is 0 or null. Any out-pointer may be null.
int32_t VARNO_SERVER_PARSE_GETREP(const void* message, const VARNO_STATUS** tag_status,
                                  int32_t* transaction, int32_t* out4, int32_t* list_id,
                                  int32_t* out6, int32_t* out7, int32_t* tag_count,
                                  int32_t* frequency, int32_t* out10, int32_t* out11,
                                  int32_t* out12, int32_t* out13, int32_t* out14,
                                  const VARNO_TIMESTAMP** time_stamps, VARNO_STATUS* block);
int32_t VARNO_SERVER_PARSE_UNSREP(const void* message, const VARNO_STATUS** tag_status,
                                  int32_t* transaction, int32_t* out4, int32_t* list_id,
                                  int32_t* out6, int32_t* out7, int32_t* tag_count,
                                  int32_t* frequency, int32_t* out10, int32_t* out11,
                                  int32_t* out12, int32_t* out13, int32_t* out14,
                                  const VARNO_TIMESTAMP** time_stamps, VARNO_STATUS* block);

// Fills the environment record (its directory, created on first use).
void VARNO_CLIENT_ENVIRONMENT(VARNO_ENVIRONMENT* environment);

// The text without its trailing line break (CR, LF or both). The result lives
// until the next call on the same thread.
const char* VARNO_FILTER_CRLF(const char* text);

// Append one entry to the debug log; printf-style.
void KernelDebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Append one entry "[tag] text" to the message log. Clears the block; records
// (1, errno) when the log cannot be written.
void VARNO_SERVER_LOGMSG(const char* tag, const char* text, VARNO_STATUS* block);

// The platform's last error code (errno values on POSIX).
uint32_t varno_GetLastError(void);

// Sets the last error code, as the system's SetLastError does for the real
// library: the file layer hands over here the code of each platform call
// whose code varno_GetLastError must give. Per thread, like the system's.
void varno_SetLastError(uint32_t code);

// Sets *kind to 1 exactly when the last error means "no such file" (the
// failure needs no report), else 0.
void varno_GetLastErrorEx(int32_t reserved1, int32_t reserved2, int32_t* kind);

// Registry-view bits to OR into every registry access mask.
uint32_t GetVarnoRegSamViewFlag(void);

}  // extern "C"

// True when the step recorded anything. Not only error numbers above 0 count:
// a read that meets the end of the file records (1, 0) first, since no system
// error happened, and that is a failure all the same.
inline bool varno_failed(const VARNO_STATUS& block) {
  return block.error[0] != -1;
}

#endif  // VARNO_MESSAGING_VARNO_H_
