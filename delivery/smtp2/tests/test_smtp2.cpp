#include <atomic>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recordingconfig.h"
#include "delivery/smtp2/smtp2module.h"
#include "delivery/smtp2/tests/recording.h"
#include "lib/stringlist.h"
#include "tests/support/network.h"
#include "tests/support/peer.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using mvntest::PeerProcess;
using mvntest::ReadFile;
using mvntest::RunTool;
using mvntest::TempDir;
using mvntest::WriteFile;

constexpr const char* kTo = "fax@server.example";
constexpr const char* kFrom = "alice@desk.example";

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

// Base64 of the standard alphabet, for decoding what the peer recorded.
std::string DecodeBase64(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    auto at = alphabet.find(c);
    if (at == std::string::npos) continue;
    value = (value << 6) | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((value >> bits) & 0xFF));
    }
  }
  return out;
}

// The temporary message files ("MVN*.TMP") in the user's temporary directory.
std::vector<std::string> MessageFiles() {
  char directory[MAX_PATH];
  GetTempPathA(sizeof directory, directory);
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("MVN", 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

class Smtp2 : public ::testing::Test {
 protected:
  void SetUp() override {
    mvntest::Recorder().raised.clear();
    mvn::delivery::smtp2::SetSessionTimeout(SMTP2_TIMEOUT);
    m_record = mvn::delivery::smtp2::Initialize(nullptr);
    m_record->m_smtpServer.Assign("127.0.0.1");
    m_record->m_sendTo.Assign(kTo);
    m_record->m_sentFrom.Assign(kFrom);
  }
  void TearDown() override {
    mvn::delivery::smtp2::Terminate(m_record);
    mvn::delivery::smtp2::SetSessionTimeout(SMTP2_TIMEOUT);
  }

  std::string Job(const std::string& data, const std::string& name = "job.bin") {
    std::string path = m_dir / name;
    WriteFile(path, data);
    return path;
  }

  // check_mail.py on a received mail: empty on success, else its complaint.
  std::string CheckMail(const std::string& mailPath, const std::string& jobPath, std::string* boundary = nullptr) {
    std::string output;
    std::vector<std::string> args = {mailPath, jobPath, "--to", m_record->m_sendTo.Text(), "--from",
                                     m_record->m_sentFrom.Text(), "--reply-to", m_record->m_replyTo.Text(),
                                     "--sender-defaults", m_record->m_senderDefaults ? "yes" : "no"};
    int code = RunTool("check_mail.py", args, &output);
    if (code != 0) return output.empty() ? "check_mail.py failed" : output;
    auto at = output.find("\"boundary\": \"");
    if (boundary && at != std::string::npos) *boundary = output.substr(at + 13, 36);
    return "";
  }

  void RequireNetwork() {
    if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  }

  TempDir m_dir;
  SMTP2RECORD* m_record = nullptr;
};

TEST(Smtp2Base64, LinesAndCapacity) {
  struct Case {
    std::string input;
    DWORD capacity;
    bool consumed;
    std::string output;
  } cases[] = {
      {"", 96, true, ""},
      {"M", 96, true, "TQ"},
      {"Ma", 96, true, "TWE"},
      {"Man", 96, true, "TWFu"},
      {std::string("\xff\xfe\xfd\x00", 4), 96, true, "//79AA"},
      {"Man Man", 8, false, "TWFuIE1h"},  // room for two groups only
  };
  for (const Case& c : cases) {
    char out[100];
    DWORD capacity = c.capacity;
    EXPECT_EQ(Base64Encode(reinterpret_cast<const BYTE*>(c.input.data()), static_cast<DWORD>(c.input.size()), out,
                           &capacity),
              c.consumed)
        << c.output;
    EXPECT_EQ(std::string(out, capacity), c.output);
  }
  std::string full(48, '\x5a');
  char out[97];
  DWORD capacity = 96;
  EXPECT_TRUE(Base64Encode(reinterpret_cast<const BYTE*>(full.data()), 48, out, &capacity));
  EXPECT_EQ(capacity, 64u);
  EXPECT_EQ(out[64], '\0');
}

TEST(Smtp2Boundary, NewForAnEmptyTextOnly) {
  CTEXTBUF64 first, second, kept("given");
  ASSERT_TRUE(MakeBoundary(&first));
  ASSERT_TRUE(MakeBoundary(&second));
  EXPECT_EQ(first.Length(), 36u);
  EXPECT_STRNE(first.Text(), second.Text());
  EXPECT_TRUE(MakeBoundary(&kept));
  EXPECT_STREQ(kept.Text(), "given");
}

TEST_F(Smtp2, MessageLayoutForJobSizes) {
  m_record->m_replyTo.Assign("");
  const std::size_t sizes[] = {0, 1, 2, 3, 47, 48, 49, 3071, 3072, 3073, 3072 * 5, 2 * 1024 * 1024 + 17};
  int index = 0;
  for (std::size_t size : sizes) {
    m_record->m_senderDefaults = (index % 2) == 1;
    std::string job = Job(RandomBytes(size, static_cast<unsigned>(size)), "job" + std::to_string(index) + ".bin");
    std::string mail = m_dir / ("mail" + std::to_string(index++) + ".eml");
    CBUFFEREDWRITER writer(mail.c_str());
    ASSERT_TRUE(writer.Open(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    CTEXTBUF64 boundary;
    ASSERT_TRUE(MakeBoundary(&boundary));
    ASSERT_TRUE(mvn::delivery::smtp2::WriteMessage(m_record, job.c_str(), &writer, boundary.Text())) << size;
    EXPECT_EQ(CheckMail(mail, job), "") << "job of " << size << " bytes";
  }
  // 48 bytes make one full line; 49 a second line of two characters and "==".
  std::string mail = ReadFile(m_dir / "mail6.eml");
  EXPECT_NE(mail.find("\r\n\r\n", mail.find("base64")), std::string::npos);
  std::string tail = mail.substr(mail.rfind("base64\r\n\r\n") + 10);
  EXPECT_EQ(tail.substr(64, 2), "\r\n");
  EXPECT_EQ(tail.substr(68, 4), std::string("==\r\n")) << tail.substr(0, 80);
  EXPECT_EQ(tail.substr(72, 2), "--") << tail.substr(0, 80);
}

TEST_F(Smtp2, UnreadableJobFailsAndLeavesNoMessageFile) {
  EXPECT_FALSE(mvn::delivery::smtp2::SendFile(m_record, (m_dir / "missing.job").c_str()));
  EXPECT_TRUE(MessageFiles().empty());
  const char* reason = mvn::delivery::smtp2::GetLastResult(m_record);
  ASSERT_NE(reason, nullptr);
  EXPECT_EQ(std::string(reason).rfind("cannot write the mail of the job " + m_dir / "missing.job" + " into ", 0), 0u)
      << reason;
  EXPECT_NE(std::string(reason).find(": The system cannot find the file specified."), std::string::npos) << reason;
}

TEST_F(Smtp2, RefusedConnectionReportsIt) {
  RequireNetwork();
  // Nobody listens on port 25 of this namespace.
  std::string job = Job("data");
  EXPECT_FALSE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
  ASSERT_FALSE(mvntest::Recorder().raised.empty());
  const mvntest::Raised& report = mvntest::Recorder().raised.back();
  EXPECT_EQ(report.id, NOTFIY_WINSOCKERROR);
  EXPECT_EQ(report.p1, "WSAConnect");
  EXPECT_EQ(report.p2, "WSAECONNREFUSED");
  ASSERT_NE(mvn::delivery::smtp2::GetLastResult(m_record), nullptr);
  EXPECT_STREQ(mvn::delivery::smtp2::GetLastResult(m_record),
               "cannot connect to port 25 of the mail server 127.0.0.1: WSAConnect: Connection refused "
               "(WSAECONNREFUSED)");
  EXPECT_TRUE(MessageFiles().empty());
}

// ---------------------------------------------------------------------------
// The scripted peer.

struct PeerCase {
  const char* name;
  const char* script;  // JSON
  bool delivered;
  std::vector<std::string> commands;  // what the peer saw, in order
};

std::string Helo() { return std::string("HELO ") + kFrom; }
std::string MailFrom() { return std::string("MAIL FROM: <") + kFrom + ">"; }
std::string RcptTo() { return std::string("RCPT TO: <") + kTo + ">"; }

TEST_F(Smtp2, VerdictsAgainstTheScriptedPeer) {
  RequireNetwork();
  const std::vector<std::string> all = {Helo(), MailFrom(), RcptTo(), "DATA", "QUIT"};
  const PeerCase cases[] = {
      {"ordinary", "{}", true, all},
      {"greeting 554", R"({"GREETING": ["554 go away\r\n"]})", false, {}},
      {"greeting 421", R"({"GREETING": ["421 busy\r\n"]})", false, {}},
      {"HELO 501", R"({"HELO": ["501 bad\r\n"]})", false, {Helo(), "QUIT"}},
      {"MAIL 451", R"({"MAIL": ["451 later\r\n"]})", false, {Helo(), MailFrom(), "QUIT"}},
      {"RCPT 550", R"({"RCPT": ["550 no such user\r\n"]})", false, {Helo(), MailFrom(), RcptTo(), "QUIT"}},
      {"DATA 554", R"({"DATA": ["554 no\r\n"]})", false, {Helo(), MailFrom(), RcptTo(), "DATA", "QUIT"}},
      {"dot 552", R"({"DOT": ["552 too big\r\n"]})", false, all},
      {"multi-line and split replies",
       R"({"GREETING": ["220-first\r\n", {"sleep": 0.1}, "220-second\r\n220 ", {"sleep": 0.1}, "last\r\n"],
           "HELO": ["250-hello\r\n250-SIZE\r\n250 HELP\r\n"], "MAIL": ["250\r\n"],
           "RCPT": ["2", {"sleep": 0.1}, "50 ok\r", {"sleep": 0.1}, "\n"]})",
       true, all},
      {"greeting without a code", R"({"GREETING": ["welcome to the mail host\r\n"]})", true, all},
      {"HELO reply without a code", R"({"HELO": ["fine\r\n"]})", false, {Helo(), "QUIT"}},
      {"RCPT answered 354: out of step", R"({"RCPT": ["354 go ahead\r\n"]})", false,
       {Helo(), MailFrom(), RcptTo(), "QUIT"}},
      {"DATA answered 250: no body follows", R"({"DATA": ["250 ok\r\n"]})", false,
       {Helo(), MailFrom(), RcptTo(), "DATA", "QUIT"}},
      {"two replies to one command", R"({"HELO": ["250 hello\r\n250 again\r\n"]})", false, {Helo(), "QUIT"}},
      {"1xx is no completion", R"({"MAIL": ["150 maybe\r\n"]})", false, {Helo(), MailFrom(), "QUIT"}},
      {"greeting 354", R"({"GREETING": ["354 what\r\n"]})", false, {}},
      {"close after the greeting", R"({"HELO": ["close"]})", false, {Helo()}},
      {"close after RCPT", R"({"RCPT": ["close"]})", false, {Helo(), MailFrom(), RcptTo()}},
      {"close after the dot", R"({"DOT": ["close"]})", false, {Helo(), MailFrom(), RcptTo(), "DATA"}},
      {"close on QUIT after delivery", R"({"QUIT": ["close"]})", true, all},
      {"QUIT refused after delivery", R"({"QUIT": ["500 what\r\n"]})", true, all},
  };
  std::string job = Job(RandomBytes(5000, 7));
  int index = 0;
  for (const PeerCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string record = m_dir / ("peer" + std::to_string(index++) + ".jsonl");
    {
      PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", c.script, "--record", record});
      ASSERT_TRUE(peer.ready()) << peer.output();
      EXPECT_EQ(mvn::delivery::smtp2::SendFile(m_record, job.c_str()), c.delivered);
      // The peer writes its record when the connection has ended.
      for (int i = 0; i < 200 && ReadFile(record).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string line = ReadFile(record);
    ASSERT_FALSE(line.empty());
    std::vector<std::string> commands;
    auto start = line.find("\"commands\": [") + 13;
    auto end = line.find("]", start);
    std::string list = line.substr(start, end - start);
    for (std::size_t at = list.find('"'); at != std::string::npos; at = list.find('"', list.find('"', at + 1) + 1))
      commands.push_back(list.substr(at + 1, list.find('"', at + 1) - at - 1));
    EXPECT_EQ(commands, c.commands);
    if (c.delivered) {
      auto m = line.find("\"message\": \"") + 12;
      std::string mail = m_dir / "peer.eml";
      WriteFile(mail, DecodeBase64(line.substr(m, line.find('"', m) - m)));
      EXPECT_EQ(CheckMail(mail, job), "");
    }
    EXPECT_TRUE(MessageFiles().empty());
  }
}

TEST_F(Smtp2, SilentServerEndsTheSessionAfterTheTimeout) {
  RequireNetwork();
  mvn::delivery::smtp2::SetSessionTimeout(400);
  std::string record = m_dir / "silent.jsonl";
  PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", R"({"MAIL": ["silent"]})", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  std::string job = Job("x");
  // While the session waits, the message file exists, readable by its owner only.
  // The watcher looks until it has seen the file or the send is over, so a
  // slow machine cannot make it give up early.
  std::vector<fs::perms> modes;
  std::atomic<bool> sent{false};
  std::thread watcher([&] {
    while (modes.empty() && !sent) {
      for (const std::string& file : MessageFiles()) modes.push_back(fs::status(file).permissions());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
  auto waited = std::chrono::steady_clock::now() - start;
  sent = true;
  watcher.join();
  EXPECT_GE(waited, std::chrono::milliseconds(390));
  EXPECT_LT(waited, std::chrono::seconds(10));
  ASSERT_EQ(modes.size(), 1u);
  EXPECT_EQ(modes[0], fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(MessageFiles().empty());
}

// ---------------------------------------------------------------------------
// The real server.

class Smtp2Server : public Smtp2 {
 protected:
  std::string Stored(int n, const char* suffix) { return m_store / (std::to_string(n) + suffix); }
  TempDir m_store;
};

TEST_F(Smtp2Server, JobsArriveWholeWithAFreshBoundaryEachTime) {
  RequireNetwork();
  PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", m_store.str()});
  ASSERT_TRUE(server.ready()) << server.output();
  m_record->m_replyTo.Assign("replies@desk.example");
  m_record->m_senderDefaults = true;
  std::string log = m_dir / "session.log";
  m_record->m_log.Set(log.c_str());

  const std::size_t sizes[] = {0, 1, 47, 48, 49, 3072 * 3, 3 * 1024 * 1024 + 5};
  std::vector<std::string> boundaries;
  int n = 0;
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string job = Job(RandomBytes(size, static_cast<unsigned>(size) + 1), "job" + std::to_string(++n));
    ASSERT_TRUE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
    EXPECT_TRUE(MessageFiles().empty());
    ASSERT_TRUE(fs::exists(Stored(n, ".json")));
    std::string info = ReadFile(Stored(n, ".json"));
    EXPECT_NE(info.find(std::string("\"helo\": \"") + kFrom + "\""), std::string::npos) << info;
    EXPECT_NE(info.find(std::string("\"mail_from\": \"") + kFrom + "\""), std::string::npos) << info;
    EXPECT_NE(info.find(std::string("\"rcpt_tos\": [\"") + kTo + "\"]"), std::string::npos) << info;
    std::string boundary;
    EXPECT_EQ(CheckMail(Stored(n, ".eml"), job, &boundary), "");
    boundaries.push_back(boundary);
  }
  std::set<std::string> distinct(boundaries.begin(), boundaries.end());
  EXPECT_EQ(distinct.size(), boundaries.size());

  // The log holds the last send's dialogue only.
  std::string text = ReadFile(log);
  EXPECT_EQ(text.rfind("S: 220", 0), 0u) << text.substr(0, 80);
  EXPECT_NE(text.find(std::string("C: HELO ") + kFrom + "\r\n"), std::string::npos);
  EXPECT_NE(text.find(std::string("C: MAIL FROM: <") + kFrom + ">\r\n"), std::string::npos);
  EXPECT_NE(text.find("C: DATA\r\nS: 354"), std::string::npos);
  EXPECT_NE(text.find("C: QUIT\r\nS: 221"), std::string::npos);
  std::size_t greetings = 0;
  for (std::size_t at = text.find("S: 220"); at != std::string::npos; at = text.find("S: 220", at + 1)) ++greetings;
  EXPECT_EQ(greetings, 1u);
}

TEST_F(Smtp2Server, RefusedRecipientDeliversNothing) {
  RequireNetwork();
  PeerProcess server("aiosmtpd_store.py",
                     {"--port", "25", "--store", m_store.str(), "--fail", "RCPT:550 5.1.1 no such user"});
  ASSERT_TRUE(server.ready()) << server.output();
  std::string job = Job("payload");
  EXPECT_FALSE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
  EXPECT_FALSE(fs::exists(Stored(1, ".eml")));
  EXPECT_TRUE(MessageFiles().empty());
}

// ---------------------------------------------------------------------------
// Hostile peers: replies that never end, and what the peer may see.

// What the scripted peer recorded of one connection.
struct PeerSaw {
  std::vector<std::string> commands;
  std::string message;  // the data lines, decoded
};

PeerSaw ParseRecord(const std::string& line) {
  PeerSaw saw;
  auto start = line.find("\"commands\": [") + 13;
  auto end = line.find("]", start);
  std::string list = line.substr(start, end - start);
  for (std::size_t at = list.find('"'); at != std::string::npos; at = list.find('"', list.find('"', at + 1) + 1))
    saw.commands.push_back(list.substr(at + 1, list.find('"', at + 1) - at - 1));
  auto m = line.find("\"message\": \"") + 12;
  saw.message = DecodeBase64(line.substr(m, line.find('"', m) - m));
  return saw;
}

TEST_F(Smtp2, RepliesThatNeverEndAreCutOffAtTheBound) {
  RequireNetwork();
  const DWORD bound = 1000;
  mvn::delivery::smtp2::SetSessionTimeout(bound);
  std::string bigLine(1024, 'x');
  struct Case {
    const char* name;
    std::string script;
    std::vector<std::string> commands;
  } cases[] = {
      {"continuation lines for ever", R"({"GREETING": [{"repeat": "220-more\r\n"}]})", {}},
      {"continuation lines for ever after RCPT", R"({"RCPT": [{"repeat": "250-more\r\n"}]})",
       {Helo(), MailFrom(), RcptTo()}},
      {"one byte every 200 ms", R"({"GREETING": [{"repeat": "2", "every": 0.2}]})", {}},
      {"one byte every 200 ms after DATA", R"({"DATA": ["3", {"repeat": "5", "every": 0.2}]})",
       {Helo(), MailFrom(), RcptTo(), "DATA"}},
      {"a 2 MB line", R"({"HELO": [{"repeat": ")" + bigLine + R"(", "count": 2048}, "\r\n"]})", {Helo()}},
  };
  std::string job = Job(RandomBytes(3000, 11));
  std::string log = m_dir / "session.log";
  m_record->m_log.Set(log.c_str());
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string record = m_dir / ("bound" + std::to_string(index++) + ".jsonl");
    auto start = std::chrono::steady_clock::now();
    {
      PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", c.script, "--record", record});
      ASSERT_TRUE(peer.ready()) << peer.output();
      start = std::chrono::steady_clock::now();
      EXPECT_FALSE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
      auto waited = std::chrono::steady_clock::now() - start;
      // One bound for the reply (plus slack for a loaded machine), not one
      // per receive.
      EXPECT_LT(waited, std::chrono::milliseconds(bound + 4000));
      for (int i = 0; i < 300 && ReadFile(record).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ParseRecord(ReadFile(record)).commands, c.commands) << "no QUIT after a broken reply";
    EXPECT_TRUE(MessageFiles().empty());
    // The log: the commands and one bounded entry per reply.
    std::string text = ReadFile(log);
    EXPECT_LT(text.size(), 8u * 1024) << text.substr(0, 200);
    std::size_t entries = 0;
    for (std::size_t at = text.find("S: "); at != std::string::npos; at = text.find("S: ", at + 1)) ++entries;
    EXPECT_EQ(entries, c.commands.size() + 1) << text.substr(0, 400);
  }
}

TEST_F(Smtp2, TheLogHoldsOneEntryPerReplyHoweverItArrives) {
  RequireNetwork();
  std::string record = m_dir / "split.jsonl";
  PeerProcess peer("smtp_peer.py",
                   {"--port", "25", "--script",
                    R"({"GREETING": ["220-first\r\n", {"sleep": 0.1}, "220 last\r\n"],
                        "RCPT": ["2", {"sleep": 0.1}, "50 ok\r", {"sleep": 0.1}, "\n"]})",
                    "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  std::string log = m_dir / "session.log";
  m_record->m_log.Set(log.c_str());
  std::string job = Job("x");
  ASSERT_TRUE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
  EXPECT_EQ(ReadFile(log),
            "S: 220-first\r\n220 last\r\n"
            "C: HELO alice@desk.example\r\n"
            "S: 250 hello\r\n"
            "C: MAIL FROM: <alice@desk.example>\r\n"
            "S: 250 sender ok\r\n"
            "C: RCPT TO: <fax@server.example>\r\n"
            "S: 250 ok\r\n"
            "C: DATA\r\n"
            "S: 354 end with <CRLF>.<CRLF>\r\n"
            "S: 250 queued\r\n"
            "C: QUIT\r\n"
            "S: 221 bye\r\n");
}

TEST_F(Smtp2, EveryLineBeginningWithADotIsStuffed) {
  std::string received;
  mvntest::TcpPeer peer([&](mvntest::PeerConnection& connection) { received = connection.ReceiveUntilClose(); });
  std::string message = m_dir / "message.eml";
  const std::string lines = ".first\r\nplain\r\n.\r\n..two\r\nMAIL FROM: <x@y>\r\n.\r\n";
  WriteFile(message, lines);
  {
    CSOCKET socket;
    socket.SetBlocking(true);
    socket.SetTimeout(5000);
    ASSERT_TRUE(socket.Connect(inet_addr("127.0.0.1"), peer.port()));
    EXPECT_TRUE(mvn::delivery::smtp2::SendMessageBody(m_record, &socket, message.c_str(), lines.size()));
  }
  peer.Join();
  EXPECT_EQ(received, "..first\r\nplain\r\n..\r\n...two\r\nMAIL FROM: <x@y>\r\n..\r\n\r\n.\r\n");
}

// A setting that reaches the module with a line break in it, through an
// expanded variable or straight from the INI file.
struct Injected {
  const char* key;
  const char* clean;
};
constexpr Injected kInjected[] = {
    {"SMTPServer", "127.0.0.1"},       {"SMTPSendTo", "fax@server.example"},
    {"SMTPSentFrom", "alice@desk.example"}, {"SMTPReplyTo", "replies@desk.example"},
    {"YourName", "Alice"},             {"YourEmailAddress", "alice@desk.example"},
    {"IdentityToken", "OM9Z"},
};
const std::string kForged = "RCPT TO:<evil@attacker.example>";

class Smtp2Injection : public Smtp2 {
 protected:
  // Initialises the record from an INI whose key holds value, written as it
  // is (viaVariable: the key holds %EVIL% and the variable EVIL the value).
  void Load(const Injected& setting, const std::string& value, bool viaVariable) {
    std::string ini = "[MVNCSEND]\r\n";
    for (const Injected& other : kInjected) {
      std::string text = other.key == setting.key ? (viaVariable ? std::string("%EVIL%") : value) : other.clean;
      ini += std::string(other.key) + "=" + text + "\r\n";
    }
    WriteFile(m_dir / "mvncsend.ini", ini);
    CSTRINGLIST variables;
    variables.Add(("EVIL=" + value).c_str());
    deliverytest::RecordingConfig config((m_dir / "mvncsend.ini").c_str(), "MVNCSEND");
    if (viaVariable) config.SetVariables(&variables);
    mvn::delivery::smtp2::Terminate(m_record);
    m_record = mvn::delivery::smtp2::Initialize(&config);
  }
};

TEST_F(Smtp2Injection, LineBreaksInSettingsNeverReachTheWire) {
  RequireNetwork();
  const std::pair<const char*, std::string> breaks[] = {
      {"CR", "\r"}, {"LF", "\n"}, {"CR LF", "\r\n"}, {"NUL", std::string(1, '\0')}};
  std::string job = Job("!MVN::MVN\r\n!MVN-END\r\n");
  std::string record = m_dir / "peer.jsonl";
  PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", "{}", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  std::size_t connections = 0;
  for (const Injected& setting : kInjected) {
    for (const auto& [breakName, lineBreak] : breaks) {
      for (bool viaVariable : {true, false}) {
        SCOPED_TRACE(std::string(setting.key) + " with " + breakName + (viaVariable ? " through %VAR%" : " in the INI"));
        Load(setting, std::string(setting.clean) + lineBreak + kForged, viaVariable);
        bool sent = mvn::delivery::smtp2::SendFile(m_record, job.c_str());
        const char* result = mvn::delivery::smtp2::GetLastResult(m_record);
        // Wait for the peer's record of a connection, if there was one.
        auto lines = [&] {
          std::string all = ReadFile(record);
          return static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n'));
        };
        if (sent) mvntest::WaitFor([&] { return lines() > connections; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // An expanded variable keeps CR and LF; an INI line may end at them
        // (and a NUL ends any text), leaving the clean value.
        bool mustRefuse = viaVariable && breakName != std::string("NUL");
        if (mustRefuse) {
          EXPECT_FALSE(sent);
        }
        if (!sent) {
          // The value holds the break: the send fails before anything is
          // written or connected, and says which setting is at fault.
          EXPECT_FALSE(sent);
          ASSERT_NE(result, nullptr);
          EXPECT_EQ(std::string(result), std::string(setting.key) + " holds a line break");
          EXPECT_EQ(lines(), connections) << "nothing reached the peer";
        } else {
          // The INI line or the text ended at the break: what is left is
          // the clean value, and nothing forged reaches the peer.
          EXPECT_TRUE(sent);
          EXPECT_EQ(result, nullptr);
          ASSERT_EQ(lines(), connections + 1);
          std::string all = ReadFile(record);
          std::size_t from = 0;
          for (std::size_t i = 0; i < connections; ++i) from = all.find('\n', from) + 1;
          PeerSaw saw = ParseRecord(all.substr(from));
          EXPECT_EQ(saw.commands, (std::vector<std::string>{"HELO alice@desk.example",
                                                            "MAIL FROM: <alice@desk.example>",
                                                            "RCPT TO: <fax@server.example>", "DATA", "QUIT"}));
          EXPECT_EQ(saw.message.find("attacker"), std::string::npos);
          connections = lines();
        }
        EXPECT_TRUE(MessageFiles().empty());
      }
    }
  }
}

TEST_F(Smtp2Server, ForgeriesThroughAVariableNeverArrive) {
  RequireNetwork();
  PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", m_store.str()});
  ASSERT_TRUE(server.ready()) << server.output();
  const struct {
    const char* key;
    const char* value;
  } cases[] = {
      // A second recipient after the real one.
      {"SMTPSendTo", "fax@server.example>\r\nRCPT TO:<evil@attacker.example"},
      // A whole second transaction with a forged sender (smuggling).
      {"SMTPReplyTo",
       "r@desk.example>\r\n\r\n.\r\nMAIL FROM:<boss@desk.example>\r\nRCPT TO:<fax@server.example>\r\nDATA\r\n"
       "Subject: forged\r\n\r\nforged\r\n.\r\nX-Tail: <"},
  };
  std::string ini = m_dir / "mvncsend.ini";
  std::string job = Job("payload");
  CSTRINGLIST variables;
  // The configuration is the module's only during Initialize.
  auto load = [&](const char* key) {
    // The key under test comes first: the first of two equal keys counts.
    WriteFile(ini, "[MVNCSEND]\r\n" + std::string(key) +
                       "=%VALUE%\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\n"
                       "SMTPSentFrom=alice@desk.example\r\nSMTPReplyTo=r@desk.example\r\n");
    deliverytest::RecordingConfig config(ini.c_str(), "MVNCSEND");
    config.SetVariables(&variables);
    mvn::delivery::smtp2::Terminate(m_record);
    m_record = mvn::delivery::smtp2::Initialize(&config);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    variables.SetValue("VALUE", c.value);
    load(c.key);
    EXPECT_FALSE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
    EXPECT_EQ(std::string(mvn::delivery::smtp2::GetLastResult(m_record) ? mvn::delivery::smtp2::GetLastResult(m_record)
                                                                           : ""),
              std::string(c.key) + " holds a line break");
    EXPECT_FALSE(fs::exists(Stored(1, ".json"))) << "nothing reached the server";
  }
  // The same variable without the forgery: one mail to its one recipient.
  variables.SetValue("VALUE", "fax@server.example");
  load("SMTPSendTo");
  ASSERT_TRUE(mvn::delivery::smtp2::SendFile(m_record, job.c_str()));
  EXPECT_EQ(mvn::delivery::smtp2::GetLastResult(m_record), nullptr);
  ASSERT_TRUE(fs::exists(Stored(1, ".json")));
  EXPECT_NE(ReadFile(Stored(1, ".json")).find("\"rcpt_tos\": [\"fax@server.example\"]"), std::string::npos);
  EXPECT_FALSE(fs::exists(Stored(2, ".json")));
}

}  // namespace
