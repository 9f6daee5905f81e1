// The spooler's installation side over the registry (see install.h).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "platform/spooler/install.h"
#include "platform/spooler/service/protocol.h"

namespace mvn::spooler {

namespace {

constexpr const char* kEnvironmentsKey = "SYSTEM\\CurrentControlSet\\Control\\Print\\Environments";
constexpr const char* kPrintProcessor = "winprint";

struct Key {
  HKEY key = nullptr;
  ~Key() {
    if (key) RegCloseKey(key);
  }
};

std::string Text(LPCSTR text) { return text ? std::string(text) : std::string(); }

bool ReadValue(HKEY key, const char* name, std::string* out) {
  char text[4096];
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  text[size] = '\0';
  *out = text;
  return true;
}

DWORD ReadNumber(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return value;
}

LONG SetText(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

LONG SetNumber(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::vector<std::string> SubKeys(const std::string& path) {
  std::vector<std::string> names;
  Key key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key.key) != ERROR_SUCCESS) return names;
  char name[512];
  for (DWORD i = 0; RegEnumKeyA(key.key, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
  return names;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Entries of an enumeration: the structures from the front, their strings
// packed behind them. fill builds entry i from its strings' addresses.
template <typename Info, typename Fill>
BOOL Pack(const std::vector<std::vector<std::string>>& rows, LPBYTE out, DWORD cbBuf, LPDWORD needed,
          LPDWORD returned, Fill fill) {
  if (!needed || !returned) return Fail(ERROR_INVALID_PARAMETER);
  std::size_t total = rows.size() * sizeof(Info);
  for (const auto& row : rows)
    for (const auto& text : row) total += text.size() + 1;
  *needed = static_cast<DWORD>(total);
  *returned = 0;
  if (total > cbBuf || (!out && total > 0)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  char* end = reinterpret_cast<char*>(out) + total;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<LPSTR> texts;
    for (const auto& text : rows[i]) {
      end -= text.size() + 1;
      std::memcpy(end, text.c_str(), text.size() + 1);
      texts.push_back(end);
    }
    Info info{};
    fill(info, texts, i);
    std::memcpy(out + i * sizeof(Info), &info, sizeof info);
  }
  *returned = static_cast<DWORD>(rows.size());
  return TRUE;
}

bool KnownEnvironment(const std::string& environment) {
  return environment == kEnvironmentNT || environment == kEnvironment95;
}

std::string DriverDirectory(const std::string& environment) {
  char system[MAX_PATH];
  UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) return std::string();
  std::string path = std::string(system) + "/spool";
  mkdir(path.c_str(), 0755);
  path += "/drivers";
  mkdir(path.c_str(), 0755);
  path += environment == kEnvironmentNT ? "/w32x86" : "/win40";
  mkdir(path.c_str(), 0755);
  return path;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PlainFileName(const std::string& name) {
  return !name.empty() && name.find_first_of("/\\") == std::string::npos && name != "." && name != "..";
}

// ".dll" in a file name stands for our ".so".
std::string SharedObjectName(const std::string& name) {
  if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0)
    return name.substr(0, name.size() - 4) + ".so";
  return name;
}

// Monitors this process loaded, kept loaded as a spooler keeps them (a
// module's registry layer cannot be unloaded without a leak).
std::map<std::string, std::unique_ptr<PortMonitor>>& LoadedMonitors() {
  static auto* s_monitors = new std::map<std::string, std::unique_ptr<PortMonitor>>;
  return *s_monitors;
}
std::mutex& LoadedLock() {
  static auto* s_lock = new std::mutex;
  return *s_lock;
}

PortMonitor* LoadedMonitor(const std::string& name, const std::string& file, std::string* error) {
  auto& monitors = LoadedMonitors();
  std::string key = name + "\n" + file;
  auto it = monitors.find(key);
  if (it != monitors.end()) return it->second.get();
  std::unique_ptr<PortMonitor> monitor = LoadPortMonitor(file, name, error);
  if (!monitor) return nullptr;
  PortMonitor* raw = monitor.get();
  monitors.emplace(key, std::move(monitor));
  return raw;
}

std::string MonitorKey(const std::string& name) { return std::string(kMonitorsKey) + "\\" + name; }

struct InstalledMonitor {
  std::string name;
  std::string file;
};

std::vector<InstalledMonitor> InstalledMonitors() {
  std::vector<InstalledMonitor> monitors;
  for (const std::string& name : SubKeys(kMonitorsKey)) {
    std::string file = MonitorFile(name);
    if (!file.empty()) monitors.push_back({name, file});
  }
  return monitors;
}

std::vector<PortEntry> AllPorts() {
  std::vector<PortEntry> all;
  std::lock_guard<std::mutex> hold(LoadedLock());
  for (const InstalledMonitor& installed : InstalledMonitors()) {
    std::string error;
    PortMonitor* monitor = LoadedMonitor(installed.name, installed.file, &error);
    if (!monitor) continue;
    monitor->Reinitialize();
    std::vector<PortEntry> ports;
    if (!monitor->EnumPorts(2, &ports) && !monitor->EnumPorts(1, &ports)) continue;
    for (PortEntry& port : ports) all.push_back(std::move(port));
  }
  return all;
}

std::string DriverKey(const std::string& environment, const std::string& name) {
  return std::string(kEnvironmentsKey) + "\\" + environment + "\\Drivers" + (name.empty() ? "" : "\\" + name);
}

struct PrinterObject {
  std::uint32_t magic = 0x50524E54;
  std::string name;
};

}  // namespace

bool AskServiceToReload(std::string* reply) {
  reply->clear();
  std::string path = service::RootPath(service::kSocketFile, false);
  struct sockaddr_un address;
  if (path.empty() || !service::SocketAddress(path, &address)) {
    *reply = "no spooler socket";
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *reply = std::strerror(errno);
    return false;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *reply = "the spooler service is not running";
    close(fd);
    return false;
  }
  struct timeval timeout{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  static const char request[] = "control=reload\n\n\0\0\0\0";
  bool sent = service::WriteAll(fd, request, sizeof request - 1);
  char c;
  while (sent && read(fd, &c, 1) == 1 && c != '\n') reply->push_back(c);
  close(fd);
  if (reply->empty()) *reply = "no answer from the spooler service";
  return reply->rfind("OK", 0) == 0;
}

}  // namespace mvn::spooler

using namespace mvn::spooler;

BOOL AddMonitorA(LPSTR, DWORD Level, LPBYTE pMonitors) {
  if (Level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (!pMonitors) return Fail(ERROR_INVALID_PARAMETER);
  MONITOR_INFO_2A info;
  std::memcpy(&info, pMonitors, sizeof info);
  std::string name = Text(info.pName), environment = Text(info.pEnvironment), dll = Text(info.pDLLName);
  if (name.empty() || name.find('\\') != std::string::npos || !PlainFileName(dll))
    return Fail(ERROR_INVALID_PARAMETER);
  if (environment != CurrentEnvironment()) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (!MonitorFile(name).empty()) return Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  char system[MAX_PATH];
  UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) return Fail(ERROR_PATH_NOT_FOUND);
  std::string file = std::string(system) + "/" + SharedObjectName(dll);
  if (!IsRegularFile(file)) return Fail(ERROR_MOD_NOT_FOUND);
  {
    std::lock_guard<std::mutex> hold(LoadedLock());
    std::string error;
    if (!LoadedMonitor(name, file, &error)) return Fail(ERROR_INVALID_PRINT_MONITOR);
  }
  Key key;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, MonitorKey(name).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                &key.key, nullptr);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Driver", file);
  if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
  // The running service loads it now; a service that is not running reads
  // it when it starts.
  std::string reply;
  AskServiceToReload(&reply);
  return TRUE;
}

BOOL AddPrinterDriverA(LPSTR, DWORD Level, LPBYTE pDriverInfo) {
  if (Level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (!pDriverInfo) return Fail(ERROR_INVALID_PARAMETER);
  DRIVER_INFO_2A info;
  std::memcpy(&info, pDriverInfo, sizeof info);
  std::string name = Text(info.pName);
  std::string environment = info.pEnvironment ? Text(info.pEnvironment) : CurrentEnvironment();
  if (!KnownEnvironment(environment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (!ValidPrinterName(name) || info.cVersion > 3) return Fail(ERROR_INVALID_PARAMETER);
  std::string directory = DriverDirectory(environment);
  std::string files[3] = {Text(info.pDriverPath), Text(info.pDataFile), Text(info.pConfigFile)};
  for (const std::string& file : files) {
    if (!PlainFileName(file)) return Fail(ERROR_INVALID_PARAMETER);
    if (!IsRegularFile(directory + "/" + SharedObjectName(file))) return Fail(ERROR_FILE_NOT_FOUND);
  }
  Key existing;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DriverKey(environment, name).c_str(), 0, KEY_READ, &existing.key) ==
      ERROR_SUCCESS)
    return Fail(ERROR_PRINTER_DRIVER_ALREADY_INSTALLED);
  Key key;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, DriverKey(environment, name).c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, &key.key, nullptr);
  if (status == ERROR_SUCCESS) status = SetNumber(key.key, "Version", info.cVersion);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Driver", files[0]);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Data File", files[1]);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Configuration File", files[2]);
  if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
  return TRUE;
}

HANDLE AddPrinterA(LPSTR, DWORD Level, LPBYTE pPrinter) {
  if (Level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return nullptr;
  }
  if (!pPrinter) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PRINTER_INFO_2A info;
  std::memcpy(&info, pPrinter, sizeof info);
  std::string name = Text(info.pPrinterName), port = Text(info.pPortName), driver = Text(info.pDriverName);
  std::string share = Text(info.pShareName), processor = Text(info.pPrintProcessor);
  std::string datatype = info.pDatatype ? Text(info.pDatatype) : "RAW";
  auto refuse = [](DWORD error) -> HANDLE {
    SetLastError(error);
    return nullptr;
  };
  if (!ValidPrinterName(name)) return refuse(ERROR_INVALID_PRINTER_NAME);
  std::string keyPath = std::string(kPrintersKey) + "\\" + name;
  {
    Key existing;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &existing.key) == ERROR_SUCCESS)
      return refuse(ERROR_PRINTER_ALREADY_EXISTS);
  }
  {
    Key known;
    if (driver.empty() || RegOpenKeyExA(HKEY_LOCAL_MACHINE, DriverKey(CurrentEnvironment(), driver).c_str(), 0,
                                        KEY_READ, &known.key) != ERROR_SUCCESS)
      return refuse(ERROR_UNKNOWN_PRINTER_DRIVER);
  }
  if (processor.empty() || strcasecmp(processor.c_str(), kPrintProcessor) != 0)
    return refuse(ERROR_UNKNOWN_PRINTPROCESSOR);
  if ((info.Attributes & PRINTER_ATTRIBUTE_SHARED) &&
      (share.empty() || share.find_first_of("\\/,") != std::string::npos))
    return refuse(ERROR_INVALID_SHARENAME);
  bool portKnown = false;
  for (const PortEntry& entry : AllPorts()) portKnown = portKnown || entry.name == port;
  if (port.empty() || !portKnown) return refuse(ERROR_UNKNOWN_PORT);
  Key key;
  LONG status =
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key.key, nullptr);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Port", port);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Printer Driver", driver);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Print Processor", processor);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Datatype", datatype);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Share Name", share);
  if (status == ERROR_SUCCESS) status = SetText(key.key, "Comment", Text(info.pComment));
  if (status == ERROR_SUCCESS) status = SetNumber(key.key, "Attributes", info.Attributes);
  if (status != ERROR_SUCCESS) return refuse(static_cast<DWORD>(status));
  auto* printer = new PrinterObject;
  printer->name = name;
  return printer;
}

BOOL ClosePrinter(HANDLE hPrinter) {
  auto* printer = static_cast<PrinterObject*>(hPrinter);
  if (!printer || printer->magic != 0x50524E54) return Fail(ERROR_INVALID_HANDLE);
  printer->magic = 0;
  delete printer;
  return TRUE;
}

BOOL EnumMonitorsA(LPSTR, DWORD Level, LPBYTE pMonitors, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (Level != 1 && Level != 2) return Fail(ERROR_INVALID_LEVEL);
  std::vector<std::vector<std::string>> rows;
  for (const InstalledMonitor& monitor : InstalledMonitors()) {
    std::string file = monitor.file.substr(monitor.file.rfind('/') + 1);
    if (Level == 1)
      rows.push_back({monitor.name});
    else
      rows.push_back({monitor.name, CurrentEnvironment(), file});
  }
  if (Level == 1)
    return Pack<MONITOR_INFO_1A>(rows, pMonitors, cbBuf, pcbNeeded, pcReturned,
                                 [](MONITOR_INFO_1A& info, const std::vector<LPSTR>& t, std::size_t) { info.pName = t[0]; });
  return Pack<MONITOR_INFO_2A>(rows, pMonitors, cbBuf, pcbNeeded, pcReturned,
                               [](MONITOR_INFO_2A& info, const std::vector<LPSTR>& t, std::size_t) {
                                 info.pName = t[0];
                                 info.pEnvironment = t[1];
                                 info.pDLLName = t[2];
                               });
}

BOOL EnumPrinterDriversA(LPSTR, LPSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf, LPDWORD pcbNeeded,
                         LPDWORD pcReturned) {
  if (Level != 1 && Level != 2) return Fail(ERROR_INVALID_LEVEL);
  std::string environment = pEnvironment ? Text(pEnvironment) : CurrentEnvironment();
  if (!KnownEnvironment(environment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  std::string directory = DriverDirectory(environment);
  std::vector<std::vector<std::string>> rows;
  std::vector<DWORD> versions;
  for (const std::string& name : SubKeys(DriverKey(environment, ""))) {
    Key key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DriverKey(environment, name).c_str(), 0, KEY_READ, &key.key) !=
        ERROR_SUCCESS)
      continue;
    std::string driver, data, config;
    ReadValue(key.key, "Driver", &driver);
    ReadValue(key.key, "Data File", &data);
    ReadValue(key.key, "Configuration File", &config);
    versions.push_back(ReadNumber(key.key, "Version"));
    if (Level == 1)
      rows.push_back({name});
    else
      rows.push_back({name, environment, directory + "/" + driver, directory + "/" + data, directory + "/" + config});
  }
  if (Level == 1)
    return Pack<DRIVER_INFO_1A>(rows, pDriverInfo, cbBuf, pcbNeeded, pcReturned,
                                [](DRIVER_INFO_1A& info, const std::vector<LPSTR>& t, std::size_t) { info.pName = t[0]; });
  return Pack<DRIVER_INFO_2A>(rows, pDriverInfo, cbBuf, pcbNeeded, pcReturned,
                              [&](DRIVER_INFO_2A& info, const std::vector<LPSTR>& t, std::size_t i) {
                                info.cVersion = versions[i];
                                info.pName = t[0];
                                info.pEnvironment = t[1];
                                info.pDriverPath = t[2];
                                info.pDataFile = t[3];
                                info.pConfigFile = t[4];
                              });
}

BOOL EnumPrintersA(DWORD Flags, LPSTR, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned) {
  if (Level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (!(Flags & PRINTER_ENUM_LOCAL)) return Fail(ERROR_INVALID_FLAGS);
  std::vector<std::vector<std::string>> rows;
  std::vector<DWORD> attributes;
  for (const std::string& name : SubKeys(kPrintersKey)) {
    Key key;
    std::string path = std::string(kPrintersKey) + "\\" + name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key.key) != ERROR_SUCCESS) continue;
    std::string share, port, driver, comment, processor, datatype;
    ReadValue(key.key, "Share Name", &share);
    ReadValue(key.key, "Port", &port);
    ReadValue(key.key, "Printer Driver", &driver);
    ReadValue(key.key, "Comment", &comment);
    ReadValue(key.key, "Print Processor", &processor);
    ReadValue(key.key, "Datatype", &datatype);
    attributes.push_back(ReadNumber(key.key, "Attributes"));
    rows.push_back({name, share, port, driver, comment, processor, datatype});
  }
  return Pack<PRINTER_INFO_2A>(rows, pPrinterEnum, cbBuf, pcbNeeded, pcReturned,
                               [&](PRINTER_INFO_2A& info, const std::vector<LPSTR>& t, std::size_t i) {
                                 info.pPrinterName = t[0];
                                 info.pShareName = t[1];
                                 info.pPortName = t[2];
                                 info.pDriverName = t[3];
                                 info.pComment = t[4];
                                 info.pPrintProcessor = t[5];
                                 info.pDatatype = t[6];
                                 info.Attributes = attributes[i];
                               });
}

BOOL EnumPortsA(LPSTR, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (Level != 1 && Level != 2) return Fail(ERROR_INVALID_LEVEL);
  std::vector<PortEntry> ports = AllPorts();
  std::vector<std::vector<std::string>> rows;
  std::vector<DWORD> types;
  for (const PortEntry& port : ports) {
    if (Level == 1)
      rows.push_back({port.name});
    else
      rows.push_back({port.name, port.monitor, port.description});
    types.push_back(port.type);
  }
  if (Level == 1)
    return Pack<PORT_INFO_1A>(rows, pPorts, cbBuf, pcbNeeded, pcReturned,
                              [](PORT_INFO_1A& info, const std::vector<LPSTR>& t, std::size_t) { info.pName = t[0]; });
  return Pack<PORT_INFO_2A>(rows, pPorts, cbBuf, pcbNeeded, pcReturned,
                            [&](PORT_INFO_2A& info, const std::vector<LPSTR>& t, std::size_t i) {
                              info.pPortName = t[0];
                              info.pMonitorName = t[1];
                              info.pDescription = t[2];
                              info.fPortType = types[i];
                            });
}

BOOL GetPrinterDriverDirectoryA(LPSTR, LPSTR pEnvironment, DWORD Level, LPBYTE pDriverDirectory, DWORD cbBuf,
                                LPDWORD pcbNeeded) {
  if (Level != 1) return Fail(ERROR_INVALID_LEVEL);
  if (!pcbNeeded) return Fail(ERROR_INVALID_PARAMETER);
  std::string environment = pEnvironment ? Text(pEnvironment) : CurrentEnvironment();
  if (!KnownEnvironment(environment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  std::string directory = DriverDirectory(environment);
  if (directory.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  *pcbNeeded = static_cast<DWORD>(directory.size() + 1);
  if (!pDriverDirectory || cbBuf < directory.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(pDriverDirectory, directory.c_str(), directory.size() + 1);
  return TRUE;
}
