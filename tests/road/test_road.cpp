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
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
                       " > '" + m_record + ".part'\n"
                       "mv '" + m_record + ".part' '" + m_record + "'\n"
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
  Process* StartLauncher(const char* program, const std::string& slot) {
    Process::Options options;
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

  std::string PerUserSlot() const { return "\\\\.\\mailslot\\mvnfuial\\" + m_session.name; }

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

  // The files of launch and render jobs in the shared spool folder.
  std::vector<std::string> SpoolFiles() const {
    std::vector<std::string> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(m_root / "spool/temp", ignored)) files.push_back(entry.path());
    return files;
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
    EXPECT_EQ(fs::path(spool).parent_path(), fs::path(m_root / "spool/temp"));
    // A launch job carries no spool header, whatever AddUserID says.
    EXPECT_TRUE(mvntest::ReadFile(m_copy) == m_data) << "the application got other bytes than were printed";
    if (m_session.uid != m_service.uid) {
      // Handed to the job's user, and to nobody else.
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
  }
  // Render jobs are not launched.
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(fs::exists(m_record));
  // With the render engine gone, the same port launches again, once.
  Print("Fax Client");
  ExpectApplicationRan("mvnfuial", m_startDir, "");
  const std::string starts = mvntest::ReadFile(m_starts);
  EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), 1) << starts;
}

}  // namespace
