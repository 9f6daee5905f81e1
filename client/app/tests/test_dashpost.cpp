// The real dashpost program, as a person uses it: started on a private
// machine (dashpost_harness.h), operated with keys and clicks, judged by
// what its windows show, what the delivery command received and how the
// process ended.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QTabBar>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <thread>
#include <fstream>
#include <map>

#include "client/app/tests/dashpost_harness.h"
#include "framework/core/filemanager.h"
#include "framework/core/strings.h"
#include "helptips/procedures.h"
#include "helptips/tipfile.h"
#include "tests/support/process.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using namespace mvn::client;
using mvntest::dashpost::Driver;
using mvntest::dashpost::Machine;
using mvntest::dashpost::Outcome;

namespace {

// The row highlighted in the browse's list and the shown tab's text.
std::string HighlightedAttention(QWidget* browse) {
  auto* view = browse->findChild<QAbstractItemView*>();
  if (!view) return "<no list>";
  QModelIndex i = view->currentIndex();
  return i.isValid() ? view->model()->index(i.row(), 0).data().toString().toStdString() : "<none>";
}
int RowOf(QWidget* browse, const std::string& attention) {
  auto* view = browse->findChild<QAbstractItemView*>();
  if (!view) return -1;
  for (int r = 0; r < view->model()->rowCount(); ++r)
    if (view->model()->index(r, 0).data().toString().toStdString() == attention) return r;
  return -1;
}
std::string ShownTab(QWidget* browse) {
  auto* tabs = browse->findChild<QTabWidget*>();
  return tabs ? tabs->tabText(tabs->currentIndex()).toStdString() : "<no tabs>";
}

std::string Lines(const std::string& request, const std::vector<std::string>& prefixes) {
  std::string out;
  size_t at = 0;
  while (at < request.size()) {
    size_t end = request.find('\n', at);
    if (end == std::string::npos) end = request.size();
    std::string line = fw::Clip(request.substr(at, end - at));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = fw::Clip(line);
    for (const std::string& p : prefixes)
      if (line.rfind(p, 0) == 0) out += line + "\n";
    at = end + 1;
  }
  return out;
}

}  // namespace

// Each of the three buttons opens the browse on its own tab, titled with
// the book, positioned on the current recipient; Select (or a double
// click) fills the three fields and the record's hidden parts, and Send
// Fax becomes possible; the request carries the record's name parts.
TEST(Dashpost, ThePickedRecipientFillsTheSendWindow) {
  struct Case {
    int button;
    const char* tab;
    bool doubleClick;
  } cases[] = {{MainFindAttention, "Attention", false},
               {MainFindCompany, "Company", true},
               {MainFindDestination, "Destination", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tab);
    Machine m;
    m.AddRecord("Ann Lee", "Alpha Co", "+1 555 0101");
    m.AddRecord("Dr Bob Jones", "Beta Ltd", "+1 555 0102", {{"Sal", "Dr"}, {"FirstName", "Robert"}, {"LastName", "Jones"}});
    m.AddRecord("Cy Wu", "Gamma plc", "cy@example.test");
    Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
      EXPECT_FALSE(d.Main().ControlWidget(MainSend)->isEnabled());
      // The first pick: a click on the row, then Select or a double click.
      std::string title, tab;
      Driver::When("FindClient", [&](QWidget* browse) {
        title = browse->windowTitle().toStdString();
        tab = ShownTab(browse);
        int row = RowOf(browse, "Dr Bob Jones");
        ASSERT_GE(row, 0);
        if (c.doubleClick) {
          Driver::DoubleClickRow(browse, row);
        } else {
          Driver::ClickRow(browse, row);
          Driver::Click(browse, "?Select");
        }
      });
      d.Click(c.button);
      EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("FindClient"); }));
      EXPECT_EQ(title, "Browsing the Address Book ( Personal Address Book )");
      EXPECT_EQ(tab, c.tab);
      EXPECT_EQ(d.Text(MainTo), "Dr Bob Jones");
      EXPECT_EQ(d.Text(MainCompany), "Beta Ltd");
      EXPECT_EQ(d.Text(MainDestination), "+1 555 0102");
      // Opened again, the browse stands on the current recipient.
      std::string highlighted;
      Driver::When("FindClient", [&](QWidget* browse) {
        highlighted = HighlightedAttention(browse);
        Driver::Click(browse, "?Cancel");
      });
      d.Click(c.button);
      EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("FindClient"); }));
      EXPECT_EQ(highlighted, "Dr Bob Jones");
      // A cover message makes the fax whole: Send Fax is enabled.
      d.Click(MainIncludeCover);
      QWidget* message = d.Main().ControlWidget(MainMessage);
      message->setFocus();
      QTest::keyClicks(message, "Hello");
      EXPECT_TRUE(d.Main().ControlWidget(MainSend)->isEnabled());
      d.Click(MainSend);
      EXPECT_TRUE(Driver::WaitUntil([&] { return m.Requests().size() == 1; }));
      d.ChooseMenu({"&File", "Exit"});
    });
    EXPECT_EQ(out.exitCode, 0) << out.output;
    ASSERT_EQ(m.Requests().size(), 1u) << out.output;
    EXPECT_EQ(Lines(m.Requests()[0], {"Destination:", "To:", "Title:", "First:", "Last:", "Company:"}),
              "Destination:+1 555 0102\nTo:Dr Bob Jones\nTitle:Dr\nFirst:Robert\nLast:Jones\nCompany:Beta Ltd\n");
  }
}

// Cancel in the browse changes nothing: what was typed stays.
TEST(Dashpost, ACancelledPickKeepsTheTypedRecipient) {
  Machine m;
  m.AddRecord("Ann Lee", "Alpha Co", "+1 555 0101");
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    d.Type(MainDestination, "+44 1");
    Driver::When("FindClient", [](QWidget* browse) { Driver::Click(browse, "?Cancel"); });
    d.Click(MainFindDestination);
    EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("FindClient"); }));
    EXPECT_EQ(d.Text(MainDestination), "+44 1");
    EXPECT_EQ(d.Text(MainTo), "");
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
}

// F1 on a control opens the tip window with the whole request: the
// caption of the set-up, the editor (edit flag 0), and the main window
// as the window that asked, which hears of the new tip saved there.
TEST(Dashpost, TheTipWindowGetsTheWholeRequest) {
  Machine m;
  fs::path tips = m.Dir() / "tips.kdf";
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    int changed = 0;
    QObject::connect(&d.Main(), &fw::Window::windowEvent, &d.Main(), [&changed](int event, int) {
      if (event == mvn::helptips::kTipChangedEvent) ++changed;
    });
    QWidget* to = d.Main().ControlWidget(MainTo);
    to->setFocus();
    QTest::keyClick(to, Qt::Key_F1);
    ASSERT_TRUE(Driver::WaitUntil([] { return Driver::TopWindow("TipWindow") != nullptr; })) << "no tip window";
    QWidget* tip = Driver::TopWindow("TipWindow");
    EXPECT_EQ(tip->windowTitle().toStdString(), "A Tip ...");
    // The editor is offered: Alt+E edits the new tip.
    QTest::keyClick(tip, Qt::Key_E, Qt::AltModifier);
    auto* text = tip->findChild<QPlainTextEdit*>();
    ASSERT_NE(text, nullptr) << "no editor";
    ASSERT_TRUE(Driver::WaitUntil([text] { return text->isVisible(); }));
    EXPECT_EQ(tip->windowTitle().toStdString(), "Edit Help Tip...");
    QList<QLineEdit*> keys = tip->findChildren<QLineEdit*>();
    ASSERT_GE(keys.size(), 3);
    EXPECT_EQ(keys[0]->text().toStdString(), "Main");
    text->setFocus();
    // In place of the new tip's text: the whole text selected, then typed over.
    QTest::keyClick(text, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(text, Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClicks(text, "Who the fax is for.");
    QPushButton* save = nullptr;
    for (QPushButton* b : tip->findChildren<QPushButton*>())
      if (b->text() == "&Save") save = b;
    ASSERT_NE(save, nullptr);
    QTest::mouseClick(save, Qt::LeftButton);
    EXPECT_TRUE(Driver::WaitUntil([&changed] { return changed > 0; })) << "the main window heard nothing";
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  // The saved tip keeps its width (the variable width of the set-up).
  auto hwt = mvn::helptips::MakeTipFile(tips.string());
  ASSERT_EQ(hwt->Open(), 0);
  ASSERT_EQ(hwt->Set(), 0);
  bool found = false;
  while (hwt->Next() == 0) {
    if (hwt->Buffer().Clipped("ProcedureName") != "Main") continue;
    found = true;
    EXPECT_EQ(fw::Clip(hwt->Buffer().Get("HelpTip")), "Who the fax is for.");
    std::string other = hwt->Buffer().Get("Other");
    EXPECT_GT(mvn::helptips::TipWidth(&other), 0);
  }
  EXPECT_TRUE(found);
  hwt->Close();
}

int VisibleTipWindows() {
  int n = 0;
  for (QWidget* top : QApplication::topLevelWidgets())
    if (top->isVisible() && top->objectName() == "TipWindow") ++n;
  return n;
}

void PressF1(QWidget* control) {
  control->window()->activateWindow();
  control->setFocus();
  QTest::keyClick(control, Qt::Key_F1);
}

// Help a person can find: F1 gives one tip window, raised beside the
// control; a second F1 replaces it; Escape closes it, and so does a click
// into the window that asked. A dialog's Help button asks for its tip.
TEST(Dashpost, OneTipWindowBesideTheControlThatEscapeOrAClickCloses) {
  Machine m;
  m.AddRecord("Ann Lee", "Alpha Co", "+1 555 0101");
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    QWidget* to = d.Main().ControlWidget(MainTo);
    QWidget* reference = d.Main().ControlWidget(MainReference);
    PressF1(to);
    ASSERT_TRUE(Driver::WaitUntil([] { return VisibleTipWindows() == 1; })) << "no tip window";
    PressF1(reference);
    // Once a tip window stands beside the reference field, the second
    // request has been served: then there is one tip window, not two.
    QRect control(reference->mapToGlobal(QPoint(0, 0)), reference->size());
    auto besideReference = [&control] {
      QWidget* tip = Driver::TopWindow("TipWindow");
      return tip && !tip->frameGeometry().intersects(control) && std::abs(tip->frameGeometry().y() - control.y()) <= 40;
    };
    EXPECT_TRUE(Driver::WaitUntil(besideReference)) << "no tip window beside the reference field";
    EXPECT_EQ(VisibleTipWindows(), 1) << "a second tip window";
    QWidget* tip = Driver::TopWindow("TipWindow");
    ASSERT_NE(tip, nullptr);
    // Beside the reference field, not over it.
    QRect frame = tip->frameGeometry();
    EXPECT_FALSE(frame.intersects(control)) << "tip at " << frame.x() << "," << frame.y() << " control at "
                                            << control.x() << "," << control.y();
    EXPECT_LE(std::abs(frame.y() - control.y()), 40);
    tip->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(tip, 2000));
    QTest::keyClick(tip, Qt::Key_Escape);
    EXPECT_TRUE(Driver::WaitUntil([] { return VisibleTipWindows() == 0; })) << "Escape left the tip open";
    PressF1(to);
    ASSERT_TRUE(Driver::WaitUntil([] { return VisibleTipWindows() == 1; }));
    QTest::mouseClick(d.Main().ControlWidget(MainCompany), Qt::LeftButton);
    EXPECT_TRUE(Driver::WaitUntil([] { return VisibleTipWindows() == 0; })) << "a click elsewhere left the tip open";
    // The browse's Help button.
    bool asked = false;
    Driver::When("FindClient", [&](QWidget* browse) {
      Driver::Click(browse, "?Help");
      asked = Driver::WaitUntil([] { return VisibleTipWindows() == 1; });
      Driver::Click(browse, "?Cancel");
    });
    d.Click(MainFindAttention);
    EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("FindClient"); }));
    EXPECT_TRUE(asked) << "the Help button opened no tip";
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
}

// A right click as a person makes it: pressed on the window at the
// control, so the window system's route makes the context menu.
void RightClick(QWidget* control) {
  QWidget* top = control->window();
  top->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(top, 5000));
  QTest::mouseClick(top->windowHandle(), Qt::RightButton, {}, control->mapTo(top, control->rect().center()));
}

// The items of a shown menu as a person reads them: no mnemonic, no
// shortcut, "-" for a separator, "~" before an item that is off.
std::vector<std::string> MenuItems(QWidget* menu) {
  std::vector<std::string> out;
  for (QAction* a : static_cast<QMenu*>(menu)->actions()) {
    if (!a->isVisible()) continue;
    if (a->isSeparator()) {
      out.push_back("-");
      continue;
    }
    QString text = a->text().section('\t', 0, 0);
    text.remove('&');
    out.push_back((a->isEnabled() ? "" : "~") + text.toStdString());
  }
  return out;
}

// Clicks the item of a shown menu that reads text.
void ChooseItem(QWidget* menu, const std::string& text) {
  auto* m = static_cast<QMenu*>(menu);
  for (QAction* a : m->actions()) {
    QString shown = a->text().section('\t', 0, 0);
    shown.remove('&');
    if (!a->isSeparator() && shown.toStdString() == text) {
      QRect r = m->actionGeometry(a);
      QTest::mouseMove(m, r.center());
      QTest::mouseClick(m, Qt::LeftButton, {}, r.center());
      return;
    }
  }
  ADD_FAILURE() << "no menu item " << text;
  m->close();
}

// A right click on a field of the send window keeps the field's edit
// actions (Cut and Copy off while nothing is selected, Paste on with text
// on the clipboard) and adds What's This after a separator: Paste puts the
// clipboard into the field, What's This opens the tip window for the field.
TEST(Dashpost, ARightClickOnAFieldOffersCutCopyPasteAndWhatsThis) {
  Machine m;
  m.AddRecord("Bob Jones", "Example Ltd", "+44 20 7946 0000");
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    QApplication::clipboard()->setText("+1 555 0199");
    QWidget* destination = d.Main().ControlWidget(MainDestination);
    std::vector<std::string> items;
    Driver::When("PopupMenu", [&](QWidget* menu) {
      items = MenuItems(menu);
      ChooseItem(menu, "Paste");
    });
    RightClick(destination);
    ASSERT_TRUE(Driver::WaitUntil([&] { return !items.empty() && !Driver::TopWindow("PopupMenu"); }))
        << "no menu";
    auto has = [&](const char* item) { return std::find(items.begin(), items.end(), item) != items.end(); };
    EXPECT_TRUE(has("~Cut") && has("~Copy") && has("Paste")) << ::testing::PrintToString(items);
    ASSERT_GE(items.size(), 3u);
    EXPECT_EQ(items[items.size() - 2], "-");
    EXPECT_EQ(items.back(), "What's This?");
    EXPECT_EQ(d.Text(MainDestination), "+1 555 0199");
    EXPECT_EQ(Driver::TopWindow("TipWindow"), nullptr) << "Paste asked for a tip";

    // Copy takes the selected text being typed; the right click does not
    // leave the field, so its lookup in the book does not run meanwhile.
    QWidget* to = d.Main().ControlWidget(MainTo);
    QTest::mouseClick(to, Qt::LeftButton);
    QTest::keyClicks(to, "Bob");
    QTest::keyClick(to, Qt::Key_A, Qt::ControlModifier);
    Driver::When("PopupMenu", [&](QWidget* menu) { ChooseItem(menu, "Copy"); });
    RightClick(to);
    EXPECT_TRUE(Driver::WaitUntil([] { return QApplication::clipboard()->text() == "Bob"; }))
        << "the clipboard holds " << QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(d.Text(MainTo), "Bob");
    EXPECT_EQ(d.Text(MainCompany), "");

    Driver::When("PopupMenu", [&](QWidget* menu) { ChooseItem(menu, "What's This?"); });
    RightClick(destination);
    ASSERT_TRUE(Driver::WaitUntil([] { return Driver::TopWindow("TipWindow") != nullptr; })) << "no tip window";
    QWidget* tip = Driver::TopWindow("TipWindow");
    // The tip is the destination field's: its keys, shown by the editor.
    EXPECT_TRUE(QTest::qWaitForWindowActive(tip, 5000));
    QTest::keyClick(tip, Qt::Key_E, Qt::AltModifier);
    auto* text = tip->findChild<QPlainTextEdit*>();
    ASSERT_TRUE(text && Driver::WaitUntil([text] { return text->isVisible(); })) << "no editor";
    QList<QLineEdit*> keys = tip->findChildren<QLineEdit*>();
    ASSERT_GE(keys.size(), 3);
    EXPECT_EQ(keys[0]->text().toStdString(), "Main");
    EXPECT_EQ(keys[1]->text().toStdString(), "?g_destination");
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
}

// Setup > Personal Details on the sample's [CommandList]: one row per
// entry, labelled as the sample says; Save writes [DefaultCommands], and
// the next send carries those lines to the delivery command.
TEST(Dashpost, PersonalDetailsOfTheSampleReachTheRequest) {
  Machine m;
  fw::IniFile sample(SAMPLE_CLIENT_INI);
  std::vector<std::string> list = sample.FetchList("CommandList", "command", "Command_");
  ASSERT_GE(list.size(), 3u) << "the sample lists no personal details";
  m.Set("CommandList", "command", std::to_string(list.size()));
  for (size_t i = 0; i < list.size(); ++i) m.Set("CommandList", "Command_" + std::to_string(i + 1), list[i]);
  std::vector<std::string> typed;
  for (size_t i = 0; i < list.size(); ++i) typed.push_back("value " + std::to_string(i + 1));
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    std::vector<std::string> prompts;
    int entries = 0;
    Driver::When("CmdSetup", [&](QWidget* setup) {
      for (size_t i = 0; i < list.size(); ++i) {
        auto* prompt = setup->findChild<QLabel*>(QString("?String%1").arg(i + 1));
        auto* entry = setup->findChild<QLineEdit*>(QString("?m_cmdValues_%1").arg(i + 1));
        ASSERT_TRUE(prompt && entry);
        prompts.push_back(prompt->isVisible() ? prompt->text().toStdString() : "<hidden>");
        if (!entry->isVisible()) continue;
        ++entries;
        QTest::mouseClick(entry, Qt::LeftButton);
        QTest::keyClicks(entry, QString::fromStdString(typed[i]));
      }
      auto* next = setup->findChild<QLineEdit*>(QString("?m_cmdValues_%1").arg(list.size() + 1));
      EXPECT_TRUE(next && !next->isVisible()) << "a row beyond the list";
      EXPECT_EQ(setup->findChild<QLabel*>("?NoDetails"), nullptr);
      Driver::Click(setup, "?Save");
    });
    d.ChooseMenu({"&Setup", "&Personal Details"});
    EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("CmdSetup"); }));
    EXPECT_EQ(entries, static_cast<int>(list.size()));
    for (size_t i = 0; i < list.size() && i < prompts.size(); ++i)
      EXPECT_EQ(prompts[i], list[i].substr(0, list[i].find('=')));
    d.Type(MainTo, "Bob Jones");
    d.Type(MainDestination, "+1 555 0100");
    d.Click(MainIncludeCover);
    QWidget* message = d.Main().ControlWidget(MainMessage);
    message->setFocus();
    QTest::keyClicks(message, "Hello");
    d.Click(MainSend);
    EXPECT_TRUE(Driver::WaitUntil([&] { return m.Requests().size() == 1; }));
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  EXPECT_EQ(m.Get("DefaultCommands", "command"), std::to_string(list.size()));
  std::vector<std::string> lines;
  for (size_t i = 0; i < list.size(); ++i) {
    std::string line = list[i].substr(list[i].find('=') + 1) + "=" + typed[i];
    EXPECT_EQ(m.Get("DefaultCommands", "Command_" + std::to_string(i + 1)), line);
    lines.push_back(line);
  }
  ASSERT_EQ(m.Requests().size(), 1u) << out.output;
  const std::string request = m.Requests()[0];
  // In the options, before the first recipient.
  size_t target = request.find("!TARGET");
  for (const std::string& line : lines) {
    size_t at = request.find("\r\n" + line + "\r\n");
    EXPECT_NE(at, std::string::npos) << line << " not in\n" << request;
    EXPECT_LT(at, target) << line;
  }
}

// With no [CommandList] the window says so, instead of showing nothing.
TEST(Dashpost, PersonalDetailsWithoutACommandListSaySo) {
  Machine m;
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    std::string said;
    int entries = -1;
    Driver::When("CmdSetup", [&](QWidget* setup) {
      auto* label = setup->findChild<QLabel*>("?NoDetails");
      said = label && label->isVisible() ? label->text().toStdString() : "<no label>";
      entries = 0;
      for (QLineEdit* e : setup->findChildren<QLineEdit*>())
        if (e->isVisible()) ++entries;
      Driver::Click(setup, "?Cancel");
    });
    d.ChooseMenu({"&Setup", "&Personal Details"});
    EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("CmdSetup"); }));
    EXPECT_EQ(said, "Your administrator has defined no personal details.");
    EXPECT_EQ(entries, 0);
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
}

// Keys and clicks through the window system, as a person's reach the tip
// window: a window that a modal window blocks gets none of them.
void ClickInto(QWidget* widget) {
  QWidget* top = widget->window();
  QTest::mouseClick(top->windowHandle(), Qt::LeftButton, {}, widget->mapTo(top, widget->rect().center()));
}
void TypeInto(QWidget* top, const std::string& text) {
  for (char c : text) QTest::keyClick(top->windowHandle(), c);
}

// A tip asked for in a modal window (F1 in Personal Details) is above it
// and takes keys and clicks: the editor opens, takes the text typed and
// saves it; the modal window is usable again once the tip has closed.
TEST(Dashpost, ATipAskedForInAModalWindowTakesKeysAndClicks) {
  Machine m;
  m.Set("CommandList", "command", "1");
  m.Set("CommandList", "Command_1", "Your phone number=SENDER-PHONE");
  fs::path tips = m.Dir() / "tips.kdf";
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    bool edited = false, closedByEscape = false, setupTakesKeys = false;
    Driver::When("CmdSetup", [&](QWidget* setup) {
      auto* entry = setup->findChild<QLineEdit*>("?m_cmdValues_1");
      ASSERT_NE(entry, nullptr);
      EXPECT_TRUE(QTest::qWaitForWindowActive(setup, 5000));
      entry->setFocus();
      QTest::keyClick(setup->windowHandle(), Qt::Key_F1);
      ASSERT_TRUE(Driver::WaitUntil([] { return Driver::TopWindow("TipWindow") != nullptr; })) << "no tip window";
      QWidget* tip = Driver::TopWindow("TipWindow");
      EXPECT_TRUE(QTest::qWaitForWindowActive(tip, 5000)) << "the tip window is not active";
      QTest::keyClick(tip->windowHandle(), Qt::Key_E, Qt::AltModifier);
      auto* text = tip->findChild<QPlainTextEdit*>();
      edited = text && Driver::WaitUntil([text] { return text->isVisible(); }, std::chrono::seconds(3));
      if (edited) {
        ClickInto(text);
        QTest::keyClick(tip->windowHandle(), Qt::Key_A, Qt::ControlModifier);
        TypeInto(tip, "Your own phone number.");
        EXPECT_EQ(text->toPlainText().toStdString(), "Your own phone number.");
        QPushButton* save = nullptr;
        for (QPushButton* b : tip->findChildren<QPushButton*>())
          if (b->text() == "&Save" && b->isVisible()) save = b;
        ASSERT_NE(save, nullptr);
        ClickInto(save);
        EXPECT_TRUE(Driver::WaitUntil([text] { return !text->isVisible(); })) << "Save left the editor open";
      }
      QTest::keyClick(tip->windowHandle(), Qt::Key_Escape);
      closedByEscape = Driver::WaitUntil([] { return !Driver::TopWindow("TipWindow"); });
      if (!closedByEscape && Driver::TopWindow("TipWindow")) Driver::TopWindow("TipWindow")->close();
      // The modal window takes keys again.
      EXPECT_TRUE(QTest::qWaitForWindowActive(setup, 5000));
      ClickInto(entry);
      TypeInto(setup, "555");
      setupTakesKeys = entry->text() == "555";
      // Closed under a tip that is open (by its title bar's close button),
      // it leaves the tip open to the program's end.
      QTest::keyClick(setup->windowHandle(), Qt::Key_F1);
      EXPECT_TRUE(Driver::WaitUntil([] { return Driver::TopWindow("TipWindow") != nullptr; }));
      QPointer<QWidget> s = setup;
      setup->close();
      EXPECT_TRUE(Driver::WaitUntil([s] { return !s || !s->isVisible(); }, std::chrono::seconds(3)));
      EXPECT_NE(Driver::TopWindow("TipWindow"), nullptr);
      if (s && s->isVisible()) Driver::Click(s, "?Cancel");
    });
    d.ChooseMenu({"&Setup", "&Personal Details"});
    EXPECT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("CmdSetup"); }, std::chrono::seconds(30)));
    EXPECT_TRUE(edited) << "the tip editor did not open";
    EXPECT_TRUE(closedByEscape) << "Escape left the tip open";
    EXPECT_TRUE(setupTakesKeys) << "Personal Details took no keys after the tip";
    QApplication::processEvents();
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  auto hwt = mvn::helptips::MakeTipFile(tips.string());
  ASSERT_EQ(hwt->Open(), 0);
  ASSERT_EQ(hwt->Set(), 0);
  std::string saved = "<none>";
  while (hwt->Next() == 0)
    if (hwt->Buffer().Clipped("ProcedureName") == "CmdSetup" && hwt->Buffer().Clipped("ControlName") == "?m_cmdValues_1")
      saved = fw::Clip(hwt->Buffer().Get("HelpTip"));
  EXPECT_EQ(saved, "Your own phone number.");
  hwt->Close();
}

// Every way out with a tip window open ends the program cleanly: exit 0,
// nothing aborted, the close settings written.
TEST(Dashpost, EveryWayOutWithATipWindowOpenEndsCleanly) {
  enum Way { FileExit, Terminate, CommandLineSend };
  for (Way way : {FileExit, Terminate, CommandLineSend}) {
    SCOPED_TRACE(way);
    Machine m;
    fs::path ready = m.Dir() / "ready";
    std::vector<std::string> args;
    if (way == CommandLineSend) {
      std::ofstream(m.Dir() / "invoice.ps") << "%!PS\nshowpage\n";
      args.push_back((m.Dir() / "invoice.ps").string());
    }
    mvntest::dashpost::RunOptions options;
    if (way == Terminate) options.terminateWhen = ready;
    Outcome out = mvntest::dashpost::Run(
        m, args,
        [&](Driver& d) {
          QWidget* to = d.Main().ControlWidget(MainTo);
          to->setFocus();
          QTest::keyClick(to, Qt::Key_F1);
          ASSERT_TRUE(Driver::WaitUntil([] { return Driver::TopWindow("TipWindow") != nullptr; }));
          if (way == FileExit) {
            d.ChooseMenu({"&File", "Exit"});
          } else if (way == Terminate) {
            std::ofstream(ready) << "1";
          } else {
            d.Type(MainTo, "Bob Jones");
            d.Type(MainDestination, "+1 555 0100");
            d.Click(MainSend);
          }
        },
        options);
    EXPECT_EQ(out.signal, 0) << out.output;
    EXPECT_EQ(out.exitCode, 0) << out.output;
    EXPECT_EQ(out.output.find("malloc"), std::string::npos) << out.output;
    EXPECT_EQ(m.Get("Default", "ShowImageFilesTab"), "No");
    if (way == CommandLineSend) {
      // The client does not wait for its delivery command, which may still
      // be recording the request when the client has ended.
      EXPECT_TRUE(mvntest::WaitFor([&] { return m.Requests().size() == 1u; })) << out.output;
    }
  }
}

// -h and --help: the usage on standard output and exit 0, before anything
// else (no INI file, no display needed).
TEST(Dashpost, HelpPrintsTheUsage) {
  for (const char* option : {"-h", "--help"})
    for (bool display : {false, true}) {
      mvntest::TempDir dir;
      std::string out;
      std::string env = display ? "QT_QPA_PLATFORM=offscreen" : "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
      int code = mvntest::RunShell("cd '" + dir.str() + "' && env " + env + " MVN_ROOT='" + dir.str() + "' HOME='" +
                                       dir.str() + "' '" + DASHPOST_PATH + "' " + option + " 2>/dev/null",
                                   &out);
      EXPECT_EQ(code, 0) << option << " " << display;
      EXPECT_EQ(out.rfind("usage: dashpost", 0), 0u) << out;
      EXPECT_NE(out.find("--help"), std::string::npos) << out;
    }
  // An unknown switch: the usage on standard error and exit 2, also
  // without a display; a file whose name begins with "-" is a document.
  mvntest::TempDir dir;
  std::string out;
  int code = mvntest::RunShell("cd '" + dir.str() + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM MVN_ROOT='" +
                                   dir.str() + "' HOME='" + dir.str() + "' '" + DASHPOST_PATH + "' --bogus 2>&1 >/dev/null",
                               &out);
  EXPECT_EQ(code, 2) << out;
  EXPECT_EQ(out.rfind("dashpost: unknown switch --bogus\nusage: dashpost", 0), 0u) << out;
}

namespace {

// A click on the tab of a sheet of the main window that reads text.
void ClickTab(Driver& d, int sheet, const char* text) {
  auto* tabs = qobject_cast<QTabWidget*>(d.Main().ControlWidget(sheet));
  ASSERT_NE(tabs, nullptr);
  for (int i = 0; i < tabs->count(); ++i)
    if (tabs->tabText(i).remove('&') == text) {
      QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(i).center());
      ASSERT_TRUE(Driver::WaitUntil([&] { return tabs->currentIndex() == i; })) << text;
      return;
    }
  ADD_FAILURE() << "no tab " << text;
}

// A click on the row of a list of the main window that reads text.
void ClickListRow(Driver& d, int list, const std::string& text) {
  auto* view = qobject_cast<QAbstractItemView*>(d.Main().ControlWidget(list));
  ASSERT_NE(view, nullptr);
  for (int r = 0; r < view->model()->rowCount(); ++r)
    if (view->model()->index(r, 0).data().toString().toStdString() == text) {
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(r, 0)).center());
      QApplication::processEvents();
      return;
    }
  ADD_FAILURE() << "no row " << text;
}

// The cover-page message on, with a text: the fax has content.
void TypeCoverMessage(Driver& d, const char* text) {
  d.Click(MainIncludeCover);
  QWidget* message = d.Main().ControlWidget(MainMessage);
  message->setFocus();
  QTest::keyClicks(message, text);
}

// Send Fax pressed; the text of the message box it shows when one is
// expected (else "" once the request came).
std::string SendAndReadMessage(Driver& d, Machine& m, bool message) {
  std::string said;
  bool closed = false;
  if (message)
    Driver::When("QMessageBox", [&](QWidget* box) {
      said = static_cast<QMessageBox*>(box)->text().toStdString();
      QTest::keyClick(box, Qt::Key_Return);
      closed = true;
    });
  d.Click(MainSend);
  EXPECT_TRUE(Driver::WaitUntil([&] { return message ? closed : !m.Requests().empty(); }, std::chrono::seconds(20)));
  return said;
}

}  // namespace

// Send Fax with only lists as targets sends to them: the marked remote
// list's lines, or the marked local .CSV list as an attachment, and no
// recipient. A marked group that gives nobody says why, and sends nothing.
TEST(Dashpost, SendFaxToListsOnlySendsAndAGroupOfNobodySaysWhy) {
  enum Target { RemoteList, LocalCsvList, EmptyGroup, FaxOnlyMembersUnderEmailOnly };
  struct Case {
    const char* name;
    Target target;
    const char* said;  // the message, "" for a send
  } cases[] = {
      {"remote list", RemoteList, ""},
      {"local CSV list", LocalCsvList, ""},
      {"empty group", EmptyGroup, "There is nobody to send to: the marked groups have no members."},
      {"fax-only members, Email Only", FaxOnlyMembersUnderEmailOnly,
       "There is nobody to send to: none of the 2 members of the marked groups has a destination under the Group "
       "Send Preference \"Email Only\"."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    long ann = m.AddRecord("Ann Lee", "Alpha Co", "+1 555 0101");
    long bob = m.AddRecord("Bob Jones", "Beta Ltd", "+1 555 0102");
    m.AddGroup("Nobody", {});
    m.AddGroup("Faxers", {ann, bob});
    std::ofstream(m.Dir() / "lists.ini") << "[RemoteLists]\nSales=Sales contacts\n";
    m.Set("Files", "RemoteLists", (m.Dir() / "lists.ini").string());
    m.Set("Default", "ShowRemoteListsTab", "YES");
    if (c.target == FaxOnlyMembersUnderEmailOnly) m.Set("Default", "DefaultGroupSend", "EMAIL ONLY");
    fs::path csv = m.Dir() / "partners.csv";
    std::ofstream(csv) << "To,Company,Destination\r\nCy Wu,Gamma plc,+1 555 0103\r\n";
    Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
      TypeCoverMessage(d, "Hello");
      if (c.target == RemoteList) {
        ClickTab(d, MainSheetAttach, "Lists");
        ClickListRow(d, MainRemoteLists, "Sales");
      } else if (c.target == LocalCsvList) {
        ClickTab(d, MainSheetAttach, "Local Files");
        Driver::When("PopupMenu", [](QWidget* menu) { ChooseItem(menu, "Add files to attach"); });
        Driver::When("FileDialog", [&](QWidget* dialog) {
          // The file chosen in the dialog, then its Open button.
          auto* files = static_cast<QFileDialog*>(dialog);
          files->selectFile(QString::fromStdString(csv.string()));
          static_cast<QDialog*>(files)->accept();
        });
        RightClick(d.Main().ControlWidget(MainLocalFiles));
        ASSERT_TRUE(Driver::WaitUntil([] { return !Driver::TopWindow("FileDialog") && !Driver::TopWindow("PopupMenu"); }));
        auto* view = qobject_cast<QAbstractItemView*>(d.Main().ControlWidget(MainLocalFiles));
        ASSERT_TRUE(Driver::WaitUntil([&] { return view->model()->rowCount() == 1; })) << "no file added";
      } else {
        ClickListRow(d, MainGroups, c.target == EmptyGroup ? "Nobody" : "Faxers");
      }
      ASSERT_TRUE(d.Main().ControlWidget(MainSend)->isEnabled()) << "the window has no target";
      // The driver runs in the program's process: what it sees is checked there.
      EXPECT_EQ(SendAndReadMessage(d, m, *c.said != 0), c.said);
      d.ChooseMenu({"&File", "Exit"});
    });
    EXPECT_EQ(out.exitCode, 0) << out.output;
    std::vector<std::string> requests = m.Requests();
    if (*c.said) {
      EXPECT_TRUE(requests.empty()) << "a request for nobody";
      continue;
    }
    ASSERT_EQ(requests.size(), 1u) << out.output;
    const std::string& request = requests[0];
    EXPECT_EQ(request.find("!TARGET"), std::string::npos) << request;
    if (c.target == RemoteList) {
      EXPECT_NE(request.find("\r\nNotification:LIST\r\nGroup:Sales\r\n\r\n!PASSTHROUGH-END\r\n"), std::string::npos)
          << request;
    } else {
      EXPECT_NE(request.find("\r\n!ExtAttachment,partners.csv,"), std::string::npos) << request;
    }
  }
}

// The command line's document at the end of the run: a printed document
// (a file in the spool folder) that was not sent is removed, one that was
// sent is the send client's; a file of the user's own is never removed.
// A port application written "dashpost %1" puts "%1" before the printed
// document: the argument that names a file is the document, and a file
// that does not exist is told at the start.
TEST(Dashpost, ACommandLineDocumentNotSentIsRemovedOnlyFromTheSpoolFolder) {
  struct Case {
    const char* name;
    bool inSpool;
    bool percentFirst;  // "%1" before the file, as "dashpost %1" gives it
    bool send;
    bool kept;
  } cases[] = {
      {"printed, window closed", true, false, false, false},
      {"printed by dashpost %1, window closed", true, true, false, false},
      {"printed by dashpost %1, sent", true, true, true, true},
      {"the user's file, window closed", false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    fs::path folder = c.inSpool ? m.Root() / "spool/temp" : m.Dir() / "documents";
    fs::create_directories(folder);
    fs::path document = folder / "MVN0001.tmp";
    std::ofstream(document) << "%!PS\nshowpage\n";
    std::vector<std::string> args;
    if (c.percentFirst) args.push_back("%1");
    args.push_back(document.string());
    if (c.percentFirst) args.push_back((m.Dir() / "out").string());
    Outcome out = mvntest::dashpost::Run(m, args, [&](Driver& d) {
      // The document is the one the caption names.
      std::string caption = d.Main().Widget()->windowTitle().toStdString();
      EXPECT_NE(caption.find(" - " + document.string()), std::string::npos) << caption;
      if (c.send) {
        d.Type(MainDestination, "+1 555 0100");
        d.Click(MainSend);
        EXPECT_TRUE(Driver::WaitUntil([&] { return m.Requests().size() == 1; }));
      } else {
        d.ChooseMenu({"&File", "Exit"});
      }
    });
    EXPECT_EQ(out.exitCode, 0) << out.output;
    EXPECT_EQ(fs::exists(document), c.kept);
    if (c.send) {
      ASSERT_TRUE(mvntest::WaitFor([&] { return m.Requests().size() == 1u; })) << out.output;
      EXPECT_NE(m.Requests()[0].find("!ExtAttachment,MVN0001.tmp," + document.string() + "\r\n"), std::string::npos)
          << m.Requests()[0];
    }
  }

  // A file that is not there: said at the start; the window has no document.
  Machine m;
  std::string gone = (m.Root() / "spool/temp/MVN0002.tmp").string();
  Outcome out = mvntest::dashpost::Run(m, {"%1", gone}, [&](Driver& d) {
    d.Type(MainDestination, "+1 555 0100");
    EXPECT_FALSE(d.Main().ControlWidget(MainSend)->isEnabled()) << "a window with a document that is not there";
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  EXPECT_NE(out.output.find("dashpost: The file %1 named on the command line does not exist"), std::string::npos)
      << out.output;
}

namespace {

// An X server of the test's own (no window manager) on a display number
// nobody uses, for what the program does only on a screen; stopped with
// the object. Empty Display() when Xvfb is missing or did not start.
class PrivateDisplay {
 public:
  explicit PrivateDisplay(const fs::path& dir) {
    if (!fs::exists("/usr/bin/Xvfb")) return;
    for (int n = 100 + getpid() % 400; n < 1000; ++n) {
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
      if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      mvntest::ChildProcess::Options options;
      options.output = (dir / "xvfb.log").string();
      m_server = std::make_unique<mvntest::ChildProcess>(
          std::vector<std::string>{"/usr/bin/Xvfb", ":" + std::to_string(n), "-screen", "0", "1280x1024x24",
                                   "-nolisten", "tcp"},
          options);
      // Up once its socket is there; a server that lost the number to
      // another one ends, and the next number is tried.
      if (mvntest::WaitFor([&] { return fs::exists(socket) || !m_server->Running(); }, std::chrono::seconds(20)) &&
          m_server->Running()) {
        m_display = ":" + std::to_string(n);
        return;
      }
      m_server.reset();
    }
  }
  const std::string& Display() const { return m_display; }

 private:
  std::unique_ptr<mvntest::ChildProcess> m_server;
  std::string m_display;
};

}  // namespace

// On a screen a printed document is offered with "Send ... as a fax?";
// Escape declines it: the send window opens without it, nothing reaches
// the delivery command, and the document the print road left in the
// spool folder goes when the client ends.
TEST(Dashpost, EscapeAtTheSendQuestionSendsNothingAndRemovesThePrintedDocument) {
  Machine m;
  PrivateDisplay x(m.Dir());
  if (x.Display().empty()) GTEST_SKIP() << "no X server (Xvfb) to show the question on";
  m.display = x.Display();
  fs::create_directories(m.Root() / "spool/temp");
  fs::path document = m.Root() / "spool/temp/MVN0001.tmp";
  std::ofstream(document) << "%!PS\nshowpage\n";
  // Set in the child, where the question is answered and the driver runs.
  bool asked = false;
  mvntest::dashpost::RunOptions options;
  options.atStart = [document, &asked] {
    Driver::When("QMessageBox", [document, &asked](QWidget* box) {
      asked = true;
      auto* question = qobject_cast<QMessageBox*>(box);
      ASSERT_NE(question, nullptr);
      EXPECT_EQ(question->text().toStdString(), "Send " + document.string() + " as a fax?");
      QTest::keyClick(box, Qt::Key_Escape);
    });
  };
  Outcome out = mvntest::dashpost::Run(m, {document.string()}, [&](Driver& d) {
    EXPECT_TRUE(asked) << "the question was not asked";
    std::string caption = d.Main().Widget()->windowTitle().toStdString();
    EXPECT_EQ(caption.find("MVN0001"), std::string::npos) << "the declined document is still the window's: " << caption;
    EXPECT_TRUE(m.Requests().empty());
    EXPECT_TRUE(fs::exists(document)) << "removed while the client still runs";
    d.ChooseMenu({"&File", "Exit"});
  }, options);
  EXPECT_EQ(out.exitCode, 0) << out.output;
  EXPECT_TRUE(m.Requests().empty()) << m.Requests().size() << " requests";
  EXPECT_FALSE(fs::exists(document));
}

namespace {

// A shell command's standard output (a command of its own time limit).
std::string ShellOutput(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

}  // namespace

// Setup > User Setup starts the send client's settings (another program):
// its sheet opens centred on the send window, wherever that is, with the
// focus in its first field, so what a person types goes there.
TEST(Dashpost, UserSetupOpensOnTheSendWindowWithTheFocusInItsFirstField) {
  if (!fs::exists("/usr/bin/xdotool")) GTEST_SKIP() << "xdotool is not installed";
  Machine m;
  PrivateDisplay x(m.Dir());
  if (x.Display().empty()) GTEST_SKIP() << "no X server (Xvfb) to show the windows on";
  m.display = x.Display();
  const fs::path ini = m.Dir() / "mvncsend.ini";
  std::ofstream(ini, std::ios::binary)
      << "[MVNCSEND]\r\nDeliveryModule=" << fs::path(MVN_DLVLOCAL_PATH).replace_extension(".dll").string()
      << "\r\nWorkingPath=" << (m.Dir() / "work").string() << "\r\nOutputLocation=" << (m.Dir() / "intake").string()
      << "\r\nDialogTitle=Delivery Settings\r\nYourEmailAddress=ann@example.com\r\n";
  fs::create_directories(m.Dir() / "work");
  fs::create_directories(m.Dir() / "intake");
  // The send client shows its sheet on the display, not to the headless
  // log the harness sets for the client's own dialogs.
  m.Set("Files", "DeliveryCommand",
        "env -u MVN_DIALOGS " + std::string(MVN_SENDCLIENT_PATH) + " CONFIG=" + ini.string() + " %1");
  const std::string env = "DISPLAY=" + x.Display() + " timeout 10 ";
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    // The send window away from the screen's middle, where a sheet centred
    // on the screen would be.
    QWidget* main = d.Main().Widget();
    main->move(40, 30);
    ASSERT_TRUE(Driver::WaitUntil([&] { return main->frameGeometry().topLeft() == QPoint(40, 30); }));
    const QPoint middle = main->frameGeometry().center();
    d.ChooseMenu({"&Setup", "User Setup"});
    std::string sheet;
    ASSERT_TRUE(Driver::WaitUntil(
        [&] {
          sheet = ShellOutput(env + "xdotool search --onlyvisible --name '^Delivery Settings$' 2>/dev/null");
          sheet = sheet.substr(0, sheet.find('\n'));
          return !sheet.empty();
        },
        std::chrono::seconds(60)))
        << "the settings sheet did not open";
    // Its place as the X server has it.
    std::map<std::string, int> g;
    std::string shell = ShellOutput(env + "xdotool getwindowgeometry --shell " + sheet);
    for (size_t at = 0; at < shell.size();) {
      size_t end = shell.find('\n', at), eq = shell.find('=', at);
      if (end == std::string::npos) end = shell.size();
      if (eq < end) g[shell.substr(at, eq - at)] = std::atoi(shell.substr(eq + 1, end - eq - 1).c_str());
      at = end + 1;
    }
    ASSERT_GT(g["WIDTH"], 0) << shell;
    const QPoint sheetMiddle(g["X"] + g["WIDTH"] / 2, g["Y"] + g["HEIGHT"] / 2);
    EXPECT_LE((sheetMiddle - middle).manhattanLength(), 40)
        << "the sheet's middle is at " << sheetMiddle.x() << "," << sheetMiddle.y() << ", the send window's at "
        << middle.x() << "," << middle.y();
    // Typed at once: into the first field (Your Name, empty); Enter is OK,
    // which saves.
    ShellOutput(env + "xdotool windowfocus --sync " + sheet + " type --delay 20 'Zoe Park'");
    ShellOutput(env + "xdotool windowfocus --sync " + sheet + " key Return");
    EXPECT_TRUE(Driver::WaitUntil(
        [&] {
          std::ifstream in(ini, std::ios::binary);
          std::string text((std::istreambuf_iterator<char>(in)), {});
          return text.find("YourName=Zoe Park\r\n") != std::string::npos;
        },
        std::chrono::seconds(30)))
        << "what was typed did not reach the first field:\n" << [&] {
             std::ifstream in(ini, std::ios::binary);
             return std::string((std::istreambuf_iterator<char>(in)), {});
           }();
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
}

// The walk-through on the sample's settings: Send Fax hands the fax over
// and the window shows it went (it empties for the next fax and
// minimises). A run offscreen keeps no window placement for the next run
// on a screen.
TEST(Dashpost, OnTheSampleSettingsTheWindowShowsTheSendWentAndOffscreenSavesNoPlacement) {
  Machine m;
  fw::IniFile sample(SAMPLE_CLIENT_INI);
  m.Set("Default", "MinimiseOnSend", sample.Fetch("Default", "MinimiseOnSend"));
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    d.Type(MainTo, "Bob Jones");
    d.Type(MainDestination, "+1 555 0100");
    TypeCoverMessage(d, "Hello");
    d.Click(MainSend);
    EXPECT_TRUE(Driver::WaitUntil([&] { return m.Requests().size() == 1; }));
    EXPECT_TRUE(Driver::WaitUntil([&] { return d.Main().Widget()->isMinimized(); }, std::chrono::seconds(5)))
        << "the window did not show that the fax went";
    EXPECT_EQ(d.Text(MainTo), "");
    EXPECT_EQ(d.Text(MainDestination), "");
    EXPECT_EQ(d.Text(MainMessage), "");
    // Brought back from the taskbar, then closed.
    d.Main().Widget()->showNormal();
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  ASSERT_EQ(m.Requests().size(), 1u) << out.output;
  EXPECT_NE(m.Requests()[0].find("\r\nDestination:+1 555 0100 "), std::string::npos);
  EXPECT_EQ(m.Get("Main", "XPos"), "") << "an offscreen run saved its window's placement";
  EXPECT_EQ(m.Get("Main", "Width"), "");
}

// Re-Send of a fax with a document: the refilled window shows the
// document, and the fax carries it under the name it was first sent with,
// copied once for the send client; the kept copy stays as it was and no
// other copy is left in the temporary folder.
// Disabled: on a loaded machine the click on Re-Send sometimes leaves the
// send log open (seen with eight runs at once); until the cause is found
// it would make the suite fail by chance. Run it with
// --gtest_also_run_disabled_tests.
TEST(Dashpost, ReSendOfAFaxWithADocumentShowsItAndSendsItOnceUnderItsName) {
  Machine m;
  fs::create_directories(m.Dir() / "kept");
  fs::path kept = m.Dir() / "kept/invoice.ps.20261211.025410";
  std::ofstream(kept) << "%!PS\n(Invoice) show showpage\n";
  fs::path log = m.Dir() / "sendlog.csv";
  std::ofstream(log, std::ios::binary) << "\"2026/12/11 02:54:10\",\"Ann Lee\",\"A Co\",\"+44 20 7946 0001\",\"R2\","
                                          "\"CC\",\"\",\"" << kept.string() << "\",\"\",\"\",\"\"\r\n";
  m.Set("Files", "SendLog", log.string());
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    std::string captionBefore = d.Main().Widget()->windowTitle().toStdString();
    Driver::When("ViewSendLog", [](QWidget* top) {
      // The entry is clicked (its shown cells: the mark and row number are
      // hidden columns), then Re-Send, which closes the window.
      Driver::ClickRow(top, 0);
      Driver::Click(top, "?ReSend");
      if (!Driver::WaitUntil([top] { return !top->isVisible(); })) {
        ADD_FAILURE() << "Re-Send did not close the send log";
        top->close();
      }
    });
    d.ChooseMenu({"&View", "View Send Log"});
    ASSERT_TRUE(Driver::WaitUntil([&] { return d.Text(MainTo) == "Ann Lee"; })) << "the window was not refilled";
    EXPECT_EQ(d.Main().Widget()->windowTitle().toStdString(), captionBefore + " - invoice.ps");
    ASSERT_TRUE(d.Main().ControlWidget(MainSend)->isEnabled());
    d.Click(MainSend);
    EXPECT_TRUE(Driver::WaitUntil([&] { return m.Requests().size() == 1; }));
    d.ChooseMenu({"&File", "Exit"});
  });
  EXPECT_EQ(out.exitCode, 0) << out.output;
  ASSERT_EQ(m.Requests().size(), 1u) << out.output;
  const std::string request = m.Requests()[0];
  size_t at = request.find("\r\n!ExtAttachment,");
  ASSERT_NE(at, std::string::npos) << request;
  std::string line = request.substr(at + 2, request.find("\r\n", at + 2) - at - 2);
  std::string copy = line.substr(line.find(',', 15) + 1);
  EXPECT_EQ(line.substr(0, line.find(',', 15)), "!ExtAttachment,invoice.ps");
  EXPECT_EQ(fs::path(copy).filename().string().rfind("AttachMainFile", 0), 0u) << line;
  EXPECT_EQ(request.find("!ExtAttachment", at + 3), std::string::npos) << "more than one copy\n" << request;
  EXPECT_TRUE(fs::exists(kept));
  for (const auto& e : fs::directory_iterator(fs::path(copy).parent_path()))
    EXPECT_EQ(e.path().filename().string().rfind("invoice.ps", 0), std::string::npos) << e.path() << " left behind";
}

// The Address Books menu as a person reads it: the books (the current one
// marked "* "), a separator drawn as a line, and the three fixed items;
// with a single book too, for a user and for an administrator (whose book
// is a submenu).
TEST(Dashpost, TheAddressBooksMenuShowsItsSeparatorAlsoWithOneBook) {
  struct Case {
    const char* admin;
    bool secondBook;
    std::vector<std::string> items;
  } cases[] = {
      {"No", false, {"* Personal Address Book", "-", "Create an Address Book", "View Current Address Book", "Group Setup"}},
      {"Yes", false, {"* Personal Address Book", "-", "Create an Address Book", "View Current Address Book", "Group Setup"}},
      {"No", true, {"* Personal Address Book", "  Sales", "-", "Create an Address Book", "View Current Address Book",
                    "Group Setup"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.admin) + (c.secondBook ? ", two books" : ", one book"));
    Machine m;
    m.Set("Default", "AdminUser", c.admin);
    m.Set("Database", "NumCustomBooks", c.secondBook ? "2" : "1");
    m.Set("Database", "Custom Book 1", "Personal Address Book");
    m.Set("Database", "Personal Address Book", (m.Dir() / "book").string());
    if (c.secondBook) {
      m.Set("Database", "Custom Book 2", "Sales");
      m.Set("Database", "Sales", (m.Dir() / "sales").string());
    }
    Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
      QMenuBar* bar = d.Main().Widget()->menuBar();
      QAction* books = nullptr;
      for (QAction* a : bar->actions())
        if (a->text() == "Address &Books") books = a;
      ASSERT_TRUE(books && books->menu());
      QMenu* menu = books->menu();
      QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(books).center());
      ASSERT_TRUE(Driver::WaitUntil([menu] { return menu->isVisible(); }));
      EXPECT_EQ(MenuItems(menu), c.items);
      // The separator takes room and is drawn: its band holds a colour
      // the menu's background (just inside the next item) has not.
      QImage shot = menu->grab().toImage();
      QRect line, next;
      QList<QAction*> actions = menu->actions();
      for (int i = 0; i + 1 < actions.size(); ++i)
        if (actions[i]->isSeparator()) line = menu->actionGeometry(actions[i]), next = menu->actionGeometry(actions[i + 1]);
      ASSERT_FALSE(line.isEmpty()) << "the separator takes no room";
      const int x = line.center().x();
      const QRgb background = shot.pixel(x, next.top() + 1);
      bool drawn = false;
      for (int y = line.top(); y <= line.bottom(); ++y) drawn = drawn || shot.pixel(x, y) != background;
      EXPECT_TRUE(drawn) << "the separator is a gap with no line";
      menu->close();
      d.ChooseMenu({"&File", "Exit"});
    });
    EXPECT_EQ(out.exitCode, 0) << out.output;
  }
}
