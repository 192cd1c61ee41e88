// The registry stand-in: a directory tree under <environment directory>/registry/.
//
// Layout. Each root is a directory (registry/HKEY_LOCAL_MACHINE); each key is
// a directory below its parent key; each value is a regular file in its key's
// directory. Names are stored with the case they were created with,
// percent-encoded: every byte outside A-Z a-z 0-9 . _ - becomes %XX (upper-case
// hex), and so does a leading '.', so no name can leave its directory or pass
// for "." or "..". A value's file name is '@' followed by the encoded name (the
// default value is the file "@"); '@' never starts a key's directory name, so a
// key and a value of the same name can live side by side. A value file holds
// the type as a little-endian 32-bit word followed by the data.
//
// Matching. Names are compared without regard to the case of A-Z; other bytes
// compare exactly. A lookup first tries the name as given, then reads the
// directory.
//
// Writers. A value is written whole to a temporary file (".tmp-...", which no
// lookup matches), flushed, and renamed onto its final name, so a reader opens
// either the old file or the new one. Finding the final name (an existing
// value in other letter case keeps its name) and the rename, key creation and
// value deletion run under one exclusive lock, registry/.lock, taken with
// flock. Without it two processes creating "Node" and "NODE" at once would
// both find nothing and make two keys, and two writers of "maxsize" and
// "MaxSize" would leave two values.
//
// Error codes are errno values; "not found" is ENOENT (2).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/registry.h"

namespace platform {

struct RegKeyObject {
  const char* root_name;  // set for a predefined root only
  std::string base;       // the registry directory this key lives in
  std::string dir;        // the key's directory (empty for a root: derived afresh)
  uint32_t access;
};

namespace {

RegKeyObject g_local_machine{"HKEY_LOCAL_MACHINE", "", "", 0xFFFFFFFFu};
RegKeyObject g_current_user{"HKEY_CURRENT_USER", "", "", 0xFFFFFFFFu};

constexpr uint32_t kViewBits = kRegKeyWow64_64Key | kRegKeyWow64_32Key;
constexpr uint32_t kBadData = EIO;  // a value file too short to hold its type

std::string registry_base() {
  return environment_directory() + "registry";
}

std::string base_of(RegKey key) {
  return key->root_name != nullptr ? registry_base() : key->base;
}

std::string dir_of(RegKey key) {
  return key->root_name != nullptr ? registry_base() + "/" + key->root_name : key->dir;
}

char fold(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Order of enumeration: without regard to case, ties by bytes.
bool name_before(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(fold(a[i]));
    const auto cb = static_cast<unsigned char>(fold(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool plain_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::string encode(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (plain_byte(c) && !(i == 0 && c == '.')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Lenient: a '%' not followed by two hex digits stands for itself.
std::string decode(const std::string& entry) {
  std::string out;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '%' && i + 2 < entry.size() && hex_digit(entry[i + 1]) >= 0 &&
        hex_digit(entry[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(entry[i + 1]) * 16 + hex_digit(entry[i + 2]));
      i += 2;
    } else {
      out += entry[i];
    }
  }
  return out;
}

enum class Kind { kKey, kValue };

// The file name that a new key or value of `name` gets.
std::string entry_for(const std::string& name, Kind kind) {
  return kind == Kind::kKey ? encode(name) : "@" + encode(name);
}

// Encoded names must fit the file system's limit for one name.
constexpr size_t kMaxEntryName = 255;

bool is_kind(const std::string& dir, const char* entry, unsigned char d_type, Kind kind) {
  if (kind == Kind::kKey ? (entry[0] == '.' || entry[0] == '@') : entry[0] != '@') return false;
  if (d_type == DT_DIR) return kind == Kind::kKey;
  if (d_type == DT_REG) return kind == Kind::kValue;
  struct stat st;
  if (::stat((dir + "/" + entry).c_str(), &st) != 0) return false;
  return kind == Kind::kKey ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

struct Entry {
  std::string name;   // decoded
  std::string entry;  // as on disk
};

// The keys or values of a directory in enumeration order. A missing
// directory (a root nothing was ever written to) holds nothing.
uint32_t list_entries(const std::string& dir, Kind kind, std::vector<Entry>* out) {
  out->clear();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return errno == ENOENT ? 0 : static_cast<uint32_t>(errno);
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) break;
    if (!is_kind(dir, e->d_name, e->d_type, kind)) continue;
    std::string entry = e->d_name;
    out->push_back({decode(kind == Kind::kKey ? entry : entry.substr(1)), entry});
  }
  const int failure = errno;
  ::closedir(d);
  if (failure != 0) return static_cast<uint32_t>(failure);
  std::sort(out->begin(), out->end(),
            [](const Entry& a, const Entry& b) { return name_before(a.name, b.name); });
  return 0;
}

// Finds the key or value `name` in `dir`, whatever the case of its letters.
// 0 and its file name in *entry, ENOENT, or the error that stopped the search.
uint32_t find_entry(const std::string& dir, const std::string& name, Kind kind,
                    std::string* entry) {
  const std::string exact = entry_for(name, kind);
  struct stat st;
  if (exact.size() <= kMaxEntryName && ::stat((dir + "/" + exact).c_str(), &st) == 0 &&
      (kind == Kind::kKey ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode))) {
    *entry = exact;
    return 0;
  }
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return static_cast<uint32_t>(errno);
  uint32_t result = ENOENT;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) {
      if (errno != 0) result = static_cast<uint32_t>(errno);
      break;
    }
    if (!is_kind(dir, e->d_name, e->d_type, kind)) continue;
    const std::string found = e->d_name;
    if (same_name(decode(kind == Kind::kKey ? found : found.substr(1)), name)) {
      *entry = found;
      result = 0;
      break;
    }
  }
  ::closedir(d);
  return result;
}

uint32_t check_key_name(const std::string& name) {
  if (name.empty()) return EINVAL;
  if (name.size() > kRegMaxKeyName || entry_for(name, Kind::kKey).size() > kMaxEntryName) {
    return ENAMETOOLONG;
  }
  return 0;
}

uint32_t check_value_name(const std::string& name) {
  if (name.size() > kRegMaxValueName || entry_for(name, Kind::kValue).size() > kMaxEntryName) {
    return ENAMETOOLONG;
  }
  return 0;
}

// Splits a key path at its backslashes. An empty or null path has no parts;
// one trailing backslash is allowed, an empty part elsewhere is not.
uint32_t split_path(const char* subkey, std::vector<std::string>* parts) {
  parts->clear();
  if (subkey == nullptr || *subkey == '\0') return 0;
  std::string path = subkey;
  if (path.back() == '\\') path.pop_back();
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    std::string part =
        path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (const uint32_t bad = check_key_name(part)) return bad;
    parts->push_back(part);
    if (end == std::string::npos) return 0;
    start = end + 1;
  }
}

// Exclusive lock of the whole tree for writers; -1 and the error in *code
// when it cannot be taken.
int lock_tree(const std::string& base, uint32_t* code) {
  if (const Status made = make_directories(base); !made.ok()) {
    *code = made.code;
    return -1;
  }
  const int fd = ::open((base + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *code = static_cast<uint32_t>(errno);
    return -1;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      *code = static_cast<uint32_t>(errno);
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

void unlock_tree(int fd) {
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

void sync_directory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Reads a whole value file: its type and its data.
uint32_t read_value_file(const std::string& path, uint32_t* type,
                         std::vector<unsigned char>* data) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return static_cast<uint32_t>(errno);
  std::vector<unsigned char> bytes;
  unsigned char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int failure = errno;
      ::close(fd);
      return static_cast<uint32_t>(failure);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  if (bytes.size() < 4) return kBadData;
  *type = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
          (uint32_t{bytes[3]} << 24);
  data->assign(bytes.begin() + 4, bytes.end());
  return 0;
}

// Hands data out as RegQueryValueExA does.
uint32_t give_data(const std::vector<unsigned char>& bytes, void* data, uint32_t* size) {
  const auto length = static_cast<uint32_t>(bytes.size());
  if (data == nullptr) {
    if (size != nullptr) *size = length;
    return 0;
  }
  if (size == nullptr) return EINVAL;
  if (*size < length) {
    *size = length;
    return EOVERFLOW;
  }
  if (length > 0) std::memcpy(data, bytes.data(), length);
  *size = length;
  return 0;
}

// Hands a name out as RegEnumKeyExA does.
uint32_t give_name(const std::string& found, char* name, uint32_t* name_size) {
  if (found.size() + 1 > *name_size) return EOVERFLOW;
  std::memcpy(name, found.c_str(), found.size() + 1);
  *name_size = static_cast<uint32_t>(found.size());
  return 0;
}

RegKey new_key(const std::string& base, const std::string& dir, uint32_t sam) {
  return new RegKeyObject{nullptr, base, dir, sam & ~kViewBits};
}

uint32_t posix_open_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                           RegKey* result) {
  if (key == nullptr) return EBADF;
  if (result == nullptr || options != 0) return EINVAL;
  std::vector<std::string> parts;
  if (const uint32_t bad = split_path(subkey, &parts)) return bad;
  std::string dir = dir_of(key);
  for (const std::string& part : parts) {
    std::string entry;
    if (const uint32_t code = find_entry(dir, part, Kind::kKey, &entry)) return code;
    dir += "/" + entry;
  }
  *result = new_key(base_of(key), dir, sam);
  return 0;
}

uint32_t posix_close_key(RegKey key) {
  if (key == nullptr) return EBADF;
  if (key->root_name == nullptr) delete key;
  return 0;
}

uint32_t posix_query_value_ex(RegKey key, const char* name, uint32_t* type, void* data,
                              uint32_t* size) {
  if (key == nullptr) return EBADF;
  if ((key->access & kRegKeyQueryValue) == 0) return EACCES;
  const std::string value = name != nullptr ? name : "";
  if (const uint32_t bad = check_value_name(value)) return bad;
  const std::string dir = dir_of(key);
  std::string entry;
  if (const uint32_t code = find_entry(dir, value, Kind::kValue, &entry)) return code;
  uint32_t stored_type = 0;
  std::vector<unsigned char> bytes;
  if (const uint32_t code = read_value_file(dir + "/" + entry, &stored_type, &bytes)) return code;
  if (data != nullptr && size == nullptr) return EINVAL;
  const uint32_t code = give_data(bytes, data, size);
  if (type != nullptr && (code == 0 || code == EOVERFLOW)) *type = stored_type;
  return code;
}

uint32_t posix_query_info_key(RegKey key, uint32_t* subkeys, uint32_t* max_subkey_name,
                              uint32_t* values, uint32_t* max_value_name,
                              uint32_t* max_value_data) {
  if (key == nullptr) return EBADF;
  if ((key->access & kRegKeyQueryValue) == 0) return EACCES;
  const std::string dir = dir_of(key);
  std::vector<Entry> keys, vals;
  if (const uint32_t code = list_entries(dir, Kind::kKey, &keys)) return code;
  if (const uint32_t code = list_entries(dir, Kind::kValue, &vals)) return code;
  uint32_t longest_key = 0, longest_name = 0, longest_data = 0;
  for (const Entry& e : keys) longest_key = std::max<uint32_t>(longest_key, e.name.size());
  for (const Entry& e : vals) {
    longest_name = std::max<uint32_t>(longest_name, e.name.size());
    struct stat st;
    if (::stat((dir + "/" + e.entry).c_str(), &st) == 0 && st.st_size > 4) {
      longest_data = std::max<uint32_t>(longest_data, static_cast<uint32_t>(st.st_size - 4));
    }
  }
  if (subkeys != nullptr) *subkeys = static_cast<uint32_t>(keys.size());
  if (max_subkey_name != nullptr) *max_subkey_name = longest_key;
  if (values != nullptr) *values = static_cast<uint32_t>(vals.size());
  if (max_value_name != nullptr) *max_value_name = longest_name;
  if (max_value_data != nullptr) *max_value_data = longest_data;
  return 0;
}

uint32_t posix_enum_key_ex(RegKey key, uint32_t index, char* name, uint32_t* name_size) {
  if (key == nullptr) return EBADF;
  if (name == nullptr || name_size == nullptr) return EINVAL;
  if ((key->access & kRegKeyEnumerateSubKeys) == 0) return EACCES;
  std::vector<Entry> keys;
  if (const uint32_t code = list_entries(dir_of(key), Kind::kKey, &keys)) return code;
  if (index >= keys.size()) return ENODATA;
  return give_name(keys[index].name, name, name_size);
}

uint32_t posix_enum_value(RegKey key, uint32_t index, char* name, uint32_t* name_size,
                          uint32_t* type, void* data, uint32_t* data_size) {
  if (key == nullptr) return EBADF;
  if (name == nullptr || name_size == nullptr) return EINVAL;
  if ((key->access & kRegKeyQueryValue) == 0) return EACCES;
  const std::string dir = dir_of(key);
  std::vector<Entry> vals;
  if (const uint32_t code = list_entries(dir, Kind::kValue, &vals)) return code;
  if (index >= vals.size()) return ENODATA;
  uint32_t stored_type = 0;
  std::vector<unsigned char> bytes;
  if (const uint32_t code = read_value_file(dir + "/" + vals[index].entry, &stored_type, &bytes)) {
    return code;
  }
  if (data != nullptr && data_size == nullptr) return EINVAL;
  if (const uint32_t code = give_name(vals[index].name, name, name_size)) return code;
  const uint32_t code = give_data(bytes, data, data_size);
  if (type != nullptr && (code == 0 || code == EOVERFLOW)) *type = stored_type;
  return code;
}

uint32_t posix_create_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                             RegKey* result, uint32_t* disposition) {
  if (key == nullptr) return EBADF;
  if (result == nullptr || options != kRegOptionNonVolatile) return EINVAL;
  if ((key->access & kRegKeyCreateSubKey) == 0) return EACCES;
  std::vector<std::string> parts;
  if (const uint32_t bad = split_path(subkey, &parts)) return bad;
  const std::string base = base_of(key);
  std::string dir = dir_of(key);
  if (key->root_name != nullptr) {
    if (const Status made = make_directories(dir); !made.ok()) return made.code;
  }
  uint32_t code = 0;
  const int lock = lock_tree(base, &code);
  if (lock < 0) return code;
  bool created = false;
  for (const std::string& part : parts) {
    std::string entry;
    code = find_entry(dir, part, Kind::kKey, &entry);
    created = false;
    if (code == ENOENT) {
      entry = entry_for(part, Kind::kKey);
      if (::mkdir((dir + "/" + entry).c_str(), 0700) != 0) {
        code = static_cast<uint32_t>(errno);
        break;
      }
      code = 0;
      created = true;
    }
    if (code != 0) break;
    dir += "/" + entry;
  }
  unlock_tree(lock);
  if (code != 0) return code;
  *result = new_key(base, dir, sam);
  if (disposition != nullptr) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
  return 0;
}

std::atomic<uint64_t> g_temp_counter{0};

// Writes the value file under a temporary name in `dir`; its path in *temp.
uint32_t write_temp(const std::string& dir, uint32_t type, const void* data, uint32_t size,
                    std::string* temp) {
  std::vector<unsigned char> bytes(4 + static_cast<size_t>(size));
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(type >> (8 * i));
  if (size > 0) std::memcpy(bytes.data() + 4, data, size);
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "/.tmp-%d-%llu", process_id(),
                  static_cast<unsigned long long>(g_temp_counter.fetch_add(1)));
    *temp = dir + name;
    fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && (errno != EEXIST || attempt > 100)) return static_cast<uint32_t>(errno);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const uint32_t failure = n < 0 ? static_cast<uint32_t>(errno) : EIO;
      ::close(fd);
      ::unlink(temp->c_str());
      return failure;
    }
    done += static_cast<size_t>(n);
  }
  // The data must be on disk before the name points at them, or a crash
  // could leave an empty value under the final name.
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const uint32_t failure = static_cast<uint32_t>(errno);
    ::unlink(temp->c_str());
    return failure;
  }
  return 0;
}

uint32_t posix_set_value_ex(RegKey key, const char* name, uint32_t type, const void* data,
                            uint32_t size) {
  if (key == nullptr) return EBADF;
  if (data == nullptr && size > 0) return EINVAL;
  if ((key->access & kRegKeySetValue) == 0) return EACCES;
  const std::string value = name != nullptr ? name : "";
  if (const uint32_t bad = check_value_name(value)) return bad;
  const std::string dir = dir_of(key);
  if (key->root_name != nullptr) {
    if (const Status made = make_directories(dir); !made.ok()) return made.code;
  }
  std::string temp;
  if (const uint32_t code = write_temp(dir, type, data, size, &temp)) return code;
  uint32_t code = 0;
  const int lock = lock_tree(base_of(key), &code);
  if (lock < 0) {
    ::unlink(temp.c_str());
    return code;
  }
  std::string entry;
  code = find_entry(dir, value, Kind::kValue, &entry);
  if (code == ENOENT) {
    entry = entry_for(value, Kind::kValue);
    code = 0;
  }
  if (code == 0 && ::rename(temp.c_str(), (dir + "/" + entry).c_str()) != 0) {
    code = static_cast<uint32_t>(errno);
  }
  unlock_tree(lock);
  if (code != 0) {
    ::unlink(temp.c_str());
    return code;
  }
  sync_directory(dir);
  return 0;
}

uint32_t posix_delete_value(RegKey key, const char* name) {
  if (key == nullptr) return EBADF;
  if ((key->access & kRegKeySetValue) == 0) return EACCES;
  const std::string value = name != nullptr ? name : "";
  if (const uint32_t bad = check_value_name(value)) return bad;
  const std::string dir = dir_of(key);
  uint32_t code = 0;
  const int lock = lock_tree(base_of(key), &code);
  if (lock < 0) return code;
  std::string entry;
  code = find_entry(dir, value, Kind::kValue, &entry);
  if (code == 0 && ::unlink((dir + "/" + entry).c_str()) != 0) code = static_cast<uint32_t>(errno);
  unlock_tree(lock);
  return code;
}

constexpr RegistryCalls kPosixCalls = {
    posix_open_key_ex,  posix_query_value_ex, posix_query_info_key,
    posix_enum_key_ex,  posix_enum_value,     posix_create_key_ex,
    posix_set_value_ex, posix_delete_value,   posix_close_key,
};

}  // namespace

RegKey const kRegLocalMachine = &g_local_machine;
RegKey const kRegCurrentUser = &g_current_user;

const uint32_t kRegSystemView = 0;

const uint32_t kRegErrorMoreData = EOVERFLOW;
const uint32_t kRegErrorNoMoreItems = ENODATA;
const uint32_t kRegErrorAccessDenied = EACCES;
const uint32_t kRegErrorInvalidParameter = EINVAL;
const uint32_t kRegErrorInvalidHandle = EBADF;

const RegistryCalls& default_registry_calls() {
  return kPosixCalls;
}

}  // namespace platform
