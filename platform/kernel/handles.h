// The process's handle table, shared by the substitute layers.
//
// Every kernel object (file, find scan, heap, mailslot, process...) is a
// KernelObject registered here; the HANDLE given out is a small non-zero
// number that never equals INVALID_HANDLE_VALUE and is never a file
// descriptor. ReadFile, WriteFile and CloseHandle dispatch to the object, so
// other layers (mailslots) plug in without the kernel knowing them.
#pragma once

#include <memory>

#include "platform/kernel/win32.h"

namespace mvn {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Defaults fail with ERROR_INVALID_HANDLE.
  virtual BOOL Read(void* buffer, DWORD toRead, DWORD* read);
  virtual BOOL Write(const void* buffer, DWORD toWrite, DWORD* written);
  // Called by CloseHandle before the entry is dropped; the object dies when
  // its last reference goes.
  virtual BOOL Close() { return TRUE; }
  // The file descriptor behind the object, or -1 (for layers that need the
  // descriptor of a file handle, e.g. to pass it to a child process).
  virtual int Descriptor() const { return -1; }
};

HANDLE HandleInsert(std::shared_ptr<KernelObject> object);
// nullptr (and ERROR_INVALID_HANDLE) when the handle is not in the table.
std::shared_ptr<KernelObject> HandleGet(HANDLE handle);
template <class T>
std::shared_ptr<T> HandleGetAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(HandleGet(handle));
}
// Removes the entry; false (and ERROR_INVALID_HANDLE) when there is none.
bool HandleRemove(HANDLE handle);

// CreateFileA hands names under a registered prefix (compared without case,
// "\" and "/" alike) to the opener of that prefix, e.g. "\\.\mailslot\".
using DeviceOpener = HANDLE (*)(const char* name, DWORD access, DWORD shareMode, DWORD creationDisposition,
                                DWORD flagsAndAttributes);
void RegisterDeviceNamespace(const char* prefix, DeviceOpener opener);

// A loaded module (the program itself, or a module of the module layer).
// GetModuleFileNameA gives Path() for such a handle.
class ModuleObject : public KernelObject {
 public:
  virtual const char* Path() const = 0;
};
// The module layer answers GetModuleHandleA for names other than the
// program's: the handle of a loaded module of that name, or nullptr.
using ModuleLookup = HMODULE (*)(const char* name);
void RegisterModuleLookup(ModuleLookup lookup);

// Sets the last error together with the text FormatMessageA gives for that
// code until the last error is set again (the module layer keeps the
// dynamic loader's own text this way).
void SetLastErrorDetail(DWORD code, const char* text);

}  // namespace mvn
