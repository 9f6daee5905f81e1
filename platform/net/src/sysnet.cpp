// POSIX sockets and the resolver behind the Winsock-shaped calls.
#include "platform/net/src/sysnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

// Declared in platform/net/winsock.h, which cannot be included here.
int WsaErrorFromErrno(int err);
int WsaErrorFromResolver(int eaiCode, int err);

namespace mvn::sysnet {

namespace {
constexpr int kWouldBlock = 10035;  // WSAEWOULDBLOCK

int Fail(int* wsaError) {
  if (wsaError) *wsaError = WsaErrorFromErrno(errno);
  return -1;
}

std::vector<iovec> Pieces(const IoPiece* pieces, std::size_t count) {
  std::vector<iovec> vector(count);
  for (std::size_t i = 0; i < count; ++i) vector[i] = {pieces[i].data, pieces[i].length};
  return vector;
}
}  // namespace

int OpenStreamSocket(int* wsaError) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(wsaError);
  return fd;
}

int SetNonBlocking(int fd, bool nonBlocking, int* wsaError) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return Fail(wsaError);
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, flags) < 0) return Fail(wsaError);
  return 0;
}

int ConnectIPv4(int fd, std::uint32_t address, std::uint16_t port, int* wsaError) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = port;
  target.sin_addr.s_addr = address;
  for (;;) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return 0;
    if (errno == EINTR) {
      // The connection goes on in the background; wait for its outcome.
      pollfd item{fd, POLLOUT, 0};
      while (::poll(&item, 1, -1) < 0 && errno == EINTR) {
      }
      int result = ConnectResult(fd);
      if (result == 0) return 0;
      if (wsaError) *wsaError = result;
      return -1;
    }
    if (errno == EINPROGRESS) {
      if (wsaError) *wsaError = kWouldBlock;
      return -1;
    }
    return Fail(wsaError);
  }
}

int ConnectResult(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
  return error ? WsaErrorFromErrno(error) : 0;
}

long ReceiveNow(int fd, const IoPiece* pieces, std::size_t count, int* wsaError) {
  std::vector<iovec> vector = Pieces(pieces, count);
  msghdr message{};
  message.msg_iov = vector.data();
  message.msg_iovlen = vector.size();
  for (;;) {
    ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return Fail(wsaError);
  }
}

long SendNow(int fd, const IoPiece* pieces, std::size_t count, int* wsaError) {
  std::vector<iovec> vector = Pieces(pieces, count);
  msghdr message{};
  message.msg_iov = vector.data();
  message.msg_iovlen = vector.size();
  for (;;) {
    ssize_t n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return Fail(wsaError);
  }
}

long ReceiveOnce(int fd, char* data, std::size_t length, bool peek, int* wsaError) {
  for (;;) {
    ssize_t n = ::recv(fd, data, length, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return Fail(wsaError);
  }
}

int SetLinger(int fd, bool on, int seconds, int* wsaError) {
  ::linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = seconds;
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) < 0) return Fail(wsaError);
  return 0;
}

int LocalAddress(int fd, std::uint32_t* address, std::uint16_t* port, int* wsaError) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) < 0) return Fail(wsaError);
  *address = local.sin_addr.s_addr;
  *port = local.sin_port;
  return 0;
}

int HostName(char* buffer, std::size_t size, int* wsaError) {
  if (!buffer || size == 0) {
    if (wsaError) *wsaError = 10014;  // WSAEFAULT
    return -1;
  }
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) < 0) return Fail(wsaError);
  if (std::strlen(name) >= size) {
    if (wsaError) *wsaError = 10014;
    return -1;
  }
  std::strcpy(buffer, name);
  return 0;
}

int Shutdown(int fd, int how, int* wsaError) {
  int mode = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
  if (::shutdown(fd, mode) < 0) return Fail(wsaError);
  return 0;
}

void Close(int fd) { ::close(fd); }

int Poll(PollItem* items, std::size_t count, int timeoutMs) {
  std::vector<pollfd> set(count);
  for (std::size_t i = 0; i < count; ++i) {
    short events = 0;
    if (items[i].events & kReadable) events |= POLLIN;
    if (items[i].events & kWritable) events |= POLLOUT;
    set[i] = {items[i].fd, events, 0};
  }
  int n = ::poll(set.data(), set.size(), timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (std::size_t i = 0; i < count; ++i) {
    short revents = 0;
    if (set[i].revents & POLLIN) revents |= kReadable;
    if (set[i].revents & POLLOUT) revents |= kWritable;
    if (set[i].revents & (POLLHUP | POLLERR | POLLNVAL)) revents |= kHangUp;
    if (set[i].revents & (POLLERR | POLLNVAL)) revents |= kError;
    items[i].revents = revents;
  }
  return n;
}

bool ParseDotted(const char* text, std::uint32_t* address) {
  // Exactly four decimal parts of 0-255; inet_pton refuses the old short
  // forms too.
  in_addr parsed{};
  if (!text || ::inet_pton(AF_INET, text, &parsed) != 1) return false;
  *address = parsed.s_addr;
  return true;
}

int ResolveIPv4(const char* name, std::uint32_t* addresses, int maxAddresses, char* canonical,
                std::size_t canonicalSize, int* wsaError) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  int code = ::getaddrinfo(name ? name : "", nullptr, &hints, &result);
  if (code != 0) {
    if (wsaError) *wsaError = WsaErrorFromResolver(code, errno);
    return -1;
  }
  int count = 0;
  if (canonicalSize) {
    const char* source = result->ai_canonname ? result->ai_canonname : (name ? name : "");
    std::strncpy(canonical, source, canonicalSize - 1);
    canonical[canonicalSize - 1] = '\0';
  }
  for (addrinfo* item = result; item && count < maxAddresses; item = item->ai_next) {
    if (item->ai_family != AF_INET) continue;
    std::uint32_t address = reinterpret_cast<sockaddr_in*>(item->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (int i = 0; i < count; ++i) seen = seen || addresses[i] == address;
    if (!seen) addresses[count++] = address;
  }
  ::freeaddrinfo(result);
  if (count == 0) {
    if (wsaError) *wsaError = 11004;  // WSANO_DATA
    return -1;
  }
  return count;
}

}  // namespace mvn::sysnet
