// Entry of the window tests: the offscreen platform, the C.UTF-8 locale, the
// UTC zone, a private machine root and one application object for the whole
// binary.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <cstdlib>
#include <ctime>

#include "tests/support/tempdir.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The offscreen screen as large as the X screens the windows are looked
  // at on (1280 x 1024, 96 dpi), so a window is not shrunk to the plugin's
  // default 800 x 600.
  std::string screens = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/mvn-offscreen-" +
                        std::to_string(getpid()) + ".json";
  if (FILE* f = std::fopen(screens.c_str(), "w")) {
    std::fputs("{\"screens\": [{\"name\": \"Screen\", \"x\": 0, \"y\": 0, \"width\": 1280, \"height\": 1024, "
               "\"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}\n",
               f);
    std::fclose(f);
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens).c_str(), 1);
  } else {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  tzset();
  std::setlocale(LC_ALL, "C.UTF-8");
  mvntest::TestRoot root;
  QApplication app(argc, argv);
  int result = RUN_ALL_TESTS();
  std::remove(screens.c_str());
  return result;
}
