// Entry of the test binaries that need a fixed locale (C.UTF-8), a fixed
// zone (UTC) and a private machine root: the client framework, the client's
// records and models, the help tips (pictures, cuts and dates depend on the
// locale and the zone).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "tests/support/tempdir.h"

int main(int argc, char** argv) {
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  tzset();
  std::setlocale(LC_ALL, "");
  mvntest::TestRoot root;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
