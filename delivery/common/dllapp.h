// The module side of the library: the application object of a delivery
// module and the entry the module's load and unload run.
//
// A module defines its application object once with MVN_DLL_APPLICATION
// (a class derived from CXXDLLAPP) and its load and unload hooks once with
// MVN_MODULE_ENTRY. At load ModuleDllEntry builds the object, starts this
// module's copy of the library on it (private heap, static objects) and
// calls ProcessAttach; at unload it calls ProcessDetach, destroys the static
// objects, the application object and the heap.
#pragma once

#include "delivery/exports.h"
#include "lib/cxxlib.h"
#include "platform/kernel/win32.h"

// Reasons of ModuleDllEntry.
constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;

// The heap object of a module. Its report does nothing: a module tells its
// host of a failure only through the results of its exports.
class CXXDLLAPP : public CXXHEAP {
 public:
  CXXDLLAPP() = default;

  // Slots 0-3 are the private heap's (CXXHEAP). Slot 4: nothing.
  void Report(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1, const char* p2,
              const char* p3) override;
  // Slot 5: hands the notification to Report, so nothing either.
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override;
  // Slot 6: at load, once the library runs. Nothing here.
  virtual void ProcessAttach();
  // Slot 7: at unload, before the library ends. Nothing here.
  virtual void ProcessDetach();
};

// Defined by MVN_DLL_APPLICATION: builds the module's application object in
// its static storage, gives it, and destroys it again.
CXXDLLAPP* MvnDllApplicationConstruct();
CXXDLLAPP* MvnDllApplicationObject();  // nullptr when not built
void MvnDllApplicationDestroy();

// The load and unload of the module. Always TRUE. Process attach: builds
// the application object, starts the library on it with the module handle,
// then ProcessAttach. Process detach: ProcessDetach, the exit list (static
// objects in reverse order), the application object, then the private heap.
// Thread attach and detach: nothing.
BOOL ModuleDllEntry(HMODULE module, DWORD reason, void* reserved);

// The module's own handle in this deliverable's handle table, found by an
// address inside the module (its path comes from the dynamic loader); the
// library's module handle then names the module's file, as GetModuleFileNameA
// shows. ForgetModuleHandle drops the entry again at unload.
HMODULE MakeModuleHandle(const void* addressInModule);
void ForgetModuleHandle(HMODULE module);

#define MVN_DLL_APPLICATION(type)                                          \
  static CSTATICOBJECT<type> mvn_dll_application_object;                   \
  CXXDLLAPP* MvnDllApplicationConstruct() {                                \
    return mvn_dll_application_object.Construct();                         \
  }                                                                        \
  CXXDLLAPP* MvnDllApplicationObject() {                                   \
    return mvn_dll_application_object.IsConstructed()                      \
               ? mvn_dll_application_object.Get()                          \
               : nullptr;                                                  \
  }                                                                        \
  void MvnDllApplicationDestroy() { mvn_dll_application_object.Destroy(); }

// The module's load and unload: the dynamic loader runs them when the host
// loads and unloads the module (a shared object's constructor and
// destructor functions stand for the process attach and detach).
#define MVN_MODULE_ENTRY()                                                    \
  __attribute__((constructor)) static void mvn_module_process_attach() {      \
    ModuleDllEntry(MakeModuleHandle(reinterpret_cast<const void*>(            \
                       &mvn_module_process_attach)),                          \
                   DLL_PROCESS_ATTACH, nullptr);                              \
  }                                                                           \
  __attribute__((destructor)) static void mvn_module_process_detach() {       \
    HMODULE module = CXXHEAP::ModuleHandle();                                 \
    ModuleDllEntry(module, DLL_PROCESS_DETACH, nullptr);                      \
    ForgetModuleHandle(module);                                               \
  }

// The five exports of a module whose operations are the functions
// Initialize, Terminate, Configure, SendFile and GetLastResult of namespace
// ns over its record type. No exception leaves an export (the host learns
// of a failure only from the results); Terminate gives a pointer-sized 0
// (the host takes the result as the new record). Each definition is checked
// against the contract's types.
#define MVN_DELIVERY_EXPORTS(ns, RECORD)                                       \
  DELIVERY_EXPORT void* Initialize(CCONFIG* config) {                          \
    try {                                                                      \
      return ns::Initialize(config);                                           \
    } catch (...) {                                                            \
      return nullptr;                                                          \
    }                                                                          \
  }                                                                            \
  DELIVERY_EXPORT void* Terminate(void* record) {                              \
    try {                                                                      \
      ns::Terminate(static_cast<RECORD*>(record));                             \
    } catch (...) {                                                            \
    }                                                                          \
    return nullptr;                                                            \
  }                                                                            \
  DELIVERY_EXPORT bool Configure(void* record, CCONFIG* config) {              \
    try {                                                                      \
      return ns::Configure(static_cast<RECORD*>(record), config);              \
    } catch (...) {                                                            \
      return false;                                                            \
    }                                                                          \
  }                                                                            \
  DELIVERY_EXPORT bool SendFile(void* record, const char* jobFile) {           \
    try {                                                                      \
      return ns::SendFile(static_cast<RECORD*>(record), jobFile);              \
    } catch (...) {                                                            \
      return false;                                                            \
    }                                                                          \
  }                                                                            \
  DELIVERY_EXPORT const char* GetLastResult(void* record) {                    \
    try {                                                                      \
      return ns::GetLastResult(static_cast<RECORD*>(record));                  \
    } catch (...) {                                                            \
      return nullptr;                                                          \
    }                                                                          \
  }                                                                            \
  DELIVERY_CHECK_EXPORTS()
