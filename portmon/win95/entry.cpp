// mvnmon95's two exports.
#include "portmon/win95/mvnmon95.h"

#define MVNMON95_EXPORT extern "C" __attribute__((visibility("default")))

MVNMON95_EXPORT BOOL DllEntryPoint(HINSTANCE instance, DWORD, LPVOID) {
  mvn::portmon95::SetInstance(instance);
  return TRUE;
}

MVNMON95_EXPORT BOOL InitializeMonitorEx(LPSTR pRegistryRoot, MONITOR95* pMonitor) {
  return mvn::portmon95::InitializeTable(pRegistryRoot, pMonitor);
}

static_assert(__is_same(decltype(&DllEntryPoint), PFN_DllEntryPoint95), "DllEntryPoint");
static_assert(__is_same(decltype(&InitializeMonitorEx), PFN_InitializeMonitorEx), "InitializeMonitorEx");
