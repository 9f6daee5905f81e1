// CSV import and export of an address book against the sqlite3 program's
// own ".import" and "-csv" output of the same file, in the same run.
//
// The import file has the export's 56 columns (header line first) with
// every address column and three group columns filled; the import maps all
// of them. BM_ImportMemory runs the import as a fresh process of its own and
// reports its peak resident size, which must not grow with the file.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>

#include "bench/scaling.h"
#include "client/addressbook/exchange.h"
#include "framework/core/services.h"
#include "tests/support/tempdir.h"

namespace {

using mvn::client::Dictionary;
namespace fw = mvn::framework;

mvntest::TempDir* g_dir = nullptr;

// The file of n rows, written once per size.
std::string CsvOf(int n) {
  static std::map<int, std::string> files;
  auto& path = files[n];
  if (!path.empty()) return path;
  path = *g_dir / ("in" + std::to_string(n) + ".csv");
  std::ofstream out(path, std::ios::binary);
  out << mvn::client::ExportHeaderLine() << "\r\n";
  for (int i = 1; i <= n; ++i) {
    std::string s = std::to_string(i);
    out << i << ",\"Contact " << s << ", \"\"Jr\"\"\",\"Company " << s << "\",\"+1 555 " << s << "\",\"p" << s
        << "@example.com\",\"+1 555 " << s << "\",\"PDF\",\"CC" << s
        << "\",\"Dr\",\"First\",\"Last\",\"Boss\",\"Sales\",\"" << s
        << " Main Street\",\"Suite 4\",\"Springfield\",\"USA\",\"Plant " << s
        << "\",\"Road 2\",\"Town\",\"USA\",\"555 1\",\"555 2\",\"555 3\",\"c1\",\"c2\",\"www.example.com\","
           "\"Assistant\",\"Manager\",\"555 4\",\"Spouse\",\"Some notes about this contact\",\"Display "
        << s << "\",\"SMTP\",1,0,\"Group " << (i % 50) << "\",\"Group " << (i % 7 + 50) << "\",\"All\"";
    for (int g = 4; g <= 20; ++g) out << ",\"\"";
    out << "\r\n";
  }
  return path;
}

mvn::client::ImportSession MapAll(Dictionary& d, const std::string& file) {
  mvn::client::ImportColumns columns;
  columns.ReadTitles(d, file);
  const auto& fields = mvn::client::ImportFieldList();
  for (size_t i = 0; i < columns.Rows().size(); ++i) {
    const std::string& title = columns.Rows()[i].title;
    if (title.rfind("GROUP", 0) == 0)
      columns.MapGroup(static_cast<int>(i), nullptr);
    else if (std::find(fields.begin(), fields.end(), title) != fields.end())
      columns.Map(static_cast<int>(i), title, nullptr);
  }
  mvn::client::ImportSession s;
  s.fileName = file;
  s.map = columns.Compile(false, "");
  return s;
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

int g_book = 0;

void BM_Import(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string file = CsvOf(n);
  for (auto _ : state) {
    Dictionary d;
    d.SetAddressBookFiles(*g_dir / ("book" + std::to_string(++g_book)), "");
    d.OpenAddressBook();
    auto s = MapAll(d, file);
    auto r = mvn::client::ImportTxtToKDF2(d, s);
    if (r.records != n) state.SkipWithError(r.text.c_str());
    d.CloseAll();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_SqliteImport(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string file = CsvOf(n);
  for (auto _ : state) {
    std::string db = *g_dir / ("sq" + std::to_string(++g_book) + ".db");
    if (Shell("sqlite3 '" + db + "' '.mode csv' '.import " + file + " t'") != 0)
      state.SkipWithError("sqlite3 .import failed");
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// One book of n records per size, exported again and again.
std::string BookOf(int n) {
  static std::map<int, std::string> books;
  auto& path = books[n];
  if (!path.empty()) return path;
  path = *g_dir / ("export" + std::to_string(n));
  Dictionary d;
  d.SetAddressBookFiles(path, "");
  d.OpenAddressBook();
  auto s = MapAll(d, CsvOf(n));
  mvn::client::ImportTxtToKDF2(d, s);
  d.CloseAll();
  Shell("sqlite3 '" + g_dir->str() + "/sqexport" + std::to_string(n) + ".db' '.mode csv' '.import " + CsvOf(n) +
        " t'");
  return path;
}

void BM_Export(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string book = BookOf(n);
  for (auto _ : state) {
    Dictionary d;
    d.SetAddressBookFiles(book, "");
    d.OpenAddressBook();
    d.File("MVCB").SetName(*g_dir / "out.csv");
    auto r = mvn::client::ExportKDFToTxt(d);
    if (r.records != n) state.SkipWithError(r.text.c_str());
    d.CloseAll();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_SqliteExport(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  BookOf(n);
  std::string db = g_dir->str() + "/sqexport" + std::to_string(n) + ".db";
  for (auto _ : state)
    if (Shell("sqlite3 -csv '" + db + "' 'select * from t' > '" + g_dir->str() + "/sqout.csv'") != 0)
      state.SkipWithError("sqlite3 -csv failed");
  state.SetItemsProcessed(state.iterations() * n);
}

// The import run as a process of its own (this program started again with
// "--import-child"), so its peak is its own and not the size of the
// process that forked it: it prints its VmHWM in kB.
int ImportChild(const std::string& file, const std::string& bookPath, int n) {
  Dictionary d;
  d.SetAddressBookFiles(bookPath, "");
  d.OpenAddressBook();
  auto s = MapAll(d, file);
  auto r = mvn::client::ImportTxtToKDF2(d, s);
  d.CloseAll();
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) std::printf("%ld\n", std::strtol(line.c_str() + 6, nullptr, 10));
  return r.records == n ? 0 : 1;
}

std::string g_self;

// The import's peak resident size in a fresh process, in MiB.
void BM_ImportMemory(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string file = CsvOf(n);
  double peak = 0;
  for (auto _ : state) {
    std::string bookPath = *g_dir / ("mem" + std::to_string(++g_book));
    std::string command =
        "'" + g_self + "' --import-child '" + file + "' '" + bookPath + "' " + std::to_string(n);
    FILE* child = popen(command.c_str(), "r");
    long kb = 0;
    if (!child || std::fscanf(child, "%ld", &kb) != 1) state.SkipWithError("import failed");
    if (child && pclose(child) != 0) state.SkipWithError("import failed");
    peak = static_cast<double>(kb) / 1024.0;
  }
  state.counters["peak_MiB"] = peak;
}

BENCHMARK(BM_Import)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SqliteImport)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Export)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SqliteExport)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ImportMemory)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  mvntest::TestRoot root;
  if (argc == 5 && std::string(argv[1]) == "--import-child") return ImportChild(argv[2], argv[3], std::atoi(argv[4]));
  g_self = argv[0];
  mvntest::TempDir dir;
  g_dir = &dir;
  mvnbench::Pair("BM_Import", "BM_SqliteImport");
  mvnbench::Pair("BM_Export", "BM_SqliteExport");
  return mvnbench::RunAndCheck(&argc, argv);
}
