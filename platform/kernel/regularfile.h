// Opening a file only when it is a regular file.
//
// The check is made on the open descriptor (fstat), never on the name
// before opening it, so nothing can be swapped in between. The open itself
// does not block: a FIFO without a writer, a device or a socket is refused
// (ERROR_BAD_FILE_TYPE) without being read. A symbolic link to a regular
// file is fine.
#pragma once

#include "platform/kernel/win32.h"

namespace mvn::kernel {

// An existing regular file opened for reading (with the share mode as
// CreateFileA takes it); INVALID_HANDLE_VALUE and the last error otherwise.
HANDLE OpenRegularFileForReading(const char* name, DWORD shareMode);

}  // namespace mvn::kernel
