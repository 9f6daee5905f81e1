// Helpers of the framework tests.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace fwtest {

// A uid no account uses.
constexpr uid_t kStranger = 64123;

// Runs body in a child process under the stranger's uid and gid; the
// child's exit code (body's result, 0..255), or -1.
inline int AsStranger(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(kStranger) != 0 || setuid(kStranger) != 0) _exit(254);
    _exit(body() & 0xFF);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace fwtest
