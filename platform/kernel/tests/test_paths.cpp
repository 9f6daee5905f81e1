// Full paths, current directory, root, temporary names, search path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

// Runs the test body in dir as the current directory.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : m_old(std::filesystem::current_path()) {
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InDirectory() { EXPECT_EQ(chdir(m_old.c_str()), 0); }

 private:
  std::string m_old;
};

TEST(Paths, FullPathNames) {
  mvntest::TempDir dir;
  std::string base = std::filesystem::canonical(dir.path()).string();
  InDirectory in(base);
  struct Case {
    std::string name, full, file;
  } cases[] = {
      {"x.txt", base + "/x.txt", "x.txt"},
      {"./a/../b\\c.ini", base + "/b/c.ini", "c.ini"},
      {"/usr//lib/./x/..", "/usr/lib", "lib"},
      {"\\etc\\passwd", "/etc/passwd", "passwd"},
      {"/../..", "/", ""},
      {"sub/", base + "/sub/", ""},
      {"..", std::filesystem::path(base).parent_path().string(),
       std::filesystem::path(base).parent_path().filename().string()},
  };
  for (const Case& c : cases) {
    char buffer[MAX_PATH];
    char* file = reinterpret_cast<char*>(1);
    DWORD n = GetFullPathNameA(c.name.c_str(), sizeof buffer, buffer, &file);
    EXPECT_EQ(std::string(buffer), c.full) << c.name;
    EXPECT_EQ(n, c.full.size()) << c.name;
    EXPECT_EQ(file ? std::string(file) : std::string(), c.file) << c.name;
  }
  // Too small: the size needed with the NUL, the buffer untouched.
  char small[4] = "abc";
  EXPECT_EQ(GetFullPathNameA("x.txt", sizeof small, small, nullptr), base.size() + 7);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(GetFullPathNameA("", sizeof small, small, nullptr), 0u);
}

TEST(Paths, NoFullPathWithoutACurrentDirectory) {
  mvntest::TempDir dir;
  std::string gone = std::filesystem::canonical(dir.path()).string() + "/gone";
  std::filesystem::create_directories(gone);
  InDirectory in(gone);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  // A relative name has nothing to stand on (it is not made absolute at
  // the root); an absolute one still resolves.
  char buffer[MAX_PATH] = "untouched";
  EXPECT_EQ(GetFullPathNameA("x.txt", sizeof buffer, buffer, nullptr), 0u);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(GetFullPathNameA("/a/./b", sizeof buffer, buffer, nullptr), 4u);
  EXPECT_STREQ(buffer, "/a/b");
  // Nor does the search take the root for the current directory.
  EXPECT_EQ(SearchPathA(nullptr, "tmp", nullptr, sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Paths, CurrentDirectory) {
  mvntest::TempDir dir;
  std::string base = std::filesystem::canonical(dir.path()).string();
  std::string old = std::filesystem::current_path();
  EXPECT_TRUE(SetCurrentDirectoryA(base.c_str()));
  EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), base.size() + 1);
  char buffer[4096];
  EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), base.size());
  EXPECT_EQ(std::string(buffer), base);
  mvntest::WriteFile(base + "/file", "");
  EXPECT_FALSE(SetCurrentDirectoryA("file"));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_FALSE(SetCurrentDirectoryA("missing"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(SetCurrentDirectoryA(old.c_str()));
}

TEST(Paths, RootAndItsDirectories) {
  mvntest::TestRoot root;
  EXPECT_EQ(std::string(MvnRootDirectory()), root.str());
  char path[MAX_PATH];
  ASSERT_TRUE(MvnRootPath("registry/HKLM.db", path, sizeof path, true));
  EXPECT_EQ(std::string(path), root / "registry/HKLM.db");
  struct stat st;
  EXPECT_EQ(stat((root / "registry").c_str(), &st), 0);
  EXPECT_FALSE(MvnRootPath("x", path, 4, false));

  EXPECT_EQ(GetWindowsDirectoryA(path, sizeof path), (root / "windows").size());
  EXPECT_EQ(std::string(path), root / "windows");
  EXPECT_EQ(GetSystemDirectoryA(path, sizeof path), (root / "windows/system").size());
  EXPECT_EQ(stat(path, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(GetSystemDirectoryA(path, 3), (root / "windows/system").size() + 1);

  // A root that changes later keeps the old text valid.
  const char* first = MvnRootDirectory();
  {
    mvntest::TestRoot other;
    EXPECT_STRNE(MvnRootDirectory(), first);
  }
  EXPECT_EQ(std::string(first), root.str());
}

TEST(Paths, TempPathIsPrivate) {
  mvntest::TestRoot root;
  char path[MAX_PATH];
  DWORD n = GetTempPathA(sizeof path, path);
  ASSERT_GT(n, 0u);
  std::string temp(path, n);
  EXPECT_EQ(temp.rfind(root / "temp/", 0), 0u) << temp;
  EXPECT_EQ(temp.back(), '/');
  struct stat st;
  ASSERT_EQ(lstat(temp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(GetTempPathA(2, path), n + 1);
  // A directory opened up by someone is made private again.
  chmod(temp.c_str(), 0777);
  GetTempPathA(sizeof path, path);
  lstat(temp.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Paths, TempFileNames) {
  mvntest::TempDir dir;
  char name[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA(dir.str().c_str(), "MVNXYZ", 0x1ABCD, name), 0xABCDu);
  EXPECT_EQ(std::string(name), dir / "MVNABCD.TMP");
  EXPECT_NE(access(name, F_OK), 0);  // only composed

  std::set<std::string> names;
  for (int i = 0; i < 200; ++i) {
    UINT unique = GetTempFileNameA((dir.str() + "/").c_str(), "MVN", 0, name);
    ASSERT_NE(unique, 0u);
    ASSERT_LE(unique, 0xFFFFu);
    char expected[32];
    std::snprintf(expected, sizeof expected, "MVN%X.TMP", unique);
    EXPECT_EQ(std::string(name), dir / expected);
    EXPECT_EQ(access(name, F_OK), 0);  // created
    EXPECT_TRUE(names.insert(name).second);
  }
  EXPECT_EQ(GetTempFileNameA((dir / "missing").c_str(), "MVN", 0, name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

TEST(Paths, SearchPathOrder) {
  mvntest::TestRoot root;
  mvntest::TempDir first, second, current;
  mvntest::WriteFile(first / "both.ini", "");
  mvntest::WriteFile(second / "both.ini", "");
  mvntest::WriteFile(second / "only.ini", "");
  mvntest::WriteFile(current / "both.ini", "");
  std::string list = first.str() + ";" + second.str();
  char buffer[MAX_PATH];
  char* file = nullptr;
  DWORD n = SearchPathA(list.c_str(), "both.ini", nullptr, sizeof buffer, buffer, &file);
  EXPECT_EQ(std::string(buffer, n), first / "both.ini");
  EXPECT_STREQ(file, "both.ini");
  EXPECT_GT(SearchPathA(list.c_str(), "only", ".ini", sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(std::string(buffer), second / "only.ini");
  EXPECT_EQ(SearchPathA(list.c_str(), "only.txt", ".ini", sizeof buffer, buffer, nullptr), 0u);  // has an extension
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // Without a list: the program's directory, the current directory, the
  // system and Windows directories, then PATH.
  InDirectory in(current.str());
  std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (first.str() + ":" + second.str()).c_str(), 1);
  SearchPathA(nullptr, "both.ini", nullptr, sizeof buffer, buffer, nullptr);
  EXPECT_EQ(std::string(buffer), std::filesystem::canonical(current.path()).string() + "/both.ini");
  SearchPathA(nullptr, "only.ini", nullptr, sizeof buffer, buffer, nullptr);
  EXPECT_EQ(std::string(buffer), second / "only.ini");
  char system[MAX_PATH];
  GetSystemDirectoryA(system, sizeof system);
  mvntest::WriteFile(std::string(system) + "/only.ini", "");
  SearchPathA(nullptr, "only.ini", nullptr, sizeof buffer, buffer, nullptr);
  EXPECT_EQ(std::string(buffer), std::string(system) + "/only.ini");
  std::string program = std::filesystem::canonical("/proc/self/exe").filename().string();
  SearchPathA(nullptr, program.c_str(), nullptr, sizeof buffer, buffer, nullptr);
  EXPECT_EQ(std::string(buffer), std::filesystem::canonical("/proc/self/exe").string());
  setenv("PATH", oldPath.c_str(), 1);

  // Absolute and "./" names are only checked.
  EXPECT_GT(SearchPathA(nullptr, "./both.ini", nullptr, sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(SearchPathA(list.c_str(), (second / "none.ini").c_str(), nullptr, sizeof buffer, buffer, nullptr), 0u);
  // Too small a buffer: the size needed.
  EXPECT_EQ(SearchPathA(list.c_str(), "both.ini", nullptr, 3, buffer, nullptr), (first / "both.ini").size() + 1);
}

// Names are found as on a file system that ignores case: at each place of
// the search the exact name first, else one that differs only by case; the
// first place holding either wins.
TEST(Paths, SearchPathIgnoresCaseAtEveryPlace) {
  mvntest::TempDir first, second, third;
  mvntest::WriteFile(second / "MVNCSEND.INI", "");
  mvntest::WriteFile(third / "mvncsend.INI", "");
  mvntest::WriteFile(third / "Mvncsend.Ini", "");
  std::string list = first.str() + ";" + second.str() + ";" + third.str();
  char buffer[MAX_PATH];
  char* file = nullptr;
  ASSERT_GT(SearchPathA(list.c_str(), "mvncsend.INI", nullptr, sizeof buffer, buffer, &file), 0u);
  EXPECT_EQ(std::string(buffer), second / "MVNCSEND.INI") << "an earlier place wins over an exact name later";
  EXPECT_STREQ(file, "MVNCSEND.INI");
  std::string later = third.str();
  ASSERT_GT(SearchPathA(later.c_str(), "mvncsend.INI", nullptr, sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(std::string(buffer), third / "mvncsend.INI") << "the exact name first within a place";
  ASSERT_GT(SearchPathA(later.c_str(), "MVNCSEND", ".ini", sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(std::string(buffer), third / "Mvncsend.Ini") << "else the first in byte order";
  // An absolute name is checked the same way.
  ASSERT_GT(SearchPathA(nullptr, (second / "mvncsend.ini").c_str(), nullptr, sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(std::string(buffer), second / "MVNCSEND.INI");
  EXPECT_EQ(SearchPathA(list.c_str(), "mvncsend.ini.bak", nullptr, sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Paths, FindPathIgnoringCase) {
  mvntest::TempDir dir;
  mvntest::WriteFile(dir / "Config.INI", "");
  char found[MAX_PATH];
  ASSERT_TRUE(FindPathIgnoringCase((dir / "config.ini").c_str(), found, sizeof found));
  EXPECT_EQ(std::string(found), dir / "Config.INI");
  ASSERT_TRUE(FindPathIgnoringCase((dir / "Config.INI").c_str(), found, sizeof found));
  EXPECT_EQ(std::string(found), dir / "Config.INI");
  EXPECT_FALSE(FindPathIgnoringCase((dir / "other.ini").c_str(), found, sizeof found));
  EXPECT_FALSE(FindPathIgnoringCase((dir / "config.ini").c_str(), found, 5));
}

}  // namespace
