// Store file integers are little-endian whatever the host is, so they are
// read and written byte by byte.
#ifndef VARNO_STOREFORMAT_BYTE_ORDER_H_
#define VARNO_STOREFORMAT_BYTE_ORDER_H_

#include <cstdint>

inline uint32_t get_u32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void put_u32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline int64_t get_i64(const unsigned char* p) {
  return static_cast<int64_t>(uint64_t{get_u32(p)} | (uint64_t{get_u32(p + 4)} << 32));
}

inline void put_i64(unsigned char* p, int64_t v) {
  const auto u = static_cast<uint64_t>(v);
  put_u32(p, static_cast<uint32_t>(u));
  put_u32(p + 4, static_cast<uint32_t>(u >> 32));
}

#endif  // VARNO_STOREFORMAT_BYTE_ORDER_H_
