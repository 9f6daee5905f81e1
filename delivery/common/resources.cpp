// Resources of the modules: the string table and the dialog templates of
// the pages (212 by 108 dialog units, framed by a group box).
#include "delivery/common/resources.h"
#include "platform/kernel/utf.h"

#include <cstring>

namespace {

struct StringResource {
  UINT id;
  const char* text;
};

constexpr StringResource kStrings[] = {
    {IDS_WORK_OFFLINE, "Work Offline"},
    {IDS_CONFIGURE_DELIVERY_OPTIONS, "Configure Delivery Options"},
};

constexpr const char* kFont = "MS Sans Serif";
constexpr WORD kPointSize = 8;
constexpr short kWidth = 212;
constexpr short kHeight = 108;
constexpr DWORD kEditStyle = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;

constexpr DialogControl kIdentityControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 198, 98, 0},
    {IDC_STATIC, DialogControlKind::Static, "Your Name :", 15, 18, 60, 8, 0},
    {IDC_YOUR_NAME, DialogControlKind::Edit, "", 80, 16, 118, 12, kEditStyle},
    {IDC_STATIC, DialogControlKind::Static, "Email Address :", 15, 38, 60, 8, 0},
    {IDC_EMAIL_ADDRESS, DialogControlKind::Edit, "", 80, 36, 118, 12, kEditStyle},
    {IDC_STATIC, DialogControlKind::Static, "Identity Token :", 15, 58, 60, 8, 0},
    {IDC_IDENTITY_TOKEN, DialogControlKind::Edit, "", 80, 56, 118, 12, kEditStyle},
    {IDC_KEEP_FILES, DialogControlKind::CheckBox, "Keep Files :", 15, 78, 75, 10, BS_LEFTTEXT | WS_TABSTOP},
};

constexpr DialogControl kSmtpControls[] = {
    {IDC_STATIC, DialogControlKind::GroupBox, "", 7, 3, 198, 98, 0},
    {IDC_STATIC, DialogControlKind::Static, "SMTP Server :", 15, 18, 60, 8, 0},
    {IDC_SMTP_SERVER, DialogControlKind::Edit, "", 80, 16, 118, 12, kEditStyle},
    {IDC_STATIC, DialogControlKind::Static, "Send To :", 15, 38, 60, 8, 0},
    {IDC_SEND_TO, DialogControlKind::Edit, "", 80, 36, 118, 12, kEditStyle},
    {IDC_STATIC, DialogControlKind::Static, "Sent From :", 15, 58, 60, 8, 0},
    {IDC_SENT_FROM, DialogControlKind::Edit, "", 80, 56, 118, 12, kEditStyle},
    {IDC_STATIC, DialogControlKind::Static, "Reply To :", 15, 78, 60, 8, 0},
    {IDC_REPLY_TO, DialogControlKind::Edit, "", 80, 76, 118, 12, kEditStyle},
};

}  // namespace

int LoadModuleString(UINT id, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  for (const StringResource& s : kStrings) {
    if (s.id != id) continue;
    int n = static_cast<int>(std::strlen(s.text));
    if (n > size - 1)
      n = static_cast<int>(mvn::kernel::Utf8CutPoint(s.text, static_cast<std::size_t>(size - 1)));
    std::memcpy(buffer, s.text, static_cast<size_t>(n));
    buffer[n] = '\0';
    return n;
  }
  return 0;
}

DialogTemplate IdentityPageTemplate(WORD id) {
  return {id,     "Your Identity", kWidth, kHeight, kFont, kPointSize, 0, kIdentityControls,
          static_cast<UINT>(sizeof kIdentityControls / sizeof kIdentityControls[0])};
}

DialogTemplate SmtpOptionsTemplate() {
  return {IDD_TRANSPORT, "SMTP Delivery Options", kWidth, kHeight, kFont, kPointSize, 0, kSmtpControls,
          static_cast<UINT>(sizeof kSmtpControls / sizeof kSmtpControls[0])};
}
