// Byte editing of store file images held as strings (little-endian, as the
// files are), and the recorded pairs of a status block, for the tests.
#ifndef VARNO_TESTS_SUPPORT_BYTES_H_
#define VARNO_TESTS_SUPPORT_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "messaging/varno.h"
#include "storeformat/checksum.h"

namespace testsupport {

using Pairs = std::vector<std::pair<int32_t, int32_t>>;

// The (facility, error) pairs recorded in `status`, in order.
inline Pairs pairs_of(const VARNO_STATUS& status) {
  Pairs out;
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    out.emplace_back(status.facility[i], status.error[i]);
  }
  return out;
}

inline void put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
inline void put64(std::string& b, size_t at, uint64_t v) {
  put32(b, at, static_cast<uint32_t>(v));
  put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
inline uint32_t get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}
inline uint64_t get64(const std::string& b, size_t at) {
  return uint64_t{get32(b, at)} | (uint64_t{get32(b, at + 4)} << 32);
}
// The store file checksum of `n` bytes of `b` from `at`.
inline uint32_t checksum_of(const std::string& b, size_t at, uint32_t n) {
  uint32_t c = 0;
  store_file_checksum(b.data() + at, n, &c);
  return c;
}

}  // namespace testsupport

#endif  // VARNO_TESTS_SUPPORT_BYTES_H_
