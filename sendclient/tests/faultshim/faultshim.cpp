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
//   MVN_FAULT_STALL=<file>  a read that would fail instead makes <file> and
//                           waits until the process is killed, so a test can
//                           end it at exactly that point
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

// The three opens: a matching path fails, any other is opened and tracked.
#define MVN_SHIM_OPEN(name, params, args)                           \
  MVN_EXPORT int name params {                                      \
    static auto real = Next<int(*) params>(#name);                  \
    va_list list;                                                   \
    va_start(list, flags);                                          \
    mode_t mode = ModeOf(flags, list);                              \
    va_end(list);                                                   \
    if (Matches("MVN_FAULT_OPEN", path)) {                          \
      errno = Errno();                                              \
      return -1;                                                    \
    }                                                               \
    int fd = real args;                                             \
    Track(fd, path);                                                \
    return fd;                                                      \
  }

MVN_SHIM_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
MVN_SHIM_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
MVN_SHIM_OPEN(openat, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))

// Reads and writes: a matching descriptor passes only its allowance.
ssize_t Transfer(ssize_t n, int fd) {
  if (n > 0 && fd >= 0 && fd < kMaxFd) g_count[fd] += n;
  return n;
}

MVN_EXPORT ssize_t read(int fd, void* buffer, size_t count) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  long long allowed = Allowed(fd, kRead, count);
  if (allowed < 0) {
    if (const char* mark = getenv("MVN_FAULT_STALL")) {
      static auto realOpen = Next<int (*)(const char*, int, ...)>("open");
      int made = realOpen(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (made >= 0) close(made);
      for (;;) pause();
    }
    errno = Errno();
    return -1;
  }
  return Transfer(real(fd, buffer, static_cast<size_t>(allowed)), fd);
}

MVN_EXPORT ssize_t write(int fd, const void* buffer, size_t count) {
  static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  long long allowed = Allowed(fd, kWrite, count);
  if (allowed < 0) {
    errno = Errno();
    return -1;
  }
  return Transfer(real(fd, buffer, static_cast<size_t>(allowed)), fd);
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
