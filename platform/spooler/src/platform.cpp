// The root's platform, the printer-name rule, and small registry reads the
// spooler's pieces share.
#include <cstring>
#include <string>

#include "platform/kernel/utf.h"
#include "platform/registry/registry.h"
#include "platform/spooler/install.h"

namespace mvn::spooler {

namespace {

std::string ReadString(const char* keyPath, const char* value, bool* present) {
  *present = false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::string();
  char text[4096];
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  LONG status = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return std::string();
  *present = true;
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string("\x01");
  text[size] = '\0';
  return std::string(text);
}

}  // namespace

Platform CurrentPlatform() {
  bool present = false;
  std::string version = ReadString(kPlatformKey, kPlatformValue, &present);
  if (!present || version == "NT 4.0") return Platform::WindowsNT40;
  if (version == "NT 3.51") return Platform::WindowsNT351;
  if (version == "95") return Platform::Windows95;
  if (version == "Win32s") return Platform::Win32s;
  if (version == "other") return Platform::Other;
  return Platform::Unknown;
}

const char* CurrentEnvironment() {
  return CurrentPlatform() == Platform::Windows95 ? kEnvironment95 : kEnvironmentNT;
}

bool ValidPrinterName(const std::string& name) {
  if (name.empty() || name.size() > 220) return false;
  for (std::size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '\\' || c == ',' || c == '!') return false;
    const mvn::kernel::Utf8Char character = mvn::kernel::DecodeUtf8At(name, i);
    if (!character.valid) return false;
    i += character.length;
  }
  return true;
}

std::string MonitorFile(const std::string& monitorName) {
  if (monitorName.empty() || monitorName.find('\\') != std::string::npos) return std::string();
  std::string key = std::string("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\") + monitorName;
  bool present = false;
  std::string file = ReadString(key.c_str(), "Driver", &present);
  return file == "\x01" ? std::string() : file;
}

}  // namespace mvn::spooler

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  using mvn::spooler::Platform;
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  DWORD size = info->dwOSVersionInfoSize;
  std::memset(info, 0, sizeof *info);
  info->dwOSVersionInfoSize = size;
  switch (mvn::spooler::CurrentPlatform()) {
    case Platform::WindowsNT40:
      *info = {size, 4, 0, 1381, VER_PLATFORM_WIN32_NT, {}};
      break;
    case Platform::WindowsNT351:
      *info = {size, 3, 51, 1057, VER_PLATFORM_WIN32_NT, {}};
      break;
    case Platform::Windows95:
      *info = {size, 4, 0, 950, VER_PLATFORM_WIN32_WINDOWS, {}};
      break;
    case Platform::Win32s:
      *info = {size, 1, 30, 0, VER_PLATFORM_WIN32s, {}};
      break;
    case Platform::Other:
      *info = {size, 1, 0, 0, 3, {}};
      break;
    case Platform::Unknown:
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
  }
  return TRUE;
}
