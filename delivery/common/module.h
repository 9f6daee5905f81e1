// The skeleton every delivery module is built on: the head of the module
// record, the settings every module reads and writes through the host's
// configuration object, and the two-page configuration sheet.
//
// A module exports exactly Initialize, Terminate, Configure, SendFile and
// GetLastResult (delivery/exports.h); the host binds them by name.
// The host's CCONFIG is valid only during Initialize and Configure and is
// called only through its slots; it fills the module's texts through theirs,
// so every buffer stays in the module's private heap.
#pragma once

#include <new>

#include "delivery/common/identitypage.h"
#include "delivery/exports.h"
#include "delivery/common/propertypage.h"
#include "delivery/common/resources.h"
#include "lib/config.h"
#include "lib/cxxlib.h"
#include "lib/text.h"


// The head of every module record.
struct DELIVERYRECORD {
  CTEXTBUF64 m_dialogTitle;    // DialogTitle: the sheet's caption
  CTEXTBUF64 m_yourName;       // YourName
  CTEXTBUF64 m_yourEmail;      // YourEmailAddress
  CTEXTBUF64 m_identityToken;  // IdentityToken, stored (encoded) form
  bool m_keepFiles;            // KeepFiles: carried through the sheet only

  DELIVERYRECORD() : m_keepFiles(false) {}
};

namespace mvn::delivery {

// A record of type R, zero-filled from the private heap and built there.
template <class R>
R* NewRecord() {
  return new (g_pXXHeap->AllocZero(sizeof(R), nullptr)) R();
}
template <class R>
void DeleteRecord(R* record) {
  if (!record) return;
  record->~R();
  g_pXXHeap->Free(record);
}

// Reads DialogTitle (string resource 2 when absent, cut to the title's
// capacity), YourName, YourEmailAddress, IdentityToken (as stored) and
// KeepFiles, in this order. Nothing read fails the call.
void ReadHeadSettings(CCONFIG* config, DELIVERYRECORD* record);
// The sheet caption from string resource 2, cut to the title's capacity.
void SetDefaultDialogTitle(DELIVERYRECORD* record);
// Reads SenderDefaults (the last key); false when it cannot be read.
void ReadSenderDefaults(CCONFIG* config, bool* senderDefaults);

// The module's identity page (a static object of the module).
IdentityPage* Identity();
// Copies the record's name, address, stored token and keep files into the
// identity page.
void LoadIdentityPage(const DELIVERYRECORD* record);
// Shows the sheet: the identity page (template identityTemplate), then the
// module's transport page (transportTemplate), with the record's dialog
// title as caption. True when either page has been applied.
bool ShowSheet(const DELIVERYRECORD* record, CPROPERTYPAGE* transportPage, const DialogTemplate& transportTemplate,
               WORD identityTemplate = IDD_IDENTITY);
// Writes YourName, YourEmailAddress, IdentityToken and KeepFiles from the
// identity page, in this order; results are ignored.
void WriteIdentitySettings(CCONFIG* config);

// Settings reach a module through %NAME% expansion (environment, command
// line, variables) as well as from INI lines, so a value may hold a line
// break. A value that goes into a line of a mail, an SMTP command or a
// frame must not: it would end that line and start one of its own.
// CheckSettingLine is true when the value holds no CR and no LF (a NUL
// cannot be held: it ends the text); otherwise false with
// "<key> holds a line break" in *failure.
bool CheckSettingLine(const char* key, const CTEXT& value, CTEXT* failure);
// CheckSettingLine on YourName, YourEmailAddress and IdentityToken.
bool CheckIdentityLines(const DELIVERYRECORD* record, CTEXT* failure);

// A failure text a person can act on: "<what> <path>: <system text>" (the
// path left out when empty, the system text when error is ERROR_SUCCESS).
// Always returns false, so a failing step can end with it.
bool SetFailure(CTEXT* failure, const char* what, const char* path, DWORD error);

}  // namespace mvn::delivery
