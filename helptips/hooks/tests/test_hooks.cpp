// The help-tip hooks against real windows: help events resolved to the
// nearest control, right-click popups with exclusions, unhooking, and the
// tip request's file name, position and modal run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <algorithm>
#include <memory>
#include <vector>

#include "framework/core/services.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"
#include "helptips/hooks/winhooks.h"
#include "tests/support/qtwait.h"

namespace fw = mvn::framework;
namespace ht = mvn::helptips;
using fw::Window;

namespace {

// A window with 40 check boxes (controls that are no text fields, whose
// popup is the What's-This text alone), so fields 3, 7, 13 and 37 exist,
// whose handler passes every event to the hooks and keeps the results.
struct Hooked {
  std::unique_ptr<Window> window;
  std::vector<int> results;
  explicit Hooked(int style, std::string exclusion = "") {
    window = std::make_unique<Window>("HookTest", "Hooks", QRect(30, 20, 300, 300));
    for (int i = 1; i <= 40; ++i)
      window->AddCheck("?E" + std::to_string(i), "Check " + std::to_string(i), QRect(5, 5 + i * 6, 60, 5));
    QObject::connect(window.get(), &Window::windowEvent, [this](int event, int field) {
      int r = ht::HintwellTakeEvent(window.get(), event, field);
      if (event == fw::EventHelp || event == fw::EventAlertKey) results.push_back(r);
    });
    window->Open();
    if (exclusion.empty()) ht::HintwellWindowOpened(window.get(), "HookTest", style);
    else ht::HintwellWindowOpened(window.get(), exclusion, false, style, false);
  }
  ~Hooked() {
    ht::HintwellWindowClosed(window.get());
    window->Close();
  }
  QWidget* W(int field) { return window->ControlWidget(field); }
};

void Drain() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

void RightClick(QWidget* w) {
  QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(2, 2), w->mapToGlobal(QPoint(2, 2)));
  QApplication::sendEvent(w, &e);
}

void WhatsThis(QWidget* w) {
  QHelpEvent e(QEvent::WhatsThis, QPoint(2, 2), w->mapToGlobal(QPoint(2, 2)));
  QApplication::sendEvent(w, &e);
}

}  // namespace

TEST(Hooks, WhatsThisOnAChildGivesItsFieldNumber) {
  Hooked h(0);
  WhatsThis(h.W(5));
  Drain();
  ASSERT_EQ(h.results, std::vector<int>{5});
  // Registered widgets take What's This, so What's-This mode clicks reach them.
  QEvent query(QEvent::QueryWhatsThis);
  query.ignore();
  QApplication::sendEvent(h.W(9), &query);
  EXPECT_TRUE(query.isAccepted());
}

TEST(Hooks, HelpOnACompositeInnerWidgetGivesTheComposite) {
  Window w("Composite", "Composite", QRect(0, 0, 200, 100));
  w.AddEntry("?First", QRect(5, 5, 50, 10));
  auto* spin = new QSpinBox;
  int field = w.Add(fw::ControlType::Spin, "?Spin", spin, QRect(5, 20, 50, 10));
  std::vector<int> got;
  QObject::connect(&w, &Window::windowEvent, [&](int e, int f) {
    if (e == fw::EventHelp) got.push_back(ht::HintwellTakeEvent(&w, e, f));
  });
  w.Open();
  ht::HintwellWindowOpened(&w, "Composite", 0);
  QLineEdit* inner = spin->findChild<QLineEdit*>();
  ASSERT_NE(inner, nullptr);
  WhatsThis(inner);
  Drain();
  // F1 on the focused inner edit: the same control.
  inner->setFocus();
  w.Widget()->activateWindow();
  QApplication::setActiveWindow(w.Widget());
  QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
  QApplication::sendEvent(inner, &f1);
  Drain();
  EXPECT_EQ(got, (std::vector<int>{field, field}));
  ht::HintwellWindowClosed(&w);
  w.Close();
}

TEST(Hooks, ExclusionKeepsOnlyTheNamedControlsOffTheRightClick) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  Hooked h(0, "3|7");
  for (int i = 0; i < 4; ++i) services.AnswerPopup(1);
  for (int f : {3, 7, 13, 37}) {
    RightClick(h.W(f));
    Drain();
  }
  EXPECT_EQ(h.results, (std::vector<int>{13, 37}));
  ASSERT_EQ(services.popups.size(), 2u);
  EXPECT_EQ(services.popups[0][0].text, ht::Settings().whatsThisText);
}

TEST(Hooks, PopupChoiceDismissalAndOtherItems) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  Hooked h(1);
  services.AnswerPopup(1);
  services.AnswerPopup(0);
  services.AnswerPopup(3);
  // A composite's inner widget (a list's viewport, an entry's own edit) is
  // the control too.
  for (int i = 0; i < 3; ++i) {
    RightClick(h.W(4));
    Drain();
  }
  EXPECT_EQ(h.results, (std::vector<int>{4, 0, -3}));
  // An alert that the right-click hook did not raise is not ours.
  h.window->Post(fw::EventAlertKey, 4);
  EXPECT_EQ(h.results.back(), 0);
}

namespace {

// What a person reads in a popup: each item's text without its mnemonic
// and shortcut, "~" before a greyed one, "-" for a separator.
std::vector<std::string> Shown(const std::vector<fw::PopupItem>& items) {
  std::vector<std::string> out;
  for (const fw::PopupItem& item : items) {
    if (item.kind == fw::PopupItem::Separator) {
      out.push_back("-");
      continue;
    }
    std::string text;
    for (char c : item.text.substr(0, item.text.find('\t')))
      if (c != '&') text += c;
    out.push_back((item.greyed ? "~" : "") + text);
  }
  return out;
}

bool Has(const std::vector<std::string>& shown, const std::string& item) {
  return std::find(shown.begin(), shown.end(), item) != shown.end();
}

}  // namespace

// A right click on a text field (entry, text, editable drop list) keeps the
// field's own edit actions, enabled as the field's state allows, then a
// separator and the popup's items, which keep their numbers. Paste pastes
// and asks for no tip; What's This gives the field. Other controls keep the
// popup of the What's-This text alone.
TEST(Hooks, TextFieldsKeepTheirEditActionsBeforeThePopupItems) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  ht::HintwellSetWhatsThisText("&What's This?");
  Window w("TextFields", "Text fields", QRect(0, 0, 200, 110));
  int line = w.AddEntry("?Line", QRect(5, 5, 80, 10));
  int text = w.AddText("?Text", QRect(5, 20, 80, 30));
  auto* combo = new QComboBox;
  combo->setEditable(true);
  int drop = w.Add(fw::ControlType::DropList, "?Combo", combo, QRect(5, 55, 80, 12));
  int check = w.AddCheck("?Check", "Check", QRect(5, 72, 80, 10));
  std::string popupText;
  bool useWhatsThis = true;
  std::vector<int> got;
  QObject::connect(&w, &Window::windowEvent, [&](int e, int f) {
    if (e == fw::EventAlertKey) got.push_back(ht::HintwellTakeEvent(&w, e, f, popupText, useWhatsThis));
  });
  w.Open();
  ht::HintwellWindowOpened(&w, "TextFields", 0);
  QApplication::clipboard()->setText("+44 20 7946 0000");
  auto* edit = static_cast<QLineEdit*>(w.ControlWidget(line));
  auto* plain = static_cast<QPlainTextEdit*>(w.ControlWidget(text));

  // An empty entry: nothing to cut or copy, something to paste; What's This
  // after the edit actions and a separator.
  services.AnswerPopupItem("What's This?");
  RightClick(edit);
  Drain();
  ASSERT_EQ(services.popups.size(), 1u);
  std::vector<std::string> shown = Shown(services.popups[0]);
  EXPECT_TRUE(Has(shown, "~Cut") && Has(shown, "~Copy") && Has(shown, "Paste"))
      << ::testing::PrintToString(shown);
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(shown[shown.size() - 2], "-");
  EXPECT_EQ(shown.back(), "What's This?");
  EXPECT_EQ(got, std::vector<int>{line});

  // Paste from the menu puts the clipboard into the field; no tip is asked.
  got.clear();
  services.AnswerPopupItem("Paste");
  RightClick(edit);
  Drain();
  EXPECT_EQ(edit->text().toStdString(), "+44 20 7946 0000");
  EXPECT_EQ(got, std::vector<int>{0});
  // With the text selected, Cut is offered and takes it out.
  edit->selectAll();
  QApplication::clipboard()->clear();
  services.AnswerPopupItem("Cut");
  RightClick(edit);
  Drain();
  EXPECT_TRUE(Has(Shown(services.popups.back()), "Cut"));
  EXPECT_EQ(edit->text().toStdString(), "");
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "+44 20 7946 0000");

  // A text control, right-clicked in its viewport, and an editable drop
  // list, in its line.
  got.clear();
  services.AnswerPopupItem("Paste");
  RightClick(plain->viewport());
  Drain();
  services.AnswerPopupItem("What's This?");
  RightClick(combo->lineEdit());
  Drain();
  EXPECT_EQ(plain->toPlainText().toStdString(), "+44 20 7946 0000");
  EXPECT_TRUE(Has(Shown(services.popups.back()), "Paste"));
  EXPECT_EQ(got, (std::vector<int>{0, drop}));

  // A window's own popup on a text field: its items keep their numbers.
  got.clear();
  popupText = "Add files|Remove them|-|What's This";
  useWhatsThis = false;
  services.AnswerPopupItem("Add files");
  services.AnswerPopupItem("Remove them");
  services.AnswerPopupItem("What's This");
  services.AnswerPopup(0);
  for (int i = 0; i < 4; ++i) {
    RightClick(edit);
    Drain();
  }
  EXPECT_EQ(got, (std::vector<int>{line, -2, -3, 0}));

  // A control that is no text field: the What's-This item alone.
  popupText.clear();
  useWhatsThis = true;
  services.AnswerPopup(1);
  RightClick(w.ControlWidget(check));
  Drain();
  EXPECT_EQ(Shown(services.popups.back()), std::vector<std::string>{"What's This?"});
  EXPECT_EQ(got.back(), check);
  ht::HintwellWindowClosed(&w);
  w.Close();
}

TEST(Hooks, StyleOneGetsNoHelpHookButRightClickStillWorks) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  Hooked h(1);
  WhatsThis(h.W(2));
  Drain();
  EXPECT_TRUE(h.results.empty());
  for (const auto& e : ht::winhooks::WatchList()) EXPECT_NE(e.window, h.window.get());
  services.AnswerPopup(1);
  RightClick(h.W(2));
  Drain();
  EXPECT_EQ(h.results, std::vector<int>{2});
}

TEST(Hooks, UnhookingRemovesTheWindowAndItsChildren) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  Hooked h(0);
  size_t before = ht::winhooks::WatchList().size();
  ASSERT_GT(before, 0u);
  ht::HintwellWindowClosed(h.window.get());
  EXPECT_EQ(ht::winhooks::WatchList().size(), before - 1);
  WhatsThis(h.W(5));
  services.AnswerPopup(1);
  RightClick(h.W(5));
  Drain();
  EXPECT_TRUE(h.results.empty());
  EXPECT_TRUE(services.popups.empty());
  // Unhooking a window never hooked changes nothing.
  Window other("Other", "Other");
  ht::HintwellWindowClosed(&other);
  EXPECT_EQ(ht::winhooks::WatchList().size(), before - 1);
}

TEST(Hooks, WatchEntriesGoWithTheirWidget) {
  size_t before = ht::winhooks::WatchList().size();
  {
    auto w = std::make_unique<Window>("Gone", "Gone");
    w->AddEntry("?A", QRect(0, 0, 10, 10));
    w->Open();
    ht::HintwellWindowOpened(w.get(), "Gone", 0);
    EXPECT_EQ(ht::winhooks::WatchList().size(), before + 1);
  }
  EXPECT_EQ(ht::winhooks::WatchList().size(), before);
}

TEST(Hooks, RangeRegistersEveryMessageAndMapsClose) {
  Window w("Range", "Range");
  w.AddEntry("?A", QRect(0, 0, 10, 10));
  std::vector<int> events;
  QObject::connect(&w, &Window::windowEvent, [&](int e, int) { events.push_back(e); });
  w.Open();
  ht::winhooks::SetHelpOnly(false);
  ht::winhooks::HookWindow(&w, ht::winhooks::MsgMouseMove, ht::winhooks::MsgLButtonUp, ht::winhooks::ActionMap | ht::winhooks::ActionPass);
  int mine = 0;
  for (const auto& e : ht::winhooks::WatchList())
    if (e.window == &w) ++mine;
  EXPECT_EQ(mine, 3);
  EXPECT_EQ(ht::winhooks::MessageEvent(ht::winhooks::MsgClose), fw::EventCloseWindow);
  EXPECT_EQ(ht::winhooks::MessageEvent(ht::winhooks::MsgNcRButtonUp), fw::EventMouseUp);
  EXPECT_EQ(ht::winhooks::MessageEvent(ht::winhooks::MsgTimer), fw::EventTimer);
  ht::winhooks::UnhookWindowAndChildren(&w);
  ht::winhooks::SetHelpOnly(true);
  w.Close();
}

TEST(Hooks, SessionEndClosesHookedWindowsThroughTheirClose) {
  Hooked h(0);
  bool closeEvent = false;
  QObject::connect(h.window.get(), &Window::windowEvent, [&](int e, int) {
    if (e == fw::EventCloseWindow) closeEvent = true;
  });
  ht::winhooks::EndSession();
  Drain();
  EXPECT_TRUE(closeEvent);
  EXPECT_FALSE(h.window->IsOpen());
}

TEST(TipStart, FileNamePositionRememberedControlAndModal) {
  std::vector<std::pair<ht::TipRequest, bool>> calls;
  ht::SetTipWindowFactory([&](const ht::TipRequest& r, bool modal) {
    calls.emplace_back(r, modal);
    return modal ? 0 : 42;
  });
  Window w("TipWin", "Tips", QRect(30, 20, 200, 100));
  int a = w.AddCheck("?A", "A", QRect(10, 4, 40, 8));
  w.Open();
  w.SetWindowPosition(QRect(30, 20, 200, 100));
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  services.AnswerPopup(1);
  ht::HintwellWindowOpened(&w, "TipWin", 0);
  QObject::connect(&w, &Window::windowEvent, [&](int e, int f) {
    int r = ht::HintwellTakeEvent(&w, e, f);
    if (r > 0) ht::HintwellTipRequest("ENTRY", "?A", "TipWin", "");
  });
  RightClick(w.ControlWidget(a));
  Drain();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].first.tipFile, "Hintwell.Kdf");
  EXPECT_FALSE(calls[0].second);
  QRect wp = w.WindowPosition();
  EXPECT_EQ(calls[0].first.x, static_cast<int>((10 + wp.x()) * 1.25));
  EXPECT_EQ(calls[0].first.y, static_cast<int>((4 + wp.y()) * 1.25));
  // The remembered control was forgotten: the next request keeps the position.
  EXPECT_EQ(ht::CurrentRequest().rememberedControl, 0);
  int xBefore = ht::CurrentRequest().x;
  EXPECT_EQ(ht::TipStart(0, "IDE", "?A", "TipWin", "/tmp/t.kdf"), 0);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].second);
  EXPECT_EQ(calls[1].first.x, xBefore);
  EXPECT_EQ(calls[1].first.tipFile, "/tmp/t.kdf");
  // A factory that cannot open non-modal: the tip runs on this thread.
  ht::SetTipWindowFactory([&](const ht::TipRequest& r, bool modal) {
    calls.emplace_back(r, modal);
    return 0;
  });
  EXPECT_EQ(ht::TipStart(0, "BUTTON", "?A", "TipWin", ""), 0);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_TRUE(calls[3].second);
  ht::SetTipWindowFactory(nullptr);
  ht::HintwellWindowClosed(&w);
  w.Close();
}

TEST(TipStart, ArithmeticOfTheStoredPosition) {
  // A control at X = 10 in a window at X = 30 gives 50.
  ht::SetTipWindowFactory([](const ht::TipRequest&, bool) { return 7; });
  Window w("Pos", "Pos", QRect(30, 0, 100, 50));
  int a = w.AddEntry("?A", QRect(10, 0, 20, 8));
  w.Open();
  w.SetWindowPosition(QRect(30, 0, 100, 50));
  ht::HintwellWindowOpened(&w, "Pos", 1);
  QRect wp = w.WindowPosition();
  ASSERT_EQ(wp.x(), 30);
  EXPECT_EQ(ht::TipStart(a, "ENTRY", "?A", "Pos", ""), 7);
  EXPECT_EQ(ht::CurrentRequest().x, 50);
  ht::SetTipWindowFactory(nullptr);
  ht::HintwellWindowClosed(&w);
  w.Close();
}

// What program main sets up reaches the user: the What's-This text is the
// right-click popup's item, and the caption (cut at 80 bytes, never inside a
// UTF-8 character) is the tip window's title.
TEST(Setup, ValuesReachThePopupAndTheTipWindow) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  ht::HintwellSetEdit(0);
  ht::HintwellSetWhatsThisText("&Explain this");
  ht::HintwellSetup(1);
  const std::string caption = std::string(79, 'c') + "\xC3\xA9";  // 81 bytes, the last character two
  ht::HintwellSetCaption(caption);
  ht::HintwellSetVariableWidth(1);
  {
    Hooked h(0);
    services.AnswerPopup(0);
    RightClick(h.W(3));
    Drain();
    ASSERT_EQ(services.popups.size(), 1u);
    ASSERT_FALSE(services.popups[0].empty());
    EXPECT_EQ(services.popups[0][0].text, "&Explain this");

    // The tip window the request opens (the built-in one: no factory set).
    ht::SetTipWindowFactory(nullptr);
    ASSERT_NE(ht::TipStart(3, "ENTRY", "?E3", "HookTest", ""), 0);
    QWidget* tip = nullptr;
    ASSERT_TRUE(mvntest::WaitUntil([&] { return (tip = mvntest::VisibleTopLevel("TipWindow")) != nullptr; }));
    EXPECT_EQ(tip->windowTitle().toStdString(), std::string(79, 'c'));
    tip->close();
    Drain();
  }
  ht::HintwellSetWhatsThisText("&What's This?");
  ht::HintwellSetCaption("A Tip ...");
}

TEST(Trace, SwitchesShowTheirLinesInTheStopBox) {
  fw::ScriptedServices services;
  fw::ScopedServices scope(&services);
  const char* argv[] = {"dashpost", "/HWTRACE", "/hwt", "/other"};
  ht::SetTraceSwitches(4, argv);
  services.AnswerMessage(fw::ButtonIgnore);
  ht::HintwellSetEdit(0);
  ht::SetTipWindowFactory([](const ht::TipRequest&, bool) { return 42; });
  services.AnswerMessage(fw::ButtonIgnore);
  EXPECT_EQ(ht::TipStart(0, "ENTRY", "?A", "P", ""), 42);
  ht::SetTipWindowFactory(nullptr);
  const char* none[] = {"dashpost"};
  ht::SetTraceSwitches(1, none);
  ASSERT_EQ(services.messages.size(), 2u);
  EXPECT_EQ(services.messages[0].text, " Set Edit : 0");
  EXPECT_EQ(services.messages[1].text, "Start returned : 42");
  EXPECT_EQ(services.messages[1].buttons, fw::ButtonIgnore | fw::ButtonAbort);
}
