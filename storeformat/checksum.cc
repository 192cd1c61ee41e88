#include "storeformat/checksum.h"

#include <array>

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
// steps reg = word ^ G0(b0) ^ G1(b1) ^ G2(b2) ^ G3(b3) for the register's four
// bytes: the tables hold F and the G's, computed by the definition itself.
struct Tables {
  std::array<uint32_t, 256> byte{};
  std::array<std::array<uint32_t, 256>, 4> word{};
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
      t.word[j][i] = w;
    }
  }
  return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

uint32_t store_file_checksum_reference(const void* data, uint32_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t reg = 0;
  for (uint32_t i = 0; i < length; ++i) {
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) reg = step(reg, (p[i] & mask) ? 1u : 0u);
  }
  return reg;
}

void store_file_checksum(const void* data, uint32_t length, uint32_t* result) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t reg = 0;
  uint32_t i = 0;
  for (; length - i >= 4; i += 4) {
    const uint32_t in = (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) |
                        (uint32_t{p[i + 2]} << 8) | uint32_t{p[i + 3]};
    reg = in ^ kTables.word[3][reg >> 24] ^ kTables.word[2][(reg >> 16) & 0xFF] ^
          kTables.word[1][(reg >> 8) & 0xFF] ^ kTables.word[0][reg & 0xFF];
  }
  for (; i < length; ++i) reg = ((reg << 8) | p[i]) ^ kTables.byte[reg >> 24];
  *result = reg;
}
