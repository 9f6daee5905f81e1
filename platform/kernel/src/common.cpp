// Small helpers shared by the kernel's source files.
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/kernel/src/internal.h"

namespace mvn::kernel {

std::string NativePath(const char* name) {
  std::string path = name ? name : "";
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

bool ParentDirectoryExists(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.rfind('/');
  std::string parent;
  if (slash == std::string::npos) {
    parent = ".";
  } else if (slash == 0) {
    parent = "/";
  } else {
    parent = trimmed.substr(0, slash);
  }
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SetErrorFromErrno(int err, const std::string& path) {
  SetLastError(Win32ErrorFromErrno(err, path.c_str()));
}

DWORD AttributesFromStat(const struct stat& st) {
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISREG(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_ARCHIVE;
  } else {
    attributes |= FILE_ATTRIBUTE_DEVICE;
  }
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

FILETIME FileTimeFromTimespec(const struct timespec& ts) {
  // 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
  constexpr std::uint64_t kEpochDifference = 116444736000000000ull;
  std::int64_t ticks = static_cast<std::int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
  std::uint64_t value = static_cast<std::uint64_t>(ticks + static_cast<std::int64_t>(kEpochDifference));
  if (ticks < -static_cast<std::int64_t>(kEpochDifference)) value = 0;
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool CheckName(const char* name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

DWORD CopyOut(const std::string& text, char* buffer, DWORD bufferLength) {
  if (text.size() >= 0xFFFFFFFFu) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  DWORD length = static_cast<DWORD>(text.size());
  if (!buffer || bufferLength < length + 1) return length + 1;
  std::memcpy(buffer, text.c_str(), length + 1);
  return length;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

DWORD CreateDirectories(const std::string& path) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  struct stat existing;
  if (stat(path.c_str(), &existing) == 0) return S_ISDIR(existing.st_mode) ? 0 : ERROR_PATH_NOT_FOUND;
  std::size_t pos = 0;
  while (true) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      return Win32ErrorFromErrno(errno, part.c_str());
    }
    if (pos == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Win32ErrorFromErrno(errno, path.c_str());
  return S_ISDIR(st.st_mode) ? 0 : ERROR_PATH_NOT_FOUND;
}

const std::string& ProgramPath() {
  static const std::string* path = KeepUntilKernelEnd(new std::string([] {
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }()));
  return *path;
}

}  // namespace mvn::kernel

namespace mvn::kernel {

struct timespec CreationTime(int fd, const struct stat& st) {
  struct statx sx;
  if (fd >= 0 && statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    struct timespec ts;
    ts.tv_sec = sx.stx_btime.tv_sec;
    ts.tv_nsec = sx.stx_btime.tv_nsec;
    return ts;
  }
  const struct timespec& a = st.st_ctim;
  const struct timespec& b = st.st_mtim;
  return (a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec)) ? a : b;
}

namespace {

struct KernelEndEntry {
  void (*release)(void*);
  void* object;
};
constexpr int kMaxKernelEndEntries = 64;
KernelEndEntry g_kernelEnd[kMaxKernelEndEntries];
std::atomic<int> g_kernelEndCount{0};

// Priority 101 runs after every destructor of default priority of this
// object, so a module's own end code still finds the kernel alive.
__attribute__((destructor(101))) void ReleaseKernelObjects() {
  for (int i = g_kernelEndCount.exchange(0) - 1; i >= 0; --i) {
    if (i < kMaxKernelEndEntries) g_kernelEnd[i].release(g_kernelEnd[i].object);
  }
}

}  // namespace

void AtKernelEnd(void (*release)(void*), void* object) {
  int index = g_kernelEndCount.fetch_add(1);
  // The kernel registers a fixed handful of objects; past the table they
  // simply live until the process ends.
  if (index < kMaxKernelEndEntries) g_kernelEnd[index] = {release, object};
}

}  // namespace mvn::kernel
