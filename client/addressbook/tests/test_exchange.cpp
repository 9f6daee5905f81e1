// CSV export and import: the header, the address cut, the import's column
// mapping and the round trip between two address books.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "client/addressbook/exchange.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "tests/support/tempdir.h"

using mvn::client::CutAddress;
using mvn::client::Dictionary;
using mvn::client::ExchangeResult;
using mvn::client::ImportColumns;
using mvn::client::ImportSession;
namespace fw = mvn::framework;

namespace {

const char kHeader[] =
    "PK_MVCLIENTID,ATTENTION,COMPANY,FAXNUM,EMAIL,PREFERREDDESTINATION,FAXTOEMAILATTACHMENTTYPE,CHARGECODE,TITLE,"
    "FIRSTNAME,LASTNAME,POSITION,DEPARTMENT,POSTALADD1,POSTALADD2,POSTALADD3,POSTALADD4,PHYSICALADD1,PHYSICALADD2,"
    "PHYSICALADD3,PHYSICALADD4,PHONENUM,CELLPHONE,PAGERNUMBER,CUSTOM1,CUSTOM2,WEBADDRESS,ASSISTANTSNAME,"
    "MANAGERSNAME,HOMEPHONE,SPOUSENAME,NOTES,DISPLAYNAME,EMAILTYPE,SENDASRTF,MARK,GROUP1,GROUP2,GROUP3,GROUP4,"
    "GROUP5,GROUP6,GROUP7,GROUP8,GROUP9,GROUP10,GROUP11,GROUP12,GROUP13,GROUP14,GROUP15,GROUP16,GROUP17,GROUP18,"
    "GROUP19,GROUP20";

void OpenBook(Dictionary& d, const std::string& path) {
  d.CloseAll();
  ASSERT_TRUE(d.SetAddressBookFiles(path, ""));
  ASSERT_EQ(d.OpenAddressBook(), 0);
}

// Every field of every record, in stored order, keyed by nothing: the
// records as text lines ("field=value|...") with the groups appended.
std::vector<std::string> Dump(Dictionary& d, bool withKeys = true) {
  std::vector<std::string> out;
  auto clients = d.File("MVClients").Clone();
  clients->TryOpen();
  auto members = d.File("MVGroupClient").Clone();
  members->TryOpen();
  clients->Set();
  while (clients->Next() == 0) {
    const fw::Record& r = clients->Buffer();
    std::string line;
    for (int i = 0; i < r.GetLayout().FieldCount(); ++i) {
      if (!withKeys && i == 0) continue;
      line += r.GetLayout().Field(i).name + "=" + fw::Clip(r.GetText(i)) + "|";
    }
    members->Buffer().Clear();
    members->Buffer().SetLong("FK_MVClientID", r.GetLong("PK_MVClientID"));
    members->SetFrom("MVGC:KeyFK_MVClientID");
    while (members->Next() == 0 && members->Buffer().GetLong("FK_MVClientID") == r.GetLong("PK_MVClientID"))
      line += "G:" + members->Buffer().Clipped("GroupID") + "|";
    out.push_back(line);
  }
  return out;
}

int64_t Count(Dictionary& d, const char* label) {
  auto f = d.File(label).Clone();
  f->TryOpen();
  return f->Records();
}

ExchangeResult Export(Dictionary& d, const std::string& file) {
  d.File("MVCB").SetName(file);
  return mvn::client::ExportKDFToTxt(d);
}

// Every column mapped to the field of its header name, the group columns to
// Group; PK, CUSTOM1/2 and MARK are no targets.
ImportSession MapAll(Dictionary& d, const std::string& file) {
  ImportColumns columns;
  EXPECT_EQ(columns.ReadTitles(d, file), 0);
  const auto& fields = mvn::client::ImportFieldList();
  for (size_t i = 0; i < columns.Rows().size(); ++i) {
    std::string title = columns.Rows()[i].title;
    std::string message;
    if (title.rfind("GROUP", 0) == 0) {
      EXPECT_TRUE(columns.MapGroup(static_cast<int>(i), &message));
    } else if (std::find(fields.begin(), fields.end(), title) != fields.end()) {
      EXPECT_TRUE(columns.Map(static_cast<int>(i), title, &message)) << message;
    }
  }
  ImportSession s;
  s.fileName = file;
  s.map = columns.Compile(false, "");
  EXPECT_EQ(s.map.pairs.size(), 32u);
  EXPECT_EQ(s.map.groupColumns.size(), 20u);
  return s;
}

// Exports the open book to file, opens the book named next and imports the
// file into it with every column mapped by its header name.
ExchangeResult ExportAndImport(Dictionary& d, const std::string& file, const std::string& next, ImportSession* s) {
  EXPECT_EQ(Export(d, file).status, ExchangeResult::Finished);
  OpenBook(d, next);
  *s = MapAll(d, file);
  return mvn::client::ImportTxtToKDF2(d, *s);
}

void Add(Dictionary& d, const std::map<std::string, std::string>& fields, const std::vector<std::string>& groups) {
  auto& c = d.File("MVClients");
  c.Buffer().Clear();
  for (const auto& [k, v] : fields) c.Buffer().Set(k, v);
  ASSERT_EQ(c.TryInsert(), 0);
  int64_t id = c.Buffer().GetLong("PK_MVClientID");
  for (const std::string& g : groups) {
    auto& m = d.File("MVGroupClient");
    m.Buffer().Clear();
    m.Buffer().Set("GroupID", g);
    m.Buffer().SetLong("FK_MVClientID", id);
    ASSERT_EQ(m.TryInsert(), 0);
    auto& def = d.File("MVdefaults");
    def.Buffer().Clear();
    def.Buffer().Set("GroupID", g);
    def.TryInsert();
  }
}

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override { fw::InstallServices(&services); }
  void TearDown() override { fw::InstallServices(nullptr); }
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  Dictionary d;
};

}  // namespace

TEST(ExportHeader, IsTheDocumentedLine) { EXPECT_EQ(mvn::client::ExportHeaderLine(), kHeader); }

TEST(CutAddress, Lines) {
  struct Case {
    const char* address;
    std::array<std::string, 4> lines;
  } cases[] = {
      {"12 Main St\r\nSpringfield", {"12 Main St", "Springfield", "", ""}},
      {"one line", {"one line", "", "", ""}},
      {"a\r\nb\r\nc\r\nd\r\ne", {"a", "b", "c", "d"}},
      {"  lead\r\n  blank", {"lead", "blank", "", ""}},
      // An empty line keeps its place; the rest is not lost.
      {"a\r\n\r\nc", {"a", "", "c", ""}},
      {"\r\nsecond", {"", "second", "", ""}},
      // Text edits give LF alone.
      {"a\nb", {"a", "b", "", ""}},
      {"0123456789012345678901234567890123456789XYZ", {"0123456789012345678901234567890123456789", "", "", ""}},
      {"", {"", "", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(CutAddress(c.address), c.lines) << c.address;
  // A cut never splits a UTF-8 character.
  std::string wide = std::string(39, 'x') + "\xC3\xA9";
  EXPECT_EQ(CutAddress(wide)[0], std::string(39, 'x'));
}

TEST_F(Exchange, ExportRowsAsWorkedOutByHand) {
  OpenBook(d, dir / "a");
  Add(d, {{"ClientID", "Ann \"Q\", Jr"}, {"Company", "Acme, Inc"}, {"FaxNum", "555-1"},
          {"PreferredDestination", "555-1"}, {"PostalAddress", "12 Main St\r\nSuite 4"}, {"SendAsRTF", "1"}},
      {"G1"});
  auto r = Export(d, dir / "out.csv");
  ASSERT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.text, "Export finished.");
  std::string expected = std::string(kHeader) + "\r\n" +
                         "1,\"Ann \"\"Q\"\", Jr\",\"Acme, Inc\",\"555-1\",\"\",\"555-1\",\"\",\"\",\"\",\"\",\"\",\"\","
                         "\"\",\"12 Main St\",\"Suite 4\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\","
                         "\"\",\"\",\"\",\"\",\"\",\"\",\"\",1,0,\"G1\"";
  for (int i = 0; i < 19; ++i) expected += ",\"\"";
  expected += "\r\n";
  EXPECT_EQ(mvntest::ReadFile(dir / "out.csv"), expected);
  ASSERT_EQ(services.progresses.size(), 1u);
  EXPECT_EQ(services.progresses[0]->request.title, "Processing Records");
  EXPECT_EQ(services.progresses[0]->total, 1);
}

TEST_F(Exchange, ExportRefusesTheBookItselfAndReportsCancel) {
  OpenBook(d, dir / "a");
  Add(d, {{"ClientID", "a"}}, {});
  Add(d, {{"ClientID", "b"}}, {});
  Add(d, {{"ClientID", "c"}}, {});
  std::string before = mvntest::ReadFile(dir / "a.KDF");
  // The book under every name the drivers would open it by: its own, other
  // letter case, "\" as the separator, a link to it.
  std::string backslashed = dir / "A.kdf";
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  std::filesystem::create_symlink(dir / "a.KDF", dir / "link.csv");
  ExchangeResult r;
  for (std::string target : {std::string(dir / "a.KDF"), std::string(dir / "a.kdf"), backslashed,
                             std::string(dir / "link.csv")}) {
    SCOPED_TRACE(target);
    r = Export(d, target);
    EXPECT_EQ(r.status, ExchangeResult::Failed);
    EXPECT_NE(r.text.find("is one of the address book's data files"), std::string::npos) << r.text;
    EXPECT_EQ(mvntest::ReadFile(dir / "a.KDF"), before);
    EXPECT_EQ(Count(d, "MVClients"), 3);
  }

  services.CancelProgressAt(2);
  r = Export(d, dir / "out.csv");
  EXPECT_EQ(r.status, ExchangeResult::Cancelled);
  EXPECT_EQ(r.records, 2);
  EXPECT_EQ(r.text, "Export cancelled: 2 records were written.");
  std::string text = mvntest::ReadFile(dir / "out.csv");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);  // header and two rows
}

// Each row carries its own record's groups, whatever order the memberships
// were added in: memberships of a deleted record, or of keys before the
// first and after the last record, go to no row; a record with more than
// 20 groups gives its first 20 (in the order they were added) and the next
// record still gets its own.
TEST_F(Exchange, ExportGivesEachRowItsOwnGroups) {
  OpenBook(d, dir / "a");
  for (const char* name : {"A", "B", "C", "D", "E"}) Add(d, {{"ClientID", name}}, {});
  auto member = [&](int64_t id, const std::string& group) {
    auto& m = d.File("MVGroupClient");
    m.Buffer().Clear();
    m.Buffer().Set("GroupID", group);
    m.Buffer().SetLong("FK_MVClientID", id);
    ASSERT_EQ(m.TryInsert(), 0);
  };
  member(3, "c1");
  member(5, "e1");
  member(2, "b1");
  member(0, "none");
  for (int i = 1; i <= 25; ++i) member(1, "a" + std::to_string(i));
  member(9, "after the last");
  member(3, "c2");
  member(2, "b2");
  // B goes; its memberships stay behind.
  auto& c = d.File("MVClients");
  c.Buffer().Clear();
  c.Buffer().SetLong("PK_MVClientID", 2);
  ASSERT_EQ(c.TryFetch("MVC:KeyPK_MVClientID"), 0);
  ASSERT_EQ(c.TryDelete(), 0);

  auto r = Export(d, dir / "out.csv");
  ASSERT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.records, 4);
  std::vector<std::string> first20;
  for (int i = 1; i <= 20; ++i) first20.push_back("a" + std::to_string(i));
  const std::vector<std::pair<std::string, std::vector<std::string>>> want = {
      {"A", first20}, {"C", {"c1", "c2"}}, {"D", {}}, {"E", {"e1"}}};

  fw::FileManager& out = d.File("MVCB");
  ASSERT_EQ(out.TryOpen(fw::ReadOnly | fw::DenyNone), 0);
  ASSERT_EQ(out.Set(), 0);
  ASSERT_EQ(out.Next(), 0);  // the header
  std::vector<std::pair<std::string, std::vector<std::string>>> rows;
  while (out.Next() == 0) {
    std::vector<std::string> groups;
    for (int i = 1; i <= 20; ++i) {
      std::string g = out.Buffer().Clipped("Group" + std::to_string(i));
      if (!g.empty()) groups.push_back(g);
    }
    rows.emplace_back(out.Buffer().Clipped("ClientID"), groups);
  }
  out.Close();
  EXPECT_EQ(rows, want);
}

TEST_F(Exchange, RoundTripBetweenTwoBooks) {
  OpenBook(d, dir / "a");
  std::string longGroup = "A group name that is rather longer than forty-nine characters";
  std::vector<std::string> three = {"Sales", "Key, \"quoted\" clients", longGroup};
  std::vector<std::string> many;
  for (int i = 1; i <= 25; ++i) many.push_back("Group " + std::to_string(100 - i));
  Add(d, {{"ClientID", "O'Brien, \"Pat\""}, {"Company", "Comma, Quote \" Ltd"}, {"FaxNum", "+1 555 0100"},
          {"Email", "pat@example.com"}, {"PreferredDestination", "pat@example.com"},
          {"FaxToEmailAttachmentType", "PDF"}, {"ChargeCode", "C-1"}, {"Sal", "Dr"}, {"FirstName", "Pat"},
          {"LastName", "O'Brien"}, {"Position", "Boss"}, {"Department", "R&D"},
          {"PostalAddress", "PO Box 1\r\n\r\nThird line, after an empty one"},
          {"PhysicalAddress", "1\r\n2\r\n3\r\n4\r\n5 is lost"}, {"PhoneNum", "1"}, {"CellPhone", "2"},
          {"PagerNumber", "3"}, {"Custom1", "not imported"}, {"Custom2", "neither"}, {"WebAddress", "w"},
          {"AssistantsName", "as"}, {"ManagersName", "ma"}, {"HomePhone", "h"}, {"SpouseName", "s"},
          {"Notes", "Notes, with \"quotes\""}, {"DisplayName", "Pat"}, {"EmailType", "SMTP"},
          {"SendAsRTF", "1"}, {"Mark", "1"}},
      three);
  Add(d, {{"ClientID", "No groups"}, {"FaxNum", "555"}, {"PreferredDestination", "555"},
          {"PostalAddress", std::string(45, 'p')}},
      {});
  Add(d, {{"Company", "Many groups"}, {"Email", "m@x"}, {"PreferredDestination", "m@x"}}, many);
  auto a = Dump(d);

  ImportSession s;
  auto r = ExportAndImport(d, dir / "a.csv", dir / "b", &s);
  ASSERT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.text, "Import finished: 3 records added, 0 already in the address book, 0 lines skipped.");
  EXPECT_EQ(r.records, 3);
  EXPECT_EQ(s.lineCounter, 4);  // the header was counted, not imported
  auto b = Dump(d);
  ASSERT_EQ(b.size(), 3u);

  // The documented changes, worked out by hand.
  std::string cut49 = longGroup.substr(0, 49);
  std::vector<std::string> want = a;
  auto replace = [](std::string& s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
  };
  replace(want[0], "PostalAddress=PO Box 1\r\n\r\nThird line, after an empty one|",
          "PostalAddress=PO Box 1\r\n\r\nThird line, after an empty one\r\n|");
  replace(want[0], "PhysicalAddress=1\r\n2\r\n3\r\n4\r\n5 is lost|", "PhysicalAddress=1\r\n2\r\n3\r\n4|");
  replace(want[0], "Custom1=not imported|Custom2=neither|", "Custom1=|Custom2=|");
  replace(want[0], "Mark=1|", "Mark=0|");
  replace(want[0], "G:" + longGroup + "|", "G:" + cut49 + "|");
  replace(want[1], "PostalAddress=" + std::string(45, 'p') + "|",
          "PostalAddress=" + std::string(40, 'p') + "\r\n\r\n\r\n|");
  replace(want[1], "PhysicalAddress=|", "PhysicalAddress=\r\n\r\n\r\n|");
  replace(want[2], "PostalAddress=|", "PostalAddress=\r\n\r\n\r\n|");
  replace(want[2], "PhysicalAddress=|", "PhysicalAddress=\r\n\r\n\r\n|");
  for (int i = 21; i <= 25; ++i) replace(want[2], "G:Group " + std::to_string(100 - i) + "|", "");
  // Record keys are new ones (here the same numbers, as b was empty).
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(b[i], want[i]) << i;
  EXPECT_EQ(Count(d, "MVdefaults"), 23);  // 3 + 20 groups created on the fly

  // b exported is a fixed point: importing it into c and exporting c gives
  // the same file; importing it into b again changes nothing.
  ASSERT_EQ(Export(d, dir / "b.csv").status, ExchangeResult::Finished);
  r = mvn::client::ImportTxtToKDF2(d, s = MapAll(d, dir / "b.csv"));
  EXPECT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.records, 0);
  EXPECT_EQ(r.duplicates, 3);
  EXPECT_EQ(Dump(d), b);
  EXPECT_EQ(Count(d, "MVGroupClient"), 3 + 20);

  OpenBook(d, dir / "c");
  ImportSession sc = MapAll(d, dir / "b.csv");
  ASSERT_EQ(mvn::client::ImportTxtToKDF2(d, sc).status, ExchangeResult::Finished);
  ASSERT_EQ(Export(d, dir / "c.csv").status, ExchangeResult::Finished);
  EXPECT_EQ(mvntest::ReadFile(dir / "c.csv"), mvntest::ReadFile(dir / "b.csv"));
}

TEST_F(Exchange, ImportRules) {
  std::ofstream(dir / "in.csv") << "Name,Fax,Mail,Dest,Group,Rtf,P1,P2\r\n"
                                   "Ann,555,,,Friends,1,x,y\r\n"
                                   ",777,,,Friends,yes,,\r\n"
                                   ",,,,,,,\r\n"
                                   ",,bob@x,,New,,,\r\n"
                                   "Ann,555,,,Other,,,\r\n";
  OpenBook(d, dir / "b");
  ImportColumns columns;
  ASSERT_EQ(columns.ReadTitles(d, dir / "in.csv"), 0);
  EXPECT_EQ(columns.Rows()[0].title, "Name");
  std::string message;
  // Column order decides: POSTALADD2 before POSTALADD1 keeps only line 1.
  ASSERT_TRUE(columns.Map(0, "ATTENTION", &message));
  ASSERT_TRUE(columns.Map(1, "FAXNUM", &message));
  ASSERT_TRUE(columns.Map(2, "EMAIL", &message));
  ASSERT_TRUE(columns.MapGroup(4, &message));
  ASSERT_TRUE(columns.Map(5, "SENDASRTF", &message));
  ASSERT_TRUE(columns.Map(6, "POSTALADD2", &message));
  ASSERT_TRUE(columns.Map(7, "POSTALADD1", &message));
  ImportSession s;
  s.fileName = dir / "in.csv";
  s.map = columns.Compile(true, "Everyone");
  auto r = mvn::client::ImportTxtToKDF2(d, s);
  EXPECT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.records, 3);
  EXPECT_EQ(r.duplicates, 1);
  EXPECT_EQ(r.skipped, 1);
  auto b = Dump(d, false);
  ASSERT_EQ(b.size(), 3u);
  EXPECT_NE(b[0].find("ClientID=Ann|"), std::string::npos);
  EXPECT_NE(b[0].find("PreferredDestination=555|"), std::string::npos);
  EXPECT_NE(b[0].find("PostalAddress=y|"), std::string::npos);
  EXPECT_NE(b[0].find("SendAsRTF=1|"), std::string::npos);
  EXPECT_NE(b[0].find("G:Everyone|G:Friends|G:Other|"), std::string::npos) << b[0];
  EXPECT_NE(b[1].find("PreferredDestination=777|"), std::string::npos);
  EXPECT_NE(b[1].find("SendAsRTF=0|"), std::string::npos);  // "yes" is no number
  EXPECT_NE(b[2].find("PreferredDestination=bob@x|"), std::string::npos);
  EXPECT_NE(b[2].find("G:Everyone|G:New|"), std::string::npos);
  EXPECT_EQ(Count(d, "MVdefaults"), 3);  // Friends, New, Other (Everyone came from the window's list)

  // Including the first line makes it a record.
  s.include1stLine = true;
  s.lineCounter = 0;
  r = mvn::client::ImportTxtToKDF2(d, s);
  EXPECT_EQ(r.records, 1);
  EXPECT_EQ(r.duplicates, 4);
}

TEST_F(Exchange, MappingLimitsAndCancel) {
  ImportColumns columns;
  std::string message;
  for (int i = 0; i < 39; ++i) ASSERT_TRUE(columns.Map(i, "NOTES", &message));
  EXPECT_FALSE(columns.Map(39, "NOTES", &message));
  EXPECT_EQ(message, "At most 39 columns can be mapped to address fields.");
  EXPECT_TRUE(columns.Map(0, "COMPANY", &message));  // remapping a mapped column is no new one
  columns.Unmap(1);
  EXPECT_TRUE(columns.Map(39, "NOTES", &message));
  for (int i = 40; i < 56; ++i) ASSERT_TRUE(columns.MapGroup(i, &message));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(columns.MapGroup(i + 2, &message));
  EXPECT_FALSE(columns.MapGroup(6, &message));
  EXPECT_EQ(message, "At most 20 columns can be mapped to Group.");

  // A cancelled import keeps the records added so far and says so.
  std::ofstream out(dir / "in.csv");
  for (int i = 0; i < 10; ++i) out << "name" << i << "\r\n";
  out.close();
  OpenBook(d, dir / "b");
  ImportColumns one;
  ASSERT_TRUE(one.Map(0, "ATTENTION", &message));
  ImportSession s;
  s.fileName = dir / "in.csv";
  s.include1stLine = true;
  s.map = one.Compile(false, "");
  services.CancelProgressAt(30);  // bytes: after the fourth line
  auto r = mvn::client::ImportTxtToKDF2(d, s);
  EXPECT_EQ(r.status, ExchangeResult::Cancelled);
  EXPECT_EQ(r.records, Count(d, "MVClients"));
  EXPECT_GT(r.records, 0);
  EXPECT_LT(r.records, 10);
  EXPECT_NE(r.text.find("Import cancelled"), std::string::npos);

  // A file that is not there, or a FIFO where the file is expected, fails
  // with the reason and without blocking.
  ASSERT_EQ(mkfifo((dir / "fifo.csv").c_str(), 0600), 0);
  for (const char* name : {"missing.csv", "fifo.csv"}) {
    s.fileName = dir / name;
    r = mvn::client::ImportTxtToKDF2(d, s);
    EXPECT_EQ(r.status, ExchangeResult::Failed) << name;
    EXPECT_NE(r.text.find("Import failed"), std::string::npos) << r.text;
  }
  d.File("MVCB").SetName(dir / "fifo.csv");
  r = mvn::client::ExportKDFToTxt(d);
  EXPECT_EQ(r.status, ExchangeResult::Failed);
  EXPECT_NE(r.text.find("Export failed"), std::string::npos) << r.text;
}

TEST_F(Exchange, GroupNamesOfAnotherCaseJoinTheStoredGroup) {
  std::ofstream(dir / "in.csv") << "a,Sales\r\nb,SALES\r\nc,sales \r\n";
  OpenBook(d, dir / "b");
  ImportColumns columns;
  std::string message;
  ASSERT_TRUE(columns.Map(0, "ATTENTION", &message));
  ASSERT_TRUE(columns.MapGroup(1, &message));
  ImportSession s;
  s.fileName = dir / "in.csv";
  s.include1stLine = true;
  s.map = columns.Compile(false, "");
  auto r = mvn::client::ImportTxtToKDF2(d, s);
  EXPECT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.groupsCreated, 1);
  auto b = Dump(d, false);
  ASSERT_EQ(b.size(), 3u);
  for (const std::string& line : b) EXPECT_NE(line.find("G:Sales|"), std::string::npos) << line;
  EXPECT_EQ(Count(d, "MVdefaults"), 1);
}

// Awkward names go out and come back byte for byte: commas, quotes, line
// breaks, CJK text, a leading "=", in the fields and in the group names.
TEST_F(Exchange, AwkwardNamesRoundTripByteExact) {
  OpenBook(d, dir / "a");
  const std::vector<std::string> groups = {"Sales, \"North\"", "=SUM(A1:A9)", "\xE5\x96\xB6\xE6\xA5\xAD\xE9\x83\xA8",
                                           "'quoted' & <b>bold</b>"};
  Add(d, {{"ClientID", "=HYPERLINK(\"x\")"}, {"Company", "\xE6\xA0\xAA\xE5\xBC\x8F\xE4\xBC\x9A\xE7\xA4\xBE, \"Q\""},
          {"FaxNum", "+81 3 0000"}, {"PreferredDestination", "+81 3 0000"}, {"Notes", "line one\r\nline two"},
          {"DisplayName", "a,b,,c"}},
      groups);
  Add(d, {{"ClientID", "Two\r\nLines \"quoted\""}, {"Company", "-minus"}, {"Email", "=x@y"},
          {"PreferredDestination", "=x@y"}, {"EmailType", "SMTP"}},
      {groups[0], groups[2]});
  Add(d, {{"ClientID", "   leading blanks"}, {"Company", "\"\"\"\""}, {"FaxNum", "1"}, {"PreferredDestination", "1"}},
      {groups[1]});
  auto a = Dump(d);

  ImportSession s;
  auto r = ExportAndImport(d, dir / "a.csv", dir / "b", &s);
  ASSERT_EQ(r.status, ExchangeResult::Finished) << r.text;
  EXPECT_EQ(r.records, 3);
  auto b = Dump(d);
  ASSERT_EQ(b.size(), a.size());
  // The address lines come back with their four-line form (as the import
  // builds them); every other field and every membership is as it was.
  for (size_t i = 0; i < a.size(); ++i) {
    std::string want = a[i];
    for (const char* address : {"PostalAddress=|", "PhysicalAddress=|"}) {
      size_t at = want.find(address);
      ASSERT_NE(at, std::string::npos);
      want.insert(at + std::strlen(address) - 1, "\r\n\r\n\r\n");
    }
    EXPECT_EQ(b[i], want) << i;
  }
  for (const std::string& g : groups) {
    auto& groupsFile = d.File("MVdefaults");
    groupsFile.Buffer().Clear();
    groupsFile.Buffer().Set("GroupID", g);
    EXPECT_EQ(groupsFile.TryFetch("MVd:KeyGroupID"), 0) << g;
    EXPECT_EQ(groupsFile.Buffer().Clipped("GroupID"), g);
  }
}

// One quote never closed: the records before it are imported, nothing from
// it on, and the run says where and how many.
TEST_F(Exchange, UnclosedQuoteStopsTheImportNamingTheLine) {
  std::ofstream(dir / "in.csv", std::ios::binary) << "one,1\r\ntwo,2\r\n\"three,3\r\nfour,4\r\nfive,5\r\nsix,6\r\n";
  OpenBook(d, dir / "b");
  ImportColumns columns;
  std::string message;
  ASSERT_TRUE(columns.Map(0, "ATTENTION", &message));
  ASSERT_TRUE(columns.Map(1, "FAXNUM", &message));
  ImportSession s;
  s.fileName = dir / "in.csv";
  s.include1stLine = true;
  s.map = columns.Compile(false, "");
  auto r = mvn::client::ImportTxtToKDF2(d, s);
  EXPECT_EQ(r.status, ExchangeResult::Failed);
  EXPECT_EQ(r.records, 2);
  EXPECT_EQ(Count(d, "MVClients"), 2);
  EXPECT_NE(r.text.find("line 3"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("2 records added"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("Import finished"), std::string::npos) << r.text;
}

namespace {

// Runs work in a child whose files may grow to limit bytes at most (as on a
// full disk); its exit code, or -1 when it did not end within 60 seconds.
int WithFileSizeLimit(rlim_t limit, const std::function<int()>& work) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit l = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &l);
    _exit(work());
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 6000 && (done = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(10000);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// An export that cannot be written whole (the disk fills) leaves the old
// file under the chosen name as it was and no temporary beside it, and the
// message names the file; a missing folder is named too.
TEST_F(Exchange, FailedExportKeepsTheOldFileAndNamesIt) {
  OpenBook(d, dir / "a");
  for (int i = 0; i < 300; ++i) Add(d, {{"ClientID", "Contact " + std::to_string(i)}, {"Notes", std::string(200, 'n')}}, {});
  d.File("MVClients").Close();
  mvntest::WriteFile(dir / "out.csv", "the old export\r\n");
  const auto before = Names(dir.str());
  const std::string target = dir / "out.csv";
  int code = WithFileSizeLimit(16384, [&] {
    ExchangeResult r = Export(d, target);
    fprintf(stderr, "%s\n", r.text.c_str());
    return r.status == ExchangeResult::Failed && r.text.rfind("Export failed: Write " + target + ": ", 0) == 0 ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(mvntest::ReadFile(target), "the old export\r\n");
  EXPECT_EQ(Names(dir.str()), before);
  // Written whole, it replaces the old file.
  ASSERT_EQ(Export(d, target).status, ExchangeResult::Finished);
  std::string text = mvntest::ReadFile(target);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 301);
  EXPECT_EQ(Names(dir.str()), before);

  const std::string missing = dir / "missing/out.csv";
  // An export killed mid-write (here: a child that made its temporary
  // under the export's own name, stopped and was killed) leaves its
  // temporary; the next export removes it, not that of a live process.
  auto child = [&](bool) {
    pid_t pid = fork();
    if (pid == 0) {
      mvntest::WriteFile(dir / (".out.csv." + std::to_string(getpid()) + ".tmp"), "half an export");
      raise(SIGSTOP);
      _exit(0);
    }
    int status = 0;
    for (int i = 0; i < 3000 && waitpid(pid, &status, WUNTRACED | WNOHANG) != pid; ++i) usleep(10000);
    return pid;
  };
  pid_t killed = child(true), alive = child(false);
  kill(killed, SIGKILL);
  int status = 0;
  for (int i = 0; i < 3000 && waitpid(killed, &status, WNOHANG) != killed; ++i) usleep(10000);
  ASSERT_EQ(Export(d, target).status, ExchangeResult::Finished);
  EXPECT_FALSE(std::filesystem::exists(dir / (".out.csv." + std::to_string(killed) + ".tmp")));
  EXPECT_TRUE(std::filesystem::exists(dir / (".out.csv." + std::to_string(alive) + ".tmp")));
  kill(alive, SIGKILL);
  for (int i = 0; i < 3000 && waitpid(alive, &status, WNOHANG) != alive; ++i) usleep(10000);

  ExchangeResult r = Export(d, missing);
  EXPECT_EQ(r.status, ExchangeResult::Failed);
  EXPECT_EQ(r.text, "Export failed: the folder of " + missing + " does not exist");
}

// Replacing an existing export keeps its permission bits and its owner (the
// test runs as root, which may keep any owner); a new export gets the
// default mode of a new file (0666 less the umask).
TEST_F(Exchange, AReplacedExportKeepsItsModeAndOwner) {
  OpenBook(d, dir / "a");
  Add(d, {{"ClientID", "Anna"}}, {});
  d.File("MVClients").Close();
  struct Case {
    mode_t mode;
    uid_t uid;
    gid_t gid;
  } cases[] = {{0600, 0, 0}, {0640, 64123, 64124}, {0664, 0, 64125}, {0444, 64123, 0}};
  const std::string target = dir / "shared.csv";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    mvntest::WriteFile(target, "the old export\r\n");
    ASSERT_EQ(chown(target.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
    ASSERT_EQ(Export(d, target).status, ExchangeResult::Finished);
    EXPECT_NE(mvntest::ReadFile(target).find("Anna"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
  }
  const std::string fresh = dir / "fresh.csv";
  const mode_t mask = umask(022);
  ASSERT_EQ(Export(d, fresh).status, ExchangeResult::Finished);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, getuid());
}

// An import whose commit fails (the book's disk is full) tells the book,
// SQLite's reason and how many records were imported and lines were not;
// the book keeps what it had.
TEST_F(Exchange, ImportIntoAFullBookTellsWhyAndHowMuch) {
  OpenBook(d, dir / "a");
  for (int i = 0; i < 300; ++i) Add(d, {{"ClientID", "Contact " + std::to_string(i)}, {"Notes", std::string(200, 'n')}}, {});
  ASSERT_EQ(Export(d, dir / "a.csv").status, ExchangeResult::Finished);
  OpenBook(d, dir / "b");
  ImportSession s = MapAll(d, dir / "a.csv");
  d.File("MVClients").Close();
  const rlim_t size = static_cast<rlim_t>(std::filesystem::file_size(dir / "b.KDF"));
  const std::string book = dir / "b.KDF";
  int code = WithFileSizeLimit(size + 4096, [&] {
    ExchangeResult r = mvn::client::ImportTxtToKDF2(d, s);
    fprintf(stderr, "%s\n", r.text.c_str());
    if (r.status != ExchangeResult::Failed) return 1;
    if (r.text.rfind("Import failed: Commit " + book + ": ", 0) != 0) return 2;
    if (r.text.find(": (error") != std::string::npos || r.text.find("(error 0)") != std::string::npos) return 3;
    if (r.text.find("|0 records were imported; the 300 lines read after them were not.") == std::string::npos)
      return 4;
    return 0;
  });
  EXPECT_EQ(code, 0);
  OpenBook(d, dir / "b");
  EXPECT_EQ(Count(d, "MVClients"), 0);
}
