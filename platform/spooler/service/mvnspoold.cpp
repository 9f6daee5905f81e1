// mvnspoold: the spooler service. Loads the port monitors named in the
// registry, keeps them and their ports loaded, and prints the jobs that
// mvnprint submits over the service's local socket: a job sent as data is
// received completely into a private file first, a job handed over as the
// sender's open file is read from that file; either is then run through
// the monitor of the printer's port.
//
// Registry (HKEY_LOCAL_MACHINE):
//   SYSTEM\CurrentControlSet\Control\Print\Monitors\<monitor>  Driver = the monitor's file
//   SYSTEM\CurrentControlSet\Control\Print\Printers\<printer>  Port = the printer's port
// Files below <root>/spool: mvnspoold.sock, mvnspoold.pid, mvnspoold.ready
// (present while the service takes jobs), temp/ (the service's spool folder
// and temporary directory, where only it makes names; temp/<uid>/ holds the
// files handed to user uid), jobs/ (received jobs, private).
// Limits (connections, header time, job size, spool space per user) are
// REG_DWORD values of SYSTEM\CurrentControlSet\Control\Print (see
// protocol.h).
//
// A request with the header "control=reload" (from root or the service's
// own user) loads the monitors installed since the start and has every
// monitor read its ports again.
//
// On a root set up as the single-user platform (the 95 mode, see
// platform/spooler/install.h) the monitors are loaded through DllEntryPoint
// and InitializeMonitorEx, and the service runs as the desktop user: it
// refuses to start as root, since such monitors stamp jobs with the
// service's user and start programs themselves.
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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/rootsalone.h"
#include "platform/mailslot/launcher.h"
#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "platform/spooler/install.h"
#include "platform/spooler/outputfolder.h"
#include "platform/spooler/service/protocol.h"

namespace {

using mvn::spooler::service::HandedFile;
using mvn::spooler::service::RootPath;
using mvn::spooler::service::WriteAll;

int g_wake[2] = {-1, -1};

// The blocks a handed-over file is read and written in.
constexpr DWORD kHandedChunk = 256 * 1024;

void OnSignal(int) {
  char byte = 1;
  ssize_t ignored = write(g_wake[1], &byte, 1);
  (void)ignored;
}

void Log(const std::string& line) { std::fprintf(stderr, "mvnspoold: %s\n", line.c_str()); }

std::string QueryString(HKEY key, const char* name) {
  char value[1024];
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::string();
  return std::string(value);
}

DWORD QueryLimit(HKEY key, const char* name, DWORD fallback) {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (!key || RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value || value == 0)
    return fallback;
  return value;
}

struct Limits {
  DWORD connections = mvn::spooler::service::kDefaultMaxConnections;
  DWORD userConnections = mvn::spooler::service::kDefaultMaxUserConnections;
  DWORD receiveTimeout = mvn::spooler::service::kDefaultReceiveTimeout;
  DWORD jobSize = mvn::spooler::service::kDefaultMaxJobSize;
  DWORD userSpool = mvn::spooler::service::kDefaultMaxUserSpool;
};

Limits ReadLimits() {
  using namespace mvn::spooler::service;
  Limits limits;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLimitsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
  limits.connections = QueryLimit(key, kMaxConnectionsValue, limits.connections);
  limits.userConnections = QueryLimit(key, kMaxUserConnectionsValue, limits.userConnections);
  limits.receiveTimeout = QueryLimit(key, kReceiveTimeoutValue, limits.receiveTimeout);
  limits.jobSize = QueryLimit(key, kMaxJobSizeValue, limits.jobSize);
  limits.userSpool = QueryLimit(key, kMaxUserSpoolValue, limits.userSpool);
  if (key) RegCloseKey(key);
  return limits;
}

// A job as it came in: the header, and its data either in the service's
// private file (sent in frames) or in the sender's own file (handed over).
struct ReceivedJob {
  std::map<std::string, std::string> header;
  int spooled = -1;
  int handed = -1;
  HandedFile file;
  std::uint64_t reserved = 0;  // spool space taken for the data received
};

// Takes bytes of a user's spool space; false when they do not fit.
using SpoolTaker = std::function<bool(std::uint64_t)>;

// Why reading a handed-over file stopped short of its end.
struct HandedRead {
  bool tooLarge = false;
  bool overUserSpool = false;
  std::string error;
  std::uint64_t reserved = 0;  // spool space taken for the bytes read
};

// The blocks of a handed-over file from start on, read with the service's
// own offset (the file position, which the sender shares, is not moved),
// at most limit bytes: a file that holds more (it may grow while it is
// read) fails with outcome->tooLarge. The file is never mapped: its owner
// may shrink it meanwhile, and a mapping would then fault.
mvn::spooler::BlockSource HandedFileBlocks(int fd, std::uint64_t start, std::uint64_t limit,
                                           std::shared_ptr<HandedRead> outcome, SpoolTaker take) {
  auto buffer = std::make_shared<std::vector<BYTE>>();
  auto taken = std::make_shared<std::uint64_t>(0);
  return [fd, start, limit, outcome, buffer, taken, take](const BYTE** block, DWORD maximum) -> long {
    std::uint64_t left = limit - *taken;
    // At the limit one more byte tells whether the file ends there.
    std::size_t want = left == 0 ? 1 : static_cast<std::size_t>(left < maximum ? left : maximum);
    if (buffer->size() < want) buffer->resize(want);
    std::uint64_t at = start + *taken;
    if (at < start || at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return 0;
    ssize_t got;
    do {
      got = pread(fd, buffer->data(), want, static_cast<off_t>(at));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      outcome->error = std::string("the file handed over could not be read: ") + std::strerror(errno);
      return -1;
    }
    if (got > 0 && left == 0) {
      outcome->tooLarge = true;
      return -1;
    }
    // Every byte read is spooled: it counts against the sender's space.
    if (got > 0 && !take(static_cast<std::uint64_t>(got))) {
      outcome->overUserSpool = true;
      return -1;
    }
    outcome->reserved += static_cast<std::uint64_t>(got);
    *taken += static_cast<std::uint64_t>(got);
    *block = buffer->data();
    return static_cast<long>(got);
  };
}

using Clock = std::chrono::steady_clock;

// Reads exactly size bytes before deadline: the wait for each read is what
// is left of the time, so a sender that dribbles a byte now and then gets
// no more time than one that sends nothing. False when the descriptor
// fails or ends first, or (errno ETIMEDOUT) when the time is up.
bool ReadBefore(int fd, void* buffer, std::size_t size, Clock::time_point deadline) {
  char* at = static_cast<char*>(buffer);
  while (size > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    struct pollfd ready = {fd, POLLIN, 0};
    int polled = poll(&ready, 1, static_cast<int>(left > 60000 ? 60000 : left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) return false;
    if (polled == 0) continue;  // the deadline is checked above
    ssize_t got = read(fd, at, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

struct Port {
  mvn::spooler::PortMonitor* monitor = nullptr;
  HANDLE handle = nullptr;
  std::mutex lock;  // one job at a time per port
};

class Service {
 public:
  explicit Service(const Limits& limits) : m_limits(limits) {}
  // Loads the monitors not loaded yet and adds the ports every monitor
  // lists now; *ports receives how many ports are known.
  bool LoadMonitors(std::size_t* ports = nullptr);
  void Serve(int listener);
  void Stop();

 private:
  void Connection(int fd, uid_t uid);
  void Accept(int listener);
  bool MakeRoomFor(uid_t uid);
  std::string SlotFolder(uid_t uid);
  bool ReceiveJob(int fd, uid_t uid, ReceivedJob* job, std::string* error);
  bool ReceiveFrames(int fd, uid_t uid, ReceivedJob* job, std::string* error);
  std::string TooLarge() const;
  std::string OverUserSpool() const;
  // Takes or gives back bytes of uid's spool space (root's is not counted).
  bool TakeSpool(uid_t uid, std::uint64_t bytes);
  void GiveSpool(uid_t uid, std::uint64_t bytes);
  std::string PortOfPrinter(const std::string& printer);
  std::string RunJob(uid_t uid, const std::string& user, const ReceivedJob& job);

  std::vector<std::unique_ptr<mvn::spooler::PortMonitor>> m_monitors;
  std::map<std::string, std::unique_ptr<Port>> m_ports;
  // Jobs hold it shared; loading monitors and ports holds it alone.
  std::shared_mutex m_monitorsLock;
  std::mutex m_lock;
  std::condition_variable m_idle;
  // A connection being served: its sender, when it came, and whether its
  // request is still being received (not yet run).
  struct Served {
    uid_t uid = 0;
    std::uint64_t order = 0;
    bool receiving = true;
  };
  std::map<int, Served> m_connections;
  std::uint64_t m_accepted = 0;
  std::map<uid_t, DWORD> m_userConnections;  // connections per user (not root)
  Limits m_limits;
  std::map<uid_t, std::uint64_t> m_userSpool;  // spool bytes held per user (under m_lock)
  bool m_stopping = false;
};

bool Service::LoadMonitors(std::size_t* portCount) {
  std::unique_lock<std::shared_mutex> exclusive(m_monitorsLock);
  HKEY monitors = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, mvn::spooler::kMonitorsKey, 0, nullptr, 0, KEY_READ, nullptr, &monitors,
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
    mvn::spooler::PortMonitor* loaded = nullptr;
    for (auto& monitor : m_monitors)
      if (monitor->Name() == name) loaded = monitor.get();
    bool fresh = !loaded;
    if (fresh) {
      std::string error;
      std::unique_ptr<mvn::spooler::PortMonitor> monitor = mvn::spooler::LoadPortMonitor(driver, name, &error);
      if (!monitor) {
        Log("monitor " + std::string(name) + ": " + error);
        continue;
      }
      loaded = monitor.get();
      m_monitors.push_back(std::move(monitor));
    } else {
      loaded->Reinitialize();
    }
    std::vector<mvn::spooler::PortEntry> ports;
    loaded->EnumPorts(1, &ports);
    std::size_t added = 0;
    for (const mvn::spooler::PortEntry& entry : ports) {
      if (m_ports.count(entry.name)) continue;
      auto port = std::make_unique<Port>();
      port->monitor = loaded;
      m_ports.emplace(entry.name, std::move(port));
      ++added;
    }
    if (fresh)
      Log("monitor " + std::string(name) + " loaded with " + std::to_string(ports.size()) + " ports");
    else if (added)
      Log("monitor " + std::string(name) + ": " + std::to_string(added) + " new ports");
  }
  RegCloseKey(monitors);
  if (portCount) *portCount = m_ports.size();
  return true;
}

std::string Service::PortOfPrinter(const std::string& printer) {
  HKEY key = nullptr;
  std::string path = std::string(mvn::spooler::kPrintersKey) + "\\" + printer;
  if (!mvn::spooler::ValidPrinterName(printer) ||
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::string();
  std::string port = QueryString(key, "Port");
  RegCloseKey(key);
  // A pooled printer lists its ports separated by commas; the first serves.
  std::size_t comma = port.find(',');
  if (comma != std::string::npos) port.resize(comma);
  return port;
}

std::string Service::TooLarge() const {
  return "the job is larger than the service takes (" + std::to_string(m_limits.jobSize) + " bytes)";
}

std::string Service::OverUserSpool() const {
  return "the job goes past the spool space the service gives one user (" + std::to_string(m_limits.userSpool) +
         " bytes, the user's jobs in the spool together)";
}

bool Service::TakeSpool(uid_t uid, std::uint64_t bytes) {
  if (uid == 0) return true;
  std::lock_guard<std::mutex> hold(m_lock);
  std::uint64_t& used = m_userSpool[uid];
  if (bytes > m_limits.userSpool || used > m_limits.userSpool - bytes) {
    if (used == 0) m_userSpool.erase(uid);
    return false;
  }
  used += bytes;
  return true;
}

void Service::GiveSpool(uid_t uid, std::uint64_t bytes) {
  if (uid == 0 || bytes == 0) return;
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_userSpool.find(uid);
  if (it == m_userSpool.end()) return;
  it->second = it->second > bytes ? it->second - bytes : 0;
  if (it->second == 0) m_userSpool.erase(it);
}

bool Service::ReceiveJob(int fd, uid_t uid, ReceivedJob* job, std::string* error) {
  std::map<std::string, std::string>* header = &job->header;
  // The whole header, and a handed file's descriptor after it, arrive
  // within one time-out from the connection on; not one per read.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_limits.receiveTimeout);
  // Header lines up to the empty one.
  for (std::size_t lines = 0;; ++lines) {
    if (lines > mvn::spooler::service::kMaxHeaderLines) {
      *error = "too many header lines";
      return false;
    }
    std::string line;
    char c = '\0';
    bool ended = false;  // the line's end arrived
    errno = 0;
    while (ReadBefore(fd, &c, 1, deadline)) {
      if (c == '\n') {
        ended = true;
        break;
      }
      line.push_back(c);
      if (line.size() > mvn::spooler::service::kMaxHeaderLine) {
        *error = "header line too long";
        return false;
      }
    }
    if (!ended) {
      *error = errno == ETIMEDOUT ? "no data in time: the connection is closed" : "the request ended early";
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
  auto data = header->find(mvn::spooler::service::kDataKey);
  if (data == header->end()) return ReceiveFrames(fd, uid, job, error);
  if (data->second != mvn::spooler::service::kDescriptorData) {
    *error = "unknown data \"" + data->second + "\"";
    return false;
  }
  // The sender's own file: taken only when the service can read it without
  // waiting on anybody, and never beyond the job size limit.
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) {
    *error = "no data in time: the connection is closed";
    return false;
  }
  struct timeval rest{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rest, sizeof rest);
  if (!mvn::spooler::service::ReceiveDescriptor(fd, &job->handed, error)) return false;
  *error = mvn::spooler::service::FileRefusal(job->handed, &job->file);
  if (!error->empty()) return false;
  if (job->file.size > job->file.start && job->file.size - job->file.start > m_limits.jobSize) {
    *error = TooLarge();
    return false;
  }
  // A file larger than a user's whole space is refused before a byte is
  // read (a sparse file costs its sender nothing to make).
  if (uid != 0 && job->file.size > job->file.start && job->file.size - job->file.start > m_limits.userSpool) {
    *error = OverUserSpool();
    return false;
  }
  return true;
}

bool Service::ReceiveFrames(int fd, uid_t uid, ReceivedJob* job, std::string* error) {
  std::string jobs = RootPath(mvn::spooler::service::kJobsDirectory, true);
  mkdir(jobs.c_str(), 0700);
  int file = open(jobs.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (file < 0) {
    *error = std::string("cannot spool the job: ") + std::strerror(errno);
    return false;
  }
  std::vector<char> buffer(mvn::spooler::service::kMaxFrame);
  ULONGLONG received = 0;
  for (;;) {
    // Each frame, its length and its bytes, arrives within one time-out.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_limits.receiveTimeout);
    unsigned char length[4];
    errno = 0;
    if (!ReadBefore(fd, length, 4, deadline)) {
      *error = errno == ETIMEDOUT ? "no data in time: the connection is closed" : "the job's data ended early";
      close(file);
      return false;
    }
    std::uint32_t n = mvn::spooler::service::FrameLength(length);
    if (n == 0) break;
    if (received + n > m_limits.jobSize) {
      *error = TooLarge();
      close(file);
      return false;
    }
    if (!TakeSpool(uid, n)) {
      *error = OverUserSpool();
      close(file);
      return false;
    }
    job->reserved += n;
    if (n > mvn::spooler::service::kMaxFrame || !ReadBefore(fd, buffer.data(), n, deadline)) {
      *error = errno == ETIMEDOUT ? "no data in time: the connection is closed" : "the job's data ended early";
      close(file);
      return false;
    }
    if (!WriteAll(file, buffer.data(), n)) {
      *error = std::string("cannot spool the job: ") + std::strerror(errno);
      close(file);
      return false;
    }
    received += n;
  }
  lseek(file, 0, SEEK_SET);
  job->spooled = file;
  return true;
}

std::string Service::RunJob(uid_t uid, const std::string& user, const ReceivedJob& received) {
  auto value = [&](const char* key) {
    auto it = received.header.find(key);
    return it == received.header.end() ? std::string() : it->second;
  };
  std::string printer = value("printer");
  std::string portName = PortOfPrinter(printer);
  if (portName.empty()) return "ERROR no printer \"" + printer + "\"";
  std::shared_lock<std::shared_mutex> shared(m_monitorsLock);
  auto it = m_ports.find(portName);
  if (it == m_ports.end()) return "ERROR the port " + portName + " of \"" + printer + "\" is not loaded";
  Port& port = *it->second;
  std::lock_guard<std::mutex> hold(port.lock);
  if (!port.handle) port.handle = port.monitor->OpenPort(portName);
  if (!port.handle) return "ERROR cannot open the port " + portName;
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  mvn::spooler::JobSpec job{printer, user, value("document"), host};
  auto handedRead = std::make_shared<HandedRead>();
  mvn::spooler::JobResult result =
      received.handed >= 0
          ? port.monitor->RunJobBlocks(port.handle, job,
                                       HandedFileBlocks(received.handed, received.file.start, m_limits.jobSize,
                                                        handedRead,
                                                        [this, uid](std::uint64_t n) { return TakeSpool(uid, n); }),
                                       kHandedChunk)
          : port.monitor->RunJobBlocks(port.handle, job, mvn::spooler::FileBlocks(received.spooled), 65536);
  GiveSpool(uid, handedRead->reserved);
  if (handedRead->tooLarge) result.failure = TooLarge();
  else if (handedRead->overUserSpool) result.failure = OverUserSpool();
  else if (!handedRead->error.empty()) result.failure = handedRead->error;
  Log("job " + std::to_string(result.jobId) + " for " + user + " on " + printer + ": " +
      (result.Succeeded() ? "printed" : result.failure) + ", " + std::to_string(result.bytesWritten) + " bytes" +
      (received.handed >= 0 ? " from the sender's file" : ""));
  if (!result.Succeeded()) return "ERROR " + (result.failure.empty() ? std::string("the job failed") : result.failure);
  return "OK " + std::to_string(result.jobId) + " " + std::to_string(result.bytesWritten);
}

void Service::Connection(int fd, uid_t uid) {
  struct ucred peer{};
  peer.uid = uid;
  std::string reply;
  ReceivedJob received;
  {
    std::map<std::string, std::string>& header = received.header;
    std::string error;
    bool ok = ReceiveJob(fd, uid, &received, &error);
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_connections[fd].receiving = false;
    }
    if (!ok) {
      reply = "ERROR " + error;
    } else {
      // Only root and the service's own user may print in another's name.
      std::string user = mvn::spooler::UserNameOfUid(peer.uid);
      auto control = header.find("control");
      auto named = header.find("user");
      if (named != header.end() && !named->second.empty() && named->second != user) {
        if (peer.uid == 0 || peer.uid == geteuid())
          user = named->second;
        else
          reply = "ERROR not permitted to print as " + named->second;
      }
      if (control != header.end() && control->second == mvn::launcher::kSlotFolderControl) {
        reply = SlotFolder(peer.uid);
      } else if (control != header.end()) {
        std::size_t ports = 0;
        if (peer.uid != 0 && peer.uid != geteuid())
          reply = "ERROR not permitted to control the spooler service";
        else if (control->second != "reload")
          reply = "ERROR unknown control \"" + control->second + "\"";
        else if (LoadMonitors(&ports))
          reply = "OK reloaded, " + std::to_string(ports) + " ports";
        else
          reply = "ERROR cannot read the monitors";
      }
      if (reply.empty()) reply = RunJob(uid, user, received);
    }
    if (received.spooled >= 0) close(received.spooled);
    GiveSpool(uid, received.reserved);
  }
  reply += "\n";
  WriteAll(fd, reply.data(), reply.size());
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_connections.erase(fd);
    close(fd);
    m_idle.notify_all();
  }
  // The sender's file goes last, outside what a stop waits for: closing a
  // descriptor may wait on what it came from (a user's file system, a
  // lingering socket), and that wait holds nothing but this user's count of
  // connections.
  if (received.handed >= 0) close(received.handed);
  std::lock_guard<std::mutex> hold(m_lock);
  if (uid != 0 && --m_userConnections[uid] == 0) m_userConnections.erase(uid);
}

// Makes the launcher folder of the sender's user, theirs alone, in the
// folder of launcher folders, which is root's: nobody but that user can
// then serve the user's launcher slot.
std::string Service::SlotFolder(uid_t uid) {
  if (geteuid() != 0) return "ERROR only a service running as root makes launcher folders";
  gid_t gid = static_cast<gid_t>(uid);
  {
    char buffer[4096];
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) gid = found->pw_gid;
  }
  const std::string user = mvn::spooler::UserNameOfUid(uid);
  const std::string name = std::string(mvn::launcher::kPerUserSlotPrefix) + user;
  if (!CreateMailslotUserDirectory(name.c_str(), uid, gid))
    return "ERROR cannot make the launcher folder of " + user + " (error " + std::to_string(GetLastError()) + ")";
  return "OK " + name;
}

// Takes one connection: served by a thread of its own while the limits
// allow, else refused at once with an error line, so one user can never
// hold the service.
void Service::Accept(int listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // Out of descriptors or memory: wait a little instead of spinning on
      // the connection that cannot be taken (a stop still ends the wait).
      struct pollfd wake = {g_wake[0], POLLIN, 0};
      poll(&wake, 1, 100);
    }
    return;
  }
  struct ucred peer{};
  socklen_t length = sizeof peer;
  const char* refusal = nullptr;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) refusal = "ERROR unknown sender\n";
  std::unique_lock<std::mutex> hold(m_lock);
  if (!refusal && m_connections.size() >= m_limits.connections && !MakeRoomFor(peer.uid))
    refusal = "ERROR the spooler service is busy: too many connections, try again later\n";
  if (!refusal && peer.uid != 0 && m_userConnections[peer.uid] >= m_limits.userConnections)
    refusal = "ERROR too many connections of this user at once, try again later\n";
  if (!refusal) {
    struct timeval timeout{static_cast<time_t>(m_limits.receiveTimeout), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    m_connections[fd] = Served{peer.uid, ++m_accepted, true};
    if (peer.uid != 0) ++m_userConnections[peer.uid];
    try {
      uid_t uid = peer.uid;
      std::thread([this, fd, uid] { Connection(fd, uid); }).detach();
      return;
    } catch (...) {
      m_connections.erase(fd);
      if (peer.uid != 0 && --m_userConnections[peer.uid] == 0) m_userConnections.erase(peer.uid);
      refusal = "ERROR the spooler service is out of resources, try again later\n";
    }
  }
  if (peer.uid != 0 && m_userConnections.count(peer.uid) && m_userConnections[peer.uid] == 0)
    m_userConnections.erase(peer.uid);
  hold.unlock();
  ssize_t ignored = send(fd, refusal, std::strlen(refusal), MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)ignored;
  close(fd);
}

// Every connection slot is taken: a sender with fewer connections than the
// user who holds the most gets a slot by ending that user's oldest request
// still being received (its thread then frees the slot). So users who keep
// many slow requests open can never starve one who has none; a request
// that is running its job is never ended. Called with m_lock held.
bool Service::MakeRoomFor(uid_t uid) {
  std::map<uid_t, DWORD> held;
  for (auto& [fd, served] : m_connections)
    if (served.uid != 0) ++held[served.uid];
  DWORD own = uid == 0 ? 0 : held[uid];
  uid_t greediest = 0;
  DWORD most = 0;
  for (auto& [user, count] : held)
    if (count > most) {
      most = count;
      greediest = user;
    }
  if (most <= own + 1) return false;
  int oldest = -1;
  std::uint64_t order = 0;
  for (auto& [fd, served] : m_connections)
    if (served.uid == greediest && served.receiving && (oldest < 0 || served.order < order)) {
      oldest = fd;
      order = served.order;
    }
  if (oldest < 0) return false;
  m_connections[oldest].receiving = false;  // ended once
  shutdown(oldest, SHUT_RDWR);
  return true;
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
    Accept(listener);
  }
}

void Service::Stop() {
  std::unique_lock<std::mutex> hold(m_lock);
  m_stopping = true;
  // Jobs that are running finish; a job still being received is dropped
  // once its sender has had a little time.
  if (!m_idle.wait_for(hold, std::chrono::seconds(10), [&] { return m_connections.empty(); })) {
    for (auto& [fd, served] : m_connections) shutdown(fd, SHUT_RDWR);
    m_idle.wait(hold, [&] { return m_connections.empty(); });
  }
  for (auto& [name, port] : m_ports) {
    if (port->handle) port->monitor->ClosePort(port->handle);
    port->handle = nullptr;
  }
  // The monitors stay loaded until the process ends, as in a spooler.
  static auto* s_kept = new std::vector<std::unique_ptr<mvn::spooler::PortMonitor>>;
  for (auto& monitor : m_monitors) s_kept->push_back(std::move(monitor));
  m_monitors.clear();
}

bool WriteSmallFile(const std::string& path, const std::string& text, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return false;
  // The mode exactly, not through the service's umask: every user's
  // service control reads the pid and ready files.
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text.data(), text.size());
  close(fd);
  return ok;
}

int Listen(const std::string& path) {
  struct sockaddr_un address;
  if (!mvn::spooler::service::SocketAddress(path, &address)) {
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
  // Root serves, loads monitors from and writes into a machine root of
  // root's alone only; and it searches no folder it was started in.
  if (!mvn::kernel::RequireMachineRootOfRoots()) return 1;
  if (chdir("/") != 0) {
    Log(std::string("cannot change to the folder /: ") + std::strerror(errno));
    return 1;
  }
  if (mvn::spooler::CurrentPlatform() == mvn::spooler::Platform::Windows95 && geteuid() == 0) {
    Log("this root is set up as a single-user machine (95 mode): the spooler service runs as the desktop "
        "user there, never as root");
    return 1;
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
  // The spool folder: only the service makes names in it (no user can
  // fill it or swap a file in it); users reach the folders of the files
  // handed to them inside it.
  std::string temporary = RootPath(mvn::spooler::service::kTemporaryDirectory, true);
  if (mkdir(temporary.c_str(), 0755) != 0 && errno != EEXIST && !failure) failure = errno;
  int folder = open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int openError = errno;
  struct stat st;
  if (folder < 0 || fstat(folder, &st) != 0 || st.st_uid != geteuid() || fchmod(folder, 0755) != 0) {
    if (folder < 0) {
      std::string failed = failure && lstat(spool.c_str(), &st) != 0 ? spool : temporary;
      MvnReportRootDirectoryFailure(failed.c_str(), failure ? failure : openError);
    } else {
      Log("cannot make the spool folder " + temporary + " (it must be a directory of the service's user)");
    }
    if (folder >= 0) close(folder);
    return 1;
  }
  close(folder);
  // The mailslot folders belong to root: the shared one, and the one of the
  // users' launcher folders, where no user can make a name (each user's
  // own folder in it is made on the user's request, SlotFolder).
  if (geteuid() == 0) {
    if (!CreateMailslotUserDirectory((std::string(mvn::launcher::kPerUserSlotPrefix) + "root").c_str(), 0, 0))
      Log("cannot make the mailslot folder of the user launchers (error " + std::to_string(GetLastError()) + ")");
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

  std::string socketPath = RootPath(mvn::spooler::service::kSocketFile, true);
  int listener = Listen(socketPath);
  if (listener < 0) return 1;
  std::string pidPath = RootPath(mvn::spooler::service::kPidFile, true);
  std::string readyPath = RootPath(mvn::spooler::service::kReadyFile, true);
  WriteSmallFile(pidPath, std::to_string(getpid()) + "\n", 0644);

  // The service lives until the process ends: a connection thread may still
  // be closing a sender's file after the stop.
  static Service* s_service = new Service(ReadLimits());
  Service& service = *s_service;
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
