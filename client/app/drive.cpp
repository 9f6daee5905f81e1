// dashpost_drive: dashpost with a small driver that operates the real main
// window through QTest, for a run without a screen: it types a recipient,
// a reference and a cover-page message, and presses Send Fax. The file
// named on the command line is the fax's main attachment, so the program
// ends after the send, as dashpost does.
//
// The recipient comes from DASHPOST_DRIVE_TO, _COMPANY and _DESTINATION,
// the reference from DASHPOST_DRIVE_REFERENCE. DASHPOST_DRIVE_EXIT set
// makes it choose File > Exit instead of pressing Send Fax (a person who
// does not send after all).
#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "client/app/procedures.h"
#include "framework/gui/window.h"

namespace {

std::string Env(const char* name, const char* def) {
  const char* v = std::getenv(name);
  return v && *v ? v : def;
}

void Type(mvn::framework::Window& w, int field, const std::string& text) {
  QWidget* widget = w.ControlWidget(field);
  widget->setFocus();
  QTest::keyClicks(widget, QString::fromStdString(text));
  QTest::keyClick(widget, Qt::Key_Tab);
  // Leaving the field accepts it, as a user's Tab does.
  w.Post(mvn::framework::EventAccepted, field);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace mvn::client;
  return ProgramMain(argc, argv, [](mvn::framework::Window& w, MainContext& ctx) {
    std::string to = Env("DASHPOST_DRIVE_TO", "Bob Jones");
    std::string company = Env("DASHPOST_DRIVE_COMPANY", "Example Ltd");
    std::string destination = Env("DASHPOST_DRIVE_DESTINATION", "+44 20 7946 0000");
    std::string reference = Env("DASHPOST_DRIVE_REFERENCE", "Invoice 2003-1224");
    Type(w, MainTo, to);
    Type(w, MainCompany, company);
    Type(w, MainDestination, destination);
    Type(w, MainReference, reference);
    QTest::mouseClick(w.ControlWidget(MainIncludeCover), Qt::LeftButton);
    w.Post(mvn::framework::EventAccepted, MainIncludeCover);
    QTest::keyClicks(w.ControlWidget(MainMessage), "Please find the invoice attached.");
    if (std::getenv("DASHPOST_DRIVE_EXIT")) {
      std::printf("Dashpost (driven offscreen) with the attachment %s is closed without sending.\n",
                  ctx.mainAttachment.c_str());
      std::fflush(stdout);
      w.Close();
      return;
    }
    std::printf("Dashpost (driven offscreen) has %s <%s> of %s as the recipient, the reference \"%s\", a cover "
                "page message and the attachment %s; it presses Send Fax.\n",
                w.Text(MainTo).c_str(), w.Text(MainDestination).c_str(), w.Text(MainCompany).c_str(),
                w.Text(MainReference).c_str(), ctx.mainAttachment.c_str());
    std::fflush(stdout);
    if (w.IsDisabled(MainSend)) {
      std::fprintf(stderr, "dashpost_drive: the Send Fax button is disabled: nothing to send\n");
      w.Close();
      return;
    }
    QTest::mouseClick(w.ControlWidget(MainSend), Qt::LeftButton);
    if (w.IsOpen() && ctx.mainAttachment.empty()) w.Close();
  });
}
