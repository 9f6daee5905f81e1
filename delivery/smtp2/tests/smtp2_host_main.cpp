// Entry of the host test: a network namespace of the process's own, then
// the library test entry's set-up (private root, recording heap object).
#include <gtest/gtest.h>

#include "delivery/smtp2/tests/support.h"
#include "lib/tests/testheap.h"
#include "tests/support/tempdir.h"

namespace mvntest {
void SetPrivateNetwork(bool ready, const std::string& reason);
namespace {
CSTATICOBJECT<TestHeap> g_heap;
}
TestHeap& Heap() { return *g_heap; }
}  // namespace mvntest

int main(int argc, char** argv) {
  std::string reason;
  bool ready = mvntest::EnterPrivateNetwork(&reason);
  mvntest::SetPrivateNetwork(ready, reason);
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  CXXHEAP::StartLibrary(mvntest::g_heap.Get(), GetModuleHandleA(nullptr));
  mvntest::g_heap.Construct();
  int result = RUN_ALL_TESTS();
  CXXHEAP::EndLibrary();
  mvntest::g_heap.Destroy();
  return result;
}
