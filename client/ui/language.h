// Language files: per window, the texts that replace the English texts of
// its controls, menu items and toolbar items.
//
// The language file of the client INI file "<dir>/dashpost.INI" and the
// language FRENCH is "<dir>/dashpost_FRENCH.LNG": the INI path with its
// extension removed (its case kept), "_", the language in upper case and
// ".LNG". It is used only when the language is not "ENGLISH".
//
// A section per window procedure (Main, FindClient, ...):
//   TotalMenuToolbarItems=<n>
//   1=<field number>,<text>
//   2=...
// Field numbers are the window's own (negative for menu and toolbar items);
// a text ends at its first comma. Only the controls that show a label are
// captured and translated (prompts, buttons, check boxes, radios, tabs,
// menus, menu items, toolbar buttons); the values of entries and lists are
// never touched.
#pragma once

#include <string>
#include <string_view>

#include <utility>
#include <vector>

#include "client/ui/languagechoice.h"
#include "framework/core/ini.h"

namespace mvn::framework {
class Window;
}

namespace mvn::client {

// "<ini path without extension>_<LANGUAGE>.LNG".
std::string LanguageFileName(std::string_view iniPath, std::string_view language);

// The current language (upper case, at most kLanguageWidth - 1 bytes,
// empty = "ENGLISH")
// and the language file for it, named after the client INI file.
void SetLanguage(std::string_view language, std::string_view iniPath);
const std::string& CurrentLanguage();
const mvn::framework::IniFile& LanguageFile();

// Capture mode ("/L" on the command line): each window's texts are written
// into the language file when it opens. While the language is "ENGLISH"
// there is no language file and nothing is captured.
void SetCaptureTexts(bool on);
bool CaptureTexts();

// Writes the window's current texts into its section of the language file.
void WriteWindowTexts(mvn::framework::Window* window, const char* procedure);
// Sets the window's texts from its section of the language file. A missing
// file or section leaves the window as built.
void TranslateWindow(mvn::framework::Window* window, const char* procedure);
// The same against a given file (tests, the language menu).
void WriteWindowTexts(mvn::framework::Window* window, const char* procedure, const mvn::framework::IniFile& file);
void TranslateWindow(mvn::framework::Window* window, const char* procedure, const mvn::framework::IniFile& file);

// What each window does when it has opened: capture (when on), then
// translate when the current language differs from the language the window
// was last translated to (*windowLanguage, "ENGLISH" for a new window).
void LanguageWindowOpened(mvn::framework::Window* window, const char* procedure, std::string* windowLanguage);

// The texts a window was built with (the labelled controls above), kept so
// that switching back to ENGLISH at run time restores them.
struct BuiltInTexts {
  std::vector<std::pair<int, std::string>> texts;
};
BuiltInTexts CaptureBuiltInTexts(const mvn::framework::Window& window);
// Applies a language chosen at run time to an open window: the built-in
// texts back when the choice says so, then the language file of the
// language when it exists (so an _ENGLISH.LNG still applies).
void ApplyLanguage(mvn::framework::Window& window, const char* procedure, const BuiltInTexts& builtIn,
                   const LanguageChoice& choice, std::string_view clientIniPath);

}  // namespace mvn::client
