#include "framework/core/errors.h"

namespace mvn::framework {
namespace {
struct ErrorState {
  int code = 0;
  std::string file;
  std::string detail;
};
thread_local ErrorState t_error;
}  // namespace

const char* StandardErrorText(int code) {
  switch (code) {
    case NoError: return "";
    case FileNotFoundError: return "File Not Found";
    case PathNotFoundError: return "Path Not Found";
    case AccessDeniedError: return "Access Denied";
    case EntryNotFoundError: return "Entry Not Found";
    case IsLockedError: return "File Is Locked";
    case RecordNotAvailableError: return "Record Not Available";
    case RecordNotFoundError: return "Record Not Found";
    case NotOpenError: return "File Not Open";
    case DuplicateKeyError: return "Creates Duplicate Key";
    case BadNameError: return "Invalid Filename";
    case KeysInvalidError: return "Key Files Must Be Rebuilt";
    case LayoutDiffersError: return "Invalid Record Declaration";
    case AlreadyOpenError: return "File Already Open";
    case NoRecordError: return "Record Not Current";
    case DriverNotSupportedError: return "Function Not Supported";
    case FileSystemError: return "File System Error";
    default: return "Unknown Error";
  }
}

int ErrorCode() { return t_error.code; }
std::string ErrorText() {
  if (!t_error.detail.empty()) return t_error.detail;
  return StandardErrorText(t_error.code);
}
std::string ErrorFile() { return t_error.file; }

void SetError(int code, const std::string& file, const std::string& detail) {
  t_error.code = code;
  t_error.file = file;
  t_error.detail = detail;
}
void ClearError() { SetError(NoError); }

}  // namespace mvn::framework
