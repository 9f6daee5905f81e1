// The messaging substitute on its own, loaded as the module loads it: the
// semantics the module relies on (error-typed values, arrays replaced by
// resolution, rows freed by FreeProws, refused double frees), logon rules,
// submission, and failure injection counted across processes.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/mapi/mapi.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace mvn::mapi;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

struct Library {
  Library() {
    handle = dlopen(MVN_MAPI32_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    initialize = reinterpret_cast<MAPIINITIALIZE>(dlsym(handle, "MAPIInitialize"));
    uninitialize = reinterpret_cast<MAPIUNINITIALIZE>(dlsym(handle, "MAPIUninitialize"));
    logon = reinterpret_cast<MAPILOGONEX>(dlsym(handle, "MAPILogonEx"));
    allocate = reinterpret_cast<MAPIALLOCATEBUFFER>(dlsym(handle, "MAPIAllocateBuffer"));
    freeBuffer = reinterpret_cast<MAPIFREEBUFFER>(dlsym(handle, "MAPIFreeBuffer"));
    queryAll = reinterpret_cast<HRQUERYALLROWS>(dlsym(handle, "HrQueryAllRows"));
    freeRows = reinterpret_cast<FREEPROWS>(dlsym(handle, "FreeProws"));
    liveObjects = reinterpret_cast<MVNMAPILIVE>(dlsym(handle, "MvnMapiLiveObjects"));
    liveBuffers = reinterpret_cast<MVNMAPILIVE>(dlsym(handle, "MvnMapiLiveBuffers"));
  }
  void* handle = nullptr;
  MAPIINITIALIZE initialize = nullptr;
  MAPIUNINITIALIZE uninitialize = nullptr;
  MAPILOGONEX logon = nullptr;
  MAPIALLOCATEBUFFER allocate = nullptr;
  MAPIFREEBUFFER freeBuffer = nullptr;
  HRQUERYALLROWS queryAll = nullptr;
  FREEPROWS freeRows = nullptr;
  MVNMAPILIVE liveObjects = nullptr;
  MVNMAPILIVE liveBuffers = nullptr;
};

Library& Mapi() {
  static Library* library = new Library();
  return *library;
}

class MapiSubstitute : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Mapi().handle, nullptr) << dlerror();
    setenv("MVN_ROOT", root.str().c_str(), 1);
    fs::create_directories(root / "mapi");
    WriteFile(root / "mapi/mapi.ini",
              "[Profiles]\r\nCount=1\r\nProfile1=Fax User\r\nDefault=Fax User\r\n"
              "[Profile Fax User]\r\nPassword=pw\r\nStore=Main\r\nOtherStore=Old\r\nTransports=1\r\n"
              "Transport1=Fax Transport\r\n"
              "[AddressBook]\r\nCount=2\r\nEntry1=Fax Server\r\nEntry1Address=fax@x.example\r\n"
              "Entry2=Fax Desk\r\nEntry2Address=desk@x.example\r\n");
    buffersAtStart = Mapi().liveBuffers();
    objectsAtStart = Mapi().liveObjects();
  }
  void TearDown() override {
    EXPECT_EQ(Mapi().liveBuffers(), buffersAtStart) << "every block was freed";
    EXPECT_EQ(Mapi().liveObjects(), objectsAtStart) << "every object was released";
  }
  IMAPISession* Logon() {
    IMAPISession* session = nullptr;
    EXPECT_EQ(Mapi().initialize(nullptr), S_OK);
    EXPECT_EQ(Mapi().logon(0, "fax user", "pw", MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE, &session), S_OK);
    return session;
  }
  void Logoff(IMAPISession* session) {
    session->Logoff(0, 0, 0);
    session->Release();
    Mapi().uninitialize();
  }
  IMsgStore* OpenMain(IMAPISession* session) {
    IMsgStore* store = nullptr;
    EXPECT_EQ(session->OpenMsgStore(0, 10, "STORE:Main", nullptr, MDB_WRITE, &store), S_OK);
    return store;
  }

  TempDir root;
  ULONG buffersAtStart = 0, objectsAtStart = 0;
};

}  // namespace

TEST_F(MapiSubstitute, LogonNeedsInitialiseAProfileAndItsPassword) {
  IMAPISession* session = nullptr;
  EXPECT_EQ(Mapi().logon(0, "Fax User", "pw", MAPI_EXPLICIT_PROFILE, &session), MAPI_E_NOT_INITIALIZED);
  ASSERT_EQ(Mapi().initialize(nullptr), S_OK);
  EXPECT_EQ(Mapi().logon(0, "Fax User", "wrong", MAPI_EXPLICIT_PROFILE, &session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(Mapi().logon(0, "Nobody", "pw", MAPI_EXPLICIT_PROFILE, &session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(session, nullptr);
  Mapi().uninitialize();
}

TEST_F(MapiSubstitute, MissingPropertiesComeBackErrorTyped) {
  IMAPISession* session = Logon();
  IMsgStore* store = OpenMain(session);
  SizedSPropTagArray<2> tags = {2, {PR_IPM_OUTBOX_ENTRYID, PR_SUBJECT}};
  ULONG count = 0;
  SPropValue* props = nullptr;
  EXPECT_EQ(store->GetProps(tags.Get(), 0, &count, &props), MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(props[0].ulPropTag, PR_IPM_OUTBOX_ENTRYID);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(props[0].Value.bin.lpb), props[0].Value.bin.cb), "FOLDER:Main/Outbox");
  EXPECT_EQ(props[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SUBJECT)));
  EXPECT_EQ(props[1].Value.err, MAPI_E_NOT_FOUND);
  Mapi().freeBuffer(props);
  // A garbage entry id opens nothing.
  ULONG type = 0;
  IUnknown* object = nullptr;
  EXPECT_EQ(store->OpenEntry(3, "\x01\x02\x03", nullptr, MAPI_MODIFY, &type, &object), MAPI_E_NOT_FOUND);
  EXPECT_EQ(object, nullptr);
  store->Release();
  Logoff(session);
}

TEST_F(MapiSubstitute, RestrictedRowsAndFreeProws) {
  IMAPISession* session = Logon();
  IMAPITable* table = nullptr;
  ASSERT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
  SizedSPropTagArray<2> columns = {2, {PR_DISPLAY_NAME, PR_SUBJECT}};
  SPropValue isDefault{};
  isDefault.ulPropTag = PR_DEFAULT_STORE;
  isDefault.Value.b = 1;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty = {RELOP_EQ, PR_DEFAULT_STORE, &isDefault};
  SRowSet* rows = nullptr;
  ASSERT_EQ(Mapi().queryAll(table, columns.Get(), &restriction, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Main");
  EXPECT_EQ(PROP_TYPE(rows->aRow[0].lpProps[1].ulPropTag), PT_ERROR) << "a column the row lacks";
  Mapi().freeRows(rows);
  table->Release();
  Logoff(session);
}

TEST_F(MapiSubstitute, ResolutionReplacesTheArrayAndDoubleFreesAreRefused) {
  IMAPISession* session = Logon();
  IAddrBook* book = nullptr;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, 0, &book), S_OK);
  struct Case {
    const char* name;
    HRESULT result;
  } cases[] = {{"fax server", S_OK}, {"Fax D", S_OK}, {"Fax", MAPI_E_AMBIGUOUS_RECIP}, {"Nobody", MAPI_E_NOT_FOUND}};
  for (const Case& c : cases) {
    SPropValue* props = nullptr;
    ASSERT_EQ(Mapi().allocate(2 * sizeof(SPropValue), reinterpret_cast<void**>(&props)), S_OK);
    props[0].ulPropTag = PR_DISPLAY_NAME;
    props[0].Value.lpszA = const_cast<char*>(c.name);
    props[1].ulPropTag = PR_RECIPIENT_TYPE;
    props[1].Value.l = MAPI_TO;
    ADRLIST list{};
    list.cEntries = 1;
    list.aEntries[0] = {0, 2, props};
    EXPECT_EQ(book->ResolveName(0, 0, nullptr, &list), c.result) << c.name;
    if (c.result == S_OK) {
      EXPECT_NE(list.aEntries[0].rgPropVals, props) << "the array was replaced";
      EXPECT_EQ(Mapi().freeBuffer(props), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER))
          << "the old array was freed by the resolution already";
    }
    EXPECT_EQ(Mapi().freeBuffer(list.aEntries[0].rgPropVals), 0u);
  }
  book->Release();
  Logoff(session);
  EXPECT_NE(ReadFile(root / "mapi/journal.log").find("MAPIFreeBuffer invalid"), std::string::npos);
}

TEST_F(MapiSubstitute, SubmissionNeedsARecipientAndAnUnsavedMessageLeavesNothing) {
  IMAPISession* session = Logon();
  IMsgStore* store = OpenMain(session);
  ULONG type = 0;
  IUnknown* object = nullptr;
  ASSERT_EQ(store->OpenEntry(18, "FOLDER:Main/Outbox", nullptr, 0, &type, &object), S_OK);
  ASSERT_EQ(type, MAPI_FOLDER);
  auto* readOnly = static_cast<IMAPIFolder*>(object);
  IMessage* message = nullptr;
  EXPECT_EQ(readOnly->CreateMessage(nullptr, 0, &message), MAPI_E_NO_ACCESS) << "opened without MAPI_MODIFY";
  readOnly->Release();
  ASSERT_EQ(store->OpenEntry(18, "FOLDER:Main/Outbox", nullptr, MAPI_MODIFY, &type, &object), S_OK);
  auto* outbox = static_cast<IMAPIFolder*>(object);
  ASSERT_EQ(outbox->CreateMessage(nullptr, 0, &message), S_OK);
  EXPECT_EQ(message->SubmitMessage(0), MAPI_E_NO_RECIPIENTS);
  message->Release();
  EXPECT_FALSE(fs::exists(root / "mapi/stores/Main/queue") && !fs::is_empty(root / "mapi/stores/Main/queue"));
  outbox->Release();
  store->Release();
  Logoff(session);
}

// The n-th call is counted over every process on the root.
TEST_F(MapiSubstitute, InjectedFailuresCountCallsAcrossProcesses) {
  WriteFile(root / "mapi/faults", "MAPIInitialize 2 0x80040115\n");
  pid_t child = fork();
  if (child == 0) _exit(Mapi().initialize(nullptr) == S_OK ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the first call anywhere succeeds";
  EXPECT_EQ(Mapi().initialize(nullptr), MAPI_E_NETWORK_ERROR) << "the second call fails";
  EXPECT_EQ(Mapi().initialize(nullptr), S_OK);
  Mapi().uninitialize();
}
