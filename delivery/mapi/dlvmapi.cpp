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

MVN_DELIVERY_EXPORTS(mvn::delivery::mapi, MAPIRECORD);
