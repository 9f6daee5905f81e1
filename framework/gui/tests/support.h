// Helpers of the GUI tests: the output folder for screenshots, acting on
// modal widgets once they are up, and typing.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace guitest {

// <build>/test-output/framework-gui/
inline std::string OutputDirectory() {
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  std::filesystem::path dir = std::filesystem::path(root && *root ? root : ".") / "test-output" / "framework-gui";
  std::filesystem::create_directories(dir);
  return dir.string();
}

inline bool Screenshot(QWidget* widget, const std::string& name) {
  return widget->grab().save(QString::fromStdString(OutputDirectory() + "/" + name));
}

// Runs act on the first widget that predicate accepts, polling every 10 ms
// while a nested event loop runs (a modal window or menu).
inline void When(std::function<QWidget*()> find, std::function<void(QWidget*)> act) {
  auto* timer = new QTimer();
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, find, act] {
    if (QWidget* w = find()) {
      timer->stop();
      timer->deleteLater();
      act(w);
    }
  });
  timer->start();
}

inline QWidget* VisibleTopLevel(const char* objectName) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->objectName() == QLatin1String(objectName)) return w;
  return nullptr;
}

inline void TypeKeys(QWidget* target, const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, 0, modifiers, QString(c));
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, modifiers, QString(c));
    QApplication::sendEvent(target, &release);
  }
}

inline void PressKey(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
}

}  // namespace guitest
