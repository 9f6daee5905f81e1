// Running command lines through the kernel's process start.
#include <gtest/gtest.h>

#include "framework/core/errors.h"
#include "framework/core/runtime.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

TEST(Run, WaitsForTheExitCodeAndSplitsLikeWindows) {
  mvntest::TempDir dir;
  EXPECT_EQ(mvn::framework::Run("/bin/sh -c \"exit 7\"", true), 7);
  EXPECT_EQ(ErrorCode(), NoError);
  // Quotes and blanks reach the program as words; no shell sees ";".
  std::string out = dir / "out.txt";
  EXPECT_EQ(
      mvn::framework::Run("/bin/sh -c \"printf '%s|' \\\"$0\\\" \\\"$1\\\" > " + out + "\" \"a b\" \"x;y\"", true), 0);
  EXPECT_EQ(mvntest::ReadFile(out), "a b|x;y|");
}

TEST(Run, WithoutWaitingAndFailures) {
  mvntest::TempDir dir;
  std::string flag = dir / "flag";
  EXPECT_EQ(mvn::framework::Run("/bin/sh -c \"sleep 0.2; touch " + flag + "\"", false), 0);
  EXPECT_FALSE(std::filesystem::exists(flag));
  for (int i = 0; i < 200 && !std::filesystem::exists(flag); ++i) usleep(20000);
  EXPECT_TRUE(std::filesystem::exists(flag));
  EXPECT_EQ(mvn::framework::Run("/no/such/program arg", true), -1);
  EXPECT_EQ(ErrorCode(), FileNotFoundError);
}

TEST(CommandLine, ProgramAndParameters) {
  EXPECT_FALSE(ProgramPath().empty());
  EXPECT_EQ(CommandLine().rfind(ProgramPath(), CommandLine()[0] == '"' ? 1 : 0), CommandLine()[0] == '"' ? 1u : 0u);
}
