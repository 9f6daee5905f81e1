// Entry of the test binaries that run the library in their own process: a
// private machine root, the library started on a recording heap object,
// then the tests.
#include <gtest/gtest.h>

#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"
#include "tests/support/testmain.h"

namespace mvntest {
namespace {
CSTATICOBJECT<TestHeap> g_heap;
}
TestHeap& Heap() { return *g_heap; }
}  // namespace mvntest

// A test binary's own definition takes the place of this one.
__attribute__((weak)) void mvntest::BeforeTests() {}

int main(int argc, char** argv) {
  mvntest::BeforeTests();
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  return mvntest::RunOnHeap(mvntest::g_heap, [] { return RUN_ALL_TESTS(); });
}
