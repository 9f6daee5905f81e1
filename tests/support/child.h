// Test support: a test body run in a child process, as the process's own
// user or as a uid no account uses (for access-denied cases; the tests run
// as root).
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/tempdir.h"

namespace mvntest {

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

// A private ODBC data source "Books": an SQLite database in dir behind
// Debian's SQLite ODBC driver, defined through ODBCSYSINI/ODBCINI and a HOME
// of its own for as long as the object lives.
class OdbcTestSource {
 public:
  explicit OdbcTestSource(const std::string& dir) {
    for (const char* p : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so",
                          "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/odbc/libsqlite3odbc.so"})
      if (std::filesystem::exists(p)) m_driver = p;
    if (m_driver.empty()) return;
    mvntest::WriteFile(dir + "/odbcinst.ini", "[SQLite3]\nDriver=" + m_driver + "\n");
    mvntest::WriteFile(dir + "/odbc.ini", "[Books]\nDriver=SQLite3\nDatabase=" + dir + "/books.db\n");
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    m_home = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", dir.c_str(), 1);
  }
  ~OdbcTestSource() {
    if (m_driver.empty()) return;
    unsetenv("ODBCSYSINI");
    unsetenv("ODBCINI");
    setenv("HOME", m_home.c_str(), 1);
  }
  bool Available() const { return !m_driver.empty(); }

 private:
  std::string m_driver;
  std::string m_home;
};

// Runs body (with its gtest checks) in a child process and tells whether
// it passed. The ODBC driver manager and driver keep memory of their own
// until the process ends, which the leak checker would report: the child
// ends without the exit-time checks.
inline bool InChild(const std::function<void()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    body();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace mvntest
