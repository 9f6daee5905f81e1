#include "framework/core/runtime.h"

#include <vector>

#include "framework/core/errors.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

namespace mvn::framework {

int Run(std::string_view commandLine, bool wait) {
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    DWORD e = GetLastError();
    SetError(e == ERROR_ACCESS_DENIED    ? AccessDeniedError
             : e == ERROR_PATH_NOT_FOUND ? PathNotFoundError
                                         : FileNotFoundError,
             std::string(commandLine));
    return -1;
  }
  int result = 0;
  if (wait) {
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    result = static_cast<int>(code);
  }
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  ClearError();
  return result;
}

std::string CommandLine() {
  const char* line = GetCommandLineA();
  return line ? line : "";
}

namespace {
// Length of the program word at the start of the command line: quoted up
// to the closing quote, else up to the first blank.
size_t ProgramWord(const std::string& line) {
  if (!line.empty() && line[0] == '"') {
    size_t close = line.find('"', 1);
    return close == std::string::npos ? line.size() : close + 1;
  }
  size_t blank = line.find_first_of(" \t");
  return blank == std::string::npos ? line.size() : blank;
}
}  // namespace

std::string ProgramPath() {
  std::string line = CommandLine();
  std::string word = line.substr(0, ProgramWord(line));
  if (word.size() >= 2 && word.front() == '"' && word.back() == '"') word = word.substr(1, word.size() - 2);
  return word;
}

std::string CommandParameters() {
  std::string line = CommandLine();
  std::string rest = line.substr(ProgramWord(line));
  size_t start = rest.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : rest.substr(start);
}

std::string ShortPath(std::string_view path) { return std::string(path); }

namespace {
std::vector<std::function<void()>>& HaltWork() {
  static auto* work = new std::vector<std::function<void()>>;
  return *work;
}
}  // namespace

void OnHalt(std::function<void()> work) { HaltWork().push_back(std::move(work)); }

void Halt(int exitCode) {
  std::vector<std::function<void()>>& work = HaltWork();
  while (!work.empty()) {
    std::function<void()> next = std::move(work.back());
    work.pop_back();
    next();
  }
  ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace mvn::framework
