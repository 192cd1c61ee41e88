// What the renderers share: time stamps as ISO 8601, text made valid UTF-8,
// and the pieces of the aligned text layout.
#ifndef VARNO_TOOLS_INSPECT_RENDER_COMMON_H_
#define VARNO_TOOLS_INSPECT_RENDER_COMMON_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace inspect {

// "1970-01-01T00:00:00Z" for seconds since 1970, appended to `out`.
void append_iso8601_utc(std::string& out, int64_t seconds);
std::string iso8601_utc(int64_t seconds);

// Appends the character of `bytes` at `i`: a whole, valid UTF-8 sequence as
// it is, or, in place of an invalid one, U+FFFD for its longest valid
// beginning (at least one byte). Returns the bytes used.
size_t append_utf8_char(std::string& out, std::string_view bytes, size_t i);
// `bytes` with every invalid sequence made U+FFFD, as JSON shows it.
std::string valid_utf8(std::string_view bytes);

// The block status of a header check as JSON and the text name it:
// "ok", "primary_bad", "backup_bad", "both_bad".
const char* block_status_name(int32_t status);

std::string hex32(uint32_t v);  // "0x5A5AA5A5"
std::string num(int64_t v);
std::string plural(int64_t n, const char* one, const char* many);  // "1 record", "2 records"
// A line of the aligned text: the label padded to 18 characters, the value.
void line(std::string& out, const std::string& label, const std::string& value);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_RENDER_COMMON_H_
