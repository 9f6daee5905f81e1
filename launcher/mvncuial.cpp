// mvncuial: the console application launcher. It runs in the console
// session and starts the command lines the print monitor sends to
// "\\.\mailslot\mvncuial".
#include "launcher/launcher.h"

int main() { return mvn::launcher::Run(mvn::launcher::Kind::Console); }
