// Property sheets (headless): what the delivery modules' two-page sheet
// relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/dialogs/tests/dialog_support.h"

using namespace dialogtest;
namespace dlg = mvn::dialogs;

namespace {

class SheetTest : public testing::Test {
 protected:
  void SetUp() override { Log().clear(); }

  // The log without the WM_COMMAND entries.
  static std::vector<std::string> Flow() {
    std::vector<std::string> flow;
    for (const std::string& e : Log())
      if (e.find(" command ") == std::string::npos) flow.push_back(e);
    return flow;
  }

  Page identity{"identity", {kName, kEmail, kToken, kKeepFiles}};
  Page options{"options", {kLocation}};
};

}  // namespace

TEST_F(SheetTest, PagesAreCreatedWhenFirstShownAndOkAppliesOnlyThose) {
  Sheet sheet(&identity, &options);
  HWND shownSheet = nullptr;
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    shownSheet = window;
    EXPECT_EQ(dlg::CurrentPage(window), 0);
    EXPECT_NE(dlg::PageWindow(window, 0), nullptr);
    EXPECT_EQ(dlg::PageWindow(window, 1), nullptr) << "the second page is not created before it is shown";
    EXPECT_EQ(GetParent(identity.window), window);
    EXPECT_EQ(identity.initParam, reinterpret_cast<LPARAM>(&identity));
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(window, kName), "Ann"));
    EXPECT_TRUE(dlg::PressButton(window, IDOK));
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Flow(), (std::vector<std::string>{"identity init", "identity setactive", "identity changed",
                                              "identity killactive", "identity apply", "identity destroy"}));
  EXPECT_TRUE(identity.applied);
  EXPECT_FALSE(options.applied);
  EXPECT_EQ(identity.notifiedBy, shownSheet);
}

TEST_F(SheetTest, OkValidatesTheCurrentPageThenAppliesEveryCreatedPageInOrder) {
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    EXPECT_TRUE(dlg::SelectPage(window, 1));
    EXPECT_EQ(dlg::CurrentPage(window), 1);
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(window, kLocation), "/srv/fax"));
    EXPECT_TRUE(dlg::PressButton(window, IDOK));
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Flow(),
            (std::vector<std::string>{"identity init", "identity setactive", "identity killactive", "options init",
                                      "options setactive", "options changed", "options killactive", "identity apply",
                                      "options apply", "identity destroy", "options destroy"}));
  EXPECT_TRUE(identity.applied);
  EXPECT_TRUE(options.applied);
}

TEST_F(SheetTest, TheStartPageIsTheOneAskedFor) {
  Sheet sheet(&identity, &options, "Sheet", 1);
  ShowSheet(sheet.header, [&](HWND window) {
    EXPECT_EQ(dlg::CurrentPage(window), 1);
    EXPECT_EQ(dlg::PageWindow(window, 0), nullptr);
  });
  EXPECT_EQ(Flow(), (std::vector<std::string>{"options init", "options setactive", "options reset", "options destroy"}));
  // A start page out of range is the first page.
  Log().clear();
  Sheet wide(&identity, &options, "Sheet", 7);
  ShowSheet(wide.header, [&](HWND window) { EXPECT_EQ(dlg::CurrentPage(window), 0); });
}

TEST_F(SheetTest, AValidationRefusalKeepsTheSheetOnThePage) {
  identity.refuse = true;
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(window, kEmail), "ann@example.com"));
    EXPECT_FALSE(dlg::SelectPage(window, 1));
    EXPECT_EQ(dlg::CurrentPage(window), 0);
    EXPECT_EQ(dlg::PageWindow(window, 1), nullptr);
    EXPECT_TRUE(dlg::PressButton(window, IDOK));
    EXPECT_TRUE(IsWindow(window)) << "OK must not close the sheet on a refusal";
    EXPECT_TRUE(dlg::PressButton(window, ID_APPLY_NOW));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(CountLog("identity apply"), 0u);
    identity.refuse = false;
    EXPECT_TRUE(dlg::PressButton(window, IDOK));
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(CountLog("identity killactive"), 4u);
  EXPECT_EQ(CountLog("identity apply"), 1u);
  EXPECT_TRUE(identity.applied);
}

TEST_F(SheetTest, ApplyThenCancelStillCountsAsApplied) {
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    EXPECT_FALSE(dlg::IsApplyEnabled(window));
    EXPECT_FALSE(dlg::PressButton(window, ID_APPLY_NOW)) << "Apply is disabled before a change";
    EXPECT_TRUE(dlg::Click(dlg::FindControl(window, kKeepFiles)));
    EXPECT_TRUE(dlg::IsApplyEnabled(window));
    EXPECT_TRUE(dlg::PressButton(window, ID_APPLY_NOW));
    EXPECT_TRUE(IsWindow(window)) << "Apply keeps the sheet open";
    EXPECT_FALSE(dlg::IsApplyEnabled(window));
    EXPECT_TRUE(dlg::PressButton(window, IDCANCEL));
  });
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(identity.applied);
  EXPECT_EQ(Flow(), (std::vector<std::string>{"identity init", "identity setactive", "identity changed",
                                              "identity killactive", "identity apply", "identity reset",
                                              "identity destroy"}));
}

TEST_F(SheetTest, CancelWithoutApplyAppliesNothing) {
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    dlg::TypeText(dlg::FindControl(window, kName), "Ann");
    dlg::SelectPage(window, 1);
    dlg::TypeText(dlg::FindControl(window, kLocation), "/srv");
    EXPECT_TRUE(dlg::PressButton(window, IDCANCEL));
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(identity.applied);
  EXPECT_FALSE(options.applied);
  EXPECT_EQ(CountLog("identity apply") + CountLog("options apply"), 0u);
  EXPECT_EQ(CountLog("identity reset"), 1u);
  EXPECT_EQ(CountLog("options reset"), 1u);
}

TEST_F(SheetTest, ChangedAndUnchangedDriveApply) {
  Sheet sheet(&identity, &options);
  ShowSheet(sheet.header, [&](HWND window) {
    // Typing sends one PSM_CHANGED however many keystrokes.
    dlg::TypeText(dlg::FindControl(window, kName), "Annabel");
    EXPECT_EQ(CountLog("identity command 1008 768"), 7u);
    EXPECT_EQ(CountLog("identity changed"), 1u);
    EXPECT_TRUE(dlg::IsApplyEnabled(window));
    // Leaving the page clears its changed flag (it validated), Apply stays.
    dlg::SelectPage(window, 1);
    dlg::TypeText(dlg::FindControl(window, kLocation), "/srv");
    HWND first = dlg::PageWindow(window, 0);
    HWND second = dlg::PageWindow(window, 1);
    // Two pages changed: one unchanged page keeps Apply on.
    SendMessageA(window, PSM_CHANGED, reinterpret_cast<WPARAM>(first), 0);
    SendMessageA(window, PSM_UNCHANGED, reinterpret_cast<WPARAM>(first), 0);
    EXPECT_TRUE(dlg::IsApplyEnabled(window));
    SendMessageA(window, PSM_UNCHANGED, reinterpret_cast<WPARAM>(second), 0);
    EXPECT_FALSE(dlg::IsApplyEnabled(window));
    // Only pages of the sheet count.
    EXPECT_EQ(SendMessageA(window, PSM_CHANGED, reinterpret_cast<WPARAM>(window), 0), FALSE);
    EXPECT_FALSE(dlg::IsApplyEnabled(window));
  });
}

TEST_F(SheetTest, TextsSetDuringInitialisationDoNotMarkThePageChanged) {
  identity.onInit = [](HWND page) {
    SetDlgItemTextA(page, kName, "Ann");
    SetDlgItemTextA(page, kEmail, "ann@example.com");
    CheckDlgButton(page, kKeepFiles, BST_CHECKED);
  };
  std::string name;
  identity.onApply = [&](HWND page) { name = Text(page, kName); };
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    EXPECT_EQ(CountLog("identity command 1008 768"), 1u) << "setting an edit's text notifies";
    EXPECT_EQ(CountLog("identity changed"), 0u);
    EXPECT_FALSE(dlg::IsApplyEnabled(window));
    EXPECT_EQ(Text(dlg::PageWindow(window, 0), kName), "Ann");
    EXPECT_EQ(IsDlgButtonChecked(dlg::PageWindow(window, 0), kKeepFiles), BST_CHECKED);
    dlg::PressButton(window, IDOK);
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(name, "Ann");
}

TEST_F(SheetTest, APageThatRefusesTheApplyKeepsTheSheetOpen) {
  // PSNRET_INVALID: the refusing page comes forward.
  options.applyResult = PSNRET_INVALID;
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    dlg::SelectPage(window, 1);
    dlg::SelectPage(window, 0);
    EXPECT_TRUE(dlg::PressButton(window, IDOK));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(dlg::CurrentPage(window), 1);
    // PSNRET_INVALID_NOCHANGEPAGE: the current page stays.
    options.applyResult = PSNRET_INVALID_NOCHANGEPAGE;
    dlg::SelectPage(window, 0);
    dlg::PressButton(window, IDOK);
    EXPECT_EQ(dlg::CurrentPage(window), 0);
    EXPECT_TRUE(IsWindow(window));
    dlg::PressButton(window, IDCANCEL);
  });
  // The first page accepted its apply both times: that counts.
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(identity.applied);
  EXPECT_FALSE(options.applied);
}

TEST_F(SheetTest, EditsOfThePagesAreBlueOnWhite) {
  Sheet sheet(&identity, &options);
  ShowSheet(sheet.header, [&](HWND window) {
    dlg::SelectPage(window, 1);
    for (auto [page, id] : {std::pair{0, kName}, {0, kEmail}, {0, kToken}, {1, kLocation}}) {
      COLORREF text = 0, back = 0;
      ASSERT_TRUE(dlg::GetControlColours(GetDlgItem(dlg::PageWindow(window, page), id), &text, &back)) << id;
      EXPECT_EQ(text, 0xFF0000u) << id;
      EXPECT_EQ(back, RGB(255, 255, 255)) << id;
    }
    EXPECT_FALSE(dlg::GetControlColours(GetDlgItem(dlg::PageWindow(window, 0), kKeepFiles), nullptr, nullptr));
  });
}

TEST_F(SheetTest, TheSheetCanBeCentredFromItsFirstPage) {
  RECT before{}, after{}, desktop{};
  identity.onInit = [&](HWND page) {
    HWND window = GetParent(page);
    GetWindowRect(window, &before);
    GetWindowRect(GetDesktopWindow(), &desktop);
    int x = (desktop.right + before.left - before.right) / 2;
    int y = (desktop.bottom + before.top - before.bottom) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(window, &after);
  };
  Sheet sheet(&identity, &options);
  INT_PTR result = ShowSheet(sheet.header, [&](HWND window) {
    char caption[64];
    GetWindowTextA(window, caption, sizeof(caption));
    EXPECT_STREQ(caption, "Configure Delivery Options");
    // Pages of 212 x 108 dialog units, the sheet larger by its tabs and buttons.
    RECT page;
    GetWindowRect(dlg::PageWindow(window, 0), &page);
    EXPECT_EQ(page.right - page.left, (212 * 6 + 2) / 4);
    EXPECT_EQ(page.bottom - page.top, (108 * 13 + 4) / 8);
    EXPECT_GT(after.right - after.left, page.right - page.left);
    EXPECT_GE(page.left, after.left);
    EXPECT_LE(page.bottom, after.bottom);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  EXPECT_LE(std::abs((after.left + after.right) - (desktop.left + desktop.right)), 1);
  EXPECT_LE(std::abs((after.top + after.bottom) - (desktop.top + desktop.bottom)), 1);
  EXPECT_NE(before.left, after.left) << "the sheet does not start centred";
}

TEST_F(SheetTest, BadHeadersAndPagesFail) {
  Sheet good(&identity, &options);
  auto expectFailure = [&](PROPSHEETHEADERA header, DWORD error) {
    SetLastError(0);
    EXPECT_EQ(ShowSheet(header, [](HWND) { ADD_FAILURE() << "never shown"; }), -1);
    EXPECT_EQ(GetLastError(), error);
  };
  PROPSHEETHEADERA h = good.header;
  h.dwFlags = 0;
  expectFailure(h, ERROR_INVALID_PARAMETER);
  h = good.header;
  h.nPages = 0;
  expectFailure(h, ERROR_INVALID_PARAMETER);
  h = good.header;
  h.dwSize = 8;
  expectFailure(h, ERROR_INVALID_PARAMETER);
  h = good.header;
  h.ppsp = nullptr;
  expectFailure(h, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(PropertySheetA(nullptr), -1);
  Sheet badPage(&identity, &options);
  badPage.pages[1].pszTemplate = MAKEINTRESOURCEA(999);
  expectFailure(badPage.header, ERROR_RESOURCE_NAME_NOT_FOUND);
  Sheet noProc(&identity, &options);
  noProc.pages[0].pfnDlgProc = nullptr;
  expectFailure(noProc.header, ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Log().empty());
}

TEST_F(SheetTest, WithoutAScriptOrDisplayTheStartPageIsCreatedAndTheSheetCancelled) {
  EXPECT_EXIT(
      {
        Sheet sheet(&identity, &options);
        INT_PTR result = PropertySheetA(&sheet.header);
        bool ok = result == 0 && CountLog("identity init") == 1 && CountLog("identity reset") == 1 &&
                  CountLog("options init") == 0 && !identity.applied;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), testing::HasSubstr("\"Configure Delivery Options\" was closed as cancelled"));
}

TEST_F(SheetTest, AnExceptionInAPageLeavesPropertySheet) {
  options.onInit = [](HWND) { throw std::runtime_error("fault in page"); };
  Sheet sheet(&identity, &options);
  HWND shown = nullptr;
  EXPECT_THROW(ShowSheet(sheet.header,
                         [&](HWND window) {
                           shown = window;
                           EXPECT_FALSE(dlg::SelectPage(window, 1));
                           EXPECT_FALSE(dlg::PressButton(window, IDOK));
                         }),
               std::runtime_error);
  EXPECT_FALSE(IsWindow(shown));
  EXPECT_EQ(CountLog("identity apply"), 0u);
}
