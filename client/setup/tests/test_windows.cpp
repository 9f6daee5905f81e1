// The setup windows offscreen, driven as a user drives them; a screenshot
// of each.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QUrl>

#include "client/setup/procedures.h"
#include "client/ui/windowhooks.h"
#include "framework/core/services.h"
#include "tests/support/tempdir.h"
#include "tests/support/windowtest.h"

using namespace mvn::client;
namespace fw = mvn::framework;
using mvntest::ReadFile;
using mvntest::WriteFile;
using windowtest::Click;
using windowtest::Screenshot;
using windowtest::Type;
using windowtest::When;

namespace {

struct WindowTest : ::testing::Test {
  void SetUp() override {
    ini.SetFileName(dir / "client.ini");
    fw::Window::SetSettingsFile(&ini);
  }
  void TearDown() override { fw::Window::SetSettingsFile(nullptr); }
  mvntest::TempDir dir;
  fw::IniFile ini;
  fw::ScriptedServices services;
  fw::ScopedServices scoped{&services};
};

// The URL handler the about window's link goes to.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QString last;
 public slots:
  void open(const QUrl& url) { last = url.toString(); }
};

}  // namespace

TEST_F(WindowTest, CmdSetupShowsLabelledRowsAndSaves) {
  WriteFile(dir / "client.ini", "[CommandList]\ncommand=4\nCommand_1=Your fax=FAXNO\nCommand_2=Dept=DEPT\n"
                                "Command_3==X\nCommand_4=Site=SITE\n[DefaultCommands]\nCommand_2=DEPT=Sales\n"
                                "Command_4=SITE=Leeds\n");
  When("CmdSetup", [](QWidget* w) {
    auto* third = w->findChild<QWidget*>("?m_cmdValues_3");
    EXPECT_TRUE(third && third->isHidden());
    Type(w, "?m_cmdValues_1", "555 1234");
    Screenshot(w, "client-setup", "CmdSetup.png");
    Click(w, "?Save");
  });
  CmdSetup(nullptr, ini);
  EXPECT_EQ(ini.Fetch("DefaultCommands", "command"), "4");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_1"), "FAXNO=555 1234");
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_2"), "DEPT=Sales");
  // The row after the first unlabelled one is hidden: its value was not
  // shown, so it is kept.
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_4"), "SITE=Leeds");
  // Cancel writes nothing: every stored command stays as it was.
  auto stored = [&] {
    std::vector<std::string> values;
    for (const char* key : {"command", "Command_1", "Command_2", "Command_3", "Command_4"})
      values.push_back(ini.Fetch("DefaultCommands", key));
    return values;
  };
  const std::vector<std::string> before = stored();
  When("CmdSetup", [](QWidget* w) {
    Type(w, "?m_cmdValues_1", "changed");
    Type(w, "?m_cmdValues_2", "changed too");
    Click(w, "?Cancel");
  });
  CmdSetup(nullptr, ini);
  EXPECT_EQ(stored(), before);
  EXPECT_EQ(ReadFile(dir / "client.ini").find("changed"), std::string::npos);
}

// A tip asked for in a setup window names the client's tip file and the
// control's use name (not what was typed into it).
TEST_F(WindowTest, TipRequestsNameTheClientTipFileAndTheControl) {
  WriteFile(dir / "client.ini", "[CommandList]\ncommand=1\nCommand_1=Your fax=FAXNO\n");
  ClientTipFile() = (dir / "tips.hwt");
  std::vector<mvn::helptips::TipRequest> requests;
  mvn::helptips::SetTipWindowFactory([&](const mvn::helptips::TipRequest& r, bool) {
    requests.push_back(r);
    return 1;
  });
  // The entry's menu: its edit actions, then What's This (the built-in
  // text: no program main set one here).
  services.AnswerPopupItem("What's This");
  When("CmdSetup", [&requests](QWidget* w) {
    Type(w, "?m_cmdValues_1", "555 1234");
    auto* entry = w->findChild<QWidget*>("?m_cmdValues_1");
    ASSERT_NE(entry, nullptr);
    QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(2, 2), entry->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(entry, &e);
    // The menu runs once the loop runs again: the window closes once the
    // tip has been asked for.
    mvntest::WhenWidget(
        "the tip request of the entry's menu", [w, &requests]() -> QWidget* { return requests.empty() ? nullptr : w; },
        [](QWidget* window) {
          Click(window, "?Cancel");
          return true;
        });
  });
  CmdSetup(nullptr, ini);
  mvn::helptips::SetTipWindowFactory(nullptr);
  ClientTipFile() = "hintwell.hwt";
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].tipFile, (dir / "tips.hwt"));
  EXPECT_EQ(requests[0].control, "?m_cmdValues_1");
  EXPECT_EQ(requests[0].procedure, "CmdSetup");
}

TEST_F(WindowTest, AdditionalOutputValuesSavesTickedLabels) {
  WriteFile(dir / "client.ini", "[AdditionalTargets]\nNotes=Memo\nDepartment=DepartmentNameLabel\n");
  When("AdditionalOutputValues", [](QWidget* w) {
    Click(w, "?CheckPosition");
    Type(w, "?LabelPosition", "<Rank>");
    Click(w, "?CheckNotes");  // untick
    Screenshot(w, "client-setup", "AdditionalOutputValues.png");
    Click(w, "?Save");
  });
  AdditionalOutputValues(nullptr, ini);
  EXPECT_EQ(ini.Fetch("AdditionalTargets", "Position"), "Rank");
  EXPECT_EQ(ini.Fetch("AdditionalTargets", "Notes"), "");
  EXPECT_EQ(ini.Fetch("AdditionalTargets", "Department"), "DepartmentNameLabel");  // 19 bytes, kept whole
  EXPECT_EQ(ini.KeyNames("AdditionalTargets").size(), 16u);
}

// A label in quotes reads back without them: one that would then begin
// with "!" (a marker line in every request) is refused and nothing is
// written; the window stays open until the label is mended.
TEST_F(WindowTest, AdditionalOutputValuesRefusesALabelThatReadsBackAsAMarker) {
  WriteFile(dir / "client.ini", "[AdditionalTargets]\nNotes=Memo\n");
  const std::string before = ReadFile(dir / "client.ini");
  bool stayed = false;
  When("AdditionalOutputValues", [&](QWidget* w) {
    Click(w, "?CheckPosition");
    Type(w, "?LabelPosition", "<\"!EXTATT\">");
    Click(w, "?Save");
    stayed = w->isVisible();
    Type(w, "?LabelPosition", "<Rank>");
    Click(w, "?Save");
  });
  AdditionalOutputValues(nullptr, ini);
  EXPECT_TRUE(stayed);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "The label of \"Position\" must not begin with \"!\".");
  EXPECT_EQ(ini.Fetch("AdditionalTargets", "Position"), "Rank");
  EXPECT_NE(before, ReadFile(dir / "client.ini"));
}

TEST_F(WindowTest, AboutOpensItsPage) {
  WriteFile(dir / "client.ini", "[Version]\nVersionText=Dashpost 5.0 test\nWebSite=https://help.example/fax\n");
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "open");
  When("AboutWin", [](QWidget* w) {
    Screenshot(w, "client-setup", "AboutWin.png");
    Click(w, "?Button3");
    Click(w, "?Close");
  });
  AboutWin(nullptr, ini);
  QDesktopServices::unsetUrlHandler("https");
  EXPECT_EQ(catcher.last, "https://help.example/fax");
}

#include "test_windows.moc"
