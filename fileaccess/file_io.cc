// Positioned I/O primitives. A seek and a read or write are separate calls,
// as callers expect; for regular files opened through the layer the position
// is kept here and reads go through a read-ahead buffer with positioned reads,
// so that walking a store file record by record costs one system call per
// 64 KiB instead of two per record. Writes go straight to the file and drop
// the buffer. Other descriptors (pipes, files not opened by the layer) use the
// plain calls. The platform's call table (where tests inject faults) lies
// below all of this: the read-ahead's positioned reads are its pread calls.
#include <algorithm>
#include <vector>

#include "fileaccess/file_access.h"
#include "fileaccess/file_io_internal.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kReadAhead = 65536;

struct HandleState {
  bool attached = false;
  int64_t position = 0;
  std::vector<unsigned char> buffer;
  int64_t buffer_offset = 0;
  uint32_t buffer_length = 0;
};

std::vector<HandleState> g_handles;

HandleState* attached(int32_t fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= g_handles.size()) return nullptr;
  HandleState* h = &g_handles[static_cast<size_t>(fd)];
  return h->attached ? h : nullptr;
}

// Records a failed (or ended) transfer: (1, errno), then the layer's own
// number. A read that met the end of the file failed no call: (1, 0).
void fail(VARNO_STATUS* status, const platform::Status& call, int32_t own) {
  const int32_t error = call.ok() ? 0 : note_failure(call);
  VARNO_SERVER_LDBLK(VARNO_FACILITY_ERRNO, error, status);
  VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, own, status);
}

int64_t seek(int32_t fd, int64_t offset, int32_t origin, VARNO_STATUS* status, int32_t own) {
  HandleState* h = attached(fd);
  int64_t result = offset;
  // Any non-negative offset is a valid position of a regular file, and the
  // reads that follow are positioned: no system call is needed then.
  if (h == nullptr || origin != kSeekSet || offset < 0) {
    int64_t target = offset;
    int32_t how = origin;
    if (h != nullptr && origin == kSeekCur) {
      // The descriptor's own position is not kept up to date.
      target = h->position + offset;
      how = kSeekSet;
    }
    if (const platform::Status moved = platform::seek(fd, target, how, &result); !moved.ok()) {
      fail(status, moved, own);
      return -1;
    }
  }
  if (h != nullptr) h->position = result;
  return result;
}

// One read call of at most `count` bytes at the handle's position; *done
// gets the bytes read, 0 at the end of the file.
platform::Status read_some(HandleState* h, int32_t fd, unsigned char* dest, uint32_t count,
                           uint32_t* done) {
  if (h == nullptr) return platform::read(fd, dest, count, done);
  const int64_t end = h->buffer_offset + h->buffer_length;
  if (h->position >= h->buffer_offset && h->position < end) {
    *done = static_cast<uint32_t>(std::min<int64_t>(count, end - h->position));
    std::copy_n(h->buffer.data() + (h->position - h->buffer_offset), *done, dest);
    h->position += *done;
    return {};
  }
  if (count >= kReadAhead) {
    const platform::Status read = platform::read_at(fd, dest, count, h->position, done);
    h->position += *done;
    return read;
  }
  h->buffer.resize(kReadAhead);
  h->buffer_length = 0;
  uint32_t filled = 0;
  const platform::Status read =
      platform::read_at(fd, h->buffer.data(), kReadAhead, h->position, &filled);
  if (!read.ok() || filled == 0) {
    *done = 0;
    return read;
  }
  h->buffer_offset = h->position;
  h->buffer_length = filled;
  return read_some(h, fd, dest, count, done);
}

// One write call of at most `count` bytes at the handle's position.
platform::Status write_some(HandleState* h, int32_t fd, const unsigned char* src, uint32_t count,
                            uint32_t* done) {
  if (h == nullptr) return platform::write(fd, src, count, done);
  h->buffer_length = 0;
  const platform::Status written = platform::write_at(fd, src, count, h->position, done);
  h->position += *done;
  return written;
}

}  // namespace

void file_io_attach(int32_t fd) {
  if (fd < 0) return;
  if (static_cast<size_t>(fd) >= g_handles.size()) g_handles.resize(static_cast<size_t>(fd) + 1);
  HandleState& h = g_handles[static_cast<size_t>(fd)];
  h = HandleState{};
  h.attached = true;
}

void file_io_detach(int32_t fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= g_handles.size()) return;
  g_handles[static_cast<size_t>(fd)] = HandleState{};
}

int64_t varno_s_file_seek_end(int32_t fd, VARNO_STATUS* status) {
  if (status == nullptr) return 0;
  VARNO_CLIENT_INITBLK(status);
  return seek(fd, 0, kSeekEnd, status, kErrSeekEnd);
}

int64_t varno_s_file_seek(int32_t fd, int64_t offset, int32_t origin, VARNO_STATUS* status) {
  if (status == nullptr) return 0;
  VARNO_SERVER_INITBLK(status);
  return seek(fd, offset, origin, status, kErrSeek);
}

int32_t varno_s_file_read(int32_t fd, void* buffer, uint32_t count, VARNO_STATUS* status) {
  if (status == nullptr) return 0;
  VARNO_SERVER_INITBLK(status);
  if (fd < 0) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrReadHandle, status);
    return 0;
  }
  if (buffer == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrReadBuffer, status);
    return 0;
  }
  HandleState* h = attached(fd);
  auto* dest = static_cast<unsigned char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t done = 0;
    const platform::Status read = read_some(h, fd, dest + total, count - total, &done);
    if (!read.ok() || done == 0) {
      fail(status, read, kErrRead);
      return static_cast<int32_t>(total);
    }
    total += done;
  }
  return static_cast<int32_t>(total);
}

int32_t varno_s_file_write(int32_t fd, const void* buffer, uint32_t count, VARNO_STATUS* status) {
  if (status == nullptr) return 0;
  VARNO_SERVER_INITBLK(status);
  if (fd < 0) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrWriteHandle, status);
    return 0;
  }
  if (buffer == nullptr) {
    VARNO_SERVER_LDBLK(VARNO_FACILITY_STORE, kErrWriteBuffer, status);
    return 0;
  }
  HandleState* h = attached(fd);
  const auto* src = static_cast<const unsigned char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t done = 0;
    const platform::Status written = write_some(h, fd, src + total, count - total, &done);
    if (!written.ok() || done == 0) {
      fail(status, written, kErrWrite);
      return static_cast<int32_t>(total);
    }
    total += done;
  }
  return static_cast<int32_t>(total);
}

void varno_s_file_sync(int32_t fd, VARNO_STATUS* status) {
  if (status == nullptr) return;
  VARNO_SERVER_INITBLK(status);
  if (const platform::Status synced = platform::sync(fd); !synced.ok()) {
    fail(status, synced, kErrWrite);
  }
}
