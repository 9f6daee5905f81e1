#include "client/records/records.h"

#include "framework/core/errors.h"
#include "framework/core/runtime.h"
#include "framework/core/strings.h"

namespace mvn::client {

using namespace framework;

namespace {

std::vector<FieldDef> ClientFields1To13() {
  return {LongField("PK_MVClientID"),
          CStringField("ClientID", 100),
          CStringField("Company", 100),
          CStringField("FaxNum", 50),
          CStringField("Email", 50),
          StringField("PreferredDestination", 50),
          StringField("FaxToEmailAttachmentType", 4),
          CStringField("ChargeCode", 20),
          StringField("Sal", 20),
          StringField("FirstName", 20),
          StringField("LastName", 20),
          StringField("Position", 20),
          StringField("Department", 20)};
}

std::vector<FieldDef> ClientFields16To30() {
  return {CStringField("PhoneNum", 50),      StringField("CellPhone", 30),    StringField("PagerNumber", 30),
          StringField("Custom1", 20),        StringField("Custom2", 20),      StringField("WebAddress", 100),
          StringField("AssistantsName", 50), StringField("ManagersName", 50), StringField("HomePhone", 30),
          StringField("SpouseName", 30),     StringField("Notes", 200),       StringField("DisplayName", 50),
          StringField("EmailType", 20),      ByteField("SendAsRTF"),          ByteField("Mark")};
}

const char* const kAddressLines[] = {"PostalAdd1",   "PostalAdd2",   "PostalAdd3",   "PostalAdd4",
                                     "PhysicalAdd1", "PhysicalAdd2", "PhysicalAdd3", "PhysicalAdd4"};

void Append(std::vector<FieldDef>& to, const std::vector<FieldDef>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

}  // namespace

LayoutPtr MVClientsLayout() {
  static LayoutPtr l = [] {
    std::vector<FieldDef> f = ClientFields1To13();
    f.push_back(StringField("PostalAddress", 150));
    f.push_back(StringField("PhysicalAddress", 150));
    Append(f, ClientFields16To30());
    return MakeLayout("MVC", f);
  }();
  return l;
}

LayoutPtr MVusersLayout() {
  static LayoutPtr l = [] {
    std::vector<FieldDef> f;
    for (const char* n :
         {"UserID", "FullName", "NotifyLevel", "PrinterName", "AutoOverlay", "UserKey", "Tag1", "Tag2", "SendLevel"})
      f.push_back(StringField(n, 50));
    return MakeLayout("MVU", f);
  }();
  return l;
}

LayoutPtr MVGroupClientLayout() {
  static LayoutPtr l = MakeLayout("MVGC", {StringField("GroupID", kGroupIdWidth), LongField("FK_MVClientID")});
  return l;
}

LayoutPtr MVdefaultsLayout() {
  static LayoutPtr l =
      MakeLayout("MVD", {StringField("GroupID", kGroupIdWidth), CStringField("Priority", 2), CStringField("Res", 5),
                         CStringField("PageLen", 5), CStringField("Stamp", 5), CStringField("Port", 3),
                         StringField("Archive", 5), StringField("Print", 5), StringField("Retry", 50),
                         StringField("ChargeCode", 20), StringField("UseGroupDefault", 3)});
  return l;
}

LayoutPtr ChargeAccountLayout() {
  static LayoutPtr l = MakeLayout(
      "CHRA", {LongField("PK_accountID"), CStringField("AccountDescription", 50), CStringField("AccountCode", 50)});
  return l;
}

LayoutPtr ChargeUserLayout() {
  static LayoutPtr l = MakeLayout("CHRU", {LongField("PK_userID"), CStringField("UserName", 50)});
  return l;
}

LayoutPtr ChargeUserAccountLayout() {
  static LayoutPtr l = MakeLayout("CHRUA", {LongField("FK_userID"), LongField("FK_accountID")});
  return l;
}

LayoutPtr SNDLayout() {
  static LayoutPtr l =
      MakeLayout("SND", {CStringField("Date", 30), CStringField("Attn", 100), CStringField("Company", 100),
                         CStringField("Destination", 50), CStringField("Ref", 50), CStringField("ChargeCode", 20),
                         CStringField("CPFileName", 150), CStringField("PSFileName", 150), CStringField("Groups", 20),
                         CStringField("Includes", 800), CStringField("LocalFiles", 1000)});
  return l;
}

LayoutPtr UPLDLayout() {
  static LayoutPtr l = MakeLayout(
      "UPLD", {CStringField("ClientID", 100), CStringField("Company", 100), StringField("PreferredDestination", 50)});
  return l;
}

LayoutPtr MVCBLayout() {
  static LayoutPtr l = [] {
    std::vector<FieldDef> f = ClientFields1To13();
    for (const char* n : kAddressLines) f.push_back(StringField(n, 40));
    Append(f, ClientFields16To30());
    for (int i = 1; i <= 20; ++i) f.push_back(CStringField("Group" + std::to_string(i), 50));
    return MakeLayout("MVCB", f);
  }();
  return l;
}

LayoutPtr MVCB2Layout() {
  static LayoutPtr l = [] {
    // The same names as the export record, all text.
    std::vector<FieldDef> f;
    const Layout& exportLayout = *MVCBLayout();
    for (int i = 0; i < exportLayout.FieldCount(); ++i) {
      const std::string& n = exportLayout.Field(i).name;
      bool wide = n == "PK_MVClientID" || n == "ClientID" || n == "Company" || n == "FaxNum" || n == "Email" ||
                  n == "ChargeCode" || n == "PhoneNum" || n == "Mark";
      bool line = n.rfind("PostalAdd", 0) == 0 || n.rfind("PhysicalAdd", 0) == 0;
      bool upperGroup = n.rfind("Group", 0) == 0 && std::stoi(n.substr(5)) >= 11;
      if (wide)
        f.push_back(CStringField(n, 100));
      else if (line)
        f.push_back(StringField(n, 40));
      else if (n == "Notes")
        f.push_back(StringField(n, 200));
      else if (upperGroup)
        f.push_back(StringField(n, 50));
      else
        f.push_back(StringField(n, 100));
    }
    return MakeLayout("MVCB2", f);
  }();
  return l;
}

LayoutPtr BAS1Layout() {
  static LayoutPtr l = [] {
    std::vector<FieldDef> f = {StringField("ClientID", 50), StringField("Company", 50), StringField("FaxNum", 50)};
    for (int i = 1; i <= 36; ++i) f.push_back(StringField("Group" + std::to_string(i), 20));
    return MakeLayout("BAS1", f);
  }();
  return l;
}

LayoutPtr FAXLayout() {
  static LayoutPtr l = MakeLayout("FAX", {StringField("Line", 8192)});
  return l;
}
LayoutPtr TMPRTFLayout() {
  static LayoutPtr l = MakeLayout("TMPRTF", {StringField("Block", 8192)});
  return l;
}
LayoutPtr TMPASC2Layout() {
  static LayoutPtr l = MakeLayout("TMPASC2", {StringField("Line", 1024)});
  return l;
}
LayoutPtr TMPASCLayout() {
  static LayoutPtr l = MakeLayout("TMPASC", {StringField("Line", 200)});
  return l;
}
LayoutPtr BYTLayout() {
  static LayoutPtr l = MakeLayout("BYT", {StringField("Byte1", 1)});
  return l;
}
LayoutPtr AttachmentProbeLayout() {
  static LayoutPtr l = MakeLayout("ATT", {});
  return l;
}

GlobalQueues::GlobalQueues()
    : g_QautoText(
          MakeLayout("QAT", {CStringField("Name", kAutoTextNameWidth), CStringField("fullPathName", kPathNameWidth)})),
      g_QimageFiles(MakeLayout("QIF", {CStringField("Name", 120), CStringField("Description", 200), ByteField("Mark"),
                                       ByteField("bNewCreated")})),
      g_QremoteLists(
          MakeLayout("QRL", {CStringField("Name", 100), CStringField("Description", 150), ByteField("Mark")})),
      g_QcoverPages(
          MakeLayout("QCP", {CStringField("Name", 50), ByteField("bNewCreated"), CStringField("Description", 200)})),
      g_QattachOtherFiles(MakeLayout("QAO", {ByteField("Mark"), StringField("FilePathName", 150)})),
      g_Qgroups(MakeLayout("QG", {CStringField("GroupID", kGroupIdWidth), ByteField("Mark")})),
      g_QsendTo(MakeLayout(
          "QST", {ByteField("Mark"), LongField("MVClientID"), StringField("ToName", 100), CStringField("Company", 150),
                  StringField("Destination", 100), CStringField("Title", 10), CStringField("FirstName", 20),
                  CStringField("LastName", 20), CStringField("EmailFormat", 8), CStringField("Groups", 100)})),
      g_QaddressBooks(MakeLayout("QAB", {CStringField("Name", kBookNameWidth), CStringField("pathName", kPathNameWidth),
                                         CStringField("Driver", kBookDriverWidth)})),
      g_relatedGroupsQ(MakeLayout("QRG", {StringField("GroupID", kGroupIdWidth), ByteField("Mark")})),
      g_relatedClientsQ(
          MakeLayout("QRC", {StringField("ToName", 50), StringField("Company", 50), StringField("Destination", 50),
                             LongField("FK_MVClientID"), StringField("GroupID", kGroupIdWidth), ByteField("Mark")})),
      g_ChargeCodeQ(MakeLayout("QCC", {CStringField("Description", 50), CStringField("Code", 50)})) {}

void Dictionary::Declare(const std::string& label, Driver driver, LayoutPtr layout, bool create, std::string name) {
  m_files.push_back(std::make_unique<FileManager>(driver, layout, std::move(name)));
  FileManager& f = *m_files.back();
  f.SetCreate(create);
  f.SetLockRecoverTime(10);
  m_relations.push_back(std::make_unique<RelationManager>(f));
  m_tables.push_back({label, &f, m_relations.back().get()});
}

Dictionary::Dictionary() {
  Declare("MVClients", Driver::Keyed, MVClientsLayout(), true);
  Declare("MVusers", Driver::Keyed, MVusersLayout(), true);
  Declare("MVGroupClient", Driver::Keyed, MVGroupClientLayout(), true);
  Declare("MVdefaults", Driver::Keyed, MVdefaultsLayout(), true);
  Declare("Charge_account", Driver::Keyed, ChargeAccountLayout(), true);
  Declare("Charge_user", Driver::Keyed, ChargeUserLayout(), true);
  Declare("Charge_userAccount", Driver::Keyed, ChargeUserAccountLayout(), true);
  Declare("SND", Driver::Csv, SNDLayout(), true);
  Declare("UPLD", Driver::Csv, UPLDLayout(), false);
  Declare("MVCB", Driver::Csv, MVCBLayout(), false);
  Declare("MVCB2", Driver::Csv, MVCB2Layout(), false);
  Declare("FAX", Driver::Dos, FAXLayout(), false);
  Declare("TMPRTF", Driver::Dos, TMPRTFLayout(), false);
  Declare("TMPASC2", Driver::Ascii, TMPASC2Layout(), false);
  Declare("AttachmentProbe", Driver::Dos, AttachmentProbeLayout(), false);
  Declare("TMPASC", Driver::Ascii, TMPASCLayout(), false, "TmpAsciiFile.Ini");
  Declare("BYT", Driver::Dos, BYTLayout(), false);
  Declare("BAS1", Driver::Csv, BAS1Layout(), false);

  FileManager& c = File("MVClients");
  c.AddKey({"MVC:KeyPK_MVClientID", {"PK_MVClientID"}, true, true, true});
  c.AddKey({"MVC:KeyUniq", {"ClientID", "Company", "PreferredDestination"}, true});
  c.AddKey({"MVC:KeyClientID", {"ClientID"}});
  c.AddKey({"MVC:KeyCompany", {"Company"}});
  c.AddKey({"MVC:KeyPreferredDestination", {"PreferredDestination"}});
  FileManager& u = File("MVusers");
  u.AddKey({"MVU:KeyUserID", {"UserID"}});
  FileManager& gc = File("MVGroupClient");
  gc.AddKey({"MVGC:KeyUnique", {"GroupID", "FK_MVClientID"}, true});
  gc.AddKey({"MVGC:KeyGroupID", {"GroupID"}});
  gc.AddKey({"MVGC:KeyFK_MVClientID", {"FK_MVClientID"}});
  FileManager& d = File("MVdefaults");
  d.AddKey({"MVd:KeyGroupID", {"GroupID"}, true, true});
  FileManager& a = File("Charge_account");
  a.AddKey({"CHRA:KeyPK_accountID", {"PK_accountID"}, true, true, true});
  a.AddKey({"CHRA:KeyAccountDescription", {"AccountDescription"}, true});
  a.AddKey({"CHRA:KeyAccountCode", {"AccountCode"}, true});
  FileManager& cu = File("Charge_user");
  cu.AddKey({"CHRU:KeyPK_userID", {"PK_userID"}, true, true, true});
  cu.AddKey({"CHRU:KeyUserName", {"UserName"}, true});
  FileManager& ua = File("Charge_userAccount");
  ua.AddKey({"CHRUA:KeyUnique", {"FK_userID", "FK_accountID"}, true});
  ua.AddKey({"CHRUA:KeyFK_userID", {"FK_userID"}});
  ua.AddKey({"CHRUA:KeyFK_accountID", {"FK_accountID"}});

  Relation("MVdefaults").AddRelation(Relation("MVGroupClient"), "MVGC:KeyGroupID", {{"MVD:GroupID", "MVGC:GroupID"}});
  Relation("MVClients")
      .AddRelation(Relation("MVGroupClient"), "MVGC:KeyFK_MVClientID", {{"MVC:PK_MVClientID", "MVGC:FK_MVClientID"}});
  Relation("Charge_account")
      .AddRelation(Relation("Charge_userAccount"), "CHRUA:KeyFK_accountID",
                   {{"CHRA:PK_accountID", "CHRUA:FK_accountID"}});
  Relation("Charge_user")
      .AddRelation(Relation("Charge_userAccount"), "CHRUA:KeyFK_userID", {{"CHRU:PK_userID", "CHRUA:FK_userID"}});
}

Dictionary::~Dictionary() {
  CloseAll();
  m_tables.clear();
  while (!m_relations.empty()) m_relations.pop_back();
  while (!m_files.empty()) m_files.pop_back();
}

void Dictionary::CloseAll() {
  for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) (*it)->Close();
}

const TableEntry* Dictionary::Find(std::string_view label) const {
  for (const TableEntry& t : m_tables)
    if (CompareNoCase(t.label, label) == 0) return &t;
  return nullptr;
}

FileManager& Dictionary::File(std::string_view label) const { return *Find(label)->file; }
RelationManager& Dictionary::Relation(std::string_view label) const { return *Find(label)->relation; }

namespace {
const char* const kBookTables[] = {"MVClients", "MVusers", "MVGroupClient", "MVdefaults"};
}

bool Dictionary::SetAddressBookFiles(std::string_view path, std::string_view driver, std::string* message) {
  auto refuse = [&](int code, const std::string& text) {
    for (const char* t : kBookTables) File(t).SetName(std::string());
    m_imageLib.clear();
    SetError(code, std::string(path), text);
    if (message) *message = text;
    return false;
  };
  std::string book = Clip(path);
  if (book.size() > kMaxPathLength)
    return refuse(BadNameError,
                  "The address book path is longer than " + std::to_string(kMaxPathLength) + " characters: " + book);
  Driver kind;
  if (!ParseDriver(driver, &kind) || (kind != Driver::Keyed && kind != Driver::Odbc))
    return refuse(DriverNotSupportedError, "Driver not supported: " + Clip(driver));
  if (book.empty()) return refuse(BadNameError, "The address book has no path");
  for (const char* t : kBookTables) {
    FileManager& f = File(t);
    f.SetDriver(kind);
    if (kind == Driver::Odbc) {
      f.SetName(t);
      f.SetOwner(book);
    } else {
      f.SetName(book + "/!" + t);
    }
  }
  m_imageLib = kind == Driver::Odbc ? std::string("MVimageLib") : book + "/!MVimageLib";
  ClearError();
  return true;
}

int Dictionary::OpenAddressBook(unsigned mode) {
  m_readOnlyBook.clear();
  std::vector<FileManager*> opened;
  auto fail = [&](int e, const std::string& name) {
    std::string text = ErrorText();
    for (FileManager* o : opened) o->Close();
    m_readOnlyBook.clear();
    SetError(e, name, text);
    return e;
  };
  for (const char* t : kBookTables) {
    FileManager& f = File(t);
    int e = f.TryOpen(mode);
    if (e == AlreadyOpenError) continue;
    if (e == AccessDeniedError && (mode & 0x0F) != ReadOnly && f.GetDriver() == Driver::Keyed &&
        IsReadOnlyText(ErrorText())) {
      // The book may be read but not written: every table of it is opened
      // for reading, so one of them is not left open for writing.
      m_readOnlyBook = ErrorText();
      for (FileManager* o : opened) o->Close();
      opened.clear();
      mode = ReadOnly | DenyNone;
      for (const char* r : kBookTables) {
        FileManager& g = File(r);
        if (g.IsOpen()) continue;
        if (int re = g.TryOpen(mode)) return fail(re, g.Name());
        opened.push_back(&g);
      }
      break;
    }
    if (e) return fail(e, f.Name());
    opened.push_back(&f);
  }
  // The image-library table has no record; it is made so the file holds
  // every table of a book (nothing is made in a book opened for reading).
  if (!m_imageLib.empty() && m_readOnlyBook.empty()) {
    FileManager imageLib(File("MVClients").GetDriver(), MakeLayout("MVI", {}), m_imageLib);
    imageLib.SetOwner(File("MVClients").Owner());
    if (int e = imageLib.TryOpen(mode)) return fail(e, m_imageLib);
  }
  ClearError();
  return NoError;
}

bool Dictionary::SetChargeAccountFiles(std::string_view path, std::string* message) {
  std::string file = Clip(path);
  if (file.empty()) {
    std::string text = "The charge account file has no name";
    SetError(BadNameError, file, text);
    if (message) *message = text;
    return false;
  }
  for (const char* t : {"Charge_account", "Charge_user", "Charge_userAccount"}) File(t).SetName(file + "/!" + t);
  ClearError();
  return true;
}

namespace {
Dictionary* g_dictionary = nullptr;
}

Dictionary& InitDictionary() {
  if (!g_dictionary) {
    g_dictionary = new Dictionary;
    // HALT closes the files and disposes the dictionary too.
    framework::OnHalt([] { KillDictionary(); });
  }
  return *g_dictionary;
}

void KillDictionary() {
  delete g_dictionary;
  g_dictionary = nullptr;
}

Dictionary* TheDictionary() { return g_dictionary; }

size_t FieldBytes(const Layout& layout, std::string_view field) {
  int index = layout.FindField(field);
  if (index < 0) return 0;
  const FieldDef& f = layout.Field(index);
  if (f.type == FieldType::String) return static_cast<size_t>(f.size);
  if (f.type == FieldType::CString) return CStringBytes(f.size);
  return 0;
}

}  // namespace mvn::client
