// The registry, Win32-shaped, kept in SQLite databases below the root.
//
// Hives: HKEY_LOCAL_MACHINE is <root>/registry/HKLM.db (file 0600, directory
// 0755: machine-wide, its owner's alone; other users read the copy its
// writer publishes after each change, <root>/registry/HKLM.copy.db, 0644);
// HKEY_CURRENT_USER is <root>/registry/users/<user>/HKCU.db (file 0600 in a
// 0700 directory) for the user the process runs as. HKEY_CLASSES_ROOT is
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes; HKEY_USERS has one subkey per user
// hive (the user's name), each the root of that user's HKEY_CURRENT_USER.
//
// Key paths use "\" as separator; "/" is an ordinary character of a name.
// Key and value names compare without case (ASCII letters folded) and keep
// the spelling they were created with. Subkeys and values enumerate sorted
// by their folded names. Text is stored once, as UTF-8: the A calls see it as
// it is, the W calls as UTF-16 (char16_t), with byte counts that include the
// terminators. REG_SZ and REG_EXPAND_SZ end at their first NUL and always
// read back terminated; REG_MULTI_SZ is a list of strings each ending in a
// NUL, ended by an empty one, and reads back in that form whatever
// terminators it was set with; other types are kept byte for byte.
//
// Every call is one SQLite transaction, so several processes can use a hive
// at once (WAL mode, a busy timeout) and a crash never leaves a hive half
// written. The calls return their error code (LONG); they do not set the
// thread's last error. A handle to a key that is deleted (by any process)
// gives ERROR_KEY_DELETED on every later call but RegCloseKey.
#pragma once

#include "platform/kernel/win32.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003u)))

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights. A handle allows querying values with KEY_QUERY_VALUE,
// setting and deleting them with KEY_SET_VALUE, creating subkeys with
// KEY_CREATE_SUB_KEY and listing them with KEY_ENUMERATE_SUB_KEYS; other
// calls fail with ERROR_ACCESS_DENIED. Asking for a right that includes
// writing on a hive the process cannot write fails the open with
// ERROR_ACCESS_DENIED. The predefined keys allow everything.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;
constexpr REGSAM REG_MAXIMUM_ALLOWED = 0x02000000;  // treated as KEY_ALL_ACCESS

// RegCreateKeyEx options (accepted, no effect: every key is kept) and
// dispositions.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// A hive that cannot be read as one.
constexpr DWORD ERROR_BADDB = 1009;

// Opening and creating. subKey may name several levels ("a\b\c"); nullptr
// or "" opens the key itself again. RegCreateKeyEx creates every missing
// level; the disposition tells whether the last one was created. A path
// that begins with "\" or has an empty level fails with ERROR_BAD_PATHNAME.
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
// Shorthands with KEY_ALL_ACCESS.
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegCloseKey(HKEY key);
// Deletes subKey (a key without subkeys, with its values; ERROR_ACCESS_DENIED
// when it has subkeys). "" deletes the key itself; predefined keys cannot be
// deleted.
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// No-op: every call is already durable.
LONG RegFlushKey(HKEY key);

// Enumeration by index in sorted order; ERROR_NO_MORE_ITEMS past the end.
// Name counts are in characters (bytes for A, UTF-16 units for W): in, the
// buffer's size including the NUL; out on success, the name's length
// without it. A name that does not fit gives ERROR_MORE_DATA and leaves the
// count as it was.
LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize);
LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR keyClass,
                   LPDWORD classSize, FILETIME* lastWriteTime);
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPWSTR keyClass,
                   LPDWORD classSize, FILETIME* lastWriteTime);
// type and data are optional. Data that does not fit gives ERROR_MORE_DATA
// with the name filled in and *dataSize the size needed.
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataSize);
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataSize);

// Values. nullptr or "" names the key's default value. A missing value gives
// ERROR_FILE_NOT_FOUND. Without data the size is reported; data that does
// not fit gives ERROR_MORE_DATA and the size needed in *dataSize.
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegDeleteValueW(HKEY key, LPCWSTR name);
// The default value of subKey (or of the key itself) as text; a key
// without a default value gives "". dataSize in bytes, like
// RegQueryValueExA; a default value that is no text gives ERROR_INVALID_DATA.
LONG RegQueryValueA(HKEY key, LPCSTR subKey, LPSTR data, PLONG dataSize);

// Counts and maximum lengths (characters without the NUL for names, bytes
// as RegQueryValueExA sees them for data). Classes, security descriptors and
// times are not kept: they read as empty and zero. Every pointer is optional.
LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                      LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptorSize,
                      FILETIME* lastWriteTime);
