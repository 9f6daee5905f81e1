// The SMTP options page.
#include "delivery/common/smtppage.h"

#include "delivery/common/resources.h"

INT_PTR SmtpOptionsPage::OnMessage(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetDlgItemTextFrom(window, IDC_SMTP_SERVER, &m_smtpServer);
    SetDlgItemTextFrom(window, IDC_SEND_TO, &m_sendTo);
    SetDlgItemTextFrom(window, IDC_SENT_FROM, &m_sentFrom);
    SetDlgItemTextFrom(window, IDC_REPLY_TO, &m_replyTo);
  }
  return 0;
}

bool SmtpOptionsPage::IsChange(WORD controlId, WORD notificationCode) {
  switch (controlId) {
    case IDC_SMTP_SERVER:
    case IDC_SENT_FROM:
    case IDC_REPLY_TO:
    case IDC_SEND_TO:
      return notificationCode == EN_CHANGE;
    default:
      return false;
  }
}

bool SmtpOptionsPage::Apply(HWND window) {
  GetDlgItemTextInto(window, IDC_SMTP_SERVER, &m_smtpServer);
  GetDlgItemTextInto(window, IDC_SEND_TO, &m_sendTo);
  GetDlgItemTextInto(window, IDC_SENT_FROM, &m_sentFrom);
  GetDlgItemTextInto(window, IDC_REPLY_TO, &m_replyTo);
  return CPROPERTYPAGE::Apply(window);
}
