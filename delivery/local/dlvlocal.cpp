// The module dlvlocal: its application object, its load and unload, and
// its five exports.
#include "delivery/common/dllapp.h"
#include "delivery/local/localmodule.h"

namespace {

// dlvlocal does nothing at load and unload.
class LOCALDLLAPP : public CXXDLLAPP {};

}  // namespace

MVN_DLL_APPLICATION(LOCALDLLAPP)
MVN_MODULE_ENTRY()

// No exception leaves an export: the host learns of a failure only from
// the results.
DELIVERY_EXPORT void* Initialize(CCONFIG* config) {
  try {
    return mvn::delivery::local::Initialize(config);
  } catch (...) {
    return nullptr;
  }
}

// The host takes the result as the new record (0: terminated), so it is
// pointer-sized.
DELIVERY_EXPORT void* Terminate(void* record) {
  try {
    mvn::delivery::local::Terminate(static_cast<LOCALRECORD*>(record));
  } catch (...) {
  }
  return nullptr;
}

DELIVERY_EXPORT bool Configure(void* record, CCONFIG* config) {
  try {
    return mvn::delivery::local::Configure(static_cast<LOCALRECORD*>(record), config);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT bool SendFile(void* record, const char* jobFile) {
  try {
    return mvn::delivery::local::SendFile(static_cast<LOCALRECORD*>(record), jobFile);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT const char* GetLastResult(void* record) {
  return mvn::delivery::local::GetLastResult(static_cast<LOCALRECORD*>(record));
}

DELIVERY_CHECK_EXPORTS();
