// Test resources and a page procedure that behaves like the delivery
// modules' pages (changed flag, PSM_CHANGED on the first change, validation
// on leaving, apply) and records every message it gets.
#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialogs/dialogs.h"
#include "platform/dialogs/script.h"

namespace dialogtest {

// Template ids.
constexpr WORD kIdentityPage = 101;
constexpr WORD kOptionsPage = 102;
constexpr WORD kConfigurePort = 201;
constexpr WORD kNewPort = 202;

// Control ids.
constexpr int kName = 1008;
constexpr int kEmail = 1009;
constexpr int kToken = 1007;
constexpr int kKeepFiles = 1005;
constexpr int kLocation = 1004;
constexpr int kProfile = 1010;     // drop-down list
constexpr int kTransport = 1011;   // editable drop-down
constexpr int kOutputDir = 1001;
constexpr int kExternalApp = 1002;
constexpr int kStartupDir = 1005;
constexpr int kLaunchAfter = 1004;
constexpr int kSetupApp = 1003;
constexpr int kPortList = 1007;

// A module instance handle of our own.
HINSTANCE Instance();
// Registers the test templates under Instance() (once per process).
void RegisterTemplates();

// Chooses the backend for one test and restores the environment after it.
class Environment {
 public:
  Environment() = default;
  Environment(Environment&& other) noexcept : m_saved(std::move(other.m_saved)) { other.m_saved.clear(); }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  Environment& Set(const char* name, const char* value);
  Environment& Unset(const char* name);
  ~Environment();

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// One shared log, so the order across pages shows.
std::vector<std::string>& Log();
size_t CountLog(const std::string& entry);

struct Page {
  explicit Page(std::string pageName, std::vector<int> controls = {})
      : name(std::move(pageName)), changeControls(std::move(controls)) {}
  std::string name;
  std::vector<int> changeControls;  // controls whose EN_CHANGE/BN_CLICKED/CBN_SELCHANGE count
  bool changed = true;              // true until WM_INITDIALOG, like the modules' pages
  bool applied = false;
  bool refuse = false;              // Validate fails
  LONG_PTR applyResult = PSNRET_NOERROR;
  HWND window = nullptr;
  HWND notifiedBy = nullptr;        // hwndFrom of the last notification
  LPARAM initParam = 0;             // the PROPSHEETPAGEA's lParam seen at WM_INITDIALOG
  std::function<void(HWND)> onInit;
  std::function<void(HWND)> onApply;
};

INT_PTR PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A two-page sheet header over the two pages.
struct Sheet {
  PROPSHEETPAGEA pages[2];
  PROPSHEETHEADERA header;
  Sheet(Page* first, Page* second, const char* caption = "Configure Delivery Options", UINT start = 0);
};

std::string Text(HWND dialog, int id);

// The Configure Port dialog's procedure in the way the monitor writes it:
// the directory field is checked on OK, a bad one keeps the dialog open
// with a message box. Its WM_INITDIALOG takes the settings as lParam.
struct PortSettings {
  std::string output = "/";
  std::string saved;
  int boxes = 0;
  // True: the procedure puts the focus on the directory field itself and
  // returns FALSE; false: it returns TRUE and leaves the focus to the layer.
  bool focusOutput = true;
};
INT_PTR ConfigurePortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a dialog box of the test templates with a procedure given as a
// function (a command IDOK/IDCANCEL the function leaves alone ends the
// dialog with that id) and a script.
using Proc = std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)>;
INT_PTR ShowDialog(WORD templateId, Proc proc, mvn::dialogs::Script script, LPARAM initParam = 0);
// Shows a sheet with a script.
INT_PTR ShowSheet(const PROPSHEETHEADERA& header, mvn::dialogs::Script script);

}  // namespace dialogtest
