// Notification sources, pools, overrides from real INI files, formatting.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "lib/notify.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace {

using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

// Ids of this test's own sources; no library source uses them.
constexpr DWORD kIdA = 0x7F0001;
constexpr DWORD kIdB = 0x7F0002;
constexpr DWORD kIdC = 0x7F0003;
constexpr DWORD kIdD = 0x7F0004;
constexpr DWORD kIdShared = 0x7F0010;
constexpr DWORD kIdUnknown = 0x7F0FFF;

std::string Expand(const char* text, NOTIFYEXPANDER expander = nullptr, void* context = nullptr,
                   const char* p1 = "one", const char* p2 = "two", const char* p3 = nullptr) {
  CTEXTBUF16 out;
  NotifyExpand(context, expander, text, &out, p1, p2, p3);
  return out.Text();
}

bool KnowsUser(void* context, const char* name, CTEXT* value) {
  if (context) ++*static_cast<int*>(context);
  if (std::string(name) != "USER") return false;
  value->Assign("ann");
  return true;
}

TEST(NotifyExpand, TemplateTable) {
  struct Row {
    const char* text;
    const char* expected;
  };
  const Row rows[] = {
      {"100%% done", "100% done"},
      {"%5", ""},
      {"%0%4%9|", "|"},
      {"\\q", "q"},
      {"a\\nb\\rc\\td", "a\nb\rc\td"},
      {"ends\\", "ends"},
      {"\\\\", "\\"},
      {"%1-%2-%3.", "one-two-."},
      {"50%", "50%"},
      {"a%USER%b", "a%USER%b"},  // without an expander "%" is plain text
      {"", ""},
      {"x%%%1", "x%one"},
  };
  for (const Row& row : rows) EXPECT_EQ(Expand(row.text), row.expected) << row.text;
  EXPECT_EQ(Expand(nullptr), "");
}

TEST(NotifyExpand, ExpanderVariablesAndUnknownPercentsStayAsWritten) {
  int calls = 0;
  const std::pair<const char*, const char*> rows[] = {
      {"Hi %USER%!", "Hi ann!"},
      {"90% full: %1", "90% full: one"},
      {"%NOPE% %1", "%NOPE% one"},
      {"50%", "50%"},
      {"%USER%%USER%", "annann"},
      {"%% %USER", "% %USER"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(Expand(text, &KnowsUser, &calls), expected) << text;
  EXPECT_GT(calls, 0);
}

class NotifyTest : public ::testing::Test {
 protected:
  NotifyTest()
      : m_table{{kIdA, "NOTIFY_TEST_A", 0, 0, 0, 0},
                {kIdB, "NOTIFY_TEST_B", 0, 0, 0, 0},
                {kIdC, "NOTIFY_TEST_C", 0, 0, 0, 0},
                {kIdD, "NOTIFY_TEST_D", 0, 0, 0, 0},
                {kIdShared, "NOTIFY_TEST_SHARED", 0, 0, 0, 0},
                {0, nullptr, 0, 0, 0, 0}},
        m_other{{kIdShared + 1, "NOTIFY_TEST_SHARED", 0, 0, 0, 0}, {0, nullptr, 0, 0, 0, 0}},
        m_source("TestSource", m_table),
        m_otherSource("OtherSource", m_other) {}

  std::string Ini(const std::string& name, const std::string& content) {
    std::string path = m_dir / name;
    WriteFile(path, content);
    return path;
  }

  static void Format(CNOTIFYMSG* message, DWORD id, const char* p1 = nullptr, const char* p2 = nullptr,
                     const char* p3 = nullptr) {
    EXPECT_TRUE(message->Format(nullptr, nullptr, nullptr, id, p1, p2, p3));
  }
  // The text of the formatted notification.
  static std::string Text(DWORD id, const char* p1 = nullptr, const char* p2 = nullptr, const char* p3 = nullptr) {
    CNOTIFYMSG message;
    Format(&message, id, p1, p2, p3);
    return message.m_text.Text();
  }

  NOTIFYDEF m_table[6];
  NOTIFYDEF m_other[2];
  CNOTIFYSOURCE m_source;
  CNOTIFYSOURCE m_otherSource;
  TempDir m_dir;
};

TEST_F(NotifyTest, WithoutTextTheNameAndInsertsAreShown) {
  CNOTIFYMSG message;
  Format(&message, kIdA, "CONFIG=");
  EXPECT_STREQ(message.m_text.Text(), "NOTIFY_TEST_A,CONFIG=,,");
  EXPECT_STREQ(message.m_text2.Text(), "");
  EXPECT_EQ(message.m_severity, 0u);
  EXPECT_STREQ(message.LogName(), "NL");
  EXPECT_TRUE(message.IsVisible());
  // Inserts are not expanded again.
  EXPECT_EQ(Text(kIdA, "%1", "100%", "a\\n"), "NOTIFY_TEST_A,%1,100%,a\\n");
  // The library's own source is registered.
  EXPECT_EQ(Text(NOTIFY_WIN32ERROR, "CPATH::Initialize", "LoadLibrary", "Text. "),
               "NOTIFY_WIN32ERROR,CPATH::Initialize,LoadLibrary,Text. ");
}

TEST_F(NotifyTest, DefaultsSetTextSeverityAndLogName) {
  NotifySetDefault(kIdB, "NL", 1, "Error - unable to deliver your message\n<%1>");
  CNOTIFYMSG message;
  Format(&message, kIdB, "Server busy");
  EXPECT_STREQ(message.m_text.Text(), "Error - unable to deliver your message\n<Server busy>");
  EXPECT_EQ(message.m_severity, 1u);
  NotifySetDefault(kIdB, "SENDLOG", 9, "App Startup");
  Format(&message, kIdB);
  EXPECT_STREQ(message.m_text.Text(), "App Startup");
  EXPECT_STREQ(message.LogName(), "SENDLOG");
  EXPECT_FALSE(message.IsVisible());
  // A second text set by an override is kept by later defaults.
  m_table[1].text2 = NotifyTextOffset("second %2");
  NotifySetDefault(kIdB, "NL", 2, "first %1");
  Format(&message, kIdB, "a", "b");
  EXPECT_STREQ(message.m_text.Text(), "first a");
  EXPECT_STREQ(message.m_text2.Text(), "second b");
}

TEST_F(NotifyTest, UnknownIdIsALibraryFault) {
  CNOTIFYMSG message;
  try {
    message.Format(nullptr, nullptr, nullptr, kIdUnknown, nullptr, nullptr, nullptr);
    ADD_FAILURE() << "no library error";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.Code(), LIBRARY_EXCEPTION_CODE);
  }
  EXPECT_EQ(NotifyFind(kIdUnknown), nullptr);
  EXPECT_EQ(NotifyFind(0), nullptr);
}

TEST_F(NotifyTest, PoolsAddByExactMatchOnly) {
  EXPECT_EQ(NotifyLogOffset("NL"), 0u);
  EXPECT_EQ(NotifyLogOffset(""), 0u);
  EXPECT_STREQ(NotifyLogName(0), "NL");
  EXPECT_EQ(NotifyTextOffset(nullptr), 0u);
  EXPECT_STREQ(NotifyText(0), "NIL");

  DWORD log = NotifyLogOffset("PoolTestLog");
  DWORD lower = NotifyLogOffset("nl");
  EXPECT_NE(lower, 0u);
  EXPECT_NE(lower, log);
  EXPECT_EQ(NotifyLogOffset("PoolTestLog"), log);
  EXPECT_STREQ(NotifyLogName(log), "PoolTestLog");
  EXPECT_STREQ(NotifyLogName(0), "NL");
  EXPECT_STREQ(NotifyLogName(lower), "nl");

  NotifySetDefault(kIdC, "PoolTestLog", 3, "Key=%1");
  DWORD first = m_table[2].text;
  DWORD second = NotifyTextOffset("key=%2");
  EXPECT_NE(second, first);
  EXPECT_EQ(NotifyTextOffset("Key=%1"), first);
  EXPECT_STREQ(NotifyText(first), "Key=%1");
  EXPECT_STREQ(NotifyText(second), "key=%2");
  CNOTIFYMSG message;
  Format(&message, kIdC, "v");
  EXPECT_STREQ(message.m_text.Text(), "Key=v");
  EXPECT_STREQ(message.LogName(), "PoolTestLog");
  // An offset inside an entry is none.
  EXPECT_EQ(NotifyText(first + 1), nullptr);
  EXPECT_EQ(NotifyText(0xFFFFFF), nullptr);
}

TEST_F(NotifyTest, OverridesFromMessagesLaterSourcesWin) {
  Ini("other.ini", "[Texts2]\nNOTIFY_TEST_A=LOG2,3,From other %1\n");
  std::string path = Ini("app.ini",
                         "[App]\n"
                         "Messages=[Texts], " + (m_dir / "other.ini") + "[Texts2], nofile.ini[X], [Missing]\n"
                         "[Texts]\n"
                         "NOTIFY_TEST_A=NL,1,From texts\n"
                         "NOTIFY_TEST_B=BLOG,2,\"Missing, file %3 (%2 in [%1])\",Second\n"
                         "NOTIFY_TEST_D=OnlyLog\n"
                         "NOTIFY_TEST_SHARED=NL,4,Shared\n"
                         "[App-MESSAGES]\n"
                         "NOTIFY_TEST_A=NL,5,Not used\n");
  NotifySetDefault(kIdD, "NL", 7, "D default");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(config.OpenSection("Remembered", false));
  EXPECT_TRUE(NotifyLoadMessages(&config, "App"));
  EXPECT_STREQ(config.SectionName(), "Remembered");

  CNOTIFYMSG a;
  Format(&a, kIdA, "x");
  EXPECT_STREQ(a.m_text.Text(), "From other x");
  EXPECT_STREQ(a.LogName(), "LOG2");
  EXPECT_EQ(a.m_severity, 3u);
  CNOTIFYMSG b;
  Format(&b, kIdB, "S", "K", "P");
  EXPECT_STREQ(b.m_text.Text(), "Missing, file P (K in [S])");
  EXPECT_STREQ(b.m_text2.Text(), "Second");
  EXPECT_EQ(b.m_severity, 2u);
  // Fields without an item keep their values.
  CNOTIFYMSG d;
  Format(&d, kIdD);
  EXPECT_STREQ(d.LogName(), "OnlyLog");
  EXPECT_EQ(d.m_severity, 7u);
  EXPECT_STREQ(d.m_text.Text(), "D default");
  // Rows of different sources with one name all take the override.
  EXPECT_EQ(Text(kIdShared), "Shared");
  EXPECT_EQ(Text(kIdShared + 1), "Shared");
}

TEST_F(NotifyTest, WithoutMessagesTheApplicationsMessageSectionIsLoaded) {
  std::string path = Ini("app.ini",
                         "[App]\nMessages=\n"
                         "[App-MESSAGES]\nNOTIFY_TEST_C=NL,1,From the messages section\n"
                         "NOTIFY_TEST_A=NL,,,2nd\n");
  NotifySetDefault(kIdA, "NL", 9, "App Startup");
  CCONFIGINI config(path.c_str());
  EXPECT_TRUE(NotifyLoadMessages(&config, "App"));
  EXPECT_EQ(Text(kIdC), "From the messages section");
  // Empty items clear: severity 0, no text.
  CNOTIFYMSG a;
  Format(&a, kIdA);
  EXPECT_EQ(a.m_severity, 0u);
  EXPECT_STREQ(a.m_text.Text(), "NOTIFY_TEST_A,,,");
  EXPECT_STREQ(a.m_text2.Text(), "2nd");
  // A section that cannot be opened changes nothing.
  CCONFIGINI missing((m_dir / "none.ini").c_str());
  EXPECT_FALSE(NotifyLoadSection(&missing, "App-MESSAGES"));
  EXPECT_TRUE(NotifyLoadMessages(&missing, "App"));
}

TEST_F(NotifyTest, SeverityNineIsHiddenUntilAnOverrideLowersIt) {
  std::string log = m_dir / "boxes.log";
  setenv("MVN_MESSAGEBOX_LOG", log.c_str(), 1);
  NotifySetDefault(kIdC, "NL", 9, "App Startup");
  EXPECT_FALSE(NotifyDisplay("Caption", nullptr, nullptr, nullptr, kIdC, nullptr, nullptr, nullptr));
  std::string path = Ini("v.ini", "[App-MESSAGES]\nNOTIFY_TEST_C=NL,8\n");
  CCONFIGINI config(path.c_str());
  ASSERT_TRUE(NotifyLoadMessages(&config, "App"));
  EXPECT_TRUE(NotifyDisplay("Caption", nullptr, nullptr, nullptr, kIdC, nullptr, nullptr, nullptr));
  unsetenv("MVN_MESSAGEBOX_LOG");
  std::string boxes = ReadFile(log);
  EXPECT_NE(boxes.find("Caption: App Startup"), std::string::npos) << boxes;
  EXPECT_EQ(boxes.find("App Startup"), boxes.rfind("App Startup")) << "one box only";
}

// An expander that raises (formats) another notification while the first
// is formatted under the lock: the lock is recursive.
bool NestedFormat(void*, const char* name, CTEXT* value) {
  CNOTIFYMSG inner;
  inner.Format(nullptr, nullptr, nullptr, kIdA, name, nullptr, nullptr);
  value->Assign(inner.m_text.Text());
  return true;
}

TEST_F(NotifyTest, FormattingInsideFormattingDoesNotDeadlock) {
  NotifySetDefault(kIdB, "NL", 0, "outer %X% done");
  CNOTIFYMSG message;
  message.Format(nullptr, &NestedFormat, nullptr, kIdB, nullptr, nullptr, nullptr);
  EXPECT_STREQ(message.m_text.Text(), "outer NOTIFY_TEST_A,X,, done");
}

TEST_F(NotifyTest, SourcesAreSearchedInRegistrationOrderAndLeaveWhenDestroyed) {
  DWORD before = NotifySourceCount();
  std::vector<std::unique_ptr<NOTIFYDEF[]>> tables;
  std::vector<std::unique_ptr<CNOTIFYSOURCE>> sources;
  // More than one growth step of the source array.
  for (int i = 0; i < 40; ++i) {
    tables.emplace_back(new NOTIFYDEF[2]{{kIdUnknown, i == 0 ? "NOTIFY_FIRST" : "NOTIFY_LATER", 0, 0, 0, 0},
                                         {0, nullptr, 0, 0, 0, 0}});
    sources.emplace_back(new CNOTIFYSOURCE("Extra", tables.back().get()));
  }
  EXPECT_EQ(NotifySourceCount(), before + 40);
  EXPECT_EQ(NotifySource(before), sources.front().get());
  ASSERT_NE(NotifyFind(kIdUnknown), nullptr);
  EXPECT_STREQ(NotifyFind(kIdUnknown)->name, "NOTIFY_FIRST");
  sources.erase(sources.begin());
  EXPECT_STREQ(NotifyFind(kIdUnknown)->name, "NOTIFY_LATER");
  sources.clear();
  EXPECT_EQ(NotifySourceCount(), before);
  EXPECT_EQ(NotifyFind(kIdUnknown), nullptr);
  EXPECT_NE(NotifyFind(NOTIFY_EXCEPTION), nullptr);
}

}  // namespace
