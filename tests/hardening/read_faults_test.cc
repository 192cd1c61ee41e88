// The listing (menus 2 and 3) and forward tracking (menu 4) with a fault
// injected into each open, store file lock, read and seek they make: the
// command always returns, closes what it opened, never writes the store
// file, and either shows what a clean run shows or says what went wrong.
// Records listed before a failure are exactly those of a clean run.
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

const char kRecordStart[] = "--------------Message # ";
const char kNote[] = "Invalid message record at offset ";

enum class Command { kContents, kFirstLast, kTracking };

const char* command_name(Command c) {
  switch (c) {
    case Command::kContents:
      return "menu 2";
    case Command::kFirstLast:
      return "menu 3";
    case Command::kTracking:
      return "menu 4";
  }
  return "?";
}

// What a fault does to a call it hits.
enum class Mode { kFailOnce, kFailForGood, kEndOfFileOnce, kShortOnce };

const char* mode_name(Mode m) {
  switch (m) {
    case Mode::kFailOnce:
      return "fails once";
    case Mode::kFailForGood:
      return "fails for good";
    case Mode::kEndOfFileOnce:
      return "meets the end of the file once";
    case Mode::kShortOnce:
      return "transfers 100 bytes once";
  }
  return "?";
}

Fault fault_for(faults::Kind kind, int64_t k, Mode m) {
  switch (m) {
    case Mode::kFailOnce:
      return {kind, k, 1, EIO};
    case Mode::kFailForGood:
      return {kind, k, faults::kForever, EIO};
    case Mode::kEndOfFileOnce:
      return {kind, k, 1, EIO, 0};
    case Mode::kShortOnce:
      return {kind, k, 1, EIO, 100};
  }
  return {kind, k};
}

class ReadFaults : public ::testing::Test {
 protected:
  hardening::CommandRun run(Command c, const std::string& path, const std::vector<Fault>& plan) {
    switch (c) {
      case Command::kContents:
        return hardening::run_command(print_store_contents, home.file("answers"), path + "\nS\n",
                                      plan);
      case Command::kFirstLast:
        return hardening::run_command(print_first_last_messages, home.file("answers"),
                                      path + "\nS\n", plan);
      case Command::kTracking:
        // One cycle, then X.
        return hardening::run_command(forward_tracking_command, home.file("answers"),
                                      path + "\nS\n\nX\n", plan);
    }
    return {};
  }

  // Every call index of each kind in `kinds`, each mode: checks each run
  // against the clean one. Returns the number of runs a fault hit.
  int sweep(Command c, const std::string& path, const std::vector<faults::Kind>& kinds) {
    const std::string bytes = testsupport::read_file(path);
    // The first open of a lock name also opens its lock file, which the
    // process keeps: the runs to compare all come after it.
    run(c, path, {});
    const hardening::CommandRun clean = run(c, path, {});
    const std::string& expected = clean.screen;
    if (c == Command::kTracking) {
      EXPECT_NE(expected.find("Total Number of Messages: "), std::string::npos) << expected;
    } else {
      EXPECT_NE(expected.find(kRecordStart), std::string::npos) << expected;
      EXPECT_EQ(expected.find(kNote), std::string::npos) << expected;
    }
    int runs = 0;
    int hit_runs = 0;
    for (faults::Kind kind : kinds) {
      for (int64_t k = 1; k <= clean.calls[kind] + 1; ++k) {
        for (Mode m :
             {Mode::kFailOnce, Mode::kFailForGood, Mode::kEndOfFileOnce, Mode::kShortOnce}) {
          // A seek, an open or a lock cannot be shortened.
          if (!transfers(kind) && (m == Mode::kEndOfFileOnce || m == Mode::kShortOnce)) continue;
          const std::vector<Fault> plan = {fault_for(kind, k, m)};
          SCOPED_TRACE(std::string(command_name(c)) + " on " + path + ": " +
                       faults::kind_name(kind) + " #" + std::to_string(k) + " " + mode_name(m));
          const hardening::CommandRun r = run(c, path, plan);
          ++runs;
          EXPECT_EQ(r.descriptors_after, r.descriptors_before) << "a descriptor was left open";
          EXPECT_TRUE(testsupport::read_file(path) == bytes) << "the store file was written";
          if (r.hits.empty()) {
            EXPECT_EQ(r.screen, expected);
            continue;
          }
          ++hit_runs;
          if (m == Mode::kShortOnce) {
            // A short read is continued: nothing is lost.
            EXPECT_EQ(r.screen, expected);
            continue;
          }
          expect_reported(c, path, r, expected);
        }
      }
    }
    EXPECT_TRUE(hardening::lock_is_free(path)) << "a failed open kept the store file lock";
    std::string indices;
    for (faults::Kind kind : kinds) {
      indices +=
          std::string(" ") + faults::kind_name(kind) + " " + std::to_string(clean.calls[kind]);
    }
    std::printf("%s on %s: call indices%s; %d runs, %d hit by a fault\n", command_name(c),
                path.c_str(), indices.c_str(), runs, hit_runs);
    return hit_runs;
  }

  // A run that a failing call hit: the failure shows, and what was shown
  // before it is what a clean run shows.
  static void expect_reported(Command c, const std::string& path, const hardening::CommandRun& r,
                              const std::string& clean) {
    const std::string& s = r.screen;
    if (r.hits[0].kind == faults::kOpen || r.hits[0].kind == faults::kLock) {
      expect_open_refused(c, path, r);
      return;
    }
    const std::string header_error =
        "\nError reading store file header from " + path + "\n\nError codes\n-----------\n";
    if (s.find(header_error) != std::string::npos) {
      EXPECT_EQ(s.find("STORE FILE:"), std::string::npos) << s;
      if (c == Command::kTracking) {
        // The cycle reports and the command goes on to the next prompt.
        const std::string prompt = "\nPress RETURN to continue or X to exit...";
        ASSERT_GE(s.size(), prompt.size());
        EXPECT_EQ(s.substr(s.size() - prompt.size()), prompt) << s;
      }
      return;
    }
    ASSERT_NE(c, Command::kTracking) << "tracking must report a failed header read: " << s;
    const size_t note = s.find(kNote);
    if (note == std::string::npos) {
      // The only silent outcome: the seek to the end failed, so no record is
      // listed (the file size is taken as -1).
      ASSERT_EQ(r.hits.size(), 1u) << s;
      EXPECT_EQ(r.hits[0].kind, faults::kSeek);
      EXPECT_EQ(r.hits[0].origin, 2) << "only the seek to the end may go unreported: " << s;
      EXPECT_EQ(s, clean.substr(0, clean.find(kRecordStart)));
      return;
    }
    const size_t block = s.rfind(kRecordStart, note);
    ASSERT_NE(block, std::string::npos) << s;
    EXPECT_EQ(s.substr(0, block), clean.substr(0, block)) << "records before the failure differ";
    const std::string tail = "; listing stopped.\n\n";
    if (c == Command::kContents) {
      ASSERT_GE(s.size(), tail.size());
      EXPECT_EQ(s.substr(s.size() - tail.size()), tail) << "menu 2 stops at the note";
      EXPECT_EQ(s.find(tail), s.size() - tail.size()) << "one note";
    }
  }

  // A failed open or store file lock: the open's pairs, once, and nothing of
  // the file after them; tracking goes on to its next prompt.
  static void expect_open_refused(Command c, const std::string& path,
                                  const hardening::CommandRun& r) {
    const std::string& s = r.screen;
    const std::string refused =
        "\nError opening store file " + path +
        "\n\nError codes\n-----------\n\n0) facility=1  error=" + std::to_string(EIO) +
        "\n1) facility=13  error=13153";
    const size_t at = s.find(refused);
    ASSERT_NE(at, std::string::npos) << s;
    EXPECT_EQ(s.find(refused, at + 1), std::string::npos) << "one refusal: " << s;
    EXPECT_EQ(s.find(kRecordStart), std::string::npos) << s;
    EXPECT_EQ(s.find("Total Number of Messages: "), std::string::npos) << s;
    const std::string rest = s.substr(at + refused.size());
    if (c == Command::kTracking && s.find("Press RETURN") < at) {
      EXPECT_EQ(rest, "\nPress RETURN to continue or X to exit...");
    } else {
      EXPECT_EQ(rest, "");
    }
  }

  static bool transfers(faults::Kind kind) {
    return kind != faults::kSeek && kind != faults::kOpen && kind != faults::kLock;
  }

  testsupport::ScratchHome home;
};

TEST_F(ReadFaults, ListingAWrappedRing) {
  const std::string path = home.file("wrapped.r1");
  ASSERT_FALSE(hardening::storegen(home.home(), path, {"--messages", "6", "--wrap"}).empty());
  const std::vector<faults::Kind> kinds = {faults::kOpen, faults::kLock, faults::kSeek,
                                           faults::kRead, faults::kPread};
  EXPECT_GT(sweep(Command::kContents, path, kinds), 0);
  EXPECT_GT(sweep(Command::kFirstLast, path, kinds), 0);
}

// Records of 80 KiB: their bodies are read past the read-ahead, each with a
// positioned read of its own.
TEST_F(ReadFaults, ListingRecordsLargerThanTheReadAhead) {
  const std::string path = home.file("large.r2");
  ASSERT_FALSE(
      hardening::storegen(home.home(), path, {"--messages", "3", "--tags", "5000"}).empty());
  const std::vector<faults::Kind> kinds = {faults::kOpen, faults::kLock, faults::kSeek,
                                           faults::kRead, faults::kPread};
  const hardening::CommandRun clean = run(Command::kContents, path, {});
  EXPECT_GE(clean.calls[faults::kPread], 4) << "one read-ahead and one read per body";
  EXPECT_GT(sweep(Command::kContents, path, kinds), 0);
  EXPECT_GT(sweep(Command::kFirstLast, path, kinds), 0);
}

// A ring longer than the read-ahead: the walk refills it several times.
// Seeks are the same per record as in the small rings, so only the reads
// are swept here.
TEST_F(ReadFaults, ListingARingLongerThanTheReadAhead) {
  const std::string path = home.file("long.r3");
  ASSERT_FALSE(hardening::storegen(home.home(), path, {"--messages", "300"}).empty());
  const std::vector<faults::Kind> kinds = {faults::kRead, faults::kPread};
  const hardening::CommandRun clean = run(Command::kContents, path, {});
  EXPECT_GE(clean.calls[faults::kPread], 2);
  EXPECT_GT(sweep(Command::kContents, path, kinds), 0);
  EXPECT_GT(sweep(Command::kFirstLast, path, kinds), 0);
}

TEST_F(ReadFaults, TrackingOneCycle) {
  const std::string path = home.file("tracked.r4");
  ASSERT_FALSE(
      hardening::storegen(home.home(), path, {"--messages", "4", "--forwarded", "1"}).empty());
  EXPECT_GT(sweep(Command::kTracking, path,
                  {faults::kOpen, faults::kLock, faults::kSeek, faults::kRead, faults::kPread}),
            0);
}

}  // namespace
