// INI objects over the profile layer, and queues.
#include <gtest/gtest.h>

#include "framework/core/ini.h"
#include "framework/core/queue.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

TEST(IniFile, KeysWithBlanksBackslashesAndMissingKeys) {
  mvntest::TempDir dir;
  IniFile ini(dir / "client.ini");
  EXPECT_EQ(ini.Fetch("Database", "Pathname"), "");
  ASSERT_TRUE(ini.Update("Database", "Custom Book 1", "Personal Address Book"));
  ASSERT_TRUE(ini.Update("Database", "Personal Address Book", "C:\\Data\\Personal"));
  ASSERT_TRUE(ini.Update("Database", "NumCustomBooks", "1"));
  EXPECT_EQ(ini.Fetch("database", "custom book 1"), "Personal Address Book");
  EXPECT_EQ(ini.Fetch("Database", "Personal Address Book"), "C:\\Data\\Personal");
  EXPECT_EQ(ini.FetchNumber("Database", "NumCustomBooks"), 1);
  EXPECT_EQ(mvntest::ReadFile(dir / "client.ini"),
            "[Database]\r\nCustom Book 1=Personal Address Book\r\n"
            "Personal Address Book=C:\\Data\\Personal\r\nNumCustomBooks=1\r\n");
  EXPECT_FALSE(ini.Update("Database", "bad", "two\nlines"));
  EXPECT_EQ(ErrorCode(), BadNameError);
  ASSERT_TRUE(ini.DeleteKey("Database", "NumCustomBooks"));
  EXPECT_EQ(ini.Fetch("Database", "NumCustomBooks"), "");
}

TEST(IniFile, KeyNamesInFileOrderWithinTheBuffer) {
  mvntest::TempDir dir;
  mvntest::WriteFile(dir / "a.ini", "[S]\r\nzeta=1\r\nAlpha=2\r\nmid key=3\r\n");
  IniFile ini(dir / "a.ini");
  EXPECT_EQ(ini.KeyNames("S"), (std::vector<std::string>{"zeta", "Alpha", "mid key"}));
  // 12 bytes hold "zeta\0Alpha\0" and the end: the cut name is left out.
  EXPECT_EQ(ini.KeyNames("S", 14), (std::vector<std::string>{"zeta", "Alpha"}));
  EXPECT_EQ(ini.KeyNames("S", 8), (std::vector<std::string>{"zeta"}));
  EXPECT_EQ(ini.KeyNames("missing"), (std::vector<std::string>{}));
}

TEST(IniFile, NumberedListsIntoQueues) {
  mvntest::TempDir dir;
  IniFile ini(dir / "c.ini");
  ASSERT_TRUE(ini.UpdateList("DefaultCommands", "command", "Command_", {"CMD1=a", "CMD2=b b", "X=c"}));
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_2"), "CMD2=b b");
  Queue q(MakeLayout("Q", {CStringField("Line", 50)}));
  EXPECT_EQ(ini.FetchQueue("DefaultCommands", "command", "Command_", q, "Line"), 3);
  ASSERT_EQ(q.Get(3), NoError);
  EXPECT_EQ(q.Buffer().Get("Line"), "X=c");
  ASSERT_TRUE(ini.UpdateList("DefaultCommands", "command", "Command_", {"only=1"}));
  EXPECT_EQ(ini.Fetch("DefaultCommands", "Command_2"), "");
  EXPECT_EQ(ini.FetchList("DefaultCommands", "command", "Command_"), (std::vector<std::string>{"only=1"}));
}

TEST(Queue, GetPutDeleteAndStableSort) {
  Queue q(MakeLayout("G", {CStringField("GroupID", 100), ByteField("Mark")}));
  for (auto [name, mark] : std::vector<std::pair<const char*, int>>{{"b", 1}, {"A", 0}, {"a", 1}, {"c", 0}}) {
    q.Buffer().Set("GroupID", name);
    q.Buffer().SetLong("Mark", mark);
    q.Add();
  }
  EXPECT_EQ(q.Records(), 4);
  EXPECT_EQ(q.Get(5), EntryNotFoundError);
  EXPECT_EQ(q.Get(0), EntryNotFoundError);
  q.Buffer().Set("GroupID", "c");
  ASSERT_EQ(q.GetByKey({"GroupID"}), NoError);
  EXPECT_EQ(q.Pointer(), 4);
  q.Buffer().SetLong("Mark", 1);
  ASSERT_EQ(q.Put(), NoError);
  auto names = [&] {
    std::string s;
    for (int i = 1; i <= q.Records(); ++i) s += q.Entry(i).Get("GroupID") + q.Entry(i).Get("Mark") + " ";
    return s;
  };
  q.Sort({"GroupID"}, true);
  EXPECT_EQ(names(), "A0 a1 b1 c1 ");  // equal without case: original order kept
  q.Sort({"-Mark", "GroupID"});
  EXPECT_EQ(names(), "a1 b1 c1 A0 ");
  ASSERT_EQ(q.Get(2), NoError);
  ASSERT_EQ(q.Delete(), NoError);
  EXPECT_EQ(names(), "a1 c1 A0 ");
  q.Buffer().Set("GroupID", "first");
  q.Add(1);
  EXPECT_EQ(q.Entry(1).Get("GroupID"), "first");
  q.Free();
  EXPECT_EQ(q.Records(), 0);
  EXPECT_EQ(q.Put(), EntryNotFoundError);
}
