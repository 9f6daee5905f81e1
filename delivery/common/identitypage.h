// The "Your Identity" page every module shows first: sender name, e-mail
// address, identity token (shown in clear, kept encoded) and keep files.
#pragma once

#include "delivery/common/propertypage.h"
#include "lib/text.h"

// The longest clear token the page shows and takes (bytes).
constexpr DWORD IDENTITY_TOKEN_CLEAR_LIMIT = 256;

class IdentityPage : public CPROPERTYPAGE {
 public:
  // Loads the page from the module's record (the token in stored form).
  void Load(const char* yourName, const char* yourEmail, const char* storedToken, bool keepFiles);

  // WM_INITDIALOG: centres the sheet, fills the controls (the token
  // decoded; a token that does not decode leaves its field empty).
  INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  // The three edits (EN_CHANGE) and the check box (BN_CLICKED).
  bool IsChange(WORD controlId, WORD notificationCode) override;
  // Reads the controls; the token is encoded again, or kept as stored when
  // it did not decode and its field was not edited.
  bool Apply(HWND window) override;

  CTEXTBUF64 m_yourName;
  CTEXTBUF64 m_yourEmail;
  CTEXTBUF64 m_identityToken;  // stored (encoded) form
  bool m_keepFiles = false;

 private:
  bool m_filling = false;          // the page is filling its own controls
  bool m_tokenUndecodable = false; // the stored token could not be shown
  bool m_tokenEdited = false;      // the token field changed since it was shown
};

// Encodes clear bytes into the stored token form (one run of characters,
// "." pads), growing the text as needed; an empty input empties it.
void EncodeIdentityToken(const char* clear, DWORD length, CTEXT* token);
// Decodes a stored token into clear text of at most
// IDENTITY_TOKEN_CLEAR_LIMIT bytes (buffer of that size + 1, NUL-ended);
// false when it does not decode (buffer empty).
bool DecodeIdentityToken(const char* stored, char* buffer, DWORD* length);
