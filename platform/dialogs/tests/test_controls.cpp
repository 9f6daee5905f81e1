// Controls and window calls, exercised inside running (headless) dialogs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/dialogs/tests/dialog_support.h"

using namespace dialogtest;
namespace dlg = mvn::dialogs;

namespace {

std::vector<std::string> g_commands;

// Records WM_COMMAND as "id code"; everything else is left alone.
INT_PTR Recorder(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL)
    g_commands.push_back(std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)));
  return FALSE;
}

}  // namespace

TEST(Controls, TextIsCopiedWithinTheBufferWithoutSplittingACharacter) {
  struct Case {
    int size;
    const char* expected;
    int returned;
  };
  // "Müller": the u-umlaut takes two bytes.
  const Case cases[] = {{1, "", 0}, {2, "M", 1}, {3, "M", 1}, {4, "M\xC3\xBC", 3}, {8, "M\xC3\xBCller", 7}, {100, "M\xC3\xBCller", 7}};
  ShowDialog(kConfigurePort, Recorder, [&](HWND dialog) {
    ASSERT_TRUE(SetDlgItemTextA(dialog, kOutputDir, "M\xC3\xBCller"));
    EXPECT_EQ(GetWindowTextLengthA(GetDlgItem(dialog, kOutputDir)), 7);
    for (const Case& c : cases) {
      char buffer[128];
      std::memset(buffer, 'x', sizeof(buffer));
      EXPECT_EQ(GetDlgItemTextA(dialog, kOutputDir, buffer, c.size), static_cast<UINT>(c.returned)) << c.size;
      EXPECT_STREQ(buffer, c.expected) << c.size;
      EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer of " << c.size;
    }
    char untouched = 'x';
    EXPECT_EQ(GetDlgItemTextA(dialog, kOutputDir, &untouched, 0), 0u);
    EXPECT_EQ(untouched, 'x');
    // A control that is not there reads as empty.
    char buffer[8] = "junk";
    EXPECT_EQ(GetDlgItemTextA(dialog, 4242, buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);
    // The caption is the dialog's text.
    SetWindowTextA(dialog, "Configure MVN1");
    char caption[64];
    GetWindowTextA(dialog, caption, sizeof(caption));
    EXPECT_STREQ(caption, "Configure MVN1");
  });
}

TEST(Controls, SettingAnEditsTextNotifiesLikeTypingWhileChecksAndSelectionsDoNot) {
  g_commands.clear();
  ShowDialog(kConfigurePort, Recorder, [&](HWND dialog) {
    SetDlgItemTextA(dialog, kOutputDir, "/tmp");
    SetDlgItemTextA(dialog, kOutputDir, "/tmp");  // the same text again still notifies
    CheckDlgButton(dialog, kLaunchAfter, BST_CHECKED);
    SetDlgItemTextA(dialog, kSetupApp, "Setup");
  });
  EXPECT_EQ(g_commands, (std::vector<std::string>{"1001 768", "1001 768"}));
}

TEST(Controls, CheckBoxesFollowCallsAndClicks) {
  g_commands.clear();
  ShowDialog(kConfigurePort, Recorder, [&](HWND dialog) {
    HWND box = GetDlgItem(dialog, kLaunchAfter);
    EXPECT_EQ(IsDlgButtonChecked(dialog, kLaunchAfter), BST_UNCHECKED);
    EXPECT_TRUE(CheckDlgButton(dialog, kLaunchAfter, BST_CHECKED));
    EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
    EXPECT_TRUE(dlg::Click(box));
    EXPECT_EQ(IsDlgButtonChecked(dialog, kLaunchAfter), BST_UNCHECKED);
    EXPECT_TRUE(dlg::Click(box));
    EXPECT_EQ(IsDlgButtonChecked(dialog, kLaunchAfter), BST_CHECKED);
    // A disabled box takes no clicks.
    EXPECT_FALSE(EnableWindow(box, FALSE));
    EXPECT_FALSE(dlg::Click(box));
    EXPECT_EQ(IsDlgButtonChecked(dialog, kLaunchAfter), BST_CHECKED);
    EXPECT_TRUE(EnableWindow(box, TRUE));
    EXPECT_FALSE(CheckDlgButton(dialog, 4242, BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog, 4242), BST_UNCHECKED);
  });
  EXPECT_EQ(g_commands, (std::vector<std::string>{"1004 0", "1004 0"}));
}

TEST(Controls, ComboBoxListMessages) {
  ShowDialog(kNewPort, Recorder, [&](HWND dialog) {
    HWND list = GetDlgItem(dialog, kPortList);
    auto send = [&](UINT message, WPARAM wParam, const char* text) {
      return SendMessageA(list, message, wParam, reinterpret_cast<LPARAM>(text));
    };
    EXPECT_EQ(send(CB_ADDSTRING, 0, "MVN1"), 0);
    EXPECT_EQ(send(CB_ADDSTRING, 0, "mvn2"), 1);
    EXPECT_EQ(send(CB_ADDSTRING, 0, "MVN3"), 2);
    EXPECT_EQ(send(CB_GETCOUNT, 0, nullptr), 3);
    // Exact and prefix searches ignore case and start after the index given.
    EXPECT_EQ(send(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), "MVN2"), 1);
    EXPECT_EQ(send(CB_FINDSTRINGEXACT, 1, "MVN2"), 1);  // wraps round to itself
    EXPECT_EQ(send(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), "MVN"), CB_ERR);
    EXPECT_EQ(send(CB_FINDSTRING, 0, "mvn"), 1);
    EXPECT_EQ(send(CB_FINDSTRING, 2, "mvn"), 0);
    EXPECT_EQ(send(CB_FINDSTRINGEXACT, 0, nullptr), CB_ERR);
    // Selection.
    EXPECT_EQ(send(CB_GETCURSEL, 0, nullptr), CB_ERR);
    EXPECT_EQ(Text(dialog, kPortList), "");
    EXPECT_EQ(send(CB_SETCURSEL, 2, nullptr), 2);
    EXPECT_EQ(Text(dialog, kPortList), "MVN3");
    EXPECT_EQ(send(CB_SETCURSEL, 7, nullptr), CB_ERR);
    EXPECT_EQ(send(CB_GETCURSEL, 0, nullptr), CB_ERR) << "a bad index clears the selection";
    EXPECT_EQ(send(CB_SELECTSTRING, static_cast<WPARAM>(-1), "mvn3"), 2);
    EXPECT_EQ(send(CB_GETCURSEL, 0, nullptr), 2);
    // A drop-down list shows only its items.
    EXPECT_EQ(send(WM_SETTEXT, 0, "MVN9"), CB_ERR);
    EXPECT_EQ(send(WM_SETTEXT, 0, "mvn1"), TRUE);
    EXPECT_EQ(send(CB_GETCURSEL, 0, nullptr), 0);
    // Item texts.
    char item[16];
    EXPECT_EQ(send(CB_GETLBTEXTLEN, 1, nullptr), 4);
    EXPECT_EQ(SendMessageA(list, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(item)), 4);
    EXPECT_STREQ(item, "mvn2");
    EXPECT_EQ(SendMessageA(list, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(item)), CB_ERR);
    // Deleting keeps the selection on its item; inserting likewise.
    send(CB_SETCURSEL, 2, nullptr);
    EXPECT_EQ(send(CB_DELETESTRING, 0, nullptr), 2);
    EXPECT_EQ(send(CB_GETCURSEL, 0, nullptr), 1);
    EXPECT_EQ(send(CB_INSERTSTRING, 0, "MVN0"), 0);
    EXPECT_EQ(Text(dialog, kPortList), "MVN3");
    EXPECT_EQ(send(CB_INSERTSTRING, 9, "x"), CB_ERR);
    EXPECT_EQ(send(CB_RESETCONTENT, 0, nullptr), 0);
    EXPECT_EQ(send(CB_GETCOUNT, 0, nullptr), 0);
    EXPECT_EQ(send(CB_GETCURSEL, 0, nullptr), CB_ERR);
    // List messages to an edit do nothing.
    EXPECT_EQ(SendDlgItemMessageA(dialog, IDOK, CB_GETCOUNT, 0, 0), 0);
  });
}

TEST(Controls, ComboBoxUserActionsNotifyTheDialog) {
  // The options page fills its profile list only when it first drops down,
  // as the MAPI page does.
  Page identity{"identity"};
  Page options{"options", {kProfile, kTransport}};
  bool listed = false;
  std::vector<std::string> seen;
  Sheet sheet(&identity, &options, "Sheet", 1);
  ShowSheet(sheet.header, [&](HWND window) {
    HWND profile = dlg::FindControl(window, kProfile);
    HWND transport = dlg::FindControl(window, kTransport);
    ASSERT_TRUE(profile && transport);
    EXPECT_FALSE(dlg::SelectItem(profile, 0)) << "nothing to pick yet";
    EXPECT_TRUE(dlg::DropDown(profile));
    if (CountLog("options command 1010 7") == 1 && !listed) {
      listed = true;
      SendMessageA(profile, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Default"));
      SendMessageA(profile, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Outlook"));
    }
    EXPECT_TRUE(dlg::SelectItem(profile, 1));
    EXPECT_EQ(Text(GetParent(profile), kProfile), "Outlook");
    EXPECT_EQ(SendMessageA(profile, CB_GETCURSEL, 0, 0), 1);
    EXPECT_FALSE(dlg::TypeText(profile, "x")) << "a drop-down list has no edit field";
    // The editable combo box: typing and picking both change its text.
    SendMessageA(transport, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Work Offline"));
    EXPECT_TRUE(dlg::TypeText(transport, "SMTP"));
    EXPECT_EQ(Text(GetParent(transport), kTransport), "SMTP");
    EXPECT_TRUE(dlg::SelectItem(transport, 0));
    EXPECT_EQ(Text(GetParent(transport), kTransport), "Work Offline");
    EXPECT_TRUE(dlg::IsApplyEnabled(window));
  });
  EXPECT_TRUE(listed);
  EXPECT_EQ(CountLog("options command 1010 1"), 1u);  // CBN_SELCHANGE
  EXPECT_EQ(CountLog("options command 1011 5"), 4u);  // CBN_EDITCHANGE per keystroke
  EXPECT_EQ(CountLog("options command 1011 1"), 1u);
  EXPECT_EQ(CountLog("options changed"), 1u);
}

TEST(Controls, WindowDataAndMessageResults) {
  constexpr UINT kOuter = WM_USER + 1;
  constexpr UINT kInner = WM_USER + 2;
  constexpr UINT kUnhandled = WM_USER + 3;
  HWND seen = nullptr;
  auto proc = [&](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
    if (message == kOuter) {
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 42);
      SendMessageA(dialog, kInner, 0, 0);  // sets a result of its own
      return TRUE;
    }
    if (message == kInner) {
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 7);
      return TRUE;
    }
    if (message == kUnhandled) {
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 99);
      return FALSE;  // not handled: the result does not count
    }
    return FALSE;
  };
  int object = 0;
  ShowDialog(kNewPort, proc, [&](HWND dialog) {
    seen = dialog;
    // A pointer survives whole in the user data.
    auto pointer = reinterpret_cast<LONG_PTR>(&object) | (LONG_PTR{1} << 40);
    EXPECT_EQ(SetWindowLongPtrA(dialog, GWLP_USERDATA, pointer), 0);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(GetWindowLongPtrA(dialog, GWL_USERDATA), pointer);
    EXPECT_EQ(SetWindowLongPtrA(dialog, GWLP_USERDATA, 5), pointer);
    EXPECT_EQ(SendMessageA(dialog, kOuter, 0, 0), 42) << "a nested message must not clobber the result";
    EXPECT_EQ(SendMessageA(dialog, kInner, 0, 0), 7);
    EXPECT_EQ(SendMessageA(dialog, kUnhandled, 0, 0), 0);
    EXPECT_EQ(GetWindowLongPtrA(GetDlgItem(dialog, IDOK), GWLP_ID), IDOK);
    EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dialog, kPortList)), kPortList);
    EXPECT_EQ(GetParent(GetDlgItem(dialog, kPortList)), dialog);
    // Dialog slots exist only on dialogs.
    EXPECT_EQ(SetWindowLongPtrA(GetDlgItem(dialog, IDOK), DWLP_MSGRESULT, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetWindowLongPtrA(dialog, 1234), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  });
  ASSERT_NE(seen, nullptr);
  // The dialog is gone with its controls: its handles fail and stay failed.
  EXPECT_FALSE(IsWindow(seen));
  char buffer[8] = "junk";
  EXPECT_EQ(GetWindowTextA(seen, buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(GetWindowLongPtrA(seen, GWLP_USERDATA), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(SendMessageA(seen, WM_GETTEXTLENGTH, 0, 0), 0);
  EXPECT_EQ(GetDlgItem(seen, IDOK), nullptr);
  EXPECT_FALSE(SetWindowTextA(nullptr, "x"));
}

TEST(Controls, TypingStopsAtTheLimitButSettingTheTextDoesNot) {
  g_commands.clear();
  ShowDialog(kConfigurePort, Recorder, [&](HWND dialog) {
    HWND edit = GetDlgItem(dialog, kOutputDir);
    SendMessageA(edit, EM_LIMITTEXT, 5, 0);
    EXPECT_EQ(SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 5);
    EXPECT_TRUE(dlg::TypeText(edit, "abcdefgh"));
    EXPECT_EQ(Text(dialog, kOutputDir), "abcde");
    SetDlgItemTextA(dialog, kOutputDir, "a longer text set by the program");
    EXPECT_EQ(Text(dialog, kOutputDir), "a longer text set by the program");
    // Limits count bytes: a two-byte character that would pass it is refused.
    HWND other = GetDlgItem(dialog, kExternalApp);
    SendMessageA(other, EM_LIMITTEXT, 3, 0);
    dlg::TypeText(other, "\xC3\xA4\xC3\xB6");
    EXPECT_EQ(Text(dialog, kExternalApp), "\xC3\xA4");
    // An empty text deletes what is there: one change.
    EXPECT_TRUE(dlg::TypeText(other, ""));
    EXPECT_EQ(Text(dialog, kExternalApp), "");
  });
  // Five accepted keystrokes, the program's set, one character, one delete.
  EXPECT_EQ(std::count(g_commands.begin(), g_commands.end(), "1001 768"), 6);
  EXPECT_EQ(std::count(g_commands.begin(), g_commands.end(), "1002 768"), 2);
}

TEST(Controls, FocusEnableAndCentering) {
  // WM_INITDIALOG returning TRUE puts the focus on the first tab stop.
  HWND firstStop = nullptr;
  ShowDialog(
      kConfigurePort,
      [&](HWND, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) firstStop = reinterpret_cast<HWND>(wParam);
        return message == WM_INITDIALOG ? TRUE : FALSE;
      },
      [&](HWND dialog) {
        EXPECT_EQ(firstStop, GetDlgItem(dialog, kOutputDir));
        EXPECT_EQ(GetFocus(), firstStop);
      });
  // FALSE keeps the focus the procedure chose.
  ShowDialog(
      kConfigurePort,
      [&](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) SetFocus(GetDlgItem(dialog, kStartupDir));
        return FALSE;
      },
      [&](HWND dialog) {
        EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kStartupDir));
        EXPECT_EQ(SetFocus(GetDlgItem(dialog, IDOK)), GetDlgItem(dialog, kStartupDir));
      });
  // CenterWindow as the module library computes it.
  ShowDialog(kConfigurePort, Recorder, [&](HWND dialog) {
    RECT desktop, window;
    ASSERT_TRUE(GetWindowRect(GetDesktopWindow(), &desktop));
    ASSERT_TRUE(GetWindowRect(dialog, &window));
    LONG width = window.right - window.left, height = window.bottom - window.top;
    EXPECT_EQ(width, (262 * 6 + 2) / 4);
    EXPECT_EQ(height, (135 * 13 + 4) / 8);
    int x = (desktop.right + window.left - window.right) / 2;
    int y = (desktop.bottom + window.top - window.bottom) / 2;
    ASSERT_TRUE(SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    ASSERT_TRUE(GetWindowRect(dialog, &window));
    EXPECT_EQ(window.left, x);
    EXPECT_EQ(window.top, y);
    EXPECT_LE(std::abs((window.left + window.right) - (desktop.left + desktop.right)), 1);
    EXPECT_LE(std::abs((window.top + window.bottom) - (desktop.top + desktop.bottom)), 1);
    EXPECT_EQ(window.right - window.left, width);
    // Controls follow their dialog; their rectangles are in screen pixels.
    RECT ok;
    ASSERT_TRUE(GetWindowRect(GetDlgItem(dialog, IDOK), &ok));
    EXPECT_EQ(ok.left, window.left + (128 * 6 + 2) / 4);
    EXPECT_EQ(ok.top, window.top + (114 * 13 + 4) / 8);
    RECT work;
    EXPECT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0));
    EXPECT_EQ(work.right, 1024);
    EXPECT_FALSE(SystemParametersInfoA(0x1234, 0, &work, 0));
    EXPECT_FALSE(SetWindowPos(GetDesktopWindow(), nullptr, 0, 0, 0, 0, SWP_NOSIZE));
  });
}

TEST(Controls, EditColoursComeFromTheDialogProcedure) {
  ShowDialog(
      kConfigurePort,
      [&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> INT_PTR {
        // Only the output directory gets colours.
        if (message == WM_CTLCOLOREDIT && GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == kOutputDir) {
          EXPECT_EQ(SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 127)), RGB(0, 0, 0));
          return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
        }
        return FALSE;
      },
      [&](HWND dialog) {
        COLORREF text = 0, back = 0;
        ASSERT_TRUE(dlg::GetControlColours(GetDlgItem(dialog, kOutputDir), &text, &back));
        EXPECT_EQ(text, RGB(0, 0, 127));
        EXPECT_EQ(back, RGB(255, 255, 255));
        EXPECT_FALSE(dlg::GetControlColours(GetDlgItem(dialog, kExternalApp), &text, &back));
      });
  // A device context outside the colour messages is refused.
  int bogus = 0;
  EXPECT_EQ(SetTextColor(reinterpret_cast<HDC>(&bogus), RGB(1, 2, 3)), CLR_INVALID);
  EXPECT_EQ(GetStockObject(99), nullptr);
}
