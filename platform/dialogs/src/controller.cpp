// The controller the backends call: window state for rendering, and user
// input turned into the notifications the dialog procedures expect.
#include "platform/dialogs/src/core.h"

namespace mvn::dialogs {
namespace {

// Runs a step that may call dialog procedures; an exception is kept for the
// call that showed the window and ends that window, so it never unwinds
// through a backend's event loop.
template <class F>
void Guarded(F&& step) {
  try {
    step();
  } catch (...) {
    KeepException();
  }
}

bool IsEditable(const Window& w) {
  return (w.control == DialogControlKind::Edit && !(w.style & ES_READONLY)) ||
         (w.control == DialogControlKind::ComboBox && (w.style & 0x3) != CBS_DROPDOWNLIST);
}

bool Open(const WindowPtr& w) {
  WindowPtr top = w ? TopLevelOf(w) : nullptr;
  return top && !top->ended;
}

class CoreController final : public Controller {
 public:
  int ChildCount(HWND window) override {
    WindowPtr w = FindWindow(window);
    return w ? static_cast<int>(w->children.size()) : 0;
  }

  HWND ChildAt(HWND window, int index) override {
    WindowPtr w = FindWindow(window);
    if (!w || index < 0 || index >= static_cast<int>(w->children.size())) return nullptr;
    return w->children[index];
  }

  bool Control(HWND control, ControlInfo* info) override {
    WindowPtr w = FindWindow(control);
    if (!w || w->kind != WindowKind::Control) return false;
    *info = ControlInfo{w->id,      w->control,    w->style,      w->rect,      w->enabled, w->check,
                        w->limit,   w->hasColours, w->textColour, w->backColour};
    return true;
  }

  std::string Text(HWND window) override {
    WindowPtr w = FindWindow(window);
    if (!w) return std::string();
    if (w->kind == WindowKind::Control && w->control == DialogControlKind::ComboBox &&
        (w->style & 0x3) == CBS_DROPDOWNLIST)
      return w->selection >= 0 ? w->items[w->selection] : std::string();
    return w->text;
  }

  int ItemCount(HWND combo) override {
    WindowPtr w = FindWindow(combo);
    return w ? static_cast<int>(w->items.size()) : 0;
  }

  std::string Item(HWND combo, int index) override {
    WindowPtr w = FindWindow(combo);
    if (!w || index < 0 || index >= static_cast<int>(w->items.size())) return std::string();
    return w->items[index];
  }

  int Selection(HWND combo) override {
    WindowPtr w = FindWindow(combo);
    return w ? w->selection : -1;
  }

  RECT Rect(HWND topLevel) override {
    WindowPtr w = FindWindow(topLevel);
    return w ? w->rect : RECT{};
  }

  HWND Focus(HWND topLevel) override {
    WindowPtr w = FindWindow(topLevel);
    return w ? w->focus : nullptr;
  }

  int TemplateId(HWND dialogOrPage) override {
    WindowPtr w = FindWindow(dialogOrPage);
    return w && w->dialogTemplate ? w->dialogTemplate->id : 0;
  }

  void Font(HWND dialogOrPage, std::string* name, int* pointSize) override {
    WindowPtr w = FindWindow(dialogOrPage);
    if (w && w->kind == WindowKind::Sheet) w = FindWindow(w->sheet->pageWindows.empty() ? nullptr : w->sheet->pageWindows[0]);
    const DialogTemplate* t = w && w->dialogTemplate ? w->dialogTemplate.get() : nullptr;
    *name = t && t->fontName ? t->fontName : "";
    *pointSize = t ? t->pointSize : 8;
  }

  int PageCount(HWND sheet) override {
    WindowPtr w = Sheet(sheet);
    return w ? static_cast<int>(w->sheet->pages.size()) : 0;
  }

  std::string PageTitle(HWND sheet, int index) override {
    WindowPtr w = Sheet(sheet);
    if (!w || index < 0 || index >= static_cast<int>(w->sheet->templates.size())) return std::string();
    return w->sheet->templates[index]->caption;
  }

  HWND Page(HWND sheet, int index) override {
    WindowPtr w = Sheet(sheet);
    if (!w || index < 0 || index >= static_cast<int>(w->sheet->pageWindows.size())) return nullptr;
    return w->sheet->pageWindows[index];
  }

  int CurrentPage(HWND sheet) override {
    WindowPtr w = Sheet(sheet);
    return w ? w->sheet->current : -1;
  }

  bool ApplyEnabled(HWND sheet) override {
    WindowPtr w = Sheet(sheet);
    return w && w->sheet->applyEnabled;
  }

  void PageAreaSize(HWND sheet, int* cx, int* cy) override {
    WindowPtr w = Sheet(sheet);
    *cx = w ? w->sheet->pageCx : 0;
    *cy = w ? w->sheet->pageCy : 0;
  }

  void SheetSized(HWND sheet, int cx, int cy) override {
    WindowPtr w = Sheet(sheet);
    if (!w) return;
    w->rect.right = w->rect.left + cx;
    w->rect.bottom = w->rect.top + cy;
  }

  void SheetStart(HWND sheet) override {
    WindowPtr w = Sheet(sheet);
    if (!w) return;
    Guarded([&] { SheetActivate(w, w->sheet->start, false); });
  }

  void Shown(HWND topLevel) override {
    WindowPtr w = FindWindow(topLevel);
    if (!w || w->ended) return;
    Guarded([&] {
      if (HasScript()) {
        RunScript(topLevel);
      } else if (w->view != HeadlessView()) {
        return;  // a user works the window
      } else {
        ShowWithoutScriptNote(w);
      }
      CancelTopLevel(w);
    });
  }

  bool Ended(HWND topLevel) override {
    WindowPtr w = FindWindow(topLevel);
    return !w || w->ended;
  }

  void UserTyped(HWND control, const std::string& text) override {
    WindowPtr w = FindWindow(control);
    if (!w || w->kind != WindowKind::Control || !IsEditable(*w) || !w->enabled || !Open(w)) return;
    if (w->limit && text.size() > w->limit) {
      // The keystroke is refused; the backend shows the text as it was.
      Changed(w, kChangeText);
      return;
    }
    w->text = text;
    Changed(w, kChangeText);
    Guarded([&] { NotifyParent(w, w->control == DialogControlKind::Edit ? EN_CHANGE : CBN_EDITCHANGE); });
  }

  void UserClicked(HWND control) override {
    WindowPtr w = FindWindow(control);
    if (!w || w->kind != WindowKind::Control || !w->enabled || !Open(w)) return;
    if (w->control == DialogControlKind::CheckBox) {
      w->check = w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      Changed(w, kChangeCheck);
    } else if (w->control != DialogControlKind::PushButton) {
      return;
    }
    Guarded([&] { NotifyParent(w, BN_CLICKED); });
  }

  void UserSelected(HWND combo, int index) override {
    WindowPtr w = FindWindow(combo);
    if (!w || w->control != DialogControlKind::ComboBox || !w->enabled || !Open(w)) return;
    if (index < 0 || index >= static_cast<int>(w->items.size())) return;
    w->selection = index;
    if ((w->style & 0x3) != CBS_DROPDOWNLIST) w->text = w->items[index];
    Changed(w, kChangeSelection | kChangeText);
    Guarded([&] { NotifyParent(w, CBN_SELCHANGE); });
  }

  void UserDroppedDown(HWND combo) override {
    WindowPtr w = FindWindow(combo);
    if (!w || w->control != DialogControlKind::ComboBox || !w->enabled || !Open(w)) return;
    Guarded([&] { NotifyParent(w, CBN_DROPDOWN); });
  }

  void UserFocused(HWND control) override {
    WindowPtr w = FindWindow(control);
    if (!w || w->kind != WindowKind::Control || !w->enabled || !Open(w) || GetFocus() == control) return;
    Guarded([&] { SetFocus(control); });
  }

  void UserClosed(HWND topLevel) override {
    WindowPtr w = FindWindow(topLevel);
    if (!w || w->ended) return;
    Guarded([&] {
      if (w->kind == WindowKind::Sheet) {
        SheetPress(w, IDCANCEL);
      } else {
        HWND cancel = GetDlgItem(topLevel, IDCANCEL);
        SendMessageA(topLevel, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
      }
    });
  }

  void UserSelectedPage(HWND sheet, int index) override {
    WindowPtr w = Sheet(sheet);
    if (!w || w->ended) return;
    Guarded([&] { SheetActivate(w, index, true); });
  }

  void UserPressed(HWND window, int button) override {
    WindowPtr w = FindWindow(window);
    if (!w || w->ended) return;
    if (w->kind == WindowKind::Sheet) {
      Guarded([&] { SheetPress(w, button); });
      return;
    }
    if (HWND control = GetDlgItem(window, button)) {
      UserClicked(control);
    } else if (button == IDOK || button == IDCANCEL) {
      // Enter and Escape send these commands even without such a button.
      Guarded([&] { SendMessageA(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(button), BN_CLICKED), 0); });
    }
  }

 private:
  static WindowPtr Sheet(HWND sheet) {
    WindowPtr w = FindWindow(sheet);
    return w && w->kind == WindowKind::Sheet ? w : nullptr;
  }
};

}  // namespace

Controller* TheController() {
  static CoreController* controller = new CoreController();
  return controller;
}

}  // namespace mvn::dialogs
