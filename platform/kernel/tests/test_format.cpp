// The window-system formatter.
#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/win32.h"

namespace {

std::string Format(const char* format, ...) {
  char buffer[1100];
  va_list arguments;
  va_start(arguments, format);
  int n = wvsprintfA(buffer, format, arguments);
  va_end(arguments);
  EXPECT_EQ(static_cast<std::size_t>(n), std::string(buffer).size());
  return buffer;
}

TEST(Wsprintf, Conversions) {
  DWORD dword = 4000000000u;
  EXPECT_EQ(Format("%lu", dword), "4000000000");
  EXPECT_EQ(Format("%ld|%d", static_cast<LONG>(-5), -7), "-5|-7");
  EXPECT_EQ(Format("%08X", 0xBEEFu), "0000BEEF");
  EXPECT_EQ(Format("%08lx", 0xDEADBEEFu), "deadbeef");
  EXPECT_EQ(Format("%-5s|", "ab"), "ab   |");
  EXPECT_EQ(Format("%5s|", "ab"), "   ab|");
  EXPECT_EQ(Format("%.2s", "abcdef"), "ab");
  EXPECT_EQ(Format("%I64d", static_cast<LONGLONG>(-5000000000ll)), "-5000000000");
  EXPECT_EQ(Format("%I64u %I64X", static_cast<ULONGLONG>(18446744073709551615ull), 0x1234567890ull),
            "18446744073709551615 1234567890");
  EXPECT_EQ(Format("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(Format("%hd %hu", 0x12345, 0xFFFF), "9029 65535");
  EXPECT_EQ(Format("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(Format("%#x %#X", 255u, 255u), "0xff 0XFF");
  EXPECT_EQ(Format("%05d|%-5d|%.3d", -42, 42, 7), "-0042|42   |007");
  EXPECT_EQ(Format("100%% %i", 1), "100% 1");
  EXPECT_EQ(Format("%ls %S", u"wide", u"\u00e9"), "wide \xc3\xa9");
  EXPECT_EQ(Format("%u", 0u), "0");
  EXPECT_EQ(Format("tail %"), "tail ");
}

TEST(Wsprintf, StopsAt1024Characters) {
  std::string long_text(2000, 'x');
  char buffer[1100];
  buffer[1025] = '#';
  int n = wsprintfA(buffer, "ab%s", long_text.c_str());
  EXPECT_EQ(n, 1024);
  EXPECT_EQ(std::string(buffer), "ab" + std::string(1022, 'x'));
  EXPECT_EQ(buffer[1025], '#');

  // Widths and precisions beyond the output change nothing but the padding
  // cut at 1024 characters.
  EXPECT_EQ(Format("%99999999999d", 5), std::string(1024, ' '));
  EXPECT_EQ(Format("%.99999999999d", 5), std::string(1024, '0'));
  EXPECT_EQ(Format("%-3000s|", "ab"), "ab" + std::string(1022, ' '));
}

}  // namespace
