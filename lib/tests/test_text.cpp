// CTEXT and the text utilities.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cxxlib.h"
#include "lib/text.h"

namespace {

SIZE_T Blocks() { return HeapBlockCount(CXXHEAP::HeapHandle()); }

// A string whose slots count their calls and grow in steps of 64: shows that
// the operations reach the buffer only through the object's own slots.
class CountingText : public CTEXT {
 public:
  void* Alloc(DWORD size, void* oldBlock) override {
    ++allocs;
    lastRequest = size;
    return CTEXT::Alloc(size, oldBlock);
  }
  DWORD Size(void* block) override {
    ++sizes;
    return CTEXT::Size(block);
  }
  void Free(void* block) override {
    ++frees;
    CTEXT::Free(block);
  }
  DWORD RoundCapacity(DWORD n) override { return (n + 63u) & ~63u; }
  ~CountingText() {
    // The base destructor frees through CTEXT's own slot; release here so
    // the count is observable.
    if (IsOwned()) {
      Free(m_buffer);
      SetBuffer(nullptr, 0, false);
    }
  }

  int allocs = 0, sizes = 0, frees = 0;
  DWORD lastRequest = 0;
};

// ---------------------------------------------------------------------------
// CTEXT storage

TEST(Text, AssignOfNothingOnAStringWithoutBufferAllocatesSixteen) {
  SIZE_T before = Blocks();
  {
    CTEXT text;
    EXPECT_EQ(text.Capacity(), 0u);
    EXPECT_STREQ(text.Text(), "");
    text.Assign(nullptr);
    EXPECT_GE(text.Capacity(), 16u);
    EXPECT_TRUE(text.IsOwned());
    EXPECT_STREQ(text.Text(), "");
    EXPECT_EQ(Blocks(), before + 1);
  }
  EXPECT_EQ(Blocks(), before);
}

TEST(Text, InlineBufferMovesToTheHeapOnlyWhenItMustGrow) {
  SIZE_T before = Blocks();
  {
    CTEXTBUF16 text("fifteen chars..");
    EXPECT_FALSE(text.IsOwned());
    EXPECT_EQ(text.Capacity(), 16u);
    EXPECT_EQ(Blocks(), before);

    text.Assign("twenty characters!!!");
    EXPECT_TRUE(text.IsOwned());
    EXPECT_GE(text.Capacity(), 32u);
    EXPECT_STREQ(text.Text(), "twenty characters!!!");
    EXPECT_EQ(Blocks(), before + 1);

    // The heap block stays, even for a short text again.
    text.Assign("x");
    EXPECT_TRUE(text.IsOwned());
    EXPECT_EQ(Blocks(), before + 1);
  }
  EXPECT_EQ(Blocks(), before);
}

TEST(Text, ReserveCopiesTheWholeInlineCapacityIntoTheNewBlock) {
  CTEXTBUF16 text("abc");
  // Bytes behind the text belong to the buffer too.
  std::memcpy(text.Buffer() + 4, "defghijklmn", 12);
  text.Reserve(40);
  ASSERT_TRUE(text.IsOwned());
  EXPECT_EQ(text.Capacity(), 48u);
  const char* buffer = text.Text();
  EXPECT_EQ(std::memcmp(buffer, "abc\0defghijklmn", 16), 0);
  for (DWORD i = 16; i < text.Capacity(); ++i) EXPECT_EQ(buffer[i], 0) << i;
  text.Reserve(10);  // fits: nothing changes
  EXPECT_EQ(text.Text(), buffer);
}

TEST(Text, GrowthGoesThroughTheObjectsOwnSlots) {
  CountingText text;
  text.Assign("hello");
  EXPECT_EQ(text.allocs, 1);
  EXPECT_EQ(text.lastRequest, 64u);
  EXPECT_EQ(text.Capacity(), 64u);  // the block's real size
  EXPECT_GE(text.sizes, 1);
  text.Append(std::string(70, 'x').c_str());
  EXPECT_EQ(text.allocs, 2);
  EXPECT_EQ(text.lastRequest, 128u);
  EXPECT_EQ(text.Length(), 75u);
  text.AttachBuffer(nullptr, 0);  // an owned buffer is freed first
  EXPECT_EQ(text.frees, 1);
  EXPECT_FALSE(text.IsOwned());
  EXPECT_STREQ(text.Text(), "");
}

TEST(Text, AttachedBufferIsUsedInPlaceAndNeverFreed) {
  char storage[8] = {};
  SIZE_T before = Blocks();
  {
    CTEXT text;
    text.AttachBuffer(storage, sizeof storage);
    text.Assign("1234567");
    EXPECT_STREQ(storage, "1234567");
    EXPECT_EQ(Blocks(), before);
    text.Append("8");
    EXPECT_TRUE(text.IsOwned());
    EXPECT_STREQ(text.Text(), "12345678");
    EXPECT_STREQ(storage, "1234567");
  }
  EXPECT_EQ(Blocks(), before);
}

TEST(Text, AssignAppendAndJoins) {
  CTEXTBUF16 text;
  text.Assign("abc");
  text.Append(nullptr);
  text.Append("");
  EXPECT_STREQ(text.Text(), "abc");
  text.AssignN("hello world", 5);
  EXPECT_STREQ(text.Text(), "hello");
  text.AssignN(nullptr, 3);
  EXPECT_STREQ(text.Text(), "");
  text.Join2("a", nullptr);
  EXPECT_STREQ(text.Text(), "a");
  text.Join3("one", "-", "two and more than sixteen");
  EXPECT_STREQ(text.Text(), "one-two and more than sixteen");
  text.Append2("+", "end");
  EXPECT_STREQ(text.Text(), "one-two and more than sixteen+end");
  text.Assign(nullptr);
  EXPECT_STREQ(text.Text(), "");
}

// Sources inside the string's own buffer, with and without growth.
TEST(Text, SourcesInsideTheOwnBufferAreSafe) {
  struct Case {
    const char* start;
    const char* expected;
    void (*operation)(CTEXT& text);
  } cases[] = {
      {"0123456789", "3456789", [](CTEXT& t) { t.Assign(t.Text() + 3); }},
      {"0123456789", "12", [](CTEXT& t) { t.AssignN(t.Text() + 1, 2); }},
      {"0123456789", "01234567890123456789", [](CTEXT& t) { t.Append(t.Text()); }},
      {"0123456789", "0123456789789", [](CTEXT& t) { t.Append(t.Text() + 7); }},
      {"0123456789", "x0123456789", [](CTEXT& t) { t.Join2("x", t.Text()); }},
      {"0123456789", "89-0123456789", [](CTEXT& t) { t.Join3(t.Text() + 8, "-", t.Text()); }},
      {"0123456789", "0123456789012345678956789",
       [](CTEXT& t) { t.Append2(t.Text(), t.Text() + 5); }},
  };
  for (const Case& c : cases) {
    CTEXTBUF16 inlineText(c.start);
    c.operation(inlineText);
    EXPECT_STREQ(inlineText.Text(), c.expected) << "inline, from " << c.start;

    CTEXT heapText;
    heapText.Assign(c.start);
    c.operation(heapText);
    EXPECT_STREQ(heapText.Text(), c.expected) << "heap, from " << c.start;
  }
}

// ---------------------------------------------------------------------------
// Numbers to text

TEST(Text, NumbersToText) {
  CTEXTBUF16 text;
  struct Unsigned {
    DWORD value, minimum, base;
    const char* expected;
  } unsignedCases[] = {
      {255, 4, 16, "00FF"}, {0, 1, 10, "0"},   {0, 0, 10, ""},      {0, 3, 10, "000"},
      {10, 0, 2, "1010"},   {35, 0, 16, "23"}, {0xFFFFFFFFu, 0, 10, "4294967295"},
      {0xABCDEFu, 0, 16, "ABCDEF"}, {12345, 2, 10, "12345"}, {8, 0, 8, "10"},
  };
  for (const auto& c : unsignedCases)
    EXPECT_STREQ(text.SetNumber(c.value, c.minimum, c.base), c.expected) << c.value << " " << c.base;

  struct Signed {
    LONG value;
    DWORD minimum;
    const char* expected;
  } signedCases[] = {
      {-42, 1, "-42"}, {42, 1, "42"}, {-5, 3, "-005"}, {0, 1, "0"}, {0, 0, ""},
      {-2147483647 - 1, 1, "-2147483648"}, {2147483647, 1, "2147483647"},
  };
  for (const auto& c : signedCases) EXPECT_STREQ(text.SetSigned(c.value, c.minimum), c.expected) << c.value;

  EXPECT_STREQ(text.SetUInt64(0xFFFFFFFFFFFFFFFFull, 1, 10), "18446744073709551615");
  EXPECT_STREQ(text.SetUInt64(0x123456789ull, 12, 16), "000123456789");
  EXPECT_STREQ(text.SetUInt64(0xFFFFFFFFFFFFFFFFull, 0, 2), std::string(64, '1').c_str());
  EXPECT_STREQ(text.SetInt64(INT64_MIN, 1), "-9223372036854775808");
  EXPECT_STREQ(text.SetInt64(-7, 2), "-07");
  EXPECT_STREQ(text.SetInt64(1234567890123ll, 0), "1234567890123");
}

// ---------------------------------------------------------------------------
// Utilities

TEST(TextUtilities, Search) {
  const char* text = "a,b;c,d";
  EXPECT_EQ(StrChr(text, ','), text + 1);
  EXPECT_EQ(StrChr(text, 'x'), nullptr);
  EXPECT_EQ(StrChr(static_cast<const char*>(nullptr), 'a'), nullptr);
  EXPECT_EQ(StrRChr(text, ','), text + 5);
  EXPECT_EQ(StrRChr(static_cast<const char*>(nullptr), 'a'), nullptr);
  EXPECT_EQ(StrRPBrk(text, ",;"), text + 5);
  EXPECT_EQ(StrRPBrk(text, "xy"), nullptr);
  EXPECT_EQ(StrRPBrk(nullptr, ","), nullptr);
  EXPECT_EQ(StrCSpn(text, ";"), 3u);
  EXPECT_EQ(StrCSpn(text, "xyz"), 7u);
  EXPECT_EQ(StrCSpn(nullptr, ","), 0u);

  const char* where = nullptr;
  EXPECT_EQ(StrLenTo("NAME=value", '=', &where), 4u);
  EXPECT_STREQ(where, "=value");
  EXPECT_EQ(StrLenTo("NAME", '=', &where), 4u);
  EXPECT_STREQ(where, "");
  EXPECT_EQ(StrLenTo(nullptr, '=', &where), 0u);
  EXPECT_STREQ(where, "");

  const char* after = nullptr;
  EXPECT_EQ(SpanDigits("123abc", &after), 3u);
  EXPECT_STREQ(after, "abc");
  EXPECT_EQ(SpanDigits("x1", &after), 0u);
  EXPECT_EQ(SpanDigits(nullptr, &after), 0u);
}

TEST(TextUtilities, StrTokenGivesEmptyTokensBetweenSeparators) {
  char text[] = "a,,b";
  char* cursor = text;
  std::vector<std::string> tokens;
  while (char* token = StrToken(&cursor, ",")) tokens.push_back(token);
  EXPECT_EQ(tokens, (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(StrToken(&cursor, ","), nullptr);

  char trailing[] = "x;";
  cursor = trailing;
  EXPECT_STREQ(StrToken(&cursor, ";"), "x");
  EXPECT_EQ(StrToken(&cursor, ";"), nullptr);

  char* none = nullptr;
  EXPECT_EQ(StrToken(&none, ","), nullptr);
}

TEST(TextUtilities, Trim) {
  struct Case {
    const char* text;
    const char* left;
    const char* right;
    const char* both;
  } cases[] = {
      {"  ab  ", "ab  ", "  ab", "ab"},
      {"     ", "", "", ""},
      {"", "", "", ""},
      {"x", "x", "x", "x"},
      {" x", "x", " x", "x"},
      {"\t\r\n a b \n", "a b \n", "\t\r\n a b", "a b"},
  };
  for (const Case& c : cases) {
    std::string left = c.text, right = c.text, both = c.text;
    EXPECT_STREQ(TrimLeft(left.data(), kWhiteSpace), c.left) << '"' << c.text << '"';
    EXPECT_STREQ(TrimRight(right.data(), kWhiteSpace), c.right) << '"' << c.text << '"';
    EXPECT_STREQ(Trim(both.data(), kWhiteSpace), c.both) << '"' << c.text << '"';
  }
  EXPECT_EQ(TrimLeft(nullptr, " "), nullptr);
  EXPECT_EQ(TrimRight(nullptr, " "), nullptr);
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(TextUtilities, CompareWithLimits) {
  struct Case {
    const char* a;
    const char* b;
    DWORD limit;
    int strCmp;   // sign
    int strICmp;  // sign
  } cases[] = {
      {"ab", "abc", 0, -1, -1},
      {"abc", "ab", 0, 1, 1},
      {"abc", "abc", 0, 0, 0},
      {"ABC", "abc", 0, -1, 0},
      {nullptr, "", 0, 0, 0},
      {nullptr, nullptr, 0, 0, 0},
      {"", "a", 0, -1, -1},
      {"TRUE", "tr", 2, -1, 0},
      {"TRUE", "trueX", 5, -1, -1},
      {"TRUE", "true", 4, -1, 0},
      {"abcdef", "abcxyz", 3, 0, 0},
      {"abcdef", "abcxyz", 4, -1, -1},
      {"ab", "ab", 5, 0, 0},
      {"a", "ab", 5, -1, -1},
      {"[", "a", 0, -1, -1},  // '[' sorts before lower case, after upper case
      {"[", "A", 0, 1, -1},
      {"\xC4", "a", 0, -1, -1},  // bytes above 127 are negative and not folded
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(StrCmp(c.a, c.b, c.limit)), c.strCmp) << (c.a ? c.a : "NULL") << " / " << c.b << " " << c.limit;
    EXPECT_EQ(Sign(StrICmp(c.a, c.b, c.limit)), c.strICmp) << (c.a ? c.a : "NULL") << " / " << c.b << " " << c.limit;
  }
  EXPECT_EQ(StrCmp("b", "a", 0), 1);  // the difference of the characters
  EXPECT_EQ(StrICmp("B", "a", 0), 1);
}

TEST(TextUtilities, NumberParsing) {
  struct Case {
    const char* text;
    std::int64_t signedValue;
    std::uint64_t unsignedValue;
  } cases[] = {
      {nullptr, 0, 0},
      {"", 0, 0},
      {" -12x", -12, 0},
      {"+7", 7, 0},
      {"\t\r\n 42 ", 42, 42},
      {"0x1F", 31, 31},
      {"  0XfF", 255, 255},
      {"0X10", 16, 16},
      {"-0x10", 0, 0},
      {"abc", 0, 0},
      {"18446744073709551615", -1, 0xFFFFFFFFFFFFFFFFull},
      {"18446744073709551616", 0, 0},  // wraps
      {"9223372036854775808", INT64_MIN, 9223372036854775808ull},
      {"\v5", 0, 0},  // VT is no white space
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrToInt64(c.text), c.signedValue) << (c.text ? c.text : "NULL");
    EXPECT_EQ(StrToUInt64(c.text), c.unsignedValue) << (c.text ? c.text : "NULL");
  }

  struct Hex {
    const char* text;
    std::int64_t value;
  } hexCases[] = {
      {nullptr, 0}, {"", 0},          {"00x0ff", 255}, {"ff", 255},   {" 0x 0X7fG", 127},
      {"xx1", 1},   {"1234abcd", 0x1234abcd}, {"FFFFFFFFFFFFFFFF", -1}, {"10000000000000000", 0},
      {"g1", 0},
  };
  for (const Hex& c : hexCases) EXPECT_EQ(HexToInt64(c.text), c.value) << (c.text ? c.text : "NULL");
}

TEST(TextUtilities, FloatParsing) {
  struct Case {
    const char* text;
    double value;
    DWORD fraction;
  } cases[] = {
      {"2.50", 2.5, 2},
      {"7", 7.0, 0},
      {"1,234.5", 1234.5, 1},
      {"-3.25", -3.25, 2},
      {"+0.125", 0.125, 3},
      {" -1.5", -1.5, 1},  // the sign after leading blanks counts
      {".5", 0.5, 1},
      {"1.2.3", 12.3, 2},  // a later "." starts the divisor again
      {"123456789012345.6", 123456789012345.0, 0},  // 15 digits fill the work buffer
      {"-12345678901234.56", -12345678901234.0, 0},
      {nullptr, 0.0, 0},
      {"", 0.0, 0},
  };
  for (const Case& c : cases) {
    DWORD fraction = 99;
    EXPECT_DOUBLE_EQ(StrToFloat(c.text, &fraction), c.value) << (c.text ? c.text : "NULL");
    EXPECT_EQ(fraction, c.fraction) << (c.text ? c.text : "NULL");
  }
  EXPECT_DOUBLE_EQ(StrToFloat("4.75", nullptr), 4.75);
}

TEST(TextUtilities, ParseBool) {
  struct Case {
    const char* text;
    bool isBool;
    bool value;
  } cases[] = {
      {"  Yes ", true, true}, {"TRUE", true, true}, {"t", true, true},    {"Ye", true, true},
      {"on", true, true},     {"O", true, true},    {"OF", true, false},  {"off", true, false},
      {"n", true, false},     {"No", true, false},  {"false", true, false}, {"F", true, false},
      {"1", true, true},      {"0", true, false},   {"007", true, true},  {"000", true, false},
      {"\t 1 \t", true, true},
      {"", false, false},     {"   ", false, false}, {"yess", false, false}, {"-1", false, false},
      {"1a", false, false},   {"truex", false, false}, {"\n1", false, false},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    bool value = !c.value;
    EXPECT_EQ(ParseBool(text.data(), &value), c.isBool) << '"' << c.text << '"';
    if (c.isBool) {
      EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    } else {
      EXPECT_EQ(value, !c.value) << "value written for " << '"' << c.text << '"';
    }
    std::string again = c.text;
    EXPECT_EQ(TextToBool(again.data()), c.isBool && c.value) << '"' << c.text << '"';
  }
  bool value = true;
  EXPECT_FALSE(ParseBool(nullptr, &value));
  EXPECT_TRUE(value);

  std::string trimmed = " \tyes\t ";
  ParseBool(trimmed.data(), &value);
  EXPECT_STREQ(trimmed.c_str(), "yes");  // trimmed in place
}

}  // namespace
