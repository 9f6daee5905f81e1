// Entry of the library's test binaries: a private machine root, the library
// started on a recording heap object, then the tests.
#include <gtest/gtest.h>

#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace mvntest {
namespace {
CSTATICOBJECT<TestHeap> g_heap;
}
TestHeap& Heap() { return *g_heap; }
}  // namespace mvntest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  return mvntest::RunOnHeap(mvntest::g_heap, [] { return RUN_ALL_TESTS(); });
}
