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
bool DataLineState(std::int32_t state) { return state == 241 || state == 245 || state == 265; }

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
      if (state == 245) FileClose(&ch->file);
      ch->nextState = ch->attachments ? 260 : 251;
      return 0;
    }
    ch->textBytesSent += length + 2;
    SendLine(ch, line);
    ch->wakeTime = g_params.linePause > 0 ? TickAfter(now, g_params.linePause) : 0;
    ch->deadline = TickAfter(now, state == 245 ? g_params.replyTimeout : g_params.lineTimeout);
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
        ch->nextState = 260;
      } else {
        ch->nextState = 251;
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
  if (from < 225 && ch->replyTo && *ch->replyTo) return 225;
  if (from < 226 && ch->subject) return 226;
  if (from < 227 && ch->cc) return 227;
  return Multipart(ch) ? 228 : 230;
}

std::int32_t Handle(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    // Connect sequence.
    case 102:
      std::snprintf(ch->replyBuffer, kBufferSize, "%s", g_wsaData.szDescription);
      ch->nextState = 103;
      return 0;
    case 103:
      if (LocalHostName(ch->replyBuffer, 256) < 0) ch->replyBuffer[0] = '\0';
      LogFormat(ch, "LocalHost = '%s'\r\n", ch->replyBuffer);
      ch->nextState = 104;
      return 0;
    case 104: {
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
      ch->nextState = 105;
      return 0;
    }
    case 105: {
      LockEngine();
      SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
      UnlockEngine();
      if (s == INVALID_SOCKET) {
        ch->nextState = 0;
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
      ch->nextState = 106;
      return 0;
    }
    case 106:
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

    // SMTP connection.
    case 200:
      LogFormat(ch, "SMTP Engine Version %d.%d.%d Build %d\r\n", 1, 0, 0, 1);
      ch->returnState = 201;
      ch->nextState = 101;
      return 0;
    case 101:
      ch->nextState = 102;
      return 0;
    case 201:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      Timers(ch, now);
      ch->nextState = 202;
      return 0;
    case 202: {
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
      ch->nextState = 203;
      return 0;
    }
    case 203:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      ch->nextState = 0;
      return 0;

    // Mail.
    case 204: {
      if (!ch->from || !*ch->from) return ReportError(ch, 0, SME_MISSING_FROM);
      const char* lt = std::strchr(ch->from, '<');
      if (!lt) return ReportError(ch, 0, SME_MISSING_LT);
      SendLine(ch, std::string("MAIL FROM:") + lt);
      Timers(ch, now);
      ch->nextState = 205;
      return 0;
    }
    case 205:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      ch->cursor = ch->to;
      ch->ccDone = ch->cc ? 0 : 1;
      ch->bccDone = ch->bcc ? 0 : 1;
      ch->nextState = 206;
      return 0;
    case 206: {
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
      ch->nextState = 207;
      return 0;
    }
    case 207:
      SendLine(ch, std::string("RCPT TO:") + ch->currentRecipient);
      ch->deadline = TickAfter(now, g_params.replyTimeout);
      ch->nextState = 208;
      return 0;
    case 208: {
      r = Reply(ch, g_params.pollInterval);
      if (r != 0 && ch->commaPosition) {
        *ch->commaPosition = ',';
        ch->commaPosition = nullptr;
      }
      if (r <= 0) return r;
      if (*ch->cursor) {
        ch->nextState = 206;
      } else if (!ch->ccDone) {
        ch->cursor = ch->cc;
        ch->ccDone = 1;
        ch->nextState = 206;
      } else if (!ch->bccDone) {
        ch->cursor = ch->bcc;
        ch->bccDone = 1;
        ch->nextState = 206;
      } else {
        ch->wakeTime = TickAfter(now, g_params.commandPause);
        ch->nextState = 209;
      }
      return 0;
    }
    case 209:
      SendLine(ch, "DATA");
      Timers(ch, now);
      ch->nextState = 210;
      return 0;
    case 210:
      if ((r = Reply(ch, g_params.pollInterval)) <= 0) return r;
      // Only a server that asked for the data gets it.
      if (ch->replyCode != 354) return ReportError(ch, 0, SME_SMTP_ERROR);
      ch->nextState = 220;
      return 0;
    case 220:
      SendLine(ch, kMailer);
      ch->nextState = 222;
      return 0;
    case 222: {
      char date[128];
      DateLine(date, sizeof date);
      SendLine(ch, date);
      ch->nextState = 223;
      return 0;
    }
    case 223:
      if (!g_params.noToHeader) SendLine(ch, std::string("To: ") + ch->to);
      ch->nextState = 224;
      return 0;
    case 224:
      SendLine(ch, std::string("From: ") + ch->from);
      ch->nextState = AfterHeader(ch, 224);
      return 0;
    case 225:
      SendLine(ch, std::string("Reply-To: ") + ch->replyTo);
      ch->nextState = AfterHeader(ch, 225);
      return 0;
    case 226:
      SendLine(ch, std::string("Subject: ") + ch->subject);
      if (ch->extraHeader) SendLine(ch, ch->extraHeader[0] == '.' ? std::string(".") + ch->extraHeader : ch->extraHeader);
      ch->nextState = AfterHeader(ch, 226);
      return 0;
    case 227:
      SendLine(ch, std::string("CC: ") + ch->cc);
      ch->nextState = AfterHeader(ch, 227);
      return 0;
    case 228:
      SendLine(ch, "MIME-Version: 1.0");
      ch->nextState = 229;
      return 0;
    case 229:
      SendLine(ch, std::string("Content-Type: multipart/mixed; boundary=\"") + g_boundary + "\"");
      ch->nextState = 230;
      return 0;
    case 230:
      SendLine(ch, "");
      ch->nextState = Multipart(ch) ? 231 : 235;
      return 0;
    case 231:
      SendLine(ch, std::string("--") + g_boundary);
      ch->nextState = 232;
      return 0;
    case 232: {
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
      ch->nextState = encodingLine ? 233 : 235;
      return 0;
    }
    case 233:
      SendLine(ch, "Content-Transfer-Encoding: quoted-printable\r\n");
      ch->nextState = 235;
      return 0;
    case 235:
      ResetTextReader(ch);
      ch->nextState = ch->text && ch->text[0] == '@' ? 244 : 240;
      return 0;
    case 240:
      ch->textFromMemory = 1;
      ch->textSource = ch->text;
      ch->nextState = 241;
      return 0;
    case 241:
    case 245:
      return TextLines(ch, state, now);
    case 244:
      ch->textFromMemory = 0;
      FileClose(&ch->file);
      ch->file.fd = OpenReadOnly(ch->text + 1);
      if (ch->file.fd < 0) return ReportError(ch, -1, SME_CANNOT_OPEN);
      ch->nextState = 245;
      return 0;
    case 260:
      SendLine(ch, std::string(ch->lastByteReceived == '\n' ? "\r\n--" : "\r\n\r\n--") + g_boundary);
      ch->nextState = 261;
      return 0;
    case 261: {
      char* comma = std::strchr(ch->attachments, ',');
      if (comma) {
        *comma = '\0';
        ch->nextAttachment = comma + 1;
      } else {
        ch->nextAttachment = ch->attachments + std::strlen(ch->attachments);
      }
      SendLine(ch, "Content-Type: application/octet-stream; name=\"" + AttachmentName(ch->attachments) + "\"");
      ch->nextState = 262;
      return 0;
    }
    case 262:
      SendLine(ch, "Content-Transfer-Encoding: base64");
      ch->nextState = 263;
      return 0;
    case 263:
      SendLine(ch, "Content-Disposition: attachment; filename=\"" + AttachmentName(ch->attachments) + "\"\r\n");
      ch->wakeTime = now;
      ch->nextState = 264;
      return 0;
    case 264:
      FileClose(&ch->file);
      ch->file.fd = OpenReadOnly(ch->attachments);
      if (ch->file.fd < 0) return ReportError(ch, -1, SME_CANNOT_OPEN);
      ch->waitWritable = true;
      ch->nextState = 265;
      return 0;
    case 265:
      return AttachmentLines(ch, now);
    case 251:
      if (Multipart(ch)) SendLine(ch, std::string("--") + g_boundary + "--\r\n");
      SendLine(ch, "\r\n.");
      ++ch->mailsSent;
      Timers(ch, now);
      ch->nextState = 252;
      return 0;
    case 252:
      if ((r = Reply(ch, 100)) <= 0) return r;
      // Only a 2xx reply means the server took the mail.
      if (ch->replyCode < 200 || ch->replyCode > 299) return ReportError(ch, 0, SME_SMTP_ERROR);
      ch->nextState = 0;
      return 0;

    // Close.
    case 258:
      SendLine(ch, "QUIT");
      Timers(ch, now);
      ch->nextState = 259;
      return 0;
    case 259:
      if (ch->mode == 'P') {
        if (!ChannelReadable(ch, g_params.pollInterval)) return 0;
        if ((r = ReadPop3Reply(ch)) < 0) return ReportError(ch, 0, r);
      } else if ((r = Reply(ch, g_params.pollInterval)) <= 0) {
        return r;
      }
      CloseChannelSocket(ch, true);
      ch->nextState = 0;
      return 0;

    // VRFY.
    case 270: {
      if (!ch->cursor || !*ch->cursor) {
        ch->nextState = 0;
        return 0;
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
      ch->nextState = 271;
      return 0;
    }
    case 271:
      SendLine(ch, std::string("VRFY ") + ch->currentRecipient);
      Timers(ch, now);
      ch->nextState = 272;
      return 0;
    case 272:
      if (!ChannelReadable(ch, g_params.pollInterval)) return 0;
      r = ReadSmtpReply(ch);
      // A rejection does not end the run; a broken connection does.
      if (r < 0 && r != SME_SMTP_ERROR) return ReportError(ch, 0, r);
      ch->verifyResult = r == 0 && ch->replyCode == 250 ? 1 : 0;
      ch->nextState = 270;
      return 0;
    default:
      LogFormat(ch, "ERROR! Unknown state %d\r\n", state);
      // Nothing can run this state: the channel rests.
      ch->nextState = 0;
      return 0;
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
