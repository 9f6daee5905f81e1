// A small deterministic generator for test and benchmark inputs
// (xorshift64), so the same seed gives the same bytes everywhere.
#pragma once

#include <cstdint>

namespace mvntest {

struct Random {
  std::uint64_t state;
  explicit Random(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }
};

}  // namespace mvntest
