// The fixed tables of the library's classes: the slot each virtual operation
// occupies, and the classes that must not be copied bitwise or destroyed
// through a virtual destructor (which would add a slot of its own).
#include <cstddef>
#include <type_traits>

#include <gtest/gtest.h>

#include "lib/bufferedfile.h"
#include "lib/config.h"
#include "lib/cxxlib.h"
#include "lib/pathfile.h"
#include "lib/stringlist.h"
#include "lib/tests/testsupport.h"
#include "lib/text.h"

namespace {

using mvntest::SlotOf;

// Objects whose layout other deliverables rely on, and the objects built on
// them, hold their buffers by pointer: a copy would share (and later free)
// the same block twice.
template <class T>
constexpr bool kFixedObject = !std::is_copy_constructible_v<T> && !std::is_copy_assignable_v<T> &&
                              !std::has_virtual_destructor_v<T>;
static_assert(kFixedObject<CTEXT>);
static_assert(kFixedObject<CTEXTBUF16>);
static_assert(kFixedObject<CTEXTBUF1024>);
static_assert(kFixedObject<CSTRINGLISTBASE>);
static_assert(kFixedObject<CSTRINGLIST>);
static_assert(kFixedObject<CTOKENLIST>);
static_assert(kFixedObject<CPATH>);
static_assert(kFixedObject<CFILE>);
static_assert(kFixedObject<CBUFFEREDREADER>);
static_assert(kFixedObject<CBUFFEREDWRITER>);
static_assert(kFixedObject<CFINDFILE>);
static_assert(kFixedObject<CCONFIG>);
static_assert(kFixedObject<CCONFIGINI>);
static_assert(kFixedObject<CCONFIGREG>);
static_assert(kFixedObject<CXXHEAP>);

TEST(Layout, EveryVirtualOperationHasItsFixedSlot) {
  struct Slot {
    const char* operation;
    std::size_t slot;
    std::size_t expected;
  } slots[] = {
      {"CXXHEAP::Alloc", SlotOf(&CXXHEAP::Alloc), 0},
      {"CXXHEAP::AllocZero", SlotOf(&CXXHEAP::AllocZero), 1},
      {"CXXHEAP::Size", SlotOf(&CXXHEAP::Size), 2},
      {"CXXHEAP::Free", SlotOf(&CXXHEAP::Free), 3},
      {"CXXHEAP::Report", SlotOf(&CXXHEAP::Report), 4},
      {"CXXHEAP::Notify", SlotOf(&CXXHEAP::Notify), 5},

      {"CTEXT::Alloc", SlotOf(&CTEXT::Alloc), 0},
      {"CTEXT::Size", SlotOf(&CTEXT::Size), 1},
      {"CTEXT::Free", SlotOf(&CTEXT::Free), 2},
      {"CTEXT::RoundCapacity", SlotOf(&CTEXT::RoundCapacity), 3},

      {"CSTRINGLISTBASE::RoundCapacity", SlotOf(&CSTRINGLISTBASE::RoundCapacity), 3},
      {"CSTRINGLISTBASE::Add", SlotOf(&CSTRINGLISTBASE::Add), 4},
      {"CSTRINGLISTBASE::Next", SlotOf(&CSTRINGLISTBASE::Next), 5},
      {"CSTRINGLIST::Alloc", SlotOf(&CSTRINGLIST::Alloc), 0},
      {"CSTRINGLIST::Add", SlotOf(&CSTRINGLIST::Add), 4},
      {"CSTRINGLIST::Next", SlotOf(&CSTRINGLIST::Next), 5},

      {"CFILE::Alloc", SlotOf(&CFILE::Alloc), 0},
      {"CFILE::RoundCapacity", SlotOf(&CFILE::RoundCapacity), 3},
      {"CFILE::SetPos", SlotOf(&CFILE::SetPos), 4},
      {"CFILE::Open", SlotOf(&CFILE::Open), 5},
      {"CFILE::Close", SlotOf(&CFILE::Close), 6},
      {"CFILE::GetSize", SlotOf(&CFILE::GetSize), 7},
      {"CFILE::SetSize", SlotOf(&CFILE::SetSize), 8},
      {"CFILE::Flush", SlotOf(&CFILE::Flush), 9},
      {"CFILE::Read", SlotOf(&CFILE::Read), 10},
      {"CFILE::Write", SlotOf(&CFILE::Write), 11},

      {"CBUFFEREDREADER::SetPos", SlotOf(&CBUFFEREDREADER::SetPos), 4},
      {"CBUFFEREDREADER::Open", SlotOf(&CBUFFEREDREADER::Open), 5},
      {"CBUFFEREDREADER::Close", SlotOf(&CBUFFEREDREADER::Close), 6},
      {"CBUFFEREDREADER::GetSize", SlotOf(&CBUFFEREDREADER::GetSize), 7},
      {"CBUFFEREDREADER::SetSize", SlotOf(&CBUFFEREDREADER::SetSize), 8},
      {"CBUFFEREDREADER::Flush", SlotOf(&CBUFFEREDREADER::Flush), 9},
      {"CBUFFEREDREADER::Read", SlotOf(&CBUFFEREDREADER::Read), 10},
      {"CBUFFEREDREADER::Write", SlotOf(&CBUFFEREDREADER::Write), 11},
      {"CBUFFEREDWRITER::SetPos", SlotOf(&CBUFFEREDWRITER::SetPos), 4},
      {"CBUFFEREDWRITER::Open", SlotOf(&CBUFFEREDWRITER::Open), 5},
      {"CBUFFEREDWRITER::Close", SlotOf(&CBUFFEREDWRITER::Close), 6},
      {"CBUFFEREDWRITER::GetSize", SlotOf(&CBUFFEREDWRITER::GetSize), 7},
      {"CBUFFEREDWRITER::SetSize", SlotOf(&CBUFFEREDWRITER::SetSize), 8},
      {"CBUFFEREDWRITER::Flush", SlotOf(&CBUFFEREDWRITER::Flush), 9},
      {"CBUFFEREDWRITER::Read", SlotOf(&CBUFFEREDWRITER::Read), 10},
      {"CBUFFEREDWRITER::Write", SlotOf(&CBUFFEREDWRITER::Write), 11},

      {"CCONFIGINI::Describe", SlotOf(&CCONFIGINI::Describe), 0},
      {"CCONFIGINI::ExpandValue", SlotOf(&CCONFIGINI::ExpandValue), 1},
      {"CCONFIGINI::GetString", SlotOf(&CCONFIGINI::GetString), 11},
      {"CCONFIGINI::PutString", SlotOf(&CCONFIGINI::PutString), 18},
      {"CCONFIGREG::GetKeys", SlotOf(&CCONFIGREG::GetKeys), 22},
      {"CCONFIGREG::GetEntryList", SlotOf(&CCONFIGREG::GetEntryList), 25},
  };
  for (const Slot& s : slots) EXPECT_EQ(s.slot, s.expected) << s.operation;
}

}  // namespace
