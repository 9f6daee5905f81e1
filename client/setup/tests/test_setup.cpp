// The setup models over real INI files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <string>
#include <vector>

#include "client/setup/setup.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
using mvn::framework::IniFile;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

struct IniFixture : ::testing::Test {
  TempDir dir;
  std::string path = dir / "dashpost.ini";
  IniFile ini{path};
  void Ini(const std::string& text) { WriteFile(path, text); }
};

void AddBook(Dictionary& d, const std::string& name, const std::string& path) {
  auto& q = d.Queues().g_QaddressBooks;
  q.Buffer().Clear();
  q.Buffer().Set("Name", name);
  q.Buffer().Set("pathName", path);
  q.Add();
}

}  // namespace

using CmdSetupTest = IniFixture;

TEST_F(CmdSetupTest, RowsValuesAndSave) {
  Ini("[CommandList]\ncommand=4\nCommand_1=Your fax=FAXNO\nCommand_2==NOLABEL\nCommand_3=Dept=DEPT\n"
      "Command_4=NoEquals\n[DefaultCommands]\ncommand=5\nCommand_3=DEPT=Sales\nCommand_5=OLD=kept\n");
  CmdSetupModel m = LoadCmdSetup(ini);
  EXPECT_EQ(m.used, 4);
  EXPECT_EQ(m.rows[0].label, "Your fax");
  EXPECT_EQ(m.rows[0].command, "FAXNO");
  EXPECT_EQ(m.rows[0].value, "");  // no Command_1 in DefaultCommands
  EXPECT_TRUE(m.rows[0].visible);
  // An empty label ends the rows, even with a later label.
  EXPECT_FALSE(m.rows[1].visible);
  EXPECT_FALSE(m.rows[2].visible);
  EXPECT_EQ(m.rows[2].value, "Sales");
  EXPECT_EQ(m.rows[3].command, "");  // no "=": skipped
  m.rows[0].value = "555 1234   ";
  m.rows[2].value = "Sup\r\nport";
  ASSERT_TRUE(SaveCmdSetup(ini, m));
  EXPECT_EQ(ini.Fetch("DefaultCommands", "command"), "4");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_1"), "FAXNO=555 1234");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_2"), "NOLABEL=");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_3"), "DEPT=Sup  port");
  // A row without a command name: an empty key, never "=value".
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_4"), "");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_5"), "OLD=kept");
}

TEST_F(CmdSetupTest, OnlyFifteenRows) {
  std::string text = "[CommandList]\ncommand=17\n";
  for (int i = 1; i <= 17; ++i) text += "Command_" + std::to_string(i) + "=L" + std::to_string(i) + "=C\n";
  Ini(text);
  CmdSetupModel m = LoadCmdSetup(ini);
  EXPECT_EQ(m.used, 15);
  EXPECT_TRUE(m.rows[14].visible);
  ASSERT_TRUE(SaveCmdSetup(ini, m));
  EXPECT_EQ(ini.Fetch("DefaultCommands", "command"), "15");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_16"), "");
}

using OutputValuesTest = IniFixture;

TEST_F(OutputValuesTest, LabelsTable) {
  struct Case {
    bool ticked;
    std::string label, stored;
  } cases[] = {
      {true, "<Rank>", "Rank"},      {true, "<>", "Position"}, {true, "Rank", "Rank"},  // no brackets: kept whole
      {true, "<Rank", "Rank"},       {true, "R>", "R"},        {true, "", "Position"},
      {false, "<Rank>", ""},         {true, "  <a b>  ", "a b"},
  };
  for (const Case& c : cases) {
    OutputValue v{"Position", "Position", c.ticked, c.label};
    std::string value, message;
    ASSERT_TRUE(OutputValueFor(v, &value, &message)) << c.label;
    EXPECT_EQ(value, c.stored) << c.label;
  }
  // A label that reads back (quotes stripped, blanks trimmed) beginning
  // with "!" would start a marker line in every request.
  for (const char* bang : {"<!TARGET>", "<\"!EXTATT\">", "<'!EXTATT'>", "< \" !MVN-END\" >", "!x"}) {
    OutputValue row{"Position", "Position", true, bang};
    std::string value, message;
    EXPECT_FALSE(OutputValueFor(row, &value, &message)) << bang << " stored as " << value;
    EXPECT_FALSE(message.empty());
  }
  // Quotes that stay (not a matching pair) are no marker.
  OutputValue quoted{"Position", "Position", true, "<\"Rank>"};
  std::string value, message;
  ASSERT_TRUE(OutputValueFor(quoted, &value, &message));
  EXPECT_EQ(value, "\"Rank");
}

TEST_F(OutputValuesTest, LoadAndSaveInOrder) {
  Ini("[AdditionalTargets]\nPosition=Rank\nNotes=\n");
  std::vector<OutputValue> rows = LoadOutputValues(ini);
  ASSERT_EQ(rows.size(), 16u);
  EXPECT_STREQ(rows[0].key, "ChargeCode");
  EXPECT_STREQ(rows[9].caption, "Email Attach Type");
  EXPECT_TRUE(rows[1].ticked);
  EXPECT_EQ(rows[1].label, "<Rank>");
  EXPECT_FALSE(rows[15].ticked);
  rows[1].ticked = false;
  rows[2].ticked = true;
  rows[2].label = "<Dept>";
  std::string message;
  ASSERT_TRUE(SaveOutputValues(ini, rows, &message));
  EXPECT_EQ(ini.Fetch("AdditionalTargets", "Position"), "");
  EXPECT_EQ(ini.Fetch("AdditionalTargets", "Department"), "Dept");
  EXPECT_EQ(ini.KeyNames("AdditionalTargets").size(), 16u);
  // A refused label writes nothing.
  rows[3].ticked = true;
  rows[3].label = "!x";
  std::string before = ReadFile(path);
  EXPECT_FALSE(SaveOutputValues(ini, rows, &message));
  EXPECT_EQ(ReadFile(path), before);
}

using AboutTest = IniFixture;

TEST_F(AboutTest, VersionKeysOverride) {
  // The built-in texts, from a file without the section.
  Ini("[Default]\n");
  const AboutTexts builtIn = LoadAboutTexts(ini);
  ASSERT_FALSE(builtIn.version.empty());
  ASSERT_FALSE(builtIn.notice.empty());
  ASSERT_FALSE(builtIn.web.empty());
  // Each key overrides its own line only; an empty or blank value keeps the
  // built-in text; values are trimmed and cut to their widths (99, 99, 149).
  Ini("[Version]\nVersionText=  V 9  \nCopyrightText=   \nWebSite=\n");
  AboutTexts t = LoadAboutTexts(ini);
  EXPECT_EQ(t.version, "V 9");
  EXPECT_EQ(t.notice, builtIn.notice);
  EXPECT_EQ(t.web, builtIn.web);
  Ini("[Version]\nCopyrightText=(c) Us\nWebSite=https://example.org/fax\n");
  t = LoadAboutTexts(ini);
  EXPECT_EQ(t.version, builtIn.version);
  EXPECT_EQ(t.notice, "(c) Us");
  EXPECT_EQ(t.web, "https://example.org/fax");
  Ini("[Version]\nVersionText=" + std::string(120, 'v') + "\nCopyrightText=" + std::string(120, 'c') +
      "\nWebSite=" + std::string(200, 'w') + "\n");
  t = LoadAboutTexts(ini);
  EXPECT_EQ(t.version, std::string(99, 'v'));
  EXPECT_EQ(t.notice, std::string(99, 'c'));
  EXPECT_EQ(t.web, std::string(149, 'w'));
}

TEST(ValidIniName, Table) {
  struct Case {
    std::string name;
    IniNameUse use;
    bool ok;
  } cases[] = {{"Sales", ImageFileNameUse(), true},
               {"", ImageFileNameUse(), false},
               {"   ", ImageFileNameUse(), false},
               {" Sales", ImageFileNameUse(), false},  // the file would keep "Sales"
               {"a=b", ImageFileNameUse(), false},
               {"a\nb", ImageFileNameUse(), false},
               {"a\tb", ImageFileNameUse(), false},
               {"[x", ImageFileNameUse(), false},
               {";x", ImageFileNameUse(), false},
               {"#x", ImageFileNameUse(), true},  // "#" is no comment of the INI file
               {"Sales [old]", ImageFileNameUse(), true},     // a key may hold "]"
               {"Sales [old]", CoverPageNameUse(), false},    // a section name may not
               {"Standard]2", CoverPageNameUse(), false},
               {"AvailableCoverPages", CoverPageNameUse(), false},
               {"AVAILABLECOVERPAGES", CoverPageNameUse(), false},
               {"Available Cover Pages", CoverPageNameUse(), true},
               {"AvailableCoverPages", ImageFileNameUse(), true},
               {std::string(99, 'x'), CoverPageNameUse(), true},
               {std::string(100, 'x'), CoverPageNameUse(), false},
               {std::string(80, 'x'), BookNameUse(), false},
               {"Custom Book 3", BookNameUse(), false},
               {"driver 12", BookNameUse(), false},
               {"Driver X", BookNameUse(), true},
               {"numcustombooks", BookNameUse(), false},
               {"AutoText7", AutoTextNameUse(), false},
               {"AutoTexts", AutoTextNameUse(), true}};
  for (const Case& c : cases) {
    std::string message;
    EXPECT_EQ(ValidIniName(c.name, c.use, &message), c.ok) << c.name << " as " << c.use.what;
    EXPECT_EQ(message.empty(), c.ok) << c.name;
  }
}

using AddressBooksTest = IniFixture;

TEST_F(AddressBooksTest, MenuForUserAndAdmin) {
  Dictionary d;
  AddBook(d, "Sales", "/b/sales");
  AddBook(d, "Staff", "/b/staff");
  Ini("[Default]\nAdminUser=no\n");
  auto items = AddressBookMenu(d, ini, 2);
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[0].text, "  Sales");
  EXPECT_EQ(items[1].text, "* Staff");
  EXPECT_FALSE(items[1].submenu);
  EXPECT_TRUE(items[2].separator);
  EXPECT_EQ(items[3].text, "Create an Address Book");
  EXPECT_EQ(items[5].helpLine, "Configure group and recipient details");
  Ini("[Default]\nAdminUser= yes \n");
  items = AddressBookMenu(d, ini, 2);
  EXPECT_TRUE(items[1].submenu);
  EXPECT_FALSE(items[1].subItemsEnabled);
  EXPECT_TRUE(items[0].subItemsEnabled);
  // Books from the 31st on are served like the others.
  for (int i = 3; i <= 35; ++i) AddBook(d, "B" + std::to_string(i), "/b/" + std::to_string(i));
  items = AddressBookMenu(d, ini, 33);
  EXPECT_EQ(items[32].text, "* B33");
  EXPECT_EQ(items[32].position, 33);
  EXPECT_TRUE(SwitchesBook(d, 33, 31));
  EXPECT_FALSE(SwitchesBook(d, 33, 33));
  EXPECT_FALSE(SwitchesBook(d, 33, 36));
  EXPECT_EQ(DeleteBookQuestion("Sales "), "Are you sure you really want to delete the address book:Sales");
}

TEST(BookPathOf, Table) {
  struct Case {
    std::string file, path;
  } cases[] = {{"C:\\Books\\Team.KDF", "C:\\Books\\Team"},
               {"/b/team.kdf", "/b/team"},
               {"/b/x.kdf.old/team.KDF", "/b/x.kdf.old/team"},  // only the trailing one
               {"/b/team", "/b/team"},
               {"/b/team.KDFX", "/b/team.KDFX"}};
  for (const Case& c : cases) EXPECT_EQ(BookPathOf(c.file), c.path) << c.file;
}

TEST_F(AddressBooksTest, CreateAppendsAndRefusesBadNames) {
  Ini("[Database]\nNumCustomBooks=1\nCustom Book 1=Personal\nPersonal=/b/p\n");
  Dictionary d;
  AddBook(d, "Personal", "/b/p");
  std::string message;
  ASSERT_TRUE(CreateAddressBook(d, ini, "Team", "/b/Team.KDF", &message)) << message;
  EXPECT_EQ(ini.Fetch("Database", "NumCustomBooks"), "2");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 2"), "Team");
  EXPECT_EQ(ini.Fetch("Database", "Team"), "/b/Team");
  EXPECT_EQ(ini.Fetch("Database", "Driver 2"), "");
  ASSERT_EQ(d.Queues().g_QaddressBooks.Records(), 2);
  EXPECT_EQ(d.Queues().g_QaddressBooks.Entry(2).Get("Driver"), "KEYED");
  std::string before = ReadFile(path);
  for (auto [name, file] : std::vector<std::pair<std::string, std::string>>{
           {"", "/b/x"}, {"X", ""}, {"A=B", "/b/x"}, {"team", "/b/x"}, {"Y", "/b/a\nb"},
           // The section's own keys: a book of that name would overwrite them.
           {"NumCustomBooks", "/b/x"}, {"pathname", "/b/x"}, {"Custom Book 1", "/b/x"}, {"Driver 2", "/b/x"}}) {
    EXPECT_FALSE(CreateAddressBook(d, ini, name, file, &message)) << name;
  }
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(d.Queues().g_QaddressBooks.Records(), 2);
}

TEST_F(AddressBooksTest, DeleteRenumbersBooksAndDrivers) {
  Ini("[Database]\nNumCustomBooks=4\nCustom Book 1=A\nCustom Book 2=B\nCustom Book 3=C\nCustom Book 4=D\n"
      "Driver 1=KEYED\nDriver 3=ODBC\nDriver 4=KEYED\nA=/a\nB=/b\nC=Books\nD=/d\n");
  Dictionary d;
  for (const char* n : {"A", "B", "C", "D"}) AddBook(d, n, std::string("/") + n);
  int current = 4;
  std::string message;
  EXPECT_FALSE(DeleteAddressBook(d, ini, 4, &current, &message));  // never the current book
  ASSERT_TRUE(DeleteAddressBook(d, ini, 2, &current, &message)) << message;
  EXPECT_EQ(current, 3);
  EXPECT_EQ(ini.Fetch("Database", "NumCustomBooks"), "3");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 2"), "C");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 3"), "D");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 4"), "");
  EXPECT_EQ(ini.Fetch("Database", "B"), "");
  EXPECT_EQ(ini.Fetch("Database", "Driver 1"), "KEYED");
  EXPECT_EQ(ini.Fetch("Database", "Driver 2"), "ODBC");  // C's driver moved with it
  EXPECT_EQ(ini.Fetch("Database", "Driver 3"), "KEYED");
  EXPECT_EQ(ini.Fetch("Database", "Driver 4"), "");
  ASSERT_EQ(d.Queues().g_QaddressBooks.Records(), 3);
  EXPECT_EQ(d.Queues().g_QaddressBooks.Entry(2).Get("Name"), "C");

  // A name that no Custom Book key holds changes nothing.
  AddBook(d, "Ghost", "/g");
  std::string before = ReadFile(path);
  EXPECT_FALSE(DeleteAddressBook(d, ini, 4, &current, &message));
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(d.Queues().g_QaddressBooks.Records(), 4);
}

// Books left out at start are still the file's: the count written is the
// file's own less one, and a book numbered past the list's length is found.
TEST_F(AddressBooksTest, DeleteCountsTheFileNotTheList) {
  Ini("[Database]\nNumCustomBooks=3\nCustom Book 1=Pathname\nCustom Book 2=Main\nCustom Book 3=Old\n"
      "Main=/m\nOld=/o\nPathname=/m\n");
  Dictionary d;
  AddBook(d, "Main", "/m");  // "Pathname" was left out: the list holds two
  AddBook(d, "Old", "/o");
  int current = 1;
  std::string message;
  ASSERT_TRUE(DeleteAddressBook(d, ini, 2, &current, &message)) << message;
  EXPECT_EQ(ini.Fetch("Database", "NumCustomBooks"), "2");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 2"), "Main");  // the current book stays configured
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 3"), "");
  EXPECT_EQ(ini.Fetch("Database", "Old"), "");
  EXPECT_EQ(current, 1);
  ASSERT_EQ(d.Queues().g_QaddressBooks.Records(), 1);
}

using CaptionTest = IniFixture;

TEST_F(CaptionTest, Table) {
  struct Case {
    std::string bar, caption;
  } cases[] = {{"", "Morvane Dashpost  ( Personal Address Book )"},
               {"Fax for <FULLNAME>", "Fax for Ann Lee ( Personal Address Book )"},
               {"<FULLNAME>/<FULLNAME>", "Ann Lee/<FULLNAME> ( Personal Address Book )"},
               {"Plain   ", "Plain ( Personal Address Book )"}};
  for (const Case& c : cases) {
    Ini("[Default]\nDashpostTitleBar=" + c.bar + "\n");
    EXPECT_EQ(MainCaption(ini, "Ann Lee", "Personal Address Book  "), c.caption) << c.bar;
  }
}

using MenusTest = IniFixture;

TEST_F(MenusTest, CoverPagesAllNamesSortedAndChosen) {
  std::string pages = dir / "pages.ini";
  std::string text = "[AvailableCoverPages]\nZeta=z\nAlpha=a\n";
  for (int i = 0; i < 400; ++i) text += "Page" + std::to_string(1000 + i) + "=d\n";  // far beyond 250 bytes
  WriteFile(pages, text);
  Ini("[Files]\nGlobalCoverPages=" + pages + "\n");
  Dictionary d;
  LoadCoverPages(d, ini);
  auto& q = d.Queues().g_QcoverPages;
  EXPECT_EQ(q.Records(), kMaxCoverPages);
  WriteFile(pages, "[AvailableCoverPages]\nZeta=z\nAlpha=a\n");
  LoadCoverPages(d, ini);
  ASSERT_EQ(q.Records(), 2);
  auto menu = CoverPageMenu(d, "Zeta  ");
  EXPECT_EQ(menu, (std::vector<std::string>{"  Alpha", "* Zeta"}));
  EXPECT_EQ(CoverPageAt(d, 1), "Alpha");
  EXPECT_EQ(CoverPageAt(d, 3), "");
  WriteFile(pages, "");
  LoadCoverPages(d, ini);
  EXPECT_EQ(CoverPageMenu(d, "Zeta"), std::vector<std::string>{"No cover page available"});
}

TEST_F(MenusTest, RemoteEntries) {
  std::string images = dir / "images.ini", lists = dir / "lists.ini";
  std::string text = "[ImageFiles]\n";
  for (int i = 0; i < 700; ++i) text += "Image" + std::to_string(i) + "=Picture " + std::to_string(i) + "\n";
  WriteFile(images, text);
  WriteFile(lists, "[RemoteLists]\nL1=Customers\n");
  Ini("[Files]\nImageFiles=" + images + "\nRemoteLists=" + lists + "\n");
  Dictionary d;
  LoadRemoteEntries(d, ini);
  auto& q = d.Queues();
  ASSERT_EQ(q.g_QimageFiles.Records(), 700);  // none dropped by a 6,072-byte buffer
  EXPECT_EQ(q.g_QimageFiles.Entry(700).Get("Description"), "Picture 699");
  EXPECT_EQ(q.g_QimageFiles.Entry(1).GetLong("Mark"), 0);
  ASSERT_EQ(q.g_QremoteLists.Records(), 1);
  EXPECT_EQ(q.g_QremoteLists.Entry(1).Get("Description"), "Customers");
}

TEST_F(MenusTest, Languages) {
  struct Case {
    std::string languages, current;
    std::vector<std::string> texts;
  } cases[] = {
      {"English, french,German,Dutch", "FRENCH", {"  ENGLISH", "* FRENCH", "  GERMAN"}},
      {"english", "English", {"* ENGLISH"}},
      {"English,,German", "", {"  ENGLISH"}},
      {"", "ENGLISH", {}},
  };
  for (const Case& c : cases) {
    Ini("[Language]\nLanguages=" + c.languages + "\n[Default]\nDefaultLanguage=" + c.current + "\n");
    EXPECT_EQ(LoadLanguageMenu(ini).Texts(), c.texts) << c.languages;
  }
}

TEST_F(MenusTest, CloseSettingsInOrder) {
  Ini("[Database]\nPathname=/old\n");
  Dictionary d;
  AddBook(d, "A", "/a");
  AddBook(d, "B", "/b");
  std::string message;
  ASSERT_TRUE(WriteCloseSettings(d, ini, {2, true, false, "", false}, &message));
  EXPECT_EQ(message, "");
  EXPECT_EQ(ini.Fetch("Database", "Pathname"), "/b");
  EXPECT_EQ(ini.Fetch("Default", "ShowImageFilesTab"), "Yes");
  EXPECT_EQ(ini.Fetch("Default", "ShowRemoteListsTab"), "No");
  EXPECT_EQ(ini.Fetch("Default", "DefaultLanguage"), "");
  EXPECT_EQ(ini.Fetch("Default", "SENDLOG"), "No");
  WriteCloseSettings(d, ini, {7, true, true, "FRENCH", true}, &message);
  EXPECT_EQ(message.rfind("KILL ERROR=", 0), 0u);
  EXPECT_EQ(ini.Fetch("Database", "Pathname"), "/b");
  EXPECT_EQ(ini.Fetch("Default", "DefaultLanguage"), "FRENCH");
}

// Settings that cannot be written at the end (here: a file-size limit that
// the rewrite of the INI runs into, as on a full disk) are told with the
// file's name; the INI keeps what it had.
TEST_F(MenusTest, CloseSettingsThatCannotBeWrittenAreTold) {
  Ini("[Database]\nPathname=/old\n[Default]\nSENDLOG=No\n" + std::string(3000, ';') + "\n");
  const std::string before = ReadFile(path);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    Dictionary d;
    AddBook(d, "A", "/a");
    std::string message;
    bool ok = WriteCloseSettings(d, ini, {1, true, false, "", true}, &message);
    _exit(ok ? 1 : message.find("The settings could not be saved in " + path + ": ") == 0 ? 0 : 2);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 3000 && (done = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(10000);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the settings were not written within 30 seconds";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), before);
}

TEST(ChooseLanguage, Table) {
  struct Case {
    int item;
    std::string shown, language;
    bool translate, restore;
  } cases[] = {
      {2, "ENGLISH", "FRENCH", true, false},
      {1, "FRENCH", "ENGLISH", true, true},   // back to the built-in texts
      {1, "english", "ENGLISH", false, false},  // the language shown: nothing to do
      {2, "french", "FRENCH", false, false},
      {4, "ENGLISH", "", false, false},
  };
  for (const Case& c : cases) {
    LanguageMenu m;
    m.names = {"ENGLISH", "FRENCH", "GERMAN"};
    m.selected = 1;
    LanguageChoice choice = ChooseLanguage(m, c.item, c.shown);
    EXPECT_EQ(choice.language, c.language) << c.item << c.shown;
    EXPECT_EQ(choice.translate, c.translate) << c.item << c.shown;
    EXPECT_EQ(choice.restoreBuiltIn, c.restore) << c.item << c.shown;
    if (c.item <= 3) {
      EXPECT_EQ(m.selected, c.item);
    }
  }
}
