// The process's handle table.
//
// Handle values are multiples of 4 handed out in increasing order and only
// reused after the whole value space has been gone through once, so a
// handle that was closed fails (ERROR_INVALID_HANDLE) instead of reaching
// a newer object.
#include "platform/kernel/handles.h"

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/kernel/src/internal.h"

namespace mvn {

namespace {

constexpr std::uintptr_t kHandleStep = 4;
constexpr std::uintptr_t kHandleLimit = 0x00FFFFFCu;  // values stay small

struct HandleTable {
  std::shared_mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> entries;
  std::uintptr_t next = kHandleStep;
};

HandleTable& Table() {
  static HandleTable* table = kernel::KeepUntilKernelEnd(new HandleTable);
  return *table;
}

struct DeviceEntry {
  std::string prefix;  // lower case, "/" separators
  DeviceOpener opener;
};

std::mutex g_deviceMutex;
std::vector<DeviceEntry>& Devices() {
  static auto* devices = kernel::KeepUntilKernelEnd(new std::vector<DeviceEntry>);
  return *devices;
}

std::string FoldDeviceName(const char* name) {
  std::string folded;
  for (const char* p = name; *p; ++p) folded += (*p == '\\') ? '/' : kernel::AsciiLower(*p);
  return folded;
}

}  // namespace

BOOL KernelObject::Read(void*, DWORD, DWORD* read) {
  if (read) *read = 0;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL KernelObject::Write(const void*, DWORD, DWORD* written) {
  if (written) *written = 0;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

HANDLE HandleInsert(std::shared_ptr<KernelObject> object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HandleTable& table = Table();
  std::unique_lock lock(table.mutex);
  if (table.entries.size() >= kHandleLimit / kHandleStep - 1) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  std::uintptr_t value;
  do {
    value = table.next;
    table.next = value >= kHandleLimit ? kHandleStep : value + kHandleStep;
  } while (table.entries.count(value));
  table.entries.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleGet(HANDLE handle) {
  HandleTable& table = Table();
  {
    std::shared_lock lock(table.mutex);
    auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != table.entries.end()) return it->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool HandleRemove(HANDLE handle) {
  std::shared_ptr<KernelObject> dropped;  // dies outside the lock
  HandleTable& table = Table();
  {
    std::unique_lock lock(table.mutex);
    auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != table.entries.end()) {
      dropped = std::move(it->second);
      table.entries.erase(it);
      return true;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

void RegisterDeviceNamespace(const char* prefix, DeviceOpener opener) {
  if (!prefix || !*prefix) return;
  std::string folded = FoldDeviceName(prefix);
  std::lock_guard lock(g_deviceMutex);
  for (DeviceEntry& entry : Devices()) {
    if (entry.prefix == folded) {
      entry.opener = opener;
      return;
    }
  }
  Devices().push_back({folded, opener});
}

namespace kernel {

std::shared_ptr<KernelObject> HandleTake(HANDLE handle, bool (*accept)(KernelObject*)) {
  HandleTable& table = Table();
  {
    std::unique_lock lock(table.mutex);
    auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != table.entries.end() && (!accept || accept(it->second.get()))) {
      std::shared_ptr<KernelObject> object = std::move(it->second);
      table.entries.erase(it);
      return object;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// The opener of the longest registered prefix of name, or nullptr.
DeviceOpener FindDeviceOpener(const char* name) {
  std::string folded = FoldDeviceName(name);
  std::lock_guard lock(g_deviceMutex);
  DeviceOpener best = nullptr;
  std::size_t bestLength = 0;
  for (const DeviceEntry& entry : Devices()) {
    if (entry.prefix.size() > bestLength && folded.compare(0, entry.prefix.size(), entry.prefix) == 0) {
      best = entry.opener;
      bestLength = entry.prefix.size();
    }
  }
  return best;
}

}  // namespace kernel
}  // namespace mvn
