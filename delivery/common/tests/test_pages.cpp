// The page procedure, the identity and SMTP pages and the sheet, shown
// headless and driven by a script as a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "delivery/common/module.h"
#include "delivery/common/propertypage.h"
#include "delivery/common/smtppage.h"
#include "platform/dialogs/script.h"

namespace dlg = mvn::dialogs;

namespace {

std::string Text(HWND dialog, int id) {
  char buffer[1024] = "";
  GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
  return buffer;
}

class SheetTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("MVN_DIALOGS", "headless", 1);
    IdentityPage* identity = mvn::delivery::Identity();
    identity->m_applied = false;
    smtp.m_smtpServer.Assign("mail.example.com");
    smtp.m_sendTo.Assign("fax@example.com");
    record.m_dialogTitle.Assign("Configure Delivery Options");
    record.m_yourName.Assign("Ann");
    record.m_yourEmail.Assign("ann@example.com");
  }
  void TearDown() override { dlg::SetScript(nullptr); }

  // Loads the identity page from the record and shows the sheet.
  bool Show(dlg::Script script) {
    mvn::delivery::LoadIdentityPage(&record);
    dlg::SetScript(std::move(script));
    bool applied = mvn::delivery::ShowSheet(&record, &smtp, SmtpOptionsTemplate());
    dlg::SetScript(nullptr);
    return applied;
  }

  DELIVERYRECORD record;
  SmtpOptionsPage smtp;
};

}  // namespace

TEST_F(SheetTest, PagesShowTheRecordAndCancelAppliesNothing) {
  HWND sheetWindow = nullptr;
  bool applied = Show([&](HWND sheet) {
    sheetWindow = sheet;
    char caption[128] = "";
    GetWindowTextA(sheet, caption, sizeof caption);
    EXPECT_STREQ(caption, "Configure Delivery Options");
    HWND page = dlg::PageWindow(sheet, 0);
    EXPECT_EQ(Text(page, IDC_YOUR_NAME), "Ann");
    EXPECT_EQ(Text(page, IDC_EMAIL_ADDRESS), "ann@example.com");
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_KEEP_FILES), BST_UNCHECKED);
    // The sheet is centred on the desktop.
    RECT desktop{}, rect{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(sheet, &rect);
    EXPECT_LE(std::abs((rect.left + rect.right) - (desktop.left + desktop.right)), 1);
    EXPECT_LE(std::abs((rect.top + rect.bottom) - (desktop.top + desktop.bottom)), 1);
    // Every edit of both pages draws blue on white.
    for (int id : {IDC_YOUR_NAME, IDC_EMAIL_ADDRESS, IDC_IDENTITY_TOKEN}) {
      COLORREF text = 0, back = 0;
      ASSERT_TRUE(dlg::GetControlColours(GetDlgItem(page, id), &text, &back)) << id;
      EXPECT_EQ(text, 0xFF0000u);
      EXPECT_EQ(back, RGB(255, 255, 255));
    }
    ASSERT_TRUE(dlg::SelectPage(sheet, 1));
    HWND second = dlg::PageWindow(sheet, 1);
    EXPECT_EQ(Text(second, IDC_SMTP_SERVER), "mail.example.com");
    EXPECT_EQ(Text(second, IDC_SEND_TO), "fax@example.com");
    COLORREF text = 0, back = 0;
    ASSERT_TRUE(dlg::GetControlColours(GetDlgItem(second, IDC_REPLY_TO), &text, &back));
    EXPECT_EQ(text, 0xFF0000u);
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_SMTP_SERVER), "other"));
    EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL));
  });
  EXPECT_NE(sheetWindow, nullptr);
  EXPECT_FALSE(applied);
  EXPECT_FALSE(mvn::delivery::Identity()->m_applied);
  EXPECT_FALSE(smtp.m_applied);
  EXPECT_STREQ(smtp.m_smtpServer.Text(), "mail.example.com");
}

TEST_F(SheetTest, TheFirstChangeLightsApplyAndApplyTakesEveryCreatedPage) {
  bool applied = Show([&](HWND sheet) {
    EXPECT_FALSE(dlg::IsApplyEnabled(sheet));
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_YOUR_NAME), "Bob Smith"));
    EXPECT_TRUE(dlg::IsApplyEnabled(sheet));
    EXPECT_TRUE(mvn::delivery::Identity()->m_changed);
    EXPECT_TRUE(dlg::Click(dlg::FindControl(sheet, IDC_KEEP_FILES)));
    EXPECT_TRUE(dlg::SelectPage(sheet, 1));
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_REPLY_TO), "replies@example.com"));
    EXPECT_TRUE(dlg::PressButton(sheet, ID_APPLY_NOW));
    EXPECT_FALSE(dlg::IsApplyEnabled(sheet)) << "applied pages are unchanged again";
    EXPECT_FALSE(smtp.m_changed);
    EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL));
  });
  EXPECT_TRUE(applied) << "Apply then Cancel counts as applied";
  IdentityPage* identity = mvn::delivery::Identity();
  EXPECT_STREQ(identity->m_yourName.Text(), "Bob Smith");
  EXPECT_TRUE(identity->m_keepFiles);
  EXPECT_STREQ(smtp.m_replyTo.Text(), "replies@example.com");
  EXPECT_STREQ(smtp.m_smtpServer.Text(), "mail.example.com");
}

TEST_F(SheetTest, TokenRoundTrips) {
  std::string undecodable;
  {
    // A stored token whose clear form is longer than the page can show.
    CTEXTBUF64 long_token;
    std::string clear(IDENTITY_TOKEN_CLEAR_LIMIT + 1, 'q');
    EncodeIdentityToken(clear.data(), static_cast<DWORD>(clear.size()), &long_token);
    undecodable = long_token.Text();
  }
  std::string edge(IDENTITY_TOKEN_CLEAR_LIMIT, 'e');
  CTEXTBUF64 edgeStored;
  EncodeIdentityToken(edge.data(), static_cast<DWORD>(edge.size()), &edgeStored);
  struct Case {
    std::string stored;    // as loaded
    std::string shown;     // in the token field
    const char* typed;     // nullptr: confirmed without editing
    std::string expected;  // stored after OK
  } cases[] = {
      {"OG..", "a", nullptr, "OG.."},
      {"OM8.", "ab", nullptr, "OM8."},
      {"OM9Z", "abc", "ab", "OM8."},
      {"", "", "a", "OG.."},
      {"OM9Z", "abc", "", ""},
      {edgeStored.Text(), edge, nullptr, edgeStored.Text()},
      {undecodable, "", nullptr, undecodable},  // kept, not wiped
      {undecodable, "", "abc", "OM9Z"},         // a new token replaces it
      {"", "", "a token longer than the sixty-four bytes of the inline text buffer",
       "OI1qRsjbRY1iRsvdPN8WT6XXRY1qQ6KWSsbuT7ajPczrSY1YUNHbSo1lPY1qQ6KWQMviQMvb87HbU7GWOdLcPcLo"},
  };
  for (const Case& c : cases) {
    record.m_identityToken.Assign(c.stored.c_str());
    mvn::delivery::Identity()->m_applied = false;
    bool applied = Show([&](HWND sheet) {
      EXPECT_EQ(Text(dlg::PageWindow(sheet, 0), IDC_IDENTITY_TOKEN), c.shown) << c.stored;
      EXPECT_TRUE(dlg::Click(dlg::FindControl(sheet, IDC_KEEP_FILES)));  // any change, so OK applies
      if (c.typed) {
        EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_IDENTITY_TOKEN), c.typed));
      }
      EXPECT_TRUE(dlg::PressButton(sheet, IDOK));
    });
    EXPECT_TRUE(applied);
    EXPECT_EQ(std::string(mvn::delivery::Identity()->m_identityToken.Text()), c.expected)
        << "stored " << c.stored << " typed " << (c.typed ? c.typed : "(nothing)");
  }
}

TEST(DialogHelpers, TextGrowsToTheControlAndCheckBoxesRoundTrip) {
  setenv("MVN_DIALOGS", "headless", 1);
  DELIVERYRECORD record;
  record.m_dialogTitle.Assign("Title");
  SmtpOptionsPage smtp;
  std::string longText(300, 'w');
  dlg::SetScript([&](HWND sheet) {
    HWND page = dlg::PageWindow(sheet, 0);
    SetDlgItemTextA(page, IDC_YOUR_NAME, longText.c_str());
    CTEXTBUF16 text;
    EXPECT_EQ(GetDlgItemTextInto(page, IDC_YOUR_NAME, &text), 300u);
    EXPECT_EQ(std::string(text.Text()), longText);
    bool checked = true;
    SetCheckBox(page, IDC_KEEP_FILES, true);
    EXPECT_TRUE(GetCheckBox(page, IDC_KEEP_FILES, &checked));
    SetCheckBox(page, IDC_KEEP_FILES, false);
    EXPECT_FALSE(GetCheckBox(page, IDC_KEEP_FILES, &checked));
    EXPECT_FALSE(checked);
  });
  mvn::delivery::LoadIdentityPage(&record);
  mvn::delivery::ShowSheet(&record, &smtp, SmtpOptionsTemplate());
  dlg::SetScript(nullptr);
}

// The sheet is centred on the window of the program that started this one
// when the environment names it (kept on the desktop), else on the
// desktop; a value that is not four numbers of a window is no owner. The
// focus is in the start page's first field.
TEST_F(SheetTest, TheSheetOpensOnItsOwnerWindowWithTheFocusInTheFirstField) {
  const struct {
    const char* owner;  // nullptr: not set
    bool onOwner;       // else the desktop's centre
  } cases[] = {
      {nullptr, false},          {"300,200,400,300", true}, {"900,600,400,300", true},
      {"1,2,3", false},          {"1,2,3,4\n", false},      {"a,b,c,d", false},
      {"10,10,0,300", false},    {"99999999999,1,1,1", false}, {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.owner ? c.owner : "(not set)");
    if (c.owner)
      setenv(OwnerWindowVariable, c.owner, 1);
    else
      unsetenv(OwnerWindowVariable);
    RECT desktop{}, sheetRect{};
    HWND focus = nullptr, first = nullptr;
    Show([&](HWND sheet) {
      GetWindowRect(GetDesktopWindow(), &desktop);
      GetWindowRect(sheet, &sheetRect);
      focus = GetFocus();
      first = GetDlgItem(dlg::PageWindow(sheet, 0), IDC_YOUR_NAME);
    });
    EXPECT_EQ(focus, first) << "the focus is not in Your Name";
    const LONG cx = sheetRect.right - sheetRect.left, cy = sheetRect.bottom - sheetRect.top;
    LONG x = (desktop.left + desktop.right - cx) / 2, y = (desktop.top + desktop.bottom - cy) / 2;
    if (c.onOwner) {
      long left, top, width, height;
      ASSERT_EQ(std::sscanf(c.owner, "%ld,%ld,%ld,%ld", &left, &top, &width, &height), 4);
      x = std::clamp<LONG>((2 * left + width - cx) / 2, desktop.left, desktop.right - cx);
      y = std::clamp<LONG>((2 * top + height - cy) / 2, desktop.top, desktop.bottom - cy);
    }
    EXPECT_EQ(sheetRect.left, x);
    EXPECT_EQ(sheetRect.top, y);
  }
  unsetenv(OwnerWindowVariable);
}
