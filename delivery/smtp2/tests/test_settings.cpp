// dlvsmtp2's settings: the keys Initialize reads, and Configure through
// scripted headless dialogs with the SMTP options page.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "delivery/smtp2/smtp2module.h"
#include "platform/dialogs/script.h"
#include "tests/support/recordingconfig.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
using deliverytest::RecordingConfig;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

class Smtp2Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("MVN_DIALOGS", "headless", 1);
    mvn::delivery::Identity()->m_applied = false;
    mvn::delivery::smtp2::OptionsPage()->m_applied = false;
  }
  void TearDown() override {
    mvn::delivery::smtp2::Terminate(record);
    dlg::SetScript(nullptr);
  }
  void Load(const std::string& ini) {
    WriteFile(iniPath, "[MVNCSEND]\r\n" + ini);
    RecordingConfig config(iniPath.c_str(), "MVNCSEND");
    mvn::delivery::smtp2::Terminate(record);
    record = mvn::delivery::smtp2::Initialize(&config);
    reads = config.reads;
  }
  bool Configure(dlg::Script script) {
    RecordingConfig config(iniPath.c_str(), "MVNCSEND");
    dlg::SetScript(std::move(script));
    bool result = mvn::delivery::smtp2::Configure(record, &config);
    dlg::SetScript(nullptr);
    writes = config.writes;
    return result;
  }

  TempDir dir;
  std::string iniPath = dir / "mvncsend.ini";
  SMTP2RECORD* record = nullptr;
  std::vector<std::string> reads, writes;
};

TEST_F(Smtp2Settings, InitializeReadsTheKeysInOrder) {
  Load("SMTPServer=mail.example\r\nSMTPSendTo=fax@x\r\nSMTPSentFrom=me@y\r\nSMTPLogFile=" + dir / "log" + "\r\n");
  EXPECT_EQ(reads, (std::vector<std::string>{"DialogTitle", "YourName", "YourEmailAddress", "IdentityToken",
                                             "KeepFiles", "SMTPLogFile", "SMTPServer", "SMTPSendTo",
                                             "SMTPSentFrom", "SMTPReplyTo", "SenderDefaults"}));
  EXPECT_STREQ(record->m_dialogTitle.Text(), "Configure Delivery Options");
  EXPECT_STREQ(record->m_smtpServer.Text(), "mail.example");
  EXPECT_STREQ(record->m_log.Text(), (dir / "log").c_str());
  EXPECT_TRUE(record->m_replyTo.IsEmpty());
  EXPECT_FALSE(record->m_senderDefaults);
  EXPECT_EQ(mvn::delivery::smtp2::GetLastResult(record), nullptr);
}

TEST_F(Smtp2Settings, ConfigureWritesBothPagesOrNothing) {
  Load("YourName=Ann\r\nSMTPServer=old.example\r\nSMTPSendTo=fax@x\r\nSMTPSentFrom=me@y\r\nSMTPReplyTo=r@z\r\n"
       "SMTPLogFile=/tmp/x.log\r\nSenderDefaults=true\r\n");
  EXPECT_FALSE(Configure([](HWND sheet) { EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL)); }));
  EXPECT_TRUE(writes.empty());

  bool result = Configure([](HWND sheet) {
    EXPECT_TRUE(dlg::SelectPage(sheet, 1));
    HWND page = dlg::PageWindow(sheet, 1);
    char server[128] = "";
    GetDlgItemTextA(page, IDC_SMTP_SERVER, server, sizeof server);
    EXPECT_STREQ(server, "old.example");
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_SMTP_SERVER), "new.example"));
    EXPECT_TRUE(dlg::PressButton(sheet, IDOK));
  });
  EXPECT_TRUE(result);
  EXPECT_EQ(writes, (std::vector<std::string>{"YourName=Ann", "YourEmailAddress=", "IdentityToken=", "KeepFiles=false",
                                              "SMTPServer=new.example", "SMTPSendTo=fax@x", "SMTPSentFrom=me@y",
                                              "SMTPReplyTo=r@z"}));
  EXPECT_STREQ(record->m_smtpServer.Text(), "old.example") << "the record is not updated";
}

}  // namespace
