// Waiting on windows in the window tests, always with a deadline.
//
// A window test often has to act inside a nested event loop: a modal dialog,
// a message box or a popup menu runs its own loop, and the test's next line
// runs only when that loop ends. The helpers here poll every 10 ms while such
// a loop runs and act on the widget once it is up. An action may refuse (a
// dialog that is not ready to accept yet): it is tried again on the next
// tick. When the deadline passes first, the test fails with a message naming
// what it waited for, and the modal widgets and popups still up are closed,
// so the nested loop ends and the run goes on instead of hanging until the
// test runner's own time-out.
//
// Header only: every binary that includes it links Qt Widgets already.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <string>
#include <utility>

namespace mvntest {

// How long a test waits for a window before it fails.
inline constexpr std::chrono::milliseconds kWindowDeadline{10000};

// The visible top-level widget with that object name (a window's procedure
// name), or null.
inline QWidget* VisibleTopLevel(const QString& objectName) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->objectName() == objectName) return w;
  return nullptr;
}

// The active modal widget when it has that object name (any name when empty),
// or null.
inline QWidget* ModalNamed(const QString& objectName = QString()) {
  QWidget* w = QApplication::activeModalWidget();
  if (!w || !w->isVisible()) return nullptr;
  return objectName.isEmpty() || w->objectName() == objectName ? w : nullptr;
}

// Ends every nested loop that is still up: popups first, then modal widgets
// (a dialog is rejected, anything else closed). Bounded, so a widget that
// refuses to close cannot keep this busy.
inline void CloseWhatIsStillUp() {
  for (int i = 0; i < 20; ++i) {
    if (QWidget* popup = QApplication::activePopupWidget()) {
      popup->close();
      continue;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
  }
}

// Runs act on the widget that find returns, once find returns one, until act
// returns true (done). At the deadline the test fails, naming what, and what
// is still up is closed.
inline void WhenWidget(const std::string& what, std::function<QWidget*()> find,
                       std::function<bool(QWidget*)> act,
                       std::chrono::milliseconds deadline = kWindowDeadline) {
  auto* timer = new QTimer();
  timer->setInterval(10);
  QDeadlineTimer until(deadline.count());
  QObject::connect(timer, &QTimer::timeout, [timer, what, find, act, until] {
    if (QWidget* w = find()) {
      if (act(w)) {
        timer->stop();
        timer->deleteLater();
        return;
      }
    }
    if (until.hasExpired()) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "deadline passed waiting for " << what;
      CloseWhatIsStillUp();
    }
  });
  timer->start();
}

// Runs act once on the widget that find returns, once it is up.
inline void WhenOnce(const std::string& what, std::function<QWidget*()> find, std::function<void(QWidget*)> act,
                     std::chrono::milliseconds deadline = kWindowDeadline) {
  WhenWidget(
      what, std::move(find),
      [act](QWidget* w) {
        act(w);
        return true;
      },
      deadline);
}

// Runs act once on the visible top-level window with that object name.
inline void When(const QString& objectName, std::function<void(QWidget*)> act,
                 std::chrono::milliseconds deadline = kWindowDeadline) {
  WhenOnce("the window " + objectName.toStdString(), [objectName] { return VisibleTopLevel(objectName); },
           std::move(act), deadline);
}

// Runs act once on the active modal widget with that object name.
inline void WhenModal(const QString& objectName, std::function<void(QWidget*)> act,
                      std::chrono::milliseconds deadline = kWindowDeadline) {
  WhenOnce("the modal window " + objectName.toStdString(), [objectName] { return ModalNamed(objectName); },
           std::move(act), deadline);
}

// Accepts the active modal dialog of type D (a file or message dialog) after
// prepare, until it has really closed: some dialogs refuse an accept that
// comes before they are ready, and are asked again on the next tick.
template <class D>
void AcceptWhenUp(const std::string& what, std::function<void(D*)> prepare,
                  std::chrono::milliseconds deadline = kWindowDeadline) {
  WhenWidget(
      what, [] { return qobject_cast<D*>(QApplication::activeModalWidget()); },
      [prepare](QWidget* w) {
        auto* dialog = static_cast<D*>(w);
        prepare(dialog);
        static_cast<QDialog*>(dialog)->accept();
        return !dialog->isVisible();
      },
      deadline);
}

// Processes events until done() is true; false when the deadline passed first.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = kWindowDeadline) {
  QDeadlineTimer until(deadline.count());
  while (!done()) {
    if (until.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

}  // namespace mvntest
