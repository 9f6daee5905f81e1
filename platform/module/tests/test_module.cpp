// LoadLibraryA, GetProcAddress, FreeLibrary.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/kernel/handles.h"
#include "platform/module/module.h"
#include "tests/support/tempdir.h"

namespace {

const std::string kModule = MVN_TESTMOD_PATH;

std::string SystemText(DWORD code) {
  char text[1024] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  return text;
}

bool StillLoaded(const std::string& path) {
  void* probe = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (probe) dlclose(probe);
  return probe != nullptr;
}

TEST(Module, LoadCallAndUnload) {
  HMODULE module = LoadLibraryA(kModule.c_str());
  ASSERT_NE(module, nullptr) << SystemText(GetLastError());
  EXPECT_TRUE(StillLoaded(kModule));
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "mvn_test_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);

  char path[4096];
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  EXPECT_EQ(std::string(path, n), std::filesystem::canonical(kModule).string());
  EXPECT_EQ(GetModuleHandleA("mvn_testmod.dll"), module);

  // Loading again gives the same handle; the object stays until the last free.
  EXPECT_EQ(LoadLibraryA(kModule.c_str()), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(StillLoaded(kModule));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(StillLoaded(kModule));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetModuleHandleA("mvn_testmod.dll"), nullptr);
}

TEST(Module, DllNamesAndTheSearchOrder) {
  // A bare ".dll" name finds the ".so" in the program's directory, any case.
  HMODULE module = LoadLibraryA("MVN_TESTMOD.DLL");
  ASSERT_NE(module, nullptr) << SystemText(GetLastError());
  EXPECT_NE(GetProcAddress(module, "mvn_test_answer"), nullptr);
  EXPECT_TRUE(FreeLibrary(module));

  // Then the current directory, for a user; root's current directory may
  // be any user's, so root never looks there.
  mvntest::TempDir dir;
  std::filesystem::copy_file(kModule, dir / "copied.so");
  chmod(dir.str().c_str(), 0755);
  chmod((dir / "copied.so").c_str(), 0755);
  std::string old = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.str().c_str()), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(LoadLibraryA("copied"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    // The same name as a user (an unused uid) is found there.
    pid_t child = fork();
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(60001) != 0 || setuid(60001) != 0) _exit(2);
      HMODULE found = LoadLibraryA("copied");
      char path[4096] = "";
      if (found) GetModuleFileNameA(found, path, sizeof path);
      _exit(found && std::string(path) == std::filesystem::canonical(dir / "copied.so").string() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  } else {
    module = LoadLibraryA("copied");
    EXPECT_NE(module, nullptr) << SystemText(GetLastError());
    char path[4096];
    GetModuleFileNameA(module, path, sizeof path);
    EXPECT_EQ(std::string(path), std::filesystem::canonical(dir / "copied.so").string());
    EXPECT_TRUE(FreeLibrary(module));
  }
  ASSERT_EQ(chdir(old.c_str()), 0);
}

TEST(Module, FailuresCarryTheLoaderText) {
  mvntest::TempDir dir;
  EXPECT_EQ(LoadLibraryA((dir / "absent.dll").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_NE(SystemText(ERROR_MOD_NOT_FOUND).find("absent.so"), std::string::npos);

  EXPECT_EQ(LoadLibraryA("no_such_module_anywhere.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  std::string text = SystemText(ERROR_MOD_NOT_FOUND);
  EXPECT_NE(text.find("no_such_module_anywhere.so"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");

  mvntest::WriteFile(dir / "text.so", "this is not an object file\n");
  EXPECT_EQ(LoadLibraryA((dir / "text.so").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  EXPECT_NE(SystemText(ERROR_BAD_EXE_FORMAT).find("text.so"), std::string::npos);

  HMODULE module = LoadLibraryA(kModule.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_NE(SystemText(ERROR_PROC_NOT_FOUND).find("NoSuchExport"), std::string::npos);
  // Once another error is set, the table's text is back.
  SetLastError(ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(SystemText(ERROR_PROC_NOT_FOUND), "The specified procedure could not be found.\r\n");
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(StillLoaded(kModule));
  EXPECT_EQ(GetProcAddress(module, "mvn_test_answer"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Module, TheProgramModule) {
  HMODULE program = GetModuleHandleA(nullptr);
  ASSERT_NE(program, nullptr);
  char path[4096];
  DWORD n = GetModuleFileNameA(program, path, sizeof path);
  EXPECT_EQ(std::string(path, n), std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), n);
  EXPECT_FALSE(CloseHandle(program));
  EXPECT_TRUE(FreeLibrary(program));
  EXPECT_EQ(GetModuleHandleA(nullptr), program);
}

}  // namespace
