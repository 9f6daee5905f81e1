// The one UTF-16/UTF-8 conversion of the layers: valid text both ways, and
// what becomes U+FFFD.
#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/utf.h"

using mvn::kernel::Utf16ToUtf8;
using mvn::kernel::DecodeUtf8At;
using mvn::kernel::EncodeUtf16;
using mvn::kernel::Utf8Char;
using mvn::kernel::Utf8CutPoint;
using mvn::kernel::Utf8ToUtf16;

TEST(Utf, ValidTextRoundTrips) {
  const std::string samples[] = {
      "", "plain ASCII", "Gr\xC3\xBC\xC3\x9F", "\xE2\x82\xAC 5", "\xF0\x9F\x93\xA0 fax", "\xF4\x8F\xBF\xBF"};
  for (const std::string& sample : samples) EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(sample)), sample) << sample;
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x93\xA0"), std::u16string(u"\xD83D\xDCE0"));
}

TEST(Utf, InvalidUtf8BecomesOneReplacementPerBadByte) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"a\x80z", u"a\xFFFDz"},                            // stray continuation byte
      {"\xC0\xAF", u"\xFFFD\xFFFD"},                      // overlong "/"
      {"\xE0\x80\xAF", u"\xFFFD\xFFFD\xFFFD"},            // overlong, three bytes
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},  // past U+10FFFF
      {"\xE2\x82", u"\xFFFD\xFFFD"},                      // cut at the end
      {"\xE2Z", u"\xFFFDZ"},                              // cut by a character
      {"\xFF", u"\xFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(Utf, UnpairedSurrogatesBecomeReplacements) {
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00\xD800"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD83D")), "\xEF\xBF\xBD") << "a pair cut at the end";
}

TEST(Utf, FixedBufferTakesTheTextWholeOrNotAtAll) {
  char out[5];
  EXPECT_TRUE(Utf16ToUtf8(u"\x20ACz", out, sizeof out));
  EXPECT_STREQ(out, "\xE2\x82\xACz");
  EXPECT_FALSE(Utf16ToUtf8(u"ab\x20AC", out, sizeof out)) << "the last character would be cut";
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(Utf16ToUtf8(nullptr, out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(Utf16ToUtf8(u"", out, 0));
}

// A cut never splits a sequence and never drops more than the sequence the
// limit falls inside; stray continuation bytes are cut where they are.
TEST(Utf, CutPointKeepsWholeSequences) {
  struct Case {
    std::string text;
    size_t limit, cut;
  };
  const std::string euro = "\xE2\x82\xAC";     // 3 bytes
  const std::string clef = "\xF0\x9D\x84\x9E";  // 4 bytes
  const Case cases[] = {
      {"abc", 5, 3},
      {"abc", 3, 3},
      {"abc", 2, 2},
      {"abc", 0, 0},
      {"a" + euro, 1, 1},
      {"a" + euro, 2, 1},
      {"a" + euro, 3, 1},
      {"a" + euro, 4, 4},
      {"a" + euro + "b", 4, 4},
      {clef + "x", 3, 0},
      {clef + "x", 4, 4},
      {"\xC3\xA9\xC3\xA9", 3, 2},
      // No UTF-8: a run of continuation bytes, a lone lead byte.
      {"abc\x80\x80\x80\x80", 5, 5},
      {"ab\xE2z", 3, 3},
      {"ab\xE2\x82", 3, 2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Utf8CutPoint(c.text, c.limit), c.cut) << testing::PrintToString(c.text) << " at " << c.limit;
}

TEST(Utf, DecodeAtGivesEachSequenceOrOneInvalidByte) {
  struct Case {
    std::string text;
    char32_t code;
    size_t length;
    bool valid;
  };
  const Case cases[] = {
      {"A", U'A', 1, true},
      {"\xC3\xA9", 0xE9, 2, true},
      {"\xE2\x82\xAC!", 0x20AC, 3, true},
      {"\xF0\x9D\x84\x9E", 0x1D11E, 4, true},
      {"\xC0\x80", 0xFFFD, 1, false},          // overlong
      {"\xED\xA0\x80", 0xFFFD, 1, false},      // an encoded surrogate
      {"\xF4\x90\x80\x80", 0xFFFD, 1, false},  // past U+10FFFF
      {"\xE2\x82", 0xFFFD, 1, false},          // cut
      {"\x80", 0xFFFD, 1, false},
      {"\xEF\xBF\xBD", 0xFFFD, 3, true},  // a real U+FFFD is valid
  };
  for (const Case& c : cases) {
    Utf8Char got = DecodeUtf8At(c.text, 0);
    EXPECT_EQ(got.code, c.code) << testing::PrintToString(c.text);
    EXPECT_EQ(got.length, c.length) << testing::PrintToString(c.text);
    EXPECT_EQ(got.valid, c.valid) << testing::PrintToString(c.text);
  }
  char16_t units[2];
  ASSERT_EQ(EncodeUtf16(0x1D11E, units), 2u);
  EXPECT_EQ(units[0], 0xD834);
  EXPECT_EQ(units[1], 0xDD1E);
  ASSERT_EQ(EncodeUtf16(0x20AC, units), 1u);
  EXPECT_EQ(units[0], 0x20AC);
}
