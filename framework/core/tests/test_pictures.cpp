// String functions and pictures. Expected texts are worked out by hand.
#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>

#include "framework/core/strings.h"

using namespace mvn::framework;

TEST(Strings, ClipUpperFindSubLength) {
  EXPECT_EQ(Clip("ab  "), "ab");
  EXPECT_EQ(Clip("   "), "");
  EXPECT_EQ(Upper("abc\xC3\xA9z"), "ABC\xC3\xA9Z");
  EXPECT_EQ(InString("lo", "hello lo"), 4u);
  EXPECT_EQ(InString("lo", "hello lo", 5), 7u);
  EXPECT_EQ(InString("x", "hello"), 0u);
  EXPECT_EQ(Sub("hello", 2, 3), "ell");
  EXPECT_EQ(Sub("hello", 4, 10), "lo");
  EXPECT_EQ(Sub("hello", 9, 1), "");
  EXPECT_EQ(Len("h\xC3\xA9"), 3u);
  EXPECT_EQ(CompareNoCase("ABC", "abd"), -1);
  EXPECT_EQ(CompareNoCase("Abc", "aBC"), 0);
}

TEST(Dates, DayNumbers) {
  EXPECT_EQ(Date(1, 1, 1801), 1);
  EXPECT_EQ(Date(1, 1, 1802), 366);
  EXPECT_EQ(Date(1, 5, 2026), 82185);
  EXPECT_EQ(Date(2, 29, 2025), 0);
  EXPECT_EQ(Date(2, 29, 2024) + 1, Date(3, 1, 2024));
  EXPECT_EQ(Date(13, 1, 2026), 0);
  EXPECT_EQ(DayOfWeek(Date(1, 5, 2026)), 1);  // a Monday
  int y, m, d;
  SplitDate(Date(12, 31, 1999), &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 19991231);
  EXPECT_GT(Today(), Date(1, 1, 2024));
  EXPECT_GT(Clock(), 0);
}

TEST(Dates, EverySettingPatternFormatsAndReadsBack) {
  const int32_t day = Date(1, 5, 2026);
  const int32_t first = Date(1, 1, 2026);
  struct Case {
    const char* picture;
    const char* text;
    int32_t back;
  };
  const Case cases[] = {
      {"mm/dd/yy", "01/05/26", day},
      {"mm/dd/yyyy", "01/05/2026", day},
      {"mmm dd, yyyy", "Jan 05, 2026", day},
      {"mmmmmmmmm dd, yyyy", "January 05, 2026", day},
      {"dd/mm/yy", "05/01/26", day},
      {"dd/mm/yyyy", "05/01/2026", day},
      {"dd mmm yy", "05 Jan 26", day},
      {"dd mmm yyyy", "05 Jan 2026", day},
      {"yy/mm/dd", "26/01/05", day},
      {"yyyy/mm/dd", "2026/01/05", day},
      {"yymmdd", "260105", day},
      {"yyyymmdd", "20260105", day},
      {"mm/yy", "01/26", first},
      {"mm/yyyy", "01/2026", first},
      {"yy/mm", "26/01", first},
      {"yyyy/mm", "2026/01", first},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    ++n;
    EXPECT_EQ(Format(day, c.picture), c.text);
    EXPECT_EQ(Format(day, "@D" + std::to_string(n)), c.text);  // D1 ... D16 are the same forms
    bool ok = false;
    EXPECT_EQ(DeformatDate(c.text, c.picture, 2026, &ok), c.back);
    EXPECT_TRUE(ok);
  }
  EXPECT_EQ(Format(day, "@d6"), "05/01/2026");
  EXPECT_EQ(Format(day, "D10"), "2026/01/05");
  EXPECT_EQ(Format(day, "@D12"), "20260105");
  EXPECT_EQ(Format(0, "@D6"), "");
}

TEST(Dates, ReadingRules) {
  bool ok = true;
  EXPECT_EQ(DeformatDate("5/1/2026", "@D6", 2026, &ok), Date(1, 5, 2026));
  EXPECT_TRUE(ok);
  EXPECT_EQ(DeformatDate("september 30, 2026", "mmmmmmmmm dd, yyyy", 2026, &ok), Date(9, 30, 2026));
  EXPECT_EQ(DeformatDate("30 SEP 26", "dd mmm yy", 2026, &ok), Date(9, 30, 2026));
  // Two-digit years: the year ending in yy from 80 years before to 19 after.
  EXPECT_EQ(DeformatDate("01/01/45", "dd/mm/yy", 2026, &ok), Date(1, 1, 2045));
  EXPECT_EQ(DeformatDate("01/01/46", "dd/mm/yy", 2026, &ok), Date(1, 1, 1946));
  EXPECT_EQ(DeformatDate("01/01/00", "dd/mm/yy", 2026, &ok), Date(1, 1, 2000));
  EXPECT_EQ(DeformatDate("01/01/99", "dd/mm/yy", 2026, &ok), Date(1, 1, 1999));
  for (const char* bad : {"31/02/2026", "05/13/2026", "05-01-2026", "", "05/01/2026x", "5/1/20261"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(DeformatDate(bad, "@D6", 2026, &ok), 0);
    EXPECT_FALSE(ok);
  }
  EXPECT_EQ(DeformatDate("2026015", "yyyymmdd", 2026, &ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(DeformatDate("Foo 05, 2026", "mmm dd, yyyy", 2026, &ok), 0);
  EXPECT_FALSE(ok);
}

TEST(Dates, LocaleShortAndLongFormats) {
  const int32_t day = Date(1, 5, 2026);
  QLocale locale;
  for (const char* picture : {"@D17", "@D18"}) {
    SCOPED_TRACE(picture);
    std::string text = Format(day, picture);
    QLocale::FormatType type = std::string(picture) == "@D17" ? QLocale::ShortFormat : QLocale::LongFormat;
    EXPECT_EQ(text, locale.toString(QDate(2026, 1, 5), type).toStdString());
    bool ok = false;
    EXPECT_EQ(Deformat(text, picture, &ok), day);
    EXPECT_TRUE(ok);
  }
}

TEST(Dates, LocaleWithTwoDigitYears) {
  QLocale keep;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(Format(Date(1, 5, 2026), "@D17"), "1/5/26");
  bool ok = false;
  EXPECT_EQ(DeformatDate("1/5/26", "@D17", 2026, &ok), Date(1, 5, 2026));
  EXPECT_EQ(DeformatDate("12/31/50", "@D17", 2026, &ok), Date(12, 31, 1950));
  EXPECT_EQ(DeformatDate("2/28/45", "@D17", 2026, &ok), Date(2, 28, 2045));
  EXPECT_EQ(Format(Date(1, 5, 2026), "@D18"), "Monday, January 5, 2026");
  EXPECT_EQ(Deformat("Monday, January 5, 2026", "@D18", &ok), Date(1, 5, 2026));
  EXPECT_EQ(DeformatDate("13/45/26", "@D17", 2026, &ok), 0);
  EXPECT_FALSE(ok);
  QLocale::setDefault(keep);
}

TEST(Times, T1AndT4) {
  int32_t t = Time(14, 5, 9);
  EXPECT_EQ(Format(t, "@T1"), "14:05");
  EXPECT_EQ(Format(t, "@T4"), "14:05:09");
  EXPECT_EQ(Format(Time(0, 0, 0), "@T4"), "00:00:00");
  EXPECT_EQ(Format(0, "@T1"), "");
  bool ok = false;
  EXPECT_EQ(Deformat("14:05", "@T1", &ok), Time(14, 5, 0));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Deformat("14:05:09", "@T4", &ok), t);
  EXPECT_EQ(Deformat("9:30", "@T1", &ok), Time(9, 30, 0));
  for (const char* bad : {"24:00", "12:60", "12", "12:5", "ab:cd"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Deformat(bad, "@T1", &ok), 0);
    EXPECT_FALSE(ok);
  }
  EXPECT_EQ(Deformat("14:05", "@T4", &ok), 0);  // seconds are part of T4
  EXPECT_FALSE(ok);
}

TEST(Numbers, NumberAndPatternPictures) {
  EXPECT_EQ(Format(1234, "@N6"), "  1234");
  EXPECT_EQ(Format(1234, "@N06"), "001234");
  EXPECT_EQ(Format(-12, "@N-6"), "   -12");
  EXPECT_EQ(Format(1234567, "@N3"), "1234567");  // never cut
  EXPECT_EQ(FormatReal(0.125, "@N5.2"), " 0.13");
  EXPECT_EQ(FormatReal(2.5, "@N.0"), "3");
  EXPECT_EQ(FormatReal(0, "P#####P"), "00000");
  EXPECT_EQ(FormatReal(10800.4, "P#####P"), "10800");
  EXPECT_EQ(FormatReal(7199.5, "P#####P"), "07200");
  EXPECT_EQ(FormatReal(1e6, "P#####P"), "99999");
  EXPECT_EQ(FormatReal(42, "P(###)P"), "(042)");
  EXPECT_DOUBLE_EQ(DeformatReal("1,234.50"), 1234.5);
  EXPECT_DOUBLE_EQ(DeformatReal("$ -12"), -12);
  EXPECT_DOUBLE_EQ(DeformatReal("1.5.6"), 1.56);
  EXPECT_DOUBLE_EQ(DeformatReal("none"), 0);
  EXPECT_EQ(Deformat("1,234", "@N6"), 1234);
  EXPECT_EQ(Format(99, "@S1"), "9");
}
