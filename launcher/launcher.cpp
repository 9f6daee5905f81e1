// The application launchers' shared core (see launcher.h).
#include "launcher/launcher.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"

namespace mvn::launcher {
namespace {

constexpr DWORD kCreateSeparateWowVdm = 0x00000800;

constexpr char kPerUserCaption[] = "Morvane Application Launcher";
constexpr char kPerUserText[] =
    "Unable to access the external application as specified \n"
    "in the Port Configuration for the Printer Properties.\n"
    "Please check that the resource is available.\n\n";
constexpr char kConsoleCaption[] = "Printing Error";
constexpr char kConsoleFormat[] =
    "Unable to access the external application %s\n"
    "as specified in the Printer Properties / Settings option.\n"
    "Please check that the resource is available.";

// Start paths not yet used, one per sender. A sender that dies between its
// start path and its command leaves an entry; the oldest go first.
constexpr std::size_t kMaxPendingStartPaths = 64;

struct SenderKey {
  uid_t uid;
  pid_t pid;
  std::string endpoint;
  bool operator==(const SenderKey& other) const {
    return uid == other.uid && pid == other.pid && endpoint == other.endpoint;
  }
};

struct PendingStartPath {
  SenderKey sender;
  std::string directory;
};

class StartPaths {
 public:
  void Set(const SenderKey& sender, std::string directory) {
    Clear(sender);
    if (m_entries.size() >= kMaxPendingStartPaths) m_entries.pop_front();
    m_entries.push_back({sender, std::move(directory)});
  }
  // The sender's start path, or nullptr.
  const std::string* Find(const SenderKey& sender) const {
    for (const PendingStartPath& entry : m_entries)
      if (entry.sender == sender) return &entry.directory;
    return nullptr;
  }
  void Clear(const SenderKey& sender) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
      if (it->sender == sender) {
        m_entries.erase(it);
        return;
      }
    }
  }

 private:
  std::deque<PendingStartPath> m_entries;
};

// The spooler service's user: MVN_SPOOLER_USER (a name or a number), else
// root. False when the name is unknown.
bool SpoolerUser(uid_t* uid, std::string* name) {
  const char* value = std::getenv("MVN_SPOOLER_USER");
  *name = (value && *value) ? value : "root";
  char* end = nullptr;
  errno = 0;
  unsigned long number = std::strtoul(name->c_str(), &end, 10);
  if (errno == 0 && end && *end == '\0' && end != name->c_str()) {
    *uid = static_cast<uid_t>(number);
    return true;
  }
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (getpwnam_r(name->c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  *uid = found->pw_uid;
  return true;
}

class Launcher {
 public:
  Launcher(Kind kind, const char* programName) : m_kind(kind), m_programName(programName) {}
  int Run();

 private:
  bool Permitted(uid_t uid) const {
    if (uid == 0) return true;
    if (m_haveSpooler && uid == m_spoolerUid) return true;
    return m_kind == Kind::PerUser && uid == m_ownUid;
  }
  void Launch(const SenderKey& sender, char* commandLine);
  void ReportFailure(const char* commandLine);

  Kind m_kind;
  const char* m_programName;
  uid_t m_ownUid = geteuid();
  uid_t m_spoolerUid = 0;
  bool m_haveSpooler = false;
  StartPaths m_startPaths;
};

// Asks the spooler service for this user's launcher folder (it makes the
// folder, this user's alone, below root's folder of launcher folders). The
// answer is waited for ten seconds at most; without a service the folder
// may be there from before, and serving says so when it is not.
void RequestSlotFolder(const char* programName) {
  char path[4096];
  if (!MvnRootPath("spool/mvnspoold.sock", path, sizeof path, false)) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return;
  std::strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  // The header, then the empty frame that ends a request's data.
  std::string request = std::string("control=") + kSlotFolderControl + "\n\n";
  request.append(4, '\0');
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n' && reply.size() < 1024) reply.push_back(c);
  }
  close(fd);
  if (!reply.empty() && reply.rfind("OK ", 0) != 0)
    std::fprintf(stderr, "%s: the spooler service did not make the launcher folder: %s\n", programName,
                 reply.c_str());
}

int Launcher::Run() {
  // A second launcher of the same slot ends with 0 (per user) or 1 (console).
  const int alreadyRunningExit = m_kind == Kind::PerUser ? 0 : 1;

  char slotName[kSlotNameSize];
  if (m_kind == Kind::PerUser) {
    const DWORD prefixLength = sizeof(kPerUserSlotPrefix) - 1;
    std::memcpy(slotName, kPerUserSlotPrefix, prefixLength);
    DWORD size = kSlotNameSize - prefixLength - (sizeof(kPerUserSlotLeaf) - 1);
    if (!GetUserNameA(slotName + prefixLength, &size)) {
      std::fprintf(stderr, "%s: cannot tell this process's user name\n", m_programName);
      return 1;
    }
    std::strcat(slotName, kPerUserSlotLeaf);
    RequestSlotFolder(m_programName);
  } else {
    std::memcpy(slotName, kConsoleSlot, sizeof(kConsoleSlot));
  }

  // The end of the session (SIGHUP, SIGTERM) or an interrupt ends the
  // launcher, and its slot goes with it, so the next session's launcher
  // (maybe another user's) can serve the same name. The signals are taken
  // by a thread of their own; started programs get the default handling.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGHUP);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

  HANDLE slot = CreateMailslotA(slotName, kMessageLimit, MAILSLOT_WAIT_FOREVER, nullptr);
  if (slot == INVALID_HANDLE_VALUE) {
    // Another launcher serves the slot: this one is not needed. Anything
    // else is a failure to start.
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
      if (m_kind == Kind::PerUser)
        std::fprintf(stderr, "%s: already running for user %.*s (%s is served)\n", m_programName,
                     static_cast<int>(std::strlen(slotName) - (sizeof(kPerUserSlotPrefix) - 1) -
                                      (sizeof(kPerUserSlotLeaf) - 1)),
                     slotName + sizeof(kPerUserSlotPrefix) - 1, slotName);
      else
        std::fprintf(stderr, "%s: a console launcher is already running (%s is served)\n", m_programName, slotName);
      return alreadyRunningExit;
    }
    char reason[512] = "";
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                        sizeof reason, nullptr))
      std::snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(error));
    reason[std::strcspn(reason, "\r\n")] = '\0';
    std::fprintf(stderr, "%s: cannot serve %s: %s\n", m_programName, slotName, reason);
    // A per-user launcher that cannot serve its slot ends quietly for the
    // session (exit 0, as when another one serves it); the console launcher
    // reports it with 1.
    return m_kind == Kind::PerUser ? 0 : 1;
  }
  try {
    std::thread([slot, endSignals] {
      int signal = 0;
      while (sigwait(&endSignals, &signal) != 0) {
      }
      CloseHandle(slot);
      _exit(0);
    }).detach();
  } catch (...) {
    // Without the thread the signals keep their default action.
    pthread_sigmask(SIG_UNBLOCK, &endSignals, nullptr);
  }

  std::string spoolerName;
  m_haveSpooler = SpoolerUser(&m_spoolerUid, &spoolerName);
  if (!m_haveSpooler)
    std::fprintf(stderr, "%s: spooler user \"%s\" is unknown; its messages will be refused\n", m_programName,
                 spoolerName.c_str());
  else if (!MailslotAllowWriter(slot, m_spoolerUid))
    std::fprintf(stderr, "%s: the spooler user \"%s\" cannot be allowed to write to %s\n", m_programName,
                 spoolerName.c_str(), slotName);

  // One byte more than the largest message, for the terminator.
  char message[kMessageLimit + 1];
  for (;;) {
    DWORD length = 0;
    if (!ReadFile(slot, message, kMessageLimit, &length, nullptr)) break;
    message[length] = '\0';

    MAILSLOT_SENDER sender{};
    if (!MailslotLastSender(slot, &sender) || !Permitted(sender.uid)) {
      std::fprintf(stderr, "%s: refused a message from uid %ld (pid %ld)\n", m_programName,
                   static_cast<long>(static_cast<int>(sender.uid)), static_cast<long>(sender.pid));
      continue;
    }
    SenderKey key{sender.uid, sender.pid,
                  std::string(reinterpret_cast<const char*>(sender.endpoint), sender.endpointLength)};

    if (std::strncmp(message, kStartPathPrefix, kStartPathPrefixLength) == 0) {
      m_startPaths.Set(key, message + kStartPathPrefixLength);
      continue;
    }
    Launch(key, message);
  }
  CloseHandle(slot);
  return 0;
}

void Launcher::Launch(const SenderKey& sender, char* commandLine) {
  std::string directory;
  const std::string* startPath = m_startPaths.Find(sender);
  if (startPath) directory = *startPath;
  // A bare program name is looked up along PATH only: never in the
  // launcher's current directory or its own, where anybody may have put a
  // file of that name.
  std::string program;
  bool bare = false;
  {
    const char* p = commandLine;
    while (*p == ' ' || *p == '\t') ++p;
    std::string token;
    if (*p == '"') {
      const char* close = std::strchr(p + 1, '"');
      token = close ? std::string(p + 1, close) : std::string(p + 1);
    } else {
      token = std::string(p, std::strcspn(p, " \t"));
    }
    bare = !token.empty() && token.find_first_of("/\\") == std::string::npos;
    if (bare) program = FindOnPath(token);
  }

  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // The failure box needs the command line as it came.
  std::string original = commandLine;
  if ((!bare || !program.empty()) &&
      CreateProcessA(bare ? program.c_str() : nullptr, commandLine, nullptr, nullptr, FALSE, kCreateSeparateWowVdm,
                     nullptr, startPath ? directory.c_str() : nullptr, &startup, &process)) {
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  } else {
    ReportFailure(original.c_str());
  }
  // The start path served this attempt, whether it succeeded or not.
  m_startPaths.Clear(sender);
}

void Launcher::ReportFailure(const char* commandLine) {
  char text[1024];
  if (m_kind == Kind::PerUser) {
    std::snprintf(text, sizeof(text), "%s%s", kPerUserText, commandLine);
    MessageBoxA(nullptr, text, kPerUserCaption, MB_SETFOREGROUND | MB_ICONERROR);
    return;
  }
  // The program is the command line up to its first blank; the word after
  // it is the spool file the command was meant to open.
  std::string line = commandLine;
  std::string::size_type blank = line.find(' ');
  std::string program = line.substr(0, blank);
  std::string file;
  if (blank != std::string::npos) file = line.substr(blank + 1, line.find(' ', blank + 1) - (blank + 1));
  wsprintfA(text, kConsoleFormat, program.c_str());
  // No windows here: the box has no owner.
  MessageBoxA(nullptr, text, kConsoleCaption, MB_SETFOREGROUND | MB_TASKMODAL | MB_ICONERROR);
  // Only a spool file the spooler handed to this launcher is removed,
  // nothing else the command line may name.
  if (!file.empty() && !DeleteFileInDirectory(file, SpoolReceiverDirectory(geteuid())))
    DeleteFileInDirectory(file, SpoolTemporaryDirectory());
}

}  // namespace

std::string SpoolTemporaryDirectory() {
  char path[4096];
  if (!MvnRootPath("spool/temp", path, sizeof(path), false)) return std::string();
  return path;
}

std::string SpoolReceiverDirectory(uid_t uid) {
  std::string temporary = SpoolTemporaryDirectory();
  return temporary.empty() ? temporary : temporary + "/" + std::to_string(uid);
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path || name.empty()) return std::string();
  std::string list = path;
  std::string::size_type start = 0;
  while (start <= list.size()) {
    std::string::size_type end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string directory = list.substr(start, end - start);
    start = end + 1;
    // Empty and relative entries would name the current directory.
    if (directory.empty() || directory[0] != '/') continue;
    std::string candidate = directory + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return std::string();
}

bool DeleteFileInDirectory(const std::string& path, const std::string& directory) {
  if (path.empty() || directory.empty()) return false;
  std::string native = path;
  for (char& c : native)
    if (c == '\\') c = '/';
  std::string::size_type slash = native.rfind('/');
  std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : native.substr(0, slash));
  std::string base = slash == std::string::npos ? native : native.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return false;

  int allowed = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (allowed < 0) return false;
  int named = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  bool deleted = false;
  struct stat a, b, file;
  if (named >= 0 && fstat(allowed, &a) == 0 && fstat(named, &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino && fstatat(allowed, base.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(file.st_mode)) {
    deleted = unlinkat(allowed, base.c_str(), 0) == 0;
  }
  if (named >= 0) close(named);
  close(allowed);
  return deleted;
}

int Main(Kind kind, const char* usage, int argc, char** argv) {
  if (argc > 1) {
    bool help = argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    std::fputs(usage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  return Run(kind);
}

int Run(Kind kind) {
  Launcher launcher(kind, kind == Kind::PerUser ? "mvnfuial" : "mvncuial");
  return launcher.Run();
}

}  // namespace mvn::launcher
