// The writer whose first failure sticks.
#include <gtest/gtest.h>

#include <string>

#include "lib/checkedwriter.h"
#include "tests/support/testheap.h"
#include "tests/support/tempdir.h"

using mvntest::ReadFile;
using mvntest::TempDir;
using namespace std::string_literals;

TEST(CheckedWriter, WritesEverythingAndClosesTrue) {
  TempDir dir;
  std::string path = dir / "out";
  CBUFFEREDWRITER file(path.c_str());
  ASSERT_TRUE(file.Open(GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  mvn::CheckedWriter out(&file);
  out.Line("!MVN::MVN");
  out.Text("a");
  out.Bytes("b\0c", 3);
  out.Eol();
  out.LineBytes("To:Bob\0hidden", 13);
  out.FormatLine("N=%d,%s", 7, "x");
  out.Flush();
  EXPECT_TRUE(out.Ok());
  EXPECT_TRUE(out.Close());
  EXPECT_EQ(out.Error(), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(path), "!MVN::MVN\r\nab\0c\r\nTo:Bob\0hidden\r\nN=7,x\r\n"s);
}

TEST(CheckedWriter, TheFirstFailureSticksAndLaterWritesAreSkipped) {
  CBUFFEREDWRITER file("/dev/full");
  ASSERT_TRUE(file.Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  mvn::CheckedWriter out(&file);
  out.Line("pending");
  EXPECT_TRUE(out.Ok());  // still in the buffer
  out.Flush();
  EXPECT_FALSE(out.Ok());
  EXPECT_EQ(out.Error(), ERROR_DISK_FULL);
  // A later call that would succeed on its own does not clear the error.
  out.Check(true);
  out.Fail(ERROR_ACCESS_DENIED);
  out.Text("more");
  EXPECT_EQ(file.BufferedBytes(), 9u);  // nothing added behind the failure
  EXPECT_FALSE(out.Close());
  EXPECT_EQ(out.Error(), ERROR_DISK_FULL);
  EXPECT_FALSE(file.IsOpen());
  mvntest::Heap().notifications.clear();
}

TEST(CheckedWriter, AFailedWriteOnTheFileItselfCounts) {
  TempDir dir;
  std::string path = dir / "out";
  CBUFFEREDWRITER file(path.c_str());
  ASSERT_TRUE(file.Open(GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  mvn::CheckedWriter out(&file);
  out.Line("head");
  SetLastError(ERROR_SUCCESS);
  out.Check(false);  // a failure that set no system error
  EXPECT_EQ(out.Error(), ERROR_WRITE_FAULT);
  EXPECT_FALSE(out.Close());
}
