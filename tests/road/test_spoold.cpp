// The spooler service as a real process on a private root: mvnspoold loads
// mvnmon from the registry, mvnprint submits real files, and the spool file,
// render notice or refusal comes out as the port says.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <memory>
#include <random>
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

// A connection to the service's socket, or -1.
int Connect(const std::string& socketPath) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socketPath.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The reply line on fd (waiting ten seconds at most); closes fd.
std::string ReplyLine(int fd) {
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  char c;
  while (recv(fd, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
  close(fd);
  return reply;
}

// Connects to the service, sends request and returns the reply line (the
// service may close the connection before all of it is sent).
std::string Exchange(const std::string& socketPath, const std::string& request) {
  int fd = Connect(socketPath);
  if (fd < 0) return "<no connection>";
  if (!request.empty()) {
    ssize_t ignored = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    (void)ignored;
  }
  return ReplyLine(fd);
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

// Whether a thread of the process sits in the wait the service makes when
// a connection cannot be taken: a poll of one descriptor for 100 ms, as
// /proc/<pid>/task/<tid>/syscall shows it ("<poll> <fds> 0x1 0x64 ...").
bool InAcceptBackOff(pid_t pid) {
  std::error_code ignored;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
    std::istringstream call(mvntest::ReadFile(task.path() / "syscall"));
    std::string number, fds, count, timeout;
    if (call >> number >> fds >> count >> timeout && number == std::to_string(SYS_poll) && count == "0x1" &&
        timeout == "0x64")
      return true;
  }
  return false;
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
  // The service has met the connection it cannot take and waits.
  ASSERT_TRUE(mvntest::WaitFor([&] { return InAcceptBackOff(m_pid); }))
      << "the service never waits on a failing accept";
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

// The bytes of a test document: a PostScript start, then every byte value
// in a random order, size bytes in all.
std::string Document(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string data = "%!PS-Adobe-3.0\n";
  while (data.size() < size) data.push_back(static_cast<char>(engine()));
  data.resize(size);
  return data;
}

const std::string kHeaderJsmith = "!MORVANE-MVNMON\r\nUSER ID=JSMITH\r\n!END\r\n";

// Sends a job's header to the service, then one byte carrying fds (none: a
// plain byte), and returns the reply line ("<no reply>" when none came in
// ten seconds).
std::string SendHanded(const std::string& socketPath, const std::string& header, const std::vector<int>& fds) {
  int fd = Connect(socketPath);
  if (fd < 0) return "<no connection>";
  ssize_t ignored = send(fd, header.data(), header.size(), MSG_NOSIGNAL);
  (void)ignored;
  char byte = 'F';
  iovec data = {&byte, 1};
  std::vector<char> control(CMSG_SPACE(sizeof(int) * (fds.empty() ? 1 : fds.size())));
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (!fds.empty()) {
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
  }
  ignored = sendmsg(fd, &message, MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  std::string reply = ReplyLine(fd);
  return reply.empty() ? "<no reply>" : reply;
}

// Runs work in a child process as user uid (no account needed) and returns
// what it returned; "<no answer>" when the child gave none within twenty
// seconds (it is then killed).
std::string AsUser(uid_t uid, const std::function<std::string()>& work) {
  int result[2];
  if (pipe2(result, O_CLOEXEC) != 0) return "<no pipe>";
  pid_t pid = fork();
  if (pid == 0) {
    close(result[0]);
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
    std::string text = work();
    if (write(result[1], text.data(), text.size()) < 0) _exit(98);
    _exit(0);
  }
  close(result[1]);
  std::string text;
  pollfd wait = {result[0], POLLIN, 0};
  auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end && poll(&wait, 1, 100) >= 0) {
    if (!(wait.revents & (POLLIN | POLLHUP))) continue;
    char buffer[512];
    ssize_t got = read(result[0], buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, got);
  }
  close(result[0]);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return text.empty() ? "<no answer>" : text;
}

TEST_F(SpooldTest, AFileIsHandedOverAndArrivesByteExactWhereverItIsReadFrom) {
  Start();
  // Not a multiple of the blocks the service reads in.
  const std::string data = Document((3u << 20) + 12345, 1);
  const std::string doc = m_root / "doc.ps";
  mvntest::WriteFile(doc, data);
  struct Case {
    const char* how;
    std::string command;
    std::string expected;  // after the spool header
    bool handed;           // the service read the file itself
  } cases[] = {
      {"a named file", std::string(MVNPRINT_PATH) + " -P 'Fax Printer' -U JSMITH " + doc, data, true},
      // Standard input from the file, already read up to byte 100: the job
      // is the rest.
      {"standard input a file, part read",
       "{ dd bs=100 count=1 of=/dev/null 2>/dev/null; " + std::string(MVNPRINT_PATH) +
           " -P 'Fax Printer' -U JSMITH -; } < " + doc,
       data.substr(100), true},
      {"standard input a pipe", "cat " + doc + " | " + MVNPRINT_PATH + " -P 'Fax Printer' -U JSMITH -", data, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    for (const std::string& old : SpoolFiles(m_out)) fs::remove(old);
    std::string log = mvntest::ReadFile(m_root / "spoold.log");
    std::string output;
    EXPECT_EQ(RunCommand(c.command, &output), 0) << output;
    EXPECT_NE(output.find("(" + std::to_string(c.expected.size()) + " bytes)"), std::string::npos) << output;
    std::vector<std::string> files = SpoolFiles(m_out);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(mvntest::ReadFile(files[0]) == kHeaderJsmith + c.expected) << "the spooled bytes differ";
    std::string added = mvntest::ReadFile(m_root / "spoold.log").substr(log.size());
    EXPECT_EQ(added.find("from the sender's file") != std::string::npos, c.handed) << added;
  }
  // The file stays as it was: the service reads it at a position of its own.
  EXPECT_TRUE(mvntest::ReadFile(doc) == data);
}

TEST_F(SpooldTest, AFifoIsStreamedByMvnprintAndRefusedAsAHandedFile) {
  Start();
  const std::string data = Document(200000, 2);
  const std::string doc = m_root / "doc.ps";
  mvntest::WriteFile(doc, data);
  const std::string fifo = m_root / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Named to mvnprint, a FIFO is read as a pipe is.
  mvntest::ChildProcess writer({"/bin/sh", "-c", "cat '" + doc + "' > '" + fifo + "'"}, {});
  ASSERT_TRUE(writer.Started());
  int code = -1;
  std::string output = Print("-P 'Fax Printer' -U JSMITH " + fifo, &code);
  EXPECT_EQ(code, 0) << output;
  std::vector<std::string> files = SpoolFiles(m_out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(mvntest::ReadFile(files[0]) == kHeaderJsmith + data);
  fs::remove(files[0]);

  // Handed over, nothing but a regular file open for reading is taken, at
  // once and with a reason; the FIFO has no writer, so reading it would wait.
  const std::string header = "printer=Fax Printer\ndata=descriptor\n\n";
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  int pipeEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int folder = open(m_root.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  int path = open(doc.c_str(), O_PATH | O_CLOEXEC);
  int writeOnly = open(doc.c_str(), O_WRONLY | O_CLOEXEC);
  int status = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  int readable = open(doc.c_str(), O_RDONLY | O_CLOEXEC);
  struct Case {
    const char* what;
    std::vector<int> fds;
    std::string reply;
  } cases[] = {
      {"a FIFO", {pipeEnd}, "ERROR the file handed over is not a regular file but a FIFO"},
      {"a socket", {pair[0]}, "ERROR the file handed over is not a regular file but a socket"},
      {"a directory", {folder}, "ERROR the file handed over is not a regular file but a directory"},
      {"a device", {zero}, "ERROR the file handed over is not a regular file but a character device"},
      {"a path descriptor", {path}, "ERROR the file handed over is not open for reading"},
      {"a file open for writing", {writeOnly}, "ERROR the file handed over is not open for reading"},
      {"a file of the kernel", {status}, "ERROR the file handed over lies on the kernel's proc file system"},
      {"no descriptor", {}, "ERROR no file came with the job"},
      {"two descriptors", {readable, readable}, "ERROR more than one file came with the job"},
  };
  auto serviceFiles = [&] {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(m_pid) + "/fd")) n += !entry.path().empty();
    return n;
  };
  const std::size_t filesBefore = serviceFiles();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendHanded(socketPath, header, c.fds), c.reply);
    // Without a writer the FIFO would hold a reader for ever: any answer
    // well inside the bound shows it was not read.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  }
  for (int fd : {pipeEnd, pair[0], pair[1], folder, zero, path, writeOnly, status, readable}) close(fd);
  // The service keeps none of the files it was handed.
  // (Fewer is fine: the first print may still have held a file when counted.)
  EXPECT_TRUE(mvntest::WaitFor([&] { return serviceFiles() <= filesBefore; })) << serviceFiles() << " open";
  EXPECT_TRUE(SpoolFiles(m_out).empty());
  EXPECT_EQ(SendHanded(socketPath, "printer=Fax Printer\ndata=mapped\n\n", {}), "ERROR unknown data \"mapped\"");
  // And the service goes on printing.
  output = Print("-P 'Fax Printer' " + doc, &code);
  EXPECT_EQ(code, 0) << output;
}

TEST_F(SpooldTest, AHandedFileThatChangesWhilePrintedEndsBoundedAsAPrefix) {
  const std::string limits = "SYSTEM\\CurrentControlSet\\Control\\Print";
  constexpr std::size_t kLimit = 8u << 20;
  SetDword(limits, "MaxJobSize", kLimit);
  Start();
  const std::string doc = m_root / "doc.ps";
  const std::string block = Document(64 * 1024, 3);
  auto blockAt = [&](std::size_t i) {
    std::string b = block;
    std::memcpy(b.data(), &i, sizeof i);  // every block differs
    return b;
  };
  // Larger than the limit when handed over: refused before anything is
  // spooled.
  {
    std::string big;
    for (std::size_t i = 0; big.size() <= kLimit; ++i) big += blockAt(i);
    mvntest::WriteFile(doc, big);
    int code = -1;
    std::string output = Print("-P 'Fax Printer' " + doc, &code);
    EXPECT_EQ(code, 1);
    EXPECT_NE(output.find("the job is larger than the service takes (8388608 bytes)"), std::string::npos) << output;
    EXPECT_TRUE(SpoolFiles(m_out).empty());
  }
  // What the file's owner does while the service reads it: blocks appended
  // up to a total (past the limit or not), or the file cut to nothing and
  // filled again. Whatever the timing, the job ends, never holds more than
  // the limit, and what it holds is what the file held.
  struct Case {
    const char* what;
    std::size_t startBlocks;
    std::size_t totalBlocks;  // appended up to this many
    bool cut;                 // cut and refilled instead
  } cases[] = {
      {"growing within the limit", 16, 120, false},
      {"growing past the limit", 16, 400, false},
      {"cut and refilled", 64, 64, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& old : SpoolFiles(m_out)) fs::remove(old);
    std::string start;
    for (std::size_t i = 0; i < c.startBlocks; ++i) start += blockAt(i);
    mvntest::WriteFile(doc, start);
    std::atomic<bool> printed{false};
    std::thread owner([&] {
      int fd = open(doc.c_str(), O_WRONLY | O_CLOEXEC);
      for (std::size_t round = 0; fd >= 0 && !printed; ++round) {
        if (c.cut) {
          if (ftruncate(fd, 0) != 0) break;
          for (std::size_t i = 0; i < c.totalBlocks; ++i) {
            std::string b = blockAt(i);
            if (pwrite(fd, b.data(), b.size(), static_cast<off_t>(i * b.size())) < 0) break;
          }
        } else {
          std::size_t next = c.startBlocks + round;
          if (next >= c.totalBlocks) break;
          std::string b = blockAt(next);
          if (pwrite(fd, b.data(), b.size(), static_cast<off_t>(next * b.size())) < 0) break;
        }
      }
      if (fd >= 0) close(fd);
    });
    int code = -1;
    std::string output = Print("-P 'Fax Printer' -U JSMITH " + doc, &code);
    printed = true;
    owner.join();
    std::string full;
    for (std::size_t i = 0; i < c.totalBlocks; ++i) full += blockAt(i);
    std::vector<std::string> files = SpoolFiles(m_out);
    if (code == 0 && c.cut && output.find("was empty") != std::string::npos) {
      // Handed over at a moment the owner had just cut it: an empty job,
      // which spools nothing.
      EXPECT_TRUE(files.empty()) << output;
    } else if (code == 0) {
      ASSERT_EQ(files.size(), 1u) << output;
      std::string spooled = mvntest::ReadFile(files[0]);
      ASSERT_EQ(spooled.rfind(kHeaderJsmith, 0), 0u);
      spooled.erase(0, kHeaderJsmith.size());
      EXPECT_LE(spooled.size(), kLimit);
      EXPECT_TRUE(full.compare(0, spooled.size(), spooled) == 0) << "the spooled bytes are not what the file held";
      EXPECT_NE(output.find("(" + std::to_string(spooled.size()) + " bytes)"), std::string::npos) << output;
      if (!c.cut) {
        EXPECT_GE(spooled.size(), start.size());
      }
    } else {
      // Only a file that grew past the limit is refused.
      EXPECT_STREQ(c.what, "growing past the limit");
      EXPECT_NE(output.find("the job is larger than the service takes"), std::string::npos) << output;
      for (const std::string& file : files) EXPECT_LE(fs::file_size(file), kLimit + kHeaderJsmith.size());
    }
  }
  // The service lived through all of it.
  mvntest::WriteFile(doc, block);
  int code = -1;
  std::string output = Print("-P 'Fax Printer' " + doc, &code);
  EXPECT_EQ(code, 0) << output;
}

TEST_F(SpooldTest, AnotherUserCannotHaveTheServiceReadAFileTheyCannotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001;
  chmod(m_root.str().c_str(), 0755);
  Start();
  const std::string secret = m_root / "secret.ps";
  mvntest::WriteFile(secret, "%!PS root's own\n");
  chmod(secret.c_str(), 0600);
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  // mvnprint opens the file as its user: nothing to hand over.
  int code = -1;
  std::string output = AsUser(kUser, [&] {
    std::string text;
    int status = mvntest::RunShell(std::string(MVNPRINT_PATH) + " -P 'Fax Printer' " + secret + " 2>&1", &text);
    return std::to_string(status) + " " + text;
  });
  EXPECT_EQ(output.rfind("1 ", 0), 0u) << output;
  EXPECT_NE(output.find("Permission denied"), std::string::npos) << output;
  // A descriptor the user can make without reading the file (O_PATH) is no
  // file open for reading; a file the user may not read cannot be opened to
  // hand over at all.
  output = AsUser(kUser, [&] {
    int path = open(secret.c_str(), O_PATH | O_CLOEXEC);
    int read = open(secret.c_str(), O_RDONLY | O_CLOEXEC);
    std::string reply = SendHanded(socketPath, "printer=Fax Printer\ndata=descriptor\n\n", {path});
    return reply + (read < 0 ? " / unreadable" : " / readable");
  });
  EXPECT_EQ(output, "ERROR the file handed over is not open for reading / unreadable");
  EXPECT_TRUE(SpoolFiles(m_out).empty());
  // The user's own file prints, in the user's name: the sender is who the
  // socket says, whatever the header claims.
  const std::string own = m_root / "own.ps";
  mvntest::WriteFile(own, kPostScript);
  ASSERT_EQ(chown(own.c_str(), kUser, kUser), 0);
  chmod(own.c_str(), 0600);
  output = AsUser(kUser, [&] {
    int fd = open(own.c_str(), O_RDONLY | O_CLOEXEC);
    std::string first = SendHanded(socketPath, "printer=Fax Printer\nuser=JSMITH\ndata=descriptor\n\n", {fd});
    std::string second = SendHanded(socketPath, "printer=Fax Printer\ndata=descriptor\n\n", {fd});
    return first + "\n" + second;
  });
  EXPECT_EQ(output.substr(0, output.find('\n')), "ERROR not permitted to print as JSMITH");
  EXPECT_EQ(output.substr(output.find('\n') + 1, 3), "OK ") << output;
  std::vector<std::string> files = SpoolFiles(m_out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), std::string("!MORVANE-MVNMON\r\nUSER ID=60001\r\n!END\r\n") + kPostScript);
  (void)code;
}

// A job sent as data in one frame: header, frame, closing frame.
std::string FramedJob(const std::string& header, const std::string& data) {
  std::string request = header + "\n";
  auto frame = [&request](std::uint32_t n) {
    for (int i = 0; i < 4; ++i) request.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  };
  frame(static_cast<std::uint32_t>(data.size()));
  request += data;
  frame(0);
  return request;
}

// A child process as user uid that keeps `count` connections to the
// service open and silent, then tries one more. It reports that last
// connection's reply once the service has dealt with it (the service takes
// connections in order, so the others are counted by then) and holds its
// connections until Release() or twenty seconds.
class SlotHolder {
 public:
  SlotHolder(uid_t uid, int count, const std::string& socketPath) {
    int report[2], release[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(report[0]);
      close(release[1]);
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
      std::vector<int> held;
      for (int i = 0; i < count; ++i) held.push_back(Connect(socketPath));
      std::string reply = ReplyLine(Connect(socketPath));
      if (write(report[1], reply.data(), reply.size()) < 0) _exit(98);
      close(report[1]);
      pollfd wait = {release[0], POLLIN, 0};
      poll(&wait, 1, 20000);
      _exit(0);
    }
    close(report[1]);
    close(release[0]);
    m_release = release[1];
    pollfd wait = {report[0], POLLIN, 0};
    if (poll(&wait, 1, 15000) == 1) {
      char buffer[512];
      ssize_t got = read(report[0], buffer, sizeof buffer);
      if (got > 0) m_reply.assign(buffer, got);
    }
    close(report[0]);
  }
  ~SlotHolder() { Release(); }
  void Release() {
    if (m_release >= 0) close(m_release);
    m_release = -1;
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
  }
  const std::string& Reply() const { return m_reply; }

 private:
  pid_t m_pid = -1;
  int m_release = -1;
  std::string m_reply;
};

TEST_F(SpooldTest, ARequestDribblingItsHeaderIsEndedAtOneDeadline) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  chmod(m_root.str().c_str(), 0755);
  SetDword("SYSTEM\\CurrentControlSet\\Control\\Print", "ReceiveTimeout", 2);
  Start();
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  // One byte every half second, never silent as long as a read's time-out:
  // the header as a whole still has two seconds. Each case sends what
  // comes before the dribble at once, then dribbles for at most 12 s.
  struct Case {
    const char* what;
    std::string start;    // sent at once
    std::string dribble;  // then this, every half second
  } cases[] = {
      {"one endless header line", "", "p"},
      {"a complete first line, then an endless one", "printer=Fax Printer\n", "x"},
      {"a whole line at a time", "", "a=1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string output = AsUser(60001, [&] {
      int fd = Connect(socketPath);
      if (fd < 0) return std::string("<no connection>");
      auto start = std::chrono::steady_clock::now();
      send(fd, c.start.data(), c.start.size(), MSG_NOSIGNAL);
      std::string reply;
      while (std::chrono::steady_clock::now() - start < 12s) {
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, 500) == 1) {
          char buffer[256];
          ssize_t got = recv(fd, buffer, sizeof buffer, 0);
          if (got > 0) reply.assign(buffer, got);
          break;
        }
        if (send(fd, c.dribble.data(), c.dribble.size(), MSG_NOSIGNAL) <= 0) break;
      }
      auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
      close(fd);
      return std::to_string(seconds.count()) + " " + reply;
    });
    long seconds = std::strtol(output.c_str(), nullptr, 10);
    EXPECT_LE(seconds, 4) << output;
    EXPECT_NE(output.find("ERROR no data in time: the connection is closed"), std::string::npos) << output;
  }
  // A prompt request still prints.
  int code = -1;
  std::string page = m_root / "page.ps";
  mvntest::WriteFile(page, kPostScript);
  std::string output = Print("-P 'Fax Printer' " + page, &code);
  EXPECT_EQ(code, 0) << output;
}

TEST_F(SpooldTest, UsersHoldingEverySlotCannotStarveAUserWithNone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string limits = "SYSTEM\\CurrentControlSet\\Control\\Print";
  SetDword(limits, "MaxConnections", 4);
  SetDword(limits, "MaxConnectionsPerUser", 2);
  chmod(m_root.str().c_str(), 0755);
  Start();
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  const std::string busyUser = "ERROR too many connections of this user at once, try again later";
  // Two users take every slot with silent requests.
  SlotHolder first(60001, 2, socketPath);
  SlotHolder second(60002, 2, socketPath);
  ASSERT_EQ(first.Reply(), busyUser);
  // (The second one's extra connection finds every slot taken.)
  ASSERT_EQ(second.Reply(), "ERROR the spooler service is busy: too many connections, try again later");
  const std::string job = FramedJob("printer=Fax Printer\n", kPostScript);
  // A third user's job is taken and prints; so is a second job of theirs
  // while the first is gone (the slots stay full of the others).
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::string reply = AsUser(60003, [&] { return Exchange(socketPath, job); });
    EXPECT_EQ(reply.substr(0, 3), "OK ") << reply;
  }
  EXPECT_EQ(SpoolFiles(m_out).size(), 2u);
}

// Every regular file below folder (recursively).
std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ignored))
    if (entry.is_regular_file(ignored)) files.push_back(entry.path());
  return files;
}

TEST_F(SpooldTest, ASparseOrEndlessInputStopsAtTheUsersSpoolSpace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001, kOther = 60002;
  chmod(m_root.str().c_str(), 0755);
  SetDword("SYSTEM\\CurrentControlSet\\Control\\Print", "MaxSpoolPerUser", 4u << 20);
  Start();
  // A 1 GiB file that takes no room on the disk.
  const std::string sparse = m_root / "sparse.ps";
  {
    int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
    close(fd);
  }
  const std::string limit = "the job goes past the spool space the service gives one user (4194304 bytes";
  struct Case {
    const char* what;
    std::string command;
  } cases[] = {
      {"a sparse 1 GiB file handed over", std::string(MVNPRINT_PATH) + " -P 'Fax Printer' " + sparse},
      {"64 MiB from a pipe", "head -c 64M /dev/zero | " + std::string(MVNPRINT_PATH) + " -P 'Fax Printer' -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string output = AsUser(kUser, [&] {
      std::string text;
      int status = mvntest::RunShell(c.command + " 2>&1", &text);
      return std::to_string(status) + " " + text;
    });
    EXPECT_EQ(output.rfind("1 ", 0), 0u) << output;
    EXPECT_NE(output.find(limit), std::string::npos) << output;
    EXPECT_TRUE(SpoolFiles(m_out).empty());
    EXPECT_TRUE(FilesBelow(m_root / "spool").size() <= 2u);  // the pid and ready files only
  }
  // The space is the user's again once a job is over, and never was the
  // other user's.
  const std::string page = m_root / "three.ps";
  mvntest::WriteFile(page, Document(3u << 20, 7));
  chmod(page.c_str(), 0644);
  for (uid_t uid : {kUser, kOther, kUser}) {
    std::string output = AsUser(uid, [&] {
      std::string text;
      int status = mvntest::RunShell(std::string(MVNPRINT_PATH) + " -P 'Fax Printer' " + page + " 2>&1", &text);
      return std::to_string(status) + " " + text;
    });
    EXPECT_EQ(output.rfind("0 ", 0), 0u) << uid << ": " << output;
  }
  EXPECT_EQ(SpoolFiles(m_out).size(), 3u);
}

TEST_F(SpooldTest, AJobThatFailsMidwayLeavesNoPartialFile) {
  // The disk fills up under the service: its files may grow to 1 MiB (a
  // write beyond fails instead of ending the service).
  std::string monitor = mvn::spooler::MonitorRegistryRoot("MVNMON");
  SetString(monitor + "\\MVN3", "ExternalApplication", "/bin/true");
  SetString(monitor + "\\MVN3", "Launch", "2");
  SetString(std::string(mvn::spooler::kPrintersKey) + "\\Fax Launch", "Port", "MVN3");
  struct sigaction ignore{}, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);  // inherited by the service
  Start();
  sigaction(SIGXFSZ, &previous, nullptr);
  rlimit small{1u << 20, 1u << 20};
  ASSERT_EQ(prlimit(m_pid, RLIMIT_FSIZE, &small, nullptr), 0);
  const std::string doc = m_root / "doc.ps";
  mvntest::WriteFile(doc, Document(3u << 20, 3));
  for (const char* printer : {"Fax Printer", "Fax Launch"}) {
    SCOPED_TRACE(printer);
    int code = -1;
    std::string output = Print(std::string("-P '") + printer + "' " + doc, &code);
    EXPECT_EQ(code, 1) << output;
    EXPECT_TRUE(SpoolFiles(m_out).empty());
    std::vector<std::string> left = FilesBelow(m_root / "spool/temp");
    EXPECT_TRUE(left.empty()) << left.front();
  }
  // A job that fits still prints.
  mvntest::WriteFile(doc, kPostScript);
  int code = -1;
  std::string output = Print("-P 'Fax Printer' " + doc, &code);
  EXPECT_EQ(code, 0) << output;
  EXPECT_EQ(SpoolFiles(m_out).size(), 1u);
}

}  // namespace
