// Names a person types or configures in the real dashpost program: cover
// pages and remote files, address books, groups. Each run is the whole
// program on a private machine (dashpost_harness.h), operated with keys and
// clicks and judged by what its windows and menus show and what it leaves
// in its files.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QAbstractButton>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>
#include <fstream>

#include "client/addressbook/groups.h"
#include "client/app/tests/dashpost_harness.h"
#include "client/records/records.h"
#include "framework/core/ini.h"
#include "framework/core/strings.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using namespace mvn::client;
using mvntest::dashpost::Driver;
using mvntest::dashpost::Machine;
using mvntest::dashpost::Outcome;

namespace {

// Types text into an entry of a window as a person does: a click into it,
// everything selected and typed over.
void TypeInto(QWidget* window, const char* useName, const std::string& text) {
  auto* edit = window->findChild<QLineEdit*>(useName);
  ASSERT_NE(edit, nullptr) << useName;
  QTest::mouseClick(edit, Qt::LeftButton);
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, QString::fromStdString(text));
}

// Answers the next message box with a click on button; its text in *text.
void AnswerMessage(QMessageBox::StandardButton button, std::string* text) {
  Driver::When("QMessageBox", [button, text](QWidget* top) {
    auto* box = qobject_cast<QMessageBox*>(top);
    ASSERT_NE(box, nullptr);
    *text = box->text().toStdString();
    QAbstractButton* b = box->button(button);
    ASSERT_NE(b, nullptr) << "the message box has not that button: " << *text;
    QTest::mouseClick(b, Qt::LeftButton);
  });
}

// The texts of a submenu of the menu bar, by the menu's and the submenu's
// texts ("Send &Options", "Cover Page"); separators left out.
std::vector<std::string> MenuTexts(Driver& d, const char* menu, const char* submenu) {
  std::vector<std::string> out;
  QMenuBar* bar = d.Main().Widget()->menuBar();
  for (QAction* top : bar->actions()) {
    if (top->text() != menu || !top->menu()) continue;
    QList<QAction*> actions = top->menu()->actions();
    if (submenu) {
      QList<QAction*> inner;
      for (QAction* a : actions)
        if (a->text() == submenu && a->menu()) inner = a->menu()->actions();
      actions = inner;
    }
    for (QAction* a : actions)
      if (!a->isSeparator() && a->isVisible()) out.push_back(a->text().toStdString());
  }
  return out;
}

std::vector<std::string> ListTexts(QWidget* list) {
  std::vector<std::string> out;
  auto* view = qobject_cast<QAbstractItemView*>(list);
  if (!view) return out;
  for (int r = 0; r < view->model()->rowCount(); ++r) out.push_back(view->model()->index(r, 0).data().toString().toStdString());
  return out;
}

void WriteFile(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

}  // namespace

// A cover page or a remote file named like a listed one in another letter
// case is that one (the INI files compare names without case): the
// overwrite question comes; No keeps the list as it was, Yes replaces the
// entry in its place under its own spelling; neither menu nor list ever
// holds the name twice.
TEST(DashpostNames, ACoverPageOrRemoteFileInAnotherCaseAsksBeforeItOverwrites) {
  Machine m;
  const fs::path covers = m.Dir() / "covers.ini", images = m.Dir() / "images.ini";
  WriteFile(covers, "[AvailableCoverPages]\nLogo=Company logo\nMemo=Plain memo\n[Logo]\nHeadFileName=/srv/logo.rtf\n");
  WriteFile(images, "[ImageFiles]\nMap=The site map\n");
  m.Set("Files", "GlobalCoverPages", covers.string());
  m.Set("Files", "ImageFiles", images.string());
  m.Set("Default", "ShowImageFilesTab", "YES");
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    auto create = [&](const char* item, const std::string& name, const std::string& value,
                      QMessageBox::StandardButton answer) {
      std::string question = "(no question)";
      Driver::When("GetNameValuesDialog", [&](QWidget* top) {
        TypeInto(top, "?g_NameValueDialog:Name", name);
        TypeInto(top, "?g_NameValueDialog:Value", value);
        AnswerMessage(answer, &question);
        Driver::Click(top, "?OK");
      });
      d.ChooseMenu({"&Setup", item});
      EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("GetNameValuesDialog"); }));
      return question;
    };
    const std::vector<std::string> before = MenuTexts(d, "Send &Options", "Cover Page");
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(create("Create a Cover Page", "LOGO", "Another logo", QMessageBox::No),
              "The cover page already exists.  Do you want to overwrite it?");
    EXPECT_EQ(MenuTexts(d, "Send &Options", "Cover Page"), before);
    EXPECT_EQ(create("Create a Cover Page", "memo", "Memo with lines", QMessageBox::Yes),
              "The cover page already exists.  Do you want to overwrite it?");
    EXPECT_EQ(MenuTexts(d, "Send &Options", "Cover Page"), before) << "one entry each, the listed spelling kept";

    EXPECT_EQ(ListTexts(d.Main().ControlWidget(MainRemoteFiles)), (std::vector<std::string>{"Map"}));
    EXPECT_EQ(create("Create a Remote File", "MAP", "A newer map", QMessageBox::Yes),
              "The remote file already exists.  Do you want to overwrite it?");
    EXPECT_EQ(ListTexts(d.Main().ControlWidget(MainRemoteFiles)), (std::vector<std::string>{"Map"}));
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
}

// A configured book whose name begins with "#" (no comment in the INI file)
// is listed and opened as the current book, and closing the client leaves
// Pathname on it.
TEST(DashpostNames, ABookNamedWithAHashIsListedAndStaysCurrent) {
  Machine m;
  const std::string current = (m.Dir() / "book").string();
  const std::string other = (m.Dir() / "aaa-archive").string();  // sorted first by path
  m.AddRecord("Ann Lee", "Alpha Co", "+1 555 0101");
  m.Set("Database", "NumCustomBooks", "2");
  m.Set("Database", "Custom Book 1", "#1 Customers");
  m.Set("Database", "#1 Customers", current);
  m.Set("Database", "Custom Book 2", "Archive");
  m.Set("Database", "Archive", other);
  mvntest::dashpost::RunOptions options;
  options.deadline = std::chrono::seconds(40);
  Outcome out = mvntest::dashpost::Run(
      m, {},
      [&](Driver& d) {
        std::vector<std::string> books = MenuTexts(d, "Address &Books", nullptr);
        ASSERT_GE(books.size(), 2u);
        EXPECT_EQ(books[0], "  Archive");
        EXPECT_EQ(books[1], "* #1 Customers");
        EXPECT_NE(d.Main().Widget()->windowTitle().toStdString().find("( #1 Customers )"), std::string::npos)
            << d.Main().Widget()->windowTitle().toStdString();
        d.ChooseMenu({"&File", "Exit"});
      },
      options);
  EXPECT_EQ(out.exitCode, 0) << out.output;
  EXPECT_FALSE(out.timedOut) << "a message at start held the program: " << out.output;
  EXPECT_EQ(m.Get("Database", "Pathname"), current);
  EXPECT_EQ(m.Get("Database", "Custom Book 1"), "#1 Customers");
  EXPECT_EQ(m.Get("Database", "#1 Customers"), current);
}

// The group window holds a new group name to what the CSV exchange keeps
// of it: one byte more is refused with the limit told, the form stays open
// with the name typed, and a name of the limit is saved whole.
TEST(DashpostNames, AGroupNameLongerThanTheExchangeKeepsIsRefusedWhereItIsTyped) {
  Machine m;
  const std::string longest(kGroupNameLimit, 'g');
  const std::string tooLong = "Regional sales offices of the north-western area";  // 48 bytes
  ASSERT_EQ(tooLong.size() + 2, kGroupNameLimit + 1);
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    std::string told = "(nothing told)", tip, stillTyped;
    bool stayed = false;
    Driver::When("GroupClientSetup", [&](QWidget* groups) {
      Driver::When("UpdateGroups", [&](QWidget* form) {
        auto* entry = form->findChild<QLineEdit*>("?MVD:GroupID");
        ASSERT_NE(entry, nullptr);
        tip = entry->toolTip().toStdString();
        TypeInto(form, "?MVD:GroupID", tooLong + "s1");
        AnswerMessage(QMessageBox::Ok, &told);
        QTest::keyClick(entry, Qt::Key_Return);
        ASSERT_TRUE(Driver::WaitUntil([&] { return told != "(nothing told)"; }));
        QApplication::processEvents();
        stayed = form->isVisible();
        stillTyped = entry->text().toStdString();
        TypeInto(form, "?MVD:GroupID", longest);
        QTest::keyClick(entry, Qt::Key_Return);
      });
      Driver::Click(groups, "?Button_addGroup");
      EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("UpdateGroups"); }));
      Driver::Click(groups, "?Close");
    });
    d.ChooseMenu({"Address &Books", "&Group Setup"});
    EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("GroupClientSetup"); }, std::chrono::seconds(30)));
    EXPECT_EQ(told, "A group name can be at most 49 bytes long (a letter outside A to Z can take two or more).");
    EXPECT_EQ(tip, told) << "the limit is told at the entry too";
    EXPECT_TRUE(stayed);
    EXPECT_EQ(stillTyped, tooLong + "s1");
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  // What the book holds: the name of the limit, whole; nothing longer.
  Dictionary& dict = InitDictionary();
  std::string why;
  ASSERT_TRUE(dict.SetAddressBookFiles((m.Dir() / "book").string(), "KEYED", &why)) << why;
  ASSERT_EQ(dict.OpenAddressBook(), 0);
  auto& groups = dict.File("MVdefaults");
  EXPECT_EQ(groups.Records(), 1);
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", longest);
  EXPECT_EQ(groups.TryFetch("MVd:KeyGroupID"), 0);
  EXPECT_EQ(fw::Clip(groups.Buffer().Get("GroupID")), longest);
  KillDictionary();
}
