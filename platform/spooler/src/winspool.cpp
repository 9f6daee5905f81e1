// The spooler calls of a port monitor. A monitor is a loaded module with
// its own copy of the kernel, so it cannot call into the host's objects
// directly: the host publishes a table of services as a dynamic symbol of
// the program, found here once, and each call hands its Win32 error back
// to be set in this copy's last error.
#include <dlfcn.h>

#include <mutex>

#include "platform/kernel/handles.h"
#include "platform/kernel/regularfile.h"
#include "platform/spooler/winspool.h"

namespace {

const MVN_SPOOLER_SERVICES* Services() {
  static const MVN_SPOOLER_SERVICES* s_services = nullptr;
  static std::once_flag s_once;
  std::call_once(s_once, [] {
    void* symbol = dlsym(RTLD_DEFAULT, MVN_SPOOLER_SERVICES_SYMBOL);
    auto* table = static_cast<const MVN_SPOOLER_SERVICES*>(symbol);
    if (table && table->cbSize >= sizeof(MVN_SPOOLER_SERVICES)) s_services = table;
  });
  return s_services;
}

BOOL Finish(BOOL result, DWORD error) {
  if (!result) SetLastError(error ? error : ERROR_INVALID_FUNCTION);
  return result;
}

BOOL NoSpooler() {
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

}  // namespace

BOOL OpenPrinterW(LPWSTR pPrinterName, HANDLE* phPrinter, PRINTER_DEFAULTSW*) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (phPrinter) *phPrinter = nullptr;
  if (!services) return NoSpooler();
  if (!phPrinter) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = 0;
  return Finish(services->OpenPrinter(pPrinterName, phPrinter, &error), error);
}

BOOL GetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (!services) return NoSpooler();
  DWORD needed = 0;
  DWORD error = 0;
  BOOL result = services->GetJob(hPrinter, JobId, Level, pJob, cbBuf, &needed, &error);
  if (pcbNeeded) *pcbNeeded = needed;
  return Finish(result, error);
}

BOOL SetJobA(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (!services) return NoSpooler();
  DWORD error = 0;
  return Finish(services->SetJob(hPrinter, JobId, Level, pJob, Command, &error), error);
}

BOOL ClosePrinter(HANDLE hPrinter) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (!services) return NoSpooler();
  DWORD error = 0;
  return Finish(services->ClosePrinter(hPrinter, &error), error);
}

BOOL SetSpoolFileOwner(HANDLE hPrinter, DWORD JobId, HANDLE hFile, DWORD Receiver, LPSTR pFileName,
                       DWORD cbFileName) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (!services) return NoSpooler();
  // The host works on the descriptor behind this copy's file handle.
  std::shared_ptr<mvn::KernelObject> file = mvn::HandleGet(hFile);
  int fd = file ? file->Descriptor() : -1;
  if (fd < 0 || !pFileName || cbFileName == 0) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = 0;
  return Finish(services->SetSpoolFileOwner(hPrinter, JobId, fd, Receiver, pFileName, cbFileName, &error), error);
}

HANDLE CreateSpoolFileIn(HANDLE hPrinter, DWORD JobId, LPCSTR pDirectory, LPSTR pFileName, DWORD cbFileName) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (!services) {
    NoSpooler();
    return INVALID_HANDLE_VALUE;
  }
  if (!pDirectory || !pFileName || cbFileName == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  DWORD error = 0;
  int fd = -1;
  if (!Finish(services->CreateSpoolFile(hPrinter, JobId, pDirectory, pFileName, cbFileName, &fd, &error), error))
    return INVALID_HANDLE_VALUE;
  // The descriptor becomes a file handle of this copy of the kernel.
  return mvn::kernel::AdoptRegularFile(fd, pFileName, GENERIC_WRITE, 0);
}

BOOL DeleteSpoolFile(HANDLE hPrinter, DWORD JobId, HANDLE hFile, LPCSTR pFileName) {
  const MVN_SPOOLER_SERVICES* services = Services();
  if (!services) return NoSpooler();
  std::shared_ptr<mvn::KernelObject> file = mvn::HandleGet(hFile);
  int fd = file ? file->Descriptor() : -1;
  if (fd < 0 || !pFileName) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = 0;
  return Finish(services->DeleteSpoolFile(hPrinter, JobId, fd, pFileName, &error), error);
}

void SetSpoolerLastError(DWORD code) {
  SetLastError(code);
  if (const MVN_SPOOLER_SERVICES* services = Services()) services->SetLastError(code);
}
