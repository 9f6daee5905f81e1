// mvnport add|configure|delete <monitor> [<port>]
//
// Does what a spooler does when a user adds, configures or deletes a port
// in a printer's properties: loads the monitor installed under that name
// (as the root's spooler loads it), calls its AddPort, ConfigurePort or
// DeletePort, whose dialogs show on the caller's display, and then asks the
// running spooler service to read its ports again.
//
// Root only on a multi-user root: a port's ExternalApplication is what the
// launchers of other users start, and the setup button sends a command to
// the console launcher. On a single-user root (the 95 mode) the desktop
// user, who runs the service, configures its ports.
//
// Exit codes: 0 done, 1 refused or failed, 2 a bad command line.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/spooler/host.h"
#include "platform/spooler/install.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: mvnport add <monitor>\n       mvnport configure|delete <monitor> <port>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string verb = argv[1], monitorName = argv[2];
  std::string port = argc > 3 ? argv[3] : "";
  if ((verb != "add" && verb != "configure" && verb != "delete") || argc > 4 ||
      (verb != "add" && port.empty()) || (verb == "add" && !port.empty()))
    return Usage();
  const bool singleUser = mvn::spooler::CurrentPlatform() == mvn::spooler::Platform::Windows95;
  if (!singleUser && geteuid() != 0) {
    std::fprintf(stderr, "mvnport: adding, configuring and deleting ports is for root only\n");
    return 1;
  }
  std::string file = mvn::spooler::MonitorFile(monitorName);
  if (file.empty()) {
    std::fprintf(stderr, "mvnport: no port monitor \"%s\" is installed\n", monitorName.c_str());
    return 1;
  }
  std::string error;
  std::unique_ptr<mvn::spooler::PortMonitor> monitor = mvn::spooler::LoadPortMonitor(file, monitorName, &error);
  if (!monitor) {
    std::fprintf(stderr, "mvnport: %s\n", error.c_str());
    return 1;
  }
  bool done = verb == "add"         ? monitor->AddPort(monitorName)
              : verb == "configure" ? monitor->ConfigurePort(port)
                                    : monitor->DeletePort(port);
  if (!done) {
    std::fprintf(stderr, "mvnport: the monitor \"%s\" refused to %s %s\n", monitorName.c_str(), verb.c_str(),
                 port.empty() ? "a port" : port.c_str());
    // The monitor stays loaded until the process ends, as in a spooler.
    monitor.release();
    return 1;
  }
  std::string reply;
  if (mvn::spooler::AskServiceToReload(&reply))
    std::printf("mvnport: the spooler service read its ports again (%s)\n", reply.c_str());
  else
    std::printf("mvnport: the spooler service did not read its ports again (%s); it reads them when it starts\n",
                reply.c_str());
  monitor.release();
  return 0;
}
