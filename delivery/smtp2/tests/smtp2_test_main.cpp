// Entry of dlvsmtp2's test binaries: a network namespace of the process's
// own (so the peers can take 127.0.0.1:25), a private machine root, the
// module's load on an application object that records the notifications
// raised, Winsock, the tests, and the unload.
#include <gtest/gtest.h>

#include "delivery/common/dllapp.h"
#include "delivery/smtp2/tests/recording.h"
#include "platform/net/winsock.h"
#include "tests/support/network.h"
#include "tests/support/tempdir.h"

MVN_DLL_APPLICATION(mvntest::RecordingDllApp)

namespace mvntest {
RecordingDllApp& Recorder() { return *static_cast<RecordingDllApp*>(MvnDllApplicationObject()); }
}  // namespace mvntest

int main(int argc, char** argv) {
  // Before gtest or anything else can start a thread.
  mvntest::StartPrivateNetwork();
  ::testing::InitGoogleTest(&argc, argv);
  mvntest::TestRoot root;
  ModuleDllEntry(GetModuleHandleA(nullptr), DLL_PROCESS_ATTACH, nullptr);
  WSADATA data;
  WSAStartup(MAKEWORD(2, 0), &data);
  int result = RUN_ALL_TESTS();
  WSACleanup();
  ModuleDllEntry(GetModuleHandleA(nullptr), DLL_PROCESS_DETACH, nullptr);
  return result;
}
