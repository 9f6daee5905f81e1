// String functions and pictures.
//
// Dates are day numbers: 1 is 1 January 1801 (0 means "no date"). Times are
// hundredths of a second since midnight plus one (1 is 00:00:00.00, 0 means
// "no time").
//
// Pictures (upper or lower case, with or without the leading "@"):
//   D6  dd/mm/yyyy     D10 yyyy/mm/dd     D12 yyyymmdd
//   D17 the locale's short date format    D18 its long date format
//       (QLocale's default locale, which is the system's unless set)
//   T1  hh:mm          T4  hh:mm:ss
//   N[-][0][width][.decimals] a number, blank-padded (or zero-padded with a
//        0 before the width) on the left to width; "-" shows a sign for
//        negative values; width 0 or none means "as wide as needed"
//   P...P a pattern: each "#" is one digit (leading zeros shown), every other
//        character is copied; a value too large for the pattern gives its
//        largest value (all nines), a negative one its digits
//   S<n> text cut to n bytes (never inside a UTF-8 character)
// The sixteen date patterns of the client's DateFormat setting are accepted
// as pictures too: "mm/dd/yy", "mm/dd/yyyy", "mmm dd, yyyy",
// "mmmmmmmmm dd, yyyy", "dd/mm/yy", "dd/mm/yyyy", "dd mmm yy",
// "dd mmm yyyy", "yy/mm/dd", "yyyy/mm/dd", "yymmdd", "yyyymmdd", "mm/yy",
// "mm/yyyy", "yy/mm", "yyyy/mm" (mmm the English short month name,
// mmmmmmmmm the full name; forms without a day read back as day 1).
// A two-digit year yy is read as the year ending in yy that lies in the
// hundred years from 80 years before to 19 years after the reference year
// (the current year unless given).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mvn::framework {

std::string Clip(std::string_view text);   // trailing blanks removed
std::string Left(std::string_view text);   // leading blanks removed
inline std::string Trim(std::string_view text) { return Clip(Left(text)); }  // both
std::string Upper(std::string_view text);  // ASCII letters
std::string Lower(std::string_view text);
// 1-based position of needle in haystack from start (1-based), 0 when absent.
size_t InString(std::string_view needle, std::string_view haystack, size_t start = 1);
// length bytes from 1-based start (clamped to the text).
std::string Sub(std::string_view text, size_t start, size_t length);
size_t Len(std::string_view text);
// Caseless ASCII compare: <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b);

// Day numbers and calendar dates; Date(...) returns 0 for an invalid date.
int32_t Date(int month, int day, int year);
void SplitDate(int32_t date, int* year, int* month, int* day);
int32_t Today();
// Hundredths since midnight plus one.
int32_t Clock();
int32_t Time(int hours, int minutes, int seconds, int hundredths = 0);

// The value formatted with the picture; an unknown picture gives the value
// as decimal text. A date of 0 or a time of 0 formats as "".
std::string Format(int64_t value, std::string_view picture);
// Text read back with the picture: a date, a time, a number. 0 when the
// text does not fit the picture (ok false).
int64_t Deformat(std::string_view text, std::string_view picture, bool* ok = nullptr);
// As Deformat for dates with an explicit reference year for two-digit years.
int32_t DeformatDate(std::string_view text, std::string_view picture, int referenceYear, bool* ok = nullptr);

// Real values: N pictures with decimals and P patterns (rounded half away
// from zero); other pictures as Format of the rounded value.
std::string FormatReal(double value, std::string_view picture);
// The number in a text with formatting characters ("1,234.50", "$ -12"):
// digits, the first "." and a "-" before the first digit count, the rest is
// ignored.
double DeformatReal(std::string_view text);

// Day of week, 0 = Sunday.
int DayOfWeek(int32_t date);

}  // namespace mvn::framework
