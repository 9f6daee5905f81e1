// Entry of the window tests: the offscreen platform, the C.UTF-8 locale, the
// UTC zone, a private machine root and one application object for the whole
// binary.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <ctime>

#include "tests/support/tempdir.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  tzset();
  std::setlocale(LC_ALL, "C.UTF-8");
  mvntest::TestRoot root;
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
