// Environment, command line, program module, process and thread ids, user
// name, clocks.
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/handles.h"
#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

extern char** environ;

namespace {

std::mutex g_environmentMutex;

// The variable's "NAME=value" entry: the exact name first, else the first
// entry whose name matches without case.
const char* FindVariable(const char* name) {
  std::size_t length = std::strlen(name);
  const char* caseless = nullptr;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
    if (!caseless && strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
      caseless = *entry + length + 1;
    }
  }
  return caseless;
}

bool NeedsQuotes(const std::string& word) {
  return word.empty() || word.find_first_of(" \t\r\n\v\f") != std::string::npos;
}

// Joins the program's arguments the way the library splits them again:
// words with white space (or empty ones) are enclosed in double quotes.
// A double quote inside an argument cannot be written so that it survives
// (a quote always opens or closes a quoted part), so such quotes are left
// out and the rest of the argument is kept as one word.
std::string BuildCommandLine() {
  std::vector<std::string> words;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    std::string data;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) data.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    std::size_t pos = 0;
    while (pos < data.size()) {
      std::size_t end = data.find('\0', pos);
      if (end == std::string::npos) end = data.size();
      words.push_back(data.substr(pos, end - pos));
      pos = end + 1;
    }
  }
  const std::string& program = mvn::kernel::ProgramPath();
  if (words.empty()) {
    words.push_back(program);
  } else if (!program.empty()) {
    words[0] = program;
  }
  std::string line;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string word;
    for (char c : words[i]) {
      if (c != '"') word += c;
    }
    if (i) line += ' ';
    line += NeedsQuotes(word) ? "\"" + word + "\"" : word;
  }
  return line;
}

class ProgramModule : public mvn::ModuleObject {
 public:
  const char* Path() const override { return mvn::kernel::ProgramPath().c_str(); }
};

std::atomic<mvn::ModuleLookup> g_moduleLookup{nullptr};

HMODULE ProgramModuleHandle() {
  static HMODULE handle = mvn::HandleInsert(std::make_shared<ProgramModule>());
  return handle;
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithoutExtension(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

namespace mvn {
void RegisterModuleLookup(ModuleLookup lookup) { g_moduleLookup.store(lookup); }
}  // namespace mvn

LPSTR GetEnvironmentStringsA() {
  std::lock_guard lock(g_environmentMutex);
  std::size_t total = 1;
  for (char** entry = environ; entry && *entry; ++entry) total += std::strlen(*entry) + 1;
  char* block = static_cast<char*>(std::malloc(total + 1));
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  char* out = block;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::size_t length = std::strlen(*entry);
    std::memcpy(out, *entry, length + 1);
    out += length + 1;
  }
  *out++ = '\0';
  if (out == block + 1) *out = '\0';  // an empty block is still two NULs
  return block;
}

BOOL FreeEnvironmentStringsA(LPSTR block) {
  std::free(block);
  return TRUE;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  if (!name || !*name || std::strchr(name, '=')) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::lock_guard lock(g_environmentMutex);
  const char* value = FindVariable(name);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return mvn::kernel::CopyOut(value, buffer, size);
}

BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  if (!name || !*name || std::strchr(name, '=')) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(g_environmentMutex);
  int rc = value ? setenv(name, value, 1) : unsetenv(name);
  if (rc != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

LPSTR GetCommandLineA() {
  static std::string* line = mvn::kernel::KeepUntilKernelEnd(new std::string(BuildCommandLine()));
  return line->data();
}

void ExitProcess(UINT exitCode) {
  std::fflush(nullptr);
  std::exit(static_cast<int>(exitCode));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  if (!moduleName) return ProgramModuleHandle();
  std::string name = BaseName(mvn::kernel::NativePath(moduleName));
  std::string program = BaseName(mvn::kernel::ProgramPath());
  if (mvn::kernel::EqualsIgnoringCase(name, program) ||
      mvn::kernel::EqualsIgnoringCase(WithoutExtension(name), WithoutExtension(program))) {
    return ProgramModuleHandle();
  }
  if (mvn::ModuleLookup lookup = g_moduleLookup.load()) {
    if (HMODULE module = lookup(moduleName)) return module;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  std::string path;
  if (!module) {
    path = mvn::kernel::ProgramPath();
  } else {
    auto object = mvn::HandleGetAs<mvn::ModuleObject>(module);
    if (!object) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = object->Path();
  }
  if (!fileName || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() + 1 > size) {
    // Truncated and terminated, as Win32 does.
    std::memcpy(fileName, path.c_str(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char work[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  std::string name;
  if (getpwuid_r(geteuid(), &entry, work, sizeof work, &found) == 0 && found && found->pw_name) {
    name = found->pw_name;
  } else {
    name = std::to_string(static_cast<unsigned long>(geteuid()));
  }
  if (!buffer || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size() + 1);
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0xFFFFFFFFu) {
    for (;;) pause();
  }
  struct timespec remaining = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

DWORD GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000);
}

namespace {
void FillSystemTime(const struct tm& parts, long nanoseconds, SYSTEMTIME* time) {
  time->wYear = static_cast<WORD>(parts.tm_year + 1900);
  time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
  time->wDay = static_cast<WORD>(parts.tm_mday);
  time->wHour = static_cast<WORD>(parts.tm_hour);
  time->wMinute = static_cast<WORD>(parts.tm_min);
  time->wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
  time->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}
}  // namespace

void GetSystemTime(SYSTEMTIME* time) {
  if (!time) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  gmtime_r(&now.tv_sec, &parts);
  FillSystemTime(parts, now.tv_nsec, time);
}

void GetLocalTime(SYSTEMTIME* time) {
  if (!time) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  localtime_r(&now.tv_sec, &parts);
  FillSystemTime(parts, now.tv_nsec, time);
}
