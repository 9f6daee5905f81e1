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
    case NoError:
      return "";
    case FileNotFoundError:
      return "File not found";
    case PathNotFoundError:
      return "Path not found";
    case AccessDeniedError:
      return "Access denied";
    case EntryNotFoundError:
      return "Queue entry not found";
    case IsLockedError:
      return "File is locked by another process";
    case RecordNotAvailableError:
      return "No more records";
    case RecordNotFoundError:
      return "Record not found";
    case NotOpenError:
      return "File is not open";
    case DuplicateKeyError:
      return "Duplicate key";
    case BadNameError:
      return "Invalid file name";
    case KeysInvalidError:
      return "The keys of the file must be rebuilt";
    case LayoutDiffersError:
      return "The file does not match its record declaration";
    case AlreadyOpenError:
      return "File is already open";
    case NoRecordError:
      return "No current record";
    case DriverNotSupportedError:
      return "Not supported";
    case FileSystemError:
      return "File system error";
    default:
      return "Unknown error";
  }
}

namespace {
constexpr char kReadOnlySuffix[] = " is read-only: changes cannot be saved";
}

std::string ReadOnlyText(const std::string& file) { return file + kReadOnlySuffix; }
bool IsReadOnlyText(const std::string& text) {
  const std::string suffix = kReadOnlySuffix;
  return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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
