// The setup windows. Each is a modal procedure over the models of setup.h.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/ui/language.h"
#include "client/records/records.h"
#include "client/setup/setup.h"
#include "framework/core/ini.h"
#include "framework/gui/window.h"

namespace mvn::client {

// "Personal Details": fifteen rows of [CommandList] labels with their
// [DefaultCommands] values, the window as tall as the rows shown; with no
// row to show it says that the administrator has defined no personal
// details. "&Save" writes them, "Cancel" writes nothing.
void CmdSetup(framework::Window* parent, framework::IniFile& clientIni);

// "Additional values to output": the sixteen [AdditionalTargets] keys with a
// box and a label each; "&Save" writes them (a refused label is told and
// the window stays open), "Cancel" writes nothing.
void AdditionalOutputValues(framework::Window* parent, framework::IniFile& clientIni);

// "Help - about": the [Version] texts; the web button opens the page with
// the desktop's opener (QDesktopServices), "&OK" closes.
void AboutWin(framework::Window* parent, const framework::IniFile& clientIni);

}  // namespace mvn::client
