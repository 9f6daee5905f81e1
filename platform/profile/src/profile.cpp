// The profile API over IniDocument: file names, reading, the directory lock
// and the atomic rewrite.
#include "platform/kernel/utf.h"
#include "platform/profile/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/profile/src/inidocument.h"

namespace mvn::profile {
namespace {

// Full path of an INI file name: a bare name lives in the Windows directory.
bool ResolvePath(LPCSTR fileName, std::string* path) {
  std::string name = (fileName && *fileName) ? fileName : "win.ini";
  if (name.find_first_of("/\\") != std::string::npos) {
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    *path = name;
    return true;
  }
  char windows[MAX_PATH];
  UINT length = GetWindowsDirectoryA(windows, sizeof windows);
  if (length == 0 || length >= sizeof windows) return false;
  path->assign(windows, length);
  if (path->back() != '/') path->push_back('/');
  path->append(name);
  return true;
}

// Reads the whole file. A missing file is no error: it reads as empty.
// Returns 0 or the Win32 error.
DWORD ReadText(const std::string& path, std::string* text, bool* exists) {
  text->clear();
  *exists = false;
  // Non-blocking, so a FIFO without a writer cannot hold the caller.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return Win32ErrorFromErrno(errno, path.c_str());
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  if (!S_ISREG(st.st_mode)) {
    // A FIFO, socket or device is no profile: read as missing, never read.
    close(fd);
    return 0;
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      DWORD error = Win32ErrorFromErrno(errno, path.c_str());
      close(fd);
      return error;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  *exists = true;
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// An exclusive lock on a directory for one read-modify-write of a file in
// it, so that concurrent writers of one file do not lose updates. Readers
// take no lock: they only ever see whole files.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory) {
    m_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) return;
    while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (m_fd >= 0) close(m_fd);  // closing releases the lock
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int m_fd = -1;
};

// The file a write replaces: the target of a symbolic link, so the link
// stays a link.
std::string WriteTarget(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) return resolved;
  }
  return path;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Removes the temporaries ".<base>.<pid>.<n>.tmp" that writers of this file
// left when they were killed mid-write: the pid in the name is gone. Runs
// under the directory lock, so no live writer of the file is between
// creating and renaming its temporary; a temporary of a live process (in
// another pid namespace, say) is left alone, and only regular files go.
void RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  const std::string prefix = "." + base + ".";
  while (struct dirent* e = readdir(dir)) {
    std::string_view name = e->d_name;
    if (name.size() <= prefix.size() + 4 || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - 4) != ".tmp")
      continue;
    std::string_view rest = name.substr(prefix.size(), name.size() - prefix.size() - 4);  // "<pid>.<n>"
    size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string_view::npos) continue;
    bool digits = true;
    for (char c : rest)
      if (c != '.' && (c < '0' || c > '9')) digits = false;
    if (!digits || rest.find('.', dot + 1) != std::string_view::npos || dot > 9) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(std::string(rest.substr(0, dot)).c_str(), nullptr, 10));
    if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    unlinkat(dirfd(dir), e->d_name, 0);
  }
  closedir(dir);
}

// Replaces the file with text: a temporary file beside it, written, given
// the old file's mode and owner, synced and renamed over it. Returns 0 or
// the Win32 error.
DWORD ReplaceFile(const std::string& target, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  const std::string directory = DirectoryOf(target);
  const std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);

  struct stat old;
  const bool exists = stat(target.c_str(), &old) == 0;
  // Only a regular file is replaced: a device or FIFO is never renamed over.
  if (exists && !S_ISREG(old.st_mode)) return ERROR_ACCESS_DENIED;

  RemoveStaleTemporaries(directory, base);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = directory + "/." + base + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + ".tmp";
    // A new file gets the usual mode through the umask; an existing file's
    // mode is copied below.
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) return Win32ErrorFromErrno(errno, target.c_str());
  }
  if (fd < 0) return ERROR_ACCESS_DENIED;

  DWORD error = 0;
  if (!WriteAll(fd, text)) error = Win32ErrorFromErrno(errno, temp.c_str());
  if (!error && exists) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Only possible for the owner's own groups or as root; the mode
      // still follows.
    }
    if (fchmod(fd, old.st_mode & 07777) != 0) error = Win32ErrorFromErrno(errno, temp.c_str());
  }
  if (!error && fsync(fd) != 0) error = Win32ErrorFromErrno(errno, temp.c_str());
  if (close(fd) != 0 && !error) error = Win32ErrorFromErrno(errno, temp.c_str());
  if (!error && rename(temp.c_str(), target.c_str()) != 0) error = Win32ErrorFromErrno(errno, target.c_str());
  if (error) {
    unlink(temp.c_str());
    return error;
  }
  int dirfd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd >= 0) {
    fsync(dirfd);
    close(dirfd);
  }
  return 0;
}

DWORD CopyValue(std::string_view value, LPSTR buffer, DWORD size) {
  if (size == 0) return 0;
  if (value.size() < size) {
    memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = '\0';
    return static_cast<DWORD>(value.size());
  }
  const size_t cut = mvn::kernel::Utf8CutPoint(value, size - 1);
  memcpy(buffer, value.data(), cut);
  memset(buffer + cut, 0, size - cut);
  SetLastError(ERROR_MORE_DATA);
  return size - 1;
}

DWORD CopyList(const std::vector<std::string>& items, LPSTR buffer, DWORD size) {
  if (size == 0) return 0;
  std::string list;
  for (const std::string& item : items) {
    list.append(item);
    list.push_back('\0');
  }
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  if (list.size() + 1 <= size) {
    memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    if (list.empty()) buffer[1] = '\0';
    return static_cast<DWORD>(list.size());
  }
  const size_t cut = mvn::kernel::Utf8CutPoint(list, size - 2);
  memcpy(buffer, list.data(), cut);
  memset(buffer + cut, 0, size - cut);
  SetLastError(ERROR_MORE_DATA);
  return size - 2;
}

// A loaded file: its document, or an error while reading.
struct Loaded {
  DWORD error = 0;
  bool exists = false;
  std::string path;
  std::string text;
};

Loaded Load(LPCSTR fileName) {
  Loaded loaded;
  if (!ResolvePath(fileName, &loaded.path)) {
    loaded.error = ERROR_PATH_NOT_FOUND;
    return loaded;
  }
  loaded.error = ReadText(loaded.path, &loaded.text, &loaded.exists);
  return loaded;
}

// The value of a key; false when the section or key is missing.
bool LookUp(LPCSTR section, LPCSTR key, LPCSTR fileName, std::string* value) {
  Loaded loaded = Load(fileName);
  if (loaded.error) {
    SetLastError(loaded.error);
    return false;
  }
  IniDocument doc(std::move(loaded.text));
  int found = doc.FindKey(doc.FindSection(TrimBlanks(section)), TrimBlanks(key));
  if (found < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  value->assign(doc.Lines()[found].value);
  return true;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// One read-modify-write of a file under the directory lock.
enum class Edit { Set, DeleteKey, DeleteSection };

BOOL Modify(LPCSTR fileName, Edit edit, std::string_view section, std::string_view key, std::string_view value) {
  std::string path;
  if (!ResolvePath(fileName, &path)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const std::string target = WriteTarget(path);
  DirectoryLock lock(DirectoryOf(target));
  std::string text;
  bool exists = false;
  if (DWORD error = ReadText(target, &text, &exists)) {
    SetLastError(error);
    return FALSE;
  }
  if (!exists && edit != Edit::Set) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  IniDocument doc(std::move(text));
  bool changed = false;
  switch (edit) {
    case Edit::Set:
      changed = doc.SetValue(section, key, value);
      break;
    case Edit::DeleteKey:
      changed = doc.DeleteKey(section, key);
      break;
    case Edit::DeleteSection:
      changed = doc.DeleteSection(section);
      break;
  }
  if (changed) {
    if (DWORD error = ReplaceFile(target, doc.Text())) {
      SetLastError(error);
      return FALSE;
    }
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace
}  // namespace mvn::profile

using namespace mvn::profile;

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR returned, DWORD size,
                               LPCSTR fileName) {
  if (!returned || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Loaded loaded = Load(fileName);
  // An unreadable file reads like a missing one; the error stays visible.
  const DWORD readError = loaded.error;
  IniDocument doc(std::move(loaded.text));
  SetLastError(readError);

  if (!section) {
    std::vector<std::string> names;
    for (std::string_view name : doc.SectionNames()) names.emplace_back(name);
    return CopyList(names, returned, size);
  }
  const int header = doc.FindSection(TrimBlanks(section));
  if (!key) {
    std::vector<std::string> names;
    for (const IniDocument::Line* line : doc.KeyLines(header)) names.emplace_back(line->name);
    return CopyList(names, returned, size);
  }
  const int found = doc.FindKey(header, TrimBlanks(key));
  if (found < 0) {
    DWORD copied = CopyValue(def ? def : "", returned, size);
    if (!readError) SetLastError(ERROR_FILE_NOT_FOUND);
    return copied;
  }
  return CopyValue(doc.Lines()[found].value, returned, size);
}

DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR returned, DWORD size, LPCSTR fileName) {
  if (!returned || size == 0 || !section) {
    SetLastError(ERROR_INVALID_PARAMETER);
    if (returned && size > 0) returned[0] = '\0';
    return 0;
  }
  Loaded loaded = Load(fileName);
  const DWORD readError = loaded.error;
  IniDocument doc(std::move(loaded.text));
  SetLastError(readError);
  const int header = doc.FindSection(TrimBlanks(section));
  std::vector<std::string> entries;
  for (const IniDocument::Line* line : doc.KeyLines(header)) {
    std::string entry(line->name);
    entry.push_back('=');
    entry.append(line->value);
    entries.push_back(std::move(entry));
  }
  return CopyList(entries, returned, size);
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT def, LPCSTR fileName) {
  std::string value;
  if (!section || !key || !LookUp(section, key, fileName, &value) || value.empty()) {
    return static_cast<UINT>(def);
  }
  size_t i = 0;
  bool negative = false;
  if (value[i] == '-' || value[i] == '+') negative = value[i++] == '-';
  unsigned base = 10;
  if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  UINT result = 0;
  for (; i < value.size(); ++i) {
    const char c = value[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    result = result * base + digit;
  }
  return negative ? 0u - result : result;
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  if (!section) {
    // All three NULL asks to flush a cache; there is none.
    if (!key && !value) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string_view sectionName = TrimBlanks(section);
  if (HasLineBreak(sectionName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!key) return Modify(fileName, Edit::DeleteSection, sectionName, {}, {});
  const std::string_view keyName = TrimBlanks(key);
  if (keyName.empty() || HasLineBreak(keyName) || keyName.find('=') != std::string_view::npos ||
      keyName.front() == ';' || keyName.front() == '[') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!value) return Modify(fileName, Edit::DeleteKey, sectionName, keyName, {});
  if (HasLineBreak(value)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Modify(fileName, Edit::Set, sectionName, keyName, value);
}

BOOL GetPrivateProfileStructA(LPCSTR section, LPCSTR key, LPVOID data, UINT size, LPCSTR fileName) {
  if (!section || !key || (!data && size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string value;
  if (!LookUp(section, key, fileName, &value)) return FALSE;
  if (value.size() != 2 * (static_cast<size_t>(size) + 1)) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::vector<unsigned char> bytes(static_cast<size_t>(size) + 1);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = nibble(value[2 * i]);
    const int low = nibble(value[2 * i + 1]);
    if (high < 0 || low < 0) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  unsigned char sum = 0;
  for (UINT i = 0; i < size; ++i) sum = static_cast<unsigned char>(sum + bytes[i]);
  if (sum != bytes[size]) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (size > 0) memcpy(data, bytes.data(), size);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WritePrivateProfileStructA(LPCSTR section, LPCSTR key, LPVOID data, UINT size, LPCSTR fileName) {
  if (!section || !key) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!data) return WritePrivateProfileStringA(section, key, nullptr, fileName);
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * (static_cast<size_t>(size) + 1));
  unsigned char sum = 0;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (UINT i = 0; i < size; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
    sum = static_cast<unsigned char>(sum + bytes[i]);
  }
  text.push_back(digits[sum >> 4]);
  text.push_back(digits[sum & 15]);
  return WritePrivateProfileStringA(section, key, text.c_str(), fileName);
}
