#include "storeformat/message_record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "fileaccess/file_access.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "storeformat/checksum.h"
#include "storeformat/ring.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::checksum_of;
using testsupport::Pairs;
using testsupport::pairs_of;
using testsupport::put32;

unsigned char* ubytes(std::string& b) {
  return reinterpret_cast<unsigned char*>(b.data());
}
const unsigned char* ubytes(const std::string& b) {
  return reinterpret_cast<const unsigned char*>(b.data());
}

// A message of 292 + body bytes with its size field set and every byte
// depending on `seed`, so that two messages never look alike.
std::string make_message(uint32_t body, int seed) {
  std::string m(292 + body, '\0');
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<char>((i * 7 + seed * 13) % 251);
  put32(m, 4, 292 + body);
  return m;
}

// A record built by hand: marker, header checksum, body checksum 0, message.
std::string record_of(const std::string& message) {
  std::string r = "[]\\^" + std::string(8, '\0') + message;
  put32(r, 4, checksum_of(message, 0, 292));
  return r;
}

// The data area filler: never a marker.
std::string filler(size_t n) {
  return std::string(n, '\0');
}

class MessageRecordTest : public ::testing::Test {
 protected:
  void TearDown() override { close(); }

  void open_store(const std::string& content, int32_t flags = kOpenReadWrite) {
    close();
    path_ = home_.file("store.snf");
    testsupport::write_file(path_, content);
    VARNO_STATUS st;
    fd_ = varno_s_file_open(path_.c_str(), flags, &st);
    ASSERT_GE(fd_, 0);
  }
  void close() {
    if (fd_ < 0) return;
    VARNO_STATUS st;
    varno_s_file_close(fd_, &st);
    fd_ = -1;
  }

  // Reads header and body at `offset` the way the listing does.
  struct Read {
    Pairs header_pairs, body_pairs;
    uint32_t body_checksum = 0;
    std::string message;
  };
  Read read_record(int64_t offset) {
    Read out;
    std::string header(292, '\x77');
    VARNO_STATUS st;
    VARNO_SERVER_LDBLK(99, 99, &st);
    out.body_checksum = read_message_header(fd_, offset, ubytes(header), &st);
    out.header_pairs = pairs_of(st);
    const uint32_t size = static_cast<uint32_t>(ubytes(header)[4]) |
                          static_cast<uint32_t>(ubytes(header)[5]) << 8 |
                          static_cast<uint32_t>(ubytes(header)[6]) << 16 |
                          static_cast<uint32_t>(ubytes(header)[7]) << 24;
    out.message = header + std::string(size - 292, '\x77');
    read_message_body(fd_, offset, size, out.body_checksum, ubytes(out.message), &st);
    out.body_pairs = pairs_of(st);
    return out;
  }

  testsupport::ScratchHome home_;
  std::string path_;
  int32_t fd_ = -1;
};

TEST(MessageRecordFormat, SizeConstants) {
  EXPECT_EQ(store_header_size, 192u);
  EXPECT_EQ(record_header_size, 304u);
  EXPECT_EQ(record_prefix_size, 12u);
}

TEST(MessageRecordFormat, BodyChecksumIsZeroForAnyInput) {
  uint32_t r = 0xFFFFFFFF;
  message_body_checksum(nullptr, 0, &r);
  EXPECT_EQ(r, 0u);
  const std::string m = make_message(100, 1);
  r = 1;
  message_body_checksum(m.data(), static_cast<uint32_t>(m.size()), &r);
  EXPECT_EQ(r, 0u);
}

TEST(MessageRecordFormat, NextRecordOffsetStepsOrWrapsToTheDataArea) {
  struct Case {
    int64_t offset;
    uint32_t size;
    int64_t file_size, newest, next;
  };
  const Case cases[] = {
      {192, 400, 10000, 5000, 604},   // behind the record
      {9000, 400, 9715, 192, 192},    // 303 bytes left, past the newest: wrap
      {9000, 400, 9716, 192, 9412},   // 304 bytes left: a record fits there
      {9000, 400, 9500, 9412, 9412},  // 88 bytes left, but the newest lies there
      {9000, 400, 9412, 9000, 192},   // exactly at the end of the file
      {int64_t{5} << 32, 400, (int64_t{5} << 32) + 500, 192, 192},  // beyond 4 GiB
      {int64_t{5} << 32, 400, int64_t{6} << 32, 192, (int64_t{5} << 32) + 412},
      // The size and the prefix are summed in 32 bits, as the format does.
      {1000, 0xFFFFFFF8u, int64_t{1} << 40, int64_t{1} << 40, 1004},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(next_record_offset(c.offset, c.size, c.file_size, c.newest), c.next)
        << c.offset << " + " << c.size << " in " << c.file_size;
  }
}

// ---------------------------------------------------------------------------
// Writing and reading at a known offset

TEST_F(MessageRecordTest, WrittenRecordIsTheFormatByteForByteAndReadsBack) {
  const std::string m1 = make_message(100, 1);
  const std::string m2 = make_message(0, 2);  // empty body
  open_store(filler(192));
  VARNO_STATUS st;
  VARNO_SERVER_LDBLK(99, 99, &st);
  write_message_record(fd_, 192, static_cast<uint32_t>(m1.size() + 12), ubytes(m1), &st);
  EXPECT_EQ(pairs_of(st), Pairs{});
  const int64_t second = 192 + static_cast<int64_t>(m1.size()) + 12;
  write_message_record(fd_, second, static_cast<uint32_t>(m2.size() + 12), ubytes(m2), &st);
  EXPECT_EQ(pairs_of(st), Pairs{});
  EXPECT_EQ(testsupport::read_file(path_), filler(192) + record_of(m1) + record_of(m2));

  const Read r1 = read_record(192);
  EXPECT_EQ(r1.header_pairs, Pairs{});
  EXPECT_EQ(r1.body_pairs, Pairs{});
  EXPECT_EQ(r1.body_checksum, 0u);
  EXPECT_EQ(r1.message, m1);

  const Read r2 = read_record(second);
  EXPECT_EQ(r2.header_pairs, Pairs{});
  EXPECT_EQ(r2.body_pairs, Pairs{});
  EXPECT_EQ(r2.message, m2);
}

TEST_F(MessageRecordTest, DamagedHeaderIsReportedButCopiedOut) {
  std::string file = filler(192) + record_of(make_message(50, 3));
  file[192 + 12 + 100] ^= 0x01;
  open_store(file);
  std::string header(292, '\0');
  VARNO_STATUS st;
  EXPECT_EQ(read_message_header(fd_, 192, ubytes(header), &st), 0u);
  EXPECT_EQ(pairs_of(st), (Pairs{{13, 13531}}));
  EXPECT_EQ(header, file.substr(192 + 12, 292));
}

TEST_F(MessageRecordTest, MarkerAndBodyAreNotCoveredByTheHeaderCheck) {
  const std::string m = make_message(50, 4);
  std::string file = filler(192) + record_of(m);
  file[192] = 'X';               // marker
  file[192 + 304 + 10] ^= 0x40;  // body
  open_store(file);
  const Read r = read_record(192);
  EXPECT_EQ(r.header_pairs, Pairs{});
  EXPECT_EQ(r.body_pairs, Pairs{});
  EXPECT_EQ(r.message, file.substr(192 + 12));
}

TEST_F(MessageRecordTest, RecordHeaderReadHandsOutThePrefixWithTheMarker) {
  const std::string m = make_message(20, 9);
  std::string file = filler(192) + record_of(m);
  put32(file, 192 + 8, 7);
  open_store(file);
  for (bool damaged_marker : {false, true}) {
    if (damaged_marker) {
      file[193] = 'X';
      open_store(file);
    }
    std::string record(304, '\x77');
    VARNO_STATUS st;
    EXPECT_EQ(read_record_header(fd_, 192, ubytes(record), &st), 7u);
    EXPECT_EQ(pairs_of(st), Pairs{}) << "a read at a known offset never judges the marker";
    EXPECT_EQ(record, file.substr(192, 304));
    EXPECT_EQ(record_marker_ok(ubytes(record)), !damaged_marker);
  }
}

TEST_F(MessageRecordTest, NonZeroBodyChecksumWordFailsTheBodyCheck) {
  const std::string m = make_message(40, 5);
  std::string file = filler(192) + record_of(m);
  put32(file, 192 + 8, 0x0000002A);
  open_store(file);
  const Read r = read_record(192);
  EXPECT_EQ(r.header_pairs, Pairs{});
  EXPECT_EQ(r.body_checksum, 42u);
  EXPECT_EQ(r.body_pairs, (Pairs{{13, 13530}}));
  EXPECT_EQ(r.message, m) << "the body is delivered all the same";
}

TEST_F(MessageRecordTest, RecordHeaderCutByTheEndOfFile) {
  const std::string rec = record_of(make_message(10, 6));
  open_store(filler(192) + rec.substr(0, 100));
  std::string header(292, '\x77');
  VARNO_STATUS st;
  EXPECT_EQ(read_message_header(fd_, 192, ubytes(header), &st), 0u);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, 0}, {13, 13182}, {13, 13532}}));
  // What was read, zeros for the rest.
  EXPECT_EQ(header, rec.substr(12, 88) + std::string(204, '\0'));
}

TEST_F(MessageRecordTest, BodyCutByTheEndOfFile) {
  const std::string rec = record_of(make_message(200, 7));
  open_store(filler(192) + rec.substr(0, 304 + 50));
  const Read r = read_record(192);
  EXPECT_EQ(r.header_pairs, Pairs{});
  EXPECT_EQ(r.body_pairs, (Pairs{{1, 0}, {13, 13182}, {13, 13512}}));
}

TEST_F(MessageRecordTest, MessageSizeBelowTheHeaderReadsNothing) {
  open_store(filler(192) + record_of(make_message(100, 8)));
  // Exactly the buffer the size claims: any body read would overrun it.
  for (uint32_t size : {0u, 12u, 291u}) {
    std::string message(size, '\x55');
    VARNO_STATUS st;
    VARNO_SERVER_LDBLK(99, 99, &st);
    read_message_body(fd_, 192, size, 0, ubytes(message), &st);
    EXPECT_EQ(pairs_of(st), (Pairs{{13, 13512}})) << size;
    EXPECT_EQ(message, std::string(size, '\x55'));
  }
}

TEST_F(MessageRecordTest, SeekFailures) {
  std::string header(292, '\x77');
  VARNO_STATUS st;
  EXPECT_EQ(read_message_header(-1, 192, ubytes(header), &st), 0u);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13159}, {13, 13402}}));
  EXPECT_EQ(header, std::string(292, '\x77'));

  std::string message(400, '\0');
  read_message_body(-1, 192, 400, 0, ubytes(message), &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13159}, {13, 13402}}));

  const std::string m = make_message(0, 9);
  write_message_record(-1, 192, 304, ubytes(m), &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13159}, {13, 13340}}));

  int64_t found = 5;
  EXPECT_EQ(find_message_record(-1, 192, 100000, &found, &st), 0u);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13159}, {13, 13402}}));

  // A body offset past every file position fails at the seek too.
  open_store(filler(192));
  read_message_body(fd_, INT64_MAX - 100, 400, 0, ubytes(message), &st);
  EXPECT_EQ(pairs_of(st).back(), (std::pair<int32_t, int32_t>{13, 13402}));
}

TEST_F(MessageRecordTest, WriteFailures) {
  const std::string before = filler(192);
  open_store(before, kOpenReadOnly);
  const std::string m = make_message(20, 10);
  VARNO_STATUS st;
  write_message_record(fd_, 192, static_cast<uint32_t>(m.size() + 12), ubytes(m), &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{1, EBADF}, {13, 13202}, {13, 13342}}));

  // Too short to hold the message header: nothing is written or read.
  open_store(before);
  const std::string small(291, 'x');
  write_message_record(fd_, 192, 303, ubytes(small), &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{13, 13342}}));
  write_message_record(fd_, 192, 0, nullptr, &st);
  EXPECT_EQ(pairs_of(st), (Pairs{{13, 13342}}));
  EXPECT_EQ(testsupport::read_file(path_), before);
}

// ---------------------------------------------------------------------------
// Scanning for an intact record

struct Scan {
  int64_t found = -1;
  uint32_t checksum = 0xFFFFFFFF;
  Pairs pairs;
};

Scan scan(int32_t fd, int64_t start, int64_t limit) {
  Scan s;
  VARNO_STATUS st;
  VARNO_SERVER_LDBLK(99, 99, &st);
  s.checksum = find_message_record(fd, start, limit, &s.found, &st);
  s.pairs = pairs_of(st);
  return s;
}

TEST_F(MessageRecordTest, FindsTheRecordAtOrAfterStart) {
  const std::string r1 = record_of(make_message(100, 11));
  std::string r2 = record_of(make_message(60, 12));
  put32(r2, 8, 0x2A);  // the checksum returned is the stored word
  const std::string file = filler(192) + r1 + r2;
  const int64_t at1 = 192, at2 = 192 + static_cast<int64_t>(r1.size());
  const auto end = static_cast<int64_t>(file.size());
  open_store(file);

  Scan s = scan(fd_, at1, end);
  EXPECT_EQ(s.pairs, Pairs{});
  EXPECT_EQ(s.found, at1);
  EXPECT_EQ(s.checksum, 0u);

  s = scan(fd_, at1 + 1, end);
  EXPECT_EQ(s.pairs, Pairs{});
  EXPECT_EQ(s.found, at2);
  EXPECT_EQ(s.checksum, 0x2Au);

  s = scan(fd_, 0, end);
  EXPECT_EQ(s.found, at1);

  s = scan(fd_, at2 + 1, end);
  EXPECT_EQ(s.pairs, Pairs{});
  EXPECT_EQ(s.found, 0);
  EXPECT_EQ(s.checksum, 0u);
}

TEST_F(MessageRecordTest, FalseMarkerInABodyIsSkipped) {
  std::string m1 = make_message(400, 13);
  m1.replace(292 + 20, 4, "[]\\^");  // inside the body, followed by junk
  const std::string r1 = record_of(m1);
  const std::string r2 = record_of(make_message(10, 14));
  const std::string file = filler(192) + r1 + r2;
  open_store(file);
  const Scan s = scan(fd_, 193, static_cast<int64_t>(file.size()));
  EXPECT_EQ(s.pairs, Pairs{});
  EXPECT_EQ(s.found, 192 + static_cast<int64_t>(r1.size()));
}

TEST_F(MessageRecordTest, RecordsAroundWindowBoundariesAreFoundAtTheirOffsets) {
  constexpr int64_t kStart = 1000;
  constexpr int64_t kStep = 65536 - 304;
  const std::string rec = record_of(make_message(0, 15));
  // Relative to the start: within the first window's own positions, the
  // first position it leaves to the next window, straddling its end, one byte
  // inside it, and the same around the second boundary.
  constexpr int64_t kWindow = 65536;
  for (int64_t rel : {kStep - 100, kStep - 1, kStep, kWindow - 100, kWindow - 1, kWindow,
                      2 * kStep - 1, 2 * kStep + 17, 2 * kStep + kWindow - 5}) {
    SCOPED_TRACE("record at start + " + std::to_string(rel));
    std::string file = filler(static_cast<size_t>(kStart + rel)) + rec + filler(700);
    // A false marker just before, to show the scan goes on past it.
    file.replace(static_cast<size_t>(kStart + rel - 30), 4, "[]\\^");
    open_store(file);
    const Scan s = scan(fd_, kStart, static_cast<int64_t>(file.size()));
    EXPECT_EQ(s.pairs, Pairs{});
    EXPECT_EQ(s.found, kStart + rel);
  }
}

// Reads and seeks of a descriptor that the file layer did not open, so that
// every read call is one read of the primitive, at the position kept here.
int64_t g_position = 0;
int64_t g_read_end = 0;  // the highest offset + 1 any read asked for
int g_reads = 0;
int g_fail_read = 0;  // fail the n-th read with EIO (0: never)

int64_t tracking_seek(int fd, int64_t offset, int origin) {
  const int64_t r = platform::default_system_calls().seek(fd, offset, origin);
  if (r >= 0) g_position = r;
  return r;
}
int64_t tracking_read(int fd, void* buffer, uint32_t count) {
  ++g_reads;
  if (g_reads == g_fail_read) {
    errno = EIO;
    return -1;
  }
  if (g_position + count > g_read_end) g_read_end = g_position + count;
  const int64_t r = platform::default_system_calls().read(fd, buffer, count);
  if (r > 0) g_position += r;
  return r;
}

class ScanLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::system_calls();
    platform::system_calls().seek = tracking_seek;
    platform::system_calls().read = tracking_read;
    g_fail_read = 0;
  }
  void TearDown() override {
    if (fd_ >= 0) platform::close_file(fd_);
    platform::system_calls() = saved_;
  }
  void open_raw(const std::string& content) {
    if (fd_ >= 0) platform::close_file(fd_);
    const std::string path = home_.file("raw.snf");
    testsupport::write_file(path, content);
    ASSERT_TRUE(
        platform::open_file(path.c_str(), platform::kModeReadOnly | platform::kModeBinary, &fd_)
            .ok());
  }
  Scan scan_tracked(int64_t start, int64_t limit) {
    g_position = 0;
    g_read_end = 0;
    g_reads = 0;
    return scan(fd_, start, limit);
  }

  testsupport::ScratchHome home_;
  platform::SystemCalls saved_{};
  int32_t fd_ = -1;
};

TEST_F(ScanLimitTest, HeaderMustLieWhollyBeforeTheLimit) {
  const std::string rec = record_of(make_message(100, 16));
  for (int64_t at : {int64_t{500}, int64_t{70000}, int64_t{140000}}) {
    SCOPED_TRACE("record at " + std::to_string(at));
    open_raw(filler(static_cast<size_t>(at)) + rec + filler(100000));
    // The header would cross the limit: not found, nothing read at the limit.
    Scan s = scan_tracked(192, at + 303);
    EXPECT_EQ(s.pairs, Pairs{});
    EXPECT_EQ(s.found, 0);
    EXPECT_LE(g_read_end, at + 303);
    EXPECT_GT(g_reads, 0);
    // A header that ends exactly at the limit lies wholly before it.
    s = scan_tracked(192, at + 304);
    EXPECT_EQ(s.pairs, Pairs{});
    EXPECT_EQ(s.found, at);
    EXPECT_LE(g_read_end, at + 304);
  }
}

TEST_F(ScanLimitTest, LimitBelowOneRecordHeaderFindsNothing) {
  open_raw(filler(192) + record_of(make_message(0, 17)) + filler(100));
  for (int64_t limit : {int64_t{0}, int64_t{191}, int64_t{192}, int64_t{192 + 303}}) {
    const Scan s = scan_tracked(192, limit);
    EXPECT_EQ(s.pairs, Pairs{}) << limit;
    EXPECT_EQ(s.found, 0) << limit;
    EXPECT_EQ(s.checksum, 0u) << limit;
    EXPECT_EQ(g_reads, 0) << limit;
  }
}

TEST_F(ScanLimitTest, WindowReadFailures) {
  // A limit beyond the end of the file fails the read of the window.
  open_raw(filler(192) + record_of(make_message(0, 18)));
  Scan s = scan_tracked(192, 192 + 304 + 1);
  EXPECT_EQ(s.pairs, (Pairs{{1, 0}, {13, 13182}, {13, 13532}}));
  EXPECT_EQ(s.found, 0);

  // A failing read of the second window.
  const std::string rec = record_of(make_message(0, 19));
  open_raw(filler(100000) + rec + filler(1000));
  g_fail_read = 2;
  s = scan_tracked(0, 101000);
  EXPECT_EQ(s.pairs, (Pairs{{1, EIO}, {13, 13182}, {13, 13532}}));
  EXPECT_EQ(s.found, 0);
  EXPECT_EQ(s.checksum, 0u);
  g_fail_read = 0;
  s = scan_tracked(0, 101000);
  EXPECT_EQ(s.found, 100000);
}

}  // namespace

namespace {

// Two records of 404 bytes from 192, then `tail` bytes of zeros.
std::string two_records(size_t tail) {
  return std::string(192, '\0') + record_of(make_message(100, 1)) +
         record_of(make_message(100, 2)) + std::string(tail, '\0');
}

TEST_F(MessageRecordTest, RecordCheckNamesEachDefect) {
  std::string bytes = two_records(0);
  bytes[596 + 2] = 'X';  // record 2's marker
  open_store(bytes);
  const int64_t size = static_cast<int64_t>(bytes.size());  // 1000
  struct Case {
    int64_t offset;
    uint32_t size;  // written into record 1 with its checksum fixed; 0: as made
    RecordCheck::Defect defect;
    bool marker_ok;
    bool checksum_ok;
  };
  const Case cases[] = {
      {192, 0, RecordCheck::kNone, true, true},
      {596, 0, RecordCheck::kNone, false, true},
      {192, 291, RecordCheck::kSizeSmall, true, true},
      {192, 797, RecordCheck::kSizePastEnd, true, true},
      {192, 0xFFFFFFF4u, RecordCheck::kSizePastEnd, true, true},
      {size - 303, 0, RecordCheck::kHeaderPastEnd, false, false},
      {-1, 0, RecordCheck::kHeaderPastEnd, false, false},
  };
  for (const Case& c : cases) {
    if (c.size != 0) {
      std::string damaged = bytes;
      put32(damaged, 192 + 12 + 4, c.size);
      put32(damaged, 192 + 4, checksum_of(damaged, 204, 292));
      open_store(damaged);
    }
    unsigned char record[304];
    RecordCheck check;
    VARNO_STATUS st;
    EXPECT_EQ(check_record(fd_, c.offset, size, record, &check, &st),
              c.defect == RecordCheck::kNone)
        << c.offset << " " << c.size;
    EXPECT_EQ(check.defect, c.defect) << c.offset << " " << c.size;
    EXPECT_EQ(check.marker_ok, c.marker_ok) << c.offset;
    EXPECT_EQ(check.header_checksum_ok(), c.checksum_ok) << c.offset;
    EXPECT_EQ(check.intact(), c.defect == RecordCheck::kNone && c.marker_ok && c.checksum_ok);
    if (c.size != 0) open_store(bytes);
  }
  // A read the file layer fails is no defect of the record.
  close();
  unsigned char record[304];
  RecordCheck check;
  VARNO_STATUS st;
  EXPECT_FALSE(check_record(-1, 192, size, record, &check, &st));
  EXPECT_EQ(check.defect, RecordCheck::kUnreadable);
  EXPECT_EQ(pairs_of(st).back(), std::make_pair(13, 13402));
}

TEST_F(MessageRecordTest, RingWalkStopsAtCountEndNewestAndDefect) {
  std::string bytes = two_records(100);  // 1100 bytes: after record 2, 96 remain
  open_store(bytes);
  const int64_t size = static_cast<int64_t>(bytes.size());
  struct Case {
    uint32_t count;
    int64_t newest;
    bool stop_at_newest;
    std::vector<int64_t> offsets;
    RingWalk::Stop stop;
  };
  const Case cases[] = {
      {1, 596, false, {192}, RingWalk::Stop::kCount},
      {5, 596, true, {192, 596}, RingWalk::Stop::kNewest},
      // Past the newest with fewer than 304 bytes left: back to 192.
      {3, 596, false, {192, 596, 192}, RingWalk::Stop::kCount},
      // The newest lies further: the walk runs into the end of the file.
      {5, 2000, false, {192, 596, 1000}, RingWalk::Stop::kDefect},
  };
  for (const Case& c : cases) {
    RingWalk walk(fd_, size, 192, c.newest, c.count);
    if (c.stop_at_newest) walk.stop_at_newest();
    std::vector<int64_t> seen;
    VARNO_STATUS st;
    while (walk.next(&st)) seen.push_back(walk.offset());
    EXPECT_EQ(seen, c.offsets) << c.count << " " << c.newest;
    EXPECT_EQ(walk.stop(), c.stop) << c.count << " " << c.newest;
  }
  RingWalk past(fd_, size, size, 596, 5);
  VARNO_STATUS st;
  EXPECT_FALSE(past.next(&st));
  EXPECT_EQ(past.stop(), RingWalk::Stop::kEndOfFile);
  // After a stop, a resync goes on at the next intact record.
  RingWalk walk(fd_, size, 300, 596, 5);
  EXPECT_TRUE(walk.next(&st));
  EXPECT_FALSE(walk.check().intact());
  EXPECT_TRUE(walk.resync(301, size, &st));
  EXPECT_TRUE(walk.next(&st));
  EXPECT_EQ(walk.offset(), 596);
  EXPECT_EQ(walk.number(), 2u);
}

}  // namespace
