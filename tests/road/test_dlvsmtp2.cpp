// From a request file to a mail server: the send client mvncsend with
// dlvsmtp2 as its delivery module sends a request with two attachments to
// aiosmtpd; the received mail's attachment, decoded by the independent job
// decoder, gives back both attachments byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "tests/support/network.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

std::string Request(const std::vector<std::string>& attachmentLines) {
  std::string text =
      "!MVN - DASHPOST V5.0\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Smith\r\nUserId:ann@desk.example\r\n\r\n"
      "!TARGET\r\nDestination:+44 20 7946 0000\r\nTo:Bob Jones\r\n\r\n!PASSTHROUGH-END\r\n";
  for (const std::string& line : attachmentLines) text += line + "\r\n";
  return text + "!MVN-END\r\n";
}

TEST(Dlvsmtp2EndToEnd, ARequestWithAttachmentsArrivesAsMail) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir root, store;
  mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", store.str()});
  ASSERT_TRUE(server.ready()) << server.output();

  fs::create_directories(root / "windows");
  WriteFile(root / "windows/mvncsend.INI",
            "[mvncsend]\r\nWorkingPath=" + root / "work" + "\r\nDeliveryModule=" + MVN_DLVSMTP2_PATH +
                "\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\n"
                "SMTPReplyTo=ann@desk.example\r\nYourEmailAddress=ann@desk.example\r\nYourName=Ann Smith\r\n");
  std::string document = "%!PS-Adobe-3.0\r\n/Helvetica findfont 12 scalefont setfont\r\nshowpage\r\n";
  std::string image(300000, '\0');
  std::mt19937 random(5);
  for (char& c : image) c = static_cast<char>(random());
  WriteFile(root / "doc.ps", document);
  WriteFile(root / "scan.bin", image);
  WriteFile(root / "Faxout.tmp",
            Request({"!ExtAttachment,doc.ps," + root / "doc.ps", "!ExtAttachment,scan.bin," + root / "scan.bin"}));

  std::string output;
  int code = mvntest::RunProgram({MVN_MVNCSEND, root / "Faxout.tmp"},
                                 {{"MVN_ROOT", root.str()}, {"MVN_MESSAGEBOX_LOG", root / "boxes.log"}}, &output);
  ASSERT_EQ(code, 0) << output << ReadFile(root / "boxes.log");
  ASSERT_TRUE(fs::exists(store / "1.json"));

  std::string job = root / "received.job";
  output.clear();
  ASSERT_EQ(mvntest::RunTool("check_mail.py", {store / "1.eml", "-", "--to", "fax@server.example", "--from",
                                               "ann@desk.example", "--reply-to", "ann@desk.example",
                                               "--sender-defaults", "no", "--extract", job},
                             &output),
            0)
      << output;
  output.clear();
  ASSERT_EQ(mvntest::RunTool("jobdecode.py", {job, root / "decoded"}, &output), 0) << output;
  EXPECT_EQ(ReadFile(root / "decoded/00-ATTACHMENT.bin"), document);
  EXPECT_TRUE(ReadFile(root / "decoded/01-ATTACHMENT.bin") == image);
}

}  // namespace
