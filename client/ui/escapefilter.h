// Escape pressed in a window that no control of it took: the window's own
// handling (a confirmation cancelled, a dialog closed as not confirmed).
#pragma once

#include <QEvent>
#include <QKeyEvent>
#include <QObject>
#include <functional>
#include <utility>

namespace mvn::client {

class EscapeFilter : public QObject {
 public:
  explicit EscapeFilter(std::function<void()> onEscape) : m_onEscape(std::move(onEscape)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
      m_onEscape();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> m_onEscape;
};

}  // namespace mvn::client
