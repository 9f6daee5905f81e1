// The send log, Re-Send, resubmit and the recipient review, over real files
// and the real request writer (the delivery command is a recorder).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/core/tests/prompter.h"
#include "client/sendlog/sendlog.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
namespace fw = mvn::framework;
using clienttest::ScriptedPrompter;
using clienttest::Temp;
using mvntest::ReadFile;
using mvntest::WriteFile;

namespace {

void AddQueue(fw::Queue& q, const std::vector<std::pair<std::string, std::string>>& fields) {
  q.Buffer().Clear();
  for (const auto& [name, value] : fields) q.Buffer().Set(name, value);
  q.Add();
}

SendLogEntry Row(const std::string& attn, const std::string& cp = "", const std::string& ps = "") {
  SendLogEntry e;
  e.date = "2026/12/10 12:00:00";
  e.attn = attn;
  e.destination = "555";
  e.cpFileName = cp;
  e.psFileName = ps;
  return e;
}

struct SendLogTest : ::testing::Test {
  void SetUp() override {
    record = dir / "record";
    std::filesystem::create_directories(record);
    std::filesystem::create_directories(dir / "keep");
    setenv("MVN_RECORD_DIR", record.c_str(), 1);
    for (const auto& e : std::filesystem::directory_iterator(Temp())) std::filesystem::remove_all(e.path());
    ini.SetFileName(dir / "client.ini");
    WriteFile(dir / "client.ini", "[Files]\nDeliveryCommand=" + std::string(MVN_CLIENT_HELPER) + " record %1" +
                                      "\nSendLog=" + log + "\nSendlogKeepFiles=" + dir / "keep" +
                                      "\n[Default]\nSENDLOG=YES\nKeepFiles=YES\n");
  }
  size_t Runs() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(record)) n += e.path().extension() == ".done";
    return n;
  }
  mvntest::TempDir dir;
  std::filesystem::path record;
  std::string log = dir / "SendLog.csv";
  Dictionary d;
  fw::IniFile ini;
  ScriptedPrompter prompter;
};

}  // namespace

TEST(GetQuotedListItem, Table) {
  struct Case {
    std::string list;
    std::vector<std::string> items;
    bool cut;
  } cases[] = {
      {"", {}, false},
      {"\"a.doc\",\"b.doc\"", {"a.doc", "b.doc"}, false},
      {"\"/x/with, comma.doc\",\"/y/z\"", {"/x/with, comma.doc", "/y/z"}, false},
      {"\"say \"\"hi\"\".txt\"", {"say \"hi\".txt"}, false},
      {"bare,\"q\"", {"bare", "q"}, false},
      {"\"a\",\"/cut/of", {"a"}, true},  // a list cut by its field: only complete items
      {",,\"a\",", {"a"}, false},
  };
  for (const Case& c : cases) {
    bool cut = false;
    EXPECT_EQ(QuotedListItems(c.list, &cut), c.items) << c.list;
    EXPECT_EQ(cut, c.cut) << c.list;
  }
  bool cut = false;
  EXPECT_EQ(IncludedNames("Include:\"Logo\"Include:\"Map, big\"Include:\"Cu", &cut),
            (std::vector<std::string>{"Logo", "Map, big"}));
  EXPECT_TRUE(cut);
}

TEST_F(SendLogTest, RoundTripOfAThreeTargetSend) {
  auto& q = d.Queues();
  for (const char* name : {"Ann", "Bob, Jr.", "Cy \"C\""}) AddQueue(q.g_QsendTo, {{"Mark", "1"}, {"ToName", name}, {"Destination", "555"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Sales"}, {"Mark", "1"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Support"}, {"Mark", "1"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Logo"}, {"Mark", "1"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Map, big"}, {"Mark", "1"}});
  WriteFile(dir / "a.doc", "A");
  WriteFile(dir / "b, c.doc", "B");
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "a.doc"}});
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / "b, c.doc"}});
  SendJob job;
  job.reference = "R1";
  SendResult r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.logged) << r.message;
  std::vector<SendLogEntry> rows;
  std::string message;
  ASSERT_TRUE(LoadSendLog(log, &rows, &message)) << message;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].attn, "Bob, Jr.");
  EXPECT_EQ(rows[2].attn, "Cy \"C\"");
  for (const SendLogEntry& e : rows) {
    EXPECT_EQ(e.date, rows[0].date);
    EXPECT_EQ(e.groups, "Sales,Support");
    EXPECT_EQ(e.includes, "Include:\"Logo\"Include:\"Map, big\"");
    EXPECT_EQ(QuotedListItems(e.localFiles), (std::vector<std::string>{dir / "a.doc", dir / "b, c.doc"}));
    EXPECT_EQ(IncludedNames(e.includes), (std::vector<std::string>{"Logo", "Map, big"}));
  }
  // A missing log is an empty list; a directory in its place is refused.
  EXPECT_TRUE(LoadSendLog(dir / "none.csv", &rows, &message));
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(LoadSendLog(dir.str(), &rows, &message));
}

// Local and remote files that do not all fit in the log's fields: only
// whole items are logged, the user is told, and a quote in a path comes
// back from the log as it was.
TEST_F(SendLogTest, LongFileListsKeepOnlyWholeItems) {
  auto& q = d.Queues();
  AddQueue(q.g_QsendTo, {{"Mark", "1"}, {"ToName", "Ann"}, {"Destination", "555"}});
  std::vector<std::string> paths;
  for (int i = 0; i < 12; ++i) {
    std::string name = std::string(i == 0 ? "say \"hi\" " : "") + "file-" + std::to_string(i) + "-" +
                       std::string(80, 'x') + ".doc";
    paths.push_back(dir / name);
    WriteFile(paths.back(), "x");
    AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", paths.back()}});
  }
  for (int i = 0; i < 12; ++i)
    AddQueue(q.g_QimageFiles, {{"Name", "image-" + std::to_string(i) + std::string(60, 'y')}, {"Mark", "1"}});
  SendJob job;
  SendResult r = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(r.logged) << r.message;
  std::vector<SendLogEntry> rows;
  std::string message;
  ASSERT_TRUE(LoadSendLog(log, &rows, &message)) << message;
  ASSERT_EQ(rows.size(), 1u);
  bool cut = false;
  std::vector<std::string> logged = QuotedListItems(rows[0].localFiles, &cut);
  EXPECT_FALSE(cut);
  ASSERT_GE(logged.size(), 2u);
  ASSERT_LT(logged.size(), paths.size());
  for (size_t i = 0; i < logged.size(); ++i) EXPECT_EQ(logged[i], paths[i]);
  std::vector<std::string> images = IncludedNames(rows[0].includes, &cut);
  EXPECT_FALSE(cut);
  ASSERT_GE(images.size(), 2u);
  ASSERT_LT(images.size(), 12u);
  bool told = false;
  for (const std::string& t : prompter.told)
    told = told || (t.find(std::to_string(paths.size() - logged.size()) + " of 12 local files") != std::string::npos &&
                    t.find(std::to_string(12 - images.size()) + " of 12 remote files") != std::string::npos);
  EXPECT_TRUE(told);
}

TEST_F(SendLogTest, DeleteOneOfThreeRowsOfARequest) {
  std::string cp = dir / "keep/FaxMsg.1", ps = dir / "keep/doc.1", other = dir / "keep/FaxMsg.2";
  for (const std::string& f : {cp, ps, other}) WriteFile(f, "x");
  std::string message;
  {
    fw::FileManager file(fw::Driver::Csv, SNDLayout(), log);
    ASSERT_EQ(file.TryOpen(fw::ReadWrite | fw::DenyWrite), 0);
    for (const SendLogEntry& e : {Row("Ann", cp, ps), Row("Bob", cp, ps), Row("Cy", cp, ps), Row("Dee", other)}) {
      file.Buffer().Clear();
      file.Buffer().Set("Date", e.date);
      file.Buffer().Set("Attn", e.attn);
      file.Buffer().Set("Destination", e.destination);
      file.Buffer().Set("CPFileName", e.cpFileName);
      file.Buffer().Set("PSFileName", e.psFileName);
      ASSERT_EQ(file.TryInsert(), 0);
    }
    file.Close();
  }
  std::vector<SendLogEntry> shown;
  ASSERT_TRUE(LoadSendLog(log, &shown, &message));
  SortSendLog(shown, SendLogColumn::Attn);
  // Meanwhile another send appends a row.
  {
    fw::FileManager file(fw::Driver::Csv, SNDLayout(), log);
    ASSERT_EQ(file.TryOpen(fw::ReadWrite | fw::DenyWrite), 0);
    file.Buffer().Clear();
    file.Buffer().Set("Attn", "Late");
    ASSERT_EQ(file.TryInsert(), 0);
    file.Close();
  }
  DeleteResult r = DeleteSendLogRows(log, {shown[1]}, dir / "keep");  // Bob
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.removed, 1);
  EXPECT_TRUE(r.deletedFiles.empty());  // Ann and Cy still name the copies
  EXPECT_TRUE(std::filesystem::exists(cp));
  EXPECT_TRUE(std::filesystem::exists(ps));
  std::vector<SendLogEntry> now;
  ASSERT_TRUE(LoadSendLog(log, &now, &message));
  std::vector<std::string> names;
  for (const auto& e : now) names.push_back(e.attn);
  EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Cy", "Dee", "Late"}));  // the file's order
  // The last rows naming the copies go: the copies go with them, not Dee's.
  r = DeleteSendLogRows(log, {now[0], now[1]}, dir / "keep/");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.removed, 2);
  EXPECT_FALSE(std::filesystem::exists(cp));
  EXPECT_FALSE(std::filesystem::exists(ps));
  EXPECT_TRUE(std::filesystem::exists(other));
  ASSERT_TRUE(LoadSendLog(log, &now, &message));
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now[0].attn, "Dee");
  // No temporary file is left beside the log (its lock file stays).
  size_t files = 0;
  const std::string lockName = "." + std::filesystem::path(log).filename().string() + ".lock";
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    files += e.is_regular_file() && e.path().filename() != lockName;
  EXPECT_EQ(files, 2u);  // client.ini and the log

  // A row naming a file outside the kept-copies directory leaves it alone.
  std::string outside = dir / "precious.txt";
  WriteFile(outside, "mine");
  {
    fw::FileManager file(fw::Driver::Csv, SNDLayout(), log);
    ASSERT_EQ(file.TryOpen(fw::ReadWrite | fw::DenyWrite), 0);
    file.Buffer().Clear();
    file.Buffer().Set("Attn", "Odd");
    file.Buffer().Set("CPFileName", outside);
    ASSERT_EQ(file.TryInsert(), 0);
    file.Close();
  }
  ASSERT_TRUE(LoadSendLog(log, &now, &message));
  r = DeleteSendLogRows(log, {now.back()}, dir / "keep");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.removed, 1);
  EXPECT_EQ(ReadFile(outside), "mine");
}

TEST_F(SendLogTest, ReSendRefillsAndTheNextSendNamesItsCopy) {
  auto& q = d.Queues();
  WriteFile(dir / "doc.ps", "%!PS\n");
  AddQueue(q.g_QsendTo, {{"Mark", "1"}, {"ToName", "Ann Lee"}, {"Destination", "555"}, {"MVClientID", "7"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Logo"}, {"Mark", "1"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Other"}});
  std::vector<std::string> twelve;
  std::string local;
  for (int i = 1; i <= 12; ++i) {
    WriteFile(dir / ("f" + std::to_string(i)), "x");
    AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", dir / ("f" + std::to_string(i))}});
  }
  SendJob job;
  job.mainAttachment = dir / "doc.ps";
  job.messageText = "Hello there";
  job.reference = "Ref9";
  job.chargeCode = "CC";
  SendResult first = SendFaxJob(d, ini, job, prompter);
  ASSERT_TRUE(first.logged) << first.message;
  std::vector<SendLogEntry> rows;
  std::string message;
  ASSERT_TRUE(LoadSendLog(log, &rows, &message));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].psFileName.empty());

  // The window's state changes before the Re-Send.
  AddQueue(q.g_Qgroups, {{"GroupID", "Sales"}, {"Mark", "1"}});
  AddQueue(q.g_QremoteLists, {{"Name", "L"}, {"Mark", "1"}});
  q.g_QimageFiles.Get(1);
  q.g_QimageFiles.Buffer().SetLong("Mark", 0);
  q.g_QimageFiles.Put();
  q.g_QimageFiles.Get(2);
  q.g_QimageFiles.Buffer().SetLong("Mark", 1);
  q.g_QimageFiles.Put();
  SendJob again;
  again.sendToAll = true;
  ResendFields fields;
  ASSERT_TRUE(ReSend(d, rows[0], Temp(), again, &fields));
  EXPECT_EQ(fields.recipient.name, "Ann Lee");
  EXPECT_EQ(fields.recipient.recordId, 0);
  EXPECT_EQ(fields.recipient.firstName, "Ann");
  EXPECT_EQ(fields.recipient.lastName, "Lee");
  EXPECT_EQ(again.reference, "Ref9");
  EXPECT_EQ(again.chargeCode, "CC");
  EXPECT_EQ(again.messageText, "Hello there");
  EXPECT_TRUE(again.resend);
  EXPECT_FALSE(again.sendToAll);
  // The kept copy itself, under the name the document was sent with; no
  // copy of it is made in the temporary folder.
  EXPECT_EQ(again.mainAttachment, mvn::framework::Clip(rows[0].psFileName));
  EXPECT_EQ(again.mainDisplay, "doc.ps");
  EXPECT_EQ(ReadFile(again.mainAttachment), "%!PS\n");
  for (const auto& e : std::filesystem::directory_iterator(Temp()))
    EXPECT_EQ(e.path().filename().string().rfind("doc.ps", 0), std::string::npos) << e.path();
  EXPECT_EQ(q.g_QattachOtherFiles.Records(), 10);  // the first ten of twelve
  EXPECT_EQ(q.g_QattachOtherFiles.Entry(10).Clipped("FilePathName"), dir / "f10");
  EXPECT_NE(fields.notes.find("first ten"), std::string::npos);
  EXPECT_EQ(q.g_QimageFiles.Entry(1).GetLong("Mark"), 1);
  EXPECT_EQ(q.g_QimageFiles.Entry(2).GetLong("Mark"), 0);
  EXPECT_EQ(q.g_Qgroups.Entry(1).GetLong("Mark"), 0);
  EXPECT_EQ(q.g_QremoteLists.Entry(1).GetLong("Mark"), 0);

  // The next send keeps its copy under "R" and the display name, and the
  // flag is spent: the send after it keeps a stamped copy again.
  SendResult second = SendFaxJob(d, ini, again, prompter);
  ASSERT_TRUE(second.logged) << second.message;
  EXPECT_FALSE(again.resend);
  ASSERT_TRUE(LoadSendLog(log, &rows, &message));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(FileNamePart(rows[1].psFileName), "Rdoc.ps");
  // The fax names the document as it was first sent; the kept copy stays.
  ASSERT_EQ(second.copies.size(), 11u);
  EXPECT_NE(second.copies[0], again.mainAttachment);
  EXPECT_TRUE(std::filesystem::exists(mvn::framework::Clip(rows[0].psFileName)));
  again.mainAttachment = dir / "doc.ps";
  SendResult third = SendFaxJob(d, ini, again, prompter);
  ASSERT_TRUE(third.logged);
  ASSERT_TRUE(LoadSendLog(log, &rows, &message));
  EXPECT_NE(FileNamePart(rows[2].psFileName).substr(0, 1), "R");
  EXPECT_TRUE(mvntest::WaitFor([&] { return Runs() >= 3; }));
}

TEST_F(SendLogTest, ReSendRefusesAFullDestinationAndSurvivesMissingCopies) {
  SendLogEntry e = Row("Ann", dir / "keep/gone", dir / "keep/gone.ps");
  e.destination = std::string(49, '5');
  SendJob job;
  job.reference = "keep";
  ResendFields fields;
  EXPECT_FALSE(ReSend(d, e, Temp(), job, &fields));
  EXPECT_FALSE(fields.notes.empty());
  EXPECT_EQ(job.reference, "keep");
  EXPECT_FALSE(job.resend);
  e.destination = "555";
  e.localFiles = "\"/a\",\"/cut";
  ASSERT_TRUE(ReSend(d, e, Temp(), job, &fields));
  EXPECT_EQ(job.mainAttachment, "");
  EXPECT_EQ(d.Queues().g_QattachOtherFiles.Records(), 1);
  EXPECT_NE(fields.notes.find("complete names"), std::string::npos);
}

TEST(ViewerCommand, Table) {
  struct Case {
    std::string command, path, line;
  } cases[] = {
      {"less", "/k/FaxMsg.1", "less /k/FaxMsg.1"},
      {"", "/k/FaxMsg.1", "xdg-open /k/FaxMsg.1"},
      {"  ", "/k/a b", "xdg-open \"/k/a b\""},
      {"view", "", ""},
      {"view", "/k/a\"b", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ViewerCommandLine(c.command, c.path), c.line) << c.command << c.path;
}

TEST(SendLogList, SortAndTypeAhead) {
  std::vector<SendLogEntry> rows = {Row("bob"), Row("Ann"), Row("9 lives"), Row("Abe")};
  SortSendLog(rows, SendLogColumn::Attn);
  std::vector<std::string> names;
  for (const auto& e : rows) names.push_back(e.attn);
  EXPECT_EQ(names, (std::vector<std::string>{"9 lives", "Abe", "Ann", "bob"}));
  struct Case {
    char key;
    int row;
  } cases[] = {{'a', 1}, {'B', 3}, {'9', 0}, {'z', -1}, {'0', -1}, {'#', -1}};
  for (const Case& c : cases) EXPECT_EQ(TypeAhead(rows, SendLogColumn::Attn, c.key), c.row) << c.key;
}

TEST_F(SendLogTest, ResubmitChoiceAndRequestBytes) {
  ResubmitChoice c;
  c.Check(2, true);
  c.Check(1, true);
  EXPECT_FALSE(c.unsuccessful);
  EXPECT_EQ(c.Kind(), ResubmitKind::UnsuccessfulGrouped);
  SendResult r = SendResubmit(ini, c, " 77 ", prompter);
  ASSERT_TRUE(r.started) << r.message;
  EXPECT_EQ(ReadFile(r.requestPath), ReadFile(std::string(MVN_SENDLOG_GOLDEN) + "/resubmit-grouped-77.req"));
  WriteFile(dir / "client.ini", "[Files]\nDeliveryCommand=" + std::string(MVN_CLIENT_HELPER) +
                                    " record %1\n[Default]\nINTERNALMEDIANOTIFICATIONS=yes\n");
  c.Check(2, true);
  EXPECT_FALSE(c.grouped);
  r = SendResubmit(ini, c, "4711", prompter);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(ReadFile(r.requestPath),
            ReadFile(std::string(MVN_SENDLOG_GOLDEN) + "/resubmit-unsuccessful-internal.req"));
  c.Check(2, false);
  EXPECT_EQ(c.Kind(), ResubmitKind::None);
  EXPECT_TRUE(mvntest::WaitFor([&] { return Runs() >= 2; }));
  // No box checked, or no job number: nothing is written or started.
  prompter.told.clear();
  r = SendResubmit(ini, c, "4711", prompter);
  EXPECT_FALSE(r.written);
  c.Check(3, true);
  r = SendResubmit(ini, c, "  ", prompter);
  EXPECT_FALSE(r.written);
  EXPECT_EQ(prompter.told, (std::vector<std::string>{"Please choose which destinations to resend to.",
                                                     "Please enter the job number to resubmit."}));
  EXPECT_EQ(Runs(), 2);
}

TEST(SendToList, TotalsAndSorts) {
  Dictionary d;
  auto& q = d.Queues().g_QsendTo;
  AddQueue(q, {{"Mark", "1"}, {"ToName", "cy"}, {"Company", "A"}, {"Destination", "3"}});
  AddQueue(q, {{"Mark", "0"}, {"ToName", "Ann"}, {"Company", "C"}, {"Destination", "1"}});
  AddQueue(q, {{"Mark", "1"}, {"ToName", "Bob"}, {"Company", "B"}, {"Destination", "2"}});
  struct Case {
    std::string field;
    std::string order;  // ToName initials
  } sorts[] = {{"ToName", "ABc"}, {"Company", "cBA"}, {"Destination", "ABc"}, {"Mark", "ABc"}};
  for (const Case& c : sorts) {
    SortSendTo(d, c.field);
    std::string got;
    for (int i = 1; i <= q.Records(); ++i) got += q.Entry(i).Clipped("ToName")[0];
    EXPECT_EQ(got, c.order) << c.field;
  }
  EXPECT_EQ(RecomputeTotal(d, 1), 2);
  EXPECT_EQ(RecomputeTotal(d, 2), 1);
  for (int i = 1; i <= q.Records(); ++i) {
    q.Get(i);
    q.Buffer().SetLong("Mark", 1);
    q.Put();
  }
  EXPECT_EQ(RecomputeTotal(d, 2), 0);  // Send is disabled
}

TEST_F(SendLogTest, ConfirmSummary) {
  auto& q = d.Queues();
  AddQueue(q.g_QsendTo, {{"Mark", "1"}, {"ToName", "Ann"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Sales"}, {"Mark", "1"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Off"}});
  AddQueue(q.g_QattachOtherFiles, {{"Mark", "1"}, {"FilePathName", "/a.doc"}});
  AddQueue(q.g_QimageFiles, {{"Name", "Logo"}, {"Mark", "1"}});
  AddQueue(q.g_QremoteLists, {{"Name", "L1"}, {"Description", "Customers"}, {"Mark", "1"}});
  SendJob job;
  job.priority = Priority::Low;
  job.notification = Notification::Errors;
  job.coverPage = "Plain ";
  SingleRecipient who;
  who.name = "Ann";
  ConfirmSummary s = BuildConfirmSummary(d, ini, who, job);
  EXPECT_EQ(s.priority, "Non-Urgent");
  EXPECT_EQ(s.notification, "Non-delivery");
  EXPECT_EQ(s.resolution, "");
  EXPECT_EQ(s.coverPage, "Plain");
  EXPECT_EQ(s.total, "1");
  EXPECT_EQ(s.groups, std::vector<std::string>{"Sales"});
  EXPECT_EQ(s.dataFiles, std::vector<std::string>{"/a.doc"});
  EXPECT_EQ(s.remoteFiles, std::vector<std::string>{"Logo"});
  EXPECT_EQ(s.remoteLists, std::vector<std::string>{"Customers"});
  EXPECT_EQ(s.showButton, "&Show Send_to_List of all destinations");
  WriteFile(dir / "client.ini", "[Default]\nShow_Send_to_List_BUTTONName=Recipients\n");
  EXPECT_EQ(BuildConfirmSummary(d, ini, who, job).showButton, "Recipients");
}
