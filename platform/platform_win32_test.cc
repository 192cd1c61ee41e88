// The Win32 implementation from inside: the two mutexes of a store file lock,
// the names made valid, abandoned locks, the environment directory, the
// system's message table.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

std::string own_lock(const std::string& stem) {
  return stem + "-" + std::to_string(platform::process_id());
}

// Child: holds the one mutex args[0] (not a store file lock: a peer that
// takes only one of the two names), says "held", and releases it when a line
// arrives.
VARNO_TEST_CHILD(hold_mutex) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
  if (mutex == nullptr || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return 1;
  std::cout << "held\n" << std::flush;
  std::string line;
  std::getline(std::cin, line);
  ReleaseMutex(mutex);
  return 0;
}

// Child: takes the store file lock args[0] and ends without giving it back.
VARNO_TEST_CHILD(abandon_lock) {
  return platform::lock_acquire(args.at(0).c_str()) == 0 ? 0 : 1;
}

// Whether a thread other than the caller finds mutex `name` owned.
bool owned_elsewhere(const std::string& name) {
  bool owned = false;
  std::thread probe([&] {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    if (mutex == nullptr) return;
    const DWORD r = WaitForSingleObject(mutex, 0);
    owned = r == WAIT_TIMEOUT;
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(mutex);
    CloseHandle(mutex);
  });
  probe.join();
  return owned;
}

TEST(StoreFileLock, TakesThePlainAndTheGlobalNameAndGivesBothBack) {
  const std::string name = own_lock("DEV1");
  ASSERT_EQ(platform::lock_acquire(name.c_str()), 0);
  EXPECT_TRUE(owned_elsewhere(name));
  EXPECT_TRUE(owned_elsewhere("Global\\" + name));
  platform::lock_release(name.c_str());
  EXPECT_FALSE(owned_elsewhere(name));
  EXPECT_FALSE(owned_elsewhere("Global\\" + name));
}

// A peer that holds either name alone (the service in session 0 holds what
// is global; a peer in the operator's session what is local) keeps the lock
// from being taken until it lets go.
TEST(StoreFileLock, APeerHoldingEitherNameAloneExcludes) {
  const std::string name = own_lock("DEV2");
  for (const std::string& held : {name, "Global\\" + name}) {
    testsupport::Interactive peer(testsupport::self_path(),
                                  testsupport::child_args("hold_mutex", {held}), {});
    ASSERT_TRUE(peer.read_until("held\n")) << held;
    bool taken = false;
    std::thread taker([&] {
      taken = platform::lock_acquire(name.c_str()) == 0;
      platform::lock_release(name.c_str());
    });
    Sleep(500);
    EXPECT_FALSE(taken) << "the lock was taken while a peer held " << held;
    peer.send("\n");
    taker.join();
    EXPECT_TRUE(taken) << held;
    EXPECT_EQ(peer.finish(), 0);
  }
}

TEST(StoreFileLock, ALockItsHolderLeftBehindIsTakenAndSaidToBeAbandoned) {
  const std::string name = own_lock("DEV3");
  // A named mutex lives while someone has a handle to it: this process's
  // handles, kept for its life as the service keeps its own, let the mutex
  // outlive the child.
  bool abandoned = true;
  ASSERT_EQ(platform::lock_acquire(name.c_str(), &abandoned), 0);
  EXPECT_FALSE(abandoned);
  platform::lock_release(name.c_str());
  ASSERT_EQ(testsupport::run_child("abandon_lock", {name}).exit_code, 0);
  ASSERT_EQ(platform::lock_acquire(name.c_str(), &abandoned), 0);
  EXPECT_TRUE(abandoned);
  platform::lock_release(name.c_str());
  ASSERT_EQ(platform::lock_acquire(name.c_str(), &abandoned), 0);
  EXPECT_FALSE(abandoned) << "only the first taker finds it abandoned";
  platform::lock_release(name.c_str());
}

TEST(StoreFileLock, NamesTheObjectManagerRefusesAreMadeValidTheSameWay) {
  EXPECT_EQ(platform::lock_object_name("DEV1"), "DEV1");
  EXPECT_EQ(platform::lock_object_name("C:/store/noext"), "C:/store/noext");
  EXPECT_EQ(platform::lock_object_name("dir.x\\store"), "dir.x%5Cstore");
  EXPECT_EQ(platform::lock_object_name(""), "%");
  // "Global\" and the name must fit MAX_PATH: 253 characters stay, longer
  // ones keep a prefix and a hash of the whole name.
  const std::string fits(253, 'n');
  EXPECT_EQ(platform::lock_object_name(fits.c_str()), fits);
  const std::string longer(254, 'n');
  const std::string made = platform::lock_object_name(longer.c_str());
  EXPECT_EQ(made.size(), 253u);
  EXPECT_EQ(made.substr(0, 236), std::string(236, 'n'));
  EXPECT_EQ(made[236], '~');
  // Each made name is one the platform takes.
  for (const char* name : {"", "dir.x\\store"}) {
    const std::string made_name = platform::lock_object_name(name);
    HANDLE local = CreateMutexA(nullptr, FALSE, made_name.c_str());
    HANDLE global = CreateMutexA(nullptr, FALSE, ("Global\\" + made_name).c_str());
    EXPECT_NE(local, nullptr) << name;
    EXPECT_NE(global, nullptr) << name;
    if (local != nullptr) CloseHandle(local);
    if (global != nullptr) CloseHandle(global);
  }
  HANDLE global = CreateMutexA(nullptr, FALSE, ("Global\\" + made).c_str());
  EXPECT_NE(global, nullptr);
  if (global != nullptr) CloseHandle(global);
}

TEST(EnvironmentDirectory, VarnoHomeElseProgramDataWithOneTrailingSeparator) {
  testsupport::ScratchHome home;
  testsupport::set_env("VARNO_HOME", nullptr);
  testsupport::set_env("ProgramData", "D:\\Data");
  EXPECT_EQ(platform::environment_directory(), "D:\\Data\\varno\\");
  testsupport::set_env("VARNO_HOME", "E:\\varno\\\\");
  EXPECT_EQ(platform::environment_directory(), "E:\\varno\\");
  testsupport::set_env("VARNO_HOME", "E:/varno/");
  EXPECT_EQ(platform::environment_directory(), "E:/varno/");
  testsupport::set_env("VARNO_HOME", "C:\\");
  EXPECT_EQ(platform::environment_directory(), "C:\\");
  testsupport::set_env("ProgramData", "C:\\ProgramData");
}

TEST(Errors, TheSystemMessageTableDescribesCodes) {
  std::string text;
  uint32_t failure = 0;
  ASSERT_TRUE(platform::describe_error(ERROR_FILE_NOT_FOUND, &text, &failure));
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_FALSE(platform::describe_error(0x20000001u, &text, &failure));
  EXPECT_EQ(failure, static_cast<uint32_t>(ERROR_MR_MID_NOT_FOUND));
}

// NUL is a character device to _isatty and GetFileType, but no console.
TEST(Terminal, TheNullDeviceIsNoConsole) {
  const int null = _open("NUL", _O_WRONLY);
  ASSERT_GE(null, 0);
  const int saved_out = _dup(1), saved_err = _dup(2);
  // _dup2 on 1 and 2 also sets the process's standard handles.
  _dup2(null, 1);
  _dup2(null, 2);
  const bool out = platform::stdout_is_terminal();
  const bool err = platform::stderr_is_terminal();
  _dup2(saved_out, 1);
  _dup2(saved_err, 2);
  _close(saved_out);
  _close(saved_err);
  _close(null);
  EXPECT_FALSE(out);
  EXPECT_FALSE(err);
}

TEST(Files, SameFileIgnoresLetterCase) {
  testsupport::ScratchDir dir;
  testsupport::write_file(dir.file("Store.DAT"), "s");
  EXPECT_TRUE(platform::same_file(dir.file("Store.DAT").c_str(), dir.file("sTORE.dat").c_str()));
}

TEST(Files, SyncReachesTheFileOnlyThroughAWritableDescriptor) {
  testsupport::ScratchDir dir;
  const std::string path = dir.file("s.dat");
  testsupport::write_file(path, "");
  const int fd =
      platform::open_file(path.c_str(), platform::kModeReadWrite | platform::kModeBinary);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(platform::io().pwrite(fd, "abc", 3, 2), 3);
  EXPECT_EQ(platform::io().sync(fd), 0);
  EXPECT_EQ(testsupport::read_file(path), std::string("\0\0abc", 5));
  platform::close_file(fd);
  const int reader = platform::open_file(path.c_str(), platform::kModeBinary);
  ASSERT_GE(reader, 0);
  EXPECT_NE(platform::io().sync(reader), 0);
  platform::close_file(reader);
}

}  // namespace
