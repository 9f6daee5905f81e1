// mvnmon95: the monitor's table, its ports, and the job path (spool file,
// spool header, launches of the external application and the render
// engine's signal).
#include "portmon/win95/mvnmon95.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"

namespace mvn::portmon95 {

namespace {

constexpr DWORD CREATE_SEPARATE_WOW_VDM = 0x00000800;  // accepted and ignored here
constexpr UINT kBoxStyle = MB_SETFOREGROUND | MB_TASKMODAL | MB_ICONERROR;
constexpr UINT kSpoolNumbers = 0xFFFF;

// Constant-initialised: no global constructor runs before the entry.
PORT95 g_ports[kPortCount] = {
    {0, "MVN1", "", 0, nullptr, 0, 0, 0, ""},
    {0, "MVN2", "", 0, nullptr, 0, 0, 0, ""},
    {0, "MVN3", "", 0, nullptr, 0, 0, 0, ""},
    {0, "MVN4", "", 0, nullptr, 0, 0, 0, ""},
    {1, "MVNRND", "", 0, nullptr, 0, 0, 0, ""},
};
char g_root[kRootLimit + 1];
HINSTANCE g_instance = nullptr;
CRITICAL_SECTION g_lock;
bool g_lockReady = false;

bool IsBlank(BYTE c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

BYTE Fold(BYTE c) { return c >= 'a' && c <= 'z' ? static_cast<BYTE>(c - 'a' + 'A') : c; }

PORT95* PortOfHandle(HANDLE handle) {
  auto index = reinterpret_cast<uintptr_t>(handle);
  // Handles are the index plus one, so no port's handle is null.
  if (index < 1 || index > kPortCount) return nullptr;
  return &g_ports[index - 1];
}

// Writes the whole block; false when the file took less.
bool WriteAll(HANDLE file, const void* data, DWORD length) {
  const BYTE* at = static_cast<const BYTE*>(data);
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(file, at, length, &written, nullptr) || written == 0) return false;
    at += written;
    length -= written;
  }
  return true;
}

bool FileFormatWrite(HANDLE file, const char* format, ...) {
  char text[1025];
  va_list arguments;
  va_start(arguments, format);
  int length = wvsprintfA(text, format, arguments);
  va_end(arguments);
  return length >= 0 && WriteAll(file, text, static_cast<DWORD>(length));
}

void GetJobDetails(PORT95* port) {
  DWORD size = sizeof port->user;
  port->user[0] = '\0';
  if (!GetUserNameA(port->user, &size)) port->user[0] = '\0';
}

bool AppendPath(std::string* command, const char* text) {
  command->append(" ");
  command->append(text);
  return command->size() <= kCommandLineLimit;
}

// Starts the port's external application on the spool file. When it
// cannot be started the person is told, and the file, which nobody will
// open, is deleted at the end of the job.
void LaunchExternalApplication(PORT95* port) {
  char application[MAX_PATH + 1];
  char output[MAX_PATH + 1];
  char startup[MAX_PATH + 1];
  GetRegString(port->name, "ExternalApplication", application, sizeof application);
  GetRegString(port->name, "OutputDirectory", output, sizeof output);
  GetRegString(port->name, "StartupDirectory", startup, sizeof startup);
  std::string command = application;
  bool fits = AppendPath(&command, port->path) && (!output[0] || AppendPath(&command, output));
  STARTUPINFOA startupInfo{};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION process{};
  if (fits && application[0] &&
      CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SEPARATE_WOW_VDM, nullptr,
                     startup[0] ? startup : nullptr, &startupInfo, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return;
  }
  char text[1024];
  snprintf(text, sizeof text,
           "Unable to access the external application %s\nas specified in the \"Printer Properties / Details / "
           "Port Settings\" option.\nPlease check that the resource is available.",
           application);
  ShowError("Printing Error", text);
  port->flags |= kDeleteAtEnd;
}

// Announces the spool file to the render engine. When it cannot be reached
// the person is told, and the file is deleted at the end of the job.
void SignalRenderEngine(PORT95* port) {
  HANDLE slot =
      CreateFileA(kRenderMailslot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool sent = false;
  if (slot != INVALID_HANDLE_VALUE) {
    DWORD length = static_cast<DWORD>(std::strlen(port->path)) + 1;
    DWORD written = 0;
    sent = WriteFile(slot, port->path, length, &written, nullptr) && written == length;
    CloseHandle(slot);
  }
  if (!sent) {
    ShowError("Printing Error", "Morvane Print Monitor unable to contact rendering engine.\n");
    port->flags |= kDeleteAtEnd;
  }
}

// The spool header in front of the job's first buffer: after a marker
// line that ends within the buffer, the user line; else the three lines.
// The length of the buffer's first part already written goes to *first.
bool WriteHeader(PORT95* port, const BYTE* buffer, DWORD length, DWORD* first) {
  *first = FindMorvaneHeader(buffer, length);
  if (*first) return WriteAll(port->file, buffer, *first) && FileFormatWrite(port->file, "USER ID=%s\r\n", port->user);
  return FileFormatWrite(port->file, "!MORVANE - %s on %s\r\n", kMonitorName, port->name) &&
         FileFormatWrite(port->file, "USER ID=%s\r\n", port->user) && FileFormatWrite(port->file, "!END\r\n");
}

bool CreateSpoolFile(PORT95* port, const char* folder) {
  char where[MAX_PATH];
  if (folder && folder[0]) {
    if (std::strlen(folder) + 1 > sizeof where) return false;
    std::strcpy(where, folder);
  } else {
    DWORD n = GetTempPathA(sizeof where, where);
    if (n == 0 || n >= sizeof where) return false;
  }
  // A new name, created exclusively: the file written is the one just made,
  // never a link or a file that was there.
  UINT start = static_cast<UINT>(GetTickCount() ^ GetCurrentProcessId() ^ port->jobId);
  for (UINT attempt = 0; attempt < kSpoolNumbers; ++attempt) {
    UINT number = (start + attempt) % kSpoolNumbers + 1;
    if (GetTempFileNameA(where, kSpoolPrefix, number, port->path) == 0) return false;
    port->file = CreateFileA(port->path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port->file != INVALID_HANDLE_VALUE) return true;
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  port->file = nullptr;
  port->path[0] = '\0';
  return false;
}

// Packs a string at the end of the free space; returns where it went.
LPSTR CopyInfoString(LPBYTE* end, const char* text) {
  DWORD length = static_cast<DWORD>(std::strlen(text)) + 1;
  *end -= length;
  std::memcpy(*end, text, length);
  return reinterpret_cast<LPSTR>(*end);
}

DWORD SizePortInfo1(const PORT95& port) { return sizeof(PORT_INFO_1A) + static_cast<DWORD>(std::strlen(port.name)) + 1; }

DWORD SizePortInfo2(const PORT95& port) {
  return sizeof(PORT_INFO_2A) +
         static_cast<DWORD>(std::strlen(port.name) + 1 + sizeof kMonitorName + sizeof kPortDescription);
}

HKEY OpenPortKey(const char* port, REGSAM access, bool create) {
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, g_root, 0, create ? KEY_WRITE : access, &root) != ERROR_SUCCESS) return nullptr;
  HKEY key = nullptr;
  LONG result = create ? RegCreateKeyExA(root, port, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
                       : RegOpenKeyExA(root, port, 0, access, &key);
  RegCloseKey(root);
  return result == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

void SetInstance(HINSTANCE instance) { g_instance = instance; }

PORT95* Port(int index) { return index >= 0 && index < kPortCount ? &g_ports[index] : nullptr; }
const char* RegistryRoot() { return g_root; }
HINSTANCE Instance() { return g_instance ? g_instance : reinterpret_cast<HINSTANCE>(&g_ports); }

void Lock() {
  if (g_lockReady) EnterCriticalSection(&g_lock);
}
void Unlock() {
  if (g_lockReady) LeaveCriticalSection(&g_lock);
}

int GetPortIndex(const char* name) {
  if (!name) return -1;
  for (int i = 0; i < kPortCount; ++i)
    if (std::strcmp(g_ports[i].name, name) == 0) return i;
  return -1;
}

DWORD FindMorvaneHeader(const BYTE* buffer, DWORD length) {
  DWORD at = 0;
  while (at < length && IsBlank(buffer[at])) ++at;
  static const char kMarker[] = "!MORVANE";
  if (length - at < 8) return 0;
  for (DWORD k = 0; k < 8; ++k)
    if (Fold(buffer[at + k]) != static_cast<BYTE>(kMarker[k])) return 0;
  const void* lf = std::memchr(buffer + at, '\n', length - at);
  return lf ? static_cast<DWORD>(static_cast<const BYTE*>(lf) - buffer) + 1 : 0;
}

bool GetRegString(const char* port, const char* value, char* buffer, DWORD size) {
  if (size) buffer[0] = '\0';
  HKEY key = OpenPortKey(port, KEY_READ, false);
  if (!key) return false;
  DWORD type = 0;
  DWORD length = size;
  LONG result = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &length);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    if (size) buffer[0] = '\0';
    return false;
  }
  if (size) buffer[length < size ? length : size - 1] = '\0';
  return true;
}

bool SetRegString(const char* port, const char* value, const char* text) {
  HKEY key = OpenPortKey(port, KEY_WRITE, true);
  if (!key) return false;
  LONG result = RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                               static_cast<DWORD>(std::strlen(text)) + 1);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool DeleteRegValue(const char* port, const char* value) {
  HKEY key = OpenPortKey(port, KEY_WRITE, true);
  if (!key) return false;
  LONG result = RegDeleteValueA(key, value);
  RegCloseKey(key);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

void ShowError(const char* caption, const char* text) { MessageBoxA(nullptr, text, caption, kBoxStyle); }

BOOL mvnmon_EnumPorts(LPSTR, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  LockScope lock;
  if (!pcbNeeded || !pcReturned) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *pcbNeeded = 0;
  *pcReturned = 0;
  if (Level != 1 && Level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  DWORD needed = 0;
  for (const PORT95& port : g_ports) needed += Level == 1 ? SizePortInfo1(port) : SizePortInfo2(port);
  *pcbNeeded = needed;
  if (!pPorts || cbBuf < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  LPBYTE end = pPorts + cbBuf;
  for (int i = 0; i < kPortCount; ++i) {
    if (Level == 1) {
      PORT_INFO_1A info{};
      info.pName = CopyInfoString(&end, g_ports[i].name);
      std::memcpy(pPorts + i * sizeof info, &info, sizeof info);
    } else {
      PORT_INFO_2A info{};
      info.pPortName = CopyInfoString(&end, g_ports[i].name);
      info.pMonitorName = CopyInfoString(&end, kMonitorName);
      info.pDescription = CopyInfoString(&end, kPortDescription);
      info.fPortType = 1;
      info.Reserved = 0;
      std::memcpy(pPorts + i * sizeof info, &info, sizeof info);
    }
  }
  *pcReturned = kPortCount;
  return TRUE;
}

BOOL mvnmon_OpenPort(LPSTR pName, HANDLE* pHandle) {
  // A name that is not one of the five is refused, never taken for MVN1.
  int index = GetPortIndex(pName);
  if (index < 0 || !pHandle) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  LockScope lock;
  if (g_ports[index].open) {
    SetLastError(ERROR_BUSY);
    return FALSE;
  }
  g_ports[index].open = 1;
  *pHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(index + 1));
  return TRUE;
}

BOOL mvnmon_ClosePort(HANDLE hPort) {
  LockScope lock;
  PORT95* port = PortOfHandle(hPort);
  if (!port || !port->open) return FALSE;
  port->open = 0;
  return TRUE;
}

BOOL mvnmon_StartDocPort(HANDLE hPort, LPSTR, DWORD JobId, DWORD, LPBYTE) {
  LockScope lock;
  PORT95* port = PortOfHandle(hPort);
  if (!port || !port->open || port->file) return FALSE;
  port->flags = 0;
  port->launchMode = 0;
  port->jobId = JobId;
  GetJobDetails(port);

  char folder[MAX_PATH + 1] = "";
  bool haveFolder = false;
  if (port->kind == 0) {
    char value[MAX_PATH + 1];
    if (GetRegString(port->name, "ExternalApplication", value, sizeof value)) {
      port->flags |= kNoHeader;
      char launch[16];
      if (GetRegString(port->name, "Launch", launch, sizeof launch)) port->launchMode = launch[0] - '0';
    }
    if (port->launchMode == 0) haveFolder = GetRegString(port->name, "OutputDirectory", folder, sizeof folder);
  } else {
    port->flags |= kNoHeader;
  }
  if (!CreateSpoolFile(port, haveFolder ? folder : nullptr)) return FALSE;
  if (port->launchMode == 1) LaunchExternalApplication(port);
  return TRUE;
}

BOOL mvnmon_WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
  LockScope lock;
  PORT95* port = PortOfHandle(hPort);
  if (!pcbWritten) return FALSE;
  *pcbWritten = 0;
  if (!port || !port->file || (cbBuf && !pBuffer)) return FALSE;
  DWORD first = 0;
  if (!(port->flags & kNoHeader)) {
    // Decided from this first buffer alone, as the spooler cut it.
    port->flags |= kNoHeader;
    if (!WriteHeader(port, pBuffer, cbBuf, &first)) return FALSE;
    *pcbWritten = first;
  }
  if (!WriteAll(port->file, pBuffer + first, cbBuf - first)) return FALSE;
  *pcbWritten = cbBuf;
  return TRUE;
}

BOOL mvnmon_EndDocPort(HANDLE hPort) {
  LockScope lock;
  PORT95* port = PortOfHandle(hPort);
  if (!port || !port->file) return FALSE;
  bool ok = CloseHandle(port->file) != FALSE;
  port->file = nullptr;
  if (port->kind == 1) SignalRenderEngine(port);
  if (port->launchMode == 2 && ok) LaunchExternalApplication(port);
  if (port->flags & kDeleteAtEnd) {
    // Nobody takes this file: it goes, and the job is not a success, so the
    // spooler's caller learns as well as the box that the job went nowhere.
    DeleteFileA(port->path);
    ok = false;
  }
  if (!ok) SetLastError(ERROR_FILE_NOT_FOUND);
  return ok ? TRUE : FALSE;
}

BOOL mvnmon_ReadPort(HANDLE, LPBYTE, DWORD, LPDWORD) { return FALSE; }
BOOL mvnmon_AddPort(LPSTR, HWND, LPSTR) { return FALSE; }
BOOL mvnmon_DeletePort(LPSTR, HWND, LPSTR) { return FALSE; }
BOOL mvnmon_GetPrinterDataFromPort(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD) { return FALSE; }
BOOL mvnmon_SetPortTimeOuts(HANDLE, void*, DWORD) { return FALSE; }

BOOL mvnmon_ConfigurePort(LPSTR, HWND hWnd, LPSTR pPortName) {
  int index = GetPortIndex(pPortName);
  if (index < 0) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  // The lock stays held while the dialog is open.
  LockScope lock;
  if (g_ports[index].kind == 1)
    ErrorMessage(hWnd, "Nothing to Configure !");
  else
    ShowConfigurePort(hWnd, index);
  return TRUE;
}

BOOL InitializeTable(LPSTR pRegistryRoot, MONITOR95* pMonitor) {
  // One lock for the life of the monitor: a second call keeps it.
  if (!g_lockReady) {
    InitializeCriticalSection(&g_lock);
    g_lockReady = true;
  }
  LockScope lock;
  if (!pRegistryRoot || !pMonitor || std::strlen(pRegistryRoot) > kRootLimit) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pMonitor->pfnEnumPorts = &mvnmon_EnumPorts;
  pMonitor->pfnOpenPort = &mvnmon_OpenPort;
  pMonitor->pfnOpenPortEx = nullptr;
  pMonitor->pfnStartDocPort = &mvnmon_StartDocPort;
  pMonitor->pfnWritePort = &mvnmon_WritePort;
  pMonitor->pfnReadPort = &mvnmon_ReadPort;
  pMonitor->pfnEndDocPort = &mvnmon_EndDocPort;
  pMonitor->pfnClosePort = &mvnmon_ClosePort;
  pMonitor->pfnAddPort = &mvnmon_AddPort;
  pMonitor->pfnConfigurePort = &mvnmon_ConfigurePort;
  pMonitor->pfnDeletePort = &mvnmon_DeletePort;
  pMonitor->pfnGetPrinterDataFromPort = &mvnmon_GetPrinterDataFromPort;
  pMonitor->pfnSetPortTimeOuts = &mvnmon_SetPortTimeOuts;
  std::strcpy(g_root, pRegistryRoot);
  return TRUE;
}

}  // namespace mvn::portmon95
