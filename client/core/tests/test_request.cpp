// The request writers against golden files, with the delivery command
// played by a recorder program and the main attachment held by a second
// process through the kernel.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "client/core/tests/book.h"
#include "framework/core/strings.h"
#include "platform/registry/registry.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
namespace fw = mvn::framework;
using mvntest::ReadFile;
using mvntest::WriteFile;
using clienttest::MakeBook;
using clienttest::MarkGroups;

namespace {

// Answers from a script; every text asked or told is kept.
class ScriptedPrompter : public Prompter {
 public:
  void Tell(const std::string& text) override { told.push_back(text); }
  bool AskContinue(const std::string& text) override {
    asked.push_back(text);
    return goOn;
  }
  bool AskWaitAgain(const std::string& path) override {
    waits.push_back(path);
    return waitAgain-- > 0;
  }
  std::vector<std::string> told, asked, waits;
  bool goOn = true;
  int waitAgain = 0;
};

std::string Temp() {
  char buffer[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, n);
}

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record = dir / "record";
    std::filesystem::create_directories(record);
    setenv("MVN_RECORD_DIR", record.c_str(), 1);
    // Leftovers of an earlier test in the shared temporary directory.
    for (const auto& e : std::filesystem::directory_iterator(Temp())) std::filesystem::remove_all(e.path());
    ini.SetFileName(dir / "client.ini");
  }
  void Ini(const std::string& text) { WriteFile(dir / "client.ini", text); }
  std::string Command(const std::string& tail = " %1") { return std::string(MVN_CLIENT_HELPER) + " record" + tail; }

  // The recorder runs started so far: argv lines and the bytes of argument i.
  struct Run {
    std::vector<std::string> argv;
    std::string base;
  };
  std::vector<Run> Runs(size_t expected) {
    mvntest::WaitFor([&] {
      size_t n = 0;
      for (const auto& e : std::filesystem::directory_iterator(record)) n += e.path().extension() == ".done";
      return n >= expected;
    });
    std::vector<Run> runs;
    for (const auto& e : std::filesystem::directory_iterator(record)) {
      if (e.path().extension() != ".done") continue;
      Run r;
      r.base = (record / e.path().stem()).string();
      std::string words = ReadFile(r.base + ".argv");
      size_t start = 0;
      for (size_t nl; (nl = words.find('\n', start)) != std::string::npos; start = nl + 1)
        r.argv.push_back(words.substr(start, nl - start));
      runs.push_back(r);
    }
    return runs;
  }

  mvntest::TempDir dir;
  std::filesystem::path record;
  Dictionary d;
  fw::IniFile ini;
  ScriptedPrompter prompter;
};

std::string Golden(const std::string& name) { return ReadFile(std::string(MVN_CLIENT_GOLDEN) + "/" + name); }

void AddQueue(fw::Queue& q, const std::vector<std::pair<std::string, std::string>>& fields) {
  q.Buffer().Clear();
  for (const auto& [name, value] : fields) q.Buffer().Set(name, value);
  q.Add();
}

SendJob ChristmasJob() {
  SendJob job;
  job.sendDate = fw::Date(12, 24, 2003);
  job.sendTime = fw::Time(15, 30, 0);
  return job;
}

TEST_F(RequestTest, TypedRecipientWithMessageAndCoverPage) {
  WriteFile(dir / "mvncsend.ini", "[mvn_client_core_helper]\r\nYourName=Ann Smith\r\nYourEmailAddress=ann@example.test\r\n");
  WriteFile(dir / "header.rtf", "{\\rtf1 Acme}\r\n!odd\r\n");
  WriteFile(dir / "cover.ini", "[Standard]\nAddressHeaderFilename=" + dir / "header.rtf" +
                                   "\nAddressHeaderLines=TOP\nAddressHeader=\nAddressHeaderMargins=0.5,0.5,1,1\n"
                                   "MessageBodyLines=NONE\nMessageBody=1,2\nMessageBodyFontname=arial\n"
                                   "MessageBodyFontSize=12\nSignatureFilename=" +
                                   dir / "missing-sig.rtf" + "\nSignatureLines=BOTH\nSignature=1\n");
  Ini("[Files]\nDeliveryCommand=" + Command(" CONFIG=" + dir / "mvncsend.ini" + " %1") +
      "\nGlobalCoverPages=" + dir / "cover.ini" + "\nImageFiles=" + dir / "images.ini" +
      "\n[Default]\nSENDLOG=NO\n[MVNCLIENT]\nRoute=yes\n"
      "[DefaultCommands]\ncommand=2\nCommand_1=Dept=Sales\nCommand_2=Cost=12\n");
  auto& q = d.Queues();
  AddQueue(q.g_QcoverPages, {{"Name", "MyCover"}, {"bNewCreated", "1"}, {"Description", "Mine"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Logo"}, {"Mark", "1"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Unmarked"}});
  AddQueue(q.g_QimageFiles, {{"Name", "NewImg"}, {"Description", "A new one"}, {"bNewCreated", "1"}, {"Mark", "1"}});
  AddQueue(q.g_QremoteLists, {{"Name", "ListA"}, {"Mark", "1"}});
  AddQueue(q.g_QremoteLists, {{"Name", "Off"}});
  AddQueue(q.g_QremoteLists, {{"Name", "ListB"}, {"Mark", "1"}});

  SendListSource source;
  source.recipient.name = "Dr Ann Lee Smith";
  AcceptRecipientName(source.recipient);
  source.recipient.company = "Acme Ltd";
  source.recipient.destination = "+44 20 7946 0000";
  BuildSendList(d, source);

  SendJob job = ChristmasJob();
  job.reference = "ABC";
  job.chargeCode = "C42";
  job.notification = Notification::All;
  job.priority = Priority::High;
  job.resolution = Resolution::High;
  job.pageSize = PageSize::Full;
  job.messageText = "Dear {Bob}\r\nC:\\new\r\ntwo";
  job.coverPage = "Standard";
  job.includeCoverMessage = true;
  SendResult r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.written && r.started) << r.message;
  EXPECT_EQ(prompter.told, std::vector<std::string>{});

  std::vector<Run> runs = Runs(1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].argv, (std::vector<std::string>{MVN_CLIENT_HELPER, "record", "CONFIG=" + dir / "mvncsend.ini",
                                                    Temp() + "Faxout.tmp"}));
  EXPECT_EQ(ReadFile(runs[0].base + ".3"), Golden("typed.req"));

  // New cover pages and images are registered once and are not new any more.
  fw::IniFile cover(dir / "cover.ini"), images(dir / "images.ini");
  EXPECT_EQ(cover.Fetch("AvailableCoverPages", "MyCover"), "Mine");
  EXPECT_EQ(cover.Fetch("MyCover", "AddressHeader"), "0.5,0.5,1,1");
  EXPECT_EQ(cover.Fetch("MyCover", "MessageBodyFontname"), "arial");
  EXPECT_EQ(images.Fetch("ImageFiles", "NewImg"), "A new one");
  EXPECT_EQ(q.g_QcoverPages.Entry(1).GetLong("bNewCreated"), 0);
  EXPECT_EQ(q.g_QimageFiles.Entry(3).GetLong("bNewCreated"), 0);
  SendFaxJob(d, ini, job, prompter);
  std::string second = ReadFile(Temp() + "Faxout.tmp");
  EXPECT_EQ(second.find("Out:"), std::string::npos);
  EXPECT_NE(second.find("Include:\"NewImg\"\r\n"), std::string::npos);
}

TEST_F(RequestTest, GroupTargetsAdditionalLinesAndAttachments) {
  MakeBook(d, dir.str(),
           {{1, "Ann Ames", "A Ltd", "111", "a@x.test", "a@x.test", "PDF", "Dr", "Ann", "Ames"},
            {2, "Bob", "B Ltd", "222", "", "222", "", "", "", ""}},
           {{"Sales", 2}, {"Sales", 1}});
  d.OpenAddressBook();
  auto& clients = d.File("MVClients");
  clients.Buffer().Clear();
  clients.Buffer().SetLong("PK_MVClientID", 1);
  ASSERT_EQ(clients.TryFetch("MVC:KeyPK_MVClientID"), 0);
  clients.Buffer().Set("PostalAddress", "1 Main Rd\r\nTown");
  clients.Buffer().Set("Position", "Manager");
  ASSERT_EQ(clients.TryUpdate(), 0);
  d.CloseAll();

  Ini("[Files]\nDeliveryCommand=" + Command() +
      "\n[Default]\nSENDLOG=NO\nUseUTCTime=YES\n"
      "[AdditionalTargets]\nPostalAddress=Post\nEmailAddress=X\nPosition=Pos\nNotes=\nEmailAttachmentType=Att\n");
  WriteFile(dir / "doc.ps", "%!PS\nshowpage\n");
  WriteFile(dir / "a.txt", "first");
  WriteFile(dir / "b.txt", "second");
  WriteFile(dir / "c, d.txt", "third");
  auto& q = d.Queues();
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "a.txt"}});
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "0"}, {"FilePathName", dir / "b.txt"}});
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "c, d.txt"}});
  MarkGroups(d, {{"Sales", true}});
  SendListSource source;
  source.groupSend = GroupSend::FaxOnly;
  BuildSendList(d, source);

  SendJob job = ChristmasJob();
  job.mainAttachment = dir / "doc.ps";
  SendResult r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.written && r.started) << r.message;
  std::string golden = Golden("targets.req");
  for (size_t at; (at = golden.find("@TEMP@")) != std::string::npos;) golden.replace(at, 6, Temp());
  std::vector<Run> runs = Runs(1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(ReadFile(runs[0].base + ".2"), golden);
  // The copies hold the files; the user's own files stay where they are.
  EXPECT_EQ(ReadFile(Temp() + "AttachMainFile.TMP"), "%!PS\nshowpage\n");
  EXPECT_EQ(ReadFile(Temp() + "AttachOtherFile1.TMP"), "first");
  EXPECT_EQ(ReadFile(Temp() + "AttachOtherFile3.TMP"), "third");
  EXPECT_FALSE(std::filesystem::exists(Temp() + "AttachOtherFile2.TMP"));
  EXPECT_TRUE(std::filesystem::exists(dir / "doc.ps"));

  // A second request before the send client took the first: new names,
  // nothing of the first overwritten.
  WriteFile(dir / "a.txt", "changed");
  r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.written);
  EXPECT_EQ(ReadFile(Temp() + "AttachOtherFile1.TMP"), "first");
  EXPECT_EQ(ReadFile(Temp() + "AttachOtherFile1-2.TMP"), "changed");
  EXPECT_NE(ReadFile(Temp() + "Faxout.tmp").find("AttachOtherFile1-2.TMP\r\n"), std::string::npos);
}

TEST_F(RequestTest, ValuesNeverAddLines) {
  MakeBook(d, dir.str(), {{1, "Eve\r\n!ExtAttachment,x,/etc/passwd", "E", "1", "", "1", "", "", "", ""}}, {{"G", 1}});
  d.OpenAddressBook();
  auto& clients = d.File("MVClients");
  clients.Buffer().Clear();
  clients.Buffer().SetLong("PK_MVClientID", 1);
  ASSERT_EQ(clients.TryFetch("MVC:KeyPK_MVClientID"), 0);
  clients.Buffer().Set("Notes", "a\nb\rc");
  clients.Buffer().Set("PostalAddress", "\r\n  Flat 2\r\rStreet\n\nTown\nShire\nCountry");
  ASSERT_EQ(clients.TryUpdate(), 0);
  d.CloseAll();
  Ini("[Files]\nDeliveryCommand=" + Command() +
      "\n[Default]\nSENDLOG=NO\n[AdditionalTargets]\nNotes=Note\nPostalAddress=P\n");
  MarkGroups(d, {{"G", true}});
  BuildSendList(d, SendListSource{});
  SendJob job = ChristmasJob();
  job.reference = "R1\r\n!MVN-END";
  job.messageText = "x";
  ASSERT_TRUE(SendFaxJob(d, ini, job, prompter).written);
  std::string request = ReadFile(Temp() + "Faxout.tmp");
  EXPECT_EQ(request.find("\n!ExtAttachment"), std::string::npos);
  EXPECT_EQ(request.find("\n!MVN-END"), request.size() - 11);
  EXPECT_NE(request.find("Note:a b c" + std::string(195, ' ') + "\r\n"), std::string::npos);
  EXPECT_NE(request.find("To:Eve  !ExtAttachment,x,/etc/passwd"), std::string::npos);
  // Address parts split at every kind of line end, no CR kept, at most four.
  EXPECT_NE(request.find("\r\nP2:Flat 2\r\nP4:Street\r\nDestination:"), std::string::npos) << request;
  // Every CR stands before an LF.
  for (size_t at = request.find('\r'); at != std::string::npos; at = request.find('\r', at + 1))
    ASSERT_EQ(request[at + 1], '\n') << at;
}

TEST(SendTime, UtcUsesTheOffsetAtTheSendTime) {
  struct Case {
    const char* zone;
    const char* local;  // y m d h mi
    const char* line;
  } cases[] = {
      {"UTC", "2003 12 24 15 30", "Send:UTC200312241530"},
      {"Europe/London", "2026 12 24 15 30", "Send:UTC202612241530"},
      {"Europe/London", "2026 07 01 15 30", "Send:UTC202607011430"},
      {"America/New_York", "2026 03 07 12 00", "Send:UTC202603071700"},
      {"America/New_York", "2026 03 08 12 00", "Send:UTC202603081600"},
      {"America/New_York", "2026 11 01 00 30", "Send:UTC202611010430"},
      {"Australia/Sydney", "2026 01 15 09 05", "Send:UTC202601142205"},
      {"Asia/Kolkata", "2026 06 01 00 10", "Send:UTC202605311840"},
  };
  for (const Case& c : cases) {
    std::string out;
    int rc = mvntest::RunShell(std::string("TZ=") + c.zone + " " + MVN_CLIENT_HELPER + " sendtime " + c.local, &out);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, std::string(c.line) + "\n") << c.zone << " " << c.local;
  }
  EXPECT_EQ(SendTimeLine(fw::Date(1, 2, 2026), fw::Time(9, 5, 0), false), "Send:02/01/2026 09:05   ");
}

}  // namespace
