// mvnfuial: the per-user application launcher. One instance runs in each
// user's session and starts the command lines the print monitor sends to
// "\\.\mailslot\mvnfuial\<user>".
#include "launcher/launcher.h"

int main() { return mvn::launcher::Run(mvn::launcher::Kind::PerUser); }
