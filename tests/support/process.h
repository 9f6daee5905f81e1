// Test helpers around processes: the one child-process runner of the tests
// (a program with extra environment, its output, a time limit), waiting for
// a condition, running a shell command for its output and exit code,
// counting a process's children.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/tempdir.h"

namespace mvntest {

// An environment value that removes the variable from the child's
// environment instead of setting it.
inline constexpr const char* kUnset = "\x01unset";

struct RunResult {
  int exitCode = -1;  // -1 when the child did not exit normally
  int signal = 0;     // the signal that ended it, if one did
  bool timedOut = false;
  std::string out, err;  // err stays empty when merged into out
};

struct RunOptions {
  // Added to this process's environment (kUnset removes a variable).
  std::map<std::string, std::string> env;
  std::string directory;     // the child's working directory; empty: ours
  int timeoutSeconds = 120;  // then the child is killed (SIGKILL)
  // >= 0 limits the size of every file the child writes (RLIMIT_FSIZE; a
  // write past it fails instead of ending the child).
  long fileSizeLimit = -1;
  bool mergeOutput = false;  // standard error into out, in order
};

// Runs argv[0] (searched along PATH when it has no "/") with argv, its
// standard input /dev/null, and waits for it.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = {});

// Run with env and the limits only.
RunResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     int timeoutSeconds = 120, long fileSizeLimit = -1);

// Run with env, standard output and error together appended to *output;
// the exit code (-1 when the child did not exit normally).
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
               std::string* output);

// A child process in a process group of its own, so that stopping it also
// stops whatever it started; for programs that run beside the test (a
// service, a launcher). Stopped (group killed, reaped) when the object goes,
// on every path out of a test.
class ChildProcess {
 public:
  struct Options {
    // Added to this process's environment (kUnset removes a variable).
    std::map<std::string, std::string> env;
    // Another user to run as (when uid differs from ours; needs root).
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::string directory;  // the current directory; empty: ours
    std::string output;     // standard output and error are appended here; empty: ours
  };

  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  bool Running() { return m_pid > 0 && !Exited(); }
  pid_t Pid() const { return m_pid; }
  // Sends signal to the process itself (not its group).
  void Signal(int signal) {
    if (m_pid > 0) kill(m_pid, signal);
  }

  // The exit code (128 + signal when killed), or -1 when it did not end in
  // time; it is then stopped.
  int Wait(std::chrono::milliseconds limit);
  // SIGTERM to the whole group, SIGKILL when it does not end in time; the
  // exit code as Wait gives it.
  int Stop();

 private:
  bool Exited();
  void Finish();

  pid_t m_pid = -1;
  int m_code = -1;
};

// Starts argv with its standard output and error into a pipe; the child's
// process id (-1 on failure) and the pipe's reading end in *outFd. The
// caller reads, then reaps the child with waitpid.
pid_t StartWithPipe(const std::vector<std::string>& argv, int* outFd);

// Polls done until it holds or limit has passed; whether it held.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs command through the shell and collects its standard output in
// *output; the exit code, or -1 when it could not run or did not exit.
inline int RunShell(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Children of parent: all, and those that are zombies.
inline void CountChildren(pid_t parent, int* zombies, int* children) {
  *zombies = *children = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string stat = ReadFile(std::string("/proc/") + entry->d_name + "/stat");
    std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state;
    long ppid;
    if (!(rest >> state >> ppid) || ppid != parent) continue;
    ++*children;
    if (state == 'Z') ++*zombies;
  }
  closedir(proc);
}

}  // namespace mvntest
