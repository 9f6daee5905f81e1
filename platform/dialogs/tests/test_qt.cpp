// The Qt backend on the offscreen platform: the sheet and dialogs are real
// widgets found by their ids, typed into and clicked like a user would, and
// photographed into the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/dialogs/tests/dialog_support.h"
#include "tests/support/qtwait.h"

using namespace dialogtest;
namespace dlg = mvn::dialogs;

namespace {

std::string OutputDirectory() {
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  std::filesystem::path dir = std::filesystem::path(root && *root ? root : ".") / "test-output" / "dialogs";
  std::filesystem::create_directories(dir);
  return dir.string();
}

void Screenshot(QWidget* widget, const std::string& name) {
  std::string path = OutputDirectory() + "/" + name;
  EXPECT_TRUE(widget->grab().save(QString::fromStdString(path))) << path;
}

QDialog* ModalDialog(const char* name) {
  auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
  return dialog && dialog->objectName() == QLatin1String(name) ? dialog : nullptr;
}

// Typing as the keyboard does: select all, then one key event per character.
void TypeInto(QLineEdit* edit, const QString& text) {
  edit->setFocus();
  edit->selectAll();
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(edit, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(edit, &release);
  }
}

using mvntest::WhenModal;

// How much of an image is the given colour's dominant channel.
int BluePixels(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      QColor c = image.pixelColor(x, y);
      if (c.blue() > 150 && c.red() < 110 && c.green() < 110) ++count;
    }
  return count;
}

class QtSheet : public testing::Test {
 protected:
  void SetUp() override { Log().clear(); }
  Page identity{"identity", {kName, kEmail, kToken, kKeepFiles}};
  Page options{"options", {kLocation, kProfile}};
};

}  // namespace

TEST_F(QtSheet, PagesAreWidgetsThatTakeInputAndShowTheCoresState) {
  std::string name, email, location;
  bool keep = false;
  identity.onInit = [](HWND page) { SetDlgItemTextA(page, kToken, "secret"); };
  identity.onApply = [&](HWND page) {
    name = Text(page, kName);
    email = Text(page, kEmail);
    keep = IsDlgButtonChecked(page, kKeepFiles) == BST_CHECKED;
  };
  options.onInit = [](HWND page) {
    SendDlgItemMessageA(page, kProfile, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Default"));
    SendDlgItemMessageA(page, kProfile, CB_SETCURSEL, 0, 0);
  };
  options.onApply = [&](HWND page) { location = Text(page, kLocation); };
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    ASSERT_EQ(dlg::SelectedBackend(), dlg::Backend::Qt);
    QDialog* dialog = ModalDialog("propertysheet");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Configure Delivery Options");
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->tabText(0), "Your Identity");
    EXPECT_EQ(tabs->tabText(1), "Local Delivery Options");
    QWidget* first = dialog->findChild<QWidget*>("page-101");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(dialog->findChild<QWidget*>("page-102"), nullptr) << "the second page is built when first shown";

    auto* nameEdit = first->findChild<QLineEdit*>("1008");
    auto* emailEdit = first->findChild<QLineEdit*>("1009");
    auto* tokenEdit = first->findChild<QLineEdit*>("1007");
    auto* keepBox = first->findChild<QCheckBox*>("1005");
    auto* apply = dialog->findChild<QPushButton*>("12321");
    ASSERT_TRUE(nameEdit && emailEdit && tokenEdit && keepBox && apply);
    EXPECT_EQ(tokenEdit->text(), "secret") << "text set in WM_INITDIALOG shows";
    EXPECT_EQ(nameEdit->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_EQ(nameEdit->palette().color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_EQ(keepBox->layoutDirection(), Qt::RightToLeft) << "the check box has its text on the left";
    EXPECT_FALSE(apply->isEnabled());

    // Keystrokes on the widget reach the page as EN_CHANGE.
    TypeInto(nameEdit, "Ann");
    EXPECT_EQ(Text(dlg::PageWindow(window, 0), kName), "Ann");
    EXPECT_EQ(CountLog("identity command 1008 768"), 3u);
    EXPECT_TRUE(apply->isEnabled());
    // The script's typing goes through the widget too.
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(window, kEmail), "ann@example.com"));
    EXPECT_EQ(emailEdit->text(), "ann@example.com");
    keepBox->click();
    EXPECT_EQ(IsDlgButtonChecked(dlg::PageWindow(window, 0), kKeepFiles), BST_CHECKED);
    // What the core sets, the widget shows.
    SetDlgItemTextA(dlg::PageWindow(window, 0), kToken, "changed by the program");
    EXPECT_EQ(tokenEdit->text(), "changed by the program");
    EXPECT_GT(BluePixels(nameEdit->grab().toImage()), 5) << "the typed text is drawn blue";
    Screenshot(dialog, "sheet-identity.png");

    tabs->setCurrentIndex(1);
    EXPECT_EQ(dlg::CurrentPage(window), 1);
    QWidget* second = dialog->findChild<QWidget*>("page-102");
    ASSERT_NE(second, nullptr);
    auto* locationEdit = second->findChild<QLineEdit*>("1004");
    auto* profile = second->findChild<QComboBox*>("1010");
    ASSERT_TRUE(locationEdit && profile);
    EXPECT_EQ(profile->currentText(), "Default");
    TypeInto(locationEdit, "/srv/fax");
    Screenshot(dialog, "sheet-options.png");
    dialog->findChild<QPushButton*>("1")->click();
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(name, "Ann");
  EXPECT_EQ(email, "ann@example.com");
  EXPECT_TRUE(keep);
  EXPECT_EQ(location, "/srv/fax");
  EXPECT_EQ(ModalDialog("propertysheet"), nullptr);
}

TEST_F(QtSheet, ARefusingPageKeepsItsTabAndApplyThenCancelCounts) {
  identity.refuse = true;
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    QDialog* dialog = ModalDialog("propertysheet");
    ASSERT_NE(dialog, nullptr);
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    TypeInto(dialog->findChild<QLineEdit*>("1008"), "x");
    tabs->setCurrentIndex(1);
    EXPECT_EQ(tabs->currentIndex(), 0) << "the tab goes back to the refusing page";
    EXPECT_EQ(dlg::CurrentPage(window), 0);
    dialog->findChild<QPushButton*>("1")->click();
    EXPECT_TRUE(dialog->isVisible()) << "OK does not close on a refusal";
    identity.refuse = false;
    auto* apply = dialog->findChild<QPushButton*>("12321");
    apply->click();
    EXPECT_FALSE(apply->isEnabled());
    EXPECT_TRUE(dialog->isVisible());
    dialog->findChild<QPushButton*>("2")->click();
  });
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(identity.applied);
}

TEST_F(QtSheet, WithoutAScriptTheSheetWaitsForItsUser) {
  Sheet sheet(&identity, &options);
  WhenModal("propertysheet", [](QWidget* dialog) {
    // The user presses Escape.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dialog, &escape);
  });
  EXPECT_EQ(PropertySheetA(&sheet.header), 0);
  EXPECT_EQ(CountLog("identity reset"), 1u);
}

TEST(QtDialog, ConfigurePortIsLaidOutFromItsTemplateAndShowsMessageBoxes) {
  bool boxSeen = false;
  dlg::SetScript([&](HWND window) {
    QDialog* dialog = ModalDialog("dialog-201");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Configure MVN1");
    // Dialog units to pixels with the dialog font's metrics.
    QFontMetrics metrics(dialog->font());
    int cx = (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    int cy = metrics.height();
    EXPECT_EQ(dialog->width(), (262 * cx + 2) / 4);
    EXPECT_EQ(dialog->height(), (135 * cy + 4) / 8);
    auto* output = dialog->findChild<QLineEdit*>("1001");
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->x(), (90 * cx + 2) / 4);
    EXPECT_EQ(output->y(), (20 * cy + 4) / 8);
    EXPECT_EQ(output->palette().color(QPalette::Text), QColor(0, 0, 127));
    EXPECT_EQ(dialog->focusWidget(), output) << "WM_INITDIALOG returned TRUE: the first tab stop has the focus";
    RECT rect;
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.right - rect.left, dialog->width());

    TypeInto(output, "/no/such/dir");
    WhenModal("messagebox", [&](QWidget* box) {
      boxSeen = true;
      EXPECT_EQ(box->windowTitle(), "Invalid Field");
      EXPECT_EQ(static_cast<QMessageBox*>(box)->text(), "Unable to access [/no/such/dir]");
      Screenshot(box, "message-box-invalid-field.png");
      box->findChild<QPushButton*>("1")->click();
    });
    dialog->findChild<QPushButton*>("1")->click();
    EXPECT_TRUE(boxSeen);
    EXPECT_TRUE(dialog->isVisible());
    TypeInto(output, "/tmp");
    dialog->findChild<QCheckBox*>("1004")->click();
    Screenshot(dialog, "configure-port.png");
    dialog->findChild<QPushButton*>("1")->click();
  });
  PortSettings port;
  port.output = "";
  port.focusOutput = false;
  INT_PTR result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(kConfigurePort), nullptr, &ConfigurePortProc,
                                   reinterpret_cast<LPARAM>(&port));
  dlg::SetScript(nullptr);
  EXPECT_EQ(result, 1);
}

TEST(QtMessageBox, AnswersWithTheButtonClicked) {
  EnableDisplayMessageBoxes();
  struct Case {
    UINT type;
    const char* click;  // object name of the button, nullptr for Escape
    int expected;
  };
  const Case cases[] = {
      {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, "6", IDYES},
      {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, "7", IDNO},
      {MB_OKCANCEL, nullptr, IDCANCEL},
      {MB_OK | MB_ICONWARNING, nullptr, IDOK},
      {MB_RETRYCANCEL, "4", IDRETRY},
  };
  int index = 0;
  for (const Case& c : cases) {
    QString defaultName;
    WhenModal("messagebox", [&, c](QWidget* widget) {
      auto* box = static_cast<QMessageBox*>(widget);
      EXPECT_EQ(box->text(), "First line\nsecond line\nthird");
      if (box->defaultButton()) defaultName = box->defaultButton()->objectName();
      if (index == 0) Screenshot(box, "message-box-question.png");
      if (c.click) {
        box->findChild<QPushButton*>(c.click)->click();
      } else {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(box, &escape);
      }
    });
    EXPECT_EQ(MessageBoxA(nullptr, "First line|second line\nthird", "Question", c.type), c.expected) << index;
    if (c.type & MB_DEFBUTTON2) {
      EXPECT_EQ(defaultName, "7");
    }
    ++index;
  }
}

TEST_F(QtSheet, ASheetOnAnotherThreadRunsHeadlessInsteadOfTouchingQt) {
  // Qt's widgets belong to the thread of its application object.
  INT_PTR result = -2;
  bool sawQtWidget = true;
  testing::internal::CaptureStderr();
  std::thread worker([&] {
    Sheet sheet(&identity, &options);
    result = ShowSheet(sheet.header, [&](HWND window) {
      sawQtWidget = QApplication::activeModalWidget() != nullptr;
      dlg::TypeText(dlg::FindControl(window, kName), "Ann");
      dlg::PressButton(window, IDOK);
    });
  });
  worker.join();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(sawQtWidget);
  EXPECT_TRUE(identity.applied);
  EXPECT_NE(err.find("cannot show windows on this thread"), std::string::npos) << err;
}
