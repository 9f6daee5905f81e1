// The job path: StartDocPort, WritePort and EndDocPort, the spool file and
// its header, and the hand-over of the finished file to the render engine,
// to a launcher, or to the port's output directory.
#include <cstring>

#include "platform/spooler/winspool.h"
#include "portmon/nt/mvnmon.h"

namespace mvnmon {

namespace {

constexpr char kMailslotPrefix[] = "\\\\.\\mailslot\\";
constexpr char kDefaultRenderSlot[] = "mvnrender";
constexpr char kUserLauncherPrefix[] = "\\\\.\\mailslot\\mvnfuial\\";
constexpr char kConsoleLauncher[] = "\\\\.\\mailslot\\mvncuial";
constexpr char kStartPathPrefix[] = "#startuppath=";
constexpr DWORD kJobInfoBufferSize = 1024;

bool IsWhite(BYTE c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

BYTE Fold(BYTE c) { return c >= 'a' && c <= 'z' ? static_cast<BYTE>(c - ('a' - 'A')) : c; }

// 1: the marker matches; 0: it does not; -1: the data ends before it can be
// told (only when not final).
int MatchMarker(const BYTE* data, DWORD length, DWORD at, const char* marker, bool final) {
  for (DWORD k = 0; marker[k]; ++k) {
    if (at + k >= length) return final ? 0 : -1;
    if (Fold(data[at + k]) != static_cast<BYTE>(marker[k])) return 0;
  }
  return 1;
}

HANDLE OpenMailslot(const char* name) {
  HANDLE slot = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  return slot == INVALID_HANDLE_VALUE ? nullptr : slot;
}

PORTRECORD* JobPort(HANDLE hPort) {
  auto* port = static_cast<PORTRECORD*>(hPort);
  if (!port || !IsPortRecord(port) || !port->open) return nullptr;
  return port;
}

bool OpenRenderMailslot(PORTRECORD* port) {
  CTEXTBUF<kMailSlotSize + sizeof kMailslotPrefix> name;
  name.Join2(kMailslotPrefix, port->mailSlot[0] ? port->mailSlot : kDefaultRenderSlot);
  port->renderSlot = OpenMailslot(name.Text());
  return port->renderSlot != nullptr;
}

void CloseRenderMailslot(PORTRECORD* port) {
  if (port->renderSlot) {
    CloseHandle(port->renderSlot);
    port->renderSlot = nullptr;
  }
}

bool SendRenderNotice(PORTRECORD* port) {
  if (!port->renderSlot) return false;
  DWORD length = port->output.Length() + 1;
  DWORD written = 0;
  return WriteFile(port->renderSlot, port->output.Text(), length, &written, nullptr) && written == length;
}

void ReadJobUser(PORTRECORD* port) {
  port->jobUser.Empty();
  BYTE fixed[kJobInfoBufferSize];
  BYTE* buffer = fixed;
  DWORD needed = 0;
  BOOL ok = GetJobW(port->printer, port->jobId, 1, buffer, sizeof fixed, &needed);
  // The full name, also when the job's strings do not fit the first buffer.
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > sizeof fixed) {
    buffer = static_cast<BYTE*>(g_pXXHeap->Alloc(HEAP_GENERATE_EXCEPTIONS, needed, nullptr));
    ok = GetJobW(port->printer, port->jobId, 1, buffer, needed, &needed);
  }
  if (ok) {
    JOB_INFO_1W info;
    std::memcpy(&info, buffer, sizeof info);
    DWORD length = WideLength(info.pUserName);
    DWORD size = length * 3 + 1;
    CTEXTBUF256 user;
    user.Reserve(size);
    if (WideToText(info.pUserName, user.Buffer(), size)) port->jobUser.Assign(user.Text());
  }
  if (buffer != fixed) g_pXXHeap->Free(buffer);
}

void ShowNoLauncher() {
  char text[1024];
  text[0] = '\0';
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING, MonitorString(4), 0, 0, text, sizeof text, nullptr);
  MessageBoxA(nullptr, text, MonitorString(1), MB_ICONERROR | MB_TASKMODAL | MB_TOPMOST);
}

// The command line from the settings given: application, blank, spool
// path, and when there is one a blank and the output directory.
bool LaunchApplication(const LAUNCHSETTINGS& settings, const char* user, const char* spoolPath) {
  // Nothing to start: a launch with an empty application would hand the
  // launcher the spool path as a program.
  if (!settings.externalApplication[0]) return false;
  CTEXTBUF<780> command;
  command.Assign(settings.externalApplication);
  if (spoolPath && *spoolPath) command.Append2(" ", spoolPath);
  if (settings.outputDirectory[0]) command.Append2(" ", settings.outputDirectory);
  return SendToLauncher(user, settings.startupDirectory, command.Text());
}

void FreePending(PORTRECORD* port) {
  if (port->pending) g_pXXHeap->Free(port->pending);
  port->pending = nullptr;
  port->pendingSize = 0;
  port->pendingCapacity = 0;
}

// Writes data straight to the spool file; returns the count that arrived.
DWORD WriteDirect(PORTRECORD* port, const BYTE* data, DWORD length) {
  if (length == 0) return 0;
  DWORD written = 0;
  port->output.Write(data, length, &written);
  return written;
}

void WriteUserLine(PORTRECORD* port) {
  port->output.WriteString("USER ID=");
  port->output.WriteLine(port->jobUser.Text());
}

// Writes the job's first bytes with the spool header the rule asks for.
void WriteWithHeader(PORTRECORD* port, const BYTE* data, DWORD length, int rule, DWORD offset) {
  if (rule == 2) {
    WriteDirect(port, data, offset);
    WriteUserLine(port);
    WriteDirect(port, data + offset, length - offset);
  } else if (rule == 3) {
    port->output.WriteLine("!MORVANE-MVNMON");
    WriteUserLine(port);
    port->output.WriteLine("!END");
    WriteDirect(port, data, length);
  } else {
    WriteDirect(port, data, length);
  }
}

// Settles the header with the bytes held so far (at the end of the job,
// or when the look-ahead is full).
void SettlePending(PORTRECORD* port) {
  if (port->headerDecided) return;
  port->headerDecided = 1;
  if (port->pendingSize) {
    DWORD offset = 0;
    int rule = FindHeader(port->pending, port->pendingSize, true, &offset);
    WriteWithHeader(port, port->pending, port->pendingSize, rule, offset);
  }
  FreePending(port);
}

// Forgets the job: printer handle, mailslot and spool file are closed by
// the caller; this clears what is left.
void ClearJob(PORTRECORD* port) {
  FreePending(port);
  port->jobUser.Empty();
  port->jobMode = JOB_PLAIN;
  port->headerDecided = 0;
  port->bytesWritten = 0;
  port->jobSettings = LAUNCHSETTINGS{};
}

}  // namespace

int FindHeader(const BYTE* data, DWORD length, bool final, DWORD* offset) {
  *offset = 0;
  DWORD at = 0;
  while (at < length && IsWhite(data[at])) ++at;
  if (at == length && !final) return 0;
  int mvn = MatchMarker(data, length, at, "!MVN", final);
  if (mvn < 0) return 0;
  if (mvn > 0) return 1;
  int morvane = MatchMarker(data, length, at, "!MORVANE", final);
  if (morvane < 0) return 0;
  if (morvane == 0) return 3;
  DWORD lf = at;
  while (lf < length && data[lf] != '\n') ++lf;
  if (lf == length) {
    if (!final) return 0;
    *offset = length;
    return 2;
  }
  DWORD after = lf + 1;
  while (after < length && IsWhite(data[after])) ++after;
  if (after == length && !final) return 0;  // the white space may go on in the next buffer
  *offset = after;
  return 2;
}

bool SendToLauncher(const char* user, const char* startupDirectory, const char* commandLine) {
  const char* directory = startupDirectory ? startupDirectory : "";
  const char* command = commandLine ? commandLine : "";
  // A launcher reads at most 260 bytes per message; a message that does not
  // fit would reach it cut or not at all. Either both go or neither.
  DWORD startLength = directory[0] ? static_cast<DWORD>(sizeof kStartPathPrefix - 1 + std::strlen(directory) + 1) : 0;
  DWORD commandLength = static_cast<DWORD>(std::strlen(command) + 1);
  if (startLength > kLauncherMessageLimit || commandLength > kLauncherMessageLimit) {
    ShowNoLauncher();
    return false;
  }
  HANDLE slot = nullptr;
  if (user && *user && std::strlen(kUserLauncherPrefix) + std::strlen(user) < 260) {
    CTEXTBUF<260> name;
    name.Join2(kUserLauncherPrefix, user);
    slot = OpenMailslot(name.Text());
  }
  if (!slot) slot = OpenMailslot(kConsoleLauncher);
  if (!slot) {
    ShowNoLauncher();
    return false;
  }
  DWORD written = 0;
  if (directory[0]) {
    CTEXTBUF<kLauncherMessageLimit> start;
    start.Join2(kStartPathPrefix, directory);
    WriteFile(slot, start.Text(), startLength, &written, nullptr);
  }
  written = 0;
  bool sent = WriteFile(slot, command, commandLength, &written, nullptr) && written == commandLength;
  CloseHandle(slot);
  return sent;
}

BOOL WINAPI_StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD, LPBYTE) {
  PORTRECORD* port = JobPort(hPort);
  // A port runs one job at a time.
  if (!port || port->output.IsOpen() || port->printer) return FALSE;
  if (!port->readOnce && !OpenPortKey(port->name, port, &ReadPortConfig)) return FALSE;
  HANDLE printer = nullptr;
  if (!OpenPrinterW(pPrinterName, &printer, nullptr) || !printer) return FALSE;
  ClearJob(port);
  port->printer = printer;
  port->jobId = JobId;
  ReadJobUser(port);
  port->jobSettings = port->settings;

  if (OpenRenderMailslot(port)) {
    port->jobMode = JOB_RENDER;
  } else if (port->launch == LAUNCH_AT_START) {
    port->jobMode = JOB_LAUNCH_AT_START;
  } else if (port->launch == LAUNCH_AFTER_PRINTING) {
    port->jobMode = JOB_LAUNCH_AFTER_PRINTING;
  } else {
    port->jobMode = JOB_PLAIN;
  }

  // Plain jobs go to the output directory; all others, and plain jobs of a
  // port without one, to the temporary directory.
  const char* directory = nullptr;
  if (port->jobMode == JOB_PLAIN && port->settings.outputDirectory[0]) directory = port->settings.outputDirectory;
  bool named = port->output.SetTempFileName(directory);
  if (!named || !port->output.Open(GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
    if (named) DeleteFileA(port->output.Text());  // the empty file the name was made with
    port->output.Empty();
    ClosePrinter(port->printer);
    port->printer = nullptr;
    CloseRenderMailslot(port);
    ClearJob(port);
    return FALSE;
  }
  if (port->jobMode == JOB_LAUNCH_AT_START || port->jobMode == JOB_LAUNCH_AFTER_PRINTING) {
    // The launched application runs as the job's user.
    SetSpoolFileOwner(port->printer, port->jobId, port->output.Text());
  }
  if (port->jobMode == JOB_LAUNCH_AT_START) {
    LaunchApplication(port->jobSettings, port->jobUser.Text(), port->output.Text());
  }
  return TRUE;
}

BOOL WINAPI_WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
  PORTRECORD* port = JobPort(hPort);
  if (!port || !port->output.IsOpen() || !pcbWritten) return FALSE;
  *pcbWritten = 0;
  if (cbBuf == 0) return TRUE;
  if (!pBuffer) return FALSE;
  DWORD count = 0;
  if (!port->headerDecided && !(port->header && port->jobMode == JOB_PLAIN)) port->headerDecided = 1;
  if (!port->headerDecided) {
    // Hold the first bytes until the header rule can be told, so the result
    // does not depend on how the data is cut into buffers; at most the
    // look-ahead is held.
    DWORD take = kHeaderLookahead - port->pendingSize;
    if (take > cbBuf) take = cbBuf;
    if (!port->pending) {
      port->pending = static_cast<BYTE*>(g_pXXHeap->Alloc(HEAP_GENERATE_EXCEPTIONS, kHeaderLookahead, nullptr));
      port->pendingCapacity = kHeaderLookahead;
    }
    std::memcpy(port->pending + port->pendingSize, pBuffer, take);
    port->pendingSize += take;
    count = take;
    DWORD offset = 0;
    int rule = FindHeader(port->pending, port->pendingSize, port->pendingSize >= kHeaderLookahead, &offset);
    if (rule != 0) {
      port->headerDecided = 1;
      WriteWithHeader(port, port->pending, port->pendingSize, rule, offset);
      FreePending(port);
      count += WriteDirect(port, pBuffer + take, cbBuf - take);
    }
  } else {
    count = WriteDirect(port, pBuffer, cbBuf);
  }
  *pcbWritten = count;
  port->bytesWritten += count;
  return TRUE;
}

BOOL WINAPI_EndDocPort(HANDLE hPort) {
  PORTRECORD* port = JobPort(hPort);
  if (!port) return FALSE;
  if (port->printer) {
    SetJobA(port->printer, port->jobId, 0, nullptr, JOB_CONTROL_CANCEL);
    ClosePrinter(port->printer);
    port->printer = nullptr;
  }
  BOOL result = FALSE;
  if (port->output.IsOpen()) {
    SettlePending(port);
    port->output.FlushBuffer();
    ULONGLONG size = port->output.GetSize();
    port->output.Close();
    if (size == 0) {
      DeleteFileA(port->output.Text());
    } else if (port->jobMode == JOB_LAUNCH_AFTER_PRINTING) {
      // Launch with the settings as they are now, unless the port reads its
      // settings only once: then with those the job started with.
      if (port->readOnce) {
        LaunchApplication(port->jobSettings, port->jobUser.Text(), port->output.Text());
      } else if (OpenPortKey(port->name, port, &ReadPortConfig)) {
        LaunchApplication(port->settings, port->jobUser.Text(), port->output.Text());
      }
    } else if (port->jobMode == JOB_RENDER) {
      SendRenderNotice(port);
    }
    result = TRUE;
  }
  CloseRenderMailslot(port);
  port->output.Empty();
  ClearJob(port);
  return result;
}

}  // namespace mvnmon
