// Loadable modules: LoadLibraryA, GetProcAddress and FreeLibrary over the
// dynamic loader (dlopen with RTLD_NOW | RTLD_LOCAL).
//
// Names: "\" counts as "/"; a name ending ".dll" (any case) loads the file
// of the same name ending ".so"; a name without extension gets ".so"; a
// trailing "." means "no extension". A name without "/" is looked for in
// the program's directory, the installed module folder beside it
// (bin/../lib/mvn), then in the current directory (each time the exact name
// first, then without case), then along the dynamic loader's own search
// path. Root never looks in its current directory.
//
// An HMODULE is an entry of the kernel's handle table (not the loader's
// pointer); loading the same object again gives the same handle, and the
// object is unloaded when FreeLibrary has been called once per load.
// GetModuleFileNameA and GetModuleHandleA know the loaded modules.
//
// Failures set the last error: ERROR_MOD_NOT_FOUND (no such file, or a
// dependency is missing), ERROR_BAD_EXE_FORMAT (not a loadable object),
// ERROR_PROC_NOT_FOUND (no such symbol), ERROR_INVALID_HANDLE. Until the
// last error is set again, FormatMessageA gives the loader's own text for
// that code.
#pragma once

#include <string>

#include "platform/kernel/win32.h"

// A generic function pointer; callers cast it to the export's real type
// (void (*)() is the type such casts are allowed from without a warning).
using FARPROC = void (*)();

HMODULE LoadLibraryA(LPCSTR fileName);
// The file LoadLibraryA loads for a name, when it is there: a name with "/"
// as it is turned into a file name, one without from the folders above (the
// loader's own search path left out); else "".
std::string ModuleFileOf(LPCSTR name);
// Exported symbols by name; ordinals are not supported.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
