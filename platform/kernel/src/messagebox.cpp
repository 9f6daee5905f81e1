// Message boxes without a display: one line on stderr (and in the log file
// named by MVN_MESSAGEBOX_LOG), answered at once with the default button.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/kernel/win32.h"

namespace {

std::atomic<MessageBoxBackend> g_backend{nullptr};

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The text with its line breaks ("|", "\n", "\r\n", "\r") shown as " / ".
std::string OneLine(const char* text) {
  std::string line;
  for (const char* p = text ? text : ""; *p; ++p) {
    if (*p == '|' || *p == '\n' || *p == '\r') {
      if (*p == '\r' && p[1] == '\n') ++p;
      line += " / ";
    } else {
      line += *p;
    }
  }
  return line;
}

int DefaultButton(UINT type) {
  static const int kOk[] = {IDOK};
  static const int kOkCancel[] = {IDOK, IDCANCEL};
  static const int kAbortRetryIgnore[] = {IDABORT, IDRETRY, IDIGNORE};
  static const int kYesNoCancel[] = {IDYES, IDNO, IDCANCEL};
  static const int kYesNo[] = {IDYES, IDNO};
  static const int kRetryCancel[] = {IDRETRY, IDCANCEL};
  const int* buttons = kOk;
  int count = 1;
  switch (type & 0xFu) {
    case MB_OKCANCEL: buttons = kOkCancel; count = 2; break;
    case MB_ABORTRETRYIGNORE: buttons = kAbortRetryIgnore; count = 3; break;
    case MB_YESNOCANCEL: buttons = kYesNoCancel; count = 3; break;
    case MB_YESNO: buttons = kYesNo; count = 2; break;
    case MB_RETRYCANCEL: buttons = kRetryCancel; count = 2; break;
    default: break;
  }
  int index = static_cast<int>((type & 0xF00u) >> 8);
  return buttons[index < count ? index : 0];
}

}  // namespace

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (MessageBoxBackend backend = g_backend.load()) return backend(owner, text, caption, type);
  std::string line = OneLine(caption ? caption : "Error") + ": " + OneLine(text) + "\n";
  WriteAll(STDERR_FILENO, line);
  if (const char* log = std::getenv("MVN_MESSAGEBOX_LOG"); log && *log) {
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
      // One write per box: appends of concurrent processes stay whole lines.
      WriteAll(fd, line);
      close(fd);
    }
  }
  return DefaultButton(type);
}

void SetMessageBoxBackend(MessageBoxBackend backend) { g_backend.store(backend); }
