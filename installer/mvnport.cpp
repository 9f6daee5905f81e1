// mvnport add|configure|delete <monitor> [<port>]
//
// <monitor> is the name the monitor is installed under ("Morvane Port
// Monitor") or the name of its module ("MVNMON95" for mvnmon95.so).
//
// Does what a spooler does when a user adds, configures or deletes a port
// in a printer's properties: loads the monitor installed under that name
// (as the root's spooler loads it), calls its AddPort, ConfigurePort or
// DeletePort, whose dialogs show on the caller's display, and then asks the
// running spooler service to read its ports again.
//
// Root only on a multi-user root: a port's ExternalApplication is what the
// launchers of other users start, and the setup button sends a command to
// the console launcher. On a single-user root (the 95 mode) the desktop
// user, who runs the service, configures its ports.
//
// Exit codes: 0 done, 1 refused or failed, 2 a bad command line.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

#include "platform/kernel/rootsalone.h"
#include "platform/spooler/host.h"
#include "platform/spooler/install.h"

namespace {

// The installed monitor of that name, or else the one whose module has that
// name ("MVNMON95" for mvnmon95.so); "" when there is none.
std::string InstalledName(const std::string& name) {
  if (!mvn::spooler::MonitorFile(name).empty()) return name;
  DWORD needed = 0, count = 0;
  EnumMonitorsA(nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 1);
  if (!EnumMonitorsA(nullptr, 2, buffer.data(), needed, &needed, &count)) return std::string();
  for (DWORD i = 0; i < count; ++i) {
    const auto* info = reinterpret_cast<const MONITOR_INFO_2A*>(buffer.data()) + i;
    std::string module = info->pDLLName ? info->pDLLName : "";
    if (module.size() > 3 && module.compare(module.size() - 3, 3, ".so") == 0) module.resize(module.size() - 3);
    if (strcasecmp(module.c_str(), name.c_str()) == 0) return info->pName;
  }
  return std::string();
}

// The first printer whose port list names port; "" when none does.
std::string PrinterOnPort(const std::string& port) {
  DWORD needed = 0, count = 0;
  EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 1);
  if (!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &count)) return std::string();
  for (DWORD i = 0; i < count; ++i) {
    const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data()) + i;
    std::string ports = info->pPortName ? info->pPortName : "";
    std::string::size_type at = 0;
    while (at <= ports.size()) {
      std::string::size_type comma = ports.find(',', at);
      if (comma == std::string::npos) comma = ports.size();
      if (ports.compare(at, comma - at, port) == 0) return info->pPrinterName ? info->pPrinterName : "?";
      at = comma + 1;
    }
  }
  return std::string();
}

// Monitors stay loaded until the process ends, as in a spooler (a module's
// registry layer cannot be unloaded without a leak).
mvn::spooler::PortMonitor* g_kept = nullptr;

const char kUsage[] =
    "usage: mvnport add <monitor>\n"
    "       mvnport configure|delete <monitor> <port>\n"
    "Adds, configures or deletes a port of an installed port monitor of the machine\n"
    "root (MVN_ROOT) the way a spooler does, with the monitor's own dialogs, then asks\n"
    "the spooler service to read its ports again. <monitor> is the name it is\n"
    "installed under (\"Morvane Port Monitor\") or its module's (\"MVNMON95\").\n"
    "Root only (on a single-user root: its desktop user).\n"
    "Exit codes: 0 done, 1 refused or failed, 2 a bad command line.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (argc < 3) return Usage();
  std::string verb = argv[1], monitorName = argv[2];
  std::string port = argc > 3 ? argv[3] : "";
  if ((verb != "add" && verb != "configure" && verb != "delete") || argc > 4 ||
      (verb != "add" && port.empty()) || (verb == "add" && !port.empty()))
    return Usage();
  // Root reads the platform and loads a monitor only from a root of its own.
  if (!mvn::kernel::RequireMachineRootOfRoots()) return 1;
  // The desktop user of a single-user root may configure its ports only on
  // a root of their own: the root's platform is read from a registry that
  // whoever owns the root can write.
  const bool singleUser = mvn::spooler::CurrentPlatform() == mvn::spooler::Platform::Windows95;
  struct stat rootStat;
  const bool ownRoot = stat(MvnRootDirectory(), &rootStat) == 0 && rootStat.st_uid == geteuid();
  if (geteuid() != 0 && !(singleUser && ownRoot)) {
    std::fprintf(stderr, "mvnport: adding, configuring and deleting ports is for root only\n");
    return 1;
  }
  std::string installed = InstalledName(monitorName);
  std::string file = installed.empty() ? std::string() : mvn::spooler::MonitorFile(installed);
  if (file.empty()) {
    std::fprintf(stderr, "mvnport: no port monitor \"%s\" is installed\n", monitorName.c_str());
    return 1;
  }
  std::string error;
  monitorName = installed;
  std::unique_ptr<mvn::spooler::PortMonitor> monitor = mvn::spooler::LoadPortMonitor(file, monitorName, &error);
  if (!monitor) {
    std::fprintf(stderr, "mvnport: %s\n", error.c_str());
    return 1;
  }
  if (verb != "add") {
    // A port the monitor does not list has no dialog and nothing to delete:
    // say so rather than succeed silently.
    std::vector<mvn::spooler::PortEntry> ports;
    monitor->EnumPorts(1, &ports);
    bool known = false;
    for (const mvn::spooler::PortEntry& entry : ports) known = known || entry.name == port;
    if (!known) {
      std::fprintf(stderr, "mvnport: the monitor \"%s\" has no port %s\n", monitorName.c_str(), port.c_str());
      g_kept = monitor.release();
      return 1;
    }
  }
  if (verb == "delete") {
    std::string printer = PrinterOnPort(port);
    if (!printer.empty()) {
      std::fprintf(stderr, "mvnport: the port %s is used by the printer \"%s\": it is not deleted\n", port.c_str(),
                   printer.c_str());
      g_kept = monitor.release();
      return 1;
    }
  }
  bool done = verb == "add"         ? monitor->AddPort(monitorName)
              : verb == "configure" ? monitor->ConfigurePort(port)
                                    : monitor->DeletePort(port);
  if (!done) {
    std::fprintf(stderr, "mvnport: the monitor \"%s\" refused to %s %s\n", monitorName.c_str(), verb.c_str(),
                 port.empty() ? "a port" : port.c_str());
    g_kept = monitor.release();
    return 1;
  }
  std::string reply;
  if (mvn::spooler::AskServiceToReload(&reply))
    std::printf("mvnport: the spooler service read its ports again (%s)\n", reply.c_str());
  else
    std::printf("mvnport: the spooler service did not read its ports again (%s); it reads them when it starts\n",
                reply.c_str());
  g_kept = monitor.release();
  return 0;
}
