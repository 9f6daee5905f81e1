// Environment, command line, program module, message boxes, critical
// sections, clocks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

TEST(Environment, Variables) {
  EXPECT_TRUE(SetEnvironmentVariableA("MVN_TEST_VAR", "value"));
  char buffer[64];
  EXPECT_EQ(GetEnvironmentVariableA("MVN_TEST_VAR", buffer, sizeof buffer), 5u);
  EXPECT_STREQ(buffer, "value");
  EXPECT_EQ(GetEnvironmentVariableA("mvn_test_var", buffer, sizeof buffer), 5u);  // names without case
  EXPECT_EQ(GetEnvironmentVariableA("MVN_TEST_VAR", buffer, 3), 6u);               // size needed
  bool found = false;
  char* block = GetEnvironmentStringsA();
  for (char* entry = block; *entry; entry += std::strlen(entry) + 1) {
    if (std::strcmp(entry, "MVN_TEST_VAR=value") == 0) found = true;
  }
  EXPECT_TRUE(FreeEnvironmentStringsA(block));
  EXPECT_TRUE(found);
  EXPECT_TRUE(SetEnvironmentVariableA("MVN_TEST_VAR", nullptr));
  EXPECT_EQ(GetEnvironmentVariableA("MVN_TEST_VAR", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
  EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
}

// Runs the probe with the arguments and returns what it prints.
std::string RunProbe(std::vector<std::string> arguments) {
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(MVN_KERNEL_PROBE, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<std::size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return output;
}

TEST(Environment, CommandLineOfAChild) {
  std::string probe = std::filesystem::canonical(MVN_KERNEL_PROBE).string();
  // Word 0 is the real program path, whatever argv[0] said.
  EXPECT_EQ(RunProbe({"anything", "cmdline", "a b", "", "plain", "tab\there", "say \"hi\""}),
            probe + " cmdline \"a b\" \"\" plain \"tab\there\" \"say hi\"\n");
  EXPECT_EQ(RunProbe({"x", "cmdline"}), probe + " cmdline\n");
}

TEST(Environment, ProgramModuleAndIds) {
  HMODULE program = GetModuleHandleA(nullptr);
  EXPECT_NE(program, nullptr);
  std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  EXPECT_EQ(GetModuleHandleA(std::filesystem::path(exe).filename().c_str()), program);
  EXPECT_EQ(GetModuleHandleA("no_such_module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  char path[4096];
  EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), exe.size());
  EXPECT_EQ(std::string(path), exe);
  char small[5];
  EXPECT_EQ(GetModuleFileNameA(program, small, sizeof small), 5u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), exe.substr(0, 4));

  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
  DWORD other = GetCurrentThreadId();
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, GetCurrentThreadId());
  DWORD size = 1;
  EXPECT_FALSE(GetUserNameA(path, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  size = sizeof path;
  EXPECT_TRUE(GetUserNameA(path, &size));
  EXPECT_EQ(size, std::strlen(path) + 1);
}

TEST(Environment, Clocks) {
  DWORD start = GetTickCount();
  Sleep(30);
  EXPECT_GE(GetTickCount() - start, 29u);
  SYSTEMTIME utc, local;
  GetSystemTime(&utc);
  GetLocalTime(&local);
  EXPECT_GE(utc.wYear, 2024);
  EXPECT_LE(utc.wMonth, 12);
  EXPECT_LE(utc.wDayOfWeek, 6);
  EXPECT_LT(utc.wMilliseconds, 1000);
  EXPECT_EQ(local.wMinute % 15, utc.wMinute % 15);  // time zones differ by quarter hours
}

TEST(CriticalSection, IsRecursiveAndExcludesOthers) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);  // the owner may enter again
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        EnterCriticalSection(&section);
        long value = counter;
        counter = value + 1;
        LeaveCriticalSection(&section);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 40000);
  DeleteCriticalSection(&section);
}

TEST(MessageBox, DefaultButtonsAndLogLine) {
  mvntest::TempDir dir;
  std::string log = dir / "boxes.log";
  setenv("MVN_MESSAGEBOX_LOG", log.c_str(), 1);
  struct Case {
    UINT type;
    int result;
  } cases[] = {
      {MB_OK, IDOK},
      {MB_OKCANCEL, IDOK},
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION, IDYES},
      {MB_YESNO | MB_DEFBUTTON2, IDNO},
      {MB_YESNOCANCEL, IDYES},
      {MB_YESNOCANCEL | MB_DEFBUTTON2, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_RETRYCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_OK | MB_DEFBUTTON3, IDOK},
  };
  testing::internal::CaptureStderr();
  for (const Case& c : cases) EXPECT_EQ(MessageBoxA(nullptr, "t", "c", c.type), c.result) << c.type;
  EXPECT_EQ(MessageBoxA(nullptr, "first|second\nthird\r\nfourth", "mvncsend", MB_OK), IDOK);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("MVN_MESSAGEBOX_LOG");
  std::string line = "mvncsend: first / second / third / fourth\n";
  EXPECT_NE(err.find(line), std::string::npos) << err;
  std::string logged = mvntest::ReadFile(log);
  EXPECT_EQ(logged.substr(logged.size() - line.size()), line);
  EXPECT_EQ(logged.rfind("c: t\n", 0), 0u);

  SetMessageBoxBackend([](HWND, LPCSTR, LPCSTR, UINT) { return IDNO; });
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_YESNO), IDNO);
  SetMessageBoxBackend(nullptr);
}

}  // namespace
