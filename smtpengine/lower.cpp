// The engine's lower layer: the lock, the tick count, the guarded memory
// blocks, readiness tests and waits, sends and the line reader, closing a
// socket, the log and the error report with the table of error texts.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "smtpengine/engine.h"

namespace mvn::smtpengine {

EngineParams g_params;
std::int32_t g_attached = 0;
char g_boundary[24] = {};
WSADATA g_wsaData = {};

// ---------------------------------------------------------------------------
// Lock
namespace {
CRITICAL_SECTION g_lock;
bool g_lockCreated = false;
}  // namespace

bool CreateEngineLock() {
  if (!g_lockCreated) InitializeCriticalSection(&g_lock);
  g_lockCreated = true;
  return true;
}
void DeleteEngineLock() {
  if (g_lockCreated) DeleteCriticalSection(&g_lock);
  g_lockCreated = false;
}
void LockEngine() {
  if (g_lockCreated) EnterCriticalSection(&g_lock);
}
void UnlockEngine() {
  if (g_lockCreated) LeaveCriticalSection(&g_lock);
}

// ---------------------------------------------------------------------------
// Ticks
std::uint32_t Now() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
  std::uint32_t tick = static_cast<std::uint32_t>(ms);
  return tick ? tick : 1;
}

std::uint32_t TickAfter(std::uint32_t now, std::int32_t milliseconds) {
  std::uint32_t tick = now + static_cast<std::uint32_t>(milliseconds < 0 ? 0 : milliseconds);
  return tick ? tick : 1;
}

void SleepMs(std::int32_t milliseconds) {
  if (milliseconds <= 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---------------------------------------------------------------------------
// Memory blocks: a guard byte 'U' before the caller's area, 'z' right
// behind it, and one more byte; zero-filled.
namespace {

constexpr std::int32_t kBlockCount = SME_MAX_CHANNELS * SME_BLOCKS_PER_CHANNEL;

struct BlockEntry {
  void* handle;
  char* memory;
  std::int32_t size;
  std::int32_t index;
};
BlockEntry g_blocks[kBlockCount];

std::int32_t EntryCheck(std::int32_t index) {
  if (index < 0 || index >= kBlockCount) return MEM_INDEX_RANGE;
  if (g_blocks[index].index != index) return MEM_BAD_INDEX;
  return 0;
}

}  // namespace

void BlockTableInit() {
  for (std::int32_t i = 0; i < kBlockCount; ++i) g_blocks[i] = {nullptr, nullptr, 0, i};
}

std::int32_t BlockAllocate(std::int32_t index, std::int32_t size) {
  if (std::int32_t code = EntryCheck(index)) return code;
  BlockEntry& entry = g_blocks[index];
  if (entry.handle) return MEM_ALREADY_ALLOCATED;
  if (size < 0) return MEM_NO_SYSTEM_MEMORY;
  void* memory = std::calloc(static_cast<std::size_t>(size) + 3, 1);
  if (!memory) return MEM_NO_SYSTEM_MEMORY;
  entry.handle = memory;
  entry.memory = static_cast<char*>(memory);
  entry.size = size;
  entry.memory[0] = 'U';
  entry.memory[size + 1] = 'z';
  return index;
}

char* BlockAddress(std::int32_t index) {
  if (EntryCheck(index) || !g_blocks[index].handle) return nullptr;
  return g_blocks[index].memory + 1;
}

std::int32_t BlockCheck(std::int32_t index) {
  if (std::int32_t code = EntryCheck(index)) return code;
  const BlockEntry& entry = g_blocks[index];
  if (!entry.handle || entry.size == 0) return MEM_NOT_ALLOCATED;
  if (entry.memory[0] != 'U' || entry.memory[entry.size + 1] != 'z') return MEM_GUARD_DAMAGED;
  return 1;
}

std::int32_t BlockFree(std::int32_t index) {
  if (std::int32_t code = EntryCheck(index)) return code;
  BlockEntry& entry = g_blocks[index];
  if (!entry.handle) return MEM_NOT_ALLOCATED;
  std::free(entry.handle);
  entry.handle = nullptr;
  entry.memory = nullptr;
  entry.size = 0;
  return 1;
}

namespace {
void LogMemory(ChannelContext* ch, const char* what, std::int32_t channel, int block, std::int32_t code) {
  if (!ch || !ch->logLine || ch->logFd < 0) return;
  LogFormat(ch, "%s: Chan=%d, Index=%d, Code=%d\r\n", what, channel, block, code);
}
}  // namespace

char* ChannelAllocate(ChannelContext* ch, std::int32_t channel, int block, std::int32_t size) {
  std::int32_t code = BlockAllocate(channel * SME_BLOCKS_PER_CHANNEL + block, size);
  if (code < 0) {
    LogMemory(ch, "AllocateMemory Error", channel, block, code);
    return nullptr;
  }
  return BlockAddress(code);
}

void ChannelFree(ChannelContext* ch, std::int32_t channel, int first, int last) {
  for (int block = first; block <= last; ++block) {
    std::int32_t index = channel * SME_BLOCKS_PER_CHANNEL + block;
    std::int32_t code = BlockCheck(index);
    if (code == 1) {
      BlockFree(index);
    } else if (code == MEM_BAD_INDEX || code == MEM_GUARD_DAMAGED) {
      LogMemory(ch, "FreeMemory Error", channel, block, code);
      return;
    } else if (code == MEM_NOT_ALLOCATED) {
      // A block of size 0 is still held: release it.
      BlockFree(index);
    }
  }
}

char* AllocAndCopy(ChannelContext* ch, int block, const char* text) {
  if (!text || !*text) {
    LogMemory(ch, "AllocAndCopy Error 1", ch->channel, block, 0);
    return nullptr;
  }
  std::int32_t index = ch->channel * SME_BLOCKS_PER_CHANNEL + block;
  if (BlockAddress(index)) BlockFree(index);
  std::size_t length = std::strlen(text);
  if (length > 0x7FFFFF00u) {
    LogMemory(ch, "AllocAndCopy Error 2", ch->channel, block, MEM_NO_SYSTEM_MEMORY);
    return nullptr;
  }
  std::int32_t code = BlockAllocate(index, static_cast<std::int32_t>(length) + 3);
  if (code < 0) {
    LogMemory(ch, "AllocAndCopy Error 2", ch->channel, block, code);
    return nullptr;
  }
  char* area = BlockAddress(code);
  std::memcpy(area, text, length + 1);
  return area;
}

// ---------------------------------------------------------------------------
// Sockets
SMERESULT smeStatus(std::uintptr_t s, std::int32_t flag) {
  if (flag < 1 || flag > 3) return SME_BAD_STATUS_FLAG;
  if (s == 0) return 0;
  LockEngine();
  WSAFDSET set;
  WsaFdZero(&set);
  WsaFdSet(s, &set);
  WSATIMEVAL zero{0, 0};
  int n = WsaSelect(0, flag == 1 ? &set : nullptr, flag == 2 ? &set : nullptr, flag == 3 ? &set : nullptr, &zero);
  UnlockEngine();
  return n > 0 && WsaFdIsSet(s, &set) ? 1 : 0;
}

namespace {
// Waits in poll itself: up to the milliseconds, without spinning.
std::int32_t WaitFor(SOCKET s, int flag, std::int32_t milliseconds) {
  if (s == 0) {
    SleepMs(milliseconds);
    return 0;
  }
  if (smeStatus(s, flag) == 1) return 1;
  if (milliseconds <= 0) return 0;
  WSAFDSET set;
  WsaFdZero(&set);
  WsaFdSet(s, &set);
  WSATIMEVAL time{milliseconds / 1000, (milliseconds % 1000) * 1000};
  int n = WsaSelect(0, flag == 1 ? &set : nullptr, flag == 2 ? &set : nullptr, nullptr, &time);
  if (n < 0) {
    SleepMs(milliseconds);
    return 0;
  }
  return n > 0 && WsaFdIsSet(s, &set) ? 1 : 0;
}
}  // namespace

std::int32_t WaitReadable(SOCKET s, std::int32_t milliseconds) { return WaitFor(s, 1, milliseconds); }
std::int32_t WaitWritable(SOCKET s, std::int32_t milliseconds) { return WaitFor(s, 2, milliseconds); }

std::int32_t SendAll(SOCKET s, const char* data, std::size_t count, std::uint32_t deadline) {
  if (deadline == 0) deadline = TickAfter(Now(), g_params.replyTimeout);
  std::size_t done = 0;
  while (done < count) {
    // Only a socket with room is sent to, so a send never blocks: a peer
    // that stops reading ends in the deadline.
    std::uint32_t now = Now();
    if (!TickBefore(now, deadline)) return SME_TIMED_OUT;
    std::int32_t left = static_cast<std::int32_t>(deadline - now);
    if (!WaitWritable(s, left < g_params.pollInterval ? left : g_params.pollInterval)) continue;
    std::size_t piece = count - done > 0x40000000u ? 0x40000000u : count - done;
    int n = send(s, data + done, static_cast<int>(piece), 0);
    if (n <= 0) {
      int error = n == 0 ? WSAECONNRESET : WSAGetLastError();
      if (error == WSAEWOULDBLOCK) continue;
      return -error;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int32_t>(count > 0x7FFFFFFF ? 0x7FFFFFFF : count);
}

std::int32_t CloseChannelSocket(ChannelContext* ch, bool pause) {
  if (ch->socket == 0) return 1;
  while (WSAIsBlocking()) SleepMs(g_params.pollInterval);
  LockEngine();
  // Lingering is short: a close never holds the caller for long.
  linger option{1, 2};
  setsockopt(ch->socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
  int result = closesocket(ch->socket);
  int error = result == 0 ? 0 : WSAGetLastError();
  ch->socket = 0;
  // What was received belongs to the connection.
  ch->inbox.clear();
  ch->inboxAt = 0;
  UnlockEngine();
  if (pause) SleepMs(500);
  return result == 0 ? 1 : -error;
}

std::int32_t LocalHostName(char* buffer, std::int32_t size) {
  if (gethostname(buffer, size) != 0) return -WSAGetLastError();
  if (!*buffer) return SME_NO_HOST_NAME;
  return 1;
}

std::int32_t ChannelReadable(ChannelContext* ch, std::int32_t milliseconds) {
  if (ch->inboxAt < ch->inbox.size()) return 1;
  return WaitReadable(ch->socket, milliseconds);
}

// The socket is read in pieces of up to this many bytes; the lines in them
// are served one by one, so each line still ends a read exactly.
constexpr std::size_t kInboxSize = 65536;

std::int32_t ReadPiece(ChannelContext* ch, char* buffer, std::int32_t size) {
  if (size < 2) return 0;
  if (ch->inboxAt >= ch->inbox.size()) {
    ch->inbox.resize(kInboxSize);
    ch->inboxAt = 0;
    int n = recv(ch->socket, ch->inbox.data(), static_cast<int>(kInboxSize), 0);
    if (n <= 0) {
      ch->inbox.clear();
      if (n == 0) return SME_SOCKET_CLOSED;
      int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) return 0;
      return -error;
    }
    ch->inbox.resize(static_cast<std::size_t>(n));
  }
  const char* start = ch->inbox.data() + ch->inboxAt;
  std::size_t available = ch->inbox.size() - ch->inboxAt;
  std::size_t room = static_cast<std::size_t>(size - 1);
  std::size_t limit = available < room ? available : room;
  const char* lf = static_cast<const char*>(std::memchr(start, '\n', limit));
  std::size_t take = lf ? static_cast<std::size_t>(lf - start) + 1 : limit;
  std::memcpy(buffer, start, take);
  ch->inboxAt += take;
  buffer[take] = '\0';
  ch->lastByteReceived = static_cast<std::uint8_t>(buffer[take - 1]);
  return static_cast<std::int32_t>(take);
}

// ---------------------------------------------------------------------------
// Log
void LogBytes(ChannelContext* ch, const char* text, std::size_t length) {
  if (!ch || ch->logFd < 0) return;
  ch->logPending.append(text, length);
  if (ch->logPending.size() >= kLogBatch) LogFlush(ch);
}

void LogText(ChannelContext* ch, const char* text) {
  if (text) LogBytes(ch, text, std::strlen(text));
}

void LogFormat(ChannelContext* ch, const char* format, ...) {
  if (!ch || ch->logFd < 0) return;
  char local[kLogLineSize];
  char* line = ch->logLine ? ch->logLine : local;
  va_list arguments;
  va_start(arguments, format);
  int n = std::vsnprintf(line, kLogLineSize, format, arguments);
  va_end(arguments);
  if (n < 0) return;
  LogBytes(ch, line, static_cast<std::size_t>(n < kLogLineSize ? n : kLogLineSize - 1));
}

void LogFlush(ChannelContext* ch) {
  if (!ch || ch->logFd < 0 || ch->logPending.empty()) return;
  // The log is written without checking: a failing log never stops a
  // dialogue.
  WriteAll(ch->logFd, ch->logPending.data(), ch->logPending.size());
  ch->logPending.clear();
}

bool OpenLogFile(ChannelContext* ch, const char* path) {
  // A channel that already logs keeps its file, and the file its lines.
  if (ch->logFd >= 0) return true;
  int fd = CreateLog(path);
  if (fd < 0) return false;
  ch->logFd = fd;
  return true;
}

void CloseLogFile(ChannelContext* ch) {
  LogFlush(ch);
  CloseFd(ch->logFd);
  ch->logFd = -1;
  ch->logPending.clear();
}

void FileClose(EngineFile* file) {
  CloseFd(file->fd);
  file->fd = -1;
  file->buffer.clear();
  file->position = 0;
  file->ended = false;
  file->failed = false;
}

std::int32_t ReportError(ChannelContext* ch, std::int32_t socketCode, std::int32_t engineCode) {
  if (ch->logFd >= 0) {
    LogFormat(ch, "ERROR(%ld): SockCode=%d SmeCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
              static_cast<long>(Now()), socketCode, engineCode, ch->previousState, ch->currentState, ch->nextState);
    char text[128];
    if (engineCode < 0) {
      std::snprintf(text, sizeof text, "%s", ErrorTextOf(engineCode));
      LogText(ch, text);
    }
    if (socketCode < 0) {
      std::snprintf(text, sizeof text, "%s", ErrorTextOf(socketCode));
      LogText(ch, text);
    }
  }
  if (engineCode < 0) {
    ch->nextState = 0;
    ch->previousState = ch->currentState;
    ch->currentState = -1;
    ch->lastSocketCode = socketCode;
    // A failed dialogue leaves nothing open: the files it read and its
    // connection.
    FileClose(&ch->file);
    DiscardFetch(ch);
    ch->outgoing.clear();
    CloseChannelSocket(ch, true);
  }
  SleepMs(0);
  return engineCode;
}

// ---------------------------------------------------------------------------
// Error texts
namespace {

struct ErrorRow {
  std::int32_t code;
  const char* text;
};

const ErrorRow kErrorTable[] = {
    {-72, "Already attached."},
    {-70, "Missing path for attachments."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-5, "Bad status flag passed to smeStatus."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-55, "Cannot allocate memory."},
    {-34, "Cannot access WINSOCK"},
    {0, "Cannot comply"},
    {-67, "Cannot create file."},
    {-18, "Cannot create socket."},
    {-35, "Cannot open file."},
    {-73, "Channel out of range."},
    {-36, "Error attempting to connect."},
    {-50, "SMTP/POP3 server not specified."},
    {-66, "Missing email path."},
    {-37, "EMPTY email address."},
    {-1, "Socket has been closed."},
    {-65, "Missing filename."},
    {-38, "FromPtr is NULL."},
    {-7, "Invalid socket."},
    {-4, "WINSOCK is currently blocking."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-64, "No such message number."},
    {-12, "No host name."},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-9, "No available sockaddr structures."},
    {-71, "Must call smeAttach first."},
    {-44, "Not connected to server"},
    {-56, "Illegal chars in server name."},
    {-47, "Unexpected NULL pointer."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-59, "POP3 function ONLY."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-58, "SMTP function ONLY."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-8, "Socket timed out."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-61, "USER name not specified."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {999, ""},
};

}  // namespace

const char* ErrorTextOf(std::int32_t code) {
  for (const ErrorRow* row = kErrorTable; row->code != 999; ++row)
    if (row->code == code) return row->text;
  return "";
}

std::int32_t ErrorTableRows() { return static_cast<std::int32_t>(sizeof kErrorTable / sizeof kErrorTable[0]); }

}  // namespace mvn::smtpengine
