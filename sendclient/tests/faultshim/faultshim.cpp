// A fault-injecting shim for tests, loaded into a real program with
// LD_PRELOAD. It wraps open, read, write and close of the C library:
//
//   MVN_FAULT_READ=<text>   reads of files whose path contains <text> fail
//   MVN_FAULT_WRITE=<text>  writes to such files fail
//   MVN_FAULT_OPEN=<text>   opening such files fails
//   MVN_FAULT_RENAME=<text> renaming a file to such a name fails
//   MVN_FAULT_AFTER=<n>     ... once n bytes went through that descriptor
//                           (default 0: the first call fails)
//   MVN_FAULT_ERRNO=<n>     with this errno (default EIO)
//
// A call that would cross the limit transfers only the bytes up to it, so
// the failure comes at exactly byte n. Everything else is passed on.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxFd = 4096;

enum : unsigned char { kNone = 0, kRead = 1, kWrite = 2 };

std::atomic<unsigned char> g_mode[kMaxFd];
std::atomic<long long> g_count[kMaxFd];

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long long After() {
  const char* text = getenv("MVN_FAULT_AFTER");
  return text ? atoll(text) : 0;
}

int Errno() {
  const char* text = getenv("MVN_FAULT_ERRNO");
  return text ? atoi(text) : EIO;
}

bool Matches(const char* variable, const char* path) {
  const char* text = getenv(variable);
  return text && *text && path && strstr(path, text);
}

void Track(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxFd) return;
  unsigned char mode = kNone;
  if (Matches("MVN_FAULT_READ", path)) mode |= kRead;
  if (Matches("MVN_FAULT_WRITE", path)) mode |= kWrite;
  g_mode[fd] = mode;
  g_count[fd] = 0;
}

// How many of count bytes may pass; -1 when the call must fail.
long long Allowed(int fd, unsigned char kind, size_t count) {
  if (fd < 0 || fd >= kMaxFd || !(g_mode[fd] & kind)) return static_cast<long long>(count);
  long long left = After() - g_count[fd];
  if (left <= 0) return count == 0 ? 0 : -1;
  return static_cast<long long>(count) < left ? static_cast<long long>(count) : left;
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

// Exported whatever the build's default visibility.
#define MVN_EXPORT __attribute__((visibility("default")))

extern "C" {

MVN_EXPORT int open(const char* path, int flags, ...) {
  static auto real = Next<int (*)(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Matches("MVN_FAULT_OPEN", path)) {
    errno = Errno();
    return -1;
  }
  int fd = real(path, flags, mode);
  Track(fd, path);
  return fd;
}

MVN_EXPORT int open64(const char* path, int flags, ...) {
  static auto real = Next<int (*)(const char*, int, ...)>("open64");
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Matches("MVN_FAULT_OPEN", path)) {
    errno = Errno();
    return -1;
  }
  int fd = real(path, flags, mode);
  Track(fd, path);
  return fd;
}

MVN_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  static auto real = Next<int (*)(int, const char*, int, ...)>("openat");
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Matches("MVN_FAULT_OPEN", path)) {
    errno = Errno();
    return -1;
  }
  int fd = real(dirfd, path, flags, mode);
  Track(fd, path);
  return fd;
}

MVN_EXPORT ssize_t read(int fd, void* buffer, size_t count) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  long long allowed = Allowed(fd, kRead, count);
  if (allowed < 0) {
    errno = Errno();
    return -1;
  }
  ssize_t n = real(fd, buffer, static_cast<size_t>(allowed));
  if (n > 0 && fd >= 0 && fd < kMaxFd) g_count[fd] += n;
  return n;
}

MVN_EXPORT ssize_t write(int fd, const void* buffer, size_t count) {
  static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  long long allowed = Allowed(fd, kWrite, count);
  if (allowed < 0) {
    errno = Errno();
    return -1;
  }
  ssize_t n = real(fd, buffer, static_cast<size_t>(allowed));
  if (n > 0 && fd >= 0 && fd < kMaxFd) g_count[fd] += n;
  return n;
}

MVN_EXPORT int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
  static auto real = Next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  if (Matches("MVN_FAULT_RENAME", newpath)) {
    errno = Errno();
    return -1;
  }
  return real(olddirfd, oldpath, newdirfd, newpath, flags);
}

MVN_EXPORT int close(int fd) {
  static auto real = Next<int (*)(int)>("close");
  if (fd >= 0 && fd < kMaxFd) g_mode[fd] = kNone;
  return real(fd);
}

}  // extern "C"
