// mvnfuial: the per-user application launcher. One instance runs in each
// user's session and starts the command lines the print monitor sends to
// "\\.\mailslot\mvnfuial\<user>".
#include "launcher/launcher.h"

namespace {

const char kUsage[] =
    "usage: mvnfuial\n"
    "The per-user application launcher: run one in each user's session. It serves\n"
    "\\\\.\\mailslot\\mvnfuial\\<user> and starts, as this user, the applications the fax\n"
    "port monitor sends it, until SIGTERM, SIGINT or SIGHUP. It obeys root, the\n"
    "spooler service's user (MVN_SPOOLER_USER, default root) and its own user.\n"
    "MVN_ROOT names the machine root. Exit codes: 0 ended, or one is already\n"
    "running for this user; 1 it could not start.\n";

}  // namespace

int main(int argc, char** argv) { return mvn::launcher::Main(mvn::launcher::Kind::PerUser, kUsage, argc, argv); }
