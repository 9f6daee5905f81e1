// Configuration objects over real INI files and the registry hive of the
// test root.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "lib/cxxlib.h"
#include "lib/stringlist.h"
#include "lib/tests/testsupport.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace {

using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

std::vector<std::string> Entries(CSTRINGLIST* list) {
  std::vector<std::string> out;
  const char* cursor = nullptr;
  while (list->Next(&cursor)) out.emplace_back(cursor);
  return out;
}

// Changes the current directory for as long as it lives.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& directory) {
    if (!getcwd(m_previous, sizeof m_previous)) m_previous[0] = '\0';
    EXPECT_EQ(chdir(directory.c_str()), 0);
  }
  ~CurrentDirectory() {
    if (m_previous[0]) {
      EXPECT_EQ(chdir(m_previous), 0);
    }
  }

 private:
  char m_previous[4096];
};

class ConfigIni : public ::testing::Test {
 protected:
  std::string Ini(const std::string& name, const std::string& content) {
    std::string path = m_dir / name;
    WriteFile(path, content);
    return path;
  }

  TempDir m_dir;
};

TEST_F(ConfigIni, NumberReadsFollowTheParseTables) {
  std::string path = Ini("n.ini",
                         "[N]\r\n"
                         "Neg=  -12\r\n"
                         "Hex=0x10\r\n"
                         "Trail=12abc\r\n"
                         "Long=12345678901234567890\r\n"
                         "Minus=-1\r\n"
                         "Plus=+5\r\n"
                         "Big=0xFFFFFFFF\r\n"
                         "Float=2.50\r\n");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("N", false));

  struct Row {
    const char* key;
    LONG asInt;
    DWORD asUInt;
    std::int64_t asInt64;
  };
  const Row rows[] = {
      {"Neg", -12, 0, -12},
      {"Hex", 16, 16, 16},
      {"Trail", 12, 12, 12},
      // Only the first 15 characters of a number are seen.
      {"Long", static_cast<LONG>(123456789012345LL & 0xFFFFFFFF), static_cast<DWORD>(123456789012345LL),
       123456789012345LL},
      {"Minus", -1, 0, -1},
      {"Plus", 5, 0, 5},
      {"Big", -1, 0xFFFFFFFFu, 0xFFFFFFFFLL},
  };
  for (const Row& row : rows) {
    LONG i = 99;
    DWORD u = 99;
    std::int64_t l = 99;
    EXPECT_TRUE(config.GetInt(row.key, &i)) << row.key;
    EXPECT_TRUE(config.GetUInt(row.key, &u)) << row.key;
    EXPECT_TRUE(config.GetInt64(row.key, &l)) << row.key;
    EXPECT_EQ(i, row.asInt) << row.key;
    EXPECT_EQ(u, row.asUInt) << row.key;
    EXPECT_EQ(l, row.asInt64) << row.key;
  }
  float f = 0;
  EXPECT_TRUE(config.GetFloat("Float", &f));
  EXPECT_FLOAT_EQ(f, 2.5f);
}

TEST_F(ConfigIni, BooleansByPrefixAndAnyResultIsARead) {
  std::string path = Ini("b.ini", "[B]\nA=Yes\nB=on\nC=T\nD=5\nE=off\nF=N\nG=0\nH=maybe\nI= TRUE \n");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("B", false));
  const std::pair<const char*, bool> rows[] = {{"A", true},  {"B", true},  {"C", true},
                                               {"D", true},  {"E", false}, {"F", false},
                                               {"G", false}, {"H", false}, {"I", true}};
  for (const auto& [key, expected] : rows) {
    bool value = !expected;
    EXPECT_TRUE(config.GetBool(key, &value)) << key;
    EXPECT_EQ(value, expected) << key;
  }
}

TEST_F(ConfigIni, EmptyValueCountsAsMissingAndLeavesOutValues) {
  std::string path = Ini("e.ini", "[S]\nEmpty=\nQuoted=\"\"\n");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("S", false));
  for (const char* key : {"Empty", "Quoted", "Missing"}) {
    CTEXTBUF16 text("keep");
    LONG i = 7;
    bool b = true;
    EXPECT_FALSE(config.GetString(key, &text)) << key;
    EXPECT_FALSE(config.GetInt(key, &i)) << key;
    EXPECT_FALSE(config.GetBool(key, &b)) << key;
    EXPECT_STREQ(text.Text(), "keep");
    EXPECT_EQ(i, 7);
    EXPECT_TRUE(b);
  }
}

TEST_F(ConfigIni, WritesNumberAndBooleanTexts) {
  std::string path = m_dir / "w.ini";
  CCONFIGINI config(path.c_str());
  // The file does not exist yet: only a creating open succeeds.
  EXPECT_FALSE(config.OpenSection("W", false));
  ASSERT_TRUE(config.OpenSection("W", true));
  EXPECT_TRUE(config.PutBool("On", true));
  EXPECT_TRUE(config.PutBool("Off", false));
  EXPECT_TRUE(config.PutInt("Neg", -5));
  EXPECT_TRUE(config.PutUInt("Max", 0xFFFFFFFFu));
  EXPECT_TRUE(config.PutInt64("Wide", -5000000000LL));
  EXPECT_TRUE(config.PutString("Text", "a b"));
  EXPECT_FALSE(config.PutFloat("F", 1.5f));
  EXPECT_EQ(ReadFile(path),
            "[W]\r\nOn=true\r\nOff=false\r\nNeg=-5\r\nMax=4294967295\r\nWide=-5000000000\r\nText=a b\r\n");
  EXPECT_TRUE(config.OpenSection("W", false));
  // A nullptr text removes the key.
  EXPECT_TRUE(config.PutString("Text", nullptr));
  CTEXTBUF16 text;
  EXPECT_FALSE(config.GetString("Text", &text));
  std::int64_t wide = 0;
  EXPECT_TRUE(config.GetInt64("Wide", &wide));
  EXPECT_EQ(wide, -5000000000LL);
}

TEST_F(ConfigIni, OpenSectionTrimsBlanksAndBrackets) {
  std::string path = Ini("s.ini", "[Mail]\nHost=mx\n");
  CCONFIGINI config(path.c_str());
  const char* names[] = {" [Mail] ", "Mail", "\t[[Mail]]\r\n", "mail"};
  for (const char* name : names) {
    ASSERT_TRUE(config.OpenSection(name, false)) << name;
    CTEXTBUF16 host;
    EXPECT_TRUE(config.GetString("Host", &host)) << name;
    EXPECT_STREQ(host.Text(), "mx");
  }
  config.OpenSection(" [Mail] ", false);
  EXPECT_STREQ(config.SectionName(), "Mail");
  CTEXTBUF16 section;
  EXPECT_TRUE(config.GetSectionName(&section));
  EXPECT_STREQ(section.Text(), "Mail");
  config.OpenSection("", false);
  EXPECT_FALSE(config.GetSectionName(&section));
  // A directory is no INI file.
  CCONFIGINI directory(m_dir.str().c_str());
  EXPECT_FALSE(directory.OpenSection("Mail", false));
}

TEST_F(ConfigIni, RelativeNameResolvesAgainstCurrentDirectory) {
  Ini("rel.ini", "[R]\nK=v\n");
  std::unique_ptr<CurrentDirectory> inside(new CurrentDirectory(m_dir.str()));
  CCONFIGINI config("rel.ini");
  inside.reset();
  EXPECT_EQ(std::string(config.FileName()), m_dir / "rel.ini");
  ASSERT_TRUE(config.OpenSection("R", false));
  CTEXTBUF16 value;
  EXPECT_TRUE(config.GetString("K", &value));
  EXPECT_STREQ(value.Text(), "v");
}

// The values handed to the trace callback.
std::vector<std::pair<std::string, std::string>> g_trace;
void Trace(const char* a, const char* b) { g_trace.emplace_back(a ? a : "", b ? b : ""); }

TEST_F(ConfigIni, ValuesReadAreExpandedAndTraced) {
  std::string path = Ini("v.ini",
                         "[S]\nPath=%BASE%/x\nPercent=100%%\nUnknown=%NOPE%\nNum=%N%\n"
                         "[L]\n%BASE%Name=1\nPlain=%BASE%\n");
  CCONFIGINI config(path.c_str());
  CSTRINGLIST variables;
  variables.Add("BASE=/srv");
  variables.Add("N=42");
  config.SetVariables(&variables);
  g_trace.clear();
  config.SetTrace(&Trace);
  ASSERT_TRUE(config.OpenSection("S", false));

  CTEXTBUF16 text;
  EXPECT_TRUE(config.GetString("Path", &text));
  EXPECT_STREQ(text.Text(), "/srv/x");
  EXPECT_TRUE(config.GetString("Percent", &text));
  EXPECT_STREQ(text.Text(), "100%");
  EXPECT_TRUE(config.GetString("Unknown", &text));
  EXPECT_STREQ(text.Text(), "%NOPE%");
  LONG n = 0;
  EXPECT_TRUE(config.GetInt("Num", &n));
  EXPECT_EQ(n, 42);
  config.Describe();
  ASSERT_EQ(g_trace.size(), 5u);
  EXPECT_EQ(g_trace[0], std::make_pair(std::string("Path"), std::string("/srv/x")));
  EXPECT_EQ(g_trace[3], std::make_pair(std::string("Num"), std::string("42")));
  EXPECT_EQ(g_trace[4], std::make_pair(std::string("Config:INI"), path));

  // Whole lines are expanded, names included.
  CSTRINGLIST entries;
  EXPECT_TRUE(config.GetSectionEntries(" [L] ", &entries));
  EXPECT_EQ(Entries(&entries), (std::vector<std::string>{"/srvName=1", "Plain=/srv"}));
  // The current section is not changed by reading another one.
  EXPECT_STREQ(config.SectionName(), "S");
}

TEST_F(ConfigIni, GetEntryListTakesAllThreeItemForms) {
  Ini("other.ini", "[Sect]\nO1=one\nO2=two\n");
  std::string path = Ini("main.ini",
                         "[App]\n"
                         "List=A=1, [Extra], other.ini[Sect], \"Q=x,y\", missing.ini[None], [NoSuch]\n"
                         "Empty=\n"
                         "[Extra]\nE1=e\n");
  // "other.ini" is found against the current directory.
  CurrentDirectory inside(m_dir.str());
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("App", false));
  CSTRINGLIST list;
  bool read = config.GetEntryList("List", &list);
  bool empty = config.GetEntryList("Empty", &list);
  EXPECT_TRUE(read);
  EXPECT_FALSE(empty);
  EXPECT_EQ(Entries(&list), (std::vector<std::string>{"A=1", "E1=e", "O1=one", "O2=two", "Q=x,y"}));
}

TEST_F(ConfigIni, GetKeysGrowsItsBufferForTwoThousandKeys) {
  std::string content = "[Big]\r\n";
  std::vector<std::string> expected;
  for (int i = 0; i < 2000; ++i) {
    std::string key = "Key" + std::to_string(1999 - i) + "_" + std::string(i % 7, 'x');
    content += key + "=" + std::to_string(i) + "\r\n";
    expected.push_back(key);
  }
  std::string path = Ini("big.ini", content + "[Other]\r\nZ=1\r\n");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("Big", false));
  CSTRINGLIST keys;
  keys.Add("Before");
  ASSERT_TRUE(config.GetKeys(&keys));
  std::vector<std::string> got = Entries(&keys);
  ASSERT_EQ(got.size(), 2001u);
  EXPECT_EQ(got.front(), "Before");  // the list is not emptied first
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin() + 1));

  CSTRINGLIST entries;
  ASSERT_TRUE(config.GetEntries(&entries));
  EXPECT_EQ(entries.Count(), 2000u);
  CSTRINGLIST none;
  EXPECT_FALSE(config.GetSectionKeys("Absent", &none));
  EXPECT_FALSE(config.GetSectionEntries("Absent", &none));
  EXPECT_TRUE(config.GetSectionKeys("Other", &none));
  EXPECT_EQ(Entries(&none), std::vector<std::string>{"Z"});
}

TEST_F(ConfigIni, PutEntriesWritesListsIntoSections) {
  std::string path = Ini("p.ini", "[A]\nOld=1\n");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("A", false));
  CSTRINGLIST list;
  list.Add("X=1");
  list.Add("Bare");
  EXPECT_TRUE(config.PutEntries(&list));
  EXPECT_TRUE(config.PutSectionEntries("New", &list));
  CSTRINGLIST empty;
  EXPECT_TRUE(config.PutEntries(&empty));
  CSTRINGLIST a, added;
  EXPECT_TRUE(config.GetEntries(&a));
  EXPECT_TRUE(config.GetSectionEntries("New", &added));
  EXPECT_EQ(Entries(&a), (std::vector<std::string>{"Old=1", "X=1", "Bare="}));
  EXPECT_EQ(Entries(&added), (std::vector<std::string>{"X=1", "Bare="}));
  EXPECT_EQ(ReadFile(path).rfind("[A]\nOld=1\nX=1\nBare=\n", 0), 0u) << "written after the last key";
  // A failing write stops the list.
  CSTRINGLIST bad;
  bad.Add("Bad\nKey=1");
  EXPECT_FALSE(config.PutEntries(&bad));
}

TEST_F(ConfigIni, BinaryRoundTrip) {
  std::string path = m_dir / "bin.ini";
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("B", true));
  const BYTE data[5] = {0, 1, 0x7F, 0x80, 0xFF};
  ASSERT_TRUE(config.PutBinary("Blob", data, sizeof data));
  BYTE back[5] = {};
  g_trace.clear();
  config.SetTrace(&Trace);
  ASSERT_TRUE(config.GetBinary("Blob", back, sizeof back));
  EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
  ASSERT_EQ(g_trace.size(), 1u);
  EXPECT_EQ(g_trace[0].second, "BINARY");
  BYTE wrongSize[4] = {};
  EXPECT_FALSE(config.GetBinary("Blob", wrongSize, sizeof wrongSize));
  EXPECT_FALSE(config.GetBinary("Missing", back, sizeof back));
}

using mvntest::SlotOf;

TEST(ConfigBase, SlotOrderIsTheFixedOne) {
  const std::size_t slots[] = {
      SlotOf(&CCONFIG::Describe),          SlotOf(&CCONFIG::ExpandValue),       SlotOf(&CCONFIG::GetSectionName),
      SlotOf(&CCONFIG::SectionName),       SlotOf(&CCONFIG::OpenSection),       SlotOf(&CCONFIG::GetBinary),
      SlotOf(&CCONFIG::GetFloat),          SlotOf(&CCONFIG::GetBool),           SlotOf(&CCONFIG::GetInt),
      SlotOf(&CCONFIG::GetUInt),           SlotOf(&CCONFIG::GetInt64),          SlotOf(&CCONFIG::GetString),
      SlotOf(&CCONFIG::PutBinary),         SlotOf(&CCONFIG::PutFloat),          SlotOf(&CCONFIG::PutBool),
      SlotOf(&CCONFIG::PutInt),            SlotOf(&CCONFIG::PutUInt),           SlotOf(&CCONFIG::PutInt64),
      SlotOf(&CCONFIG::PutString),         SlotOf(&CCONFIG::PutSectionEntries), SlotOf(&CCONFIG::PutEntries),
      SlotOf(&CCONFIG::GetSectionKeys),    SlotOf(&CCONFIG::GetKeys),           SlotOf(&CCONFIG::GetSectionEntries),
      SlotOf(&CCONFIG::GetEntries),        SlotOf(&CCONFIG::GetEntryList),
  };
  ASSERT_EQ(std::size(slots), 26u);
  for (std::size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(slots[i], i);
  // The two kinds override in place and add no slot.
  EXPECT_EQ(SlotOf(&CCONFIGINI::GetEntryList), 25u);
  EXPECT_EQ(SlotOf(&CCONFIGREG::OpenSection), 4u);
}

TEST(ConfigBase, PureSlotsRaiseTheLibraryError) {
  CCONFIG config;
  CTEXTBUF16 text;
  CSTRINGLIST list;
  auto expectFault = [](auto call) {
    try {
      call();
      ADD_FAILURE() << "no library error";
    } catch (const SystemException& e) {
      EXPECT_EQ(e.Code(), LIBRARY_EXCEPTION_CODE);
    }
  };
  expectFault([&] { config.Describe(); });
  expectFault([&] { config.OpenSection("S", false); });
  expectFault([&] { config.GetString("K", &text); });
  expectFault([&] { config.PutString("K", "v"); });
  expectFault([&] { config.GetEntryList("K", &list); });
  // The shared slots work on the plain object.
  EXPECT_FALSE(config.GetSectionName(&text));
  EXPECT_STREQ(config.SectionName(), "");
  text.Assign("x");
  config.ExpandValue("K", &text);
  EXPECT_STREQ(text.Text(), "x");
}

// ---------------------------------------------------------------------------
// Registry kind, on the test root's HKEY_LOCAL_MACHINE hive.

constexpr const char* kRoot = "Software\\Morvane International";

TEST(ConfigRegistry, OpensKeysAndListsValueNamesOnly) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane International\\cfgtest", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char value[] = "text";
  const std::string longName = "Long" + std::string(66, 'n');
  for (const char* name : {"Zeta", "alpha", "Beta", longName.c_str()}) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value),
              ERROR_SUCCESS);
  }
  RegCloseKey(key);

  CCONFIGREG config(HKEY_LOCAL_MACHINE, kRoot);
  EXPECT_EQ(config.LastResult(), ERROR_SUCCESS);
  EXPECT_FALSE(config.OpenSection("nosuchapp", false));
  EXPECT_EQ(config.LastResult(), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  CSTRINGLIST names;
  EXPECT_FALSE(config.GetKeys(&names));  // no section key open

  ASSERT_TRUE(config.OpenSection("CFGTEST", false));
  ASSERT_TRUE(config.GetKeys(&names));
  // Sorted without case; the name that does not fit 63 characters ends the
  // listing there.
  EXPECT_EQ(Entries(&names), (std::vector<std::string>{"alpha", "Beta"}));

  CTEXTBUF16 text("keep");
  EXPECT_FALSE(config.GetString("alpha", &text));
  EXPECT_STREQ(text.Text(), "keep");
  EXPECT_FALSE(config.PutString("alpha", "x"));
  EXPECT_FALSE(config.GetSectionName(&text));
  EXPECT_FALSE(config.GetEntryList("alpha", &names));

  // create makes a missing section key.
  EXPECT_TRUE(config.OpenSection("created", true));
  EXPECT_TRUE(config.OpenSection("created", false));
  g_trace.clear();
  config.SetTrace(&Trace);
  config.Describe();
  ASSERT_EQ(g_trace.size(), 1u);
  EXPECT_EQ(g_trace[0], std::make_pair(std::string("Config:REG"), std::string(kRoot)));
}

TEST(ConfigRegistry, FailedConstructionMakesEveryOpenFail) {
  // A bad path below the root key cannot be created.
  CCONFIGREG config(HKEY_LOCAL_MACHINE, "\\Leading\\Separator");
  EXPECT_NE(config.LastResult(), ERROR_SUCCESS);
  EXPECT_FALSE(config.OpenSection("any", false));
  EXPECT_FALSE(config.OpenSection("any", true));
  EXPECT_FALSE(config.OpenSection("", false));
}

// ---------------------------------------------------------------------------
// Across deliverables: a loaded module's string and list filled by this
// copy of the configuration; the buffers must stay in the module's heap.

#ifdef MVN_XMODULE_PATH
TEST_F(ConfigIni, FillsAnotherDeliverablesObjectsThroughTheirSlots) {
  std::string keys;
  for (int i = 0; i < 60; ++i) keys += "SomeLongerKeyName" + std::to_string(i) + "=v\n";
  std::string path = Ini("x.ini", "[X]\nLong=a value longer than sixteen bytes\nList=A=1,[Keys]\n[Keys]\n" + keys);

  void* module = dlopen(MVN_XMODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto createText = reinterpret_cast<CTEXT* (*)()>(dlsym(module, "xm_CreateText"));
  auto destroyText = reinterpret_cast<void (*)(CTEXT*)>(dlsym(module, "xm_DestroyText"));
  auto createList = reinterpret_cast<CSTRINGLIST* (*)()>(dlsym(module, "xm_CreateList"));
  auto destroyList = reinterpret_cast<void (*)(CSTRINGLIST*)>(dlsym(module, "xm_DestroyList"));
  auto moduleBlocks = reinterpret_cast<SIZE_T (*)()>(dlsym(module, "xm_HeapBlockCount"));
  ASSERT_TRUE(createText && destroyText && createList && destroyList && moduleBlocks);

  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("X", false));
  CTEXT* text = createText();
  CSTRINGLIST* keyList = createList();
  CSTRINGLIST* list = createList();
  SIZE_T hostBefore = HeapBlockCount(CXXHEAP::HeapHandle());
  SIZE_T moduleBefore = moduleBlocks();

  ASSERT_TRUE(config.GetString("Long", text));
  EXPECT_STREQ(text->Text(), "a value longer than sixteen bytes");
  EXPECT_TRUE(text->IsOwned());
  ASSERT_TRUE(config.GetSectionKeys("Keys", keyList));
  ASSERT_TRUE(config.GetEntryList("List", list));
  EXPECT_GT(keyList->Capacity(), 256u);
  EXPECT_GT(list->Capacity(), 256u);
  std::vector<std::string> keyNames = Entries(keyList);
  std::vector<std::string> entries = Entries(list);
  ASSERT_EQ(keyNames.size(), 60u);
  ASSERT_EQ(entries.size(), 61u);
  EXPECT_EQ(keyNames[59], "SomeLongerKeyName59");
  EXPECT_EQ(entries[0], "A=1");
  EXPECT_EQ(entries[60], "SomeLongerKeyName59=v");

  // The three grown buffers are blocks of the module's heap; this program's
  // heap holds nothing more than before.
  EXPECT_EQ(moduleBlocks(), moduleBefore + 3);
  EXPECT_EQ(HeapBlockCount(CXXHEAP::HeapHandle()), hostBefore);
  destroyText(text);
  destroyList(keyList);
  destroyList(list);
  EXPECT_EQ(moduleBlocks(), moduleBefore - 3);
  // The module stays loaded: the kernel's tables of its copy are kept for
  // the life of that copy and would be left behind by an unload.
}
#endif

}  // namespace
