// The page base class, its dialog procedure and the dialog helpers.
#include "delivery/common/propertypage.h"

#include <algorithm>
#include <cstdlib>
#include <cerrno>

namespace {

// Edits draw blue text on white.
constexpr COLORREF kEditTextColour = 0xFF0000;

}  // namespace

INT_PTR CPROPERTYPAGE::OnMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool CPROPERTYPAGE::IsChange(WORD, WORD) { return false; }

bool CPROPERTYPAGE::Apply(HWND) {
  m_applied = true;
  return true;
}

bool CPROPERTYPAGE::Validate(HWND) { return true; }

INT_PTR CPROPERTYPAGE::BaseMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      m_changed = false;
      return TRUE;
    case WM_COMMAND:
      // The first change tells the sheet (Apply lights up); later ones are
      // the same change until the page is applied or left.
      if (!m_changed && IsChange(LOWORD(wParam), HIWORD(wParam))) {
        SendMessageA(GetParent(window), PSM_CHANGED, reinterpret_cast<WPARAM>(window), 0);
        m_changed = true;
      }
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (!header) return TRUE;
      if (header->code == PSN_APPLY) {
        if (Apply(window)) {
          SendMessageA(header->hwndFrom, PSM_UNCHANGED, reinterpret_cast<WPARAM>(window), 0);
          m_changed = false;
        }
      } else if (header->code == PSN_KILLACTIVE) {
        if (m_changed) {
          if (!Validate(window)) {
            SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);  // the page stays
            return TRUE;
          }
          m_changed = false;
        }
        SetWindowLongPtrA(window, DWLP_MSGRESULT, FALSE);
      }
      return TRUE;
    }
    case WM_CTLCOLOREDIT:
      SetTextColor(reinterpret_cast<HDC>(wParam), kEditTextColour);
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    default:
      return FALSE;
  }
}

INT_PTR PageDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    const auto* sheetPage = reinterpret_cast<const PROPSHEETPAGEA*>(lParam);
    auto* page = sheetPage ? reinterpret_cast<CPROPERTYPAGE*>(sheetPage->lParam) : nullptr;
    if (page) {
      page->m_window = window;
      // A page object lives on from one sheet to the next; every new page
      // window starts as a new page does, so filling its controls is no
      // change.
      page->m_changed = true;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(page));
  }
  auto* page = reinterpret_cast<CPROPERTYPAGE*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!page) return FALSE;
  if (INT_PTR handled = page->OnMessage(window, message, wParam, lParam)) return handled;
  return page->BaseMessage(window, message, wParam, lParam);
}

namespace {

// The starting program's window from the environment; false when it is not
// there or not four whole numbers of a size a screen has.
bool OwnerWindowRect(RECT* owner) {
  const char* text = std::getenv(OwnerWindowVariable);
  if (!text) return false;
  long v[4];
  const char* at = text;
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    errno = 0;
    v[i] = std::strtol(at, &end, 10);
    if (end == at || errno != 0 || v[i] < -100000 || v[i] > 100000) return false;
    if (*end != (i < 3 ? ',' : '\0')) return false;
    at = end + 1;
  }
  if (v[2] <= 0 || v[3] <= 0) return false;
  *owner = RECT{static_cast<LONG>(v[0]), static_cast<LONG>(v[1]), static_cast<LONG>(v[0] + v[2]),
                static_cast<LONG>(v[1] + v[3])};
  return true;
}

}  // namespace

void CenterWindow(HWND window) {
  RECT desktop{};
  RECT rect{};
  if (!GetWindowRect(GetDesktopWindow(), &desktop) || !GetWindowRect(window, &rect)) return;
  RECT around = desktop;
  OwnerWindowRect(&around);
  const LONG cx = rect.right - rect.left, cy = rect.bottom - rect.top;
  LONG x = (around.right + around.left - cx) / 2;
  LONG y = (around.bottom + around.top - cy) / 2;
  // On the desktop, whatever the owner's place.
  x = std::max(desktop.left, std::min(x, desktop.right - cx));
  y = std::max(desktop.top, std::min(y, desktop.bottom - cy));
  SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

DWORD GetDlgItemTextInto(HWND dialog, int control, CTEXT* text) {
  int length = GetWindowTextLengthA(GetDlgItem(dialog, control));
  if (length < 0) length = 0;
  text->Reserve(static_cast<DWORD>(length) + 1);
  if (!text->Buffer()) return 0;
  text->Empty();
  return GetDlgItemTextA(dialog, control, text->Buffer(), static_cast<int>(text->Capacity()));
}

void SetDlgItemTextFrom(HWND dialog, int control, const CTEXT* text) {
  SetDlgItemTextA(dialog, control, text->Text());
}

bool GetCheckBox(HWND dialog, int control, bool* checked) {
  *checked = SendDlgItemMessageA(dialog, control, BM_GETCHECK, 0, 0) == BST_CHECKED;
  return *checked;
}

void SetCheckBox(HWND dialog, int control, bool checked) {
  SendDlgItemMessageA(dialog, control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}
