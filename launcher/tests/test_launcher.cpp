// The launchers as real processes on a private machine root. The command
// they start is a small script that appends its working directory and its
// arguments to a log file, one line per start.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using mvntest::CountChildren;
using mvntest::WaitFor;

constexpr uid_t kNobody = 65534;
constexpr uid_t kStranger = 64000;

mvntest::TestRoot* g_root = nullptr;

class RootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_root = new mvntest::TestRoot;
    // Launchers of other users must reach the root and write their logs.
    chmod(g_root->str().c_str(), 0755);
    std::filesystem::create_directories(*g_root / "work");
    std::filesystem::create_directories(*g_root / "logs");
    chmod((*g_root / "work").c_str(), 0777);
    chmod((*g_root / "logs").c_str(), 0777);
    // The shared mailslot directories exist on an installed machine: the
    // spooler service makes them, root's, at its start.
    // So do the launcher folders of the users the tests run launchers as
    // (the service makes each on its user's request).
    for (uid_t uid : {geteuid(), kNobody, kStranger}) {
      passwd* entry = getpwuid(uid);
      std::string user = entry ? std::string(entry->pw_name) : std::to_string(uid);
      std::string name = "\\\\.\\mailslot\\mvnfuial\\" + user;
      ASSERT_TRUE(CreateMailslotUserDirectory(name.c_str(), uid, entry ? entry->pw_gid : uid)) << GetLastError();
    }
  }
  void TearDown() override {
    delete g_root;
    g_root = nullptr;
  }
};
const auto* g_environment = ::testing::AddGlobalTestEnvironment(new RootEnvironment);

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string UserName(uid_t uid) {
  passwd* entry = getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

const uid_t kSelf = geteuid();
std::string PerUserSlot(uid_t uid = kSelf) {
  return "\\\\.\\mailslot\\mvnfuial\\" + UserName(uid) + "\\launcher";
}
const std::string kConsoleSlot = "\\\\.\\mailslot\\mvncuial";

// A directory of its own for each test: the recording script, its log and
// the message-box log.
class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = *g_root / (std::string("logs/") + info->name());
    std::filesystem::create_directories(m_dir);
    chmod(m_dir.c_str(), 0777);
    m_log = m_dir + "/starts.log";
    m_boxes = m_dir + "/boxes.log";
    m_script = m_dir + "/record";
    mvntest::WriteFile(m_script,
                       "#!/bin/sh\n"
                       "line=\"$(pwd)|\"\n"
                       "for a in \"$@\"; do line=\"$line[$a]\"; done\n"
                       "printf '%s\\n' \"$line\" >> '" + m_log + "'\n");
    chmod(m_script.c_str(), 0755);
    for (const std::string& file : {m_log, m_boxes}) {
      mvntest::WriteFile(file, "");
      chmod(file.c_str(), 0666);
    }
  }

  // The lines of the started commands, sorted: commands run at the same
  // time may finish in any order.
  std::vector<std::string> Starts() const {
    std::vector<std::string> lines = Lines(m_log);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  std::vector<std::string> Boxes() const { return Lines(m_boxes); }
  bool WaitStarts(size_t n) const {
    return WaitFor([&] { return Starts().size() >= n; });
  }
  bool WaitBoxes(size_t n) const {
    return WaitFor([&] { return Boxes().size() >= n; });
  }

  std::string m_dir, m_log, m_boxes, m_script;
};

// A launcher process: started as the given user in <root>/work.
class Launcher {
 public:
  // Not run as root, the test itself plays the spooler service's user.
  Launcher(const char* program, const std::string& boxes, uid_t uid = kSelf, const std::string& spoolerUser = "")
      : m_program(program) {
    m_stderr = boxes + "." + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".stderr";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "MVN_SPOOLER_USER=", 17) && std::strncmp(*e, "MVN_MESSAGEBOX_LOG=", 19)) env.push_back(*e);
    env.push_back("MVN_MESSAGEBOX_LOG=" + boxes);
    if (!spoolerUser.empty())
      env.push_back("MVN_SPOOLER_USER=" + spoolerUser);
    else if (kSelf != 0)
      env.push_back("MVN_SPOOLER_USER=" + std::to_string(kSelf));
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string work = *g_root / "work";
    char* argv[] = {const_cast<char*>(program), nullptr};
    m_pid = fork();
    if (m_pid == 0) {
      int err = open(m_stderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (err >= 0) dup2(err, 2);
      if (chdir(work.c_str()) != 0) _exit(98);
      if (uid != kSelf && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(99);
      execve(program, argv, envp.data());
      _exit(97);
    }
  }
  ~Launcher() { Stop(); }

  // Waits until the launcher's slot takes messages.
  bool WaitReady(const std::string& slot) {
    return WaitFor([&] {
      if (Exited()) return true;
      HANDLE h = CreateFileA(slot.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return false;
      CloseHandle(h);
      return true;
    }) && !Exited();
  }
  // The exit code once the launcher has ended within the limit, else -1.
  int WaitExit(std::chrono::milliseconds limit) {
    WaitFor([&] { return Exited(); }, limit);
    return m_exited ? m_code : -1;
  }
  void Stop() {
    if (m_pid > 0 && !Exited()) {
      kill(m_pid, SIGTERM);
      WaitFor([&] { return Exited(); });
    }
  }
  pid_t Pid() const { return m_pid; }
  std::string Stderr() const { return mvntest::ReadFile(m_stderr); }

 private:
  bool Exited() {
    if (m_exited) return true;
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_exited = true;
      m_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_exited;
  }

  const char* m_program;
  std::string m_stderr;
  pid_t m_pid = -1;
  bool m_exited = false;
  int m_code = -1;
};

// One writer handle: the messages of one sender.
class Sender {
 public:
  explicit Sender(const std::string& slot) {
    m_handle = CreateFileA(slot.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(m_handle, INVALID_HANDLE_VALUE) << slot << " error " << GetLastError();
  }
  ~Sender() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  // Sends text and, unless told not to, its NUL, as the monitor does.
  bool Send(const std::string& text, bool withNul = true) {
    std::string message = withNul ? text + '\0' : text;
    for (int attempt = 0; attempt < 5000; ++attempt) {
      DWORD written = 0;
      if (WriteFile(m_handle, message.data(), static_cast<DWORD>(message.size()), &written, nullptr)) return true;
      if (GetLastError() != ERROR_BUSY) return false;
      std::this_thread::sleep_for(1ms);  // the launcher is busy starting
    }
    return false;
  }

 private:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};

std::string Work() { return *g_root / "work"; }

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A message box as the headless kernel logs it: "caption: text", each line
// break shown as " / ".
std::string BoxLine(const std::string& caption, const std::string& text) {
  std::string line = caption + ": ";
  for (char c : text) line += c == '\n' ? std::string(" / ") : std::string(1, c);
  return line;
}

const std::string kPerUserBoxText =
    "Unable to access the external application as specified \n"
    "in the Port Configuration for the Printer Properties.\n"
    "Please check that the resource is available.\n\n";

std::string ConsoleBoxText(const std::string& program) {
  return "Unable to access the external application " + program +
         "\nas specified in the Printer Properties / Settings option.\n"
         "Please check that the resource is available.";
}

TEST_F(LauncherTest, StartPathAppliesToTheNextCommandOnly) {
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  std::string fax = m_dir + "/Fax";
  std::filesystem::create_directories(fax);
  {
    Sender monitor(PerUserSlot());
    ASSERT_TRUE(monitor.Send("#startuppath=" + fax));
    ASSERT_TRUE(monitor.Send(m_script + " job1.spl " + m_dir));
    ASSERT_TRUE(monitor.Send(m_script + " second"));
  }
  ASSERT_TRUE(WaitStarts(2));
  EXPECT_EQ(Starts(), Sorted({fax + "|[job1.spl][" + m_dir + "]", Work() + "|[second]"}));
}

TEST_F(LauncherTest, SecondStartPathWinsAndAFailedStartClearsIt) {
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  std::string first = m_dir + "/first", second = m_dir + "/second";
  std::filesystem::create_directories(first);
  std::filesystem::create_directories(second);
  {
    Sender monitor(PerUserSlot());
    ASSERT_TRUE(monitor.Send("#startuppath=" + first));
    ASSERT_TRUE(monitor.Send("#startuppath=" + second));
    ASSERT_TRUE(monitor.Send(m_script + " a"));
    // A start path followed by a command that cannot start: used up anyway.
    ASSERT_TRUE(monitor.Send("#startuppath=" + first));
    ASSERT_TRUE(monitor.Send(m_dir + "/missing-program x"));
    ASSERT_TRUE(monitor.Send(m_script + " b"));
    // A start path of a directory that does not exist fails the start.
    ASSERT_TRUE(monitor.Send("#startuppath=" + m_dir + "/no-such-dir"));
    ASSERT_TRUE(monitor.Send(m_script + " c"));
    ASSERT_TRUE(monitor.Send(m_script + " d"));
  }
  ASSERT_TRUE(WaitStarts(3));
  EXPECT_EQ(Starts(), Sorted({second + "|[a]", Work() + "|[b]", Work() + "|[d]"}));
  EXPECT_EQ(Boxes().size(), 2u);
}

TEST_F(LauncherTest, PrefixInAnotherCaseIsACommandLine) {
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  {
    Sender monitor(PerUserSlot());
    ASSERT_TRUE(monitor.Send("#STARTUPPATH=" + m_dir));
    ASSERT_TRUE(monitor.Send(m_script + " after"));
  }
  ASSERT_TRUE(WaitStarts(1));
  EXPECT_EQ(Starts(), std::vector<std::string>{Work() + "|[after]"});
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine("Morvane Application Launcher",
                                                       kPerUserBoxText + "#STARTUPPATH=" + m_dir)});
}

TEST_F(LauncherTest, MessageOfTheFull260BytesWithoutNulIsTakenWhole) {
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  std::string head = m_script + " ";
  ASSERT_LT(head.size(), 200u);
  std::string argument = std::string(260 - head.size() - 1, 'x') + "Z";
  std::string command = head + argument;
  ASSERT_EQ(command.size(), 260u);
  {
    Sender monitor(PerUserSlot());
    ASSERT_TRUE(monitor.Send(command, false));
    // One byte more is refused to the sender, and nothing is started.
    EXPECT_FALSE(monitor.Send(command, true));
    ASSERT_TRUE(monitor.Send(m_script + " next"));
  }
  ASSERT_TRUE(WaitStarts(2));
  EXPECT_EQ(Starts(), Sorted({Work() + "|[" + argument + "]", Work() + "|[next]"}));
}

TEST_F(LauncherTest, StartPathPairsWithTheNextCommandOfTheSameSender) {
  Launcher launcher(MVNCUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(kConsoleSlot));
  std::string portA = m_dir + "/portA", portB = m_dir + "/portB";
  std::filesystem::create_directories(portA);
  std::filesystem::create_directories(portB);
  // Two ports' jobs of one spooler process, interleaved.
  Sender jobA(kConsoleSlot), jobB(kConsoleSlot), jobC(kConsoleSlot);
  ASSERT_TRUE(jobA.Send("#startuppath=" + portA));
  ASSERT_TRUE(jobB.Send("#startuppath=" + portB));
  ASSERT_TRUE(jobC.Send(m_script + " C"));
  ASSERT_TRUE(jobB.Send(m_script + " B"));
  ASSERT_TRUE(jobA.Send(m_script + " A"));
  ASSERT_TRUE(WaitStarts(3));
  EXPECT_EQ(Starts(), Sorted({Work() + "|[C]", portB + "|[B]", portA + "|[A]"}));
}

TEST_F(LauncherTest, PerUserFailureBoxShowsTheWholeCommandAndDeletesNothing) {
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  std::filesystem::create_directories(*g_root / "spool/temp");
  std::string spool = *g_root / "spool/temp/MVN1.TMP";
  mvntest::WriteFile(spool, "job");
  std::string command = "/opt/no/viewer " + spool + " /out";
  {
    Sender monitor(PerUserSlot());
    ASSERT_TRUE(monitor.Send(command));
  }
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine("Morvane Application Launcher", kPerUserBoxText + command)});
  EXPECT_TRUE(std::filesystem::exists(spool));
}

TEST_F(LauncherTest, BareProgramNameIsSearchedAlongPathOnly) {
  // The same program planted in the launcher's current directory and put
  // in a directory of PATH; "." and an empty entry in PATH are not used.
  const std::string bin = m_dir + "/bin";
  std::filesystem::create_directories(bin);
  const std::string script = mvntest::ReadFile(m_script);
  for (const std::string& program : {Work() + "/planted-viewer", bin + "/path-viewer"}) {
    mvntest::WriteFile(program, script);
    chmod(program.c_str(), 0755);
  }
  const char* old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  setenv("PATH", (".::" + bin + ":" + saved).c_str(), 1);
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  setenv("PATH", saved.c_str(), 1);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  {
    Sender monitor(PerUserSlot());
    ASSERT_TRUE(monitor.Send("planted-viewer a"));
    ASSERT_TRUE(monitor.Send("\"path-viewer\" b"));
  }
  ASSERT_TRUE(WaitStarts(1));
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(Starts(), std::vector<std::string>{Work() + "|[b]"});
  EXPECT_EQ(Boxes(),
            std::vector<std::string>{BoxLine("Morvane Application Launcher", kPerUserBoxText + "planted-viewer a")});
  EXPECT_EQ(mvn::launcher::FindOnPath("path-viewer"), "");  // not on this process's PATH
}

TEST_F(LauncherTest, ConsoleFailureBoxNamesTheProgramAndDeletesOnlySpoolFiles) {
  Launcher launcher(MVNCUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(kConsoleSlot));
  std::string spoolDir = *g_root / "spool/temp";
  std::filesystem::create_directories(spoolDir);
  std::string spool = spoolDir + "/MVN2.TMP", keep = m_dir + "/keep.txt";
  // Files handed to the launcher's user lie in its folder; another user's
  // folder is not the launcher's to clean.
  std::string own = spoolDir + "/" + std::to_string(kSelf), other = spoolDir + "/60001";
  std::filesystem::create_directories(own);
  std::filesystem::create_directories(other);
  std::string handed = own + "/MVN3.TMP", foreign = other + "/MVN4.TMP";
  for (const std::string& file : {spool, handed, foreign}) mvntest::WriteFile(file, "job");
  mvntest::WriteFile(keep, "mine");
  {
    Sender monitor(kConsoleSlot);
    ASSERT_TRUE(monitor.Send("/opt/no/viewer " + spool + " /out"));
    ASSERT_TRUE(monitor.Send("/opt/no/viewer " + keep));
    ASSERT_TRUE(monitor.Send("/opt/no/alone"));
    ASSERT_TRUE(monitor.Send("/opt/no/viewer " + handed));
    ASSERT_TRUE(monitor.Send("/opt/no/viewer " + foreign));
  }
  ASSERT_TRUE(WaitBoxes(5));
  const std::string viewerBox = BoxLine("Printing Error", ConsoleBoxText("/opt/no/viewer"));
  EXPECT_EQ(Boxes(), (std::vector<std::string>{viewerBox, viewerBox,
                                               BoxLine("Printing Error", ConsoleBoxText("/opt/no/alone")), viewerBox,
                                               viewerBox}));
  EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(spool) && !std::filesystem::exists(handed); }));
  EXPECT_TRUE(std::filesystem::exists(keep));
  EXPECT_TRUE(std::filesystem::exists(foreign));
}

TEST(LauncherDeletion, OnlyRegularFilesDirectlyInTheSpoolFolder) {
  mvntest::TempDir dir;
  std::string spool = dir / "spool", other = dir / "other";
  std::filesystem::create_directories(spool + "/sub");
  std::filesystem::create_directories(other);
  mvntest::WriteFile(other + "/victim", "x");
  symlink((other + "/victim").c_str(), (spool + "/link").c_str());
  symlink(other.c_str(), (spool + "/dirlink").c_str());
  mvntest::WriteFile(spool + "/sub/deeper", "x");
  struct Case {
    std::string path;
    bool deleted;
  } cases[] = {
      {spool + "/job.spl", true},
      {"\\" + spool.substr(1) + "\\job2.spl", true},  // "\" separators
      {spool + "/../other/victim", false},
      {spool + "/link", false},             // the link is not followed, nor removed
      {spool + "/dirlink/victim", false},   // a directory reached through a link
      {spool + "/sub/deeper", false},
      {spool + "/sub", false},
      {spool + "/missing", false},
      {spool + "/", false},
      {spool + "/..", false},
      {"", false},
  };
  for (const Case& c : cases) {
    if (c.deleted) {
      std::string native = c.path;
      for (char& ch : native)
        if (ch == '\\') ch = '/';
      mvntest::WriteFile(native, "x");
    }
    EXPECT_EQ(mvn::launcher::DeleteFileInDirectory(c.path, spool), c.deleted) << c.path;
  }
  EXPECT_TRUE(std::filesystem::exists(other + "/victim"));
  EXPECT_TRUE(std::filesystem::is_symlink(spool + "/link"));
  EXPECT_TRUE(std::filesystem::exists(spool + "/sub/deeper"));
  // A relative name is taken from the current directory.
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(chdir(spool.c_str()), 0);
  mvntest::WriteFile(spool + "/rel.spl", "x");
  EXPECT_TRUE(mvn::launcher::DeleteFileInDirectory("rel.spl", spool));
  ASSERT_EQ(chdir(cwd), 0);
}

// Sends one message as root claiming to come from user uid (root may
// attach any credentials).
void SendWithCredentials(const std::string& socketPath, const std::string& text, uid_t uid) {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, socketPath.c_str());
  std::string message = text + '\0';
  iovec iov{message.data(), message.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  msghdr header{};
  header.msg_name = &address;
  header.msg_namelen = sizeof(address);
  header.msg_iov = &iov;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  cmsghdr* c = CMSG_FIRSTHDR(&header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_CREDENTIALS;
  c->cmsg_len = CMSG_LEN(sizeof(ucred));
  ucred credentials{getpid(), uid, uid};
  std::memcpy(CMSG_DATA(c), &credentials, sizeof(credentials));
  EXPECT_EQ(sendmsg(fd, &header, 0), static_cast<ssize_t>(message.size())) << std::strerror(errno);
  close(fd);
}

// Runs body as another user in a child; its exit code.
int AsUser(uid_t uid, const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int SendAs(const std::string& slot, const std::string& text) {
  HANDLE h = CreateFileA(slot.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  std::string message = text + '\0';
  DWORD written;
  return WriteFile(h, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) ? 0 : 50;
}

TEST_F(LauncherTest, PerUserLauncherObeysOnlyItsUserTheSpoolerAndRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to send as other users";
  // The launcher of user "nobody"; the spooler service runs as user 64000.
  Launcher launcher(MVNFUIAL_PATH, m_boxes, kNobody, std::to_string(kStranger));
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot(kNobody)));
  const std::string slot = PerUserSlot(kNobody);
  EXPECT_EQ(AsUser(kNobody, [&] { return SendAs(slot, m_script + " own-user"); }), 0);
  ASSERT_TRUE(WaitStarts(1));
  EXPECT_EQ(AsUser(kStranger, [&] { return SendAs(slot, m_script + " spooler"); }), 0);
  ASSERT_TRUE(WaitStarts(2));
  // Anybody else cannot even write to the slot...
  EXPECT_EQ(AsUser(kStranger + 1, [&] { return SendAs(slot, m_script + " stranger"); }),
            static_cast<int>(ERROR_ACCESS_DENIED));
  // ...and a message that carries anybody else's credentials is dropped.
  SendWithCredentials(*g_root / "mailslot/mvnfuial/nobody/launcher", m_script + " forged", kStranger + 1);
  { ASSERT_TRUE(Sender(slot).Send(m_script + " root")); }
  // The forged message was read and refused (the launcher says so), and the
  // one after it was served: only then is it sure that nothing else starts.
  const std::string refusal = "refused a message from uid " + std::to_string(kStranger + 1);
  EXPECT_TRUE(WaitFor([&] { return launcher.Stderr().find(refusal) != std::string::npos; })) << launcher.Stderr();
  ASSERT_TRUE(WaitStarts(3));
  EXPECT_EQ(Starts(), Sorted({Work() + "|[own-user]", Work() + "|[spooler]", Work() + "|[root]"}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(LauncherTest, ConsoleLauncherObeysOnlyTheSpoolerAndRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the launcher as another user";
  // The console launcher runs as the console user "nobody"; the spooler is root.
  Launcher launcher(MVNCUIAL_PATH, m_boxes, kNobody);
  ASSERT_TRUE(launcher.WaitReady(kConsoleSlot));
  struct stat st;
  ASSERT_EQ(lstat((*g_root / "mailslot/mvncuial").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "only its owner (and root) may write";
  EXPECT_EQ(AsUser(kNobody, [&] { return SendAs(kConsoleSlot, m_script + " console-user"); }), 0);
  { ASSERT_TRUE(Sender(kConsoleSlot).Send(m_script + " spooler")); }
  // The console user's message was refused (the launcher says so) and the
  // spooler's, sent after it, was served.
  const std::string refusal = "refused a message from uid " + std::to_string(kNobody);
  EXPECT_TRUE(WaitFor([&] { return launcher.Stderr().find(refusal) != std::string::npos; })) << launcher.Stderr();
  ASSERT_TRUE(WaitStarts(1));
  EXPECT_EQ(Starts(), std::vector<std::string>{Work() + "|[spooler]"});
}

TEST_F(LauncherTest, SecondInstanceEndsAtOnce) {
  struct Case {
    const char* program;
    std::string slot;
    int exitCode;
  } cases[] = {{MVNFUIAL_PATH, PerUserSlot(), 0}, {MVNCUIAL_PATH, kConsoleSlot, 1}};
  for (const Case& c : cases) {
    Launcher first(c.program, m_boxes);
    ASSERT_TRUE(first.WaitReady(c.slot)) << c.program;
    Launcher second(c.program, m_boxes);
    EXPECT_EQ(second.WaitExit(5s), c.exitCode) << c.program;
    EXPECT_NE(second.Stderr().find("already running"), std::string::npos) << "says why it ends: " << second.Stderr();
    // The first one still serves.
    size_t before = Starts().size();
    { ASSERT_TRUE(Sender(c.slot).Send(m_script + " still")); }
    EXPECT_TRUE(WaitStarts(before + 1)) << c.program;
  }
}

// A slot that cannot be made for another reason than a running launcher
// (here the root's mailslot folder is a plain file) ends the per-user
// launcher with 0 and the console launcher with 1, each saying why.
TEST_F(LauncherTest, ASlotThatCannotBeMadeEndsWithEachLaunchersCode) {
  mvntest::TempDir broken;
  mvntest::WriteFile(broken / "mailslot", "not a folder");
  struct Case {
    const char* program;
    int exitCode;
  } cases[] = {{MVNFUIAL_PATH, 0}, {MVNCUIAL_PATH, 1}};
  for (const Case& c : cases) {
    mvntest::RunResult run = mvntest::RunProgram({c.program}, {{"MVN_ROOT", broken.str()}}, 10);
    ASSERT_FALSE(run.timedOut) << c.program;
    EXPECT_EQ(run.exitCode, c.exitCode) << c.program << ": " << run.err;
    EXPECT_NE(run.err.find("cannot serve"), std::string::npos) << c.program << ": " << run.err;
    EXPECT_EQ(mvntest::ReadFile(broken / "mailslot"), "not a folder");
  }
}

TEST_F(LauncherTest, EndOfSessionFreesTheSlotForTheNextUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run launchers as other users";
  // The console user's launcher is ended with its session...
  Launcher first(MVNCUIAL_PATH, m_boxes, kNobody);
  ASSERT_TRUE(first.WaitReady(kConsoleSlot));
  kill(first.Pid(), SIGHUP);
  EXPECT_EQ(first.WaitExit(5s), 0);
  // ...and the next console user's launcher serves the slot.
  Launcher next(MVNCUIAL_PATH, m_boxes, kStranger);
  ASSERT_TRUE(next.WaitReady(kConsoleSlot)) << next.Stderr();
  { ASSERT_TRUE(Sender(kConsoleSlot).Send(m_script + " next-session")); }
  ASSERT_TRUE(WaitStarts(1));
  EXPECT_EQ(Starts(), std::vector<std::string>{Work() + "|[next-session]"});
}

TEST_F(LauncherTest, NoZombiesAfter200Launches) {
  Launcher launcher(MVNFUIAL_PATH, m_boxes);
  ASSERT_TRUE(launcher.WaitReady(PerUserSlot()));
  {
    Sender monitor(PerUserSlot());
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(monitor.Send(m_script + " " + std::to_string(i)));
  }
  ASSERT_TRUE(WaitStarts(200));
  int zombies = 0, children = 0;
  EXPECT_TRUE(WaitFor([&] {
    CountChildren(launcher.Pid(), &zombies, &children);
    return children == 0;
  })) << zombies << " zombies of " << children << " children";
  EXPECT_EQ(Starts().size(), 200u);
}

}  // namespace
