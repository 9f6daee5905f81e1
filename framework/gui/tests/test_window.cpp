// Windows: field numbers and use names, properties, events, menus, tabs,
// bound values, lists over queues, geometry in the INI file, START and HALT.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QEventLoop>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "framework/core/ini.h"
#include "framework/gui/listcontrol.h"
#include "framework/gui/tests/support.h"
#include "framework/gui/window.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

struct Seen {
  std::vector<std::pair<int, int>> events;  // (event, field)
  std::vector<int> accepted;
  void Watch(Window& w) {
    QObject::connect(&w, &Window::windowEvent, [this](int e, int f) { events.emplace_back(e, f); });
    QObject::connect(&w, &Window::accepted, [this](int f) { accepted.push_back(f); });
  }
  bool Has(int event, int field) const {
    for (auto& [e, f] : events)
      if (e == event && f == field) return true;
    return false;
  }
};

TEST(Window, FieldNumbersUseNamesAndTypes) {
  Window w("Main", "Morvane Dashpost");
  int prompt = w.AddPrompt("?g_To:Prompt", "&Attention:", QRect(5, 5, 40, 10));
  int entry = w.AddEntry("?g_To", QRect(50, 5, 100, 10), 50);
  int button = w.AddButton("?ButtonSendFax", "S&end Fax", QRect(5, 20, 50, 14));
  int file = w.AddMenu("?FileMenu", "&File");
  int exit = w.AddItem("?Exit", "Exit", file);
  EXPECT_EQ(prompt, 1);
  EXPECT_EQ(entry, 2);
  EXPECT_EQ(button, 3);
  EXPECT_EQ(file, -1);
  EXPECT_EQ(exit, -2);
  EXPECT_EQ(w.FieldOf("?G_TO"), entry) << "use names compare without case";
  EXPECT_EQ(w.FieldOf("?nothing"), 0);
  EXPECT_EQ(w.UseName(button), "?ButtonSendFax");
  EXPECT_STREQ(ControlTypeName(w.Type(entry)), "ENTRY");
  EXPECT_STREQ(ControlTypeName(w.Type(button)), "BUTTON");
  EXPECT_STREQ(ControlTypeName(w.Type(exit)), "ITEM");
  EXPECT_EQ(w.Fields(), (std::vector<int>{-2, -1, 1, 2, 3}));
}

TEST(Window, PropertiesInDialogUnits) {
  Window w("Props", "Props");
  int entry = w.AddEntry("?e", QRect(10, 20, 80, 12));
  int button = w.AddButton("?b", "&Go", QRect(10, 40, 40, 14));
  EXPECT_EQ(w.ControlWidget(entry)->geometry(), DialogUnits::ToPixels(QRect(10, 20, 80, 12)));
  EXPECT_EQ(DialogUnits::FromPixels(DialogUnits::ToPixels(QRect(13, 27, 211, 97))), QRect(13, 27, 211, 97))
      << "units survive the conversion both ways";
  w.SetPosition(button, QRect(30, 50, 60, 14));
  EXPECT_EQ(w.Position(button), QRect(30, 50, 60, 14));
  EXPECT_EQ(w.ControlWidget(button)->geometry(), DialogUnits::ToPixels(QRect(30, 50, 60, 14)));
  w.SetText(entry, "Smith");
  EXPECT_EQ(w.Text(entry), "Smith");
  w.Disable(button);
  EXPECT_TRUE(w.IsDisabled(button));
  EXPECT_FALSE(w.ControlWidget(button)->isEnabled());
  w.Disable(button, false);
  EXPECT_FALSE(w.IsDisabled(button));
  w.Hide(entry);
  EXPECT_TRUE(w.IsHidden(entry));
  w.Hide(entry, false);
  EXPECT_FALSE(w.IsHidden(entry));
  w.SetFont(button, "DejaVu Sans", 14, 1 | 4, 0x0000FF);
  QFont font = w.ControlWidget(button)->font();
  EXPECT_EQ(font.pointSize(), 14);
  EXPECT_TRUE(font.bold());
  EXPECT_TRUE(font.underline());
  EXPECT_FALSE(font.italic());
  w.SetCursor(button, Qt::PointingHandCursor);
  EXPECT_EQ(w.ControlWidget(button)->cursor().shape(), Qt::PointingHandCursor);
  w.SetWindowCursor(true);
  EXPECT_EQ(w.Widget()->cursor().shape(), Qt::WaitCursor);
  w.SetCaption("Browsing the Address Book ( Sales )");
  EXPECT_EQ(w.Caption(), "Browsing the Address Book ( Sales )");
}

TEST(Window, AcceptedControlsAndEvents) {
  Window w("Events", "Events");
  auto layout = MakeLayout("G", {CSTRING("Name", 20), BYTE("Flag")});
  Record rec(layout);
  int entry = w.AddEntry("?g_destination", QRect(5, 5, 80, 12));
  int check = w.AddCheck("?g_bSendToAllClients", "Send to all recipients", QRect(5, 20, 100, 12));
  int button = w.AddButton("?ButtonSendFax", "S&end Fax", QRect(5, 35, 50, 14));
  w.Bind(entry, &rec, "Name");
  w.Bind(check, &rec, "Flag");
  Seen seen;
  seen.Watch(w);
  std::string valueSeen;
  QObject::connect(&w, &Window::accepted, [&](int f) {
    if (f == entry) valueSeen = rec.Clipped("Name");
  });
  w.Open();
  EXPECT_TRUE(seen.Has(EventOpenWindow, 0));

  static_cast<QPushButton*>(w.ControlWidget(button))->click();
  auto* edit = static_cast<QLineEdit*>(w.ControlWidget(entry));
  edit->setFocus();
  QApplication::processEvents();
  guitest::TypeKeys(edit, "0123");
  guitest::PressKey(edit, Qt::Key_Return);
  guitest::PressKey(edit, Qt::Key_Return);  // unchanged: not accepted again
  static_cast<QCheckBox*>(w.ControlWidget(check))->click();
  EXPECT_EQ(seen.accepted, (std::vector<int>{button, entry, check}));
  EXPECT_EQ(valueSeen, "0123") << "the bound value is read back before the handler runs";
  EXPECT_EQ(rec.GetLong("Flag"), 1);

  // A CloseWindow handler can keep the window open.
  bool keep = true;
  QObject::connect(&w, &Window::windowEvent, [&](int e, int) {
    if (e == EventCloseWindow && keep) w.Cycle();
  });
  w.Close();
  EXPECT_TRUE(w.IsOpen());
  keep = false;
  w.Close();
  EXPECT_FALSE(w.IsOpen());
}

TEST(Window, DisplayAndReadBackBoundValues) {
  auto layout = MakeLayout("MVC", {CSTRING("ClientID", 100), STRING("PostalAddress", 150), BYTE("SendAsRTF"),
                                   STRING("EmailType", 20)});
  Record rec(layout);
  rec.Set("ClientID", "Ann Lee");
  rec.Set("PostalAddress", "1 Main St\r\nTown");
  rec.SetLong("SendAsRTF", 1);
  rec.Set("EmailType", "smtp");
  Window w("Bind", "Bind");
  int id = w.AddEntry("?MVC:ClientID", QRect(5, 5, 80, 12));
  int post = w.AddText("?MVC:PostalAddress", QRect(5, 20, 80, 30));
  int rtf = w.AddCheck("?MVC:SendAsRTF", "RTF", QRect(5, 55, 80, 12));
  int type = w.AddDropList("?MVC:EmailType", QRect(5, 70, 80, 12), {"SMTP", "TELEX", "PAGER", "OTHER"});
  w.Bind(id, &rec, "ClientID");
  w.Bind(post, &rec, "PostalAddress");
  w.Bind(rtf, &rec, "SendAsRTF");
  w.Bind(type, &rec, "EmailType");
  w.Display();
  EXPECT_EQ(w.Text(id), "Ann Lee");
  EXPECT_EQ(static_cast<QPlainTextEdit*>(w.ControlWidget(post))->toPlainText(), "1 Main St\nTown");
  EXPECT_TRUE(w.IsChecked(rtf));
  EXPECT_EQ(w.Text(type), "SMTP") << "list entries are found without case";
  EXPECT_EQ(w.Choice(type), 1);
  w.SetChoice(type, 3);
  EXPECT_EQ(w.Text(type), "PAGER");
  w.SetChoice(type, 1);

  w.SetText(id, "Bob");
  static_cast<QPlainTextEdit*>(w.ControlWidget(post))->setPlainText("2 Side Rd\nCity");
  static_cast<QCheckBox*>(w.ControlWidget(rtf))->setChecked(false);
  w.Update();
  EXPECT_EQ(rec.Clipped("ClientID"), "Bob");
  EXPECT_EQ(rec.Clipped("PostalAddress"), "2 Side Rd\r\nCity") << "lines are stored with CR LF";
  EXPECT_EQ(rec.GetLong("SendAsRTF"), 0);
  EXPECT_EQ(rec.Clipped("EmailType"), "SMTP");
}

TEST(Window, OptionsAndRadios) {
  Window w("UpdateMVClient", "x");
  auto layout = MakeLayout("T", {CSTRING("Choice", 5)});
  Record rec(layout);
  int option = w.AddOption("?Option", "Preferred Destination:", QRect(5, 5, 120, 40));
  int fax = w.AddRadio(option, "?Option:Radio1", "Use Fax", "1", QRect(5, 10, 50, 10));
  int mail = w.AddRadio(option, "?Option:Radio2", "Use Email", "2", QRect(60, 10, 50, 10));
  w.Bind(option, &rec, "Choice");
  Seen seen;
  seen.Watch(w);
  w.SetText(option, "2");
  EXPECT_EQ(w.Text(option), "2");
  static_cast<QAbstractButton*>(w.ControlWidget(fax))->click();
  EXPECT_EQ(rec.Clipped("Choice"), "1");
  EXPECT_EQ(seen.accepted, (std::vector<int>{option}));
  EXPECT_STREQ(ControlTypeName(w.Type(mail)), "RADIO");
}

TEST(Window, MenusBuiltAndRemovedAtRunTime) {
  Window w("Main", "Main");
  int books = w.AddMenu("?AddressBooks", "Address &Books");
  int sales = w.AddMenu("?Book1", "  Sales", books);
  int select = w.AddItem("?Book1:Select", "Select", sales);
  w.AddItem("?Book1:Delete", "Delete", sales);
  int staff = w.AddItem("?Book2", "* Staff", books);
  w.AddSeparator(books);
  int create = w.AddItem("?Create", "Create an Address Book", books, "Create another personal or global address book");
  QMenu* booksMenu = w.Widget()->menuBar()->actions().first()->menu();
  ASSERT_NE(booksMenu, nullptr);
  auto texts = [&] {
    QStringList out;
    for (QAction* a : booksMenu->actions()) out << (a->isSeparator() ? QString("-") : a->text());
    return out;
  };
  EXPECT_EQ(texts(), (QStringList{"  Sales", "* Staff", "-", "Create an Address Book"}));
  EXPECT_EQ(w.MenuAction(create)->statusTip(), "Create another personal or global address book");

  Seen seen;
  seen.Watch(w);
  w.MenuAction(select)->trigger();
  w.MenuAction(staff)->trigger();
  EXPECT_EQ(seen.accepted, (std::vector<int>{select, staff}));
  w.Disable(select);
  EXPECT_FALSE(w.MenuAction(select)->isEnabled());
  w.SetChecked(staff, true);
  EXPECT_TRUE(w.IsChecked(staff));

  // Rebuilding: the submenu goes with its items.
  w.RemoveMenuControl(sales);
  EXPECT_FALSE(w.Has(sales));
  EXPECT_FALSE(w.Has(select));
  EXPECT_EQ(w.FieldOf("?Book1:Delete"), 0);
  EXPECT_EQ(texts(), (QStringList{"* Staff", "-", "Create an Address Book"}));
  int again = w.AddItem("?Book3", "  Team", books);
  EXPECT_LT(again, create) << "new menu numbers keep counting down";
  w.SetText(again, "* Team");
  EXPECT_EQ(w.Text(again), "* Team");

  // Toolbar buttons count with the menu items.
  int tool = w.AddToolButton("?Toolbar:Send", "Send", "", "Send the fax");
  EXPECT_LT(tool, again);
  EXPECT_STREQ(ControlTypeName(w.Type(tool)), "BUTTON");
  w.MenuAction(tool)->trigger();
  EXPECT_EQ(seen.accepted.back(), tool);
  w.Disable(tool);
  EXPECT_TRUE(w.IsDisabled(tool));
  w.RemoveMenuControl(tool);
  EXPECT_FALSE(w.Has(tool));
}

TEST(Window, TabChangeEvents) {
  Window w("Tabs", "Tabs", QRect(0, 0, 200, 120));
  int sheet = w.AddSheet("?Sheet_groups", QRect(5, 5, 180, 100));
  int t1 = w.AddTab(sheet, "?Tab_groups", "&Groups");
  int t2 = w.AddTab(sheet, "?Tab2", "Lists");
  int inTab = w.AddEntry("?InTab", QRect(5, 5, 50, 12), 0, t2);
  EXPECT_EQ(w.ControlWidget(inTab)->parentWidget(), w.ControlWidget(t2));
  EXPECT_EQ(w.Text(t1), "&Groups");
  Seen seen;
  seen.Watch(w);
  w.Open();
  auto* tabs = static_cast<QTabWidget*>(w.ControlWidget(sheet));
  QTabBar* bar = tabs->tabBar();
  QPoint at = bar->tabRect(1).center();
  QMouseEvent press(QEvent::MouseButtonPress, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(bar, &release);
  EXPECT_EQ(tabs->currentIndex(), 1);
  ASSERT_GE(seen.events.size(), 3u);
  EXPECT_TRUE(seen.Has(EventTabChanging, sheet));
  EXPECT_TRUE(seen.Has(EventNewSelection, sheet));
  w.SetText(t2, "Remote Lists");
  EXPECT_EQ(tabs->tabText(1), "Remote Lists");
  w.Close();
}

// A queue of groups as the send window keeps it.
struct Groups {
  LayoutPtr layout = MakeLayout("QG", {CSTRING("GroupID", 100), BYTE("Mark")});
  Queue queue{layout};
  explicit Groups(std::vector<std::string> names) {
    for (const auto& n : names) {
      queue.Buffer().Clear();
      queue.Buffer().Set("GroupID", n);
      queue.Add();
    }
  }
  std::vector<int> Marks() const {
    std::vector<int> out;
    for (int i = 1; i <= queue.Records(); ++i) out.push_back(static_cast<int>(queue.Entry(i).GetLong("Mark")));
    return out;
  }
};

void Click(ListControl* list, int row, Qt::KeyboardModifiers modifiers) {
  QPoint at = list->visualRect(list->model()->index(row, 0)).center();
  QMouseEvent press(QEvent::MouseButtonPress, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    modifiers);
  QApplication::sendEvent(list->viewport(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      modifiers);
  QApplication::sendEvent(list->viewport(), &release);
}

TEST(ListOverQueue, MarksHighlightAndControlClickSelectsSeveral) {
  Groups g({"Admin", "Sales", "Staff", "Support"});
  g.queue.Get(3);
  g.queue.Buffer().SetLong("Mark", 1);
  g.queue.Put();
  Window w("Main", "Main", QRect(0, 0, 200, 150));
  int list = w.AddList("?List_groups", QRect(5, 5, 150, 100), &g.queue, {{"Group Name", "GroupID", 100}}, "Mark");
  w.Open();
  ListControl* l = w.List(list);
  ASSERT_NE(l, nullptr);
  auto highlighted = [&] {
    std::vector<int> rows;
    for (const QModelIndex& i : l->selectionModel()->selectedRows()) rows.push_back(i.row());
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  EXPECT_EQ(highlighted(), (std::vector<int>{2})) << "a marked entry shows highlighted";

  Click(l, 0, Qt::NoModifier);
  EXPECT_EQ(g.Marks(), (std::vector<int>{1, 0, 0, 0})) << "a click marks that row alone";
  Click(l, 3, Qt::ControlModifier);
  Click(l, 1, Qt::ControlModifier);
  EXPECT_EQ(g.Marks(), (std::vector<int>{1, 1, 0, 1}));
  EXPECT_EQ(highlighted(), (std::vector<int>{0, 1, 3}));
  Click(l, 0, Qt::ControlModifier);
  EXPECT_EQ(g.Marks(), (std::vector<int>{0, 1, 0, 1})) << "Control-click toggles";
  guitest::Screenshot(w.Widget(), "list-marks.png");

  // The program changes the queue and shows it again.
  g.queue.Buffer().Clear();
  g.queue.Buffer().Set("GroupID", "Team");
  g.queue.Buffer().SetLong("Mark", 1);
  g.queue.Add();
  w.Display(list);
  EXPECT_EQ(l->model()->rowCount(), 5);
  EXPECT_EQ(highlighted(), (std::vector<int>{1, 3, 4}));
  w.Close();
}

TEST(ListOverQueue, FirstLetterTypeAhead) {
  Groups g({"Admin", "beta", "Sales", "Staff", "7 days"});
  Window w("ViewSendLog", "x", QRect(0, 0, 200, 150));
  int list = w.AddList("?List", QRect(5, 5, 150, 100), &g.queue, {{"Group", "GroupID", 100}});
  w.Open();
  ListControl* l = w.List(list);
  l->setFocus();
  guitest::TypeKeys(l, "s");
  EXPECT_EQ(l->Choice(), 3);
  guitest::TypeKeys(l, "B");
  EXPECT_EQ(l->Choice(), 2) << "letters match without case";
  guitest::TypeKeys(l, "7");
  EXPECT_EQ(l->Choice(), 5);
  guitest::TypeKeys(l, "z");
  EXPECT_EQ(l->Choice(), 5) << "no row starts with it: the choice stays";
  EXPECT_EQ(w.Choice(list), 5);
  // Limited keys: the others do nothing.
  l->SetTypeAheadKeys("123456789abcdefghijklmnopqrstuvwxyz");
  guitest::TypeKeys(l, "s");
  EXPECT_EQ(l->Choice(), 3);
  l->SetTypeAheadKeys("ABC");
  guitest::TypeKeys(l, "a");
  EXPECT_EQ(l->Choice(), 1);
  guitest::TypeKeys(l, "s7");
  EXPECT_EQ(l->Choice(), 1) << "S and 7 are not among the keys";
  w.SetChoice(list, 1);
  EXPECT_EQ(w.Choice(list), 1);
  w.Close();
}

TEST(ListOverQueue, DragAndDropBetweenLists) {
  Groups fields({"Company", "Contact", "Fax"});
  Groups columns({"col 1", "col 2", "col 3"});
  Window w("ImportTxtToKDF2option", "x", QRect(0, 0, 300, 150));
  int from = w.AddList("?List_fields", QRect(5, 5, 120, 100), &fields.queue, {{"Field", "GroupID", 100}});
  int to = w.AddList("?List_columns", QRect(150, 5, 120, 100), &columns.queue, {{"Column", "GroupID", 100}});
  w.AllowDrag(from, to);
  Seen seen;
  seen.Watch(w);
  int source = 0, sourceRow = 0, dropRow = 0;
  QObject::connect(&w, &Window::windowEvent, [&](int e, int) {
    if (e == EventDrop) source = w.DropSource(), sourceRow = w.DropSourceRow(), dropRow = w.DropRow();
  });
  w.Open();
  ListControl* a = w.List(from);
  ListControl* b = w.List(to);
  // As the window system delivers a drag: enter, move, drop.
  auto drop = [&](ListControl* target, QMimeData* data, int row) {
    QPoint at = target->visualRect(target->model()->index(row, 0)).center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target->viewport(), &enter);
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target->viewport(), &move);
    QDropEvent event(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target->viewport(), &event);
    return event.isAccepted();
  };
  std::unique_ptr<QMimeData> data(a->model()->mimeData({a->model()->index(1, 0)}));
  ASSERT_TRUE(data);
  EXPECT_TRUE(drop(b, data.get(), 2));
  EXPECT_TRUE(seen.Has(EventDrop, to));
  EXPECT_EQ(source, from);
  EXPECT_EQ(sourceRow, 2);
  EXPECT_EQ(dropRow, 3);

  // Not allowed the other way, nor from another window.
  seen.events.clear();
  std::unique_ptr<QMimeData> back(b->model()->mimeData({b->model()->index(0, 0)}));
  drop(a, back.get(), 0);
  EXPECT_FALSE(seen.Has(EventDrop, from));
  QMimeData foreign;
  foreign.setData(RowMimeType, "1234 1 1");
  EXPECT_FALSE(drop(b, &foreign, 0));
  w.Close();
}

TEST(Window, GeometryRoundTripsThroughTheIniFile) {
  mvntest::TempDir dir;
  std::string path = dir / "dashpost.INI";
  mvntest::WriteFile(path, "[Database]\r\nPathname=C:\\Books\\Personal\r\n");
  IniFile ini(path);
  Window::SetSettingsFile(&ini);
  {
    Window w("FindClient", "Browsing");
    w.Open();
    w.SetWindowPosition(QRect(21, 33, 251, 149));
    w.Close();
  }
  EXPECT_EQ(ini.Fetch("FindClient", "XPos"), "21");
  EXPECT_EQ(ini.Fetch("FindClient", "YPos"), "33");
  EXPECT_EQ(ini.Fetch("FindClient", "Width"), "251");
  EXPECT_EQ(ini.Fetch("FindClient", "Height"), "149");
  EXPECT_EQ(ini.Fetch("FindClient", "Maximize"), "No");
  EXPECT_EQ(ini.Fetch("Database", "Pathname"), "C:\\Books\\Personal") << "other settings stay";
  {
    Window again("FindClient", "Browsing", QRect(0, 0, 100, 100));
    again.Open();
    EXPECT_EQ(again.WindowPosition(), QRect(21, 33, 251, 149));
    again.Close();
  }
  std::string text = mvntest::ReadFile(path);
  EXPECT_NE(text.find("[FindClient]\r\nMaximize=No\r\nXPos=21\r\nYPos=33\r\nWidth=251\r\nHeight=149\r\n"),
            std::string::npos)
      << text;

  // Written by hand: maximised, and a value that is no number is ignored.
  ASSERT_TRUE(ini.Update("Main", "Maximize", "Yes"));
  ASSERT_TRUE(ini.Update("Main", "XPos", "abc"));
  ASSERT_TRUE(ini.Update("Main", "YPos", "7"));
  ASSERT_TRUE(ini.Update("Main", "Width", "300px"));
  ASSERT_TRUE(ini.Update("Main", "Height", "99999999999"));
  {
    Window main("Main", "Main", QRect(4, 5, 120, 90));
    main.Open();
    EXPECT_TRUE(main.Widget()->isMaximized());
    main.Widget()->showNormal();
    EXPECT_EQ(main.WindowPosition(), QRect(4, 7, 120, 90)) << "only the good number is taken";
    main.Close();
  }
  Window::SetSettingsFile(nullptr);
}

TEST(Window, Minimise) {
  Window w("Main", "Main");
  Seen seen;
  seen.Watch(w);
  w.Open();
  w.Minimise();
  EXPECT_TRUE(w.IsMinimised());
  EXPECT_EQ(std::count(seen.events.begin(), seen.events.end(), std::make_pair(int(EventIconize), 0)), 1);
  // As the window system does it.
  w.Widget()->showNormal();
  w.Widget()->setWindowState(Qt::WindowMinimized);
  EXPECT_EQ(std::count(seen.events.begin(), seen.events.end(), std::make_pair(int(EventIconize), 0)), 2);
  w.Close();
}

std::unique_ptr<Window> SmallProcedure(std::string name) {
  auto w = std::make_unique<Window>(std::move(name), "Small", QRect(0, 0, 100, 60));
  w->AddButton("?Close", "Close", QRect(5, 5, 40, 14));
  return w;
}

TEST(StartAndHalt, NonModalWindowsWithIds) {
  int a = Start([] { return SmallProcedure("AutoTextSetup"); });
  int b = Start([] { return SmallProcedure("CoverPageSetup"); });
  EXPECT_NE(a, 0);
  EXPECT_NE(b, 0);
  EXPECT_NE(a, b);
  ASSERT_NE(Started(a), nullptr);
  EXPECT_TRUE(Started(a)->Widget()->isVisible());
  EXPECT_FALSE(Started(a)->Widget()->isModal());

  // From another thread: the window is still made on the GUI thread.
  int c = 0;
  QEventLoop loop;
  std::thread worker([&] {
    c = Start([] { return SmallProcedure("Tip"); });
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  ASSERT_NE(c, 0);
  ASSERT_NE(Started(c), nullptr);
  EXPECT_EQ(Started(c)->thread(), QApplication::instance()->thread());
  EXPECT_EQ(Started(c)->Widget()->thread(), QApplication::instance()->thread());

  // Events posted to a started window arrive as if raised there.
  int seenEvent = 0;
  QObject::connect(Started(c), &Window::windowEvent, [&](int e, int) { seenEvent = e; });
  PostTo(c, 0x192);
  EXPECT_EQ(seenEvent, 0x192);

  // Closing one removes it.
  Started(a)->Close();
  QApplication::processEvents();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(Started(a), nullptr);

  // The rest close together (HALT does this first).
  CloseStartedWindows();
  EXPECT_EQ(Started(b), nullptr);
  EXPECT_EQ(Started(c), nullptr);
}

void AppendLine(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << "\n";
}

// HALT in a program of its own: the started windows close (saving their
// geometry) before the shut-down work registered earlier (the dictionary
// closing its files) runs, and the process ends with the code.
TEST(StartAndHalt, HaltClosesWindowsThenFilesAndEndsTheProgram) {
  if (const char* child = std::getenv("MVN_HALT_CHILD")) {
    std::string dir = child;
    static IniFile ini(dir + "/client.ini");
    Window::SetSettingsFile(&ini);
    OnHalt([dir] { AppendLine(dir + "/log", "files closed"); });
    int id = Start([dir] {
      auto w = SmallProcedure("Main");
      w->SetWindowPosition(QRect(10, 20, 200, 100));
      Window* raw = w.get();
      QObject::connect(raw, &Window::windowEvent, [dir](int e, int) {
        if (e == EventCloseWindow) AppendLine(dir + "/log", "window closed");
      });
      return w;
    });
    ASSERT_NE(id, 0);
    Halt(3);
  }
  mvntest::TempDir dir;
  std::string command = "MVN_HALT_CHILD=" + dir.str() + " ASAN_OPTIONS=detect_leaks=0 /proc/" +
                        std::to_string(getpid()) + "/exe --gtest_filter=StartAndHalt.HaltClosesWindowsThenFilesAndEndsTheProgram"
                        " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(mvntest::ReadFile(dir / "log"), "window closed\nfiles closed\n");
  IniFile ini(dir / "client.ini");
  EXPECT_EQ(ini.Fetch("Main", "XPos"), "10");
  EXPECT_EQ(ini.Fetch("Main", "Width"), "200");
}

TEST(StartAndHalt, IdeStartRunsModallyAndReturnsZero) {
  bool wasModal = false;
  guitest::When([] { return guitest::VisibleTopLevel("Tip"); },
                [&](QWidget* w) {
                  wasModal = w->isModal();
                  w->close();
                });
  EXPECT_EQ(Start([] { return SmallProcedure("Tip"); }, "IDE"), 0);
  EXPECT_TRUE(wasModal);
}

}  // namespace
