// The check that a path is root's alone (see platform/kernel/rootsalone.h).
#include "platform/kernel/rootsalone.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

namespace mvn::kernel {

namespace {

constexpr int kMostLinks = 40;  // as the kernel's own limit on a path

bool OwnerMayBe(uid_t owner) { return owner == 0 || owner == geteuid(); }

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Owner(uid_t owner) { return "uid " + std::to_string(owner); }

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// Whether the folder (already open) is root's alone: owned by root or this
// process's user; no group or other write, except a sticky folder of root's
// above the checked path.
bool FolderPasses(int fd, const std::string& path, bool last, std::string* why) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *why = "the folder " + path + " cannot be examined: " + std::strerror(errno);
    return false;
  }
  if (!OwnerMayBe(st.st_uid)) {
    *why = "the folder " + path + " belongs to " + Owner(st.st_uid) + ", not to root";
    return false;
  }
  bool othersWrite = (st.st_mode & 022) != 0;
  bool stickyOfRoots = (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
  if (othersWrite && (last || !stickyOfRoots)) {
    *why = "the folder " + path + " may be written by its group or others (mode " + Mode(st.st_mode) + ")";
    return false;
  }
  return true;
}

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Walks path from "/" by descriptors. Every folder on the way is checked
// with FolderPasses; a symbolic link is followed only when it belongs to
// root or this process's user (its folder, checked before, keeps others
// from replacing it), and its target is walked in the same way. With
// wantFile the last component must be a regular file of root's alone and
// the result is its folder's descriptor with *name the file's name there;
// otherwise the result is the last folder's descriptor. -1 on refusal.
int Walk(const std::string& given, bool wantFile, std::string* name, std::string* why) {
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
      *why = given + " is not a full path and the current folder is unknown";
      return -1;
    }
    path = std::string(cwd) + "/" + path;
  }
  std::deque<std::string> rest = Components(path);
  int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string at = "/";
  if (fd < 0) {
    *why = std::string("the folder / cannot be opened: ") + std::strerror(errno);
    return -1;
  }
  int links = 0;
  auto fail = [&](const std::string& reason) {
    *why = reason;
    close(fd);
    return -1;
  };
  if (!FolderPasses(fd, at, rest.empty() && !wantFile, why)) return fail(*why);
  while (!rest.empty()) {
    std::string part = rest.front();
    rest.pop_front();
    if (part == ".") {
      if (rest.empty() && !wantFile && !FolderPasses(fd, at, true, why)) return fail(*why);
      continue;
    }
    bool last = rest.empty();
    std::string next = part == ".." ? (at == "/" ? "/" : at.substr(0, std::max<std::size_t>(at.rfind('/'), 1)))
                                    : Join(at, part);
    struct stat st;
    if (fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return fail(next + " cannot be examined: " + std::strerror(errno));
    if (S_ISLNK(st.st_mode)) {
      if (!OwnerMayBe(st.st_uid))
        return fail(next + " is a symbolic link of " + Owner(st.st_uid) + ", not of root");
      if (++links > kMostLinks) return fail(given + " has too many symbolic links on its way");
      char target[PATH_MAX];
      ssize_t n = readlinkat(fd, part.c_str(), target, sizeof target - 1);
      if (n <= 0) return fail(next + " cannot be read: " + std::strerror(n < 0 ? errno : EINVAL));
      target[n] = '\0';
      std::deque<std::string> spliced = Components(target);
      rest.insert(rest.begin(), spliced.begin(), spliced.end());
      if (target[0] == '/') {
        close(fd);
        fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        at = "/";
        if (fd < 0) {
          *why = std::string("the folder / cannot be opened: ") + std::strerror(errno);
          return -1;
        }
      }
      if (rest.empty() && !wantFile && !FolderPasses(fd, at, true, why)) return fail(*why);
      continue;
    }
    if (last && wantFile) {
      if (!S_ISREG(st.st_mode)) return fail(next + " is not a regular file");
      if (!OwnerMayBe(st.st_uid)) return fail(next + " belongs to " + Owner(st.st_uid) + ", not to root");
      if ((st.st_mode & 022) != 0)
        return fail(next + " may be written by its group or others (mode " + Mode(st.st_mode) + ")");
      *name = part;
      return fd;
    }
    if (!S_ISDIR(st.st_mode)) return fail(next + " is not a folder");
    int child = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) return fail("the folder " + next + " cannot be opened: " + std::strerror(errno));
    close(fd);
    fd = child;
    at = next;
    if (!FolderPasses(fd, at, last && !wantFile, why)) return fail(*why);
  }
  if (wantFile) return fail(given + " names a folder, not a file");
  return fd;
}

}  // namespace

int OpenRootsFolder(const std::string& folder, std::string* why) {
  std::string ignored;
  std::string name;
  return Walk(folder, false, &name, why ? why : &ignored);
}

bool RootsFile(const std::string& path, std::string* why) {
  if (geteuid() != 0) return true;
  std::string ignored;
  std::string name;
  int fd = Walk(path, true, &name, why ? why : &ignored);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool MachineRootIsRootsAlone(std::string* why) {
  if (geteuid() != 0) return true;
  std::string ignored;
  std::string& reason = why ? *why : ignored;
  std::string root = MvnChosenRootDirectory();
  struct stat st;
  if (lstat(root.c_str(), &st) != 0 && errno == ENOENT) {
    // Root makes no /var/lib/mvn of its own accord. A root MVN_ROOT names
    // is made by root below its nearest folder that exists, which must
    // then be root's alone itself (root makes names in it).
    const char* configured = std::getenv("MVN_ROOT");
    if (!configured || !*configured) {
      reason = "the folder " + root + " does not exist";
      return false;
    }
    std::string existing = root;
    while (lstat(existing.c_str(), &st) != 0 && errno == ENOENT) {
      std::size_t slash = existing.rfind('/');
      if (slash == std::string::npos) {
        char cwd[PATH_MAX];
        existing = getcwd(cwd, sizeof cwd) ? cwd : "/";
        break;
      }
      existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    int parent = OpenRootsFolder(existing, &reason);
    if (parent < 0) return false;
    close(parent);
    return true;
  }
  int fd = OpenRootsFolder(root, &reason);
  if (fd < 0) return false;
  // The folders root keeps its settings, programs and libraries in: each
  // checked the same way relative to the root, when it is there already.
  for (const char* below : {"registry", "windows", "windows/system", "spool"}) {
    std::string path = root + "/" + below;
    // Missing, or a file root made there itself (the root is root's
    // alone): the program finds out and says so on its own.
    if (fstatat(fd, below, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
    } else if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
      continue;
    }
    int child = OpenRootsFolder(path, &reason);
    if (child < 0) {
      close(fd);
      return false;
    }
    close(child);
  }
  close(fd);
  return true;
}

bool RequireMachineRootOfRoots() {
  if (geteuid() != 0) return true;
  // Nothing root makes from here on may be written by others, whatever
  // umask it was started with.
  mode_t mask = umask(0);
  umask(mask | 022);
  std::string why;
  if (MachineRootIsRootsAlone(&why)) return true;
  const std::string& program = ProgramPath();
  std::string name = program.substr(program.rfind('/') + 1);
  std::string line = (name.empty() ? std::string("mvn") : name) + ": the machine root " +
                     MvnChosenRootDirectory() + " is refused: " + why;
  if (!std::getenv("MVN_ROOT") || !*std::getenv("MVN_ROOT"))
    line += " (root takes its machine root from MVN_ROOT or /var/lib/mvn only)";
  line += "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return false;
}

}  // namespace mvn::kernel
