#include "tests/support/exports.h"

#include <sys/wait.h>

#include <cstdio>

#include "delivery/exports.h"

namespace mvntest {

namespace {
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}
}  // namespace

bool ExportedNames(const std::string& path, std::set<std::string>* names, std::string* error) {
  names->clear();
  std::string command = "nm -D --defined-only " + Quoted(path) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *error = "cannot run nm";
    return false;
  }
  std::string output;
  char line[1024];
  while (fgets(line, sizeof line, pipe)) {
    std::string text(line);
    output += text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // "<address> <type> <name>": the name is the last word.
    std::size_t last = text.find_last_of(' ');
    if (last != std::string::npos && last + 1 < text.size()) names->insert(text.substr(last + 1));
  }
  int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "nm failed on " + path + ": " + output;
    return false;
  }
  return true;
}

std::set<std::string> DeliveryExportNames() {
  return std::set<std::string>(std::begin(kDeliveryExportNames), std::end(kDeliveryExportNames));
}

}  // namespace mvntest
