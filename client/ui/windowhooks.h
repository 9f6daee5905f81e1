// What every client window does around its own handling: the help-tip
// hooks when it opens, per event and when it closes, and (for the windows
// that are translated) the language file once it has opened.
#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "client/ui/language.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"

namespace mvn::client {

// The client's tip file ([Files] HintwellFullPathName), set once at start;
// every window's tip requests name it.
inline std::string& ClientTipFile() {
  static std::string file = "hintwell.hwt";
  return file;
}

// The tip hooks of a window: opened, each event (a tip request names the
// control's use name, "?" and its label), closed; with translate the
// language routine once it has opened.
inline void WireWindowHooks(framework::Window& w, const char* procedure, bool translate) {
  auto language = std::make_shared<std::string>("ENGLISH");
  QObject::connect(&w, &framework::Window::windowEvent, &w, [&w, procedure, translate, language](int event, int field) {
    if (event == framework::EventCloseWindow) {
      helptips::HintwellWindowClosed(&w);
      return;
    }
    if (event == framework::EventOpenWindow) {
      if (translate) LanguageWindowOpened(&w, procedure, language.get());
      helptips::HintwellWindowOpened(&w, procedure, 0);
      return;
    }
    int tip = helptips::HintwellTakeEvent(&w, event, field);
    if (tip > 0 && w.Has(tip))
      helptips::HintwellTipRequest(framework::ControlTypeName(w.Type(tip)), w.UseName(tip).c_str(), procedure,
                                   ClientTipFile().c_str());
  });
}

}  // namespace mvn::client
