// The engine's POP3 fetch of a mail with one base64 attachment, decoded into
// a file (smeGetEmailFile), against two anchors fetching and decoding the
// same message from the same server in the same run:
// - streaming: curl's POP3 fetch piped through mawk (which keeps the lines
//   of the attachment's body) into base64 -d, three public tools that each
//   hold one line or one buffer at a time; timed as a whole, log-on
//   included, so the engine's figure beside it ("engine+logon s") includes
//   its log-on too;
// - Python's poplib and email packages (the whole message in memory), with
//   the log-on outside the timed part, as for the engine's "engine s".
// The server is a dovecot instance of the run's own on loopback (root
// only), else the scripted POP3 peer of tests/tools. Each fetch runs in a
// child process of its own, so its peak memory (ru_maxrss) is its own; both
// the engine's file and the streaming anchor's must be the attachment.
//
// Sizes of the attachment: 6.25, 12.5, 25 and 50 MiB (--sizes=a,b,... in
// MiB to change them). The growth check compares seconds per MiB at the
// largest size with the smallest and says SUPERLINEAR loudly past 1.5.
//
//   bench_pop3 [--sizes=6.25,12.5,25,50] [--rounds=5]
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "smtpengine/smtpengine.h"
#include "tests/support/network.h"
#include "tests/support/peer.h"
#include "tests/support/tempdir.h"

using namespace mvn::smtpengine;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPassword = "bench-Pa55";
constexpr uid_t kMailUser = 60001;

std::string Base64Lines(const std::string& data) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(data.size() / 57 * 78 + 80);
  for (std::size_t at = 0; at < data.size(); at += 57) {
    std::size_t end = std::min(data.size(), at + 57);
    for (std::size_t i = at; i < end; i += 3) {
      unsigned a = static_cast<unsigned char>(data[i]);
      unsigned b = i + 1 < end ? static_cast<unsigned char>(data[i + 1]) : 0;
      unsigned c = i + 2 < end ? static_cast<unsigned char>(data[i + 2]) : 0;
      unsigned bits = (a << 16) | (b << 8) | c;
      out += kAlphabet[(bits >> 18) & 63];
      out += kAlphabet[(bits >> 12) & 63];
      out += i + 1 < end ? kAlphabet[(bits >> 6) & 63] : '=';
      out += i + 2 < end ? kAlphabet[bits & 63] : '=';
    }
    out += "\r\n";
  }
  return out;
}

// The mail: headers, a text part and the attachment part.
std::string Mail(const std::string& attachment) {
  return "From: <ann@desk.example>\r\nTo: <fax@server.example>\r\nSubject: MVN::SEND,SENDER-DEFAULTS=no\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"BENCH\"\r\n\r\n"
         "--BENCH\r\nContent-Type: text/plain\r\n\r\nThe job.\r\n"
         "--BENCH\r\nContent-Type: application/octet-stream; name=\"ATTACH.XXX\"\r\n"
         "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"ATTACH.XXX\"\r\n\r\n" +
         Base64Lines(attachment) + "--BENCH--\r\n";
}

struct Run {
  double seconds = -1;
  double cpuSeconds = 0;  // user + system of the child and what it waited for
  long maxRssKiB = 0;
  bool ok = false;
};

// Runs body in a child; the seconds it reports through the pipe and its
// peak memory.
template <typename Body>
Run InChild(Body body) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    double seconds = body();
    ssize_t ignored = write(pipeFds[1], &seconds, sizeof seconds);
    (void)ignored;
    _exit(seconds >= 0 ? 0 : 1);
  }
  close(pipeFds[1]);
  Run run;
  double seconds = -1;
  if (read(pipeFds[0], &seconds, sizeof seconds) == static_cast<ssize_t>(sizeof seconds)) run.seconds = seconds;
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    run.maxRssKiB = usage.ru_maxrss;
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && run.seconds >= 0;
  }
  return run;
}

// The engine's fetch: the seconds of smeGetEmailFile alone, and with the
// log-on before it.
struct EngineRun {
  Run fetch;
  double withLogon = -1;
};

EngineRun EngineFetch(std::uint16_t port, const std::string& box) {
  EngineRun out;
  double times[2] = {-1, -1};
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return out;
  out.fetch = InChild([&]() -> double {
    close(pipeFds[0]);
    if (smeAttach(1) != 1) return -1;
    smeIntegerParam(0, 16, port);
    auto logon = std::chrono::steady_clock::now();
    if (smePop3Connect(0, "127.0.0.1", "fax", kPassword) != 0) return -1;
    auto start = std::chrono::steady_clock::now();
    int result = smeGetEmailFile(0, 1, "mail.txt", box.c_str(), box.c_str());
    auto end = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(end - start).count();
    double total = std::chrono::duration<double>(end - logon).count();
    ssize_t ignored = write(pipeFds[1], &total, sizeof total);
    (void)ignored;
    smeClose(0);
    EngineRelease();
    return result == 0 ? seconds : -1;
  });
  close(pipeFds[1]);
  if (read(pipeFds[0], &times[0], sizeof times[0]) == static_cast<ssize_t>(sizeof times[0])) out.withLogon = times[0];
  close(pipeFds[0]);
  if (out.withLogon < 0) out.fetch.ok = false;
  return out;
}

// The streaming anchor: curl fetches message 1 and writes it as it comes;
// mawk passes on the lines of the attachment's body (after the blank line
// that ends the part's header, up to the next boundary); base64 -d decodes
// them, its -i passing over the CRs. Timed from the start of the pipeline
// to its end, log-on included.
Run StreamingFetch(std::uint16_t port, const std::string& box) {
  return InChild([&]() -> double {
    std::string command = "set -o pipefail; curl -s -S --user 'fax:" + std::string(kPassword) + "' pop3://127.0.0.1:" +
                          std::to_string(port) +
                          "/1 | mawk 'body && /^--BENCH/ {body = 0; part = 0} body {print} "
                          "part && /^\r?$/ {body = 1} /^Content-Disposition: attachment/ {part = 1}' | "
                          "base64 -d -i > '" + box + "/curl-ATTACH.XXX'";
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
  });
}

// Python's poplib and email: the message fetched whole, parsed, the
// attachment decoded into a file; the time measured around RETR and the
// decoding, after the log-on.
const char kPython[] = R"(
import email, poplib, sys, time
port, box, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
pop = poplib.POP3("127.0.0.1", port)
pop.user("fax")
pop.pass_(password)
start = time.monotonic()
response, lines, octets = pop.retr(1)
message = email.message_from_bytes(b"\r\n".join(lines))
for part in message.walk():
    name = part.get_filename()
    if name:
        with open(box + "/py-" + name, "wb") as out:
            out.write(part.get_payload(decode=True))
seconds = time.monotonic() - start
pop.quit()
print(seconds)
)";

Run PythonFetch(std::uint16_t port, const std::string& box) {
  return InChild([&]() -> double {
    std::string command = "/usr/bin/python3 -c '" + std::string(kPython) + "' " + std::to_string(port) + " '" + box +
                          "' " + kPassword;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char text[64] = "";
    bool got = std::fgets(text, sizeof text, pipe) != nullptr;
    int status = pclose(pipe);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::atof(text);
  });
}

// The peak memory of a python3 that only imports the two packages: what
// the interpreter costs before any message.
long PythonBaseRss() {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/usr/bin/python3", "python3", "-c", "import email, poplib", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) return usage.ru_maxrss;
  return 0;
}

struct Server {
  std::unique_ptr<mvntest::PeerProcess> process;
  std::uint16_t port = 0;
  std::string kind;
};

Server StartServer(const mvntest::TempDir& dir, const std::string& mail, int index) {
  Server server;
  server.port = mvntest::ClosedPort();
  std::string port = std::to_string(server.port);
  if (geteuid() == 0 && fs::exists("/usr/sbin/dovecot")) {
    fs::path maildir = dir.path() / ("maildir" + std::to_string(index));
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir / sub);
    mvntest::WriteFile((maildir / "new/1.bench").string(), mail);
    // The mail belongs to a user no account uses (dovecot serves no
    // root-owned mail), and the way to it is open to dovecot's processes.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const auto& entry : fs::recursive_directory_iterator(maildir))
      if (lchown(entry.path().c_str(), kMailUser, kMailUser) != 0) std::perror("lchown");
    if (lchown(maildir.c_str(), kMailUser, kMailUser) != 0) std::perror("lchown");
    std::string home = dir / ("dovecot" + std::to_string(index));
    fs::create_directories(home);
    server.process = std::make_unique<mvntest::PeerProcess>(
        "dovecot_instance.py", std::vector<std::string>{"--dir", home, "--maildir", maildir.string(), "--user", "fax",
                                                        "--password", kPassword, "--port", port});
    server.kind = "dovecot";
    if (server.process->ready()) return server;
    std::fprintf(stderr, "dovecot did not start (%s); using the scripted peer\n", server.process->output().c_str());
  }
  std::string file = dir / ("mail" + std::to_string(index) + ".eml");
  mvntest::WriteFile(file, mail);
  server.process = std::make_unique<mvntest::PeerProcess>(
      "pop3_peer.py",
      std::vector<std::string>{"--port", port, "--mail", file, "--record", dir / "record.jsonl"});
  server.kind = "pop3_peer.py";
  return server;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<double> ParseSizes(const char* text) {
  std::vector<double> sizes;
  for (const char* p = text; *p;) {
    char* end = nullptr;
    double value = std::strtod(p, &end);
    if (end == p) break;
    if (value > 0) sizes.push_back(value);
    p = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  // Large blocks of this process always come from mmap and go back when
  // freed, so the children it forks start small and their peak memory is
  // their own.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::vector<double> sizes = {6.25, 12.5, 25, 50};
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--sizes=", 8) == 0) sizes = ParseSizes(argv[i] + 8);
    if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
  }
  if (sizes.empty()) {
    std::fprintf(stderr, "usage: bench_pop3 [--sizes=6.25,12.5,25,50] [--rounds=5]\n");
    return 2;
  }
  mvntest::TempDir dir;
  std::printf("POP3 fetch and decode of one base64 attachment; median of %d rounds\n", rounds);
  std::printf("python3 alone (import email, poplib): %ld KiB\n", PythonBaseRss());
  std::printf("%7s %9s %9s %7s | %14s %9s %7s | %10s %10s %7s | %11s %11s %11s  %s\n", "MiB", "engine s",
              "python s", "ratio", "engine+logon s", "stream s", "ratio", "engine cpu", "stream cpu", "ratio",
              "engine KiB", "python KiB", "stream KiB", "server");
  struct Row {
    double mib, engine, python, engineLogon, stream, engineCpu, streamCpu;
  };
  std::vector<Row> rows;
  bool failed = false;
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    const double mib = sizes[index];
    // The attachment is kept in a file: the children are forked without
    // it, so their peak memory is their own.
    std::string expected = dir / ("attach" + std::to_string(index) + ".bin");
    Server server;
    {
      std::string attachment(static_cast<std::size_t>(mib * 1024 * 1024), '\0');
      std::mt19937 random(7);
      for (char& c : attachment) c = static_cast<char>(random());
      mvntest::WriteFile(expected, attachment);
      server = StartServer(dir, Mail(attachment), static_cast<int>(index));
    }
    if (!server.process->ready()) {
      std::fprintf(stderr, "no POP3 server: %s\n", server.process->output().c_str());
      return 1;
    }
    // The server's first read of a new message (dovecot indexes it and
    // counts its size) falls on no measured fetch: one fetch first.
    {
      std::string box = dir / ("warm" + std::to_string(index));
      fs::create_directories(box);
      if (!StreamingFetch(server.port, box).ok) std::fprintf(stderr, "the warm-up fetch failed\n");
      fs::remove_all(box);
    }
    std::vector<double> engineTimes, engineLogonTimes, pythonTimes, streamTimes, engineCpu, streamCpu;
    long engineKiB = 0, pythonKiB = 0, streamKiB = 0;
    for (int round = 0; round < rounds; ++round) {
      std::string box = dir / ("box" + std::to_string(index) + "-" + std::to_string(round));
      fs::create_directories(box);
      // The order changes each round, so neither side always runs first.
      EngineRun e;
      Run p, c;
      if (round % 2 == 0) {
        e = EngineFetch(server.port, box);
        c = StreamingFetch(server.port, box);
      } else {
        c = StreamingFetch(server.port, box);
        e = EngineFetch(server.port, box);
      }
      p = PythonFetch(server.port, box);
      if (!e.fetch.ok || !p.ok || !c.ok) {
        std::fprintf(stderr, "a fetch failed (engine %d, python %d, stream %d)\n", e.fetch.ok, p.ok, c.ok);
        failed = true;
        break;
      }
      // The engine's file and the streaming anchor's must be the
      // attachment, byte for byte (compared by cmp, so that this process
      // never holds the files).
      for (const char* name : {"ATTACH.XXX", "curl-ATTACH.XXX"}) {
        std::string compare = "cmp -s '" + box + "/" + name + "' '" + expected + "'";
        if (round == 0 && std::system(compare.c_str()) != 0) {
          std::fprintf(stderr, "%s differs from the attachment\n", name);
          failed = true;
        }
      }
      engineTimes.push_back(e.fetch.seconds);
      engineLogonTimes.push_back(e.withLogon);
      pythonTimes.push_back(p.seconds);
      streamTimes.push_back(c.seconds);
      engineCpu.push_back(e.fetch.cpuSeconds);
      streamCpu.push_back(c.cpuSeconds);
      engineKiB = std::max(engineKiB, e.fetch.maxRssKiB);
      pythonKiB = std::max(pythonKiB, p.maxRssKiB);
      streamKiB = std::max(streamKiB, c.maxRssKiB);
      fs::remove_all(box);
    }
    if (failed) break;
    Row row{mib,
            Median(engineTimes),
            Median(pythonTimes),
            Median(engineLogonTimes),
            Median(streamTimes),
            Median(engineCpu),
            Median(streamCpu)};
    std::printf("%7.2f %9.3f %9.3f %7.2f | %14.3f %9.3f %7.2f | %10.3f %10.3f %7.2f | %11ld %11ld %11ld  %s\n", mib,
                row.engine, row.python, row.engine / row.python, row.engineLogon, row.stream,
                row.engineLogon / row.stream, row.engineCpu, row.streamCpu, row.engineCpu / row.streamCpu, engineKiB,
                pythonKiB, streamKiB, server.kind.c_str());
    std::fflush(stdout);
    rows.push_back(row);
  }
  if (rows.size() >= 2) {
    const Row& small = rows.front();
    const Row& large = rows.back();
    double growth = (large.engine / large.mib) / (small.engine / small.mib);
    std::printf("engine seconds per MiB, largest / smallest: %.2f\n", growth);
    if (growth > 1.5)
      std::printf("!!! SUPERLINEAR: the engine's fetch grows faster than the message (%.2f x per MiB) !!!\n", growth);
    // The fetch alone against the anchor's whole run (its log-on
    // included), and with the engine's log-on, which holds a fixed pause
    // of 500 ms after PASS.
    double worstFetch = 0, worstLogon = 0;
    for (const Row& row : rows) {
      worstFetch = std::max(worstFetch, row.engine / row.stream);
      worstLogon = std::max(worstLogon, row.engineLogon / row.stream);
    }
    std::printf("engine fetch / streaming anchor, worst size: %.2f (goal 1.2 or less)%s\n", worstFetch,
                worstFetch > 1.2 ? "  !!! MISSED !!!" : "");
    std::printf("engine log-on and fetch / streaming anchor, worst size: %.2f, at the largest size: %.2f\n",
                worstLogon, large.engineLogon / large.stream);
    std::printf("engine / python at the largest size: %.2f\n", large.engine / large.python);
    std::printf("engine / streaming anchor in CPU time at the largest size: %.2f\n",
                large.engineCpu / large.streamCpu);
  }
  return failed ? 1 : 0;
}
