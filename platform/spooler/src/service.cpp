// The service control manager substitute: the one service "Spooler" is
// mvnspoold on the machine root (see install.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kernel/rootsalone.h"
#include "platform/registry/registry.h"
#include "platform/spooler/install.h"
#include "platform/spooler/service/protocol.h"

namespace {

constexpr std::uint32_t kManagerMagic = 0x53434D31;
constexpr std::uint32_t kServiceMagic = 0x53525631;
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Spooler";

struct ServiceObject {
  std::uint32_t magic = 0;
  pid_t started = 0;     // the process StartServiceA made, until it writes its pid file
  pid_t stopped = 0;     // the process this handle asked to stop
};

bool Alive(pid_t pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  // A zombie has ended.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  const char* close = std::strrchr(text, ')');
  return !(close && close[1] == ' ' && close[2] == 'Z');
}

// The pid in a file the service wrote: the file must be the service's
// (root's or this process's user's) and writable by nobody else, and the
// process must run mvnspoold.
pid_t ServicePid(const char* relative) {
  std::string path = mvn::spooler::service::RootPath(relative, false);
  if (path.empty()) return 0;
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat st;
  char text[32] = "";
  ssize_t got = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) &&
      (st.st_mode & 022) == 0)
    got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return 0;
  text[got] = '\0';
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  if (pid <= 0 || pid > 0x7FFFFFFF || !Alive(static_cast<pid_t>(pid))) return 0;
  char exe[64];
  std::snprintf(exe, sizeof exe, "/proc/%ld/exe", pid);
  char target[4096];
  ssize_t n = readlink(exe, target, sizeof target - 1);
  if (n <= 0) {
    // Another user's service (root's, seen by a user) hides its program
    // file; its name is readable, and only root can have written a pid
    // file of root's.
    if (errno != EACCES || st.st_uid != 0) return 0;
    std::snprintf(exe, sizeof exe, "/proc/%ld/comm", pid);
    int comm = open(exe, O_RDONLY | O_CLOEXEC);
    n = comm < 0 ? -1 : read(comm, target, sizeof target - 1);
    if (comm >= 0) close(comm);
    if (n <= 0) return 0;
  }
  target[n] = '\0';
  const char* base = std::strrchr(target, '/');
  base = base ? base + 1 : target;
  if (std::strncmp(base, "mvnspoold", 9) != 0) return 0;
  return static_cast<pid_t>(pid);
}

DWORD CurrentState(ServiceObject* service) {
  pid_t pid = ServicePid(mvn::spooler::service::kPidFile);
  if (pid) {
    service->started = 0;
    if (service->stopped == pid) return SERVICE_STOP_PENDING;
    return ServicePid(mvn::spooler::service::kReadyFile) == pid ? SERVICE_RUNNING : SERVICE_START_PENDING;
  }
  if (service->started && Alive(service->started)) return SERVICE_START_PENDING;
  service->started = 0;
  service->stopped = 0;
  return SERVICE_STOPPED;
}

void FillStatus(DWORD state, SERVICE_STATUS* status) {
  if (!status) return;
  *status = SERVICE_STATUS{};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = state;
  status->dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status->dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 1000 : 0;
}

ServiceObject* AsService(SC_HANDLE handle) {
  auto* service = static_cast<ServiceObject*>(handle);
  return service && service->magic == kServiceMagic ? service : nullptr;
}

std::string ServiceProgram() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char text[4096];
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
      text[size] = '\0';
      if (text[0]) return text;
    }
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  self[n] = '\0';
  std::string path(self);
  return path.substr(0, path.rfind('/') + 1) + "mvnspoold";
}

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR, DWORD) {
  if (mvn::spooler::CurrentPlatform() == mvn::spooler::Platform::Windows95) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  if (machineName && machineName[0]) {
    SetLastError(ERROR_INVALID_NAME);  // only the local machine
    return nullptr;
  }
  auto* manager = new ServiceObject;
  manager->magic = kManagerMagic;
  return manager;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD) {
  auto* owner = static_cast<ServiceObject*>(manager);
  if (!owner || owner->magic != kManagerMagic) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!serviceName || strcasecmp(serviceName, "Spooler") != 0) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  auto* service = new ServiceObject;
  service->magic = kServiceMagic;
  return service;
}

BOOL QueryServiceStatus(SC_HANDLE handle, SERVICE_STATUS* status) {
  ServiceObject* service = AsService(handle);
  if (!service || !status) {
    SetLastError(service ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  FillStatus(CurrentState(service), status);
  return TRUE;
}

BOOL ControlService(SC_HANDLE handle, DWORD control, SERVICE_STATUS* status) {
  ServiceObject* service = AsService(handle);
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
    SetLastError(ERROR_INVALID_SERVICE_CONTROL);
    return FALSE;
  }
  DWORD state = CurrentState(service);
  FillStatus(state, status);
  if (state == SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
  pid_t pid = ServicePid(mvn::spooler::service::kPidFile);
  if (!pid || kill(pid, SIGTERM) != 0) {
    SetLastError(pid ? ERROR_ACCESS_DENIED : ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  service->stopped = pid;
  FillStatus(SERVICE_STOP_PENDING, status);
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE handle, DWORD, LPCSTR*) {
  ServiceObject* service = AsService(handle);
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (CurrentState(service) != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  std::string program = ServiceProgram();
  if (program.empty() || access(program.c_str(), X_OK) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  // Root runs only a program of root's alone, named in full, on a machine
  // root of root's alone: whoever could change the file, a folder above it
  // or the registry naming it would otherwise run their program as root.
  if (geteuid() == 0) {
    std::string why;
    if (program[0] != '/') why = program + " is not a full path";
    bool refused = !why.empty() || !mvn::kernel::MachineRootIsRootsAlone(&why) ||
                   !mvn::kernel::RootsFile(program, &why);
    if (refused) {
      std::string line = "the spooler service " + program + " is not started as root: " + why + "\n";
      ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
      (void)ignored;
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  std::string log = mvn::spooler::service::RootPath("spool/mvnspoold.log", true);
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (child == 0) {
    // The service runs in a session of its own, not as the caller's child,
    // and holds none of the caller's descriptors (its output pipe above
    // all).
    setsid();
    pid_t service = fork();
    if (service != 0) {
      ssize_t ignored = write(channel[1], &service, sizeof service);
      (void)ignored;
      _exit(service < 0 ? 1 : 0);
    }
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int error = -1;
    // The log is opened only in a spool folder of the service's own user.
    std::string folder = log.substr(0, log.rfind('/'));
    struct stat st;
    if (!log.empty() && lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 022) == 0)
      error = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
    if (null < 0) _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(error >= 0 ? error : null, 2);
    closefrom(3);
    // The service keeps no folder of its caller's as its current one.
    if (chdir("/") != 0) _exit(127);
    char* argv[] = {program.data(), nullptr};
    execv(program.c_str(), argv);
    _exit(127);
  }
  close(channel[1]);
  pid_t started = 0;
  ssize_t got;
  do got = read(channel[0], &started, sizeof started);
  while (got < 0 && errno == EINTR);
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (got != sizeof started || started <= 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  service->started = started;
  service->stopped = 0;
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  auto* object = static_cast<ServiceObject*>(handle);
  if (!object || (object->magic != kServiceMagic && object->magic != kManagerMagic)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->magic = 0;
  delete object;
  return TRUE;
}
