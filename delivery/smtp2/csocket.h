// The TCP client socket of dlvsmtp2: name resolution, connect, and one
// receive or one send at a time, each bounded by a time-out, on overlapped
// sockets with event objects. Every Winsock failure is raised as the
// notification NOTFIY_WINSOCKERROR (source "SockErr") with the call's name
// and the error's name and text from the Winsock error table.
#pragma once

#include "lib/notify.h"
#include "platform/net/winsock.h"

// The one row of source "SockErr" (the name is spelt so in the system).
constexpr DWORD NOTFIY_WINSOCKERROR = 0x10801;

// A row of the Winsock error table.
struct WINSOCKERROR {
  LONG code;
  const char* name;
  const char* text;  // ends in ". "
};

// The row of a code; {0, "UNKNOWN", "Unknown error!"} when the table has
// none. The table is sorted by code on first use.
void WinsockErrorLookup(WINSOCKERROR* row, LONG code);
// The number of rows (50).
DWORD WinsockErrorCount();

// Raises NOTFIY_WINSOCKERROR for the thread's current Winsock error with the
// call's name, then clears the error. The operation is not reported.
void SocketError(const char* operation, const char* callName);
// The last failure SocketError raised, as "<call>: <text> (<name>)"; false
// (and *text empty) when none was raised since ClearSocketFailure.
bool DescribeSocketFailure(CTEXT* text);
void ClearSocketFailure();

// A dotted address, else the first address of the host name. A failed
// look-up is reported ("gethostbyname") and leaves INADDR_NONE. Always true.
bool GetINETAddress(const char* host, ULONG* address);

// The registered source "SockErr".
CNOTIFYSOURCE* SockErrSource();

class CSOCKET {
 public:
  CSOCKET();
  ~CSOCKET();  // Close
  CSOCKET(const CSOCKET&) = delete;
  CSOCKET& operator=(const CSOCKET&) = delete;

  // When open: shutdown (both directions), closesocket. Returns the last
  // call's result.
  int Close();
  void SetTimeout(DWORD milliseconds) { m_timeout = milliseconds; }
  // Stores the flag and, when a socket exists, switches it (FIONBIO with
  // the opposite value); true when that succeeded or no socket exists.
  bool SetBlocking(bool blocking);
  // address and port: address in network order (INADDR_NONE fails), port
  // in host order.
  bool Connect(ULONG address, USHORT port);
  // One receive: true when at least one byte arrived within the time-out.
  bool GetData(void* buffer, DWORD length, DWORD* received);
  // Whether the last receive ended because the peer closed the connection
  // (it completed without error and without a byte), not by a time-out or
  // a failure.
  bool PeerClosed() const { return m_peerClosed; }
  // One send: true when at least one byte went out within the time-out; the
  // caller compares the count with the length.
  bool PutData(const void* buffer, DWORD length, DWORD* sent);

  SOCKET m_socket;
  int m_type;
  int m_lastResult;
  bool m_blocking;
  DWORD m_timeout;

 private:
  bool m_peerClosed = false;
  bool Transfer(bool send, void* buffer, DWORD length, DWORD* count);
};
