// The help-tip procedures the hooks call.
#pragma once

#include <string>

namespace mvn::framework {
class Window;
}

namespace mvn::helptips {

// Events the tip window sends: to the requesting window after a save of a
// new tip or a followed link without its own target (0x192); its own close
// request (0x201).
inline constexpr int kTipChangedEvent = 0x192;
inline constexpr int kTipCloseEvent = 0x201;

// What a tip request hands to the tip window (the request state of the
// hooks, read once when the window opens).
struct TipWindowRequest {
  std::string procedure;     // request procedure name (cut to 50)
  std::string controlName;   // "?" + label (cut to 50)
  std::string controlType;   // "ENTRY", "BUTTON", ... (cut to 20); "IDE": modal on this thread
  std::string tipFile;       // blank: "Hintwell.Kdf"
  // Stored position of the control (window units, already scaled), 0 = none.
  int storedX = 0, storedY = 0;
  int editFlag = 0;          // 0 editor offered, 1 only with "/EditTips", 2 never
  std::string caption;       // blank: no caption
  bool variableWidth = false;
  int requestingWindow = 0;  // id of the window that asked (Start id), 0 = none
};

// Opens a tip window for the request (TipStart's work): non-modal on the
// GUI thread, returning its window id; with the control type "IDE" modal,
// returning 0 when it closed. A tip file that cannot be opened closes only
// the tip window (never the client), is reported once and returns -1 (the
// request then tries nothing more).
int TipWindow(const TipWindowRequest& request);

// Whether the editor is offered under the edit flag and the program's
// command line.
bool TipEditAllowed(int editFlag);

}  // namespace mvn::helptips
