// The platform layer as its callers see it, the same on every OS: files,
// renames, and named locks between processes.
#include "platform/platform.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

// Child: takes lock args[0] through the platform and says "held", keeps it
// until a line or the end of its input arrives, then gives it back.
VARNO_TEST_CHILD(hold_lock) {
  if (platform::lock_acquire(args.at(0).c_str()) != 0) return 1;
  std::cout << "held\n" << std::flush;
  std::string line;
  std::getline(std::cin, line);
  platform::lock_release(args.at(0).c_str());
  return 0;
}

// True when another process takes lock `name` within `ms`.
bool child_takes_within(const std::string& name, int ms) {
  testsupport::Interactive child(testsupport::self_path(),
                                 testsupport::child_args("hold_lock", {name}), {});
  return child.read_until("held\n", ms);
}

TEST(Files, CreateReportsWhetherTheFileExisted) {
  testsupport::ScratchDir dir;
  const std::string path = dir.file("f.dat");
  int fd = platform::open_file(path.c_str(), platform::kModeReadWrite | platform::kModeCreate);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(platform::last_error(), 0u);
  platform::close_file(fd);
  fd = platform::open_file(path.c_str(), platform::kModeReadWrite | platform::kModeCreate);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(platform::last_error(), platform::kErrorAlreadyExists);
  platform::close_file(fd);
  EXPECT_LT(platform::open_file(dir.file("missing").c_str(), platform::kModeReadOnly), 0);
  EXPECT_EQ(platform::last_error(), platform::kErrorNotFound);
  // A directory is not a file to open.
  EXPECT_LT(platform::open_file(dir.path.c_str(), platform::kModeReadOnly), 0);
}

TEST(Files, RenameNeverReplacesAndSameFileSeesThroughSpelling) {
  testsupport::ScratchDir dir;
  const std::string a = dir.file("a"), b = dir.file("b");
  testsupport::write_file(a, "a");
  testsupport::write_file(b, "b");
  EXPECT_NE(platform::rename_no_replace(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(platform::last_error(), platform::kErrorAlreadyExists);
  EXPECT_EQ(testsupport::read_file(b), "b");
  EXPECT_EQ(platform::rename_no_replace(a.c_str(), dir.file("c").c_str()), 0);
  EXPECT_FALSE(testsupport::file_exists(a));
  EXPECT_EQ(testsupport::read_file(dir.file("c")), "a");

  const std::string leaf = std::filesystem::path(dir.path).filename().string();
  EXPECT_TRUE(platform::same_file(b.c_str(), (dir.path + "/./../" + leaf + "/b").c_str()));
  std::filesystem::create_hard_link(b, dir.file("link"));
  EXPECT_TRUE(platform::same_file(dir.file("link").c_str(), b.c_str()));
  EXPECT_FALSE(platform::same_file(dir.file("c").c_str(), b.c_str()));
  EXPECT_FALSE(platform::same_file(dir.file("nothing").c_str(), b.c_str()));
}

TEST(Files, MonitoringLooksListsAndReplaces) {
  testsupport::ScratchDir dir;
  const std::string a = dir.file("a"), b = dir.file("b");
  testsupport::write_file(a, "12345");
  int64_t size = -1;
  const int fd = platform::open_to_peek(a.c_str(), &size);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, 5);
  platform::close_file(fd);
  EXPECT_LT(platform::open_to_peek(dir.file("none").c_str(), &size), 0);
  EXPECT_EQ(platform::last_error(), platform::kErrorNotFound);
  EXPECT_LT(platform::open_to_peek(dir.path.c_str(), &size), 0);

  // Created new only; the folder's entries with their paths.
  const int created = platform::create_readable_file(b.c_str());
  ASSERT_GE(created, 0);
  platform::close_file(created);
  EXPECT_LT(platform::create_readable_file(b.c_str()), 0);
  EXPECT_EQ(platform::last_error(), platform::kErrorAlreadyExists);
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_EQ(platform::list_directory(dir.path.c_str(), &entries), 0);
  ASSERT_EQ(entries.size(), 2u);
  for (const platform::DirectoryEntry& e : entries) {
    EXPECT_TRUE(platform::same_file(e.path.c_str(), dir.file(e.name).c_str())) << e.path;
  }
  entries.clear();
  EXPECT_NE(platform::list_directory(dir.file("none").c_str(), &entries), 0);
  EXPECT_TRUE(entries.empty());

  // The replacement takes the place of an existing file; onto a folder it
  // fails and leaves both.
  EXPECT_EQ(platform::replace_file(a.c_str(), b.c_str()), 0);
  EXPECT_FALSE(testsupport::file_exists(a));
  EXPECT_EQ(testsupport::read_file(b), "12345");
  std::filesystem::create_directory(dir.file("d"));
  testsupport::write_file(dir.file("d/x"), "x");
  EXPECT_NE(platform::replace_file(b.c_str(), dir.file("d").c_str()), 0);
  EXPECT_EQ(testsupport::read_file(b), "12345");
  EXPECT_EQ(testsupport::read_file(dir.file("d/x")), "x");
}

// Lock names of these tests' own: on Windows lock names are machine-wide.
std::string own_lock(const std::string& stem) {
  return stem + "-" + std::to_string(platform::process_id());
}

TEST(NamedLocks, RepeatedHoldsInOneProcessDoNotBlockAndAllMustBeGivenBack) {
  testsupport::ScratchHome home;
  const std::string name = own_lock("DEV1");
  ASSERT_EQ(platform::lock_acquire(name.c_str()), 0);
  ASSERT_EQ(platform::lock_acquire(name.c_str()), 0);
  platform::lock_release(name.c_str());
  EXPECT_FALSE(child_takes_within(name, 1000)) << "the lock was free while still held once";
  platform::lock_release(name.c_str());
  EXPECT_TRUE(child_takes_within(name, 10000)) << "the last release did not give the lock back";
  // A release too many is ignored.
  platform::lock_release(name.c_str());
  ASSERT_EQ(platform::lock_acquire(name.c_str()), 0);
  EXPECT_FALSE(child_takes_within(name, 1000));
  platform::lock_release(name.c_str());
}

TEST(NamedLocks, NamesThePlatformCannotUseAsTheyAreStillExclude) {
  testsupport::ScratchHome home;
  for (const std::string& stem : {std::string("back\\slash"), std::string("a/../b"),
                                  std::string(400, 'n'), std::string("Global\\x")}) {
    const std::string name = own_lock(stem);
    ASSERT_EQ(platform::lock_acquire(name.c_str()), 0) << name;
    EXPECT_FALSE(child_takes_within(name, 1000)) << name;
    platform::lock_release(name.c_str());
    EXPECT_EQ(platform::lock_object_name(name.c_str()), platform::lock_object_name(name.c_str()));
  }
  // Two long names that share their beginning are two locks.
  const std::string first = own_lock(std::string(400, 'n') + "1");
  const std::string second = own_lock(std::string(400, 'n') + "2");
  EXPECT_NE(platform::lock_object_name(first.c_str()), platform::lock_object_name(second.c_str()));
  ASSERT_EQ(platform::lock_acquire(first.c_str()), 0);
  EXPECT_TRUE(child_takes_within(second, 10000));
  platform::lock_release(first.c_str());
}

}  // namespace
