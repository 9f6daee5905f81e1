// Paths, files and directory scans.
//
// CPATH is a path held as the CTEXT it derives from (the object's text IS
// the path) followed by a Win32 failure reporter with the class name
// "CPATH". CFILE adds the open handle and eight virtual operations after the
// four CTEXT slots, so its table reads: 0-3 the CTEXT slots of the path,
// 4 SetPos, 5 Open, 6 Close, 7 GetSize, 8 SetSize, 9 Flush, 10 Read,
// 11 Write. The buffered files (lib/bufferedfile.h) override these.
// CFINDFILE lists the plain files of one directory that match a mask.
//
// The native separator is "/". Operations that cut at a separator accept
// "\" as well; operations that compose a path put "/" in.
#pragma once

#include "lib/cxxlib.h"
#include "lib/text.h"
#include "platform/kernel/win32.h"

class CPATH : public CTEXT {
 public:
  CPATH() : m_error("CPATH") {}
  explicit CPATH(const char* text) : m_error("CPATH") { Assign(text); }
  CPATH(const CPATH&) = delete;
  CPATH& operator=(const CPATH&) = delete;

  // Assigns the path; returns it.
  const char* Set(const char* text);
  const char* GetPath() const { return Text(); }
  // path := directory, "/" and name.
  void SetDirAndName(const char* directory, const char* name);

  // path := the process's current directory.
  bool GetCurrentDirectory();
  // Makes the path the current directory (an empty path fails too).
  bool SetCurrentDirectory();
  // Creates the directory and every missing parent; true when it exists
  // as a directory afterwards.
  bool CreateDirectory();
  bool RemoveDirectory();
  bool IsDirectory() const;
  // A regular file, or a symbolic link to one (FIFOs, sockets and devices
  // are not files here).
  bool IsFile() const;
  bool DeleteFile();
  // path := the file found along the given search directories (";" or ":"
  // separated) or, with nullptr, along the system's search order.
  bool SearchPath(const char* searchDirectories);
  bool GetFullPathName();
  // "\x", "/x" and "C:\x" are absolute; "C:x", "x" and "" are not.
  bool IsAbsolute() const;
  bool IsRelative() const { return !IsAbsolute(); }
  // Cuts the path at its last "/" or "\"; false when it has none.
  bool CutLastPart();
  // Moves the file into the directory under its own name, or under a new
  // unique "MVN" temporary name when that name is taken; the path then
  // names the new place. Never replaces or deletes a file it did not create.
  bool MoveToUnique(const char* directory);
  // path := the temporary directory without trailing separators.
  bool SetTempDirectory();
  // path := a new empty, uniquely named file with the prefix "MVN" in the
  // directory (nullptr: the temporary directory). On failure the path is
  // empty and the result false.
  bool SetTempFileName(const char* directory);
  // The file-name part: after the last "\" or "/", else the whole path.
  const char* GetName() const;
  // After the last "." of the file-name part; nullptr when it has none.
  const char* GetExtension() const;
  // Replaces the file-name part; nullptr also cuts the separator before it.
  void SetName(const char* name);
  // Replaces (or with nullptr removes) the extension; returns GetExtension.
  const char* SetExtension(const char* extension);

  CWIN32ERROR m_error;
};

// MoveFileEx replacing the target and allowing a copy; when the system has
// no such call, MoveFile, then CopyFile (overwriting) and DeleteFile of the
// old name. Reports nothing.
bool MoveFileWithFallback(const char* existingName, const char* newName);

// Returned by the SetPos slots when the position cannot be read or moved.
constexpr ULONGLONG INVALID_FILE_POSITION = ~0ull;

class CFILE : public CPATH {
 public:
  CFILE() : m_handle(nullptr) {}
  explicit CFILE(const char* path) : CPATH(path), m_handle(nullptr) {}
  ~CFILE();  // closes the handle (not virtual: CTEXT has none)

  // Slot 4: SetFilePointer; a closed file gives 0, a failure
  // INVALID_FILE_POSITION (reported as "SetPos", "SetFilePointer").
  virtual ULONGLONG SetPos(DWORD moveMethod, LONGLONG distance);
  // Slot 5: CreateFile on the path; a file already open is a library fault.
  virtual bool Open(DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                    DWORD flagsAndAttributes, HANDLE templateFile);
  // Opens an existing regular file for reading without blocking on what is
  // not one (non-virtual: the slot table stays as it is). False, with the
  // last error ERROR_BAD_FILE_TYPE for a FIFO, socket or device.
  bool OpenRegular(DWORD shareMode);
  // Slot 6: closes the handle when open; true.
  virtual bool Close();
  // Slot 7: the file's size; of the named file when closed; 0 when unknown.
  virtual ULONGLONG GetSize();
  // Slot 8: moves to size through slot 4 and ends the file there (size 0
  // truncates); a closed file gives false.
  virtual bool SetSize(ULONGLONG size);
  // Slot 9: FlushFileBuffers; a closed file gives false.
  virtual bool Flush();
  // Slots 10 and 11: with an out count the platform call's result; without,
  // true only when exactly count bytes were transferred.
  virtual bool Read(void* buffer, DWORD count, DWORD* transferred);
  virtual bool Write(const void* buffer, DWORD count, DWORD* transferred);

  bool IsOpen() const { return m_handle != nullptr; }
  HANDLE Handle() const { return m_handle; }

  HANDLE m_handle;  // nullptr when closed
};

struct CPATHLayout {
  static constexpr std::size_t error = MVN_OFFSETOF(CPATH, m_error);
  static constexpr std::size_t handle = MVN_OFFSETOF(CFILE, m_handle);
};
static_assert(CPATHLayout::error == sizeof(CTEXT), "CPATH: the reporter follows the path text");
static_assert(CPATHLayout::handle == sizeof(CPATH), "CFILE: the handle follows the path part");

class CFINDFILE {
 public:
  CFINDFILE() : m_dirLength(0), m_find(nullptr), m_data(), m_count(0) {}
  ~CFINDFILE() { Close(); }
  CFINDFILE(const CFINDFILE&) = delete;
  CFINDFILE& operator=(const CFINDFILE&) = delete;

  // Closes a running scan and prepares one over directory/mask.
  bool Start(const char* directory, const char* mask);
  // The full path of the next plain file; false when there is none.
  bool Next(CTEXT* path);
  // Ends the scan; Next gives false until the next Start.
  void Close();
  // Files returned since Start.
  DWORD Count() const { return m_count; }

 private:
  bool Advance();

  CPATH m_path;
  DWORD m_dirLength;
  HANDLE m_find;
  WIN32_FIND_DATAA m_data;
  DWORD m_count;
};
