// The spooler host: loads a port monitor, lists, opens, adds and deletes
// its ports and runs print jobs through it the way a print spooler does,
// and serves the monitor's calls back (OpenPrinterW, GetJobW, SetJobA,
// ClosePrinter, SetSpoolFileOwner) from the jobs it is running.
//
// A program that links mvn_spooler_host exports the services table
// "mvn_spooler_services" dynamically, where the monitor's mvn_winspool
// finds it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/win32.h"
#include "platform/spooler/winspool.h"

// The services table the host publishes (defined in the host library).
extern "C" __attribute__((visibility("default"))) const MVN_SPOOLER_SERVICES mvn_spooler_services;

namespace mvn::spooler {

// "SYSTEM\CurrentControlSet\Control\Print\Monitors\<name>": the registry
// root (below HKEY_LOCAL_MACHINE) a monitor is initialised with.
std::string MonitorRegistryRoot(const std::string& monitorName);
// "SYSTEM\CurrentControlSet\Control\Print\Printers": one key per printer.
inline constexpr const char* kPrintersKey = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
inline constexpr const char* kMonitorsKey = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";

std::u16string Widen(std::string_view utf8);
std::string Narrow(std::u16string_view wide);

// One entry of EnumPorts, level 1 (name only) or 2.
struct PortEntry {
  std::string name;
  std::string monitor;
  std::string description;
  DWORD type = 0;
};

// What the spooler knows of a job.
struct JobSpec {
  std::string printer;
  std::string user;
  std::string document;
  std::string machine;
};

// Reads the job's data: at most size bytes into buffer; returns the count,
// 0 at the end, or -1 on a read failure (the job is then ended early).
using DataSource = std::function<long(void* buffer, DWORD size)>;

// Hands out the job's data a block at a time without copying it: stores
// the block's address and returns its length (at most maximum), 0 at the
// end, -1 on a read failure. The block stays valid until the next call.
using BlockSource = std::function<long(const BYTE** block, DWORD maximum)>;

struct JobResult {
  DWORD jobId = 0;
  bool started = false;        // StartDocPort succeeded
  bool ended = false;          // EndDocPort succeeded
  bool done = false;           // the monitor called SetJob(JOB_CONTROL_CANCEL)
  ULONGLONG bytesRead = 0;     // taken from the source
  ULONGLONG bytesWritten = 0;  // counted by WritePort
  DWORD writeCalls = 0;
  std::string failure;  // empty when every step succeeded
  bool Succeeded() const { return started && ended && failure.empty() && bytesRead == bytesWritten; }
};

// What a spooler does with a loaded monitor of either kind: the NT kind
// (Monitor: InitializePrintMonitor, wide texts) or the single-user kind of
// the 95 mode (Monitor95 in host95.h: InitializeMonitorEx, ANSI texts).
class PortMonitor {
 public:
  virtual ~PortMonitor() = default;
  virtual const std::string& Name() const = 0;
  virtual bool EnumPorts(DWORD level, std::vector<PortEntry>* ports, std::string* error = nullptr) = 0;
  virtual HANDLE OpenPort(const std::string& port) = 0;
  virtual bool ClosePort(HANDLE port) = 0;
  // The monitor's own dialogs and port operations, with the window the
  // spooler would pass (nullptr: the desktop).
  virtual bool AddPort(const std::string& monitorName, HWND owner = nullptr) = 0;
  virtual bool ConfigurePort(const std::string& port, HWND owner = nullptr) = 0;
  virtual bool DeletePort(const std::string& port, HWND owner = nullptr) = 0;
  // Has the monitor look at its registry root again (ports made or
  // configured by another process); what an open port uses stays.
  virtual bool Reinitialize() = 0;
  virtual JobResult RunJobBlocks(HANDLE port, const JobSpec& job, const BlockSource& source,
                                 DWORD chunkSize = 65536) = 0;
};

// Loads the monitor in file the way the root's platform does: the 95 mode
// through DllEntryPoint and InitializeMonitorEx, else InitializePrintMonitor.
std::unique_ptr<PortMonitor> LoadPortMonitor(const std::string& file, const std::string& monitorName,
                                             std::string* error);

// Hands a started job's data to a port: blocks of at most chunkSize bytes
// through write (a monitor's WritePort), a short count retried with the
// rest; ends at the end of the data, or with result->failure at a failed
// read, a failed write or a write of nothing (never looping). Counts into
// result.
using PortWriter = std::function<BOOL(BYTE* data, DWORD length, DWORD* written)>;
void WriteJobData(const BlockSource& source, DWORD chunkSize, const PortWriter& write, JobResult* result);

class Monitor : public PortMonitor {
 public:
  ~Monitor() override;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Loads the module, calls InitializePrintMonitor with the registry root
  // of monitorName and checks the table: its size field and the entries a
  // spooler needs (EnumPorts, OpenPort, StartDocPort, WritePort,
  // EndDocPort, ClosePort). nullptr and a reason on failure.
  static std::unique_ptr<Monitor> Load(const std::string& file, const std::string& monitorName,
                                       std::string* error);

  const std::string& Name() const override { return m_name; }
  const MONITOREX* Table() const { return m_table; }
  const MONITOR& Entries() const { return m_table->Monitor; }

  // EnumPorts the way a spooler calls it: once for the size, then with a
  // buffer of that size. False with the monitor's last error unknown; the
  // reason goes to *error when given.
  bool EnumPorts(DWORD level, std::vector<PortEntry>* ports, std::string* error = nullptr) override;
  HANDLE OpenPort(const std::string& port) override;  // nullptr when it fails
  bool ClosePort(HANDLE port) override;
  bool AddPort(const std::string& monitorName, HWND owner = nullptr) override;
  bool ConfigurePort(const std::string& port, HWND owner = nullptr) override;
  bool DeletePort(const std::string& port, HWND owner = nullptr) override;
  // InitializePrintMonitor again with the same root.
  bool Reinitialize() override;

  // Runs one job on an open port: StartDocPort, WritePort in chunks of at
  // most chunkSize bytes (a short count is retried with the rest; a count
  // of 0 ends the job as failed instead of looping), EndDocPort. EndDocPort
  // also runs after a failed write or read, as a spooler ends every
  // started job.
  JobResult RunJob(HANDLE port, const JobSpec& job, const DataSource& source, DWORD chunkSize = 65536);
  // The same over blocks the source holds itself (a mapped file).
  JobResult RunJobBlocks(HANDLE port, const JobSpec& job, const BlockSource& source,
                         DWORD chunkSize = 65536) override;

 private:
  Monitor() = default;

  std::string m_name;
  PFN_InitializePrintMonitor m_initialize = nullptr;
  HMODULE m_module = nullptr;
  LPMONITOREX m_table = nullptr;
};

// A data source over a memory block (for tests and small jobs); the block
// must outlive the source.
DataSource MemorySource(const std::string& data);
// A data source over a file descriptor (not closed).
DataSource DescriptorSource(int fd);
// Blocks of a file: the file mapped into memory when it is a regular file,
// else read through a buffer. The descriptor is not closed.
BlockSource FileBlocks(int fd);

}  // namespace mvn::spooler
