// The module's application object and its load and unload.
#include "delivery/common/dllapp.h"

#include <dlfcn.h>

#include <memory>
#include <string>

#include "platform/kernel/handles.h"

void CXXDLLAPP::Report(void*, NOTIFYEXPANDER, void*, DWORD, const char*, const char*, const char*) {}

void CXXDLLAPP::Notify(DWORD id, const char* p1, const char* p2, const char* p3) {
  Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
}

void CXXDLLAPP::ProcessAttach() {}

void CXXDLLAPP::ProcessDetach() {}

namespace {

// The module itself as an entry of its own handle table.
class SelfModule : public mvn::ModuleObject {
 public:
  explicit SelfModule(std::string path) : m_path(std::move(path)) {}
  const char* Path() const override { return m_path.c_str(); }

 private:
  std::string m_path;
};

// Nothing may leave the loader's call of the load and unload hooks.
template <class F>
void Guarded(F&& step) {
  try {
    step();
  } catch (...) {
  }
}

}  // namespace

HMODULE MakeModuleHandle(const void* addressInModule) {
  Dl_info info{};
  std::string path;
  if (dladdr(addressInModule, &info) && info.dli_fname) path = info.dli_fname;
  HMODULE module = nullptr;
  Guarded([&] { module = mvn::HandleInsert(std::make_shared<SelfModule>(path)); });
  return module;
}

void ForgetModuleHandle(HMODULE module) {
  if (module) mvn::HandleRemove(module);
}

BOOL ModuleDllEntry(HMODULE module, DWORD reason, void*) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      // The object is built before the library runs its table, so every
      // static object built there already allocates through a whole object.
      CXXDLLAPP* app = MvnDllApplicationConstruct();
      Guarded([&] { CXXHEAP::StartLibrary(app, module); });
      Guarded([&] { app->ProcessAttach(); });
      break;
    }
    case DLL_PROCESS_DETACH: {
      CXXDLLAPP* app = MvnDllApplicationObject();
      if (!app) break;
      Guarded([&] { app->ProcessDetach(); });
      // Static objects first (last built, first destroyed), then the
      // application object while its heap is still there, then the heap.
      Guarded([] { RunExitFunctions(); });
      Guarded([] { MvnDllApplicationDestroy(); });
      Guarded([] { CXXHEAP::EndLibrary(); });
      break;
    }
    default:
      break;
  }
  return TRUE;
}
