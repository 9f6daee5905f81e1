// Test helper: whether a shared object is mapped into this process.
#pragma once

#include <string>

namespace mvntest {

// True when a line of /proc/self/maps contains fragment (a path, or a part
// of a file name such as "libQt6").
bool Mapped(const std::string& fragment);

}  // namespace mvntest
