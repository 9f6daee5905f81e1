// The window table and the calls on windows and controls.
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/dialogs/src/core.h"
#include "platform/kernel/utf.h"

namespace mvn::dialogs {
namespace {

std::mutex g_tableLock;
std::unordered_map<HWND, WindowPtr>& Table() {
  static auto* table = new std::unordered_map<HWND, WindowPtr>();
  return *table;
}
// Handles are never reused, so a stale handle cannot reach a new window.
ULONG_PTR g_nextHandle = 0x10000;

HWND const kDesktop = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x10));

thread_local HWND t_focus = nullptr;

bool IsDialogLike(const WindowPtr& w) { return w->kind == WindowKind::Dialog || w->kind == WindowKind::Page; }

bool IsDropDownList(const Window& w) {
  return w.control == DialogControlKind::ComboBox && (w.style & 0x3) == CBS_DROPDOWNLIST;
}

bool IsEditableCombo(const Window& w) {
  return w.control == DialogControlKind::ComboBox && (w.style & 0x3) != CBS_DROPDOWNLIST;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const char* b, bool prefixOnly) {
  size_t n = std::strlen(b);
  if (prefixOnly ? a.size() < n : a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

// Searches the list after index start (from the top for -1), wrapping round.
LRESULT FindItem(const Window& w, WPARAM start, LPARAM text, bool prefixOnly) {
  if (!text) return CB_ERR;
  const char* wanted = reinterpret_cast<const char*>(text);
  int count = static_cast<int>(w.items.size());
  int from = static_cast<int>(static_cast<INT_PTR>(start));
  if (from < -1 || from >= count) from = -1;
  for (int step = 1; step <= count; ++step) {
    int i = (from + step) % count;
    if (EqualNoCase(w.items[i], wanted, prefixOnly)) return i;
  }
  return CB_ERR;
}

// The text a control shows: a drop-down list shows its selected item.
std::string ControlText(const Window& w) {
  if (IsDropDownList(w)) return w.selection >= 0 ? w.items[w.selection] : std::string();
  return w.text;
}

void SetSelection(const WindowPtr& w, int index) {
  w->selection = index;
  if (IsEditableCombo(*w)) w->text = index >= 0 ? w->items[index] : std::string();
  Changed(w, kChangeSelection | kChangeText);
}

LRESULT ControlMessage(const WindowPtr& w, UINT message, WPARAM wParam, LPARAM lParam) {
  const char* textArg = reinterpret_cast<const char*>(lParam);
  switch (message) {
    case WM_SETTEXT: {
      std::string text = textArg ? textArg : "";
      if (IsDropDownList(*w)) {
        // A drop-down list can only show one of its items.
        LRESULT found = FindItem(*w, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()), false);
        if (found == CB_ERR) return CB_ERR;
        SetSelection(w, static_cast<int>(found));
        return TRUE;
      }
      w->text = std::move(text);
      Changed(w, kChangeText);
      if (w->control == DialogControlKind::Edit) NotifyParent(w, EN_CHANGE);
      return TRUE;
    }
    case WM_GETTEXT:
      return CopyText(ControlText(*w), reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(ControlText(*w).size());
    case BM_GETCHECK:
      return w->control == DialogControlKind::CheckBox ? w->check : BST_UNCHECKED;
    case BM_SETCHECK:
      if (w->control == DialogControlKind::CheckBox) {
        w->check = wParam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
        Changed(w, kChangeCheck);
      }
      return 0;
    case BM_CLICK:
      if (w->enabled && (w->control == DialogControlKind::CheckBox || w->control == DialogControlKind::PushButton)) {
        if (w->control == DialogControlKind::CheckBox) {
          w->check = w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
          Changed(w, kChangeCheck);
        }
        NotifyParent(w, BN_CLICKED);
      }
      return 0;
    case EM_LIMITTEXT:
      if (w->control == DialogControlKind::Edit || IsEditableCombo(*w)) {
        w->limit = static_cast<UINT>(wParam);
        Changed(w, kChangeLimit);
      }
      return 0;
    case EM_GETLIMITTEXT:
      return w->limit ? w->limit : 0x7FFFFFFE;
    default:
      break;
  }
  if (w->control != DialogControlKind::ComboBox) return 0;
  int count = static_cast<int>(w->items.size());
  int index = static_cast<int>(static_cast<INT_PTR>(wParam));
  switch (message) {
    case CB_ADDSTRING:
      w->items.emplace_back(textArg ? textArg : "");
      Changed(w, kChangeItems);
      return count;
    case CB_INSERTSTRING:
      if (index == -1) index = count;
      if (index < 0 || index > count) return CB_ERR;
      w->items.insert(w->items.begin() + index, textArg ? textArg : "");
      if (w->selection >= index) ++w->selection;
      Changed(w, kChangeItems | kChangeSelection);
      return index;
    case CB_DELETESTRING:
      if (index < 0 || index >= count) return CB_ERR;
      w->items.erase(w->items.begin() + index);
      if (w->selection == index)
        w->selection = -1;
      else if (w->selection > index)
        --w->selection;
      Changed(w, kChangeItems | kChangeSelection);
      return count - 1;
    case CB_GETCOUNT:
      return count;
    case CB_GETCURSEL:
      return w->selection >= 0 ? w->selection : CB_ERR;
    case CB_SETCURSEL:
      if (index < 0 || index >= count) {
        SetSelection(w, -1);
        return CB_ERR;
      }
      SetSelection(w, index);
      return index;
    case CB_GETLBTEXT: {
      // The caller sizes the buffer with CB_GETLBTEXTLEN, as on the platform.
      if (index < 0 || index >= count || !lParam) return CB_ERR;
      const std::string& item = w->items[index];
      std::memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
      return static_cast<LRESULT>(item.size());
    }
    case CB_GETLBTEXTLEN:
      if (index < 0 || index >= count) return CB_ERR;
      return static_cast<LRESULT>(w->items[index].size());
    case CB_RESETCONTENT:
      w->items.clear();
      w->selection = -1;
      w->text.clear();
      Changed(w, kChangeItems | kChangeSelection | kChangeText);
      return 0;
    case CB_FINDSTRINGEXACT:
      return FindItem(*w, wParam, lParam, false);
    case CB_FINDSTRING:
      return FindItem(*w, wParam, lParam, true);
    case CB_SELECTSTRING: {
      LRESULT found = FindItem(*w, wParam, lParam, true);
      if (found != CB_ERR) SetSelection(w, static_cast<int>(found));
      return found;
    }
    default:
      return 0;
  }
}

bool ReturnsProcResult(UINT message) {
  return message == WM_INITDIALOG || message == WM_CTLCOLOREDIT || message == WM_CTLCOLORLISTBOX;
}

LRESULT DispatchToDialog(const WindowPtr& w, UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = false;
  if (!w->proc) return 0;
  // A nested message must not clobber the result of the one being handled.
  LONG_PTR outer = w->msgResult;
  w->msgResult = 0;
  INT_PTR returned;
  try {
    returned = w->proc(w->handle, message, wParam, lParam);
  } catch (...) {
    w->msgResult = outer;
    throw;
  }
  LONG_PTR result = w->msgResult;
  w->msgResult = outer;
  *handled = returned != 0;
  if (ReturnsProcResult(message)) return returned;
  return returned ? result : 0;
}

}  // namespace

LRESULT DefaultDialogMessage(const WindowPtr& w, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTEXT:
      w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
      Changed(w, kChangeText);
      return TRUE;
    case WM_GETTEXT:
      return CopyText(w->text, reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w->text.size());
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Table

HWND AddWindow(WindowPtr window) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  HWND handle = reinterpret_cast<HWND>(g_nextHandle);
  g_nextHandle += 0x10;
  window->handle = handle;
  Table().emplace(handle, std::move(window));
  return handle;
}

WindowPtr FindWindow(HWND handle) {
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = Table().find(handle);
    if (it != Table().end()) return it->second;
  }
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return nullptr;
}

void RemoveWindowTree(HWND handle) {
  WindowPtr w = FindWindow(handle);
  if (!w) return;
  if (IsDialogLike(w)) {
    try {
      CallDialogProc(w, WM_DESTROY, 0, 0);
    } catch (...) {
      // The window goes anyway; the exception of the call that showed it
      // (if any) is the one that matters.
    }
  }
  std::vector<HWND> children = w->children;
  for (HWND child : children) RemoveWindowTree(child);
  if (t_focus == handle) t_focus = nullptr;
  std::lock_guard<std::mutex> lock(g_tableLock);
  Table().erase(handle);
}

WindowPtr TopLevelOf(const WindowPtr& window) {
  WindowPtr w = window;
  while (w && (w->kind == WindowKind::Control || w->kind == WindowKind::Page)) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = Table().find(w->parent);
    w = it == Table().end() ? nullptr : it->second;
  }
  return w;
}

void Changed(const WindowPtr& window, unsigned what) {
  WindowPtr top = TopLevelOf(window);
  if (top && top->view) top->view->Changed(TheController(), window->handle, what);
}

void NotifyParent(const WindowPtr& control, WORD code) {
  WindowPtr parent = FindWindow(control->parent);
  if (!parent || !IsDialogLike(parent)) return;
  SendMessageA(parent->handle, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(control->id), code),
               reinterpret_cast<LPARAM>(control->handle));
}

LRESULT CallDialogProc(const WindowPtr& window, UINT message, WPARAM wParam, LPARAM lParam) {
  bool handled;
  return DispatchToDialog(window, message, wParam, lParam, &handled);
}

// ---------------------------------------------------------------------------
// Text helpers

size_t Utf8Cut(const std::string& text, size_t maxBytes) { return mvn::kernel::Utf8CutPoint(text, maxBytes); }

int CopyText(const std::string& text, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  size_t n = Utf8Cut(text, static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

}  // namespace mvn::dialogs

using namespace mvn::dialogs;

// ---------------------------------------------------------------------------
// The calls

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowPtr w = FindWindow(window);
  if (!w) return 0;
  switch (w->kind) {
    case WindowKind::Control:
      return ControlMessage(w, message, wParam, lParam);
    case WindowKind::Sheet:
      return SheetMessage(w, message, wParam, lParam);
    case WindowKind::Dialog:
    case WindowKind::Page: {
      bool handled;
      LRESULT result = DispatchToDialog(w, message, wParam, lParam, &handled);
      if (handled) return result;
      return DefaultDialogMessage(w, message, wParam, lParam);
    }
  }
  return 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SendMessageA(control, message, wParam, lParam) : 0;
}

HWND GetDlgItem(HWND dialog, int id) {
  WindowPtr w = FindWindow(dialog);
  if (!w) return nullptr;
  for (HWND child : w->children) {
    WindowPtr c = FindWindow(child);
    if (c && c->kind == WindowKind::Control && c->id == id) return child;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int GetDlgCtrlID(HWND control) {
  WindowPtr w = FindWindow(control);
  return w && w->kind == WindowKind::Control ? w->id : 0;
}

HWND GetParent(HWND window) {
  WindowPtr w = FindWindow(window);
  return w ? w->parent : nullptr;
}

BOOL IsWindow(HWND window) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  return Table().count(window) ? TRUE : FALSE;
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
  WindowPtr w = FindWindow(window);
  if (!w) return 0;
  switch (index) {
    case GWLP_USERDATA:
      return w->userData;
    case GWL_STYLE:
      return static_cast<LONG_PTR>(w->style);
    case GWLP_ID:
      return w->id;
    default:
      break;
  }
  if (IsDialogLike(w)) {
    if (index == DWLP_MSGRESULT) return w->msgResult;
    if (index == DWLP_DLGPROC) return reinterpret_cast<LONG_PTR>(w->proc);
    if (index == DWLP_USER) return w->dialogUser;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  WindowPtr w = FindWindow(window);
  if (!w) return 0;
  LONG_PTR previous;
  switch (index) {
    case GWLP_USERDATA:
      previous = w->userData;
      w->userData = value;
      break;
    case GWL_STYLE:
      previous = static_cast<LONG_PTR>(w->style);
      w->style = static_cast<DWORD>(value);
      break;
    case GWLP_ID:
      previous = w->id;
      w->id = static_cast<int>(value);
      break;
    default:
      if (IsDialogLike(w) && index == DWLP_MSGRESULT) {
        previous = w->msgResult;
        w->msgResult = value;
      } else if (IsDialogLike(w) && index == DWLP_DLGPROC) {
        previous = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<DLGPROC>(value);
      } else if (IsDialogLike(w) && index == DWLP_USER) {
        previous = w->dialogUser;
        w->dialogUser = value;
      } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
  }
  SetLastError(ERROR_SUCCESS);
  return previous;
}

LONG GetWindowLongA(HWND window, int index) { return static_cast<LONG>(GetWindowLongPtrA(window, index)); }

LONG SetWindowLongA(HWND window, int index, LONG value) {
  return static_cast<LONG>(SetWindowLongPtrA(window, index, value));
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
  if (!FindWindow(window)) return FALSE;
  return SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) == TRUE ? TRUE : FALSE;
}

int GetWindowTextA(HWND window, LPSTR buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!FindWindow(window)) return 0;
  return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthA(HWND window) {
  if (!FindWindow(window)) return 0;
  return static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SetWindowTextA(control, text) : FALSE;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  HWND control = GetDlgItem(dialog, id);
  return control ? static_cast<UINT>(GetWindowTextA(control, buffer, size)) : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND control = GetDlgItem(dialog, id);
  if (!control) return FALSE;
  SendMessageA(control, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? static_cast<UINT>(SendMessageA(control, BM_GETCHECK, 0, 0)) : BST_UNCHECKED;
}

HWND SetFocus(HWND window) {
  HWND previous = GetFocus();
  if (!window) {
    t_focus = nullptr;
    return previous;
  }
  WindowPtr w = FindWindow(window);
  if (!w) return nullptr;
  WindowPtr top = TopLevelOf(w);
  if (top) {
    top->focus = window;
    t_focus = window;
    Changed(top, kChangeFocus);
  }
  // The edit that was left tells its dialog; a procedure that puts the focus
  // back while it handles that gets no second notice, so two invalid fields
  // never hand the focus to each other for ever.
  static thread_local bool t_inKillFocus = false;
  if (previous && previous != window && !t_inKillFocus) {
    WindowPtr left = FindWindow(previous);
    if (left && left->kind == WindowKind::Control && left->control == DialogControlKind::Edit) {
      t_inKillFocus = true;
      NotifyParent(left, EN_KILLFOCUS);
      t_inKillFocus = false;
    }
  }
  return previous;
}

HWND GetFocus() {
  if (t_focus && !IsWindow(t_focus)) t_focus = nullptr;
  return t_focus;
}

BOOL EnableWindow(HWND window, BOOL enable) {
  WindowPtr w = FindWindow(window);
  if (!w) return FALSE;
  BOOL wasDisabled = w->enabled ? FALSE : TRUE;
  w->enabled = enable != FALSE;
  if (w->enabled == (wasDisabled != FALSE)) Changed(w, kChangeEnabled);
  return wasDisabled;
}

BOOL IsWindowEnabled(HWND window) {
  WindowPtr w = FindWindow(window);
  return w && w->enabled ? TRUE : FALSE;
}

BOOL SetForegroundWindow(HWND window) {
  WindowPtr w = FindWindow(window);
  return w && (w->kind == WindowKind::Dialog || w->kind == WindowKind::Sheet) ? TRUE : FALSE;
}

HWND GetDesktopWindow() { return kDesktop; }

BOOL GetWindowRect(HWND window, LPRECT rect) {
  if (!rect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (window == kDesktop) {
    *rect = CurrentDesktop(false);
    return TRUE;
  }
  WindowPtr w = FindWindow(window);
  if (!w) return FALSE;
  RECT r = w->rect;
  for (WindowPtr p = w; p->kind == WindowKind::Control || p->kind == WindowKind::Page;) {
    p = FindWindow(p->parent);
    if (!p) return FALSE;
    r.left += p->rect.left;
    r.right += p->rect.left;
    r.top += p->rect.top;
    r.bottom += p->rect.top;
  }
  *rect = r;
  return TRUE;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
  RECT r;
  if (!GetWindowRect(window, &r)) return FALSE;
  *rect = RECT{0, 0, r.right - r.left, r.bottom - r.top};
  return TRUE;
}

BOOL SetWindowPos(HWND window, HWND, int x, int y, int cx, int cy, UINT flags) {
  WindowPtr w = FindWindow(window);
  if (!w) return FALSE;
  LONG width = w->rect.right - w->rect.left;
  LONG height = w->rect.bottom - w->rect.top;
  if (!(flags & SWP_NOMOVE)) {
    w->rect.left = x;
    w->rect.top = y;
  }
  if (!(flags & SWP_NOSIZE)) {
    width = cx < 0 ? 0 : cx;
    height = cy < 0 ? 0 : cy;
  }
  w->rect.right = w->rect.left + width;
  w->rect.bottom = w->rect.top + height;
  Changed(w, kChangeGeometry);
  return TRUE;
}

BOOL SystemParametersInfoA(UINT action, UINT, void* value, UINT) {
  if (action != SPI_GETWORKAREA || !value) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *static_cast<RECT*>(value) = CurrentDesktop(true);
  return TRUE;
}
