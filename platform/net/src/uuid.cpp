// UUIDs from getrandom().
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/net/rpc.h"

RPC_STATUS UuidCreate(UUID* uuid) {
  if (!uuid) return RPC_S_INVALID_ARG;
  BYTE bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return RPC_S_UUID_NO_ADDRESS;
    }
    filled += static_cast<std::size_t>(n);
  }
  uuid->Data1 = (ULONG{bytes[0]} << 24) | (ULONG{bytes[1]} << 16) | (ULONG{bytes[2]} << 8) | bytes[3];
  uuid->Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  // Version 4 in the top four bits of the third group.
  uuid->Data3 = static_cast<WORD>((((bytes[6] << 8) | bytes[7]) & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) uuid->Data4[i] = bytes[8 + i];
  // Variant 10xx.
  uuid->Data4[0] = static_cast<BYTE>((uuid->Data4[0] & 0x3F) | 0x80);
  return RPC_S_OK;
}

RPC_STATUS UuidToStringA(const UUID* uuid, RPC_CSTR* text) {
  if (!uuid || !text) return RPC_S_INVALID_ARG;
  char* out = new (std::nothrow) char[37];
  if (!out) return RPC_S_OUT_OF_MEMORY;
  std::snprintf(out, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(uuid->Data1),
                uuid->Data2, uuid->Data3, uuid->Data4[0], uuid->Data4[1], uuid->Data4[2], uuid->Data4[3],
                uuid->Data4[4], uuid->Data4[5], uuid->Data4[6], uuid->Data4[7]);
  *text = reinterpret_cast<RPC_CSTR>(out);
  return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* text) {
  if (!text) return RPC_S_INVALID_ARG;
  delete[] reinterpret_cast<char*>(*text);
  *text = nullptr;
  return RPC_S_OK;
}
