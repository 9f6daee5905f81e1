// The AutoText list, the cover-page settings and the INI key removal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "client/addressbook/settings.h"
#include "client/records/records.h"
#include "tests/support/tempdir.h"

namespace fw = mvn::framework;
using namespace mvn::client;

namespace {

class AutoText : public ::testing::Test {
 protected:
  void Write(const std::string& text) { std::ofstream(dir / "c.ini") << text; }
  std::vector<std::string> Keys() { return ini.KeyNames("AutoMessageTextFiles"); }
  std::string Get(const std::string& key) { return ini.Fetch("AutoMessageTextFiles", key); }
  mvntest::TempDir dir;
  fw::IniFile ini{dir / "c.ini"};
  GlobalQueues queues;
  fw::Queue& q = queues.g_QautoText;
};

}  // namespace

TEST_F(AutoText, LoadStopsAtTheFirstGap) {
  Write("[AutoMessageTextFiles]\r\nAutoText1=Thanks\r\nThanks=/t/thanks.txt\r\nAutoText3=C\r\nC=/c\r\n");
  LoadAutoTextList(ini, q);
  ASSERT_EQ(q.Records(), 1);
  EXPECT_EQ(q.Entry(1).Clipped("Name"), "Thanks");
  EXPECT_EQ(q.Entry(1).Clipped("fullPathName"), "/t/thanks.txt");
}

TEST_F(AutoText, AddUpdateDelete) {
  int current = 0;
  EXPECT_EQ(AutoTextAdd(ini, q, "A", "/a", &current), "");
  EXPECT_EQ(current, 1);
  EXPECT_EQ(AutoTextAdd(ini, q, "B", "/b", &current), "");
  EXPECT_EQ(AutoTextAdd(ini, q, "C", "/c", &current), "");
  EXPECT_EQ(Get("AutoText3"), "C");

  // Refused names and paths write nothing.
  const std::string before = mvntest::ReadFile(dir / "c.ini");
  struct Refused {
    const char* name;
    std::string path;
    const char* message;
  } refused[] = {
      {" b ", "/x", "Autotext name already exists. Please change the name and retry."},
      {"", "/x", "Autotext name or full path name can't be empty."},
      {"D", "", "Autotext name or full path name can't be empty."},
      {"autotext2", "/x", "Autotext name can't be AutoText followed by a number."},
      {"a=b", "/x", "Autotext name can't contain \"=\" or start with \"[\" or \";\"."},
      {"[x", "/x", "Autotext name can't contain \"=\" or start with \"[\" or \";\"."},
      {";x", "/x", "Autotext name can't contain \"=\" or start with \"[\" or \";\"."},
      {"a\tb", "/x", "Autotext name must not hold a line break or a control character."},
      {"D", std::string(150, 'p'), "The path name is longer than 149 characters. Please choose a shorter one."},
  };
  for (const Refused& r : refused) EXPECT_EQ(AutoTextAdd(ini, q, r.name, r.path, &current), r.message) << r.name;
  EXPECT_EQ(AutoTextUpdate(ini, q, 0, "Z", "/z"), "Please select an item first");
  EXPECT_EQ(AutoTextUpdate(ini, q, 1, "c", "/z"), "Autotext name already exists. Please change the name and retry.");
  EXPECT_EQ(AutoTextUpdate(ini, q, 1, " ", "/z"), "Autotext name or full path name can't be empty.");
  EXPECT_EQ(mvntest::ReadFile(dir / "c.ini"), before);
  EXPECT_EQ(q.Records(), 3);

  // A path of exactly 149 characters is kept whole.
  std::string path149(149, 'q');
  EXPECT_EQ(AutoTextUpdate(ini, q, 1, "A", path149), "");
  EXPECT_EQ(Get("A"), path149);
  EXPECT_EQ(q.Entry(1).Clipped("fullPathName"), path149);

  // Renaming keeps the number; the old path key stays.
  EXPECT_EQ(AutoTextUpdate(ini, q, 1, "A2", "/a2"), "");
  EXPECT_EQ(Get("AutoText1"), "A2");
  EXPECT_EQ(Get("A"), path149);
  EXPECT_EQ(Get("A2"), "/a2");

  // Deleting B: 1 = A2, 2 = C, no 3, no B; the other path keys stay.
  EXPECT_EQ(AutoTextDelete(ini, q, 0, &current), "Please select an item first");
  EXPECT_EQ(AutoTextDelete(ini, q, 2, &current), "");
  EXPECT_EQ(current, 2);
  EXPECT_EQ(Get("AutoText1"), "A2");
  EXPECT_EQ(Get("AutoText2"), "C");
  EXPECT_EQ(Get("AutoText3"), "");
  EXPECT_EQ(Get("B"), "");
  EXPECT_EQ(Get("C"), "/c");
  EXPECT_EQ(AutoTextDelete(ini, q, 2, &current), "");
  EXPECT_EQ(current, 1);
  EXPECT_EQ(AutoTextDelete(ini, q, 1, &current), "");
  EXPECT_EQ(current, 0);
  EXPECT_EQ(q.Records(), 0);
  EXPECT_EQ(Get("AutoText1"), "");
}

TEST_F(AutoText, DeletingOneOfTwoSameNamedEntriesKeepsThePath) {
  Write("[AutoMessageTextFiles]\r\nAutoText1=Same\r\nAutoText2=same\r\nSame=/s\r\n");
  LoadAutoTextList(ini, q);
  ASSERT_EQ(q.Records(), 2);
  int current = 0;
  EXPECT_EQ(AutoTextDelete(ini, q, 1, &current), "");
  EXPECT_EQ(Get("AutoText1"), "same");
  EXPECT_EQ(Get("Same"), "/s");
  LoadAutoTextList(ini, q);
  EXPECT_EQ(q.Entry(1).Clipped("fullPathName"), "/s");
}

TEST(CoverPage, LinesAndMargins) {
  struct {
    const char* stored;
    int entry;
  } lines[] = {{"None", 1}, {"top", 2}, {"BOTTOM", 3}, {"both", 4}, {"Top & Bottom", 4}, {"TOP&BOTTOM", 4},
               {"sideways", 0}, {"", 0}};
  for (auto& l : lines) EXPECT_EQ(LinesEntry(l.stored), l.entry) << l.stored;
  using M = std::array<std::string, 4>;
  EXPECT_EQ(SplitMargins("0.5,0.5,1,1"), (M{"0.5", "0.5", "1", "1"}));
  EXPECT_EQ(SplitMargins("1,2"), (M{"1", "2", "2", "2"}));
  EXPECT_EQ(SplitMargins("1,2,3,4,5"), (M{"1", "2", "3", "4"}));
  EXPECT_EQ(SplitMargins(""), (M{"", "", "", ""}));
}

TEST(CoverPage, LoadUpdateDelete) {
  mvntest::TempDir dir;
  std::ofstream(dir / "client.ini") << "[Files]\r\nGlobalCoverPages=" << (dir / "global.ini")
                                    << "\r\nLocalCoverPages=" << (dir / "local.ini") << "\r\n";
  std::ofstream(dir / "global.ini")
      << "[AvailableCoverPages]\r\nPlain=plain page\r\nMine=my page\r\n"
         "[Plain]\r\nAddressHeaderFilename=/h.rtf\r\nAddressHeaderLines=both\r\nAddressHeaderMargins=0.5,0.5,1,1\r\n"
         "MessageBody=1,2\r\nMessageBodyLines=odd\r\nSignatureFilename=/s.rtf\r\nSignatureLines=Top\r\n"
         "MessageBodyFontname=Arial\r\n"
         "[Mine]\r\nAddressHeader=9,9,9,9\r\n";
  std::ofstream(dir / "local.ini") << "[AvailableCoverPages]\r\nMine=mine, locally\r\n"
                                      "[Mine]\r\nAddressHeader=1,1,1,1\r\n";
  fw::IniFile client(dir / "client.ini");

  CoverPageValues v = LoadCoverPage(client, "Plain");
  EXPECT_EQ(v.headFileName, "/h.rtf");
  EXPECT_EQ(v.head.lines, 4);
  EXPECT_EQ(v.head.margins, (std::array<std::string, 4>{"0.5", "0.5", "1", "1"}));
  EXPECT_EQ(v.body.margins, (std::array<std::string, 4>{"1", "2", "2", "2"}));
  EXPECT_EQ(v.body.lines, 0);
  EXPECT_EQ(v.signature.lines, 2);

  v.head.margins[0] = "0.75";
  ASSERT_EQ(UpdateCoverPage(client, "Plain", v), "");
  fw::IniFile global(dir / "global.ini");
  EXPECT_EQ(global.Fetch("Plain", "AddressHeaderLines"), "Top & Bottom");
  EXPECT_EQ(global.Fetch("Plain", "AddressHeaderMargins"), "0.75,0.5,1,1");
  EXPECT_EQ(global.Fetch("Plain", "AddressHeader"), "");
  EXPECT_EQ(global.Fetch("Plain", "MessageBody"), "1,2,2,2");
  EXPECT_EQ(global.Fetch("Plain", "MessageBodyLines"), "odd");  // no entry chosen: kept
  EXPECT_EQ(global.Fetch("Plain", "SignatureMargins"), ",,,");
  EXPECT_EQ(global.Fetch("Plain", "MessageBodyFontname"), "Arial");

  // A page of the local file is written there and read from there.
  v = LoadCoverPage(client, "Mine");
  EXPECT_EQ(v.head.margins[0], "1");
  v.head.margins = {"2", "2", "2", "2"};
  ASSERT_EQ(UpdateCoverPage(client, "Mine", v), "");
  EXPECT_EQ(fw::IniFile(dir / "local.ini").Fetch("Mine", "AddressHeader"), "2,2,2,2");
  EXPECT_EQ(global.Fetch("Mine", "AddressHeader"), "9,9,9,9");
  EXPECT_EQ(LoadCoverPage(client, "Mine").head.margins[3], "2");

  EXPECT_EQ(UpdateCoverPage(client, "", v), "Please select a cover page before updating it.");
  v.headFileName = std::string(150, 'x');
  EXPECT_NE(UpdateCoverPage(client, "Mine", v), "");

  GlobalQueues queues;
  fw::Queue& pages = queues.g_QcoverPages;
  pages.Buffer().Clear();
  pages.Buffer().Set("Name", "Plain");
  pages.Add();
  int current = 5;
  EXPECT_EQ(DeleteCoverPage(client, pages, 0, &current), "Please select an item first");
  EXPECT_EQ(DeleteCoverPage(client, pages, 1, &current), "");
  EXPECT_EQ(current, 0);
  EXPECT_EQ(global.Fetch("AvailableCoverPages", "Plain"), "");
  EXPECT_EQ(global.Fetch("Plain", "AddressHeaderFilename"), "/h.rtf");  // its section stays
}

TEST(RemoveIniKey, ClipsAndRefusesOverlongNames) {
  mvntest::TempDir dir;
  std::ofstream(dir / "x.ini") << "[Database]\r\nCustom Book 1=a\r\nCustom Book 2=b\r\n";
  EXPECT_TRUE(RemoveIniKey(dir / "x.ini  ", "Custom Book 1  ", "Database "));
  fw::IniFile ini(dir / "x.ini");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 1"), "");
  EXPECT_EQ(ini.Fetch("Database", "Custom Book 2"), "b");
  EXPECT_FALSE(RemoveIniKey(dir / "x.ini", std::string(150, 'k'), "Database"));
  EXPECT_FALSE(RemoveIniKey(dir / "x.ini", "", "Database"));
}

// A user who may read the client INI but not write it: deleting the last
// AutoText entry fails, says so, and leaves the list as the file has it.
TEST_F(AutoText, FailedDeleteIsToldAndKeepsTheList) {
  Write("[AutoMessageTextFiles]\r\nAutoText1=Last\r\nLast=/t/last.txt\r\n");
  chmod(dir.path().c_str(), 0755);
  chmod((dir / "c.ini").c_str(), 0644);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(60001) != 0 || setuid(60001) != 0) _exit(90);
    LoadAutoTextList(ini, q);
    if (q.Records() != 1) _exit(91);
    int current = 0;
    if (AutoTextDelete(ini, q, 1, &current) != "The settings file could not be written.") _exit(92);
    _exit(q.Records() == 1 ? 0 : 93);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Get("AutoText1"), "Last");
}
