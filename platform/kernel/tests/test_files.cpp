// File handles: dispositions, share modes, transfers and positions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/kernel/handles.h"
#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

using mvntest::ReadFile;
using mvntest::WriteFile;

class Files : public ::testing::Test {
 protected:
  mvntest::TestRoot root;  // the share-mode lock files live below the root
  mvntest::TempDir dir;

  HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
};

TEST_F(Files, DispositionsAndTheirLastError) {
  struct Case {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;        // last error after the call
    std::string after;  // content afterwards ("-" when there is no file)
  } cases[] = {
      {CREATE_NEW, false, true, 0, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, 0, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
      {OPEN_EXISTING, true, true, 0, "old"},
      {OPEN_ALWAYS, false, true, 0, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
      {TRUNCATE_EXISTING, true, true, 0, ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string path = dir / ("case" + std::to_string(i++));
    if (c.exists) WriteFile(path, "old");
    SetLastError(12345);
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << i;
    EXPECT_EQ(GetLastError(), c.error) << i;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h));
    }
    if (c.after == "-") {
      EXPECT_EQ(access(path.c_str(), F_OK), -1) << i;
    } else {
      EXPECT_EQ(ReadFile(path), c.after) << i;
    }
  }
  EXPECT_EQ(Open(dir / "nodir/x", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open(dir / "x", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);  // needs write access
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open(dir.str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(dir.str(), GENERIC_WRITE, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Files, OverwritingNeverFollowsALinkInADirectoryOthersCanChange) {
  // A file outside, and a link to it in a directory writable by everybody
  // (as a user could plant it between a name being chosen and opened).
  const std::string victim = dir / "victim";
  const std::string shared = dir / "shared";
  ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  WriteFile(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), (shared + "/link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "absent").c_str(), (shared + "/dangling").c_str()), 0);
  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
    for (const char* name : {"link", "dangling"}) {
      HANDLE h = Open(shared + "/" + name, GENERIC_WRITE, 0, disposition);
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << disposition << " " << name;
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
  // A directory of this process's own alone: links are followed as usual.
  const std::string own = dir / "own";
  ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
  ASSERT_EQ(chmod(own.c_str(), 0755), 0);
  ASSERT_EQ(symlink(victim.c_str(), (own + "/link").c_str()), 0);
  HANDLE h = Open(own + "/link", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(ReadFile(victim), "");
}

TEST_F(Files, ReadWriteSeekAndTruncate) {
  std::string path = dir / "data";
  HANDLE h = Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(::WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  EXPECT_EQ(GetLastError(), 0u);
  char buffer[32] = {};
  EXPECT_TRUE(::ReadFile(h, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "world");
  EXPECT_TRUE(::ReadFile(h, buffer, sizeof buffer, &n, nullptr));  // at the end: TRUE with 0
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 8u);  // signed 32-bit distance
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), 7u);
  EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 7u);  // unchanged by the failure
  EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_BEGIN), 5u);
  EXPECT_TRUE(SetEndOfFile(h));
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(h, &high), 5u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(FlushFileBuffers(h));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadFile(path), "hello");

  // Access is enforced per handle.
  h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(::WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, LargeSparseFile) {
  std::string path = dir / "big";
  HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;  // 5,000,000,000 = 1 * 2^32 + 705,032,704
  EXPECT_EQ(SetFilePointer(h, 705032704, &high, FILE_BEGIN), 705032704u);
  EXPECT_EQ(high, 1);
  ASSERT_TRUE(SetEndOfFile(h));
  DWORD sizeHigh = 0;
  EXPECT_EQ(GetFileSize(h, &sizeHigh), 705032704u);
  EXPECT_EQ(sizeHigh, 1u);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.nFileSizeHigh, 1u);
  EXPECT_EQ(info.nFileSizeLow, 705032704u);
  EXPECT_EQ(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(info.nNumberOfLinks, 1u);
  EXPECT_GT(info.ftLastWriteTime.dwHighDateTime, 0x01D00000u);  // after 2015
  // Without a high word the new position must fit 32 bits.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A position whose low word is 0xFFFFFFFF is told from a failure by the last error.
  high = 0;
  EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);  // 0xFFFFFFFF with high 0
  EXPECT_EQ(GetLastError(), 0u);
  // Distances that take the position past either end of 64 bits fail and
  // leave the position alone.
  struct Beyond {
    DWORD method;
    std::uint64_t distance;
    DWORD error;
  } beyond[] = {
      {FILE_END, 0x7FFFFFFFFFFFFFFFull, ERROR_INVALID_PARAMETER},
      {FILE_CURRENT, 0x7FFFFFFFFFFFFFFFull, ERROR_INVALID_PARAMETER},
      {FILE_BEGIN, 0x8000000000000000ull, ERROR_NEGATIVE_SEEK},
      {FILE_END, 0x8000000000000000ull, ERROR_NEGATIVE_SEEK},
  };
  for (const Beyond& b : beyond) {
    SCOPED_TRACE(b.method);
    high = static_cast<LONG>(b.distance >> 32);
    EXPECT_EQ(SetFilePointer(h, static_cast<LONG>(static_cast<DWORD>(b.distance)), &high, b.method),
              INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), b.error);
    high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 0xFFFFFFFFu);
  }
  CloseHandle(h);
}

TEST_F(Files, ShareModesWithinTheProcess) {
  std::string path = dir / "shared";
  WriteFile(path, "x");
  const DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  struct Case {
    DWORD access1, share1, access2, share2;
    bool second;
  } cases[] = {
      {R, SR, R, SR, true},          {R, SR, W, SR | SW, false},   {R, 0, R, SR, false},
      {R, SR | SW, W, SR | SW, true}, {W, SR, R, SR | SW, true},   {W, SR, R, SR, false},  {W, SR | SW, R, SR, false},
      {W, SW | SR, W, SR | SW, true}, {0, 0, R, 0, true},          {R, SR, 0, 0, true},
  };
  for (const Case& c : cases) {
    HANDLE first = Open(path, c.access1, c.share1, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(path, c.access2, c.share2, OPEN_EXISTING);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second)
        << c.access1 << "/" << c.share1 << " then " << c.access2 << "/" << c.share2;
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    } else {
      CloseHandle(second);
    }
    CloseHandle(first);
  }
  // A refused CREATE_ALWAYS truncates nothing; closing the holder frees the file.
  HANDLE holder = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadFile(path), "x");
  EXPECT_FALSE(CopyFileA(path.c_str(), (dir / "copy").c_str(), TRUE));  // the source is locked too
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(holder);
  HANDLE h = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  // The lock files go away with the last handle.
  WIN32_FIND_DATAA data;
  EXPECT_EQ(FindFirstFileA((root / "locks/*-*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindFirstFileA((root / "rootlocks/*-*").c_str(), &data), INVALID_HANDLE_VALUE);
}

TEST_F(Files, ShareModesAcrossProcesses) {
  std::string path = dir / "across";
  WriteFile(path, "x");
  std::string command = std::string(MVN_KERNEL_PROBE) + " hold " + path + " r 0";  // reads, shares nothing
  FILE* child = popen(command.c_str(), "w");
  ASSERT_NE(child, nullptr);
  // popen gives us the child's stdin; its stdout is ours, so wait through a
  // retry loop until its open is visible.
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 500; ++i) {
    h = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) break;
    CloseHandle(h);
    usleep(10000);
  }
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  std::fputs("done\n", child);
  EXPECT_EQ(pclose(child), 0);
  h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);  // free again
  EXPECT_NE(h, INVALID_HANDLE_VALUE);

  // And the other way round: a forked child is refused while we hold it.
  pid_t pid = fork();
  if (pid == 0) {
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    _exit(other == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CloseHandle(h);
}

TEST_F(Files, HandlesAreNeverZeroNorDescriptorsNorReusedAtOnce) {
  std::string path = dir / "h";
  WriteFile(path, "x");
  pid_t pid = fork();
  if (pid == 0) {
    close(0);  // the next descriptor is 0; the handle must not be
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && h != nullptr && (reinterpret_cast<std::uintptr_t>(h) % 4) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  HANDLE first = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE second = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(first, second);
  DWORD n;
  char c;
  EXPECT_FALSE(::ReadFile(first, &c, 1, &n, nullptr));  // the stale handle fails
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));
  CloseHandle(second);
}

TEST_F(Files, DeleteOnCloseAndReadOnlyCreation) {
  std::string path = dir / "gone";
  HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  // A refused open that asks for deletion deletes nothing.
  EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  CloseHandle(h);
  EXPECT_EQ(access(path.c_str(), F_OK), -1);

  std::string readOnly = dir / "ro";
  h = Open(readOnly, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  DWORD n;
  EXPECT_TRUE(::WriteFile(h, "abc", 3, &n, nullptr));
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesA(readOnly.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
}

namespace {
HANDLE OpenDevice(const char* name, DWORD, DWORD, DWORD, DWORD) {
  struct Device : mvn::KernelObject {
    BOOL Write(const void*, DWORD toWrite, DWORD* written) override {
      *written = toWrite;
      return TRUE;
    }
  };
  return std::string(name).find("known") != std::string::npos ? mvn::HandleInsert(std::make_shared<Device>())
                                                                : INVALID_HANDLE_VALUE;
}
}  // namespace

TEST_F(Files, DeviceNamespacesGoToTheirOpener) {
  mvn::RegisterDeviceNamespace("\\\\.\\testdevice\\", &OpenDevice);
  HANDLE h = CreateFileA("//./TESTDEVICE/known", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(::WriteFile(h, "abc", 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_FALSE(::ReadFile(h, &n, 1, &n, nullptr));  // the default Read fails
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
