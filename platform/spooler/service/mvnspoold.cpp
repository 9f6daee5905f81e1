// mvnspoold: the spooler service. Loads the port monitors named in the
// registry, keeps them and their ports loaded, and prints the jobs that
// mvnprint submits over the service's local socket: each job is received
// completely into a private file first, then run through the monitor of
// the printer's port.
//
// Registry (HKEY_LOCAL_MACHINE):
//   SYSTEM\CurrentControlSet\Control\Print\Monitors\<monitor>  Driver = the monitor's file
//   SYSTEM\CurrentControlSet\Control\Print\Printers\<printer>  Port = the printer's port
// Files below <root>/spool: mvnspoold.sock, mvnspoold.pid, mvnspoold.ready
// (present while the service takes jobs), temp/ (the shared spool folder,
// the service's temporary directory), jobs/ (received jobs, private).
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/win32.h"
#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "platform/spooler/service/protocol.h"

namespace {

using spooler::service::ReadAll;
using spooler::service::RootPath;
using spooler::service::WriteAll;

int g_wake[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  ssize_t ignored = write(g_wake[1], &byte, 1);
  (void)ignored;
}

void Log(const std::string& line) { std::fprintf(stderr, "mvnspoold: %s\n", line.c_str()); }

std::string UserOfUid(uid_t uid) {
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

std::string QueryString(HKEY key, const char* name) {
  char value[1024];
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::string();
  return std::string(value);
}

struct Port {
  spooler::Monitor* monitor = nullptr;
  HANDLE handle = nullptr;
  std::mutex lock;  // one job at a time per port
};

class Service {
 public:
  bool LoadMonitors();
  void Serve(int listener);
  void Stop();

 private:
  void Connection(int fd);
  bool ReceiveJob(int fd, std::map<std::string, std::string>* header, int* data, ULONGLONG* size,
                  std::string* error);
  std::string PortOfPrinter(const std::string& printer);
  std::string RunJob(const std::map<std::string, std::string>& header, const std::string& user, int data);

  std::vector<std::unique_ptr<spooler::Monitor>> m_monitors;
  std::map<std::string, std::unique_ptr<Port>> m_ports;
  std::mutex m_lock;
  std::condition_variable m_idle;
  std::set<int> m_connections;
  bool m_stopping = false;
};

bool Service::LoadMonitors() {
  HKEY monitors = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, spooler::kMonitorsKey, 0, nullptr, 0, KEY_READ, nullptr, &monitors,
                      nullptr) != ERROR_SUCCESS) {
    Log("cannot open the monitors' registry key");
    return false;
  }
  char name[256];
  for (DWORD index = 0; RegEnumKeyA(monitors, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(monitors, name, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
    std::string driver = QueryString(key, "Driver");
    RegCloseKey(key);
    if (driver.empty()) continue;
    std::string error;
    std::unique_ptr<spooler::Monitor> monitor = spooler::Monitor::Load(driver, name, &error);
    if (!monitor) {
      Log("monitor " + std::string(name) + ": " + error);
      continue;
    }
    std::vector<spooler::PortEntry> ports;
    monitor->EnumPorts(1, &ports);
    for (const spooler::PortEntry& entry : ports) {
      if (m_ports.count(entry.name)) continue;
      auto port = std::make_unique<Port>();
      port->monitor = monitor.get();
      m_ports.emplace(entry.name, std::move(port));
    }
    Log("monitor " + std::string(name) + " loaded with " + std::to_string(ports.size()) + " ports");
    m_monitors.push_back(std::move(monitor));
  }
  RegCloseKey(monitors);
  return true;
}

std::string Service::PortOfPrinter(const std::string& printer) {
  HKEY key = nullptr;
  std::string path = std::string(spooler::kPrintersKey) + "\\" + printer;
  if (printer.empty() || printer.find('\\') != std::string::npos ||
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::string();
  std::string port = QueryString(key, "Port");
  RegCloseKey(key);
  // A pooled printer lists its ports separated by commas; the first serves.
  std::size_t comma = port.find(',');
  if (comma != std::string::npos) port.resize(comma);
  return port;
}

bool Service::ReceiveJob(int fd, std::map<std::string, std::string>* header, int* data, ULONGLONG* size,
                         std::string* error) {
  // Header lines up to the empty one.
  for (;;) {
    std::string line;
    char c;
    while (ReadAll(fd, &c, 1) && c != '\n') {
      line.push_back(c);
      if (line.size() > spooler::service::kMaxHeaderLine) {
        *error = "header line too long";
        return false;
      }
    }
    if (c != '\n') {
      *error = "the request ended early";
      return false;
    }
    if (line.empty()) break;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = "bad header line";
      return false;
    }
    (*header)[line.substr(0, equals)] = line.substr(equals + 1);
  }
  std::string jobs = RootPath(spooler::service::kJobsDirectory, true);
  mkdir(jobs.c_str(), 0700);
  int file = open(jobs.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (file < 0) {
    *error = std::string("cannot spool the job: ") + std::strerror(errno);
    return false;
  }
  std::vector<char> buffer(spooler::service::kMaxFrame);
  *size = 0;
  for (;;) {
    unsigned char length[4];
    if (!ReadAll(fd, length, 4)) {
      *error = "the job's data ended early";
      close(file);
      return false;
    }
    std::uint32_t n = spooler::service::FrameLength(length);
    if (n == 0) break;
    if (n > spooler::service::kMaxFrame || !ReadAll(fd, buffer.data(), n)) {
      *error = "the job's data ended early";
      close(file);
      return false;
    }
    if (!WriteAll(file, buffer.data(), n)) {
      *error = std::string("cannot spool the job: ") + std::strerror(errno);
      close(file);
      return false;
    }
    *size += n;
  }
  lseek(file, 0, SEEK_SET);
  *data = file;
  return true;
}

std::string Service::RunJob(const std::map<std::string, std::string>& header, const std::string& user, int data) {
  auto value = [&](const char* key) {
    auto it = header.find(key);
    return it == header.end() ? std::string() : it->second;
  };
  std::string printer = value("printer");
  std::string portName = PortOfPrinter(printer);
  if (portName.empty()) return "ERROR no printer \"" + printer + "\"";
  auto it = m_ports.find(portName);
  if (it == m_ports.end()) return "ERROR the port " + portName + " of \"" + printer + "\" is not loaded";
  Port& port = *it->second;
  std::lock_guard<std::mutex> hold(port.lock);
  if (!port.handle) port.handle = port.monitor->OpenPort(portName);
  if (!port.handle) return "ERROR cannot open the port " + portName;
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  spooler::JobSpec job{printer, user, value("document"), host};
  spooler::JobResult result = port.monitor->RunJobBlocks(port.handle, job, spooler::FileBlocks(data), 65536);
  Log("job " + std::to_string(result.jobId) + " for " + user + " on " + printer + ": " +
      (result.Succeeded() ? "printed" : result.failure) + ", " + std::to_string(result.bytesWritten) + " bytes");
  if (!result.Succeeded()) return "ERROR " + (result.failure.empty() ? std::string("the job failed") : result.failure);
  return "OK " + std::to_string(result.jobId) + " " + std::to_string(result.bytesWritten);
}

void Service::Connection(int fd) {
  struct ucred peer{};
  socklen_t length = sizeof peer;
  std::string reply;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    reply = "ERROR unknown sender";
  } else {
    std::map<std::string, std::string> header;
    int data = -1;
    ULONGLONG size = 0;
    std::string error;
    if (!ReceiveJob(fd, &header, &data, &size, &error)) {
      reply = "ERROR " + error;
    } else {
      // Only root and the service's own user may print in another's name.
      std::string user = UserOfUid(peer.uid);
      auto named = header.find("user");
      if (named != header.end() && !named->second.empty() && named->second != user) {
        if (peer.uid == 0 || peer.uid == geteuid())
          user = named->second;
        else
          reply = "ERROR not permitted to print as " + named->second;
      }
      if (reply.empty()) reply = RunJob(header, user, data);
      close(data);
    }
  }
  reply += "\n";
  WriteAll(fd, reply.data(), reply.size());
  std::lock_guard<std::mutex> hold(m_lock);
  m_connections.erase(fd);
  close(fd);
  m_idle.notify_all();
}

void Service::Serve(int listener) {
  for (;;) {
    struct pollfd fds[2] = {{listener, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> hold(m_lock);
    m_connections.insert(fd);
    std::thread([this, fd] { Connection(fd); }).detach();
  }
}

void Service::Stop() {
  std::unique_lock<std::mutex> hold(m_lock);
  m_stopping = true;
  // Jobs that are running finish; a job still being received is dropped
  // once its sender has had a little time.
  if (!m_idle.wait_for(hold, std::chrono::seconds(10), [&] { return m_connections.empty(); })) {
    for (int fd : m_connections) shutdown(fd, SHUT_RDWR);
    m_idle.wait(hold, [&] { return m_connections.empty(); });
  }
  for (auto& [name, port] : m_ports) {
    if (port->handle) port->monitor->ClosePort(port->handle);
    port->handle = nullptr;
  }
  // The monitors stay loaded until the process ends, as in a spooler.
  static auto* s_kept = new std::vector<std::unique_ptr<spooler::Monitor>>;
  for (auto& monitor : m_monitors) s_kept->push_back(std::move(monitor));
  m_monitors.clear();
}

bool WriteSmallFile(const std::string& path, const std::string& text, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text.data(), text.size());
  close(fd);
  return ok;
}

int Listen(const std::string& path) {
  struct sockaddr_un address;
  if (!spooler::service::SocketAddress(path, &address)) {
    Log("the socket path is too long: " + path);
    return -1;
  }
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    close(probe);
    Log("already running");
    return -1;
  }
  close(probe);
  unlink(path.c_str());  // a stale socket of a service that died
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    Log(std::string("cannot listen on ") + path + ": " + std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  chmod(path.c_str(), 0666);  // every local user may submit jobs
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    static const char kUsage[] =
        "usage: mvnspoold\n"
        "The spooler service of the machine root (MVN_ROOT): loads the port monitors\n"
        "named in the registry, takes the jobs mvnprint submits and runs each through\n"
        "the monitor of its printer's port, until SIGTERM or SIGINT. Takes no\n"
        "arguments. Exit codes: 0 stopped, 1 could not start (or already running).\n";
    bool help = argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  // Spool files are private to the service's user and group: the render
  // engine reads them as a member of the spool folder's group, a launched
  // application as the owner it is given.
  umask(027);
  std::string spool = RootPath("spool", true);
  // Every user must reach the shared folder inside it: the mode is set
  // exactly, not through the umask above.
  int failure = 0;
  if (mkdir(spool.c_str(), 0755) == 0) chmod(spool.c_str(), 0755);
  else if (errno != EEXIST) failure = errno;
  std::string temporary = RootPath(spooler::service::kTemporaryDirectory, true);
  if (mkdir(temporary.c_str(), 01777) == 0 || errno == EEXIST) chmod(temporary.c_str(), 01777);
  else if (!failure) failure = errno;
  struct stat st;
  if (lstat(temporary.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::string failed = failure && lstat(spool.c_str(), &st) != 0 ? spool : temporary;
    MvnReportRootDirectoryFailure(failed.c_str(), failure ? failure : ENOTDIR);
    return 1;
  }
  // The monitors spool render and launch jobs there: GetTempPathA of every
  // module in this process gives it.
  setenv("MVN_TEMP", temporary.c_str(), 1);

  if (pipe2(g_wake, O_CLOEXEC) != 0) return 1;
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string socketPath = RootPath(spooler::service::kSocketFile, true);
  int listener = Listen(socketPath);
  if (listener < 0) return 1;
  std::string pidPath = RootPath(spooler::service::kPidFile, true);
  std::string readyPath = RootPath(spooler::service::kReadyFile, true);
  WriteSmallFile(pidPath, std::to_string(getpid()) + "\n", 0644);

  Service service;
  if (!service.LoadMonitors()) {
    close(listener);
    unlink(socketPath.c_str());
    unlink(pidPath.c_str());
    return 1;
  }
  WriteSmallFile(readyPath, std::to_string(getpid()) + "\n", 0644);
  Log("ready");
  service.Serve(listener);

  unlink(readyPath.c_str());
  close(listener);
  unlink(socketPath.c_str());
  service.Stop();
  unlink(pidPath.c_str());
  Log("stopped");
  return 0;
}
