// Scripting dialogs like a user: for tests, and for machines without a
// display. A script runs when a dialog box or property sheet is shown, with
// either backend; its actions go through the backend as user input would
// (typing into a Qt line edit, clicking a Qt button), so the dialog
// procedures see the same notifications as with a real user. When the
// script returns and the window is still open, it is cancelled.
#pragma once

#include <functional>
#include <string>

#include "platform/dialogs/dialogs.h"

namespace mvn::dialogs {

// Runs for every dialog box and property sheet shown on any thread until it
// is replaced or cleared (nullptr). window is the dialog or the sheet.
using Script = std::function<void(HWND window)>;
void SetScript(Script script);

// Answers MessageBoxA instead of showing a box (both backends) until
// cleared; the function returns the button (IDOK, IDCANCEL ...).
using MessageBoxScript = std::function<int(HWND owner, const char* text, const char* caption, UINT type)>;
void SetMessageBoxScript(MessageBoxScript script);

// The backend a dialog shown now would use.
enum class Backend { Headless, Qt };
Backend SelectedBackend();

// Actions. Each returns false (and does nothing) when the window is not a
// control of the kind, is disabled, or the window is already closing.

// A control of the dialog by id; in a sheet, of the current page.
HWND FindControl(HWND window, int id);
// Gives an edit (or an editable combo box) the focus, selects its whole
// text and types text over it, one keystroke per character: every keystroke sends EN_CHANGE
// (CBN_EDITCHANGE); an empty text deletes the selection. Characters beyond
// the control's limit are refused.
bool TypeText(HWND control, const std::string& text);
// Clicks a button or check box (an automatic check box toggles): BN_CLICKED.
// A push button takes the focus first, as under a mouse.
bool Click(HWND control);
// Moves the focus to a control as a click or Tab would; an edit that loses
// the focus sends EN_KILLFOCUS. False when the focus did not move there (a
// procedure put it back).
bool FocusControl(HWND control);
// Picks an item of a combo box: CBN_SELCHANGE.
bool SelectItem(HWND combo, int index);
// Opens a combo box's list: CBN_DROPDOWN.
bool DropDown(HWND combo);
// Property sheets: switch page (false when the current page refuses), press
// IDOK, IDCANCEL or ID_APPLY_NOW (false when Apply is disabled). For a dialog
// box PressButton clicks the push button with that id.
bool SelectPage(HWND sheet, int index);
bool PressButton(HWND window, int button);
int CurrentPage(HWND sheet);
HWND PageWindow(HWND sheet, int index);  // nullptr until the page is created
bool IsApplyEnabled(HWND sheet);

// Colours the dialog procedure chose for an edit or combo box (through
// WM_CTLCOLOREDIT); false when it chose none.
bool GetControlColours(HWND control, COLORREF* text, COLORREF* background);

}  // namespace mvn::dialogs
