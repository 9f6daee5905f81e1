// The spooler service as a real process on a private root: mvnspoold loads
// mvnmon from the registry, mvnprint submits real files, and the spool file,
// render notice or refusal comes out as the port says.
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
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

void SetDword(const std::string& key, const char* name, DWORD value) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
  RegCloseKey(handle);
}

// Connects to the service, sends request and returns the reply line (the
// service may close the connection before all of it is sent).
std::string Exchange(const std::string& socketPath, const std::string& request) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socketPath.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "<no connection>";
  }
  if (!request.empty()) {
    ssize_t ignored = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    (void)ignored;
  }
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  char c;
  while (recv(fd, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
  close(fd);
  return reply;
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
    std::string monitor = mvn::spooler::MonitorRegistryRoot("MVNMON");
    SetString(std::string(mvn::spooler::kMonitorsKey) + "\\MVNMON", "Driver", MVNMON_PATH);
    SetString(monitor + "\\MVN1", "OutputDirectory", m_out);
    SetString(monitor + "\\MVN1", "AddUserID", "1");
    SetString(monitor + "\\MVN2", "MailSlot", "faxrender");
    SetString(std::string(mvn::spooler::kPrintersKey) + "\\Fax Printer", "Port", "MVN1");
    SetString(std::string(mvn::spooler::kPrintersKey) + "\\Fax Render", "Port", "MVN2");
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

TEST_F(SpooldTest, RenderJobSpoolsIntoTheServicesSpoolFolder) {
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
  // Only the service makes names in its spool folder.
  ASSERT_EQ(stat((m_root / "spool/temp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_uid, geteuid());
}

// Serves slot as user uid in a child: reads one message (waiting up to five
// seconds), then tries to read the file the message ends with. What it got
// comes back through a pipe: the message, a line break, and "readable" or
// "unreadable".
class SlotOfAnotherUser {
 public:
  SlotOfAnotherUser(const std::string& slot, uid_t uid) {
    int ready[2], result[2];
    if (pipe(ready) != 0 || pipe(result) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(ready[0]);
      close(result[0]);
      if (setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
      HANDLE h = CreateMailslotA(slot.c_str(), 260, 5000, nullptr);
      char byte = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
      if (write(ready[1], &byte, 1) != 1 || h == INVALID_HANDLE_VALUE) _exit(98);
      char message[261] = {};
      DWORD read = 0;
      if (!ReadFile(h, message, 260, &read, nullptr)) _exit(97);
      std::string text(message, strnlen(message, read));
      std::string path = text.substr(text.rfind(' ') + 1);
      int fd = open(path.c_str(), O_RDONLY);
      text += fd >= 0 ? "\nreadable" : "\nunreadable";
      if (write(result[1], text.data(), text.size()) < 0) _exit(96);
      _exit(0);
    }
    close(ready[1]);
    close(result[1]);
    char byte = 'n';
    m_ready = read(ready[0], &byte, 1) == 1 && byte == 'y';
    close(ready[0]);
    m_result = result[0];
  }
  ~SlotOfAnotherUser() {
    if (m_result >= 0) close(m_result);
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  bool Ready() const { return m_ready; }
  std::string Result() {
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = read(m_result, buffer, sizeof buffer)) > 0) text.append(buffer, got);
    return text;
  }

 private:
  pid_t m_pid = -1;
  int m_result = -1;
  bool m_ready = false;
};

TEST_F(SpooldTest, LaunchFileIsHandedToTheUserOfTheLauncherReached) {
  if (geteuid() != 0) GTEST_SKIP() << "only a service running as root hands files over";
  // The job is user A's, who has no launcher; the console launcher runs as
  // user B. B's launcher starts the application as B, so B gets the file.
  constexpr uid_t kUserA = 60001, kUserB = 60002;
  chmod(m_root.str().c_str(), 0755);
  std::string monitor = mvn::spooler::MonitorRegistryRoot("MVNMON");
  SetString(monitor + "\\MVN3", "ExternalApplication", "/opt/fax/client");
  SetString(monitor + "\\MVN3", "Launch", "1");
  SetString(std::string(mvn::spooler::kPrintersKey) + "\\Fax Client", "Port", "MVN3");
  // B is the console user the monitor is told of.
  SetString(monitor, "ConsoleUser", std::to_string(kUserB));
  Start();
  SlotOfAnotherUser console("\\\\.\\mailslot\\mvncuial", kUserB);
  ASSERT_TRUE(console.Ready());
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Client' -U " + std::to_string(kUserA) + " " + page, &code);
  EXPECT_EQ(code, 0) << output;
  std::string result = console.Result();
  ASSERT_EQ(result.rfind("/opt/fax/client ", 0), 0u) << result;
  std::string path = result.substr(16, result.find('\n') - 16);
  EXPECT_EQ(result.substr(result.find('\n') + 1), "readable");
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(m_root / ("spool/temp/" + std::to_string(kUserB))));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUserB);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(mvntest::ReadFile(path), kPostScript);
  // B's folder: B's own, closed to everybody else.
  ASSERT_EQ(stat(fs::path(path).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUserB);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(SpooldTest, ConsoleLauncherStartsTheApplicationOnTheFinishedFile) {
  // The application copies the file it is given next to the root.
  std::string script = m_root / "viewer.sh";
  std::string copy = m_root / "viewed.ps";
  mvntest::WriteFile(script, "#!/bin/sh\ncp \"$1\" '" + copy + ".part' && mv '" + copy + ".part' '" + copy + "'\n");
  chmod(script.c_str(), 0755);
  std::string monitor = mvn::spooler::MonitorRegistryRoot("MVNMON");
  SetString(monitor + "\\MVN4", "ExternalApplication", script);
  SetString(monitor + "\\MVN4", "Launch", "2");
  SetString(std::string(mvn::spooler::kPrintersKey) + "\\Fax Viewer", "Port", "MVN4");
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

TEST_F(SpooldTest, LimitsFromTheRegistryEndOversizedAndSilentRequests) {
  const std::string limits = "SYSTEM\\CurrentControlSet\\Control\\Print";
  SetDword(limits, "MaxJobSize", 100);
  SetDword(limits, "ReceiveTimeout", 1);
  Start();
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, std::string(200, 'x'));
  int code = -1;
  std::string output = Print("-P 'Fax Printer' " + page, &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("the job is larger than the service takes (100 bytes)"), std::string::npos) << output;
  mvntest::WriteFile(page, std::string(100, 'x'));
  output = Print("-P 'Fax Printer' " + page, &code);
  EXPECT_EQ(code, 0) << output;
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  // A connection that sends nothing is ended after the time-out.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange(socketPath, ""), "ERROR no data in time: the connection is closed");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Header lines are counted, not only measured.
  std::string many;
  for (int i = 0; i < 40; ++i) many += "k" + std::to_string(i) + "=v\n";
  EXPECT_EQ(Exchange(socketPath, many), "ERROR too many header lines");
  EXPECT_EQ(SpoolFiles(m_out).size(), 1u);
}

// CPU time (user and system, in clock ticks) a process has used.
long CpuTicks(pid_t pid) {
  std::string stat = mvntest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST_F(SpooldTest, AcceptWithoutDescriptorsLeftWaitsInsteadOfSpinning) {
  Start();
  // Leave the service no new descriptor (those open stay) and connect: the
  // connections wait in the backlog while accept fails.
  rlimit saved{};
  ASSERT_EQ(prlimit(m_pid, RLIMIT_NOFILE, nullptr, &saved), 0);
  rlimit tight{3, saved.rlim_max};
  ASSERT_EQ(prlimit(m_pid, RLIMIT_NOFILE, &tight, nullptr), 0);
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  std::vector<int> held;
  for (int i = 0; i < 8; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    held.push_back(fd);
  }
  std::this_thread::sleep_for(300ms);
  long before = CpuTicks(m_pid);
  std::this_thread::sleep_for(1s);
  long used = CpuTicks(m_pid) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "the service spins on a failing accept";
  // Descriptors back: the waiting connections and new jobs are served.
  for (int fd : held) close(fd);
  ASSERT_EQ(prlimit(m_pid, RLIMIT_NOFILE, &saved, nullptr), 0);
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Printer' " + page, &code);
  EXPECT_EQ(code, 0) << output << mvntest::ReadFile(m_root / "spoold.log");
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
