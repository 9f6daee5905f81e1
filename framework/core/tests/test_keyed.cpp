// The keyed data-file driver and relation managers, on real files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cctype>
#include <memory>

#include "framework/core/filemanager.h"
#include "framework/core/relation.h"
#include "tests/support/child.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

LayoutPtr Clients() {
  static LayoutPtr l =
      MakeLayout("CL", {LongField("ID"), CStringField("Name", 20), StringField("Dest", 10), ByteField("Mark")});
  return l;
}
LayoutPtr Members() {
  static LayoutPtr l = MakeLayout("GM", {StringField("GroupID", 20), LongField("FK_ID")});
  return l;
}
LayoutPtr Groups() {
  static LayoutPtr l = MakeLayout("GR", {StringField("GroupID", 20), CStringField("Info", 10)});
  return l;
}

struct Book {
  explicit Book(const std::string& file)
      : clients(Driver::Keyed, Clients(), file + "\\!Clients"),
        members(Driver::Keyed, Members(), file + "/!Members"),
        groups(Driver::Keyed, Groups(), file + "\\!Groups"),
        clientRel(clients),
        memberRel(members),
        groupRel(groups) {
    clients.AddKey({"CL:KeyID", {"ID"}, true, true, true});
    clients.AddKey({"CL:KeyUniq", {"Name", "Dest"}, true});
    clients.AddKey({"CL:KeyName", {"Name"}});
    members.AddKey({"GM:KeyUnique", {"GroupID", "FK_ID"}, true});
    members.AddKey({"GM:KeyGroupID", {"GroupID"}});
    members.AddKey({"GM:KeyFK_ID", {"FK_ID"}});
    groups.AddKey({"GR:KeyGroupID", {"GroupID"}, true, true});
    clientRel.AddRelation(memberRel, "GM:KeyFK_ID", {{"ID", "FK_ID"}});
    groupRel.AddRelation(memberRel, "GM:KeyGroupID", {{"GroupID", "GroupID"}});
  }
  int OpenAll() {
    if (int e = clients.Open()) return e;
    if (int e = members.Open()) return e;
    return groups.Open();
  }
  int AddClient(const std::string& name, const std::string& dest) {
    clients.Buffer().Clear();
    clients.Buffer().Set("Name", name);
    clients.Buffer().Set("Dest", dest);
    return clients.TryInsert();
  }
  int AddMember(const std::string& group, int64_t id) {
    members.Buffer().Clear();
    members.Buffer().Set("GroupID", group);
    members.Buffer().SetLong("FK_ID", id);
    return members.TryInsert();
  }
  int AddGroup(const std::string& group) {
    groups.Buffer().Clear();
    groups.Buffer().Set("GroupID", group);
    return groups.TryInsert();
  }
  std::vector<std::string> MemberList() {
    std::vector<std::string> out;
    members.Set("GM:KeyUnique");
    while (members.Next() == NoError)
      out.push_back(members.Buffer().Clipped("GroupID") + "/" + members.Buffer().Get("FK_ID"));
    return out;
  }
  FileManager clients, members, groups;
  RelationManager clientRel, memberRel, groupRel;
};

int Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

}  // namespace

TEST(KeyedFile, MissingBookIsCreatedWithItsTables) {
  mvntest::TempDir dir;
  Book book(dir / "Personal");  // ".KDF" added
  ASSERT_EQ(book.OpenAll(), NoError);
  EXPECT_EQ(book.clients.FilePath(), dir / "Personal.KDF");
  EXPECT_EQ(book.clients.Records(), 0);
  EXPECT_EQ(book.members.Records(), 0);
  EXPECT_EQ(book.clients.Open(), AlreadyOpenError);
  EXPECT_TRUE(book.clients.IsOpen());
}

TEST(KeyedFile, MissingBookWithoutCreateIsNotFound) {
  mvntest::TempDir dir;
  FileManager f(Driver::Keyed, Clients(), dir / "none.KDF\\!Clients");
  f.SetCreate(false);
  EXPECT_EQ(f.Open(), FileNotFoundError);
  EXPECT_FALSE(std::filesystem::exists(dir / "none.KDF"));
  f.SetName(dir / "nodir/none.KDF\\!Clients");
  EXPECT_EQ(f.Open(), PathNotFoundError);
}

TEST(KeyedFile, UniqueKeyCaselessAndAutoIncrementNeverReused) {
  mvntest::TempDir dir;
  Book book(dir / "b.kdf");
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddClient("Anna", "123"), NoError);
  EXPECT_EQ(book.clients.Buffer().GetLong("ID"), 1);
  EXPECT_EQ(book.AddClient("ANNA", "123  "), DuplicateKeyError);  // case and trailing blanks ignored
  EXPECT_EQ(ErrorText(), "Duplicate key");
  ASSERT_EQ(book.AddClient("Anna", "456"), NoError);  // same contact, other destination
  EXPECT_EQ(book.clients.Buffer().GetLong("ID"), 2);
  // Delete the newest record; its number is not handed out again.
  ASSERT_EQ(book.clients.Delete(), NoError);
  ASSERT_EQ(book.AddClient("Bert", "9"), NoError);
  EXPECT_EQ(book.clients.Buffer().GetLong("ID"), 3);
  // ... also not after closing and reopening.
  book.clients.Close();
  ASSERT_EQ(book.clients.Open(), NoError);
  EXPECT_EQ(book.clients.Records(), 2);  // Anna (1) and Bert (3)
  book.clients.Buffer().SetLong("ID", 3);
  ASSERT_EQ(book.clients.Fetch("CL:KeyID"), NoError);
  ASSERT_EQ(book.clients.Delete(), NoError);
  ASSERT_EQ(book.AddClient("Cleo", "1"), NoError);
  EXPECT_EQ(book.clients.Buffer().GetLong("ID"), 4);
  // Fetch by a key without case.
  book.clients.Buffer().Clear();
  book.clients.Buffer().Set("Name", "cleo");
  book.clients.Buffer().Set("Dest", "1");
  ASSERT_EQ(book.clients.Fetch("cl:keyuniq"), NoError);
  EXPECT_EQ(book.clients.Buffer().Get("Name"), "Cleo");
  book.clients.Buffer().Set("Name", "nobody");
  EXPECT_EQ(book.clients.TryFetch("CL:KeyUniq"), RecordNotFoundError);
}

TEST(KeyedFile, KeysetCursorInKeyOrderWithTiesInInsertionOrder) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  for (auto [name, dest] : std::vector<std::pair<std::string, std::string>>{
           {"bert", "1"}, {"Anna", "1"}, {"Bert", "2"}, {"carl", "1"}, {"anna", "2"}})
    ASSERT_EQ(book.AddClient(name, dest), NoError);
  auto read = [&](bool forward) {
    std::string out;
    while ((forward ? book.clients.Next() : book.clients.Previous()) == NoError)
      out += book.clients.Buffer().Get("Name") + book.clients.Buffer().Clipped("Dest") + " ";
    EXPECT_EQ(ErrorCode(), RecordNotAvailableError);
    return out;
  };
  ASSERT_EQ(book.clients.Set("CL:KeyName"), NoError);
  EXPECT_EQ(read(true), "Anna1 anna2 bert1 Bert2 carl1 ");
  ASSERT_EQ(book.clients.Set("CL:KeyName"), NoError);
  EXPECT_EQ(read(false), "carl1 Bert2 bert1 anna2 Anna1 ");
  // From typed text (the browse locator): first record >= "B".
  book.clients.Buffer().Set("Name", "B");
  ASSERT_EQ(book.clients.SetFrom("CL:KeyName"), NoError);
  ASSERT_EQ(book.clients.Next(), NoError);
  EXPECT_EQ(book.clients.Buffer().Get("Name"), "bert");
  Position bert = book.clients.GetPosition();
  // Records added behind the cursor are seen, removed ones skipped.
  ASSERT_EQ(book.AddClient("BZ", "1"), NoError);
  ASSERT_EQ(book.clients.Reset("CL:KeyName", bert), NoError);
  EXPECT_EQ(read(true), "bert1 Bert2 BZ1 carl1 ");
  ASSERT_EQ(book.clients.Reset("CL:KeyName", bert), NoError);
  EXPECT_EQ(read(false), "anna2 Anna1 ");
  // A position taken at an insert (or in another order) serves any key.
  ASSERT_EQ(book.AddClient("Bea", "7"), NoError);
  Position inserted = book.clients.GetPosition();
  ASSERT_EQ(book.clients.Reset("CL:KeyName", inserted), NoError);
  EXPECT_EQ(read(true), "Bea7 bert1 Bert2 BZ1 carl1 ");
  ASSERT_EQ(book.clients.Reset("CL:KeyUniq", bert), NoError);
  ASSERT_EQ(book.clients.Next(), NoError);
  EXPECT_EQ(book.clients.Buffer().Get("Name"), "bert");
  book.clients.Buffer().SetLong("ID", book.clients.Buffer().GetLong("ID"));
  ASSERT_EQ(book.clients.Fetch("CL:KeyID"), NoError);
  ASSERT_EQ(book.clients.Delete(), NoError);
  // The deleted record's own values still place the cursor in its key.
  ASSERT_EQ(book.clients.Reset("CL:KeyName", bert), NoError);
  EXPECT_EQ(read(true), "Bert2 BZ1 carl1 ");
  EXPECT_EQ(book.clients.Reset("CL:KeyUniq", bert), RecordNotFoundError);
  // File order.
  ASSERT_EQ(book.clients.Set(), NoError);
  ASSERT_EQ(book.clients.Next(), NoError);
  EXPECT_EQ(book.clients.Buffer().Get("Name"), "Anna");
  EXPECT_EQ(book.clients.Records(), 6);
}

// Long runs of equal key values, at the start, in the middle and at the end
// of the order, single- and multi-column keys, both directions: ties come in
// row order, and records added or removed inside a run while it is read are
// seen or skipped.
TEST(KeyedFile, LongRunsOfEqualKeysInBothDirections) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  // Rows 1..: "a" x 200, "M"/"m" x 300 (one caseless run), "z" x 200.
  std::vector<std::string> expected;  // "group/id" in (GroupID, row) order
  ASSERT_EQ(book.members.BeginTransaction(), NoError);
  int id = 0;
  for (auto [group, count] : std::vector<std::pair<std::string, int>>{{"a", 200}, {"M", 150}, {"m", 150}, {"z", 200}})
    for (int i = 0; i < count; ++i) {
      ++id;
      // FK_ID descending within the run, so the unique key's order differs.
      ASSERT_EQ(book.AddMember(group, 100000 - id), NoError);
      expected.push_back(group + "/" + std::to_string(100000 - id));
    }
  ASSERT_EQ(book.members.Commit(), NoError);
  auto item = [&] { return book.members.Buffer().Clipped("GroupID") + "/" + book.members.Buffer().Get("FK_ID"); };
  auto readAll = [&](const char* key, bool forward) {
    std::vector<std::string> out;
    EXPECT_EQ(book.members.Set(key), NoError);
    while ((forward ? book.members.Next() : book.members.Previous()) == NoError) out.push_back(item());
    EXPECT_EQ(ErrorCode(), RecordNotAvailableError);
    return out;
  };
  EXPECT_EQ(readAll("GM:KeyGroupID", true), expected);
  std::vector<std::string> reversed(expected.rbegin(), expected.rend());
  EXPECT_EQ(readAll("GM:KeyGroupID", false), reversed);
  // The two-column key: each run ordered by FK_ID, i.e. backwards by row.
  std::vector<std::string> unique = expected;
  std::stable_sort(unique.begin(), unique.end(), [](const std::string& x, const std::string& y) {
    auto group = [](const std::string& s) { return static_cast<char>(std::tolower(s[0])); };
    return group(x) != group(y) ? group(x) < group(y) : x.substr(2) < y.substr(2);
  });
  EXPECT_EQ(readAll("GM:KeyUnique", true), unique);
  EXPECT_EQ(readAll("GM:KeyUnique", false), std::vector<std::string>(unique.rbegin(), unique.rend()));

  // From a position inside the middle run, both ways, over the ends.
  book.members.Buffer().Clear();
  book.members.Buffer().Set("GroupID", "m");
  ASSERT_EQ(book.members.SetFrom("GM:KeyGroupID"), NoError);
  ASSERT_EQ(book.members.Next(), NoError);
  EXPECT_EQ(item(), expected[200]);
  for (int i = 0; i < 99; ++i) ASSERT_EQ(book.members.Next(), NoError);
  Position middle = book.members.GetPosition();
  EXPECT_EQ(item(), expected[299]);
  ASSERT_EQ(book.members.Reset("GM:KeyGroupID", middle), NoError);
  ASSERT_EQ(book.members.Previous(), NoError);
  EXPECT_EQ(item(), expected[298]);
  ASSERT_EQ(book.members.Reset("GM:KeyGroupID", middle), NoError);
  ASSERT_EQ(book.members.Next(), NoError);
  EXPECT_EQ(item(), expected[299]);
  // Meanwhile: the run's next record removed, a new one added to the run
  // (after all its rows) and one added to the first run (behind).
  ASSERT_EQ(book.members.Next(), NoError);
  ASSERT_EQ(book.members.Delete(), NoError);
  ASSERT_EQ(book.AddMember("M", 7), NoError);
  ASSERT_EQ(book.AddMember("A", 8), NoError);
  ASSERT_EQ(book.members.Reset("GM:KeyGroupID", middle), NoError);
  std::vector<std::string> rest;
  while (book.members.Next() == NoError) rest.push_back(item());
  std::vector<std::string> want(expected.begin() + 299, expected.begin() + 500);
  want.erase(want.begin() + 1);
  want.push_back("M/7");
  want.insert(want.end(), expected.begin() + 500, expected.end());
  EXPECT_EQ(rest, want);
  ASSERT_EQ(book.members.Reset("GM:KeyGroupID", middle), NoError);
  std::vector<std::string> back;
  while (book.members.Previous() == NoError) back.push_back(item());
  std::vector<std::string> wantBack(expected.rend() - 299, expected.rend());
  wantBack.insert(wantBack.begin() + 99, "A/8");
  EXPECT_EQ(back, wantBack);

  // A table that is one run: it is read whole from both ends and from its
  // key values (SetFrom: Next the first record, Previous the last).
  Book one(dir / "one");
  ASSERT_EQ(one.OpenAll(), NoError);
  for (int i = 1; i <= 300; ++i) ASSERT_EQ(one.AddMember("x", i), NoError);
  for (bool forward : {true, false}) {
    SCOPED_TRACE(forward);
    for (bool from : {false, true}) {
      one.members.Buffer().Clear();
      one.members.Buffer().Set("GroupID", "X");
      ASSERT_EQ(from ? one.members.SetFrom("GM:KeyGroupID") : one.members.Set("GM:KeyGroupID"), NoError);
      int64_t want = forward ? 1 : 300, count = 0;
      while ((forward ? one.members.Next() : one.members.Previous()) == NoError) {
        EXPECT_EQ(one.members.Buffer().GetLong("FK_ID"), want);
        want += forward ? 1 : -1;
        ++count;
      }
      EXPECT_EQ(count, 300);
    }
  }
}

TEST(KeyedFile, RelationsCascadeDeleteAndRename) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddClient("Anna", "1"), NoError);
  ASSERT_EQ(book.AddClient("Bert", "1"), NoError);
  ASSERT_EQ(book.AddGroup("Sales"), NoError);
  ASSERT_EQ(book.AddGroup("Staff"), NoError);
  ASSERT_EQ(book.AddMember("Sales", 1), NoError);
  ASSERT_EQ(book.AddMember("Sales", 2), NoError);
  ASSERT_EQ(book.AddMember("Staff", 1), NoError);
  ASSERT_EQ(book.AddMember("Orphan", 2), NoError);  // a group that does not exist is tolerated
  EXPECT_EQ(book.AddMember("SALES", 1), DuplicateKeyError);

  // Rename "Sales" to "Market": its memberships follow.
  book.groups.Buffer().Set("GroupID", "sales");
  ASSERT_EQ(book.groups.Fetch("GR:KeyGroupID"), NoError);
  book.groups.Buffer().Set("GroupID", "Market");
  ASSERT_EQ(book.groupRel.Update(), NoError);
  EXPECT_EQ(book.MemberList(), (std::vector<std::string>{"Market/1", "Market/2", "Orphan/2", "Staff/1"}));

  // Delete client 1: its memberships go.
  book.clients.Buffer().SetLong("ID", 1);
  ASSERT_EQ(book.clients.Fetch("CL:KeyID"), NoError);
  ASSERT_EQ(book.clientRel.Delete(), NoError);
  EXPECT_EQ(book.MemberList(), (std::vector<std::string>{"Market/2", "Orphan/2"}));

  // Delete the group: every membership of it goes.
  book.groups.Buffer().Set("GroupID", "Market");
  ASSERT_EQ(book.groups.Fetch("GR:KeyGroupID"), NoError);
  ASSERT_EQ(book.groupRel.Delete(), NoError);
  EXPECT_EQ(book.MemberList(), (std::vector<std::string>{"Orphan/2"}));
  EXPECT_EQ(book.groups.Records(), 1);
}

TEST(KeyedFile, FailedCascadeLeavesEverythingAsItWas) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddGroup("A"), NoError);
  ASSERT_EQ(book.AddGroup("B"), NoError);
  ASSERT_EQ(book.AddMember("A", 1), NoError);
  ASSERT_EQ(book.AddMember("A", 2), NoError);
  ASSERT_EQ(book.AddMember("Old", 2), NoError);
  ASSERT_EQ(book.AddMember("C", 2), NoError);
  // Renaming group A to C would duplicate membership C/2: nothing changes.
  book.groups.Buffer().Set("GroupID", "A");
  ASSERT_EQ(book.groups.Fetch("GR:KeyGroupID"), NoError);
  book.groups.Buffer().Set("GroupID", "C");
  EXPECT_EQ(book.groupRel.Update(), DuplicateKeyError);
  EXPECT_EQ(book.MemberList(), (std::vector<std::string>{"A/1", "A/2", "C/2", "Old/2"}));
  book.groups.Buffer().Set("GroupID", "A");
  EXPECT_EQ(book.groups.Fetch("GR:KeyGroupID"), NoError);
}

TEST(KeyedFile, SecondDeclarationHasItsOwnBuffer) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddClient("Anna", "1"), NoError);
  std::unique_ptr<FileManager> other = book.clients.Clone();
  ASSERT_EQ(other->Open(), NoError);
  ASSERT_EQ(other->Set("CL:KeyName"), NoError);
  ASSERT_EQ(other->Next(), NoError);
  other->Buffer().Set("Name", "Changed");
  EXPECT_EQ(book.clients.Buffer().Get("Name"), "Anna");
  ASSERT_EQ(other->Update(), NoError);
  book.clients.Buffer().SetLong("ID", 1);
  ASSERT_EQ(book.clients.Fetch("CL:KeyID"), NoError);
  EXPECT_EQ(book.clients.Buffer().Get("Name"), "Changed");
}

TEST(KeyedFile, LayoutCheckAndForeignFilesGive47AndAreNotWritten) {
  mvntest::TempDir dir;
  {
    Book book(dir / "b");
    ASSERT_EQ(book.OpenAll(), NoError);
  }
  // The same table declared with another layout.
  FileManager changed(Driver::Keyed, MakeLayout("CL", {LongField("ID"), CStringField("Name", 21)}),
                      dir / "b\\!Clients");
  EXPECT_EQ(changed.Open(), LayoutDiffersError);
  // Text that is no database.
  mvntest::WriteFile(dir / "text.KDF", "just some text, not a database at all................................");
  FileManager text(Driver::Keyed, Clients(), dir / "text\\!Clients");
  EXPECT_EQ(text.Open(), LayoutDiffersError);
  EXPECT_EQ(mvntest::ReadFile(dir / "text.KDF").substr(0, 9), "just some");
  // A database of another program.
  ASSERT_EQ(Sql(dir / "other.KDF", "CREATE TABLE t(x); INSERT INTO t VALUES (1);"), SQLITE_OK);
  std::string before = mvntest::ReadFile(dir / "other.KDF");
  FileManager foreign(Driver::Keyed, Clients(), dir / "other.KDF\\!Clients");
  EXPECT_EQ(foreign.Open(), LayoutDiffersError);
  EXPECT_EQ(foreign.Create(), LayoutDiffersError);
  EXPECT_EQ(mvntest::ReadFile(dir / "other.KDF"), before);
}

TEST(KeyedFile, CorruptBookGives47AndIsNotRewritten) {
  mvntest::TempDir dir;
  {
    Book book(dir / "b");
    ASSERT_EQ(book.OpenAll(), NoError);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(book.AddClient("N" + std::to_string(i), "1"), NoError);
  }
  std::string bytes = mvntest::ReadFile(dir / "b.KDF");
  ASSERT_GT(bytes.size(), 4096u);
  // Garbage over the catalogue on the first page, after the header.
  for (size_t i = 100; i < 4096; ++i) bytes[i] = static_cast<char>(i * 131 % 251);
  mvntest::WriteFile(dir / "b.KDF", bytes);
  Book book(dir / "b");
  EXPECT_EQ(book.clients.Open(), LayoutDiffersError);
  EXPECT_EQ(book.clients.Create(), LayoutDiffersError);
  EXPECT_EQ(mvntest::ReadFile(dir / "b.KDF"), bytes);
}

TEST(KeyedFile, MissingTableIsCreatedAndMissingIndexGives46) {
  mvntest::TempDir dir;
  {
    Book book(dir / "b");
    ASSERT_EQ(book.clients.Open(), NoError);  // only one of the tables
  }
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  EXPECT_EQ(book.groups.Records(), 0);
  book.clients.Close();
  ASSERT_EQ(Sql(dir / "b.KDF", "DROP INDEX \"Clients$CL:KeyUniq\""), SQLITE_OK);
  EXPECT_EQ(book.clients.Open(), KeysInvalidError);
  // With the index back (here by hand, wrong), a rebuild makes the keys
  // the declared ones again.
  Book again(dir / "b");
  ASSERT_EQ(Sql(dir / "b.KDF", "CREATE INDEX \"Clients$CL:KeyUniq\" ON Clients(Name)"), SQLITE_OK);
  ASSERT_EQ(again.clients.Open(), NoError);
  ASSERT_EQ(again.clients.BuildKeys(), NoError);
  ASSERT_EQ(again.AddClient("A", "1"), NoError);
  EXPECT_EQ(again.AddClient("A", "1"), DuplicateKeyError);
  // A declared table dropped from the file is made again.
  again.clients.Close();
  ASSERT_EQ(Sql(dir / "b.KDF", "DROP TABLE Groups"), SQLITE_OK);
  Book third(dir / "b");
  ASSERT_EQ(third.groups.Open(), NoError);
  EXPECT_EQ(third.AddGroup("G"), NoError);
}

TEST(KeyedFile, NotARegularFileIsRefusedWithoutBlocking) {
  mvntest::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.KDF").c_str(), 0600), 0);
  FileManager f(Driver::Keyed, Clients(), dir / "fifo.KDF\\!Clients");
  EXPECT_EQ(f.Open(), AccessDeniedError);
  std::filesystem::create_symlink("/dev/null", dir / "device.KDF");
  FileManager d(Driver::Keyed, Clients(), dir / "device.KDF\\!Clients");
  EXPECT_EQ(d.Open(), AccessDeniedError);
}

TEST(KeyedFile, UnreadableBookGives5ForAnotherUser) {
  mvntest::TempDir dir;
  ASSERT_EQ(chmod(dir.str().c_str(), 0755), 0);
  {
    Book book(dir / "b");
    ASSERT_EQ(book.OpenAll(), NoError);
  }
  ASSERT_EQ(chmod((dir / "b.KDF").c_str(), 0600), 0);
  std::string name = dir / "b.KDF\\!Clients";
  int code = mvntest::AsStranger([&] {
    FileManager f(Driver::Keyed, Clients(), name);
    return f.Open();
  });
  EXPECT_EQ(code, AccessDeniedError);
  // Readable but not writable: a read-only open works, a shared one does not.
  ASSERT_EQ(chmod((dir / "b.KDF").c_str(), 0644), 0);
  code = mvntest::AsStranger([&] {
    FileManager f(Driver::Keyed, Clients(), name);
    if (f.Open(Shared) != AccessDeniedError) return 1;
    if (f.Open(ReadOnly | DenyNone) != NoError) return 2;
    if (f.Records() != 0) return 3;
    if (f.Insert() != AccessDeniedError) return 4;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

// A book another user may read but not write, because of the file's mode
// or because its folder does not let SQLite write the journal beside it: an
// open for writing is refused saying the book is read-only, an open for
// reading reads everything, and every change (a relation's cascade too) is
// refused with that text while the file stays byte for byte as it was.
TEST(KeyedFile, ReadOnlyBookIsReadAndRefusesChangesUntouched) {
  struct Case {
    const char* what;
    mode_t fileMode;
  } const cases[] = {{"file mode 0644", 0644}, {"folder not writable, file 0666", 0666}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    mvntest::TempDir dir;
    ASSERT_EQ(chmod(dir.str().c_str(), 0755), 0);
    {
      Book book(dir / "b");
      ASSERT_EQ(book.OpenAll(), NoError);
      ASSERT_EQ(book.AddClient("Anna", "1"), NoError);
      ASSERT_EQ(book.AddClient("Bert", "2"), NoError);
      ASSERT_EQ(book.AddGroup("Sales"), NoError);
      ASSERT_EQ(book.AddMember("Sales", 1), NoError);
    }
    const std::string file = dir / "b.KDF";
    ASSERT_EQ(chmod(file.c_str(), c.fileMode), 0);
    const std::string before = mvntest::ReadFile(file);
    int code = mvntest::AsStranger([&] {
      alarm(60);  // the child never outlives a hang
      auto readOnlyText = [&] { return ErrorText() == ReadOnlyText(file); };
      Book book(dir / "b");
      if (book.clients.TryOpen(Shared) != AccessDeniedError) return 1;
      if (!readOnlyText()) return 2;
      for (FileManager* f : {&book.clients, &book.members, &book.groups})
        if (f->TryOpen(ReadOnly | DenyNone) != NoError) return 3;
      if (book.clients.Records() != 2 || book.MemberList() != std::vector<std::string>{"Sales/1"}) return 4;
      if (book.AddClient("Cleo", "3") != AccessDeniedError || !readOnlyText()) return 5;
      book.clients.Buffer().Set("Name", "Anna");
      book.clients.Buffer().Set("Dest", "1");
      if (book.clients.TryFetch("CL:KeyUniq") != NoError) return 6;
      book.clients.Buffer().Set("Dest", "9");
      if (book.clients.TryUpdate() != AccessDeniedError || !readOnlyText()) return 7;
      if (book.clients.TryDelete() != AccessDeniedError || !readOnlyText()) return 8;
      if (book.clientRel.Delete() != AccessDeniedError) return 9;
      book.clients.Buffer().SetLong("ID", 1);
      if (book.clients.TryFetch("CL:KeyID") != NoError || book.clients.Buffer().Clipped("Dest") != "1") return 10;
      if (book.MemberList() != std::vector<std::string>{"Sales/1"}) return 11;
      return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(mvntest::ReadFile(file), before);
    EXPECT_FALSE(std::filesystem::exists(file + "-journal"));
  }
}

TEST(KeyedFile, ExclusiveOpenOfAnotherProcessGives5) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.clients.Open(Exclusive), NoError);
  pid_t pid = fork();
  if (pid == 0) {
    FileManager f(Driver::Keyed, Clients(), dir / "b\\!Clients");
    _exit(f.Open(Shared));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), AccessDeniedError);
}

TEST(KeyedFile, CascadesWorkBesideTablesOpenedDenyingWrites) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  for (FileManager* f : {&book.clients, &book.members, &book.groups})
    ASSERT_EQ(f->Open(ReadWrite | DenyWrite), NoError);
  ASSERT_EQ(book.AddClient("Anna", "1"), NoError);
  ASSERT_EQ(book.AddMember("G", 1), NoError);
  ASSERT_EQ(book.clientRel.Delete(), NoError);
  EXPECT_EQ(book.members.Records(), 0);
  // Another program may not write beside them.
  pid_t pid = fork();
  if (pid == 0) {
    FileManager f(Driver::Keyed, Members(), dir / "b\\!Members");
    int shared = f.Open(Shared);
    f.Close();
    int reading = f.Open(ReadOnly | DenyNone);
    _exit(shared == AccessDeniedError && reading == NoError ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(KeyedFile, LockedDatabaseGives32AndRecoverSetsTheWait) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.clients.Open(), NoError);
  EXPECT_EQ(book.clients.SendDriver("Recover=0"), NoError);
  EXPECT_EQ(book.clients.LockRecoverTime(), 0);
  EXPECT_EQ(book.clients.SendDriver("Bogus=1"), DriverNotSupportedError);
  book.clients.Close();
  ASSERT_EQ(book.clients.Open(), NoError);
  // Another connection holds the write lock.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "b.KDF").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(book.AddClient("A", "1"), IsLockedError);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(book.AddClient("A", "1"), NoError);
}

TEST(KeyedFile, CopyAndRemoveWithJournalAndRollbackJournalMode) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddClient("Anna", "1"), NoError);
  ASSERT_EQ(book.clients.Copy(dir / "copy"), NoError);
  FileManager copy(Driver::Keyed, Clients(), dir / "copy.KDF\\!Clients");
  copy.SetCreate(false);
  ASSERT_EQ(copy.Open(), NoError);
  EXPECT_EQ(copy.Records(), 1);
  copy.Close();
  EXPECT_EQ(copy.Remove(), NoError);
  EXPECT_FALSE(std::filesystem::exists(dir / "copy.KDF"));
  EXPECT_EQ(copy.Remove(), FileNotFoundError);
  // Removing a file that is open is refused.
  EXPECT_EQ(book.clients.Remove(), AccessDeniedError);
  // Books keep a rollback journal.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "b.KDF").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "delete");
  sqlite3_finalize(s);
  sqlite3_close(db);
}

TEST(KeyedFile, BufferedAddsAndTransactions) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  book.clients.BufferAdds(true);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(book.AddClient("N" + std::to_string(i), "1"), NoError);
  ASSERT_EQ(book.clients.Flush(), NoError);
  EXPECT_EQ(book.clients.Records(), 100);
  book.clients.BufferAdds(false);
  ASSERT_EQ(book.clients.BeginTransaction(), NoError);
  ASSERT_EQ(book.AddClient("X", "1"), NoError);
  ASSERT_EQ(book.clients.Rollback(), NoError);
  EXPECT_EQ(book.clients.Records(), 100);
}

TEST(KeyedFile, NoCurrentRecordAndNotOpen) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  EXPECT_EQ(book.clients.Next(), NotOpenError);
  EXPECT_EQ(book.clients.Records(), -1);
  ASSERT_EQ(book.clients.Open(), NoError);
  EXPECT_EQ(book.clients.Update(), NoRecordError);
  EXPECT_EQ(book.clients.Delete(), NoRecordError);
  EXPECT_EQ(book.clients.Next(), RecordNotAvailableError);  // no Set
  EXPECT_EQ(book.clients.Set("NoSuchKey"), BadNameError);
}

TEST(KeyedFile, MemosAndBlobsAreStoredWhole) {
  mvntest::TempDir dir;
  LayoutPtr tips = MakeLayout("TIP", {StringField("Name", 10), MemoField("HelpTip", 100000), BlobField("Settings")});
  FileManager f(Driver::Keyed, tips, dir / "tips\\!Tips");
  f.AddKey({"TIP:KeyName", {"Name"}, true});
  ASSERT_EQ(f.Open(), NoError);
  std::string text(70000, 't');
  std::string bytes("\0\x01\xFF\0tail", 8);
  f.Buffer().Set("Name", "first");
  f.Buffer().Set("HelpTip", text);
  f.Buffer().Set("Settings", bytes);
  ASSERT_EQ(f.Insert(), NoError);
  f.Buffer().Clear();
  f.Buffer().Set("Name", "FIRST");
  ASSERT_EQ(f.Fetch("TIP:KeyName"), NoError);
  EXPECT_EQ(f.Buffer().Get("HelpTip"), text);
  EXPECT_EQ(f.Buffer().Get("Settings"), bytes);
}

TEST(KeyedFile, OnlyTheCallsWithMessagesReportFailures) {
  mvntest::TempDir dir;
  std::vector<std::string> reported;
  FileManager::SetErrorReporter([&](const FileManager&, int code, const std::string& text) {
    reported.push_back(std::to_string(code) + " " + text);
  });
  Book book(dir / "b");
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddClient("A", "1"), NoError);
  EXPECT_EQ(book.AddClient("A", "1"), DuplicateKeyError);  // TryInsert: silent
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(book.clients.Insert(), DuplicateKeyError);
  EXPECT_EQ(reported, (std::vector<std::string>{"40 Duplicate key"}));
  FileManager::SetErrorReporter(nullptr);
}

TEST(KeyedFile, TableNamesSplitAtTheLastMarker) {
  std::string file, table;
  SplitTableName("C:\\data\\x!y\\Book\\!MVClients", &file, &table);
  EXPECT_EQ(file, "C:\\data\\x!y\\Book.KDF");
  EXPECT_EQ(table, "MVClients");
  SplitTableName("/d/a.b/Book.db/!T", &file, &table);
  EXPECT_EQ(file, "/d/a.b/Book.db");
  EXPECT_EQ(table, "T");
}

TEST(KeyedFile, FileIsLookedUpWithoutCase) {
  mvntest::TempDir dir;
  {
    Book book(dir / "Mixed.KDF");
    ASSERT_EQ(book.AddClient("x", "1") == NotOpenError, true);
    ASSERT_EQ(book.OpenAll(), NoError);
    ASSERT_EQ(book.AddClient("x", "1"), NoError);
  }
  // Another declaration of the same file and table, with the file's name and
  // the key names in other cases: it opens on the existing indexes (no
  // "keys must be rebuilt") and finds the record through them.
  FileManager f(Driver::Keyed, Clients(), dir / "MIXED.kdf\\!Clients");
  f.AddKey({"cl:keyid", {"ID"}, true, true, true});
  f.AddKey({"CL:KEYUNIQ", {"Name", "Dest"}, true});
  f.AddKey({"Cl:KeyName", {"Name"}});
  f.SetCreate(false);
  ASSERT_EQ(f.Open(), NoError);
  EXPECT_EQ(f.Records(), 1);
  EXPECT_EQ(f.FilePath(), dir / "Mixed.KDF");
  f.Buffer().Set("Name", "X");
  f.Buffer().Set("Dest", "1");
  ASSERT_EQ(f.TryFetch("cl:KeyUniq"), NoError);
  EXPECT_EQ(f.Buffer().GetLong("ID"), 1);
  f.Buffer().SetLong("ID", 1);
  ASSERT_EQ(f.TryFetch("CL:KEYID"), NoError);
  EXPECT_EQ(f.Buffer().Get("Name"), "x");
}

// A commit that fails is an error the caller sees: Close after buffered
// adds while another program reads the book, and an outer Commit after an
// inner Rollback. Nothing of either is left written.
TEST(KeyedFile, FailedCommitsAreErrorsTheCallerSees) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  // The connection is shared: no file manager of the book waits for locks.
  for (FileManager* f : {&book.clients, &book.members, &book.groups}) f->SetLockRecoverTime(0);
  ASSERT_EQ(book.OpenAll(), NoError);
  ASSERT_EQ(book.AddClient("Kept", "1"), NoError);
  book.clients.BufferAdds(true);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(book.AddClient("N" + std::to_string(i), "1"), NoError);
  // Another connection reads: the commit cannot take the file.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "b.KDF").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &s, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_NE(book.clients.Close(), NoError);
  EXPECT_NE(ErrorCode(), NoError);
  sqlite3_finalize(s);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  book.clients.BufferAdds(false);
  ASSERT_EQ(book.clients.Open(), NoError);
  EXPECT_EQ(book.clients.Records(), 1);

  // An inner level that rolls back fails the outer commit.
  ASSERT_EQ(book.clients.BeginTransaction(), NoError);
  ASSERT_EQ(book.AddClient("Outer", "1"), NoError);
  ASSERT_EQ(book.clients.BeginTransaction(), NoError);
  ASSERT_EQ(book.AddClient("Inner", "1"), NoError);
  EXPECT_EQ(book.clients.Rollback(), NoError);
  ASSERT_EQ(book.AddClient("After", "1"), NoError);  // still inside the outer level
  EXPECT_NE(book.clients.Commit(), NoError);
  EXPECT_EQ(book.clients.Records(), 1);
  // The next transaction starts afresh.
  ASSERT_EQ(book.clients.BeginTransaction(), NoError);
  ASSERT_EQ(book.AddClient("Next", "1"), NoError);
  EXPECT_EQ(book.clients.Commit(), NoError);
  EXPECT_EQ(book.clients.Records(), 2);
}

// Table and key names are matched without case everywhere: a table made as
// People opens as people, keys and all.
TEST(KeyedFile, TableNamesMatchWithoutCase) {
  mvntest::TempDir dir;
  {
    FileManager made(Driver::Keyed, Clients(), dir / "book/!People");
    made.AddKey({"CL:KeyID", {"ID"}, true, true, true});
    made.AddKey({"CL:KeyName", {"Name"}});
    ASSERT_EQ(made.Open(), NoError);
    made.Buffer().Clear();
    made.Buffer().Set("Name", "Ann");
    ASSERT_EQ(made.TryInsert(), NoError);
  }
  FileManager other(Driver::Keyed, Clients(), dir / "book/!people");
  other.AddKey({"CL:KeyID", {"ID"}, true, true, true});
  other.AddKey({"CL:KeyName", {"Name"}});
  other.SetCreate(false);
  ASSERT_EQ(other.Open(), NoError);
  EXPECT_EQ(other.Records(), 1);
}

// A book someone else can write may hold a trigger with an endless query:
// nothing stored in the file runs, so the first insert returns at once.
// Run in a child with a deadline, so a hang fails the test instead of
// holding the run.
TEST(KeyedFile, TriggersPlantedInTheFileDoNotRun) {
  mvntest::TempDir dir;
  {
    Book book(dir / "b");
    ASSERT_EQ(book.OpenAll(), NoError);
  }
  ASSERT_EQ(Sql(dir / "b.KDF",
                "CREATE TRIGGER endless AFTER INSERT ON Clients BEGIN "
                "SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                "SELECT x FROM c); END; "
                "CREATE TRIGGER marks AFTER INSERT ON Clients BEGIN "
                "INSERT INTO Groups (GroupID, Info) VALUES ('planted', 'x'); END;"),
            SQLITE_OK);
  // The book is refused at the open (it holds triggers the framework does
  // not make), before anything could run; the file stays as it was.
  const std::string before = mvntest::ReadFile(dir / "b.KDF");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Book book(dir / "b");
    int rc = book.OpenAll();
    if (rc == NoError) rc = book.AddClient("Ann", "1");
    if (rc == NoError) rc = book.groups.Records() == 0 ? NoError : 99;
    if (rc == LayoutDiffersError && ErrorText().find("trigger endless") == std::string::npos) rc = 98;
    _exit(rc);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 3000 && (done = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(10000);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the insert did not return within 30 seconds";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), LayoutDiffersError);
  EXPECT_EQ(mvntest::ReadFile(dir / "b.KDF"), before);
}

// Opening a book never drops, makes or alters what is in it: a book holding
// anything the framework does not make is refused with a message naming it,
// through every table of it, and its bytes stay as they were. Today's
// failures: a table missing from _mvn_tables was dropped and made again
// empty, a view was to be dropped, an expression index grew the file.
TEST(KeyedFile, BooksWithForeignSchemaObjectsAreRefusedUntouched) {
  struct Case {
    const char* sql;
    const char* named;
  } cases[] = {
      {"DELETE FROM _mvn_tables WHERE name = 'Clients'", "table Clients"},
      {"DROP TABLE Groups; CREATE VIEW Groups AS SELECT 'x' AS GroupID, '' AS Info", "view Groups"},
      {"CREATE INDEX evil ON Clients(hex(zeroblob(1000)))", "index evil"},
      {"CREATE INDEX \"Clients$part\" ON Clients(Name) WHERE Mark = 1", "index Clients$part"},
      {"CREATE INDEX \"Clients$low\" ON Clients(lower(Name))", "index Clients$low"},
      {"CREATE TRIGGER quiet AFTER DELETE ON Members BEGIN SELECT 1; END", "trigger quiet"},
      {"CREATE TABLE extra (x)", "table extra"},
      {"DROP TABLE Groups; CREATE TABLE Groups (_row INTEGER PRIMARY KEY AUTOINCREMENT, "
       "\"GroupID\" TEXT COLLATE NOCASE NOT NULL DEFAULT '' CHECK (length(GroupID) < 3), "
       "\"Info\" TEXT COLLATE NOCASE NOT NULL DEFAULT '')",
       "table Groups with constraints"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    mvntest::TempDir dir;
    {
      Book book(dir / "b");
      ASSERT_EQ(book.OpenAll(), NoError);
      for (int i = 0; i < 4; ++i) ASSERT_EQ(book.AddClient("N" + std::to_string(i), "1"), NoError);
      ASSERT_EQ(book.AddMember("G", 1), NoError);
    }
    ASSERT_EQ(Sql(dir / "b.KDF", c.sql), SQLITE_OK);
    const std::string before = mvntest::ReadFile(dir / "b.KDF");
    Book book(dir / "b");
    for (FileManager* f : {&book.clients, &book.members, &book.groups}) {
      EXPECT_EQ(f->TryOpen(), LayoutDiffersError) << f->Name();
      EXPECT_NE(ErrorText().find(c.named), std::string::npos) << ErrorText();
      EXPECT_NE(ErrorText().find(dir / "b.KDF"), std::string::npos) << ErrorText();
    }
    EXPECT_EQ(book.clients.BuildKeys(), LayoutDiffersError);
    EXPECT_EQ(mvntest::ReadFile(dir / "b.KDF"), before);
  }
}

// A file that is no database, or a damaged one, is told as what it is.
TEST(KeyedFile, FilesThatAreNoBookOrAreDamagedAreToldSo) {
  mvntest::TempDir dir;
  {
    Book book(dir / "b");
    ASSERT_EQ(book.OpenAll(), NoError);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(book.AddClient("Name number " + std::to_string(i), "1"), NoError);
  }
  const std::string good = mvntest::ReadFile(dir / "b.KDF");
  ASSERT_GT(good.size(), 3 * 4096u);
  std::string damaged = good;
  for (size_t i = 4096 + 8; i < 2 * 4096; ++i) damaged[i] = static_cast<char>(i * 131 % 251);
  struct Case {
    std::string bytes;
    const char* told;
  } cases[] = {
      {"just some text, not a database at all" + std::string(200, '.'), ": not an address book"},
      {damaged, ": damaged: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.told);
    mvntest::WriteFile(dir / "x.KDF", c.bytes);
    Book book(dir / "x");
    int rc = book.OpenAll();
    if (rc == NoError) rc = book.clients.Set();
    if (rc == NoError)
      while ((rc = book.clients.Next()) == NoError) {
      }
    EXPECT_EQ(rc, LayoutDiffersError);
    EXPECT_NE(ErrorText().find(c.told), std::string::npos) << ErrorText();
    EXPECT_EQ(mvntest::ReadFile(dir / "x.KDF"), c.bytes);
  }
  // A database of another program.
  ASSERT_EQ(Sql(dir / "other.KDF", "CREATE TABLE t(x)"), SQLITE_OK);
  FileManager foreign(Driver::Keyed, Clients(), dir / "other.KDF\\!Clients");
  EXPECT_EQ(foreign.TryOpen(), LayoutDiffersError);
  EXPECT_EQ(ErrorText(), dir / "other.KDF" + std::string(": not an address book"));
}

// A file manager keeps its statements prepared while its table is open. They
// must follow the table: another table after SetName, indexes rebuilt while a
// cursor reads, the table made anew by a second declaration, the schema
// changed by another connection, and the table dropped behind its back (an
// error, never the old rows).
TEST(KeyedFile, PreparedStatementsFollowTheTableAndItsIndexes) {
  mvntest::TempDir dir;
  const std::string file = dir / "b";
  Book book(file);
  FileManager& f = book.clients;
  ASSERT_EQ(book.OpenAll(), NoError);
  auto names = [&](const char* key, bool forward) {
    std::string out;
    EXPECT_EQ(f.Set(key), NoError);
    while ((forward ? f.Next() : f.Previous()) == NoError) out += f.Buffer().Get("Name") + ";";
    return out;
  };
  for (const char* name : {"Cleo", "Anna", "Bert"}) ASSERT_EQ(book.AddClient(name, "1"), NoError);
  ASSERT_EQ(names("CL:KeyName", true), "Anna;Bert;Cleo;");
  ASSERT_EQ(names("CL:KeyName", false), "Cleo;Bert;Anna;");
  ASSERT_EQ(names("CL:KeyID", true), "Cleo;Anna;Bert;");

  // Another table of the same layout in the same file: its own rows only.
  f.SetName(file + "\\!Others");
  ASSERT_EQ(f.Open(), NoError);
  EXPECT_EQ(f.Records(), 0);
  ASSERT_EQ(book.AddClient("Dora", "2"), NoError);
  EXPECT_EQ(names("CL:KeyName", true), "Dora;");
  f.Buffer().Clear();
  f.Buffer().Set("Name", "Anna");
  f.Buffer().Set("Dest", "1");
  EXPECT_EQ(f.TryFetch("CL:KeyUniq"), RecordNotFoundError);
  f.Close();
  f.SetName(file + "\\!Clients");
  ASSERT_EQ(f.Open(), NoError);
  EXPECT_EQ(f.Records(), 3);

  // Keys rebuilt in the middle of a read: the cursor goes on, the unique
  // key still holds.
  ASSERT_EQ(f.Set("CL:KeyName"), NoError);
  ASSERT_EQ(f.Next(), NoError);
  ASSERT_EQ(f.BuildKeys(), NoError);
  ASSERT_EQ(f.Next(), NoError);
  EXPECT_EQ(f.Buffer().Get("Name"), "Bert");
  EXPECT_EQ(book.AddClient("anna", "1"), DuplicateKeyError);

  // The schema changed by another connection (an index dropped and made
  // again): the statements are planned anew, the order is the same.
  ASSERT_EQ(Sql(file + ".KDF",
                "DROP INDEX \"Clients$CL:KeyName\"; "
                "CREATE INDEX \"Clients$CL:KeyName\" ON Clients (Name)"),
            SQLITE_OK);
  EXPECT_EQ(names("CL:KeyName", true), "Anna;Bert;Cleo;");

  // The table made anew (empty) through a second declaration.
  auto second = f.Clone();
  ASSERT_EQ(second->Create(), NoError);
  EXPECT_EQ(f.Records(), 0);
  EXPECT_EQ(names("CL:KeyName", true), "");
  ASSERT_EQ(book.AddClient("Emil", "3"), NoError);
  EXPECT_EQ(names("CL:KeyName", true), "Emil;");

  // The table dropped by another connection: every call fails.
  ASSERT_EQ(Sql(file + ".KDF", "DROP TABLE Clients"), SQLITE_OK);
  EXPECT_EQ(f.Set("CL:KeyName"), NoError);
  EXPECT_EQ(f.Next(), FileSystemError);
  EXPECT_EQ(f.Records(), -1);
  EXPECT_EQ(book.AddClient("Fred", "4"), FileSystemError);
}

// A unique key's cursor steps with one statement per record: the same
// order both ways, Reset reads the record itself (Next) or the one before
// (Previous), and a record of the current values deleted and added again
// (a later row) is read next, as in any key.
TEST(KeyedFile, UniqueKeyCursorAcrossDeletesAndReAdds) {
  mvntest::TempDir dir;
  Book book(dir / "b");
  FileManager& f = book.clients;
  ASSERT_EQ(book.OpenAll(), NoError);
  for (auto [name, dest] :
       std::vector<std::pair<const char*, const char*>>{{"C", "1"}, {"B", "2"}, {"a", "1"}, {"B", "1"}, {"b", "3"}})
    ASSERT_EQ(book.AddClient(name, dest), NoError);
  auto item = [&] { return f.Buffer().Get("Name") + f.Buffer().Clipped("Dest"); };
  // At most 20 records: a cursor that stands still fails instead of looping.
  auto rest = [&](bool forward) {
    std::string out;
    for (int i = 0; i < 20 && (forward ? f.Next() : f.Previous()) == NoError; ++i) out += item() + ";";
    return out;
  };
  ASSERT_EQ(f.Set("CL:KeyUniq"), NoError);
  EXPECT_EQ(rest(true), "a1;B1;B2;b3;C1;");
  ASSERT_EQ(f.Set("CL:KeyUniq"), NoError);
  EXPECT_EQ(rest(false), "C1;b3;B2;B1;a1;");

  ASSERT_EQ(f.Set("CL:KeyUniq"), NoError);
  ASSERT_EQ(f.Next(), NoError);
  ASSERT_EQ(f.Next(), NoError);
  ASSERT_EQ(item(), "B1");
  Position b1 = f.GetPosition();
  ASSERT_EQ(f.Reset("CL:KeyUniq", b1), NoError);
  EXPECT_EQ(rest(true), "B1;B2;b3;C1;");
  ASSERT_EQ(f.Reset("CL:KeyUniq", b1), NoError);
  EXPECT_EQ(rest(false), "a1;");

  // B1 deleted and added again while the cursor stands on it.
  ASSERT_EQ(f.Reset("CL:KeyUniq", b1), NoError);
  ASSERT_EQ(f.Next(), NoError);
  ASSERT_EQ(f.Delete(), NoError);
  ASSERT_EQ(book.AddClient("b", "1"), NoError);
  ASSERT_EQ(f.Reset("CL:KeyUniq", b1), NoError);  // the old row is gone: its values serve
  EXPECT_EQ(rest(true), "b1;B2;b3;C1;");
  ASSERT_EQ(f.Reset("CL:KeyUniq", b1), NoError);
  EXPECT_EQ(rest(false), "a1;");
  // From the new record, backwards, and from a read of the old one onwards.
  f.Buffer().Clear();
  f.Buffer().Set("Name", "B");
  f.Buffer().Set("Dest", "1");
  ASSERT_EQ(f.SetFrom("CL:KeyUniq"), NoError);
  ASSERT_EQ(f.Next(), NoError);
  EXPECT_EQ(item(), "b1");
  EXPECT_EQ(rest(false), "a1;");
}

// The sequential scan reads what the keyset cursor reads: records removed
// or added through another manager meanwhile, a step back, a transaction's
// end, a new start and a reset, in both modes the same. Ending the
// transaction lets another connection write.
TEST(KeyedFile, SequentialScanReadsWhatTheCursorReads) {
  const std::vector<std::string> want = {"A", "B", "D", "B", "D", "E", "F", "G", "H", "end", "A", "D", "E"};
  for (bool scan : {false, true}) {
    SCOPED_TRACE(scan ? "scan" : "cursor");
    mvntest::TempDir dir;
    Book book(dir / "b");
    ASSERT_EQ(book.OpenAll(), NoError);
    for (const char* name : {"A", "B", "C", "D", "E", "F"}) ASSERT_EQ(book.AddClient(name, "1"), NoError);
    auto other = book.clients.Clone();
    ASSERT_EQ(other->Open(), NoError);
    FileManager& c = book.clients;
    c.SequentialScan(scan);
    std::vector<std::string> got;
    auto next = [&] { got.push_back(c.Next() == NoError ? c.Buffer().Clipped("Name") : "end"); };
    ASSERT_EQ(c.Set(), NoError);
    next();
    next();
    other->Buffer().Clear();
    other->Buffer().SetLong("ID", 3);
    ASSERT_EQ(other->TryFetch("CL:KeyID"), NoError);
    ASSERT_EQ(other->TryDelete(), NoError);
    next();
    Position atD = c.GetPosition();
    other->Buffer().Clear();
    other->Buffer().Set("Name", "G");
    ASSERT_EQ(other->TryInsert(), NoError);
    ASSERT_EQ(c.Previous(), NoError);
    got.push_back(c.Buffer().Clipped("Name"));
    next();
    ASSERT_EQ(c.BeginTransaction(), NoError);
    next();
    ASSERT_EQ(c.Commit(), NoError);
    EXPECT_EQ(Sql(dir / "b.KDF", "INSERT INTO Clients (Name, Dest) VALUES ('H', '1')"), SQLITE_OK);
    next();
    next();
    next();
    next();
    EXPECT_EQ(ErrorCode(), RecordNotAvailableError);
    ASSERT_EQ(c.Set(), NoError);
    next();
    ASSERT_EQ(c.Reset("", atD), NoError);
    next();
    next();
    EXPECT_EQ(got, want);
  }
}
