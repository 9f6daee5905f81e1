// Text drivers: comma-delimited (Csv), raw bytes (Dos) and lines (Ascii).
//
// Files are opened through the kernel's CreateFileA with the share mode of
// the open, so a file another process holds with "deny all" (the port
// monitor's spool file) gives AccessDeniedError. Reads go through a window
// of the file's bytes that moves along as records are read: at most about a
// megabyte plus the record being read is held, whatever the file's size. A
// record (a line, or a comma-delimited record with its quoted line breaks)
// holds at most kMaxRecordBytes; a longer one, and a quoted field that the
// file ends inside, is an error naming the line it starts on.
//
// Csv: one record per line, fields in declaration order. Written: text
// fields in double quotes with inner quotes doubled (STRING without its
// padding), numbers bare, CR LF. Read: quoted or bare fields, doubled quotes,
// line breaks inside quotes, a UTF-8 byte-order mark at the start, LF, CR LF
// or CR line ends; blanks outside quotes are ignored; missing fields are
// empty, extra fields ignored.
// Ascii: one line per record (ending at LF, CR LF or CR), the first field;
// written clipped with CR LF. A text holding a line break is refused: it
// would read back as several records.
// Dos: Insert(length) appends the first length bytes of the first field;
// Next reads the next block of the record's size.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framework/core/src/backend.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

namespace mvn::framework {

unsigned long ShareFlags(unsigned mode) {
  switch (mode & 0xF0) {
    case DenyAll:
      return 0;
    case DenyWrite:
      return FILE_SHARE_READ;
    case DenyRead:
      return FILE_SHARE_WRITE;
    default:
      return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
}

int ErrorFromWin32(unsigned long win32) {
  switch (win32) {
    case 0:
      return NoError;
    case ERROR_FILE_NOT_FOUND:
      return FileNotFoundError;
    case ERROR_PATH_NOT_FOUND:
      return PathNotFoundError;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return AccessDeniedError;
    default:
      return FileSystemError;
  }
}

std::string LookUpPath(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '\\') c = '/';
  char found[4096];
  if (FindPathIgnoringCase(native.c_str(), found, sizeof found)) return found;
  return native;
}

std::string ResolveFilePath(const std::string& name) { return LookUpPath(name); }

int CheckRegularFile(const std::string& path, bool* exists) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *exists = false;
    return errno == EACCES ? AccessDeniedError : NoError;
  }
  *exists = true;
  return S_ISREG(st.st_mode) ? NoError : AccessDeniedError;
}

int FileBackend::BuildKeys() { return Unsupported(); }
int FileBackend::Fetch(int, Record&) { return Unsupported(); }
int FileBackend::Reset(int, const Position&) { return Unsupported(); }
int FileBackend::Previous(Record&, size_t*) { return Unsupported(); }
int FileBackend::Reget(const Position&, Record&) { return Unsupported(); }
int FileBackend::Update(const Record&) { return Unsupported(); }
int FileBackend::Delete() { return Unsupported(); }

namespace {

// The most bytes one record may take; beyond it a read fails instead of
// holding ever more of the file.
constexpr size_t kMaxRecordBytes = 1u << 20;

// Line ends in bytes [from, to) of text: LF, CR LF and a lone CR count one.
int64_t CountLineEnds(const std::string& text, size_t from, size_t to) {
  const char* p = text.data();
  int64_t n = std::count(p + from, p + to, '\n');
  // A CR counts only where no LF follows it.
  const char* const end = p + to;
  for (const char* cr = p + from; (cr = static_cast<const char*>(std::memchr(cr, '\r', end - cr))) != nullptr; ++cr)
    if (cr + 1 >= p + text.size() || cr[1] != '\n') ++n;
  return n;
}

// The end of a bare field: the first comma, CR or LF at or after from
// (limit when there is none before it).
size_t SkipBare(const std::string& text, size_t from, size_t limit) {
  const char* p = text.data();
  while (from < limit) {
    const char c = p[from];
    if (c == ',' || c == '\n' || c == '\r') break;
    ++from;
  }
  return from;
}

class TextBackend : public FileBackend {
 public:
  explicit TextBackend(FileManager& owner) : FileBackend(owner) {}
  ~TextBackend() override { Close(); }

  int Open(unsigned mode) override;
  int Create() override;
  int Close() override;
  bool IsOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }
  std::string FilePath() const override { return m_path; }
  int Set(int key, const Record* from) override;
  int Reset(int key, const Position& position) override;
  int Next(Record& buffer, size_t* bytes) override;
  int Reget(const Position& position, Record& buffer) override;
  int Insert(Record& buffer, size_t length) override;
  int64_t Records() override;
  int Copy(const std::string& newName) override;
  int Remove() override;
  int Flush() override;
  void BufferAdds(bool on) override {
    if (!on) Flush();
    m_bufferAdds = on;
  }

 private:
  Driver Kind() const { return m_owner.GetDriver(); }
  int Load();
  // Reads the next chunk after the window into it (*got false at the end).
  int ReadMore(bool* got);
  // Drops the bytes already read and makes sure the window holds the whole
  // record at m_offset (or the rest of the file).
  int EnsureRecord();
  int WriteAll(const std::string& bytes);
  // Parses one record at m_offset into buffer; false at the end.
  bool ParseCsv(Record& buffer);
  bool ParseLine(Record& buffer, size_t* bytes);

  std::string m_path;
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  unsigned m_mode = Shared;
  std::string m_data;  // a window of the file's bytes, from m_base on
  int64_t m_base = 0;  // file offset of m_data[0]
  bool m_eof = false;  // the window reaches the end of the file
  size_t m_offset = 0;
  int64_t m_line = 1;  // line number at m_offset (0: not known, after Reset)
  bool m_loaded = false;
  std::string m_pending;  // buffered adds
  std::string m_field;    // a quoted value with doubled quotes, unescaped
  std::string LineText(int64_t line) const {
    return line > 0 ? "line " + std::to_string(line) : std::string("a line");
  }
};

int TextBackend::Open(unsigned mode) {
  if (IsOpen()) return Fail(AlreadyOpenError);
  m_path = LookUpPath(m_owner.Name());
  if (m_path.empty()) return Fail(BadNameError);
  bool exists = false;
  if (int rc = CheckRegularFile(m_path, &exists)) return Fail(rc);
  DWORD access = 0;
  switch (mode & 0x0F) {
    case WriteOnly:
      access = GENERIC_WRITE;
      break;
    case ReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
    default:
      access = GENERIC_READ;
      break;
  }
  if (!exists && m_owner.GetCreate()) {
    HANDLE made = CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made != INVALID_HANDLE_VALUE)
      CloseHandle(made);
    else if (GetLastError() != ERROR_FILE_EXISTS)
      return Fail(ErrorFromWin32(GetLastError()));
  }
  m_handle = CreateFileA(m_path.c_str(), access, static_cast<DWORD>(ShareFlags(mode)), nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_handle == INVALID_HANDLE_VALUE) return Fail(ErrorFromWin32(GetLastError()));
  m_mode = mode;
  m_loaded = false;
  m_offset = 0;
  return Ok();
}

int TextBackend::Create() {
  std::string path = LookUpPath(m_owner.Name());
  if (path.empty()) return Fail(BadNameError);
  bool exists = false;
  if (int rc = CheckRegularFile(path, &exists)) return Fail(rc);
  if (IsOpen() && path == m_path) {
    if (SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN) == 0xFFFFFFFFu || !SetEndOfFile(m_handle))
      return Fail(ErrorFromWin32(GetLastError()));
    m_pending.clear();
    m_loaded = false;
    return Ok();
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(ErrorFromWin32(GetLastError()));
  CloseHandle(h);
  return Ok();
}

int TextBackend::Close() {
  int e = NoError;
  if (IsOpen()) {
    e = Flush();
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
  }
  m_data.clear();
  m_loaded = false;
  return e ? e : Ok();
}

int TextBackend::Load() {
  if (int e = Flush()) return e;
  m_data.clear();
  m_base = 0;
  m_eof = false;
  bool got = false;
  if (int e = ReadMore(&got)) return e;
  m_loaded = true;
  return Ok();
}

int TextBackend::ReadMore(bool* got) {
  *got = false;
  if (m_eof) return Ok();
  // Writes move the file pointer to the end, so every read seeks first.
  const int64_t at = m_base + static_cast<int64_t>(m_data.size());
  ::LONG high = static_cast<::LONG>(at >> 32);
  SetLastError(0);
  if (SetFilePointer(m_handle, static_cast<::LONG>(at & 0xFFFFFFFF), &high, FILE_BEGIN) == 0xFFFFFFFFu &&
      GetLastError() != 0)
    return Fail(ErrorFromWin32(GetLastError()));
  char chunk[65536];
  DWORD n = 0;
  if (!ReadFile(m_handle, chunk, sizeof chunk, &n, nullptr)) return Fail(ErrorFromWin32(GetLastError()));
  if (n == 0) {
    m_eof = true;
    return Ok();
  }
  m_data.append(chunk, n);
  *got = true;
  return Ok();
}

int TextBackend::EnsureRecord() {
  if (m_offset >= (1u << 20)) {
    m_data.erase(0, m_offset);
    m_base += static_cast<int64_t>(m_offset);
    m_offset = 0;
  }
  const Driver kind = Kind();
  const size_t size = static_cast<size_t>(m_owner.GetLayout()->RecordSize());
  if (kind == Driver::Dos) {
    while (m_data.size() - m_offset < size) {
      bool got = false;
      if (int e = ReadMore(&got)) return e;
      if (!got) break;
    }
    return Ok();
  }
  // A record ends at a line end (LF, CR LF or CR) outside quotes. The scan
  // follows the parser: a quote opens a quoted field only as the field's
  // first character, "" inside it is one quote. Blank lines before a
  // comma-delimited record are skipped by the parser.
  enum State { FieldStart, Bare, Quoted, QuoteSeen };
  State state = FieldStart;
  size_t scan = m_offset;
  bool content = false;
  size_t contentAt = m_offset;  // where the record's first byte is
  for (;;) {
    // Inside quotes only a quote matters, inside a bare field only a comma
    // or a line end: the scan jumps to the next of those (never past the
    // record limit, so it stops where a byte-by-byte scan would).
    const size_t limit = std::min(m_data.size(), m_offset + kMaxRecordBytes);
    for (; scan < m_data.size(); ++scan) {
      if (scan - m_offset >= kMaxRecordBytes) break;
      if (kind == Driver::Csv && state == Quoted) {
        const void* q = std::memchr(m_data.data() + scan, '"', limit - scan);
        if (!q) {
          scan = limit;
          break;
        }
        scan = static_cast<size_t>(static_cast<const char*>(q) - m_data.data());
      } else if (kind == Driver::Csv && state == Bare) {
        scan = SkipBare(m_data, scan, limit);
        if (scan >= limit) break;
      }
      const char c = m_data[scan];
      const bool lineEnd = c == '\n' || c == '\r';
      if (kind != Driver::Csv) {
        if (lineEnd) break;
        continue;
      }
      if (!content && !lineEnd) {
        content = true;
        contentAt = scan;
      }
      if (state == Quoted) {
        if (c == '"') state = QuoteSeen;
        continue;
      }
      if (state == QuoteSeen && c == '"') {
        state = Quoted;
        continue;
      }
      if (lineEnd) {
        if (content) break;
        continue;
      }
      if (c == ',') {
        state = FieldStart;
      } else if (state == FieldStart) {
        if (c == '"') state = Quoted;
        else if (c != ' ' && c != '\t') state = Bare;
      } else if (state == QuoteSeen) {
        state = Bare;  // text after the closing quote, dropped by the parser
      }
    }
    if (scan < m_data.size()) {
      if (scan - m_offset >= kMaxRecordBytes) break;
      // A CR at the window's end may be the first half of CR LF.
      if (m_data[scan] == '\r' && scan + 1 == m_data.size()) {
        bool got = false;
        if (int e = ReadMore(&got)) return e;
      }
      return Ok();
    }
    if (scan - m_offset >= kMaxRecordBytes) break;
    bool got = false;
    if (int e = ReadMore(&got)) return e;
    if (!got) {
      if (state == Quoted && content) {
        const int64_t line = m_line ? m_line + CountLineEnds(m_data, m_offset, contentAt) : 0;
        return Fail(FileSystemError, "The quoted field of the record on " + LineText(line) +
                                         " is not closed before the end of the file");
      }
      return Ok();
    }
  }
  const int64_t line = m_line ? m_line + CountLineEnds(m_data, m_offset, contentAt) : 0;
  return Fail(FileSystemError, std::string("The record on ") + LineText(line) + " is longer than " +
                                   std::to_string(kMaxRecordBytes / (1u << 20)) + " MB" +
                                   (state == Quoted ? " (is a quote not closed?)" : ""));
}

int TextBackend::Set(int key, const Record*) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (key >= 0) return Unsupported();
  if ((m_mode & 0x0F) == WriteOnly) return Fail(AccessDeniedError);
  if (int e = Load()) return e;
  m_offset = 0;
  m_line = 1;
  // A UTF-8 byte-order mark at the start is no data.
  if (Kind() != Driver::Dos && m_data.compare(0, 3, "\xEF\xBB\xBF") == 0) m_offset = 3;
  return Ok();
}

int TextBackend::Reset(int key, const Position& position) {
  if (int e = Set(key, nullptr)) return e;
  if (position.row < 1) return Fail(RecordNotFoundError);
  const int64_t at = position.row - 1;
  DWORD high = 0;
  DWORD low = GetFileSize(m_handle, &high);
  const int64_t size = (static_cast<int64_t>(high) << 32) | low;
  if (at > size) return Fail(RecordNotFoundError);
  m_line = 0;  // not known at an arbitrary position
  if (at <= static_cast<int64_t>(m_data.size())) {
    m_offset = static_cast<size_t>(at);
    return Ok();
  }
  m_data.clear();
  m_base = at;
  m_eof = false;
  m_offset = 0;
  return Ok();
}

bool TextBackend::ParseLine(Record& buffer, size_t* bytes) {
  if (m_offset >= m_data.size()) return false;
  size_t end = m_data.find_first_of("\r\n", m_offset);
  size_t next = end == std::string::npos ? m_data.size() : end + 1;
  if (end == std::string::npos) end = m_data.size();
  else if (m_data[end] == '\r' && next < m_data.size() && m_data[next] == '\n') ++next;
  std::string_view line(m_data.data() + m_offset, end - m_offset);
  buffer.Clear();
  if (buffer.GetLayout().FieldCount() > 0) buffer.SetText(0, line);
  *bytes = std::min(line.size(), static_cast<size_t>(buffer.GetLayout().RecordSize()));
  m_offset = next;
  return true;
}

bool TextBackend::ParseCsv(Record& buffer) {
  // Blank lines between records are skipped.
  while (m_offset < m_data.size() && (m_data[m_offset] == '\n' || m_data[m_offset] == '\r')) ++m_offset;
  if (m_offset >= m_data.size()) return false;
  buffer.Clear();
  int field = 0;
  const int count = buffer.GetLayout().FieldCount();
  const char* const data = m_data.data();
  size_t i = m_offset;
  const size_t n = m_data.size();
  for (;;) {
    std::string_view value;
    while (i < n && (data[i] == ' ' || data[i] == '\t')) ++i;
    if (i < n && data[i] == '"') {
      ++i;
      // The text up to the closing quote; only a doubled quote inside it
      // needs a copy of the value.
      size_t start = i;
      bool copied = false;
      for (;;) {
        const void* found = i < n ? std::memchr(data + i, '"', n - i) : nullptr;
        const size_t q = found ? static_cast<size_t>(static_cast<const char*>(found) - data) : n;
        if (q + 1 < n && data[q + 1] == '"') {
          if (!copied) m_field.clear();
          copied = true;
          m_field.append(data + start, q + 1 - start);
          i = start = q + 2;
          continue;
        }
        if (copied) {
          m_field.append(data + start, q - start);
          value = m_field;
        } else {
          value = std::string_view(data + start, q - start);
        }
        i = q < n ? q + 1 : n;
        break;
      }
      // Anything between the closing quote and the separator is dropped.
      if (i < n && data[i] != ',' && data[i] != '\n' && data[i] != '\r') i = SkipBare(m_data, i, n);
    } else {
      size_t start = i;
      i = SkipBare(m_data, i, n);
      size_t end = i;
      while (end > start && (data[end - 1] == ' ' || data[end - 1] == '\t')) --end;
      value = std::string_view(data + start, end - start);
    }
    if (field < count) buffer.SetText(field, value);
    ++field;
    if (i < n && data[i] == ',') {
      ++i;
      continue;
    }
    // End of the record.
    if (i < n && data[i] == '\r') ++i;
    if (i < n && data[i] == '\n') ++i;
    break;
  }
  m_offset = i;
  return true;
}

int TextBackend::Next(Record& buffer, size_t* bytes) {
  if (!IsOpen()) return Fail(NotOpenError);
  if (!m_loaded) return Fail(RecordNotAvailableError);
  if (int e = EnsureRecord()) return e;
  size_t start = m_offset;
  *bytes = 0;
  bool got = false;
  switch (Kind()) {
    case Driver::Csv:
      got = ParseCsv(buffer);
      if (got) *bytes = m_offset - start;
      break;
    case Driver::Ascii:
      got = ParseLine(buffer, bytes);
      break;
    default: {
      if (m_offset >= m_data.size()) break;
      size_t size = static_cast<size_t>(buffer.GetLayout().RecordSize());
      if (size == 0) break;  // a declaration without fields reads nothing
      size_t take = std::min(size, m_data.size() - m_offset);
      buffer.Clear();
      if (buffer.GetLayout().FieldCount() > 0) buffer.SetText(0, std::string_view(m_data.data() + m_offset, take));
      m_offset += take;
      *bytes = take;
      got = true;
      break;
    }
  }
  if (!got) return Fail(RecordNotAvailableError);
  if (m_line && Kind() != Driver::Dos) m_line += CountLineEnds(m_data, start, m_offset);
  m_position = {m_base + static_cast<int64_t>(start) + 1, {}};
  return Ok();
}

int TextBackend::Reget(const Position& position, Record& buffer) {
  size_t keep = m_offset;
  int64_t keepLine = m_line;
  int64_t keepBase = m_base;
  bool keepEof = m_eof;
  std::string keepData = m_data;
  Position keepPosition = m_position;
  int e = Reset(-1, position);
  if (e == NoError) {
    size_t bytes = 0;
    e = Next(buffer, &bytes);
  }
  m_offset = keep;
  m_line = keepLine;
  m_base = keepBase;
  m_eof = keepEof;
  m_data.swap(keepData);
  if (e) m_position = keepPosition;
  return e;
}

// Appends r as one comma-delimited line to out.
void AppendCsvLine(const Record& r, std::string& out) {
  const Layout& l = r.GetLayout();
  for (int i = 0; i < l.FieldCount(); ++i) {
    if (i) out += ',';
    FieldType t = l.Field(i).type;
    const std::string& value = r.Raw(i);
    if (t == FieldType::Long || t == FieldType::Byte) {
      out += value;
      continue;
    }
    out += '"';
    // Copied in runs up to each quote, which is doubled.
    size_t at = 0;
    for (size_t q; (q = value.find('"', at)) != std::string::npos; at = q + 1) out.append(value, at, q + 1 - at) += '"';
    out.append(value, at, std::string::npos);
    out += '"';
  }
  out += "\r\n";
}

int TextBackend::Insert(Record& buffer, size_t length) {
  if (!IsOpen()) return Fail(NotOpenError);
  if ((m_mode & 0x0F) == ReadOnly) return Fail(AccessDeniedError);
  std::string bytes;
  switch (Kind()) {
    case Driver::Csv:
      AppendCsvLine(buffer, m_pending);
      break;
    case Driver::Ascii:
      bytes = Clip(buffer.GetLayout().FieldCount() ? buffer.GetText(0) : std::string());
      if (bytes.find_first_of("\r\n") != std::string::npos)
        return Fail(FileSystemError, "A line of text cannot hold a line break");
      bytes += "\r\n";
      break;
    default: {
      // The first length bytes of the first field as GetText gives it (a
      // STRING filled out with blanks to its size), appended without
      // making that text: a record of a line file is many kilobytes wide,
      // its lines mostly short.
      if (buffer.GetLayout().FieldCount() == 0) break;
      const FieldDef& field = buffer.GetLayout().Field(0);
      const std::string& value = buffer.Raw(0);
      size_t whole = field.type == FieldType::String && value.size() < static_cast<size_t>(field.size)
                         ? static_cast<size_t>(field.size)
                         : value.size();
      size_t take = std::min(length, whole);
      size_t fromValue = std::min(take, value.size());
      m_pending.append(value, 0, fromValue);
      m_pending.append(take - fromValue, ' ');
      break;
    }
  }
  m_pending += bytes;
  if (!m_bufferAdds || m_pending.size() >= (1u << 20)) return Flush();
  return Ok();
}

int TextBackend::WriteAll(const std::string& bytes) {
  if (SetFilePointer(m_handle, 0, nullptr, FILE_END) == 0xFFFFFFFFu && GetLastError() != 0)
    return Fail(ErrorFromWin32(GetLastError()));
  DWORD written = 0;
  if (!WriteFile(m_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size())
    return Fail(GetLastError() == ERROR_ACCESS_DENIED ? AccessDeniedError : FileSystemError,
                "The file could not be written (disk full?)");
  return Ok();
}

int TextBackend::Flush() {
  if (m_pending.empty() || !IsOpen()) return Ok();
  // Written from the buffer, which then keeps its storage for the next adds.
  int e = WriteAll(m_pending);
  m_pending.clear();
  return e;
}

int64_t TextBackend::Records() {
  if (!IsOpen()) {
    Fail(NotOpenError);
    return -1;
  }
  size_t keep = m_offset;
  int64_t keepLine = m_line;
  std::string keepData = m_data;
  bool keepLoaded = m_loaded;
  int64_t keepBase = m_base;
  bool keepEof = m_eof;
  if (Set(-1, nullptr)) return -1;
  int64_t n = 0;
  size_t bytes = 0;
  Record scratch(m_owner.GetLayout());
  while (Next(scratch, &bytes) == NoError) ++n;
  m_offset = keep;
  m_line = keepLine;
  m_data.swap(keepData);
  m_loaded = keepLoaded;
  m_base = keepBase;
  m_eof = keepEof;
  Ok();
  return n;
}

int TextBackend::Copy(const std::string& newName) {
  if (IsOpen()) Flush();
  std::string from = LookUpPath(m_owner.Name());
  bool exists = false;
  if (int rc = CheckRegularFile(from, &exists)) return Fail(rc);
  if (!exists) return Fail(FileNotFoundError);
  std::string to = LookUpPath(newName);
  if (int rc = CheckRegularFile(to, &exists)) return Fail(rc);
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) return Fail(ErrorFromWin32(GetLastError()));
  return Ok();
}

int TextBackend::Remove() {
  if (IsOpen()) return Fail(AccessDeniedError, "The file is open");
  std::string path = LookUpPath(m_owner.Name());
  bool exists = false;
  if (int rc = CheckRegularFile(path, &exists)) return Fail(rc);
  if (!exists) return Fail(FileNotFoundError);
  if (!DeleteFileA(path.c_str())) return Fail(ErrorFromWin32(GetLastError()));
  return Ok();
}

}  // namespace

std::unique_ptr<FileBackend> MakeTextBackend(FileManager& owner) { return std::make_unique<TextBackend>(owner); }

}  // namespace mvn::framework
