#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "platform/net/rpc.h"
#include "platform/net/winsock.h"
#include "tests/support/peer.h"

namespace {

using mvntest::PeerConnection;
using mvntest::TcpPeer;

class Net : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 0));
  }
  void TearDown() override { WSACleanup(); }

  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
  }
  static SOCKET Connected(std::uint16_t port) {
    SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    sockaddr_in address = Loopback(port);
    EXPECT_EQ(WSAConnect(s, reinterpret_cast<sockaddr*>(&address), sizeof address, nullptr, nullptr, nullptr,
                         nullptr),
              0);
    return s;
  }
};

TEST(NetErrors, ErrnoAndResolverTables) {
  struct Case {
    int err;
    int wsa;
  } cases[] = {{ECONNREFUSED, WSAECONNREFUSED}, {ETIMEDOUT, WSAETIMEDOUT},   {EHOSTUNREACH, WSAEHOSTUNREACH},
               {ENETUNREACH, WSAENETUNREACH},   {ECONNRESET, WSAECONNRESET}, {EPIPE, WSAECONNRESET},
               {EAGAIN, WSAEWOULDBLOCK},        {EINPROGRESS, WSAEINPROGRESS}, {EADDRINUSE, WSAEADDRINUSE},
               {EBADF, WSAENOTSOCK},            {EMFILE, WSAEMFILE},         {ENOTCONN, WSAENOTCONN},
               {EACCES, WSAEACCES},             {0, 0},                      {EDOM, WSASYSCALLFAILURE}};
  for (const Case& c : cases) EXPECT_EQ(WsaErrorFromErrno(c.err), c.wsa) << "errno " << c.err;
  // getaddrinfo codes as glibc numbers them (EAI_NONAME -2, EAI_AGAIN -3,
  // EAI_FAIL -4, EAI_NODATA -5, EAI_MEMORY -10, EAI_SYSTEM -11).
  EXPECT_EQ(WsaErrorFromResolver(-2, 0), WSAHOST_NOT_FOUND);
  EXPECT_EQ(WsaErrorFromResolver(-3, 0), WSATRY_AGAIN);
  EXPECT_EQ(WsaErrorFromResolver(-4, 0), WSANO_RECOVERY);
  EXPECT_EQ(WsaErrorFromResolver(-5, 0), WSANO_DATA);
  EXPECT_EQ(WsaErrorFromResolver(-10, 0), WSA_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(WsaErrorFromResolver(-11, ECONNREFUSED), WSAECONNREFUSED);
}

TEST(NetStartup, CallsFailUntilStartedAndAfterLastCleanup) {
  EXPECT_EQ(WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0);
  EXPECT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(closesocket(s), 0);  // still started once
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(Net, AddressesAndLookUp) {
  EXPECT_EQ(inet_addr("127.0.0.1"), htonl(0x7F000001u));
  EXPECT_EQ(inet_addr("10.1.2.3"), htonl(0x0A010203u));
  for (const char* bad : {"", "mail.example", "1.2.3", "256.1.1.1", "1.2.3.4.5", "1.2.3.4 "})
    EXPECT_EQ(inet_addr(bad), INADDR_NONE) << bad;
  EXPECT_EQ(htons(25), 0x1900);

  hostent* host = gethostbyname("localhost");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->h_addrtype, AF_INET);
  ASSERT_NE(host->h_addr_list[0], nullptr);
  ULONG first;
  std::memcpy(&first, host->h_addr_list[0], 4);
  EXPECT_EQ(ntohl(first) >> 24, 127u);
  host = gethostbyname("192.0.2.7");
  ASSERT_NE(host, nullptr);
  std::memcpy(&first, host->h_addr_list[0], 4);
  EXPECT_EQ(first, inet_addr("192.0.2.7"));
}

TEST_F(Net, SocketTableRefusesUnknownSockets) {
  EXPECT_EQ(closesocket(12345), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(WSASocketA(AF_INET, 2 /* datagram */, 0, nullptr, 0, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAESOCKTNOSUPPORT);
  SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0);
  char byte = 0;
  WSABUF buffer{1, &byte};
  DWORD sent = 0;
  EXPECT_EQ(WSASend(s, &buffer, 1, &sent, 0, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
  EXPECT_EQ(closesocket(s), 0);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
}

TEST_F(Net, BlockingConnectRefused) {
  SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  sockaddr_in address = Loopback(mvntest::ClosedPort());
  EXPECT_EQ(WSAConnect(s, reinterpret_cast<sockaddr*>(&address), sizeof address, nullptr, nullptr, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  closesocket(s);
}

TEST_F(Net, NonBlockingConnectReportsItsOutcomeThroughTheEvent) {
  TcpPeer peer([](PeerConnection& c) { c.Send("hi"); });
  for (bool refused : {false, true}) {
    SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
    WSAEVENT event = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(s, event, FD_CONNECT), 0);
    sockaddr_in address = Loopback(refused ? mvntest::ClosedPort() : peer.port());
    int result =
        WSAConnect(s, reinterpret_cast<sockaddr*>(&address), sizeof address, nullptr, nullptr, nullptr, nullptr);
    if (result == SOCKET_ERROR) {
      EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    }
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
    WSANETWORKEVENTS events{};
    ASSERT_EQ(WSAEnumNetworkEvents(s, event, &events), 0);
    EXPECT_TRUE(events.lNetworkEvents & FD_CONNECT);
    EXPECT_EQ(events.iErrorCode[FD_CONNECT_BIT], refused ? WSAECONNREFUSED : 0);
    EXPECT_EQ(WSAEventSelect(s, nullptr, 0), 0);
    WSACloseEvent(event);
    closesocket(s);
  }
}

TEST_F(Net, OverlappedExchangeAndEndOfStream) {
  std::string seen;
  TcpPeer peer([&](PeerConnection& c) {
    seen = c.ReceiveExactly(5);
    c.Send("220 ready\r\n");
  });
  SOCKET s = Connected(peer.port());
  WSAEVENT event = WSACreateEvent();
  char text[] = "HELO\n";
  WSABUF out{5, text};
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD count = 0;
  int result = WSASend(s, &out, 1, &count, 0, &overlapped, nullptr);
  ASSERT_TRUE(result == 0 || WSAGetLastError() == WSA_IO_PENDING);
  ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
  ASSERT_TRUE(WSAGetOverlappedResult(s, &overlapped, &count, FALSE, nullptr));
  EXPECT_EQ(count, 5u);

  std::string received;
  for (;;) {
    char buffer[4];
    WSABUF in{sizeof buffer, buffer};
    overlapped = {};
    overlapped.hEvent = event;
    DWORD flags = 0;
    result = WSARecv(s, &in, 1, &count, &flags, &overlapped, nullptr);
    if (result != 0) {
      ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
      ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
      ASSERT_TRUE(WSAGetOverlappedResult(s, &overlapped, &count, FALSE, &flags));
    }
    if (count == 0) break;  // the peer closed
    received.append(buffer, count);
  }
  peer.Join();
  EXPECT_EQ(seen, "HELO\n");
  EXPECT_EQ(received, "220 ready\r\n");
  WSACloseEvent(event);
  closesocket(s);
}

TEST_F(Net, TimedOutReceiveIsCancelledAndNeverWritesLater) {
  std::atomic<bool> release{false};
  TcpPeer peer([&](PeerConnection& c) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    c.Send("late data");
    c.ReceiveUntilClose();
  });
  SOCKET s = Connected(peer.port());
  WSAEVENT event = WSACreateEvent();
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  WSABUF in{sizeof buffer, buffer};
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD count = 0, flags = 0;
  ASSERT_EQ(WSARecv(s, &in, 1, &count, &flags, &overlapped, nullptr), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 200, FALSE), WSA_WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_FALSE(WSAGetOverlappedResult(s, &overlapped, &count, FALSE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSA_IO_INCOMPLETE);
  EXPECT_TRUE(CancelIoEx(s, &overlapped));
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(WSA_OPERATION_ABORTED));
  EXPECT_FALSE(CancelIoEx(s, &overlapped));

  // The data arrives after the cancel: the old buffer stays untouched, and
  // a new receive gets it.
  release = true;
  char second[16] = {};
  WSABUF again{sizeof second, second};
  WSAOVERLAPPED next{};
  next.hEvent = event;
  WSAResetEvent(event);
  if (WSARecv(s, &again, 1, &count, &flags, &next, nullptr) != 0) {
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
    ASSERT_TRUE(WSAGetOverlappedResult(s, &next, &count, FALSE, &flags));
  }
  EXPECT_EQ(std::string(second, count), "late data");
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(16, 'x'));
  EXPECT_EQ(shutdown(s, SD_BOTH), 0);
  EXPECT_EQ(closesocket(s), 0);
  WSACloseEvent(event);
}

TEST_F(Net, LargeOverlappedSendCompletesWhole) {
  const std::size_t size = 8u << 20;
  std::string got;
  TcpPeer peer([&](PeerConnection& c) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the buffers fill
    got = c.ReceiveUntilClose();
  });
  SOCKET s = Connected(peer.port());
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + (i >> 13));
  WSAEVENT event = WSACreateEvent();
  WSABUF out{static_cast<ULONG>(size), data.data()};
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD count = 0;
  if (WSASend(s, &out, 1, &count, 0, &overlapped, nullptr) != 0) {
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 20000, FALSE), WSA_WAIT_EVENT_0);
    ASSERT_TRUE(WSAGetOverlappedResult(s, &overlapped, &count, FALSE, nullptr));
  }
  EXPECT_EQ(count, size);
  shutdown(s, SD_BOTH);
  closesocket(s);
  peer.Join();
  EXPECT_TRUE(got == data);
  WSACloseEvent(event);
}

TEST_F(Net, SendToAClosedPeerFailsWithoutSignal) {
  TcpPeer peer([](PeerConnection& c) { c.Close(); });
  SOCKET s = Connected(peer.port());
  peer.Join();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string block(65536, 'a');
  WSABUF out{static_cast<ULONG>(block.size()), block.data()};
  int error = 0;
  // The first send may still be taken by the kernel; the reset follows.
  for (int i = 0; i < 50 && error == 0; ++i) {
    DWORD sent = 0;
    if (WSASend(s, &out, 1, &sent, 0, nullptr, nullptr) != 0) error = WSAGetLastError();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(error == WSAECONNRESET || error == WSAECONNABORTED) << error;
  closesocket(s);
}

TEST_F(Net, ClosingASocketAbortsItsPendingOperation) {
  TcpPeer peer([](PeerConnection& c) { c.ReceiveUntilClose(); });
  SOCKET s = Connected(peer.port());
  WSAEVENT event = WSACreateEvent();
  char buffer[8];
  WSABUF in{sizeof buffer, buffer};
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD count = 0, flags = 0;
  ASSERT_EQ(WSARecv(s, &in, 1, &count, &flags, &overlapped, nullptr), SOCKET_ERROR);
  ASSERT_EQ(closesocket(s), 0);
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 0, FALSE), WSA_WAIT_EVENT_0);
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(WSA_OPERATION_ABORTED));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(WSACloseEvent(event));
}

TEST(Uuid, RandomVersion4TextsDiffer) {
  std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    UUID uuid;
    ASSERT_EQ(UuidCreate(&uuid), RPC_S_OK);
    RPC_CSTR text = nullptr;
    ASSERT_EQ(UuidToStringA(&uuid, &text), RPC_S_OK);
    std::string value(reinterpret_cast<char*>(text));
    EXPECT_TRUE(std::regex_match(value, form)) << value;
    seen.insert(value);
    RpcStringFreeA(&text);
    EXPECT_EQ(text, nullptr);
  }
  EXPECT_EQ(seen.size(), 500u);
  UUID fixed{0x0123abcd, 0x4567, 0x89ef, {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10}};
  RPC_CSTR text = nullptr;
  UuidToStringA(&fixed, &text);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "0123abcd-4567-89ef-fedc-ba9876543210");
  RpcStringFreeA(&text);
}

}  // namespace
