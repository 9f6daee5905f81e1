// The entries of tests/support (mvn_testmain_heap, mvn_testmain_module)
// call BeforeTests first, before gtest or anything else can start a thread.
// The entries' own definition does nothing; a test binary that must do
// something that early (enter a private network namespace) defines it.
#pragma once

namespace mvntest {

void BeforeTests();

}  // namespace mvntest
