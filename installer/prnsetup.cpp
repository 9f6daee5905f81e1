// prnsetup [printer name [argument ...]]
//
// Installs the printing side of the fax product on this machine root: the
// driver files with the product's PPD (NT) or SPD (95) file and the port
// monitor are copied into place, the monitor and the printer driver are
// registered with the spooler, the port is made, the fax printer is
// created on it and the port's settings are written. Progress and listings
// go to standard output.
//
// Arguments after the printer name: a port (1 to 9, or MVN1 to MVN9 in any
// case), -s<share name> (8 characters used), an existing directory (the
// output directory) or an existing file (the external application); a
// later argument of a kind replaces an earlier one.
//
// Exit codes: 0 installed (every item present at the end), 1 a bad
// argument or no platform version, 2 the installation is incomplete (a
// file could not be copied or an item is missing at the end).
//
// The driver files come from the folders nt35/, nt40/ and win95/ beside
// the program, else from share/mvn/ of the tree the program is installed
// in (<program's folder>/../share/mvn/).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kernel/rootsalone.h"
#include "platform/kernel/utf.h"
#include "platform/kernel/win32.h"
#include "platform/registry/registry.h"
#include "platform/spooler/install.h"
#include "platform/spooler/outputfolder.h"

namespace {

constexpr const char* kMonitorName = "Morvane Port Monitor";
constexpr const char* kDriverName = "Morvane Printer";
constexpr const char* kPrintProcessor = "winprint";
constexpr const char* kDataType = "RAW";
constexpr const char* kMonitorKey = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\%s";
constexpr unsigned kWaitLimitMs = 60000;

enum Destination { kDriverDirectory = 1, kSystemDirectory = 2 };
struct FileItem {
  const char* name;
  Destination destination;
};

constexpr FileItem kWindows95Files[] = {
    {"morvane.spd", kDriverDirectory}, {"pscript.drv", kDriverDirectory}, {"pscript.hlp", kDriverDirectory},
    {"psmon.dll", kDriverDirectory},   {"iconlib.dll", kDriverDirectory}, {"fonts.mfm", kDriverDirectory},
    {"mvnmon95.dll", kSystemDirectory},
};
constexpr FileItem kWindowsNTFiles[] = {
    {"morvane.ppd", kDriverDirectory}, {"pscript.cnt", kDriverDirectory},  {"pscript.hlp", kDriverDirectory},
    {"pscript.dll", kDriverDirectory}, {"pscrptui.dll", kDriverDirectory}, {"mvnmon.dll", kSystemDirectory},
};

struct Settings {
  std::string printerName = "Morvane Printer";
  std::string portName = "MVN1";
  std::string shareName;
  std::string outputDirectory;
  std::string externalApplication;
  std::string environment = mvn::spooler::kEnvironment95;
  std::string driverDirectory;
};
Settings g;

// ".dll" in the lists stands for our ".so" files.
std::string DeliveredName(const char* name) {
  std::string file = name;
  if (file.size() > 4 && strcasecmp(file.c_str() + file.size() - 4, ".dll") == 0)
    file = file.substr(0, file.size() - 4) + ".so";
  return file;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string FullPath(const std::string& name) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  return n && n < sizeof full ? std::string(full) : name;
}

// The first bytes of text that hold at most count characters.
std::string FirstCharacters(const std::string& text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t n = 0; at < text.size() && n < count; ++n) at += mvn::kernel::DecodeUtf8At(text, at).length;
  return text.substr(0, at);
}

bool Argument(const std::string& arg) {
  if (arg.size() == 1 && arg[0] >= '1' && arg[0] <= '9') {
    g.portName = "MVN" + arg;
    return true;
  }
  if (arg.size() == 4 && strncasecmp(arg.c_str(), "MVN", 3) == 0 && arg[3] >= '1' && arg[3] <= '9') {
    g.portName = std::string("MVN") + arg[3];
    return true;
  }
  if (arg.size() > 2 && arg[0] == '-' && (arg[1] == 's' || arg[1] == 'S')) {
    g.shareName = FirstCharacters(arg.substr(2), 8);
    return g.shareName.find_first_of("\\/,") == std::string::npos;
  }
  if (arg.size() >= MAX_PATH || !Exists(arg)) return false;
  // Settings are read by other processes: the paths are stored in full.
  if (IsDirectory(arg))
    g.outputDirectory = FullPath(arg);
  else
    g.externalApplication = FullPath(arg);
  return true;
}

// The folder of the program's own file.
std::string ProgramFolder() {
  char self[MAX_PATH];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  std::string path = self;
  return path.substr(0, path.rfind('/'));
}

std::string SourceFolder(const char* subfolder) {
  std::string folder = ProgramFolder();
  std::string beside = folder + "/" + subfolder;
  if (IsDirectory(beside)) return beside;
  return folder + "/../share/mvn/" + subfolder;
}

// The system directory; false, said, when it cannot be had (never "",
// which would put files at the top of the file system).
bool SystemDirectory(std::string* folder) {
  char system[MAX_PATH];
  UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) {
    std::printf("GetSystemDirectory returned %d\n", static_cast<int>(n ? ERROR_FILENAME_EXCED_RANGE : GetLastError()));
    return false;
  }
  *folder = system;
  return true;
}

// Root copies and changes attributes only in folders no other user can
// change: every folder from folder up to "/" is root's and not writable by
// others (or sticky). On a root a user owns, that user's links would
// otherwise steer root's writes.
bool FoldersAreRoots(const std::string& folder) {
  if (geteuid() != 0) return true;
  std::string path = folder;
  for (;;) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
        ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
      std::printf("%s is not a folder of root's alone: nothing is copied there\n", path.c_str());
      return false;
    }
    if (path == "/") return true;
    std::string::size_type slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

bool CopyOne(const std::string& source, const FileItem& item) {
  std::string file = DeliveredName(item.name);
  std::string folder;
  if (item.destination == kDriverDirectory) {
    folder = g.driverDirectory;
  } else {
    if (!SystemDirectory(&folder)) return false;
  }
  if (!FoldersAreRoots(folder)) return false;
  std::string destination = folder + "/" + file;
  DWORD attributes = GetFileAttributesA(destination.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && item.destination == kDriverDirectory) return true;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    if (!SetFileAttributesA(destination.c_str(), FILE_ATTRIBUTE_NORMAL)) {
      std::printf("SetFileAttributes returned %d - %s\n", static_cast<int>(GetLastError()), destination.c_str());
      return false;
    }
  }
  std::string from = source + "/" + file;
  if (!CopyFileA(from.c_str(), destination.c_str(), FALSE)) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION)
      std::printf("Can't overwite %s, Sharing Violation!\n", destination.c_str());
    else
      std::printf("CopyFile returned %d\n", static_cast<int>(error));
    return false;
  }
  return true;
}

template <std::size_t N>
bool CopyList(const char* subfolder, const FileItem (&items)[N]) {
  std::string source = SourceFolder(subfolder);
  for (const FileItem& item : items)
    if (!CopyOne(source, item)) return false;
  return true;
}

// False, said, when the driver directory cannot be had: nothing may be
// copied to a destination that is not known.
bool ReadDriverDirectory() {
  char directory[MAX_PATH] = "";
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryA(nullptr, g.environment.data(), 1, reinterpret_cast<LPBYTE>(directory),
                                  sizeof directory, &needed) ||
      !directory[0]) {
    std::printf("GetPrinterDriverDirectory returned %d\n", static_cast<int>(GetLastError()));
    return false;
  }
  g.driverDirectory = directory;
  return true;
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "Unknown";
  }
}

enum SpoolerAction { kStop = 1, kStart = 2 };

void ControlSpooler(int action) {
  const char* name = "Spooler";
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return;
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
  if (!service) {
    CloseServiceHandle(manager);
    return;
  }
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) QueryServiceStatus(service, &status);
  if (action == kStop && status.dwCurrentState != SERVICE_STOPPED) {
    std::printf("Stopping %s ...\n", name);
    std::fflush(stdout);
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      unsigned waited = 0;
      while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
             waited < kWaitLimitMs) {
        Sleep(250);
        waited += 250;
      }
      if (status.dwCurrentState != SERVICE_STOPPED)
        std::printf("%s did not stop within %u seconds\n", name, kWaitLimitMs / 1000);
    } else {
      // Not ours to stop (another user's service): say so, and the state
      // below is the service's as it is.
      std::printf("ControlService returned %d\n", static_cast<int>(GetLastError()));
    }
    Sleep(1000);
    QueryServiceStatus(service, &status);
    std::printf("%s: %s\n", name, StateName(status.dwCurrentState));
  }
  if (action == kStart && status.dwCurrentState == SERVICE_STOPPED) {
    std::printf("Starting %s ...\n", name);
    std::fflush(stdout);
    if (StartServiceA(service, 0, nullptr)) {
      unsigned waited = 0;
      while (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_START_PENDING &&
             waited < kWaitLimitMs) {
        Sleep(1000);
        waited += 1000;
      }
      if (status.dwCurrentState == SERVICE_START_PENDING)
        std::printf("%s did not start within %u seconds\n", name, kWaitLimitMs / 1000);
    } else {
      std::printf("StartService returned %d\n", static_cast<int>(GetLastError()));
      QueryServiceStatus(service, &status);
    }
    std::printf("%s: %s\n", name, StateName(status.dwCurrentState));
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// One enumeration for the listings: (buffer, size, needed, returned).
using Enumerate = BOOL (*)(LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned);
using PrintEntry = const char* (*)(const BYTE* buffer, DWORD index, bool listing);

// Called silently to test for item, then with the listing on.
bool List(Enumerate enumerate, const char* enumName, const char* heading, const char* absent, PrintEntry entry,
          const std::string& item, bool listing) {
  DWORD needed = 0, returned = 0;
  if (!enumerate(nullptr, 0, &needed, &returned)) {
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      std::printf("%s returned %d\n", enumName, static_cast<int>(error));
      return false;
    }
  }
  DWORD size = needed + 512;
  auto* buffer = static_cast<BYTE*>(std::malloc(size));
  if (!buffer) {
    std::printf("malloc failed allocate %d bytes\n", static_cast<int>(size));
    return false;
  }
  if (!enumerate(buffer, size, &needed, &returned)) {
    std::printf("%s returned %d\n", enumName, static_cast<int>(GetLastError()));
    std::free(buffer);
    return false;
  }
  if (returned == 0) {
    std::printf("%s", absent);
    std::free(buffer);
    return false;
  }
  if (listing) std::printf("\n%s", heading);
  bool present = false;
  for (DWORD i = 0; i < returned; ++i) {
    const char* name = entry(buffer, i, listing);
    if (name && strcasecmp(name, item.c_str()) == 0) present = true;
  }
  std::free(buffer);
  return present;
}

void Labelled(const char* label, const char* value) { std::printf("    %-13s %s\n", label, value ? value : ""); }

bool ListMonitors(bool listing) {
  return List(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD r) { return EnumMonitorsA(nullptr, 1, b, s, n, r); }, "EnumMonitors",
      "Installed Port Monitors\n", "NO port monitors installed\n",
      [](const BYTE* b, DWORD i, bool listing) -> const char* {
        const auto* info = reinterpret_cast<const MONITOR_INFO_1A*>(b) + i;
        if (listing) std::printf("\t%s\n", info->pName);
        return info->pName;
      },
      kMonitorName, listing);
}

bool ListDrivers(bool listing) {
  return List(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD r) {
        return EnumPrinterDriversA(nullptr, g.environment.data(), 2, b, s, n, r);
      },
      "EnumPrinterDrivers", "Installed Print Drivers\n", "NO print drivers installed\n",
      [](const BYTE* b, DWORD i, bool listing) -> const char* {
        const auto* info = reinterpret_cast<const DRIVER_INFO_2A*>(b) + i;
        if (listing) {
          Labelled("Name", info->pName);
          Labelled("Environment", info->pEnvironment);
          Labelled("Driver Path", info->pDriverPath);
          Labelled("Data File", info->pDataFile);
          Labelled("Config", info->pConfigFile);
          std::printf("\n");
        }
        return info->pName;
      },
      kDriverName, listing);
}

bool ListPrinters(bool listing) {
  return List(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD r) {
        return EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, b, s, n, r);
      },
      "EnumPrinters", "Installed Printers\n", "NO printers installed\n",
      [](const BYTE* b, DWORD i, bool listing) -> const char* {
        const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(b) + i;
        if (listing) {
          Labelled("Name", info->pPrinterName);
          Labelled("Port", info->pPortName);
          Labelled("Driver", info->pDriverName);
          Labelled("Comment", info->pComment);
          Labelled("Processor", info->pPrintProcessor);
          Labelled("Data type", info->pDatatype);
          std::printf("\n");
        }
        return info->pPrinterName;
      },
      g.printerName, listing);
}

bool ListPorts(bool listing) {
  return List(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD r) { return EnumPortsA(nullptr, 1, b, s, n, r); }, "EnumPorts",
      "Installed Ports\n", "NO ports installed\n",
      [](const BYTE* b, DWORD i, bool listing) -> const char* {
        const auto* info = reinterpret_cast<const PORT_INFO_1A*>(b) + i;
        if (listing) Labelled("Port Name", info->pName);
        return info->pName;
      },
      g.portName, listing);
}

// Writes one REG_SZ value of the port; failures are silent.
void SetPortValue(const char* name, const std::string& value) {
  char root[256];
  std::snprintf(root, sizeof root, kMonitorKey, kMonitorName);
  HKEY monitor = nullptr, port = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, root, 0, nullptr, 0, KEY_WRITE, nullptr, &monitor, nullptr) !=
      ERROR_SUCCESS)
    return;
  if (RegCreateKeyExA(monitor, g.portName.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &port, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExA(port, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(port);
  }
  RegCloseKey(monitor);
}

// The port's output folder is written as given; when the spooler service
// would refuse jobs there (a user's folder, a user's link on its path),
// standard error says so and why.
void WarnOfOutputFolder() {
  if (g.outputDirectory.empty()) return;
  std::string warning = mvn::spooler::OutputFolderWarning(g.outputDirectory, geteuid());
  if (!warning.empty()) std::fprintf(stderr, "prnsetup: warning: %s\n", warning.c_str());
}

// The systemd unit of the spooler service and the machine root it serves.
constexpr const char* kBootUnit = "mvnspoold.service";
constexpr const char* kBootRoot = "/var/lib/mvn";

// Has systemd start the spooler service at boot, so printing goes on after
// a restart. Only where systemd runs the machine and the root installed is
// the one the unit serves; otherwise says why not. Never fails the install.
void EnableAtBoot() {
  struct stat st;
  const char* systemctl = nullptr;
  for (const char* candidate : {"/usr/bin/systemctl", "/bin/systemctl"})
    if (!systemctl && stat(candidate, &st) == 0 && S_ISREG(st.st_mode)) systemctl = candidate;
  char root[MAX_PATH] = "";
  MvnRootPath("", root, sizeof root, false);
  if (lstat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode) || !systemctl) {
    std::printf("Spooler service not enabled at boot: systemd does not run this machine; "
                "start mvnspoold after a restart\n");
    return;
  }
  if (std::strcmp(root, kBootRoot) != 0) {
    std::printf("Spooler service not enabled at boot: %s serves the machine root %s, this one is %s\n", kBootUnit,
                kBootRoot, root);
    return;
  }
  if (geteuid() != 0) {
    std::printf("Spooler service not enabled at boot: only root can enable %s\n", kBootUnit);
    return;
  }
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) dup2(null, STDIN_FILENO);
    execl(systemctl, systemctl, "--quiet", "enable", kBootUnit, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("Spooler service not enabled at boot: %s enable %s failed\n", systemctl, kBootUnit);
    return;
  }
  std::printf("Spooler service enabled at boot (%s)\n", kBootUnit);
}

int Install(bool windows95) {
  std::string dll = windows95 ? "mvnmon95.dll" : "mvnmon.dll";
  if (!ListMonitors(false)) {
    MONITOR_INFO_2A info{const_cast<LPSTR>(kMonitorName), g.environment.data(), dll.data()};
    if (!AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info)))
      std::printf("AddMonitor returned %d\n", static_cast<int>(GetLastError()));
  }
  if (!ListMonitors(true)) return 2;

  if (!ListDrivers(false)) {
    std::string driver = windows95 ? "pscript.drv" : "pscript.dll";
    std::string data = windows95 ? "morvane.spd" : "morvane.ppd";
    std::string config = windows95 ? "pscript.drv" : "pscrptui.dll";
    DRIVER_INFO_2A info{1, const_cast<LPSTR>(kDriverName), g.environment.data(), driver.data(), data.data(),
                        config.data()};
    if (!AddPrinterDriverA(nullptr, 2, reinterpret_cast<LPBYTE>(&info)))
      std::printf("AddPrinterDriver returned %d\n", static_cast<int>(GetLastError()));
  }
  if (!ListDrivers(true)) return 2;

  if (!ListPorts(false)) {
    SetPortValue("Launch", "0");
    // The monitor reads its ports when the spooler starts.
    ControlSpooler(kStop);
    ControlSpooler(kStart);
  }
  if (!ListPorts(true)) return 2;

  if (!ListPrinters(false)) {
    PRINTER_INFO_2A info{};
    info.pPrinterName = g.printerName.data();
    if (!g.shareName.empty()) info.pShareName = g.shareName.data();
    info.pPortName = g.portName.data();
    info.pDriverName = const_cast<LPSTR>(kDriverName);
    info.pPrintProcessor = const_cast<LPSTR>(kPrintProcessor);
    info.pDatatype = const_cast<LPSTR>(kDataType);
    info.Attributes = g.shareName.empty() ? 0 : PRINTER_ATTRIBUTE_SHARED;
    HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (printer) {
      if (!g.externalApplication.empty()) {
        SetPortValue("Launch", "1");
        SetPortValue("ExternalApplication", g.externalApplication);
      }
      SetPortValue("OutputDirectory", g.outputDirectory);
      WarnOfOutputFolder();
      ClosePrinter(printer);
      if (!windows95) EnableAtBoot();
    } else {
      std::printf("AddPrinter returned %d\n", static_cast<int>(GetLastError()));
    }
  }
  return ListPrinters(true) ? 0 : 2;
}

const char kUsage[] =
    "usage: prnsetup [printer name [argument ...]]\n"
    "Installs the fax printer on the machine root (MVN_ROOT): copies the driver files\n"
    "and the port monitor, registers them with the spooler, makes the port, creates\n"
    "the printer (default \"Morvane Printer\" on MVN1) and writes the port's settings.\n"
    "Arguments after the printer name:\n"
    "  1 to 9, MVN1 to MVN9   the port\n"
    "  -s<share name>         share the printer (8 characters are used)\n"
    "  <existing directory>   the port's output directory\n"
    "  <existing file>        the external application started for each job\n"
    "Exit codes: 0 installed, 1 a bad argument (or no platform version),\n"
    "2 the installation is incomplete.\n";

}  // namespace

int main(int argc, char** argv) {
  // Usage before anything else: nothing is installed or stopped for it.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  // Before the platform is read, the service stopped or started, or
  // anything copied: root installs only on a machine root of root's alone.
  if (!mvn::kernel::RequireMachineRootOfRoots()) return 2;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) {
    std::printf("GetVersionEx returned FALSE\n");
    return 1;
  }
  if (argc > 1) {
    // The whole name or none: a name the spooler would refuse is a bad
    // argument here.
    // A name that starts like a switch is a mistyped switch, not a printer.
    if (!mvn::spooler::ValidPrinterName(argv[1]) || argv[1][0] == '-') {
      std::printf("BAD command argument (%s)\n", argv[1]);
      return 1;
    }
    g.printerName = argv[1];
  }
  for (int i = 2; i < argc; ++i) {
    if (!Argument(argv[i])) {
      std::printf("BAD command argument (%s)\n", argv[i]);
      return 1;
    }
  }
  if (version.dwPlatformId == VER_PLATFORM_WIN32s) {
    std::printf("Function requires Windows 95 or Windows NT\n");
    return 0;
  }
  int result = 0;
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    if (!ReadDriverDirectory() || !CopyList("win95", kWindows95Files)) return 2;
    result = Install(true);
  } else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    // The environment first: the driver directory is the environment's.
    g.environment = mvn::spooler::kEnvironmentNT;
    if (!ReadDriverDirectory()) return 2;
    std::string system;
    if (!SystemDirectory(&system)) return 2;
    ControlSpooler(kStop);
    bool copied = version.dwMajorVersion == 3 ? CopyList("nt35", kWindowsNTFiles) : CopyList("nt40", kWindowsNTFiles);
    ControlSpooler(kStart);
    result = Install(false);
    if (!copied) result = 2;
  } else {
    return 0;
  }
  std::fflush(stdout);
  return result;
}
