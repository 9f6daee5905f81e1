// The output-folder rule of the spooler service (see outputfolder.h).
#include "platform/spooler/outputfolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace mvn::spooler {

namespace {

// The directory path (absolute), opened one component at a time without
// following a symbolic link that is not root's. Root's links (such as
// /var/run) are followed; nobody else can have made or changed them.
// The O_PATH descriptor, or -1 with *reason (ELOOP: a user's link).
int OpenDirectoryWithoutUserLinks(const std::string& path, int* reason) {
  if (path.empty() || path[0] != '/') {
    *reason = EINVAL;
    return -1;
  }
  std::vector<std::string> rest;  // components still to walk, the next last
  auto push = [&rest](const std::string& text) {
    std::vector<std::string> parts;
    std::string::size_type at = 0;
    while (at <= text.size()) {
      std::string::size_type slash = text.find('/', at);
      if (slash == std::string::npos) slash = text.size();
      if (slash > at) parts.push_back(text.substr(at, slash - at));
      at = slash + 1;
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) rest.push_back(*it);
  };
  push(path);
  int current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  int links = 0;
  while (current >= 0 && !rest.empty()) {
    std::string name = rest.back();
    rest.pop_back();
    if (name == ".") continue;
    int next = openat(current, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (next < 0 || fstat(next, &st) != 0) {
      *reason = errno;
      if (next >= 0) close(next);
      close(current);
      return -1;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = -1;
      if (st.st_uid == 0 && ++links <= 40) n = readlinkat(next, "", target, sizeof target - 1);
      close(next);
      if (n <= 0) {
        *reason = ELOOP;
        close(current);
        return -1;
      }
      target[n] = '\0';
      push(target);
      if (target[0] == '/') {
        close(current);
        current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      close(next);
      close(current);
      *reason = ENOTDIR;
      return -1;
    }
    close(current);
    current = next;
  }
  if (current < 0) *reason = errno;
  return current;
}

}  // namespace

std::string UserNameOfUid(uid_t uid) {
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

OutputFolder OpenOutputFolder(const std::string& folder, uid_t service) {
  OutputFolder result;
  result.fd = OpenDirectoryWithoutUserLinks(folder, &result.error);
  if (result.fd < 0) {
    result.verdict = result.error == ELOOP ? FolderVerdict::UserLink : FolderVerdict::Unreachable;
    return result;
  }
  struct stat st;
  if (fstat(result.fd, &st) != 0) {
    result.error = errno;
    close(result.fd);
    result.fd = -1;
    return result;
  }
  result.owner = st.st_uid;
  result.verdict = st.st_uid == 0 || st.st_uid == service ? FolderVerdict::Everyone : FolderVerdict::OwnerOnly;
  return result;
}

bool FolderTakesJobOf(const OutputFolder& folder, uid_t jobUser) {
  return folder.verdict == FolderVerdict::Everyone ||
         (folder.verdict == FolderVerdict::OwnerOnly && folder.owner == jobUser);
}

std::string OutputFolderWarning(const std::string& folder, uid_t service) {
  OutputFolder checked = OpenOutputFolder(folder, service);
  if (checked.fd >= 0) close(checked.fd);
  switch (checked.verdict) {
    case FolderVerdict::Everyone:
      return "";
    case FolderVerdict::OwnerOnly: {
      std::string owner = UserNameOfUid(checked.owner);
      return "The output folder " + folder + " belongs to the user " + owner + ", not to root or to the spooler " +
             "service's user " + UserNameOfUid(service) + ": the spooler service writes only " + owner +
             "'s print jobs there, and every other user's job on this port fails.";
    }
    case FolderVerdict::UserLink:
      return "The output folder " + folder + " is reached through a symbolic link that belongs to a user: the " +
             "spooler service writes no print job there, and every job on this port fails.";
    case FolderVerdict::Unreachable:
      break;
  }
  return "The output folder " + folder + " cannot be opened by the spooler service (" +
         std::strerror(checked.error) + "): every job on this port fails.";
}

}  // namespace mvn::spooler
