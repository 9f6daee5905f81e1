// Test helpers around processes: waiting for a condition, running a shell
// command for its output and exit code, counting a process's children.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/tempdir.h"

namespace mvntest {

// Polls done until it holds or limit has passed; whether it held.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
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
