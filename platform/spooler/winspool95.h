// The monitor interface of the single-user spooler (the 95 mode of the
// spooler substitute): ANSI texts throughout, a thirteen-entry table filled
// by the monitor's InitializeMonitorEx, and ANSI port information.
#pragma once

#include "platform/kernel/win32.h"

struct PORT_INFO_1A {
  LPSTR pName;
};
struct PORT_INFO_2A {
  LPSTR pPortName;
  LPSTR pMonitorName;
  LPSTR pDescription;
  DWORD fPortType;
  DWORD Reserved;
};

struct DOC_INFO_1A {
  LPSTR pDocName;
  LPSTR pOutputFile;
  LPSTR pDatatype;
};

using PFN_EnumPortsA = BOOL (*)(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                                LPDWORD pcReturned);
using PFN_OpenPortA = BOOL (*)(LPSTR pName, HANDLE* pHandle);
using PFN_OpenPortExA = BOOL (*)(LPSTR pPortName, LPSTR pPrinterName, HANDLE* pHandle, void* pMonitor);
using PFN_StartDocPortA = BOOL (*)(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
using PFN_WritePort95 = BOOL (*)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
using PFN_ReadPort95 = BOOL (*)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
using PFN_EndDocPort95 = BOOL (*)(HANDLE hPort);
using PFN_ClosePort95 = BOOL (*)(HANDLE hPort);
using PFN_AddPortA = BOOL (*)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
using PFN_ConfigurePortA = BOOL (*)(LPSTR pName, HWND hWnd, LPSTR pPortName);
using PFN_DeletePortA = BOOL (*)(LPSTR pName, HWND hWnd, LPSTR pPortName);
using PFN_GetPrinterDataFromPortA = BOOL (*)(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                             DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer,
                                             LPDWORD lpcbReturned);
using PFN_SetPortTimeOuts95 = BOOL (*)(HANDLE hPort, void* lpCTO, DWORD reserved);

// Thirteen entries, in this order; an entry a monitor does not offer is null.
struct MONITOR95 {
  PFN_EnumPortsA pfnEnumPorts;
  PFN_OpenPortA pfnOpenPort;
  PFN_OpenPortExA pfnOpenPortEx;
  PFN_StartDocPortA pfnStartDocPort;
  PFN_WritePort95 pfnWritePort;
  PFN_ReadPort95 pfnReadPort;
  PFN_EndDocPort95 pfnEndDocPort;
  PFN_ClosePort95 pfnClosePort;
  PFN_AddPortA pfnAddPort;
  PFN_ConfigurePortA pfnConfigurePort;
  PFN_DeletePortA pfnDeletePort;
  PFN_GetPrinterDataFromPortA pfnGetPrinterDataFromPort;
  PFN_SetPortTimeOuts95 pfnSetPortTimeOuts;
};
static_assert(sizeof(MONITOR95) == 13 * sizeof(void*), "thirteen entries");

// The monitor's exports: its entry (called by the spooler after loading
// it, with DLL_PROCESS_ATTACH) and the table's initialisation.
using PFN_DllEntryPoint95 = BOOL (*)(HINSTANCE instance, DWORD reason, LPVOID reserved);
using PFN_InitializeMonitorEx = BOOL (*)(LPSTR pRegistryRoot, MONITOR95* pMonitor);
inline constexpr const char* INITIALIZE_MONITOR_EX = "InitializeMonitorEx";
inline constexpr const char* DLL_ENTRY_POINT_95 = "DllEntryPoint";
