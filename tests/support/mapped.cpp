#include "tests/support/mapped.h"

#include <fstream>

namespace mvntest {

bool Mapped(const std::string& fragment) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(fragment) != std::string::npos) return true;
  return false;
}

}  // namespace mvntest
