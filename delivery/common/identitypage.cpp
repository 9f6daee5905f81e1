// The identity page.
#include "delivery/common/identitypage.h"

#include "delivery/common/decode64.h"
#include "delivery/common/resources.h"
#include "lib/encode.h"

#include <cstring>

void EncodeIdentityToken(const char* clear, DWORD length, CTEXT* token) {
  if (!clear || length == 0) {
    token->Empty();
    return;
  }
  // Four characters per three bytes and the NUL.
  DWORD needed = (length + 2) / 3 * 4 + 1;
  token->Reserve(needed);
  DWORD capacity = token->Capacity();
  if (!Encode64Block(reinterpret_cast<const BYTE*>(clear), length, token->Buffer(), &capacity)) token->Empty();
}

bool DecodeIdentityToken(const char* stored, char* buffer, DWORD* length) {
  DWORD capacity = IDENTITY_TOKEN_CLEAR_LIMIT;
  bool ok = Decode64Block(stored, stored ? static_cast<DWORD>(std::strlen(stored)) : 0, reinterpret_cast<BYTE*>(buffer), &capacity);
  if (!ok) capacity = 0;
  buffer[capacity] = '\0';  // the buffer holds one byte more than the limit
  *length = capacity;
  return ok;
}

void IdentityPage::Load(const char* yourName, const char* yourEmail, const char* storedToken, bool keepFiles) {
  m_yourName.Assign(yourName);
  m_yourEmail.Assign(yourEmail);
  m_identityToken.Assign(storedToken);
  m_keepFiles = keepFiles;
}

INT_PTR IdentityPage::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    m_filling = true;
    m_tokenEdited = false;
    m_tokenUndecodable = false;
    CenterWindow(GetParent(window));
    SetDlgItemTextFrom(window, IDC_YOUR_NAME, &m_yourName);
    SetDlgItemTextFrom(window, IDC_EMAIL_ADDRESS, &m_yourEmail);
    SendDlgItemMessageA(window, IDC_IDENTITY_TOKEN, EM_LIMITTEXT, IDENTITY_TOKEN_CLEAR_LIMIT, 0);
    if (!m_identityToken.IsEmpty()) {
      char clear[IDENTITY_TOKEN_CLEAR_LIMIT + 1];
      DWORD length = 0;
      if (DecodeIdentityToken(m_identityToken.Text(), clear, &length))
        SetDlgItemTextA(window, IDC_IDENTITY_TOKEN, clear);
      else
        m_tokenUndecodable = true;
    }
    SetCheckBox(window, IDC_KEEP_FILES, m_keepFiles);
    m_filling = false;
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDC_IDENTITY_TOKEN && HIWORD(wParam) == EN_CHANGE &&
             !m_filling) {
    m_tokenEdited = true;
  }
  return 0;
}

bool IdentityPage::IsChange(WORD controlId, WORD notificationCode) {
  switch (controlId) {
    case IDC_IDENTITY_TOKEN:
    case IDC_YOUR_NAME:
    case IDC_EMAIL_ADDRESS:
      return notificationCode == EN_CHANGE;
    case IDC_KEEP_FILES:
      return notificationCode == BN_CLICKED;
    default:
      return false;
  }
}

bool IdentityPage::Apply(HWND window) {
  GetDlgItemTextInto(window, IDC_YOUR_NAME, &m_yourName);
  GetDlgItemTextInto(window, IDC_EMAIL_ADDRESS, &m_yourEmail);
  CTEXTBUF256 clear;
  GetDlgItemTextInto(window, IDC_IDENTITY_TOKEN, &clear);
  // A stored token the page could not show stays as it is unless the user
  // typed a new one: confirming the sheet must not wipe it.
  if (!(m_tokenUndecodable && !m_tokenEdited)) EncodeIdentityToken(clear.Text(), clear.Length(), &m_identityToken);
  GetCheckBox(window, IDC_KEEP_FILES, &m_keepFiles);
  return CPROPERTYPAGE::Apply(window);
}
