// Start-up: the pieces as functions, and the program as a real process on
// a private root and HOME (the binary is copied, as /proc/self/exe is the
// resolved path and the INI file sits beside the program).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/app/procedures.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"
#include "tests/support/child.h"
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
                          "line\nbreak", ";comment"})
    EXPECT_FALSE(ValidBookName(bad)) << bad;
  // A book's name is a key only: "]" inside it reads back as it is, and "#"
  // is no comment of the INI file.
  for (const char* good : {"Sales Book", "Personal Address Book", "Kunden (Köln)", "x]", "Team [old]", "#1 Customers"})
    EXPECT_TRUE(ValidBookName(good)) << good;
}

// Every DateFormat picture reads back what it shows of a date; a picture
// without a day stands for that day of the month shown (the month's last
// day when it is shorter).
TEST(Startup, SendDatesOfEveryPicture) {
  const char* pictures[] = {"mm/dd/yy", "mm/dd/yyyy", "mmm dd, yyyy", "mmmmmmmmm dd, yyyy", "dd/mm/yy", "dd/mm/yyyy",
                            "dd mmm yy", "dd mmm yyyy", "yy/mm/dd", "yyyy/mm/dd", "yymmdd", "yyyymmdd",
                            "mm/yy", "mm/yyyy", "yy/mm", "yyyy/mm"};
  const int32_t days[] = {fw::Date(1, 31, 2027), fw::Date(2, 28, 2028), fw::Date(12, 10, 2026)};
  for (const char* pic : pictures) {
    ASSERT_EQ(DatePicture(pic), pic);
    for (int32_t day : days) {
      bool ok = false;
      EXPECT_EQ(SendDateOf(fw::Format(day, pic), pic, day, &ok), day) << pic << " " << fw::Format(day, pic);
      EXPECT_TRUE(ok) << pic;
    }
  }
  bool ok = true;
  // Today the 31st of January: March is the 31st, February its last day.
  const int32_t jan31 = fw::Date(1, 31, 2027);
  EXPECT_EQ(SendDateOf("03/2027", "mm/yyyy", jan31, &ok), fw::Date(3, 31, 2027));
  EXPECT_EQ(SendDateOf("2028/02", "yyyy/mm", jan31, &ok), fw::Date(2, 29, 2028));
  EXPECT_EQ(SendDateOf("02/27", "mm/yy", jan31, &ok), fw::Date(2, 28, 2027));
  EXPECT_EQ(SendDateOf("13/2027", "mm/yyyy", jan31, &ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(SendDateOf("31/02/2027", "dd/mm/yyyy", jan31, &ok), 0);
  EXPECT_FALSE(ok);
}

// The INI file found in the Windows directory is named as the file it is,
// so the language files beside it are found from any current directory.
TEST(Startup, TheIniFileInTheWindowsDirectoryIsNamedWhole) {
  char windows[MAX_PATH] = {};
  UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  ASSERT_GT(n, 0u);
  fs::create_directories(windows);
  const std::string program = "/nowhere/bin/dashprobe";
  std::vector<std::string> places = IniPlacesLookedAt(program);
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0], "/nowhere/bin/dashprobe.INI");
  EXPECT_EQ(places[1], (fs::path(windows) / "dashprobe.INI").string());
  std::ofstream(places[1]) << "[Database]\nPathname=/tmp/book\n";
  EXPECT_EQ(FindClientIni(program), places[1]);
  fs::remove(places[1]);
}

// A book whose _mvn_tables lost the row of MVClients (the records are
// there) is refused at the start with a message naming the table; it is not
// emptied (opening it used to drop the table and make it again).
TEST(Startup, AHostileBookIsToldAndKeepsItsRecords) {
  mvntest::TempDir dir;
  const std::string book = (dir.path() / "book").string();
  {
    Dictionary d;
    std::string why;
    ASSERT_TRUE(d.SetAddressBookFiles(book, "KEYED", &why)) << why;
    auto& c = d.File("MVClients");
    ASSERT_EQ(c.TryOpen(), 0);
    for (int i = 0; i < 4; ++i) {
      c.Buffer().Clear();
      c.Buffer().Set("ClientID", "Contact " + std::to_string(i));
      c.Buffer().Set("PreferredDestination", "555");
      ASSERT_EQ(c.TryInsert(), 0);
    }
    for (const char* t : {"MVGroupClient", "MVdefaults"}) ASSERT_EQ(d.File(t).TryOpen(), 0) << t;
  }
  auto sql = [&](const std::string& statement) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open((book + ".KDF").c_str(), &db);
    std::string out;
    if (rc == SQLITE_OK)
      sqlite3_exec(
          db, statement.c_str(),
          [](void* o, int, char** v, char**) {
            *static_cast<std::string*>(o) += v[0] ? v[0] : "";
            return 0;
          },
          &out, nullptr);
    sqlite3_close(db);
    return out;
  };
  sql("DELETE FROM _mvn_tables WHERE name = 'MVClients'");
  const std::string before = mvntest::ReadFile(book + ".KDF");
  fw::IniFile ini((dir.path() / "c.INI").string());
  std::ofstream(ini.FileName()) << "[Database]\nPathname=" << book << "\n";
  Dictionary d;
  std::string problem;
  LoadAddressBooks(d, ini, nullptr, &problem);
  EXPECT_NE(problem.find("table MVClients (not listed in _mvn_tables)"), std::string::npos) << problem;
  EXPECT_NE(problem.find(book + ".KDF"), std::string::npos) << problem;
  EXPECT_EQ(sql("SELECT count(*) FROM MVClients"), "4");
  EXPECT_EQ(mvntest::ReadFile(book + ".KDF"), before);
}

// A book the user may read but not write (root's file, mode 0644) opens at
// the start for looking: the start says once that changes cannot be saved,
// naming the book, its records are read, and a change is refused with the
// same text; the file is not changed.
TEST(Startup, AReadOnlyBookOpensForLookingAndRefusesChanges) {
  mvntest::TempDir dir;
  ASSERT_EQ(chmod(dir.str().c_str(), 0755), 0);
  const std::string book = (dir.path() / "book").string();
  {
    Dictionary d;
    ASSERT_TRUE(d.SetAddressBookFiles(book, "KEYED"));
    ASSERT_EQ(d.OpenAddressBook(), 0);
    auto& c = d.File("MVClients");
    for (const char* name : {"Anna", "Bert"}) {
      c.Buffer().Clear();
      c.Buffer().Set("ClientID", name);
      c.Buffer().Set("PreferredDestination", "555");
      ASSERT_EQ(c.TryInsert(), 0);
    }
  }
  ASSERT_EQ(chmod((book + ".KDF").c_str(), 0644), 0);
  const std::string iniFile = (dir.path() / "c.INI").string();
  std::ofstream(iniFile) << "[Database]\nPathname=" << book << "\nNumCustomBooks=1\nCustom Book 1=Office\nOffice="
                         << book << "\n";
  ASSERT_EQ(chmod(iniFile.c_str(), 0644), 0);
  const std::string before = mvntest::ReadFile(book + ".KDF");
  const std::string said = fw::ReadOnlyText(book + ".KDF");
  int code = mvntest::AsStranger([&] {
    alarm(60);  // the child never outlives a hang
    fw::IniFile ini(iniFile);
    Dictionary d;
    std::string problem;
    LoadAddressBooks(d, ini, nullptr, &problem);
    if (problem != "The address book \"Office\" is opened for looking only: " + said + ".") {
      std::fprintf(stderr, "problem: %s\n", problem.c_str());
      return 1;
    }
    if (d.ReadOnlyBook() != said) return 2;
    auto& c = d.File("MVClients");
    if (!c.IsOpen() || c.Records() != 2) return 3;
    c.Buffer().Clear();
    c.Buffer().Set("ClientID", "Cleo");
    if (c.TryInsert() != fw::AccessDeniedError || fw::ErrorText() != said) return 4;
    if (c.Set() != 0 || c.Next() != 0) return 5;
    if (c.TryDelete() != fw::AccessDeniedError || fw::ErrorText() != said) return 6;
    return 0;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(mvntest::ReadFile(book + ".KDF"), before);
}

// Books without a path are listed; when the current book cannot be used
// the client goes on with Pathname, telling it once.
TEST(Startup, AnUnusableCurrentBookGivesWayToPathname) {
  mvntest::TempDir dir;
  const std::string book = (dir.path() / "book").string();
  struct Case {
    std::string database;
    std::vector<std::string> names;  // g_QaddressBooks after the start
    int current;                     // 0-based
    bool told;
  } cases[] = {
      // Every configured book unusable: no path, a name of the section's own.
      {"NumCustomBooks=2\nCustom Book 1=Sales\nCustom Book 2=Pathname\n", {"Sales", "book"}, 1, true},
      // The book at Pathname is configured: it is used, the one without a
      // path stays listed.
      {"NumCustomBooks=2\nCustom Book 1=Sales\nCustom Book 2=Main\nMain=" + book + "\n", {"Sales", "Main"}, 1, false},
      // No book has Pathname's path and the first cannot be opened.
      {"NumCustomBooks=1\nCustom Book 1=Far\nFar=" + std::string(160, 'f') + "\n", {"Far", "book"}, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.database);
    fw::IniFile ini((dir.path() / "c.INI").string());
    std::ofstream(ini.FileName()) << "[Database]\nPathname=" << book << "\n" << c.database;
    Dictionary d;
    std::string problem;
    EXPECT_EQ(LoadAddressBooks(d, ini, nullptr, &problem), c.current);
    fw::Queue& q = d.Queues().g_QaddressBooks;
    std::vector<std::string> names;
    for (int i = 1; i <= q.Records(); ++i) names.push_back(q.Entry(i).Get("Name"));
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(q.Entry(c.current + 1).Get("pathName"), book);
    EXPECT_EQ(problem.empty(), !c.told) << problem;
    if (c.told) {
      EXPECT_NE(problem.find("Dashpost goes on with " + book), std::string::npos) << problem;
    }
    // The book is open: a record can be added.
    EXPECT_TRUE(d.File("MVClients").IsOpen());
    // Nothing was written into the INI file for it.
    EXPECT_EQ(ini.Fetch("Database", "book"), "");
  }
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
    // Up: the condition holds and the program catches SIGTERM (it does so
    // once its main window is built), so the signal ends the session
    // rather than the process.
    auto catchesTerm = [pid] {
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
      return 0ull;
    };
    bool up = mvntest::WaitFor([&] { return ready() && catchesTerm(); }, std::chrono::seconds(60));
    // The main window opens on the event loop right after; a session end
    // that comes before it is served once it has opened, so the signal can
    // go now.
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
  // The message names the three places, as the files they are.
  EXPECT_NE(r.err.find("The ini file was looked for in:\n  " + (p.bin / "dashpost.INI").string() + "\n  " +
                       (p.root / "windows" / "dashpost.INI").string() + "\n  " +
                       (p.home / "dashpost" / "dashpost.ini").string() + "\n"),
            std::string::npos)
      << r.err;
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

// The temporary charge database lives in the temporary directory, whatever
// its length (no settings field holds its path), and is created at start;
// a configured one is found without case and opened by the name checked.
TEST(StartupProcess, TheTemporaryChargeDatabaseIsCreatedWhateverTheTemporaryPath) {
  Program p;
  // A root whose temporary directory is far past 149 bytes.
  fs::path longRoot = p.dir.path() / std::string(150, 'r');
  fs::create_directories(longRoot / "windows");
  p.root = longRoot;
  Program::Write(p.bin / "dashpost.INI", "[Database]\nPathname=" + (p.dir.path() / "book").string() +
                                             "\n[Default]\nMandatoryCharge=NO\n");
  // The user's temporary directory below the root.
  auto database = [&] {
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(longRoot / "temp", ec))
      if (e.path().filename() == "dposttmp.KDF") return e.path();
    return fs::path();
  };
  int code = p.StartAndTerminate([&] { return !database().empty(); });
  EXPECT_EQ(code, 0);
  fs::path temp = database().parent_path();
  ASSERT_FALSE(temp.empty());
  EXPECT_GT((temp / "dposttmp.KDF").string().size(), 149u);
  // Its three tables are there.
  Dictionary d;
  ASSERT_TRUE(d.SetChargeAccountFiles((temp / "dposttmp.KDF").string()));
  for (const char* t : {"Charge_account", "Charge_user", "Charge_userAccount"}) {
    fw::FileManager& f = d.File(t);
    f.SetCreate(false);
    EXPECT_EQ(f.TryOpen(), 0) << t;
    f.Close();
  }
}

TEST(StartupProcess, AConfiguredChargeDatabaseIsOpenedByTheNameChecked) {
  struct Case {
    const char* configured;  // MandatoryCharge, after the directory
    const char* file;        // the database on disk
    const char* stray;       // a file that must not be made
  } cases[] = {
      {"charges.kdf", "charges.kdf", "charges.KDF"},
      {"CHARGES", "charges.Kdf", "CHARGES.KDF"},
      {"charges.2024", "charges.2024.KDF", "charges.2024"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.configured);
    Program p;
    fs::path dbDir = p.dir.path() / "charge";
    fs::create_directories(dbDir);
    {
      // A charge database with one account for the user the list looks for.
      Dictionary d;
      ASSERT_TRUE(d.SetChargeAccountFiles((dbDir / c.file).string()));
      for (const char* t : {"Charge_account", "Charge_user", "Charge_userAccount"}) {
        ASSERT_EQ(d.File(t).TryOpen(), 0) << t;
        d.File(t).Close();
      }
    }
    Program::Write(p.bin / "dashpost.INI", "[Database]\nPathname=" + (p.dir.path() / "book").string() +
                                               "\n[Default]\nMandatoryCharge=" + (dbDir / c.configured).string() +
                                               "\n");
    int code = p.StartAndTerminate([&] {
      return fw::IniFile((p.bin / "dashpost.INI").string()).Fetch("Database", "NumCustomBooks") == "1";
    });
    EXPECT_EQ(code, 0);
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dbDir)) files.push_back(e.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{c.file});
    EXPECT_FALSE(fs::exists(dbDir / c.stray));
  }
}
