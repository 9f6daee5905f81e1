// Property sheets: page creation, page changes, OK / Apply / Cancel.
#include <algorithm>

#include "platform/dialogs/src/core.h"

namespace mvn::dialogs {
namespace {

// Margins of the sheet in dialog units of the first page's font.
constexpr int kMargin = 7;
constexpr int kTabHeight = 14;
constexpr int kButtonHeight = 14;

LRESULT NotifyPage(const WindowPtr& sheet, int index, UINT code, LPARAM flag) {
  HWND page = sheet->sheet->pageWindows[index];
  if (!page) return 0;
  PSHNOTIFY notify{{sheet->handle, 0, code}, flag};
  return SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
}

RECT PageRect(const WindowPtr& sheet) {
  const BaseUnits& u = sheet->units;
  int left = DialogUnitsToPixelsX(kMargin, u);
  int top = DialogUnitsToPixelsY(kMargin + kTabHeight, u);
  return RECT{left, top, left + sheet->sheet->pageCx, top + sheet->sheet->pageCy};
}

// With takeFocus (the page the sheet opens on) the focus goes to the page's
// first tab stop when its WM_INITDIALOG returns TRUE, as a dialog box's does.
void CreatePage(const WindowPtr& sheet, int index, bool takeFocus) {
  SheetState& state = *sheet->sheet;
  const DialogTemplate& t = *state.templates[index];
  auto page = std::make_shared<Window>();
  page->kind = WindowKind::Page;
  page->parent = sheet->handle;
  page->proc = state.pages[index].pfnDlgProc;
  page->text = t.caption;
  page->style = t.style;
  page->id = t.id;
  page->dialogTemplate = state.templates[index];
  page->units = sheet->view->Units(t.fontName, t.pointSize);
  page->rect = PageRect(sheet);
  page->pageIndex = index;
  HWND handle = AddWindow(page);
  state.pageWindows[index] = handle;
  sheet->children.push_back(handle);
  CreateControls(page, t);
  HWND first = FirstTabStop(page);
  LRESULT focusDefault = CallDialogProc(page, WM_INITDIALOG, reinterpret_cast<WPARAM>(first),
                                        reinterpret_cast<LPARAM>(&state.pages[index]));
  QueryControlColours(page);
  if (sheet->view) sheet->view->PageCreated(TheController(), sheet->handle, index);
  // After the backend built the page's controls, so that it shows the focus.
  if (takeFocus && focusDefault && first && IsWindow(first) && !sheet->ended) SetFocus(first);
}

// The apply round of OK and Apply. True when every created page accepted.
bool ApplyPages(const WindowPtr& sheet, bool byOk) {
  SheetState& state = *sheet->sheet;
  for (int i = 0; i < static_cast<int>(state.pages.size()); ++i) {
    if (!state.pageWindows[i]) continue;
    LRESULT result = NotifyPage(sheet, i, PSN_APPLY, byOk ? TRUE : FALSE);
    if (sheet->ended) return false;
    if (result == PSNRET_INVALID) {
      SheetActivate(sheet, i, false);
      return false;
    }
    if (result == PSNRET_INVALID_NOCHANGEPAGE) return false;
    state.applied = true;
  }
  return true;
}

int PageOf(const SheetState& state, HWND page) {
  auto it = std::find(state.pageWindows.begin(), state.pageWindows.end(), page);
  return it == state.pageWindows.end() || !page ? -1 : static_cast<int>(it - state.pageWindows.begin());
}

}  // namespace

void SheetLayout(const WindowPtr& sheet) {
  SheetState& state = *sheet->sheet;
  const DialogTemplate& first = *state.templates[0];
  sheet->units = sheet->view->Units(first.fontName, first.pointSize);
  state.pageCx = 0;
  state.pageCy = 0;
  for (const auto& t : state.templates) {
    BaseUnits u = sheet->view->Units(t->fontName, t->pointSize);
    state.pageCx = std::max(state.pageCx, DialogUnitsToPixelsX(t->cx, u));
    state.pageCy = std::max(state.pageCy, DialogUnitsToPixelsY(t->cy, u));
  }
  const BaseUnits& u = sheet->units;
  int cx = state.pageCx + 2 * DialogUnitsToPixelsX(kMargin, u);
  int cy = state.pageCy + DialogUnitsToPixelsY(3 * kMargin + kTabHeight + kButtonHeight, u);
  RECT desktop = CurrentDesktop(true);
  sheet->rect = RECT{desktop.left + 24, desktop.top + 24, desktop.left + 24 + cx, desktop.top + 24 + cy};
}

bool SheetActivate(const WindowPtr& sheet, int index, bool askCurrent) {
  SheetState& state = *sheet->sheet;
  if (sheet->ended || index < 0 || index >= static_cast<int>(state.pages.size())) return false;
  if (index == state.current) return true;
  if (askCurrent && state.current >= 0) {
    if (NotifyPage(sheet, state.current, PSN_KILLACTIVE, 0) != 0 || sheet->ended) {
      Changed(sheet, kChangePage);  // the backend shows the page that stays
      return false;
    }
  }
  if (!state.pageWindows[index]) CreatePage(sheet, index, state.current < 0);
  if (sheet->ended) return false;
  state.current = index;
  Changed(sheet, kChangePage);
  NotifyPage(sheet, index, PSN_SETACTIVE, 0);
  return true;
}

void SheetPress(const WindowPtr& sheet, int button) {
  SheetState& state = *sheet->sheet;
  if (sheet->ended) return;
  if (button == IDCANCEL) {
    for (int i = 0; i < static_cast<int>(state.pages.size()) && !sheet->ended; ++i) NotifyPage(sheet, i, PSN_RESET, 0);
    EndTopLevel(sheet, 0);
    return;
  }
  if (button != IDOK && button != ID_APPLY_NOW) return;
  if (button == ID_APPLY_NOW && !state.applyEnabled) return;
  // The current page validates first; a refusal keeps the sheet on it.
  if (state.current >= 0 && NotifyPage(sheet, state.current, PSN_KILLACTIVE, 0) != 0) return;
  if (sheet->ended) return;
  if (!ApplyPages(sheet, button == IDOK)) return;
  state.changed.clear();
  state.applyEnabled = false;
  Changed(sheet, kChangeApply);
  if (button == IDOK) EndTopLevel(sheet, 1);
}

LRESULT SheetMessage(const WindowPtr& sheet, UINT message, WPARAM wParam, LPARAM lParam) {
  SheetState& state = *sheet->sheet;
  switch (message) {
    case PSM_CHANGED: {
      HWND page = reinterpret_cast<HWND>(wParam);
      if (PageOf(state, page) < 0) return FALSE;
      state.changed.insert(page);
      if (!state.applyEnabled) {
        state.applyEnabled = true;
        Changed(sheet, kChangeApply);
      }
      return TRUE;
    }
    case PSM_UNCHANGED: {
      HWND page = reinterpret_cast<HWND>(wParam);
      if (PageOf(state, page) < 0) return FALSE;
      state.changed.erase(page);
      if (state.changed.empty() && state.applyEnabled) {
        state.applyEnabled = false;
        Changed(sheet, kChangeApply);
      }
      return TRUE;
    }
    default:
      return DefaultDialogMessage(sheet, message, wParam, lParam);
  }
}

}  // namespace mvn::dialogs
