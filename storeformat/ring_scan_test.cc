// The edges of the record check and of the scan, on both sides of each
// bound; the scan's behaviour on whole rings is the recovery properties'.
#include "storeformat/ring_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::checksum_of;
using testsupport::put32;

// A record of a message of 292 + `body` bytes whose bytes depend on `seed`.
std::string record(uint32_t body, int seed) {
  std::string m(292 + body, '\0');
  for (size_t i = 8; i < m.size(); ++i) m[i] = static_cast<char>((i * 7 + seed * 13) % 89 + 1);
  put32(m, 4, 292 + body);
  std::string r = "[]\\^" + std::string(8, '\0') + m;
  put32(r, 4, checksum_of(m, 0, 292));
  return r;
}

class Findings : public ScanReporter {
 public:
  void report(const ScanFinding& f) override { seen.push_back(f); }
  bool has(ScanFinding::Kind kind, int64_t offset) const {
    for (const ScanFinding& f : seen) {
      if (f.kind == kind && f.offset == offset) return true;
    }
    return false;
  }
  std::vector<ScanFinding> seen;
};

class RingScanTest : public ::testing::Test {
 protected:
  int32_t open(const std::string& bytes) {
    testsupport::write_file(home_.file("s.DEV1"), bytes);
    VARNO_STATUS st;
    fd_ = varno_s_file_open(home_.file("s.DEV1").c_str(), kOpenReadOnly, &st);
    EXPECT_GE(fd_, 0);
    return fd_;
  }
  void TearDown() override {
    VARNO_STATUS st;
    if (fd_ >= 0) varno_s_file_close(fd_, &st);
  }
  // The offsets of the records the scan read back, without a header.
  std::vector<int64_t> ring_of(const std::string& bytes, Findings* findings) {
    const int32_t fd = open(bytes);
    RingScan scan(fd, static_cast<int64_t>(bytes.size()), nullptr);
    VARNO_STATUS st;
    EXPECT_TRUE(scan.run(findings, {}, &st));
    std::vector<int64_t> offsets;
    RingReader reader(fd, static_cast<int64_t>(bytes.size()), scan.ring());
    while (reader.next(&st)) offsets.push_back(reader.offset());
    VARNO_STATUS closed;
    varno_s_file_close(fd, &closed);
    fd_ = -1;
    return offsets;
  }
  testsupport::ScratchHome home_;
  int32_t fd_ = -1;
};

// A record header that ends exactly at the end of the file is whole; one
// byte later it is cut.
TEST_F(RingScanTest, ARecordHeaderEndingAtTheEndOfTheFileIsWhole) {
  const std::string data = std::string(192, '\0') + std::string(100, '\0') + record(0, 1);
  const int64_t size = static_cast<int64_t>(data.size());
  const int32_t fd = open(data);
  unsigned char header[record_header_size];
  RecordCheck check;
  VARNO_STATUS st;
  EXPECT_TRUE(check_record(fd, size - 304, size, header, &check, &st));
  EXPECT_TRUE(check.intact());
  EXPECT_FALSE(check_record(fd, size - 303, size, header, &check, &st));
  EXPECT_EQ(check.defect, RecordCheck::kHeaderPastEnd);
  Findings findings;
  EXPECT_EQ(ring_of(data, &findings), (std::vector<int64_t>{size - 304}));
}

// A size that runs over the records behind it sets its record apart; a
// record whose header ends exactly where the larger size ends is found too.
TEST_F(RingScanTest, ARecordInsideALargerSizeIsFoundToItsLastByte) {
  const std::string a = record(200, 1);
  const std::string b = record(100, 2);
  const std::string c = record(0, 3);
  std::string data = std::string(192, '\0') + a + b + c;
  // A's size made to end exactly where C's header ends.
  const uint32_t swallowing = static_cast<uint32_t>(a.size() + b.size() + c.size() - 12);
  put32(data, 192 + 16, swallowing);
  put32(data, 192 + 4, checksum_of(data, 192 + 12, 292));
  Findings findings;
  const int64_t b_at = 192 + static_cast<int64_t>(a.size());
  const int64_t c_at = b_at + static_cast<int64_t>(b.size());
  EXPECT_EQ(ring_of(data, &findings), (std::vector<int64_t>{b_at, c_at}));
  EXPECT_TRUE(findings.has(ScanFinding::kSwallowing, 192));
  // Without B, C still lies inside A's larger size, its header last.
  std::string without_b = std::string(192, '\0') + a + std::string(b.size(), '\0') + c;
  put32(without_b, 192 + 16, swallowing);
  put32(without_b, 192 + 4, checksum_of(without_b, 192 + 12, 292));
  Findings more;
  EXPECT_EQ(ring_of(without_b, &more), (std::vector<int64_t>{c_at}));
}

// A byte-identical copy right behind a record counts once.
TEST_F(RingScanTest, AByteIdenticalCopyCountsOnce) {
  const std::string a = record(50, 1);
  const std::string data = std::string(192, '\0') + a + a + record(60, 2);
  Findings findings;
  const std::vector<int64_t> ring = ring_of(data, &findings);
  EXPECT_EQ(ring.size(), 2u);
  EXPECT_TRUE(findings.has(ScanFinding::kDuplicate, 192 + static_cast<int64_t>(a.size())));
}

}  // namespace
