#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "delivery/smtp2/csocket.h"
#include "delivery/smtp2/tests/recording.h"
#include "tests/support/network.h"
#include "tests/support/peer.h"

namespace {

using mvntest::PeerConnection;
using mvntest::Recorder;
using mvntest::TcpPeer;

class Socket : public ::testing::Test {
 protected:
  void SetUp() override { Recorder().raised.clear(); }
  static ULONG Loopback() { return inet_addr("127.0.0.1"); }
};

TEST(WinsockErrors, TableRowsAndUnknownCodes) {
  ASSERT_EQ(WinsockErrorCount(), 50u);
  struct Case {
    LONG code;
    const char* name;
    const char* text;
  } cases[] = {
      {6, "WSA_INVALID_HANDLE", nullptr},
      {8, "WSA_NOT_ENOUGH_MEMORY", nullptr},
      {87, "WSA_INVALID_PARAMETER", nullptr},
      {995, "WSA_OPERATION_ABORTED", nullptr},
      {996, "WSA_IO_INCOMPLETE", nullptr},
      {997, "WSA_IO_PENDING", "Overlapped operations will complete later. "},
      {10004, "WSAEINTR", nullptr},
      {10060, "WSAETIMEDOUT", "Connection timed out. "},
      {10061, "WSAECONNREFUSED", "Connection refused. "},
      {10065, "WSAEHOSTUNREACH", nullptr},
      {10093, "WSANOTINITIALISED", "Successful WSAStartup not yet performed. "},
      {10109, "WSATYPE_NOT_FOUND", nullptr},
      {11001, "WSAHOST_NOT_FOUND", "Host not found. "},
      {11004, "WSANO_DATA", nullptr},
      {0, "UNKNOWN", "Unknown error!"},
      {10059, "UNKNOWN", "Unknown error!"},
      {-1, "UNKNOWN", "Unknown error!"},
  };
  for (const Case& c : cases) {
    WINSOCKERROR row;
    WinsockErrorLookup(&row, c.code);
    EXPECT_STREQ(row.name, c.name) << c.code;
    EXPECT_EQ(row.code, std::string(c.name) == "UNKNOWN" ? 0 : c.code);
    if (c.text) {
      EXPECT_STREQ(row.text, c.text) << c.code;
    }
  }
  // Every row is found by its code, and every text ends in ". ".
  const LONG codes[] = {6,     8,     87,    995,   996,   997,   10004, 10013, 10014, 10022, 10024, 10035, 10036,
                        10037, 10038, 10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047, 10048, 10049,
                        10050, 10051, 10052, 10053, 10054, 10055, 10056, 10057, 10058, 10060, 10061, 10064, 10065,
                        10067, 10091, 10092, 10093, 10101, 10107, 10109, 11001, 11002, 11003, 11004};
  std::set<std::string> names;
  for (LONG code : codes) {
    WINSOCKERROR row;
    WinsockErrorLookup(&row, code);
    EXPECT_EQ(row.code, code);
    std::string text = row.text;
    EXPECT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), ". ") << code;
    names.insert(row.name);
  }
  EXPECT_EQ(names.size(), 50u);
}

TEST_F(Socket, RefusedConnectReportsTheCallAndTheError) {
  for (bool blocking : {true, false}) {
    Recorder().raised.clear();
    CSOCKET socket;
    socket.SetBlocking(blocking);
    socket.SetTimeout(2000);
    EXPECT_FALSE(socket.Connect(Loopback(), mvntest::ClosedPort())) << blocking;
    ASSERT_EQ(Recorder().raised.size(), 1u) << blocking;
    const mvntest::Raised& report = Recorder().raised[0];
    EXPECT_EQ(report.id, NOTFIY_WINSOCKERROR);
    EXPECT_EQ(report.p1, "WSAConnect");
    EXPECT_EQ(report.p2, "WSAECONNREFUSED");
    EXPECT_EQ(report.p3, "Connection refused. ");
    EXPECT_EQ(WSAGetLastError(), 0);
  }
}

TEST_F(Socket, InvalidAddressFailsWithoutConnecting) {
  CSOCKET socket;
  EXPECT_FALSE(socket.Connect(INADDR_NONE, 25));
  EXPECT_TRUE(Recorder().raised.empty());
}

TEST_F(Socket, AddressesAndFailedLookUp) {
  ULONG address = 0;
  EXPECT_TRUE(GetINETAddress("127.0.0.1", &address));
  EXPECT_EQ(address, Loopback());
  EXPECT_TRUE(GetINETAddress("localhost", &address));
  EXPECT_EQ(ntohl(address) >> 24, 127u);
  EXPECT_TRUE(Recorder().raised.empty());
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  // Without a network the name cannot be resolved.
  EXPECT_TRUE(GetINETAddress("mail.example.invalid", &address));
  EXPECT_EQ(address, INADDR_NONE);
  ASSERT_EQ(Recorder().raised.size(), 1u);
  EXPECT_EQ(Recorder().raised[0].p1, "gethostbyname");
  std::set<std::string> resolverErrors = {"WSAHOST_NOT_FOUND", "WSATRY_AGAIN", "WSANO_RECOVERY", "WSANO_DATA",
                                          "WSAENETUNREACH"};
  EXPECT_TRUE(resolverErrors.count(Recorder().raised[0].p2)) << Recorder().raised[0].p2;
}

TEST_F(Socket, DataUntilThePeerCloses) {
  std::string got;
  TcpPeer peer([&](PeerConnection& c) {
    got = c.ReceiveExactly(4);
    c.Send("250 ok\r\n");
  });
  CSOCKET socket;
  socket.SetBlocking(true);
  ASSERT_TRUE(socket.Connect(Loopback(), peer.port()));
  DWORD count = 0;
  EXPECT_TRUE(socket.PutData("QUIT", 4, &count));
  EXPECT_EQ(count, 4u);
  char buffer[64];
  std::string received;
  while (socket.GetData(buffer, sizeof buffer, &count)) received.append(buffer, count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(received, "250 ok\r\n");
  EXPECT_EQ(got, "QUIT");
  EXPECT_TRUE(Recorder().raised.empty());
  EXPECT_EQ(socket.Close(), 0);
  EXPECT_EQ(socket.m_socket, INVALID_SOCKET);
}

TEST_F(Socket, SilentPeerTimesOutAndTheSocketCloses) {
  TcpPeer peer([](PeerConnection& c) { c.ReceiveUntilClose(); });
  CSOCKET socket;
  socket.SetBlocking(true);
  socket.SetTimeout(300);
  ASSERT_TRUE(socket.Connect(Loopback(), peer.port()));
  char buffer[16];
  DWORD count = 99;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.GetData(buffer, sizeof buffer, &count));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(Recorder().raised.size(), 1u);
  EXPECT_EQ(Recorder().raised[0].p1, "WSAGetOverlappedResult");
  EXPECT_EQ(Recorder().raised[0].p2, "WSA_IO_INCOMPLETE");
  EXPECT_EQ(socket.Close(), 0);
}

TEST_F(Socket, OneLargeSendGoesOutWhole) {
  std::string data(4u << 20, 'm');
  std::string got;
  TcpPeer peer([&](PeerConnection& c) { got = c.ReceiveUntilClose(); });
  CSOCKET socket;
  socket.SetBlocking(true);
  ASSERT_TRUE(socket.Connect(Loopback(), peer.port()));
  DWORD count = 0;
  EXPECT_TRUE(socket.PutData(data.data(), static_cast<DWORD>(data.size()), &count));
  EXPECT_EQ(count, data.size());
  socket.Close();
  peer.Join();
  EXPECT_EQ(got.size(), data.size());
}

}  // namespace
