// The SMTP options page of dlvsmtp and dlvsmtp2.
#pragma once

#include "delivery/common/propertypage.h"
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
