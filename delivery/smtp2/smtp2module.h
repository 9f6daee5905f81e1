// dlvsmtp2: sends each job file as the one attachment of a MIME mail over
// one SMTP connection per send, with its own small SMTP client on CSOCKET.
//
// The mail is first written whole into a temporary message file ("MVN"
// prefix, in the user's private temporary directory, mode 0600), then the
// dialogue runs on port 25 of SMTPServer: greeting, "HELO <sent-from>",
// "MAIL FROM: <...>", "RCPT TO: <...>", "DATA", the message lines and
// ".", "QUIT". The message file is deleted after every send.
#pragma once

#include "delivery/common/module.h"
#include "delivery/common/smtppage.h"
#include "delivery/smtp2/csocket.h"
#include "lib/bufferedfile.h"

// The record: the common head, then dlvsmtp2's part.
struct SMTP2RECORD : DELIVERYRECORD {
  CTEXT m_lastResult;  // names a setting that holds a line break; else empty
  CTEXTBUF64 m_smtpServer;
  CTEXTBUF64 m_sendTo;
  CTEXTBUF64 m_sentFrom;
  CTEXTBUF64 m_replyTo;
  bool m_senderDefaults;
  CBUFFEREDWRITER m_log;  // the session log; its path is SMTPLogFile

  SMTP2RECORD() : m_senderDefaults(false) {}
};

// The attachment's name in the mail.
inline constexpr const char* SMTP2_ATTACHMENT_NAME = "ATTACH.XXX";
constexpr USHORT SMTP2_PORT = 25;
// The bound of each send and of each whole reply, counted from the
// command it answers (a peer that trickles bytes or sends continuation
// lines for ever is cut off there).
constexpr DWORD SMTP2_TIMEOUT = 61440;
// The most one reply may hold; a longer one is a failure.
constexpr DWORD SMTP2_REPLY_LIMIT = 65536;
// The most of a reply the session log keeps in its "S: " entry.
constexpr DWORD SMTP2_LOG_ENTRY_LIMIT = 1024;

// The reply a step of the dialogue waits for.
enum class SMTP2REPLY {
  Greeting,      // 2xx, or text without a code
  Completion,    // 2xx
  Intermediate,  // 3xx (the answer to DATA)
};
// Job bytes per body line, and per read of the job file.
constexpr DWORD SMTP2_LINE_BYTES = 48;
constexpr DWORD SMTP2_READ_BLOCK = 3072;

// Fills an empty text with a new UUID in text form (36 characters); a text
// that holds a value stays as it is. False when no UUID could be made.
bool MakeBoundary(CTEXT* boundary);
// One body line: count (up to 48) bytes as base64 characters, without pads.
// *capacity is the size of output on entry (96 for a full line) and the
// number of characters on return. True when all input was consumed.
bool Base64Encode(const BYTE* bytes, DWORD count, char* output, DWORD* capacity);
// Writes the attachment part: its header, an empty line, the job in base64
// lines of 64 characters (the last group padded with "="). False when the
// job cannot be opened or read, or the writer fails.
bool MimeAttachmentPart(const char* jobFile, CBUFFEREDWRITER* writer, const char* boundary, const char* name);

namespace mvn::delivery::smtp2 {

// The module's SMTP options page (a static object of the module).
SmtpOptionsPage* OptionsPage();

// Empties the last result, then checks SMTPServer, SMTPSendTo,
// SMTPSentFrom, SMTPReplyTo, YourName, YourEmailAddress and IdentityToken
// for line breaks; false, with the failure text in the last result, at the
// first that holds one.
bool CheckSettings(SMTP2RECORD* record);

// The five operations behind the exports. SendFile fails before anything is
// written or connected when CheckSettings fails; GetLastResult then gives
// its text ("SMTPSendTo holds a line break"), else nullptr.
SMTP2RECORD* Initialize(CCONFIG* config);
bool Configure(SMTP2RECORD* record, CCONFIG* config);
bool SendFile(SMTP2RECORD* record, const char* jobFile);
int Terminate(SMTP2RECORD* record);
const char* GetLastResult(SMTP2RECORD* record);

// Writes the whole mail for the job into the open writer and closes it.
// False when the job cannot be read or anything cannot be written.
bool WriteMessage(SMTP2RECORD* record, const char* jobFile, CBUFFEREDWRITER* writer, const char* boundary);
// The SMTP dialogue for the message file (messageSize: its length in bytes).
// True when the server accepted the message.
bool Session(SMTP2RECORD* record, const char* messageFile, ULONGLONG messageSize);
// Reads one complete reply (all lines of a multi-line reply, across as many
// receives as it takes, within SMTP2_TIMEOUT for the whole reply and at most
// SMTP2_REPLY_LIMIT bytes) into reply, and logs it as one "S: " entry. A
// reply that does not end in time, grows too long or is cut off fails and
// leaves reply empty. Bytes after the reply's last line (a reply to nothing)
// fail. A final line without a three-digit code fails, except a greeting;
// otherwise the first digit must be the one wanted.
bool ReadReply(SMTP2RECORD* record, CSOCKET* socket, CTEXT* reply, SMTP2REPLY wanted);
// Sends "verb[ argument]\r\n" with one PutData; true when all of it went.
bool SendCommand(SMTP2RECORD* record, CSOCKET* socket, const char* verb, const char* argument);
// Sends the message file (CR LF lines) in sends of up to 64 KB, every line
// that begins with "." dot-stuffed, then "\r\n.\r\n". False when the file
// cannot be read whole or a send fails (no end of data is sent then).
bool SendMessageBody(SMTP2RECORD* record, CSOCKET* socket, const char* messageFile, ULONGLONG messageSize);

// The bound of each send and each whole reply of the sessions (default
// SMTP2_TIMEOUT); tests shorten it.
void SetSessionTimeout(DWORD milliseconds);

}  // namespace mvn::delivery::smtp2
