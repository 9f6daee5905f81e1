// The program's wiring of the main window's items to the windows of the
// other client libraries (set-up windows, address book, groups, AutoText,
// cover pages).
#pragma once

#include <string>
#include <vector>

namespace mvn::client {

// Fills in the main window's item table with the procedures the program
// links and has the help-tip requests open the tip window; returns the
// names of the items that were wired.
std::vector<std::string> WireClientWindows();

}  // namespace mvn::client
