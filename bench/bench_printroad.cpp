// The print road as whole processes: mvnprint hands a file to a running
// mvnspoold, whose mvnmon spools it into a port's output folder; beside it,
// in the same run and at the same sizes, `cat file > out` into the same
// folder. Each iteration times one child process from its start until it is
// reaped (mvnprint returns when the job has run, so the service's work is
// inside that time); cleaning the folder between iterations is not timed.
// The service's own CPU time per job is reported as service_cpu_ms; each
// road iteration is paired with a cat run just before it (paired_ratio).
//
//   build/release/bench/bench_printroad [--benchmark_filter=...]
//
// After the table: growth from 10 to 200 MiB (a line marked SUPERLINEAR
// when the road grows faster than the size) and road / cat at each size.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/scaling.h"
#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "tests/support/process.h"
#include "tests/support/spool.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kPrinter = "Fax Printer";

bool SetString(const std::string& key, const char* name, const std::string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS)
    return false;
  bool ok = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
  RegCloseKey(handle);
  return ok;
}

// CPU time (user and system) a process has used, in milliseconds.
double CpuMilliseconds(pid_t pid) {
  std::string stat = mvntest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A private root with the service running: port MVN1 spools plain jobs,
// without a header, into out/; the printer "Fax Printer" prints on it.
class Road {
 public:
  Road() {
    fs::create_directories(m_out);
    const std::string monitor = mvn::spooler::MonitorRegistryRoot("MVNMON");
    m_ready = SetString(std::string(mvn::spooler::kMonitorsKey) + "\\MVNMON", "Driver", MVNMON_PATH) &&
              SetString(monitor + "\\MVN1", "OutputDirectory", m_out) &&
              SetString(std::string(mvn::spooler::kPrintersKey) + "\\" + kPrinter, "Port", "MVN1");
    if (!m_ready) return;
    mvntest::ChildProcess::Options options;
    options.output = m_root / "spoold.log";
    m_service = std::make_unique<mvntest::ChildProcess>(std::vector<std::string>{MVNSPOOLD_PATH}, options);
    m_ready = m_service->Started() &&
              mvntest::WaitFor([&] { return fs::exists(m_root / "spool/mvnspoold.ready"); }, std::chrono::seconds(20));
  }
  bool Ready() const { return m_ready; }
  pid_t ServicePid() const { return m_service ? m_service->Pid() : -1; }
  const std::string& Out() const { return m_out; }

  // The source of megabytes MiB: PostScript-like lines, made once.
  const std::string& Source(int megabytes) {
    std::string& path = m_sources[megabytes];
    if (!path.empty()) return path;
    path = m_root / ("job-" + std::to_string(megabytes) + ".ps");
    std::mt19937 engine(static_cast<unsigned>(megabytes));
    auto random = [&engine] { return static_cast<unsigned>(engine()); };
    std::string block;
    while (block.size() < (1u << 20)) {
      char line[96];
      std::snprintf(line, sizeof line, "%u %u moveto (%08X) show\n", random() % 612, random() % 792, random());
      block += line;
    }
    block.resize(1u << 20);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (int i = 0; fd >= 0 && i < megabytes; ++i)
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
    if (fd >= 0) close(fd);
    return path;
  }

  void Clean() {
    for (const auto& entry : fs::directory_iterator(m_out)) fs::remove(entry.path());
  }

 private:
  mvntest::TestRoot m_root;
  std::string m_out = m_root / "out";
  std::unique_ptr<mvntest::ChildProcess> m_service;
  std::map<int, std::string> m_sources;
  bool m_ready = false;
};

Road& Shared() {
  static Road* s_road = new Road;  // the service runs until the program ends
  return *s_road;
}

// Runs argv (standard output into outFile, or /dev/null) and waits for it;
// the wall-clock seconds from the start to the reaping, or -1 when it did
// not exit with 0.
double TimeProcess(const std::vector<std::string>& argv, const std::string& outFile) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int out = outFile.empty() ? open("/dev/null", O_WRONLY) : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, 1) < 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

std::uintmax_t SizeOf(const std::string& path) {
  std::error_code ignored;
  return fs::file_size(path, ignored);
}

// cat of source into the output folder; its seconds, -1 when it failed.
double Cat(Road& road, const std::string& source) {
  const std::string target = road.Out() + "/cat.out";
  road.Clean();
  double seconds = TimeProcess({"/bin/cat", source}, target);
  return seconds >= 0 && SizeOf(target) == SizeOf(source) ? seconds : -1;
}

// mvnprint of source; its seconds, -1 when the job did not arrive whole.
double Print(Road& road, const std::string& source) {
  road.Clean();
  double seconds = TimeProcess({MVNPRINT_PATH, "-P", kPrinter, source}, "");
  std::vector<std::string> files = mvntest::SpoolFiles(road.Out());
  return seconds >= 0 && files.size() == 1 && SizeOf(files[0]) == SizeOf(source) ? seconds : -1;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void BM_CatIntoFile(benchmark::State& state) {
  Road& road = Shared();
  const std::string& source = road.Source(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    double seconds = Cat(road, source);
    if (seconds < 0) {
      state.SkipWithError("cat failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  road.Clean();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) << 20);
}

// The road, timed; every iteration also runs cat just before it (not in
// the road's time), so the counters compare the two in turn, pair by pair,
// whatever the shared machine does meanwhile: cat_ms is the median cat,
// paired_ratio the median of road / cat over the pairs.
void BM_PrintRoad(benchmark::State& state) {
  Road& road = Shared();
  if (!road.Ready()) {
    state.SkipWithError("the spooler service did not start");
    return;
  }
  const std::string& source = road.Source(static_cast<int>(state.range(0)));
  double serviceMs = 0;
  std::vector<double> cats, ratios;
  for (auto _ : state) {
    double cat = Cat(road, source);
    double before = CpuMilliseconds(road.ServicePid());
    double seconds = Print(road, source);
    serviceMs += CpuMilliseconds(road.ServicePid()) - before;
    if (cat <= 0 || seconds < 0) {
      state.SkipWithError(cat <= 0 ? "cat failed" : "the job did not arrive whole");
      break;
    }
    cats.push_back(cat);
    ratios.push_back(seconds / cat);
    state.SetIterationTime(seconds);
  }
  road.Clean();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) << 20);
  state.counters["service_cpu_ms"] = benchmark::Counter(serviceMs / static_cast<double>(state.iterations()));
  state.counters["cat_ms"] = benchmark::Counter(Median(cats) * 1000);
  state.counters["paired_ratio"] = benchmark::Counter(Median(ratios));
}

// Each size: cat first, then the road, so the two meet the machine in the
// same state.
void Sizes() {
  for (int megabytes : {10, 50, 200}) {
    benchmark::RegisterBenchmark("BM_CatIntoFile", BM_CatIntoFile)
        ->Arg(megabytes)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
    benchmark::RegisterBenchmark("BM_PrintRoad", BM_PrintRoad)
        ->Arg(megabytes)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Sizes();
  mvnbench::Pair("BM_PrintRoad", "BM_CatIntoFile");
  int code = mvnbench::RunAndCheck(&argc, argv);
  delete &Shared();  // stops the service, removes the root
  return code;
}
