// The engine's POP3 side and MIME reader against real peers: the scripted
// POP3 peer of tests/tools for what a real server never does on demand
// ("-ERR", a close mid-message, very long lines, hostile attachment
// names), and the full loop through postfix and dovecot: the engine sends
// a job by SMTP, postfix delivers it into a Maildir, dovecot serves that
// Maildir and the engine fetches the message and writes the attachment.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "smtpengine/smtpengine.h"
#include "tests/support/network.h"
#include "tests/support/tempdir.h"

using namespace mvn::smtpengine;
namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

constexpr const char* kServer = "127.0.0.1";
constexpr const char* kPassword = "s3cret-Pa55";

std::string Random(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  std::mt19937 random(seed);
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

std::string Base64(const std::string& data, std::size_t lineBytes = 57) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    unsigned a = static_cast<unsigned char>(data[i]);
    unsigned b = i + 1 < data.size() ? static_cast<unsigned char>(data[i + 1]) : 0;
    unsigned c = i + 2 < data.size() ? static_cast<unsigned char>(data[i + 2]) : 0;
    unsigned bits = (a << 16) | (b << 8) | c;
    out += kAlphabet[(bits >> 18) & 63];
    out += kAlphabet[(bits >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(bits >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kAlphabet[bits & 63] : '=';
    column += 3;
    if (column >= lineBytes) {
      out += "\r\n";
      column = 0;
    }
  }
  if (column) out += "\r\n";
  return out;
}

// A JSON string of the text (the peers' scripts).
std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Every regular file below the directory, as paths relative to it.
std::set<std::string> FilesBelow(const fs::path& dir) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), dir).string());
  return files;
}

class Pop3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
    ASSERT_EQ(smeAttach(1), 1);
    smeStringParam(0, 20, (m_dir / "engine.log").c_str());
    smeIntegerParam(0, 2, 3000);  // reply time-out
    smeIntegerParam(0, 12, 200);  // POP3 line waits
    fs::create_directory(m_dir / "box");
    m_box = m_dir / "box";
  }
  void TearDown() override { EngineRelease(); }

  std::string Log() { return ReadFile(m_dir / "engine.log"); }

  // The scripted peer on port 110 with the given messages.
  void StartPeer(const std::vector<std::string>& mails, const std::string& script = "{}") {
    std::vector<std::string> arguments = {"--port", "110", "--script", script, "--record", m_dir / "record.jsonl"};
    for (std::size_t i = 0; i < mails.size(); ++i) {
      std::string path = m_dir / ("mail" + std::to_string(i + 1) + ".eml");
      WriteFile(path, mails[i]);
      arguments.push_back("--mail");
      arguments.push_back(path);
    }
    m_peer = std::make_unique<mvntest::PeerProcess>("pop3_peer.py", arguments);
    ASSERT_TRUE(m_peer->ready()) << m_peer->output();
  }

  TempDir m_dir;
  std::string m_box;
  std::unique_ptr<mvntest::PeerProcess> m_peer;
};

const std::string kSimple =
    "From: <ann@desk.example>\r\nSubject: one\r\n\r\nfirst line\r\n..two dots\r\n.one dot\r\n+OK inside\r\n"
    "line 5\r\nline 6\r\n";

TEST_F(Pop3Test, CountSizeIdsTopAndDelete) {
  std::string second = "Subject: two\r\n\r\n" + std::string(3000, 'x') + "\r\n";
  StartPeer({kSimple, second, "Subject: three\r\n\r\nz\r\n"});
  // Nothing works before the log-on.
  EXPECT_EQ(smeGetEmailCount(0), -59);
  EXPECT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  EXPECT_EQ(smeGetEmailCount(0), 3);
  EXPECT_EQ(smeGetCounter(0, 17), 3);
  EXPECT_EQ(smeGetEmailSize(0, 2), static_cast<int>(second.size()));
  EXPECT_EQ(smeGetCounter(0, 18), static_cast<int>(second.size()));

  char ids[256];
  EXPECT_EQ(smeGetEmailUID(0, 0, ids, sizeof ids), 32) << Log();
  EXPECT_STREQ(ids, "+OK\r\n1 uid-1\r\n2 uid-2\r\n3 uid-3\r\n");
  EXPECT_EQ(smeGetEmailUID(0, 3, ids, sizeof ids), 13);
  EXPECT_STREQ(ids, "+OK 3 uid-3\r\n");

  // TOP: the status line, the headers and the lines asked for, with the
  // dots unstuffed; a line "+OK" inside is data.
  char top[512];
  int n = smeGetEmailLines(0, 1, 4, top, sizeof top);
  EXPECT_EQ(std::string(top, n),
            "+OK top follows\r\nFrom: <ann@desk.example>\r\nSubject: one\r\n\r\nfirst line\r\n..two dots\r\n"
            ".one dot\r\n+OK inside\r\n");
  EXPECT_EQ(smeGetCounter(0, 19), n);
  // A 128-byte buffer and a long message: exactly 128 bytes.
  char small[128];
  EXPECT_EQ(smeGetEmailLines(0, 2, 10, small, sizeof small), 128);
  EXPECT_EQ(std::string(small, 17), "+OK top follows\r\n");

  EXPECT_EQ(smeDelete(0, 3), 0);
  EXPECT_EQ(smeGetEmailCount(0), 2);
  EXPECT_EQ(smeClose(0), 0);
  // The password went to the server, never into the log.
  EXPECT_EQ(Log().find(kPassword), std::string::npos);
  EXPECT_NE(Log().find("S: PASS ********"), std::string::npos);
}

TEST_F(Pop3Test, ArgumentCodes) {
  char buffer[200];
  EXPECT_EQ(smePop3Connect(0, nullptr, "u", "p"), -50);
  EXPECT_EQ(smePop3Connect(0, kServer, nullptr, "p"), -61);
  EXPECT_EQ(smePop3Connect(0, kServer, "u", nullptr), -62);
  EXPECT_EQ(smePop3Connect(0, "a@b", "u", "p"), -56);
  EXPECT_EQ(smePop3Connect(0, kServer, "u", "p\r\nDELE 1"), -32);
  // The mode is 'P' now, without a connection.
  EXPECT_EQ(smeGetEmailCount(0), -44);
  StartPeer({kSimple});
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  EXPECT_EQ(smeGetEmailSize(0, 0), -64);
  EXPECT_EQ(smeDelete(0, -1), -64);
  EXPECT_EQ(smeGetEmailLines(0, 0, 1, buffer, sizeof buffer), -64);
  EXPECT_EQ(smeGetEmailLines(0, 1, 1, nullptr, sizeof buffer), -68);
  EXPECT_EQ(smeGetEmailLines(0, 1, 1, buffer, 127), -69);
  EXPECT_EQ(smeGetEmailUID(0, 1, nullptr, 200), -68);
  EXPECT_EQ(smeGetEmailUID(0, 1, buffer, 100), -69);
  EXPECT_EQ(smeGetEmailFile(0, 0, "m", m_box.c_str(), m_box.c_str()), -64);
  EXPECT_EQ(smeGetEmailFile(0, 1, nullptr, m_box.c_str(), m_box.c_str()), -65);
  EXPECT_EQ(smeGetEmailFile(0, 1, "m", nullptr, m_box.c_str()), -66);
  EXPECT_EQ(smeGetEmailFile(0, 1, "m", m_box.c_str(), nullptr), -70);
  EXPECT_EQ(smeGetEmailFile(0, 1, std::string(200, 'n').c_str(), m_box.c_str(), m_box.c_str()), -67);
  EXPECT_EQ(smeSendEmail(0, "<a@b.example>", nullptr, nullptr, nullptr, "x", nullptr), -58);
  // None of it reached the server: the connection still serves.
  EXPECT_EQ(smeGetEmailCount(0), 1);
  char text[64];
  smeErrorText(0, -59, text, sizeof text);
  EXPECT_STREQ(text, "POP3 function ONLY.");
  // A mail file name that is a symbolic link is never followed.
  WriteFile(m_dir / "target", "someone else's");
  ASSERT_EQ(symlink((m_dir / "target").c_str(), (m_box + "/link.txt").c_str()), 0);
  EXPECT_EQ(smeGetEmailFile(0, 1, "link.txt", m_box.c_str(), m_box.c_str()), -67);
  EXPECT_EQ(ReadFile(m_dir / "target"), "someone else's");
  EXPECT_TRUE(fs::is_symlink(m_box + "/link.txt"));
  EXPECT_EQ(smeClose(0), 0);
}

// The hostile message: traversal names plain, as an encoded word and with
// backslashes, a name that is the mail file's, a base64 line far longer
// than the line buffer, and text lines whose second piece starts with "."
// or the boundary.
TEST_F(Pop3Test, HostileAttachmentsStayContained) {
  std::string one = Random(1000, 1), two = Random(777, 2), three = Random(4000, 3), four = Random(58, 4);
  std::string dotTail = std::string(2175, 'a') + ".\r\n";
  std::string boundaryTail = std::string(2175, 'b') + "--XYZ--\r\n";
  std::string mail =
      "Received: from peer\r\n"
      "Subject: =?iso-8859-1?q?Caf=E9_menu?=\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed;\r\n boundary=\"XYZ\"\r\n"
      "\r\n"
      "preamble\r\n"
      "--XYZ\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n"
      "\r\n"
      ".leading dot\r\n"
      "+OK this is data\r\n"
      "caf=E9 soft=\r\n"
      "break\r\n" +
      dotTail + boundaryTail +
      "--XYZ\r\n"
      "Content-Type: application/octet-stream; name=\"../../evil.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"../../evil.bin\"\r\n"
      "\r\n" +
      Base64(one) +
      "--XYZ\r\n"
      "Content-Type: application/octet-stream;\r\n name=\"=?iso-8859-1?q?..=2F..=2Fescape.sh?=\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n" +
      Base64(two) +
      "--XYZ\r\n"
      "Content-Type: application/octet-stream; name=\"..\\..\\win.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n" +
      Base64(three, 6000) +
      "--XYZ\r\n"
      "Content-Type: application/octet-stream; name=\"mail.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n" +
      Base64(four) + "--XYZ--\r\n\r\n";
  StartPeer({mail});
  // A file of the mail's directory that must stay as it is.
  WriteFile(m_box + "/evil.bin", "keep me");
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  ASSERT_EQ(smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str()), 0) << Log();
  EXPECT_EQ(smeGetCounter(0, 22), 4);
  smeClose(0);

  EXPECT_EQ(FilesBelow(m_box),
            (std::set<std::string>{"mail.txt", "evil.bin", "evil_1.bin", "escape.sh", "win.txt", "mail_1.txt"}));
  EXPECT_EQ(ReadFile(m_box + "/evil.bin"), "keep me");
  EXPECT_EQ(ReadFile(m_box + "/evil_1.bin"), one);
  EXPECT_EQ(ReadFile(m_box + "/escape.sh"), two);
  EXPECT_EQ(ReadFile(m_box + "/win.txt"), three);
  EXPECT_EQ(ReadFile(m_box + "/mail_1.txt"), four);
  // Nothing outside the attachment directory.
  for (const fs::path& up : {m_dir.path(), m_dir.path().parent_path()})
    for (const char* name : {"evil.bin", "evil_1.bin", "escape.sh", "win.txt"}) EXPECT_FALSE(fs::exists(up / name));

  std::string saved = ReadFile(m_box + "/mail.txt");
  for (const std::string& part :
       {std::string("Received: from peer\r\n"), std::string("Subject: Caf\xC3\xA9 menu\r\n"),
        std::string(".leading dot\r\n+OK this is data\r\ncaf\xE9 softbreak\r\n"), dotTail, boundaryTail,
        "[Attachment saved to \"" + m_box + "/evil_1.bin\"]\r\n",
        "[Attachment saved to \"" + m_box + "/escape.sh\"]\r\n", "[Attachment saved to \"" + m_box + "/win.txt\"]\r\n",
        "[Attachment saved to \"" + m_box + "/mail_1.txt\"]\r\n"})
    EXPECT_NE(saved.find(part), std::string::npos) << part.substr(0, 80) << "\n---\n" << saved.substr(0, 600);
  EXPECT_EQ(saved.find("+OK message follows"), std::string::npos);
  EXPECT_EQ(saved.find("preamble"), std::string::npos);
}

TEST_F(Pop3Test, NumberedAttachmentsAndUnnamedParts) {
  std::string a = Random(300, 5), b = Random(301, 6), c = Random(10, 7);
  std::string mail =
      "Subject: n\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
      "--B\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      Base64(a) +
      "--B\r\nContent-Disposition: attachment; filename=b.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      Base64(b) + "--B\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64(c) + "--B--\r\n";
  StartPeer({mail});
  ASSERT_EQ(smeIntegerParam(0, 10, 1), 1);
  ASSERT_EQ(smeIntegerParam(0, 14, 1), 1);
  ASSERT_EQ(smeIntegerParam(0, 21, 1), 1);
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  ASSERT_EQ(smeGetEmailFile(0, 1, "m.txt", m_box.c_str(), (m_box + "/").c_str()), 0) << Log();
  smeClose(0);
  EXPECT_EQ(FilesBelow(m_box), (std::set<std::string>{"m.txt", "1-a.bin", "2-b.bin", "3-incoming.mai"}));
  EXPECT_EQ(ReadFile(m_box + "/1-a.bin"), a);
  EXPECT_EQ(ReadFile(m_box + "/2-b.bin"), b);
  EXPECT_EQ(ReadFile(m_box + "/3-incoming.mai"), c);
  // Parameter 21: no attachment lines in the mail file.
  EXPECT_EQ(ReadFile(m_box + "/m.txt").find("[Attachment saved"), std::string::npos);
}

TEST_F(Pop3Test, InlinePartsAndForwardedMessages) {
  std::string inner = Random(120, 9);
  std::string mail =
      "Subject: i\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
      "--B\r\nContent-Type: text/plain\r\nContent-Disposition: inline\r\n\r\ninline text\r\nmore text\r\n"
      "--B\r\nContent-Type: message/rfc822\r\nContent-Disposition: inline\r\n\r\n"
      "Subject: forwarded\r\nContent-Type: multipart/mixed; boundary=\"C\"\r\n\r\n"
      "--C\r\nContent-Type: application/octet-stream; name=\"inner.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      Base64(inner) + "--C--\r\n--B--\r\n";
  StartPeer({mail});
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  ASSERT_EQ(smeGetEmailFile(0, 1, "m.txt", m_box.c_str(), m_box.c_str()), 0) << Log();
  smeClose(0);
  // The inline text part keeps its text; the forwarded message's own
  // boundary is taken and its attachment saved.
  EXPECT_NE(ReadFile(m_box + "/m.txt").find("inline text\r\nmore text\r\n"), std::string::npos)
      << ReadFile(m_box + "/m.txt");
  EXPECT_EQ(ReadFile(m_box + "/inner.bin"), inner);
}

// Soft line breaks of every kind inside a quoted-printable line: the text
// after each break is kept, in the attachment and in the mail file alike.
TEST_F(Pop3Test, QuotedPrintableKeepsTheTextAfterASoftLineBreak) {
  std::string mail =
      "Subject: q\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
      "--B\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
      "text one=\rstill text one\r\ncaf=E9 soft=\r\nbreak\r\n"
      "--B\r\nContent-Type: text/plain; name=\"q.txt\"\r\nContent-Transfer-Encoding: quoted-printable\r\n"
      "Content-Disposition: attachment; filename=\"q.txt\"\r\n\r\n"
      "line one=\rstill line one\r\nline two=3D2\r\nsoft=\r\nend=\r\n"
      "--B--\r\n";
  StartPeer({mail});
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  ASSERT_EQ(smeGetEmailFile(0, 1, "m.txt", m_box.c_str(), m_box.c_str()), 0) << Log();
  smeClose(0);
  EXPECT_EQ(ReadFile(m_box + "/q.txt"), "line onestill line one\r\nline two=2\r\nsoftend");
  std::string saved = ReadFile(m_box + "/m.txt");
  EXPECT_NE(saved.find("text onestill text one\r\ncaf\xE9 softbreak\r\n"), std::string::npos) << saved;
}

struct Pop3Fault {
  const char* name;
  const char* script;
  int connect;    // smePop3Connect
  int operation;  // the operation of the case
  int which;      // 0 count, 1 size, 2 delete, 3 fetch, 4 UID, 5 TOP
};

class Pop3FaultTest : public Pop3Test, public ::testing::WithParamInterface<Pop3Fault> {};

TEST_P(Pop3FaultTest, IsAFailureAndLeavesNothingHalfDone) {
  const Pop3Fault& fault = GetParam();
  std::string mail =
      "Subject: f\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
      "--B\r\nContent-Type: text/plain\r\n\r\ntext\r\n--B\r\n"
      "Content-Type: application/octet-stream; name=\"job.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      Base64(Random(3000, 8)) + "--B--\r\n";
  StartPeer({mail}, fault.script);
  int connect = smePop3Connect(0, kServer, "fax", kPassword);
  ASSERT_EQ(connect, fault.connect) << Log();
  if (connect == 0) {
    char buffer[256];
    int result = 0;
    switch (fault.which) {
      case 0:
        result = smeGetEmailCount(0);
        break;
      case 1:
        result = smeGetEmailSize(0, 1);
        break;
      case 2:
        result = smeDelete(0, 1);
        break;
      case 3:
        result = smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str());
        break;
      case 4:
        result = smeGetEmailUID(0, 0, buffer, sizeof buffer);
        break;
      case 5:
        result = smeGetEmailLines(0, 1, 5, buffer, sizeof buffer);
        break;
    }
    EXPECT_EQ(result, fault.operation) << Log();
    if (result < 0) {
      // The failed dialogue closed the connection.
      EXPECT_EQ(smeGetCounter(0, 27), 0);
      EXPECT_EQ(smeGetEmailCount(0), -44);
    }
  }
  // A message that did not arrive whole is not kept, not even in part.
  EXPECT_TRUE(FilesBelow(m_box).empty()) << *FilesBelow(m_box).begin();
  EXPECT_EQ(Log().find(kPassword), std::string::npos);
  smeClose(0);
}

const Pop3Fault kPop3Faults[] = {
    {"ClosedAtGreeting", R"({"GREETING": ["close"]})", -1, 0, 0},
    {"GreetingRefused", R"({"GREETING": ["-ERR go away\r\n"]})", -63, 0, 0},
    {"UserRefused", R"({"USER": ["-ERR no such user\r\n"]})", -63, 0, 0},
    {"PasswordRefused", R"({"PASS": ["-ERR [AUTH] wrong\r\n"]})", -63, 0, 0},
    {"ClosedAtPassword", R"({"PASS": ["close"]})", -1, 0, 0},
    {"StatRefused", R"({"STAT": ["-ERR busy\r\n"]})", 0, -63, 0},
    {"ListRefused", R"({"LIST": ["-ERR no\r\n"]})", 0, -63, 1},
    {"DeleRefused", R"({"DELE": ["-ERR locked\r\n"]})", 0, -63, 2},
    {"RetrRefused", R"({"RETR": ["-ERR gone\r\n"]})", 0, -63, 3},
    {"ClosedInTheHeaders", R"({"RETR": [{"retr-cut": 60}]})", 0, -1, 3},
    {"ClosedInTheAttachment", R"({"RETR": [{"retr-cut": 1500}]})", 0, -1, 3},
    {"SilentAfterRetr", R"({"RETR": ["+OK here\r\nSubject: x\r\n", {"sleep": 6}]})", 0, -8, 3},
    {"UidlRefused", R"({"UIDL": ["-ERR no\r\n"]})", 0, -63, 4},
    {"UidlCut", R"({"UIDL": ["+OK\r\n1 a\r\n", "close"]})", 0, -1, 4},
    {"TopRefused", R"({"TOP": ["-ERR no\r\n"]})", 0, -63, 5},
    {"StatusLineLongerThanTheBuffer", R"({"STAT": ["+OK 1 ", {"xs": 5000}, "\r\n"]})", 0, 1, 0},
};

INSTANTIATE_TEST_SUITE_P(Peer, Pop3FaultTest, ::testing::ValuesIn(kPop3Faults),
                         [](const ::testing::TestParamInfo<Pop3Fault>& info) { return std::string(info.param.name); });

// A fetch is bounded as a whole: a server that sends a line now and then
// cannot hold it past its total time, and a message cannot grow far past
// the size the server announced. Either ends with its code and removes
// what the fetch wrote.
TEST_F(Pop3Test, AFetchEndsPastItsTimeAndPastTheAnnouncedSize) {
  const std::string head =
      "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\n"
      "Content-Type: application/octet-stream; name=\"big.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  const std::string base64Line = std::string(76, 'Q') + "\r\n";
  struct Case {
    const char* name;
    std::string retr;  // the RETR answer's first text
    double every;      // seconds between the endless lines
    int expected;
    int upToSeconds;
  };
  const Case cases[] = {
      {"a line every 0.3 s, no size", "+OK message follows\r\n" + head, 0.3, -8, 20},
      {"endless base64 for 100 octets", "+OK 100 octets\r\n" + head, 0, -31, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char every[32];
    std::snprintf(every, sizeof every, "%g", c.every);
    std::string script = R"({"RETR": [)" + JsonText(c.retr) +
                         R"(, {"repeat": )" + JsonText(base64Line) +
                         R"(, "every": )" + every + "}]}";
    StartPeer({"Subject: x\r\n\r\nunused\r\n"}, script);
    smeIntegerParam(0, 2, 3000);
    ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
    smeIntegerParam(0, 2, 500);  // each line within 0.5 s; the whole fetch within 5 s
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str()), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(c.upToSeconds));
    EXPECT_TRUE(FilesBelow(m_box).empty()) << *FilesBelow(m_box).begin();
    smeClose(0);
    m_peer.reset();
  }
}

// Many parts of one name: each gets the next free name at once, also past
// a thousand, stepping over a file that was there before.
TEST_F(Pop3Test, PartsOfOneNameEachGetTheirOwnFile) {
  std::string mail = "Subject: m\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n";
  const int parts = 1100;
  for (int i = 0; i < parts; ++i)
    mail += "--B\r\nContent-Type: application/octet-stream; name=\"same.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n" +
            Base64("part " + std::to_string(i));
  mail += "--B--\r\n";
  StartPeer({mail});
  WriteFile(m_box + "/same_5.bin", "there before");
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  ASSERT_EQ(smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str()), 0) << Log().substr(0, 2000);
  EXPECT_EQ(smeGetCounter(0, 22), parts);
  smeClose(0);
  EXPECT_EQ(FilesBelow(m_box).size(), static_cast<std::size_t>(parts + 2));
  EXPECT_EQ(ReadFile(m_box + "/same.bin"), "part 0");
  EXPECT_EQ(ReadFile(m_box + "/same_4.bin"), "part 4");
  EXPECT_EQ(ReadFile(m_box + "/same_5.bin"), "there before");
  EXPECT_EQ(ReadFile(m_box + "/same_6.bin"), "part 5");
  EXPECT_EQ(ReadFile(m_box + "/same_" + std::to_string(parts) + ".bin"), "part " + std::to_string(parts - 1));
}

// A decoded subject longer than a line's room keeps its line end, so the
// next header stays a header; an attachment folder that leaves no room for
// a file name is refused before anything is fetched.
TEST_F(Pop3Test, LongSubjectsKeepTheirLineEndAndLongFoldersAreRefused) {
  std::string latin(1200, '\xE9');
  std::string mail = "Subject: =?iso-8859-1?b?" + Base64(latin, 100000).substr(0, Base64(latin, 100000).size() - 2) +
                     "?=\r\nTo: <fax@server.example>\r\n\r\nbody\r\n";
  StartPeer({mail, "Subject: two\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                   "--B\r\nContent-Type: application/octet-stream; name=\"a-long-attachment-name.bin\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n" + Base64("payload") + "--B--\r\n"});
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log();
  ASSERT_EQ(smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str()), 0) << Log();
  std::string saved = ReadFile(m_box + "/mail.txt");
  std::size_t to = saved.find("To: <fax@server.example>\r\n");
  ASSERT_NE(to, std::string::npos) << saved.substr(0, 200);
  EXPECT_EQ(saved.substr(to - 2, 2), "\r\n") << "the subject ends its own line";
  EXPECT_EQ(saved.rfind("Subject: \xC3\xA9\xC3\xA9", 0), 0u);

  // Folders of 118 characters leave room for a name of 8; longer ones none.
  std::string folder118 = m_box + "/" + std::string(117 - m_box.size(), 'd');
  std::string folder119 = folder118 + "e";
  ASSERT_EQ(folder118.size(), 118u);
  fs::create_directories(folder118);
  fs::create_directories(folder119);
  EXPECT_EQ(smeGetEmailFile(0, 2, "two.txt", m_box.c_str(), folder119.c_str()), -67);
  EXPECT_FALSE(fs::exists(m_box + "/two.txt"));
  EXPECT_TRUE(fs::is_empty(folder119));
  ASSERT_EQ(smeGetEmailFile(0, 2, "two.txt", m_box.c_str(), folder118.c_str()), 0) << Log();
  ASSERT_EQ(FilesBelow(folder118).size(), 1u);
  EXPECT_EQ(ReadFile(folder118 + "/" + *FilesBelow(folder118).begin()), "payload");
  smeClose(0);
}

TEST_F(Pop3Test, RefusedRetrWritesNothingAndSaysWhy) {
  StartPeer({kSimple}, R"({"RETR": ["-ERR message is locked\r\n"]})");
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0);
  EXPECT_EQ(smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str()), -63);
  char text[128];
  smeErrorText(0, -63, text, sizeof text);
  EXPECT_STREQ(text, "POP3 returned error. -ERR message is locked\r\n");
  EXPECT_FALSE(fs::exists(m_box + "/mail.txt"));
}

// The full loop through real servers (root only: postfix and dovecot
// refuse other users).
TEST_F(Pop3Test, FullLoopThroughPostfixAndDovecot) {
  if (geteuid() != 0) GTEST_SKIP() << "postfix and dovecot run as root only";
  if (!fs::exists("/usr/lib/postfix/sbin/master")) GTEST_SKIP() << "postfix is not installed";
  if (!fs::exists("/usr/sbin/dovecot")) GTEST_SKIP() << "dovecot is not installed";
  TempDir pf, dv;
  mvntest::PeerProcess postfix("postfix_instance.py", {"--dir", pf.str(), "--port", "25", "--mailbox", "fax"});
  ASSERT_TRUE(postfix.ready()) << postfix.output();

  std::string job = Random(300000, 11);
  std::string attachment = m_dir / "ATTACH.XXX";
  WriteFile(attachment, job);
  ASSERT_EQ(smeSmtpConnect(0, kServer, "Ann Smith <ann@desk.example>", nullptr), 0) << Log();
  ASSERT_EQ(smeSendEmail(0, "<fax@server.example>", nullptr, nullptr, "MVN::SEND", "Hello", attachment.c_str()), 0)
      << Log();
  EXPECT_EQ(smeClose(0), 0);

  fs::path maildir = pf.path() / "mail" / "server.example" / "fax";
  bool delivered = false;
  for (int i = 0; i < 300 && !delivered; ++i) {
    if (fs::exists(maildir / "new") && !fs::is_empty(maildir / "new"))
      delivered = true;
    else
      usleep(100000);
  }
  ASSERT_TRUE(delivered) << ReadFile(pf / "maillog");

  mvntest::PeerProcess dovecot("dovecot_instance.py", {"--dir", dv.str(), "--maildir", maildir.string(), "--user",
                                                       "fax", "--password", kPassword, "--port", "110"});
  ASSERT_TRUE(dovecot.ready()) << dovecot.output();
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0) << Log() << ReadFile(dv / "dovecot.log");
  ASSERT_EQ(smeGetEmailCount(0), 1);
  EXPECT_GT(smeGetEmailSize(0, 1), 300000 * 4 / 3);
  char ids[256];
  EXPECT_GT(smeGetEmailUID(0, 1, ids, sizeof ids), 6);
  EXPECT_EQ(std::string(ids).rfind("+OK 1 ", 0), 0u) << ids;
  ASSERT_EQ(smeGetEmailFile(0, 1, "mail.txt", m_box.c_str(), m_box.c_str()), 0) << Log();
  EXPECT_EQ(FilesBelow(m_box), (std::set<std::string>{"mail.txt", "ATTACH.XXX"}));
  EXPECT_TRUE(ReadFile(m_box + "/ATTACH.XXX") == job) << "the attachment differs from the job";
  std::string saved = ReadFile(m_box + "/mail.txt");
  EXPECT_NE(saved.find("Subject: MVN::SEND\r\n"), std::string::npos) << saved.substr(0, 800);
  EXPECT_NE(saved.find("Hello\r\n"), std::string::npos);
  EXPECT_NE(saved.find("[Attachment saved to \"" + m_box + "/ATTACH.XXX\"]\r\n"), std::string::npos);
  EXPECT_EQ(smeDelete(0, 1), 0);
  EXPECT_EQ(smeClose(0), 0);
  // The deletion took effect at QUIT.
  ASSERT_EQ(smePop3Connect(0, kServer, "fax", kPassword), 0);
  EXPECT_EQ(smeGetEmailCount(0), 0);
  // A wrong password is refused (after the server's own delay).
  smeClose(0);
  smeIntegerParam(0, 2, 15000);
  EXPECT_EQ(smePop3Connect(0, kServer, "fax", "wrong"), -63);
  EXPECT_EQ(Log().find(kPassword), std::string::npos);
}

}  // namespace
