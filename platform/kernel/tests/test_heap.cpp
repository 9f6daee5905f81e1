// Private heaps.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/kernel/win32.h"

namespace {

TEST(Heap, BlocksAreTrackedPerHeap) {
  HANDLE heap = HeapCreate(0, 0x8000, 0);
  HANDLE other = HeapCreate(0, 0, 0);
  ASSERT_NE(heap, nullptr);
  void* block = HeapAlloc(heap, 0, 100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(HeapSize(heap, 0, block), 100u);
  EXPECT_EQ(HeapBlockCount(heap), 1u);

  // A block of another heap, a pointer into a block and a stack address are
  // all refused without being touched.
  int local = 7;
  void* foreign[] = {HeapAlloc(other, 0, 8), static_cast<char*>(block) + 1, &local};
  for (void* p : foreign) {
    SetLastError(0);
    EXPECT_FALSE(HeapFree(heap, 0, p));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(HeapSize(heap, 0, p), static_cast<SIZE_T>(-1));
    EXPECT_EQ(HeapReAlloc(heap, 0, p, 16), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(local, 7);

  EXPECT_TRUE(HeapFree(heap, 0, block));
  EXPECT_FALSE(HeapFree(heap, 0, block));  // freed twice
  EXPECT_EQ(HeapSize(heap, 0, block), static_cast<SIZE_T>(-1));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
  EXPECT_TRUE(HeapDestroy(heap));
  EXPECT_TRUE(HeapDestroy(other));
}

TEST(Heap, DestroyFreesEveryBlockAndInvalidatesTheHandle) {
  HANDLE heap = HeapCreate(0, 0, 0);
  for (int i = 0; i < 50; ++i) ASSERT_NE(HeapAlloc(heap, 0, 1000 + i), nullptr);
  EXPECT_EQ(HeapBlockCount(heap), 50u);
  EXPECT_TRUE(HeapDestroy(heap));  // the sanitizer reports a leak otherwise
  EXPECT_EQ(HeapBlockCount(heap), 0u);
  EXPECT_FALSE(HeapDestroy(heap));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(HeapAlloc(heap, 0, 10), nullptr);
  EXPECT_FALSE(CloseHandle(HeapCreate(0, 0, 0)));  // heaps are not closed as handles
}

TEST(Heap, ZeroFillOnAllocAndOnGrowth) {
  HANDLE heap = HeapCreate(0, 0, 0);
  auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
  std::memset(block, 0xAB, 64);
  block = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 100000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(HeapSize(heap, 0, block), 100000u);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0xAB) << i;
  for (int i = 64; i < 100000; ++i) ASSERT_EQ(block[i], 0) << i;
  block = static_cast<unsigned char*>(HeapReAlloc(heap, 0, block, 10));
  EXPECT_EQ(HeapSize(heap, 0, block), 10u);
  EXPECT_EQ(block[9], 0xAB);
  EXPECT_EQ(HeapBlockCount(heap), 1u);
  // In place only: shrinking works, growing fails and keeps the block.
  EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 4), block);
  EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 400), nullptr);
  EXPECT_EQ(HeapSize(heap, 0, block), 4u);
  HeapDestroy(heap);
}

TEST(Heap, AllocationFailureReturnsNullOrRaises) {
  HANDLE heap = HeapCreate(0, 0, 4096);  // at most 4096 bytes in use
  void* first = HeapAlloc(heap, 0, 4000);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(HeapAlloc(heap, 0, 200), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  try {
    HeapAlloc(heap, HEAP_GENERATE_EXCEPTIONS, 200);
    FAIL() << "no exception";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.Code(), STATUS_NO_MEMORY);
  }
  // A failed growth leaves the block as it was.
  EXPECT_THROW(HeapReAlloc(heap, HEAP_GENERATE_EXCEPTIONS, first, 8000), SystemException);
  EXPECT_EQ(HeapSize(heap, 0, first), 4000u);
  HeapDestroy(heap);

  HANDLE raising = HeapCreate(HEAP_GENERATE_EXCEPTIONS, 0x8000, 0);
  EXPECT_THROW(HeapAlloc(raising, 0, ~SIZE_T(0) / 2), SystemException);
  HeapDestroy(raising);
}

TEST(Heap, ConcurrentUseIsSerialised) {
  HANDLE heap = HeapCreate(0, 0, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([heap] {
      for (int i = 0; i < 2000; ++i) {
        void* p = HeapAlloc(heap, 0, 32);
        p = HeapReAlloc(heap, 0, p, 64);
        HeapFree(heap, 0, p);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(HeapBlockCount(heap), 0u);
  HeapDestroy(heap);
}

}  // namespace
