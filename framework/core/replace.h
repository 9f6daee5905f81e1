// Files the client replaces whole: a writer writes ".<name>.<pid>.tmp"
// beside the file and renames it over the file when it is complete. A
// writer killed between the two leaves its temporary behind; the next
// writer of the same file removes it.
#pragma once

#include <string>

namespace mvn::framework {

// Removes the temporaries ".<name>.<pid>.tmp" in folder whose process is
// gone. Those of live processes (and this one) stay, and only regular files
// go: a link or a folder of that name is never followed or removed.
void RemoveStaleTemporaries(const std::string& folder, const std::string& name);

}  // namespace mvn::framework
