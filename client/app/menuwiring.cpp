// The main window's items that open other windows. Each entry names the
// procedure; a null callable shows the item disabled until the procedure is
// part of the program (one line each).
#include "client/app/procedures.h"

namespace mvn::client {

const std::vector<std::pair<std::string, MenuAction>>& MenuWiring() {
  static const std::vector<std::pair<std::string, MenuAction>> wiring = {
      {"ConfirmBeforeSend", nullptr},
      {"ViewSendLog", nullptr},
      {"RetryUnseccessful", nullptr},
      {"AboutWin", nullptr},
      {"FindClient", nullptr},
      {"GroupClientSetup", nullptr},
      {"CreateAddressBook", nullptr},
      {"CmdSetup", nullptr},
      {"AdditionalOutputValues", nullptr},
      {"AutoTextSetup", nullptr},
      {"InsertAutoText", nullptr},
      {"CoverPageSetup", nullptr},
      {"ExportKDFToTxt", nullptr},
      {"ImportTxtToKDF2", nullptr},
  };
  return wiring;
}

}  // namespace mvn::client
