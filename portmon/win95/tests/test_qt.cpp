// mvnmon95's Configure Port dialog in a real Qt window on the offscreen
// platform, photographed into the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/dialogs/script.h"
#include "platform/registry/registry.h"
#include "portmon/win95/mvnmon95.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;

TEST(Monitor95Qt, TheConfigurePortDialogIsARealWindow) {
  unsetenv("MVN_DIALOGS");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  mvntest::TempDir root;
  setenv("MVN_ROOT", root.str().c_str(), 1);
  char monitorRoot[] = "System\\CurrentControlSet\\control\\Print\\Monitors\\MVNMON95";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, monitorRoot, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  MONITOR95 table{};
  ASSERT_TRUE(mvn::portmon95::InitializeTable(monitorRoot, &table));
  ASSERT_TRUE(mvn::portmon95::SetRegString("MVN2", "OutputDirectory", "/tmp"));
  ASSERT_TRUE(mvn::portmon95::SetRegString("MVN2", "ExternalApplication", "/usr/bin/viewer"));
  ASSERT_TRUE(mvn::portmon95::SetRegString("MVN2", "Launch", "2"));
  const char* binary = std::getenv("MVN_TEST_BINARY_DIR");
  fs::path output = fs::path(binary && *binary ? binary : ".") / "test-output" / "mvnmon95";
  fs::create_directories(output);
  dlg::SetScript([&](HWND dialog) {
    ASSERT_EQ(dlg::SelectedBackend(), dlg::Backend::Qt);
    auto* window = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Configure MVN2");
    auto* application = window->findChild<QLineEdit*>("1001");
    ASSERT_NE(application, nullptr);
    EXPECT_EQ(application->text(), "/usr/bin/viewer");
    EXPECT_EQ(application->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_TRUE(window->grab().save(QString::fromStdString((output / "configure-port.png").string())));
    EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL));
  });
  EXPECT_TRUE(table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("MVN2")));
  dlg::SetScript(nullptr);
}
