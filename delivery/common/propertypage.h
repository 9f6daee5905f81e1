// Property pages of the modules' configuration sheet, and the small dialog
// helpers the pages use.
#pragma once

#include "lib/text.h"
#include "platform/dialogs/dialogs.h"

// A page of the sheet. One dialog procedure (PageDialogProc) serves every
// page: it finds the page object in the window's user data and lets the
// page handle a message first; what the page leaves alone the base handler
// below does (changed flag and PSM_CHANGED, apply, validation on leaving,
// blue-on-white edits).
class CPROPERTYPAGE {
 public:
  CPROPERTYPAGE() = default;
  CPROPERTYPAGE(const CPROPERTYPAGE&) = delete;
  CPROPERTYPAGE& operator=(const CPROPERTYPAGE&) = delete;
  // No virtual destructor: pages are static objects destroyed as what they are.

  // Slot 1: non-zero means handled (and is the procedure's result). Base: 0.
  virtual INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Slot 2: whether a command from a control is a change of the page.
  virtual bool IsChange(WORD controlId, WORD notificationCode);
  // Slot 3: takes the controls into the page; the base marks it applied.
  virtual bool Apply(HWND window);
  // Slot 4: whether the page may be left. Base: true.
  virtual bool Validate(HWND window);

  // The base message handler (after OnMessage returned 0).
  INT_PTR BaseMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND m_window = nullptr;  // set at WM_INITDIALOG
  bool m_changed = true;    // cleared at WM_INITDIALOG
  bool m_applied = false;   // set by a successful apply, never cleared
};

// The dialog procedure of every page; the page object comes as the lParam
// of the page's PROPSHEETPAGEA.
INT_PTR PageDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Moves a window so its centre is the centre of the window of the program
// that started this one, when that program named it in the environment
// (OwnerWindowVariable: "<left>,<top>,<width>,<height>" in screen pixels),
// else the desktop's centre; kept on the desktop. Size, z-order and
// activation stay.
inline constexpr const char* OwnerWindowVariable = "MVN_OWNER_WINDOW";
void CenterWindow(HWND window);
// Grows the text to the control's text length + 1 and reads the control
// into it; returns the length read.
DWORD GetDlgItemTextInto(HWND dialog, int control, CTEXT* text);
void SetDlgItemTextFrom(HWND dialog, int control, const CTEXT* text);
// *checked := whether the check box is checked; returns it too.
bool GetCheckBox(HWND dialog, int control, bool* checked);
void SetCheckBox(HWND dialog, int control, bool checked);
