// The content of one message, and the tool's reads and writes of a store file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileaccess/file_access.h"
#include "messaging/message_summary.h"
#include "platform/platform.h"
#include "storeformat/byte_order.h"
#include "storeformat/message_record.h"
#include "tools/storegen/storegen.h"

namespace storegen {

namespace {

void put_u16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put_name(unsigned char* header, uint32_t offset, const char* name) {
  std::memcpy(header + offset, name, std::strlen(name));  // the rest stays NUL
}

void build_message_header(uint32_t k, uint32_t size, unsigned char* m) {
  put_u16(m + kMsgSignatureAt, 0x5A5A);
  put_u16(m + kMsgTransTypeAt, k % 2 == 1 ? 1 : 2);
  put_u32(m + kMsgSizeAt, size);
  put_u32(m + kMsgTransactionAt, k);
  put_name(m, kMsgRequestSourceAt, "REQNODE");
  put_name(m, kMsgRequestSource2At, "REQDLGP");
  put_name(m, kMsgReplyDestAt, "REPNODE");
  put_name(m, kMsgReplyDest2At, "REPDLGP");
  put_name(m, kMsgMessageSourceAt, "SRCNODE");
  put_name(m, kMsgMessageSource2At, "SRCDLGP");
  put_name(m, kMsgMessageDestAt, "DSTNODE");
  put_name(m, kMsgMessageDest2At, "DSTDLGP");
}

void build_body(uint32_t k, uint32_t tags, int32_t seconds, unsigned char* body) {
  // Both values are kept to their low 32 bits; the message limit keeps them
  // exact for every file this tool writes.
  put_u32(body + 0, static_cast<uint32_t>(uint64_t{100} + k));  // list identifier
  put_u32(body + 4, static_cast<uint32_t>(uint64_t{25} * k));   // frequency, 1/10 s
  put_u32(body + 8, tags);
  // Tag status: a status block with facility 0 everywhere, error 0 in slot 0
  // and the rest free.
  unsigned char* tag_status = body + 12;
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    put_u32(tag_status + 40 + 4 * i, i == 0 ? 0u : 0xFFFFFFFFu);
  }
  unsigned char* stamps = body + kBodyFixedSize;
  unsigned char* values = stamps + 8 * tags;
  for (uint32_t i = 0; i < tags; ++i) {
    put_u32(stamps + 8 * i + 4, static_cast<uint32_t>(seconds));
    const double value = k + 0.5 * i;
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    put_u64(values + 8 * i, bits);
  }
}

// The first recorded failure in the words of the user's system; empty when
// no pair has a description.
std::string reason_text(const VARNO_STATUS& status) {
  for (int i = 0; i < VARNO_STATUS_SLOTS && status.error[i] != -1; ++i) {
    if (status.facility[i] == VARNO_FACILITY_ERRNO) {
      return status.error[i] == 0 ? "the file ends early"
                                  : varno_s_file_error_text(status.error[i]);
    }
    if (status.facility[i] == VARNO_FACILITY_STORE && status.error[i] == kErrNotFound) {
      return varno_s_file_error_text(ENOENT);
    }
  }
  return "";
}

}  // namespace

uint32_t message_size_for(uint32_t tags) {
  return kFixedMessageSize + kTagBytes * tags;
}

void build_message(uint32_t k, uint32_t tags, int32_t seconds, uint32_t size,
                   std::vector<unsigned char>* out) {
  if (size < message_size_for(tags)) size = message_size_for(tags);
  out->assign(size, 0);
  build_message_header(k, size, out->data());
  build_body(k, tags, seconds, out->data() + kMessageHeaderSize);
}

std::string pairs_text(const VARNO_STATUS& status) {
  const std::string text = status_pairs_text(status);
  return text.empty() ? "(nothing recorded)" : text;
}

bool recorded(const VARNO_STATUS& status) {
  return status.error[0] != -1;
}

int io_failure(const char* what, const std::string& file, const VARNO_STATUS& status) {
  const std::string reason = reason_text(status);
  std::fprintf(stderr, "%s: %s %s failed: %s%s\n", kProgram, what, file.c_str(),
               reason.empty() ? "" : (reason + " ").c_str(), pairs_text(status).c_str());
  return kExitIo;
}

bool write_at(int32_t fd, int64_t offset, const void* data, uint32_t length, VARNO_STATUS* status) {
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (recorded(*status)) return false;
  varno_s_file_write(fd, data, length, status);
  return !recorded(*status);
}

bool read_at(int32_t fd, int64_t offset, void* data, uint32_t length, VARNO_STATUS* status) {
  varno_s_file_seek(fd, offset, kSeekSet, status);
  if (recorded(*status)) return false;
  varno_s_file_read(fd, data, length, status);
  return !recorded(*status);
}

bool write_record(int32_t fd, int64_t offset, const std::vector<unsigned char>& message,
                  VARNO_STATUS* status) {
  const uint32_t length = static_cast<uint32_t>(message.size()) + record_prefix_size;
  write_message_record(fd, offset, length, message.data(), status);
  return !recorded(*status);
}

bool store_header_region(int32_t fd, const CommonHeader& header, int32_t type,
                         VARNO_STATUS* status) {
  write_header_region(fd, header, type, status);
  return !recorded(*status);
}

}  // namespace storegen
