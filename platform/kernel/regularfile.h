// Opening a file only when it is a regular file, for inputs and targets a
// user may have prepared.
//
// The check is made on the open descriptor (fstat), never on the name
// before opening it, so nothing can be swapped in between. The open itself
// does not block: a FIFO without a writer, a device or a socket is refused
// without being read or written.
#pragma once

#include "platform/kernel/win32.h"

namespace mvn::kernel {

// What a symbolic link in the last part of the name means.
enum class FinalLink {
  Follow,  // a link to a regular file is that file (inputs a user names)
  Refuse,  // never followed (targets in folders others may write)
};

// Opens name once (access and share mode as CreateFileA takes them), checks
// on that descriptor that it is a regular file, and only then gives out the
// handle (blocking again); with truncate the file is emptied through it.
// Failures give INVALID_HANDLE_VALUE with the last error:
// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when nothing is there,
// ERROR_ACCESS_DENIED for a directory, ERROR_BAD_FILE_TYPE for anything else
// that is not a regular file (FIFO, socket, device, a refused link), or the
// error of the open or of the share check. Nothing is changed on failure.
HANDLE OpenRegularFile(const char* name, DWORD access, DWORD shareMode, bool truncate, FinalLink links);

// A handle for a regular file another layer opened (fd, which the handle
// takes over: it is closed also on failure), with the share check of
// access and shareMode. INVALID_HANDLE_VALUE and the last error when fd is
// no regular file or the share check fails.
HANDLE AdoptRegularFile(int fd, const char* path, DWORD access, DWORD shareMode);

// An existing regular file (or a link to one) opened for reading.
inline HANDLE OpenRegularFileForReading(const char* name, DWORD shareMode) {
  return OpenRegularFile(name, GENERIC_READ, shareMode, false, FinalLink::Follow);
}

}  // namespace mvn::kernel
