// mvncsend: the send client program.
#include <cstdio>
#include <cstring>

#include "sendclient/sendclient.h"

MVN_APPLICATION(SendClient);

namespace {

constexpr const char kUsage[] =
    "Usage: mvncsend [switches] [file-or-directory]\n"
    "\n"
    "Sends a file to the fax server through the delivery module named by\n"
    "DeliveryModule in its configuration. Without a file or directory it opens\n"
    "the module's settings.\n"
    "\n"
    "  file                 send the file (a request file of the client, or any\n"
    "                       other file as one section)\n"
    "  directory            send every file of it matching InputFileMask\n"
    "  SENDTYPE=type        MORVANE, GATEWAY or REGISTER: how the file is wrapped\n"
    "  MORVANE=file         send the file as a MORVANE section\n"
    "  GATEWAY=file         send the file as a GATEWAY section\n"
    "  REGISTER=file        send the file as a REGISTER section (also REG=file)\n"
    "  GROUP=name           send the file as the recipient list of that name (also\n"
    "                       DIST=name, LIST=name)\n"
    "  CONFIG=file          the INI file to read (default: mvncsend.INI beside\n"
    "                       the program, else along PATH, else the registry)\n"
    "  APPNAME=name         the configuration section to read (default mvncsend)\n"
    "  APPINST=number       the instance number (%APPINST% in the configuration)\n"
    "  APPVAR=NAME=value    variables for the configuration's %NAME% texts,\n"
    "                       separated by commas\n"
    "  -h, --help           show this text\n"
    "\n"
    "A switch may also be written KEY:value. Exit code 0 when the file was sent\n"
    "or the settings were shown, 1 when it was not sent.\n";

}  // namespace

int main(int argc, char** argv) {
  // Asked for help: the usage, before anything is read or loaded.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  program_entry();
}
