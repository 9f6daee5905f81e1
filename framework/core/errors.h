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
  FileNotFoundError = 2,         // file not found
  PathNotFoundError = 3,         // its directory not found
  AccessDeniedError = 5,         // access denied, a sharing violation, or no regular file
  EntryNotFoundError = 30,       // queue entry not found
  IsLockedError = 32,            // locked by another process beyond the lock-recovery time
  RecordNotAvailableError = 33,  // no more records (end of a read)
  RecordNotFoundError = 35,      // record not found (get by key)
  NotOpenError = 37,             // file not open
  DuplicateKeyError = 40,        // a unique key would be duplicated
  BadNameError = 45,             // invalid file name (also a path too long for its field)
  KeysInvalidError = 46,         // the keys of the file must be rebuilt
  LayoutDiffersError = 47,       // the file does not match its record declaration
  AlreadyOpenError = 52,         // file already open
  NoRecordError = 65,            // no current record (put/delete without a read)
  DriverNotSupportedError = 80,  // driver or driver command not supported
  FileSystemError = 90,          // file-system error (disk full, I/O error)
};

int ErrorCode();
// Text of the current code; for FileSystemError and DriverNotSupportedError
// the detail of the failure.
std::string ErrorText();
std::string ErrorFile();

// Sets the code (and the file it concerns, and an optional detail text).
void SetError(int code, const std::string& file = std::string(), const std::string& detail = std::string());
void ClearError();

// The text a change to a file opened only for reading is refused with, and
// that the file is told with: "<file> is read-only: changes cannot be
// saved". IsReadOnlyText tells such a text from other access refusals.
std::string ReadOnlyText(const std::string& file);
bool IsReadOnlyText(const std::string& text);

// The standard text of a code ("" for 0).
const char* StandardErrorText(int code);

}  // namespace mvn::framework
