// Test helper: the spool files ("MVN*.TMP") a port monitor leaves in a
// directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mvntest {

inline std::vector<std::string> SpoolFiles(const std::string& directory) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  if (!fs::exists(directory)) return files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("MVN", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".TMP")
      files.push_back(entry.path().string());
  }
  return files;
}

}  // namespace mvntest
