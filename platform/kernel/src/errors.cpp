// Last error, errno mapping, system texts and structured exceptions.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/kernel/handles.h"
#include "platform/kernel/src/internal.h"
#include "platform/kernel/utf.h"
#include "platform/kernel/win32.h"

namespace {

thread_local DWORD t_lastError = 0;

// A text that replaces the table's text for one code, valid until the last
// error is set again. Trivially destructible on purpose: a thread-local
// object with a destructor keeps a loaded module from ever being unloaded
// while the thread lives (the loader pins it for the destructor).
struct ErrorDetail {
  bool valid;
  DWORD code;
  char text[1024];
};
thread_local ErrorDetail t_detail{};

struct SystemText {
  DWORD code;
  const char* text;
};

// English texts of every code the substitute layers produce.
constexpr SystemText kSystemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, "The system call level is not correct."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_NEGATIVE_SEEK, "An attempt was made to move the file pointer before the beginning of the file."},
    {ERROR_SEEK_ON_DEVICE, "The file pointer cannot be set on the specified device or file."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_BAD_FILE_TYPE, "The file is not a regular file."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {1009, "The configuration registry database is corrupt."},  // ERROR_BADDB (registry layer)
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_TOO_MANY_LINKS, "An attempt was made to create more links on a file than the file system supports."},
    // Codes of the dialogs layer (declared in its header).
    {1400, "Invalid window handle."},                          // ERROR_INVALID_WINDOW_HANDLE
    {1408, "Invalid window; it belongs to other thread."},     // ERROR_WINDOW_OF_OTHER_THREAD
    {1421, "Control ID not found."},                           // ERROR_CONTROL_ID_NOT_FOUND
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {1814, "The specified resource name cannot be found in the image file."},  // ERROR_RESOURCE_NAME_NOT_FOUND
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

const char* FindSystemText(DWORD code) {
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

// Reads insert number index (1-based) from the arguments.
ULONG_PTR InsertArgument(DWORD flags, va_list* arguments, unsigned index) {
  if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
    return reinterpret_cast<const ULONG_PTR*>(arguments)[index - 1];
  }
  va_list copy;
  va_copy(copy, *arguments);
  ULONG_PTR value = 0;
  for (unsigned i = 0; i < index; ++i) value = va_arg(copy, ULONG_PTR);
  va_end(copy);
  return value;
}

// Expands "%1".."%99" (with an optional "!format!"), "%n", "%%" and the
// other escaped characters of a message text.
std::string ExpandInserts(const char* text, DWORD flags, va_list* arguments) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    char c = p[1];
    if (c >= '1' && c <= '9') {
      unsigned index = static_cast<unsigned>(c - '0');
      ++p;
      if (p[1] >= '0' && p[1] <= '9') index = index * 10 + static_cast<unsigned>(*++p - '0');
      std::string spec = "s";
      if (p[1] == '!') {
        const char* end = std::strchr(p + 2, '!');
        if (end) {
          spec.assign(p + 2, end);
          p = end;
        }
      }
      ULONG_PTR value = InsertArgument(flags, arguments, index);
      char piece[1100];
      std::string format = "%" + spec;
      if (!spec.empty() && (spec.back() == 's')) {
        wsprintfA(piece, format.c_str(), reinterpret_cast<const char*>(value));
      } else if (spec.find("I64") != std::string::npos) {
        wsprintfA(piece, format.c_str(), static_cast<ULONGLONG>(value));
      } else {
        wsprintfA(piece, format.c_str(), static_cast<DWORD>(value));
      }
      out += piece;
    } else if (c == 'n') {
      out += "\r\n";
      ++p;
    } else if (c == '0') {
      break;
    } else if (c == '\0') {
      out += '%';
    } else {
      out += c;  // "%%", "%.", "%!" and the like give the character itself
      ++p;
    }
  }
  return out;
}

}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) {
  t_lastError = code;
  t_detail.valid = false;
}

namespace mvn {
void SetLastErrorDetail(DWORD code, const char* text) {
  t_lastError = code;
  t_detail.valid = text != nullptr;
  t_detail.code = code;
  size_t n = text ? std::strlen(text) : 0;
  if (n >= sizeof t_detail.text) n = kernel::Utf8CutPoint(std::string_view(text, n), sizeof t_detail.text - 1);
  if (n) std::memcpy(t_detail.text, text, n);
  t_detail.text[n] = '\0';
}
}  // namespace mvn

DWORD Win32ErrorFromErrno(int err, const char* path) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case EPERM:
    case EACCES:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOENT:
      if (path && !mvn::kernel::ParentDirectoryExists(mvn::kernel::NativePath(path))) return ERROR_PATH_NOT_FOUND;
      return ERROR_FILE_NOT_FOUND;
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_BUSY;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EINVAL:
    case E2BIG:
    case ERANGE:
    case EDOM: return ERROR_INVALID_PARAMETER;
    case EFAULT: return ERROR_NOACCESS;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ESPIPE: return ERROR_SEEK_ON_DEVICE;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EMLINK: return ERROR_TOO_MANY_LINKS;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EAGAIN: return ERROR_NO_SYSTEM_RESOURCES;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
  }
}

void SetLastErrorFromErrno(int err, const char* path) { SetLastError(Win32ErrorFromErrno(err, path)); }

// ---------------------------------------------------------------------------
// System texts

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     va_list* arguments) {
  std::string text;
  bool raw = false;  // a text of our own that gets no insert expansion
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (!source) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const char*>(source);
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    if (t_detail.valid && t_detail.code == messageId && t_lastError == messageId) {
      text = std::string(t_detail.text) + "\r\n";
      raw = true;
    } else {
      const char* found = FindSystemText(messageId);
      if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
      }
      text = std::string(found) + "\r\n";
    }
  } else {
    // Message tables of modules are not supported.
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if (!raw && !(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && arguments) {
    text = ExpandInserts(text.c_str(), flags, arguments);
  }

  DWORD length = static_cast<DWORD>(text.size());
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    SIZE_T bytes = std::max<SIZE_T>(static_cast<SIZE_T>(length) + 1, size);
    char* block = static_cast<char*>(HeapAlloc(mvn::kernel::LocalHeap(), 0, bytes));
    if (!block) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(block, text.c_str(), length + 1);
    *reinterpret_cast<char**>(buffer) = block;
    return length;
  }
  if (!buffer || size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), length + 1);
  return length;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (!memory) return nullptr;
  if (!HeapFree(mvn::kernel::LocalHeap(), 0, memory)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Structured exceptions

const char* SystemException::what() const noexcept {
  // One text per code, kept for the life of the process, so the pointer
  // stays valid however long the caller keeps it.
  static std::mutex* mutex = mvn::kernel::KeepUntilKernelEnd(new std::mutex);
  static auto* texts = mvn::kernel::KeepUntilKernelEnd(new std::map<DWORD, std::string>);
  std::lock_guard lock(*mutex);
  auto it = texts->find(m_code);
  if (it == texts->end()) {
    char text[40];
    std::snprintf(text, sizeof text, "system exception 0x%08X", static_cast<unsigned>(m_code));
    it = texts->emplace(m_code, text).first;
  }
  return it->second.c_str();
}

void RaiseException(DWORD code, DWORD flags, DWORD, const ULONG_PTR*) {
  throw SystemException(code, flags & EXCEPTION_NONCONTINUABLE);
}
