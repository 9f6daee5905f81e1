// Help-tip hooks of the client's windows.
//
// Every window takes part through four hooks: it announces itself when it
// has opened (HintwellWindowOpened), passes each event on after its own
// handling (HintwellTakeEvent; a result > 0 is the field number of the
// control whose tip is wanted), asks for the tip of one control from its
// tip routine (HintwellTipRequest), and withdraws first in its shut-down
// (HintwellWindowClosed). Program main calls the five set-up entries once,
// in the order HintwellSetEdit, HintwellSetWhatsThisText, HintwellSetup,
// HintwellSetCaption, HintwellSetVariableWidth.
//
// "What's This" help is F1 (the focused control) or Shift+F1 followed by a
// click (the clicked control): the widget is captured when the event
// arrives and resolved to the nearest registered control of the window. A
// right click on a control that is not excluded offers a popup with the
// What's-This text; on a text field (line edit, text edit, editable drop
// list) the popup begins with the field's own edit actions (Undo ... Select
// All) and a separator, so Cut, Copy and Paste stay where a person expects
// them, and the popup's items keep their numbers. Everything runs on the
// GUI thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace mvn::framework {
class Window;
}

namespace mvn::helptips {

// ---------------------------------------------------------------------------
// Set-up (process-wide, set once by program main).

struct HintwellSettings {
  int edit = 0;                 // 0: editor in every tip window; 1: only with "/EditTips"; 2: never
  std::string whatsThisText;    // popup text of a right click (at most 100 bytes)
  std::string caption;          // caption of the tip window (at most 80 bytes)
  int variableWidth = 0;        // 1: the tip window's width is kept with the tip
};

void HintwellSetEdit(int flag);
void HintwellSetWhatsThisText(std::string_view text);
void HintwellSetup(int value);  // kept for the order of the set-up calls; does nothing
void HintwellSetCaption(std::string_view caption);
void HintwellSetVariableWidth(int flag);
const HintwellSettings& Settings();

// The trace switches of the command line: "/hwtrace" (set-up values),
// "/hwdebug" (controls visited and excluded), "/hwtdbg" (a help item not
// found), "/hwt" (the tip window's id). Each trace line goes to the
// framework's stop box, where the user may go on or end the program.
void SetTraceSwitches(int argc, const char* const* argv);

// ---------------------------------------------------------------------------
// The four hooks.

// Style flags 0: the window gets the help hook (F1, Shift+F1) and the
// right-click popup; 1: only the right-click popup. Every control is
// offered (the client's exclusion text "|").
void HintwellWindowOpened(mvn::framework::Window* window, const char* procedure, int styleFlags);
// The full form: exclusion text (field numbers separated by "|": "3|7"
// keeps controls 3 and 7 out), all controls, style flags, override (flags
// taken as 0).
void HintwellWindowOpened(mvn::framework::Window* window, std::string_view exclusion, bool allControls,
                          int styleFlags, bool overrideFlags);

// After the window's own handling of every event. Returns the field number
// of the control whose tip is wanted (> 0), the negated item number of
// another popup item, or 0 (nothing chosen, or a text field's edit action,
// which has then been carried out).
int HintwellTakeEvent(mvn::framework::Window* window, int event, int field);
// The full form: the popup text used when useWhatsThis is false.
int HintwellTakeEvent(mvn::framework::Window* window, int event, int field, std::string_view popupText,
                      bool useWhatsThis);

// A window's tip routine: control type ("ENTRY", "BUTTON" ...), "?" + the
// control's label, the window's procedure name and the tip file path.
void HintwellTipRequest(const char* controlType, const char* label, const char* procedure, const char* tipFile);

// Unhooks the window and its children. A window never hooked is left as
// it is.
void HintwellWindowClosed(mvn::framework::Window* window);

// ---------------------------------------------------------------------------
// The tip request.

struct TipRequest {
  std::string tipFile;     // at most 255 bytes; blank: "Hintwell.Kdf"
  std::string procedure;   // at most 50
  std::string control;     // at most 50
  std::string controlType; // at most 20
  int x = 0, y = 0, width = 0, height = 0;  // stored position (pixels of the tip window)
  int rememberedControl = 0;
  mvn::framework::Window* rememberedWindow = nullptr;
  mvn::framework::Window* window = nullptr;  // the window that asked (its tip routine's)
  int controlField = 0;                      // the field of the control the tip is for, 0 = none
};
// The request state as the last request left it.
const TipRequest& CurrentRequest();

// Shows a tip window for the current request. modal: run it on this thread
// and return 0 ("IDE"); otherwise open it non-modal and return its id
// (non-zero), 0 when it could not be started on a thread of its own (the
// caller then runs it modal), or -1 when it failed and has told the user
// (nothing more is tried).
using TipWindowFactory = std::function<int(const TipRequest& request, bool modal)>;
// nullptr puts the minimal tip window back.
void SetTipWindowFactory(TipWindowFactory factory);

// Stores the request and starts the tip window. controlNumber 0 takes the
// control remembered by the hooks (then forgotten); with neither the
// stored position stays. Returns the tip window's id, 0 for "IDE".
int TipStart(int controlNumber, std::string_view controlType, std::string_view control,
             std::string_view procedure, std::string_view tipFile);

}  // namespace mvn::helptips
