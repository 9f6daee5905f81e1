// The SMTP engine sending a 50 MB job as the attachment of a mail on
// loopback, against curl sending the identical MIME message to the same
// server in the same run, to two servers:
// - a sink of this program's own (port 2526, a child process): it answers
//   every command at once and reads the data in 1 MiB reads, so the time
//   is the client's: how it hands the bytes to the socket and where it
//   waits. The first mail it receives is kept as the one curl sends;
// - a real mail server (aiosmtpd, port 25, Python), with the engine's log
//   off and on; curl sends the mail aiosmtpd stored from the engine's send.
// The engine's connection is made before the timed part (each iteration is
// one smeSendEmail); curl's run is a whole process, its connection and
// log-on included. The process takes a network namespace of its own.
//
//   bench_smtpengine [--benchmark_...]
//   bench_smtpengine --benchmark_filter=Sink      # the pair against the sink only
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

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

constexpr std::uint16_t kSinkPort = 2526;

struct Fixture {
  mvntest::TempDir dir;
  mvntest::TempDir store;
  std::string job = dir / "job.bin";
  std::string mail = dir / "mail.eml";
  std::string sinkMail = dir / "sink.eml";
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

// The sink: one connection after the other; every command answered at
// once ("354" to DATA, "221" to QUIT and the connection closed, "250" to
// the rest); the data read in 1 MiB reads up to CR LF "." CR LF and
// answered "250". The first mail's data is kept in keepPath.
bool SendText(int fd, const char* text) {
  std::size_t length = std::strlen(text);
  return send(fd, text, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

void SinkConnection(int fd, const std::string& keepPath, bool* kept) {
  std::vector<char> buffer(1 << 20);
  std::string line;
  if (!SendText(fd, "220 sink ready\r\n")) return;
  for (;;) {
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return;
    line.append(buffer.data(), static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = line.find("\r\n")) != std::string::npos) {
      std::string command = line.substr(0, end);
      line.erase(0, end + 2);
      if (strncasecmp(command.c_str(), "QUIT", 4) == 0) {
        SendText(fd, "221 bye\r\n");
        return;
      }
      if (strncasecmp(command.c_str(), "DATA", 4) != 0) {
        if (!SendText(fd, "250 ok\r\n")) return;
        continue;
      }
      if (!SendText(fd, "354 go on\r\n")) return;
      // The data: what came after the command, then 1 MiB reads; the end
      // mark is looked for in the new bytes and the four before them.
      std::ofstream keep;
      if (!*kept) keep.open(keepPath, std::ios::binary);
      std::string tail = "\r\n";  // the line end of the DATA command
      std::string data = line;
      line.clear();
      for (;;) {
        std::string look = tail + data;
        std::size_t mark = look.find("\r\n.\r\n");
        if (mark != std::string::npos) {
          std::size_t used = mark + 5 - tail.size();  // bytes of data up to the mark's end
          if (keep.is_open()) keep.write(data.data(), static_cast<std::streamsize>(used > 3 ? used - 3 : 0));
          line = data.substr(used);
          break;
        }
        if (keep.is_open()) keep.write(data.data(), static_cast<std::streamsize>(data.size()));
        tail = look.size() >= 4 ? look.substr(look.size() - 4) : look;
        n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) return;
        data.assign(buffer.data(), static_cast<std::size_t>(n));
      }
      if (keep.is_open()) {
        keep.close();
        *kept = true;
      }
      if (!SendText(fd, "250 taken\r\n")) return;
    }
  }
}

pid_t StartSink(const std::string& keepPath) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kSinkPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4) != 0) {
    std::perror("sink");
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    bool kept = false;
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      SinkConnection(fd, keepPath, &kept);
      close(fd);
    }
  }
  close(listener);
  return pid;
}

// Channel 2 sends to the sink, without a log.
void BM_Engine_50MB_Sink(benchmark::State& state) {
  smeIntegerParam(2, 15, kSinkPort);
  if (smeSmtpConnect(2, "127.0.0.1", "<bench@desk.example>", nullptr) != 0) {
    state.SkipWithError("connect failed");
    return;
  }
  for (auto _ : state) {
    int result = smeSendEmail(2, "<fax@server.example>", nullptr, nullptr, "MVN::SEND,SENDER-DEFAULTS=no", "",
                              g_fixture->job.c_str());
    if (result != 0) state.SkipWithError("smeSendEmail failed");
  }
  smeClose(2);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

void RunCurl(benchmark::State& state, const std::string& url, const std::string& mail) {
  pid_t pid = fork();
  if (pid == 0) {
    execlp("curl", "curl", "-s", "-S", url.c_str(), "--mail-from", "bench@desk.example", "--mail-rcpt",
           "fax@server.example", "-T", mail.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed (is it installed?)");
}

// curl sending the mail the sink kept from the engine's send.
void BM_Curl_SameMail_Sink(benchmark::State& state) {
  std::ifstream kept(g_fixture->sinkMail, std::ios::binary | std::ios::ate);
  if (!kept || kept.tellg() < static_cast<std::streamoff>(kJobSize)) {
    state.SkipWithError("the sink kept no mail of the engine's (run BM_Engine_50MB_Sink first)");
    return;
  }
  for (auto _ : state) RunCurl(state, "smtp://127.0.0.1:" + std::to_string(kSinkPort), g_fixture->sinkMail);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
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
    RunCurl(state, "smtp://127.0.0.1:25", g_fixture->mail);
    state.PauseTiming();
    ClearStore();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJobSize));
}

// The pair against the sink runs twice, in both orders.
BENCHMARK(BM_Engine_50MB_Sink)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Curl_SameMail_Sink)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Curl_SameMail_Sink)->Name("BM_Curl_SameMail_Sink_again")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Engine_50MB_Sink)->Name("BM_Engine_50MB_Sink_again")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
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
    pid_t sink = StartSink(fixture.sinkMail);
    if (!server.ready() || sink < 0 || smeAttach(3) != 1) {
      std::fprintf(stderr, "bench_smtpengine: no server\n%s", server.output().c_str());
      result = 1;
    } else {
      smeStringParam(1, 20, (fixture.dir / "engine.log").c_str());
      benchmark::RunSpecifiedBenchmarks();
      EngineRelease();
    }
    if (sink > 0) {
      kill(sink, SIGKILL);
      waitpid(sink, nullptr, 0);
    }
    g_fixture = nullptr;
  }
  benchmark::Shutdown();
  return result;
}
