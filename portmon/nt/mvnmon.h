// mvnmon: the port monitor the print spooler loads for the fax printer's
// ports. One global monitor object holds the registry root, the port list
// and the lock; each port is a record with its settings (read from the
// port's registry key) and the state of the job running on it.
#pragma once

#include <sys/types.h>

#include "platform/mailslot/launcher.h"
#include "lib/bufferedfile.h"
#include "lib/cxxlib.h"
#include "lib/text.h"
#include "platform/kernel/win32.h"
#include "platform/registry/registry.h"
#include "platform/spooler/winspool.h"

namespace mvn::portmon {

constexpr DWORD kPortNameSize = 8;      // wide characters with the terminator
constexpr DWORD kRootSize = 256;        // wide characters with the terminator
constexpr DWORD kMailSlotSize = 64;     // bytes with the terminator
constexpr DWORD kSettingSize = 260;     // bytes with the terminator
// A launch command line: application, spool path and output directory,
// each a setting or a path, with the blanks between them.
constexpr DWORD kCommandLineSize = 3 * kSettingSize;
// What a launcher reads, NUL included.
constexpr DWORD kLauncherMessageLimit = static_cast<DWORD>(mvn::launcher::kMessageLimit);

enum LaunchSetting { LAUNCH_NONE = 0, LAUNCH_AT_START = 1, LAUNCH_AFTER_PRINTING = 2 };
enum JobMode { JOB_PLAIN = 0, JOB_LAUNCH_AT_START = 1, JOB_LAUNCH_AFTER_PRINTING = 2, JOB_RENDER = 3 };

// What the spool header detection decided for a job's first bytes.
enum HeaderRule {
  HEADER_UNDECIDED = 0,        // more data is needed to tell
  HEADER_AS_IS = 1,            // the data is left unchanged
  HEADER_USER_AFTER_LINE = 2,  // the first line up to the offset, then the user line
  HEADER_THREE_LINES = 3,      // three header lines in front of the data
};

// Entries of the monitor's string table.
enum MonitorStringId : UINT {
  IDS_ERROR_CAPTION = 1,
  IDS_UNABLE_TO_ACCESS = 2,
  IDS_INVALID_FIELD = 3,
  IDS_NO_LAUNCHER = 4
};

// The registry value below the monitor's key that names the render
// engine's user (a user name or a number). A render mailslot counts as
// served only when its socket belongs to root, the spooler's own user or
// this user.
inline constexpr WCHAR kRenderUserValue[] = u"RenderUser";
// Beside it: the user (name or number) whose console launcher may serve
// the console slot. Besides root and the spooler's own user only this
// user's console launcher gets the jobs of users without a launcher.
inline constexpr WCHAR kConsoleUserValue[] = u"ConsoleUser";

// The text settings a launch uses.
struct LAUNCHSETTINGS {
  char outputDirectory[kSettingSize];
  char startupDirectory[kSettingSize];
  char externalApplication[kSettingSize];
};

struct PORTRECORD {
  WCHAR name[kPortNameSize];
  int open;
  // Left over from a port list read before (InitializePrintMonitor with
  // another root) while a handle was open: found by no name, freed when
  // its handle closes.
  int retired;

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
  int m_initialized;  // the port list has been read (from m_root)
};

CMONITOR* Monitor();

// Port list (monitor.cpp).
PORTRECORD* FindPort(LPCWSTR name);
bool IsPortRecord(const PORTRECORD* port);
PORTRECORD* AddPortRecord(LPCWSTR name);
void RemovePortRecord(LPCWSTR name);
void FreePortRecord(PORTRECORD* record);
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
// Spool header detection over the job's first bytes: HEADER_UNDECIDED only
// when final is false and more data is needed to tell.
HeaderRule FindHeader(const BYTE* data, DWORD length, bool final, DWORD* offset);
// The job's first bytes are held until the header is decided, but no more
// than this many.
constexpr DWORD kHeaderLookahead = 4096;

// Reads a text setting of a port key as the job path does (wide text to
// UTF-8; a value that does not fit size bytes, or is no text, is
// unreadable and leaves out empty).
bool QueryPortText(HKEY key, LPCWSTR name, char* out, DWORD size);

// Texts of the monitor's string table.
const char* MonitorString(UINT id);
void ShowNoLauncher();
// Sends a command line (and the start path, when not empty) to the
// launcher of user (the console launcher when user is null or has none);
// the no-launcher box when none is reached.
bool SendToLauncher(const char* user, const char* startupDirectory, const char* commandLine);

// The port dialogs (dialogs.cpp): Configure Port for a known port, New
// Port; both modal on owner.
intptr_t ShowConfigurePortDialog(HWND owner, LPCWSTR portName);
intptr_t ShowNewPortDialog(HWND owner);

// Launcher commands (launchqueue.cpp). Sends the start-path message (when
// startupDirectory is not empty) and the command line through the writer
// handle slot, which this takes over. A launcher that cannot take them at
// once gets them later: they wait, off the job's thread, until it reads
// again (for a minute at most); what still cannot be delivered is reported
// with the no-launcher box. False (and the box) when the messages cannot be
// sent or kept.
bool SendLauncherMessages(HANDLE slot, const char* startupDirectory, const char* commandLine);
// Ends the delivery thread (the module is being unloaded).
void StopLaunchQueue();

}  // namespace mvn::portmon
