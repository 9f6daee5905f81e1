// The seam between the dialog core and a backend that shows its windows.
//
// The core (this layer's static library, one copy per deliverable) owns the
// windows, runs the dialog procedures and decides what every user action
// means. A backend only renders the core's windows and feeds user input
// back: it calls the Controller for both, and the core calls the View.
// The Qt backend is a separate shared object built from the same sources
// and toolchain, so the two sides share these C++ declarations; the ABI
// number guards against a stale object. One backend object may serve the
// cores of several deliverables of a process: every call names its
// Controller.
#pragma once

#include <string>

#include "platform/dialogs/dialogs.h"

namespace mvn::dialogs {

constexpr unsigned kBackendAbi = 3;

// What changed on a window (View::Changed).
enum Change : unsigned {
  kChangeText = 1u << 0,       // control text or caption
  kChangeCheck = 1u << 1,
  kChangeItems = 1u << 2,      // combo box list
  kChangeSelection = 1u << 3,  // combo box selection
  kChangeEnabled = 1u << 4,
  kChangeGeometry = 1u << 5,
  kChangeFocus = 1u << 6,      // the focus of a top-level window
  kChangeApply = 1u << 7,      // the sheet's Apply button
  kChangePage = 1u << 8,       // the sheet's current page
  kChangeColours = 1u << 9,
  kChangeLimit = 1u << 10,
};

struct BaseUnits {
  int cx;  // average character width in pixels
  int cy;  // character height in pixels
};

struct ControlInfo {
  int id;
  DialogControlKind kind;
  DWORD style;
  RECT rect;  // pixels in the parent's client area
  bool enabled;
  UINT check;
  UINT limit;  // bytes; 0 = none
  bool hasColours;
  COLORREF textColour;
  COLORREF backColour;
};

// Implemented by the core; called by a backend on the dialog's thread while
// DialogBoxParamA or PropertySheetA runs. Entry points that run dialog
// procedures never throw: an exception is kept and rethrown by the call
// that showed the window, which is then ending.
class Controller {
 public:
  // Windows and their state.
  virtual int ChildCount(HWND window) = 0;  // controls of a dialog or page
  virtual HWND ChildAt(HWND window, int index) = 0;
  virtual bool Control(HWND control, ControlInfo* info) = 0;
  virtual std::string Text(HWND window) = 0;  // control text, caption, tab title
  virtual int ItemCount(HWND combo) = 0;
  virtual std::string Item(HWND combo, int index) = 0;
  virtual int Selection(HWND combo) = 0;
  virtual RECT Rect(HWND topLevel) = 0;  // client area in screen pixels
  virtual HWND Focus(HWND topLevel) = 0;
  virtual int TemplateId(HWND dialogOrPage) = 0;
  virtual void Font(HWND dialogOrPage, std::string* name, int* pointSize) = 0;

  // Property sheets.
  virtual int PageCount(HWND sheet) = 0;
  virtual std::string PageTitle(HWND sheet, int index) = 0;
  virtual HWND Page(HWND sheet, int index) = 0;  // nullptr until created
  virtual int CurrentPage(HWND sheet) = 0;
  virtual bool ApplyEnabled(HWND sheet) = 0;
  virtual void PageAreaSize(HWND sheet, int* cx, int* cy) = 0;

  // Life of a shown window.
  virtual void SheetSized(HWND sheet, int cx, int cy) = 0;  // real client size
  virtual void SheetStart(HWND sheet) = 0;                   // creates the start page
  // The window is on the screen: runs the script, or without one cancels
  // a headless window.
  virtual void Shown(HWND topLevel) = 0;
  virtual bool Ended(HWND topLevel) = 0;

  // User input.
  virtual void UserTyped(HWND control, const std::string& text) = 0;  // text after one keystroke
  virtual void UserClicked(HWND control) = 0;
  virtual void UserSelected(HWND combo, int index) = 0;
  virtual void UserDroppedDown(HWND combo) = 0;
  virtual void UserFocused(HWND control) = 0;  // a click or Tab moved the focus there
  virtual void UserClosed(HWND topLevel) = 0;  // Escape, close box
  virtual void UserSelectedPage(HWND sheet, int index) = 0;
  virtual void UserPressed(HWND sheet, int button) = 0;  // IDOK, IDCANCEL, ID_APPLY_NOW

 protected:
  ~Controller() = default;
};

// Implemented by a backend.
class View {
 public:
  // Prepares the backend (Qt: the application object on this thread);
  // platform names the Qt platform plugin, nullptr for Qt's own choice.
  virtual bool Start(const char* platform, std::string* error) = 0;
  virtual BaseUnits Units(const char* fontName, int pointSize) = 0;
  virtual RECT Desktop() = 0;
  virtual RECT WorkArea() = 0;
  // Show modally and return once the controller says the window ended.
  // false when the window could not be shown at all (nothing ran).
  virtual bool RunDialog(Controller* controller, HWND dialog) = 0;
  virtual bool RunSheet(Controller* controller, HWND sheet) = 0;
  virtual void Changed(Controller* controller, HWND window, unsigned what) = 0;
  virtual void PageCreated(Controller* controller, HWND sheet, int index) = 0;
  virtual void Ending(Controller* controller, HWND topLevel) = 0;

  // Script actions, performed as input on the backend's widgets.
  virtual bool Type(Controller* controller, HWND control, const std::string& text) = 0;
  virtual bool Click(Controller* controller, HWND control) = 0;
  virtual bool Select(Controller* controller, HWND combo, int index) = 0;
  virtual bool DropDown(Controller* controller, HWND combo) = 0;
  virtual bool SelectPage(Controller* controller, HWND sheet, int index) = 0;
  virtual bool Press(Controller* controller, HWND window, int button) = 0;

  // A message box; 0 when it cannot be shown here.
  virtual int MessageBox(HWND owner, const char* text, const char* caption, UINT type) = 0;

 protected:
  ~View() = default;
};

}  // namespace mvn::dialogs

// The Qt backend's one export: its View, or nullptr when abi differs.
extern "C" mvn::dialogs::View* mvn_dialogs_qt_backend(unsigned abi);
