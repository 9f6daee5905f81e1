// The POP3 side of the engine: log-on, message count, size, deletion, the
// first lines of a message, unique ids and whole messages fetched into a
// file while the MIME reader writes their attachments into files of their
// own; the quoted-printable and base64 decoders and the buffer helpers.
//
// Reading is line by line through the line reader. A line longer than the
// reply buffer arrives in pieces: only the first piece of a line is a line
// start, and only there the terminator, the dot-unstuffing, the boundaries
// and the header rules apply; the other pieces follow the decision taken
// for their line.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kernel/utf.h"
#include "smtpengine/engine.h"

namespace mvn::smtpengine {

namespace {

constexpr std::int32_t kLineRoom = kBufferSize - 1;     // a piece of a line
constexpr std::size_t kPathRoom = kSmallBlockSize - 1;  // 127 characters
constexpr int kMaxJoins = 8;
// The room an attachment name needs at least below its folder ("noname_99"
// and such).
constexpr std::size_t kShortestName = 8;
constexpr const char* kEncodedWord = "=?iso-8859-1?";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& line, const char* word) {
  std::size_t n = std::strlen(word);
  if (line.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (Lower(line[i]) != Lower(word[i])) return false;
  return true;
}

std::size_t FindNoCase(const std::string& text, const char* word, std::size_t from = 0) {
  std::size_t n = std::strlen(word);
  if (n == 0) return from <= text.size() ? from : std::string::npos;
  for (std::size_t i = from; i + n <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < n && Lower(text[i + k]) == Lower(word[k])) ++k;
    if (k == n) return i;
  }
  return std::string::npos;
}

bool IsBlankLine(const std::string& line) { return line == "\r\n" || line == "\n"; }

std::string WithoutLineEnd(const std::string& line) {
  std::size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) --end;
  return line.substr(0, end);
}

void CopyField(char* field, const char* text) { std::snprintf(field, kSmallBlockSize, "%s", text ? text : ""); }

void Timers(ChannelContext* ch, std::uint32_t now) {
  ch->wakeTime = TickAfter(now, g_params.commandPause);
  ch->deadline = TickAfter(now, g_params.replyTimeout);
}

// Queues a command line; the password never reaches the log.
void SendCommand(ChannelContext* ch, const std::string& text, const char* logged = nullptr) {
  std::snprintf(ch->sendBuffer, kBufferSize, "%s", logged ? logged : text.c_str());
  ch->outgoing += text;
  ch->outgoing += "\r\n";
  if (ch->logFd >= 0) {
    LogText(ch, "S: ");
    LogText(ch, logged ? logged : text.c_str());
    LogText(ch, "\r\n");
  }
}

std::int32_t WaitSlice() {
  return g_params.pop3Wait < g_params.pollInterval ? g_params.pop3Wait : g_params.pollInterval;
}

// One piece of a line into the reply buffer, waiting up to firstWait for
// its first byte and 4 x parameter 12 for the rest: 1 read (into *out), 0
// nothing readable, -1 closed, another negative socket result.
std::int32_t ReadRawLine(ChannelContext* ch, std::string* out, std::int32_t firstWait) {
  if (!ChannelReadable(ch, firstWait)) return 0;
  char* buffer = ch->replyBuffer;
  std::int32_t fill = 0;
  std::uint32_t lineDeadline = 0;
  for (;;) {
    // Only a readable socket is read, so that a read never blocks.
    if (ChannelReadable(ch, 0)) {
      std::int32_t n = ReadPiece(ch, buffer + fill, kBufferSize - fill);
      if (n < 0) return n;
      fill += n;
      if (fill > 0 && (buffer[fill - 1] == '\n' || fill >= kLineRoom)) break;
    }
    std::uint32_t now = Now();
    if (!lineDeadline) lineDeadline = TickAfter(now, 4 * g_params.pop3Wait);
    if (!TickBefore(now, lineDeadline)) {
      if (fill == 0) return 0;
      break;  // what came within the wait
    }
    std::int32_t left = static_cast<std::int32_t>(lineDeadline - now);
    ChannelReadable(ch, left < g_params.pollInterval ? left : g_params.pollInterval);
  }
  buffer[fill] = '\0';
  out->assign(buffer, static_cast<std::size_t>(fill));
  ch->nextAtLineStart = buffer[fill - 1] == '\n';
  return 1;
}

// The next piece: a line read ahead first.
std::int32_t GetLine(ChannelContext* ch, std::string* line, bool* atStart) {
  if (!ch->pendingLine.empty()) {
    line->swap(ch->pendingLine);
    ch->pendingLine.clear();
    *atStart = ch->pendingAtStart;
    std::snprintf(ch->replyBuffer, kBufferSize, "%s", line->c_str());
    return 1;
  }
  if (ch->pendingClosed) return SME_SOCKET_CLOSED;
  *atStart = ch->nextAtLineStart;
  return ReadRawLine(ch, line, WaitSlice());
}

// Reads the next line ahead (for a header's continuation); NULL when none
// came within the wait.
const std::string* PeekLine(ChannelContext* ch) {
  if (ch->pendingLine.empty() && !ch->pendingClosed) {
    bool start = ch->nextAtLineStart;
    std::string saved = ch->replyBuffer;
    std::int32_t r = ReadRawLine(ch, &ch->pendingLine, 4 * g_params.pop3Wait);
    std::snprintf(ch->replyBuffer, kBufferSize, "%s", saved.c_str());
    if (r == SME_SOCKET_CLOSED) ch->pendingClosed = true;
    if (r <= 0) ch->pendingLine.clear();
    ch->pendingAtStart = start;
  }
  return ch->pendingLine.empty() ? nullptr : &ch->pendingLine;
}

// Joins folded continuation lines (a blank or tab first) to a line that
// ends with the given character, within the line buffer's room.
void JoinContinuation(ChannelContext* ch, std::string* line, char last) {
  for (int joins = 0; joins < kMaxJoins; ++joins) {
    if (line->empty() || line->back() != '\n') return;
    std::string bare = WithoutLineEnd(*line);
    if (bare.empty() || bare.back() != last) return;
    const std::string* next = PeekLine(ch);
    if (!next || !ch->pendingAtStart || next->size() < 2 || ((*next)[0] != ' ' && (*next)[0] != '\t')) return;
    std::string joined = bare + next->substr(1);
    ch->pendingLine.clear();
    if (joined.size() > static_cast<std::size_t>(kLineRoom)) {
      // The line keeps what fits, and its line end.
      joined.resize(static_cast<std::size_t>(kLineRoom) - 2);
      joined += "\r\n";
    }
    line->swap(joined);
  }
}

std::int32_t HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

std::int32_t Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string Latin1ToUtf8(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string DecodeText(const std::string& text, bool base64) {
  std::string out(text.size() + 4, '\0');
  DecoderCarry carry;
  unsigned char* o = reinterpret_cast<unsigned char*>(out.data());
  std::size_t n = base64 ? DecodeBase64(&carry, text.data(), text.size(), o, true)
                         : DecodeQuotedPrintable(&carry, text.data(), text.size(), o, true);
  out.resize(n);
  return out;
}

// Writes every byte to a file of the fetch; false on a failed write.
bool WriteBytes(int fd, const void* data, std::size_t count) {
  return count == 0 || WriteAll(fd, static_cast<const char*>(data), count) == static_cast<long>(count);
}

// The files of a fetch are written in pieces of about this size.
constexpr std::size_t kOutBatch = 65536;

// Writes what is waiting for the file; false on a failed write.
bool FlushOut(int fd, std::string* pending) {
  bool ok = WriteBytes(fd, pending->data(), pending->size());
  pending->clear();
  return ok;
}

bool FlushWhenFull(int fd, std::string* pending) { return pending->size() < kOutBatch || FlushOut(fd, pending); }

// Bytes for a file of the fetch: gathered, written once there are enough.
bool Out(int fd, std::string* pending, const void* data, std::size_t count) {
  pending->append(static_cast<const char*>(data), count);
  return FlushWhenFull(fd, pending);
}

// Room for count more bytes at the end of pending; the caller shrinks it
// to what it wrote there.
unsigned char* OutRoom(std::string* pending, std::size_t count, std::size_t* at) {
  *at = pending->size();
  pending->resize(*at + count);
  return reinterpret_cast<unsigned char*>(pending->data() + *at);
}

// ---------------------------------------------------------------------------
// The MIME reader's pieces.

// A kept line into the mail file (quoted-printable decoded in such a part).
bool WriteMailText(ChannelContext* ch, const std::string& line) {
  if (ch->mailFd < 0) return true;
  if (ch->partEncoding != 3) return Out(ch->mailFd, &ch->mailOut, line.data(), line.size());
  std::size_t at = 0;
  unsigned char* o = OutRoom(&ch->mailOut, line.size() + 4, &at);
  std::size_t n = DecodeQuotedPrintable(&ch->textCarry, line.data(), line.size(), o, false);
  ch->mailOut.resize(at + n);
  return FlushWhenFull(ch->mailFd, &ch->mailOut);
}

// Decoded part bytes into the attachment file.
bool WriteAttachment(ChannelContext* ch, const std::string& line) {
  ch->attachmentBytesRead += static_cast<std::int64_t>(line.size());
  if (ch->partEncoding != 2 && ch->partEncoding != 3) return Out(ch->attachFd, &ch->attachOut, line.data(), line.size());
  std::size_t at = 0;
  unsigned char* o = OutRoom(&ch->attachOut, line.size() + 4, &at);
  std::size_t n = ch->partEncoding == 2 ? DecodeBase64(&ch->attachCarry, line.data(), line.size(), o, false)
                                        : DecodeQuotedPrintable(&ch->attachCarry, line.data(), line.size(), o, false);
  ch->attachOut.resize(at + n);
  return FlushWhenFull(ch->attachFd, &ch->attachOut);
}

// Closes the attachment being written and notes it; false when its last
// bytes could not be written.
bool FinishAttachment(ChannelContext* ch) {
  if (ch->attachFd < 0) return true;
  unsigned char rest[8];
  std::size_t n = 0;
  if (ch->partEncoding == 2) n = DecodeBase64(&ch->attachCarry, "", 0, rest, true);
  if (ch->partEncoding == 3) n = DecodeQuotedPrintable(&ch->attachCarry, "", 0, rest, true);
  ch->attachOut.append(reinterpret_cast<const char*>(rest), n);
  bool ok = FlushOut(ch->attachFd, &ch->attachOut);
  CloseFd(ch->attachFd);
  ch->attachFd = -1;
  ch->attachCarry = DecoderCarry{};
  char line[kSmallBlockSize + 32];
  std::snprintf(line, sizeof line, "[Attachment saved to %c%s%c]\r\n", '"', ch->attachPath, '"');
  if (!g_params.noAttachmentLines && ch->mailFd >= 0) ok = Out(ch->mailFd, &ch->mailOut, line, std::strlen(line)) && ok;
  LogText(ch, line);
  ++ch->attachmentsSaved;
  ++ch->attachmentSequence;
  return ok;
}

// Cuts a name (keeping its extension) so that the path fits, never inside
// a UTF-8 character.
std::string FitName(const std::string& name, std::size_t room) {
  if (name.size() <= room) return name;
  std::size_t dot = name.rfind('.');
  std::string extension = dot != std::string::npos && name.size() - dot <= 16 ? name.substr(dot) : "";
  if (extension.size() >= room) extension.clear();
  std::size_t keep = mvn::kernel::Utf8CutPoint(name, room - extension.size());
  return name.substr(0, keep) + extension;
}

// Creates the part's attachment file: new, never over another file; a
// taken name gets "_1", "_2" ... before its extension.
bool CreateAttachment(ChannelContext* ch, const std::string& name) {
  LogFormat(ch, "[AttachDir = '%s']\r\n", ch->attachDir);
  LogFormat(ch, "[Filename = '%s']\r\n", name.c_str());
  if (!FinishAttachment(ch)) return false;
  std::string directory = ch->attachDir;
  if (!directory.empty() && directory.back() != '/') directory += '/';
  char prefix[16] = "";
  if (ch->savedAttachments) std::snprintf(prefix, sizeof prefix, "%1d-", ch->attachmentSequence + 1);
  std::string base = std::string(prefix) + name;
  std::string path;
  int fd = -1;
  // Each name of the fetch goes on from the suffix its last file took, so
  // many parts of one name cost one creation each; only files that were
  // there before the fetch are stepped over.
  std::int32_t& next = ch->nameSuffixes[base];
  for (int tries = 0; tries < 1000 && directory.size() + kShortestName <= kPathRoom; ++tries) {
    const std::int32_t attempt = next++;
    std::string candidate = base;
    std::string suffix;
    if (attempt > 0) suffix = "_" + std::to_string(attempt);
    std::size_t room = kPathRoom - directory.size() - suffix.size();
    candidate = FitName(candidate, room);
    if (!suffix.empty()) {
      std::size_t dot = candidate.rfind('.');
      if (dot == std::string::npos || dot == 0) dot = candidate.size();
      candidate.insert(dot, suffix);
    }
    path = directory + candidate;
    bool exists = false;
    fd = CreateNew(path.c_str(), &exists);
    if (fd >= 0 || !exists) break;
  }
  LogFormat(ch, "[Creating '%s']\r\n", path.c_str());
  if (fd < 0) {
    // The part's content goes nowhere; the fetch goes on.
    LogFormat(ch, "[Cannot open '%s']\r\n", path.c_str());
    return true;
  }
  ch->attachFd = fd;
  CopyField(ch->attachPath, path.c_str());
  ch->createdFiles += path;
  ch->createdFiles += '\0';
  ch->attachCarry = DecoderCarry{};
  return true;
}

// The body of a part starts: the attachment file of a named part, or of an
// unnamed base64 part when parameter 14 asks for it.
bool StartBody(ChannelContext* ch) {
  ch->textCarry = DecoderCarry{};
  if (ch->partNamed) return CreateAttachment(ch, ch->attachName[0] ? ch->attachName : "noname");
  if (ch->partEncoding == 2 && ch->attachFd < 0 && ch->saveAttachments)
    return CreateAttachment(ch, ch->attachName[0] ? ch->attachName : "noname");
  return true;
}

bool TakeEncoding(ChannelContext* ch, const std::string& line) {
  if (!StartsWithNoCase(line, "Content-Transfer-Encoding:")) return false;
  std::string rest = line.substr(26);
  if (FindNoCase(rest, "base64") != std::string::npos) {
    ch->partEncoding = 2;
    LogText(ch, "[Encoding is BASE64]\r\n");
  } else if (FindNoCase(rest, "quoted-printable") != std::string::npos) {
    ch->partEncoding = 3;
    LogText(ch, "[Encoding is QUOTED]\r\n");
  } else if (FindNoCase(rest, "7bit") != std::string::npos) {
    ch->partEncoding = 1;
    LogText(ch, "[Encoding is 7-bit]\r\n");
  }
  return true;
}

// The value of "word" in the line: quoted, or up to the line end (or a
// ';'); empty when absent.
std::string ParameterValue(const std::string& line, std::size_t from, const char* word, bool quotedOnly) {
  std::size_t at = FindNoCase(line, word, from);
  if (at == std::string::npos) return "";
  std::size_t start = at + std::strlen(word);
  std::string bare = WithoutLineEnd(line);
  if (start >= bare.size()) return "";
  if (bare[start] == '"') {
    std::size_t end = bare.find('"', start + 1);
    return bare.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  }
  if (quotedOnly) return "";
  std::size_t end = bare.find(';', start);
  std::string value = bare.substr(start, end == std::string::npos ? std::string::npos : end - start);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  return value;
}

void SetBoundary(char* field, std::int32_t* length, const std::string& value) {
  std::string text = "--" + value.substr(0, kSmallBlockSize - 3);
  CopyField(field, text.c_str());
  *length = static_cast<std::int32_t>(std::strlen(field));
}

bool BoundaryLine(ChannelContext* ch, const std::string& line) {
  bool match =
      (ch->boundaryLength > 0 && line.compare(0, static_cast<std::size_t>(ch->boundaryLength), ch->boundary) == 0) ||
      (ch->altBoundaryLength > 0 &&
       line.compare(0, static_cast<std::size_t>(ch->altBoundaryLength), ch->altBoundary) == 0);
  if (!match) return false;
  ++ch->boundariesSeen;
  ch->mimeState = 4;
  ch->partEncoding = 0;
  ch->partNamed = false;
  ch->partIsMessage = false;
  CopyField(ch->attachName, "incoming.mai");
  ch->textCarry = DecoderCarry{};
  LogText(ch, "[Boundary line found]\r\n");
  return true;
}

// A header that names a file: its value decoded, cut to its last part and
// made safe, as the part's attachment name.
bool NamesFile(ChannelContext* ch, const std::string& line) {
  if (!StartsWithNoCase(line, "Content-Disposition:") && !StartsWithNoCase(line, "Content-Type:")) return false;
  if (line.size() <= 13 || FindNoCase(line, "name=", 13) == std::string::npos) return false;
  std::string value = ParameterValue(line, 13, "name=", false);
  if (FindNoCase(value, kEncodedWord) != std::string::npos) {
    LogText(ch, "[iso-8859]\r\n");
    value = DecodeEncodedWords(value, 0);
    LogFormat(ch, "[r:%s]\r\n", value.c_str());
  }
  std::string name = SanitiseAttachmentName(value);
  CopyField(ch->attachName, FitName(name, kPathRoom).c_str());
  ch->partNamed = true;
  LogFormat(ch, "[Filename='%s']\r\n", ch->attachName);
  return true;
}

// 1 keep the line in the mail file, 0 consume it, < 0 the fetch failed.
std::int32_t MimeReader(ChannelContext* ch, std::string* line) {
  bool blank = IsBlankLine(*line);
  switch (ch->mimeState) {
    case 1:
      if (blank) {
        LogText(ch, "[Not doing MIME/2]\r\n");
        ch->mimeState = 0;
        return 1;
      }
      if (StartsWithNoCase(*line, "Subject:") && (FindNoCase(*line, "=?iso-8859-1?q?") != std::string::npos ||
                                                  FindNoCase(*line, "=?iso-8859-1?b?") != std::string::npos)) {
        JoinContinuation(ch, line, '=');
        *line = DecodeEncodedWords(*line, 9);
        return 1;
      }
      if (StartsWithNoCase(*line, "MIME-Version: 1.0")) {
        LogText(ch, "[MIME version found]\r\n");
        ch->mimeState = 2;
      }
      return 1;
    case 2:
      if (blank) {
        if (ch->partEncoding) {
          ch->mimeState = 5;
          LogText(ch, "[MIME w/o boundary]\r\n");
          if (!StartBody(ch)) return SME_CANNOT_CREATE;
        } else {
          ch->mimeState = 0;
          LogText(ch, "[Not doing MIME]\r\n");
        }
        return 1;
      }
      if (StartsWithNoCase(*line, "Subject:") || StartsWithNoCase(*line, "To:") || StartsWithNoCase(*line, "From:"))
        return 1;
      if (StartsWithNoCase(*line, "Content-Type:") || StartsWithNoCase(*line, "Content-Disposition:"))
        JoinContinuation(ch, line, ';');
      if (StartsWithNoCase(*line, "Content-Type:") && FindNoCase(*line, "Boundary=") != std::string::npos) {
        std::string value = ParameterValue(*line, 13, "Boundary=", false);
        if (!value.empty()) {
          SetBoundary(ch->boundary, &ch->boundaryLength, value);
          ch->altBoundaryLength = 0;
          ch->mimeState = 3;
          if (!FinishAttachment(ch)) return SME_CANNOT_CREATE;
          LogFormat(ch, "[MIME boundary defined %d (%s)]\r\n", ch->boundaryLength, ch->boundary);
          return 0;
        }
      }
      if (TakeEncoding(ch, *line)) return 0;
      NamesFile(ch, *line);
      return 0;
    case 3:
      BoundaryLine(ch, *line);
      return 0;
    case 4:
      LogText(ch, "[Looking for encoding]\r\n");
      if (blank) {
        // Only an inline message holds its body back: its own headers
        // follow as part headers. Any other part's body starts here, so
        // that no text of an inline text part is lost.
        if (!(ch->inlinePart && ch->partIsMessage)) {
          ch->mimeState = 5;
          if (!StartBody(ch)) return SME_CANNOT_CREATE;
        }
        return 0;
      }
      ch->inlinePart = false;
      if (StartsWithNoCase(*line, "Content-Type:") || StartsWithNoCase(*line, "Content-Disposition:"))
        JoinContinuation(ch, line, ';');
      if (TakeEncoding(ch, *line)) return 0;
      if (StartsWithNoCase(*line, "Content-Type: multipart/alternative;") ||
          StartsWithNoCase(*line, "Content-Type: multipart/mixed;")) {
        std::string value = ParameterValue(*line, 13, "Boundary=", true);
        if (!value.empty()) {
          SetBoundary(ch->altBoundary, &ch->altBoundaryLength, value);
          LogFormat(ch, "[Alternate MIME boundary defined %d (%s)]\r\n", ch->altBoundaryLength, ch->altBoundary);
          return 0;
        }
      }
      if (StartsWithNoCase(*line, "Content-Type: message/rfc822")) ch->inlinePart = ch->partIsMessage = true;
      if (StartsWithNoCase(*line, "Content-Disposition:")) {
        std::size_t at = FindNoCase(*line, "inline", 20);
        if (at != std::string::npos && (at + 6 >= line->size() || (*line)[at + 6] != ';')) {
          ch->inlinePart = true;
          LogText(ch, "[inline]\r\n");
        }
      }
      NamesFile(ch, *line);
      return 0;
    case 5:
      if (BoundaryLine(ch, *line)) {
        if (!FinishAttachment(ch)) return SME_CANNOT_CREATE;
        return 0;
      }
      if (ch->attachFd >= 0) {
        if (!WriteAttachment(ch, *line)) return SME_CANNOT_CREATE;
        LogText(ch, "[...decode...]\r\n");
        return 0;
      }
      LogText(ch, "[...text...]\r\n");
      return 1;
    default:
      return 1;
  }
}

// ---------------------------------------------------------------------------
// States.

// 1 a positive reply was read, 0 nothing readable yet, < 0 the dialogue
// ended.
std::int32_t Reply(ChannelContext* ch) {
  if (!ChannelReadable(ch, WaitSlice())) return 0;
  std::int32_t r = ReadPop3Reply(ch);
  if (r < 0) return ReportError(ch, 0, r);
  return 1;
}

// The next piece of a multi-line reply, without the stuffed "." of a line
// start. kReplyLine with *line, kReplyEnd at the terminator, 0 while
// nothing is readable yet, < 0 the dialogue ended (a connection that ends
// before the terminator leaves the reply cut short: a failure).
constexpr std::int32_t kReplyLine = 1, kReplyEnd = 2;
std::int32_t NextReplyLine(ChannelContext* ch, std::string* line, bool* atStart) {
  if (ch->pendingLine.empty() && !ch->pendingClosed && !ChannelReadable(ch, WaitSlice())) return 0;
  std::int32_t r = GetLine(ch, line, atStart);
  if (r == 0) return 0;
  if (r == SME_SOCKET_CLOSED) return ReportError(ch, 0, SME_SOCKET_CLOSED);
  if (r < 0) return ReportError(ch, r, SME_READ_ERROR);
  if (*atStart) {
    if (*line == ".\r\n") return kReplyEnd;
    if ((*line)[0] == '.') line->erase(0, 1);
  }
  return kReplyLine;
}

void CopyToCaller(ChannelContext* ch, const std::string& line) {
  std::int32_t room = ch->callerSize - ch->callerFill;
  std::int32_t take = static_cast<std::int32_t>(line.size()) < room ? static_cast<std::int32_t>(line.size()) : room;
  if (take > 0) std::memcpy(ch->callerBuffer + ch->callerFill, line.data(), static_cast<std::size_t>(take));
  ch->callerFill += take > 0 ? take : 0;
}

// The whole fetch has a time bound besides each line's: a server that
// sends a line now and then can hold it no longer than this.
std::int32_t FetchTime(std::int64_t announced) {
  std::int64_t ms = 10 * static_cast<std::int64_t>(g_params.replyTimeout) + announced / 100;  // 100 kB/s at least
  return ms > 0x3FFFFFFF ? 0x3FFFFFFF : static_cast<std::int32_t>(ms);
}

// A message may come in a little larger than announced (dot-stuffing, line
// ends); beyond this it is not the message the server announced.
std::int64_t FetchLimit(std::int64_t announced) { return announced + announced / 4 + 65536; }

// The size in a status line "+OK <size> ..." (0 when it holds none).
std::int64_t AnnouncedSize(const char* status) {
  const char* p = status + (std::strncmp(status, "+OK ", 4) == 0 ? 4 : std::strlen(status));
  std::int64_t size = 0;
  for (; *p >= '0' && *p <= '9' && size < (std::int64_t{1} << 50); ++p) size = size * 10 + (*p - '0');
  return *p == ' ' || *p == '\r' || *p == '\n' || *p == '\0' ? size : 0;
}

std::int32_t MessageLine(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  if (state == 312 && ch->fetchDeadline && !TickBefore(now, ch->fetchDeadline)) {
    LogText(ch, "[Fetch took too long]\r\n");
    return ReportError(ch, 0, SME_TIMED_OUT);
  }
  if (ch->statusPending) {
    std::int32_t r = Reply(ch);
    if (r <= 0) return r;
    ch->statusPending = false;
    if (state == 312) {
      // The size the server gives for the message: in its status line, or
      // from an earlier LIST of the same message.
      ch->fetchAnnounced = AnnouncedSize(ch->replyBuffer);
      if (ch->fetchAnnounced == 0 && ch->sizeOfMessage == ch->messageNumber && ch->messageSize > 0)
        ch->fetchAnnounced = ch->messageSize;
      if (ch->fetchAnnounced > 0) ch->fetchDeadline = TickAfter(now, FetchTime(ch->fetchAnnounced));
    }
    if (state == 314) {
      // The buffer starts with the server's status line.
      std::string status = ch->replyBuffer;
      ch->bytesRead += static_cast<std::int64_t>(status.size());
      CopyToCaller(ch, status);
    }
    ch->deadline = TickAfter(now, g_params.replyTimeout);
    return 0;
  }
  std::string line;
  bool atStart = true;
  std::int32_t r = NextReplyLine(ch, &line, &atStart);
  if (r <= 0) return r;
  if (r == kReplyEnd) {
    ch->nextState = 313;
    return 0;
  }
  ch->deadline = TickAfter(now, g_params.replyTimeout);
  if (state == 312) {
    ch->fetchBytes += static_cast<std::int64_t>(line.size());
    if (ch->fetchAnnounced > 0 && ch->fetchBytes > FetchLimit(ch->fetchAnnounced)) {
      LogText(ch, "[Message larger than announced]\r\n");
      return ReportError(ch, 0, SME_REPLY_OVERFLOW);
    }
  }
  if (state == 314) {
    ch->bytesRead += static_cast<std::int64_t>(line.size());
    CopyToCaller(ch, line);
    return 0;
  }
  std::int32_t keep;
  if (!atStart) {
    // The rest of a long line follows its start.
    if (ch->mimeState == 5 && ch->attachFd >= 0) {
      if (!WriteAttachment(ch, line)) return ReportError(ch, 0, SME_CANNOT_CREATE);
      return 0;
    }
    keep = ch->lineKept ? 1 : 0;
  } else if (ch->mimeState >= 1 && ch->mimeState <= 5) {
    keep = MimeReader(ch, &line);
    if (keep < 0) return ReportError(ch, 0, keep);
  } else {
    keep = 1;
  }
  ch->lineKept = keep == 1;
  if (keep == 1) {
    ch->bytesRead += static_cast<std::int64_t>(line.size());
    if (!WriteMailText(ch, line)) return ReportError(ch, 0, SME_CANNOT_CREATE);
  }
  return 0;
}

std::int32_t IdLine(ChannelContext* ch, std::uint32_t now) {
  auto terminate = [ch] { ch->callerBuffer[ch->callerFill] = '\0'; };
  if (ch->statusPending) {
    std::int32_t r = Reply(ch);
    if (r <= 0) return r;
    ch->statusPending = false;
    CopyToCaller(ch, ch->replyBuffer);
    terminate();
    ch->deadline = TickAfter(now, g_params.replyTimeout);
    if (ch->messageNumber >= 1) ch->nextState = 0;
    return 0;
  }
  std::string line;
  bool atStart = true;
  std::int32_t r = NextReplyLine(ch, &line, &atStart);
  if (r <= 0) return r;
  if (r == kReplyEnd) {
    terminate();
    ch->nextState = 0;
    return 0;
  }
  CopyToCaller(ch, line);
  terminate();
  ch->deadline = TickAfter(now, g_params.replyTimeout);
  return 0;
}

// The first decimal number at the position, or 0.
std::int32_t NumberAt(const char* text, std::size_t at) {
  if (std::strlen(text) < at) return 0;
  long long value = 0;
  for (const char* p = text + at; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
  }
  return static_cast<std::int32_t>(value);
}

std::int32_t Handle(ChannelContext* ch, std::int32_t state, std::uint32_t now) {
  std::int32_t r;
  switch (state) {
    case 300:
      LogFormat(ch, "SMTP Engine Version %d.%d.%d Build %d\r\n", 1, 0, 0, 1);
      ch->returnState = 301;
      ch->nextState = kConnectStart;
      return 0;
    case 301:
      if ((r = Reply(ch)) <= 0) return r;
      Timers(ch, now);
      ch->nextState = 302;
      return 0;
    case 302:
      SendCommand(ch, std::string("USER ") + ch->pop3User);
      Timers(ch, now);
      ch->nextState = 303;
      return 0;
    case 303:
      if ((r = Reply(ch)) <= 0) return r;
      ch->waitWritable = true;
      ch->nextState = 304;
      return 0;
    case 304:
      SendCommand(ch, std::string("PASS ") + ch->pop3Password, "PASS ********");
      ch->wakeTime = TickAfter(now, 500);
      ch->deadline = TickAfter(now, g_params.replyTimeout);
      ch->nextState = 305;
      return 0;
    case 305:
      if ((r = Reply(ch)) <= 0) return r;
      ch->nextState = 0;
      return 0;
    case 306:
      SendCommand(ch, "STAT");
      Timers(ch, now);
      ch->messageCount = 0;
      ch->nextState = 307;
      return 0;
    case 307:
      if ((r = Reply(ch)) <= 0) return r;
      ch->messageCount = NumberAt(ch->lastReplyLine, 4);
      ch->nextState = 0;
      return 0;
    case 310: {
      std::string path = ch->mailDir;
      if (!path.empty() && path.back() != '/') path += '/';
      path += ch->mailFile;
      LogFormat(ch, "Saving email to '%s'\r\n", path.c_str());
      // A path that does not fit is refused, never cut into another name.
      if (path.size() > kPathRoom) return ReportError(ch, 0, SME_CANNOT_CREATE);
      CopyField(ch->pathBuffer, path.c_str());
      ch->mailFd = CreateMail(ch->pathBuffer);
      if (ch->mailFd < 0) return ReportError(ch, 0, SME_CANNOT_CREATE);
      ch->createdFiles.assign(path);
      ch->createdFiles += '\0';
      SendCommand(ch, "RETR " + std::to_string(ch->messageNumber));
      Timers(ch, now);
      ch->fetchBytes = 0;
      ch->fetchAnnounced = 0;
      ch->fetchDeadline = TickAfter(now, FetchTime(0));
      ch->statusPending = true;
      ch->nextState = 312;
      return 0;
    }
    case 311:
      LogText(ch, "[Saving to buffer]\r\n");
      SendCommand(ch, "TOP " + std::to_string(ch->messageNumber) + " " + std::to_string(ch->lineCount));
      Timers(ch, now);
      ch->statusPending = true;
      ch->nextState = 314;
      return 0;
    case 312:
    case 314:
      return MessageLine(ch, state, now);
    case 313:
      LogText(ch, "[CLOSE]\r\n");
      if (!FinishAttachment(ch)) return ReportError(ch, 0, SME_CANNOT_CREATE);
      if (ch->mailFd >= 0) {
        unsigned char rest[8];
        std::size_t n = ch->partEncoding == 3 ? DecodeQuotedPrintable(&ch->textCarry, "", 0, rest, true) : 0;
        ch->mailOut.append(reinterpret_cast<const char*>(rest), n);
        bool ok = FlushOut(ch->mailFd, &ch->mailOut);
        CloseFd(ch->mailFd);
        ch->mailFd = -1;
        if (!ok) return ReportError(ch, 0, SME_CANNOT_CREATE);
      }
      // The message is complete: its files stay.
      ch->createdFiles.clear();
      ch->fetchDeadline = 0;
      ch->nextState = 0;
      return 0;
    case 315:
      SendCommand(ch, "DELE " + std::to_string(ch->messageNumber));
      Timers(ch, now);
      ch->nextState = 316;
      return 0;
    case 316:
      if ((r = Reply(ch)) <= 0) return r;
      ch->nextState = 0;
      return 0;
    case 317:
      SendCommand(ch, "LIST " + std::to_string(ch->messageNumber));
      Timers(ch, now);
      ch->nextState = 318;
      return 0;
    case 318: {
      if ((r = Reply(ch)) <= 0) return r;
      const char* first = std::strchr(ch->lastReplyLine, ' ');
      const char* second = first ? std::strchr(first + 1, ' ') : nullptr;
      ch->messageSize = second ? NumberAt(second + 1, 0) : 0;
      ch->sizeOfMessage = ch->messageNumber;
      ch->nextState = 0;
      return 0;
    }
    case 320:
      SendCommand(ch, ch->messageNumber < 1 ? std::string("UIDL") : "UIDL " + std::to_string(ch->messageNumber));
      Timers(ch, now);
      ch->statusPending = true;
      ch->nextState = 321;
      return 0;
    case 321:
      return IdLine(ch, now);
    default:
      LogFormat(ch, "ERROR! Unknown state %d\r\n", state);
      ch->nextState = 0;
      return 0;
  }
}

// Checks of every POP3 operation but the log-on; the channel or NULL with
// the code.
ChannelContext* PopChannel(std::int32_t channel, const char* logLine, std::int32_t* code) {
  *code = CheckChannel(channel);
  if (*code) return nullptr;
  ChannelContext* ch = Channel(channel);
  LogText(ch, logLine);
  if (ch->mode != 'P')
    *code = SME_POP3_ONLY;
  else if (ch->socket == 0)
    *code = SME_NOT_CONNECTED;
  if (*code) {
    LogFlush(ch);
    return nullptr;
  }
  return ch;
}

void Prepare(ChannelContext* ch, std::int32_t state) {
  ch->waitWritable = true;
  ch->nextState = state;
  ch->returnState = 0;
  ch->lastSocketCode = 0;
  ch->wakeTime = 0;
  ch->deadline = 0;
  ch->statusPending = false;
  ch->pendingLine.clear();
  ch->pendingClosed = false;
  ch->nextAtLineStart = true;
  ch->lineKept = false;
}

std::int32_t Fail(ChannelContext* ch, std::int32_t code) {
  LogFlush(ch);
  return code;
}

}  // namespace

std::int32_t RunPop3State(ChannelContext* ch, std::int32_t state, std::uint32_t now, bool* handled) {
  *handled = true;
  return Handle(ch, state, now);
}

std::int32_t ReadPop3Reply(ChannelContext* ch) {
  ch->deadline = 0;
  if (!ChannelReadable(ch, g_params.pop3Wait)) return SME_TIMED_OUT;
  std::string line;
  std::int32_t r = ReadRawLine(ch, &line, 0);
  // A closed connection is never a reply, also not at the log-on.
  if (r == SME_SOCKET_CLOSED) return SME_SOCKET_CLOSED;
  if (r < 0) return r;
  if (r == 0) return SME_TIMED_OUT;
  // The rest of an overlong status line is read and dropped.
  for (int pieces = 0; !ch->nextAtLineStart && pieces < 64; ++pieces) {
    std::string rest;
    std::int32_t more = ReadRawLine(ch, &rest, 4 * g_params.pop3Wait);
    if (more == SME_SOCKET_CLOSED) return SME_SOCKET_CLOSED;
    if (more <= 0) break;
  }
  std::snprintf(ch->replyBuffer, kBufferSize, "%s", line.c_str());
  CopyField(ch->lastReplyLine, line.c_str());
  if (line[0] == '+') {
    ch->replyCode = 100;
    return 0;
  }
  ch->replyCode = 500;
  LogFormat(ch, "R: %s\r\n", line.c_str());
  return SME_POP3_ERROR;
}

void DiscardFetch(ChannelContext* ch) {
  if (!ch) return;
  if (ch->attachFd >= 0) CloseFd(ch->attachFd);
  if (ch->mailFd >= 0) CloseFd(ch->mailFd);
  // Nothing of a discarded fetch is written any more.
  ch->mailOut.clear();
  ch->attachOut.clear();
  ch->attachFd = -1;
  ch->mailFd = -1;
  for (std::size_t at = 0; at < ch->createdFiles.size();) {
    std::size_t end = ch->createdFiles.find('\0', at);
    if (end == std::string::npos) end = ch->createdFiles.size();
    RemoveFile(ch->createdFiles.substr(at, end - at).c_str());
    at = end + 1;
  }
  ch->createdFiles.clear();
  ch->nameSuffixes.clear();
  ch->fetchDeadline = 0;
  ch->pendingLine.clear();
  ch->statusPending = false;
}

// ---------------------------------------------------------------------------
// Decoders.

std::size_t DecodeQuotedPrintable(DecoderCarry* carry, const char* in, std::size_t length, unsigned char* out,
                                  bool finish) {
  std::string text(carry->bytes, static_cast<std::size_t>(carry->count));
  text.append(in, length);
  carry->count = 0;
  std::size_t o = 0;
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    char c = text[i];
    if (c != '=') {
      out[o++] = static_cast<unsigned char>(c);
      ++i;
      continue;
    }
    if (i + 1 >= n) {
      // "=" at the end of the input: its escape may follow in the next
      // piece.
      if (finish) {
        out[o++] = '=';
      } else {
        carry->bytes[0] = '=';
        carry->count = 1;
      }
      break;
    }
    char a = text[i + 1];
    if (a == '\r' && i + 2 >= n && !finish) {
      // A soft line break cut between its CR and LF: the LF goes too.
      carry->bytes[0] = '=';
      carry->bytes[1] = '\r';
      carry->count = 2;
      break;
    }
    if (a == '\r' || a == '\n') {
      // A soft line break ("=" CR LF, "=" LF or "=" CR): the break goes and
      // the text after it, in this piece or the next, goes on.
      i += a == '\r' && i + 2 < n && text[i + 2] == '\n' ? 3 : 2;
      continue;
    }
    if (a == '"' || a == '?') {
      out[o++] = '=';
      ++i;
      continue;
    }
    if (i + 2 >= n) {
      if (finish) {
        out[o++] = '=';
        out[o++] = static_cast<unsigned char>(a);
      } else {
        carry->bytes[0] = '=';
        carry->bytes[1] = a;
        carry->count = 2;
      }
      break;
    }
    out[o++] = static_cast<unsigned char>((HexValue(a) << 4) | HexValue(text[i + 2]));
    i += 3;
  }
  return o;
}

std::size_t DecodeBase64(DecoderCarry* carry, const char* in, std::size_t length, unsigned char* out, bool finish) {
  std::size_t o = 0;
  auto group = [&](const char* g, int count) {
    std::int32_t v[4] = {0, 0, 0, 0};
    int pads = 0;
    for (int k = 0; k < count; ++k) {
      if (g[k] == '=') {
        ++pads;
      } else {
        v[k] = Base64Value(static_cast<unsigned char>(g[k]));
      }
    }
    std::uint32_t bits = (static_cast<std::uint32_t>(v[0]) << 18) | (static_cast<std::uint32_t>(v[1]) << 12) |
                         (static_cast<std::uint32_t>(v[2]) << 6) | static_cast<std::uint32_t>(v[3]);
    // Four characters give three bytes, less one per pad; a cut group of
    // two or three characters gives one or two.
    int bytes = (count == 4 ? 3 : count - 1) - pads;
    if (bytes > 0) out[o++] = static_cast<unsigned char>(bits >> 16);
    if (bytes > 1) out[o++] = static_cast<unsigned char>(bits >> 8);
    if (bytes > 2) out[o++] = static_cast<unsigned char>(bits);
  };
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    // Line ends, blanks and other bytes outside the alphabet carry no bits.
    if (c != '=' && Base64Value(c) < 0) continue;
    carry->bytes[carry->count++] = static_cast<char>(c);
    if (carry->count == 4) {
      group(carry->bytes, 4);
      carry->count = 0;
    }
  }
  if (finish) {
    if (carry->count >= 2) group(carry->bytes, carry->count);
    carry->count = 0;
  }
  return o;
}

std::string SanitiseAttachmentName(const std::string& name) {
  std::size_t cut = name.find_last_of("/\\:");
  std::string part = cut == std::string::npos ? name : name.substr(cut + 1);
  std::string clean;
  for (char c : part) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) continue;
    clean += c;
  }
  std::size_t first = clean.find_first_not_of(" \t");
  std::size_t last = clean.find_last_not_of(" \t");
  clean = first == std::string::npos ? "" : clean.substr(first, last - first + 1);
  if (clean.find_first_not_of('.') == std::string::npos) return "noname";
  // No hidden file, and never "." or "..".
  for (std::size_t i = 0; i < clean.size() && clean[i] == '.'; ++i) clean[i] = '_';
  return clean;
}

std::string DecodeEncodedWords(const std::string& text, std::size_t from) {
  std::string out = text;
  std::size_t at = from;
  for (int words = 0; words < 4; ++words) {
    at = FindNoCase(out, kEncodedWord, at);
    if (at == std::string::npos) break;
    std::size_t letter = at + std::strlen(kEncodedWord);
    if (letter + 1 >= out.size() || out[letter + 1] != '?') break;
    char kind = Lower(out[letter]);
    if (kind != 'q' && kind != 'b') break;
    std::size_t start = letter + 2;
    std::size_t end = out.find("?=", start);
    if (end == std::string::npos) break;
    std::string encoded = out.substr(start, end - start);
    if (kind == 'q')
      for (char& c : encoded)
        if (c == '_') c = ' ';
    std::string decoded = Latin1ToUtf8(DecodeText(encoded, kind == 'b'));
    out.replace(at, end + 2 - at, decoded);
    at += decoded.size();
  }
  if (out.size() > static_cast<std::size_t>(kLineRoom)) {
    // Cut to the line's room, never inside a UTF-8 character, and with the
    // line end it had: the next header stays a line of its own.
    std::string end;
    if (!out.empty() && out.back() == '\n') end = out.size() > 1 && out[out.size() - 2] == '\r' ? "\r\n" : "\n";
    out.resize(mvn::kernel::Utf8CutPoint(out, static_cast<std::size_t>(kLineRoom) - end.size()));
    out += end;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Operations.

SMERESULT smePop3Connect(std::int32_t channel, const char* server, const char* user, const char* password) {
  // A line break in the user or the password would end its command early
  // and start another.
  std::int32_t result = 0;
  ChannelContext* ch = StartConnect(channel, 'P', "*** smePop3Connect\r\n", server,
                                    {{user, SME_NO_USER}, {password, SME_NO_PASSWORD}}, {user, password}, &result);
  if (!ch) return result;
  CopyField(ch->server, server);
  CopyField(ch->pop3User, user);
  CopyField(ch->pop3Password, password);
  CloseChannelSocket(ch, false);
  FileClose(&ch->file);
  DiscardFetch(ch);
  ch->currentPort = ch->pop3Port;
  ch->messageCount = 0;
  ch->attachmentsSaved = 0;
  ch->attachmentSequence = 0;
  Prepare(ch, 300);
  ch->waitWritable = false;
  return RunChannel(ch);
}

SMERESULT smeGetEmailCount(std::int32_t channel) {
  std::int32_t code;
  ChannelContext* ch = PopChannel(channel, "*** smeGetEmailCount\r\n", &code);
  if (!ch) return code;
  Prepare(ch, 306);
  std::int32_t result = RunChannel(ch);
  return result < 0 || !ch->driveToEnd ? result : ch->messageCount;
}

SMERESULT smeGetEmailSize(std::int32_t channel, std::int32_t message) {
  std::int32_t code;
  ChannelContext* ch = PopChannel(channel, "*** smeGetEmailSize\r\n", &code);
  if (!ch) return code;
  if (message < 1) return Fail(ch, SME_NO_MESSAGE);
  ch->messageNumber = message;
  ch->messageSize = 0;
  Prepare(ch, 317);
  std::int32_t result = RunChannel(ch);
  return result < 0 || !ch->driveToEnd ? result : ch->messageSize;
}

SMERESULT smeDelete(std::int32_t channel, std::int32_t message) {
  std::int32_t code;
  ChannelContext* ch = PopChannel(channel, "*** smeDelete\r\n", &code);
  if (!ch) return code;
  if (message < 1) return Fail(ch, SME_NO_MESSAGE);
  ch->messageNumber = message;
  Prepare(ch, 315);
  return RunChannel(ch);
}

SMERESULT smeGetEmailLines(std::int32_t channel, std::int32_t message, std::int32_t lines, char* buffer,
                           std::int32_t size) {
  std::int32_t code;
  ChannelContext* ch = PopChannel(channel, "*** smeGetEmailLines\r\n", &code);
  if (!ch) return code;
  if (message < 1) return Fail(ch, SME_NO_MESSAGE);
  if (!buffer) return Fail(ch, SME_BUFFER_NULL);
  if (size < 128) return Fail(ch, SME_BUFFER_SMALL);
  ch->messageNumber = message;
  ch->lineCount = lines < 0 ? 0 : lines;
  ch->callerBuffer = buffer;
  ch->callerSize = size;
  ch->callerFill = 0;
  ch->mailDir[0] = '\0';
  ch->attachDir[0] = '\0';
  ch->bytesRead = ch->attachmentBytesRead = 0;
  ch->mimeState = 0;
  Prepare(ch, 311);
  std::int32_t result = RunChannel(ch);
  ch->callerBuffer = nullptr;
  return result < 0 || !ch->driveToEnd ? result : ch->callerFill;
}

SMERESULT smeGetEmailFile(std::int32_t channel, std::int32_t message, const char* fileName, const char* mailDir,
                          const char* attachDir) {
  std::int32_t code;
  ChannelContext* ch = PopChannel(channel, "*** smeGetEmailFile\r\n", &code);
  if (!ch) return code;
  if (message < 1) return Fail(ch, SME_NO_MESSAGE);
  if (!fileName) return Fail(ch, SME_NO_FILENAME);
  if (!mailDir) return Fail(ch, SME_NO_MAIL_PATH);
  if (!attachDir) return Fail(ch, SME_NO_ATTACH_PATH);
  // Names that do not fit their fields are refused rather than cut into
  // other names.
  if (std::strlen(fileName) > kPathRoom || std::strlen(mailDir) > kPathRoom || std::strlen(attachDir) > kPathRoom)
    return Fail(ch, SME_CANNOT_CREATE);
  // An attachment folder must leave room for a name of its files.
  if (std::strlen(attachDir) + 1 + kShortestName > kPathRoom) return Fail(ch, SME_CANNOT_CREATE);
  DiscardFetch(ch);
  ch->messageNumber = message;
  CopyField(ch->mailFile, fileName);
  CopyField(ch->mailDir, mailDir);
  CopyField(ch->attachDir, attachDir);
  ch->callerBuffer = nullptr;
  ch->callerSize = ch->callerFill = 0;
  ch->bytesRead = ch->attachmentBytesRead = 0;
  ch->boundaryLength = ch->altBoundaryLength = 0;
  ch->boundariesSeen = 0;
  ch->attachmentsSaved = 0;
  ch->partEncoding = 0;
  ch->mimeState = 1;
  ch->inlinePart = false;
  ch->partNamed = false;
  ch->partIsMessage = false;
  ch->attachName[0] = '\0';
  ch->attachCarry = DecoderCarry{};
  ch->textCarry = DecoderCarry{};
  Prepare(ch, 310);
  return RunChannel(ch);
}

SMERESULT smeGetEmailUID(std::int32_t channel, std::int32_t message, char* buffer, std::int32_t size) {
  std::int32_t code;
  ChannelContext* ch = PopChannel(channel, "*** smeGetEmailUID\r\n", &code);
  if (!ch) return code;
  if (!buffer) return Fail(ch, SME_BUFFER_NULL);
  if (size < 128) return Fail(ch, SME_BUFFER_SMALL);
  ch->messageNumber = message;
  ch->callerBuffer = buffer;
  ch->callerSize = size - 1;
  ch->callerFill = 0;
  buffer[0] = '\0';
  Prepare(ch, 320);
  std::int32_t result = RunChannel(ch);
  ch->callerBuffer = nullptr;
  return result < 0 || !ch->driveToEnd ? result : ch->callerFill;
}

// ---------------------------------------------------------------------------
// Buffer helpers.

namespace {
std::int32_t PutOut(const char* text, std::size_t length, char* output, std::int32_t size) {
  if (!output || size <= 0) return 0;
  std::size_t room = static_cast<std::size_t>(size - 1);
  if (length > room) length = mvn::kernel::Utf8CutPoint(std::string_view(text, length), room);
  std::memcpy(output, text, length);
  output[length] = '\0';
  return static_cast<std::int32_t>(length);
}
}  // namespace

SMERESULT smeLineWith(const char* buffer, const char* text, char* output, std::int32_t size) {
  if (!buffer || !text || !*text) return PutOut("", 0, output, size);
  std::string all = buffer;
  std::size_t at = FindNoCase(all, text);
  if (at == std::string::npos) return PutOut("", 0, output, size);
  std::size_t end = all.find('\n', at);
  end = end == std::string::npos ? all.size() : end + 1;
  return PutOut(all.data() + at, end - at, output, size);
}

SMERESULT smeLineAt(const char* buffer, std::int32_t line, char* output, std::int32_t size) {
  if (!buffer) return PutOut("", 0, output, size);
  const char* p = buffer;
  for (std::int32_t n = 1; n < line; ++n) {
    const char* lf = std::strchr(p, '\n');
    if (!lf || !lf[1]) return PutOut("", 0, output, size);
    p = lf + 1;
  }
  if (!*p) return PutOut("", 0, output, size);
  const char* lf = std::strchr(p, '\n');
  std::size_t length = lf ? static_cast<std::size_t>(lf - p) + 1 : std::strlen(p);
  return PutOut(p, length, output, size);
}

SMERESULT smeEncodeLines(const char* data, char* output, std::int32_t length) {
  if (!data || !output || length <= 0) return 0;
  std::int32_t o = 0;
  char line[96];
  for (std::int32_t i = 0; i < length; i += kAttachmentPiece) {
    std::int32_t piece = length - i < kAttachmentPiece ? length - i : kAttachmentPiece;
    std::size_t n = Base64Line(reinterpret_cast<const unsigned char*>(data + i), static_cast<std::size_t>(piece), line);
    std::memcpy(output + o, line, n);
    o += static_cast<std::int32_t>(n);
  }
  return o;
}

SMERESULT smeDecodeLines(const char* encoded, char* output, std::int32_t length) {
  if (!encoded || !output || length <= 0) return 0;
  std::size_t o = 0;
  std::size_t n = static_cast<std::size_t>(length);
  for (std::size_t i = 0; i < n;) {
    // Each line up to its CR (or LF) on its own, so that every line's
    // padding counts.
    std::size_t end = i;
    while (end < n && encoded[end] != '\r' && encoded[end] != '\n') ++end;
    DecoderCarry carry;
    o += DecodeBase64(&carry, encoded + i, end - i, reinterpret_cast<unsigned char*>(output) + o, true);
    i = end;
    while (i < n && (encoded[i] == '\r' || encoded[i] == '\n')) ++i;
  }
  return static_cast<std::int32_t>(o);
}

}  // namespace mvn::smtpengine
