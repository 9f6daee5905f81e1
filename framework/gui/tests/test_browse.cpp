// Browses and update forms over a real keyed data file in a temporary
// folder: a small book of people, their group memberships and groups,
// declared here with the framework alone.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>

#include <memory>

#include "framework/core/errors.h"
#include "framework/core/filemanager.h"
#include "framework/core/relation.h"
#include "framework/core/services.h"
#include "framework/gui/browse.h"
#include "framework/gui/qtservices.h"
#include "framework/gui/tests/support.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

// Three tables of one keyed data file: people (numbered), their group
// memberships (deleted with the person through the relation) and groups.
struct Book {
  explicit Book(const std::string& path)
      : people(Driver::Keyed,
               MakeLayout("PPL", {LongField("ID"), CStringField("Contact", 100), CStringField("Company", 100),
                                  CStringField("Fax", 50), CStringField("Email", 50), StringField("Destination", 50),
                                  StringField("AttachmentType", 4), StringField("Sal", 20),
                                  StringField("FirstName", 20), StringField("LastName", 20),
                                  CStringField("Phone", 50)}),
               path + "/!People"),
        members(Driver::Keyed, MakeLayout("MEM", {StringField("GroupID", 100), LongField("FK_ID")}),
                path + "/!Members"),
        groups(Driver::Keyed, MakeLayout("GRP", {StringField("GroupID", 100)}), path + "/!Groups"),
        peopleRelation(people),
        membersRelation(members) {
    for (FileManager* f : {&people, &members, &groups}) f->SetCreate(true);
    people.AddKey({"PPL:KeyID", {"ID"}, true, true, true});
    people.AddKey({"PPL:KeyUnique", {"Contact", "Company", "Destination"}, true});
    people.AddKey({"PPL:KeyContact", {"Contact"}});
    people.AddKey({"PPL:KeyCompany", {"Company"}});
    people.AddKey({"PPL:KeyDestination", {"Destination"}});
    members.AddKey({"MEM:KeyUnique", {"GroupID", "FK_ID"}, true});
    members.AddKey({"MEM:KeyGroupID", {"GroupID"}});
    members.AddKey({"MEM:KeyFK_ID", {"FK_ID"}});
    groups.AddKey({"GRP:KeyGroupID", {"GroupID"}, true, true});
    peopleRelation.AddRelation(membersRelation, "MEM:KeyFK_ID", {{"PPL:ID", "MEM:FK_ID"}});
  }
  ~Book() {
    for (FileManager* f : {&groups, &members, &people}) f->Close();
  }
  FileManager people, members, groups;
  RelationManager peopleRelation, membersRelation;
};

class BookWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(clients().Open(), NoError);
    ASSERT_EQ(groups().Open(), NoError);
    installed = std::make_unique<ScopedServices>(&script);
  }

  FileManager& clients() { return book.people; }
  FileManager& groups() { return book.members; }
  RelationManager& relation() { return book.peopleRelation; }

  int Add(const std::string& name, const std::string& company, const std::string& destination,
          const std::string& phone = "") {
    Record& r = clients().Buffer();
    r.Clear();
    r.Set("Contact", name);
    r.Set("Company", company);
    r.Set("Destination", destination);
    r.Set("Fax", destination);
    r.Set("Phone", phone);
    EXPECT_EQ(clients().TryInsert(), NoError) << name;
    return static_cast<int>(r.GetLong("ID"));
  }
  void AddMember(const std::string& group, int client) {
    Record& g = groups().Buffer();
    g.Clear();
    g.Set("GroupID", group);
    g.SetLong("FK_ID", client);
    EXPECT_EQ(groups().TryInsert(), NoError);
  }
  int64_t Members() { return groups().Records(); }

  mvntest::TempDir dir;
  Book book{dir / "Personal"};
  ScriptedServices script;
  std::unique_ptr<ScopedServices> installed;
};

// A browse over the people: columns, hidden columns, three sort orders and
// the buttons.
struct FindPerson {
  std::unique_ptr<Window> window;
  Browse* browse = nullptr;
  int insert = 0, change = 0, remove = 0, select = 0, cancel = 0;

  FindPerson(FileManager& clients, RelationManager& relation, std::string bookName) {
    window = std::make_unique<Window>("FindPerson", "Browsing the Book ( " + bookName + " )",
                                      QRect(0, 0, 420, 210));
    browse = new Browse(*window, clients, "?Browse:1", QRect(5, 5, 410, 170),
                        {{"Attention", "PPL:Contact", 80},
                         {"Company", "PPL:Company", 80},
                         {"Destination", "PPL:Destination", 81},
                         {"Phone Num", "PPL:Phone", 146},
                         {"Attachment Type", "PPL:AttachmentType", 0},
                         {"Sal", "PPL:Sal", 0},
                         {"First Name", "PPL:FirstName", 0},
                         {"Last Name", "PPL:LastName", 0}},
                        {{"Attention", "PPL:KeyContact", ""},
                         {"Company", "PPL:KeyCompany", ""},
                         {"Destination", "PPL:KeyDestination", ""}});
    insert = window->AddButton("?Insert", "&Insert", QRect(5, 185, 45, 14));
    change = window->AddButton("?Change", "C&hange", QRect(55, 185, 45, 14));
    remove = window->AddButton("?Delete", "&Delete", QRect(105, 185, 45, 14));
    select = window->AddButton("?Select", "&Select", QRect(155, 185, 45, 14));
    cancel = window->AddButton("?Cancel", "&Cancel", QRect(365, 185, 45, 14));
    browse->SetButtons(insert, change, remove, select);
    browse->SetForm([&clients, &relation](FormMode mode) { return UpdatePerson(clients, relation, mode); });
  }

  // The form of one person.
  static int UpdatePerson(FileManager& clients, RelationManager& relation, FormMode mode) {
    UpdateForm form("UpdatePerson", clients, &relation, QRect(0, 0, 260, 120));
    form.SetCaption(FormMode::Insert, "Adding a Person");
    form.SetCaption(FormMode::Change, "Changing a Person");
    Record& r = clients.Buffer();
    form.AddPrompt("?Prompt:Company", "C&ompany Name:", QRect(5, 5, 64, 10));
    int company = form.AddEntry("?PPL:Company", QRect(70, 5, 150, 11));
    form.AddPrompt("?Prompt:Contact", "Contact &Person:", QRect(5, 20, 64, 10));
    int contact = form.AddEntry("?PPL:Contact", QRect(70, 20, 150, 11));
    form.AddPrompt("?Prompt:Fax", "&Fax Number:", QRect(5, 35, 64, 10));
    int fax = form.AddEntry("?PPL:Fax", QRect(70, 35, 150, 11));
    int type = form.AddDropList("?List_type", QRect(70, 50, 80, 11), {"TIFF file", "MVN file", "PDF file", "Raw file"});
    form.Bind(company, &r, "Company");
    form.Bind(contact, &r, "Contact");
    form.Bind(fax, &r, "Fax");
    (void)type;
    // On OK the preferred destination is the fax number.
    form.SetCheck([&r] {
      r.Set("Destination", r.Clipped("Fax"));
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
  FindPerson find(clients(), relation(), "Personal Address Book");
  find.browse->SetPageSize(4);
  find.window->Open();
  find.browse->Open();
  EXPECT_EQ(Column0(*find.browse), (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}))
      << "keys compare without letter case";
  EXPECT_EQ(find.browse->SelectedRow(), 0);
  EXPECT_EQ(find.window->Caption(), "Browsing the Book ( Personal Address Book )");
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
  FindPerson find(clients(), relation(), "Book");
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
  find.browse->OpenPositioned({{"PPL:Contact", "Adams"}, {"PPL:Company", "Beta"}, {"PPL:Destination", "555-0004"}});
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 0), "Adams");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 2), "555-0004");

  // Select puts the record into the buffer.
  clients().Buffer().Clear();
  ASSERT_TRUE(find.browse->TakeSelected());
  EXPECT_EQ(clients().Buffer().Clipped("Contact"), "Adams");
  EXPECT_EQ(clients().Buffer().Clipped("Company"), "Beta");
}

TEST_F(BookWindows, InsertChangeDeleteThroughTheForm) {
  int smith = Add("Smith", "Zeta Ltd", "555-0001");
  Add("Jones", "Mid Co", "555-0003");
  AddMember("Sales", smith);
  AddMember("Staff", smith);
  FindPerson find(clients(), relation(), "Book");
  find.window->Open();
  find.browse->Open();
  ASSERT_TRUE(guitest::Screenshot(find.window->Widget(), "browse-findclient.png"));

  // Insert: a duplicate of Smith is refused with the framework's message and
  // the form stays open; the changed destination is accepted.
  std::string caption;
  bool stayedOpen = false;
  guitest::When([] { return guitest::VisibleTopLevel("UpdatePerson"); }, [&](QWidget* w) {
    caption = w->windowTitle().toStdString();
    Entry(w, "?PPL:Company")->setText("Zeta Ltd");
    Entry(w, "?PPL:Contact")->setText("Smith");
    Entry(w, "?PPL:Fax")->setText("555-0001");
    guitest::Screenshot(w, "form-insert.png");
    Button(w, "?OK")->click();
    stayedOpen = w->isVisible();
    Entry(w, "?PPL:Fax")->setText("555-0009");
    Button(w, "?OK")->click();
  });
  EXPECT_EQ(find.browse->Ask(FormMode::Insert), RequestCompleted);
  EXPECT_EQ(caption, "Adding a Person");
  EXPECT_TRUE(stayedOpen);
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_NE(script.messages[0].text.find("could not be added"), std::string::npos) << script.messages[0].text;
  EXPECT_NE(script.messages[0].text.find("error 40"), std::string::npos) << script.messages[0].text;
  EXPECT_EQ(clients().Records(), 3);
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 2), "555-0009") << "the browse shows the new record";

  // Change: the form shows the record; the new company is written.
  find.browse->Locate("Jones");
  guitest::When([] { return guitest::VisibleTopLevel("UpdatePerson"); }, [&](QWidget* w) {
    caption = w->windowTitle().toStdString();
    EXPECT_EQ(Entry(w, "?PPL:Company")->text(), "Mid Co");
    Entry(w, "?PPL:Company")->setText("New Co");
    Button(w, "?OK")->click();
  });
  Button(find.window->Widget(), "?Change")->click();  // the browse's button starts the form
  EXPECT_EQ(caption, "Changing a Person");
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 1), "New Co");
  clients().Buffer().Clear();
  clients().Buffer().Set("Contact", "Jones");
  ASSERT_EQ(clients().TryFetch("PPL:KeyContact"), NoError);
  EXPECT_EQ(clients().Buffer().Clipped("Company"), "New Co");

  // Cancel writes nothing.
  guitest::When([] { return guitest::VisibleTopLevel("UpdatePerson"); }, [&](QWidget* w) {
    Entry(w, "?PPL:Company")->setText("Not This");
    Button(w, "?Cancel")->click();
  });
  EXPECT_EQ(find.browse->Ask(FormMode::Change), RequestCancelled);
  EXPECT_EQ(find.browse->Cell(find.browse->SelectedRow(), 1), "New Co");

  // Delete: read-only fields, a question first; "No" keeps the record, "Yes"
  // deletes it with its memberships through the relation manager.
  find.browse->OpenPositioned({{"PPL:Contact", "Smith"}, {"PPL:Company", "Zeta Ltd"},
                               {"PPL:Destination", "555-0001"}});
  ASSERT_EQ(find.browse->Cell(find.browse->SelectedRow(), 2), "555-0001");
  bool readOnly = false;
  std::string okText;
  script.AnswerMessage(ButtonNo);
  script.AnswerMessage(ButtonYes);
  guitest::When([] { return guitest::VisibleTopLevel("UpdatePerson"); }, [&](QWidget* w) {
    caption = w->windowTitle().toStdString();
    readOnly = Entry(w, "?PPL:Company")->isReadOnly();
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
  FindPerson find(clients(), relation(), "Book");
  find.window->Open();
  find.browse->Open();
  bool okHidden = false, readOnly = false;
  std::string shown;
  // What the client's form does with EditAddressBooks = NO.
  find.browse->SetForm([this](FormMode) {
    UpdateForm form("UpdatePerson", clients(), &relation());
    int company = form.AddEntry("?PPL:Company", QRect(5, 5, 150, 11));
    form.Bind(company, &clients().Buffer(), "Company");
    form.SetOpening([&form](FormMode) { form.SetText(form.CancelButton(), "&Back"); });
    return form.Ask(FormMode::View);
  });
  guitest::When([] { return guitest::VisibleTopLevel("UpdatePerson"); }, [&](QWidget* w) {
    okHidden = Button(w, "?OK")->isHidden();
    readOnly = Entry(w, "?PPL:Company")->isReadOnly();
    shown = Entry(w, "?PPL:Company")->text().toStdString();
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
  FileManager& defaults = book.groups;
  ASSERT_EQ(defaults.Open(), NoError);
  for (FormMode mode : {FormMode::Insert, FormMode::Change}) {
    UpdateForm form("UpdateGroups", defaults);
    form.SetCaption(FormMode::Insert, "Adding a New Group");
    form.SetCaption(FormMode::Change, "Changing a Group");
    int name = form.AddEntry("?GRP:GroupID", QRect(60, 5, 150, 11), 100);
    form.Bind(name, &defaults.Buffer(), "GroupID");
    std::string caption;
    guitest::When([] { return guitest::VisibleTopLevel("UpdateGroups"); }, [&](QWidget* w) {
      caption = w->windowTitle().toStdString();
      if (mode == FormMode::Change) {
        EXPECT_EQ(Entry(w, "?GRP:GroupID")->text(), "Sales");
      }
      Entry(w, "?GRP:GroupID")->setText(mode == FormMode::Insert ? "Sales" : "Sales East");
      Button(w, "?OK")->click();
    });
    EXPECT_EQ(form.Ask(mode), RequestCompleted);
    EXPECT_EQ(caption, mode == FormMode::Insert ? "Adding a New Group" : "Changing a Group");
  }
  defaults.Buffer().Clear();
  defaults.Buffer().Set("GroupID", "sales east");
  EXPECT_EQ(defaults.TryFetch("GRP:KeyGroupID"), NoError);
  EXPECT_EQ(defaults.Records(), 1);
}

}  // namespace

namespace {

TEST_F(BookWindows, FileErrorsWithoutTryShowTheFrameworkMessage) {
  InstallFileErrorMessages();
  clients().Buffer().Clear();
  clients().Buffer().Set("Contact", "Nobody");
  EXPECT_EQ(clients().Fetch("PPL:KeyContact"), RecordNotFoundError);
  FileManager::SetErrorReporter(nullptr);
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_EQ(script.messages[0].caption, "File Error");
  EXPECT_NE(script.messages[0].text.find("!People|Error code: 35"), std::string::npos) << script.messages[0].text;
  EXPECT_EQ(clients().TryFetch("PPL:KeyContact"), RecordNotFoundError);
  EXPECT_EQ(script.messages.size(), 1u) << "a Try call reports nothing";
}

}  // namespace
