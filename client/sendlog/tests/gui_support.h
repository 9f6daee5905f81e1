// Helpers of the window tests: screenshots and acting on modal windows.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace windowtest {

// <build>/test-output/<folder>/
inline std::string OutputDirectory(const std::string& folder) {
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  std::filesystem::path dir = std::filesystem::path(root && *root ? root : ".") / "test-output" / folder;
  std::filesystem::create_directories(dir);
  return dir.string();
}

inline bool Screenshot(QWidget* widget, const std::string& folder, const std::string& name) {
  return widget->grab().save(QString::fromStdString(OutputDirectory(folder) + "/" + name));
}

inline QWidget* VisibleTopLevel(const char* objectName) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->objectName() == QLatin1String(objectName)) return w;
  return nullptr;
}

// Runs act once the window of that procedure is up (polling every 10 ms
// while a nested event loop runs).
inline void When(const char* procedure, std::function<void(QWidget*)> act) {
  auto* timer = new QTimer();
  timer->setInterval(10);
  std::string name = procedure;
  QObject::connect(timer, &QTimer::timeout, [timer, name, act] {
    if (QWidget* w = VisibleTopLevel(name.c_str())) {
      timer->stop();
      timer->deleteLater();
      act(w);
    }
  });
  timer->start();
}

inline void Click(QWidget* window, const char* useName) {
  auto* b = window->findChild<QAbstractButton*>(useName);
  if (b) b->click();
}

inline void Type(QWidget* window, const char* useName, const QString& text) {
  auto* e = window->findChild<QLineEdit*>(useName);
  if (e) e->setText(text);
}

}  // namespace windowtest
