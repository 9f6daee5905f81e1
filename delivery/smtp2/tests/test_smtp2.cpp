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

#include "delivery/smtp2/smtp2module.h"
#include "delivery/smtp2/tests/recording.h"
#include "tests/support/network.h"
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
    Smtp2Module::SetSessionTimeout(SMTP2_TIMEOUT);
    m_record = Smtp2Module::Initialize(nullptr);
    m_record->m_smtpServer.Assign("127.0.0.1");
    m_record->m_sendTo.Assign(kTo);
    m_record->m_sentFrom.Assign(kFrom);
  }
  void TearDown() override {
    Smtp2Module::Terminate(m_record);
    Smtp2Module::SetSessionTimeout(SMTP2_TIMEOUT);
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
    ASSERT_TRUE(Smtp2Module::WriteMessage(m_record, job.c_str(), &writer, boundary.Text())) << size;
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
  EXPECT_FALSE(Smtp2Module::SendFile(m_record, (m_dir / "missing.job").c_str()));
  EXPECT_TRUE(MessageFiles().empty());
  EXPECT_EQ(Smtp2Module::GetLastResult(m_record), nullptr);
}

TEST_F(Smtp2, RefusedConnectionReportsIt) {
  RequireNetwork();
  // Nobody listens on port 25 of this namespace.
  std::string job = Job("data");
  EXPECT_FALSE(Smtp2Module::SendFile(m_record, job.c_str()));
  ASSERT_FALSE(mvntest::Recorder().raised.empty());
  const mvntest::Raised& report = mvntest::Recorder().raised.back();
  EXPECT_EQ(report.id, NOTFIY_WINSOCKERROR);
  EXPECT_EQ(report.p1, "WSAConnect");
  EXPECT_EQ(report.p2, "WSAECONNREFUSED");
  EXPECT_EQ(Smtp2Module::GetLastResult(m_record), nullptr);
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
      EXPECT_EQ(Smtp2Module::SendFile(m_record, job.c_str()), c.delivered);
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
  Smtp2Module::SetSessionTimeout(400);
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
  EXPECT_FALSE(Smtp2Module::SendFile(m_record, job.c_str()));
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
    ASSERT_TRUE(Smtp2Module::SendFile(m_record, job.c_str()));
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
  EXPECT_FALSE(Smtp2Module::SendFile(m_record, job.c_str()));
  EXPECT_FALSE(fs::exists(Stored(1, ".eml")));
  EXPECT_TRUE(MessageFiles().empty());
}

}  // namespace
