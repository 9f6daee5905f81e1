// The window tests' entry: the offscreen platform, the C.UTF-8 locale, a
// private machine root and one application object.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>

#include "tests/support/tempdir.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  std::setlocale(LC_ALL, "C.UTF-8");
  mvntest::TestRoot root;
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
