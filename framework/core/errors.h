// ERRORCODE: the outcome of the last framework operation of this thread.
//
// Every file, queue and INI operation sets it: 0 for success, otherwise one
// of the codes below. ErrorText() is the English text of the current code,
// ErrorFile() the name of the file the failing operation was about.
#pragma once

#include <string>

namespace mvn::framework {

enum : int {
  NoError = 0,
  FileNotFoundError = 2,        // "File Not Found"
  PathNotFoundError = 3,        // "Path Not Found"
  AccessDeniedError = 5,        // "Access Denied" (also a sharing violation)
  EntryNotFoundError = 30,      // "Entry Not Found" (queues, INI lists)
  IsLockedError = 32,           // "File Is Locked" (held by another process)
  RecordNotAvailableError = 33, // "Record Not Available" (end of a read)
  RecordNotFoundError = 35,     // "Record Not Found" (get by key)
  NotOpenError = 37,            // "File Not Open"
  DuplicateKeyError = 40,       // "Creates Duplicate Key"
  BadNameError = 45,            // "Invalid Filename" (also a path too long)
  KeysInvalidError = 46,        // "Key Files Must Be Rebuilt"
  LayoutDiffersError = 47,      // "Invalid Record Declaration"
  AlreadyOpenError = 52,        // "File Already Open"
  NoRecordError = 65,           // "Record Not Current" (put/delete without a read)
  DriverNotSupportedError = 80, // "Function Not Supported" / driver not supported
  FileSystemError = 90,         // "File System Error" (disk full, I/O error)
};

int ErrorCode();
// Text of the current code; for FileSystemError and DriverNotSupportedError
// the detail of the failure.
std::string ErrorText();
std::string ErrorFile();

// Sets the code (and the file it concerns, and an optional detail text).
void SetError(int code, const std::string& file = std::string(), const std::string& detail = std::string());
void ClearError();

// The standard text of a code ("" for 0).
const char* StandardErrorText(int code);

}  // namespace mvn::framework
