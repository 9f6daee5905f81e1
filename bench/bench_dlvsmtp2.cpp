// dlvsmtp2 delivering a 50 MB job to a real mail server (aiosmtpd) on
// loopback, against curl uploading the same file as mail to the same server
// in the same run, and curl uploading the very mail dlvsmtp2 sent. The process takes a network namespace of its own, since
// the module's port is fixed at 25.
//
//   bench_dlvsmtp2 [--benchmark_...]
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "lib/config.h"
#include "platform/module/module.h"
#include "tests/support/network.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace mvntest {
namespace {
CSTATICOBJECT<TestHeap> g_heap;
}
TestHeap& Heap() { return *g_heap; }
}  // namespace mvntest

namespace {

using InitializeFn = void* (*)(CCONFIG*);
using TerminateFn = int (*)(void*);
using SendFileFn = bool (*)(void*, const char*);

constexpr std::size_t kJobSize = 50u << 20;

struct Fixture {
  mvntest::TempDir dir;
  mvntest::TempDir store;
  std::string job = dir / "job.txt";
  std::string mail = dir / "mail.eml";
  HMODULE module = nullptr;
  void* record = nullptr;
  SendFileFn sendFile = nullptr;
  TerminateFn terminate = nullptr;
};
Fixture* g_fixture = nullptr;

// A job file as the send client writes it with its text encoding: lines of
// 64 characters and CR LF.
void WriteJob(const std::string& path) {
  static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz$#";
  std::mt19937 random(42);
  FILE* out = std::fopen(path.c_str(), "wb");
  std::string line(66, '\r');
  line[65] = '\n';
  for (std::size_t written = 0; written < kJobSize; written += line.size()) {
    for (int i = 0; i < 64; ++i) line[i] = alphabet[random() & 63];
    std::fwrite(line.data(), 1, line.size(), out);
  }
  std::fclose(out);
}

void ClearStore() {
  std::string command = "rm -f '" + g_fixture->store.str() + "'/*";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot clear the store\n");
}

void BM_Dlvsmtp2_50MB(benchmark::State& state) {
  for (auto _ : state) {
    if (!g_fixture->sendFile(g_fixture->record, g_fixture->job.c_str())) state.SkipWithError("SendFile failed");
    state.PauseTiming();
    // The mail as the server got it, for the comparison with the same bytes.
    std::string keep = "cp '" + g_fixture->store.str() + "'/*.eml '" + g_fixture->mail + "'";
    if (std::system(keep.c_str()) != 0) {
      state.SkipWithError("no mail stored");
      state.ResumeTiming();
      break;
    }
    ClearStore();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

// curl uploading a file as mail data.
void CurlUpload(benchmark::State& state, const std::string& file) {
  for (auto _ : state) {
    mvntest::RunResult curl = mvntest::Run({"curl", "-s", "-S", "smtp://127.0.0.1:25", "--mail-from",
                                            "bench@desk.example", "--mail-rcpt", "fax@server.example", "-T", file});
    if (curl.exitCode != 0) state.SkipWithError(("curl failed (is it installed?): " + curl.err).c_str());
    state.PauseTiming();
    ClearStore();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

// The same job file, as the goal compares (fewer bytes: no base64).
void BM_Curl_50MB(benchmark::State& state) { CurlUpload(state, g_fixture->job); }
// The very mail dlvsmtp2 sent (the job in base64, a third more bytes).
void BM_Curl_SameMail(benchmark::State& state) { CurlUpload(state, g_fixture->mail); }

BENCHMARK(BM_Dlvsmtp2_50MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Curl_50MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Curl_SameMail)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  std::string reason;
  if (!mvntest::EnterPrivateNetwork(&reason)) {
    std::fprintf(stderr, "bench_dlvsmtp2: %s\n", reason.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  mvntest::TestRoot root;
  return mvntest::RunOnHeap(mvntest::g_heap, [&] {
    int result = 0;
    {
      Fixture fixture;
      g_fixture = &fixture;
      WriteJob(fixture.job);
      mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", fixture.store.str()});
      std::string ini = fixture.dir / "MVNCSEND.INI";
      mvntest::WriteFile(ini, "[MVNCSEND]\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=fax@server.example\r\n"
                              "SMTPSentFrom=bench@desk.example\r\n");
      fixture.module = LoadLibraryA(MVN_DLVSMTP2_PATH);
      if (!server.ready() || !fixture.module) {
        std::fprintf(stderr, "bench_dlvsmtp2: no server or no module\n%s", server.output().c_str());
        result = 1;
      } else {
        auto initialize = reinterpret_cast<InitializeFn>(GetProcAddress(fixture.module, "Initialize"));
        fixture.terminate = reinterpret_cast<TerminateFn>(GetProcAddress(fixture.module, "Terminate"));
        fixture.sendFile = reinterpret_cast<SendFileFn>(GetProcAddress(fixture.module, "SendFile"));
        {
          CCONFIGINI config(ini.c_str());
          config.OpenSection("MVNCSEND", false);
          fixture.record = initialize(&config);
        }
        benchmark::RunSpecifiedBenchmarks();
        fixture.terminate(fixture.record);
        FreeLibrary(fixture.module);
      }
      g_fixture = nullptr;
    }
    benchmark::Shutdown();
    return result;
  });
}
