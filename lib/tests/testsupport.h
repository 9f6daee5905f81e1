// Helpers shared by the library's tests: the library exception and the slot
// a virtual operation occupies in its class's table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "lib/cxxlib.h"

namespace mvntest {

// Expects statement to raise the library exception (code 0xEFFFFFFF,
// non-continuable).
template <class F>
void ExpectLibraryException(F&& statement) {
  try {
    statement();
    ADD_FAILURE() << "no exception raised";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.Code(), LIBRARY_EXCEPTION_CODE);
    EXPECT_EQ(e.Flags(), EXCEPTION_NONCONTINUABLE);
  }
}

// The slot of a virtual member function in its table: under the Itanium C++
// ABI a pointer to a virtual member holds one plus the slot's byte offset.
template <class F>
std::size_t SlotOf(F function) {
  std::uintptr_t words[2];
  static_assert(sizeof(F) == sizeof words, "a pointer to a member function is two words");
  std::memcpy(words, &function, sizeof words);
  return (words[0] - 1) / sizeof(void*);
}

}  // namespace mvntest
