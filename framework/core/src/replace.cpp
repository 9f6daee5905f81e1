#include "framework/core/replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace mvn::framework {

void RemoveStaleTemporaries(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  const std::string prefix = "." + name + ".";
  while (struct dirent* e = readdir(dir)) {
    std::string_view entry = e->d_name;
    if (entry.size() <= prefix.size() + 4 || entry.substr(0, prefix.size()) != prefix ||
        entry.substr(entry.size() - 4) != ".tmp")
      continue;
    std::string_view digits = entry.substr(prefix.size(), entry.size() - prefix.size() - 4);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
      continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(std::string(digits).c_str(), nullptr, 10));
    if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    unlinkat(dirfd(dir), e->d_name, 0);
  }
  closedir(dir);
}

}  // namespace mvn::framework
