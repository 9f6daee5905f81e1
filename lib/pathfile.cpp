// Paths, files and directory scans (source module "PathAndFile").
#include "lib/pathfile.h"

#include "platform/kernel/regularfile.h"

#include <cstring>

namespace {

// The prefix of the temporary names this library makes.
MVN_STATIC_OBJECT(CTEXTBUF16, g_tempPrefix, "MVN");

// Room for any path the platform can give back.
constexpr DWORD kLongPath = 4096 + 64;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The last "/" or "\" of the text, or nullptr.
const char* LastSeparator(const char* text) { return StrRPBrk(text, "/\\"); }

// Truncates a text at the offset (which must lie within it).
void CutAt(CTEXT* text, DWORD offset) {
  if (text->Buffer()) text->Buffer()[offset] = '\0';
}

// Calls a platform query that writes into (size, buffer) and returns the
// length, the size it needs when the buffer is too small, or 0 on failure.
// The result goes to *out only on success.
template <class Query>
bool QueryText(CTEXT* out, Query query) {
  CTEXTBUF<MAX_PATH> buffer;
  DWORD size = buffer.Capacity();
  DWORD n = query(size, buffer.Buffer());
  if (n >= size) {
    buffer.Reserve(n + 1);
    size = buffer.Capacity();
    n = query(size, buffer.Buffer());
    if (n >= size) n = 0;  // grew again in between: give up
  }
  if (n == 0) return false;
  out->Assign(buffer.Text());
  return true;
}

// A move that never replaces an existing target: MoveFileEx allowing a
// copy; when the system has no such call, MoveFile, then CopyFile (failing
// when the target exists) and DeleteFile of the old name.
bool MoveFileNoReplace(const char* existingName, const char* newName) {
  if (MoveFileExA(existingName, newName, MOVEFILE_COPY_ALLOWED)) return true;
  if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  if (MoveFileA(existingName, newName)) return true;
  if (!CopyFileA(existingName, newName, TRUE)) return false;
  DeleteFileA(existingName);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// CPATH

const char* CPATH::Set(const char* text) {
  CTEXTBUF<MAX_PATH> copy(text);  // the text may lie in this object
  Assign(copy.Text());
  return Text();
}

void CPATH::SetDirAndName(const char* directory, const char* name) {
  CTEXTBUF<MAX_PATH> path;  // either argument may lie in this object
  path.Join3(directory, "/", name);
  Assign(path.Text());
}

bool CPATH::GetCurrentDirectory() {
  if (!QueryText(this, [](DWORD size, char* buffer) { return GetCurrentDirectoryA(size, buffer); }))
    return m_error.Report("GetCurrentDirectory", nullptr);
  return true;
}

bool CPATH::SetCurrentDirectory() {
  if (!SetCurrentDirectoryA(Text())) return m_error.Report("SetCurrentDirectory", Text());
  return true;
}

bool CPATH::CreateDirectory() {
  if (IsEmpty()) return false;
  if (IsDirectory()) return true;

  CPATH parent(Text());
  if (!parent.CutLastPart()) return m_error.Report("CreateDirectory", Text());
  // "/x": the parent is the root itself.
  if (parent.IsEmpty() && IsSeparator(Text()[0])) parent.Assign("/");

  if (GetFileAttributesA(parent.Text()) == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      return m_error.Report("CreateDirectory", Text());
    // Reported by the level that failed.
    if (!parent.CreateDirectory()) return false;
  }
  if (parent.IsDirectory()) {
    if (CreateDirectoryA(Text(), nullptr)) return true;
    // A path with a trailing separator names the directory that creating
    // its parent has just made; a concurrent creator may have made it too.
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && IsDirectory()) return true;
    SetLastError(error);
  } else {
    // A file (or anything else) where the parent folder should be.
    SetLastError(ERROR_PATH_NOT_FOUND);
  }
  return m_error.Report("CreateDirectory", Text());
}

bool CPATH::RemoveDirectory() {
  if (IsEmpty()) return false;
  if (!RemoveDirectoryA(Text())) return m_error.Report("RemoveDirectory", Text());
  return true;
}

bool CPATH::IsDirectory() const {
  if (IsEmpty()) return false;
  DWORD attributes = GetFileAttributesA(Text());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CPATH::IsFile() const {
  if (IsEmpty()) return false;
  DWORD attributes = GetFileAttributesA(Text());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool CPATH::DeleteFile() {
  if (IsEmpty()) return false;
  if (!DeleteFileA(Text())) return m_error.Report("DeleteFile", Text());
  return true;
}

bool CPATH::SearchPath(const char* searchDirectories) {
  if (IsEmpty()) return false;
  CTEXTBUF<MAX_PATH> name(Text());
  bool found = QueryText(this, [&](DWORD size, char* buffer) {
    return SearchPathA(searchDirectories, name.Text(), nullptr, size, buffer, nullptr);
  });
  if (!found) return m_error.Report("SearchPath", Text());
  return true;
}

bool CPATH::GetFullPathName() {
  if (IsEmpty()) return false;
  CTEXTBUF<MAX_PATH> name(Text());
  bool done = QueryText(
      this, [&](DWORD size, char* buffer) { return GetFullPathNameA(name.Text(), size, buffer, nullptr); });
  if (!done) return m_error.Report("GetFullPathName", nullptr);
  return true;
}

bool CPATH::IsAbsolute() const {
  const char* p = Text();
  if ((CharIsUpper(p[0]) || CharIsLower(p[0])) && p[1] == ':') p += 2;
  return IsSeparator(p[0]);
}

bool CPATH::CutLastPart() {
  const char* separator = LastSeparator(Text());
  if (!separator) return false;
  CutAt(this, static_cast<DWORD>(separator - Text()));
  return true;
}

bool CPATH::MoveToUnique(const char* directory) {
  if (IsEmpty()) return false;
  CPATH target;
  target.SetDirAndName(directory, GetName());

  // A target that exists gets a fresh temporary name; that file is created
  // exclusively, so it is ours to replace.
  bool created = false;
  bool moved = false;
  if (GetFileAttributesA(target.Text()) == INVALID_FILE_ATTRIBUTES) {
    moved = MoveFileNoReplace(Text(), target.Text());
    DWORD error = GetLastError();
    // Something took the name meanwhile: go on as if it had been there.
    if (!moved && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
      return m_error.Report("MoveToUnique", "MoveFileEx");
  }
  if (!moved) {
    if (!target.SetTempFileName(directory)) return m_error.Report("MoveToUnique", "GetTempFileName");
    created = true;
    moved = MoveFileWithFallback(Text(), target.Text());
  }
  if (moved) {
    Assign(target.Text());
    return true;
  }
  DWORD error = GetLastError();
  if (created) DeleteFileA(target.Text());
  SetLastError(error);
  return m_error.Report("MoveToUnique", "MoveFileEx");
}

bool CPATH::SetTempDirectory() {
  CTEXTBUF<MAX_PATH> directory;
  if (!QueryText(&directory, [](DWORD size, char* buffer) { return GetTempPathA(size, buffer); }))
    return false;
  DWORD length = directory.Length();
  while (length > 1 && IsSeparator(directory.Text()[length - 1])) --length;
  CutAt(&directory, length);
  Assign(directory.Text());
  return true;
}

bool CPATH::SetTempFileName(const char* directory) {
  CTEXTBUF<MAX_PATH> where(directory);
  if (!directory &&
      !QueryText(&where, [](DWORD size, char* buffer) { return GetTempPathA(size, buffer); })) {
    Empty();
    return false;
  }
  char name[kLongPath];
  name[0] = '\0';
  if (GetTempFileNameA(where.Text(), g_tempPrefix->Text(), 0, name) == 0) {
    Empty();
    return false;
  }
  Assign(name);
  return true;
}

const char* CPATH::GetName() const {
  const char* text = Text();
  // ":" is an ordinary character of a file name here.
  const char* last = StrRPBrk(text, "\\/");
  return last ? last + 1 : text;
}

const char* CPATH::GetExtension() const {
  const char* dot = StrRChr(GetName(), '.');
  return dot ? dot + 1 : nullptr;
}

void CPATH::SetName(const char* name) {
  CTEXTBUF<MAX_PATH> copy(name);  // the name may lie in this object
  DWORD offset = static_cast<DWORD>(GetName() - Text());
  if (!name) {
    CutAt(this, offset > 0 ? offset - 1 : 0);
    return;
  }
  CutAt(this, offset);
  Append(copy.Text());
}

const char* CPATH::SetExtension(const char* extension) {
  CTEXTBUF<MAX_PATH> copy(extension);
  if (const char* old = GetExtension()) CutAt(this, static_cast<DWORD>(old - Text()) - 1);
  if (extension) {
    const char* text = copy.Text();
    if (text[0] == '.') ++text;
    Append2(".", text);
  }
  return GetExtension();
}

bool MoveFileWithFallback(const char* existingName, const char* newName) {
  if (MoveFileExA(existingName, newName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
  if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  if (MoveFileA(existingName, newName)) return true;
  if (!CopyFileA(existingName, newName, FALSE)) return false;
  DeleteFileA(existingName);
  return true;
}

// ---------------------------------------------------------------------------
// CFILE

CFILE::~CFILE() { CFILE::Close(); }

ULONGLONG CFILE::SetPos(DWORD moveMethod, LONGLONG distance) {
  if (!m_handle) return 0;
  LONG high = static_cast<LONG>(static_cast<ULONGLONG>(distance) >> 32);
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(m_handle, static_cast<LONG>(static_cast<DWORD>(distance)), &high, moveMethod);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    m_error.Report("SetPos", "SetFilePointer");
    return INVALID_FILE_POSITION;
  }
  return (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
}

bool CFILE::OpenRegular(DWORD shareMode) {
  if (m_handle) RaiseLibraryError("PathAndFile", 530);
  HANDLE handle = mvn::kernel::OpenRegularFileForReading(Text(), shareMode);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    m_handle = nullptr;
    return false;
  }
  m_handle = handle;
  return true;
}

bool CFILE::Open(DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                 DWORD flagsAndAttributes, HANDLE templateFile) {
  if (m_handle) RaiseLibraryError("PathAndFile", 530);
  HANDLE handle =
      CreateFileA(Text(), access, shareMode, security, creationDisposition, flagsAndAttributes, templateFile);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    m_handle = nullptr;
    return false;
  }
  m_handle = handle;
  return true;
}

bool CFILE::Close() {
  if (m_handle) {
    CloseHandle(m_handle);
    m_handle = nullptr;
  }
  return true;
}

ULONGLONG CFILE::GetSize() {
  DWORD high = 0;
  DWORD low = 0;
  if (m_handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(m_handle, &info)) return 0;
    high = info.nFileSizeHigh;
    low = info.nFileSizeLow;
  } else {
    if (IsEmpty()) return 0;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Text(), &data);
    if (find == INVALID_HANDLE_VALUE || find == nullptr) return 0;
    FindClose(find);
    high = data.nFileSizeHigh;
    low = data.nFileSizeLow;
  }
  return (static_cast<ULONGLONG>(high) << 32) | low;
}

bool CFILE::SetSize(ULONGLONG size) {
  if (!m_handle) return false;
  if (SetPos(FILE_BEGIN, static_cast<LONGLONG>(size)) != size) return false;
  if (!SetEndOfFile(m_handle)) return m_error.Report("SetSize", "SetEndOfFile");
  return true;
}

bool CFILE::Flush() {
  if (!m_handle) return false;
  return FlushFileBuffers(m_handle) != FALSE;
}

bool CFILE::Read(void* buffer, DWORD count, DWORD* transferred) {
  if (!m_handle) return false;
  DWORD done = 0;
  bool ok = ReadFile(m_handle, buffer, count, &done, nullptr) != FALSE;
  if (transferred) {
    *transferred = done;
    return ok;
  }
  return ok && done == count;
}

bool CFILE::Write(const void* buffer, DWORD count, DWORD* transferred) {
  if (!m_handle) return false;
  DWORD done = 0;
  bool ok = WriteFile(m_handle, buffer, count, &done, nullptr) != FALSE;
  if (transferred) {
    *transferred = done;
    return ok;
  }
  return ok && done == count;
}

// ---------------------------------------------------------------------------
// CFINDFILE

bool CFINDFILE::Start(const char* directory, const char* mask) {
  Close();
  CTEXTBUF<MAX_PATH> path;
  path.Join2(directory, "/");
  m_dirLength = path.Length();
  path.Append(mask);
  m_path.Assign(path.Text());
  m_count = 0;
  return true;
}

bool CFINDFILE::Next(CTEXT* path) {
  if (!Advance()) return false;
  if (path) path->Assign(m_path.Text());
  return true;
}

void CFINDFILE::Close() {
  if (m_find) {
    FindClose(m_find);
    m_find = nullptr;
  }
  // The path now names the last file found, not the mask: a later advance
  // would find that file again. The scan is over until the next Start.
  m_path.Empty();
}

bool CFINDFILE::Advance() {
  for (;;) {
    if (m_path.IsEmpty()) return false;
    if (!m_find) {
      HANDLE find = FindFirstFileA(m_path.Text(), &m_data);
      if (find == INVALID_HANDLE_VALUE || find == nullptr) return false;
      m_find = find;
    } else if (!FindNextFileA(m_find, &m_data)) {
      m_path.Empty();
      return false;
    }
    if (m_data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    CutAt(&m_path, m_dirLength);
    m_path.Append(m_data.cFileName);
    ++m_count;
    return true;
  }
}
