// A loadable module that uses the registry the way the port monitor does:
// it opens both hives, writes and reads a value, and may leave a key open
// when it is unloaded.
#include <cstring>

#include "platform/registry/registry.h"

namespace {

// The key stays open until the module is unloaded, as a module's static
// objects may keep one.
HKEY g_kept = nullptr;

LONG WriteAndRead(HKEY root, const char* path, const char* text, bool keep) {
  HKEY key = nullptr;
  LONG error = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) return error;
  error = RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                         static_cast<DWORD>(std::strlen(text) + 1));
  char back[256] = {};
  DWORD size = sizeof back;
  DWORD type = 0;
  if (error == ERROR_SUCCESS)
    error = RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(back), &size);
  if (error == ERROR_SUCCESS && (type != REG_SZ || std::strcmp(back, text) != 0)) error = ERROR_INVALID_DATA;
  if (keep && !g_kept)
    g_kept = key;
  else
    RegCloseKey(key);
  return error;
}

}  // namespace

// 0 when a value went through the machine hive and the user's hive.
extern "C" __attribute__((visibility("default"))) long UseRegistry(const char* text) {
  if (LONG error = WriteAndRead(HKEY_LOCAL_MACHINE, "SOFTWARE\\Unload Test", text, true)) return error;
  return WriteAndRead(HKEY_CURRENT_USER, "Software\\Unload Test", text, false);
}
