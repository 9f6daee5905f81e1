// The POSIX side of the socket layer, with plain types only, so that the
// Winsock-shaped side never meets the system's socket headers.
//
// Every call returns -1 on failure with the Winsock number in *wsaError
// (made from errno through WsaErrorFromErrno).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mvn::sysnet {

struct IoPiece {
  char* data;
  std::size_t length;
};

// A close-on-exec IPv4 stream socket.
int OpenStreamSocket(int* wsaError);
int SetNonBlocking(int fd, bool nonBlocking, int* wsaError);
// address and port in network byte order. A non-blocking connect that is
// under way gives -1 with WSAEWOULDBLOCK.
int ConnectIPv4(int fd, std::uint32_t address, std::uint16_t port, int* wsaError);
// The pending error of a connect that has finished (SO_ERROR), as a Winsock
// number (0 when it connected).
int ConnectResult(int fd);
// One scatter receive or gather send that never blocks; gives the bytes
// moved or -1 (WSAEWOULDBLOCK when nothing can move now). Sends never raise
// SIGPIPE.
long ReceiveNow(int fd, const IoPiece* pieces, std::size_t count, int* wsaError);
long SendNow(int fd, const IoPiece* pieces, std::size_t count, int* wsaError);
// One receive that never blocks; with peek the bytes stay queued.
long ReceiveOnce(int fd, char* data, std::size_t length, bool peek, int* wsaError);
// SO_LINGER on or off with a time-out in seconds.
int SetLinger(int fd, bool on, int seconds, int* wsaError);
// The socket's local IPv4 address and port, both in network order.
int LocalAddress(int fd, std::uint32_t* address, std::uint16_t* port, int* wsaError);
// The machine's host name, terminated; -1 when it does not fit.
int HostName(char* buffer, std::size_t size, int* wsaError);
int Shutdown(int fd, int how, int* wsaError);
void Close(int fd);

// poll() on a set of descriptors. events/revents use these bits.
constexpr short kReadable = 0x1;
constexpr short kWritable = 0x2;
constexpr short kHangUp = 0x4;  // hang-up or error
constexpr short kError = 0x8;   // an error is pending on the socket (POLLERR)
struct PollItem {
  int fd;
  short events;
  short revents;
};
// Waits up to timeoutMs (-1: no limit); gives the number of ready items, 0
// on time-out, -1 on failure.
int Poll(PollItem* items, std::size_t count, int timeoutMs);

// Dotted IPv4 text in network order; false when it is not one.
bool ParseDotted(const char* text, std::uint32_t* address);
// IPv4 look-up: up to maxAddresses addresses (network order) and the
// canonical name. Gives the number of addresses, or -1 with the Winsock
// number in *wsaError.
int ResolveIPv4(const char* name, std::uint32_t* addresses, int maxAddresses, char* canonical,
                std::size_t canonicalSize, int* wsaError);

}  // namespace mvn::sysnet
