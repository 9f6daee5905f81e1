// File handles: CreateFileA, ReadFile, WriteFile, CloseHandle and the calls
// on an open file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/kernel/handles.h"
#include "platform/kernel/regularfile.h"
#include "platform/kernel/src/internal.h"
#include "platform/kernel/src/sharelock.h"
#include "platform/kernel/win32.h"

namespace mvn::kernel {

namespace {

class FileObject : public KernelObject {
 public:
  FileObject(int fd, std::string path, bool read, bool write, bool regular, bool deleteOnClose)
      : m_fd(fd), m_path(std::move(path)), m_read(read), m_write(write), m_regular(regular),
        m_deleteOnClose(deleteOnClose) {}
  ~FileObject() override { Close(); }

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override {
    *read = 0;
    if (!m_read) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (toRead && !buffer) {
      SetLastError(ERROR_NOACCESS);
      return FALSE;
    }
    char* out = static_cast<char*>(buffer);
    while (*read < toRead) {
      ssize_t n = ::read(m_fd, out + *read, toRead - *read);
      if (n < 0) {
        if (errno == EINTR) continue;
        SetErrorFromErrno(errno, m_path);
        return FALSE;
      }
      if (n == 0) break;  // end of file: success with what was read
      *read += static_cast<DWORD>(n);
      if (!m_regular) break;  // pipes and devices give what they have
    }
    return TRUE;
  }

  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override {
    *written = 0;
    if (!m_write) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (toWrite && !buffer) {
      SetLastError(ERROR_NOACCESS);
      return FALSE;
    }
    const char* in = static_cast<const char*>(buffer);
    while (*written < toWrite) {
      ssize_t n = ::write(m_fd, in + *written, toWrite - *written);
      if (n < 0) {
        if (errno == EINTR) continue;
        SetErrorFromErrno(errno, m_path);
        return FALSE;
      }
      if (n == 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
      }
      *written += static_cast<DWORD>(n);
    }
    return TRUE;
  }

  BOOL Close() override {
    if (m_fd < 0) return TRUE;
    if (m_deleteOnClose) {
      struct stat mine, named;
      if (fstat(m_fd, &mine) == 0 && stat(m_path.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
          mine.st_ino == named.st_ino) {
        unlink(m_path.c_str());
      }
    }
    m_lock.Release();
    ::close(m_fd);
    m_fd = -1;
    return TRUE;
  }

  int Descriptor() const override { return m_fd; }

  // Deletion on close starts with a successful open only, so a refused
  // open never removes the file someone else holds.
  void SetDeleteOnClose(bool on) { m_deleteOnClose = on; }

  ShareLock& Lock() { return m_lock; }
  bool CanWrite() const { return m_write; }
  const std::string& Path() const { return m_path; }

 private:
  int m_fd;
  std::string m_path;
  bool m_read;
  bool m_write;
  bool m_regular;
  bool m_deleteOnClose;
  ShareLock m_lock;
};

std::shared_ptr<FileObject> GetFile(HANDLE file) {
  std::shared_ptr<KernelObject> object = HandleGet(file);
  if (!object) return nullptr;
  auto result = std::dynamic_pointer_cast<FileObject>(object);
  if (!result) SetLastError(ERROR_INVALID_HANDLE);
  return result;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Whether users other than this process's may change the entries of the
// directory that holds path: it is another user's, or writable by its
// group or by everybody.
bool DirectoryOpenToOthers(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat st;
  if (stat(directory.c_str(), &st) != 0) return true;
  return st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace

HANDLE OpenFile(const char* name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flagsAndAttributes) {
  if (!CheckName(name)) return INVALID_HANDLE_VALUE;
  if (DeviceOpener opener = FindDeviceOpener(name)) {
    return opener(name, access, shareMode, disposition, flagsAndAttributes);
  }
  constexpr DWORD kGenericAll = 0x10000000u;
  bool read = (access & (GENERIC_READ | kGenericAll)) != 0;
  bool write = (access & (GENERIC_WRITE | kGenericAll)) != 0;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || (disposition == TRUNCATE_EXISTING && !write)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = NativePath(name);

  int flags = O_CLOEXEC | O_NOCTTY;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  if (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
  mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

  // Creating or truncating over an existing name never follows a final
  // symbolic link in a directory that others can change: such a link may
  // lead to any file this process can write.
  const int truncateFlags =
      (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && DirectoryOpenToOthers(path) ? O_NOFOLLOW
                                                                                                         : 0;

  int fd = -1;
  bool existed = false;
  switch (disposition) {
    case CREATE_NEW:
      fd = OpenRetrying(path.c_str(), flags | O_CREAT | O_EXCL, mode);
      if (fd < 0) {
        SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(errno, path.c_str()));
        return INVALID_HANDLE_VALUE;
      }
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        fd = OpenRetrying(path.c_str(), flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0) break;
        if (errno != EEXIST) break;
        fd = OpenRetrying(path.c_str(), flags | (disposition == CREATE_ALWAYS ? truncateFlags : 0), mode);
        if (fd >= 0) {
          existed = true;
          break;
        }
        if (errno != ENOENT) break;
        // Removed between the two calls (or a dangling link): try again.
      }
      if (fd < 0) {
        SetErrorFromErrno(errno, path);
        return INVALID_HANDLE_VALUE;
      }
      break;
    default:  // OPEN_EXISTING, TRUNCATE_EXISTING
      fd = OpenRetrying(path.c_str(), flags | truncateFlags, mode);
      if (fd < 0 && errno == EACCES && !read && !write) {
        fd = OpenRetrying(path.c_str(), O_PATH | O_CLOEXEC, 0);  // attributes only
      }
      if (fd < 0) {
        SetErrorFromErrno(errno, path);
        return INVALID_HANDLE_VALUE;
      }
      existed = true;
      break;
  }

  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    SetErrorFromErrno(err, path);
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool regular = S_ISREG(st.st_mode);
  auto object = std::make_shared<FileObject>(fd, path, read, write, regular, false);
  if (regular) {
    if (DWORD conflict = object->Lock().Acquire(st.st_dev, st.st_ino, read, write, shareMode)) {
      SetLastError(conflict);
      return INVALID_HANDLE_VALUE;  // the object closes the descriptor
    }
  }
  // Truncation only after the share check, so a refused open changes nothing.
  if (existed && regular && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
    int rc = ftruncate(fd, 0);
    if (rc != 0 && (errno == EBADF || errno == EINVAL)) {
      int other = OpenRetrying(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | truncateFlags, 0);
      rc = other >= 0 ? ftruncate(other, 0) : -1;
      if (other >= 0) ::close(other);
    }
    if (rc != 0) {
      SetErrorFromErrno(errno, path);
      return INVALID_HANDLE_VALUE;
    }
  }
  object->SetDeleteOnClose((flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0);
  HANDLE handle = HandleInsert(object);
  if (!handle) {
    object->SetDeleteOnClose(false);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                      : ERROR_SUCCESS);
  return handle;
}

}  // namespace mvn::kernel

using mvn::kernel::GetFile;
using mvn::kernel::SetErrorFromErrno;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE) {
  return mvn::kernel::OpenFile(name, access, shareMode, creationDisposition, flagsAndAttributes);
}

namespace {

// ReadFile and WriteFile: the count is 0 until the object has transferred
// bytes; overlapped transfers are not offered.
template <class Transfer>
BOOL TransferFile(HANDLE file, LPDWORD done, void* overlapped, Transfer transfer) {
  DWORD count = 0;
  if (done) *done = 0;
  if (overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<mvn::KernelObject> object = mvn::HandleGet(file);
  if (!object) return FALSE;
  BOOL ok = transfer(object.get(), &count);
  if (done) *done = count;
  return ok;
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped) {
  return TransferFile(file, read, overlapped,
                      [&](mvn::KernelObject* object, DWORD* count) { return object->Read(buffer, toRead, count); });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped) {
  return TransferFile(file, written, overlapped,
                      [&](mvn::KernelObject* object, DWORD* count) { return object->Write(buffer, toWrite, count); });
}

BOOL CloseHandle(HANDLE object) {
  // Heaps, scans and modules have calls of their own to close them.
  std::shared_ptr<mvn::KernelObject> taken = mvn::kernel::HandleTake(object, [](mvn::KernelObject* o) {
    return !mvn::kernel::IsHeapObject(o) && !mvn::kernel::IsFindObject(o) &&
           dynamic_cast<mvn::ModuleObject*>(o) == nullptr;
  });
  if (!taken) return FALSE;
  return taken->Close();
}

DWORD SetFilePointer(HANDLE file, LONG distanceLow, PLONG distanceHigh, DWORD moveMethod) {
  auto object = GetFile(file);
  if (!object) return INVALID_SET_FILE_POINTER;
  int fd = object->Descriptor();
  std::int64_t distance = distanceHigh
                              ? static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                          static_cast<DWORD>(distanceLow))
                              : static_cast<std::int64_t>(distanceLow);
  std::int64_t base;
  struct stat st;
  switch (moveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = lseek(fd, 0, SEEK_CUR); break;
    case FILE_END: base = fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
  }
  if (base < 0) {
    SetErrorFromErrno(errno, object->Path());
    return INVALID_SET_FILE_POINTER;
  }
  std::int64_t target;
  if (__builtin_add_overflow(base, distance, &target)) {
    // Only a positive distance can overflow a non-negative base.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (!distanceHigh && target > 0xFFFFFFFFll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(fd, target, SEEK_SET) < 0) {
    SetErrorFromErrno(errno, object->Path());
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(target) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(target);
}

BOOL SetEndOfFile(HANDLE file) {
  auto object = GetFile(file);
  if (!object) return FALSE;
  if (!object->CanWrite()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  off_t position = lseek(object->Descriptor(), 0, SEEK_CUR);
  if (position < 0 || ftruncate(object->Descriptor(), position) != 0) {
    mvn::kernel::SetErrorFromErrno(errno, object->Path());
    return FALSE;
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto object = GetFile(file);
  if (!object) return FALSE;
  if (!object->CanWrite()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (fsync(object->Descriptor()) != 0 && errno != EINVAL && errno != EROFS) {
    mvn::kernel::SetErrorFromErrno(errno, object->Path());
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  auto object = GetFile(file);
  struct stat st;
  if (!object) return INVALID_FILE_SIZE;
  if (fstat(object->Descriptor(), &st) != 0) {
    mvn::kernel::SetErrorFromErrno(errno, object->Path());
    return INVALID_FILE_SIZE;
  }
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  auto object = GetFile(file);
  if (!object) return FALSE;
  if (!info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (fstat(object->Descriptor(), &st) != 0) {
    mvn::kernel::SetErrorFromErrno(errno, object->Path());
    return FALSE;
  }
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t index = static_cast<std::uint64_t>(st.st_ino);
  info->dwFileAttributes = mvn::kernel::AttributesFromStat(st);
  info->ftCreationTime = mvn::kernel::FileTimeFromTimespec(mvn::kernel::CreationTime(object->Descriptor(), st));
  info->ftLastAccessTime = mvn::kernel::FileTimeFromTimespec(st.st_atim);
  info->ftLastWriteTime = mvn::kernel::FileTimeFromTimespec(st.st_mtim);
  info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  info->nFileIndexLow = static_cast<DWORD>(index);
  return TRUE;
}

namespace mvn::kernel {

HANDLE AdoptRegularFile(int fd, const char* path, DWORD access, DWORD shareMode) {
  constexpr DWORD kGenericAll = 0x10000000u;
  bool read = (access & (GENERIC_READ | kGenericAll)) != 0;
  bool write = (access & (GENERIC_WRITE | kGenericAll)) != 0;
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<FileObject>(fd, NativePath(path ? path : ""), read, write, true, false);
  if (DWORD conflict = object->Lock().Acquire(st.st_dev, st.st_ino, read, write, shareMode)) {
    SetLastError(conflict);
    return INVALID_HANDLE_VALUE;  // the object closes the descriptor
  }
  HANDLE handle = HandleInsert(object);
  if (!handle) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE OpenRegularFile(const char* name, DWORD access, DWORD shareMode, bool truncate, FinalLink links) {
  if (!CheckName(name)) return INVALID_HANDLE_VALUE;
  constexpr DWORD kGenericAll = 0x10000000u;
  bool read = (access & (GENERIC_READ | kGenericAll)) != 0;
  bool write = (access & (GENERIC_WRITE | kGenericAll)) != 0;
  if (truncate && !write) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = NativePath(name);
  // Non-blocking, so that a FIFO without a writer or reader returns at once.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (links == FinalLink::Refuse) flags |= O_NOFOLLOW;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  int fd = OpenRetrying(path.c_str(), flags, 0);
  if (fd < 0) {
    int err = errno;
    struct stat named;
    if (err == ELOOP && links == FinalLink::Refuse) {
      SetLastError(ERROR_BAD_FILE_TYPE);
    } else if (err == EISDIR) {
      SetLastError(ERROR_ACCESS_DENIED);
    } else if ((links == FinalLink::Follow ? stat(path.c_str(), &named) : lstat(path.c_str(), &named)) == 0 &&
               !S_ISREG(named.st_mode) && !S_ISDIR(named.st_mode)) {
      // A socket cannot be opened at all, a FIFO without a reader not for
      // writing: say what it is, not that it is missing.
      SetLastError(ERROR_BAD_FILE_TYPE);
    } else {
      SetErrorFromErrno(err, path);
    }
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    SetErrorFromErrno(err, path);
    return INVALID_HANDLE_VALUE;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastError(S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  // A regular file: reads and writes block as on any file.
  int now = fcntl(fd, F_GETFL);
  if (now >= 0) fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
  auto object = std::make_shared<FileObject>(fd, path, read, write, true, false);
  if (DWORD conflict = object->Lock().Acquire(st.st_dev, st.st_ino, read, write, shareMode)) {
    SetLastError(conflict);
    return INVALID_HANDLE_VALUE;  // the object closes the descriptor
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    SetErrorFromErrno(errno, path);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = HandleInsert(object);
  if (!handle) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace mvn::kernel
