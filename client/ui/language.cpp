#include "client/ui/language.h"

#include <QMainWindow>
#include <unistd.h>

#include "framework/core/record.h"
#include "framework/core/strings.h"
#include "framework/gui/window.h"

namespace mvn::client {

namespace fw = mvn::framework;

namespace {

struct LanguageState {
  std::string current = "ENGLISH";
  fw::IniFile file;
  bool capture = false;
};

LanguageState& L() {
  static LanguageState s;
  return s;
}

bool Labelled(fw::ControlType t) {
  switch (t) {
    case fw::ControlType::Prompt:
    case fw::ControlType::Button:
    case fw::ControlType::Check:
    case fw::ControlType::Radio:
    case fw::ControlType::Tab:
    case fw::ControlType::Menu:
    case fw::ControlType::Item:
    case fw::ControlType::ToolButton:
    case fw::ControlType::Box: return true;
    default: return false;
  }
}

std::string Language(std::string_view language) {
  std::string l = fw::Upper(fw::Clip(fw::Left(language)));
  l = fw::CutUtf8(l, kLanguageWidth - 1);
  return l.empty() ? std::string("ENGLISH") : l;
}

}  // namespace

std::string LanguageFileName(std::string_view iniPath, std::string_view language) {
  std::string base(iniPath);
  size_t slash = base.rfind('/');
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.erase(dot);
  return base + "_" + Language(language) + ".LNG";
}

void SetLanguage(std::string_view language, std::string_view iniPath) {
  L().current = Language(language);
  L().file.SetFileName(L().current == "ENGLISH" ? std::string() : LanguageFileName(iniPath, L().current));
}

const std::string& CurrentLanguage() { return L().current; }
const fw::IniFile& LanguageFile() { return L().file; }
void SetCaptureTexts(bool on) { L().capture = on; }
bool CaptureTexts() { return L().capture; }

void WriteWindowTexts(fw::Window* window, const char* procedure, const fw::IniFile& constFile) {
  if (!window || !procedure || constFile.FileName().empty()) return;
  fw::IniFile file(constFile.FileName());
  file.Update(procedure, "TotalMenuToolbarItems", "0");
  int count = 0;
  for (int field : window->Fields()) {  // ascending: menus (negative) first
    if (field < -9999 || field > 9999 || !Labelled(window->Type(field))) continue;
    std::string text = window->Text(field);
    // A line break would end the value; a comma would end the text.
    for (char& c : text)
      if (c == '\n' || c == '\r') c = ' ';
    if (text.empty()) continue;
    ++count;
    file.Update(procedure, std::to_string(count), std::to_string(field) + "," + text);
  }
  file.Update(procedure, "TotalMenuToolbarItems", std::to_string(count));
}

void TranslateWindow(fw::Window* window, const char* procedure, const fw::IniFile& file) {
  if (!window || !procedure || file.FileName().empty()) return;
  long remaining = file.FetchNumber(procedure, "TotalMenuToolbarItems", 0);
  if (remaining <= 0) return;
  if (remaining > 65535) remaining = 65535;
  for (int key = 0; key <= 200 && remaining > 0; ++key) {
    std::string value = file.Fetch(procedure, std::to_string(key));
    size_t comma = value.find(',');
    if (comma == std::string::npos) continue;
    std::string number = fw::Clip(fw::Left(value.substr(0, comma)));
    std::string rest = value.substr(comma + 1);
    std::string text = fw::CutUtf8(rest.substr(0, rest.find(',')), 99);
    if (text.empty()) continue;
    char* end = nullptr;
    long field = std::strtol(number.c_str(), &end, 10);
    if (!number.empty() && end && *end == '\0' && field >= -9999 && field <= 9999 && window->Has(static_cast<int>(field)) &&
        Labelled(window->Type(static_cast<int>(field))))
      window->SetText(static_cast<int>(field), text);
    --remaining;
  }
  if (QWidget* w = window->Widget()) w->update();
}

BuiltInTexts CaptureBuiltInTexts(const fw::Window& w) {
  BuiltInTexts b;
  for (int field : w.Fields())
    if (Labelled(w.Type(field))) b.texts.emplace_back(field, w.Text(field));
  return b;
}

void ApplyLanguage(fw::Window& w, const char* procedure, const BuiltInTexts& builtIn, const LanguageChoice& choice,
                   std::string_view iniPath) {
  if (!choice.translate) return;
  if (choice.restoreBuiltIn)
    for (const auto& [field, text] : builtIn.texts)
      if (w.Has(field)) w.SetText(field, text);
  std::string file = LanguageFileName(iniPath, choice.language);
  if (::access(file.c_str(), F_OK) == 0) TranslateWindow(&w, procedure, fw::IniFile(file));
}

void WriteWindowTexts(fw::Window* window, const char* procedure) { WriteWindowTexts(window, procedure, L().file); }
void TranslateWindow(fw::Window* window, const char* procedure) { TranslateWindow(window, procedure, L().file); }

void LanguageWindowOpened(fw::Window* window, const char* procedure, std::string* windowLanguage) {
  if (L().capture) WriteWindowTexts(window, procedure);
  std::string mine = windowLanguage && !windowLanguage->empty() ? *windowLanguage : std::string("ENGLISH");
  if (L().current != mine) {
    if (windowLanguage) *windowLanguage = L().current;
    TranslateWindow(window, procedure);
  }
}

}  // namespace mvn::client
