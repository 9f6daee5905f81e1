// The GUI tests' entry: the offscreen platform, the C.UTF-8 locale and one
// application object for the whole binary.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  std::setlocale(LC_ALL, "C.UTF-8");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
