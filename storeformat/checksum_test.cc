#include "storeformat/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

uint32_t fast(const std::string& s) {
  uint32_t r = 0xDEADBEEF;
  store_file_checksum(s.data(), static_cast<uint32_t>(s.size()), &r);
  return r;
}

TEST(StoreFileChecksum, WorkedValues) {
  EXPECT_EQ(fast(""), 0x00000000u);
  EXPECT_EQ(fast("a"), 0x00000061u);
  EXPECT_EQ(fast("abc"), 0x00616263u);
  EXPECT_EQ(fast("abcd"), 0x61626364u);
  EXPECT_EQ(fast("abcde"), 0xCA07BF45u);
  EXPECT_EQ(fast("123456789"), 0xCCBD34E2u);
  EXPECT_EQ(fast(std::string(92, '\0')), 0u);
  for (const char* s : {"", "a", "abc", "abcd", "abcde", "123456789"}) {
    EXPECT_EQ(store_file_checksum_reference(s, static_cast<uint32_t>(std::strlen(s))), fast(s))
        << s;
  }
}

TEST(StoreFileChecksum, LengthZeroIgnoresData) {
  uint32_t r = 1;
  store_file_checksum(nullptr, 0, &r);
  EXPECT_EQ(r, 0u);
  EXPECT_EQ(store_file_checksum_reference(nullptr, 0), 0u);
}

TEST(StoreFileChecksum, TableFormMatchesBitwiseOnRandomInputsOfEveryLength) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint32_t len = 0; len <= 300; ++len) {
    for (int round = 0; round < 20; ++round) {
      std::vector<unsigned char> data(len + 1);
      for (auto& b : data) b = static_cast<unsigned char>(byte(rng));
      uint32_t r = 0;
      // Offset by one byte so unaligned starts are covered too.
      store_file_checksum(data.data() + 1, len, &r);
      const uint32_t expected = store_file_checksum_reference(data.data() + 1, len);
      ASSERT_EQ(r, expected) << "length " << len;
      ASSERT_EQ(store_file_checksum_sliced(data.data() + 1, len), expected) << "length " << len;
    }
  }
}

TEST(StoreFileChecksum, LongInputsAgreeToo) {
  std::mt19937 rng(7);
  std::vector<unsigned char> data(70000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (uint32_t len : {511u, 4096u, 4099u, 65536u, 70000u}) {
    uint32_t r = 0;
    store_file_checksum(data.data(), len, &r);
    EXPECT_EQ(r, store_file_checksum_reference(data.data(), len)) << len;
  }
}

TEST(StoreFileChecksum, DiffersFromTheConventionalCrc32) {
  // The zlib CRC-32 of "123456789" is 0xCBF43926; a conventional table would
  // give that, and files written by the service would not check out.
  EXPECT_NE(fast("123456789"), 0xCBF43926u);
}

}  // namespace
