// String lists, variable lists and token lists.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cxxlib.h"
#include "lib/stringlist.h"
#include "lib/tests/testsupport.h"

namespace {

SIZE_T Blocks() { return HeapBlockCount(CXXHEAP::HeapHandle()); }

using mvntest::ExpectLibraryException;

// The entries in order, read through slot 5 as a foreign filler would.
std::vector<std::string> Entries(CSTRINGLIST& list) {
  std::vector<std::string> entries;
  const char* cursor = nullptr;
  while (list.Next(&cursor)) entries.push_back(cursor);
  return entries;
}

// The buffer invariant: entries back to back, no empty entry, the count
// matching, and only zeros (at least one) after the last entry.
void ExpectSound(CSTRINGLIST& list) {
  const char* buffer = list.Text();
  DWORD capacity = list.Capacity();
  DWORD used = 0, entries = 0;
  while (used < capacity && buffer[used]) {
    used += static_cast<DWORD>(std::strlen(buffer + used)) + 1;
    ++entries;
  }
  EXPECT_EQ(entries, list.Count());
  if (capacity) {
    EXPECT_LT(used, capacity) << "no zero after the last entry";
  }
  for (DWORD i = used; i < capacity; ++i) ASSERT_EQ(buffer[i], 0) << "tail byte " << i;
}

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Pooling and adding

TEST(StringList, PoolsExactTextsAtStableOffsets) {
  CSTRINGLIST pool;
  EXPECT_EQ(pool.Add("NIL"), 0u);
  EXPECT_EQ(pool.Add("NIL"), 0u);
  EXPECT_EQ(pool.Count(), 1u);
  EXPECT_EQ(pool.Add("X"), 4u);
  EXPECT_EQ(pool.Add(""), 0u);  // adds nothing
  EXPECT_EQ(pool.Count(), 2u);
  EXPECT_EQ(pool.Capacity(), 256u);
  ExpectSound(pool);

  // Offsets survive the buffer's growth.
  std::vector<DWORD> offsets;
  for (int i = 0; i < 100; ++i) offsets.push_back(pool.Add(("text number " + std::to_string(i)).c_str()));
  EXPECT_GT(pool.Capacity(), 256u);
  EXPECT_EQ(pool.Capacity() % 256, 0u);
  for (int i = 0; i < 100; ++i) {
    std::string text = "text number " + std::to_string(i);
    EXPECT_STREQ(pool.Text() + offsets[i], text.c_str());
    EXPECT_EQ(pool.Add(text.c_str()), offsets[i]);
  }
  EXPECT_EQ(pool.Count(), 102u);
  ExpectSound(pool);
}

TEST(StringList, SameNameReplacesTheEntryAtTheEnd) {
  CSTRINGLIST list;
  list.Add("A=1");
  list.Add("B=2");
  EXPECT_EQ(list.Add("b=3"), 4u);
  EXPECT_EQ(Entries(list), (Strings{"A=1", "b=3"}));
  // A bare NAME has the same name part as NAME=value.
  list.Add("A");
  EXPECT_EQ(Entries(list), (Strings{"b=3", "A"}));
  // Different lengths of name part never match.
  list.Add("AB=1");
  list.Add("b2=4");
  EXPECT_EQ(Entries(list), (Strings{"b=3", "A", "AB=1", "b2=4"}));
  EXPECT_EQ(list.Count(), 4u);
  // An empty name part is a name part too.
  list.Add("=x");
  list.Add("=y");
  EXPECT_EQ(Entries(list), (Strings{"b=3", "A", "AB=1", "b2=4", "=y"}));
  ExpectSound(list);
}

TEST(StringList, AllowingDuplicatesAppendsEverything) {
  CSTRINGLIST list;
  list.SetAllowDuplicates(true);
  EXPECT_EQ(list.Add("A=1"), 0u);
  EXPECT_EQ(list.Add("A=1"), 4u);
  EXPECT_EQ(list.Add("a=2"), 8u);
  list.SetValue("A", "3");
  list.SetValue("A", "");  // removes nothing
  EXPECT_EQ(Entries(list), (Strings{"A=1", "A=1", "a=2", "A=3"}));
  ExpectSound(list);
}

TEST(StringList, GrowsWhenTheTextDoesNotLeaveAZeroBehind) {
  CSTRINGLIST list;
  // 253 characters and the NUL leave two zeros in the 256-byte buffer; "y"
  // and its NUL would leave none, so the buffer grows first (length + 1
  // must be below the free space).
  std::string big(253, 'x');
  list.Add(big.c_str());
  EXPECT_EQ(list.Capacity(), 256u);
  list.Add("y");  // 254 used, 2 free: "y" + NUL is not below 2
  EXPECT_EQ(list.Capacity(), 512u);
  EXPECT_EQ(Entries(list), (Strings{big, "y"}));
  ExpectSound(list);
}

TEST(StringList, TextsFromTheListsOwnBufferAreSafe) {
  CSTRINGLIST list;
  std::string filler(248, 'f');
  list.Add(filler.c_str());
  list.Add("XA=1");
  // "A=1" lies inside the buffer, which must grow to take it.
  const char* inside = list.FindEntry("XA") + 1;
  EXPECT_EQ(list.Add(inside), 254u);
  EXPECT_EQ(list.Capacity(), 512u);
  EXPECT_EQ(Entries(list), (Strings{filler, "XA=1", "A=1"}));
  // The exact entry itself pools.
  EXPECT_EQ(list.Add(list.FindEntry("A")), 254u);
  EXPECT_EQ(list.Count(), 3u);
  ExpectSound(list);
}

TEST(StringList, InconsistentStateIsALibraryFault) {
  CSTRINGLIST list;
  ExpectLibraryException([&] { list.Add(nullptr); });

  list.Add("A=1");
  // Another entry written behind the count's back.
  std::strcpy(list.Buffer() + 4, "B=2");
  ExpectLibraryException([&] { list.Add("C=3"); });

  CSTRINGLISTBASE base;
  ExpectLibraryException([&] { base.Add("x"); });
  const char* cursor = nullptr;
  ExpectLibraryException([&] { base.Next(&cursor); });
  EXPECT_EQ(base.RoundCapacity(1), 256u);
  EXPECT_EQ(base.RoundCapacity(256), 256u);
  EXPECT_EQ(base.RoundCapacity(257), 512u);
}

// ---------------------------------------------------------------------------
// Removing, reading, looking up

TEST(StringList, RemoveMovesTheRestDownAndZeroesTheTail) {
  CSTRINGLIST list;
  list.Add("first");
  list.Add("second");
  list.Add("third");
  EXPECT_TRUE(list.Remove(list.FindEntry("second")));
  EXPECT_EQ(Entries(list), (Strings{"first", "third"}));
  EXPECT_EQ(list.Count(), 2u);
  ExpectSound(list);
  EXPECT_TRUE(list.Remove(list.Text()));
  EXPECT_TRUE(list.Remove(list.Text()));
  EXPECT_EQ(Entries(list), Strings{});
  ExpectSound(list);

  EXPECT_FALSE(list.Remove(nullptr));
  EXPECT_FALSE(list.Remove(list.Text()));  // empty list

  list.Add("abc");
  EXPECT_FALSE(list.Remove(list.Text() + 10));  // the empty end text
  const char* outside = "abc";
  ExpectLibraryException([&] { list.Remove(outside); });
  ExpectLibraryException([&] { list.Remove(list.Text() + 1); });  // inside an entry
  EXPECT_EQ(Entries(list), Strings{"abc"});
}

TEST(StringList, NextAndNextEntry) {
  CSTRINGLIST empty;
  const char* cursor = nullptr;
  EXPECT_FALSE(empty.Next(&cursor));
  EXPECT_FALSE(empty.Next(&cursor));

  CSTRINGLIST list;
  list.Add("NAME=value=more");
  list.Add("BARE");
  list.Add("EMPTY=");
  CTEXTBUF16 name, value;
  cursor = nullptr;
  ASSERT_TRUE(list.NextEntry(&cursor, &name, &value));
  EXPECT_STREQ(name.Text(), "NAME");
  EXPECT_STREQ(value.Text(), "value=more");
  ASSERT_TRUE(list.NextEntry(&cursor, &name, &value));
  EXPECT_STREQ(name.Text(), "BARE");
  EXPECT_STREQ(value.Text(), "");
  ASSERT_TRUE(list.NextEntry(&cursor, &name, &value));
  EXPECT_STREQ(name.Text(), "EMPTY");
  EXPECT_STREQ(value.Text(), "");
  EXPECT_FALSE(list.NextEntry(&cursor, &name, &value));
  EXPECT_STREQ(name.Text(), "");
  EXPECT_FALSE(list.Next(&cursor));  // stays at the end
}

TEST(StringList, FindAndGetValues) {
  CSTRINGLIST list;
  list.Add("PATHEXT=.X");
  list.Add("Path=/bin");
  list.Add("DEBUG");
  EXPECT_STREQ(list.FindEntry("path"), "Path=/bin");
  EXPECT_STREQ(list.FindValue("PATH"), "/bin");
  EXPECT_STREQ(list.FindValue("pathext"), ".X");
  EXPECT_STREQ(list.FindValue("DEBUG"), "");
  EXPECT_EQ(list.FindEntry("PAT"), nullptr);
  EXPECT_EQ(list.FindEntry("DEBUGX"), nullptr);
  EXPECT_EQ(list.FindEntry(""), nullptr);
  EXPECT_EQ(list.FindEntry(nullptr), nullptr);

  CTEXTBUF16 value("unchanged");
  EXPECT_FALSE(list.GetValue("NOPE", &value));
  EXPECT_STREQ(value.Text(), "unchanged");
  EXPECT_TRUE(list.GetValue("path", &value));
  EXPECT_STREQ(value.Text(), "/bin");

  EXPECT_TRUE(list.RemoveEntry("DEBUG"));
  EXPECT_FALSE(list.RemoveEntry("DEBUG"));
  EXPECT_EQ(Entries(list), (Strings{"PATHEXT=.X", "Path=/bin"}));
}

TEST(StringList, SetValueInPlaceOrMoved) {
  CSTRINGLIST list;
  list.SetValue("A", "1");
  list.SetValue("C", "3");
  list.SetValue("A", "22");  // longer: moves to the end
  EXPECT_EQ(Entries(list), (Strings{"C=3", "A=22"}));

  CSTRINGLIST inPlace;
  inPlace.SetValue("A", "10");
  inPlace.SetValue("B", "2");
  inPlace.SetValue("C", "3");
  DWORD offset = static_cast<DWORD>(inPlace.FindEntry("A") - inPlace.Text());
  inPlace.SetValue("a", "7");  // shorter: rewritten where it stands
  EXPECT_EQ(Entries(inPlace), (Strings{"a=7", "B=2", "C=3"}));
  EXPECT_EQ(static_cast<DWORD>(inPlace.FindEntry("A") - inPlace.Text()), offset);
  inPlace.SetValue("B", "5");  // same length
  EXPECT_EQ(Entries(inPlace), (Strings{"a=7", "B=5", "C=3"}));
  EXPECT_EQ(inPlace.Count(), 3u);
  ExpectSound(inPlace);

  inPlace.SetValue("B", "");
  inPlace.SetValue("a", nullptr);
  inPlace.SetValue("MISSING", "");
  EXPECT_EQ(Entries(inPlace), (Strings{"C=3"}));
  ExpectSound(inPlace);

  CSTRINGLIST numbers;
  numbers.SetInt("N", 0xFFFFFFFFu);
  numbers.SetInt("Z", 0);
  EXPECT_EQ(Entries(numbers), (Strings{"N=4294967295", "Z=0"}));

  // An entry longer than the 256-byte work string.
  std::string longValue(600, 'v');
  numbers.SetValue("LONG", longValue.c_str());
  EXPECT_EQ(std::string(numbers.FindValue("LONG")), longValue);
  ExpectSound(numbers);
}

TEST(StringList, Expand) {
  CSTRINGLIST list;
  list.SetValue("TEMP", "C:\\T");
  list.SetValue("Name", "Ann");
  list.SetValue("EMPTY", nullptr);
  list.Add("BARE");
  struct Case {
    const char* text;
    const char* defaultText;
    const char* expected;
    bool result;
  } cases[] = {
      {"%TEMP%\\x%%y", nullptr, "C:\\T\\x%y", true},
      {"100%", nullptr, "100%", false},
      {"%NOPE%", nullptr, "%NOPE%", false},
      {"%NOPE%", "?", "?", true},
      {"no percent", nullptr, "no percent", false},
      {"%%", nullptr, "%", true},
      {"%name% and %NAME%", nullptr, "Ann and Ann", true},
      {"[%BARE%]", nullptr, "[]", true},
      {"%a%b%", nullptr, "%a%b%", false},
      {"50% of %TEMP%", nullptr, "50% of %TEMP%", false},  // the pair is "% of %"
      {"%TEMP%%", nullptr, "C:\\T%", true},
      {"", nullptr, "", false},
  };
  for (const Case& c : cases) {
    CTEXTBUF16 text(c.text);
    EXPECT_EQ(list.Expand(&text, c.defaultText), c.result) << c.text;
    EXPECT_STREQ(text.Text(), c.expected) << c.text;
  }
  // A value put in is not expanded again in the same pass.
  list.SetValue("SELF", "%TEMP%");
  CTEXTBUF16 text("%SELF%");
  EXPECT_TRUE(list.Expand(&text, nullptr));
  EXPECT_STREQ(text.Text(), "%TEMP%");
}

// ---------------------------------------------------------------------------
// Token lists

Strings Items(const CTOKENLIST& tokens) {
  Strings items;
  for (DWORD i = 0; i < tokens.Count(); ++i) items.push_back(tokens.GetItem(i));
  return items;
}

TEST(TokenList, Split) {
  struct Case {
    const char* text;
    Strings items;
  } cases[] = {
      {" a , b", {"a ", "b"}},
      {"a, ,b", {"a", "", "b"}},
      {"a,", {"a"}},
      {"a,  \t", {"a"}},
      {"a,,b", {"a", "", "b"}},
      {"", {}},
      {"  \r\n ", {}},
      {"one\r\ntwo\nthree", {"one", "two", "three"}},
      {"\"x, \"\"y\"\"\",z", {"x, \"y\"", "z"}},
      {"\"quoted\" dropped,next", {"quoted", "next"}},
      {"\"open, never closed", {"open, never closed"}},
      {"\"\"", {""}},
      {"\"a\"\"\"", {"a\""}},
      {"NL,1,\"Missing file %3, (%2)\"", {"NL", "1", "Missing file %3, (%2)"}},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    CTOKENLIST tokens;
    EXPECT_EQ(tokens.Split(text.data()), c.items.size()) << c.text;
    EXPECT_EQ(Items(tokens), c.items) << c.text;
    EXPECT_EQ(tokens.GetItem(tokens.Count()), nullptr);
  }
  CTOKENLIST tokens;
  EXPECT_EQ(tokens.Split(nullptr), 0u);
  EXPECT_EQ(tokens.GetItem(0), nullptr);
}

TEST(TokenList, SixteenItemsFitTheInlineArrayAndMoreMoveToTheHeap) {
  char array[64];
  CTOKENLIST tokens(array, sizeof array);
  EXPECT_EQ(tokens.ItemCapacity(), 16u);

  std::string sixteen = "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15";
  SIZE_T before = Blocks();
  EXPECT_EQ(tokens.Split(sixteen.data()), 16u);
  EXPECT_EQ(Blocks(), before);
  EXPECT_FALSE(tokens.IsOwned());
  EXPECT_STREQ(tokens.GetItem(15), "15");

  std::string twenty = "a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t";
  EXPECT_EQ(tokens.Split(twenty.data()), 20u);
  EXPECT_TRUE(tokens.IsOwned());
  EXPECT_GE(tokens.ItemCapacity(), 20u);
  EXPECT_EQ(Blocks(), before + 1);
  Strings expected;
  for (char c = 'a'; c <= 't'; ++c) expected.push_back(std::string(1, c));
  EXPECT_EQ(Items(tokens), expected);

  // A shorter split reuses the array it has.
  std::string two = "x,y";
  EXPECT_EQ(tokens.Split(two.data()), 2u);
  EXPECT_EQ(Items(tokens), (Strings{"x", "y"}));
  EXPECT_EQ(tokens.GetItem(2), nullptr);
}

}  // namespace

TEST(StringList, ExpandRefusesResultsOverTheLimit) {
  CSTRINGLIST list;
  std::string half(EXPAND_LIMIT / 2, 'h');
  list.SetValue("HALF", half.c_str());
  struct Case {
    const char* text;
    bool tooLong;
    size_t length;  // of the result when made
  } cases[] = {
      {"%HALF%%HALF%", false, EXPAND_LIMIT},  // exactly the limit
      {"%HALF%%HALF%x", true, 0},
      {"x%HALF%%HALF%", true, 0},
      {"%HALF%%HALF%%HALF%", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CTEXT text;
    text.Assign(c.text);
    bool tooLong = !c.tooLong;
    bool replaced = list.Expand(&text, nullptr, &tooLong);
    EXPECT_EQ(tooLong, c.tooLong);
    EXPECT_EQ(replaced, !c.tooLong);
    // A refused result leaves the text as it was.
    if (c.tooLong)
      EXPECT_STREQ(text.Text(), c.text);
    else
      EXPECT_EQ(text.Length(), c.length);
  }
}
