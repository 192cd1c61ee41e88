// Shared by the units of the store configuration; not for its callers.
#ifndef VARNO_STORECONFIG_STORE_CONFIG_INTERNAL_H_
#define VARNO_STORECONFIG_STORE_CONFIG_INTERNAL_H_

#include <string>

#include "storeconfig/store_config.h"

// printf into a string sized to fit: log texts are never cut or overrun,
// whatever the length of the names in them.
std::string snf_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A 32-character name field as a text (the field need not hold a terminator).
std::string snf_name(const char (&field)[kSnfNameSize]);

// Back to the start values; used by snf_reset_state_for_tests.
void snf_reset_device_state();

#endif  // VARNO_STORECONFIG_STORE_CONFIG_INTERNAL_H_
