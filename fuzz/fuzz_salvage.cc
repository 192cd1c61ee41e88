// varno-inspect's verify and salvage over an arbitrary store file, with the
// properties a recovery must keep, not only memory safety:
// - FILE is never changed;
// - when salvage writes OUT: verify finds OUT clean; salvaging OUT again
//   gives OUT byte for byte; every record of OUT is the record of FILE at the
//   offset salvage names (body checksum word aside, which OUT writes as 0),
//   and those offsets follow each other in ring order; OUT's forwarded is at
//   most FILE's (0 without a usable header);
// - when it does not, there is no OUT.
//
// Input: one mode byte, then the file. Mode bit 0 makes the header sound (the
// primary block copied to the backup, signed, revision 2, both checksums
// right), so that mutated header fields reach the ring walk.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/system_calls.h"
#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"
#include "storeformat/store_header.h"
#include "tools/inspect/salvage.h"
#include "tools/inspect/store.h"
#include "tools/inspect/verify.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void seal_header(std::vector<uint8_t>* file) {
  if (file->size() < kFixedRegionSize) return;
  unsigned char* b = file->data();
  put_u32(b, kStoreSignature);
  put_u32(b + 4, 2);
  uint32_t crc = 0;
  store_file_checksum(b, kFixedBlockSize, &crc);
  put_u32(b + kFixedBlockSize, crc);
  std::memcpy(b + kFixedBlockSize + 4, b, kFixedBlockSize + 4);
}

// Salvages `in` to `out`; the store's header check and the report.
bool salvage(const std::string& in, const std::string& out, inspect::Store* store,
             inspect::SalvageReport* report, std::vector<int64_t>* offsets) {
  inspect::Failure failure;
  FUZZ_CHECK(inspect::open_store(in, store, &failure));
  inspect::SalvageRefusal refusal;
  const bool ok = inspect::salvage_store(*store, out, nullptr, report, &refusal, &failure, offsets);
  inspect::close_store(store);
  return ok;
}

}  // namespace

// Reaching the disk is not what is fuzzed here, and a sync per OUT held the
// target to a few dozen runs a minute.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::system_calls().sync = [](int) { return 0; };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> file(data + 1, data + size);
  if (data[0] & 1) seal_header(&file);
  const std::string path = fuzzsupport::write_input("in.DEV1", file.data(), file.size());
  const std::string out = fuzzsupport::home() + "out.DEV1";
  const std::string again = fuzzsupport::home() + "again.DEV1";
  std::filesystem::remove(out);
  std::filesystem::remove(again);

  inspect::Store store;
  inspect::Failure failure;
  FUZZ_CHECK(inspect::open_store(path, &store, &failure));
  inspect::VerifyReport verified;
  FUZZ_CHECK(inspect::verify_store(store, nullptr, &verified, &failure));
  inspect::close_store(&store);

  inspect::SalvageReport report;
  std::vector<int64_t> offsets;
  const bool salvaged = salvage(path, out, &store, &report, &offsets);
  const std::string original(file.begin(), file.end());
  FUZZ_CHECK(read_all(path) == original);
  if (!salvaged) {
    FUZZ_CHECK(!std::filesystem::exists(out));
    return 0;
  }
  FUZZ_CHECK(report.forwarded <= (store.header_usable() ? store.header.forwarded_count : 0));

  inspect::Store salvaged_store;
  FUZZ_CHECK(inspect::open_store(out, &salvaged_store, &failure));
  inspect::VerifyReport clean;
  FUZZ_CHECK(inspect::verify_store(salvaged_store, nullptr, &clean, &failure));
  inspect::close_store(&salvaged_store);
  FUZZ_CHECK(clean.problems.empty());

  inspect::SalvageReport second;
  std::vector<int64_t> ignored;
  FUZZ_CHECK(salvage(out, again, &salvaged_store, &second, &ignored));
  const std::string bytes = read_all(out);
  FUZZ_CHECK(read_all(again) == bytes);

  // OUT's records are FILE's, in ring order: offsets rise but for one wrap,
  // which ends below where they began.
  FUZZ_CHECK(offsets.size() == report.kept);
  int64_t at = store_header_size;
  int64_t previous_end = 0;
  int wraps = 0;
  for (size_t i = 0; i < offsets.size(); ++i) {
    const int64_t from = offsets[i];
    const uint32_t message_size = get_u32(reinterpret_cast<const unsigned char*>(bytes.data()) +
                                          at + record_prefix_size + kMsgSizeAt);
    const int64_t length = int64_t{message_size} + record_prefix_size;
    FUZZ_CHECK(from >= 0 && from + length <= static_cast<int64_t>(original.size()));
    FUZZ_CHECK(original.compare(from, kBodyChecksumAt, bytes, at, kBodyChecksumAt) == 0);
    FUZZ_CHECK(original.compare(from + record_prefix_size, message_size, bytes,
                                at + record_prefix_size, message_size) == 0);
    if (i > 0 && from < offsets[i - 1]) ++wraps;
    if (i > 0 && from > offsets[i - 1]) FUZZ_CHECK(from >= previous_end);
    previous_end = from + length;
    at += length;
  }
  FUZZ_CHECK(wraps == 0 || (wraps == 1 && offsets.back() < offsets.front()));
  return 0;
}
