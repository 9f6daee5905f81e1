// The application object of dlvsmtp2's test binaries: it records every
// notification raised, where a module's own object shows nothing.
#pragma once

#include <string>
#include <vector>

#include "delivery/common/dllapp.h"

namespace mvntest {

struct Raised {
  DWORD id;
  std::string p1, p2, p3;
};

class RecordingDllApp : public CXXDLLAPP {
 public:
  void Report(void*, NOTIFYEXPANDER, void*, DWORD id, const char* p1, const char* p2, const char* p3) override {
    raised.push_back({id, p1 ? p1 : "", p2 ? p2 : "", p3 ? p3 : ""});
  }
  std::vector<Raised> raised;
};

RecordingDllApp& Recorder();

}  // namespace mvntest
