#include "framework/core/runtime.h"

#include "framework/core/errors.h"

namespace mvn::framework {

int Run(std::string_view, bool) {
  SetError(DriverNotSupportedError);
  return -1;
}
std::string CommandLine() { return std::string(); }
std::string ProgramPath() { return std::string(); }
std::string CommandParameters() { return std::string(); }

}  // namespace mvn::framework
