// Names a user types that the client keeps in an INI file as a key, and
// some also as a section of their own (a cover page's settings). The
// profile layer reads a key up to its first "=", takes a line beginning
// "[" for a section and one beginning ";" for a comment, ends a section's
// name at its first "]", trims blanks around both and compares them without
// case; a name it would read back as another one (or as another of the
// file's own entries) is refused before anything is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvn::client {

struct IniNameUse {
  const char* what = "name";  // for the messages: "cover page name" ...
  size_t maxBytes = 79;
  bool section = false;       // the name also heads a section
  // Entries of the file that a name must not be (no case): the section's
  // own keys, or the file's own sections for a name that heads one.
  std::vector<std::string> reserved;
  // Numbered entries of the file: a prefix followed by digits ("Custom
  // Book 1" for the prefix "Custom Book ").
  std::vector<std::string> numbered;
};

// The uses of the client's windows.
// [AvailableCoverPages] key and its own section (kCoverPageNameBytes).
IniNameUse CoverPageNameUse();
// [ImageFiles] key (what the name prompt holds, kDialogNameBytes).
IniNameUse ImageFileNameUse();
// [Database] key of the client INI (what g_QaddressBooks' Name holds).
IniNameUse BookNameUse();
// [AutoMessageTextFiles] key of the client INI (what g_QautoText's Name holds).
IniNameUse AutoTextNameUse();

// Whether name (as it will be written: without surrounding blanks) can be
// kept as use says; false with the reason in *message.
bool ValidIniName(std::string_view name, const IniNameUse& use, std::string* message);

// A value as the profile layer reads it back: without the blanks around it
// and without one pair of matching quotes (" or ') around the rest, up to a
// NUL byte.
std::string IniValueAsRead(std::string_view value);

}  // namespace mvn::client
