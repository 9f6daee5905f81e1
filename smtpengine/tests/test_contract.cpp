// The engine's contract without a server: attach and channel checks,
// address checks, parameters, error texts, guarded blocks, the mail-text
// line maker, the base64 lines and the Date line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "smtpengine/engine.h"
#include "tests/support/tempdir.h"

using namespace mvn::smtpengine;

namespace {

class Attached : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(smeAttach(1), 1); }
  void TearDown() override { EngineRelease(); }
};

TEST(EngineAttach, ChannelChecksBeforeAndAfterAttach) {
  char buffer[64];
  EXPECT_EQ(smeIntegerParam(0, 8, 1), -71);
  EXPECT_EQ(smeSmtpConnect(0, "127.0.0.1", "<a@b.example>", nullptr), -71);
  EXPECT_EQ(smeSendEmail(0, "<a@b.example>", nullptr, nullptr, nullptr, nullptr, nullptr), -71);
  EXPECT_EQ(smeClose(0), -71);
  EXPECT_EQ(smeErrorText(0, -8, buffer, sizeof buffer), -71);
  EXPECT_EQ(smeAttach(129), -73);
  // Attaching no channel starts the sockets but attaches nothing.
  EXPECT_EQ(smeAttach(0), 1);
  EXPECT_EQ(smeStringParam(0, 51, "X"), -71);
  EngineRelease();

  ASSERT_EQ(smeAttach(2), 1);
  EXPECT_EQ(smeAttach(1), -72);
  EXPECT_EQ(smeIntegerParam(1, 8, 1), 1);
  EXPECT_EQ(smeIntegerParam(2, 8, 1), -73);
  EXPECT_EQ(smeIntegerParam(-1, 8, 1), -73);
  EXPECT_EQ(EngineRelease(), 1);
  EXPECT_EQ(EngineRelease(), 1);
  EXPECT_EQ(smeGetCounter(0, 16), -71);
}

TEST(EngineAttach, VerifyFormatTable) {
  struct Case {
    const char* address;
    int result;
  } cases[] = {
      {nullptr, -47},
      {"", -37},
      {"ann@desk.example", -41},
      {"<ann@desk.example", -43},
      {"ann>@<desk.example", -43},
      {"<ann@desk.example>", 1},
      {"Ann Smith <ann.smith-1_$&/x@desk.example>", 1},
      {"<ann@desk@example>", -53},
      {"<ann smith@desk.example>", -32},
      {"<ann+tag@desk.example>", -32},
      {"<ann.desk.example>", -39},
      // Only the first address of a list is checked.
      {"<ann@desk.example>, <bad address>", 1},
      {"ann, <bob@desk.example>", -41},
  };
  for (const Case& c : cases) EXPECT_EQ(smeVerifyFormat(c.address), c.result) << (c.address ? c.address : "NULL");
}

TEST_F(Attached, IntegerParametersStoreTheirMasks) {
  EXPECT_EQ(smeIntegerParam(0, 8, 12), 4);
  EXPECT_EQ(Channel(0)->textMode, 4);
  EXPECT_EQ(smeIntegerParam(0, 9, 2), 0);
  EXPECT_EQ(smeIntegerParam(0, 9, 3), 1);
  EXPECT_EQ(smeIntegerParam(0, 15, 0x10019), 0x10019);
  EXPECT_EQ(Channel(0)->smtpPort, 25);
  EXPECT_EQ(smeIntegerParam(0, 16, 0x20000 + 2525), 0x20000 + 2525);
  EXPECT_EQ(Channel(0)->pop3Port, 2525);
  EXPECT_EQ(smeIntegerParam(0, 23, 0x13B), 0x13B);
  EXPECT_EQ(g_params.listSeparator, ';');
  EXPECT_EQ(smeIntegerParam(0, 18, 1), 1);
  EXPECT_EQ(Channel(0)->nonBlockingConnect, 0);
  EXPECT_EQ(smeIntegerParam(0, 18, 0), 0);
  EXPECT_EQ(Channel(0)->nonBlockingConnect, 1);
  for (int key : {0, 4, 7, 20, 24, 99, -3}) EXPECT_EQ(smeIntegerParam(0, key, 5), -1) << key;
  // The longest text line is bounded by the line buffers; the call
  // returns the value as given, like every key but 8 and 9.
  EXPECT_EQ(smeIntegerParam(0, 17, 100000), 100000);
  EXPECT_EQ(g_params.longestLine, 990);
  EXPECT_EQ(smeIntegerParam(0, 17, -5), -5);
  EXPECT_EQ(g_params.longestLine, 8);
  EXPECT_EQ(smeIntegerParam(0, 17, 78), 78);
  EXPECT_EQ(g_params.longestLine, 78);
}

TEST_F(Attached, StringParametersAndTheExtraHeaderLine) {
  EXPECT_EQ(smeStringParam(0, 51, nullptr), -47);
  EXPECT_EQ(smeStringParam(0, 51, "X-Job: 7\r\n"), 8);
  EXPECT_STREQ(Channel(0)->extraHeader, "X-Job: 7");
  EXPECT_EQ(smeStringParam(0, 51, "X-Job: 8\n"), 8);
  EXPECT_STREQ(Channel(0)->extraHeader, "X-Job: 8");
  // A line break anywhere else would start a header of its own.
  EXPECT_EQ(smeStringParam(0, 51, "X-Job: 9\r\nBcc: <x@evil.example>"), -1);
  EXPECT_STREQ(Channel(0)->extraHeader, "X-Job: 8");
  EXPECT_EQ(smeStringParam(0, 51, ""), 0);
  EXPECT_EQ(Channel(0)->extraHeader, nullptr);
  EXPECT_EQ(smeStringParam(0, 52, "x"), -1);
  EXPECT_EQ(smeStringParam(0, 50, "<r@desk.example>"), 16);
}

TEST_F(Attached, ErrorTextsCutAndAppend) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {-10061, "Connection refused by remote host."},
      {-8, "Socket timed out."},
      {-44, "Not connected to server"},
      {-34, "Cannot access WINSOCK"},
      {-10064, "Host is down"},
      {-10038, "Not a valid socket"},
      {0, "Cannot comply"},
      {-100, ""},
      {-106, ""},
      {12345, ""},
  };
  char buffer[256];
  for (const Case& c : cases) {
    EXPECT_EQ(smeErrorText(0, c.code, buffer, sizeof buffer), static_cast<int>(std::strlen(c.text))) << c.code;
    EXPECT_STREQ(buffer, c.text) << c.code;
  }
  EXPECT_EQ(ErrorTableRows(), 89);  // 88 rows and the end marker

  // -49 appends the server's reply; a small buffer cuts and terminates.
  std::strcpy(Channel(0)->replyBuffer, "550 5.1.1 no such user\r\n");
  EXPECT_EQ(smeErrorText(0, -49, buffer, sizeof buffer), 45);
  EXPECT_STREQ(buffer, "SMTP returned error. 550 5.1.1 no such user\r\n");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(smeErrorText(0, -49, buffer, 16), 15);
  EXPECT_STREQ(buffer, "SMTP returned e");
  EXPECT_EQ(buffer[16], 'x');
  EXPECT_EQ(smeErrorText(0, -8, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
  buffer[0] = 'x';
  EXPECT_EQ(smeErrorText(0, -8, buffer, 0), 0);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(smeErrorText(0, -8, nullptr, 100), 0);
}

TEST_F(Attached, DebugValuesStayInTheBuffer) {
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(smeDebug(0, 99, buffer, 2), 0);
  EXPECT_STREQ(buffer, "?");
  std::strcpy(Channel(0)->lastReplyLine, "250 accepted\r\n");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(smeDebug(0, 23, buffer, 6), 5);
  EXPECT_STREQ(buffer, "250 a");
  EXPECT_EQ(buffer[6], 'x');
  Channel(0)->serverAddress = 0x7F000001;
  EXPECT_EQ(smeDebug(0, 25, buffer, 16), 0);
  EXPECT_EQ(smeDebug(0, 25, buffer, 17), 9);
  EXPECT_STREQ(buffer, "127.0.0.1");
  EXPECT_EQ(smeDebug(0, 28, buffer, sizeof buffer), 0);  // no socket
  EXPECT_EQ(smeGetCounter(0, 16), 0x0100);
  EXPECT_EQ(smeGetCounter(0, 26), 1);
  EXPECT_EQ(smeGetCounter(0, 20), 0);
  EXPECT_EQ(smeGetCounter(0, 99), -1);
  EXPECT_EQ(smeStatus(0x100, 4), -5);
}

TEST_F(Attached, GuardBytesCatchAnOverwrite) {
  mvntest::TempDir dir;
  ASSERT_GT(smeStringParam(0, 20, (dir / "engine.log").c_str()), 0);
  char* area = BlockAddress(kBlockLastReply);
  ASSERT_NE(area, nullptr);
  std::memset(area, 'a', 127);
  area[127] = '\0';
  EXPECT_EQ(smeDebug(0, kBlockLastReply, nullptr, SME_GUARD_CHECK_SIZE), 1);
  area[128] = 'A';  // one byte past the caller's area
  EXPECT_EQ(smeDebug(0, kBlockLastReply, nullptr, SME_GUARD_CHECK_SIZE), -106);
  ChannelFree(Channel(0), 0, kBlockLastReply, kBlockLastReply + 1);
  LogFlush(Channel(0));
  std::string log = mvntest::ReadFile(dir / "engine.log");
  EXPECT_NE(log.find("FreeMemory Error: Chan=0, Index=14, Code=-106\r\n"), std::string::npos) << log;
  // The damaged block and the later ones of the range stay allocated.
  EXPECT_EQ(smeDebug(0, kBlockLastReply + 1, nullptr, SME_GUARD_CHECK_SIZE), 1);
  area[128] = 'z';
  EXPECT_EQ(smeDebug(0, 30, nullptr, SME_GUARD_CHECK_SIZE), -104);  // channel 1 block 4: never allocated
  EXPECT_EQ(smeDebug(200, 0, nullptr, SME_GUARD_CHECK_SIZE), -100);
}

// The lines BodyLine makes of a mail text from memory.
std::vector<std::string> Lines(const std::string& text, int mode) {
  ChannelContext* ch = Channel(0);
  ch->textMode = mode;
  static std::string copy;
  copy = text;
  ResetTextReader(ch);
  ch->textFromMemory = 1;
  ch->textSource = copy.c_str();
  std::vector<std::string> lines;
  char line[kBufferSize];
  for (int n; (n = BodyLine(ch, line)) > 0;) {
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(line));
    lines.push_back(line);
  }
  return lines;
}

TEST_F(Attached, BodyLineVectors) {
  std::string letters(100, 'a');
  EXPECT_EQ(Lines(letters, 0), (std::vector<std::string>{std::string(78, 'a'), std::string(22, 'a')}));
  std::string blank = std::string(64, 'b') + " " + std::string(30, 'c');
  EXPECT_EQ(Lines(blank, 0), (std::vector<std::string>{std::string(64, 'b') + " ", std::string(30, 'c')}));
  // Below 61 characters a blank does not break.
  EXPECT_EQ(Lines("one two\r\nthree", 0), (std::vector<std::string>{"one two", "three"}));
  EXPECT_EQ(Lines("a\tb\xE9" "c", 0), (std::vector<std::string>{"a~b~c"}));
  EXPECT_EQ(Lines("first\n\nthird\n", 0), (std::vector<std::string>{"first", " ", "third"}));
  // Every line that begins with "." is stuffed.
  EXPECT_EQ(Lines(".\n.hidden\nok.\n", 0), (std::vector<std::string>{"..", "..hidden", "ok."}));
  EXPECT_EQ(Lines("", 0), std::vector<std::string>{});

  std::string groups26;
  for (int i = 0; i < 26; ++i) groups26 += "=E9";
  EXPECT_EQ(Lines(std::string(80, '\xE9'), 1),
            (std::vector<std::string>{groups26 + "=", groups26 + "=", groups26 + "=", "=E9=E9"}));
  std::vector<std::string> mixed = Lines("L" + std::string(79, '\xE9'), 1);
  ASSERT_FALSE(mixed.empty());
  EXPECT_EQ(mixed[0], "L" + groups26 + "=");
  EXPECT_EQ(mixed[0].size(), 80u);
  EXPECT_EQ(Lines("a=b\tc", 2), (std::vector<std::string>{"a=3Db=09c"}));

  // Parameter 19 passes every byte of a plain text.
  ASSERT_EQ(smeIntegerParam(0, 19, 1), 1);
  EXPECT_EQ(Lines("a\xE9z", 0), (std::vector<std::string>{"a\xE9z"}));
  smeIntegerParam(0, 19, 0);
}

TEST(EngineEncoding, Base64LinesOfAttachmentPieces) {
  struct Case {
    std::string bytes;
    std::string line;
  } cases[] = {
      {"", "\r\n"},
      {"M", "TQ==\r\n"},
      {"Ma", "TWE=\r\n"},
      {"Man", "TWFu\r\n"},
      {std::string("\x00\xFF\xFE", 3), "AP/+\r\n"},
  };
  char out[128];
  for (const Case& c : cases) {
    EXPECT_EQ(Base64Line(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), out), c.line.size());
    EXPECT_EQ(std::string(out), c.line);
  }
  std::string piece(57, 'x');
  EXPECT_EQ(Base64Line(reinterpret_cast<const unsigned char*>(piece.data()), 57, out), 78u);
}

TEST(EngineDate, ZoneFromTheLocalOffset) {
  const char* saved = std::getenv("TZ");
  std::string keep = saved ? saved : "";
  struct Case {
    const char* tz;
    std::vector<std::string> zones;  // standard and daylight-saving time
  } cases[] = {
      {"UTC", {"+0000"}},
      {"Asia/Kolkata", {"+0530"}},
      {"America/St_Johns", {"-0330", "-0230"}},
      {"Pacific/Auckland", {"+1200", "+1300"}},
      {"America/New_York", {"-0500", "-0400"}},
  };
  std::regex form(R"(^Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} (1?\d|2[0-3]):[0-5]\d ([+-]\d{4})$)");
  for (const Case& c : cases) {
    setenv("TZ", c.tz, 1);
    char line[128];
    DateLine(line, sizeof line);
    std::cmatch match;
    ASSERT_TRUE(std::regex_match(line, match, form)) << c.tz << ": " << line;
    EXPECT_NE(std::find(c.zones.begin(), c.zones.end(), match[4].str()), c.zones.end()) << c.tz << ": " << line;
    // The hour of the line is the local hour of that zone.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string hour = " " + std::to_string(local.tm_hour) + ":";
    EXPECT_NE(std::string(line).find(hour), std::string::npos) << line;
  }
  if (saved)
    setenv("TZ", keep.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
