// The printed-document road end to end, every piece a real process on a
// private machine root: the registry is set up with mvnreg, mvnspoold loads
// mvnmon from it, a launcher (mvnfuial for the job's user, or mvncuial)
// serves its mailslot, mvnprint prints a file, and the port's external
// application - a script that records where and how it was started and
// copies the file it was given - runs on the spool file. Also the render
// road (a reader on the render mailslot gets the spool path) and the road
// without any launcher (the monitor's message box, the file left behind).
//
// Run as root, the service runs as root and the launchers as "nobody", as on
// an installed machine; otherwise every process runs as the caller.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "tests/support/process.h"
#include "tests/support/spool.h"
#include "tests/support/tempdir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kMonitorsKey = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";
const std::string kPrintersKey = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";

// The road's processes get longer than the usual wait.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
  return mvntest::WaitFor(done, limit);
}

// A user the processes of the road run as.
struct Account {
  uid_t uid;
  gid_t gid;
  std::string name;
};

Account Self() {
  passwd* entry = getpwuid(geteuid());
  return {geteuid(), getegid(), entry ? entry->pw_name : std::to_string(geteuid())};
}

// The launchers' user: "nobody" when the tests may switch users.
Account SessionUser() {
  if (geteuid() == 0) {
    if (passwd* nobody = getpwnam("nobody")) return {nobody->pw_uid, nobody->pw_gid, nobody->pw_name};
  }
  return Self();
}

using Process = mvntest::ChildProcess;

// Runs a command to its end; its output goes to *output.
int RunToEnd(const std::vector<std::string>& argv, std::string* output, const std::string& logFile,
             Process::Options options = {}) {
  fs::remove(logFile);
  options.output = logFile;
  Process process(argv, options);
  int code = process.Wait(60s);
  *output = mvntest::ReadFile(logFile);
  return code;
}

// A message box as the headless kernel logs it: "caption: text", each line
// break shown as " / ".
std::string BoxLine(const std::string& caption, const std::string& text) {
  std::string line = caption + ": ";
  for (char c : text) line += c == '\n' ? std::string(" / ") : std::string(1, c);
  return line + "\n";
}

const std::string kNoLauncherBox = BoxLine(
    "Error",
    "Morvane Print Monitor unable to run Morvane Front End application.\n"
    "Make sure your Startup Group has the Morvane Front End Launcher,\n"
    "if NOT then copy it from the Morvane Client Group to the Startup\n"
    "Group and execute it.\n");

// A print job of several spooler buffers, PostScript with binary bytes in
// it, so any cut, text translation or header would show.
std::string PrintData() {
  std::string data =
      "%!PS-Adobe-3.0\n%%Title: road test\n%%Pages: 1\n%%EndComments\n"
      "/Helvetica findfont 12 scalefont setfont\n72 720 moveto (Fax road test) show\n";
  data += "%%BeginBinary: 160000\n";
  for (int i = 0; i < 160000; ++i) data += static_cast<char>((i * 131 + i / 251) & 0xFF);
  data += "\n%%EndBinary\nshowpage\n%%EOF\n";
  return data;
}

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_session = SessionUser();
    m_service = Self();
    // Users other than the service's must reach the root, as on an
    // installed machine; the shared mailslot directory exists there too.
    chmod(m_root.str().c_str(), 0755);
    ASSERT_EQ(mkdir((m_root / "mailslot").c_str(), 01777), 0);
    chmod((m_root / "mailslot").c_str(), 01777);
    for (const char* dir : {"app", "session", "logs"}) {
      fs::create_directories(m_root / dir);
      chmod((m_root / dir).c_str(), 0777);
    }
    m_startDir = m_root / "start dir";
    m_outDir = m_root / "out";
    fs::create_directories(m_startDir);
    fs::create_directories(m_outDir);
    m_launcherBoxes = m_root / "logs/launcher-boxes.log";
    m_serviceBoxes = m_root / "logs/service-boxes.log";
    mvntest::WriteFile(m_launcherBoxes, "");
    chmod(m_launcherBoxes.c_str(), 0666);

    // The external application: records its directory, its arguments and
    // its user and the program that started it (and counts its starts),
    // then copies the file it was given. With a first argument "-wait" it
    // waits for the job to end (the test says so) before it reads the file.
    // Every result appears at once (written, then renamed).
    m_app = m_root / "app/record-and-copy";
    m_record = m_root / "app/record.txt";
    m_copy = m_root / "app/copy.ps";
    m_go = m_root / "app/go";
    m_starts = m_root / "app/starts.log";
    mvntest::WriteFile(m_app,
                       "#!/bin/sh\n"
                       "echo \"$*\" >> '" + m_starts + "'\n"
                       "{ pwd; for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; id -un; cat /proc/$PPID/comm; }"
                       " > '" + m_record + ".part.$$'\n"
                       "mv '" + m_record + ".part.$$' '" + m_record + "'\n"
                       "if [ \"$1\" = -wait ]; then\n"
                       "  shift; n=0\n"
                       "  while [ ! -e '" + m_go + "' ] && [ $n -lt 300 ]; do sleep 0.05; n=$((n+1)); done\n"
                       "fi\n"
                       "cp \"$1\" '" + m_copy + ".part' && mv '" + m_copy + ".part' '" + m_copy + "'\n");
    chmod(m_app.c_str(), 0755);

    m_data = PrintData();
    m_page = m_root / "page.ps";
    mvntest::WriteFile(m_page, m_data);
    chmod(m_page.c_str(), 0644);

    SetValue(kMonitorsKey + "\\MVNMON", "Driver", MVNMON_PATH);
  }

  void TearDown() override {
    // Launchers before the service, then whatever a test left running.
    m_launchers.clear();
    if (m_spooler) {
      int code = m_spooler->Stop();
      EXPECT_EQ(code, 0) << "mvnspoold did not end cleanly\n" << mvntest::ReadFile(m_root / "logs/spoold.log");
      m_spooler.reset();
    }
  }

  void SetValue(const std::string& key, const std::string& name, const std::string& value) {
    std::string output;
    ASSERT_EQ(RunToEnd({MVNREG_PATH, "set", key, name, "sz", value}, &output, m_root / "logs/mvnreg.log"), 0)
        << output;
  }

  // A port of mvnmon and a printer on it.
  void AddPrinter(const std::string& printer, const std::string& port,
                  const std::map<std::string, std::string>& settings) {
    for (const auto& [name, value] : settings) SetValue(kMonitorsKey + "\\MVNMON\\" + port, name, value);
    SetValue(kPrintersKey + "\\" + printer, "Port", port);
  }

  void StartSpooler() {
    Process::Options options;
    options.env["MVN_MESSAGEBOX_LOG"] = m_serviceBoxes;
    options.output = m_root / "logs/spoold.log";
    m_spooler = std::make_unique<Process>(std::vector<std::string>{MVNSPOOLD_PATH}, options);
    ASSERT_TRUE(m_spooler->Started());
    bool ready = WaitFor([&] { return fs::exists(m_root / "spool/mvnspoold.ready") || !m_spooler->Running(); });
    ASSERT_TRUE(ready && m_spooler->Running()) << mvntest::ReadFile(m_root / "logs/spoold.log");
  }

  // Starts a launcher in the session user's session (current directory
  // <root>/session) and waits until its slot takes messages.
  Process* StartLauncher(const char* program, const std::string& slot,
                         const std::map<std::string, std::string>& env = {}) {
    Process::Options options;
    options.env = env;
    options.env["MVN_MESSAGEBOX_LOG"] = m_launcherBoxes;
    options.env["MVN_SPOOLER_USER"] = m_service.name;  // so the service's messages are obeyed
    options.uid = m_session.uid;
    options.gid = m_session.gid;
    options.directory = m_root / "session";
    options.output = m_root / (std::string("logs/") + fs::path(program).filename().string() + ".log");
    m_launchers.push_back(std::make_unique<Process>(std::vector<std::string>{program}, options));
    Process* launcher = m_launchers.back().get();
    EXPECT_TRUE(launcher->Started());
    bool ready = WaitFor([&] {
      if (!launcher->Running()) return true;
      HANDLE h = CreateFileA(slot.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return false;
      CloseHandle(h);
      return true;
    });
    EXPECT_TRUE(ready && launcher->Running()) << mvntest::ReadFile(options.output);
    return launcher;
  }

  std::string PerUserSlot() const { return "\\\\.\\mailslot\\mvnfuial\\" + m_session.name + "\\launcher"; }

  // Prints the page; the job is the session user's.
  void Print(const std::string& printer) {
    std::string output;
    int code =
        RunToEnd({MVNPRINT_PATH, "-P", printer, "-U", m_session.name, m_page}, &output, m_root / "logs/mvnprint.log");
    ASSERT_EQ(code, 0) << output;
    EXPECT_NE(output.find("printed on " + printer + " (" + std::to_string(m_data.size()) + " bytes)"),
              std::string::npos)
        << output;
  }

  // The files of launch and render jobs in the service's spool folder and
  // in the folders of the users they were handed to.
  std::vector<std::string> SpoolFiles() const {
    std::vector<std::string> files;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(m_root / "spool/temp", ignored))
      if (entry.is_regular_file(ignored)) files.push_back(entry.path());
    return files;
  }

  // Where the spool file of a job handed to the session user lies.
  std::string SessionSpoolFolder() const {
    return m_session.uid == m_service.uid ? m_root / "spool/temp"
                                          : m_root / ("spool/temp/" + std::to_string(m_session.uid));
  }

  std::string ServiceLog() const { return mvntest::ReadFile(m_root / "logs/spoold.log"); }
  // Everything the processes of the road wrote, for a failure message.
  std::string Logs() const {
    std::string all;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(m_root / "logs", ignored))
      all += "--- " + entry.path().filename().string() + "\n" + mvntest::ReadFile(entry.path());
    return all;
  }

  // What the application recorded: directory, arguments, user, launcher.
  std::vector<std::string> Record() const {
    std::vector<std::string> lines;
    std::string text = mvntest::ReadFile(m_record);
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }

  // Waits for the application's copy of the spool file and checks that it
  // ran where and as whom it should, on a spool file with the printed bytes.
  void ExpectApplicationRan(const char* launcher, const std::string& directory,
                            const std::string& argumentsAfterFile, bool waited = false) {
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_copy); }))
        << "the application did not run\n"
        << Logs();
    std::vector<std::string> record = Record();
    ASSERT_EQ(record.size(), 4u) << mvntest::ReadFile(m_record);
    EXPECT_EQ(record[0], directory);
    EXPECT_EQ(record[2], m_session.name);
    EXPECT_EQ(record[3], launcher);
    // [-wait][<spool file>][<output directory>]
    const std::string head = waited ? "[-wait][" : "[";
    ASSERT_EQ(record[1].rfind(head, 0), 0u) << record[1];
    std::string rest = record[1].substr(head.size());
    std::string spool = rest.substr(0, rest.find(']'));
    EXPECT_EQ(rest.substr(spool.size() + 1), argumentsAfterFile);
    EXPECT_EQ(fs::path(spool).parent_path(), fs::path(SessionSpoolFolder()));
    // A launch job carries no spool header, whatever AddUserID says.
    EXPECT_TRUE(mvntest::ReadFile(m_copy) == m_data) << "the application got other bytes than were printed";
    if (m_session.uid != m_service.uid) {
      // Handed to the launcher's user, and to nobody else.
      struct stat st;
      ASSERT_EQ(stat(spool.c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, m_session.uid);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
  }

  mvntest::TestRoot m_root;
  Account m_session, m_service;
  std::string m_startDir, m_outDir, m_launcherBoxes, m_serviceBoxes;
  std::string m_app, m_record, m_copy, m_go, m_starts, m_data, m_page;
  std::unique_ptr<Process> m_spooler;
  std::vector<std::unique_ptr<Process>> m_launchers;
};

// Launch after printing, and launch at the start of the job: then the
// application is told of a file still being written and reads it once the
// job is done.
struct LaunchCase {
  const char* name;
  const char* launch;
  bool waits;
};

void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }

class PerUserRoadTest : public RoadTest, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(PerUserRoadTest, PrintingStartsTheApplicationForTheJobsUser) {
  const LaunchCase& c = GetParam();
  const std::string application = c.waits ? m_app + " -wait" : m_app;
  AddPrinter("Fax Client", "MVN1",
             {{"ExternalApplication", application},
              {"StartupDirectory", m_startDir},
              {"OutputDirectory", m_outDir},
              {"Launch", c.launch},
              {"AddUserID", "1"}});
  StartSpooler();
  // The console launcher runs too: the job's own user's launcher comes first.
  StartLauncher(MVNCUIAL_PATH, "\\\\.\\mailslot\\mvncuial");
  StartLauncher(MVNFUIAL_PATH, PerUserSlot());
  Print("Fax Client");
  mvntest::WriteFile(m_go, "");
  ExpectApplicationRan("mvnfuial", m_startDir, "[" + m_outDir + "]", c.waits);
  EXPECT_EQ(mvntest::ReadFile(m_launcherBoxes), "");
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
  EXPECT_TRUE(fs::is_empty(m_outDir));  // launch jobs spool into the shared folder
  EXPECT_EQ(SpoolFiles().size(), 1u);   // the application's to keep or delete
}

INSTANTIATE_TEST_SUITE_P(Launch, PerUserRoadTest,
                         ::testing::Values(LaunchCase{"AfterPrinting", "2", false},
                                           LaunchCase{"AtTheStart", "1", true}),
                         [](const ::testing::TestParamInfo<LaunchCase>& info) { return info.param.name; });

TEST_F(RoadTest, WithoutAUserLauncherTheConsoleLauncherStartsTheApplication) {
  // No start-up directory: the application runs where the launcher runs.
  AddPrinter("Fax Console", "MVN2", {{"ExternalApplication", m_app}, {"Launch", "2"}});
  // The console launcher runs as the console user the monitor is told of.
  SetValue(kMonitorsKey + "\\MVNMON", "ConsoleUser", m_session.name);
  StartSpooler();
  StartLauncher(MVNCUIAL_PATH, "\\\\.\\mailslot\\mvncuial");
  Print("Fax Console");
  ExpectApplicationRan("mvncuial", m_root / "session", "");
  EXPECT_EQ(mvntest::ReadFile(m_launcherBoxes), "");
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
}

TEST_F(RoadTest, ConsoleLauncherReportsAMissingApplicationAndRemovesTheSpoolFile) {
  const std::string missing = m_root / "app/no-such-viewer";
  AddPrinter("Fax Console", "MVN2", {{"ExternalApplication", missing}, {"Launch", "2"}});
  SetValue(kMonitorsKey + "\\MVNMON", "ConsoleUser", m_session.name);
  StartSpooler();
  StartLauncher(MVNCUIAL_PATH, "\\\\.\\mailslot\\mvncuial");
  Print("Fax Console");
  const std::string box = BoxLine("Printing Error", "Unable to access the external application " + missing +
                                                        "\nas specified in the Printer Properties / Settings option.\n"
                                                        "Please check that the resource is available.");
  ASSERT_TRUE(WaitFor([&] { return mvntest::ReadFile(m_launcherBoxes) == box; }))
      << mvntest::ReadFile(m_launcherBoxes);
  // The spool file nobody will read is gone.
  EXPECT_TRUE(WaitFor([&] { return SpoolFiles().empty(); }));
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
}

TEST_F(RoadTest, WithoutAnyLauncherTheMonitorShowsItsBoxAndKeepsTheFile) {
  AddPrinter("Fax Client", "MVN1",
             {{"ExternalApplication", m_app}, {"StartupDirectory", m_startDir}, {"Launch", "2"}});
  StartSpooler();
  // The user's session ended: its launcher took its slot with it.
  Process* launcher = StartLauncher(MVNFUIAL_PATH, PerUserSlot());
  EXPECT_EQ(launcher->Stop(), 0);
  Print("Fax Client");
  ASSERT_TRUE(WaitFor([&] { return !mvntest::ReadFile(m_serviceBoxes).empty(); })) << ServiceLog();
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), kNoLauncherBox);
  std::vector<std::string> files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(mvntest::ReadFile(files[0]) == m_data) << "the spool file left behind is not the printed file";
  EXPECT_FALSE(fs::exists(m_record));
}

TEST_F(RoadTest, RenderReaderGetsTheSpoolPathWhateverTheLaunchSettingsSay) {
  AddPrinter("Fax Client", "MVN1",
             {{"ExternalApplication", m_app}, {"StartupDirectory", m_startDir}, {"Launch", "2"}, {"AddUserID", "1"}});
  StartSpooler();
  StartLauncher(MVNFUIAL_PATH, PerUserSlot());
  std::string renderPath;
  {
    // The render engine's reader on the default render slot.
    HANDLE render = CreateMailslotA("\\\\.\\mailslot\\mvnrender", 0, 15000, nullptr);
    ASSERT_NE(render, INVALID_HANDLE_VALUE) << GetLastError();
    Print("Fax Client");
    char message[1024];
    DWORD read = 0;
    BOOL got = ReadFile(render, message, sizeof message, &read, nullptr);
    CloseHandle(render);
    ASSERT_TRUE(got) << "no render notice: error " << GetLastError() << "\n" << ServiceLog();
    ASSERT_GT(read, 1u);
    EXPECT_EQ(message[read - 1], '\0');
    std::string path(message, read - 1);
    EXPECT_EQ(fs::path(path).parent_path(), fs::path(m_root / "spool/temp"));
    EXPECT_TRUE(mvntest::ReadFile(path) == m_data) << "the render job is not the printed file";
    fs::remove(path);
    renderPath = path;
  }
  // With the render engine gone, the same port launches again. Render jobs
  // are not launched: once this later job's application has run (the
  // launcher takes the port's commands in order), it is the only start.
  Print("Fax Client");
  ExpectApplicationRan("mvnfuial", m_startDir, "");
  const std::string starts = mvntest::ReadFile(m_starts);
  EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), 1) << starts;
  EXPECT_EQ(starts.find(renderPath), std::string::npos) << starts;
}

// The real Dashpost as the port's application, written "dashpost %1" (the
// launcher then starts it with "%1" before the spool file): the printed
// document is the fax's attachment. Closed without sending, Dashpost
// removes the document, which nobody else would; sent, the document is
// handed to the delivery command.
TEST_F(RoadTest, DashpostTakesThePrintedDocumentAndRemovesItWhenNotSent) {
  // Per case: the client beside its INI file, a book and a delivery
  // command that records the request and the attachment it names, all the
  // launcher's user's to use; a port whose application is that client.
  auto bin = [&](bool send) { return m_root / (send ? "dashpost-sent" : "dashpost-closed"); };
  auto port = [](bool send) { return std::string(send ? "MVN4" : "MVN3"); };
  for (bool send : {false, true}) {
    const std::string dir = bin(send);
    fs::create_directories(dir);
    fs::copy_file(DASHPOST_DRIVE_PATH, dir + "/dashpost");
    mvntest::WriteFile(dir + "/recorder",
                       "#!/bin/sh\n"
                       "a=$(sed -n 's/^!ExtAttachment,[^,]*,\\(.*\\)\r$/\\1/p' \"$1\")\n"
                       "cp \"$a\" '" + dir + "/attachment.part' && mv '" + dir + "/attachment.part' '" + dir +
                           "/attachment.ps'\n"
                       "cp \"$1\" '" + dir + "/request.part' && mv '" + dir + "/request.part' '" + dir +
                           "/request.txt'\n");
    mvntest::WriteFile(dir + "/recorder.ini", "[recorder]\nYourName=Ann Smith\nYourEmailAddress=ann@example.test\n");
    mvntest::WriteFile(dir + "/dashpost.INI", "[Database]\nPathname=" + dir + "/book\n[Default]\nMandatoryCharge=NO\n"
                       "SENDLOG=NO\nDisplayConfirmScreen=NO\nDisplayBroadCastMessage=NO\n[Files]\nDeliveryCommand=" +
                       dir + "/recorder %1\n");
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const std::string name = entry.path().filename();
      chmod(entry.path().c_str(), name == "dashpost" || name == "recorder" ? 0755 : 0666);
      chown(entry.path().c_str(), m_session.uid, m_session.gid);
    }
    chmod(dir.c_str(), 0755);
    chown(dir.c_str(), m_session.uid, m_session.gid);
    AddPrinter("Fax Dashpost " + port(send), port(send),
               {{"ExternalApplication", dir + "/dashpost %1"}, {"StartupDirectory", dir}, {"Launch", "2"}});
  }
  // Each user makes folders of their own in these.
  for (const char* shared : {"temp", "locks"}) {
    fs::create_directories(m_root / shared);
    chmod((m_root / shared).c_str(), 01777);
  }
  StartSpooler();
  const std::string log = m_root / "logs/mvnfuial.log";
  for (bool send : {false, true}) {
    SCOPED_TRACE(send ? "sent" : "closed without sending");
    const std::string dir = bin(send);
    std::map<std::string, std::string> env = {{"QT_QPA_PLATFORM", "offscreen"}, {"MVN_DIALOGS", "headless"},
                                              {"HOME", m_root / "session"}, {"LC_ALL", "C.UTF-8"}};
    if (!send) env["DASHPOST_DRIVE_EXIT"] = "1";
    m_launchers.clear();
    fs::remove(log);
    StartLauncher(MVNFUIAL_PATH, PerUserSlot(), env);
    Print("Fax Dashpost " + port(send));
    // The positive sign: Dashpost ran on the printed document and ended.
    const std::string ran = send ? "presses Send Fax" : "is closed without sending";
    ASSERT_TRUE(WaitFor([&] { return mvntest::ReadFile(log).find(ran) != std::string::npos; }, 60s)) << Logs();
    EXPECT_NE(mvntest::ReadFile(log).find("the attachment " + SessionSpoolFolder() + "/"), std::string::npos)
        << mvntest::ReadFile(log);
    if (send) {
      ASSERT_TRUE(WaitFor([&] { return fs::exists(dir + "/request.txt") && fs::exists(dir + "/attachment.ps"); }, 30s))
          << Logs();
      EXPECT_TRUE(mvntest::ReadFile(dir + "/attachment.ps") == m_data) << "the fax carries other bytes than were printed";
      EXPECT_NE(mvntest::ReadFile(dir + "/request.txt").find("\r\nTo:Bob Jones"), std::string::npos);
    } else {
      EXPECT_TRUE(WaitFor([&] { return SpoolFiles().empty(); }, 30s))
          << "the declined document stayed in the spool folder\n" << Logs();
    }
    EXPECT_EQ(mvntest::ReadFile(log).find("does not exist"), std::string::npos) << mvntest::ReadFile(log);
    EXPECT_EQ(mvntest::ReadFile(m_launcherBoxes), "");
    for (const std::string& file : SpoolFiles()) fs::remove(file);
  }
}

// ---------------------------------------------------------------------------
// Hostile neighbours: other local users beside a root service. Users A and
// B are uids without accounts, switched to in forked children.

constexpr uid_t kUserA = 60001, kUserB = 60002;

// A process of another user, forked from the test. Its body runs as that
// user, says when it is ready and reports through a pipe; it is killed
// when the object goes.
class Neighbour {
 public:
  Neighbour(uid_t uid, const std::function<void(Neighbour&)>& body) {
    if (pipe(m_ready) != 0 || pipe(m_result) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(m_ready[0]);
      close(m_result[0]);
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
      body(*this);
      _exit(0);
    }
    close(m_ready[1]);
    close(m_result[1]);
    fcntl(m_result[0], F_SETFL, O_NONBLOCK);
  }
  ~Neighbour() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    close(m_ready[0]);
    close(m_result[0]);
  }
  Neighbour(const Neighbour&) = delete;
  Neighbour& operator=(const Neighbour&) = delete;

  // In the child.
  void Ready() {
    char byte = 'r';
    if (write(m_ready[1], &byte, 1) != 1) _exit(98);
  }
  void Report(const std::string& text) {
    if (write(m_result[1], text.data(), text.size()) < 0) _exit(97);
  }

  // In the test.
  bool WaitReady(int milliseconds = 5000) {
    pollfd p{m_ready[0], POLLIN, 0};
    char byte;
    return poll(&p, 1, milliseconds) == 1 && read(m_ready[0], &byte, 1) == 1;
  }
  // Waits for the body to end (killed after the limit); what it reported.
  std::string Finish(std::chrono::milliseconds limit = 5s) {
    if (m_pid > 0) {
      WaitFor([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid || (kill(m_pid, 0) != 0); }, limit);
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
    return Reported();
  }
  std::string Reported() {
    char buffer[4096];
    ssize_t got;
    while ((got = read(m_result[0], buffer, sizeof buffer)) > 0) m_text.append(buffer, got);
    return m_text;
  }

 private:
  pid_t m_pid = -1;
  int m_ready[2] = {-1, -1};
  int m_result[2] = {-1, -1};
  std::string m_text;
};

// A neighbour serving a mailslot: reads messages for a while and reports
// each, with whether the file the message ends with was readable to it.
void ServeSlot(Neighbour& n, const std::string& slot, int messages, DWORD timeout) {
  HANDLE h = CreateMailslotA(slot.c_str(), 0, timeout, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    n.Report("cannot serve: " + std::to_string(GetLastError()) + "\n");
    n.Ready();
    return;
  }
  n.Ready();
  for (int i = 0; i < messages; ++i) {
    char message[1024] = {};
    DWORD read = 0;
    if (!ReadFile(h, message, sizeof message - 1, &read, nullptr)) break;
    std::string text(message, strnlen(message, read));
    std::string path = text.substr(text.rfind(' ') + 1);
    int fd = open(path.c_str(), O_RDONLY);
    n.Report(text + (fd >= 0 ? " |readable\n" : " |unreadable\n"));
    if (fd >= 0) close(fd);
  }
  CloseHandle(h);
}

class NeighbourTest : public RoadTest {
 protected:
  void SetUp() override {
    RoadTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    m_victim = m_root / "victim";
    mvntest::WriteFile(m_victim, "precious\n");
    chmod(m_victim.c_str(), 0644);
  }
  void ExpectVictimUntouched() {
    EXPECT_EQ(mvntest::ReadFile(m_victim), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(m_victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
  }
  // Prints the page as user uid (no account needed).
  int PrintAs(uid_t uid, const std::string& printer, std::string* output) {
    Process::Options options;
    options.uid = uid;
    options.gid = static_cast<gid_t>(uid);
    return RunToEnd({MVNPRINT_PATH, "-P", printer, m_page}, output,
                    m_root / ("logs/mvnprint-" + std::to_string(uid) + ".log"), options);
  }

  std::string m_victim;
};

TEST_F(NeighbourTest, SymlinkSwappedIntoTheOutputDirectoryOverwritesNothing) {
  // The port's output directory is user A's. A replaces every new spool
  // file by a link to a file of root's, the moment it appears.
  const std::string out = m_root / "a-out";
  fs::create_directories(out);
  chown(out.c_str(), kUserA, kUserA);
  AddPrinter("Fax Plain", "MVN5", {{"OutputDirectory", out}});
  StartSpooler();
  Neighbour a(kUserA, [&](Neighbour& n) {
    int watch = inotify_init1(0);
    if (watch < 0 || inotify_add_watch(watch, out.c_str(), IN_CREATE) < 0) _exit(90);
    n.Ready();
    alignas(inotify_event) char buffer[4096];
    std::vector<std::string> done;  // each name once: the link made is a new entry too
    for (;;) {
      ssize_t length = read(watch, buffer, sizeof buffer);
      if (length <= 0) return;
      for (char* p = buffer; p < buffer + length;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        std::string name = event->len ? event->name : "";
        if (name.rfind("MVN", 0) == 0 && name.find(".moved") == std::string::npos &&
            std::find(done.begin(), done.end(), name) == done.end()) {
          done.push_back(name);
          std::string path = out + "/" + name;
          if (rename(path.c_str(), (path + ".moved").c_str()) == 0 && symlink(m_victim.c_str(), path.c_str()) == 0)
            n.Report("swapped " + name + "\n");
        }
        p += sizeof(inotify_event) + event->len;
      }
    }
  });
  ASSERT_TRUE(a.WaitReady());
  std::string output;
  ASSERT_EQ(PrintAs(kUserA, "Fax Plain", &output), 0) << output;
  ASSERT_TRUE(WaitFor([&] { return !a.Reported().empty(); }, 5s)) << "the attack did not run";
  a.Finish(100ms);
  ExpectVictimUntouched();
  // The printed bytes went into the file the monitor made, wherever A put it.
  std::string moved;
  for (const auto& entry : fs::directory_iterator(out))
    if (entry.path().string().find(".moved") != std::string::npos) moved = entry.path();
  ASSERT_FALSE(moved.empty());
  EXPECT_TRUE(mvntest::ReadFile(moved) == m_data) << "the spool file lost the printed bytes";
}

TEST_F(NeighbourTest, ConsoleFallbackHandsTheFileToTheConsoleUserAndNothingElse) {
  // User A prints on a launch port and has no launcher; B serves the console
  // launcher. The file goes to B (who starts the application), into B's
  // folder; B swapping the handed file for a link changes nothing of root's.
  AddPrinter("Fax Launch", "MVN6", {{"ExternalApplication", "/opt/fax/viewer"}, {"Launch", "2"}});
  SetValue(kMonitorsKey + "\\MVNMON", "ConsoleUser", std::to_string(kUserB));
  StartSpooler();
  const std::string folderB = m_root / ("spool/temp/" + std::to_string(kUserB));
  Neighbour b(kUserB, [&](Neighbour& n) {
    HANDLE h = CreateMailslotA("\\\\.\\mailslot\\mvncuial", 0, 10000, nullptr);
    n.Ready();
    for (int i = 0; i < 2 && h != INVALID_HANDLE_VALUE; ++i) {
      char message[1024] = {};
      DWORD read = 0;
      if (!ReadFile(h, message, sizeof message - 1, &read, nullptr)) break;
      std::string path = std::string(message).substr(std::string(message).rfind(' ') + 1);
      int fd = open(path.c_str(), O_RDONLY);
      n.Report(path + (fd >= 0 ? " readable\n" : " unreadable\n"));
      if (fd >= 0) close(fd);
      // Too late for the service to be fooled: the file is in place already.
      std::string away = path + ".away";
      if (rename(path.c_str(), away.c_str()) == 0) symlink(m_victim.c_str(), path.c_str());
    }
  });
  ASSERT_TRUE(b.WaitReady());
  std::string output;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(PrintAs(kUserA, "Fax Launch", &output), 0) << output;
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string text = b.Reported();
        return std::count(text.begin(), text.end(), '\n') == 2;
      },
      10s))
      << b.Reported() << Logs();
  std::string reported = b.Finish(100ms);
  EXPECT_EQ(reported.find("unreadable"), std::string::npos) << reported;
  EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 2) << reported;
  EXPECT_NE(reported.find(folderB + "/MVN"), std::string::npos) << reported;
  ExpectVictimUntouched();
  struct stat st;
  ASSERT_EQ(stat(folderB.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUserB);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(NeighbourTest, AConsoleSlotOfAnUnnamedUserGetsNoOtherUsersDocument) {
  // A prints on a launch port and has no launcher. B serves the console
  // slot, and, planted first, A's own per-user slot; B is no configured
  // console user. Neither slot gets A's job: A sees the no-launcher box and
  // the file stays the service's.
  AddPrinter("Fax Launch", "MVN6", {{"ExternalApplication", "/opt/fax/viewer"}, {"Launch", "2"}});
  StartSpooler();
  Neighbour console(kUserB, [&](Neighbour& n) { ServeSlot(n, "\\\\.\\mailslot\\mvncuial", 1, 3000); });
  // (Where B cannot serve the slot at all, the report says so instead.)
  Neighbour planted(kUserB, [&](Neighbour& n) {
    ServeSlot(n, "\\\\.\\mailslot\\mvnfuial\\" + std::to_string(kUserA) + "\\launcher", 1, 3000);
  });
  ASSERT_TRUE(console.WaitReady());
  ASSERT_TRUE(planted.WaitReady());
  std::string output;
  ASSERT_EQ(PrintAs(kUserA, "Fax Launch", &output), 0) << output;
  ASSERT_TRUE(WaitFor([&] { return !mvntest::ReadFile(m_serviceBoxes).empty(); })) << ServiceLog();
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), kNoLauncherBox);
  EXPECT_EQ(console.Finish(), "");
  std::string got = planted.Finish();
  EXPECT_TRUE(got.empty() || got.rfind("cannot serve", 0) == 0) << got;
  std::vector<std::string> files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::path(files[0]).parent_path(), fs::path(m_root / "spool/temp"));
  struct stat st;
  ASSERT_EQ(stat(files[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(NeighbourTest, AnOutputFolderSwappedForALinkOrOfAnotherUserTakesNoJob) {
  // A's output folder lies in A's own folder; A swaps it for a link to a
  // folder of root's. The job fails naming the folder, and root's folder
  // stays empty.
  const std::string home = m_root / "a-home";
  const std::string out = home + "/out";
  const std::string rootOnly = m_root / "root-only";
  fs::create_directories(out);
  fs::create_directories(rootOnly);
  chmod(rootOnly.c_str(), 0700);
  chown(home.c_str(), kUserA, kUserA);
  chown(out.c_str(), kUserA, kUserA);
  AddPrinter("Fax Plain", "MVN5", {{"OutputDirectory", out}});
  StartSpooler();
  // First as it was set up: A's job goes into A's folder and is A's.
  std::string output;
  ASSERT_EQ(PrintAs(kUserA, "Fax Plain", &output), 0) << output;
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(out)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  struct stat st;
  ASSERT_EQ(lstat(files[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUserA);
  EXPECT_EQ(mvntest::ReadFile(files[0]), m_data);
  // B's job is not written into A's folder.
  EXPECT_EQ(PrintAs(kUserB, "Fax Plain", &output), 1) << output;
  EXPECT_NE(output.find("the output folder " + out + " belongs to neither root nor the job's user " +
                        std::to_string(kUserB)),
            std::string::npos)
      << output;
  // A swaps the folder for a link.
  Neighbour a(kUserA, [&](Neighbour& n) {
    if (rename(out.c_str(), (out + ".old").c_str()) != 0 || symlink(rootOnly.c_str(), out.c_str()) != 0) _exit(90);
    n.Ready();
  });
  ASSERT_TRUE(a.WaitReady());
  a.Finish();
  EXPECT_EQ(PrintAs(kUserA, "Fax Plain", &output), 1) << output;
  EXPECT_NE(output.find("the output folder " + out + " is not used: a link on its path belongs to a user"),
            std::string::npos)
      << output;
  EXPECT_TRUE(fs::is_empty(rootOnly));
}

TEST_F(NeighbourTest, SquattedLaunchAndRenderSlotsGetNothing) {
  // A serves B's per-user launcher slot and the render slot. B's launch job
  // must reach neither: no launcher of B's runs, so the monitor shows its box.
  AddPrinter("Fax Launch", "MVN6",
             {{"ExternalApplication", "/opt/fax/viewer"}, {"Launch", "2"}, {"OutputDirectory", m_outDir}});
  StartSpooler();
  Neighbour userSlot(kUserA, [&](Neighbour& n) {
    ServeSlot(n, "\\\\.\\mailslot\\mvnfuial\\" + std::to_string(kUserB) + "\\launcher", 1, 3000);
  });
  Neighbour render(kUserA, [&](Neighbour& n) { ServeSlot(n, "\\\\.\\mailslot\\mvnrender", 1, 3000); });
  ASSERT_TRUE(userSlot.WaitReady());
  ASSERT_TRUE(render.WaitReady());
  std::string output;
  ASSERT_EQ(PrintAs(kUserB, "Fax Launch", &output), 0) << output;
  ASSERT_TRUE(WaitFor([&] { return !mvntest::ReadFile(m_serviceBoxes).empty(); })) << ServiceLog();
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), kNoLauncherBox);
  std::string got = userSlot.Finish();
  EXPECT_TRUE(got.empty() || got.rfind("cannot serve", 0) == 0) << got;
  EXPECT_EQ(render.Finish(), "");
  // The file stays the service's, where only the service makes names.
  std::vector<std::string> files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::path(files[0]).parent_path(), fs::path(m_root / "spool/temp"));
}

TEST_F(NeighbourTest, RenderUserFromTheRegistryGetsRenderJobsAndCanReadThem) {
  AddPrinter("Fax Plain", "MVN5", {{"OutputDirectory", m_outDir}});
  SetValue(kMonitorsKey + "\\MVNMON", "RenderUser", std::to_string(kUserA));
  StartSpooler();
  Neighbour render(kUserA, [&](Neighbour& n) { ServeSlot(n, "\\\\.\\mailslot\\mvnrender", 1, 5000); });
  ASSERT_TRUE(render.WaitReady());
  std::string output;
  ASSERT_EQ(PrintAs(kUserB, "Fax Plain", &output), 0) << output;
  std::string reported = render.Finish();
  const std::string folderA = m_root / ("spool/temp/" + std::to_string(kUserA));
  EXPECT_EQ(reported.rfind(folderA + "/MVN", 0), 0u) << reported;
  EXPECT_NE(reported.find("|readable"), std::string::npos) << reported;
  EXPECT_TRUE(fs::is_empty(m_outDir));
}

TEST_F(NeighbourTest, FifoPlantedAsTheLockFileHoldsNoJob) {
  AddPrinter("Fax Plain", "MVN5", {{"OutputDirectory", m_outDir}});
  StartSpooler();
  // A socket under the render slot's name with a FIFO as its lock file.
  int fake = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = m_root / "mailslot/mvnrender";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(fake, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(mkfifo((socketPath + ".LOCK").c_str(), 0666), 0);
  auto start = std::chrono::steady_clock::now();
  Print("Fax Plain");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(mvntest::SpoolFiles(m_outDir).size(), 1u);  // a plain job, as without a render engine
  close(fake);
}

TEST_F(NeighbourTest, IdleConnectionsOfOneUserDoNotStallAnother) {
  AddPrinter("Fax Plain", "MVN5", {{"OutputDirectory", m_outDir}});
  StartSpooler();
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  constexpr int kConnections = 1000;
  Neighbour a(kUserA, [&](Neighbour& n) {
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> held;
    for (int i = 0; i < kConnections; ++i) {
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, socketPath.c_str());
      if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
      held.push_back(fd);
    }
    // Connections beyond the user's share are refused: each gets its
    // refusal line, which is waited for (with a deadline).
    int refused = 0;
    std::vector<bool> answered(held.size(), false);
    auto until = std::chrono::steady_clock::now() + 10s;
    while (refused < kConnections - 16 && std::chrono::steady_clock::now() < until) {
      for (std::size_t i = 0; i < held.size(); ++i) {
        char text[128] = {};
        if (answered[i] || recv(held[i], text, sizeof text - 1, MSG_DONTWAIT) <= 0) continue;
        answered[i] = true;
        if (std::strstr(text, "too many connections")) ++refused;
      }
      if (refused < kConnections - 16) std::this_thread::sleep_for(10ms);
    }
    n.Report(std::to_string(held.size()) + " " + std::to_string(refused));
    n.Ready();
    pause();  // holds the rest until killed
  });
  ASSERT_TRUE(a.WaitReady(20000));
  std::string counts = a.Reported();
  int held = 0, refused = 0;
  std::sscanf(counts.c_str(), "%d %d", &held, &refused);
  EXPECT_EQ(held, kConnections);
  EXPECT_GE(refused, kConnections - 16) << counts;
  // B prints at once while A holds its connections.
  auto start = std::chrono::steady_clock::now();
  std::string output;
  EXPECT_EQ(PrintAs(kUserB, "Fax Plain", &output), 0) << output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(mvntest::SpoolFiles(m_outDir).size(), 1u);
}

TEST_F(NeighbourTest, UsersCannotMakeNamesInTheSpoolFolder) {
  StartSpooler();
  const std::string temp = m_root / "spool/temp";
  Neighbour a(kUserA, [&](Neighbour& n) {
    int fd = open((temp + "/MVN1.TMP").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    n.Report(fd < 0 && errno == EACCES ? "refused" : "created");
  });
  EXPECT_EQ(a.Finish(), "refused");
}

TEST_F(NeighbourTest, CommandsForAPausedLauncherWaitAndAllStart) {
  AddPrinter("Fax Client", "MVN1",
             {{"ExternalApplication", m_app}, {"StartupDirectory", m_startDir}, {"Launch", "2"}});
  StartSpooler();
  Process* launcher = StartLauncher(MVNFUIAL_PATH, PerUserSlot());
  launcher->Signal(SIGSTOP);
  constexpr int kJobs = 20;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kJobs; ++i) Print("Fax Client");
  // The prints never waited for the launcher: a print that waited would
  // hold until its command was given up, a minute after it was queued. The
  // bound leaves a loaded machine time for twenty prints and still ends
  // before the first command could be given up.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 45s);
  // Each print's reply comes after its job has ended on the port: every
  // command is in the launcher's slot or waits in the monitor's queue, and
  // none was given up.
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
  // What is under test: the commands keep waiting while the launcher stays
  // stopped, here for two seconds (forty of the queue's rounds).
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
  launcher->Signal(SIGCONT);
  auto lines = [&] {
    std::string starts = mvntest::ReadFile(m_starts);
    return std::count(starts.begin(), starts.end(), '\n');
  };
  EXPECT_TRUE(WaitFor([&] { return lines() == kJobs; }, 20s)) << lines() << " starts\n" << Logs();
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
  EXPECT_EQ(mvntest::ReadFile(m_launcherBoxes), "");
  // Every application ran in the job's start directory (each counts its
  // start before it writes its record: wait for one record).
  ASSERT_TRUE(WaitFor([&] { return !Record().empty(); }, 20s)) << Logs();
  EXPECT_EQ(Record()[0], m_startDir);
}

// Submits the page over the service's socket as root in the name of user
// (root may print in another's name) and returns the reply line, or
// "<no reply>" after twenty seconds.
std::string SubmitInTheNameOf(const std::string& socketPath, const std::string& printer, const std::string& user,
                              const std::string& data) {
  std::string request = "printer=" + printer + "\nuser=" + user + "\n\n";
  auto frame = [&request](std::uint32_t n) {
    for (int i = 0; i < 4; ++i) request.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  };
  frame(static_cast<std::uint32_t>(data.size()));
  request += data;
  frame(0);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socketPath.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return "<no connection>";
  }
  timeval limit{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  char c;
  while (recv(fd, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
  close(fd);
  return reply.empty() ? "<no reply>" : reply;
}

TEST_F(NeighbourTest, OneUsersStoppedLauncherDoesNotEmptyAnotherUsersLaunches) {
  AddPrinter("Fax Client", "MVN1",
             {{"ExternalApplication", m_app}, {"StartupDirectory", m_startDir}, {"Launch", "2"}});
  StartSpooler();
  const std::string socketPath = m_root / "spool/mvnspoold.sock";
  // A's own launcher, stopped: every launch command for A waits.
  Process::Options options;
  options.env["MVN_MESSAGEBOX_LOG"] = m_root / "logs/launcher-a-boxes.log";
  options.env["MVN_SPOOLER_USER"] = m_service.name;
  options.uid = kUserA;
  options.gid = kUserA;
  options.directory = m_root / "session";
  options.output = m_root / "logs/mvnfuial-a.log";
  const std::string slotA = "\\\\.\\mailslot\\mvnfuial\\" + std::to_string(kUserA) + "\\launcher";
  Process launcherA({MVNFUIAL_PATH}, options);
  ASSERT_TRUE(launcherA.Started());
  ASSERT_TRUE(WaitFor([&] {
    HANDLE h = CreateFileA(slotA.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
  })) << mvntest::ReadFile(options.output);
  launcherA.Signal(SIGSTOP);
  // The other user's launcher is paused for a moment as well, with jobs of
  // its own waiting when A's flood comes.
  Process* launcherB = StartLauncher(MVNFUIAL_PATH, PerUserSlot());
  launcherB->Signal(SIGSTOP);
  constexpr int kWaitingBefore = 3;
  for (int i = 0; i < kWaitingBefore; ++i) Print("Fax Client");
  // A prints 400 launch jobs; each is printed, however many of their
  // commands the service keeps.
  for (int i = 0; i < 400; ++i) {
    std::string reply = SubmitInTheNameOf(socketPath, "Fax Client", std::to_string(kUserA), m_data);
    ASSERT_EQ(reply.substr(0, 3), "OK ") << i << ": " << reply;
  }
  // B's next job while A's commands fill what A may hold.
  Print("Fax Client");
  launcherB->Signal(SIGCONT);
  auto starts = [&] {
    std::string text = mvntest::ReadFile(m_starts);
    return std::count(text.begin(), text.end(), '\n');
  };
  EXPECT_TRUE(WaitFor([&] { return starts() == kWaitingBefore + 1; }, 20s)) << starts() << " starts\n" << Logs();
  // And one more, sent at once to a launcher that reads.
  Print("Fax Client");
  EXPECT_TRUE(WaitFor([&] { return starts() == kWaitingBefore + 2; }, 20s)) << starts() << " starts\n" << Logs();
  // Who ran them and where is the other road tests' check: with five
  // launches at once their records overwrite each other here, so this
  // test counts the starts only.
  launcherA.Signal(SIGCONT);
}

// An empty job's spool file is removed again at the job's end. A, who owns
// the port's output folder (or a folder above it), swaps it for a link to a
// folder of root's the moment the file appears: the removal must still
// happen in the folder the file was made in. Root's folder holds a
// pending document under every name a spool file can have, so whichever
// name the job draws, a removal through the link would take one of them.
struct SwapCase {
  const char* name;
  const char* outputFolder;  // below the root; A owns every folder from "a" down
  const char* swapped;       // what A exchanges for the link
  const char* linkTarget;    // where the link leads, below the root
  bool hardLink;             // instead: the spool file's name becomes a link to A's own document
};

void PrintTo(const SwapCase& c, std::ostream* out) { *out << c.name; }

class DeleteSwapTest : public NeighbourTest, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(DeleteSwapTest, RootRemovesNothingButTheEmptyJobsOwnFile) {
  const SwapCase& c = GetParam();
  const std::string out = m_root / c.outputFolder;
  const std::string swapped = m_root / c.swapped;
  const std::string linkPath = swapped + ".link";
  const std::string keep = m_root / "a/keep.doc";
  fs::create_directories(out);
  for (fs::path at = out; at != fs::path(m_root.str()); at = at.parent_path()) chown(at.c_str(), kUserA, kUserA);
  mvntest::WriteFile(keep, "A's own document\n");
  chown(keep.c_str(), kUserA, kUserA);
  if (!c.hardLink) {
    ASSERT_EQ(symlink((m_root / c.linkTarget).c_str(), linkPath.c_str()), 0);
  }
  lchown(linkPath.c_str(), kUserA, kUserA);
  // Root's folder: a few documents and names of them for every spool file
  // name (a file takes only so many links).
  const std::string rootFolder = m_root / "b/out";
  fs::create_directories(rootFolder);
  constexpr unsigned kNames = 0xFFFF, kDocuments = 4;
  const std::string first = rootFolder + "/MVN1.TMP";
  for (unsigned n = 1; n <= kNames; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "/MVN%X.TMP", n);
    if (n <= kDocuments) {
      mvntest::WriteFile(rootFolder + name, "another port's pending document\n");
    } else {
      char document[32];
      std::snprintf(document, sizeof document, "/MVN%X.TMP", (n - 1) % kDocuments + 1);
      ASSERT_EQ(link((rootFolder + document).c_str(), (rootFolder + name).c_str()), 0) << name;
    }
  }
  const std::string empty = m_root / "empty.ps";
  mvntest::WriteFile(empty, "");
  chmod(empty.c_str(), 0644);
  AddPrinter("Fax Plain", "MVN5", {{"OutputDirectory", out}});
  StartSpooler();

  Neighbour a(kUserA, [&](Neighbour& n) {
    int watch = inotify_init1(0);
    if (watch < 0 || inotify_add_watch(watch, out.c_str(), IN_CREATE) < 0) _exit(90);
    n.Ready();
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t length = read(watch, buffer, sizeof buffer);
      if (length <= 0) return;
      for (char* p = buffer; p < buffer + length;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        std::string name = event->len ? event->name : "";
        p += sizeof(inotify_event) + event->len;
        if (name.rfind("MVN", 0) != 0 || name.find(".moved") != std::string::npos) continue;
        if (c.hardLink) {
          std::string path = out + "/" + name;
          if (rename(path.c_str(), (path + ".moved").c_str()) == 0 && link(keep.c_str(), path.c_str()) == 0)
            n.Report("linked\n");
          continue;
        }
        if (renameat2(AT_FDCWD, swapped.c_str(), AT_FDCWD, linkPath.c_str(), RENAME_EXCHANGE) != 0) continue;
        n.Report("swapped\n");
        std::this_thread::sleep_for(100ms);
        renameat2(AT_FDCWD, swapped.c_str(), AT_FDCWD, linkPath.c_str(), RENAME_EXCHANGE);
      }
    }
  });
  ASSERT_TRUE(a.WaitReady());
  auto documents = [&] {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(rootFolder)) count += entry.is_regular_file() ? 1 : 0;
    return count;
  };
  Process::Options options;
  options.uid = kUserA;
  options.gid = kUserA;
  constexpr int kRounds = 10;
  for (int round = 0; round < kRounds && documents() == kNames; ++round) {
    std::string output;
    RunToEnd({MVNPRINT_PATH, "-P", "Fax Plain", empty}, &output, m_root / "logs/mvnprint-a.log", options);
    // The folder is back in its place before the next job.
    ASSERT_TRUE(WaitFor([&] {
      struct stat st;
      return lstat(swapped.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }, 5s));
  }
  std::string reports = a.Finish(200ms);
  ASSERT_NE(reports, "") << "the attack never ran\n" << Logs();
  EXPECT_EQ(documents(), kNames) << reports << Logs();
  EXPECT_EQ(mvntest::ReadFile(first), "another port's pending document\n");
  EXPECT_EQ(mvntest::ReadFile(keep), "A's own document\n");
}

INSTANTIATE_TEST_SUITE_P(
    Swaps, DeleteSwapTest,
    ::testing::Values(SwapCase{"the output folder itself", "a/out", "a/out", "b/out", false},
                      SwapCase{"a folder above it", "a/top/mid/out", "a/top/mid", "b", false},
                      SwapCase{"the file's name for a hard link", "a/out", "a/out", "", true}),
    [](const ::testing::TestParamInfo<SwapCase>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

// Binds a datagram socket at path and holds an exclusive flock on
// lockPath (made when missing): what a live slot server holds. The report
// says which of the two worked.
void PlantSlot(Neighbour& n, const std::string& path, const std::string& lockPath) {
  int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  bool bound = sock >= 0 && bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  chmod(path.c_str(), 0777);
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
  bool locked = lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0;
  n.Report(std::string(bound ? "bound " : "") + (locked ? "locked " : "") + path + "\n");
}

TEST_F(NeighbourTest, AnotherUsersPlantedSlotCannotTakeAUsersLauncher) {
  AddPrinter("Fax Client", "MVN1", {{"ExternalApplication", m_app}, {"Launch", "2"}});
  // B plants A's slot twice: before the service starts, in the folder as
  // it was shared (01777), under A's name there; and once the service
  // runs, under A's slot name and in A's name with another case.
  const std::string folder = m_root / "mailslot/mvnfuial";
  ASSERT_EQ(mkdir(folder.c_str(), 01777), 0);
  chmod(folder.c_str(), 01777);
  const std::string a = std::to_string(kUserA);
  Neighbour before(kUserB, [&](Neighbour& n) {
    PlantSlot(n, folder + "/" + a, folder + "/" + a + ".LOCK");
    n.Ready();
    pause();
  });
  ASSERT_TRUE(before.WaitReady());
  ASSERT_EQ(before.Reported(), "bound locked " + folder + "/" + a + "\n") << "the plant did not take";
  StartSpooler();
  Neighbour after(kUserB, [&](Neighbour& n) {
    PlantSlot(n, folder + "/" + a + "/launcher", folder + "/" + a + "/launcher.LOCK");
    HANDLE h = CreateMailslotA(("\\\\.\\mailslot\\MVNFUIAL\\" + a + "\\LAUNCHER").c_str(), 0, 0, nullptr);
    n.Report(h == INVALID_HANDLE_VALUE ? "not served\n" : "served\n");
    n.Ready();
    pause();
  });
  ASSERT_TRUE(after.WaitReady());
  // A's own launcher serves all the same, and A's job reaches A's
  // application.
  Process::Options options;
  options.env["MVN_MESSAGEBOX_LOG"] = m_root / "logs/launcher-a-boxes.log";
  options.env["MVN_SPOOLER_USER"] = m_service.name;
  options.uid = kUserA;
  options.gid = kUserA;
  options.directory = m_root / "session";
  options.output = m_root / "logs/mvnfuial-a.log";
  Process launcherA({MVNFUIAL_PATH}, options);
  ASSERT_TRUE(launcherA.Started());
  const std::string slotA = "\\\\.\\mailslot\\mvnfuial\\" + a + "\\launcher";
  uid_t owner = 0;
  ASSERT_TRUE(WaitFor([&] {
    if (!launcherA.Running()) return true;
    HANDLE h = CreateFileA(slotA.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool known = MailslotServerOwner(h, &owner);
    CloseHandle(h);
    return known && owner == kUserA;
  }));
  ASSERT_TRUE(launcherA.Running()) << mvntest::ReadFile(options.output) << "\nB: " << after.Reported();
  std::string output;
  ASSERT_EQ(PrintAs(kUserA, "Fax Client", &output), 0) << output;
  ASSERT_TRUE(WaitFor([&] { return fs::exists(m_starts); }, 15s)) << "A's application did not start\n" << Logs();
  EXPECT_EQ(mvntest::ReadFile(m_serviceBoxes), "");
  struct stat st;
  ASSERT_EQ(stat((folder + "/" + a).c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, kUserA);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

}  // namespace
