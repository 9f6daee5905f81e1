// The address-book tests run with a fixed locale and zone and a private
// machine root.
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
