// A loadable module with its own copy of the library: its own private heap,
// heap object and static objects. It makes strings and lists for the host to
// fill and reports what its heap holds.
#include <new>

#include "lib/cxxlib.h"
#include "lib/stringlist.h"

#define XM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The module's heap object; like a delivery module's, it shows nothing.
class ModuleHeap : public CXXHEAP {
 public:
  void Report(void*, NOTIFYEXPANDER, void*, DWORD, const char*, const char*, const char*) override {}
  void Notify(DWORD, const char*, const char*, const char*) override {}
};

CSTATICOBJECT<ModuleHeap> s_heap;

// A static object of the module, built by the module's own table.
MVN_STATIC_OBJECT(CSTRINGLIST, s_pool);

// Started when the module is loaded and ended when it is unloaded, as a
// module's entry does on process attach and detach.
__attribute__((constructor)) void ModuleAttach() {
  CXXHEAP::StartLibrary(s_heap.Get(), nullptr);
  s_heap.Construct();
  s_pool->Add("NIL");
}

__attribute__((destructor)) void ModuleDetach() {
  CXXHEAP::EndLibrary();
  s_heap.Destroy();
}

template <class T>
T* Make() {
  return new (g_pXXHeap->AllocZero(sizeof(T), nullptr)) T();
}

template <class T>
void Unmake(T* object) {
  object->~T();
  g_pXXHeap->Free(object);
}

}  // namespace

XM_EXPORT CTEXT* xm_CreateText() { return Make<CTEXTBUF16>(); }

XM_EXPORT void xm_DestroyText(CTEXT* text) { Unmake(static_cast<CTEXTBUF16*>(text)); }

XM_EXPORT CSTRINGLIST* xm_CreateList() { return Make<CSTRINGLIST>(); }

XM_EXPORT void xm_DestroyList(CSTRINGLIST* list) { Unmake(list); }

XM_EXPORT SIZE_T xm_HeapBlockCount() { return HeapBlockCount(CXXHEAP::HeapHandle()); }

// Whether the module's static object was built (and pooled "NIL" at 0).
XM_EXPORT bool xm_StaticObjectReady() { return s_pool.IsConstructed() && s_pool->Count() == 1; }
