// Directory scans.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

std::vector<std::string> Scan(const std::string& pattern, DWORD* error = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return names;
  }
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  return names;
}

using Names = std::vector<std::string>;

TEST(Find, Masks) {
  mvntest::TempDir dir;
  for (const char* name : {"b.txt", "A.TXT", "readme", "c.txt.bak", "ab.doc", "Zed.Txt"}) mvntest::WriteFile(dir / name, "12345");
  mkdir((dir / "sub").c_str(), 0755);
  struct Case {
    std::string mask;
    Names names;
  } cases[] = {
      {"*", {".", "..", "A.TXT", "Zed.Txt", "ab.doc", "b.txt", "c.txt.bak", "readme", "sub"}},
      {"*.*", {".", "..", "A.TXT", "Zed.Txt", "ab.doc", "b.txt", "c.txt.bak", "readme", "sub"}},
      {"*.txt", {"A.TXT", "Zed.Txt", "b.txt"}},
      {"?.txt", {"A.TXT", "b.txt"}},
      {"*.", {".", "..", "readme", "sub"}},
      {"a*", {"A.TXT", "ab.doc"}},
      {"README", {"readme"}},
      {"*.t?t", {"A.TXT", "Zed.Txt", "b.txt"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Scan(dir / c.mask), c.names) << c.mask;
  DWORD error = 0;
  EXPECT_TRUE(Scan(dir / "*.xyz", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Scan(dir / "missing/*", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(Scan(dir.str() + "\\b.txt\\*", &error).empty());
  EXPECT_EQ(error, ERROR_DIRECTORY);
}

TEST(Find, FillsAttributesAndSizes) {
  mvntest::TempDir dir;
  mvntest::WriteFile(dir / "f", "12345");
  mkdir((dir / "d").c_str(), 0755);
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir / "f").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(FindNextFileA(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_FALSE(CloseHandle(find));  // scans are closed with FindClose
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindClose(find));
  find = FindFirstFileA((dir / "d").c_str(), &data);
  EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  FindClose(find);
}

}  // namespace
