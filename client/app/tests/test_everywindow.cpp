// Every window the client opens, as a person meets it on the offscreen
// screen: no text cut off, nothing lying over anything else, the focus on
// the window's first field and Escape closing it. The windows are opened
// the way the program opens them: the send window, its menu items through
// its menu items, the forms and prompts those windows start.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "client/addressbook/exchange.h"
#include "client/addressbook/procedures.h"
#include "client/app/procedures.h"
#include "client/sendlog/procedures.h"
#include "client/setup/procedures.h"
#include "client/app/sendprompts.h"
#include "client/ui/language.h"
#include "framework/gui/browse.h"
#include "client/app/tests/windowtests.h"
#include "framework/core/services.h"
#include "framework/gui/tests/layoutcheck.h"
#include "framework/gui/window.h"
#include "tests/support/qtwait.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using namespace mvn::client;

namespace {

std::string OutputDir() { return mvntest::ClientAppOutputDir("every-window"); }
// Appended to the screenshots' names ("-FRENCH") while a translated look runs.
std::string g_shotSuffix;

// The control of a window that has the focus (the window's, also while the
// window system has not made the window active yet).
std::string FocusName(QWidget* top) {
  QWidget* f = top->focusWidget();
  // An inner widget (a drop list's line, a list's viewport) stands for its
  // control.
  while (f && !f->objectName().startsWith('?')) f = f->parentWidget();
  return f ? f->objectName().toStdString() : std::string("(none)");
}

struct Look {
  bool opened = false;
  std::vector<std::string> faults;
  std::string focus;
  bool closedByEscape = false;
  std::vector<std::string> buttons;  // the texts of its buttons
};

// Once the window is up: its faults, where the focus is, a screenshot, then
// Escape as a person presses it; a window that stays open is closed.
void LookAtThenEscape(const QString& procedure, Look* look) {
  mvntest::When(procedure, [procedure, look](QWidget* top) {
    look->opened = true;
    look->focus = FocusName(top);
    look->faults = mvntest::LayoutFaults(top);
    for (QAbstractButton* b : top->findChildren<QAbstractButton*>()) look->buttons.push_back(b->text().toStdString());
    top->grab().save(QString::fromStdString(OutputDir()) + "/" + procedure + QString::fromStdString(g_shotSuffix) +
                     ".png");
    QPointer<QWidget> window = top;
    QWidget* target = top->focusWidget() ? top->focusWidget() : top;
    QTest::keyClick(target, Qt::Key_Escape);
    look->closedByEscape = mvntest::WaitUntil([window] { return !window || !window->isVisible(); },
                                              std::chrono::milliseconds(3000));
    if (window && window->isVisible()) window->close();
  });
}

struct EveryWindow : ::testing::Test {
  mvntest::TempDir dir;
  std::unique_ptr<fw::IniFile> ini;
  MainContext ctx;
  fw::ScriptedServices services;
  std::unique_ptr<fw::ScopedServices> scope;
  std::unique_ptr<fw::Window> main;
  std::vector<std::string> failures;

  void SetUp() override {
    scope = std::make_unique<fw::ScopedServices>(&services);
    ini = std::make_unique<fw::IniFile>((dir.path() / "dashpost.INI").string());
    ini->Update("Database", "Pathname", (dir.path() / "book").string());
    ini->Update("Files", "DeliveryCommand", "/bin/true %1");
    ini->Update("Files", "SendLog", (dir.path() / "SendLog.csv").string());
    ini->Update("Default", "SENDLOG", "NO");
    ini->Update("Default", "ShowImageFilesTab", "YES");
    ini->Update("Default", "ShowRemoteListsTab", "YES");
    std::ofstream(dir.path() / "SendLog.csv", std::ios::binary)
        << "\"2026/12/01 10:00:00\",\"Ann Lee\",\"A Co\",\"+44 20 7946 0001\",\"R2\",\"CC\",\"\",\"\",\"\",\"\",\"\"\r\n";
    std::ofstream(dir.path() / "import.csv") << "Name,Company,Fax\nAnn Lee,A Co,123\n";
    fw::Window::SetSettingsFile(ini.get());
    mvntest::OpenSendWindowBook(ctx, *ini);
    if (HasFatalFailure()) return;
    Dictionary& d = *ctx.dictionary;
    auto& c = d.File("MVClients");
    c.Buffer().Clear();
    c.Buffer().Set("ClientID", "Ann Lee");
    c.Buffer().Set("Company", "A Co");
    c.Buffer().Set("PreferredDestination", "+44 20 7946 0001");
    c.Buffer().Set("FaxNum", "+44 20 7946 0001");
    ASSERT_EQ(c.TryInsert(), 0);
    main = Main(ctx);
    main->Open();
    QApplication::processEvents();
  }
  void TearDown() override {
    if (main) main->Close();
    main.reset();
    fw::Window::SetSettingsFile(nullptr);
    KillDictionary();
  }
  // Opens one window through open and looks at it; focus is the control
  // that must have the focus when it opens.
  Look Visit(const char* procedure, const std::string& focus, const std::function<void()>& open) {
    Look look;
    LookAtThenEscape(procedure, &look);
    open();
    if (!look.opened) {
      failures.push_back(std::string(procedure) + ": did not open");
      return look;
    }
    for (auto& f : look.faults) failures.push_back(f);
    if (look.focus != focus)
      failures.push_back(std::string(procedure) + ": opens with the focus on " + look.focus + ", not on " + focus);
    if (!look.closedByEscape) failures.push_back(std::string(procedure) + ": Escape did not close it");
    return look;
  }
  // Opens the window a menu item of the send window opens, by choosing the
  // item as a person does.
  Look Item(const char* procedure, const char* menuItem, const std::string& focus) {
    QAction* action = main->MenuAction(main->FieldOf(menuItem));
    if (!action) {
      failures.push_back(std::string(procedure) + ": no menu item " + menuItem);
      return {};
    }
    return Visit(procedure, focus, [action] { action->trigger(); });
  }
};

TEST_F(EveryWindow, NoTextCutNoOverlapFocusOnTheFirstFieldEscapeCloses) {
  // The send window itself (every tab of its sheets).
  for (auto& f : mvntest::LayoutFaults(main->Widget())) failures.push_back(f);
  main->Widget()->grab().save(QString::fromStdString(OutputDir()) + "/Main.png");
  EXPECT_EQ(FocusName(main->Widget()), "?g_To");

  Item("AboutWin", "?About", "?Close");
  // No rows configured: nothing to type into, the focus on the default button.
  Item("CmdSetup", "?PersonalDetails", "?Save");
  Item("AdditionalOutputValues", "?MailmergeFields", "?CheckChargeCode");
  Item("FindClient", "?ViewBook", "?Locate");
  // It opens on the "All" tabs: the focus in the locator of the group list.
  Item("GroupClientSetup", "?GroupSetup", "?Locate");
  Item("AutoTextSetup", "?AutoTextSetup", "?List1");
  Item("CoverPageSetup", "?CoverPageSetup", "?m_headFileName");
  Item("ViewSendLog", "?ViewSendLog", "?List");
  Item("RetryUnseccessful", "?Resubmit", "?m_bSendAllTargetsAgainGroup");
  ImportSession session;
  session.fileName = (dir.path() / "import.csv").string();
  Visit("ImportTxtToKDF2option", "?g_MVClientsBFullPathName2",
        [&] { ImportTxtToKDF2option(main.get(), *ctx.dictionary, session); });
  SendJob job;
  SingleRecipient who;
  who.name = "Ann Lee";
  who.destination = "+44 20 7946 0001";
  // Its values are shown, not typed; with nothing to send its Send button
  // is off, so the focus is on the first button that works.
  Visit("ConfirmBeforeSend", "?Show", [&] { ConfirmBeforeSend(main.get(), *ctx.dictionary, *ini, who, job); });
  Visit("SendToList", "?List1", [&] { SendToList(main.get(), *ctx.dictionary, job); });
  // The forms the browses start.
  Visit("UpdateMVClient", "?MVC:Company", [&] { UpdateMVClient(*ctx.dictionary, *ini, 1); });
  Visit("UpdateGroups", "?MVD:GroupID", [&] { UpdateGroups(*ctx.dictionary, 1); });
  // The prompts, in each of their modes.
  for (const char* mode : {"", "UPLOADLIST", "EXPORT", "UPDATEEMAIL"}) {
    std::string value;
    Visit("EnterValue2", "?g_EnterValue", [&] { EnterValue2(main.get(), mode, &value); });
  }
  for (const char* mode : {"IMAGEFILE", "COVERPAGE", "ADDRESSBOOK"}) {
    NameValue result;
    Visit("GetNameValuesDialog", "?g_NameValueDialog:Name",
          [&] { GetNameValuesDialog(main.get(), *ctx.dictionary, mode, &result); });
  }
  Visit("ConfirmBroadCast", "?Close", [&] { ConfirmBroadCast(main.get(), 12); });

  std::string all;
  for (auto& f : failures) all += "  " + f + "\n";
  EXPECT_TRUE(failures.empty()) << failures.size() << " faults a person would see:\n" << all;
}

}  // namespace

namespace {

// Types into whatever has the focus of the window, as a person does.
void TypeIntoFocus(QWidget* top, const char* text) { QTest::keyClicks(top->focusWidget(), text); }
void Press(QWidget* top, Qt::Key key) { QTest::keyClick(top->focusWidget() ? top->focusWidget() : top, key); }

}  // namespace

// Enter presses each window's default button: the group form saves the
// name typed, the address form saves the record typed (Space on opening
// types a blank, it saves nothing), the browse selects, About closes.
TEST_F(EveryWindow, EnterPressesTheDefaultButton) {
  Dictionary& d = *ctx.dictionary;
  int result = 0;
  mvntest::When("UpdateGroups", [](QWidget* top) {
    TypeIntoFocus(top, "Staff");
    Press(top, Qt::Key_Return);
  });
  result = UpdateGroups(d, 1);
  EXPECT_EQ(result, fw::RequestCompleted);
  auto& groups = d.File("MVdefaults");
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", "Staff");
  EXPECT_EQ(groups.TryFetch("MVd:KeyGroupID"), 0) << "the group typed was saved";

  auto& clients = d.File("MVClients");
  int before = static_cast<int>(clients.Records());
  mvntest::When("UpdateMVClient", [](QWidget* top) {
    Press(top, Qt::Key_Space);
    TypeIntoFocus(top, "Harbour Freight");
    Press(top, Qt::Key_Enter);
  });
  result = UpdateMVClient(d, *ini, 1);
  EXPECT_EQ(result, fw::RequestCompleted);
  EXPECT_EQ(static_cast<int>(clients.Records()), before + 1);
  EXPECT_EQ(clients.Buffer().Clipped("Company"), " Harbour Freight")
      << "Space typed into the first field, the company";

  mvntest::When("FindClient", [](QWidget* top) { Press(top, Qt::Key_Return); });
  FindClientStart start;
  EXPECT_TRUE(FindClient(main.get(), d, *ini, start)) << "Enter selects the highlighted record";

  bool closed = false;
  mvntest::When("AboutWin", [&](QWidget* top) {
    Press(top, Qt::Key_Return);
    closed = mvntest::WaitUntil([top] { return !top->isVisible(); }, std::chrono::milliseconds(3000));
  });
  AboutWin(main.get(), *ini);
  EXPECT_TRUE(closed);
}

namespace {

// Replaces each whole text of the language file ("<n>=<field>,<text>") by
// its translation.
void TranslateFile(const std::string& path, const std::vector<std::pair<std::string, std::string>>& table) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {}), out;
  in.close();
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    size_t comma = line.find(',');
    if (line.find('=') < comma && comma != std::string::npos)
      for (const auto& [english, french] : table)
        if (line.substr(comma + 1) == english) line = line.substr(0, comma + 1) + french;
    out += line + (cr ? "\r" : "") + "\n";
    at = end + 1;
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << out;
}

}  // namespace

// The same look in French, through the language file as a person gets it:
// translated buttons grow with their texts, and rows that differ only at
// their ends (numbered fields, times of day, numbers, file names) can still
// be told apart.
TEST_F(EveryWindow, TranslatedTextsAndLongRowsAreReadable) {
  std::ofstream(dir.path() / "SendLog.csv", std::ios::binary | std::ios::trunc)
      << "\"2026/12/01 10:00:00\",\"Ann Lee of Accounts\",\"Harbour Freight Forwarding\",\"+44 20 7946 0001\",\"R1\",\"CC\","
         "\"/home/ann/cover pages/december/invoice-0001.rtf\",\"/home/ann/reports/december/invoice-0001.ps\",\"\",\"\",\"\"\r\n"
      << "\"2026/12/01 16:45:00\",\"Ann Lee of Accounts\",\"Harbour Freight Forwarding\",\"+44 20 7946 0002\",\"R2\",\"CC\","
         "\"/home/ann/cover pages/december/invoice-0002.rtf\",\"/home/ann/reports/december/invoice-0002.ps\",\"\",\"\",\"\"\r\n";
  const std::string lng = LanguageFileName(ini->FileName(), "FRENCH");
  SetLanguage("FRENCH", ini->FileName());
  // First the English texts, captured as a translator starts from them.
  SetCaptureTexts(true);
  WriteWindowTexts(main.get(), "Main");
  ImportSession session;
  session.fileName = (dir.path() / "import.csv").string();
  std::vector<std::string> sendLogButtons;
  auto visitAll = [&] {
    sendLogButtons = Item("ViewSendLog", "?ViewSendLog", "?List").buttons;
    Visit("ImportTxtToKDF2option", "?g_MVClientsBFullPathName2",
          [&] { ImportTxtToKDF2option(main.get(), *ctx.dictionary, session); });
    Visit("UpdateGroups", "?MVD:GroupID", [&] { UpdateGroups(*ctx.dictionary, 1); });
  };
  visitAll();
  SetCaptureTexts(false);
  TranslateFile(lng, {{"S&end Fax", "&Envoyer la télécopie"},
                      {"Add reci&pient", "Ajouter un &destinataire"},
                      {"&Attention:", "À l'&attention de :"},
                      {"&Re-Send", "&Renvoyer"},
                      {"Close", "Fermer"},
                      {"&Start import", "&Démarrer l'importation"},
                      {"&Cancel", "&Annuler"},
                      {"Include first line", "Inclure la première ligne"}});
  SetLanguage("FRENCH", ini->FileName());
  failures.clear();
  g_shotSuffix = "-FRENCH";
  TranslateWindow(main.get(), "Main");
  QApplication::processEvents();
  EXPECT_EQ(main->Text(main->FieldOf("?ButtonSendFax")), "&Envoyer la télécopie");
  EXPECT_EQ(main->Text(MainAddRecipient), "Ajouter un &destinataire");
  EXPECT_EQ(main->Text(main->FieldOf("?Button4")), "À l'&attention de :");
  for (auto& f : mvntest::LayoutFaults(main->Widget())) failures.push_back(f);
  main->Widget()->grab().save(QString::fromStdString(OutputDir()) + "/Main-FRENCH.png");
  visitAll();
  // The send log is translated as the other windows are.
  for (const char* french : {"&Renvoyer", "Fermer"})
    EXPECT_NE(std::find(sendLogButtons.begin(), sendLogButtons.end(), french), sendLogButtons.end())
        << "the send log shows no " << french;
  g_shotSuffix.clear();
  SetLanguage("ENGLISH", ini->FileName());

  std::string all;
  for (auto& f : failures) all += "  " + f + "\n";
  EXPECT_TRUE(failures.empty()) << failures.size() << " faults a person would see:\n" << all;
}
