#include "helptips/hooks/winhooks.h"

#include <QApplication>
#include <QMainWindow>
#include <QEvent>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWhatsThis>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/gui/window.h"

namespace mvn::helptips::winhooks {

using mvn::framework::Window;

namespace {

struct State {
  std::vector<WatchEntry> watch;  // ordered by widget address
  std::vector<int> messages;
  std::map<Window*, QPointer<QWidget>> helpWidgets;
  bool helpOnly = false;
  const QEvent* lastEvent = nullptr;  // an event propagating to parents is handled once
  QEvent::Type lastType = QEvent::None;
};

State& S() {
  static State s;
  return s;
}

void Forget(QObject* object) {
  auto& w = S().watch;
  w.erase(std::remove_if(w.begin(), w.end(),
                         [&](const WatchEntry& e) { return e.widget.isNull() || e.widget.data() == object; }),
          w.end());
}

WatchEntry* Entry(QWidget* top, int message) {
  // From the last entry backwards, as a later hook overrides an earlier.
  auto& w = S().watch;
  for (auto it = w.rbegin(); it != w.rend(); ++it)
    if (it->widget.data() == top && it->message == message) return &*it;
  return nullptr;
}

bool Watched(QWidget* top) {
  for (const WatchEntry& e : S().watch)
    if (e.widget.data() == top) return true;
  return false;
}

void QueuePost(Window* window, int event) {
  QTimer::singleShot(0, window, [window, event] { window->Post(event, 0); });
}

int MouseMessage(const QMouseEvent* m, bool down) {
  switch (m->button()) {
    case Qt::LeftButton: return down ? MsgLButtonDown : MsgLButtonUp;
    case Qt::RightButton: return down ? MsgRButtonDown : MsgRButtonUp;
    case Qt::MiddleButton: return down ? MsgMButtonDown : MsgMButtonUp;
    default: return 0;
  }
}

class Filter : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (S().watch.empty() || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    QWidget* top = widget->window();
    if (!top || !Watched(top)) return false;
    int message = 0;
    QWidget* target = widget;
    switch (e->type()) {
      case QEvent::QueryWhatsThis:
        // Registered windows take What's This for every widget, so a click
        // in What's-This mode arrives as a help event.
        if (Entry(top, MsgHelp)) {
          e->accept();
          return true;
        }
        return false;
      case QEvent::WhatsThis: message = MsgHelp; break;
      case QEvent::KeyPress: {
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() != Qt::Key_F1 || !Entry(top, MsgHelp)) return false;
        if (k->modifiers() & Qt::ShiftModifier) {
          QWhatsThis::enterWhatsThisMode();
          return true;
        }
        message = MsgHelp;
        if (QWidget* focus = QApplication::focusWidget(); focus && focus->window() == top) target = focus;
        break;
      }
      case QEvent::Close:
        if (widget != top) return false;
        message = MsgClose;
        break;
      case QEvent::MouseMove: message = MsgMouseMove; break;
      case QEvent::MouseButtonPress: message = MouseMessage(static_cast<QMouseEvent*>(e), true); break;
      case QEvent::MouseButtonRelease: message = MouseMessage(static_cast<QMouseEvent*>(e), false); break;
      case QEvent::Timer: message = MsgTimer; break;
      default: return false;
    }
    if (message == 0) return false;
    if (S().helpOnly && message != MsgHelp) return false;
    WatchEntry* entry = Entry(top, message);
    if (!entry || !entry->window) return false;
    if (S().lastEvent == e && S().lastType == e->type()) return !(entry->action & ActionPass);
    S().lastEvent = e;
    S().lastType = e->type();
    // An event passed on may travel to the parents within this delivery;
    // once it is over, the same address may be a new event.
    QTimer::singleShot(0, [] { S().lastEvent = nullptr; });
    Window* window = entry->window;
    int action = entry->action;
    if (action & ActionMap) {
      if (int event = MessageEvent(message)) QueuePost(window, event);
    } else if (action & ActionHelp) {
      S().helpWidgets[window] = target;
      QueuePost(window, mvn::framework::EventHelp);
    }
    return !(action & ActionPass);
  }
};

void InstallFilter() {
  static Filter* filter = nullptr;
  if (filter || !qApp) return;
  filter = new Filter;
  filter->setParent(qApp);
  qApp->installEventFilter(filter);
}

int g_sessionPipe[2] = {-1, -1};

void OnTerm(int) {
  char c = 1;
  ssize_t n = ::write(g_sessionPipe[1], &c, 1);
  (void)n;
}

}  // namespace

int MessageEvent(int message) {
  switch (message) {
    case MsgClose: return mvn::framework::EventCloseWindow;
    case MsgMouseMove:
    case MsgNcMouseMove: return mvn::framework::EventMouseMove;
    case MsgTimer: return mvn::framework::EventTimer;
    case MsgLButtonDown:
    case MsgRButtonDown:
    case MsgMButtonDown:
    case MsgNcLButtonDown:
    case MsgNcRButtonDown:
    case MsgNcMButtonDown: return mvn::framework::EventAccepted;
    case MsgLButtonUp:
    case MsgRButtonUp:
    case MsgMButtonUp:
    case MsgNcLButtonUp:
    case MsgNcRButtonUp:
    case MsgNcMButtonUp: return mvn::framework::EventMouseUp;
    default: return 0;
  }
}

void HookWindow(Window* window, int first, int last, int action) {
  if (!window || !window->Widget()) return;
  InstallFilter();
  QWidget* top = window->Widget();
  bool known = Watched(top);
  if (!known)
    QObject::connect(top, &QObject::destroyed, [](QObject* gone) { Forget(gone); });
  if (last < first) last = first;
  for (int m = first; m <= last; ++m) {
    if (WatchEntry* e = Entry(top, m)) {
      e->action = action;
    } else {
      WatchEntry entry;
      entry.widget = top;
      entry.window = window;
      entry.message = m;
      entry.action = action;
      auto& w = S().watch;
      auto at = std::upper_bound(w.begin(), w.end(), entry, [](const WatchEntry& a, const WatchEntry& b) {
        return std::less<const QWidget*>()(a.widget.data(), b.widget.data());
      });
      w.insert(at, entry);
    }
    if (std::find(S().messages.begin(), S().messages.end(), m) == S().messages.end()) S().messages.push_back(m);
  }
}

void RestoreWindowProcedures(QWidget* widget) {
  if (widget) Forget(widget);
}

void UnhookWindowAndChildren(Window* window) {
  if (!window || !window->Widget()) return;
  QWidget* top = window->Widget();
  for (QWidget* child : top->findChildren<QWidget*>()) RestoreWindowProcedures(child);
  RestoreWindowProcedures(top);
  S().helpWidgets.erase(window);
}

void SetHelpOnly(bool on) { S().helpOnly = on; }
bool HelpOnly() { return S().helpOnly; }

QWidget* HelpWidget(Window* window) {
  auto it = S().helpWidgets.find(window);
  return it == S().helpWidgets.end() ? nullptr : it->second.data();
}

void ClearHelpWidget(Window* window) { S().helpWidgets.erase(window); }

std::vector<WatchEntry> WatchList() {
  Forget(nullptr);
  return S().watch;
}

std::vector<int> MessageList() { return S().messages; }

void EndSession() {
  std::vector<QPointer<Window>> windows;
  for (const WatchEntry& e : WatchList())
    if (e.window && std::find(windows.begin(), windows.end(), e.window) == windows.end()) windows.push_back(e.window);
  for (const QPointer<Window>& w : windows)
    QTimer::singleShot(0, w.data(), [w] {
      if (w) w->Close();
    });
}

void CloseOnSessionEnd() {
  if (!qApp || g_sessionPipe[0] >= 0) return;
  if (auto* gui = qobject_cast<QGuiApplication*>(qApp))
    QObject::connect(gui, &QGuiApplication::commitDataRequest, gui, [](QSessionManager&) { EndSession(); });
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_sessionPipe) != 0) return;
  auto* notifier = new QSocketNotifier(g_sessionPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    char c;
    ssize_t n = ::read(g_sessionPipe[0], &c, 1);
    (void)n;
    EndSession();
  });
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace mvn::helptips::winhooks
