// The real main window offscreen: a recipient typed, a local file added
// through the list's popup, options chosen in the menus, Send pressed; the
// delivery command (a recording script) gets the request, which matches a
// request worked out by hand. Also the lookup while typing, the date
// checks, a French language file at start, and screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QLineEdit>
#include <QTest>
#include <clocale>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "client/ui/language.h"
#include "client/addressbook/exchange.h"
#include "client/app/procedures.h"
#include "client/app/tests/windowtests.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/window.h"
#include "tests/support/process.h"
#include "tests/support/qtwait.h"
#include "tests/support/tempdir.h"
#include "platform/kernel/win32.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using namespace mvn::client;

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string OutputDir() { return mvntest::ClientAppOutputDir(); }

void Drain() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

using mvntest::When;

void Click(QWidget* window, const char* useName) {
  if (auto* b = window->findChild<QAbstractButton*>(useName)) b->click();
}

struct MainFixture : ::testing::Test {
  mvntest::TempDir dir;
  fs::path tmp;
  std::unique_ptr<fw::IniFile> ini;
  MainContext ctx;
  fw::ScriptedServices services;
  std::unique_ptr<fw::ScopedServices> scope;
  std::unique_ptr<fw::Window> w;

  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    // The writers' temporary directory (the platform's, per user).
    std::string request = SendRequestPath();
    tmp = request.substr(0, request.size() - std::string("/Faxout.tmp").size());
    fs::remove(request);
    for (const auto& e : fs::directory_iterator(tmp))
      if (e.path().filename().string().rfind("AttachOtherFile", 0) == 0) fs::remove(e.path());
    scope = std::make_unique<fw::ScopedServices>(&services);
    fs::path recorder = dir.path() / "recorder";
    std::ofstream(recorder) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << (dir.path() / "argv").string()
                            << ".part'\ncp \"$2\" '" << (dir.path() / "request").string() << "'\nmv '"
                            << (dir.path() / "argv").string() << ".part' '" << (dir.path() / "argv").string()
                            << "'\n";
    fs::permissions(recorder, fs::perms::owner_all);
    std::ofstream(dir.path() / "mvncsend.ini") << "[recorder]\nYourName=Ann Smith\nYourEmailAddress=ann@example.test\n";
    ini = std::make_unique<fw::IniFile>((dir.path() / "dashpost.INI").string());
    ini->Update("Database", "Pathname", (dir.path() / "book").string());
    ini->Update("Files", "DeliveryCommand", recorder.string() + " CONFIG=" + (dir.path() / "mvncsend.ini").string() + " %1");
    ini->Update("Default", "SENDLOG", "NO");
    ini->Update("Default", "DateFormat", "dd/mm/yyyy");
  }
  void Open() {
    mvntest::OpenSendWindowBook(ctx, *ini);
    if (HasFatalFailure()) return;
    ctx.writer.waitMs = 2000;
    w = Main(ctx);
    w->Open();
    Drain();
  }
  void TearDown() override {
    if (w) w->Close();
    w.reset();
    KillDictionary();
    SetLanguage("", "");
  }
  void Type(int field, const std::string& text) {
    w->SetText(field, text);
    w->Post(fw::EventAccepted, field);
  }
  // What a person does: keys into a field, then Tab to leave it.
  void Keys(int field, const std::string& text) {
    QWidget* widget = w->ControlWidget(field);
    ASSERT_NE(widget, nullptr) << field;
    w->Widget()->activateWindow();
    widget->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) edit->selectAll();
    QTest::keyClicks(widget, QString::fromStdString(text));
    QTest::keyClick(widget, Qt::Key_Tab);
    Drain();
  }
  void ClickOn(int field) {
    QWidget* widget = w->ControlWidget(field);
    ASSERT_NE(widget, nullptr) << field;
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() / 2));
    Drain();
  }
  // A recipient typed, the cover-page message on with a text: ready to send.
  void TypeAFax(const std::string& destination, const std::string& message) {
    Keys(MainDestination, destination);
    if (!w->IsChecked(MainIncludeCover)) ClickOn(MainIncludeCover);
    w->ControlWidget(MainMessage)->setFocus();
    QTest::keyClicks(w->ControlWidget(MainMessage), QString::fromStdString(message));
    Drain();
  }
  // Send Fax pressed; the request the delivery command got.
  std::string SendAndRead() {
    fs::remove(dir.path() / "argv");
    EXPECT_FALSE(w->IsDisabled(MainSend));
    ClickOn(MainSend);
    EXPECT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
    return Slurp(dir.path() / "request");
  }
  void Menu(const char* useName) {
    int f = w->FieldOf(useName);
    ASSERT_NE(f, 0) << useName;
    w->Post(fw::EventAccepted, f);
  }
  void AddBookRecord(const std::string& name, const std::string& company, const std::string& dest) {
    auto& c = ctx.dictionary->File("MVClients");
    c.Buffer().Clear();
    c.Buffer().Set("ClientID", name);
    c.Buffer().Set("Company", company);
    c.Buffer().Set("PreferredDestination", dest);
    c.Buffer().Set("FaxNum", dest);
    ASSERT_EQ(c.TryInsert(), 0);
  }
};

}  // namespace

TEST_F(MainFixture, TypedRecipientLocalFileAndOptionsGiveTheRequestWorkedOutByHand) {
  std::ofstream(dir.path() / "notes.txt") << "hello\n";
  Open();
  EXPECT_TRUE(w->IsDisabled(MainSend));
  Type(MainTo, "Bob Jones");
  Type(MainCompany, "Example Ltd");
  Type(MainDestination, "+44 20 7946 0000");
  Type(MainReference, "REF-1");
  EXPECT_TRUE(w->IsDisabled(MainSend));  // a target, no content yet
  // The local files' popup: item 1 adds a file.
  services.AnswerPopup(1);
  services.AnswerFile((dir.path() / "notes.txt").string());
  auto* list = qobject_cast<QAbstractItemView*>(w->ControlWidget(MainLocalFiles));
  ASSERT_NE(list, nullptr);
  QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(3, 3), list->viewport()->mapToGlobal(QPoint(3, 3)));
  QApplication::sendEvent(list->viewport(), &e);
  Drain();
  ASSERT_EQ(services.popups.size(), 1u);
  EXPECT_EQ(services.popups[0][0].text, "Add files to attach");
  ASSERT_EQ(services.fileDialogs.size(), 1u);
  EXPECT_EQ(services.fileDialogs[0].title, "Please select a file to attach");
  EXPECT_EQ(ini->Fetch("Default", "AttachPath"), dir.str());
  EXPECT_FALSE(w->IsDisabled(MainSend));
  Menu("?PriorityHigh");
  Menu("?PageFull");
  Menu("?PageMinimum");  // one per group
  EXPECT_TRUE(w->IsChecked(w->FieldOf("?PageMinimum")));
  EXPECT_FALSE(w->IsChecked(w->FieldOf("?PageFull")));
  w->SetText(MainSendDate, "24/12/2003");
  w->SetText(MainSendTime, "15:30");
  // Screenshots of each tab and of the Send Options menu.
  auto* sheet = qobject_cast<QTabWidget*>(w->ControlWidget(MainSheetAttach));
  ASSERT_NE(sheet, nullptr);
  for (int i = 0; i < sheet->count(); ++i) {
    if (!sheet->isTabVisible(i)) continue;
    sheet->setCurrentIndex(i);
    EXPECT_TRUE(w->Widget()->grab().save(QString::fromStdString(OutputDir() + "/main-tab" + std::to_string(i) + ".png")));
  }
  if (QMenu* options = w->MenuAction(w->FieldOf("?MenuOptions"))->menu()) {
    options->popup(QPoint(0, 0));
    Drain();
    EXPECT_TRUE(options->grab().save(QString::fromStdString(OutputDir() + "/send-options-menu.png")));
    options->hide();
  }
  w->Post(fw::EventAccepted, MainSend);
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  std::string expected = Slurp(fs::path(GOLDEN_DIR) / "typed-send.req");
  std::string t = tmp.string();
  expected.replace(expected.find("@TMP@"), 5, t);
  EXPECT_EQ(Slurp(dir.path() / "request"), expected);
  EXPECT_EQ(Slurp(dir.path() / "argv"), "CONFIG=" + (dir.path() / "mvncsend.ini").string() + "\n" + t + "/Faxout.tmp\n");
  for (int i = 0; i < 5; ++i) Drain();
  EXPECT_TRUE(w->IsOpen());  // no command-line attachment: the client stays
  EXPECT_TRUE(services.messages.empty()) << services.messages[0].text;
}

TEST_F(MainFixture, LookupFillsAndClearsOnlyWhatItFilled) {
  Open();
  AddBookRecord("Bob Jones", "Example Ltd", "+44 20 7946 0000");
  Type(MainTo, "Bo");
  EXPECT_EQ(w->Text(MainTo), "Bob Jones");
  EXPECT_EQ(w->Text(MainCompany), "Example Ltd");
  EXPECT_EQ(w->Text(MainDestination), "+44 20 7946 0000");
  Type(MainTo, "Zed");  // no match: what the lookup filled goes
  EXPECT_EQ(w->Text(MainCompany), "");
  EXPECT_EQ(w->Text(MainDestination), "");
  Type(MainCompany, "Hand Made");  // typed by hand: the name stays
  Type(MainDestination, "+1 555 0100");
  EXPECT_EQ(w->Text(MainTo), "Zed");
  EXPECT_EQ(w->Text(MainCompany), "Hand Made");
}

TEST_F(MainFixture, DatesAndMandatoryFieldsAreRefusedBeforeSending) {
  struct Case { const char* format; const char* date; const char* time; const char* message; } cases[] = {
      {"dd/mm/yyyy", "31/02/2003", "15:30", "is not a valid date"},
      {"dd/mm/yyyy", "24/12/2003", "25:99", "is not a valid time"},
  };
  for (const Case& c : cases) {
    ini->Update("Default", "DateFormat", c.format);
    Open();
    Type(MainDestination, "+1 555 0100");
    w->SetChecked(MainIncludeCover, true);
    w->SetText(MainMessage, "hello");
    w->SetText(MainSendDate, c.date);
    w->SetText(MainSendTime, c.time);
    services.messages.clear();
    w->Post(fw::EventAccepted, MainSend);
    ASSERT_EQ(services.messages.size(), 1u) << c.format;
    EXPECT_NE(services.messages[0].text.find(c.message), std::string::npos) << services.messages[0].text;
    EXPECT_FALSE(fs::exists(tmp / "Faxout.tmp"));
    TearDown();
  }
  ini->Update("Default", "DateFormat", "dd/mm/yyyy");
  ini->Update("Default", "MandatoryRef", "yes");
  ini->Update("Default", "MandatoryCharge", "YES");
  services.messages.clear();
  Open();
  Type(MainDestination, "+1 555 0100");
  w->SetChecked(MainIncludeCover, true);
  w->SetText(MainMessage, "hello");
  w->Post(fw::EventAccepted, MainSend);
  Type(MainReference, "R");
  w->Post(fw::EventAccepted, MainSend);
  ASSERT_EQ(services.messages.size(), 2u);
  EXPECT_EQ(services.messages[0].text, "Reference field can't be blank (mandatory). Please fill in and retry.");
  EXPECT_EQ(services.messages[1].text, "Chargecode field can't be blank (mandatory). Please fill in and retry.");
}

TEST_F(MainFixture, AFrenchLanguageFileTranslatesTheWindowAtStart) {
  std::ofstream(dir.path() / "dashpost_FRENCH.LNG")
      << "[Main]\nTotalMenuToolbarItems=2\n1=" << MainSend << ",&Envoyer\n2=" << MainIncludeCover
      << ",&Inclure le message\n";
  SetLanguage("french", ini->FileName());
  Open();
  EXPECT_EQ(w->Text(MainSend), "&Envoyer");
  EXPECT_EQ(w->Text(MainIncludeCover), "&Inclure le message");
  EXPECT_EQ(w->Text(MainAddRecipient), "Add reci&pient");
}

TEST_F(MainFixture, SaveAsMyDefaultsAndTheSettingsWrittenAtClose) {
  Open();
  Menu("?PriorityNormal");
  Menu("?ResHigh");
  Menu("?PageFull");
  Menu("?SaveDefaults");
  EXPECT_EQ(ini->Fetch("Default", "DefaultPriority"), "NORMAL");
  EXPECT_EQ(ini->Fetch("Default", "DefaultResolution"), "High");
  Menu("?ImgYes");
  auto* sheet = qobject_cast<QTabWidget*>(w->ControlWidget(MainSheetAttach));
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isTabVisible(sheet->indexOf(w->ControlWidget(MainTabRemoteFiles))));
  EXPECT_FALSE(sheet->isTabVisible(sheet->indexOf(w->ControlWidget(MainTabLists))));
  for (int i = 0; i < sheet->count(); ++i) {
    sheet->setCurrentIndex(i);
    w->Widget()->grab().save(QString::fromStdString(OutputDir() + "/main-remote-tab" + std::to_string(i) + ".png"));
  }
  w->Close();
  EXPECT_EQ(ini->Fetch("Default", "ShowImageFilesTab"), "Yes");
  EXPECT_EQ(ini->Fetch("Default", "ShowRemoteListsTab"), "No");
  EXPECT_EQ(ini->Fetch("Default", "SENDLOG"), "No");
  // No language was chosen: the key is left as it was.
  EXPECT_EQ(ini->Fetch("Default", "DefaultLanguage"), "");
  EXPECT_EQ(ini->Fetch("Database", "Pathname"), (dir.path() / "book").string());
}

TEST_F(MainFixture, ExportGroupsAndTheEmailAddressBook) {
  ini->Update("Files", "EmailAddressBookLocation", (dir.path() / "email.bin").string());
  Open();
  AddBookRecord("Bob \"The Fax\" Jones", "Example Ltd", "+44 20 7946 0000");
  auto& c = ctx.dictionary->File("MVClients");
  c.Buffer().Clear();
  c.Buffer().Set("ClientID", "Dev");
  c.Buffer().Set("PreferredDestination", "dev@example.test");
  c.Buffer().Set("Email", "dev@example.test");
  c.Buffer().Set("DisplayName", "Dev Patel");
  ASSERT_EQ(c.TryInsert(), 0);
  auto& g = ctx.dictionary->File("MVGroupClient");
  g.Buffer().Clear();
  g.Buffer().Set("GroupID", "Customers");
  g.Buffer().SetLong("FK_MVClientID", 1);
  ASSERT_EQ(g.TryInsert(), 0);
  auto& q = ctx.dictionary->Queues().g_Qgroups;
  q.Buffer().Clear();
  q.Buffer().Set("GroupID", "Customers");
  q.Buffer().SetLong("Mark", 1);
  q.Add();
  services.AnswerFile((dir.path() / "groups.csv").string());
  Menu("?ExportGroups");
  EXPECT_EQ(Slurp(dir.path() / "groups.csv"),
            "List,To,Company,Destination\r\n\"Customers\",\"Bob \"\"The Fax\"\" Jones\",\"Example Ltd\",\"+44 20 7946 0000" +
                std::string(50 - 16, ' ') + "\"\r\n");
  EXPECT_FALSE(fs::exists(dir.path() / "groups.csv.CSV"));
  Menu("?UpdateEmail");
  std::string book = Slurp(dir.path() / "email.bin");
  ASSERT_EQ(book.size(), 82u);  // one fixed record, no line end
  EXPECT_EQ(book, std::string("Dev Patel") + std::string(22, ' ') + "dev@example.test" + std::string(33, ' ') +
                      std::string(1, '\0') + " ");
  ASSERT_GE(services.messages.size(), 2u);
  EXPECT_EQ(services.messages[0].text, "Export finished.");
  EXPECT_EQ(services.messages.back().text, "Update email address book succeeded!");
}

// Export Groups with no group marked (and Send to all off) writes nothing
// and says so, instead of a file of the header alone.
TEST_F(MainFixture, ExportGroupsWithNoGroupMarkedSaysSo) {
  Open();
  auto& q = ctx.dictionary->Queues().g_Qgroups;
  q.Buffer().Clear();
  q.Buffer().Set("GroupID", "Customers");
  q.Buffer().SetLong("Mark", 0);
  q.Add();
  services.AnswerFile((dir.path() / "groups.csv").string());
  Menu("?ExportGroups");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "No group is marked. Please mark the groups to export.");
  EXPECT_FALSE(fs::exists(dir.path() / "groups.csv"));
}

TEST_F(MainFixture, MinimiseOnSendClearsTheWindowAndTheMessageHasItsLimit) {
  ini->Update("Default", "MinimiseOnSend", "YES");
  Open();
  // 8,192 bytes at most: the rest is refused with the message.
  w->SetText(MainMessage, std::string(9000, 'm'));
  Drain();
  EXPECT_EQ(w->Text(MainMessage).size(), 8192u);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Message box limit (8192 bytes) exceeded. ");
  services.messages.clear();
  Type(MainTo, "Dr Ann Lee Smith");
  Type(MainDestination, "+44 20 7946 0000");
  Type(MainReference, "R1");
  w->SetChecked(MainIncludeCover, true);
  w->SetText(MainMessage, "hello");
  w->Post(fw::EventAccepted, MainSend);
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  EXPECT_NE(Slurp(dir.path() / "request").find("Title:Dr\r\n"), std::string::npos);
  for (int f : {MainTo, MainCompany, MainDestination, MainReference, MainMessage}) EXPECT_EQ(w->Text(f), "") << f;
  EXPECT_FALSE(w->IsChecked(MainIncludeCover));
  EXPECT_TRUE(w->IsMinimised());
  // The next recipient carries none of the previous one's hidden names.
  fs::remove(dir.path() / "argv");
  Type(MainDestination, "+1 555 0100");
  w->SetChecked(MainIncludeCover, true);
  w->SetText(MainMessage, "again");
  w->Post(fw::EventAccepted, MainSend);
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  std::string second = Slurp(dir.path() / "request");
  EXPECT_NE(second.find("Title:\r\nFirst:\r\nLast:\r\n"), std::string::npos) << second;
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(MainFixture, UploadListIsReportedOnlyWhenStarted) {
  Open();
  AddBookRecord("Bob Jones", "Example Ltd", "+44 20 7946 0000");
  w->SetChecked(MainSendToAll, true);
  // The value prompt is modal: answer it once it is up.
  auto answer = [](const char* text) {
    When("EnterValue2", [text](QWidget* top) {
      if (auto* edit = top->findChild<QLineEdit*>("?g_EnterValue")) edit->setText(text);
      if (auto* ok = top->findChild<QAbstractButton*>("?OK")) ok->click();
    });
  };
  answer("sales");
  Menu("?UploadList");
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  // The list goes up under its file's name, the file with its header.
  EXPECT_EQ(Slurp(dir.path() / "argv"),
            "CONFIG=" + (dir.path() / "mvncsend.ini").string() + "\nGROUP:sales.CSV\n" + tmp.string() + "/sales.CSV\n");
  EXPECT_EQ(Slurp(tmp / "sales.CSV").rfind("\"To\",\"Company\",\"Destination\"\r\n\"Bob Jones\"", 0), 0u);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Uploading list succeeded!");
  // No delivery command: the administrator's message, and no report of
  // success.
  services.messages.clear();
  ini->Update("Files", "DeliveryCommand", "");
  answer("sales");
  Menu("?UploadList");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text,
            "MVNSEND command does not exist in the setup file. Please contact your administrator.");
}

// The items that open the send log, resubmit, export and import windows
// are enabled.
TEST_F(MainFixture, ItemsOfTheOtherWindowsAreEnabled) {
  Open();
  for (const char* item : {"?ViewSendLog", "?Resubmit", "?ExportFile", "?ImportFile"}) {
    int f = w->FieldOf(item);
    ASSERT_NE(f, 0) << item;
    EXPECT_FALSE(w->IsDisabled(f)) << item;
  }
}

// View Send Log opens the log; its Re-Send refills the send window, and the
// send then writes the re-sent recipient and reference.
TEST_F(MainFixture, ViewSendLogReSendRefillsTheFields) {
  std::string log = (dir.path() / "SendLog.csv").string();
  std::ofstream(log, std::ios::binary)
      << "\"2026/12/01 10:00:00\",\"Ann Lee\",\"A Co\",\"+44 20 7946 0001\",\"R2\",\"CC\",\"\",\"\",\"\",\"\",\"\"\r\n";
  ini->Update("Files", "SendLog", log);
  Open();
  bool opened = false;
  When("ViewSendLog", [&opened](QWidget* top) {
    opened = true;
    auto* view = top->findChild<QAbstractItemView*>("?List");
    ASSERT_NE(view, nullptr);
    view->setCurrentIndex(view->model()->index(0, 0));
    Click(top, "?ReSend");
  });
  Menu("?ViewSendLog");
  EXPECT_TRUE(opened);
  EXPECT_EQ(w->Text(MainTo), "Ann Lee");
  EXPECT_EQ(w->Text(MainCompany), "A Co");
  EXPECT_EQ(w->Text(MainDestination), "+44 20 7946 0001");
  EXPECT_EQ(w->Text(MainReference), "R2");
  EXPECT_EQ(w->Text(MainChargeCode), "CC");
  w->SetChecked(MainIncludeCover, true);
  w->SetText(MainMessage, "again");
  w->Post(fw::EventAccepted, MainSend);
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  std::string request = Slurp(dir.path() / "request");
  EXPECT_NE(request.find("+44 20 7946 0001"), std::string::npos) << request;
  EXPECT_NE(request.find("R2"), std::string::npos) << request;
}

// Resubmit uses the window's prompter and writes the resubmit request that
// the delivery command gets.
TEST_F(MainFixture, ResubmitStartsTheRequest) {
  Open();
  When("RetryUnseccessful", [](QWidget* top) {
    Click(top, "?m_bSendUnsuccessfulTargets");
    if (auto* e = top->findChild<QLineEdit*>("?m_jobNum")) e->setText("77");
    Click(top, "?Close");
  });
  Menu("?Resubmit");
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  std::string argv = Slurp(dir.path() / "argv"), request = Slurp(dir.path() / "request");
  EXPECT_NE((argv + request).find("77"), std::string::npos) << argv << request;
}

// Export writes the book into the file named in the save dialog; Import of
// a file whose options window is cancelled adds nothing.
TEST_F(MainFixture, ExportWritesTheChosenFileAndACancelledImportAddsNothing) {
  Open();
  AddBookRecord("Bob Jones", "Example Ltd", "+44 20 7946 0000");
  fs::path out = dir.path() / "book.csv";
  services.AnswerFile(out.string());
  Menu("?ExportFile");
  ASSERT_EQ(services.fileDialogs.size(), 1u);
  EXPECT_EQ(services.fileDialogs[0].mode, fw::FileDialogMode::Save);
  EXPECT_EQ(services.fileDialogs[0].title, "Please name the file to save");
  EXPECT_EQ(services.fileDialogs[0].filters, "CSV File|*.csv;*.txt");
  std::string text = Slurp(out);
  EXPECT_EQ(text.rfind(ExportHeaderLine(), 0), 0u);
  EXPECT_NE(text.find("Bob Jones"), std::string::npos);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Export finished.");

  std::ofstream(dir.path() / "in.csv") << "Zed,Z Co,+1 555 0100\r\n";
  services.AnswerFile((dir.path() / "in.csv").string());
  When("ImportTxtToKDF2option", [](QWidget* top) { Click(top, "?Cancel"); });
  Menu("?ImportFile");
  ASSERT_EQ(services.fileDialogs.size(), 2u);
  EXPECT_EQ(services.fileDialogs[1].mode, fw::FileDialogMode::Open);
  EXPECT_EQ(services.fileDialogs[1].title, "Please select a csv file to import from");
  EXPECT_EQ(services.fileDialogs[1].filters, "CSV File|*.csv;*.txt");
  EXPECT_EQ(services.messages.size(), 1u);  // no import, no outcome
  auto& c = ctx.dictionary->File("MVClients");
  EXPECT_EQ(c.Records(), 1);
}

// With DisplayConfirmScreen the confirmation gets the job the send would
// write; Cancel sends nothing, S&end writes it.
TEST_F(MainFixture, ConfirmationCancelSendsNothingAndSendWrites) {
  ini->Update("Default", "DisplayConfirmScreen", "YES");
  Open();
  Type(MainDestination, "+1 555 0100");
  Type(MainReference, "CONF-1");
  w->SetChecked(MainIncludeCover, true);
  w->SetText(MainMessage, "hello");
  bool shown = false;
  When("ConfirmBeforeSend", [&shown](QWidget* top) {
    shown = true;
    Click(top, "?Cancel");
  });
  w->Post(fw::EventAccepted, MainSend);
  EXPECT_TRUE(shown);
  for (int i = 0; i < 20; ++i) Drain();
  EXPECT_FALSE(fs::exists(dir.path() / "argv"));
  EXPECT_FALSE(fs::exists(tmp / "Faxout.tmp"));
  When("ConfirmBeforeSend", [](QWidget* top) { Click(top, "?Send"); });
  w->Post(fw::EventAccepted, MainSend);
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  EXPECT_NE(Slurp(dir.path() / "request").find("CONF-1"), std::string::npos);
}

namespace {

// The texts of a menu's actions, in order ("-" for a separator).
std::vector<std::string> MenuTexts(fw::Window& w, const char* useName) {
  std::vector<std::string> texts;
  QAction* menu = w.MenuAction(w.FieldOf(useName));
  if (!menu || !menu->menu()) return texts;
  for (QAction* a : menu->menu()->actions()) texts.push_back(a->isSeparator() ? "-" : a->text().toStdString());
  return texts;
}

// The field of a menu item by its text.
int ItemWithText(fw::Window& w, const std::string& text) {
  for (int f : w.Fields())
    if (f < 0 && w.Type(f) == fw::ControlType::Item && w.Text(f) == text) return f;
  return 0;
}

// Answers the name prompt with a name and a value.
void AnswerNameValue(const std::string& name, const std::string& value) {
  When("GetNameValuesDialog", [name, value](QWidget* top) {
    if (auto* e = top->findChild<QLineEdit*>("?g_NameValueDialog:Name")) e->setText(QString::fromStdString(name));
    if (auto* e = top->findChild<QLineEdit*>("?g_NameValueDialog:Value")) e->setText(QString::fromStdString(value));
    Click(top, "?OK");
  });
}

}  // namespace

// Two books, Staff current, for an administrator: the menu, a switch that
// brings the other book's groups and the caption, a created book that does
// not become current, a delete that asks first and renumbers, and the book
// written at close.
TEST_F(MainFixture, AddressBooksMenuSwitchesCreatesAndDeletes) {
  ini->Update("Database", "NumCustomBooks", "2");
  ini->Update("Database", "Custom Book 1", "Staff");
  ini->Update("Database", "Staff", (dir.path() / "staff").string());
  ini->Update("Database", "Custom Book 2", "Sales");
  ini->Update("Database", "Sales", (dir.path() / "sales").string());
  ini->Update("Database", "Driver 2", "KEYED");
  ini->Update("Database", "Pathname", (dir.path() / "staff").string());
  ini->Update("Default", "AdminUser", "Yes");
  Open();
  auto addGroup = [&](const char* name) {
    auto& g = ctx.dictionary->File("MVdefaults");
    g.Buffer().Clear();
    g.Buffer().Set("GroupID", name);
    ASSERT_EQ(g.TryInsert(), 0);
  };
  addGroup("North");
  // Sorted by path: Sales is book 1, Staff (current) book 2.
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks"),
            (std::vector<std::string>{"  Sales", "* Staff", "-", "Create an Address Book",
                                      "View Current Address Book", "&Group Setup"}));
  EXPECT_EQ(MenuTexts(*w, "?Book2"), (std::vector<std::string>{"Select", "Delete"}));
  EXPECT_TRUE(w->IsDisabled(w->FieldOf("?Book2Select")));
  EXPECT_TRUE(w->IsDisabled(w->FieldOf("?Book2Delete")));
  EXPECT_FALSE(w->IsDisabled(w->FieldOf("?Book1Delete")));
  EXPECT_EQ(w->Caption(), "Morvane Dashpost  ( Staff )");

  Menu("?Book1Select");
  EXPECT_EQ(w->Caption(), "Morvane Dashpost  ( Sales )");
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[0], "* Sales");
  EXPECT_EQ(ctx.dictionary->Queues().g_Qgroups.Records(), 0);  // Staff's group is not Sales'
  addGroup("East");
  Menu("?Book2Select");
  ASSERT_EQ(ctx.dictionary->Queues().g_Qgroups.Records(), 1);
  EXPECT_EQ(fw::Clip(ctx.dictionary->Queues().g_Qgroups.Entry(1).Get("GroupID")), "North");
  Menu("?Book1Select");

  AnswerNameValue("Team", (dir.path() / "Team.KDF").string());
  Menu("?CreateBook");
  EXPECT_EQ(ini->Fetch("Database", "NumCustomBooks"), "3");
  EXPECT_EQ(ini->Fetch("Database", "Custom Book 3"), "Team");
  EXPECT_EQ(ini->Fetch("Database", "Team"), (dir.path() / "Team").string());
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[2], "  Team");
  EXPECT_EQ(w->Caption(), "Morvane Dashpost  ( Sales )");

  services.AnswerMessage(fw::ButtonNo);
  Menu("?Book2Delete");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Are you sure you really want to delete the address book:Staff");
  EXPECT_EQ(services.messages[0].caption, "Please confirm");
  EXPECT_EQ(ini->Fetch("Database", "Custom Book 1"), "Staff");
  services.AnswerMessage(fw::ButtonYes);
  Menu("?Book2Delete");
  EXPECT_EQ(ini->Fetch("Database", "NumCustomBooks"), "2");
  EXPECT_EQ(ini->Fetch("Database", "Custom Book 1"), "Sales");
  EXPECT_EQ(ini->Fetch("Database", "Driver 1"), "KEYED");
  EXPECT_EQ(ini->Fetch("Database", "Custom Book 2"), "Team");
  EXPECT_EQ(ini->Fetch("Database", "Staff"), "");
  EXPECT_TRUE(fs::exists(dir.path() / "staff.KDF"));  // the book's file is not touched
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[0], "* Sales");
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[1], "  Team");
  if (QMenu* books = w->MenuAction(w->FieldOf("?MenuBooks"))->menu()) {
    books->popup(QPoint(0, 0));
    Drain();
    EXPECT_TRUE(books->grab().save(QString::fromStdString(OutputDir() + "/address-books-menu.png")));
    books->hide();
  }
  w->Close();
  EXPECT_EQ(ini->Fetch("Database", "Pathname"), (dir.path() / "sales").string());
}

// The Cover Page menu sorted and chosen by name, a created page joining
// it; the remote files loaded at open; the language switched at run time
// and back to the built-in texts.
TEST_F(MainFixture, CoverPageAndLanguageMenusAtRunTime) {
  std::ofstream(dir.path() / "covers.ini") << "[AvailableCoverPages]\nZeta=last\nAlpha=first\n";
  std::ofstream(dir.path() / "images.ini") << "[ImageFiles]\nLogo=Company logo\n";
  ini->Update("Files", "GlobalCoverPages", (dir.path() / "covers.ini").string());
  ini->Update("Files", "ImageFiles", (dir.path() / "images.ini").string());
  ini->Update("Default", "DefaultLastUsedCoverPage", "Zeta");
  ini->Update("Language", "Languages", "English, French,German,Italian");
  ini->Update("Default", "DefaultLanguage", "english");
  std::ofstream(dir.path() / "dashpost_FRENCH.LNG") << "[Main]\nTotalMenuToolbarItems=1\n1=" << MainSend
                                                    << ",&Envoyer\n";
  Open();
  ASSERT_EQ(ctx.dictionary->Queues().g_QimageFiles.Records(), 1);
  EXPECT_EQ(fw::Clip(ctx.dictionary->Queues().g_QimageFiles.Entry(1).Get("Description")), "Company logo");

  EXPECT_EQ(MenuTexts(*w, "?MenuCoverPage"), (std::vector<std::string>{"  Alpha", "* Zeta"}));
  w->Post(fw::EventAccepted, ItemWithText(*w, "  Alpha"));
  EXPECT_EQ(MenuTexts(*w, "?MenuCoverPage"), (std::vector<std::string>{"* Alpha", "  Zeta"}));
  AnswerNameValue("Beta", "second");
  Menu("?CreateCoverPage");
  EXPECT_EQ(MenuTexts(*w, "?MenuCoverPage"), (std::vector<std::string>{"* Alpha", "  Beta", "  Zeta"}));
  Menu("?SaveDefaults");
  EXPECT_EQ(ini->Fetch("Default", "DefaultLastUsedCoverPage"), "Alpha");

  EXPECT_EQ(MenuTexts(*w, "?MenuLanguage"), (std::vector<std::string>{"* ENGLISH", "  FRENCH", "  GERMAN"}));
  w->Post(fw::EventAccepted, ItemWithText(*w, "  FRENCH"));
  EXPECT_EQ(w->Text(MainSend), "&Envoyer");
  EXPECT_EQ(CurrentLanguage(), "FRENCH");
  EXPECT_EQ(MenuTexts(*w, "?MenuLanguage"), (std::vector<std::string>{"  ENGLISH", "* FRENCH", "  GERMAN"}));
  EXPECT_EQ(MenuTexts(*w, "?MenuCoverPage")[0], "* Alpha");  // data texts survive the translation
  w->Post(fw::EventAccepted, ItemWithText(*w, "  ENGLISH"));
  EXPECT_EQ(w->Text(MainSend), "S&end Fax");
  EXPECT_EQ(CurrentLanguage(), "ENGLISH");
  w->Post(fw::EventAccepted, ItemWithText(*w, "  GERMAN"));  // no such file: the texts stay
  EXPECT_EQ(w->Text(MainSend), "S&end Fax");
  w->Close();
  EXPECT_EQ(ini->Fetch("Default", "DefaultLanguage"), "GERMAN");
}

// "Send Log: No" is written at once and the next send logs nothing; "Yes"
// logs the send after it.
TEST_F(MainFixture, SendLogChoiceTakesEffectAtOnce) {
  std::string log = (dir.path() / "SendLog.csv").string();
  ini->Update("Files", "SendLog", log);
  ini->Update("Default", "SENDLOG", "YES");
  Open();
  EXPECT_TRUE(w->IsChecked(w->FieldOf("?SendLogYes")));
  Menu("?SendLogNo");
  EXPECT_EQ(ini->Fetch("Default", "SENDLOG"), "No");
  auto send = [&](const char* reference) {
    fs::remove(dir.path() / "argv");
    Type(MainDestination, "+1 555 0100");
    Type(MainReference, reference);
    w->SetChecked(MainIncludeCover, true);
    w->SetText(MainMessage, "hello");
    w->Post(fw::EventAccepted, MainSend);
    ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists(dir.path() / "argv"); }));
  };
  send("NOT-LOGGED");
  EXPECT_EQ(Slurp(log).find("NOT-LOGGED"), std::string::npos);
  Menu("?SendLogYes");
  EXPECT_EQ(ini->Fetch("Default", "SENDLOG"), "Yes");
  send("LOGGED");
  EXPECT_NE(Slurp(log).find("LOGGED"), std::string::npos);
  EXPECT_EQ(Slurp(log).find("NOT-LOGGED"), std::string::npos);
}

// The AutoText button offers the configured files, greys one that is
// missing and a FIFO (without blocking on it), and fills the message text
// from the chosen file in blocks of 8,192 bytes, each without its trailing
// blanks.
TEST_F(MainFixture, AutoTextFillsTheMessageAndGreysWhatCannotBeOpened) {
  std::string first(8000, 'A');
  std::ofstream(dir.path() / "greet.txt", std::ios::binary) << first << std::string(192, ' ') << "tail  ";
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  ini->Update("AutoMessageTextFiles", "AutoText1", "Greeting");
  ini->Update("AutoMessageTextFiles", "Greeting", (dir.path() / "greet.txt").string());
  ini->Update("AutoMessageTextFiles", "AutoText2", "Missing");
  ini->Update("AutoMessageTextFiles", "Missing", (dir.path() / "none.txt").string());
  ini->Update("AutoMessageTextFiles", "AutoText3", "Pipe");
  ini->Update("AutoMessageTextFiles", "Pipe", (dir.path() / "pipe").string());
  Open();
  EXPECT_FALSE(w->IsDisabled(MainAutoText));
  services.AnswerPopup(1);
  w->Post(fw::EventAccepted, MainAutoText);
  ASSERT_EQ(services.popups.size(), 1u);
  ASSERT_EQ(services.popups[0].size(), 3u);
  EXPECT_EQ(services.popups[0][0].text, "Greeting");
  EXPECT_FALSE(services.popups[0][0].greyed);
  EXPECT_TRUE(services.popups[0][1].greyed);
  EXPECT_TRUE(services.popups[0][2].greyed);
  EXPECT_EQ(w->Text(MainMessage), first + "tail");
  EXPECT_TRUE(services.messages.empty());
}

// A book whose file cannot be opened is told; the current book stays open
// and current.
TEST_F(MainFixture, ABookThatCannotBeOpenedKeepsTheCurrentOne) {
  ini->Update("Database", "NumCustomBooks", "2");
  ini->Update("Database", "Custom Book 1", "Mine");
  ini->Update("Database", "Mine", (dir.path() / "book").string());
  ini->Update("Database", "Custom Book 2", "Gone");
  ini->Update("Database", "Gone", (dir.path() / "no-such-dir" / "gone").string());
  Open();
  AddBookRecord("Bob Jones", "Example Ltd", "+44 20 7946 0000");
  ASSERT_EQ(MenuTexts(*w, "?MenuBooks")[0], "* Mine");
  Menu("?Book2");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_NE(services.messages[0].text.find("The address book Gone cannot be opened"), std::string::npos);
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[0], "* Mine");
  EXPECT_EQ(w->Caption(), "Morvane Dashpost  ( Mine )");
  Type(MainTo, "Bob");  // the lookup still reads the current book
  EXPECT_EQ(w->Text(MainDestination), "+44 20 7946 0000");
}

namespace {

const char* const kDatePictures[] = {"mm/dd/yy", "mm/dd/yyyy", "mmm dd, yyyy", "mmmmmmmmm dd, yyyy",
                                     "dd/mm/yy", "dd/mm/yyyy", "dd mmm yy",    "dd mmm yyyy",
                                     "yy/mm/dd", "yyyy/mm/dd", "yymmdd",       "yyyymmdd",
                                     "mm/yy",    "mm/yyyy",    "yy/mm",        "yyyy/mm"};

std::string DdMmYyyy(int day, int month, int year) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", day, month, year);
  return text;
}

}  // namespace

// Every DateFormat picture shows today and sends a whole date: a picture
// without a day sends today's day of the month it shows (here also the
// next month typed in, whose day is today's or the month's last).
TEST_F(MainFixture, EveryDateFormatSendsAWholeDate) {
  int y = 0, m = 0, d = 0;
  fw::SplitDate(fw::Today(), &y, &m, &d);
  const int nextMonth = m % 12 + 1, nextYear = m == 12 ? y + 1 : y;
  int nextDay = d;
  while (fw::Date(nextMonth, nextDay, nextYear) == 0) --nextDay;
  for (const char* picture : kDatePictures) {
    SCOPED_TRACE(picture);
    ini->Update("Default", "DateFormat", picture);
    Open();
    EXPECT_EQ(w->Text(MainSendDate), fw::Format(fw::Today(), picture));
    TypeAFax("+1 555 0100", "dated");
    std::string request = SendAndRead();
    EXPECT_NE(request.find("\r\nSend:" + DdMmYyyy(d, m, y) + " "), std::string::npos) << request;
    if (std::string(picture).find('d') == std::string::npos) {
      Keys(MainSendDate, fw::Format(fw::Date(nextMonth, 1, nextYear), picture));
      request = SendAndRead();
      EXPECT_NE(request.find("\r\nSend:" + DdMmYyyy(nextDay, nextMonth, nextYear) + " "), std::string::npos)
          << request;
    }
    EXPECT_TRUE(services.messages.empty()) << services.messages[0].text;
    TearDown();
  }
}

// "Replace Attention Field" and its name, set in the "Send to" list, stay
// set for the next send.
TEST_F(MainFixture, ReplaceAttentionStaysSetForTheRun) {
  ini->Update("Default", "DisplayConfirmScreen", "YES");
  Open();
  Keys(MainTo, "Bob Baker");
  TypeAFax("+1 555 0100", "first");
  When("ConfirmBeforeSend", [](QWidget* confirm) {
    When("SendToList", [](QWidget* list) {
      Click(list, "?ReplaceAttention");
      auto* name = list->findChild<QLineEdit*>("?AttentionName");
      ASSERT_NE(name, nullptr);
      name->setFocus();
      QTest::keyClicks(name, "The Manager");
      Click(list, "?Close");
    });
    Click(confirm, "?Show");
    Click(confirm, "?Send");
  });
  std::string first = SendAndRead();
  EXPECT_NE(first.find("\r\nTo:The Manager" + std::string(9, ' ') + "\r\n"), std::string::npos) << first;
  // The next send, confirmed without opening the list, keeps the choice.
  When("ConfirmBeforeSend", [](QWidget* confirm) { Click(confirm, "?Send"); });
  std::string second = SendAndRead();
  EXPECT_NE(second.find("\r\nTo:The Manager" + std::string(9, ' ') + "\r\n"), std::string::npos) << second;
  EXPECT_EQ(second.find("To:Bob Baker"), std::string::npos);
}

// "Send to all recipients" over a book without records sends nothing and
// says why.
TEST_F(MainFixture, SendToAllOverAnEmptyBookIsRefused) {
  Open();
  ClickOn(MainSendToAll);
  ASSERT_TRUE(w->IsChecked(MainSendToAll));
  ClickOn(MainIncludeCover);
  QTest::keyClicks(w->ControlWidget(MainMessage), "to everybody");
  Drain();
  ASSERT_FALSE(w->IsDisabled(MainSend));
  ClickOn(MainSend);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "There is nobody to send to: the current address book holds no recipients.");
  for (int i = 0; i < 20; ++i) Drain();
  EXPECT_FALSE(fs::exists(tmp / "Faxout.tmp"));
  EXPECT_FALSE(fs::exists(dir.path() / "argv"));
}

// The fixed menu items keep their field numbers (which language files
// hold) however many languages the Language menu offers.
TEST_F(MainFixture, FixedMenuItemsKeepTheirNumbersWhateverTheLanguages) {
  const char* fixed[] = {"?MenuSendLog", "?SendLogYes", "?SendLogNo", "?MenuHelp", "?About", "?MenuLanguage"};
  std::vector<int> first;
  for (const char* languages : {"", "ENGLISH", "ENGLISH,FRENCH,GERMAN"}) {
    SCOPED_TRACE(languages);
    ini->Update("Language", "Languages", languages);
    Open();
    std::vector<int> fields;
    for (const char* name : fixed) fields.push_back(w->FieldOf(name));
    if (first.empty()) first = fields;
    EXPECT_EQ(fields, first);
    TearDown();
  }
  // A language file captured with one language translates About with three.
  ini->Update("Language", "Languages", "ENGLISH,FRENCH,GERMAN");
  std::ofstream(dir.path() / "dashpost_FRENCH.LNG")
      << "[Main]\nTotalMenuToolbarItems=2\n1=" << first[4] << ",A propos\n2=" << first[2] << ",Non\n";
  Open();
  w->Post(fw::EventAccepted, ItemWithText(*w, "  FRENCH"));
  Drain();
  EXPECT_EQ(w->Text(w->FieldOf("?About")), "A propos");
  EXPECT_EQ(w->Text(w->FieldOf("?SendLogNo")), "Non");
}

// An INI file found in the Windows directory (the second place looked at):
// Setup > Language finds the language file beside it, whatever the current
// directory.
TEST_F(MainFixture, ALanguageChosenAtRunTimeIsFoundBesideTheIniFile) {
  char windows[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  fs::create_directories(windows);
  const std::string program = (dir.path() / "bin" / "dashprobe").string();
  {
    std::ofstream out(fs::path(windows) / "dashprobe.INI");
    out << Slurp(ini->FileName()) << "\n[Language]\nLanguages=ENGLISH,FRENCH\n";
  }
  std::ofstream(fs::path(windows) / "dashprobe_FRENCH.LNG")
      << "[Main]\nTotalMenuToolbarItems=1\n1=" << MainSend << ",&Envoyer\n";
  ini = std::make_unique<fw::IniFile>(FindClientIni(program));
  ASSERT_NE(fs::current_path(), fs::path(windows));
  Open();
  w->Post(fw::EventAccepted, ItemWithText(*w, "  FRENCH"));
  Drain();
  EXPECT_EQ(w->Text(MainSend), "&Envoyer");
  TearDown();
  fs::remove(fs::path(windows) / "dashprobe.INI");
  fs::remove(fs::path(windows) / "dashprobe_FRENCH.LNG");
}

// Opening View Send Log clears the resend flag that a Re-Send set: the
// next send's kept document is stamped, not named as a re-send.
TEST_F(MainFixture, OpeningTheSendLogClearsTheResendFlag) {
  fs::create_directories(dir.path() / "keep");
  std::ofstream(dir.path() / "keep" / "invoice.ps.20261201.100000") << "%!PS kept";
  std::string log = (dir.path() / "SendLog.csv").string();
  std::ofstream(log, std::ios::binary)
      << "\"2026/12/01 10:00:00\",\"Ann Lee\",\"A Co\",\"+44 20 7946 0001\",\"R2\",\"\",\"\",\""
      << (dir.path() / "keep" / "invoice.ps.20261201.100000").string() << "\",\"\",\"\",\"\"\r\n";
  ini->Update("Files", "SendLog", log);
  ini->Update("Files", "SendlogKeepFiles", (dir.path() / "keep").string());
  ini->Update("Default", "SENDLOG", "YES");
  ini->Update("Default", "KeepFiles", "YES");
  Open();
  auto keptNames = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path() / "keep")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  // Re-Send, then the log opened again and closed without one.
  When("ViewSendLog", [](QWidget* top) {
    auto* view = top->findChild<QAbstractItemView*>("?List");
    ASSERT_NE(view, nullptr);
    view->setCurrentIndex(view->model()->index(0, 0));
    Click(top, "?ReSend");
  });
  Menu("?ViewSendLog");
  Drain();
  ASSERT_EQ(w->Text(MainDestination), "+44 20 7946 0001");
  When("ViewSendLog", [](QWidget* top) { Click(top, "?Close"); });
  Menu("?ViewSendLog");
  Drain();
  TypeAFax("", "again");
  SendAndRead();
  std::vector<std::string> names = keptNames();
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n[0] == 'R'; }), 0)
      << ::testing::PrintToString(names);
  // A new stamped copy under the document's own name (not the kept copy's
  // stamped name stamped again), beside the old kept copy.
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) {
                            return n.rfind("invoice.ps.", 0) == 0 && n != "invoice.ps.20261201.100000" &&
                                   n.size() == std::string("invoice.ps.20261201.100000").size();
                          }),
            1)
      << ::testing::PrintToString(names);
}

// Every configured book unusable (no path, a name of the section's own):
// the window opens on Pathname's book, named after its file; a typed
// recipient is added to it, and the close writes Pathname back without a
// message.
TEST_F(MainFixture, WithNoUsableConfiguredBookTheWindowWorksOnPathname) {
  ini->Update("Database", "NumCustomBooks", "2");
  ini->Update("Database", "Custom Book 1", "Sales");
  ini->Update("Database", "Custom Book 2", "Pathname");
  Open();
  EXPECT_EQ(w->Caption(), "Morvane Dashpost  ( book )");
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[0], "  Sales");
  EXPECT_EQ(MenuTexts(*w, "?MenuBooks")[1], "* book");
  Keys(MainTo, "Zoe");
  Keys(MainDestination, "+1 555 0199");
  ClickOn(MainAddRecipient);
  EXPECT_TRUE(services.messages.empty()) << services.messages[0].text;
  EXPECT_EQ(ctx.dictionary->File("MVClients").Records(), 1);
  w->Close();
  Drain();
  EXPECT_TRUE(services.messages.empty()) << services.messages[0].text;
  EXPECT_EQ(ini->Fetch("Database", "Pathname"), (dir.path() / "book").string());
  EXPECT_EQ(ini->Fetch("Database", "NumCustomBooks"), "2");
}

// Each choice of Send Options, chosen from its menu, becomes the option
// the window holds: it alone of its group is marked (the marks are drawn
// from the options). The Display Remote Files and Lists items show and
// hide their tabs.
TEST_F(MainFixture, EveryChoiceItemBecomesTheOptionOfItsGroup) {
  Open();
  for (const char* group : {"?MenuPriority", "?MenuNotification", "?MenuResolution", "?MenuPageSize", "?MenuGroupSend"}) {
    QAction* menu = w->MenuAction(w->FieldOf(group));
    ASSERT_TRUE(menu && menu->menu()) << group;
    QList<QAction*> items = menu->menu()->actions();
    ASSERT_GE(items.size(), 2) << group;
    for (int chosen = 0; chosen < items.size(); ++chosen) {
      SCOPED_TRACE(std::string(group) + " " + items[chosen]->text().toStdString());
      int field = 0;
      for (int f : w->Fields())
        if (w->MenuAction(f) == items[chosen]) field = f;
      ASSERT_NE(field, 0);
      w->Post(fw::EventAccepted, field);
      Drain();
      for (int i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->isChecked(), i == chosen) << i;
    }
  }
  auto* sheet = qobject_cast<QTabWidget*>(w->ControlWidget(MainSheetAttach));
  ASSERT_NE(sheet, nullptr);
  auto shown = [&](int tab) { return sheet->isTabVisible(sheet->indexOf(w->ControlWidget(tab))); };
  const struct {
    const char* item;
    bool images, lists;
  } steps[] = {{"?ImgYes", true, false}, {"?ListsYes", true, true}, {"?ImgNo", false, true}, {"?ListsNo", false, false}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.item);
    Menu(step.item);
    Drain();
    EXPECT_EQ(shown(MainTabRemoteFiles), step.images);
    EXPECT_EQ(shown(MainTabLists), step.lists);
    EXPECT_TRUE(w->IsChecked(w->FieldOf(step.images ? "?ImgYes" : "?ImgNo")));
    EXPECT_TRUE(w->IsChecked(w->FieldOf(step.lists ? "?ListsYes" : "?ListsNo")));
  }
}
