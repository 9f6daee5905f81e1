// The spooler host's 95 mode: a monitor of the single-user spooler, loaded
// through its DllEntryPoint and InitializeMonitorEx with an ANSI registry
// root and the thirteen-entry table, its ports listed as PORT_INFO_1A/2A
// and its jobs run with DOC_INFO_1A.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/spooler/host.h"
#include "platform/spooler/winspool95.h"

namespace mvn::spooler {

class Monitor95 : public PortMonitor {
 public:
  ~Monitor95() override;
  Monitor95(const Monitor95&) = delete;
  Monitor95& operator=(const Monitor95&) = delete;

  // Loads the module, calls its DllEntryPoint (DLL_PROCESS_ATTACH) and
  // InitializeMonitorEx with the registry root of monitorName, and checks
  // the entries a spooler needs. nullptr and a reason on failure.
  static std::unique_ptr<Monitor95> Load(const std::string& file, const std::string& monitorName,
                                         std::string* error);

  const std::string& Name() const override { return m_name; }
  const MONITOR95& Entries() const { return m_table; }
  bool EnumPorts(DWORD level, std::vector<PortEntry>* ports, std::string* error = nullptr) override;
  HANDLE OpenPort(const std::string& port) override;
  bool ClosePort(HANDLE port) override;
  bool AddPort(const std::string& monitorName, HWND owner = nullptr) override;
  bool ConfigurePort(const std::string& port, HWND owner = nullptr) override;
  bool DeletePort(const std::string& port, HWND owner = nullptr) override;
  // The ports of such a monitor are fixed; nothing to read again.
  bool Reinitialize() override { return true; }
  JobResult RunJobBlocks(HANDLE port, const JobSpec& job, const BlockSource& source,
                         DWORD chunkSize = 65536) override;

 private:
  Monitor95() = default;

  std::string m_name;
  HMODULE m_module = nullptr;
  MONITOR95 m_table{};
};

}  // namespace mvn::spooler
