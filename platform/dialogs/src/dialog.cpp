// Dialog templates, dialog boxes, their controls and the colour messages.
#include <map>
#include <mutex>

#include "platform/dialogs/src/core.h"

namespace mvn::dialogs {
namespace {

// A registered template with storage of its own.
struct StoredTemplate {
  DialogTemplate data{};
  std::string caption;
  std::string fontName;
  std::vector<DialogControl> controls;
  std::vector<std::string> texts;
};

using TemplateKey = std::pair<HINSTANCE, WORD>;
std::mutex g_templateLock;
std::map<TemplateKey, std::shared_ptr<const StoredTemplate>>& Templates() {
  static auto* templates = new std::map<TemplateKey, std::shared_ptr<const StoredTemplate>>();
  return *templates;
}

std::shared_ptr<const StoredTemplate> Store(const DialogTemplate& source) {
  auto stored = std::make_shared<StoredTemplate>();
  stored->caption = source.caption ? source.caption : "";
  stored->fontName = source.fontName ? source.fontName : "";
  stored->texts.reserve(source.controlCount);
  stored->controls.assign(source.controls, source.controls + source.controlCount);
  for (DialogControl& c : stored->controls) stored->texts.emplace_back(c.text ? c.text : "");
  for (size_t i = 0; i < stored->controls.size(); ++i) stored->controls[i].text = stored->texts[i].c_str();
  stored->data = source;
  stored->data.caption = stored->caption.c_str();
  stored->data.fontName = stored->fontName.c_str();
  stored->data.controls = stored->controls.data();
  return stored;
}

// Colours are asked through a device context that records them.
struct DeviceContext {
  COLORREF text = RGB(0, 0, 0);
  COLORREF background = RGB(255, 255, 255);
  int mode = OPAQUE;
};
thread_local std::vector<DeviceContext*> t_contexts;

DeviceContext* FindContext(HDC dc) {
  for (DeviceContext* c : t_contexts)
    if (reinterpret_cast<HDC>(c) == dc) return c;
  return nullptr;
}

struct StockBrush {
  COLORREF colour;
  bool hollow;
};
const StockBrush kStockBrushes[] = {
    {RGB(255, 255, 255), false}, {RGB(192, 192, 192), false}, {RGB(128, 128, 128), false},
    {RGB(64, 64, 64), false},    {RGB(0, 0, 0), false},       {0, true},
};

const StockBrush* FindBrush(LRESULT value) {
  for (const StockBrush& b : kStockBrushes)
    if (reinterpret_cast<LRESULT>(&b) == value) return &b;
  return nullptr;
}

}  // namespace

std::shared_ptr<const DialogTemplate> FindTemplate(HINSTANCE instance, LPCSTR name) {
  if (!name || !IS_INTRESOURCE(name)) return nullptr;
  WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  std::lock_guard<std::mutex> lock(g_templateLock);
  auto it = Templates().find(TemplateKey(instance, id));
  if (it == Templates().end()) return nullptr;
  return std::shared_ptr<const DialogTemplate>(it->second, &it->second->data);
}

int DialogUnitsToPixelsX(int x, const BaseUnits& units) { return (x * units.cx + 2) / 4; }
int DialogUnitsToPixelsY(int y, const BaseUnits& units) { return (y * units.cy + 4) / 8; }

void CreateControls(const WindowPtr& parent, const DialogTemplate& dialogTemplate) {
  for (UINT i = 0; i < dialogTemplate.controlCount; ++i) {
    const DialogControl& c = dialogTemplate.controls[i];
    auto w = std::make_shared<Window>();
    w->kind = WindowKind::Control;
    w->parent = parent->handle;
    w->id = c.id;
    w->control = c.kind;
    w->style = c.style;
    if (c.kind != DialogControlKind::ComboBox) w->text = c.text ? c.text : "";
    int x = DialogUnitsToPixelsX(c.x, parent->units);
    int y = DialogUnitsToPixelsY(c.y, parent->units);
    w->rect = RECT{x, y, x + DialogUnitsToPixelsX(c.cx, parent->units), y + DialogUnitsToPixelsY(c.cy, parent->units)};
    w->enabled = !(c.style & WS_DISABLED);
    parent->children.push_back(AddWindow(std::move(w)));
  }
}

HWND FirstTabStop(const WindowPtr& parent) {
  for (HWND child : parent->children) {
    WindowPtr c = FindWindow(child);
    if (c && (c->style & WS_TABSTOP) && c->enabled) return child;
  }
  return nullptr;
}

void QueryControlColours(const WindowPtr& parent) {
  std::vector<HWND> children = parent->children;
  for (HWND child : children) {
    WindowPtr c = FindWindow(child);
    if (!c) continue;
    UINT message;
    if (c->control == DialogControlKind::Edit)
      message = WM_CTLCOLOREDIT;
    else if (c->control == DialogControlKind::ComboBox)
      message = (c->style & 0x3) == CBS_DROPDOWNLIST ? WM_CTLCOLORLISTBOX : WM_CTLCOLOREDIT;
    else
      continue;
    DeviceContext dc;
    t_contexts.push_back(&dc);
    LRESULT brush;
    try {
      brush = CallDialogProc(parent, message, reinterpret_cast<WPARAM>(&dc), reinterpret_cast<LPARAM>(child));
    } catch (...) {
      t_contexts.pop_back();
      throw;
    }
    t_contexts.pop_back();
    const StockBrush* b = FindBrush(brush);
    c->hasColours = brush != 0;
    c->textColour = dc.text;
    c->backColour = b && !b->hollow ? b->colour : dc.background;
    if (c->hasColours) Changed(c, kChangeColours);
  }
}

// ---------------------------------------------------------------------------
// Modal frames

namespace {
thread_local std::vector<ModalFrame*> t_frames;
}

void PushFrame(ModalFrame* frame) { t_frames.push_back(frame); }

void PopFrame(ModalFrame* frame) {
  if (!t_frames.empty() && t_frames.back() == frame) t_frames.pop_back();
}

ModalFrame* InnermostFrame() { return t_frames.empty() ? nullptr : t_frames.back(); }

void KeepException() {
  ModalFrame* frame = InnermostFrame();
  if (!frame) return;
  if (!frame->pending) frame->pending = std::current_exception();
  WindowPtr w = FindWindow(frame->window);
  if (w && !w->ended) EndTopLevel(w, -1);
}

void EndTopLevel(const WindowPtr& topLevel, INT_PTR result) {
  topLevel->result = result;
  if (topLevel->ended) return;
  topLevel->ended = true;
  if (topLevel->view) topLevel->view->Ending(TheController(), topLevel->handle);
}

void CancelTopLevel(const WindowPtr& topLevel) {
  if (topLevel->ended) return;
  if (topLevel->kind == WindowKind::Sheet) {
    SheetPress(topLevel, IDCANCEL);
  } else {
    HWND cancel = GetDlgItem(topLevel->handle, IDCANCEL);
    SendMessageA(topLevel->handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
  }
  // A procedure that ignores the cancel still must not keep the call waiting.
  if (!topLevel->ended) EndTopLevel(topLevel, topLevel->kind == WindowKind::Sheet ? 0 : IDCANCEL);
}

// Removes a shown window and its frame however the call ends.
class ShownWindow {
 public:
  explicit ShownWindow(HWND handle) { m_frame.window = handle; PushFrame(&m_frame); }
  ~ShownWindow() {
    PopFrame(&m_frame);
    RemoveWindowTree(m_frame.window);
  }
  ShownWindow(const ShownWindow&) = delete;
  ShownWindow& operator=(const ShownWindow&) = delete;
  ModalFrame& frame() { return m_frame; }

 private:
  ModalFrame m_frame;
};

RECT DefaultPosition(LONG cx, LONG cy) {
  RECT desktop = CurrentDesktop(true);
  // Where the platform puts a new window: near the top left corner.
  LONG x = desktop.left + 24;
  LONG y = desktop.top + 24;
  return RECT{x, y, x + cx, y + cy};
}

INT_PTR RunShown(ShownWindow& shown, const WindowPtr& w, bool sheet) {
  bool ok = sheet ? w->view->RunSheet(TheController(), w->handle) : w->view->RunDialog(TheController(), w->handle);
  if (!ok) {
    NoteOnce("the Qt backend cannot show windows on this thread; dialogs run headless here");
    w->view = HeadlessView();
    ok = sheet ? w->view->RunSheet(TheController(), w->handle) : w->view->RunDialog(TheController(), w->handle);
  }
  if (shown.frame().pending) std::rethrow_exception(shown.frame().pending);
  if (!ok) return -1;
  if (sheet) return w->sheet->applied ? 1 : 0;
  return w->result;
}

}  // namespace mvn::dialogs

using namespace mvn::dialogs;

BOOL RegisterDialogTemplates(HINSTANCE instance, const DialogTemplate* templates, UINT count) {
  if (count && !templates) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (UINT i = 0; i < count; ++i) {
    if (templates[i].controlCount && !templates[i].controls) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  std::vector<std::shared_ptr<const StoredTemplate>> stored;
  for (UINT i = 0; i < count; ++i) stored.push_back(Store(templates[i]));
  std::lock_guard<std::mutex> lock(g_templateLock);
  for (auto& s : stored) Templates()[TemplateKey(instance, s->data.id)] = s;
  return TRUE;
}

void UnregisterDialogTemplates(HINSTANCE instance) {
  std::lock_guard<std::mutex> lock(g_templateLock);
  for (auto it = Templates().begin(); it != Templates().end();) {
    if (it->first.first == instance)
      it = Templates().erase(it);
    else
      ++it;
  }
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC dialogProc, LPARAM initParam) {
  std::shared_ptr<const DialogTemplate> found = FindTemplate(instance, templateName);
  if (!found) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (!dialogProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto w = std::make_shared<Window>();
  w->kind = WindowKind::Dialog;
  w->parent = parent;
  w->proc = dialogProc;
  w->text = found->caption;
  w->style = found->style;
  w->id = found->id;
  w->dialogTemplate = found;
  w->view = AcquireView();
  w->units = w->view->Units(found->fontName, found->pointSize);
  w->rect = DefaultPosition(DialogUnitsToPixelsX(found->cx, w->units), DialogUnitsToPixelsY(found->cy, w->units));
  HWND handle = AddWindow(w);
  ShownWindow shown(handle);
  CreateControls(w, *found);

  HWND first = FirstTabStop(w);
  LRESULT focusDefault = CallDialogProc(w, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), initParam);
  if (focusDefault && first && IsWindow(first)) SetFocus(first);
  QueryControlColours(w);
  if (w->ended) return w->result;  // EndDialog during WM_INITDIALOG: never shown
  return RunShown(shown, w, false);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  WindowPtr w = FindWindow(dialog);
  if (!w) return FALSE;
  if (w->kind != WindowKind::Dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  EndTopLevel(w, result);
  return TRUE;
}

INT_PTR PropertySheetA(const PROPSHEETHEADERA* header) {
  if (!header || header->dwSize < sizeof(PROPSHEETHEADERA) || !(header->dwFlags & PSH_PROPSHEETPAGE) ||
      header->nPages == 0 || !header->ppsp) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto state = std::make_unique<SheetState>();
  for (UINT i = 0; i < header->nPages; ++i) {
    const PROPSHEETPAGEA& page = header->ppsp[i];
    if (page.dwSize < sizeof(PROPSHEETPAGEA) || !page.pfnDlgProc) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    std::shared_ptr<const DialogTemplate> found =
        FindTemplate(page.hInstance ? page.hInstance : header->hInstance, page.pszTemplate);
    if (!found) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return -1;
    }
    state->pages.push_back(page);
    state->templates.push_back(found);
  }
  state->pageWindows.assign(header->nPages, nullptr);
  state->start = header->nStartPage < header->nPages ? static_cast<int>(header->nStartPage) : 0;

  auto w = std::make_shared<Window>();
  w->kind = WindowKind::Sheet;
  w->parent = header->hwndParent;
  if (header->pszCaption && !IS_INTRESOURCE(header->pszCaption)) w->text = header->pszCaption;
  w->view = AcquireView();
  w->sheet = std::move(state);
  SheetLayout(w);
  HWND handle = AddWindow(w);
  ShownWindow shown(handle);
  return RunShown(shown, w, true);
}

void InitCommonControls() {}

HGDIOBJ GetStockObject(int object) {
  if (object < 0 || object >= static_cast<int>(sizeof(kStockBrushes) / sizeof(kStockBrushes[0]))) return nullptr;
  return reinterpret_cast<HGDIOBJ>(const_cast<StockBrush*>(&kStockBrushes[object]));
}

COLORREF SetTextColor(HDC dc, COLORREF colour) {
  DeviceContext* c = FindContext(dc);
  if (!c) return CLR_INVALID;
  COLORREF previous = c->text;
  c->text = colour;
  return previous;
}

COLORREF GetTextColor(HDC dc) {
  DeviceContext* c = FindContext(dc);
  return c ? c->text : CLR_INVALID;
}

COLORREF SetBkColor(HDC dc, COLORREF colour) {
  DeviceContext* c = FindContext(dc);
  if (!c) return CLR_INVALID;
  COLORREF previous = c->background;
  c->background = colour;
  return previous;
}

int SetBkMode(HDC dc, int mode) {
  DeviceContext* c = FindContext(dc);
  if (!c || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  int previous = c->mode;
  c->mode = mode;
  return previous;
}
