// dashpost: the fax submission client.
#include "client/app/procedures.h"

int main(int argc, char** argv) { return mvn::client::ProgramMain(argc, argv); }
