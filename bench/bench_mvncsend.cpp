// mvncsend end to end with the default settings (hexadecimal sections, LZSS
// and the 64-character alphabet for the gateway wrapper) on a PostScript-like
// file of 10 MB and 50 MB, through a fixture module that discards the job.
// Each run is timed as a child process under /usr/bin/time -v, which also
// gives its peak memory; the memory must not grow with the input.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

// Text operators, numbers and hexadecimal image data, with some binary.
std::string PostScriptLike(std::size_t size) {
  std::mt19937 engine(42);
  auto random = [&]() { return static_cast<unsigned>(engine()); };
  std::string text = "%!PS-Adobe-3.0\r\n";
  text.reserve(size + 256);
  char line[160];
  while (text.size() < size) {
    switch (random() % 8) {
      case 0:
      case 1:
        std::snprintf(line, sizeof line, "%u %u moveto %u %u lineto stroke\r\n", random() % 612, random() % 792,
                      random() % 612, random() % 792);
        text += line;
        break;
      case 2:
        std::snprintf(line, sizeof line, "(Invoice %u, item %u) show\r\n", random() % 100000, random() % 50);
        text += line;
        break;
      case 3:
        text += "/Helvetica findfont 10 scalefont setfont gsave 0.5 setgray\r\n";
        break;
      case 4:
      case 5: {
        for (int i = 0; i < 78; ++i) text += "0123456789ABCDEF"[random() % 16];
        text += "\r\n";
        break;
      }
      case 6:
        for (int i = 0; i < 64; ++i) text += static_cast<char>(random());
        break;
      default:
        text += "grestore showpage\r\n";
    }
  }
  text.resize(size);
  return text;
}

struct Machine {
  fs::path root;
  fs::path source;
  Machine(std::size_t megabytes) {
    root = fs::temp_directory_path() / ("mvn-bench-mvncsend-" + std::to_string(getpid()) + "-" +
                                        std::to_string(megabytes));
    fs::create_directories(root / "windows");
    std::ofstream ini(root / "windows/mvncsend.INI", std::ios::binary);
    ini << "[mvncsend]\r\nWorkingPath=" << (root / "work").string() << "\r\nDeliveryModule=" MVN_FIXTURE_MODULE
        << "\r\nInteractive=0\r\n";
    source = root / "source.ps";
    std::ofstream out(source, std::ios::binary);
    std::string data = PostScriptLike(megabytes * 1000 * 1000);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  ~Machine() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

// Runs one send; returns the wall seconds and the peak RSS in kB that
// /usr/bin/time reported, or false.
bool RunOnce(const Machine& machine, double* seconds, long* peakKb, int* exitCode) {
  fs::path input = machine.root / "input.ps";
  fs::copy_file(machine.source, input, fs::copy_options::overwrite_existing);
  fs::path report = machine.root / "time.txt";
  mvntest::RunOptions options;
  options.env["MVN_ROOT"] = machine.root.string();
  options.timeoutSeconds = 600;
  *exitCode =
      mvntest::Run({"/usr/bin/time", "-v", "-o", report.string(), MVN_MVNCSEND, input.string()}, options).exitCode;
  std::ifstream in(report);
  std::string line;
  bool haveTime = false, haveRss = false;
  while (std::getline(in, line)) {
    if (line.find("Elapsed (wall clock) time") != std::string::npos) {
      // h:mm:ss or m:ss.ss
      std::string value = line.substr(line.rfind(' ') + 1);
      double total = 0;
      std::size_t start = 0;
      while (true) {
        std::size_t colon = value.find(':', start);
        total = total * 60 + std::stod(value.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
      }
      *seconds = total;
      haveTime = true;
    } else if (line.find("Maximum resident set size") != std::string::npos) {
      *peakKb = std::stol(line.substr(line.rfind(' ') + 1));
      haveRss = true;
    }
  }
  return haveTime && haveRss;
}

void BM_MvncsendDefaults(benchmark::State& state) {
  const std::size_t megabytes = static_cast<std::size_t>(state.range(0));
  Machine machine(megabytes);
  long peak = 0;
  for (auto _ : state) {
    double seconds = 0;
    long kb = 0;
    int exitCode = -1;
    if (!RunOnce(machine, &seconds, &kb, &exitCode) || exitCode != 0) {
      state.SkipWithError("mvncsend did not send the job");
      return;
    }
    state.SetIterationTime(seconds);
    if (kb > peak) peak = kb;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(megabytes) * 1000000);
  state.counters["peak_rss_MB"] = static_cast<double>(peak) / 1024.0;
}

}  // namespace

BENCHMARK(BM_MvncsendDefaults)->Arg(10)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
