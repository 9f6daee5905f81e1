// A browser stand-in: adds its arguments, one line per run, to the file
// named by MVN_TEST_RECORD. The file is replaced whole (a temporary file
// renamed over it), so a reader that sees it sees every line complete.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  const char* file = std::getenv("MVN_TEST_RECORD");
  if (!file) return 1;
  std::ostringstream text;
  if (std::ifstream in(file, std::ios::binary); in) text << in.rdbuf();
  for (int i = 1; i < argc; ++i) text << (i > 1 ? "|" : "") << argv[i];
  text << "\n";
  std::string temporary = std::string(file) + "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text.str();
    if (!out.flush()) return 1;
  }
  return std::rename(temporary.c_str(), file) == 0 ? 0 : 1;
}
