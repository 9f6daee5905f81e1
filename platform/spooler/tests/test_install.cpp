// The spooler's installation side, GetVersionExA and the service control
// substitute, in this process on a private root with the real monitors.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "platform/spooler/install.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

class SpoolerInstall : public testing::Test {
 protected:
  void SetUp() override { setenv("MVN_ROOT", root.str().c_str(), 1); }
  void TearDown() override {}

  void SetPlatform(const char* version) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, mvn::spooler::kPlatformKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>(std::strlen(version) + 1));
    RegCloseKey(key);
  }
  std::string SystemDirectory() {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof system);
    return system;
  }
  std::string DriverDirectory(const char* environment) {
    char directory[MAX_PATH];
    DWORD needed = 0;
    EXPECT_TRUE(GetPrinterDriverDirectoryA(nullptr, const_cast<LPSTR>(environment), 1,
                                           reinterpret_cast<LPBYTE>(directory), sizeof directory, &needed));
    return directory;
  }
  // Installs a monitor under name from file, copied into the system directory.
  BOOL AddMonitor(const char* name, const char* environment, const char* source, const char* dll) {
    std::string file = dll;  // ".dll" names stand for our ".so" files
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".dll") == 0) file.replace(file.size() - 4, 4, ".so");
    // Never over a file that may be loaded already.
    if (!fs::exists(SystemDirectory() + "/" + file)) fs::copy_file(source, SystemDirectory() + "/" + file);
    MONITOR_INFO_2A info{const_cast<LPSTR>(name), const_cast<LPSTR>(environment), const_cast<LPSTR>(dll)};
    return AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  }
  void AddDriver(const char* environment) {
    std::string directory = DriverDirectory(environment);
    for (const char* file : {"pscript.so", "morvane.ppd", "pscrptui.so"}) mvntest::WriteFile(directory + "/" + file, "x");
    DRIVER_INFO_2A info{1, const_cast<LPSTR>("Morvane Printer"), const_cast<LPSTR>(environment),
                        const_cast<LPSTR>("pscript.dll"), const_cast<LPSTR>("morvane.ppd"),
                        const_cast<LPSTR>("pscrptui.dll")};
    ASSERT_TRUE(AddPrinterDriverA(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) << GetLastError();
  }
  void MakePortKey(const char* monitor, const char* port) {
    HKEY key = nullptr;
    std::string path = std::string("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\") + monitor + "\\" + port;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  DWORD AddPrinter(const char* name, const char* port, const char* driver = "Morvane Printer", DWORD attributes = 0,
                   const char* share = nullptr) {
    PRINTER_INFO_2A info{};
    info.pPrinterName = const_cast<LPSTR>(name);
    info.pPortName = const_cast<LPSTR>(port);
    info.pDriverName = const_cast<LPSTR>(driver);
    info.pPrintProcessor = const_cast<LPSTR>("winprint");
    info.pDatatype = const_cast<LPSTR>("RAW");
    info.pShareName = const_cast<LPSTR>(share);
    info.Attributes = attributes;
    HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (!printer) return GetLastError();
    EXPECT_TRUE(ClosePrinter(printer));
    return 0;
  }
  std::vector<std::string> Ports(DWORD level = 1) {
    DWORD needed = 0, count = 0;
    if (EnumPortsA(nullptr, level, nullptr, 0, &needed, &count)) {
      EXPECT_EQ(needed, 0u);  // nothing to list
      return {};
    }
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(EnumPortsA(nullptr, level, buffer.data(), needed - 1, &needed, &count));
    EXPECT_TRUE(EnumPortsA(nullptr, level, buffer.data(), needed, &needed, &count));
    std::vector<std::string> names;
    for (DWORD i = 0; i < count; ++i)
      names.push_back(level == 1 ? reinterpret_cast<PORT_INFO_1A*>(buffer.data())[i].pName
                                 : reinterpret_cast<PORT_INFO_2A*>(buffer.data())[i].pPortName);
    return names;
  }

  mvntest::TempDir root;
};

TEST_F(SpoolerInstall, GetVersionExAReportsThePlatformTheRootIsSetUpAs) {
  struct Case {
    const char* setting;
    BOOL ok;
    DWORD platform, major, minor;
  };
  for (const Case& c : {Case{nullptr, TRUE, VER_PLATFORM_WIN32_NT, 4, 0}, Case{"NT 4.0", TRUE, 2, 4, 0},
                        Case{"NT 3.51", TRUE, 2, 3, 51}, Case{"95", TRUE, VER_PLATFORM_WIN32_WINDOWS, 4, 0},
                        Case{"Win32s", TRUE, VER_PLATFORM_WIN32s, 1, 30}, Case{"other", TRUE, 3, 1, 0},
                        Case{"NT 5", FALSE, 0, 0, 0}}) {
    if (c.setting) SetPlatform(c.setting);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_EQ(GetVersionExA(&info), c.ok) << (c.setting ? c.setting : "(missing)");
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
      continue;
    }
    EXPECT_EQ(info.dwPlatformId, c.platform) << c.setting;
    EXPECT_EQ(info.dwMajorVersion, c.major) << c.setting;
    EXPECT_EQ(info.dwMinorVersion, c.minor) << c.setting;
  }
  OSVERSIONINFOA small{};
  small.dwOSVersionInfoSize = 8;
  EXPECT_FALSE(GetVersionExA(&small));
}

TEST_F(SpoolerInstall, MonitorsDriversPortsAndPrintersWithTheSpoolersErrors) {
  // Monitors: the root's environment only, the file in the system directory.
  EXPECT_FALSE(AddMonitor("Morvane Port Monitor", "Windows 4.0", MVNMON_PATH, "mvnmon.so"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ENVIRONMENT);
  MONITOR_INFO_2A missing{const_cast<LPSTR>("X"), const_cast<LPSTR>("Windows NT x86"), const_cast<LPSTR>("nothing.dll")};
  EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&missing)));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(AddMonitor("Wrong Kind", "Windows NT x86", MVNMON95_PATH, "mvnmon95.so"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINT_MONITOR);
  ASSERT_TRUE(AddMonitor("Morvane Port Monitor", "Windows NT x86", MVNMON_PATH, "mvnmon.dll")) << GetLastError();
  EXPECT_FALSE(AddMonitor("Morvane Port Monitor", "Windows NT x86", MVNMON_PATH, "mvnmon.dll"));
  EXPECT_EQ(GetLastError(), ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  EXPECT_EQ(mvn::spooler::MonitorFile("Morvane Port Monitor"), SystemDirectory() + "/mvnmon.so");

  // Driver directories per environment; the driver's files must be there.
  EXPECT_NE(DriverDirectory("Windows NT x86"), DriverDirectory("Windows 4.0"));
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterDriverDirectoryA(nullptr, const_cast<LPSTR>("Windows 3.1"), 1, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ENVIRONMENT);
  DRIVER_INFO_2A absent{1, const_cast<LPSTR>("Morvane Printer"), const_cast<LPSTR>("Windows NT x86"),
                        const_cast<LPSTR>("pscript.dll"), const_cast<LPSTR>("morvane.ppd"),
                        const_cast<LPSTR>("pscrptui.dll")};
  EXPECT_FALSE(AddPrinterDriverA(nullptr, 2, reinterpret_cast<LPBYTE>(&absent)));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  AddDriver("Windows NT x86");
  EXPECT_FALSE(AddPrinterDriverA(nullptr, 2, reinterpret_cast<LPBYTE>(&absent)));
  EXPECT_EQ(GetLastError(), ERROR_PRINTER_DRIVER_ALREADY_INSTALLED);

  // Ports come from the monitor itself, made since included.
  EXPECT_TRUE(Ports().empty());
  MakePortKey("Morvane Port Monitor", "MVN1");
  EXPECT_EQ(Ports(), std::vector<std::string>{"MVN1"});
  MakePortKey("Morvane Port Monitor", "MVN2");
  EXPECT_EQ(Ports(2), (std::vector<std::string>{"MVN1", "MVN2"}));

  // Printers: the real error numbers, in the spooler's order.
  EXPECT_EQ(AddPrinter("Fax", "MVN9"), ERROR_UNKNOWN_PORT);
  EXPECT_EQ(AddPrinter("Fax", "MVN1", "Other Driver"), ERROR_UNKNOWN_PRINTER_DRIVER);
  EXPECT_EQ(AddPrinter("Fax,2", "MVN1"), ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(AddPrinter("", "MVN1"), ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(AddPrinter("Fax", "MVN1", "Morvane Printer", PRINTER_ATTRIBUTE_SHARED), ERROR_INVALID_SHARENAME);
  EXPECT_EQ(AddPrinter(std::string(220, 'P').c_str(), "MVN1"), 0u);
  EXPECT_EQ(AddPrinter(std::string(221, 'P').c_str(), "MVN1"), ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(AddPrinter("Fax", "MVN2", "Morvane Printer", PRINTER_ATTRIBUTE_SHARED, "FAX"), 0u);
  EXPECT_EQ(AddPrinter("fax", "MVN1"), ERROR_PRINTER_ALREADY_EXISTS);  // names ignore case

  DWORD count = 0;
  EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  const auto* fax = reinterpret_cast<PRINTER_INFO_2A*>(buffer.data());
  EXPECT_STREQ(fax->pPrinterName, "Fax");
  EXPECT_STREQ(fax->pPortName, "MVN2");
  EXPECT_STREQ(fax->pShareName, "FAX");
  EXPECT_EQ(fax->Attributes, PRINTER_ATTRIBUTE_SHARED);
  EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 1, buffer.data(), needed, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
  EXPECT_FALSE(ClosePrinter(reinterpret_cast<HANDLE>(buffer.data())));
}

TEST_F(SpoolerInstall, TheSingleUserRootListsTheFixedPortsOfItsMonitor) {
  SetPlatform("95");
  EXPECT_FALSE(AddMonitor("Morvane Port Monitor", "Windows 4.0", MVNMON_PATH, "mvnmon.so"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINT_MONITOR);  // not a monitor of this spooler
  ASSERT_TRUE(AddMonitor("Morvane Port Monitor", "Windows 4.0", MVNMON95_PATH, "mvnmon95.dll")) << GetLastError();
  MakePortKey("Morvane Port Monitor", "MVN5");  // no port of that monitor
  EXPECT_EQ(Ports(2), (std::vector<std::string>{"MVN1", "MVN2", "MVN3", "MVN4", "MVNRND"}));
  AddDriver("Windows 4.0");
  EXPECT_EQ(AddPrinter("Fax", "MVN5"), ERROR_UNKNOWN_PORT);
  EXPECT_EQ(AddPrinter("Fax", "MVNRND"), 0u);
}

TEST_F(SpoolerInstall, ServiceControlOfAStoppedSpooler) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(OpenServiceA(manager, "Fax", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  SC_HANDLE service = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  for (DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}) {
    EXPECT_FALSE(ControlService(service, control, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  }
  EXPECT_FALSE(ControlService(service, 2, &status));  // pause: not offered
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
  // A pid file naming a process that is not the service counts for nothing.
  fs::create_directories(root.path() / "spool");
  mvntest::WriteFile(root / "spool/mvnspoold.pid", std::to_string(getpid()) + "\n");
  mvntest::WriteFile(root / "spool/mvnspoold.ready", std::to_string(getpid()) + "\n");
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_TRUE(CloseServiceHandle(manager));

  SetPlatform("95");
  EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace
