// Test helper: writes one message to a mailslot using nothing but
// CreateFileA and WriteFile. Usage: mailslot_writer <name> <message>.
// Exit code: 0 written, the Win32 error of CreateFileA (2 no reader), or
// 100 + the error of WriteFile.
#include <cstring>

#include "platform/kernel/win32.h"

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  HANDLE slot = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (slot == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError() & 0x3F);
  DWORD written = 0;
  if (!WriteFile(slot, argv[2], static_cast<DWORD>(std::strlen(argv[2])), &written, nullptr))
    return 100 + static_cast<int>(GetLastError() & 0x1F);
  CloseHandle(slot);
  return 0;
}
