#include "tests/hardening/fault_injection.h"

#include <algorithm>

#include "platform/system_calls.h"

namespace faults {
namespace {

struct State {
  std::vector<Fault> plan;
  std::array<int64_t, kKinds> calls{};
  std::vector<Hit> hits;
};

State g_state;

// The fault that covers call `index` of `kind`, or null.
const Fault* due(Kind kind, int64_t index) {
  for (const Fault& f : g_state.plan) {
    if (f.kind != kind || index < f.at) continue;
    if (f.times == kForever || index - f.at < f.times) return &f;
  }
  return nullptr;
}

const platform::SystemCalls& real() {
  return platform::default_system_calls();
}

uint32_t shortened(const Fault& f, uint32_t count) {
  return static_cast<uint32_t>(std::min<int64_t>(count, f.transfer));
}

int64_t injected_seek(int fd, int64_t offset, int origin) {
  if (const Fault* f = next_call(kSeek, origin)) {
    errno = f->error;
    return -1;
  }
  return real().seek(fd, offset, origin);
}

int64_t injected_read(int fd, void* buffer, uint32_t count) {
  if (const Fault* f = next_call(kRead)) {
    if (f->transfer < 0) {
      errno = f->error;
      return -1;
    }
    count = shortened(*f, count);
    if (count == 0) return 0;
  }
  return real().read(fd, buffer, count);
}

int64_t injected_write(int fd, const void* buffer, uint32_t count) {
  if (const Fault* f = next_call(kWrite)) {
    if (f->transfer < 0) {
      errno = f->error;
      return -1;
    }
    count = shortened(*f, count);
    if (count == 0) return 0;
  }
  return real().write(fd, buffer, count);
}

int64_t injected_pread(int fd, void* buffer, uint32_t count, int64_t offset) {
  if (const Fault* f = next_call(kPread)) {
    if (f->transfer < 0) {
      errno = f->error;
      return -1;
    }
    count = shortened(*f, count);
    if (count == 0) return 0;
  }
  return real().pread(fd, buffer, count, offset);
}

int64_t injected_pwrite(int fd, const void* buffer, uint32_t count, int64_t offset) {
  if (const Fault* f = next_call(kPwrite)) {
    if (f->transfer < 0) {
      errno = f->error;
      return -1;
    }
    count = shortened(*f, count);
    if (count == 0) return 0;
  }
  return real().pwrite(fd, buffer, count, offset);
}

int injected_sync(int fd) {
  if (const Fault* f = next_call(kSync)) {
    errno = f->error;
    return -1;
  }
  return real().sync(fd);
}

}  // namespace

const Fault* next_call(Kind kind, int origin) {
  const int64_t index = ++g_state.calls[kind];
  const Fault* f = due(kind, index);
  if (f != nullptr) g_state.hits.push_back({kind, index, origin});
  return f;
}

const char* kind_name(Kind kind) {
  static const char* const kNames[kKinds] = {"seek",   "read", "write", "pread",
                                             "pwrite", "sync", "open",  "lock"};
  return kind >= 0 && kind < kKinds ? kNames[kind] : "?";
}

void install(const std::vector<Fault>& plan) {
  g_state = State{};
  g_state.plan = plan;
  platform::SystemCalls& table = platform::system_calls();
  table.seek = injected_seek;
  table.read = injected_read;
  table.write = injected_write;
  table.pread = injected_pread;
  table.pwrite = injected_pwrite;
  table.sync = injected_sync;
  install_open_and_lock();
}

void remove() {
  platform::restore_system_calls();
}

int64_t calls(Kind kind) {
  return g_state.calls[kind];
}

std::array<int64_t, kKinds> all_calls() {
  return g_state.calls;
}

const std::vector<Hit>& hits() {
  return g_state.hits;
}

std::string describe(const std::vector<Fault>& plan) {
  if (plan.empty()) return "no faults";
  std::string out;
  for (const Fault& f : plan) {
    if (!out.empty()) out += "; ";
    out += kind_name(f.kind);
    out += " #" + std::to_string(f.at);
    if (f.times == kForever) {
      out += " onwards";
    } else if (f.times != 1) {
      out += " x" + std::to_string(f.times);
    }
    if (f.transfer >= 0) {
      out += " transfers " + std::to_string(f.transfer) + " bytes";
    } else {
      out += " fails errno " + std::to_string(f.error);
    }
  }
  return out;
}

}  // namespace faults
