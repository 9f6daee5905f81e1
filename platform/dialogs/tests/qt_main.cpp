// The Qt tests' entry: the offscreen platform, and an application object of
// the program's own, which the backend uses instead of making one.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/dialogs/tests/dialog_support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  unsetenv("MVN_DIALOGS");
  QApplication app(argc, argv);
  dialogtest::RegisterTemplates();
  return RUN_ALL_TESTS();
}
