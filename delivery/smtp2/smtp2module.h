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
  CTEXT m_lastResult;  // never filled: GetLastResult gives no text
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
constexpr DWORD SMTP2_TIMEOUT = 61440;
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

namespace Smtp2Module {

// The module's SMTP options page (a static object of the module).
SmtpOptionsPage* OptionsPage();

// The five operations behind the exports.
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
// receives as it takes) into reply. A reply whose final line has no
// three-digit code fails, except a greeting. True for codes 1xx-3xx.
bool ReadReply(SMTP2RECORD* record, CSOCKET* socket, CTEXT* reply, bool greeting);
// Sends "verb[ argument]\r\n" with one PutData; true when all of it went.
bool SendCommand(SMTP2RECORD* record, CSOCKET* socket, const char* verb, const char* argument);
// Sends the message file (CR LF lines, none beginning with ".") as it is,
// in sends of up to 64 KB, then "\r\n.\r\n". False when the file cannot be
// read whole or a send fails (no end of data is sent then).
bool SendMessageBody(SMTP2RECORD* record, CSOCKET* socket, const char* messageFile, ULONGLONG messageSize);

// The per-receive and per-send time-out of the sessions (default
// SMTP2_TIMEOUT); tests shorten it.
void SetSessionTimeout(DWORD milliseconds);

}  // namespace Smtp2Module
