// mvnmon95's Configure Port dialog: the port's output directory, external
// application and startup directory, the launch choice, and a trial start
// of the application.
#include <sys/stat.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/dialogs/dialogs.h"
#include "portmon/win95/mvnmon95.h"

namespace mvn::portmon95 {

namespace {

constexpr WORD IDD_CONFIGURE_PORT = 101;
constexpr int IDC_OUTPUT_DIRECTORY = 1000;
constexpr int IDC_EXTERNAL_APPLICATION = 1001;
constexpr int IDC_SETUP_APPLICATION = 1002;
constexpr int IDC_LAUNCH_AFTER = 1003;
constexpr int IDC_STARTUP_DIRECTORY = 1004;
constexpr DWORD CREATE_SEPARATE_WOW_VDM = 0x00000800;
constexpr UINT kFieldLimit = 260;
constexpr DWORD kEdit = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;

constexpr DialogControl kControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 4, 257, 112, 0},
    {IDC_STATIC, DialogControlKind::Static, "Output Directory :", 14, 18, 80, 8, 0},
    {IDC_OUTPUT_DIRECTORY, DialogControlKind::Edit, "", 96, 16, 160, 12, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "External Application :", 14, 38, 80, 8, 0},
    {IDC_EXTERNAL_APPLICATION, DialogControlKind::Edit, "", 96, 36, 160, 12, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "Startup Directory :", 14, 58, 80, 8, 0},
    {IDC_STARTUP_DIRECTORY, DialogControlKind::Edit, "", 96, 56, 160, 12, kEdit},
    {IDC_LAUNCH_AFTER, DialogControlKind::CheckBox, "Launch after file printed", 96, 76, 160, 10, WS_TABSTOP},
    {IDC_SETUP_APPLICATION, DialogControlKind::PushButton, "Setup External Application ...", 96, 94, 160, 14,
     WS_TABSTOP},
    {IDOK, DialogControlKind::PushButton, "OK", 156, 124, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 212, 124, 50, 14, WS_TABSTOP},
};

constexpr DialogTemplate kTemplate = {IDD_CONFIGURE_PORT, "Configure Port", 271, 145, "MS Sans Serif", 8, 0, kControls,
                                      static_cast<UINT>(sizeof kControls / sizeof kControls[0])};

std::string FieldText(HWND dialog, int id) {
  char text[kFieldLimit * 4 + 1] = "";
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

void SetWindowTextFormat(HWND window, const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  SetWindowTextA(window, text);
}

// An empty field passes; else it must name an existing directory, and it is
// replaced by its full path. False (after a message) when it does not.
bool ValidFileField(HWND dialog, int id) {
  std::string typed = FieldText(dialog, id);
  if (typed.empty()) return true;
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(typed.c_str(), sizeof full, full, nullptr);
  struct stat st;
  if (n == 0 || n >= sizeof full || stat(full, &st) != 0) {
    ErrorMessage(dialog, "Can't find %s\n%s", "directory", n && n < sizeof full ? full : typed.c_str());
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    ErrorMessage(dialog, "%s\nis NOT a directory", typed.c_str());
    return false;
  }
  if (typed != full) SetDlgItemTextA(dialog, id, full);
  return true;
}

// What the dialog keeps for the port it shows.
struct ConfigureState {
  int index;
  // Whether the port had an ExternalApplication value (empty or not) when
  // the dialog opened: an empty field writes an empty value only then.
  bool hadApplication;
};

void LoadPortConfig(HWND dialog, const char* port, ConfigureState* state) {
  char value[kFieldLimit * 4 + 1];
  GetRegString(port, "OutputDirectory", value, sizeof value);
  SetDlgItemTextA(dialog, IDC_OUTPUT_DIRECTORY, value);
  state->hadApplication = GetRegString(port, "ExternalApplication", value, sizeof value);
  SetDlgItemTextA(dialog, IDC_EXTERNAL_APPLICATION, value);
  GetRegString(port, "StartupDirectory", value, sizeof value);
  SetDlgItemTextA(dialog, IDC_STARTUP_DIRECTORY, value);
  GetRegString(port, "Launch", value, sizeof value);
  CheckDlgButton(dialog, IDC_LAUNCH_AFTER, std::strcmp(value, "2") == 0 ? BST_CHECKED : BST_UNCHECKED);
}

// Writes the three fields (also when empty) and the launch choice. An
// existing ExternalApplication value, even an empty one, means a port
// without the spool header; so an empty field on a port that had no such
// value leaves it absent, and OK on a plain port never takes its header
// away.
bool SavePortConfig(HWND dialog, const char* port, const ConfigureState& state) {
  std::string application = FieldText(dialog, IDC_EXTERNAL_APPLICATION);
  bool ok = SetRegString(port, "OutputDirectory", FieldText(dialog, IDC_OUTPUT_DIRECTORY).c_str());
  if (!application.empty() || state.hadApplication)
    ok = SetRegString(port, "ExternalApplication", application.c_str()) && ok;
  ok = SetRegString(port, "StartupDirectory", FieldText(dialog, IDC_STARTUP_DIRECTORY).c_str()) && ok;
  const char* launch = application.empty() ? "0" : IsDlgButtonChecked(dialog, IDC_LAUNCH_AFTER) ? "2" : "1";
  return SetRegString(port, "Launch", launch) && ok;
}

void SetupExternalApplication(HWND dialog) {
  std::string command = FieldText(dialog, IDC_EXTERNAL_APPLICATION);
  std::string folder = FieldText(dialog, IDC_STARTUP_DIRECTORY);
  if (command.empty()) return;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SEPARATE_WOW_VDM, nullptr,
                     folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

INT_PTR ConfigurePortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<ConfigureState*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
  PORT95* port = state ? Port(state->index) : nullptr;
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
      state = reinterpret_cast<ConfigureState*>(lParam);
      port = state ? Port(state->index) : nullptr;
      SetForegroundWindow(dialog);
      SetWindowTextFormat(dialog, "Configure %s", port ? port->name : "");
      for (int id : {IDC_OUTPUT_DIRECTORY, IDC_EXTERNAL_APPLICATION, IDC_STARTUP_DIRECTORY})
        SendDlgItemMessageA(dialog, id, EM_LIMITTEXT, kFieldLimit - 1, 0);
      if (port) LoadPortConfig(dialog, port->name, state);
      SetFocus(GetDlgItem(dialog, IDC_OUTPUT_DIRECTORY));
      return FALSE;
    }
    case WM_CTLCOLOREDIT:
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 255));
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      WORD code = HIWORD(wParam);
      if ((id == IDC_OUTPUT_DIRECTORY || id == IDC_STARTUP_DIRECTORY) && code == EN_KILLFOCUS) {
        if (!ValidFileField(dialog, id)) SetFocus(GetDlgItem(dialog, id));
        return TRUE;
      }
      if (id == IDOK && code == BN_CLICKED) {
        // Both directories are checked again: a field may be confirmed
        // without having been left.
        for (int field : {IDC_OUTPUT_DIRECTORY, IDC_STARTUP_DIRECTORY}) {
          if (!ValidFileField(dialog, field)) {
            SetFocus(GetDlgItem(dialog, field));
            return TRUE;
          }
        }
        if (!port || !SavePortConfig(dialog, port->name, *state)) {
          ErrorMessage(dialog, "The settings of %s could not be saved.", port ? port->name : "the port");
          return TRUE;
        }
        EndDialog(dialog, 1);
        return TRUE;
      }
      if (id == IDCANCEL && code == BN_CLICKED) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      if (id == IDC_SETUP_APPLICATION && code == BN_CLICKED) {
        SetupExternalApplication(dialog);
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

void ErrorMessage(HWND, const char* format, ...) {
  char text[1025];
  va_list arguments;
  va_start(arguments, format);
  wvsprintfA(text, format, arguments);
  va_end(arguments);
  MessageBoxA(nullptr, text, "MVNMON95 - Error", MB_SETFOREGROUND | MB_TASKMODAL | MB_ICONERROR);
}

intptr_t ShowConfigurePort(HWND owner, int index) {
  RegisterDialogTemplates(Instance(), &kTemplate, 1);
  ConfigureState state{index, false};
  return DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_CONFIGURE_PORT), owner, &ConfigurePortDialogProc,
                         reinterpret_cast<LPARAM>(&state));
}

}  // namespace mvn::portmon95
