// The module dlvsmtp2: its application object (Winsock 2.0 from load to
// unload), its load and unload, and its five exports.
#include "delivery/common/dllapp.h"
#include "delivery/smtp2/smtp2module.h"

namespace {

class SMTP2DLLAPP : public CXXDLLAPP {
 public:
  void ProcessAttach() override {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
  }
  void ProcessDetach() override { WSACleanup(); }
};

}  // namespace

MVN_DLL_APPLICATION(SMTP2DLLAPP)
MVN_MODULE_ENTRY()

// No exception leaves an export: the host learns of a failure only from
// the results.
DELIVERY_EXPORT void* Initialize(CCONFIG* config) {
  try {
    return mvn::delivery::smtp2::Initialize(config);
  } catch (...) {
    return nullptr;
  }
}

// The host takes the result as the new record (0: terminated), so it is
// pointer-sized.
DELIVERY_EXPORT void* Terminate(void* record) {
  try {
    mvn::delivery::smtp2::Terminate(static_cast<SMTP2RECORD*>(record));
  } catch (...) {
  }
  return nullptr;
}

DELIVERY_EXPORT bool Configure(void* record, CCONFIG* config) {
  try {
    return mvn::delivery::smtp2::Configure(static_cast<SMTP2RECORD*>(record), config);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT bool SendFile(void* record, const char* jobFile) {
  try {
    return mvn::delivery::smtp2::SendFile(static_cast<SMTP2RECORD*>(record), jobFile);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT const char* GetLastResult(void* record) {
  return mvn::delivery::smtp2::GetLastResult(static_cast<SMTP2RECORD*>(record));
}

DELIVERY_CHECK_EXPORTS();
