// Entry of the engine's test binary: a network namespace of the process's
// own (so the peers can take 127.0.0.1:25), then the tests.
#include <gtest/gtest.h>

#include "delivery/smtp2/tests/support.h"

int main(int argc, char** argv) {
  // Before gtest or anything else can start a thread.
  mvntest::StartPrivateNetwork();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
