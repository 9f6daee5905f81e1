// The framework's keyed data files: adding 100,000 address records through
// the file manager in one transaction, against the sqlite3 tool's own
// ".import" of the same rows into the same table (same columns and
// indexes), measured in the same run; and the cursor work a browse does on
// such a book (first page, locate a typed prefix). The adds are printed
// against the import after the run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/scaling.h"
#include "client/records/records.h"
#include "framework/core/errors.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
using namespace mvn::framework;

namespace {

constexpr int kRecords = 100000;

void FillRow(Record& r, int i) {
  r.Clear();
  r.Set("ClientID", "Contact " + std::to_string(i));
  r.Set("Company", "Company " + std::to_string(i % 997));
  r.Set("FaxNum", "+1 555 " + std::to_string(1000000 + i));
  r.Set("Email", "contact" + std::to_string(i) + "@example.com");
  r.Set("PreferredDestination", "+1 555 " + std::to_string(1000000 + i));
  r.Set("FaxToEmailAttachmentType", "PDF");
  r.Set("FirstName", "First" + std::to_string(i % 311));
  r.Set("LastName", "Last" + std::to_string(i % 503));
  r.Set("PostalAddress", "1 Main Street\r\nSpringfield");
  r.Set("Notes", "Imported for the benchmark");
}

std::string CsvField(const std::string& v) {
  std::string q = "\"";
  for (char c : v) {
    q += c;
    if (c == '"') q += '"';
  }
  return q + "\"";
}

std::unique_ptr<FileManager> NewBook(const std::string& path) {
  Dictionary dict;
  auto f = dict.File("MVClients").Clone();
  f->SetName(path + "/!MVClients");
  return f;
}

void BM_FileManagerAdd100k(benchmark::State& state) {
  mvntest::TempDir dir;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string path = dir / ("book" + std::to_string(round++));
    auto f = NewBook(path);
    if (f->Open() != NoError) state.SkipWithError("open failed");
    state.ResumeTiming();
    f->BeginTransaction();
    for (int i = 1; i <= kRecords; ++i) {
      FillRow(f->Buffer(), i);
      if (f->TryInsert() != NoError) {
        state.SkipWithError(ErrorText().c_str());
        break;
      }
    }
    f->Commit();
    f->Close();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_FileManagerAdd100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_Sqlite3CliImport100k(benchmark::State& state) {
  mvntest::TempDir dir;
  // The same rows as CSV, in declaration order.
  std::string csv = dir / "rows.csv";
  {
    std::ofstream out(csv, std::ios::binary);
    Record r(MVClientsLayout());
    for (int i = 1; i <= kRecords; ++i) {
      FillRow(r, i);
      r.SetLong("PK_MVClientID", i);
      for (int k = 0; k < r.GetLayout().FieldCount(); ++k) {
        if (k) out << ',';
        FieldType t = r.GetLayout().Field(k).type;
        out << (t == FieldType::Long || t == FieldType::Byte ? r.Raw(k) : CsvField(r.Raw(k)));
      }
      out << "\r\n";
    }
  }
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string path = dir / ("book" + std::to_string(round++));
    {
      auto f = NewBook(path);
      if (f->Open() != NoError) state.SkipWithError("create failed");
    }
    std::string command = "sqlite3 '" + path + ".KDF' \".import --csv '" + csv + "' MVClients\"";
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) state.SkipWithError("sqlite3 .import failed");
    state.PauseTiming();
    auto f = NewBook(path);
    f->SetCreate(false);
    if (f->Open() != NoError || f->Records() != kRecords) state.SkipWithError("import incomplete");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_Sqlite3CliImport100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// A book of 100,000 records shared by the cursor benchmarks.
struct BigBook {
  BigBook() {
    path = dir / "big";
    auto f = NewBook(path);
    f->Open();
    f->BeginTransaction();
    for (int i = 1; i <= kRecords; ++i) {
      FillRow(f->Buffer(), i);
      f->TryInsert();
    }
    f->Commit();
  }
  mvntest::TempDir dir;
  std::string path;
};
BigBook& Big() {
  static BigBook book;
  return book;
}

void BM_OpenAndFirstPage(benchmark::State& state) {
  std::string path = Big().path;
  for (auto _ : state) {
    auto f = NewBook(path);
    f->SetCreate(false);
    if (f->Open(ReadOnly | DenyNone) != NoError) state.SkipWithError("open failed");
    f->Set("MVC:KeyCompany");
    for (int i = 0; i < 25 && f->Next() == NoError; ++i) benchmark::DoNotOptimize(f->Buffer().Raw(2));
    f->Close();
  }
}
BENCHMARK(BM_OpenAndFirstPage)->Unit(benchmark::kMillisecond);

void BM_LocatePrefixAndPage(benchmark::State& state) {
  auto f = NewBook(Big().path);
  f->SetCreate(false);
  f->Open(ReadOnly | DenyNone);
  int n = 0;
  for (auto _ : state) {
    f->Buffer().Clear();
    f->Buffer().Set("ClientID", "contact " + std::to_string(1 + (n++ * 7919) % 99999));
    f->SetFrom("MVC:KeyClientID");
    for (int i = 0; i < 25 && f->Next() == NoError; ++i) benchmark::DoNotOptimize(f->Buffer().Raw(1));
  }
}
BENCHMARK(BM_LocatePrefixAndPage)->Unit(benchmark::kMicrosecond);

// Reading 40,000 comma-delimited rows through the CSV driver, with LF, CR LF
// and CR-only line ends: the three take the same time (each row is scanned
// once, whatever ends it).
void BM_CsvRead40k(benchmark::State& state) {
  static const char* const kEnds[] = {"\n", "\r\n", "\r"};
  const char* end = kEnds[state.range(0)];
  mvntest::TempDir dir;
  {
    std::ofstream out(dir / "rows.csv", std::ios::binary);
    for (int i = 0; i < 40000; ++i)
      out << "\"Contact " << i << "\",\"Company " << i % 997 << "\",\"+1 555 " << 1000000 + i << "\"" << end;
  }
  LayoutPtr layout = MakeLayout("R", {CStringField("A", 100), CStringField("B", 100), CStringField("C", 50)});
  for (auto _ : state) {
    FileManager f(Driver::Csv, layout, dir / "rows.csv");
    f.SetCreate(false);
    if (f.Open(ReadOnly | DenyNone) || f.Set()) state.SkipWithError("open");
    int rows = 0;
    while (f.Next() == NoError) ++rows;
    if (rows != 40000) state.SkipWithError("rows");
  }
  state.SetLabel(state.range(0) == 0 ? "LF" : state.range(0) == 1 ? "CR LF" : "CR");
}
BENCHMARK(BM_CsvRead40k)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  mvnbench::Pair("BM_FileManagerAdd100k", "BM_Sqlite3CliImport100k");
  return mvnbench::RunAndCheck(&argc, argv);
}
