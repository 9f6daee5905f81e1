// dlvsmtp's own rules in the test's process: the numbers of the engine
// parameter entries, the attachment path and the address check.
#include <gtest/gtest.h>

#include "delivery/smtp/smtpmodule.h"
#include "smtpengine/smtpengine.h"

namespace {

namespace SmtpModule = mvn::delivery::SmtpModule;
using mvn::delivery::SMTPRECORD;

TEST(DlvsmtpModule, ParameterNumbers) {
  struct Case {
    const char* text;
    bool isSigned;
    LONG value;
  } cases[] = {
      {"16", true, 16},
      {"0x10", true, 16},
      {"0X1f", false, 31},
      {"  \t 42abc", false, 42},
      {"-5", true, -5},
      {"-5", false, 0},
      {"010", false, 10},  // decimal, never octal
      {"", false, 0},      // an entry without "="
      {nullptr, false, 0},
      {"0x", false, 0},
      {"99999999999", false, static_cast<LONG>(0xFFFFFFFFu)},
      {"99999999999", true, 0x7FFFFFFF},
      {"0xFFFFFFFF", false, static_cast<LONG>(0xFFFFFFFFu)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SmtpModule::ParseNumber(c.text, c.isSigned), c.value) << (c.text ? c.text : "NULL") << " " << c.isSigned;
}

TEST(DlvsmtpModule, AttachmentPathBesideTheJob) {
  CTEXT path;
  SmtpModule::AttachmentPath("/var/spool/work/X/job0001.tmp", &path);
  EXPECT_STREQ(path.Text(), "/var/spool/work/X/ATTACH.XXX");
  SmtpModule::AttachmentPath("job.tmp", &path);
  EXPECT_STREQ(path.Text(), "ATTACH.XXX");
  SmtpModule::AttachmentPath("C:\\work\\job.tmp", &path);
  EXPECT_STREQ(path.Text(), "C:\\work\\ATTACH.XXX");
}

TEST(DlvsmtpModule, AddressesGetTheirBrackets) {
  ASSERT_EQ(mvn::smtpengine::smeAttach(1), 1);
  SMTPRECORD* record = SmtpModule::Initialize(nullptr);
  record->m_sendTo.Assign("fax@server.example");
  EXPECT_TRUE(SmtpModule::CheckAddress(record, true, &record->m_sendTo, "SMTPSendTo"));
  EXPECT_STREQ(record->m_sendTo.Text(), "<fax@server.example>");
  record->m_replyTo.Assign("");
  EXPECT_TRUE(SmtpModule::CheckAddress(record, false, &record->m_replyTo, "SMTPReplyTo"));
  record->m_sentFrom.Assign("ann");
  EXPECT_FALSE(SmtpModule::CheckAddress(record, true, &record->m_sentFrom, "SMTPSentFrom"));
  EXPECT_STREQ(SmtpModule::GetLastResult(record), "smeVerifyFormat - Missing '@' character in email address.");
  EXPECT_EQ(SmtpModule::Terminate(record), 0);
  mvn::smtpengine::EngineRelease();
}

}  // namespace
