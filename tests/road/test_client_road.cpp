// The client's road: the send request written by the client core, with a
// printed-size document and a local attachment whose name holds a comma and
// a blank, goes through the real mvncsend and dlvlocal; the frame in the
// drop directory is decoded by the independent job decoder and every
// attachment is compared byte for byte.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "framework/core/strings.h"
#include "tests/support/process.h"
#include "tests/support/random.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
using mvntest::ReadFile;
using mvntest::WriteFile;

namespace {

std::string RandomBytes(size_t n, uint64_t seed) {
  mvntest::Random random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random.Next());
  return bytes;
}

class Silent : public Prompter {
 public:
  void Tell(const std::string& text) override { told.push_back(text); }
  bool AskContinue(const std::string& text) override {
    told.push_back(text);
    return false;
  }
  bool AskWaitAgain(const std::string&) override { return false; }
  std::vector<std::string> told;
};

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ClientRoad, TheWrittenRequestTravelsWholeThroughMvncsendAndDlvlocal) {
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  tzset();
  std::setlocale(LC_ALL, "");
  mvntest::TestRoot root;
  mvntest::TempDir dir;
  const std::string drop = dir / "drop";
  std::filesystem::create_directories(drop);
  std::filesystem::create_directories(dir / "docs");
  WriteFile(dir / "mvncsend.ini", "[mvncsend]\nDeliveryModule=" MVN_DLVLOCAL "\nWorkingPath=" + dir / "work" +
                                      "\nOutputLocation=" + drop +
                                      "\nYourName=Ann Smith\nYourEmailAddress=ann@example.test\nInteractive=0\n");
  WriteFile(dir / "client.ini", "[Files]\nDeliveryCommand=" MVN_MVNCSEND " CONFIG=" + dir / "mvncsend.ini" +
                                    " %1\nSendLog=" + dir / "sendlog.csv" + "\n[Default]\nSENDLOG=YES\n");
  const std::string document = RandomBytes(200000, 17);
  const std::string sheet = RandomBytes(70000, 18);
  WriteFile(dir / "docs/report.ps", document);
  WriteFile(dir / "docs/Prices, 2026.xls", sheet);

  Dictionary d;
  auto& q = d.Queues();
  q.g_QattachOtherFiles.Buffer().Clear();
  q.g_QattachOtherFiles.Buffer().SetLong("Mark", 1);
  q.g_QattachOtherFiles.Buffer().Set("FilePathName", dir / "docs/Prices, 2026.xls");
  q.g_QattachOtherFiles.Add();
  SendListSource source;
  source.recipient.name = "Bob Jones";
  source.recipient.company = "Example Ltd";
  source.recipient.destination = "+44 20 7946 0000";
  AcceptRecipientName(source.recipient);
  BuildSendList(d, source);
  SendJob job;
  job.sendDate = mvn::framework::Date(12, 24, 2026);
  job.sendTime = mvn::framework::Time(9, 0, 0);
  job.reference = "Invoice 2026-1224";
  job.mainAttachment = dir / "docs/report.ps";
  mvn::framework::IniFile ini(dir / "client.ini");
  Silent prompter;
  SendResult r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.started) << r.message;
  ASSERT_TRUE(r.logged);

  ASSERT_TRUE(mvntest::WaitFor([&] { return List(drop).size() == 1 && List(drop)[0].rfind("MVN", 0) == 0; },
                               std::chrono::seconds(60)))
      << "no frame in " << drop;
  std::string frame = ReadFile(drop + "/" + List(drop)[0]);
  const std::string head =
      "!MVN::MVN\r\nSENDER-DEFAULTS=no\r\nSENDER-TYPE=LOCAL\r\nSENDER-NAME=Ann Smith\r\n"
      "SENDER-ADDRESS=ann@example.test\r\n";
  const std::string tail = "!MVN-END\r\n";
  ASSERT_EQ(frame.rfind(head, 0), 0u) << frame.substr(0, 200);
  ASSERT_EQ(frame.substr(frame.size() - tail.size()), tail);
  WriteFile(dir / "job", frame.substr(head.size(), frame.size() - head.size() - tail.size()));
  std::string summary;
  ASSERT_EQ(mvntest::RunShell(std::string(MVN_PYTHON " " MVN_JOBDECODE " ") + dir / "job" + " " + dir / "decoded",
                              &summary),
            0);
  EXPECT_EQ(List(dir / "decoded"), (std::vector<std::string>{"00-ATTACHMENT.bin", "01-ATTACHMENT.bin"}));
  EXPECT_TRUE(ReadFile(dir / "decoded/00-ATTACHMENT.bin") == document);
  EXPECT_TRUE(ReadFile(dir / "decoded/01-ATTACHMENT.bin") == sheet);
  EXPECT_NE(summary.find("\"report.ps\""), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"Prices, 2026.xls\""), std::string::npos) << summary;
  EXPECT_NE(summary.find("From:Ann Smith"), std::string::npos);
  EXPECT_NE(summary.find("Reference:Invoice 2026-1224"), std::string::npos);

  // The send client disposed of the copies it embedded; the user's own
  // files are where they were.
  ASSERT_TRUE(mvntest::WaitFor([&] {
    for (const std::string& copy : r.copies)
      if (std::filesystem::exists(copy)) return false;
    return true;
  }));
  EXPECT_TRUE(ReadFile(dir / "docs/report.ps") == document);
  EXPECT_TRUE(ReadFile(dir / "docs/Prices, 2026.xls") == sheet);
  EXPECT_NE(ReadFile(dir / "sendlog.csv").find("\"Bob Jones\",\"Example Ltd\",\"+44 20 7946 0000\""),
            std::string::npos);
  EXPECT_TRUE(prompter.told.empty());
}

}  // namespace
