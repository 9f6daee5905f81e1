// Scripts: what a test (or a machine without a display) does in place of a
// user. Actions go through the window's backend.
#include <memory>
#include <mutex>

#include "platform/dialogs/src/core.h"

namespace mvn::dialogs {
namespace {

std::mutex g_scriptLock;
std::shared_ptr<Script> g_script;
std::shared_ptr<MessageBoxScript> g_boxScript;

// The open top-level window of a window, with its backend.
WindowPtr OpenTopLevel(HWND window) {
  WindowPtr w = FindWindow(window);
  WindowPtr top = w ? TopLevelOf(w) : nullptr;
  if (!top || top->ended || !top->view) return nullptr;
  return top;
}

WindowPtr UsableControl(HWND control, WindowPtr* top) {
  WindowPtr w = FindWindow(control);
  if (!w || w->kind != WindowKind::Control || !w->enabled) return nullptr;
  *top = OpenTopLevel(control);
  return *top ? w : nullptr;
}

}  // namespace

bool HasScript() {
  std::lock_guard<std::mutex> lock(g_scriptLock);
  return g_script != nullptr;
}

void RunScript(HWND window) {
  std::shared_ptr<Script> script;
  {
    std::lock_guard<std::mutex> lock(g_scriptLock);
    script = g_script;
  }
  if (script && *script) (*script)(window);
}

bool HasMessageBoxScript() {
  std::lock_guard<std::mutex> lock(g_scriptLock);
  return g_boxScript != nullptr;
}

int RunMessageBoxScript(HWND owner, const char* text, const char* caption, UINT type) {
  std::shared_ptr<MessageBoxScript> script;
  {
    std::lock_guard<std::mutex> lock(g_scriptLock);
    script = g_boxScript;
  }
  return script && *script ? (*script)(owner, text ? text : "", caption ? caption : "", type) : IDCANCEL;
}

void SetScript(Script script) {
  std::lock_guard<std::mutex> lock(g_scriptLock);
  g_script = script ? std::make_shared<Script>(std::move(script)) : nullptr;
}

void SetMessageBoxScript(MessageBoxScript script) {
  {
    std::lock_guard<std::mutex> lock(g_scriptLock);
    g_boxScript = script ? std::make_shared<MessageBoxScript>(std::move(script)) : nullptr;
  }
  UpdateMessageBoxHook();
}

HWND FindControl(HWND window, int id) {
  WindowPtr w = FindWindow(window);
  if (!w) return nullptr;
  if (w->kind == WindowKind::Sheet) {
    int current = w->sheet->current;
    if (current < 0) return nullptr;
    return GetDlgItem(w->sheet->pageWindows[current], id);
  }
  return GetDlgItem(window, id);
}

bool TypeText(HWND control, const std::string& text) {
  WindowPtr top;
  WindowPtr w = UsableControl(control, &top);
  if (!w) return false;
  bool editable = (w->control == DialogControlKind::Edit && !(w->style & ES_READONLY)) ||
                  (w->control == DialogControlKind::ComboBox && (w->style & 0x3) != CBS_DROPDOWNLIST);
  if (!editable) return false;
  // Typing starts with a click into the field.
  TheController()->UserFocused(control);
  if (!UsableControl(control, &top)) return false;
  return top->view->Type(TheController(), control, text);
}

bool Click(HWND control) {
  WindowPtr top;
  WindowPtr w = UsableControl(control, &top);
  if (!w || (w->control != DialogControlKind::PushButton && w->control != DialogControlKind::CheckBox)) return false;
  // A click on a button takes the focus first, so the field that was left
  // is told before the button's command arrives.
  if (w->control == DialogControlKind::PushButton) {
    TheController()->UserFocused(control);
    if (!UsableControl(control, &top)) return false;
  }
  return top->view->Click(TheController(), control);
}

bool FocusControl(HWND control) {
  WindowPtr top;
  WindowPtr w = UsableControl(control, &top);
  if (!w) return false;
  TheController()->UserFocused(control);
  return GetFocus() == control;
}

bool SelectItem(HWND combo, int index) {
  WindowPtr top;
  WindowPtr w = UsableControl(combo, &top);
  if (!w || w->control != DialogControlKind::ComboBox) return false;
  if (index < 0 || index >= static_cast<int>(w->items.size())) return false;
  return top->view->Select(TheController(), combo, index);
}

bool DropDown(HWND combo) {
  WindowPtr top;
  WindowPtr w = UsableControl(combo, &top);
  if (!w || w->control != DialogControlKind::ComboBox) return false;
  return top->view->DropDown(TheController(), combo);
}

bool SelectPage(HWND sheet, int index) {
  WindowPtr top = OpenTopLevel(sheet);
  if (!top || top->kind != WindowKind::Sheet) return false;
  if (index < 0 || index >= static_cast<int>(top->sheet->pages.size())) return false;
  return top->view->SelectPage(TheController(), sheet, index);
}

bool PressButton(HWND window, int button) {
  WindowPtr top = OpenTopLevel(window);
  if (!top || top->handle != window) return false;
  if (top->kind == WindowKind::Sheet) {
    if (button != IDOK && button != IDCANCEL && button != ID_APPLY_NOW) return false;
    if (button == ID_APPLY_NOW && !top->sheet->applyEnabled) return false;
  } else if (HWND control = GetDlgItem(window, button)) {
    if (!IsWindowEnabled(control)) return false;
  } else if (button != IDOK && button != IDCANCEL) {
    return false;
  }
  return top->view->Press(TheController(), window, button);
}

int CurrentPage(HWND sheet) {
  WindowPtr w = FindWindow(sheet);
  return w && w->kind == WindowKind::Sheet ? w->sheet->current : -1;
}

HWND PageWindow(HWND sheet, int index) {
  WindowPtr w = FindWindow(sheet);
  if (!w || w->kind != WindowKind::Sheet || index < 0 || index >= static_cast<int>(w->sheet->pageWindows.size()))
    return nullptr;
  return w->sheet->pageWindows[index];
}

bool IsApplyEnabled(HWND sheet) {
  WindowPtr w = FindWindow(sheet);
  return w && w->kind == WindowKind::Sheet && w->sheet->applyEnabled;
}

bool GetControlColours(HWND control, COLORREF* text, COLORREF* background) {
  WindowPtr w = FindWindow(control);
  if (!w || w->kind != WindowKind::Control || !w->hasColours) return false;
  if (text) *text = w->textColour;
  if (background) *background = w->backColour;
  return true;
}

}  // namespace mvn::dialogs
