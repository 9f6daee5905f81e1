// dlvmapi's options page in a real Qt window on the offscreen platform: the
// profile and transport lists filled from the messaging substitute on their
// first drop-down, photographed into the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QTabWidget>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/recordingconfig.h"
#include "delivery/mapi/mapimodule.h"
#include "platform/dialogs/script.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;

TEST(DlvmapiQt, TheOptionsPageListsProfilesAndTransports) {
  unsetenv("MVN_DIALOGS");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  mvntest::TempDir dir;
  setenv("MVN_ROOT", dir.str().c_str(), 1);
  fs::create_directories(dir / "mapi");
  mvntest::WriteFile(dir / "mapi/mapi.ini",
                     "[Profiles]\r\nCount=2\r\nProfile1=Fax User\r\nProfile2=Sales\r\nDefault=Sales\r\n"
                     "[Profile Fax User]\r\nStore=Main\r\nTransports=2\r\nTransport1=Fax Transport\r\n"
                     "Transport2=Internet Mail\r\n");
  std::string ini = dir / "mvncsend.ini";
  mvntest::WriteFile(ini, "[MVNCSEND]\r\nMAPILogonProfile=Fax User\r\nMAPIDeliverTo=Fax Server\r\n");
  MAPIRECORD* record = nullptr;
  {
    deliverytest::RecordingConfig config(ini.c_str(), "MVNCSEND");
    record = mvn::delivery::mapi::Initialize(&config);
  }
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  fs::path output = fs::path(root && *root ? root : ".") / "test-output" / "dlvmapi";
  fs::create_directories(output);
  dlg::SetScript([&](HWND sheet) {
    ASSERT_EQ(dlg::SelectedBackend(), dlg::Backend::Qt);
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->tabText(1), "MAPI Delivery Options");
    EXPECT_TRUE(dlg::SelectPage(sheet, 1));
    QWidget* page = dialog->findChild<QWidget*>("page-103");
    ASSERT_NE(page, nullptr);
    auto* profiles = page->findChild<QComboBox*>("1000");
    auto* transports = page->findChild<QComboBox*>("1003");
    ASSERT_TRUE(profiles && transports);
    EXPECT_TRUE(dlg::DropDown(dlg::FindControl(sheet, IDC_LOGON_PROFILE)));
    EXPECT_TRUE(dlg::DropDown(dlg::FindControl(sheet, IDC_DELIVER_TRANSPORT)));
    EXPECT_EQ(profiles->count(), 2);
    EXPECT_EQ(transports->count(), 3);
    EXPECT_EQ(transports->itemText(0), "Work Offline");
    EXPECT_TRUE(dialog->grab().save(QString::fromStdString((output / "sheet-mapi.png").string())));
    EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL));
  });
  deliverytest::RecordingConfig config(ini.c_str(), "MVNCSEND");
  EXPECT_FALSE(mvn::delivery::mapi::Configure(record, &config));
  dlg::SetScript(nullptr);
  EXPECT_TRUE(config.writes.empty());
  mvn::delivery::mapi::Terminate(record);
}
