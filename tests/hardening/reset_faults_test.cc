// The forward pointer reset (menu 5) with a fault injected into each of its
// system calls in turn (the open and the store file lock among them), and
// with every short write of the header region: the success lines only ever
// follow a header that reached the disk, a failed open or rewrite leaves the
// region as it was, and where even putting it back fails the next header
// read gives the old header, the new one or a clear failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "tests/hardening/fault_injection.h"
#include "tests/hardening/hardening_support.h"
#include "tests/support/test_support.h"

namespace {

using faults::Fault;
using hardening::Copy;
using hardening::Expected;
using hardening::Verdict;

const char kChangedLine[] =
    "\nThe Forward offset has been changed to the Oldest offset location.\n";
const char kWriteWarning[] = "Warning: ERROR trying to write file header: error in WRITE.\n";
const char kSeekWarning[] = "Warning: ERROR trying to write file header: error in SEEK.\n";

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One store file of a header type, with what a clean reset makes of it.
struct Subject {
  int32_t type = 0;
  std::string path;
  std::string before;                           // the file as made
  std::string after_clean;                      // the file after a reset without faults
  std::string old_block;                        // the header read from `before`, encoded
  std::string new_block;                        // the header read from `after_clean`, encoded
  std::array<int64_t, faults::kKinds> calls{};  // system calls of the clean reset
  uint32_t region = 0;
};

class ResetUnderFaults : public ::testing::Test {
 protected:
  // Makes a file of `type` with messages forwarded (so the reset changes two
  // fields) and resets a copy of it without faults.
  Subject make(int32_t type) {
    Subject s;
    s.type = type;
    s.region = hardening::region_size(type);
    s.path = home.file("reset.t" + std::to_string(type));
    s.before = hardening::storegen(
        home.home(), s.path,
        {"--type", std::to_string(type), "--messages", "3", "--forwarded", "2"});
    const hardening::HeaderReadBack old_header = hardening::read_back(s.path);
    EXPECT_TRUE(old_header.ok);
    EXPECT_EQ(old_header.type, type);
    s.old_block = old_header.block;

    const hardening::CommandRun clean = reset(s, {});
    EXPECT_NE(clean.screen.find(kChangedLine), std::string::npos) << clean.screen;
    s.after_clean = testsupport::read_file(s.path);
    s.calls = clean.calls;
    const hardening::HeaderReadBack new_header = hardening::read_back(s.path);
    EXPECT_TRUE(new_header.ok);
    s.new_block = new_header.block;
    EXPECT_NE(s.new_block, s.old_block) << "the reset must change the header";
    EXPECT_EQ(s.after_clean.substr(s.region), s.before.substr(s.region));
    return s;
  }

  hardening::CommandRun reset(const Subject& s, const std::vector<Fault>& plan) {
    testsupport::write_file(s.path, s.before);
    return hardening::run_command(reset_forward_pointer, home.file("answers"),
                                  "y\n" + s.path + "\nS\n", plan);
  }

  // The reset did not claim success and said why, once. An open that
  // failed (the open itself or the store file lock) says so with its pairs.
  static void expect_refused(const hardening::CommandRun& run, const Subject& s) {
    EXPECT_EQ(run.screen.find("The Forward offset has been changed"), std::string::npos)
        << run.screen;
    EXPECT_EQ(run.screen.find("STORE FILE:"), std::string::npos) << "no header report";
    const size_t opening =
        occurrences(run.screen, "\nError opening store file " + s.path +
                                    "\n\nError codes\n-----------\n\n0) facility=1  error=" +
                                    std::to_string(EIO) + "\n1) facility=13  error=13153");
    const size_t reading =
        occurrences(run.screen, "\nError reading store file header from " + s.path + "\n");
    const size_t writing =
        occurrences(run.screen, "\nError writing store file header to " + s.path + "\n");
    EXPECT_EQ(opening + reading + writing, 1u) << run.screen;
    for (const faults::Hit& hit : run.hits) {
      if (hit.kind == faults::kOpen || hit.kind == faults::kLock) {
        EXPECT_EQ(opening, 1u) << faults::kind_name(hit.kind) << " #" << hit.index << " failed";
      }
    }
    EXPECT_EQ(occurrences(run.screen, "\n\nError codes\n-----------\n"), 1u) << run.screen;
    if (writing == 1) {
      EXPECT_EQ(occurrences(run.screen, kWriteWarning) + occurrences(run.screen, kSeekWarning), 1u)
          << run.screen;
    }
  }

  // The next header read gives what the copies on disk call for; a header it
  // accepts is always the old or the new one.
  static void expect_read_back(const Subject& s, const std::string& context) {
    SCOPED_TRACE(context);
    const std::string file = testsupport::read_file(s.path);
    const std::string old_region = s.before.substr(0, s.region);
    const std::string new_region = s.after_clean.substr(0, s.region);
    const uint32_t block = kHeaderBlockSize[s.type];
    const Expected expected =
        hardening::expected_read(hardening::copy_state(file, old_region, new_region, block, 0),
                                 hardening::copy_state(file, old_region, new_region, block, 1));
    const hardening::HeaderReadBack back = hardening::read_back(s.path);
    EXPECT_EQ(back.check.block_status, expected.block_status);
    switch (expected.verdict) {
      case Verdict::kOld:
        EXPECT_TRUE(back.ok);
        EXPECT_EQ(back.block, s.old_block);
        break;
      case Verdict::kNew:
        EXPECT_TRUE(back.ok);
        EXPECT_EQ(back.block, s.new_block);
        break;
      case Verdict::kBothBad:
        EXPECT_EQ(back.pairs, (hardening::Pairs{{13, 13510}, {13, 13512}}));
        break;
    }
    if (back.ok) {
      EXPECT_TRUE(back.block == s.old_block || back.block == s.new_block);
    }
  }

  testsupport::ScratchHome home;
};

// Every call of every kind the reset makes, failing once and failing for
// good: whenever a fault hits, the reset reports a failure and the file is
// exactly as it was; when none hits, the reset succeeds as without faults.
TEST_F(ResetUnderFaults, EachFailingCallLeavesTheFileAsItWas) {
  for (int32_t type : {2, 1, 0}) {
    const Subject s = make(type);
    // The reset opens the file under its lock, reads the header and writes
    // it back: an open, a lock (two mutexes on Windows), a read, a write and
    // a flush go through the table. Its seeks go to offsets the file layer
    // keeps itself, without a system call.
    EXPECT_EQ(s.calls[faults::kOpen], 1);
    EXPECT_GE(s.calls[faults::kLock], 1);
    EXPECT_EQ(s.calls[faults::kSeek], 0);
    EXPECT_GE(s.calls[faults::kPread], 1);
    EXPECT_EQ(s.calls[faults::kPwrite], 1);
    EXPECT_EQ(s.calls[faults::kSync], 1);
    int fired = 0;
    for (int kind = 0; kind < faults::kKinds; ++kind) {
      for (int64_t k = 1; k <= s.calls[kind] + 1; ++k) {
        for (int64_t times : {int64_t{1}, faults::kForever}) {
          const std::vector<Fault> plan = {{static_cast<faults::Kind>(kind), k, times, EIO}};
          const std::string context =
              "type " + std::to_string(type) + ", " + faults::describe(plan);
          SCOPED_TRACE(context);
          const hardening::CommandRun run = reset(s, plan);
          EXPECT_EQ(run.descriptors_after, run.descriptors_before) << "a descriptor was left open";
          const std::string file = testsupport::read_file(s.path);
          if (run.hits.empty()) {
            EXPECT_NE(run.screen.find(kChangedLine), std::string::npos) << run.screen;
            EXPECT_EQ(file.substr(0, s.region), s.after_clean.substr(0, s.region));
            EXPECT_TRUE(file == s.after_clean);
            continue;
          }
          ++fired;
          expect_refused(run, s);
          EXPECT_EQ(file.substr(0, s.region), s.before.substr(0, s.region));
          EXPECT_TRUE(file == s.before);
          expect_read_back(s, context);
        }
      }
    }
    // Every call index of the clean run was hit, once and for good, and no
    // failure kept the store file lock.
    int64_t total = 0;
    std::string indices;
    for (int kind = 0; kind < faults::kKinds; ++kind) {
      total += s.calls[kind];
      indices += std::string(" ") + faults::kind_name(static_cast<faults::Kind>(kind)) + " " +
                 std::to_string(s.calls[kind]);
    }
    EXPECT_EQ(fired, 2 * total);
    EXPECT_TRUE(hardening::lock_is_free(s.path)) << "a failed reset kept the store file lock";
    std::printf("menu 5, type %d: call indices%s; %d runs hit by a fault\n", type, indices.c_str(),
                fired);
  }
}

// The region write transfers n bytes, then the next write call fails: the
// region that was read before the rewrite is written back over the torn one.
TEST_F(ResetUnderFaults, ShortRegionWriteIsUndone) {
  for (int32_t type : {2, 1, 0}) {
    const Subject s = make(type);
    for (uint32_t n = 0; n < s.region; ++n) {
      std::vector<Fault> plan = {{faults::kPwrite, 1, 1, EIO, n}};
      // A write call that transfers nothing already ends the write.
      if (n > 0) plan.push_back({faults::kPwrite, 2, 1, EIO});
      const std::string context = "type " + std::to_string(type) + ", " + faults::describe(plan);
      SCOPED_TRACE(context);
      const hardening::CommandRun run = reset(s, plan);
      expect_refused(run, s);
      const std::string pairs_tail = "\n1) facility=13  error=13202\n2) facility=13  error=13521";
      ASSERT_GE(run.screen.size(), pairs_tail.size());
      EXPECT_EQ(run.screen.substr(run.screen.size() - pairs_tail.size()), pairs_tail);
      EXPECT_NE(run.screen.find("\n0) facility=1  error=" + std::to_string(n > 0 ? EIO : 0) +
                                "\n1) facility=13  error=13202"),
                std::string::npos)
          << run.screen;
      EXPECT_NE(run.screen.find(kWriteWarning), std::string::npos);
      // n bytes went out and were replaced: region write, its failing rest,
      // the write of the old region.
      EXPECT_EQ(run.calls[faults::kPwrite], n > 0 ? 3 : 1);
      const std::string file = testsupport::read_file(s.path);
      EXPECT_EQ(file.substr(0, s.region), s.before.substr(0, s.region));
      EXPECT_TRUE(file == s.before);
      expect_read_back(s, context);
    }
  }
}

// When the old region cannot be put back either, the file keeps what the
// failed writes left; the next read still accepts only the old or the new
// header, or refuses both.
TEST_F(ResetUnderFaults, FailedUndoLeavesOnlyOldNewOrRefusedHeaders) {
  std::vector<int> verdicts(3, 0);
  for (int32_t type : {2, 1, 0}) {
    const Subject s = make(type);
    const std::string old_region = s.before.substr(0, s.region);
    const std::string new_region = s.after_clean.substr(0, s.region);
    for (uint32_t n = 1; n < s.region; ++n) {
      const uint32_t m = n / 2;
      const Fault short_write = {faults::kPwrite, 1, 1, EIO, n};
      const Fault rest_fails = {faults::kPwrite, 2, 1, EIO};
      struct Case {
        std::vector<Fault> plan;
        std::string region;  // what the header region must hold afterwards
      };
      const std::string torn = new_region.substr(0, n) + old_region.substr(n);
      const std::vector<Case> cases = {
          // The undo's write fails.
          {{short_write, rest_fails, {faults::kPwrite, 3, faults::kForever, EIO}}, torn},
          // The undo writes only m bytes of the old region.
          {{short_write,
            rest_fails,
            {faults::kPwrite, 3, 1, EIO, m},
            {faults::kPwrite, 4, faults::kForever, EIO}},
           old_region.substr(0, m) + new_region.substr(m, n - m) + old_region.substr(n)},
          // The undo is written but cannot be flushed: the old region is what
          // the file holds.
          {{short_write, rest_fails, {faults::kSync, 1, faults::kForever, EIO}}, old_region},
      };
      for (const Case& c : cases) {
        const std::string context = "type " + std::to_string(type) + ", n " + std::to_string(n) +
                                    ", " + faults::describe(c.plan);
        SCOPED_TRACE(context);
        const hardening::CommandRun run = reset(s, c.plan);
        expect_refused(run, s);
        EXPECT_NE(run.screen.find(kWriteWarning), std::string::npos);
        const std::string file = testsupport::read_file(s.path);
        ASSERT_EQ(file.size(), s.before.size());
        EXPECT_EQ(file.substr(0, s.region), c.region);
        EXPECT_EQ(file.substr(s.region), s.before.substr(s.region));
        expect_read_back(s, context);
        const Expected e = hardening::expected_read(
            hardening::copy_state(file, old_region, new_region, kHeaderBlockSize[type], 0),
            hardening::copy_state(file, old_region, new_region, kHeaderBlockSize[type], 1));
        ++verdicts[static_cast<int>(e.verdict)];
      }
    }
  }
  // The cases reach every outcome: a torn primary read from the old backup,
  // a new primary beside the old backup refused, a torn backup beside the new
  // primary.
  EXPECT_GT(verdicts[static_cast<int>(Verdict::kOld)], 0);
  EXPECT_GT(verdicts[static_cast<int>(Verdict::kNew)], 0);
  EXPECT_GT(verdicts[static_cast<int>(Verdict::kBothBad)], 0);
}

}  // namespace
