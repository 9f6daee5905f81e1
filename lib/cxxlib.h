// The bottom of the library: the heap-and-notification object every
// deliverable has exactly one of, the Win32 failure reporter, static objects
// built from an init table and destroyed through an exit list, and the
// library exception that reports internal faults.
#pragma once

#include <new>
#include <utility>

#include "lib/text.h"
#include "platform/kernel/win32.h"

// The library exception: an operating-system exception with this code,
// raised non-continuable.
constexpr DWORD LIBRARY_EXCEPTION_CODE = 0xEFFFFFFFu;

// Notifications of source CXXLIB.
constexpr DWORD NOTIFY_EXCEPTION = 0x10001;
constexpr DWORD NOTIFY_CRTCOMPAT = 0x10002;
constexpr DWORD NOTIFY_WIN32ERROR = 0x10003;

// Expands %NAME% references in notification templates (context, name, value).
using NOTIFYEXPANDER = bool (*)(void* context, const char* name, CTEXT* value);

// Win32 failure reporter: turns the thread's last error into NOTIFY_WIN32ERROR.
class CWIN32ERROR {
 public:
  explicit CWIN32ERROR(const char* className = nullptr) : m_enabled(1), m_className(className) {}
  // Always false, so a caller can return it as its own failure.
  bool Report(const char* operation, const char* detail);
  // The system's text for a code: each non-empty line followed by one blank.
  static bool GetSystemText(DWORD code, CTEXT* destination);

  DWORD m_enabled;
  CTEXT m_message;
  const char* m_className;
};

class CXXHEAP {
 public:
  CXXHEAP() = default;
  CXXHEAP(const CXXHEAP&) = delete;
  CXXHEAP& operator=(const CXXHEAP&) = delete;

  // Slot 0: HeapReAlloc of the old block when given, else HeapAlloc.
  virtual void* Alloc(DWORD flags, SIZE_T size, void* oldBlock);
  // Slot 1: Alloc with HEAP_ZERO_MEMORY | HEAP_GENERATE_EXCEPTIONS.
  virtual void* AllocZero(SIZE_T size, void* oldBlock);
  // Slot 2: HeapSize; nullptr gives 0; a failure is a library fault.
  virtual SIZE_T Size(void* block);
  // Slot 3: HeapFree; nullptr does nothing; a failure is a library fault.
  virtual void Free(void* block);
  // Slot 4: formats and shows a notification; pure here (library fault).
  virtual void Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1,
                      const char* p2, const char* p3);
  // Slot 5: raises a notification; pure here (library fault).
  virtual void Notify(DWORD id, const char* p1, const char* p2, const char* p3);

  // Creates the private heap, points the global pointer at object, stores
  // the module handle and runs the static-constructor table.
  static void StartLibrary(CXXHEAP* object, HMODULE module);
  // Runs the exit list (last added first), then destroys the private heap.
  static void EndLibrary();
  static HANDLE HeapHandle();
  static HMODULE ModuleHandle();

  CWIN32ERROR m_win32;
};

// The one heap object of this deliverable (hidden: every deliverable has its
// own). Library code allocates and notifies through it.
extern CXXHEAP* g_pXXHeap;

// Exit list and function tables.
using PFV = void (*)();
int AddExitFunction(PFV function);
void RunExitFunctions();
void RunFunctionTable(PFV* first, PFV* end);
// Current capacity of the exit list (grows 16 entries at a time).
DWORD ExitListCapacity();

// Raises NOTIFY_EXCEPTION once per process, then the library exception.
[[noreturn]] void RaiseLibraryError(const char* sourceModule, int line);
// The handler of every pure slot of the library's classes ("$CXXLIB", 23).
[[noreturn]] void LibraryPureCall();

// Returns a block to the global heap object.
void FreeMemory(void* block);

// ---------------------------------------------------------------------------
// Static objects. Nothing in the library has a C++ global constructor: a
// static object lives in raw storage and is built by a function in the
// static-constructor table (the section "mvn_sinit", in link order), which
// also puts its destructor on the exit list. StartLibrary runs the table.
#define MVN_STATIC_INIT(function)                                              \
  __attribute__((used, section("mvn_sinit"))) static PFV function##_sinit_entry = \
      &function

// Storage for a static object of type T.
template <class T>
class CSTATICOBJECT {
 public:
  template <class... A>
  T* Construct(A&&... args) {
    T* object = new (m_storage) T(std::forward<A>(args)...);
    m_constructed = true;
    return object;
  }
  void Destroy() {
    if (m_constructed) {
      m_constructed = false;
      Get()->~T();
    }
  }
  T* Get() { return std::launder(reinterpret_cast<T*>(m_storage)); }
  T* operator->() { return Get(); }
  T& operator*() { return *Get(); }
  bool IsConstructed() const { return m_constructed; }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
  bool m_constructed;
};

// Defines CSTATICOBJECT<type> name, built with the arguments by an entry of
// the static-constructor table and destroyed through the exit list.
#define MVN_STATIC_OBJECT(type, name, ...)                     \
  CSTATICOBJECT<type> name;                                    \
  static void name##_destroy() { name.Destroy(); }             \
  static void name##_construct() {                             \
    name.Construct(__VA_ARGS__);                               \
    AddExitFunction(&name##_destroy);                          \
  }                                                            \
  MVN_STATIC_INIT(name##_construct)
