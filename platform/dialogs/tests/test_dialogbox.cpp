// Modal dialog boxes (headless): the port monitor's two dialogs as their
// procedures use the layer, results, errors, and what happens without a
// script.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/dialogs/tests/dialog_support.h"

using namespace dialogtest;
namespace dlg = mvn::dialogs;

namespace {

INT_PTR ShowConfigurePort(PortSettings* port) {
  return DialogBoxParamA(Instance(), MAKEINTRESOURCEA(kConfigurePort), nullptr, &ConfigurePortProc,
                         reinterpret_cast<LPARAM>(port));
}

// New Port: names MVN1.. not in use, the first selected.
std::vector<std::string> g_inUse;
std::string g_created;

INT_PTR NewPortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    HWND list = GetDlgItem(dialog, kPortList);
    for (int i = 1; i <= 5; ++i) {
      std::string name = "MVN" + std::to_string(i);
      if (std::find(g_inUse.begin(), g_inUse.end(), name) == g_inUse.end())
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    HWND list = GetDlgItem(dialog, kPortList);
    LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
    char name[6] = "";
    if (index != CB_ERR && SendMessageA(list, CB_GETLBTEXTLEN, index, 0) < static_cast<LRESULT>(sizeof(name)))
      SendMessageA(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(name));
    g_created = name;
    EndDialog(dialog, name[0] ? 1 : 0);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, 0);
    return TRUE;
  }
  return FALSE;
}

class MessageBoxes {
 public:
  explicit MessageBoxes(int answer = IDOK) {
    dlg::SetMessageBoxScript([this, answer](HWND owner, const char* text, const char* caption, UINT type) {
      shown.push_back(std::string(caption) + ": " + text);
      owners.push_back(owner);
      types.push_back(type);
      return answer;
    });
  }
  ~MessageBoxes() { dlg::SetMessageBoxScript(nullptr); }
  std::vector<std::string> shown;
  std::vector<HWND> owners;
  std::vector<UINT> types;
};

}  // namespace

// How the port monitor's own dialogs behave on this layer (an invalid
// field keeps Configure Port open; New Port takes the selection) is tested
// with the monitor's real procedures in portmon/nt/tests/test_dialogs.cpp.

TEST(DialogBox, CancelSavesNothingAndReturnsTheProceduresResult) {
  PortSettings port;
  dlg::SetScript([](HWND dialog) {
    dlg::TypeText(GetDlgItem(dialog, kOutputDir), "/tmp");
    EXPECT_TRUE(dlg::Click(GetDlgItem(dialog, IDCANCEL)));
  });
  EXPECT_EQ(ShowConfigurePort(&port), 0);
  dlg::SetScript(nullptr);
  EXPECT_EQ(port.saved, "");
}

TEST(DialogBox, RefusesUnknownTemplatesAndMissingProcedures) {
  struct Case {
    HINSTANCE instance;
    LPCSTR name;
    DLGPROC proc;
    DWORD error;
  };
  static int otherModule;
  const Case cases[] = {
      {Instance(), MAKEINTRESOURCEA(999), &NewPortProc, ERROR_RESOURCE_NAME_NOT_FOUND},
      {&otherModule, MAKEINTRESOURCEA(kNewPort), &NewPortProc, ERROR_RESOURCE_NAME_NOT_FOUND},
      {Instance(), "NEWPORT", &NewPortProc, ERROR_RESOURCE_NAME_NOT_FOUND},
      {Instance(), nullptr, &NewPortProc, ERROR_RESOURCE_NAME_NOT_FOUND},
      {Instance(), MAKEINTRESOURCEA(kNewPort), nullptr, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(DialogBoxParamA(c.instance, c.name, nullptr, c.proc, 0), -1);
    EXPECT_EQ(GetLastError(), c.error);
  }
  const DialogTemplate broken{300, "x", 10, 10, "", 8, 0, nullptr, 2};
  EXPECT_FALSE(RegisterDialogTemplates(Instance(), &broken, 1));
  EXPECT_FALSE(RegisterDialogTemplates(Instance(), nullptr, 1));
  EXPECT_TRUE(RegisterDialogTemplates(Instance(), nullptr, 0));
}

TEST(DialogBox, TemplatesAreKeptAsCopiesAndCanBeUnregistered) {
  static int module;
  char caption[] = "Copied";
  char label[] = "Label";
  DialogControl controls[] = {{77, DialogControlKind::Static, label, 1, 1, 20, 8, 0},
                              {IDOK, DialogControlKind::PushButton, "OK", 1, 12, 20, 12, 0}};
  DialogTemplate t{5, caption, 60, 30, "MS Sans Serif", 8, 0, controls, 2};
  ASSERT_TRUE(RegisterDialogTemplates(&module, &t, 1));
  caption[0] = 'X';
  label[0] = 'X';
  controls[0].id = 78;
  std::string seenCaption, seenLabel;
  dlg::SetScript([&](HWND dialog) {
    char buffer[32];
    GetWindowTextA(dialog, buffer, sizeof(buffer));
    seenCaption = buffer;
    seenLabel = Text(dialog, 77);
    dlg::PressButton(dialog, IDOK);
  });
  auto proc = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) EndDialog(dialog, 9);
    return message == WM_INITDIALOG || message == WM_COMMAND;
  };
  EXPECT_EQ(DialogBoxParamA(&module, MAKEINTRESOURCEA(5), nullptr, proc, 0), 9);
  EXPECT_EQ(seenCaption, "Copied");
  EXPECT_EQ(seenLabel, "Label");
  UnregisterDialogTemplates(&module);
  EXPECT_EQ(DialogBoxParamA(&module, MAKEINTRESOURCEA(5), nullptr, proc, 0), -1);
  dlg::SetScript(nullptr);
}

TEST(DialogBox, EndDialogDuringInitialisationReturnsAtOnce) {
  bool scriptRan = false;
  INT_PTR result = ShowDialog(
      kNewPort,
      [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) EndDialog(dialog, 17);
        return FALSE;
      },
      [&](HWND) { scriptRan = true; });
  EXPECT_EQ(result, 17);
  EXPECT_FALSE(scriptRan);
  EXPECT_FALSE(EndDialog(nullptr, 1));
}

TEST(DialogBox, AScriptThatLeavesTheDialogOpenCancelsIt) {
  std::vector<int> commands;
  INT_PTR result = ShowDialog(
      kNewPort,
      [&](HWND, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND) commands.push_back(LOWORD(wParam));
        return FALSE;  // the default ends the dialog with the command's id
      },
      [](HWND) {});
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(commands, std::vector<int>{IDCANCEL});
  // A procedure that ignores the cancel still does not keep the call waiting.
  result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(kNewPort), nullptr,
                           [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_COMMAND; }, 0);
  EXPECT_EQ(result, IDCANCEL);
}

TEST(DialogBox, WithoutAScriptOrDisplayADialogIsCancelledAndSaysSoOnce) {
  EXPECT_EXIT(
      {
        PortSettings port;
        port.output = "/tmp";
        INT_PTR first = ShowConfigurePort(&port);
        INT_PTR second = ShowConfigurePort(&port);
        std::exit(first == 0 && second == 0 && port.saved.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), testing::Truly([](const std::string& err) {
        const std::string note = "no display: \"Configure MVN1\" was closed as cancelled";
        size_t at = err.find(note);
        return at != std::string::npos && err.find("closed as cancelled", at + note.size()) == std::string::npos;
      }));
}

TEST(DialogBox, AnExceptionInAProcedureLeavesTheCallThatShowedTheDialog) {
  HWND shown = nullptr;
  bool after = false;
  auto proc = [](HWND, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
    if (message == WM_COMMAND && LOWORD(wParam) == kSetupApp) throw std::runtime_error("library fault");
    return FALSE;
  };
  EXPECT_THROW(ShowDialog(kConfigurePort, proc,
                          [&](HWND dialog) {
                            shown = dialog;
                            EXPECT_TRUE(dlg::Click(GetDlgItem(dialog, kSetupApp)));
                            // The dialog is ending: more input is refused.
                            EXPECT_FALSE(dlg::TypeText(GetDlgItem(dialog, kOutputDir), "x"));
                            after = true;
                          }),
               std::runtime_error);
  EXPECT_TRUE(after);
  EXPECT_FALSE(IsWindow(shown));
  // The layer is in order afterwards.
  EXPECT_EQ(ShowDialog(kNewPort, nullptr, [](HWND dialog) { dlg::PressButton(dialog, IDOK); }), IDOK);
  // An exception in WM_INITDIALOG leaves at once too.
  EXPECT_THROW(ShowDialog(
                   kNewPort,
                   [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
                     if (message == WM_INITDIALOG) throw std::runtime_error("init");
                     return FALSE;
                   },
                   [](HWND) { ADD_FAILURE() << "never shown"; }),
               std::runtime_error);
}

TEST(DialogBox, ADialogCanOpenAnotherFromItsCommands) {
  g_inUse.clear();
  g_created.clear();
  INT_PTR inner = 0;
  int shownCount = 0;
  auto outer = [&](HWND, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
    if (message == WM_COMMAND && LOWORD(wParam) == kSetupApp) {
      inner = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(kNewPort), nullptr, &NewPortProc, 0);
      return TRUE;
    }
    return FALSE;
  };
  INT_PTR result = ShowDialog(kConfigurePort, outer, [&](HWND dialog) {
    ++shownCount;
    if (shownCount == 1) {
      EXPECT_TRUE(dlg::Click(GetDlgItem(dialog, kSetupApp)));
      EXPECT_TRUE(IsWindow(dialog));
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    } else {
      // The inner dialog: the same script runs for it.
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    }
  });
  EXPECT_EQ(shownCount, 2);
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(g_created, "MVN1");
  EXPECT_EQ(result, IDOK);
}

// A field is validated as it is left: the procedure learns of it through
// EN_KILLFOCUS, before the command of the button that took the focus, and
// two invalid fields never pass the focus to each other for ever.
namespace {
struct LeaveLog {
  std::vector<std::string> events;
};

INT_PTR ValidateOnLeaveProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* log = reinterpret_cast<LeaveLog*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
    SetFocus(GetDlgItem(dialog, kOutputDir));
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  int id = LOWORD(wParam);
  if (HIWORD(wParam) == EN_KILLFOCUS) {
    std::string text = Text(dialog, id);
    log->events.push_back("left " + std::to_string(id) + (text == "bad" ? " (invalid)" : ""));
    if (text == "bad") SetFocus(GetDlgItem(dialog, id));
    return TRUE;
  }
  if (id == IDOK && HIWORD(wParam) == BN_CLICKED) {
    log->events.push_back("ok");
    EndDialog(dialog, 1);
    return TRUE;
  }
  return FALSE;
}
}  // namespace

TEST(DialogBox, AFieldIsValidatedAsItIsLeft) {
  LeaveLog log;
  dlg::SetScript([&](HWND dialog) {
    HWND output = GetDlgItem(dialog, kOutputDir);
    HWND startup = GetDlgItem(dialog, kStartupDir);
    EXPECT_TRUE(dlg::TypeText(output, "bad"));
    EXPECT_FALSE(dlg::FocusControl(startup)) << "the procedure put the focus back";
    EXPECT_EQ(GetFocus(), output);
    EXPECT_TRUE(dlg::TypeText(output, "good"));
    EXPECT_TRUE(dlg::TypeText(startup, "bad"));  // typing gives the field the focus
    EXPECT_FALSE(dlg::FocusControl(output));
    EXPECT_TRUE(dlg::TypeText(startup, "fine"));
    EXPECT_TRUE(dlg::Click(GetDlgItem(dialog, IDOK)));
  });
  INT_PTR result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(kConfigurePort), nullptr, &ValidateOnLeaveProc,
                                   reinterpret_cast<LPARAM>(&log));
  dlg::SetScript(nullptr);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(log.events, (std::vector<std::string>{"left 1001 (invalid)", "left 1001", "left 1005 (invalid)",
                                                  "left 1005", "ok"}));
}
