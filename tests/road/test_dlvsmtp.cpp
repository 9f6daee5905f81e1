// From a request file to a mail transfer agent: the send client mvncsend
// with dlvsmtp as its delivery module sends a request with two
// attachments to a postfix instance of the test's own; the mail is taken
// from postfix's Maildir, its ATTACH.XXX decoded, and the independent job
// decoder gives back both attachments byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/network.h"
#include "tests/support/request.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;

namespace {

TEST(DlvsmtpEndToEnd, ARequestReachesPostfixsMaildir) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  if (geteuid() != 0) GTEST_SKIP() << "postfix runs as root only";
  if (!fs::exists("/usr/lib/postfix/sbin/master")) GTEST_SKIP() << "postfix is not installed";
  TempDir root, pf;
  mvntest::PeerProcess postfix("postfix_instance.py", {"--dir", pf.str(), "--port", "25"});
  ASSERT_TRUE(postfix.ready()) << postfix.output();

  mvntest::SmtpRoadSend sent =
      mvntest::SendBySmtpModule(root, MVN_MVNCSEND, MVN_DLVSMTP_PATH, "SenderDefaults=true\r\n");
  ASSERT_EQ(sent.code, 0) << sent.output;
  std::string output;

  fs::path box = pf.path() / "mail/server.example/fax/new";
  std::string mail;
  for (int i = 0; i < 200 && mail.empty(); ++i) {
    if (fs::exists(box))
      for (auto& entry : fs::directory_iterator(box)) mail = entry.path().string();
    if (mail.empty()) usleep(50000);
  }
  ASSERT_FALSE(mail.empty());
  std::string job = root / "received.job";
  output.clear();
  ASSERT_EQ(mvntest::RunTool("check_engine_mail.py",
                             {mail, "--delivered", "--header", "To: <fax@server.example>", "--header",
                              "From: <ann@desk.example>", "--header", "Reply-To: <ann@desk.example>", "--header",
                              "Subject: MVN::SEND,SENDER-DEFAULTS=yes", "--text-type", "Content-Type: text/plain",
                              "--extract", job},
                             &output),
            0)
      << output;
  output.clear();
  ASSERT_EQ(mvntest::RunTool("jobdecode.py", {job, root / "decoded"}, &output), 0) << output;
  EXPECT_EQ(ReadFile(root / "decoded/00-ATTACHMENT.bin"), sent.document);
  EXPECT_TRUE(ReadFile(root / "decoded/01-ATTACHMENT.bin") == sent.image);
}

// WorkingPath with a comma: the engine would read the job's path as two
// files and stream the first (here a file of someone else's) to the
// server. The send is refused by name and the server sees no connection;
// the same request from a plain WorkingPath reaches it.
TEST(DlvsmtpEndToEnd, ACommaInTheWorkingPathSendsNoOtherFile) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir root;
  std::string record = root / "peer.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", "{}", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  const std::string secret = "not for the fax server: the payroll of the month\r\n";
  mvntest::WriteFile(root / "a", secret);
  fs::create_directories(root / "windows");
  auto send = [&](const std::string& workingPath, std::string* output) {
    mvntest::WriteFile(root / "windows/mvncsend.INI",
                       "[mvncsend]\r\nWorkingPath=" + workingPath + "\r\nDeliveryModule=" + MVN_DLVSMTP_PATH +
                           "\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\n"
                           "SMTPSentFrom=ann@desk.example\r\n");
    mvntest::WriteFile(root / "Faxout.tmp", mvntest::SampleRequest({}));
    int code = mvntest::RunProgram({MVN_MVNCSEND, root / "Faxout.tmp"},
                                   {{"MVN_ROOT", root.str()}, {"MVN_MESSAGEBOX_LOG", root / "boxes.log"}, {"MVN_DIALOGS", "headless"}},
                                   output);
    *output += ReadFile(root / "boxes.log");
    return code;
  };
  std::string output;
  EXPECT_EQ(send(root / "a,b", &output), 1) << output;
  EXPECT_NE(output.find("holds a comma"), std::string::npos) << output;
  EXPECT_NE(output.find("WorkingPath"), std::string::npos) << output;
  EXPECT_EQ(ReadFile(record), "") << "nothing reached the server";
  EXPECT_EQ(ReadFile(root / "a"), secret);

  output.clear();
  EXPECT_EQ(send(root / "work", &output), 0) << output;
  // The peer writes its record once the connection has ended.
  std::string sessions;
  for (int i = 0; i < 100 && (sessions = ReadFile(record)).empty(); ++i) usleep(50000);
  EXPECT_NE(sessions.find("\"ended\": \"quit\""), std::string::npos) << sessions;
}

// Nobody listens: the reason is the engine's text and the server it tried.
TEST(DlvsmtpEndToEnd, AServerThatCannotBeReachedIsNamed) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir root;
  fs::create_directories(root / "windows");
  mvntest::WriteFile(root / "windows/mvncsend.INI", "[mvncsend]\r\nWorkingPath=" + root / "work" +
                                                        "\r\nDeliveryModule=" + MVN_DLVSMTP_PATH +
                                                        "\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\n"
                                                        "SMTPSentFrom=ann@desk.example\r\n");
  mvntest::WriteFile(root / "Faxout.tmp", mvntest::SampleRequest({}));
  std::string output;
  EXPECT_EQ(mvntest::RunProgram({MVN_MVNCSEND, root / "Faxout.tmp"},
                                {{"MVN_ROOT", root.str()}, {"MVN_DIALOGS", "headless"}}, &output),
            1);
  EXPECT_NE(output.find("<smeSmtpConnect - Error attempting to connect. Connection refused by remote host. (SMTPServer "
                        "127.0.0.1)>"),
            std::string::npos)
      << output;
}

// A refusal's text is one line in the box: the reply's line ends (a CR
// before the LF, a reply of several lines) never reach it.
TEST(DlvsmtpEndToEnd, ARefusalIsOneLineWithoutTheServersLineEnds) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  struct Case {
    const char* reply;  // JSON text of the RCPT reply
    const char* shown;
  } cases[] = {
      {R"(550 no such user \r\n)", "<smeSendEmail - SMTP returned error. 550 no such user>"},
      {R"(550-no such user\r\n550 here\r\n)", "<smeSendEmail - SMTP returned error. 550-no such user>"},
  };
  for (const Case& c : cases) {
    TempDir root;
    std::string record = root / "peer.jsonl";
    mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", std::string(R"({"RCPT": [")") + c.reply +
                                                                               R"("]})",
                                               "--record", record});
    ASSERT_TRUE(peer.ready()) << peer.output();
    fs::create_directories(root / "windows");
    mvntest::WriteFile(root / "windows/mvncsend.INI",
                       "[mvncsend]\r\nWorkingPath=" + root / "work" + "\r\nDeliveryModule=" + MVN_DLVSMTP_PATH +
                           "\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\n"
                           "SMTPSentFrom=ann@desk.example\r\n");
    mvntest::WriteFile(root / "Faxout.tmp", mvntest::SampleRequest({}));
    std::string output;
    EXPECT_EQ(mvntest::RunProgram({MVN_MVNCSEND, root / "Faxout.tmp"},
                                  {{"MVN_ROOT", root.str()},
                                   {"MVN_MESSAGEBOX_LOG", root / "boxes.log"},
                                   {"MVN_DIALOGS", "headless"}},
                                  &output),
              1)
        << output;
    std::string boxes = ReadFile(root / "boxes.log");
    EXPECT_NE(boxes.find(c.shown), std::string::npos) << c.reply << "\n" << boxes << output;
    EXPECT_EQ(boxes.find('\r'), std::string::npos) << ::testing::PrintToString(boxes);
  }
}

}  // namespace
