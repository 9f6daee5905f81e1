// The Winsock 1.1 calls of the SMTP engine: plain sockets, readiness sets
// (also for descriptors above 1024), peeking receives and socket options.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/peer.h"
#include "platform/net/winsock.h"

namespace {

using mvntest::PeerConnection;
using mvntest::TcpPeer;

class Winsock11 : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    // Many descriptors in use, so the sockets get numbers above 1024.
    for (int i = 0; i < 1100; ++i) {
      int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      m_fillers.push_back(fd);
    }
  }
  void TearDown() override {
    for (int fd : m_fillers) ::close(fd);
    WSACleanup();
  }
  static int Ready(SOCKET s, int which, long ms) {
    WSAFDSET set;
    WsaFdZero(&set);
    WsaFdSet(s, &set);
    WSATIMEVAL time{ms / 1000, (ms % 1000) * 1000};
    int n = WsaSelect(0, which == 1 ? &set : nullptr, which == 2 ? &set : nullptr, which == 3 ? &set : nullptr, &time);
    return n > 0 && WsaFdIsSet(s, &set) ? 1 : n;
  }
  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
  }
  std::vector<int> m_fillers;
};

TEST_F(Winsock11, NonBlockingConnectSelectPeekAndReceive) {
  if (m_fillers.size() < 1100) GTEST_SKIP() << "descriptor limit too low";
  TcpPeer peer([](PeerConnection& c) {
    c.Send("250 first\r\n250 second\r\n");
    c.ReceiveExactly(4);
    c.Close();
  });
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_NE(s, 0u);
  ULONG on = 1;
  ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
  sockaddr_in address = Loopback(peer.port());
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  EXPECT_EQ(Ready(s, 2, 5000), 1);
  EXPECT_EQ(Ready(s, 3, 0), 0);
  ULONG off = 0;
  ASSERT_EQ(ioctlsocket(s, FIONBIO, &off), 0);
  EXPECT_EQ(Ready(s, 1, 5000), 1);
  char buffer[64] = {};
  int peeked = recv(s, buffer, 11, MSG_PEEK);
  EXPECT_EQ(std::string(buffer, peeked), std::string("250 first\r\n").substr(0, peeked));
  EXPECT_EQ(recv(s, buffer, 11, 0), 11);
  EXPECT_EQ(std::string(buffer, 11), "250 first\r\n");
  sockaddr_in local{};
  int length = sizeof local;
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&local), &length), 0);
  EXPECT_EQ(local.sin_addr.s_addr, inet_addr("127.0.0.1"));
  linger option{1, 2};
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option), 0);
  EXPECT_EQ(setsockopt(s, 6, 1, reinterpret_cast<const char*>(&option), sizeof option), SOCKET_ERROR);
  EXPECT_EQ(send(s, "QUIT", 4, 0), 4);
  // The rest, then the end of the stream: readable, and recv gives 0.
  EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), 12);
  EXPECT_EQ(Ready(s, 1, 5000), 1);
  EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), 0);
  EXPECT_EQ(closesocket(s), 0);
  // A closed socket is no member of any set.
  EXPECT_EQ(Ready(s, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(Winsock11, AFailedConnectIsAnErrorCondition) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ULONG on = 1;
  ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
  sockaddr_in address = Loopback(mvntest::ClosedPort());
  connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  auto start = std::chrono::steady_clock::now();
  int error = 0;
  for (int i = 0; i < 50 && !error; ++i) error = Ready(s, 3, 100) == 1;
  EXPECT_TRUE(error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Ready(s, 2, 0), 0);
  char buffer[8];
  EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), SOCKET_ERROR);
  closesocket(s);
}

TEST_F(Winsock11, HostNameAndBlocking) {
  char name[256] = {};
  EXPECT_EQ(gethostname(name, static_cast<int>(sizeof name)), 0);
  EXPECT_GT(std::string(name).size(), 0u);
  char tiny[1];
  EXPECT_EQ(gethostname(tiny, 1), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_FALSE(WSAIsBlocking());
}

}  // namespace
