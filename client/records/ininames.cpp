// Names kept in INI files (see ininames.h).
#include "client/records/ininames.h"

#include "client/records/records.h"
#include "framework/core/strings.h"

namespace mvn::client {

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
  return framework::Upper(std::string(a)) == framework::Upper(std::string(b));
}

std::string Capital(const char* what) {
  std::string w = what;
  if (!w.empty() && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 'a' + 'A');
  return w;
}

}  // namespace

IniNameUse CoverPageNameUse() { return {"cover page name", kCoverPageNameBytes, true, {"AvailableCoverPages"}, {}}; }
IniNameUse ImageFileNameUse() { return {"remote file name", kDialogNameBytes, false, {}, {}}; }
IniNameUse BookNameUse() {
  return {"address book name",
          CStringBytes(kBookNameWidth),
          false,
          {"Pathname", "Driver", "NumCustomBooks"},
          {"Custom Book ", "Driver "}};
}
IniNameUse AutoTextNameUse() { return {"Autotext name", CStringBytes(kAutoTextNameWidth), false, {}, {"AutoText"}}; }

bool ValidIniName(std::string_view nameIn, const IniNameUse& use, std::string* message) {
  auto refuse = [&](const std::string& text) {
    if (message) *message = text;
    return false;
  };
  std::string name(nameIn);
  const std::string what = Capital(use.what);
  if (framework::Trim(name).empty()) return refuse("Please enter a " + std::string(use.what) + ".");
  if (framework::Trim(name) != name)
    return refuse(what + " must not begin or end with a blank.");
  if (name.size() > use.maxBytes)
    return refuse(what + " is longer than " + std::to_string(use.maxBytes) + " characters.");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return refuse(what + " must not hold a line break or a control character.");
  if (name.find('=') != std::string::npos) return refuse(what + " must not hold \"=\".");
  // The INI file reads "[" as a section and ";" as a comment at the start
  // of a line; "#" is no comment there, so a name may begin with it.
  if (name.front() == '[' || name.front() == ';') return refuse(what + " must not begin with \"[\" or \";\".");
  if (use.section && name.find(']') != std::string::npos) return refuse(what + " must not hold \"]\".");
  for (const std::string& r : use.reserved)
    if (SameNoCase(name, r))
      return refuse(name + " cannot be used as a " + use.what + ": the file keeps its own settings under that name.");
  for (const std::string& prefix : use.numbered) {
    if (name.size() <= prefix.size() || !SameNoCase(name.substr(0, prefix.size()), prefix)) continue;
    if (name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
      return refuse(name + " cannot be used as a " + use.what + ": the file keeps its own settings under that name.");
  }
  return true;
}

std::string IniValueAsRead(std::string_view value) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  size_t b = 0, e = value.size();
  while (b < e && blank(value[b])) ++b;
  while (e > b && blank(value[e - 1])) --e;
  std::string_view v = value.substr(b, e - b);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, v.find('\0')));
}

}  // namespace mvn::client
