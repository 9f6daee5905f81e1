// UUIDs for the few RPC run-time calls the system makes: a new random UUID
// and its text form. Random numbers come from getrandom().
#pragma once

#include "platform/kernel/win32.h"

struct UUID {
  ULONG Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using RPC_STATUS = LONG;
using RPC_CSTR = unsigned char*;

constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
constexpr RPC_STATUS RPC_S_UUID_NO_ADDRESS = 1739;

// A version-4 (random) UUID with the RFC 4122 variant. RPC_S_UUID_NO_ADDRESS
// when the system gives no random bytes.
RPC_STATUS UuidCreate(UUID* uuid);
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower-case hexadecimal (36
// characters), allocated; free it with RpcStringFreeA.
RPC_STATUS UuidToStringA(const UUID* uuid, RPC_CSTR* text);
// Frees such a text and sets the pointer to nullptr.
RPC_STATUS RpcStringFreeA(RPC_CSTR* text);
