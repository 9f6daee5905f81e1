// A tip request through the hooks to the real tip window: a tip file that
// cannot be opened is reported once per request.
#include <gtest/gtest.h>

#include "framework/core/services.h"
#include "helptips/hooks/hooks.h"
#include "helptips/procedures.h"
#include "tests/support/tempdir.h"

using namespace mvn::helptips;
namespace fw = mvn::framework;

TEST(TipStart, UnopenableTipFileIsReportedOncePerRequest) {
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::ScopedServices scoped{&services};
  std::string bad = dir / "bad.hwt";
  mvntest::WriteFile(bad, "not a tip file");
  // The factory the client installs: the request becomes the tip window.
  SetTipWindowFactory([](const TipRequest& request, bool) {
    TipWindowRequest tip;
    tip.procedure = request.procedure;
    tip.controlName = request.control;
    tip.controlType = request.controlType;
    tip.tipFile = request.tipFile;
    return TipWindow(tip);
  });
  EXPECT_EQ(TipStart(0, "ENTRY", "?Company", "FindClient", bad), 0);
  SetTipWindowFactory(nullptr);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].caption, "Invalid File");
  EXPECT_EQ(mvntest::ReadFile(bad), "not a tip file");
}
