// A monitor for testing the host: port "SHORT" takes at most 3 bytes per
// WritePort, port "STALL" takes 5 bytes and then none, port "FAIL" fails
// every write. Everything a port takes is appended to $FAKEMON_OUT; at
// StartDocPort the job's user and document from GetJobW go there too.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/spooler/winspool.h"

namespace {

struct FakePort {
  const char16_t* name;
  HANDLE printer;
  DWORD job;
  DWORD taken;
};

FakePort g_ports[] = {{u"SHORT", nullptr, 0, 0}, {u"STALL", nullptr, 0, 0}, {u"FAIL", nullptr, 0, 0}};

void Append(const std::string& text) {
  const char* path = std::getenv("FAKEMON_OUT");
  if (!path) return;
  if (FILE* out = std::fopen(path, "ab")) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
}

// UTF-16 units below 256 as single bytes (Latin-1), enough for the tests.
std::string Narrow(const char16_t* text) {
  std::string out;
  for (; text && *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

BOOL EnumPorts(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed, LPDWORD returned) {
  *needed = 0;
  *returned = 0;
  return TRUE;
}

BOOL OpenPort(LPWSTR name, HANDLE* handle) {
  for (FakePort& port : g_ports) {
    if (std::u16string(port.name) == name) {
      *handle = &port;
      return TRUE;
    }
  }
  return FALSE;
}

BOOL StartDocPort(HANDLE handle, LPWSTR printer, DWORD job, DWORD, LPBYTE) {
  auto* port = static_cast<FakePort*>(handle);
  if (!OpenPrinterW(printer, &port->printer, nullptr)) return FALSE;
  port->job = job;
  port->taken = 0;
  DWORD needed = 0;
  BYTE small[8];
  if (GetJobW(port->printer, job, 1, small, sizeof small, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    Append("[small buffer accepted]");
  std::vector<BYTE> buffer(needed);
  if (!GetJobW(port->printer, job, 1, buffer.data(), needed, &needed)) return FALSE;
  JOB_INFO_1W info;
  std::memcpy(&info, buffer.data(), sizeof info);
  Append("[" + Narrow(info.pUserName) + "|" + Narrow(info.pDocument) + "|" + Narrow(info.pPrinterName) + "]");
  return TRUE;
}

BOOL WritePort(HANDLE handle, LPBYTE data, DWORD size, LPDWORD written) {
  auto* port = static_cast<FakePort*>(handle);
  *written = 0;
  std::u16string name = port->name;
  if (name == u"FAIL") return FALSE;
  DWORD take = size;
  if (name == u"SHORT" && take > 3) take = 3;
  if (name == u"STALL") take = port->taken >= 5 ? 0 : (take < 5 - port->taken ? take : 5 - port->taken);
  Append(std::string(reinterpret_cast<char*>(data), take));
  port->taken += take;
  *written = take;
  return TRUE;
}

BOOL EndDocPort(HANDLE handle) {
  auto* port = static_cast<FakePort*>(handle);
  SetJobA(port->printer, port->job, 0, nullptr, JOB_CONTROL_CANCEL);
  ClosePrinter(port->printer);
  port->printer = nullptr;
  Append("[end]");
  return TRUE;
}

BOOL ClosePort(HANDLE) { return TRUE; }

MONITOREX g_table = {sizeof(MONITOR),
                     {&EnumPorts, &OpenPort, nullptr, &StartDocPort, &WritePort, nullptr, &EndDocPort, &ClosePort,
                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

extern "C" __attribute__((visibility("default"))) LPMONITOREX InitializePrintMonitor(LPWSTR) { return &g_table; }
