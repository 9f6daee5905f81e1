// The spooler's installation side and the service control manager, as an
// installer sees them, over the substitute machine's registry; and the
// platform the machine's root is set up as (GetVersionExA).
//
// Our own declarations. Texts are ANSI (UTF-8). Registry keys below
// HKEY_LOCAL_MACHINE, those of a Windows spooler:
//   ...\Control\Print\Monitors\<monitor>              Driver (the monitor's file, a full path)
//   ...\Control\Print\Environments\<env>\Drivers\<driver>
//        Version (REG_DWORD), Driver, Data File, Configuration File
//   ...\Control\Print\Printers\<printer>
//        Port, Printer Driver, Print Processor, Datatype, Share Name, Attributes (REG_DWORD)
//   SYSTEM\CurrentControlSet\Services\Spooler          ImagePath (the service's program)
//   SYSTEM\CurrentControlSet\Control\Platform          Version (the root's platform, see below)
#pragma once

#include <string>

#include "platform/kernel/win32.h"
#include "platform/spooler/winspool95.h"

// ---------------------------------------------------------------------------
// The platform
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// The platform the root is set up as, from the REG_SZ value "Version" of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Platform: "NT 4.0"
// (also when the value is missing), "NT 3.51", "95", "Win32s", "other" (a
// platform of a kind nobody knows, id 3). Any other text makes
// GetVersionExA fail with ERROR_INVALID_DATA. dwOSVersionInfoSize must be
// at least sizeof(OSVERSIONINFOA) (else ERROR_INSUFFICIENT_BUFFER).
BOOL GetVersionExA(OSVERSIONINFOA* info);

namespace mvn::spooler {

inline constexpr const char* kPlatformKey = "SYSTEM\\CurrentControlSet\\Control\\Platform";
inline constexpr const char* kPlatformValue = "Version";
enum class Platform { WindowsNT40, WindowsNT351, Windows95, Win32s, Other, Unknown };
Platform CurrentPlatform();

// The environment names of the two spoolers.
inline constexpr const char* kEnvironmentNT = "Windows NT x86";
inline constexpr const char* kEnvironment95 = "Windows 4.0";
// The environment of the root's spooler.
const char* CurrentEnvironment();

// One rule for printer names, in the spooler and the installer: 1 to 220
// bytes of valid UTF-8, no control characters, no "\", "," or "!".
bool ValidPrinterName(const std::string& name);

// Asks the running service (if any) to load the monitors it does not have
// yet and read every monitor's ports again. False when no service answered
// or it refused; *reply gets its answer or the reason.
bool AskServiceToReload(std::string* reply);

// The "Driver" value of a monitor's key: the file to load; empty when the
// monitor is not installed.
std::string MonitorFile(const std::string& monitorName);

}  // namespace mvn::spooler

// ---------------------------------------------------------------------------
// Installation side of the spooler
struct MONITOR_INFO_1A {
  LPSTR pName;
};
struct MONITOR_INFO_2A {
  LPSTR pName;
  LPSTR pEnvironment;
  LPSTR pDLLName;
};
struct DRIVER_INFO_1A {
  LPSTR pName;
};
struct DRIVER_INFO_2A {
  DWORD cVersion;
  LPSTR pName;
  LPSTR pEnvironment;
  LPSTR pDriverPath;
  LPSTR pDataFile;
  LPSTR pConfigFile;
};
struct PRINTER_INFO_2A {
  LPSTR pServerName;
  LPSTR pPrinterName;
  LPSTR pShareName;
  LPSTR pPortName;
  LPSTR pDriverName;
  LPSTR pComment;
  LPSTR pLocation;
  void* pDevMode;
  LPSTR pSepFile;
  LPSTR pPrintProcessor;
  LPSTR pDatatype;
  LPSTR pParameters;
  void* pSecurityDescriptor;
  DWORD Attributes;
  DWORD Priority;
  DWORD DefaultPriority;
  DWORD StartTime;
  DWORD UntilTime;
  DWORD Status;
  DWORD cJobs;
  DWORD AveragePPM;
};

constexpr DWORD PRINTER_ENUM_LOCAL = 0x00000002;
constexpr DWORD PRINTER_ATTRIBUTE_SHARED = 0x00000008;

constexpr DWORD ERROR_INVALID_SHARENAME = 1215;
constexpr DWORD ERROR_PRINTER_DRIVER_ALREADY_INSTALLED = 1795;
constexpr DWORD ERROR_UNKNOWN_PORT = 1796;
constexpr DWORD ERROR_UNKNOWN_PRINTER_DRIVER = 1797;
constexpr DWORD ERROR_UNKNOWN_PRINTPROCESSOR = 1798;
constexpr DWORD ERROR_INVALID_PRINTER_NAME = 1801;
constexpr DWORD ERROR_PRINTER_ALREADY_EXISTS = 1802;
constexpr DWORD ERROR_INVALID_ENVIRONMENT = 1805;
constexpr DWORD ERROR_UNKNOWN_PRINT_MONITOR = 3000;
constexpr DWORD ERROR_PRINT_MONITOR_ALREADY_INSTALLED = 3006;
constexpr DWORD ERROR_INVALID_PRINT_MONITOR = 3007;

// Level 2. The DLL is a file name in the system directory (".dll" stands
// for our ".so"); its full path becomes the monitor's "Driver". The
// monitor is loaded here to check it, then the running service is asked to
// load it. The environment must be the root's.
BOOL AddMonitorA(LPSTR pName, DWORD Level, LPBYTE pMonitors);
// Level 2, version 1. The three files must exist in the driver directory
// of the driver's environment.
BOOL AddPrinterDriverA(LPSTR pName, DWORD Level, LPBYTE pDriverInfo);
// Level 2. Refuses a bad printer name (ERROR_INVALID_PRINTER_NAME), an
// existing printer (ERROR_PRINTER_ALREADY_EXISTS), a driver unknown in the
// root's environment (ERROR_UNKNOWN_PRINTER_DRIVER), a port no monitor
// lists (ERROR_UNKNOWN_PORT), a print processor other than "winprint", a
// shared printer without a share name.
HANDLE AddPrinterA(LPSTR pName, DWORD Level, LPBYTE pPrinter);
// Closes a handle of AddPrinterA.
BOOL ClosePrinter(HANDLE hPrinter);
// Levels 1 and 2.
BOOL EnumMonitorsA(LPSTR pName, DWORD Level, LPBYTE pMonitors, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
// Levels 1 and 2; a null environment is the root's.
BOOL EnumPrinterDriversA(LPSTR pName, LPSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                         LPDWORD pcbNeeded, LPDWORD pcReturned);
// PRINTER_ENUM_LOCAL, level 2.
BOOL EnumPrintersA(DWORD Flags, LPSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned);
// Levels 1 and 2 (PORT_INFO_1A/2A): the ports each installed monitor lists
// itself, loaded in this process the way the root's spooler loads it.
BOOL EnumPortsA(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
// Level 1: the driver directory of the environment (null: the root's),
// "<system directory>/spool/drivers/w32x86" or ".../win40", made on demand.
BOOL GetPrinterDriverDirectoryA(LPSTR pName, LPSTR pEnvironment, DWORD Level, LPBYTE pDriverDirectory, DWORD cbBuf,
                                LPDWORD pcbNeeded);

// ---------------------------------------------------------------------------
// Service control manager: the one service "Spooler" is mvnspoold on the
// root (its pid file and ready marker below <root>/spool). There is no
// service control manager in the 95 mode: OpenSCManagerA fails there with
// ERROR_CALL_NOT_IMPLEMENTED.
using SC_HANDLE = void*;
struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
// Stopped (no live mvnspoold behind the pid file), start pending (started,
// not yet ready), running (ready marker of the same process), stop pending
// (stopped through this handle and still alive).
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
// SERVICE_CONTROL_STOP (SIGTERM) and SERVICE_CONTROL_INTERROGATE; both fail
// with ERROR_SERVICE_NOT_ACTIVE when the service is stopped.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
// Starts the service's program (ImagePath, else mvnspoold beside the
// calling program) detached: its own session, standard input and output
// on /dev/null, standard error appended to <root>/spool/mvnspoold.log, so
// a caller's pipe is never held open by it.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);
BOOL CloseServiceHandle(SC_HANDLE handle);
