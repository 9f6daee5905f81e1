// The contract between the send client and every delivery module: the five
// exports a module provides (C linkage) and the function types the host
// binds them as. The host and each module include this header; each module
// checks its own definitions against the types at compile time with
// DELIVERY_CHECK_EXPORTS, so a mismatch is a build error, never a call
// through the wrong type.
#pragma once

class CCONFIG;

#define DELIVERY_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
// Initialize gives the module record (opaque to the host) or null.
using DELIVERY_INITIALIZE = void* (*)(CCONFIG* config);
// Terminate gives 0 or a new record (pointer-sized).
using DELIVERY_TERMINATE = void* (*)(void* record);
using DELIVERY_CONFIGURE = bool (*)(void* record, CCONFIG* config);
using DELIVERY_SENDFILE = bool (*)(void* record, const char* jobFile);
using DELIVERY_GETLASTRESULT = const char* (*)(void* record);
}

// The names the host binds, in the order it binds them.
inline constexpr const char* kDeliveryExportNames[] = {"Initialize", "Terminate", "Configure",
                                                       "SendFile", "GetLastResult"};

// Placed in a module after its five definitions.
#define DELIVERY_CHECK_EXPORTS()                                                             \
  static_assert(__is_same(decltype(&Initialize), DELIVERY_INITIALIZE), "Initialize");       \
  static_assert(__is_same(decltype(&Terminate), DELIVERY_TERMINATE), "Terminate");          \
  static_assert(__is_same(decltype(&Configure), DELIVERY_CONFIGURE), "Configure");          \
  static_assert(__is_same(decltype(&SendFile), DELIVERY_SENDFILE), "SendFile");             \
  static_assert(__is_same(decltype(&GetLastResult), DELIVERY_GETLASTRESULT), "GetLastResult")
