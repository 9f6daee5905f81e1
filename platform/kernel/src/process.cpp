// CreateProcessA: starts a program from a Windows-style command line with
// posix_spawn, never through a shell.
//
// Command line rules:
//   - Without an application name the program is the first token of the
//     command line. A token that begins with a double quote ends at the next
//     double quote. An unquoted one is found by the progressive search
//     Windows uses for "C:\Program Files\app.exe arg": the text up to the
//     first blank, then up to the second blank, ... and finally the whole
//     line are tried in turn, and the first that names an executable file is
//     the program.
//   - A program name without "/" or "\" is looked for in the calling
//     program's directory, the current directory, then the PATH entries; a
//     name with one is taken relative to the caller's current directory (not
//     the new process's). "\" counts as "/" in the program name.
//   - The words after the program become the arguments by the usual Windows
//     rules: blanks and tabs separate words outside double quotes; a double
//     quote opens or closes a quoted part; "" inside a quoted part is one
//     literal double quote; 2n backslashes before a double quote give n
//     backslashes and the quote acts as above, 2n+1 give n backslashes and a
//     literal double quote; other backslashes are literal.
//   - argv[0] of the new process is the program's token as written.
//   - With an application name, that file (relative to the current
//     directory, no search) is the program, and the command line, when
//     given, holds argv[0] and the arguments.
//
// The environment is the caller's, or the given "NAME=value\0...\0\0" block.
// The current directory is checked before the start. A start that fails is
// reported at once: ERROR_FILE_NOT_FOUND (no such program),
// ERROR_ACCESS_DENIED (found but not executable), ERROR_BAD_EXE_FORMAT (not
// a program the system can run), ERROR_DIRECTORY (bad current directory).
// The new process inherits standard input, output and error and no other
// descriptor, and starts with default signal handling and an empty signal
// mask. Handle inheritance, creation flags and the start-up information are
// accepted and not used.
//
// Reaping: every started process is waited for by one reaper thread (over
// process descriptors), so no zombie stays behind whether or not the caller
// keeps the process handle. The process and thread handles are objects of
// the handle table; closing them does not affect the process.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/handles.h"
#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

extern char** environ;

namespace mvn::kernel {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// ---------------------------------------------------------------------------
// Finding the program

enum class Lookup { Found, NotExecutable, Missing };

Lookup CheckExecutable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return Lookup::Missing;
  if (!S_ISREG(st.st_mode) || faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0)
    return Lookup::NotExecutable;
  return Lookup::Found;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  std::string result = cwd;
  if (result.back() != '/') result += '/';
  return result + path;
}

// Resolves a program name to an absolute path of an executable file.
Lookup FindProgram(const std::string& token, std::string* found) {
  std::string name = NativePath(token.c_str());
  if (name.empty()) return Lookup::Missing;
  if (name.find('/') != std::string::npos) {
    Lookup result = CheckExecutable(name);
    if (result == Lookup::Found) *found = Absolute(name);
    return result;
  }
  std::vector<std::string> directories;
  const std::string& program = ProgramPath();
  std::string::size_type slash = program.rfind('/');
  if (slash != std::string::npos) directories.push_back(program.substr(0, slash == 0 ? 1 : slash));
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd))) directories.push_back(cwd);
  if (const char* path = getenv("PATH")) {
    std::string list = path;
    std::string::size_type start = 0;
    for (;;) {
      std::string::size_type end = list.find(':', start);
      std::string entry = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!entry.empty()) directories.push_back(entry);
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  Lookup result = Lookup::Missing;
  for (const std::string& directory : directories) {
    std::string candidate = directory + (directory.back() == '/' ? "" : "/") + name;
    Lookup one = CheckExecutable(candidate);
    if (one == Lookup::Found) {
      *found = Absolute(candidate);
      return one;
    }
    if (one == Lookup::NotExecutable) result = one;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Splitting the command line

// The arguments of text by the Windows rules (see the top of the file).
void SplitArguments(const char* text, std::vector<std::string>* out) {
  const char* p = text;
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') return;
    std::string word;
    bool quoted = false;
    while (*p != '\0' && (quoted || !IsBlank(*p))) {
      if (*p == '\\') {
        size_t backslashes = 0;
        while (*p == '\\') {
          ++backslashes;
          ++p;
        }
        if (*p == '"') {
          word.append(backslashes / 2, '\\');
          if (backslashes % 2) {
            word += '"';
            ++p;
          }
          // else the quote is handled below as an opening or closing one
        } else {
          word.append(backslashes, '\\');
        }
        continue;
      }
      if (*p == '"') {
        if (quoted && p[1] == '"') {
          word += '"';
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
        continue;
      }
      word += *p++;
    }
    out->push_back(word);
  }
}

// argv[0] of a command line: up to the closing quote when it begins with
// one, else up to the first blank; no backslash rules. Returns the rest.
const char* SplitFirstToken(const char* text, std::string* token) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  if (*p == '"') {
    const char* end = std::strchr(p + 1, '"');
    if (!end) {
      *token = p + 1;
      return p + std::strlen(p);
    }
    token->assign(p + 1, end);
    return end + 1;
  }
  const char* end = p;
  while (*end && !IsBlank(*end)) ++end;
  token->assign(p, end);
  return end;
}

struct Plan {
  std::string program;  // absolute path
  std::vector<std::string> argv;
};

// Decides program and arguments; sets the last error on failure.
bool PlanStart(LPCSTR applicationName, LPCSTR commandLine, Plan* plan) {
  if (applicationName && *applicationName) {
    std::string program = NativePath(applicationName);
    Lookup result = CheckExecutable(program);
    if (result != Lookup::Found) {
      SetLastError(result == Lookup::Missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
      return false;
    }
    plan->program = Absolute(program);
    if (commandLine && *commandLine) {
      std::string first;
      const char* rest = SplitFirstToken(commandLine, &first);
      plan->argv.push_back(first);
      SplitArguments(rest, &plan->argv);
    } else {
      plan->argv.push_back(applicationName);
    }
    return true;
  }
  if (!commandLine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const char* line = commandLine;
  while (IsBlank(*line)) ++line;
  if (*line == '\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (*line == '"') {
    std::string token;
    const char* rest = SplitFirstToken(line, &token);
    Lookup result = FindProgram(token, &plan->program);
    if (result != Lookup::Found) {
      SetLastError(result == Lookup::Missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
      return false;
    }
    plan->argv.push_back(token);
    SplitArguments(rest, &plan->argv);
    return true;
  }
  // Progressive search: each blank ends a candidate, the whole line is the
  // last one.
  Lookup worst = Lookup::Missing;
  const char* end = line;
  for (;;) {
    while (*end && !IsBlank(*end)) ++end;
    std::string candidate(line, end);
    Lookup result = FindProgram(candidate, &plan->program);
    if (result == Lookup::Found) {
      plan->argv.push_back(candidate);
      SplitArguments(end, &plan->argv);
      return true;
    }
    if (result == Lookup::NotExecutable) worst = result;
    if (*end == '\0') break;
    while (IsBlank(*end)) ++end;
    if (*end == '\0') break;
  }
  SetLastError(worst == Lookup::Missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
  return false;
}

// ---------------------------------------------------------------------------
// Reaping

class Reaper;
Reaper& TheReaper();

// What the reaper learns about one started process, shared with its handles.
struct ProcessState {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  DWORD exitCode = 0;

  void Finish(const siginfo_t& info) {
    std::lock_guard<std::mutex> guard(mutex);
    done = true;
    // A program killed by a signal ends with 128 + the signal number.
    exitCode = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status)
                                          : static_cast<DWORD>(128 + info.si_status);
    ended.notify_all();
  }
};

// One thread waits for every process this process started. The set belongs
// to one process id: a child of fork() starts with an empty one.
class Reaper {
 public:
  Reaper() {
    // fork() while the reaper thread holds the lock must not leave the
    // child with a lock nobody will release.
    pthread_atfork([] { TheReaper().m_mutex.lock(); }, [] { TheReaper().m_mutex.unlock(); },
                   [] { TheReaper().m_mutex.unlock(); });
  }

  void Add(pid_t pid, std::shared_ptr<ProcessState> state) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    std::lock_guard<std::mutex> guard(m_mutex);
    ResetAfterFork();
    m_entries.push_back({pid, pidfd, std::move(state)});
    if (!m_started && m_wake >= 0) {
      try {
        std::thread(&Reaper::Run, this, m_owner, m_wake).detach();
        m_started = true;
      } catch (...) {
        // No thread: ended processes are collected at later starts instead.
      }
    }
    if (m_started) {
      std::uint64_t one = 1;
      ssize_t ignored = write(m_wake, &one, sizeof(one));
      (void)ignored;
    } else {
      CollectLocked();
    }
  }

 private:
  struct Entry {
    pid_t pid;
    int pidfd;  // -1 when the system gives no process descriptors
    std::shared_ptr<ProcessState> state;
  };

  void ResetAfterFork() {
    pid_t self = getpid();
    if (m_owner == self) return;
    for (Entry& entry : m_entries)
      if (entry.pidfd >= 0) close(entry.pidfd);
    m_entries.clear();
    if (m_wake >= 0) close(m_wake);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_owner = self;
    m_started = false;
  }

  // Reaps the processes that have ended and forgets them.
  void CollectLocked() {
    for (size_t i = 0; i < m_entries.size();) {
      Entry& entry = m_entries[i];
      siginfo_t info{};
      int rc = entry.pidfd >= 0
                   ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(entry.pidfd), &info, WEXITED | WNOHANG)
                   : waitid(P_PID, static_cast<id_t>(entry.pid), &info, WEXITED | WNOHANG);
      // ECHILD: reaped elsewhere (SIGCHLD ignored, or another waiter).
      bool done = (rc == 0 && info.si_pid != 0) || (rc != 0 && errno == ECHILD);
      if (done) {
        if (entry.state) entry.state->Finish(info);
        if (entry.pidfd >= 0) close(entry.pidfd);
        m_entries[i] = m_entries.back();
        m_entries.pop_back();
      } else {
        ++i;
      }
    }
  }

  void Run(pid_t owner, int wake) {
    std::vector<pollfd> fds;
    for (;;) {
      int timeout = -1;
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_owner != owner) return;
        fds.assign(1, pollfd{wake, POLLIN, 0});
        for (const Entry& entry : m_entries) {
          if (entry.pidfd >= 0)
            fds.push_back(pollfd{entry.pidfd, POLLIN, 0});
          else
            timeout = 100;  // no descriptor to wait on: look again soon
        }
      }
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) usleep(100 * 1000);
      if (fds[0].revents & POLLIN) {
        std::uint64_t count;
        ssize_t ignored = read(wake, &count, sizeof(count));
        (void)ignored;
      }
      std::lock_guard<std::mutex> guard(m_mutex);
      if (m_owner != owner) return;
      CollectLocked();
    }
  }

  std::mutex m_mutex;
  std::vector<Entry> m_entries;
  pid_t m_owner = 0;
  int m_wake = -1;
  bool m_started = false;
};

Reaper& TheReaper() {
  static Reaper* reaper = new Reaper;  // used by a detached thread: never destroyed
  return *reaper;
}

// Process and thread handles: they name the process; the reaper, not the
// handle, collects it.
class ProcessObject : public KernelObject {
 public:
  ProcessObject(pid_t pid, std::shared_ptr<ProcessState> state) : m_pid(pid), m_state(std::move(state)) {}
  pid_t Pid() const { return m_pid; }
  ProcessState& State() const { return *m_state; }

 private:
  pid_t m_pid;
  std::shared_ptr<ProcessState> m_state;
};

DWORD SpawnError(int err, const std::string& directory) {
  if (!directory.empty()) {
    struct stat st;
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
  }
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
    case ELIBBAD:
      return ERROR_BAD_EXE_FORMAT;
    default:
      return Win32ErrorFromErrno(err, nullptr);
  }
}

}  // namespace
}  // namespace mvn::kernel

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID environment, LPCSTR currentDirectory, STARTUPINFOA*,
                    PROCESS_INFORMATION* processInformation) {
  using namespace mvn::kernel;
  if (processInformation) std::memset(processInformation, 0, sizeof(*processInformation));

  std::string directory;
  if (currentDirectory && *currentDirectory) {
    directory = NativePath(currentDirectory);
    struct stat st;
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
  }

  Plan plan;
  if (!PlanStart(applicationName, commandLine, &plan)) return FALSE;

  std::vector<char*> argv;
  for (std::string& word : plan.argv) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<char*> envp;
  char** env = environ;
  if (environment) {
    for (char* p = static_cast<char*>(environment); *p; p += std::strlen(p) + 1) envp.push_back(p);
    envp.push_back(nullptr);
    env = envp.data();
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, plan.program.c_str(), &actions, &attributes, argv.data(), env);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    SetLastError(SpawnError(rc, directory));
    return FALSE;
  }

  auto state = std::make_shared<ProcessState>();
  TheReaper().Add(pid, state);

  if (processInformation) {
    processInformation->hProcess = mvn::HandleInsert(std::make_shared<ProcessObject>(pid, state));
    processInformation->hThread = mvn::HandleInsert(std::make_shared<ProcessObject>(pid, state));
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  using namespace mvn::kernel;
  auto process = mvn::HandleGetAs<ProcessObject>(object);
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  ProcessState& state = process->State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (milliseconds == INFINITE) state.ended.wait(lock, [&] { return state.done; });
  else state.ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return state.done; });
  return state.done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  using namespace mvn::kernel;
  auto object = mvn::HandleGetAs<ProcessObject>(process);
  if (!object || !exitCode) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ProcessState& state = object->State();
  std::lock_guard<std::mutex> guard(state.mutex);
  *exitCode = state.done ? state.exitCode : STILL_ACTIVE;
  return TRUE;
}
