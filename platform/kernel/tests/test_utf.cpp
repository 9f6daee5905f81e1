// The one UTF-16/UTF-8 conversion of the layers: valid text both ways, and
// what becomes U+FFFD.
#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/utf.h"

using mvn::kernel::Utf16ToUtf8;
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
