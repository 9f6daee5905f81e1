// Last error, errno mapping, system texts, structured exceptions.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/kernel/handles.h"
#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace {

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(LastError, ErrnoMapping) {
  struct Case {
    int err;
    DWORD code;
  } cases[] = {
      {0, 0},           {EACCES, 5},   {EPERM, 5},    {EEXIST, 183},  {ENOSPC, 112},       {ENOTEMPTY, 145},
      {EBADF, 6},       {EMFILE, 4},   {ENOMEM, 8},   {EISDIR, 5},    {ENOTDIR, 3},        {ENAMETOOLONG, 206},
      {EXDEV, 17},      {EBUSY, 170},  {EINVAL, 87},  {EPIPE, 109},   {ETIMEDOUT, 1460},   {EROFS, 19},
  };
  for (const Case& c : cases) {
    DWORD code = Win32ErrorFromErrno(c.err);
    EXPECT_EQ(code, c.code) << "errno " << c.err;
    // Every code the mapping produces has a system text.
    char text[512];
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr),
              0u)
        << "code " << code;
  }
}

TEST(LastError, NotFoundDependsOnTheParent) {
  mvntest::TempDir dir;
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, (dir / "missing.txt").c_str()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, (dir / "nodir/missing.txt").c_str()), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, (dir.str() + "\\nodir\\x").c_str()), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, nullptr), ERROR_FILE_NOT_FOUND);
  SetLastErrorFromErrno(ENOENT, (dir / "a/b").c_str());
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(FormatMessage, SystemTextsEndWithCrLf) {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
  EXPECT_STREQ(text, "The system cannot find the file specified.\r\n");
  EXPECT_EQ(n, std::string(text).size());

  char* allocated = nullptr;
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, ERROR_SHARING_VIOLATION, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_STREQ(allocated, "The process cannot access the file because it is being used by another process.\r\n");
  EXPECT_EQ(n, std::string(allocated).size());
  EXPECT_EQ(LocalFree(allocated), nullptr);
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local);  // not ours: left alone, reported
}

TEST(FormatMessage, EveryDeclaredCodeHasAText) {
  // Every code declared in win32.h.
  const DWORD codes[] = {
      ERROR_SUCCESS, NO_ERROR, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
      ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,
      ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_NOT_SAME_DEVICE, ERROR_NO_MORE_FILES, ERROR_WRITE_FAULT,
      ERROR_READ_FAULT, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_HANDLE_EOF, ERROR_NOT_SUPPORTED,
      ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE, ERROR_DISK_FULL,
      ERROR_CALL_NOT_IMPLEMENTED, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_NAME, ERROR_INVALID_LEVEL,
      ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_NEGATIVE_SEEK, ERROR_DIR_NOT_EMPTY, ERROR_BAD_PATHNAME,
      ERROR_BUSY, ERROR_ALREADY_EXISTS, ERROR_BAD_EXE_FORMAT, ERROR_ENVVAR_NOT_FOUND,
      ERROR_FILENAME_EXCED_RANGE, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_DIRECTORY, ERROR_NOACCESS,
      ERROR_INVALID_FLAGS, ERROR_BADKEY, ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE, ERROR_KEY_DELETED,
      ERROR_TIMEOUT, ERROR_WRITE_PROTECT, ERROR_GEN_FAILURE, ERROR_SEEK_ON_DEVICE, ERROR_FILE_TOO_LARGE,
      ERROR_OPERATION_ABORTED, ERROR_TOO_MANY_LINKS, ERROR_NO_SYSTEM_RESOURCES, ERROR_CANT_RESOLVE_FILENAME,
      ERROR_MR_MID_NOT_FOUND};
  for (DWORD code : codes) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    ASSERT_GT(n, 2u) << "code " << code;
    EXPECT_EQ(std::string(text).substr(n - 2), "\r\n") << "code " << code;
  }
}

TEST(FormatMessage, FailuresAndInserts) {
  char text[256];
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345678, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);

  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, small, sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  // Inserts stay as written without arguments or with IGNORE_INSERTS.
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_BAD_EXE_FORMAT, 0, text,
                 sizeof text, nullptr);
  EXPECT_STREQ(text, "%1 is not a valid Win32 application.\r\n");
  DWORD_PTR array[] = {reinterpret_cast<DWORD_PTR>("x.so"), 42};
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1 has %2!u! lines%n100%%", 0, 0, text,
                 sizeof text, reinterpret_cast<va_list*>(array));
  EXPECT_STREQ(text, "x.so has 42 lines\r\n100%");
}

TEST(FormatMessage, DetailTextLastsUntilTheNextError) {
  char text[256];
  mvn::SetLastErrorDetail(ERROR_MOD_NOT_FOUND, "libx.so: cannot open shared object file");
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MOD_NOT_FOUND, 0, text, sizeof text, nullptr);
  EXPECT_STREQ(text, "libx.so: cannot open shared object file\r\n");
  SetLastError(ERROR_MOD_NOT_FOUND);
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MOD_NOT_FOUND, 0, text, sizeof text, nullptr);
  EXPECT_STREQ(text, "The specified module could not be found.\r\n");
}

TEST(SystemException, RaiseThrowsWithCodeAndText) {
  try {
    RaiseException(0xEFFFFFFFu, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    FAIL() << "no exception";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.Code(), 0xEFFFFFFFu);
    EXPECT_EQ(e.Flags(), EXCEPTION_NONCONTINUABLE);
    EXPECT_STREQ(e.what(), "system exception 0xEFFFFFFF");
  }
  EXPECT_STREQ(SystemException(STATUS_NO_MEMORY, 0).what(), "system exception 0xC0000017");
}

}  // namespace
