// dlvmapi in the test's own process against the messaging substitute: the
// message as submitted, the session's life, transport flushing, failures
// at every step (each releasing what it opened), error names, and the
// options page through scripted headless dialogs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/exports.h"
#include "tests/support/recordingconfig.h"
#include "delivery/mapi/mapimodule.h"
#include "platform/dialogs/script.h"
#include "platform/module/module.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;
namespace mapi = mvn::mapi;
using deliverytest::RecordingConfig;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

const char kStore[] =
    "[Profiles]\r\nCount=2\r\nProfile1=Fax User\r\nProfile2=Sales\r\nDefault=Sales\r\n"
    "[Profile Fax User]\r\nPassword=secret\r\nStore=Personal Folders\r\nOtherStore=Archive\r\nTransports=3\r\n"
    "Transport1=Internet Mail\r\nTransport1Flush=0\r\nTransport2=Fax Transport\r\nTransport2Flush=1\r\n"
    "Transport3=Internet Mail\r\nTransport3Flush=1\r\n"
    "[Profile Sales]\r\nStore=Sales Store\r\nTransports=1\r\nTransport1=Sales Link\r\n"
    "[AddressBook]\r\nCount=4\r\nEntry1=Fax Server\r\nEntry1Address=fax@server.example\r\n"
    "Entry2=Ann Smith\r\nEntry2Address=ann@example.com\r\nEntry3=Ann Jones\r\nEntry3Address=aj@example.com\r\n"
    "Entry4=Fax Server Backup\r\nEntry4Address=fax2@server.example\r\n";

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Journal lines of one method (without the process id).
std::vector<std::string> Calls(const std::string& root, const std::string& method) {
  std::vector<std::string> calls;
  for (const std::string& line : Lines(root + "/mapi/journal.log")) {
    std::istringstream words(line);
    std::string pid, name;
    words >> pid >> name;
    if (name == method) calls.push_back(line.substr(line.find(name)));
  }
  return calls;
}

std::vector<fs::path> Entries(const fs::path& directory) {
  std::vector<fs::path> entries;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The substitute's count of live objects or buffers in this process.
mapi::ULONG Live(const char* name) {
  HMODULE module = mvn::delivery::mapi::Library().module;
  auto fn = module ? reinterpret_cast<mapi::MVNMAPILIVE>(GetProcAddress(module, name)) : nullptr;
  return fn ? fn() : 0xFFFFFFFFu;
}

class MapiModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("MVN_ROOT", root.str().c_str(), 1);
    setenv("MVN_DIALOGS", "headless", 1);
    // The pages are static objects: each test starts with none applied.
    mvn::delivery::Identity()->m_applied = false;
    mvn::delivery::mapi::OptionsPage()->m_applied = false;
    fs::create_directories(root / "mapi");
    WriteFile(root / "mapi/mapi.ini", kStore);
    job.clear();
    for (int i = 0; i < 20000; ++i) job.push_back(static_cast<char>((i * 37 + i / 11) & 0xFF));
    WriteFile(jobPath, job);
  }
  void TearDown() override {
    mvn::delivery::mapi::Terminate(record);
    record = nullptr;
    dlg::SetScript(nullptr);
  }

  MAPIRECORD* Load(const std::string& settings) {
    WriteFile(iniPath, "[MVNCSEND]\r\n" + settings);
    RecordingConfig config(iniPath.c_str(), "MVNCSEND");
    mvn::delivery::mapi::Terminate(record);
    record = mvn::delivery::mapi::Initialize(&config);
    reads = config.reads;
    return record;
  }
  MAPIRECORD* LoadDefault(const std::string& extra = "") {
    return Load("MAPILogonProfile=Fax User\r\nMAPILogonPassword=secret\r\nMAPIDeliverTo=Fax Server\r\n"
                "MAPITransport=fax transport\r\nSenderDefaults=yes\r\n" +
                extra);
  }
  void Fault(const std::string& method, int n, const char* result) {
    std::ofstream(root / "mapi/faults", std::ios::app) << method << " " << n << " " << result << "\n";
  }
  std::string Text() { return mvn::delivery::mapi::GetLastResult(record); }
  std::vector<fs::path> Delivered(const std::string& transport) {
    return Entries(root / ("mapi/transports/" + transport + "/delivered"));
  }
  std::vector<fs::path> Queued() { return Entries(root / "mapi/stores/Personal Folders/queue"); }

  TempDir root;
  std::string iniPath = root / "mvncsend.ini";
  std::string jobPath = root / "job.mvn";
  std::string job;
  MAPIRECORD* record = nullptr;
  std::vector<std::string> reads;
};

TEST_F(MapiModuleTest, SettingsAreReadInOrderAndTheTextIsEmptyBeforeAFailure) {
  LoadDefault();
  EXPECT_EQ(reads, (std::vector<std::string>{"DialogTitle", "YourName", "YourEmailAddress", "IdentityToken",
                                             "KeepFiles", "MAPILogonProfile", "MAPILogonPassword", "MAPIDeliverTo",
                                             "MAPITransport", "SenderDefaults"}));
  ASSERT_NE(mvn::delivery::mapi::GetLastResult(record), nullptr);
  EXPECT_STREQ(mvn::delivery::mapi::GetLastResult(record), "");
}

TEST_F(MapiModuleTest, ErrorNamesComeFromTheTableFirstMatchFirst) {
  struct Case {
    uint32_t code;
    const char* name;
  } cases[] = {
      {0x8007000E, "MAPI_E_NOT_ENOUGH_MEMORY"}, {0x80070057, "MAPI_E_INVALID_PARAMETER"},
      {0x80004002, "MAPI_E_INTERFACE_NOT_SUPPORTED"}, {0x80070005, "MAPI_E_NO_ACCESS"},
      {0x80004005, "MAPI_E_CALL_FAILED"}, {0x80040700, "MAPI_E_AMBIGUOUS_RECIP"}, {0x8004010F, "MAPI_E_NOT_FOUND"},
      {0x00040380, "MAPI_W_ERRORS_RETURNED"}, {0x8000FFFF, "E_UNEXPECTED"}, {0x80070006, "E_HANDLE"},
      {0, "SUCCESS_SUCCESS"}, {0x80041234, "Unknown"}, {0x12345678, "Unknown"},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(mvn::delivery::mapi::MapiErrorName(static_cast<mapi::HRESULT>(c.code)), c.name) << std::hex << c.code;
}

TEST_F(MapiModuleTest, TheJobLeavesAsAttachmentOfASubmittedMessage) {
  LoadDefault();
  ASSERT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
  std::vector<fs::path> messages = Delivered("Fax Transport");
  ASSERT_EQ(messages.size(), 1u) << "the matching transport (without regard to case) was flushed";
  EXPECT_TRUE(Queued().empty());
  const fs::path& m = messages[0];
  std::vector<std::string> props = Lines(m / "message.props");
  EXPECT_EQ(props, (std::vector<std::string>{"0x0037001E=MVN::SEND,SENDER-DEFAULTS=yes", "0x001A001E=IPM.Note",
                                             "0x0E01000B=1"}));
  std::string recipients = ReadFile(m / "recipients.props");
  EXPECT_NE(recipients.find("0x3001001E=Fax Server\n"), std::string::npos) << recipients;
  EXPECT_NE(recipients.find("0x0C150003=1\n"), std::string::npos) << "MAPI_TO";
  EXPECT_EQ(Lines(m / "attach-1.props"),
            (std::vector<std::string>{"0x37050003=1", "0x3704001E=ATTACH.MVN"}));
  EXPECT_EQ(ReadFile(m / "attach-1.bin"), job) << "every block of the job, in order";

  // The flags the module passes.
  std::string root_ = root.str();
  EXPECT_EQ(Calls(root_, "MAPILogonEx"), (std::vector<std::string>{"MAPILogonEx Fax User flags=0x00000012"}));
  ASSERT_EQ(Calls(root_, "IMAPISession::OpenMsgStore").size(), 1u);
  EXPECT_NE(Calls(root_, "IMAPISession::OpenMsgStore")[0].find("STORE:Personal Folders flags=0x00000005"),
            std::string::npos)
      << "the default store, not the first row";
  EXPECT_NE(Calls(root_, "IMsgStore::OpenEntry")[0].find("flags=0x00000001"), std::string::npos);
  EXPECT_EQ(Calls(root_, "IMAPIStatus::FlushQueues"),
            (std::vector<std::string>{"IMAPIStatus::FlushQueues Fax Transport target=0 flags=0x0000000A"}));
  EXPECT_EQ(Calls(root_, "IAttach::OpenProperty"),
            (std::vector<std::string>{"IAttach::OpenProperty 0x37010102 flags=0x00000003"}));
  EXPECT_EQ(Calls(root_, "IStream::Write"),
            (std::vector<std::string>{"IStream::Write 8192", "IStream::Write 8192", "IStream::Write 3616"}));
}

TEST_F(MapiModuleTest, TwoSendsLogOnOnceAndTerminateBalancesEverything) {
  LoadDefault();
  ASSERT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
  ASSERT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
  EXPECT_EQ(Calls(root.str(), "MAPILogonEx").size(), 1u);
  EXPECT_EQ(Delivered("Fax Transport").size(), 2u);
  mvn::delivery::mapi::Terminate(record);
  record = nullptr;
  EXPECT_EQ(Calls(root.str(), "IMAPISession::Logoff").size(), 1u);
  EXPECT_EQ(Calls(root.str(), "MAPIInitialize").size(), Calls(root.str(), "MAPIUninitialize").size());
  EXPECT_EQ(Live("MvnMapiLiveObjects"), 0u);
  EXPECT_EQ(Live("MvnMapiLiveBuffers"), 0u);
  EXPECT_TRUE(Calls(root.str(), "MAPIFreeBuffer").empty()) << "no block was freed twice or foreign";
}

TEST_F(MapiModuleTest, TransportChoices) {
  struct Case {
    const char* transport;
    const char* delivered;  // nullptr: the message stays queued
  } cases[] = {
      {"", nullptr},
      {"Work Offline", nullptr},
      {"INTERNET MAIL", "Internet Mail"},  // the first row with the flush bit
      {"Sales Link", nullptr},             // a transport of another profile
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transport);
    TempDir fresh;
    setenv("MVN_ROOT", fresh.str().c_str(), 1);
    fs::create_directories(fresh / "mapi");
    WriteFile(fresh / "mapi/mapi.ini", kStore);
    Load(std::string("MAPILogonProfile=Fax User\r\nMAPILogonPassword=secret\r\nMAPIDeliverTo=Fax Server\r\n") +
         "MAPITransport=" + c.transport + "\r\n");
    ASSERT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
    size_t queued = Entries(fresh / "mapi/stores/Personal Folders/queue").size();
    if (c.delivered) {
      EXPECT_EQ(queued, 0u);
      EXPECT_EQ(Entries(fresh / ("mapi/transports/" + std::string(c.delivered) + "/delivered")).size(), 1u);
    } else {
      EXPECT_EQ(queued, 1u);
      EXPECT_TRUE(Calls(fresh.str(), "IMAPIStatus::FlushQueues").empty());
    }
    mvn::delivery::mapi::Terminate(record);
    record = nullptr;
  }
  setenv("MVN_ROOT", root.str().c_str(), 1);
}

TEST_F(MapiModuleTest, RecipientsTheAddressBookCannotResolve) {
  struct Case {
    const char* deliverTo;
    const char* text;
  } cases[] = {{"Nobody", "MAPI_E_NOT_FOUND"}, {"Ann", "MAPI_E_AMBIGUOUS_RECIP"}, {"Fax", "MAPI_E_AMBIGUOUS_RECIP"}};
  for (const Case& c : cases) {
    Load(std::string("MAPILogonProfile=Fax User\r\nMAPILogonPassword=secret\r\nMAPIDeliverTo=") + c.deliverTo +
         "\r\n");
    EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
    EXPECT_EQ(Text(), c.text) << c.deliverTo;
  }
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(Calls(root.str(), "MAPIFreeBuffer").empty());
}

TEST_F(MapiModuleTest, AFailedLogonIsTriedAgainAtTheNextSend) {
  LoadDefault();
  Fault("MAPILogonEx", 1, "0x80040111");
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
  EXPECT_EQ(Text(), "MAPI_E_LOGON_FAILED");
  EXPECT_EQ(Calls(root.str(), "MAPIUninitialize").size(), 1u) << "the initialise was undone";
  EXPECT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
  EXPECT_EQ(Calls(root.str(), "MAPILogonEx").size(), 2u);
}

// A failure injected at each step: the send fails with the result's name,
// nothing is submitted, and once terminated no object or buffer is left.
TEST_F(MapiModuleTest, EveryStepsFailureIsReportedAndReleased) {
  const char* steps[] = {"MAPIInitialize",
                         "MAPILogonEx",
                         "IMAPISession::GetMsgStoresTable",
                         "HrQueryAllRows",
                         "IMAPISession::OpenMsgStore",
                         "IMsgStore::GetProps",
                         "IMsgStore::OpenEntry",
                         "IMAPIFolder::CreateMessage",
                         "IMAPISession::OpenAddressBook",
                         "MAPIAllocateBuffer",
                         "IAddrBook::ResolveName",
                         "IMessage::ModifyRecipients",
                         "IMessage::CreateAttach",
                         "IAttach::OpenProperty",
                         "IStream::Write",
                         "IAttach::SetProps",
                         "IAttach::SaveChanges",
                         "IMessage::SetProps",
                         "IMessage::SubmitMessage"};
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    TempDir fresh;
    setenv("MVN_ROOT", fresh.str().c_str(), 1);
    fs::create_directories(fresh / "mapi");
    WriteFile(fresh / "mapi/mapi.ini", kStore);
    std::ofstream(fresh / "mapi/faults") << step << " 1 0x8004010E\n";
    LoadDefault();
    EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
    EXPECT_EQ(Text(), "MAPI_E_NOT_ENOUGH_RESOURCES");
    EXPECT_TRUE(Entries(fresh / "mapi/stores/Personal Folders/queue").empty());
    mvn::delivery::mapi::Terminate(record);
    record = nullptr;
    EXPECT_EQ(Live("MvnMapiLiveObjects"), 0u);
    EXPECT_EQ(Live("MvnMapiLiveBuffers"), 0u);
    // A failed initialise needs no uninitialise.
    size_t initialised = Calls(fresh.str(), "MAPIInitialize").size() - (std::string(step) == "MAPIInitialize");
    EXPECT_EQ(initialised, Calls(fresh.str(), "MAPIUninitialize").size());
    EXPECT_TRUE(Calls(fresh.str(), "MAPIFreeBuffer").empty());
  }
  setenv("MVN_ROOT", root.str().c_str(), 1);
}

TEST_F(MapiModuleTest, AFailedFlushDoesNotFailTheSend) {
  LoadDefault();
  Fault("IMAPIStatus::FlushQueues", 1, "0x80040115");
  EXPECT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
  EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(MapiModuleTest, AnEndedSessionIsOpenedAgain) {
  LoadDefault();
  Fault("IMAPIFolder::CreateMessage", 1, "0x80040200");
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
  EXPECT_EQ(Text(), "MAPI_E_END_OF_SESSION");
  EXPECT_TRUE(mvn::delivery::mapi::SendFile(record, jobPath.c_str())) << Text();
  EXPECT_EQ(Calls(root.str(), "MAPILogonEx").size(), 2u);
}

// Failures without a MAPI result name their step and replace an earlier
// failure's text; no entry id that is an error value reaches OpenEntry.
TEST_F(MapiModuleTest, FailuresWithoutAResultNameTheirStep) {
  LoadDefault();
  Fault("MAPILogonEx", 1, "0x80040111");
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
  EXPECT_EQ(Text(), "MAPI_E_LOGON_FAILED");

  std::ofstream(root / "mapi/mapi.ini", std::ios::app) << "[Store Personal Folders]\r\nOutbox=0\r\n";
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
  EXPECT_EQ(Text(), "the default message store has no Outbox");
  EXPECT_TRUE(Calls(root.str(), "IMsgStore::OpenEntry").empty());

  std::ofstream(root / "mapi/mapi.ini", std::ios::app) << "OutboxEntryId=MESSAGE:1\r\n";
  std::string ini = ReadFile(root / "mapi/mapi.ini");
  ini.replace(ini.find("Outbox=0"), 8, "Outbox=1");
  WriteFile(root / "mapi/mapi.ini", ini);
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
  EXPECT_EQ(Text(), "the Outbox entry is not a folder");

  ini.replace(ini.find("OutboxEntryId=MESSAGE:1"), 23, "");
  ini.replace(ini.find("Store=Personal Folders"), 22, "Store=");
  WriteFile(root / "mapi/mapi.ini", ini);
  size_t opened = Calls(root.str(), "IMAPISession::OpenMsgStore").size();
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, jobPath.c_str()));
  EXPECT_EQ(Text(), "no default message store") << "the other store is not taken instead";
  EXPECT_EQ(Calls(root.str(), "IMAPISession::OpenMsgStore").size(), opened);

  WriteFile(root / "mapi/mapi.ini", kStore);
  EXPECT_FALSE(mvn::delivery::mapi::SendFile(record, (root / "no-such-job").c_str()));
  EXPECT_EQ(Text(), "cannot open the job file " + root / "no-such-job" + ": The system cannot find the file specified.");
  EXPECT_EQ(Live("MvnMapiLiveBuffers"), 0u);
}

TEST_F(MapiModuleTest, TheOptionsPageListsLazilyAndWritesTheFourKeys) {
  LoadDefault("YourName=Ann\r\n");
  WriteFile(root / "mapi/address-choice", "Ann Jones\n");
  std::vector<std::string> profiles, transports;
  dlg::SetScript([&](HWND sheet) {
    ASSERT_TRUE(dlg::SelectPage(sheet, 1));
    HWND page = dlg::PageWindow(sheet, 1);
    HWND profile = dlg::FindControl(sheet, IDC_LOGON_PROFILE);
    HWND transport = dlg::FindControl(sheet, IDC_DELIVER_TRANSPORT);
    auto items = [](HWND combo) {
      std::vector<std::string> list;
      LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
      for (LRESULT i = 0; i < count; ++i) {
        char text[128] = "";
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        list.push_back(text);
      }
      return list;
    };
    EXPECT_EQ(items(profile), (std::vector<std::string>{"Fax User"})) << "only the current profile before a drop-down";
    EXPECT_EQ(items(transport), (std::vector<std::string>{"Work Offline", "fax transport"}));
    EXPECT_EQ(SendMessageA(transport, CB_GETCURSEL, 0, 0), 1);
    ASSERT_TRUE(dlg::DropDown(profile));
    profiles = items(profile);
    EXPECT_EQ(SendMessageA(profile, CB_GETCURSEL, 0, 0), 0) << "the kept profile stays selected";
    ASSERT_TRUE(dlg::DropDown(transport));
    transports = items(transport);
    ASSERT_TRUE(dlg::SelectItem(transport, 1));
    ASSERT_TRUE(dlg::Click(dlg::FindControl(sheet, IDC_SELECT_ADDRESS)));
    char name[64] = "";
    GetDlgItemTextA(page, IDC_DELIVER_TO, name, sizeof name);
    EXPECT_STREQ(name, "Ann Jones");
    ASSERT_TRUE(dlg::PressButton(sheet, IDOK));
  });
  WriteFile(iniPath, ReadFile(iniPath));
  RecordingConfig config(iniPath.c_str(), "MVNCSEND");
  ASSERT_TRUE(mvn::delivery::mapi::Configure(record, &config));
  EXPECT_EQ(profiles, (std::vector<std::string>{"Fax User", "Sales"}));
  // Flush-capable transports only, exact duplicates once.
  EXPECT_EQ(transports, (std::vector<std::string>{"Work Offline", "Fax Transport", "Internet Mail"}));
  std::vector<std::string> tail(config.writes.end() - 4, config.writes.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"MAPILogonProfile=Fax User", "MAPILogonPassword=secret",
                                            "MAPIDeliverTo=Ann Jones", "MAPITransport=Fax Transport"}));
  std::vector<std::string> address = Calls(root.str(), "IAddrBook::Address");
  ASSERT_EQ(address.size(), 1u);
  EXPECT_EQ(address[0], "IAddrBook::Address flags=0x00000009 caption=Select Address destfields=0");
  EXPECT_EQ(Calls(root.str(), "MAPIInitialize").size(), Calls(root.str(), "MAPIUninitialize").size());
}

TEST_F(MapiModuleTest, WorkOfflineIsStoredAsText) {
  LoadDefault();
  dlg::SetScript([&](HWND sheet) {
    ASSERT_TRUE(dlg::SelectPage(sheet, 1));
    ASSERT_TRUE(dlg::SelectItem(dlg::FindControl(sheet, IDC_DELIVER_TRANSPORT), 0));
    ASSERT_TRUE(dlg::PressButton(sheet, IDOK));
  });
  RecordingConfig config(iniPath.c_str(), "MVNCSEND");
  ASSERT_TRUE(mvn::delivery::mapi::Configure(record, &config));
  EXPECT_EQ(config.writes.back(), "MAPITransport=Work Offline");
}

TEST_F(MapiModuleTest, CancelWritesNothing) {
  LoadDefault();
  dlg::SetScript([&](HWND sheet) { dlg::PressButton(sheet, IDCANCEL); });
  RecordingConfig config(iniPath.c_str(), "MVNCSEND");
  EXPECT_FALSE(mvn::delivery::mapi::Configure(record, &config));
  EXPECT_TRUE(config.writes.empty());
}

}  // namespace

// The real module as the send client loads it exports its contract and
// nothing else.
TEST(DlvmapiModule, ExportsExactlyTheFiveOperations) {
  std::set<std::string> names;
  std::string error;
  ASSERT_TRUE(mvntest::ExportedNames(fs::canonical(MVN_DLVMAPI_PATH).string(), &names, &error)) << error;
  EXPECT_EQ(names, mvntest::DeliveryExportNames());
}
