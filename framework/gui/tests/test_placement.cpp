// What a person meets when a window opens: where it stands, which control
// has the focus, what Enter and Escape press, dialog units that follow the
// font, and the layout check that the client's windows are held to.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "framework/core/ini.h"
#include "framework/gui/tests/layoutcheck.h"
#include "framework/gui/window.h"
#include "tests/support/qtwait.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }
QPoint Centre(const QRect& r) { return QPoint(r.x() + r.width() / 2, r.y() + r.height() / 2); }

// Centres within a pixel or two (the sizes are odd or even).
void ExpectCentredOn(const QRect& inner, const QRect& outer, const char* what) {
  QPoint a = Centre(inner), b = Centre(outer);
  EXPECT_LE(std::abs(a.x() - b.x()), 2) << what << ": " << a.x() << " vs " << b.x();
  EXPECT_LE(std::abs(a.y() - b.y()), 2) << what << ": " << a.y() << " vs " << b.y();
}

TEST(Placement, FirstWindowOnTheScreenNextOnItsOwnerSavedOnesKeptOnScreen) {
  mvntest::TempDir dir;
  IniFile ini(dir / "client.ini");
  Window::SetSettingsFile(&ini);
  {
    Window main("Main", "Main", QRect(0, 0, 200, 120));
    main.AddMenu("?File", "&File");
    main.Open();
    ExpectCentredOn(main.Widget()->frameGeometry(), Available(), "the first window");
    // Its client area below the menu bar keeps the size the layout asked for.
    EXPECT_EQ(main.Widget()->centralWidget()->height(), DialogUnits::YToPixels(120));
    EXPECT_EQ(main.WindowPosition().size(), QSize(200, 120));

    // Moved by the user, then a dialog: centred on the main window, not at
    // the screen's corner and not on top of another at the same place.
    main.Widget()->move(40, 30);
    Window dialog("Dialog", "Dialog", QRect(0, 0, 100, 50));
    dialog.Open();
    ExpectCentredOn(dialog.Widget()->frameGeometry(), main.Widget()->frameGeometry(), "the dialog");
    dialog.Close();
    main.Close();
  }
  // Saved far off the screen (another monitor that is gone, a hand edit):
  // the whole window comes back inside the available area.
  ASSERT_TRUE(ini.Update("Far", "XPos", "5000"));
  ASSERT_TRUE(ini.Update("Far", "YPos", "-300"));
  ASSERT_TRUE(ini.Update("Far", "Width", "150"));
  ASSERT_TRUE(ini.Update("Far", "Height", "80"));
  {
    Window far("Far", "Far");
    far.Open();
    EXPECT_TRUE(Available().contains(far.Widget()->frameGeometry())) << far.Widget()->frameGeometry().x();
    EXPECT_EQ(far.Widget()->frameGeometry().right(), Available().right());
    EXPECT_EQ(far.Widget()->frameGeometry().top(), Available().top());
    EXPECT_EQ(far.WindowPosition().size(), QSize(150, 80));
    far.Close();
  }
  // Larger than the screen: it shrinks to it.
  ASSERT_TRUE(ini.Update("Huge", "Width", "90000"));
  ASSERT_TRUE(ini.Update("Huge", "Height", "90000"));
  {
    Window huge("Huge", "Huge");
    huge.Open();
    EXPECT_TRUE(Available().contains(huge.Widget()->frameGeometry()));
    huge.Close();
  }
  Window::SetSettingsFile(nullptr);
}

TEST(DialogUnits, FollowTheLettersOfTheFontInUse) {
  QFont saved = QApplication::font();
  const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  for (int points : {8, 12, 20}) {
    QFont font = saved;
    font.setPointSize(points);
    QApplication::setFont(font);
    QFontMetrics m(font);
    // The letters' average, rounded: four units of x are one letter.
    int average = (m.horizontalAdvance(letters) / 26 + 1) / 2;
    EXPECT_EQ(DialogUnits::BaseX(), std::max(4, average)) << points;
    EXPECT_EQ(DialogUnits::BaseY(), std::max(8, m.height())) << points;
    // A text of n letters fits in 4n units whatever the size.
    QString text = "Preferred Email Attachment Type:";
    EXPECT_LE(m.horizontalAdvance(text), DialogUnits::XToPixels(4 * static_cast<int>(text.size())) + 4) << points;
  }
  QApplication::setFont(saved);
  EXPECT_EQ(DialogUnits::BaseY(), std::max(8, QFontMetrics(saved).height()));
}

// A form as the procedures build it: buttons first, then the fields.
struct Form {
  Window w{"Form", "Form", QRect(0, 0, 200, 80)};
  int ok = w.AddButton("?OK", "&OK", QRect(90, 60, 50, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(145, 60, 50, 14));
  int prompt = w.AddPrompt("?Name:Prompt", "&Name:", QRect(5, 5, 40, 10));
  int name = w.AddEntry("?Name", QRect(50, 5, 140, 11));
  int hidden = 0;
  std::vector<int> pressed;
  Form() {
    QObject::connect(&w, &Window::accepted, [this](int f) {
      if (w.Type(f) == ControlType::Button) pressed.push_back(f);
      if (f == ok || f == cancel) w.Close();
    });
  }
};

TEST(Keyboard, FocusOnTheFirstFieldEnterIsOkEscapeIsCancel) {
  {
    Form f;
    std::string typed;
    mvntest::When("Form", [&](QWidget* top) {
      EXPECT_EQ(top->focusWidget(), f.w.ControlWidget(f.name)) << "the first field, not a button";
      // Space types into the field: it presses nothing.
      QTest::keyClicks(top->focusWidget(), "Ann Lee");
      QTest::keyClick(top->focusWidget(), Qt::Key_Space);
      typed = f.w.Text(f.name);
      QTest::keyClick(top->focusWidget(), Qt::Key_Return);
    });
    f.w.Run();
    EXPECT_EQ(typed, "Ann Lee ");
    EXPECT_EQ(f.pressed, std::vector<int>{f.ok});
    EXPECT_EQ(f.w.EnterButton(), f.ok);
    EXPECT_TRUE(static_cast<QPushButton*>(f.w.ControlWidget(f.ok))->isDefault());
  }
  {
    Form f;
    mvntest::When("Form", [&](QWidget* top) { QTest::keyClick(top->focusWidget(), Qt::Key_Escape); });
    f.w.Run();
    EXPECT_EQ(f.pressed, std::vector<int>{f.cancel});
  }
  {
    // Enter on a button that has the focus presses that button.
    Form f;
    mvntest::When("Form", [&](QWidget*) {
      f.w.ControlWidget(f.cancel)->setFocus();
      QTest::keyClick(f.w.ControlWidget(f.cancel), Qt::Key_Enter, Qt::KeypadModifier);
    });
    f.w.Run();
    EXPECT_EQ(f.pressed, std::vector<int>{f.cancel});
  }
  {
    // The opening code's choice stands; a named default button wins.
    Form f;
    int other = f.w.AddEntry("?Other", QRect(50, 20, 140, 11));
    int apply = f.w.AddButton("?Apply", "&Apply", QRect(35, 60, 50, 14));
    f.w.SetDefaultButton(apply);
    QObject::connect(&f.w, &Window::windowEvent, [&](int e, int) {
      if (e == EventOpenWindow) f.w.Select(other);
    });
    mvntest::When("Form", [&](QWidget* top) {
      EXPECT_EQ(top->focusWidget(), f.w.ControlWidget(other));
      QTest::keyClick(top->focusWidget(), Qt::Key_Return);
      QTest::keyClick(top->focusWidget(), Qt::Key_Escape);
    });
    f.w.Run();
    EXPECT_EQ(f.pressed, (std::vector<int>{apply, f.cancel}));
  }
  {
    // A window without fields and a cancel button: the focus on its one
    // button, Escape closes it because it is modal.
    Window about("About", "About", QRect(0, 0, 100, 40));
    about.AddPrompt("?Version", "1.0", QRect(5, 5, 90, 10));
    int close = about.AddButton("?Close", "&OK", QRect(45, 20, 50, 14));
    QObject::connect(&about, &Window::accepted, [&](int f) {
      if (f == close) about.Close();
    });
    mvntest::When("About", [&](QWidget* top) {
      EXPECT_EQ(top->focusWidget(), about.ControlWidget(close));
      about.ControlWidget(close)->clearFocus();
      QTest::keyClick(about.Widget(), Qt::Key_Escape);
    });
    about.Run();
    EXPECT_FALSE(about.IsOpen());
  }
  {
    // A non-modal window without a cancel button stays open on Escape (the
    // main window is not closed by a stray key).
    Window main("Main", "Main", QRect(0, 0, 100, 40));
    int entry = main.AddEntry("?g_To", QRect(5, 5, 90, 11));
    main.Open();
    EXPECT_EQ(main.Widget()->focusWidget(), main.ControlWidget(entry));
    QTest::keyClick(main.ControlWidget(entry), Qt::Key_Escape);
    EXPECT_TRUE(main.IsOpen());
    main.Close();
  }
}

TEST(LayoutCheck, FindsCutTextsControlsOutsideTheirParentAndOverlaps) {
  Window w("Bad", "Bad", QRect(0, 0, 200, 100));
  w.AddPrompt("?Fits", "Name:", QRect(5, 5, 40, 10));
  w.AddPrompt("?Cut", "Preferred Email Attachment Type:", QRect(5, 20, 40, 10));
  w.AddButton("?Help", "Help", QRect(100, 80, 45, 14));
  w.AddButton("?Cancel", "&Cancel", QRect(120, 80, 45, 14));
  int sheet = w.AddSheet("?Sheet", QRect(5, 35, 90, 40));
  int tab1 = w.AddTab(sheet, "?Tab1", "One");
  int tab2 = w.AddTab(sheet, "?Tab2", "Two");
  w.AddEntry("?OnTab1", QRect(2, 2, 40, 11), 0, tab1);
  w.AddEntry("?Below", QRect(2, 30, 40, 11), 0, tab2);
  w.Open();
  std::vector<std::string> faults = mvntest::LayoutFaults(w.Widget());
  std::string all;
  for (auto& f : faults) all += f + "\n";
  auto has = [&](const char* what) { return all.find(what) != std::string::npos; };
  EXPECT_TRUE(has("?Cut: the text \"Preferred Email Attachment Type:\"")) << all;
  EXPECT_TRUE(has("?Help and ?Cancel overlap")) << all;
  EXPECT_TRUE(has("?Below: reaches out of ?Tab2")) << all;
  EXPECT_FALSE(has("?Fits")) << all;
  EXPECT_FALSE(has("?OnTab1")) << all;
  EXPECT_EQ(faults.size(), 3u) << all;
  w.Close();
}

}  // namespace
