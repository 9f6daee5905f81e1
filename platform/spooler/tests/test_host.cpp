// The host's job loop against a monitor that takes short counts, stalls or
// fails, and the services it calls back.
#include <string>

#include <gtest/gtest.h>

#include "platform/spooler/host.h"
#include "tests/support/tempdir.h"

namespace {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("FAKEMON_OUT", m_out.c_str(), 1);
    std::string error;
    m_monitor = mvn::spooler::Monitor::Load(FAKEMON_PATH, "FAKEMON", &error);
    ASSERT_TRUE(m_monitor) << error;
  }
  void TearDown() override { unsetenv("FAKEMON_OUT"); }

  mvn::spooler::JobResult Run(const std::string& port, const std::string& data, DWORD chunk) {
    HANDLE handle = m_monitor->OpenPort(port);
    EXPECT_NE(handle, nullptr);
    mvn::spooler::JobSpec job{"Fax Printer", "J\xC3\xA9r\xC3\xB4me", "report.ps", "pc"};
    return m_monitor->RunJob(handle, job, mvn::spooler::MemorySource(data), chunk);
  }

  mvntest::TempDir m_dir;
  std::string m_out = m_dir / "taken";
  std::unique_ptr<mvn::spooler::Monitor> m_monitor;
};

TEST_F(HostTest, ShortCountsAreRetriedWithTheRest) {
  std::string data = "0123456789abcdefghij";
  for (DWORD chunk : {1u, 7u, 4096u}) {
    SCOPED_TRACE(chunk);
    std::remove(m_out.c_str());
    mvn::spooler::JobResult result = Run("SHORT", data, chunk);
    EXPECT_TRUE(result.Succeeded()) << result.failure;
    EXPECT_TRUE(result.done);
    EXPECT_EQ(result.bytesWritten, data.size());
    EXPECT_EQ(mvntest::ReadFile(m_out), "[J\xE9r\xF4me|report.ps|Fax Printer]" + data + "[end]");
  }
}

TEST_F(HostTest, ZeroCountOrFailedWriteEndsTheJob) {
  mvn::spooler::JobResult stalled = Run("STALL", "0123456789", 4);
  EXPECT_FALSE(stalled.Succeeded());
  EXPECT_EQ(stalled.failure, "WritePort wrote nothing");
  EXPECT_EQ(stalled.bytesWritten, 5u);
  EXPECT_TRUE(stalled.ended);  // a started job is always ended
  std::remove(m_out.c_str());
  mvn::spooler::JobResult failed = Run("FAIL", "0123", 4);
  EXPECT_EQ(failed.failure, "WritePort failed");
  EXPECT_EQ(mvntest::ReadFile(m_out), "[J\xE9r\xF4me|report.ps|Fax Printer][end]");
}

TEST_F(HostTest, UnknownPortAndMissingModule) {
  EXPECT_EQ(m_monitor->OpenPort("NONE"), nullptr);
  std::string error;
  EXPECT_FALSE(mvn::spooler::Monitor::Load("/nonexistent/monitor.so", "X", &error));
  EXPECT_NE(error.find("cannot load"), std::string::npos);
}

TEST(HostServices, CallsWithoutAHostFail) {
  // The services refuse printers that no running job prints on.
  HANDLE printer = reinterpret_cast<HANDLE>(1);
  DWORD error = 0;
  std::u16string name = u"Fax Printer";
  EXPECT_FALSE(mvn_spooler_services.OpenPrinter(name.c_str(), &printer, &error));
  EXPECT_EQ(error, 1801u);
}

}  // namespace
