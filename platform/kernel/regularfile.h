// Opening a file that must already exist as a plain file, for targets a
// user may have prepared: the open never follows a symbolic link in the
// last part of the name and never waits (a FIFO or device cannot block it).
#pragma once

#include "platform/kernel/win32.h"

namespace mvn {

// Opens name once, non-blocking and without following a final symbolic
// link, and checks on that descriptor that it is a regular file; only then
// is the handle given out (blocking again, share mode as CreateFileA's),
// and with truncate the file is emptied through it. Failures give
// INVALID_HANDLE_VALUE with the last error: ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND when nothing is there, ERROR_DIRECTORY for a
// directory, ERROR_CANTOPEN for a symbolic link, ERROR_ACCESS_DENIED for
// anything else that is not a regular file (FIFO, socket, device), or the
// error of the open or of the share check. Nothing is changed on failure.
HANDLE OpenRegularFile(const char* name, DWORD access, DWORD shareMode, bool truncate);

}  // namespace mvn
