#include "storeformat/checksum.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;

// One step of the definition: note bit 31, shift the message bit in at the
// bottom, reduce by the generator when bit 31 left the register.
constexpr uint32_t step(uint32_t reg, uint32_t bit) {
  const bool top = (reg & 0x80000000u) != 0;
  reg = (reg << 1) | bit;
  return top ? reg ^ kPolynomial : reg;
}

// The register is linear in its old value and in the message bits, and the
// message bits of one byte never reach bit 31 within that byte's eight steps.
// So after eight steps reg = (reg << 8 | byte) ^ F(reg >> 24), and after 32
// steps (one big-endian word w) reg = w ^ G(reg), G being linear: the XOR of
// G_j(byte j of reg). Keeping S = G(reg) instead of reg turns this into the
// usual table form, S1 = G(w ^ S), which slices 16 bytes at a time:
// S4 = G4(w0 ^ S) ^ G3(w1) ^ G2(w2) ^ G1(w3). Every table is computed from
// the definition itself.
struct Tables {
  std::array<uint32_t, 256> byte{};
  // power[k - 1][j][b] = G^k(b << 8j)
  std::array<std::array<std::array<uint32_t, 256>, 4>, 4> power{};
};

constexpr Tables make_tables() {
  Tables t;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int k = 0; k < 8; ++k) reg = step(reg, 0);
    t.byte[i] = reg;
    for (uint32_t j = 0; j < 4; ++j) {
      uint32_t w = i << (8 * j);
      for (int k = 0; k < 32; ++k) w = step(w, 0);
      t.power[0][j][i] = w;
    }
  }
  for (size_t k = 1; k < 4; ++k) {
    for (uint32_t j = 0; j < 4; ++j) {
      for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t x = t.power[k - 1][j][i];
        t.power[k][j][i] = t.power[0][0][x & 0xFF] ^ t.power[0][1][(x >> 8) & 0xFF] ^
                           t.power[0][2][(x >> 16) & 0xFF] ^ t.power[0][3][x >> 24];
      }
    }
  }
  return t;
}

constexpr Tables kTables = make_tables();

inline uint32_t be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// G^k(x) through the tables of power k.
inline uint32_t apply(size_t k, uint32_t x) {
  const auto& g = kTables.power[k - 1];
  return g[0][x & 0xFF] ^ g[1][(x >> 8) & 0xFF] ^ g[2][(x >> 16) & 0xFF] ^ g[3][x >> 24];
}

}  // namespace

uint32_t store_file_checksum_reference(const void* data, uint32_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t reg = 0;
  for (uint32_t i = 0; i < length; ++i) {
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) reg = step(reg, (p[i] & mask) ? 1u : 0u);
  }
  return reg;
}

uint32_t store_file_checksum_sliced(const void* data, uint32_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t reg = 0;
  uint32_t i = 0;
  if (length >= 4) {
    // S form while at least one more word follows what is consumed, so that
    // the last word turns S back into the register: reg = w ^ S.
    uint32_t s = 0;
    for (; length - i >= 20; i += 16) {
      s = apply(4, be32(p + i) ^ s) ^ apply(3, be32(p + i + 4)) ^ apply(2, be32(p + i + 8)) ^
          apply(1, be32(p + i + 12));
    }
    for (; length - i >= 8; i += 4) s = apply(1, be32(p + i) ^ s);
    reg = be32(p + i) ^ s;
    i += 4;
  }
  for (; i < length; ++i) reg = ((reg << 8) | p[i]) ^ kTables.byte[reg >> 24];
  return reg;
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

// x^k mod P for k >= 32, by the definition's own step (a step with a zero
// message bit multiplies by x modulo P).
constexpr uint32_t x_power_mod(int k) {
  uint32_t r = kPolynomial;  // x^32 mod P
  for (int i = 32; i < k; ++i) r = step(r, 0);
  return r;
}

constexpr uint32_t kXPow64 = x_power_mod(64);
constexpr uint32_t kXPow128 = x_power_mod(128);
constexpr uint32_t kXPow192 = x_power_mod(192);

// The checksum is M(x) mod P(x) for the message bits M, first bit highest.
// With carry-less multiplication a 128-bit remainder candidate X folds over
// the next 16 bytes B: X' = H(X)*(x^192 mod P) + L(X)*(x^128 mod P) + B.
// The bytes that do not fill a 16-byte block come first and go through the
// tables.
__attribute__((target("pclmul,ssse3"))) uint32_t checksum_clmul(const unsigned char* p,
                                                                uint32_t length) {
  const uint32_t head = length % 16;
  uint32_t reg = 0;
  for (uint32_t i = 0; i < head; ++i) reg = ((reg << 8) | p[i]) ^ kTables.byte[reg >> 24];
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i fold = _mm_set_epi64x(kXPow192, kXPow128);
  // The head's remainder, moved up past the first block.
  __m128i x = _mm_xor_si128(
      _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(reg)), fold, 0x00),
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + head)), reverse));
  for (uint32_t at = head + 16; at < length; at += 16) {
    x = _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, fold, 0x11), _mm_clmulepi64_si128(x, fold, 0x00)),
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)), reverse));
  }
  // 128 bits to 96 to 64, then the last 32 bits through the word table.
  const __m128i k64 = _mm_set_epi64x(0, kXPow64);
  __m128i y = _mm_xor_si128(_mm_clmulepi64_si128(x, k64, 0x01), _mm_move_epi64(x));
  __m128i t =
      _mm_xor_si128(_mm_clmulepi64_si128(_mm_srli_si128(y, 8), k64, 0x00), _mm_move_epi64(y));
  const uint64_t v = static_cast<uint64_t>(_mm_cvtsi128_si64(t));
  return apply(1, static_cast<uint32_t>(v >> 32)) ^ static_cast<uint32_t>(v);
}

bool have_clmul() {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
  return have;
}

}  // namespace

void store_file_checksum(const void* data, uint32_t length, uint32_t* result) {
  if (length >= 32 && have_clmul()) {
    *result = checksum_clmul(static_cast<const unsigned char*>(data), length);
  } else {
    *result = store_file_checksum_sliced(data, length);
  }
}
#else
void store_file_checksum(const void* data, uint32_t length, uint32_t* result) {
  *result = store_file_checksum_sliced(data, length);
}
#endif
