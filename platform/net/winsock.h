// Winsock-2-shaped TCP client sockets implemented on POSIX sockets.
//
// Only the calls the system makes are here: start-up and clean-up, socket
// creation, blocking and non-blocking connect, event objects with event
// selection, overlapped receive and send completed through event waits,
// cancellation, shutdown and close, dotted addresses, name look-up and the
// byte-order helpers. See docs/platform-net.md.
//
// Conventions:
//   - SOCKET values are entries of this layer's socket table (never file
//     descriptors); closesocket of a value not in the table fails with
//     WSAENOTSOCK.
//   - WSAGetLastError/WSASetLastError are the thread's last error of the
//     kernel layer (as on Win32); the codes are the Winsock numbers, made
//     from errno and resolver errors by explicit tables (WsaErrorFromErrno,
//     WsaErrorFromResolver).
//   - Overlapped operations are modelled on poll(): an operation that
//     cannot complete at once stays pending and makes progress only while a
//     thread waits on its event (WSAWaitForMultipleEvents, or
//     WSAGetOverlappedResult with wait). An overlapped send completes when
//     all its bytes are out. Nothing is ever written into a caller's buffer
//     after the operation was cancelled or its socket closed.
//   - Sends use MSG_NOSIGNAL: a peer that has gone away gives an error,
//     never SIGPIPE.
//
// The structure and function names are those of Winsock, several of which
// (sockaddr_in, htons, inet_addr, gethostbyname, shutdown, ...) are also
// POSIX names with other types: never include this header in a translation
// unit that includes the system's socket headers.
#pragma once

#include <cstdint>

#include "platform/kernel/win32.h"

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;
using USHORT = std::uint16_t;
using GROUP = unsigned int;
using WSAEVENT = HANDLE;
#define WSA_INVALID_EVENT (static_cast<WSAEVENT>(nullptr))

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

// ---------------------------------------------------------------------------
// Winsock error numbers (the rows of the Winsock 2 documentation the
// system's error table names).
constexpr int WSA_INVALID_HANDLE = 6;
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSA_INVALID_PARAMETER = 87;
constexpr int WSA_OPERATION_ABORTED = 995;
constexpr int WSA_IO_INCOMPLETE = 996;
constexpr int WSA_IO_PENDING = 997;
constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAEDISCON = 10101;
constexpr int WSASYSCALLFAILURE = 10107;
constexpr int WSATYPE_NOT_FOUND = 10109;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The Winsock number for an errno value of a socket call; WSASYSCALLFAILURE
// for a value the table does not know.
int WsaErrorFromErrno(int err);
// The Winsock number for a getaddrinfo result (EAI_...); EAI_SYSTEM takes
// the errno value given.
int WsaErrorFromResolver(int eaiCode, int err);

// ---------------------------------------------------------------------------
// Addresses
constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr ULONG INADDR_ANY = 0x00000000u;
constexpr ULONG INADDR_NONE = 0xFFFFFFFFu;

struct in_addr {
  ULONG s_addr;  // network byte order
};
struct sockaddr {
  USHORT sa_family;
  char sa_data[14];
};
struct sockaddr_in {
  short sin_family;
  USHORT sin_port;  // network byte order
  in_addr sin_addr;
  char sin_zero[8];
};
struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;  // h_length-byte addresses in network order, nullptr-terminated
};
using IN_ADDR = in_addr;
using SOCKADDR = sockaddr;
using SOCKADDR_IN = sockaddr_in;
using HOSTENT = hostent;
using LPHOSTENT = hostent*;

USHORT htons(USHORT value);
USHORT ntohs(USHORT value);
ULONG htonl(ULONG value);
ULONG ntohl(ULONG value);
// "a.b.c.d" (each part 0-255) in network order; INADDR_NONE for anything
// else (so "255.255.255.255" cannot be told from a failure, as on Winsock).
ULONG inet_addr(const char* text);
// IPv4 look-up (dotted addresses too). The result lives in storage of the
// calling thread until its next call. nullptr on failure, with
// WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY or WSANO_DATA.
hostent* gethostbyname(const char* name);

// ---------------------------------------------------------------------------
// Start-up and errors
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

// Counts start-ups; every call below except the byte-order helpers,
// inet_addr and the last-error calls fails with WSANOTINITIALISED while the
// count is 0. Versions 1.0 to 2.2 are accepted (WSAVERNOTSUPPORTED below
// 1.0). The last WSACleanup closes the sockets still open.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// ---------------------------------------------------------------------------
// Sockets
constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
constexpr long FIONBIO = static_cast<long>(0x8004667Eu);

struct WSAPROTOCOL_INFOA;  // not supported: pass nullptr
struct QOS;                // not supported: pass nullptr

struct WSABUF {
  ULONG len;
  char* buf;
};
using LPWSABUF = WSABUF*;

// Stream sockets of family AF_INET only (protocol 0 or IPPROTO_TCP). Every
// socket can carry overlapped operations; the flag is accepted and kept.
SOCKET WSASocketA(int family, int type, int protocol, WSAPROTOCOL_INFOA* info, GROUP group, DWORD flags);
// A blocking socket waits for the connection (as long as the system takes);
// a non-blocking one fails with WSAEWOULDBLOCK and the outcome arrives as
// FD_CONNECT of WSAEventSelect. Caller and callee data and QOS: nullptr.
int WSAConnect(SOCKET s, const sockaddr* name, int nameLength, LPWSABUF callerData, LPWSABUF calleeData,
               QOS* socketQos, QOS* groupQos);
// FIONBIO only.
int ioctlsocket(SOCKET s, long command, ULONG* argument);
int shutdown(SOCKET s, int how);
// Cancels the socket's pending operations (their results become
// WSA_OPERATION_ABORTED and their events are set) and closes it.
int closesocket(SOCKET s);

// ---------------------------------------------------------------------------
// Events, event selection and overlapped operations
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS {
  long lNetworkEvents;
  int iErrorCode[FD_MAX_EVENTS];
};
using LPWSANETWORKEVENTS = WSANETWORKEVENTS*;

// Internal holds WSA_IO_PENDING while the operation runs, then 0 or the
// Winsock error; InternalHigh the bytes transferred.
struct WSAOVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  WSAEVENT hEvent;
};
using LPWSAOVERLAPPED = WSAOVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD transferred, LPWSAOVERLAPPED overlapped,
                                                    DWORD flags);

constexpr DWORD WSA_WAIT_EVENT_0 = 0;
constexpr DWORD WSA_WAIT_TIMEOUT = 258;
constexpr DWORD WSA_WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD WSA_INFINITE = 0xFFFFFFFFu;
constexpr DWORD WSA_MAXIMUM_WAIT_EVENTS = 64;

// Manual-reset events, not signalled at first; entries of the kernel's
// handle table (CloseHandle works too).
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT event);
BOOL WSASetEvent(WSAEVENT event);
BOOL WSAResetEvent(WSAEVENT event);
// Associates the socket with the event for the network events named
// (FD_READ, FD_WRITE, FD_CONNECT, FD_CLOSE) and makes it non-blocking; an
// event of nullptr with 0 ends the association (the socket stays
// non-blocking). The event is set when one of them has occurred.
int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents);
// Reports and clears the recorded network events; resets the event when given.
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents);
// Waits until one event (or, with waitAll, every event) is set, driving the
// pending operations and selections tied to the events meanwhile. Gives
// WSA_WAIT_EVENT_0 + index, WSA_WAIT_TIMEOUT or WSA_WAIT_FAILED. alertable
// is ignored.
DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD timeout,
                               BOOL alertable);
// With overlapped: completes at once when it can (0, the event set),
// otherwise SOCKET_ERROR with WSA_IO_PENDING. Without: a blocking socket
// waits, a non-blocking one fails with WSAEWOULDBLOCK. A receive completes
// with the bytes available (0 at the end of the stream). Flags: 0 only.
// Completion routines are not supported (must be nullptr).
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD bufferCount, DWORD* received, DWORD* flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
int WSASend(SOCKET s, LPWSABUF buffers, DWORD bufferCount, DWORD* sent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
// The outcome of an overlapped operation; a pending one gives FALSE with
// WSA_IO_INCOMPLETE unless wait is TRUE.
BOOL WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, DWORD* transferred, BOOL wait, DWORD* flags);
// Cancels the socket's pending operation of that overlapped structure (every
// pending one with nullptr): its result becomes WSA_OPERATION_ABORTED and
// its event is set. FALSE when none was pending.
BOOL CancelIoEx(SOCKET s, LPWSAOVERLAPPED overlapped);

// ---------------------------------------------------------------------------
// Winsock 1.1 calls: plain sockets, readiness sets and socket options.
//
// select and its fd_set, FD_SETSIZE and timeval are also names of the C
// library's <sys/select.h>, which every translation unit meets through
// <cstdlib>; they are offered here as WSAFDSET, WSA_FD_SETSIZE, WSATIMEVAL
// and WsaSelect. The sets hold SOCKET values (never descriptors), so any
// descriptor number works: the layer polls with poll(), not select().
constexpr int MSG_PEEK = 0x2;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_ERROR = 0x1007;
constexpr unsigned WSA_FD_SETSIZE = 64;

struct linger {
  USHORT l_onoff;
  USHORT l_linger;  // seconds
};
struct WSAFDSET {
  unsigned fd_count;
  SOCKET fd_array[WSA_FD_SETSIZE];
};
struct WSATIMEVAL {
  long tv_sec;
  long tv_usec;
};
inline void WsaFdZero(WSAFDSET* set) { set->fd_count = 0; }
inline void WsaFdSet(SOCKET s, WSAFDSET* set) {
  for (unsigned i = 0; i < set->fd_count; ++i)
    if (set->fd_array[i] == s) return;
  if (set->fd_count < WSA_FD_SETSIZE) set->fd_array[set->fd_count++] = s;
}
inline bool WsaFdIsSet(SOCKET s, const WSAFDSET* set) {
  for (unsigned i = 0; i < set->fd_count; ++i)
    if (set->fd_array[i] == s) return true;
  return false;
}

// WSASocketA without protocol information, group or flags.
SOCKET socket(int family, int type, int protocol);
// WSAConnect without caller data and QOS.
int connect(SOCKET s, const sockaddr* name, int nameLength);
// A blocking socket waits until it can move something, then moves what it
// can now: a send may send fewer bytes than asked (the caller sends the
// rest). A non-blocking socket fails with WSAEWOULDBLOCK instead of
// waiting. Sends never raise SIGPIPE. Flags: send 0; recv 0 or MSG_PEEK.
// recv gives 0 when the peer has closed its side.
int send(SOCKET s, const char* data, int length, int flags);
int recv(SOCKET s, char* data, int length, int flags);
// Leaves in each set the sockets that are ready: readable (data, or the
// peer closed), writable (connected and room to send), error condition (a
// connection attempt that failed, or an error pending on the socket). A
// socket still connecting is neither readable nor writable. timeout
// nullptr waits without limit; {0, 0} tests once. Gives the number of
// sockets left in the sets, 0 on time-out. The first argument is ignored.
int WsaSelect(int ignored, WSAFDSET* readSet, WSAFDSET* writeSet, WSAFDSET* errorSet, const WSATIMEVAL* timeout);
// SOL_SOCKET with SO_LINGER only.
int setsockopt(SOCKET s, int level, int name, const char* value, int length);
// SOL_SOCKET with SO_ERROR only: the Winsock error of the socket's
// connection attempt (an int, 0 when none), as the system keeps it.
int getsockopt(SOCKET s, int level, int name, char* value, int* length);
// The local address of a connected socket.
int getsockname(SOCKET s, sockaddr* name, int* nameLength);
// The machine's host name; WSAEFAULT when it does not fit.
int gethostname(char* name, int length);
// No blocking call of this layer can be interrupted by another on the same
// thread, so this is always FALSE.
BOOL WSAIsBlocking();
