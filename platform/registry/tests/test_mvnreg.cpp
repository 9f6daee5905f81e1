// mvnreg run as a real process on this binary's root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
      {{"set", key, "X", "dword", "4294967296"}, 1, "not a number"},
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

}  // namespace
