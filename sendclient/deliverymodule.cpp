// The delivery module host.
#include "sendclient/deliverymodule.h"

#include "lib/cxxapp.h"
#include "lib/notify.h"

#include <cstring>

namespace {

NOTIFYDEF s_deliveryTable[] = {
    {NOTIFY_DELIVERY_INITIALIZE, "NOTIFY_DELIVERY_INITIALIZE", 0, 0, 0, 0},
    {NOTIFY_DELIVERY_TERMINATE, "NOTIFY_DELIVERY_TERMINATE", 0, 0, 0, 0},
    {NOTIFY_DELIVERY_CONFIGURE, "NOTIFY_DELIVERY_CONFIGURE", 0, 0, 0, 0},
    {NOTIFY_DELIVERY_SENDFILE, "NOTIFY_DELIVERY_SENDFILE", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};
MVN_STATIC_OBJECT(CNOTIFYSOURCE, s_sourceDELIVERYMODULE, "DELIVERYMODULE", s_deliveryTable);

bool EndsWithIgnoringCase(const char* text, const char* suffix) {
  const DWORD length = StrLenTo(text, '\0', nullptr);
  const DWORD n = StrLenTo(suffix, '\0', nullptr);
  return length >= n && StrICmp(text + length - n, suffix, n) == 0;
}

// Loadable module files: "dll" in configurations written for Win32, "so"
// as they are built here.
bool IsModuleExtension(const char* extension) {
  return extension && (StrICmp(extension, "DLL", 0) == 0 || StrICmp(extension, "SO", 0) == 0);
}

#ifndef MVN_MODULEDIR_FROM_PROGRAM
#define MVN_MODULEDIR_FROM_PROGRAM "../lib/mvn"
#endif

// A bare module name that the search path does not find is looked for in
// the installed module folder beside the program's folder
// (<prefix>/bin/../lib/mvn), so "DeliveryModule=dlvlocal.dll" works in an
// installed system.
bool FindInModuleFolder(CPATH* candidate) {
  const char* name = candidate->Text();
  if (!name || !*name || StrChr(name, '/') || StrChr(name, '\\')) return false;
  char folder[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  char* slash = StrRChr(folder, '/');
  if (!slash) return false;
  const char kRelative[] = "/" MVN_MODULEDIR_FROM_PROGRAM;
  if (static_cast<DWORD>(slash - folder) + sizeof kRelative > MAX_PATH) return false;
  std::memcpy(slash, kRelative, sizeof kRelative);
  return candidate->SearchPath(folder);
}

template <class T>
T Bind(HMODULE module, const char* name) {
  return reinterpret_cast<T>(GetProcAddress(module, name));
}

}  // namespace

CDELIVERYMODULE::CDELIVERYMODULE()
    : m_initialize(nullptr),
      m_terminate(nullptr),
      m_configure(nullptr),
      m_sendFile(nullptr),
      m_getLastResult(nullptr),
      m_module(nullptr),
      m_record(nullptr),
      m_sendFailed(false),
      m_initializeCalled(false) {}

bool CDELIVERYMODULE::ReadModulePath(CCONFIG* config) {
  CXXAPP* app = CXXAPP::Application();
  CPATH path;
  if (!app->GetConfigString(true, config, "DeliveryModule", &path)) return false;
  // Resolves one candidate as the library's GetConfigFile does.
  // Every lookup ignores case, as files of the machine root are found, so
  // "DLVLOCAL.DLL" of a configuration written elsewhere finds dlvlocal.so.
  auto resolve = [](CPATH* candidate, bool report) {
    if (!candidate->IsRelative() || candidate->Text()[0] == '.') {
      if (candidate->IsRelative()) candidate->GetFullPathName();
      char found[4 * MAX_PATH];
      if (FindPathIgnoringCase(candidate->Text(), found, sizeof found)) candidate->Set(found);
      return;
    }
    CPATH found(candidate->Text());
    found.m_error.m_enabled = 0;
    CPATH installed(candidate->Text());
    installed.m_error.m_enabled = 0;
    if (found.SearchPath(nullptr)) {
      candidate->Set(found.Text());
    } else if (FindInModuleFolder(&installed)) {
      candidate->Set(installed.Text());
    } else {
      if (report) {  // the search again, to report why it failed
        found.Set(candidate->Text());
        found.m_error.m_enabled = 1;
        found.SearchPath(nullptr);
      }
      candidate->GetFullPathName();
    }
  };
  CPATH configured(path.Text());
  if (EndsWithIgnoringCase(path.Text(), ".dll")) {
    CPATH shared(path.Text());
    shared.SetExtension("so");
    resolve(&shared, false);
    resolve(&path, false);
    if (!path.IsFile() && shared.IsFile()) path.Set(shared.Text());
  } else {
    resolve(&path, true);
  }
  if (!path.IsFile()) {
    app->Notify(NOTIFY_CONFIGMISSINGFILE, config->SectionName(), "DeliveryModule", path.Text());
    return false;
  }
  m_path.Set(path.Text());
  return true;
}

bool CDELIVERYMODULE::Initialize(CCONFIG* config) {
  if (!ReadModulePath(config)) return false;
  if (!IsModuleExtension(m_path.GetExtension())) return true;

  if (!m_module) {
    HMODULE module = LoadLibraryA(m_path.Text());
    if (!module) return m_path.m_error.Report("Initialize", "LoadLibrary");
    m_module = module;
    if (!(m_initialize = Bind<DELIVERY_INITIALIZE>(module, "Initialize")))
      return m_path.m_error.Report("Initialize", "GetProcAddress(Initialize)");
    if (!(m_terminate = Bind<DELIVERY_TERMINATE>(module, "Terminate")))
      return m_path.m_error.Report("Initialize", "GetProcAddress(Terminate)");
    if (!(m_configure = Bind<DELIVERY_CONFIGURE>(module, "Configure")))
      return m_path.m_error.Report("Initialize", "GetProcAddress(Configure)");
    if (!(m_sendFile = Bind<DELIVERY_SENDFILE>(module, "SendFile")))
      return m_path.m_error.Report("Initialize", "GetProcAddress(SendFile)");
    if (!(m_getLastResult = Bind<DELIVERY_GETLASTRESULT>(module, "GetLastResult")))
      return m_path.m_error.Report("Initialize", "GetProcAddress(GetLastResult)");
  }
  // A module that lost an export on the way stays unusable.
  if (!m_initialize || !m_terminate || !m_configure || !m_sendFile || !m_getLastResult) return false;

  m_initializeCalled = true;
  m_record = m_initialize(config);
  if (!m_record) {
    g_pXXHeap->Notify(NOTIFY_DELIVERY_INITIALIZE, config->SectionName(), nullptr, nullptr);
    return false;
  }
  m_sendFailed = false;
  return true;
}

bool CDELIVERYMODULE::Configure(CCONFIG* config) {
  if (!m_configure) return false;
  if (m_configure(m_record, config)) return true;
  g_pXXHeap->Notify(NOTIFY_DELIVERY_CONFIGURE, config->SectionName(), nullptr, nullptr);
  return false;
}

bool CDELIVERYMODULE::SendFile(const char* jobFile) {
  if (!m_sendFile) return false;
  if (m_sendFile(m_record, jobFile)) return true;
  m_sendFailed = true;
  return false;
}

const char* CDELIVERYMODULE::GetLastResult() {
  if (!m_getLastResult) return nullptr;
  return m_getLastResult(m_record);
}

bool CDELIVERYMODULE::Terminate() {
  if (!m_terminate || !m_initializeCalled) return false;
  m_initializeCalled = false;
  m_record = m_terminate(m_record);
  if (m_record) g_pXXHeap->Notify(NOTIFY_DELIVERY_TERMINATE, nullptr, nullptr, nullptr);
  if (m_sendFailed && m_module) {
    HMODULE module = m_module;
    m_module = nullptr;
    m_initialize = nullptr;
    m_terminate = nullptr;
    m_configure = nullptr;
    m_sendFile = nullptr;
    m_getLastResult = nullptr;
    if (!FreeLibrary(module)) {
      CWIN32ERROR reporter(nullptr);
      reporter.Report("CDELIVERYMODULE::Terminate", "FreeLibrary");
    }
  }
  return true;
}
