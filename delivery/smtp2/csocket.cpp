// CSOCKET, the Winsock error table and the source "SockErr".
#include "delivery/smtp2/csocket.h"

#include <algorithm>
#include <cstring>

namespace {

NOTIFYDEF g_sockErrTable[] = {
    {NOTFIY_WINSOCKERROR, "NOTFIY_WINSOCKERROR", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};

// Kept in no particular order: sorted by code on first use.
WINSOCKERROR g_winsockErrors[] = {
    {WSAECONNREFUSED, "WSAECONNREFUSED", "Connection refused. "},
    {WSAETIMEDOUT, "WSAETIMEDOUT", "Connection timed out. "},
    {WSAHOST_NOT_FOUND, "WSAHOST_NOT_FOUND", "Host not found. "},
    {WSATRY_AGAIN, "WSATRY_AGAIN", "Nonauthoritative host not found. "},
    {WSANO_RECOVERY, "WSANO_RECOVERY", "This is a nonrecoverable error. "},
    {WSANO_DATA, "WSANO_DATA", "Valid name, no data record of requested type. "},
    {WSANOTINITIALISED, "WSANOTINITIALISED", "Successful WSAStartup not yet performed. "},
    {WSA_INVALID_HANDLE, "WSA_INVALID_HANDLE", "Specified event object handle is invalid. "},
    {WSA_NOT_ENOUGH_MEMORY, "WSA_NOT_ENOUGH_MEMORY", "Insufficient memory available. "},
    {WSA_INVALID_PARAMETER, "WSA_INVALID_PARAMETER", "One or more parameters are invalid. "},
    {WSA_OPERATION_ABORTED, "WSA_OPERATION_ABORTED", "Overlapped operation aborted. "},
    {WSA_IO_INCOMPLETE, "WSA_IO_INCOMPLETE", "Overlapped I/O event object not in signaled state. "},
    {WSA_IO_PENDING, "WSA_IO_PENDING", "Overlapped operations will complete later. "},
    {WSAEINTR, "WSAEINTR", "Interrupted function call. "},
    {WSAEACCES, "WSAEACCES", "Permission denied. "},
    {WSAEFAULT, "WSAEFAULT", "Bad address. "},
    {WSAEINVAL, "WSAEINVAL", "Invalid argument. "},
    {WSAEMFILE, "WSAEMFILE", "Too many open files. "},
    {WSAEWOULDBLOCK, "WSAEWOULDBLOCK", "Resource temporarily unavailable. "},
    {WSAEINPROGRESS, "WSAEINPROGRESS", "Operation now in progress. "},
    {WSAEALREADY, "WSAEALREADY", "Operation already in progress. "},
    {WSAENOTSOCK, "WSAENOTSOCK", "Socket operation on nonsocket. "},
    {WSAEDESTADDRREQ, "WSAEDESTADDRREQ", "Destination address required. "},
    {WSAEMSGSIZE, "WSAEMSGSIZE", "Message too long. "},
    {WSAEPROTOTYPE, "WSAEPROTOTYPE", "Protocol wrong type for socket. "},
    {WSAENOPROTOOPT, "WSAENOPROTOOPT", "Bad protocol option. "},
    {WSAEPROTONOSUPPORT, "WSAEPROTONOSUPPORT", "Protocol not supported. "},
    {WSAESOCKTNOSUPPORT, "WSAESOCKTNOSUPPORT", "Socket type not supported. "},
    {WSAEOPNOTSUPP, "WSAEOPNOTSUPP", "Operation not supported. "},
    {WSAEPFNOSUPPORT, "WSAEPFNOSUPPORT", "Protocol family not supported. "},
    {WSAEAFNOSUPPORT, "WSAEAFNOSUPPORT", "Address family not supported by protocol family. "},
    {WSAEADDRINUSE, "WSAEADDRINUSE", "Address already in use. "},
    {WSAEADDRNOTAVAIL, "WSAEADDRNOTAVAIL", "Cannot assign requested address. "},
    {WSAENETDOWN, "WSAENETDOWN", "Network is down. "},
    {WSAENETUNREACH, "WSAENETUNREACH", "Network is unreachable. "},
    {WSAENETRESET, "WSAENETRESET", "Network dropped connection on reset. "},
    {WSAECONNABORTED, "WSAECONNABORTED", "Software caused connection abort. "},
    {WSAECONNRESET, "WSAECONNRESET", "Connection reset by peer. "},
    {WSAENOBUFS, "WSAENOBUFS", "No buffer space available. "},
    {WSAEISCONN, "WSAEISCONN", "Socket is already connected. "},
    {WSAENOTCONN, "WSAENOTCONN", "Socket is not connected. "},
    {WSAESHUTDOWN, "WSAESHUTDOWN", "Cannot send after socket shutdown. "},
    {WSAEHOSTDOWN, "WSAEHOSTDOWN", "Host is down. "},
    {WSAEHOSTUNREACH, "WSAEHOSTUNREACH", "No route to host. "},
    {WSAEPROCLIM, "WSAEPROCLIM", "Too many processes. "},
    {WSASYSNOTREADY, "WSASYSNOTREADY", "Network subsystem is unavailable. "},
    {WSAVERNOTSUPPORTED, "WSAVERNOTSUPPORTED", "Winsock.dll version out of range. "},
    {WSAEDISCON, "WSAEDISCON", "Graceful shutdown in progress. "},
    {WSASYSCALLFAILURE, "WSASYSCALLFAILURE", "System call failure. "},
    {WSATYPE_NOT_FOUND, "WSATYPE_NOT_FOUND", "Class type not found. "},
};
constexpr DWORD kWinsockErrorCount = sizeof g_winsockErrors / sizeof g_winsockErrors[0];
static_assert(kWinsockErrorCount == 50, "the Winsock error table has 50 rows");

bool g_winsockErrorsSorted = false;

}  // namespace

MVN_STATIC_OBJECT(CNOTIFYSOURCE, g_sockErr, "SockErr", g_sockErrTable);

CNOTIFYSOURCE* SockErrSource() { return g_sockErr.Get(); }

DWORD WinsockErrorCount() { return kWinsockErrorCount; }

void WinsockErrorLookup(WINSOCKERROR* row, LONG code) {
  WINSOCKERROR* end = g_winsockErrors + kWinsockErrorCount;
  if (!g_winsockErrorsSorted) {
    std::sort(g_winsockErrors, end, [](const WINSOCKERROR& a, const WINSOCKERROR& b) { return a.code < b.code; });
    g_winsockErrorsSorted = true;
  }
  WINSOCKERROR* found =
      std::lower_bound(g_winsockErrors, end, code, [](const WINSOCKERROR& r, LONG c) { return r.code < c; });
  if (found != end && found->code == code)
    *row = *found;
  else
    *row = {0, "UNKNOWN", "Unknown error!"};
}

namespace {

// What the last raised failure was, for the module's failure text.
const char* g_failedCall = nullptr;
LONG g_failedCode = 0;

}  // namespace

void SocketError(const char* operation, const char* callName) {
  (void)operation;
  WINSOCKERROR row;
  g_failedCode = WSAGetLastError();
  g_failedCall = callName;
  WinsockErrorLookup(&row, g_failedCode);
  g_pXXHeap->Notify(NOTFIY_WINSOCKERROR, callName, row.name, row.text);
  WSASetLastError(0);
}

bool DescribeSocketFailure(CTEXT* text) {
  text->Empty();
  if (!g_failedCall) return false;
  WINSOCKERROR row;
  WinsockErrorLookup(&row, g_failedCode);
  text->Join2(g_failedCall, ": ");
  // The table's texts end in ". ".
  const char* message = row.text;
  DWORD length = static_cast<DWORD>(std::strlen(message));
  while (length > 0 && (message[length - 1] == ' ' || message[length - 1] == '.')) --length;
  CTEXT trimmed;
  trimmed.AssignN(message, length);
  text->Append(trimmed.Text());
  text->Append2(" (", row.name);
  text->Append(")");
  return true;
}

void ClearSocketFailure() {
  g_failedCall = nullptr;
  g_failedCode = 0;
}

bool GetINETAddress(const char* host, ULONG* address) {
  *address = inet_addr(host ? host : "");
  if (*address != INADDR_NONE) return true;
  hostent* entry = gethostbyname(host ? host : "");
  if (!entry || !entry->h_addr_list || !entry->h_addr_list[0]) {
    if (WSAGetLastError() == 0) WSASetLastError(WSANO_DATA);
    SocketError("GetINETAddress", "gethostbyname");
    *address = INADDR_NONE;
    return true;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
  // The bytes are in network order already; keep them in that order.
  ULONG value = 0;
  unsigned char* out = reinterpret_cast<unsigned char*>(&value);
  for (int i = 0; i < 4; ++i) out[i] = bytes[i];
  *address = value;
  return true;
}

CSOCKET::CSOCKET() : m_socket(INVALID_SOCKET), m_type(SOCK_STREAM), m_lastResult(0), m_blocking(false), m_timeout(12000) {}

CSOCKET::~CSOCKET() { Close(); }

int CSOCKET::Close() {
  if (m_socket != INVALID_SOCKET) {
    shutdown(m_socket, SD_BOTH);
    m_lastResult = closesocket(m_socket);
    m_socket = INVALID_SOCKET;
  }
  return m_lastResult;
}

bool CSOCKET::SetBlocking(bool blocking) {
  m_blocking = blocking;
  if (m_socket == INVALID_SOCKET) return true;
  ULONG nonBlocking = blocking ? 0 : 1;
  m_lastResult = ioctlsocket(m_socket, FIONBIO, &nonBlocking);
  return m_lastResult == 0;
}

bool CSOCKET::Connect(ULONG address, USHORT port) {
  m_socket = WSASocketA(AF_INET, m_type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (m_socket == INVALID_SOCKET) {
    SocketError("Connect", "WSASocket");
    return false;
  }
  if (address == INADDR_NONE) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  const sockaddr* name = reinterpret_cast<const sockaddr*>(&target);

  if (m_blocking) {
    m_lastResult = WSAConnect(m_socket, name, sizeof target, nullptr, nullptr, nullptr, nullptr);
    if (m_lastResult != 0) SocketError("Connect", "WSAConnect");
    return m_lastResult == 0;
  }

  SetBlocking(false);
  WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) {
    SocketError("Connect", "WSACreateEvent");
    return false;
  }
  WSAEventSelect(m_socket, event, FD_CONNECT);
  m_lastResult = WSAConnect(m_socket, name, sizeof target, nullptr, nullptr, nullptr, nullptr);
  if (m_lastResult != 0) {
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      if (WSAWaitForMultipleEvents(1, &event, FALSE, m_timeout, FALSE) == WSA_WAIT_EVENT_0) {
        // The event says the attempt has ended; whether it connected is in
        // its network events.
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(m_socket, event, &events) == 0 && (events.lNetworkEvents & FD_CONNECT)) {
          int error = events.iErrorCode[FD_CONNECT_BIT];
          if (error == 0) {
            m_lastResult = 0;
          } else {
            WSASetLastError(error);
            SocketError("Connect", "WSAConnect");
          }
        }
      } else {
        WSASetLastError(WSAETIMEDOUT);
        SocketError("Connect", "WSAConnect");
      }
    } else {
      SocketError("Connect", "WSAConnect");
    }
  }
  WSAEventSelect(m_socket, nullptr, 0);
  WSACloseEvent(event);
  return m_lastResult == 0;
}

bool CSOCKET::Transfer(bool send, void* buffer, DWORD length, DWORD* count) {
  *count = 0;
  WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) {
    SocketError(send ? "PutData" : "GetData", "WSACreateEvent");
    return false;
  }
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event;
  WSABUF piece{length, static_cast<char*>(buffer)};
  DWORD transferred = 0;
  DWORD flags = 0;
  m_lastResult = send ? WSASend(m_socket, &piece, 1, &transferred, 0, &overlapped, nullptr)
                      : WSARecv(m_socket, &piece, 1, &transferred, &flags, &overlapped, nullptr);
  bool pending = false;
  if (m_lastResult != 0) {
    if (WSAGetLastError() == WSA_IO_PENDING) {
      pending = true;
      WSAWaitForMultipleEvents(1, &event, FALSE, m_timeout, FALSE);
      if (WSAGetOverlappedResult(m_socket, &overlapped, &transferred, FALSE, &flags)) {
        m_lastResult = 0;
        pending = false;
      } else {
        pending = WSAGetLastError() == WSA_IO_INCOMPLETE;
        SocketError(send ? "PutData" : "GetData", "WSAGetOverlappedResult");
        transferred = 0;
      }
    } else {
      SocketError(send ? "PutData" : "GetData", send ? "WSASend" : "WSARecv");
      transferred = 0;
    }
  }
  // Never leave the buffer to an operation still under way.
  if (pending) CancelIoEx(m_socket, &overlapped);
  WSACloseEvent(event);
  if (!send) m_peerClosed = m_lastResult == 0 && transferred == 0;
  if (transferred == 0) return false;
  *count = transferred;
  return true;
}

bool CSOCKET::GetData(void* buffer, DWORD length, DWORD* received) { return Transfer(false, buffer, length, received); }

bool CSOCKET::PutData(const void* buffer, DWORD length, DWORD* sent) {
  return Transfer(true, const_cast<void*>(buffer), length, sent);
}
