// The substitute machine's root directory and the directories below it.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

namespace {

constexpr const char* kMachineRoot = "/var/lib/mvn";

// MVN_ROOT, else /var/lib/mvn when it exists, else (for a user only) the
// user's own state folder. Root never takes its root from HOME or the
// password entry: su without "-" or sudo -E keep a user's HOME, and that
// user's root would steer root's programs. Root without MVN_ROOT always has
// /var/lib/mvn (RequireMachineRootOfRoots refuses it while it is missing).
std::string ChooseRoot() {
  const char* configured = std::getenv("MVN_ROOT");
  if (configured && *configured) return mvn::kernel::NativePath(configured);
  struct stat st;
  if (geteuid() == 0 || (stat(kMachineRoot, &st) == 0 && S_ISDIR(st.st_mode))) return kMachineRoot;
  std::string home;
  if (const char* variable = std::getenv("HOME"); variable && *variable) {
    home = variable;
  } else {
    char buffer[4096];
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) {
      home = found->pw_dir;
    }
  }
  if (home.empty()) home = "/tmp";
  return home + "/.local/state/mvn";
}

// Whether path lies in root's default machine root while that does not
// exist. Root makes no /var/lib/mvn of its own accord, not even as the
// parent of a lock or a folder looked up: the missing root stays missing,
// for RequireMachineRootOfRoots to refuse.
bool InRootsMissingDefault(const std::string& path) {
  if (geteuid() != 0) return false;
  std::string base = kMachineRoot;
  if (path.compare(0, base.size(), base) != 0 || (path.size() > base.size() && path[base.size()] != '/'))
    return false;
  struct stat st;
  return lstat(kMachineRoot, &st) != 0;
}

// Creates a directory of the root and its parents; a failure is reported.
DWORD CreateRootDirectories(const std::string& path) {
  if (InRootsMissingDefault(path)) return ERROR_PATH_NOT_FOUND;
  std::string failed;
  int err = 0;
  DWORD error = mvn::kernel::CreateDirectories(path, &failed, &err);
  if (error) MvnReportRootDirectoryFailure(failed.c_str(), err);
  return error;
}

UINT DirectoryBelowRoot(const char* relative, LPSTR buffer, UINT size) {
  char path[4096];
  if (!MvnRootPath(relative, path, sizeof path, false)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (DWORD error = CreateRootDirectories(path)) {
    SetLastError(error);
    return 0;
  }
  return mvn::kernel::CopyOut(path, buffer, size);
}

}  // namespace

std::string mvn::kernel::MvnChosenRootDirectory() {
  std::string root = ChooseRoot();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

const char* MvnRootDirectory() {
  // Every root ever chosen is kept, so a pointer handed out stays valid
  // while MVN_ROOT changes (the tests point it at a new directory each).
  static std::mutex* mutex = mvn::kernel::KeepUntilKernelEnd(new std::mutex);
  static auto* roots = mvn::kernel::KeepUntilKernelEnd(new std::set<std::string>);
  std::string root = mvn::kernel::MvnChosenRootDirectory();
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) CreateRootDirectories(root);
  std::lock_guard lock(*mutex);
  return roots->insert(root).first->c_str();
}

bool MvnRootPath(const char* relative, char* out, DWORD outSize, bool createParents) {
  if (!out) return false;
  std::string path = MvnRootDirectory();
  std::string rest = mvn::kernel::NativePath(relative);
  while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
  if (!rest.empty()) path += "/" + rest;
  if (path.size() + 1 > outSize) return false;
  if (createParents) {
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) CreateRootDirectories(path.substr(0, slash));
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

void MvnReportRootDirectoryFailure(const char* path, int error) {
  static std::mutex* mutex = mvn::kernel::KeepUntilKernelEnd(new std::mutex);
  static auto* reported = mvn::kernel::KeepUntilKernelEnd(new std::set<std::string>);
  std::string directory = path ? path : "";
  {
    std::lock_guard lock(*mutex);
    if (!reported->insert(directory).second) return;
  }
  const std::string& program = mvn::kernel::ProgramPath();
  std::string name = program.substr(program.rfind('/') + 1);
  std::string line = (name.empty() ? std::string("mvn") : name) + ": cannot create the directory " + directory +
                     ": " + std::strerror(error) + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return DirectoryBelowRoot("windows", buffer, size); }

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) { return DirectoryBelowRoot("windows/system", buffer, size); }
