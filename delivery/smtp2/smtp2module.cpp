#include "delivery/smtp2/smtp2module.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "delivery/common/notifysmtp.h"
#include "delivery/common/resources.h"
#include "lib/checkedwriter.h"
#include "lib/encode.h"
#include "platform/net/rpc.h"

MVN_STATIC_OBJECT(SmtpOptionsPage, g_smtp2OptionsPage);

namespace {

// The mail's base64 alphabet (RFC 2045).
constexpr ALPHABET64 kBase64Alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Bytes of the message file per send.
constexpr DWORD kBodySendBlock = 65536;
DWORD g_sessionTimeout = SMTP2_TIMEOUT;

bool IsDigit3(const char* line, DWORD length) {
  return length >= 3 && CharIsDigit(line[0]) && CharIsDigit(line[1]) && CharIsDigit(line[2]);
}

void Log(SMTP2RECORD* record, const char* prefix, const char* text) {
  if (!record->m_log.IsOpen()) return;
  record->m_log.WriteString(prefix);
  record->m_log.WriteString(text);
}

// One "S: " entry for a reply: its bytes, cut to SMTP2_LOG_ENTRY_LIMIT, and
// always a line end, so the log stays one entry per line however the peer
// behaves.
void LogReply(SMTP2RECORD* record, const char* bytes, DWORD count) {
  if (!record->m_log.IsOpen()) return;
  bool cut = count > SMTP2_LOG_ENTRY_LIMIT;
  if (cut) count = SMTP2_LOG_ENTRY_LIMIT;
  record->m_log.WriteString("S: ");
  record->m_log.WriteBytes(bytes, count);
  if (cut || count < 2 || bytes[count - 2] != '\r' || bytes[count - 1] != '\n') record->m_log.WriteEOL();
}

// Milliseconds from now to the deadline, rounded up; 0 once it has passed.
DWORD MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<DWORD>(ms);
}

// Copies count bytes to out with every line that begins with "." given a
// second "." (the end of data is a line holding "." alone). *lineStart says
// whether the next byte begins a line, across calls. Returns the bytes
// written (at most 2 * count).
DWORD DotStuff(const char* in, DWORD count, char* out, bool* lineStart) {
  DWORD n = 0;
  bool start = *lineStart;
  for (DWORD i = 0; i < count; ++i) {
    if (start && in[i] == '.') out[n++] = '.';
    out[n++] = in[i];
    start = in[i] == '\n';
  }
  *lineStart = start;
  return n;
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
  // Whole groups of four characters while they fit; the rest is left out.
  DWORD groups = (count + 2) / 3;
  if (groups > size / 4) groups = size / 4;
  DWORD take = groups * 3 < count ? groups * 3 : count;
  DWORD out = static_cast<DWORD>(Pack64(bytes, take, kBase64Alphabet, output) - output);
  if (out < size) output[out] = '\0';
  *capacity = out;
  return take == count;
}

bool MimeAttachmentPart(const char* jobFile, CBUFFEREDWRITER* writer, const char* boundary, const char* name) {
  CFILE job(jobFile);
  if (!job.Open(GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
    return false;
  mvn::CheckedWriter out(writer);
  out.Text("\r\n--");
  out.Text(boundary);
  out.Text("\r\nContent-Type: application/octet-stream; name=\"");
  out.Text(name);
  out.Text("\"\r\nContent-Disposition: attachment; filename=\"");
  out.Text(name);
  out.Text("\"\r\nContent-Transfer-Encoding: base64\r\n");
  out.Eol();

  BYTE block[SMTP2_READ_BLOCK];
  char line[2 * SMTP2_LINE_BYTES + 4];
  bool read = true;
  while (out.Ok()) {
    DWORD got = 0;
    if (!ReadFull(&job, block, sizeof block, &got)) {
      read = false;
      break;
    }
    for (DWORD at = 0; at < got && out.Ok(); at += SMTP2_LINE_BYTES) {
      DWORD count = got - at < SMTP2_LINE_BYTES ? got - at : SMTP2_LINE_BYTES;
      DWORD capacity = 2 * SMTP2_LINE_BYTES;
      Base64Encode(block + at, count, line, &capacity);
      // Only the file's last group is short, so pads end the last line.
      DWORD remainder = count % 3;
      if (remainder == 1) std::memcpy(line + capacity, "==", 3);
      if (remainder == 2) std::memcpy(line + capacity, "=", 2);
      out.Line(line);
    }
    if (got < sizeof block) break;
  }
  job.Close();
  return read && out.Ok();
}

// ---------------------------------------------------------------------------
namespace mvn::delivery::smtp2 {

SmtpOptionsPage* OptionsPage() { return g_smtp2OptionsPage.Get(); }

void SetSessionTimeout(DWORD milliseconds) { g_sessionTimeout = milliseconds; }

SMTP2RECORD* Initialize(CCONFIG* config) {
  // The module registers its sources when it references them.
  (void)NotifySmtpSource();
  (void)SockErrSource();
  SMTP2RECORD* record = mvn::delivery::NewRecord<SMTP2RECORD>();
  if (config) {
    mvn::delivery::ReadHeadSettings(config, record);
    config->GetString("SMTPLogFile", &record->m_log);
    mvn::delivery::ReadSmtpAddresses(config, record);
    mvn::delivery::ReadSenderDefaults(config, &record->m_senderDefaults);
  } else {
    mvn::delivery::SetDefaultDialogTitle(record);
  }
  return record;
}

bool Configure(SMTP2RECORD* record, CCONFIG* config) { return mvn::delivery::ConfigureSmtp(record, config, OptionsPage()); }

bool WriteMessage(SMTP2RECORD* record, const char* jobFile, CBUFFEREDWRITER* writer, const char* boundary) {
  mvn::CheckedWriter out(writer);
  out.Text("To: <");
  out.Text(record->m_sendTo.Text());
  out.Line(">");
  out.Text("From: <");
  out.Text(record->m_sentFrom.Text());
  out.Line(">");
  out.Text("Subject: MVN::SEND,SENDER-DEFAULTS=");
  out.Line(record->m_senderDefaults ? "yes" : "no");
  out.Text("Reply-To: <");
  out.Text(record->m_replyTo.Text());
  out.Line(">");
  out.Line("MIME-Version: 1.0");
  out.Text("Content-Type: multipart/mixed; boundary=\"");
  out.Text(boundary);
  out.Line("\"");
  out.Eol();
  out.Line("This is a multi-part message in MIME format.");
  out.Eol();
  if (out.Ok()) out.Check(MimeAttachmentPart(jobFile, writer, boundary, SMTP2_ATTACHMENT_NAME));
  out.Text("--");
  out.Text(boundary);
  out.Line("--");
  // A message that did not reach the disk whole is never sent.
  if (out.Ok()) out.Check(writer->Flush());
  return out.Close();
}

bool CheckSettings(SMTP2RECORD* record) {
  record->m_lastResult.Empty();
  return CheckSettingLine("SMTPServer", record->m_smtpServer, &record->m_lastResult) &&
         CheckSettingLine("SMTPSendTo", record->m_sendTo, &record->m_lastResult) &&
         CheckSettingLine("SMTPSentFrom", record->m_sentFrom, &record->m_lastResult) &&
         CheckSettingLine("SMTPReplyTo", record->m_replyTo, &record->m_lastResult) &&
         CheckIdentityLines(record, &record->m_lastResult);
}

bool SendFile(SMTP2RECORD* record, const char* jobFile) {
  if (!record || !jobFile) return false;
  // Nothing is written or connected for settings that would break a line.
  if (!CheckSettings(record)) return false;
  CBUFFEREDWRITER message;
  // The mail carries the sender's identity: readable by its owner only,
  // from its creation on (the send client is single-threaded, so the mask
  // is this call's alone).
  mode_t mask = umask(077);
  bool named = message.SetTempFileName(nullptr);
  umask(mask);
  if (!named) {
    char folder[MAX_PATH + 1] = "";
    DWORD error = GetLastError();
    GetTempPathA(sizeof folder, folder);
    return SetFailure(&record->m_lastResult, "cannot make a message file in", folder, error);
  }
  CPATH messagePath(message.Text());
  if (!message.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
    SetFailure(&record->m_lastResult, "cannot create the message file", messagePath.Text(), GetLastError());
    DeleteFileA(messagePath.Text());
    return false;
  }
  CTEXTBUF64 boundary;
  bool ok = MakeBoundary(&boundary);
  if (!ok) {
    SetFailure(&record->m_lastResult, "cannot make a MIME boundary (UuidCreate)", nullptr, ERROR_SUCCESS);
  } else if (!(ok = WriteMessage(record, jobFile, &message, boundary.Text()))) {
    CTEXT what;
    what.Join3("cannot write the mail of the job ", jobFile, " into");
    SetFailure(&record->m_lastResult, what.Text(), messagePath.Text(), GetLastError());
  }
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

namespace {

// "<what> the mail server <server>: <detail>" as the failure text; the
// detail is the reply's last line, else the last socket failure, else
// the fallback.
void SessionFailure(SMTP2RECORD* record, const char* what, const CTEXT* reply, const char* fallback) {
  CTEXT text;
  text.Join3(what, " the mail server ", record->m_smtpServer.Text());
  CTEXT detail;
  if (reply && !reply->IsEmpty()) {
    // The reply's last line, without its line end.
    const char* all = reply->Text();
    DWORD length = reply->Length();
    while (length > 0 && (all[length - 1] == '\r' || all[length - 1] == '\n')) --length;
    DWORD start = length;
    while (start > 0 && all[start - 1] != '\n') --start;
    detail.Assign("it answered \"");
    CTEXT line;
    line.AssignN(all + start, length - start);
    detail.Append2(line.Text(), "\"");
  } else if (!DescribeSocketFailure(&detail) && fallback) {
    detail.Assign(fallback);
  }
  if (!detail.IsEmpty()) text.Append2(": ", detail.Text());
  record->m_lastResult.Assign(text.Text());
}

}  // namespace

bool Session(SMTP2RECORD* record, const char* messageFile, ULONGLONG messageSize) {
  ClearSocketFailure();
  ULONG address = INADDR_NONE;
  GetINETAddress(record->m_smtpServer.Text(), &address);
  if (address == INADDR_NONE) {
    SessionFailure(record, "cannot find", nullptr, record->m_smtpServer.IsEmpty() ? "SMTPServer is not set" : nullptr);
    return false;
  }
  CSOCKET socket;
  socket.SetBlocking(true);
  socket.SetTimeout(g_sessionTimeout);
  if (!socket.Connect(address, SMTP2_PORT)) {
    CTEXTBUF64 what;
    CTEXTBUF16 port;
    what.Join3("cannot connect to port ", port.SetNumber(SMTP2_PORT, 1, 10), " of");
    SessionFailure(record, what.Text(), nullptr, nullptr);
    return false;
  }

  // A reply that never came: the server closed the connection, or nothing
  // came in time.
  auto noReply = [&socket](const char* timedOut) {
    return socket.PeerClosed() ? "the server closed the connection" : timedOut;
  };
  CTEXTBUF256 reply;
  if (!ReadReply(record, &socket, &reply, SMTP2REPLY::Greeting)) {
    SessionFailure(record, "turned away by", &reply, noReply("nothing came within the time-out"));
    socket.Close();
    return false;
  }
  CTEXTBUF128 argument;
  struct Step {
    const char* verb;
    const char* open;
    const char* value;
    const char* close;
    SMTP2REPLY wanted;
  };
  // Each command has one right answer: a 3xx where a completion is due (or
  // the reverse) means the dialogue is out of step.
  const Step steps[] = {
      {"HELO", "", record->m_sentFrom.Text(), "", SMTP2REPLY::Completion},
      {"MAIL FROM:", "<", record->m_sentFrom.Text(), ">", SMTP2REPLY::Completion},
      {"RCPT TO:", "<", record->m_sendTo.Text(), ">", SMTP2REPLY::Completion},
      {"DATA", nullptr, nullptr, nullptr, SMTP2REPLY::Intermediate},
  };
  bool delivered = false;
  bool dialogue = true;
  for (const Step& step : steps) {
    if (step.value) argument.Join3(step.open, step.value, step.close);
    CTEXTBUF64 what;
    if (!SendCommand(record, &socket, step.verb, step.value ? argument.Text() : nullptr)) {
      what.Join3("cannot send ", step.verb, " to");
      SessionFailure(record, what.Text(), nullptr, nullptr);
      socket.Close();
      return false;
    }
    if (!ReadReply(record, &socket, &reply, step.wanted)) {
      what.Join3("refused (", step.verb, ") by");
      SessionFailure(record, what.Text(), &reply, noReply("no reply within the time-out"));
      dialogue = false;
      break;
    }
  }
  if (dialogue) {
    if (!SendMessageBody(record, &socket, messageFile, messageSize)) {
      SessionFailure(record, "the mail could not be sent whole to", nullptr, "the message file could not be read");
    } else {
      delivered = ReadReply(record, &socket, &reply, SMTP2REPLY::Completion);
      if (!delivered)
        SessionFailure(record, "the mail was not taken by", &reply, noReply("no reply within the time-out"));
    }
  }

  // Once the server has taken the message, a failing QUIT changes nothing:
  // the fax is on its way and must not be sent twice.
  if (!reply.IsEmpty() && SendCommand(record, &socket, "QUIT", nullptr))
    ReadReply(record, &socket, &reply, SMTP2REPLY::Completion);
  socket.Close();
  return delivered;
}

bool ReadReply(SMTP2RECORD* record, CSOCKET* socket, CTEXT* reply, SMTP2REPLY wanted) {
  reply->Reserve(SMTP2_REPLY_LIMIT + 1);
  reply->Empty();
  char* buffer = reply->Buffer();
  // One deadline for the whole reply, however many receives it takes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_sessionTimeout);
  DWORD fill = 0;
  DWORD scan = 0;       // bytes looked at for line ends
  DWORD lineStart = 0;  // where the line being read begins
  DWORD end = 0;        // the reply's length once its last line has ended
  const char* final = nullptr;
  DWORD finalLength = 0;
  while (!final && fill < SMTP2_REPLY_LIMIT) {
    DWORD left = MillisecondsLeft(deadline);
    if (left == 0) break;
    socket->SetTimeout(left);
    DWORD received = 0;
    if (!socket->GetData(buffer + fill, SMTP2_REPLY_LIMIT - fill, &received)) break;
    fill += received;
    for (; scan < fill && !final; ++scan) {
      if (buffer[scan] != '\n') continue;
      const char* line = buffer + lineStart;
      DWORD lineLength = scan - lineStart;
      if (lineLength && line[lineLength - 1] == '\r') --lineLength;
      lineStart = scan + 1;
      // "250-..." continues the reply; "250 ...", "250" or a line without
      // a code ends it.
      if (IsDigit3(line, lineLength) && lineLength > 3 && line[3] == '-') continue;
      final = line;
      finalLength = lineLength;
      end = scan + 1;
    }
  }
  socket->SetTimeout(g_sessionTimeout);
  buffer[fill] = '\0';
  LogReply(record, buffer, final ? end : fill);
  if (!final) {
    // Cut off, too slow or too long: no reply at all.
    reply->Empty();
    return false;
  }
  // Bytes after the reply answer nothing that was asked: out of step.
  if (end < fill) return false;
  if (!IsDigit3(final, finalLength)) return wanted == SMTP2REPLY::Greeting;
  return final[0] == (wanted == SMTP2REPLY::Intermediate ? '3' : '2');
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
  // Every line of the message file ends in CR LF; it goes out in large
  // sends rather than one per line (the bytes on the wire are the same),
  // and any line that begins with "." gets a second one, so no line of the
  // mail can end the data early.
  CTEXT block, stuffed;
  block.Reserve(kBodySendBlock);
  stuffed.Reserve(2 * kBodySendBlock);
  bool lineStart = true;
  ULONGLONG consumed = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFull(&message, reinterpret_cast<BYTE*>(block.Buffer()), kBodySendBlock, &got)) return false;
    if (got == 0) break;
    consumed += got;
    DWORD count = DotStuff(block.Buffer(), got, stuffed.Buffer(), &lineStart);
    DWORD sent = 0;
    if (!socket->PutData(stuffed.Buffer(), count, &sent) || sent != count) return false;
    if (got < kBodySendBlock) break;
  }
  message.Close();
  // A read that ended early is not the end of the message: no end of data.
  if (consumed != messageSize) return false;
  DWORD sent = 0;
  return socket->PutData("\r\n.\r\n", 5, &sent) && sent == 5;
}

int Terminate(SMTP2RECORD* record) {
  mvn::delivery::DeleteRecord(record);
  return 0;
}

const char* GetLastResult(SMTP2RECORD* record) {
  return record && !record->m_lastResult.IsEmpty() ? record->m_lastResult.Text() : nullptr;
}

}  // namespace mvn::delivery::smtp2
