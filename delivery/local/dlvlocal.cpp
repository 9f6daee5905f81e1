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

MVN_DELIVERY_EXPORTS(mvn::delivery::local, LOCALRECORD);
