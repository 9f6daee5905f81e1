// Operations on files and directories by name.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

using mvn::kernel::CheckName;
using mvn::kernel::NativePath;
using mvn::kernel::SetErrorFromErrno;

namespace {

// rename without replacing an existing target, atomically.
int RenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  // File systems without RENAME_NOREPLACE: a hard link never replaces either.
  struct stat st;
  if (lstat(from, &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) {
    if (lstat(to, &st) == 0) {
      errno = EEXIST;
      return -1;
    }
    return rename(from, to);
  }
  if (link(from, to) != 0) return -1;
  if (unlink(from) != 0) {
    int err = errno;
    unlink(to);
    errno = err;
    return -1;
  }
  return 0;
}

// Copies the content, permission bits and modification time of an open
// file into a new file beside target and moves it into place, so a failure
// never leaves a partial file under the target name. With noReplace an
// existing target makes it fail with EEXIST.
int CopyIntoPlace(int source, const struct stat& st, const std::string& target, bool noReplace) {
  std::string directory = ".";
  std::size_t slash = target.rfind('/');
  if (slash != std::string::npos) directory = slash == 0 ? "/" : target.substr(0, slash);
  int out = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  std::string temporary;
  if (out < 0) {
    // No anonymous files here: a hidden named one, removed on failure.
    for (unsigned attempt = 0; attempt < 100 && out < 0; ++attempt) {
      char suffix[40];
      std::snprintf(suffix, sizeof suffix, ".mvncopy-%d-%u", static_cast<int>(getpid()), attempt);
      temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + suffix;
      out = open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      if (out < 0 && errno != EEXIST) return -1;
    }
    if (out < 0) return -1;
  }
  auto fail = [&](int err) {
    close(out);
    if (!temporary.empty()) unlink(temporary.c_str());
    errno = err;
    return -1;
  };

  if (lseek(source, 0, SEEK_SET) < 0) return fail(errno);
  while (true) {
    ssize_t n = copy_file_range(source, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return fail(errno);
    // Fall back to plain reads and writes from where the copy stands.
    char buffer[65536];
    while (true) {
      ssize_t got = read(source, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return fail(errno);
      if (got == 0) break;
      for (ssize_t done = 0; done < got;) {
        ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return fail(errno);
        done += put;
      }
    }
    break;
  }
  if (fchmod(out, st.st_mode & 07777) != 0) return fail(errno);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  futimens(out, times);

  if (temporary.empty()) {
    // Give the anonymous file its name; linkat never replaces.
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", out);
    if (!noReplace) {
      // Replace atomically: link under a hidden name, then rename over.
      for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".mvncopy-%d-%u", static_cast<int>(getpid()), attempt);
        temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + suffix;
        if (linkat(AT_FDCWD, procPath, AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        if (errno != EEXIST) {
          temporary.clear();
          return fail(errno);
        }
        temporary.clear();
      }
      if (temporary.empty()) return fail(EEXIST);
      if (rename(temporary.c_str(), target.c_str()) != 0) return fail(errno);
    } else if (linkat(AT_FDCWD, procPath, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return fail(errno);
    }
  } else if (noReplace) {
    if (RenameNoReplace(temporary.c_str(), target.c_str()) != 0) return fail(errno);
  } else if (rename(temporary.c_str(), target.c_str()) != 0) {
    return fail(errno);
  }
  close(out);
  return 0;
}

}  // namespace

DWORD GetFileAttributesA(LPCSTR name) {
  if (!CheckName(name)) return INVALID_FILE_ATTRIBUTES;
  std::string path = NativePath(name);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetErrorFromErrno(errno, path);
    return INVALID_FILE_ATTRIBUTES;
  }
  return mvn::kernel::AttributesFromStat(st);
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
  if (!CheckName(name)) return FALSE;
  std::string path = NativePath(name);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetErrorFromErrno(errno, path);
    return FALSE;
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if (!(mode & S_IWUSR)) {
    // Writable again: by the owner, and by those who may read it as far as
    // the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    mode_t write = S_IWUSR;
    if (mode & S_IRGRP) write |= S_IWGRP;
    if (mode & S_IROTH) write |= S_IWOTH;
    mode |= write & ~(mask & static_cast<mode_t>(S_IWGRP | S_IWOTH));
  }
  if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0) {
    SetErrorFromErrno(errno, path);
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
  if (!CheckName(name)) return FALSE;
  std::string path = NativePath(name);
  if (mkdir(path.c_str(), 0777) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetErrorFromErrno(errno, path);
    }
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR name) {
  if (!CheckName(name)) return FALSE;
  std::string path = NativePath(name);
  if (rmdir(path.c_str()) != 0) {
    if (errno == ENOTDIR) {
      struct stat st;
      // A file of that name: the directory name is invalid.
      SetLastError(stat(path.c_str(), &st) == 0 ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    } else if (errno == EEXIST) {
      SetLastError(ERROR_DIR_NOT_EMPTY);
    } else {
      SetErrorFromErrno(errno, path);
    }
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
  if (!CheckName(name)) return FALSE;
  std::string path = NativePath(name);
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    // A read-only file cannot be deleted until its attribute is cleared.
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  if (unlink(path.c_str()) != 0) {
    SetErrorFromErrno(errno, path);
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileA(LPCSTR existing, LPCSTR newName) { return MoveFileExA(existing, newName, MOVEFILE_COPY_ALLOWED); }

BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
  if (!CheckName(existing) || !CheckName(newName)) return FALSE;
  std::string from = NativePath(existing);
  std::string to = NativePath(newName);
  bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  struct stat source;
  if (lstat(from.c_str(), &source) != 0) {
    SetErrorFromErrno(errno, from);
    return FALSE;
  }
  if (replace) {
    // A directory or a read-only file is never replaced.
    struct stat target;
    if (stat(to.c_str(), &target) == 0 && !(source.st_dev == target.st_dev && source.st_ino == target.st_ino) &&
        (S_ISDIR(target.st_mode) || S_ISDIR(source.st_mode) || !(target.st_mode & S_IWUSR))) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  int rc = replace ? rename(from.c_str(), to.c_str()) : RenameNoReplace(from.c_str(), to.c_str());
  if (rc == 0) return TRUE;
  int err = errno;
  if (err == EEXIST || err == ENOTEMPTY) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (err != EXDEV) {
    if (err == ENOENT && !mvn::kernel::ParentDirectoryExists(to)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetErrorFromErrno(err, from);
    }
    return FALSE;
  }
  if (!(flags & MOVEFILE_COPY_ALLOWED) || !S_ISREG(source.st_mode)) {
    SetLastError(ERROR_NOT_SAME_DEVICE);
    return FALSE;
  }
  // Another file system: copy, then delete the source. The copy appears
  // under the new name only when complete.
  int fd = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    SetErrorFromErrno(errno, from);
    return FALSE;
  }
  struct stat st;
  fstat(fd, &st);
  if (CopyIntoPlace(fd, st, to, !replace) != 0) {
    err = errno;
    close(fd);
    SetLastError(err == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(err, to.c_str()));
    return FALSE;
  }
  close(fd);
  if (unlink(from.c_str()) != 0) {
    // Keep exactly one copy: the source could not go, so the new one goes.
    err = errno;
    unlink(to.c_str());
    SetErrorFromErrno(err, from);
    return FALSE;
  }
  return TRUE;
}

BOOL CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists) {
  if (!CheckName(existing) || !CheckName(newName)) return FALSE;
  std::string to = NativePath(newName);
  // Read through a file handle so that share modes apply to the source.
  HANDLE source = mvn::kernel::OpenFile(existing, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  if (source == INVALID_HANDLE_VALUE) return FALSE;
  std::shared_ptr<mvn::KernelObject> object = mvn::HandleGet(source);
  int fd = object->Descriptor();
  struct stat st;
  fstat(fd, &st);
  struct stat target;
  if (stat(to.c_str(), &target) == 0) {
    if (failIfExists) {
      CloseHandle(source);
      SetLastError(ERROR_FILE_EXISTS);
      return FALSE;
    }
    if (S_ISDIR(target.st_mode) || !(target.st_mode & S_IWUSR)) {
      CloseHandle(source);
      SetLastError(ERROR_ACCESS_DENIED);  // a directory or a read-only file is not overwritten
      return FALSE;
    }
  }
  int rc = CopyIntoPlace(fd, st, to, failIfExists != FALSE);
  int err = errno;
  CloseHandle(source);
  if (rc != 0) {
    SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(err, to.c_str()));
    return FALSE;
  }
  return TRUE;
}
