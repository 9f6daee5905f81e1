// The engine against real peers: aiosmtpd (every mail parsed with Python's
// email package, attachments compared byte for byte) and the scripted
// peer for what a real server does not do on demand.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/network.h"
#include "smtpengine/smtpengine.h"
#include "tests/support/tempdir.h"

using namespace mvn::smtpengine;
namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

constexpr const char* kServer = "127.0.0.1";
constexpr const char* kFrom = "Ann Smith <ann@desk.example>";
constexpr const char* kTo = "<fax@server.example>";

std::string Random(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  std::mt19937 random(seed);
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

// The JSON lines of the scripted peer's record, one per connection.
std::vector<std::string> Records(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string WaitForRecord(const std::string& path, std::size_t count) {
  for (int i = 0; i < 200; ++i) {
    std::vector<std::string> lines = Records(path);
    if (lines.size() >= count) return lines[count - 1];
    usleep(50000);
  }
  return "";
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
    ASSERT_EQ(smeAttach(1), 1);
    smeStringParam(0, 20, (m_dir / "engine.log").c_str());
  }
  void TearDown() override { EngineRelease(); }

  std::string Log() { return ReadFile(m_dir / "engine.log"); }

  // Checks the stored mail with check_engine_mail.py.
  void CheckMail(const std::string& mail, const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {mail};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::string output;
    EXPECT_EQ(mvntest::RunTool("check_engine_mail.py", words, &output), 0) << output;
  }

  TempDir m_dir;
};

class AiosmtpdTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (IsSkipped()) return;
    m_server = std::make_unique<mvntest::PeerProcess>(
        "aiosmtpd_store.py", std::vector<std::string>{"--port", "25", "--store", m_store.str()});
    ASSERT_TRUE(m_server->ready()) << m_server->output();
  }
  std::string Mail(int n) { return m_store / (std::to_string(n) + ".eml"); }
  std::string Envelope(int n) { return ReadFile(m_store / (std::to_string(n) + ".json")); }

  TempDir m_store;
  std::unique_ptr<mvntest::PeerProcess> m_server;
};

TEST_F(AiosmtpdTest, AttachmentsOfEverySizeArriveByteForByte) {
  ASSERT_EQ(smeSmtpConnect(0, kServer, kFrom, "<reply@desk.example>"), 0) << Log();
  std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"one.bin", "x"},
      {"fiftysix.bin", Random(56, 1)},
      {"fiftyseven.bin", Random(57, 2)},
      {"fiftyeight.bin", Random(58, 3)},
      {"eight.bin", Random(8192, 4)},
      {"mega.bin", Random(1 << 20, 5)},
  };
  std::string list;
  std::vector<std::string> arguments = {"--header", "To: <fax@server.example>", "--header",
                                        std::string("From: ") + kFrom, "--header", "Reply-To: <reply@desk.example>",
                                        "--header", "Subject: MVN::SEND,SENDER-DEFAULTS=no", "--text-type",
                                        "Content-Type: text/plain"};
  for (auto& [name, data] : files) {
    WriteFile(m_dir / name, data);
    list += (list.empty() ? "" : ",") + m_dir / name;
    arguments.push_back("--attachment");
    arguments.push_back(name + "=" + m_dir / name);
  }
  WriteFile(m_dir / "empty.txt", "");
  arguments.push_back("--text");
  arguments.push_back(m_dir / "empty.txt");
  ASSERT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "MVN::SEND,SENDER-DEFAULTS=no", "", list.c_str()), 0) << Log();
  EXPECT_EQ(smeGetCounter(0, 11), static_cast<int>(8192 + (1 << 20) + 56 + 57 + 58 + 1));
  // One connection serves a second mail.
  WriteFile(m_dir / "second.bin", Random(3000, 6));
  ASSERT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "second", "", (m_dir / "second.bin").c_str()), 0) << Log();
  EXPECT_EQ(smeClose(0), 0);
  EXPECT_EQ(smeGetCounter(0, 27), 0);
  CheckMail(Mail(1), arguments);
  CheckMail(Mail(2), {"--header", "To: <fax@server.example>", "--header", std::string("From: ") + kFrom, "--header",
                      "Reply-To: <reply@desk.example>", "--header", "Subject: second", "--text-type",
                      "Content-Type: text/plain", "--attachment", "second.bin=" + m_dir / "second.bin"});
  EXPECT_NE(Envelope(1).find("\"helo\": \"desk.example\""), std::string::npos) << Envelope(1);
  EXPECT_NE(Envelope(1).find("\"mail_from\": \"ann@desk.example\""), std::string::npos) << Envelope(1);
}

TEST_F(AiosmtpdTest, RecipientListsAndHeaders) {
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0) << Log();
  // After a connect without Reply-To the field is gone.
  EXPECT_EQ(smeStringParam(0, 50, "<r@desk.example>"), 0);
  ASSERT_GT(smeStringParam(0, 51, "X-Job: 42\r\n"), 0);
  ASSERT_EQ(smeSendEmail(0, "<a@server.example>,Bob <b@server.example>, <c@server.example>", "<cc@server.example>",
                         "<hidden@server.example>", "three", "Hello\r\n.\r\nBye", nullptr),
            0)
      << Log();
  EXPECT_NE(Envelope(1).find(R"("rcpt_tos": ["a@server.example", "b@server.example", "c@server.example", "cc@server.example", "hidden@server.example"])"),
            std::string::npos)
      << Envelope(1);
  WriteFile(m_dir / "text.txt", "Hello\r\n.\r\nBye\r\n\r\n");
  CheckMail(Mail(1), {"--header", "To: <a@server.example>,Bob <b@server.example>, <c@server.example>", "--header",
                      "From: <ann@desk.example>", "--header", "Subject: three", "--header", "X-Job: 42", "--header",
                      "CC: <cc@server.example>", "--text", m_dir / "text.txt"});
  EXPECT_EQ(ReadFile(Mail(1)).find("hidden"), std::string::npos);
  // On the wire the "." line was stuffed (the server took the dot away).
  EXPECT_NE(Log().find("S: Hello\r\nS: ..\r\nS: Bye\r\n"), std::string::npos) << Log();

  // Without a subject the extra line is not sent; parameter 22 drops "To:".
  ASSERT_EQ(smeIntegerParam(0, 22, 1), 1);
  ASSERT_EQ(smeSendEmail(0, "<a@server.example>", nullptr, nullptr, nullptr, "x", nullptr), 0) << Log();
  WriteFile(m_dir / "x.txt", "x\r\n\r\n");
  CheckMail(Mail(2), {"--header", "From: <ann@desk.example>", "--text", m_dir / "x.txt"});
  smeClose(0);
}

TEST_F(AiosmtpdTest, TextModesAndTheTextFile) {
  struct Mode {
    int mode;
    std::vector<std::string> typeLines;
    std::string wire;
  } modes[] = {
      {1, {"Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable"}, "caf=E9 =3D 1\r\n"},
      {2, {"Content-Type: text/html", "Content-Transfer-Encoding: quoted-printable"}, "caf=E9 =3D 1\r\n"},
      {3, {"Content-Type: text/enriched", "Content-Transfer-Encoding: quoted-printable"}, "caf=E9 =3D 1\r\n"},
      {4,
       {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable"},
       "caf=E9 =3D 1\r\n"},
      {5, {"Content-Type: text/plain"}, "caf=E9 =3D 1\r\n"},
      {7, {"Content-Type: text/plain"}, "caf=E9 =3D 1\r\n"},
      {0, {}, "caf~ = 1\r\n\r\n"},
  };
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0) << Log();
  WriteFile(m_dir / "body.txt", "caf\xE9 = 1\n");
  int n = 0;
  for (const Mode& mode : modes) {
    ASSERT_EQ(smeIntegerParam(0, 8, mode.mode), mode.mode);
    // The text comes from the file named after "@".
    std::string text = "@" + m_dir / "body.txt";
    ASSERT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "modes", text.c_str(), nullptr), 0) << Log();
    ++n;
    WriteFile(m_dir / "wire.txt", mode.wire);
    std::vector<std::string> arguments = {"--header", "To: <fax@server.example>", "--header",
                                          "From: <ann@desk.example>", "--header", "Subject: modes", "--text",
                                          m_dir / "wire.txt"};
    for (const std::string& line : mode.typeLines) {
      arguments.push_back("--text-type");
      arguments.push_back(line);
    }
    CheckMail(Mail(n), arguments);
  }
  EXPECT_EQ(smeGetCounter(0, 10), 9);
  smeClose(0);
}

TEST_F(AiosmtpdTest, BadArgumentsSendNothing) {
  ASSERT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, nullptr, nullptr, nullptr), -58);
  EXPECT_EQ(smeSmtpConnect(0, nullptr, kFrom, nullptr), -50);
  EXPECT_EQ(smeSmtpConnect(0, kServer, nullptr, nullptr), -38);
  EXPECT_EQ(smeSmtpConnect(0, "mail@server", kFrom, nullptr), -56);
  EXPECT_EQ(smeSmtpConnect(0, kServer, "", nullptr), -37);
  EXPECT_EQ(smeSmtpConnect(0, kServer, "ann@desk.example", nullptr), -41);
  EXPECT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example", nullptr), -43);
  EXPECT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", "<r@x>\r\nBcc: <e@x>"), -32);
  // Sending before a successful connect: not connected.
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, nullptr, nullptr, nullptr), -44);
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0) << Log();
  EXPECT_EQ(smeSendEmail(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -45);
  EXPECT_EQ(smeSendEmail(0, "", nullptr, nullptr, nullptr, nullptr, nullptr), -45);
  EXPECT_EQ(smeSendEmail(0, "fax@server.example", nullptr, nullptr, nullptr, nullptr, nullptr), -41);
  // The missing '<' went through the error report: the connection is gone.
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, nullptr, nullptr, nullptr), -44);
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0) << Log();
  EXPECT_EQ(smeSendEmail(0, "<fax@server.example", nullptr, nullptr, nullptr, nullptr, nullptr), -43);
  EXPECT_EQ(smeSendEmail(0, kTo, "<cc@x", nullptr, nullptr, nullptr, nullptr), -43);
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "hi\r\nBcc: <e@x.example>", nullptr, nullptr), -32);
  EXPECT_EQ(smeSendEmail(0, "<fax@server.example>\r\nRCPT TO:<e@x>", nullptr, nullptr, nullptr, nullptr, nullptr),
            -32);
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, nullptr, nullptr, "/tmp/a\nb"), -35);
  // None of it reached the server.
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "fine", "ok", nullptr), 0) << Log();
  EXPECT_TRUE(fs::exists(Mail(1)));
  EXPECT_FALSE(fs::exists(Mail(2)));
  EXPECT_EQ(smeClose(0), 0);
  // A channel without a connection closes at once: it waits for no server,
  // which would take the reply time-out (25 s by default). The bound leaves
  // room for a slow machine and a sanitizer build.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(smeClose(0), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(AiosmtpdTest, AnAttachmentThatCannotBeReadEndsTheMail) {
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0) << Log();
  ASSERT_EQ(mkfifo((m_dir / "fifo").c_str(), 0600), 0);
  std::string list = m_dir / "fifo";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "s", nullptr, list.c_str()), -35);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "s", nullptr, (m_dir / "missing.bin").c_str()), -44);
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0) << Log();
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "s", nullptr, (m_dir / "missing.bin").c_str()), -35);
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "s", (std::string("@") + m_dir / "missing.txt").c_str(), nullptr),
            -44);
  usleep(200000);
  EXPECT_FALSE(fs::exists(Mail(1)));
  EXPECT_NE(Log().find("SmeCode=-35"), std::string::npos);
}

TEST_F(EngineTest, NoServerListening) {
  EXPECT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), -36);
  char text[128];
  smeErrorText(0, -36, text, sizeof text);
  EXPECT_EQ(std::string(text).rfind("Error attempting to connect.", 0), 0u);
  EXPECT_EQ(smeSmtpConnect(0, "no-such-host.invalid", "<ann@desk.example>", nullptr), -46);
}

// The scripted peer: the fault table.
struct Fault {
  const char* name;
  const char* script;  // JSON
  int connect;         // result of smeSmtpConnect
  int send;            // result of smeSendEmail (when connected)
  bool messageSent;    // the peer received message data
  std::size_t size = 1000;  // of the attachment
};

class FaultTest : public EngineTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(FaultTest, Holds) {
  const Fault& fault = GetParam();
  std::string record = m_dir / "record.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", fault.script, "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  smeIntegerParam(0, 2, 1500);   // reply time-out
  smeIntegerParam(0, 6, 1500);   // line time-out
  smeIntegerParam(0, 11, 250);   // rest of a reply line: 1 s
  WriteFile(m_dir / "job.bin", Random(fault.size, 9));
  auto start = std::chrono::steady_clock::now();
  int connect = smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr);
  EXPECT_EQ(connect, fault.connect) << Log();
  if (connect == 0) {
    int sent = smeSendEmail(0, kTo, nullptr, nullptr, "fault", "", (m_dir / "job.bin").c_str());
    EXPECT_EQ(sent, fault.send) << Log();
    if (sent < 0) {
      // The failed dialogue closed the connection.
      EXPECT_EQ(smeGetCounter(0, 27), 0);
      EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "again", "", nullptr), -44);
    }
  }
  smeClose(0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
  std::string line = WaitForRecord(record, 1);
  bool gotMessage = line.find("\"message\": \"\"") == std::string::npos;
  EXPECT_EQ(gotMessage, fault.messageSent) << line;
}

const Fault kFaults[] = {
    {"MultiLineReplies", R"({"GREETING": ["220-peer\r\n220-still\r\n220 ready\r\n"], "HELO": ["250-hello\r\n250-SIZE 1\r\n250 OK\r\n"]})", 0, 0, true},
    {"BareCode", R"({"HELO": ["250\r\n"], "MAIL": ["250\r\n"], "DOT": ["250\r\n"]})", 0, 0, true},
    {"SplitReply", R"({"MAIL": ["25", {"sleep": 0.3}, "0 sender ok\r\n"], "RCPT": ["250-a", {"sleep": 0.2}, "\r\n250 b\r\n"]})", 0, 0, true},
    {"SilentGreeting", R"({"GREETING": ["silent"]})", -8, 0, false},
    {"LineNeverEnds", R"({"HELO": ["250 hel", "silent"]})", -8, 0, false},
    {"CloseAfterTheDot", R"({"DOT": ["close"]})", 0, -1, true},
    {"TemporaryFailureAtTheDot", R"({"DOT": ["451 4.3.0 try later\r\n"]})", 0, -49, true},
    {"RecipientRefused", R"({"RCPT": ["550 5.1.1 no such user\r\n"]})", 0, -49, false},
    {"MailFrom421GoesOn", R"({"MAIL": ["421 busy\r\n"]})", 0, 0, true},
    {"MailFrom550Stops", R"({"MAIL": ["550 no\r\n"]})", 0, -49, false},
    {"DataNot354", R"({"DATA": ["250 ok\r\n"]})", 0, -49, false},
    {"MalformedReply", R"({"RCPT": ["hello there\r\n"]})", 0, -49, false},
    {"TenDigitCode", R"({"HELO": ["2500000000 ok\r\n"]})", -49, 0, false},
    {"HugeReply", R"({"HELO": ["250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n250 end\r\n"]})", -31, 0, false},
    {"ClosedAtGreeting", R"({"GREETING": ["close"]})", -1, 0, false},
    {"StopsReadingAtData", R"({"DATA": ["354 go\r\n", "stall"]})", 0, -8, false, 24 << 20},
};

INSTANTIATE_TEST_SUITE_P(Peer, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST_F(EngineTest, TheLogShowsTheDialogueAndADeadline) {
  std::string record = m_dir / "record.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", R"({"RCPT": [{"sleep": 3}, "250 late\r\n"]})",
                                             "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  smeIntegerParam(0, 2, 800);
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0);
  EXPECT_EQ(smeSendEmail(0, kTo, nullptr, nullptr, "s", "", nullptr), -8);
  std::string log = Log();
  for (const char* line : {"*** smeSmtpConnect\r\n", "SMTP Engine Version 1.0.0 Build 1\r\n",
                           "R: POSIX sockets\r\n", "Server = '127.0.0.1'\r\n", "ServerIP = 127.0.0.1\r\n",
                           "RemoteAddr=7f000001, RemotePort=25\r\n", "R: 220 peer ready\r\n", "S: HELO desk.example\r\n",
                           "*** smeIntegerParam(0,2,800)\r\n", "*** Sending...\r\n",
                           "S: MAIL FROM:<ann@desk.example>\r\n", "S: RCPT TO:<fax@server.example>\r\n",
                           "SockCode=0 SmeCode=-8 PrevState=208 ThisState=-1 NextState=208\r\nSocket timed out."}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_NE(log.find("<208:"), std::string::npos);
}

// Base64 as the scripted peer records the message data.
std::string FromBase64(const std::string& text) {
  static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    std::size_t digit = kDigits.find(c);
    if (digit == std::string::npos) continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(digit);
    if ((count += 6) >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// The text of a JSON string or list member of a record line, as it stands.
std::string Member(const std::string& line, const std::string& name, char open, char close) {
  std::size_t at = line.find("\"" + name + "\": " + open);
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return line.substr(at, line.find(close, at + 1) - at + 1);
}

// Every byte of two mails on one connection and the states the log shows,
// worked out by hand: a multipart mail (Reply-To, Subject with the extra
// line, CC, a hidden BCC, quoted-printable text with a stuffed "." line and
// one attachment) and a plain one. Only the Date line and the boundary's
// clock part vary; they are masked.
TEST_F(EngineTest, TheBytesOfAWholeDialogue) {
  std::string record = m_dir / "record.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  WriteFile(m_dir / "abc.bin", "abc");
  ASSERT_EQ(smeSmtpConnect(0, kServer, kFrom, "<reply@desk.example>"), 0) << Log();
  ASSERT_GT(smeStringParam(0, 51, "X-Job: 42"), 0);
  ASSERT_EQ(smeIntegerParam(0, 8, 1), 1);
  ASSERT_EQ(smeSendEmail(0, "<a@server.example>,Bob <b@server.example>", "<cc@server.example>",
                         "<hidden@server.example>", "pin", "Hi=\r\n.dot", (m_dir / "abc.bin").c_str()),
            0)
      << Log();
  ASSERT_EQ(smeIntegerParam(0, 8, 0), 0);
  ASSERT_EQ(smeSendEmail(0, "<a@server.example>", nullptr, nullptr, nullptr, "one\r\n\r\nthree", nullptr), 0) << Log();
  EXPECT_EQ(smeClose(0), 0);
  std::string line = WaitForRecord(record, 1);
  ASSERT_FALSE(line.empty());

  EXPECT_EQ(Member(line, "commands", '[', ']'),
            R"(["HELO desk.example", "MAIL FROM:<ann@desk.example>", "RCPT TO:<a@server.example>", )"
            R"("RCPT TO:<b@server.example>", "RCPT TO:<cc@server.example>", "RCPT TO:<hidden@server.example>", )"
            R"("DATA", "MAIL FROM:<ann@desk.example>", "RCPT TO:<a@server.example>", "DATA", "QUIT"])");
  std::string message = FromBase64(Member(line, "message", '"', '"'));
  message = std::regex_replace(message, std::regex("Date: [^\r]*\r\n"), "Date: @\r\n");
  message = std::regex_replace(message, std::regex("=====_ *-?[0-9]+_====="), "=====_@_=====");
  EXPECT_EQ(message,
            "X-Mailer: MVN SMTP Engine 1.0.0 Build 1\r\n"
            "Date: @\r\n"
            "To: <a@server.example>,Bob <b@server.example>\r\n"
            "From: Ann Smith <ann@desk.example>\r\n"
            "Reply-To: <reply@desk.example>\r\n"
            "Subject: pin\r\n"
            "X-Job: 42\r\n"
            "CC: <cc@server.example>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"=====_@_=====\"\r\n"
            "\r\n"
            "--=====_@_=====\r\n"
            "Content-Type: text/plain\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "\r\n"
            "Hi=3D\r\n"
            "..dot\r\n"
            "\r\n"
            "--=====_@_=====\r\n"
            "Content-Type: application/octet-stream; name=\"abc.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"abc.bin\"\r\n"
            "\r\n"
            "YWJj\r\n"
            "--=====_@_=====--\r\n"
            "\r\n"
            "\r\n"
            // The second mail: no MIME lines, a blank text line sent as " ".
            "X-Mailer: MVN SMTP Engine 1.0.0 Build 1\r\n"
            "Date: @\r\n"
            "To: <a@server.example>\r\n"
            "From: Ann Smith <ann@desk.example>\r\n"
            "Reply-To: <reply@desk.example>\r\n"
            "\r\n"
            "one\r\n"
            " \r\n"
            "three\r\n"
            "\r\n");

  // The states in the order the log shows them (each once while it waits;
  // a drive ends at the step that names state 0, which is never entered).
  std::string states;
  std::string log = Log();
  static const std::regex kState("<([ 0-9]{3}):[0-9]+>");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), kState); it != std::sregex_iterator(); ++it)
    states += (states.empty() ? "" : ",") + std::to_string(std::stoi((*it)[1]));
  EXPECT_EQ(states,
            // smeSmtpConnect
            "200,101,102,103,104,105,106,201,202,203,"
            // the first mail: four recipients, header, text part, attachment, end
            "204,205,206,207,208,206,207,208,206,207,208,206,207,208,209,210,"
            "220,222,223,224,225,226,227,228,229,230,231,232,233,235,240,241,260,261,262,263,264,265,251,252,"
            // the second mail
            "204,205,206,207,208,209,210,220,222,223,224,225,230,235,240,241,251,252,"
            // smeClose
            "258,259");
}

TEST_F(EngineTest, VerifyUserTellsOfTheLastAddress) {
  std::string record = m_dir / "record.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", R"({"OTHER": ["250 known\r\n"]})", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  EXPECT_EQ(smeVerifyUser(0, "ann"), -58);
  ASSERT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0);
  EXPECT_EQ(smeVerifyUser(0, ""), -45);
  EXPECT_EQ(smeVerifyUser(0, "ann,bob"), 1);
  smeClose(0);
  std::string line = WaitForRecord(record, 1);
  EXPECT_NE(line.find(R"("VRFY ann", "VRFY bob", "QUIT")"), std::string::npos) << line;
}

TEST_F(EngineTest, StepByStepWhenNotDriven) {
  std::string record = m_dir / "record.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  ASSERT_EQ(smeIntegerParam(0, 9, 0), 0);
  EXPECT_EQ(smeSmtpConnect(0, kServer, "<ann@desk.example>", nullptr), 0);
  int result = 1;
  int steps = 0;
  while (result > 0 && steps < 10000) {
    result = smeStep(0);
    ++steps;
  }
  EXPECT_EQ(result, 0);
  EXPECT_GT(smeGetCounter(0, 2), 5);
  EXPECT_NE(smeGetCounter(0, 27), 0);
  smeIntegerParam(0, 9, 1);
  EXPECT_EQ(smeClose(0), 0);
}

}  // namespace
