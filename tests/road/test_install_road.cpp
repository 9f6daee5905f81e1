// The fax printer as a new user meets it: prnsetup installs it on a fresh
// root, the spooler service runs, mvnprint prints a PostScript file to it
// and the result is found where the port's settings send it. Once on a
// multi-user root (mvnmon, the service started by prnsetup as root) and
// once on a single-user root (mvnmon95, the service run by the desktop
// user), with mvnport reaching the monitors' dialogs.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/mailslot/mailslot.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

const std::string kPage = "%!PS-Adobe-3.0\n%%Pages: 1\n/Courier findfont 12 scalefont setfont\n"
                          "72 720 moveto (Fax page) show showpage\n%%EOF\n";

// Runs command through the shell as uid (this process's own user when it
// is that uid already); standard output into *output, standard error
// appended to errors. The exit code, or -1.
int RunAs(uid_t uid, const std::string& command, std::string* output, const std::string& errors) {
  int channel[2];
  if (pipe(channel) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(channel[1], 1);
    close(channel[0]);
    close(channel[1]);
    int error = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (error >= 0) dup2(error, 2);
    if (uid != geteuid() && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(channel[1]);
  output->clear();
  char buffer[4096];
  ssize_t got;
  while ((got = read(channel[0], buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<std::size_t>(got));
  close(channel[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends the service a reload request as uid; its answer line.
std::string ReloadAs(uid_t uid, const std::string& socketPath) {
  int channel[2];
  if (pipe(channel) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    close(channel[0]);
    if (uid != geteuid() && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(125);
    static const char request[] = "control=reload\n\n\0\0\0\0";
    if (write(fd, request, sizeof request - 1) != sizeof request - 1) _exit(124);
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
      if (write(channel[1], &c, 1) != 1) _exit(123);
    _exit(0);
  }
  close(channel[1]);
  std::string reply;
  char c;
  while (read(channel[0], &c, 1) == 1) reply.push_back(c);
  close(channel[0]);
  waitpid(pid, nullptr, 0);
  return reply;
}

std::vector<fs::path> SpoolFiles(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored))
    if (entry.is_regular_file() && entry.path().filename().string().rfind("MVN", 0) == 0) files.push_back(entry);
  return files;
}

class InstallRoad : public testing::Test {
 protected:
  void SetUp() override { setenv("MVN_ROOT", root.str().c_str(), 1); }
  void TearDown() override {
    std::string text = mvntest::ReadFile(root / "spool/mvnspoold.pid");
    pid_t pid = text.empty() ? 0 : static_cast<pid_t>(std::stol(text));
    if (pid > 0 && kill(pid, SIGTERM) == 0) mvntest::WaitFor([&] { return kill(pid, 0) != 0; });
    if (m_service > 0) waitpid(m_service, nullptr, 0);
    unsetenv("MVN_ROOT");
  }
  std::string Env() const { return "MVN_ROOT='" + root.str() + "' MVN_DIALOGS=headless "; }
  int Run(uid_t uid, const std::string& command, std::string* output) {
    return RunAs(uid, "cd '" + root.str() + "' && " + Env() + command, output, root / "stderr.log");
  }
  std::string Errors() { return mvntest::ReadFile(root / "stderr.log"); }
  std::string Registry(uid_t uid, const std::string& arguments) {
    std::string output;
    EXPECT_EQ(Run(uid, std::string(MVNREG_PATH) + " " + arguments, &output), 0) << arguments << Errors();
    return output;
  }

  mvntest::TempDir root;
  pid_t m_service = 0;
};

TEST_F(InstallRoad, PrnsetupMakesAWorkingFaxPrinterOnAMultiUserRoot) {
  const uid_t self = geteuid();
  const uid_t other = self == 0 ? 60032 : self;  // a user who prints
  fs::create_directories(root.path() / "faxes");
  std::string output;
  Registry(self, "set 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler' ImagePath sz " MVNSPOOLD_PATH);
  ASSERT_EQ(Run(self, std::string(PRNSETUP_PATH) + " 'Morvane Printer' faxes", &output), 0) << output << Errors();
  ASSERT_TRUE(fs::exists(root / "spool/mvnspoold.ready")) << output;

  mvntest::WriteFile(root / "page.ps", kPage);
  chmod((root / "page.ps").c_str(), 0644);
  chmod(root.str().c_str(), 0755);
  ASSERT_EQ(Run(other, std::string(MVNPRINT_PATH) + " -P 'Morvane Printer' page.ps", &output), 0)
      << output << Errors();
  std::vector<fs::path> files = SpoolFiles(root.path() / "faxes");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), kPage);

  // The port dialogs come from the monitor in mvnport, for root only.
  ASSERT_EQ(Run(self, std::string(MVNPORT_PATH) + " configure 'Morvane Port Monitor' MVN1", &output), 0)
      << Errors();
  EXPECT_NE(output.find("the spooler service read its ports again"), std::string::npos) << output;
  EXPECT_NE(Errors().find("\"Configure MVN1\" was closed as cancelled"), std::string::npos) << Errors();
  ASSERT_EQ(Run(self, std::string(MVNPORT_PATH) + " add MVNMON", &output), 0) << Errors();
  EXPECT_NE(Errors().find("\"New Morvane Port\""), std::string::npos) << Errors();
  EXPECT_EQ(ReloadAs(self, root / "spool/mvnspoold.sock"), "OK reloaded, 1 ports");
  // A port the monitor does not know, and deleting the printer's port: said, and failed.
  EXPECT_EQ(Run(self, std::string(MVNPORT_PATH) + " configure MVNMON NOPE", &output), 1);
  EXPECT_NE(Errors().find("mvnport: the monitor \"Morvane Port Monitor\" has no port NOPE"), std::string::npos)
      << Errors();
  EXPECT_EQ(Run(self, std::string(MVNPORT_PATH) + " delete MVNMON MVN1", &output), 1);
  EXPECT_NE(Errors().find("mvnport: the port MVN1 is used by the printer \"Morvane Printer\": it is not deleted"),
            std::string::npos)
      << Errors();
  if (self == 0) {
    // Only root and the service's user may have the service reload.
    EXPECT_EQ(ReloadAs(other, root / "spool/mvnspoold.sock"), "ERROR not permitted to control the spooler service");
    EXPECT_EQ(Run(other, std::string(MVNPORT_PATH) + " configure MVNMON MVN1", &output), 1);
    EXPECT_NE(Errors().find("mvnport: adding, configuring and deleting ports is for root only"), std::string::npos);
    // A user's prnsetup sees root's service running, cannot stop it and
    // says so; its incomplete install ends with 2.
    EXPECT_EQ(Run(other, PRNSETUP_PATH, &output), 2) << output;
    EXPECT_NE(output.find("Stopping Spooler ...\nControlService returned 5\nSpooler: RUNNING\n"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("Spooler: STOPPED"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(root / "spool/mvnspoold.ready"));
  }
}

TEST_F(InstallRoad, RootLoadsNoMonitorOfARootAUserControls) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001, kOther = 60002;
  // The user's own root, set up as a single-user machine, names a monitor
  // file of the user's. Root's mvnport does not load it; another user may
  // not act on that root at all.
  chmod(root.str().c_str(), 0755);
  const fs::path mine = root.path() / "user-root";
  fs::create_directories(mine / "lib");
  fs::copy_file(fs::path(PRNSETUP_PATH).parent_path().parent_path() / "share/mvn/win95/mvnmon95.so", mine / "lib/mvnmon95.so");
  for (const auto& entry : fs::recursive_directory_iterator(mine)) chown(entry.path().c_str(), kUser, kUser);
  chown(mine.c_str(), kUser, kUser);
  std::string output;
  const std::string env = "MVN_ROOT='" + mine.string() + "' MVN_DIALOGS=headless ";
  for (const std::string& arguments :
       {std::string("set 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Platform' Version sz 95"),
        "set 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MVNMON95' Driver sz '" +
            (mine / "lib/mvnmon95.so").string() + "'"})
    ASSERT_EQ(RunAs(kUser, env + MVNREG_PATH + " " + arguments, &output, root / "stderr.log"), 0) << Errors();
  EXPECT_EQ(RunAs(0, env + MVNPORT_PATH + " configure MVNMON95 MVN1", &output, root / "stderr.log"), 1);
  EXPECT_NE(Errors().find("mvnport: the machine root " + mine.string() + " is refused: the folder " + mine.string() +
                          " belongs to uid 60001, not to root"),
            std::string::npos)
      << Errors();
  // Root's prnsetup on that root copies nothing and changes no attribute
  // through the user's link to a read-only file of root's.
  const fs::path victim = root.path() / "victim.so";
  mvntest::WriteFile(victim, "root's\n");
  chmod(victim.c_str(), 0444);
  fs::create_directories(mine / "windows/system");
  chown((mine / "windows").c_str(), kUser, kUser);
  chown((mine / "windows/system").c_str(), kUser, kUser);
  ASSERT_EQ(RunAs(kUser, "ln -s '" + victim.string() + "' '" + (mine / "windows/system/mvnmon95.so").string() + "'",
                  &output, root / "stderr.log"),
            0);
  EXPECT_EQ(RunAs(0, "umask 000; " + env + PRNSETUP_PATH, &output, root / "stderr.log"), 2) << output;
  EXPECT_NE(Errors().find("prnsetup: the machine root " + mine.string() + " is refused"), std::string::npos)
      << Errors();
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(mvntest::ReadFile(victim), "root's\n");
  // The user on their own root may; a third user may not.
  EXPECT_EQ(RunAs(kOther, env + MVNPORT_PATH + " configure MVNMON95 MVN1", &output, root / "stderr.log"), 1);
  EXPECT_NE(Errors().find("mvnport: adding, configuring and deleting ports is for root only"), std::string::npos);
}

TEST_F(InstallRoad, AUserHoldingTheSharedLockFilesCannotHoldRootsInstall) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001;
  chmod(root.str().c_str(), 0755);
  std::string output;
  Registry(0, "set 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler' ImagePath sz " MVNSPOOLD_PATH);
  ASSERT_EQ(Run(0, std::string(PRNSETUP_PATH), &output), 0) << output << Errors();
  // The user makes the shared lock files of every file prnsetup copies and
  // holds each one's guard byte, as a process that never lets go would.
  std::vector<fs::path> copied;
  for (const auto& entry : fs::recursive_directory_iterator(root.path() / "windows"))
    if (entry.is_regular_file()) copied.push_back(entry.path());
  for (const auto& entry : fs::directory_iterator(fs::path(PRNSETUP_PATH).parent_path().parent_path() / "share/mvn/nt40"))
    copied.push_back(entry.path());
  ASSERT_FALSE(copied.empty());
  fs::create_directories(root.path() / "locks");
  chmod((root / "locks").c_str(), 01777);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    if (setgroups(0, nullptr) != 0 || setgid(kUser) != 0 || setuid(kUser) != 0) _exit(99);
    for (const fs::path& file : copied) {
      struct stat st;
      if (stat(file.c_str(), &st) != 0) continue;
      char name[64];
      std::snprintf(name, sizeof name, "/%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                    static_cast<unsigned long long>(st.st_ino));
      int fd = open((root.str() + "/locks" + name).c_str(), O_RDWR | O_CREAT, 0666);
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 0;
      lock.l_len = 5;
      if (fd < 0 || fcntl(fd, F_OFD_SETLK, &lock) != 0) _exit(98);
    }
    if (write(ready[1], "r", 1) != 1) _exit(97);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the user could not hold the lock files";
  close(ready[0]);
  // Root's second run stops the spooler, copies, and starts it again.
  int code = Run(0, "timeout 60 " + std::string(PRNSETUP_PATH), &output);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(code, 0) << output << Errors();
  EXPECT_NE(output.find("Spooler: RUNNING"), std::string::npos) << output;
  EXPECT_EQ(output.find("Sharing Violation"), std::string::npos) << output;
  EXPECT_TRUE(fs::exists(root / "spool/mvnspoold.ready")) << output;
  // Root's lock files are where only root makes names.
  struct stat st;
  ASSERT_EQ(lstat((root / "rootlocks").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(InstallRoad, TheSingleUserRootPrintsThroughMvnmon95InEveryMode) {
  // The desktop user owns the root and runs everything, the service too.
  const uid_t user = geteuid() == 0 ? 60031 : geteuid();
  if (user != geteuid()) {
    ASSERT_EQ(chown(root.str().c_str(), user, user), 0);
  }
  const std::string reg = "HKLM\\SYSTEM\\CurrentControlSet\\Control";
  Registry(user, "set '" + reg + "\\Platform' Version sz 95");
  std::string output;
  // The service of this root refuses root and runs as the desktop user.
  if (geteuid() == 0) {
    EXPECT_EQ(Run(0, MVNSPOOLD_PATH, &output), 1);
    EXPECT_NE(Errors().find("mvnspoold: the machine root " + root.str() + " is refused: the folder " + root.str() +
                            " belongs to uid 60031, not to root"),
              std::string::npos)
        << Errors();
  }
  m_service = fork();
  if (m_service == 0) {
    setsid();
    int log = open((root / "spoold.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    dup2(log, 2);
    if (user != geteuid() && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) _exit(126);
    execl(MVNSPOOLD_PATH, MVNSPOOLD_PATH, static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(root / "spool/mvnspoold.ready"); }))
      << mvntest::ReadFile(root / "spoold.log");
  // It runs before anything is installed: prnsetup's AddMonitorA has it
  // load the monitor, with no restart (there is no service control here).

  fs::path faxes = root.path() / "faxes";
  ASSERT_EQ(Run(user, "mkdir faxes && " + std::string(PRNSETUP_PATH) + " 'Morvane Printer' faxes", &output), 0)
      << output << Errors();
  EXPECT_NE(mvntest::ReadFile(root / "spoold.log").find("monitor Morvane Port Monitor loaded with 5 ports"),
            std::string::npos)
      << mvntest::ReadFile(root / "spoold.log");

  // The applications record how they were started.
  mvntest::WriteFile(root / "recorder", "#!/bin/sh\necho \"$@\" >> '" + (root / "started.log") + "'\n");
  chmod((root / "recorder").c_str(), 0755);
  if (user != geteuid()) {
    ASSERT_EQ(chown((root / "recorder").c_str(), user, user), 0);
  }
  ASSERT_EQ(Run(user, std::string(PRNSETUP_PATH) + " 'Fax Start' 2 recorder", &output), 0) << output << Errors();
  ASSERT_EQ(Run(user, std::string(PRNSETUP_PATH) + " 'Fax End' 3 recorder", &output), 0) << output << Errors();
  const std::string ports = reg + "\\Print\\Monitors\\Morvane Port Monitor";
  Registry(user, "set '" + ports + "\\MVN3' Launch sz 2");
  Registry(user, "set '" + reg + "\\Print\\Printers\\Fax Render' Port sz MVNRND");

  // The render engine's slot.
  HANDLE renderer = CreateMailslotA("\\\\.\\mailslot\\mvnRender", 0, 5000, nullptr);
  ASSERT_NE(renderer, INVALID_HANDLE_VALUE);
  if (user != geteuid()) {
    ASSERT_TRUE(MailslotAllowWriter(renderer, user));
  }

  mvntest::WriteFile(root / "page.ps", kPage);
  chmod((root / "page.ps").c_str(), 0644);
  auto print = [&](const std::string& printer) {
    return Run(user, std::string(MVNPRINT_PATH) + " -P '" + printer + "' page.ps", &output);
  };
  // Plain: the header in front of the data, in the output directory.
  ASSERT_EQ(print("Morvane Printer"), 0) << output << Errors() << mvntest::ReadFile(root / "spoold.log");
  std::vector<fs::path> files = SpoolFiles(faxes);
  ASSERT_EQ(files.size(), 1u);
  std::string userName = user == geteuid() && getenv("USER") ? "" : std::to_string(user);
  std::string spooled = mvntest::ReadFile(files[0]);
  EXPECT_EQ(spooled.rfind("!MORVANE - MVNMON95 on MVN1\r\nUSER ID=", 0), 0u) << spooled;
  EXPECT_NE(spooled.find("\r\n!END\r\n" + kPage), std::string::npos) << spooled;
  if (!userName.empty()) {
    EXPECT_NE(spooled.find("USER ID=" + userName + "\r\n"), std::string::npos);
  }

  // Launch at the start and at the end: the application gets the spool
  // file (no header) and the output directory.
  for (const char* printer : {"Fax Start", "Fax End"}) {
    fs::remove(root / "started.log");
    ASSERT_EQ(print(printer), 0) << printer << output << Errors();
    ASSERT_TRUE(mvntest::WaitFor([&] { return !mvntest::ReadFile(root / "started.log").empty(); })) << printer;
    std::string line = mvntest::ReadFile(root / "started.log");
    std::string path = line.substr(0, line.find_first_of(" \n"));
    EXPECT_EQ(path.rfind(root / "spool/temp/MVN", 0), 0u) << line;
    EXPECT_EQ(mvntest::ReadFile(path), kPage) << printer;
  }

  // The render port announces the spool file to the render engine.
  ASSERT_EQ(print("Fax Render"), 0) << output << Errors();
  char notice[1024] = "";
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(renderer, notice, sizeof notice, &got, nullptr));
  CloseHandle(renderer);
  std::string path(notice);
  EXPECT_EQ(got, path.size() + 1);
  EXPECT_EQ(mvntest::ReadFile(path), kPage);

  // mvnport reaches mvnmon95's dialog, for the desktop user.
  ASSERT_EQ(Run(user, std::string(MVNPORT_PATH) + " configure MVNMON95 MVN1", &output), 0) << Errors();
  EXPECT_NE(Errors().find("\"Configure MVN1\" was closed as cancelled"), std::string::npos) << Errors();
  EXPECT_EQ(Run(user, std::string(MVNPORT_PATH) + " delete MVNMON95 MVN1", &output), 1);
}

// A script that records the uid it ran as, for a program root might start.
void WriteRecorder(const fs::path& script, const fs::path& record, uid_t owner) {
  mvntest::WriteFile(script, "#!/bin/sh\nid -u >> '" + record.string() + "'\n");
  chmod(script.c_str(), 0755);
  chown(script.c_str(), owner, owner);
}

TEST_F(InstallRoad, RootStartsNoSpoolerProgramAUserCouldChange) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001;
  chmod(root.str().c_str(), 0755);
  // What root ran is recorded where everyone may write.
  const fs::path shared = root.path() / "shared";
  fs::create_directories(shared);
  chmod(shared.c_str(), 01777);
  const std::string service = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler";
  struct Case {
    const char* name;
    // Sets up below base and gives the machine root; the user's program is
    // named as ImagePath (by the user where the user can write the hive).
    std::function<fs::path(const fs::path& base, const fs::path& script)> setUp;
    bool userWritesHive;
    const char* refusal;  // in prnsetup's standard error
  };
  const Case cases[] = {
      {"a machine root the user owns",
       [&](const fs::path& base, const fs::path&) {
         fs::create_directories(base / "r");
         chown((base / "r").c_str(), kUser, kUser);
         return base / "r";
       },
       true, "is refused: the folder {base}/r belongs to uid 60001, not to root"},
      {"a registry folder the user owns",
       [&](const fs::path& base, const fs::path&) {
         fs::create_directories(base / "r/registry");
         chown((base / "r/registry").c_str(), kUser, kUser);
         return base / "r";
       },
       true, "is refused: the folder {base}/r/registry belongs to uid 60001, not to root"},
      {"a machine root below a folder the user owns",
       [&](const fs::path& base, const fs::path&) {
         fs::create_directories(base / "u");
         chown((base / "u").c_str(), kUser, kUser);
         return base / "u/r";
       },
       true, "is refused: the folder {base}/u belongs to uid 60001, not to root"},
      {"a program in a folder the user owns",
       [&](const fs::path& base, const fs::path&) {
         fs::create_directories(base / "r");
         return base / "r";
       },
       false, "is not started as root: the folder {base}/bin belongs to uid 60001, not to root"},
      {"a program reached through the user's link in a sticky folder",
       [&](const fs::path& base, const fs::path&) {
         fs::create_directories(base / "r");
         fs::create_directories(base / "tmp");
         chmod((base / "tmp").c_str(), 01777);
         symlink((base / "bin").c_str(), (base / "tmp/bin").c_str());
         lchown((base / "tmp/bin").c_str(), kUser, kUser);
         return base / "r";
       },
       false, "is not started as root: {base}/tmp/bin is a symbolic link of uid 60001, not of root"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path base = root.path() / ("case" + std::to_string(n++));
    fs::create_directories(base / "bin");
    chown((base / "bin").c_str(), kUser, kUser);
    const fs::path record = shared / (std::to_string(n) + ".uid");
    const fs::path script = base / "bin/spooler";
    WriteRecorder(script, record, kUser);
    fs::path machine = c.setUp(base, script);
    std::string program = script.string();
    if (std::string(c.name).find("link") != std::string::npos) program = (base / "tmp/bin/spooler").string();
    const std::string env = "MVN_ROOT='" + machine.string() + "' MVN_DIALOGS=headless ";
    std::string output;
    ASSERT_EQ(RunAs(c.userWritesHive ? kUser : 0, env + MVNREG_PATH + " set '" + service + "' ImagePath sz '" + program + "'",
                    &output, root / "stderr.log"),
              0)
        << Errors();
    fs::remove(root / "stderr.log");
    int code = RunAs(0, env + "timeout 60 " + PRNSETUP_PATH, &output, root / "stderr.log");
    std::string refusal = c.refusal;
    refusal.replace(refusal.find("{base}"), 6, base.string());
    EXPECT_NE(Errors().find(refusal), std::string::npos) << Errors() << output;
    // prnsetup has ended: whatever root would have started has been
    // started. Nothing ran as root, and a refused root was not touched.
    EXPECT_FALSE(fs::exists(record)) << mvntest::ReadFile(record);
    if (refusal.find("is refused") != std::string::npos) {
      EXPECT_EQ(code, 2) << output;
      EXPECT_EQ(output.find("Stopping Spooler"), std::string::npos) << output;
      EXPECT_FALSE(fs::exists(machine / "windows")) << "root copied into a refused root";
    } else {
      EXPECT_NE(output.find("Starting Spooler ...\nStartService returned 5\n"), std::string::npos) << output;
    }
  }
}

TEST_F(InstallRoad, RootTakesNoMachineRootFromHome) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  if (fs::exists("/var/lib/mvn")) GTEST_SKIP() << "this machine has a machine root in /var/lib/mvn";
  constexpr uid_t kUser = 60001;
  chmod(root.str().c_str(), 0755);
  // The user's own root, in the user's home, names the user's program as
  // the spooler; root's shell kept the user's HOME (su without "-").
  const fs::path home = root.path() / "home";
  const fs::path record = home / "uid";
  fs::create_directories(home);
  chown(home.c_str(), kUser, kUser);
  WriteRecorder(home / "spooler", record, kUser);
  std::string output;
  ASSERT_EQ(RunAs(kUser,
                  "unset MVN_ROOT; HOME='" + home.string() + "' " + MVNREG_PATH +
                      " set 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler' ImagePath sz '" + (home / "spooler").string() + "'",
                  &output, root / "stderr.log"),
            0)
      << Errors();
  ASSERT_TRUE(fs::exists(home / ".local/state/mvn/registry/HKLM.db"));
  for (const std::string& program : {std::string(PRNSETUP_PATH), std::string(MVNREG_PATH) + " get 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler' ImagePath"}) {
    SCOPED_TRACE(program);
    fs::remove(root / "stderr.log");
    int code = RunAs(0, "unset MVN_ROOT; HOME='" + home.string() + "' timeout 60 " + program, &output, root / "stderr.log");
    EXPECT_NE(code, 0) << output;
    EXPECT_NE(Errors().find("the machine root /var/lib/mvn is refused: the folder /var/lib/mvn does not exist"),
              std::string::npos)
        << Errors();
    EXPECT_EQ(output.find((home / "spooler").string()), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(record)) << mvntest::ReadFile(record);
    EXPECT_FALSE(fs::exists("/var/lib/mvn"));
  }
}

TEST_F(InstallRoad, RootLoadsNoMonitorByBareNameFromItsCurrentFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001;
  chmod(root.str().c_str(), 0755);
  // The user's folder holds a monitor under a name root's registry gives
  // bare; root works in that folder.
  const fs::path folder = root.path() / "userfolder";
  fs::create_directories(folder);
  const fs::path built = fs::path(PRNSETUP_PATH).parent_path().parent_path() / "lib/mvn/mvnmon.so";
  fs::copy_file(built, folder / "usermon.so");
  chown((folder / "usermon.so").c_str(), kUser, kUser);
  chown(folder.c_str(), kUser, kUser);
  const fs::path machine = root.path() / "machine";
  fs::create_directories(machine);
  const std::string env = "MVN_ROOT='" + machine.string() + "' MVN_DIALOGS=headless ";
  std::string output;
  for (const char* driver : {"usermon", "USERMON.DLL"}) {
    SCOPED_TRACE(driver);
    const std::string key = std::string("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Planted");
    ASSERT_EQ(RunAs(0, env + MVNREG_PATH + " set '" + key + "' Driver sz '" + driver + "'", &output, root / "stderr.log"), 0)
        << Errors();
    fs::remove(root / "stderr.log");
    EXPECT_EQ(RunAs(0, "cd '" + folder.string() + "' && " + env + MVNPORT_PATH + " configure Planted MVN1", &output,
                    root / "stderr.log"),
              1);
    EXPECT_NE(Errors().find(std::string("the monitor Planted is not loaded as root: ") + driver +
                            " is not found (a bare name only in the installed module folders)"),
              std::string::npos)
        << Errors();
    EXPECT_EQ(Errors().find("Configure MVN1"), std::string::npos) << Errors();
  }
  // The installed monitor by its bare name is found beside the programs
  // and loaded, wherever root works.
  ASSERT_EQ(RunAs(0, env + MVNREG_PATH + " set 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Planted' Driver sz mvnmon.dll", &output, root / "stderr.log"), 0);
  fs::remove(root / "stderr.log");
  RunAs(0, "cd '" + folder.string() + "' && " + env + MVNPORT_PATH + " configure Planted MVN1", &output, root / "stderr.log");
  EXPECT_EQ(Errors().find("is not loaded as root"), std::string::npos) << Errors();
}

// What a second user can still change of root's on a root prnsetup made:
// each attempt as uid 60001, and afterwards root's settings, programs and
// folders are as root left them.
TEST_F(InstallRoad, ASecondUserChangesNothingOfRoots) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 60001;
  chmod(root.str().c_str(), 0755);
  std::string output;
  Registry(0, "set 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler' ImagePath sz " MVNSPOOLD_PATH);
  ASSERT_EQ(Run(0, std::string(PRNSETUP_PATH), &output), 0) << output << Errors();
  const std::string hive = root / "registry/HKLM.db";
  const std::string monitor = root / "windows/system/mvnmon.so";
  ASSERT_TRUE(fs::exists(monitor));
  const std::string hiveBefore = mvntest::ReadFile(hive), monitorBefore = mvntest::ReadFile(monitor);
  const fs::path planted = root.path() / "planted";
  fs::create_directories(planted);
  chown(planted.c_str(), kUser, kUser);
  WriteRecorder(planted / "spooler", planted / "uid", kUser);
  const std::string reg = std::string(MVNREG_PATH);
  const std::string spooler = "'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler'";
  const std::string monitors = "'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor'";
  const struct {
    const char* what;
    std::string command;
  } attempts[] = {
      {"ImagePath by mvnreg", reg + " set " + spooler + " ImagePath sz '" + (planted / "spooler").string() + "'"},
      {"a monitor's Driver by mvnreg", reg + " set " + monitors + " Driver sz '" + (planted / "m.so").string() + "'"},
      {"a monitor deleted by mvnreg", reg + " delete -r " + monitors},
      {"the hive written", "printf x >> '" + hive + "'"},
      {"the hive replaced", "cp '" + hive + "' '" + (planted / "h").string() + "' && mv -f '" + (planted / "h").string() + "' '" + hive + "'"},
      {"the hive's journal made", "printf x > '" + hive + "-wal'"},
      {"the monitor library written", "printf x >> '" + monitor + "'"},
      {"the monitor library replaced", "cp '" + (planted / "spooler").string() + "' '" + monitor + "'"},
      {"a name made in the machine root", "mkdir '" + (root / "windows/x") + "'"},
      {"the registry folder renamed", "mv '" + (root / "registry") + "' '" + (planted / "registry").string() + "'"},
      {"a port added by mvnport", std::string(MVNPORT_PATH) + " add MVNMON"},
      {"the spooler stopped by prnsetup", std::string(PRNSETUP_PATH)},
  };
  for (const auto& attempt : attempts) {
    SCOPED_TRACE(attempt.what);
    Run(kUser, attempt.command, &output);
  }
  EXPECT_EQ(mvntest::ReadFile(hive), hiveBefore);
  EXPECT_EQ(mvntest::ReadFile(monitor), monitorBefore);
  struct stat st;
  if (lstat((root / "registry/HKLM.db-wal").c_str(), &st) == 0) {
    EXPECT_EQ(st.st_uid, 0u);
  }
  EXPECT_FALSE(fs::exists(root / "windows/x"));
  EXPECT_NE(Registry(0, "get " + spooler + " ImagePath").find(MVNSPOOLD_PATH), std::string::npos);
  EXPECT_NE(Registry(0, "get " + monitors + " Driver").find("mvnmon"), std::string::npos);
  EXPECT_TRUE(fs::exists(root / "spool/mvnspoold.ready"));
  // Root's next install starts root's own spooler, not the user's.
  ASSERT_EQ(Run(0, std::string(PRNSETUP_PATH), &output), 0) << output << Errors();
  EXPECT_FALSE(fs::exists(planted / "uid"));
}

}  // namespace
