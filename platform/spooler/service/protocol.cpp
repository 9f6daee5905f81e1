#include "platform/spooler/service/protocol.h"

#include "platform/kernel/win32.h"

namespace spooler::service {

std::string RootPath(const char* relative, bool createParents) {
  char path[4096];
  if (!MvnRootPath(relative, path, sizeof path, createParents)) return std::string();
  return path;
}

}  // namespace spooler::service
