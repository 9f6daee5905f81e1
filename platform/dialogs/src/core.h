// The dialog core: windows, controls, the dialog-procedure machinery and
// the property-sheet logic, shared by both backends.
#pragma once

#include <exception>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/dialogs/dialogs.h"
#include "platform/dialogs/script.h"
#include "platform/dialogs/src/backend.h"

namespace mvn::dialogs {

enum class WindowKind { Dialog, Sheet, Page, Control };

struct SheetState {
  std::vector<PROPSHEETPAGEA> pages;  // our copies; a page's WM_INITDIALOG points at its copy
  std::vector<std::shared_ptr<const DialogTemplate>> templates;
  std::vector<HWND> pageWindows;      // nullptr until created
  std::set<HWND> changed;             // pages that sent PSM_CHANGED
  int current = -1;
  int start = 0;
  bool applyEnabled = false;
  bool applied = false;  // some page accepted a PSN_APPLY
  int pageCx = 0, pageCy = 0;
};

struct Window {
  HWND handle = nullptr;
  WindowKind kind = WindowKind::Control;
  HWND parent = nullptr;  // controls: their dialog or page; pages: the sheet; top-level: the owner
  int id = 0;
  DialogControlKind control = DialogControlKind::Static;
  DWORD style = 0;
  std::string text;
  RECT rect{};  // top-level: client area in screen pixels; children: in the parent's client area
  LONG_PTR userData = 0;
  LONG_PTR msgResult = 0;
  LONG_PTR dialogUser = 0;
  DLGPROC proc = nullptr;
  bool enabled = true;
  UINT check = BST_UNCHECKED;
  std::vector<std::string> items;
  int selection = -1;
  UINT limit = 0;
  bool hasColours = false;
  COLORREF textColour = 0;
  COLORREF backColour = 0;
  std::vector<HWND> children;

  // Dialogs and pages.
  std::shared_ptr<const DialogTemplate> dialogTemplate;
  BaseUnits units{6, 13};
  int pageIndex = -1;

  // Top-level windows.
  View* view = nullptr;
  HWND focus = nullptr;
  bool ended = false;
  INT_PTR result = 0;
  std::unique_ptr<SheetState> sheet;
};

using WindowPtr = std::shared_ptr<Window>;

// The window table.
HWND AddWindow(WindowPtr window);
WindowPtr FindWindow(HWND handle);  // nullptr and ERROR_INVALID_WINDOW_HANDLE when unknown
void RemoveWindowTree(HWND handle);  // the window and its children, WM_DESTROY to procedures
WindowPtr TopLevelOf(const WindowPtr& window);

// Creates the controls of a template into a dialog or page window.
void CreateControls(const WindowPtr& parent, const DialogTemplate& dialogTemplate);
// Sends the colour messages for the window's edits and combo boxes.
void QueryControlColours(const WindowPtr& parent);
HWND FirstTabStop(const WindowPtr& parent);
int DialogUnitsToPixelsX(int x, const BaseUnits& units);
int DialogUnitsToPixelsY(int y, const BaseUnits& units);

// Sends a message to a dialog or page procedure with the dialog manager's
// rules: the message result is the procedure's DWLP_MSGRESULT (kept across
// nested messages), except for messages whose result is the return value.
LRESULT CallDialogProc(const WindowPtr& window, UINT message, WPARAM wParam, LPARAM lParam);
// WM_COMMAND from a control to its parent.
void NotifyParent(const WindowPtr& control, WORD code);
// Tells the window's backend what changed.
void Changed(const WindowPtr& window, unsigned what);

// Templates.
std::shared_ptr<const DialogTemplate> FindTemplate(HINSTANCE instance, LPCSTR name);

// Text helpers (UTF-8: never split a sequence).
size_t Utf8Cut(const std::string& text, size_t maxBytes);
int CopyText(const std::string& text, char* buffer, int size);

// Modal calls on this thread: a kept exception and the window it ends.
struct ModalFrame {
  HWND window = nullptr;
  std::exception_ptr pending;
};
void PushFrame(ModalFrame* frame);
ModalFrame* InnermostFrame();
void PopFrame(ModalFrame* frame);
// Keeps the current exception in the innermost frame and ends its window.
void KeepException();

// The controller the backends call.
Controller* TheController();

// Ending windows.
void EndTopLevel(const WindowPtr& topLevel, INT_PTR result);
void CancelTopLevel(const WindowPtr& topLevel);  // as the user would, then forced

// What the dialog manager does with a message the window's procedure left
// alone (window.cpp): the window text messages.
LRESULT DefaultDialogMessage(const WindowPtr& w, UINT message, WPARAM wParam, LPARAM lParam);

// Sheet operations (sheet.cpp).
bool SheetActivate(const WindowPtr& sheet, int index, bool askCurrent);
void SheetPress(const WindowPtr& sheet, int button);
LRESULT SheetMessage(const WindowPtr& sheet, UINT message, WPARAM wParam, LPARAM lParam);
void SheetLayout(const WindowPtr& sheet);

// Backends (select.cpp, headless.cpp).
View* HeadlessView();
// The backend for a window to be shown now; loads Qt on first use. why
// receives the reason when the headless backend was chosen for want of Qt.
View* AcquireView();
View* LoadedQtView();  // nullptr until Qt was loaded and started
RECT CurrentDesktop(bool workArea);
void NoteOnce(const std::string& note);
void ShowWithoutScriptNote(const WindowPtr& topLevel);

// Scripts (script.cpp).
bool HasScript();
void RunScript(HWND window);
bool HasMessageBoxScript();
int RunMessageBoxScript(HWND owner, const char* text, const char* caption, UINT type);
// Headless typing: one UserTyped per keystroke.
bool HeadlessType(Controller* controller, HWND control, const std::string& text);

// Message boxes (select.cpp).
void UpdateMessageBoxHook();

}  // namespace mvn::dialogs
