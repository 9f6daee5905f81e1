// The names a shared object exports, as the dynamic loader sees them: the
// check that a module exports exactly its contract and nothing else.
#pragma once

#include <set>
#include <string>

namespace mvntest {

// The defined dynamic symbols of the shared object at path ("nm -D
// --defined-only"), by name. False, with the reason in *error, when nm
// cannot be run or fails on the file.
bool ExportedNames(const std::string& path, std::set<std::string>* names, std::string* error);

// The five names every delivery module exports.
std::set<std::string> DeliveryExportNames();

}  // namespace mvntest
