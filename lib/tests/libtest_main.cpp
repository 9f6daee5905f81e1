// Entry of the library's test binaries: a private machine root, the library
// started on a recording heap object, then the tests.
#include <gtest/gtest.h>

#include "lib/tests/testheap.h"
#include "tests/support/tempdir.h"

namespace mvntest {
namespace {
CSTATICOBJECT<TestHeap> g_heap;
}
TestHeap& Heap() { return *g_heap; }
}  // namespace mvntest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  // The object's storage is given to the library before the object is built,
  // as a program's entry does.
  CXXHEAP::StartLibrary(mvntest::g_heap.Get(), GetModuleHandleA(nullptr));
  mvntest::g_heap.Construct();
  int result = RUN_ALL_TESTS();
  // Static objects still free into the heap object while the exit list runs.
  CXXHEAP::EndLibrary();
  mvntest::g_heap.Destroy();
  return result;
}
