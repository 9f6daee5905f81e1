// The monitor's frame: the export, the monitor table, the port list from
// the registry and the port operations that are not about jobs.
#include <new>

#include "platform/kernel/utf.h"
#include "portmon/nt/mvnmon.h"

#define MVNMON_EXPORT extern "C" __attribute__((visibility("default")))

namespace mvn::portmon {

namespace {

CSTATICOBJECT<CMONITOR> s_monitor;

void ConstructMonitor() {
  s_monitor.Construct();
  AddExitFunction([] { s_monitor.Destroy(); });
}
MVN_STATIC_INIT(ConstructMonitor);

const WCHAR kMonitorName[] = u"MVNMON";
const WCHAR kDescription[] = u"Morvane Port";

// The library starts when the spooler loads the monitor and ends when it
// unloads it; the monitor object is built by the static-constructor table.
__attribute__((constructor)) void ProcessAttach() { CXXHEAP::StartLibrary(s_monitor.Get(), nullptr); }

__attribute__((destructor)) void ProcessDetach() {
  StopLaunchQueue();
  CMONITOR* monitor = s_monitor.IsConstructed() ? s_monitor.Get() : nullptr;
  if (monitor) {
    while (monitor->m_ports) FreePortRecord(monitor->m_ports);
    if (monitor->m_lockReady) DeleteCriticalSection(&monitor->m_lock);
  }
  CXXHEAP::EndLibrary();
}

// Only InitializePrintMonitor takes the lock; every other entry passes
// take = false, so the pair does nothing there.
void EnterMonitorLock(const char* /*trace*/, bool take) {
  CMONITOR* monitor = Monitor();
  if (take) {
    EnterCriticalSection(&monitor->m_lock);
    monitor->m_lockHeld = 1;
  }
}

void LeaveMonitorLock() {
  CMONITOR* monitor = Monitor();
  if (monitor->m_lockHeld) {
    monitor->m_lockHeld = 0;
    LeaveCriticalSection(&monitor->m_lock);
  }
}

struct LockScope {
  LockScope(const char* trace, bool take) { EnterMonitorLock(trace, take); }
  ~LockScope() { LeaveMonitorLock(); }
};

int WideCompare(LPCWSTR a, LPCWSTR b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<int>(*a) - static_cast<int>(*b);
}

void LoadPortList(LPCWSTR root) {
  CMONITOR* monitor = Monitor();
  if (WideLength(root) >= kRootSize) RaiseLibraryError("MVNMON", 101);
  // A repeated call with the same root keeps every record and adds the
  // ports whose keys appeared since (a port made by another process, such
  // as a port dialog run outside the spooler). With another root the list
  // is read afresh, but a record that an open handle points to stays until
  // that handle closes.
  const bool again = monitor->m_initialized && WideCompare(monitor->m_root, root) == 0;
  for (PORTRECORD* port = again ? nullptr : monitor->m_ports; port;) {
    PORTRECORD* next = port->next;
    if (port->open || port->printer)
      port->retired = 1;
    else
      FreePortRecord(port);
    port = next;
  }
  monitor->m_initialized = 1;
  for (DWORD i = 0;; ++i) {
    monitor->m_root[i] = root[i];
    if (!root[i]) break;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, monitor->m_root, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS) return;
  WCHAR name[kPortNameSize];
  // The enumeration ends at the first index that does not succeed: the
  // end, or a subkey whose name does not fit the 8-character buffer.
  for (DWORD index = 0; RegEnumKeyW(key, index, name, kPortNameSize) == ERROR_SUCCESS; ++index) {
    if (!again || !FindPort(name)) AddPortRecord(name);
  }
  RegCloseKey(key);
}

// Stores a wide text at the front of the string area that grows down from
// *end; returns where it went.
LPWSTR PackString(BYTE** end, LPCWSTR text) {
  DWORD bytes = (WideLength(text) + 1) * sizeof(WCHAR);
  *end -= bytes;
  __builtin_memcpy(*end, text, bytes);
  return reinterpret_cast<LPWSTR>(*end);
}

BOOL EnumPorts(LPWSTR, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  LockScope lock("EnumPorts", false);
  if (!pcbNeeded || !pcReturned) {
    SetSpoolerLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *pcbNeeded = 0;
  *pcReturned = 0;
  CMONITOR* monitor = Monitor();
  DWORD needed = 0;
  DWORD count = 0;
  for (PORTRECORD* port = monitor->m_ports; port; port = port->next) {
    if (port->retired) continue;
    DWORD name = WideLength(port->name);
    if (Level == 1) {
      needed += sizeof(PORT_INFO_1W) + sizeof(WCHAR) * (name + 1);
    } else if (Level == 2) {
      needed += sizeof(PORT_INFO_2W) +
                sizeof(WCHAR) * (name + WideLength(kMonitorName) + WideLength(kDescription) + 3);
    }
    ++count;
  }
  if (Level != 1 && Level != 2) {
    SetSpoolerLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  *pcbNeeded = needed;
  if (!pPorts || cbBuf < needed) {
    if (cbBuf < needed) SetSpoolerLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Structures from the front, strings packed from the (even) end.
  BYTE* end = pPorts + (cbBuf & ~1u);
  DWORD i = 0;
  for (PORTRECORD* port = monitor->m_ports; port; port = port->next) {
    if (port->retired) continue;
    if (Level == 1) {
      PORT_INFO_1W info{};
      info.pName = PackString(&end, port->name);
      __builtin_memcpy(pPorts + i * sizeof(PORT_INFO_1W), &info, sizeof info);
    } else {
      PORT_INFO_2W info{};
      info.pPortName = PackString(&end, port->name);
      info.pMonitorName = PackString(&end, kMonitorName);
      info.pDescription = PackString(&end, kDescription);
      info.fPortType = PORT_TYPE_WRITE;
      info.Reserved = 0;
      __builtin_memcpy(pPorts + i * sizeof(PORT_INFO_2W), &info, sizeof info);
    }
    ++i;
  }
  *pcReturned = count;
  return TRUE;
}

BOOL OpenPort(LPWSTR pName, HANDLE* pHandle) {
  LockScope lock("OpenPort", false);
  PORTRECORD* port = pName ? FindPort(pName) : nullptr;
  if (pHandle) *pHandle = port;
  if (!port || !pHandle) return FALSE;
  port->open = 1;
  return TRUE;
}

BOOL ClosePort(HANDLE hPort) {
  LockScope lock("ClosePort", false);
  auto* port = static_cast<PORTRECORD*>(hPort);
  if (!port || !IsPortRecord(port) || !port->open) return FALSE;
  port->open = 0;
  if (port->retired && !port->printer) FreePortRecord(port);
  return TRUE;
}

BOOL ReadPort(HANDLE, LPBYTE, DWORD, LPDWORD) {
  LockScope lock("ReadPort", false);
  return FALSE;
}

// Both dialogs are modal on the owner the spooler passes; this platform
// has no per-thread input queues to attach. Both entries succeed whatever
// the dialog's outcome; a name the monitor does not know gets no dialog.
BOOL AddPort(LPWSTR, HWND hWnd, LPWSTR) {
  LockScope lock("AddPort", false);
  ShowNewPortDialog(hWnd);
  return TRUE;
}

BOOL ConfigurePort(LPWSTR, HWND hWnd, LPWSTR pPortName) {
  LockScope lock("ConfigurePort", false);
  if (pPortName && FindPort(pPortName)) ShowConfigurePortDialog(hWnd, pPortName);
  return TRUE;
}

bool DeletePortValues(LPCWSTR, void*, HKEY key) {
  RegDeleteValueW(key, u"MailSlot");
  RegDeleteValueW(key, u"OutputDirectory");
  RegDeleteValueW(key, u"ExternalApplication");
  RegDeleteValueW(key, u"Launch");
  return true;
}

bool DeletePortKey(LPCWSTR portName, void* context, HKEY root) {
  *static_cast<bool*>(context) = RegDeleteKeyW(root, portName) == ERROR_SUCCESS;
  return true;
}

BOOL DeletePort(LPWSTR, HWND, LPWSTR pPortName) {
  LockScope lock("DeletePort", false);
  PORTRECORD* port = pPortName ? FindPort(pPortName) : nullptr;
  if (!port || port->open) return FALSE;
  bool deleted = false;
  CreatePortKey(pPortName, &deleted, &DeletePortValues, &DeletePortKey);
  // The record goes only with its key: a port whose key stays would come
  // back at the next load.
  if (!deleted) return FALSE;
  RemovePortRecord(pPortName);
  return TRUE;
}

MONITOREX s_table = {
    sizeof(MONITOR),
    {
        &EnumPorts,
        &OpenPort,
        nullptr,  // OpenPortEx
        &WINAPI_StartDocPort,
        &WINAPI_WritePort,
        &ReadPort,
        &WINAPI_EndDocPort,
        &ClosePort,
        &AddPort,
        nullptr,  // AddPortEx
        &ConfigurePort,
        &DeletePort,
        nullptr,  // GetPrinterDataFromPort
        nullptr,  // SetPortTimeOuts
    },
};

bool QueryText(HKEY key, LPCWSTR name, char* out, DWORD size, bool* present) {
  WCHAR value[kSettingSize];
  DWORD type = 0;
  DWORD bytes = sizeof value;
  *present = false;
  LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(value), &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return false;
  *present = true;
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  value[kSettingSize - 1] = 0;
  // A value that does not fit its field after conversion is unreadable;
  // it is never cut into a different name.
  char converted[kSettingSize * 3];
  if (!WideToText(value, converted, sizeof converted) || __builtin_strlen(converted) >= size) return false;
  __builtin_memcpy(out, converted, __builtin_strlen(converted) + 1);
  return true;
}

}  // namespace

CMONITOR* Monitor() { return s_monitor.Get(); }

DWORD WideLength(LPCWSTR text) {
  DWORD n = 0;
  if (text)
    while (text[n]) ++n;
  return n;
}

bool WideToText(LPCWSTR text, char* out, DWORD size) { return mvn::kernel::Utf16ToUtf8(text, out, size); }

PORTRECORD* FindPort(LPCWSTR name) {
  for (PORTRECORD* port = Monitor()->m_ports; port; port = port->next) {
    if (!port->retired && WideCompare(port->name, name) == 0) return port;
  }
  return nullptr;
}

bool IsPortRecord(const PORTRECORD* record) {
  for (PORTRECORD* port = Monitor()->m_ports; port; port = port->next) {
    if (port == record) return true;
  }
  return false;
}

PORTRECORD* AddPortRecord(LPCWSTR name) {
  DWORD length = WideLength(name);
  if (length >= kPortNameSize) RaiseLibraryError("MVNMON", 201);
  void* block = g_pXXHeap->AllocZero(sizeof(PORTRECORD), nullptr);
  PORTRECORD* port = new (block) PORTRECORD();
  for (DWORD i = 0; i <= length; ++i) port->name[i] = name[i];
  PORTRECORD** link = &Monitor()->m_ports;
  while (*link) link = &(*link)->next;
  *link = port;
  return port;
}

void FreePortRecord(PORTRECORD* record) {
  for (PORTRECORD** link = &Monitor()->m_ports; *link; link = &(*link)->next) {
    PORTRECORD* port = *link;
    if (port != record) continue;
    *link = port->next;
    if (port->pending) g_pXXHeap->Free(port->pending);
    port->~PORTRECORD();
    g_pXXHeap->Free(port);
    return;
  }
}

void RemovePortRecord(LPCWSTR name) {
  for (PORTRECORD* port = Monitor()->m_ports; port; port = port->next) {
    if (!port->retired && WideCompare(port->name, name) == 0) {
      FreePortRecord(port);
      return;
    }
  }
}

bool OpenPortKey(LPCWSTR portName, void* context, PORTKEYVISITOR visitor) {
  HKEY root = nullptr;
  HKEY key = nullptr;
  bool opened = false;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Monitor()->m_root, 0, KEY_READ, &root) == ERROR_SUCCESS) {
    if (RegOpenKeyExW(root, portName, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      visitor(portName, context, key);
      opened = true;
      RegCloseKey(key);
    }
    RegCloseKey(root);
  }
  return opened;
}

bool CreatePortKey(LPCWSTR portName, void* context, PORTKEYVISITOR keyVisitor, PORTKEYVISITOR rootVisitor) {
  HKEY root = nullptr;
  HKEY key = nullptr;
  bool opened = false;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Monitor()->m_root, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &root, nullptr) == ERROR_SUCCESS) {
    if (RegCreateKeyExW(root, portName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
      opened = true;
      if (keyVisitor) keyVisitor(portName, context, key);
      RegCloseKey(key);
    }
    if (rootVisitor) rootVisitor(portName, context, root);
    RegCloseKey(root);
  }
  return opened;
}

bool ReadPortConfig(LPCWSTR, void* context, HKEY key) {
  auto* port = static_cast<PORTRECORD*>(context);
  port->mailSlot[0] = '\0';
  port->settings = LAUNCHSETTINGS{};
  port->header = 0;
  port->readOnce = 0;
  port->launch = LAUNCH_NONE;
  bool present = false;
  QueryText(key, u"MailSlot", port->mailSlot, kMailSlotSize, &present);
  QueryText(key, u"OutputDirectory", port->settings.outputDirectory, kSettingSize, &present);
  QueryText(key, u"StartupDirectory", port->settings.startupDirectory, kSettingSize, &present);
  QueryText(key, u"ExternalApplication", port->settings.externalApplication, kSettingSize, &present);
  char flag[kSettingSize];
  if (QueryText(key, u"AddUserID", flag, sizeof flag, &present)) port->header = StrCmp(flag, "1", 0) == 0;
  if (port->settings.externalApplication[0]) {
    bool readable = QueryText(key, u"Launch", flag, sizeof flag, &present);
    if (present) port->launch = readable && StrCmp(flag, "1", 0) == 0 ? LAUNCH_AT_START : LAUNCH_AFTER_PRINTING;
  }
  if (QueryText(key, u"ReadOnce", flag, sizeof flag, &present)) port->readOnce = StrCmp(flag, "1", 0) == 0;
  return true;
}

bool QueryPortText(HKEY key, LPCWSTR name, char* out, DWORD size) {
  bool present = false;
  out[0] = '\0';
  return QueryText(key, name, out, size, &present);
}

const char* MonitorString(UINT id) {
  switch (id) {
    case IDS_ERROR_CAPTION:
      return "Error";
    case IDS_UNABLE_TO_ACCESS:
      return "Unable to access [%1]";
    case IDS_INVALID_FIELD:
      return "Invalid Field";
    case IDS_NO_LAUNCHER:
      return "Morvane Print Monitor unable to run Morvane Front End application.\n"
             "Make sure your Startup Group has the Morvane Front End Launcher,\n"
             "if NOT then copy it from the Morvane Client Group to the Startup\n"
             "Group and execute it.\n";
    default:
      return "";
  }
}

}  // namespace mvn::portmon

MVNMON_EXPORT LPMONITOREX InitializePrintMonitor(LPWSTR pRegistryRoot) {
  using namespace mvn::portmon;
  CMONITOR* monitor = Monitor();
  if (!monitor->m_lockReady) {
    InitializeCriticalSection(&monitor->m_lock);
    monitor->m_lockReady = 1;
  }
  LockScope lock("InitializePrintMonitor", true);
  LoadPortList(pRegistryRoot ? pRegistryRoot : u"");
  return &s_table;
}
