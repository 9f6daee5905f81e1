// The request writers against golden files, with the delivery command
// played by a recorder program and the main attachment held by a second
// process through the kernel.
#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "client/core/tests/book.h"
#include "client/core/tests/prompter.h"
#include "framework/core/strings.h"
#include "platform/registry/registry.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
namespace fw = mvn::framework;
using clienttest::ScriptedPrompter;
using clienttest::Temp;
using mvntest::ReadFile;
using mvntest::WriteFile;
using clienttest::MakeBook;
using clienttest::MarkGroups;

namespace {

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

// The target blocks of a send whose list holds a typed recipient and one
// record twice (fax and e-mail): the additional lines come from each
// target's own record, every time, in the INI's order; a key is a field
// name in any case, a key naming no field writes its label with nothing.
TEST_F(RequestTest, TargetBlocksOfATypedRecipientAndARecordSentTwice) {
  MakeBook(d, dir.str(),
           {{3, "Cy Cole", "C Ltd", "333", "c@x.test", "c@x.test", "PDF", "", "Cy", "Cole"},
            {1, "Al", "A Ltd", "", "a@x.test", "a@x.test", "TIF", "", "", ""}},
           {{"Sales", 3}, {"Sales", 1}});
  d.OpenAddressBook();
  auto& clients = d.File("MVClients");
  clients.Buffer().Clear();
  clients.Buffer().SetLong("PK_MVClientID", 3);
  ASSERT_EQ(clients.TryFetch("MVC:KeyPK_MVClientID"), 0);
  clients.Buffer().Set("Position", "Chief");
  ASSERT_EQ(clients.TryUpdate(), 0);
  d.CloseAll();
  Ini("[Files]\nDeliveryCommand=" + Command() +
      "\n[Default]\nSENDLOG=NO\n[AdditionalTargets]\nposition=Pos\nEmailAddress=E\nCustom9=Nope\nNotes=\n");
  MarkGroups(d, {{"Sales", true}});
  SendListSource source;
  source.recipient.name = "Ann Lee";
  AcceptRecipientName(source.recipient);
  source.recipient.company = "T Co";
  source.recipient.destination = "555";
  source.groupSend = GroupSend::FaxAndEmail;
  BuildSendList(d, source);
  SendJob job = ChristmasJob();
  SendResult r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.written && r.started) << r.message;
  EXPECT_EQ(r.targets, 4);
  std::string request = ReadFile(Temp() + "Faxout.tmp");
  size_t from = request.find("!TARGET"), to = request.find("!PASSTHROUGH-END");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  auto pad = [](const std::string& text, size_t width) { return text + std::string(width - text.size(), ' '); };
  const std::string expected =
      // The typed recipient: no record, so no additional lines.
      "!TARGET\r\n"
      "Destination:" + pad("555", 100) + "\r\n"
      "To:" + pad("Ann Lee", 100) + "\r\n"
      "Title:\r\nFirst:Ann\r\nLast:Lee\r\nCompany:T Co\r\n\r\n"
      // Record 3 by fax, then by e-mail: its lines twice.
      "!TARGET\r\nPos:" + pad("Chief", 20) + "\r\nEmailAddress:c@x.test\r\nNope:\r\n"
      "Destination:" + pad("333", 100) + "\r\nEmailFormat:PDF\r\n"
      "To:" + pad("Cy Cole", 100) + "\r\n"
      "Title:\r\nFirst:Cy\r\nLast:Cole\r\nCompany:C Ltd\r\n\r\n"
      "!TARGET\r\nPos:" + pad("Chief", 20) + "\r\nEmailAddress:c@x.test\r\nNope:\r\n"
      "Destination:" + pad("c@x.test", 100) + "\r\nEmailFormat:PDF\r\n"
      "To:" + pad("Cy Cole", 100) + "\r\n"
      "Title:\r\nFirst:Cy\r\nLast:Cole\r\nCompany:C Ltd\r\n\r\n"
      // Record 1, read last, stays last; its own (empty) position.
      "!TARGET\r\nPos:" + pad("", 20) + "\r\nEmailAddress:a@x.test\r\nNope:\r\n"
      "Destination:" + pad("a@x.test", 100) + "\r\nEmailFormat:TIF\r\n"
      "To:" + pad("Al", 100) + "\r\n"
      "Title:\r\nFirst:\r\nLast:\r\nCompany:A Ltd\r\n\r\n";
  EXPECT_EQ(request.substr(from, to - from), expected);
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
      "\n[Default]\nSENDLOG=NO\n[AdditionalTargets]\nNotes=Note\nPostalAddress=P\n"
      // Labels and commands as edited by hand: they read back without
      // their quotes, so a marker hides in them.
      "Position=\"!EXTATT\"\nDepartment=' !MVN-END'\n"
      "[DefaultCommands]\ncommand=2\nCommand_1=\" !ExtAttachment,x,/etc/passwd\"\nCommand_2=Dept=Sales\n");
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
  // The only lines that begin "!" (after blanks) are the writer's own.
  const std::set<std::string> own = {"!MVN - DASHPOST V5.0 (Tolvar)", "!PASSTHROUGH", "!TARGET", "!PASSTHROUGH-END",
                                     "!RTFBODY,0,0,0,00000,00000,00000,00000", "!MVN-END"};
  for (size_t at = 0; at < request.size();) {
    size_t end = request.find("\r\n", at);
    std::string text = request.substr(at, end - at);
    size_t first = text.find_first_not_of(" \t");
    if (first != std::string::npos && text[first] == '!') {
      EXPECT_TRUE(own.count(text)) << text;
    }
    at = end + 2;
  }
  EXPECT_NE(request.find("\r\nDept=Sales\r\n"), std::string::npos);
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

namespace {

// One typed recipient and a document; the common start of the tests below.
class SendTest : public RequestTest {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    WriteFile(dir / "doc.ps", "%!PS\n");
    source.recipient.name = "Bob";
    source.recipient.destination = "555";
    BuildSendList(d, source);
    job = ChristmasJob();
    job.mainAttachment = dir / "doc.ps";
    job.reference = "Ref7";
    options.waitMs = 3000;
    options.pauseMs = 20;
  }
  size_t TempFiles(const std::string& prefix) {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(Temp()))
      n += e.path().filename().string().rfind(prefix, 0) == 0;
    return n;
  }
  SendListSource source;
  SendJob job;
  WriterOptions options;
};

TEST_F(SendTest, NothingStartsOrIsLoggedUnlessTheRequestIsWhole) {
  Ini("[Files]\nDeliveryCommand=" + Command() + "\nSendLog=" + dir / "log.csv" + "\n[Default]\nSENDLOG=YES\n");
  AddQueue(d.Queues().g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "doc.ps"}});
  // The request's name is taken by a directory: it cannot be created.
  std::filesystem::create_directories(Temp() + "Faxout.tmp");
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_FALSE(r.written);
  EXPECT_FALSE(r.started);
  ASSERT_EQ(prompter.told.size(), 1u);
  EXPECT_NE(prompter.told[0].find("could not be created"), std::string::npos) << prompter.told[0];
  EXPECT_EQ(TempFiles("Attach"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "log.csv"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(std::filesystem::is_empty(record));
}

TEST_F(SendTest, ADeviceIsNoRequestFile) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  RequestFile file;
  // A device cannot stand in for the request file at all.
  EXPECT_FALSE(file.Create("/dev/full"));
  EXPECT_FALSE(file.WriteJobLine("x"));
  EXPECT_FALSE(file.Close());
}

TEST_F(SendTest, AnEmptyOrUnstartableCommandSendsAndLogsNothing) {
  for (std::string command : {std::string(""), dir / "no-such-program %1"}) {
    prompter.told.clear();
    Ini("[Files]\nDeliveryCommand=" + command + "\nSendLog=" + dir / "log.csv" +
        "\nSendlogKeepFiles=" + dir.str() + "\n[Default]\nSENDLOG=YES\nKeepFiles=YES\n");
    job.messageText = "kept?";
    SendResult r = SendFaxJob(d, ini, job, prompter, options);
    EXPECT_TRUE(r.written) << command;
    EXPECT_FALSE(r.started) << command;
    EXPECT_FALSE(r.logged) << command;
    ASSERT_EQ(prompter.told.size(), 1u) << command;
    EXPECT_FALSE(std::filesystem::exists(dir / "log.csv")) << command;
    EXPECT_EQ(TempFiles("Attach"), 0u) << command;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      EXPECT_EQ(e.path().filename().string().rfind("FaxMsg.", 0), std::string::npos) << command;
  }
}

TEST_F(SendTest, MissingOrUnreadableDocumentsAreNeverDroppedSilently) {
  Ini("[Files]\nDeliveryCommand=" + Command() + "\n[Default]\nSENDLOG=NO\n");
  // A missing main attachment: the message, then cancel or send without it.
  job.mainAttachment = dir / "gone.ps";
  prompter.goOn = false;
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_TRUE(r.cancelled);
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0], "You have typed a wrong file name to be send: " + dir / "gone.ps" +
                                   std::string(150 - (dir / "gone.ps").size(), ' ') + " Please check and retry!");
  prompter.goOn = true;
  r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(ReadFile(r.requestPath).find("!ExtAttachment"), std::string::npos);

  // A FIFO as document is refused without opening it.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  job.mainAttachment = dir / "fifo";
  prompter.told.clear();
  r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_TRUE(r.cancelled);
  ASSERT_EQ(prompter.told.size(), 1u);
  EXPECT_NE(prompter.told[0].find("not a regular file"), std::string::npos);

  // A missing or unreadable local attachment asks; cancel stops the send
  // and takes back the copies already made.
  job.mainAttachment = dir / "doc.ps";
  AddQueue(d.Queues().g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "doc.ps"}});
  AddQueue(d.Queues().g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "lost.txt"}});
  AddQueue(d.Queues().g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "fifo"}});
  prompter.asked.clear();
  prompter.goOn = false;
  r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_TRUE(r.cancelled);
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_NE(prompter.asked[0].find("lost.txt cannot be found"), std::string::npos) << prompter.asked[0];
  EXPECT_EQ(TempFiles("Attach"), 0u);
  prompter.asked.clear();
  prompter.goOn = true;
  r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(prompter.asked.size(), 2u);
  std::string request = ReadFile(r.requestPath);
  EXPECT_NE(request.find("AttachOtherFile1.TMP"), std::string::npos);
  EXPECT_EQ(request.find("AttachOtherFile2"), std::string::npos);
  EXPECT_EQ(request.find("AttachOtherFile3"), std::string::npos);
}

// The document is held with share mode 0 by another process, as the port
// monitor holds a spool file it still writes.
pid_t Hold(const std::string& path, int ms) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    execl(MVN_CLIENT_HELPER, MVN_CLIENT_HELPER, "hold", path.c_str(), std::to_string(ms).c_str(), nullptr);
    _exit(127);
  }
  close(pipefd[1]);
  char line[8] = {};
  ssize_t got = read(pipefd[0], line, 5);
  close(pipefd[0]);
  return got == 5 ? pid : -1;
}

TEST_F(SendTest, TheDocumentIsWaitedForBoundedlyWhileAnotherProgramHoldsIt) {
  Ini("[Files]\nDeliveryCommand=" + Command() + "\n[Default]\nSENDLOG=NO\n");
  WriteFile(dir / "doc.ps", "%!PS\nprinted\n");
  // Released within the wait: sent with its document, nobody asked.
  pid_t holder = Hold(dir / "doc.ps", 500);
  ASSERT_GT(holder, 0);
  auto start = std::chrono::steady_clock::now();
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(r.started) << r.message;
  EXPECT_TRUE(prompter.waits.empty());
  EXPECT_EQ(ReadFile(Temp() + "AttachMainFile.TMP"), "%!PS\nprinted\n");

  // Held past the wait: the user may wait again, or cancel, and then
  // nothing is sent.
  options.waitMs = 200;
  holder = Hold(dir / "doc.ps", 1500);
  ASSERT_GT(holder, 0);
  prompter.waitAgain = 1;
  r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.written);
  ASSERT_EQ(prompter.waits.size(), 2u);
  EXPECT_EQ(prompter.waits[0], "The document " + dir / "doc.ps" +
                                   " is still in use by another program (it may still be printing). Wait for it again?");
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(Runs(1).size(), 1u);
}

TEST_F(SendTest, APrintedDocumentInTheSpoolFolderIsHandedOverItself) {
  Ini("[Files]\nDeliveryCommand=" + Command() + "\n[Default]\nSENDLOG=NO\n"
      "[DefaultCommands]\ncommand=3\nCommand_1=!ExtAttachment,x,/etc/passwd\nCommand_2=\nCommand_3=" +
      std::string(110, 'c') + "\n");
  std::string spool = std::string(MvnRootDirectory()) + "/spool/temp/" + std::to_string(getuid());
  std::filesystem::create_directories(spool);
  WriteFile(spool + "/job1.ps", "%!PS printed");
  job.mainAttachment = spool + "/job1.ps";
  job.messageText = "m";
  job.includeCoverMessage = true;  // with no cover page chosen
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  ASSERT_TRUE(r.started) << r.message;
  std::string request = ReadFile(r.requestPath);
  EXPECT_NE(request.find("\r\n!ExtAttachment,job1.ps," + spool + "/job1.ps\r\n"), std::string::npos) << request;
  EXPECT_EQ(TempFiles("AttachMain"), 0u);
  EXPECT_NE(request.find("\r\nOverlay:\"\"\r\n"), std::string::npos);
  // Default commands: a long entry whole, none that reads as a marker.
  EXPECT_NE(request.find("\r\n" + std::string(110, 'c') + "\r\n"), std::string::npos);
  EXPECT_EQ(request.find("/etc/passwd"), std::string::npos);
}

TEST_F(SendTest, SendLogKeptCopiesAndTheReplacedAttention) {
  std::filesystem::create_directories(dir / "keep");
  Ini("[Files]\nDeliveryCommand=" + Command() + "\nSendLog=" + dir / "log.csv" + "\nSendlogKeepFiles=" +
      dir / "keep" + "\n[Default]\nSENDLOG=YES\nKeepFiles=yes\n");
  source.recipient.name = "Bob Baker";
  BuildSendList(d, source);
  auto& q = d.Queues();
  q.g_QsendTo.Buffer().Clear();
  q.g_QsendTo.Buffer().SetLong("Mark", 1);
  q.g_QsendTo.Buffer().Set("ToName", "Cy");
  q.g_QsendTo.Buffer().Set("Destination", "777");
  q.g_QsendTo.Add();
  q.g_QsendTo.Buffer().SetLong("Mark", 0);
  q.g_QsendTo.Buffer().Set("ToName", "Unmarked");
  q.g_QsendTo.Add();
  AddQueue(q.g_Qgroups, {{"GroupID", "Sales"}, {"Mark", "1"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Off"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Board"}, {"Mark", "1"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Logo"}, {"Mark", "1"}});
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "doc.ps"}});
  job.messageText = "Hello";
  job.replaceAttention = true;
  // 2026-12-10 12:34:56 UTC.
  options.now = 1796906096;
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  ASSERT_TRUE(r.logged) << r.message;
  // The first target's name went on every "To:" line and is cleared again.
  std::string request = ReadFile(r.requestPath);
  EXPECT_NE(request.find("To:Bob Baker           \r\n"), std::string::npos);
  EXPECT_EQ(request.find("To:Cy"), std::string::npos);
  EXPECT_EQ(job.attentionName, "");
  job.attentionName = "Typed";
  SendFaxJob(d, ini, job, prompter, options);
  EXPECT_EQ(job.attentionName, "Typed");

  EXPECT_EQ(ReadFile(dir / "keep/FaxMsg.20261210.123456"), "Hello");
  EXPECT_EQ(ReadFile(dir / "keep/doc.ps.20261210.123456"), "%!PS\n");
  // The second send in the same second keeps its own copies.
  EXPECT_TRUE(std::filesystem::exists(dir / "keep/FaxMsg.20261210.123456-2"));
  EXPECT_TRUE(std::filesystem::exists(dir / "keep/doc.ps.20261210.123456-2"));

  std::string expected =
      "\"2026/12/10 12:34:56\",\"Bob Baker\",\"\",\"555\",\"Ref7\",\"\",\"" + dir / "keep/FaxMsg.20261210.123456" +
      "\",\"" + dir / "keep/doc.ps.20261210.123456" + "\",\"Sales,Board\",\"Include:\"\"Logo\"\"\",\"\"\"" + dir / "doc.ps" + "\"\"\"\r\n";
  std::string log = ReadFile(dir / "log.csv");
  EXPECT_EQ(log.substr(0, expected.size()), expected);
  EXPECT_NE(log.find("\"2026/12/10 12:34:56\",\"Cy\",\"\",\"777\""), std::string::npos);
  EXPECT_EQ(log.find("Unmarked"), std::string::npos);

  // "Send to all recipients" logs "All Clients"; "Non-highlighted only"
  // sends to the unmarked entry only.
  std::filesystem::remove(dir / "log.csv");
  job.sendToAll = true;
  job.sendToOption = 2;
  job.replaceAttention = false;
  r = SendFaxJob(d, ini, job, prompter, options);
  EXPECT_EQ(r.targets, 1);
  log = ReadFile(dir / "log.csv");
  EXPECT_NE(log.find("\"Unmarked\""), std::string::npos);
  EXPECT_NE(log.find("\"All Clients\""), std::string::npos);
}

// The send log's list fields keep whole items only (Includes holds 799
// bytes, LocalFiles 999): of eight includes of 110 bytes seven fit, of seven
// local files of 152 bytes (a path of 150 in quotes, a comma between) six
// do; the user is told of the rest.
TEST_F(SendTest, TheSendLogListsWholeFilesAndTellsOfTheRest) {
  Ini("[Files]\nDeliveryCommand=" + Command() + "\nSendLog=" + dir / "log.csv" + "\n[Default]\nSENDLOG=YES\n");
  auto& q = d.Queues();
  std::string includes, locals;
  for (int i = 0; i < 8; ++i) {
    std::string name(100, static_cast<char>('A' + i));
    AddQueue(q.g_QimageFiles, {{"Name", name}, {"Mark", "1"}});
    if (i < 7) includes += "Include:\"\"" + name + "\"\"";
  }
  const std::string folder = dir.str() + "/";
  ASSERT_LT(folder.size(), 100u);
  for (int i = 0; i < 7; ++i) {
    std::string path = folder + std::string(150 - folder.size(), static_cast<char>('a' + i));
    WriteFile(path, "x");
    AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", path}});
    if (i < 6) locals += std::string(locals.empty() ? "" : ",") + "\"\"" + path + "\"\"";
  }
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  ASSERT_TRUE(r.logged) << r.message;
  EXPECT_EQ(r.copies.size(), 8u);  // the document and every local file go out
  ASSERT_EQ(prompter.told.size(), 1u);
  EXPECT_EQ(prompter.told[0],
            "The send log lists only the files that fit in its fields: 1 of 7 local files are left out of it, and 1 "
            "of 8 remote files are left out of it. A Re-Send of this entry will not attach them.");
  EXPECT_NE(ReadFile(dir / "log.csv").find(",\"\",\"" + includes + "\",\"" + locals + "\"\r\n"), std::string::npos)
      << ReadFile(dir / "log.csv");
}

// The send log names a kept copy in a field of 149 bytes: a copy whose
// name would not fit is not kept (and not logged) rather than logged under a
// name that is no file; a name that fits exactly is kept whole.
TEST_F(SendTest, KeptCopiesWhoseNamesTheLogCannotHoldAreNotKept) {
  options.now = 1796906096;  // 2026-12-10 12:34:56 UTC
  const std::string message = "FaxMsg.20261210.123456";   // 22 bytes
  const std::string document = "d.ps.20261210.123456";     // 20 bytes
  WriteFile(dir / "d.ps", "%!PS\n");
  job.mainAttachment = dir / "d.ps";
  job.messageText = "Hello";
  // The message copy's path: 149 bytes (fits), then 150 (does not; the
  // document's, two bytes shorter, still fits).
  for (size_t length : {149u, 150u}) {
    SCOPED_TRACE(length);
    std::string keep = dir / "k";
    keep += std::string(length - keep.size() - 1 - message.size(), 'k');
    std::filesystem::create_directories(keep);
    Ini("[Files]\nDeliveryCommand=" + Command() + "\nSendLog=" + dir / "log.csv" + "\nSendlogKeepFiles=" + keep +
        "\n[Default]\nSENDLOG=YES\nKeepFiles=yes\n");
    std::filesystem::remove(dir / "log.csv");
    prompter.told.clear();
    SendResult r = SendFaxJob(d, ini, job, prompter, options);
    ASSERT_TRUE(r.logged) << r.message;
    std::string log = ReadFile(dir / "log.csv");
    const bool fits = length == 149;
    EXPECT_EQ(std::filesystem::exists(keep + "/" + message), fits);
    EXPECT_EQ(log.find("\"" + keep + "/" + message + "\"") != std::string::npos, fits) << log;
    EXPECT_NE(log.find("\"" + keep + "/" + document + "\""), std::string::npos) << log;
    if (fits) {
      EXPECT_TRUE(prompter.told.empty());
    } else {
      ASSERT_EQ(prompter.told.size(), 1u);
      EXPECT_NE(prompter.told[0].find("was not kept"), std::string::npos) << prompter.told[0];
      // Nothing of the message is left in the directory and nothing cut in the log.
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(keep), {}), 1);
      EXPECT_EQ(log.find("FaxMsg"), std::string::npos) << log;
    }
  }
}

TEST_F(RequestTest, TheOtherRequestsAndCommandForms) {
  Ini("[Files]\nDeliveryCommand=" + Command(" %1 /x") + "\nImageFiles=" + dir / "images.ini" +
      "\n[Default]\nINTERNALMEDIANOTIFICATIONS=Yes\n");
  WriteFile(dir / "images.ini", "[ImageFiles]\nOld=Old one\nKeep=Kept\n");
  auto& q = d.Queues();
  AddQueue(q.g_QimageFiles, {{"Name", "Old"}, {"Mark", "1"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Keep"}});
  // The deletion request names the sender from the registry only.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Morvane International\\MVNSEND", &key), ERROR_SUCCESS);
  RegSetValueExA(key, "UserId", 0, REG_SZ, reinterpret_cast<const BYTE*>("u@x.test"), 9);
  RegSetValueExA(key, "UserName", 0, REG_SZ, reinterpret_cast<const BYTE*>("U Ser"), 6);
  RegCloseKey(key);
  // A deletion request that no command took deletes nothing.
  std::string command = ini.Fetch("Files", "DeliveryCommand");
  ini.Update("Files", "DeliveryCommand", "");
  SendResult none = WriteRemoteDeletion(d, ini, prompter);
  EXPECT_FALSE(none.started);
  EXPECT_EQ(q.g_QimageFiles.Records(), 2);
  EXPECT_EQ(fw::IniFile(dir / "images.ini").Fetch("ImageFiles", "Old"), "Old one");
  ini.Update("Files", "DeliveryCommand", command);
  SendResult del = WriteRemoteDeletion(d, ini, prompter);
  ASSERT_TRUE(del.started) << del.message;
  std::vector<Run> runs = Runs(1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].argv, (std::vector<std::string>{MVN_CLIENT_HELPER, "record", Temp() + "RemoveRemote.tmp"}));
  EXPECT_EQ(ReadFile(runs[0].base + ".2"),
            "!MVN\r\n!PASSTHROUGH\r\nUserId:u@x.test\r\nFrom:U Ser\r\nDELETE:Old\r\n!PASSTHROUGH-END\r\n!MVN-END\r\n");
  EXPECT_EQ(q.g_QimageFiles.Records(), 1);
  fw::IniFile images(dir / "images.ini");
  EXPECT_EQ(images.Fetch("ImageFiles", "Old"), "");
  EXPECT_EQ(images.Fetch("ImageFiles", "Keep"), "Kept");
  std::filesystem::remove_all(record);
  std::filesystem::create_directories(record);

  // Resubmit: a name of its own every time, never over another file.
  WriteFile(Temp() + "Resubmit.tmp", "someone else's");
  ResubmitJob resubmit{ResubmitKind::All, "1234"};
  SendResult a = WriteResubmit(ini, resubmit, prompter);
  SendResult b = WriteResubmit(ini, ResubmitJob{ResubmitKind::None, ""}, prompter);
  ASSERT_TRUE(a.started && b.started);
  EXPECT_NE(a.requestPath, b.requestPath);
  EXPECT_EQ(ReadFile(Temp() + "Resubmit.tmp"), "someone else's");
  runs = Runs(2);
  ASSERT_EQ(runs.size(), 2u);
  for (const Run& run : runs) {
    ASSERT_EQ(run.argv.size(), 4u);
    EXPECT_EQ(run.argv[3], "/x");
    std::string bytes = ReadFile(run.base + ".2");
    if (run.argv[2] == a.requestPath)
      EXPECT_EQ(bytes,
                "!MVN - DASHPOST V5.0 (Tolvar)\r\n!PASSTHROUGH\r\nRESUBMITA:1234\r\nNotifyErrorV=IntNotifyErrorV\r\n"
                "NotifyMultiV=IntNotifyMultiV\r\nNotifyDelayV=IntNotifyDelayV\r\n!PASSTHROUGH-END\r\n!MVN-END\r\n");
    else
      EXPECT_EQ(run.argv[2], b.requestPath);
  }
  std::filesystem::remove_all(record);
  std::filesystem::create_directories(record);

  // Settings: the part before "%1" alone. Upload: the list name and the
  // file, the list in the comma-delimited file.
  ASSERT_TRUE(StartDeliverySettings(ini, prompter));
  AddQueue(q.g_QsendTo, {{"ToName", "Bob"}, {"Company", "B, Ltd"}, {"Destination", "555"}});
  EXPECT_FALSE(UploadList(d, ini, "../evil", prompter).written);
  EXPECT_FALSE(UploadList(d, ini, "a\"b", prompter).written);
  SendResult up = UploadList(d, ini, "Customers", prompter);
  ASSERT_TRUE(up.started) << up.message;
  runs = Runs(2);
  ASSERT_EQ(runs.size(), 2u);
  bool sawSettings = false, sawUpload = false;
  for (const Run& run : runs) {
    if (run.argv.size() == 2) sawSettings = true;
    if (run.argv.size() == 4) {
      sawUpload = true;
      // The list is named as its file is, and the file has its header.
      EXPECT_EQ(run.argv[2], "GROUP:Customers.CSV");
      EXPECT_EQ(run.argv[3], Temp() + "Customers.CSV");
      EXPECT_EQ(ReadFile(run.base + ".3"), "\"To\",\"Company\",\"Destination\"\r\n\"Bob\",\"B, Ltd\",\"555\"\r\n");
    }
  }
  EXPECT_TRUE(sawSettings && sawUpload);
  // Without a command: the administrator's message, the file stays.
  ini.Update("Files", "DeliveryCommand", "");
  prompter.told.clear();
  SendResult later = UploadList(d, ini, "Later", prompter);
  EXPECT_FALSE(later.started);
  ASSERT_EQ(prompter.told.size(), 1u);
  EXPECT_EQ(prompter.told[0],
            "MVNSEND command does not exist in the setup file. Please contact your administrator.");
  EXPECT_TRUE(std::filesystem::exists(Temp() + "Later.CSV"));
}

TEST(DeliveryCommand, SplitAndForms) {
  struct Case {
    const char* command;
    const char *send, *deletion, *settings, *upload;
  } cases[] = {
      {"mvncsend.exe %1 /x", "mvncsend.exe C:/T/Faxout.tmp /x", "mvncsend.exe  C:/T/Faxout.tmp", "mvncsend.exe",
       "mvncsend.exe GROUP:\"L\" \"u.csv\""},
      {"  mvncsend %1", "mvncsend C:/T/Faxout.tmp", "mvncsend  C:/T/Faxout.tmp", "mvncsend",
       "mvncsend GROUP:\"L\" \"u.csv\""},
      {"mvncsend", "mvncsend C:/T/Faxout.tmp", "mvncsend C:/T/Faxout.tmp", "mvncsend", "mvncsend GROUP:\"L\" \"u.csv\""},
      {"\"/opt/my app/mvncsend\" \"%1\"", "\"/opt/my app/mvncsend\" \"C:/T/Faxout.tmp\"",
       "\"/opt/my app/mvncsend\" \"C:/T/Faxout.tmp\"", "\"/opt/my app/mvncsend\"",
       "\"/opt/my app/mvncsend\" GROUP:\"L\" \"u.csv\""},
  };
  for (const Case& c : cases) {
    DeliveryCommand dc = SplitDeliveryCommand(c.command);
    EXPECT_EQ(SendCommandLine(dc, "C:/T/Faxout.tmp"), c.send) << c.command;
    EXPECT_EQ(DeletionCommandLine(dc, "C:/T/Faxout.tmp"), c.deletion) << c.command;
    EXPECT_EQ(SettingsCommandLine(dc), c.settings) << c.command;
    EXPECT_EQ(UploadCommandLine(dc, "L", "u.csv"), c.upload) << c.command;
  }
  // A path with blanks is quoted unless the command quotes "%1" itself.
  EXPECT_EQ(SendCommandLine(SplitDeliveryCommand("s %1 /x"), "/t/my dir/F"), "s \"/t/my dir/F\" /x");
  EXPECT_EQ(DeletionCommandLine(SplitDeliveryCommand("s %1"), "/t/my dir/F"), "s  \"/t/my dir/F\"");
  EXPECT_EQ(SendCommandLine(SplitDeliveryCommand("s \"%1\""), "/t/my dir/F"), "s \"/t/my dir/F\"");
  EXPECT_TRUE(SplitDeliveryCommand("   ").Empty());

  EXPECT_EQ(FileNamePart("C:\\dir/sub\\doc.ps"), "doc.ps");
  EXPECT_EQ(FileNamePart("C:doc.ps"), "C:doc.ps");
  EXPECT_EQ(FileNamePart("dir/"), "");
  EXPECT_EQ(AttachmentItem("plain name.ps"), "plain name.ps");
  EXPECT_EQ(AttachmentItem("a,b \"c\""), "\"a,b \"\"c\"\"\"");
  EXPECT_EQ(AttachmentItem(" lead"), "\" lead\"");
}

TEST(Identity, FoundAsTheSendClientFindsItsIni) {
  mvntest::TempDir dir;
  std::filesystem::create_directories(dir / "bin");
  std::string program = dir / "bin/mvncsend";
  WriteFile(program, "#!/bin/sh\n");
  chmod(program.c_str(), 0755);
  WriteFile(dir / "bin/MVNCSEND.ini", "[mvncsend]\nYourName=Beside\nYourEmailAddress=b@x.test\n");
  WriteFile(dir / "other.INI", "[mvncsend]\nYourName=Config\n");
  struct Case {
    std::string command, name, id;
  } cases[] = {
      {program + " %1", "Beside", "b@x.test"},
      {"\"" + program + "\" CONFIG=" + dir / "other.INI" + " %1", "Config", ""},
  };
  for (const Case& c : cases) {
    UserIdentity id = GetUserIdentity(c.command);
    EXPECT_EQ(id.userName, c.name) << c.command;
    EXPECT_EQ(id.userId, c.id) << c.command;
  }
  // Looked up on PATH like the program itself.
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir / "bin").c_str(), 1);
  UserIdentity onPath = GetUserIdentity("mvncsend.exe %1");
  setenv("PATH", path.c_str(), 1);
  // "mvncsend.exe" is no program here, but its INI name is found on PATH.
  EXPECT_EQ(onPath.userName, "Beside");
  setenv("PATH", (dir / "bin").c_str(), 1);
  onPath = GetUserIdentity("mvncsend %1");
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(onPath.userName, "Beside");
}

}  // namespace

namespace {

TEST_F(SendTest, AFullDiskMidRequestStartsNothing) {
  Ini("[Files]\nDeliveryCommand=" + Command() + "\nSendLog=" + dir / "log.csv" + "\n[Default]\nSENDLOG=YES\n");
  // In a child process whose files may not grow past 600 bytes: the
  // request's writes fail part-way, as on a full disk.
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{600, 600};
    setrlimit(RLIMIT_FSIZE, &limit);
    SendResult r = SendFaxJob(d, ini, job, prompter, options);
    int told = prompter.told.size() == 1 && prompter.told[0].find("could not be written") != std::string::npos;
    _exit((r.written ? 1 : 0) | (r.started ? 2 : 0) | (told ? 4 : 0) | (r.logged ? 8 : 0));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_FALSE(std::filesystem::exists(Temp() + "Faxout.tmp"));
  EXPECT_EQ(TempFiles("Attach"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "log.csv"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(std::filesystem::is_empty(record));
}

TEST_F(SendTest, ARequestPathWithBlanksArrivesAsOneWord) {
  std::string spaced = dir / "my temp";
  std::filesystem::create_directories(spaced);
  setenv("MVN_TEMP", spaced.c_str(), 1);
  Ini("[Files]\nDeliveryCommand=" + Command(" %1 /x") + "\n[Default]\nSENDLOG=NO\n");
  SendResult r = SendFaxJob(d, ini, job, prompter, options);
  unsetenv("MVN_TEMP");
  ASSERT_TRUE(r.started) << r.message;
  std::vector<Run> runs = Runs(1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].argv, (std::vector<std::string>{MVN_CLIENT_HELPER, "record", spaced + "/Faxout.tmp", "/x"}));
  EXPECT_NE(ReadFile(runs[0].base + ".2").find("!ExtAttachment,doc.ps," + spaced + "/AttachMainFile.TMP\r\n"),
            std::string::npos);
}

}  // namespace
