// The POSIX implementation from inside: the environment directory's
// sources, the lock files, symbolic links, errno descriptions, terminals,
// the system log and the user's name.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/system_calls.h"

#include <gtest/gtest.h>

namespace {

struct EnvGuard {
  explicit EnvGuard(std::initializer_list<const char*> names) {
    for (const char* n : names) {
      const char* v = std::getenv(n);
      saved.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  ~EnvGuard() {
    for (auto& [n, v] : saved) {
      if (v) {
        setenv(n.c_str(), v->c_str(), 1);
      } else {
        unsetenv(n.c_str());
      }
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

std::string make_temp_dir() {
  char tmpl[] = "/tmp/varno-platform-XXXXXX";
  return mkdtemp(tmpl);
}

std::set<std::string> list_dir(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    closedir(d);
  }
  return names;
}

// A FIFO is refused by a look without waiting for a writer; a file made for
// an exporter may be read by every account.
TEST(MonitoringFiles, AFifoIsRefusedAtOnceAndANewFileIsReadableByAll) {
  const std::string dir = make_temp_dir();
  const std::string fifo = dir + "/f", file = dir + "/n";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int64_t size = -1;
  int fd = 0;
  EXPECT_EQ(platform::open_to_peek(fifo.c_str(), &fd, &size).code, platform::kErrorNotRegularFile);
  EXPECT_EQ(fd, -1);
  const mode_t old_mask = umask(022);
  const platform::Status created = platform::create_readable_file(file.c_str(), &fd);
  umask(old_mask);
  ASSERT_TRUE(created.ok());
  platform::close_file(fd);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  std::filesystem::remove_all(dir);
}

TEST(EnvironmentDirectory, ResolvesInOrderWithOneTrailingSlash) {
  EnvGuard guard({"VARNO_HOME", "XDG_STATE_HOME", "HOME"});
  setenv("HOME", "/home/op", 1);
  unsetenv("XDG_STATE_HOME");
  unsetenv("VARNO_HOME");
  EXPECT_EQ(platform::environment_directory(), "/home/op/.local/state/varno/");
  setenv("XDG_STATE_HOME", "/var/state//", 1);
  EXPECT_EQ(platform::environment_directory(), "/var/state/varno/");
  setenv("VARNO_HOME", "", 1);  // empty counts as unset
  EXPECT_EQ(platform::environment_directory(), "/var/state/varno/");
  setenv("VARNO_HOME", "/srv/varno///", 1);
  EXPECT_EQ(platform::environment_directory(), "/srv/varno/");
}

TEST(NamedLocks, NamesNeverLeaveTheLockDirectory) {
  EnvGuard guard({"VARNO_HOME"});
  const std::string home = make_temp_dir();
  setenv("VARNO_HOME", (home + "/env").c_str(), 1);
  for (const char* name : {"../../escape", "a/b", "..", ".", "back\\slash", "", "plain.EXT-1_x"}) {
    ASSERT_TRUE(platform::lock_acquire(name).ok()) << name;
    platform::lock_release(name);
  }
  EXPECT_EQ(list_dir(home), std::set<std::string>{"env"});
  EXPECT_EQ(list_dir(home + "/env"), std::set<std::string>{"locks"});
  const std::set<std::string> expected = {
      "..%2F..%2Fescape.lock", "a%2Fb.lock", "%...lock",          "%..lock",
      "back%5Cslash.lock",     "%.lock",     "plain.EXT-1_x.lock"};
  EXPECT_EQ(list_dir(home + "/env/locks"), expected);
  // A name longer than a file name may be keeps a prefix and a hash.
  std::string long_name(400, 'n');
  ASSERT_TRUE(platform::lock_acquire(long_name.c_str()).ok());
  platform::lock_release(long_name.c_str());
  EXPECT_EQ(list_dir(home + "/env/locks").size(), expected.size() + 1);
  std::filesystem::remove_all(home);
}

TEST(NamedLocks, EveryNameLengthFitsTheFileSystem) {
  EnvGuard guard({"VARNO_HOME"});
  const std::string home = make_temp_dir();
  setenv("VARNO_HOME", home.c_str(), 1);
  // Up to about 200 encoded characters the name is kept; past that, a prefix
  // and a hash: no lock file name may exceed what a directory entry holds.
  for (size_t length = 195; length <= 260; ++length) {
    const std::string name(length, 'n');
    ASSERT_TRUE(platform::lock_acquire(name.c_str()).ok()) << length;
    platform::lock_release(name.c_str());
  }
  EXPECT_EQ(list_dir(home + "/locks").size(), 66u);
  std::filesystem::remove_all(home);
}

TEST(Files, AFifoIsRefusedWithoutWaitingForItsOtherEnd) {
  const std::string dir = make_temp_dir();
  const std::string fifo = dir + "/store.DEV1";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (int mode : {platform::kModeReadOnly, platform::kModeWriteOnly, platform::kModeReadWrite}) {
    int fd = 0;
    const platform::Status refused = platform::open_file(fifo.c_str(), mode, &fd);
    EXPECT_EQ(fd, -1) << mode;
    EXPECT_EQ(refused.code, platform::kErrorNotRegularFile) << mode;
    EXPECT_EQ(refused.error, EINVAL) << mode;
  }
  std::filesystem::remove_all(dir);
}

TEST(NamedLocks, UnusableLockDirectoryIsReported) {
  EnvGuard guard({"VARNO_HOME"});
  const std::string home = make_temp_dir();
  const std::string file = home + "/not-a-directory";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  setenv("VARNO_HOME", file.c_str(), 1);
  const platform::Status refused = platform::lock_acquire("X");
  EXPECT_EQ(refused.error, ENOTDIR);
  EXPECT_EQ(refused.code, static_cast<uint32_t>(ENOTDIR));
  std::filesystem::remove_all(home);
}

// An entry of the table that fails with E2BIG, an error none of these calls
// gives by itself: a failure that carries it came through the table.
template <typename Result, typename... Args>
Result fail(Args...) {
  errno = E2BIG;
  return Result(-1);
}
int no_rename(const char*, const char*, unsigned) {
  errno = ENOSYS;
  return -1;
}

// Every file, lock and rename call of the layer goes through the table: one
// entry failing fails the call that needs it, with that entry's errno, and
// restoring the table mends it.
TEST(SystemCalls, EachFileCallGoesThroughItsEntry) {
  EnvGuard guard({"VARNO_HOME"});
  const std::string dir = make_temp_dir();
  setenv("VARNO_HOME", dir.c_str(), 1);
  const std::string file = dir + "/f.dat";
  const std::string moved = dir + "/g";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  int fd = -1;
  ASSERT_TRUE(platform::open_file(file.c_str(), platform::kModeReadWrite, &fd).ok());
  platform::SystemCalls& calls = platform::system_calls();
  char buffer[4] = {};
  uint32_t done = 0;
  int64_t position = 0;
  int lock_names = 0;
  const auto open_it = [&] {
    int other = -1;
    const platform::Status opened = platform::open_file(file.c_str(), 0, &other);
    if (other >= 0) close(other);
    return opened;
  };
  const auto fresh_lock = [&] {
    const std::string name = "L" + std::to_string(++lock_names);
    const platform::Status taken = platform::lock_acquire(name.c_str());
    if (taken.ok()) platform::lock_release(name.c_str());
    return taken;
  };
  const auto close_it = [&] {
    int other = -1;
    EXPECT_TRUE(platform::open_file(file.c_str(), 0, &other).ok());
    calls.close = fail<int, int>;
    const platform::Status closed = platform::close_file(other);
    close(other);
    return closed;
  };
  using Case = std::pair<const char*, std::function<platform::Status()>>;
  const std::vector<Case> cases = {
      {"open",
       [&] {
         calls.open = fail<int, const char*, int, mode_t>;
         return open_it();
       }},
      {"fstat",
       [&] {
         calls.fstat = fail<int, int, struct stat*>;
         return open_it();
       }},
      {"lock file's open",
       [&] {
         calls.open = fail<int, const char*, int, mode_t>;
         return fresh_lock();
       }},
      {"lock",
       [&] {
         calls.lock = fail<int, int, int>;
         return fresh_lock();
       }},
      {"seek",
       [&] {
         calls.seek = fail<int64_t, int, int64_t, int>;
         return platform::seek(fd, 0, 0, &position);
       }},
      {"read",
       [&] {
         calls.read = fail<int64_t, int, void*, uint32_t>;
         return platform::read(fd, buffer, 4, &done);
       }},
      {"write",
       [&] {
         calls.write = fail<int64_t, int, const void*, uint32_t>;
         return platform::write(fd, "w", 1, &done);
       }},
      {"pread",
       [&] {
         calls.pread = fail<int64_t, int, void*, uint32_t, int64_t>;
         return platform::read_at(fd, buffer, 4, 0, &done);
       }},
      {"pwrite",
       [&] {
         calls.pwrite = fail<int64_t, int, const void*, uint32_t, int64_t>;
         return platform::write_at(fd, "w", 1, 0, &done);
       }},
      {"sync",
       [&] {
         calls.sync = fail<int, int>;
         return platform::sync(fd);
       }},
      {"rename",
       [&] {
         calls.rename = fail<int, const char*, const char*, unsigned>;
         return platform::rename_no_replace(file.c_str(), moved.c_str());
       }},
      {"link",
       [&] {
         calls.rename = no_rename;
         calls.link = fail<int, const char*, const char*>;
         return platform::rename_no_replace(file.c_str(), moved.c_str());
       }},
      {"remove",
       [&] {
         calls.remove = fail<int, const char*>;
         return platform::remove_file(file.c_str());
       }},
      {"close", close_it},
  };
  for (const auto& [entry, call] : cases) {
    const platform::Status failed = call();
    platform::restore_system_calls();
    EXPECT_FALSE(failed.ok()) << entry;
    EXPECT_EQ(failed.error, E2BIG) << entry;
    EXPECT_EQ(failed.code, static_cast<uint32_t>(E2BIG)) << entry;
    EXPECT_EQ(done, 0u) << entry;
  }
  // A failed stat makes no two paths one file; with the real calls back,
  // every call works again, and what the failures met is still there.
  calls.stat = fail<int, const char*, struct stat*>;
  EXPECT_FALSE(platform::same_file(file.c_str(), file.c_str()));
  platform::restore_system_calls();
  EXPECT_TRUE(platform::same_file(file.c_str(), file.c_str()));
  EXPECT_TRUE(open_it().ok());
  EXPECT_TRUE(fresh_lock().ok());
  EXPECT_TRUE(platform::write_at(fd, "abc", 3, 0, &done).ok());
  EXPECT_TRUE(platform::read_at(fd, buffer, 3, 0, &done).ok());
  EXPECT_EQ(std::string(buffer, done), "abc");
  EXPECT_FALSE(std::filesystem::exists(moved));
  EXPECT_TRUE(platform::close_file(fd).ok());
  std::filesystem::remove_all(dir);
}

TEST(Files, RenameNeverReplacesAndSameFileSeesThroughSpelling) {
  const std::string dir = make_temp_dir();
  const std::string a = dir + "/a", b = dir + "/b";
  close(open(a.c_str(), O_CREAT | O_WRONLY, 0600));
  close(open(b.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_EQ(platform::rename_no_replace(a.c_str(), b.c_str()).code, platform::kErrorAlreadyExists);
  EXPECT_TRUE(std::filesystem::exists(a));
  EXPECT_TRUE(platform::rename_no_replace(a.c_str(), (dir + "/c").c_str()).ok());
  EXPECT_FALSE(std::filesystem::exists(a));

  EXPECT_TRUE(platform::same_file(b.c_str(), (dir + "/./../" + dir.substr(5) + "/b").c_str()));
  ASSERT_EQ(symlink(b.c_str(), (dir + "/link").c_str()), 0);
  EXPECT_TRUE(platform::same_file((dir + "/link").c_str(), b.c_str()));
  EXPECT_FALSE(platform::same_file((dir + "/c").c_str(), b.c_str()));
  EXPECT_FALSE(platform::same_file((dir + "/nothing").c_str(), b.c_str()));
  std::filesystem::remove_all(dir);
}

TEST(Files, ASymbolicLinkIsSpelledAsTheFileItLeadsTo) {
  const std::string dir = make_temp_dir();
  const std::string target = dir + "/VARNO_STORE_N1.DLGP1";
  close(open(target.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(symlink("VARNO_STORE_N1.DLGP1", (dir + "/store.lnk").c_str()), 0);
  ASSERT_EQ(symlink("missing.DLGP2", (dir + "/dangling.lnk").c_str()), 0);
  EXPECT_EQ(platform::stored_spelling((dir + "/store.lnk").c_str()), target);
  // No link: the spelling stays, relative parts and all; a link that leads
  // nowhere names no file to follow.
  const std::string roundabout = dir + "/../" + dir.substr(5) + "/VARNO_STORE_N1.DLGP1";
  EXPECT_EQ(platform::stored_spelling(roundabout.c_str()), roundabout);
  EXPECT_EQ(platform::stored_spelling((dir + "/dangling.lnk").c_str()), dir + "/dangling.lnk");
  std::filesystem::remove_all(dir);
}

TEST(Errors, DescriptionsAndUnknownCodes) {
  std::string text;
  ASSERT_TRUE(platform::describe_code(2, &text).ok());
  EXPECT_EQ(text, "No such file or directory");
  EXPECT_EQ(platform::describe_code(99999, &text).code, static_cast<uint32_t>(EINVAL));
  EXPECT_FALSE(platform::describe_code(0x80000005u, &text).ok());
  // A failure is told by its error number; the code says nothing more here.
  EXPECT_EQ(platform::describe_error(platform::Status::failure(EACCES, EACCES, "ignored")),
            "Permission denied");
}

}  // namespace

namespace {

// Standard output or error pointed at `fd` while the object lives.
struct Redirect {
  Redirect(int which, int fd) : which(which), saved(dup(which)) { dup2(fd, which); }
  ~Redirect() {
    dup2(saved, which);
    close(saved);
  }
  int which;
  int saved;
};

TEST(Terminal, StandardOutputAndErrorAreJudgedApart) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(side, 0);
  const int null = open("/dev/null", O_WRONLY);
  ASSERT_GE(null, 0);
  // Judged while redirected, asserted once the test's own output is back.
  bool seen[4];
  {
    Redirect err(2, side), out(1, null);
    seen[0] = platform::stderr_is_terminal();
    seen[1] = platform::stdout_is_terminal();
  }
  {
    Redirect err(2, null), out(1, side);
    seen[2] = platform::stderr_is_terminal();
    seen[3] = platform::stdout_is_terminal();
  }
  EXPECT_TRUE(seen[0]);
  EXPECT_FALSE(seen[1]);
  EXPECT_FALSE(seen[2]);
  EXPECT_TRUE(seen[3]);
  close(null);
  close(side);
  close(terminal);
}

}  // namespace

namespace {

// The system log, with the socket of a syslog daemon played by the test: the
// table's connect goes to the test's socket instead and notes where it was
// asked to go.
std::string g_log_socket;
std::vector<std::string> g_asked;

sockaddr_un unix_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}
int connect_to_test(int fd, const sockaddr* address, socklen_t) {
  g_asked.push_back(reinterpret_cast<const sockaddr_un*>(address)->sun_path);
  const sockaddr_un own = unix_address(g_log_socket);
  return connect(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
}
ssize_t refuse_send(int, const void*, size_t, int) {
  errno = ENOBUFS;
  return -1;
}

TEST(SystemLog, OneUserNoticeTaggedWithTheSourceAndProcessOrFalse) {
  const std::string dir = make_temp_dir();
  g_log_socket = dir + "/log";
  const int daemon = socket(AF_UNIX, SOCK_DGRAM, 0);
  const sockaddr_un address = unix_address(g_log_socket);
  ASSERT_EQ(bind(daemon, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  g_asked.clear();
  platform::system_calls().connect = connect_to_test;
  const platform::Status logged =
      platform::system_log("varno-inspect", "rewind of a.DEV1: 604 -> 192");
  char today[16];
  const time_t now = time(nullptr);
  strftime(today, sizeof today, "%b %e", localtime(&now));  // the C locale's English names
  char buffer[512];
  const ssize_t n = recv(daemon, buffer, sizeof buffer, MSG_DONTWAIT);
  platform::system_calls().send = refuse_send;
  const platform::Status refused = platform::system_log("varno-inspect", "x");
  close(daemon);
  platform::system_calls().send = platform::default_system_calls().send;
  const platform::Status nobody_listens = platform::system_log("varno-inspect", "x");
  platform::restore_system_calls();
  std::filesystem::remove_all(dir);

  EXPECT_TRUE(logged.ok());
  EXPECT_EQ(refused.error, ENOBUFS);
  EXPECT_EQ(nobody_listens.error, ECONNREFUSED);
  EXPECT_EQ(g_asked, std::vector<std::string>(3, "/dev/log"));
  ASSERT_GT(n, 0);
  // 13: facility user (1, times 8) and priority notice (5).
  const std::string expected = "<13>" + std::string(today) +
                               " \\d\\d:\\d\\d:\\d\\d varno-inspect\\[" + std::to_string(getpid()) +
                               "\\]: rewind of a\\.DEV1: 604 -> 192";
  const std::string got(buffer, static_cast<size_t>(n));
  EXPECT_TRUE(std::regex_match(got, std::regex(expected))) << got;
  // This machine's own log, when it has none.
  if (!std::filesystem::exists(platform::kSystemLogSocket)) {
    EXPECT_FALSE(platform::system_log("varno-platform-test", "no syslog here").ok());
  }
}

// The password database as the table gives it: "op7", an empty name, no
// entry, or a failure.
int g_entry = 0;
int fake_getpwuid_r(uid_t, passwd* entry, char* buffer, size_t, passwd** result) {
  *result = nullptr;
  if (g_entry > 1) return g_entry == 2 ? 0 : EIO;
  entry->pw_name = std::strcpy(buffer, g_entry == 0 ? "op7" : "");
  *result = entry;
  return 0;
}

TEST(CurrentUser, ThePasswordDatabaseElseUserElseTheUserId) {
  EnvGuard guard({"USER"});
  EXPECT_EQ(platform::current_user(), getpwuid(geteuid())->pw_name);
  platform::system_calls().getpwuid_r = fake_getpwuid_r;
  std::vector<std::string> names;
  for (g_entry = 0; g_entry < 4; ++g_entry) {
    setenv("USER", "alice", 1);
    names.push_back(platform::current_user());
  }
  setenv("USER", "", 1);
  names.push_back(platform::current_user());
  unsetenv("USER");
  names.push_back(platform::current_user());
  platform::restore_system_calls();
  const std::string uid = std::to_string(geteuid());
  EXPECT_EQ(names, (std::vector<std::string>{"op7", "alice", "alice", "alice", uid, uid}));
}

}  // namespace
