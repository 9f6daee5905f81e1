// The SMTP dialogue as handlers of the channel's state machine: the
// connect sequence, greeting and HELO, the envelope, the header lines, the
// MIME parts with the text and the base64 attachments, the end of the
// mail, QUIT and VRFY; the reply reader, the Date line, the mail-text line
// maker and the base64 line encoder.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "smtpengine/engine.h"

namespace mvn::smtpengine {

namespace {

constexpr const char* kMailer = "X-Mailer: MVN SMTP Engine 1.0.0 Build 1";
// HELO domain for a From address without '@'.
constexpr const char* kDefaultDomain = "localhost";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Bytes of a file read at once: a whole number of attachment pieces.
constexpr std::size_t kFileChunk = kAttachmentPiece * 1150;

// States whose lines may be gathered before they are sent.
bool DataLineState(std::int32_t state) {
  return state == kTextMemoryLines || state == kTextFileLines || state == kAttachmentLines;
}

bool Multipart(const ChannelContext* ch) { return ch->attachments || ch->textMode != 0; }

// Queues bytes for the wire and logs the entry "S: ", the first logged
// bytes and CR LF. A base64 line carries its own CR LF, so its entry shows
// it before the entry's own.
void SendRaw(ChannelContext* ch, const char* data, std::size_t length, std::size_t logged) {
  ch->outgoing.append(data, length);
  if (ch->logFd >= 0) {
    LogBytes(ch, "S: ", 3);
    LogBytes(ch, data, logged);
    LogBytes(ch, "\r\n", 2);
  }
}
void SendRaw(ChannelContext* ch, const char* data, std::size_t length) { SendRaw(ch, data, length, length); }

// A line: its text and CR LF. The send buffer keeps (the start of) it; the
// log entry is the text alone.
void SendLine(ChannelContext* ch, const std::string& text) {
  std::snprintf(ch->sendBuffer, kBufferSize, "%s", text.c_str());
  std::string line = text;
  line += "\r\n";
  SendRaw(ch, line.data(), line.size(), text.size());
}

void Timers(ChannelContext* ch, std::uint32_t now) {
  ch->wakeTime = TickAfter(now, g_params.commandPause);
  ch->deadline = TickAfter(now, g_params.replyTimeout);
}

// Sends what is queued; a failure ends the dialogue.
std::int32_t Flush(ChannelContext* ch) {
  if (ch->outgoing.empty()) return 0;
  std::uint32_t deadline = ch->deadline ? ch->deadline : TickAfter(Now(), g_params.lineTimeout);
  std::int32_t n = SendAll(ch->socket, ch->outgoing.data(), ch->outgoing.size(), deadline);
  ch->outgoing.clear();
  if (n == SME_TIMED_OUT) return ReportError(ch, 0, SME_TIMED_OUT);
  if (n < 0) return ReportError(ch, n, SME_WRITE_ERROR);
  return 0;
}

// 1: a reply was read; 0: nothing readable yet (the state stays); < 0:
// the dialogue ended.
std::int32_t Reply(ChannelContext* ch, std::int32_t waitMs) {
  if (!ChannelReadable(ch, waitMs)) return 0;
  std::int32_t result = ReadSmtpReply(ch);
  if (result < 0) return ReportError(ch, 0, result);
  return 1;
}

std::string Dotted(std::uint32_t a) {
  char text[32];
  std::snprintf(text, sizeof text, "%1d.%1d.%1d.%1d", (a >> 24) & 0xFF, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
  return text;
}

// Four dot-separated decimal numbers, each below 256.
bool ParseFourNumbers(const char* name, std::uint32_t* address) {
  std::uint32_t result = 0;
  const char* p = name;
  for (int part = 0; part < 4; ++part) {
    if (*p < '0' || *p > '9') return false;
    std::uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(*p++ - '0');
      if (++digits > 3 || value > 255) return false;
    }
    result = (result << 8) | value;
    if (part < 3 && *p++ != '.') return false;
  }
  if (*p) return false;
  *address = result;
  return true;
}

// Reads up to 57 bytes of the open attachment; 0 at its end, -1 on a
// read failure.
long ReadPiece57(EngineFile* file, unsigned char* out) {
  std::size_t got = 0;
  while (got < kAttachmentPiece) {
    if (file->position >= file->buffer.size()) {
      if (file->ended) break;
      file->buffer.resize(kFileChunk);
      std::size_t fill = 0;
      while (fill < kFileChunk) {
        long n = ReadSome(file->fd, file->buffer.data() + fill, kFileChunk - fill);
        if (n < 0) {
          file->failed = true;
          return -1;
        }
        if (n == 0) {
          file->ended = true;
          break;
        }
        fill += static_cast<std::size_t>(n);
      }
      file->buffer.resize(fill);
      file->position = 0;
      if (fill == 0) break;
    }
    std::size_t take = file->buffer.size() - file->position;
    if (take > kAttachmentPiece - got) take = kAttachmentPiece - got;
    std::memcpy(out + got, file->buffer.data() + file->position, take);
    file->position += take;
    got += take;
  }
  return static_cast<long>(got);
}

// The attachment's name: the path after its last "/" or "\" (the whole
// path when none stands after its first character).
std::string AttachmentName(const char* path) {
  const char* name = path;
  for (const char* p = path + (*path ? 1 : 0); *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

std::int32_t TextLines(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  char line[kBufferSize];
  bool batch = g_params.linePause <= 0;
  for (;;) {
    std::int32_t length = BodyLine(ch, line);
    if (length < 0) {
      FileClose(&ch->file);
      return ReportError(ch, -1, SME_CANNOT_OPEN);
    }
    if (length == 0) {
      if (state == kTextFileLines) FileClose(&ch->file);
      ch->nextState = ch->attachments ? kAttachmentBoundary : kMailEnd;
      return 0;
    }
    ch->textBytesSent += length + 2;
    SendLine(ch, line);
    ch->wakeTime = g_params.linePause > 0 ? TickAfter(now, g_params.linePause) : 0;
    ch->deadline = TickAfter(now, state == kTextFileLines ? g_params.replyTimeout : g_params.lineTimeout);
    if (!batch) {
      ch->waitWritable = true;
      return 0;
    }
    if (ch->outgoing.size() >= kSendBatch) return 0;
  }
}

std::int32_t AttachmentLines(ChannelContext* ch, std::uint32_t now) {
  unsigned char piece[kAttachmentPiece];
  char line[128];
  bool batch = g_params.linePause <= 0;
  for (;;) {
    long n = ReadPiece57(&ch->file, piece);
    if (n < 0) {
      // Never a padded or cut attachment reported as sent.
      FileClose(&ch->file);
      return ReportError(ch, -1, SME_CANNOT_OPEN);
    }
    if (n == 0) {
      FileClose(&ch->file);
      if (ch->nextAttachment && *ch->nextAttachment) {
        ch->attachments = ch->nextAttachment;
        ch->nextAttachment = nullptr;
        ch->nextState = kAttachmentBoundary;
      } else {
        ch->nextState = kMailEnd;
      }
      return 0;
    }
    ch->attachmentBytesRead += n;
    std::size_t length = Base64Line(piece, static_cast<std::size_t>(n), line);
    ch->attachmentBytesSent += static_cast<std::int64_t>(length);
    SendRaw(ch, line, length);
    ch->wakeTime = g_params.linePause > 0 ? TickAfter(now, g_params.linePause) : 0;
    ch->deadline = TickAfter(now, g_params.lineTimeout);
    if (!batch) {
      ch->waitWritable = true;
      return 0;
    }
    if (ch->outgoing.size() >= kSendBatch) return 0;
  }
}

// Next state after the From line and the optional header lines.
std::int32_t AfterHeader(const ChannelContext* ch, int from) {
  if (from < kHeaderReplyTo && ch->replyTo && *ch->replyTo) return kHeaderReplyTo;
  if (from < kHeaderSubject && ch->subject) return kHeaderSubject;
  if (from < kHeaderCc && ch->cc) return kHeaderCc;
  return Multipart(ch) ? kHeaderMimeVersion : kHeaderEnd;
}

// A state no step knows: logged, and the channel rests.
std::int32_t UnknownState(ChannelContext* ch, std::int32_t state) {
  LogFormat(ch, "ERROR! Unknown state %d\r\n", state);
  ch->nextState = kStateDone;
  return 0;
}

// ---------------------------------------------------------------------------
// The connect sequence: the socket layer's description, the local host
// name, the server's address, the socket and the connection itself.

// The server's address: four numbers as they stand, else looked up.
std::int32_t ResolveServer(ChannelContext* ch) {
  LogFormat(ch, "Server = '%s'\r\n", ch->server);
  std::uint32_t address = 0;
  if (!ParseFourNumbers(ch->server, &address)) {
    while (WSAIsBlocking()) SleepMs(g_params.pollInterval);
    hostent* host = gethostbyname(ch->server);
    if (!host) return ReportError(ch, -WSAGetLastError(), SME_SERVER_NOT_FOUND);
    std::uint32_t network = 0;
    if (host->h_addr_list && host->h_addr_list[0]) std::memcpy(&network, host->h_addr_list[0], 4);
    address = ntohl(network);
    if (address == 0) return ReportError(ch, 0, SME_SERVER_NOT_FOUND);
  }
  ch->serverAddress = address;
  LogFormat(ch, "ServerIP = %s\r\n", Dotted(address).c_str());
  ch->nextState = kConnectSocket;
  return 0;
}

// A new socket and the connect call; a non-blocking connect is finished
// by kConnectWait.
std::int32_t StartConnect(ChannelContext* ch, std::uint32_t now) {
  LockEngine();
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  UnlockEngine();
  if (s == INVALID_SOCKET) {
    ch->nextState = kStateDone;
    return SME_INVALID_SOCKET;
  }
  ch->socket = s;
  if (ch->nonBlockingConnect) {
    ULONG on = 1;
    ioctlsocket(s, FIONBIO, &on);
  }
  LogFormat(ch, "Socket=%d, RemoteAddr=%lx, RemotePort=%d\r\n", static_cast<int>(s),
            static_cast<unsigned long>(ch->serverAddress), ch->currentPort);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(ch->currentPort);
  target.sin_addr.s_addr = htonl(ch->serverAddress);
  if (connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return ReportError(ch, -error, SME_CONNECT_ERROR);
  }
  ch->wakeTime = TickAfter(now, g_params.commandPause);
  ch->deadline = TickAfter(now, g_params.connectTimeout);
  ch->nextState = kConnectWait;
  return 0;
}

// Waits for the connection; once it stands, the dialogue goes on at
// returnState.
std::int32_t FinishConnect(ChannelContext* ch, std::uint32_t now) {
  if (smeStatus(ch->socket, 3) == 1) {
    // The system's reason for the failed attempt goes with the report.
    int error = 0;
    int length = sizeof error;
    if (getsockopt(ch->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) error = 0;
    return ReportError(ch, -error, SME_CONNECT_ERROR);
  }
  if (WaitWritable(ch->socket, g_params.pollInterval)) {
    if (ch->nonBlockingConnect) {
      ULONG off = 0;
      ioctlsocket(ch->socket, FIONBIO, &off);
    }
    Timers(ch, now);
    ch->nextState = ch->returnState;
  }
  return 0;
}

std::int32_t ConnectStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  switch (state) {
    case kConnectStart:
      ch->nextState = kConnectDescription;
      return 0;
    case kConnectDescription:
      std::snprintf(ch->replyBuffer, kBufferSize, "%s", g_wsaData.szDescription);
      ch->nextState = kConnectLocalHost;
      return 0;
    case kConnectLocalHost:
      if (LocalHostName(ch->replyBuffer, 256) < 0) ch->replyBuffer[0] = '\0';
      LogFormat(ch, "LocalHost = '%s'\r\n", ch->replyBuffer);
      ch->nextState = kConnectResolve;
      return 0;
    case kConnectResolve:
      return ResolveServer(ch);
    case kConnectSocket:
      return StartConnect(ch, now);
    case kConnectWait:
      return FinishConnect(ch, now);
    default:
      return UnknownState(ch, state);
  }
}

// ---------------------------------------------------------------------------
// The session: the version line, the connect sequence, the greeting and
// HELO with the domain of the From address.

void SendHelo(ChannelContext* ch, std::uint32_t now) {
  ch->bytesRead = ch->attachmentBytesRead = ch->textBytesSent = ch->attachmentBytesSent = 0;
  const char* at = std::strchr(ch->from, '@');
  std::string domain = kDefaultDomain;
  if (at) {
    domain = at + 1;
    std::size_t gt = domain.find('>');
    if (gt != std::string::npos) domain.resize(gt);
  }
  SendLine(ch, "HELO " + domain);
  ch->wakeTime = TickAfter(now, 2 * g_params.commandPause);
  ch->deadline = TickAfter(now, g_params.replyTimeout);
  ch->nextState = kSessionHeloReply;
}

std::int32_t SessionStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    case kSessionStart:
      LogFormat(ch, "SMTP Engine Version %d.%d.%d Build %d\r\n", 1, 0, 0, 1);
      ch->returnState = kSessionGreeting;
      ch->nextState = kConnectStart;
      return 0;
    case kSessionGreeting:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      Timers(ch, now);
      ch->nextState = kSessionHelo;
      return 0;
    case kSessionHelo:
      SendHelo(ch, now);
      return 0;
    case kSessionHeloReply:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      ch->nextState = kStateDone;
      return 0;
    default:
      return UnknownState(ch, state);
  }
}

// ---------------------------------------------------------------------------
// The envelope: MAIL FROM, one RCPT TO for each address of To, then CC,
// then BCC, and DATA.

std::int32_t SendMailFrom(ChannelContext* ch, std::uint32_t now) {
  if (!ch->from || !*ch->from) return ReportError(ch, 0, SME_MISSING_FROM);
  const char* lt = std::strchr(ch->from, '<');
  if (!lt) return ReportError(ch, 0, SME_MISSING_LT);
  SendLine(ch, std::string("MAIL FROM:") + lt);
  Timers(ch, now);
  ch->nextState = kMailFromReply;
  return 0;
}

// Takes the next address of the list at the cursor (from its "<" on). Its
// comma is cut for the RCPT line and put back once the reply is in, so
// the To and CC header lines show the lists whole.
std::int32_t TakeRecipient(ChannelContext* ch, std::uint32_t now) {
  char* lt = nullptr;
  for (char* p = ch->cursor; *p && *p != g_params.listSeparator; ++p)
    if (*p == '<') {
      lt = p;
      break;
    }
  if (!lt) return ReportError(ch, 0, SME_EMPTY_ADDRESS);
  ch->currentRecipient = lt;
  char* comma = std::strchr(ch->cursor, ',');
  if (comma) {
    *comma = '\0';
    ch->commaPosition = comma;
    ch->cursor = comma + 1;
  } else {
    ch->commaPosition = nullptr;
    ch->cursor += std::strlen(ch->cursor);
  }
  ch->deadline = TickAfter(now, g_params.replyTimeout);
  ch->waitWritable = true;
  ch->nextState = kRecipientRcpt;
  return 0;
}

// The RCPT reply; then the next address of the list, of the next list, or
// DATA.
std::int32_t RecipientReply(ChannelContext* ch, std::uint32_t now) {
  std::int32_t r = Reply(ch, g_params.pollInterval);
  if (r != 0 && ch->commaPosition) {
    *ch->commaPosition = ',';
    ch->commaPosition = nullptr;
  }
  if (r <= 0) return r;
  if (*ch->cursor) {
    ch->nextState = kRecipientNext;
  } else if (!ch->ccDone) {
    ch->cursor = ch->cc;
    ch->ccDone = 1;
    ch->nextState = kRecipientNext;
  } else if (!ch->bccDone) {
    ch->cursor = ch->bcc;
    ch->bccDone = 1;
    ch->nextState = kRecipientNext;
  } else {
    ch->wakeTime = TickAfter(now, g_params.commandPause);
    ch->nextState = kDataCommand;
  }
  return 0;
}

std::int32_t EnvelopeStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    case kMailFrom:
      return SendMailFrom(ch, now);
    case kMailFromReply:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      ch->cursor = ch->to;
      ch->ccDone = ch->cc ? 0 : 1;
      ch->bccDone = ch->bcc ? 0 : 1;
      ch->nextState = kRecipientNext;
      return 0;
    case kRecipientNext:
      return TakeRecipient(ch, now);
    case kRecipientRcpt:
      SendLine(ch, std::string("RCPT TO:") + ch->currentRecipient);
      ch->deadline = TickAfter(now, g_params.replyTimeout);
      ch->nextState = kRecipientReply;
      return 0;
    case kRecipientReply:
      return RecipientReply(ch, now);
    case kDataCommand:
      SendLine(ch, "DATA");
      Timers(ch, now);
      ch->nextState = kDataReply;
      return 0;
    case kDataReply:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      // Only a server that asked for the data gets it.
      if (ch->replyCode != 354) return ReportError(ch, 0, SME_SMTP_ERROR);
      ch->nextState = kHeaderMailer;
      return 0;
    default:
      return UnknownState(ch, state);
  }
}

// ---------------------------------------------------------------------------
// The header lines; Reply-To, Subject (with the extra header line), CC and
// the MIME lines only where they apply.

std::int32_t HeaderStep(ChannelContext* ch, std::int32_t state) {
  switch (state) {
    case kHeaderMailer:
      SendLine(ch, kMailer);
      ch->nextState = kHeaderDate;
      return 0;
    case kHeaderDate: {
      char date[128];
      DateLine(date, sizeof date);
      SendLine(ch, date);
      ch->nextState = kHeaderTo;
      return 0;
    }
    case kHeaderTo:
      if (!g_params.noToHeader) SendLine(ch, std::string("To: ") + ch->to);
      ch->nextState = kHeaderFrom;
      return 0;
    case kHeaderFrom:
      SendLine(ch, std::string("From: ") + ch->from);
      break;
    case kHeaderReplyTo:
      SendLine(ch, std::string("Reply-To: ") + ch->replyTo);
      break;
    case kHeaderSubject:
      SendLine(ch, std::string("Subject: ") + ch->subject);
      // The extra line is stuffed like a data line: it must not end the data.
      if (ch->extraHeader) SendLine(ch, ch->extraHeader[0] == '.' ? std::string(".") + ch->extraHeader : ch->extraHeader);
      break;
    case kHeaderCc:
      SendLine(ch, std::string("CC: ") + ch->cc);
      break;
    case kHeaderMimeVersion:
      SendLine(ch, "MIME-Version: 1.0");
      ch->nextState = kHeaderContentType;
      return 0;
    case kHeaderContentType:
      SendLine(ch, std::string("Content-Type: multipart/mixed; boundary=\"") + g_boundary + "\"");
      ch->nextState = kHeaderEnd;
      return 0;
    case kHeaderEnd:
      SendLine(ch, "");
      ch->nextState = Multipart(ch) ? kTextBoundary : kTextStart;
      return 0;
    default:
      return UnknownState(ch, state);
  }
  // From, Reply-To, Subject and CC: on to the next line that applies.
  ch->nextState = AfterHeader(ch, state);
  return 0;
}

// ---------------------------------------------------------------------------
// The text part: its boundary and type lines when the mail is multipart,
// then the text from memory or from the file named after "@".

void SendTextType(ChannelContext* ch) {
  static const char* const kTypes[8] = {
      "Content-Type: text/plain",
      "Content-Type: text/plain",
      "Content-Type: text/html",
      "Content-Type: text/enriched",
      "Content-Type: text/plain; charset=iso-8859-1",
      "Content-Type: text/plain",
      "Content-Type: text/plain",
      "Content-Type: text/plain",
  };
  bool encodingLine = ch->textMode >= 1 && ch->textMode <= 4;
  SendLine(ch, std::string(kTypes[ch->textMode & 7]) + (encodingLine ? "" : "\r\n"));
  ch->nextState = encodingLine ? kTextEncoding : kTextStart;
}

std::int32_t TextStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  switch (state) {
    case kTextBoundary:
      SendLine(ch, std::string("--") + g_boundary);
      ch->nextState = kTextType;
      return 0;
    case kTextType:
      SendTextType(ch);
      return 0;
    case kTextEncoding:
      SendLine(ch, "Content-Transfer-Encoding: quoted-printable\r\n");
      ch->nextState = kTextStart;
      return 0;
    case kTextStart:
      ResetTextReader(ch);
      ch->nextState = ch->text && ch->text[0] == '@' ? kTextOpenFile : kTextFromMemory;
      return 0;
    case kTextFromMemory:
      ch->textFromMemory = 1;
      ch->textSource = ch->text;
      ch->nextState = kTextMemoryLines;
      return 0;
    case kTextMemoryLines:
    case kTextFileLines:
      return TextLines(ch, state, now);
    case kTextOpenFile:
      ch->textFromMemory = 0;
      FileClose(&ch->file);
      ch->file.fd = OpenReadOnly(ch->text + 1);
      if (ch->file.fd < 0) return ReportError(ch, -1, SME_CANNOT_OPEN);
      ch->nextState = kTextFileLines;
      return 0;
    default:
      return UnknownState(ch, state);
  }
}

// ---------------------------------------------------------------------------
// One attachment part: boundary, type, encoding and disposition lines,
// then the file in base64 lines; the next name of the list follows.

std::int32_t AttachmentStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  switch (state) {
    case kAttachmentBoundary:
      SendLine(ch, std::string(ch->lastByteReceived == '\n' ? "\r\n--" : "\r\n\r\n--") + g_boundary);
      ch->nextState = kAttachmentType;
      return 0;
    case kAttachmentType: {
      // The list is cut at the name's comma; the rest is the next name.
      char* comma = std::strchr(ch->attachments, ',');
      if (comma) {
        *comma = '\0';
        ch->nextAttachment = comma + 1;
      } else {
        ch->nextAttachment = ch->attachments + std::strlen(ch->attachments);
      }
      SendLine(ch, "Content-Type: application/octet-stream; name=\"" + AttachmentName(ch->attachments) + "\"");
      ch->nextState = kAttachmentEncoding;
      return 0;
    }
    case kAttachmentEncoding:
      SendLine(ch, "Content-Transfer-Encoding: base64");
      ch->nextState = kAttachmentDisposition;
      return 0;
    case kAttachmentDisposition:
      SendLine(ch, "Content-Disposition: attachment; filename=\"" + AttachmentName(ch->attachments) + "\"\r\n");
      ch->wakeTime = now;
      ch->nextState = kAttachmentOpen;
      return 0;
    case kAttachmentOpen:
      FileClose(&ch->file);
      ch->file.fd = OpenReadOnly(ch->attachments);
      if (ch->file.fd < 0) return ReportError(ch, -1, SME_CANNOT_OPEN);
      ch->waitWritable = true;
      ch->nextState = kAttachmentLines;
      return 0;
    case kAttachmentLines:
      return AttachmentLines(ch, now);
    default:
      return UnknownState(ch, state);
  }
}

// ---------------------------------------------------------------------------
// The end of the mail, QUIT and VRFY.

std::int32_t MailEndStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    case kMailEnd:
      if (Multipart(ch)) SendLine(ch, std::string("--") + g_boundary + "--\r\n");
      SendLine(ch, "\r\n.");
      ++ch->mailsSent;
      Timers(ch, now);
      ch->nextState = kMailEndReply;
      return 0;
    case kMailEndReply:
      if ((r = Reply(ch, 100)) <= 0) return r;
      // Only a 2xx reply means the server took the mail.
      if (ch->replyCode < 200 || ch->replyCode > 299) return ReportError(ch, 0, SME_SMTP_ERROR);
      ch->nextState = kStateDone;
      return 0;
    default:
      return UnknownState(ch, state);
  }
}

// QUIT ends an SMTP and a POP3 session alike; the reply is read as the
// session's protocol writes it.
std::int32_t QuitStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    case kQuit:
      SendLine(ch, "QUIT");
      Timers(ch, now);
      ch->nextState = kQuitReply;
      return 0;
    case kQuitReply:
      if (ch->mode == 'P') {
        if (!ChannelReadable(ch, g_params.pollInterval)) return 0;
        if ((r = ReadPop3Reply(ch)) < 0) return ReportError(ch, 0, r);
      } else if ((r = Reply(ch, g_params.pollInterval)) <= 0) {
        return r;
      }
      CloseChannelSocket(ch, true);
      ch->nextState = kStateDone;
      return 0;
    default:
      return UnknownState(ch, state);
  }
}

// Takes the next address of the list at the cursor; none left ends the run.
void TakeVerifyAddress(ChannelContext* ch, std::uint32_t now) {
  if (!ch->cursor || !*ch->cursor) {
    ch->nextState = kStateDone;
    return;
  }
  ch->currentRecipient = ch->cursor;
  char* comma = std::strchr(ch->cursor, ',');
  if (comma) {
    *comma = '\0';
    ch->cursor = comma + 1;
  } else {
    ch->cursor += std::strlen(ch->cursor);
  }
  ch->deadline = TickAfter(now, g_params.replyTimeout);
  ch->waitWritable = true;
  ch->nextState = kVerifyCommand;
}

std::int32_t VerifyStep(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    case kVerifyNext:
      TakeVerifyAddress(ch, now);
      return 0;
    case kVerifyCommand:
      SendLine(ch, std::string("VRFY ") + ch->currentRecipient);
      Timers(ch, now);
      ch->nextState = kVerifyReply;
      return 0;
    case kVerifyReply:
      if (!ChannelReadable(ch, g_params.pollInterval)) return 0;
      r = ReadSmtpReply(ch);
      // A rejection does not end the run; a broken connection does.
      if (r < 0 && r != SME_SMTP_ERROR) return ReportError(ch, 0, r);
      ch->verifyResult = r == 0 && ch->replyCode == 250 ? 1 : 0;
      ch->nextState = kVerifyNext;
      return 0;
    default:
      return UnknownState(ch, state);
  }
}

// One step of the dialogue: the state's phase runs it.
std::int32_t Handle(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  switch (state) {
    case kConnectStart:
    case kConnectDescription:
    case kConnectLocalHost:
    case kConnectResolve:
    case kConnectSocket:
    case kConnectWait:
      return ConnectStep(ch, state, now);
    case kSessionStart:
    case kSessionGreeting:
    case kSessionHelo:
    case kSessionHeloReply:
      return SessionStep(ch, state, now);
    case kMailFrom:
    case kMailFromReply:
    case kRecipientNext:
    case kRecipientRcpt:
    case kRecipientReply:
    case kDataCommand:
    case kDataReply:
      return EnvelopeStep(ch, state, now);
    case kHeaderMailer:
    case kHeaderDate:
    case kHeaderTo:
    case kHeaderFrom:
    case kHeaderReplyTo:
    case kHeaderSubject:
    case kHeaderCc:
    case kHeaderMimeVersion:
    case kHeaderContentType:
    case kHeaderEnd:
      return HeaderStep(ch, state);
    case kTextBoundary:
    case kTextType:
    case kTextEncoding:
    case kTextStart:
    case kTextFromMemory:
    case kTextMemoryLines:
    case kTextOpenFile:
    case kTextFileLines:
      return TextStep(ch, state, now);
    case kAttachmentBoundary:
    case kAttachmentType:
    case kAttachmentEncoding:
    case kAttachmentDisposition:
    case kAttachmentOpen:
    case kAttachmentLines:
      return AttachmentStep(ch, state, now);
    case kMailEnd:
    case kMailEndReply:
      return MailEndStep(ch, state, now);
    case kQuit:
    case kQuitReply:
      return QuitStep(ch, state, now);
    case kVerifyNext:
    case kVerifyCommand:
    case kVerifyReply:
      return VerifyStep(ch, state, now);
    default:
      return UnknownState(ch, state);
  }
}

}  // namespace

std::int32_t RunState(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  bool handled = false;
  std::int32_t result = 0;
  if (state >= 300 && state <= 321) result = RunPop3State(ch, state, now, &handled);
  if (!handled) result = Handle(ch, state, now);
  if (result < 0) return result;
  // Data lines are gathered into larger sends; everything else goes out
  // at the end of its step.
  if (!ch->outgoing.empty() &&
      !(DataLineState(state) && ch->nextState == state && ch->outgoing.size() < kSendBatch && !ch->waitWritable))
    return Flush(ch);
  return 0;
}

// ---------------------------------------------------------------------------
std::int32_t ReadSmtpReply(ChannelContext* ch) {
  ch->replyCode = 0;
  char* buffer = ch->replyBuffer;
  std::int32_t fill = 0;
  buffer[0] = '\0';
  std::uint32_t deadline = ch->deadline ? ch->deadline : TickAfter(Now(), g_params.replyTimeout);
  for (;;) {
    // One line, up to and including its LF.
    std::int32_t start = fill;
    std::uint32_t lineDeadline = 0;
    for (;;) {
      if (fill >= kReplyRoom) return SME_REPLY_OVERFLOW;
      // Only a readable socket is read, so a read never blocks.
      if (ChannelReadable(ch, 0)) {
        std::int32_t n = ReadPiece(ch, buffer + fill, kReplyRoom - fill + 1);
        if (n == SME_SOCKET_CLOSED) return SME_SOCKET_CLOSED;  // never a reply
        if (n < 0) return n;
        if (n > 0) {
          fill += n;
          if (buffer[fill - 1] == '\n') break;
          if (!lineDeadline) lineDeadline = TickAfter(Now(), 4 * g_params.smtpLineWait);
          continue;
        }
      }
      std::uint32_t now = Now();
      if (!TickBefore(now, deadline) || (lineDeadline && !TickBefore(now, lineDeadline))) return SME_TIMED_OUT;
      std::uint32_t until = lineDeadline && TickBefore(lineDeadline, deadline) ? lineDeadline : deadline;
      std::int32_t left = static_cast<std::int32_t>(until - now);
      ChannelReadable(ch, left < g_params.pollInterval ? left : g_params.pollInterval);
    }
    const char* line = buffer + start;
    std::snprintf(ch->lastReplyLine, kSmallBlockSize, "%s", line);
    // Three digits, then a blank, "-" or the line end.
    bool wellFormed = fill - start >= 4 && line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
                      line[2] >= '0' && line[2] <= '9' &&
                      (line[3] == ' ' || line[3] == '-' || line[3] == '\r' || line[3] == '\n');
    if (!wellFormed) {
      LogFormat(ch, "R: %s\r\n", line);
      return SME_SMTP_ERROR;
    }
    if (ch->replyCode == 0) {
      ch->replyCode = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
      if (ch->replyCode >= 500) {
        LogFormat(ch, "R: %s\r\n", line);
        return SME_SMTP_ERROR;
      }
    }
    if (line[3] != '-') return 0;
    LogFormat(ch, "R: %s\r\n", line);
  }
}

void DateLine(char* buffer, std::size_t size) {
  static const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  long offset = local.tm_gmtoff / 60;
  char sign = offset >= 0 ? '+' : '-';
  if (offset < 0) offset = -offset;
  char minutes[8];
  std::snprintf(minutes, sizeof minutes, local.tm_min >= 10 ? "%d" : "0%d", local.tm_min);
  std::snprintf(buffer, size, "Date: %s, %1d %s %d %1d:%s %c%02ld%02ld", kDays[local.tm_wday % 7], local.tm_mday,
                kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, minutes, sign, offset / 60,
                offset % 60);
}

void ResetTextReader(ChannelContext* ch) {
  ch->textPosition = 0;
  ch->textFill = 0;
  ch->textEnded = 0;
  ch->textSource = nullptr;
}

namespace {
// Refills the text buffer behind the unread rest; false on a read failure.
bool RefillText(ChannelContext* ch) {
  std::int32_t rest = ch->textFill - ch->textPosition;
  std::memmove(ch->textBuffer, ch->textBuffer + ch->textPosition, static_cast<std::size_t>(rest));
  ch->textPosition = 0;
  ch->textFill = rest;
  std::int32_t want = kTextRefill - rest;
  std::int32_t got = 0;
  if (ch->textFromMemory) {
    const char* source = ch->textSource ? ch->textSource : "";
    const void* end = std::memchr(source, '\0', static_cast<std::size_t>(want));
    got = end ? static_cast<std::int32_t>(static_cast<const char*>(end) - source) : want;
    std::memcpy(ch->textBuffer + rest, source, static_cast<std::size_t>(got));
    ch->textSource = source + got;
  } else {
    long n = ReadSome(ch->file.fd, ch->textBuffer + rest, static_cast<std::size_t>(want));
    if (n < 0) return false;
    got = static_cast<std::int32_t>(n);
  }
  ch->textFill += got;
  ch->bytesRead += got;
  if (got == 0) ch->textEnded = 1;
  return true;
}
}  // namespace

std::int32_t BodyLine(ChannelContext* ch, char* out) {
  static const char kHex[] = "0123456789ABCDEF";
  std::int32_t length = 0;
  std::int32_t consumed = 0;
  std::int32_t longest = g_params.longestLine;
  out[1] = '\0';
  char* line = out + 1;  // room for a dot in front
  for (;;) {
    if (ch->textPosition >= ch->textFill) {
      if (ch->textEnded) break;
      if (!RefillText(ch)) return -1;
      if (ch->textPosition >= ch->textFill) break;
    }
    unsigned char c = static_cast<unsigned char>(ch->textBuffer[ch->textPosition]);
    if (c == 0) {
      ch->textEnded = 1;
      ch->textFill = ch->textPosition;
      break;
    }
    ++ch->textPosition;
    ++consumed;
    if (c == '\r') continue;
    if (c == '\n') break;
    if (ch->textMode != 0) {
      if (c == '=' || c < 32 || c > 126) {
        line[length++] = '=';
        line[length++] = kHex[c >> 4];
        line[length++] = kHex[c & 15];
      } else {
        line[length++] = static_cast<char>(c);
      }
      if (length >= longest) {
        line[length++] = '=';
        break;
      }
    } else {
      if ((c < 32 || c > 126) && !g_params.passBytes) c = '~';
      line[length++] = static_cast<char>(c);
      if ((c == ' ' && length >= 61) || length >= longest) break;
    }
  }
  if (consumed > 0 && length == 0) line[length++] = ' ';
  line[length] = '\0';
  // A line that begins with "." gets one more in front, so that no line of
  // the text can end the data early.
  if (length > 0 && line[0] == '.') {
    out[0] = '.';
    return length + 1;
  }
  std::memmove(out, line, static_cast<std::size_t>(length) + 1);
  return length;
}

std::size_t Base64Line(const unsigned char* bytes, std::size_t count, char* out) {
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    std::uint32_t group = (static_cast<std::uint32_t>(bytes[i]) << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out[o++] = kBase64[(group >> 18) & 63];
    out[o++] = kBase64[(group >> 12) & 63];
    out[o++] = kBase64[(group >> 6) & 63];
    out[o++] = kBase64[group & 63];
  }
  if (i < count) {
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (i + 1 < count) group |= bytes[i + 1] << 8;
    out[o++] = kBase64[(group >> 18) & 63];
    out[o++] = kBase64[(group >> 12) & 63];
    out[o++] = i + 1 < count ? kBase64[(group >> 6) & 63] : '=';
    out[o++] = '=';
  }
  out[o++] = '\r';
  out[o++] = '\n';
  out[o] = '\0';
  return o;
}

}  // namespace mvn::smtpengine
