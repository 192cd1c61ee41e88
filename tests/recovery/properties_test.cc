// The recovery properties, checked against the ground truth of generated
// store files over many seeded cases:
//
//   - FILE is never changed by verify, salvage or a refused rewind;
//   - verify finds a problem whenever the header region or a ring record's
//     first 304 bytes changed, or a ring record moved or went;
//   - salvage keeps every ring record that is intact, each once, in ring
//     order (or lists it as unplaced), never a record whose header was
//     altered, never a stale record where the header names the ring; the
//     records OUT counts as forwarded are a prefix of OUT and were forwarded;
//     OUT verifies clean and salvages to itself byte for byte;
//   - rewind never moves the forward pointer past a message that was not
//     forwarded, and writes nothing when it refuses.
//
// varno_recovery_properties [--seeds=N] [--first-seed=S] [--seed=S] [--keep=DIR]
//                           [--write=DIR]
// runs N seeds from S (default 1000 from 1), or the one seed S with what it
// did; --keep writes the damaged file of each failing seed into DIR, --write
// that of every seed, with a line naming its damage. A failing seed prints a
// one-line reproducer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storeformat/byte_order.h"
#include "storeformat/message_record.h"
#include "tests/recovery/generator.h"
#include "tests/support/test_support.h"
#include "tools/inspect/rewind.h"
#include "tools/inspect/salvage.h"
#include "tools/inspect/store.h"
#include "tools/inspect/verify.h"

namespace {

uint64_t g_first = 1;
uint64_t g_seeds = 1000;
bool g_one = false;
std::string g_keep;
std::string g_write;

struct Tally {
  uint64_t files = 0;
  uint64_t checks = 0;
  uint64_t unplaced_ring = 0;  // intact ring records salvage listed instead of keeping
  uint64_t refused_rewinds = 0;
  uint64_t done_rewinds = 0;
  std::map<std::string, uint64_t> layouts;
};

class Case {
 public:
  Case(uint64_t seed, const std::string& dir, Tally* tally)
      : dir_(dir), rng_(seed), tally_(*tally) {
    o_ = recovery::make_original(rng_);
    d_ = recovery::damage(o_, rng_);
  }

  // The violations found; empty when every property held.
  std::vector<std::string> run() {
    ++tally_.files;
    ++tally_.layouts[o_.layout];
    path_ = dir_ + "/f.DEV1";
    testsupport::write_file(path_, d_.file);
    if (!open(path_, &store_)) return violations_;
    check_verify();
    check_salvage();
    check_rewind();
    check(testsupport::read_file(path_) == d_.file, "FILE changed by a reading command");
    return violations_;
  }

  std::string describe() const {
    std::string text = "type " + std::to_string(o_.type) + ", " + o_.layout + ", " +
                       std::to_string(o_.ring.size()) + " records (" +
                       std::to_string(o_.forwarded) + " forwarded), " +
                       std::to_string(o_.stale.size()) + " stale; damage:";
    for (const std::string& e : d_.edits) text += " [" + e + "]";
    return text;
  }
  const std::string& damaged() const { return d_.file; }

 private:
  bool open(const std::string& path, inspect::Store* store, bool writable = false) {
    inspect::Failure failure;
    const bool ok = inspect::open_store(path, store, &failure, writable);
    check(ok, "cannot open " + path + ": " + inspect::step_words(failure.step));
    return ok;
  }

  void check(bool holds, const std::string& what) {
    ++tally_.checks;
    if (!holds) violations_.push_back(what);
  }

  bool invisible(const recovery::Record& r) const {
    return std::find(d_.invisible_records.begin(), d_.invisible_records.end(), r.index) !=
           d_.invisible_records.end();
  }

  bool ring_changed() const {
    if (recovery::header_region_changed(o_, d_) && !d_.invisible_header_edit) return true;
    for (const recovery::Record& r : o_.ring) {
      if (!recovery::header_same_at(d_, r, r.offset, true) && !invisible(r)) return true;
    }
    return false;
  }

  void check_verify() {
    inspect::VerifyReport report;
    inspect::Failure failure;
    check(inspect::verify_store(store_, nullptr, &report, &failure), "verify failed");
    if (ring_changed()) {
      check(!report.problems.empty(), "verify clean although the header or the ring changed");
    }
  }

  void check_salvage() {
    const std::string out = dir_ + "/out.DEV1";
    inspect::SalvageReport report;
    inspect::SalvageRefusal refusal;
    inspect::Failure failure;
    std::vector<int64_t> kept;
    const bool ok =
        inspect::salvage_store(store_, out, nullptr, &report, &refusal, &failure, &kept);
    inspect::close_store(&store_);
    if (!ok) {
      check(refusal == inspect::SalvageRefusal::kNoRecords,
            std::string("salvage failed: ") + inspect::step_words(failure.step) + " " +
                std::to_string(static_cast<int>(refusal)));
      check(!testsupport::file_exists(out), "a failed salvage left OUT");
      return;
    }
    check_kept(report, kept);
    check_out(out, report);
  }

  // Every kept record against the truth.
  void check_kept(const inspect::SalvageReport& report, const std::vector<int64_t>& kept) {
    std::map<uint32_t, const recovery::Record*> ring;
    std::set<uint32_t> stale;
    for (const recovery::Record& r : o_.ring) ring[r.transaction] = &r;
    for (const recovery::Record& r : o_.stale) stale.insert(r.transaction);
    std::set<uint32_t> seen;
    int64_t previous = -1;
    uint32_t position = 0;
    for (const int64_t at : kept) {
      const auto* m =
          reinterpret_cast<const unsigned char*>(d_.file.data() + at + record_prefix_size);
      const uint32_t transaction = message_transaction(m);
      check(seen.insert(transaction).second,
            "transaction " + std::to_string(transaction) + " kept twice");
      if (stale.count(transaction) != 0) {
        check(!store_.header_usable(), "stale record " + std::to_string(transaction) + " kept");
        ++position;
        continue;
      }
      const auto it = ring.find(transaction);
      if (it == ring.end()) {
        check(false, "a record from nowhere kept at " + std::to_string(at));
        continue;
      }
      const recovery::Record& r = *it->second;
      check(recovery::header_same_at(d_, r, at, false) || invisible(r),
            "record " + std::to_string(r.index) + " kept with an altered header");
      if (store_.header_usable()) {
        check(static_cast<int64_t>(r.index) > previous,
              "record " + std::to_string(r.index) + " kept out of ring order");
      }
      previous = r.index;
      if (position < report.forwarded) {
        check(r.forwarded, "record " + std::to_string(r.index) + " counted forwarded, never was");
      }
      ++position;
    }
    std::set<int64_t> unplaced;
    for (const inspect::UnplacedRecord& u : report.unplaced) unplaced.insert(u.offset);
    for (const recovery::Record& r : o_.ring) {
      const int64_t at = recovery::intact_at(d_, r);
      if (at < 0 || seen.count(r.transaction) != 0) continue;
      if (unplaced.count(at) != 0) {
        ++tally_.unplaced_ring;
        continue;
      }
      check(false,
            "intact record " + std::to_string(r.index) + " at " + std::to_string(at) + " lost");
    }
  }

  void check_out(const std::string& out, const inspect::SalvageReport& report) {
    inspect::Store salvaged;
    if (!open(out, &salvaged)) return;
    inspect::VerifyReport clean;
    inspect::Failure failure;
    check(inspect::verify_store(salvaged, nullptr, &clean, &failure), "verify of OUT failed");
    std::string problems;
    for (const inspect::Problem& p : clean.problems)
      problems += " " + std::to_string(static_cast<int>(p.kind));
    check(clean.problems.empty(), "OUT not clean:" + problems);
    check(clean.records == report.kept, "OUT holds another count than salvage kept");
    const std::string again = dir_ + "/again.DEV1";
    inspect::SalvageReport second;
    inspect::SalvageRefusal refusal;
    const bool ok = inspect::salvage_store(salvaged, again, nullptr, &second, &refusal, &failure);
    inspect::close_store(&salvaged);
    check(ok, "salvage of OUT failed");
    check(ok && testsupport::read_file(again) == testsupport::read_file(out),
          "OUT does not salvage to itself");
    std::remove(again.c_str());
    std::remove(out.c_str());
  }

  void check_rewind() {
    const std::string copy = dir_ + "/r.DEV1";
    testsupport::write_file(copy, d_.file);
    inspect::Store store;
    if (!open(copy, &store, true)) return;
    inspect::RewindRequest request;
    request.execute = true;
    const int64_t n = static_cast<int64_t>(o_.ring.size());
    switch (rng_() % 3) {
      case 0:
        request.target = inspect::RewindRequest::kOldest;
        break;
      case 1:
        request.target = inspect::RewindRequest::kRecord;
        request.n = 1 + static_cast<int64_t>(rng_() % static_cast<uint64_t>(n + 1));
        break;
      default:
        request.target = inspect::RewindRequest::kLast;
        request.n = 1 + static_cast<int64_t>(rng_() % static_cast<uint64_t>(n));
        break;
    }
    inspect::RewindPlan plan;
    inspect::RewindRefusal refusal;
    inspect::Failure failure;
    const bool ok = inspect::rewind_store(store, request, &plan, &refusal, &failure);
    inspect::close_store(&store);
    const std::string after = testsupport::read_file(copy);
    std::remove(copy.c_str());
    if (!ok) {
      ++tally_.refused_rewinds;
      check(after == d_.file, "a refused rewind wrote");
      return;
    }
    ++tally_.done_rewinds;
    // The record the forward pointer names now was forwarded, or is the one
    // the service forwards next.
    const int64_t f = plan.new_forward_offset;
    const int64_t origin = f >= 0 && f < static_cast<int64_t>(d_.origin.size())
                               ? d_.origin[static_cast<size_t>(f)]
                               : -1;
    const recovery::Record* target = nullptr;
    for (const recovery::Record& r : o_.ring) {
      if (r.offset == origin) target = &r;
    }
    check(target != nullptr,
          "rewind pointed the forward offset at no ring record (" + std::to_string(f) + ")");
    if (target != nullptr) {
      check(target->index <= o_.forwarded, "rewind moved the forward pointer forward, to record " +
                                               std::to_string(target->index) + " of " +
                                               std::to_string(o_.forwarded) + " forwarded");
    }
  }

  std::string dir_;
  recovery::Rng rng_;
  Tally& tally_;
  recovery::Original o_;
  recovery::Damaged d_;
  std::string path_;
  inspect::Store store_;
  std::vector<std::string> violations_;
};

TEST(RecoveryProperties, HoldOnEveryGeneratedFile) {
  testsupport::ScratchHome home;
  Tally tally;
  uint64_t failing = 0;
  for (uint64_t seed = g_first; seed < g_first + g_seeds; ++seed) {
    Case c(seed, home.path, &tally);
    const std::vector<std::string> violations = c.run();
    if (g_one || !g_write.empty()) {
      std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), c.describe().c_str());
    }
    if (!g_write.empty()) {
      testsupport::write_file(g_write + "/seed-" + std::to_string(seed) + ".DEV1", c.damaged());
    }
    if (violations.empty()) continue;
    ++failing;
    std::string text;
    for (const std::string& v : violations) text += "\n    " + v;
    ADD_FAILURE() << "seed " << seed << ": " << c.describe() << text
                  << "\n  reproduce: varno_recovery_properties --seed=" << seed;
    if (!g_keep.empty()) {
      testsupport::write_file(g_keep + "/seed-" + std::to_string(seed) + ".DEV1", c.damaged());
    }
  }
  std::printf("%llu files (", static_cast<unsigned long long>(tally.files));
  for (const auto& [layout, count] : tally.layouts) {
    std::printf("%s %llu; ", layout.c_str(), static_cast<unsigned long long>(count));
  }
  std::printf(
      "), %llu checks, %llu failing seeds; %llu intact ring records listed as unplaced; "
      "rewinds %llu done, %llu refused\n",
      static_cast<unsigned long long>(tally.checks), static_cast<unsigned long long>(failing),
      static_cast<unsigned long long>(tally.unplaced_ring),
      static_cast<unsigned long long>(tally.done_rewinds),
      static_cast<unsigned long long>(tally.refused_rewinds));
}

bool flag(const char* arg, const char* name, std::string* value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = arg + n + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string value;
    if (flag(argv[i], "--seeds", &value)) {
      g_seeds = std::strtoull(value.c_str(), nullptr, 10);
    } else if (flag(argv[i], "--first-seed", &value)) {
      g_first = std::strtoull(value.c_str(), nullptr, 10);
    } else if (flag(argv[i], "--seed", &value)) {
      g_first = std::strtoull(value.c_str(), nullptr, 10);
      g_seeds = 1;
      g_one = true;
    } else if (flag(argv[i], "--keep", &value)) {
      g_keep = value;
    } else if (flag(argv[i], "--write", &value)) {
      g_write = value;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  testing::InitGoogleTest(&count, rest.data());
  return RUN_ALL_TESTS();
}
