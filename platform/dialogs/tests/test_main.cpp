// The headless tests' entry: every dialog runs headless unless a test
// chooses otherwise.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/dialogs/tests/dialog_support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests run in a fresh process: once-per-process notes show there.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("MVN_DIALOGS", "headless", 1);
  dialogtest::RegisterTemplates();
  return RUN_ALL_TESTS();
}
