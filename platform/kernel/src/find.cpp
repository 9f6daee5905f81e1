// Directory scans: FindFirstFileA, FindNextFileA, FindClose.
//
// A scan reads the whole directory at FindFirstFileA, keeps the names that
// match the mask and returns them sorted by their bytes, so the order does
// not depend on the file system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/handles.h"
#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

namespace mvn::kernel {

namespace {

struct FoundEntry {
  std::string name;
  struct stat st;
};

class FindObject : public KernelObject {
 public:
  explicit FindObject(std::vector<FoundEntry> entries) : m_entries(std::move(entries)) {}

  bool Next(WIN32_FIND_DATAA* data) {
    std::lock_guard lock(m_mutex);
    if (m_next >= m_entries.size()) return false;
    Fill(m_entries[m_next++], data);
    return true;
  }

  static void Fill(const FoundEntry& entry, WIN32_FIND_DATAA* data) {
    std::memset(data, 0, sizeof *data);
    std::uint64_t size = S_ISDIR(entry.st.st_mode) ? 0 : static_cast<std::uint64_t>(entry.st.st_size);
    data->dwFileAttributes = AttributesFromStat(entry.st);
    data->ftCreationTime = FileTimeFromTimespec(
        entry.st.st_ctim.tv_sec < entry.st.st_mtim.tv_sec ? entry.st.st_ctim : entry.st.st_mtim);
    data->ftLastAccessTime = FileTimeFromTimespec(entry.st.st_atim);
    data->ftLastWriteTime = FileTimeFromTimespec(entry.st.st_mtim);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    std::memcpy(data->cFileName, entry.name.c_str(), entry.name.size() + 1);
  }

 private:
  std::mutex m_mutex;
  std::vector<FoundEntry> m_entries;
  std::size_t m_next = 0;
};

bool MatchHere(const char* mask, const char* name) {
  for (; *mask; ++mask, ++name) {
    if (*mask == '*') {
      while (mask[1] == '*') ++mask;
      if (!mask[1]) return true;
      for (const char* rest = name; *rest; ++rest) {
        if (MatchHere(mask + 1, rest)) return true;
      }
      return MatchHere(mask + 1, name + std::strlen(name));
    }
    if (!*name) return false;
    if (*mask != '?' && AsciiLower(*mask) != AsciiLower(*name)) return false;
  }
  return !*name;
}

bool HasWildcards(const std::string& mask) { return mask.find_first_of("*?") != std::string::npos; }

}  // namespace

// Win32 wildcard match of one name: "*" any run, "?" one character, ASCII
// letters without case; a name without "." also matches as if it ended with
// ".", so "*.*" matches every name and "*." the names without extension.
bool WildcardMatch(const std::string& mask, const std::string& name) {
  if (MatchHere(mask.c_str(), name.c_str())) return true;
  return name.find('.') == std::string::npos && MatchHere(mask.c_str(), (name + ".").c_str());
}

bool IsFindObject(KernelObject* object) { return dynamic_cast<FindObject*>(object) != nullptr; }

}  // namespace mvn::kernel

HANDLE FindFirstFileA(LPCSTR fileName, WIN32_FIND_DATAA* findData) {
  if (!fileName || !findData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = mvn::kernel::NativePath(fileName);
  std::size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string mask = slash == std::string::npos ? path : path.substr(slash + 1);
  if (mask.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }

  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    struct stat st;
    if (errno == ENOTDIR && stat(directory.c_str(), &st) == 0) {
      SetLastError(ERROR_DIRECTORY);
    } else if (errno == ENOENT || errno == ENOTDIR) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetLastErrorFromErrno(errno, directory.c_str());
    }
    return INVALID_HANDLE_VALUE;
  }

  std::vector<mvn::kernel::FoundEntry> entries;
  auto add = [&](const std::string& name) {
    mvn::kernel::FoundEntry entry;
    entry.name = name;
    if (fstatat(dirFd, name.c_str(), &entry.st, 0) != 0 && fstatat(dirFd, name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
      return;  // vanished meanwhile
    }
    if (name.size() < MAX_PATH) entries.push_back(std::move(entry));
  };

  struct stat exact;
  if (!mvn::kernel::HasWildcards(mask) && fstatat(dirFd, mask.c_str(), &exact, 0) == 0) {
    add(mask);  // a plain name that exists as written
  } else {
    int scanFd = dup(dirFd);
    DIR* dir = scanFd >= 0 ? fdopendir(scanFd) : nullptr;
    if (!dir) {
      int err = errno;
      if (scanFd >= 0) close(scanFd);
      close(dirFd);
      SetLastErrorFromErrno(err, directory.c_str());
      return INVALID_HANDLE_VALUE;
    }
    while (struct dirent* entry = readdir(dir)) {
      if (mvn::kernel::WildcardMatch(mask, entry->d_name)) add(entry->d_name);
    }
    closedir(dir);
  }
  close(dirFd);

  if (entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::sort(entries.begin(), entries.end(),
            [](const mvn::kernel::FoundEntry& a, const mvn::kernel::FoundEntry& b) { return a.name < b.name; });
  auto object = std::make_shared<mvn::kernel::FindObject>(std::move(entries));
  object->Next(findData);
  HANDLE handle = mvn::HandleInsert(object);
  if (!handle) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* findData) {
  auto object = mvn::HandleGetAs<mvn::kernel::FindObject>(find);
  if (!object || !findData) {
    SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!object->Next(findData)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  return mvn::kernel::HandleTake(find, [](mvn::KernelObject* o) { return mvn::kernel::IsFindObject(o); }) != nullptr;
}
