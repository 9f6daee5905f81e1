#include "tests/support/peer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace mvntest {

bool PeerConnection::Send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string PeerConnection::ReceiveExactly(std::size_t count) {
  std::string data(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::recv(m_fd, data.data() + done, count - done, 0);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  return data;
}

std::string PeerConnection::ReceiveUntilClose() {
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

void PeerConnection::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

namespace {
int Listen(std::uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(fd, 4) < 0)
    throw std::runtime_error("peer: cannot listen");
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}
}  // namespace

TcpPeer::TcpPeer(std::function<void(PeerConnection&)> script) {
  m_listener = Listen(&m_port);
  int listener = m_listener;
  m_thread = std::thread([listener, script]() {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    PeerConnection connection(fd);
    script(connection);
    connection.Close();
  });
}

void TcpPeer::Join() {
  if (m_thread.joinable()) m_thread.join();
}

TcpPeer::~TcpPeer() {
  // Wake an accept that never got its connection.
  ::shutdown(m_listener, SHUT_RDWR);
  Join();
  ::close(m_listener);
}

std::uint16_t ClosedPort() {
  std::uint16_t port = 0;
  int fd = Listen(&port);
  ::close(fd);
  return port;
}

}  // namespace mvntest
