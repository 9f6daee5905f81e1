// Test module: a loadable object that writes to a mailslot with nothing but
// CreateFileA and WriteFile, as the port monitor does.
#include <cstring>

#include "platform/kernel/win32.h"

extern "C" __attribute__((visibility("default"))) int WriteToMailslot(const char* name, const char* text) {
  HANDLE slot = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (slot == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD written = 0;
  BOOL ok = WriteFile(slot, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(slot);
  return ok ? 0 : -1;
}
