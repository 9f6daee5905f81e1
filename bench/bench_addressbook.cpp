// CSV import and export of an address book against the sqlite3 program
// doing the same work on the same schema and rows, in the same run.
//
// The import file has the export's 56 columns (header line first) with every
// address column and three group columns filled; the import maps all of
// them, so each line adds one address record, three memberships and, the
// first time a group name is seen, the group. The anchor is sqlite3's
// ".import" of exactly those rows (address records, memberships, groups)
// into a copy of an empty address book, so it writes the same tables with
// the same indexes; before the first measurement the two books are compared
// table by table, so both are known to hold the same rows.
//
// The export writes that book back out. Its anchor is "sqlite3 -csv" on the
// same book reading every address record with its memberships (one
// correlated query per record, in the order the export uses).
//
// Every measured run is a fresh process (this program started again with
// "--child", or sqlite3), timed from fork to exit; both imports start from a
// copy of the same empty book. Each reports its wall time, its CPU time
// (user + system, from wait4) and its peak resident size (peak_MiB), which
// for the import must stay flat from the smallest file to the largest. Up to
// 100,000 records the median of three runs counts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/scaling.h"
#include "client/addressbook/exchange.h"
#include "framework/core/services.h"
#include "tests/support/tempdir.h"

namespace {

using mvn::client::Dictionary;

mvntest::TempDir* g_dir = nullptr;
std::string g_self;

// The three groups of line i, in column order.
std::vector<std::string> GroupsOf(int i) {
  return {"Group " + std::to_string(i % 50), "Group " + std::to_string(i % 7 + 50), "All"};
}

// A text in double quotes with inner quotes doubled.
std::string Quoted(const std::string& text) {
  std::string q = "\"";
  for (char c : text) {
    q += c;
    if (c == '"') q += '"';
  }
  return q + "\"";
}

// The import file of n lines (and its header), written once per size.
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
        << s << "\",\"SMTP\",1,0";
    for (const std::string& g : GroupsOf(i)) out << "," << Quoted(g);
    for (int g = 4; g <= 20; ++g) out << ",\"\"";
    out << "\r\n";
  }
  return path;
}

// The rows the import of CsvOf(n) stores, one file per table in the
// tables' column order, for sqlite3's .import. Custom1, Custom2 and Mark
// are not import targets, so they stay empty / 0.
struct AnchorRows {
  std::string clients, members, groups;
};
AnchorRows AnchorRowsOf(int n) {
  static std::map<int, AnchorRows> made;
  AnchorRows& rows = made[n];
  if (!rows.clients.empty()) return rows;
  const std::string base = *g_dir / ("rows" + std::to_string(n));
  rows = {base + "-clients.csv", base + "-members.csv", base + "-groups.csv"};
  std::ofstream clients(rows.clients, std::ios::binary), members(rows.members, std::ios::binary),
      groups(rows.groups, std::ios::binary);
  std::set<std::string> known;
  int64_t memberRow = 0, groupRow = 0;
  for (int i = 1; i <= n; ++i) {
    std::string s = std::to_string(i);
    clients << i << "," << Quoted("Contact " + s + ", \"Jr\"") << ",\"Company " << s << "\",\"+1 555 " << s
            << "\",\"p" << s << "@example.com\",\"+1 555 " << s << "\",PDF,CC" << s
            << ",Dr,First,Last,Boss,Sales,\"" << s << " Main Street\r\nSuite 4\r\nSpringfield\r\nUSA\",\"Plant " << s
            << "\r\nRoad 2\r\nTown\r\nUSA\",555 1,555 2,555 3,,,www.example.com,Assistant,Manager,555 4,Spouse,"
               "Some notes about this contact,\"Display "
            << s << "\",SMTP,1,0\r\n";
    for (const std::string& g : GroupsOf(i)) {
      members << ++memberRow << "," << Quoted(g) << "," << i << "\r\n";
      if (known.insert(g).second) groups << ++groupRow << "," << Quoted(g) << ",,,,,,,,,,\r\n";
    }
  }
  return rows;
}

// One finished child process.
struct ChildRun {
  bool ok = false;
  double seconds = 0;  // wall, fork to exit
  double cpu = 0;      // user + system
  double peakMiB = 0;
};

// Runs argv (PATH searched) with standard output to stdoutPath (or
// /dev/null) and waits for it.
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& stdoutPath = "/dev/null") {
  ChildRun run;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) dup2(out, 1);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return run;
}

// CPU seconds per benchmark and size, for the CPU ratios printed at the end.
std::map<std::string, std::map<int, double>>& CpuTimes() {
  static std::map<std::string, std::map<int, double>> times;
  return times;
}

// Runs of a size up to this many records are repeated and the median
// counts: the machine is shared, and another program's burst should not
// decide a ratio, nor should one lucky run.
constexpr int kRepeatUpTo = 100000;
constexpr int kRepeats = 3;

// Times the child (the median of kRepeats runs for the smaller sizes) and
// reports its CPU time and peak.
template <typename Make>
void Measure(benchmark::State& state, const char* name, Make make) {
  const int n = static_cast<int>(state.range(0));
  double cpu = 0, peak = 0;
  for (auto _ : state) {
    std::vector<double> seconds, cpus;
    for (int repeat = 0; repeat < (n <= kRepeatUpTo ? kRepeats : 1); ++repeat) {
      std::vector<std::string> argv;
      std::string out = "/dev/null", scratch;
      make(n, &argv, &out, &scratch);
      ChildRun run = RunChild(argv, out);
      if (!scratch.empty()) std::remove(scratch.c_str());
      if (!run.ok) {
        state.SkipWithError((argv[0] + " failed").c_str());
        return;
      }
      seconds.push_back(run.seconds);
      cpus.push_back(run.cpu);
      peak = std::max(peak, run.peakMiB);
    }
    state.SetIterationTime(mvnbench::Median(seconds));
    cpu += mvnbench::Median(cpus);
  }
  cpu /= static_cast<double>(state.iterations());
  CpuTimes()[name][n] = cpu;
  state.counters["cpu_s"] = cpu;
  state.counters["peak_MiB"] = peak;
  state.SetItemsProcessed(state.iterations() * n);
}

int g_run = 0;
std::string FreshName(const std::string& stem) { return *g_dir / (stem + std::to_string(++g_run)); }

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

// The progress of a run with nobody watching: like a progress window it
// keeps nothing of the updates (the framework's fallback services record
// every one for the tests, which would grow with the file).
class QuietServices : public mvn::framework::ScriptedServices {
 public:
  std::unique_ptr<mvn::framework::Progress> OpenProgress(const mvn::framework::ProgressRequest&) override {
    return std::make_unique<QuietProgress>();
  }

 private:
  class QuietProgress : public mvn::framework::Progress {
   public:
    void SetTotal(int64_t) override {}
    bool Update(int64_t) override { return true; }
    bool Cancelled() const override { return false; }
  };
};

// The children: "--child import <csv> <book> <n>" and
// "--child export <book> <csv> <n>"; exit 0 when all n records went.
int Child(const std::string& what, const std::string& a, const std::string& b, int n) {
  QuietServices quiet;
  mvn::framework::ScopedServices services(&quiet);
  Dictionary d;
  if (what == "import") {
    d.SetAddressBookFiles(b, "");
    d.OpenAddressBook();
    auto s = MapAll(d, a);
    auto r = mvn::client::ImportTxtToKDF2(d, s);
    d.CloseAll();
    if (r.records == n && r.status == mvn::client::ExchangeResult::Finished) return 0;
    std::fprintf(stderr, "import: %s\n", r.text.c_str());
    return 1;
  }
  d.SetAddressBookFiles(a, "");
  d.OpenAddressBook();
  d.File("MVCB").SetName(b);
  auto r = mvn::client::ExportKDFToTxt(d);
  d.CloseAll();
  if (r.records == n && r.status == mvn::client::ExchangeResult::Finished) return 0;
  std::fprintf(stderr, "export: %s\n", r.text.c_str());
  return 1;
}

// An empty address book as the client creates it (all tables and indexes).
const std::string& EmptyBook() {
  static std::string path;
  if (path.empty()) {
    path = *g_dir / "empty";
    Dictionary d;
    d.SetAddressBookFiles(path, "");
    d.OpenAddressBook();
    d.CloseAll();
    path += ".KDF";
  }
  return path;
}

// A fresh copy of the empty book: both imports start from one, so neither
// pays for making the tables.
void CopyEmptyBook(const std::string& to) {
  std::ifstream in(EmptyBook(), std::ios::binary);
  std::ofstream(to, std::ios::binary) << in.rdbuf();
}

std::vector<std::string> AnchorImport(int n, const std::string& db) {
  AnchorRows rows = AnchorRowsOf(n);
  CopyEmptyBook(db);
  return {"sqlite3", db, ".import --csv " + rows.clients + " MVClients",
          ".import --csv " + rows.members + " MVGroupClient", ".import --csv " + rows.groups + " MVdefaults"};
}

std::string Output(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, p)) > 0) out.append(chunk, got);
  pclose(p);
  return out;
}

// A digest of every table of a book, row by row in stored order.
std::string TablesDigest(const std::string& db) {
  std::string digest;
  for (const char* table : {"MVClients", "MVGroupClient", "MVdefaults", "sqlite_sequence"})
    digest += Output("sqlite3 -csv '" + db + "' 'SELECT * FROM \"" + table + "\" ORDER BY rowid' | md5sum");
  return digest;
}

// The book of n records that the export reads: our import of CsvOf(n),
// checked once against the anchor's import of the same rows.
std::string BookOf(int n) {
  static std::map<int, std::string> books;
  auto& path = books[n];
  if (!path.empty()) return path;
  path = *g_dir / ("book" + std::to_string(n));
  CopyEmptyBook(path + ".KDF");
  ChildRun ours = RunChild({g_self, "--child", "import", CsvOf(n), path, std::to_string(n)});
  path += ".KDF";
  std::string anchor = *g_dir / ("anchorbook" + std::to_string(n) + ".db");
  ChildRun theirs = RunChild(AnchorImport(n, anchor));
  if (!ours.ok || !theirs.ok || TablesDigest(path) != TablesDigest(anchor)) {
    std::fprintf(stderr, "*** the books of %d rows differ: the anchor does not import the same rows ***\n", n);
    std::exit(1);
  }
  return path;
}

void BM_Import(benchmark::State& state) {
  BookOf(static_cast<int>(state.range(0)));
  Measure(state, "BM_Import", [](int n, std::vector<std::string>* argv, std::string*, std::string* scratch) {
    std::string book = FreshName("import");
    *scratch = book + ".KDF";
    CopyEmptyBook(*scratch);
    *argv = {g_self, "--child", "import", CsvOf(n), book, std::to_string(n)};
  });
}

void BM_SqliteImport(benchmark::State& state) {
  BookOf(static_cast<int>(state.range(0)));
  Measure(state, "BM_SqliteImport", [](int n, std::vector<std::string>* argv, std::string*, std::string* scratch) {
    *scratch = FreshName("anchor") + ".db";
    *argv = AnchorImport(n, *scratch);
  });
}

void BM_Export(benchmark::State& state) {
  Measure(state, "BM_Export", [](int n, std::vector<std::string>* argv, std::string*, std::string*) {
    *argv = {g_self, "--child", "export", BookOf(n), *g_dir / "out.csv", std::to_string(n)};
  });
}

// Every address record with its first 20 memberships, in stored order.
void BM_SqliteExport(benchmark::State& state) {
  Measure(state, "BM_SqliteExport", [](int n, std::vector<std::string>* argv, std::string* out, std::string*) {
    *argv = {"sqlite3", "-csv", BookOf(n),
             "SELECT c.*, (SELECT group_concat(GroupID) FROM (SELECT GroupID FROM \"MVGroupClient\" m "
             "WHERE m.FK_MVClientID = c.PK_MVClientID ORDER BY m.rowid LIMIT 20)) FROM \"MVClients\" c "
             "ORDER BY c.rowid"};
    *out = *g_dir / "anchor-out.csv";
  });
}

BENCHMARK(BM_Import)->Arg(10000)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_SqliteImport)->Arg(10000)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_Export)->Arg(10000)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_SqliteExport)->Arg(10000)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void PrintCpuRatios() {
  std::printf("\n--- CPU time, ours / anchor (same run) ---\n");
  for (auto [ours, anchor] : {std::pair{"BM_Import", "BM_SqliteImport"}, std::pair{"BM_Export", "BM_SqliteExport"}}) {
    for (const auto& [n, cpu] : CpuTimes()[ours]) {
      auto a = CpuTimes()[anchor].find(n);
      if (a == CpuTimes()[anchor].end() || a->second <= 0) continue;
      std::printf("%-28s n %-8d %10.4f s / %s %10.4f s = %.2f\n", ours, n, cpu, anchor, a->second, cpu / a->second);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  mvntest::TestRoot root;
  if (argc == 6 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3], argv[4], std::atoi(argv[5]));
  g_self = argv[0];
  mvntest::TempDir dir;
  g_dir = &dir;
  mvnbench::Pair("BM_Import", "BM_SqliteImport");
  mvnbench::Pair("BM_Export", "BM_SqliteExport");
  int rc = mvnbench::RunAndCheck(&argc, argv);
  PrintCpuRatios();
  return rc;
}
