// The message body parse of the messaging stand-in, and the listing's
// one-line summary that calls it, on arbitrary message bytes.
//
// The parse's contract is that the buffer holds the whole message: it takes
// the length from the message-size field (bytes 4 to 7) and trusts it, and
// the listing guarantees it by reading exactly that many bytes into a buffer
// at least that long. The harness keeps the same contract: the message is a
// heap buffer of exactly the declared size when the input holds that many
// bytes (the rest of the input is dropped), else the size field is set to the
// input's length. Either way a byte past the declared size is outside the
// buffer, where AddressSanitizer sees any read.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "commands/commands.h"
#include "fuzz/fuzz_support.h"
#include "messaging/varno.h"
#include "report/report.h"

namespace {

using fuzzsupport::le32;

constexpr uint32_t kHeaderSize = 292;
constexpr uint32_t kFixedBody = 92;

struct Outputs {
  const VARNO_STATUS* tag_status = reinterpret_cast<const VARNO_STATUS*>(1);
  const VARNO_TIMESTAMP* stamps = reinterpret_cast<const VARNO_TIMESTAMP*>(1);
  int32_t value[12];  // out-arguments 3 to 14
};

int32_t parse(bool getrep, const uint8_t* message, Outputs* o, VARNO_STATUS* status) {
  for (int32_t& v : o->value) v = 0x5A5A5A5A;
  int32_t* v = o->value;
  auto* fn = getrep ? VARNO_SERVER_PARSE_GETREP : VARNO_SERVER_PARSE_UNSREP;
  return fn(message, &o->tag_status, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8],
            &v[9], &v[10], &v[11], &o->stamps, status);
}

// What the parse hands out must be what the message says, and nothing when it
// fails.
void check_parse(const uint8_t* m, uint32_t size, int32_t result, const Outputs& o,
                 const VARNO_STATUS& status) {
  const uint8_t* body = m + kHeaderSize;
  const bool valid = size >= kHeaderSize + kFixedBody &&
                     static_cast<int32_t>(le32(body + 8)) >= 0 &&
                     kFixedBody + 16ull * le32(body + 8) <= size - kHeaderSize;
  if (!valid) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(fuzzsupport::has_pair(status, VARNO_FACILITY_LIBRARY, VARNO_ERR_PARSE));
    FUZZ_CHECK(o.tag_status == nullptr && o.stamps == nullptr);
    for (int32_t v : o.value) FUZZ_CHECK(v == 0);
    return;
  }
  FUZZ_CHECK(result == 0 && !varno_failed(status));
  const auto count = static_cast<int32_t>(le32(body + 8));
  FUZZ_CHECK(o.value[0] == static_cast<int32_t>(le32(m + 8)));     // transaction
  FUZZ_CHECK(o.value[2] == static_cast<int32_t>(le32(body)));      // list id
  FUZZ_CHECK(o.value[5] == count);                                 // tags
  FUZZ_CHECK(o.value[6] == static_cast<int32_t>(le32(body + 4)));  // frequency
  for (int i : {1, 3, 4, 7, 8, 9, 10, 11}) FUZZ_CHECK(o.value[i] == 0);
  FUZZ_CHECK(o.tag_status != nullptr);
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    FUZZ_CHECK(o.tag_status->facility[i] == static_cast<int32_t>(le32(body + 12 + 4 * i)));
    FUZZ_CHECK(o.tag_status->error[i] == static_cast<int32_t>(le32(body + 52 + 4 * i)));
  }
  FUZZ_CHECK((o.stamps != nullptr) == (count > 0));
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* t = body + kFixedBody + 8 * i;
    FUZZ_CHECK(o.stamps[i].word == le32(t));
    FUZZ_CHECK(o.stamps[i].seconds == static_cast<int32_t>(le32(t + 4)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8 || size > UINT32_MAX) return 0;
  const uint32_t declared = le32(data + 4);
  const uint32_t length =
      declared >= 8 && declared <= size ? declared : static_cast<uint32_t>(size);
  std::unique_ptr<uint8_t[]> message(new uint8_t[length]);
  std::memcpy(message.get(), data, length);
  for (int i = 0; i < 4; ++i) message[4 + i] = static_cast<uint8_t>(length >> (8 * i));
  const uint8_t* m = message.get();

  FUZZ_CHECK(VARNO_SERVER_TRANSTYPE(m) == static_cast<int32_t>(m[2] | (m[3] << 8)));
  for (bool getrep : {true, false}) {
    Outputs o;
    VARNO_STATUS status;
    const int32_t result = parse(getrep, m, &o, &status);
    check_parse(m, length, result, o, status);
  }

  // The summary line reads nothing the parse did not hand out. The listing
  // only ever passes a whole message header, so shorter inputs stop here.
  if (length >= kHeaderSize) {
    // To a file that is not there: the block is built, nothing is written.
    ListingOutput out{nullptr, kOutputFile, {}};
    print_message_body(&out, m);
    Outputs o;
    VARNO_STATUS status;
    const bool failed = parse(true, m, &o, &status) != 0;
    const std::string& text = out.block;
    FUZZ_CHECK((text == "Message body could not be interpreted.\n\n") == failed);
    FUZZ_CHECK(failed || text.compare(0, 8, "listid: ") == 0);
  }
  return 0;
}
