#include "tests/support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace mvntest {

namespace {

std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq) continue;
    merged[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : env) {
    if (value == kUnset)
      merged.erase(name);
    else
      merged[name] = value;
  }
  std::vector<std::string> text;
  for (const auto& [name, value] : merged) text.push_back(name + "=" + value);
  return text;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  if (argv.empty()) return result;
  TempDir capture;
  std::string outPath = capture / "stdout";
  std::string errPath = capture / "stderr";
  std::vector<std::string> envText = ChildEnvironment(options.env);
  std::vector<std::string> argText = argv;
  std::vector<char*> envp = Pointers(envText), args = Pointers(argText);

  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = options.mergeOutput ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(127);
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options.fileSizeLimit >= 0) {
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);
    }
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (pid < 0) return result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return result;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = ReadFile(outPath);
  if (!options.mergeOutput) result.err = ReadFile(errPath);
  return result;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     int timeoutSeconds, long fileSizeLimit) {
  RunOptions options;
  options.env = env;
  options.timeoutSeconds = timeoutSeconds;
  options.fileSizeLimit = fileSizeLimit;
  return Run(argv, options);
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
               std::string* output) {
  RunOptions options;
  for (const auto& [name, value] : env) options.env[name] = value;
  options.mergeOutput = true;
  RunResult result = Run(argv, options);
  output->append(result.out);
  return result.exitCode;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) return;
  std::vector<std::string> envText = ChildEnvironment(options.env);
  std::vector<std::string> argText = argv;
  std::vector<char*> envp = Pointers(envText), args = Pointers(argText);
  m_pid = fork();
  if (m_pid == 0) {
    setpgid(0, 0);
    if (!options.output.empty()) {
      int out = open(options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(120);
    if (options.uid != static_cast<uid_t>(-1) && options.uid != geteuid()) {
      if (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 || setuid(options.uid) != 0) _exit(121);
    }
    execve(args[0], args.data(), envp.data());
    _exit(122);
  }
  if (m_pid > 0) setpgid(m_pid, m_pid);  // either side may come first
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
  if (m_pid <= 0) return m_code;
  if (!WaitFor([&] { return Exited(); }, limit)) {
    Stop();
    return -1;
  }
  Finish();
  return m_code;
}

int ChildProcess::Stop() {
  if (m_pid <= 0) return m_code;
  if (!Exited()) {
    kill(-m_pid, SIGTERM);
    if (!WaitFor([&] { return Exited(); }, std::chrono::seconds(10))) {
      kill(-m_pid, SIGKILL);
      WaitFor([&] { return Exited(); }, std::chrono::seconds(10));
    }
  }
  Finish();
  return m_code;
}

// Whether the process has ended; it stays unreaped, so its process group
// cannot be taken by anybody else before Finish.
bool ChildProcess::Exited() {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != m_pid)
    return false;
  m_code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  return true;
}

// Ends whatever the process left running in its group, then reaps it.
void ChildProcess::Finish() {
  kill(-m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

pid_t StartWithPipe(const std::vector<std::string>& argv, int* outFd) {
  int pipeFds[2];
  if (argv.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> words = argv;
  std::vector<char*> args = Pointers(words);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return -1;
  }
  *outFd = pipeFds[0];
  return pid;
}

}  // namespace mvntest
