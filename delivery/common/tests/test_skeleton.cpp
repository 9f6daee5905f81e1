// The skeleton's resources, settings of the record head and the SMTP
// modules' notification source.
#include <gtest/gtest.h>

#include <string>

#include "delivery/common/module.h"
#include "delivery/common/notifysmtp.h"
#include "tests/support/recordingconfig.h"
#include "tests/support/tempdir.h"

TEST(Resources, StringsAreCutWholeToTheBuffer) {
  char buffer[64];
  EXPECT_EQ(LoadModuleString(IDS_CONFIGURE_DELIVERY_OPTIONS, buffer, sizeof buffer), 26);
  EXPECT_STREQ(buffer, "Configure Delivery Options");
  EXPECT_EQ(LoadModuleString(IDS_WORK_OFFLINE, buffer, sizeof buffer), 12);
  EXPECT_STREQ(buffer, "Work Offline");
  EXPECT_EQ(LoadModuleString(IDS_WORK_OFFLINE, buffer, 5), 4);
  EXPECT_STREQ(buffer, "Work");
  EXPECT_EQ(LoadModuleString(99, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(RecordHead, ReadsInOrderAndWritesTheIdentityPage) {
  mvntest::TempDir dir;
  std::string ini = dir / "send.ini";
  std::string longName(200, 'n');
  mvntest::WriteFile(ini, "[MVNCSEND]\r\nYourName=" + longName + "\r\nKeepFiles=yes\r\nSenderDefaults=true\r\n");
  deliverytest::RecordingConfig config(ini.c_str(), "MVNCSEND");
  DELIVERYRECORD record;
  bool senderDefaults = false;
  mvn::delivery::ReadHeadSettings(&config, &record);
  mvn::delivery::ReadSenderDefaults(&config, &senderDefaults);
  EXPECT_EQ(config.reads, (std::vector<std::string>{"DialogTitle", "YourName", "YourEmailAddress", "IdentityToken",
                                                    "KeepFiles", "SenderDefaults"}));
  EXPECT_STREQ(record.m_dialogTitle.Text(), "Configure Delivery Options");
  EXPECT_EQ(std::string(record.m_yourName.Text()), longName) << "the text grows past its inline buffer";
  EXPECT_TRUE(record.m_keepFiles);
  EXPECT_TRUE(senderDefaults);

  mvn::delivery::LoadIdentityPage(&record);
  mvn::delivery::WriteIdentitySettings(&config);
  EXPECT_EQ(config.writes, (std::vector<std::string>{"YourName=" + longName, "YourEmailAddress=", "IdentityToken=",
                                                     "KeepFiles=true"}));
}

TEST(NotifySmtp, TheSourceIsRegisteredWithItsFourRows) {
  CNOTIFYSOURCE* source = NotifySmtpSource();
  ASSERT_NE(source, nullptr);
  EXPECT_STREQ(source->Name(), "NOTIFYSMTP");
  bool registered = false;
  for (DWORD i = 0; i < NotifySourceCount(); ++i) registered = registered || NotifySource(i) == source;
  EXPECT_TRUE(registered);
  const NOTIFYDEF* rows = source->Table();
  std::vector<std::string> names;
  for (; rows->id; ++rows) {
    names.push_back(rows->name);
    EXPECT_EQ(rows->severity, 0u);
    EXPECT_EQ(rows->text, 0u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"NOTIFY_MOVEWORKINGX", "NOTIFY_SMEFUNCTIONERROR", "NOTIFY_SENDFILESUCCESS",
                                             "NOTIFY_SENDFILEFAILED"}));
}
