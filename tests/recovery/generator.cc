// The generator of store files with a known ring, and of damage with a
// known origin for every byte.
#include "tests/recovery/generator.h"

#include <algorithm>
#include <cstring>

#include "storeformat/byte_order.h"
#include "storeformat/checksum.h"
#include "storeformat/message_record.h"
#include "storeformat/ring.h"

namespace recovery {

namespace {

int64_t pick(Rng& rng, int64_t low, int64_t high) {  // inclusive
  return low + static_cast<int64_t>(rng() % static_cast<uint64_t>(high - low + 1));
}
bool chance(Rng& rng, int percent) {
  return static_cast<int>(rng() % 100) < percent;
}

void put16(std::string& b, size_t at, uint32_t v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& b, size_t at, uint32_t v) {
  put_u32(reinterpret_cast<unsigned char*>(&b[at]), v);
}
uint32_t get32(const std::string& b, size_t at) {
  return get_u32(reinterpret_cast<const unsigned char*>(b.data() + at));
}

// A message as the service stores one: the message header, then a body of
// the messaging library's layout with `tags` time stamps and values.
std::string message(uint32_t k, uint32_t tags, int32_t seconds) {
  const uint32_t size = 384 + 16 * tags;
  std::string m(size, '\0');
  put16(m, kMsgSignatureAt, 0x5A5A);
  put16(m, kMsgTransTypeAt, k % 2 == 1 ? 1 : 2);
  put32(m, kMsgSizeAt, size);
  put32(m, kMsgTransactionAt, k);
  const std::string node = "NODE" + std::to_string(k % 7);
  for (uint32_t at :
       {kMsgRequestSourceAt, kMsgReplyDestAt, kMsgMessageSourceAt, kMsgMessageDestAt}) {
    m.replace(at, node.size(), node);
  }
  const size_t body = kMessageHeaderSize;
  put32(m, body + 0, 100 + k);
  put32(m, body + 4, 25 * k);
  put32(m, body + 8, tags);
  for (int i = 0; i < VARNO_STATUS_SLOTS; ++i) {
    put32(m, body + 12 + 40 + 4 * i, i == 0 ? 0u : 0xFFFFFFFFu);
  }
  for (uint32_t t = 0; t < tags; ++t) {
    put32(m, body + 92 + 8 * t + 4, static_cast<uint32_t>(seconds));
    put32(m, body + 92 + 8 * tags + 8 * t, k * 31 + t);
  }
  return m;
}

std::string record_of(const std::string& m) {
  std::string r(record_prefix_size, '\0');
  std::memcpy(&r[0], kRecordMarker, 4);
  uint32_t crc = 0;
  store_file_checksum(m.data(), kMessageHeaderSize, &crc);
  put32(r, kHeaderChecksumAt, crc);
  return r + m;
}

uint32_t tags_for(Rng& rng) {
  const int64_t roll = pick(rng, 0, 99);
  if (roll < 8) return 0;
  if (roll < 70) return 1;
  return static_cast<uint32_t>(pick(rng, 2, 4));
}

// Records written end to end from `at` into `file` (which grows as needed).
void lay(std::string* file, int64_t at, std::vector<Record>* records) {
  for (Record& r : *records) {
    r.offset = at;
    if (file->size() < static_cast<size_t>(at) + r.bytes.size()) {
      file->resize(static_cast<size_t>(at) + r.bytes.size(), '\0');
    }
    file->replace(static_cast<size_t>(at), r.bytes.size(), r.bytes);
    at += static_cast<int64_t>(r.bytes.size());
  }
}

std::vector<Record> records(Rng& rng, uint32_t count, uint32_t first_transaction,
                            int32_t first_time) {
  std::vector<Record> out;
  int32_t t = first_time;
  for (uint32_t i = 0; i < count; ++i) {
    Record r;
    r.transaction = first_transaction + i;
    r.index = i;
    r.bytes = record_of(message(r.transaction, tags_for(rng), t));
    t += 60 + static_cast<int32_t>(pick(rng, 0, 5));
    out.push_back(r);
  }
  return out;
}

// Older records of an earlier lap, sometimes behind the cut-off end of one.
int64_t fill_free(Rng& rng, std::string* file, int64_t from, int64_t to, std::vector<Record>* stale,
                  int32_t before_time) {
  int64_t at = from;
  if (chance(rng, 40)) at += pick(rng, 0, 300);  // the rest of a record the ring overwrote
  if (!chance(rng, 60) || to - at < 500) return at;
  std::vector<Record> old =
      records(rng, static_cast<uint32_t>(pick(rng, 1, 6)),
              500000 + static_cast<uint32_t>(stale->size()), before_time - 60 * 40);
  std::vector<Record> fitting;
  int64_t end = at;
  for (Record& r : old) {
    if (end + static_cast<int64_t>(r.bytes.size()) > to) break;
    end += static_cast<int64_t>(r.bytes.size());
    fitting.push_back(r);
  }
  lay(file, at, &fitting);
  for (Record& r : fitting) {
    r.index = static_cast<uint32_t>(stale->size());
    stale->push_back(r);
  }
  return end;
}

int64_t step_after(int64_t offset, const std::string& bytes, int64_t file_size) {
  return next_record_offset(offset, static_cast<uint32_t>(bytes.size() - record_prefix_size),
                            file_size, offset);
}

int32_t time_of(const Record& r, int32_t otherwise) {
  const uint32_t tags = get32(r.bytes, record_prefix_size + kMessageHeaderSize + 8);
  if (tags == 0) return otherwise;
  return static_cast<int32_t>(get32(r.bytes, record_prefix_size + kMessageHeaderSize + 92 + 4));
}

void write_header(Original* o) {
  unsigned char region[kFixedRegionSize] = {};
  o->region = build_header_region(o->header, o->type, region);
  o->file.replace(0, o->region, reinterpret_cast<const char*>(region), o->region);
}

}  // namespace

Original make_original(Rng& rng) {
  Original o;
  o.type = static_cast<int32_t>(pick(rng, 0, 2));
  const uint32_t n = static_cast<uint32_t>(chance(rng, 15) ? pick(rng, 30, 250) : pick(rng, 1, 25));
  const int32_t start = 1700000000 + static_cast<int32_t>(pick(rng, 0, 100000));
  o.ring = records(rng, n, 1, start);
  o.file.assign(kFixedRegionSize, '\0');
  const int64_t roll = pick(rng, 0, 99);
  const bool wrapped = n >= 2 && roll >= 60;
  o.layout = wrapped ? "wrapped" : roll >= 30 ? "free before oldest" : "plain";
  int64_t capacity = 0;
  if (!wrapped) {
    int64_t at = kFixedRegionSize;
    if (o.layout == "free before oldest") {
      at = fill_free(rng, &o.file, at, at + pick(rng, 1, 3000), &o.stale, start);
      at += pick(rng, 0, 400);
    }
    lay(&o.file, at, &o.ring);
    const int64_t end = static_cast<int64_t>(o.file.size());
    capacity = end + (chance(rng, 50) ? pick(rng, 0, 2000) : 0);
    // Behind the newest record: free space, sometimes with older records.
    if (capacity - end > 500 && chance(rng, 40)) {
      fill_free(rng, &o.file, end, capacity, &o.stale, start);
    }
  } else {
    const uint32_t older = static_cast<uint32_t>(pick(rng, 1, n - 1));
    std::vector<Record> newer(o.ring.begin() + older, o.ring.end());
    lay(&o.file, kFixedRegionSize, &newer);
    const int64_t newer_end = static_cast<int64_t>(o.file.size());
    const int64_t gap_end =
        chance(rng, 15) ? newer_end : newer_end + pick(rng, 1, 2500);  // 15 %: a full ring
    const int64_t filled = fill_free(rng, &o.file, newer_end, gap_end, &o.stale, start);
    std::vector<Record> top(o.ring.begin(), o.ring.begin() + older);
    lay(&o.file, std::max(gap_end, filled), &top);
    capacity = static_cast<int64_t>(o.file.size()) + pick(rng, 0, record_header_size - 1);
    std::copy(newer.begin(), newer.end(), o.ring.begin() + older);
    std::copy(top.begin(), top.end(), o.ring.begin());
  }
  o.file.resize(static_cast<size_t>(capacity), '\0');

  const int64_t roll_forwarded = pick(rng, 0, 99);
  o.forwarded = roll_forwarded < 30   ? 0
                : roll_forwarded < 50 ? n
                                      : static_cast<uint32_t>(pick(rng, 0, n));
  for (uint32_t i = 0; i < n; ++i) o.ring[i].forwarded = i < o.forwarded;
  const Record& oldest = o.ring.front();
  const Record& newest = o.ring.back();
  CommonHeader& h = o.header;
  h.signature = kStoreSignature;
  h.revision = static_cast<uint32_t>(o.type);
  h.oldest_offset = oldest.offset;
  h.newest_offset = newest.offset;
  h.oldest_time = {0, time_of(oldest, start)};
  h.newest_time = {0, time_of(newest, start + 60 * static_cast<int32_t>(n))};
  h.message_count = n;
  h.forwarded_count = o.forwarded;
  h.current_offset = step_after(newest.offset, newest.bytes, capacity);
  h.last_offset = newest.offset;
  h.forward_offset = o.forwarded < n ? o.ring[o.forwarded].offset : h.current_offset;
  h.last_message_size = static_cast<int64_t>(newest.bytes.size() - record_prefix_size);
  h.forward_past_last = 0;
  h.opaque1 = static_cast<uint32_t>(rng());
  h.opaque2 = static_cast<uint32_t>(rng());
  write_header(&o);
  return o;
}

namespace {

// The damaged file and its map, edited in place.
class Editor {
 public:
  explicit Editor(const Original& o) {
    d_.file = o.file;
    d_.origin.resize(o.file.size());
    for (size_t i = 0; i < o.file.size(); ++i) d_.origin[i] = static_cast<int64_t>(i);
    d_.changed.assign(o.file.size(), false);
  }

  void insert(int64_t at, const std::string& bytes) {
    d_.file.insert(static_cast<size_t>(at), bytes);
    d_.origin.insert(d_.origin.begin() + at, bytes.size(), -1);
    d_.changed.insert(d_.changed.begin() + at, bytes.size(), false);
  }
  void erase(int64_t at, int64_t length) {
    length = std::min<int64_t>(length, size() - at);
    d_.file.erase(static_cast<size_t>(at), static_cast<size_t>(length));
    d_.origin.erase(d_.origin.begin() + at, d_.origin.begin() + at + length);
    d_.changed.erase(d_.changed.begin() + at, d_.changed.begin() + at + length);
  }
  void overwrite(int64_t at, const std::string& bytes) {
    for (size_t i = 0; i < bytes.size() && at + static_cast<int64_t>(i) < size(); ++i) {
      const size_t p = static_cast<size_t>(at) + i;
      if (d_.file[p] != bytes[i]) d_.changed[p] = true;
      d_.file[p] = bytes[i];
    }
  }
  int64_t size() const { return static_cast<int64_t>(d_.file.size()); }
  // Where the original byte `offset` lies now; -1 when it is gone.
  int64_t now(int64_t offset) const {
    for (size_t i = 0; i < d_.origin.size(); ++i) {
      if (d_.origin[i] == offset) return static_cast<int64_t>(i);
    }
    return -1;
  }
  Damaged& damaged() { return d_; }
  void note(const std::string& what) { d_.edits.push_back(what); }

 private:
  Damaged d_;
};

std::string garbage(Rng& rng, int64_t length, bool zeros) {
  std::string b(static_cast<size_t>(length), '\0');
  if (!zeros) {
    for (char& c : b) c = static_cast<char>(rng());
  }
  return b;
}

// Rewrites one header field as a writer that got it wrong would: both
// copies, checksums right.
void edit_header_field(const Original& o, Editor* e, Rng& rng) {
  CommonHeader h = o.header;
  const uint32_t n = h.message_count;
  std::string what;
  switch (pick(rng, 0, 8)) {
    case 0:
      if (n < 2) return edit_header_field(o, e, rng);
      h.oldest_offset = o.ring[static_cast<size_t>(pick(rng, 1, n - 1))].offset;
      what = "oldest offset moved to a later record";
      break;
    case 1:
      h.forward_offset = o.ring[static_cast<size_t>(pick(rng, 0, n - 1))].offset;
      what = "forward offset moved to another record";
      break;
    case 2:
      h.forwarded_count = static_cast<uint32_t>(pick(rng, 0, n));
      what = "forwarded count changed";
      // A full ring's oldest record is also the place behind its newest:
      // none forwarded and all forwarded name the same forward offset.
      if (h.forward_offset == h.current_offset && h.current_offset == h.oldest_offset &&
          (h.forwarded_count == 0 || h.forwarded_count == n)) {
        e->damaged().invisible_header_edit = true;
      }
      break;
    case 3:
      h.current_offset = pick(rng, 0, kFixedRegionSize - 1);
      what = "current offset inside the header region";
      break;
    case 4:
      h.last_offset = o.ring.back().offset + pick(rng, 1, 200);
      what = "last offset in the middle of a record";
      break;
    case 5:
      h.last_message_size += chance(rng, 50) ? 16 : -16;
      what = "last message size changed";
      break;
    case 6:
      h.newest_time.seconds += static_cast<int32_t>(pick(rng, 1, 120));
      what = "newest time changed";
      break;
    case 7:
      h.oldest_time.seconds -= static_cast<int32_t>(pick(rng, 1, 120));
      what = "oldest time changed";
      break;
    default:
      h.message_count = std::max<uint32_t>(1, n + static_cast<uint32_t>(pick(rng, 1, 3)));
      if (chance(rng, 50) && n > 3) h.message_count = n - static_cast<uint32_t>(pick(rng, 1, 2));
      what = "count changed";
      break;
  }
  unsigned char region[kFixedRegionSize] = {};
  const uint32_t size = build_header_region(h, o.type, region);
  e->overwrite(0, std::string(reinterpret_cast<const char*>(region), size));
  e->damaged().header_edited = true;
  // A time stamp no message of the ring carries can be checked against nothing.
  const bool untimed_oldest =
      get32(o.ring.front().bytes, record_prefix_size + kMessageHeaderSize + 8) == 0;
  const bool untimed_newest =
      get32(o.ring.back().bytes, record_prefix_size + kMessageHeaderSize + 8) == 0;
  if ((what == "oldest time changed" && untimed_oldest) ||
      (what == "newest time changed" && untimed_newest)) {
    e->damaged().invisible_header_edit = true;
  }
  e->note(what);
}

void edit_record_size(const Original& o, Editor* e, Rng& rng) {
  const Record& r = o.ring[static_cast<size_t>(pick(rng, 0, o.ring.size() - 1))];
  const int64_t at = e->now(r.offset);
  if (at < 0 || at + int64_t{record_header_size} > e->size()) return;
  std::string head = e->damaged().file.substr(static_cast<size_t>(at), record_header_size);
  const uint32_t size = get32(head, record_prefix_size + kMsgSizeAt);
  const bool larger = chance(rng, 50);
  const uint32_t changed =
      larger ? size + static_cast<uint32_t>(pick(rng, 1, 500))
             : size - static_cast<uint32_t>(pick(rng, 1, size - kMessageHeaderSize));
  put32(head, record_prefix_size + kMsgSizeAt, changed);
  uint32_t crc = 0;
  store_file_checksum(head.data() + record_prefix_size, kMessageHeaderSize, &crc);
  put32(head, kHeaderChecksumAt, crc);
  e->overwrite(at, head);
  e->note(std::string("record ") + std::to_string(r.index) + " size made " +
          (larger ? "larger" : "smaller"));
  // A record before the end of the file whose longer size still leaves too
  // few bytes for another record, and that is not the newest: the step rule
  // goes on at 192 either way and no witness tells the sizes apart.
  const int64_t end = at + record_prefix_size + changed;
  if (larger) e->damaged().enlarged.push_back(r.index);
  if (larger && &r != &o.ring.back() &&
      e->size() - at - static_cast<int64_t>(r.bytes.size()) < int64_t{record_header_size} &&
      e->size() - end < int64_t{record_header_size} && end <= e->size()) {
    e->damaged().invisible_records.push_back(r.index);
  }
}

void one_damage(const Original& o, Editor* e, Rng& rng) {
  const int64_t data = kFixedRegionSize;
  const auto somewhere = [&] { return pick(rng, data, std::max<int64_t>(data, e->size() - 1)); };
  const auto record_edge = [&] {
    const Record& r = o.ring[static_cast<size_t>(pick(rng, 0, o.ring.size() - 1))];
    const int64_t at = e->now(r.offset);
    return at >= 0 && chance(rng, 50) ? at + static_cast<int64_t>(r.bytes.size()) : at;
  };
  switch (pick(rng, 0, 11)) {
    case 0: {
      const Record& r = o.ring[static_cast<size_t>(pick(rng, 0, o.ring.size() - 1))];
      const int64_t at = e->now(r.offset);
      if (at < 0) return;
      e->insert(at + static_cast<int64_t>(r.bytes.size()),
                e->damaged().file.substr(static_cast<size_t>(at), r.bytes.size()));
      e->note("record " + std::to_string(r.index) + " copied right behind itself");
      return;
    }
    case 1: {
      int64_t at = chance(rng, 60) ? record_edge() : somewhere();
      if (o.layout == "free before oldest" && chance(rng, 40)) {
        at = pick(rng, data, std::max(data, e->now(o.ring.front().offset)));
      }
      if (at < data) return;
      const int64_t length = pick(rng, 1, 600);
      e->insert(at, garbage(rng, length, chance(rng, 40)));
      e->note("inserted " + std::to_string(length) + " bytes at " + std::to_string(at));
      return;
    }
    case 2: {
      int64_t at = chance(rng, 50) ? record_edge() : somewhere();
      if (o.layout == "free before oldest" && chance(rng, 40)) {
        at = pick(rng, data, std::max(data, e->now(o.ring.front().offset)));
      }
      if (at < data || at >= e->size()) return;
      const int64_t length = pick(rng, 1, 600);
      e->erase(at, length);
      e->note("deleted " + std::to_string(length) + " bytes at " + std::to_string(at));
      return;
    }
    case 3:
      edit_header_field(o, e, rng);
      return;
    case 4:
      edit_record_size(o, e, rng);
      return;
    case 5: {
      // The backup copy's signature: an old layout is then typed by nothing.
      const uint32_t block = kHeaderBlockSize[o.type];
      const int64_t at = block + 4 + pick(rng, 0, 3);
      std::string byte(1, static_cast<char>(e->damaged().file[static_cast<size_t>(at)] ^ 0x40));
      e->overwrite(at, byte);
      e->note("backup signature damaged");
      return;
    }
    case 6: {
      const int64_t length = pick(rng, data + 1, std::max(data + 1, e->size() - 1));
      e->erase(length, e->size() - length);
      e->note("truncated to " + std::to_string(length));
      return;
    }
    case 7: {
      const int64_t at = chance(rng, 15) ? pick(rng, 0, data - 1) : somewhere();
      const int64_t length = pick(rng, 1, 500);
      e->overwrite(at, garbage(rng, length, true));
      e->note("zeroed " + std::to_string(length) + " bytes at " + std::to_string(at));
      return;
    }
    case 8: {
      const int64_t flips = pick(rng, 1, 8);
      for (int64_t i = 0; i < flips; ++i) {
        const int64_t at = pick(rng, 0, e->size() - 1);
        e->overwrite(at,
                     std::string(1, static_cast<char>(e->damaged().file[static_cast<size_t>(at)] ^
                                                      (1 << pick(rng, 0, 7)))));
      }
      e->note(std::to_string(flips) + " bits flipped");
      return;
    }
    case 9: {
      const int64_t length = pick(rng, 1, 800);
      e->insert(e->size(), garbage(rng, length, chance(rng, 30)));
      e->note("appended " + std::to_string(length) + " bytes");
      return;
    }
    case 10: {
      const Record& r = o.ring[static_cast<size_t>(pick(rng, 0, o.ring.size() - 1))];
      const int64_t at = e->now(r.offset);
      if (at < 0) return;
      const int64_t in = pick(rng, 0, record_header_size - 1);
      e->overwrite(at + in,
                   std::string(1, static_cast<char>(
                                      e->damaged().file[static_cast<size_t>(at + in)] ^ 0x10)));
      e->note("record " + std::to_string(r.index) + " header byte " + std::to_string(in) +
              " flipped");
      return;
    }
    default:
      e->note("no damage");
      return;
  }
}

}  // namespace

Damaged damage(const Original& original, Rng& rng) {
  Editor e(original);
  const int kinds = chance(rng, 35) ? 2 : 1;
  for (int k = 0; k < kinds; ++k) one_damage(original, &e, rng);
  // A byte changed twice may be back as it was.
  Damaged& d = e.damaged();
  for (size_t i = 0; i < d.file.size(); ++i) {
    d.changed[i] = d.origin[i] >= 0 && d.file[i] != original.file[static_cast<size_t>(d.origin[i])];
  }
  // A size made larger shows only by a record found inside the record it
  // now claims; where every record it runs over lost its header too, nothing
  // tells the sizes apart.
  for (const uint32_t index : d.enlarged) {
    const Record& r = original.ring[index];
    const int64_t at = e.now(r.offset);
    if (at < 0 || static_cast<size_t>(at) + record_header_size > d.file.size()) continue;
    const int64_t end = at + record_prefix_size +
                        get32(d.file, static_cast<size_t>(at) + record_prefix_size + kMsgSizeAt);
    bool seen = false;
    for (const Record& other : original.ring) {
      const int64_t inside = intact_at(d, other);
      seen = seen || (inside > at && inside < end);
    }
    if (!seen) d.invisible_records.push_back(index);
  }
  return std::move(d);
}

int64_t header_intact_at(const Damaged& d, const Record& r, bool body_word_counts) {
  for (size_t i = 0; i < d.origin.size(); ++i) {
    if (d.origin[i] != r.offset) continue;
    if (i + record_header_size > d.origin.size()) return -1;
    for (size_t k = 0; k < record_header_size; ++k) {
      const bool word = k >= kBodyChecksumAt && k < record_prefix_size;
      if (d.origin[i + k] != r.offset + static_cast<int64_t>(k)) return -1;
      if (d.changed[i + k] && (body_word_counts || !word)) return -1;
    }
    return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t intact_at(const Damaged& d, const Record& r) {
  const int64_t at = header_intact_at(d, r, true);
  if (at < 0 || static_cast<size_t>(at) + r.bytes.size() > d.origin.size()) return -1;
  for (size_t k = 0; k < r.bytes.size(); ++k) {
    const size_t i = static_cast<size_t>(at) + k;
    if (d.origin[i] != r.offset + static_cast<int64_t>(k) || d.changed[i]) return -1;
  }
  return at;
}

bool header_same_at(const Damaged& d, const Record& r, int64_t at, bool body_word_counts) {
  if (at < 0 || static_cast<size_t>(at) + record_header_size > d.file.size()) return false;
  for (size_t k = 0; k < record_header_size; ++k) {
    if (!body_word_counts && k >= kBodyChecksumAt && k < record_prefix_size) continue;
    if (d.file[static_cast<size_t>(at) + k] != r.bytes[k]) return false;
  }
  return true;
}

bool header_region_changed(const Original& o, const Damaged& d) {
  for (size_t i = 0; i < o.region; ++i) {
    if (i >= d.origin.size() || d.origin[i] != static_cast<int64_t>(i) || d.changed[i]) return true;
  }
  return false;
}

}  // namespace recovery
