// The delivery command and the sender identity (see delivery.h).
#include "client/core/delivery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "framework/core/ini.h"
#include "framework/core/runtime.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"
#include "platform/registry/registry.h"

namespace mvn::client {

using framework::Clip;
using framework::CutUtf8;
using framework::Left;
using framework::Upper;

DeliveryCommand SplitDeliveryCommand(std::string_view value) {
  std::string command(value);
  DeliveryCommand out;
  size_t at = command.find("%1");
  if (at == std::string::npos) {
    out.before = Left(command);
    return out;
  }
  out.hasPlaceholder = true;
  out.quoted = at > 0 && command[at - 1] == '"';
  out.before = Left(command.substr(0, at));
  out.after = command.substr(at + 2);
  return out;
}

namespace {

std::string QuoteIfBlank(std::string_view path) {
  std::string p(path);
  if (p.find_first_of(" \t") == std::string::npos) return p;
  return "\"" + p + "\"";
}

// Joins before and a word: without a separator when before ends in a blank
// or quote, else with one blank.
std::string JoinWord(const std::string& before, const std::string& word) {
  if (before.empty()) return word;
  char last = before.back();
  if (last == ' ' || last == '\t') return before + word;
  return before + " " + word;
}

bool IsRegular(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutable(const std::string& path) { return IsRegular(path) && access(path.c_str(), X_OK) == 0; }

std::string Native(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string CurrentDirectory() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

std::vector<std::string> PathDirectories() {
  std::vector<std::string> out;
  const char* path = getenv("PATH");
  std::string list = path ? path : "";
  size_t start = 0;
  for (;;) {
    size_t end = list.find(':', start);
    std::string item = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!item.empty()) out.push_back(item);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// The words of a command line, by the rules the command is started with
// (blanks separate words outside double quotes; "" inside quotes is one
// quote).
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          word += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      word += line[i++];
    }
    words.push_back(word);
  }
  return words;
}

// The program of the command, as the command would be started: "" when it
// cannot be found.
std::string FindProgram(const std::string& word) {
  std::string name = Native(word);
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : "";
  std::vector<std::string> directories;
  directories.push_back(DirectoryOf(Native(framework::ProgramPath())));
  directories.push_back(CurrentDirectory());
  for (const std::string& d : PathDirectories()) directories.push_back(d);
  for (const std::string& d : directories) {
    if (d.empty()) continue;
    std::string candidate = d + (d.back() == '/' ? "" : "/") + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

// The name with ".INI" in place of its extension (the extension of the
// last component only).
std::string IniNameOf(const std::string& program) {
  size_t slash = program.rfind('/');
  size_t dot = program.rfind('.');
  std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? program.substr(0, dot)
                                                                                              : program;
  return stem + ".INI";
}

std::string FindIgnoringCase(const std::string& path) {
  char found[MAX_PATH];
  if (FindPathIgnoringCase(path.c_str(), found, sizeof found) && IsRegular(found)) return found;
  return "";
}

}  // namespace

std::string SendCommandLine(const DeliveryCommand& c, std::string_view requestPath) {
  if (!c.hasPlaceholder) return JoinWord(c.before, QuoteIfBlank(requestPath));
  std::string path = c.quoted ? std::string(requestPath) : QuoteIfBlank(requestPath);
  return c.before + path + c.after;
}

std::string DeletionCommandLine(const DeliveryCommand& c, std::string_view requestPath) {
  std::string before = c.before;
  // A command that quotes "%1" ends its part before it with the opening
  // quote: the path then goes inside those quotes.
  if (c.quoted) return before + std::string(requestPath) + "\"";
  return before + " " + QuoteIfBlank(requestPath);
}

std::string SettingsCommandLine(const DeliveryCommand& c) {
  std::string before = c.before;
  if (c.quoted && !before.empty()) before.pop_back();  // the quote that opened "%1"
  return Clip(before);
}

std::string UploadCommandLine(const DeliveryCommand& c, std::string_view listName, std::string_view uploadFile) {
  std::string before = SettingsCommandLine(c);
  return before + " GROUP:\"" + std::string(listName) + "\" \"" + std::string(uploadFile) + "\"";
}

bool StartDeliveryCommand(const std::string& commandLine, std::string* message) {
  if (Clip(Left(commandLine)).empty()) {
    if (message) *message = "No delivery command is set up ([Files] DeliveryCommand); nothing was sent.";
    return false;
  }
  if (framework::Run(commandLine, false) < 0) {
    if (message)
      *message = "The delivery command could not be started (" + framework::ErrorText() + "): " + commandLine;
    return false;
  }
  return true;
}

std::string FirstCommandWord(std::string_view commandLine) {
  std::vector<std::string> words = Words(commandLine);
  return words.empty() ? "" : words.front();
}

std::string SendClientIniPath(std::string_view deliveryCommand) {
  DeliveryCommand c = SplitDeliveryCommand(deliveryCommand);
  std::string whole = c.before + "%1" + c.after;
  std::vector<std::string> words = Words(whole);
  if (words.empty()) return "";
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i].size() > 7 && Upper(words[i].substr(0, 7)) == "CONFIG=") {
      std::string config = Native(words[i].substr(7));
      return IsRegular(config) ? config : "";
    }
  }
  std::string program = FindProgram(words.front());
  if (!program.empty()) {
    std::string beside = FindIgnoringCase(IniNameOf(program));
    if (!beside.empty()) return beside;
  }
  std::string name = IniNameOf(FileNamePart(Native(words.front())));
  std::vector<std::string> directories;
  directories.push_back(CurrentDirectory());
  char buffer[MAX_PATH];
  if (UINT n = GetSystemDirectoryA(buffer, MAX_PATH); n && n < MAX_PATH) directories.push_back(buffer);
  if (UINT n = GetWindowsDirectoryA(buffer, MAX_PATH); n && n < MAX_PATH) directories.push_back(buffer);
  for (const std::string& d : PathDirectories()) directories.push_back(d);
  for (const std::string& d : directories) {
    if (d.empty()) continue;
    std::string found = FindIgnoringCase(d + "/" + name);
    if (!found.empty()) return found;
  }
  return "";
}

std::string SendClientSection(std::string_view deliveryCommand) {
  std::string name = FileNamePart(Native(FirstCommandWord(SplitDeliveryCommand(deliveryCommand).before)));
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

bool GetRegistryIdentity(UserIdentity* identity) {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Morvane International\\MVNSEND", &key) != ERROR_SUCCESS) return false;
  auto read = [&](const char* name, size_t size) {
    std::vector<char> buffer(size + 1, '\0');
    DWORD bytes = static_cast<DWORD>(size);
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
      return std::string();
    return CutUtf8(std::string(buffer.data()), size - 1);
  };
  identity->userId = read("UserId", kUserIdWidth);
  identity->userName = read("UserName", kUserNameWidth);
  RegCloseKey(key);
  return true;
}

UserIdentity GetUserIdentity(std::string_view deliveryCommand) {
  UserIdentity identity;
  if (!Clip(Left(deliveryCommand)).empty()) {
    std::string ini = SendClientIniPath(deliveryCommand);
    if (!ini.empty()) {
      framework::IniFile file(ini);
      std::string section = SendClientSection(deliveryCommand);
      identity.userId = CutUtf8(file.Fetch(section, "YourEmailAddress"), kUserIdWidth - 1);
      identity.userName = CutUtf8(file.Fetch(section, "YourName"), kUserNameWidth - 1);
      return identity;
    }
  }
  GetRegistryIdentity(&identity);
  return identity;
}

std::string FileNamePart(std::string_view path) {
  size_t at = path.find_last_of("/\\");
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

bool FileExists(std::string_view path) { return !path.empty() && IsRegular(Native(std::string(path))); }

}  // namespace mvn::client
