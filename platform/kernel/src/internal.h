// Helpers shared by the kernel's source files (not part of the interface).
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/kernel/handles.h"
#include "platform/kernel/win32.h"

namespace mvn::kernel {

// The path with every "\" turned into "/" (nullptr gives "").
std::string NativePath(const char* name);

// Whether a file name can name anything: nullptr is ERROR_INVALID_PARAMETER,
// the empty name ERROR_PATH_NOT_FOUND (the last error is set).
bool CheckName(const char* name);

// True when the directory that would hold path exists.
bool ParentDirectoryExists(const std::string& path);

// Sets the last error from errno (or the given value) for the path concerned.
void SetErrorFromErrno(int err, const std::string& path);

// Win32 file attributes of a stat result.
DWORD AttributesFromStat(const struct stat& st);

// Seconds and nanoseconds since 1970 as a FILETIME (100 ns since 1601).
FILETIME FileTimeFromTimespec(const struct timespec& ts);

// The creation time of an open file: its birth time where the file system
// records one, else the earlier of the change and modification times.
struct timespec CreationTime(int fd, const struct stat& st);

// Copies text into a caller's buffer with the Win32 size conventions: the
// length without the NUL when it fits, else the size needed with the NUL
// (the buffer is then left alone).
DWORD CopyOut(const std::string& text, char* buffer, DWORD bufferLength);

// ASCII case-insensitive comparison.
bool EqualsIgnoringCase(const std::string& a, const std::string& b);
char AsciiLower(char c);

// Creates a directory and its missing parents (mode 0777 less the umask).
// Returns 0 or a Win32 error code; on failure *failed (when given) names the
// directory that could not be made and *failedErrno says why.
DWORD CreateDirectories(const std::string& path, std::string* failed = nullptr, int* failedErrno = nullptr);

// The machine root MvnRootDirectory gives, without making it.
std::string MvnChosenRootDirectory();

// The program's real path (/proc/self/exe).
const std::string& ProgramPath();

// Removes a handle-table entry and returns its object when accept() says
// yes; nullptr (ERROR_INVALID_HANDLE) when there is no such handle or the
// object refuses.
std::shared_ptr<KernelObject> HandleTake(HANDLE handle, bool (*accept)(KernelObject*));

// The opener registered for the longest device prefix of name, or nullptr.
DeviceOpener FindDeviceOpener(const char* name);

// CreateFileA without the unused arguments.
HANDLE OpenFile(const char* name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flagsAndAttributes);

// The lexical full path of a name (see GetFullPathNameA; "" for a relative
// name when the current directory cannot be read) and the current directory
// ("" when it cannot be read).
std::string FullPath(const std::string& name);
std::string CurrentDirectory();

// Kinds of handle that CloseHandle refuses (they have calls of their own).
bool IsHeapObject(KernelObject* object);
bool IsFindObject(KernelObject* object);

// The private heap that LocalFree and FormatMessageA's allocated buffers use.
HANDLE LocalHeap();

// Objects of the kernel that must live as long as any code of this copy of
// the kernel can run: a module's own start and end code runs after C++ static
// destructors at process exit, so these are never destroyed by them. They are
// freed by a late destructor of this copy instead (at exit, or when the
// module holding this copy is unloaded), so an unloaded module leaks nothing.
void AtKernelEnd(void (*release)(void*), void* object);
template <class T>
T* KeepUntilKernelEnd(T* object) {
  AtKernelEnd([](void* p) { delete static_cast<T*>(p); }, object);
  return object;
}

}  // namespace mvn::kernel
