// Path names: full paths, the current directory, temporary names, the
// search path and case-insensitive lookup.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

using mvn::kernel::CopyOut;
using mvn::kernel::NativePath;

namespace mvn::kernel {

std::string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// The lexical full path of name: "\" as "/", joined to the current
// directory when relative, "." and ".." resolved, repeated separators
// folded; a trailing separator is kept. "" (errno set) for a relative name
// when the current directory cannot be read: it is not taken from the root.
std::string FullPath(const std::string& name) {
  std::string path = NativePath(name.c_str());
  if (path.empty() || path[0] != '/') {
    std::string current = CurrentDirectory();
    if (current.empty()) return current;
    path = current + "/" + path;
  }
  bool trailing = path.size() > 1 && path.back() == '/';
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(pos, next - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = next + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  if (full.empty()) return "/";
  if (trailing) full += "/";
  return full;
}

}  // namespace mvn::kernel

namespace {

// The Win32 return of a path-producing call, with filePart set to the last
// component (nullptr when the path ends with a separator).
DWORD ReturnPath(const std::string& full, DWORD bufferLength, LPSTR buffer, LPSTR* filePart) {
  DWORD result = CopyOut(full, buffer, bufferLength);
  if (filePart) {
    *filePart = nullptr;
    if (result == full.size() && buffer && full.back() != '/') {
      *filePart = buffer + full.rfind('/') + 1;
    }
  }
  return result;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string UserName() {
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name &&
      *found->pw_name && !std::strchr(found->pw_name, '/')) {
    return found->pw_name;
  }
  return std::to_string(static_cast<unsigned long>(geteuid()));
}

// Makes sure the user's temporary directory exists, is a real directory
// owned by this user and is private to it. Returns 0 or a Win32 error.
DWORD PrepareTempDirectory(const std::string& shared, const std::string& mine) {
  struct stat st;
  if (lstat(shared.c_str(), &st) != 0) {
    if (mkdir(shared.c_str(), 0777) == 0) {
      chmod(shared.c_str(), 01777);  // every user makes a directory of their own in it
    } else if (errno != EEXIST) {
      int err = errno;
      MvnReportRootDirectoryFailure(shared.c_str(), err);
      return Win32ErrorFromErrno(err, shared.c_str());
    }
  }
  if (mkdir(mine.c_str(), 0700) != 0 && errno != EEXIST) {
    int err = errno;
    MvnReportRootDirectoryFailure(mine.c_str(), err);
    return Win32ErrorFromErrno(err, mine.c_str());
  }
  if (lstat(mine.c_str(), &st) != 0) return Win32ErrorFromErrno(errno, mine.c_str());
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return ERROR_ACCESS_DENIED;
  if ((st.st_mode & 077) != 0 && chmod(mine.c_str(), 0700) != 0) return ERROR_ACCESS_DENIED;
  return 0;
}

std::vector<std::string> SplitList(const std::string& list, const char* separators) {
  std::vector<std::string> items;
  std::size_t pos = 0;
  while (pos <= list.size()) {
    std::size_t next = list.find_first_of(separators, pos);
    if (next == std::string::npos) next = list.size();
    if (next > pos) items.push_back(list.substr(pos, next - pos));
    pos = next + 1;
  }
  return items;
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

DWORD GetFullPathNameA(LPCSTR name, DWORD bufferLength, LPSTR buffer, LPSTR* filePart) {
  if (filePart) *filePart = nullptr;
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::string full = mvn::kernel::FullPath(name);
  if (full.empty()) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return ReturnPath(full, bufferLength, buffer, filePart);
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
  std::string current = mvn::kernel::CurrentDirectory();
  if (current.empty()) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return CopyOut(current, buffer, bufferLength);
}

BOOL SetCurrentDirectoryA(LPCSTR name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = NativePath(name);
  if (chdir(path.c_str()) != 0) {
    SetLastError(errno == ENOTDIR && Exists(path) ? ERROR_DIRECTORY : Win32ErrorFromErrno(errno, path.c_str()));
    return FALSE;
  }
  return TRUE;
}

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  // A service whose temporary files other users must reach (the spooler's
  // shared spool folder) names that directory in MVN_TEMP; it must exist.
  if (const char* chosen = std::getenv("MVN_TEMP"); chosen && *chosen) {
    std::string directory = NativePath(chosen);
    struct stat st;
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    if (directory.back() != '/') directory += '/';
    return CopyOut(directory, buffer, bufferLength);
  }
  std::string shared = std::string(MvnRootDirectory()) + "/temp";
  std::string mine = shared + "/" + UserName();
  if (DWORD error = PrepareTempDirectory(shared, mine)) {
    SetLastError(error);
    return 0;
  }
  return CopyOut(mine + "/", buffer, bufferLength);
}

UINT GetTempFileNameA(LPCSTR pathName, LPCSTR prefix, UINT unique, LPSTR tempFileName) {
  if (!pathName || !tempFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string directory = NativePath(pathName);
  if (!directory.empty() && directory.back() != '/') directory += '/';
  std::string start = directory + std::string(prefix ? prefix : "").substr(0, 3);

  auto compose = [&](UINT number, std::string* name) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", number);
    *name = start + hex + ".TMP";
    if (name->size() >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    return true;
  };

  std::string name;
  if (unique != 0) {
    unique &= 0xFFFF;
    if (unique == 0) unique = 1;
    if (!compose(unique, &name)) return 0;
    std::memcpy(tempFileName, name.c_str(), name.size() + 1);
    return unique;
  }

  struct stat st;
  std::string dirPath = directory.empty() ? "." : directory;
  if (stat(dirPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return 0;
  }
  // Start from a value that differs between processes and calls, then try
  // successive numbers within 16 bits (never 0).
  static std::atomic<unsigned> s_calls{0};
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned seed = static_cast<unsigned>(now.tv_nsec / 1000) ^ (static_cast<unsigned>(getpid()) * 2654435761u) ^
                  (s_calls.fetch_add(1) * 40503u);
  UINT number = seed & 0xFFFF;
  for (unsigned attempt = 0; attempt < 0xFFFF; ++attempt) {
    if (number == 0) number = 1;
    if (!compose(number, &name)) return 0;
    int fd = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
      close(fd);
      std::memcpy(tempFileName, name.c_str(), name.size() + 1);
      return number;
    }
    if (errno != EEXIST) {
      SetLastErrorFromErrno(errno, name.c_str());
      return 0;
    }
    number = (number + 1) & 0xFFFF;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

DWORD SearchPathA(LPCSTR path, LPCSTR fileName, LPCSTR extension, DWORD bufferLength, LPSTR buffer,
                  LPSTR* filePart) {
  if (filePart) *filePart = nullptr;
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string name = NativePath(fileName);
  std::string last = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
  if (extension && *extension && last.find('.') == std::string::npos) {
    if (extension[0] != '.') name.push_back('.');
    name.append(extension);
  }

  // Each place is looked at as Win32's file systems do: the exact name,
  // else a name that differs from it only by case (the first in byte order).
  auto look = [](const std::string& candidate, std::string* found) {
    char match[4 * MAX_PATH];
    if (!FindPathIgnoringCase(candidate.c_str(), match, sizeof match)) return false;
    *found = match;
    return true;
  };
  std::string found;
  bool direct = name[0] == '/' || name.rfind("./", 0) == 0 || name.rfind("../", 0) == 0;
  if (direct) {
    std::string full = mvn::kernel::FullPath(name);
    if (!look(full, &found)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    return ReturnPath(found, bufferLength, buffer, filePart);
  }

  std::vector<std::string> directories;
  if (path) {
    directories = SplitList(NativePath(path), ";:");
  } else {
    directories.push_back(DirectoryOf(mvn::kernel::ProgramPath()));
    directories.push_back(mvn::kernel::CurrentDirectory());
    char system[MAX_PATH];
    if (UINT n = GetSystemDirectoryA(system, MAX_PATH); n && n < MAX_PATH) directories.push_back(system);
    char windows[MAX_PATH];
    if (UINT n = GetWindowsDirectoryA(windows, MAX_PATH); n && n < MAX_PATH) directories.push_back(windows);
    const char* environmentPath = getenv("PATH");
    for (const std::string& item : SplitList(environmentPath ? environmentPath : "", ":")) {
      directories.push_back(item);
    }
  }
  for (const std::string& directory : directories) {
    // A directory that could not be found (no current directory) is none:
    // joined to the name it would search the root.
    if (directory.empty()) continue;
    std::string candidate = mvn::kernel::FullPath(directory + "/" + name);
    if (look(candidate, &found)) return ReturnPath(found, bufferLength, buffer, filePart);
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return 0;
}

bool FindPathIgnoringCase(const char* path, char* found, DWORD foundSize) {
  if (!path || !*path || !found) return false;
  std::string native = NativePath(path);
  std::string result;
  if (Exists(native)) {
    result = native;
  } else {
    std::string directory = DirectoryOf(native);
    std::string last = native.substr(native.rfind('/') == std::string::npos ? 0 : native.rfind('/') + 1);
    if (last.empty()) return false;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return false;
    std::vector<std::string> matches;
    while (struct dirent* entry = readdir(dir)) {
      if (mvn::kernel::EqualsIgnoringCase(entry->d_name, last)) matches.push_back(entry->d_name);
    }
    closedir(dir);
    if (matches.empty()) return false;
    std::sort(matches.begin(), matches.end());
    std::size_t slash = native.rfind('/');
    result = (slash == std::string::npos ? std::string() : native.substr(0, slash + 1)) + matches.front();
  }
  if (result.size() + 1 > foundSize) return false;
  std::memcpy(found, result.c_str(), result.size() + 1);
  return true;
}
