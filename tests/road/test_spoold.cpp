// The spooler service as a real process on a private root: mvnspoold loads
// mvnmon from the registry, mvnprint submits real files, and the spool file,
// render notice or refusal comes out as the port says.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "tests/support/process.h"
#include "tests/support/spool.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using mvntest::SpoolFiles;

const char kPostScript[] =
    "%!PS-Adobe-3.0\n%%Title: test page\n%%Pages: 1\n%%EndComments\n"
    "/Helvetica findfont 12 scalefont setfont\n72 720 moveto (Fax test page) show\nshowpage\n%%EOF\n";

void SetString(const std::string& key, const char* name, const std::string& value) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(handle);
}

// Runs a command line through the shell; returns its exit code and output.
int RunCommand(const std::string& command, std::string* output) {
  return mvntest::RunShell(command + " 2>&1", output);
}

class SpooldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_out = m_root / "out";
    fs::create_directories(m_out);
    std::string monitor = spooler::MonitorRegistryRoot("MVNMON");
    SetString(std::string(spooler::kMonitorsKey) + "\\MVNMON", "Driver", MVNMON_PATH);
    SetString(monitor + "\\MVN1", "OutputDirectory", m_out);
    SetString(monitor + "\\MVN1", "AddUserID", "1");
    SetString(monitor + "\\MVN2", "MailSlot", "faxrender");
    SetString(std::string(spooler::kPrintersKey) + "\\Fax Printer", "Port", "MVN1");
    SetString(std::string(spooler::kPrintersKey) + "\\Fax Render", "Port", "MVN2");
  }
  void TearDown() override {
    if (m_pid > 0) Stop();
  }

  void Start() {
    mvntest::ChildProcess::Options options;
    options.output = m_root / "spoold.log";
    m_service = std::make_unique<mvntest::ChildProcess>(std::vector<std::string>{MVNSPOOLD_PATH}, options);
    ASSERT_TRUE(m_service->Started());
    m_pid = m_service->Pid();
    for (int i = 0; i < 500 && !fs::exists(m_root / "spool/mvnspoold.ready"); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(m_root / "spool/mvnspoold.ready")) << mvntest::ReadFile(options.output);
  }
  int Stop() {
    int code = m_service->Stop();
    m_service.reset();
    m_pid = -1;
    return code;
  }
  std::string Print(const std::string& arguments, int* code) {
    std::string output;
    *code = RunCommand(std::string(MVNPRINT_PATH) + " " + arguments, &output);
    return output;
  }

  mvntest::TestRoot m_root;
  std::string m_out;
  std::unique_ptr<mvntest::ChildProcess> m_service;
  pid_t m_pid = -1;
};

TEST_F(SpooldTest, PrintsAFileIntoThePortsOutputDirectoryAndStops) {
  Start();
  EXPECT_EQ(mvntest::ReadFile(m_root / "spool/mvnspoold.pid"), std::to_string(m_pid) + "\n");
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Printer' -U JSMITH -T 'Test page' " + page, &code);
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find("printed on Fax Printer (" + std::to_string(sizeof kPostScript - 1) + " bytes)"),
            std::string::npos)
      << output;
  std::vector<std::string> files = SpoolFiles(m_out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]),
            std::string("!MORVANE-MVNMON\r\nUSER ID=JSMITH\r\n!END\r\n") + kPostScript);

  // From standard input, under the caller's own name.
  fs::remove(files[0]);
  output = Print("-P 'Fax Printer' - < " + page, &code);
  EXPECT_EQ(code, 0) << output;
  files = SpoolFiles(m_out);
  ASSERT_EQ(files.size(), 1u);
  char me[256];
  DWORD size = sizeof me;
  ASSERT_TRUE(GetUserNameA(me, &size));
  EXPECT_EQ(mvntest::ReadFile(files[0]),
            std::string("!MORVANE-MVNMON\r\nUSER ID=") + me + "\r\n!END\r\n" + kPostScript);

  EXPECT_EQ(Stop(), 0);
  EXPECT_FALSE(fs::exists(m_root / "spool/mvnspoold.ready"));
  EXPECT_FALSE(fs::exists(m_root / "spool/mvnspoold.pid"));
  EXPECT_FALSE(fs::exists(m_root / "spool/mvnspoold.sock"));
  output = Print("-P 'Fax Printer' " + page, &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("not running"), std::string::npos) << output;
}

TEST_F(SpooldTest, RenderJobSpoolsIntoTheSharedSpoolFolder) {
  Start();
  HANDLE render = CreateMailslotA("\\\\.\\mailslot\\faxrender", 0, 5000, nullptr);
  ASSERT_NE(render, INVALID_HANDLE_VALUE);
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Render' " + page, &code);
  EXPECT_EQ(code, 0) << output;
  char message[1024];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(render, message, sizeof message, &read, nullptr));
  CloseHandle(render);
  ASSERT_GT(read, 1u);
  EXPECT_EQ(message[read - 1], '\0');
  std::string path(message, read - 1);
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(m_root / "spool/temp"));
  EXPECT_EQ(mvntest::ReadFile(path), kPostScript);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07, 0u);  // nobody but the owner and the spool group reads it
  ASSERT_EQ(stat((m_root / "spool/temp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
}

TEST_F(SpooldTest, LaunchJobFileIsHandedToTheJobsUser) {
  if (geteuid() != 0) GTEST_SKIP() << "only a service running as root hands files over";
  struct passwd* nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  std::string monitor = spooler::MonitorRegistryRoot("MVNMON");
  SetString(monitor + "\\MVN3", "ExternalApplication", "/opt/fax/client");
  SetString(monitor + "\\MVN3", "Launch", "1");
  SetString(std::string(spooler::kPrintersKey) + "\\Fax Client", "Port", "MVN3");
  Start();
  HANDLE launcher = CreateMailslotA("\\\\.\\mailslot\\mvncuial", 260, 5000, nullptr);
  ASSERT_NE(launcher, INVALID_HANDLE_VALUE);
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Client' -U nobody " + page, &code);
  EXPECT_EQ(code, 0) << output;
  char message[261];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(launcher, message, sizeof message, &read, nullptr));
  CloseHandle(launcher);
  std::string command(message, read);
  ASSERT_EQ(command.rfind("/opt/fax/client ", 0), 0u) << command;
  std::string path = command.substr(16, command.size() - 17);
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(m_root / "spool/temp"));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(mvntest::ReadFile(path), kPostScript);
}

TEST_F(SpooldTest, ConsoleLauncherStartsTheApplicationOnTheFinishedFile) {
  // The application copies the file it is given next to the root.
  std::string script = m_root / "viewer.sh";
  std::string copy = m_root / "viewed.ps";
  mvntest::WriteFile(script, "#!/bin/sh\ncp \"$1\" '" + copy + ".part' && mv '" + copy + ".part' '" + copy + "'\n");
  chmod(script.c_str(), 0755);
  std::string monitor = spooler::MonitorRegistryRoot("MVNMON");
  SetString(monitor + "\\MVN4", "ExternalApplication", script);
  SetString(monitor + "\\MVN4", "Launch", "2");
  SetString(std::string(spooler::kPrintersKey) + "\\Fax Viewer", "Port", "MVN4");
  Start();
  // The launcher obeys the service's user.
  setenv("MVN_SPOOLER_USER", std::to_string(geteuid()).c_str(), 1);
  mvntest::ChildProcess launcher({MVNCUIAL_PATH}, {});
  ASSERT_TRUE(launcher.Started());
  for (int i = 0; i < 500 && !fs::exists(m_root / "mailslot/mvncuial"); ++i) std::this_thread::sleep_for(10ms);
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Viewer' " + page, &code);
  EXPECT_EQ(code, 0) << output;
  for (int i = 0; i < 500 && !fs::exists(copy); ++i) std::this_thread::sleep_for(10ms);
  launcher.Stop();
  unsetenv("MVN_SPOOLER_USER");
  EXPECT_EQ(mvntest::ReadFile(copy), kPostScript);
  EXPECT_EQ(SpoolFiles(m_root / "spool/temp").size(), 1u);  // the application owns it now
}

TEST_F(SpooldTest, RefusesUnknownPrintersAndIncompleteJobs) {
  Start();
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'No Such Printer' " + page, &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("no printer \"No Such Printer\""), std::string::npos) << output;
  output = Print("-P 'Fax Printer' " + (m_root / "missing.ps"), &code);
  EXPECT_EQ(code, 1);
  output = Print("-X", &code);
  EXPECT_EQ(code, 2);
  // Data cut off before its end is never printed.
  output.clear();
  RunCommand("printf 'printer=Fax Printer\\n\\n\\005\\000\\000\\000ab' | python3 -c \"import socket,sys;"
      "s=socket.socket(socket.AF_UNIX);s.connect('" + (m_root / "spool/mvnspoold.sock") +
          "');s.sendall(sys.stdin.buffer.read());s.shutdown(socket.SHUT_WR);print(s.recv(200).decode())\"",
      &output);
  EXPECT_NE(output.find("ERROR the job's data ended early"), std::string::npos) << output;
  EXPECT_TRUE(SpoolFiles(m_out).empty());
}

}  // namespace
