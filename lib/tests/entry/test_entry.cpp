// The program entry, run as real child processes (a copy of the test
// program in a private directory with its own machine root and INI files),
// and the entry's helpers in this process.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cxxapp.h"
#include "lib/notify.h"
#include "lib/tests/testsupport.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

#ifndef MVN_ENTRY_TESTAPP
#error "MVN_ENTRY_TESTAPP names the test program"
#endif

extern char** environ;

namespace {

using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

struct Child {
  int status = -1;  // exit code, or -signal
  std::string out;
  std::string err;
  std::vector<std::string> lines;

  bool Has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
  // Lines that start with prefix, in order.
  std::vector<std::string> With(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : lines)
      if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
  }
};

// A private directory holding a copy of the test program as "mvnapp", so
// that "the program path with .INI" is a file of the test's own.
class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_app = m_dir / "mvnapp";
    std::filesystem::copy_file(MVN_ENTRY_TESTAPP, m_app);
    std::filesystem::permissions(m_app, std::filesystem::perms::owner_all);
    std::filesystem::create_directory(m_dir / "root");
  }

  void Ini(const std::string& relative, const std::string& content) {
    std::filesystem::path path = m_dir.path() / relative;
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path.string(), content);
  }

  Child Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
            const std::string& cwd = "") {
    // The program runs without this process's own settings.
    mvntest::RunOptions options;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("MVN_", 0) == 0 || entry.rfind("MVNTEST_", 0) == 0)
        options.env[entry.substr(0, entry.find('='))] = mvntest::kUnset;
    }
    options.env["MVN_ROOT"] = m_dir / "root";
    for (const std::string& entry : extraEnv) {
      std::size_t eq = entry.find('=');
      options.env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    options.directory = cwd.empty() ? m_dir.str() : cwd;
    std::vector<std::string> argv = {m_app};
    argv.insert(argv.end(), args.begin(), args.end());
    mvntest::RunResult run = mvntest::Run(argv, options);
    Child child;
    child.status = run.signal ? -run.signal : run.exitCode;
    child.out = run.out;
    child.err = run.err;
    std::size_t start = 0;
    while (start < child.out.size()) {
      std::size_t end = child.out.find('\n', start);
      if (end == std::string::npos) end = child.out.size();
      child.lines.push_back(child.out.substr(start, end - start));
      start = end + 1;
    }
    return child;
  }

  TempDir m_dir;
  std::string m_app;
};

TEST_F(EntryTest, RunsStartupRunShutdownAndEndsWithTheExitCode) {
  Ini("mvnapp.INI", "[mvnapp]\nGreeting=hello\n");
  Child child = Run({}, {"MVNTEST_MODE=exit3"});
  EXPECT_EQ(child.status, 3) << child.out << child.err;
  std::vector<std::string> expected = {"INIT section=mvnapp",
                                       "NOTIFY NOTIFY_APPSTARTUP,,,|0|NL",
                                       "RUN",
                                       "NOTIFY NOTIFY_APPSHUTDOWN,,,|0|NL",
                                       "SHUTDOWN",
                                       "DESTROYED"};
  std::vector<std::string> got;
  for (const std::string& line : child.lines)
    if (std::find(expected.begin(), expected.end(), line) != expected.end()) got.push_back(line);
  EXPECT_EQ(got, expected) << child.out;
  EXPECT_TRUE(child.Has("GREETING hello")) << child.out;
  EXPECT_TRUE(child.Has("CONFIG " + (m_dir / "mvnapp.INI"))) << child.out;
  EXPECT_TRUE(child.Has("APPNAME mvnapp")) << child.out;
}

TEST_F(EntryTest, IniBesideTheProgramIsFoundWithoutRegardToCase) {
  Ini("MvnApp.ini", "[mvnapp]\nGreeting=lower case\n");
  Child child = Run({}, {}, m_dir.str());
  EXPECT_EQ(child.status, 0);
  EXPECT_TRUE(child.Has("CONFIG " + (m_dir / "MvnApp.ini"))) << child.out;
  EXPECT_TRUE(child.Has("GREETING lower case")) << child.out;
}

TEST_F(EntryTest, WordsAreSplitQuotedAndExpandedTwice) {
  Ini("mvnapp.INI", "[mvnapp]\n");
  Child child = Run({"plain", "with blank", "", "%%PATH%%", "%HOME2%", "appname:Test", "APPINST=0x10"},
                    {"PATH=/usr/bin:/bin:/mvn/marker", "HOME2=/h2"});
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_EQ(child.With("ARG "), (std::vector<std::string>{
                                    "ARG 1 [plain] own",
                                    "ARG 2 [with blank] own",
                                    "ARG 3 [] own",
                                    "ARG 4 [/usr/bin:/bin:/mvn/marker] own",
                                    "ARG 5 [/h2] own",
                                    "ARG 6 [appname:Test] base",
                                    "ARG 7 [APPINST=0x10] base",
                                }))
      << child.out;
  // APPNAME names the section: [Test] is not in the file, but an INI section
  // is not tested for existence.
  EXPECT_TRUE(child.Has("INIT section=Test")) << child.out;
  EXPECT_TRUE(child.Has("APPNAME Test"));
  EXPECT_TRUE(child.Has("APPINST 16"));
}

TEST_F(EntryTest, VariablesFromEnvironmentSwitchesAndConfiguration) {
  Ini("mvnapp.INI",
      "[APPVARS]\nC=%APPNAME%-c\nLOOP=%LOOP%x\n"
      "[mvnapp]\nAPPVARS=D=%C%/d, [More], \"Q=a,b\"\nGreeting=Hi %D% %KEEP%\n"
      "[More]\nE=%INST%e\n");
  Child child = Run({"APPVAR=A=%%B%%,B=1,INST=%%APPINST%%", "APPINST=4"},
                    {"MVNTEST_VARS=SELF,KEEP,A,B,C,D,E,Q,LOOP,APPNAME,APPINST,INST", "SELF=%SELF%",
                     "KEEP=%NOSUCH%"});
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_EQ(child.With("VAR "), (std::vector<std::string>{
                                    "VAR SELF missing",
                                    "VAR KEEP=%NOSUCH%",
                                    "VAR A=1",
                                    "VAR B=1",
                                    "VAR C=mvnapp-c",
                                    "VAR D=mvnapp-c/d",
                                    "VAR E=4e",
                                    "VAR Q=a,b",
                                    "VAR LOOP missing",
                                    "VAR APPNAME=mvnapp",
                                    "VAR APPINST=4",
                                    "VAR INST=4",
                                }))
      << child.out;
  // Values read later are expanded with the variable list.
  EXPECT_TRUE(child.Has("GREETING Hi mvnapp-c/d %NOSUCH%")) << child.out;
}

TEST_F(EntryTest, ConfigSwitchMatchesByPrefixAndChangesToItsDirectory) {
  Ini("conf/x.ini", "[mvnapp]\nGreeting=from x\n");
  std::filesystem::create_directory(m_dir.path() / "elsewhere");
  Child child = Run({"CONFIGFILE=../conf/x.ini"}, {}, m_dir / "elsewhere");
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_TRUE(child.Has("CONFIG " + (m_dir / "conf/x.ini"))) << child.out;
  EXPECT_TRUE(child.Has("CWD " + (m_dir / "conf"))) << child.out;
  EXPECT_TRUE(child.Has("GREETING from x")) << child.out;

  // The default INI beside the program: the process changes to its directory.
  Ini("mvnapp.INI", "[mvnapp]\n");
  child = Run({}, {}, m_dir / "elsewhere");
  EXPECT_TRUE(child.Has("CWD " + m_dir.str())) << child.out;
}

TEST_F(EntryTest, RefusedWordEndsWithExitZeroBeforeInitialisation) {
  Ini("mvnapp.INI", "[mvnapp]\n");
  for (const char* word : {"CONFIG=", "BADWORD"}) {
    Child child = Run({"first", word, "never"});
    EXPECT_EQ(child.status, 0) << word;
    EXPECT_TRUE(child.Has(std::string("NOTIFY NOTIFY_INVALIDARGUMENT,") + word + ",,|0|NL")) << child.out;
    EXPECT_TRUE(child.With("INIT").empty()) << child.out;
    EXPECT_FALSE(child.Has("RUN"));
    EXPECT_FALSE(child.Has("ARG 3 [never] own"));
    EXPECT_TRUE(child.Has("SHUTDOWN"));
    EXPECT_TRUE(child.Has("DESTROYED"));
  }
}

TEST_F(EntryTest, MissingSectionEndsWithExitZeroAndNoNotification) {
  // An INI file named by CONFIG that does not exist.
  Child child = Run({"CONFIG=" + (m_dir / "none.ini")});
  EXPECT_EQ(child.status, 0);
  EXPECT_TRUE(child.With("NOTIFY").empty()) << child.out;
  EXPECT_TRUE(child.With("INIT").empty()) << child.out;
  EXPECT_TRUE(child.Has("SHUTDOWN"));

  // No INI at all: the registry, whose key for the application is missing.
  child = Run({});
  EXPECT_EQ(child.status, 0);
  EXPECT_TRUE(child.With("NOTIFY").empty()) << child.out;
  EXPECT_TRUE(child.With("INIT").empty()) << child.out;
  EXPECT_TRUE(child.Has("DESTROYED"));
}

TEST_F(EntryTest, RegistryConfigurationOpensTheKeyButReadsNoValues) {
  Child child = Run({}, {"MVNTEST_MODE=regkey,required"});
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_TRUE(child.Has("INIT section=")) << child.out;
  EXPECT_TRUE(child.Has("CONFIG ")) << child.out;
  EXPECT_FALSE(child.Has("GREETING from the registry")) << child.out;
  EXPECT_TRUE(child.Has("NOTIFY NOTIFY_CONFIGMISSINGENTRY,,NoSuchKey,|0|NL")) << child.out;
  EXPECT_TRUE(child.Has("RUN"));
}

TEST_F(EntryTest, ConfigurationDirectoryThatIsNoDirectory) {
  Ini("mvnapp.INI", "[mvnapp]\n");
  Child child = Run({}, {"MVNTEST_MODE=baddir"});
  EXPECT_EQ(child.status, 0);
  EXPECT_TRUE(child.Has("NOTIFY NOTIFY_INVALIDDIRECTORY,/nonexistent-mvn-test-dir/sub,,|0|NL")) << child.out;
  EXPECT_TRUE(child.Has("INITRESULT 0"));
  EXPECT_FALSE(child.Has("RUN"));
  EXPECT_TRUE(child.Has("SHUTDOWN"));
}

TEST_F(EntryTest, LibraryExceptionFromRunStillShutsDownAndEndsTheLibrary) {
  Ini("mvnapp.INI", "[mvnapp]\n");
  Child child = Run({}, {"MVNTEST_MODE=throw"});
  EXPECT_EQ(child.status, 0xFF) << child.out;
  EXPECT_TRUE(child.Has("NOTIFY NOTIFY_EXCEPTION,TestApp,77,|0|NL")) << child.out;
  EXPECT_FALSE(child.Has("NOTIFY NOTIFY_APPSHUTDOWN,,,|0|NL")) << child.out;
  std::vector<std::string> tail(child.lines.end() - std::min<std::size_t>(2, child.lines.size()), child.lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"SHUTDOWN", "DESTROYED"})) << child.out;
  EXPECT_NE(child.err.find("system exception 0xEFFFFFFF"), std::string::npos) << child.err;

  // The base Run is pure.
  child = Run({}, {"MVNTEST_MODE=pure"});
  EXPECT_EQ(child.status, 0xFF);
  EXPECT_TRUE(child.Has("NOTIFY NOTIFY_EXCEPTION,$CXXLIB,23,|0|NL")) << child.out;
  EXPECT_TRUE(child.Has("DESTROYED"));
}

TEST_F(EntryTest, LibraryExceptionIsNotifiedOncePerProcess) {
  Ini("mvnapp.INI", "[mvnapp]\n");
  Child child = Run({}, {"MVNTEST_MODE=twice"});
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_EQ(child.With("NOTIFY NOTIFY_EXCEPTION"), std::vector<std::string>{"NOTIFY NOTIFY_EXCEPTION,TestApp,1,|0|NL"});
  EXPECT_EQ(child.With("CAUGHT"), (std::vector<std::string>{"CAUGHT EFFFFFFF", "CAUGHT EFFFFFFF"}));
}

TEST_F(EntryTest, MessageOverridesAndTheDisplayRule) {
  Ini("mvnapp.INI",
      "[mvnapp]\nMessages=[Texts]\n"
      "[Texts]\nNOTIFY_APPSTARTUP=NL,1,Started %APPNAME%\\nline two\nNOTIFY_APPSHUTDOWN=NL,9\n");
  std::string log = m_dir / "boxes.log";
  Child child = Run({}, {"MVNTEST_MODE=startup9,display", "MVN_MESSAGEBOX_LOG=" + log});
  EXPECT_EQ(child.status, 0) << child.err;
  EXPECT_TRUE(child.Has("NOTIFY Started mvnapp")) << child.out;
  std::string boxes = ReadFile(log);
  EXPECT_NE(boxes.find("mvnapp: Started mvnapp"), std::string::npos) << boxes;
  EXPECT_EQ(boxes.find("NOTIFY_APPSHUTDOWN"), std::string::npos) << boxes;

  // Without the override the start-up default is severity 9: never shown.
  Ini("mvnapp.INI", "[mvnapp]\n");
  std::filesystem::remove(log);
  child = Run({}, {"MVNTEST_MODE=startup9,display", "MVN_MESSAGEBOX_LOG=" + log});
  EXPECT_TRUE(child.Has("NOTIFY App Startup|9|NL")) << child.out;
  boxes = ReadFile(log);
  EXPECT_EQ(boxes.find("App Startup"), std::string::npos) << boxes;
}

// ---------------------------------------------------------------------------
// The entry's helpers, in this process.

std::vector<std::string> Split(const char* line) {
  std::string copy = line;
  char* cursor = copy.data();
  std::vector<std::string> words;
  while (char* word = CommandLineNextWord(&cursor)) words.emplace_back(word);
  return words;
}

TEST(CommandLine, SplitterTable) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(Split("prog \"a b\"c d"), (Words{"prog", "a b", "c", "d"}));
  EXPECT_EQ(Split("  \t\r\nprog\targ  "), (Words{"prog", "arg"}));
  EXPECT_EQ(Split("ab\"c d\"e f"), (Words{"abc d", "e", "f"}));
  EXPECT_EQ(Split("x \"\" y"), (Words{"x", "", "y"}));
  EXPECT_EQ(Split("x \"open to the end"), (Words{"x", "open to the end"}));
  EXPECT_EQ(Split("\"\"\"\""), (Words{"", ""}));
  EXPECT_EQ(Split("caf\xC3\xA9 \xC2\xA0x"), (Words{"caf\xC3\xA9", "\xC2\xA0x"}));  // no white space above 0x7F
  EXPECT_EQ(Split(""), Words{});
  EXPECT_EQ(Split("   "), Words{});
  char* none = nullptr;
  EXPECT_EQ(CommandLineNextWord(&none), nullptr);
}

TEST(CommandLine, MatchSwitchTable) {
  struct Row {
    const char* word;
    const char* key;
    const char* value;  // nullptr: no match
  };
  const Row rows[] = {
      {"APPNAME=Test", "APPNAME", "Test"},
      {"appname:Test", "APPNAME", "Test"},
      {"CONFIGFILE=x", "CONFIG", "x"},
      {"CONFIG=a=b", "CONFIG", "a=b"},
      {"CONFIG:a=b", "CONFIG", "a=b"},
      {"CONFIG=", "CONFIG", ""},
      {"CONFIG", "CONFIG", nullptr},
      {"CONF=x", "CONFIG", nullptr},
      {"XCONFIG=x", "CONFIG", nullptr},
      {"APPVARIABLE=1", "APPVAR", "1"},
      {"", "APPNAME", nullptr},
  };
  for (const Row& row : rows) {
    const char* value = nullptr;
    bool matched = CXXAPP::MatchSwitch(row.word, row.key, &value);
    EXPECT_EQ(matched, row.value != nullptr) << row.word;
    if (matched && row.value) {
      EXPECT_STREQ(value, row.value) << row.word;
    }
  }
}

std::vector<std::string> Entries(CSTRINGLIST* list) {
  std::vector<std::string> out;
  const char* cursor = nullptr;
  while (list->Next(&cursor)) out.emplace_back(cursor);
  return out;
}

TEST(Variables, ExpandVariablesTable) {
  struct Row {
    std::vector<const char*> in;
    std::vector<std::string> out;
  };
  const Row rows[] = {
      {{"X=%X%"}, {}},
      {{"X=%Y%"}, {"X=%Y%"}},
      {{"A=%B%", "B=%C%", "C=1"}, {"C=1", "A=1", "B=1"}},
      {{"P=100%%", "Q=%P%"}, {"P=100%", "Q=100%"}},
      {{"A=%B%", "B=%A%"}, {"B=%A%"}},
      {{"E=", "F=%E%"}, {"E=", "F="}},
      {{"A=%B%", "B=%C%", "C=%A%", "K=k"}, {"B=%A%", "C=%A%", "K=k"}},
      {{"=%X%", "X=1"}, {"X=1", "=1"}},
      {{"DEBUG", "D=%DEBUG%"}, {"DEBUG", "D="}},
  };
  for (const Row& row : rows) {
    CSTRINGLIST list;
    for (const char* entry : row.in) list.Add(entry);
    ExpandVariables(&list);
    std::vector<std::string> got = Entries(&list);
    std::vector<std::string> sortedGot = got, sortedWant = row.out;
    std::sort(sortedGot.begin(), sortedGot.end());
    std::sort(sortedWant.begin(), sortedWant.end());
    EXPECT_EQ(sortedGot, sortedWant) << (row.in.empty() ? "" : row.in[0]);
  }
}

TEST(Variables, ImportEnvironmentAddsNameValueEntries) {
  setenv("MVN_IMPORT_TEST", "v=1", 1);
  CSTRINGLIST list;
  ImportEnvironment(&list);
  unsetenv("MVN_IMPORT_TEST");
  EXPECT_STREQ(list.FindValue("mvn_import_test"), "v=1");
  for (const std::string& entry : Entries(&list)) EXPECT_NE(entry[0], '=');
}

// An application object in this process, to test the getters and the
// configuration factory; its notifications are recorded.
class RecordingApp : public CXXAPP {
 public:
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override {
    notes.push_back(std::to_string(id) + "|" + (p1 ? p1 : "") + "|" + (p2 ? p2 : "") + "|" + (p3 ? p3 : ""));
  }
  std::vector<std::string> notes;
};

TEST(Application, TypedGettersAndTheirNotifications) {
  TempDir dir;
  WriteFile(dir / "file.txt", "x");
  WriteFile(dir / "app.ini",
            "[App]\nName=n\nCount=12\nFlag=yes\nDir=" + (dir / "made/deep") + "\nBlocked=" + (dir / "file.txt/sub") +
                "\nFile=" + (dir / "file.txt") + "\nNoFile=" + (dir / "none.txt") + "\nDotted=./rel.txt\nEmpty=\n");
  RecordingApp app;
  CCONFIGINI config((dir / "app.ini").c_str());
  ASSERT_TRUE(config.OpenSection("App", false));
  auto id = [](DWORD code) { return std::to_string(code); };

  CTEXTBUF16 text("default");
  EXPECT_TRUE(app.GetConfigString(true, &config, "Name", &text));
  EXPECT_STREQ(text.Text(), "n");
  EXPECT_FALSE(app.GetConfigString(false, &config, "Empty", &text));
  EXPECT_TRUE(app.notes.empty());
  EXPECT_FALSE(app.GetConfigString(true, &config, "Missing", &text));
  EXPECT_STREQ(text.Text(), "n");
  DWORD count = 0;
  EXPECT_TRUE(app.GetConfigUInt(true, &config, "Count", &count));
  EXPECT_EQ(count, 12u);
  bool flag = false;
  EXPECT_TRUE(app.GetConfigBool(true, &config, "Flag", &flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(app.GetConfigBool(true, &config, "NoFlag", &flag));

  CPATH path;
  EXPECT_TRUE(app.GetConfigPath(true, &config, "Dir", &path));
  EXPECT_EQ(std::string(path.Text()), dir / "made/deep");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "made/deep"));
  size_t before = app.notes.size();
  EXPECT_FALSE(app.GetConfigPath(true, &config, "Blocked", &path));
  EXPECT_EQ(std::string(path.Text()), dir / "made/deep");
  ASSERT_GT(app.notes.size(), before);
  EXPECT_EQ(app.notes.back(), id(NOTIFY_CONFIGMISSINGPATH) + "|App|Blocked|" + (dir / "file.txt/sub"));

  EXPECT_TRUE(app.GetConfigFile(true, &config, "File", &path));
  EXPECT_EQ(std::string(path.Text()), dir / "file.txt");
  EXPECT_FALSE(app.GetConfigFile(true, &config, "NoFile", &path));
  EXPECT_EQ(app.notes.back(), id(NOTIFY_CONFIGMISSINGFILE) + "|App|NoFile|" + (dir / "none.txt"));
  // Not required: the file need not exist; "./x" becomes a full path.
  EXPECT_TRUE(app.GetConfigFile(false, &config, "Dotted", &path));
  EXPECT_TRUE(CPATH(path.Text()).IsAbsolute()) << path.Text();
  EXPECT_EQ(std::string(path.GetName()), "rel.txt");

  std::vector<std::string> missing;
  for (const std::string& note : app.notes)
    if (note.rfind(id(NOTIFY_CONFIGMISSINGENTRY) + "|", 0) == 0) missing.push_back(note);
  EXPECT_EQ(missing, (std::vector<std::string>{id(NOTIFY_CONFIGMISSINGENTRY) + "|App|Missing|",
                                               id(NOTIFY_CONFIGMISSINGENTRY) + "|App|NoFlag|"}));
}

using mvntest::SlotOf;

TEST(Application, SlotsFollowTheHeapObjectsSix) {
  EXPECT_EQ(SlotOf(&CXXAPP::Alloc), 0u);
  EXPECT_EQ(SlotOf(&CXXAPP::Report), 4u);
  EXPECT_EQ(SlotOf(&CXXAPP::Notify), 5u);
  EXPECT_EQ(SlotOf(&CXXAPP::ProcessArgument), 6u);
  EXPECT_EQ(SlotOf(&CXXAPP::Initialise), 7u);
  EXPECT_EQ(SlotOf(&CXXAPP::Run), 8u);
  EXPECT_EQ(SlotOf(&CXXAPP::Shutdown), 9u);
  EXPECT_EQ(SlotOf(&CXXAPP::OpenConfig), 10u);
  EXPECT_EQ(SlotOf(&CXXAPP::CloseConfig), 11u);
}

TEST(Application, OneConfigurationAtATime) {
  TempDir dir;
  WriteFile(dir / "a.ini", "[A]\n");
  RecordingApp app;
  app.m_config.Set((dir / "a.ini").c_str());
  CCONFIG* ini = app.OpenConfig(false);
  ASSERT_NE(ini, nullptr);
  EXPECT_EQ(CXXAPP::IniConfig(), ini);
  EXPECT_TRUE(ini->OpenSection("A", false));
  try {
    app.OpenConfig(true);
    ADD_FAILURE() << "a second configuration opened";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.Code(), LIBRARY_EXCEPTION_CODE);
  }
  app.CloseConfig(ini);
  EXPECT_EQ(CXXAPP::IniConfig(), nullptr);
  CCONFIG* reg = app.OpenConfig(true);
  EXPECT_EQ(static_cast<CCONFIG*>(CXXAPP::RegistryConfig()), reg);
  EXPECT_EQ(CXXAPP::RegistryConfig()->LastResult(), ERROR_SUCCESS);
  EXPECT_STREQ(CXXAPP::RegistryConfig()->KeyPath(), "Software\\Morvane International");
  app.CloseConfig(reg);
  EXPECT_EQ(CXXAPP::RegistryConfig(), nullptr);
}

}  // namespace
