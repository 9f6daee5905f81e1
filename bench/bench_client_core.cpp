// The send's recipient list for one large group: one sort for the whole
// list, whatever the number of members.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "client/core/sendlist.h"
#include "tests/support/tempdir.h"

namespace {

using mvn::client::Dictionary;

struct Book {
  mvntest::TempDir dir;
  Dictionary d;
};

// A book whose group "All" holds n members in descending record order (the
// worst order for a list kept sorted).
// Made once per size, disposed of in main while the framework still runs.
std::map<int, std::unique_ptr<Book>> g_books;

Book& BookOf(int n) {
  auto& slot = g_books[n];
  if (slot) return *slot;
  slot = std::make_unique<Book>();
  Dictionary& d = slot->d;
  d.SetAddressBookFiles(slot->dir / "book", "");
  d.OpenAddressBook();
  auto& clients = d.File("MVClients");
  auto& members = d.File("MVGroupClient");
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
  clients.Commit();
  d.CloseAll();
  auto& groups = d.Queues().g_Qgroups;
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", "All");
  groups.Buffer().SetLong("Mark", 1);
  groups.Add();
  return *slot;
}

void BM_BuildSendList(benchmark::State& state) {
  Book& book = BookOf(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    mvn::client::BuildSendList(book.d, mvn::client::SendListSource{});
    benchmark::DoNotOptimize(book.d.Queues().g_QsendTo.Records());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_BuildSendList)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

int main(int argc, char** argv) {
  mvntest::TestRoot root;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_books.clear();
  return 0;
}
