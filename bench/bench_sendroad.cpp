// The user's road of a large group send, and the recipient list on its own,
// each paired with one SQLite join of the same list on the same book in the
// same run. The book of each size holds n address records with every
// column filled, and one group "All" with every record as a member; the
// client INI asks for four additional target lines per recipient.
//
// - BM_SendRoad: the real program (dashpost's ProgramMain, offscreen, in a
//   child process) with the group marked in the main window's group list by
//   a click; timed from the click on Send Fax until the delivery command
//   starts. The delivery command is a small script whose first act is to
//   record the clock; it then checks that the request holds n targets.
//   Every run is a fresh process: the send is its first.
//   Anchor BM_SqliteJoinProgram: the sqlite3 program running the join of the
//   group's members with their address records (every column) on the same
//   book, a fresh process too, timed from fork to exit.
// - BM_BuildSendListCold: BuildSendList once in a fresh process (this
//   program started again with --child), on the same book; the child also
//   reports the heap the build used beyond the list it leaves (extra_kb,
//   per recipient). Anchor BM_SqliteJoinCold: the same join through the
//   SQLite C API as the first work of another fresh process.
// - BM_BuildSendListWarm / BM_SqliteJoinWarm: the same, called again and
//   again in this process (the book's pages in SQLite's cache and the heap
//   grown).
// Each size is run three times (repetitions); the checks print medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>

#include "bench/scaling.h"
#include "client/app/procedures.h"
#include "client/app/tests/dashpost_harness.h"
#include "client/core/sendlist.h"
#include "client/records/records.h"
#include "framework/core/strings.h"
#include "tests/support/tempdir.h"

// ---------------------------------------------------------------------------
// Heap use, counted by the allocation functions of this program while
// g_counting is on: the bytes live now and the most live at once.

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long long> g_live{0}, g_peak{0};

void* Counted(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  if (g_counting.load(std::memory_order_relaxed)) {
    long long now = g_live.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                    static_cast<long long>(malloc_usable_size(p));
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
  }
  return p;
}
void Uncounted(void* p) {
  if (!p) return;
  if (g_counting.load(std::memory_order_relaxed)) g_live.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}
}  // namespace

void* operator new(size_t size) { return Counted(size); }
void* operator new[](size_t size) { return Counted(size); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, size_t) noexcept { Uncounted(p); }

namespace {

namespace fs = std::filesystem;
namespace fw = mvn::framework;
using mvn::client::Dictionary;
using mvntest::dashpost::Driver;
using mvntest::dashpost::Machine;

std::string g_self;     // this program, for the fresh processes
double g_childCpu = 0;  // user + system seconds of the last child

double CpuNow() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Every column of MVClients filled, as a book kept by an office is.
void FillRecord(fw::Record& r, int i) {
  const fw::Layout& l = r.GetLayout();
  std::string s = std::to_string(i);
  for (int f = 0; f < l.FieldCount(); ++f) {
    const fw::FieldDef& def = l.Field(f);
    if (def.type == fw::FieldType::Long || def.type == fw::FieldType::Byte) continue;
    r.SetText(f, def.name + " of " + s + " with some more text");
  }
  r.SetLong("PK_MVClientID", i);
  r.SetLong("SendAsRTF", 1);
  r.Set("ClientID", "Contact " + s + " Surname");
  r.Set("Company", "Company " + s + " Limited");
  r.Set("FaxNum", "+44 20 7946 " + s);
  r.Set("Email", "person" + s + "@example.test");
  r.Set("PreferredDestination", "+44 20 7946 " + s);
  r.Set("FaxToEmailAttachmentType", "PDF");
  r.Set("Sal", "Dr");
  r.Set("FirstName", "First" + s);
  r.Set("LastName", "Last" + s);
  r.Set("PostalAddress", s + " Main Street\r\nSuite 4\r\nSpringfield\r\nUSA");
  r.Set("PhysicalAddress", "Plant " + s + "\r\nRoad 2\r\nTown\r\nUSA");
}

struct Book {
  Machine machine;
  std::string file;  // the book's database
};
// Not a static object: the program's children (the send runs) end with
// exit(), and a static would remove the books under the parent's feet.
std::map<int, std::unique_ptr<Book>>* g_books = new std::map<int, std::unique_ptr<Book>>;

Book& BookOf(int n) {
  auto& slot = (*g_books)[n];
  if (slot) return *slot;
  slot = std::make_unique<Book>();
  Machine& m = slot->machine;
  {
    Dictionary d;
    std::string why;
    if (!d.SetAddressBookFiles((m.Dir() / "book").string(), "KEYED", &why)) std::fprintf(stderr, "%s\n", why.c_str());
    d.OpenAddressBook();
    auto& clients = d.File("MVClients");
    auto& members = d.File("MVGroupClient");
    auto& groups = d.File("MVdefaults");
    clients.BeginTransaction();
    for (int i = 1; i <= n; ++i) {
      clients.Buffer().Clear();
      FillRecord(clients.Buffer(), i);
      clients.TryInsert();
      members.Buffer().Clear();
      members.Buffer().Set("GroupID", "All");
      members.Buffer().SetLong("FK_MVClientID", i);
      members.TryInsert();
    }
    groups.Buffer().Clear();
    groups.Buffer().Set("GroupID", "All");
    groups.TryInsert();
    clients.Commit();
    slot->file = clients.FilePath();
    d.CloseAll();
  }
  m.Set("AdditionalTargets", "PostalAddress", "Post");
  m.Set("AdditionalTargets", "Position", "Pos");
  m.Set("AdditionalTargets", "EmailAddress", "X");
  m.Set("AdditionalTargets", "Department", "Dept");
  // The delivery command: the clock first, then a look at what it got.
  fs::path command = m.Dir() / "deliver";
  std::ofstream(command) << "#!/bin/sh\n"
                            "date +%s.%N > '" << (m.Dir() / "started.tmp").string() << "'\n"
                            "grep -c '^!TARGET' \"$1\" > '" << (m.Dir() / "targets.tmp").string() << "'\n"
                            "mv '" << (m.Dir() / "targets.tmp").string() << "' '" << (m.Dir() / "targets").string()
                         << "'\n";
  fs::permissions(command, fs::perms::owner_all);
  m.Set("Files", "DeliveryCommand", command.string() + " %1");
  return *slot;
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// One send of the whole group through the real window; the seconds from
// the click to the command's start, or a negative number and *why.
double SendOnce(Book& book, int n, std::string* why, double* cpu) {
  Machine& m = book.machine;
  for (const char* f : {"clicked", "started.tmp", "targets"}) fs::remove(m.Dir() / f);
  fs::path clicked = m.Dir() / "clicked", targets = m.Dir() / "targets";
  mvntest::dashpost::RunOptions options;
  options.deadline = std::chrono::seconds(180);
  auto out = mvntest::dashpost::Run(m, {}, [&](Driver& d) {
    fw::Window& w = d.Main();
    // A cover message (the fax's content), then the group list's tab and
    // its one row, by clicks and keys as a person does.
    d.Click(mvn::client::MainIncludeCover);
    QWidget* message = w.ControlWidget(mvn::client::MainMessage);
    message->setFocus();
    QTest::keyClicks(message, "To every member of the group.");
    auto* sheet = qobject_cast<QTabWidget*>(w.ControlWidget(mvn::client::MainSheetGroups));
    QWidget* tab = w.ControlWidget(mvn::client::MainTabGroups);
    if (sheet && tab && sheet->currentWidget() != tab) {
      QTabBar* bar = sheet->tabBar();
      QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(sheet->indexOf(tab)).center());
    }
    Driver::WaitUntil([&] { return w.ControlWidget(mvn::client::MainGroups)->isVisible(); });
    auto* list = qobject_cast<QAbstractItemView*>(w.ControlWidget(mvn::client::MainGroups));
    QRect r = list ? list->visualRect(list->model()->index(0, 0)) : QRect();
    if (r.isValid()) QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
    QApplication::processEvents();
    if (!Driver::WaitUntil([&] { return w.ControlWidget(mvn::client::MainSend)->isEnabled(); })) {
      auto& groups = d.Context().dictionary->Queues().g_Qgroups;
      std::fprintf(stderr, "the Send Fax button stays disabled (%d groups, the first %s)\n", groups.Records(),
                   groups.Records() && groups.Entry(1).GetLong("Mark") ? "marked" : "not marked");
      w.Close();
      return;
    }
    double t0 = Now(), c0 = CpuNow();
    QTest::mouseClick(w.ControlWidget(mvn::client::MainSend), Qt::LeftButton);
    // The send runs inside the click; its CPU seconds are the program's.
    double cpu = CpuNow() - c0;
    std::ofstream(clicked) << std::to_string(static_cast<long long>(t0 * 1e9)) << " " << cpu;
    // The command runs on: the window closes once it has looked at the request.
    Driver::WaitUntil([&] { return fs::exists(targets); }, std::chrono::seconds(60));
    w.Close();
  }, options);
  if (out.exitCode != 0 || !fs::exists(targets)) {
    *why = "the send did not reach the command: exit " + std::to_string(out.exitCode) + "\n" + out.output;
    return -1;
  }
  int got = std::atoi(Slurp(targets).c_str());
  if (got != n) {
    *why = "the request holds " + std::to_string(got) + " targets, not " + std::to_string(n);
    return -1;
  }
  long long ns = 0;
  *cpu = 0;
  std::sscanf(Slurp(clicked).c_str(), "%lld %lf", &ns, cpu);
  double t0 = static_cast<double>(ns) / 1e9, t1 = std::atof(Slurp(m.Dir() / "started.tmp").c_str());
  return t1 - t0;
}

void BM_SendRoad(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  for (auto _ : state) {
    std::string why;
    double cpu = 0;
    double seconds = SendOnce(book, n, &why, &cpu);
    if (seconds < 0) {
      state.SkipWithError(why.c_str());
      return;
    }
    state.SetIterationTime(seconds);
    state.counters["cpu_s"] = cpu;
  }
}

const char* const kJoin =
    "SELECT c.* FROM MVGroupClient m JOIN MVClients c ON c.PK_MVClientID = m.FK_MVClientID "
    "WHERE m.GroupID = 'All' ORDER BY c.PK_MVClientID";

// A child process: argv with standard output to /dev/null; wall seconds
// from fork to exit, or negative when it failed. Its first line of output
// goes to *line when given.
double RunChild(const std::vector<std::string>& argv, std::string* line = nullptr, const std::string& input = "") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return -1;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
    if (in >= 0) dup2(in, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[65536];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;)
    if (line && text.size() < 4096) text.append(buffer, static_cast<size_t>(got));
  close(out[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
  g_childCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  if (line) *line = text.substr(0, text.find('\n'));
  return seconds;
}

void BM_SqliteJoinProgram(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  fs::path sql = book.machine.Dir() / "join.sql";
  std::ofstream(sql) << kJoin << ";\n";
  for (auto _ : state) {
    double seconds = RunChild({"sqlite3", "-readonly", book.file}, nullptr, sql.string());
    if (seconds < 0) {
      state.SkipWithError("sqlite3 failed");
      return;
    }
    state.SetIterationTime(seconds);
    state.counters["cpu_s"] = g_childCpu;
  }
}

// The join through the C API, every column of every row read; the rows.
int Join(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, kJoin, -1, &s, nullptr);
  int rows = 0;
  std::string keep;
  while (sqlite3_step(s) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(s); ++c) {
      const unsigned char* text = sqlite3_column_text(s, c);
      keep.assign(text ? reinterpret_cast<const char*>(text) : "");
    }
    ++rows;
  }
  sqlite3_finalize(s);
  return rows;
}

// The children: "--child build <book> <n>" or "--child join <database> <n>".
// Each prints "<seconds> <extra bytes per recipient> <list bytes per
// recipient> <CPU seconds>" for its one call.
int Child(const std::string& what, const std::string& path, int n) {
  if (what == "join") {
    sqlite3* db = nullptr;
    double t0 = Now(), c0 = CpuNow();
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    int rows = Join(db);
    double t1 = Now(), c1 = CpuNow();
    sqlite3_close_v2(db);
    std::printf("%.6f 0 0 %.6f\n", t1 - t0, c1 - c0);
    return rows == n ? 0 : 1;
  }
  Dictionary d;
  std::string why;
  if (!d.SetAddressBookFiles(path, "KEYED", &why)) return 2;
  auto& groups = d.Queues().g_Qgroups;
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", "All");
  groups.Buffer().SetLong("Mark", 1);
  groups.Add();
  d.OpenAddressBook();
  g_live = 0;
  g_peak = 0;
  g_counting = true;
  double t0 = Now(), c0 = CpuNow();
  mvn::client::BuildSendList(d, mvn::client::SendListSource{});
  double t1 = Now(), c1 = CpuNow();
  g_counting = false;
  const int got = d.Queues().g_QsendTo.Records();
  // The heap the build used beyond what it left behind (the list itself).
  double extra = static_cast<double>(g_peak.load() - g_live.load()) / std::max(1, got);
  std::printf("%.6f %.1f %.1f %.6f\n", t1 - t0, extra, static_cast<double>(g_live.load()) / std::max(1, got),
              c1 - c0);
  d.CloseAll();
  return got == n ? 0 : 1;
}

void Cold(benchmark::State& state, const char* what) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  const std::string path = std::string(what) == "join" ? book.file : (book.machine.Dir() / "book").string();
  double extra = 0, kept = 0;
  for (auto _ : state) {
    std::string line;
    if (RunChild({g_self, "--child", what, path, std::to_string(n)}, &line) < 0) {
      state.SkipWithError("the child failed");
      return;
    }
    double seconds = 0, cpu = 0;
    std::sscanf(line.c_str(), "%lf %lf %lf %lf", &seconds, &extra, &kept, &cpu);
    state.SetIterationTime(seconds);
    state.counters["cpu_s"] = cpu;
  }
  if (std::string(what) == "build") {
    state.counters["extra_kb"] = extra / 1024;
    state.counters["list_kb"] = kept / 1024;
  }
}

void BM_BuildSendListCold(benchmark::State& state) { Cold(state, "build"); }
void BM_SqliteJoinCold(benchmark::State& state) { Cold(state, "join"); }

void BM_BuildSendListWarm(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  Dictionary d;
  std::string why;
  d.SetAddressBookFiles((book.machine.Dir() / "book").string(), "KEYED", &why);
  auto& groups = d.Queues().g_Qgroups;
  groups.Buffer().Clear();
  groups.Buffer().Set("GroupID", "All");
  groups.Buffer().SetLong("Mark", 1);
  groups.Add();
  d.OpenAddressBook();
  mvn::client::BuildSendList(d, mvn::client::SendListSource{});  // the first call is the cold one
  for (auto _ : state) {
    mvn::client::BuildSendList(d, mvn::client::SendListSource{});
    if (d.Queues().g_QsendTo.Records() != n) state.SkipWithError("wrong list");
  }
  d.CloseAll();
}

void BM_SqliteJoinWarm(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Book& book = BookOf(n);
  sqlite3* db = nullptr;
  sqlite3_open_v2(book.file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  Join(db);
  for (auto _ : state)
    if (Join(db) != n) state.SkipWithError("wrong join");
  sqlite3_close_v2(db);
}

#define SIZES ->Arg(10000)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond)->Repetitions(3)
#define FRESH SIZES->UseManualTime()->Iterations(1)
BENCHMARK(BM_SendRoad) FRESH;
BENCHMARK(BM_SqliteJoinProgram) FRESH;
BENCHMARK(BM_BuildSendListCold) FRESH;
BENCHMARK(BM_SqliteJoinCold) FRESH;
BENCHMARK(BM_BuildSendListWarm) SIZES->UseRealTime()->Iterations(3);
BENCHMARK(BM_SqliteJoinWarm) SIZES->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  mvntest::TestRoot root;
  if (argc == 5 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3], std::atoi(argv[4]));
  g_self = argv[0];
  mvnbench::Describe("BM_SendRoad", "cold: a fresh dashpost per send; click on Send Fax -> delivery command starts");
  mvnbench::Describe("BM_SqliteJoinProgram", "cold: the sqlite3 program, fork to exit, the join of the same list");
  mvnbench::Describe("BM_BuildSendListCold", "cold: the first BuildSendList of a fresh process");
  mvnbench::Describe("BM_SqliteJoinCold", "cold: the join as the first work of a fresh process (C API)");
  mvnbench::Describe("BM_BuildSendListWarm", "warm: BuildSendList after one call in this process");
  mvnbench::Describe("BM_SqliteJoinWarm", "warm: the join after one run on this connection");
  mvnbench::Pair("BM_SendRoad", "BM_SqliteJoinProgram");
  mvnbench::Pair("BM_BuildSendListCold", "BM_SqliteJoinCold");
  mvnbench::Pair("BM_BuildSendListWarm", "BM_SqliteJoinWarm");
  int rc = mvnbench::RunAndCheck(&argc, argv);
  delete g_books;
  return rc;
}
