// Inside the SMTP engine: the channel record, the engine-wide state and the
// lower layer (memory blocks, sockets, log, error report) shared by the
// channel operations and the dialogue.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>

#include "platform/net/winsock.h"
#include "smtpengine/smtpengine.h"

namespace mvn::smtpengine {

// Memory blocks of a channel.
enum Block : int {
  kBlockRecord = 0,
  kBlockTo = 1,
  kBlockCc = 2,
  kBlockBcc = 3,
  kBlockSubject = 4,
  kBlockText = 5,
  kBlockAttachments = 6,
  kBlockExtraHeader = 7,
  kBlockLogLine = 8,
  kBlockSend = 9,
  kBlockReply = 10,
  kBlockTextBuffer = 11,
  kBlockBoundary = 12,
  kBlockAltBoundary = 13,
  kBlockLastReply = 14,
  kBlockServer = 15,
  kBlockFrom = 16,
  kBlockReplyTo = 17,
  kBlockPop3User = 18,
  kBlockPop3Password = 19,
  kBlockMailFile = 20,
  kBlockMailDir = 21,
  kBlockAttachDir = 22,
  kBlockAttachName = 23,
  kBlockPath = 24,
  kBlockAttachPath = 25,
};

constexpr std::int32_t kBufferSize = 2176;     // send, reply and text buffers
constexpr std::int32_t kLogLineSize = 2048;
constexpr std::int32_t kSmallBlockSize = 128;  // blocks 12 to 25
constexpr std::int32_t kReplyRoom = 2047;
constexpr std::int32_t kTextRefill = 2048;
constexpr std::int32_t kAttachmentPiece = 57;
// Coalesced sends: data lines are gathered up to this many bytes before
// they go out (the bytes on the wire are the same as line by line).
constexpr std::size_t kSendBatch = 32768;
// Buffered log: written out at this size and at the end of every call.
constexpr std::size_t kLogBatch = 65536;

// The states of the SMTP dialogue (dialogue.cpp). The numbers are the ones
// the engine's log prints ("<206:...>"), so they never change. State 0
// ends an operation.
enum SmtpState : std::int32_t {
  kStateDone = 0,
  // The connect sequence, shared with POP3: it goes on at returnState.
  kConnectStart = 101,
  kConnectDescription = 102,
  kConnectLocalHost = 103,
  kConnectResolve = 104,
  kConnectSocket = 105,
  kConnectWait = 106,
  // Session: greeting and HELO.
  kSessionStart = 200,
  kSessionGreeting = 201,
  kSessionHelo = 202,
  kSessionHeloReply = 203,
  // Envelope: MAIL FROM, RCPT TO for each recipient, DATA.
  kMailFrom = 204,
  kMailFromReply = 205,
  kRecipientNext = 206,
  kRecipientRcpt = 207,
  kRecipientReply = 208,
  kDataCommand = 209,
  kDataReply = 210,
  // Header lines.
  kHeaderMailer = 220,
  kHeaderDate = 222,
  kHeaderTo = 223,
  kHeaderFrom = 224,
  kHeaderReplyTo = 225,
  kHeaderSubject = 226,
  kHeaderCc = 227,
  kHeaderMimeVersion = 228,
  kHeaderContentType = 229,
  kHeaderEnd = 230,
  // The text part.
  kTextBoundary = 231,
  kTextType = 232,
  kTextEncoding = 233,
  kTextStart = 235,
  kTextFromMemory = 240,
  kTextMemoryLines = 241,
  kTextOpenFile = 244,
  kTextFileLines = 245,
  // The end of the mail: the closing boundary and the ".".
  kMailEnd = 251,
  kMailEndReply = 252,
  // QUIT.
  kQuit = 258,
  kQuitReply = 259,
  // One attachment part each.
  kAttachmentBoundary = 260,
  kAttachmentType = 261,
  kAttachmentEncoding = 262,
  kAttachmentDisposition = 263,
  kAttachmentOpen = 264,
  kAttachmentLines = 265,
  // VRFY for each address.
  kVerifyNext = 270,
  kVerifyCommand = 271,
  kVerifyReply = 272,
};

// Engine error codes.
enum : std::int32_t {
  SME_SOCKET_CLOSED = -1,
  SME_BAD_STATUS_FLAG = -5,
  SME_INVALID_SOCKET = -7,
  SME_TIMED_OUT = -8,
  SME_NO_HOST_NAME = -12,
  SME_REPLY_OVERFLOW = -31,
  SME_BAD_CHARACTER = -32,
  SME_CANNOT_OPEN = -35,
  SME_CONNECT_ERROR = -36,
  SME_EMPTY_ADDRESS = -37,
  SME_FROM_NULL = -38,
  SME_MISSING_AT = -39,
  SME_MISSING_FROM = -40,
  SME_MISSING_LT = -41,
  SME_MISSING_GT = -43,
  SME_NOT_CONNECTED = -44,
  SME_NO_RECIPIENT = -45,
  SME_SERVER_NOT_FOUND = -46,
  SME_NULL_POINTER = -47,
  SME_SMTP_ERROR = -49,
  SME_NO_SERVER = -50,
  SME_READ_ERROR = -51,
  SME_WRITE_ERROR = -52,
  SME_TOO_MANY_AT = -53,
  SME_NO_MEMORY = -55,
  SME_BAD_SERVER_NAME = -56,
  SME_SMTP_ONLY = -58,
  SME_POP3_ONLY = -59,
  SME_NO_USER = -61,
  SME_NO_PASSWORD = -62,
  SME_POP3_ERROR = -63,
  SME_NO_MESSAGE = -64,
  SME_NO_FILENAME = -65,
  SME_NO_MAIL_PATH = -66,
  SME_CANNOT_CREATE = -67,
  SME_BUFFER_NULL = -68,
  SME_BUFFER_SMALL = -69,
  SME_NO_ATTACH_PATH = -70,
  SME_NOT_ATTACHED = -71,
  SME_ALREADY_ATTACHED = -72,
  SME_CHANNEL_RANGE = -73,
};

// Memory codes (no texts).
enum : std::int32_t {
  MEM_INDEX_RANGE = -100,
  MEM_NO_SYSTEM_MEMORY = -102,
  MEM_ALREADY_ALLOCATED = -103,
  MEM_NOT_ALLOCATED = -104,
  MEM_BAD_INDEX = -105,
  MEM_GUARD_DAMAGED = -106,
};

// An open file of a channel (mail text or attachment), read through a
// buffer of its own.
struct EngineFile {
  int fd = -1;
  std::string buffer;
  std::size_t position = 0;
  bool ended = false;
  bool failed = false;
};

// A decoder's bytes carried over from one piece of input to the next (a
// base64 group or a quoted-printable escape cut by a piece's end).
struct DecoderCarry {
  char bytes[4] = {};
  int count = 0;
};

// The channel record (block 0 of the channel).
struct ChannelContext {
  std::int32_t channel = 0;
  std::int32_t mailsSent = 0;
  char* server = nullptr;
  char* from = nullptr;
  char* replyTo = nullptr;
  char* cursor = nullptr;
  char* to = nullptr;
  char* cc = nullptr;
  char* bcc = nullptr;
  char* subject = nullptr;
  char* extraHeader = nullptr;
  char* text = nullptr;
  char* attachments = nullptr;
  char* nextAttachment = nullptr;
  char* sendBuffer = nullptr;
  char* replyBuffer = nullptr;
  char* commaPosition = nullptr;
  std::uint32_t serverAddress = 0;  // host order
  SOCKET socket = 0;                // 0: none
  std::uint32_t wakeTime = 0;       // 0: none
  std::uint32_t deadline = 0;       // 0: none
  std::int32_t steps = 0;
  // Byte counts of a run; 64 bits, so no message is too long for them
  // (the counters report them bounded to 31 bits).
  std::int64_t bytesRead = 0;
  std::int64_t attachmentBytesRead = 0;
  std::int64_t textBytesSent = 0;
  std::int64_t attachmentBytesSent = 0;
  std::int32_t textFromMemory = 0;
  std::int32_t ccDone = 0;
  std::int32_t bccDone = 0;
  std::uint16_t currentPort = 0;
  std::uint16_t smtpPort = 25;
  std::uint16_t pop3Port = 110;
  std::int32_t replyCode = 0;
  EngineFile file;  // mail text or attachment being read
  std::int32_t previousState = -2;
  std::int32_t currentState = -1;
  std::int32_t nextState = 0;
  std::int32_t returnState = 0;
  std::int32_t lastSocketCode = 0;
  int logFd = -1;  // -1: no log
  std::string logPending;
  char* pop3User = nullptr;
  char* pop3Password = nullptr;
  std::int32_t messageCount = 0;
  char mode = 0;
  std::int32_t attachmentsSaved = 0;
  std::int32_t attachmentSequence = 0;
  std::int32_t verifyResult = 0;
  char* lastReplyLine = nullptr;
  char* currentRecipient = nullptr;
  bool waitWritable = false;
  std::int32_t driveToEnd = 1;
  std::int32_t savedAttachments = 0;
  std::int32_t textMode = 0;
  std::uint8_t lastByteReceived = 0;
  char* logLine = nullptr;
  char* textBuffer = nullptr;
  std::int32_t textPosition = 0;
  std::int32_t textFill = 0;
  std::int32_t textEnded = 0;
  const char* textSource = nullptr;  // rest of the mail-text copy
  std::int32_t saveAttachments = 0;
  std::int32_t nonBlockingConnect = 1;
  std::string outgoing;  // data lines gathered for one send
  std::int32_t steppedState = -1;
  // Bytes received from the socket and not yet taken as lines: the socket
  // is read in large pieces and the lines are served from here.
  std::string inbox;
  std::size_t inboxAt = 0;

  // POP3 and the MIME reader (pop3.cpp).
  std::int32_t messageNumber = 0;
  std::int32_t messageSize = 0;
  std::int32_t lineCount = 0;
  char* mailFile = nullptr;     // block 20
  char* mailDir = nullptr;      // block 21
  char* attachDir = nullptr;    // block 22
  char* attachName = nullptr;   // block 23
  char* pathBuffer = nullptr;   // block 24
  char* attachPath = nullptr;   // block 25
  char* boundary = nullptr;     // block 12
  char* altBoundary = nullptr;  // block 13
  std::int32_t boundaryLength = 0;
  std::int32_t altBoundaryLength = 0;
  std::int32_t boundariesSeen = 0;
  std::int32_t partEncoding = 0;  // 0 none, 1 7bit, 2 base64, 3 quoted-printable
  std::int32_t mimeState = 0;
  bool inlinePart = false;
  bool partNamed = false;    // the part's headers named a file
  bool partIsMessage = false;  // the part is a message/rfc822
  int mailFd = -1;
  int attachFd = -1;
  char* callerBuffer = nullptr;
  std::int32_t callerSize = 0;
  std::int32_t callerFill = 0;
  bool statusPending = false;   // the next line is the status line
  bool nextAtLineStart = true;  // the next piece read starts a line
  bool lineKept = false;        // decision for the rest of a long line
  std::string pendingLine;      // a line read ahead
  bool pendingAtStart = true;
  bool pendingClosed = false;
  DecoderCarry attachCarry;
  DecoderCarry textCarry;
  std::string createdFiles;  // NUL-separated paths created by this fetch
  // Bytes for the mail file and the attachment file, written in large
  // pieces.
  std::string mailOut;
  std::string attachOut;
  // The bounds of a fetch: every byte of the message received so far, the
  // size the server announced (0: none) and the time by which it must end.
  std::int64_t fetchBytes = 0;
  std::int64_t fetchAnnounced = 0;
  std::uint32_t fetchDeadline = 0;
  std::int32_t sizeOfMessage = 0;  // the message whose LIST size messageSize is
  // The next "_n" to try per attachment name of this fetch.
  std::map<std::string, std::int32_t> nameSuffixes;
};

// Engine-wide parameters.
struct EngineParams {
  std::int32_t commandPause = 20;       // 1
  std::int32_t replyTimeout = 25000;    // 2
  std::int32_t connectTimeout = 60000;  // 3
  std::int32_t linePause = 0;           // 5
  std::int32_t lineTimeout = 25000;     // 6
  std::int32_t smtpLineWait = 2000;     // 11
  std::int32_t pop3Wait = 2000;         // 12
  std::int32_t pollInterval = 50;       // 13
  std::int32_t longestLine = 78;        // 17
  std::int32_t passBytes = 0;           // 19
  std::int32_t noAttachmentLines = 0;   // 21
  std::int32_t noToHeader = 0;          // 22
  char listSeparator = ',';             // 23
};

extern EngineParams g_params;
extern std::int32_t g_attached;
extern char g_boundary[24];
extern WSADATA g_wsaData;

// The engine lock (recursive).
void LockEngine();
void UnlockEngine();
bool CreateEngineLock();
void DeleteEngineLock();

// Ticks: milliseconds of a monotonic clock, compared wrap-safe. A tick of
// 0 is made 1, so that 0 stays "none" in the wake time and the deadline.
std::uint32_t Now();
std::uint32_t TickAfter(std::uint32_t now, std::int32_t milliseconds);
inline bool TickBefore(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }
void SleepMs(std::int32_t milliseconds);

// Memory blocks (index = channel * 26 + block).
std::int32_t BlockAllocate(std::int32_t index, std::int32_t size);
char* BlockAddress(std::int32_t index);
std::int32_t BlockCheck(std::int32_t index);
std::int32_t BlockFree(std::int32_t index);
void BlockTableInit();
char* ChannelAllocate(ChannelContext* ch, std::int32_t channel, int block, std::int32_t size);
void ChannelFree(ChannelContext* ch, std::int32_t channel, int first, int last);
char* AllocAndCopy(ChannelContext* ch, int block, const char* text);

ChannelContext* Channel(std::int32_t channel);
// Drives a prepared channel (integer parameter 9) and flushes its log.
std::int32_t RunChannel(ChannelContext* ch);
// -71 or -73 for a channel that cannot be used, else 0.
std::int32_t CheckChannel(std::int32_t channel);
// An argument a call cannot do without, and the code it fails with when the
// argument is null.
struct RequiredArgument {
  const char* value;
  std::int32_t missing;
};
// The start the SMTP and POP3 connects share: the channel checked, its mode
// set and the call logged, then the arguments. The first refusal counts:
// no server (SME_NO_SERVER), a required argument missing, a server name
// that is an address rather than a host or holds a byte below 32 or from
// 127 to 191 (SME_BAD_SERVER_NAME), a line break in one of the oneLine
// texts (SME_BAD_CHARACTER). The channel, or null with the code in *code
// (and the log flushed).
ChannelContext* StartConnect(std::int32_t channel, char mode, const char* logLine, const char* server,
                             std::initializer_list<RequiredArgument> required,
                             std::initializer_list<const char*> oneLine, std::int32_t* code);

// Sockets.
std::int32_t WaitReadable(SOCKET s, std::int32_t milliseconds);
std::int32_t WaitWritable(SOCKET s, std::int32_t milliseconds);
// Every byte, waiting for room until the deadline (a tick; 0: the reply
// time-out from now). Bytes sent, or the negated socket error, or -8.
std::int32_t SendAll(SOCKET s, const char* data, std::size_t count, std::uint32_t deadline);
std::int32_t CloseChannelSocket(ChannelContext* ch, bool pause);
std::int32_t LocalHostName(char* buffer, std::int32_t size);
// Takes up to and including the next LF (at most size - 1 bytes) from
// what the channel received, reading the socket in large pieces when
// nothing is left, terminated. Above 0 the bytes taken, 0 nothing
// readable, -1 the peer closed, else the negated socket error.
std::int32_t ReadPiece(ChannelContext* ch, char* buffer, std::int32_t size);
// Whether the channel has a line's bytes to read: received already, or
// readable on its socket within the milliseconds.
std::int32_t ChannelReadable(ChannelContext* ch, std::int32_t milliseconds);

// Log.
void LogText(ChannelContext* ch, const char* text);
void LogBytes(ChannelContext* ch, const char* text, std::size_t length);
void LogFormat(ChannelContext* ch, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogFlush(ChannelContext* ch);
bool OpenLogFile(ChannelContext* ch, const char* path);
void CloseLogFile(ChannelContext* ch);
std::int32_t ReportError(ChannelContext* ch, std::int32_t socketCode, std::int32_t engineCode);
const char* ErrorTextOf(std::int32_t code);
std::int32_t ErrorTableRows();

// Files (POSIX side, files.cpp): regular files only, read-only, others may
// read. fd or -1 with errno.
int OpenReadOnly(const char* path);
long ReadSome(int fd, char* buffer, std::size_t count);
void CloseFd(int fd);
int CreateLog(const char* path);
// The mail file: created or emptied, a regular file, no symbolic link.
int CreateMail(const char* path);
// A file that does not exist yet (never a link, never an existing file);
// -1 with *exists set when the name is taken.
int CreateNew(const char* path, bool* exists);
void RemoveFile(const char* path);
long WriteAll(int fd, const char* data, std::size_t count);
void FileClose(EngineFile* file);

// POP3 (pop3.cpp).
std::int32_t RunPop3State(ChannelContext* ch, std::int32_t state, std::uint32_t now, bool* handled);
std::int32_t ReadPop3Reply(ChannelContext* ch);
// Closes and removes what an unfinished fetch has written.
void DiscardFetch(ChannelContext* ch);
// Decoders: streaming forms keep a cut group or escape in the carry; a
// final call with finish set flushes it. Bytes written to out (room for
// length bytes, and at most three more for the carry).
std::size_t DecodeBase64(DecoderCarry* carry, const char* in, std::size_t length, unsigned char* out, bool finish);
std::size_t DecodeQuotedPrintable(DecoderCarry* carry, const char* in, std::size_t length, unsigned char* out,
                                  bool finish);
// An attachment name as it may stand in a directory: no separators, no
// control characters, no leading dot; "noname" when nothing is left.
std::string SanitiseAttachmentName(const std::string& name);
// The subject or name text with up to four iso-8859-1 encoded words
// decoded (from the given offset on), as UTF-8.
std::string DecodeEncodedWords(const std::string& text, std::size_t from);

// Dialogue (dialogue.cpp).
std::int32_t RunState(ChannelContext* ch, std::int32_t state, std::uint32_t now);
std::int32_t ReadSmtpReply(ChannelContext* ch);
void DateLine(char* buffer, std::size_t size);
std::int32_t BodyLine(ChannelContext* ch, char* out);
// One base64 line of up to 57 bytes with CR LF; gives its length.
std::size_t Base64Line(const unsigned char* bytes, std::size_t count, char* out);
void ResetTextReader(ChannelContext* ch);
bool HasLineBreak(const char* text);

}  // namespace mvn::smtpengine
