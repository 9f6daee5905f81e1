// The tip window offscreen: a rich tip with its elements and a screenshot,
// links and history, actions through a recording browser, the editor.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QToolButton>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "helptips/tipwindow.h"
#include "platform/registry/registry.h"
#include "tests/support/qtwait.h"
#include "tests/support/tempdir.h"

using namespace mvn::helptips;
namespace fw = mvn::framework;

namespace {

TipWindowRequest Req(std::string proc, std::string ctl, std::string type, std::string file) {
  TipWindowRequest r;
  r.procedure = std::move(proc);
  r.controlName = std::move(ctl);
  r.controlType = std::move(type);
  r.tipFile = std::move(file);
  return r;
}

std::string OutputDir() {
  const char* build = std::getenv("MVN_TEST_BINARY_DIR");
  std::string dir = std::string(build ? build : ".") + "/test-output/helptips";
  std::filesystem::create_directories(dir);
  return dir;
}

void SetRegistry(HKEY root, const char* key, const char* name, const std::string& value) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
  RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(k);
}

struct TipWindowTest : ::testing::Test {
  mvntest::TempDir dir;
  std::string path = dir / "hintwell.hwt";
  std::string record = dir / "record.txt";
  fw::ScriptedServices services;
  fw::ScopedServices scoped{&services};

  void SetUp() override {
    setenv("MVN_TEST_RECORD", record.c_str(), 1);
    SetRegistry(HKEY_CLASSES_ROOT, kBrowserKey, nullptr, std::string(MVN_HELPTIPS_RECORDER) + " -new-window");
    SetRegistry(HKEY_LOCAL_MACHINE, kHelpKey, kHelpFolderValue, dir / "help");
    auto hwt = MakeTipFile(path);
    ASSERT_EQ(hwt->TryOpen(), 0);
    auto add = [&](const char* proc, const char* ctl, const char* type, const std::string& text,
                   const std::string& settings) {
      Record& r = hwt->Buffer();
      r.Clear();
      r.Set("ProcedureName", proc);
      r.Set("ControlName", ctl);
      r.Set("ControlType", type);
      r.Set("HelpTip", text);
      r.Set("Settings", settings);
      r.Set("Other", std::string("\xDC\x00", 2));  // 220
      ASSERT_EQ(hwt->TryInsert(), 0);
    };
    std::string sep = kSettingSeparator;
    add("FindClient", "?Company", "ENTRY",
        "The company name of the address <Xfor> faxes.\r\n"
        "<T1>Press <B1> to run a program.\r\n"
        "<T2>See <www.example.com> or <LNK:Fax Number>.\r\n"
        "<HR>\r\n"
        "Less than: << | done",
        "[B1]CALL;EXEmvnreg list" + sep + "TOOLTIP;Lists the registry" + sep + "[S  1]FONT;Sans,12,8388608,1" +
            sep);
    add("", "FaxNumber", "", "The fax number, with its country code.", "");
    hwt->Close();
  }
  void TearDown() override { unsetenv("MVN_TEST_RECORD"); }

  std::unique_ptr<TipWindowView> Open(const char* proc, const char* ctl, const char* type) {
    TipWindowRequest request = Req(proc, ctl, type, path);
    request.caption = "A Tip ...";
    auto view = std::make_unique<TipWindowView>(request);
    EXPECT_TRUE(view->Load());
    view->Open();
    QApplication::processEvents();
    return view;
  }
  // What the browser stand-in recorded; it replaces its file whole, so the
  // file's appearance means its line is complete. Empty after 5 s.
  std::string Recorded() {
    for (int i = 0; i < 500 && !std::filesystem::exists(record); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string text = mvntest::ReadFile(record);
    std::filesystem::remove(record);
    return text;
  }
  int Find(const TipWindowView& v, const char* type, int nth = 1) {
    for (size_t i = 0; i < v.Markup().elements.size(); ++i)
      if (v.Markup().elements[i].type == type && --nth == 0) return static_cast<int>(i);
    return -1;
  }
};

}  // namespace

TEST_F(TipWindowTest, RichTipShowsOneWidgetPerElement) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  EXPECT_EQ(view->Width(), 220);
  const auto& elements = view->Markup().elements;
  ASSERT_FALSE(elements.empty());
  // "<X" is no tag: the "<" is dropped; labels never read markup.
  auto* first = qobject_cast<QLabel*>(view->ElementWidget(0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->textFormat(), Qt::PlainText);
  EXPECT_EQ(first->font().pointSize(), 12);
  EXPECT_TRUE(first->font().bold());
  EXPECT_EQ(first->text().toStdString(), "The company name of the address ");
  EXPECT_EQ(elements[1].text, "Xfor> faxes.");
  int button = Find(*view, "BUTTON");
  ASSERT_GE(button, 0);
  auto* b = qobject_cast<QToolButton*>(view->ElementWidget(button));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->toolTip().toStdString(), "Lists the registry");
  int bullet = Find(*view, "BULLET");
  EXPECT_EQ(qobject_cast<QLabel*>(view->ElementWidget(bullet))->text().toStdString(), "\xE2\x96\xAA");
  EXPECT_GE(Find(*view, "Line"), 0);
  int last = static_cast<int>(elements.size()) - 1;
  EXPECT_EQ(elements[static_cast<size_t>(last)].text, " done");
  EXPECT_EQ(elements[static_cast<size_t>(last) - 1].text, "Less than: < ");
  view->Widget()->grab().save(QString::fromStdString(OutputDir() + "/rich-tip.png"));
  view->Close();
}

TEST_F(TipWindowTest, WebLinkAndButtonRunWithoutAShell) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  view->RunAction(Find(*view, "REGION"));
  EXPECT_EQ(Recorded(), "http://www.example.com\n");  // the switch was removed
  view->Close();
}

TEST_F(TipWindowTest, ButtonCallsThatCannotRunDoNothing) {
  auto hwt = MakeTipFile(path);
  ASSERT_EQ(hwt->TryOpen(), 0);
  Record& r = hwt->Buffer();
  r.Clear();
  r.Set("ProcedureName", "P");
  r.Set("ControlName", "?Calls");
  r.Set("HelpTip", "<B1> <B2>");
  // B1: a command line longer than the setting holds; B2: a message to a
  // window that does not exist.
  r.Set("Settings", "[B1]CALL;EXE" + std::string(MVN_HELPTIPS_RECORDER) + " too long\xC2\xAB[B2]CALL;MSG400,9999\xC2\xAB");
  ASSERT_EQ(hwt->TryInsert(), 0);
  hwt->Close();
  auto view = Open("P", "?Calls", "");
  view->RunAction(Find(*view, "BUTTON", 1));
  ASSERT_FALSE(services.messages.empty());
  EXPECT_EQ(services.messages.back().text, "The command line of this button is too long and is not run.");
  EXPECT_FALSE(std::filesystem::exists(record));
  view->RunAction(Find(*view, "BUTTON", 2));  // closes the tip, posts nothing
  EXPECT_FALSE(view->IsOpen());
}

TEST_F(TipWindowTest, LinkHistoryAndDerivedSettings) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  view->RunAction(Find(*view, "LNK"));
  EXPECT_EQ(view->Tip().record.Clipped("HelpTip"), "The fax number, with its country code.");
  EXPECT_TRUE(view->LayoutResult().historyButtons);
  view->GoBack();
  EXPECT_EQ(view->Tip().record.Clipped("ControlName"), "?Company");
  // The link without a target got its derived settings saved with the tip.
  EXPECT_EQ(view->Settings().Value("LNK1", "LINKTIPCTL"), "FaxNumber");
  view->GoBack();  // clamped at the first entry
  view->GoForward();
  EXPECT_EQ(view->Tip().record.Clipped("ControlName"), "FaxNumber");
  view->GoForward();
  EXPECT_EQ(view->Tip().record.Clipped("ControlName"), "FaxNumber");
  view->Close();
}

TEST_F(TipWindowTest, HelpTopicsOpenThroughTheBrowser) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  view->ShowHelp();
  EXPECT_EQ(Recorded(), "file://" + (dir / "help") + "/Hintwell/Contents.html\n");
  view->Close();
}

TEST_F(TipWindowTest, EditorSavesAndStaysOnMissingKeys) {
  auto view = Open("CmdSetup", "?Port", "ENTRY");
  EXPECT_EQ(view->Tip().record.Clipped("HelpTip"), "No Help for This Topic");
  ASSERT_TRUE(view->BeginTextEdit());
  EXPECT_EQ(view->Caption(), "Edit Help Tip...");
  EXPECT_FALSE(view->BeginFormatting());  // excluded while editing text
  view->KeyEntry(1)->setText("");
  view->KeyEntry(2)->setText("");
  EXPECT_EQ(view->SaveText(), SaveOutcome::MissingKeys);
  EXPECT_TRUE(view->TextEditing());
  view->KeyEntry(1)->setText("?Port");
  view->TextEntry()->setPlainText("The port, <B1> tests it.");
  view->Widget()->grab().save(QString::fromStdString(OutputDir() + "/tip-editor.png"));
  EXPECT_EQ(view->SaveText(), SaveOutcome::Inserted);
  EXPECT_FALSE(view->TextEditing());
  // Formatting: the button gets a MSG call.
  ASSERT_TRUE(view->BeginFormatting());
  view->SelectElement(Find(*view, "BUTTON"));
  EXPECT_TRUE(view->SetProperty("CALL", "MSG400,2"));
  EXPECT_FALSE(view->SetProperty("TOOLTIP", "a;b"));
  view->FinishFormatting(true);
  view->Close();
  auto again = Open("CmdSetup", "?Port", "ENTRY");
  EXPECT_EQ(again->Tip().settings, std::string("[B1]CALL;MSG400,2") + kSettingSeparator);
  again->Close();
}

TEST_F(TipWindowTest, EditFlagTwoForbidsEditing) {
  TipWindowRequest request = Req("FindClient", "?Company", "ENTRY", path);
  request.editFlag = 2;
  TipWindowView view(request);
  ASSERT_TRUE(view.Load());
  EXPECT_FALSE(view.BeginTextEdit());
  EXPECT_FALSE(view.BeginFormatting());
  EXPECT_TRUE(TipEditAllowed(0));
  EXPECT_FALSE(TipEditAllowed(1));  // no "/EditTips" on this command line
  EXPECT_FALSE(TipEditAllowed(2));
}

TEST_F(TipWindowTest, UnopenableTipFileClosesOnlyTheTip) {
  std::string bad = dir / "bad.hwt";
  { std::FILE* f = std::fopen(bad.c_str(), "w"); std::fputs("not a tip file", f); std::fclose(f); }
  TipWindowRequest request = Req("FindClient", "?Company", "ENTRY", bad);
  EXPECT_EQ(TipWindow(request), -1);
  EXPECT_EQ(mvntest::ReadFile(bad), "not a tip file");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages.back().caption, "Invalid File");
}

TEST_F(TipWindowTest, PropertiesWindowLinksToAChosenTip) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  ASSERT_TRUE(view->BeginFormatting());
  view->SelectElement(Find(*view, "LNK"));
  QStringList headers;
  std::vector<QStringList> rows;
  mvntest::When("TipProperties", [&](QWidget* w) {
    auto* dialog = qobject_cast<QDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    // "Link to Tip:" lists every tip in three columns; a click picks one.
    auto* list = dialog->findChild<QTreeWidget*>("LinkToTip");
    if (list) {
      for (int c = 0; c < list->columnCount(); ++c) headers << list->headerItem()->text(c);
      for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(i);
        rows.push_back({item->text(0), item->text(1), item->text(2)});
        if (item->text(0) == "FaxNumber")
          QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->visualItemRect(item).center());
      }
    }
    dialog->grab().save(QString::fromStdString(OutputDir() + "/tip-properties.png"));
    dialog->accept();
  });
  EXPECT_TRUE(view->OpenProperties());
  EXPECT_EQ(headers, (QStringList{"Control Name", "Procedure Name", "Control Type"}));
  EXPECT_EQ(rows, (std::vector<QStringList>{{"?Company", "FindClient", "ENTRY"}, {"FaxNumber", "", ""}}));
  EXPECT_EQ(view->Settings().Value("LNK1", "LINKTIPCTL"), "FaxNumber");
  view->FinishFormatting(false);
  // Accepting the properties window saved the tip.
  view->RunAction(Find(*view, "LNK"));
  EXPECT_EQ(view->Tip().record.Clipped("HelpTip"), "The fax number, with its country code.");
  view->Close();
}

TEST_F(TipWindowTest, TallTipScrollsInAWindowOfTheMaximumHeight) {
  auto hwt = MakeTipFile(path);
  ASSERT_EQ(hwt->TryOpen(), 0);
  Record& r = hwt->Buffer();
  r.Clear();
  r.Set("ProcedureName", "P");
  r.Set("ControlName", "?Tall");
  std::string text;
  for (int i = 1; i <= 40; ++i) text += "Line " + std::to_string(i) + "\r\n";
  r.Set("HelpTip", text);
  ASSERT_EQ(hwt->TryInsert(), 0);
  hwt->Close();
  auto view = Open("P", "?Tall", "");
  EXPECT_EQ(view->LayoutResult().contentHeight, 5 + 40 * 9);
  EXPECT_TRUE(view->LayoutResult().scrolls);
  EXPECT_EQ(view->WindowPosition().height(), 235);
  view->Widget()->grab().save(QString::fromStdString(OutputDir() + "/tall-tip.png"));
  view->Close();
}

TEST_F(TipWindowTest, VariableWidthIsSavedIntoOther) {
  TipWindowRequest request = Req("FindClient", "?Company", "ENTRY", path);
  request.variableWidth = true;
  TipWindowView view(request);
  ASSERT_TRUE(view.Load());
  view.Open();
  ASSERT_TRUE(view.BeginTextEdit());
  view.Widget()->resize(fw::DialogUnits::XToPixels(300), view.Widget()->height());
  EXPECT_EQ(view.SaveText(), SaveOutcome::Saved);
  std::string other = view.Tip().record.Get("Other");
  ASSERT_GE(other.size(), 2u);
  int width = static_cast<unsigned char>(other[0]) | (static_cast<unsigned char>(other[1]) << 8);
  EXPECT_NEAR(width, 300, 1);
  EXPECT_EQ(view.Width(), width);
  view.Close();
}

namespace {

// Runs act on the properties window once it is up (inside its modal loop).
void WhenProperties(std::function<void(QDialog*)> act) {
  mvntest::When("TipProperties", [act](QWidget* w) {
    auto* dialog = qobject_cast<QDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    act(dialog);
  });
}

// The text of the label of a form row's field.
QString LabelOf(QWidget* field) {
  for (QLabel* label : field->window()->findChildren<QLabel*>())
    if (label->buddy() == field) return label->text();
  return QString();
}

}  // namespace

// The button page gives each value its own label, shown for its call type;
// a MSG call of 400 to thread 2 is stored as MSG400,2.
TEST_F(TipWindowTest, ButtonPageShowsTheLabelsOfItsCallType) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  ASSERT_TRUE(view->BeginFormatting());
  view->SelectElement(Find(*view, "BUTTON"));
  std::map<std::string, std::pair<QString, bool>> exe, msg;
  auto look = [](QDialog* d, std::map<std::string, std::pair<QString, bool>>* out) {
    for (const char* name : {"Command", "Message", "Thread", "HelpFile", "HelpTopic"}) {
      auto* e = d->findChild<QLineEdit*>(name);
      if (e) (*out)[name] = {LabelOf(e), e->isVisible()};
    }
  };
  WhenProperties([&](QDialog* d) {
    look(d, &exe);
    auto* kind = d->findChild<QComboBox*>("CallType");
    ASSERT_NE(kind, nullptr);
    kind->setCurrentIndex(1);
    look(d, &msg);
    auto* message = d->findChild<QLineEdit*>("Message");
    auto* thread = d->findChild<QLineEdit*>("Thread");
    message->clear();
    thread->clear();
    QTest::keyClicks(message, "400");
    QTest::keyClicks(thread, "2");
    d->accept();
  });
  EXPECT_TRUE(view->OpenProperties());
  EXPECT_EQ(exe["Command"], (std::pair<QString, bool>{"&Command line:", true}));
  EXPECT_FALSE(exe["Message"].second);
  EXPECT_FALSE(exe["HelpFile"].second);
  EXPECT_EQ(msg["Message"], (std::pair<QString, bool>{"&Message:", true}));
  EXPECT_EQ(msg["Thread"], (std::pair<QString, bool>{"&Thread:", true}));
  EXPECT_EQ(msg["HelpFile"].first, "Help &File:");
  EXPECT_EQ(msg["HelpTopic"].first, "Help &Topic:");
  EXPECT_FALSE(msg["Command"].second);
  EXPECT_EQ(view->Settings().Value("B1", "CALL"), "MSG400,2");
  view->FinishFormatting(false);
  view->Close();
}

// A string's font is chosen in the font dialog and the colour dialog; the
// FONT setting holds face, size, colour and style.
TEST_F(TipWindowTest, FontChooserSetsFaceSizeColourAndStyle) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  ASSERT_TRUE(view->BeginFormatting());
  view->SelectElement(Find(*view, "String"));
  QString family;
  int style = -1;
  WhenProperties([&](QDialog* d) {
    // The font dialog first, then the colour dialog.
    mvntest::AcceptWhenUp<QFontDialog>("the font dialog", [&family, &style](QFontDialog* fd) {
      QFont f = fd->currentFont();
      f.setPointSize(14);
      f.setUnderline(true);
      f.setBold(true);  // taken when the face has a bold style
      fd->setCurrentFont(f);
      QFont shown = fd->currentFont();
      family = shown.family();
      style = (shown.bold() ? 1 : 0) | (shown.italic() ? 2 : 0) | (shown.underline() ? 4 : 0);
      mvntest::AcceptWhenUp<QColorDialog>(
          "the colour dialog", [](QColorDialog* cd) { cd->setCurrentColor(QColor(0x12, 0x34, 0x56)); });
    });
    QTest::mouseClick(d->findChild<QPushButton*>("ChooseFont"), Qt::LeftButton);
    d->accept();
  });
  EXPECT_TRUE(view->OpenProperties());
  const std::string setting = view->Settings().Value("S  1", "FONT");
  EXPECT_GE(style & 4, 4);
  EXPECT_EQ(setting, family.toStdString() + ",14," + std::to_string(0x123456) + "," + std::to_string(style));
  view->FinishFormatting(false);
  view->Close();
}

// After a text edit the settings follow their elements and are written to
// the file: the next open formats the same words.
TEST_F(TipWindowTest, SettingsFollowTheTextEditIntoTheFile) {
  auto view = Open("FindClient", "?Company", "ENTRY");
  ASSERT_TRUE(view->BeginTextEdit());
  // A new first line moves every string one number on.
  view->TextEntry()->setPlainText("A new first line.\n" + view->TextEntry()->toPlainText());
  EXPECT_EQ(view->SaveText(), SaveOutcome::Saved);
  view->Close();
  auto again = Open("FindClient", "?Company", "ENTRY");
  const std::string settings = again->Tip().settings;
  EXPECT_NE(settings.find("[S  2]FONT;Sans,12,8388608,1"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("[S  1]"), std::string::npos) << settings;
  again->Close();
}

