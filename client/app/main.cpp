// dashpost: the fax submission client.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "client/app/procedures.h"

namespace {

const char kUsage[] =
    "usage: dashpost [FILE] [/L] [/EditTips] [/hwtrace] [/hwdebug] [/hwtdbg] [/hwt]\n"
    "The address-book client: opens the send window on the address books of its INI file.\n"
    "  FILE       the document to send as the fax's attachment; the client ends after the send\n"
    "  /L         write each window's texts into the current language file\n"
    "  /EditTips  offer the help-tip editor\n"
    "  /hw...     trace the help tips\n"
    "The INI file is <program>.INI beside the program, <MVN_ROOT>/windows/dashpost.INI or\n"
    "$HOME/dashpost/dashpost.ini (the first with [Database] Pathname).\n"
    "  -h, --help  this text\n";

}  // namespace

int main(int argc, char** argv) {
  // Asked for before anything else, also without a display.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  // A word beginning with "-" is a switch unless it names a file: one the
  // client does not know is told as every program tells it, rather than
  // taken for the fax's document.
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (argv[i][0] == '-' && argv[i][1] != '\0' && stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "dashpost: unknown switch %s\n%s", argv[i], kUsage);
      return 2;
    }
  }
  return mvn::client::ProgramMain(argc, argv);
}
