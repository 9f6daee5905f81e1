// Operations by name: attributes, directories, delete, move, copy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <string>

#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

using mvntest::ReadFile;
using mvntest::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(FileOps, AttributesAndReadOnly) {
  mvntest::TempDir dir;
  std::string file = dir / "f.txt";
  WriteFile(file, "x");
  chmod(file.c_str(), 0644);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesA(dir.str().c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA((dir / "none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA((dir / "none/x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_NE(GetFileAttributesA((dir.str() + "\\f.txt").c_str()), INVALID_FILE_ATTRIBUTES);  // "\" separates too

  EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ModeOf(file), 0444u);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_FALSE(DeleteFileA(file.c_str()));  // read-only files are kept
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_NE(ModeOf(file) & S_IWUSR, 0u);
  EXPECT_TRUE(DeleteFileA(file.c_str()));
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileA(dir.str().c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(FileOps, Directories) {
  mvntest::TempDir dir;
  std::string sub = dir / "sub";
  EXPECT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA((dir / "a/b").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  WriteFile(sub + "/x", "1");
  EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(RemoveDirectoryA((sub + "/x").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_TRUE(DeleteFileA((sub + "/x").c_str()));
  EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
  EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(FileOps, MoveNeverReplacesUnlessAsked) {
  mvntest::TempDir dir;
  std::string a = dir / "a", b = dir / "b";
  WriteFile(a, "A");
  WriteFile(b, "B");
  EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(a), "A");
  EXPECT_EQ(ReadFile(b), "B");
  EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(b), "A");
  EXPECT_EQ(access(a.c_str(), F_OK), -1);
  EXPECT_TRUE(MoveFileA(b.c_str(), (dir / "c").c_str()));
  EXPECT_FALSE(MoveFileA((dir / "none").c_str(), (dir / "d").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(MoveFileA((dir / "c").c_str(), (dir / "nodir/d").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // Directories move too, but never replace a directory.
  CreateDirectoryA((dir / "d1").c_str(), nullptr);
  CreateDirectoryA((dir / "d2").c_str(), nullptr);
  EXPECT_FALSE(MoveFileExA((dir / "d1").c_str(), (dir / "d2").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(MoveFileA((dir / "d1").c_str(), (dir / "d3").c_str()));
}

TEST(FileOps, MoveAcrossFileSystems) {
  struct statfs here, shm;
  mvntest::TempDir dir;
  if (statfs(dir.str().c_str(), &here) != 0 || statfs("/dev/shm", &shm) != 0 ||
      access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no /dev/shm";
  }
  struct stat a, b;
  stat(dir.str().c_str(), &a);
  stat("/dev/shm", &b);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
  std::string source = dir / "move.txt";
  std::string target = "/dev/shm/mvntest-move-" + std::to_string(getpid());
  WriteFile(source, "content");
  chmod(source.c_str(), 0640);
  EXPECT_FALSE(MoveFileExA(source.c_str(), target.c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
  EXPECT_TRUE(MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(ReadFile(target), "content");
  EXPECT_EQ(ModeOf(target), 0640u);
  EXPECT_EQ(access(source.c_str(), F_OK), -1);
  // Without REPLACE_EXISTING an existing target stays.
  WriteFile(source, "second");
  EXPECT_FALSE(MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(target), "content");
  EXPECT_TRUE(MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(target), "second");
  unlink(target.c_str());
}

TEST(FileOps, CopyFile) {
  mvntest::TempDir dir;
  std::string a = dir / "a.sh", b = dir / "b.sh";
  WriteFile(a, std::string(200000, 'z'));
  chmod(a.c_str(), 0750);
  EXPECT_TRUE(CopyFileA(a.c_str(), b.c_str(), TRUE));
  EXPECT_EQ(ReadFile(b), ReadFile(a));
  EXPECT_EQ(ModeOf(b), 0750u);
  WriteFile(a, "new");
  EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFile(b).size(), 200000u);
  EXPECT_TRUE(CopyFileA(a.c_str(), b.c_str(), FALSE));
  EXPECT_EQ(ReadFile(b), "new");
  EXPECT_FALSE(CopyFileA((dir / "none").c_str(), b.c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CopyFileA(a.c_str(), (dir / "nodir/b").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CopyFileA(dir.str().c_str(), b.c_str(), FALSE));
  // No stray temporary files are left behind.
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir / "*").c_str(), &data);
  int count = 0;
  do {
    ++count;
  } while (FindNextFileA(find, &data));
  FindClose(find);
  EXPECT_EQ(count, 4);  // ".", "..", a.sh, b.sh
}

}  // namespace
