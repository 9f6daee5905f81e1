// Books dashpost cannot or may not change, through the real program: a
// book holding what the program does not make is refused at the start
// with a message naming what was found and keeps every byte; a book the
// user may only read opens for looking, says so once at the start and once
// per switch to it, and refuses a change made in the address form with that
// text, the file unchanged.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/app/tests/dashpost_harness.h"
#include "framework/core/errors.h"
#include "tests/support/child.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using namespace mvn::client;
using mvntest::dashpost::Driver;
using mvntest::dashpost::Machine;
using mvntest::dashpost::Outcome;
using mvntest::dashpost::RunOptions;

namespace {

// Every message box the program shows, from its start on: its text is kept
// and it is answered with Return, as a person reads and closes it.
void AnswerEveryBox(std::vector<std::string>* texts) {
  // The application's own: it goes with the application.
  auto* timer = new QTimer(QCoreApplication::instance());
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [texts] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(top);
      // A box answered is marked: one may still be up a moment after its
      // Return (and a later box may have the same address).
      if (!box || !box->isVisible() || box->property("answered").toBool()) continue;
      box->setProperty("answered", true);
      texts->push_back(box->text().toStdString());
      QTest::keyClick(box, Qt::Key_Return);
      return;
    }
  });
  timer->start();
}

RunOptions WatchingBoxes(std::vector<std::string>* texts) {
  RunOptions options;
  options.atStart = [texts] { AnswerEveryBox(texts); };
  return options;
}

std::string Sql(const std::string& file, const std::string& statement) {
  sqlite3* db = nullptr;
  std::string out, error;
  if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
    char* message = nullptr;
    sqlite3_exec(
        db, statement.c_str(),
        [](void* o, int, char** v, char**) {
          *static_cast<std::string*>(o) += v[0] ? v[0] : "";
          return 0;
        },
        &out, &message);
    if (message) error = message;
    sqlite3_free(message);
  }
  sqlite3_close(db);
  EXPECT_EQ(error, "") << statement;
  return out;
}

// The machine's files become the stranger's, but for the book files named,
// which stay root's and may only be read by others.
void HandToStranger(Machine& m, const std::vector<std::string>& rootsBooks) {
  for (const auto& e : fs::recursive_directory_iterator(m.Dir()))
    ASSERT_EQ(lchown(e.path().c_str(), mvntest::kStranger, mvntest::kStranger), 0) << e.path();
  ASSERT_EQ(chown(m.Dir().c_str(), mvntest::kStranger, mvntest::kStranger), 0);
  for (const std::string& book : rootsBooks) {
    ASSERT_EQ(chown(book.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(book.c_str(), 0644), 0);
  }
}

// The text of the Address Books menu's item for book (marked "* " when it
// is the current one).
std::string BookItem(Driver& d, const std::string& book) {
  for (QAction* a : d.Main().Widget()->menuBar()->actions()) {
    if (a->text() != "Address &Books" || !a->menu()) continue;
    for (QAction* item : a->menu()->actions())
      if (item->text().mid(2).trimmed().toStdString() == book) return item->text().toStdString();
  }
  ADD_FAILURE() << "no menu item for " << book;
  return book;
}

std::string Caption(Driver& d) { return d.Main().Widget()->windowTitle().toStdString(); }

}  // namespace

// A book holding an index of its own or a table it does not list: the
// person is told at the start what was found in which file, the program
// goes on and ends normally, and the book's bytes are what they were.
TEST(DashpostBooks, AHostileBookIsToldAtTheStartAndKeepsEveryByte) {
  struct Case {
    const char* planted;
    const char* found;
  } cases[] = {
      {"CREATE INDEX evil ON MVClients(Company)", "index evil"},
      {"DELETE FROM _mvn_tables WHERE name = 'MVClients'", "table MVClients (not listed in _mvn_tables)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.planted);
    Machine m;
    m.AddRecord("Anna Archer", "Example Ltd", "555 0100");
    m.AddRecord("Bert Baker", "Example Ltd", "555 0101");
    const std::string book = (m.Dir() / "book.KDF").string();
    Sql(book, c.planted);
    const std::string before = mvntest::ReadFile(book);
    std::vector<std::string> boxes;
    Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
      // The start's box came before the main window.
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_NE(boxes[0].find(c.found), std::string::npos) << boxes[0];
      EXPECT_NE(boxes[0].find(book), std::string::npos) << boxes[0];
      EXPECT_NE(boxes[0].find("nothing in it was changed"), std::string::npos) << boxes[0];
      d.ChooseMenu({"&File", "Exit"});
    }, WatchingBoxes(&boxes));
    EXPECT_EQ(out.exitCode, 0) << out.output;
    EXPECT_TRUE(mvntest::ReadFile(book) == before) << "the book changed";
    EXPECT_EQ(Sql(book, "SELECT count(*) FROM MVClients"), "2");
  }
}

// A book the user may read but not write (root's, mode 0644; the program
// runs as another user): the start says once that it is opened for
// looking; a record added in the address form is refused with that text and
// the form stays open; the file is unchanged after the program ended.
TEST(DashpostBooks, AReadOnlyBookIsToldOnceAndRefusesASaveInTheForm) {
  Machine m;
  m.AddRecord("Anna Archer", "Example Ltd", "555 0100");
  const std::string book = (m.Dir() / "book.KDF").string();
  HandToStranger(m, {book});
  const std::string before = mvntest::ReadFile(book);
  const std::string said = fw::ReadOnlyText(book);
  std::vector<std::string> boxes;
  RunOptions options = WatchingBoxes(&boxes);
  options.uid = mvntest::kStranger;
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "The address book \"Personal Address Book\" is opened for looking only: " + said + ".");
    bool formStayed = false;
    Driver::When("FindClient", [&](QWidget* browse) {
      Driver::When("UpdateMVClient", [&](QWidget* form) {
        auto* contact = form->findChild<QLineEdit*>("?MVC:ClientID");
        ASSERT_NE(contact, nullptr);
        QTest::mouseClick(contact, Qt::LeftButton);
        QTest::keyClicks(contact, "Cleo Cole");
        Driver::Click(form, "?OK");
        // The refusal was shown and answered inside the click.
        formStayed = form->isVisible();
        Driver::Click(form, "?Cancel");
      });
      Driver::Click(browse, "?Insert");
      Driver::Click(browse, "?Cancel");
    });
    d.Click(MainFindAttention);
    EXPECT_TRUE(formStayed);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].find("The record could not be added."), std::string::npos) << boxes[1];
    EXPECT_NE(boxes[1].find(said), std::string::npos) << boxes[1];
    d.ChooseMenu({"&File", "Exit"});
  }, options);
  EXPECT_EQ(out.exitCode, 0) << out.output;
  EXPECT_TRUE(mvntest::ReadFile(book) == before) << "the book changed";
}

// Switching to a read-only book from the Address Books menu says so each
// time, in the words of the start; switching to a writable book says
// nothing.
TEST(DashpostBooks, SwitchingToAReadOnlyBookIsToldEachTime) {
  Machine m;
  m.AddRecord("Anna Archer", "Example Ltd", "555 0100");
  const std::string office = (m.Dir() / "book").string();
  const std::string archive = (m.Dir() / "archive").string();
  fs::copy_file(office + ".KDF", archive + ".KDF");
  m.Set("Database", "NumCustomBooks", "2");
  m.Set("Database", "Custom Book 1", "Office");
  m.Set("Database", "Office", office);
  m.Set("Database", "Custom Book 2", "Archive");
  m.Set("Database", "Archive", archive);
  HandToStranger(m, {archive + ".KDF"});
  const std::string before = mvntest::ReadFile(archive + ".KDF");
  const std::string told =
      "The address book \"Archive\" is opened for looking only: " + fw::ReadOnlyText(archive + ".KDF") + ".";
  std::vector<std::string> boxes;
  RunOptions options = WatchingBoxes(&boxes);
  options.uid = mvntest::kStranger;
  Outcome out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    EXPECT_EQ(boxes, std::vector<std::string>{}) << "the writable book was told at the start";
    EXPECT_NE(Caption(d).find("( Office )"), std::string::npos) << Caption(d);
    const std::string toArchive = BookItem(d, "Archive");
    d.ChooseMenu({"Address &Books", toArchive.c_str()});
    ASSERT_TRUE(Driver::WaitUntil([&] { return !boxes.empty(); })) << "no notice on the switch";
    EXPECT_EQ(boxes, std::vector<std::string>{told});
    EXPECT_NE(Caption(d).find("( Archive )"), std::string::npos) << Caption(d);

    const std::string toOffice = BookItem(d, "Office");
    d.ChooseMenu({"Address &Books", toOffice.c_str()});
    // The switch is done once the caption names the book; a notice would
    // have been shown before that.
    ASSERT_TRUE(Driver::WaitUntil([&] { return Caption(d).find("( Office )") != std::string::npos; }));
    EXPECT_EQ(boxes.size(), 1u);

    const std::string again = BookItem(d, "Archive");
    d.ChooseMenu({"Address &Books", again.c_str()});
    ASSERT_TRUE(Driver::WaitUntil([&] { return boxes.size() >= 2; })) << "no notice on the second switch";
    EXPECT_EQ(boxes, (std::vector<std::string>{told, told}));
    d.ChooseMenu({"&File", "Exit"});
  }, options);
  EXPECT_EQ(out.exitCode, 0) << out.output;
  EXPECT_TRUE(mvntest::ReadFile(archive + ".KDF") == before) << "the read-only book changed";
}
