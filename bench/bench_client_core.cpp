// Large groups on the keyed cursor, each paired with SQLite doing the same
// work on the same book in the same run:
// - the send's recipient list for one group of n members (BuildSendList:
//   a member cursor, one lookup per member, one sort of the whole list)
//   against the same list as one SQL join;
// - reading a group's members by MVGC:KeyGroupID (a key whose values are
//   all equal: the cursor's worst case) against the same read by the
//   unique key, both in one transaction as the send reads; and the same
//   read without a transaction, where every step locks and unlocks the
//   file, against the read in one;
// - deleting the group (the relation's cascade over its members) against
//   one SQL DELETE.
// Every step of the cursor and every lookup is one index seek (log n) and
// the list is sorted once (n log n), so BuildSendList is fitted to n log n
// (the BigO and RMS lines say how well that holds); over these sizes all of
// them grow close to linearly, and the checks printed after the run say so
// or cry a cliff.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "bench/scaling.h"
#include "client/addressbook/groups.h"
#include "client/core/sendlist.h"
#include "framework/core/relation.h"
#include "framework/core/strings.h"
#include "tests/support/tempdir.h"

namespace {

using mvn::client::Dictionary;
namespace fw = mvn::framework;

struct Book {
  mvntest::TempDir dir;
  Dictionary d;
  std::string file;  // the book's database
};

// A book whose group "All" holds n members in descending record order (the
// worst order for a list kept sorted).
// Made once per size, disposed of in main while the framework still runs.
std::map<int, std::unique_ptr<Book>> g_books;

void MakeBook(Dictionary& d, const std::string& path, int n) {
  d.SetAddressBookFiles(path, "");
  d.OpenAddressBook();
  auto& clients = d.File("MVClients");
  auto& members = d.File("MVGroupClient");
  auto& groups = d.File("MVdefaults");
  clients.BeginTransaction();
  for (int i = 1; i <= n; ++i) {
    clients.Buffer().Clear();
    clients.Buffer().SetLong("PK_MVClientID", i);
    clients.Buffer().Set("ClientID", "Person " + std::to_string(i));
    clients.Buffer().Set("PreferredDestination", std::to_string(100000 + i));
    clients.TryInsert();
  }
  for (int i = n; i >= 1; --i) {
    members.Buffer().Clear();
    members.Buffer().Set("GroupID", "All");
    members.Buffer().SetLong("FK_MVClientID", i);
    members.TryInsert();
  }
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", "All");
  groups.TryInsert();
  clients.Commit();
}

Book& BookOf(int n) {
  auto& slot = g_books[n];
  if (slot) return *slot;
  slot = std::make_unique<Book>();
  Dictionary& d = slot->d;
  MakeBook(d, slot->dir / "book", n);
  slot->file = d.File("MVClients").FilePath();
  d.CloseAll();
  auto& groups = d.Queues().g_Qgroups;
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", "All");
  groups.Buffer().SetLong("Mark", 1);
  groups.Add();
  return *slot;
}

void BM_BuildSendList(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  // Warm: the first call of the process (cold, measured by bench_sendroad)
  // is left out, or a size run once would count it alone.
  mvn::client::BuildSendList(book.d, mvn::client::SendListSource{});
  for (auto _ : state) {
    mvn::client::BuildSendList(book.d, mvn::client::SendListSource{});
    if (book.d.Queues().g_QsendTo.Records() != n) state.SkipWithError("wrong list");
  }
  state.SetComplexityN(state.range(0));
}

// The anchor: the members' address records in record order as one join,
// every column read.
void BM_SqliteJoin(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  sqlite3* db = nullptr;
  sqlite3_open_v2(book.file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT c.* FROM MVGroupClient m JOIN MVClients c ON c.PK_MVClientID = m.FK_MVClientID "
                     "WHERE m.GroupID = ?1 ORDER BY c.PK_MVClientID",
                     -1, &s, nullptr);
  for (auto _ : state) {
    sqlite3_reset(s);
    sqlite3_bind_text(s, 1, "All", -1, SQLITE_STATIC);
    int rows = 0;
    std::string keep;
    while (sqlite3_step(s) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(s); ++c) {
        const unsigned char* text = sqlite3_column_text(s, c);
        keep.assign(text ? reinterpret_cast<const char*>(text) : "");
      }
      ++rows;
    }
    if (rows != n) state.SkipWithError("wrong join");
  }
  sqlite3_finalize(s);
  sqlite3_close_v2(db);
}

// Reads the members of "All" through key; returns how many. In one
// transaction (as the send reads its groups), the file is locked once for
// the read; without one, every step locks and unlocks it.
int ReadMembers(Book& book, const char* key, bool withId, bool inTransaction = true) {
  auto members = book.d.File("MVGroupClient").Clone();
  members->SetCreate(false);
  if (members->TryOpen(fw::ReadOnly | fw::DenyNone)) return -1;
  if (inTransaction && members->BeginTransaction() != fw::NoError) return -1;
  members->Buffer().Clear();
  members->Buffer().Set("GroupID", "All");
  if (withId) members->Buffer().SetLong("FK_MVClientID", 0);
  int count = 0;
  if (members->SetFrom(key) == fw::NoError)
    while (members->Next() == fw::NoError && fw::CompareNoCase(members->Buffer().Clipped("GroupID"), "All") == 0)
      ++count;
  if (inTransaction) members->Commit();
  members->Close();
  return count;
}

void BM_ReadGroupByGroupKey(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  for (auto _ : state)
    if (ReadMembers(book, "MVGC:KeyGroupID", false) != n) state.SkipWithError("wrong count");
}

void BM_ReadGroupByGroupKeyNoTransaction(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  for (auto _ : state)
    if (ReadMembers(book, "MVGC:KeyGroupID", false, false) != n) state.SkipWithError("wrong count");
}

void BM_ReadGroupByUniqueKey(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  for (auto _ : state)
    if (ReadMembers(book, "MVGC:KeyUnique", true) != n) state.SkipWithError("wrong count");
}

// The group window's read: every member of "All" with its address record
// into the members list, sorted by name.
void BM_LoadGroupMembers(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  for (auto _ : state) {
    mvn::client::LoadGroupMembers(book.d, "All");
    if (book.d.Queues().g_relatedClientsQ.Records() != n) state.SkipWithError("wrong members");
  }
  book.d.CloseAll();
}

// A fresh copy of the book of n members for a delete.
std::string CopyOf(int n) {
  Book& book = BookOf(n);
  std::string copy = book.dir / "copy.KDF";
  std::filesystem::copy_file(book.file, copy, std::filesystem::copy_options::overwrite_existing);
  return copy;
}

void BM_DeleteGroup(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::string copy = CopyOf(n);
    {
      Dictionary d;
      d.SetAddressBookFiles(copy, "");
      d.OpenAddressBook();
      auto& groups = d.File("MVdefaults");
      groups.Buffer().Clear();
      groups.Buffer().Set("GroupID", "All");
      if (groups.TryFetch("MVd:KeyGroupID")) state.SkipWithError("no group");
      state.ResumeTiming();
      if (d.Relation("MVdefaults").Delete()) state.SkipWithError(fw::ErrorText().c_str());
      state.PauseTiming();
      if (d.File("MVGroupClient").Records() != 0) state.SkipWithError("members left");
      d.CloseAll();
    }
    state.ResumeTiming();
  }
}

void BM_SqliteDeleteGroup(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::string copy = CopyOf(n);
    sqlite3* db = nullptr;
    sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    state.ResumeTiming();
    int rc = sqlite3_exec(db,
                          "BEGIN IMMEDIATE; DELETE FROM MVGroupClient WHERE GroupID = 'All'; "
                          "DELETE FROM MVdefaults WHERE GroupID = 'All'; COMMIT",
                          nullptr, nullptr, nullptr);
    state.PauseTiming();
    if (rc != SQLITE_OK) state.SkipWithError(sqlite3_errmsg(db));
    sqlite3_close_v2(db);
    state.ResumeTiming();
  }
}

#define SIZES ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()
BENCHMARK(BM_BuildSendList) SIZES->Complexity(benchmark::oNLogN);
BENCHMARK(BM_SqliteJoin) SIZES;
BENCHMARK(BM_ReadGroupByGroupKey) SIZES;
BENCHMARK(BM_ReadGroupByGroupKeyNoTransaction) SIZES;
BENCHMARK(BM_ReadGroupByUniqueKey) SIZES;
BENCHMARK(BM_LoadGroupMembers) SIZES;
BENCHMARK(BM_DeleteGroup) SIZES->Iterations(3);
BENCHMARK(BM_SqliteDeleteGroup) SIZES->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  mvntest::TestRoot root;
  mvnbench::Describe("BM_BuildSendList",
                     "warm: the mean of the calls after a first one in this process "
                     "(the first call of a fresh process: bench_sendroad's BM_BuildSendListCold)");
  mvnbench::Describe("BM_SqliteJoin", "warm: the mean of the joins on one connection");
  mvnbench::Pair("BM_BuildSendList", "BM_SqliteJoin");
  mvnbench::Pair("BM_ReadGroupByGroupKey", "BM_ReadGroupByUniqueKey");
  mvnbench::Pair("BM_ReadGroupByGroupKeyNoTransaction", "BM_ReadGroupByGroupKey");
  mvnbench::Pair("BM_LoadGroupMembers", "BM_SqliteJoin");
  mvnbench::Pair("BM_DeleteGroup", "BM_SqliteDeleteGroup");
  int rc = mvnbench::RunAndCheck(&argc, argv);
  g_books.clear();
  return rc;
}
