#include "client/core/sendlogfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <string_view>
#include <thread>

#include "client/records/records.h"
#include "framework/core/replace.h"
#include "framework/core/errors.h"

namespace mvn::client {

namespace {

// The file a change replaces: the target of a symbolic link, so the link
// stays a link. "" when a link leads nowhere.
std::string WriteTarget(const std::string& name) {
  std::string path = framework::ResolveFilePath(name);
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
  }
  return path;
}

void Split(const std::string& path, std::string* folder, std::string* base) {
  size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Failed(const std::string& path, const std::string& reason) {
  return "The send log " + path + " could not be written: " + reason;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SendLogLock::~SendLogLock() {
  if (m_fd >= 0) close(m_fd);  // closing releases the lock
}

bool SendLogLock::Lock(const std::string& name, std::string* message, int seconds) {
  if (m_fd >= 0) return true;
  const std::string path = WriteTarget(name);
  if (path.empty()) {
    *message = Failed(name, "it is a symbolic link that leads nowhere");
    return false;
  }
  std::string folder, base;
  Split(path, &folder, &base);
  const std::string lockPath = folder + "/." + base + ".lock";
  // Never a link, and never blocking on something that is no file.
  const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | flags, 0666);
  // A lock file another user made may be one this user can only read: a
  // shared lock needs no writing.
  if (fd < 0 && errno == EACCES) fd = open(lockPath.c_str(), O_RDONLY | flags);
  if (fd < 0) {
    *message = Failed(name, "its lock file " + lockPath + " cannot be used: " + std::strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *message = Failed(name, "its lock file " + lockPath + " is not a regular file");
    return false;
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *message = Failed(name, "its lock file " + lockPath + " cannot be locked: " + std::strerror(errno));
      close(fd);
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) {
      *message = Failed(name, "another program has been writing it for " + std::to_string(seconds) +
                                  " seconds (its lock file " + lockPath + " is held)");
      close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  m_fd = fd;
  return true;
}

bool ReplaceSendLog(const std::string& name, bool keepOld,
                    const std::function<int(framework::FileManager&)>& add, std::string* message) {
  const std::string path = WriteTarget(name);
  if (path.empty()) {
    *message = Failed(name, "it is a symbolic link that leads nowhere");
    return false;
  }
  std::string folder, base;
  Split(path, &folder, &base);
  struct stat old {};
  bool exists = false;
  int in = -1;
  if (lstat(path.c_str(), &old) == 0) {
    // Only a regular file is read and replaced: a FIFO is never opened (it
    // would block), a directory or device never renamed over.
    if (!S_ISREG(old.st_mode)) {
      *message = Failed(name, "it is not a regular file");
      return false;
    }
    // A log the user may not write stays as it is, though its folder would
    // let a rename replace it.
    if (access(path.c_str(), W_OK) != 0) {
      *message = Failed(name, std::string("it is read-only (") + std::strerror(errno) + ")");
      return false;
    }
    exists = true;
    if (keepOld) {
      in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
      if (in < 0 || fstat(in, &old) != 0 || !S_ISREG(old.st_mode)) {
        *message = Failed(name, in < 0 ? std::strerror(errno) : "it is not a regular file");
        if (in >= 0) close(in);
        return false;
      }
    }
  } else if (errno != ENOENT) {
    *message = Failed(name, std::strerror(errno));
    return false;
  }

  // Under the log's lock no live writer is between making and renaming its
  // temporary: what a gone writer left is removed.
  framework::RemoveStaleTemporaries(folder, base);
  const std::string temp = folder + "/." + base + "." + std::to_string(getpid()) + ".tmp";
  // Under the lock a temporary of this pid is a dead writer's whose pid was
  // given again.
  unlink(temp.c_str());
  // A new log gets the usual mode through the umask; an existing log's
  // permission bits and owner are given to the temporary before anything
  // is written into it.
  int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, exists ? 0600 : 0666);
  if (out < 0) {
    *message = Failed(name, "the temporary file " + temp + " cannot be made: " + std::strerror(errno));
    if (in >= 0) close(in);
    return false;
  }
  std::string reason;
  if (exists) {
    if (fchown(out, old.st_uid, old.st_gid) != 0) {
      // Only the owner's own groups, or root, may keep it; the mode follows
      // all the same.
    }
    if (fchmod(out, old.st_mode & 0777) != 0) reason = std::strerror(errno);
  }
  if (reason.empty() && in >= 0) {
    char block[65536];
    for (;;) {
      ssize_t n = read(in, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        reason = std::string("reading it failed: ") + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      if (!WriteAll(out, block, static_cast<size_t>(n))) {
        reason = std::strerror(errno);
        break;
      }
    }
  }
  if (in >= 0) close(in);
  if (reason.empty()) {
    framework::FileManager log(framework::Driver::Csv, SNDLayout(), temp);
    log.SetCreate(false);
    int rc = log.TryOpen(framework::ReadWrite | framework::DenyWrite);
    if (rc == framework::NoError) rc = add(log);
    if (rc != framework::NoError) reason = framework::ErrorText();
    if (log.IsOpen() && log.Close() != framework::NoError && reason.empty()) reason = framework::ErrorText();
  }
  if (reason.empty() && fsync(out) != 0) reason = std::strerror(errno);
  if (close(out) != 0 && reason.empty()) reason = std::strerror(errno);
  if (reason.empty() && rename(temp.c_str(), path.c_str()) != 0)
    reason = std::string("it could not be replaced: ") + std::strerror(errno);
  if (!reason.empty()) {
    unlink(temp.c_str());
    *message = Failed(name, reason);
    return false;
  }
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  framework::ClearError();
  return true;
}

bool AppendSendLog(const std::string& path, const std::function<int(framework::FileManager&)>& add,
                   std::string* message) {
  SendLogLock lock;
  if (!lock.Lock(path, message)) return false;
  return ReplaceSendLog(path, true, add, message);
}

}  // namespace mvn::client
