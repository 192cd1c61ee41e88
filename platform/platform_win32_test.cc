// The Win32 implementation from inside: the two mutexes of a store file lock,
// the names made valid, abandoned locks, the lock's access rights, the
// environment directory, the system's message table and its words for
// errors, names as stored, the console's code pages.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/system_calls.h"
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
  return platform::lock_acquire(args.at(0).c_str()).ok() ? 0 : 1;
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
  ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok());
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
      taken = platform::lock_acquire(name.c_str()).ok();
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
  ASSERT_TRUE(platform::lock_acquire(name.c_str(), &abandoned).ok());
  EXPECT_FALSE(abandoned);
  platform::lock_release(name.c_str());
  ASSERT_EQ(testsupport::run_child("abandon_lock", {name}).exit_code, 0);
  ASSERT_TRUE(platform::lock_acquire(name.c_str(), &abandoned).ok());
  EXPECT_TRUE(abandoned);
  platform::lock_release(name.c_str());
  ASSERT_TRUE(platform::lock_acquire(name.c_str(), &abandoned).ok());
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

// The access control entries of mutex `name`: (SID, access mask) pairs.
std::set<std::pair<std::string, DWORD>> mutex_access(const std::string& name) {
  std::set<std::pair<std::string, DWORD>> entries;
  HANDLE mutex = OpenMutexA(READ_CONTROL, FALSE, name.c_str());
  if (mutex == nullptr) return entries;
  ACL* dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &descriptor) == ERROR_SUCCESS &&
      dacl != nullptr) {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
      char* sid = nullptr;
      if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
          ConvertSidToStringSidA(&ace->SidStart, &sid)) {
        entries.insert({sid, ace->Mask});
        LocalFree(sid);
      }
    }
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  CloseHandle(mutex);
  return entries;
}

// SYSTEM and administrators anything; interactive and service logons and
// every authenticated user (batch and network logons too) what waiting and
// releasing need: a service that comes first does not shut the operator
// out, nor the other way round.
TEST(StoreFileLock, ItsMutexesLetSystemAdministratorsAndLogonsShareThem) {
  const std::string name = own_lock("SECURED");
  ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok());
  const std::set<std::pair<std::string, DWORD>> expected = {
      {"S-1-5-18", MUTEX_ALL_ACCESS},
      {"S-1-5-32-544", MUTEX_ALL_ACCESS},
      {"S-1-5-4", SYNCHRONIZE | MUTEX_MODIFY_STATE},
      {"S-1-5-6", SYNCHRONIZE | MUTEX_MODIFY_STATE},
      {"S-1-5-11", SYNCHRONIZE | MUTEX_MODIFY_STATE}};
  EXPECT_EQ(mutex_access(name), expected);
  EXPECT_EQ(mutex_access("Global\\" + name), expected);
  platform::lock_release(name.c_str());
}

// The mutexes that the table's refusals act on, and the access each open
// asked for.
std::vector<std::pair<std::string, DWORD>> g_opened;
bool g_open_refused = false;

HANDLE refuse_create(SECURITY_ATTRIBUTES*, BOOL, const char*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}
HANDLE record_open(DWORD access, BOOL inherit, const char* name) {
  g_opened.emplace_back(name, access);
  if (g_open_refused) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return OpenMutexA(access, inherit, name);
}

// Wine enforces no access rights: the refusals of an account that may not
// create the mutex again come from the call table.
TEST(StoreFileLock, AMutexAnotherAccountMadeIsOpenedForWaitingAndReleasingOnly) {
  const std::string name = own_lock("OTHERS");
  // Made by "the service" first.
  HANDLE local = CreateMutexA(nullptr, FALSE, name.c_str());
  HANDLE global = CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
  ASSERT_NE(local, nullptr);
  ASSERT_NE(global, nullptr);
  platform::system_calls().create_mutex = refuse_create;
  platform::system_calls().open_mutex = record_open;
  g_opened.clear();
  g_open_refused = false;
  const bool acquired = platform::lock_acquire(name.c_str()).ok();
  EXPECT_TRUE(acquired);
  const DWORD wait_and_release = SYNCHRONIZE | MUTEX_MODIFY_STATE;
  EXPECT_EQ(g_opened, (std::vector<std::pair<std::string, DWORD>>{
                          {name, wait_and_release}, {"Global\\" + name, wait_and_release}}));
  if (acquired) {
    EXPECT_TRUE(owned_elsewhere(name));
    EXPECT_TRUE(owned_elsewhere("Global\\" + name));
    platform::lock_release(name.c_str());
  }
  EXPECT_FALSE(owned_elsewhere(name));

  // Refused that too: no lock, and the error names the mutex.
  const std::string refused = own_lock("REFUSED");
  g_open_refused = true;
  const platform::Status failure = platform::lock_acquire(refused.c_str());
  EXPECT_EQ(failure.error, EACCES);
  EXPECT_EQ(failure.code, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  std::string denied;
  ASSERT_TRUE(platform::describe_code(ERROR_ACCESS_DENIED, &denied).ok());
  while (!denied.empty() && (denied.back() == '\n' || denied.back() == '\r')) denied.pop_back();
  EXPECT_EQ(platform::describe_error(failure), denied + " (store file lock " + refused + ")");
  platform::restore_system_calls();
  CloseHandle(local);
  CloseHandle(global);
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
  ASSERT_TRUE(platform::describe_code(ERROR_FILE_NOT_FOUND, &text).ok());
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(platform::describe_code(0x20000099u, &text).code,
            static_cast<uint32_t>(ERROR_MR_MID_NOT_FOUND));
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

// The system's words for what a call of the layer met; the run-time's for a
// failure without a system error.
TEST(Errors, AFailureIsDescribedInTheSystemsWords) {
  testsupport::ScratchDir dir;
  int fd = 0;
  const platform::Status missing =
      platform::open_file(dir.file("missing.store").c_str(), platform::kModeReadOnly, &fd);
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_EQ(missing.code, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  std::string not_found;
  ASSERT_TRUE(platform::describe_code(ERROR_FILE_NOT_FOUND, &not_found).ok());
  EXPECT_EQ(platform::describe_error(missing) + "\r\n", not_found);
  EXPECT_EQ(platform::describe_error(platform::Status::failure(EINVAL, 0)), std::strerror(EINVAL));
  EXPECT_EQ(platform::describe_errno(ENOENT), std::strerror(ENOENT));
}

// What Windows does to a path over 259 characters where the LongPathsEnabled
// policy is off, and wine never does: the run-time's "no such file" comes
// from the system's "too long", which is what the caller hears.
int too_long(int*, const char*, int, int, int) {
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return ENOENT;
}

TEST(Errors, APathTooLongForThePolicyIsCalledTooLong) {
  testsupport::ScratchDir dir;
  const std::string path = "C:/" + std::string(300, 'p') + ".store";
  platform::system_calls().open = too_long;
  int fd = 0;
  const platform::Status failure = platform::open_file(path.c_str(), platform::kModeReadOnly, &fd);
  platform::restore_system_calls();
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(failure.error, ENAMETOOLONG);
  EXPECT_EQ(failure.code, static_cast<uint32_t>(ERROR_FILENAME_EXCED_RANGE));
  const std::string text = platform::describe_error(failure);
  EXPECT_NE(text.find("(a path of 309 characters; Windows takes one longer than 259 only where "
                      "the LongPathsEnabled policy is on)"),
            std::string::npos)
      << text;
}

TEST(Files, StoredSpellingIsTheNameOnDisk) {
  testsupport::ScratchDir dir;
  testsupport::write_file(dir.file("Big.Store"), "s");
  EXPECT_EQ(platform::stored_spelling(dir.file("BIG.STORE").c_str()), dir.file("Big.Store"));
  EXPECT_EQ(platform::stored_spelling(dir.file("big.store").c_str()), dir.file("Big.Store"));
  // Not there yet: as typed.
  EXPECT_EQ(platform::stored_spelling(dir.file("NEW.STORE").c_str()), dir.file("NEW.STORE"));
  // A wildcard names no one file, though it matches this one.
  EXPECT_EQ(platform::stored_spelling(dir.file("B?G.STORE").c_str()), dir.file("B?G.STORE"));
  EXPECT_EQ(platform::stored_spelling(dir.file("*.STORE").c_str()), dir.file("*.STORE"));
}

// Symbolic links as Windows shows them, which wine cannot (its
// CreateSymbolicLinkA makes nothing): FindFirstFileA finds the link itself,
// a reparse point tagged as a symbolic link, and the opened file's final
// path is its target's.
std::string g_link;          // the path the table calls a link
std::string g_final;         // what the table gives as its final path
std::vector<DWORD> g_sizes;  // the buffer sizes asked with

HANDLE find_as_link(const char* path, WIN32_FIND_DATAA* found) {
  HANDLE h = FindFirstFileA(path, found);
  if (h != INVALID_HANDLE_VALUE && g_link == path) {
    found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    found->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
  }
  return h;
}
DWORD final_as_given(HANDLE, char* buffer, DWORD size, DWORD flags) {
  g_sizes.push_back(size);
  if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) return 0;
  if (g_final.size() >= size) return static_cast<DWORD>(g_final.size() + 1);
  std::memcpy(buffer, g_final.c_str(), g_final.size() + 1);
  return static_cast<DWORD>(g_final.size());
}

TEST(Files, ASymbolicLinkIsSpelledAsTheFileItLeadsTo) {
  testsupport::ScratchDir dir;
  testsupport::write_file(dir.file("store.lnk"), "s");
  g_link = dir.file("STORE.LNK");
  platform::system_calls().find_first_file = find_as_link;
  platform::system_calls().get_final_path = final_as_given;
  g_sizes.clear();
  const std::string deep = "D:\\" + std::string(300, 'd') + "\\VARNO_STORE_N2.DLGP2";
  std::vector<std::string> spelled;
  for (const std::string& final : std::vector<std::string>{
           "\\\\?\\C:\\data\\VARNO_STORE_N1.DLGP1", "\\\\?\\UNC\\host\\share\\VARNO_STORE_N1.DLGP1",
           "\\\\?\\" + deep,  // longer than the first buffer
           std::string()}) {  // no final path: the link's own name
    g_final = final;
    spelled.push_back(platform::stored_spelling(g_link.c_str()));
  }
  // What the system itself gives (wine has a final path for a plain file).
  platform::system_calls().get_final_path = platform::default_system_calls().get_final_path;
  const std::string resolved = platform::stored_spelling(g_link.c_str());
  platform::restore_system_calls();
  EXPECT_EQ(spelled, (std::vector<std::string>{"C:\\data\\VARNO_STORE_N1.DLGP1",
                                               "\\\\host\\share\\VARNO_STORE_N1.DLGP1", deep,
                                               dir.file("store.lnk")}));
  const DWORD needed = static_cast<DWORD>(deep.size() + 5);  // "\\?\" and the terminator
  EXPECT_EQ(g_sizes, (std::vector<DWORD>{MAX_PATH, MAX_PATH, MAX_PATH, needed, MAX_PATH}));
  EXPECT_EQ(resolved.rfind("\\\\?\\", 0), std::string::npos) << resolved;
  EXPECT_TRUE(platform::same_file(resolved.c_str(), dir.file("store.lnk").c_str())) << resolved;
}

// The Application event log as the table gives it: each call said in words.
std::vector<std::string> g_event_calls;
bool g_register_refused = false;
bool g_report_refused = false;
HANDLE const kFakeLog = reinterpret_cast<HANDLE>(0x5150);

HANDLE fake_register(const char* server, const char* source) {
  g_event_calls.push_back(std::string("register ") + (server == nullptr ? "" : server) + source);
  return g_register_refused ? nullptr : kFakeLog;
}
BOOL fake_report(HANDLE log, WORD type, WORD, DWORD event, PSID, WORD count, DWORD,
                 const char** strings, void*) {
  g_event_calls.push_back("report " + std::to_string(log == kFakeLog) + " " + std::to_string(type) +
                          " " + std::to_string(event) + " " + std::to_string(count) + " " +
                          strings[0]);
  return !g_report_refused;
}
BOOL fake_deregister(HANDLE log) {
  g_event_calls.push_back("deregister " + std::to_string(log == kFakeLog));
  return TRUE;
}

TEST(SystemLog, OneInformationEventOfTheSourceOrFalse) {
  platform::system_calls().register_event_source = fake_register;
  platform::system_calls().report_event = fake_report;
  platform::system_calls().deregister_event_source = fake_deregister;
  std::vector<std::pair<bool, std::vector<std::string>>> seen;
  for (const auto& [register_refused, report_refused] :
       {std::pair(false, false), std::pair(false, true), std::pair(true, false)}) {
    g_register_refused = register_refused;
    g_report_refused = report_refused;
    g_event_calls.clear();
    seen.emplace_back(platform::system_log("varno-inspect", "rewind of a.DEV1").ok(),
                      g_event_calls);
  }
  platform::restore_system_calls();
  // 4: EVENTLOG_INFORMATION_TYPE.
  const std::vector<std::string> calls = {"register varno-inspect",
                                          "report 1 4 1 1 rewind of a.DEV1", "deregister 1"};
  EXPECT_EQ(seen[0], std::pair(true, calls));
  EXPECT_EQ(seen[1], std::pair(false, calls));
  EXPECT_EQ(seen[2], std::pair(false, std::vector<std::string>{"register varno-inspect"}));
}

const char* g_user_name = nullptr;  // what the table's GetUserNameA gives; null: it fails
BOOL fake_user_name(char* buffer, DWORD* size) {
  if (g_user_name == nullptr || std::strlen(g_user_name) + 1 > *size) return FALSE;
  std::strcpy(buffer, g_user_name);
  return TRUE;
}

TEST(CurrentUser, TheSystemsNameElseUsernameElseUnknown) {
  const char* had = std::getenv("USERNAME");
  const std::string saved = had != nullptr ? had : "";
  EXPECT_FALSE(platform::current_user().empty());
  platform::system_calls().get_user_name = fake_user_name;
  std::vector<std::string> names;
  for (const char* user_name : {"svc-varno", static_cast<const char*>(nullptr)}) {
    g_user_name = user_name;
    for (const char* variable : {"alice", static_cast<const char*>(nullptr)}) {
      testsupport::set_env("USERNAME", variable);
      names.push_back(platform::current_user());
    }
  }
  platform::restore_system_calls();
  testsupport::set_env("USERNAME", had != nullptr ? saved.c_str() : nullptr);
  EXPECT_EQ(names, (std::vector<std::string>{"svc-varno", "svc-varno", "alice", "unknown"}));
}

// A console of the test's own: wine gives a program under CTest none.
UINT g_pages[2];  // input, output
std::vector<std::string> g_page_calls;
template <int Which>
BOOL fake_set(UINT page) {
  g_page_calls.push_back((Which == 0 ? "input " : "output ") + std::to_string(page));
  g_pages[Which] = page;
  return TRUE;
}

TEST(Console, CodePagesAreUtf8ForTheRunAndTheConsolesOwnAfterIt) {
  platform::SystemCalls& calls = platform::system_calls();
  calls.get_console_cp = [] { return g_pages[0]; };
  calls.get_console_output_cp = [] { return g_pages[1]; };
  calls.set_console_cp = fake_set<0>;
  calls.set_console_output_cp = fake_set<1>;
  g_pages[0] = 850;
  g_pages[1] = 437;
  g_page_calls.clear();
  platform::console_pages_utf8();
  EXPECT_EQ(g_page_calls, (std::vector<std::string>{"input 65001", "output 65001"}));
  platform::console_pages_restore();
  platform::console_pages_restore();  // once only
  EXPECT_EQ(g_page_calls,
            (std::vector<std::string>{"input 65001", "output 65001", "input 850", "output 437"}));
  // A console already in UTF-8 is left as it is; no console, nothing to do.
  for (UINT page : {UINT{CP_UTF8}, UINT{0}}) {
    g_pages[0] = g_pages[1] = page;
    g_page_calls.clear();
    platform::console_pages_utf8();
    platform::console_pages_restore();
    EXPECT_TRUE(g_page_calls.empty()) << page;
  }
  platform::restore_system_calls();
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
  int fd = -1;
  ASSERT_TRUE(
      platform::open_file(path.c_str(), platform::kModeReadWrite | platform::kModeBinary, &fd)
          .ok());
  uint32_t done = 0;
  ASSERT_TRUE(platform::write_at(fd, "abc", 3, 2, &done).ok());
  EXPECT_EQ(done, 3u);
  EXPECT_TRUE(platform::sync(fd).ok());
  EXPECT_EQ(testsupport::read_file(path), std::string("\0\0abc", 5));
  platform::close_file(fd);
  int reader = -1;
  ASSERT_TRUE(platform::open_file(path.c_str(), platform::kModeBinary, &reader).ok());
  EXPECT_FALSE(platform::sync(reader).ok());
  platform::close_file(reader);
}

}  // namespace
