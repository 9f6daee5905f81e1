// What choosing a language at run time asks of an open window. A plain
// value without widgets, so the send window's menu models (which choose)
// and the language routines (which apply) share it.
#pragma once

#include <cstddef>
#include <string>

namespace mvn::client {

// The declared width of a language's name: a name of the Language menu
// holds kLanguageWidth bytes, the current language one less (its text keeps
// a byte for its end).
constexpr size_t kLanguageWidth = 20;

struct LanguageChoice {
  std::string language;         // upper case
  bool translate = false;       // the window shows another language
  bool restoreBuiltIn = false;  // back to ENGLISH: the built-in texts first
};

}  // namespace mvn::client
