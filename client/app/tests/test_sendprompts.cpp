// The value prompt and the name and value prompt, offscreen: their texts
// per mode, the prefill, the browse buttons, the add-or-overwrite of the
// image-file and cover-page queues, and the names and values refused
// because they would break the INI file. Each dialog is modal, so a timer
// operates it once its window is up; message boxes and file dialogs answer
// from a script.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <functional>
#include <string>

#include "client/app/sendprompts.h"
#include "client/app/tests/windowtests.h"
#include "framework/core/services.h"
#include "framework/gui/window.h"
#include "tests/support/qtwait.h"
#include "tests/support/tempdir.h"

namespace fw = mvn::framework;
using namespace mvn::client;

namespace {

std::string OutputDir() { return mvntest::ClientAppOutputDir("prompts"); }

using mvntest::When;

template <typename T>
T* Child(QWidget* top, const char* useName) {
  T* child = top->findChild<T*>(useName);
  EXPECT_NE(child, nullptr) << useName;
  return child;
}
std::string Label(QWidget* top, const char* useName) {
  auto* l = Child<QLabel>(top, useName);
  return l ? l->text().toStdString() : "?";
}
std::string ButtonText(QWidget* top, const char* useName) {
  auto* b = Child<QAbstractButton>(top, useName);
  return b ? b->text().toStdString() : "?";
}
bool Shown(QWidget* top, const char* useName) {
  auto* w = Child<QWidget>(top, useName);
  return w && w->isVisible();
}
std::string EntryText(QWidget* top, const char* useName) {
  auto* e = Child<QLineEdit>(top, useName);
  return e ? e->text().toStdString() : "?";
}
void SetEntry(QWidget* top, const char* useName, const std::string& text) {
  if (auto* e = Child<QLineEdit>(top, useName)) e->setText(QString::fromStdString(text));
}
void Click(QWidget* top, const char* useName) {
  if (auto* b = Child<QAbstractButton>(top, useName)) b->click();
}
// The window's position (of its frame) and its client size, as it is kept.
QRect Units(QWidget* top) { return fw::DialogUnits::FromPixels(QRect(top->frameGeometry().topLeft(), top->size())); }
void Shot(QWidget* top, const std::string& name) {
  EXPECT_TRUE(top->grab().save(QString::fromStdString(OutputDir() + "/" + name + ".png"))) << name;
}

struct DialogFixture : ::testing::Test {
  fw::ScriptedServices services;
  fw::ScopedServices scope{&services};
  Dictionary* dictionary = nullptr;
  QTimer watchdog;

  void SetUp() override {
    dictionary = &InitDictionary();
    // A dialog that a test fails to close would hang the run: close it.
    watchdog.setSingleShot(true);
    watchdog.setInterval(10000);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
      ADD_FAILURE() << "a dialog was left open";
      for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible()) top->close();
    });
    watchdog.start();
  }
  void TearDown() override {
    fw::Window::SetSettingsFile(nullptr);
    KillDictionary();
  }
  fw::Queue& Images() { return dictionary->Queues().g_QimageFiles; }
  fw::Queue& Covers() { return dictionary->Queues().g_QcoverPages; }
  void AddEntry(fw::Queue& q, const std::string& name, const std::string& description) {
    q.Buffer().Clear();
    q.Buffer().Set("Name", name);
    q.Buffer().Set("Description", description);
    q.Add();
  }
};

}  // namespace

// Each mode's caption, prompt, confirming button and browse button; the
// "V=" prefill comes from the clipped, upper-cased mode cut to 29 bytes (a
// cut never splits a character). The kept size is not restored, the kept
// position is.
TEST_F(DialogFixture, EnterValue2ModeTable) {
  mvntest::TempDir dir;
  fw::IniFile settings((dir.path() / "dashpost.INI").string());
  settings.Update("EnterValue2", "XPos", "30");
  settings.Update("EnterValue2", "YPos", "20");
  settings.Update("EnterValue2", "Width", "400");
  settings.Update("EnterValue2", "Height", "300");
  fw::Window::SetSettingsFile(&settings);
  struct Row {
    std::string shot, mode, caption, prompt, button;
    bool browse;
    std::string prefill;
  };
  const std::string a26(26, 'a'), A26(26, 'A');
  const Row rows[] = {
      {"retry", "V=std ", "Please enter value", "Please enter value ", "Close", false, "STD"},
      {"", "v=" + std::string(30, 'b'), "Please enter value", "Please enter value ", "Close", false,
       std::string(27, 'B')},
      // "V=", 26 letters and a two-byte character: byte 29 is its first half.
      {"", "V=" + a26 + "\xc3\xa9zz", "Please enter value", "Please enter value ", "Close", false, A26},
      {"uploadlist", "UploadList", "Upload list", "Please enter list number:", "&Upload", false, ""},
      {"export", "export  ", "Export to a file", "Save export file as:", "&Export", true, ""},
      {"updateemail", "UpdateEmail", "Update Email Address Book", "Save update file as:", "&Update", false, ""},
      {"", "something else", "Please enter value", "Please enter value ", "Close", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    When("EnterValue2", [&](QWidget* top) {
      EXPECT_EQ(top->windowTitle().toStdString(), row.caption);
      EXPECT_EQ(Label(top, "?Prompt"), row.prompt);
      EXPECT_EQ(ButtonText(top, "?OK"), row.button);
      EXPECT_EQ(ButtonText(top, "?Cancel"), "&Cancel");
      EXPECT_EQ(Shown(top, "?Button_browse"), row.browse);
      EXPECT_EQ(EntryText(top, "?g_EnterValue"), row.prefill);
      EXPECT_EQ(Units(top), QRect(30, 20, 221, 104));
      if (!row.shot.empty()) Shot(top, "enter-value-" + row.shot);
      Click(top, "?OK");
    });
    std::string value = "left over";
    EXPECT_TRUE(EnterValue2(nullptr, row.mode, &value));
    EXPECT_EQ(value, row.prefill);
  }
}

// The value typed is returned (clipped, cut to 199 bytes on a character
// boundary); Cancel, Escape and the title bar return false and no value.
TEST_F(DialogFixture, EnterValue2ConfirmAndTheThreeWaysToCancel) {
  std::string value;
  When("EnterValue2", [](QWidget* top) {
    SetEntry(top, "?g_EnterValue", "sales  ");
    Click(top, "?OK");
  });
  EXPECT_TRUE(EnterValue2(nullptr, "UploadList", &value));
  EXPECT_EQ(value, "sales");
  // 99 two-byte characters and one more byte do not fit 199 bytes whole.
  std::string wide;
  for (int i = 0; i < 120; ++i) wide += "\xc3\xa9";
  When("EnterValue2", [&](QWidget* top) {
    SetEntry(top, "?g_EnterValue", wide);
    Click(top, "?OK");
  });
  EXPECT_TRUE(EnterValue2(nullptr, "", &value));
  EXPECT_EQ(value, wide.substr(0, 198));

  const std::function<void(QWidget*)> cancels[] = {
      [](QWidget* top) { Click(top, "?Cancel"); },
      [](QWidget* top) {
        // Escape in the entry goes up to the window.
        auto* entry = Child<QLineEdit>(top, "?g_EnterValue");
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(entry, &press);
      },
      [](QWidget* top) { top->close(); },
  };
  for (const auto& cancel : cancels) {
    When("EnterValue2", [&](QWidget* top) {
      SetEntry(top, "?g_EnterValue", "typed");
      cancel(top);
    });
    value = "before";
    EXPECT_FALSE(EnterValue2(nullptr, "V=7", &value));
    EXPECT_EQ(value, "");
  }
}

// "..." asks for a file to save and puts the chosen path into the entry; a
// cancelled dialog leaves it, and a path the entry cannot hold whole is
// refused rather than cut.
TEST_F(DialogFixture, EnterValue2BrowseNamesTheExportFile) {
  const std::string longPath = "/tmp/" + std::string(200, 'x') + ".csv";
  services.CancelFile();
  services.AnswerFile(longPath);
  services.AnswerFile("/home/ann/export.csv");
  When("EnterValue2", [&](QWidget* top) {
    SetEntry(top, "?g_EnterValue", "first.csv");
    Click(top, "?Button_browse");
    EXPECT_EQ(EntryText(top, "?g_EnterValue"), "first.csv");
    Click(top, "?Button_browse");
    EXPECT_EQ(EntryText(top, "?g_EnterValue"), "first.csv");
    EXPECT_EQ(services.messages.size(), 1u);
    Click(top, "?Button_browse");
    Click(top, "?OK");
  });
  std::string value;
  EXPECT_TRUE(EnterValue2(nullptr, "EXPORT", &value));
  EXPECT_EQ(value, "/home/ann/export.csv");
  ASSERT_EQ(services.fileDialogs.size(), 3u);
  EXPECT_EQ(services.fileDialogs[0].mode, fw::FileDialogMode::Save);
  EXPECT_EQ(services.fileDialogs[0].title, "Please name the file to save");
  EXPECT_EQ(services.fileDialogs[0].filters, "CSV File|*.csv;*.txt");
}

// Caption, prompts per mode (an unknown mode keeps the image-file prompts),
// the Browse button only for an address book, empty fields, the fixed size;
// Cancel changes no queue.
TEST_F(DialogFixture, GetNameValuesDialogModeTable) {
  struct Row {
    std::string shot, mode, namePrompt, valuePrompt;
    bool browse;
  };
  const Row rows[] = {
      {"imagefile", "imageFile", "Image file name:", "Image file description:", false},
      {"coverpage", "coverPage ", "Cover page name:", "Cover page description:", false},
      {"addressbook", "Addressbook", "Address book display name:", "Address book file name (use a full pathname):",
       true},
      {"", "other", "Image file name:", "Image file description:", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    When("GetNameValuesDialog", [&](QWidget* top) {
      EXPECT_EQ(top->windowTitle().toStdString(), "Please Input file details:");
      EXPECT_EQ(Label(top, "?PromptName"), row.namePrompt);
      EXPECT_EQ(Label(top, "?PromptValue"), row.valuePrompt);
      EXPECT_EQ(Shown(top, "?Button_SelectFile"), row.browse);
      EXPECT_EQ(ButtonText(top, "?OK"), "&OK");
      EXPECT_EQ(ButtonText(top, "?Cancel"), "&Cancel");
      EXPECT_EQ(EntryText(top, "?g_NameValueDialog:Name"), "");
      EXPECT_EQ(EntryText(top, "?g_NameValueDialog:Value"), "");
      EXPECT_EQ(Units(top).size(), QSize(218, 125));
      if (!row.shot.empty()) Shot(top, "name-value-" + row.shot);
      SetEntry(top, "?g_NameValueDialog:Name", "Logo");
      Click(top, "?Cancel");
    });
    NameValue result{"untouched", ""};
    EXPECT_FALSE(GetNameValuesDialog(nullptr, *dictionary, row.mode, &result));
    EXPECT_EQ(result.name, "untouched");
  }
  EXPECT_EQ(Images().Records(), 0);
  EXPECT_EQ(Covers().Records(), 0);
  EXPECT_TRUE(services.messages.empty());
}

// A new name is added (an image file marked, both flagged as new); a name
// already listed (compared clipped) asks first: No returns false and keeps
// the queue, Yes replaces the entry in its place.
TEST_F(DialogFixture, GetNameValuesDialogAddsOrOverwritesTheQueueEntry) {
  struct Row {
    const char* mode;
    bool image;
    const char* question;
  };
  const Row rows[] = {
      {"imageFile", true, "The remote file already exists.  Do you want to overwrite it?"},
      {"COVERPAGE", false, "The cover page already exists.  Do you want to overwrite it?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    services.messages.clear();
    fw::Queue& q = row.image ? Images() : Covers();
    q.Free();
    AddEntry(q, "Logo   ", "old");
    AddEntry(q, "Map", "the map");
    auto type = [](const char* name, const char* value) {
      When("GetNameValuesDialog", [name, value](QWidget* top) {
        SetEntry(top, "?g_NameValueDialog:Name", name);
        SetEntry(top, "?g_NameValueDialog:Value", value);
        Click(top, "?OK");
      });
    };
    auto entry = [&q](int i) {
      const fw::Record& r = q.Entry(i);
      return r.Clipped("Name") + "|" + r.Clipped("Description") + "|" + std::to_string(r.GetLong("bNewCreated")) +
             "|" + std::to_string(r.GetLong("Mark"));
    };
    // No: false, nothing changes.
    services.AnswerMessage(fw::ButtonNo);
    type("Logo", "new logo");
    NameValue result;
    EXPECT_FALSE(GetNameValuesDialog(nullptr, *dictionary, row.mode, &result));
    ASSERT_EQ(services.messages.size(), 1u);
    EXPECT_EQ(services.messages[0].text, row.question);
    EXPECT_EQ(services.messages[0].caption, "Confirm");
    EXPECT_EQ(services.messages[0].buttons, fw::ButtonYes | fw::ButtonNo);
    ASSERT_EQ(q.Records(), 2);
    EXPECT_EQ(entry(1), "Logo|old|0|0");
    // Yes: the entry is replaced where it stood.
    services.AnswerMessage(fw::ButtonYes);
    type("Logo  ", "new logo");
    EXPECT_TRUE(GetNameValuesDialog(nullptr, *dictionary, row.mode, &result));
    EXPECT_EQ(result.name, "Logo");
    EXPECT_EQ(result.value, "new logo");
    ASSERT_EQ(q.Records(), 2);
    EXPECT_EQ(entry(1), row.image ? "Logo|new logo|1|1" : "Logo|new logo|1|0");
    EXPECT_EQ(entry(2), "Map|the map|0|0");
    // A new name: added at the end without a question.
    type("Letterhead", "");
    EXPECT_TRUE(GetNameValuesDialog(nullptr, *dictionary, row.mode, &result));
    EXPECT_EQ(services.messages.size(), 2u);
    ASSERT_EQ(q.Records(), 3);
    EXPECT_EQ(entry(3), row.image ? "Letterhead||1|1" : "Letterhead||1|0");
  }
}

// Names and values that would break the INI file (or, for a queue, be cut
// to another name) are refused with a message while the window stays open;
// nothing is added. An address book needs its file.
TEST_F(DialogFixture, GetNameValuesDialogRefusesBadNamesAndValues) {
  struct Row {
    const char* mode;
    std::string name, value;
  };
  const Row rows[] = {
      {"coverPage", "", "description"},
      {"coverPage", "   ", "description"},
      {"imageFile", "a=b", "description"},
      {"imageFile", "two\nlines", "description"},
      {"imageFile", "[Section]", "description"},
      {"imageFile", ";comment", "description"},
      {"coverPage", "Logo", "one\ntwo"},
      {"coverPage", "Logo", std::string("nul\0here", 8)},
      {"coverPage", std::string(50, 'n'), "the cover page queue holds 49 bytes"},
      // A cover page's name heads its own section: "]" would end it early,
      // and the file's list section is no page.
      {"coverPage", "Standard]2", "description"},
      {"coverPage", "AvailableCoverPages", "description"},
      {"coverPage", "availablecoverpages", "description"},
      {"coverPage", "tab\there", "description"},
      {"Addressbook", "", "/home/ann/book.kdf"},
      {"Addressbook", "Sales", ""},
      {"Addressbook", "Sales", "/home/ann/a\rb.kdf"},
      {"Addressbook", "NumCustomBooks", "/home/ann/book.kdf"},
      {"Addressbook", std::string(80, 'b'), "/home/ann/book.kdf"},
      {"Addressbook", "Sales", "/" + std::string(149, 'p') + ".KDF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.mode) + " [" + row.name + "] [" + row.value + "]");
    services.messages.clear();
    bool stayed = false;
    When("GetNameValuesDialog", [&](QWidget* top) {
      SetEntry(top, "?g_NameValueDialog:Name", row.name);
      SetEntry(top, "?g_NameValueDialog:Value", row.value);
      Click(top, "?OK");
      stayed = top->isVisible();
      Click(top, "?Cancel");
    });
    EXPECT_FALSE(GetNameValuesDialog(nullptr, *dictionary, row.mode, nullptr));
    EXPECT_TRUE(stayed);
    ASSERT_EQ(services.messages.size(), 1u);
    EXPECT_FALSE(services.messages[0].text.empty());
  }
  EXPECT_EQ(Images().Records(), 0);
  EXPECT_EQ(Covers().Records(), 0);
}

// Browse asks for a database file; the chosen path becomes the value, and
// the address book mode touches no queue. Escape cancels.
TEST_F(DialogFixture, GetNameValuesDialogBrowseFillsTheBookFile) {
  services.AnswerFile("/home/ann/books/sales.kdf");
  When("GetNameValuesDialog", [](QWidget* top) {
    SetEntry(top, "?g_NameValueDialog:Name", " Sales book ");
    Click(top, "?Button_SelectFile");
    EXPECT_EQ(EntryText(top, "?g_NameValueDialog:Value"), "/home/ann/books/sales.kdf");
    Click(top, "?OK");
  });
  NameValue result;
  EXPECT_TRUE(GetNameValuesDialog(nullptr, *dictionary, "addressbook", &result));
  EXPECT_EQ(result.name, "Sales book");
  EXPECT_EQ(result.value, "/home/ann/books/sales.kdf");
  ASSERT_EQ(services.fileDialogs.size(), 1u);
  EXPECT_EQ(services.fileDialogs[0].mode, fw::FileDialogMode::Open);
  EXPECT_EQ(services.fileDialogs[0].title, "Please select a database file for this address book: ");
  EXPECT_EQ(services.fileDialogs[0].filters, "Addressbook database|*.kdf");
  EXPECT_EQ(Images().Records() + Covers().Records(), 0);

  When("GetNameValuesDialog", [](QWidget* top) {
    SetEntry(top, "?g_NameValueDialog:Name", "Logo");
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(Child<QLineEdit>(top, "?g_NameValueDialog:Name"), &press);
  });
  EXPECT_FALSE(GetNameValuesDialog(nullptr, *dictionary, "imageFile", &result));
  EXPECT_EQ(Images().Records(), 0);
}

// The warning before a send to two or more recipients: its caption, its
// seven lines in order and "S&end"; only Send confirms.
TEST_F(DialogFixture, ConfirmBroadCastWarnsInSevenLines) {
  const char* const lines[] = {
      "This is a Broadcast transmission.   Please ensure that you",
      "have tested it to at least 2 names on your own fax machine",
      "before you commit to that transmission.   Do this to ensure",
      "that you have set up the In Document commands (mail merge",
      "fields) properly and that the Cover Page,   and attachments",
      "come through properly.",
      "Failure to perform this test may prove to be a costly mistake.",
  };
  std::string caption, send;
  std::vector<std::string> shown;
  When("ConfirmBroadCast", [&](QWidget* top) {
    caption = top->windowTitle().toStdString();
    for (int i = 1; i <= 7; ++i) shown.push_back(Label(top, ("?String" + std::to_string(i)).c_str()));
    send = ButtonText(top, "?Close");
    Shot(top, "confirmbroadcast");
    // Pressed as a person clicks it.
    auto* button = Child<QAbstractButton>(top, "?Close");
    if (button) button->animateClick();
  });
  EXPECT_TRUE(ConfirmBroadCast(nullptr, 3));
  EXPECT_EQ(caption, "Broadcast Warning");
  EXPECT_EQ(shown, std::vector<std::string>(std::begin(lines), std::end(lines)));
  EXPECT_EQ(send, "S&end");
  When("ConfirmBroadCast", [](QWidget* top) { Click(top, "?Cancel"); });
  EXPECT_FALSE(ConfirmBroadCast(nullptr, 3));
}
