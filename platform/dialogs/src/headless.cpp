// The headless backend: no pixels, a fixed desktop, and user input that
// comes only from a script. A shown window runs its script (or, without
// one, is cancelled) and is always closed when the call returns.
#include "platform/dialogs/src/core.h"
#include "platform/kernel/utf.h"

namespace mvn::dialogs {
namespace {

// The metrics of the platform's dialog font (8 point) on a 96 dpi screen.
constexpr int kCharWidth = 6;
constexpr int kCharHeight = 13;
constexpr RECT kDesktop{0, 0, 1024, 768};

class HeadlessBackend final : public View {
 public:
  bool Start(const char*, std::string*) override { return true; }

  BaseUnits Units(const char*, int pointSize) override {
    if (pointSize <= 0) pointSize = 8;
    return BaseUnits{(kCharWidth * pointSize + 4) / 8, (kCharHeight * pointSize + 4) / 8};
  }

  RECT Desktop() override { return kDesktop; }
  RECT WorkArea() override { return kDesktop; }

  bool RunDialog(Controller* controller, HWND dialog) override {
    controller->Shown(dialog);
    return true;
  }

  bool RunSheet(Controller* controller, HWND sheet) override {
    controller->SheetStart(sheet);
    controller->Shown(sheet);
    return true;
  }

  void Changed(Controller*, HWND, unsigned) override {}
  void PageCreated(Controller*, HWND, int) override {}
  void Ending(Controller*, HWND) override {}

  bool Type(Controller* controller, HWND control, const std::string& text) override {
    return HeadlessType(controller, control, text);
  }

  bool Click(Controller* controller, HWND control) override {
    controller->UserClicked(control);
    return true;
  }

  bool Select(Controller* controller, HWND combo, int index) override {
    if (index < 0 || index >= controller->ItemCount(combo)) return false;
    controller->UserSelected(combo, index);
    return true;
  }

  bool DropDown(Controller* controller, HWND combo) override {
    controller->UserDroppedDown(combo);
    return true;
  }

  bool SelectPage(Controller* controller, HWND sheet, int index) override {
    controller->UserSelectedPage(sheet, index);
    return controller->CurrentPage(sheet) == index;
  }

  bool Press(Controller* controller, HWND window, int button) override {
    controller->UserPressed(window, button);
    return true;
  }

  int MessageBox(HWND, const char*, const char*, UINT) override { return 0; }
};

}  // namespace

View* HeadlessView() {
  static HeadlessBackend* backend = new HeadlessBackend();
  return backend;
}

bool HeadlessType(Controller* controller, HWND control, const std::string& text) {
  // Select all, then type: the first keystroke replaces the selection.
  if (text.empty()) {
    if (!controller->Text(control).empty()) controller->UserTyped(control, std::string());
    return true;
  }
  std::string typed;
  size_t i = 0;
  while (i < text.size()) {
    size_t n = mvn::kernel::DecodeUtf8At(text, i).length;
    typed.append(text, i, n);
    i += n;
    controller->UserTyped(control, typed);
  }
  return true;
}

}  // namespace mvn::dialogs
