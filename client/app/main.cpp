// dashpost: the fax submission client.
#include "client/app/procedures.h"
#include "client/wiring/wiring.h"

int main(int argc, char** argv) {
  mvn::client::WireClientWindows();
  return mvn::client::ProgramMain(argc, argv);
}
