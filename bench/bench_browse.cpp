// The address-book browse over a book of 1,000 and of 100,000 records
// (offscreen): opening the window with its browse and showing the first
// page, and locating a typed prefix. Both should take the same time and
// memory whatever the book's size, since the browse reads only the page it
// shows from the file manager's cursor. The "resident_kb" counter is the
// process's resident memory after the runs.
//
// Inserting through the browse's form into a book whose entries all share a
// blank company, with the browse in company order: after the form's OK the
// browse finds the new record at the end of that one long run of equal keys
// and shows its page. Paired with the same insert through the file manager
// alone, at two sizes, so the cost the browse adds and its growth show.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "bench/scaling.h"
#include "client/records/records.h"
#include "framework/core/errors.h"
#include "framework/gui/browse.h"
#include "tests/support/random.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;
using mvn::client::Dictionary;

namespace {

const char* kSyllables[] = {"an", "be", "co", "da", "el", "fi", "go", "ha", "in", "jo", "ka", "lu", "mo",
                            "ne", "or", "pa", "qu", "ri", "sa", "to", "ul", "vi", "wa", "xe", "yo", "zu"};

std::string Name(mvntest::Random& random) {
  std::string name;
  int parts = 2 + static_cast<int>(random.Below(3));
  for (int i = 0; i < parts; ++i) name += kSyllables[random.Below(26)];
  name[0] = static_cast<char>(name[0] - 'a' + 'A');
  return name + " " + std::to_string(random.Below(100000));
}

// One book per size, made once for the whole run; blankCompany: every
// entry's company is blank.
struct Book {
  mvntest::TempDir dir;
  Dictionary dict;
  explicit Book(int records, bool blankCompany = false) {
    dict.SetAddressBookFiles(dir / "Personal", "KEYED");
    FileManager& f = dict.File("MVClients");
    f.Open();
    mvntest::Random random(7);
    f.BeginTransaction();
    for (int i = 0; i < records; ++i) {
      Record& r = f.Buffer();
      r.Clear();
      r.Set("ClientID", Name(random));
      if (!blankCompany) r.Set("Company", "Company " + std::to_string(random.Below(5000)));
      r.Set("PreferredDestination", "+1 555 " + std::to_string(1000000 + i));
      r.Set("FaxNum", "+1 555 " + std::to_string(1000000 + i));
      r.Set("PhoneNum", "+1 444 " + std::to_string(2000000 + i));
      f.TryInsert();
    }
    f.Commit();
  }
  FileManager& Clients() { return dict.File("MVClients"); }
};

// Made in main and emptied before it returns, while the framework's own
// process-wide state still exists.
std::map<int, std::unique_ptr<Book>>* g_books = nullptr;

Book& BookOf(int records) {
  auto& book = (*g_books)[records];
  if (!book) book = std::make_unique<Book>(records);
  return *book;
}

// Books whose companies are all blank, under the negative size.
Book& BlankCompanyBookOf(int records) {
  auto& book = (*g_books)[-records];
  if (!book) book = std::make_unique<Book>(records, true);
  return *book;
}

// The entry the insert form writes: a new name (numbered over the whole
// run, as the books stay), the company left blank.
int g_newEntries = 0;
void FillNewEntry(Record& r, int i) {
  r.Clear();
  r.Set("ClientID", "New entry " + std::to_string(i));
  r.Set("PreferredDestination", "+1 777 " + std::to_string(1000000 + i));
}

long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * 4;
}

struct FindClient {
  std::unique_ptr<Window> window;
  Browse* browse;
  explicit FindClient(FileManager& clients) {
    window = std::make_unique<Window>("FindClient", "Browsing the Address Book ( Personal )", QRect(0, 0, 420, 210));
    browse = new Browse(*window, clients, "?Browse:1", QRect(5, 5, 410, 170),
                        {{"Attention", "MVC:ClientID", 80},
                         {"Company", "MVC:Company", 80},
                         {"Destination", "MVC:PreferredDestination", 81},
                         {"Phone Num", "MVC:PhoneNum", 146},
                         {"Sal", "MVC:Sal", 0}},
                        {{"Attention", "MVC:KeyClientID", ""},
                         {"Company", "MVC:KeyCompany", ""},
                         {"Destination", "MVC:KeyPreferredDestination", ""}});
  }
};

void BM_BrowseOpenFirstPage(benchmark::State& state) {
  Book& book = BookOf(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    FindClient find(book.Clients());
    find.window->Open();
    find.browse->Open();
    QApplication::processEvents();
    benchmark::DoNotOptimize(find.browse->Cell(0, 0));
    if (find.browse->PageRows() == 0) state.SkipWithError("empty page");
  }
  state.counters["resident_kb"] = static_cast<double>(ResidentKb());
}
BENCHMARK(BM_BrowseOpenFirstPage)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_BrowseLocatePrefix(benchmark::State& state) {
  Book& book = BookOf(static_cast<int>(state.range(0)));
  FindClient find(book.Clients());
  find.window->Open();
  find.browse->Open();
  int i = 0;
  for (auto _ : state) {
    // What a user types: two letters of a name.
    std::string prefix = std::string(1, static_cast<char>('A' + (i * 7) % 26)) + kSyllables[(i * 11) % 26][1];
    ++i;
    find.browse->Locate(prefix);
    QApplication::processEvents();
    benchmark::DoNotOptimize(find.browse->Cell(find.browse->SelectedRow(), 0));
  }
  state.counters["resident_kb"] = static_cast<double>(ResidentKb());
}
BENCHMARK(BM_BrowseLocatePrefix)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_BrowseInsertBlankCompany(benchmark::State& state) {
  Book& book = BlankCompanyBookOf(static_cast<int>(state.range(0)));
  FindClient find(book.Clients());
  find.window->Open();
  find.browse->Open();
  find.browse->SetOrder(1);  // by company: the whole book is one run
  int i = 0;
  find.browse->SetForm([&](FormMode) {
    FillNewEntry(book.Clients().Buffer(), i = g_newEntries++);
    return book.Clients().TryInsert() == NoError ? RequestCompleted : RequestCancelled;
  });
  for (auto _ : state) {
    if (find.browse->Ask(FormMode::Insert) != RequestCompleted) state.SkipWithError(ErrorText().c_str());
    QApplication::processEvents();
  }
  // The page shows the new entry, highlighted.
  if (find.browse->Cell(find.browse->SelectedRow(), 0) != "New entry " + std::to_string(i))
    state.SkipWithError("the browse is not on the new entry");
}
BENCHMARK(BM_BrowseInsertBlankCompany)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The anchor: the same insert into the same book, without the browse.
void BM_FileInsertBlankCompany(benchmark::State& state) {
  Book& book = BlankCompanyBookOf(static_cast<int>(state.range(0)));
  FileManager& f = book.Clients();
  for (auto _ : state) {
    FillNewEntry(f.Buffer(), g_newEntries++);
    if (f.TryInsert() != NoError) state.SkipWithError(ErrorText().c_str());
  }
}
BENCHMARK(BM_FileInsertBlankCompany)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  QApplication app(argc, argv);
  std::map<int, std::unique_ptr<Book>> books;
  g_books = &books;
  mvnbench::Pair("BM_BrowseInsertBlankCompany", "BM_FileInsertBlankCompany");
  int rc = mvnbench::RunAndCheck(&argc, argv);
  books.clear();
  return rc;
}
