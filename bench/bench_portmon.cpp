// A 200 MB print job through the spooler host and mvnmon into a port's
// output directory, against cat copying the same file in the same run.
// Compare the bytes_per_second of the two.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
constexpr std::size_t kJobSize = 200u << 20;

struct Setup {
  mvntest::TestRoot root;
  std::string source = root / "job.ps";
  std::string out = root / "out";
  Setup() {
    fs::create_directories(out);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>("%!PS 0123456789\n"[i % 16]);
    int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (std::size_t done = 0; done < kJobSize; done += block.size())
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
    close(fd);
    HKEY key = nullptr;
    std::string path = mvn::spooler::MonitorRegistryRoot("MVNMON") + "\\MVN1";
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    RegSetValueExA(key, "OutputDirectory", 0, REG_SZ, reinterpret_cast<const BYTE*>(out.c_str()),
                   static_cast<DWORD>(out.size() + 1));
    RegCloseKey(key);
  }
  void Clean() {
    for (const auto& entry : fs::directory_iterator(out)) fs::remove(entry.path());
  }
};

Setup& Shared() {
  static Setup s_setup;  // removed with its 200 MB at exit
  return s_setup;
}

void BM_JobThroughMonitor(benchmark::State& state) {
  Setup& setup = Shared();
  std::string error;
  static std::unique_ptr<mvn::spooler::Monitor> s_monitor = mvn::spooler::Monitor::Load(MVNMON_PATH, "MVNMON", &error);
  if (!s_monitor) {
    state.SkipWithError(error.c_str());
    return;
  }
  HANDLE port = s_monitor->OpenPort("MVN1");
  for (auto _ : state) {
    state.PauseTiming();
    setup.Clean();
    int fd = open(setup.source.c_str(), O_RDONLY);
    state.ResumeTiming();
    mvn::spooler::JobResult result = s_monitor->RunJobBlocks(port, mvn::spooler::JobSpec{"Fax Printer", "bench", "job", ""},
                                                  mvn::spooler::FileBlocks(fd), state.range(0));
    if (!result.Succeeded()) state.SkipWithError(result.failure.c_str());
    close(fd);
  }
  s_monitor->ClosePort(port);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

void BM_CatIntoFile(benchmark::State& state) {
  Setup& setup = Shared();
  std::string command = "cat '" + setup.source + "' > '" + setup.out + "/cat.out'";
  for (auto _ : state) {
    state.PauseTiming();
    setup.Clean();
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

BENCHMARK(BM_CatIntoFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_JobThroughMonitor)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
