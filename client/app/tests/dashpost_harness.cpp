#include "client/app/tests/dashpost_harness.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/records/records.h"
#include "framework/core/ini.h"
#include "framework/core/strings.h"
#include "tests/support/qtwait.h"

namespace fs = std::filesystem;
namespace fw = mvn::framework;

namespace mvntest::dashpost {

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The program name the client derives its INI file from: this binary's.
std::string ThisProgram() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "dashpost";
  return mvn::client::ProgramName(path);
}

std::vector<fs::path> Numbered(const fs::path& dir, const char* extension) {
  std::vector<fs::path> files;
  for (int i = 1;; ++i) {
    fs::path p = dir / (std::to_string(i) + extension);
    if (!fs::exists(p)) break;
    files.push_back(p);
  }
  return files;
}

// What RunOptions::atStart asked for, called by the application object's
// constructor in the child (a Qt start-up routine takes no arguments).
std::function<void()>& AtStart() {
  static std::function<void()> atStart;
  return atStart;
}
void CallAtStart() {
  if (AtStart()) AtStart()();
}

}  // namespace

Machine::Machine() {
  fs::create_directories(Root() / "windows");
  fs::create_directories(Dir() / "home");
  fs::create_directories(Dir() / "requests");
  // The recorder: the n-th request and its command line, each made whole
  // before it is named (a test waiting for n.req never reads half a file).
  fs::path recorder = Dir() / "recorder";
  std::ofstream(recorder) << "#!/bin/sh\n"
                             "d='" << (Dir() / "requests").string() << "'\n"
                             "n=1; while [ -e \"$d/$n.req\" ]; do n=$((n+1)); done\n"
                             "printf '%s\\n' \"$@\" > \"$d/.argv\"\n"
                             "for a in \"$@\"; do last=$a; done\n"
                             "cp \"$last\" \"$d/.req\"\n"
                             "mv \"$d/.argv\" \"$d/$n.argv\"; mv \"$d/.req\" \"$d/$n.req\"\n";
  fs::permissions(recorder, fs::perms::owner_all);
  Set("Database", "Pathname", (Dir() / "book").string());
  Set("Default", "MandatoryCharge", "NO");
  Set("Default", "SENDLOG", "NO");
  Set("Default", "DisplayConfirmScreen", "NO");
  Set("Default", "DisplayBroadCastMessage", "NO");
  Set("Files", "DeliveryCommand", recorder.string() + " %1");
  Set("Files", "HintwellFullPathName", (Dir() / "tips.kdf").string());
}

fs::path Machine::IniPath() const { return Root() / "windows" / (ThisProgram() + ".INI"); }

void Machine::Set(const std::string& section, const std::string& key, const std::string& value) {
  fw::IniFile(IniPath().string()).Update(section, key, value);
}

std::string Machine::Get(const std::string& section, const std::string& key) const {
  return fw::IniFile(IniPath().string()).Fetch(section, key);
}

long Machine::AddRecord(const std::string& name, const std::string& company, const std::string& destination,
                        const std::map<std::string, std::string>& more) {
  mvn::client::Dictionary& d = mvn::client::InitDictionary();
  long id = 0;
  std::string why;
  EXPECT_TRUE(d.SetAddressBookFiles((Dir() / "book").string(), "KEYED", &why)) << why;
  EXPECT_EQ(d.OpenAddressBook(), 0);
  auto& c = d.File("MVClients");
  c.Buffer().Clear();
  c.Buffer().Set("ClientID", name);
  c.Buffer().Set("Company", company);
  c.Buffer().Set("PreferredDestination", destination);
  c.Buffer().Set(destination.find('@') != std::string::npos ? "Email" : "FaxNum", destination);
  for (const auto& [field, value] : more) c.Buffer().Set(field, value);
  EXPECT_EQ(c.TryInsert(), 0);
  id = static_cast<long>(c.Buffer().GetLong("PK_MVClientID"));
  mvn::client::KillDictionary();
  return id;
}

void Machine::AddGroup(const std::string& group, const std::vector<long>& members) {
  mvn::client::Dictionary& d = mvn::client::InitDictionary();
  std::string why;
  EXPECT_TRUE(d.SetAddressBookFiles((Dir() / "book").string(), "KEYED", &why)) << why;
  EXPECT_EQ(d.OpenAddressBook(), 0);
  auto& g = d.File("MVdefaults");
  g.Buffer().Clear();
  g.Buffer().Set("GroupID", group);
  EXPECT_EQ(g.TryInsert(), 0);
  for (long id : members) {
    auto& m = d.File("MVGroupClient");
    m.Buffer().Clear();
    m.Buffer().Set("GroupID", group);
    m.Buffer().SetLong("FK_MVClientID", id);
    EXPECT_EQ(m.TryInsert(), 0);
  }
  mvn::client::KillDictionary();
}

std::vector<std::string> Machine::Requests() const {
  std::vector<std::string> out;
  for (const fs::path& p : Numbered(Dir() / "requests", ".req")) out.push_back(Slurp(p));
  return out;
}

std::vector<std::string> Machine::CommandLines() const {
  std::vector<std::string> out;
  for (const fs::path& p : Numbered(Dir() / "requests", ".argv")) out.push_back(Slurp(p));
  return out;
}

// ---------------------------------------------------------------------------
// Driver

void Driver::Type(int field, const std::string& text) {
  QWidget* widget = m_main.ControlWidget(field);
  ASSERT_NE(widget, nullptr) << field;
  // Keys and focus go to the active window, as on a desktop.
  widget->window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(widget->window(), 5000)) << "the window is not active";
  QTest::mouseClick(widget, Qt::LeftButton);
  widget->setFocus();
  QTest::keyClicks(widget, QString::fromStdString(text));
  QTest::keyClick(widget, Qt::Key_Tab);
  QApplication::processEvents();
}

void Driver::Click(int field) {
  QWidget* widget = m_main.ControlWidget(field);
  ASSERT_NE(widget, nullptr) << field;
  ASSERT_TRUE(widget->isEnabled()) << "control " << field << " is disabled";
  QTest::mouseClick(widget, Qt::LeftButton);
  QApplication::processEvents();
}

void Driver::Click(QWidget* window, const char* useName) {
  auto* b = window->findChild<QAbstractButton*>(useName);
  ASSERT_NE(b, nullptr) << useName;
  QTest::mouseClick(b, Qt::LeftButton);
}

namespace {

// The middle of a row's first shown cell, in the viewport: a list's first
// columns may be hidden (a mark, a row number), and their cells have no
// place on screen. Null when the row is not laid out (QTest would click the
// middle of the viewport for a null point).
QPoint RowPoint(QAbstractItemView* view, int row) {
  for (int column = 0; column < view->model()->columnCount(); ++column) {
    QRect r = view->visualRect(view->model()->index(row, column));
    if (r.isValid() && !r.center().isNull()) return r.center();
  }
  return QPoint();
}

}  // namespace

void Driver::ClickRow(QWidget* window, int row) {
  auto* view = window->findChild<QAbstractItemView*>();
  ASSERT_NE(view, nullptr);
  QPoint at;
  WaitUntil([&] { return !(at = RowPoint(view, row)).isNull(); }, std::chrono::seconds(5));
  ASSERT_FALSE(at.isNull()) << "row " << row << " is not shown";
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
}

void Driver::DoubleClickRow(QWidget* window, int row) {
  auto* view = window->findChild<QAbstractItemView*>();
  ASSERT_NE(view, nullptr);
  QPoint at;
  WaitUntil([&] { return !(at = RowPoint(view, row)).isNull(); }, std::chrono::seconds(5));
  ASSERT_FALSE(at.isNull()) << "row " << row << " is not shown";
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

void Driver::ChooseMenu(std::initializer_list<const char*> path) {
  QMenuBar* bar = m_main.Widget()->menuBar();
  ASSERT_NE(bar, nullptr);
  QWidget* container = bar;
  QList<QAction*> actions = bar->actions();
  for (const char* text : path) {
    QAction* found = nullptr;
    for (QAction* a : actions)
      if (a->text() == QString::fromUtf8(text)) found = a;
    ASSERT_NE(found, nullptr) << "no menu item " << text;
    ASSERT_TRUE(found->isEnabled() && found->isVisible()) << text;
    QRect r = container == bar ? bar->actionGeometry(found) : static_cast<QMenu*>(container)->actionGeometry(found);
    if (found->menu()) {
      QMenu* menu = found->menu();
      if (container == bar) {
        QTest::mouseClick(bar, Qt::LeftButton, {}, r.center());
      } else {
        QTest::mouseMove(container, r.center());
        QTest::mouseClick(container, Qt::LeftButton, {}, r.center());
      }
      ASSERT_TRUE(WaitUntil([menu] { return menu->isVisible(); }, std::chrono::seconds(5))) << text;
      container = menu;
      actions = menu->actions();
    } else {
      // The item's action runs on a later turn of the event loop, so that a
      // modal window it opens does not run inside the click.
      QPointer<QWidget> c = container;
      QPoint at = r.center();
      QTimer::singleShot(0, [c, at] {
        if (c) QTest::mouseClick(c, Qt::LeftButton, {}, at);
      });
      QApplication::processEvents();
      return;
    }
  }
}

QWidget* Driver::TopWindow(const std::string& procedure) {
  for (QWidget* top : QApplication::topLevelWidgets())
    if (top->isVisible() && (top->objectName().toStdString() == procedure || top->inherits(procedure.c_str())))
      return top;
  return nullptr;
}

void Driver::When(const std::string& procedure, std::function<void(QWidget*)> act,
                  std::chrono::milliseconds deadline) {
  // The timer stops before act runs: act may open a modal loop of its own
  // (a click that opens a dialog), in which the timer would fire again.
  auto* timer = new QTimer;
  timer->setInterval(10);
  QDeadlineTimer until(deadline.count());
  QObject::connect(timer, &QTimer::timeout, [timer, procedure, act, until, deadline] {
    if (QWidget* top = TopWindow(procedure)) {
      timer->stop();
      timer->deleteLater();
      act(top);
      return;
    }
    if (until.hasExpired()) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "the window " << procedure << " did not open within " << deadline.count() << " ms";
      mvntest::CloseWhatIsStillUp();
    }
  });
  timer->start();
}

bool Driver::WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
  // A short sleep between turns of the loop leaves the processor to what
  // the program started (its delivery command, a copy being made).
  QDeadlineTimer until(deadline.count());
  while (!cond()) {
    if (until.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Run

Outcome Run(Machine& machine, const std::vector<std::string>& arguments, std::function<void(Driver&)> driver,
            const RunOptions& options) {
  Outcome outcome;
  fs::path log = machine.Dir() / "output.log";
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return outcome;
  }
  if (pid == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    if (options.uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(options.uid, options.uid, options.uid) != 0 ||
                             setresuid(options.uid, options.uid, options.uid) != 0))
      _exit(125);
    // Changed credentials make a process undumpable, which keeps it from
    // reading its own /proc files; the sanitizers need them.
    if (options.uid != 0) prctl(PR_SET_DUMPABLE, 1);
    if (options.atStart) {
      AtStart() = options.atStart;
      qAddPreRoutine(CallAtStart);
    }
    setenv("MVN_ROOT", machine.Root().c_str(), 1);
    setenv("HOME", (machine.Dir() / "home").c_str(), 1);
    unsetenv("HOMEPATH");
    unsetenv("HOMEDRIVE");
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("TZ", "UTC", 1);
    setenv("MVN_DIALOGS", "headless", 1);
    if (machine.display.empty()) {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
    } else {
      setenv("DISPLAY", machine.display.c_str(), 1);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    if (::chdir(machine.Dir().c_str()) != 0) _exit(126);
    std::vector<std::string> args = {"dashpost"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    int code = mvn::client::ProgramMain(argc, argv.data(), [driver](fw::Window& w, mvn::client::MainContext& c) {
      Driver d(w, c);
      driver(d);
      // A driver stopped by a failed assertion leaves the program running:
      // it ends here, so the failure is seen at once.
      if (::testing::Test::HasFatalFailure()) {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        w.Close();
      }
    });
    if (::testing::Test::HasFailure()) code = 99;
    std::fflush(stdout);
    // The process's own end: static destructors run as in dashpost.
    std::exit(code);
  }
  auto end = std::chrono::steady_clock::now() + options.deadline;
  bool terminated = false;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (!options.terminateWhen.empty() && !terminated && fs::exists(options.terminateWhen)) {
      kill(pid, SIGTERM);
      terminated = true;
    }
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  outcome.output = Slurp(log);
  if (outcome.timedOut) outcome.output += "\n[the run was killed at its deadline]";
  return outcome;
}

}  // namespace mvntest::dashpost
