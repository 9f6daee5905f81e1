// mvnfuial: the per-user application launcher. One instance runs in each
// user's session and starts the command lines the print monitor sends to
// "\\.\mailslot\mvnfuial\<user>\launcher", in the user's own folder that the
// spooler service makes on request.
#include "launcher/launcher.h"

namespace {

const char kUsage[] =
    "usage: mvnfuial\n"
    "The per-user application launcher: run one in each user's session. It serves\n"
    "\\\\.\\mailslot\\mvnfuial\\<user>\\launcher (in the user's own folder, which the\n"
    "spooler service makes when asked at the start) and starts, as this user, the\n"
    "applications the fax port monitor sends it, until SIGTERM, SIGINT or SIGHUP.\n"
    "It obeys root, the spooler service's user (MVN_SPOOLER_USER, default root)\n"
    "and its own user.\n"
    "MVN_ROOT names the machine root. Exit codes: 0 ended, or one is already\n"
    "running for this user; 1 it could not start.\n";

}  // namespace

int main(int argc, char** argv) { return mvn::launcher::Main(mvn::launcher::Kind::PerUser, kUsage, argc, argv); }
