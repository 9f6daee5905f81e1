// Helpers of the GUI tests: the output folder for screenshots, acting on
// modal widgets once they are up, and typing.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/qtwait.h"

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

// Runs act on the first widget that find returns, polling while a nested
// event loop runs (a modal window or menu); the test fails at the deadline.
inline void When(std::function<QWidget*()> find, std::function<void(QWidget*)> act,
                 const std::string& what = "a window of the test") {
  mvntest::WhenOnce(what, std::move(find), std::move(act));
}

using mvntest::VisibleTopLevel;

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
