// dlvsmtp: sends each job file as the attachment of an SMTP mail through
// the SMTP engine built into the module (channel 0). The engine's
// parameters come from the settings; the module checks the three
// addresses with the engine, connects at the first send, keeps that
// connection for the further sends and closes it in Terminate. After a
// failed send it connects again at the next one.
#pragma once

#include "delivery/common/module.h"
#include "delivery/common/smtppage.h"
#include "lib/stringlist.h"

namespace mvn::delivery {

// The record: the common head, then dlvsmtp's part.
struct SMTPRECORD : DELIVERYRECORD {
  LONG m_lastEngineResult;
  bool m_sessionOpen;
  CTEXT m_lastResult;  // no inline buffer: empty (NULL) until the first failure
  CSTRINGLIST m_smeIntegerParams;
  CSTRINGLIST m_smeStringParams;
  CTEXT m_smtpLogFile;
  CTEXTBUF64 m_smtpServer;
  CTEXTBUF64 m_sendTo;
  CTEXTBUF64 m_sentFrom;
  CTEXTBUF64 m_replyTo;
  bool m_senderDefaults;

  SMTPRECORD() : m_lastEngineResult(0), m_sessionOpen(false), m_senderDefaults(false) {}
};

// The attachment's name, in the job file's own directory.
inline constexpr const char* SMTP_ATTACHMENT_NAME = "ATTACH.XXX";

namespace SmtpModule {

// The module's SMTP options page (a static object of the module).
SmtpOptionsPage* OptionsPage();

// The engine from load to unload: one channel.
void AttachEngine();
void ReleaseEngine();

// The five operations behind the exports.
SMTPRECORD* Initialize(CCONFIG* config);
bool Configure(SMTPRECORD* record, CCONFIG* config);
bool SendFile(SMTPRECORD* record, const char* jobFile);
int Terminate(SMTPRECORD* record);
const char* GetLastResult(SMTPRECORD* record);

// True when the last engine result is 0 or more; otherwise the last-result
// text becomes "<operation> - <engine text>".
bool EngineResult(SMTPRECORD* record, const char* operation);
// Checks an address with the engine, then once more in angle brackets (the
// bracketed form then stays in the record). An empty address passes when
// it is optional and fails with "<setting> - EMPTY email address." when it
// is required.
bool CheckAddress(SMTPRECORD* record, bool required, CTEXT* address, const char* setting);
// A number of an engine parameter entry: after leading white space, "0x" or
// "0X" and hexadecimal digits, or decimal digits (with a sign when signed
// is true), up to the first other character; 0 when there are none. Values
// beyond 32 bits stop at the largest one.
LONG ParseNumber(const char* text, bool isSigned);
// The job path with its file-name part replaced by ATTACH.XXX.
void AttachmentPath(const char* jobFile, CTEXT* path);

}  // namespace SmtpModule

}  // namespace mvn::delivery
