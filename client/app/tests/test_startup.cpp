// Start-up: the pieces as functions, and the program as a real process on
// a private root and HOME (the binary is copied, as /proc/self/exe is the
// resolved path and the INI file sits beside the program).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/app/procedures.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using namespace mvn::client;

TEST(Startup, MainAttachmentIsTheFirstNonSwitchArgumentTakenWhole) {
  struct Case { std::vector<std::string> args; std::string want; } cases[] = {
      {{"/x", "/tmp/spool/job 1.tmp"}, "/x"},
      {{"/L", "/EditTips", "/tmp/spool/job 1.tmp", "next"}, "/tmp/spool/job 1.tmp"},
      {{"/hwtrace", std::string(300, 'a')}, std::string(300, 'a')},
      {{"/l"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MainAttachmentFromArguments(c.args), c.want);
}

TEST(Startup, SendOptionsFromTheDefaultsAndBack) {
  mvntest::TempDir dir;
  fw::IniFile ini((dir.path() / "c.INI").string());
  ini.Update("Default", "DefaultPriority", "normal");
  ini.Update("Default", "DefaultNotifyLevel", "ALL ");
  ini.Update("Default", "DefaultResolution", "medium");
  ini.Update("Default", "DefaultPageSize", "full");
  ini.Update("Default", "DefaultGroupSend", "fax then email");
  ini.Update("Default", "DefaultRetry", "R2");
  SendOptions o = ReadSendOptions(ini);
  EXPECT_EQ(o.priority, Priority::Normal);
  EXPECT_EQ(o.notification, Notification::All);
  EXPECT_EQ(o.resolution, Resolution::None);
  EXPECT_EQ(o.pageSize, PageSize::Full);
  EXPECT_EQ(o.groupSend, GroupSend::FaxThenEmail);
  EXPECT_EQ(o.retryProfile, "R2");
  o.resolution = Resolution::High;
  WriteSendOptions(ini, o);
  EXPECT_EQ(ini.Fetch("Default", "DefaultResolution"), "High");
  EXPECT_EQ(ini.Fetch("Default", "DefaultPriority"), "NORMAL");
  EXPECT_EQ(ini.Fetch("Default", "DefaultGroupSend"), "FAX THEN EMAIL");
  // "Full" with two blanks: a profile reader keeps them only in quotes, so
  // the raw line is checked.
  std::ifstream in(ini.FileName());
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("DefaultPageSize=Full  "), std::string::npos);
  ini.Update("Default", "SendOptionsRetryProfile", "no");
  EXPECT_EQ(ReadSendOptions(ini).retryProfile, "");
  EXPECT_EQ(DatePicture("yyyy/mm/dd"), "yyyy/mm/dd");
  EXPECT_EQ(DatePicture("dd.mm.yyyy"), "dd/mm/yyyy");
}

TEST(Startup, BookNamesThatWouldBreakTheIniAreRefused) {
  for (const char* bad : {"", "Pathname", "driver", "NumCustomBooks", "Custom Book 3", "Driver 2", "a=b", "[x",
                          "x]", "line\nbreak", ";comment"})
    EXPECT_FALSE(ValidBookName(bad)) << bad;
  for (const char* good : {"Sales Book", "Personal Address Book", "Kunden (Köln)"}) EXPECT_TRUE(ValidBookName(good));
}

namespace {

// The program copied to <dir>/bin/dashpost, run with MVN_ROOT and HOME.
struct Program {
  mvntest::TempDir dir;
  fs::path bin, root, home;
  Program() {
    bin = dir.path() / "bin";
    root = dir.path() / "root";
    home = dir.path() / "home";
    fs::create_directories(bin);
    fs::create_directories(root / "windows");
    fs::create_directories(home);
    fs::copy_file(DASHPOST_PATH, bin / "dashpost");
  }
  static void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  std::map<std::string, std::string> Env() const {
    return {{"MVN_ROOT", root.string()}, {"HOME", home.string()}, {"HOMEPATH", mvntest::kUnset},
            {"HOMEDRIVE", mvntest::kUnset}, {"QT_QPA_PLATFORM", "offscreen"}, {"LC_ALL", "C.UTF-8"},
            {"TMPDIR", dir.str()}};
  }
  // Runs to its end (a start that stops).
  mvntest::RunResult Stop(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {(bin / "dashpost").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    mvntest::RunOptions o;
    o.env = Env();
    o.timeoutSeconds = 60;
    o.directory = dir.str();
    return mvntest::Run(argv, o);
  }
  // Starts, waits until ready() holds (the window is up), then ends the
  // session with SIGTERM; the exit code.
  int StartAndTerminate(const std::function<bool()>& ready) {
    pid_t pid = fork();
    if (pid == 0) {
      for (const auto& [k, v] : Env()) {
        if (v == mvntest::kUnset) unsetenv(k.c_str());
        else setenv(k.c_str(), v.c_str(), 1);
      }
      if (chdir(dir.str().c_str()) != 0) _exit(126);
      std::string path = (bin / "dashpost").string();
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    bool up = mvntest::WaitFor(ready, std::chrono::seconds(30));
    // The window needs a moment after the settings were written.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(up);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

const char* kMessage =
    "The application's ini file does not exist or (Pathname) not set in the file, \nPlease check and retry later";

}  // namespace

TEST(StartupProcess, WithoutAPathnameAnywhereTheMessageAndTheStop) {
  Program p;
  // Files without Pathname count as missing.
  Program::Write(p.bin / "dashpost.INI", "[Database]\nDriver=KEYED\n");
  auto r = p.Stop();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(kMessage), std::string::npos) << r.err;
}

TEST(StartupProcess, CandidatesInOrderAndTheFirstWithAPathnameIsUsed) {
  // Each case: which candidates hold a Pathname; the one that must be used.
  struct Case { bool beside, windows, home; int used; } cases[] = {
      {true, true, true, 0}, {false, true, true, 1}, {false, false, true, 2}};
  for (const Case& c : cases) {
    Program p;
    fs::path files[] = {p.bin / "DashPost.ini", p.root / "windows" / "dashpost.INI",
                        p.home / "dashpost" / "dashpost.ini"};
    for (int i = 0; i < 3; ++i) {
      bool has = i == 0 ? c.beside : i == 1 ? c.windows : c.home;
      Program::Write(files[i], has ? "[Database]\nPathname=" + (p.dir.path() / ("book" + std::to_string(i))).string() +
                                         "\n[Default]\nMandatoryCharge=NO\n"
                                   : "[Database]\n");
    }
    int code = p.StartAndTerminate([&] {
      return fw::IniFile(files[c.used].string()).Fetch("Database", "NumCustomBooks") == "1";
    });
    EXPECT_EQ(code, 0) << c.used;
    fw::IniFile used(files[c.used].string());
    // No NumCustomBooks: the configured Pathname is book 1, four keys written.
    EXPECT_EQ(used.Fetch("Database", "Custom Book 1"), "Personal Address Book");
    EXPECT_EQ(used.Fetch("Database", "Personal Address Book"), used.Fetch("Database", "Pathname"));
    EXPECT_EQ(used.Fetch("Database", "Pathname"), (p.dir.path() / ("book" + std::to_string(c.used))).string());
    // Written at close, through the normal close of a session end.
    EXPECT_EQ(used.Fetch("Default", "ShowImageFilesTab"), "No");
    for (int i = 0; i < 3; ++i)
      if (i != c.used) {
        EXPECT_TRUE(fw::IniFile(files[i].string()).Fetch("Database", "NumCustomBooks").empty()) << i;
      }
  }
}

TEST(StartupProcess, AMissingChargeFileStops) {
  Program p;
  std::string charge = (p.dir.path() / "charges").string();
  Program::Write(p.bin / "dashpost.INI", "[Database]\nPathname=" + (p.dir.path() / "book").string() +
                                             "\n[Default]\nMandatoryCharge=" + charge + ".kdf\n");
  auto r = p.Stop();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Required charge account file (" + charge +
                       ".KDF) does not exist. Please contact your administrator for help"),
            std::string::npos)
      << r.err;
}
