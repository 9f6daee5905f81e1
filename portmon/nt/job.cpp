// The job path: StartDocPort, WritePort and EndDocPort, the spool file and
// its header, and the hand-over of the finished file to the render engine,
// to a launcher, or to the port's output directory.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/mailslot/mailslot.h"
#include "platform/spooler/winspool.h"
#include "portmon/nt/mvnmon.h"

namespace mvn::portmon {

namespace {

constexpr char kMailslotPrefix[] = "\\\\.\\mailslot\\";
constexpr char kDefaultRenderSlot[] = "mvnrender";
constexpr DWORD kJobInfoBufferSize = 1024;
// Spool files are "MVN<hex>.TMP".
constexpr char kSpoolFilePrefix[] = "MVN";
constexpr UINT kSpoolFileNumbers = 0xFFFF;
constexpr uid_t kNoUser = static_cast<uid_t>(-1);

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

// The uid of a user name or number; kNoUser when there is no such user.
uid_t UserId(const char* user) {
  if (!user || !*user) return kNoUser;
  char* end = nullptr;
  unsigned long number = std::strtoul(user, &end, 10);
  if (end && *end == '\0' && end != user) return static_cast<uid_t>(number);
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwnam_r(user, &entry, buffer, sizeof buffer, &found) != 0 || !found) return kNoUser;
  return found->pw_uid;
}

// The user a value below the monitor's key names (RenderUser,
// ConsoleUser), or kNoUser.
uid_t ConfiguredUser(const WCHAR* valueName) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Monitor()->m_root, 0, KEY_READ, &key) != ERROR_SUCCESS) return kNoUser;
  WCHAR value[kSettingSize];
  DWORD type = 0;
  DWORD bytes = sizeof value - sizeof(WCHAR);
  LONG status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(value), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return kNoUser;
  value[bytes / sizeof(WCHAR)] = 0;
  char text[kSettingSize * 3];
  if (!WideToText(value, text, sizeof text)) return kNoUser;
  return UserId(text);
}

// Root and the spooler's own user may serve any slot the monitor writes to.
bool TrustedServer(uid_t owner) { return owner == 0 || owner == geteuid(); }

// The render mailslot counts as served only by a server the monitor
// trusts with every job of the port: root, the spooler's user, or the
// render engine's user from the registry. A slot anybody else serves is
// passed by, and the job takes its launch or plain mode.
bool OpenRenderMailslot(PORTRECORD* port, uid_t* owner) {
  CTEXTBUF<kMailSlotSize + sizeof kMailslotPrefix> name;
  name.Join2(kMailslotPrefix, port->mailSlot[0] ? port->mailSlot : kDefaultRenderSlot);
  port->renderSlot = OpenMailslot(name.Text());
  if (!port->renderSlot) return false;
  if (!MailslotServerOwner(port->renderSlot, owner) ||
      (!TrustedServer(*owner) && *owner != ConfiguredUser(kRenderUserValue))) {
    CloseHandle(port->renderSlot);
    port->renderSlot = nullptr;
    return false;
  }
  return true;
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

// Opens the launcher that serves the job's user: "mvnfuial\<user>\launcher" when
// it is served by that user (or by root or the spooler's user), else the
// console launcher "mvncuial" when it is served by root, the spooler's user
// or the console user of the registry (ConsoleUser): a console slot anybody
// else serves would hand them other users' documents. *owner receives the
// user the launcher runs as. Null when none of them is served.
HANDLE OpenLauncher(const char* user, uid_t* owner) {
  using namespace mvn::launcher;
  if (user && *user &&
      std::strlen(kPerUserSlotPrefix) + std::strlen(user) + std::strlen(kPerUserSlotLeaf) < kSlotNameSize) {
    CTEXTBUF<kSlotNameSize> name;
    name.Join2(kPerUserSlotPrefix, user);
    name.Append(kPerUserSlotLeaf);
    if (HANDLE slot = OpenMailslot(name.Text())) {
      // Anybody can make a socket of that name; only the user's own, or
      // one of a trusted server, gets the user's jobs.
      if (MailslotServerOwner(slot, owner) && (*owner == UserId(user) || TrustedServer(*owner))) return slot;
      CloseHandle(slot);
    }
  }
  HANDLE slot = OpenMailslot(kConsoleSlot);
  if (slot && (!MailslotServerOwner(slot, owner) ||
               (!TrustedServer(*owner) && *owner != ConfiguredUser(kConsoleUserValue)))) {
    CloseHandle(slot);
    slot = nullptr;
  }
  return slot;
}

// Gives the spool file to the user who receives it. The path changes when
// the file moves into that user's folder.
void HandOverSpoolFile(PORTRECORD* port, uid_t receiver) {
  char path[MAX_PATH];
  DWORD length = port->output.Length();
  if (!port->output.IsOpen() || length + 1 > sizeof path) return;
  std::memcpy(path, port->output.Text(), length + 1);
  if (SetSpoolFileOwner(port->printer, port->jobId, port->output.Handle(), receiver, path, sizeof path))
    port->output.Assign(path);
}

// Launches the application of the settings given on the job's spool file:
// the command line is the application, a blank, the spool path, and when
// there is one a blank and the output directory. The file is first handed
// to the user of the launcher that receives the command.
bool LaunchApplication(PORTRECORD* port, const LAUNCHSETTINGS& settings) {
  // Nothing to start: a launch with an empty application would hand the
  // launcher the spool path as a program.
  if (!settings.externalApplication[0]) return false;
  uid_t owner = kNoUser;
  HANDLE slot = OpenLauncher(port->jobUser.Text(), &owner);
  if (!slot) {
    ShowNoLauncher();
    return false;
  }
  HandOverSpoolFile(port, owner);
  CTEXTBUF<kCommandLineSize> command;
  command.Assign(settings.externalApplication);
  if (port->output.Length()) command.Append2(" ", port->output.Text());
  if (settings.outputDirectory[0]) command.Append2(" ", settings.outputDirectory);
  return SendLauncherMessages(slot, settings.startupDirectory, command.Text());
}

// Makes the job's spool file: a new name in directory (the temporary
// directory when null), created exclusively, so the file written is the
// one just made and never something already there under that name (a
// link, another file). The spool file is written through that handle.
bool CreateSpoolFile(PORTRECORD* port, const char* directory) {
  char where[MAX_PATH];
  if (directory) {
    // The port's output directory may be a user's: the spooler makes the
    // file there without following that user's links, and only in a folder
    // of root or of the job's user.
    HANDLE file = CreateSpoolFileIn(port->printer, port->jobId, directory, where, sizeof where);
    if (file == INVALID_HANDLE_VALUE) return false;
    port->output.Assign(where);
    port->output.m_handle = file;
    return true;
  } else {
    DWORD n = GetTempPathA(sizeof where, where);
    if (n == 0 || n >= sizeof where) return false;
  }
  // Start where a fresh name is likely, then go on through all numbers.
  UINT start = static_cast<UINT>(GetTickCount() ^ (static_cast<UINT>(getpid()) * 2654435761u) ^ port->jobId);
  for (UINT attempt = 0; attempt < kSpoolFileNumbers; ++attempt) {
    UINT number = (start + attempt) % kSpoolFileNumbers + 1;
    char name[MAX_PATH];
    if (GetTempFileNameA(where, kSpoolFilePrefix, number, name) == 0) return false;
    port->output.Assign(name);
    if (port->output.Open(GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) return true;
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  port->output.Empty();
  return false;
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
void WriteWithHeader(PORTRECORD* port, const BYTE* data, DWORD length, HeaderRule rule, DWORD offset) {
  if (rule == HEADER_USER_AFTER_LINE) {
    WriteDirect(port, data, offset);
    WriteUserLine(port);
    WriteDirect(port, data + offset, length - offset);
  } else if (rule == HEADER_THREE_LINES) {
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
    HeaderRule rule = FindHeader(port->pending, port->pendingSize, true, &offset);
    WriteWithHeader(port, port->pending, port->pendingSize, rule, offset);
  }
  FreePending(port);
}

// Whether the spooler says the job's data did not come whole.
bool JobFailed(PORTRECORD* port) {
  BYTE buffer[kJobInfoBufferSize];
  DWORD needed = 0;
  BYTE* info = buffer;
  BOOL ok = GetJobW(port->printer, port->jobId, 1, info, sizeof buffer, &needed);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > sizeof buffer) {
    info = static_cast<BYTE*>(g_pXXHeap->Alloc(HEAP_GENERATE_EXCEPTIONS, needed, nullptr));
    ok = GetJobW(port->printer, port->jobId, 1, info, needed, &needed);
  }
  JOB_INFO_1W job{};
  if (ok) std::memcpy(&job, info, sizeof job);
  if (info != buffer) g_pXXHeap->Free(info);
  return ok && (job.Status & JOB_STATUS_ERROR) != 0;
}

// Removes the job's spool file, still open, and closes it. The spooler
// removes it in the folder it was made in (never through the path again:
// the port's output folder may be a user's, who could have swapped it for
// a link meanwhile).
void DiscardSpoolFile(PORTRECORD* port) {
  if (!DeleteSpoolFile(port->printer, port->jobId, port->output.Handle(), port->output.Text()))
    std::fprintf(stderr, "mvnmon: the spool file %s of job %lu was not removed (error %lu)\n", port->output.Text(),
                 static_cast<unsigned long>(port->jobId), static_cast<unsigned long>(GetLastError()));
  port->output.Close();
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

HeaderRule FindHeader(const BYTE* data, DWORD length, bool final, DWORD* offset) {
  *offset = 0;
  DWORD at = 0;
  while (at < length && IsWhite(data[at])) ++at;
  if (at == length && !final) return HEADER_UNDECIDED;
  int mvn = MatchMarker(data, length, at, "!MVN", final);
  if (mvn < 0) return HEADER_UNDECIDED;
  if (mvn > 0) return HEADER_AS_IS;
  int morvane = MatchMarker(data, length, at, "!MORVANE", final);
  if (morvane < 0) return HEADER_UNDECIDED;
  if (morvane == 0) return HEADER_THREE_LINES;
  DWORD lf = at;
  while (lf < length && data[lf] != '\n') ++lf;
  if (lf == length) {
    if (!final) return HEADER_UNDECIDED;
    *offset = length;
    return HEADER_USER_AFTER_LINE;
  }
  DWORD after = lf + 1;
  while (after < length && IsWhite(data[after])) ++after;
  if (after == length && !final) return HEADER_UNDECIDED;  // the white space may go on in the next buffer
  *offset = after;
  return HEADER_USER_AFTER_LINE;
}

bool SendToLauncher(const char* user, const char* startupDirectory, const char* commandLine) {
  uid_t owner = kNoUser;
  HANDLE slot = OpenLauncher(user, &owner);
  if (!slot) {
    ShowNoLauncher();
    return false;
  }
  return SendLauncherMessages(slot, startupDirectory, commandLine);
}

void ShowNoLauncher() {
  char text[1024];
  text[0] = '\0';
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING, MonitorString(IDS_NO_LAUNCHER), 0, 0, text, sizeof text, nullptr);
  MessageBoxA(nullptr, text, MonitorString(IDS_ERROR_CAPTION), MB_ICONERROR | MB_TASKMODAL | MB_TOPMOST);
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

  uid_t renderOwner = kNoUser;
  if (OpenRenderMailslot(port, &renderOwner)) {
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
  if (!CreateSpoolFile(port, directory)) {
    ClosePrinter(port->printer);
    port->printer = nullptr;
    CloseRenderMailslot(port);
    ClearJob(port);
    return FALSE;
  }
  // The render engine reads the file as its socket's owner; a launched
  // application as the user of the launcher that starts it (handed over
  // when the launcher is told).
  if (port->jobMode == JOB_RENDER) HandOverSpoolFile(port, renderOwner);
  if (port->jobMode == JOB_LAUNCH_AT_START) LaunchApplication(port, port->jobSettings);
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
    HeaderRule rule = FindHeader(port->pending, port->pendingSize, port->pendingSize >= kHeaderLookahead, &offset);
    if (rule != HEADER_UNDECIDED) {
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
  if (port->printer) SetJobA(port->printer, port->jobId, 0, nullptr, JOB_CONTROL_CANCEL);
  BOOL result = FALSE;
  if (port->output.IsOpen()) {
    SettlePending(port);
    port->output.FlushBuffer();
    ULONGLONG size = port->output.GetSize();
    if (size == 0 || JobFailed(port)) {
      // Nothing to hand on: an empty job, or the part of one whose data
      // did not come whole.
      DiscardSpoolFile(port);
    } else if (port->jobMode == JOB_LAUNCH_AFTER_PRINTING) {
      // Launch with the settings as they are now, unless the port reads its
      // settings only once: then with those the job started with. The file
      // stays open until it is handed over.
      if (port->readOnce) {
        LaunchApplication(port, port->jobSettings);
      } else if (OpenPortKey(port->name, port, &ReadPortConfig)) {
        LaunchApplication(port, port->settings);
      }
      port->output.Close();
    } else {
      port->output.Close();
      if (port->jobMode == JOB_RENDER) SendRenderNotice(port);
    }
    result = TRUE;
  }
  // The printer stays open until the file is handed over.
  if (port->printer) {
    ClosePrinter(port->printer);
    port->printer = nullptr;
  }
  CloseRenderMailslot(port);
  port->output.Empty();
  ClearJob(port);
  return result;
}

}  // namespace mvn::portmon
