#include "delivery/smtp/smtpmodule.h"

#include <cstdio>
#include <cstring>

#include "delivery/common/notifysmtp.h"
#include "smtpengine/smtpengine.h"

MVN_STATIC_OBJECT(SmtpOptionsPage, g_smtpOptionsPage);

using namespace mvn::smtpengine;

namespace mvn::delivery {

namespace {

constexpr std::int32_t kChannel = 0;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

namespace SmtpModule {

SmtpOptionsPage* OptionsPage() { return g_smtpOptionsPage.Get(); }

void AttachEngine() { smeAttach(1); }

void ReleaseEngine() {
  SMERESULT result = EngineRelease();
  if (result < 0) {
    char text[256] = {};
    smeErrorText(kChannel, result, text, sizeof text);
    g_pXXHeap->Notify(NOTIFY_SMEFUNCTIONERROR, "SmeCall", text, nullptr);
  }
}

SMTPRECORD* Initialize(CCONFIG* config) {
  (void)NotifySmtpSource();
  SMTPRECORD* record = mvn::delivery::NewRecord<SMTPRECORD>();
  if (config) {
    mvn::delivery::ReadHeadSettings(config, record);
    config->GetEntryList("SmeIntegerParams", &record->m_smeIntegerParams);
    config->GetEntryList("SmeStringParams", &record->m_smeStringParams);
    config->GetString("SMTPLogFile", &record->m_smtpLogFile);
    mvn::delivery::ReadSmtpAddresses(config, record);
    mvn::delivery::ReadSenderDefaults(config, &record->m_senderDefaults);
  } else {
    mvn::delivery::SetDefaultDialogTitle(record);
  }
  return record;
}

bool Configure(SMTPRECORD* record, CCONFIG* config) { return mvn::delivery::ConfigureSmtp(record, config, OptionsPage()); }

LONG ParseNumber(const char* text, bool isSigned) {
  if (!text) return 0;
  while (IsBlank(*text)) ++text;
  bool negative = false;
  if (isSigned && (*text == '-' || *text == '+')) negative = *text++ == '-';
  std::uint64_t value = 0;
  constexpr std::uint64_t kLimit = 0xFFFFFFFFu;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (text += 2;; ++text) {
      int digit = (*text >= '0' && *text <= '9')   ? *text - '0'
                  : (*text >= 'a' && *text <= 'f') ? *text - 'a' + 10
                  : (*text >= 'A' && *text <= 'F') ? *text - 'A' + 10
                                                   : -1;
      if (digit < 0) break;
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > kLimit) value = kLimit;
    }
  } else {
    for (; *text >= '0' && *text <= '9'; ++text) {
      value = value * 10 + static_cast<std::uint64_t>(*text - '0');
      if (value > kLimit) value = kLimit;
    }
  }
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  if (isSigned) {
    if (bits > 0x7FFFFFFFu) bits = 0x7FFFFFFFu;
    return negative ? -static_cast<LONG>(bits) : static_cast<LONG>(bits);
  }
  return static_cast<LONG>(bits);
}

void AttachmentPath(const char* jobFile, CTEXT* path) {
  const char* name = jobFile;
  for (const char* p = jobFile; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  path->AssignN(jobFile, static_cast<DWORD>(name - jobFile));
  path->Append(SMTP_ATTACHMENT_NAME);
}

// An engine text ends with the server's reply as it came, line ends
// included: a failure text is one line, so the trailing blanks and line
// ends go and each run of line ends inside (a reply of several lines)
// becomes one blank. In place, on a NUL-terminated text.
static void OneLine(char* text) {
  std::size_t length = 0;
  for (std::size_t i = 0; text[i]; ++i) {
    bool lineEnd = text[i] == '\r' || text[i] == '\n';
    if (!lineEnd) {
      text[length++] = text[i];
    } else if (length > 0 && text[length - 1] != ' ') {
      text[length++] = ' ';
    }
  }
  while (length > 0 && text[length - 1] == ' ') --length;
  text[length] = '\0';
}

bool EngineResult(SMTPRECORD* record, const char* operation) {
  if (record->m_lastEngineResult >= 0) return true;
  char text[256] = {};
  smeErrorText(kChannel, record->m_lastEngineResult, text, sizeof text);
  OneLine(text);
  char message[1024];
  std::snprintf(message, sizeof message, "%s - %s", operation, text);
  record->m_lastResult.Assign(message);
  return false;
}

bool CheckAddress(SMTPRECORD* record, bool required, CTEXT* address, const char* setting) {
  if (address->IsEmpty()) {
    if (!required) return true;
    // Said in so many words: which setting is missing.
    char message[256];
    std::snprintf(message, sizeof message, "%s - EMPTY email address.", setting);
    record->m_lastResult.Assign(message);
    return false;
  }
  record->m_lastEngineResult = smeVerifyFormat(address->Text());
  if (EngineResult(record, "smeVerifyFormat")) return true;
  CTEXT bracketed;
  bracketed.Join3("<", address->Text(), ">");
  address->Assign(bracketed.Text());
  record->m_lastEngineResult = smeVerifyFormat(address->Text());
  return EngineResult(record, "smeVerifyFormat");
}

namespace {

bool OpenSession(SMTPRECORD* record) {
  CTEXT name;
  CTEXT value;
  const char* cursor = nullptr;
  while (record->m_smeIntegerParams.NextEntry(&cursor, &name, &value))
    smeIntegerParam(kChannel, ParseNumber(name.Text(), true), ParseNumber(value.Text(), false));
  cursor = nullptr;
  while (record->m_smeStringParams.NextEntry(&cursor, &name, &value))
    smeStringParam(kChannel, ParseNumber(name.Text(), true), value.Text());
  if (!record->m_smtpLogFile.IsEmpty()) smeStringParam(kChannel, 20, record->m_smtpLogFile.Text());

  if (!CheckAddress(record, true, &record->m_sendTo, "SMTPSendTo")) return false;
  if (!CheckAddress(record, true, &record->m_sentFrom, "SMTPSentFrom")) return false;
  if (!CheckAddress(record, false, &record->m_replyTo, "SMTPReplyTo")) return false;
  record->m_lastEngineResult = smeSmtpConnect(kChannel, record->m_smtpServer.Text(), record->m_sentFrom.Text(),
                                              record->m_replyTo.Text());
  if (!EngineResult(record, "smeSmtpConnect")) {
    // Which server it was and the system's reason, for the person who
    // reads the text.
    SMERESULT socketCode = smeGetCounter(kChannel, 4);
    if (socketCode < 0 && socketCode != record->m_lastEngineResult) {
      char text[256] = {};
      smeErrorText(kChannel, socketCode, text, sizeof text);
      OneLine(text);
      if (text[0]) record->m_lastResult.Append2(" ", text);
    }
    record->m_lastResult.Append2(" (SMTPServer ", record->m_smtpServer.IsEmpty() ? "not set" : record->m_smtpServer.Text());
    record->m_lastResult.Append(")");
    return false;
  }
  record->m_sessionOpen = true;
  return true;
}

}  // namespace

bool SendFile(SMTPRECORD* record, const char* jobFile) {
  if (!record || !jobFile || !*jobFile) return false;
  // The engine takes its attachment argument as a comma list: a comma in
  // the job's path would send another file. Refused before anything is
  // connected or renamed.
  if (std::strchr(jobFile, ',')) {
    CTEXT message;
    message.Join3("smeSendEmail - the job's path ", jobFile,
                  " holds a comma, which the engine reads as a list of files: set WorkingPath to a folder "
                  "whose path has no comma");
    record->m_lastResult.Assign(message.Text());
    return false;
  }
  if (!record->m_sessionOpen && !OpenSession(record)) return false;
  char subject[64];
  std::snprintf(subject, sizeof subject, "MVN::SEND,SENDER-DEFAULTS=%s", record->m_senderDefaults ? "yes" : "no");
  CTEXT attachment;
  AttachmentPath(jobFile, &attachment);
  DeleteFileA(attachment.Text());
  if (!MoveFileA(jobFile, attachment.Text())) {
    CTEXT what;
    what.Join3("cannot rename the job ", jobFile, " to");
    return mvn::delivery::SetFailure(&record->m_lastResult, what.Text(), attachment.Text(), GetLastError());
  }
  record->m_lastEngineResult =
      smeSendEmail(kChannel, record->m_sendTo.Text(), nullptr, nullptr, subject, "", attachment.Text());
  MoveFileA(attachment.Text(), jobFile);
  bool sent = EngineResult(record, "smeSendEmail");
  // A failed dialogue has closed the engine's connection: the next send
  // connects again.
  if (!sent) record->m_sessionOpen = false;
  return sent;
}

int Terminate(SMTPRECORD* record) {
  if (!record) return 0;
  if (record->m_sessionOpen) {
    smeClose(kChannel);
    record->m_sessionOpen = false;
  }
  mvn::delivery::DeleteRecord(record);
  return 0;
}

const char* GetLastResult(SMTPRECORD* record) {
  if (!record || record->m_lastResult.IsEmpty()) return nullptr;
  return record->m_lastResult.Text();
}

}  // namespace SmtpModule

}  // namespace mvn::delivery
