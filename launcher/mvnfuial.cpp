// mvnfuial: the per-user application launcher. One instance runs in each
// user's session and starts the command lines the print monitor sends to
// "\\.\mailslot\mvnfuial\<user>".
#include <cstdio>
#include <cstring>

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

int main(int argc, char** argv) {
  if (argc > 1) {
    bool help = argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  return mvn::launcher::Run(mvn::launcher::Kind::PerUser);
}
