// Child program of the kernel tests.
//   probe cmdline ...      prints GetCommandLineA()
//   probe hold FILE ACCESS SHARE
//                          opens FILE (access "r", "w" or "rw"; share bits as a
//                          number; a sharing violation is tried again for a
//                          while), prints "open" or the error and waits for a
//                          line on stdin before it ends
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/kernel/win32.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "cmdline") == 0) {
    std::printf("%s\n", GetCommandLineA());
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "hold") == 0) {
    DWORD access = 0;
    if (std::strchr(argv[3], 'r')) access |= GENERIC_READ;
    if (std::strchr(argv[3], 'w')) access |= GENERIC_WRITE;
    // A test that polls the file may hold it for a moment: a sharing
    // violation is tried again for up to ten seconds.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 1000; ++i) {
      file = CreateFileA(argv[2], access, static_cast<DWORD>(std::atoi(argv[4])), nullptr, OPEN_ALWAYS, 0, nullptr);
      if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
      Sleep(10);
    }
    if (file == INVALID_HANDLE_VALUE) {
      std::printf("error %u\n", GetLastError());
    } else {
      std::printf("open\n");
    }
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin)) return 0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
  }
  return 2;
}
