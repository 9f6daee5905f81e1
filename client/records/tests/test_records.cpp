// The client's declared files on real address books.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/records/records.h"
#include "framework/core/errors.h"
#include "framework/core/runtime.h"
#include "tests/support/child.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
using namespace mvn::framework;

TEST(Records, LayoutsHaveTheDeclaredSizesAndFieldOrder) {
  struct Case {
    LayoutPtr layout;
    int fields;
    int bytes;
  };
  const Case cases[] = {
      {MVClientsLayout(), 30, 1460},
      {MVGroupClientLayout(), 2, 104},
      {MVdefaultsLayout(), 11, 203},
      {MVusersLayout(), 9, 450},
      {ChargeAccountLayout(), 3, 104},
      {ChargeUserLayout(), 2, 54},
      {ChargeUserAccountLayout(), 2, 8},
      {SNDLayout(), 11, 2470},
      {UPLDLayout(), 3, 250},
      {MVCBLayout(), 56, 2480},
      {MVCB2Layout(), 56, 4720},
      {BAS1Layout(), 39, 870},
      {FAXLayout(), 1, 8192},
      {TMPRTFLayout(), 1, 8192},
      {TMPASC2Layout(), 1, 1024},
      {TMPASCLayout(), 1, 200},
      {BYTLayout(), 1, 1},
      {AttachmentProbeLayout(), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout->Prefix());
    EXPECT_EQ(c.layout->FieldCount(), c.fields);
    EXPECT_EQ(c.layout->RecordSize(), c.bytes);
  }
  EXPECT_EQ(MVCBLayout()->FieldNames(), MVCB2Layout()->FieldNames());
  const Layout& mvc = *MVClientsLayout();
  EXPECT_EQ(mvc.Field(5).name, "PreferredDestination");
  EXPECT_EQ(mvc.Field(29).name, "Mark");
  const Layout& mvcb = *MVCBLayout();
  EXPECT_EQ(mvcb.Field(13).name, "PostalAdd1");
  EXPECT_EQ(mvcb.Field(21).name, "PhoneNum");
  EXPECT_EQ(mvcb.Field(36).name, "Group1");
  EXPECT_EQ(MVCB2Layout()->Field(MVCB2Layout()->FindField("Group10")).size, 100);
  EXPECT_EQ(MVCB2Layout()->Field(MVCB2Layout()->FindField("Group11")).size, 50);
}

// The limits other code takes from the declarations: a CSTRING(n) keeps n-1
// bytes of text, a STRING(n) n, a number none.
TEST(Records, FieldBytesAreWhatTheDeclaredFieldHolds) {
  GlobalQueues queues;
  struct Case {
    const Layout& layout;
    const char* field;
    size_t bytes;
  };
  const Case cases[] = {
      {*MVClientsLayout(), "Company", 99},       // CSTRING(100)
      {*MVClientsLayout(), "MVC:FaxNum", 49},    // CSTRING(50), with the prefix
      {*MVClientsLayout(), "sal", 20},           // STRING(20), no case
      {*MVClientsLayout(), "Notes", 200},        // STRING(200)
      {*MVClientsLayout(), "PK_MVClientID", 0},  // LONG
      {*MVClientsLayout(), "SendAsRTF", 0},      // BYTE
      {*MVClientsLayout(), "NoSuchField", 0},
      {*SNDLayout(), "Destination", 49},  // CSTRING(50)
      {*MVCBLayout(), "PostalAdd1", 40},  // STRING(40)
      {queues.g_QaddressBooks.GetLayout(), "Name", 79},
      {queues.g_QaddressBooks.GetLayout(), "pathName", 149},
      {queues.g_QaddressBooks.GetLayout(), "Driver", 19},
      {queues.g_QautoText.GetLayout(), "fullPathName", 149},
      {queues.g_Qgroups.GetLayout(), "GroupID", 99},
  };
  for (const Case& c : cases) EXPECT_EQ(FieldBytes(c.layout, c.field), c.bytes) << c.layout.Prefix() << ":" << c.field;
  EXPECT_EQ(kMaxPathLength, 149u);
}

TEST(Records, DictionaryHasEighteenFilesAndElevenQueues) {
  Dictionary dict;
  EXPECT_EQ(dict.Tables().size(), 18u);
  EXPECT_NE(dict.Find("mvclients"), nullptr);
  EXPECT_EQ(dict.Find("MVimageLib"), nullptr);  // a name only, no record
  EXPECT_EQ(dict.File("TMPASC").Name(), "TmpAsciiFile.Ini");
  EXPECT_EQ(dict.File("MVClients").Keys().size(), 5u);
  EXPECT_TRUE(dict.File("SND").GetCreate());
  EXPECT_FALSE(dict.File("MVCB2").GetCreate());
  EXPECT_FALSE(dict.File("AttachmentProbe").GetCreate());
  GlobalQueues& q = dict.Queues();
  EXPECT_EQ(q.g_QsendTo.GetLayout().FieldCount(), 10);
  EXPECT_EQ(q.g_relatedClientsQ.GetLayout().FieldCount(), 6);
  EXPECT_EQ(q.g_QaddressBooks.GetLayout().Field(1).size, 150);
}

class Book : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dict.SetAddressBookFiles(dir / "Personal", "KEYED"));
    for (const char* t : {"MVClients", "MVusers", "MVGroupClient", "MVdefaults"})
      ASSERT_EQ(dict.File(t).Open(), NoError) << t;
  }
  int AddClient(const std::string& contact, const std::string& company, const std::string& destination) {
    Record& r = dict.File("MVClients").Buffer();
    r.Clear();
    r.Set("MVC:ClientID", contact);
    r.Set("MVC:Company", company);
    r.Set("MVC:PreferredDestination", destination);
    return dict.File("MVClients").TryInsert();
  }
  int AddMembership(const std::string& group, int64_t client) {
    Record& r = dict.File("MVGroupClient").Buffer();
    r.Clear();
    r.Set("MVGC:GroupID", group);
    r.SetLong("MVGC:FK_MVClientID", client);
    return dict.File("MVGroupClient").TryInsert();
  }
  int AddGroup(const std::string& group) {
    Record& r = dict.File("MVdefaults").Buffer();
    r.Clear();
    r.Set("MVD:GroupID", group);
    return dict.File("MVdefaults").TryInsert();
  }
  std::vector<std::string> Memberships() {
    std::vector<std::string> out;
    FileManager& f = dict.File("MVGroupClient");
    f.Set("MVGC:KeyUnique");
    while (f.Next() == NoError) out.push_back(f.Buffer().Clipped("GroupID") + "/" + f.Buffer().Get("FK_MVClientID"));
    return out;
  }
  mvntest::TempDir dir;
  Dictionary dict;
};

TEST(AddressBook, OpeningAMissingBookCreatesAllFiveTables) {
  mvntest::TempDir dir;
  Dictionary dict;
  ASSERT_TRUE(dict.SetAddressBookFiles(dir / "New Book", "KEYED"));
  ASSERT_EQ(dict.OpenAddressBook(), NoError);
  EXPECT_EQ(dict.File("MVdefaults").Records(), 0);
  dict.CloseAll();
  FileManager imageLib(Driver::Keyed, MakeLayout("MVI", {}), dict.MVimageLibName());
  imageLib.SetCreate(false);
  EXPECT_EQ(imageLib.Open(), NoError);  // the table exists
  // A book file of another program is refused and nothing stays open.
  mvntest::WriteFile(dir / "Broken.KDF", "not a database, just text that is long enough to be read......");
  ASSERT_TRUE(dict.SetAddressBookFiles(dir / "Broken", "KEYED"));
  EXPECT_EQ(dict.OpenAddressBook(), LayoutDiffersError);
  EXPECT_FALSE(dict.File("MVClients").IsOpen());
}

TEST_F(Book, OpeningAMissingBookCreatesItsTables) {
  EXPECT_EQ(dict.File("MVClients").FilePath(), dir / "Personal.KDF");
  EXPECT_TRUE(std::filesystem::exists(dir / "Personal.KDF"));
  for (const char* t : {"MVClients", "MVusers", "MVGroupClient", "MVdefaults"}) EXPECT_EQ(dict.File(t).Records(), 0);
  EXPECT_EQ(dict.MVimageLibName(), dir / "Personal/!MVimageLib");
}

TEST_F(Book, UniqueKeyRejectsTheSameContactAtTheSameDestinationOnly) {
  ASSERT_EQ(AddClient("Anna Berg", "Acme", "555-1234"), NoError);
  EXPECT_EQ(AddClient("Anna Berg", "Acme", "555-1234"), DuplicateKeyError);
  EXPECT_EQ(AddClient("anna berg", "ACME", "555-1234"), DuplicateKeyError);  // keys ignore case
  EXPECT_EQ(AddClient("Anna Berg", "Acme", "anna@acme.example"), NoError);
  EXPECT_EQ(dict.File("MVClients").Records(), 2);
}

TEST_F(Book, CascadesOfGroupsAndClients) {
  ASSERT_EQ(AddClient("Anna", "Acme", "1"), NoError);
  ASSERT_EQ(AddClient("Bert", "Acme", "2"), NoError);
  ASSERT_EQ(AddGroup("Sales"), NoError);
  ASSERT_EQ(AddMembership("Sales", 1), NoError);
  ASSERT_EQ(AddMembership("Sales", 2), NoError);
  // The import adds a membership before its group exists.
  ASSERT_EQ(AddMembership("Imported", 2), NoError);
  ASSERT_EQ(AddGroup("Imported"), NoError);
  EXPECT_EQ(AddMembership("SALES", 1), DuplicateKeyError);

  FileManager& groups = dict.File("MVdefaults");
  groups.Buffer().Set("MVD:GroupID", "Sales");
  ASSERT_EQ(groups.Fetch("MVd:KeyGroupID"), NoError);
  groups.Buffer().Set("MVD:GroupID", "Customers");
  ASSERT_EQ(dict.Relation("MVdefaults").Update(), NoError);
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"Customers/1", "Customers/2", "Imported/2"}));

  FileManager& clients = dict.File("MVClients");
  clients.Buffer().SetLong("MVC:PK_MVClientID", 2);
  ASSERT_EQ(clients.Fetch("MVC:KeyPK_MVClientID"), NoError);
  ASSERT_EQ(dict.Relation("MVClients").Delete(), NoError);
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"Customers/1"}));

  groups.Buffer().Set("MVD:GroupID", "customers");
  ASSERT_EQ(groups.Fetch("MVd:KeyGroupID"), NoError);
  ASSERT_EQ(dict.Relation("MVdefaults").Delete(), NoError);
  EXPECT_EQ(Memberships(), (std::vector<std::string>{}));
}

TEST_F(Book, ANewRecordNeverInheritsOrphanMemberships) {
  ASSERT_EQ(AddClient("Anna", "Acme", "1"), NoError);
  ASSERT_EQ(AddClient("Bert", "Acme", "2"), NoError);
  ASSERT_EQ(AddMembership("Old", 2), NoError);
  // Deleted without its relation manager: the membership stays behind.
  ASSERT_EQ(dict.File("MVClients").Delete(), NoError);
  ASSERT_EQ(AddClient("Cleo", "Acme", "3"), NoError);
  EXPECT_EQ(dict.File("MVClients").Buffer().GetLong("PK_MVClientID"), 3);
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"Old/2"}));
}

TEST_F(Book, FieldWidthsOfTheAddressRecord) {
  Record& r = dict.File("MVClients").Buffer();
  r.Clear();
  r.Set("ClientID", std::string(120, 'a'));
  r.Set("PreferredDestination", "555");
  ASSERT_EQ(dict.File("MVClients").TryInsert(), NoError);
  r.Clear();
  r.SetLong("PK_MVClientID", 1);
  ASSERT_EQ(dict.File("MVClients").Fetch("MVC:KeyPK_MVClientID"), NoError);
  EXPECT_EQ(r.Get("ClientID").size(), 99u);
  EXPECT_EQ(r.Get("PreferredDestination"), "555" + std::string(47, ' '));
  EXPECT_EQ(dict.File("MVClients").FieldText("MVC:PreferredDestination").size(), 50u);
}

TEST(AddressBookFiles, NamesPerDriverAndRefusals) {
  Dictionary dict;
  std::string message;
  ASSERT_TRUE(dict.SetAddressBookFiles("/data/Office", ""));
  EXPECT_EQ(dict.File("MVGroupClient").Name(), "/data/Office/!MVGroupClient");
  ASSERT_TRUE(dict.SetAddressBookFiles("Books", "ODBC"));
  EXPECT_EQ(dict.File("MVClients").Name(), "MVClients");
  EXPECT_EQ(dict.File("MVClients").Owner(), "Books");
  EXPECT_EQ(dict.MVimageLibName(), "MVimageLib");
  EXPECT_FALSE(dict.SetAddressBookFiles("/data/Office", "NOSUCH", &message));
  EXPECT_EQ(message, "Driver not supported: NOSUCH");
  EXPECT_EQ(ErrorCode(), DriverNotSupportedError);
  EXPECT_EQ(dict.File("MVClients").Name(), "");
  // A path that does not fit its 150-byte field is refused, never cut.
  EXPECT_TRUE(dict.SetAddressBookFiles("/" + std::string(148, 'p'), "KEYED"));
  EXPECT_FALSE(dict.SetAddressBookFiles("/" + std::string(149, 'p'), "KEYED", &message));
  EXPECT_EQ(ErrorCode(), BadNameError);
  EXPECT_EQ(dict.File("MVdefaults").Name(), "");
  FileManager& f = dict.File("MVClients");
  EXPECT_NE(f.Open(), NoError);
}

TEST(AddressBook, OdbcBookThroughTheDictionary) {
  mvntest::TempDir dir;
  mvntest::OdbcTestSource source(dir.str());
  if (!source.Available()) GTEST_SKIP() << "the SQLite ODBC driver is not installed";
  EXPECT_TRUE(mvntest::InChild([&] {
    Dictionary dict;
    ASSERT_TRUE(dict.SetAddressBookFiles("Books", "ODBC"));
    ASSERT_EQ(dict.OpenAddressBook(), NoError) << ErrorText();
    FileManager& clients = dict.File("MVClients");
    auto add = [&](const char* contact, const char* destination) {
      clients.Buffer().Clear();
      clients.Buffer().Set("ClientID", contact);
      clients.Buffer().Set("PreferredDestination", destination);
      return clients.TryInsert();
    };
    ASSERT_EQ(add("Anna", "1"), NoError);
    EXPECT_EQ(add("ANNA", "1"), DuplicateKeyError);
    ASSERT_EQ(add("Anna", "2"), NoError);
    FileManager& members = dict.File("MVGroupClient");
    members.Buffer().Set("GroupID", "Sales");
    members.Buffer().SetLong("FK_MVClientID", 2);
    ASSERT_EQ(members.TryInsert(), NoError);
    clients.Buffer().SetLong("PK_MVClientID", 2);
    ASSERT_EQ(clients.Fetch("MVC:KeyPK_MVClientID"), NoError);
    ASSERT_EQ(dict.Relation("MVClients").Delete(), NoError);
    EXPECT_EQ(members.Records(), 0);
    EXPECT_EQ(clients.Records(), 1);
  }));
  EXPECT_TRUE(std::filesystem::exists(dir / "books.db"));
}

TEST(CreateWhenMissing, OnlyTheDatabasesAndTheSendLog) {
  mvntest::TempDir dir;
  Dictionary dict;
  ASSERT_TRUE(dict.SetChargeAccountFiles(dir / "dposttmp.KDF"));
  EXPECT_EQ(dict.File("Charge_account").Open(), NoError);
  dict.File("SND").SetName(dir / "send.log");
  EXPECT_EQ(dict.File("SND").Open(), NoError);
  EXPECT_TRUE(std::filesystem::exists(dir / "send.log"));
  // The attachment probe only tells that its file exists and opens.
  mvntest::WriteFile(dir / "attachment.doc", "some bytes");
  dict.File("AttachmentProbe").SetName(dir / "attachment.doc");
  ASSERT_EQ(dict.File("AttachmentProbe").Open(ReadOnly | DenyNone), NoError);
  EXPECT_EQ(dict.File("AttachmentProbe").Records(), 0);
  dict.File("AttachmentProbe").Close();
  for (const char* t : {"MVCB2", "AttachmentProbe", "FAX", "TMPRTF", "UPLD"}) {
    SCOPED_TRACE(t);
    dict.File(t).SetName(dir / (std::string(t) + ".missing"));
    EXPECT_EQ(dict.File(t).Open(), FileNotFoundError);
    EXPECT_FALSE(std::filesystem::exists(dir / (std::string(t) + ".missing")));
  }
}

TEST(Dictionary, HaltClosesTheFilesAndEndsTheProgram) {
  mvntest::TempDir dir;
  pid_t pid = fork();
  if (pid == 0) {
    Dictionary& d = InitDictionary();
    d.File("SND").SetName(dir / "send.log");
    if (d.File("SND").Open() != NoError) _exit(1);
    d.File("SND").BufferAdds(true);
    d.File("SND").Buffer().Set("Attn", "buffered");
    if (d.File("SND").Insert() != NoError) _exit(2);
    Halt(7);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  // The buffered add reached the file when the dictionary closed it.
  EXPECT_EQ(mvntest::ReadFile(dir / "send.log").substr(0, 13), "\"\",\"buffered\"");
}

TEST(Dictionary, InitAndKill) {
  Dictionary& d = InitDictionary();
  EXPECT_EQ(&d, TheDictionary());
  EXPECT_EQ(&InitDictionary(), &d);
  KillDictionary();
  EXPECT_EQ(TheDictionary(), nullptr);
}
