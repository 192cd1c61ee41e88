#include "tools/inspect/render_common.h"

#include <chrono>
#include <cstdio>

#include "storeformat/store_header.h"

namespace inspect {

void append_iso8601_utc(std::string& out, int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds t{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss<std::chrono::seconds> time{t - day};
  // Written digit by digit: a listing formats one per record.
  char text[32];
  char* at = text;
  const auto put = [&at](int64_t v, int width) {
    for (int k = width - 1; k >= 0; --k) {
      at[k] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    at += width;
  };
  int64_t year = static_cast<int>(date.year());
  if (year < 0) {
    *at++ = '-';
    year = -year;
  }
  put(year, year > 9999 ? 5 : 4);
  *at++ = '-';
  put(static_cast<unsigned>(date.month()), 2);
  *at++ = '-';
  put(static_cast<unsigned>(date.day()), 2);
  *at++ = 'T';
  put(time.hours().count(), 2);
  *at++ = ':';
  put(time.minutes().count(), 2);
  *at++ = ':';
  put(time.seconds().count(), 2);
  *at++ = 'Z';
  out.append(text, at);
}

std::string iso8601_utc(int64_t seconds) {
  std::string text;
  append_iso8601_utc(text, seconds);
  return text;
}

namespace {

// Bytes a lead byte announces, and the range its first continuation byte must
// lie in (which rules out overlong forms, surrogates and values past U+10FFFF).
struct Lead {
  int length;
  unsigned char low;
  unsigned char high;
};

Lead lead_of(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

size_t append_utf8_char(std::string& out, std::string_view bytes, size_t i) {
  const auto b = static_cast<unsigned char>(bytes[i]);
  if (b < 0x80) {
    out += static_cast<char>(b);
    return 1;
  }
  const Lead lead = lead_of(b);
  size_t good = 1;  // bytes of the sequence that are valid so far
  if (lead.length > 0) {
    for (int k = 1; k < lead.length && i + good < bytes.size(); ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + good]);
      const unsigned char low = k == 1 ? lead.low : 0x80;
      const unsigned char high = k == 1 ? lead.high : 0xBF;
      if (c < low || c > high) break;
      ++good;
    }
  }
  if (lead.length > 0 && good == static_cast<size_t>(lead.length)) {
    out.append(bytes.data() + i, good);
  } else {
    out += "\xEF\xBF\xBD";
  }
  return good;
}

std::string valid_utf8(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) i += append_utf8_char(out, bytes, i);
  return out;
}

const char* block_status_name(int32_t status) {
  switch (status) {
    case kBlocksOk:
      return "ok";
    case kPrimaryBad:
      return "primary_bad";
    case kBackupBad:
      return "backup_bad";
    default:
      return "both_bad";
  }
}

std::string hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

std::string num(int64_t v) {
  return std::to_string(v);
}

std::string plural(int64_t n, const char* one, const char* many) {
  return num(n) + " " + (n == 1 ? one : many);
}

void line(std::string& out, const std::string& label, const std::string& value) {
  out += label;
  if (label.size() < 18) out.append(18 - label.size(), ' ');
  out += value;
  out += '\n';
}

}  // namespace inspect
