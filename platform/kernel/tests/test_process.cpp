// CreateProcessA: command-line splitting, the program search, start
// failures reported at once, the current directory, and reaping. The
// programs started are small shell scripts that write what they got into a
// file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace {

using namespace std::chrono_literals;
using mvntest::WaitFor;

class CreateProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_out = m_dir / "out";
    // Writes "<pid>|<cwd>|[arg]..." as one line.
    m_script = MakeScript("record", "line=\"$$|$(pwd)|\"\n"
                                    "for a in \"$@\"; do line=\"$line[$a]\"; done\n"
                                    "printf '%s\\n' \"$line\" >> '" + m_out + "'\n");
  }

  std::string MakeScript(const std::string& name, const std::string& body, mode_t mode = 0755) {
    std::string path = m_dir / name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    mvntest::WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), mode);
    return path;
  }

  // Starts the command line; TRUE/FALSE and the last error.
  BOOL Start(const std::string& commandLine, const char* directory = nullptr, const char* application = nullptr,
             PROCESS_INFORMATION* info = nullptr) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION local{};
    PROCESS_INFORMATION* pi = info ? info : &local;
    BOOL ok = CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, 0x800, nullptr, directory, &startup, pi);
    if (ok && !info) {
      CloseHandle(pi->hProcess);
      CloseHandle(pi->hThread);
    }
    return ok;
  }

  // The line the n-th started script wrote (waiting for it), without the
  // pid the recording script puts first.
  std::string Output(size_t n = 1) {
    std::vector<std::string> lines;
    WaitFor([&] {
      lines.clear();
      std::ifstream in(m_out);
      for (std::string l; std::getline(in, l);) lines.push_back(l);
      return lines.size() >= n;
    });
    if (lines.size() < n) return "<nothing>";
    std::string line = lines[n - 1];
    std::string::size_type bar = line.find('|');
    return bar == std::string::npos ? line : line.substr(bar + 1);
  }

  mvntest::TempDir m_dir;
  std::string m_out, m_script;
};

TEST_F(CreateProcessTest, ArgumentsFollowTheWindowsRules) {
  struct Case {
    std::string tail, expected;
  } cases[] = {
      {"a b", "[a][b]"},
      {"  a \t b  ", "[a][b]"},
      {"\"a b\" c", "[a b][c]"},
      {"a\"b c\"d", "[ab cd]"},
      {"\"\"", "[]"},
      {"a\\b c\\\\d", "[a\\b][c\\\\d]"},        // backslashes not before a quote stay
      {"a\\\"b", "[a\"b]"},                     // \" is a quote
      {"\"a\\\\\" b", "[a\\][b]"},              // \\" is a backslash, then the closing quote
      {"a\\\\\\\"b", "[a\\\"b]"},               // \\\" is a backslash and a quote
      {"\"he said \"\"hi\"\"\"", "[he said \"hi\"]"},  // "" inside quotes
      {"'single quotes' stay", "['single][quotes'][stay]"},
      {"$HOME;|&>x", "[$HOME;|&>x]"},           // no shell in between
  };
  size_t n = 0;
  for (const Case& c : cases) {
    ASSERT_TRUE(Start(m_script + " " + c.tail)) << c.tail << " error " << GetLastError();
    EXPECT_EQ(Output(++n), std::filesystem::current_path().string() + "|" + c.expected) << c.tail;
  }
}

TEST_F(CreateProcessTest, UnquotedProgramWithBlanksIsFoundByProgressiveSearch) {
  std::string viewer = MakeScript("My Apps/viewer", "echo \"$@\" >> '" + m_out + "'\n");
  // "<dir>/My" exists but is no program: the search goes on.
  mvntest::WriteFile(m_dir / "My", "not a program");
  ASSERT_TRUE(Start(viewer + " first arg")) << GetLastError();
  EXPECT_EQ(Output(1), "first arg");
  // Quoted, it is found without the search.
  ASSERT_TRUE(Start("\"" + viewer + "\" quoted")) << GetLastError();
  EXPECT_EQ(Output(2), "quoted");
  // The shortest candidate that is a program wins: "<dir>/My Apps/viewer"
  // is a program, so "extra" is an argument even if "viewer extra" existed.
  MakeScript("My Apps/viewer extra", "echo wrong >> '" + m_out + "'\n");
  ASSERT_TRUE(Start(viewer + " extra")) << GetLastError();
  EXPECT_EQ(Output(3), "extra");
}

TEST_F(CreateProcessTest, ApplicationNameIsTheProgramAndTheLineGivesArgv) {
  std::string program = MakeScript("with blank/app", "echo \"$@\" >> '" + m_out + "'\n");
  ASSERT_TRUE(Start("app x \"y z\"", nullptr, program.c_str())) << GetLastError();
  EXPECT_EQ(Output(1), "x y z");
  ASSERT_TRUE(Start("\"quoted argv0\" q", nullptr, program.c_str())) << GetLastError();
  EXPECT_EQ(Output(2), "q");
}

TEST_F(CreateProcessTest, ProgramNamesWithoutPathAreSearchedAlongPath) {
  const char* saved = std::getenv("PATH");
  std::string old = saved ? saved : "";
  setenv("PATH", (m_dir.str() + ":" + old).c_str(), 1);
  BOOL ok = Start("record from-path");
  setenv("PATH", old.c_str(), 1);
  ASSERT_TRUE(ok) << GetLastError();
  EXPECT_EQ(Output(), std::filesystem::current_path().string() + "|[from-path]");
}

TEST_F(CreateProcessTest, StartFailuresAreReportedAtOnce) {
  std::string plain = m_dir / "plain.txt";
  mvntest::WriteFile(plain, "text");
  std::string garbage = m_dir / "garbage";
  mvntest::WriteFile(garbage, std::string("\x01\x02\x03 not a program"));
  chmod(garbage.c_str(), 0755);
  std::filesystem::create_directories(m_dir / "adir");
  struct Case {
    std::string line;
    const char* directory;
    DWORD error;
  } cases[] = {
      {m_dir / "missing arg", nullptr, ERROR_FILE_NOT_FOUND},
      {"no-such-program-anywhere x", nullptr, ERROR_FILE_NOT_FOUND},
      {std::string(1, '"').append(m_dir / "missing").append(1, '"'), nullptr, ERROR_FILE_NOT_FOUND},
      {m_dir / "adir", nullptr, ERROR_FILE_NOT_FOUND},
      {"", nullptr, ERROR_FILE_NOT_FOUND},
      {"   ", nullptr, ERROR_FILE_NOT_FOUND},
      {plain + " x", nullptr, ERROR_ACCESS_DENIED},
      {garbage, nullptr, ERROR_BAD_EXE_FORMAT},
      {m_script, "/no/such/dir", ERROR_DIRECTORY},
      {m_script, plain.c_str(), ERROR_DIRECTORY},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(Start(c.line, c.directory)) << c.line;
    EXPECT_EQ(GetLastError(), c.error) << c.line;
  }
  PROCESS_INFORMATION info{};
  STARTUPINFOA startup{};
  EXPECT_FALSE(CreateProcessA(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_FALSE(CreateProcessA(plain.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(CreateProcessTest, CurrentDirectoryIsAppliedButProgramPathsStayTheCallers) {
  std::filesystem::create_directories(m_dir / "work");
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(chdir(m_dir.str().c_str()), 0);
  // "./record" names the caller's file, not one in the new directory.
  BOOL ok = Start("./record here", (m_dir / "work").c_str());
  DWORD error = GetLastError();
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(Output(), (m_dir / "work") + "|[here]");
  // "\" counts as "/" in the program and the directory.
  std::string backslashed = m_script;
  for (char& c : backslashed)
    if (c == '/') c = '\\';
  std::string dir = m_dir / "work";
  for (char& c : dir)
    if (c == '/') c = '\\';
  ASSERT_TRUE(Start(backslashed + " b", dir.c_str())) << GetLastError();
  EXPECT_EQ(Output(2), (m_dir / "work") + "|[b]");
}

TEST_F(CreateProcessTest, ChildGetsEnvironmentAndNoOtherDescriptors) {
  int leaked = open(m_out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);  // without close-on-exec
  ASSERT_GE(leaked, 3);
  setenv("MVN_PROCESS_TEST", "inherited value", 1);
  std::string probe = MakeScript("probe", "if [ -e /proc/$$/fd/" + std::to_string(leaked) +
                                              " ]; then fd=open; else fd=closed; fi\n"
                                              "echo \"$MVN_PROCESS_TEST $fd\" >> '" + m_out + "'\n");
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(Start(probe, nullptr, nullptr, &info)) << GetLastError();
  unsetenv("MVN_PROCESS_TEST");
  close(leaked);
  EXPECT_EQ(Output(), "inherited value closed");
  EXPECT_GT(info.dwProcessId, 0u);
  EXPECT_NE(info.hProcess, nullptr);
  EXPECT_NE(info.hThread, nullptr);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));
}

TEST_F(CreateProcessTest, EveryChildIsReaped) {
  std::string quick = MakeScript("quick", "exit 3\n");
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(Start(quick)) << "start " << i << ": error " << GetLastError();
  // Handles kept open do not keep zombies either.
  PROCESS_INFORMATION kept{};
  ASSERT_TRUE(Start(quick, nullptr, nullptr, &kept)) << GetLastError();
  // A loaded machine may take long to run 201 shells; the deadline only
  // bounds a reaper that never comes.
  int zombies = 0, children = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        mvntest::CountChildren(getpid(), &zombies, &children);
        return children == 0;
      },
      std::chrono::seconds(60)))
      << zombies << " zombies of " << children << " children";
  CloseHandle(kept.hProcess);
  CloseHandle(kept.hThread);
}

TEST_F(CreateProcessTest, WaitingGivesTheExitCode) {
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(Start(MakeScript("slow", "sleep 0.3\nexit 5\n"), nullptr, nullptr, &info));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 10), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(info.hThread, &code));
  EXPECT_EQ(code, 5u);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  PROCESS_INFORMATION killed{};
  ASSERT_TRUE(Start(MakeScript("killed", "kill -9 $$\n"), nullptr, nullptr, &killed));
  EXPECT_EQ(WaitForSingleObject(killed.hProcess, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(killed.hProcess, &code));
  EXPECT_EQ(code, 128u + 9u);
  CloseHandle(killed.hProcess);
  CloseHandle(killed.hThread);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(12345), 0), WAIT_FAILED);
}

}  // namespace
