#include "delivery/smtp2/smtp2module.h"

#include <sys/stat.h>

#include <cstring>

#include "delivery/common/notifysmtp.h"
#include "delivery/common/resources.h"
#include "platform/net/rpc.h"

MVN_STATIC_OBJECT(SmtpOptionsPage, g_smtp2OptionsPage);

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Bytes of the message file per send.
constexpr DWORD kBodySendBlock = 65536;
// Room for a reply: RFC 5321 allows reply lines of 512 bytes.
constexpr DWORD kReplyCapacity = 1024;

DWORD g_sessionTimeout = SMTP2_TIMEOUT;

bool IsDigit3(const char* line, DWORD length) {
  return length >= 3 && CharIsDigit(line[0]) && CharIsDigit(line[1]) && CharIsDigit(line[2]);
}

// Whether the bytes hold a complete reply; *final points at the line that
// decides it (the last line of a multi-line reply, or a line without a
// code).
bool ReplyComplete(const char* data, DWORD length, const char** final, DWORD* finalLength) {
  DWORD start = 0;
  for (DWORD i = 0; i < length; ++i) {
    if (data[i] != '\n') continue;
    const char* line = data + start;
    DWORD lineLength = i - start;
    if (lineLength && line[lineLength - 1] == '\r') --lineLength;
    start = i + 1;
    // "250-..." continues the reply; "250 ...", "250" or a line without a
    // code ends it.
    if (IsDigit3(line, lineLength) && lineLength > 3 && line[3] == '-') continue;
    *final = line;
    *finalLength = lineLength;
    return true;
  }
  return false;
}

void Log(SMTP2RECORD* record, const char* prefix, const char* text) {
  if (!record->m_log.IsOpen()) return;
  record->m_log.WriteString(prefix);
  record->m_log.WriteString(text);
}

// Reads up to count bytes, as many reads as it takes; *got < count only at
// the end of the file. False on a read failure.
bool ReadFull(CFILE* file, BYTE* buffer, DWORD count, DWORD* got) {
  *got = 0;
  while (*got < count) {
    DWORD n = 0;
    if (!file->Read(buffer + *got, count - *got, &n)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
bool MakeBoundary(CTEXT* boundary) {
  if (!boundary->IsEmpty()) return true;
  UUID uuid;
  if (UuidCreate(&uuid) != RPC_S_OK) return false;
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&uuid, &text) != RPC_S_OK) return false;
  boundary->Assign(reinterpret_cast<const char*>(text));
  RpcStringFreeA(&text);
  return true;
}

bool Base64Encode(const BYTE* bytes, DWORD count, char* output, DWORD* capacity) {
  DWORD size = *capacity;
  if (size) std::memset(output, 0, size);
  DWORD in = 0;
  DWORD out = 0;
  while (in < count && size >= 4 && out <= size - 4) {
    DWORD take = count - in < 3 ? count - in : 3;
    DWORD group = static_cast<DWORD>(bytes[in]) << 16;
    if (take > 1) group |= static_cast<DWORD>(bytes[in + 1]) << 8;
    if (take > 2) group |= bytes[in + 2];
    output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
    output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
    if (take > 1) output[out++] = kBase64Alphabet[(group >> 6) & 0x3F];
    if (take > 2) output[out++] = kBase64Alphabet[group & 0x3F];
    in += take;
  }
  if (out < size) output[out] = '\0';
  *capacity = out;
  return in == count;
}

bool MimeAttachmentPart(const char* jobFile, CBUFFEREDWRITER* writer, const char* boundary, const char* name) {
  CFILE job(jobFile);
  if (!job.Open(GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
    return false;
  bool ok = writer->WriteString("\r\n--");
  ok = writer->WriteString(boundary) && ok;
  ok = writer->WriteString("\r\nContent-Type: application/octet-stream; name=\"") && ok;
  ok = writer->WriteString(name) && ok;
  ok = writer->WriteString("\"\r\nContent-Disposition: attachment; filename=\"") && ok;
  ok = writer->WriteString(name) && ok;
  ok = writer->WriteString("\"\r\nContent-Transfer-Encoding: base64\r\n") && ok;
  ok = writer->WriteEOL() && ok;

  BYTE block[SMTP2_READ_BLOCK];
  char line[2 * SMTP2_LINE_BYTES + 4];
  DWORD remainder = 0;  // bytes of the last group of the file
  while (ok) {
    DWORD got = 0;
    if (!ReadFull(&job, block, sizeof block, &got)) {
      ok = false;
      break;
    }
    for (DWORD at = 0; at < got && ok; at += SMTP2_LINE_BYTES) {
      DWORD count = got - at < SMTP2_LINE_BYTES ? got - at : SMTP2_LINE_BYTES;
      DWORD capacity = 2 * SMTP2_LINE_BYTES;
      Base64Encode(block + at, count, line, &capacity);
      remainder = count % 3;
      // Only the file's last group is short, so pads end the last line.
      if (remainder == 1) std::memcpy(line + capacity, "==", 3);
      if (remainder == 2) std::memcpy(line + capacity, "=", 2);
      ok = writer->WriteLine(line);
    }
    if (got < sizeof block) break;
  }
  job.Close();
  return ok;
}

// ---------------------------------------------------------------------------
namespace Smtp2Module {

SmtpOptionsPage* OptionsPage() { return g_smtp2OptionsPage.Get(); }

void SetSessionTimeout(DWORD milliseconds) { g_sessionTimeout = milliseconds; }

SMTP2RECORD* Initialize(CCONFIG* config) {
  // The module registers its sources when it references them.
  (void)NotifySmtpSource();
  (void)SockErrSource();
  SMTP2RECORD* record = DeliveryModule::NewRecord<SMTP2RECORD>();
  if (config) {
    DeliveryModule::ReadHeadSettings(config, record);
    config->GetString("SMTPLogFile", &record->m_log);
    config->GetString("SMTPServer", &record->m_smtpServer);
    config->GetString("SMTPSendTo", &record->m_sendTo);
    config->GetString("SMTPSentFrom", &record->m_sentFrom);
    config->GetString("SMTPReplyTo", &record->m_replyTo);
    DeliveryModule::ReadSenderDefaults(config, &record->m_senderDefaults);
  } else {
    DeliveryModule::SetDefaultDialogTitle(record);
  }
  return record;
}

bool Configure(SMTP2RECORD* record, CCONFIG* config) {
  if (!record || !config) return false;
  DeliveryModule::LoadIdentityPage(record);
  SmtpOptionsPage* page = OptionsPage();
  page->m_smtpServer.Assign(record->m_smtpServer.Text());
  page->m_sendTo.Assign(record->m_sendTo.Text());
  page->m_sentFrom.Assign(record->m_sentFrom.Text());
  page->m_replyTo.Assign(record->m_replyTo.Text());
  if (!DeliveryModule::ShowSheet(record, page, SmtpOptionsTemplate())) return false;
  DeliveryModule::WriteIdentitySettings(config);
  config->PutString("SMTPServer", page->m_smtpServer.Text());
  config->PutString("SMTPSendTo", page->m_sendTo.Text());
  config->PutString("SMTPSentFrom", page->m_sentFrom.Text());
  config->PutString("SMTPReplyTo", page->m_replyTo.Text());
  return true;
}

bool WriteMessage(SMTP2RECORD* record, const char* jobFile, CBUFFEREDWRITER* writer, const char* boundary) {
  bool ok = writer->WriteString("To: <");
  ok = writer->WriteString(record->m_sendTo.Text()) && ok;
  ok = writer->WriteLine(">") && ok;
  ok = writer->WriteString("From: <") && ok;
  ok = writer->WriteString(record->m_sentFrom.Text()) && ok;
  ok = writer->WriteLine(">") && ok;
  ok = writer->WriteString("Subject: MVN::SEND,SENDER-DEFAULTS=") && ok;
  ok = writer->WriteLine(record->m_senderDefaults ? "yes" : "no") && ok;
  ok = writer->WriteString("Reply-To: <") && ok;
  ok = writer->WriteString(record->m_replyTo.Text()) && ok;
  ok = writer->WriteLine(">") && ok;
  ok = writer->WriteLine("MIME-Version: 1.0") && ok;
  ok = writer->WriteString("Content-Type: multipart/mixed; boundary=\"") && ok;
  ok = writer->WriteString(boundary) && ok;
  ok = writer->WriteLine("\"") && ok;
  ok = writer->WriteEOL() && ok;
  ok = writer->WriteLine("This is a multi-part message in MIME format.") && ok;
  ok = writer->WriteEOL() && ok;
  if (!ok || !MimeAttachmentPart(jobFile, writer, boundary, SMTP2_ATTACHMENT_NAME)) {
    writer->Close();
    return false;
  }
  ok = writer->WriteString("--");
  ok = writer->WriteString(boundary) && ok;
  ok = writer->WriteLine("--") && ok;
  // A message that did not reach the disk whole is never sent.
  ok = writer->Flush() && ok;
  ok = writer->Close() && ok;
  return ok;
}

bool SendFile(SMTP2RECORD* record, const char* jobFile) {
  if (!record || !jobFile) return false;
  CBUFFEREDWRITER message;
  if (!message.SetTempFileName(nullptr)) return false;
  CPATH messagePath(message.Text());
  // The mail carries the sender's identity: readable by its owner only.
  chmod(messagePath.Text(), 0600);
  if (!message.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
    DeleteFileA(messagePath.Text());
    return false;
  }
  CTEXTBUF64 boundary;
  bool ok = MakeBoundary(&boundary) && WriteMessage(record, jobFile, &message, boundary.Text());
  if (!ok) {
    message.Close();
    DeleteFileA(messagePath.Text());
    return false;
  }
  ULONGLONG size = message.GetSize();

  if (!record->m_log.IsEmpty())
    record->m_log.Open(GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  bool result = Session(record, messagePath.Text(), size);
  if (record->m_log.IsOpen()) record->m_log.Close();
  DeleteFileA(messagePath.Text());
  return result;
}

bool Session(SMTP2RECORD* record, const char* messageFile, ULONGLONG messageSize) {
  ULONG address = INADDR_NONE;
  GetINETAddress(record->m_smtpServer.Text(), &address);
  CSOCKET socket;
  socket.SetBlocking(true);
  socket.SetTimeout(g_sessionTimeout);
  if (!socket.Connect(address, SMTP2_PORT)) return false;

  CTEXTBUF256 reply;
  if (!ReadReply(record, &socket, &reply, true)) {
    socket.Close();
    return false;
  }
  CTEXTBUF128 argument;
  struct Step {
    const char* verb;
    const char* open;
    const char* value;
    const char* close;
  };
  const Step steps[] = {
      {"HELO", "", record->m_sentFrom.Text(), ""},
      {"MAIL FROM:", "<", record->m_sentFrom.Text(), ">"},
      {"RCPT TO:", "<", record->m_sendTo.Text(), ">"},
      {"DATA", nullptr, nullptr, nullptr},
  };
  bool delivered = false;
  bool dialogue = true;
  for (const Step& step : steps) {
    if (step.value) argument.Join3(step.open, step.value, step.close);
    if (!SendCommand(record, &socket, step.verb, step.value ? argument.Text() : nullptr)) {
      socket.Close();
      return false;
    }
    if (!ReadReply(record, &socket, &reply, false)) {
      dialogue = false;
      break;
    }
  }
  if (dialogue && SendMessageBody(record, &socket, messageFile, messageSize))
    delivered = ReadReply(record, &socket, &reply, false);

  // Once the server has taken the message, a failing QUIT changes nothing:
  // the fax is on its way and must not be sent twice.
  if (!reply.IsEmpty() && SendCommand(record, &socket, "QUIT", nullptr)) ReadReply(record, &socket, &reply, false);
  socket.Close();
  return delivered;
}

bool ReadReply(SMTP2RECORD* record, CSOCKET* socket, CTEXT* reply, bool greeting) {
  reply->Reserve(kReplyCapacity);
  reply->Empty();
  char* buffer = reply->Buffer();
  DWORD capacity = reply->Capacity();
  DWORD fill = 0;
  const char* final = nullptr;
  DWORD finalLength = 0;
  while (!ReplyComplete(buffer, fill, &final, &finalLength)) {
    if (fill + 1 >= capacity) {
      // Full: drop the complete lines of a long multi-line reply (they are
      // in the log); a single line longer than the buffer fails.
      const char* lastEnd = static_cast<const char*>(memrchr(buffer, '\n', fill));
      if (!lastEnd) {
        reply->Empty();
        return false;
      }
      DWORD keep = fill - static_cast<DWORD>(lastEnd + 1 - buffer);
      std::memmove(buffer, lastEnd + 1, keep);
      fill = keep;
      buffer[fill] = '\0';
    }
    DWORD received = 0;
    if (!socket->GetData(buffer + fill, capacity - 1 - fill, &received)) {
      buffer[fill] = '\0';
      // A reply cut off by the peer is no reply.
      reply->Empty();
      return false;
    }
    buffer[fill + received] = '\0';
    Log(record, "S: ", buffer + fill);
    fill += received;
  }
  if (!IsDigit3(final, finalLength)) return greeting;
  return final[0] == '1' || final[0] == '2' || final[0] == '3';
}

bool SendCommand(SMTP2RECORD* record, CSOCKET* socket, const char* verb, const char* argument) {
  CTEXTBUF256 line;
  line.Assign(verb);
  if (argument) line.Append2(" ", argument);
  line.Append("\r\n");
  Log(record, "C: ", line.Text());
  DWORD sent = 0;
  return socket->PutData(line.Text(), line.Length(), &sent) && sent == line.Length();
}

bool SendMessageBody(SMTP2RECORD* record, CSOCKET* socket, const char* messageFile, ULONGLONG messageSize) {
  (void)record;
  CFILE message(messageFile);
  if (!message.Open(GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
    return false;
  // Every line of the message file ends in CR LF and none begins with ".",
  // so its bytes go out as they are, in large sends rather than one per
  // line: the bytes on the wire are the same.
  CTEXT block;
  block.Reserve(kBodySendBlock);
  ULONGLONG consumed = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFull(&message, reinterpret_cast<BYTE*>(block.Buffer()), kBodySendBlock, &got)) return false;
    if (got == 0) break;
    consumed += got;
    DWORD sent = 0;
    if (!socket->PutData(block.Buffer(), got, &sent) || sent != got) return false;
    if (got < kBodySendBlock) break;
  }
  message.Close();
  // A read that ended early is not the end of the message: no end of data.
  if (consumed != messageSize) return false;
  DWORD sent = 0;
  return socket->PutData("\r\n.\r\n", 5, &sent) && sent == 5;
}

int Terminate(SMTP2RECORD* record) {
  DeliveryModule::DeleteRecord(record);
  return 0;
}

const char* GetLastResult(SMTP2RECORD*) { return nullptr; }

}  // namespace Smtp2Module
