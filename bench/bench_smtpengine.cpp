// The SMTP engine sending a 50 MB job as the attachment of a mail to a real
// mail server (aiosmtpd) on loopback, with its log off and on, against
// curl sending the identical MIME message (the mail the server stored from
// the engine's send) to the same server in the same run. The connection
// is made before the timed part; each iteration is one smeSendEmail. The
// process takes a network namespace of its own.
//
//   bench_smtpengine [--benchmark_...]
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "tests/support/network.h"
#include "smtpengine/smtpengine.h"
#include "tests/support/tempdir.h"

using namespace mvn::smtpengine;

namespace {

constexpr std::size_t kJobSize = 50u << 20;

struct Fixture {
  mvntest::TempDir dir;
  mvntest::TempDir store;
  std::string job = dir / "job.bin";
  std::string mail = dir / "mail.eml";
};
Fixture* g_fixture = nullptr;

void WriteJob(const std::string& path) {
  std::mt19937 random(42);
  std::string data(kJobSize, '\0');
  for (char& c : data) c = static_cast<char>(random());
  mvntest::WriteFile(path, data);
}

void ClearStore() {
  std::string command = "rm -f '" + g_fixture->store.str() + "'/*";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot clear the store\n");
}

// Channel 0 sends without a log, channel 1 with one.
void EngineSend(benchmark::State& state, int channel) {
  if (smeSmtpConnect(channel, "127.0.0.1", "<bench@desk.example>", nullptr) != 0) {
    state.SkipWithError("connect failed");
    return;
  }
  for (auto _ : state) {
    int result = smeSendEmail(channel, "<fax@server.example>", nullptr, nullptr, "MVN::SEND,SENDER-DEFAULTS=no", "",
                              g_fixture->job.c_str());
    if (result != 0) state.SkipWithError("smeSendEmail failed");
    state.PauseTiming();
    std::string keep = "cp '" + g_fixture->store.str() + "'/*.eml '" + g_fixture->mail + "'";
    if (std::system(keep.c_str()) != 0) state.SkipWithError("no mail stored");
    ClearStore();
    state.ResumeTiming();
  }
  // Outside the timed loop.
  smeClose(channel);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

void BM_Engine_50MB_LogOff(benchmark::State& state) { EngineSend(state, 0); }
void BM_Engine_50MB_LogOn(benchmark::State& state) { EngineSend(state, 1); }

// curl sending the mail the engine sent, byte for byte the same message.
void BM_Curl_SameMail(benchmark::State& state) {
  for (auto _ : state) {
    pid_t pid = fork();
    if (pid == 0) {
      execlp("curl", "curl", "-s", "-S", "smtp://127.0.0.1:25", "--mail-from", "bench@desk.example", "--mail-rcpt",
             "fax@server.example", "-T", g_fixture->mail.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed (is it installed?)");
    state.PauseTiming();
    ClearStore();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

BENCHMARK(BM_Engine_50MB_LogOff)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Curl_SameMail)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Engine_50MB_LogOn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  std::string reason;
  if (!mvntest::EnterPrivateNetwork(&reason)) {
    std::fprintf(stderr, "bench_smtpengine: %s\n", reason.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  int result = 0;
  {
    Fixture fixture;
    g_fixture = &fixture;
    WriteJob(fixture.job);
    mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", fixture.store.str()});
    if (!server.ready() || smeAttach(2) != 1) {
      std::fprintf(stderr, "bench_smtpengine: no server\n%s", server.output().c_str());
      result = 1;
    } else {
      smeStringParam(1, 20, (fixture.dir / "engine.log").c_str());
      benchmark::RunSpecifiedBenchmarks();
      EngineRelease();
    }
    g_fixture = nullptr;
  }
  benchmark::Shutdown();
  return result;
}
