// Share modes across handles and processes.
//
// Every file that is open through CreateFileA with something to protect has
// a lock file "<root>/locks/<device>-<inode>". Each open holds its own open
// file description of the lock file and marks with shared OFD byte locks
// what it does and what it denies:
//   byte 1  the open reads        byte 3  the open denies reading
//   byte 2  the open writes       byte 4  the open denies writing
// An open that wants to read conflicts with a holder of byte 3, one that
// denies reading with a holder of byte 1, and so on. Byte 0 is held
// exclusively while an open checks and takes its bytes, and while a closing
// handle decides whether it was the last one and removes the lock file, so
// a check and its marks are one step for all processes. OFD locks belong to
// the open file description, so two handles of one process conflict just
// like two processes do, and a process that dies drops its marks.
//
// Root keeps its lock files apart, in "<root>/rootlocks" (root's, mode
// 0755, files 0644): the shared folder is writable by every user, and a
// user holding the guard byte of a lock file there would make root wait.
// Every wait for the guard byte is bounded; an open that cannot get it in
// time fails with ERROR_SHARING_VIOLATION.
#include "platform/kernel/src/sharelock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/kernel/src/internal.h"

namespace mvn::kernel {

namespace {

constexpr off_t kGuardByte = 0;
constexpr off_t kReadsByte = 1;
constexpr off_t kWritesByte = 2;
constexpr off_t kDeniesReadByte = 3;
constexpr off_t kDeniesWriteByte = 4;

// How long an open waits for another open's check-and-mark step.
constexpr int kGuardWaitMs = 10000;

bool SetLock(int fd, short type, off_t start, off_t length, bool wait) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  // A wait polls, so that a holder who never lets go (another user's
  // process) cannot hold this one for ever.
  for (int waited = 0;; waited += 5) {
    int rc;
    do {
      rc = fcntl(fd, F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (!wait || (errno != EAGAIN && errno != EACCES) || waited >= kGuardWaitMs) return false;
    usleep(5000);
  }
}

// True when another open file description holds any lock on the byte range.
bool HeldByOthers(int fd, off_t start, off_t length) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

// The directory of the lock files, created on demand (sticky and writable by
// everyone, like a shared temporary directory).
bool LockDirectory(std::string* directory) {
  char path[4096];
  if (geteuid() == 0) {
    // Root's own folder: only root can make names in it.
    if (!MvnRootPath("rootlocks", path, sizeof path, true)) return false;
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
      // ENOENT: no machine root, which root does not make; nothing to lock in.
      if (errno != ENOENT) MvnReportRootDirectoryFailure(path, errno);
      return false;
    }
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) return false;
    *directory = path;
    return true;
  }
  if (!MvnRootPath("locks", path, sizeof path, true)) return false;
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (mkdir(path, 0777) != 0 && errno != EEXIST) {
      MvnReportRootDirectoryFailure(path, errno);
      return false;
    }
    chmod(path, 01777);
    if (lstat(path, &st) != 0) return false;
  }
  if (!S_ISDIR(st.st_mode)) return false;
  *directory = path;
  return true;
}

bool SameFile(int fd, const std::string& path) {
  struct stat a, b;
  if (fstat(fd, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

DWORD ShareLock::Acquire(dev_t device, ino_t inode, bool read, bool write, DWORD shareMode) {
  Release();
  bool denyRead = !(shareMode & FILE_SHARE_READ);
  bool denyWrite = !(shareMode & FILE_SHARE_WRITE);
  // An open without read or write access conflicts with nothing, whatever
  // its share mode.
  if (!read && !write) return 0;

  std::string directory;
  if (!LockDirectory(&directory)) return 0;
  char name[64];
  std::snprintf(name, sizeof name, "/%llx-%llx", static_cast<unsigned long long>(device),
                static_cast<unsigned long long>(inode));
  std::string path = directory + name;

  for (int attempt = 0; attempt < 100; ++attempt) {
    const bool root = geteuid() == 0;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, root ? 0644 : 0666);
    if (fd < 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return 0;
    }
    if (!root && (st.st_mode & 0666) != 0666) fchmod(fd, 0666);  // other users share it
    if (!SetLock(fd, F_WRLCK, kGuardByte, 1, true)) {
      close(fd);
      return ERROR_SHARING_VIOLATION;  // held too long by another open
    }
    if (!SameFile(fd, path)) {
      // The last holder removed this lock file while we waited; use the new one.
      close(fd);
      continue;
    }
    bool conflict = (read && HeldByOthers(fd, kDeniesReadByte, 1)) ||
                    (write && HeldByOthers(fd, kDeniesWriteByte, 1)) ||
                    (denyRead && HeldByOthers(fd, kReadsByte, 1)) ||
                    (denyWrite && HeldByOthers(fd, kWritesByte, 1));
    if (conflict) {
      close(fd);  // drops the guard
      return ERROR_SHARING_VIOLATION;
    }
    if (read) SetLock(fd, F_RDLCK, kReadsByte, 1, false);
    if (write) SetLock(fd, F_RDLCK, kWritesByte, 1, false);
    if (denyRead) SetLock(fd, F_RDLCK, kDeniesReadByte, 1, false);
    if (denyWrite) SetLock(fd, F_RDLCK, kDeniesWriteByte, 1, false);
    SetLock(fd, F_UNLCK, kGuardByte, 1, false);
    m_fd = fd;
    m_path = path;
    return 0;
  }
  return 0;
}

void ShareLock::Release() {
  if (m_fd < 0) return;
  // Without the guard in time the marks go with the close, and the lock
  // file stays for the next open.
  bool guarded = SetLock(m_fd, F_WRLCK, kGuardByte, 1, true);
  SetLock(m_fd, F_UNLCK, kReadsByte, 4, false);
  if (guarded && !HeldByOthers(m_fd, kReadsByte, 4) && SameFile(m_fd, m_path)) unlink(m_path.c_str());
  close(m_fd);  // drops the guard
  m_fd = -1;
  m_path.clear();
}

}  // namespace mvn::kernel
