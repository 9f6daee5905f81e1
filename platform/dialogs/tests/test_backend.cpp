// Choosing the backend, and keeping Qt out of programs until a window is
// shown on a display.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/dialogs/tests/dialog_support.h"
#include "tests/support/mapped.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace dialogtest;
namespace dlg = mvn::dialogs;

namespace {

bool QtLoaded() { return mvntest::Mapped("libQt6"); }

std::string RunCommand(const std::string& command) {
  std::string output;
  mvntest::RunShell(command, &output);
  return output;
}

// A listening socket where an X server of display :number would be.
class FakeXServer {
 public:
  explicit FakeXServer(int number) {
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // abstract name
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    m_ok = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(m_fd, 4) == 0;
  }
  ~FakeXServer() {
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_ok; }

 private:
  int m_fd = -1;
  bool m_ok = false;
};

// Every variable that takes part in the choice, cleared.
Environment Clean() {
  Environment env;
  env.Unset("MVN_DIALOGS").Unset("QT_QPA_PLATFORM").Unset("DISPLAY").Unset("WAYLAND_DISPLAY");
  return env;
}

// The two-page sheet worked by a script; 1 when it applied.
INT_PTR WorkSheet() {
  Log().clear();
  Page identity{"identity", {kName}};
  Page options{"options", {kLocation}};
  std::string name, location;
  identity.onApply = [&](HWND page) { name = Text(page, kName); };
  options.onApply = [&](HWND page) { location = Text(page, kLocation); };
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [](HWND window) {
    dlg::TypeText(dlg::FindControl(window, kName), "Ann");
    dlg::SelectPage(window, 1);
    dlg::TypeText(dlg::FindControl(window, kLocation), "/srv/fax");
    dlg::PressButton(window, IDOK);
  });
  return result == 1 && name == "Ann" && location == "/srv/fax" ? 1 : 0;
}

}  // namespace

TEST(Backend, TheChoiceFollowsTheDisplay) {
  FakeXServer x(97);
  ASSERT_TRUE(x.ok());
  struct Case {
    std::vector<std::pair<const char*, const char*>> set;
    dlg::Backend expected;
  };
  const Case cases[] = {
      {{}, dlg::Backend::Headless},
      {{{"QT_QPA_PLATFORM", "offscreen"}}, dlg::Backend::Qt},
      {{{"QT_QPA_PLATFORM", "offscreen"}, {"MVN_DIALOGS", "headless"}}, dlg::Backend::Headless},
      {{{"MVN_DIALOGS", "HEADLESS"}, {"DISPLAY", ":97"}}, dlg::Backend::Headless},
      {{{"DISPLAY", ":97"}}, dlg::Backend::Qt},
      {{{"DISPLAY", ":97.0"}}, dlg::Backend::Qt},
      {{{"DISPLAY", ":96"}}, dlg::Backend::Headless},  // nobody listens there
      {{{"QT_QPA_PLATFORM", "xcb"}}, dlg::Backend::Headless},
      {{{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":97"}}, dlg::Backend::Qt},
      {{{"WAYLAND_DISPLAY", "no-such-wayland"}, {"XDG_RUNTIME_DIR", "/tmp"}}, dlg::Backend::Headless},
  };
  for (const Case& c : cases) {
    Environment env = Clean();
    std::string label;
    for (auto [name, value] : c.set) {
      env.Set(name, value);
      label += std::string(name) + "=" + value + " ";
    }
    EXPECT_EQ(dlg::SelectedBackend(), c.expected) << label;
  }
  EXPECT_FALSE(QtLoaded()) << "choosing loads nothing";
}

TEST(Backend, TheLayerDoesNotLinkQt) {
  std::string dynamic = RunCommand("readelf -d /proc/self/exe");
  ASSERT_NE(dynamic.find("NEEDED"), std::string::npos) << dynamic;
  EXPECT_EQ(dynamic.find("Qt"), std::string::npos) << dynamic;
}

TEST(Backend, HeadlessDialogsLoadNoQt) {
  Environment env = Clean();
  env.Set("MVN_DIALOGS", "headless").Set("QT_QPA_PLATFORM", "offscreen");
  EXPECT_EQ(WorkSheet(), 1);
  EXPECT_FALSE(QtLoaded());
}

TEST(Backend, QtIsLoadedOnlyWhenASheetIsShownWithADisplay) {
  EXPECT_EXIT(
      {
        Environment env = Clean();
        env.Set("QT_QPA_PLATFORM", "offscreen");
        bool before = QtLoaded();
        bool chosen = dlg::SelectedBackend() == dlg::Backend::Qt;
        bool stillOut = !QtLoaded();
        INT_PTR worked = WorkSheet();
        bool after = QtLoaded();
        std::fprintf(stderr, "before=%d chosen=%d out=%d worked=%d after=%d\n", before, chosen, stillOut,
                     static_cast<int>(worked), after);
        std::exit(!before && chosen && stillOut && worked == 1 && after ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Backend, AMissingQtBackendFallsBackToHeadless) {
  EXPECT_EXIT(
      {
        Environment env = Clean();
        env.Set("QT_QPA_PLATFORM", "offscreen").Set("MVN_DIALOGS_QT_PATH", "/no/such/mvn_dialogs_qt.so");
        INT_PTR worked = WorkSheet();
        bool headless = dlg::SelectedBackend() == dlg::Backend::Headless;
        std::exit(worked == 1 && headless && !QtLoaded() ? 0 : 1);
      },
      testing::ExitedWithCode(0), testing::HasSubstr("the Qt backend is not available"));
}

TEST(Backend, AMessageBoxScriptAnswersMessageBoxes) {
  mvntest::TempDir dir;
  std::string log = dir / "boxes.log";
  Environment env = Clean();
  env.Set("MVN_DIALOGS", "headless").Set("MVN_MESSAGEBOX_LOG", log.c_str());
  std::vector<std::string> asked;
  dlg::SetMessageBoxScript([&](HWND, const char* text, const char* caption, UINT) {
    asked.push_back(std::string(caption) + "|" + text);
    return IDNO;
  });
  EXPECT_EQ(MessageBoxA(nullptr, "Replace it?", "Question", MB_YESNO), IDNO);
  dlg::SetMessageBoxScript(nullptr);
  EXPECT_EQ(asked, std::vector<std::string>{"Question|Replace it?"});
  EXPECT_EQ(mvntest::ReadFile(log), "");
  // Without the script (and without a display) the kernel's box answers.
  EnableDisplayMessageBoxes();
  EXPECT_EQ(MessageBoxA(nullptr, "Replace it?", "Question", MB_YESNO), IDYES);
  EXPECT_EQ(mvntest::ReadFile(log), "Question: Replace it?\n");
}
