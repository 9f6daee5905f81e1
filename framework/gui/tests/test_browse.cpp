// Browses and update forms over a real address book (a keyed data file in
// a temporary folder), written as the client's address-book windows are.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>

#include "client/records/records.h"
#include "framework/core/errors.h"
#include "framework/core/services.h"
#include "framework/gui/browse.h"
#include "framework/gui/qtservices.h"
#include "framework/gui/tests/support.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;
using mvn::client::Dictionary;

namespace {

// A book with records named as the rows expect.
class BookWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dict.SetAddressBookFiles(dir / "Personal", "KEYED"));
    ASSERT_EQ(clients().Open(), NoError);
    ASSERT_EQ(groups().Open(), NoError);
    installed = std::make_unique<ScopedServices>(&script);
  }
  void TearDown() override { dict.CloseAll(); }

  FileManager& clients() { return dict.File("MVClients"); }
  FileManager& groups() { return dict.File("MVGroupClient"); }

  int Add(const std::string& name, const std::string& company, const std::string& destination,
          const std::string& phone = "") {
    Record& r = clients().Buffer();
    r.Clear();
    r.Set("ClientID", name);
    r.Set("Company", company);
    r.Set("PreferredDestination", destination);
    r.Set("FaxNum", destination);
    r.Set("PhoneNum", phone);
    EXPECT_EQ(clients().TryInsert(), NoError) << name;
    return static_cast<int>(r.GetLong("PK_MVClientID"));
  }
  void AddMember(const std::string& group, int client) {
    Record& g = groups().Buffer();
    g.Clear();
    g.Set("GroupID", group);
    g.SetLong("FK_MVClientID", client);
    EXPECT_EQ(groups().TryInsert(), NoError);
  }
  int64_t Members() { return groups().Records(); }

  mvntest::TempDir dir;
  Dictionary dict;
  ScriptedServices script;
  std::unique_ptr<ScopedServices> installed;
};

// The address-book browse as the client builds it: columns, hidden columns,
// three sort orders and the buttons.
struct FindClient {
  std::unique_ptr<Window> window;
  Browse* browse = nullptr;
  int insert = 0, change = 0, remove = 0, select = 0, cancel = 0;

  FindClient(FileManager& clients, RelationManager& relation, std::string bookName) {
    window = std::make_unique<Window>("FindClient", "Browsing the Address Book ( " + bookName + " )",
                                      QRect(0, 0, 420, 210));
    browse = new Browse(*window, clients, "?Browse:1", QRect(5, 5, 410, 170),
                        {{"Attention", "MVC:ClientID", 80},
                         {"Company", "MVC:Company", 80},
                         {"Destination", "MVC:PreferredDestination", 81},
                         {"Phone Num", "MVC:PhoneNum", 146},
                         {"Fax To Email Attachment Type", "MVC:FaxToEmailAttachmentType", 0},
                         {"Sal", "MVC:Sal", 0},
                         {"First Name", "MVC:FirstName", 0},
                         {"Last Name", "MVC:LastName", 0}},
                        {{"Attention", "MVC:KeyClientID", ""},
                         {"Company", "MVC:KeyCompany", ""},
                         {"Destination", "MVC:KeyPreferredDestination", ""}});
    insert = window->AddButton("?Insert", "&Insert", QRect(5, 185, 45, 14));
    change = window->AddButton("?Change", "C&hange", QRect(55, 185, 45, 14));
    remove = window->AddButton("?Delete", "&Delete", QRect(105, 185, 45, 14));
    select = window->AddButton("?Select", "&Select", QRect(155, 185, 45, 14));
    cancel = window->AddButton("?Cancel", "&Cancel", QRect(365, 185, 45, 14));
    browse->SetButtons(insert, change, remove, select);
    browse->SetForm([&clients, &relation](FormMode mode) { return UpdateMVClient(clients, relation, mode); });
  }

  // The address form (reduced to the fields these tests need).
  static int UpdateMVClient(FileManager& clients, RelationManager& relation, FormMode mode) {
    UpdateForm form("UpdateMVClient", clients, &relation, QRect(0, 0, 260, 120));
    form.SetCaption(FormMode::Insert, "Adding an Address Record");
    form.SetCaption(FormMode::Change, "Changing an Address Record");
    Record& r = clients.Buffer();
    form.AddPrompt("?Prompt:Company", "C&ompany Name:", QRect(5, 5, 64, 10));
    int company = form.AddEntry("?MVC:Company", QRect(70, 5, 150, 11));
    form.AddPrompt("?Prompt:ClientID", "Contact &Person:", QRect(5, 20, 64, 10));
    int contact = form.AddEntry("?MVC:ClientID", QRect(70, 20, 150, 11));
    form.AddPrompt("?Prompt:FaxNum", "&Fax Number:", QRect(5, 35, 64, 10));
    int fax = form.AddEntry("?MVC:FaxNum", QRect(70, 35, 150, 11));
    int type = form.AddDropList("?List_type", QRect(70, 50, 80, 11), {"TIFF file", "MVN file", "PDF file", "Raw file"});
    form.Bind(company, &r, "Company");
    form.Bind(contact, &r, "ClientID");
    form.Bind(fax, &r, "FaxNum");
    (void)type;
    // On OK the preferred destination is the fax number.
    form.SetCheck([&r] {
      r.Set("PreferredDestination", r.Clipped("FaxNum"));
      return true;
    });
    return form.Ask(mode);
  }
};

QLineEdit* Entry(QWidget* window, const char* useName) { return window->findChild<QLineEdit*>(useName); }
QPushButton* Button(QWidget* window, const char* useName) { return window->findChild<QPushButton*>(useName); }

std::vector<std::string> Column0(const Browse& b) {
  std::vector<std::string> out;
  for (int r = 0; r < b.PageRows(); ++r) out.push_back(b.Cell(r, 0));
  return out;
}

TEST_F(BookWindows, OpensOnTheFirstPageInKeyOrderWithHiddenColumns) {
  for (const char* n : {"delta", "Alpha", "charlie", "Bravo", "echo", "Foxtrot", "golf"})
    Add(n, std::string("Co ") + n, std::string("555-") + n);
  FindClient find(clients(), dict.Relation("MVClients"), "Personal Address Book");
  find.browse->SetPageSize(4);
  find.window->Open();
  find.browse->Open();
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}))
      << "keys compare without letter case";
  EXPECT_EQ(find.browse->SelectedRow(), 0);
  EXPECT_EQ(find.window->Caption(), "Browsing the Address Book ( Personal Address Book )");
  BrowseView* view = find.browse->View();
  EXPECT_FALSE(view->isColumnHidden(3));
  for (int c = 4; c < 8; ++c) EXPECT_TRUE(view->isColumnHidden(c)) << c;
  EXPECT_EQ(view->model()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "Phone Num");

  // Moving through the table reads on from the cursor.
  for (int i = 0; i < 4; ++i) guitest::PressKey(view, Qt::Key_Down);
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Bravo", "charlie", "delta", "echo"}));
  EXPECT_EQ(find.browse->SelectedRow(), 3);
  find.browse->PageDown();
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"delta", "echo", "Foxtrot", "golf"}));
  find.browse->PageDown();
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"delta", "echo", "Foxtrot", "golf"}));
  find.browse->Top();
  EXPECT_EQ(find.browse->Cell(0, 0), "Alpha");
  find.browse->Bottom();
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"delta", "echo", "Foxtrot", "golf"}));
  EXPECT_EQ(find.browse->SelectedRow(), 3);
  find.browse->PageUp();
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}));
  guitest::PressKey(view, Qt::Key_Up);
  EXPECT_EQ(find.browse->Cell(0, 0), "Alpha");

  // The scroll bar: top, middle, bottom, and its steps move the page.
  QScrollBar* bar = find.browse->ScrollBar();
  EXPECT_EQ(bar->value(), 0);
  find.browse->SetSelectedRow(3);
  bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Bravo", "charlie", "delta", "echo"}));
  EXPECT_EQ(bar->value(), 500);
  bar->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_EQ(find.browse->Cell(3, 0), "golf");
  EXPECT_EQ(bar->value(), 1000);
  bar->triggerAction(QAbstractSlider::SliderPageStepSub);
  EXPECT_EQ(find.browse->Cell(0, 0), "Alpha");
  EXPECT_EQ(bar->value(), 0);
}

TEST_F(BookWindows, LocatorTabsAndPositionedOpening) {
  Add("Smith", "Zeta Ltd", "555-0001");
  Add("smithers", "Alpha Inc", "555-0002");
  Add("Jones", "Mid Co", "555-0003");
  Add("Adams", "Beta", "555-0004");
  Add("Young", "Gamma", "555-0005");
  FindClient find(clients(), dict.Relation("MVClients"), "Book");
  find.browse->SetPageSize(3);
  find.window->Open();
  find.browse->Open();

  auto* locator = Entry(find.window->Widget(), "?Locate");
  ASSERT_NE(locator, nullptr);
  guitest::TypeKeys(locator, "SMI");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Smith") << "the first record starting with it";
  locator->clear();
  guitest::TypeKeys(locator, "k");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Smith") << "none starts with k: the next one";
  // Typing in the list goes to the locator.
  locator->clear();
  guitest::TypeKeys(find.browse->View(), "jo");
  EXPECT_EQ(locator->text(), "jo");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Jones");
  // After the last record: the last page, on its last row.
  find.browse->Locate("zz");
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Smith", "smithers", "Young"}));
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Young");

  // A new tab orders by its key and keeps the highlighted record.
  find.browse->Locate("Jones");
  auto* tabs = qobject_cast<QTabWidget*>(find.window->ControlWidget(find.browse->SheetField()));
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->tabText(1), "Company");
  tabs->setCurrentIndex(1);
  EXPECT_EQ(find.browse->Order(), 1);
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Jones");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 1), "Mid Co");
  find.browse->Top();
  EXPECT_EQ(find.browse->Cell(0, 1), "Alpha Inc");
  find.browse->Locate("g");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 1), "Gamma") << "the locator searches the tab's field";

  // Opening on the caller's recipient, on the third tab.
  find.browse->SetOrder(2);
  find.browse->OpenPositioned({{"MVC:ClientID", "Adams"}, {"MVC:Company", "Beta"}, {"MVC:PreferredDestination", "555-0004"}});
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Adams");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 2), "555-0004");

  // Select puts the record into the buffer.
  clients().Buffer().Clear();
  ASSERT_TRUE(find.browse->TakeSelected());
  EXPECT_EQ(clients().Buffer().Clipped("ClientID"), "Adams");
  EXPECT_EQ(clients().Buffer().Clipped("Company"), "Beta");
}

TEST_F(BookWindows, InsertChangeDeleteThroughTheForm) {
  int smith = Add("Smith", "Zeta Ltd", "555-0001");
  Add("Jones", "Mid Co", "555-0003");
  AddMember("Sales", smith);
  AddMember("Staff", smith);
  FindClient find(clients(), dict.Relation("MVClients"), "Book");
  find.window->Open();
  find.browse->Open();
  ASSERT_TRUE(guitest::Screenshot(find.window->Widget(), "browse-findclient.png"));

  // Insert: a duplicate of Smith is refused with the framework's message and
  // the form stays open; the changed destination is accepted.
  std::string caption;
  bool stayedOpen = false;
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    caption = w->windowTitle().toStdString();
    Entry(w, "?MVC:Company")->setText("Zeta Ltd");
    Entry(w, "?MVC:ClientID")->setText("Smith");
    Entry(w, "?MVC:FaxNum")->setText("555-0001");
    guitest::Screenshot(w, "form-insert.png");
    Button(w, "?OK")->click();
    stayedOpen = w->isVisible();
    Entry(w, "?MVC:FaxNum")->setText("555-0009");
    Button(w, "?OK")->click();
  });
  EXPECT_EQ(find.browse->Ask(FormMode::Insert), RequestCompleted);
  EXPECT_EQ(caption, "Adding an Address Record");
  EXPECT_TRUE(stayedOpen);
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_NE(script.messages[0].text.find("could not be added"), std::string::npos) << script.messages[0].text;
  EXPECT_NE(script.messages[0].text.find("error 40"), std::string::npos) << script.messages[0].text;
  EXPECT_EQ(clients().Records(), 3);
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 2), "555-0009") << "the browse shows the new record";

  // Change: the form shows the record; the new company is written.
  find.browse->Locate("Jones");
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    caption = w->windowTitle().toStdString();
    EXPECT_EQ(Entry(w, "?MVC:Company")->text(), "Mid Co");
    Entry(w, "?MVC:Company")->setText("New Co");
    Button(w, "?OK")->click();
  });
  Button(find.window->Widget(), "?Change")->click();  // the browse's button starts the form
  EXPECT_EQ(caption, "Changing an Address Record");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 1), "New Co");
  clients().Buffer().Clear();
  clients().Buffer().Set("ClientID", "Jones");
  ASSERT_EQ(clients().TryFetch("MVC:KeyClientID"), NoError);
  EXPECT_EQ(clients().Buffer().Clipped("Company"), "New Co");

  // Cancel writes nothing.
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    Entry(w, "?MVC:Company")->setText("Not This");
    Button(w, "?Cancel")->click();
  });
  EXPECT_EQ(find.browse->Ask(FormMode::Change), RequestCancelled);
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 1), "New Co");

  // Delete: read-only fields, a question first; "No" keeps the record, "Yes"
  // deletes it with its memberships through the relation manager.
  find.browse->OpenPositioned({{"MVC:ClientID", "Smith"}, {"MVC:Company", "Zeta Ltd"},
                               {"MVC:PreferredDestination", "555-0001"}});
  ASSERT_EQ(find.browse->Cell(find.browse->SelectedRow(), 2), "555-0001");
  bool readOnly = false;
  std::string okText;
  script.AnswerMessage(ButtonNo);
  script.AnswerMessage(ButtonYes);
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    caption = w->windowTitle().toStdString();
    readOnly = Entry(w, "?MVC:Company")->isReadOnly();
    okText = Button(w, "?OK")->text().toStdString();
    Button(w, "?OK")->click();
    Button(w, "?OK")->click();
  });
  EXPECT_EQ(find.browse->Ask(FormMode::Delete), RequestCompleted);
  EXPECT_EQ(caption, "Deleting a Record");
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(okText, "&Delete");
  EXPECT_EQ(clients().Records(), 2);
  EXPECT_EQ(Members(), 0) << "the memberships went with the record";
  EXPECT_EQ(script.messages.back().text, "Are you sure you want to delete the highlighted record?");
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Jones", "Smith"}));
}

TEST_F(BookWindows, ViewOnlyFormOffersOnlyBack) {
  Add("Smith", "Zeta Ltd", "555-0001");
  FindClient find(clients(), dict.Relation("MVClients"), "Book");
  find.window->Open();
  find.browse->Open();
  bool okHidden = false, readOnly = false;
  std::string shown;
  // What the client's form does with EditAddressBooks = NO.
  find.browse->SetForm([this](FormMode) {
    UpdateForm form("UpdateMVClient", clients(), &dict.Relation("MVClients"));
    int company = form.AddEntry("?MVC:Company", QRect(5, 5, 150, 11));
    form.Bind(company, &clients().Buffer(), "Company");
    form.SetOpening([&form](FormMode) { form.SetText(form.CancelButton(), "&Back"); });
    return form.Ask(FormMode::View);
  });
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    okHidden = Button(w, "?OK")->isHidden();
    readOnly = Entry(w, "?MVC:Company")->isReadOnly();
    shown = Entry(w, "?MVC:Company")->text().toStdString();
    EXPECT_EQ(Button(w, "?Cancel")->text(), "&Back");
    EXPECT_EQ(w->windowTitle(), "Viewing a Record");
    Button(w, "?Cancel")->click();
  });
  EXPECT_EQ(find.browse->Ask(FormMode::Change), RequestCancelled);
  EXPECT_TRUE(okHidden);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(shown, "Zeta Ltd");
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(BookWindows, FormWritesThroughTheFileWithoutARelation) {
  // A group form (the groups table has no relation to its members here).
  FileManager& defaults = dict.File("MVdefaults");
  ASSERT_EQ(defaults.Open(), NoError);
  for (FormMode mode : {FormMode::Insert, FormMode::Change}) {
    UpdateForm form("UpdateGroups", defaults);
    form.SetCaption(FormMode::Insert, "Adding a New Group");
    form.SetCaption(FormMode::Change, "Changing a Group");
    int name = form.AddEntry("?MVD:GroupID", QRect(60, 5, 150, 11), 100);
    form.Bind(name, &defaults.Buffer(), "GroupID");
    std::string caption;
    guitest::When([] { return guitest::VisibleTopLevel("UpdateGroups"); }, [&](QWidget* w) {
      caption = w->windowTitle().toStdString();
      if (mode == FormMode::Change) {
        EXPECT_EQ(Entry(w, "?MVD:GroupID")->text(), "Sales");
      }
      Entry(w, "?MVD:GroupID")->setText(mode == FormMode::Insert ? "Sales" : "Sales East");
      Button(w, "?OK")->click();
    });
    EXPECT_EQ(form.Ask(mode), RequestCompleted);
    EXPECT_EQ(caption, mode == FormMode::Insert ? "Adding a New Group" : "Changing a Group");
  }
  defaults.Buffer().Clear();
  defaults.Buffer().Set("GroupID", "sales east");
  EXPECT_EQ(defaults.TryFetch("MVd:KeyGroupID"), NoError);
  EXPECT_EQ(defaults.Records(), 1);
}

}  // namespace

namespace {

TEST_F(BookWindows, FileErrorsWithoutTryShowTheFrameworkMessage) {
  InstallFileErrorMessages();
  clients().Buffer().Clear();
  clients().Buffer().Set("ClientID", "Nobody");
  EXPECT_EQ(clients().Fetch("MVC:KeyClientID"), RecordNotFoundError);
  FileManager::SetErrorReporter(nullptr);
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_EQ(script.messages[0].caption, "File Error");
  EXPECT_NE(script.messages[0].text.find("!MVClients|Error code: 35"), std::string::npos) << script.messages[0].text;
  EXPECT_EQ(clients().TryFetch("MVC:KeyClientID"), RecordNotFoundError);
  EXPECT_EQ(script.messages.size(), 1u) << "a Try call reports nothing";
}

}  // namespace

namespace {

// The worked example of docs/architecture.md, as written there.
int UpdateMVClient(mvn::client::Dictionary& dict, FormMode mode) {
  FileManager& clients = dict.File("MVClients");
  Record& r = clients.Buffer();
  UpdateForm form("UpdateMVClient", clients, &dict.Relation("MVClients"));
  form.SetCaption(FormMode::Insert, "Adding an Address Record");
  form.SetCaption(FormMode::Change, "Changing an Address Record");

  form.AddPrompt("?Prompt1", "C&ompany Name:", QRect(5, 5, 64, 10));
  int company = form.AddEntry("?MVC:Company", QRect(70, 5, 150, 11), 99);
  form.AddPrompt("?Prompt2", "&Fax Number:", QRect(5, 20, 64, 10));
  int fax = form.AddEntry("?MVC:FaxNum", QRect(70, 20, 150, 11), 49);
  form.AddPrompt("?Prompt3", "Email Address:", QRect(5, 35, 64, 10));
  int email = form.AddEntry("?MVC:Email", QRect(70, 35, 150, 11), 49);
  int option = form.AddOption("?Option", "Preferred Destination:", QRect(5, 50, 200, 24));
  form.AddRadio(option, "?Option:Radio1", "Use Fax", "1", QRect(10, 60, 60, 10));
  form.AddRadio(option, "?Option:Radio2", "Use Email", "2", QRect(80, 60, 60, 10));
  form.Bind(company, &r, "Company");
  form.Bind(fax, &r, "FaxNum");
  form.Bind(email, &r, "Email");

  auto destinations = [&] {
    form.Disable(option, form.Text(fax).empty() || form.Text(email).empty());
  };
  QObject::connect(&form, &Window::windowEvent, [&](int event, int field) {
    if (event == EventOpenWindow) destinations();
    if (event == EventAccepted && (field == fax || field == email)) destinations();
  });
  form.SetCheck([&] {
    r.Set("PreferredDestination", form.Text(option) == "1" ? r.Clipped("FaxNum") : r.Clipped("Email"));
    return true;
  });
  return form.Ask(mode);
}

TEST_F(BookWindows, TheWorkedExampleOfTheDocsWorks) {
  bool disabledAtFirst = false, enabledLater = false;
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    QWidget* option = w->findChild<QWidget*>("?Option");
    disabledAtFirst = !option->isEnabled();
    Entry(w, "?MVC:Company")->setText("Acme");
    auto* mail = Entry(w, "?MVC:Email");
    mail->setFocus();
    guitest::TypeKeys(mail, "a@b.c");
    guitest::PressKey(mail, Qt::Key_Return);
    Entry(w, "?MVC:FaxNum")->setFocus();
    guitest::TypeKeys(Entry(w, "?MVC:FaxNum"), "555");
    guitest::PressKey(Entry(w, "?MVC:FaxNum"), Qt::Key_Return);
    enabledLater = option->isEnabled();
    w->findChild<QAbstractButton*>("?Option:Radio2")->click();
    Button(w, "?OK")->click();
  });
  EXPECT_EQ(UpdateMVClient(dict, FormMode::Insert), RequestCompleted);
  EXPECT_TRUE(disabledAtFirst);
  EXPECT_TRUE(enabledLater);
  clients().Buffer().Clear();
  clients().Buffer().Set("Company", "acme");
  ASSERT_EQ(clients().TryFetch("MVC:KeyCompany"), NoError);
  EXPECT_EQ(clients().Buffer().Clipped("PreferredDestination"), "a@b.c");
}

}  // namespace
