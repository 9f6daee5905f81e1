// The engine's file access on the system's calls: the mail-text file and
// the attachments are opened read-only and only when they are regular
// files (a FIFO or device never blocks or feeds a send), the log file is
// created without following a symbolic link and only as a regular file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace mvn::smtpengine {

namespace {

// Opens without blocking on a FIFO, then insists on a regular file.
int OpenRegular(const char* path, int flags, mode_t mode) {
  if (!path || !*path) {
    errno = ENOENT;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  int current = ::fcntl(fd, F_GETFL);
  if (current >= 0) ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK);
  return fd;
}

}  // namespace

int OpenReadOnly(const char* path) { return OpenRegular(path, O_RDONLY, 0); }

int CreateLog(const char* path) {
  int fd = OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int CreateMail(const char* path) {
  int fd = OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int CreateNew(const char* path, bool* exists) {
  *exists = false;
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == EEXIST) *exists = true;
  return fd;
}

void RemoveFile(const char* path) {
  if (path && *path) ::unlink(path);
}

long ReadSome(int fd, char* buffer, std::size_t count) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, count);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long WriteAll(int fd, const char* data, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd, data + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace mvn::smtpengine
