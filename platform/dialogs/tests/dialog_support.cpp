#include "platform/dialogs/tests/dialog_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>

namespace dialogtest {
namespace {

constexpr DWORD kEdit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

const DialogControl kIdentityControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 198, 98, 0},
    {IDC_STATIC, DialogControlKind::Static, "Your Name :", 14, 18, 60, 8, 0},
    {kName, DialogControlKind::Edit, "", 80, 16, 118, 14, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "Email Address :", 14, 38, 60, 8, 0},
    {kEmail, DialogControlKind::Edit, "", 80, 36, 118, 14, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "Identity Token :", 14, 58, 60, 8, 0},
    {kToken, DialogControlKind::Edit, "", 80, 56, 118, 14, kEdit},
    {kKeepFiles, DialogControlKind::CheckBox, "Keep Files :", 14, 80, 76, 10, WS_TABSTOP | BS_LEFTTEXT},
};

const DialogControl kOptionsControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 198, 98, 0},
    {IDC_STATIC, DialogControlKind::Static, "Output Location :", 14, 18, 60, 8, 0},
    {kLocation, DialogControlKind::Edit, "", 80, 16, 118, 14, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "Logon Profile :", 14, 40, 60, 8, 0},
    {kProfile, DialogControlKind::ComboBox, "", 80, 38, 118, 60, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDC_STATIC, DialogControlKind::Static, "Transport :", 14, 62, 60, 8, 0},
    {kTransport, DialogControlKind::ComboBox, "", 80, 60, 118, 60, CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP},
};

const DialogControl kConfigurePortControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 248, 105, 0},
    {IDC_STATIC, DialogControlKind::Static, "Output Directory :", 14, 22, 60, 8, 0},
    {kOutputDir, DialogControlKind::Edit, "", 90, 20, 158, 15, kEdit | ES_OEMCONVERT},
    {IDC_STATIC, DialogControlKind::Static, "External Application :", 14, 44, 67, 8, 0},
    {kExternalApp, DialogControlKind::Edit, "", 90, 42, 158, 15, kEdit | ES_OEMCONVERT},
    {IDC_STATIC, DialogControlKind::Static, "Startup Directory :", 14, 66, 67, 8, 0},
    {kStartupDir, DialogControlKind::Edit, "", 90, 63, 158, 15, kEdit | ES_OEMCONVERT},
    {kLaunchAfter, DialogControlKind::CheckBox, "Launch after file printed", 14, 91, 99, 10, WS_TABSTOP},
    {kSetupApp, DialogControlKind::PushButton, "Setup External Application ....", 128, 89, 120, 14, WS_TABSTOP},
    {IDOK, DialogControlKind::PushButton, "OK", 128, 114, 50, 14, WS_TABSTOP | BS_DEFPUSHBUTTON},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 198, 114, 50, 14, WS_TABSTOP},
};

const DialogControl kNewPortControls[] = {
    {IDC_STATIC, DialogControlKind::Static, "New Port :", 7, 7, 41, 8, 0},
    {kPortList, DialogControlKind::ComboBox, "", 57, 7, 48, 49, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDOK, DialogControlKind::PushButton, "OK", 123, 7, 50, 14, WS_TABSTOP | BS_DEFPUSHBUTTON},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 123, 24, 50, 14, WS_TABSTOP},
};

template <size_t N>
constexpr UINT Count(const DialogControl (&)[N]) {
  return static_cast<UINT>(N);
}

const DWORD kDialogStyle = DS_MODALFRAME | WS_CAPTION | WS_SYSMENU;

const DialogTemplate kTemplates[] = {
    {kIdentityPage, "Your Identity", 212, 108, "MS Sans Serif", 8, 0, kIdentityControls, Count(kIdentityControls)},
    {kOptionsPage, "Local Delivery Options", 212, 108, "MS Sans Serif", 8, 0, kOptionsControls,
     Count(kOptionsControls)},
    {kConfigurePort, "Configure Port", 262, 135, "MS Sans Serif", 8, kDialogStyle, kConfigurePortControls,
     Count(kConfigurePortControls)},
    {kNewPort, "New Morvane Port", 180, 46, "MS Sans Serif", 8, kDialogStyle, kNewPortControls,
     Count(kNewPortControls)},
};

int g_instance;

}  // namespace

HINSTANCE Instance() { return &g_instance; }

void RegisterTemplates() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterDialogTemplates(Instance(), kTemplates, sizeof(kTemplates) / sizeof(kTemplates[0])); });
}

Environment& Environment::Set(const char* name, const char* value) {
  const char* old = std::getenv(name);
  m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  setenv(name, value, 1);
  return *this;
}

Environment& Environment::Unset(const char* name) {
  const char* old = std::getenv(name);
  m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  unsetenv(name);
  return *this;
}

Environment::~Environment() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
    if (it->second)
      setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      unsetenv(it->first.c_str());
  }
}

std::vector<std::string>& Log() {
  static std::vector<std::string> log;
  return log;
}

size_t CountLog(const std::string& entry) { return static_cast<size_t>(std::count(Log().begin(), Log().end(), entry)); }

INT_PTR PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* sheetPage = reinterpret_cast<PROPSHEETPAGEA*>(lParam);
    auto* page = reinterpret_cast<Page*>(sheetPage->lParam);
    page->window = window;
    page->initParam = sheetPage->lParam;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(page));
  }
  auto* page = reinterpret_cast<Page*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!page) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      Log().push_back(page->name + " init");
      if (page->onInit) page->onInit(window);
      page->changed = false;
      return TRUE;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      int code = HIWORD(wParam);
      Log().push_back(page->name + " command " + std::to_string(id) + " " + std::to_string(code));
      bool counts = std::find(page->changeControls.begin(), page->changeControls.end(), id) != page->changeControls.end() &&
                    (code == EN_CHANGE || code == BN_CLICKED || code == CBN_SELCHANGE || code == CBN_EDITCHANGE);
      if (!page->changed && counts) {
        SendMessageA(GetParent(window), PSM_CHANGED, reinterpret_cast<WPARAM>(window), 0);
        page->changed = true;
        Log().push_back(page->name + " changed");
      }
      return TRUE;
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      page->notifiedBy = header->hwndFrom;
      switch (header->code) {
        case PSN_APPLY:
          Log().push_back(page->name + " apply");
          if (page->applyResult != PSNRET_NOERROR) {
            SetWindowLongPtrA(window, DWLP_MSGRESULT, page->applyResult);
            return TRUE;
          }
          if (page->onApply) page->onApply(window);
          page->applied = true;
          SendMessageA(header->hwndFrom, PSM_UNCHANGED, reinterpret_cast<WPARAM>(window), 0);
          page->changed = false;
          break;
        case PSN_KILLACTIVE:
          Log().push_back(page->name + " killactive");
          if (page->changed) {
            if (page->refuse) {
              SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
              return TRUE;
            }
            page->changed = false;
          }
          SetWindowLongPtrA(window, DWLP_MSGRESULT, FALSE);
          break;
        case PSN_SETACTIVE:
          Log().push_back(page->name + " setactive");
          break;
        case PSN_RESET:
          Log().push_back(page->name + " reset");
          break;
        default:
          break;
      }
      return TRUE;
    }
    case WM_CTLCOLOREDIT:
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 255));
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_DESTROY:
      Log().push_back(page->name + " destroy");
      return FALSE;
    default:
      return FALSE;
  }
}

Sheet::Sheet(Page* first, Page* second, const char* caption, UINT start) {
  pages[0] = PROPSHEETPAGEA{sizeof(PROPSHEETPAGEA), PSP_DEFAULT, Instance(), MAKEINTRESOURCEA(kIdentityPage), &PageProc,
                            reinterpret_cast<LPARAM>(first)};
  pages[1] = PROPSHEETPAGEA{sizeof(PROPSHEETPAGEA), PSP_DEFAULT, Instance(), MAKEINTRESOURCEA(kOptionsPage), &PageProc,
                            reinterpret_cast<LPARAM>(second)};
  header = PROPSHEETHEADERA{sizeof(PROPSHEETHEADERA), PSH_PROPSHEETPAGE, nullptr, Instance(), caption, 2, start, pages};
}

std::string Text(HWND dialog, int id) {
  char buffer[512];
  GetDlgItemTextA(dialog, id, buffer, sizeof(buffer));
  return buffer;
}

namespace {
bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

INT_PTR ConfigurePortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* port = reinterpret_cast<PortSettings*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
  switch (message) {
    case WM_INITDIALOG:
      port = reinterpret_cast<PortSettings*>(lParam);
      SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
      SetWindowTextA(dialog, "Configure MVN1");
      SendDlgItemMessageA(dialog, kOutputDir, EM_LIMITTEXT, 260, 0);
      SetDlgItemTextA(dialog, kOutputDir, port->output.c_str());
      if (!port->focusOutput) return TRUE;
      SetFocus(GetDlgItem(dialog, kOutputDir));
      return FALSE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        std::string output = Text(dialog, kOutputDir);
        if (!output.empty() && !IsDirectory(output)) {
          std::string text = "Unable to access [" + output + "]";
          MessageBoxA(dialog, text.c_str(), "Invalid Field", MB_ICONERROR);
          ++port->boxes;
          SetFocus(GetDlgItem(dialog, kOutputDir));
          return TRUE;
        }
        port->saved = output;
        EndDialog(dialog, 1);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CTLCOLOREDIT:
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 127));
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    default:
      return FALSE;
  }
}

namespace {
Proc g_proc;

INT_PTR Forward(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_proc) {
    if (INT_PTR result = g_proc(window, message, wParam, lParam)) return result;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}
}  // namespace

// Installs a script and a procedure for one call, also when it throws.
class Scope {
 public:
  Scope(Proc proc, mvn::dialogs::Script script) : m_saved(std::move(g_proc)) {
    g_proc = std::move(proc);
    mvn::dialogs::SetScript(std::move(script));
  }
  ~Scope() {
    mvn::dialogs::SetScript(nullptr);
    g_proc = std::move(m_saved);
  }

 private:
  Proc m_saved;
};

INT_PTR ShowDialog(WORD templateId, Proc proc, mvn::dialogs::Script script, LPARAM initParam) {
  Scope scope(std::move(proc), std::move(script));
  return DialogBoxParamA(Instance(), MAKEINTRESOURCEA(templateId), nullptr, &Forward, initParam);
}

INT_PTR ShowSheet(const PROPSHEETHEADERA& header, mvn::dialogs::Script script) {
  Scope scope(nullptr, std::move(script));
  return PropertySheetA(&header);
}

}  // namespace dialogtest
