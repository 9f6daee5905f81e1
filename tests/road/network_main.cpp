// Entry of the road tests that need a network of their own: a network
// namespace of the process's own (so a peer can take 127.0.0.1:25), then
// the tests.
#include <gtest/gtest.h>

#include "tests/support/network.h"

int main(int argc, char** argv) {
  // Before gtest or anything else can start a thread.
  mvntest::StartPrivateNetwork();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
