#include "tests/support/network.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

namespace mvntest {

namespace {
bool g_ready = false;
std::string g_reason = "the private network was not set up";

bool WriteText(const char* path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

int Spawn(const std::string& script, const std::vector<std::string>& arguments, int* outFd) {
  std::vector<std::string> words = {"/usr/bin/python3", ToolPath(script)};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return StartWithPipe(words, outFd);
}
}  // namespace

std::string ToolPath(const std::string& script) { return std::string(MVN_SOURCE_DIR) + "/tests/tools/" + script; }

bool EnterPrivateNetwork(std::string* reason) {
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWNET) != 0) {
    // Without the privilege: a user namespace of our own gives it.
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      *reason = std::string("cannot create a network namespace: ") + std::strerror(errno);
      return false;
    }
    WriteText("/proc/self/setgroups", "deny");
    WriteText("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    WriteText("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags |= IFF_UP;
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (fd >= 0) close(fd);
  if (!up) {
    *reason = std::string("cannot bring up the loopback interface: ") + std::strerror(errno);
    return false;
  }
  // The peers run as this user: let every user bind port 25 in this
  // namespace (the setting belongs to the namespace).
  if (!WriteText("/proc/sys/net/ipv4/ip_unprivileged_port_start", "0") && uid != 0) {
    *reason = "cannot open the low ports of the namespace to the peers";
    return false;
  }
  return true;
}

bool PrivateNetworkReady() { return g_ready; }
const std::string& PrivateNetworkReason() { return g_reason; }
void StartPrivateNetwork() {
  std::string reason;
  g_ready = EnterPrivateNetwork(&reason);
  g_reason = reason;
}

PeerProcess::PeerProcess(const std::string& script, const std::vector<std::string>& arguments) {
  int fd = -1;
  m_pid = Spawn(script, arguments, &fd);
  if (m_pid < 0) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd item{fd, POLLIN, 0};
    if (poll(&item, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    m_output.append(buffer, static_cast<std::size_t>(n));
    if (m_output.find("READY\n") != std::string::npos) {
      m_ready = true;
      break;
    }
  }
  close(fd);
}

PeerProcess::~PeerProcess() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  int status = 0;
  waitpid(m_pid, &status, 0);
}

int RunTool(const std::string& script, const std::vector<std::string>& arguments, std::string* output) {
  int fd = -1;
  int pid = Spawn(script, arguments, &fd);
  if (pid < 0) return -1;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<std::size_t>(n));
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace mvntest
