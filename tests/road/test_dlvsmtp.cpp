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

}  // namespace
