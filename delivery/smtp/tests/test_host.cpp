// dlvsmtp as the send client loads it: a program with its own copy of the
// library loads the real module (which attaches the engine at load and
// releases it at unload), hands it an INI configuration and sends jobs to
// real mail servers: aiosmtpd, the scripted peer and a postfix instance of
// the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "tests/support/exports.h"
#include "tests/support/network.h"
#include "lib/config.h"
#include "platform/module/module.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

using InitializeFn = void* (*)(CCONFIG*);
using TerminateFn = void* (*)(void*);
using SendFileFn = bool (*)(void*, const char*);
using GetLastResultFn = const char* (*)(void*);

std::string Random(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  std::mt19937 random(seed);
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The real module with an INI section of its settings.
class Module {
 public:
  explicit Module(const std::string& ini) {
    m_module = LoadLibraryA(MVN_DLVSMTP_PATH);
    if (!m_module) return;
    initialize = reinterpret_cast<InitializeFn>(GetProcAddress(m_module, "Initialize"));
    terminate = reinterpret_cast<TerminateFn>(GetProcAddress(m_module, "Terminate"));
    sendFile = reinterpret_cast<SendFileFn>(GetProcAddress(m_module, "SendFile"));
    getLastResult = reinterpret_cast<GetLastResultFn>(GetProcAddress(m_module, "GetLastResult"));
    CCONFIGINI config(ini.c_str());
    if (config.OpenSection("MVNCSEND", false)) record = initialize(&config);
  }
  ~Module() { Unload(); }
  void Unload() {
    if (record) terminate(record);
    record = nullptr;
    if (m_module) FreeLibrary(m_module);
    m_module = nullptr;
  }
  bool Send(const std::string& job) { return sendFile(record, job.c_str()); }
  std::string LastResult() {
    const char* text = getLastResult(record);
    return text ? text : "(null)";
  }

  void* record = nullptr;
  InitializeFn initialize = nullptr;
  TerminateFn terminate = nullptr;
  SendFileFn sendFile = nullptr;
  GetLastResultFn getLastResult = nullptr;

 private:
  HMODULE m_module = nullptr;
};

class DlvsmtpHost : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  }
  std::string Settings(const std::string& extra) {
    std::string ini = m_dir / "MVNCSEND.INI";
    WriteFile(ini, "[MVNCSEND]\r\nSMTPServer=127.0.0.1\r\nSMTPSentFrom=ann@desk.example\r\nSMTPLogFile=" +
                       m_dir / "smtp.log" + "\r\n" + extra);
    return ini;
  }
  std::string Log() { return ReadFile(m_dir / "smtp.log"); }
  int Check(const std::string& mail, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), mail);
    std::string output;
    int code = mvntest::RunTool("check_engine_mail.py", arguments, &output);
    if (code != 0) ADD_FAILURE() << output;
    return code;
  }

  TempDir m_dir;
};

TEST(DlvsmtpModule, ExportsExactlyTheFiveOperations) {
  std::set<std::string> names;
  std::string error;
  ASSERT_TRUE(mvntest::ExportedNames(fs::canonical(MVN_DLVSMTP_PATH).string(), &names, &error)) << error;
  EXPECT_EQ(names, mvntest::DeliveryExportNames());
}

TEST_F(DlvsmtpHost, JobsGoOutAsAttachXxxOverOneConnection) {
  TempDir store;
  mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "2525", "--store", store.str()});
  ASSERT_TRUE(server.ready()) << server.output();
  // Parameter 15 (0xF) is the SMTP port, 22 drops the "To:" line.
  Module module(Settings("SMTPSendTo=fax@server.example\r\nSMTPReplyTo=<reply@desk.example>\r\n"
                         "SenderDefaults=true\r\nSmeIntegerParams=0xF=0x9DD, 22 = 1\r\n"
                         "SmeStringParams=51=X-Fax: 1\r\n"));
  ASSERT_NE(module.record, nullptr);
  fs::create_directories(m_dir / "work");
  std::string job1 = m_dir / "work/job1.mvn";
  std::string job2 = m_dir / "work/job2.mvn";
  WriteFile(job1, Random(100000, 1));
  WriteFile(job2, Random(57, 2));
  WriteFile(m_dir / "work/ATTACH.XXX", "left over");
  EXPECT_TRUE(module.Send(job1)) << module.LastResult() << Log();
  EXPECT_TRUE(module.Send(job2)) << module.LastResult() << Log();
  // Both jobs have their own names again; the old ATTACH.XXX is gone.
  EXPECT_TRUE(fs::exists(job1));
  EXPECT_TRUE(fs::exists(job2));
  EXPECT_FALSE(fs::exists(m_dir / "work/ATTACH.XXX"));
  module.Unload();

  std::string log = Log();
  EXPECT_EQ(Count(log, "*** smeSmtpConnect\r\n"), 1u) << log;
  EXPECT_EQ(Count(log, "*** smeSendEmail\r\n"), 2u);
  EXPECT_NE(log.find("RemotePort=2525\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("S: RCPT TO:<fax@server.example>\r\n"), std::string::npos);
  EXPECT_NE(log.find("S: QUIT\r\n"), std::string::npos);
  EXPECT_NE(log.find("Releasing channel 0\r\n"), std::string::npos);
  std::vector<std::string> head = {"--header", "From: <ann@desk.example>",
                                   "--header", "Reply-To: <reply@desk.example>", "--header",
                                   "Subject: MVN::SEND,SENDER-DEFAULTS=yes", "--header", "X-Fax: 1", "--text-type",
                                   "Content-Type: text/plain"};
  std::vector<std::string> first = head;
  first.insert(first.end(), {"--attachment", "ATTACH.XXX=" + job1});
  Check(store / "1.eml", first);
  std::vector<std::string> second = head;
  second.insert(second.end(), {"--attachment", "ATTACH.XXX=" + job2});
  Check(store / "2.eml", second);
}

TEST_F(DlvsmtpHost, AnEmptyRequiredAddressSaysWhich) {
  Module module(Settings(""));
  ASSERT_NE(module.record, nullptr);
  WriteFile(m_dir / "job", "x");
  EXPECT_EQ(module.LastResult(), "(null)");
  EXPECT_FALSE(module.Send(m_dir / "job"));
  EXPECT_EQ(module.LastResult(), "SMTPSendTo - EMPTY email address.");
}

TEST_F(DlvsmtpHost, ARejectedAddressAndAnUnreachableServer) {
  {
    Module module(Settings("SMTPSendTo=fax server@server.example\r\n"));
    WriteFile(m_dir / "job", "x");
    EXPECT_FALSE(module.Send(m_dir / "job"));
    EXPECT_EQ(module.LastResult(), "smeVerifyFormat - Bad character in email address.");
  }
  Module module(Settings("SMTPSendTo=fax@server.example\r\n"));
  EXPECT_FALSE(module.Send(m_dir / "job"));
  EXPECT_EQ(module.LastResult(),
            "smeSmtpConnect - Error attempting to connect. Connection refused by remote host. (SMTPServer 127.0.0.1)");
  EXPECT_TRUE(fs::exists(m_dir / "job"));
}

TEST_F(DlvsmtpHost, AFailedSendConnectsAgainForTheNextJob) {
  std::string record = m_dir / "record.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  Module module(Settings("SMTPSendTo=fax@server.example\r\n"));
  // A job that cannot be read (a folder) fails inside the dialogue.
  fs::create_directory(m_dir / "folder.job");
  EXPECT_FALSE(module.Send(m_dir / "folder.job"));
  EXPECT_EQ(module.LastResult(), "smeSendEmail - Cannot open file.");
  // One that is not there is named before anything is sent.
  EXPECT_FALSE(module.Send(m_dir / "missing.job"));
  EXPECT_EQ(module.LastResult(), "cannot rename the job " + m_dir / "missing.job" + " to " + m_dir / "ATTACH.XXX" +
                                     ": The system cannot find the file specified.");
  WriteFile(m_dir / "job", Random(5000, 3));
  EXPECT_TRUE(module.Send(m_dir / "job")) << module.LastResult() << Log();
  EXPECT_TRUE(module.Send(m_dir / "job")) << module.LastResult() << Log();
  module.Unload();
  EXPECT_EQ(Count(Log(), "*** smeSmtpConnect\r\n"), 2u);
}

// postfix, as a real transfer agent of the test's own (root only: its
// master refuses other users).
class PostfixHost : public DlvsmtpHost {
 protected:
  void SetUp() override {
    DlvsmtpHost::SetUp();
    if (IsSkipped()) return;
    if (geteuid() != 0) GTEST_SKIP() << "postfix runs as root only";
    if (!fs::exists("/usr/lib/postfix/sbin/master")) GTEST_SKIP() << "postfix is not installed";
    m_postfix = std::make_unique<mvntest::PeerProcess>(
        "postfix_instance.py", std::vector<std::string>{"--dir", m_pf.str(), "--port", "25"});
    ASSERT_TRUE(m_postfix->ready()) << m_postfix->output();
  }
  // The mails delivered to fax@server.example, waited for.
  std::vector<std::string> Delivered(std::size_t count) {
    fs::path box = m_pf.path() / "mail/server.example/fax/new";
    std::vector<std::string> files;
    // postfix hands a mail on through its queue manager and local agent:
    // on a machine running the whole suite that can take many seconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      files.clear();
      std::error_code ignored;
      if (fs::exists(box))
        for (auto& entry : fs::directory_iterator(box, ignored)) files.push_back(entry.path().string());
      if (files.size() >= count || std::chrono::steady_clock::now() > deadline) break;
      usleep(50000);
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  TempDir m_pf;
  std::unique_ptr<mvntest::PeerProcess> m_postfix;
};

TEST_F(PostfixHost, DeliversAndTooLargeIsRefused) {
  Module module(Settings("SMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\n"));
  std::string job = m_dir / "job.mvn";
  WriteFile(job, Random(300000, 4));
  EXPECT_TRUE(module.Send(job)) << module.LastResult() << Log();
  std::vector<std::string> mails = Delivered(1);
  ASSERT_EQ(mails.size(), 1u);
  Check(mails[0], {"--delivered", "--header", "To: <fax@server.example>", "--header", "From: <ann@desk.example>",
                   "--header", "Subject: MVN::SEND,SENDER-DEFAULTS=no", "--text-type", "Content-Type: text/plain",
                   "--attachment", "ATTACH.XXX=" + job});
  // postfix's limit of 10,240,000 bytes: a real rejection.
  std::string big = m_dir / "big.mvn";
  WriteFile(big, Random(8 << 20, 5));
  EXPECT_FALSE(module.Send(big));
  EXPECT_EQ(module.LastResult().rfind("smeSendEmail - SMTP returned error. 552", 0), 0u) << module.LastResult();
  EXPECT_TRUE(fs::exists(big));
  // The next job connects again and goes through.
  EXPECT_TRUE(module.Send(job)) << module.LastResult() << Log();
  EXPECT_EQ(Delivered(2).size(), 2u);
}

}  // namespace
