// mvnmon.so loaded by the spooler host on a private machine root: ports from
// the registry, EnumPorts, the job path with its spool header, render
// notices and launcher messages received on real mailslots.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "platform/module/module.h"
#include "platform/registry/registry.h"
#include "platform/spooler/host.h"
#include "tests/support/monitorroot.h"
#include "tests/support/spool.h"
#include "tests/support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using mvntest::SpoolFiles;

mvntest::TestRoot* g_root = nullptr;

const auto* g_environment =
    ::testing::AddGlobalTestEnvironment(new mvntest::MonitorRootEnvironment(MVNMON_PATH, &g_root, "boxes.log"));

// Each test uses a monitor name of its own, so its ports live under a
// registry root of their own.
class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_name = std::string("MonTest_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : m_name)
      if (c == '/') c = '_';
    m_work = *g_root / ("work/" + m_name);
    fs::create_directories(m_work);
    fs::remove(*g_root / "boxes.log");
  }
  void TearDown() override {
    if (m_port && m_monitor) m_monitor->ClosePort(m_port);
    m_monitor.reset();
  }

  std::string Root() const { return mvn::spooler::MonitorRegistryRoot(m_name); }

  void SetValue(const std::string& port, const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (Root() + "\\" + port).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void DeleteValue(const std::string& port, const char* name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (Root() + "\\" + port).c_str(), 0, KEY_WRITE, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, name);
    RegCloseKey(key);
  }
  void MakePort(const std::string& port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (Root() + "\\" + port).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  bool KeyExists(const std::string& port) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (Root() + "\\" + port).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    RegCloseKey(key);
    return true;
  }

  void Load() {
    std::string error;
    m_monitor = mvn::spooler::Monitor::Load(MVNMON_PATH, m_name, &error);
    ASSERT_TRUE(m_monitor) << error;
  }
  // A port with an output directory of its own, loaded and opened.
  std::string PlainPort(const std::string& port = "MVN1") {
    std::string out = m_work + "/out";
    fs::create_directories(out);
    SetValue(port, "OutputDirectory", out);
    return out;
  }
  void Open(const std::string& port = "MVN1") {
    Load();
    m_port = m_monitor->OpenPort(port);
    ASSERT_NE(m_port, nullptr);
  }
  mvn::spooler::JobResult Print(const std::string& data, DWORD chunk = 4096, const std::string& user = "JSMITH") {
    mvn::spooler::JobSpec job{"Fax Printer", user, "document.ps", "workstation"};
    return m_monitor->RunJob(m_port, job, mvn::spooler::MemorySource(data), chunk);
  }

  std::string m_name;
  std::string m_work;
  std::unique_ptr<mvn::spooler::Monitor> m_monitor;
  HANDLE m_port = nullptr;
};

std::string UserTemp() {
  char buffer[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  std::string path(buffer, n);
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

void ClearDirectory(const std::string& directory) {
  for (const std::string& file : SpoolFiles(directory)) fs::remove(file);
}

// A mailslot the test serves, standing in for the render engine or a
// launcher.
class Slot {
 public:
  explicit Slot(const std::string& name, DWORD max = 0) {
    m_handle = CreateMailslotA(name.c_str(), max, 0, nullptr);
    EXPECT_NE(m_handle, INVALID_HANDLE_VALUE) << name << " " << GetLastError();
  }
  ~Slot() { Close(); }
  void Close() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(m_handle, buffer, sizeof buffer, &read, nullptr)) messages.emplace_back(buffer, read);
    return messages;
  }

 private:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};

std::string Boxes() { return mvntest::ReadFile(*g_root / "boxes.log"); }

// ---------------------------------------------------------------------------
// The module and its table

TEST(MvnmonModule, ExportsOnlyInitializePrintMonitor) {
  std::string command = std::string("nm -D --defined-only ") + MVNMON_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    symbols.push_back(text.substr(text.rfind(' ') + 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(symbols, std::vector<std::string>{"InitializePrintMonitor"});
}

TEST_F(MonitorTest, TableHasItsEntriesInOrderAndStaysTheSame) {
  Load();
  const MONITOREX* table = m_monitor->Table();
  EXPECT_EQ(table->dwMonitorSize, sizeof(MONITOR));
  const MONITOR& m = table->Monitor;
  EXPECT_TRUE(m.pfnEnumPorts && m.pfnOpenPort && m.pfnStartDocPort && m.pfnWritePort && m.pfnReadPort &&
              m.pfnEndDocPort && m.pfnClosePort && m.pfnAddPort && m.pfnConfigurePort && m.pfnDeletePort);
  EXPECT_EQ(m.pfnOpenPortEx, nullptr);
  EXPECT_EQ(m.pfnAddPortEx, nullptr);
  EXPECT_EQ(m.pfnGetPrinterDataFromPort, nullptr);
  EXPECT_EQ(m.pfnSetPortTimeOuts, nullptr);
  // Every call gives the same table.
  HMODULE again = LoadLibraryA(MVNMON_PATH);  // the same module, loaded once more
  auto initialize = reinterpret_cast<PFN_InitializePrintMonitor>(GetProcAddress(again, INITIALIZE_PRINT_MONITOR));
  std::u16string root = mvn::spooler::Widen(Root());
  EXPECT_EQ(initialize(root.data()), table);
  FreeLibrary(again);
  // ReadPort never reads, AddPort and ConfigurePort succeed without a dialog.
  DWORD read = 7;
  BYTE byte;
  EXPECT_FALSE(m.pfnReadPort(nullptr, &byte, 1, &read));
  EXPECT_TRUE(m_monitor->AddPort("MVNMON"));
  EXPECT_TRUE(m_monitor->ConfigurePort("NOSUCH"));
}

TEST_F(MonitorTest, RootThatIsTooLongRaisesTheLibraryException) {
  HMODULE module = LoadLibraryA(MVNMON_PATH);
  auto initialize = reinterpret_cast<PFN_InitializePrintMonitor>(GetProcAddress(module, INITIALIZE_PRINT_MONITOR));
  std::u16string root(256, u'x');
  try {
    initialize(root.data());
    ADD_FAILURE() << "no exception";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.Code(), 0xEFFFFFFFu);
  }
  FreeLibrary(module);
}

// ---------------------------------------------------------------------------
// Ports and EnumPorts

TEST_F(MonitorTest, LongSubkeyNameEndsThePortList) {
  MakePort("A1");
  MakePort("BLongName");  // 9 characters: the enumeration stops here
  MakePort("C1");
  Load();
  std::vector<mvn::spooler::PortEntry> ports;
  ASSERT_TRUE(m_monitor->EnumPorts(1, &ports));
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].name, "A1");
}

TEST_F(MonitorTest, NoRegistryRootMeansNoPorts) {
  Load();
  std::vector<mvn::spooler::PortEntry> ports;
  EXPECT_TRUE(m_monitor->EnumPorts(2, &ports));
  EXPECT_TRUE(ports.empty());
  EXPECT_EQ(m_monitor->OpenPort("MVN1"), nullptr);
}

TEST_F(MonitorTest, EnumPortsAccountsAndPacksTheBuffer) {
  MakePort("MVN1");
  MakePort("MVN2");
  Load();
  PFN_EnumPortsW enumPorts = m_monitor->Entries().pfnEnumPorts;
  DWORD needed = 0, count = 9;

  // Level 1: per port the structure and the name with its terminator.
  const DWORD level1 = 2 * (sizeof(PORT_INFO_1W) + 2 * 5);
  std::vector<BYTE> buffer(level1 + 16);
  SetLastError(0);
  EXPECT_FALSE(enumPorts(nullptr, 1, buffer.data(), level1 - 1, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, level1);
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(enumPorts(nullptr, 1, nullptr, 0, &needed, &count));
  EXPECT_EQ(needed, level1);

  ASSERT_TRUE(enumPorts(nullptr, 1, buffer.data(), level1, &needed, &count));
  EXPECT_EQ(count, 2u);
  auto* info1 = reinterpret_cast<PORT_INFO_1W*>(buffer.data());
  EXPECT_EQ(std::u16string(info1[0].pName), u"MVN1");
  EXPECT_EQ(std::u16string(info1[1].pName), u"MVN2");
  // Strings from the end: the first port's name is the last thing.
  EXPECT_EQ(reinterpret_cast<BYTE*>(info1[0].pName), buffer.data() + level1 - 10);
  EXPECT_EQ(reinterpret_cast<BYTE*>(info1[1].pName), buffer.data() + level1 - 20);

  // Level 2: 20 bytes of the 32-bit structure are sizeof here.
  const DWORD level2 = 2 * (sizeof(PORT_INFO_2W) + 2 * (4 + 6 + 12 + 3));
  buffer.assign(level2, 0);
  EXPECT_FALSE(enumPorts(nullptr, 2, buffer.data(), level2 - 2, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, level2);
  ASSERT_TRUE(enumPorts(nullptr, 2, buffer.data(), level2, &needed, &count));
  auto* info2 = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
  EXPECT_EQ(std::u16string(info2[1].pPortName), u"MVN2");
  EXPECT_EQ(std::u16string(info2[1].pMonitorName), u"MVNMON");
  EXPECT_EQ(std::u16string(info2[1].pDescription), u"Morvane Port");
  EXPECT_EQ(info2[1].fPortType, PORT_TYPE_WRITE);
  EXPECT_EQ(info2[1].Reserved, 0u);
  EXPECT_EQ(reinterpret_cast<BYTE*>(info2[0].pPortName), buffer.data() + level2 - 10);
  EXPECT_GE(reinterpret_cast<BYTE*>(info2[1].pDescription), buffer.data() + 2 * sizeof(PORT_INFO_2W));

  // Other levels.
  needed = 5;
  EXPECT_FALSE(enumPorts(nullptr, 3, buffer.data(), level2, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
  EXPECT_EQ(needed, 0u);
}

TEST_F(MonitorTest, OpenCloseAndDeletePorts) {
  MakePort("MVN1");
  SetValue("MVN2", "OutputDirectory", "/nowhere");
  Load();
  EXPECT_EQ(m_monitor->OpenPort("mvn1"), nullptr);  // names compare with case
  HANDLE port = m_monitor->OpenPort("MVN1");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(m_monitor->OpenPort("MVN1"), port);  // opening an open port again
  EXPECT_FALSE(m_monitor->DeletePort("MVN1"));   // an open port stays
  EXPECT_TRUE(KeyExists("MVN1"));
  EXPECT_TRUE(m_monitor->ClosePort(port));
  EXPECT_FALSE(m_monitor->ClosePort(port));
  EXPECT_TRUE(m_monitor->DeletePort("MVN1"));
  EXPECT_FALSE(KeyExists("MVN1"));
  EXPECT_FALSE(m_monitor->DeletePort("MVN1"));
  EXPECT_TRUE(m_monitor->DeletePort("MVN2"));  // a key with values goes too
  EXPECT_FALSE(KeyExists("MVN2"));
  std::vector<mvn::spooler::PortEntry> ports;
  ASSERT_TRUE(m_monitor->EnumPorts(1, &ports));
  EXPECT_TRUE(ports.empty());
}

TEST_F(MonitorTest, RepeatedInitializationKeepsTheRecordsOpenHandlesUse) {
  std::string out = PlainPort("MVN1");
  Open("MVN1");
  auto initialize =
      reinterpret_cast<PFN_InitializePrintMonitor>(GetProcAddress(LoadLibraryA(MVNMON_PATH), INITIALIZE_PRINT_MONITOR));
  // The same root again, then another one: the open port's record stays
  // (a freed record would show under the address sanitizer) and closing it
  // works once. Under the other root its settings are not found, so a job
  // on it fails, cleanly.
  std::u16string same = mvn::spooler::Widen(Root());
  std::u16string other = mvn::spooler::Widen(Root() + "_other");
  EXPECT_EQ(initialize(same.data()), m_monitor->Table());
  EXPECT_TRUE(Print("same root").Succeeded());
  EXPECT_EQ(initialize(other.data()), m_monitor->Table());
  EXPECT_FALSE(Print("other root").started);
  std::vector<mvn::spooler::PortEntry> ports;
  ASSERT_TRUE(m_monitor->EnumPorts(1, &ports));
  EXPECT_TRUE(ports.empty());  // the other root has no ports; the old record is found by no name
  EXPECT_EQ(m_monitor->OpenPort("MVN1"), nullptr);
  EXPECT_TRUE(m_monitor->ClosePort(m_port));
  EXPECT_FALSE(m_monitor->ClosePort(m_port));
  m_port = nullptr;
  EXPECT_EQ(SpoolFiles(out).size(), 1u);
  // Back to this test's root: its port is there again.
  EXPECT_EQ(initialize(same.data()), m_monitor->Table());
  ASSERT_TRUE(m_monitor->EnumPorts(1, &ports));
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].name, "MVN1");
}

TEST_F(MonitorTest, DeletePortFailsWhenTheKeyStays) {
  MakePort("MVN1");
  MakePort("MVN1\\Child");  // a key with a subkey cannot be deleted
  Load();
  EXPECT_FALSE(m_monitor->DeletePort("MVN1"));
  EXPECT_TRUE(KeyExists("MVN1"));
  EXPECT_NE(m_monitor->OpenPort("MVN1"), nullptr);  // and the record stays
}

// ---------------------------------------------------------------------------
// Plain jobs and the spool header

struct HeaderCase {
  const char* label;
  std::string data;
  std::string withHeader;  // the file with AddUserID "1"
};

std::vector<HeaderCase> HeaderCases() {
  const std::string user = "USER ID=JSMITH\r\n";
  const std::string header = "!MORVANE-MVNMON\r\n" + user + "!END\r\n";
  std::string big(20000, 'x');
  return {
      {"postscript", "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n", header + "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n"},
      {"mvn marker", " \r\n\t!mvn::MVN\r\nrest", " \r\n\t!mvn::MVN\r\nrest"},
      {"morvane line", "!MORVANE fax\r\n\r\n  TO=1234\r\nmore", "!MORVANE fax\r\n\r\n  " + user + "TO=1234\r\nmore"},
      {"morvane lower case", "  !morvane x\nbody", "  !morvane x\n" + user + "body"},
      {"morvane without line end", "!MORVANE" + big,
       "!MORVANE" + big.substr(0, 4096 - 8) + user + big.substr(4096 - 8)},
      {"morvane alone", "!MORVANE", "!MORVANE" + user},
      {"short data", "!M", header + "!M"},
      {"blank data", "  \r\n", header + "  \r\n"},
      {"binary", std::string("\x80\x01!MVN", 6), header + std::string("\x80\x01!MVN", 6)},
  };
}

TEST_F(MonitorTest, PlainJobsAcrossChunkSizesAndHeaderSettings) {
  std::string out = PlainPort();
  Open();
  for (const char* addUserId : {"1", "yes", " 1", static_cast<const char*>(nullptr)}) {
    if (addUserId)
      SetValue("MVN1", "AddUserID", addUserId);
    else
      DeleteValue("MVN1", "AddUserID");
    bool on = addUserId && std::string(addUserId) == "1";
    for (const HeaderCase& c : HeaderCases()) {
      for (DWORD chunk : {1u, 7u, 4096u}) {
        SCOPED_TRACE(std::string(c.label) + " AddUserID=" + (addUserId ? addUserId : "(none)") +
                     " chunk=" + std::to_string(chunk));
        ClearDirectory(out);
        mvn::spooler::JobResult result = Print(c.data, chunk);
        EXPECT_TRUE(result.Succeeded()) << result.failure;
        EXPECT_TRUE(result.done);                       // the monitor cancelled the job at its end
        EXPECT_EQ(result.bytesWritten, c.data.size());  // header bytes are not counted
        std::vector<std::string> files = SpoolFiles(out);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(mvntest::ReadFile(files[0]), on ? c.withHeader : c.data);
      }
    }
  }
}

TEST_F(MonitorTest, HeaderIsWrittenOnceAndNotCountedWhenDrivenByHand) {
  PlainPort();
  SetValue("MVN1", "AddUserID", "1");
  Open();
  const MONITOR& m = m_monitor->Entries();
  // The spooler's own calls: a zero-length first write, then the data.
  std::string out = m_work + "/out";
  ClearDirectory(out);
  mvn::spooler::JobSpec job{"Fax Printer", "JSMITH", "doc", ""};
  std::string data = "hello";
  bool wrote = false;
  auto source = [&](void* buffer, DWORD) -> long {
    if (wrote) return 0;
    wrote = true;
    DWORD written = 99;
    EXPECT_TRUE(m.pfnWritePort(m_port, reinterpret_cast<LPBYTE>(const_cast<char*>("")), 0, &written));
    EXPECT_EQ(written, 0u);
    std::memcpy(buffer, data.data(), data.size());
    return static_cast<long>(data.size());
  };
  mvn::spooler::JobResult result = m_monitor->RunJob(m_port, job, source, 64);
  EXPECT_TRUE(result.Succeeded()) << result.failure;
  std::vector<std::string> files = SpoolFiles(out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), "!MORVANE-MVNMON\r\nUSER ID=JSMITH\r\n!END\r\nhello");
}

TEST_F(MonitorTest, EmptyJobLeavesNoFile) {
  std::string out = PlainPort();
  SetValue("MVN1", "AddUserID", "1");
  Open();
  mvn::spooler::JobResult result = Print("");
  EXPECT_TRUE(result.Succeeded()) << result.failure;
  EXPECT_TRUE(SpoolFiles(out).empty());
}

TEST_F(MonitorTest, FullUserNameGoesIntoTheHeader) {
  std::string out = PlainPort();
  SetValue("MVN1", "AddUserID", "1");
  Open();
  std::string user = "a.very.long.user.name@example.org-" + std::string(1200, 'u');
  ASSERT_TRUE(Print("data", 4096, user).Succeeded());
  std::vector<std::string> files = SpoolFiles(out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), "!MORVANE-MVNMON\r\nUSER ID=" + user + "\r\n!END\r\ndata");
}

TEST_F(MonitorTest, PlainJobWithoutOutputDirectoryGoesToTheTemporaryDirectory) {
  MakePort("MVN1");
  Open();
  ClearDirectory(UserTemp());
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  std::vector<std::string> before = SpoolFiles(cwd);
  ASSERT_TRUE(Print("data").Succeeded());
  std::vector<std::string> files = SpoolFiles(UserTemp());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), "data");
  EXPECT_EQ(SpoolFiles(cwd), before);
  ClearDirectory(UserTemp());
}

TEST_F(MonitorTest, JobFailsWithoutPortKeyOrWithoutPrinter) {
  PlainPort();
  Open();
  // The key went away after loading: the job does not start.
  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Root().c_str(), 0, KEY_WRITE, &root), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(root, "MVN1"), ERROR_SUCCESS);
  RegCloseKey(root);
  mvn::spooler::JobResult result = Print("data");
  EXPECT_FALSE(result.started);
  EXPECT_FALSE(result.ended);
  PlainPort();
  // A printer the spooler does not know.
  std::u16string printer = u"No Such Printer";
  EXPECT_FALSE(m_monitor->Entries().pfnStartDocPort(m_port, printer.data(), 999, 1, nullptr));
  // Ending without a spool file fails; so does writing.
  DWORD written = 5;
  BYTE byte = 0;
  EXPECT_FALSE(m_monitor->Entries().pfnWritePort(m_port, &byte, 1, &written));
  EXPECT_EQ(written, 5u);
  EXPECT_FALSE(m_monitor->Entries().pfnEndDocPort(m_port));
  EXPECT_TRUE(Print("data").Succeeded());
}

// ---------------------------------------------------------------------------
// Render jobs

TEST_F(MonitorTest, RenderJobSendsThePathToTheRenderEngine) {
  std::string out = PlainPort();
  SetValue("MVN1", "AddUserID", "1");
  SetValue("MVN1", "ExternalApplication", "/bin/true");
  SetValue("MVN1", "Launch", "1");
  Open();
  ClearDirectory(UserTemp());
  {
    Slot render("\\\\.\\mailslot\\mvnRender");
    ASSERT_TRUE(Print("%!PS render me").Succeeded());
    std::vector<std::string> files = SpoolFiles(UserTemp());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(mvntest::ReadFile(files[0]), "%!PS render me");  // no header for a render job
    EXPECT_EQ(render.Messages(), std::vector<std::string>{files[0] + std::string(1, '\0')});
    EXPECT_TRUE(SpoolFiles(out).empty());
    // An empty render job sends nothing.
    fs::remove(files[0]);
    ASSERT_TRUE(Print("").Succeeded());
    EXPECT_TRUE(render.Messages().empty());
    EXPECT_TRUE(SpoolFiles(UserTemp()).empty());
  }
  // The engine went away: the next job follows the port's launch settings.
  DeleteValue("MVN1", "ExternalApplication");
  ASSERT_TRUE(Print("plain now").Succeeded());
  std::vector<std::string> files = SpoolFiles(out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), "!MORVANE-MVNMON\r\nUSER ID=JSMITH\r\n!END\r\nplain now");
}

TEST_F(MonitorTest, PortsOwnMailSlotAndOversizedValues) {
  PlainPort();
  SetValue("MVN1", "MailSlot", "fax\\engine2");
  Open();
  ClearDirectory(UserTemp());
  {
    Slot own("\\\\.\\mailslot\\fax\\engine2");
    Slot standard("\\\\.\\mailslot\\mvnrender");
    ASSERT_TRUE(Print("x").Succeeded());
    EXPECT_EQ(own.Messages().size(), 1u);
    EXPECT_TRUE(standard.Messages().empty());
    ClearDirectory(UserTemp());
    // 64 characters do not fit: the value counts as unreadable and the
    // standard slot applies, never a cut name.
    SetValue("MVN1", "MailSlot", "fax\\engine2" + std::string(53, 'z'));
    ASSERT_TRUE(Print("x").Succeeded());
    EXPECT_TRUE(own.Messages().empty());
    EXPECT_EQ(standard.Messages().size(), 1u);
  }
  ClearDirectory(UserTemp());
}

// ---------------------------------------------------------------------------
// Launch jobs

TEST_F(MonitorTest, LaunchAtStartTellsTheUsersLauncherBeforeTheData) {
  std::string out = PlainPort();
  SetValue("MVN1", "AddUserID", "1");
  SetValue("MVN1", "ExternalApplication", "/opt/fax/client -send");
  SetValue("MVN1", "StartupDirectory", "/opt/fax");
  SetValue("MVN1", "Launch", "1");
  Open();
  ClearDirectory(UserTemp());
  Slot user("\\\\.\\mailslot\\mvnfuial\\JSMITH\\launcher");
  Slot console("\\\\.\\mailslot\\mvncuial");
  std::vector<std::string> atStart;
  bool first = true;
  std::string data = "%!PS launched";
  std::size_t offset = 0;
  auto source = [&](void* buffer, DWORD size) -> long {
    if (first) atStart = user.Messages();
    first = false;
    std::size_t take = std::min<std::size_t>(size, data.size() - offset);
    std::memcpy(buffer, data.data() + offset, take);
    offset += take;
    return static_cast<long>(take);
  };
  mvn::spooler::JobResult result =
      m_monitor->RunJob(m_port, mvn::spooler::JobSpec{"Fax Printer", "JSMITH", "d", ""}, source, 4096);
  ASSERT_TRUE(result.Succeeded()) << result.failure;
  std::vector<std::string> files = SpoolFiles(UserTemp());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(mvntest::ReadFile(files[0]), data);  // no header for a launch job
  ASSERT_EQ(atStart.size(), 2u);
  EXPECT_EQ(atStart[0], std::string("#startuppath=/opt/fax") + '\0');
  EXPECT_EQ(atStart[1], "/opt/fax/client -send " + files[0] + " " + out + '\0');
  EXPECT_TRUE(user.Messages().empty());  // nothing more at the end
  EXPECT_TRUE(console.Messages().empty());
  ClearDirectory(UserTemp());
}

TEST_F(MonitorTest, LaunchAfterPrintingGoesToTheConsoleWhenTheUserHasNoLauncher) {
  MakePort("MVN1");
  SetValue("MVN1", "ExternalApplication", "/opt/fax/client");
  SetValue("MVN1", "Launch", "2");
  Open();
  ClearDirectory(UserTemp());
  Slot console("\\\\.\\mailslot\\mvncuial");
  std::vector<std::string> during;
  bool first = true;
  auto source = [&](void* buffer, DWORD) -> long {
    if (!first) return 0;
    first = false;
    during = console.Messages();
    std::memcpy(buffer, "abc", 3);
    return 3;
  };
  ASSERT_TRUE(m_monitor->RunJob(m_port, mvn::spooler::JobSpec{"Fax Printer", "JSMITH", "d", ""}, source).Succeeded());
  EXPECT_TRUE(during.empty());
  std::vector<std::string> files = SpoolFiles(UserTemp());
  ASSERT_EQ(files.size(), 1u);
  // No start-up directory, no output directory: no start path, no trailing blank.
  EXPECT_EQ(console.Messages(), std::vector<std::string>{"/opt/fax/client " + files[0] + '\0'});
  ClearDirectory(UserTemp());
}

TEST_F(MonitorTest, LaunchAfterPrintingRereadsSettingsUnlessReadOnce) {
  MakePort("MVN1");
  SetValue("MVN1", "ExternalApplication", "/opt/old");
  SetValue("MVN1", "Launch", "2");
  Open();
  ClearDirectory(UserTemp());
  Slot console("\\\\.\\mailslot\\mvncuial");
  auto printChanging = [&](const char* newApplication) {
    bool first = true;
    auto source = [&](void* buffer, DWORD) -> long {
      if (!first) return 0;
      first = false;
      if (newApplication)
        SetValue("MVN1", "ExternalApplication", newApplication);
      else
        DeleteValue("MVN1", "ExternalApplication");
      std::memcpy(buffer, "abc", 3);
      return 3;
    };
    return m_monitor->RunJob(m_port, mvn::spooler::JobSpec{"Fax Printer", "JSMITH", "d", ""}, source).Succeeded();
  };
  // Settings read again at the end: the new application starts.
  ASSERT_TRUE(printChanging("/opt/new"));
  std::vector<std::string> messages = console.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("/opt/new ", 0), 0u);
  // Emptied during the job: nothing is launched.
  SetValue("MVN1", "ExternalApplication", "/opt/old");
  ASSERT_TRUE(printChanging(nullptr));
  EXPECT_TRUE(console.Messages().empty());
  // With ReadOnce the job launches with the settings it started with.
  SetValue("MVN1", "ExternalApplication", "/opt/old");
  SetValue("MVN1", "ReadOnce", "1");
  ASSERT_TRUE(printChanging("/opt/other"));  // this job reads the settings, the last time
  ASSERT_EQ(console.Messages().size(), 1u);
  SetValue("MVN1", "ExternalApplication", "/opt/ignored");
  ASSERT_TRUE(printChanging(nullptr));
  messages = console.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("/opt/old ", 0), 0u);
  ClearDirectory(UserTemp());
}

TEST_F(MonitorTest, NoLauncherShowsTheBoxAndKeepsTheFile) {
  MakePort("MVN1");
  SetValue("MVN1", "ExternalApplication", "/opt/fax/client");
  SetValue("MVN1", "Launch", "1");
  Open();
  ClearDirectory(UserTemp());
  mvn::spooler::JobResult result = Print("data");
  EXPECT_TRUE(result.Succeeded()) << result.failure;
  EXPECT_EQ(SpoolFiles(UserTemp()).size(), 1u);
  std::string boxes = Boxes();
  EXPECT_NE(boxes.find("Error: Morvane Print Monitor unable to run Morvane Front End application."), std::string::npos)
      << boxes;
  ClearDirectory(UserTemp());
}

TEST_F(MonitorTest, LauncherMessagesThatDoNotFitAreNotSent) {
  MakePort("MVN1");
  SetValue("MVN1", "Launch", "1");
  Open();
  Slot console("\\\\.\\mailslot\\mvncuial");
  struct Case {
    std::string application, startup;
    bool sent;
  };
  // The command line is application, blank, spool path and NUL; the start
  // path is "#startuppath=", the directory and NUL.
  std::vector<Case> cases = {
      {"/bin/app", "", true},
      {"/" + std::string(249, 'a'), "", false},          // fits the setting, not the message
      {"/bin/app", "/" + std::string(245, 'd'), true},   // 13 + 246 + 1 = 260
      {"/bin/app", "/" + std::string(246, 'd'), false},  // 261
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.application.size());
    SetValue("MVN1", "ExternalApplication", c.application);
    if (c.startup.empty())
      DeleteValue("MVN1", "StartupDirectory");
    else
      SetValue("MVN1", "StartupDirectory", c.startup);
    fs::remove(*g_root / "boxes.log");
    ClearDirectory(UserTemp());
    ASSERT_TRUE(Print("data").Succeeded());
    std::vector<std::string> files = SpoolFiles(UserTemp());
    ASSERT_EQ(files.size(), 1u);
    std::vector<std::string> messages = console.Messages();
    if (c.sent) {
      EXPECT_EQ(messages.size(), c.startup.empty() ? 1u : 2u);
      EXPECT_EQ(messages.back(), c.application + " " + files[0] + '\0');
      EXPECT_TRUE(Boxes().empty());
    } else {
      EXPECT_TRUE(messages.empty());
      EXPECT_NE(Boxes().find("unable to run"), std::string::npos);
    }
  }
  ClearDirectory(UserTemp());
}

TEST_F(MonitorTest, LaunchWithoutApplicationIsAPlainJob) {
  std::string out = PlainPort();
  SetValue("MVN1", "Launch", "1");
  SetValue("MVN1", "ExternalApplication", "");
  Open();
  Slot console("\\\\.\\mailslot\\mvncuial");
  ASSERT_TRUE(Print("data").Succeeded());
  EXPECT_EQ(SpoolFiles(out).size(), 1u);
  EXPECT_TRUE(console.Messages().empty());
}

}  // namespace
