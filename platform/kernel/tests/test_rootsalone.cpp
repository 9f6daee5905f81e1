// The check that a path is root's alone: what passes, what is refused and
// what the refusal names, for folders and files set up as another local
// user would leave them.
#include "platform/kernel/rootsalone.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
constexpr uid_t kUser = 60001;

struct Case {
  const char* name;
  // Prepares below base (root's, 0755) and gives the path to check.
  std::function<std::string(const std::string& base)> setUp;
  bool file;          // checked with RootsFile, else OpenRootsFolder
  const char* found;  // "" passes; else a part of the refusal
};

std::string Folder(const std::string& path, mode_t mode, uid_t owner = 0) {
  fs::create_directories(path);
  chmod(path.c_str(), mode);
  chown(path.c_str(), owner, owner);
  return path;
}

std::string File(const std::string& path, mode_t mode, uid_t owner = 0) {
  mvntest::WriteFile(path, "x");
  chmod(path.c_str(), mode);
  chown(path.c_str(), owner, owner);
  return path;
}

std::string Link(const std::string& target, const std::string& path, uid_t owner = 0) {
  symlink(target.c_str(), path.c_str());
  lchown(path.c_str(), owner, owner);
  return path;
}

TEST(RootsAlone, FoldersAndFilesOfRootPassAndAnyOtherUsersHoldIsNamed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own files as another user";
  const Case cases[] = {
      {"root's folders", [](const std::string& b) { return Folder(b + "/a/b", 0755); }, false, ""},
      {"root's sticky folder above", [](const std::string& b) { Folder(b + "/t", 01777); return Folder(b + "/t/r", 0700); },
       false, ""},
      {"root's link to root's folder",
       [](const std::string& b) { Folder(b + "/real", 0755); return Link("real", b + "/l"); }, false, ""},
      {"root's file", [](const std::string& b) { return File(b + "/f", 0755); }, true, ""},
      {"a user's folder on the way",
       [](const std::string& b) { Folder(b + "/u", 0755, kUser); return Folder(b + "/u/r", 0755); }, false,
       "/u belongs to uid 60001, not to root"},
      {"a user's folder at the end", [](const std::string& b) { return Folder(b + "/u", 0700, kUser); }, false,
       "/u belongs to uid 60001"},
      {"a group-writable folder", [](const std::string& b) { return Folder(b + "/g", 0775) + "/"; }, false,
       "/g may be written by its group or others (mode 0775)"},
      {"a sticky folder as the one checked", [](const std::string& b) { return Folder(b + "/t", 01777); }, false,
       "/t may be written by its group or others (mode 1777)"},
      {"a user's sticky folder above",
       [](const std::string& b) { Folder(b + "/t", 01777, kUser); return Folder(b + "/t/r", 0700); }, false,
       "/t belongs to uid 60001"},
      {"a user's link in a sticky folder",
       [](const std::string& b) {
         Folder(b + "/t", 01777);
         Folder(b + "/real", 0755);
         return Link(b + "/real", b + "/t/l", kUser);
       },
       false, "/t/l is a symbolic link of uid 60001, not of root"},
      {"root's link to a user's folder",
       [](const std::string& b) { Folder(b + "/u", 0755, kUser); return Link(b + "/u", b + "/l"); }, false,
       "/u belongs to uid 60001"},
      {"a loop of links", [](const std::string& b) { Link("l2", b + "/l1"); Link("l1", b + "/l2"); return b + "/l1"; },
       false, "too many symbolic links"},
      {"a file where a folder is named", [](const std::string& b) { return File(b + "/f", 0644) + "/x"; }, false,
       "/f is not a folder"},
      {"a user's file", [](const std::string& b) { return File(b + "/f", 0755, kUser); }, true,
       "/f belongs to uid 60001, not to root"},
      {"a file others may write", [](const std::string& b) { return File(b + "/f", 0777); }, true,
       "/f may be written by its group or others (mode 0777)"},
      {"a user's file hard-linked into root's folder",
       [](const std::string& b) {
         Folder(b + "/u", 0755, kUser);
         File(b + "/u/f", 0755, kUser);
         link((b + "/u/f").c_str(), (b + "/f").c_str());
         return b + "/f";
       },
       true, "/f belongs to uid 60001"},
      {"a FIFO as the file", [](const std::string& b) { mkfifo((b + "/p").c_str(), 0600); return b + "/p"; }, true,
       "/p is not a regular file"},
      {"a folder as the file", [](const std::string& b) { return Folder(b + "/d", 0755); }, true,
       "/d is not a regular file"},
      {"a missing folder", [](const std::string& b) { return b + "/none/x"; }, false, "/none cannot be examined"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mvntest::TempDir dir;
    chmod(dir.str().c_str(), 0755);
    std::string path = c.setUp(dir.str());
    std::string why;
    bool passed;
    if (c.file) {
      passed = mvn::kernel::RootsFile(path, &why);
    } else {
      int fd = mvn::kernel::OpenRootsFolder(path, &why);
      passed = fd >= 0;
      if (fd >= 0) close(fd);
    }
    EXPECT_EQ(passed, !*c.found) << why;
    if (*c.found) {
      EXPECT_NE(why.find(c.found), std::string::npos) << why;
    }
  }
}

TEST(RootsAlone, TheFolderOpenedIsTheOneChecked) {
  mvntest::TempDir dir;
  chmod(dir.str().c_str(), 0755);
  Folder(dir / "a", 0755, geteuid());
  mvntest::WriteFile(dir / "a/marker", "here");
  std::string why;
  int fd = mvn::kernel::OpenRootsFolder(dir / "a", &why);
  ASSERT_GE(fd, 0) << why;
  // Renamed away and replaced after the check: the descriptor still holds
  // the folder that was checked.
  fs::rename(dir / "a", dir / "b");
  fs::create_directories(dir / "a");
  struct stat st;
  EXPECT_EQ(fstatat(fd, "marker", &st, 0), 0);
  close(fd);
}

TEST(RootsAlone, AFolderSwappedForALinkInALoopIsNeverPassed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // A user swaps their own folder and a link of theirs to a folder of
  // root's, over and over (RENAME_EXCHANGE), while root checks the path:
  // every check refuses, whichever of the two it meets.
  mvntest::TempDir dir;
  chmod(dir.str().c_str(), 0755);
  Folder(dir / "roots", 0755);
  Folder(dir / "u", 0755, kUser);
  Folder(dir / "u/d", 0755, kUser);
  Link(dir / "roots", dir / "u/l", kUser);
  pid_t swapper = fork();
  if (swapper == 0) {
    if (setgid(kUser) != 0 || setuid(kUser) != 0) _exit(2);
    for (int i = 0; i < 2000000; ++i)
      syscall(SYS_renameat2, AT_FDCWD, (dir / "u/d").c_str(), AT_FDCWD, (dir / "u/l").c_str(), RENAME_EXCHANGE);
    _exit(0);
  }
  ASSERT_GT(swapper, 0);
  int refused = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < 2000 && std::chrono::steady_clock::now() < deadline; ++i) {
    std::string why;
    int fd = mvn::kernel::OpenRootsFolder(dir / "u/d", &why);
    if (fd >= 0) close(fd);
    EXPECT_LT(fd, 0) << "passed at check " << i;
    if (fd < 0) ++refused;
  }
  kill(swapper, SIGKILL);
  waitpid(swapper, nullptr, 0);
  EXPECT_GT(refused, 0);
}

// Root without MVN_ROOT has only /var/lib/mvn; while that is missing, an
// open with a share mode and a look-up of the windows folders go on
// without it and never make it (the folder would then pass as an
// installed machine root).
TEST(RootsAlone, RootMakesNoDefaultMachineRootOfItsOwnAccord) {
  if (geteuid() != 0) GTEST_SKIP() << "root's default machine root";
  if (fs::exists("/var/lib/mvn")) GTEST_SKIP() << "this machine has a machine root in /var/lib/mvn";
  mvntest::TempDir dir;
  std::string file = dir / "shared";
  mvntest::WriteFile(file, "x");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    unsetenv("MVN_ROOT");
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) _exit(10);
    CloseHandle(h);
    char path[MAX_PATH];
    GetWindowsDirectoryA(path, sizeof path);
    GetSystemDirectoryA(path, sizeof path);
    MvnRootPath("rootlocks/x", path, sizeof path, true);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the open failed: " << status;
  EXPECT_FALSE(fs::exists("/var/lib/mvn"));
  fs::remove_all("/var/lib/mvn");
}

}  // namespace
