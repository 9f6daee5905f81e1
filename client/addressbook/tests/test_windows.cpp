// The address-book windows on the offscreen platform: the form's radio and
// view-only rules, the browse, groups through the window, AutoText, cover
// pages and the import options; a screenshot of each.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <filesystem>
#include <fstream>

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
  EXPECT_TRUE(FindClient(nullptr, d, ini, start));
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
