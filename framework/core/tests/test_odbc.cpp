// ODBC data sources: an SQLite database behind unixODBC's SQLite driver,
// defined in private odbc.ini / odbcinst.ini files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "framework/core/filemanager.h"
#include "framework/core/relation.h"
#include "tests/support/child.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

class OdbcSource : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!source.Available()) GTEST_SKIP() << "the SQLite ODBC driver is not installed";
  }
  void TablesKeysCursorsAndCascades();
  void LayoutDiffersAndUnknownSource();
  std::unique_ptr<FileManager> Table(const char* name, LayoutPtr layout) {
    auto f = std::make_unique<FileManager>(Driver::Odbc, layout, name);
    f->SetOwner("Books");
    return f;
  }
  void InChild(const std::function<void()>& body) {
    EXPECT_TRUE(mvntest::InChild(body)) << "the case failed in its child process";
  }
  mvntest::TempDir dir;
  mvntest::OdbcTestSource source{dir.str()};
};

LayoutPtr People() {
  static LayoutPtr l = MakeLayout("P", {LongField("ID"), CStringField("Name", 20), StringField("Dest", 10)});
  return l;
}
LayoutPtr Links() {
  static LayoutPtr l = MakeLayout("L", {StringField("GroupID", 20), LongField("FK_ID")});
  return l;
}

}  // namespace

TEST_F(OdbcSource, TablesKeysCursorsAndCascades) {
  InChild([&] { TablesKeysCursorsAndCascades(); });
}

void OdbcSource::TablesKeysCursorsAndCascades() {
  auto people = Table("People", People());
  people->AddKey({"P:KeyID", {"ID"}, true, true, true});
  people->AddKey({"P:KeyUniq", {"Name", "Dest"}, true});
  people->AddKey({"P:KeyName", {"Name"}});
  auto links = Table("Links", Links());
  links->AddKey({"L:KeyUnique", {"GroupID", "FK_ID"}, true});
  links->AddKey({"L:KeyFK", {"FK_ID"}});
  ASSERT_EQ(people->Open(), NoError) << ErrorText();
  ASSERT_EQ(links->Open(), NoError) << ErrorText();
  EXPECT_TRUE(std::filesystem::exists(dir / "books.db"));

  auto add = [&](const char* name, const char* dest) {
    people->Buffer().Clear();
    people->Buffer().Set("Name", name);
    people->Buffer().Set("Dest", dest);
    return people->TryInsert();
  };
  ASSERT_EQ(add("bert", "1"), NoError);
  EXPECT_EQ(people->Buffer().GetLong("ID"), 1);
  ASSERT_EQ(add("Anna", "1"), NoError);
  ASSERT_EQ(add("anna", "2"), NoError);
  EXPECT_EQ(add("ANNA", "2"), DuplicateKeyError);
  ASSERT_EQ(add("O'Neil", "3"), NoError);
  EXPECT_EQ(people->Records(), 4);

  ASSERT_EQ(people->Set("P:KeyName"), NoError);
  std::string order;
  while (people->Next() == NoError) order += people->Buffer().Get("Name") + people->Buffer().Clipped("Dest") + " ";
  EXPECT_EQ(order, "Anna1 anna2 bert1 O'Neil3 ");
  people->Buffer().Set("Name", "B");
  ASSERT_EQ(people->SetFrom("P:KeyName"), NoError);
  ASSERT_EQ(people->Previous(), NoError);
  EXPECT_EQ(people->Buffer().Get("Name"), "anna");

  RelationManager parent(*people), child(*links);
  parent.AddRelation(child, "L:KeyFK", {{"ID", "FK_ID"}});
  for (auto [g, id] : std::vector<std::pair<const char*, int>>{{"A", 1}, {"B", 1}, {"A", 2}}) {
    links->Buffer().Set("GroupID", g);
    links->Buffer().SetLong("FK_ID", id);
    ASSERT_EQ(links->TryInsert(), NoError);
  }
  people->Buffer().SetLong("ID", 1);
  ASSERT_EQ(people->Fetch("P:KeyID"), NoError);
  ASSERT_EQ(parent.Delete(), NoError);
  EXPECT_EQ(links->Records(), 1);
  EXPECT_EQ(people->Records(), 3);
  // The number of a deleted record is not handed out again.
  ASSERT_EQ(add("Cleo", "1"), NoError);
  EXPECT_EQ(people->Buffer().GetLong("ID"), 5);
}

TEST_F(OdbcSource, LayoutDiffersAndUnknownSource) {
  InChild([&] { LayoutDiffersAndUnknownSource(); });
}

void OdbcSource::LayoutDiffersAndUnknownSource() {
  {
    auto people = Table("People", People());
    ASSERT_EQ(people->Open(), NoError) << ErrorText();
  }
  auto other = Table("People", MakeLayout("P", {LongField("ID"), CStringField("Other", 20)}));
  EXPECT_EQ(other->Open(), LayoutDiffersError);
  auto missing = Table("People", People());
  missing->SetOwner("NoSuchSource");
  EXPECT_EQ(missing->Open(), FileNotFoundError);
  auto absent = Table("Absent", People());
  absent->SetCreate(false);
  EXPECT_EQ(absent->Open(), FileNotFoundError);
}
