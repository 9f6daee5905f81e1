// The main window's items wired to the procedures of the other windows.
#include "client/wiring/wiring.h"

#include "client/addressbook/procedures.h"
#include "client/app/procedures.h"
#include "client/setup/procedures.h"
#include "helptips/hooks/hooks.h"
#include "helptips/procedures.h"

namespace mvn::client {

namespace {

// The command a setup window opens a text or RTF file with ([Default]
// TextEditor, else xdg-open; the path is added as one argument).
std::string Editor(const framework::IniFile& ini) {
  std::string editor = ini.Fetch("Default", "TextEditor");
  return editor.empty() ? "xdg-open" : editor;
}

}  // namespace

std::vector<std::string> WireClientWindows() {
  const std::vector<std::pair<std::string, MenuAction>> actions = {
      {"AboutWin", [](framework::Window* main, MainContext& c) { AboutWin(main, *c.ini); }},
      {"CmdSetup", [](framework::Window* main, MainContext& c) { CmdSetup(main, *c.ini); }},
      {"AdditionalOutputValues", [](framework::Window* main, MainContext& c) { AdditionalOutputValues(main, *c.ini); }},
      {"FindClient",
       [](framework::Window* main, MainContext& c) { FindClient(main, *c.dictionary, *c.ini, FindClientStart{}); }},
      {"GroupClientSetup",
       [](framework::Window* main, MainContext& c) { GroupClientSetup(main, *c.dictionary, *c.ini); }},
      {"AutoTextSetup",
       [](framework::Window* main, MainContext& c) { AutoTextSetup(main, *c.dictionary, *c.ini, Editor(*c.ini)); }},
      {"CoverPageSetup",
       [](framework::Window* main, MainContext& c) { CoverPageSetup(main, *c.dictionary, *c.ini, Editor(*c.ini)); }},
  };
  std::vector<std::string> wired;
  for (const auto& [name, action] : actions)
    if (SetMenuAction(name, action)) wired.push_back(name);
  // The tip requests of every window open the tip window (in place of the
  // hooks' minimal one); "IDE" requests run it on the calling thread.
  helptips::SetTipWindowFactory([](const helptips::TipRequest& request, bool) {
    helptips::TipWindowRequest tip;
    tip.procedure = request.procedure;
    tip.controlName = request.control;
    tip.controlType = request.controlType;
    tip.tipFile = request.tipFile;
    tip.storedX = request.x;
    tip.storedY = request.y;
    return helptips::TipWindow(tip);
  });
  return wired;
}

}  // namespace mvn::client
