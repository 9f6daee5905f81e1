// mvnreg: looks at and changes the registry of the machine root named by
// MVN_ROOT, through the same calls the programs use.
//
//   mvnreg list <key>                       subkeys ("name\") and values
//   mvnreg get <key> <value>                the value's data, unescaped
//   mvnreg set <key> <value> <type> <data...>
//   mvnreg delete [-r] <key> [<value>]      a value, a key, or (-r) a subtree
//   mvnreg export <key>                     the subtree as text
//
// Keys: HKLM\..., HKEY_LOCAL_MACHINE\..., HKCU\..., HKEY_CURRENT_USER\...,
// HKCR\..., HKEY_CLASSES_ROOT\..., HKU\..., HKEY_USERS\.... A value name ""
// is the key's default value. Listings and exports print one value per line
// as name=type:data, with "\" "=" and control characters escaped ("\\",
// "\=", "\n", "\t", "\r", "\0" between the strings of a multi_sz, "\xHH"),
// the default value named "@" (and a value called "@" as "\@").
// Exit codes: 0 done, 1 failed (message on stderr), 2 bad usage.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/rootsalone.h"
#include "platform/registry/registry.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: mvnreg list <key>\n"
    "       mvnreg get <key> <value>\n"
    "       mvnreg set <key> <value> sz|expand_sz|dword|multi_sz|binary <data...>\n"
    "       mvnreg delete [-r] <key> [<value>]\n"
    "       mvnreg export <key>\n"
    "keys: HKLM\\..., HKCU\\..., HKCR\\..., HKU\\... (or HKEY_LOCAL_MACHINE\\... and so on)\n"
    "values: \"\" is the default value; multi_sz takes one argument per string,\n"
    "binary takes hex digits (blanks and commas between bytes are allowed)\n";

int Usage() {
  fputs(kUsageText, stderr);
  return kUsage;
}

// A failure: the message on stderr.
int Fail(const std::string& message) {
  fprintf(stderr, "mvnreg: %s\n", message.c_str());
  return kFailed;
}

std::string ErrorText(LONG error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "not found";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_INVALID_HANDLE:
      return "invalid handle";
    case ERROR_BAD_PATHNAME:
      return "bad key path";
    case ERROR_KEY_DELETED:
      return "key was deleted";
    case ERROR_BUSY:
      return "registry busy";
    case ERROR_BADDB:
      return "hive is damaged";
    case ERROR_DISK_FULL:
      return "disk full";
    default:
      return "error " + std::to_string(error);
  }
}

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

struct KeyName {
  HKEY root = nullptr;
  std::string rootName;  // the long form
  std::string path;      // below the root, without a trailing "\"
  std::string Display() const { return path.empty() ? rootName : rootName + "\\" + path; }
};

bool ParseKey(const std::string& text, KeyName* key) {
  static const struct {
    const char* shortName;
    const char* longName;
    HKEY root;
  } roots[] = {
      {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
      {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
      {"HKU", "HKEY_USERS", HKEY_USERS},
  };
  const size_t separator = text.find('\\');
  const std::string_view first = std::string_view(text).substr(0, separator);
  for (const auto& root : roots) {
    if (NamesEqual(first, root.shortName) || NamesEqual(first, root.longName)) {
      key->root = root.root;
      key->rootName = root.longName;
      key->path = separator == std::string::npos ? std::string() : text.substr(separator + 1);
      while (!key->path.empty() && key->path.back() == '\\') key->path.pop_back();
      return true;
    }
  }
  return false;
}

std::string Escape(std::string_view text, bool name) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '=' && name) {
      out += "\\=";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\0') {
      out += "\\0";
    } else if (u < 0x20 || u == 0x7F) {
      out += "\\x";
      out.push_back(digits[u >> 4]);
      out.push_back(digits[u & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string ValueName(std::string_view name) {
  if (name.empty()) return "@";
  if (name == "@") return "\\@";
  return Escape(name, true);
}

std::string Hex(std::string_view data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char c : data) {
    const unsigned char u = static_cast<unsigned char>(c);
    out.push_back(digits[u >> 4]);
    out.push_back(digits[u & 15]);
  }
  return out;
}

std::string WithoutTerminator(std::string data) {
  if (!data.empty() && data.back() == '\0') data.pop_back();
  return data;
}

// The strings of a multi_sz as the A calls give it.
std::vector<std::string> MultiStrings(const std::string& data) {
  std::vector<std::string> strings;
  size_t i = 0;
  while (i < data.size()) {
    size_t end = data.find('\0', i);
    if (end == std::string::npos) end = data.size();
    if (end == i) break;
    strings.push_back(data.substr(i, end - i));
    i = end + 1;
  }
  return strings;
}

bool IsDword(DWORD type, const std::string& data) { return type == REG_DWORD && data.size() == 4; }

DWORD DwordOf(const std::string& data) {
  DWORD value;
  memcpy(&value, data.data(), 4);
  return value;
}

// "type:data" of a listing line.
std::string Describe(DWORD type, const std::string& data) {
  switch (type) {
    case REG_SZ:
      return "sz:" + Escape(WithoutTerminator(data), false);
    case REG_EXPAND_SZ:
      return "expand_sz:" + Escape(WithoutTerminator(data), false);
    case REG_MULTI_SZ: {
      std::string out = "multi_sz:";
      const std::vector<std::string> strings = MultiStrings(data);
      for (size_t i = 0; i < strings.size(); ++i) {
        if (i) out += "\\0";
        out += Escape(strings[i], false);
      }
      return out;
    }
    case REG_BINARY:
      return "binary:" + Hex(data);
    default:
      if (IsDword(type, data)) return "dword:" + std::to_string(DwordOf(data));
      return "type" + std::to_string(type) + ":" + Hex(data);
  }
}

struct Value {
  std::string name;
  DWORD type = 0;
  std::string data;
};

// Subkeys and values of an open key, each in the registry's order.
LONG ReadKey(HKEY key, std::vector<std::string>* subKeys, std::vector<Value>* values) {
  DWORD maxKey = 0, maxName = 0, maxData = 0;
  LONG error =
      RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &maxKey, nullptr, nullptr, &maxName, &maxData,
                       nullptr, nullptr);
  if (error) return error;
  std::vector<char> name(maxKey + 1);
  for (DWORD index = 0;; ++index) {
    DWORD size = static_cast<DWORD>(name.size());
    error = RegEnumKeyExA(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_NO_MORE_ITEMS) break;
    if (error == ERROR_MORE_DATA) {  // a longer name appeared meanwhile
      name.resize(name.size() * 2 + 256);
      --index;
      continue;
    }
    if (error) return error;
    subKeys->emplace_back(name.data(), size);
  }
  std::vector<char> valueName(maxName + 1);
  std::vector<BYTE> data(maxData + 1);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(valueName.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    error = RegEnumValueA(key, index, valueName.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
    if (error == ERROR_NO_MORE_ITEMS) break;
    if (error == ERROR_MORE_DATA) {
      valueName.resize(valueName.size() * 2 + 256);
      data.resize(std::max<size_t>(data.size() * 2, dataSize));
      --index;
      continue;
    }
    if (error) return error;
    values->push_back(Value{std::string(valueName.data(), nameSize), type,
                            std::string(reinterpret_cast<char*>(data.data()), dataSize)});
  }
  return ERROR_SUCCESS;
}

int OpenForReading(const KeyName& name, HKEY* key) {
  LONG error = RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_READ, key);
  if (error == ERROR_FILE_NOT_FOUND) return Fail("key not found: " + name.Display());
  if (error) return Fail("cannot open " + name.Display() + ": " + ErrorText(error));
  return 0;
}

int List(const KeyName& name) {
  HKEY key;
  if (int failed = OpenForReading(name, &key)) return failed;
  std::vector<std::string> subKeys;
  std::vector<Value> values;
  LONG error = ReadKey(key, &subKeys, &values);
  RegCloseKey(key);
  if (error) return Fail("cannot read " + name.Display() + ": " + ErrorText(error));
  for (const std::string& sub : subKeys) printf("%s\\\n", Escape(sub, false).c_str());
  for (const Value& value : values) {
    printf("%s=%s\n", ValueName(value.name).c_str(), Describe(value.type, value.data).c_str());
  }
  return 0;
}

int Get(const KeyName& name, const std::string& valueName) {
  HKEY key;
  if (int failed = OpenForReading(name, &key)) return failed;
  DWORD type = 0, size = 0;
  LONG error = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size);
  std::string data;
  while (error == ERROR_SUCCESS) {
    data.resize(size);
    error = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (error == ERROR_MORE_DATA) {
      error = ERROR_SUCCESS;  // it grew meanwhile: again with the new size
      continue;
    }
    data.resize(size);
    break;
  }
  RegCloseKey(key);
  if (error == ERROR_FILE_NOT_FOUND) return Fail("value not found: " + ValueName(valueName) + " in " + name.Display());
  if (error) return Fail("cannot read " + name.Display() + ": " + ErrorText(error));
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      printf("%s\n", WithoutTerminator(data).c_str());
      break;
    case REG_MULTI_SZ:
      for (const std::string& s : MultiStrings(data)) printf("%s\n", s.c_str());
      break;
    default:
      if (IsDword(type, data)) {
        printf("%u\n", static_cast<unsigned>(DwordOf(data)));
      } else {
        printf("%s\n", Hex(data).c_str());
      }
      break;
  }
  return 0;
}

// A dword in decimal or, with "0x", hexadecimal. *tooLarge tells a number
// beyond 32 bits from text that is no number at all.
bool ParseNumber(const std::string& text, DWORD* value, bool* tooLarge) {
  *tooLarge = false;
  std::string_view digits(text);
  unsigned base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return false;
  unsigned long long result = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      *tooLarge = false;  // not a number, whatever its size
      return false;
    }
    if (!*tooLarge) result = result * base + digit;
    if (result > 0xFFFFFFFFull) *tooLarge = true;
  }
  if (*tooLarge) return false;
  *value = static_cast<DWORD>(result);
  return true;
}

bool ParseHex(const std::vector<std::string>& parts, std::string* bytes) {
  std::string digits;
  for (const std::string& part : parts) {
    for (char c : part) {
      if (c == ' ' || c == ',' || c == '\t') continue;
      if (!isxdigit(static_cast<unsigned char>(c))) return false;
      digits.push_back(c);
    }
  }
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

int Set(const KeyName& name, const std::string& valueName, const std::string& typeName,
        const std::vector<std::string>& data) {
  static const struct {
    const char* name;
    DWORD type;
  } types[] = {{"sz", REG_SZ},
               {"expand_sz", REG_EXPAND_SZ},
               {"dword", REG_DWORD},
               {"multi_sz", REG_MULTI_SZ},
               {"binary", REG_BINARY}};
  DWORD type = REG_NONE;
  bool known = false;
  for (const auto& t : types) {
    if (NamesEqual(typeName, t.name)) {
      type = t.type;
      known = true;
    }
  }
  if (!known) return Fail("unknown type '" + typeName + "' (sz, expand_sz, dword, multi_sz, binary)");

  std::string bytes;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (data.size() != 1) return Usage();
      bytes = data[0];
      bytes.push_back('\0');
      break;
    case REG_DWORD: {
      if (data.size() != 1) return Usage();
      DWORD number;
      bool tooLarge = false;
      if (!ParseNumber(data[0], &number, &tooLarge))
        return Fail((tooLarge ? "out of range for dword (0 to 4294967295): '" : "not a number: '") + data[0] + "'");
      bytes.assign(reinterpret_cast<const char*>(&number), 4);
      break;
    }
    case REG_MULTI_SZ:
      for (const std::string& s : data) {
        if (s.empty()) return Fail("a multi_sz cannot hold an empty string");
        bytes += s;
        bytes.push_back('\0');
      }
      bytes.push_back('\0');
      break;
    default:
      if (!ParseHex(data, &bytes)) return Fail("not hex data: '" + (data.empty() ? "" : data[0]) + "'");
      break;
  }
  HKEY key;
  LONG error = RegCreateKeyExA(name.root, name.path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (error) return Fail("cannot create " + name.Display() + ": " + ErrorText(error));
  error = RegSetValueExA(key, valueName.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                         static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  if (error) return Fail("cannot set " + ValueName(valueName) + " in " + name.Display() + ": " + ErrorText(error));
  return 0;
}

// Deletes a key with everything below it.
LONG DeleteTree(HKEY parent, const std::string& path) {
  HKEY key;
  LONG error = RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key);
  if (error) return error;
  for (;;) {
    std::vector<std::string> subKeys;
    std::vector<Value> values;
    error = ReadKey(key, &subKeys, &values);
    if (error || subKeys.empty()) break;
    for (const std::string& sub : subKeys) {
      error = DeleteTree(key, sub);
      if (error && error != ERROR_FILE_NOT_FOUND) break;
      error = ERROR_SUCCESS;
    }
    if (error) break;
  }
  RegCloseKey(key);
  if (error) return error;
  return RegDeleteKeyA(parent, path.c_str());
}

int Delete(const KeyName& name, bool recursive, const std::string* valueName) {
  if (valueName) {
    HKEY key;
    LONG error = RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_SET_VALUE, &key);
    if (error == ERROR_FILE_NOT_FOUND) return Fail("key not found: " + name.Display());
    if (error) return Fail("cannot open " + name.Display() + ": " + ErrorText(error));
    error = RegDeleteValueA(key, valueName->c_str());
    RegCloseKey(key);
    if (error == ERROR_FILE_NOT_FOUND) {
      return Fail("value not found: " + ValueName(*valueName) + " in " + name.Display());
    }
    if (error) return Fail("cannot delete " + ValueName(*valueName) + ": " + ErrorText(error));
    return 0;
  }
  if (name.path.empty()) return Fail("cannot delete a root key: " + name.Display());
  LONG error = recursive ? DeleteTree(name.root, name.path) : RegDeleteKeyA(name.root, name.path.c_str());
  if (error == ERROR_FILE_NOT_FOUND) return Fail("key not found: " + name.Display());
  if (error == ERROR_ACCESS_DENIED && !recursive) {
    HKEY key;
    DWORD subKeys = 0;
    if (RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr);
      RegCloseKey(key);
    }
    if (subKeys) return Fail("key has subkeys (use -r): " + name.Display());
  }
  if (error) return Fail("cannot delete " + name.Display() + ": " + ErrorText(error));
  return 0;
}

LONG ExportKey(HKEY key, const std::string& display) {
  std::vector<std::string> subKeys;
  std::vector<Value> values;
  if (LONG error = ReadKey(key, &subKeys, &values)) return error;
  printf("[%s]\n", display.c_str());
  for (const Value& value : values) {
    printf("%s=%s\n", ValueName(value.name).c_str(), Describe(value.type, value.data).c_str());
  }
  printf("\n");
  for (const std::string& sub : subKeys) {
    HKEY child;
    LONG error = RegOpenKeyExA(key, sub.c_str(), 0, KEY_READ, &child);
    if (error == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (error) return error;
    error = ExportKey(child, display + "\\" + Escape(sub, false));
    RegCloseKey(child);
    if (error) return error;
  }
  return ERROR_SUCCESS;
}

int Export(const KeyName& name) {
  HKEY key;
  if (int failed = OpenForReading(name, &key)) return failed;
  // The header shows the path with each name escaped; "\" only separates.
  std::string display = name.rootName;
  if (!name.path.empty()) {
    size_t start = 0;
    for (;;) {
      const size_t end = name.path.find('\\', start);
      display += "\\" + Escape(name.path.substr(start, end == std::string::npos ? end : end - start), false);
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  LONG error = ExportKey(key, display);
  RegCloseKey(key);
  if (error) return Fail("cannot export " + name.Display() + ": " + ErrorText(error));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::string command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    fputs(kUsageText, stdout);
    return 0;
  }
  args.erase(args.begin());
  // Root opens and writes a hive only on a machine root of root's alone.
  if (!mvn::kernel::RequireMachineRootOfRoots()) return 1;

  bool recursive = false;
  if (command == "delete" && !args.empty() && args[0] == "-r") {
    recursive = true;
    args.erase(args.begin());
  }
  if (args.empty() || (args[0].size() > 1 && args[0][0] == '-')) return Usage();

  KeyName key;
  auto parseKey = [&]() -> bool { return ParseKey(args[0], &key); };

  if (command == "list" || command == "export") {
    if (args.size() != 1) return Usage();
    if (!parseKey()) return Fail("unknown root key in '" + args[0] + "' (HKLM, HKCU, HKCR, HKU)");
    return command == "list" ? List(key) : Export(key);
  }
  if (command == "get") {
    if (args.size() != 2) return Usage();
    if (!parseKey()) return Fail("unknown root key in '" + args[0] + "' (HKLM, HKCU, HKCR, HKU)");
    return Get(key, args[1]);
  }
  if (command == "set") {
    if (args.size() < 3) return Usage();
    if (!parseKey()) return Fail("unknown root key in '" + args[0] + "' (HKLM, HKCU, HKCR, HKU)");
    return Set(key, args[1], args[2], std::vector<std::string>(args.begin() + 3, args.end()));
  }
  if (command == "delete") {
    if (args.size() > 2 || (recursive && args.size() != 1)) return Usage();
    if (!parseKey()) return Fail("unknown root key in '" + args[0] + "' (HKLM, HKCU, HKCR, HKU)");
    return Delete(key, recursive, args.size() == 2 ? &args[1] : nullptr);
  }
  return Usage();
}
