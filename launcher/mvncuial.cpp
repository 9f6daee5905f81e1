// mvncuial: the console application launcher. It runs in the console
// session and starts the command lines the print monitor sends to
// "\\.\mailslot\mvncuial".
#include "launcher/launcher.h"

namespace {

const char kUsage[] =
    "usage: mvncuial\n"
    "The console application launcher: run one on the machine's console. It serves\n"
    "\\\\.\\mailslot\\mvncuial and starts the applications the fax port monitor sends it\n"
    "when the job's user has no mvnfuial, until SIGTERM, SIGINT or SIGHUP. It obeys\n"
    "root and the spooler service's user (MVN_SPOOLER_USER, default root).\n"
    "MVN_ROOT names the machine root. Exit codes: 0 ended; 1 it could not start,\n"
    "or one is already running.\n";

}  // namespace

int main(int argc, char** argv) { return mvn::launcher::Main(mvn::launcher::Kind::Console, kUsage, argc, argv); }
