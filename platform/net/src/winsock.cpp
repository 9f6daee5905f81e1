// Winsock-shaped sockets, events and overlapped operations on poll().
//
// State: a table of socket objects (SOCKET value -> object) and event
// objects in the kernel's handle table, all guarded by one lock. A pending
// overlapped operation is a record on its socket (the caller's buffers,
// the bytes moved so far, its event); waits on events poll the descriptors
// of the operations and selections tied to those events and move the data
// when the descriptor is ready. Cancelling or closing drops the record, so
// the caller's buffer is never touched afterwards.
#include "platform/net/winsock.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/handles.h"
#include "platform/net/src/sysnet.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace sys = mvn::sysnet;

// Win32 ERROR_NOT_FOUND, for CancelIoEx without a pending operation.
constexpr DWORD kErrorNotFound = 1168;
// Longest single poll of a wait, so that WSASetEvent from another thread is
// seen in good time.
constexpr int kPollSliceMs = 50;

class EventObject : public mvn::KernelObject {
 public:
  bool signalled = false;
};

struct PendingOp {
  bool send = false;
  LPWSAOVERLAPPED overlapped = nullptr;
  std::vector<sys::IoPiece> pieces;
  std::size_t total = 0;
  std::size_t done = 0;
  std::shared_ptr<EventObject> event;  // may be empty
};

struct SocketObject {
  int fd = -1;
  bool nonBlocking = false;
  bool connecting = false;
  bool connected = false;
  int connectError = 0;  // outcome of a non-blocking connect that failed
  long selected = 0;
  std::shared_ptr<EventObject> selectEvent;
  long recorded = 0;
  int errors[FD_MAX_EVENTS] = {};
  std::list<PendingOp> ops;
};

std::mutex g_lock;
int g_startups = 0;
std::map<SOCKET, std::shared_ptr<SocketObject>> g_sockets;
SOCKET g_nextSocket = 0x100;

int Fail(int error) {
  SetLastError(static_cast<DWORD>(error));
  return SOCKET_ERROR;
}

// Lock held.
std::shared_ptr<SocketObject> FindSocket(SOCKET s) {
  auto it = g_sockets.find(s);
  return it == g_sockets.end() ? nullptr : it->second;
}

std::shared_ptr<EventObject> FindEvent(WSAEVENT event) {
  if (!event) return nullptr;
  return mvn::HandleGetAs<EventObject>(event);
}

// Lock held.
void Signal(const std::shared_ptr<EventObject>& event) {
  if (event) event->signalled = true;
}

void Record(SocketObject& socket, int bit, int error) {
  socket.recorded |= (1L << bit);
  socket.errors[bit] = error;
  Signal(socket.selectEvent);
}

void Complete(std::list<PendingOp>& ops, std::list<PendingOp>::iterator op, std::size_t bytes, int error) {
  op->overlapped->InternalHigh = bytes;
  op->overlapped->Internal = static_cast<ULONG_PTR>(error);
  Signal(op->event);
  ops.erase(op);
}

void AbortAll(SocketObject& socket) {
  while (!socket.ops.empty()) Complete(socket.ops, socket.ops.begin(), socket.ops.front().done, WSA_OPERATION_ABORTED);
}

std::vector<sys::IoPiece> PiecesFrom(const WSABUF* buffers, DWORD count, std::size_t* total) {
  std::vector<sys::IoPiece> pieces;
  *total = 0;
  for (DWORD i = 0; i < count; ++i) {
    pieces.push_back({buffers[i].buf, buffers[i].len});
    *total += buffers[i].len;
  }
  return pieces;
}

// The pieces still to go after done bytes.
std::vector<sys::IoPiece> Remaining(const std::vector<sys::IoPiece>& pieces, std::size_t done) {
  std::vector<sys::IoPiece> rest;
  for (const sys::IoPiece& piece : pieces) {
    if (done >= piece.length) {
      done -= piece.length;
      continue;
    }
    rest.push_back({piece.data + done, piece.length - done});
    done = 0;
  }
  return rest;
}

// Moves what can move now for the first pending receive and the first
// pending send of the socket, and settles a connect under way. Lock held.
void Drive(SocketObject& socket, short ready) {
  if (socket.connecting && (ready & (sys::kWritable | sys::kHangUp))) {
    int result = sys::ConnectResult(socket.fd);
    socket.connecting = false;
    socket.connected = result == 0;
    socket.connectError = result;
    if (socket.selected & FD_CONNECT) Record(socket, FD_CONNECT_BIT, result);
  }
  bool receiveSeen = false;
  bool sendSeen = false;
  for (auto op = socket.ops.begin(); op != socket.ops.end();) {
    auto next = std::next(op);
    if (!op->send && !receiveSeen) {
      receiveSeen = true;
      if (ready & (sys::kReadable | sys::kHangUp)) {
        int error = 0;
        long n = sys::ReceiveNow(socket.fd, op->pieces.data(), op->pieces.size(), &error);
        if (n >= 0)
          Complete(socket.ops, op, static_cast<std::size_t>(n), 0);
        else if (error != WSAEWOULDBLOCK)
          Complete(socket.ops, op, 0, error);
      }
    } else if (op->send && !sendSeen) {
      sendSeen = true;
      if (ready & (sys::kWritable | sys::kHangUp)) {
        int error = 0;
        std::vector<sys::IoPiece> rest = Remaining(op->pieces, op->done);
        long n = sys::SendNow(socket.fd, rest.data(), rest.size(), &error);
        if (n >= 0) {
          op->done += static_cast<std::size_t>(n);
          if (op->done >= op->total) Complete(socket.ops, op, op->done, 0);
        } else if (error != WSAEWOULDBLOCK) {
          Complete(socket.ops, op, op->done, error);
        }
      }
    }
    op = next;
  }
  if (socket.selectEvent && !socket.connecting) {
    if ((socket.selected & FD_READ) && (ready & sys::kReadable) && !(socket.recorded & FD_READ))
      Record(socket, FD_READ_BIT, 0);
    if ((socket.selected & FD_CLOSE) && (ready & sys::kHangUp) && !(socket.recorded & FD_CLOSE))
      Record(socket, FD_CLOSE_BIT, 0);
    if ((socket.selected & FD_WRITE) && socket.connected && (ready & sys::kWritable) &&
        !(socket.recorded & FD_WRITE))
      Record(socket, FD_WRITE_BIT, 0);
  }
}

// What a wait on these events must poll for on this socket. Lock held.
short Interest(const SocketObject& socket, const std::vector<std::shared_ptr<EventObject>>& events,
               const LPWSAOVERLAPPED only) {
  auto waited = [&](const std::shared_ptr<EventObject>& event) {
    return event && std::find(events.begin(), events.end(), event) != events.end();
  };
  short interest = 0;
  bool receiveSeen = false;
  bool sendSeen = false;
  for (const PendingOp& op : socket.ops) {
    bool first = op.send ? !sendSeen : !receiveSeen;
    (op.send ? sendSeen : receiveSeen) = true;
    if (!first) continue;
    if (op.overlapped == only || waited(op.event)) interest |= op.send ? sys::kWritable : sys::kReadable;
  }
  if (waited(socket.selectEvent)) {
    if (socket.connecting && (socket.selected & FD_CONNECT)) interest |= sys::kWritable;
    if (!socket.connecting) {
      if (socket.selected & (FD_READ | FD_CLOSE)) interest |= sys::kReadable;
      if ((socket.selected & FD_WRITE) && socket.connected) interest |= sys::kWritable;
    }
  }
  return interest;
}

int RemainingMs(Clock::time_point deadline, bool forever) {
  if (forever) return kPollSliceMs;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<long long>(left, kPollSliceMs));
}

// One round of a wait: polls the descriptors that matter for the events (or
// for one overlapped operation) for up to sliceMs and drives them.
void PollRound(const std::vector<std::shared_ptr<EventObject>>& events, LPWSAOVERLAPPED only, int sliceMs,
               std::unique_lock<std::mutex>& lock) {
  std::vector<sys::PollItem> items;
  std::vector<SOCKET> owners;
  for (auto& [id, socket] : g_sockets) {
    short interest = Interest(*socket, events, only);
    if (!interest) continue;
    items.push_back({socket->fd, interest, 0});
    owners.push_back(id);
  }
  lock.unlock();
  sys::Poll(items.data(), items.size(), sliceMs);
  lock.lock();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].revents) continue;
    std::shared_ptr<SocketObject> socket = FindSocket(owners[i]);
    // The socket may have been closed (and its number reused) meanwhile.
    if (socket && socket->fd == items[i].fd) Drive(*socket, items[i].revents);
  }
}

bool Started() {
  if (g_startups > 0) return true;
  SetLastError(WSANOTINITIALISED);
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
USHORT htons(USHORT value) { return __builtin_bswap16(value); }
USHORT ntohs(USHORT value) { return __builtin_bswap16(value); }
ULONG htonl(ULONG value) { return __builtin_bswap32(value); }
ULONG ntohl(ULONG value) { return __builtin_bswap32(value); }

ULONG inet_addr(const char* text) {
  std::uint32_t address = 0;
  return sys::ParseDotted(text, &address) ? address : INADDR_NONE;
}

hostent* gethostbyname(const char* name) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!Started()) return nullptr;
  }
  constexpr int kMaxAddresses = 16;
  thread_local char t_name[256];
  thread_local std::uint32_t t_addresses[kMaxAddresses];
  thread_local char* t_list[kMaxAddresses + 1];
  thread_local char* t_aliases[1];
  thread_local hostent t_host;

  int count = 0;
  std::uint32_t dotted = 0;
  if (sys::ParseDotted(name, &dotted)) {
    t_addresses[0] = dotted;
    count = 1;
    std::strncpy(t_name, name, sizeof t_name - 1);
    t_name[sizeof t_name - 1] = '\0';
  } else {
    int error = 0;
    count = sys::ResolveIPv4(name, t_addresses, kMaxAddresses, t_name, sizeof t_name, &error);
    if (count < 0) {
      SetLastError(static_cast<DWORD>(error));
      return nullptr;
    }
  }
  for (int i = 0; i < count; ++i) t_list[i] = reinterpret_cast<char*>(&t_addresses[i]);
  t_list[count] = nullptr;
  t_aliases[0] = nullptr;
  t_host.h_name = t_name;
  t_host.h_aliases = t_aliases;
  t_host.h_addrtype = AF_INET;
  t_host.h_length = 4;
  t_host.h_addr_list = t_list;
  return &t_host;
}

// ---------------------------------------------------------------------------
int WSAStartup(WORD versionRequested, LPWSADATA data) {
  if (!data) return WSAEFAULT;
  BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
  BYTE minor = static_cast<BYTE>(versionRequested >> 8);
  std::memset(data, 0, sizeof *data);
  data->wHighVersion = MAKEWORD(2, 2);
  if (major < 1) {
    data->wVersion = MAKEWORD(2, 2);
    return WSAVERNOTSUPPORTED;
  }
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : versionRequested;
  std::strcpy(data->szDescription, "POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_startups;
  return 0;
}

int WSACleanup() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  if (--g_startups == 0) {
    for (auto& [id, socket] : g_sockets) {
      AbortAll(*socket);
      sys::Close(socket->fd);
    }
    g_sockets.clear();
  }
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

// ---------------------------------------------------------------------------
SOCKET WSASocketA(int family, int type, int protocol, WSAPROTOCOL_INFOA* info, GROUP group, DWORD flags) {
  (void)flags;
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return INVALID_SOCKET;
  if (info || group) return Fail(WSAEINVAL), INVALID_SOCKET;
  if (family != AF_INET) return Fail(WSAEAFNOSUPPORT), INVALID_SOCKET;
  if (type != SOCK_STREAM) return Fail(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
  if (protocol != 0 && protocol != IPPROTO_TCP) return Fail(WSAEPROTONOSUPPORT), INVALID_SOCKET;
  int error = 0;
  int fd = sys::OpenStreamSocket(&error);
  if (fd < 0) return Fail(error), INVALID_SOCKET;
  auto socket = std::make_shared<SocketObject>();
  socket->fd = fd;
  while (g_sockets.count(g_nextSocket) || g_nextSocket == INVALID_SOCKET || g_nextSocket < 0x100)
    g_nextSocket = g_nextSocket < 0x100 ? 0x100 : g_nextSocket + 1;
  SOCKET id = g_nextSocket++;
  g_sockets[id] = socket;
  return id;
}

int WSAConnect(SOCKET s, const sockaddr* name, int nameLength, LPWSABUF callerData, LPWSABUF calleeData,
               QOS* socketQos, QOS* groupQos) {
  std::shared_ptr<SocketObject> socket;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!Started()) return SOCKET_ERROR;
    socket = FindSocket(s);
    if (!socket) return Fail(WSAENOTSOCK);
    if (!name || nameLength < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    if (callerData || calleeData || socketQos || groupQos) return Fail(WSAEOPNOTSUPP);
    if (name->sa_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
    if (socket->connecting) return Fail(WSAEALREADY);
    if (socket->connected) return Fail(WSAEISCONN);
  }
  const auto* target = reinterpret_cast<const sockaddr_in*>(name);
  int error = 0;
  // A blocking connect waits outside the lock.
  int result = sys::ConnectIPv4(socket->fd, target->sin_addr.s_addr, target->sin_port, &error);
  std::lock_guard<std::mutex> guard(g_lock);
  if (result == 0) {
    socket->connected = true;
    if (socket->selected & FD_CONNECT) Record(*socket, FD_CONNECT_BIT, 0);
    return 0;
  }
  if (error == WSAEWOULDBLOCK && socket->nonBlocking) socket->connecting = true;
  return Fail(error);
}

int ioctlsocket(SOCKET s, long command, ULONG* argument) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (command != FIONBIO) return Fail(WSAEINVAL);
  if (!argument) return Fail(WSAEFAULT);
  bool nonBlocking = *argument != 0;
  // A socket under event selection cannot go back to blocking.
  if (!nonBlocking && socket->selectEvent) return Fail(WSAEINVAL);
  int error = 0;
  if (sys::SetNonBlocking(socket->fd, nonBlocking, &error) < 0) return Fail(error);
  socket->nonBlocking = nonBlocking;
  return 0;
}

int shutdown(SOCKET s, int how) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
  int error = 0;
  if (sys::Shutdown(socket->fd, how, &error) < 0) return Fail(error);
  return 0;
}

int closesocket(SOCKET s) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  AbortAll(*socket);
  g_sockets.erase(s);
  sys::Close(socket->fd);
  socket->fd = -1;
  return 0;
}

// ---------------------------------------------------------------------------
WSAEVENT WSACreateEvent() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return WSA_INVALID_EVENT;
  return mvn::HandleInsert(std::make_shared<EventObject>());
}

BOOL WSACloseEvent(WSAEVENT event) {
  if (!FindEvent(event)) return Fail(WSA_INVALID_HANDLE), FALSE;
  return CloseHandle(event);
}

namespace {

BOOL SignalEvent(WSAEVENT event, bool signalled) {
  std::shared_ptr<EventObject> object = FindEvent(event);
  if (!object) return Fail(WSA_INVALID_HANDLE), FALSE;
  std::lock_guard<std::mutex> guard(g_lock);
  object->signalled = signalled;
  return TRUE;
}

}  // namespace

BOOL WSASetEvent(WSAEVENT event) { return SignalEvent(event, true); }

BOOL WSAResetEvent(WSAEVENT event) { return SignalEvent(event, false); }

int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents) {
  std::shared_ptr<EventObject> object = FindEvent(event);
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (!event && networkEvents == 0) {
    socket->selectEvent.reset();
    socket->selected = 0;
    socket->recorded = 0;
    return 0;
  }
  if (!object) return Fail(WSA_INVALID_HANDLE);
  int error = 0;
  if (sys::SetNonBlocking(socket->fd, true, &error) < 0) return Fail(error);
  socket->nonBlocking = true;
  socket->selectEvent = object;
  socket->selected = networkEvents;
  socket->recorded = 0;
  return 0;
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents) {
  std::shared_ptr<EventObject> object = FindEvent(event);
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (!networkEvents) return Fail(WSAEFAULT);
  if (event && !object) return Fail(WSA_INVALID_HANDLE);
  networkEvents->lNetworkEvents = socket->recorded;
  for (int i = 0; i < FD_MAX_EVENTS; ++i) networkEvents->iErrorCode[i] = socket->errors[i];
  socket->recorded = 0;
  std::memset(socket->errors, 0, sizeof socket->errors);
  if (object) object->signalled = false;
  return 0;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD timeout, BOOL alertable) {
  (void)alertable;
  std::vector<std::shared_ptr<EventObject>> objects;
  if (count == 0 || count > WSA_MAXIMUM_WAIT_EVENTS || !events) return Fail(WSA_INVALID_PARAMETER), WSA_WAIT_FAILED;
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<EventObject> object = FindEvent(events[i]);
    if (!object) return Fail(WSA_INVALID_HANDLE), WSA_WAIT_FAILED;
    objects.push_back(object);
  }
  bool forever = timeout == WSA_INFINITE;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
  std::unique_lock<std::mutex> lock(g_lock);
  if (!Started()) return WSA_WAIT_FAILED;
  bool first = true;
  for (;;) {
    if (waitAll) {
      if (std::all_of(objects.begin(), objects.end(), [](auto& o) { return o->signalled; })) return WSA_WAIT_EVENT_0;
    } else {
      for (DWORD i = 0; i < count; ++i)
        if (objects[i]->signalled) return WSA_WAIT_EVENT_0 + i;
    }
    int slice = RemainingMs(deadline, forever);
    if (slice == 0 && !first) return WSA_WAIT_TIMEOUT;
    first = false;
    PollRound(objects, nullptr, slice, lock);
  }
}

namespace {

// Shared body of WSARecv and WSASend.
int StartTransfer(bool send, SOCKET s, LPWSABUF buffers, DWORD bufferCount, DWORD* transferred,
                  LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  std::unique_lock<std::mutex> lock(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (completion) return Fail(WSAEOPNOTSUPP);
  if (!buffers || bufferCount == 0) return Fail(WSAEFAULT);
  if (socket->connecting) return Fail(WSAEWOULDBLOCK);
  if (!socket->connected) return Fail(WSAENOTCONN);
  std::size_t total = 0;
  std::vector<sys::IoPiece> pieces = PiecesFrom(buffers, bufferCount, &total);

  if (!overlapped) {
    // Plain call: a blocking socket waits until it can move something (a
    // send until everything is out).
    std::size_t done = 0;
    for (;;) {
      int error = 0;
      std::vector<sys::IoPiece> rest = Remaining(pieces, done);
      long n = send ? sys::SendNow(socket->fd, rest.data(), rest.size(), &error)
                    : sys::ReceiveNow(socket->fd, rest.data(), rest.size(), &error);
      if (n >= 0) {
        done += static_cast<std::size_t>(n);
        if (!send || done >= total) {
          if (transferred) *transferred = static_cast<DWORD>(done);
          return 0;
        }
        continue;
      }
      if (error != WSAEWOULDBLOCK) return Fail(error);
      if (socket->nonBlocking) {
        if (done && transferred) *transferred = static_cast<DWORD>(done);
        return done ? 0 : Fail(WSAEWOULDBLOCK);
      }
      sys::PollItem item{socket->fd, send ? sys::kWritable : sys::kReadable, 0};
      int fd = socket->fd;
      lock.unlock();
      sys::Poll(&item, 1, -1);
      lock.lock();
      if (FindSocket(s) != socket || socket->fd != fd) return Fail(WSAEINTR);
    }
  }

  std::shared_ptr<EventObject> event = FindEvent(overlapped->hEvent);
  if (event) event->signalled = false;
  PendingOp op;
  op.send = send;
  op.overlapped = overlapped;
  op.pieces = pieces;
  op.total = total;
  op.event = event;
  overlapped->Internal = WSA_IO_PENDING;
  overlapped->InternalHigh = 0;
  bool queued = std::any_of(socket->ops.begin(), socket->ops.end(), [&](const PendingOp& o) { return o.send == send; });
  if (!queued) {
    // Try at once; what cannot move now stays pending.
    int error = 0;
    long n = send ? sys::SendNow(socket->fd, pieces.data(), pieces.size(), &error)
                  : sys::ReceiveNow(socket->fd, pieces.data(), pieces.size(), &error);
    if (n >= 0) {
      op.done = static_cast<std::size_t>(n);
      if (!send || op.done >= total) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = op.done;
        Signal(event);
        if (transferred) *transferred = static_cast<DWORD>(op.done);
        return 0;
      }
    } else if (error != WSAEWOULDBLOCK) {
      overlapped->Internal = static_cast<ULONG_PTR>(error);
      Signal(event);
      return Fail(error);
    }
  }
  socket->ops.push_back(std::move(op));
  return Fail(WSA_IO_PENDING);
}

}  // namespace

int WSARecv(SOCKET s, LPWSABUF buffers, DWORD bufferCount, DWORD* received, DWORD* flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  if (flags && *flags != 0) return Fail(WSAEOPNOTSUPP);
  return StartTransfer(false, s, buffers, bufferCount, received, overlapped, completion);
}

int WSASend(SOCKET s, LPWSABUF buffers, DWORD bufferCount, DWORD* sent, DWORD flags, LPWSAOVERLAPPED overlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  return StartTransfer(true, s, buffers, bufferCount, sent, overlapped, completion);
}

BOOL WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, DWORD* transferred, BOOL wait, DWORD* flags) {
  std::unique_lock<std::mutex> lock(g_lock);
  if (!Started()) return FALSE;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK), FALSE;
  if (!overlapped || !transferred) return Fail(WSAEFAULT), FALSE;
  while (overlapped->Internal == WSA_IO_PENDING) {
    bool pending = std::any_of(socket->ops.begin(), socket->ops.end(),
                               [&](const PendingOp& o) { return o.overlapped == overlapped; });
    if (!pending) return Fail(WSAEINVAL), FALSE;
    if (!wait) return Fail(WSA_IO_INCOMPLETE), FALSE;
    PollRound({}, overlapped, kPollSliceMs, lock);
    if (FindSocket(s) != socket) break;
  }
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (flags) *flags = 0;
  if (overlapped->Internal == 0) return TRUE;
  return Fail(static_cast<int>(overlapped->Internal)), FALSE;
}

BOOL CancelIoEx(SOCKET s, LPWSAOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return FALSE;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSA_INVALID_HANDLE), FALSE;
  bool cancelled = false;
  for (auto op = socket->ops.begin(); op != socket->ops.end();) {
    auto next = std::next(op);
    if (!overlapped || op->overlapped == overlapped) {
      Complete(socket->ops, op, op->done, WSA_OPERATION_ABORTED);
      cancelled = true;
    }
    op = next;
  }
  if (!cancelled) SetLastError(kErrorNotFound);
  return cancelled ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Winsock 1.1 calls
SOCKET socket(int family, int type, int protocol) { return WSASocketA(family, type, protocol, nullptr, 0, 0); }

int connect(SOCKET s, const sockaddr* name, int nameLength) {
  return WSAConnect(s, name, nameLength, nullptr, nullptr, nullptr, nullptr);
}

namespace {

// send and recv: one move of what can move now; a blocking socket first
// waits until something can move.
int MoveOnce(bool sending, SOCKET s, char* data, int length, bool peek) {
  std::unique_lock<std::mutex> lock(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (!data || length < 0) return Fail(WSAEFAULT);
  if (socket->connecting) return Fail(WSAEWOULDBLOCK);
  if (!socket->connected) return Fail(WSAENOTCONN);
  for (;;) {
    int error = 0;
    long n;
    if (sending) {
      sys::IoPiece piece{data, static_cast<std::size_t>(length)};
      n = sys::SendNow(socket->fd, &piece, 1, &error);
    } else {
      n = sys::ReceiveOnce(socket->fd, data, static_cast<std::size_t>(length), peek, &error);
    }
    if (n >= 0) return static_cast<int>(n);
    if (error != WSAEWOULDBLOCK || socket->nonBlocking) return Fail(error);
    sys::PollItem item{socket->fd, sending ? sys::kWritable : sys::kReadable, 0};
    int fd = socket->fd;
    lock.unlock();
    sys::Poll(&item, 1, -1);
    lock.lock();
    if (FindSocket(s) != socket || socket->fd != fd) return Fail(WSAEINTR);
  }
}

}  // namespace

int send(SOCKET s, const char* data, int length, int flags) {
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  return MoveOnce(true, s, const_cast<char*>(data), length, false);
}

int recv(SOCKET s, char* data, int length, int flags) {
  if (flags != 0 && flags != MSG_PEEK) return Fail(WSAEOPNOTSUPP);
  return MoveOnce(false, s, data, length, flags == MSG_PEEK);
}

int WsaSelect(int, WSAFDSET* readSet, WSAFDSET* writeSet, WSAFDSET* errorSet, const WSATIMEVAL* timeout) {
  struct Entry {
    SOCKET id;
    std::shared_ptr<SocketObject> socket;
    bool read = false, write = false, error = false;
  };
  std::unique_lock<std::mutex> lock(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::vector<Entry> entries;
  auto gather = [&](WSAFDSET* set, bool Entry::*which) -> bool {
    if (!set) return true;
    for (unsigned i = 0; i < set->fd_count && i < WSA_FD_SETSIZE; ++i) {
      std::shared_ptr<SocketObject> socket = FindSocket(set->fd_array[i]);
      if (!socket) return false;
      auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == set->fd_array[i]; });
      if (it == entries.end()) it = entries.insert(entries.end(), Entry{set->fd_array[i], socket});
      (*it).*which = true;
    }
    return true;
  };
  if (!gather(readSet, &Entry::read) || !gather(writeSet, &Entry::write) || !gather(errorSet, &Entry::error))
    return Fail(WSAENOTSOCK);
  if (entries.empty()) return Fail(WSAEINVAL);
  int timeoutMs = -1;
  if (timeout) {
    long long ms = static_cast<long long>(timeout->tv_sec) * 1000 + timeout->tv_usec / 1000;
    timeoutMs = ms < 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
  }
  std::vector<sys::PollItem> items;
  for (const Entry& entry : entries) {
    short events = 0;
    if (entry.read) events |= sys::kReadable;
    if (entry.write || (entry.error && entry.socket->connecting)) events |= sys::kWritable;
    items.push_back({entry.socket->fd, events, 0});
  }
  lock.unlock();
  sys::Poll(items.data(), items.size(), timeoutMs);
  lock.lock();
  if (readSet) WsaFdZero(readSet);
  if (writeSet) WsaFdZero(writeSet);
  if (errorSet) WsaFdZero(errorSet);
  int ready = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Entry& entry = entries[i];
    SocketObject& socket = *entry.socket;
    // Closed meanwhile: never ready.
    if (FindSocket(entry.id) != entry.socket || socket.fd != items[i].fd) continue;
    short revents = items[i].revents;
    if (socket.connecting && (revents & (sys::kWritable | sys::kHangUp))) Drive(socket, revents);
    bool counted = false;
    auto mark = [&](WSAFDSET* set) {
      WsaFdSet(entry.id, set);
      if (!counted) ++ready;
      counted = true;
    };
    if (entry.read && !socket.connecting && (revents & (sys::kReadable | sys::kHangUp))) mark(readSet);
    if (entry.write && socket.connected && (revents & sys::kWritable)) mark(writeSet);
    if (entry.error && ((!socket.connecting && !socket.connected && socket.connectError) || (revents & sys::kError)))
      mark(errorSet);
  }
  return ready;
}

int setsockopt(SOCKET s, int level, int name, const char* value, int length) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (level != SOL_SOCKET || name != SO_LINGER) return Fail(WSAENOPROTOOPT);
  if (!value || length < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
  linger option;
  std::memcpy(&option, value, sizeof option);
  int error = 0;
  if (sys::SetLinger(socket->fd, option.l_onoff != 0, option.l_linger, &error) < 0) return Fail(error);
  return 0;
}

int getsockopt(SOCKET s, int level, int name, char* value, int* length) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (level != SOL_SOCKET || name != SO_ERROR) return Fail(WSAENOPROTOOPT);
  if (!value || !length || *length < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
  // A failed attempt's outcome was taken from the system when it ended.
  int error = socket->connectError ? socket->connectError : sys::ConnectResult(socket->fd);
  std::memcpy(value, &error, sizeof error);
  *length = sizeof error;
  return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* nameLength) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!Started()) return SOCKET_ERROR;
  std::shared_ptr<SocketObject> socket = FindSocket(s);
  if (!socket) return Fail(WSAENOTSOCK);
  if (!name || !nameLength || *nameLength < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
  if (!socket->connected) return Fail(WSAEINVAL);
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  int error = 0;
  if (sys::LocalAddress(socket->fd, &address, &port, &error) < 0) return Fail(error);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = address;
  std::memcpy(name, &local, sizeof local);
  *nameLength = sizeof local;
  return 0;
}

int gethostname(char* name, int length) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!Started()) return SOCKET_ERROR;
  }
  if (!name || length <= 0) return Fail(WSAEFAULT);
  int error = 0;
  if (sys::HostName(name, static_cast<std::size_t>(length), &error) < 0) return Fail(error);
  return 0;
}

BOOL WSAIsBlocking() { return FALSE; }
