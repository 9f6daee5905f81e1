// mvnmon95 in the test's own process: its table and ports, the spool
// header however the data is cut, launches at the start and the end of a
// job through a recording program, the render signal on a real mailslot,
// failures that keep the file, and the Configure Port dialog through
// scripted headless dialogs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialogs/script.h"
#include "platform/mailslot/mailslot.h"
#include "platform/registry/registry.h"
#include "portmon/win95/mvnmon95.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;
namespace m95 = mvn::portmon95;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

constexpr char kRoot[] = "System\\CurrentControlSet\\control\\Print\\Monitors\\MVNMON95";

std::string User() {
  char name[64];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? name : "";
}

std::vector<fs::path> Files(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored))
    if (entry.is_regular_file()) files.push_back(entry.path());
  return files;
}

class Monitor95 : public testing::Test {
 protected:
  void SetUp() override {
    setenv("MVN_ROOT", root.str().c_str(), 1);
    setenv("MVN_DIALOGS", "headless", 1);
    setenv("MVN_TEMP", (root / "temp").c_str(), 1);
    fs::create_directories(root / "temp");
    // The spooler made the monitor's key when it was installed.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_TRUE(m95::InitializeTable(const_cast<LPSTR>(kRoot), &table));
    dlg::SetMessageBoxScript([this](HWND, const char* text, const char* caption, UINT) {
      boxes.push_back(std::string(caption) + ": " + text);
      return IDOK;
    });
  }
  void TearDown() override {
    dlg::SetMessageBoxScript(nullptr);
    dlg::SetScript(nullptr);
  }

  void Set(const char* port, const char* value, const std::string& text) {
    ASSERT_TRUE(m95::SetRegString(port, value, text.c_str()));
  }

  // One job on a port, the data cut into chunks of the given size.
  bool Print(const char* portName, const std::string& data, size_t chunk = 65536, bool* started = nullptr) {
    HANDLE port = nullptr;
    if (!table.pfnOpenPort(const_cast<LPSTR>(portName), &port)) return false;
    bool ok = table.pfnStartDocPort(port, const_cast<LPSTR>("Fax"), ++jobId, 1, nullptr);
    if (started) *started = ok;
    for (size_t at = 0; ok && at < data.size(); at += chunk) {
      DWORD n = static_cast<DWORD>(std::min(chunk, data.size() - at));
      DWORD written = 0;
      ok = table.pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data() + at)), n, &written) &&
           written == n;
    }
    ok = table.pfnEndDocPort(port) && ok;
    table.pfnClosePort(port);
    return ok;
  }

  // A program that records its arguments, one a line, or with what "pwd"
  // the folder it was started in. It adds them to launches.txt by replacing
  // the file whole (a temporary file renamed over it), so once the file is
  // there its lines are complete.
  std::string Recorder(const std::string& what = "printf '%s\\n' \"$@\"") {
    std::string script = root / "record.sh";
    std::string file = root / "launches.txt";
    WriteFile(script, "#!/bin/sh\n{ cat '" + file + "' 2>/dev/null; " + what + "; } > '" + file + ".$$' && mv '" +
                          file + ".$$' '" + file + "'\n");
    chmod(script.c_str(), 0755);
    return script;
  }
  // What the recorder wrote; empty after 5 s without a launch.
  std::string Launches() {
    for (int i = 0; i < 500 && !fs::exists(root / "launches.txt"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ReadFile(root / "launches.txt");
  }

  TempDir root;
  MONITOR95 table{};
  DWORD jobId = 0;
  std::vector<std::string> boxes;
};

}  // namespace

TEST_F(Monitor95, TheTableHasThirteenEntriesAndOnlyFiveLiveOnes) {
  EXPECT_EQ(table.pfnOpenPortEx, nullptr);
  EXPECT_FALSE(table.pfnAddPort(nullptr, nullptr, const_cast<LPSTR>("MVNMON95")));
  EXPECT_FALSE(table.pfnDeletePort(nullptr, nullptr, const_cast<LPSTR>("MVN1")));
  EXPECT_FALSE(table.pfnReadPort(nullptr, nullptr, 0, nullptr));
  EXPECT_FALSE(table.pfnSetPortTimeOuts(nullptr, nullptr, 0));
  EXPECT_FALSE(table.pfnGetPrinterDataFromPort(nullptr, 0, nullptr, nullptr, 0, nullptr, 0, nullptr));
  // A second initialisation keeps the lock and the ports.
  MONITOR95 again{};
  EXPECT_TRUE(m95::InitializeTable(const_cast<LPSTR>(kRoot), &again));
  std::string tooLong(256, 'K');
  EXPECT_FALSE(m95::InitializeTable(tooLong.data(), &again)) << "a root longer than 255 characters";
  EXPECT_STREQ(m95::RegistryRoot(), kRoot);
}

TEST_F(Monitor95, EnumPortsCountsTheRealStructures) {
  for (DWORD level : {1u, 2u}) {
    SCOPED_TRACE(level);
    DWORD needed = 0, returned = 7;
    EXPECT_FALSE(table.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);
    DWORD names = 5 + 5 + 5 + 5 + 7;  // "MVN1".."MVN4", "MVNRND" with their NULs
    DWORD expected = level == 1 ? 5 * sizeof(PORT_INFO_1A) + names
                                : 5 * sizeof(PORT_INFO_2A) + names + 5 * (sizeof "MVNMON95" + sizeof "Morvane Port");
    EXPECT_EQ(needed, expected);
    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(table.pfnEnumPorts(nullptr, level, buffer.data(), needed - 1, &needed, &returned));
    ASSERT_TRUE(table.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &returned));
    EXPECT_EQ(returned, 5u);
    if (level == 1) {
      auto* info = reinterpret_cast<PORT_INFO_1A*>(buffer.data());
      EXPECT_STREQ(info[0].pName, "MVN1");
      EXPECT_STREQ(info[4].pName, "MVNRND");
    } else {
      auto* info = reinterpret_cast<PORT_INFO_2A*>(buffer.data());
      EXPECT_STREQ(info[3].pPortName, "MVN4");
      EXPECT_STREQ(info[3].pMonitorName, "MVNMON95");
      EXPECT_STREQ(info[3].pDescription, "Morvane Port");
      EXPECT_EQ(info[3].fPortType, 1u);
    }
  }
  DWORD needed = 0, returned = 0;
  EXPECT_FALSE(table.pfnEnumPorts(nullptr, 3, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
}

TEST_F(Monitor95, PortsOpenOnceAndUnknownNamesAreRefused) {
  HANDLE a = nullptr, b = nullptr;
  ASSERT_TRUE(table.pfnOpenPort(const_cast<LPSTR>("MVN3"), &a));
  EXPECT_FALSE(table.pfnOpenPort(const_cast<LPSTR>("MVN3"), &b));
  EXPECT_FALSE(table.pfnOpenPort(const_cast<LPSTR>("mvn3"), &b)) << "names compare with case";
  EXPECT_FALSE(table.pfnOpenPort(const_cast<LPSTR>("LPT1"), &b)) << "not taken for MVN1";
  EXPECT_TRUE(table.pfnClosePort(a));
  EXPECT_FALSE(table.pfnClosePort(a));
  EXPECT_TRUE(table.pfnOpenPort(const_cast<LPSTR>("MVN3"), &a));
  table.pfnClosePort(a);
}

// The header is decided from the first buffer (the spooler hands over 64
// KiB): a marker line whose end is not in it is data like any other.
TEST_F(Monitor95, AMarkerLineWithoutItsEndInTheFirstBufferGetsTheThreeLines) {
  fs::create_directories(root / "out");
  Set("MVN1", "OutputDirectory", root / "out");
  std::string data = "!MORVANE " + std::string(5000, 'x') + "\r\nrest";
  ASSERT_TRUE(Print("MVN1", data, 1000));
  std::vector<fs::path> files = Files(root / "out");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFile(files[0].string()), "!MORVANE - MVNMON95 on MVN1\r\nUSER ID=" + User() + "\r\n!END\r\n" + data);
}

TEST_F(Monitor95, AnEmptyExternalApplicationMeansNoHeaderAndNoLaunch) {
  fs::create_directories(root / "out");
  Set("MVN1", "OutputDirectory", root / "out");
  Set("MVN1", "ExternalApplication", "");
  ASSERT_TRUE(Print("MVN1", "data"));
  std::vector<fs::path> files = Files(root / "out");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFile(files[0].string()), "data");
}

TEST_F(Monitor95, LaunchModes) {
  std::string recorder = Recorder();
  fs::create_directories(root / "out");
  // At the end: the finished file's path and the output directory.
  Set("MVN3", "ExternalApplication", recorder);
  Set("MVN3", "OutputDirectory", root / "out");
  Set("MVN3", "Launch", "2");
  ASSERT_TRUE(Print("MVN3", "page"));
  std::string launched = Launches();
  std::vector<fs::path> temp = Files(root / "temp");
  ASSERT_EQ(temp.size(), 1u) << "a launch job spools into the temporary folder";
  EXPECT_EQ(launched, temp[0].string() + "\n" + (root / "out") + "\n");
  EXPECT_EQ(ReadFile(temp[0].string()), "page") << "no header with an external application";

  // At the start, in the startup directory.
  fs::remove(root / "launches.txt");
  fs::remove(temp[0]);
  Recorder("pwd");
  fs::create_directories(root / "start");
  Set("MVN3", "StartupDirectory", root / "start");
  Set("MVN3", "Launch", "1");
  ASSERT_TRUE(Print("MVN3", "page"));
  EXPECT_EQ(Launches(), (root / "start") + "\n");

  // Launch 0: no start; the file stays in the output directory.
  fs::remove(root / "launches.txt");
  Set("MVN3", "Launch", "0");
  ASSERT_TRUE(Print("MVN3", "kept"));
  std::vector<fs::path> out = Files(root / "out");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(ReadFile(out[0].string()), "kept");
  // A launch job after it is recorded: had the first job started the
  // program too, its line would be there by then, before the second's.
  Recorder();
  for (const fs::path& file : Files(root / "temp")) fs::remove(file);
  Set("MVN3", "Launch", "2");
  ASSERT_TRUE(Print("MVN3", "later"));
  std::vector<fs::path> later = Files(root / "temp");
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(Launches(), later[0].string() + "\n" + (root / "out") + "\n") << "Launch 0 started nothing";
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Monitor95, TheRenderPortSignalsTheEngineAndNeverGetsAHeader) {
  HANDLE slot = CreateMailslotA("\\\\.\\mailslot\\mvnRender", 0, 2000, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Print("MVNRND", "%!PS render me"));
  char notice[MAX_PATH + 1] = "";
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(slot, notice, sizeof notice, &read, nullptr));
  CloseHandle(slot);
  ASSERT_GT(read, 0u);
  EXPECT_EQ(notice[read - 1], '\0') << "the path and a NUL";
  EXPECT_EQ(ReadFile(notice), "%!PS render me");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Monitor95, ConfigurePortChecksDirectoriesAndSavesTheLaunchChoice) {
  fs::create_directories(root / "out");
  WriteFile(root / "plain-file", "x");
  Set("MVN1", "ExternalApplication", "viewer");
  Set("MVN1", "Launch", "2");
  std::string caption;
  dlg::SetScript([&](HWND dialog) {
    char text[64] = "";
    GetWindowTextA(dialog, text, sizeof text);
    caption = text;
    EXPECT_EQ(IsDlgButtonChecked(dialog, 1003), BST_CHECKED) << "Launch 2 ticks the box";
    HWND output = GetDlgItem(dialog, 1000);
    HWND startup = GetDlgItem(dialog, 1004);
    EXPECT_TRUE(dlg::TypeText(output, root / "missing"));
    EXPECT_FALSE(dlg::FocusControl(startup)) << "an invalid field keeps the focus";
    EXPECT_TRUE(dlg::TypeText(output, root / "plain-file"));
    EXPECT_FALSE(dlg::FocusControl(startup));
    EXPECT_TRUE(dlg::TypeText(output, root / "out/../out"));
    EXPECT_TRUE(dlg::FocusControl(startup));
    char full[MAX_PATH] = "";
    GetDlgItemTextA(dialog, 1000, full, sizeof full);
    EXPECT_EQ(std::string(full), root / "out") << "a valid field becomes its full path";
    EXPECT_TRUE(dlg::TypeText(GetDlgItem(dialog, 1001), ""));
    EXPECT_TRUE(dlg::Click(GetDlgItem(dialog, IDOK)));
  });
  EXPECT_TRUE(table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("MVN1")));
  EXPECT_EQ(caption, "Configure MVN1");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], "MVNMON95 - Error: Can't find directory\n" + (root / "missing"));
  EXPECT_EQ(boxes[1], "MVNMON95 - Error: " + (root / "plain-file") + "\nis NOT a directory");
  char value[MAX_PATH];
  ASSERT_TRUE(m95::GetRegString("MVN1", "ExternalApplication", value, sizeof value))
      << "an emptied application is written empty";
  EXPECT_STREQ(value, "");
  ASSERT_TRUE(m95::GetRegString("MVN1", "Launch", value, sizeof value));
  EXPECT_STREQ(value, "0");
  ASSERT_TRUE(m95::GetRegString("MVN1", "OutputDirectory", value, sizeof value));
  EXPECT_EQ(std::string(value), root / "out");

  // OK checks the directories again, even a field that was never left.
  boxes.clear();
  dlg::SetScript([&](HWND dialog) {
    EXPECT_TRUE(dlg::TypeText(GetDlgItem(dialog, 1001), "viewer"));
    SetDlgItemTextA(dialog, 1004, (root / "missing").c_str());
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    EXPECT_TRUE(IsWindow(dialog)) << "the dialog stays open";
    SetDlgItemTextA(dialog, 1004, "");
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  EXPECT_TRUE(table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("MVN1")));
  ASSERT_EQ(boxes.size(), 1u);
  ASSERT_TRUE(m95::GetRegString("MVN1", "Launch", value, sizeof value));
  EXPECT_STREQ(value, "1") << "an application without the box ticked launches at the start";
}

// OK with an empty application field: a port that had an application is
// saved with an empty value (so it stays without the spool header, now a
// plain port); a port that had none keeps having none, so OK alone never
// takes a plain port's header away.
TEST_F(Monitor95, OkWithAnEmptyApplicationKeepsWhetherThePortHasAHeader) {
  fs::create_directories(root / "out");
  const std::string header = "!MORVANE - MVNMON95 on MVN2\r\nUSER ID=" + User() + "\r\n!END\r\n";
  struct Case {
    const char* before;  // ExternalApplication before, nullptr for none
    bool valueAfter;
    std::string file;  // what a plain job then leaves
  } cases[] = {
      {"viewer", true, "page"},
      {"", true, "page"},
      {nullptr, false, header + "page"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before ? c.before : "none");
    ASSERT_TRUE(m95::DeleteRegValue("MVN2", "ExternalApplication"));
    if (c.before) Set("MVN2", "ExternalApplication", c.before);
    Set("MVN2", "Launch", "2");
    dlg::SetScript([&](HWND dialog) {
      EXPECT_TRUE(dlg::TypeText(GetDlgItem(dialog, 1001), ""));
      EXPECT_TRUE(dlg::TypeText(GetDlgItem(dialog, 1000), root / "out"));
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    });
    EXPECT_TRUE(table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("MVN2")));
    char value[MAX_PATH] = "?";
    EXPECT_EQ(m95::GetRegString("MVN2", "ExternalApplication", value, sizeof value), c.valueAfter);
    EXPECT_STREQ(value, "");
    ASSERT_TRUE(m95::GetRegString("MVN2", "Launch", value, sizeof value));
    EXPECT_STREQ(value, "0");
    for (const fs::path& old : Files(root / "out")) fs::remove(old);
    ASSERT_TRUE(Print("MVN2", "page"));
    std::vector<fs::path> files = Files(root / "out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFile(files[0].string()), c.file);
  }
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Monitor95, TheRenderPortHasNothingToConfigure) {
  EXPECT_TRUE(table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("MVNRND")));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "MVNMON95 - Error: Nothing to Configure !");
  EXPECT_FALSE(table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("NOPE")));
}
