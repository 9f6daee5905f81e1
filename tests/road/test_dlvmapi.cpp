// End to end: the real send client loads the real dlvmapi, which loads the
// messaging substitute beside it; the job arrives as "ATTACH.MVN" of a
// message in the transport's delivered folder, decodes with the independent
// job-file decoder, and carries the attachment byte for byte. A recipient
// the address book cannot resolve is reported by its result's name.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::vector<fs::path> Entries(const fs::path& directory) {
  std::vector<fs::path> entries;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored)) entries.push_back(entry.path());
  return entries;
}

class MapiEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "root/mapi");
    fs::create_directories(dir / "client");
    WriteFile(dir / "root/mapi/mapi.ini",
              "[Profiles]\r\nCount=1\r\nProfile1=Fax User\r\nDefault=Fax User\r\n"
              "[Profile Fax User]\r\nStore=Personal Folders\r\nTransports=1\r\nTransport1=Fax Transport\r\n"
              "[AddressBook]\r\nCount=1\r\nEntry1=Fax Server\r\nEntry1Address=fax@server.example\r\n");
    for (int i = 0; i < 30000; ++i) pdf.push_back(static_cast<char>((i * 131 + i / 7) & 0xFF));
    WriteFile(dir / "client/report.pdf", pdf);
    WriteFile(request, "!MVN - DASHPOST V5.0 (Tolvar)\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Lee\r\n\r\n!TARGET\r\n"
                       "Destination:+44 20 7946 0000\r\nTo:Bob\r\n\r\n!PASSTHROUGH-END\r\n\r\n"
                       "!ExtAttachment,report.pdf," + dir / "client/report.pdf" + "\r\n\r\n!MVN-END\r\n");
  }

  int Send(const std::string& deliverTo, std::string* output) {
    WriteFile(ini, "[MVNCSEND]\r\nDeliveryModule=" + fs::path(MVN_DLVMAPI_PATH).replace_extension(".dll").string() +
                       "\r\nWorkingPath=" + dir / "work" + "\r\nMAPILogonProfile=Fax User\r\nMAPIDeliverTo=" +
                       deliverTo + "\r\nMAPITransport=Fax Transport\r\nSenderDefaults=yes\r\n");
    return mvntest::RunShell("cd " + Quote(dir.str()) + " && MVN_ROOT=" + Quote(dir / "root") +
                                 " MVN_DIALOGS=headless timeout 120 " + Quote(MVN_SENDCLIENT_PATH) + " CONFIG=" + Quote(ini) +
                                 " " + Quote(request) + " 2>&1",
                             output);
  }

  TempDir dir;
  std::string ini = dir / "mvncsend.ini";
  std::string request = dir / "client/Faxout.tmp";
  std::string pdf;
};

}  // namespace

TEST_F(MapiEndToEnd, TheJobArrivesAsTheMessagesAttachment) {
  std::string output;
  ASSERT_EQ(Send("Fax Server", &output), 0) << output;
  std::vector<fs::path> messages = Entries(dir / "root/mapi/transports/Fax Transport/delivered");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(ReadFile(messages[0] / "message.props").find("0x0037001E=MVN::SEND,SENDER-DEFAULTS=yes\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(messages[0] / "attach-1.props").find("0x3704001E=ATTACH.MVN\n"), std::string::npos);
  std::string decoded;
  ASSERT_EQ(mvntest::RunShell("/usr/bin/python3 " + Quote(MVN_JOBDECODE) + " " +
                                  Quote((messages[0] / "attach-1.bin").string()) + " " + Quote(dir / "decoded") +
                                  " 2>&1",
                              &decoded),
            0)
      << decoded;
  EXPECT_NE(decoded.find("\"display_name\": \"report.pdf\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("\"line\": \"To:Bob\""), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "decoded/00-ATTACHMENT.bin"), pdf);
  // Every initialise was undone and nothing was freed twice.
  std::string journal = ReadFile(dir / "root/mapi/journal.log");
  EXPECT_NE(journal.find("MAPIUninitialize live-objects=0 live-buffers=0 initialised=0"), std::string::npos)
      << journal;
  EXPECT_EQ(journal.find("MAPIFreeBuffer"), std::string::npos);
}

TEST_F(MapiEndToEnd, AnUnknownRecipientIsReportedByName) {
  std::string output;
  EXPECT_EQ(Send("Nobody Known", &output), 1) << output;
  EXPECT_NE(output.find("Error - unable to deliver your message"), std::string::npos) << output;
  EXPECT_NE(output.find("<MAPI_E_NOT_FOUND>"), std::string::npos) << output;
  EXPECT_TRUE(Entries(dir / "root/mapi/stores/Personal Folders/queue").empty());
}

TEST_F(MapiEndToEnd, TwoEntriesOfOneNameAreAmbiguousNeverTheLastOne) {
  WriteFile(dir / "root/mapi/mapi.ini",
            "[Profiles]\r\nCount=1\r\nProfile1=Fax User\r\nDefault=Fax User\r\n"
            "[Profile Fax User]\r\nStore=Personal Folders\r\nTransports=1\r\nTransport1=Fax Transport\r\n"
            "[AddressBook]\r\nCount=2\r\nEntry1=Fax Server\r\nEntry1Address=fax@server.example\r\n"
            "Entry2=fax server\r\nEntry2Address=fax@elsewhere.example\r\n");
  std::string output;
  EXPECT_EQ(Send("Fax Server", &output), 1) << output;
  EXPECT_NE(output.find("<MAPI_E_AMBIGUOUS_RECIP>"), std::string::npos) << output;
  EXPECT_TRUE(Entries(dir / "root/mapi/stores/Personal Folders/queue").empty());
  EXPECT_TRUE(Entries(dir / "root/mapi/transports/Fax Transport/delivered").empty());
}

// What a hostile or damaged store holds: counts far beyond its entries, a
// journal of a million lines, a faults line that is no fault. The send
// goes through at once, the journal is bounded and the bad line is named.
TEST_F(MapiEndToEnd, HostileStoreFilesAreBoundedAndNamed) {
  WriteFile(dir / "root/mapi/mapi.ini",
            "[Profiles]\r\nCount=2000000000\r\nProfile1=Fax User\r\nDefault=Fax User\r\n"
            "[Profile Fax User]\r\nStore=Personal Folders\r\nTransports=2000000000\r\nTransport1=Fax Transport\r\n"
            "[AddressBook]\r\nCount=2000000000\r\nEntry1=Fax Server\r\nEntry1Address=fax@server.example\r\n");
  std::string lines;
  for (int i = 0; i < 1000000; ++i) lines += "1 IMAPISession::Logoff flags=0x00000000 reserved=0\n";
  WriteFile(dir / "root/mapi/journal.log", lines);
  WriteFile(dir / "root/mapi/faults", "IMessage::SubmitMessage 1 failure\n");
  std::string output;
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Send("Fax Server", &output), 0) << output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(Entries(dir / "root/mapi/transports/Fax Transport/delivered").size(), 1u);
  EXPECT_NE(output.find("faults line 1 is not \"<method> <n> <result>\": IMessage::SubmitMessage 1 failure"),
            std::string::npos)
      << output;
  EXPECT_LT(fs::file_size(dir / "root/mapi/journal.log"), 4u * 1024 * 1024);
  EXPECT_TRUE(fs::exists(dir / "root/mapi/journal.log.1"));
  EXPECT_NE(ReadFile(dir / "root/mapi/journal.log").find("MAPIUninitialize live-objects=0"), std::string::npos);
}
