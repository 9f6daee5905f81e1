// The delivery module host: loads the module named by DeliveryModule, binds
// its five exports by name and calls them (notification source
// DELIVERYMODULE).
#pragma once

#include "delivery/exports.h"
#include "lib/config.h"
#include "lib/pathfile.h"
#include "platform/module/module.h"

// Notifications of source DELIVERYMODULE.
constexpr DWORD NOTIFY_DELIVERY_INITIALIZE = 0x10701;
constexpr DWORD NOTIFY_DELIVERY_TERMINATE = 0x10702;
constexpr DWORD NOTIFY_DELIVERY_CONFIGURE = 0x10703;
constexpr DWORD NOTIFY_DELIVERY_SENDFILE = 0x10704;


class CDELIVERYMODULE {
 public:
  CDELIVERYMODULE();
  ~CDELIVERYMODULE() = default;
  CDELIVERYMODULE(const CDELIVERYMODULE&) = delete;
  CDELIVERYMODULE& operator=(const CDELIVERYMODULE&) = delete;

  // Reads DeliveryModule, loads and binds the module once, and calls its
  // Initialize with the open configuration. A file whose extension is not
  // "dll" or "so" is not loaded: initialisation succeeds with nothing bound.
  bool Initialize(CCONFIG* config);
  bool Configure(CCONFIG* config);
  bool SendFile(const char* jobFile);
  const char* GetLastResult();
  // Calls Terminate (only for a module whose Initialize was called) and
  // unloads the module when a send failed.
  bool Terminate();

  bool IsLoaded() const { return m_module != nullptr; }
  bool SendFailed() const { return m_sendFailed; }
  const char* ModulePath() const { return m_path.Text(); }

 private:
  // The DeliveryModule file as CXXAPP::GetConfigFile resolves it, with one
  // addition: a name ending ".dll" that names no file stands for the file of
  // the same name ending ".so".
  bool ReadModulePath(CCONFIG* config);

  CPATH m_path;
  DELIVERY_INITIALIZE m_initialize;
  DELIVERY_TERMINATE m_terminate;
  DELIVERY_CONFIGURE m_configure;
  DELIVERY_SENDFILE m_sendFile;
  DELIVERY_GETLASTRESULT m_getLastResult;
  HMODULE m_module;
  void* m_record;
  bool m_sendFailed;
  bool m_initializeCalled;
};
