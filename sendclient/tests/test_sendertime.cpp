// SENDER-TIME: seconds since 1970 UTC modulo 2^32, from the 1601-based
// clock, and the fixed clock of MVN_SENDER_TIME.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "sendclient/sendclient.h"

using mvn::sendclient::SenderTime;
using mvn::sendclient::SenderTimeFromFileTime;

namespace {
constexpr ULONGLONG kPerSecond = 10000000ull;
constexpr ULONGLONG k1970 = 11644473600ull;  // seconds from 1601 to 1970
}  // namespace

TEST(SenderTime, ArithmeticOnThe1601Clock) {
  struct CASE {
    ULONGLONG seconds1970;
    DWORD expected;
  };
  const CASE cases[] = {
      {988336262ull, 0x3ae8d086u},   // 2001-04-27 01:51:02 UTC
      {0ull, 0u},                    // the epoch itself
      {4294967295ull, 0xffffffffu},  // the last second before the wrap
      {4294967296ull, 0u},           // 2106-02-07 06:28:16 UTC wraps to 0
  };
  for (const CASE& c : cases) {
    // Fractions of a second are cut off.
    EXPECT_EQ(SenderTimeFromFileTime((c.seconds1970 + k1970) * kPerSecond + 9999999), c.expected) << c.seconds1970;
  }
}

TEST(SenderTime, SystemClockAndFixedClock) {
  unsetenv("MVN_SENDER_TIME");
  const DWORD before = static_cast<DWORD>(std::time(nullptr));
  const DWORD now = SenderTime();
  const DWORD after = static_cast<DWORD>(std::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
  setenv("MVN_SENDER_TIME", "988336262", 1);
  EXPECT_EQ(SenderTime(), 0x3ae8d086u);
  unsetenv("MVN_SENDER_TIME");
}
