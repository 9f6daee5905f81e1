// $CXXLIB: the heap object, the exit list, the static-constructor table, the
// library exception and the Win32 failure reporter.
#include "lib/cxxlib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

constexpr const char* kSourceModule = "$CXXLIB";
constexpr int kLineTerminate = 18;
constexpr int kLinePureCall = 23;
constexpr int kLineHeapSize = 206;
constexpr int kLineHeapFree = 217;

constexpr SIZE_T kInitialHeapSize = 0x8000;
constexpr DWORD kExitListGrowth = 16;
constexpr DWORD kSystemTextSize = 1024;

// The state of this deliverable's copy of the library. It lives in plain
// static storage (not in the heap object) so the library can be started on
// the object's storage before the object's constructor has run.
HANDLE s_heap = nullptr;
HMODULE s_module = nullptr;
PFV* s_exitList = nullptr;
DWORD s_exitCount = 0;
DWORD s_exitCapacity = 0;
bool s_exceptionNotified = false;
std::terminate_handler s_previousTerminate = nullptr;

// Raises NOTIFY_EXCEPTION the first time only, so a fault while the first one
// is shown does not recurse.
void NotifyExceptionOnce(const char* sourceModule, const char* line) {
  if (s_exceptionNotified) return;
  s_exceptionNotified = true;
  if (g_pXXHeap) g_pXXHeap->Notify(NOTIFY_EXCEPTION, sourceModule, line, nullptr);
}

// An exception nobody caught ends up here. A terminate handler cannot throw
// usefully, so the fault is recorded as a notification and the process ends.
[[noreturn]] void TerminateHandler() {
  char line[16];
  std::snprintf(line, sizeof line, "%d", kLineTerminate);
  try {
    NotifyExceptionOnce(kSourceModule, line);
  } catch (...) {
  }
  std::abort();
}

}  // namespace

// The static-constructor table: every MVN_STATIC_INIT entry linked into this
// deliverable lands in the section "mvn_sinit"; the linker provides its
// bounds. Weak, because a deliverable may have no static objects at all, and
// hidden, so each deliverable runs only its own table.
extern "C" {
extern PFV __start_mvn_sinit[] __attribute__((weak, visibility("hidden")));
extern PFV __stop_mvn_sinit[] __attribute__((weak, visibility("hidden")));
}

CXXHEAP* g_pXXHeap = nullptr;

// ---------------------------------------------------------------------------
// CXXHEAP

void* CXXHEAP::Alloc(DWORD flags, SIZE_T size, void* oldBlock) {
  if (oldBlock) return HeapReAlloc(s_heap, flags, oldBlock, size);
  return HeapAlloc(s_heap, flags, size);
}

void* CXXHEAP::AllocZero(SIZE_T size, void* oldBlock) {
  return Alloc(HEAP_ZERO_MEMORY | HEAP_GENERATE_EXCEPTIONS, size, oldBlock);
}

SIZE_T CXXHEAP::Size(void* block) {
  if (!block) return 0;
  SIZE_T size = HeapSize(s_heap, 0, block);
  if (size == static_cast<SIZE_T>(-1)) RaiseLibraryError(kSourceModule, kLineHeapSize);
  return size;
}

void CXXHEAP::Free(void* block) {
  if (!block) return;
  if (!HeapFree(s_heap, 0, block)) RaiseLibraryError(kSourceModule, kLineHeapFree);
}

void CXXHEAP::Report(void*, NOTIFYEXPANDER, void*, DWORD, const char*, const char*, const char*) {
  LibraryPureCall();
}

void CXXHEAP::Notify(DWORD, const char*, const char*, const char*) { LibraryPureCall(); }

void CXXHEAP::StartLibrary(CXXHEAP* object, HMODULE module) {
  s_heap = HeapCreate(HEAP_GENERATE_EXCEPTIONS, kInitialHeapSize, 0);
  g_pXXHeap = object;
  s_module = module;
  s_previousTerminate = std::set_terminate(&TerminateHandler);
  // C++ initialisers of the run-time library were run by the loader; what is
  // left is the library's own table, in link order.
  RunFunctionTable(__start_mvn_sinit, __stop_mvn_sinit);
}

void CXXHEAP::EndLibrary() {
  RunExitFunctions();
  // Give the terminate handler back only when it is still ours: a module's
  // handler must not stay installed once the module is unloaded.
  if (std::get_terminate() == &TerminateHandler) std::set_terminate(s_previousTerminate);
  s_previousTerminate = nullptr;
  if (s_heap) HeapDestroy(s_heap);
  s_heap = nullptr;
}

HANDLE CXXHEAP::HeapHandle() { return s_heap; }

HMODULE CXXHEAP::ModuleHandle() { return s_module; }

// ---------------------------------------------------------------------------
// Exit list and function tables

int AddExitFunction(PFV function) {
  if (s_exitCount == s_exitCapacity) {
    DWORD capacity = s_exitCapacity + kExitListGrowth;
    SIZE_T bytes = static_cast<SIZE_T>(capacity) * sizeof(PFV);
    void* list = s_exitList ? HeapReAlloc(s_heap, 0, s_exitList, bytes) : HeapAlloc(s_heap, 0, bytes);
    // The heap was created to raise on failure; stay safe if it returns.
    if (!list) RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    s_exitList = static_cast<PFV*>(list);
    s_exitCapacity = capacity;
  }
  s_exitList[s_exitCount++] = function;
  return 0;
}

void RunExitFunctions() {
  // Last added, first called; a function may add further ones while it runs.
  while (s_exitCount > 0) {
    PFV function = s_exitList[--s_exitCount];
    if (function) function();
  }
  if (s_exitList) HeapFree(s_heap, 0, s_exitList);
  s_exitList = nullptr;
  s_exitCapacity = 0;
}

void RunFunctionTable(PFV* first, PFV* end) {
  if (!first || !end) return;
  for (PFV* entry = first; entry < end; ++entry) {
    if (*entry) (*entry)();
  }
}

DWORD ExitListCapacity() { return s_exitCapacity; }

// ---------------------------------------------------------------------------
// Library exception

void RaiseLibraryError(const char* sourceModule, int line) {
  if (!s_exceptionNotified) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", line);
    NotifyExceptionOnce(sourceModule, number);
  }
  RaiseException(LIBRARY_EXCEPTION_CODE, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void LibraryPureCall() { RaiseLibraryError(kSourceModule, kLinePureCall); }

void FreeMemory(void* block) { g_pXXHeap->Free(block); }

// ---------------------------------------------------------------------------
// CWIN32ERROR

bool CWIN32ERROR::Report(const char* operation, const char* detail) {
  // Taken first: building the texts below may touch the last error.
  DWORD code = GetLastError();
  if (!m_enabled) return false;
  CTEXTBUF256 where;
  if (m_className)
    where.Join3(m_className, "::", operation);
  else
    where.Assign(operation);
  if (GetSystemText(code, &m_message)) {
    g_pXXHeap->Notify(NOTIFY_WIN32ERROR, where.Text(), detail ? detail : operation, m_message.Text());
  }
  // The caller may still name the failure itself.
  SetLastError(code);
  return false;
}

bool CWIN32ERROR::GetSystemText(DWORD code, CTEXT* destination) {
  destination->Assign(nullptr);
  char text[kSystemTextSize];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, kSystemTextSize, nullptr);
  if (length == 0) return false;
  if (length >= kSystemTextSize) length = kSystemTextSize - 1;
  text[length] = '\0';
  // Each non-empty line followed by one blank.
  char* cursor = text;
  while (char* line = StrToken(&cursor, "\r\n")) {
    if (!*line) continue;
    destination->Append2(line, " ");
  }
  return true;
}
