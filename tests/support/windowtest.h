// Helpers of the client's window tests: screenshots into the build's
// test-output folder, clicks and typing by a control's use name, and the
// waits of qtwait.h. Header only, like qtwait.h.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/qtwait.h"

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

using mvntest::VisibleTopLevel;
using mvntest::When;

inline void Click(QWidget* window, const char* useName) {
  auto* b = window->findChild<QAbstractButton*>(useName);
  if (b) b->click();
}

inline void Type(QWidget* window, const char* useName, const QString& text) {
  auto* e = window->findChild<QLineEdit*>(useName);
  if (e) e->setText(text);
}

}  // namespace windowtest
