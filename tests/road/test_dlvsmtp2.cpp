// From a request file to a mail server: the send client mvncsend with
// dlvsmtp2 as its delivery module sends a request with two attachments to
// aiosmtpd; the received mail's attachment, decoded by the independent job
// decoder, gives back both attachments byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/network.h"
#include "tests/support/request.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

using mvntest::SampleRequest;

TEST(Dlvsmtp2EndToEnd, ARequestWithAttachmentsArrivesAsMail) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir root, store;
  mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", store.str()});
  ASSERT_TRUE(server.ready()) << server.output();

  mvntest::SmtpRoadSend sent = mvntest::SendBySmtpModule(root, MVN_MVNCSEND, MVN_DLVSMTP2_PATH);
  ASSERT_EQ(sent.code, 0) << sent.output;
  std::string output;
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
  EXPECT_EQ(ReadFile(root / "decoded/00-ATTACHMENT.bin"), sent.document);
  EXPECT_TRUE(ReadFile(root / "decoded/01-ATTACHMENT.bin") == sent.image);
}

// The send client's directories after a run: the files in WorkingPathX and
// the message files left in the user's temporary directory.
std::vector<std::string> FilesIn(const fs::path& directory, const std::string& prefix = "") {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(directory, ignored)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

class Dlvsmtp2Failures : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root / "windows");
    WriteFile(root / "doc.ps", "%!PS-Adobe-3.0\r\nshowpage\r\n");
    WriteFile(root / "Faxout.tmp", SampleRequest({"!ExtAttachment,doc.ps," + root / "doc.ps"}));
  }
  void WriteIni(const std::string& keys) {
    WriteFile(root / "windows/mvncsend.INI", "[mvncsend]\r\nWorkingPath=" + root / "work" + "\r\nDeliveryModule=" +
                                                 MVN_DLVSMTP2_PATH + "\r\nSMTPServer=127.0.0.1\r\n" + keys);
  }
  int Send(std::string* output, const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    std::vector<std::pair<std::string, std::string>> env = {{"MVN_ROOT", root.str()},
                                                            {"MVN_MESSAGEBOX_LOG", root / "boxes.log"},
                                                            {"MVN_DIALOGS", "headless"}};
    env.insert(env.end(), extra.begin(), extra.end());
    int code = mvntest::RunProgram({MVN_MVNCSEND, root / "Faxout.tmp"}, env, output);
    *output += ReadFile(root / "boxes.log");
    return code;
  }
  TempDir root;
};

TEST_F(Dlvsmtp2Failures, AFloodingServerFailsTheSendWithABoundedLog) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  // Continuation lines for ever, at the greeting: the reply reaches its size
  // limit long before the time bound.
  std::string record = root / "peer.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py",
                            {"--port", "25", "--script", R"({"GREETING": [{"repeat": "220-flood\r\n"}]})", "--record",
                             record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  WriteIni("SMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\nSMTPLogFile=" + root / "smtp.log" +
           "\r\n");
  std::string output;
  EXPECT_EQ(Send(&output), 1) << output;
  EXPECT_NE(output.find("Error - unable to deliver your message"), std::string::npos) << output;
  EXPECT_EQ(FilesIn(root / "work/X").size(), 1u) << "the job is kept as failed";
  EXPECT_TRUE(FilesIn(root / "temp", "MVN").empty()) << "the message file is removed";
  std::string log = ReadFile(root / "smtp.log");
  EXPECT_LT(log.size(), 4096u);
  EXPECT_EQ(log.rfind("S: 220-flood\r\n", 0), 0u) << log.substr(0, 100);
}

TEST_F(Dlvsmtp2Failures, ALineBreakFromTheEnvironmentIsRefusedByName) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir store;
  mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", store.str()});
  ASSERT_TRUE(server.ready()) << server.output();
  WriteIni("SMTPSendTo=%FAXTO%\r\nSMTPSentFrom=ann@desk.example\r\n");
  std::string output;
  EXPECT_EQ(Send(&output, {{"FAXTO", "fax@server.example>\r\nRCPT TO:<evil@attacker.example"}}), 1) << output;
  EXPECT_NE(output.find("SMTPSendTo holds a line break"), std::string::npos) << output;
  EXPECT_TRUE(FilesIn(store.str()).empty()) << "nothing reached the server";
  EXPECT_EQ(FilesIn(root / "work/X").size(), 1u);
  // The same variable without the forgery: one mail to its one recipient.
  WriteFile(root / "Faxout.tmp", SampleRequest({}));
  output.clear();
  EXPECT_EQ(Send(&output, {{"FAXTO", "fax@server.example"}}), 0) << output;
  ASSERT_TRUE(fs::exists(store / "1.json"));
  EXPECT_NE(ReadFile(store / "1.json").find("\"rcpt_tos\": [\"fax@server.example\"]"), std::string::npos);
}

// Nobody listens: the reason names the server, the port and the system's
// error, never an empty "<>".
TEST_F(Dlvsmtp2Failures, AServerThatCannotBeReachedIsNamedWithTheError) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  WriteIni("SMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\n");
  std::string output;
  EXPECT_EQ(Send(&output), 1) << output;
  EXPECT_NE(output.find("<cannot connect to port 25 of the mail server 127.0.0.1: WSAConnect: Connection refused "
                        "(WSAECONNREFUSED)>"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("<>"), std::string::npos) << output;
}

// A server that refuses the recipient: its own words are the reason.
TEST_F(Dlvsmtp2Failures, ARefusalIsReportedInTheServersWords) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  std::string record = root / "peer.jsonl";
  mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script",
                                             R"({"RCPT": ["550 5.1.1 no such user here\r\n"]})", "--record", record});
  ASSERT_TRUE(peer.ready()) << peer.output();
  WriteIni("SMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\n");
  std::string output;
  EXPECT_EQ(Send(&output), 1) << output;
  EXPECT_NE(output.find("<refused (RCPT TO:) by the mail server 127.0.0.1: it answered \"550 5.1.1 no such user "
                        "here\">"),
            std::string::npos)
      << output;
}

// A server that accepts and closes at once, or closes instead of answering
// a command: the reason says it closed, not that a time-out passed, and it
// comes at once (the time-out here is a minute).
TEST_F(Dlvsmtp2Failures, AServerThatClosesIsToldApartFromATimeOut) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  struct Case {
    const char* script;
    const char* shown;
  } cases[] = {
      {R"({"GREETING": ["close"]})", "<turned away by the mail server 127.0.0.1: the server closed the connection>"},
      {R"({"RCPT": ["close"]})", "<refused (RCPT TO:) by the mail server 127.0.0.1: the server closed the connection>"},
      {R"({"DOT": ["close"]})", "<the mail was not taken by the mail server 127.0.0.1: the server closed the connection>"},
  };
  WriteIni("SMTPSendTo=fax@server.example\r\nSMTPSentFrom=ann@desk.example\r\n");
  for (const Case& c : cases) {
    mvntest::PeerProcess peer("smtp_peer.py", {"--port", "25", "--script", c.script, "--record", root / "peer.jsonl"});
    ASSERT_TRUE(peer.ready()) << peer.output();
    fs::remove(root / "boxes.log");
    WriteFile(root / "doc.ps", "%!PS-Adobe-3.0\r\nshowpage\r\n");
    WriteFile(root / "Faxout.tmp", SampleRequest({"!ExtAttachment,doc.ps," + root / "doc.ps"}));
    auto start = std::chrono::steady_clock::now();
    std::string output;
    EXPECT_EQ(Send(&output), 1) << output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.script;
    EXPECT_NE(output.find(c.shown), std::string::npos) << c.script << "\n" << output;
    EXPECT_EQ(output.find("time-out"), std::string::npos) << output;
  }
}

}  // namespace
