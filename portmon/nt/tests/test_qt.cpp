// mvnmon's two port dialogs in real Qt windows on the offscreen platform,
// photographed into the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/dialogs/script.h"
#include "platform/registry/registry.h"
#include "portmon/nt/mvnmon.h"
#include "tests/support/tempdir.h"

extern "C" LPMONITOREX InitializePrintMonitor(LPWSTR pRegistryRoot);

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;

// Qt's font configuration library keeps caches for the life of the process.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

TEST(MonitorDialogsQt, BothDialogsAreRealWindowsInDarkBlueOnWhite) {
  unsetenv("MVN_DIALOGS");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  mvntest::TestRoot root;
  const std::string monitorRoot = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MVNMON";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (monitorRoot + "\\MVN1").c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const char application[] = "/usr/bin/faxviewer";
  RegSetValueExA(key, "ExternalApplication", 0, REG_SZ, reinterpret_cast<const BYTE*>(application),
                 sizeof application);
  RegCloseKey(key);
  std::u16string wideRoot(monitorRoot.begin(), monitorRoot.end());
  LPMONITOREX table = InitializePrintMonitor(wideRoot.data());
  ASSERT_NE(table, nullptr);
  const char* binary = std::getenv("MVN_TEST_BINARY_DIR");
  fs::path output = fs::path(binary && *binary ? binary : ".") / "test-output" / "mvnmon";
  fs::create_directories(output);

  dlg::SetScript([&](HWND dialog) {
    ASSERT_EQ(dlg::SelectedBackend(), dlg::Backend::Qt);
    auto* window = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Configure MVN1");
    auto* edit = window->findChild<QLineEdit*>("1002");
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->text(), application);
    EXPECT_EQ(edit->palette().color(QPalette::Text), QColor(0, 0, 127));
    EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_TRUE(window->grab().save(QString::fromStdString((output / "configure-port.png").string())));
    EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL));
  });
  std::u16string port = u"MVN1";
  EXPECT_TRUE(table->Monitor.pfnConfigurePort(nullptr, nullptr, port.data()));

  dlg::SetScript([&](HWND dialog) {
    auto* window = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "New Morvane Port");
    auto* list = window->findChild<QComboBox*>("1007");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->currentText(), "MVN2");
    EXPECT_TRUE(window->grab().save(QString::fromStdString((output / "new-port.png").string())));
    EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL));
  });
  std::u16string monitor = u"MVNMON";
  EXPECT_TRUE(table->Monitor.pfnAddPort(nullptr, nullptr, monitor.data()));
  dlg::SetScript(nullptr);
}
