// The host test's first step, before the library test entry's set-up
// (private root, recording heap object): a network namespace of the
// process's own, so that a peer can take 127.0.0.1:25.
#include "tests/support/network.h"
#include "tests/support/testmain.h"

void mvntest::BeforeTests() { StartPrivateNetwork(); }
