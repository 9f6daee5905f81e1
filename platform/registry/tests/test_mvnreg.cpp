// mvnreg run as a real process on this binary's root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace {

struct ToolRun {
  int exit = -1;
  std::string out;
  std::string err;
};

ToolRun Mvnreg(const std::vector<std::string>& args) {
  std::vector<std::string> argv{MVNREG_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  mvntest::RunResult result = mvntest::Run(argv);
  return {result.exitCode, result.out, result.err};
}

class MvnregTool : public ::testing::Test {
 protected:
  mvntest::TestRoot m_root;
};

TEST_F(MvnregTool, SetGetListExport) {
  const std::string port = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor\\MVN1";
  struct Step {
    std::vector<std::string> args;
    int exit;
    std::string out;
  } steps[] = {
      {{"set", port, "OutputDirectory", "sz", "/var/spool/fax"}, 0, ""},
      {{"set", port, "Launch", "SZ", "1"}, 0, ""},
      {{"set", port, "Path", "expand_sz", "%TEMP%\\x\ty"}, 0, ""},
      {{"set", port, "Retries", "dword", "0x10"}, 0, ""},
      {{"set", port, "Names", "multi_sz", "first", "second"}, 0, ""},
      {{"set", port, "Blob", "binary", "00ff", "10 20"}, 0, ""},
      {{"set", port, "", "sz", "default"}, 0, ""},
      {{"set", port + "\\Sub", "a=b", "dword", "7"}, 0, ""},
      {{"get", "HKEY_LOCAL_MACHINE\\system\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor\\mvn1",
        "launch"},
       0,
       "1\n"},
      {{"get", port, "Retries"}, 0, "16\n"},
      {{"get", port, "Names"}, 0, "first\nsecond\n"},
      {{"get", port, "Blob"}, 0, "00ff1020\n"},
      {{"get", port, ""}, 0, "default\n"},
      {{"list", port},
       0,
       "Sub\\\n@=sz:default\nBlob=binary:00ff1020\nLaunch=sz:1\nNames=multi_sz:first\\0second\n"
       "OutputDirectory=sz:/var/spool/fax\nPath=expand_sz:%TEMP%\\\\x\\ty\nRetries=dword:16\n"},
      {{"export", port},
       0,
       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor\\MVN1]\n"
       "@=sz:default\nBlob=binary:00ff1020\nLaunch=sz:1\nNames=multi_sz:first\\0second\n"
       "OutputDirectory=sz:/var/spool/fax\nPath=expand_sz:%TEMP%\\\\x\\ty\nRetries=dword:16\n\n"
       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor\\MVN1\\Sub]\n"
       "a\\=b=dword:7\n\n"},
      {{"delete", port, "Launch"}, 0, ""},
      {{"get", port, "Launch"}, 1, ""},
      {{"delete", port}, 1, ""},  // has a subkey
      {{"delete", "-r", port}, 0, ""},
      {{"list", port}, 1, ""},
      {{"list", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Morvane Port Monitor"}, 0, ""},
  };
  for (const Step& step : steps) {
    std::string line;
    for (const std::string& a : step.args) line += " " + a;
    ToolRun run = Mvnreg(step.args);
    EXPECT_EQ(run.exit, step.exit) << line << "\n" << run.err;
    EXPECT_EQ(run.out, step.out) << line;
    if (step.exit) {
      EXPECT_EQ(run.err.rfind("mvnreg: ", 0), 0u) << line << ": " << run.err;
    }
  }

  // What the tool wrote is what the calls see.
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors", 0, KEY_READ,
                          &key),
            ERROR_SUCCESS);
  char name[64];
  EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Morvane Port Monitor");
  RegCloseKey(key);
}

TEST_F(MvnregTool, FailuresAndUsage) {
  const std::string key = "HKCU\\SOFTWARE\\Morvane International\\MVNSEND";
  ASSERT_EQ(Mvnreg({"set", key, "UserId", "sz", "jdoe"}).exit, 0);
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* message;  // part of stderr
  } cases[] = {
      {{"get", key, "Nope"}, 1, "value not found"},
      {{"get", "HKCU\\SOFTWARE\\Nowhere", "UserId"}, 1, "key not found"},
      {{"set", key, "X", "string", "a"}, 1, "unknown type"},
      {{"set", key, "X", "dword", "12z"}, 1, "not a number"},
      {{"set", key, "X", "dword", "4294967296"}, 1, "out of range for dword"},
      {{"set", key, "X", "binary", "abc"}, 1, "not hex"},
      {{"list", "HKXX\\SOFTWARE"}, 1, "unknown root key"},
      {{"delete", "HKCU"}, 1, "root key"},
      {{"delete", key, "Nope"}, 1, "value not found"},
      {{}, 2, "usage:"},
      {{"frobnicate", key}, 2, "usage:"},
      {{"get", key}, 2, "usage:"},
      {{"set", key, "X", "sz"}, 2, "usage:"},
      {{"set", key, "X", "sz", "a", "b"}, 2, "usage:"},
      {{"delete", "-r", key, "UserId"}, 2, "usage:"},
      {{"list", "-x", key}, 2, "usage:"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += " " + a;
    ToolRun run = Mvnreg(c.args);
    EXPECT_EQ(run.exit, c.exit) << line;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << line << ": " << run.err;
    EXPECT_EQ(run.out, "") << line;
  }
  ToolRun run = Mvnreg({"get", "hkey_current_user\\software\\morvane international\\mvnsend", "userid"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "jdoe\n");
  EXPECT_EQ(Mvnreg({"--help"}).exit, 0);
}

// Tools in two processes writing one hive at once: every value arrives.
TEST_F(MvnregTool, ParallelProcessesWriteOneHive) {
  constexpr int kEach = 12;
  std::vector<pid_t> runners;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (Mvnreg({"set", "HKLM\\SOFTWARE\\Parallel", name, "sz", name}).exit != 0) _exit(1);
      }
      _exit(0);
    }
    runners.push_back(pid);
  }
  for (pid_t pid : runners) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ToolRun run = Mvnreg({"list", "HKLM\\SOFTWARE\\Parallel"});
  ASSERT_EQ(run.exit, 0);
  size_t lines = 0;
  for (char c : run.out) lines += c == '\n';
  EXPECT_EQ(lines, 2u * kEach) << run.out;
}

constexpr uid_t kOtherUser = 60001;

// mvnreg run as the other user.
ToolRun MvnregAsOther(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"setpriv", "--reuid=60001", "--regid=60001", "--clear-groups", MVNREG_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  mvntest::RunOptions options;
  options.timeoutSeconds = 20;
  mvntest::RunResult result = mvntest::Run(argv, options);
  return {result.exitCode, result.out, result.err};
}

// A process of user (root or the other user) that opens file read-only and holds a read
// lock on byte 120 (where a reader of a WAL database marks itself in the
// -shm file) or, with offset -1, on the whole file. It answers "locked",
// "refused <errno>" or "nolock <errno>" and, once locked, holds the lock
// until it is killed (60 s at most).
class OtherUsersLock {
 public:
  OtherUsersLock(const std::string& file, off_t offset, uid_t user = kOtherUser) {
    int fds[2];
    if (pipe(fds) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(fds[0]);
      const gid_t gid = user;
      if (user != geteuid() &&
          (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(user, user, user) != 0)) {
        _exit(2);
      }
      std::string answer;
      const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK);
      struct flock lock = {};
      lock.l_type = F_RDLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = offset < 0 ? 0 : offset;
      lock.l_len = offset < 0 ? 0 : 1;
      if (fd < 0) {
        answer = "refused " + std::to_string(errno);
      } else if (fcntl(fd, F_SETLK, &lock) != 0) {
        answer = "nolock " + std::to_string(errno);
      } else {
        answer = "locked";
      }
      if (write(fds[1], answer.data(), answer.size()) < 0) _exit(3);
      close(fds[1]);
      alarm(60);
      for (;;) pause();
    }
    close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    if (m_pid > 0 && poll(&ready, 1, 10000) == 1) {
      char buffer[64];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n > 0) m_answer.assign(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
  }
  ~OtherUsersLock() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  OtherUsersLock(const OtherUsersLock&) = delete;
  OtherUsersLock& operator=(const OtherUsersLock&) = delete;
  const std::string& Answer() const { return m_answer; }

 private:
  pid_t m_pid = -1;
  std::string m_answer;
};

// The machine hive is root's alone: another user can neither open it nor
// its journal files, so no lock of theirs can hold up root; they read the
// copy root publishes after each write, and a lock on that holds up nothing.
TEST_F(MvnregTool, NoUserLockHoldsUpRootsWritesToTheMachineHive) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(chmod(m_root.str().c_str(), 0755), 0);
  const std::string key = "HKLM\\SOFTWARE\\Shared";
  ASSERT_EQ(Mvnreg({"set", key, "Value", "sz", "first"}).exit, 0);
  // Files an older version left readable by everybody are narrowed when
  // root next opens the hive.
  for (const char* name : {"HKLM.db", "HKLM.db-wal", "HKLM.db-shm"}) chmod((m_root / "registry/" + name).c_str(), 0644);
  ASSERT_EQ(Mvnreg({"get", key, "Value"}).out, "first\n");
  struct Case {
    const char* file;
    int mode;
  } files[] = {{"HKLM.db", 0600}, {"HKLM.db-wal", 0600}, {"HKLM.db-shm", 0600}, {"HKLM.copy.db", 0644}};
  for (const Case& c : files) {
    struct stat st;
    if (lstat((m_root / "registry/" + c.file).c_str(), &st) != 0) {
      ADD_FAILURE() << c.file << " is missing";
      continue;
    }
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(c.mode)) << c.file;
    EXPECT_EQ(st.st_uid, 0u) << c.file;
  }
  EXPECT_EQ(MvnregAsOther({"get", key, "Value"}).out, "first\n");

  struct Attack {
    const char* file;
    off_t offset;
    const char* answer;  // what the other user gets
  } attacks[] = {
      {"HKLM.db-shm", 120, "refused 13"},
      {"HKLM.db", 0, "refused 13"},
      {"HKLM.copy.db", -1, "locked"},  // the copy is theirs to read, and to lock in vain
  };
  int round = 0;
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.file);
    OtherUsersLock lock(m_root / "registry/" + attack.file, attack.offset);
    EXPECT_EQ(lock.Answer(), attack.answer);
    const std::string value = "v" + std::to_string(++round);
    const auto start = std::chrono::steady_clock::now();
    ToolRun set = Mvnreg({"set", key, "Value", "sz", value});
    EXPECT_EQ(set.exit, 0) << set.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ToolRun get = MvnregAsOther({"get", key, "Value"});
    EXPECT_EQ(get.exit, 0) << get.err;
    EXPECT_EQ(get.out, value + "\n");
    EXPECT_EQ(MvnregAsOther({"set", key, "Value", "sz", "theirs"}).exit, 1);
  }
  EXPECT_EQ(Mvnreg({"get", key, "Value"}).out, "v3\n");
}

// A wait on the hive's lock is bounded and says what it waited for, not that
// the hive is damaged: here a process of the hive's own user holds the lock
// byte of the WAL index that every writer needs.
TEST_F(MvnregTool, AWaitForTheHiveEndsAndNamesIt) {
  const std::string key = "HKLM\\SOFTWARE\\Waited";
  ASSERT_EQ(Mvnreg({"set", key, "Value", "sz", "first"}).exit, 0);
  const std::string hive = m_root / "registry/HKLM.db";
  OtherUsersLock lock(hive + "-shm", 120, geteuid());
  ASSERT_EQ(lock.Answer(), "locked");
  const auto start = std::chrono::steady_clock::now();
  ToolRun set = Mvnreg({"set", key, "Value", "sz", "second"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(set.exit, 1);
  EXPECT_NE(set.err.find("waiting for another process to release its lock on " + hive),
            std::string::npos)
      << set.err;
  EXPECT_NE(set.err.find("registry busy"), std::string::npos) << set.err;
  EXPECT_LT(waited, std::chrono::seconds(40));
}

}  // namespace
