// mvnmon: the port monitor the print spooler loads for the fax printer's
// ports. One global monitor object holds the registry root, the port list
// and the lock; each port is a record with its settings (read from the
// port's registry key) and the state of the job running on it.
#pragma once

#include "lib/bufferedfile.h"
#include "lib/cxxlib.h"
#include "lib/text.h"
#include "platform/kernel/win32.h"
#include "platform/registry/registry.h"
#include "platform/spooler/winspool.h"

namespace mvnmon {

constexpr DWORD kPortNameSize = 8;      // wide characters with the terminator
constexpr DWORD kRootSize = 256;        // wide characters with the terminator
constexpr DWORD kMailSlotSize = 64;     // bytes with the terminator
constexpr DWORD kSettingSize = 260;     // bytes with the terminator
constexpr DWORD kLauncherMessageLimit = 260;  // what a launcher reads, NUL included

enum LaunchSetting { LAUNCH_NONE = 0, LAUNCH_AT_START = 1, LAUNCH_AFTER_PRINTING = 2 };
enum JobMode { JOB_PLAIN = 0, JOB_LAUNCH_AT_START = 1, JOB_LAUNCH_AFTER_PRINTING = 2, JOB_RENDER = 3 };

// The text settings a launch uses.
struct LAUNCHSETTINGS {
  char outputDirectory[kSettingSize];
  char startupDirectory[kSettingSize];
  char externalApplication[kSettingSize];
};

struct PORTRECORD {
  WCHAR name[kPortNameSize];
  int open;

  // The job running on the port (StartDocPort to EndDocPort).
  HANDLE printer;
  DWORD jobId;
  CTEXTBUF64 jobUser;  // the user's full name
  int jobMode;
  DWORD bytesWritten;
  HANDLE renderSlot;
  int headerDecided;    // the spool header question is settled for this job
  BYTE* pending;        // the job's first bytes, held until the header can be decided
  DWORD pendingSize;
  DWORD pendingCapacity;
  LAUNCHSETTINGS jobSettings;  // the settings the job started with
  CBUFFEREDWRITER output;      // the spool file; its path is the file's full path

  // Settings, as last read.
  int launch;
  int header;
  int readOnce;
  char mailSlot[kMailSlotSize];
  LAUNCHSETTINGS settings;

  PORTRECORD* next;
};

// The monitor object: the deliverable's heap object, whose reports show
// nothing.
class CMONITOR : public CXXHEAP {
 public:
  void Report(void*, NOTIFYEXPANDER, void*, DWORD, const char*, const char*, const char*) override {}
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override {
    Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
  }

  WCHAR m_root[kRootSize];
  PORTRECORD* m_ports;
  CRITICAL_SECTION m_lock;
  int m_lockHeld;
  int m_lockReady;
};

CMONITOR* Monitor();

// Port list (monitor.cpp).
PORTRECORD* FindPort(LPCWSTR name);
bool IsPortRecord(const PORTRECORD* port);
PORTRECORD* AddPortRecord(LPCWSTR name);
void RemovePortRecord(LPCWSTR name);
using PORTKEYVISITOR = bool (*)(LPCWSTR portName, void* context, HKEY key);
bool OpenPortKey(LPCWSTR portName, void* context, PORTKEYVISITOR visitor);
bool CreatePortKey(LPCWSTR portName, void* context, PORTKEYVISITOR keyVisitor, PORTKEYVISITOR rootVisitor);
bool ReadPortConfig(LPCWSTR portName, void* port, HKEY key);
// Wide text into UTF-8 (the OEM and ANSI code pages of this platform);
// false when it does not fit size bytes with the terminator.
bool WideToText(LPCWSTR text, char* out, DWORD size);
DWORD WideLength(LPCWSTR text);

// Job path (job.cpp).
BOOL WINAPI_StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
BOOL WINAPI_WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI_EndDocPort(HANDLE hPort);
bool SendToLauncher(const char* user, const char* startupDirectory, const char* commandLine);
// Spool header detection over the job's first bytes. Returns the rule: 1
// (data left unchanged), 2 (keep the first line up to offset, then the
// user line) or 3 (three header lines in front); 0 when more data is needed
// to tell (only when final is false).
int FindHeader(const BYTE* data, DWORD length, bool final, DWORD* offset);
// The job's first bytes are held until the header is decided, but no more
// than this many.
constexpr DWORD kHeaderLookahead = 4096;

// Texts of the monitor's string table.
const char* MonitorString(UINT id);

}  // namespace mvnmon
