// Entry of the test binaries that run module code in their own process: a
// private machine root, then the module's load (its library started on a
// module application object), the tests, and the module's unload.
#include <gtest/gtest.h>

#include "delivery/common/dllapp.h"
#include "tests/support/tempdir.h"
#include "tests/support/testmain.h"

namespace {
class TESTDLLAPP : public CXXDLLAPP {};
}  // namespace

MVN_DLL_APPLICATION(TESTDLLAPP)

// A test binary's own definition takes the place of this one.
__attribute__((weak)) void mvntest::BeforeTests() {}

int main(int argc, char** argv) {
  mvntest::BeforeTests();
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  ModuleDllEntry(GetModuleHandleA(nullptr), DLL_PROCESS_ATTACH, nullptr);
  int result = RUN_ALL_TESTS();
  ModuleDllEntry(GetModuleHandleA(nullptr), DLL_PROCESS_DETACH, nullptr);
  return result;
}
