// A scripted TCP peer on 127.0.0.1 for the socket tests, written on the
// system's sockets in its own translation unit (the Winsock-shaped header
// cannot meet the system's socket headers).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace mvntest {

class PeerConnection {
 public:
  explicit PeerConnection(int fd) : m_fd(fd) {}
  bool Send(const std::string& bytes);
  // Up to count bytes (fewer at the end of the stream).
  std::string ReceiveExactly(std::size_t count);
  std::string ReceiveUntilClose();
  void Close();
  int fd() const { return m_fd; }

 private:
  int m_fd;
};

// Listens on an ephemeral port of 127.0.0.1 and serves one connection with
// the script on a thread of its own.
class TcpPeer {
 public:
  explicit TcpPeer(std::function<void(PeerConnection&)> script);
  ~TcpPeer();  // joins the thread
  std::uint16_t port() const { return m_port; }  // host byte order
  void Join();

 private:
  int m_listener = -1;
  std::uint16_t m_port = 0;
  std::thread m_thread;
};

// A port of 127.0.0.1 on which nobody listens (host byte order).
std::uint16_t ClosedPort();

}  // namespace mvntest
