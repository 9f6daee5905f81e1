// The address-book windows on the offscreen platform: the form's radio and
// view-only rules, the browse, groups through the window, AutoText, cover
// pages and the import options; a screenshot of each.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <QAbstractItemView>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "client/addressbook/groups.h"
#include "client/addressbook/procedures.h"
#include "framework/core/services.h"
#include "framework/gui/browse.h"
#include "framework/gui/listcontrol.h"
#include "framework/gui/window.h"
#include "tests/support/qtwait.h"
#include "tests/support/tempdir.h"

namespace fw = mvn::framework;
using namespace mvn::client;

namespace {

std::string OutputDirectory() {
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  std::filesystem::path dir = std::filesystem::path(root && *root ? root : ".") / "test-output" / "addressbook";
  std::filesystem::create_directories(dir);
  return dir.string();
}

bool Screenshot(QWidget* w, const std::string& name) {
  return w->grab().save(QString::fromStdString(OutputDirectory() + "/" + name));
}

using mvntest::When;

template <class T>
T* Child(QWidget* w, const char* use) {
  return w->findChild<T*>(use);
}

void Click(QWidget* w, const char* use) {
  auto* b = Child<QAbstractButton>(w, use);
  ASSERT_NE(b, nullptr) << use;
  b->click();
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override {
    fw::InstallServices(&services);
    std::ofstream(dir / "client.ini") << "[Default]\r\nEditAddressBooks=YES\r\n";
    ini.SetFileName(dir / "client.ini");
    fw::Window::SetSettingsFile(&ini);
    ASSERT_TRUE(d.SetAddressBookFiles(dir / "book", ""));
    ASSERT_EQ(d.OpenAddressBook(), 0);
  }
  void TearDown() override {
    fw::Window::SetSettingsFile(nullptr);
    fw::InstallServices(nullptr);
  }
  long Add(const std::string& contact, const std::string& company, const std::string& fax, const std::string& email,
           const std::string& preferred, const std::string& type = "", const std::string& emailType = "") {
    auto& c = d.File("MVClients");
    c.Buffer().Clear();
    c.Buffer().Set("ClientID", contact);
    c.Buffer().Set("Company", company);
    c.Buffer().Set("FaxNum", fax);
    c.Buffer().Set("Email", email);
    c.Buffer().Set("PreferredDestination", preferred);
    c.Buffer().Set("FaxToEmailAttachmentType", type);
    c.Buffer().Set("EmailType", emailType);
    EXPECT_EQ(c.TryInsert(), 0);
    return static_cast<long>(c.Buffer().GetLong("PK_MVClientID"));
  }
  void Fetch(long id) {
    auto& c = d.File("MVClients");
    c.Buffer().Clear();
    c.Buffer().SetLong("PK_MVClientID", id);
    ASSERT_EQ(c.TryFetch("MVC:KeyPK_MVClientID"), 0);
  }
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::IniFile ini;
  Dictionary d;
};

}  // namespace

TEST(AddressForm, DestinationAttachmentAndEmailTypeRules) {
  using namespace addressform;
  struct {
    const char *fax, *email, *stored;
    int choice;
  } radios[] = {
      {"555", "a@b", "a@b", 2}, {"555", "a@b", "555", 1}, {"555", "a@b", "other", 1},
      {"", "a@b", "", 2},       {"555", "", "a@b", 1},    {"", "", "", 1},
      {"555 ", "a@b ", "a@b", 2},
  };
  for (auto& r : radios) EXPECT_EQ(DestinationChoice(r.fax, r.email, r.stored), r.choice) << r.fax << r.email << r.stored;
  EXPECT_EQ(AttachmentEntry("mvn "), 2);
  EXPECT_EQ(AttachmentEntry("TIFF"), 1);
  EXPECT_EQ(AttachmentEntry("DOC"), 0);
  EXPECT_EQ(EmailTypeEntry("pager"), 3);
  EXPECT_EQ(EmailTypeEntry("X400"), 0);

  struct {
    int choice, typeEntry;
    const char* storedType;
    int attachEntry;
    const char* storedAttach;
    const char *dest, *type, *attach;
  } accepts[] = {
      {1, 1, "", 3, "", "555", "SMTP", "PDF"},
      {2, 0, "X400", 0, "DOC", "a@b", "X400", "DOC"},  // unlisted stored values are kept
      {1, 0, "", 0, "", "555", "", "RAW"},
  };
  for (auto& a : accepts) {
    auto r = Accept(a.choice, "555", "a@b", a.typeEntry, a.storedType, a.attachEntry, a.storedAttach);
    EXPECT_EQ(r.preferredDestination, a.dest);
    EXPECT_EQ(r.emailType, a.type);
    EXPECT_EQ(r.attachmentType, a.attach);
  }
}

TEST_F(Windows, UpdateMVClientRadiosTwinsAndSave) {
  long id = Add("Pat", "Acme", "555", "pat@x", "pat@x", "mvn ", "X400");
  Fetch(id);
  bool emailChosen = false, attachEnabled = false;
  std::string attachText;
  When("UpdateMVClient", [&](QWidget* w) {
    emailChosen = Child<QAbstractButton>(w, "?Option1:Radio2")->isChecked();
    attachText = Child<QComboBox>(w, "?List_attach")->currentText().toStdString();
    attachEnabled = Child<QComboBox>(w, "?List_attach")->isEnabled();
    Screenshot(w, "updatemvclient-change.png");
    // The fax number on the business tab is the same field.
    auto* fax2 = Child<QLineEdit>(w, "?MVC:FaxNum:2");
    fax2->setFocus();
    fax2->setText("777");
    Child<QLineEdit>(w, "?MVC:Company")->setFocus();
    Click(w, "?Option1:Radio1");
    Click(w, "?OK");
  });
  EXPECT_EQ(UpdateMVClient(d, ini, 2), fw::RequestCompleted);
  EXPECT_TRUE(emailChosen);
  EXPECT_TRUE(attachEnabled);
  EXPECT_EQ(attachText, "MVN file");
  Fetch(id);
  auto& r = d.File("MVClients").Buffer();
  EXPECT_EQ(r.Clipped("FaxNum"), "777");
  EXPECT_EQ(r.Clipped("PreferredDestination"), "777");
  EXPECT_EQ(r.Clipped("EmailType"), "X400");
  EXPECT_EQ(r.Clipped("FaxToEmailAttachmentType"), "MVN");
}

TEST_F(Windows, UpdateMVClientViewOnly) {
  std::ofstream(dir / "client.ini") << "[Default]\r\nEditAddressBooks= no \r\n";
  long id = Add("Pat", "Acme", "555", "", "555");
  Fetch(id);
  bool okHidden = false;
  std::string back;
  When("UpdateMVClient", [&](QWidget* w) {
    okHidden = !Child<QPushButton>(w, "?OK")->isVisible();
    back = Child<QPushButton>(w, "?Cancel")->text().toStdString();
    Screenshot(w, "updatemvclient-view.png");
    Click(w, "?Cancel");
  });
  EXPECT_EQ(UpdateMVClient(d, ini, 2), fw::RequestCancelled);
  EXPECT_TRUE(okHidden);
  EXPECT_EQ(back, "&Back");
}

TEST_F(Windows, FindClientOpensOnTheRecipientAndSelects) {
  Add("Ann", "Zeta", "1", "", "1");
  Add("Bob", "Alpha", "2", "", "2");
  Add("Cy", "Mid", "3", "", "3");
  std::string title;
  When("FindClient", [&](QWidget* w) {
    title = w->windowTitle().toStdString();
    Screenshot(w, "findclient.png");
    auto* view = w->findChild<fw::BrowseView*>();
    ASSERT_NE(view, nullptr);
    emit view->customContextMenuRequested(QPoint(5, 5));
    Click(w, "?Select");
  });
  FindClientStart start;
  start.tab = 2;
  start.company = "Mid";
  start.clientId = "Cy";
  start.destination = "3";
  start.bookName = "Book  ";
  std::optional<fw::Record> chosen = FindClient(nullptr, d, ini, start);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->Clipped("ClientID"), "Cy");
  EXPECT_EQ(title, "Browsing the Address Book ( Book )");
  ASSERT_EQ(services.popups.size(), 1u);
  ASSERT_EQ(services.popups[0].size(), 1u);
  EXPECT_EQ(d.File("MVClients").Buffer().Clipped("ClientID"), "Cy");
}

TEST_F(Windows, GroupClientSetupAddsAndRemovesThroughItsButtons) {
  Add("Ann", "Zeta", "1", "", "1");
  auto& g = d.File("MVdefaults");
  g.Buffer().Clear();
  g.Buffer().Set("GroupID", "Sales");
  ASSERT_EQ(g.TryInsert(), 0);
  int membersAfterAdd = -1, membersAfterRemove = -1;
  When("GroupClientSetup", [&](QWidget* w) {
    Click(w, "?Button_addToGroup");
    membersAfterAdd = d.Queues().g_relatedClientsQ.Records();
    Screenshot(w, "groupclientsetup.png");
    Child<QTabWidget>(w, "?Sheet_groups")->setCurrentIndex(1);
    Child<QTabWidget>(w, "?Sheet_recipients")->setCurrentIndex(1);
    Screenshot(w, "groupclientsetup-all.png");
    Click(w, "?Button_removeFromGroup");
    membersAfterRemove = d.Queues().g_relatedClientsQ.Records();
    Click(w, "?Close");
  });
  GroupClientSetup(nullptr, d, ini);
  EXPECT_EQ(membersAfterAdd, 1);
  EXPECT_EQ(membersAfterRemove, 0);
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(Windows, AutoTextSetupAddsAndRefuses) {
  When("AutoTextSetup", [&](QWidget* w) {
    Child<QLineEdit>(w, "?g_QautoText:Name")->setText("Thanks");
    Child<QLineEdit>(w, "?g_QautoText:fullPathName")->setText("/t/thanks.txt");
    Click(w, "?Button_add");
    Click(w, "?Button_add");
    Screenshot(w, "autotextsetup.png");
    Click(w, "?Close");
  });
  AutoTextSetup(nullptr, d, ini, "true");
  EXPECT_EQ(ini.Fetch("AutoMessageTextFiles", "AutoText1"), "Thanks");
  EXPECT_EQ(ini.Fetch("AutoMessageTextFiles", "Thanks"), "/t/thanks.txt");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Autotext name already exists. Please change the name and retry.");
}

TEST_F(Windows, CoverPageSetupLoadsUpdatesAndHidesOnTheBodyTab) {
  std::ofstream(dir / "client.ini") << "[Files]\r\nGlobalCoverPages=" << (dir / "global.ini") << "\r\n";
  std::ofstream(dir / "global.ini") << "[AvailableCoverPages]\r\nPlain=plain\r\n"
                                       "[Plain]\r\nAddressHeaderLines=both\r\nAddressHeaderMargins=0.5,0.5,1,1\r\n";
  auto& q = d.Queues().g_QcoverPages;
  q.Free();
  q.Buffer().Clear();
  q.Buffer().Set("Name", "Plain");
  q.Add();
  std::string left, lines;
  bool hiddenOnBody = false;
  When("CoverPageSetup", [&](QWidget* w) {
    // Choose the page through the list control's row click.
    auto* lc = w->findChild<fw::ListControl*>("?List1");
    ASSERT_NE(lc, nullptr);
    lc->ClickRow(0, false);
    left = Child<QLineEdit>(w, "?m_HeadLeft")->text().toStdString();
    lines = Child<QComboBox>(w, "?List2")->currentText().toStdString();
    Child<QLineEdit>(w, "?m_HeadLeft")->setText("0.75");
    Click(w, "?Button_update");
    auto* sheet = Child<QTabWidget>(w, "?Sheet1");
    sheet->setCurrentIndex(1);
    hiddenOnBody = !Child<QPushButton>(w, "?Button_ViewEdit")->isVisible() &&
                   !Child<QPushButton>(w, "?Button_selectFile")->isVisible();
    sheet->setCurrentIndex(0);
    Screenshot(w, "coverpagesetup.png");
    Click(w, "?Close");
  });
  CoverPageSetup(nullptr, d, ini, "true");
  EXPECT_EQ(left, "0.5");
  EXPECT_EQ(lines, "Top & Bottom");
  EXPECT_TRUE(hiddenOnBody);
  fw::IniFile global(dir / "global.ini");
  EXPECT_EQ(global.Fetch("Plain", "AddressHeaderMargins"), "0.75,0.5,1,1");
  EXPECT_EQ(global.Fetch("Plain", "AddressHeaderLines"), "Top & Bottom");
}

TEST_F(Windows, ImportOptionsMapByDropAndStart) {
  std::ofstream(dir / "in.csv") << "Who,Fax,Team\r\nAnn,555,Sales\r\n";
  ImportSession s;
  s.fileName = dir / "in.csv";
  std::string faxMapped;
  When("ImportTxtToKDF2option", [&](QWidget* w) {
    auto* kdf = w->findChild<fw::ListControl*>("?List_kdf");
    auto* csv = w->findChild<fw::ListControl*>("?List_csv");
    ASSERT_NE(kdf, nullptr);
    ASSERT_NE(csv, nullptr);
    // Buttons: ATTENTION (field row 1) onto column 1.
    kdf->ClickRow(0, false);
    csv->ClickRow(0, false);
    Click(w, "?Button_Add");
    // Drops as the window system delivers them: FAXNUM onto column 2, then
    // back with "<< Map <<"; column 3 onto "&Group >>".
    auto drop = [&](QWidget* target, QMimeData* data, QPoint at) {
      QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(target, &enter);
      QDropEvent event(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(target, &event);
      return event.isAccepted();
    };
    std::unique_ptr<QMimeData> fax(kdf->model()->mimeData({kdf->model()->index(2, 0)}));
    EXPECT_TRUE(drop(csv->viewport(), fax.get(), csv->visualRect(csv->model()->index(1, 0)).center()));
    faxMapped = csv->Model()->CellText(1, 1);
    csv->ClickRow(1, false);
    Click(w, "?Button_remove");
    std::unique_ptr<QMimeData> team(csv->model()->mimeData({csv->model()->index(2, 0)}));
    auto* group = Child<QPushButton>(w, "?Button_group");
    EXPECT_TRUE(drop(group, team.get(), group->rect().center()));
    Screenshot(w, "importoptions.png");
    Click(w, "?g_bInclude1stLine");
    Click(w, "?Close");
  });
  ImportTxtToKDF2option(nullptr, d, s);
  EXPECT_TRUE(s.start);
  EXPECT_TRUE(s.include1stLine);
  ASSERT_EQ(s.map.pairs.size(), 1u);
  EXPECT_EQ(s.map.pairs[0], (std::pair<int, std::string>{0, "ATTENTION"}));
  EXPECT_EQ(s.map.groupColumns, (std::vector<int>{2}));
  EXPECT_EQ(faxMapped, "FAXNUM");
}

namespace {

// Clicks the row of a list or browse whose first column shows text, as a
// person does.
bool ClickRow(QWidget* w, const char* use, const QString& text) {
  auto* view = w->findChild<QAbstractItemView*>(use);
  if (!view) return false;
  for (int row = 0; row < view->model()->rowCount(); ++row) {
    QModelIndex index = view->model()->index(row, 0);
    if (view->model()->data(index).toString().trimmed() != text) continue;
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, view->visualRect(index).center());
    return true;
  }
  return false;
}

std::vector<std::string> Rows(QWidget* w, const char* use) {
  std::vector<std::string> rows;
  auto* view = w->findChild<QAbstractItemView*>(use);
  if (!view) return rows;
  for (int row = 0; row < view->model()->rowCount(); ++row)
    rows.push_back(view->model()->data(view->model()->index(row, 0)).toString().trimmed().toStdString());
  return rows;
}

// The window takes the keyboard as it does when a person clicks into it,
// so focus moves (and entries are accepted) as they do on a screen.
void Activate(QWidget* w) {
  if (w->window()->isActiveWindow()) return;
  w->window()->activateWindow();
  EXPECT_TRUE(QTest::qWaitForWindowActive(w->window(), 2000));
}

void Type(QWidget* w, const char* use, const QString& text) {
  auto* target = w->findChild<QWidget*>(use);
  ASSERT_NE(target, nullptr) << use;
  Activate(w);
  target->setFocus(Qt::MouseFocusReason);
  // Letters beyond ASCII arrive as key events carrying their text, as a
  // keyboard layout or an input method delivers them.
  for (QChar ch : text) {
    if (ch == QChar('\n')) {
      QTest::keyClick(target, Qt::Key_Return);
      continue;
    }
    if (ch.unicode() < 0x80) {
      QTest::keyClick(target, static_cast<char>(ch.unicode()));
      continue;
    }
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(target, &release);
  }
}

void ClickButton(QWidget* w, const char* use) {
  auto* b = Child<QAbstractButton>(w, use);
  ASSERT_NE(b, nullptr) << use;
  Activate(w);
  QTest::mouseClick(b, Qt::LeftButton);
}

}  // namespace

// A record with only an e-mail address goes to that address, whether it is
// typed into a new record or a fax-only record is changed to e-mail only.
TEST_F(Windows, UpdateMVClientEmailOnlyRecordsGetTheirDestination) {
  auto& r = d.File("MVClients").Buffer();
  r.Clear();
  When("UpdateMVClient", [&](QWidget* w) {
    Type(w, "?MVC:ClientID", "Pat");
    Type(w, "?MVC:Email", "pat@example.com");
    ClickButton(w, "?OK");
  });
  EXPECT_EQ(UpdateMVClient(d, ini, 1), fw::RequestCompleted);
  long pat = static_cast<long>(r.GetLong("PK_MVClientID"));
  Fetch(pat);
  EXPECT_EQ(r.Clipped("PreferredDestination"), "pat@example.com");

  long id = Add("Lee", "Acme", "555", "", "555");
  Fetch(id);
  bool emailChosen = false;
  When("UpdateMVClient", [&](QWidget* w) {
    auto* fax = Child<QLineEdit>(w, "?MVC:FaxNum");
    Activate(w);
    fax->setFocus(Qt::MouseFocusReason);
    fax->selectAll();
    QTest::keyClick(fax, Qt::Key_Delete);
    Type(w, "?MVC:Email", "lee@example.com");
    QTest::keyClick(Child<QLineEdit>(w, "?MVC:Email"), Qt::Key_Tab);
    emailChosen = Child<QAbstractButton>(w, "?Option1:Radio2")->isChecked();
    ClickButton(w, "?OK");
  });
  EXPECT_EQ(UpdateMVClient(d, ini, 2), fw::RequestCompleted);
  EXPECT_TRUE(emailChosen);
  Fetch(id);
  EXPECT_EQ(r.Clipped("FaxNum"), "");
  EXPECT_EQ(r.Clipped("PreferredDestination"), "lee@example.com");
}

// What the entries and the address texts show is what is stored: input is
// limited in bytes as the fields hold them, never half a character.
TEST_F(Windows, UpdateMVClientLimitsInputInBytes) {
  auto& r = d.File("MVClients").Buffer();
  r.Clear();
  const QString e60(60, QChar(0xE9));  // "é" is two bytes
  QString company, postal;
  When("UpdateMVClient", [&](QWidget* w) {
    Type(w, "?MVC:Company", e60);
    company = Child<QLineEdit>(w, "?MVC:Company")->text();
    Child<QTabWidget>(w, "?Sheet1")->setCurrentIndex(1);
    QString address = "a" + QString(40, QChar(0xE9)) + "\n" + QString(300, QChar('p'));
    Type(w, "?MVC:PostalAddress", address);
    postal = Child<QPlainTextEdit>(w, "?MVC:PostalAddress")->toPlainText();
    ClickButton(w, "?OK");
  });
  EXPECT_EQ(UpdateMVClient(d, ini, 1), fw::RequestCompleted);
  EXPECT_EQ(company, QString(49, QChar(0xE9)));  // 98 of the 99 bytes
  // 1 + 80 + CR LF + 67 = 150 bytes.
  EXPECT_EQ(postal, "a" + QString(40, QChar(0xE9)) + "\n" + QString(67, QChar('p')));
  Fetch(static_cast<long>(r.GetLong("PK_MVClientID")));
  EXPECT_EQ(QString::fromStdString(r.Clipped("Company")), company);
  QString stored = QString::fromStdString(r.Clipped("PostalAddress"));
  EXPECT_EQ(stored, "a" + QString(40, QChar(0xE9)) + "\r\n" + QString(67, QChar('p')));
}

// OK without an attachment type chosen writes "RAW"; a stored type that is
// none of the four stays as it was.
TEST_F(Windows, UpdateMVClientAttachmentTypeWithoutAChoice) {
  long unknown = Add("Pat", "Acme", "555", "pat@x", "pat@x", "DOC");
  long none = Add("Lee", "Acme", "556", "lee@x", "lee@x", "");
  for (long id : {unknown, none}) {
    Fetch(id);
    std::string shown = "?";
    When("UpdateMVClient", [&](QWidget* w) {
      shown = Child<QComboBox>(w, "?List_attach")->currentText().toStdString();
      ClickButton(w, "?OK");
    });
    EXPECT_EQ(UpdateMVClient(d, ini, 2), fw::RequestCompleted);
    EXPECT_EQ(shown, "");
    Fetch(id);
    EXPECT_EQ(d.File("MVClients").Buffer().Clipped("FaxToEmailAttachmentType"), id == unknown ? "DOC" : "RAW");
  }
}

// A record with no name, no company and no destination is refused with a
// message; the form stays open for the user to fill it.
TEST_F(Windows, UpdateMVClientRefusesAnEmptyRecord) {
  d.File("MVClients").Buffer().Clear();
  bool stillOpen = false;
  When("UpdateMVClient", [&](QWidget* w) {
    ClickButton(w, "?OK");
    stillOpen = w->isVisible();
    ClickButton(w, "?Cancel");
  });
  EXPECT_EQ(UpdateMVClient(d, ini, 1), fw::RequestCancelled);
  EXPECT_TRUE(stillOpen);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Please enter a contact person, a company or a fax number or e-mail address.");
  auto clients = d.File("MVClients").Clone();
  ASSERT_EQ(clients->TryOpen(), 0);
  EXPECT_EQ(clients->Records(), 0);
}

// The related lists drive each other: a group picked on the left shows its
// members, a member picked shows its groups, and Remove takes the member
// picked in "Group Members", not a row of the hidden "All" list.
TEST_F(Windows, GroupClientSetupRelatedListsDriveAddAndRemove) {
  long ann = Add("Ann", "Zeta", "1", "", "1");
  long bob = Add("Bob", "Alpha", "2", "", "2");
  for (const char* name : {"Sales", "Staff"}) {
    auto& g = d.File("MVdefaults");
    g.Buffer().Clear();
    g.Buffer().Set("GroupID", name);
    ASSERT_EQ(g.TryInsert(), 0);
  }
  ASSERT_EQ(AddToGroup(d, "Sales", ann), "");
  ASSERT_EQ(AddToGroup(d, "Sales", bob), "");
  ASSERT_EQ(AddToGroup(d, "Staff", bob), "");
  std::vector<std::string> salesMembers, bobGroups, staffMembers, afterRemove;
  std::map<std::string, std::string> tips;
  When("GroupClientSetup", [&](QWidget* w) {
    for (const char* use : {"?List_relatedGroups", "?Browse_groups", "?List_relatedClients", "?Browse_clients"})
      tips[use] = Child<QWidget>(w, use)->toolTip().toStdString();
    auto* left = Child<QTabWidget>(w, "?Sheet_groups");
    auto* right = Child<QTabWidget>(w, "?Sheet_recipients");
    EXPECT_TRUE(ClickRow(w, "?Browse_groups", "Sales"));
    right->setCurrentIndex(0);
    salesMembers = Rows(w, "?List_relatedClients");
    EXPECT_TRUE(ClickRow(w, "?List_relatedClients", "Bob"));
    left->setCurrentIndex(0);
    bobGroups = Rows(w, "?List_relatedGroups");
    EXPECT_TRUE(ClickRow(w, "?List_relatedGroups", "Staff"));
    staffMembers = Rows(w, "?List_relatedClients");
    // Back to Sales, pick Bob among its members and remove him.
    EXPECT_TRUE(ClickRow(w, "?List_relatedGroups", "Sales"));
    EXPECT_TRUE(ClickRow(w, "?List_relatedClients", "Bob"));
    ClickButton(w, "?Button_removeFromGroup");
    afterRemove = Rows(w, "?List_relatedClients");
    ClickButton(w, "?Close");
  });
  GroupClientSetup(nullptr, d, ini);
  EXPECT_EQ(salesMembers, (std::vector<std::string>{"Ann", "Bob"}));
  EXPECT_EQ(bobGroups, (std::vector<std::string>{"Sales", "Staff"}));
  EXPECT_EQ(staffMembers, (std::vector<std::string>{"Bob"}));
  EXPECT_EQ(afterRemove, (std::vector<std::string>{"Ann"}));
  LoadClientGroups(d, ann);
  EXPECT_EQ(d.Queues().g_relatedGroupsQ.Records(), 1);
  LoadClientGroups(d, bob);
  EXPECT_EQ(d.Queues().g_relatedGroupsQ.Records(), 1);
  EXPECT_EQ(tips["?List_relatedGroups"], "Displays the groups that the select recipient on the right is a member of");
  EXPECT_EQ(tips["?Browse_groups"], "Displays all groups in the address book");
  EXPECT_EQ(tips["?List_relatedClients"], "Display the recipients of the selected group on the left");
  EXPECT_EQ(tips["?Browse_clients"], "Display all recipients in the address book");
  EXPECT_TRUE(services.messages.empty());
}

// The file entry is what the import reads: a path typed into it replaces
// the one the window opened with.
TEST_F(Windows, ImportOptionsTakeTheTypedFile) {
  std::ofstream(dir / "first.csv") << "a\r\n";
  std::ofstream(dir / "second.csv") << "b\r\n";
  ImportSession s;
  s.fileName = dir / "first.csv";
  bool stayedOpen = false;
  When("ImportTxtToKDF2option", [&](QWidget* w) {
    auto* entry = Child<QLineEdit>(w, "?g_MVClientsBFullPathName2");
    entry->setFocus();
    entry->selectAll();
    QTest::keyClicks(entry, QString::fromStdString(dir / "second.csv"));
    // Enter (the default button) with nothing mapped is refused and told;
    // the window stays for the mapping.
    QTest::keyClick(entry, Qt::Key_Return);
    stayedOpen = w->isVisible();
    auto* kdf = w->findChild<fw::ListControl*>("?List_kdf");
    auto* csv = w->findChild<fw::ListControl*>("?List_csv");
    ASSERT_NE(kdf, nullptr);
    ASSERT_NE(csv, nullptr);
    kdf->ClickRow(0, false);
    csv->ClickRow(0, false);
    Click(w, "?Button_Add");
    ClickButton(w, "?Close");
  });
  ImportTxtToKDF2option(nullptr, d, s);
  EXPECT_TRUE(stayedOpen);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text,
            "No column is mapped to an address field. Please map at least one column before you start the import.");
  EXPECT_TRUE(s.start);
  EXPECT_EQ(s.fileName, std::string(dir / "second.csv"));
  ASSERT_EQ(s.map.pairs.size(), 1u);
}

// A cover-page delete whose INI write fails (the cover-page file is named by
// a path longer than the key removal takes) is told, and the list on screen
// keeps the page the file still holds.
TEST_F(Windows, FailedDeletesAreToldAndChangeNothingOnScreen) {
  std::string deep = dir / std::string(150, 'd');
  std::filesystem::create_directories(deep);
  std::string global = deep + "/global.ini";
  std::ofstream(global) << "[AvailableCoverPages]\r\nPlain=plain\r\n";
  std::ofstream(dir / "client.ini") << "[Files]\r\nGlobalCoverPages=" << global << "\r\n";
  auto& q = d.Queues().g_QcoverPages;
  q.Free();
  q.Buffer().Clear();
  q.Buffer().Set("Name", "Plain");
  q.Add();
  std::vector<std::string> pagesAfter;
  When("CoverPageSetup", [&](QWidget* w) {
    EXPECT_TRUE(ClickRow(w, "?List1", "Plain"));
    ClickButton(w, "?Button_Delete");
    pagesAfter = Rows(w, "?List1");
    ClickButton(w, "?Close");
  });
  CoverPageSetup(nullptr, d, ini, "true");
  EXPECT_EQ(pagesAfter, (std::vector<std::string>{"Plain"}));
  EXPECT_EQ(q.Records(), 1);
  EXPECT_EQ(fw::IniFile(global).Fetch("AvailableCoverPages", "Plain"), "plain");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_NE(services.messages[0].text.find("could not be removed"), std::string::npos) << services.messages[0].text;

}
