// The load step that monitors of both kinds share (host.cpp, host95.cpp).
#pragma once

#include <functional>
#include <string>

#include "platform/kernel/win32.h"

namespace mvn::spooler {

// Loads file into *module, then runs check, the kind's own steps on the
// loaded module, which gives the reason it refuses the monitor or "". A
// module that was loaded stays loaded, also when the monitor is refused (a
// monitor of the other kind, a bad table): its registry layer's state
// cannot be unloaded without a leak, so *module is only forgotten. False
// with the reason in *error (when given).
bool LoadMonitorModule(const std::string& file, HMODULE* module, const std::function<std::string()>& check,
                       std::string* error);

}  // namespace mvn::spooler
