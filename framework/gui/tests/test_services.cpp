// The services: popup numbering, file filters, message texts, the scripted
// implementation, and the Qt implementation driven like a user.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <filesystem>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <fstream>

#include "framework/core/services.h"
#include "framework/gui/qtservices.h"
#include "framework/gui/tests/support.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

// The numbers a chosen entry returns, separators included as 0.
std::vector<int> Numbers(const std::vector<PopupItem>& items) {
  std::vector<int> out;
  for (size_t i = 0; i < items.size(); ++i) out.push_back(PopupNumber(items, i));
  return out;
}

TEST(Popup, FixedTextsNumberItemsWithoutSeparators) {
  struct Case {
    const char* text;
    std::vector<int> numbers;
    std::vector<bool> greyed;
  } cases[] = {
      {"a|-|~b", {1, 0, 2}, {false, false, true}},
      {"Add files to attach|Delete the selected files from the list|-|What's This", {1, 2, 0, 3}, {false, false, false, false}},
      {"~Properties|-|Save and Exit|Exit", {1, 0, 2, 3}, {true, false, false, false}},
      {"-|-|x", {0, 0, 1}, {false, false, false}},
      {"only", {1}, {false}},
  };
  for (const Case& c : cases) {
    std::vector<PopupItem> items = ParsePopupText(c.text);
    EXPECT_EQ(Numbers(items), c.numbers) << c.text;
    for (size_t i = 0; i < items.size() && i < c.greyed.size(); ++i) EXPECT_EQ(items[i].greyed, c.greyed[i]) << c.text;
  }
  EXPECT_EQ(ParsePopupText("a|-|~b")[2].text, "b");
}

TEST(Popup, UserNamesAreItemsAsTheyAre) {
  // Names a user gave files: each must stay one item with its own number,
  // whatever characters it holds.
  std::vector<std::string> names = {"-", "~draft", "a|b", "plain", "R&D"};
  std::vector<PopupItem> items;
  for (const auto& name : names) items.push_back(PopupItem::Text(name));
  items.insert(items.begin() + 2, PopupItem::Line());
  EXPECT_EQ(Numbers(items), (std::vector<int>{1, 2, 0, 3, 4, 5}));
  EXPECT_EQ(items[0].kind, PopupItem::Item);
  EXPECT_FALSE(items[1].greyed);
}

// The Qt menu: the user picks the entry with the given text.
int ChooseInQtMenu(const std::vector<PopupItem>& items, const QString& pick, QString* shown = nullptr) {
  guitest::When([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); },
                [pick, shown](QWidget* w) {
                  auto* menu = static_cast<QMenu*>(w);
                  QStringList texts;
                  QAction* target = nullptr;
                  for (QAction* a : menu->actions()) {
                    texts << (a->isSeparator() ? QString("-") : a->text());
                    if (!a->isSeparator() && a->text() == pick) target = a;
                  }
                  if (shown) *shown = texts.join("|");
                  if (target) {
                    menu->setActiveAction(target);
                    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                    QApplication::sendEvent(menu, &enter);
                  }
                  if (menu->isVisible()) menu->close();
                });
  QtServices qt;
  return qt.Popup(items, 10, 10);
}

TEST(QtPopup, ReturnsTheItemNumberOfTheChoice) {
  std::vector<PopupItem> items = {PopupItem::Text("-"), PopupItem::Line(), PopupItem::Text("~x"),
                                  PopupItem::Text("a|b"), PopupItem::Text("R&D")};
  QString shown;
  EXPECT_EQ(ChooseInQtMenu(items, "~x", &shown), 2);
  EXPECT_EQ(shown, "-|-|~x|a|b|R&&D");
  EXPECT_EQ(ChooseInQtMenu(items, "R&&D"), 4);
  EXPECT_EQ(ChooseInQtMenu(items, "nothing"), 0) << "closing the menu chooses nothing";
}

TEST(QtPopup, GreyedItemsCannotBeChosen) {
  std::vector<PopupItem> items = ParsePopupText("~Properties|-|Save and Exit|Exit");
  EXPECT_EQ(ChooseInQtMenu(items, "Exit"), 3);
  EXPECT_EQ(ChooseInQtMenu(items, "Properties"), 0);
}

TEST(FileFilters, ParseAndMatchWithoutCase) {
  std::vector<FileFilter> f = ParseFileFilters("CSV File|*.csv;*.txt");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].name, "CSV File");
  EXPECT_EQ(f[0].patterns, (std::vector<std::string>{"*.csv", "*.txt"}));
  struct Case {
    const char* name;
    bool match;
  } cases[] = {{"list.csv", true}, {"LIST.CSV", true}, {"notes.Txt", true}, {"list.csv.bak", false}, {"csv", false}};
  for (const Case& c : cases) EXPECT_EQ(MatchesFilter(c.name, f[0]), c.match) << c.name;

  std::vector<FileFilter> two = ParseFileFilters("Addressbook database|*.kdf|All|*.*");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_TRUE(MatchesFilter("Team.KDF", two[0]));
  EXPECT_TRUE(MatchesFilter("anything", two[1]));
  std::vector<FileFilter> bare = ParseFileFilters("*.*");
  ASSERT_EQ(bare.size(), 1u);
  EXPECT_TRUE(MatchesFilter("x.y", bare[0]));
  EXPECT_TRUE(MatchesPattern("a.b.c", "*.?"));
  EXPECT_FALSE(MatchesPattern("a.bc", "*.?"));
}

// The label a person reads holds the patterns as given, "*.*" as "*".
TEST(FileFilters, QtFilterLabelsShowThePatternsAsGiven) {
  EXPECT_EQ(QtNameFilters("CSV File|*.csv;*.txt"), (QStringList{"CSV File (*.csv *.txt)"}));
  EXPECT_EQ(QtNameFilters("Text|*.TXT|All files|*.*"), (QStringList{"Text (*.TXT)", "All files (*)"}));
}

TEST(QtFileDialog, TitleDirectoryFiltersAndTheChosenPath) {
  mvntest::TempDir dir;
  for (const char* name : {"LIST.CSV", "notes.Txt", "table.csv", "other.doc"}) std::ofstream(dir / name) << "x";
  QtServices qt;
  for (FileDialogMode mode : {FileDialogMode::Open, FileDialogMode::Save}) {
    QString title, directory;
    QStringList filters;
    bool listsCsv = false;
    // The helper asks again until the dialog has really closed.
    mvntest::AcceptWhenUp<QFileDialog>("the file dialog", [&](QFileDialog* dialog) {
      title = dialog->windowTitle();
      directory = dialog->directory().absolutePath();
      filters = dialog->nameFilters();
      // What the dialog's own list shows under the filter: the files its
      // model holds, enabled, in the directory once it is read.
      auto* view = dialog->findChild<QListView*>("listView");
      ASSERT_NE(view, nullptr);
      auto shownNames = [view] {
        QStringList names;
        QModelIndex root = view->rootIndex();
        for (int r = 0; r < view->model()->rowCount(root); ++r) {
          QModelIndex i = view->model()->index(r, 0, root);
          if (view->model()->flags(i) & Qt::ItemIsEnabled) names << i.data().toString();
        }
        names.sort();
        return names;
      };
      const QStringList wanted{"LIST.CSV", "notes.Txt", "table.csv"};
      listsCsv = mvntest::WaitUntil([&] { return shownNames() == wanted; }, std::chrono::milliseconds(5000));
      if (!listsCsv) ADD_FAILURE() << shownNames().join(',').toStdString();
      // The name typed as a person does, into the name field: selectFile()
      // leaves that field alone while it has the focus (as it has in Save
      // mode once the dialog is up).
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      name->setText(mode == FileDialogMode::Open ? "LIST.CSV" : "new.csv");
    });
    FileDialogRequest request;
    request.mode = mode;
    request.title = mode == FileDialogMode::Open ? "Please select a csv file to import from" : "Please name the file to save";
    request.directory = dir.str();
    request.filters = "CSV File|*.csv;*.txt";
    std::string path;
    ASSERT_TRUE(qt.FileDialog(request, &path));
    EXPECT_EQ(title.toStdString(), request.title);
    EXPECT_EQ(directory.toStdString(), std::filesystem::canonical(dir.path()).string());
    EXPECT_EQ(filters, (QStringList{"CSV File (*.csv *.txt)"}));
    EXPECT_TRUE(listsCsv);
    EXPECT_EQ(path, (std::filesystem::canonical(dir.path()) / (mode == FileDialogMode::Open ? "LIST.CSV" : "new.csv")).string());
  }
  guitest::When([] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); },
                [](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  std::string untouched = "kept";
  EXPECT_FALSE(qt.FileDialog({FileDialogMode::Open, "t", dir.str(), "*.*"}, &untouched));
  EXPECT_EQ(untouched, "kept");
}

// Saving over a file asks first, under the dialog's title, in a box wide
// enough for that title: No goes back to the dialog, Yes takes the file.
TEST(QtFileDialog, ReplacingAFileAsksFirstInABoxThatHoldsItsTitle) {
  mvntest::TempDir dir;
  std::ofstream(dir / "LIST.CSV") << "x";
  QtServices qt;
  std::vector<std::string> asked;
  int boxWidth = 0, titleWidth = 0;
  auto chooseList = [] {
    mvntest::AcceptWhenUp<QFileDialog>("the file dialog", [](QFileDialog* dialog) {
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      name->setText("LIST.CSV");
    });
  };
  std::function<void(QMessageBox::StandardButton, std::function<void()>)> answer =
      [&](QMessageBox::StandardButton button, std::function<void()> then) {
        mvntest::WhenModal("OverwriteQuestion", [&, button, then](QWidget* w) {
          auto* box = qobject_cast<QMessageBox*>(w);
          ASSERT_NE(box, nullptr);
          asked.push_back(box->windowTitle().toStdString() + "|" + box->text().toStdString());
          boxWidth = box->width();
          titleWidth = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(box->windowTitle());
          if (then) then();
          box->button(button)->click();
        });
      };
  chooseList();
  answer(QMessageBox::No, [&] {
    chooseList();
    answer(QMessageBox::Yes, nullptr);
  });
  FileDialogRequest request;
  request.mode = FileDialogMode::Save;
  request.title = "Please name the file to save";
  request.directory = dir.str();
  request.filters = "CSV File|*.csv;*.txt";
  std::string path;
  ASSERT_TRUE(qt.FileDialog(request, &path));
  const std::string question = "Please name the file to save|LIST.CSV\nalready exists. Do you want to replace it?";
  EXPECT_EQ(asked, (std::vector<std::string>{question, question}));
  EXPECT_EQ(path, (std::filesystem::canonical(dir.path()) / "LIST.CSV").string());
  EXPECT_GT(boxWidth, titleWidth + 60) << "the title and the title bar's buttons";
}

TEST(Messages, LinesAndScriptedAnswers) {
  EXPECT_EQ(MessageLines("a|b||c"), "a\nb\n\nc");
  ScriptedServices script;
  ScopedServices installed(&script);
  EXPECT_EQ(Message("q", "c", Icon::Question, ButtonYes | ButtonNo), ButtonYes) << "empty script: default button";
  EXPECT_EQ(Message("q", "c", Icon::Question, ButtonYes | ButtonNo, ButtonNo), ButtonNo);
  script.AnswerMessage(ButtonNo);
  EXPECT_EQ(Message("Are you sure?", "Delete", Icon::Question, ButtonYes | ButtonNo), ButtonNo);
  ASSERT_EQ(script.messages.size(), 3u);
  EXPECT_EQ(script.messages[2].caption, "Delete");

  script.AnswerPopup(2);
  EXPECT_EQ(Popup("a|-|b"), 2);
  EXPECT_EQ(Popup("a|-|b"), 0);
  ASSERT_EQ(script.popups.size(), 2u);
  EXPECT_EQ(script.popups[0].size(), 3u);

  std::string path;
  script.AnswerFile("/tmp/x.csv");
  FileDialogRequest request;
  request.title = "Please select a csv file to import from";
  EXPECT_TRUE(Services().FileDialog(request, &path));
  EXPECT_EQ(path, "/tmp/x.csv");
  EXPECT_FALSE(Services().FileDialog(request, &path));

  script.CancelProgressAt(3);
  {
    std::unique_ptr<Progress> p = Services().OpenProgress({"Progress...", "Processing Records", 10});
    int done = 0;
    while (done < 10 && p->Update(++done)) {
    }
    EXPECT_EQ(done, 3);
    EXPECT_TRUE(p->Cancelled());
  }
  EXPECT_TRUE(script.progresses[0]->ended);
}

TEST(Messages, NothingInstalledAnswersWithDefaults) {
  EXPECT_EQ(Message("x", "y", Icon::None, ButtonOk | ButtonCancel), ButtonOk);
}

TEST(QtMessageBox, ShowsLinesAndReturnsTheButtonPressed) {
  QString text, title;
  guitest::When([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); },
                [&](QWidget* w) {
                  auto* box = static_cast<QMessageBox*>(w);
                  text = box->text();
                  title = box->windowTitle();
                  guitest::Screenshot(box, "message-box.png");
                  box->button(QMessageBox::No)->click();
                });
  QtServices qt;
  MessageRequest request;
  request.text = "Are you sure you really want to delete the address book:Sales|Really?";
  request.caption = "Please confirm";
  request.icon = Icon::Question;
  request.buttons = ButtonYes | ButtonNo;
  EXPECT_EQ(qt.Message(request), ButtonNo);
  EXPECT_EQ(text, "Are you sure you really want to delete the address book:Sales\nReally?");
  EXPECT_EQ(title, "Please confirm");
}

TEST(QtProgress, ThermometerPercentAndCancel) {
  QtServices qt;
  std::unique_ptr<Progress> progress = qt.OpenProgress({"Progress...", "Processing Records", 200});
  auto* window = dynamic_cast<ProgressWindow*>(progress.get());
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->PercentLabel()->text(), "0% Completed");
  EXPECT_TRUE(progress->Update(50));
  EXPECT_EQ(window->PercentLabel()->text(), "25% Completed");
  EXPECT_EQ(window->Thermometer()->value(), 25);
  EXPECT_TRUE(window->isModal());
  guitest::Screenshot(window, "progress.png");
  window->CancelButton()->click();
  EXPECT_FALSE(progress->Update(51)) << "the run stops at the next record";
  EXPECT_TRUE(progress->Cancelled());
  EXPECT_EQ(PercentText(7, 0), "0% Completed");
  EXPECT_EQ(PercentText(300, 200), "100% Completed");
}

}  // namespace

TEST(QtMessageBox, ShowsMarkupAsPlainText) {
  // A group or record name that looks like markup is shown as typed.
  Qt::TextFormat format = Qt::AutoText;
  QString shown;
  guitest::When([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); },
                [&](QWidget* w) {
                  auto* box = static_cast<QMessageBox*>(w);
                  format = box->textFormat();
                  if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) shown = label->text();
                  box->button(QMessageBox::Ok)->click();
                });
  QtServices qt;
  MessageRequest request;
  request.text = "Sales <b>2024</b>";
  request.caption = "Group";
  qt.Message(request);
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(shown, "Sales <b>2024</b>");
}
