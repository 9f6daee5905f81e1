// mvnprint -P <printer> [-U user] [-T title] file|-
//
// Submits a file (or standard input) as a print job to the spooler service
// and waits until the job has run. Exit code 0 when it printed, 1 when the
// service refused or failed it, 2 for a bad command line.
//
// A regular file is handed to the service as the open file itself, which
// the service reads once into the spool file; anything else (a pipe, a
// FIFO, a device, a file the service would not read) is sent as data.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/spooler/service/protocol.h"

namespace {

using mvn::spooler::service::WriteAll;

const char kUsage[] =
    "usage: mvnprint -P <printer> [-U user] [-T title] file|-\n"
    "Submits the file (\"-\": standard input) as a print job to the spooler service\n"
    "mvnspoold of the machine root (MVN_ROOT) and waits until the job has run.\n"
    "  -P <printer>  the printer, a key below\n"
    "                HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\n"
    "  -U <user>     the job's user (only root and the service's user may name another)\n"
    "  -T <title>    the document's title (default: the file's name)\n"
    "Exit codes: 0 printed, 1 refused or failed, 2 bad command line.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

}  // namespace

int main(int argc, char** argv) {
  std::string printer, user, title, file;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "-P") {
      if (!value(&printer)) return Usage();
    } else if (arg == "-U") {
      if (!value(&user)) return Usage();
    } else if (arg == "-T") {
      if (!value(&title)) return Usage();
    } else if (file.empty() && (arg == "-" || arg[0] != '-')) {
      file = arg;
    } else {
      return Usage();
    }
  }
  if (printer.empty() || file.empty()) return Usage();
  if (HasLineBreak(printer) || HasLineBreak(user) || HasLineBreak(title)) {
    std::fprintf(stderr, "mvnprint: names cannot hold line breaks\n");
    return 2;
  }
  if (title.empty()) {
    std::size_t slash = file.rfind('/');
    title = file == "-" ? "stdin" : (slash == std::string::npos ? file : file.substr(slash + 1));
  }

  int input = 0;
  if (file != "-") {
    input = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (input < 0) {
      std::fprintf(stderr, "mvnprint: %s: %s\n", file.c_str(), std::strerror(errno));
      return 1;
    }
  }
  mvn::spooler::service::HandedFile handed;
  const bool handOver = mvn::spooler::service::FileRefusal(input, &handed).empty();

  std::string path = mvn::spooler::service::RootPath(mvn::spooler::service::kSocketFile, false);
  struct sockaddr_un address;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (path.empty() || !mvn::spooler::service::SocketAddress(path, &address) || fd < 0) {
    std::fprintf(stderr, "mvnprint: no spooler socket\n");
    return 1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "mvnprint: the spooler service is not running (%s)\n", std::strerror(errno));
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  std::string header = "printer=" + printer + "\n";
  if (!user.empty()) header += "user=" + user + "\n";
  header += "document=" + title + "\n";
  if (handOver)
    header += std::string(mvn::spooler::service::kDataKey) + "=" + mvn::spooler::service::kDescriptorData + "\n";
  header += "\n";
  bool sent = WriteAll(fd, header.data(), header.size());
  if (handOver && sent) sent = mvn::spooler::service::SendDescriptor(fd, input);
  std::vector<unsigned char> frame(4 + 65536);
  while (sent && !handOver) {
    ssize_t got = read(input, frame.data() + 4, 65536);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::fprintf(stderr, "mvnprint: %s: %s\n", file.c_str(), std::strerror(errno));
      return 1;  // no closing frame: the service drops the job
    }
    std::uint32_t n = static_cast<std::uint32_t>(got);
    mvn::spooler::service::PutFrameLength(n, frame.data());
    sent = WriteAll(fd, frame.data(), 4 + n);
    if (n == 0) break;
  }
  shutdown(fd, SHUT_WR);

  std::string reply;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') reply.push_back(c);
  close(fd);
  if (reply.rfind("OK ", 0) == 0) {
    unsigned long id = 0, bytes = 0;
    std::sscanf(reply.c_str() + 3, "%lu %lu", &id, &bytes);
    if (bytes == 0)
      std::printf("mvnprint: job %lu on %s was empty: an empty job spools nothing\n", id, printer.c_str());
    else
      std::printf("mvnprint: job %lu printed on %s (%lu bytes)\n", id, printer.c_str(), bytes);
    return 0;
  }
  std::fprintf(stderr, "mvnprint: %s\n", reply.rfind("ERROR ", 0) == 0 ? reply.c_str() + 6
                                         : sent ? "no answer from the spooler service"
                                                : "the spooler service closed the connection");
  return 1;
}
