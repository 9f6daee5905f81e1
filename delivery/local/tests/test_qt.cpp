// dlvlocal's sheet in a real Qt window on the offscreen platform: controls
// found by their ids, typed into and confirmed, each page photographed into
// the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "delivery/local/localmodule.h"
#include "platform/dialogs/script.h"
#include "tests/support/recordingconfig.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;

namespace {

std::string OutputDirectory() {
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  fs::path dir = fs::path(root && *root ? root : ".") / "test-output" / "dlvlocal";
  fs::create_directories(dir);
  return dir.string();
}

void Screenshot(QWidget* widget, const std::string& name) {
  std::string path = OutputDirectory() + "/" + name;
  EXPECT_TRUE(widget->grab().save(QString::fromStdString(path))) << path;
  EXPECT_GT(fs::file_size(path), 0u);
}

}  // namespace

TEST(DlvlocalQt, TheSheetIsARealWindowThatTakesInput) {
  unsetenv("MVN_DIALOGS");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  mvntest::TempDir dir;
  std::string ini = dir / "mvncsend.ini";
  mvntest::WriteFile(ini, "[MVNCSEND]\r\nYourName=Ann\r\nIdentityToken=OM9Z\r\n");
  LOCALRECORD* record = nullptr;
  {
    deliverytest::RecordingConfig config(ini.c_str(), "MVNCSEND");
    record = mvn::delivery::local::Initialize(&config);
  }
  std::string out = dir / "fax/in";
  dlg::SetScript([&](HWND sheet) {
    ASSERT_EQ(dlg::SelectedBackend(), dlg::Backend::Qt);
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Configure Delivery Options");
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->tabText(0), "Your Identity");
    EXPECT_EQ(tabs->tabText(1), "Local Delivery Options");
    QWidget* identity = dialog->findChild<QWidget*>("page-101");
    ASSERT_NE(identity, nullptr);
    auto* name = identity->findChild<QLineEdit*>("1008");
    auto* token = identity->findChild<QLineEdit*>("1007");
    auto* keep = identity->findChild<QCheckBox*>("1005");
    ASSERT_TRUE(name && token && keep && identity->findChild<QLineEdit*>("1009"));
    EXPECT_EQ(name->text(), "Ann");
    EXPECT_EQ(token->text(), "abc") << "the token shows decoded";
    EXPECT_EQ(name->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_EQ(name->palette().color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_EMAIL_ADDRESS), "ann@example.com"));
    keep->click();
    Screenshot(dialog, "sheet-identity.png");

    EXPECT_TRUE(dlg::SelectPage(sheet, 1));
    QWidget* local = dialog->findChild<QWidget*>("page-102");
    ASSERT_NE(local, nullptr);
    auto* location = local->findChild<QLineEdit*>("1004");
    ASSERT_NE(location, nullptr);
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_OUTPUT_LOCATION), out));
    EXPECT_EQ(location->text().toStdString(), out);
    Screenshot(dialog, "sheet-local.png");
    auto* ok = dialog->findChild<QPushButton*>("1");
    ASSERT_NE(ok, nullptr);
    ok->click();
  });
  deliverytest::RecordingConfig config(ini.c_str(), "MVNCSEND");
  EXPECT_TRUE(mvn::delivery::local::Configure(record, &config));
  dlg::SetScript(nullptr);
  EXPECT_EQ(config.writes, (std::vector<std::string>{"YourName=Ann", "YourEmailAddress=ann@example.com",
                                                     "IdentityToken=OM9Z", "KeepFiles=true",
                                                     "OutputLocation=" + out}));
  EXPECT_TRUE(fs::is_directory(out));
  mvn::delivery::local::Terminate(record);
}
