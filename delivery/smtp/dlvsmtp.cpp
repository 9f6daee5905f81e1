// The module dlvsmtp: its application object (the SMTP engine from load to
// unload), its load and unload, and its five exports.
#include "delivery/common/dllapp.h"
#include "delivery/smtp/smtpmodule.h"

using mvn::delivery::SMTPRECORD;
namespace SmtpModule = mvn::delivery::SmtpModule;

namespace {

class SMTPDLLAPP : public CXXDLLAPP {
 public:
  void ProcessAttach() override { SmtpModule::AttachEngine(); }
  void ProcessDetach() override { SmtpModule::ReleaseEngine(); }
};

}  // namespace

MVN_DLL_APPLICATION(SMTPDLLAPP)
MVN_MODULE_ENTRY()

MVN_DELIVERY_EXPORTS(mvn::delivery::SmtpModule, SMTPRECORD);
