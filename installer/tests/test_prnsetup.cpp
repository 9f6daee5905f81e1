// prnsetup on a fresh machine root, as a real process: what it prints,
// what it leaves in the registry and the file system, how it stops and
// starts the spooler service, and its arguments and platform branches.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

class Prnsetup : public testing::Test {
 protected:
  void SetUp() override {
    setenv("MVN_ROOT", root.str().c_str(), 1);
    SetValue("SYSTEM\\CurrentControlSet\\Services\\Spooler", "ImagePath", MVNSPOOLD_PATH);
  }
  void TearDown() override {
    StopService();
    unsetenv("MVN_ROOT");
  }

  void SetValue(const std::string& keyPath, const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
  void SetPlatform(const std::string& platform) {
    SetValue("SYSTEM\\CurrentControlSet\\Control\\Platform", "Version", platform);
  }
  std::string Value(const std::string& keyPath, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
    BYTE data[4096];
    DWORD size = sizeof data;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "<none>";
    if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(data));
    return std::string(reinterpret_cast<char*>(data));
  }
  std::string PortValue(const std::string& port, const char* name) {
    return Value("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor\\" + port, name);
  }
  std::string PrinterValue(const std::string& printer, const char* name) {
    return Value("SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + printer, name);
  }

  int Run(const std::string& program, const std::string& arguments, std::string* output) {
    return mvntest::RunShell("cd '" + root.str() + "' && " + program + " " + arguments + " 2>>'" +
                                 (root / "stderr.log") + "'",
                             output);
  }
  int RunPrnsetup(const std::string& arguments, std::string* output) { return Run(PRNSETUP_PATH, arguments, output); }

  pid_t ServicePid() {
    std::string text = mvntest::ReadFile(root / "spool/mvnspoold.pid");
    return text.empty() ? 0 : static_cast<pid_t>(std::stol(text));
  }
  bool ServiceReady() { return fs::exists(root / "spool/mvnspoold.ready"); }
  void StopService() {
    pid_t pid = ServicePid();
    if (pid > 0 && kill(pid, SIGTERM) == 0) mvntest::WaitFor([&] { return kill(pid, 0) != 0; });
  }

  std::string DriverDirectory(const char* environment) {
    return root / (std::string("windows/system/spool/drivers/") + environment);
  }

  mvntest::TempDir root;
};

// What the four listings print once everything is there (NT, defaults).
std::string Listings(const std::string& driverDirectory) {
  return "\nInstalled Port Monitors\n"
         "\tMorvane Port Monitor\n"
         "\nInstalled Print Drivers\n"
         "    Name          Morvane Printer\n"
         "    Environment   Windows NT x86\n"
         "    Driver Path   " + driverDirectory + "/pscript.dll\n"
         "    Data File     " + driverDirectory + "/morvane.ppd\n"
         "    Config        " + driverDirectory + "/pscrptui.dll\n"
         "\n"
         "\nInstalled Ports\n"
         "    Port Name     MVN1\n"
         "\nInstalled Printers\n"
         "    Name          Morvane Printer\n"
         "    Port          MVN1\n"
         "    Driver        Morvane Printer\n"
         "    Comment       \n"
         "    Processor     winprint\n"
         "    Data type     RAW\n"
         "\n";
}

TEST_F(Prnsetup, FirstRunInstallsEverythingAndASecondRunAddsNothing) {
  std::string output;
  ASSERT_EQ(RunPrnsetup("", &output), 0) << output << mvntest::ReadFile(root / "stderr.log");
  const std::string drivers = DriverDirectory("w32x86");
  std::string monitors = "\nInstalled Port Monitors\n\tMorvane Port Monitor\n";
  EXPECT_EQ(output,
            "Starting Spooler ...\n"
            "Spooler: RUNNING\n"
            "NO port monitors installed\n" +
                monitors +
                "NO print drivers installed\n"
                "\nInstalled Print Drivers\n"
                "    Name          Morvane Printer\n"
                "    Environment   Windows NT x86\n"
                "    Driver Path   " +
                drivers + "/pscript.dll\n    Data File     " + drivers + "/morvane.ppd\n    Config        " + drivers +
                "/pscrptui.dll\n\n"
                "NO ports installed\n"
                "Stopping Spooler ...\n"
                "Spooler: STOPPED\n"
                "Starting Spooler ...\n"
                "Spooler: RUNNING\n"
                "\nInstalled Ports\n"
                "    Port Name     MVN1\n"
                "NO printers installed\n"
                "Spooler service not enabled at boot: systemd does not run this machine; "
                "start mvnspoold after a restart\n"
                "\nInstalled Printers\n"
                "    Name          Morvane Printer\n"
                "    Port          MVN1\n"
                "    Driver        Morvane Printer\n"
                "    Comment       \n"
                "    Processor     winprint\n"
                "    Data type     RAW\n"
                "\n");
  // Files: the driver files in the environment's driver directory, the
  // monitor in the system directory.
  for (const char* file : {"morvane.ppd", "pscript.cnt", "pscript.hlp", "pscript.so", "pscrptui.so"})
    EXPECT_TRUE(fs::is_regular_file(drivers + "/" + file)) << file;
  EXPECT_TRUE(fs::is_regular_file(root / "windows/system/mvnmon.so"));
  EXPECT_NE(mvntest::ReadFile(drivers + "/morvane.ppd").find("*PPD-Adobe: \"4.3\""), std::string::npos);
  // The registry.
  EXPECT_EQ(Value("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor", "Driver"),
            root / "windows/system/mvnmon.so");
  const std::string driverKey =
      "SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Morvane Printer";
  EXPECT_EQ(Value(driverKey, "Version"), "1");
  EXPECT_EQ(Value(driverKey, "Data File"), "morvane.ppd");
  EXPECT_EQ(PortValue("MVN1", "Launch"), "0");
  EXPECT_EQ(PortValue("MVN1", "OutputDirectory"), "");
  EXPECT_EQ(PortValue("MVN1", "ExternalApplication"), "<none>");
  EXPECT_EQ(PrinterValue("Morvane Printer", "Port"), "MVN1");
  EXPECT_EQ(PrinterValue("Morvane Printer", "Printer Driver"), "Morvane Printer");
  EXPECT_EQ(PrinterValue("Morvane Printer", "Attributes"), "0");
  // The service runs, detached from prnsetup's output (the shell's pipe
  // closed although the service lives on).
  pid_t first = ServicePid();
  EXPECT_GT(first, 0);
  EXPECT_TRUE(ServiceReady());
  EXPECT_NE(mvntest::ReadFile(root / "spool/mvnspoold.log").find("Morvane Port Monitor loaded with 1 ports"),
            std::string::npos);

  // A second run adds nothing: the spooler is restarted around the copies,
  // and the four listings follow.
  SetValue("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor\\MVN1", "OutputDirectory",
           "/kept");
  ASSERT_EQ(RunPrnsetup("", &output), 0) << output;
  EXPECT_EQ(output, "Stopping Spooler ...\nSpooler: STOPPED\nStarting Spooler ...\nSpooler: RUNNING\n" +
                        Listings(drivers));
  EXPECT_EQ(PortValue("MVN1", "OutputDirectory"), "/kept");  // port values only for a new printer
  EXPECT_NE(ServicePid(), first);
  EXPECT_TRUE(ServiceReady());
}

TEST_F(Prnsetup, ArgumentsChooseThePortShareFolderAndApplication) {
  fs::create_directories(root / "faxes");
  mvntest::WriteFile(root / "viewer", "#!/bin/sh\n");
  const std::string name(40, 'F');  // longer than 31 bytes: taken whole
  std::string output;
  ASSERT_EQ(RunPrnsetup("'" + name + "' 3 -sFAXSHARED1 faxes mvn7 viewer", &output), 0) << output;
  EXPECT_NE(output.find("    Port Name     MVN7\n"), std::string::npos) << output;
  EXPECT_EQ(PrinterValue(name, "Port"), "MVN7");
  EXPECT_EQ(PrinterValue(name, "Share Name"), "FAXSHARE");
  EXPECT_EQ(PrinterValue(name, "Attributes"), "8");
  EXPECT_EQ(PortValue("MVN7", "OutputDirectory"), root / "faxes");  // stored in full
  EXPECT_EQ(PortValue("MVN7", "ExternalApplication"), root / "viewer");
  EXPECT_EQ(PortValue("MVN7", "Launch"), "1");
  EXPECT_EQ(PortValue("MVN3", "Launch"), "<no key>");
  EXPECT_EQ(mvntest::ReadFile(root / "stderr.log").find("warning"), std::string::npos)
      << "a folder of root's takes every job";

  // Bad arguments end the program at once with exit code 1.
  struct Case {
    std::string arguments;
    std::string shown;
  };
  for (const Case& c : {Case{"Fax 0", "0"}, Case{"Fax 10", "10"}, Case{"Fax MVN0", "MVN0"},
                        Case{"Fax /no/such/path", "/no/such/path"}, Case{"Fax -s", "-s"},
                        Case{"'Fax,Two'", "Fax,Two"}, Case{"'Fax\\Two'", "Fax\\Two"}}) {
    EXPECT_EQ(RunPrnsetup(c.arguments, &output), 1) << c.arguments;
    EXPECT_EQ(output, "BAD command argument (" + c.shown + ")\n") << c.arguments;
  }
}

// A folder the spooler service would refuse jobs in (a user's, or one
// behind a user's link) is still the port's output folder, as given; a
// warning on standard error names it and says why.
TEST_F(Prnsetup, WarnsOfAnOutputFolderTheServiceWouldRefuse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders and links to another user";
  constexpr uid_t kUser = 60001;
  fs::create_directories(root / "ann");
  ASSERT_EQ(chown((root / "ann").c_str(), kUser, kUser), 0);
  fs::create_directories(root / "real");
  fs::create_directory_symlink(root / "real", root / "through");
  ASSERT_EQ(lchown((root / "through").c_str(), kUser, kUser), 0);
  struct Case {
    std::string arguments;
    std::string port;
    std::string folder;
    std::string warning;
  } cases[] = {
      {"'Ann Fax' 2 ann", "MVN2", root / "ann",
       "prnsetup: warning: The output folder " + (root / "ann") +
           " belongs to the user 60001, not to root or to the spooler service's user root: the spooler service "
           "writes only 60001's print jobs there, and every other user's job on this port fails.\n"},
      {"'Linked Fax' 3 through", "MVN3", root / "through",
       "prnsetup: warning: The output folder " + (root / "through") +
           " is reached through a symbolic link that belongs to a user: the spooler service writes no print job "
           "there, and every job on this port fails.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    fs::remove(root / "stderr.log");
    std::string output;
    EXPECT_EQ(RunPrnsetup(c.arguments, &output), 0) << output;
    EXPECT_EQ(PortValue(c.port, "OutputDirectory"), c.folder);
    EXPECT_EQ(mvntest::ReadFile(root / "stderr.log"), c.warning);
  }
}

TEST_F(Prnsetup, PlatformBranches) {
  struct Case {
    const char* platform;
    int exitCode;
    const char* output;
  };
  for (const Case& c : {Case{"Win32s", 0, "Function requires Windows 95 or Windows NT\n"}, Case{"other", 0, ""},
                        Case{"broken", 1, "GetVersionEx returned FALSE\n"}}) {
    SetPlatform(c.platform);
    std::string output;
    EXPECT_EQ(RunPrnsetup("", &output), c.exitCode) << c.platform;
    EXPECT_EQ(output, c.output) << c.platform;
  }
  // The version comes first: a bad argument is not even looked at.
  std::string output;
  EXPECT_EQ(RunPrnsetup("Fax 0", &output), 1);
  EXPECT_EQ(output, "GetVersionEx returned FALSE\n");
  EXPECT_FALSE(fs::exists(root / "windows/system/mvnmon.so"));
}

TEST_F(Prnsetup, TheSingleUserBranchHasNoServiceAndOnlyTheMonitorsFixedPorts) {
  SetPlatform("95");
  std::string output;
  ASSERT_EQ(RunPrnsetup("", &output), 0) << output;
  const std::string drivers = DriverDirectory("win40");
  EXPECT_EQ(output.find("Spooler"), std::string::npos) << output;  // no service control manager
  EXPECT_NE(output.find("    Environment   Windows 4.0\n    Driver Path   " + drivers + "/pscript.drv\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("\nInstalled Ports\n    Port Name     MVN1\n    Port Name     MVN2\n    Port Name     MVN3\n"
                        "    Port Name     MVN4\n    Port Name     MVNRND\n"),
            std::string::npos)
      << output;
  for (const char* file : {"morvane.spd", "pscript.drv", "pscript.hlp", "psmon.so", "iconlib.so", "fonts.mfm"})
    EXPECT_TRUE(fs::is_regular_file(drivers + "/" + file)) << file;
  EXPECT_TRUE(fs::is_regular_file(root / "windows/system/mvnmon95.so"));
  EXPECT_EQ(PrinterValue("Morvane Printer", "Port"), "MVN1");
  // A fixed port is there already: no key is made for it, only the values
  // of the new printer are written.
  EXPECT_EQ(PortValue("MVN1", "Launch"), "<none>");
  EXPECT_EQ(PortValue("MVN1", "OutputDirectory"), "");

  // MVN5 is none of the monitor's ports: no printer, and the exit says so.
  ASSERT_EQ(RunPrnsetup("Fax5 5", &output), 2) << output;
  EXPECT_EQ(output.find("Installed Printers"), std::string::npos) << output;
  EXPECT_EQ(PrinterValue("Fax5", "Port"), "<no key>");
}

TEST_F(Prnsetup, CopyRulesAndTheSourceFolders) {
  // An installed tree: the program in bin/, its folders in share/mvn/.
  mvntest::TempDir tree;
  fs::create_directories(tree.path() / "bin");
  fs::create_directories(tree.path() / "share/mvn");
  fs::copy_file(PRNSETUP_PATH, tree.path() / "bin/prnsetup");
  fs::permissions(tree.path() / "bin/prnsetup", fs::perms::owner_all);
  for (const char* folder : {"nt35", "nt40"})
    fs::copy(fs::path(PRNSETUP_DIR) / folder, tree.path() / "share/mvn" / folder, fs::copy_options::recursive);
  mvntest::WriteFile(tree / "share/mvn/nt35/pscript.hlp", "help of the NT 3 folder\n");
  fs::remove(tree.path() / "share/mvn/nt40/pscript.cnt");

  // Driver directory: an existing file is kept. System directory: replaced,
  // a read-only file first made writable.
  const std::string drivers = DriverDirectory("w32x86");
  fs::create_directories(drivers);
  fs::create_directories(root / "windows/system");
  mvntest::WriteFile(drivers + "/morvane.ppd", "mine\n");
  mvntest::WriteFile(root / "windows/system/mvnmon.so", "old\n");
  chmod((root / "windows/system/mvnmon.so").c_str(), 0444);

  SetPlatform("NT 3.51");
  std::string output;
  ASSERT_EQ(Run(tree / "bin/prnsetup", "", &output), 0) << output;
  EXPECT_EQ(mvntest::ReadFile(drivers + "/morvane.ppd"), "mine\n");
  EXPECT_EQ(mvntest::ReadFile(drivers + "/pscript.hlp"), "help of the NT 3 folder\n");
  EXPECT_EQ(mvntest::ReadFile(root / "windows/system/mvnmon.so"),
            mvntest::ReadFile(std::string(PRNSETUP_DIR) + "/nt35/mvnmon.so"));

  // NT 4.0 copies from nt40/, where a file is missing: said, the rest of
  // the installation goes on, and the exit tells the failure.
  StopService();
  fs::remove(drivers + "/pscript.cnt");
  SetPlatform("NT 4.0");
  EXPECT_EQ(Run(tree / "bin/prnsetup", "", &output), 2) << output;
  EXPECT_NE(output.find("CopyFile returned 2\nStarting Spooler ...\nSpooler: RUNNING\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("\nInstalled Printers\n"), std::string::npos) << output;
}

TEST_F(Prnsetup, StartsTheSpoolerBesideItWithoutARegisteredPath) {
  // The build tree lays the programs out as the install tree does, so
  // prnsetup finds mvnspoold beside it when no ImagePath is registered.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Spooler", 0, KEY_WRITE, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(key, "ImagePath"), ERROR_SUCCESS);
  RegCloseKey(key);
  std::string output;
  ASSERT_EQ(RunPrnsetup("", &output), 0) << output << mvntest::ReadFile(root / "stderr.log");
  EXPECT_NE(output.find("Starting Spooler ...\nSpooler: RUNNING\n"), std::string::npos) << output;
  pid_t pid = ServicePid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"), fs::canonical(MVNSPOOLD_PATH));
}

TEST(PrnsetupRoots, ADirectoryThatCannotBeHadStopsTheInstallAndNothingGoesToTheTop) {
  // A root whose folders do not fit a path, and one where "windows" is a
  // file: each query's failure is said and nothing is copied anywhere.
  struct Case {
    const char* name;
    std::string (*prepare)(const fs::path& base);
    const char* message;
  };
  const Case cases[] = {
      {"long root", [](const fs::path& base) { return (base / std::string(230, 'r')).string(); },
       "GetPrinterDriverDirectory returned "},
      {"windows is a file",
       [](const fs::path& base) {
         fs::create_directories(base / "root");
         mvntest::WriteFile(base / "root/windows", "");
         return (base / "root").string();
       },
       "GetPrinterDriverDirectory returned "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mvntest::TempDir base;
    std::string rootPath = c.prepare(base.path());
    fs::create_directories(rootPath);
    std::string output;
    int code = mvntest::RunShell("MVN_ROOT='" + rootPath + "' " + PRNSETUP_PATH + " 2>/dev/null", &output);
    EXPECT_EQ(code, 2) << output;
    EXPECT_EQ(output.rfind(c.message, 0), 0u) << output;
    EXPECT_FALSE(fs::exists("/mvnmon.so"));
    EXPECT_FALSE(fs::exists("/morvane.ppd"));
    EXPECT_FALSE(fs::exists(fs::path(rootPath) / "spool/mvnspoold.pid"));
  }
}

}  // namespace
