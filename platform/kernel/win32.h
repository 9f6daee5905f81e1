// Win32-shaped kernel services implemented on POSIX.
//
// The system's code is written against the Win32 calls it needs; this header
// declares our own versions of exactly those calls, with our own types, and
// platform/kernel implements them on Linux. Conventions:
//   - text is UTF-8 ("ANSI" calls); wide text is char16_t;
//   - the path separator is "/" (a "\" in a path is taken as a separator too);
//   - the thread's last error holds Win32 error codes (see Win32ErrorFromErrno);
//   - a HANDLE is an entry of the process's handle table, never 0 and never
//     a file descriptor; INVALID_HANDLE_VALUE is returned where Win32 does.
//   - everything the substitute machine keeps lives below the root directory
//     named by MVN_ROOT (see MvnRootDirectory).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>

// ---------------------------------------------------------------------------
// Basic types
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using INT = int;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using DWORD_PTR = std::uintptr_t;
using WCHAR = char16_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using HANDLE = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HLOCAL = void*;
struct HWND__;
using HWND = HWND__*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
constexpr DWORD MAX_PATH = 260;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// ---------------------------------------------------------------------------
// Error codes (the Win32 numbers; only those the layers produce or test)
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_INVALID_LEVEL = 124;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTREAD = 1012;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_TIMEOUT = 1460;
// Further codes the kernel's errno mapping produces.
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SEEK_ON_DEVICE = 132;
constexpr DWORD ERROR_BAD_FILE_TYPE = 222;  // not a regular file
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_TOO_MANY_LINKS = 1142;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

DWORD GetLastError();
void SetLastError(DWORD code);

// Win32 error code for an errno value. For ENOENT the result depends on
// whether the path's parent directory exists (2 when it does, 3 when not);
// pass the path concerned, or nullptr when there is none.
DWORD Win32ErrorFromErrno(int err, const char* path = nullptr);
// SetLastError(Win32ErrorFromErrno(err, path)).
void SetLastErrorFromErrno(int err, const char* path = nullptr);

// ---------------------------------------------------------------------------
// Structured exceptions. RaiseException becomes a C++ exception of this type;
// code that must run while such an exception unwinds uses ordinary C++
// destructors or catch (...) and rethrow.
constexpr DWORD EXCEPTION_NONCONTINUABLE = 1;
constexpr DWORD STATUS_NO_MEMORY = 0xC0000017u;

class SystemException : public std::exception {
 public:
  SystemException(DWORD code, DWORD flags) noexcept : m_code(code), m_flags(flags) {}
  DWORD Code() const noexcept { return m_code; }
  DWORD Flags() const noexcept { return m_flags; }
  const char* what() const noexcept override;

 private:
  DWORD m_code;
  DWORD m_flags;
};

[[noreturn]] void RaiseException(DWORD code, DWORD flags, DWORD nArguments, const ULONG_PTR* arguments);

// ---------------------------------------------------------------------------
// Private heaps. Blocks are tracked per heap: HeapFree/HeapSize/HeapReAlloc of
// a block that is not (or no longer) in the heap fail with
// ERROR_INVALID_PARAMETER instead of touching it; HeapDestroy frees every
// block still allocated. HeapSize is the size asked for. All calls are
// serialised. With HEAP_GENERATE_EXCEPTIONS (given at HeapCreate or per call)
// an allocation failure raises STATUS_NO_MEMORY instead of returning nullptr.
constexpr DWORD HEAP_NO_SERIALIZE = 0x00000001;
constexpr DWORD HEAP_GENERATE_EXCEPTIONS = 0x00000004;
constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;
constexpr DWORD HEAP_REALLOC_IN_PLACE_ONLY = 0x00000010;

HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
BOOL HeapDestroy(HANDLE heap);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);
SIZE_T HeapSize(HANDLE heap, DWORD flags, LPCVOID block);  // (SIZE_T)-1 on failure
// Number of blocks currently allocated in the heap (for tests and diagnostics).
SIZE_T HeapBlockCount(HANDLE heap);

// ---------------------------------------------------------------------------
// Files
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
// Anything that is neither a directory nor a regular file (FIFO, socket,
// character or block device).
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x00000040;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x00000002;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};

// Share modes are kept as advisory locks between handles of this layer (also
// across processes): an open whose access or share mode conflicts with an
// open handle fails with ERROR_SHARING_VIOLATION. Opening a directory fails
// with ERROR_ACCESS_DENIED. CREATE_ALWAYS and OPEN_ALWAYS on an existing file
// succeed and set ERROR_ALREADY_EXISTS; otherwise the last error is cleared.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
// Transfers loop over short reads and writes; a read at the end gives TRUE
// with 0 bytes.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped);
BOOL CloseHandle(HANDLE object);
DWORD SetFilePointer(HANDLE file, LONG distanceLow, PLONG distanceHigh, DWORD moveMethod);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
DWORD GetFileAttributesA(LPCSTR name);
BOOL SetFileAttributesA(LPCSTR name, DWORD attributes);
BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryA(LPCSTR name);
BOOL DeleteFileA(LPCSTR name);
BOOL MoveFileA(LPCSTR existing, LPCSTR newName);
// With MOVEFILE_COPY_ALLOWED a move across file systems copies and deletes.
BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);
BOOL CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists);
// Purely lexical: relative names are joined to the current directory, "."
// and ".." components are resolved, "\" becomes "/". Returns the length
// without the NUL, or the size needed (with the NUL) when the buffer is too
// small, or 0 on failure.
DWORD GetFullPathNameA(LPCSTR name, DWORD bufferLength, LPSTR buffer, LPSTR* filePart);
DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR name);
// The calling user's private temporary directory below the root (mode 0700,
// created on demand), with a trailing "/". When MVN_TEMP names a directory,
// that directory instead (it must exist).
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);
// Creates <dir>/<prefix up to 3 bytes><hex>.TMP exclusively and returns the
// unique number; with unique != 0 only composes the name.
UINT GetTempFileNameA(LPCSTR pathName, LPCSTR prefix, UINT unique, LPSTR tempFileName);
// Case-insensitive wildcards ("*", "?"; "*.*" matches every name) over the
// last component; names are returned in byte order of their names; "." and
// ".." are returned as Win32 does.
HANDLE FindFirstFileA(LPCSTR fileName, WIN32_FIND_DATAA* findData);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* findData);
BOOL FindClose(HANDLE find);
// Searches the program's directory, the current directory, then PATH (or the
// given ";"/":"-separated list of directories).
DWORD SearchPathA(LPCSTR path, LPCSTR fileName, LPCSTR extension, DWORD bufferLength, LPSTR buffer,
                  LPSTR* filePart);

// Name lookup that tries the exact name first, then a case-insensitive match
// of the last component in its directory. Returns true and the path found.
bool FindPathIgnoringCase(const char* path, char* found, DWORD foundSize);

// ---------------------------------------------------------------------------
// Processes, modules, environment, system directories
LPSTR GetCommandLineA();
[[noreturn]] void ExitProcess(UINT exitCode);
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
// nullptr names the program; other handles are those of LoadLibraryA.
HMODULE GetModuleHandleA(LPCSTR moduleName);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
// The block "NAME=value\0NAME=value\0\0", freed with FreeEnvironmentStringsA.
LPSTR GetEnvironmentStringsA();
BOOL FreeEnvironmentStringsA(LPSTR block);
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
// <root>/windows and <root>/windows/system, created on demand.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
BOOL GetUserNameA(LPSTR buffer, LPDWORD size);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
void GetSystemTime(SYSTEMTIME* time);
void GetLocalTime(SYSTEMTIME* time);

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
// Waiting for a started process (the handles of CreateProcessA): returns
// WAIT_OBJECT_0 once it has ended, WAIT_TIMEOUT when milliseconds passed
// first, WAIT_FAILED for a handle that is no process. Its exit code is
// STILL_ACTIVE while it runs, then its exit status (128 + the signal number
// when a signal ended it).
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD STILL_ACTIVE = 259;
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCSTR currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);

// ---------------------------------------------------------------------------
// Critical sections (recursive)
struct CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);

// ---------------------------------------------------------------------------
// System texts and formatting
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
// FROM_SYSTEM only: the English text of a code this layer produces, ending
// in CR LF. An unknown code fails (0, ERROR_MR_MID_NOT_FOUND).
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

// The window-system formatter: %[-][0][width][.precision][h|l|I64](c|d|i|u|x|X|s),
// where h and l mean 16 and 32 bits as on Win32 ("%lu" takes a DWORD) and
// I64 means 64 bits; %s of nullptr gives "(null)". Writes at most 1024
// characters plus the NUL; returns the characters written.
int wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);

// ---------------------------------------------------------------------------
// Message boxes. Without a display backend a box is one line on stderr,
// "caption: text" (line breaks "|" and "\n" shown as " / "), also appended to
// the file named by MVN_MESSAGEBOX_LOG when set; it returns the default
// button at once.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONWARNING = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr UINT MB_DEFBUTTON2 = 0x00000100;
constexpr UINT MB_DEFBUTTON3 = 0x00000200;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TASKMODAL = 0x00002000;
constexpr UINT MB_SETFOREGROUND = 0x00010000;
constexpr UINT MB_TOPMOST = 0x00040000;
constexpr UINT MB_SERVICE_NOTIFICATION = 0x00200000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// A display backend (the dialogs layer) may take message boxes over.
using MessageBoxBackend = int (*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void SetMessageBoxBackend(MessageBoxBackend backend);

// ---------------------------------------------------------------------------
// The substitute machine's root directory: MVN_ROOT when set, else
// /var/lib/mvn when it exists (always, for root), else, for a user,
// $HOME/.local/state/mvn. Created on demand (root's /var/lib/mvn excepted).
// Root programs check it first (platform/kernel/rootsalone.h).
// The returned text has no trailing "/".
const char* MvnRootDirectory();
// Joins the root and a relative path ("registry/HKLM.db"), creating the
// directories on the way when createParents is true. Returns false when the
// result does not fit.
bool MvnRootPath(const char* relative, char* out, DWORD outSize, bool createParents);
// Says once per directory on standard error that a directory of the machine
// root could not be created, and why: "<program>: cannot create the
// directory <path>: <reason>". The layers call it when one of their own
// directories below the root cannot be made, so a root the user cannot
// write is named instead of failing silently.
void MvnReportRootDirectoryFailure(const char* path, int error);
