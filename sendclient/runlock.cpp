// The run lock of a job folder. The one place the send client goes below
// the Win32 calls: the lock must end with the process whatever ends it
// (flock does), and a folder is taken only when it is this user's own
// (owner and mode, which the Win32 calls do not show), so another user
// cannot plant a "left" folder whose record steers this user's files.
#include "sendclient/runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace mvn::sendclient {

namespace {

// A run that is looking at a new folder holds its lock for a moment; the
// folder's own run waits that long at most for it.
constexpr int kClaimAttempts = 2000;  // of 1 ms

bool OwnFolder(const char* folder) {
  struct stat st;
  if (lstat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool RunLock::Claim(const char* folder) {
  Release(false);
  std::string path = std::string(folder) + "/" + kRunLockName;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path.c_str());
    return false;
  }
  bool locked = false;
  for (int attempt = 0; attempt < kClaimAttempts && !locked; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      locked = true;
    } else if (errno == EWOULDBLOCK || errno == EINTR) {
      struct timespec pause = {0, 1000000};
      nanosleep(&pause, nullptr);
    } else {
      break;
    }
  }
  char text[32];
  int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (!locked || write(fd, text, static_cast<size_t>(length)) != length) {
    int error = locked ? errno : EWOULDBLOCK;
    unlink(path.c_str());
    close(fd);
    SetLastErrorFromErrno(error ? error : ENOSPC, path.c_str());
    return false;
  }
  m_fd = fd;
  m_path = path;
  return true;
}

RunLock::State RunLock::Inspect(const char* folder, DWORD* pid) {
  Release(false);
  *pid = 0;
  if (!OwnFolder(folder)) return State::NotARun;
  std::string path = std::string(folder) + "/" + kRunLockName;
  int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return State::NotARun;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    return State::NotARun;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return errno == EWOULDBLOCK ? State::Alive : State::NotARun;
  }
  // A run writes its id only once it holds the lock: a lock file without
  // one is a run in its first moment.
  char text[32] = {};
  ssize_t got = pread(fd, text, sizeof text - 1, 0);
  long number = 0;
  for (ssize_t i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) number = number * 10 + (text[i] - '0');
  // The name must still stand for the file that is locked: a folder that
  // was removed and made anew belongs to another run.
  struct stat now;
  const bool same = stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
  if (number <= 0 || !same) {
    close(fd);
    return number <= 0 && same ? State::Alive : State::NotARun;
  }
  m_fd = fd;
  m_path = path;
  *pid = static_cast<DWORD>(number);
  return State::Left;
}

void RunLock::Release(bool remove) {
  if (m_fd < 0) return;
  if (remove) unlink(m_path.c_str());
  close(m_fd);
  m_fd = -1;
  m_path.clear();
}

}  // namespace mvn::sendclient
