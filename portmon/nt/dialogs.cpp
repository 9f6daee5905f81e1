// mvnmon's port dialogs: Configure Port (a port's output directory,
// external application, startup directory and launch choice) and New Port
// (the first free name MVN1 .. MVN99).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dialogs/dialogs.h"
#include "platform/kernel/utf.h"
#include "platform/spooler/outputfolder.h"
#include "portmon/nt/mvnmon.h"

namespace mvn::portmon {

namespace {

constexpr WORD IDD_CONFIGURE_PORT = 101;
constexpr WORD IDD_NEW_PORT = 102;
constexpr int IDC_OUTPUT_DIRECTORY = 1001;
constexpr int IDC_EXTERNAL_APPLICATION = 1002;
constexpr int IDC_SETUP_APPLICATION = 1003;
constexpr int IDC_LAUNCH_AFTER = 1004;
constexpr int IDC_STARTUP_DIRECTORY = 1005;
constexpr int IDC_NEW_PORT = 1007;
// What the monitor reads back: 259 bytes and the terminator.
constexpr UINT kFieldLimit = kSettingSize - 1;
constexpr DWORD kEdit = ES_AUTOHSCROLL | ES_OEMCONVERT | WS_BORDER | WS_TABSTOP;
constexpr char kFolderWarningCaption[] = "Output Directory";

constexpr DialogControl kConfigureControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 248, 105, 0},
    {IDC_STATIC, DialogControlKind::Static, "Output Directory :", 14, 22, 60, 8, 0},
    {IDC_OUTPUT_DIRECTORY, DialogControlKind::Edit, "", 90, 20, 158, 15, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "External Application :", 14, 44, 67, 8, 0},
    {IDC_EXTERNAL_APPLICATION, DialogControlKind::Edit, "", 90, 42, 158, 15, kEdit},
    {IDC_STATIC, DialogControlKind::Static, "Startup Directory :", 14, 66, 67, 8, 0},
    {IDC_STARTUP_DIRECTORY, DialogControlKind::Edit, "", 90, 63, 158, 15, kEdit},
    {IDC_LAUNCH_AFTER, DialogControlKind::CheckBox, "Launch after file printed", 14, 91, 99, 10, WS_TABSTOP},
    {IDC_SETUP_APPLICATION, DialogControlKind::PushButton, "Setup External Application ....", 128, 89, 120, 14,
     WS_TABSTOP},
    {IDOK, DialogControlKind::PushButton, "OK", 128, 114, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 198, 114, 50, 14, WS_TABSTOP},
};

constexpr DialogControl kNewPortControls[] = {
    {IDC_STATIC, DialogControlKind::Static, "New Port :", 7, 7, 41, 8, 0},
    {IDC_NEW_PORT, DialogControlKind::ComboBox, "", 57, 7, 48, 49, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDOK, DialogControlKind::PushButton, "OK", 123, 7, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 123, 24, 50, 14, WS_TABSTOP},
};

constexpr DialogTemplate kTemplates[] = {
    {IDD_CONFIGURE_PORT, "Configure Port", 262, 135, "MS Sans Serif", 8, 0, kConfigureControls,
     static_cast<UINT>(sizeof kConfigureControls / sizeof kConfigureControls[0])},
    {IDD_NEW_PORT, "New Morvane Port", 180, 46, "MS Sans Serif", 8, 0, kNewPortControls,
     static_cast<UINT>(sizeof kNewPortControls / sizeof kNewPortControls[0])},
};

// The instance the templates are registered under: one per copy of the
// monitor.
char s_instanceTag;
HINSTANCE DialogInstance() { return reinterpret_cast<HINSTANCE>(&s_instanceTag); }

void RegisterTemplates() {
  static bool s_registered = false;
  if (!s_registered) s_registered = RegisterDialogTemplates(DialogInstance(), kTemplates, 2) != FALSE;
}

// UTF-8 into wide text (the kernel's conversion); false when it does not
// fit size characters with the terminator.
bool TextToWide(const char* text, WCHAR* out, DWORD size) {
  std::u16string wide = mvn::kernel::Utf8ToUtf16(text ? text : "");
  if (size == 0 || wide.size() + 1 > size) return false;
  std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return true;
}

std::string FieldText(HWND dialog, int id) {
  char text[kSettingSize * 4] = "";
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

// A message box with texts of the string table; "%1" in the text becomes
// the insert.
void StringMessageBox(HWND owner, UINT style, UINT caption, UINT text, const std::string& insert) {
  std::string message = MonitorString(text);
  std::size_t at = message.find("%1");
  if (at != std::string::npos) message.replace(at, 2, insert);
  MessageBoxA(owner, message.c_str(), MonitorString(caption), style);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The full path of a typed name (settings are read by other processes,
// which have other current directories); the name itself when it has none.
std::string FullPath(const std::string& typed) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(typed.c_str(), sizeof full, full, nullptr);
  return n && n < sizeof full ? std::string(full) : typed;
}

void CenterOnDesktop(HWND dialog) {
  RECT area{}, rect{};
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0) || !GetWindowRect(dialog, &rect)) return;
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  SetWindowPos(dialog, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// The dark blue on white of every edit and list.
bool ColourMessage(UINT message, WPARAM wParam, INT_PTR* result) {
  if (message != WM_CTLCOLOREDIT && message != WM_CTLCOLORLISTBOX) return false;
  SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 127));
  *result = reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
  return true;
}

// The text settings the dialog edits, in the order of the fields.
constexpr int kTextFields[] = {IDC_OUTPUT_DIRECTORY, IDC_STARTUP_DIRECTORY, IDC_EXTERNAL_APPLICATION};
constexpr const WCHAR* kTextValues[] = {u"OutputDirectory", u"StartupDirectory", u"ExternalApplication"};

struct ConfigureState {
  WCHAR port[kPortNameSize];
  char portText[kPortNameSize * 3];
  // A value that is there but does not fit its field (over 259 bytes of
  // UTF-8) shows as empty; it is kept unless something is typed instead.
  bool unshown[3];
};

struct LoadedValues {
  HWND dialog;
  ConfigureState* state;
};

bool LoadFields(LPCWSTR, void* context, HKEY key) {
  auto* loaded = static_cast<LoadedValues*>(context);
  HWND dialog = loaded->dialog;
  char value[kSettingSize];
  for (int i = 0; i < 3; ++i) {
    if (QueryPortText(key, kTextValues[i], value, sizeof value)) {
      SetDlgItemTextA(dialog, kTextFields[i], value);
    } else {
      DWORD type = 0, bytes = 0;
      loaded->state->unshown[i] =
          RegQueryValueExW(key, kTextValues[i], nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS;
    }
  }
  bool ticked = QueryPortText(key, u"Launch", value, sizeof value) && std::strcmp(value, "2") == 0;
  CheckDlgButton(dialog, IDC_LAUNCH_AFTER, ticked ? BST_CHECKED : BST_UNCHECKED);
  return true;
}

struct SavedValues {
  std::string outputDirectory;
  std::string startupDirectory;
  std::string externalApplication;
  bool launchAfter = false;
  bool ok = true;
  const bool* unshown = nullptr;  // left alone when still empty
};

void SetOrDelete(HKEY key, LPCWSTR name, const std::string& value, bool* ok) {
  if (value.empty()) {
    LONG status = RegDeleteValueW(key, name);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) *ok = false;
    return;
  }
  WCHAR wide[kSettingSize];
  if (!TextToWide(value.c_str(), wide, kSettingSize)) {
    *ok = false;
    return;
  }
  DWORD bytes = (WideLength(wide) + 1) * sizeof(WCHAR);
  if (RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide), bytes) != ERROR_SUCCESS) *ok = false;
}

// MailSlot, AddUserID and ReadOnce are never touched.
bool SaveFields(LPCWSTR, void* context, HKEY key) {
  auto* values = static_cast<SavedValues*>(context);
  const std::string* texts[] = {&values->outputDirectory, &values->startupDirectory, &values->externalApplication};
  for (int i = 0; i < 3; ++i)
    if (!(texts[i]->empty() && values->unshown[i])) SetOrDelete(key, kTextValues[i], *texts[i], &values->ok);
  if (!(values->externalApplication.empty() && values->unshown[2]))
    SetOrDelete(key, u"Launch",
                values->externalApplication.empty() ? std::string() : values->launchAfter ? "2" : "1", &values->ok);
  return true;
}

// A directory field: empty, or an existing directory. Otherwise the
// "Invalid Field" box and the focus back to the field.
bool CheckDirectoryField(HWND dialog, int id) {
  std::string typed = FieldText(dialog, id);
  if (typed.empty() || IsDirectory(typed)) return true;
  StringMessageBox(dialog, MB_ICONERROR, IDS_INVALID_FIELD, IDS_UNABLE_TO_ACCESS, typed);
  SetFocus(GetDlgItem(dialog, id));
  return false;
}

// An output folder the spooler service would refuse jobs in (a user's
// folder, or one behind a user's link) is said before it is saved; the
// person confirms it or gets the field back to change it.
bool ConfirmOutputFolder(HWND dialog, const std::string& folder) {
  if (folder.empty()) return true;
  std::string warning = mvn::spooler::OutputFolderWarning(folder, geteuid());
  if (warning.empty()) return true;
  warning += "\n\nUse this folder all the same?";
  if (MessageBoxA(dialog, warning.c_str(), kFolderWarningCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES)
    return true;
  SetFocus(GetDlgItem(dialog, IDC_OUTPUT_DIRECTORY));
  return false;
}

void ConfigureOk(HWND dialog, ConfigureState* state) {
  if (!CheckDirectoryField(dialog, IDC_OUTPUT_DIRECTORY) || !CheckDirectoryField(dialog, IDC_STARTUP_DIRECTORY))
    return;
  std::string application = FieldText(dialog, IDC_EXTERNAL_APPLICATION);
  if (!application.empty() && IsFile(application)) {
    std::string full = FullPath(application);
    if (full.size() <= kFieldLimit && full != application) {
      SetDlgItemTextA(dialog, IDC_EXTERNAL_APPLICATION, full.c_str());
      application = full;
    }
  }
  SavedValues values;
  auto directory = [&](int id) {
    std::string typed = FieldText(dialog, id);
    std::string full = typed.empty() ? typed : FullPath(typed);
    return full.size() <= kFieldLimit ? full : typed;
  };
  values.outputDirectory = directory(IDC_OUTPUT_DIRECTORY);
  values.startupDirectory = directory(IDC_STARTUP_DIRECTORY);
  values.externalApplication = application;
  values.launchAfter = IsDlgButtonChecked(dialog, IDC_LAUNCH_AFTER) == BST_CHECKED;
  values.unshown = state->unshown;
  if (!ConfirmOutputFolder(dialog, values.outputDirectory)) return;
  // A save that fails is said, and the dialog stays open with what was
  // typed, so nothing is lost without notice.
  if (!CreatePortKey(state->port, &values, &SaveFields, nullptr) || !values.ok) {
    char root[kRootSize * 3];
    WideToText(Monitor()->m_root, root, sizeof root);
    StringMessageBox(dialog, MB_ICONERROR, IDS_ERROR_CAPTION, IDS_UNABLE_TO_ACCESS,
                     std::string(root) + "\\" + state->portText);
    return;
  }
  EndDialog(dialog, 1);
}

// Starts the external application through the console launcher without a
// file, for the user to set it up.
void SetupExternalApplication(HWND dialog) {
  std::string command = FieldText(dialog, IDC_EXTERNAL_APPLICATION);
  std::string folder = FieldText(dialog, IDC_STARTUP_DIRECTORY);
  if (command.empty()) return;
  SendToLauncher(nullptr, folder.c_str(), command.c_str());
}

INT_PTR ConfigurePortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<ConfigureState*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
  switch (message) {
    case WM_INITDIALOG: {
      state = reinterpret_cast<ConfigureState*>(lParam);
      SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
      CenterOnDesktop(dialog);
      char caption[64];
      std::snprintf(caption, sizeof caption, "Configure %s", state->portText);
      SetWindowTextA(dialog, caption);
      SetForegroundWindow(dialog);
      SetFocus(GetDlgItem(dialog, IDC_OUTPUT_DIRECTORY));
      for (int id : kTextFields) SendDlgItemMessageA(dialog, id, EM_LIMITTEXT, kFieldLimit, 0);
      LoadedValues loaded{dialog, state};
      OpenPortKey(state->port, &loaded, &LoadFields);
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          if (state) ConfigureOk(dialog, state);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        case IDC_SETUP_APPLICATION:
          if (HIWORD(wParam) == BN_CLICKED) SetupExternalApplication(dialog);
          return TRUE;
        default:
          return FALSE;
      }
    default: {
      INT_PTR result = 0;
      return ColourMessage(message, wParam, &result) ? result : 0;
    }
  }
}

INT_PTR NewPortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      HWND list = GetDlgItem(dialog, IDC_NEW_PORT);
      for (int i = 1; i <= 99; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "MVN%d", i);
        WCHAR wide[kPortNameSize];
        TextToWide(name, wide, kPortNameSize);
        if (!FindPort(wide)) SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
      }
      SendMessageA(list, CB_SETCURSEL, 0, 0);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          HWND list = GetDlgItem(dialog, IDC_NEW_PORT);
          LRESULT selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
          char name[8] = "";
          if (selected != CB_ERR && SendMessageA(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(selected), 0) <= 5)
            SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(selected), reinterpret_cast<LPARAM>(name));
          if (!name[0]) {
            EndDialog(dialog, 0);
            return TRUE;
          }
          WCHAR wide[kPortNameSize];
          TextToWide(name, wide, kPortNameSize);
          if (CreatePortKey(wide, nullptr, nullptr, nullptr)) {
            AddPortRecord(wide);
          } else {
            // Said, so that nobody looks for a port that was never made.
            char root[kRootSize * 3];
            WideToText(Monitor()->m_root, root, sizeof root);
            StringMessageBox(dialog, MB_ICONERROR, IDS_ERROR_CAPTION, IDS_UNABLE_TO_ACCESS,
                             std::string(root) + "\\" + name);
          }
          EndDialog(dialog, 1);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }
    default: {
      INT_PTR result = 0;
      return ColourMessage(message, wParam, &result) ? result : 0;
    }
  }
}

}  // namespace

intptr_t ShowConfigurePortDialog(HWND owner, LPCWSTR portName) {
  RegisterTemplates();
  ConfigureState state{};
  DWORD length = WideLength(portName);
  if (length >= kPortNameSize) return -1;
  for (DWORD i = 0; i <= length; ++i) state.port[i] = portName[i];
  WideToText(state.port, state.portText, sizeof state.portText);
  return DialogBoxParamA(DialogInstance(), MAKEINTRESOURCEA(IDD_CONFIGURE_PORT), owner, &ConfigurePortProc,
                         reinterpret_cast<LPARAM>(&state));
}

intptr_t ShowNewPortDialog(HWND owner) {
  RegisterTemplates();
  return DialogBoxParamA(DialogInstance(), MAKEINTRESOURCEA(IDD_NEW_PORT), owner, &NewPortProc, 0);
}

}  // namespace mvn::portmon
