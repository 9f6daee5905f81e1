// The heap object of the library's test binaries: it records every
// notification raised, so tests can check what the library reported.
#pragma once

#include <string>
#include <vector>

#include "lib/cxxlib.h"

namespace mvntest {

struct RecordedNotification {
  DWORD id;
  std::string p1, p2, p3;
};

class TestHeap : public CXXHEAP {
 public:
  void Report(void*, NOTIFYEXPANDER, void*, DWORD id, const char* p1, const char* p2,
              const char* p3) override {
    notifications.push_back({id, p1 ? p1 : "", p2 ? p2 : "", p3 ? p3 : ""});
  }
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override {
    Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
  }

  std::vector<RecordedNotification> notifications;
};

// The test binary's heap object (started by tests/support/heapmain.cpp).
TestHeap& Heap();

// A test entry's run on its heap object: the object's storage is given to
// the library before the object is built, as a program's entry does; body
// runs; the library ends while the object still lives, since static objects
// free into it while the exit list runs; then the object goes.
template <class Body>
int RunOnHeap(CSTATICOBJECT<TestHeap>& heap, Body body) {
  CXXHEAP::StartLibrary(heap.Get(), GetModuleHandleA(nullptr));
  heap.Construct();
  int result = body();
  CXXHEAP::EndLibrary();
  heap.Destroy();
  return result;
}

}  // namespace mvntest
