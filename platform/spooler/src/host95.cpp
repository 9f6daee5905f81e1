// The spooler host's 95 mode (see host95.h), and the choice of loader by
// the root's platform.
#include "platform/spooler/host95.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/kernel/rootsalone.h"
#include "platform/module/module.h"
#include "platform/spooler/install.h"
#include "platform/spooler/src/monitormodule.h"

namespace mvn::spooler {

namespace {
constexpr DWORD DLL_PROCESS_ATTACH_95 = 1;
constexpr DWORD DLL_PROCESS_DETACH_95 = 0;
}  // namespace

std::unique_ptr<PortMonitor> LoadPortMonitor(const std::string& file, const std::string& monitorName,
                                             std::string* error) {
  std::string load = file;
  if (geteuid() == 0) {
    // Root loads a file named in full only, and only one of root's alone
    // in folders of root's alone: a bare name is resolved to the
    // installed module folders first (never the current folder).
    std::string why;
    load = ModuleFileOf(file.c_str());
    if (load.empty()) why = file + " is not found (a bare name only in the installed module folders)";
    if (why.empty()) mvn::kernel::RootsFile(load, &why);
    if (!why.empty()) {
      if (error) *error = "the monitor " + monitorName + " is not loaded as root: " + why;
      return nullptr;
    }
  }
  if (CurrentPlatform() == Platform::Windows95) return Monitor95::Load(load, monitorName, error);
  return Monitor::Load(load, monitorName, error);
}

Monitor95::~Monitor95() {
  if (!m_module) return;
  if (auto entry = reinterpret_cast<PFN_DllEntryPoint95>(GetProcAddress(m_module, DLL_ENTRY_POINT_95)))
    entry(reinterpret_cast<HINSTANCE>(m_module), DLL_PROCESS_DETACH_95, nullptr);
  FreeLibrary(m_module);
}

std::unique_ptr<Monitor95> Monitor95::Load(const std::string& file, const std::string& monitorName,
                                           std::string* error) {
  std::unique_ptr<Monitor95> monitor(new Monitor95);
  monitor->m_name = monitorName;
  auto check = [&]() -> std::string {
    auto entry = reinterpret_cast<PFN_DllEntryPoint95>(GetProcAddress(monitor->m_module, DLL_ENTRY_POINT_95));
    auto initialize =
        reinterpret_cast<PFN_InitializeMonitorEx>(GetProcAddress(monitor->m_module, INITIALIZE_MONITOR_EX));
    if (!entry || !initialize) {
      return file + " is not a monitor of the single-user spooler (no " + DLL_ENTRY_POINT_95 + " or " +
             INITIALIZE_MONITOR_EX + ")";
    }
    if (!entry(reinterpret_cast<HINSTANCE>(monitor->m_module), DLL_PROCESS_ATTACH_95, nullptr))
      return std::string(DLL_ENTRY_POINT_95) + " of " + file + " failed";
    std::string root = MonitorRegistryRoot(monitorName);
    if (!initialize(root.data(), &monitor->m_table))
      return std::string(INITIALIZE_MONITOR_EX) + " of " + file + " failed";
    const MONITOR95& entries = monitor->m_table;
    if (!entries.pfnEnumPorts || !entries.pfnOpenPort || !entries.pfnStartDocPort || !entries.pfnWritePort ||
        !entries.pfnEndDocPort || !entries.pfnClosePort)
      return "the monitor table of " + file + " lacks a port entry";
    return "";
  };
  if (!LoadMonitorModule(file, &monitor->m_module, check, error)) return nullptr;
  return monitor;
}

bool Monitor95::EnumPorts(DWORD level, std::vector<PortEntry>* ports, std::string* error) {
  ports->clear();
  if (level != 1 && level != 2) {
    if (error) *error = "EnumPorts failed";
    return false;
  }
  DWORD needed = 0;
  DWORD count = 0;
  if (m_table.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &count) && count == 0) return true;
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!m_table.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &count)) {
    if (error) *error = "EnumPorts failed with a buffer of the size it asked for";
    return false;
  }
  auto text = [&](LPSTR p) {
    // Every string must lie inside the buffer the monitor filled.
    if (!p || p < reinterpret_cast<char*>(buffer.data()) ||
        p >= reinterpret_cast<char*>(buffer.data()) + buffer.size())
      return std::string();
    return std::string(p, strnlen(p, buffer.size() - static_cast<std::size_t>(p - reinterpret_cast<char*>(buffer.data()))));
  };
  const std::size_t each = level == 1 ? sizeof(PORT_INFO_1A) : sizeof(PORT_INFO_2A);
  if (static_cast<std::size_t>(count) * each > buffer.size()) {
    if (error) *error = "EnumPorts returned more ports than its buffer holds";
    return false;
  }
  for (DWORD i = 0; i < count; ++i) {
    PortEntry entry;
    if (level == 1) {
      PORT_INFO_1A info;
      std::memcpy(&info, buffer.data() + i * each, sizeof info);
      entry.name = text(info.pName);
    } else {
      PORT_INFO_2A info;
      std::memcpy(&info, buffer.data() + i * each, sizeof info);
      entry.name = text(info.pPortName);
      entry.monitor = text(info.pMonitorName);
      entry.description = text(info.pDescription);
      entry.type = info.fPortType;
    }
    ports->push_back(std::move(entry));
  }
  return true;
}

HANDLE Monitor95::OpenPort(const std::string& port) {
  std::string name = port;
  HANDLE handle = nullptr;
  if (!m_table.pfnOpenPort(name.data(), &handle)) return nullptr;
  // Port handles of such a monitor may be the index 0: keep them apart
  // from "no handle" by offsetting them.
  return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(handle) + 1);
}

namespace {
HANDLE MonitorHandle(HANDLE ours) { return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ours) - 1); }
}  // namespace

bool Monitor95::ClosePort(HANDLE port) { return m_table.pfnClosePort(MonitorHandle(port)) != FALSE; }

bool Monitor95::AddPort(const std::string& monitorName, HWND owner) {
  if (!m_table.pfnAddPort) return false;
  std::string name = monitorName;
  return m_table.pfnAddPort(nullptr, owner, name.data()) != FALSE;
}

bool Monitor95::ConfigurePort(const std::string& port, HWND owner) {
  if (!m_table.pfnConfigurePort) return false;
  std::string name = port;
  return m_table.pfnConfigurePort(nullptr, owner, name.data()) != FALSE;
}

bool Monitor95::DeletePort(const std::string& port, HWND owner) {
  if (!m_table.pfnDeletePort) return false;
  std::string name = port;
  return m_table.pfnDeletePort(nullptr, owner, name.data()) != FALSE;
}

JobResult Monitor95::RunJobBlocks(HANDLE ours, const JobSpec& spec, const BlockSource& source, DWORD chunkSize) {
  static std::atomic<DWORD> s_nextJob{1};
  JobResult result;
  result.jobId = s_nextJob.fetch_add(1);
  HANDLE port = MonitorHandle(ours);
  std::string printer = spec.printer;
  std::string document = spec.document;
  std::string datatype = "RAW";
  DOC_INFO_1A info{document.data(), nullptr, datatype.data()};
  if (chunkSize == 0) chunkSize = 1;
  result.started =
      m_table.pfnStartDocPort(port, printer.data(), result.jobId, 1, reinterpret_cast<LPBYTE>(&info)) != FALSE;
  if (!result.started) {
    result.failure = "StartDocPort failed";
    return result;
  }
  WriteJobData(source, chunkSize,
               [&](BYTE* data, DWORD length, DWORD* written) { return m_table.pfnWritePort(port, data, length, written); },
               &result);
  result.ended = m_table.pfnEndDocPort(port) != FALSE;
  if (!result.ended && result.failure.empty()) result.failure = "EndDocPort failed";
  // This spooler's monitors do not call SetJob: the job ends with EndDocPort.
  result.done = result.ended;
  return result;
}

}  // namespace mvn::spooler
