// The driver interface behind FileManager.
#pragma once

#include "framework/core/filemanager.h"

namespace mvn::framework {

class FileBackend {
 public:
  virtual ~FileBackend() = default;
};

}  // namespace mvn::framework
