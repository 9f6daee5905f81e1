// Layouts and record buffers.
#include <gtest/gtest.h>

#include "framework/core/record.h"

using namespace mvn::framework;

namespace {
LayoutPtr Sample() {
  return MakeLayout(
      "MVC", {LongField("PK_MVClientID"), CStringField("ClientID", 100), StringField("Sal", 20), ByteField("Mark"),
              CStringField("Short", 4), MemoField("Notes", 1000), BlobField("Picture")});
}
}  // namespace

TEST(Record, WidthsPaddingAndNumbers) {
  Record r(Sample());
  r.Set("ClientID", std::string(150, 'x'));
  EXPECT_EQ(r.Get("ClientID").size(), 99u);  // CStringField(100) keeps 99 bytes
  r.Set("Sal", "Mr");
  EXPECT_EQ(r.Get("Sal"), "Mr" + std::string(18, ' '));
  EXPECT_EQ(r.Clipped("Sal"), "Mr");
  r.Set("Sal", "  lead  ");
  EXPECT_EQ(r.Clipped("Sal"), "  lead");
  r.Set("Mark", "300");
  EXPECT_EQ(r.GetLong("Mark"), 255);
  r.SetLong("PK_MVClientID", int64_t{1} << 40);
  EXPECT_EQ(r.GetLong("PK_MVClientID"), 2147483647);
  r.Set("PK_MVClientID", " -42x");
  EXPECT_EQ(r.Get("PK_MVClientID"), "-42");
  r.Clear();
  EXPECT_EQ(r.Get("PK_MVClientID"), "0");
  EXPECT_EQ(r.Get("ClientID"), "");
  EXPECT_EQ(r.Get("Sal"), std::string(20, ' '));
}

TEST(Record, CutsNeverSplitUtf8) {
  Record r(Sample());
  // "Short" keeps 3 bytes: "aé" is 3 bytes, "aéb" 4.
  r.Set("Short",
        "a\xC3\xA9"
        "b");
  EXPECT_EQ(r.Get("Short"), "a\xC3\xA9");
  r.Set("Short", "ab\xC3\xA9");  // the é would straddle the cut
  EXPECT_EQ(r.Get("Short"), "ab");
  r.Set("Short", "\xE2\x82\xAC\xE2\x82\xAC");  // two euro signs, 6 bytes
  EXPECT_EQ(r.Get("Short"), "\xE2\x82\xAC");
  EXPECT_EQ(CutUtf8("\xF0\x9F\x98\x80x", 3), "");
}

TEST(Record, FieldsByNameWithoutCase) {
  Record r(Sample());
  r.Set("mvc:clientid", "Anna");
  EXPECT_EQ(r.Get("ClientID"), "Anna");
  EXPECT_EQ(r.Get("MVC:CLIENTID"), "Anna");
  EXPECT_FALSE(r.Has("XYZ:ClientID"));  // another prefix
  EXPECT_FALSE(r.Has("Nope"));
  r.Set("Nope", "ignored");
  EXPECT_EQ(r.Get("Nope"), "");
  EXPECT_EQ(r.GetLayout().FieldNames(),
            (std::vector<std::string>{"PK_MVClientID", "ClientID", "Sal", "Mark", "Short", "Notes", "Picture"}));
  EXPECT_EQ(r.GetLayout().RecordSize(), 4 + 100 + 20 + 1 + 4);
}

TEST(Record, MemosAndBlobs) {
  Record r(Sample());
  std::string bytes("\0\x01\xFF\0", 4);
  r.Set("Picture", bytes);
  EXPECT_EQ(r.Get("Picture"), bytes);
  r.Set("Notes", std::string(2000, 'n'));
  EXPECT_EQ(r.Get("Notes").size(), 1000u);
}

TEST(Record, CopyByNameBetweenLayouts) {
  Record from(Sample());
  from.Set("ClientID", "Anna");
  from.Set("Sal", "Dr");
  from.SetLong("Mark", 1);
  Record to(MakeLayout(
      "UP", {CStringField("Sal", 10), StringField("ClientID", 3), LongField("Mark"), StringField("Other", 5)}));
  to.Set("Other", "keep");
  to.CopyByName(from);
  EXPECT_EQ(to.Get("Sal"), "Dr");  // the STRING source without its padding
  EXPECT_EQ(to.Get("ClientID"), "Ann");
  EXPECT_EQ(to.GetLong("Mark"), 1);
  EXPECT_EQ(to.Clipped("Other"), "keep");
}
