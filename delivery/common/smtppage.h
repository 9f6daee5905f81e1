// The SMTP options page of dlvsmtp and dlvsmtp2.
#pragma once

#include "delivery/common/module.h"
#include "delivery/common/propertypage.h"
#include "lib/config.h"
#include "lib/text.h"

class SmtpOptionsPage : public CPROPERTYPAGE {
 public:
  INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool IsChange(WORD controlId, WORD notificationCode) override;
  bool Apply(HWND window) override;

  CTEXTBUF64 m_smtpServer;
  CTEXTBUF64 m_sendTo;
  CTEXTBUF64 m_sentFrom;
  CTEXTBUF64 m_replyTo;
};

namespace mvn::delivery {

// The four mail addresses of an SMTP module's record (fields m_smtpServer,
// m_sendTo, m_sentFrom, m_replyTo), read in the settings order.
template <class R>
void ReadSmtpAddresses(CCONFIG* config, R* record) {
  config->GetString("SMTPServer", &record->m_smtpServer);
  config->GetString("SMTPSendTo", &record->m_sendTo);
  config->GetString("SMTPSentFrom", &record->m_sentFrom);
  config->GetString("SMTPReplyTo", &record->m_replyTo);
}

// Configure of an SMTP module: the identity page and the SMTP page filled
// from the record; when either page was applied, the identity keys and the
// four addresses are written from the pages and the result is true.
template <class R>
bool ConfigureSmtp(R* record, CCONFIG* config, SmtpOptionsPage* page) {
  if (!record || !config) return false;
  LoadIdentityPage(record);
  page->m_smtpServer.Assign(record->m_smtpServer.Text());
  page->m_sendTo.Assign(record->m_sendTo.Text());
  page->m_sentFrom.Assign(record->m_sentFrom.Text());
  page->m_replyTo.Assign(record->m_replyTo.Text());
  if (!ShowSheet(record, page, SmtpOptionsTemplate())) return false;
  WriteIdentitySettings(config);
  config->PutString("SMTPServer", page->m_smtpServer.Text());
  config->PutString("SMTPSendTo", page->m_sendTo.Text());
  config->PutString("SMTPSentFrom", page->m_sentFrom.Text());
  config->PutString("SMTPReplyTo", page->m_replyTo.Text());
  return true;
}

}  // namespace mvn::delivery
