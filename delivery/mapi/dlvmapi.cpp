// The module dlvmapi: its application object (the messaging library is
// unloaded with the module), its load and unload, and its five exports.
#include "delivery/common/dllapp.h"
#include "delivery/mapi/mapimodule.h"

namespace {

class MAPIDLLAPP : public CXXDLLAPP {
 public:
  void ProcessDetach() override { mvn::delivery::mapi::UnloadMapiLibrary(); }
};

}  // namespace

MVN_DLL_APPLICATION(MAPIDLLAPP)
MVN_MODULE_ENTRY()

// No exception leaves an export: the host learns of a failure only from
// the results.
DELIVERY_EXPORT void* Initialize(CCONFIG* config) {
  try {
    return mvn::delivery::mapi::Initialize(config);
  } catch (...) {
    return nullptr;
  }
}

// The host takes the result as the new record (0: terminated), so it is
// pointer-sized.
DELIVERY_EXPORT void* Terminate(void* record) {
  try {
    mvn::delivery::mapi::Terminate(static_cast<MAPIRECORD*>(record));
  } catch (...) {
  }
  return nullptr;
}

DELIVERY_EXPORT bool Configure(void* record, CCONFIG* config) {
  try {
    return mvn::delivery::mapi::Configure(static_cast<MAPIRECORD*>(record), config);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT bool SendFile(void* record, const char* jobFile) {
  try {
    return mvn::delivery::mapi::SendFile(static_cast<MAPIRECORD*>(record), jobFile);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT const char* GetLastResult(void* record) {
  return mvn::delivery::mapi::GetLastResult(static_cast<MAPIRECORD*>(record));
}

DELIVERY_CHECK_EXPORTS();
