// Entry of the host test: a network namespace of the process's own, then
// the library test entry's set-up (private root, recording heap object).
#include <gtest/gtest.h>

#include "tests/support/network.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace mvntest {
namespace {
CSTATICOBJECT<TestHeap> g_heap;
}
TestHeap& Heap() { return *g_heap; }
}  // namespace mvntest

int main(int argc, char** argv) {
  mvntest::StartPrivateNetwork();
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  return mvntest::RunOnHeap(mvntest::g_heap, [] { return RUN_ALL_TESTS(); });
}
