// The print spooler's interface as a port monitor sees it: the monitor
// table a monitor hands to the spooler, the port and job information
// structures, and the spooler calls a monitor makes back (OpenPrinterW,
// GetJobW, SetJobA, ClosePrinter).
//
// Our own declarations. Wide text is char16_t. Sizes that callers account
// buffers with are sizeof of these structures.
//
// A monitor links mvn_winspool for the calls back. They reach the spooler
// host of the process the monitor is loaded into (platform/spooler/host.h),
// which publishes its services under the dynamic symbol
// "mvn_spooler_services"; in a process without a host they fail with
// ERROR_INVALID_FUNCTION.
#pragma once

#include "platform/kernel/win32.h"

// ---------------------------------------------------------------------------
// Port information (EnumPorts levels 1 and 2)
struct PORT_INFO_1W {
  LPWSTR pName;
};
struct PORT_INFO_2W {
  LPWSTR pPortName;
  LPWSTR pMonitorName;
  LPWSTR pDescription;
  DWORD fPortType;
  DWORD Reserved;
};
constexpr DWORD PORT_TYPE_WRITE = 0x0001;
constexpr DWORD PORT_TYPE_READ = 0x0002;

// ---------------------------------------------------------------------------
// Job information
struct JOB_INFO_1W {
  DWORD JobId;
  LPWSTR pPrinterName;
  LPWSTR pMachineName;
  LPWSTR pUserName;
  LPWSTR pDocument;
  LPWSTR pDatatype;
  LPWSTR pStatus;
  DWORD Status;
  DWORD Priority;
  DWORD Position;
  DWORD TotalPages;
  DWORD PagesPrinted;
  SYSTEMTIME Submitted;
};

struct DOC_INFO_1W {
  LPWSTR pDocName;
  LPWSTR pOutputFile;
  LPWSTR pDatatype;
};

struct PRINTER_DEFAULTSW {
  LPWSTR pDatatype;
  LPVOID pDevMode;
  DWORD DesiredAccess;
};

constexpr DWORD JOB_CONTROL_PAUSE = 1;
constexpr DWORD JOB_CONTROL_RESUME = 2;
constexpr DWORD JOB_CONTROL_CANCEL = 3;
constexpr DWORD JOB_CONTROL_RESTART = 4;
constexpr DWORD JOB_CONTROL_DELETE = 5;

// JOB_INFO_1W Status: the job's data could not be read or written whole
// (it went past a limit, its source failed); its spool file is not a
// document and is discarded.
constexpr DWORD JOB_STATUS_ERROR = 0x00000002;

// ---------------------------------------------------------------------------
// The monitor table
using PFN_EnumPortsW = BOOL (*)(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                                LPDWORD pcReturned);
using PFN_OpenPort = BOOL (*)(LPWSTR pName, HANDLE* pHandle);
using PFN_OpenPortEx = BOOL (*)(LPWSTR pPortName, LPWSTR pPrinterName, HANDLE* pHandle, void* pMonitor);
using PFN_StartDocPort = BOOL (*)(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                                  LPBYTE pDocInfo);
using PFN_WritePort = BOOL (*)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
using PFN_ReadPort = BOOL (*)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
using PFN_EndDocPort = BOOL (*)(HANDLE hPort);
using PFN_ClosePort = BOOL (*)(HANDLE hPort);
using PFN_AddPort = BOOL (*)(LPWSTR pName, HWND hWnd, LPWSTR pMonitorName);
using PFN_AddPortEx = BOOL (*)(LPWSTR pName, DWORD Level, LPBYTE lpBuffer, LPWSTR lpMonitorName);
using PFN_ConfigurePort = BOOL (*)(LPWSTR pName, HWND hWnd, LPWSTR pPortName);
using PFN_DeletePort = BOOL (*)(LPWSTR pName, HWND hWnd, LPWSTR pPortName);
using PFN_GetPrinterDataFromPort = BOOL (*)(HANDLE hPort, DWORD ControlID, LPWSTR pValueName,
                                            LPWSTR lpInBuffer, DWORD cbInBuffer, LPWSTR lpOutBuffer,
                                            DWORD cbOutBuffer, LPDWORD lpcbReturned);
using PFN_SetPortTimeOuts = BOOL (*)(HANDLE hPort, void* lpCTO, DWORD reserved);

// Fourteen entries, in this order; an entry a monitor does not offer is null.
struct MONITOR {
  PFN_EnumPortsW pfnEnumPorts;
  PFN_OpenPort pfnOpenPort;
  PFN_OpenPortEx pfnOpenPortEx;
  PFN_StartDocPort pfnStartDocPort;
  PFN_WritePort pfnWritePort;
  PFN_ReadPort pfnReadPort;
  PFN_EndDocPort pfnEndDocPort;
  PFN_ClosePort pfnClosePort;
  PFN_AddPort pfnAddPort;
  PFN_AddPortEx pfnAddPortEx;
  PFN_ConfigurePort pfnConfigurePort;
  PFN_DeletePort pfnDeletePort;
  PFN_GetPrinterDataFromPort pfnGetPrinterDataFromPort;
  PFN_SetPortTimeOuts pfnSetPortTimeOuts;
};
using LPMONITOR = MONITOR*;

// dwMonitorSize is the size of the MONITOR part: sizeof(MONITOR) of the
// build (14 entry pointers), which the host checks.
struct MONITOREX {
  DWORD dwMonitorSize;
  MONITOR Monitor;
};
using LPMONITOREX = MONITOREX*;

// The monitor's one export.
using PFN_InitializePrintMonitor = LPMONITOREX (*)(LPWSTR pRegistryRoot);
inline constexpr const char* INITIALIZE_PRINT_MONITOR = "InitializePrintMonitor";

// ---------------------------------------------------------------------------
// Spooler calls a monitor makes (mvn_winspool)
BOOL OpenPrinterW(LPWSTR pPrinterName, HANDLE* phPrinter, PRINTER_DEFAULTSW* pDefault);
// Level 1 only: a JOB_INFO_1W followed by its strings. *pcbNeeded receives
// the size needed; a buffer that is too small fails with
// ERROR_INSUFFICIENT_BUFFER; an unknown job with ERROR_INVALID_PARAMETER.
BOOL GetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded);
BOOL SetJobA(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command);
BOOL ClosePrinter(HANDLE hPrinter);

// Hands a spool file made for a job to the user who receives it (the owner
// of the launcher's or render engine's socket the monitor reached). hFile
// is the open spool file, pFileName its path, which receives the new path
// (cbFileName bytes of room). When the host runs as root and the receiver
// is another user, the file moves into the receiver's folder
// "<directory>/<uid>/" below the directory it was made in (made by the
// host, owned by the receiver, mode 0700) and becomes the receiver's
// (owner, primary group, mode 0600), all through descriptors: nothing is
// done by a path another user could swap. The receiver can then read and
// delete it, and nobody else can read it. When the receiver is the host's
// own user nothing changes (TRUE). FALSE without root for another user, or
// on failure: the file then stays where and whose it was.
BOOL SetSpoolFileOwner(HANDLE hPrinter, DWORD JobId, HANDLE hFile, DWORD Receiver, LPSTR pFileName,
                       DWORD cbFileName);

// Makes a new spool file "MVN<hex>.TMP" for a job in the output directory
// pDirectory (a full path) that a port names, and opens it for writing
// (no sharing); pFileName receives its path (cbFileName bytes of room).
// The directory is reached without following any symbolic link a user
// made, and must be root's, the spooler's user's or the job's user's; in
// the job's user's folder the file is made with that user's rights and is
// that user's. INVALID_HANDLE_VALUE and the last error otherwise; the
// host then tells the job's submitter why.
HANDLE CreateSpoolFileIn(HANDLE hPrinter, DWORD JobId, LPCSTR pDirectory, LPSTR pFileName, DWORD cbFileName);

// Removes a job's spool file (an empty job's, or a failed job's part)
// that hFile holds open and pFileName names. A file the host made with
// CreateSpoolFileIn is removed through the descriptor of the folder it
// was made in, with the rights it was made with, never through the path
// again, so a user who swaps that folder (or a folder above it) for a link
// between the making and the removal has the host remove nothing of
// anybody else's. Any other file is removed only when its folder is
// reached without a user's link and the name there still is the file
// held open. FALSE and the last error otherwise; the file then stays.
BOOL DeleteSpoolFile(HANDLE hPrinter, DWORD JobId, HANDLE hFile, LPCSTR pFileName);

// The thread's last error as the spooler reads it after a monitor entry
// fails. A monitor is a module with its own copy of the kernel, whose last
// error the host does not see; an entry that reports an error code to the
// spooler sets it with this call, which sets it in both.
void SetSpoolerLastError(DWORD code);

// ---------------------------------------------------------------------------
// The bridge between mvn_winspool and the host (not for monitors).
// Every service returns TRUE or FALSE with the Win32 error in *error.
struct MVN_SPOOLER_SERVICES {
  DWORD cbSize;
  BOOL (*OpenPrinter)(LPCWSTR printerName, HANDLE* printer, DWORD* error);
  BOOL (*GetJob)(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed,
                 DWORD* error);
  BOOL (*SetJob)(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command, DWORD* error);
  BOOL (*ClosePrinter)(HANDLE printer, DWORD* error);
  // file is the spool file's descriptor in the calling process.
  BOOL (*SetSpoolFileOwner)(HANDLE printer, DWORD jobId, int file, DWORD receiver, LPSTR fileName, DWORD size,
                            DWORD* error);
  void (*SetLastError)(DWORD code);
  // *file receives the new file's descriptor in the calling process.
  BOOL (*CreateSpoolFile)(HANDLE printer, DWORD jobId, LPCSTR directory, LPSTR fileName, DWORD size, int* file,
                          DWORD* error);
  // file is the spool file's descriptor in the calling process.
  BOOL (*DeleteSpoolFile)(HANDLE printer, DWORD jobId, int file, LPCSTR fileName, DWORD* error);
};
inline constexpr const char* MVN_SPOOLER_SERVICES_SYMBOL = "mvn_spooler_services";
