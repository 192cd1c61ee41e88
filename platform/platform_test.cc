// The platform layer as its callers see it, the same on every OS: files,
// renames, and named locks between processes.
#include "platform/platform.h"

#include <cerrno>
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
  if (!platform::lock_acquire(args.at(0).c_str()).ok()) return 1;
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
  const int create = platform::kModeReadWrite | platform::kModeCreate;
  int fd = -1;
  bool existed = true;
  ASSERT_TRUE(platform::open_file(path.c_str(), create, &fd, &existed).ok());
  EXPECT_GE(fd, 0);
  EXPECT_FALSE(existed);
  EXPECT_TRUE(platform::close_file(fd).ok());
  ASSERT_TRUE(platform::open_file(path.c_str(), create, &fd, &existed).ok());
  EXPECT_TRUE(existed);
  EXPECT_TRUE(platform::close_file(fd).ok());
  // An exclusive create refuses the file that is there, and opens nothing.
  platform::Status failed =
      platform::open_file(path.c_str(), create | platform::kModeExclusive, &fd, &existed);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error, EEXIST);
  EXPECT_EQ(failed.code, platform::kErrorAlreadyExists);
  EXPECT_EQ(fd, -1);
  failed = platform::open_file(dir.file("missing").c_str(), platform::kModeReadOnly, &fd);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error, ENOENT);
  EXPECT_EQ(failed.code, platform::kErrorNotFound);
  // A directory is not a file to open.
  EXPECT_FALSE(platform::open_file(dir.path.c_str(), platform::kModeReadOnly, &fd).ok());
  EXPECT_EQ(fd, -1);
  // A descriptor closed twice: the second close fails with the run-time's EBADF.
  ASSERT_TRUE(platform::open_file(path.c_str(), platform::kModeReadOnly, &fd).ok());
  ASSERT_TRUE(platform::close_file(fd).ok());
  EXPECT_EQ(platform::close_file(fd).error, EBADF);
}

// Each transfer moves what it says and fails with its reason; the end of the
// file is a read of 0 bytes, not a failure.
TEST(Files, TransfersSayWhatTheyMovedOrWhyNot) {
  testsupport::ScratchDir dir;
  const std::string path = dir.file("t.dat");
  int fd = -1;
  ASSERT_TRUE(platform::open_file(
                  path.c_str(),
                  platform::kModeReadWrite | platform::kModeCreate | platform::kModeBinary, &fd)
                  .ok());
  uint32_t done = 99;
  EXPECT_TRUE(platform::write(fd, "abcdef", 6, &done).ok());
  EXPECT_EQ(done, 6u);
  EXPECT_TRUE(platform::write_at(fd, "XY", 2, 10, &done).ok());
  EXPECT_EQ(done, 2u);
  EXPECT_TRUE(platform::sync(fd).ok());
  int64_t position = -1;
  EXPECT_TRUE(platform::seek(fd, 1, 0, &position).ok());
  EXPECT_EQ(position, 1);
  char buffer[16] = {};
  EXPECT_TRUE(platform::read(fd, buffer, 3, &done).ok());
  EXPECT_EQ(std::string(buffer, done), "bcd");
  EXPECT_TRUE(platform::read_at(fd, buffer, 16, 4, &done).ok());
  EXPECT_EQ(std::string(buffer, done), std::string("ef\0\0\0\0XY", 8));
  EXPECT_TRUE(platform::read_at(fd, buffer, 16, 12, &done).ok());
  EXPECT_EQ(done, 0u) << "the end of the file";
  const platform::Status before_start = platform::seek(fd, -1, 0, &position);
  EXPECT_EQ(before_start.error, EINVAL);
  EXPECT_EQ(position, -1);
  ASSERT_TRUE(platform::close_file(fd).ok());
  done = 99;
  const platform::Status closed = platform::read(fd, buffer, 1, &done);
  EXPECT_FALSE(closed.ok());
  EXPECT_EQ(closed.error, EBADF);
  EXPECT_EQ(done, 0u);
}

TEST(Files, RenameNeverReplacesAndSameFileSeesThroughSpelling) {
  testsupport::ScratchDir dir;
  const std::string a = dir.file("a"), b = dir.file("b");
  testsupport::write_file(a, "a");
  testsupport::write_file(b, "b");
  const platform::Status refused = platform::rename_no_replace(a.c_str(), b.c_str());
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.error, EEXIST);
  EXPECT_EQ(refused.code, platform::kErrorAlreadyExists);
  EXPECT_EQ(testsupport::read_file(b), "b");
  EXPECT_TRUE(platform::rename_no_replace(a.c_str(), dir.file("c").c_str()).ok());
  const platform::Status missing = platform::remove_file(a.c_str());
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_EQ(missing.code, platform::kErrorNotFound);
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
  int fd = -1;
  ASSERT_TRUE(platform::open_to_peek(a.c_str(), &fd, &size).ok());
  EXPECT_EQ(size, 5);
  platform::close_file(fd);
  EXPECT_EQ(platform::open_to_peek(dir.file("none").c_str(), &fd, &size).code,
            platform::kErrorNotFound);
  EXPECT_EQ(fd, -1);
  EXPECT_FALSE(platform::open_to_peek(dir.path.c_str(), &fd, &size).ok());

  // Created new only; the folder's entries with their paths.
  int created = -1;
  ASSERT_TRUE(platform::create_readable_file(b.c_str(), &created).ok());
  platform::close_file(created);
  EXPECT_EQ(platform::create_readable_file(b.c_str(), &created).code,
            platform::kErrorAlreadyExists);
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_TRUE(platform::list_directory(dir.path.c_str(), &entries).ok());
  ASSERT_EQ(entries.size(), 2u);
  for (const platform::DirectoryEntry& e : entries) {
    EXPECT_TRUE(platform::same_file(e.path.c_str(), dir.file(e.name).c_str())) << e.path;
  }
  entries.clear();
  EXPECT_EQ(platform::list_directory(dir.file("none").c_str(), &entries).error, ENOENT);
  EXPECT_TRUE(entries.empty());

  // The replacement takes the place of an existing file; onto a folder it
  // fails and leaves both.
  EXPECT_TRUE(platform::replace_file(a.c_str(), b.c_str()).ok());
  EXPECT_FALSE(testsupport::file_exists(a));
  EXPECT_EQ(testsupport::read_file(b), "12345");
  std::filesystem::create_directory(dir.file("d"));
  testsupport::write_file(dir.file("d/x"), "x");
  EXPECT_FALSE(platform::replace_file(b.c_str(), dir.file("d").c_str()).ok());
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
  ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok());
  ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok());
  platform::lock_release(name.c_str());
  EXPECT_FALSE(child_takes_within(name, 1000)) << "the lock was free while still held once";
  platform::lock_release(name.c_str());
  EXPECT_TRUE(child_takes_within(name, 10000)) << "the last release did not give the lock back";
  // A release too many is ignored.
  platform::lock_release(name.c_str());
  ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok());
  EXPECT_FALSE(child_takes_within(name, 1000));
  platform::lock_release(name.c_str());
}

TEST(NamedLocks, NamesThePlatformCannotUseAsTheyAreStillExclude) {
  testsupport::ScratchHome home;
  for (const std::string& stem : {std::string("back\\slash"), std::string("a/../b"),
                                  std::string(400, 'n'), std::string("Global\\x")}) {
    const std::string name = own_lock(stem);
    ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok()) << name;
    EXPECT_FALSE(child_takes_within(name, 1000)) << name;
    platform::lock_release(name.c_str());
    EXPECT_EQ(platform::lock_object_name(name.c_str()), platform::lock_object_name(name.c_str()));
  }
  // Two long names that share their beginning are two locks.
  const std::string first = own_lock(std::string(400, 'n') + "1");
  const std::string second = own_lock(std::string(400, 'n') + "2");
  EXPECT_NE(platform::lock_object_name(first.c_str()), platform::lock_object_name(second.c_str()));
  ASSERT_TRUE(platform::lock_acquire(first.c_str()).ok());
  EXPECT_TRUE(child_takes_within(second, 10000));
  platform::lock_release(first.c_str());
}

}  // namespace
