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

// No exception leaves an export: the host learns of a failure only from
// the results.
DELIVERY_EXPORT void* Initialize(CCONFIG* config) {
  try {
    return SmtpModule::Initialize(config);
  } catch (...) {
    return nullptr;
  }
}

// The host takes the result as the new record (0: terminated), so it is
// pointer-sized.
DELIVERY_EXPORT void* Terminate(void* record) {
  try {
    SmtpModule::Terminate(static_cast<SMTPRECORD*>(record));
  } catch (...) {
  }
  return nullptr;
}

DELIVERY_EXPORT bool Configure(void* record, CCONFIG* config) {
  try {
    return SmtpModule::Configure(static_cast<SMTPRECORD*>(record), config);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT bool SendFile(void* record, const char* jobFile) {
  try {
    return SmtpModule::SendFile(static_cast<SMTPRECORD*>(record), jobFile);
  } catch (...) {
    return false;
  }
}

DELIVERY_EXPORT const char* GetLastResult(void* record) {
  return SmtpModule::GetLastResult(static_cast<SMTPRECORD*>(record));
}

DELIVERY_CHECK_EXPORTS();
