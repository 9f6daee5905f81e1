// The channel operations: attach and release, the parameters, the SMTP
// operations with their argument checks, the drive loop and the one-step
// state machine, the address check, error texts, debug values and counters.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/kernel/utf.h"
#include "smtpengine/engine.h"

namespace mvn::smtpengine {

namespace {

ChannelContext* g_channels[SME_MAX_CHANNELS] = {};
bool g_socketsStarted = false;
// Any character of the engine's empty mail text.
char g_emptyText[1] = {'\0'};

std::int32_t SetUpChannel(std::int32_t n) {
  // The record is built at the first aligned address of its block (the
  // caller's area of a block starts one byte in, behind the guard).
  constexpr std::size_t kAlign = alignof(ChannelContext);
  std::int32_t index =
      BlockAllocate(n * SME_BLOCKS_PER_CHANNEL + kBlockRecord, static_cast<std::int32_t>(sizeof(ChannelContext) + kAlign));
  if (index < 0) return SME_NO_MEMORY;
  std::uintptr_t area = reinterpret_cast<std::uintptr_t>(BlockAddress(index));
  ChannelContext* ch = new (reinterpret_cast<void*>((area + kAlign - 1) & ~(kAlign - 1))) ChannelContext();
  g_channels[n] = ch;
  ch->channel = n;
  ch->sendBuffer = ChannelAllocate(ch, n, kBlockSend, kBufferSize);
  ch->replyBuffer = ChannelAllocate(ch, n, kBlockReply, kBufferSize);
  ch->textBuffer = ChannelAllocate(ch, n, kBlockTextBuffer, kBufferSize);
  char* small[14];
  bool ok = ch->sendBuffer && ch->replyBuffer && ch->textBuffer;
  for (int block = kBlockBoundary; block <= kBlockAttachPath; ++block) {
    small[block - kBlockBoundary] = ChannelAllocate(ch, n, block, kSmallBlockSize);
    ok = ok && small[block - kBlockBoundary];
  }
  ch->logLine = ChannelAllocate(ch, n, kBlockLogLine, kLogLineSize);
  // Every buffer is used later: any failed allocation fails the attach.
  if (!ok || !ch->logLine) return SME_NO_MEMORY;
  ch->lastReplyLine = small[kBlockLastReply - kBlockBoundary];
  ch->server = small[kBlockServer - kBlockBoundary];
  ch->from = small[kBlockFrom - kBlockBoundary];
  ch->replyTo = small[kBlockReplyTo - kBlockBoundary];
  ch->pop3User = small[kBlockPop3User - kBlockBoundary];
  ch->pop3Password = small[kBlockPop3Password - kBlockBoundary];
  ch->boundary = small[kBlockBoundary - kBlockBoundary];
  ch->altBoundary = small[kBlockAltBoundary - kBlockBoundary];
  ch->mailFile = small[kBlockMailFile - kBlockBoundary];
  ch->mailDir = small[kBlockMailDir - kBlockBoundary];
  ch->attachDir = small[kBlockAttachDir - kBlockBoundary];
  ch->attachName = small[kBlockAttachName - kBlockBoundary];
  ch->pathBuffer = small[kBlockPath - kBlockBoundary];
  ch->attachPath = small[kBlockAttachPath - kBlockBoundary];
  ch->outgoing.reserve(kSendBatch + 4096);
  return 0;
}

void ReleaseChannel(std::int32_t n) {
  ChannelContext* ch = g_channels[n];
  if (!ch) return;
  LogFormat(ch, "Releasing channel %d\r\n", n);
  FileClose(&ch->file);
  DiscardFetch(ch);
  CloseChannelSocket(ch, false);
  CloseLogFile(ch);
  ChannelFree(nullptr, n, 1, SME_BLOCKS_PER_CHANNEL - 1);
  ch->~ChannelContext();
  BlockFree(n * SME_BLOCKS_PER_CHANNEL + kBlockRecord);
  g_channels[n] = nullptr;
}

// Copies at most 127 characters into a 128-byte field.
void CopyField(char* field, const char* text) {
  std::snprintf(field, kSmallBlockSize, "%s", text ? text : "");
}

bool Empty(const char* text) { return !text || !*text; }

// '<' and, at or after it, '>' in the first address of a list, both
// searched only up to the list separator: 0, -41 or -43.
std::int32_t CheckBrackets(const char* list) {
  const char* lt = nullptr;
  const char* p = list;
  for (; *p && *p != g_params.listSeparator; ++p)
    if (*p == '<') {
      lt = p;
      break;
    }
  if (!lt) return SME_MISSING_LT;
  for (p = lt; *p && *p != g_params.listSeparator; ++p)
    if (*p == '>') return 0;
  return SME_MISSING_GT;
}

// Drives the channel until the operation is done (0) or failed (< 0).
std::int32_t Drive(ChannelContext* ch) {
  std::int32_t result;
  std::uint32_t steps = 0;
  do {
    result = EngineStateMachine(ch->channel);
    // Yield now and then between steps (every step is one line of a long
    // message); waits themselves block in poll.
    if (result > 0 && (++steps & 255) == 0) SleepMs(0);
  } while (result > 0);
  LogFlush(ch);
  return result;
}

std::int32_t Run(ChannelContext* ch) {
  if (!ch->driveToEnd) {
    LogFlush(ch);
    return 0;
  }
  return Drive(ch);
}

}  // namespace

std::int32_t RunChannel(ChannelContext* ch) { return Run(ch); }

ChannelContext* Channel(std::int32_t channel) {
  if (channel < 0 || channel >= g_attached) return nullptr;
  return g_channels[channel];
}

std::int32_t CheckChannel(std::int32_t channel) {
  if (g_attached <= 0) return SME_NOT_ATTACHED;
  if (channel < 0 || channel >= g_attached || !g_channels[channel]) return SME_CHANNEL_RANGE;
  return 0;
}

bool HasLineBreak(const char* text) { return text && std::strpbrk(text, "\r\n"); }

namespace {

// A server name that is an address rather than a host ("<", ">" or "@" in
// it), or that holds a byte below 32 or from 127 to 191.
bool BadServerName(const char* server) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(server); *p; ++p)
    if (*p == '<' || *p == '>' || *p == '@' || !((*p >= 32 && *p <= 126) || *p >= 192)) return true;
  return false;
}

}  // namespace

ChannelContext* StartConnect(std::int32_t channel, char mode, const char* logLine, const char* server,
                             std::initializer_list<RequiredArgument> required,
                             std::initializer_list<const char*> oneLine, std::int32_t* code) {
  *code = CheckChannel(channel);
  if (*code) return nullptr;
  ChannelContext* ch = Channel(channel);
  ch->mode = mode;
  LogText(ch, logLine);
  if (!server) *code = SME_NO_SERVER;
  for (const RequiredArgument& argument : required)
    if (!*code && !argument.value) *code = argument.missing;
  if (!*code && BadServerName(server)) *code = SME_BAD_SERVER_NAME;
  for (const char* text : oneLine)
    if (!*code && HasLineBreak(text)) *code = SME_BAD_CHARACTER;
  if (!*code) return ch;
  LogFlush(ch);
  return nullptr;
}

// ---------------------------------------------------------------------------
SMERESULT smeAttach(std::int32_t channels) {
  if (g_attached > 0) return SME_ALREADY_ATTACHED;
  if (channels > SME_MAX_CHANNELS) return SME_CHANNEL_RANGE;
  CreateEngineLock();
  LockEngine();
  if (!g_socketsStarted) {
    int startup = WSAStartup(MAKEWORD(1, 1), &g_wsaData);
    if (startup != 0) {
      UnlockEngine();
      return -startup;
    }
    g_socketsStarted = true;
  }
  BlockTableInit();
  // A fresh attach starts from the default parameters.
  g_params = EngineParams{};
  std::int32_t count = channels < 0 ? 0 : channels;
  for (std::int32_t n = 0; n < count; ++n) {
    std::int32_t code = SetUpChannel(n);
    if (code < 0) {
      for (std::int32_t m = 0; m <= n; ++m) {
        if (!g_channels[m]) continue;
        ChannelFree(nullptr, m, 1, SME_BLOCKS_PER_CHANNEL - 1);
        g_channels[m]->~ChannelContext();
        BlockFree(m * SME_BLOCKS_PER_CHANNEL);
        g_channels[m] = nullptr;
      }
      WSACleanup();
      g_socketsStarted = false;
      UnlockEngine();
      return code;
    }
  }
  g_attached = count;
  std::snprintf(g_boundary, sizeof g_boundary, "=====_%7ld_=====", static_cast<long>(static_cast<std::int32_t>(Now())));
  UnlockEngine();
  return 1;
}

SMERESULT EngineRelease() {
  if (!g_socketsStarted) return 1;
  LockEngine();
  for (std::int32_t n = 0; n < SME_MAX_CHANNELS; ++n) ReleaseChannel(n);
  g_attached = 0;
  WSACleanup();
  g_socketsStarted = false;
  UnlockEngine();
  DeleteEngineLock();
  return 1;
}

// ---------------------------------------------------------------------------
SMERESULT smeSmtpConnect(std::int32_t channel, const char* server, const char* from, const char* replyTo) {
  std::int32_t result = 0;
  ChannelContext* ch =
      StartConnect(channel, 'S', "*** smeSmtpConnect\r\n", server, {{from, SME_FROM_NULL}}, {replyTo}, &result);
  if (!ch) return result;
  if (Empty(replyTo)) {
    ch->replyTo = nullptr;
  } else if (ch->replyTo) {
    CopyField(ch->replyTo, replyTo);
  }
  CopyField(ch->server, server);
  if (!*from) result = SME_EMPTY_ADDRESS;
  if (!result && HasLineBreak(from)) result = SME_BAD_CHARACTER;
  if (!result) {
    const char* lt = std::strchr(from, '<');
    if (!lt)
      result = ReportError(ch, 0, SME_MISSING_LT);
    else if (!std::strchr(lt, '>'))
      result = SME_MISSING_GT;
  }
  if (result) {
    LogFlush(ch);
    return result;
  }
  CopyField(ch->from, from);
  // A connection still open is closed before the new one is made.
  CloseChannelSocket(ch, false);
  FileClose(&ch->file);
  DiscardFetch(ch);
  ch->currentPort = ch->smtpPort;
  ch->waitWritable = false;
  ch->nextState = kSessionStart;
  ch->returnState = 0;
  ch->lastSocketCode = 0;
  ch->attachmentsSaved = 0;
  ch->attachmentSequence = 0;
  ch->wakeTime = 0;
  ch->deadline = 0;
  return Run(ch);
}

SMERESULT smeSendEmail(std::int32_t channel, const char* to, const char* cc, const char* bcc, const char* subject,
                       const char* message, const char* attachments) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  if (ch->mode != 'S') return SME_SMTP_ONLY;
  LogText(ch, "*** smeSendEmail\r\n");
  auto fail = [&](std::int32_t code) {
    LogFlush(ch);
    return code;
  };
  if (ch->socket == 0 || smeStatus(ch->socket, 2) != 1) return fail(SME_NOT_CONNECTED);
  ch->bytesRead = ch->attachmentBytesRead = ch->textBytesSent = ch->attachmentBytesSent = 0;
  ch->to = nullptr;
  if (Empty(to)) return fail(SME_NO_RECIPIENT);
  // Nothing that ends up in a header line may carry a line break.
  if (HasLineBreak(to) || HasLineBreak(cc) || HasLineBreak(bcc) || HasLineBreak(subject))
    return fail(SME_BAD_CHARACTER);
  if (HasLineBreak(attachments)) return fail(SME_CANNOT_OPEN);
  const char* lists[3] = {to, cc, bcc};
  for (const char* list : lists) {
    if (Empty(list)) continue;
    std::int32_t code = CheckBrackets(list);
    if (code == SME_MISSING_LT) return fail(ReportError(ch, 0, code));
    if (code) return fail(code);
  }
  if (!(ch->to = AllocAndCopy(ch, kBlockTo, to))) return fail(SME_NO_MEMORY);
  ch->cc = nullptr;
  ch->bcc = nullptr;
  if (!Empty(cc) && !(ch->cc = AllocAndCopy(ch, kBlockCc, cc))) return fail(SME_NO_MEMORY);
  if (!Empty(bcc) && !(ch->bcc = AllocAndCopy(ch, kBlockBcc, bcc))) return fail(SME_NO_MEMORY);
  ch->subject = Empty(subject) ? nullptr : AllocAndCopy(ch, kBlockSubject, subject);
  if (!Empty(subject) && !ch->subject) return fail(SME_NO_MEMORY);
  if (Empty(message)) {
    ch->text = g_emptyText;
  } else if (!(ch->text = AllocAndCopy(ch, kBlockText, message))) {
    return fail(SME_NO_MEMORY);
  }
  ch->attachments = Empty(attachments) ? nullptr : AllocAndCopy(ch, kBlockAttachments, attachments);
  if (!Empty(attachments) && !ch->attachments) return fail(SME_NO_MEMORY);
  ch->nextAttachment = nullptr;
  ch->waitWritable = true;
  ch->nextState = kMailFrom;
  ch->returnState = 0;
  ch->lastSocketCode = 0;
  if (!ch->driveToEnd) return Run(ch);
  LogText(ch, "*** Sending...\r\n");
  ch->wakeTime = 0;
  ch->deadline = 0;
  return Drive(ch);
}

SMERESULT smeClose(std::int32_t channel) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  LogText(ch, "*** smeClose\r\n");
  std::int32_t result = 0;
  // Without a connection there is nothing to say goodbye to.
  if (ch->socket != 0) {
    ch->waitWritable = true;
    ch->nextState = kQuit;
    ch->returnState = 0;
    ch->lastSocketCode = 0;
    ch->wakeTime = 0;
    ch->deadline = 0;
    if (!ch->driveToEnd) return Run(ch);
    result = Drive(ch);
  } else {
    ch->nextState = 0;
  }
  ChannelFree(ch, channel, kBlockTo, kBlockExtraHeader);
  ch->to = ch->cc = ch->bcc = ch->subject = ch->attachments = ch->extraHeader = nullptr;
  ch->text = g_emptyText;
  ch->cursor = ch->nextAttachment = ch->currentRecipient = ch->commaPosition = nullptr;
  ch->mode = 0;
  LogFlush(ch);
  return result;
}

SMERESULT smeVerifyUser(std::int32_t channel, const char* addresses) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  if (ch->mode != 'S') return SME_SMTP_ONLY;
  LogText(ch, "*** smeVerifyUser\r\n");
  ch->verifyResult = 0;
  if (Empty(addresses)) return SME_NO_RECIPIENT;
  if (HasLineBreak(addresses)) return SME_BAD_CHARACTER;
  if (ch->socket == 0) return SME_NOT_CONNECTED;
  if (!(ch->to = AllocAndCopy(ch, kBlockTo, addresses))) return SME_NO_MEMORY;
  ch->cursor = ch->to;
  ch->nextState = kVerifyNext;
  if (!ch->driveToEnd) return Run(ch);
  ch->wakeTime = 0;
  ch->deadline = 0;
  std::int32_t result = Drive(ch);
  return result < 0 ? result : ch->verifyResult;
}

SMERESULT smeStep(std::int32_t channel) { return EngineStateMachine(channel); }

// ---------------------------------------------------------------------------
SMERESULT smeIntegerParam(std::int32_t channel, std::int32_t key, std::int32_t value) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  LogFormat(ch, "*** smeIntegerParam(%d,%d,%ld)\r\n", channel, key, static_cast<long>(value));
  auto bounded = [](std::int32_t v, std::int32_t low, std::int32_t high) { return v < low ? low : v > high ? high : v; };
  std::int32_t result = value;
  switch (key) {
    case 1: g_params.commandPause = bounded(value, 0, 0x7FFFFFFF); break;
    case 2: g_params.replyTimeout = bounded(value, 0, 0x7FFFFFFF); break;
    case 3: g_params.connectTimeout = bounded(value, 0, 0x7FFFFFFF); break;
    case 5: g_params.linePause = bounded(value, 0, 0x7FFFFFFF); break;
    case 6: g_params.lineTimeout = bounded(value, 0, 0x7FFFFFFF); break;
    case 8: result = ch->textMode = value & 7; break;
    case 9:
      result = ch->driveToEnd = value & 1;
      ch->wakeTime = 0;
      ch->deadline = 0;
      break;
    case 10: ch->savedAttachments = value; break;
    case 11: g_params.smtpLineWait = bounded(value, 0, 0x1FFFFFFF); break;
    case 12: g_params.pop3Wait = bounded(value, 0, 0x1FFFFFFF); break;
    // The poll interval is also every wait's slice: at least 1 ms.
    case 13: g_params.pollInterval = bounded(value, 1, 60000); break;
    case 14: ch->saveAttachments = value; break;
    case 15: ch->smtpPort = static_cast<std::uint16_t>(value & 0xFFFF); break;
    case 16: ch->pop3Port = static_cast<std::uint16_t>(value & 0xFFFF); break;
    // The longest line must leave room in the line buffers for the
    // quoted-printable groups, the soft break and a dot.
    // The value is returned as given; the bounded one is stored.
    case 17: g_params.longestLine = bounded(value, 8, 990); break;
    case 18: ch->nonBlockingConnect = value == 0 ? 1 : 0; break;
    case 19: g_params.passBytes = value & 0xFF; break;
    case 21: g_params.noAttachmentLines = value & 0xFF; break;
    case 22: g_params.noToHeader = value & 0xFF; break;
    case 23: g_params.listSeparator = static_cast<char>(value & 0xFF); break;
    default: result = -1; break;
  }
  LogFlush(ch);
  return result;
}

SMERESULT smeStringParam(std::int32_t channel, std::int32_t key, const char* text) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  if (!text) return SME_NULL_POINTER;
  LogFormat(ch, "*** smeStringParam(%d,%d,%s)\r\n", channel, key, text);
  std::int32_t result = -1;
  switch (key) {
    case 20:
      result = OpenLogFile(ch, text) ? ch->logFd + 1 : -1;
      break;
    case 50:
      if (!ch->replyTo) {
        result = 0;
      } else if (HasLineBreak(text)) {
        result = SME_BAD_CHARACTER;
      } else {
        CopyField(ch->replyTo, text);
        result = static_cast<std::int32_t>(std::strlen(ch->replyTo));
      }
      break;
    case 51: {
      std::string line(text);
      // A line end among the last three characters ends the line there;
      // anywhere else it would start a header of its own: refused.
      std::size_t cut = line.find_first_of("\r\n", line.size() > 3 ? line.size() - 3 : 0);
      if (cut != std::string::npos) line.resize(cut);
      if (HasLineBreak(line.c_str())) {
        result = -1;
        break;
      }
      if (line.empty()) {
        ChannelFree(ch, channel, kBlockExtraHeader, kBlockExtraHeader);
        ch->extraHeader = nullptr;
        result = 0;
      } else {
        ch->extraHeader = AllocAndCopy(ch, kBlockExtraHeader, line.c_str());
        result = ch->extraHeader ? static_cast<std::int32_t>(line.size()) : SME_NO_MEMORY;
      }
      break;
    }
    default: break;
  }
  LogFlush(ch);
  return result;
}

SMERESULT smeVerifyFormat(const char* address) {
  if (!address) return SME_NULL_POINTER;
  if (!*address) return SME_EMPTY_ADDRESS;
  const char* lt = nullptr;
  const char* gt = nullptr;
  for (const char* p = address; *p && *p != g_params.listSeparator; ++p)
    if (*p == '<') {
      lt = p;
      break;
    }
  for (const char* p = address; *p && *p != g_params.listSeparator; ++p)
    if (*p == '>') {
      gt = p;
      break;
    }
  if (!lt) return SME_MISSING_LT;
  if (!gt || gt < lt) return SME_MISSING_GT;
  int ats = 0;
  for (const char* p = lt + 1; p < gt; ++p) {
    char c = *p;
    if (c == '@') {
      if (++ats > 1) return SME_TOO_MANY_AT;
      continue;
    }
    bool allowed = c == '$' || c == '&' || c == '-' || c == '.' || c == '/' || (c >= '0' && c <= '9') ||
                   (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!allowed) return SME_BAD_CHARACTER;
  }
  return ats == 1 ? 1 : SME_MISSING_AT;
}

SMERESULT smeErrorText(std::int32_t channel, std::int32_t code, char* buffer, std::int32_t size) {
  if (std::int32_t check = CheckChannel(channel)) return check;
  if (!buffer || size <= 0) return 0;
  ChannelContext* ch = Channel(channel);
  std::string text = ErrorTextOf(code);
  if (!text.empty() && (code == SME_SMTP_ERROR || code == SME_POP3_ERROR || code == SME_CONNECT_ERROR)) {
    text += ' ';
    text += ch->replyBuffer;
  }
  // Never cut a UTF-8 character (a server's reply may carry them).
  std::size_t length = mvn::kernel::Utf8CutPoint(text, static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return static_cast<std::int32_t>(length);
}

SMERESULT smeDebug(std::int32_t channel, std::int32_t index, char* buffer, std::int32_t size) {
  if (!buffer && size == SME_GUARD_CHECK_SIZE) return BlockCheck(channel * SME_BLOCKS_PER_CHANNEL + index);
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  LogText(ch, "*** smeDebug\r\n");
  LogFlush(ch);
  if (!buffer || size <= 0) return 0;
  auto put = [&](const char* text) {
    std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(size - 1)) length = static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<std::int32_t>(length);
  };
  char text[256];
  switch (index) {
    case 23: {
      std::string line = ch->lastReplyLine;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      return put(line.c_str());
    }
    case 25: {
      if (size <= 16) {
        buffer[0] = '\0';
        return 0;
      }
      std::uint32_t a = ch->serverAddress;
      std::snprintf(text, sizeof text, "%1d.%1d.%1d.%1d", (a >> 24) & 0xFF, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
      return put(text);
    }
    case 28: {
      sockaddr_in local{};
      int length = sizeof local;
      if (ch->socket == 0 || getsockname(ch->socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        buffer[0] = '\0';
        return 0;
      }
      std::uint32_t a = ntohl(local.sin_addr.s_addr);
      std::snprintf(text, sizeof text, "%1d.%1d.%1d.%1d", (a >> 24) & 0xFF, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
      return put(text);
    }
    case -12:
      DateLine(text, sizeof text);
      put(text);
      return 0;
    default:
      put("?");
      return 0;
  }
}

namespace {

// A byte count as a counter gives it: at most 2^31 - 1.
SMERESULT Counter31(std::int64_t count) { return count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<SMERESULT>(count); }

}  // namespace

SMERESULT smeGetCounter(std::int32_t channel, std::int32_t index) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  switch (index) {
    case 2: return ch->steps;
    case 3: return ch->replyCode;
    case 4: return ch->lastSocketCode;
    case 10: return Counter31(ch->bytesRead);
    case 11: return Counter31(ch->attachmentBytesRead);
    case 12: return Counter31(ch->bytesRead + ch->attachmentBytesRead);
    case 13: return Counter31(ch->textBytesSent);
    case 14: return Counter31(ch->attachmentBytesSent);
    case 15: return Counter31(ch->textBytesSent + ch->attachmentBytesSent);
    case 16: return 0x0100;
    case 17: return ch->messageCount;
    case 18: return ch->messageSize;
    case 19: return ch->callerFill;
    case 20: return ch->socket != 0 && smeStatus(ch->socket, 2) == 1 ? 1 : 0;
    case 22: return ch->attachmentsSaved;
    case 24: return ch->verifyResult;
    case 26: return 1;
    case 27: return static_cast<std::int32_t>(ch->socket);
    default: return -1;
  }
}

// ---------------------------------------------------------------------------
SMERESULT EngineStateMachine(std::int32_t channel) {
  if (std::int32_t code = CheckChannel(channel)) return code;
  ChannelContext* ch = Channel(channel);
  ch->sendBuffer[0] = '\0';
  ch->replyBuffer[0] = '\0';
  std::uint32_t now = Now();
  if (ch->wakeTime && TickBefore(now, ch->wakeTime)) {
    std::int32_t left = static_cast<std::int32_t>(ch->wakeTime - now);
    SleepMs(left < g_params.pollInterval ? left : g_params.pollInterval);
    return 9999;
  }
  // A step that waits has a deadline, so that no drive loop runs forever.
  if (ch->waitWritable && !ch->deadline) ch->deadline = TickAfter(now, g_params.replyTimeout);
  if (ch->deadline && !TickBefore(now, ch->deadline)) return ReportError(ch, 0, SME_TIMED_OUT);
  if (ch->waitWritable) {
    if (ch->socket == 0) return ReportError(ch, 0, SME_NOT_CONNECTED);
    if (!WaitWritable(ch->socket, g_params.pollInterval)) return 9999;
  }
  ch->waitWritable = false;
  ch->currentState = ch->nextState;
  if (ch->currentState > 0) ++ch->steps;
  if (ch->logFd >= 0 && ch->currentState != ch->previousState)
    LogFormat(ch, "<%3d:%ld>\r\n", ch->currentState, static_cast<long>(now));
  if (ch->currentState == 0) {
    ch->currentState = -1;
    ch->wakeTime = 0;
    ch->deadline = 0;
    return 0;
  }
  std::int32_t state = ch->currentState;
  std::int32_t result = RunState(ch, state, now);
  if (result < 0) return result;
  if (ch->logFd >= 0) {
    // The lines sent were logged as they were queued ("S: " lines).
    if (ch->replyBuffer[0]) {
      LogText(ch, "R: ");
      LogText(ch, ch->replyBuffer);
      LogText(ch, "\r\n");
    }
  }
  ch->previousState = ch->currentState;
  ch->currentState = -1;
  return ch->nextState;
}

}  // namespace mvn::smtpengine
