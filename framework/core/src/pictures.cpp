// Dates, times and pictures (see strings.h).
#include <QDate>
#include <QLocale>
#include <QString>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "framework/core/record.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

namespace mvn::framework {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

const int64_t kEpoch = DaysFromCivil(1800, 12, 31);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

// The date pattern of a D picture number, or nullptr.
const char* DatePattern(int n) {
  static const char* const kPatterns[] = {"mm/dd/yy", "mm/dd/yyyy", "mmm dd, yyyy", "mmmmmmmmm dd, yyyy",
                                          "dd/mm/yy", "dd/mm/yyyy", "dd mmm yy",    "dd mmm yyyy",
                                          "yy/mm/dd", "yyyy/mm/dd", "yymmdd",       "yyyymmdd",
                                          "mm/yy",    "mm/yyyy",    "yy/mm",        "yyyy/mm"};
  return n >= 1 && n <= 16 ? kPatterns[n - 1] : nullptr;
}

enum class Kind { None, DatePattern, LocaleShort, LocaleLong, TimeShort, TimeLong, Number, Pattern, Text };
struct Picture {
  Kind kind = Kind::None;
  std::string pattern;  // date or P pattern
  bool sign = false, zero = false;
  int width = 0, decimals = 0;
};

Picture ParsePicture(std::string_view text) {
  Picture p;
  std::string raw(text);
  // A DateFormat pattern given as it is.
  for (int n = 1; n <= 16; ++n)
    if (raw == DatePattern(n)) {
      p.kind = Kind::DatePattern;
      p.pattern = raw;
      return p;
    }
  if (!raw.empty() && raw[0] == '@') raw.erase(0, 1);
  if (raw.empty()) return p;
  char c = static_cast<char>(std::toupper(static_cast<unsigned char>(raw[0])));
  std::string rest = raw.substr(1);
  auto number = [](const std::string& s, int* out) {
    if (s.empty() || s.size() > 3 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::atoi(s.c_str());
    return true;
  };
  int n = 0;
  if (c == 'D' && number(rest, &n)) {
    if (const char* pat = DatePattern(n)) {
      p.kind = Kind::DatePattern;
      p.pattern = pat;
    } else if (n == 17)
      p.kind = Kind::LocaleShort;
    else if (n == 18)
      p.kind = Kind::LocaleLong;
    return p;
  }
  if (c == 'T' && number(rest, &n)) {
    if (n == 1)
      p.kind = Kind::TimeShort;
    else if (n == 4)
      p.kind = Kind::TimeLong;
    return p;
  }
  if (c == 'S' && number(rest, &n)) {
    p.kind = Kind::Text;
    p.width = n;
    return p;
  }
  if (c == 'P' && raw.size() >= 2 && (raw.back() == 'P' || raw.back() == 'p')) {
    p.kind = Kind::Pattern;
    p.pattern = raw.substr(1, raw.size() - 2);
    return p;
  }
  if (c == 'N') {
    size_t i = 0;
    if (i < rest.size() && rest[i] == '-') p.sign = true, ++i;
    if (i < rest.size() && rest[i] == '0') p.zero = true, ++i;
    size_t start = i;
    while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i;
    p.width = i > start ? std::atoi(rest.substr(start, i - start).c_str()) : 0;
    if (i < rest.size() && rest[i] == '.') {
      size_t d = ++i;
      while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i;
      p.decimals = std::atoi(rest.substr(d, i - d).c_str());
    }
    if (i == rest.size() && p.width <= 64 && p.decimals <= 9) p.kind = Kind::Number;
    return p;
  }
  return p;
}

std::string Two(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v % 100);
  return b;
}

std::string FormatDatePattern(int32_t date, const std::string& pattern) {
  int y, m, d;
  SplitDate(date, &y, &m, &d);
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern.compare(i, 9, "mmmmmmmmm") == 0)
      out += kMonths[m - 1], i += 9;
    else if (pattern.compare(i, 3, "mmm") == 0)
      out += std::string(kMonths[m - 1], 3), i += 3;
    else if (pattern.compare(i, 2, "mm") == 0)
      out += Two(m), i += 2;
    else if (pattern.compare(i, 2, "dd") == 0)
      out += Two(d), i += 2;
    else if (pattern.compare(i, 4, "yyyy") == 0) {
      char b[16];
      std::snprintf(b, sizeof b, "%04d", y);
      out += b;
      i += 4;
    } else if (pattern.compare(i, 2, "yy") == 0)
      out += Two(y), i += 2;
    else
      out += pattern[i++];
  }
  return out;
}

// Reads up to max digits (at least one); exactly max when fixed.
bool Digits(std::string_view text, size_t* i, size_t max, bool fixed, int* value) {
  size_t start = *i;
  int v = 0;
  while (*i < text.size() && *i - start < max && std::isdigit(static_cast<unsigned char>(text[*i])))
    v = v * 10 + (text[(*i)++] - '0');
  size_t got = *i - start;
  if (got == 0 || (fixed && got != max)) return false;
  *value = v;
  return true;
}

int32_t ParseDatePattern(std::string_view text, const std::string& pattern, int referenceYear, bool* ok) {
  *ok = false;
  // Separated forms read 1 or 2 digit days and months; the packed forms
  // ("yymmdd", "yyyymmdd") need every digit.
  bool packed = pattern.find_first_of("/ ,") == std::string::npos;
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int y = -1, m = -1, d = 1;
  bool twoDigitYear = false;
  for (size_t p = 0; p < pattern.size();) {
    if (pattern.compare(p, 9, "mmmmmmmmm") == 0 || pattern.compare(p, 3, "mmm") == 0) {
      p += pattern.compare(p, 9, "mmmmmmmmm") == 0 ? 9 : 3;
      size_t start = i;
      while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
      std::string word = Lower(text.substr(start, i - start));
      m = -1;
      for (int k = 0; k < 12 && word.size() >= 3; ++k) {
        std::string full = Lower(kMonths[k]);
        if (word == full || word == full.substr(0, 3)) m = k + 1;
      }
      if (m < 0) return 0;
    } else if (pattern.compare(p, 2, "mm") == 0) {
      p += 2;
      if (!Digits(text, &i, 2, packed, &m)) return 0;
    } else if (pattern.compare(p, 2, "dd") == 0) {
      p += 2;
      if (!Digits(text, &i, 2, packed, &d)) return 0;
    } else if (pattern.compare(p, 4, "yyyy") == 0) {
      p += 4;
      size_t start = i;
      if (!Digits(text, &i, 4, packed, &y)) return 0;
      if (i - start == 2)
        twoDigitYear = true;
      else if (i - start != 4)
        return 0;
    } else if (pattern.compare(p, 2, "yy") == 0) {
      p += 2;
      if (!Digits(text, &i, 2, true, &y)) return 0;
      twoDigitYear = true;
    } else if (pattern[p] == ' ') {
      ++p;
      if (i >= text.size() || text[i] != ' ') return 0;
      while (i < text.size() && text[i] == ' ') ++i;
    } else {
      if (i >= text.size() || text[i] != pattern[p]) return 0;
      ++i, ++p;
    }
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (i != text.size()) return 0;
  if (twoDigitYear) {
    // The year ending in yy within [reference - 80, reference + 19].
    int low = referenceYear - 80;
    int candidate = low - ((low % 100) + 100) % 100 + y;
    if (candidate < low) candidate += 100;
    y = candidate;
  }
  int32_t date = Date(m, d, y);
  *ok = date != 0;
  return date;
}

int CurrentYear() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return now.wYear;
}

std::string FormatTime(int64_t time, bool seconds) {
  if (time <= 0) return std::string();
  int64_t t = (time - 1) / 100;
  char b[32];
  if (seconds)
    std::snprintf(b, sizeof b, "%02d:%02d:%02d", static_cast<int>(t / 3600 % 24), static_cast<int>(t / 60 % 60),
                  static_cast<int>(t % 60));
  else
    std::snprintf(b, sizeof b, "%02d:%02d", static_cast<int>(t / 3600 % 24), static_cast<int>(t / 60 % 60));
  return b;
}

int64_t ParseTime(std::string_view text, bool seconds, bool* ok) {
  *ok = false;
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int h = 0, m = 0, s = 0;
  if (!Digits(text, &i, 2, false, &h)) return 0;
  if (i >= text.size() || text[i++] != ':') return 0;
  if (!Digits(text, &i, 2, true, &m)) return 0;
  if (i < text.size() && text[i] == ':') {
    ++i;
    if (!Digits(text, &i, 2, true, &s)) return 0;
  } else if (seconds) {
    return 0;
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (i != text.size() || h > 23 || m > 59 || s > 59) return 0;
  *ok = true;
  return Time(h, m, s);
}

QDate ToQDate(int32_t date) {
  int y, m, d;
  SplitDate(date, &y, &m, &d);
  return QDate(y, m, d);
}

std::string FormatNumber(double value, const Picture& p) {
  char b[128];
  double rounded = value;
  std::snprintf(b, sizeof b, "%.*f", p.decimals, std::fabs(rounded));
  // snprintf rounds half to even on exact binary halves; round half away.
  double scale = std::pow(10.0, p.decimals);
  double r = std::floor(std::fabs(value) * scale + 0.5) / scale;
  std::snprintf(b, sizeof b, "%.*f", p.decimals, r);
  std::string digits = b;
  bool negative = value < 0 && r != 0;
  std::string sign = negative ? "-" : "";
  std::string out = sign + digits;
  if (p.width > 0 && static_cast<int>(out.size()) < p.width) {
    size_t pad = static_cast<size_t>(p.width) - out.size();
    out = p.zero ? sign + std::string(pad, '0') + digits : std::string(pad, ' ') + out;
  }
  return out;
}

std::string FormatPattern(double value, const std::string& pattern) {
  int places = 0;
  for (char c : pattern) places += c == '#';
  double r = std::floor(std::fabs(value) + 0.5);
  double limit = std::pow(10.0, places) - 1;
  if (r > limit) r = limit;
  char b[64];
  std::snprintf(b, sizeof b, "%0*.0f", places, r);
  std::string digits = b;
  std::string out;
  size_t k = 0;
  for (char c : pattern) out += c == '#' ? digits[k++] : c;
  return out;
}

}  // namespace

int32_t Date(int month, int day, int year) {
  if (year < 1801 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return 0;
  return static_cast<int32_t>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch);
}

void SplitDate(int32_t date, int* year, int* month, int* day) {
  if (date <= 0) {
    *year = *month = *day = 0;
    return;
  }
  CivilFromDays(date + kEpoch, year, month, day);
}

int32_t Today() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return Date(now.wMonth, now.wDay, now.wYear);
}

int32_t Clock() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return Time(now.wHour, now.wMinute, now.wSecond, now.wMilliseconds / 10);
}

int32_t Time(int hours, int minutes, int seconds, int hundredths) {
  return ((hours * 60 + minutes) * 60 + seconds) * 100 + hundredths + 1;
}

int DayOfWeek(int32_t date) {
  // Day 1 (1 January 1801) was a Thursday.
  return static_cast<int>((date + 3) % 7);
}

std::string Format(int64_t value, std::string_view picture) {
  Picture p = ParsePicture(picture);
  switch (p.kind) {
    case Kind::DatePattern:
      return value > 0 && value <= 3000000 ? FormatDatePattern(static_cast<int32_t>(value), p.pattern) : "";
    case Kind::LocaleShort:
    case Kind::LocaleLong:
      if (value <= 0 || value > 3000000) return "";
      return QLocale()
          .toString(ToQDate(static_cast<int32_t>(value)),
                    p.kind == Kind::LocaleShort ? QLocale::ShortFormat : QLocale::LongFormat)
          .toStdString();
    case Kind::TimeShort:
      return FormatTime(value, false);
    case Kind::TimeLong:
      return FormatTime(value, true);
    case Kind::Number:
      return FormatNumber(static_cast<double>(value), p);
    case Kind::Pattern:
      return FormatPattern(static_cast<double>(value), p.pattern);
    case Kind::Text:
      return CutUtf8(std::to_string(value), static_cast<size_t>(p.width));
    case Kind::None:
      break;
  }
  return std::to_string(value);
}

std::string FormatReal(double value, std::string_view picture) {
  Picture p = ParsePicture(picture);
  if (p.kind == Kind::Number) return FormatNumber(value, p);
  if (p.kind == Kind::Pattern) return FormatPattern(value, p.pattern);
  return Format(static_cast<int64_t>(std::llround(value)), picture);
}

double DeformatReal(std::string_view text) {
  std::string number;
  bool negative = false, dot = false, digit = false;
  for (char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c))) {
      number += c;
      digit = true;
    } else if (c == '.' && !dot) {
      number += c;
      dot = true;
    } else if (c == '-' && !digit) {
      negative = true;
    }
  }
  if (!digit) return 0;
  double v = std::strtod(number.c_str(), nullptr);
  return negative ? -v : v;
}

int32_t DeformatDate(std::string_view text, std::string_view picture, int referenceYear, bool* ok) {
  bool good = false;
  int32_t result = 0;
  Picture p = ParsePicture(picture);
  if (p.kind == Kind::DatePattern) {
    result = ParseDatePattern(text, p.pattern, referenceYear, &good);
  } else if (p.kind == Kind::LocaleShort || p.kind == Kind::LocaleLong) {
    QLocale locale;
    QString format = locale.dateFormat(p.kind == Kind::LocaleShort ? QLocale::ShortFormat : QLocale::LongFormat);
    QDate d = locale.toDate(QString::fromStdString(std::string(text)).trimmed(), format);
    if (d.isValid()) {
      int year = d.year();
      if (format.contains(QLatin1String("yy")) && !format.contains(QLatin1String("yyyy"))) {
        // A two-digit year of the locale's form follows the same rule as
        // the "yy" patterns.
        int low = referenceYear - 80;
        year = low - ((low % 100) + 100) % 100 + year % 100;
        if (year < low) year += 100;
      }
      result = Date(d.month(), d.day(), year);
      good = result != 0;
    }
  }
  if (ok) *ok = good;
  return good ? result : 0;
}

int64_t Deformat(std::string_view text, std::string_view picture, bool* ok) {
  Picture p = ParsePicture(picture);
  bool good = false;
  int64_t result = 0;
  switch (p.kind) {
    case Kind::DatePattern:
    case Kind::LocaleShort:
    case Kind::LocaleLong:
      result = DeformatDate(text, picture, CurrentYear(), &good);
      break;
    case Kind::TimeShort:
    case Kind::TimeLong:
      result = ParseTime(text, p.kind == Kind::TimeLong, &good);
      break;
    default: {
      double v = DeformatReal(text);
      good = true;
      result = static_cast<int64_t>(std::llround(v));
      break;
    }
  }
  if (ok) *ok = good;
  return good ? result : 0;
}

}  // namespace mvn::framework
