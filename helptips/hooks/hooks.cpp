#include "helptips/hooks/hooks.h"

#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCursor>
#include <QEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextEdit>
#include <QWidget>
#include <cstring>
#include <map>
#include <set>

#include "framework/core/record.h"
#include "framework/core/runtime.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/window.h"
#include "helptips/hooks/winhooks.h"

namespace mvn::helptips {

using mvn::framework::Window;
namespace fw = mvn::framework;

namespace {

struct Trace {
  bool trace = false, debug = false, tdbg = false, start = false;
};

struct PendingAlert {
  int field = 0;
  QPointer<QWidget> textField;  // the text field right-clicked, if it is one
  QPoint at;                    // where the menu opens (screen)
};

struct HookState {
  HintwellSettings settings;
  TipRequest request;
  Trace trace;
  TipWindowFactory factory;
  std::map<Window*, PendingAlert> alerts;
  QPointer<Window> current;  // the window that last called a hook
};

HookState& H() {
  static HookState h;
  return h;
}

std::string Str(const char* s) { return s ? std::string(s) : std::string(); }

// The stop box of a trace line: the user goes on or ends the program.
void TraceLine(const std::string& text) {
  unsigned b = fw::Message(text, "Stop", fw::Icon::Hand, fw::ButtonIgnore | fw::ButtonAbort, fw::ButtonIgnore);
  if (b == fw::ButtonAbort) fw::Halt(1);
}

// The registered control nearest to a widget: the widget itself or its
// closest ancestor that is a control of the window; 0 for none.
int ControlOf(Window* window, QWidget* widget) {
  if (!window || !widget) return 0;
  std::map<QWidget*, int> byWidget;
  for (int f : window->Fields())
    if (f > 0)
      if (QWidget* w = window->ControlWidget(f)) byWidget.emplace(w, f);
  for (QWidget* w = widget; w; w = w->parentWidget()) {
    auto it = byWidget.find(w);
    if (it != byWidget.end()) return it->second;
    if (w == window->Widget()) break;
  }
  return 0;
}

// The text field a control is, whose own edit actions its popup keeps: a
// line edit, a text edit, or the line of an editable drop list; nullptr for
// any other control.
QWidget* TextFieldOf(QWidget* control) {
  if (qobject_cast<QLineEdit*>(control) || qobject_cast<QPlainTextEdit*>(control) ||
      qobject_cast<QTextEdit*>(control))
    return control;
  if (auto* combo = qobject_cast<QComboBox*>(control))
    if (combo->isEditable()) return combo->lineEdit();
  return nullptr;
}

// The edit menu the text field itself offers (Undo, Cut, Copy, Paste ...,
// each enabled as the field's state allows); the caller deletes it.
QMenu* StandardEditMenu(QWidget* field) {
  if (auto* line = qobject_cast<QLineEdit*>(field)) return line->createStandardContextMenu();
  if (auto* plain = qobject_cast<QPlainTextEdit*>(field)) return plain->createStandardContextMenu();
  if (auto* rich = qobject_cast<QTextEdit*>(field)) return rich->createStandardContextMenu();
  return nullptr;
}

// The popup of a right click: on a text field its own edit actions, a
// separator and then the popup's items, so the field keeps Cut, Copy and
// Paste. Returns the number of the chosen popup item as if the edit actions
// were not there (0 when nothing or an edit action was chosen; the chosen
// edit action has been carried out on the field).
int ShowPopup(const PendingAlert& alert, std::vector<fw::PopupItem> items) {
  QPointer<QMenu> edit = alert.textField ? StandardEditMenu(alert.textField) : nullptr;
  std::vector<QPointer<QAction>> actions;
  std::vector<fw::PopupItem> all;
  if (edit) {
    for (QAction* a : edit->actions()) {
      if (!a->isVisible()) continue;
      if (a->isSeparator()) {
        if (!all.empty() && all.back().kind != fw::PopupItem::Separator) all.push_back(fw::PopupItem::Line());
        continue;
      }
      if (a->menu()) continue;  // a submenu has no place in a flat popup
      fw::PopupItem item;
      item.text = a->text().toStdString();  // "&Paste", a tab and the shortcut
      item.greyed = !a->isEnabled();
      all.push_back(std::move(item));
      actions.emplace_back(a);
    }
    if (!all.empty() && all.back().kind != fw::PopupItem::Separator) all.push_back(fw::PopupItem::Line());
  }
  const int editItems = static_cast<int>(actions.size());
  all.insert(all.end(), items.begin(), items.end());
  QPoint at = alert.at.isNull() ? QCursor::pos() : alert.at;
  int chosen = fw::Services().Popup(all, at.x(), at.y());
  if (chosen > 0 && chosen <= editItems) {
    if (QAction* a = actions[static_cast<size_t>(chosen - 1)]) a->trigger();
    chosen = 0;
  } else if (chosen > editItems) {
    chosen -= editItems;
  }
  delete edit.data();
  return chosen;
}

// Right clicks on the controls of one window: a context-menu event on a
// control (or on its viewport or inner line edit) becomes an alert event
// for that control, and the widget's own menu does not also appear (the
// popup of the alert offers a text field's edit actions itself).
class RightClick : public QObject {
 public:
  RightClick(Window* window, std::map<QWidget*, int> fields)
      : QObject(window->Widget()), m_window(window), m_fields(std::move(fields)) {}

  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::ContextMenu || !watched->isWidgetType()) return false;
    int field = 0;
    for (auto* w = static_cast<QWidget*>(watched); w && !field; w = w->parentWidget()) {
      auto it = m_fields.find(w);
      if (it != m_fields.end()) field = it->second;
      if (w == m_window->Widget()) break;
    }
    if (!field) return false;
    // Accepted and consumed: it reaches no parent, and the widget's own
    // menu does not show as well.
    e->accept();
    PendingAlert alert;
    alert.field = field;
    alert.textField = TextFieldOf(m_window->ControlWidget(field));
    alert.at = static_cast<QContextMenuEvent*>(e)->globalPos();
    H().alerts[m_window] = alert;
    QPointer<Window> window = m_window;
    fw::Window* raw = m_window;
    QMetaObject::invokeMethod(raw, [window, field] {
      if (window) window->Post(fw::EventAlertKey, field);
    }, Qt::QueuedConnection);
    return true;
  }

  void Watch() {
    for (auto& [widget, field] : m_fields) {
      widget->installEventFilter(this);
      for (QWidget* inner : widget->findChildren<QWidget*>()) inner->installEventFilter(this);
    }
  }

  void Unwatch() {
    for (auto& [widget, field] : m_fields) {
      if (!m_alive.count(widget)) continue;
      widget->removeEventFilter(this);
      for (QWidget* inner : widget->findChildren<QWidget*>()) inner->removeEventFilter(this);
    }
  }

  void Track() {
    for (auto& [widget, field] : m_fields) {
      m_alive.insert(widget);
      connect(widget, &QObject::destroyed, this, [this, widget = widget] { m_alive.erase(widget); });
    }
  }

 private:
  Window* m_window;
  std::map<QWidget*, int> m_fields;
  std::set<QWidget*> m_alive;
};

std::map<Window*, QPointer<RightClick>>& RightClicks() {
  static std::map<Window*, QPointer<RightClick>> r;
  return r;
}

// The minimal tip window: the request's control and procedure, placed at
// the stored position and brought to the front.
int MinimalTipWindow(const TipRequest& request, bool modal) {
  TipRequest r = request;
  auto build = [r] {
    std::string caption = H().settings.caption.empty() ? std::string("A Tip ...") : H().settings.caption;
    auto w = std::make_unique<Window>("TipWindow", caption, QRect(r.x, r.y, 180, 60));
    std::string name = r.control;
    if (!name.empty() && name.front() == '?') name.erase(0, 1);
    w->AddPrompt("?TipText", "No tip has been written for " + name + " in " + r.procedure + " yet.",
                 QRect(5, 5, 170, 30));
    int ok = w->AddButton("?OK", "&OK", QRect(130, 40, 45, 14));
    Window* raw = w.get();
    QObject::connect(raw, &Window::accepted, raw, [raw, ok](int field) {
      if (field == ok) raw->Close();
    });
    QObject::connect(raw, &Window::windowEvent, raw, [raw, r](int event, int) {
      if (event != fw::EventOpenWindow) return;
      raw->SetWindowPosition(QRect(r.x, r.y, 180, 60));
      if (QWidget* top = raw->Widget()) {
        // Topmost and then not: to the front without staying on top.
        top->raise();
        top->activateWindow();
      }
    });
    return w;
  };
  return fw::Start(build, modal ? "IDE" : "");
}

}  // namespace

// ---------------------------------------------------------------------------
// Set-up

void HintwellSetEdit(int flag) {
  H().settings.edit = flag;
  if (H().trace.trace) TraceLine(" Set Edit : " + std::to_string(flag));
}

void HintwellSetWhatsThisText(std::string_view text) { H().settings.whatsThisText = fw::CutUtf8(text, 100); }

void HintwellSetup(int) {}

void HintwellSetCaption(std::string_view caption) { H().settings.caption = fw::CutUtf8(caption, 80); }

void HintwellSetVariableWidth(int flag) {
  H().settings.variableWidth = flag;
  if (H().trace.trace) TraceLine(" Set Variable Width : " + std::to_string(flag));
}

const HintwellSettings& Settings() { return H().settings; }

void SetTraceSwitches(int argc, const char* const* argv) {
  Trace t;
  for (int i = 1; i < argc; ++i) {
    std::string a = fw::Lower(argv[i] ? argv[i] : "");
    if (a == "/hwtrace") t.trace = true;
    else if (a == "/hwdebug") t.debug = true;
    else if (a == "/hwtdbg") t.tdbg = true;
    else if (a == "/hwt") t.start = true;
  }
  H().trace = t;
}

// ---------------------------------------------------------------------------
// Hooks

void HintwellWindowOpened(Window* window, const char*, int styleFlags) {
  HintwellWindowOpened(window, "|", false, styleFlags, false);
}

void HintwellWindowOpened(Window* window, std::string_view exclusion, bool allControls, int styleFlags,
                          bool overrideFlags) {
  if (!window || !window->Widget()) return;
  H().current = window;
  int flags = overrideFlags ? 0 : styleFlags;
  if ((flags & 1) == 0) {
    // The help hook: F1 and What's This post the help event and are
    // answered here, not passed on.
    winhooks::SetHelpOnly(true);
    winhooks::HookWindow(window, winhooks::MsgHelp, winhooks::MsgHelp, winhooks::ActionHelp | winhooks::ActionTrue);
  }
  std::string excluded = allControls ? std::string("|") : "|" + std::string(exclusion) + "|";
  std::vector<int> fields = window->Fields();
  if (H().trace.debug && !fields.empty())
    TraceLine("First field : " + std::to_string(fields.front()) + "  Last field : " + std::to_string(fields.back()));
  std::map<QWidget*, int> watched;
  for (int f : fields) {
    QWidget* w = window->ControlWidget(f);
    if (f <= 0 || !w) continue;
    if (excluded.find("|" + std::to_string(f) + "|") != std::string::npos) {
      if (H().trace.debug) TraceLine("Excluded control : " + std::to_string(f));
      continue;
    }
    if (H().trace.debug) TraceLine("Control : " + std::to_string(f));
    watched.emplace(w, f);
  }
  if (auto old = RightClicks()[window]) {
    old->Unwatch();
    delete old.data();
  }
  auto* rc = new RightClick(window, watched);
  rc->Track();
  rc->Watch();
  RightClicks()[window] = rc;
  if (fw::Clip(H().settings.whatsThisText).empty()) H().settings.whatsThisText = "What's This";
}

int HintwellTakeEvent(Window* window, int event, int field) { return HintwellTakeEvent(window, event, field, "", true); }

int HintwellTakeEvent(Window* window, int event, int field, std::string_view popupText, bool useWhatsThis) {
  if (!window) return 0;
  H().current = window;
  if (event == fw::EventHelp) {
    QWidget* w = winhooks::HelpWidget(window);
    winhooks::ClearHelpWidget(window);
    if (int f = ControlOf(window, w)) {
      H().request.rememberedControl = f;
      H().request.rememberedWindow = window;
      return f;
    }
    if (H().trace.tdbg) {
      std::vector<int> fields = window->Fields();
      TraceLine("Last field : " + std::to_string(fields.empty() ? 0 : fields.back()));
    }
    return 0;
  }
  if (event == fw::EventAlertKey) {
    auto it = H().alerts.find(window);
    if (it == H().alerts.end() || it->second.field != field) return 0;
    PendingAlert alert = it->second;
    H().alerts.erase(it);  // the key code is cleared whatever is chosen
    std::string text = useWhatsThis ? H().settings.whatsThisText : std::string(popupText);
    int chosen = ShowPopup(alert, fw::ParsePopupText(text));
    if (chosen == 1) {
      H().request.rememberedControl = field;
      H().request.rememberedWindow = window;
      return field;
    }
    return -chosen;
  }
  return 0;
}

void HintwellTipRequest(const char* controlType, const char* label, const char* procedure, const char* tipFile) {
  TipStart(0, Str(controlType), Str(label), Str(procedure), Str(tipFile));
}

void HintwellWindowClosed(Window* window) {
  if (!window) return;
  winhooks::UnhookWindowAndChildren(window);
  auto it = RightClicks().find(window);
  if (it != RightClicks().end()) {
    if (it->second) {
      it->second->Unwatch();
      delete it->second.data();
    }
    RightClicks().erase(it);
  }
  H().alerts.erase(window);
  if (H().request.rememberedWindow == window) {
    H().request.rememberedWindow = nullptr;
    H().request.rememberedControl = 0;
  }
  if (H().request.window == window) H().request.window = nullptr;
}

// ---------------------------------------------------------------------------
// The tip request

const TipRequest& CurrentRequest() { return H().request; }

void SetTipWindowFactory(TipWindowFactory factory) { H().factory = std::move(factory); }

int TipStart(int controlNumber, std::string_view controlType, std::string_view control, std::string_view procedure,
             std::string_view tipFile) {
  TipRequest& r = H().request;
  r.tipFile = fw::Clip(tipFile).empty() ? std::string("Hintwell.Kdf") : fw::CutUtf8(tipFile, 255);
  r.procedure = fw::CutUtf8(procedure, 50);
  r.control = fw::CutUtf8(control, 50);
  r.controlType = fw::CutUtf8(controlType, 20);
  int number = controlNumber;
  Window* window = H().current.data();
  if (number == 0) {
    number = r.rememberedControl;
    if (r.rememberedWindow) window = r.rememberedWindow;
    r.rememberedControl = 0;
    r.rememberedWindow = nullptr;
  }
  r.window = window;
  r.controlField = number;
  if (number != 0 && window && window->Has(number)) {
    QRect c = window->Position(number), w = window->WindowPosition();
    r.x = static_cast<int>((c.x() + w.x()) * 1.25);
    r.y = static_cast<int>((c.y() + w.y()) * 1.25);
    r.width = static_cast<int>((c.width() + w.width()) * 1.25);
    r.height = static_cast<int>((c.height() + w.height()) * 1.25);
  }
  TipWindowFactory factory = H().factory ? H().factory : TipWindowFactory(MinimalTipWindow);
  int id = 0;
  if (fw::Upper(fw::Clip(r.controlType)) == "IDE") {
    factory(r, true);
  } else {
    id = factory(r, false);
    if (id == 0) factory(r, true);
    if (id < 0) id = 0;  // the window could not open and has said so
  }
  if (H().trace.start) TraceLine("Start returned : " + std::to_string(id));
  return id;
}

}  // namespace mvn::helptips
