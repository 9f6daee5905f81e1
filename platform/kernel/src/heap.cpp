// Private heaps.
//
// Each heap keeps a table of its blocks, so every call can tell a block of
// its own from a foreign or freed pointer without reading memory in front
// of it; the table also gives the size asked for and lets HeapDestroy free
// whatever is still allocated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/handles.h"
#include "platform/kernel/src/internal.h"
#include "platform/kernel/win32.h"

namespace {

// Requests above this are refused rather than handed to malloc.
constexpr SIZE_T kLargestBlock = SIZE_T(1) << 40;

class HeapObject : public mvn::KernelObject {
 public:
  HeapObject(DWORD options, SIZE_T maximum) : m_options(options), m_maximum(maximum) {}
  ~HeapObject() override { FreeAll(); }

  void FreeAll() {
    std::lock_guard lock(m_mutex);
    for (auto& entry : m_blocks) std::free(entry.first);
    m_blocks.clear();
    m_total = 0;
    m_destroyed = true;
  }

  bool WantsExceptions(DWORD flags) const { return ((flags | m_options) & HEAP_GENERATE_EXCEPTIONS) != 0; }

  void* Alloc(DWORD flags, SIZE_T bytes) {
    std::lock_guard lock(m_mutex);
    if (m_destroyed || !Fits(0, bytes)) return nullptr;
    SIZE_T real = bytes ? bytes : 1;
    void* block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, real) : std::malloc(real);
    if (!block) return nullptr;
    m_blocks.emplace(block, bytes);
    m_total += bytes;
    return block;
  }

  // nullptr with *known == false when the block is not ours.
  void* ReAlloc(DWORD flags, void* block, SIZE_T bytes, bool* known) {
    std::lock_guard lock(m_mutex);
    auto it = m_blocks.find(block);
    *known = it != m_blocks.end();
    if (!*known) return nullptr;
    SIZE_T old = it->second;
    if (!Fits(old, bytes)) return nullptr;
    if (flags & HEAP_REALLOC_IN_PLACE_ONLY) {
      if (bytes > old) return nullptr;
      it->second = bytes;
      m_total -= old - bytes;
      return block;
    }
    void* moved = std::realloc(block, bytes ? bytes : 1);
    if (!moved) return nullptr;  // the old block is still valid and still ours
    if ((flags & HEAP_ZERO_MEMORY) && bytes > old) {
      std::memset(static_cast<char*>(moved) + old, 0, bytes - old);
    }
    m_blocks.erase(it);
    m_blocks.emplace(moved, bytes);
    m_total = m_total - old + bytes;
    return moved;
  }

  bool Free(void* block) {
    std::lock_guard lock(m_mutex);
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) return false;
    m_total -= it->second;
    m_blocks.erase(it);
    std::free(block);
    return true;
  }

  SIZE_T Size(const void* block) {
    std::lock_guard lock(m_mutex);
    auto it = m_blocks.find(const_cast<void*>(block));
    return it == m_blocks.end() ? static_cast<SIZE_T>(-1) : it->second;
  }

  SIZE_T Count() {
    std::lock_guard lock(m_mutex);
    return m_blocks.size();
  }

 private:
  // Whether a block of oldSize may become newSize bytes.
  bool Fits(SIZE_T oldSize, SIZE_T newSize) const {
    if (newSize > kLargestBlock) return false;
    if (m_maximum == 0) return true;
    return m_total - oldSize + newSize <= m_maximum;
  }

  std::mutex m_mutex;
  std::unordered_map<void*, SIZE_T> m_blocks;
  DWORD m_options;
  SIZE_T m_maximum;  // 0: growable
  SIZE_T m_total = 0;
  bool m_destroyed = false;
};

std::shared_ptr<HeapObject> GetHeap(HANDLE heap) { return mvn::HandleGetAs<HeapObject>(heap); }

[[noreturn]] void RaiseNoMemory() {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

}  // namespace

HANDLE HeapCreate(DWORD options, SIZE_T, SIZE_T maximumSize) {
  return mvn::HandleInsert(std::make_shared<HeapObject>(options, maximumSize));
}

BOOL HeapDestroy(HANDLE heap) {
  std::shared_ptr<mvn::KernelObject> object =
      mvn::kernel::HandleTake(heap, [](mvn::KernelObject* o) { return dynamic_cast<HeapObject*>(o) != nullptr; });
  if (!object) return FALSE;
  static_cast<HeapObject*>(object.get())->FreeAll();
  return TRUE;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  std::shared_ptr<HeapObject> object = GetHeap(heap);
  if (!object) return nullptr;
  void* block = object->Alloc(flags, bytes);
  if (!block) {
    if (object->WantsExceptions(flags)) RaiseNoMemory();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return block;
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  std::shared_ptr<HeapObject> object = GetHeap(heap);
  if (!object) return nullptr;
  bool known = false;
  void* moved = block ? object->ReAlloc(flags, block, bytes, &known) : nullptr;
  if (!known) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!moved) {
    if (object->WantsExceptions(flags)) RaiseNoMemory();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return moved;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID block) {
  std::shared_ptr<HeapObject> object = GetHeap(heap);
  if (!object) return FALSE;
  if (!block) return TRUE;
  if (!object->Free(block)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

SIZE_T HeapSize(HANDLE heap, DWORD, LPCVOID block) {
  std::shared_ptr<HeapObject> object = GetHeap(heap);
  if (!object) return static_cast<SIZE_T>(-1);
  SIZE_T size = block ? object->Size(block) : static_cast<SIZE_T>(-1);
  if (size == static_cast<SIZE_T>(-1)) SetLastError(ERROR_INVALID_PARAMETER);
  return size;
}

SIZE_T HeapBlockCount(HANDLE heap) {
  std::shared_ptr<HeapObject> object = GetHeap(heap);
  return object ? object->Count() : 0;
}

namespace mvn::kernel {

bool IsHeapObject(KernelObject* object) { return dynamic_cast<HeapObject*>(object) != nullptr; }

HANDLE LocalHeap() {
  static HANDLE heap = HeapCreate(0, 0, 0);
  return heap;
}

}  // namespace mvn::kernel
