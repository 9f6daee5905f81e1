// mvnmon95: the port monitor of the single-user spooler. Five fixed ports
// (four application ports, one render port); every entry runs under one
// recursive lock, which the Configure Port dialog holds while it is open.
// Plain functions and ANSI texts throughout.
#pragma once

#include "platform/kernel/win32.h"
#include "platform/spooler/winspool95.h"

namespace mvn::portmon95 {

inline constexpr int kPortCount = 5;
inline constexpr int kRenderPort = 4;
inline constexpr char kMonitorName[] = "MVNMON95";
inline constexpr char kPortDescription[] = "Morvane Port";
inline constexpr char kSpoolPrefix[] = "MVN";
inline constexpr char kRenderMailslot[] = "\\\\.\\mailslot\\mvnRender";
inline constexpr DWORD kRootLimit = 255;        // characters of the registry root
inline constexpr DWORD kCommandLineLimit = 32767;

// Flag bits of a port record. The spool header is decided from the job's
// first buffer and written with it. A job whose file reached neither its
// application nor the render engine has its file deleted at its end (the
// person was told in a box), and the job does not end as a success.
inline constexpr int kNoHeader = 1;      // no header to write, or written already
inline constexpr int kDeleteAtEnd = 2;  // delete the spool file at the end of the job

struct PORT95 {
  int kind;  // 0 application port, 1 render port
  char name[8];
  char user[32];
  int open;
  HANDLE file;
  int launchMode;  // 0 none, 1 at the start, 2 at the end of the job
  DWORD jobId;
  int flags;
  char path[MAX_PATH];
};

// What the two exports do: keep the instance handle; fill the table and
// keep the registry root (at most kRootLimit characters). The first call
// creates the lock, later calls keep it.
void SetInstance(HINSTANCE instance);
BOOL InitializeTable(LPSTR pRegistryRoot, MONITOR95* pMonitor);

// The port table and the monitor-wide state (for tests).
PORT95* Port(int index);
int GetPortIndex(const char* name);  // -1 for a name not in the table
// The length of a marker line "!MORVANE..." up to and including its LF,
// after leading blanks and line ends, within the first length bytes; 0 when
// there is no such line there (also when its LF lies beyond them).
DWORD FindMorvaneHeader(const BYTE* buffer, DWORD length);
const char* RegistryRoot();

// Registry values of a port below the root.
bool GetRegString(const char* port, const char* value, char* buffer, DWORD size);
bool SetRegString(const char* port, const char* value, const char* text);
bool DeleteRegValue(const char* port, const char* value);

// Shows a message box that never waits for a person when no display is
// used (the kernel's boxes go to standard error and the box log).
void ShowError(const char* caption, const char* text);

// The dialog (dialog.cpp).
intptr_t ShowConfigurePort(HWND owner, int index);
void ErrorMessage(HWND owner, const char* format, ...);
HINSTANCE Instance();

// The thirteen entries.
BOOL mvnmon_EnumPorts(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
BOOL mvnmon_OpenPort(LPSTR pName, HANDLE* pHandle);
BOOL mvnmon_StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
BOOL mvnmon_WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL mvnmon_ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL mvnmon_EndDocPort(HANDLE hPort);
BOOL mvnmon_ClosePort(HANDLE hPort);
BOOL mvnmon_AddPort(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
BOOL mvnmon_ConfigurePort(LPSTR pName, HWND hWnd, LPSTR pPortName);
BOOL mvnmon_DeletePort(LPSTR pName, HWND hWnd, LPSTR pPortName);
BOOL mvnmon_GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned);
BOOL mvnmon_SetPortTimeOuts(HANDLE hPort, void* lpCTO, DWORD reserved);

// The monitor's one lock (recursive).
void Lock();
void Unlock();
struct LockScope {
  LockScope() { Lock(); }
  ~LockScope() { Unlock(); }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;
};

}  // namespace mvn::portmon95
