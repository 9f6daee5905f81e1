// The main window's items that open other windows. Each entry names the
// procedure; a null callable shows the item disabled. The program fills in
// the procedures it links (client/wiring) before the main window opens.
#include "client/app/procedures.h"

namespace mvn::client {

namespace {

std::vector<std::pair<std::string, MenuAction>>& Table() {
  static std::vector<std::pair<std::string, MenuAction>> wiring = {
      {"ConfirmBeforeSend", nullptr},
      {"ViewSendLog", nullptr},
      {"RetryUnseccessful", nullptr},
      {"AboutWin", nullptr},
      {"FindClient", nullptr},
      {"GroupClientSetup", nullptr},
      {"CmdSetup", nullptr},
      {"AdditionalOutputValues", nullptr},
      {"AutoTextSetup", nullptr},
      {"CoverPageSetup", nullptr},
      {"ExportKDFToTxt", nullptr},
      {"ImportTxtToKDF2", nullptr},
  };
  return wiring;
}

}  // namespace

const std::vector<std::pair<std::string, MenuAction>>& MenuWiring() { return Table(); }

bool SetMenuAction(const std::string& name, MenuAction action) {
  for (auto& [entry, callable] : Table()) {
    if (entry == name) {
      callable = std::move(action);
      return true;
    }
  }
  return false;
}

}  // namespace mvn::client
