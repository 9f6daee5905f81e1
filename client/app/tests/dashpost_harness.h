// Start the real Dashpost on a temporary machine and drive it as a person.
//
// A Machine is a private MVN_ROOT and HOME with the client's INI file
// (<root>/windows/<program>.INI: a book, no charge file, no send log, no
// confirmation) whose DeliveryCommand is a recorder: each request the
// client hands over is copied to <dir>/requests/<n>.req with its command
// line in <n>.argv, so a test reads exactly what the send client would have
// got. Records go into the book with AddRecord before the start.
//
// Run() forks a child that runs mvn::client::ProgramMain, the whole of the
// dashpost program (start-up, the main window, every window it opens, the
// shut-down and the process's exit with its static destructors), on the
// machine, offscreen by default or on DISPLAY when the machine's display
// is set. The driver runs in that child once the main window has opened
// and operates it with keys and clicks (QTest) through a Driver. GoogleTest
// assertions inside the driver count: the child exits 99 when one failed,
// and its output (the failure lines, the program's standard error) is
// kept in Outcome::output. Every wait has a deadline: Driver::When fails
// and closes the window it waited for when that window never came, and the
// whole run is killed after RunOptions::deadline.
//
//   mvntest::dashpost::Machine m;
//   m.AddRecord("Bob Jones", "Example Ltd", "+44 20 7946 0000");
//   auto out = mvntest::dashpost::Run(m, {}, [](mvntest::dashpost::Driver& d) {
//     d.When("FindClient", [&](QWidget* browse) { d.Click(browse, "?Select"); });
//     d.Click(mvn::client::MainFindAttention);
//     EXPECT_EQ(d.Text(mvn::client::MainTo), "Bob Jones");
//     d.ChooseMenu({"&File", "Exit"});
//   });
//   EXPECT_EQ(out.exitCode, 0) << out.output;
#pragma once

#include <QWidget>
#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "client/app/procedures.h"
#include "framework/gui/window.h"
#include "tests/support/tempdir.h"

namespace mvntest::dashpost {

class Machine {
 public:
  Machine();
  std::filesystem::path Dir() const { return m_dir.path(); }
  std::filesystem::path Root() const { return m_dir.path() / "root"; }
  // The client's INI file and one of its values.
  std::filesystem::path IniPath() const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
  std::string Get(const std::string& section, const std::string& key) const;
  // A record of the book (ClientID, Company, PreferredDestination and the
  // fax number or e-mail address it is, and any further fields by name);
  // its PK_MVClientID.
  long AddRecord(const std::string& name, const std::string& company, const std::string& destination,
                 const std::map<std::string, std::string>& more = {});
  // A group of the book with these members (PK_MVClientID; none for an
  // empty group).
  void AddGroup(const std::string& group, const std::vector<long>& members);
  // The requests the delivery command received, in order, and their
  // command lines (one argument a line).
  std::vector<std::string> Requests() const;
  std::vector<std::string> CommandLines() const;
  // Empty: offscreen. Else an X display (":37") the child shows its
  // windows on.
  std::string display;

 private:
  mvntest::TempDir m_dir;
};

// What the driver works with: the real main window and person-level acts.
class Driver {
 public:
  Driver(mvn::framework::Window& main, mvn::client::MainContext& context) : m_main(main), m_context(context) {}
  mvn::framework::Window& Main() { return m_main; }
  mvn::client::MainContext& Context() { return m_context; }

  // Clicks into a control of the main window, types text and leaves the
  // field with Tab (which accepts it).
  void Type(int field, const std::string& text);
  // A left click on a control of the main window (a button, a check box).
  void Click(int field);
  // A left click on the button of another window, found by its use name.
  static void Click(QWidget* window, const char* useName);
  // A click on a row of the first list of a window (its first shown cell),
  // once the row is laid out.
  static void ClickRow(QWidget* window, int row);
  // A double click on a row of the first list of a window.
  static void DoubleClickRow(QWidget* window, int row);
  // Opens a menu of the menu bar by a click and clicks the item, by their
  // texts ("&File", "Exit"), as a person does; fails when one is missing.
  void ChooseMenu(std::initializer_list<const char*> path);
  std::string Text(int field) const { return m_main.Text(field); }

  // Runs act once a visible top-level window whose name is procedure (the
  // window's procedure, or "QMessageBox") is up, polling while a modal
  // loop runs; after deadline the test fails and every popup and modal
  // window still up is closed, so nothing waits for ever
  // (tests/support/qtwait.h). Returns at once; act runs later.
  static void When(const std::string& procedure, std::function<void(QWidget*)> act,
                   std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Processes events until cond holds or deadline passed; whether it held.
  static bool WaitUntil(const std::function<bool()>& cond,
                        std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // The visible top-level window named procedure, nullptr for none.
  static QWidget* TopWindow(const std::string& procedure);

 private:
  mvn::framework::Window& m_main;
  mvn::client::MainContext& m_context;
};

struct RunOptions {
  // The whole run is killed (and fails) after this long.
  std::chrono::seconds deadline{90};
  // When set, the parent sends SIGTERM to the program once this file
  // exists (the driver creates it when the scene is set).
  std::filesystem::path terminateWhen;
  // When set, runs in the child once the program's application exists,
  // before its start-up: to answer what the program asks before the send
  // window opens (Driver::When works from there).
  std::function<void()> atStart;
};

struct Outcome {
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, 0 for none
  bool timedOut = false;
  std::string output;  // standard output and error of the child
};

// Runs dashpost's ProgramMain with arguments (after the program name) on
// the machine in a child process; driver runs once the main window opened.
Outcome Run(Machine& machine, const std::vector<std::string>& arguments, std::function<void(Driver&)> driver,
            const RunOptions& options = {});

}  // namespace mvntest::dashpost
