// Every procedure the program wires names an item of the main window's
// table, and the wired items are no longer null.
#include <gtest/gtest.h>

#include <algorithm>

#include "client/app/procedures.h"
#include "client/wiring/wiring.h"

TEST(Wiring, EveryWiredProcedureNamesAnItemOfTheMainWindow) {
  std::vector<std::string> wired = mvn::client::WireClientWindows();
  EXPECT_EQ(wired.size(), 12u) << "a name that is not in the table would be lost";
  for (const auto& [name, action] : mvn::client::MenuWiring()) {
    bool expected = std::find(wired.begin(), wired.end(), name) != wired.end();
    EXPECT_EQ(static_cast<bool>(action), expected) << name;
  }
}
