// varno-reg: the operator's view of the registry the file layer and the
// store configuration read (on POSIX the stand-in tree under the environment
// directory, where there is no regedit).
//
//   varno-reg list   KEY               subkeys and values of KEY
//   varno-reg get    KEY NAME          one value
//   varno-reg set    KEY NAME NUMBER   store a DWORD, creating KEY as needed
//   varno-reg delete KEY NAME          remove a value
//
// KEY is written the Windows way, "HKLM\SOFTWARE\Quellmark\VAR-NO". Exit
// status: 0 done, 1 the registry refused or lacks what was asked for,
// 2 bad command line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/registry.h"

namespace {

using platform::RegKey;

constexpr int kExitOk = 0;
constexpr int kExitRegistry = 1;
constexpr int kExitUsage = 2;

const char kUsageLines[] =
    "usage: varno-reg list   KEY\n"
    "       varno-reg get    KEY NAME\n"
    "       varno-reg set    KEY NAME NUMBER\n"
    "       varno-reg delete KEY NAME\n"
    "       varno-reg --help | --version\n"
    "\n"
    "KEY is a registry key written the Windows way, for example\n";
// The example key, as the user's shell wants it typed.
const char kKeyQuoted[] =
    "  'HKLM\\SOFTWARE\\Quellmark\\VAR-NO'\n"
    "(quote it: the shell takes backslashes away). The root is HKLM or\n";
const char kKeyPlain[] =
    "  HKLM\\SOFTWARE\\Quellmark\\VAR-NO\n"
    "(no quotes needed). The root is HKLM or\n";
const char kUsageRest[] =
    "HKEY_LOCAL_MACHINE, HKCU or HKEY_CURRENT_USER; names are matched without\n"
    "regard to case. NAME \"\" is the key's default value.\n"
    "NUMBER is stored as a REG_DWORD: 0 to 4294967295, -2147483648 to -1 (its\n"
    "32-bit two's complement), or 0x and 1 to 8 hex digits.\n"
    "set creates KEY and its parents when missing. get prints a REG_DWORD as an\n"
    "unsigned decimal number.\n";

std::string usage() {
  return std::string(kUsageLines) + (platform::kShellTakesBackslashes ? kKeyQuoted : kKeyPlain) +
         kUsageRest;
}

struct KeyPath {
  RegKey root;
  std::string root_name;  // the root's full name
  std::string subkey;     // below the root, without a trailing backslash
  std::string shown() const { return subkey.empty() ? root_name : root_name + "\\" + subkey; }
};

bool same_text(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char ca = a[i], cb = b[i];
    if (ca >= 'a' && ca <= 'z') ca = static_cast<char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<char>(cb - 'a' + 'A');
    if (ca != cb) return false;
  }
  return true;
}

bool parse_key(const char* text, KeyPath* key) {
  const std::string path = text;
  const size_t slash = path.find('\\');
  const std::string root = path.substr(0, slash);
  if (same_text(root, "HKLM") || same_text(root, "HKEY_LOCAL_MACHINE")) {
    key->root = platform::kRegLocalMachine;
    key->root_name = "HKEY_LOCAL_MACHINE";
  } else if (same_text(root, "HKCU") || same_text(root, "HKEY_CURRENT_USER")) {
    key->root = platform::kRegCurrentUser;
    key->root_name = "HKEY_CURRENT_USER";
  } else {
    // A shell that passes quotes on (cmd.exe) leaves them in the argument.
    const bool quoted = !root.empty() && (root[0] == '\'' || root[0] == '"');
    std::fprintf(stderr, "varno-reg: unknown root key \"%s\" in %s (use HKLM or HKCU%s)\n",
                 root.c_str(), text, quoted ? ", without the quotes" : "");
    return false;
  }
  key->subkey = slash == std::string::npos ? "" : path.substr(slash + 1);
  if (!key->subkey.empty() && key->subkey.back() == '\\') key->subkey.pop_back();
  return true;
}

// A REG_DWORD from the command line; false for anything else.
bool parse_dword(const char* text, uint32_t* value) {
  const std::string s = text;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    if (s.size() > 10) return false;
    uint32_t v = 0;
    for (size_t i = 2; i < s.size(); ++i) {
      const char c = s[i];
      uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      v = v * 16 + digit;
    }
    *value = v;
    return true;
  }
  const bool negative = !s.empty() && s[0] == '-';
  const size_t start = negative ? 1 : 0;
  if (s.size() == start || s.size() - start > 10) return false;
  uint64_t v = 0;
  for (size_t i = start; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
  }
  if (negative ? v > 2147483648ull : v > 4294967295ull) return false;
  *value = negative ? static_cast<uint32_t>(0ull - v) : static_cast<uint32_t>(v);
  return true;
}

std::string describe(uint32_t code) {
  std::string text;
  if (!platform::describe_code(code, &text).ok()) text = "unknown error";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text + " (code " + std::to_string(code) + ")";
}

int registry_error(const std::string& what, uint32_t code) {
  if (code == platform::kRegErrorNotFound) {
    std::fprintf(stderr, "varno-reg: %s: not found\n", what.c_str());
  } else {
    std::fprintf(stderr, "varno-reg: %s: %s\n", what.c_str(), describe(code).c_str());
  }
  return kExitRegistry;
}

const char* type_name(uint32_t type) {
  switch (type) {
    case platform::kRegNone:
      return "REG_NONE";
    case platform::kRegSz:
      return "REG_SZ";
    case platform::kRegBinary:
      return "REG_BINARY";
    case platform::kRegDword:
      return "REG_DWORD";
    default:
      return nullptr;
  }
}

// "REG_DWORD 3 (0x00000003)", "REG_SZ \"text\"", or the type and hex bytes.
std::string value_text(uint32_t type, const std::vector<unsigned char>& data) {
  char buffer[64];
  if (type == platform::kRegDword && data.size() == 4) {
    const uint32_t v = uint32_t{data[0]} | (uint32_t{data[1]} << 8) | (uint32_t{data[2]} << 16) |
                       (uint32_t{data[3]} << 24);
    std::snprintf(buffer, sizeof buffer, "REG_DWORD %u (0x%08x)", v, v);
    return buffer;
  }
  std::string text;
  if (const char* name = type_name(type)) {
    text = name;
  } else {
    std::snprintf(buffer, sizeof buffer, "type %u", type);
    text = buffer;
  }
  if (type == platform::kRegSz) {
    std::string s(data.begin(), data.end());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return text + " \"" + s + "\"";
  }
  text += " hex:";
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, "%s%02x", i == 0 ? "" : ",", data[i]);
    text += buffer;
  }
  return text;
}

// Reads a value whole, whatever its length.
uint32_t read_value(RegKey key, const char* name, uint32_t* type,
                    std::vector<unsigned char>* data) {
  for (;;) {
    uint32_t size = 0;
    uint32_t code = platform::reg_query_value_ex(key, name, type, nullptr, &size);
    if (code != 0) return code;
    data->assign(size + 1, 0);  // never empty, so the buffer pointer is never null
    uint32_t room = static_cast<uint32_t>(data->size());
    code = platform::reg_query_value_ex(key, name, type, data->data(), &room);
    if (code == platform::kRegErrorMoreData) continue;  // it grew meanwhile
    if (code == 0) data->resize(room);
    return code;
  }
}

int open_key(const KeyPath& path, uint32_t sam, RegKey* key) {
  const uint32_t code = platform::reg_open_key_ex(path.root, path.subkey.c_str(), 0, sam, key);
  if (code != 0) return registry_error("key " + path.shown(), code);
  return kExitOk;
}

int command_list(const KeyPath& path) {
  RegKey key = nullptr;
  if (const int failed = open_key(path, platform::kRegKeyRead, &key)) return failed;
  std::string out = path.shown() + "\n";
  uint32_t code = 0;
  for (uint32_t i = 0;; ++i) {
    char name[platform::kRegMaxKeyName + 1];
    uint32_t size = sizeof name;
    code = platform::reg_enum_key_ex(key, i, name, &size);
    if (code != 0) break;
    out += std::string("  ") + name + "\\\n";
  }
  if (code == platform::kRegErrorNoMoreItems) {
    for (uint32_t i = 0;; ++i) {
      std::vector<char> name(platform::kRegMaxValueName + 1);
      uint32_t size = static_cast<uint32_t>(name.size());
      code = platform::reg_enum_value(key, i, name.data(), &size, nullptr, nullptr, nullptr);
      if (code != 0) break;
      uint32_t type = 0;
      std::vector<unsigned char> data;
      code = read_value(key, name.data(), &type, &data);
      if (code == platform::kRegErrorNotFound) continue;  // deleted meanwhile
      if (code != 0) break;
      const std::string shown = name[0] == '\0' ? "(Default)" : name.data();
      out += "  " + shown + " = " + value_text(type, data) + "\n";
    }
  }
  platform::reg_close_key(key);
  if (code != platform::kRegErrorNoMoreItems)
    return registry_error("listing " + path.shown(), code);
  std::fputs(out.c_str(), stdout);
  return kExitOk;
}

int command_get(const KeyPath& path, const char* name) {
  RegKey key = nullptr;
  if (const int failed = open_key(path, platform::kRegKeyQueryValue, &key)) return failed;
  uint32_t type = 0;
  std::vector<unsigned char> data;
  const uint32_t code = read_value(key, name, &type, &data);
  platform::reg_close_key(key);
  if (code != 0)
    return registry_error("value \"" + std::string(name) + "\" of " + path.shown(), code);
  if (type == platform::kRegDword && data.size() == 4) {
    const uint32_t v = uint32_t{data[0]} | (uint32_t{data[1]} << 8) | (uint32_t{data[2]} << 16) |
                       (uint32_t{data[3]} << 24);
    std::printf("%u\n", v);
  } else {
    std::printf("%s\n", value_text(type, data).c_str());
  }
  return kExitOk;
}

int command_set(const KeyPath& path, const char* name, uint32_t value) {
  RegKey key = nullptr;
  uint32_t code =
      platform::reg_create_key_ex(path.root, path.subkey.c_str(), platform::kRegOptionNonVolatile,
                                  platform::kRegKeyAllAccess, &key, nullptr);
  if (code != 0) return registry_error("key " + path.shown(), code);
  const unsigned char cell[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  code = platform::reg_set_value_ex(key, name, platform::kRegDword, cell, sizeof cell);
  platform::reg_close_key(key);
  if (code != 0)
    return registry_error("value \"" + std::string(name) + "\" of " + path.shown(), code);
  return kExitOk;
}

int command_delete(const KeyPath& path, const char* name) {
  RegKey key = nullptr;
  if (const int failed = open_key(path, platform::kRegKeySetValue, &key)) return failed;
  const uint32_t code = platform::reg_delete_value(key, name);
  platform::reg_close_key(key);
  if (code != 0)
    return registry_error("value \"" + std::string(name) + "\" of " + path.shown(), code);
  return kExitOk;
}

int usage_error(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "varno-reg: %s\n", message);
  std::fputs(usage().c_str(), stderr);
  return kExitUsage;
}

// What the first argument asks for when it names no command.
int not_a_command(const std::string& word) {
  const bool option = word.size() > 1 && word[0] == '-';
  return usage_error(((option ? "unknown option \"" : "unknown command \"") + word + "\"").c_str());
}

// --help and --version (and /? on Windows) anywhere are answered before
// anything else is looked at; -1 when neither was asked for.
int answer_help_or_version(int argc, char** argv) {
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || (i == 1 && arg == "help") ||
        platform::is_help_switch(argv[i])) {
      std::fputs(usage().c_str(), stdout);
      return kExitOk;
    }
    version = version || arg == "--version";
  }
  if (!version) return -1;
  std::printf("varno-reg %s\n", VARNO_REG_VERSION);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int answered = answer_help_or_version(argc, argv); answered >= 0) return answered;
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  const int wanted = command == "list"                         ? 3
                     : command == "get" || command == "delete" ? 4
                     : command == "set"                        ? 5
                                                               : 0;
  if (wanted == 0) return not_a_command(command);
  if (argc == 2) return usage_error("no key given");
  if (argc != wanted) {
    return usage_error(("wrong number of arguments for \"" + command + "\"").c_str());
  }
  KeyPath path;
  if (!parse_key(argv[2], &path)) return kExitUsage;
  if (command == "list") return command_list(path);
  if (command == "get") return command_get(path, argv[3]);
  if (command == "delete") return command_delete(path, argv[3]);
  uint32_t value = 0;
  if (!parse_dword(argv[4], &value)) {
    return usage_error(("not a DWORD number: \"" + std::string(argv[4]) +
                        "\" (NUMBER is 0 to 4294967295, -2147483648 to -1, or 0x and 1 to 8 hex "
                        "digits)")
                           .c_str());
  }
  return command_set(path, argv[3], value);
}
