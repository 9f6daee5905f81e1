// The RTF pieces of a cover-page message.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "client/core/rtf.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
using V = std::vector<std::string>;

TEST(Rtf, Margins) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"0.5,0.5,1,1", ",03600,03600,07200,07200"},
      {"1,2", ",07200,14400,14400,14400"},
      {"0,0,0,0", ",00000,00000,00000,00000"},
      {"0.25", ",01800,01800,01800,01800"},
      {"", ",00000,00000,00000,00000"},
      {"1,2,3,4,5", ",07200,14400,21600,28800"},
      {"0.00007,20,-1,1 in", ",00001,99999,00000,07200"},
  };
  for (const Case& c : cases) EXPECT_EQ(RtfMargins(c.in), c.out) << c.in;
}

TEST(Rtf, LinesModesFontsAndSizes) {
  struct Mode {
    const char *in, *digit;
  } modes[] = {{"NONE", "0"}, {"top", "1"},          {"Bottom", "2"}, {"both", "3"},
               {"top&bottom", "3"}, {"Top & Bottom", "3"}, {"sideways", "0"}, {"", "0"}};
  for (const Mode& m : modes) EXPECT_EQ(LinesModeDigit(m.in), m.digit) << m.in;

  EXPECT_EQ(RtfFontEntry("arial"), "fprq2 Arial");
  EXPECT_EQ(RtfFontEntry(""), "froman Times New Roman");
  EXPECT_EQ(RtfFontEntry("Times New Roman"), "froman Times New Roman");
  EXPECT_EQ(RtfFontEntry("MS Sans Serif"), "fswiss Ms Sans Serif");
  EXPECT_EQ(RtfFontEntry("courier new"), "fmodern\\fprq1 Courier New");
  EXPECT_EQ(RtfFontEntry("Gill;}{Sans\\"), "fnil GillSans");

  EXPECT_EQ(RtfHalfPoints("12"), 24);
  EXPECT_EQ(RtfHalfPoints("10.5"), 21);
  EXPECT_EQ(RtfHalfPoints("0"), 24);
  EXPECT_EQ(RtfHalfPoints("big"), 24);
  EXPECT_EQ(RtfHalfPoints("5000"), 999);
}

TEST(Rtf, BodyLines) {
  struct Case {
    std::string in;
    V out;
  } cases[] = {
      {"a\\b", {"a\\\\b"}},
      {"one\r\ntwo", {"one\\par", "two"}},
      {"one\r\n", {"one\\par"}},
      {"a\rb\nc\n\rd", {"a\\par", "b\\par", "c\\par", "\\par", "d"}},
      {"{x}", {"\\{x\\}"}},
      {"!ExtAttachment,x,/etc/passwd\r\n!MVN-END", {"\\'21ExtAttachment,x,/etc/passwd\\par", "\\'21MVN-END"}},
      {"Hello! See you!", {"Hello\\'21 See you\\'21"}},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", {"caf\\u233? \\u8364? \\u-10179?\\u-8704?"}},
      {std::string("a\0b\x01", 4) + "\t", {"ab\t"}},
  };
  for (const Case& c : cases) EXPECT_EQ(RtfBodyLines(c.in), c.out) << c.in;
  // Every "!" of a file is escaped, wherever it stands; after an unescaped
  // backslash only the escape's text is added.
  struct File {
    std::string in, out;
  } files[] = {
      {"!a\r\n!b\n c!", "\\'21a\r\n\\'21b\n c\\'21"},
      {"a\\!b", "a\\'21b"},            // the control symbol \! becomes the character
      {"a\\\\!b", "a\\\\\\'21b"},   // an escaped backslash, then the character
      {std::string("n\0!", 3), "n \\'21"},
  };
  for (const File& f : files) EXPECT_EQ(RtfFileContent(f.in), f.out) << f.in;
  // Block by block: a backslash that ends one block is seen by the next.
  RtfFileFilter filter;
  std::string first = filter.Filter("x\\");
  EXPECT_EQ(first + filter.Filter("!y"), "x\\'21y");
}

TEST(Rtf, BlocksFromFilesThatCannotBeOpenedAreLeftOut) {
  mvntest::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "header.rtf").c_str(), 0600), 0);
  std::string big(9000, 'x');
  big[8191] = '\n';
  big[8192] = '!';
  mvntest::WriteFile(dir / "sig.rtf", big);
  mvntest::WriteFile(dir / "cover.ini", "[P]\nAddressHeaderFilename=" + dir / "header.rtf" +
                                            "\nSignatureFilename=" + dir / "sig.rtf" +
                                            "\nSignatureMargins=1\nMessageBodyFontname=Zapf\n");
  mvntest::WriteFile(dir / "client.ini", "[Files]\nGlobalCoverPages=" + dir / "cover.ini" + "\n");
  mvn::framework::IniFile ini(dir / "client.ini");
  RequestFile request;
  ASSERT_TRUE(request.Create(dir / "out.req"));
  ASSERT_TRUE(BuildCoverPageRtf(request, ini, "P", "Hi", true));
  ASSERT_TRUE(request.Close());
  std::string expected_sig = big;
  expected_sig.replace(8192, 1, "\\'21");
  EXPECT_EQ(mvntest::ReadFile(dir / "out.req"),
            "\r\n!RTFBODY,0,0,0,00000,00000,00000,00000\r\n"
            "{\\rtf1\\ansi\\deff0\\deftab720{\\fonttbl{\\f0\\fnil Zapf;}}\r\n"
            "{\\colortbl\\red0\\green0\\blue0;}\r\n\\deflang5129\\pard\\plain\\f0\\fs24\r\nHi\r\n\\par\r\n}\r\n\r\n"
            "!RTFSIG,0,0,0,07200,07200,07200,07200\r\n" +
                expected_sig + "\r\n\r\n");
  // Nothing at all without a message or with the box off.
  RequestFile none;
  ASSERT_TRUE(none.Create(dir / "none.req"));
  BuildCoverPageRtf(none, ini, "P", "", true);
  BuildCoverPageRtf(none, ini, "P", "Hi", false);
  ASSERT_TRUE(none.Close());
  EXPECT_EQ(mvntest::ReadFile(dir / "none.req"), "");
}

// A header far longer than a block, with one line longer than any line the
// send client reads whole: no piece of it can begin with "!", and it is
// copied block by block (the memory the run takes stays far below the
// file's size).
TEST(Rtf, LongHeaderFilesAreCopiedInBlocksWithNoMarkerAnywhere) {
  mvntest::TempDir dir;
  const size_t kSize = 48u << 20;
  {
    std::string chunk(1u << 20, 'h');
    for (size_t i = 0; i < chunk.size(); i += 65535) chunk[i] = '!';
    chunk[4096] = '\n';
    std::FILE* f = std::fopen((dir / "header.rtf").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (size_t done = 0; done < kSize; done += chunk.size()) ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), f), chunk.size());
    ASSERT_EQ(std::fclose(f), 0);
  }
  mvntest::WriteFile(dir / "cover.ini", "[P]\nAddressHeaderFilename=" + dir / "header.rtf" + "\n");
  mvntest::WriteFile(dir / "client.ini", "[Files]\nGlobalCoverPages=" + dir / "cover.ini" + "\n");
  // Run as a process of its own, with the address sanitizer's quarantine
  // off, so its peak memory is what the copy holds.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  auto r = mvntest::RunProgram({MVN_CLIENT_HELPER, "rtf", dir / "client.ini", "P", dir / "out.req"},
                               {{"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") +
                                                     "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"}});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_LT(std::stol(r.out), 16L * 1024) << "kilobytes";
  // Only the block header lines begin with "!", and no "!" is left inside
  // the content.
  std::FILE* f = std::fopen((dir / "out.req").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string head(64, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), f));
  EXPECT_EQ(head.rfind("!RTFHEADER,0,0,0,00000,00000,00000,00000\r\n", 0), 0u) << head;
  std::vector<char> buffer(1u << 20);
  size_t bangs = 0, total = 0;
  for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0;) {
    total += n;
    bangs += static_cast<size_t>(std::count(buffer.begin(), buffer.begin() + static_cast<long>(n), '!'));
  }
  std::fclose(f);
  EXPECT_EQ(bangs, 1u);  // !RTFBODY and nothing else
  EXPECT_GT(total, kSize);
}
