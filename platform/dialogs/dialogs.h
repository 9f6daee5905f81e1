// Win32-shaped dialogs: dialog boxes, property sheets, their controls and
// the few GDI calls their dialog procedures make.
//
// Dialog templates are constant data in code (DialogTemplate below) that a
// module registers under its instance handle; DialogBoxParamA and
// PropertySheetA look them up by (instance, template id). Windows are handles
// of this layer's window table; a handle that is not (or no longer) a window
// makes every call fail (FALSE / 0 / CB_ERR, ERROR_INVALID_WINDOW_HANDLE).
//
// Two backends show the windows: a headless one (no display; scriptable, see
// platform/dialogs/script.h) and Qt 6 Widgets, loaded on first use from the
// shared object mvn_dialogs_qt.so (docs/platform-dialogs.md). Dialog
// procedures always run on the caller's thread inside DialogBoxParamA or
// PropertySheetA.
//
// Text is UTF-8; lengths and limits count bytes, and a cut never splits a
// UTF-8 sequence.
#pragma once

#include <cstdint>

#include "platform/kernel/win32.h"

// ---------------------------------------------------------------------------
// Types
using UINT_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using COLORREF = DWORD;
struct HDC__;
using HDC = HDC__*;
struct HGDIOBJ__;
using HGDIOBJ = HGDIOBJ__*;
using HBRUSH = HGDIOBJ;

using DLGPROC = INT_PTR (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;

constexpr WORD LOWORD(UINT_PTR value) { return static_cast<WORD>(value & 0xFFFF); }
constexpr WORD HIWORD(UINT_PTR value) { return static_cast<WORD>((value >> 16) & 0xFFFF); }
constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
  return static_cast<WPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
constexpr COLORREF RGB(BYTE red, BYTE green, BYTE blue) {
  return static_cast<COLORREF>(red) | (static_cast<COLORREF>(green) << 8) | (static_cast<COLORREF>(blue) << 16);
}
constexpr BYTE GetRValue(COLORREF colour) { return static_cast<BYTE>(colour & 0xFF); }
constexpr BYTE GetGValue(COLORREF colour) { return static_cast<BYTE>((colour >> 8) & 0xFF); }
constexpr BYTE GetBValue(COLORREF colour) { return static_cast<BYTE>((colour >> 16) & 0xFF); }

// A resource id in place of a resource name.
inline LPSTR MAKEINTRESOURCEA(WORD id) { return reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(id)); }
inline bool IS_INTRESOURCE(LPCSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }

// ---------------------------------------------------------------------------
// Error codes of this layer (the Win32 numbers)
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_WINDOW_OF_OTHER_THREAD = 1408;

// ---------------------------------------------------------------------------
// Messages
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_NOTIFY = 0x004E;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_CTLCOLOREDIT = 0x0133;
constexpr UINT WM_CTLCOLORLISTBOX = 0x0134;
constexpr UINT WM_USER = 0x0400;

// Edit controls
constexpr UINT EM_LIMITTEXT = 0x00C5;
constexpr UINT EM_SETLIMITTEXT = EM_LIMITTEXT;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;
constexpr WORD EN_SETFOCUS = 0x0100;
// Sent when an edit loses the focus (to a procedure that validates the
// field as it is left); not sent again while a procedure handles one.
constexpr WORD EN_KILLFOCUS = 0x0200;
constexpr WORD EN_CHANGE = 0x0300;

// Buttons and check boxes
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_CLICK = 0x00F5;
constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;
constexpr WORD BN_CLICKED = 0;

// Combo boxes
constexpr UINT CB_ADDSTRING = 0x0143;
constexpr UINT CB_DELETESTRING = 0x0144;
constexpr UINT CB_GETCOUNT = 0x0146;
constexpr UINT CB_GETCURSEL = 0x0147;
constexpr UINT CB_GETLBTEXT = 0x0148;
constexpr UINT CB_GETLBTEXTLEN = 0x0149;
constexpr UINT CB_INSERTSTRING = 0x014A;
constexpr UINT CB_RESETCONTENT = 0x014B;
constexpr UINT CB_FINDSTRING = 0x014C;
constexpr UINT CB_SELECTSTRING = 0x014D;
constexpr UINT CB_SETCURSEL = 0x014E;
constexpr UINT CB_FINDSTRINGEXACT = 0x0158;
constexpr LRESULT CB_ERR = -1;
constexpr WORD CBN_SELCHANGE = 1;
constexpr WORD CBN_EDITCHANGE = 5;
constexpr WORD CBN_DROPDOWN = 7;

// Property sheets
constexpr UINT PSM_CHANGED = WM_USER + 104;
constexpr UINT PSM_UNCHANGED = WM_USER + 109;
constexpr UINT PSN_FIRST = 0u - 200u;
constexpr UINT PSN_SETACTIVE = PSN_FIRST - 0;
constexpr UINT PSN_KILLACTIVE = PSN_FIRST - 1;
constexpr UINT PSN_APPLY = PSN_FIRST - 2;
constexpr UINT PSN_RESET = PSN_FIRST - 3;
// Results of PSN_APPLY (the page's message result).
constexpr LONG_PTR PSNRET_NOERROR = 0;
constexpr LONG_PTR PSNRET_INVALID = 1;                // the refusing page becomes current
constexpr LONG_PTR PSNRET_INVALID_NOCHANGEPAGE = 2;   // the current page stays

// Command ids of dialog and sheet buttons.
constexpr int IDC_STATIC = -1;
constexpr int ID_APPLY_NOW = 0x3021;

// WM_NOTIFY's lParam points at this header; property-sheet notifications
// carry a PSHNOTIFY whose lParam is TRUE when OK (not Apply) sent them.
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
using LPNMHDR = NMHDR*;
struct PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
};

// ---------------------------------------------------------------------------
// Window data (Get/SetWindowLongPtrA). Pointers go only through the Ptr
// forms; GetWindowLongA/SetWindowLongA carry 32-bit values.
constexpr int GWLP_USERDATA = -21;
constexpr int GWL_USERDATA = GWLP_USERDATA;
constexpr int GWL_STYLE = -16;
constexpr int GWLP_ID = -12;
constexpr int GWL_ID = GWLP_ID;
constexpr int DWLP_MSGRESULT = 0;  // dialogs: the result of the message being handled
constexpr int DWL_MSGRESULT = DWLP_MSGRESULT;
constexpr int DWLP_DLGPROC = 8;    // dialogs: the dialog procedure
constexpr int DWLP_USER = 16;      // dialogs: free for the application

// ---------------------------------------------------------------------------
// Styles that matter to this layer
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD DS_MODALFRAME = 0x00000080;
constexpr DWORD ES_PASSWORD = 0x00000020;
constexpr DWORD ES_AUTOHSCROLL = 0x00000080;
constexpr DWORD ES_OEMCONVERT = 0x00000400;
constexpr DWORD ES_READONLY = 0x00000800;
constexpr DWORD BS_DEFPUSHBUTTON = 0x00000001;
constexpr DWORD BS_LEFTTEXT = 0x00000020;
constexpr DWORD CBS_DROPDOWN = 0x00000002;
constexpr DWORD CBS_DROPDOWNLIST = 0x00000003;

// ---------------------------------------------------------------------------
// Dialog templates as data. Positions and sizes are dialog units: x and
// widths in quarters, y and heights in eighths of the font's average
// character cell (the platform's conversion: px = x * avgCharWidth / 4,
// py = y * charHeight / 8).
enum class DialogControlKind : int {
  Static,      // a label
  Edit,        // single-line edit (ES_PASSWORD, ES_READONLY, ES_AUTOHSCROLL)
  CheckBox,    // automatic check box: a click toggles it (BS_LEFTTEXT)
  PushButton,  // BS_DEFPUSHBUTTON marks the default button
  GroupBox,    // a frame with an optional title
  ComboBox,    // CBS_DROPDOWNLIST (pick only) or CBS_DROPDOWN (editable), unsorted
};

struct DialogControl {
  int id;  // IDC_STATIC for controls nobody addresses
  DialogControlKind kind;
  const char* text;
  short x, y, cx, cy;
  DWORD style;
};

struct DialogTemplate {
  WORD id;
  const char* caption;  // a page's caption is its tab title
  short cx, cy;
  const char* fontName;
  WORD pointSize;
  DWORD style;
  const DialogControl* controls;
  UINT controlCount;
};

// Registers (copies) templates under an instance handle; a template of the
// same (instance, id) is replaced. FALSE with ERROR_INVALID_PARAMETER for a
// null table with a count, or a template whose controls are missing.
BOOL RegisterDialogTemplates(HINSTANCE instance, const DialogTemplate* templates, UINT count);
// Forgets every template of an instance (a module does it at unload).
void UnregisterDialogTemplates(HINSTANCE instance);

// ---------------------------------------------------------------------------
// Dialog boxes and controls

// Modal dialog box from template (instance, MAKEINTRESOURCEA(id)). Sends
// WM_INITDIALOG (wParam = the first tab-stop control, lParam = initParam);
// a TRUE result puts the focus on that control. Returns the value given to
// EndDialog, or -1 when the template is unknown or the dialog cannot be
// shown. Without a display and without a script the dialog gets IDCANCEL
// (as if the user cancelled it) and the call returns at once.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC dialogProc,
                        LPARAM initParam);
// Ends a modal dialog box (the call returns once the procedure returns).
BOOL EndDialog(HWND dialog, INT_PTR result);

HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
HWND GetParent(HWND window);
BOOL IsWindow(HWND window);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
LONG_PTR GetWindowLongPtrA(HWND window, int index);
// Returns the previous value (0 with the last error cleared on success).
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
LONG GetWindowLongA(HWND window, int index);
LONG SetWindowLongA(HWND window, int index, LONG value);

// Text of a control, or a dialog's caption. GetWindowTextA/GetDlgItemTextA
// copy at most size - 1 bytes and a NUL and return the bytes copied.
// Setting the text of an edit control sends EN_CHANGE, as typing does.
BOOL SetWindowTextA(HWND window, LPCSTR text);
int GetWindowTextA(HWND window, LPSTR buffer, int size);
int GetWindowTextLengthA(HWND window);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size);

BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);

// Focus within the calling thread's dialogs; returns the previous focus.
HWND SetFocus(HWND window);
HWND GetFocus();
// Returns TRUE when the window was disabled before.
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);
BOOL SetForegroundWindow(HWND window);

// Positions: a dialog's rectangle is its client area in screen coordinates;
// a control's is reported in screen coordinates as well, its position for
// SetWindowPos is relative to its dialog.
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;
inline const HWND HWND_TOP = nullptr;
HWND GetDesktopWindow();
BOOL GetWindowRect(HWND window, LPRECT rect);
BOOL GetClientRect(HWND window, LPRECT rect);
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
// SPI_GETWORKAREA only: the desktop's work area.
constexpr UINT SPI_GETWORKAREA = 0x0030;
BOOL SystemParametersInfoA(UINT action, UINT param, void* value, UINT winIni);

// ---------------------------------------------------------------------------
// Property sheets
constexpr DWORD PSP_DEFAULT = 0x00000000;
constexpr DWORD PSH_PROPSHEETPAGE = 0x00000008;
constexpr INT_PTR ID_PSRESTARTWINDOWS = 2;
constexpr INT_PTR ID_PSREBOOTSYSTEM = 3;

struct PROPSHEETPAGEA {
  DWORD dwSize;
  DWORD dwFlags;
  HINSTANCE hInstance;
  LPCSTR pszTemplate;  // MAKEINTRESOURCEA(id)
  DLGPROC pfnDlgProc;
  LPARAM lParam;
};
using LPCPROPSHEETPAGEA = const PROPSHEETPAGEA*;

struct PROPSHEETHEADERA {
  DWORD dwSize;
  DWORD dwFlags;  // PSH_PROPSHEETPAGE: ppsp is an array of nPages pages
  HWND hwndParent;
  HINSTANCE hInstance;
  LPCSTR pszCaption;
  UINT nPages;
  UINT nStartPage;
  LPCPROPSHEETPAGEA ppsp;
};

// Modal property sheet with OK, Cancel and Apply. A page is created (its
// WM_INITDIALOG, lParam = the page's PROPSHEETPAGEA) when it is first shown,
// then gets PSN_SETACTIVE. Leaving a page, OK and Apply first send
// PSN_KILLACTIVE to the current page; a TRUE message result keeps it. OK and
// Apply then send PSN_APPLY to every page created so far, in page order.
// PSM_CHANGED (wParam = page) enables Apply; PSM_UNCHANGED disables it once
// no page is changed. Cancel sends PSN_RESET to the created pages.
// Returns 1 when any page accepted a PSN_APPLY (also when the sheet was then
// cancelled), 0 when nothing was applied, -1 on an error (bad header or
// page, unknown template). Without a display and without a script the start
// page is created and the sheet is cancelled at once.
INT_PTR PropertySheetA(const PROPSHEETHEADERA* header);
// Nothing to initialise; kept for the callers that call it first.
void InitCommonControls();

// ---------------------------------------------------------------------------
// The GDI calls of dialog procedures. WM_CTLCOLOREDIT (edits and the edit
// field of a drop-down combo box) and WM_CTLCOLORLISTBOX (combo lists) are
// sent when a dialog's controls are created; wParam is a device context that
// records SetTextColor/SetBkColor, and the brush the procedure returns is the
// background. The backends paint those colours.
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
HGDIOBJ GetStockObject(int object);
COLORREF SetTextColor(HDC dc, COLORREF colour);
COLORREF GetTextColor(HDC dc);
COLORREF SetBkColor(HDC dc, COLORREF colour);
int SetBkMode(HDC dc, int mode);

// ---------------------------------------------------------------------------
// Message boxes on the display. A program that wants MessageBoxA (kernel) to
// use the Qt backend when a display is available calls this once; without a
// display nothing changes. Showing a dialog with the Qt backend does it too.
void EnableDisplayMessageBoxes();
