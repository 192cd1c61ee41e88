// The listing walks of menus 2 and 3 over an arbitrary store file, as the
// commands run them: read_fixed_header, the header report (and forward
// tracking's count lines), the file size, then list_store_contents and
// list_first_last, all on the screen.
//
// Two changes to the input keep the run on the walk:
// - the header checksums are set before the file is written (the first right,
//   the second wrong, so the primary block is taken), so a mutated header
//   field reaches the walk instead of failing the checksum (the header
//   readers have a target of their own);
// - the message count handed to the walk is at most kMaxListed. A count of
//   2^32 - 1 over a ring that wraps back to valid records lists that many
//   records, which is the contract (the walk stops at the count), but would
//   take hours per input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "fileaccess/file_access.h"
#include "fuzz/fuzz_support.h"
#include "report/report.h"
#include "storeformat/checksum.h"
#include "storeformat/store_header.h"

namespace {

constexpr uint32_t kMaxListed = 1000;

// Most screen text one listed record can give: its header block (fixed
// text, four numbers, and eight names that together span at most 1232 bytes
// of the message header) and its body line or stop note. A walk that keeps
// to the count stays within `records` times this, whatever the names hold.
constexpr size_t kMostTextPerRecord = 2048;

// The walks' screen text, measured against the bound above.
std::string g_screen;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_screen_capture(&g_screen);
  fuzzsupport::show_on_failure(&g_screen);
  std::vector<uint8_t> file(data, data + size);
  if (file.size() >= kFixedRegionSize) {
    // Checksum 1 right and checksum 2 wrong: the read takes the primary block.
    uint32_t crc1 = 0;
    uint32_t crc2 = 0;
    store_file_checksum(file.data(), kFixedBlockSize, &crc1);
    store_file_checksum(file.data() + kFixedBlockSize + 4, kFixedBlockSize, &crc2);
    crc2 = ~crc2;
    for (int i = 0; i < 4; ++i) {
      file[kFixedBlockSize + i] = static_cast<uint8_t>(crc1 >> (8 * i));
      file[2 * kFixedBlockSize + 4 + i] = static_cast<uint8_t>(crc2 >> (8 * i));
    }
  }
  const std::string path = fuzzsupport::write_input("listing.STORE", file.data(), file.size());
  const int32_t fd = fuzzsupport::open_store(path);
  FUZZ_CHECK(fd >= 0);

  CommonHeader header{};
  VARNO_STATUS status;
  read_fixed_header(fd, &header, &status);
  FUZZ_CHECK(varno_failed(status) == (file.size() < kFixedRegionSize));
  if (!varno_failed(status)) {
    const int64_t file_size = varno_s_file_seek_end(fd, &status);
    FUZZ_CHECK(!varno_failed(status) && file_size == static_cast<int64_t>(file.size()));
    CommonHeader capped = header;
    capped.message_count = std::min(header.message_count, kMaxListed);

    // The report blocks the commands print before the walk.
    print_header_report(header, path.c_str(), nullptr, kOutputScreen);
    print_forward_totals(header, nullptr, kOutputScreen);

    g_screen.clear();
    list_store_contents(fd, capped, file_size, kOutputScreen, nullptr);
    FUZZ_CHECK(g_screen.size() <= capped.message_count * kMostTextPerRecord);

    g_screen.clear();
    list_first_last(fd, capped, file_size, kOutputScreen, nullptr);
    FUZZ_CHECK(g_screen.size() <= 2 * kMostTextPerRecord);
  }
  g_screen.clear();
  fuzzsupport::close_store(fd);
  return 0;
}
