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

MVN_DELIVERY_EXPORTS(mvn::delivery::smtp2, SMTP2RECORD);
