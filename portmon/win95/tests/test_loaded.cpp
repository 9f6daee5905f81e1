// mvnmon95.so loaded by the spooler host as the single-user spooler loads
// it (DllEntryPoint, InitializeMonitorEx, jobs through the table): where a
// job's spool file is left when its application or the render engine takes
// it and when nobody does, what the job's end tells the spooler, and the
// spool header decided from the first buffer the spooler hands over.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "platform/module/module.h"
#include "platform/registry/registry.h"
#include "platform/spooler/host95.h"
#include "tests/support/monitorroot.h"
#include "tests/support/process.h"
#include "tests/support/spool.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::SpoolFiles;

mvntest::TestRoot* g_root = nullptr;

const auto* g_environment =
    ::testing::AddGlobalTestEnvironment(new mvntest::MonitorRootEnvironment(MVNMON95_PATH, &g_root));

class Loaded95 : public ::testing::Test {
 protected:
  void SetUp() override {
    m_name = std::string("Mon95_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    m_work = *g_root / ("work/" + m_name);
    fs::create_directories(m_work + "/temp");
    fs::create_directories(m_work + "/out");
    setenv("MVN_TEMP", (m_work + "/temp").c_str(), 1);
    setenv("MVN_MESSAGEBOX_LOG", (m_work + "/boxes.log").c_str(), 1);
    setenv("MVN_DIALOGS", "headless", 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, mvn::spooler::MonitorRegistryRoot(m_name).c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    std::string error;
    m_monitor = mvn::spooler::Monitor95::Load(MVNMON95_PATH, m_name, &error);
    ASSERT_TRUE(m_monitor) << error;
  }
  void TearDown() override {
    unsetenv("MVN_TEMP");
    unsetenv("MVN_MESSAGEBOX_LOG");
  }

  void Set(const std::string& port, const char* value, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (mvn::spooler::MonitorRegistryRoot(m_name) + "\\" + port).c_str(), 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // One job on port; the spooler hands the data over in blocks of the
  // given sizes (the last one repeated for the rest).
  mvn::spooler::JobResult Print(const std::string& port, const std::string& data, std::vector<DWORD> blocks = {65536}) {
    HANDLE handle = m_monitor->OpenPort(port);
    EXPECT_NE(handle, nullptr) << port;
    if (!handle) return {};
    std::size_t at = 0, next = 0;
    mvn::spooler::BlockSource source = [&](const BYTE** block, DWORD maximum) -> long {
      DWORD size = blocks[next < blocks.size() ? next : blocks.size() - 1];
      ++next;
      std::size_t take = std::min<std::size_t>({size, maximum, data.size() - at});
      *block = reinterpret_cast<const BYTE*>(data.data() + at);
      at += take;
      return static_cast<long>(take);
    };
    mvn::spooler::JobSpec job{"Fax", "ANNE", "page.ps", "desk"};
    mvn::spooler::JobResult result = m_monitor->RunJobBlocks(handle, job, source, 65536);
    m_monitor->ClosePort(handle);
    return result;
  }

  std::string Boxes() { return ReadFile(m_work + "/boxes.log"); }

  // A program that appends its arguments to a file.
  std::string Recorder() {
    std::string script = m_work + "/record.sh";
    mvntest::WriteFile(script, "#!/bin/sh\necho \"$@\" >> '" + m_work + "/launches.txt'\n");
    chmod(script.c_str(), 0755);
    return script;
  }
  std::string User() {
    char name[64];
    DWORD size = sizeof name;
    return GetUserNameA(name, &size) ? name : "";
  }

  std::string m_name;
  std::string m_work;
  std::unique_ptr<mvn::spooler::Monitor95> m_monitor;
};

// A spool file stays only where somebody takes it. When the port's
// application cannot be started (at the start or at the end of the job)
// or the render engine cannot be reached, the box says so, the file is
// deleted at the end of the job and the job does not end as a success.
TEST_F(Loaded95, TheSpoolFileStaysOnlyWhereSomebodyTakesIt) {
  const std::string recorder = Recorder();
  const std::string missing = m_work + "/no-such-viewer";
  const std::string launchBox =
      "Printing Error: Unable to access the external application " + missing +
      " / as specified in the \"Printer Properties / Details / Port Settings\" option. / Please check that the "
      "resource is available.\n";
  const std::string renderBox = "Printing Error: Morvane Print Monitor unable to contact rendering engine. / \n";
  struct Case {
    const char* port;
    std::string application;  // "" for the render port
    const char* launch;
    bool engine;  // the render engine serves its slot
    bool kept;
    std::string box;
  } cases[] = {
      {"MVN1", missing, "1", false, false, launchBox},
      {"MVN2", missing, "2", false, false, launchBox},
      {"MVNRND", "", "", false, false, renderBox},
      {"MVN3", recorder, "2", false, true, ""},
      {"MVNRND", "", "", true, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.port) + " " + c.launch + (c.engine ? " engine" : ""));
    for (const std::string& old : SpoolFiles(m_work + "/temp")) fs::remove(old);
    fs::remove(m_work + "/boxes.log");
    fs::remove(m_work + "/launches.txt");
    if (!c.application.empty()) {
      Set(c.port, "ExternalApplication", c.application);
      Set(c.port, "Launch", c.launch);
    }
    HANDLE engine = c.engine ? CreateMailslotA("\\\\.\\mailslot\\mvnRender", 0, 5000, nullptr) : INVALID_HANDLE_VALUE;
    mvn::spooler::JobResult result = Print(c.port, "%!PS page\n");
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.ended, c.kept) << "a job whose file nobody takes does not end as a success";
    EXPECT_EQ(Boxes(), c.box);
    std::vector<std::string> files = SpoolFiles(m_work + "/temp");
    if (!c.kept) {
      EXPECT_TRUE(files.empty()) << "the file is deleted at the end of the job";
      continue;
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFile(files[0]), "%!PS page\n");
    if (c.engine) {
      char notice[1024] = "";
      DWORD got = 0;
      ASSERT_TRUE(::ReadFile(engine, notice, sizeof notice, &got, nullptr));
      CloseHandle(engine);
      EXPECT_EQ(std::string(notice), files[0]);
    } else {
      ASSERT_TRUE(mvntest::WaitFor([&] { return !ReadFile(m_work + "/launches.txt").empty(); }));
      EXPECT_EQ(ReadFile(m_work + "/launches.txt"), files[0] + "\n");
    }
  }
}

// The header is decided from the first buffer alone. A marker line that
// ends in it keeps its place and gets the user line after it; one cut by
// the buffer's end is data like any other, with the three lines in front.
// Either way every byte of the job follows, unchanged and in order.
TEST_F(Loaded95, TheHeaderIsDecidedFromTheFirstBuffer) {
  Set("MVN4", "OutputDirectory", m_work + "/out");
  const std::string user = User();
  const std::string lines = "!MORVANE - MVNMON95 on MVN4\r\nUSER ID=" + user + "\r\n!END\r\n";
  const std::string marked = "\r\n !Morvane fax\r\nTo:Bob\r\n";
  struct Case {
    std::string data;
    std::vector<DWORD> blocks;
    std::string expected;
  } cases[] = {
      {marked, {65536}, "\r\n !Morvane fax\r\nUSER ID=" + user + "\r\nTo:Bob\r\n"},
      {marked, {17, 1}, "\r\n !Morvane fax\r\nUSER ID=" + user + "\r\nTo:Bob\r\n"},  // the LF is the 17th byte
      {marked, {16, 65536}, lines + marked},
      {marked, {1, 65536}, lines + marked},
      {"%!PS-Adobe-3.0\nshowpage\n", {3, 2}, lines + "%!PS-Adobe-3.0\nshowpage\n"},
      {"!MORV", {65536}, lines + "!MORV"},
      {"", {65536}, ""},  // nothing printed: nothing written
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.data) + " first " + std::to_string(c.blocks[0]));
    for (const std::string& old : SpoolFiles(m_work + "/out")) fs::remove(old);
    mvn::spooler::JobResult result = Print("MVN4", c.data, c.blocks);
    EXPECT_TRUE(result.Succeeded()) << result.failure;
    std::vector<std::string> files = SpoolFiles(m_work + "/out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFile(files[0]), c.expected);
  }
  EXPECT_EQ(Boxes(), "");
}

}  // namespace
